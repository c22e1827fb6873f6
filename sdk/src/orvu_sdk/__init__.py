"""Host library of the agent SDK: connects an agent to the chat platform and hands it
every message exactly once, with the decisions taken by `orvu_sdk_core`.

    from orvu_sdk import Host

    async def echo(message, tools):
        await tools.post(message["content"])

    await Host(url, agent_id="agent-1", agent=echo, params={"token": token}).run()
"""

from __future__ import annotations

from orvu_sdk_core import DeadReason, SessionPolicy, SessionState

from .delivery import Agent
from .events import MessageCreated
from .hooks import Hooks
from .host import Host
from .tools import ToolBackend, ToolError, Tools

__version__ = "0.1.0"

__all__ = [
    "Agent", "DeadReason", "Hooks", "Host", "MessageCreated", "SessionPolicy", "SessionState",
    "ToolBackend", "ToolError", "Tools", "__version__",
]

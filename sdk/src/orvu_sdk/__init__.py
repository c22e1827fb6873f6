"""Host library of the agent SDK: connects an agent to the chat platform and hands it
every message exactly once, with the decisions taken by `orvu_sdk_core`.

    from orvu_sdk import Host

    async def echo(message, tools):
        await tools.post(message["content"])

    await Host(url, agent_id="agent-1", agent=echo, params={"token": token}).run()

Names are imported on first use, so that importing the package (as the test kit's pytest
plugin does) loads neither the module nor the WebSocket library until they are needed.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from orvu_sdk_core import DeadReason, SessionPolicy, SessionState

    from orvu_sdk.delivery import Agent
    from orvu_sdk.events import MessageCreated
    from orvu_sdk.hooks import Hooks
    from orvu_sdk.host import Host
    from orvu_sdk.tools import ToolBackend, ToolError, Tools

__version__ = "0.1.0"

__all__ = [
    "Agent", "DeadReason", "Hooks", "Host", "MessageCreated", "SessionPolicy", "SessionState",
    "ToolBackend", "ToolError", "Tools", "__version__",
]

_HOMES = {
    "Agent": "orvu_sdk.delivery", "DeadReason": "orvu_sdk_core", "Hooks": "orvu_sdk.hooks",
    "Host": "orvu_sdk.host", "MessageCreated": "orvu_sdk.events", "SessionPolicy": "orvu_sdk_core",
    "SessionState": "orvu_sdk_core", "ToolBackend": "orvu_sdk.tools", "ToolError": "orvu_sdk.tools",
    "Tools": "orvu_sdk.tools",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value

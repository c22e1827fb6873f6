"""Host library of the agent SDK: connects an agent to the chat platform and hands it
every message exactly once, with the decisions taken by `orvu_sdk_core`."""

from __future__ import annotations

__version__ = "0.1.0"

__all__ = ["__version__"]

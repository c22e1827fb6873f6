"""Hooks: functions the host calls when something happens besides a message for the agent.

Every hook is optional and may be a plain function or an `async def`; an async hook runs as
its own task, so a slow hook never holds up the connection. A hook that raises is reported to
`on_error` and changes nothing else.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Awaitable, Callable
from typing import Any

import orvu_sdk_core as core

from .events import Participant, RoomEvent, SupersedeNotice

__all__ = ["Hooks"]

HookResult = Awaitable[None] | None


@dataclasses.dataclass
class Hooks:
    """The host's hooks; pass one to `Host(hooks=...)` or set its fields on `host.hooks`."""

    # Rooms: the platform added the agent to a room, or removed it (also a room deleted).
    on_room_added: Callable[[RoomEvent], HookResult] | None = None
    on_room_removed: Callable[[str], HookResult] | None = None
    # The room's participant list changed (the join reply's list, an addition, a removal).
    on_participants: Callable[[str, list[Participant]], HookResult] | None = None
    # Another connection took the agent's place.
    on_supersede: Callable[[SupersedeNotice], HookResult] | None = None
    # Contact events and control signals, with the event name and its validated payload.
    on_contact: Callable[[str, dict[str, Any]], HookResult] | None = None
    on_control: Callable[[dict[str, Any]], HookResult] | None = None
    # Lifecycle.
    on_connected: Callable[[], HookResult] | None = None
    on_disconnected: Callable[[int | None], HookResult] | None = None
    on_reconnected: Callable[[], HookResult] | None = None
    on_room_rejoined: Callable[[str], HookResult] | None = None
    on_dead: Callable[[core.DeadReason | None], HookResult] | None = None
    # Anything that went wrong inside the host: the exception and where it happened.
    on_error: Callable[[BaseException, str], HookResult] | None = None

"""What an agent turn may do: post its reply, read the participants, decline to reply, and
call any other tool of the module's tool table through a backend the host author plugs in.

Every successful call is recorded in the turn's `TurnLedger` with the table's effect, so a
turn that posted (or declined) is complete and gets no missing-reply notice.
"""

from __future__ import annotations

import itertools
import time
from collections.abc import Awaitable, Callable, Mapping
from typing import Any, Protocol

import orvu_sdk_core as core

from .events import Participant

__all__ = ["ToolBackend", "ToolError", "Tools"]

TOOL_EFFECTS: dict[str, core.TurnEffect] = core.orvu_tool_effects()
# The tools this platform's socket carries out itself; the others need a backend.
BUILT_IN = ("orvu_send_message", "orvu_get_participants", "orvu_no_reply")


class ToolError(Exception):
    """A tool call the host cannot carry out (unknown tool, no backend). Raised inside the
    agent's turn, it fails the turn unless the agent handles it."""


class ToolBackend(Protocol):
    """Carries out the tools that are not built in (memories, tasks, contacts, files ...)."""

    async def call(self, name: str, arguments: Mapping[str, Any], tools: Tools) -> Any:
        """Performs tool `name` for the turn described by `tools`; raise to report failure."""
        ...


class Tools:
    """The tools and context of one agent turn.

    `attempt` counts the attempts at this message (1 for the first); `resumed` is true when
    this run resumes a turn that was cut short (its room was removed, or the host stopped)
    under the same attempt; `deadline` is the `time.monotonic()` value by which the agent must
    be done, or None without a turn timeout."""

    def __init__(self, *, room_id: str, message_id: str, attempt: int, resumed: bool,
                 deadline: float | None, ledger: core.TurnLedger,
                 post: Callable[[str, str], Awaitable[None]],
                 participants: Callable[[], list[Participant]],
                 backend: ToolBackend | None) -> None:
        self.room_id = room_id
        self.message_id = message_id
        self.attempt = attempt
        self.resumed = resumed
        self.deadline = deadline
        self.ledger = ledger
        self._post = post
        self._participants = participants
        self._backend = backend
        self._posts = itertools.count(1)
        self.posted: list[str] = []

    def __repr__(self) -> str:
        return f"Tools(room_id={self.room_id!r}, message_id={self.message_id!r}, attempt={self.attempt})"

    def time_left(self) -> float | None:
        """Seconds left before the turn's deadline, or None without one."""
        return None if self.deadline is None else max(0.0, self.deadline - time.monotonic())

    async def post(self, text: str) -> None:
        """Posts `text` to the room as the turn's reply. Sent again until the platform takes it;
        a post the platform refuses for good fails the turn."""
        if not isinstance(text, str):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"`text` must be a str, got {type(text).__name__}")
        client_ref = f"{self.message_id}#{self.attempt}#{next(self._posts)}"
        await self._post(text, client_ref)
        self.posted.append(text)
        self.ledger.record(TOOL_EFFECTS["orvu_send_message"])

    def participants(self) -> list[Participant]:
        """The room's participants as the platform last listed them."""
        people = self._participants()
        self.ledger.record(TOOL_EFFECTS["orvu_get_participants"])
        return people

    def no_reply(self, reason: str | None = None) -> None:
        """Ends the turn without a reply: nothing is posted, and no missing-reply notice either."""
        self.ledger.record(TOOL_EFFECTS["orvu_no_reply"])

    async def call(self, name: str, **arguments: Any) -> Any:
        """Calls tool `name` of the tool table. The built-in ones as `post`, `participants` and
        `no_reply`; the others through the host's tool backend."""
        effect = TOOL_EFFECTS.get(name)
        if effect is None:
            raise ToolError(f"unknown tool {name!r}")
        if name == "orvu_send_message":
            content = arguments.get("content")
            if not isinstance(content, str):
                raise ToolError("orvu_send_message needs a str `content`")
            await self.post(content)
            return None
        if name == "orvu_get_participants":
            return self.participants()
        if name == "orvu_no_reply":
            reason = arguments.get("reason")
            self.no_reply(reason if isinstance(reason, str) else None)
            return None
        if self._backend is None:
            raise ToolError(f"the tool {name} needs a tool backend: pass tool_backend= to Host")
        result = await self._backend.call(name, dict(arguments), self)
        self.ledger.record(effect)
        return result

"""The exactly-once verdict on a finished run, taken from the simulator's own records.

Only what the platform saw counts: the hand-offs the host announced (`turn_started`),
the replies it posted (`send_message` with `in_reply_to`) and the terminal writes the
platform accepted (`mark_processed`, `mark_failed`). The host's own bookkeeping is never
consulted, so the same verdict judges a host written in any language.
"""

from __future__ import annotations

import dataclasses

from orvu_sdk.testing.simulator import PlatformSimulator

__all__ = ["Verdict", "assert_exactly_once", "judge"]


@dataclasses.dataclass(frozen=True)
class Verdict:
    """What the platform's records say about every user message of a run.

    A message of a room the agent no longer belongs to may stay open without blame:
    the platform delivers it when the agent is added back. Such messages are listed
    under `waiting` and do not break the verdict.
    """

    messages: int
    # message id -> what went wrong with it, in the order the messages were published
    problems: dict[str, tuple[str, ...]]
    # faults of the run that no message can be blamed for (the simulator's own errors among them)
    run_problems: tuple[str, ...]
    waiting: tuple[str, ...]

    @property
    def holds(self) -> bool:
        """True when every message was handed over and settled exactly once."""
        return not self.problems and not self.run_problems

    def offending_ids(self) -> list[str]:
        return list(self.problems)

    def __str__(self) -> str:
        settled = self.messages - len(self.problems) - len(self.waiting)
        head = (f"exactly once: {settled} of {self.messages} messages handed over and settled once"
                + (f", {len(self.waiting)} waiting in rooms the agent left" if self.waiting else ""))
        if self.holds:
            return head
        lines = [head.replace("exactly once:", "exactly once does NOT hold:", 1),
                 f"offending messages: {', '.join(self.problems) or '-'}"]
        lines += [f"  {mid}: {'; '.join(found)}" for mid, found in self.problems.items()]
        lines += [f"  run: {problem}" for problem in self.run_problems]
        return "\n".join(lines)


def judge(platform: PlatformSimulator, *, replies_per_message: int | None = 1) -> Verdict:
    """The verdict on the run `platform` served so far.

    A user message passes when the host announced at least one hand-off of it, the
    platform accepted exactly one terminal write for it, it drew no more than
    `replies_per_message` replies (None: any number) and the platform recorded no
    violation against it (a second handler while one ran, a hand-off or a conflicting
    write after its terminal write).
    """
    if not isinstance(platform, PlatformSimulator):  # pyright: ignore[reportUnnecessaryIsInstance]
        raise TypeError(f"platform must be a PlatformSimulator, got {type(platform).__name__}")
    if replies_per_message is not None:
        if type(replies_per_message) is not int:
            raise TypeError(f"replies_per_message must be an int or None, got {type(replies_per_message).__name__}")
        if replies_per_message < 0:
            raise ValueError(f"replies_per_message must be 0 or more, got {replies_per_message}")
    records = platform.records
    problems: dict[str, list[str]] = {}
    waiting: list[str] = []
    users = platform.user_messages()
    for message in users:
        found: list[str] = []
        handoffs = records.handoffs.get(message.id, [])
        writes = records.terminal_writes.get(message.id, [])
        replies = records.replies.get(message.id, [])
        if message.terminal is None:
            if message.room_id not in platform.members:
                waiting.append(message.id)
            elif handoffs:
                found.append(f"lost: handed over {len(handoffs)} time(s), never settled")
            else:
                found.append("lost: never handed to the agent")
        elif not handoffs:
            found.append(f"settled {message.terminal} without a hand-off to the agent")
        if len(writes) > 1:
            found.append(f"duplicated: {len(writes)} terminal writes accepted ({', '.join(writes)})")
        if replies_per_message is not None and len(replies) > replies_per_message:
            found.append(f"duplicated: {len(replies)} replies")
        if found:
            problems[message.id] = found
    run_problems: list[str] = []
    for violation in records.violations:
        subject = violation.split(" ", 1)[0].rstrip(":")
        if subject in platform.messages:
            problems.setdefault(subject, []).append(f"violation: {violation}")
        else:
            run_problems.append(violation)
    order = {message.id: n for n, message in enumerate(users)}
    return Verdict(
        messages=len(users),
        problems={mid: tuple(problems[mid]) for mid in sorted(problems, key=lambda mid: order.get(mid, -1))},
        run_problems=tuple(run_problems),
        waiting=tuple(waiting),
    )


def assert_exactly_once(platform: PlatformSimulator, *, replies_per_message: int | None = 1) -> Verdict:
    """Raises AssertionError, listing the offending message ids and what each went
    through, unless every user message of the run was handed to the agent and settled
    with exactly one accepted terminal write, none lost and none answered twice
    (see `judge`). Returns the verdict when it holds."""
    verdict = judge(platform, replies_per_message=replies_per_message)
    if not verdict.holds:
        raise AssertionError(str(verdict))
    return verdict

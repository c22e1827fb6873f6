"""The state diagrams of docs/reference.md say what the module does.

Each diagram is a Mermaid picture without labels plus a transition table
(From | call | To). The table is read from the Markdown and every row is
taken as a step against real objects: a walk from the start state reaches
each row through the table's own rows, takes its step, and compares the
state the module then reports with the row's To. The picture must draw
exactly the table's arrows, and carry no labels that could overlap.
"""

from __future__ import annotations

import dataclasses
import re
from collections import deque
from typing import Any, Callable

import pytest

import orvu_sdk_core as core
from docblocks import ROOT
from surface import default_config

REFERENCE = ROOT / "docs" / "reference.md"


@dataclasses.dataclass(frozen=True)
class Edge:
    source: str
    label: str
    target: str


def section(heading: str, text: str | None = None) -> str:
    """The Markdown under `heading` up to the next heading of the same or a higher level."""
    text = REFERENCE.read_text(encoding="utf-8") if text is None else text
    level = len(heading) - len(heading.lstrip("#"))
    start = text.index(heading + "\n")
    following = re.compile(r"^#{1,%d} " % level, flags=re.MULTILINE)
    match = following.search(text, start + len(heading) + 1)
    return text[start:match.start() if match else len(text)]


def table_edges(markdown: str) -> list[Edge]:
    """Rows of the transition table: the one whose header begins with `| From |`."""
    lines = markdown.splitlines()
    (header,) = [i for i, line in enumerate(lines) if line.startswith("| From |")]
    edges = []
    for line in lines[header + 2:]:
        if not line.startswith("|"):
            break
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        assert len(cells) == 3, line
        edges.append(Edge(*cells))
    return edges


def mermaid_lines(markdown: str) -> list[str]:
    (diagram,) = re.findall(r"^```mermaid\n(.*?)^```", markdown, flags=re.MULTILINE | re.DOTALL)
    return [line.strip() for line in diagram.splitlines()[1:] if line.strip()]


def mermaid_arrows(markdown: str) -> set[tuple[str, str]]:
    arrows = set()
    for line in mermaid_lines(markdown):
        match = re.fullmatch(r"(\[\*\]|\w+) --> (\[\*\]|\w+)", line)
        assert match, f"not a plain unlabelled arrow: {line!r}"
        arrows.add((match.group(1), match.group(2)))
    return arrows


def table_arrows(edges: list[Edge]) -> set[tuple[str, str]]:
    return {("[*]" if e.source == "start" else e.source, e.target) for e in edges}


def walk(edges: list[Edge], actions: dict[str, Callable[[Any], bool]], fresh: Callable[[], Any],
         state: Callable[[Any], str], summary: Callable[[Any], Any], max_steps: int = 14) -> list[str]:
    """Takes every row of the table, each at the end of a walk of rows from `start`.

    An action returns False when its row does not apply to the objects as they are
    (a call that answers something else, a continuation of the other kind); that walk
    is dropped. When an action applies, the state the objects report must be the row's
    target. Returns one complaint per row that is wrong or that no walk could take.
    """
    unknown = sorted({e.label for e in edges} - set(actions))
    if unknown:
        return [f"no step is known for the label {label!r}" for label in unknown]
    complaints: list[str] = []
    taken: set[int] = set()
    seen: set[Any] = set()
    queue: deque[tuple[int, ...]] = deque([()])
    while queue and len(taken) < len(edges):
        path = queue.popleft()
        current = edges[path[-1]].target if path else "start"
        for index, edge in enumerate(edges):
            if edge.source != current or len(path) >= max_steps:
                continue
            objects = fresh()
            if not all(actions[edges[i].label](objects) for i in path):
                continue
            if not actions[edge.label](objects):
                continue
            reached = state(objects)
            if reached != edge.target:
                complaints.append(f"{edge.source} --[{edge.label}]--> {edge.target}: the module is in "
                                  f"{reached} (after {[edges[i].label for i in path]})")
                continue
            taken.add(index)
            key = summary(objects)
            if key not in seen:
                seen.add(key)
                queue.append(path + (index,))
    complaints += [f"no walk takes {e.source} --[{e.label}]--> {e.target}"
                   for i, e in enumerate(edges) if i not in taken]
    return complaints


# --- the delivery ledger ---------------------------------------------------------------------

ROOM, MSG = "room-1", "msg-1"
LEDGER_WORDS = {"runnable": "Runnable", "inflight": "InFlight", "pending": "Pending",
                "completed": "Completed", "exhausted": "Exhausted", "failed": "Failed", "self": "Self"}


class Ledger:
    def __init__(self) -> None:
        self.registry = core.ClaimRegistry(max_completed=2)
        self.budget = core.RetryTracker(max_retries=2)
        self.facts: dict[str, bool] = {}
        self.attempts = 0

    def owed(self) -> Any:
        return self.registry.pending_settlement(ROOM, MSG)

    def claimed(self) -> bool:
        return MSG in self.registry.inflight_ids(ROOM)


def ledger_state(ledger: Ledger) -> str:
    word = ledger.registry.delivery_eligibility(ROOM, MSG, ledger.budget, **ledger.facts)
    owed = ledger.owed()
    if word == "pending" and owed is not None and owed["parked"] is not None:
        return "Parked"
    return LEDGER_WORDS[word]


def ledger_summary(ledger: Ledger) -> Any:
    return (ledger_state(ledger), repr(ledger.owed()), ledger.claimed(), ledger.attempts,
            ledger.registry.is_completed(ROOM, MSG), ledger.budget.is_permanently_failed(MSG),
            tuple(sorted(ledger.facts.items())))


def claim_answers(word: str, **facts: bool) -> Callable[[Ledger], bool]:
    def step(ledger: Ledger) -> bool:
        ledger.facts = facts
        return ledger.registry.guarded_claim(ROOM, MSG, ledger.budget, **facts) == word
    return step


def plain(step: Callable[[Ledger], bool]) -> Callable[[Ledger], bool]:
    """A step taken without delivery facts: the state is judged without them afterwards."""
    def wrapped(ledger: Ledger) -> bool:
        ledger.facts = {}
        return step(ledger)
    return wrapped


def attempt(exhausted: bool) -> Callable[[Ledger], bool]:
    def step(ledger: Ledger) -> bool:
        ledger.attempts, answered = ledger.budget.record_attempt(MSG)
        return answered is exhausted
    return plain(step)


def settle_failed(allow_retry: bool) -> Callable[[Ledger], bool]:
    def step(ledger: Ledger) -> bool:
        if ledger.owed() is not None:
            return False
        ledger.registry.record_failed_settlement(ROOM, MSG, "the agent failed", ledger.budget, allow_retry)
        return True
    return plain(step)


def settle_processed(ledger: Ledger) -> bool:
    if ledger.owed() is not None:
        return False
    ledger.registry.record_processed_settlement(ROOM, MSG)
    return True


def release(owed: bool) -> Callable[[Ledger], bool]:
    def step(ledger: Ledger) -> bool:
        if (ledger.owed() is not None) is not owed or not ledger.claimed():
            return False
        ledger.registry.release(ROOM, MSG)
        return True
    return plain(step)


def park(ledger: Ledger) -> bool:
    owed = ledger.owed()
    if owed is None or owed["parked"] is not None:
        return False
    return ledger.registry.park_settlement(ROOM, MSG, owed["token"], core.ParkedReason.Rejected)


def unpark(ledger: Ledger) -> bool:
    owed = ledger.owed()
    if owed is None or owed["parked"] is None:
        return False
    return ledger.registry.unpark_acks(ROOM) == 1


def confirm(kind: str, claimed: bool | None) -> Callable[[Ledger], bool]:
    def step(ledger: Ledger) -> bool:
        owed = ledger.owed()
        if owed is None or owed["parked"] is not None or owed["continuation"]["kind"] != kind:
            return False
        if claimed is not None and ledger.claimed() is not claimed:
            return False
        return ledger.registry.confirm_settlement(ROOM, MSG, owed["token"], ledger.budget)
    return plain(step)


def forget(failed_for_good: bool) -> Callable[[Ledger], bool]:
    def step(ledger: Ledger) -> bool:
        if not ledger.registry.is_completed(ROOM, MSG):
            return False
        if not failed_for_good and ledger.claimed():
            return False
        if ledger.budget.is_permanently_failed(MSG) is not failed_for_good:
            return False
        for newer in range(ledger.registry.max_completed):
            ledger.registry.remember_completed(ROOM, f"newer-{newer}")
        return True
    return plain(step)


LEDGER_STEPS: dict[str, Callable[[Ledger], bool]] = {
    "a message not seen before": lambda ledger: True,
    '`guarded_claim()` answers "runnable" and claims the message': claim_answers("runnable"),
    '`guarded_claim(self_echo=True)` answers "self"': claim_answers("self", self_echo=True),
    '`guarded_claim(durably_processed=True)` answers "completed"':
        claim_answers("completed", durably_processed=True),
    '`guarded_claim(durably_failed=True, allow_failed_retry=False)` answers "failed"':
        claim_answers("failed", durably_failed=True, allow_failed_retry=False),
    "`record_attempt()` answers `(n, False)`: run the agent": attempt(False),
    "`record_attempt()` answers `(n, True)`: do not run the agent": attempt(True),
    "`record_processed_settlement()`": plain(settle_processed),
    "`record_failed_settlement(..., allow_retry=True)`": settle_failed(True),
    "`record_failed_settlement(..., allow_retry=False)`": settle_failed(False),
    "`release()` with nothing owed: the cycle was abandoned": release(owed=False),
    '`guarded_claim()` answers "pending": a redelivery': claim_answers("pending"),
    "`release()`: the terminal write is still owed": release(owed=True),
    "`park_settlement()` with the token: the platform refused the write": plain(park),
    "`unpark_acks()`": plain(unpark),
    "`confirm_settlement()` with the token, continuation finished": confirm("finished", claimed=None),
    "`confirm_settlement()` with the token, continuation retry, claim held": confirm("retry", claimed=True),
    "`confirm_settlement()` with the token, continuation retry, claim released":
        confirm("retry", claimed=False),
    '`guarded_claim()` answers "completed": a redelivery': claim_answers("completed"),
    "`release()`": release(owed=False),
    "`max_completed` newer ids of the room completed; the message was processed and released": forget(False),
    "`max_completed` newer ids of the room completed; the message failed for good": forget(True),
}

LEDGER = section("## One message in the delivery ledger")


def ledger_walk(edges: list[Edge]) -> list[str]:
    return walk(edges, LEDGER_STEPS, Ledger, ledger_state, ledger_summary)


def test_every_ledger_row_is_what_the_registry_does():
    assert ledger_walk(table_edges(LEDGER)) == []


def test_ledger_table_names_every_eligibility_word():
    edges = table_edges(LEDGER)
    states = {e.target for e in edges} | {e.source for e in edges} - {"start"}
    assert states == set(LEDGER_WORDS.values()) | {"Parked"}


@pytest.mark.parametrize("label, wrong_target", [
    # The drawing this table replaced: a release with a write owed leaves it owed.
    ("`release()`: the terminal write is still owed", "Runnable"),
    ("`confirm_settlement()` with the token, continuation retry, claim held", "Runnable"),
    ("`record_attempt()` answers `(n, True)`: do not run the agent", "InFlight"),
    ("`max_completed` newer ids of the room completed; the message failed for good", "Runnable"),
    ("`park_settlement()` with the token: the platform refused the write", "Pending"),
])
def test_ledger_walk_notices_a_wrong_target(label, wrong_target):
    edges = [Edge(e.source, e.label, wrong_target if e.label == label else e.target)
             for e in table_edges(LEDGER)]
    complaints = ledger_walk(edges)
    assert any(label in complaint for complaint in complaints)


def test_ledger_walk_notices_a_row_no_walk_can_take():
    edges = table_edges(LEDGER) + [Edge("Self", "`unpark_acks()`", "Pending")]
    assert ledger_walk(edges) == ["no walk takes Self --[`unpark_acks()`]--> Pending"]


# --- every diagram: the picture draws the table ---------------------------------------------

DIAGRAMS = ["## The session's states", "## One message in the delivery ledger", "### A room",
            "### An agent topic"]


@pytest.mark.parametrize("heading", DIAGRAMS)
def test_picture_draws_exactly_the_table(heading):
    markdown = section(heading)
    assert mermaid_arrows(markdown) == table_arrows(table_edges(markdown))


@pytest.mark.parametrize("heading", DIAGRAMS)
def test_picture_has_no_labels_to_overlap(heading):
    # Mermaid places edge labels (and notes) of a state diagram where they can cover each
    # other or a self-loop; the tables carry the words instead.
    lines = mermaid_lines(section(heading))
    assert not [line for line in lines if ":" in line or line.startswith("note")]


# --- the session ---------------------------------------------------------------------------

# Three rapid disconnects end a session here, so that a walk of a few steps reaches the threshold.
SESSION_POLICY = {**default_config(), "rapid_threshold": 3}


class Sessions:
    def __init__(self) -> None:
        self.session = core.Session(core.SessionPolicy(SESSION_POLICY))
        self.now = 0.0
        self.epoch: int | None = None     # the attempt in flight
        self.up = False
        self.rapid = 0

    def attempt(self) -> int | None:
        if self.epoch is None:
            self.now += 1.0
            self.epoch = self.session.begin_attempt(self.now)
        return self.epoch

    def close(self, code: int, uptime: float) -> core.SessionOutcome | None:
        epoch = self.attempt()
        if epoch is None:
            return None
        self.now += uptime
        self.rapid += uptime < SESSION_POLICY["rapid_disconnect_uptime_s"] or not self.up
        outcome = self.session.on_socket_close(epoch, self.now, code, 1.0)
        self.epoch, self.up = None, False
        return outcome


def session_state(sessions: Sessions) -> str:
    return repr(sessions.session.state).removeprefix("SessionState.")


def session_summary(sessions: Sessions) -> Any:
    return (session_state(sessions), sessions.up, sessions.epoch is None, sessions.rapid)


def connected(sessions: Sessions) -> bool:
    epoch = sessions.attempt()
    if epoch is None or sessions.up:
        return False
    sessions.up = True
    return sessions.session.on_connected(epoch, sessions.now).stale_reason is None


def retryable_ending(sessions: Sessions) -> bool:
    # Up for 30 s: neither a rapid disconnect nor a stable connection.
    outcome = sessions.close(1006, 30.0 if sessions.up else 0.0)
    return outcome is not None and outcome.retry_after_s is not None and outcome.stale_reason is None


def rapid_ending(sessions: Sessions) -> bool:
    outcome = sessions.close(1006, 1.0)
    return outcome is not None and outcome.dead_reason is core.DeadReason.RapidDisconnect


def terminal_ending(sessions: Sessions) -> bool:
    outcome = sessions.close(1000, 30.0)
    return outcome is not None and outcome.dead_reason is core.DeadReason.Classified


def stale_report(sessions: Sessions) -> bool:
    if not sessions.up or sessions.epoch is None:
        return False
    return sessions.session.on_connected(sessions.epoch, sessions.now).stale_reason is not None


def ended(sessions: Sessions) -> bool:
    sessions.session.end()
    return True


def dead_again(sessions: Sessions) -> bool:
    outcome = sessions.session.on_supersede(sessions.now + 1.0, True, None, 1.0)
    return (outcome.state is core.SessionState.Dead and outcome.retry_after_s is None
            and sessions.session.begin_attempt(sessions.now + 2.0) is None)


SESSION_STEPS: dict[str, Callable[[Sessions], bool]] = {
    "`Session(policy)`": lambda sessions: True,
    "`on_connected()` accepted": connected,
    "a retryable ending: wait `retry_after_s`, then `begin_attempt()`": retryable_ending,
    "a terminal ending": terminal_ending,
    "a rapid disconnect that reaches `rapid_threshold`": rapid_ending,
    "`end()`": ended,
    "a report naming an old epoch, or a repeated `on_connected()`: `stale_reason` set": stale_report,
    "any report: the dead outcome again; `begin_attempt()` gives `None`": dead_again,
}


def test_every_session_row_is_what_the_session_does():
    edges = table_edges(section("## The session's states"))
    assert walk(edges, SESSION_STEPS, Sessions, session_state, session_summary) == []


def test_session_walk_notices_a_wrong_target():
    edges = [Edge(e.source, e.label, "Connecting" if e.source == "Up" and e.target == "Reconnecting" else e.target)
             for e in table_edges(section("## The session's states"))]
    complaints = walk(edges, SESSION_STEPS, Sessions, session_state, session_summary)
    assert any(c.startswith("Up --[a retryable ending") and "module is in Reconnecting" in c for c in complaints)


# --- rooms and agent topics ------------------------------------------------------------------

SUBJECT = "room-1"


class Tracked:
    def __init__(self) -> None:
        self.tracker = core.SubscriptionTracker()
        self.t: int | None = None     # the ticket of the subscribe or join
        self.u: int | None = None     # the ticket of the leave


def ticket_step(name: str, slot: str, expected: Any = None, *extra: Any) -> Callable[[Tracked], bool]:
    """Calls `name(SUBJECT, <ticket in slot>, *extra)` and compares its answer with `expected`."""
    def step(tracked: Tracked) -> bool:
        ticket = getattr(tracked, slot)
        if ticket is None:
            return False
        answer = getattr(tracked.tracker, name)(SUBJECT, ticket, *extra)
        return answer == expected
    return step


def begin(name: str, slot: str) -> Callable[[Tracked], bool]:
    def step(tracked: Tracked) -> bool:
        ticket = getattr(tracked.tracker, name)(SUBJECT)
        setattr(tracked, slot, ticket)
        return ticket is not None
    return step


def refused(name: str) -> Callable[[Tracked], bool]:
    return lambda tracked: getattr(tracked.tracker, name)(SUBJECT) is None


def rejoined(candidates: str) -> Callable[[Tracked], bool]:
    def step(tracked: Tracked) -> bool:
        tracked.tracker.on_reconnected()
        return (SUBJECT, tracked.t) in getattr(tracked.tracker, candidates)()
    return step


def stale_completion(tracked: Tracked) -> bool:
    if tracked.t is None:
        return False
    reports = [tracked.tracker.record_both_room_topics_joined(SUBJECT, tracked.t + 1),
               tracked.tracker.record_chat_room_join_failed(SUBJECT, tracked.t + 1),
               tracked.tracker.record_room_participants_join_failed(SUBJECT, tracked.t + 1, True)]
    return all(report is core.RoomSubscribeResult.Stale for report in reports)


def acknowledged(name: str) -> Callable[[Tracked], bool]:
    return lambda tracked: getattr(tracked.tracker, name)(SUBJECT) is True


Result = core.RoomSubscribeResult
ROOM_STEPS: dict[str, Callable[[Tracked], bool]] = {
    "a room never subscribed": lambda tracked: True,
    "`begin_room_subscribe()` gives ticket t": begin("begin_room_subscribe", "t"),
    "`record_both_room_topics_joined(t)` answers `Subscribed`":
        ticket_step("record_both_room_topics_joined", "t", Result.Subscribed),
    "`record_chat_room_join_failed(t)` answers `JoinFailed`":
        ticket_step("record_chat_room_join_failed", "t", Result.JoinFailed),
    "`record_room_participants_join_failed(t, True)` answers `RolledBack`":
        ticket_step("record_room_participants_join_failed", "t", Result.RolledBack, True),
    "`record_room_participants_join_failed(t, False)` answers `RollbackFailed`":
        ticket_step("record_room_participants_join_failed", "t", Result.RollbackFailed, False),
    "any completion report under another ticket answers `Stale`": stale_completion,
    "after a reconnect the rejoin succeeded: no call": rejoined("room_rejoin_candidates"),
    "after a reconnect the rejoin failed: `mark_room_rejoin_failed(t)` answers `True`":
        ticket_step("mark_room_rejoin_failed", "t", True),
    "`unsubscribe_room()` gives ticket u": begin("unsubscribe_room", "u"),
    "`mark_room_leave_complete(u, LeaveOutcome.Left)`":
        ticket_step("mark_room_leave_complete", "u", True, core.LeaveOutcome.Left),
    "`mark_room_leave_complete(u, LeaveOutcome.Failed)`":
        ticket_step("mark_room_leave_complete", "u", True, core.LeaveOutcome.Failed),
    "`mark_room_leave_complete(u, LeaveOutcome.Unknown)`":
        ticket_step("mark_room_leave_complete", "u", True, core.LeaveOutcome.Unknown),
    "`begin_room_subscribe()` gives `None`": refused("begin_room_subscribe"),
    "`acknowledge_room_reconciled()`": acknowledged("acknowledge_room_reconciled"),
}

TOPIC_STEPS: dict[str, Callable[[Tracked], bool]] = {
    "a topic never joined": lambda tracked: True,
    "`begin_agent_topic_join()` gives ticket t": begin("begin_agent_topic_join", "t"),
    "`record_agent_topic_join(t, True)` answers `True`": ticket_step("record_agent_topic_join", "t", True, True),
    "`record_agent_topic_join(t, False)` answers `False`":
        ticket_step("record_agent_topic_join", "t", False, False),
    "`record_agent_topic_join_ambiguous(t)`: the join's answer never came":
        ticket_step("record_agent_topic_join_ambiguous", "t", True),
    "after a reconnect the rejoin succeeded: no call": rejoined("agent_topic_rejoin_candidates"),
    "after a reconnect the rejoin failed: `mark_agent_topic_rejoin_failed(t)` answers `True`":
        ticket_step("mark_agent_topic_rejoin_failed", "t", True),
    "`leave_agent_topic()` gives ticket u": begin("leave_agent_topic", "u"),
    "`mark_agent_topic_leave_complete(u, LeaveOutcome.Left)`":
        ticket_step("mark_agent_topic_leave_complete", "u", True, core.LeaveOutcome.Left),
    "`mark_agent_topic_leave_complete(u, LeaveOutcome.Failed)`":
        ticket_step("mark_agent_topic_leave_complete", "u", True, core.LeaveOutcome.Failed),
    "`mark_agent_topic_leave_complete(u, LeaveOutcome.Unknown)`":
        ticket_step("mark_agent_topic_leave_complete", "u", True, core.LeaveOutcome.Unknown),
    "`acknowledge_agent_topic_reconciled()`": acknowledged("acknowledge_agent_topic_reconciled"),
}


def room_state(tracked: Tracked) -> str:
    return repr(tracked.tracker.room_status(SUBJECT)).removeprefix("RoomStatus.")


def topic_state(tracked: Tracked) -> str:
    return repr(tracked.tracker.agent_topic_status(SUBJECT)).removeprefix("AgentTopicStatus.")


@pytest.mark.parametrize("heading, steps, state", [
    ("### A room", ROOM_STEPS, room_state),
    ("### An agent topic", TOPIC_STEPS, topic_state),
])
def test_every_subscription_row_is_what_the_tracker_does(heading, steps, state):
    edges = table_edges(section(heading))
    assert walk(edges, steps, Tracked, state, lambda tracked: (state(tracked), tracked.t is None)) == []


@pytest.mark.parametrize("heading, steps, state, label, wrong", [
    ("### A room", ROOM_STEPS, room_state,
     "`record_room_participants_join_failed(t, False)` answers `RollbackFailed`", "Absent"),
    ("### A room", ROOM_STEPS, room_state, "`mark_room_leave_complete(u, LeaveOutcome.Unknown)`", "Absent"),
    ("### An agent topic", TOPIC_STEPS, topic_state,
     "`record_agent_topic_join_ambiguous(t)`: the join's answer never came", "Absent"),
])
def test_subscription_walk_notices_a_wrong_target(heading, steps, state, label, wrong):
    edges = [Edge(e.source, e.label, wrong if e.label == label else e.target) for e in table_edges(section(heading))]
    complaints = walk(edges, steps, Tracked, state, lambda tracked: (state(tracked), tracked.t is None))
    assert any(label in complaint for complaint in complaints)

"""Type information for orvu_sdk_core, the decision core of the agent SDK."""

# The hand-written part of the stubs, which scripts/gen_stubs.py merges with
# what it generates from the module's declarations and the core's tables.
# Everything up to the first runtime class is copied as it stands (the dict
# shapes and aliases that no declaration can carry). The runtime classes
# after it only lend docstrings, for what the module documents nowhere (a
# constructor's arguments, methods without a docstring); their signatures
# here mean nothing. "{name}" marks are filled from the core's constants.

import builtins
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, ClassVar, Literal, NotRequired, Self, TypeAlias, TypedDict, final, overload, type_check_only

__version__: str
"""The version of the installed distribution, from the project metadata (not in `__all__`)."""

JsonValue: TypeAlias = None | bool | int | float | str | builtins.list[Any] | dict[str, Any]
"""Any value the module converts to or from JSON: `None`, `bool`, `int` (64-bit),
`float`, `str`, lists and dicts with `str` keys, nested up to 512 levels.

Typing-only: exists in the stubs, not in the module; at run time the value is a plain
Python value. Name it only in annotations that are never evaluated (`from __future__ import
annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
"""

@type_check_only
class InvocationDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for a new message to hand to the agent: claim it
    with `ClaimRegistry.guarded_claim(room_id, message_id, ...)`.
    """
    decision: Literal["invocation"]
    room_id: str
    message_id: str
    sender_id: str
    sender_type: str

@type_check_only
class SkipSelfDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for the agent's own message echoed back: skip it.
    """
    decision: Literal["skip_self"]
    room_id: str
    message_id: str

@type_check_only
class CleanupDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for `room_removed` / `room_deleted`: the host drops
    what it holds for `room_id`.
    """
    decision: Literal["cleanup"]
    room_id: str

@type_check_only
class IgnoredDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for every other event, known or not.
    """
    decision: Literal["ignored"]
    event_type: str

DeliveryDecision: TypeAlias = InvocationDecision | SkipSelfDecision | CleanupDecision | IgnoredDecision
"""What `evaluate_delivery_event` returns; narrow it on `decision["decision"]`.
"""

@type_check_only
class NoCandidateDecision(TypedDict):
    """`evaluate_drain_candidate`'s answer when the fetch returned no candidate: the drain
    is over.
    """
    decision: Literal["no_candidate"]

@type_check_only
class CandidateDecision(TypedDict):
    """`evaluate_drain_candidate`'s answer for a fetched candidate: "self_echo" (skip it),
    "drain" (claim and handle it) or "out_of_snapshot" (not among the ids the drain may
    consume: do not drain it).
    """
    decision: Literal["self_echo", "drain", "out_of_snapshot"]
    message_id: str

DrainDecision: TypeAlias = NoCandidateDecision | CandidateDecision
"""What `evaluate_drain_candidate` returns; narrow it on `decision["decision"]`.
"""

@type_check_only
class AdapterDecision(TypedDict):
    """`evaluate_adapter_result`'s acknowledgement decision: record "processed" or "failed"
    with `record_processed_settlement` / `record_failed_settlement`.
    """
    decision: Literal["processed", "failed"]
    room_id: str
    message_id: str

@type_check_only
class NoPendingDecision(TypedDict):
    """`evaluate_next_message`'s answer: "no_pending" (the room has no open message) or
    "ready_to_claim" (the triggering message is the next open one).
    """
    decision: Literal["no_pending", "ready_to_claim"]

@type_check_only
class AlreadyProcessedDecision(TypedDict):
    """`evaluate_next_message`'s answer when the room's next open message is another one,
    `next_open_id`: the triggering message was already handled.
    """
    decision: Literal["already_processed"]
    next_open_id: str

NextMessageDecision: TypeAlias = NoPendingDecision | AlreadyProcessedDecision
"""What `evaluate_next_message` returns; narrow it on `decision["decision"]`.
"""

@type_check_only
class FinishedContinuation(TypedDict):
    """Continuation of a settlement after which nothing more is owed: confirming it
    remembers the message as completed.
    """
    kind: Literal["finished"]

@type_check_only
class RetryContinuation(TypedDict):
    """Continuation of a failed settlement that the budget allows to retry: confirming it
    leaves the message runnable again. `attempts` made so far, of `max_retries`.
    """
    kind: Literal["retry"]
    attempts: int
    max_retries: int

@type_check_only
class SettlementDescription(TypedDict):
    """A terminal write owed to the platform, from `record_processed_settlement`,
    `record_failed_settlement` or `pending_settlement`. Send `status` (and `error`) to the
    platform; on acceptance pass `token` to `confirm_settlement`, on refusal to
    `park_settlement`. `parked` is the parking reason's wire name or `None`.
    """
    token: str
    status: Literal["processed", "failed"]
    error: NotRequired[str]
    parked: Literal["not_found", "rejected"] | None
    continuation: FinishedContinuation | RetryContinuation

@type_check_only
class PendingAck(TypedDict):
    """`ClaimRegistry.pending_ack`'s view of an owed terminal write (no token, no
    continuation).
    """
    status: Literal["processed", "failed"]
    error: NotRequired[str]
    parked: Literal["not_found", "rejected"] | None

@type_check_only
class ParticipantDict(TypedDict):
    """One participant as `ParticipantRoster.list()` returns it: exactly these five keys.
    """
    id: str
    name: str | None
    type: str | None
    handle: str | None
    description: str | None

@type_check_only
class ToolParameter(TypedDict):
    """One parameter of a `ToolSpec`.
    """
    name: str
    description: str
    required: bool

@type_check_only
class ToolSpec(TypedDict):
    """A tool definition to hand to the agent, as `no_reply_tool()` returns it.
    """
    name: str
    description: str
    parameters: builtins.list[ToolParameter]

@type_check_only
class FailureDict(TypedDict):
    """`AgentFailure.to_dict()`: the failure as a plain JSON-shaped dict, keys in this order.
    """
    provider: str
    code: str | None
    message: str
    detail: JsonValue

Eligibility: TypeAlias = Literal["self", "completed", "pending", "inflight", "exhausted", "failed", "runnable"]
"""The words `delivery_eligibility` and `guarded_claim` answer.
"""

class AgentTopicStatus:
    """Where an agent topic stands in a `SubscriptionTracker`, as `agent_topic_status`
    answers: `Absent`, `Pending` (a join ticket is out), `Joined`, `Leaving`, or
    `NeedsReconciliation` (its transport state is unknown until acknowledged).
    """

class ClaimOutcome:
    """Answer of `DecisionRegistry.try_claim`: `Claimed` (the ask is now yours),
    `AlreadyClaimed` (someone claimed it first) or `Stale` (no such token, or the ticket is
    not the registration's current one).
    """

class DeadReason:
    """Why a `Session` died: `Classified` (close code 1000, upgrade refused with 400, 403
    or 409, or a supersede that is not retryable) or `RapidDisconnect` (the remembered rapid
    disconnects reached the policy's `rapid_threshold`).
    """

class LeaveOutcome:
    """How leaving a room or an agent topic ended, as reported to
    `mark_room_leave_complete` / `mark_agent_topic_leave_complete`: `Left` makes it absent;
    `Failed` and `Unknown` send it to reconciliation.
    """

class RoomMembership:
    """Where a room stands in a `RoomRoster`: `Unadmitted`, `Admitting` (an admission
    ticket is out) or `Admitted`.
    """

class RoomStatus:
    """Where a room stands in a `SubscriptionTracker`, as `room_status` answers: `Absent`,
    `Pending` (a subscribe ticket is out), `Subscribed` (both topics joined), `Leaving`, or
    `NeedsReconciliation` (its transport state is unknown until acknowledged).
    """

class RoomSubscribeResult:
    """Answer of a room subscribe report: `Subscribed`, `JoinFailed` (the room is absent
    again), `RolledBack` (chat_room was left again: absent), `RollbackFailed` (the room needs
    reconciliation) or `Stale` (the ticket is not the room's pending one; nothing changed).
    """

class SessionState:
    """State of a `Session`: `Connecting` (never up yet), `Up`, `Reconnecting` (was up,
    waiting for the next attempt) or `Dead` (final).
    """

class StaleReason:
    """Why a `Session` ignored a report (it changed nothing): `WrongEpoch` (not the attempt
    in flight), `ClockRegression` (earlier than the attempt's last event), `DuplicateConnected`
    (the epoch is already up) or `SupersedePredatesEpoch` (older than the attempt in flight).
    """

class SessionPolicy:
    def __new__(self) -> None:
        """Reads the fourteen settings from `config` (anything supporting `config[key]`),
        all required; seconds unless noted, with the default in brackets:

        {policy_defaults}.

        `factor` is a number >= 1, `rapid_threshold` a count >= 1, `heartbeat_interval_s`
        above zero and `dead_threshold_s` above the heartbeat.

        Raises `TypeError` for a missing key (the first one, in table order), a `bool` or a
        non-number; `ValueError` for a negative, infinite or NaN duration or a bad
        `rapid_threshold`; and one `ValueError` with `.issues` and `.trace_context` collecting
        every failed cross-field check (`factor` >= 1, base <= max delay, threshold >= 1,
        heartbeat > 0, dead threshold > heartbeat).
        """

class Session:
    def __new__(self) -> None:
        """A new session in state `Connecting`, with a copy of `policy`."""

class AgentFailure:
    def __new__(self) -> None:
        """`detail` may be any JSON-like value (stored as a copy); anything else raises `TypeError`."""

class RetryTracker:
    def __new__(self) -> None:
        """`max_retries` ({max_retries}) is the budget given to each new message: the number of
        attempts in all, the first included (1, the default: one attempt and no retry; 2: one
        retry; 0: not even a first attempt). `max_tracked` ({max_tracked}) bounds each store.
        Out of range raises `ValueError`.
        """

class ClaimRegistry:
    def __new__(self) -> None:
        """`max_completed` ({max_completed}) bounds each room's set of completed ids; the least
        recently touched id is forgotten first.
        """

class SubscriptionTracker:
    def __new__(self) -> None:
        """An empty tracker; its tickets start at 0."""
    def begin_room_subscribe(self) -> None:
        """An absent room becomes pending: returns the ticket to report the join with, or `None`
        (the room is not absent, or tickets are exhausted).
        """
    def record_chat_room_join_failed(self) -> None:
        """The room's chat_room join failed: absent again (`JoinFailed`), or `Stale`."""
    def record_both_room_topics_joined(self) -> None:
        """Both topics of a pending room joined: `Subscribed`, or `Stale` when `ticket` is not the
        room's pending one. Not for a rejoin after a reconnect (that needs no call).
        """
    def record_room_participants_join_failed(self) -> None:
        """chat_room joined but room_participants failed, and the host tried to leave chat_room:
        `RolledBack` (absent) when `chat_room_left`, else `RollbackFailed` (needs
        reconciliation); `Stale` for a ticket that is not the pending one.
        """
    def is_room_subscribed(self) -> None:
        """Whether both of the room's topics are joined."""
    def is_room_claim_current(self) -> None:
        """Whether `ticket` is the room's live pending subscribe: check before acting on a
        transport reply.
        """
    def room_status(self) -> None:
        """The room's `RoomStatus`."""
    def unsubscribe_room(self) -> None:
        """A subscribed room starts leaving: returns the leave ticket, or `None`."""
    def mark_room_leave_complete(self) -> None:
        """Report the leave under its ticket: `Left` makes the room absent, `Failed` / `Unknown`
        send it to reconciliation. False for another ticket or state.
        """
    def acknowledge_room_reconciled(self) -> None:
        """The host settled the room's transport state: needs-reconciliation becomes absent."""
    def room_rejoin_candidates(self) -> None:
        """`(room_id, ticket)` of every subscribed room, oldest first: what to rejoin after a
        reconnect. Hands out no ticket.
        """
    def mark_room_rejoin_failed(self) -> None:
        """The rejoin of a subscribed room failed: it needs reconciliation (True), or False for
        another ticket or state.
        """
    def subscribed_room_ids(self) -> None:
        """Ids of the subscribed rooms, oldest first."""
    def on_reconnected(self) -> None:
        """Marks a transport reconnect; changes nothing. Then rejoin what the candidate lists name."""
    def end_session(self) -> None:
        """Forget every room and agent topic (all absent); tickets handed out before stay stale."""
    def begin_agent_topic_join(self) -> None:
        """An absent topic becomes pending: returns the join ticket, or `None`."""
    def record_agent_topic_join(self) -> None:
        """Report the join under its ticket: True when the topic is now joined; False after a
        failed join (the topic is absent again) and for a stale report (nothing changed).
        """
    def record_agent_topic_join_ambiguous(self) -> None:
        """The join's outcome is unknown: the pending topic needs reconciliation (True), or False."""
    def is_agent_topic_joined(self) -> None:
        """Whether the topic is joined."""
    def is_agent_topic_claim_current(self) -> None:
        """Whether `ticket` is the topic's live pending join."""
    def agent_topic_status(self) -> None:
        """The topic's `AgentTopicStatus`."""
    def leave_agent_topic(self) -> None:
        """A joined topic starts leaving: returns the leave ticket, or `None`."""
    def mark_agent_topic_leave_complete(self) -> None:
        """Report the leave under its ticket: `Left` makes the topic absent, `Failed` / `Unknown`
        send it to reconciliation. False for another ticket or state.
        """
    def acknowledge_agent_topic_reconciled(self) -> None:
        """The host settled the topic's transport state: needs-reconciliation becomes absent."""
    def agent_topic_rejoin_candidates(self) -> None:
        """`(topic, ticket)` of every joined topic, oldest first: what to rejoin after a reconnect."""
    def mark_agent_topic_rejoin_failed(self) -> None:
        """The rejoin of a joined topic failed: it needs reconciliation (True), or False."""
    def joined_agent_topics(self) -> None:
        """The joined topics, oldest first."""

class RoomRoster:
    def __new__(self) -> None:
        """An empty roster; its own tickets start at 0."""
    def room_membership(self) -> None:
        """The room's `RoomMembership`."""
    def begin_room_admission(self) -> None:
        """An unadmitted room that `passes_filter` starts admission: returns the ticket, or `None`."""
    def record_room_admission(self) -> None:
        """Report the admission under its ticket: True when the room is now admitted; False after
        a failed admission or for a stale report.
        """
    def is_room_admission_current(self) -> None:
        """Whether `ticket` is the room's live admission."""
    def record_room_removed(self) -> None:
        """The platform removed the agent from the room: True when it was admitted."""
    def tracked_room_ids(self) -> None:
        """The admitted rooms, oldest first."""
    def reconcile(self) -> None:
        """Reconcile against the platform's authoritative list of rooms (a list or tuple of str);
        see `RoomReconciliation` for what comes back and what to do with it.
        """
    def clear(self) -> None:
        """Forget every room; returns the ids that were admitted or admitting, sorted."""

class ParticipantRoster:
    def __new__(self) -> None:
        """An empty roster. `trace_context_provider`, when given, is called without arguments by
        `set_all` for the trace context of its errors (a failure of it is ignored).
        """

class DecisionRegistry:
    def __new__(self) -> None:
        """`max_pending` ({max_pending} or `None`) is the bound `evict_oldest` enforces; `seed`
        makes minted tokens reproducible (`None`: seeded from `os.urandom`).
        """

class TurnLedger:
    def __new__(self) -> None:
        """A fresh ledger for one turn."""

"""Type information for orvu_sdk_core, the decision core of the agent SDK."""

import builtins
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, ClassVar, Literal, NotRequired, Self, TypeAlias, TypedDict, final, type_check_only

__all__ = [
    "AgentFailure",
    "AgentTopicKind",
    "AgentTopicStatus",
    "CancelledDecisions",
    "ClaimOutcome",
    "ClaimRegistry",
    "DeadReason",
    "DecisionRegistry",
    "EventType",
    "LeaveOutcome",
    "MemoryListScope",
    "MemorySegment",
    "MemoryStatus",
    "MemoryStoreScope",
    "MemorySystem",
    "MemoryType",
    "ParkedReason",
    "ParticipantRoster",
    "RetryTracker",
    "RoomMembership",
    "RoomReconciliation",
    "RoomRoster",
    "RoomStatus",
    "RoomSubscribeResult",
    "Session",
    "SessionOutcome",
    "SessionPolicy",
    "SessionState",
    "StaleReason",
    "SubscriptionTracker",
    "TurnEffect",
    "TurnLedger",
    "TurnVerdict",
    "orvu_tool_effects",
    "chat_room_topic",
    "classify_close",
    "classify_upgrade",
    "evaluate_adapter_result",
    "evaluate_delivery_event",
    "evaluate_drain_candidate",
    "evaluate_next_message",
    "is_authorized_sender",
    "is_self_echo",
    "missing_reply_message",
    "no_reply_tool",
    "room_participants_topic",
    "validate_event_payload",
    "validate_memory_type_for_system",
]

__version__: str
"""The version of the installed distribution, from the project metadata (not in `__all__`)."""

JsonValue: TypeAlias = None | bool | int | float | str | builtins.list[Any] | dict[str, Any]
"""Any value the module converts to or from JSON: `None`, `bool`, `int` (64-bit),
`float`, `str`, lists and dicts with `str` keys, nested up to 512 levels.

Typing-only: exists in the stubs, not in the module; at run time the value is a plain
Python value. Name it only in annotations that are never evaluated (`from __future__ import
annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
"""

# ---------------------------------------------------------------------------
# Enumerations: every member is a singleton class attribute; str() is the wire
# string, int() the index; members are unhashable and compare only within
# their class.
#
# The classes deliberately declare no __eq__ / __ne__: a member equals only
# itself, which is object's identity comparison, and a class without its own
# __eq__ is what lets `mypy --strict` (strict equality) and pyright
# (reportUnnecessaryComparison) flag `state == "dead"`, always false, as a
# comparison of unrelated types. A declared __eq__(object) would tell both
# checkers that a member might equal a str. `__hash__: ClassVar[None]` makes
# pyright flag a member used as a dict key or set element.

@final
class AgentTopicKind:
    """A single-topic channel of one agent: `Control` (agent_control), `Rooms` (agent_rooms)
    or `Contacts` (agent_contacts). `topic(agent_id)` builds the channel's topic string.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Control: ClassVar[AgentTopicKind]
    Rooms: ClassVar[AgentTopicKind]
    Contacts: ClassVar[AgentTopicKind]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> AgentTopicKind | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def topic(self, agent_id: str) -> str:
        """The channel's topic string: the wire name, a colon, then `agent_id` unchanged
        (`AgentTopicKind.Rooms.topic("a1")` is "agent_rooms:a1").
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class AgentTopicStatus:
    """Where an agent topic stands in a `SubscriptionTracker`, as `agent_topic_status`
    answers: `Absent`, `Pending` (a join ticket is out), `Joined`, `Leaving`, or
    `NeedsReconciliation` (its transport state is unknown until acknowledged).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Absent: ClassVar[AgentTopicStatus]
    Pending: ClassVar[AgentTopicStatus]
    Joined: ClassVar[AgentTopicStatus]
    Leaving: ClassVar[AgentTopicStatus]
    NeedsReconciliation: ClassVar[AgentTopicStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class ClaimOutcome:
    """Answer of `DecisionRegistry.try_claim`: `Claimed` (the ask is now yours),
    `AlreadyClaimed` (someone claimed it first) or `Stale` (no such token, or the ticket is
    not the registration's current one).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Claimed: ClassVar[ClaimOutcome]
    AlreadyClaimed: ClassVar[ClaimOutcome]
    Stale: ClassVar[ClaimOutcome]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class DeadReason:
    """Why a `Session` died: `Classified` (close code 1000, upgrade refused with 400, 403
    or 409, or a supersede that is not retryable) or `RapidDisconnect` (the remembered rapid
    disconnects reached the policy's `rapid_threshold`).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Classified: ClassVar[DeadReason]
    RapidDisconnect: ClassVar[DeadReason]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class EventType:
    """The platform's inbound event names. `wire_name` is the event string as it arrives
    ("message_created", "agent.control", ...); `from_wire_name` maps a received string back.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    MessageCreated: ClassVar[EventType]
    MessageUpdated: ClassVar[EventType]
    RoomAdded: ClassVar[EventType]
    RoomRemoved: ClassVar[EventType]
    RoomDeleted: ClassVar[EventType]
    ParticipantAdded: ClassVar[EventType]
    ParticipantRemoved: ClassVar[EventType]
    ContactRequestReceived: ClassVar[EventType]
    ContactRequestUpdated: ClassVar[EventType]
    ContactAdded: ClassVar[EventType]
    ContactRemoved: ClassVar[EventType]
    Supersede: ClassVar[EventType]
    AgentControl: ClassVar[EventType]
    EventCreated: ClassVar[EventType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> EventType | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class LeaveOutcome:
    """How leaving a room or an agent topic ended, as reported to
    `mark_room_leave_complete` / `mark_agent_topic_leave_complete`: `Left` makes it absent;
    `Failed` and `Unknown` send it to reconciliation.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Left: ClassVar[LeaveOutcome]
    Failed: ClassVar[LeaveOutcome]
    Unknown: ClassVar[LeaveOutcome]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class MemoryListScope:
    """Scope filter for listing memories: `Subject`, `Organization` or `All`.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Subject: ClassVar[MemoryListScope]
    Organization: ClassVar[MemoryListScope]
    All: ClassVar[MemoryListScope]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> MemoryListScope | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class MemorySegment:
    """Logical subject category of a stored memory (`User`, `Agent`, `Tool`, `Guideline`);
    not a store or list scope.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    User: ClassVar[MemorySegment]
    Agent: ClassVar[MemorySegment]
    Tool: ClassVar[MemorySegment]
    Guideline: ClassVar[MemorySegment]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> MemorySegment | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class MemoryStatus:
    """Lifecycle state of a memory (`Active`, `Superseded`, `Archived`), and `All` as a list
    filter.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Active: ClassVar[MemoryStatus]
    Superseded: ClassVar[MemoryStatus]
    Archived: ClassVar[MemoryStatus]
    All: ClassVar[MemoryStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> MemoryStatus | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class MemoryStoreScope:
    """Visibility scope for storing a memory: `Subject` or `Organization`. Distinct from
    `MemoryListScope`: members of the two never compare equal.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Subject: ClassVar[MemoryStoreScope]
    Organization: ClassVar[MemoryStoreScope]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> MemoryStoreScope | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class MemorySystem:
    """Memory tier: `Sensory` admits iconic, echoic and haptic memories; `Working` and
    `LongTerm` admit episodic, semantic and procedural ones (`validate_memory_type_for_system`).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Sensory: ClassVar[MemorySystem]
    Working: ClassVar[MemorySystem]
    LongTerm: ClassVar[MemorySystem]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> MemorySystem | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class MemoryType:
    """Content kind of a memory; must belong to the chosen `MemorySystem` tier.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Iconic: ClassVar[MemoryType]
    Echoic: ClassVar[MemoryType]
    Haptic: ClassVar[MemoryType]
    Episodic: ClassVar[MemoryType]
    Semantic: ClassVar[MemoryType]
    Procedural: ClassVar[MemoryType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> MemoryType | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class ParkedReason:
    """Why the platform refused a terminal write that stays pending (`NotFound` or
    `Rejected`); the `reason` of `ClaimRegistry.park_settlement` and `park_ack`.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    NotFound: ClassVar[ParkedReason]
    Rejected: ClassVar[ParkedReason]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> ParkedReason | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class RoomMembership:
    """Where a room stands in a `RoomRoster`: `Unadmitted`, `Admitting` (an admission
    ticket is out) or `Admitted`.

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Unadmitted: ClassVar[RoomMembership]
    Admitting: ClassVar[RoomMembership]
    Admitted: ClassVar[RoomMembership]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class RoomStatus:
    """Where a room stands in a `SubscriptionTracker`, as `room_status` answers: `Absent`,
    `Pending` (a subscribe ticket is out), `Subscribed` (both topics joined), `Leaving`, or
    `NeedsReconciliation` (its transport state is unknown until acknowledged).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Absent: ClassVar[RoomStatus]
    Pending: ClassVar[RoomStatus]
    Subscribed: ClassVar[RoomStatus]
    Leaving: ClassVar[RoomStatus]
    NeedsReconciliation: ClassVar[RoomStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class RoomSubscribeResult:
    """Answer of a room subscribe report: `Subscribed`, `JoinFailed` (the room is absent
    again), `RolledBack` (chat_room was left again: absent), `RollbackFailed` (the room needs
    reconciliation) or `Stale` (the ticket is not the room's pending one; nothing changed).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Subscribed: ClassVar[RoomSubscribeResult]
    JoinFailed: ClassVar[RoomSubscribeResult]
    RolledBack: ClassVar[RoomSubscribeResult]
    RollbackFailed: ClassVar[RoomSubscribeResult]
    Stale: ClassVar[RoomSubscribeResult]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class SessionState:
    """State of a `Session`: `Connecting` (never up yet), `Up`, `Reconnecting` (was up,
    waiting for the next attempt) or `Dead` (final).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Connecting: ClassVar[SessionState]
    Up: ClassVar[SessionState]
    Reconnecting: ClassVar[SessionState]
    Dead: ClassVar[SessionState]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class StaleReason:
    """Why a `Session` ignored a report (it changed nothing): `WrongEpoch` (not the attempt
    in flight), `ClockRegression` (earlier than the attempt's last event), `DuplicateConnected`
    (the epoch is already up) or `SupersedePredatesEpoch` (older than the attempt in flight).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    WrongEpoch: ClassVar[StaleReason]
    ClockRegression: ClassVar[StaleReason]
    DuplicateConnected: ClassVar[StaleReason]
    SupersedePredatesEpoch: ClassVar[StaleReason]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class TurnEffect:
    """What a successful tool call contributes to the turn: `Observe` (nothing), `Act`
    (settles the turn), `Reply` or `Decline` (settle it and count as the reply).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Observe: ClassVar[TurnEffect]
    Act: ClassVar[TurnEffect]
    Reply: ClassVar[TurnEffect]
    Decline: ClassVar[TurnEffect]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> TurnEffect | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

@final
class TurnVerdict:
    """How a turn ends, per `TurnLedger.verdict()`: `Complete`, or `MissingReply` (post
    `missing_reply_message()` to the room).

    Members are singletons, compared with `is` or `==` (equal only within their class);
    `str()` gives the wire string, `int()` the index and `repr()` `Class.Member`. Members
    are unhashable: key dicts by `str(member)`. The class cannot be instantiated.
    """
    Complete: ClassVar[TurnVerdict]
    MissingReply: ClassVar[TurnVerdict]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def wire_name(self) -> str:
        """The member's wire string, the same as `str(member)`."""
    @staticmethod
    def from_wire_name(name: str) -> TurnVerdict | None:
        """The member whose wire string is exactly `name`, or `None` for any other string
        (no case folding, no trimming).
        """
    def __int__(self) -> int:
        """The member's index within its class, counting from 0."""

# ---------------------------------------------------------------------------
# Decision dicts.

@type_check_only
class InvocationDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for a new message to hand to the agent: claim it
    with `ClaimRegistry.guarded_claim(room_id, message_id, ...)`.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["invocation"]
    room_id: str
    message_id: str
    sender_id: str
    sender_type: str

@type_check_only
class SkipSelfDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for the agent's own message echoed back: skip it.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["skip_self"]
    room_id: str
    message_id: str

@type_check_only
class CleanupDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for `room_removed` / `room_deleted`: the host drops
    what it holds for `room_id`.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["cleanup"]
    room_id: str

@type_check_only
class IgnoredDecision(TypedDict):
    """`evaluate_delivery_event`'s answer for every other event, known or not.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["ignored"]
    event_type: str

DeliveryDecision: TypeAlias = InvocationDecision | SkipSelfDecision | CleanupDecision | IgnoredDecision
"""What `evaluate_delivery_event` returns; narrow it on `decision["decision"]`.

Typing-only: exists in the stubs, not in the module; at run time the value is a plain
dict. Name it only in annotations that are never evaluated (`from __future__ import
annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
"""

@type_check_only
class NoCandidateDecision(TypedDict):
    """`evaluate_drain_candidate`'s answer when the fetch returned no candidate: the drain
    is over.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["no_candidate"]

@type_check_only
class CandidateDecision(TypedDict):
    """`evaluate_drain_candidate`'s answer for a fetched candidate: "self_echo" (skip it),
    "drain" (claim and handle it) or "out_of_snapshot" (not among the ids the drain may
    consume: do not drain it).

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["self_echo", "drain", "out_of_snapshot"]
    message_id: str

DrainDecision: TypeAlias = NoCandidateDecision | CandidateDecision
"""What `evaluate_drain_candidate` returns; narrow it on `decision["decision"]`.

Typing-only: exists in the stubs, not in the module; at run time the value is a plain
dict. Name it only in annotations that are never evaluated (`from __future__ import
annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
"""

@type_check_only
class AdapterDecision(TypedDict):
    """`evaluate_adapter_result`'s acknowledgement decision: record "processed" or "failed"
    with `record_processed_settlement` / `record_failed_settlement`.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["processed", "failed"]
    room_id: str
    message_id: str

@type_check_only
class NoPendingDecision(TypedDict):
    """`evaluate_next_message`'s answer: "no_pending" (the room has no open message) or
    "ready_to_claim" (the triggering message is the next open one).

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["no_pending", "ready_to_claim"]

@type_check_only
class AlreadyProcessedDecision(TypedDict):
    """`evaluate_next_message`'s answer when the room's next open message is another one,
    `next_open_id`: the triggering message was already handled.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    decision: Literal["already_processed"]
    next_open_id: str

NextMessageDecision: TypeAlias = NoPendingDecision | AlreadyProcessedDecision
"""What `evaluate_next_message` returns; narrow it on `decision["decision"]`.

Typing-only: exists in the stubs, not in the module; at run time the value is a plain
dict. Name it only in annotations that are never evaluated (`from __future__ import
annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
"""

@type_check_only
class FinishedContinuation(TypedDict):
    """Continuation of a settlement after which nothing more is owed: confirming it
    remembers the message as completed.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    kind: Literal["finished"]

@type_check_only
class RetryContinuation(TypedDict):
    """Continuation of a failed settlement that the budget allows to retry: confirming it
    leaves the message runnable again. `attempts` made so far, of `max_retries`.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
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

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
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

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    status: Literal["processed", "failed"]
    error: NotRequired[str]
    parked: Literal["not_found", "rejected"] | None

@type_check_only
class ParticipantDict(TypedDict):
    """One participant as `ParticipantRoster.list()` returns it: exactly these five keys.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    id: str
    name: str | None
    type: str | None
    handle: str | None
    description: str | None

@type_check_only
class ToolParameter(TypedDict):
    """One parameter of a `ToolSpec`.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    name: str
    description: str
    required: bool

@type_check_only
class ToolSpec(TypedDict):
    """A tool definition to hand to the agent, as `no_reply_tool()` returns it.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    name: str
    description: str
    parameters: builtins.list[ToolParameter]

@type_check_only
class FailureDict(TypedDict):
    """`AgentFailure.to_dict()`: the failure as a plain JSON-shaped dict, keys in this order.

    Typing-only: exists in the stubs, not in the module; at run time the value is a plain
    dict. Name it only in annotations that are never evaluated (`from __future__ import
    annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
    """
    provider: str
    code: str | None
    message: str
    detail: JsonValue

Eligibility: TypeAlias = Literal["self", "completed", "pending", "inflight", "exhausted", "failed", "runnable"]
"""The words `delivery_eligibility` and `guarded_claim` answer.

Typing-only: exists in the stubs, not in the module; at run time the value is a plain
str. Name it only in annotations that are never evaluated (`from __future__ import
annotations`, or a quoted annotation under `if TYPE_CHECKING:`).
"""

# ---------------------------------------------------------------------------
# Session.

@final
class SessionPolicy:
    """Reconnect backoff/jitter policy, plus the graduated rapid-disconnect cooldown ladder.

    Immutable. Build it once from a mapping of the fourteen settings, or take
    `SessionPolicy.default()`; hand it to `Session(policy)`, which copies it. Only the two
    liveness settings can be read back. docs/reference.md explains every setting.
    """
    def __new__(cls, config: Mapping[str, float] | Any, trace_context: str | None = None) -> Self:
        """Reads the fourteen settings from `config` (anything supporting `config[key]`),
        all required; seconds unless noted, with the default in brackets:

        base_delay_s [1], factor [2, a number >= 1], max_delay_s [30], stable_reset_s [60],
        rapid_disconnect_uptime_s [10], rapid_window_s [300], rapid_first_min_delay_s [1],
        rapid_second_min_delay_s [5], rapid_cooldown_base_s [10], rapid_cooldown_step_s [10],
        rapid_cooldown_max_s [60], rapid_threshold [10, a count >= 1],
        heartbeat_interval_s [30, above zero], dead_threshold_s [60, above the heartbeat].

        Raises `TypeError` for a missing key (the first one, in table order), a `bool` or a
        non-number; `ValueError` for a negative, infinite or NaN duration or a bad
        `rapid_threshold`; and one `ValueError` with `.issues` and `.trace_context` collecting
        every failed cross-field check (`factor` >= 1, base <= max delay, threshold >= 1,
        heartbeat > 0, dead threshold > heartbeat).
        """
    @staticmethod
    def default() -> SessionPolicy:
        """A recommended, not final, default: 1 s base delay doubling up to 30 s, stable after
        60 s up, rapid below 10 s up, floors 1, 5, 10 s then +10 s up to 60 s, dead at 10 rapid
        disconnects within 300 s, heartbeat 30 s, dead threshold 60 s.
        """
    @property
    def heartbeat_interval_s(self) -> float:
        """The heartbeat period, in seconds, for the host's own liveness checks."""
    @property
    def dead_threshold_s(self) -> float:
        """Silence, in seconds, after which the host should treat the connection as dead."""

@final
class SessionOutcome:
    """The settled outcome of one `Session` call: the new `state`, and at most one of
    `retry_after_s`, `dead_reason`, `stale_reason`. Returned by the module only.
    """
    @property
    def state(self) -> SessionState:
        """The session's state after the call."""
    @property
    def retry_after_s(self) -> float | None:
        """Seconds to wait before the next `begin_attempt`; set only by a retryable ending."""
    @property
    def dead_reason(self) -> DeadReason | None:
        """Why the session is dead (`None` when it is alive, or was ended by `end()`)."""
    @property
    def stale_reason(self) -> StaleReason | None:
        """Set when the report was stale; the call then changed nothing."""

@final
class Session:
    """One WebSocket session's state machine, across all its connections.

    Call `begin_attempt` before each connection, then report how it went with the epoch it
    returned: `on_connected`, `on_socket_close`, `on_upgrade_rejected`, or `on_supersede`.
    Each report returns a `SessionOutcome`: how long to wait, that the session is dead, or
    that the report was stale. Times are the host's clock in seconds; jitter samples are
    uniform in [0, 1] (e.g. `random.random()`).
    """
    def __new__(cls, policy: SessionPolicy) -> Self:
        """A new session in state `Connecting`, with a copy of `policy`."""
    @property
    def state(self) -> SessionState:
        """The current `SessionState`."""
    def begin_attempt(self, now_s: float) -> int | None:
        """Call before opening each WebSocket: returns the attempt's epoch (0, 1, 2, ...) to pass
        to the reports of that connection, or `None` once the session is dead. Never changes
        the state.
        """
    def on_connected(self, epoch: int, now_s: float) -> SessionOutcome:
        """Report that the upgrade of attempt `epoch` succeeded at `now_s`: state `Up`, and uptime
        starts. A wrong epoch, a repeat or an earlier clock comes back stale.
        """
    def on_socket_close(self, epoch: int, now_s: float, close_code: int | None, jitter_sample: float) -> SessionOutcome:
        """Report that the socket of attempt `epoch` closed (`close_code` `None` when there was
        no close frame). Code 1000 ends the session (`Dead`, `Classified`); anything else returns
        `retry_after_s`, or `Dead` with `RapidDisconnect` at the rapid threshold.
        """
    def on_upgrade_rejected(
        self, epoch: int, now_s: float, status: int, retry_after_s: float | None, jitter_sample: float
    ) -> SessionOutcome:
        """Report that the platform refused the upgrade of attempt `epoch` with HTTP `status`.
        400, 403 and 409 end the session; otherwise the delay honours the server's
        `retry_after_s` (which may exceed the policy's maximum delay).
        """
    def on_supersede(
        self, now_s: float, retryable: bool, retry_after_s: float | None, jitter_sample: float
    ) -> SessionOutcome:
        """Report the platform's supersede notice for the current attempt (no epoch). Not
        `retryable` ends the session; otherwise the delay honours `retry_after_s`. A notice older
        than the attempt in flight is stale.
        """
    def end(self) -> SessionState:
        """End the session from the host's side: state `Dead` with no dead reason (an earlier
        reason is kept). Returns `SessionState.Dead`.
        """

def classify_close(close_code: int | None) -> tuple[bool, tuple[float, float] | None]:
    """Classify a WebSocket close code. Returns `(terminal, delay_range_s)`: terminal only for
    1000; `delay_range_s` is always `None`. `None` (no close code) is not terminal.
    Raises `ValueError` outside 0..65535. A `Session` applies the same rule itself.
    """
def classify_upgrade(status: int) -> tuple[bool, tuple[float, float] | None]:
    """Classify an HTTP upgrade-rejection status. Returns `(terminal, delay_range_s)`: terminal
    for 400, 403 and 409; `delay_range_s` is always `None`. Raises `ValueError` outside
    0..65535. A `Session` applies the same rule itself.
    """

# ---------------------------------------------------------------------------
# Inbound events.

def validate_event_payload(event_type: str | EventType, raw: object, trace_context: str | None = None) -> Any:
    """Validate and normalize an inbound platform event payload; returns a new dict with keys
    in ascending order (any JSON value for `event_created`).

    `event_type` is an `EventType` or its wire name. Normalisation fills absent containers
    (`metadata.mentions`, `attachments`), aliases `is_remote`/`is_external`, and coerces
    the supersede fields. On failure raises `ValueError` with `.issues` (a tuple of
    `(path, code, message)` triples) and `.trace_context`; a payload that is not JSON-like
    raises `TypeError`.
    """
def evaluate_delivery_event(
    event_type: str, room_id: str | None, payload: object, agent_id: str, trace_context: str | None = None
) -> DeliveryDecision:
    """Evaluate the routing decision for one inbound platform event: "invocation" (claim and
    hand to the agent), "skip_self" (the agent's own echo), "cleanup" (the room went away)
    or "ignored".

    `room_id` is the room of the topic the event came on, when known; it wins over the
    payload's. A `message_created` payload is validated: on failure raises `ValueError` with
    `.issues` and `.trace_context`. A `payload` that cannot be converted raises `TypeError`.
    """
def is_self_echo(sender_id: str, sender_type: str, agent_id: str) -> bool:
    """True exactly when `sender_type` is "Agent" and `sender_id` equals `agent_id`: the one
    self-echo rule that routing and draining apply.
    """
def evaluate_drain_candidate(candidate: object | None, seen_ids: Iterable[str], agent_id: str) -> DrainDecision:
    """One step of the drain loop. `candidate` is a mapping with `id`, `sender_id`,
    `sender_type` (or `None` when the host's fetch returned no candidate); a malformed
    mapping raises `TypeError`. `seen_ids` is the snapshot of ids the drain may consume (any
    iterable of str but a str). Answers "no_candidate", "self_echo", "drain" or
    "out_of_snapshot".
    """
def evaluate_adapter_result(room_id: str, message_id: str, succeeded: bool) -> AdapterDecision:
    """Adapter outcome -> ack decision: "processed" when `succeeded`, else "failed", with both
    ids echoed.
    """
def evaluate_next_message(triggering_message_id: str, next_message_id: str | None) -> NextMessageDecision:
    """Compares the triggering message with the platform's authoritative next open message
    of the room: "no_pending" (`next_message_id` is `None`), "ready_to_claim" (the same id)
    or "already_processed" (another id, given as `next_open_id`).
    """

@final
class AgentFailure:
    """One agent-provider failure, surfaced verbatim rather than classified. Build it from the
    provider's own words and send `to_extension_data()` to the platform.
    """
    def __new__(cls, provider: str, message: str, code: str | None = None, detail: object = None) -> Self:
        """`detail` may be any JSON-like value (stored as a copy); anything else raises `TypeError`."""
    @property
    def provider(self) -> str:
        """Which provider failed, as the host named it."""
    @property
    def message(self) -> str:
        """The provider's failure text, verbatim."""
    @property
    def code(self) -> str | None:
        """The provider's own error code, or `None`."""
    @property
    def detail(self) -> JsonValue:
        """The structured detail as a fresh Python value, or `None`."""
    def to_dict(self) -> FailureDict:
        """The failure as a plain JSON-shaped dict: provider, code, message, detail."""
    def to_extension_data(self) -> dict[str, FailureDict]:
        """The canonical failure payload under the platform's extension-data key
        ("orvu.core.agent_failure"), a dict with that one key holding `to_dict()`.
        """

# ---------------------------------------------------------------------------
# Delivery ledger.

@final
class RetryTracker:
    """Per-message retry budget: bounded attempt/failure tracking, keyed by message id alone.

    Call `record_attempt` at the start of every handling cycle, `discard_attempt` when the
    host's own control signal aborted a cycle before the handler ran. Pass the tracker to the
    `ClaimRegistry` calls that take one. Both stores keep at most `max_tracked` messages
    (oldest forgotten first).
    """
    def __new__(cls, max_retries: int = 1, max_tracked: int = 10000) -> Self:
        """`max_retries` (0..4294967295) is the budget given to each new message: the number of
        attempts in all, the first included (1, the default: one attempt and no retry; 2: one
        retry; 0: not even a first attempt). `max_tracked` (1..4294967295) bounds each store.
        Out of range raises `ValueError`.
        """
    @property
    def max_retries(self) -> int:
        """The budget given to each newly tracked message: how many attempts it may have in all."""
    def record_attempt(self, message_id: str) -> tuple[int, bool]:
        """Count one attempt; returns `(attempts, exhausted)`. Exhausted once attempts exceed the
        budget, which also marks the message permanently failed.
        """
    def mark_success(self, message_id: str) -> None:
        """Forget the message's attempt count (a permanent failure mark stays)."""
    def discard_attempt(self, message_id: str) -> None:
        """Take back one attempt whose cycle was aborted before the handler ran."""
    def mark_permanently_failed(self, message_id: str) -> None:
        """Mark the message as out of budget for good (until evicted)."""
    def is_permanently_failed(self, message_id: str) -> bool:
        """Whether the message is marked permanently failed."""

@final
class ClaimRegistry:
    """Ownership ledger for the inbound message-delivery lifecycle: in-flight, ack-pending (a
    stored processed/failed intent, optionally parked), and completed states, each scoped by
    `(room_id, message_id)`.

    The usual path: `guarded_claim` -> "runnable"; `RetryTracker.record_attempt`; the agent
    runs; `record_processed_settlement` or `record_failed_settlement`; the platform write;
    `confirm_settlement` (or `park_settlement`); `release`.
    """
    def __new__(cls, max_completed: int = 500) -> Self:
        """`max_completed` (1..4294967295) bounds each room's set of completed ids; the least
        recently touched id is forgotten first.
        """
    @property
    def max_completed(self) -> int:
        """The bound of each room's completed set."""
    def try_claim(self, room_id: str, message_id: str) -> bool:
        """Mark the message in flight without any other check; False if it already was. Prefer
        `guarded_claim`.
        """
    def release(self, room_id: str, message_id: str) -> None:
        """Clear the in-flight mark; call when handling is over, whatever the outcome."""
    def inflight_ids(self, room_id: str) -> builtins.list[str]:
        """The room's in-flight message ids, in no particular order."""
    def is_completed(self, room_id: str, message_id: str) -> bool:
        """Whether the message is remembered as completed (a hit protects it from eviction)."""
    def completed_ids(self, room_id: str) -> builtins.list[str]:
        """The room's completed ids, least recently touched first."""
    def discard_completed(self, room_id: str) -> None:
        """Forget every completed id of the room."""
    def remember_completed(self, room_id: str, message_id: str) -> None:
        """Remember the message as completed and drop any owed write and ack-retry count for it.
        Does not release the in-flight mark.
        """
    def is_ack_pending(self, room_id: str, message_id: str) -> bool:
        """Whether a terminal write is owed for the message (parked or not)."""
    def remember_ack_pending(self, room_id: str, message_id: str) -> None:
        """Record an owed processed write (nothing if any write is already owed)."""
    def remember_failed_ack_pending(
        self, room_id: str, message_id: str, error: str, trace_context: str | None = None
    ) -> None:
        """Record a failed turn awaiting a durable failed write carrying `error`.
        Raises `ValueError` if a different intent is already pending.
        """
    def pending_ack(self, room_id: str, message_id: str) -> PendingAck | None:
        """The owed write as `{"status", ["error"], "parked"}`, or `None`."""
    def park_ack(self, room_id: str, message_id: str, reason: ParkedReason) -> bool:
        """Mark a pending entry parked for `reason`; `False` when nothing is
        pending for the message. The token is not checked (see `park_settlement`).
        """
    def unpark_acks(self, room_id: str) -> int:
        """Clear the parking of every owed write of the room; returns how many were parked.
        Call when the platform may take them again.
        """
    def pending_ack_ids(self, room_id: str) -> builtins.list[str]:
        """Message ids of the room's owed writes, oldest first, parked ones included."""
    def record_ack_retry(self, room_id: str, message_id: str) -> int:
        """Count one more try of the message's terminal write; returns the new count."""
    def delivery_eligibility(
        self,
        room_id: str,
        message_id: str,
        retry_tracker: RetryTracker,
        *,
        self_echo: bool = False,
        durably_processed: bool = False,
        durably_failed: bool = False,
        allow_failed_retry: bool = True,
    ) -> Eligibility:
        """The message's state as one word, without claiming it: "self", "pending",
        "completed", "exhausted", "failed", "inflight" or "runnable" (tested in that order).
        The keyword facts are what the host knows and the registry does not; they must be `bool`.
        """
    def guarded_claim(
        self,
        room_id: str,
        message_id: str,
        retry_tracker: RetryTracker,
        *,
        self_echo: bool = False,
        durably_processed: bool = False,
        durably_failed: bool = False,
        allow_failed_retry: bool = True,
    ) -> Eligibility:
        """`delivery_eligibility`, and on "runnable" the message is claimed (in flight) in the same
        call. Call it for every "invocation" or drained message; handle it only on "runnable".
        """
    def has_retryable_settlement(self, room_id: str) -> bool:
        """Whether the room has an owed terminal write that is not parked."""
    def pending_settlement(
        self, room_id: str, message_id: str, trace_context: str | None = None
    ) -> SettlementDescription | None:
        """The owed write's settlement description (with its token), or `None`."""
    def record_processed_settlement(
        self, room_id: str, message_id: str, trace_context: str | None = None
    ) -> SettlementDescription:
        """The agent handled the message: store the owed processed write and return its
        settlement description with the token to confirm. Repeating it returns the same one;
        after a failed intent it raises `ValueError`.
        """
    def record_failed_settlement(
        self,
        room_id: str,
        message_id: str,
        error: str,
        retry_tracker: RetryTracker,
        allow_retry: bool,
        trace_context: str | None = None,
    ) -> SettlementDescription:
        """The agent failed: store the owed failed write carrying `error` and return its
        description. Its continuation is "retry" when `allow_retry` and the attempts made are
        below the message's budget, else "finished". After a different intent it raises
        `ValueError`.
        """
    def confirm_settlement(self, room_id: str, message_id: str, token: str, retry_tracker: RetryTracker) -> bool:
        """The platform accepted the write with this `token`: close the obligation and return True.
        A finished continuation remembers the message as completed (permanently failed too for a
        failed write); a retry continuation leaves it runnable after `release`. A wrong or stale
        token returns False and changes nothing.
        """
    def park_settlement(self, room_id: str, message_id: str, token: str, reason: ParkedReason) -> bool:
        """The platform refused the write with this `token` for now: park it for `reason` until
        `unpark_acks`. False for a wrong or stale token.
        """

# ---------------------------------------------------------------------------
# Membership.

def chat_room_topic(room_id: str) -> str:
    """This platform's Phoenix Channels topic for a room's ``chat_room`` channel:
    "chat_room:<room_id>".
    """
def room_participants_topic(room_id: str) -> str:
    """This platform's Phoenix Channels topic for a room's ``room_participants``
    channel: "room_participants:<room_id>".
    """

@final
class SubscriptionTracker:
    """Transport-independent subscription decisions for one agent session.

    Before each join or leave, ask for a ticket (`begin_room_subscribe`, `unsubscribe_room`,
    `begin_agent_topic_join`, `leave_agent_topic`); report the outcome with that ticket. A
    report under any other ticket is refused without effect. After a reconnect: call
    `on_reconnected()`, rejoin every candidate; a successful rejoin needs no call, a failed
    one is reported with `mark_room_rejoin_failed` / `mark_agent_topic_rejoin_failed`.
    """
    def __new__(cls) -> Self:
        """An empty tracker; its tickets start at 0."""
    def begin_room_subscribe(self, room_id: str) -> int | None:
        """An absent room becomes pending: returns the ticket to report the join with, or `None`
        (the room is not absent, or tickets are exhausted).
        """
    def record_chat_room_join_failed(self, room_id: str, ticket: int) -> RoomSubscribeResult:
        """The room's chat_room join failed: absent again (`JoinFailed`), or `Stale`."""
    def record_both_room_topics_joined(self, room_id: str, ticket: int) -> RoomSubscribeResult:
        """Both topics of a pending room joined: `Subscribed`, or `Stale` when `ticket` is not the
        room's pending one. Not for a rejoin after a reconnect (that needs no call).
        """
    def record_room_participants_join_failed(
        self, room_id: str, ticket: int, chat_room_left: bool
    ) -> RoomSubscribeResult:
        """chat_room joined but room_participants failed, and the host tried to leave chat_room:
        `RolledBack` (absent) when `chat_room_left`, else `RollbackFailed` (needs
        reconciliation); `Stale` for a ticket that is not the pending one.
        """
    def is_room_subscribed(self, room_id: str) -> bool:
        """Whether both of the room's topics are joined."""
    def is_room_claim_current(self, room_id: str, ticket: int) -> bool:
        """Whether `ticket` is the room's live pending subscribe: check before acting on a
        transport reply.
        """
    def room_status(self, room_id: str) -> RoomStatus:
        """The room's `RoomStatus`."""
    def unsubscribe_room(self, room_id: str) -> int | None:
        """A subscribed room starts leaving: returns the leave ticket, or `None`."""
    def mark_room_leave_complete(self, room_id: str, ticket: int, outcome: LeaveOutcome) -> bool:
        """Report the leave under its ticket: `Left` makes the room absent, `Failed` / `Unknown`
        send it to reconciliation. False for another ticket or state.
        """
    def acknowledge_room_reconciled(self, room_id: str) -> bool:
        """The host settled the room's transport state: needs-reconciliation becomes absent."""
    def room_rejoin_candidates(self) -> builtins.list[tuple[str, int]]:
        """`(room_id, ticket)` of every subscribed room, oldest first: what to rejoin after a
        reconnect. Hands out no ticket.
        """
    def mark_room_rejoin_failed(self, room_id: str, ticket: int) -> bool:
        """The rejoin of a subscribed room failed: it needs reconciliation (True), or False for
        another ticket or state.
        """
    def subscribed_room_ids(self) -> builtins.list[str]:
        """Ids of the subscribed rooms, oldest first."""
    def on_reconnected(self) -> None:
        """Marks a transport reconnect; changes nothing. Then rejoin what the candidate lists name."""
    def end_session(self) -> None:
        """Forget every room and agent topic (all absent); tickets handed out before stay stale."""
    def begin_agent_topic_join(self, topic: str) -> int | None:
        """An absent topic becomes pending: returns the join ticket, or `None`."""
    def record_agent_topic_join(self, topic: str, ticket: int, joined: bool) -> bool:
        """Report the join under its ticket: True when the topic is now joined; False after a
        failed join (the topic is absent again) and for a stale report (nothing changed).
        """
    def record_agent_topic_join_ambiguous(self, topic: str, ticket: int) -> bool:
        """The join's outcome is unknown: the pending topic needs reconciliation (True), or False."""
    def is_agent_topic_joined(self, topic: str) -> bool:
        """Whether the topic is joined."""
    def is_agent_topic_claim_current(self, topic: str, ticket: int) -> bool:
        """Whether `ticket` is the topic's live pending join."""
    def agent_topic_status(self, topic: str) -> AgentTopicStatus:
        """The topic's `AgentTopicStatus`."""
    def leave_agent_topic(self, topic: str) -> int | None:
        """A joined topic starts leaving: returns the leave ticket, or `None`."""
    def mark_agent_topic_leave_complete(self, topic: str, ticket: int, outcome: LeaveOutcome) -> bool:
        """Report the leave under its ticket: `Left` makes the topic absent, `Failed` / `Unknown`
        send it to reconciliation. False for another ticket or state.
        """
    def acknowledge_agent_topic_reconciled(self, topic: str) -> bool:
        """The host settled the topic's transport state: needs-reconciliation becomes absent."""
    def agent_topic_rejoin_candidates(self) -> builtins.list[tuple[str, int]]:
        """`(topic, ticket)` of every joined topic, oldest first: what to rejoin after a reconnect."""
    def mark_agent_topic_rejoin_failed(self, topic: str, ticket: int) -> bool:
        """The rejoin of a joined topic failed: it needs reconciliation (True), or False."""
    def joined_agent_topics(self) -> builtins.list[str]:
        """The joined topics, oldest first."""

@final
class RoomReconciliation:
    """One reconnect's reconciliation against an authoritative room snapshot.
    `removed` and `admitting` are already applied by the time this is returned.
    """
    @property
    def removed(self) -> builtins.list[str]:
        """Admitted rooms missing from the snapshot, now dropped: leave them. Sorted."""
    @property
    def admitting(self) -> builtins.list[tuple[str, int]]:
        """`(room_id, ticket)` for each snapshot room that was unadmitted: an admission has begun;
        complete it with `record_room_admission`. Sorted by room id.
        """
    @property
    def resync(self) -> builtins.list[str]:
        """Admitted rooms still in the snapshot; they stay admitted. Sorted."""

@final
class RoomRoster:
    """Room admission and membership decisions for one agent session, separate
    from `SubscriptionTracker`'s two-topic transport join.

    Admit a room with `begin_room_admission` then `record_room_admission` under its ticket;
    after every reconnect, `reconcile` against the platform's list of the agent's rooms.
    """
    def __new__(cls) -> Self:
        """An empty roster; its own tickets start at 0."""
    def room_membership(self, room_id: str) -> RoomMembership:
        """The room's `RoomMembership`."""
    def begin_room_admission(self, room_id: str, passes_filter: bool) -> int | None:
        """An unadmitted room that `passes_filter` starts admission: returns the ticket, or `None`."""
    def record_room_admission(self, room_id: str, ticket: int, succeeded: bool) -> bool:
        """Report the admission under its ticket: True when the room is now admitted; False after
        a failed admission or for a stale report.
        """
    def is_room_admission_current(self, room_id: str, ticket: int) -> bool:
        """Whether `ticket` is the room's live admission."""
    def record_room_removed(self, room_id: str) -> bool:
        """The platform removed the agent from the room: True when it was admitted."""
    def tracked_room_ids(self) -> builtins.list[str]:
        """The admitted rooms, oldest first."""
    def reconcile(self, current_room_ids: Sequence[str]) -> RoomReconciliation:
        """Reconcile against the platform's authoritative list of rooms (a list or tuple of str);
        see `RoomReconciliation` for what comes back and what to do with it.
        """
    def clear(self) -> builtins.list[str]:
        """Forget every room; returns the ids that were admitted or admitting, sorted."""

@final
class ParticipantRoster:
    """The always-injected passive participant roster. A participant is any
    mapping; `id`, `name`, `type`, `handle`, `description` are read from it
    and returned by `list` -- every other key is dropped,
    matching the platform's own `participant_added`/`participant_removed`
    field set. `id` is required and must be a string; the other four are
    each a string or `None`.
    """
    def __new__(cls, *, trace_context_provider: Callable[[], str | None] | None = None) -> Self:
        """An empty roster. `trace_context_provider`, when given, is called without arguments by
        `set_all` for the trace context of its errors (a failure of it is ignored).
        """
    def add(self, participant: Mapping[str, Any]) -> bool:
        """Add a participant, or merge it into the existing entry with the same
        `id`. Returns `True` if newly added, `False` if an existing id was
        refreshed in place.
        """
    def remove(self, participant_id: str) -> bool:
        """Remove the participant with this id. Returns `True` if one was
        removed.
        """
    def set_all(self, participants: Iterable[Mapping[str, Any]], trace_context: str | None = None) -> None:
        """Replace the roster from an authoritative iterable of participants.
        Rejects the whole snapshot -- leaving the roster unchanged -- if any
        id appears in it more than once, raising `ValueError` with `.issues`
        and `.trace_context` (an explicit `trace_context` argument wins over
        the constructor's `trace_context_provider`).
        """
    def list(self) -> builtins.list[ParticipantDict]:
        """The current roster, in add order, as a list of dicts."""
    def changed(self) -> bool:
        """Whether membership or any tracked field changed since the last
        `mark_sent()`.
        """
    def mark_sent(self) -> None:
        """Snapshot the current roster as sent."""

# ---------------------------------------------------------------------------
# Pending asks.

@final
class CancelledDecisions:
    """What a cancellation removed, oldest first: `unclaimed` asks the caller
    resolves, and `claimed` ones whose claimant still does.
    """
    @property
    def unclaimed(self) -> builtins.list[str]:
        """Tokens of removed asks nobody had claimed: the host resolves them."""
    @property
    def claimed(self) -> builtins.list[str]:
        """Tokens of removed asks that were claimed: their claimant resolves them."""

@final
class DecisionRegistry:
    """Pending chat-mediated asks by token, oldest first. Every registration
    returns `(token, ticket)`; later calls name that exact registration, so a
    stale holder never acts on a newer ask that reused the token.
    """
    def __new__(cls, *, max_pending: int | None = None, seed: int | None = None) -> Self:
        """`max_pending` (1..4294967295 or `None`) is the bound `evict_oldest` enforces; `seed`
        makes minted tokens reproducible (`None`: seeded from `os.urandom`).
        """
    @property
    def max_pending(self) -> int | None:
        """The bound used by `evict_oldest`, or `None`."""
    def register_minted(self, room_id: str | None = None) -> tuple[str, int] | None:
        """Register an ask under a fresh eight-hex-digit token; returns `(token, ticket)`, or
        `None` when tickets are exhausted.
        """
    def register_keyed(self, key: str) -> tuple[str, int] | None:
        """Register an ask under the host's own `key`; returns `(key, ticket)`. Re-registering an
        unclaimed key gives it a new ticket; a claimed key returns `None`.
        """
    def try_claim(self, token: str, ticket: int) -> ClaimOutcome:
        """Claim the ask: `Claimed`, `AlreadyClaimed`, or `Stale` for an unknown token or an old
        ticket.
        """
    def withdraw(self, token: str, ticket: int) -> bool:
        """Remove an unclaimed ask; False if it is claimed, unknown or the ticket is old."""
    def forget(self, token: str, ticket: int) -> bool:
        """Remove the ask whether claimed or not; False if unknown or the ticket is old."""
    def unclaimed(self) -> builtins.list[str]:
        """Tokens of the unclaimed asks, oldest first."""
    def unclaimed_in_room(self, room_id: str) -> builtins.list[str]:
        """Tokens of the room's unclaimed minted asks, oldest first."""
    def unclaimed_count(self) -> int:
        """How many asks are unclaimed."""
    def oldest_unclaimed(self) -> str | None:
        """The oldest unclaimed token, or `None`."""
    def evict_oldest(self) -> str | None:
        """At or above `max_pending` asks, remove and return the oldest unclaimed token (the host
        resolves it); otherwise `None`. Registration never evicts by itself.
        """
    def cancel_all(self) -> CancelledDecisions:
        """Remove every ask; returns what was removed."""
    def cancel_room(self, room_id: str) -> CancelledDecisions:
        """Remove the room's minted asks; returns what was removed."""

def is_authorized_sender(authorized_senders: set[str] | frozenset[str] | None, sender_id: str | None) -> bool:
    """Whether `sender_id` may answer an ask: `None` admits anyone; any set --
    empty included -- admits only its members. Raises `TypeError` unless
    `authorized_senders` is a `set`, `frozenset`, or `None`.
    """

# ---------------------------------------------------------------------------
# Turns and tools.

@final
class TurnLedger:
    """One agent turn's progress toward a reply. `record` takes a `TurnEffect`
    only; any other value raises `TypeError`.

    Record each successful tool call's effect (`orvu_tool_effects()[name]`); at the end,
    `verdict()` says whether the turn is complete.
    """
    def __new__(cls) -> Self:
        """A fresh ledger for one turn."""
    def record(self, effect: TurnEffect) -> None:
        """Record a successful tool call's effect: `Act` settles the turn, `Reply` and `Decline`
        settle it and count as the reply, `Observe` changes nothing.
        """
    def settle(self) -> None:
        """Mark the turn settled without a tool effect."""
    def note_reported(self) -> None:
        """Mark the turn settled because the host reported it (same as `settle`)."""
    def reply_settled(self) -> bool:
        """Whether a `Reply` or `Decline` was recorded."""
    def verdict(self) -> TurnVerdict:
        """`TurnVerdict.Complete` once the turn is settled, else `MissingReply` (then post
        `missing_reply_message()` to the room).
        """

def orvu_tool_effects() -> dict[str, TurnEffect]:
    """Every Orvu tool's canonical name and its `TurnEffect`, a fresh dict in the canonical
    order (28 tools).
    """
def no_reply_tool() -> ToolSpec:
    """`orvu_no_reply`'s definition as a `ToolSpec` dict (a fresh copy each call)."""
def missing_reply_message() -> str:
    """The text shown to the room on `TurnVerdict.MissingReply`."""

# ---------------------------------------------------------------------------
# Memory taxonomy.

def validate_memory_type_for_system(
    system: str | MemorySystem, memory_type: str | MemoryType, trace_context: str | None = None
) -> None:
    """Validate that `memory_type` belongs to `system`'s allowed type set; returns `None`.

    `system`/`memory_type` each accept a wire-name string or the matching
    `MemorySystem`/`MemoryType` instance. On failure raises `ValueError` with `.issues` (a
    tuple of `(path, code, message)` triples) and `.trace_context`; an unknown system and an
    unknown type are both reported.
    """

"""Type information for orvu_sdk_core, the decision core of the agent SDK."""

import builtins
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, ClassVar, Final, Literal, TypedDict, final

from typing_extensions import NotRequired, Self, TypeAlias

__all__: builtins.list[str]

JsonValue: TypeAlias = None | bool | int | float | str | builtins.list[Any] | dict[str, Any]

# ---------------------------------------------------------------------------
# Enumerations: every member is a singleton class attribute; str() is the wire
# string, int() the index; members are unhashable and compare only within
# their class.

class _Enum:
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...

class _ValueEnum(_Enum):
    @property
    def value(self) -> str: ...

class _WireEnum(_Enum):
    @property
    def wire_name(self) -> str: ...
    @staticmethod
    def from_wire_name(name: str) -> Self | None: ...

@final
class AgentTopicKind(_WireEnum):
    Control: ClassVar[AgentTopicKind]
    Rooms: ClassVar[AgentTopicKind]
    Contacts: ClassVar[AgentTopicKind]
    def topic(self, agent_id: str) -> str: ...
    @staticmethod
    def from_wire_name(name: str) -> AgentTopicKind | None: ...

@final
class AgentTopicStatus(_ValueEnum):
    Absent: ClassVar[AgentTopicStatus]
    Pending: ClassVar[AgentTopicStatus]
    Joined: ClassVar[AgentTopicStatus]
    Leaving: ClassVar[AgentTopicStatus]
    NeedsReconciliation: ClassVar[AgentTopicStatus]

@final
class ClaimOutcome(_ValueEnum):
    Claimed: ClassVar[ClaimOutcome]
    AlreadyClaimed: ClassVar[ClaimOutcome]
    Stale: ClassVar[ClaimOutcome]

@final
class DeadReason(_ValueEnum):
    Classified: ClassVar[DeadReason]
    RapidDisconnect: ClassVar[DeadReason]

@final
class EventType(_WireEnum):
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
    @staticmethod
    def from_wire_name(name: str) -> EventType | None: ...

@final
class LeaveOutcome(_ValueEnum):
    Left: ClassVar[LeaveOutcome]
    Failed: ClassVar[LeaveOutcome]
    Unknown: ClassVar[LeaveOutcome]

@final
class MemoryListScope(_WireEnum):
    Subject: ClassVar[MemoryListScope]
    Organization: ClassVar[MemoryListScope]
    All: ClassVar[MemoryListScope]
    @staticmethod
    def from_wire_name(name: str) -> MemoryListScope | None: ...

@final
class MemorySegment(_WireEnum):
    User: ClassVar[MemorySegment]
    Agent: ClassVar[MemorySegment]
    Tool: ClassVar[MemorySegment]
    Guideline: ClassVar[MemorySegment]
    @staticmethod
    def from_wire_name(name: str) -> MemorySegment | None: ...

@final
class MemoryStatus(_WireEnum):
    Active: ClassVar[MemoryStatus]
    Superseded: ClassVar[MemoryStatus]
    Archived: ClassVar[MemoryStatus]
    All: ClassVar[MemoryStatus]
    @staticmethod
    def from_wire_name(name: str) -> MemoryStatus | None: ...

@final
class MemoryStoreScope(_WireEnum):
    Subject: ClassVar[MemoryStoreScope]
    Organization: ClassVar[MemoryStoreScope]
    @staticmethod
    def from_wire_name(name: str) -> MemoryStoreScope | None: ...

@final
class MemorySystem(_WireEnum):
    Sensory: ClassVar[MemorySystem]
    Working: ClassVar[MemorySystem]
    LongTerm: ClassVar[MemorySystem]
    @staticmethod
    def from_wire_name(name: str) -> MemorySystem | None: ...

@final
class MemoryType(_WireEnum):
    Iconic: ClassVar[MemoryType]
    Echoic: ClassVar[MemoryType]
    Haptic: ClassVar[MemoryType]
    Episodic: ClassVar[MemoryType]
    Semantic: ClassVar[MemoryType]
    Procedural: ClassVar[MemoryType]
    @staticmethod
    def from_wire_name(name: str) -> MemoryType | None: ...

@final
class ParkedReason(_WireEnum):
    NotFound: ClassVar[ParkedReason]
    Rejected: ClassVar[ParkedReason]
    @staticmethod
    def from_wire_name(name: str) -> ParkedReason | None: ...

@final
class RoomMembership(_ValueEnum):
    Unadmitted: ClassVar[RoomMembership]
    Admitting: ClassVar[RoomMembership]
    Admitted: ClassVar[RoomMembership]

@final
class RoomStatus(_ValueEnum):
    Absent: ClassVar[RoomStatus]
    Pending: ClassVar[RoomStatus]
    Subscribed: ClassVar[RoomStatus]
    Leaving: ClassVar[RoomStatus]
    NeedsReconciliation: ClassVar[RoomStatus]

@final
class RoomSubscribeResult(_ValueEnum):
    Subscribed: ClassVar[RoomSubscribeResult]
    JoinFailed: ClassVar[RoomSubscribeResult]
    RolledBack: ClassVar[RoomSubscribeResult]
    RollbackFailed: ClassVar[RoomSubscribeResult]
    Stale: ClassVar[RoomSubscribeResult]

@final
class SessionState(_ValueEnum):
    Connecting: ClassVar[SessionState]
    Up: ClassVar[SessionState]
    Reconnecting: ClassVar[SessionState]
    Dead: ClassVar[SessionState]

@final
class StaleReason(_ValueEnum):
    WrongEpoch: ClassVar[StaleReason]
    ClockRegression: ClassVar[StaleReason]
    DuplicateConnected: ClassVar[StaleReason]
    SupersedePredatesEpoch: ClassVar[StaleReason]

@final
class TurnEffect(_WireEnum):
    Observe: ClassVar[TurnEffect]
    Act: ClassVar[TurnEffect]
    Reply: ClassVar[TurnEffect]
    Decline: ClassVar[TurnEffect]
    @staticmethod
    def from_wire_name(name: str) -> TurnEffect | None: ...

@final
class TurnVerdict(_WireEnum):
    Complete: ClassVar[TurnVerdict]
    MissingReply: ClassVar[TurnVerdict]
    @staticmethod
    def from_wire_name(name: str) -> TurnVerdict | None: ...

# ---------------------------------------------------------------------------
# Decision dicts.

class InvocationDecision(TypedDict):
    decision: Literal["invocation"]
    room_id: str
    message_id: str
    sender_id: str
    sender_type: str

class SkipSelfDecision(TypedDict):
    decision: Literal["skip_self"]
    room_id: str
    message_id: str

class CleanupDecision(TypedDict):
    decision: Literal["cleanup"]
    room_id: str

class IgnoredDecision(TypedDict):
    decision: Literal["ignored"]
    event_type: str

DeliveryDecision: TypeAlias = InvocationDecision | SkipSelfDecision | CleanupDecision | IgnoredDecision

class NoCandidateDecision(TypedDict):
    decision: Literal["no_candidate"]

class CandidateDecision(TypedDict):
    decision: Literal["self_echo", "drain", "out_of_snapshot"]
    message_id: str

DrainDecision: TypeAlias = NoCandidateDecision | CandidateDecision

class AdapterDecision(TypedDict):
    decision: Literal["processed", "failed"]
    room_id: str
    message_id: str

class NoPendingDecision(TypedDict):
    decision: Literal["no_pending", "ready_to_claim"]

class AlreadyProcessedDecision(TypedDict):
    decision: Literal["already_processed"]
    next_open_id: str

NextMessageDecision: TypeAlias = NoPendingDecision | AlreadyProcessedDecision

class FinishedContinuation(TypedDict):
    kind: Literal["finished"]

class RetryContinuation(TypedDict):
    kind: Literal["retry"]
    attempts: int
    max_retries: int

class SettlementDescription(TypedDict):
    token: str
    status: Literal["processed", "failed"]
    error: NotRequired[str]
    parked: Literal["not_found", "rejected"] | None
    continuation: FinishedContinuation | RetryContinuation

class PendingAck(TypedDict):
    status: Literal["processed", "failed"]
    error: NotRequired[str]
    parked: Literal["not_found", "rejected"] | None

class ParticipantDict(TypedDict):
    id: str
    name: str | None
    type: str | None
    handle: str | None
    description: str | None

class ToolParameter(TypedDict):
    name: str
    description: str
    required: bool

class ToolSpec(TypedDict):
    name: str
    description: str
    parameters: builtins.list[ToolParameter]

class FailureDict(TypedDict):
    provider: str
    code: str | None
    message: str
    detail: JsonValue

Eligibility: TypeAlias = Literal["self", "completed", "pending", "inflight", "exhausted", "failed", "runnable"]

# ---------------------------------------------------------------------------
# Session.

@final
class SessionPolicy:
    def __new__(cls, config: Mapping[str, float] | Any, trace_context: str | None = None) -> Self: ...
    @staticmethod
    def default() -> SessionPolicy: ...
    @property
    def heartbeat_interval_s(self) -> float: ...
    @property
    def dead_threshold_s(self) -> float: ...

@final
class SessionOutcome:
    @property
    def state(self) -> SessionState: ...
    @property
    def retry_after_s(self) -> float | None: ...
    @property
    def dead_reason(self) -> DeadReason | None: ...
    @property
    def stale_reason(self) -> StaleReason | None: ...

@final
class Session:
    def __new__(cls, policy: SessionPolicy) -> Self: ...
    @property
    def state(self) -> SessionState: ...
    def begin_attempt(self, now_s: float) -> int | None: ...
    def on_connected(self, epoch: int, now_s: float) -> SessionOutcome: ...
    def on_socket_close(self, epoch: int, now_s: float, close_code: int | None, jitter_sample: float) -> SessionOutcome: ...
    def on_upgrade_rejected(
        self, epoch: int, now_s: float, status: int, retry_after_s: float | None, jitter_sample: float
    ) -> SessionOutcome: ...
    def on_supersede(
        self, now_s: float, retryable: bool, retry_after_s: float | None, jitter_sample: float
    ) -> SessionOutcome: ...
    def end(self) -> SessionState: ...

def classify_close(close_code: int | None) -> tuple[bool, tuple[float, float] | None]: ...
def classify_upgrade(status: int) -> tuple[bool, tuple[float, float] | None]: ...

# ---------------------------------------------------------------------------
# Inbound events.

def validate_event_payload(event_type: str | EventType, raw: object, trace_context: str | None = None) -> Any: ...
def evaluate_delivery_event(
    event_type: str, room_id: str | None, payload: object, agent_id: str, trace_context: str | None = None
) -> DeliveryDecision: ...
def is_self_echo(sender_id: str, sender_type: str, agent_id: str) -> bool: ...
def evaluate_drain_candidate(candidate: object | None, seen_ids: Iterable[str], agent_id: str) -> DrainDecision: ...
def evaluate_adapter_result(room_id: str, message_id: str, succeeded: bool) -> AdapterDecision: ...
def evaluate_next_message(triggering_message_id: str, next_message_id: str | None) -> NextMessageDecision: ...

@final
class AgentFailure:
    def __new__(cls, provider: str, message: str, code: str | None = None, detail: object = None) -> Self: ...
    @property
    def provider(self) -> str: ...
    @property
    def message(self) -> str: ...
    @property
    def code(self) -> str | None: ...
    @property
    def detail(self) -> JsonValue: ...
    def to_dict(self) -> FailureDict: ...
    def to_extension_data(self) -> dict[str, FailureDict]: ...

# ---------------------------------------------------------------------------
# Delivery ledger.

@final
class RetryTracker:
    def __new__(cls, max_retries: int = 1, max_tracked: int = 10000) -> Self: ...
    @property
    def max_retries(self) -> int: ...
    def record_attempt(self, message_id: str) -> tuple[int, bool]: ...
    def mark_success(self, message_id: str) -> None: ...
    def discard_attempt(self, message_id: str) -> None: ...
    def mark_permanently_failed(self, message_id: str) -> None: ...
    def is_permanently_failed(self, message_id: str) -> bool: ...

@final
class ClaimRegistry:
    def __new__(cls, max_completed: int = 500) -> Self: ...
    @property
    def max_completed(self) -> int: ...
    def try_claim(self, room_id: str, message_id: str) -> bool: ...
    def release(self, room_id: str, message_id: str) -> None: ...
    def inflight_ids(self, room_id: str) -> builtins.list[str]: ...
    def is_completed(self, room_id: str, message_id: str) -> bool: ...
    def completed_ids(self, room_id: str) -> builtins.list[str]: ...
    def discard_completed(self, room_id: str) -> None: ...
    def remember_completed(self, room_id: str, message_id: str) -> None: ...
    def is_ack_pending(self, room_id: str, message_id: str) -> bool: ...
    def remember_ack_pending(self, room_id: str, message_id: str) -> None: ...
    def remember_failed_ack_pending(
        self, room_id: str, message_id: str, error: str, trace_context: str | None = None
    ) -> None: ...
    def pending_ack(self, room_id: str, message_id: str) -> PendingAck | None: ...
    def park_ack(self, room_id: str, message_id: str, reason: ParkedReason) -> bool: ...
    def unpark_acks(self, room_id: str) -> int: ...
    def pending_ack_ids(self, room_id: str) -> builtins.list[str]: ...
    def record_ack_retry(self, room_id: str, message_id: str) -> int: ...
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
    ) -> Eligibility: ...
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
    ) -> Eligibility: ...
    def has_retryable_settlement(self, room_id: str) -> bool: ...
    def pending_settlement(
        self, room_id: str, message_id: str, trace_context: str | None = None
    ) -> SettlementDescription | None: ...
    def record_processed_settlement(
        self, room_id: str, message_id: str, trace_context: str | None = None
    ) -> SettlementDescription: ...
    def record_failed_settlement(
        self,
        room_id: str,
        message_id: str,
        error: str,
        retry_tracker: RetryTracker,
        allow_retry: bool,
        trace_context: str | None = None,
    ) -> SettlementDescription: ...
    def confirm_settlement(self, room_id: str, message_id: str, token: str, retry_tracker: RetryTracker) -> bool: ...
    def park_settlement(self, room_id: str, message_id: str, token: str, reason: ParkedReason) -> bool: ...

# ---------------------------------------------------------------------------
# Membership.

def chat_room_topic(room_id: str) -> str: ...
def room_participants_topic(room_id: str) -> str: ...

@final
class SubscriptionTracker:
    def __new__(cls) -> Self: ...
    def begin_room_subscribe(self, room_id: str) -> int | None: ...
    def record_chat_room_join_failed(self, room_id: str, ticket: int) -> RoomSubscribeResult: ...
    def record_both_room_topics_joined(self, room_id: str, ticket: int) -> RoomSubscribeResult: ...
    def record_room_participants_join_failed(
        self, room_id: str, ticket: int, chat_room_left: bool
    ) -> RoomSubscribeResult: ...
    def is_room_subscribed(self, room_id: str) -> bool: ...
    def is_room_claim_current(self, room_id: str, ticket: int) -> bool: ...
    def room_status(self, room_id: str) -> RoomStatus: ...
    def unsubscribe_room(self, room_id: str) -> int | None: ...
    def mark_room_leave_complete(self, room_id: str, ticket: int, outcome: LeaveOutcome) -> bool: ...
    def acknowledge_room_reconciled(self, room_id: str) -> bool: ...
    def room_rejoin_candidates(self) -> builtins.list[tuple[str, int]]: ...
    def mark_room_rejoin_failed(self, room_id: str, ticket: int) -> bool: ...
    def subscribed_room_ids(self) -> builtins.list[str]: ...
    def on_reconnected(self) -> None: ...
    def end_session(self) -> None: ...
    def begin_agent_topic_join(self, topic: str) -> int | None: ...
    def record_agent_topic_join(self, topic: str, ticket: int, joined: bool) -> bool: ...
    def record_agent_topic_join_ambiguous(self, topic: str, ticket: int) -> bool: ...
    def is_agent_topic_joined(self, topic: str) -> bool: ...
    def is_agent_topic_claim_current(self, topic: str, ticket: int) -> bool: ...
    def agent_topic_status(self, topic: str) -> AgentTopicStatus: ...
    def leave_agent_topic(self, topic: str) -> int | None: ...
    def mark_agent_topic_leave_complete(self, topic: str, ticket: int, outcome: LeaveOutcome) -> bool: ...
    def acknowledge_agent_topic_reconciled(self, topic: str) -> bool: ...
    def agent_topic_rejoin_candidates(self) -> builtins.list[tuple[str, int]]: ...
    def mark_agent_topic_rejoin_failed(self, topic: str, ticket: int) -> bool: ...
    def joined_agent_topics(self) -> builtins.list[str]: ...

@final
class RoomReconciliation:
    @property
    def removed(self) -> builtins.list[str]: ...
    @property
    def admitting(self) -> builtins.list[tuple[str, int]]: ...
    @property
    def resync(self) -> builtins.list[str]: ...

@final
class RoomRoster:
    def __new__(cls) -> Self: ...
    def room_membership(self, room_id: str) -> RoomMembership: ...
    def begin_room_admission(self, room_id: str, passes_filter: bool) -> int | None: ...
    def record_room_admission(self, room_id: str, ticket: int, succeeded: bool) -> bool: ...
    def is_room_admission_current(self, room_id: str, ticket: int) -> bool: ...
    def record_room_removed(self, room_id: str) -> bool: ...
    def tracked_room_ids(self) -> builtins.list[str]: ...
    def reconcile(self, current_room_ids: Sequence[str]) -> RoomReconciliation: ...
    def clear(self) -> builtins.list[str]: ...

@final
class ParticipantRoster:
    def __new__(cls, *, trace_context_provider: Callable[[], str | None] | None = None) -> Self: ...
    def add(self, participant: Mapping[str, Any]) -> bool: ...
    def remove(self, participant_id: str) -> bool: ...
    def set_all(self, participants: Iterable[Mapping[str, Any]], trace_context: str | None = None) -> None: ...
    def list(self) -> builtins.list[ParticipantDict]: ...
    def changed(self) -> bool: ...
    def mark_sent(self) -> None: ...

# ---------------------------------------------------------------------------
# Pending asks.

@final
class CancelledDecisions:
    @property
    def unclaimed(self) -> builtins.list[str]: ...
    @property
    def claimed(self) -> builtins.list[str]: ...

@final
class DecisionRegistry:
    def __new__(cls, *, max_pending: int | None = None, seed: int | None = None) -> Self: ...
    @property
    def max_pending(self) -> int | None: ...
    def register_minted(self, room_id: str | None = None) -> tuple[str, int] | None: ...
    def register_keyed(self, key: str) -> tuple[str, int] | None: ...
    def try_claim(self, token: str, ticket: int) -> ClaimOutcome: ...
    def withdraw(self, token: str, ticket: int) -> bool: ...
    def forget(self, token: str, ticket: int) -> bool: ...
    def unclaimed(self) -> builtins.list[str]: ...
    def unclaimed_in_room(self, room_id: str) -> builtins.list[str]: ...
    def unclaimed_count(self) -> int: ...
    def oldest_unclaimed(self) -> str | None: ...
    def evict_oldest(self) -> str | None: ...
    def cancel_all(self) -> CancelledDecisions: ...
    def cancel_room(self, room_id: str) -> CancelledDecisions: ...

def is_authorized_sender(authorized_senders: set[str] | frozenset[str] | None, sender_id: str | None) -> bool: ...

# ---------------------------------------------------------------------------
# Turns and tools.

@final
class TurnLedger:
    def __new__(cls) -> Self: ...
    def record(self, effect: TurnEffect) -> None: ...
    def settle(self) -> None: ...
    def note_reported(self) -> None: ...
    def reply_settled(self) -> bool: ...
    def verdict(self) -> TurnVerdict: ...

def orvu_tool_effects() -> dict[str, TurnEffect]: ...
def no_reply_tool() -> ToolSpec: ...
def missing_reply_message() -> str: ...

# ---------------------------------------------------------------------------
# Memory taxonomy.

def validate_memory_type_for_system(
    system: str | MemorySystem, memory_type: str | MemoryType, trace_context: str | None = None
) -> None: ...

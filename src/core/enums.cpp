#include "core/enums.hpp"

#include <array>

namespace orvu::core {
namespace {

constexpr EnumVariant kAgentTopicKind[] = {
    {"Control", "agent_control"}, {"Rooms", "agent_rooms"}, {"Contacts", "agent_contacts"}};
constexpr EnumVariant kAgentTopicStatus[] = {{"Absent", "absent"}, {"Pending", "pending"}, {"Joined", "joined"},
                                             {"Leaving", "leaving"}, {"NeedsReconciliation", "needs_reconciliation"}};
constexpr EnumVariant kClaimOutcome[] = {{"Claimed", "claimed"}, {"AlreadyClaimed", "already_claimed"}, {"Stale", "stale"}};
constexpr EnumVariant kDeadReason[] = {{"Classified", "classified"}, {"RapidDisconnect", "rapid_disconnect"}};
constexpr EnumVariant kEventType[] = {
    {"MessageCreated", "message_created"},
    {"MessageUpdated", "message_updated"},
    {"RoomAdded", "room_added"},
    {"RoomRemoved", "room_removed"},
    {"RoomDeleted", "room_deleted"},
    {"ParticipantAdded", "participant_added"},
    {"ParticipantRemoved", "participant_removed"},
    {"ContactRequestReceived", "contact_request_received"},
    {"ContactRequestUpdated", "contact_request_updated"},
    {"ContactAdded", "contact_added"},
    {"ContactRemoved", "contact_removed"},
    {"Supersede", "supersede"},
    {"AgentControl", "agent.control"},
    {"EventCreated", "event_created"},
};
constexpr EnumVariant kLeaveOutcome[] = {{"Left", "left"}, {"Failed", "failed"}, {"Unknown", "unknown"}};
constexpr EnumVariant kMemoryListScope[] = {{"Subject", "subject"}, {"Organization", "organization"}, {"All", "all"}};
constexpr EnumVariant kMemorySegment[] = {{"User", "user"}, {"Agent", "agent"}, {"Tool", "tool"}, {"Guideline", "guideline"}};
constexpr EnumVariant kMemoryStatus[] = {
    {"Active", "active"}, {"Superseded", "superseded"}, {"Archived", "archived"}, {"All", "all"}};
constexpr EnumVariant kMemoryStoreScope[] = {{"Subject", "subject"}, {"Organization", "organization"}};
constexpr EnumVariant kMemorySystem[] = {{"Sensory", "sensory"}, {"Working", "working"}, {"LongTerm", "long_term"}};
constexpr EnumVariant kMemoryType[] = {{"Iconic", "iconic"},     {"Echoic", "echoic"},     {"Haptic", "haptic"},
                                       {"Episodic", "episodic"}, {"Semantic", "semantic"}, {"Procedural", "procedural"}};
constexpr EnumVariant kParkedReason[] = {{"NotFound", "not_found"}, {"Rejected", "rejected"}};
constexpr EnumVariant kRoomMembership[] = {{"Unadmitted", "unadmitted"}, {"Admitting", "admitting"}, {"Admitted", "admitted"}};
constexpr EnumVariant kRoomStatus[] = {{"Absent", "absent"}, {"Pending", "pending"}, {"Subscribed", "subscribed"},
                                       {"Leaving", "leaving"}, {"NeedsReconciliation", "needs_reconciliation"}};
constexpr EnumVariant kRoomSubscribeResult[] = {{"Subscribed", "subscribed"}, {"JoinFailed", "join_failed"},
                                                {"RolledBack", "rolled_back"}, {"RollbackFailed", "rollback_failed"},
                                                {"Stale", "stale"}};
constexpr EnumVariant kSessionState[] = {
    {"Connecting", "connecting"}, {"Up", "up"}, {"Reconnecting", "reconnecting"}, {"Dead", "dead"}};
constexpr EnumVariant kStaleReason[] = {{"WrongEpoch", "wrong_epoch"},
                                        {"ClockRegression", "clock_regression"},
                                        {"DuplicateConnected", "duplicate_connected"},
                                        {"SupersedePredatesEpoch", "supersede_predates_epoch"}};
constexpr EnumVariant kTurnEffect[] = {{"Observe", "observe"}, {"Act", "act"}, {"Reply", "reply"}, {"Decline", "decline"}};
constexpr EnumVariant kTurnVerdict[] = {{"Complete", "complete"}, {"MissingReply", "missing_reply"}};

using F = EnumForm;
constexpr std::array<EnumDef, kEnumCount> kDefs = {{
    {EnumId::AgentTopicKind, "AgentTopicKind", F::WireName,
     "A single-topic Phoenix Channels channel kind keyed by one id (an agent's\n"
     "control/rooms/contacts channel).",
     nullptr, kAgentTopicKind},
    {EnumId::AgentTopicStatus, "AgentTopicStatus", F::Value, nullptr, nullptr, kAgentTopicStatus},
    {EnumId::ClaimOutcome, "ClaimOutcome", F::Value, nullptr, nullptr, kClaimOutcome},
    {EnumId::DeadReason, "DeadReason", F::Value, nullptr, nullptr, kDeadReason},
    {EnumId::EventType, "EventType", F::WireName,
     "Canonical inbound event names. Each variant's `wire_name` is the\n"
     "exact string the platform sends; `validate_event_payload` accepts that\n"
     "string (or an `EventType` instance).",
     "The exact string the platform sends over the wire for this event.", kEventType},
    {EnumId::LeaveOutcome, "LeaveOutcome", F::Value, nullptr, nullptr, kLeaveOutcome},
    {EnumId::MemoryListScope, "MemoryListScope", F::WireName, "Scope filter for listing memories.", nullptr,
     kMemoryListScope},
    {EnumId::MemorySegment, "MemorySegment", F::WireName,
     "Logical subject category for a stored memory -- not a store/list scope.", nullptr, kMemorySegment},
    {EnumId::MemoryStatus, "MemoryStatus", F::WireName,
     "Lifecycle state; list filter and set by supersede/archive operations.", nullptr, kMemoryStatus},
    {EnumId::MemoryStoreScope, "MemoryStoreScope", F::WireName, "Visibility scope for storing a memory.", nullptr,
     kMemoryStoreScope},
    {EnumId::MemorySystem, "MemorySystem", F::WireName,
     "Memory tier; constrains which [`MemoryType`] values are valid for it\n"
     "(`validate_memory_type_for_system`).",
     nullptr, kMemorySystem},
    {EnumId::MemoryType, "MemoryType", F::WireName, "Content kind; must match the chosen [`MemorySystem`] tier.",
     nullptr, kMemoryType},
    {EnumId::ParkedReason, "ParkedReason", F::WireName,
     "Why the platform refused a terminal write that stays pending; the\n"
     "argument of `ClaimRegistry.park_ack`.",
     nullptr, kParkedReason},
    {EnumId::RoomMembership, "RoomMembership", F::Value, nullptr, nullptr, kRoomMembership},
    {EnumId::RoomStatus, "RoomStatus", F::Value, nullptr, nullptr, kRoomStatus},
    {EnumId::RoomSubscribeResult, "RoomSubscribeResult", F::Value, nullptr, nullptr, kRoomSubscribeResult},
    {EnumId::SessionState, "SessionState", F::Value, nullptr, nullptr, kSessionState},
    {EnumId::StaleReason, "StaleReason", F::Value, nullptr, nullptr, kStaleReason},
    {EnumId::TurnEffect, "TurnEffect", F::WireName, "What a successful tool call contributes to the turn.", nullptr,
     kTurnEffect},
    {EnumId::TurnVerdict, "TurnVerdict", F::WireName, "How the SDK ends a turn, per `TurnLedger.verdict()`.", nullptr,
     kTurnVerdict},
}};

}  // namespace

const EnumDef& enum_def(EnumId id) noexcept { return kDefs[static_cast<std::size_t>(id)]; }

std::span<const EnumDef> all_enum_defs() noexcept { return kDefs; }

std::optional<std::size_t> enum_index_from_wire(EnumId id, std::string_view wire) noexcept {
    const auto& variants = enum_def(id).variants;
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (variants[i].wire == wire) return i;
    }
    return std::nullopt;
}

}  // namespace orvu::core

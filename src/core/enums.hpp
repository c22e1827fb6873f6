// The module's enumerations: typed C++ enums for the core logic and
// one descriptor table (variant names, wire strings, docstrings) that the
// binding walks to build every enumeration class the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace orvu::core {

enum class SessionState : std::uint8_t { Connecting, Up, Reconnecting, Dead };
enum class DeadReason : std::uint8_t { Classified, RapidDisconnect };
enum class StaleReason : std::uint8_t { WrongEpoch, ClockRegression, DuplicateConnected, SupersedePredatesEpoch };
enum class EventType : std::uint8_t {
    MessageCreated, MessageUpdated, RoomAdded, RoomRemoved, RoomDeleted, ParticipantAdded,
    ParticipantRemoved, ContactRequestReceived, ContactRequestUpdated, ContactAdded, ContactRemoved,
    Supersede, AgentControl, EventCreated
};
enum class ParkedReason : std::uint8_t { NotFound, Rejected };
enum class RoomStatus : std::uint8_t { Absent, Pending, Subscribed, Leaving, NeedsReconciliation };
enum class RoomSubscribeResult : std::uint8_t { Subscribed, JoinFailed, RolledBack, RollbackFailed, Stale };
enum class LeaveOutcome : std::uint8_t { Left, Failed, Unknown };
enum class AgentTopicStatus : std::uint8_t { Absent, Pending, Joined, Leaving, NeedsReconciliation };
enum class AgentTopicKind : std::uint8_t { Control, Rooms, Contacts };
enum class RoomMembership : std::uint8_t { Unadmitted, Admitting, Admitted };
enum class ClaimOutcome : std::uint8_t { Claimed, AlreadyClaimed, Stale };
enum class TurnEffect : std::uint8_t { Observe, Act, Reply, Decline };
enum class TurnVerdict : std::uint8_t { Complete, MissingReply };
enum class MemoryType : std::uint8_t { Iconic, Echoic, Haptic, Episodic, Semantic, Procedural };
enum class MemorySystem : std::uint8_t { Sensory, Working, LongTerm };
enum class MemoryStatus : std::uint8_t { Active, Superseded, Archived, All };
enum class MemorySegment : std::uint8_t { User, Agent, Tool, Guideline };
enum class MemoryListScope : std::uint8_t { Subject, Organization, All };
enum class MemoryStoreScope : std::uint8_t { Subject, Organization };

// Every enumeration, in the module's registration (alphabetical) order.
#define ORVU_ENUMS(X)                                                                                   \
    X(AgentTopicKind) X(AgentTopicStatus) X(ClaimOutcome) X(DeadReason) X(EventType) X(LeaveOutcome)     \
    X(MemoryListScope) X(MemorySegment) X(MemoryStatus) X(MemoryStoreScope) X(MemorySystem) X(MemoryType) \
    X(ParkedReason) X(RoomMembership) X(RoomStatus) X(RoomSubscribeResult) X(SessionState) X(StaleReason) \
    X(TurnEffect) X(TurnVerdict)

// One entry per enumeration class.
enum class EnumId : std::uint8_t {
#define ORVU_ENUM_ID(Name) Name,
    ORVU_ENUMS(ORVU_ENUM_ID)
#undef ORVU_ENUM_ID
};
#define ORVU_ENUM_ONE(Name) +1
inline constexpr std::size_t kEnumCount = 0 ORVU_ENUMS(ORVU_ENUM_ONE);
#undef ORVU_ENUM_ONE

// The enumeration of a typed variant, found by argument-dependent lookup:
// enum_id_of(SessionState{}) is EnumId::SessionState.
#define ORVU_ENUM_OF(Name) constexpr EnumId enum_id_of(Name) noexcept { return EnumId::Name; }
ORVU_ENUMS(ORVU_ENUM_OF)
#undef ORVU_ENUM_OF

struct EnumVariant {
    std::string_view name;  // CamelCase attribute name
    std::string_view wire;  // snake_case wire string
};

enum class EnumForm : std::uint8_t { Value, WireName };

struct EnumDef {
    EnumId id;
    std::string_view class_name;
    EnumForm form;
    const char* doc;        // class docstring or nullptr
    const char* wire_doc;   // docstring of the `value`/`wire_name` property or nullptr
    std::span<const EnumVariant> variants;
};

const EnumDef& enum_def(EnumId id) noexcept;
std::span<const EnumDef> all_enum_defs() noexcept;

// Exact, case-sensitive lookup of a wire string; nullopt when unknown.
std::optional<std::size_t> enum_index_from_wire(EnumId id, std::string_view wire) noexcept;

template <class E>
constexpr std::size_t index_of(E e) noexcept { return static_cast<std::size_t>(e); }

// Wire string of a typed variant, e.g. wire_of(EnumId::EventType, EventType::Supersede).
template <class E>
std::string_view wire_of(EnumId id, E e) noexcept { return enum_def(id).variants[index_of(e)].wire; }

}  // namespace orvu::core

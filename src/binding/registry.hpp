// What the module's exec step registers, in one list each for classes and
// functions. Everything else about registration is expanded from these
// lists: the TypeId of each class and the number of classes (state.hpp), the
// declarations of the class and function definitions below, and the tables
// that module.cpp walks. A name is written once, so the registered name is
// the C++ name: a class `X` is `TypeId::X` and `reg::X`, a function `f` is
// `reg::f`. A binding unit that defines `reg::f` without `f` in the list does
// not compile, and the stubs are generated from the module.
#pragma once

#include "binding/handle.hpp"
#include "core/enums.hpp"

// Every class, in registration order (alphabetical, the order of `__all__`):
// CLASS(Name) for the class `reg::Name` (a ClassDef), ENUM(Name) for the
// enumeration `core::EnumId::Name`.
#define ORVU_CLASSES(CLASS, ENUM) \
    CLASS(AgentFailure) ENUM(AgentTopicKind) ENUM(AgentTopicStatus) CLASS(CancelledDecisions) \
    ENUM(ClaimOutcome) CLASS(ClaimRegistry) ENUM(DeadReason) CLASS(DecisionRegistry)          \
    ENUM(EventType) ENUM(LeaveOutcome) ENUM(MemoryListScope) ENUM(MemorySegment)              \
    ENUM(MemoryStatus) ENUM(MemoryStoreScope) ENUM(MemorySystem) ENUM(MemoryType)             \
    ENUM(ParkedReason) CLASS(ParticipantRoster) CLASS(RetryTracker) ENUM(RoomMembership)      \
    CLASS(RoomReconciliation) CLASS(RoomRoster) ENUM(RoomStatus) ENUM(RoomSubscribeResult)    \
    CLASS(Session) CLASS(SessionOutcome) CLASS(SessionPolicy) ENUM(SessionState)              \
    ENUM(StaleReason) CLASS(SubscriptionTracker) ENUM(TurnEffect) CLASS(TurnLedger)           \
    ENUM(TurnVerdict)

// Every function, in registration order (after the classes), by the name of
// its method def `reg::name`.
#define ORVU_FUNCTIONS(FUNCTION) \
    FUNCTION(orvu_tool_effects) FUNCTION(chat_room_topic) FUNCTION(classify_close)                               \
    FUNCTION(classify_upgrade) FUNCTION(evaluate_adapter_result) FUNCTION(evaluate_delivery_event)               \
    FUNCTION(evaluate_drain_candidate) FUNCTION(evaluate_next_message) FUNCTION(is_authorized_sender)            \
    FUNCTION(is_self_echo) FUNCTION(missing_reply_message) FUNCTION(no_reply_tool)                               \
    FUNCTION(room_participants_topic) FUNCTION(validate_event_payload) FUNCTION(validate_memory_type_for_system)

namespace orvu::py {

struct ClassDef;

// enums.cpp: the class of enumeration `id`.
Ref make_enum_class(PyObject* module, core::EnumId id);

namespace reg {
#define ORVU_DECLARE_CLASS(Name) extern const ClassDef Name;
#define ORVU_DECLARE_NOTHING(Name)
#define ORVU_DECLARE_FUNCTION(name) extern PyMethodDef name;
ORVU_CLASSES(ORVU_DECLARE_CLASS, ORVU_DECLARE_NOTHING)
ORVU_FUNCTIONS(ORVU_DECLARE_FUNCTION)
#undef ORVU_DECLARE_CLASS
#undef ORVU_DECLARE_NOTHING
#undef ORVU_DECLARE_FUNCTION
}  // namespace reg

}  // namespace orvu::py

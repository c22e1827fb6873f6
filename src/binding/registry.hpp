// What the module's exec step registers, in one list each for classes and
// functions. Everything else about registration is expanded from these
// lists: the TypeId of each class and the number of classes (state.hpp), the
// declarations of the factories and method defs below, and the tables that
// module.cpp walks. A name is written once, so the registered name is the
// C++ name: a class `X` is `TypeId::X`, a function `f` is `reg::f()`. A
// binding unit that defines `reg::f` without `f` in the list does not
// compile, and the tests compare the registered names with the stubs.
#pragma once

#include "binding/handle.hpp"
#include "core/enums.hpp"

// Every class, in registration order (alphabetical, the order of `__all__`):
// CLASS(Name, factory) for a class made by `reg::factory(module)`,
// ENUM(Name) for the enumeration `core::EnumId::Name`.
#define ORVU_CLASSES(CLASS, ENUM)                        \
    CLASS(AgentFailure, agent_failure)                   \
    ENUM(AgentTopicKind)                                 \
    ENUM(AgentTopicStatus)                               \
    CLASS(CancelledDecisions, cancelled_decisions)       \
    ENUM(ClaimOutcome)                                   \
    CLASS(ClaimRegistry, claim_registry)                 \
    ENUM(DeadReason)                                     \
    CLASS(DecisionRegistry, decision_registry)           \
    ENUM(EventType)                                      \
    ENUM(LeaveOutcome)                                   \
    ENUM(MemoryListScope)                                \
    ENUM(MemorySegment)                                  \
    ENUM(MemoryStatus)                                   \
    ENUM(MemoryStoreScope)                               \
    ENUM(MemorySystem)                                   \
    ENUM(MemoryType)                                     \
    ENUM(ParkedReason)                                   \
    CLASS(ParticipantRoster, participant_roster)         \
    CLASS(RetryTracker, retry_tracker)                   \
    ENUM(RoomMembership)                                 \
    CLASS(RoomReconciliation, room_reconciliation)       \
    CLASS(RoomRoster, room_roster)                       \
    ENUM(RoomStatus)                                     \
    ENUM(RoomSubscribeResult)                            \
    CLASS(Session, session)                              \
    CLASS(SessionOutcome, session_outcome)               \
    CLASS(SessionPolicy, session_policy)                 \
    ENUM(SessionState)                                   \
    ENUM(StaleReason)                                    \
    CLASS(SubscriptionTracker, subscription_tracker)     \
    ENUM(TurnEffect)                                     \
    CLASS(TurnLedger, turn_ledger)                       \
    ENUM(TurnVerdict)

// Every function, in registration order (after the classes), by the name of
// its method def `reg::name()`.
#define ORVU_FUNCTIONS(FUNCTION)                         \
    FUNCTION(orvu_tool_effects)                          \
    FUNCTION(chat_room_topic)                            \
    FUNCTION(classify_close)                             \
    FUNCTION(classify_upgrade)                           \
    FUNCTION(evaluate_adapter_result)                    \
    FUNCTION(evaluate_delivery_event)                    \
    FUNCTION(evaluate_drain_candidate)                   \
    FUNCTION(evaluate_next_message)                      \
    FUNCTION(is_authorized_sender)                       \
    FUNCTION(is_self_echo)                               \
    FUNCTION(missing_reply_message)                      \
    FUNCTION(no_reply_tool)                              \
    FUNCTION(room_participants_topic)                    \
    FUNCTION(validate_event_payload)                     \
    FUNCTION(validate_memory_type_for_system)

namespace orvu::py {

// Creates one class for `module` (whose state is already built).
using TypeFactory = Ref (*)(PyObject* module);

// enums.cpp: the class of enumeration `id`; `make_enum_type<Id>` is its factory.
Ref make_enum_class(PyObject* module, core::EnumId id);
template <core::EnumId Id>
Ref make_enum_type(PyObject* module) {
    return make_enum_class(module, Id);
}

namespace reg {
#define ORVU_DECLARE_CLASS(Name, factory) Ref factory(PyObject* module);
#define ORVU_DECLARE_NOTHING(Name)
#define ORVU_DECLARE_FUNCTION(name) PyMethodDef* name();
ORVU_CLASSES(ORVU_DECLARE_CLASS, ORVU_DECLARE_NOTHING)
ORVU_FUNCTIONS(ORVU_DECLARE_FUNCTION)
#undef ORVU_DECLARE_CLASS
#undef ORVU_DECLARE_NOTHING
#undef ORVU_DECLARE_FUNCTION

// Extra methods of the AgentTopicKind enumeration (subscriptions.cpp).
PyMethodDef* agent_topic_kind_methods();
}  // namespace reg

}  // namespace orvu::py

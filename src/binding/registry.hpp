// What the module's exec step registers, in one table (module.cpp). Each
// binding unit defines the factories of its classes and the method defs of
// its functions declared here; a name missing from the table, or an entry
// left null, fails the import with ImportError naming it.
#pragma once

#include "binding/handle.hpp"
#include "core/enums.hpp"

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
// Classes.
Ref agent_failure(PyObject* module);
Ref cancelled_decisions(PyObject* module);
Ref claim_registry(PyObject* module);
Ref decision_registry(PyObject* module);
Ref participant_roster(PyObject* module);
Ref retry_tracker(PyObject* module);
Ref room_reconciliation(PyObject* module);
Ref room_roster(PyObject* module);
Ref session(PyObject* module);
Ref session_outcome(PyObject* module);
Ref session_policy(PyObject* module);
Ref subscription_tracker(PyObject* module);
Ref turn_ledger(PyObject* module);

// Extra methods of the AgentTopicKind enumeration (subscriptions.cpp).
PyMethodDef* agent_topic_kind_methods();

// Functions.
PyMethodDef* orvu_tool_effects();
PyMethodDef* chat_room_topic();
PyMethodDef* classify_close();
PyMethodDef* classify_upgrade();
PyMethodDef* evaluate_adapter_result();
PyMethodDef* evaluate_delivery_event();
PyMethodDef* evaluate_drain_candidate();
PyMethodDef* evaluate_next_message();
PyMethodDef* is_authorized_sender();
PyMethodDef* is_self_echo();
PyMethodDef* missing_reply_message();
PyMethodDef* no_reply_tool();
PyMethodDef* room_participants_topic();
PyMethodDef* validate_event_payload();
PyMethodDef* validate_memory_type_for_system();
}  // namespace reg

}  // namespace orvu::py

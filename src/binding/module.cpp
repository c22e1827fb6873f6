// Module init: creates every contributed class in alphabetical order, then
// the functions in their fixed order; each name is appended to `__all__`
// before the attribute is set.
#include "binding/errors.hpp"
#include "binding/object.hpp"
#include "binding/registry.hpp"

#include <map>
#include <string>

namespace orvu::py {
namespace {

constexpr const char* kClassOrder[] = {
    "AgentFailure",     "AgentTopicKind",    "AgentTopicStatus",  "CancelledDecisions", "ClaimOutcome",
    "ClaimRegistry",    "DeadReason",        "DecisionRegistry",  "EventType",          "LeaveOutcome",
    "MemoryListScope",  "MemorySegment",     "MemoryStatus",      "MemoryStoreScope",   "MemorySystem",
    "MemoryType",       "ParkedReason",      "ParticipantRoster", "RetryTracker",       "RoomMembership",
    "RoomReconciliation", "RoomRoster",      "RoomStatus",        "RoomSubscribeResult", "Session",
    "SessionOutcome",   "SessionPolicy",     "SessionState",      "StaleReason",        "SubscriptionTracker",
    "TurnEffect",       "TurnLedger",        "TurnVerdict",
};

constexpr const char* kFunctionOrder[] = {
    "orvu_tool_effects",    "chat_room_topic",         "classify_close",        "classify_upgrade",
    "evaluate_adapter_result", "evaluate_delivery_event", "evaluate_drain_candidate", "evaluate_next_message",
    "is_authorized_sender", "is_self_echo",            "missing_reply_message", "no_reply_tool",
    "room_participants_topic", "validate_event_payload", "validate_memory_type_for_system",
};

std::map<std::string, TypeFactory>& class_factories() {
    static std::map<std::string, TypeFactory> factories;
    return factories;
}

std::map<std::string, PyMethodDef*>& functions() {
    static std::map<std::string, PyMethodDef*> defs;
    return defs;
}

// Types created at import; one reference each is held for the life of the process.
std::map<std::string, PyTypeObject*>& types() {
    static std::map<std::string, PyTypeObject*> created;
    return created;
}

void register_name(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_error();
    }
    Ref text = make_str(name);
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        raise(PyExc_ImportError, "could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value) < 0) throw_error();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "orvu_sdk_core",
    "Decision core of the agent SDK: reconnect policy, event validation and\n"
    "routing, delivery ledger, membership, pending asks, turn accounting and\n"
    "the memory taxonomy. It performs no I/O; the host drives every call.",
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

Ref init_module() {
    Ref module = Ref::check(PyModule_Create(&module_def));
    // The project version (pyproject.toml, via the build); not part of __all__.
    if (PyModule_AddStringConstant(module.get(), "__version__", ORVU_VERSION) < 0) throw_error();
    for (const char* name : kClassOrder) {
        auto it = class_factories().find(name);
        if (it == class_factories().end()) continue;  // not built yet
        Ref type = it->second(module.get());
        types()[name] = reinterpret_cast<PyTypeObject*>(Ref(type).release());
        register_name(module.get(), name, type.get());
    }
    Ref module_name = make_str("orvu_sdk_core");
    for (const char* name : kFunctionOrder) {
        auto it = functions().find(name);
        if (it == functions().end()) continue;
        Ref fn = Ref::check(PyCFunction_NewEx(it->second, module.get(), module_name.get()));
        register_name(module.get(), name, fn.get());
    }
    return module;
}

}  // namespace

ClassRegistration::ClassRegistration(const char* name, TypeFactory factory) {
    class_factories()[name] = std::move(factory);
}

FunctionRegistration::FunctionRegistration(PyMethodDef* def) { functions()[def->ml_name] = def; }

const TypeFactory* find_class_factory(const char* name) {
    auto it = class_factories().find(name);
    return it == class_factories().end() ? nullptr : &it->second;
}

PyMethodDef* find_function(const char* name) {
    auto it = functions().find(name);
    return it == functions().end() ? nullptr : it->second;
}

Ref make_type(PyObject* module, PyType_Spec* spec) {
    return Ref::check(PyType_FromModuleAndSpec(module, spec, nullptr));
}

PyTypeObject* module_type(const char* name) {
    auto it = types().find(name);
    if (it == types().end()) raise(PyExc_SystemError, std::string("orvu_sdk_core: class not registered: ") + name);
    return it->second;
}

}  // namespace orvu::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_orvu_sdk_core() {
    return orvu::py::guarded([] { return orvu::py::init_module(); });
}

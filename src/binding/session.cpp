// SessionPolicy, Session and SessionOutcome.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/session.hpp"

#include <string>

namespace orvu::py {
namespace {

using PolicyObject = Wrapped<core::SessionPolicy>;
using SessionObject = Wrapped<core::Session>;
using OutcomeObject = Wrapped<core::SessionOutcome>;
}  // namespace

template <>
struct RecordType<core::SessionOutcome> {
    static constexpr TypeId id = TypeId::SessionOutcome;
};

namespace {

Ref seconds_float(const core::Duration& d) { return result::real(d.seconds()); }

// ---------------------------------------------------------------------------
// SessionPolicy: immutable after construction, so its readers take no guard.

// Reads one configuration number: the lookup, then the number conversion.
double read_config_number(PyObject* config, std::string_view key) {
    Ref name = make_str(key);
    Ref value = Ref::steal(PyObject_GetItem(config, name.get()));
    if (!value) {
        // Whatever the lookup raised, the key counts as absent.
        PyErr_Clear();
        raise_type_error("SessionPolicy config is missing `" + std::string(key) + "`");
    }
    if (PyBool_Check(value.get())) {
        raise_type_error("SessionPolicy config `" + std::string(key) + "` must be a number, not bool");
    }
    double number = PyFloat_AsDouble(value.get());
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        raise_type_error("SessionPolicy config `" + std::string(key) + "` must be a number");
    }
    return number;
}

const Signature kPolicyNew{"SessionPolicy.__new__", {"config", "trace_context"}, 2, 1};
Ref policy_new(PyTypeObject* type, const BoundArgs& a) {
    PyObject* trace_context = a.optional_str_object(1);
    core::SessionPolicy policy;
    for (const core::PolicyKey& key : core::session_policy_keys()) {
        unwrap(core::set_policy_value(policy, key, read_config_number(a[0], key.name)));
    }
    unwrap(core::check_policy_relations(policy), trace_context);
    return PolicyObject::create(type, std::move(policy));
}

Ref policy_default(const BoundArgs& a) {
    return result::instance<PolicyObject>(a.state(), TypeId::SessionPolicy);
}

Ref heartbeat_interval(const core::SessionPolicy& p, ModuleState&) { return seconds_float(p.heartbeat_interval); }
Ref dead_threshold(const core::SessionPolicy& p, ModuleState&) { return seconds_float(p.dead_threshold); }

PyMethodDef policy_default_def =
    static_method<&policy_default>("SessionPolicy", "default()\n--\n\nA recommended, not final, default.");

// Immutable after construction: its readers take no guard.
PyGetSetDef policy_getset[] = {
    getter<PolicyObject, Access::None, &heartbeat_interval>("heartbeat_interval_s",
                                                            "Heartbeat period for the host, in float seconds."),
    getter<PolicyObject, Access::None, &dead_threshold>(
        "dead_threshold_s", "Silence after which the host treats the connection as dead, in float seconds."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// SessionOutcome: a read-only record built only by Session.

Ref outcome_retry_after(const core::SessionOutcome& o, ModuleState&) {
    return result::optional(o.retry_after, seconds_float);
}

// A read-only record: its readers take no guard.
PyGetSetDef outcome_getset[] = {
    member_getter<OutcomeObject, Access::None, &core::SessionOutcome::state>(
        "state", "The `SessionState` after the call."),
    getter<OutcomeObject, Access::None, &outcome_retry_after>(
        "retry_after_s", "Float seconds to wait before the next attempt, or None; set only by a retryable ending."),
    member_getter<OutcomeObject, Access::None, &core::SessionOutcome::dead_reason>(
        "dead_reason", "Why the session is dead (`DeadReason`), or None."),
    member_getter<OutcomeObject, Access::None, &core::SessionOutcome::stale_reason>(
        "stale_reason", "Why the report was ignored (`StaleReason`), or None; when set, the call changed nothing."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Session. Every method converts all its arguments and checks their values
// in parameter order before it calls into the state machine, so a call that
// raises changes nothing.

const Signature kSessionNew{"Session.__new__", {"policy"}, 1, 1};
Ref session_new(PyTypeObject* type, const BoundArgs& a) {
    const core::SessionPolicy& policy = a.object<PolicyObject>(0, TypeId::SessionPolicy);
    return SessionObject::create(type, policy);
}

// Every report converts all its arguments in parameter order; the core then
// checks their values in that order before it changes anything.
template <auto Fn>
PyMethodDef changing(const char* doc) {
    return core_method<SessionObject, Access::Exclusive, Fn>("Session", doc);
}

PyMethodDef session_methods[] = {
    changing<&core::Session::checked_begin_attempt>(
     "begin_attempt($self, now_s)\n--\n\n"
     "Start a connection attempt at `now_s`. Returns its epoch (an `int`), or\n"
     "None when the session is dead or its epochs are exhausted. Never changes\n"
     "`state`."),
    changing<&core::Session::checked_on_connected>(
     "on_connected($self, epoch, now_s)\n--\n\n"
     "Report that the attempt `epoch` connected at `now_s`. Returns a\n"
     "`SessionOutcome`; a stale report changes nothing."),
    changing<&core::Session::checked_on_socket_close>(
     "on_socket_close($self, epoch, now_s, close_code, jitter_sample)\n--\n\n"
     "Report that the socket of attempt `epoch` closed at `now_s` with\n"
     "`close_code` (None when it closed without one). Returns a\n"
     "`SessionOutcome` with the delay before the next attempt, or the death\n"
     "of the session."),
    changing<&core::Session::checked_on_upgrade_rejected>(
     "on_upgrade_rejected($self, epoch, now_s, status, retry_after_s, jitter_sample)\n--\n\n"
     "Report that the platform refused the upgrade of attempt `epoch` with\n"
     "HTTP `status`; `retry_after_s` (or None) is the platform's minimum\n"
     "wait. Returns a `SessionOutcome`."),
    changing<&core::Session::checked_on_supersede>(
     "on_supersede($self, now_s, retryable, retry_after_s, jitter_sample)\n--\n\n"
     "Report a supersede notice for the attempt in flight. With `retryable`\n"
     "false the session dies; otherwise it backs off, at least\n"
     "`retry_after_s` when given. Returns a `SessionOutcome`."),
    changing<&core::Session::end>(
     "end($self)\n--\n\n"
     "End the session. Returns `SessionState.Dead`; a session already dead\n"
     "keeps its dead reason."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    member_getter<SessionObject, Access::Shared, &core::Session::state>("state", "The current `SessionState`."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref reg::session(PyObject* module) {
    return wrapped_class<SessionObject>(
        module, "orvu_sdk_core.Session",
        "Session(policy)\n--\n\nOne WebSocket session's state machine.",
        {{Py_tp_new, constructor<kSessionNew, &session_new>()},
         {Py_tp_methods, session_methods},
         {Py_tp_getset, session_getset}});
}
Ref reg::session_outcome(PyObject* module) {
    return wrapped_class<OutcomeObject>(
        module, "orvu_sdk_core.SessionOutcome",
        "The settled outcome of one `Session` call.",
        {{Py_tp_getset, outcome_getset}}, kRecordFlags);
}
Ref reg::session_policy(PyObject* module) {
    Ref type = wrapped_class<PolicyObject>(
        module, "orvu_sdk_core.SessionPolicy",
        "SessionPolicy(config, trace_context=None)\n--\n\n"
        "Reconnect backoff/jitter policy, plus the graduated rapid-disconnect\n"
        "cooldown ladder.",
        {{Py_tp_new, constructor<kPolicyNew, &policy_new>()},
         {Py_tp_getset, policy_getset}});
    add_static_method(module, type.get(), &policy_default_def);
    return type;
}

}  // namespace orvu::py

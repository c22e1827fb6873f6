// SessionPolicy, Session and SessionOutcome.
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/object.hpp"
#include "binding/registry.hpp"
#include "core/session.hpp"

#include <memory>
#include <string>

namespace orvu::py {
namespace {

using PolicyObject = Wrapped<core::SessionPolicy>;
using SessionObject = Wrapped<core::Session>;
using OutcomeObject = Wrapped<core::SessionOutcome>;

Ref seconds_float(const core::Duration& d) { return Ref::check(PyFloat_FromDouble(d.seconds())); }

void raise_if(const std::optional<std::string>& message) {
    if (message) raise_value_error(*message);
}

// ---------------------------------------------------------------------------
// SessionPolicy: immutable after construction, so its readers need no borrow guard.

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
PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kPolicyNew, args, kwargs);
        PyObject* trace_context = a.optional_str_object(1);
        auto policy = std::make_unique<core::SessionPolicy>();
        for (const core::PolicyKey& key : core::session_policy_keys()) {
            const double number = read_config_number(a[0], key.name);
            raise_if(core::set_policy_value(*policy, key, number));
        }
        const core::Issues issues = core::policy_cross_field_issues(*policy);
        if (!issues.empty()) raise_validation(issues, trace_context);
        return PolicyObject::create(type, std::move(policy));
    });
}

const Signature kPolicyDefault{"SessionPolicy.default", {}, 0, 0};
PyObject* policy_default(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        bind(kPolicyDefault, args, nargs, kwnames);
        return PolicyObject::create(module_type("SessionPolicy"), std::make_unique<core::SessionPolicy>());
    });
}

PyObject* policy_heartbeat_interval(PyObject* self, void*) noexcept {
    return guarded([&] { return seconds_float(PolicyObject::of(self).heartbeat_interval); });
}

PyObject* policy_dead_threshold(PyObject* self, void*) noexcept {
    return guarded([&] { return seconds_float(PolicyObject::of(self).dead_threshold); });
}

PyMethodDef policy_methods[] = {
    {"default", fastcall(&policy_default), kFastCall | METH_STATIC,
     "default()\n--\n\nA recommended, not final, default."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef policy_getset[] = {
    {"heartbeat_interval_s", &policy_heartbeat_interval, nullptr,
     "Heartbeat period for the host, in float seconds.", nullptr},
    {"dead_threshold_s", &policy_dead_threshold, nullptr,
     "Silence after which the host treats the connection as dead, in float seconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot policy_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&policy_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&PolicyObject::dealloc)},
    {Py_tp_methods, policy_methods},
    {Py_tp_getset, policy_getset},
    {Py_tp_doc, const_cast<char*>("SessionPolicy(config, trace_context=None)\n--\n\n"
                                  "Reconnect backoff/jitter policy, plus the graduated rapid-disconnect\n"
                                  "cooldown ladder.")},
    {0, nullptr},
};

PyType_Spec policy_spec{"orvu_sdk_core.SessionPolicy", static_cast<int>(sizeof(PolicyObject)), 0,
                        Py_TPFLAGS_DEFAULT, policy_slots};

// ---------------------------------------------------------------------------
// SessionOutcome: a read-only record built only by Session.

Ref make_outcome(const core::SessionOutcome& outcome) {
    return OutcomeObject::create(module_type("SessionOutcome"), std::make_unique<core::SessionOutcome>(outcome));
}

PyObject* outcome_state(PyObject* self, void*) noexcept {
    return guarded([&] { return enum_ref(core::EnumId::SessionState, OutcomeObject::of(self).state); });
}

PyObject* outcome_retry_after(PyObject* self, void*) noexcept {
    return guarded([&] {
        const auto& delay = OutcomeObject::of(self).retry_after;
        return delay ? seconds_float(*delay) : none();
    });
}

PyObject* outcome_dead_reason(PyObject* self, void*) noexcept {
    return guarded([&] {
        const auto& reason = OutcomeObject::of(self).dead_reason;
        return reason ? enum_ref(core::EnumId::DeadReason, *reason) : none();
    });
}

PyObject* outcome_stale_reason(PyObject* self, void*) noexcept {
    return guarded([&] {
        const auto& reason = OutcomeObject::of(self).stale_reason;
        return reason ? enum_ref(core::EnumId::StaleReason, *reason) : none();
    });
}

PyGetSetDef outcome_getset[] = {
    {"state", &outcome_state, nullptr, "The `SessionState` after the call.", nullptr},
    {"retry_after_s", &outcome_retry_after, nullptr,
     "Float seconds to wait before the next attempt, or None; set only by a retryable ending.", nullptr},
    {"dead_reason", &outcome_dead_reason, nullptr, "Why the session is dead (`DeadReason`), or None.", nullptr},
    {"stale_reason", &outcome_stale_reason, nullptr,
     "Why the report was ignored (`StaleReason`), or None; when set, the call changed nothing.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot outcome_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&OutcomeObject::dealloc)},
    {Py_tp_getset, outcome_getset},
    {Py_tp_doc, const_cast<char*>("The settled outcome of one `Session` call.")},
    {0, nullptr},
};

PyType_Spec outcome_spec{"orvu_sdk_core.SessionOutcome", static_cast<int>(sizeof(OutcomeObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, outcome_slots};

// ---------------------------------------------------------------------------
// Session. Every method takes the exclusive borrow first, converts all its
// arguments, checks their values in parameter order, and only then calls
// into the state machine, so a call that raises changes nothing.

core::Session& session_of(PyObject* self) { return SessionObject::of(self); }
BorrowFlag& borrow_of(PyObject* self) { return SessionObject::cast(self)->borrow; }

const Signature kSessionNew{"Session.__new__", {"policy"}, 1, 1};
PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kSessionNew, args, kwargs);
        PyObject* policy = a.instance(0, module_type("SessionPolicy"));
        return SessionObject::create(type, std::make_unique<core::Session>(PolicyObject::of(policy)));
    });
}

PyObject* session_state(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedBorrow guard(borrow_of(self));
        return enum_ref(core::EnumId::SessionState, session_of(self).state());
    });
}

const Signature kBeginAttempt{"Session.begin_attempt", {"now_s"}, 1, 1};
PyObject* session_begin_attempt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveBorrow guard(borrow_of(self));
        BoundArgs a = bind(kBeginAttempt, args, nargs, kwnames);
        const double now_s = a.real(0);
        raise_if(core::time_value_error("now_s", now_s));
        const auto epoch = session_of(self).begin_attempt(now_s);
        return epoch ? Ref::check(PyLong_FromUnsignedLongLong(*epoch)) : none();
    });
}

const Signature kOnConnected{"Session.on_connected", {"epoch", "now_s"}, 2, 2};
PyObject* session_on_connected(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveBorrow guard(borrow_of(self));
        BoundArgs a = bind(kOnConnected, args, nargs, kwnames);
        const std::int64_t epoch = a.integer<std::int64_t>(0);
        const double now_s = a.real(1);
        raise_if(core::epoch_value_error(epoch));
        raise_if(core::time_value_error("now_s", now_s));
        return make_outcome(session_of(self).on_connected(static_cast<std::uint64_t>(epoch), now_s));
    });
}

const Signature kOnSocketClose{"Session.on_socket_close", {"epoch", "now_s", "close_code", "jitter_sample"}, 4, 4};
PyObject* session_on_socket_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveBorrow guard(borrow_of(self));
        BoundArgs a = bind(kOnSocketClose, args, nargs, kwnames);
        const std::int64_t epoch = a.integer<std::int64_t>(0);
        const double now_s = a.real(1);
        const std::optional<std::int64_t> close_code = a.optional_integer<std::int64_t>(2);
        const double jitter = a.real(3);
        raise_if(core::epoch_value_error(epoch));
        raise_if(core::time_value_error("now_s", now_s));
        if (close_code) raise_if(core::code_value_error("close_code", *close_code));
        raise_if(core::jitter_value_error(jitter));
        std::optional<std::uint16_t> code;
        if (close_code) code = static_cast<std::uint16_t>(*close_code);
        return make_outcome(session_of(self).on_socket_close(static_cast<std::uint64_t>(epoch), now_s, code, jitter));
    });
}

// Converts an optional `retry_after_s` slot; nullopt for None.
std::optional<double> optional_real(const BoundArgs& a, std::size_t i) {
    if (a[i] == Py_None) return std::nullopt;
    return a.real(i);
}

std::optional<core::Duration> held_retry_after(std::optional<double> seconds) {
    if (!seconds) return std::nullopt;
    return core::Duration::from_seconds_saturating(*seconds);
}

const Signature kOnUpgradeRejected{
    "Session.on_upgrade_rejected", {"epoch", "now_s", "status", "retry_after_s", "jitter_sample"}, 5, 5};
PyObject* session_on_upgrade_rejected(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveBorrow guard(borrow_of(self));
        BoundArgs a = bind(kOnUpgradeRejected, args, nargs, kwnames);
        const std::int64_t epoch = a.integer<std::int64_t>(0);
        const double now_s = a.real(1);
        const std::int64_t status = a.integer<std::int64_t>(2);
        const std::optional<double> retry_after = optional_real(a, 3);
        const double jitter = a.real(4);
        raise_if(core::epoch_value_error(epoch));
        raise_if(core::time_value_error("now_s", now_s));
        raise_if(core::code_value_error("status", status));
        if (retry_after) raise_if(core::time_value_error("retry_after_s", *retry_after));
        raise_if(core::jitter_value_error(jitter));
        return make_outcome(session_of(self).on_upgrade_rejected(static_cast<std::uint64_t>(epoch), now_s,
                                                                 static_cast<std::uint16_t>(status),
                                                                 held_retry_after(retry_after), jitter));
    });
}

const Signature kOnSupersede{
    "Session.on_supersede", {"now_s", "retryable", "retry_after_s", "jitter_sample"}, 4, 4};
PyObject* session_on_supersede(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveBorrow guard(borrow_of(self));
        BoundArgs a = bind(kOnSupersede, args, nargs, kwnames);
        const double now_s = a.real(0);
        const bool retryable = a.boolean(1);
        const std::optional<double> retry_after = optional_real(a, 2);
        const double jitter = a.real(3);
        raise_if(core::time_value_error("now_s", now_s));
        if (retry_after) raise_if(core::time_value_error("retry_after_s", *retry_after));
        raise_if(core::jitter_value_error(jitter));
        return make_outcome(session_of(self).on_supersede(now_s, retryable, held_retry_after(retry_after), jitter));
    });
}

const Signature kEnd{"Session.end", {}, 0, 0};
PyObject* session_end(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveBorrow guard(borrow_of(self));
        bind(kEnd, args, nargs, kwnames);
        return enum_ref(core::EnumId::SessionState, session_of(self).end());
    });
}

PyMethodDef session_methods[] = {
    {"begin_attempt", fastcall(&session_begin_attempt), kFastCall,
     "begin_attempt($self, now_s)\n--\n\n"
     "Start a connection attempt at `now_s`. Returns its epoch (an `int`), or\n"
     "None when the session is dead or its epochs are exhausted. Never changes\n"
     "`state`."},
    {"on_connected", fastcall(&session_on_connected), kFastCall,
     "on_connected($self, epoch, now_s)\n--\n\n"
     "Report that the attempt `epoch` connected at `now_s`. Returns a\n"
     "`SessionOutcome`; a stale report changes nothing."},
    {"on_socket_close", fastcall(&session_on_socket_close), kFastCall,
     "on_socket_close($self, epoch, now_s, close_code, jitter_sample)\n--\n\n"
     "Report that the socket of attempt `epoch` closed at `now_s` with\n"
     "`close_code` (None when it closed without one). Returns a\n"
     "`SessionOutcome` with the delay before the next attempt, or the death\n"
     "of the session."},
    {"on_upgrade_rejected", fastcall(&session_on_upgrade_rejected), kFastCall,
     "on_upgrade_rejected($self, epoch, now_s, status, retry_after_s, jitter_sample)\n--\n\n"
     "Report that the platform refused the upgrade of attempt `epoch` with\n"
     "HTTP `status`; `retry_after_s` (or None) is the platform's minimum\n"
     "wait. Returns a `SessionOutcome`."},
    {"on_supersede", fastcall(&session_on_supersede), kFastCall,
     "on_supersede($self, now_s, retryable, retry_after_s, jitter_sample)\n--\n\n"
     "Report a supersede notice for the attempt in flight. With `retryable`\n"
     "false the session dies; otherwise it backs off, at least\n"
     "`retry_after_s` when given. Returns a `SessionOutcome`."},
    {"end", fastcall(&session_end), kFastCall,
     "end($self)\n--\n\n"
     "End the session. Returns `SessionState.Dead`; a session already dead\n"
     "keeps its dead reason."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    {"state", &session_state, nullptr, "The current `SessionState`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&session_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&SessionObject::dealloc)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {Py_tp_doc, const_cast<char*>("Session(policy)\n--\n\nOne WebSocket session's state machine.")},
    {0, nullptr},
};

PyType_Spec session_spec{"orvu_sdk_core.Session", static_cast<int>(sizeof(SessionObject)), 0, Py_TPFLAGS_DEFAULT,
                         session_slots};

const ClassRegistration reg_session{"Session", [](PyObject* m) { return make_type(m, &session_spec); }};
const ClassRegistration reg_outcome{"SessionOutcome", [](PyObject* m) { return make_type(m, &outcome_spec); }};
const ClassRegistration reg_policy{"SessionPolicy", [](PyObject* m) { return make_type(m, &policy_spec); }};

}  // namespace
}  // namespace orvu::py

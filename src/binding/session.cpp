// SessionPolicy, Session and SessionOutcome.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/session.hpp"

#include <string>

namespace orvu::py {

// Returned as an instance of its class.
template <> struct RecordType<core::SessionOutcome> { static constexpr TypeId id = TypeId::SessionOutcome; };

namespace {

using PolicyObject = Wrapped<core::SessionPolicy>;
using SessionObject = Wrapped<core::Session>;
using OutcomeObject = Wrapped<core::SessionOutcome>;

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


// ---------------------------------------------------------------------------
// Session. Every method converts all its arguments and checks their values
// in parameter order before it calls into the state machine, so a call that
// raises changes nothing.

Ref session_new(PyTypeObject* type, const BoundArgs& a) {
    const core::SessionPolicy& policy = a.object<PolicyObject>(0, TypeId::SessionPolicy);
    return SessionObject::create(type, policy);
}

constexpr Access X = Access::Exclusive;

}  // namespace

// Immutable after construction: its readers take no guard.
const ClassDef reg::SessionPolicy = wrapped_class<PolicyObject, &policy_new>(
    "SessionPolicy(config: Mapping[str, float] | Any, trace_context: str | None = None)",
    "Reconnect backoff/jitter policy, plus the graduated rapid-disconnect\n"
    "cooldown ladder.",
    {method<PolicyObject, Access::None, &policy_default>("@staticmethod default() -> SessionPolicy",
                                                          "A recommended, not final, default.")},
    {getter<PolicyObject, Access::None, &core::SessionPolicy::heartbeat_interval>("heartbeat_interval_s: float",
                                                             "Heartbeat period for the host, in float seconds."),
     getter<PolicyObject, Access::None, &core::SessionPolicy::dead_threshold>(
         "dead_threshold_s: float", "Silence after which the host treats the connection as dead, in float seconds.")});

// A read-only record built only by Session: its readers take no guard.
const ClassDef reg::SessionOutcome = wrapped_class<OutcomeObject>(
    "SessionOutcome", "The settled outcome of one `Session` call.", {},
    {getter<OutcomeObject, Access::None, &core::SessionOutcome::state>("state: SessionState",
                                                                       "The `SessionState` after the call."),
     getter<OutcomeObject, Access::None, &core::SessionOutcome::retry_after>(
         "retry_after_s: float | None",
         "Float seconds to wait before the next attempt, or None; set only by a retryable ending."),
     getter<OutcomeObject, Access::None, &core::SessionOutcome::dead_reason>(
         "dead_reason: DeadReason | None", "Why the session is dead (`DeadReason`), or None."),
     getter<OutcomeObject, Access::None, &core::SessionOutcome::stale_reason>(
         "stale_reason: StaleReason | None",
         "Why the report was ignored (`StaleReason`), or None; when set, the call changed nothing.")});

// Every report converts all its arguments in parameter order; the core then
// checks their values in that order before it changes anything.
const ClassDef reg::Session = wrapped_class<SessionObject, &session_new>(
    "Session(policy: SessionPolicy)", "One WebSocket session's state machine.",
    {
        method<SessionObject, X, &core::Session::checked_begin_attempt>("begin_attempt(now_s: float) -> int | None",
            "Start a connection attempt at `now_s`. Returns its epoch (an `int`), or\n"
            "None when the session is dead or its epochs are exhausted. Never changes\n"
            "`state`."),
        method<SessionObject, X, &core::Session::checked_on_connected>(
            "on_connected(epoch: int, now_s: float) -> SessionOutcome",
            "Report that the attempt `epoch` connected at `now_s`. Returns a\n"
            "`SessionOutcome`; a stale report changes nothing."),
        method<SessionObject, X, &core::Session::checked_on_socket_close>(
            "on_socket_close(epoch: int, now_s: float, close_code: int | None, jitter_sample: float) "
            "-> SessionOutcome",
            "Report that the socket of attempt `epoch` closed at `now_s` with\n"
            "`close_code` (None when it closed without one). Returns a\n"
            "`SessionOutcome` with the delay before the next attempt, or the death\n"
            "of the session."),
        method<SessionObject, X, &core::Session::checked_on_upgrade_rejected>(
            "on_upgrade_rejected(epoch: int, now_s: float, status: int, retry_after_s: float | None, "
            "jitter_sample: float) -> SessionOutcome",
            "Report that the platform refused the upgrade of attempt `epoch` with\n"
            "HTTP `status`; `retry_after_s` (or None) is the platform's minimum\n"
            "wait. Returns a `SessionOutcome`."),
        method<SessionObject, X, &core::Session::checked_on_supersede>(
            "on_supersede(now_s: float, retryable: bool, retry_after_s: float | None, jitter_sample: float) "
            "-> SessionOutcome",
            "Report a supersede notice for the attempt in flight. With `retryable`\n"
            "false the session dies; otherwise it backs off, at least\n"
            "`retry_after_s` when given. Returns a `SessionOutcome`."),
        method<SessionObject, X, &core::Session::end>("end() -> SessionState",
            "End the session. Returns `SessionState.Dead`; a session already dead\n"
            "keeps its dead reason."),
    },
    {getter<SessionObject, Access::Shared, &core::Session::state>("state: SessionState",
                                                                  "The current `SessionState`.")});

}  // namespace orvu::py

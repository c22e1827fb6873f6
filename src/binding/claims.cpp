// ClaimRegistry: the delivery ledger (in flight, acknowledgement-pending,
// completed), with eligibility and settlement against a RetryTracker.
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/claims.hpp"
#include "core/numbers.hpp"

#include <string>

namespace orvu::py {
namespace {

using core::ClaimRegistry;
using Registry = Wrapped<ClaimRegistry>;
using TrackerObject = Wrapped<core::RetryTracker>;
// Changing calls hold the registry exclusively, reading calls shared.
constexpr Access kChanging = Access::Exclusive, kReading = Access::Shared;

// The facts come in as extra keywords: every value must be a bool before
// any name is looked at.
core::DeliveryFacts facts_arg(const BoundArgs& a) {
    for (const auto& kv : a.extra_keywords()) {
        if (!PyBool_Check(kv.second)) raise_type_error("delivery facts must be bool values");
    }
    core::DeliveryFacts facts;
    for (const auto& [key, value] : a.extra_keywords()) {
        unwrap(core::set_delivery_fact(facts, utf8_view(key), value == Py_True));
    }
    return facts;
}

// A pending write is {"status", ["error"], "parked"}, a settlement
// {"token", "status", ["error"], "parked", "continuation"}.
Ref status(const ModuleState& s, const core::Intent& i) {
    return result::word(s, i.failed() ? Word::Failed : Word::Processed);
}
Ref error_text(const core::Intent& i) { return i.failed() ? result::str(i.error()) : Ref(); }
Ref parked(const std::optional<core::ParkedReason>& reason) {
    return result::optional(reason, [](auto r) { return result::str(core::wire_of(core::EnumId::ParkedReason, r)); });
}
Ref continuation(const ModuleState& s, const core::Continuation& c) {
    if (!c.retry) return result::shaped(s, Shape::FinishedContinuation, {});
    return result::dict(s, {{Word::Kind, result::word(s, Word::Retry)},
                            {Word::Attempts, result::integer(c.attempts)},
                            {Word::MaxRetries, result::integer(c.max_retries)}});
}
Ref settlement(const ModuleState& s, const core::Settlement& x) {
    Ref d = result::shaped(s, x.entry.intent.failed() ? Shape::FailedSettlement : Shape::ProcessedSettlement,
                           {{Word::Token, result::ascii_str(core::uint_digits(x.token).view())},
                            {Word::Continuation, continuation(s, x.entry.continuation)}});
    if (x.entry.intent.failed()) result::add(s, d, Word::Error, error_text(x.entry.intent));
    if (x.entry.parked) result::add(s, d, Word::Parked, parked(x.entry.parked));
    return d;
}

Ref registry_new(PyTypeObject* type, const BoundArgs& a) {
    const std::int64_t max_completed = a.integer_or(0, core::kDefaultMaxCompleted);
    return Registry::create(type, a.in_range<std::uint32_t>(0, max_completed, core::kMaxCompletedRange));
}

// Every body converts all its arguments, in parameter order, before the
// core call: a call that raises changes nothing.
Ref remember_failed_ack_pending(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1), error = a.str(2);
    PyObject* trace_context = a.optional_str_object(3);
    unwrap(r.remember_failed_ack_pending(room, message, error), trace_context);
    return result::none();
}

Ref pending_ack(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1);
    const core::AckEntry* e = r.pending_ack(room, message);
    if (!e) return result::none();
    return result::dict(a.state(), {{Word::Status, status(a.state(), e->intent)},
                                           {Word::Error, error_text(e->intent)}, {Word::Parked, parked(e->parked)}});
}

// delivery_eligibility and guarded_claim share their arguments and checks.
template <bool Claims>
Ref eligibility(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1);
    const Held<TrackerObject, kReading> tracker(a, 2, TypeId::RetryTracker);
    const core::DeliveryFacts facts = facts_arg(a);
    const core::Eligibility e = Claims ? r.guarded_claim(room, message, *tracker, facts)
                                       : r.delivery_eligibility(room, message, *tracker, facts);
    return Ref::borrow(a.state().eligibility_words[static_cast<std::size_t>(e)].get());
}

// The delivery facts as keyword-only parameters, with their defaults.
std::string fact_params() {
    std::string params;
    for (const auto& [name, member] : core::kDeliveryFactKeys) {
        params += fill(", {}: bool = {}", name, core::DeliveryFacts{}.*member);
    }
    return params.substr(2);
}
const std::string kEligibilityParams =
    fill("room_id: str, message_id: str, retry_tracker: RetryTracker, *, {}) -> Eligibility", fact_params());

Ref pending_settlement(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1);
    PyObject* trace_context = a.optional_str_object(2);
    return result::optional(unwrap(r.pending_settlement(room, message), trace_context),
                            [&](const core::Settlement& x) { return settlement(a.state(), x); });
}

Ref record_processed_settlement(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1);
    PyObject* trace_context = a.optional_str_object(2);
    return settlement(a.state(), unwrap(r.record_processed_settlement(room, message), trace_context));
}

Ref record_failed_settlement(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1), error = a.str(2);
    const Held<TrackerObject, kReading> tracker(a, 3, TypeId::RetryTracker);
    const bool allow_retry = a.boolean(4);
    PyObject* trace_context = a.optional_str_object(5);
    return settlement(a.state(),
                      unwrap(r.record_failed_settlement(room, message, error, *tracker, allow_retry), trace_context));
}

Ref confirm_settlement(ClaimRegistry& r, const BoundArgs& a) {
    const std::string_view room = a.str(0), message = a.str(1);
    const std::string_view token = a.str(2);
    // Confirming may change the tracker too, so it is held exclusively.
    const Held<TrackerObject, kChanging> tracker(a, 3, TypeId::RetryTracker);
    return result::boolean(r.confirm_settlement(room, message, token, *tracker));
}

constexpr const char* kRaisesIssues =
    "raises `ValueError` with `.issues` (a tuple of\n`(path, code, message)` triples) and `.trace_context`.";

}  // namespace

const ClassDef reg::ClaimRegistry = wrapped_class<Registry, &registry_new>(
    fill("ClaimRegistry(max_completed: int = {})", core::kDefaultMaxCompleted),
    "Ownership ledger for the inbound message-delivery lifecycle: in-flight,\n"
    "ack-pending (a stored processed/failed intent, optionally parked), and\n"
    "completed states, each scoped by `(room_id, message_id)`.",
    {
        method<Registry, kChanging, &core::ClaimRegistry::try_claim>("try_claim(room_id: str, message_id: str) -> bool",
            "Mark the message in flight. `True` if it was not in flight yet, `False` if\n"
            "it already was. Looks at nothing else; see `guarded_claim`."),
        method<Registry, kChanging, &core::ClaimRegistry::release>("release(room_id: str, message_id: str) -> None",
            "Drop the message's in-flight claim, if any. Does not record completion."),
        method<Registry, kReading, &core::ClaimRegistry::inflight_ids>(
            "inflight_ids(room_id: str) -> builtins.list[str]",
            "Message ids in flight in `room_id`, in no defined order."),
        method<Registry, kChanging, &core::ClaimRegistry::is_completed>(
            "is_completed(room_id: str, message_id: str) -> bool",
            "Whether the message is remembered as completed; a hit counts as a touch\n"
            "and protects it from eviction."),
        method<Registry, kReading, &core::ClaimRegistry::completed_ids>(
            "completed_ids(room_id: str) -> builtins.list[str]",
            "The room's completed message ids, least recently touched first."),
        method<Registry, kChanging, &core::ClaimRegistry::discard_completed>("discard_completed(room_id: str) -> None",
            "Forget every completed message of `room_id`."),
        method<Registry, kChanging, &core::ClaimRegistry::remember_completed>(
            "remember_completed(room_id: str, message_id: str) -> None",
            "Remember the message as completed (evicting the room's least recently\n"
            "touched id beyond `max_completed`) and forget its pending terminal write\n"
            "and acknowledgement-retry count. The in-flight claim stays."),
        method<Registry, kReading, &core::ClaimRegistry::is_ack_pending>(
            "is_ack_pending(room_id: str, message_id: str) -> bool",
            "Whether a terminal write (parked or not) is pending for the message."),
        method<Registry, kChanging, &core::ClaimRegistry::remember_ack_pending>(
            "remember_ack_pending(room_id: str, message_id: str) -> None",
            "Record a processed turn awaiting a durable processed write. Does nothing\n"
            "if any intent is already pending for the message."),
        method<Registry, kChanging, &remember_failed_ack_pending>(
            "remember_failed_ack_pending(room_id: str, message_id: str, error: str, "
            "trace_context: str | None = None) -> None",
            "Record a failed turn awaiting a durable failed write carrying `error`.\n"
            "Raises `ValueError` if a different intent is already pending."),
        method<Registry, kReading, &pending_ack>("pending_ack(room_id: str, message_id: str) -> PendingAck | None",
            "The pending terminal write as `{\"status\", [\"error\"], \"parked\"}`, or `None`."),
        method<Registry, kChanging, &core::ClaimRegistry::park_ack>(
            "park_ack(room_id: str, message_id: str, reason: ParkedReason) -> bool",
            "Mark a pending entry parked for `reason`; `False` when nothing is\n"
            "pending for the message."),
        method<Registry, kChanging, &core::ClaimRegistry::unpark_acks>("unpark_acks(room_id: str) -> int",
            "Clear the parking mark of every pending entry of `room_id`; returns how\n"
            "many were parked."),
        method<Registry, kReading, &core::ClaimRegistry::pending_ack_ids>(
            "pending_ack_ids(room_id: str) -> builtins.list[str]",
            "Message ids of the room's pending terminal writes, oldest first."),
        method<Registry, kChanging, &core::ClaimRegistry::record_ack_retry>(
            "record_ack_retry(room_id: str, message_id: str) -> int",
            fill("Count one more retry of the message's terminal write; returns the new\n"
                 "count (it stops at {}).", core::kCountMax)),
        method<Registry, kChanging, &eligibility<false>>("delivery_eligibility(" + kEligibilityParams,
            "Whether the message may be handled now: \"self\", \"pending\", \"completed\",\n"
            "\"exhausted\", \"failed\", \"inflight\" or \"runnable\", the first that holds.\n"
            "Delivery facts are keyword-only `bool` values.", true),
        method<Registry, kChanging, &eligibility<true>>("guarded_claim(" + kEligibilityParams,
            "The answer of `delivery_eligibility`; on \"runnable\" the message is also\n"
            "claimed (marked in flight).", true),
        method<Registry, kReading, &core::ClaimRegistry::has_retryable_settlement>(
            "has_retryable_settlement(room_id: str) -> bool",
            "Whether the room has a pending terminal write that is not parked."),
        method<Registry, kReading, &pending_settlement>(
            "pending_settlement(room_id: str, message_id: str, trace_context: str | None = None) "
            "-> SettlementDescription | None",
            "The settlement description of the message's pending terminal write, or\n"
            "`None`."),
        method<Registry, kChanging, &record_processed_settlement>(
            "record_processed_settlement(room_id: str, message_id: str, trace_context: str | None = None) "
            "-> SettlementDescription",
            std::string("Store a processed terminal write as pending and return its settlement\n"
                        "description with the terminal obligation token. If a different intent\n"
                        "is pending or no token is left, ") + kRaisesIssues),
        method<Registry, kChanging, &record_failed_settlement>(
            "record_failed_settlement(room_id: str, message_id: str, error: str, retry_tracker: RetryTracker, "
            "allow_retry: bool, trace_context: str | None = None) -> SettlementDescription",
            std::string("Store a failed terminal write carrying `error` as pending and return its\n"
                        "settlement description; its continuation is a retry while the budget of\n"
                        "`retry_tracker` allows one and `allow_retry` is true. If a different\n"
                        "intent is pending or no token is left, ") + kRaisesIssues),
        method<Registry, kChanging, &confirm_settlement>(
            "confirm_settlement(room_id: str, message_id: str, token: str, retry_tracker: RetryTracker) -> bool",
            "Close the obligation named by `token` once the platform accepted the\n"
            "write; `False` for a wrong or stale token. The in-flight claim stays."),
        method<Registry, kChanging, &core::ClaimRegistry::park_settlement>(
            "park_settlement(room_id: str, message_id: str, token: str, reason: ParkedReason) -> bool",
            "Park the pending write named by `token` for `reason`; `False` for a\n"
            "wrong or stale token."),
    },
    {getter<Registry, kReading, &core::ClaimRegistry::max_completed>(
        "max_completed: int", "How many completed ids each room keeps.")});

}  // namespace orvu::py

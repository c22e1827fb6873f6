// ClaimRegistry: the delivery ledger (in flight, acknowledgement-pending,
// completed), with eligibility and settlement against a RetryTracker.
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/object.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/claims.hpp"
#include "core/numbers.hpp"

#include <memory>
#include <string>

namespace orvu::py {
namespace {

using RegistryObject = Wrapped<core::ClaimRegistry>;
using TrackerObject = Wrapped<core::RetryTracker>;
using Fastcall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

PyMethodDef fastcall_method(const char* name, Fastcall fn, const char* doc) {
    return {name, fastcall(fn), kFastCall,
            doc};
}

core::ClaimRegistry& registry_of(PyObject* self) { return RegistryObject::of(self); }
AccessFlag& registry_flag(PyObject* self) { return RegistryObject::cast(self)->access; }

// ---------------------------------------------------------------------------
// Conversions

PyObject* tracker_arg(const BoundArgs& a, std::size_t i) { return a.instance(i, module_type("RetryTracker")); }

core::ParkedReason reason_arg(const BoundArgs& a, std::size_t i) {
    std::optional<std::size_t> index = enum_index(a[i], core::EnumId::ParkedReason);
    if (!index) a.wrong_type(i, "orvu_sdk_core.ParkedReason");
    return static_cast<core::ParkedReason>(*index);
}

struct FactField {
    const char* name;
    bool core::DeliveryFacts::*field;
};

constexpr FactField kFactFields[] = {
    {"self_echo", &core::DeliveryFacts::self_echo},
    {"durably_processed", &core::DeliveryFacts::durably_processed},
    {"durably_failed", &core::DeliveryFacts::durably_failed},
    {"allow_failed_retry", &core::DeliveryFacts::allow_failed_retry},
};

// The facts come in as extra keywords: every value must be a bool before
// any name is looked at.
core::DeliveryFacts facts_arg(const BoundArgs& a) {
    for (const auto& kv : a.extra_keywords()) {
        if (!PyBool_Check(kv.second)) raise_type_error("delivery facts must be bool values");
    }
    core::DeliveryFacts facts;
    for (const auto& [key, value] : a.extra_keywords()) {
        std::string_view name = utf8_view(key);
        const FactField* match = nullptr;
        for (const FactField& f : kFactFields) {
            if (name == f.name) match = &f;
        }
        if (!match) {
            raise_type_error("unknown field `" + std::string(name) +
                             "`, expected one of `self_echo`, `durably_processed`, `durably_failed`, "
                             "`allow_failed_retry`");
        }
        facts.*(match->field) = value == Py_True;
    }
    return facts;
}

// ---------------------------------------------------------------------------
// Results

void set_item(PyObject* dict, const char* key, Ref value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_error();
}

Ref count(std::size_t n) { return Ref::check(PyLong_FromSize_t(n)); }

Ref parked_value(const std::optional<core::ParkedReason>& parked) {
    if (!parked) return none();
    return make_str(core::wire_of(core::EnumId::ParkedReason, *parked));
}

void add_intent(PyObject* dict, const core::Intent& intent) {
    set_item(dict, "status", make_str(intent.failed ? "failed" : "processed"));
    if (intent.failed) set_item(dict, "error", make_str(intent.error));
}

Ref continuation_dict(const core::Continuation& c) {
    Ref dict = Ref::check(PyDict_New());
    set_item(dict.get(), "kind", make_str(c.retry ? "retry" : "finished"));
    if (c.retry) {
        set_item(dict.get(), "attempts", count(c.attempts));
        set_item(dict.get(), "max_retries", count(c.max_retries));
    }
    return dict;
}

// {"token", "status", ["error"], "parked", "continuation"}
Ref settlement_dict(const core::Settlement& s) {
    Ref dict = Ref::check(PyDict_New());
    set_item(dict.get(), "token", make_str(core::format_uint(s.token)));
    add_intent(dict.get(), s.intent);
    set_item(dict.get(), "parked", parked_value(s.parked));
    set_item(dict.get(), "continuation", continuation_dict(s.continuation));
    return dict;
}

Ref settlement_or_raise(const core::SettlementResult& result, PyObject* trace_context) {
    if (const auto* issue = std::get_if<core::Issue>(&result)) raise_validation({*issue}, trace_context);
    return settlement_dict(std::get<core::Settlement>(result));
}

Ref string_list(const std::vector<std::string>& items) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make_str(items[i]).release());
    }
    return list;
}

// ---------------------------------------------------------------------------
// Constructor and property

const Signature kNew{"ClaimRegistry.__new__", {"max_completed"}, 1, 0};
PyObject* registry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kNew, args, kwargs);
        std::int64_t max_completed = a.given(0) ? a.integer<std::int64_t>(0) : 500;
        if (max_completed < 1 || max_completed > static_cast<std::int64_t>(core::kCountMax)) {
            raise_value_error(core::range_message("max_completed", 1, core::kCountMax, max_completed));
        }
        return RegistryObject::create(
            type, std::make_unique<core::ClaimRegistry>(static_cast<std::uint32_t>(max_completed)));
    });
}

PyObject* get_max_completed(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedAccess guard(registry_flag(self));
        return count(registry_of(self).max_completed());
    });
}

// ---------------------------------------------------------------------------
// Operations on one (room_id, message_id) pair: bind, convert, then hold the
// registry exclusively (changing calls) or shared (reading calls).

struct PairIds {
    std::string room_id;
    std::string message_id;
};

PairIds pair_arg(const BoundArgs& a) { return {std::string(a.str(0)), std::string(a.str(1))}; }

template <const Signature& sig, bool changes, class Body>
PyObject* on_pair(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        if constexpr (changes) {
            ExclusiveAccess guard(registry_flag(self));
            return body(registry_of(self), ids);
        } else {
            SharedAccess guard(registry_flag(self));
            return body(registry_of(self), ids);
        }
    });
}

const Signature kTryClaim{"ClaimRegistry.try_claim", {"room_id", "message_id"}, 2, 2};
PyObject* try_claim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kTryClaim, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        return boolean(r.try_claim(p.room_id, p.message_id));
    });
}

const Signature kRelease{"ClaimRegistry.release", {"room_id", "message_id"}, 2, 2};
PyObject* release(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kRelease, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        r.release(p.room_id, p.message_id);
        return none();
    });
}

const Signature kIsCompleted{"ClaimRegistry.is_completed", {"room_id", "message_id"}, 2, 2};
PyObject* is_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kIsCompleted, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        return boolean(r.is_completed(p.room_id, p.message_id));
    });
}

const Signature kRememberCompleted{"ClaimRegistry.remember_completed", {"room_id", "message_id"}, 2, 2};
PyObject* remember_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kRememberCompleted, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        r.remember_completed(p.room_id, p.message_id);
        return none();
    });
}

const Signature kIsAckPending{"ClaimRegistry.is_ack_pending", {"room_id", "message_id"}, 2, 2};
PyObject* is_ack_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kIsAckPending, false>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        return boolean(r.is_ack_pending(p.room_id, p.message_id));
    });
}

const Signature kRememberAckPending{"ClaimRegistry.remember_ack_pending", {"room_id", "message_id"}, 2, 2};
PyObject* remember_ack_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kRememberAckPending, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        r.remember_ack_pending(p.room_id, p.message_id);
        return none();
    });
}

const Signature kRecordAckRetry{"ClaimRegistry.record_ack_retry", {"room_id", "message_id"}, 2, 2};
PyObject* record_ack_retry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kRecordAckRetry, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        return count(r.record_ack_retry(p.room_id, p.message_id));
    });
}

const Signature kPendingAck{"ClaimRegistry.pending_ack", {"room_id", "message_id"}, 2, 2};
PyObject* pending_ack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_pair<kPendingAck, false>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const PairIds& p) {
        const core::AckEntry* entry = r.pending_ack(p.room_id, p.message_id);
        if (!entry) return none();
        Ref dict = Ref::check(PyDict_New());
        add_intent(dict.get(), entry->intent);
        set_item(dict.get(), "parked", parked_value(entry->parked));
        return dict;
    });
}


// Operations on one room.
template <const Signature& sig, bool changes, class Body>
PyObject* on_room(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        std::string room_id(a.str(0));
        if constexpr (changes) {
            ExclusiveAccess guard(registry_flag(self));
            return body(registry_of(self), room_id);
        } else {
            SharedAccess guard(registry_flag(self));
            return body(registry_of(self), room_id);
        }
    });
}

const Signature kInflightIds{"ClaimRegistry.inflight_ids", {"room_id"}, 1, 1};
PyObject* inflight_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_room<kInflightIds, false>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const std::string& room) {
        return string_list(r.inflight_ids(room));
    });
}

const Signature kCompletedIds{"ClaimRegistry.completed_ids", {"room_id"}, 1, 1};
PyObject* completed_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_room<kCompletedIds, false>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const std::string& room) {
        return string_list(r.completed_ids(room));
    });
}

const Signature kDiscardCompleted{"ClaimRegistry.discard_completed", {"room_id"}, 1, 1};
PyObject* discard_completed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_room<kDiscardCompleted, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const std::string& room) {
        r.discard_completed(room);
        return none();
    });
}

const Signature kUnparkAcks{"ClaimRegistry.unpark_acks", {"room_id"}, 1, 1};
PyObject* unpark_acks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_room<kUnparkAcks, true>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const std::string& room) {
        return count(r.unpark_acks(room));
    });
}

const Signature kPendingAckIds{"ClaimRegistry.pending_ack_ids", {"room_id"}, 1, 1};
PyObject* pending_ack_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_room<kPendingAckIds, false>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const std::string& room) {
        return string_list(r.pending_ack_ids(room));
    });
}

const Signature kHasRetryableSettlement{"ClaimRegistry.has_retryable_settlement", {"room_id"}, 1, 1};
PyObject* has_retryable_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return on_room<kHasRetryableSettlement, false>(self, args, nargs, kwnames, [](core::ClaimRegistry& r, const std::string& room) {
        return boolean(r.has_retryable_settlement(room));
    });
}


// ---------------------------------------------------------------------------
// Intents, parking and settlement

const Signature kRememberFailed{
    "ClaimRegistry.remember_failed_ack_pending", {"room_id", "message_id", "error", "trace_context"}, 4, 3};
PyObject* remember_failed_ack_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kRememberFailed, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        std::string error(a.str(2));
        PyObject* trace_context = a.optional_str_object(3);
        ExclusiveAccess guard(registry_flag(self));
        auto refusal = registry_of(self).remember_failed_ack_pending(ids.room_id, ids.message_id, error);
        if (refusal) raise_validation({*refusal}, trace_context);
        return none();
    });
}

const Signature kParkAck{"ClaimRegistry.park_ack", {"room_id", "message_id", "reason"}, 3, 3};
PyObject* park_ack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kParkAck, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        core::ParkedReason reason = reason_arg(a, 2);
        ExclusiveAccess guard(registry_flag(self));
        return boolean(registry_of(self).park_ack(ids.room_id, ids.message_id, reason));
    });
}

// delivery_eligibility and guarded_claim share their arguments and checks.
template <const Signature& sig, bool claims>
PyObject* eligibility(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        PyObject* tracker = tracker_arg(a, 2);
        core::DeliveryFacts facts = facts_arg(a);
        ExclusiveAccess guard(registry_flag(self));
        SharedAccess tracker_guard(TrackerObject::cast(tracker)->access);
        core::ClaimRegistry& r = registry_of(self);
        const core::RetryTracker& t = TrackerObject::of(tracker);
        core::Eligibility word = claims ? r.guarded_claim(ids.room_id, ids.message_id, t, facts)
                                        : r.delivery_eligibility(ids.room_id, ids.message_id, t, facts);
        return make_str(core::eligibility_word(word));
    });
}

const Signature kDeliveryEligibility{
    "ClaimRegistry.delivery_eligibility", {"room_id", "message_id", "retry_tracker"}, 3, 3, true};
const Signature kGuardedClaim{"ClaimRegistry.guarded_claim", {"room_id", "message_id", "retry_tracker"}, 3, 3, true};

const Signature kPendingSettlement{
    "ClaimRegistry.pending_settlement", {"room_id", "message_id", "trace_context"}, 3, 2};
PyObject* pending_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kPendingSettlement, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        PyObject* trace_context = a.optional_str_object(2);
        SharedAccess guard(registry_flag(self));
        core::SettlementLookup found = registry_of(self).pending_settlement(ids.room_id, ids.message_id);
        if (std::holds_alternative<std::monostate>(found)) return none();
        if (const auto* issue = std::get_if<core::Issue>(&found)) raise_validation({*issue}, trace_context);
        return settlement_dict(std::get<core::Settlement>(found));
    });
}

const Signature kRecordProcessed{
    "ClaimRegistry.record_processed_settlement", {"room_id", "message_id", "trace_context"}, 3, 2};
PyObject* record_processed_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kRecordProcessed, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        PyObject* trace_context = a.optional_str_object(2);
        ExclusiveAccess guard(registry_flag(self));
        return settlement_or_raise(registry_of(self).record_processed_settlement(ids.room_id, ids.message_id),
                                   trace_context);
    });
}

const Signature kRecordFailed{"ClaimRegistry.record_failed_settlement",
                              {"room_id", "message_id", "error", "retry_tracker", "allow_retry", "trace_context"},
                              6,
                              5};
PyObject* record_failed_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kRecordFailed, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        std::string error(a.str(2));
        PyObject* tracker = tracker_arg(a, 3);
        bool allow_retry = a.boolean(4);
        PyObject* trace_context = a.optional_str_object(5);
        ExclusiveAccess guard(registry_flag(self));
        SharedAccess tracker_guard(TrackerObject::cast(tracker)->access);
        return settlement_or_raise(registry_of(self).record_failed_settlement(
                                       ids.room_id, ids.message_id, error, TrackerObject::of(tracker), allow_retry),
                                   trace_context);
    });
}

const Signature kConfirm{"ClaimRegistry.confirm_settlement", {"room_id", "message_id", "token", "retry_tracker"}, 4, 4};
PyObject* confirm_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kConfirm, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        std::string token(a.str(2));
        PyObject* tracker = tracker_arg(a, 3);
        // Confirming may change the tracker too, so both are held exclusively.
        ExclusiveAccess guard(registry_flag(self));
        ExclusiveAccess tracker_guard(TrackerObject::cast(tracker)->access);
        return boolean(
            registry_of(self).confirm_settlement(ids.room_id, ids.message_id, token, TrackerObject::of(tracker)));
    });
}

const Signature kParkSettlement{"ClaimRegistry.park_settlement", {"room_id", "message_id", "token", "reason"}, 4, 4};
PyObject* park_settlement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kParkSettlement, args, nargs, kwnames);
        PairIds ids = pair_arg(a);
        std::string token(a.str(2));
        core::ParkedReason reason = reason_arg(a, 3);
        ExclusiveAccess guard(registry_flag(self));
        return boolean(registry_of(self).park_settlement(ids.room_id, ids.message_id, token, reason));
    });
}

// ---------------------------------------------------------------------------
// The class

PyMethodDef methods[] = {
    fastcall_method("try_claim", &try_claim,
                    "try_claim($self, room_id, message_id)\n--\n\n"
                    "Mark the message in flight. `True` if it was not in flight yet, `False` if\n"
                    "it already was. Looks at nothing else; see `guarded_claim`."),
    fastcall_method("release", &release,
                    "release($self, room_id, message_id)\n--\n\n"
                    "Drop the message's in-flight claim, if any. Does not record completion."),
    fastcall_method("inflight_ids", &inflight_ids,
                    "inflight_ids($self, room_id)\n--\n\n"
                    "Message ids in flight in `room_id`, in no defined order."),
    fastcall_method("is_completed", &is_completed,
                    "is_completed($self, room_id, message_id)\n--\n\n"
                    "Whether the message is remembered as completed; a hit counts as a touch\n"
                    "and protects it from eviction."),
    fastcall_method("completed_ids", &completed_ids,
                    "completed_ids($self, room_id)\n--\n\n"
                    "The room's completed message ids, least recently touched first."),
    fastcall_method("discard_completed", &discard_completed,
                    "discard_completed($self, room_id)\n--\n\n"
                    "Forget every completed message of `room_id`."),
    fastcall_method("remember_completed", &remember_completed,
                    "remember_completed($self, room_id, message_id)\n--\n\n"
                    "Remember the message as completed (evicting the room's least recently\n"
                    "touched id beyond `max_completed`) and forget its pending terminal write\n"
                    "and acknowledgement-retry count. The in-flight claim stays."),
    fastcall_method("is_ack_pending", &is_ack_pending,
                    "is_ack_pending($self, room_id, message_id)\n--\n\n"
                    "Whether a terminal write (parked or not) is pending for the message."),
    fastcall_method("remember_ack_pending", &remember_ack_pending,
                    "remember_ack_pending($self, room_id, message_id)\n--\n\n"
                    "Record a processed turn awaiting a durable processed write. Does nothing\n"
                    "if any intent is already pending for the message."),
    fastcall_method("remember_failed_ack_pending", &remember_failed_ack_pending,
                    "remember_failed_ack_pending($self, room_id, message_id, error, trace_context=None)\n--\n\n"
                    "Record a failed turn awaiting a durable failed write carrying `error`.\n"
                    "Raises `ValueError` if a different intent is already pending."),
    fastcall_method("pending_ack", &pending_ack,
                    "pending_ack($self, room_id, message_id)\n--\n\n"
                    "The pending terminal write as `{\"status\", [\"error\"], \"parked\"}`, or `None`."),
    fastcall_method("park_ack", &park_ack,
                    "park_ack($self, room_id, message_id, reason)\n--\n\n"
                    "Mark a pending entry parked for `reason`; `False` when nothing is\n"
                    "pending for the message."),
    fastcall_method("unpark_acks", &unpark_acks,
                    "unpark_acks($self, room_id)\n--\n\n"
                    "Clear the parking mark of every pending entry of `room_id`; returns how\n"
                    "many were parked."),
    fastcall_method("pending_ack_ids", &pending_ack_ids,
                    "pending_ack_ids($self, room_id)\n--\n\n"
                    "Message ids of the room's pending terminal writes, oldest first."),
    fastcall_method("record_ack_retry", &record_ack_retry,
                    "record_ack_retry($self, room_id, message_id)\n--\n\n"
                    "Count one more retry of the message's terminal write; returns the new\n"
                    "count (it stops at 4294967295)."),
    fastcall_method("delivery_eligibility", &eligibility<kDeliveryEligibility, false>,
                    "delivery_eligibility($self, room_id, message_id, retry_tracker, "
                    "*, self_echo=False, durably_processed=False, durably_failed=False, allow_failed_retry=True)\n--\n\n"
                    "Whether the message may be handled now: \"self\", \"pending\", \"completed\",\n"
                    "\"exhausted\", \"failed\", \"inflight\" or \"runnable\", the first that holds.\n"
                    "Delivery facts are keyword-only `bool` values."),
    fastcall_method("guarded_claim", &eligibility<kGuardedClaim, true>,
                    "guarded_claim($self, room_id, message_id, retry_tracker, "
                    "*, self_echo=False, durably_processed=False, durably_failed=False, allow_failed_retry=True)\n--\n\n"
                    "The answer of `delivery_eligibility`; on \"runnable\" the message is also\n"
                    "claimed (marked in flight)."),
    fastcall_method("has_retryable_settlement", &has_retryable_settlement,
                    "has_retryable_settlement($self, room_id)\n--\n\n"
                    "Whether the room has a pending terminal write that is not parked."),
    fastcall_method("pending_settlement", &pending_settlement,
                    "pending_settlement($self, room_id, message_id, trace_context=None)\n--\n\n"
                    "The settlement description of the message's pending terminal write, or\n"
                    "`None`."),
    fastcall_method("record_processed_settlement", &record_processed_settlement,
                    "record_processed_settlement($self, room_id, message_id, trace_context=None)\n--\n\n"
                    "Store a processed terminal write as pending and return its settlement\n"
                    "description with the terminal obligation token. If a different intent\n"
                    "is pending or no token is left, raises `ValueError` with `.issues` (a tuple of\n"
                    "`(path, code, message)` triples) and `.trace_context`."),
    fastcall_method("record_failed_settlement", &record_failed_settlement,
                    "record_failed_settlement($self, room_id, message_id, error, retry_tracker, allow_retry, "
                    "trace_context=None)\n--\n\n"
                    "Store a failed terminal write carrying `error` as pending and return its\n"
                    "settlement description; its continuation is a retry while the budget of\n"
                    "`retry_tracker` allows one and `allow_retry` is true. If a different\n"
                    "intent is pending or no token is left, raises `ValueError` with `.issues` (a tuple of\n"
                    "`(path, code, message)` triples) and `.trace_context`."),
    fastcall_method("confirm_settlement", &confirm_settlement,
                    "confirm_settlement($self, room_id, message_id, token, retry_tracker)\n--\n\n"
                    "Close the obligation named by `token` once the platform accepted the\n"
                    "write; `False` for a wrong or stale token. The in-flight claim stays."),
    fastcall_method("park_settlement", &park_settlement,
                    "park_settlement($self, room_id, message_id, token, reason)\n--\n\n"
                    "Park the pending write named by `token` for `reason`; `False` for a\n"
                    "wrong or stale token."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"max_completed", &get_max_completed, nullptr, "How many completed ids each room keeps.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&registry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&RegistryObject::dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("ClaimRegistry(max_completed=500)\n--\n\n"
                                  "Ownership ledger for the inbound message-delivery lifecycle: in-flight,\n"
                                  "ack-pending (a stored processed/failed intent, optionally parked), and\n"
                                  "completed states, each scoped by `(room_id, message_id)`.")},
    {0, nullptr},
};

PyType_Spec spec{"orvu_sdk_core.ClaimRegistry", static_cast<int>(sizeof(RegistryObject)), 0, Py_TPFLAGS_DEFAULT,
                 slots};


}  // namespace

namespace reg {
Ref claim_registry(PyObject* module) { return make_type(module, &spec); }
}  // namespace reg

}  // namespace orvu::py

// DecisionRegistry, CancelledDecisions and is_authorized_sender.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/asks.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace orvu::py {
namespace {

using RegistryObject = Wrapped<core::DecisionRegistry>;
using CancelledObject = Wrapped<core::CancelledDecisions>;
using core::DecisionRegistry;
using D = DecisionRegistry;

// Eight bytes of os.urandom. `os` is looked up on every
// call, so a host that replaced os.urandom is heard.
std::uint64_t random_seed() {
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref bytes = Ref::check(PyObject_CallMethod(os.get(), "urandom", "i", 8));
    if (!PyBytes_Check(bytes.get()) || PyBytes_Size(bytes.get()) != 8) {
        raise_type_error("os.urandom(8) did not return 8 bytes");
    }
    const char* data = PyBytes_AsString(bytes.get());
    if (!data) throw_error();
    unsigned char eight[8];
    std::memcpy(eight, data, sizeof eight);
    return core::seed_from_bytes(eight);
}

// ---------------------------------------------------------------------------
// CancelledDecisions: a read-only record built only by DecisionRegistry.

PyGetSetDef cancelled_getset[] = {
    member_getter<CancelledObject, Access::None, &core::CancelledDecisions::unclaimed>(
        "unclaimed", "Tokens of the removed unclaimed asks, oldest first."),
    member_getter<CancelledObject, Access::None, &core::CancelledDecisions::claimed>(
        "claimed", "Tokens of the removed claimed asks, oldest first."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The result object is made before the registry changes, so a failure to
// allocate it leaves every ask in place.
template <class Cancel>
Ref cancelled(const ModuleState& state, Cancel&& cancel) {
    Ref removed = result::instance<CancelledObject>(state, TypeId::CancelledDecisions);
    CancelledObject::of(removed.get()) = cancel();
    return removed;
}

// ---------------------------------------------------------------------------
// DecisionRegistry

const Signature kNew{"DecisionRegistry.__new__", {"max_pending", "seed"}, 0, 0};
Ref registry_new(PyTypeObject* type, const BoundArgs& a) {
    // Both values are converted before either range is checked.
    const Ref max_pending = a.optional_int_object(0);
    const Ref seed = a.optional_int_object(1);
    std::optional<std::uint32_t> bound;
    if (max_pending) bound = static_cast<std::uint32_t>(a.in_range(0, max_pending.get(), core::kMaxPendingRange));
    const std::uint64_t state = seed ? a.in_range(1, seed.get(), core::kSeedRange) : random_seed();
    return RegistryObject::create(type, bound, state);
}

Ref cancel_all(DecisionRegistry& registry, const BoundArgs& a) {
    return cancelled(a.state(), [&] { return registry.cancel_all(); });
}

Ref cancel_room(DecisionRegistry& registry, const BoundArgs& a) {
    const std::string_view room_id = a.str(0);
    return cancelled(a.state(), [&] { return registry.cancel_room(room_id); });
}

Ref register_minted(DecisionRegistry& registry, const BoundArgs& a) {
    const auto registration = registry.register_minted(a.optional_str(0));
    if (!registration) return result::none();
    // A minted token is hex digits.
    return result::tuple(result::ascii_str(registration->first.view()), result::integer(registration->second));
}

PyMethodDef registry_methods[] = {
    method<RegistryObject, Access::Exclusive, &register_minted>("DecisionRegistry",
     "register_minted($self, room_id=None)\n--\n\n"
     "Register a new ask under a freshly minted token. Returns `(token, ticket)`,\n"
     "or `None` once the registry's tickets are exhausted."),
    core_method<RegistryObject, Access::Exclusive, &D::register_keyed>("DecisionRegistry",
     "register_keyed($self, key)\n--\n\n"
     "Register an ask under the caller's `key`. Returns `(key, ticket)`; an\n"
     "unclaimed `key` keeps its place and gets a new ticket, which makes older\n"
     "tickets stale. Returns `None` if `key` is claimed or tickets are exhausted."),
    core_method<RegistryObject, Access::Exclusive, &D::try_claim>("DecisionRegistry",
     "try_claim($self, token, ticket)\n--\n\n"
     "Claim the ask registered as `(token, ticket)`. Returns a `ClaimOutcome`."),
    core_method<RegistryObject, Access::Exclusive, &D::withdraw>("DecisionRegistry",
     "withdraw($self, token, ticket)\n--\n\n"
     "Remove the ask `(token, ticket)` if it is unclaimed. Returns whether it was removed."),
    core_method<RegistryObject, Access::Exclusive, &D::forget>("DecisionRegistry",
     "forget($self, token, ticket)\n--\n\n"
     "Remove the ask `(token, ticket)`, claimed or not. Returns whether it was removed."),
    core_method<RegistryObject, Access::Shared, &D::unclaimed>("DecisionRegistry",
     "unclaimed($self)\n--\n\nTokens of all unclaimed asks, oldest first."),
    core_method<RegistryObject, Access::Shared, &D::unclaimed_in_room>("DecisionRegistry",
     "unclaimed_in_room($self, room_id)\n--\n\n"
     "Tokens of the unclaimed asks minted for `room_id`, oldest first."),
    core_method<RegistryObject, Access::Shared, &D::unclaimed_count>("DecisionRegistry",
     "unclaimed_count($self)\n--\n\nNumber of unclaimed asks."),
    core_method<RegistryObject, Access::Shared, &D::oldest_unclaimed>("DecisionRegistry",
     "oldest_unclaimed($self)\n--\n\nToken of the oldest unclaimed ask, or `None`."),
    core_method<RegistryObject, Access::Exclusive, &D::evict_oldest>("DecisionRegistry",
     "evict_oldest($self)\n--\n\n"
     "When the registry holds at least `max_pending` asks (claimed ones\n"
     "included), remove the oldest unclaimed ask and return its token;\n"
     "otherwise return `None` and change nothing."),
    method<RegistryObject, Access::Exclusive, &cancel_all>("DecisionRegistry",
     "cancel_all($self)\n--\n\nRemove every ask. Returns `CancelledDecisions`."),
    method<RegistryObject, Access::Exclusive, &cancel_room>("DecisionRegistry",
     "cancel_room($self, room_id)\n--\n\n"
     "Remove the asks minted for `room_id`. Returns `CancelledDecisions`."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef registry_getset[] = {
    member_getter<RegistryObject, Access::Shared, &D::max_pending>(
        "max_pending", "The bound `evict_oldest` enforces, or `None`."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// is_authorized_sender

Ref is_authorized_sender(const BoundArgs& a) {
    PyObject* senders = a[0];
    PyObject* sender = a[1];
    bool listed = false;
    if (senders != Py_None) {
        if (!PyAnySet_Check(senders)) a.wrong_type(0, "set, frozenset or None");
        listed = a.str_items_contain(0, PyUnicode_Check(sender) ? sender : nullptr);
    }
    if (sender != Py_None && !PyUnicode_Check(sender)) a.wrong_type(1, "str or None");
    return result::boolean(core::is_authorized_sender(senders != Py_None, listed));
}

PyMethodDef is_authorized_sender_def = function<&is_authorized_sender>(
    "is_authorized_sender(authorized_senders, sender_id)\n--\n\n"
    "Whether `sender_id` may answer an ask: `None` admits anyone; any set --\n"
    "empty included -- admits only its members. Raises `TypeError` unless\n"
    "`authorized_senders` is a `set`, `frozenset`, or `None`.");

}  // namespace

Ref reg::cancelled_decisions(PyObject* module) {
    return wrapped_class<CancelledObject>(
        module, "orvu_sdk_core.CancelledDecisions",
        "What a cancellation removed, oldest first: `unclaimed` asks the caller\n"
        "resolves, and `claimed` ones whose claimant still does.",
        {{Py_tp_getset, cancelled_getset}}, kRecordFlags);
}
Ref reg::decision_registry(PyObject* module) {
    return wrapped_class<RegistryObject>(
        module, "orvu_sdk_core.DecisionRegistry",
        "DecisionRegistry(*, max_pending=None, seed=None)\n--\n\n"
        "Pending chat-mediated asks by token, oldest first. Every registration\n"
        "returns `(token, ticket)`; later calls name that exact registration, so a\n"
        "stale holder never acts on a newer ask that reused the token.",
        {{Py_tp_new, constructor<kNew, &registry_new>()},
         {Py_tp_methods, registry_methods},
         {Py_tp_getset, registry_getset}});
}
PyMethodDef* reg::is_authorized_sender() { return &is_authorized_sender_def; }

}  // namespace orvu::py

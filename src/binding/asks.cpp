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

// ---------------------------------------------------------------------------
// is_authorized_sender

Ref sender_authorized(const BoundArgs& a) {
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

constexpr Access X = Access::Exclusive, S = Access::Shared;

}  // namespace

// A read-only record built only by DecisionRegistry.
const ClassDef reg::CancelledDecisions = wrapped_class<CancelledObject>(
    "CancelledDecisions",
    "What a cancellation removed, oldest first: `unclaimed` asks the caller\n"
    "resolves, and `claimed` ones whose claimant still does.",
    {},
    {getter<CancelledObject, Access::None, &core::CancelledDecisions::unclaimed>(
         "unclaimed: builtins.list[str]", "Tokens of the removed unclaimed asks, oldest first."),
     getter<CancelledObject, Access::None, &core::CancelledDecisions::claimed>(
         "claimed: builtins.list[str]", "Tokens of the removed claimed asks, oldest first.")});

const ClassDef reg::DecisionRegistry = wrapped_class<RegistryObject, &registry_new>(
    "DecisionRegistry(*, max_pending: int | None = None, seed: int | None = None)",
    "Pending chat-mediated asks by token, oldest first. Every registration\n"
    "returns `(token, ticket)`; later calls name that exact registration, so a\n"
    "stale holder never acts on a newer ask that reused the token.",
    {
        method<RegistryObject, X, &register_minted>(
            "register_minted(room_id: str | None = None) -> tuple[str, int] | None",
            "Register a new ask under a freshly minted token. Returns `(token, ticket)`,\n"
            "or `None` once the registry's tickets are exhausted."),
        method<RegistryObject, X, &D::register_keyed>("register_keyed(key: str) -> tuple[str, int] | None",
            "Register an ask under the caller's `key`. Returns `(key, ticket)`; an\n"
            "unclaimed `key` keeps its place and gets a new ticket, which makes older\n"
            "tickets stale. Returns `None` if `key` is claimed or tickets are exhausted."),
        method<RegistryObject, X, &D::try_claim>("try_claim(token: str, ticket: int) -> ClaimOutcome",
            "Claim the ask registered as `(token, ticket)`. Returns a `ClaimOutcome`."),
        method<RegistryObject, X, &D::withdraw>("withdraw(token: str, ticket: int) -> bool",
            "Remove the ask `(token, ticket)` if it is unclaimed. Returns whether it was removed."),
        method<RegistryObject, X, &D::forget>("forget(token: str, ticket: int) -> bool",
            "Remove the ask `(token, ticket)`, claimed or not. Returns whether it was removed."),
        method<RegistryObject, S, &D::unclaimed>("unclaimed() -> builtins.list[str]",
            "Tokens of all unclaimed asks, oldest first."),
        method<RegistryObject, S, &D::unclaimed_in_room>("unclaimed_in_room(room_id: str) -> builtins.list[str]",
            "Tokens of the unclaimed asks minted for `room_id`, oldest first."),
        method<RegistryObject, S, &D::unclaimed_count>("unclaimed_count() -> int", "Number of unclaimed asks."),
        method<RegistryObject, S, &D::oldest_unclaimed>("oldest_unclaimed() -> str | None",
            "Token of the oldest unclaimed ask, or `None`."),
        method<RegistryObject, X, &D::evict_oldest>("evict_oldest() -> str | None",
            "When the registry holds at least `max_pending` asks (claimed ones\n"
            "included), remove the oldest unclaimed ask and return its token;\n"
            "otherwise return `None` and change nothing."),
        method<RegistryObject, X, &cancel_all>("cancel_all() -> CancelledDecisions",
            "Remove every ask. Returns `CancelledDecisions`."),
        method<RegistryObject, X, &cancel_room>("cancel_room(room_id: str) -> CancelledDecisions",
            "Remove the asks minted for `room_id`. Returns `CancelledDecisions`."),
    },
    {getter<RegistryObject, S, &D::max_pending>("max_pending: int | None",
                                                "The bound `evict_oldest` enforces, or `None`.")});

PyMethodDef reg::is_authorized_sender = function<&sender_authorized>(
    "is_authorized_sender(authorized_senders: set[str] | frozenset[str] | None, sender_id: str | None) -> bool",
    "Whether `sender_id` may answer an ask: `None` admits anyone; any set --\n"
    "empty included -- admits only its members. Raises `TypeError` unless\n"
    "`authorized_senders` is a `set`, `frozenset`, or `None`.");

}  // namespace orvu::py

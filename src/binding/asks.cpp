// DecisionRegistry, CancelledDecisions and is_authorized_sender.
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/object.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/asks.hpp"
#include "core/numbers.hpp"

#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace orvu::py {
namespace {

using RegistryObject = Wrapped<core::DecisionRegistry>;
using CancelledObject = Wrapped<core::CancelledDecisions>;

Ref str_list(const std::vector<std::string>& items) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make_str(items[i]).release());
    }
    return list;
}

Ref optional_str(const std::optional<std::string>& text) { return text ? make_str(*text) : none(); }

Ref registration_tuple(const std::optional<core::DecisionRegistry::Registration>& reg) {
    if (!reg) return none();
    Ref token = make_str(reg->first);
    Ref ticket = Ref::check(PyLong_FromUnsignedLongLong(reg->second));
    Ref tuple = Ref::check(PyTuple_New(2));
    PyTuple_SetItem(tuple.get(), 0, token.release());
    PyTuple_SetItem(tuple.get(), 1, ticket.release());
    return tuple;
}

// An int argument as an exact-or-subclass int object; non-ints are TypeErrors.
Ref int_argument(const BoundArgs& a, std::size_t i) {
    PyObject* obj = a[i];
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    if (!PyIndex_Check(obj)) a.wrong_type(i, "int");
    return Ref::check(PyNumber_Index(obj));
}

// `value` (an int) must lie in [low, high]; any int outside, however large,
// is a ValueError quoting its decimal value.
std::uint64_t in_range(const char* name, PyObject* value, std::uint64_t low, std::uint64_t high) {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (small == -1 && overflow == 0 && PyErr_Occurred()) throw_error();
    if (overflow == 0) {
        if (small >= 0 && static_cast<std::uint64_t>(small) >= low && static_cast<std::uint64_t>(small) <= high) {
            return static_cast<std::uint64_t>(small);
        }
        raise_value_error(core::range_message(name, static_cast<std::int64_t>(low), high, small));
    }
    if (overflow > 0) {
        unsigned long long big = PyLong_AsUnsignedLongLong(value);
        if (!(big == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred())) {
            if (big <= high) return big;
            raise_value_error(core::range_message_u(name, low, high, big));
        }
        PyErr_Clear();
    }
    // Beyond 64 bits: quote the value as int.__repr__ prints it, so a
    // subclass's own __repr__ or __str__ plays no part.
    Ref text = Ref::check(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "__repr__", "O", value));
    std::string message = core::range_message_u(name, low, high, 0);
    message.pop_back();  // drop the placeholder value "0"
    message += utf8_view(text.get());
    raise_value_error(message);
}

// Eight bytes of os.urandom, read little-endian.
std::uint64_t random_seed() {
    Ref os = Ref::check(PyImport_ImportModule("os"));
    Ref bytes = Ref::check(PyObject_CallMethod(os.get(), "urandom", "i", 8));
    if (!PyBytes_Check(bytes.get()) || PyBytes_Size(bytes.get()) != 8) {
        raise_type_error("os.urandom(8) did not return 8 bytes");
    }
    const char* data = PyBytes_AsString(bytes.get());
    if (!data) throw_error();
    std::uint64_t seed = 0;
    for (int i = 7; i >= 0; --i) seed = (seed << 8) | static_cast<unsigned char>(data[i]);
    return seed;
}

// ---------------------------------------------------------------------------
// CancelledDecisions

PyObject* cancelled_unclaimed(PyObject* self, void*) noexcept {
    return guarded([&] { return str_list(CancelledObject::of(self).unclaimed); });
}

PyObject* cancelled_claimed(PyObject* self, void*) noexcept {
    return guarded([&] { return str_list(CancelledObject::of(self).claimed); });
}

PyGetSetDef cancelled_getset[] = {
    {"unclaimed", &cancelled_unclaimed, nullptr, "Tokens of the removed unclaimed asks, oldest first.", nullptr},
    {"claimed", &cancelled_claimed, nullptr, "Tokens of the removed claimed asks, oldest first.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cancelled_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&CancelledObject::dealloc)},
    {Py_tp_getset, cancelled_getset},
    {Py_tp_doc, const_cast<char*>(
                    "What a cancellation removed, oldest first: `unclaimed` asks the caller\n"
                    "resolves, and `claimed` ones whose claimant still does.")},
    {0, nullptr},
};

PyType_Spec cancelled_spec = {
    "orvu_sdk_core.CancelledDecisions", static_cast<int>(sizeof(CancelledObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, cancelled_slots,
};

Ref cancelled_result(core::CancelledDecisions removed) {
    return CancelledObject::create(module_type("CancelledDecisions"),
                                   std::make_unique<core::CancelledDecisions>(std::move(removed)));
}

// ---------------------------------------------------------------------------
// DecisionRegistry

core::DecisionRegistry& registry(PyObject* self) noexcept { return RegistryObject::of(self); }
AccessFlag& flag(PyObject* self) noexcept { return RegistryObject::cast(self)->access; }

const Signature kNew{"DecisionRegistry.__new__", {"max_pending", "seed"}, 0, 0};
PyObject* registry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kNew, args, kwargs);
        Ref max_pending_arg = (a.given(0) && a[0] != Py_None) ? int_argument(a, 0) : Ref();
        Ref seed_arg = (a.given(1) && a[1] != Py_None) ? int_argument(a, 1) : Ref();
        std::optional<std::uint32_t> max_pending;
        std::optional<std::uint64_t> seed;
        if (max_pending_arg) {
            max_pending = static_cast<std::uint32_t>(
                in_range("max_pending", max_pending_arg.get(), 1, std::numeric_limits<std::uint32_t>::max()));
        }
        if (seed_arg) seed = in_range("seed", seed_arg.get(), 0, std::numeric_limits<std::uint64_t>::max());
        const std::uint64_t state = seed ? *seed : random_seed();
        return RegistryObject::create(type, std::make_unique<core::DecisionRegistry>(max_pending, state));
    });
}

PyObject* get_max_pending(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedAccess guard(flag(self));
        auto bound = registry(self).max_pending();
        return bound ? Ref::check(PyLong_FromUnsignedLong(*bound)) : none();
    });
}

const Signature kRegisterMinted{"DecisionRegistry.register_minted", {"room_id"}, 1, 0};
PyObject* register_minted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveAccess guard(flag(self));
        BoundArgs a = bind(kRegisterMinted, args, nargs, kwnames);
        std::optional<std::string> room_id;
        if (auto given = a.optional_str(0)) room_id.emplace(*given);
        return registration_tuple(registry(self).register_minted(std::move(room_id)));
    });
}

const Signature kRegisterKeyed{"DecisionRegistry.register_keyed", {"key"}, 1, 1};
PyObject* register_keyed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveAccess guard(flag(self));
        BoundArgs a = bind(kRegisterKeyed, args, nargs, kwnames);
        std::string key(a.str(0));
        return registration_tuple(registry(self).register_keyed(key));
    });
}

// The three calls that name one registration by (token, ticket).
template <class Call>
PyObject* by_ticket(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Call call) noexcept {
    return guarded([&] {
        ExclusiveAccess guard(flag(self));
        BoundArgs a = bind(sig, args, nargs, kwnames);
        std::string token(a.str(0));
        const auto ticket = a.integer<std::uint64_t>(1);
        return call(registry(self), token, ticket);
    });
}

const Signature kTryClaim{"DecisionRegistry.try_claim", {"token", "ticket"}, 2, 2};
PyObject* try_claim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return by_ticket(kTryClaim, self, args, nargs, kwnames, [](auto& r, const std::string& t, std::uint64_t k) {
        return enum_ref(core::EnumId::ClaimOutcome, r.try_claim(t, k));
    });
}

const Signature kWithdraw{"DecisionRegistry.withdraw", {"token", "ticket"}, 2, 2};
PyObject* withdraw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return by_ticket(kWithdraw, self, args, nargs, kwnames,
                     [](auto& r, const std::string& t, std::uint64_t k) { return boolean(r.withdraw(t, k)); });
}

const Signature kForget{"DecisionRegistry.forget", {"token", "ticket"}, 2, 2};
PyObject* forget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return by_ticket(kForget, self, args, nargs, kwnames,
                     [](auto& r, const std::string& t, std::uint64_t k) { return boolean(r.forget(t, k)); });
}

// Calls without arguments; `Exclusive` for the ones that change the registry.
template <bool Exclusive, class Call>
PyObject* no_args(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  Call call) noexcept {
    return guarded([&] {
        if constexpr (Exclusive) {
            ExclusiveAccess guard(flag(self));
            bind(sig, args, nargs, kwnames);
            return call(registry(self));
        } else {
            SharedAccess guard(flag(self));
            bind(sig, args, nargs, kwnames);
            return call(registry(self));
        }
    });
}

const Signature kUnclaimed{"DecisionRegistry.unclaimed", {}, 0, 0};
PyObject* unclaimed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return no_args<false>(kUnclaimed, self, args, nargs, kwnames, [](auto& r) { return str_list(r.unclaimed()); });
}

const Signature kUnclaimedInRoom{"DecisionRegistry.unclaimed_in_room", {"room_id"}, 1, 1};
PyObject* unclaimed_in_room(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        SharedAccess guard(flag(self));
        BoundArgs a = bind(kUnclaimedInRoom, args, nargs, kwnames);
        std::string room_id(a.str(0));
        return str_list(registry(self).unclaimed_in_room(room_id));
    });
}

const Signature kUnclaimedCount{"DecisionRegistry.unclaimed_count", {}, 0, 0};
PyObject* unclaimed_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return no_args<false>(kUnclaimedCount, self, args, nargs, kwnames,
                          [](auto& r) { return Ref::check(PyLong_FromSize_t(r.unclaimed_count())); });
}

const Signature kOldestUnclaimed{"DecisionRegistry.oldest_unclaimed", {}, 0, 0};
PyObject* oldest_unclaimed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return no_args<false>(kOldestUnclaimed, self, args, nargs, kwnames,
                          [](auto& r) { return optional_str(r.oldest_unclaimed()); });
}

const Signature kEvictOldest{"DecisionRegistry.evict_oldest", {}, 0, 0};
PyObject* evict_oldest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return no_args<true>(kEvictOldest, self, args, nargs, kwnames,
                         [](auto& r) { return optional_str(r.evict_oldest()); });
}

const Signature kCancelAll{"DecisionRegistry.cancel_all", {}, 0, 0};
PyObject* cancel_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return no_args<true>(kCancelAll, self, args, nargs, kwnames, [](auto& r) {
        // The result object is made before the registry changes, so a
        // failure to allocate it leaves every ask in place.
        Ref result = cancelled_result({});
        core::CancelledDecisions& removed = CancelledObject::of(result.get());
        removed = r.cancel_all();
        return result;
    });
}

const Signature kCancelRoom{"DecisionRegistry.cancel_room", {"room_id"}, 1, 1};
PyObject* cancel_room(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveAccess guard(flag(self));
        BoundArgs a = bind(kCancelRoom, args, nargs, kwnames);
        std::string room_id(a.str(0));
        Ref result = cancelled_result({});
        CancelledObject::of(result.get()) = registry(self).cancel_room(room_id);
        return result;
    });
}


PyMethodDef registry_methods[] = {
    {"register_minted", fastcall(&register_minted), kFastCall,
     "register_minted($self, room_id=None)\n--\n\n"
     "Register a new ask under a freshly minted token. Returns `(token, ticket)`,\n"
     "or `None` once the registry's tickets are exhausted."},
    {"register_keyed", fastcall(&register_keyed), kFastCall,
     "register_keyed($self, key)\n--\n\n"
     "Register an ask under the caller's `key`. Returns `(key, ticket)`; an\n"
     "unclaimed `key` keeps its place and gets a new ticket, which makes older\n"
     "tickets stale. Returns `None` if `key` is claimed or tickets are exhausted."},
    {"try_claim", fastcall(&try_claim), kFastCall,
     "try_claim($self, token, ticket)\n--\n\n"
     "Claim the ask registered as `(token, ticket)`. Returns a `ClaimOutcome`."},
    {"withdraw", fastcall(&withdraw), kFastCall,
     "withdraw($self, token, ticket)\n--\n\n"
     "Remove the ask `(token, ticket)` if it is unclaimed. Returns whether it was removed."},
    {"forget", fastcall(&forget), kFastCall,
     "forget($self, token, ticket)\n--\n\n"
     "Remove the ask `(token, ticket)`, claimed or not. Returns whether it was removed."},
    {"unclaimed", fastcall(&unclaimed), kFastCall,
     "unclaimed($self)\n--\n\nTokens of all unclaimed asks, oldest first."},
    {"unclaimed_in_room", fastcall(&unclaimed_in_room), kFastCall,
     "unclaimed_in_room($self, room_id)\n--\n\n"
     "Tokens of the unclaimed asks minted for `room_id`, oldest first."},
    {"unclaimed_count", fastcall(&unclaimed_count), kFastCall,
     "unclaimed_count($self)\n--\n\nNumber of unclaimed asks."},
    {"oldest_unclaimed", fastcall(&oldest_unclaimed), kFastCall,
     "oldest_unclaimed($self)\n--\n\nToken of the oldest unclaimed ask, or `None`."},
    {"evict_oldest", fastcall(&evict_oldest), kFastCall,
     "evict_oldest($self)\n--\n\n"
     "When the registry holds at least `max_pending` asks (claimed ones\n"
     "included), remove the oldest unclaimed ask and return its token;\n"
     "otherwise return `None` and change nothing."},
    {"cancel_all", fastcall(&cancel_all), kFastCall,
     "cancel_all($self)\n--\n\nRemove every ask. Returns `CancelledDecisions`."},
    {"cancel_room", fastcall(&cancel_room), kFastCall,
     "cancel_room($self, room_id)\n--\n\n"
     "Remove the asks minted for `room_id`. Returns `CancelledDecisions`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef registry_getset[] = {
    {"max_pending", &get_max_pending, nullptr, "The bound `evict_oldest` enforces, or `None`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot registry_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&registry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&RegistryObject::dealloc)},
    {Py_tp_methods, registry_methods},
    {Py_tp_getset, registry_getset},
    {Py_tp_doc, const_cast<char*>(
                    "DecisionRegistry(*, max_pending=None, seed=None)\n--\n\n"
                    "Pending chat-mediated asks by token, oldest first. Every registration\n"
                    "returns `(token, ticket)`; later calls name that exact registration, so a\n"
                    "stale holder never acts on a newer ask that reused the token.")},
    {0, nullptr},
};

PyType_Spec registry_spec = {
    "orvu_sdk_core.DecisionRegistry", static_cast<int>(sizeof(RegistryObject)), 0, Py_TPFLAGS_DEFAULT,
    registry_slots,
};

// ---------------------------------------------------------------------------
// is_authorized_sender

const Signature kIsAuthorized{"is_authorized_sender", {"authorized_senders", "sender_id"}, 2, 2};
PyObject* is_authorized_sender(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kIsAuthorized, args, nargs, kwnames);
        PyObject* senders = a[0];
        // Every element is checked, even past a match, so a bad set is always refused.
        std::vector<Ref> members;
        if (senders != Py_None) {
            if (!PyAnySet_Check(senders)) a.wrong_type(0, "set, frozenset or None");
            Ref it = Ref::check(PyObject_GetIter(senders));
            while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
                if (!PyUnicode_Check(item.get())) {
                    raise_type_error(std::string(a.callable()) +
                                     "() argument 'authorized_senders' must contain only str, not " +
                                     type_name_of(item.get()));
                }
                members.push_back(std::move(item));
            }
            if (PyErr_Occurred()) throw_error();
        }
        PyObject* sender = a[1];
        if (sender != Py_None && !PyUnicode_Check(sender)) a.wrong_type(1, "str or None");

        if (senders == Py_None) return boolean(true);
        if (sender == Py_None) return boolean(false);
        for (const Ref& member : members) {
            // Exact text comparison: a str subclass's own __eq__ plays no part.
            if (PyUnicode_Compare(member.get(), sender) == 0) return boolean(true);
        }
        if (PyErr_Occurred()) throw_error();
        return boolean(false);
    });
}

PyMethodDef is_authorized_sender_def{
    "is_authorized_sender", fastcall(&is_authorized_sender), kFastCall,
    "is_authorized_sender(authorized_senders, sender_id)\n--\n\n"
    "Whether `sender_id` may answer an ask: `None` admits anyone; any set --\n"
    "empty included -- admits only its members. Raises `TypeError` unless\n"
    "`authorized_senders` is a `set`, `frozenset`, or `None`."};


}  // namespace

namespace reg {
Ref cancelled_decisions(PyObject* module) { return make_type(module, &cancelled_spec); }
Ref decision_registry(PyObject* module) { return make_type(module, &registry_spec); }
PyMethodDef* is_authorized_sender() { return &is_authorized_sender_def; }
}  // namespace reg

}  // namespace orvu::py

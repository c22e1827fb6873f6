// Methods of the stateful classes as one template: bind the arguments, take
// the object's shared or exclusive borrow for the rest of the call, then run
// the body, which converts the arguments and calls into the core.
//
//   const Signature kAdd{"ParticipantRoster.add", {"participant"}, 1, 1};
//   Ref add(PyObject* self, const BoundArgs& a) { ... }
//   {"add", method<Roster, kAdd, Access::Exclusive, &add>(), kFastCall, "..."}
#pragma once

#include "binding/args.hpp"
#include "binding/object.hpp"

#include <string>
#include <utility>
#include <vector>

namespace orvu::py {

enum class Access { Shared, Exclusive };

using MethodBody = Ref (*)(PyObject* self, const BoundArgs& args);

template <class Object, const Signature& Sig, Access A, MethodBody Body>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs bound = bind(Sig, args, nargs, kwnames);
        BorrowFlag& flag = Object::cast(self)->borrow;
        if constexpr (A == Access::Exclusive) {
            ExclusiveBorrow guard(flag);
            return Body(self, bound);
        } else {
            SharedBorrow guard(flag);
            return Body(self, bound);
        }
    });
}

// The PyMethodDef function pointer of a method (kFastCall).
template <class Object, const Signature& Sig, Access A, MethodBody Body>
PyCFunction method() noexcept {
    return fastcall(&call_method<Object, Sig, A, Body>);
}

// Results shared by the membership classes: a ticket or None, lists of ids.
inline Ref optional_ticket(const std::optional<std::uint64_t>& ticket) {
    if (!ticket) return none();
    return Ref::check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(*ticket)));
}

inline Ref str_list(const std::vector<std::string>& items) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), make_str(items[i]).release());
    }
    return list;
}

// [(id, ticket), ...]
inline Ref ticketed_list(const std::vector<std::pair<std::string, std::uint64_t>>& entries) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Ref id = make_str(entries[i].first);
        Ref ticket = optional_ticket(entries[i].second);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Ref::check(PyTuple_Pack(2, id.get(), ticket.get())).release());
    }
    return list;
}

}  // namespace orvu::py

// Typed builders of call results: every function returns a new reference
// or throws PythonError.
#pragma once

#include "binding/object.hpp"
#include "binding/state.hpp"
#include "binding/text.hpp"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvu::py::result {

using py::boolean;
using py::none;

template <class T>
Ref integer(T value) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    if constexpr (std::is_signed_v<T>) return Ref::check(PyLong_FromLongLong(static_cast<long long>(value)));
    else return Ref::check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

inline Ref real(double value) { return Ref::check(PyFloat_FromDouble(value)); }
inline Ref str(std::string_view text) { return make_str(text); }
inline Ref ascii_str(std::string_view ascii) { return make_ascii_str(ascii); }

// None for nullopt, else build(*value).
template <class T, class Build>
Ref optional(const std::optional<T>& value, Build&& build) {
    return value ? build(*value) : none();
}

// A tuple of the given items (each already made, so never null).
template <class... Items>
Ref tuple(const Items&... items) {
    return Ref::check(PyTuple_Pack(sizeof...(Items), items.get()...));
}

// A list of build(item) for each item.
template <class Range, class Build>
Ref list(const Range& items, Build&& build) {
    Ref l = Ref::check(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    Py_ssize_t i = 0;
    for (const auto& item : items) PyList_SetItem(l.get(), i++, build(item).release());
    return l;
}

inline Ref str_list(const std::vector<std::string>& items) {
    return list(items, [](const std::string& s) { return make_str(s); });
}

// A dict with interned keys from the state, in the order given; an entry
// whose value is null (an optional key) is left out.
inline Ref dict(const ModuleState& state, std::initializer_list<std::pair<Word, Ref>> entries) {
    Ref d = Ref::check(PyDict_New());
    for (const auto& [key, value] : entries) {
        if (value && PyDict_SetItem(d.get(), state.word(key), value.get()) < 0) throw_error();
    }
    return d;
}

// A new dict of the shape `shape`: a copy of its template with `values` set
// under their keys (each a key of the template, so the order is the template's).
inline Ref shaped(const ModuleState& state, Shape shape, std::initializer_list<std::pair<Word, Ref>> values) {
    Ref d = Ref::check(PyDict_Copy(state.shape(shape)));
    for (const auto& [key, value] : values) {
        if (PyDict_SetItem(d.get(), state.word(key), value.get()) < 0) throw_error();
    }
    return d;
}

// A dict of the (key, value) Ref pairs build(item) gives for each item, in order.
template <class Range, class Build>
Ref dict_of(const Range& items, Build&& build) {
    Ref d = Ref::check(PyDict_New());
    for (const auto& item : items) {
        const auto [key, value] = build(item);
        if (PyDict_SetItem(d.get(), key.get(), value.get()) < 0) throw_error();
    }
    return d;
}

// The interned text of `w` as a result value.
inline Ref word(const ModuleState& state, Word w) { return Ref::borrow(state.word(w)); }

// Adds `value` under the interned key `key` to the dict `d`; a key already
// there keeps its place.
inline void add(const ModuleState& state, const Ref& d, Word key, const Ref& value) {
    if (PyDict_SetItem(d.get(), state.word(key), value.get()) < 0) throw_error();
}

// A str argument as it goes back into a result: the object itself when it is
// an exact str (immutable, so shared), else a plain str copy of a subclass.
inline Ref plain_str(PyObject* str) { return Ref::check(PyUnicode_FromObject(str)); }

// The member object of a typed core variant.
template <class E>
Ref member(const ModuleState& state, core::EnumId id, E variant) {
    return state.members[static_cast<std::size_t>(id)][core::index_of(variant)];
}

// A new instance of the module's class `id`, its value built from `args`.
template <class Object, class... Args>
Ref instance(const ModuleState& state, TypeId id, Args&&... args) {
    return Object::create(state.type(id), std::forward<Args>(args)...);
}

// [(str, integer), ...], e.g. (room_id, ticket) pairs.
template <class Int>
Ref ticketed_list(const std::vector<std::pair<std::string, Int>>& entries) {
    return list(entries, [](const auto& e) { return tuple(make_str(e.first), integer(e.second)); });
}

}  // namespace orvu::py::result

// Enumeration classes, built from the core's descriptor table. Every member
// is one object created at import and returned everywhere.
#pragma once

#include "binding/handle.hpp"
#include "core/enums.hpp"

#include <optional>

namespace orvu::py {

// The member object (borrowed) of variant `index` of enumeration `id`.
PyObject* enum_member(core::EnumId id, std::size_t index);

// A new reference to the member for a typed core variant.
template <class E>
Ref enum_ref(core::EnumId id, E variant) {
    return Ref::borrow(enum_member(id, core::index_of(variant)));
}

// The variant index when `obj` is a member of enumeration `id`, else nullopt.
std::optional<std::size_t> enum_index(PyObject* obj, core::EnumId id) noexcept;

PyTypeObject* enum_type(core::EnumId id);

// Extra methods of one enumeration class (AgentTopicKind.topic); register at
// namespace scope like the registrations in registry.hpp.
struct EnumMethods {
    EnumMethods(core::EnumId id, PyMethodDef* methods);
};

}  // namespace orvu::py

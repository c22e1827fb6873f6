// Enumeration classes, built from the core's descriptor table. Each
// interpreter's module holds its own members in its state; within one
// interpreter every member is one object, returned everywhere (`is` holds).
#pragma once

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/state.hpp"
#include "core/enums.hpp"

#include <optional>

namespace orvu::py {

struct EnumObject {
    PyObject_HEAD
    core::EnumId id;
    std::uint32_t index;
};

// The variant index when `obj` is a member of enumeration `id`, else nullopt.
inline std::optional<std::size_t> enum_index(const ModuleState& state, PyObject* obj, core::EnumId id) noexcept {
    if (Py_TYPE(obj) != state.enum_types[static_cast<std::size_t>(id)]) return std::nullopt;
    return reinterpret_cast<EnumObject*>(obj)->index;
}

// Argument converter: a member of enumeration `id` as its core variant;
// TypeError naming the class otherwise.
template <class E>
E enum_arg(const BoundArgs& a, std::size_t i, core::EnumId id) {
    const ModuleState& state = a.state();
    a.instance(i, state.enum_types[static_cast<std::size_t>(id)]);
    return static_cast<E>(reinterpret_cast<EnumObject*>(a[i])->index);
}

// The enumeration of a core enum type: what lets converters take and build
// members by the C++ type of a core parameter or result.
template <class E>
inline constexpr core::EnumId enum_id_of = core::enum_id_of(E{});

// The `Object` of a method on an enumeration class: `method<EnumMember,
// Access::None, &body>` with `Ref body(const EnumObject& member, const
// BoundArgs&)`. Members are immutable, so such a method takes no guard: its
// `access` flag only gives the template its shape and is never taken.
struct EnumMember {
    AccessFlag access;
    static EnumMember* cast(PyObject*) noexcept {
        static EnumMember unguarded;
        return &unguarded;
    }
    static const EnumObject& of(PyObject* self) noexcept { return *reinterpret_cast<EnumObject*>(self); }
};

}  // namespace orvu::py

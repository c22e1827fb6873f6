// TEMPORARY: the older calling helpers, kept so that the units not yet moved
// to method.hpp/result.hpp/state.hpp still build unchanged. They reach the
// module state through `legacy_state()`, the state of the first module
// imported in the process, which is wrong for any other module object (a
// re-import, a sub-interpreter).
//
// Moving a unit off this header: include binding/method.hpp instead; write
// each method as `Ref body(core::T&, const BoundArgs&)` and list it with
// `method<...>` (see method.hpp); replace module_type("X") with
// `a.state().type(TypeId::X)` or `result::instance<...>`, enum_ref with
// `result::member(a.state(), ...)`, enum_index/enum_type with the
// state-taking forms in enums.hpp (or `enum_arg`); return core refusals as
// core::Outcome and `unwrap` them. Delete this header and legacy.cpp once
// no unit includes it.
#pragma once

#include "binding/convert.hpp"
#include "binding/enums.hpp"
#include "binding/method.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvu::py {

ModuleState& legacy_state();
// Called by the exec step and by the state's teardown.
void set_legacy_state(ModuleState* state) noexcept;
void forget_legacy_state(ModuleState* state) noexcept;

// The class registered under `name` (borrowed).
PyTypeObject* module_type(const char* name);

inline PyTypeObject* enum_type(core::EnumId id) { return legacy_state().enum_types[static_cast<std::size_t>(id)]; }
inline std::optional<std::size_t> enum_index(PyObject* obj, core::EnumId id) noexcept {
    return enum_index(legacy_state(), obj, id);
}
template <class E>
Ref enum_ref(core::EnumId id, E variant) {
    return result::member(legacy_state(), id, variant);
}

using MethodBody = Ref (*)(PyObject* self, const BoundArgs& args);

template <class Object, const Signature& Sig, Access A, MethodBody Body>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs bound = bind(Sig, args, nargs, kwnames, &state_of(self));
        Guard<A> guard(Object::cast(self)->access);
        return Body(self, bound);
    });
}

template <class Object, const Signature& Sig, Access A, MethodBody Body>
PyCFunction method() noexcept {
    return fastcall(&call_method<Object, Sig, A, Body>);
}

inline Ref optional_ticket(const std::optional<std::uint64_t>& ticket) {
    return result::optional(ticket, result::integer<std::uint64_t>);
}

using result::str_list;

// to_json with the abstract classes of the first module imported.
inline core::JsonValue to_json(PyObject* obj) { return to_json(legacy_state(), obj); }

// [(id, ticket), ...]
inline Ref ticketed_list(const std::vector<std::pair<std::string, std::uint64_t>>& entries) {
    return result::list(entries, [](const auto& e) { return result::tuple(make_str(e.first), result::integer(e.second)); });
}

}  // namespace orvu::py

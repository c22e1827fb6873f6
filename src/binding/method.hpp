// How to write a callable of the module: one row each, from which come its
// method table entry, the text signature that begins its docstring (so that
// `inspect.signature` and the binder read the same parameters) and its stub
// (scripts/gen_stubs.py reads the declarations; see `Declaration` in args.hpp):
//
//   method<RegistryObject, kChanging, &ClaimRegistry::try_claim>(
//       "try_claim(room_id: str, message_id: str) -> bool", "Mark the message ..."),
//
// The body is a binding body, `Ref body(T& core, const BoundArgs& a)` (`Ref
// body(const BoundArgs& a)` for a module function), or a core function whose
// arguments are converted by its C++ parameter types in parameter order and
// whose result is built by its return type. Every call, inside `guarded`:
//   1. bind the arguments to the Signature (TypeErrors for arity/keywords);
//   2. take the object's access guard (methods only);
//   3. convert the arguments and call the body -- under the guard, so Python
//      code that an argument's __index__/__float__ runs and that calls back
//      into the same object meets "Already borrowed", not a half-done change;
//   4. build the result (result.hpp), or raise the core's refusal (`unwrap`).
// A class is a `ClassDef`: its declaration ("Name(params)" with a constructor
// body, or "Name" for a record only the module builds), docstring, methods
// and properties.
#pragma once

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/object.hpp"
#include "binding/refusal.hpp"
#include "binding/result.hpp"
#include "core/ordered.hpp"
#include "core/session_policy.hpp"

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvu::py {

// The state of the module of `self`'s class: kept in the object when it
// has a place for it, else looked up from its class.
template <class Object>
ModuleState& object_state(PyObject* self) noexcept {
    if constexpr (requires { Object::cast(self)->state; }) {
        return *Object::cast(self)->state;
    } else {
        return state_of(self);
    }
}

// The module's class that a core record comes back as, declared beside the
// class:  template <> struct RecordType<core::SessionOutcome> { static constexpr TypeId id = ...; };
template <class T>
struct RecordType {};

namespace typed {

template <class T>
inline constexpr bool kOptional = false;
template <class T>
inline constexpr bool kOptional<std::optional<T>> = true;

// Argument `i` converted to the core parameter type `T`; an optional one is
// nullopt for None or when not given.
template <class T>
Py_ALWAYS_INLINE inline T arg(const BoundArgs& a, std::size_t i) {
    if constexpr (std::is_same_v<T, std::string_view>) return a.str(i);
    else if constexpr (std::is_same_v<T, std::string>) return std::string(a.str(i));
    else if constexpr (std::is_same_v<T, bool>) return a.boolean(i);
    else if constexpr (std::is_same_v<T, double>) return a.real(i);
    else if constexpr (std::is_integral_v<T>) return a.template integer<T>(i);
    else if constexpr (std::is_enum_v<T>) return enum_arg<T>(a, i, enum_id_of<T>);
    else if constexpr (kOptional<T>) {
        using V = typename T::value_type;
        if constexpr (std::is_constructible_v<V, std::string_view>) return T(a.optional_str(i));
        else return !a.given(i) || a[i] == Py_None ? T() : T(arg<V>(a, i));
    } else return a.str_sequence(i);  // std::vector<std::string>
}

template <class T>
Ref to_py(const ModuleState& state, const T& value) {
    if constexpr (std::is_same_v<T, Ref>) return value;
    else if constexpr (requires { RecordType<T>::id; })
        return result::instance<Wrapped<T>>(state, RecordType<T>::id, value);
    else if constexpr (std::is_same_v<T, bool>) return result::boolean(value);
    else if constexpr (std::is_enum_v<T>) return result::member(state, enum_id_of<T>, value);
    else if constexpr (std::is_integral_v<T>) return result::integer(value);
    else if constexpr (std::is_same_v<T, double>) return result::real(value);
    else if constexpr (std::is_same_v<T, core::Duration>) return result::real(value.seconds());  // float seconds
    else if constexpr (std::is_convertible_v<const T&, std::string_view>) return result::str(value);
    else if constexpr (std::is_same_v<T, std::vector<std::string>>) return result::str_list(value);
    else if constexpr (std::is_same_v<T, std::vector<std::pair<std::string, std::uint64_t>>>)
        return result::ticketed_list(value);
    else if constexpr (requires { value.first; value.second; })
        return result::tuple(to_py(state, value.first), to_py(state, value.second));
    else return result::optional(value, [&](const auto& v) { return to_py(state, v); });
}

// A refused outcome is raised; an accepted one is built by its value's type.
template <class T>
Ref to_py(const ModuleState& state, core::Outcome<T>& outcome) {
    if (!outcome.ok()) raise_refusal(outcome.refusal());
    return to_py(state, outcome.value());
}

template <class F>
struct Callable;
template <class R, class... P, bool N>
struct Callable<R (*)(P...) noexcept(N)> {
    using Result = R;
    using Params = std::tuple<std::remove_cvref_t<P>...>;
};
template <class C, class R, class... P, bool N>
struct Callable<R (C::*)(P...) noexcept(N)> : Callable<R (*)(P...)> {};
template <class C, class R, class... P, bool N>
struct Callable<R (C::*)(P...) const noexcept(N)> : Callable<R (*)(P...)> {};

template <auto Fn, class Call, std::size_t... I>
Ref invoke(const BoundArgs& a, Call&& call, std::index_sequence<I...>) {
    using Params = typename Callable<decltype(Fn)>::Params;
    // A braced initialiser runs its elements in order: the first bad argument is the one reported.
    Params values{arg<std::tuple_element_t<I, Params>>(a, I)...};
    if constexpr (std::is_void_v<typename Callable<decltype(Fn)>::Result>) {
        std::apply(call, values);
        return result::none();
    } else {
        decltype(auto) result = std::apply(call, values);
        return to_py(a.state(), result);
    }
}

template <auto Fn>
constexpr auto arity = std::tuple_size_v<typename Callable<decltype(Fn)>::Params>;

}  // namespace typed

template <class Object>
using CoreOf = std::remove_reference_t<decltype(Object::of(nullptr))>;

// The signature each entry point binds with, one per row: set when the row
// is made, before the module can be imported. `Object` is void for a
// function or constructor, `Body` the row's body.
template <class Object, auto Body>
constinit inline Signature signature_of{};

// The call of a row's body on the bound arguments.
template <class Object, auto Fn>
Ref call_method(PyObject* self, const BoundArgs& a) {
    if constexpr (std::is_invocable_r_v<Ref, decltype(Fn), CoreOf<Object>&, const BoundArgs&>) {
        return Fn(Object::of(self), a);
    } else {
        return typed::invoke<Fn>(a, [&](auto&... v) -> decltype(auto) { return (Object::of(self).*Fn)(v...); },
                                 std::make_index_sequence<typed::arity<Fn>>{});
    }
}
template <auto Fn>
Ref call_function(const BoundArgs& a) {
    if constexpr (std::is_invocable_r_v<Ref, decltype(Fn), const BoundArgs&>) {
        return Fn(a);
    } else {
        return typed::invoke<Fn>(a, [](auto&... v) -> decltype(auto) { return Fn(v...); },
                                 std::make_index_sequence<typed::arity<Fn>>{});
    }
}

template <class Object, Access A, auto Fn>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        const BoundArgs bound(signature_of<Object, Fn>, args, nargs, kwnames, &object_state<Object>(self));
        Guard<A> guard(Object::cast(self)->access);
        return call_method<Object, Fn>(self, bound);
    });
}

template <auto Fn>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return call_function<Fn>(BoundArgs(signature_of<void, Fn>, args, nargs, kwnames,
                                                            &module_state(module))); });
}

template <auto Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return Body(type, BoundArgs(signature_of<void, Body>, args, kwargs, &state_of_type(type))); });
}

template <class Object, Access A, auto Fn>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return guarded([&] {
        Guard<A> guard(Object::cast(self)->access);
        if constexpr (std::is_invocable_r_v<Ref, decltype(Fn), const CoreOf<Object>&, ModuleState&>) {
            return Fn(Object::of(self), object_state<Object>(self));
        } else {
            return typed::to_py(object_state<Object>(self), std::invoke(Fn, Object::of(self)));
        }
    });
}

// One row of a class or of the module: its table entry, the signature its
// entry point binds with (named once the row's class is known), and, for the
// record of the surface (in the dump program only), its declaration and doc.
struct Row {
    PyMethodDef def;
    Signature* signature;
    std::string declaration;
    std::string doc;
};
struct PropertyRow {
    PyGetSetDef def;
    std::string declaration;
};

// The row of a parsed declaration. `collect_keywords` hands the keyword-only
// parameters to the body as extra keywords, for a body that reads them as
// one group.
// `owner` is "" for a module function, anything else for a method (named by
// its class later).
Row make_row(std::string_view owner, std::string_view declaration, std::string_view doc, Signature& slot,
             PyCFunction entry, bool collect_keywords = false);

// A method of a class: "name(params) -> R", static with "@staticmethod ".
template <class Object, Access A, auto Fn>
Row method(std::string_view declaration, std::string_view doc, bool collect_keywords = false) {
    // A body that takes no object can only be a static method's.
    constexpr bool kFree = !std::is_member_pointer_v<decltype(Fn)> &&
                           !std::is_invocable_v<decltype(Fn), CoreOf<Object>&, const BoundArgs&>;
    if constexpr (kFree) {
        return make_row("?", declaration, doc, signature_of<void, Fn>, fastcall(&function_entry<Fn>),
                        collect_keywords);
    } else {
        return make_row("?", declaration, doc, signature_of<Object, Fn>, fastcall(&method_entry<Object, A, Fn>),
                        collect_keywords);
    }
}

// A module function: "name(params) -> R".
template <auto Fn>
PyMethodDef function(std::string_view declaration, std::string_view doc) {
    return make_row("", declaration, doc, signature_of<void, Fn>, fastcall(&function_entry<Fn>)).def;
}

// A read-only property: "name: T". `Fn` is a body
// `Ref body(const T& core, ModuleState& state)`, a data member, or a const
// member function without arguments.
template <class Object, Access A, auto Fn>
PropertyRow getter(std::string_view declaration, std::string_view doc) {
    const std::string name(declaration.substr(0, declaration.find(':')));
    PropertyRow row{{keep(name), &getter_entry<Object, A, Fn>, nullptr, doc.empty() ? nullptr : keep(std::string(doc)),
                     nullptr}, {}};
    if constexpr (kRecordSurface) row.declaration = std::string(declaration);
    return row;
}

using Methods = std::vector<Row>;
using Getters = std::vector<PropertyRow>;

// What every class of the module is: immutable like a built-in type
// (assigning or deleting a class attribute raises TypeError), and tracked by
// the collector together with its instances.
constexpr unsigned kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC;

// One class of the module. Built once per process, when the tables are; each
// module object makes its own type from it.
struct ClassDef {
    std::string spec_name;  // "orvu_sdk_core.Name": the type keeps pointing at it
    std::string doc;
    int basicsize;
    void* new_entry;  // tp_new, or nullptr for a record only the module builds
    std::vector<PyMethodDef> methods, statics;
    std::vector<PyGetSetDef> getters;
    std::vector<PyType_Slot> slots;  // dealloc, traverse and any of the class's own
    Ref make(PyObject* module) const;
};

// Names the rows after the class of `declaration` and records the class.
ClassDef class_def(std::string_view declaration, std::string_view doc, int basicsize, void* new_entry,
                   Methods methods, Getters getters, std::vector<PyType_Slot> slots);

// The class of `Object`s declared "Name(params)" with the constructor body
// `New`, `Ref body(PyTypeObject* type, const BoundArgs& a)`, or "Name" for a
// record only the module builds.
template <class Object, auto New = nullptr>
ClassDef wrapped_class(std::string_view declaration, std::string_view doc, Methods methods = {}, Getters getters = {},
                       std::initializer_list<PyType_Slot> slots = {}) {
    std::vector<PyType_Slot> all(slots);
    auto has = [&](int slot) {
        for (const PyType_Slot& s : all) {
            if (s.slot == slot) return true;
        }
        return false;
    };
    if (!has(Py_tp_dealloc)) all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&Object::dealloc)});
    if (!has(Py_tp_traverse)) all.push_back({Py_tp_traverse, reinterpret_cast<void*>(&traverse_class)});
    void* entry = nullptr;
    if constexpr (!std::is_same_v<decltype(New), std::nullptr_t>) {
        signature_of<void, New> = parse_declaration(declaration).signature;
        entry = reinterpret_cast<void*>(&constructor_entry<New>);
    }
    return class_def(declaration, doc, static_cast<int>(sizeof(Object)), entry, std::move(methods),
                     std::move(getters), std::move(all));
}

// A second object of the module that a method works on besides its own:
// argument `i`, an instance of class `id`, held with access `A` from its
// conversion to the end of the call, like the method's own object.
//
//   const Held<TrackerObject, Access::Shared> tracker(a, 3, TypeId::RetryTracker);
//   registry.record(..., *tracker);
template <class Object, Access A>
class Held {
public:
    Held(const BoundArgs& a, std::size_t i, TypeId id)
        : object_(a.instance(i, a.state().type(id))), guard_(Object::cast(object_)->access) {}
    auto& operator*() const noexcept { return Object::of(object_); }

private:
    PyObject* object_;
    Guard<A> guard_;
};

// The body of a constructor that takes no arguments: a default-built core object.
template <class Object>
Ref default_new(PyTypeObject* type, const BoundArgs&) {
    return Object::create(type);
}

}  // namespace orvu::py

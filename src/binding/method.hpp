// How to write a method or function of the module.
//
// Every callable is the same four steps, in this order:
//   1. bind the arguments to the Signature (TypeErrors for arity/keywords);
//   2. take the object's access guard (methods only): shared for a reading
//      call, exclusive for a changing one, none for an immutable object;
//   3. convert the arguments with the BoundArgs converters and call the core
//      (the body) -- conversions run under the guard, so Python code that an
//      argument's __index__/__float__ runs and that calls back into the same
//      object meets "Already borrowed" instead of a half-done change;
//   4. build the result with the builders of result.hpp (or raise the core's
//      refusal with `unwrap`).
// `guarded` wraps the whole: no C++ exception reaches the interpreter.
//
// A method is a body and a table row whose docstring begins with its text
// signature, which names it and binds its arguments. From claims.cpp:
//
//   Ref pending_ack(ClaimRegistry& r, const BoundArgs& a) {
//       const std::string_view room = a.str(0), message = a.str(1);
//       ...
//   }
//   PyMethodDef methods[] = {
//       method<RegistryObject, Access::Shared, &pending_ack>("ClaimRegistry",
//           "pending_ack($self, room_id, message_id)\n--\n\n..."),
//       ...
//
// Module functions: `function<&body>("doc")` with `Ref body(const BoundArgs& a)`;
// `a.state()` is the module's state. Static methods:
// `static_method<&body>("Class", "doc")`, same body, added by the class
// factory with `add_static_method`.
// Constructors: `{Py_tp_new, constructor<kSig, &body>()}` with
// `Ref body(PyTypeObject* type, const BoundArgs& a)`.
// Getters: `getter<Object, Access::Shared, &body>("name", "doc")` with
// `Ref body(const T& core, ModuleState& state)`.
#pragma once

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/object.hpp"
#include "binding/refusal.hpp"
#include "binding/result.hpp"
#include "core/ordered.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvu::py {

enum class Access { None, Shared, Exclusive };

// Holds the guard of `A` on `flag` for its lifetime.
template <Access A>
struct Guard {
    explicit Guard(AccessFlag&) noexcept {}
};
template <>
struct Guard<Access::Shared> : SharedAccess {
    using SharedAccess::SharedAccess;
};
template <>
struct Guard<Access::Exclusive> : ExclusiveAccess {
    using ExclusiveAccess::ExclusiveAccess;
};

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

template <class Object, const Signature& Sig, Access A, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        const BoundArgs bound(Sig, args, nargs, kwnames, &object_state<Object>(self));
        Guard<A> guard(Object::cast(self)->access);
        return Body(Object::of(self), bound);
    });
}

template <const Signature& Sig, auto Body>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return Body(BoundArgs(Sig, args, nargs, kwnames, &module_state(module))); });
}

template <const Signature& Sig, auto Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return Body(type, BoundArgs(Sig, args, kwargs, &state_of_type(type))); });
}

template <class Object, Access A, auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return guarded([&] {
        Guard<A> guard(Object::cast(self)->access);
        return Body(Object::of(self), object_state<Object>(self));
    });
}

// The signature of callable `Body` of class `Object` (void for a module
// function), read from its docstring when its table row is made, before the
// module can be imported.
template <class Object, auto Body>
constinit inline Signature signature_of{};

template <class Object, auto Body>
const Signature& read_signature_of(const char* owner, const char* doc) {
    signature_of<Object, Body> = read_signature(owner, doc);
    return signature_of<Object, Body>;
}

// Table rows: a method of class `owner` ("Session"), named and bound by the
// text signature that begins its docstring.
template <class Object, Access A, auto Body>
PyMethodDef method(const char* owner, const char* doc) {
    const Signature& sig = read_signature_of<Object, Body>(owner, doc);
    return {sig.name(), fastcall(&method_entry<Object, signature_of<Object, Body>, A, Body>), kFastCall, doc};
}

// A method whose signature the docstring cannot tell (extra keywords).
template <class Object, const Signature& Sig, Access A, auto Body>
PyMethodDef method(const char* name, const char* doc) noexcept {
    return {name, fastcall(&method_entry<Object, Sig, A, Body>), kFastCall, doc};
}

template <auto Body>
PyMethodDef function(const char* doc) {
    const Signature& sig = read_signature_of<void, Body>(nullptr, doc);
    return {sig.name(), fastcall(&function_entry<signature_of<void, Body>, Body>), kFastCall, doc};
}

// A static method is a module function stored on its class: its builtin is
// bound to the module (so it finds the module's state, and introspection sees
// a plain static function), wrapped in a staticmethod and set on the class by
// the class factory with `add_static_method` (a METH_STATIC entry of
// tp_methods would receive NULL and could not find the module's state).
template <auto Body>
PyMethodDef static_method(const char* owner, const char* doc) {
    const Signature& sig = read_signature_of<void, Body>(owner, doc);
    return {sig.name(), fastcall(&function_entry<signature_of<void, Body>, Body>), kFastCall, doc};
}

void add_static_method(PyObject* module, PyObject* type, PyMethodDef* def);

template <const Signature& Sig, auto Body>
void* constructor() noexcept {
    return reinterpret_cast<void*>(&constructor_entry<Sig, Body>);
}

// ---------------------------------------------------------------------------
// Methods and functions that are one core call with plain arguments and a
// plain result need no body at all: the arguments are converted by the C++
// parameter types of the core function, in parameter order, and the result
// is built by its return type.
//
//   core_method<TrackerObject, Access::Exclusive, &core::RetryTracker::mark_success>("RetryTracker", doc)
//   core_function<&core::chat_room_topic>(doc)
//   member_getter<FailureObject, Access::None, &core::AgentFailure::provider>("provider", doc)
//
// Parameters: std::string / std::string_view (str), bool (exact bool),
// double (float), integers (their width), std::optional<std::string> or
// std::optional<std::string_view> (str or None), std::optional of int64 or
// double (None or the number), std::vector<std::string> (a list or tuple of
// str), core enumerations (a member of their class). Results: void (None),
// bool, integers, double, strings, std::vector<std::string> (list), core
// enumerations (their member), pairs (2-tuples), lists of (str, integer)
// pairs (lists of tuples), std::optional of those (None), a ready Ref, core
// records with a RecordType (an instance of their class), and core::Outcome
// of those (its refusal raised).

// The module's class that a core record comes back as, declared beside the
// class:  template <> struct RecordType<core::SessionOutcome> { static constexpr TypeId id = ...; };
template <class T>
struct RecordType {};

namespace typed {

template <class T, class = void>
struct Arg;
template <>
struct Arg<std::string_view> {
    Py_ALWAYS_INLINE static std::string_view get(const BoundArgs& a, std::size_t i) { return a.str(i); }
};
template <>
struct Arg<std::string> {
    static std::string get(const BoundArgs& a, std::size_t i) { return std::string(a.str(i)); }
};
template <>
struct Arg<bool> {
    static bool get(const BoundArgs& a, std::size_t i) { return a.boolean(i); }
};
template <>
struct Arg<double> {
    static double get(const BoundArgs& a, std::size_t i) { return a.real(i); }
};
template <class T>
struct Arg<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
    static T get(const BoundArgs& a, std::size_t i) { return a.template integer<T>(i); }
};
template <>
struct Arg<std::optional<std::string>> {
    static std::optional<std::string> get(const BoundArgs& a, std::size_t i) {
        std::optional<std::string_view> v = a.optional_str(i);
        return v ? std::optional<std::string>(std::in_place, *v) : std::nullopt;
    }
};
template <>
struct Arg<std::optional<std::string_view>> {
    static std::optional<std::string_view> get(const BoundArgs& a, std::size_t i) { return a.optional_str(i); }
};
template <>
struct Arg<std::optional<std::int64_t>> {
    static std::optional<std::int64_t> get(const BoundArgs& a, std::size_t i) {
        return a.optional_integer<std::int64_t>(i);
    }
};
template <>
struct Arg<std::optional<double>> {
    static std::optional<double> get(const BoundArgs& a, std::size_t i) { return a.optional_real(i); }
};
template <>
struct Arg<std::vector<std::string>> {
    static std::vector<std::string> get(const BoundArgs& a, std::size_t i) { return a.str_sequence(i); }
};
template <class E>
struct Arg<E, std::enable_if_t<std::is_enum_v<E>>> {
    static E get(const BoundArgs& a, std::size_t i) { return enum_arg<E>(a, i, enum_id_of<E>); }
};

template <class T>
Ref to_py(const ModuleState& state, const T& value) {
    if constexpr (std::is_same_v<T, Ref>) return value;
    else if constexpr (requires { RecordType<T>::id; })
        return result::instance<Wrapped<T>>(state, RecordType<T>::id, value);
    else if constexpr (std::is_same_v<T, bool>) return result::boolean(value);
    else if constexpr (std::is_enum_v<T>) return result::member(state, enum_id_of<T>, value);
    else if constexpr (std::is_integral_v<T>) return result::integer(value);
    else if constexpr (std::is_same_v<T, double>) return result::real(value);
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
template <class R, class... P>
struct Callable<R (*)(P...)> {
    using Result = R;
    using Params = std::tuple<std::remove_cvref_t<P>...>;
};
template <class R, class... P>
struct Callable<R (*)(P...) noexcept> : Callable<R (*)(P...)> {};
template <class C, class R, class... P>
struct Callable<R (C::*)(P...)> : Callable<R (*)(P...)> {};
template <class C, class R, class... P>
struct Callable<R (C::*)(P...) const> : Callable<R (*)(P...)> {};
template <class C, class R, class... P>
struct Callable<R (C::*)(P...) noexcept> : Callable<R (*)(P...)> {};
template <class C, class R, class... P>
struct Callable<R (C::*)(P...) const noexcept> : Callable<R (*)(P...)> {};

template <auto Fn, class Call, std::size_t... I>
Ref invoke(const BoundArgs& a, Call&& call, std::index_sequence<I...>) {
    using Params = typename Callable<decltype(Fn)>::Params;
    // A braced initialiser runs its elements in order: the first bad argument is the one reported.
    Params values{Arg<std::tuple_element_t<I, Params>>::get(a, I)...};
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

template <auto Fn, class T>
Ref call_member(T& object, const BoundArgs& a) {
    return invoke<Fn>(a, [&](auto&... v) -> decltype(auto) { return (object.*Fn)(v...); },
                      std::make_index_sequence<arity<Fn>>{});
}

template <auto Fn>
Ref call_free(const BoundArgs& a) {
    return invoke<Fn>(a, [](auto&... v) -> decltype(auto) { return Fn(v...); },
                      std::make_index_sequence<arity<Fn>>{});
}

template <auto Member, class T>
Ref read_member(const T& object, ModuleState& state) {
    return to_py(state, std::invoke(Member, object));
}

}  // namespace typed

template <class Object>
using CoreOf = std::remove_reference_t<decltype(Object::of(nullptr))>;

template <class Object, Access A, auto Fn>
PyMethodDef core_method(const char* owner, const char* doc) {
    return method<Object, A, &typed::call_member<Fn, CoreOf<Object>>>(owner, doc);
}

template <auto Fn>
PyMethodDef core_function(const char* doc) {
    return function<&typed::call_free<Fn>>(doc);
}

template <class Object, Access A, auto Body>
PyGetSetDef getter(const char* name, const char* doc) noexcept {
    return {name, &getter_entry<Object, A, Body>, nullptr, doc, nullptr};
}

// A getter of a data member, or of a const member function without arguments.
template <class Object, Access A, auto Member>
PyGetSetDef member_getter(const char* name, const char* doc) noexcept {
    return getter<Object, A, &typed::read_member<Member, CoreOf<Object>>>(name, doc);
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

// Table helpers

#include <algorithm>
#include <initializer_list>

namespace orvu::py {

// What every class of the module is: immutable like a built-in type
// (assigning or deleting a class attribute raises TypeError), and tracked by
// the collector together with its instances.
constexpr unsigned kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC;

// Makes the module's class `name` (a string literal "orvu_sdk_core.X": the
// type keeps pointing at it), whose instances are `Object`s. Adds the doc,
// the dealloc and traverse slots (unless `slots` brings its own), the flags
// every class has, and the sentinel.
template <class Object>
Ref wrapped_class(PyObject* module, const char* name, const char* doc, std::initializer_list<PyType_Slot> slots,
                  unsigned flags = Py_TPFLAGS_DEFAULT) {
    std::vector<PyType_Slot> all{{Py_tp_doc, const_cast<char*>(doc)}};
    all.insert(all.end(), slots);
    auto has = [&](int slot) {
        return std::any_of(all.begin(), all.end(), [&](const PyType_Slot& s) { return s.slot == slot; });
    };
    if (!has(Py_tp_dealloc)) all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&Object::dealloc)});
    if (!has(Py_tp_traverse)) all.push_back({Py_tp_traverse, reinterpret_cast<void*>(&Object::traverse)});
    all.push_back({0, nullptr});
    PyType_Spec spec{name, static_cast<int>(sizeof(Object)), 0, flags | kClassFlags, all.data()};
    return make_type(module, &spec);
}

// A read-only record built only by the module: no constructor from Python.
constexpr unsigned kRecordFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;

}  // namespace orvu::py

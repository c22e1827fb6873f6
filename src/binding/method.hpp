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
// A method is a Signature, a body and a table row. From session.cpp:
//
//   const Signature kBeginAttempt{"Session.begin_attempt", {"now_s"}, 1, 1};
//   Ref begin_attempt(core::Session& session, const BoundArgs& a) {
//       const double now_s = unwrap(core::check_time("now_s", a.real(0)));
//       return result::optional(session.begin_attempt(now_s), result::integer<std::uint64_t>);
//   }
//   PyMethodDef methods[] = {
//       method<SessionObject, kBeginAttempt, Access::Exclusive, &begin_attempt>("begin_attempt", "doc"),
//       ...
//
// Module functions: `function<kSig, &body>("name", "doc")` with
// `Ref body(const BoundArgs& a)`; `a.state()` is the module's state.
// Static methods: `static_method<kSig, &body>("name", "doc")`, same body,
// added by the class factory with `add_static_method`.
// Constructors: `{Py_tp_new, constructor<kSig, &body>()}` with
// `Ref body(PyTypeObject* type, const BoundArgs& a)`.
// Getters: `getter<Object, Access::Shared, &body>("name", "doc")` with
// `Ref body(const T& core, ModuleState& state)`.
#pragma once

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/object.hpp"
#include "binding/refusal.hpp"
#include "binding/result.hpp"

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

template <class Object, const Signature& Sig, Access A, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        const BoundArgs bound = bind(Sig, args, nargs, kwnames, &state_of(self));
        Guard<A> guard(Object::cast(self)->access);
        return Body(Object::of(self), bound);
    });
}

template <const Signature& Sig, auto Body>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return Body(bind(Sig, args, nargs, kwnames, &module_state(module))); });
}

// A static method receives its class as `self`: add it to the class with
// `add_static_method` after the class is made (a METH_STATIC entry of
// tp_methods would receive NULL and could not find the module's state).
template <const Signature& Sig, auto Body>
PyObject* static_entry(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        return Body(bind(Sig, args, nargs, kwnames, &state_of_type(reinterpret_cast<PyTypeObject*>(type))));
    });
}

template <const Signature& Sig, auto Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return Body(type, bind(Sig, args, kwargs, &state_of_type(type))); });
}

template <class Object, Access A, auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return guarded([&] {
        Guard<A> guard(Object::cast(self)->access);
        return Body(Object::of(self), state_of(self));
    });
}

// Table rows.
template <class Object, const Signature& Sig, Access A, auto Body>
PyMethodDef method(const char* name, const char* doc) noexcept {
    return {name, fastcall(&method_entry<Object, Sig, A, Body>), kFastCall, doc};
}

template <const Signature& Sig, auto Body>
PyMethodDef function(const char* name, const char* doc) noexcept {
    return {name, fastcall(&function_entry<Sig, Body>), kFastCall, doc};
}

template <const Signature& Sig, auto Body>
PyMethodDef static_method(const char* name, const char* doc) noexcept {
    return {name, fastcall(&static_entry<Sig, Body>), kFastCall, doc};
}

// Sets `def` on `type` as a staticmethod whose builtin is bound to `type`.
void add_static_method(PyObject* type, PyMethodDef* def);

template <const Signature& Sig, auto Body>
void* constructor() noexcept {
    return reinterpret_cast<void*>(&constructor_entry<Sig, Body>);
}

template <class Object, Access A, auto Body>
PyGetSetDef getter(const char* name, const char* doc) noexcept {
    return {name, &getter_entry<Object, A, Body>, nullptr, doc, nullptr};
}

}  // namespace orvu::py

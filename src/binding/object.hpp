// Python objects that own one core C++ object, and the helpers to define
// their classes from type specs.
//
//   struct SessionObject : Wrapped<core::Session> {};
//   ... Wrapped<T>::create(type, std::make_unique<T>(...))
//
// The core object is owned by a unique_ptr and destroyed in dealloc, which
// also drops the instance's reference to its heap type.
#pragma once

#include "binding/access.hpp"
#include "binding/handle.hpp"

#include <new>

#include <memory>
#include <string>

namespace orvu::py {

template <class T>
struct Wrapped {
    PyObject_HEAD
    T* core;
    AccessFlag access;

    static Wrapped* cast(PyObject* obj) noexcept { return reinterpret_cast<Wrapped*>(obj); }
    static T& of(PyObject* obj) noexcept { return *cast(obj)->core; }

    // Allocates an instance of `type` that takes ownership of `value`.
    static Ref create(PyTypeObject* type, std::unique_ptr<T> value) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Ref obj = Ref::check(alloc(type, 0));
        Wrapped* self = cast(obj.get());
        self->core = value.release();
        new (&self->access) AccessFlag();
        return obj;
    }

    // tp_dealloc for non-GC types.
    static void dealloc(PyObject* obj) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        delete cast(obj)->core;
        cast(obj)->core = nullptr;
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(obj);
        Py_DECREF(type);
    }
};

// Creates a heap type from `spec` with `orvu_sdk_core` as its module.
Ref make_type(PyObject* module, PyType_Spec* spec);

}  // namespace orvu::py

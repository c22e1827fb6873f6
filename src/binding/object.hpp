// Python objects that own one core C++ object, and the helpers to define
// their classes from type specs.
//
//   struct SessionObject : Wrapped<core::Session> {};
//   ... Wrapped<T>::create(type, std::make_unique<T>(...))
//
// The core object lives inside the Python object's own memory (no second
// allocation) and is destroyed in dealloc, which also drops the instance's
// reference to its heap type.
#pragma once

#include "binding/access.hpp"
#include "binding/handle.hpp"

#include <memory>
#include <new>
#include <string>

namespace orvu::py {

template <class T>
struct Wrapped {
    PyObject_HEAD
    AccessFlag access;
    bool alive;  // the value was built (zeroed memory: false)
    alignas(T) unsigned char storage[sizeof(T)];

    static Wrapped* cast(PyObject* obj) noexcept { return reinterpret_cast<Wrapped*>(obj); }
    static T& of(PyObject* obj) noexcept { return *std::launder(reinterpret_cast<T*>(cast(obj)->storage)); }

    // Allocates an instance of `type` holding `value`. If moving the value in
    // throws, the object is released with nothing to destroy.
    static Ref create(PyTypeObject* type, T&& value) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        Ref obj = Ref::check(alloc(type, 0));
        Wrapped* self = cast(obj.get());
        new (&self->access) AccessFlag();
        new (self->storage) T(std::move(value));
        self->alive = true;
        return obj;
    }
    static Ref create(PyTypeObject* type, const T& value) { return create(type, T(value)); }
    static Ref create(PyTypeObject* type, std::unique_ptr<T> value) { return create(type, std::move(*value)); }

    // tp_dealloc for non-GC types.
    static void dealloc(PyObject* obj) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (cast(obj)->alive) {
            cast(obj)->alive = false;
            of(obj).~T();
        }
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(obj);
        Py_DECREF(type);
    }
};

// Creates a heap type from `spec` with `orvu_sdk_core` as its module.
Ref make_type(PyObject* module, PyType_Spec* spec);

}  // namespace orvu::py

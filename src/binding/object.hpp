// Python objects that own one core C++ object, and the helpers to define
// their classes from type specs.
//
//   struct SessionObject : Wrapped<core::Session> {};
//   ... Wrapped<T>::create(type, constructor arguments of T...)
//
// The core object lives inside the Python object's own memory (no second
// allocation) and is destroyed in dealloc, which also drops the instance's
// reference to its heap type.
#pragma once

#include "binding/access.hpp"
#include "binding/handle.hpp"

#include <new>
#include <string>
#include <utility>

namespace orvu::py {

struct ModuleState;

// Every instance is tracked by the collector: it holds its class, the class
// holds its module, and the module's dict may hold the instance
// (`module.spare = module.RetryTracker()`), a cycle that only the collector
// can find. tp_traverse visits the class, as every instance of a heap type must.
inline int traverse_class(PyObject* obj, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(obj));
    return 0;
}
// A new instance of `type`, zeroed (every class keeps the generic tp_alloc).
inline Ref alloc_instance(PyTypeObject* type) { return Ref::check(PyType_GenericAlloc(type, 0)); }
// The end of every dealloc: the memory freed as the collector's tp_free
// frees it, then the instance's reference to its class dropped.
inline void free_instance(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    PyObject_GC_Del(obj);
    Py_DECREF(type);
}

template <class T>
struct Wrapped {
    PyObject_HEAD
    AccessFlag access;
    bool alive;  // the value was built (zeroed memory: false)
    // The state of the module whose class this object is, looked up once:
    // the object keeps its class alive, and the class its module.
    ModuleState* state;
    alignas(T) unsigned char storage[sizeof(T)];

    static Wrapped* cast(PyObject* obj) noexcept { return reinterpret_cast<Wrapped*>(obj); }
    static T& of(PyObject* obj) noexcept { return *std::launder(reinterpret_cast<T*>(cast(obj)->storage)); }

    // Allocates an instance of `type` whose value is built in place from
    // `args`. If building it throws, the object is released with nothing to
    // destroy.
    template <class... Args>
    static Ref create(PyTypeObject* type, Args&&... args) {
        Ref obj = alloc_instance(type);
        Wrapped* self = cast(obj.get());
        new (&self->access) AccessFlag();
        self->state = static_cast<ModuleState*>(PyType_GetModuleState(type));
        new (self->storage) T(std::forward<Args>(args)...);
        self->alive = true;
        return obj;
    }

    static void dealloc(PyObject* obj) noexcept {
        PyObject_GC_UnTrack(obj);
        if (cast(obj)->alive) {
            cast(obj)->alive = false;
            of(obj).~T();
        }
        free_instance(obj);
    }
};

// Creates a heap type from `spec` with `orvu_sdk_core` as its module.
Ref make_type(PyObject* module, PyType_Spec* spec);

// Sets the class attribute `name` of `type`, a class that `make_type` has
// just created and that nothing else has seen yet (an enumeration's members,
// a static method); the definition says why this is sound.
void set_class_attribute(PyObject* type, const char* name, PyObject* value);

// `staticmethod(fn)`: how a builtin bound to the module becomes a static
// method of a class.
Ref static_method(const Ref& fn);

}  // namespace orvu::py

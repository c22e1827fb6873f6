// Ref: an owned reference to a Python object. Ordinary code never calls
// Py_INCREF/Py_DECREF by hand; it holds Refs and moves them around.
#pragma once

#include "binding/python.hpp"

#include <utility>

namespace orvu::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(obj_); }

    Ref(const Ref& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    // Takes over a new reference from an API call; null means a Python error
    // is set, which is thrown as PythonError.
    static Ref check(PyObject* obj);

    PyObject* get() const noexcept { return obj_; }
    // Gives up ownership to the caller (the interpreter, usually).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// New references to the singletons.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace orvu::py

// Errors across the binding: C++ code signals "a Python exception is set" by
// throwing PythonError; every entry point runs its body through `guarded`,
// which turns that (and any C++ exception) into a NULL return with the
// Python error set. No C++ exception ever reaches the interpreter.
#pragma once

#include "binding/handle.hpp"

#include <new>
#include <string>
#include <string_view>

namespace orvu::py {

struct PythonError {};

// A Python exception is already set.
[[noreturn]] void throw_error();
// Sets `type` with `message` and throws.
[[noreturn]] void raise(PyObject* type, std::string_view message);
[[noreturn]] inline void raise_type_error(std::string_view m) { raise(PyExc_TypeError, m); }
[[noreturn]] inline void raise_overflow_error(std::string_view m) { raise(PyExc_OverflowError, m); }
[[noreturn]] inline void raise_runtime_error(std::string_view m) { raise(PyExc_RuntimeError, m); }

// Sets the pending C++ exception as a Python error (called from catch blocks).
void set_error_from_current_exception() noexcept;

inline Ref Ref::check(PyObject* obj) {
    if (!obj) throw_error();
    return Ref(obj);
}

// Runs `body` (returning Ref) and hands its result to the interpreter, or
// NULL with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Same for slots returning int (0 ok / -1 error).
template <class Body>
int guarded_int(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

}  // namespace orvu::py

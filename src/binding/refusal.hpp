// The one place where a core refusal becomes a Python exception.
#pragma once

#include "binding/errors.hpp"
#include "core/refusal.hpp"

namespace orvu::py {

// Value -> ValueError(text); Type -> TypeError(text); Validation -> the
// validation ValueError: message "{n} validation issue(s)[: {msg} ({path})]",
// `.issues` a tuple of (path, code, message) and `.trace_context` the given
// object (None or the caller's str), passed back untouched.
[[noreturn]] void raise_refusal(const core::Refusal& refusal, PyObject* trace_context = nullptr);
// The same exception set without a throw (which costs more): the null result a body returns.
Ref refused(const core::Refusal& refusal, PyObject* trace_context);

// The value of `outcome`, or its refusal raised.
template <class T>
T unwrap(core::Outcome<T>&& outcome, PyObject* trace_context = nullptr) {
    if (!outcome.ok()) raise_refusal(outcome.refusal(), trace_context);
    return std::move(outcome).value();
}

}  // namespace orvu::py

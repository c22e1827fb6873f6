// The registration table walked by the module's exec step.
#pragma once

#include "binding/registry.hpp"
#include "binding/state.hpp"

#include <span>

namespace orvu::py {

struct ClassEntry {
    const char* name;
    TypeId id;
    TypeFactory make;
};

struct FunctionEntry {
    const char* name;
    PyMethodDef* (*def)();
};

// Classes in registration order (the order of TypeId), then functions.
std::span<const ClassEntry> class_table() noexcept;
std::span<const FunctionEntry> function_table() noexcept;

}  // namespace orvu::py

// How binding units contribute classes and functions to the module.
//
// Each unit declares, at namespace scope,
//   static const ClassRegistration reg{"Session", &create_session_type};
//   static const FunctionRegistration fn{&classify_close_def};
// and the module's init walks its fixed registration order, creating each
// contributed class and function, appending the name to `__all__` and then
// setting the attribute.
#pragma once

#include "binding/handle.hpp"

#include <functional>

namespace orvu::py {

using TypeFactory = std::function<Ref(PyObject* module)>;

struct ClassRegistration {
    ClassRegistration(const char* name, TypeFactory factory);
};

struct FunctionRegistration {
    explicit FunctionRegistration(PyMethodDef* def);
};

// Used by the module init.
const TypeFactory* find_class_factory(const char* name);
PyMethodDef* find_function(const char* name);

}  // namespace orvu::py

// Python values to and from the JSON-like core value.
#pragma once

#include "binding/handle.hpp"
#include "binding/state.hpp"
#include "core/json.hpp"

namespace orvu::py {

// Deepest nesting of arrays and objects a payload may have.
inline constexpr int kMaxJsonDepth = 512;

// Converts in the fixed order None, bool, int, list/tuple, dict, str,
// bytes/bytearray (refused), float, set/frozenset, Sequence, Mapping (the
// abstract classes of the module's `state`). Every failure (including errors
// Python raises while the object is read) comes out as TypeError, thrown as
// PythonError.
core::JsonValue to_json(const ModuleState& state, PyObject* obj);

// null -> None, booleans, integers, floats, strings, arrays -> list,
// objects -> dict with keys in ascending order.
Ref from_json(const core::JsonValue& value);

}  // namespace orvu::py

// Python values to and from the JSON-like core value.
#pragma once

#include "binding/handle.hpp"
#include "binding/state.hpp"
#include "core/json.hpp"
#include "core/events.hpp"
#include "core/json_view.hpp"

#include <vector>

namespace orvu::py {

// Converts in the fixed order None, bool, int, list/tuple, dict, str,
// bytes/bytearray (refused), float, set/frozenset, Sequence, Mapping (the
// abstract classes of the module's `state`). Every failure (including errors
// Python raises while the object is read) comes out as TypeError, thrown as
// PythonError.
core::JsonValue to_json(const ModuleState& state, PyObject* obj);

// The objects a borrowing conversion reads text from, held for as long as
// the value that points into them is in use.
using Keepalive = std::vector<Ref>;

// The same conversion without copying text, for a value that is only looked
// into, never built back: the strings and keys of the value point into
// exact str objects, which `keep` holds, and `from_json` hands those objects
// back instead of new ones; the value must not outlive `keep`. A dict whose
// keys are all exact str keeps its members in the order read instead of
// sorting them (from_json still gives keys in order).
core::JsonValue to_json_for_lookup(const ModuleState& state, PyObject* obj, Keepalive& keep);

// The nodes of a payload read by `read_view` or `read_copy`.
using core::ViewNodes;

// A quick reading of the common shape of a payload: exact dicts with exact
// str keys, exact lists and tuples, exact str, int (within the 64-bit ranges
// to_json takes), exact float, bool and None, nested a few dozen levels at
// most. It reads what to_json reads, as views into the objects, or gives up
// (false, or a null Ref; no error set) on anything else, which the caller then
// hands to to_json to convert or report.
//
// read_view builds no Python object, so nothing can run between the reading
// and the use of the views: they stay valid while `obj` is not released.
bool read_view(PyObject* obj, ViewNodes& nodes);

// The same reading, building at the same time the value from_json gives for
// the value to_json reads (keys in order, str objects shared, tuples as
// lists, non-finite floats as None). The views point into objects the
// returned value holds.
Ref read_copy(PyObject* obj, ViewNodes& nodes);

// The copy read_copy made, changed as `edits` (of the nodes it read) say, so
// that it is what from_json gives for the normalised payload: a member added
// goes where key order puts it, which rebuilds its dict.
Ref apply_edits(Ref copy, const ViewNodes& nodes, const std::vector<core::PayloadEdit>& edits);

// null -> None, booleans, integers, floats, strings, arrays -> list,
// objects -> dict with keys in ascending order.
Ref from_json(const core::JsonValue& value);

}  // namespace orvu::py

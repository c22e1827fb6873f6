// Python values to and from the JSON-like core value, and payloads read in
// one walk that converts, checks and builds together.
#pragma once

#include "binding/handle.hpp"
#include "binding/state.hpp"
#include "core/delivery.hpp"
#include "core/events.hpp"
#include "core/json.hpp"

#include <optional>
#include <string_view>

namespace orvu::py {

// Converts in the fixed order None, bool, int, list/tuple, dict, str,
// bytes/bytearray (refused), float, set/frozenset, Sequence, Mapping (the
// abstract classes of the module's `state`). Every failure (including errors
// Python raises while the object is read) comes out as TypeError, thrown as
// PythonError.
core::JsonValue to_json(const ModuleState& state, PyObject* obj);

// The payload converted as to_json does and, for an event type with a
// schema, checked and normalised, built straight into Python values (the
// caller's exact str and number objects are shared, not copied): what
// from_json would give for the core's validation of to_json's value.
// Conversion failures raise as to_json's do; findings come back refused.
core::Outcome<Ref> validate_payload(const ModuleState& state, core::EventType type, PyObject* payload);

// The routing decision for the event, the payload read in the same walk.
core::Outcome<core::DeliveryDecision> route_payload(const ModuleState& state, std::string_view event_type,
                                                    std::optional<std::string_view> room_id, PyObject* payload,
                                                    std::string_view agent_id, bool& plain_keys);

// null -> None, booleans, integers, floats, strings, arrays -> list,
// objects -> dict with keys in ascending order.
Ref from_json(const core::JsonValue& value);

}  // namespace orvu::py

// Inbound event payloads: the field rules of every event type, kept as
// tables that one validator walks, and the normalisations applied on the way.
#pragma once

#include "core/enums.hpp"
#include "core/json.hpp"
#include "core/refusal.hpp"

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::core {

// The JSON shape a field must have.
enum class FieldType : std::uint8_t { String, Boolean, Array, Object };

// What a rule does beyond checking its field.
enum class FieldAction : std::uint8_t {
    Check,           // check only
    FillEmpty,       // absent or null becomes an empty array/object of the field's type
    DropNull,        // a null value is removed from the result
    RemoteFlags,     // `key` and `partner` are two optional booleans that stand in for each other
    CoerceBool,      // never an issue; anything but a boolean becomes false; always present
    CoerceInteger,   // never an issue; an integral value in the signed 64-bit range stays, anything else is null
};

struct FieldRule {
    std::string_view key;
    FieldType type = FieldType::String;
    bool required = false;
    bool nullable = false;
    FieldAction action = FieldAction::Check;
    std::span<const std::string_view> allowed{};  // non-empty: the value must be one of these, in this order
    std::span<const FieldRule> fields{};          // rules of a nested object, or of each object in an array
    std::string_view partner{};                   // second key of a RemoteFlags pair
};

// Rule builders, one per line of a schema table.
constexpr FieldRule required(std::string_view key, FieldType type = FieldType::String) {
    return {.key = key, .type = type, .required = true};
}
constexpr FieldRule required_nullable(std::string_view key, FieldType type = FieldType::String) {
    return {.key = key, .type = type, .required = true, .nullable = true};
}
constexpr FieldRule optional(std::string_view key, FieldType type = FieldType::String) {
    return {.key = key, .type = type};
}
constexpr FieldRule optional_nullable(std::string_view key, FieldType type = FieldType::String) {
    return {.key = key, .type = type, .nullable = true};
}
constexpr FieldRule one_of(std::string_view key, std::span<const std::string_view> allowed) {
    return {.key = key, .required = true, .allowed = allowed};
}
// Optional nullable container that defaults to empty; `fields` checks the
// object itself, or each element of an array (which must then be objects).
constexpr FieldRule defaulted(std::string_view key, FieldType type, std::span<const FieldRule> fields = {}) {
    return {.key = key, .type = type, .nullable = true, .action = FieldAction::FillEmpty, .fields = fields};
}
constexpr FieldRule optional_dropped_when_null(std::string_view key) {
    return {.key = key, .nullable = true, .action = FieldAction::DropNull};
}
constexpr FieldRule remote_flags(std::string_view key, std::string_view partner) {
    return {.key = key, .type = FieldType::Boolean, .nullable = true, .action = FieldAction::RemoteFlags,
            .partner = partner};
}
constexpr FieldRule coerced_flag(std::string_view key) {
    return {.key = key, .type = FieldType::Boolean, .action = FieldAction::CoerceBool};
}
constexpr FieldRule coerced_integer(std::string_view key) {
    return {.key = key, .action = FieldAction::CoerceInteger};
}

// The most rules one object has (a pair counts once), and the deepest
// nesting of objects and arrays of objects that rules descend into.
inline constexpr std::size_t kMaxRulesPerObject = 10;
inline constexpr std::size_t kMaxRuleNesting = 2;

// The JSON type name of a field type, as findings spell it.
std::string_view field_type_name(FieldType type) noexcept;

// The rules of one event type; `checked` is false for event types whose
// payload is passed through as any JSON value.
struct EventSchema {
    bool checked = true;
    std::span<const FieldRule> fields{};
};

const EventSchema& event_schema(EventType type) noexcept;

// Exact, case-sensitive lookup of an event's wire name.
std::optional<EventType> event_type_from_wire(std::string_view name) noexcept;

// The event type named `name`; an unknown name is refused with the single
// issue "unknown event type `{name}`" at `event_type`.
Outcome<EventType> event_type_named(std::string_view name);

// Checks `payload` against the schema of `type` and normalises it; refused
// with every finding, in check order. Extra keys are kept.
Outcome<JsonValue> validate_event_payload(EventType type, const JsonValue& payload);

}  // namespace orvu::core

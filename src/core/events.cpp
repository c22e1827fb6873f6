#include "core/events.hpp"

#include "core/payload_walk.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace orvu::core {
namespace {

using FT = FieldType;

// ---------------------------------------------------------------------------
// The schemas. Each line is one field, checked in table order.

constexpr FieldRule kMentionFields[] = {
    required("id"),
    optional_nullable("username"),
    optional_nullable("handle"),
    optional_nullable("name"),
};

constexpr FieldRule kMetadataFields[] = {
    defaulted("mentions", FT::Array, kMentionFields),
};

constexpr FieldRule kMessageFields[] = {
    required("id"),
    required("content"),
    required("message_type"),
    required("sender_type"),
    required("sender_id"),
    required("inserted_at"),
    required("updated_at"),
    optional_nullable("sender_name"),
    defaulted("metadata", FT::Object, kMetadataFields),
    defaulted("attachments", FT::Array),
};

constexpr FieldRule kRoomFields[] = {
    required("id"),
    required("inserted_at"),
    required("updated_at"),
    optional_nullable("title"),
    optional_nullable("task_id"),
};

constexpr FieldRule kIdOnlyFields[] = {
    required("id"),
};

constexpr FieldRule kParticipantFields[] = {
    required("id"),
    required("type"),
    required("name"),
    optional("handle"),
    optional_nullable("description"),
    remote_flags("is_remote", "is_external"),
};

constexpr FieldRule kContactAddedFields[] = {
    required("id"),
    required("type"),
    required("inserted_at"),
    required_nullable("handle"),
    required_nullable("name"),
    optional("description"),
    optional("listed_in_directory", FT::Boolean),
    optional("tags", FT::Array),
    remote_flags("is_remote", "is_external"),
};

constexpr FieldRule kContactRequestUpdatedFields[] = {
    required("id"),
    required("status"),
};

constexpr FieldRule kContactRequestReceivedFields[] = {
    required("id"),
    required("status"),
    required("inserted_at"),
    optional_dropped_when_null("from_handle"),
    optional_dropped_when_null("from_name"),
    optional_dropped_when_null("message"),
};

constexpr FieldRule kSupersedeFields[] = {
    required("reason"),
    required("message"),
    optional_nullable("target_socket_id"),
    required_nullable("correlation_id"),
    coerced_flag("retryable"),
    coerced_integer("retry_after"),
};

constexpr std::string_view kControlModes[] = {"interrupt", "stop", "play"};
constexpr std::string_view kControlScopes[] = {"agent", "room"};

constexpr FieldRule kAgentControlFields[] = {
    one_of("mode", kControlModes),
    one_of("scope", kControlScopes),
    required("agent_id"),
    required("correlation_id"),
    required_nullable("execution_id"),
    required_nullable("room_id"),
    optional("reason"),
    optional("type"),
};

struct SchemaEntry {
    EventType type;
    EventSchema schema;
};

// In EventType order; types that share a schema share its table.
constexpr SchemaEntry kSchemas[] = {
    {EventType::MessageCreated, {.fields = kMessageFields}},
    {EventType::MessageUpdated, {.fields = kMessageFields}},
    {EventType::RoomAdded, {.fields = kRoomFields}},
    {EventType::RoomRemoved, {.fields = kRoomFields}},
    {EventType::RoomDeleted, {.fields = kIdOnlyFields}},
    {EventType::ParticipantAdded, {.fields = kParticipantFields}},
    {EventType::ParticipantRemoved, {.fields = kParticipantFields}},
    {EventType::ContactRequestReceived, {.fields = kContactRequestReceivedFields}},
    {EventType::ContactRequestUpdated, {.fields = kContactRequestUpdatedFields}},
    {EventType::ContactAdded, {.fields = kContactAddedFields}},
    {EventType::ContactRemoved, {.fields = kIdOnlyFields}},
    {EventType::Supersede, {.fields = kSupersedeFields}},
    {EventType::AgentControl, {.fields = kAgentControlFields}},
    {EventType::EventCreated, {.checked = false}},
};

constexpr bool schemas_in_event_order() {
    for (std::size_t i = 0; i < std::size(kSchemas); ++i) {
        if (index_of(kSchemas[i].type) != i) return false;
    }
    return std::size(kSchemas) == index_of(EventType::EventCreated) + 1;
}
static_assert(schemas_in_event_order(), "one schema entry per event type, in EventType order");

// How deep rules descend: objects, and arrays of objects, with rules of their own.
constexpr std::size_t nesting(std::span<const FieldRule> rules) {
    std::size_t deepest = 0;
    for (const FieldRule& rule : rules) {
        if (!rule.fields.empty()) deepest = std::max(deepest, 1 + nesting(rule.fields));
    }
    return deepest;
}

constexpr bool walk_has_room() {
    for (const SchemaEntry& entry : kSchemas) {
        if (entry.schema.fields.size() > kMaxRulesPerObject || nesting(entry.schema.fields) > kMaxRuleNesting) {
            return false;
        }
    }
    return std::size(kMetadataFields) <= kMaxRulesPerObject && std::size(kMentionFields) <= kMaxRulesPerObject;
}
static_assert(walk_has_room(), "the walk keeps a fixed number of rule slots and nesting steps");

}  // namespace

const EventSchema& event_schema(EventType type) noexcept { return kSchemas[index_of(type)].schema; }

std::optional<EventType> event_type_from_wire(std::string_view name) noexcept {
    auto index = enum_index_from_wire(EnumId::EventType, name);
    if (!index) return std::nullopt;
    return static_cast<EventType>(*index);
}

Outcome<EventType> event_type_named(std::string_view name) {
    if (auto type = event_type_from_wire(name)) return *type;
    Issues issues;
    add_issue(issues, "event_type", IssueCode::InvalidValue, "unknown event type `" + std::string(name) + "`");
    return Refusal::validation(std::move(issues));
}

Outcome<JsonValue> validate_event_payload(EventType type, const JsonValue& payload) {
    JsonReader reader;
    JsonBuilder builder;
    return PayloadWalk(reader, builder).run(&payload, event_schema(type));
}

std::string_view field_type_name(FieldType type) noexcept {
    switch (type) {
        case FieldType::String: return "string";
        case FieldType::Boolean: return "boolean";
        case FieldType::Array: return "array";
        case FieldType::Object: return "object";
    }
    return "string";
}

// Integral numbers within the signed 64-bit range survive; everything else
// becomes null.
JsonValue coerced_integer(const JsonValue& number) {
    constexpr double kLow = -9223372036854775808.0;   // -2^63, exact in a double
    constexpr double kHigh = 9223372036854775808.0;   // 2^63, exact in a double
    switch (number.kind()) {
        case JsonValue::Kind::UInt:
            if (number.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return number;
            }
            return JsonValue::null();
        case JsonValue::Kind::Int: return number;
        case JsonValue::Kind::Float: {
            const double d = number.as_float();
            if (d >= kLow && d < kHigh && d == std::trunc(d)) return JsonValue::integer(static_cast<std::int64_t>(d));
            return JsonValue::null();
        }
        default: return JsonValue::null();
    }
}

void order_findings(Issues& issues, std::size_t first,
                    std::span<const std::pair<std::uint32_t, std::uint32_t>> ranges) {
    // Mostly the findings came in slot order already: nothing to move.
    std::size_t next = first;
    bool in_order = true;
    for (const auto& [begin, end] : ranges) {
        if (begin == end) continue;
        in_order = in_order && begin == next;
        next = end;
    }
    if (in_order && next == issues.size()) return;
    Issues ordered;
    ordered.reserve(issues.size() - first);
    for (const auto& [begin, end] : ranges) {
        for (std::uint32_t i = begin; i < end; ++i) ordered.push_back(std::move(issues[i]));
    }
    issues.erase(issues.begin() + static_cast<std::ptrdiff_t>(first), issues.end());
    std::move(ordered.begin(), ordered.end(), std::back_inserter(issues));
}

}  // namespace orvu::core

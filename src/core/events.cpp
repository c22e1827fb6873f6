#include "core/events.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Keeps a rarely taken path out of the function that calls it.
#if defined(__GNUC__) || defined(__clang__)
#define ORVU_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ORVU_NOINLINE __declspec(noinline)
#else
#define ORVU_NOINLINE
#endif

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

// The deepest nesting of rule tables: the walker keeps its path in that many steps.
constexpr std::size_t nesting(std::span<const FieldRule> rules) {
    std::size_t deepest = 0;
    for (const FieldRule& rule : rules) {
        if (!rule.fields.empty()) deepest = std::max(deepest, 1 + nesting(rule.fields));
    }
    return deepest;
}

constexpr std::size_t deepest_schema() {
    std::size_t deepest = 0;
    for (const SchemaEntry& entry : kSchemas) deepest = std::max(deepest, nesting(entry.schema.fields));
    return deepest;
}

constexpr std::size_t kMaxNesting = deepest_schema();

// ---------------------------------------------------------------------------
// The walker.

std::string_view type_name(FieldType type) noexcept {
    switch (type) {
        case FieldType::String: return "string";
        case FieldType::Boolean: return "boolean";
        case FieldType::Array: return "array";
        case FieldType::Object: return "object";
    }
    return "string";
}

template <class Node>
bool has_type(const Node& value, FieldType type) noexcept {
    switch (type) {
        case FieldType::String: return value.is_string();
        case FieldType::Boolean: return value.is_bool();
        case FieldType::Array: return value.is_array();
        case FieldType::Object: return value.is_object();
    }
    return false;
}

JsonValue empty_of(FieldType type) {
    return type == FieldType::Object ? JsonValue::object() : JsonValue::array();
}

const JsonView& empty_view_of(FieldType type) noexcept {
    return type == FieldType::Object ? JsonView::empty_object() : JsonView::empty_array();
}

bool is_allowed(const FieldRule& rule, std::string_view text) noexcept {
    for (std::string_view allowed : rule.allowed) {
        if (allowed == text) return true;
    }
    return false;
}

// Integral numbers within the signed 64-bit range survive; everything else
// becomes null.
template <class Node>
JsonValue coerced_integer_value(const Node& value) {
    constexpr double kLow = -9223372036854775808.0;   // -2^63, exact in a double
    constexpr double kHigh = 9223372036854775808.0;   // 2^63, exact in a double
    switch (value.kind()) {
        case JsonValue::Kind::UInt:
            if (value.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return JsonValue::uint(value.as_uint());
            }
            return JsonValue::null();
        case JsonValue::Kind::Int: return JsonValue::integer(value.as_int());
        case JsonValue::Kind::Float: {
            double d = value.as_float();
            if (d >= kLow && d < kHigh && d == std::trunc(d)) return JsonValue::integer(static_cast<std::int64_t>(d));
            return JsonValue::null();
        }
        default: return JsonValue::null();
    }
}

// Whether coerced_integer_value gives back the value as it is (a float
// always changes: it becomes an integer or null).
bool integer_kept(const JsonView& value) noexcept {
    switch (value.kind()) {
        case JsonValue::Kind::UInt:
            return value.as_uint() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        case JsonValue::Kind::Int:
        case JsonValue::Kind::Null: return true;
        default: return false;
    }
}

// The one walk of the rules. `Node` is JsonValue, which is normalised in
// place, or const JsonView, which is only looked at: there every
// normalisation that would change the value sets `changed` instead, and a
// value it would fill in is read as an empty one. Both report the same
// issues in the same order.
template <class Node>
class Validator {
public:
    static constexpr bool kInPlace = !std::is_const_v<Node>;

    Issues issues;
    bool changed = false;  // views only: normalising would change the payload
    std::vector<PayloadEdit>* edits = nullptr;  // views only: where to list the changes, if anywhere

    void check_object(Node& object, std::span<const FieldRule> rules) {
        const std::size_t outer = std::exchange(next_member_, 0);
        for (const FieldRule& rule : rules) apply(object, rule);
        next_member_ = outer;
    }

private:
    // Where the walk is: one step per object descended into, with the index
    // when that object is an array item. The text of a path is built only
    // for a finding.
    struct Step {
        std::string_view key;
        std::size_t index = 0;
        bool item = false;
    };
    std::array<Step, kMaxNesting> steps_{};
    std::size_t depth_ = 0;

    std::string path() const {
        std::string p;
        for (std::size_t i = 0; i < depth_; ++i) {
            if (i) p += '.';
            p += steps_[i].key;
            if (steps_[i].item) {
                p += '[';
                p += std::to_string(steps_[i].index);
                p += ']';
            }
        }
        return p;
    }

    std::string field_path(std::string_view key) const { return path_field(path(), key); }

    // Views: above zero while the walk is inside a value filled in, whose
    // own normalising its edit already holds.
    int filled_ = 0;

    // Views: notes that normalising changes member `key` of `object` (to
    // `value`; removed when empty).
    void note_change(const Node& object, std::string_view key, std::optional<JsonValue> value) {
        changed = true;
        if (edits && filled_ == 0) edits->push_back(PayloadEdit{&object, key, std::move(value)});
    }

    // Views: where the next lookup in the current object starts. Payloads
    // mostly list their fields in the order the rules name them, so a
    // lookup that starts after the previous match mostly matches at once.
    std::size_t next_member_ = 0;

    Node* find(Node& object, std::string_view key) {
        if constexpr (kInPlace) {
            return object.find(key);
        } else {
            return object.find_from(key, next_member_);
        }
    }

    void wrong_type(std::string_view key, FieldType type) { add_wrong_type(issues, field_path(key), type_name(type)); }

    void apply(Node& object, const FieldRule& rule) {
        switch (rule.action) {
            case FieldAction::RemoteFlags: return apply_remote_flags(object, rule);
            case FieldAction::CoerceBool: return apply_coerce_bool(object, rule);
            case FieldAction::CoerceInteger: return apply_coerce_integer(object, rule);
            case FieldAction::Check:
            case FieldAction::FillEmpty:
            case FieldAction::DropNull: break;
        }
        // Most fields are present with the right type and need nothing else:
        // that case is decided here, the rest in apply_field.
        Node* value = find(object, rule.key);
        if (value && rule.allowed.empty() && has_type(*value, rule.type)) {
            if (!rule.fields.empty()) descend(*value, rule);
            return;
        }
        apply_field(object, rule, value);
    }

    static JsonValue filled_value(const FieldRule& rule);

    // The field `rule.key` of `object`, absent or null, becomes an empty
    // value of the rule's type; returns it.
    Node* fill_empty(Node& object, Node* value, const FieldRule& rule) {
        if constexpr (kInPlace) {
            if (value) {
                *value = empty_of(rule.type);
                return value;
            }
            object.set(std::string(rule.key), empty_of(rule.type));
            return find(object, rule.key);
        } else {
            // The filled value is worked out only when it is listed.
            if (edits && filled_ == 0) {
                note_change(object, rule.key, filled_value(rule));
            } else {
                changed = true;
            }
            return &empty_view_of(rule.type);
        }
    }

    void set_flag(Node& object, std::string_view key, bool flag) {
        if constexpr (kInPlace) {
            object.set(std::string(key), JsonValue::boolean(flag));
        } else {
            note_change(object, key, JsonValue::boolean(flag));
        }
    }

    // `value` is the field's value as found (nullptr: absent).
    ORVU_NOINLINE void apply_field(Node& object, const FieldRule& rule, Node* value) {
        bool filled = false;
        if (!value) {
            if (rule.required) return add_missing(issues, field_path(rule.key));
            if (rule.action != FieldAction::FillEmpty) return;
            value = fill_empty(object, nullptr, rule);
            filled = true;
        } else if (value->is_null()) {
            if (!rule.nullable) return wrong_type(rule.key, rule.type);
            if (rule.action == FieldAction::DropNull) {
                if constexpr (kInPlace) {
                    object.erase(rule.key);
                } else {
                    note_change(object, rule.key, std::nullopt);
                }
                return;
            }
            if (rule.action != FieldAction::FillEmpty) return;
            value = fill_empty(object, value, rule);
            filled = true;
        } else if (!has_type(*value, rule.type)) {
            return wrong_type(rule.key, rule.type);
        } else if (!rule.allowed.empty() && !is_allowed(rule, value->as_string())) {
            std::vector<std::string_view> allowed(rule.allowed.begin(), rule.allowed.end());
            return add_not_one_of(issues, field_path(rule.key), allowed);
        }
        if (rule.fields.empty()) return;
        // The walk into a filled-in value still reports its findings.
        if (!kInPlace && filled) ++filled_;
        descend(*value, rule);
        if (!kInPlace && filled) --filled_;
    }

    // Nested rules: an object's own fields, or the fields of each object in an array.
    void descend(Node& value, const FieldRule& rule) {
        Step& step = steps_[depth_++];
        step = Step{rule.key};
        if (value.is_object()) {
            check_object(value, rule.fields);
        } else {
            auto&& items = value.as_array();
            step.item = true;
            for (std::size_t i = 0; i < items.size(); ++i) {
                step.index = i;
                if (items[i].is_object()) {
                    check_object(items[i], rule.fields);
                } else {
                    add_wrong_type(issues, path(), type_name(FieldType::Object));
                }
            }
        }
        --depth_;
    }

    // Two optional booleans naming the same fact: each is checked, then a
    // boolean on one side fills the other side when that has none.
    void apply_remote_flags(Node& object, const FieldRule& rule) {
        auto flag = [&](std::string_view key) -> std::optional<bool> {
            const Node* value = find(object, key);
            if (!value || value->is_null()) return std::nullopt;
            if (!value->is_bool()) {
                wrong_type(key, FieldType::Boolean);
                return std::nullopt;
            }
            return value->as_bool();
        };
        std::optional<bool> first = flag(rule.key);
        std::optional<bool> second = flag(rule.partner);
        if (second && !first) {
            set_flag(object, rule.key, *second);
        } else if (first && !second) {
            set_flag(object, rule.partner, *first);
        }
    }

    void apply_coerce_bool(Node& object, const FieldRule& rule) {
        Node* value = find(object, rule.key);
        if constexpr (kInPlace) {
            bool flag = value && value->is_bool() && value->as_bool();
            if (value) {
                *value = JsonValue::boolean(flag);
            } else {
                object.set(std::string(rule.key), JsonValue::boolean(false));
            }
        } else {
            if (!value || !value->is_bool()) note_change(object, rule.key, JsonValue::boolean(false));
        }
    }

    void apply_coerce_integer(Node& object, const FieldRule& rule) {
        Node* value = find(object, rule.key);
        if constexpr (kInPlace) {
            if (value) *value = coerced_integer_value(*value);
        } else {
            if (value && !integer_kept(*value)) note_change(object, rule.key, coerced_integer_value(*value));
        }
    }
};

// The value a field filled in gets: an empty container of its type,
// normalised by the field's own rules.
template <class Node>
JsonValue Validator<Node>::filled_value(const FieldRule& rule) {
    JsonValue value = empty_of(rule.type);
    if (value.is_object() && !rule.fields.empty()) Validator<JsonValue>().check_object(value, rule.fields);
    return value;
}

// The walk of a checked schema over either form of a payload; for a view,
// whether normalising would change it.
template <class Node>
Outcome<bool> walk_payload(const EventSchema& schema, Node& payload, std::vector<PayloadEdit>* edits = nullptr) {
    if (!payload.is_object()) {
        Issues issues;
        add_issue(issues, "", IssueCode::WrongType, "payload must be a JSON object");
        return Refusal::validation(std::move(issues));
    }
    Validator<Node> validator;
    validator.edits = edits;
    validator.check_object(payload, schema.fields);
    if (!validator.issues.empty()) return Refusal::validation(std::move(validator.issues));
    return validator.changed;
}

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

Outcome<JsonValue> validate_event_payload(EventType type, JsonValue payload) {
    const EventSchema& schema = event_schema(type);
    if (!schema.checked) return payload;
    Outcome<bool> walked = walk_payload(schema, payload);
    if (!walked.ok()) return walked.refusal();
    return payload;
}

Outcome<bool> check_event_payload(EventType type, const JsonView& payload, std::vector<PayloadEdit>* edits) {
    const EventSchema& schema = event_schema(type);
    if (!schema.checked) return false;
    return walk_payload(schema, payload, edits);
}

std::vector<std::pair<std::size_t, const PayloadEdit*>> edits_innermost_first(const ViewNodes& nodes,
                                                                              const std::vector<PayloadEdit>& edits) {
    std::vector<std::pair<std::size_t, const PayloadEdit*>> order;
    order.reserve(edits.size());
    for (const PayloadEdit& edit : edits) order.emplace_back(nodes.index_of(edit.object), &edit);
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    return order;
}

}  // namespace orvu::core

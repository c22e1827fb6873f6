#include "core/delivery.hpp"

#include "core/events.hpp"

#include <initializer_list>
#include <utility>

namespace orvu::core {
namespace {

using RF = RouteField;

constexpr RouteField kInvocationFields[] = {RF::RoomId, RF::MessageId, RF::SenderId, RF::SenderType};
constexpr RouteField kSkipSelfFields[] = {RF::RoomId, RF::MessageId};
constexpr RouteField kCleanupFields[] = {RF::RoomId};
constexpr RouteField kIgnoredFields[] = {RF::EventType};

// Indexed by Route.
constexpr RouteShape kRouteShapes[] = {
    {"invocation", kInvocationFields},
    {"skip_self", kSkipSelfFields},
    {"cleanup", kCleanupFields},
    {"ignored", kIgnoredFields},
};

Refusal one_issue(IssueCode code, std::string path, std::string message) {
    Issues issues;
    add_issue(issues, std::move(path), code, std::move(message));
    return Refusal::validation(std::move(issues));
}

// The room of an event: a non-empty envelope room wins; otherwise the
// payload's `key` must hold a non-empty string.
Outcome<std::string> resolve_room(std::optional<std::string_view> envelope, const NotedFields& payload,
                                  std::string_view key) {
    if (envelope && !envelope->empty()) return std::string(*envelope);
    const NotedField* value = payload.find(key);  // absent when the payload is no object
    if (value && value->is_string() && !value->as_string().empty()) return std::string(value->as_string());
    if (!value || value->is_null() || value->is_string()) {
        return one_issue(IssueCode::Missing, "room_id", "room_id is missing from both the envelope and the payload");
    }
    return one_issue(IssueCode::WrongType, "room_id",
                     "payload." + std::string(key) + " must be a string to serve as room_id");
}

// Moves the string fields of a checked message into their places. The
// message schema requires each of them, so a field that is not a string here
// would mean the schema and this reader disagree: it is refused the way the
// schema refuses it.
Outcome<> take_strings(const NotedFields& message,
                       std::initializer_list<std::pair<std::string_view, std::string*>> fields) {
    for (const auto& [key, out] : fields) {
        const NotedField* value = message.find(key);
        if (!value || !value->is_string()) {
            Issues issues;
            add_wrong_type(issues, std::string(key), json_type_name(JsonValue::Kind::String));
            return Refusal::validation(std::move(issues));
        }
        *out = value->as_string();
    }
    return accept();
}

// The decision for a message that passed its checks. Normalising a message
// never touches the fields routing reads (the ids, the sender type and the
// room), so they are read as they came.
Outcome<DeliveryDecision> route_checked_message(std::optional<std::string_view> envelope_room_id,
                                                const NotedFields& message, std::string_view agent_id) {
    DeliveryDecision d;
    Outcome<> read = take_strings(message, {{"id", &d.message_id}, {"sender_id", &d.sender_id},
                                            {"sender_type", &d.sender_type}});
    if (!read.ok()) return read.refusal();
    if (d.message_id.empty()) return one_issue(IssueCode::Missing, "id", "id must be a non-empty string");
    Outcome<std::string> room = resolve_room(envelope_room_id, message, "chat_room_id");
    if (!room.ok()) return room.refusal();
    d.room_id = std::move(room).value();
    d.route = is_self_echo(d.sender_id, d.sender_type, agent_id) ? Route::SkipSelf : Route::Invocation;
    return d;
}

}  // namespace

const RouteShape& route_shape(Route route) noexcept { return kRouteShapes[static_cast<std::size_t>(route)]; }

const std::string& DeliveryDecision::field(RouteField f) const noexcept {
    switch (f) {
        case RouteField::RoomId: return room_id;
        case RouteField::MessageId: return message_id;
        case RouteField::SenderId: return sender_id;
        case RouteField::SenderType: return sender_type;
        case RouteField::EventType: return event_type;
    }
    return event_type;
}

RouteReading route_reading(std::string_view event_type) noexcept {
    const std::optional<EventType> type = event_type_from_wire(event_type);
    RouteReading reading{.schema = event_schema(EventType::EventCreated)};  // read, not checked
    if (type == EventType::MessageCreated) {
        reading.schema = event_schema(EventType::MessageCreated);
        reading.keys = {"id", "sender_id", "sender_type", "chat_room_id"};
        reading.key_count = 4;
    } else if (type == EventType::RoomRemoved || type == EventType::RoomDeleted) {
        reading.keys = {"id"};
        reading.key_count = 1;  // cleanup needs only the room; no schema holds here
    }
    return reading;
}

Outcome<DeliveryDecision> decide_route(std::string_view event_type, std::optional<std::string_view> envelope_room_id,
                                       const NotedFields& fields, std::string_view agent_id) {
    const std::optional<EventType> type = event_type_from_wire(event_type);
    if (type == EventType::MessageCreated) return route_checked_message(envelope_room_id, fields, agent_id);
    DeliveryDecision d;
    if (type == EventType::RoomRemoved || type == EventType::RoomDeleted) {
        Outcome<std::string> room = resolve_room(envelope_room_id, fields, "id");
        if (!room.ok()) return room.refusal();
        d.route = Route::Cleanup;
        d.room_id = std::move(room).value();
        return d;
    }
    d.route = Route::Ignored;
    d.event_type = std::string(event_type);
    return d;
}

Outcome<DeliveryDecision> evaluate_delivery_event(std::string_view event_type,
                                                  std::optional<std::string_view> envelope_room_id,
                                                  const JsonValue& payload, std::string_view agent_id) {
    JsonReader reader;
    return evaluate_delivery_event(event_type, envelope_room_id, reader, &payload, agent_id);
}

}  // namespace orvu::core

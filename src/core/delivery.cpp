#include "core/delivery.hpp"

#include "core/events.hpp"

#include <stdexcept>

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

constexpr std::string_view kRouteFieldKeys[] = {"room_id", "message_id", "sender_id", "sender_type", "event_type"};

// The room of an event: a non-empty envelope room wins; otherwise the
// payload's `key` must hold a non-empty string.
std::optional<std::string> resolve_room(std::optional<std::string_view> envelope, const JsonValue& payload,
                                        std::string_view key, Issues& issues) {
    if (envelope && !envelope->empty()) return std::string(*envelope);
    const JsonValue* value = payload.find(key);  // null when the payload is no object
    if (value && value->is_string() && !value->as_string().empty()) return value->as_string();
    if (!value || value->is_null() || value->is_string()) {
        add_issue(issues, "room_id", IssueCode::Missing, "room_id is missing from both the envelope and the payload");
    } else {
        add_issue(issues, "room_id", IssueCode::WrongType,
                  "payload." + std::string(key) + " must be a string to serve as room_id");
    }
    return std::nullopt;
}

// A field the message schema has already required to be a string.
std::string& checked_string(JsonValue& payload, std::string_view key) {
    JsonValue* value = payload.find(key);
    if (!value || !value->is_string()) {
        throw std::logic_error("validate_event_payload guarantees this field is a present string");
    }
    return value->as_string();
}

DeliveryEvaluation route_message(std::optional<std::string_view> envelope_room_id, JsonValue payload,
                                 std::string_view agent_id) {
    ValidatedPayload checked = validate_event_payload(EventType::MessageCreated, std::move(payload));
    DeliveryEvaluation result;
    if (!checked.issues.empty()) {
        result.issues = std::move(checked.issues);
        return result;
    }
    JsonValue& message = checked.payload;
    std::string& id = checked_string(message, "id");
    if (id.empty()) {
        add_issue(result.issues, "id", IssueCode::Missing, "id must be a non-empty string");
        return result;
    }
    auto room = resolve_room(envelope_room_id, message, "chat_room_id", result.issues);
    if (!room) return result;
    DeliveryDecision& d = result.decision;
    d.room_id = std::move(*room);
    d.message_id = std::move(id);
    d.sender_id = std::move(checked_string(message, "sender_id"));
    d.sender_type = std::move(checked_string(message, "sender_type"));
    d.route = is_self_echo(d.sender_id, d.sender_type, agent_id) ? Route::SkipSelf : Route::Invocation;
    return result;
}

}  // namespace

const RouteShape& route_shape(Route route) noexcept { return kRouteShapes[static_cast<std::size_t>(route)]; }

std::string_view route_field_key(RouteField field) noexcept { return kRouteFieldKeys[static_cast<std::size_t>(field)]; }

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

DeliveryEvaluation evaluate_delivery_event(std::string_view event_type,
                                           std::optional<std::string_view> envelope_room_id,
                                           JsonValue payload, std::string_view agent_id) {
    const std::optional<EventType> type = event_type_from_wire(event_type);
    if (type == EventType::MessageCreated) return route_message(envelope_room_id, std::move(payload), agent_id);

    DeliveryEvaluation result;
    if (type == EventType::RoomRemoved || type == EventType::RoomDeleted) {
        // Cleanup needs only the room; the payload is not held to a schema here.
        auto room = resolve_room(envelope_room_id, payload, "id", result.issues);
        if (room) {
            result.decision.route = Route::Cleanup;
            result.decision.room_id = std::move(*room);
        }
        return result;
    }
    result.decision.route = Route::Ignored;
    result.decision.event_type = std::string(event_type);
    return result;
}

}  // namespace orvu::core

// Routing of inbound platform events: which events invoke the agent, which
// are the agent's own echo, which clean up after a room, which are ignored.
#pragma once

#include "core/json.hpp"
#include "core/payload_walk.hpp"
#include "core/refusal.hpp"
#include "core/self_echo.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvu::core {

enum class Route : std::uint8_t { Invocation, SkipSelf, Cleanup, Ignored };

// The values a routing decision carries besides the decision itself; each is
// reported under its name in snake case ("room_id", ..., "event_type").
enum class RouteField : std::uint8_t { RoomId, MessageId, SenderId, SenderType, EventType };

// One row of the decision table: the decision's wire string and the fields
// of its result, in output order.
struct RouteShape {
    std::string_view decision;
    std::span<const RouteField> fields;
};

const RouteShape& route_shape(Route route) noexcept;

struct DeliveryDecision {
    Route route = Route::Ignored;
    std::string room_id;
    std::string message_id;
    std::string sender_id;
    std::string sender_type;
    std::string event_type;

    const std::string& field(RouteField f) const noexcept;
};

// What routing reads of an event's payload: the schema it checks (message
// events only) and the top-level fields it reads.
struct RouteReading {
    EventSchema schema;
    std::array<std::string_view, 4> keys{};
    std::size_t key_count = 0;
};

RouteReading route_reading(std::string_view event_type) noexcept;

// The decision once the payload is read: `fields` are the ones the reading named.
Outcome<DeliveryDecision> decide_route(std::string_view event_type, std::optional<std::string_view> envelope_room_id,
                                       const NotedFields& fields, std::string_view agent_id);

// The routing decision for one event, or the validation issues that keep it
// from being made. `envelope_room_id` is the room of the channel the event
// came on, when known; a non-empty one always wins over the payload. The
// payload is read once, through `reader`, whatever the event: what cannot be
// converted is refused even when the event is then ignored.
template <class Reader>
Outcome<DeliveryDecision> evaluate_delivery_event(std::string_view event_type,
                                                  std::optional<std::string_view> envelope_room_id, Reader& reader,
                                                  typename Reader::In payload, std::string_view agent_id) {
    const RouteReading reading = route_reading(event_type);
    std::array<NotedField, 4> noted;
    for (std::size_t i = 0; i < reading.key_count; ++i) noted[i].key = reading.keys[i];
    NullBuilder nothing;
    const std::span<NotedField> fields(noted.data(), reading.key_count);
    auto checked = PayloadWalk(reader, nothing, fields).run(payload, reading.schema);
    if (!checked.ok()) return checked.refusal();
    return decide_route(event_type, envelope_room_id, NotedFields{fields}, agent_id);
}

Outcome<DeliveryDecision> evaluate_delivery_event(std::string_view event_type,
                                                  std::optional<std::string_view> envelope_room_id,
                                                  const JsonValue& payload, std::string_view agent_id);

}  // namespace orvu::core

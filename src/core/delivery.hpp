// Routing of inbound platform events: which events invoke the agent, which
// are the agent's own echo, which clean up after a room, which are ignored.
#pragma once

#include "core/json.hpp"
#include "core/json_view.hpp"
#include "core/refusal.hpp"
#include "core/self_echo.hpp"

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

// The routing decision for one event, or the validation issues that keep
// it from being made. `envelope_room_id` is the room of the channel the
// event came on, when known; a non-empty one always wins over the payload.
// `payload` is taken by value (it is normalised for messages).
Outcome<DeliveryDecision> evaluate_delivery_event(std::string_view event_type,
                                                  std::optional<std::string_view> envelope_room_id,
                                                  JsonValue payload, std::string_view agent_id);

// The same decision for a payload that is only looked at.
Outcome<DeliveryDecision> evaluate_delivery_event(std::string_view event_type,
                                                  std::optional<std::string_view> envelope_room_id,
                                                  const JsonView& payload, std::string_view agent_id);

}  // namespace orvu::core

// The one rule by which an inbound message counts as the agent's own echo:
// the platform tags it as sent by an agent and the sender is this agent.
// Routing and the drain step both decide through it.
#pragma once

#include <string_view>

namespace orvu::core {

inline constexpr std::string_view kAgentSenderType = "Agent";

constexpr bool is_self_echo(std::string_view sender_id, std::string_view sender_type,
                            std::string_view agent_id) noexcept {
    return sender_type == kAgentSenderType && sender_id == agent_id;
}

}  // namespace orvu::core

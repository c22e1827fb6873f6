// One agent turn's progress toward a reply, and the platform's tool table:
// which effect a successful call of each tool has on the turn.
#pragma once

#include "core/enums.hpp"

#include <span>
#include <string_view>

namespace orvu::core {

struct ToolEffect {
    std::string_view name;
    TurnEffect effect;
};

// Every tool with its effect, in the canonical order.
std::span<const ToolEffect> tool_effects() noexcept;

struct ToolParameter {
    std::string_view name;
    std::string_view description;
    bool required;
};

struct ToolSpec {
    std::string_view name;
    std::string_view description;
    std::span<const ToolParameter> parameters;
};

// The tool by which an agent ends a turn without replying.
const ToolSpec& no_reply_tool() noexcept;

// The text shown to the room when a turn ends without a reply.
std::string_view missing_reply_message() noexcept;

class TurnLedger {
public:
    void record(TurnEffect effect) noexcept;
    // Marks the turn as settled without a table effect.
    void settle() noexcept { turn_settled_ = true; }

    bool reply_settled() const noexcept { return reply_settled_; }
    TurnVerdict verdict() const noexcept { return turn_settled_ ? TurnVerdict::Complete : TurnVerdict::MissingReply; }

private:
    // Both flags only ever go from false to true: a ledger serves one turn.
    bool turn_settled_ = false;
    bool reply_settled_ = false;
};

}  // namespace orvu::core

// Whether a WebSocket ending is final: close codes and refused upgrades.
#pragma once

#include "core/numbers.hpp"

#include <cstdint>
#include <optional>
#include <utility>

namespace orvu::core {

// Close codes and upgrade statuses are 16-bit numbers.
inline constexpr IntRange kCodeRange{0, 65535};

struct Classification {
    bool terminal = false;
    // A window the caller's reconnect delay is to be held within; no code carries one today.
    std::optional<std::pair<double, double>> delay_range_s;
};

// A normal closure (1000) is final; any other code, or none at all, is not.
Classification classify_close(std::optional<std::uint16_t> close_code) noexcept;
// 400, 403 and 409 are final; every other status is not.
Classification classify_upgrade(std::uint16_t status) noexcept;

}  // namespace orvu::core

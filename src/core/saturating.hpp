// A counter that stops at its largest value instead of wrapping to zero.
// Tickets and tokens are taken from one: each takes the current value and
// advances it, and the largest value itself is never handed out, so none is
// ever handed out twice. Counts (attempts, retries) advance the same way and
// keep their largest value once there.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>

namespace orvu::core {

template <std::unsigned_integral T>
class Saturating {
public:
    static constexpr T kLast = std::numeric_limits<T>::max();

    constexpr Saturating(T value = 0) noexcept : value_(value) {}
    constexpr operator T() const noexcept { return value_; }

    constexpr bool exhausted() const noexcept { return value_ == kLast; }
    constexpr void advance() noexcept {
        if (value_ != kLast) ++value_;
    }
    // The next ticket or token, or none once the counter is spent.
    constexpr std::optional<T> take() noexcept {
        if (exhausted()) return std::nullopt;
        return value_++;
    }

private:
    T value_;
};

using TicketCounter = Saturating<std::uint64_t>;

}  // namespace orvu::core

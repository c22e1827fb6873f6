// The per-object ticket counter: starts at 0 (or wherever the owner says),
// hands out its value and advances by one, and at its largest value hands out
// nothing instead of wrapping, so a ticket is never reused.
#pragma once

#include <cstdint>
#include <limits>

namespace orvu::core {

class TicketCounter {
public:
    static constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();

    explicit constexpr TicketCounter(std::uint64_t next = 0) noexcept : next_(next) {}

    bool exhausted() const noexcept { return next_ == kLast; }
    // The ticket the next beginning operation would take; meaningless when exhausted.
    std::uint64_t peek() const noexcept { return next_; }
    // Advances past the peeked ticket; callers check `exhausted()` first.
    void advance() noexcept {
        if (next_ != kLast) ++next_;
    }

private:
    std::uint64_t next_;
};

}  // namespace orvu::core

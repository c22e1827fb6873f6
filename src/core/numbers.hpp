// How numbers appear in messages: integers as plain decimals, floats in their
// shortest round-trip form without exponent ("-1", "2.5", "NaN", "inf").
#pragma once

#include "core/refusal.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace orvu::core {

std::string format_float(double value);
std::string format_int(std::int64_t value);
std::string format_uint(std::uint64_t value);

// The decimal digits of a value, without an allocation.
struct UintDigits {
    char buffer[20];
    std::size_t size;
    std::string_view view() const noexcept { return {buffer, size}; }
};
UintDigits uint_digits(std::uint64_t value) noexcept;

// "`{name}` must be an integer between {low} and {high}, got {value}"
std::string range_message(std::string_view name, std::int64_t low, std::uint64_t high, std::int64_t value);
// The same with the value already written out (an integer of any size).
std::string range_message_text(std::string_view name, std::uint64_t low, std::uint64_t high, std::string_view value);

// The inclusive range an integer argument must lie in. Every range check of
// the module goes through `check`, so the shared message is written once.
struct IntRange {
    std::uint64_t low;
    std::uint64_t high;

    constexpr bool contains(std::int64_t value) const noexcept {
        return value >= 0 && contains(static_cast<std::uint64_t>(value));
    }
    constexpr bool contains(std::uint64_t value) const noexcept { return value >= low && value <= high; }
    // The value in range, or a value refusal with the shared range message.
    Outcome<std::uint64_t> check(std::string_view name, std::int64_t value) const;
    Outcome<std::uint64_t> check(std::string_view name, std::uint64_t value) const;
    // The refusal of a value already written out (an integer of any size).
    Refusal refuse(std::string_view name, std::string_view value) const;
};

// "`{name}` must be a finite, non-negative number, got {value}"
std::string finite_non_negative_message(std::string_view name, double value);

}  // namespace orvu::core

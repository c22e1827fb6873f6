// How numbers appear in messages: integers as plain decimals, floats in their
// shortest round-trip form without exponent ("-1", "2.5", "NaN", "inf").
#pragma once

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

// "`{name}` must be a finite, non-negative number, got {value}"
std::string finite_non_negative_message(std::string_view name, double value);

}  // namespace orvu::core

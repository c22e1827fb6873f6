#include "core/numbers.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace orvu::core {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Fixed notation of the largest double needs 309 digits plus sign.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (res.ec != std::errc()) return "NaN";  // unreachable with this buffer size
    return std::string(buf, res.ptr);
}

std::string format_int(std::int64_t value) { return std::to_string(value); }
std::string format_uint(std::uint64_t value) { return std::to_string(value); }

std::string range_message(std::string_view name, std::int64_t low, std::uint64_t high, std::int64_t value) {
    std::string m = "`";
    m += name;
    m += "` must be an integer between " + format_int(low) + " and " + format_uint(high) + ", got " +
         format_int(value);
    return m;
}

std::string range_message_u(std::string_view name, std::uint64_t low, std::uint64_t high, std::uint64_t value) {
    std::string m = "`";
    m += name;
    m += "` must be an integer between " + format_uint(low) + " and " + format_uint(high) + ", got " +
         format_uint(value);
    return m;
}

}  // namespace orvu::core

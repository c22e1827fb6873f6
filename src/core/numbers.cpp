#include "core/numbers.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace orvu::core {

std::string format_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // The shortest round-trip digits come from the scientific form; they are
    // then laid out without exponent, padded with zeros. (The fixed form of
    // to_chars prints the exact binary value of large numbers instead,
    // e.g. 1e300 as 1000000000000000052504760255...)
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    if (res.ec != std::errc()) return "NaN";  // unreachable with this buffer size
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    const std::size_t e_pos = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_pos);
    int exponent = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);

    std::string out;
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (char c : mantissa) {
        if (c != '.') digits += c;
    }
    // value = 0.digits * 10^(exponent + 1)
    const long point = static_cast<long>(exponent) + 1;
    const long n = static_cast<long>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
    return out;
}

std::string format_int(std::int64_t value) { return std::to_string(value); }
std::string format_uint(std::uint64_t value) { return std::to_string(value); }

UintDigits uint_digits(std::uint64_t value) noexcept {
    UintDigits d;
    d.size = static_cast<std::size_t>(std::to_chars(d.buffer, d.buffer + sizeof d.buffer, value).ptr - d.buffer);
    return d;
}

std::string range_message(std::string_view name, std::int64_t low, std::uint64_t high, std::int64_t value) {
    return range_message_text(name, static_cast<std::uint64_t>(low), high, format_int(value));
}

std::string range_message_text(std::string_view name, std::uint64_t low, std::uint64_t high, std::string_view value) {
    std::string m = "`";
    m += name;
    m += "` must be an integer between " + format_uint(low) + " and " + format_uint(high) + ", got ";
    m += value;
    return m;
}

Outcome<std::uint64_t> IntRange::check(std::string_view name, std::int64_t value) const {
    if (value < 0) return Refusal::value(range_message(name, static_cast<std::int64_t>(low), high, value));
    return check(name, static_cast<std::uint64_t>(value));
}

Outcome<std::uint64_t> IntRange::check(std::string_view name, std::uint64_t value) const {
    if (contains(value)) return value;
    return refuse(name, format_uint(value));
}

Refusal IntRange::refuse(std::string_view name, std::string_view value) const {
    return Refusal::value(range_message_text(name, low, high, value));
}

std::string finite_non_negative_message(std::string_view name, double value) {
    std::string m = "`";
    m.append(name);
    m.append("` must be a finite, non-negative number, got ");
    m.append(format_float(value));
    return m;
}

}  // namespace orvu::core

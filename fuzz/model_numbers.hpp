// The number rules as messages and policies state them, written out plainly
// for the models: decimal integers, the shortest float text without
// exponent, and float seconds rounded to the nearest nanosecond.
#pragma once

#include "adapter.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace orvu::fuzz {

inline bool reads_back(const std::string& text, double value) { return std::strtod(text.c_str(), nullptr) == value; }

// Decimal digits of an unsigned number, most significant first.
inline std::string decimal(std::uint64_t n) {
    std::string out;
    do {
        out.insert(out.begin(), char('0' + n % 10));
        n /= 10;
    } while (n != 0);
    return out;
}

inline std::string signed_decimal(std::int64_t n) {
    if (n >= 0) return decimal(static_cast<std::uint64_t>(n));
    return "-" + decimal(0 - static_cast<std::uint64_t>(n));
}

// The shortest digit string d (with decimal exponent: value = 0.d * 10^point)
// that reads back as `value`: for each length, the correctly rounded digits
// and their two neighbours (near a power of two the interval that reads back
// is lopsided, so the rounded digits may miss it while a neighbour does not).
inline std::pair<std::string, int> shortest_digits(double value) {
    for (int length = 1; length <= 17; ++length) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*e", length - 1, value);
        std::string digits;
        const char* p = buf;
        for (; *p && *p != 'e'; ++p) {
            if (*p >= '0' && *p <= '9') digits += *p;
        }
        const int exponent = std::atoi(p + 1);
        const auto text = [&](const std::string& d, int e) { return "0." + d + "e" + std::to_string(e + 1); };
        if (reads_back(text(digits, exponent), value)) return {digits, exponent + 1};
        for (int step : {-1, 1}) {
            std::string d = digits;
            int e = exponent;
            // Adds `step` to the last digit, carrying or borrowing.
            int k = static_cast<int>(d.size()) - 1;
            while (k >= 0) {
                int digit = d[k] - '0' + step;
                if (digit >= 0 && digit <= 9) {
                    d[k] = char('0' + digit);
                    break;
                }
                d[k] = step > 0 ? '0' : '9';
                --k;
            }
            if (k < 0) {
                if (step < 0) continue;  // below 10^e: the shorter lengths were tried already
                d.insert(d.begin(), '1');
                d.pop_back();
                ++e;
            }
            if (d[0] != '0' && reads_back(text(d, e), value)) return {d, e + 1};
        }
    }
    std::abort();  // 17 digits always read back
}

inline std::string model_float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::string out = std::signbit(value) ? "-" : "";
    if (value == 0.0) return out + "0";
    auto [digits, point] = shortest_digits(std::fabs(value));
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int n = static_cast<int>(digits.size());
    if (point <= 0) return out + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (point >= n) return out + digits + std::string(static_cast<std::size_t>(point - n), '0');
    return out + digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
}

// Float seconds to the nearest nanosecond, ties to even, computed exactly on
// the float's integer mantissa and binary exponent.
inline std::optional<Nanos> model_duration(double seconds) {
    if (std::isnan(seconds) || seconds < 0.0 || seconds >= 18446744073709551616.0) return std::nullopt;
    if (seconds == 0.0) return Nanos{};
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<unsigned __int128>(std::ldexp(fraction, 53));
    const int shift = exponent - 53;
    unsigned __int128 nanos = 0;
    if (shift >= 0) {
        nanos = (mantissa << shift) * 1000000000u;
    } else if (-shift >= 120) {
        nanos = 0;
    } else {
        const unsigned __int128 scaled = mantissa * 1000000000u;
        const int drop = -shift;
        const unsigned __int128 q = scaled >> drop;
        const unsigned __int128 rest = scaled - (q << drop);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
        nanos = q + ((rest > half || (rest == half && (q & 1))) ? 1 : 0);
    }
    return Nanos{static_cast<std::uint64_t>(nanos / 1000000000u), static_cast<std::uint32_t>(nanos % 1000000000u)};
}

}  // namespace orvu::fuzz

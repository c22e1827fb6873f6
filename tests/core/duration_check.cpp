// Float seconds to an exact Duration, checked against a reference that
// computes the whole nanosecond count in a 128-bit integer (a GCC/Clang
// extension, fine for a check). Run as `duration_check small|unit|large|ties`;
// each covers its range densely with a fixed pseudo-random sequence.
#include "core/session_policy.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

using orvu::core::Duration;

namespace {

using u128 = unsigned __int128;

std::optional<Duration> reference(double seconds) {
    if (std::isnan(seconds) || seconds < 0.0 || seconds >= 18446744073709551616.0) return std::nullopt;
    if (seconds == 0.0) return Duration{};
    int exponent = 0;
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(std::frexp(seconds, &exponent), 53));
    const int shift = exponent - 53;
    const u128 scaled = static_cast<u128>(mantissa) * Duration::kNanosPerSec;
    u128 total = 0;
    if (shift >= 0) {
        total = scaled << shift;
    } else if (-shift < 128) {
        const int drop = -shift;
        u128 quotient = scaled >> drop;
        const u128 remainder = scaled - (quotient << drop);
        const u128 half = static_cast<u128>(1) << (drop - 1);
        if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
        total = quotient;
    }
    return Duration{static_cast<std::uint64_t>(total / Duration::kNanosPerSec),
                    static_cast<std::uint32_t>(total % Duration::kNanosPerSec)};
}

std::uint64_t state = 0x9e3779b97f4a7c15u;
std::uint64_t next() {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545f4914f6cdd1du;
}

double from_bits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

int failures = 0;

void check(double seconds) {
    const auto got = Duration::from_seconds(seconds);
    const auto want = reference(seconds);
    if (got != want && failures++ < 10) {
        std::fprintf(stderr, "%.17g: got %llu.%09u, want %llu.%09u\n", seconds,
                     got ? static_cast<unsigned long long>(got->secs) : 0ULL, got ? got->nanos : 0U,
                     want ? static_cast<unsigned long long>(want->secs) : 0ULL, want ? want->nanos : 0U);
    }
}

// Every double whose binary exponent lies in [lo, hi], sampled densely.
void sweep(int lo, int hi, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint64_t exponent_field = static_cast<std::uint64_t>(1023 + lo + static_cast<int>(next() % (hi - lo + 1)));
        const std::uint64_t bits = (exponent_field << 52) | (next() >> 12);
        check(from_bits(bits));
        check(std::nextafter(from_bits(bits), 0.0));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* part = argc > 1 ? argv[1] : "";
    if (!std::strcmp(part, "small")) {
        sweep(-1074 + 52, -30, 200000);  // down to the smallest normal, and subnormals below
        for (std::uint64_t bits = 1; bits < 5000; ++bits) check(from_bits(bits));
        for (int e = -1074; e < -20; ++e) check(std::ldexp(1.0, e));
    } else if (!std::strcmp(part, "unit")) {
        sweep(-30, 10, 400000);  // a nanosecond to a quarter hour: fractions, carries
        for (double d : {0.9999999995, 0.99999999949999999, 0.9999999999999999, 1.0 - 1e-10, 1.5e-9, 2.5e-9,
                         0.5e-9, 1e-9, 1.0, 1.5, 59.9999999995})
            check(d);
    } else if (!std::strcmp(part, "large")) {
        sweep(10, 63, 400000);  // up to the largest double below 2^64
        for (double d : {18446744073709551616.0, 18446744073709549568.0, 4503599627370496.5, 9007199254740992.0,
                         -1.0, -0.0, std::nan("")})
            check(d);
    } else if (!std::strcmp(part, "ties")) {
        // frac * 1e9 / 2^drop is exactly k + 1/2 only for fractions m / 1024 with m
        // odd (1e9 = 2^9 * 5^9): 1/1024 s is 976562.5 ns. Both rounding directions.
        for (std::uint64_t m = 1; m < 2'000'000; m += 2) check(static_cast<double>(m) / 1024.0);
        for (std::uint64_t m = 1; m < 200'000; m += 2)
            check(std::ldexp(static_cast<double>((std::uint64_t{1} << 42) + m), -10));
        for (std::uint64_t n = 1; n < 300'000; ++n) check(static_cast<double>(n) * 0.5e-9);
    } else {
        std::fprintf(stderr, "usage: duration_check small|unit|large|ties\n");
        return 2;
    }
    if (failures) std::fprintf(stderr, "%d mismatches\n", failures);
    return failures ? 1 : 0;
}

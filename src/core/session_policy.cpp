#include "core/session_policy.hpp"

#include "core/numbers.hpp"

#include <algorithm>
#include <cmath>

namespace orvu::core {
namespace {

// 2^64 as a float: the first value of seconds a Duration cannot hold.
constexpr double kTwoPow64 = 18446744073709551616.0;

// Beyond this exponent factor^e changes nothing a 64-bit float can show.
constexpr std::uint32_t kMaxBackoffExponent = 2'147'483'647;

// The nanoseconds in frac / 2^drop seconds, rounded half to even, for
// frac < 2^53 and frac < 2^drop (so the result is at most 1e9). The product
// frac * 1e9 (< 2^83) is held exactly in two 64-bit halves, which every
// compiler has, rather than in a 128-bit integer, which not every one has.
std::uint64_t fraction_nanos(std::uint64_t frac, int drop) noexcept {
    if (drop > 83) return 0;  // frac * 1e9 < 2^83: below half a nanosecond
    constexpr std::uint64_t kNanos = Duration::kNanosPerSec;
    const std::uint64_t upper = (frac >> 32) * kNanos;          // < 2^51
    const std::uint64_t lower = (frac & 0xffff'ffffu) * kNanos;  // < 2^62
    const std::uint64_t lo = lower + (upper << 32);
    const std::uint64_t hi = (upper >> 32) + (lo < lower ? 1 : 0);
    // quotient = (hi:lo) >> drop; `rest` holds the dropped bits, `half` is 2^(drop-1).
    std::uint64_t quotient = 0, rest_hi = 0, rest_lo = 0, half_hi = 0, half_lo = 0;
    if (drop < 64) {
        quotient = (lo >> drop) | (hi << (64 - drop));
        rest_lo = lo & ((std::uint64_t{1} << drop) - 1);
        half_lo = std::uint64_t{1} << (drop - 1);
    } else {
        const int k = drop - 64;
        quotient = hi >> k;
        rest_hi = hi & ((std::uint64_t{1} << k) - 1);
        rest_lo = lo;
        if (k == 0) {
            half_lo = std::uint64_t{1} << 63;
        } else {
            half_hi = std::uint64_t{1} << (k - 1);
        }
    }
    const bool above = rest_hi != half_hi ? rest_hi > half_hi : rest_lo > half_lo;
    const bool tie = rest_hi == half_hi && rest_lo == half_lo;
    if (above || (tie && (quotient & 1) != 0)) ++quotient;
    return quotient;
}

}  // namespace

std::optional<Duration> Duration::from_seconds(double seconds) noexcept {
    if (std::isnan(seconds) || seconds < 0.0 || seconds >= kTwoPow64) return std::nullopt;
    if (seconds == 0.0) return Duration{};
    // seconds = mantissa * 2^shift exactly, with a 53-bit integer mantissa.
    // The whole seconds are exact; only the fraction's nanosecond count
    // needs rounding (1e9 being even, rounding it alone to even is the same
    // as rounding the whole nanosecond count).
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = exponent - 53;
    if (shift >= 0) return Duration{mantissa << shift, 0};  // shift <= 11 below 2^64 seconds
    const int drop = -shift;
    const std::uint64_t whole = drop < 64 ? mantissa >> drop : 0;
    const std::uint64_t frac = drop < 64 ? mantissa & ((std::uint64_t{1} << drop) - 1) : mantissa;
    const std::uint64_t nanos = fraction_nanos(frac, drop);
    if (nanos == kNanosPerSec) return Duration{whole + 1, 0};
    return Duration{whole, static_cast<std::uint32_t>(nanos)};
}

Duration Duration::from_seconds_saturating(double seconds) noexcept {
    if (seconds >= kTwoPow64) return max();
    return from_seconds(seconds).value_or(Duration{});
}

// ---------------------------------------------------------------------------
// Backoff and cooldown.

Duration SessionPolicy::next_backoff_delay(std::uint32_t attempts, const std::optional<DelayWindow>& window,
                                           double jitter) const noexcept {
    const std::uint32_t e = std::min(attempts == 0 ? 0u : attempts - 1, kMaxBackoffExponent);
    const double max_s = max_delay.seconds();
    // A zero base stays zero however large the power grows (0 * inf would be NaN).
    const double raw = base_delay.is_zero() ? 0.0 : base_delay.seconds() * std::pow(factor, static_cast<double>(e));
    const double capped = std::isinf(raw) ? max_s : std::min(raw, max_s);
    double d = capped * jitter;  // full jitter
    if (window) {
        const auto& [lo, hi] = *window;
        d = std::min(std::max(d, lo.seconds()), std::max(hi, lo).seconds());
    }
    // A delay that cannot be a duration (too large) falls back to the cap.
    return Duration::from_seconds(d).value_or(max_delay);
}

Duration SessionPolicy::cooldown_floor(std::uint64_t rapid_count) const noexcept {
    // The first rungs are fixed floors; from the third on the floor climbs by a
    // step per rung up to the ceiling.
    static constexpr Duration SessionPolicy::*kFixedRungs[] = {
        &SessionPolicy::rapid_first_min_delay,
        &SessionPolicy::rapid_second_min_delay,
    };
    constexpr std::uint64_t kFixed = std::size(kFixedRungs);
    if (rapid_count <= kFixed) return this->*kFixedRungs[rapid_count == 0 ? 0 : rapid_count - 1];
    const double climbed = rapid_cooldown_base.seconds() +
                           static_cast<double>(rapid_count - (kFixed + 1)) * rapid_cooldown_step.seconds();
    const double floor_s = std::min(climbed, rapid_cooldown_max.seconds());
    return Duration::from_seconds(floor_s).value_or(rapid_cooldown_max);
}

DelayWindow SessionPolicy::rapid_window_for(std::uint64_t rapid_count) const noexcept {
    const Duration floor = cooldown_floor(rapid_count);
    return {floor, std::max(floor, max_delay)};
}

// ---------------------------------------------------------------------------
// Reading a policy.

namespace {

constexpr PolicyKey kPolicyKeys[] = {
    {"base_delay_s", PolicyValueKind::Duration, &SessionPolicy::base_delay},
    {"factor", PolicyValueKind::Factor, nullptr},
    {"max_delay_s", PolicyValueKind::Duration, &SessionPolicy::max_delay},
    {"stable_reset_s", PolicyValueKind::Duration, &SessionPolicy::stable_reset},
    {"rapid_disconnect_uptime_s", PolicyValueKind::Duration, &SessionPolicy::rapid_disconnect_uptime},
    {"rapid_window_s", PolicyValueKind::Duration, &SessionPolicy::rapid_window},
    {"rapid_first_min_delay_s", PolicyValueKind::Duration, &SessionPolicy::rapid_first_min_delay},
    {"rapid_second_min_delay_s", PolicyValueKind::Duration, &SessionPolicy::rapid_second_min_delay},
    {"rapid_cooldown_base_s", PolicyValueKind::Duration, &SessionPolicy::rapid_cooldown_base},
    {"rapid_cooldown_step_s", PolicyValueKind::Duration, &SessionPolicy::rapid_cooldown_step},
    {"rapid_cooldown_max_s", PolicyValueKind::Duration, &SessionPolicy::rapid_cooldown_max},
    {"rapid_threshold", PolicyValueKind::Count, nullptr},
    {"heartbeat_interval_s", PolicyValueKind::Duration, &SessionPolicy::heartbeat_interval},
    {"dead_threshold_s", PolicyValueKind::Duration, &SessionPolicy::dead_threshold},
};

}  // namespace

std::span<const PolicyKey> session_policy_keys() noexcept { return kPolicyKeys; }

Outcome<> set_policy_value(SessionPolicy& policy, const PolicyKey& key, double value) {
    switch (key.kind) {
        case PolicyValueKind::Duration:
            if (!(value >= 0.0) || std::isinf(value)) {
                return Refusal::value(finite_non_negative_message(key.name, value));
            }
            policy.*key.duration = Duration::from_seconds_saturating(value);
            return accept();
        case PolicyValueKind::Factor:
            // Checked with the other settings, once all are read.
            policy.factor = value;
            return accept();
        case PolicyValueKind::Count:
            if (!std::isfinite(value) || value != std::trunc(value) ||
                value < static_cast<double>(kRapidThresholdRange.low) ||
                value > static_cast<double>(kRapidThresholdRange.high)) {
                return Refusal::value("SessionPolicy config `" + std::string(key.name) + "` must be a whole number between " +
                                      format_uint(kRapidThresholdRange.low) + " and " +
                                      format_uint(kRapidThresholdRange.high) + ", got " + format_float(value));
            }
            policy.rapid_threshold = static_cast<std::uint32_t>(value);
            return accept();
    }
    return accept();
}

Outcome<> check_policy_relations(const SessionPolicy& p) {
    Issues issues;
    auto fails = [&](bool failed, const char* path, std::string message) {
        if (failed) add_issue(issues, path, IssueCode::InvalidValue, std::move(message));
    };
    fails(!std::isfinite(p.factor) || p.factor < 1.0, "factor",
          "factor must be a finite number >= 1.0, got " + format_float(p.factor));
    fails(p.base_delay > p.max_delay, "base_delay", "base_delay must not exceed max_delay");
    fails(p.rapid_threshold == 0, "rapid_threshold", "rapid_threshold must be at least 1");
    fails(p.heartbeat_interval.is_zero(), "heartbeat_interval", "heartbeat_interval must be greater than zero");
    fails(!(p.dead_threshold > p.heartbeat_interval), "dead_threshold",
          "dead_threshold must exceed heartbeat_interval");
    if (issues.empty()) return accept();
    return Refusal::validation(std::move(issues));
}

}  // namespace orvu::core

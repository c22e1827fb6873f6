#include "core/session_policy.hpp"

#include "core/numbers.hpp"

#include <algorithm>
#include <cmath>

namespace orvu::core {
namespace {

using u128 = unsigned __int128;

// 2^64 as a float: the first value of seconds a Duration cannot hold.
constexpr double kTwoPow64 = 18446744073709551616.0;

// Beyond this exponent factor^e changes nothing a 64-bit float can show.
constexpr std::uint32_t kMaxBackoffExponent = 2'147'483'647;

constexpr double kMaxCount = 4294967295.0;

}  // namespace

std::optional<Duration> Duration::from_seconds(double seconds) noexcept {
    if (std::isnan(seconds) || seconds < 0.0 || seconds >= kTwoPow64) return std::nullopt;
    if (seconds == 0.0) return Duration{};
    // seconds = mantissa * 2^shift exactly, with a 53-bit integer mantissa;
    // the nanosecond count mantissa * 1e9 * 2^shift is then computed exactly
    // in 128 bits and rounded once.
    int exponent = 0;
    const double fraction = std::frexp(seconds, &exponent);
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    const int shift = exponent - 53;
    const u128 scaled = static_cast<u128>(mantissa) * kNanosPerSec;  // < 2^83
    u128 total_nanos = 0;
    if (shift >= 0) {
        total_nanos = scaled << shift;  // shift <= 11 below 2^64 seconds
    } else if (-shift < 100) {
        const int drop = -shift;
        u128 quotient = scaled >> drop;
        const u128 remainder = scaled - (quotient << drop);
        const u128 half = static_cast<u128>(1) << (drop - 1);
        if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
        total_nanos = quotient;
    }  // else: far below half a nanosecond
    return Duration{static_cast<std::uint64_t>(total_nanos / kNanosPerSec),
                    static_cast<std::uint32_t>(total_nanos % kNanosPerSec)};
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
            if (!std::isfinite(value) || value != std::trunc(value) || value < 0.0 || value > kMaxCount) {
                return Refusal::value("SessionPolicy config `" + std::string(key.name) +
                                      "` must be a whole number between 0 and 4294967295, got " + format_float(value));
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

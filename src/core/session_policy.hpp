// The reconnect policy: exact durations, the fourteen settings with their
// checks, the backoff delay with full jitter and the rapid-disconnect
// cooldown ladder.
#pragma once

#include "core/numbers.hpp"
#include "core/refusal.hpp"

#include <compare>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace orvu::core {

// A span of time held exactly: whole seconds plus 0..999,999,999 nanoseconds.
struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;

    static constexpr std::uint32_t kNanosPerSec = 1'000'000'000;

    static constexpr Duration from_secs(std::uint64_t s) noexcept { return Duration{s, 0}; }
    static constexpr Duration max() noexcept { return Duration{UINT64_MAX, kNanosPerSec - 1}; }

    // Rounds float seconds to the nearest nanosecond (ties to even). Nullopt
    // for a negative value, not-a-number, or 2^64 seconds and more.
    static std::optional<Duration> from_seconds(double seconds) noexcept;
    // Same, for values already known to be finite and non-negative (-0.0
    // counts as zero): 2^64 seconds and more saturate to max().
    static Duration from_seconds_saturating(double seconds) noexcept;

    // The duration as float seconds, as the formulas compute with it.
    double seconds() const noexcept { return static_cast<double>(secs) + static_cast<double>(nanos) / 1e9; }
    bool is_zero() const noexcept { return secs == 0 && nanos == 0; }

    friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
};

// A window the next delay is held within: (lower, upper).
using DelayWindow = std::pair<Duration, Duration>;

struct SessionPolicy {
    Duration base_delay = Duration::from_secs(1);
    double factor = 2.0;
    Duration max_delay = Duration::from_secs(30);
    Duration stable_reset = Duration::from_secs(60);
    Duration rapid_disconnect_uptime = Duration::from_secs(10);
    Duration rapid_window = Duration::from_secs(300);
    Duration rapid_first_min_delay = Duration::from_secs(1);
    Duration rapid_second_min_delay = Duration::from_secs(5);
    Duration rapid_cooldown_base = Duration::from_secs(10);
    Duration rapid_cooldown_step = Duration::from_secs(10);
    Duration rapid_cooldown_max = Duration::from_secs(60);
    std::uint32_t rapid_threshold = 10;  // read within kRapidThresholdRange
    Duration heartbeat_interval = Duration::from_secs(30);
    Duration dead_threshold = Duration::from_secs(60);

    // Backoff delay for attempt count `attempts`, optionally held within
    // `window`, with the full-jitter sample `jitter` in [0, 1].
    Duration next_backoff_delay(std::uint32_t attempts, const std::optional<DelayWindow>& window,
                                double jitter) const noexcept;

    // Delay floor when `rapid_count` rapid disconnects (the current one
    // included, at least 1) are remembered.
    Duration cooldown_floor(std::uint64_t rapid_count) const noexcept;

    // The window a rapid disconnect imposes: (floor, max(floor, max_delay)).
    DelayWindow rapid_window_for(std::uint64_t rapid_count) const noexcept;
};

// ---------------------------------------------------------------------------
// Reading a policy from configuration numbers.

enum class PolicyValueKind : std::uint8_t { Duration, Factor, Count };

// The whole numbers a count setting (`rapid_threshold`) is read from.
inline constexpr IntRange kRapidThresholdRange{0, std::numeric_limits<std::uint32_t>::max()};

struct PolicyKey {
    std::string_view name;
    PolicyValueKind kind;
    Duration SessionPolicy::*duration;  // for PolicyValueKind::Duration
};

// The configuration keys in the order in which they are read.
std::span<const PolicyKey> session_policy_keys() noexcept;

// Stores the float `value` read for `key` into `policy`; a value that breaks
// the key's rule leaves `policy` alone and is refused.
Outcome<> set_policy_value(SessionPolicy& policy, const PolicyKey& key, double value);

// The relations between settings: a validation refusal listing every failing
// one, in order.
Outcome<> check_policy_relations(const SessionPolicy& policy);

}  // namespace orvu::core

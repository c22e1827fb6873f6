#include "core/session.hpp"

#include "core/numbers.hpp"
#include "core/session_classify.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvu::core {

std::optional<std::uint64_t> Session::begin_attempt(double now_s) {
    if (state_ == SessionState::Dead) return std::nullopt;
    if (next_epoch_ == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;  // epochs exhausted
    const std::uint64_t epoch = next_epoch_++;
    attempt_epoch_ = epoch;
    attempt_started_s_ = now_s;
    last_event_s_.reset();
    return epoch;
}

SessionOutcome Session::on_connected(std::uint64_t epoch, double now_s) {
    if (state_ == SessionState::Dead) return dead_outcome();
    if (attempt_epoch_ != epoch) return stale_outcome(state_, StaleReason::WrongEpoch);
    // A repeated connect is refused as such whatever its time says.
    if (connected_epoch_ == epoch) return stale_outcome(state_, StaleReason::DuplicateConnected);
    if (last_event_s_ && now_s < *last_event_s_) return stale_outcome(state_, StaleReason::ClockRegression);
    last_event_s_ = now_s;
    state_ = SessionState::Up;
    connected_at_s_ = now_s;
    connected_epoch_ = epoch;
    return SessionOutcome{state_, std::nullopt, std::nullopt, std::nullopt};
}

SessionOutcome Session::on_socket_close(std::uint64_t epoch, double now_s, std::optional<std::uint16_t> close_code,
                                        double jitter_sample) {
    if (auto refused = refuse_ending(epoch, now_s)) return *refused;
    close_attempt(now_s);
    if (classify_close(close_code).terminal) return terminal_outcome();
    return retry(now_s, std::nullopt, jitter_sample);
}

SessionOutcome Session::on_upgrade_rejected(std::uint64_t epoch, double now_s, std::uint16_t status,
                                            std::optional<Duration> retry_after, double jitter_sample) {
    if (auto refused = refuse_ending(epoch, now_s)) return *refused;
    close_attempt(now_s);
    if (classify_upgrade(status).terminal) return terminal_outcome();
    return retry(now_s, retry_after_window(retry_after), jitter_sample);
}

SessionOutcome Session::on_supersede(double now_s, bool retryable, std::optional<Duration> retry_after,
                                     double jitter_sample) {
    if (state_ == SessionState::Dead) return dead_outcome();
    if (attempt_started_s_ && *attempt_started_s_ > now_s) {
        return stale_outcome(state_, StaleReason::SupersedePredatesEpoch);
    }
    // A notice may arrive out of order with the socket's own events; it never
    // moves the latest event time backwards.
    if (!last_event_s_ || now_s > *last_event_s_) last_event_s_ = now_s;
    attempt_epoch_.reset();
    attempt_started_s_.reset();
    if (!retryable) return terminal_outcome();
    return retry(now_s, retry_after_window(retry_after), jitter_sample);
}

SessionState Session::end() noexcept {
    if (state_ != SessionState::Dead) dead_reason_.reset();
    state_ = SessionState::Dead;
    attempt_epoch_.reset();
    attempt_started_s_.reset();
    return state_;
}

SessionOutcome Session::dead_outcome() const noexcept {
    return SessionOutcome{SessionState::Dead, std::nullopt, dead_reason_, std::nullopt};
}

SessionOutcome Session::stale_outcome(SessionState state, StaleReason reason) noexcept {
    return SessionOutcome{state, std::nullopt, std::nullopt, reason};
}

SessionOutcome Session::terminal_outcome() noexcept {
    dead_reason_ = DeadReason::Classified;
    state_ = SessionState::Dead;
    return SessionOutcome{state_, std::nullopt, dead_reason_, std::nullopt};
}

std::optional<SessionOutcome> Session::refuse_ending(std::uint64_t epoch, double now_s) const noexcept {
    if (state_ == SessionState::Dead) return dead_outcome();
    if (attempt_epoch_ != epoch) return stale_outcome(state_, StaleReason::WrongEpoch);
    // An ending at the same instant as the previous event is in order.
    if (last_event_s_ && *last_event_s_ > now_s) return stale_outcome(state_, StaleReason::ClockRegression);
    return std::nullopt;
}

void Session::close_attempt(double now_s) noexcept {
    last_event_s_ = now_s;
    attempt_epoch_.reset();
    attempt_started_s_.reset();
}

std::optional<DelayWindow> Session::retry_after_window(std::optional<Duration> retry_after) const noexcept {
    if (!retry_after) return std::nullopt;
    return DelayWindow{*retry_after, std::max(*retry_after, policy_.max_delay)};
}

SessionOutcome Session::retry(double now_s, const std::optional<DelayWindow>& caller_window,
                              double jitter_sample) {
    // An attempt that never connected counts as a rapid disconnect.
    bool rapid = true;
    if (connected_at_s_) {
        const double uptime = now_s - *connected_at_s_;
        if (uptime >= policy_.stable_reset.seconds()) attempts_ = 0;
        connected_at_s_.reset();
        rapid = uptime < policy_.rapid_disconnect_uptime.seconds();
    }

    std::optional<DelayWindow> rapid_window;
    if (rapid) {
        const double window_s = policy_.rapid_window.seconds();
        while (!rapid_disconnects_.empty() && now_s - rapid_disconnects_.front() > window_s) {
            rapid_disconnects_.pop_front();
        }
        rapid_disconnects_.push_back(now_s);
        const std::uint64_t remembered = rapid_disconnects_.size();
        if (remembered >= policy_.rapid_threshold) {
            dead_reason_ = DeadReason::RapidDisconnect;
            state_ = SessionState::Dead;
            return SessionOutcome{state_, std::nullopt, dead_reason_, std::nullopt};
        }
        rapid_window = policy_.rapid_window_for(remembered);
    }

    if (attempts_ < std::numeric_limits<std::uint32_t>::max()) ++attempts_;

    std::optional<DelayWindow> window;
    if (caller_window && rapid_window) {
        window = DelayWindow{std::max(caller_window->first, rapid_window->first),
                             std::max(caller_window->second, rapid_window->second)};
    } else {
        window = caller_window ? caller_window : rapid_window;
    }
    const Duration delay = policy_.next_backoff_delay(attempts_, window, jitter_sample);

    // Connecting until the session has been up once, Reconnecting after.
    if (state_ != SessionState::Connecting) state_ = SessionState::Reconnecting;
    return SessionOutcome{state_, delay, std::nullopt, std::nullopt};
}

// ---------------------------------------------------------------------------
// The reports as the host gives them.

namespace {

// Each rule of a report's arguments, and its refusal.
bool is_time(double seconds) noexcept { return std::isfinite(seconds) && seconds >= 0.0; }
bool is_jitter(double sample) noexcept { return std::isfinite(sample) && sample >= 0.0 && sample <= 1.0; }

Refusal epoch_refusal(std::int64_t epoch) {
    return Refusal::value("`epoch` must be a non-negative integer, got " + format_int(epoch));
}
Refusal time_refusal(std::string_view name, double seconds) {
    return Refusal::value(finite_non_negative_message(name, seconds));
}
Refusal jitter_refusal(double sample) {
    return Refusal::value("`jitter_sample` must be a finite number between 0.0 and 1.0, got " + format_float(sample));
}
Refusal code_refusal(std::string_view name, std::int64_t code) { return kCodeRange.refuse(name, format_int(code)); }

// An optional wait held as a duration: the value is known to be a time.
std::optional<Duration> wait_of(std::optional<double> seconds) noexcept {
    if (!seconds) return std::nullopt;
    return Duration::from_seconds_saturating(*seconds);
}

}  // namespace

// Every report checks its arguments in parameter order, the first that
// breaks its rule refused before anything changes.
Outcome<std::optional<std::uint64_t>> Session::checked_begin_attempt(double now_s) {
    if (!is_time(now_s)) return time_refusal("now_s", now_s);
    return begin_attempt(now_s);
}

Outcome<SessionOutcome> Session::checked_on_connected(std::int64_t epoch, double now_s) {
    if (epoch < 0) return epoch_refusal(epoch);
    if (!is_time(now_s)) return time_refusal("now_s", now_s);
    return on_connected(static_cast<std::uint64_t>(epoch), now_s);
}

Outcome<SessionOutcome> Session::checked_on_socket_close(std::int64_t epoch, double now_s,
                                                         std::optional<std::int64_t> close_code, double jitter_sample) {
    if (epoch < 0) return epoch_refusal(epoch);
    if (!is_time(now_s)) return time_refusal("now_s", now_s);
    if (close_code && !kCodeRange.contains(*close_code)) return code_refusal("close_code", *close_code);
    if (!is_jitter(jitter_sample)) return jitter_refusal(jitter_sample);
    std::optional<std::uint16_t> code;
    if (close_code) code = static_cast<std::uint16_t>(*close_code);
    return on_socket_close(static_cast<std::uint64_t>(epoch), now_s, code, jitter_sample);
}

Outcome<SessionOutcome> Session::checked_on_upgrade_rejected(std::int64_t epoch, double now_s, std::int64_t status,
                                                             std::optional<double> retry_after_s,
                                                             double jitter_sample) {
    if (epoch < 0) return epoch_refusal(epoch);
    if (!is_time(now_s)) return time_refusal("now_s", now_s);
    if (!kCodeRange.contains(status)) return code_refusal("status", status);
    if (retry_after_s && !is_time(*retry_after_s)) return time_refusal("retry_after_s", *retry_after_s);
    if (!is_jitter(jitter_sample)) return jitter_refusal(jitter_sample);
    return on_upgrade_rejected(static_cast<std::uint64_t>(epoch), now_s, static_cast<std::uint16_t>(status),
                               wait_of(retry_after_s), jitter_sample);
}

Outcome<SessionOutcome> Session::checked_on_supersede(double now_s, bool retryable, std::optional<double> retry_after_s,
                                                      double jitter_sample) {
    if (!is_time(now_s)) return time_refusal("now_s", now_s);
    if (retry_after_s && !is_time(*retry_after_s)) return time_refusal("retry_after_s", *retry_after_s);
    if (!is_jitter(jitter_sample)) return jitter_refusal(jitter_sample);
    return on_supersede(now_s, retryable, wait_of(retry_after_s), jitter_sample);
}

}  // namespace orvu::core

// The state machine of one logical WebSocket session across its connections:
// attempts numbered by epoch, stale reports refused without effect, and the
// retry path (uptime, stable reset, rapid-disconnect memory, backoff).
#pragma once

#include "core/enums.hpp"
#include "core/refusal.hpp"
#include "core/session_policy.hpp"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace orvu::core {

struct SessionOutcome {
    SessionState state = SessionState::Connecting;
    std::optional<Duration> retry_after;
    std::optional<DeadReason> dead_reason;
    std::optional<StaleReason> stale_reason;
};

class Session {
public:
    explicit Session(const SessionPolicy& policy) : policy_(policy) {}

    SessionState state() const noexcept { return state_; }

    // The epoch of the new attempt, or nullopt when the session is dead or
    // the epochs are exhausted.
    std::optional<std::uint64_t> begin_attempt(double now_s);
    SessionOutcome on_connected(std::uint64_t epoch, double now_s);
    SessionOutcome on_socket_close(std::uint64_t epoch, double now_s, std::optional<std::uint16_t> close_code,
                                   double jitter_sample);
    SessionOutcome on_upgrade_rejected(std::uint64_t epoch, double now_s, std::uint16_t status,
                                       std::optional<Duration> retry_after, double jitter_sample);
    SessionOutcome on_supersede(double now_s, bool retryable, std::optional<Duration> retry_after,
                                double jitter_sample);
    SessionState end() noexcept;

    // The same reports with the arguments as the host gives them: each is
    // checked, in parameter order, before anything changes, and the first
    // that breaks its rule is refused.
    Outcome<std::optional<std::uint64_t>> checked_begin_attempt(double now_s);
    Outcome<SessionOutcome> checked_on_connected(std::int64_t epoch, double now_s);
    Outcome<SessionOutcome> checked_on_socket_close(std::int64_t epoch, double now_s,
                                                    std::optional<std::int64_t> close_code, double jitter_sample);
    Outcome<SessionOutcome> checked_on_upgrade_rejected(std::int64_t epoch, double now_s, std::int64_t status,
                                                        std::optional<double> retry_after_s, double jitter_sample);
    Outcome<SessionOutcome> checked_on_supersede(double now_s, bool retryable, std::optional<double> retry_after_s,
                                                 double jitter_sample);

private:
    SessionOutcome dead_outcome() const noexcept;
    static SessionOutcome stale_outcome(SessionState state, StaleReason reason) noexcept;
    SessionOutcome terminal_outcome() noexcept;
    // Checks shared by the epoch-carrying endings; nullopt when the report is accepted.
    std::optional<SessionOutcome> refuse_ending(std::uint64_t epoch, double now_s) const noexcept;
    // Records an accepted ending: the attempt in flight is over.
    void close_attempt(double now_s) noexcept;
    SessionOutcome retry(double now_s, const std::optional<DelayWindow>& caller_window, double jitter_sample);
    std::optional<DelayWindow> retry_after_window(std::optional<Duration> retry_after) const noexcept;

    SessionPolicy policy_;
    SessionState state_ = SessionState::Connecting;
    std::optional<DeadReason> dead_reason_;
    std::uint64_t next_epoch_ = 0;
    std::optional<std::uint64_t> attempt_epoch_;
    std::optional<double> attempt_started_s_;
    std::optional<std::uint64_t> connected_epoch_;
    std::optional<double> connected_at_s_;
    std::optional<double> last_event_s_;
    std::deque<double> rapid_disconnects_;  // oldest first
    std::uint32_t attempts_ = 0;
};

}  // namespace orvu::core

// The session: a policy from fourteen configuration numbers, then reports
// with raw arguments as a host passes them, some invalid. Refusals (the first
// bad argument, its exact text) and outcomes are compared with a model of the
// reconnect policy and the session state machine, and every delay is checked
// against the bounds the policy and the window set.
#include "adapter.hpp"
#include "check.hpp"
#include "model_numbers.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>

namespace orvu::fuzz {
namespace {

constexpr Nanos kMaxDuration{std::numeric_limits<std::uint64_t>::max(), 999'999'999};

double secs(Nanos d) { return static_cast<double>(d.secs) + static_cast<double>(d.nanos) / 1e9; }
bool less(Nanos a, Nanos b) { return a.secs != b.secs ? a.secs < b.secs : a.nanos < b.nanos; }
Nanos larger(Nanos a, Nanos b) { return less(a, b) ? b : a; }
Nanos held(double seconds) { return seconds >= 18446744073709551616.0 ? kMaxDuration : *model_duration(seconds); }

constexpr const char* kKeys[kPolicyKeyCount] = {
    "base_delay_s", "factor", "max_delay_s", "stable_reset_s", "rapid_disconnect_uptime_s", "rapid_window_s",
    "rapid_first_min_delay_s", "rapid_second_min_delay_s", "rapid_cooldown_base_s", "rapid_cooldown_step_s",
    "rapid_cooldown_max_s", "rapid_threshold", "heartbeat_interval_s", "dead_threshold_s"};
constexpr PolicyConfig kDefaults = {1, 2.0, 30, 60, 10, 300, 1, 5, 10, 10, 60, 10, 30, 60};
constexpr std::size_t kFactor = 1, kThreshold = 11;

struct PolicyModel {
    std::array<Nanos, kPolicyKeyCount> d{};  // the durations, by key position
    double factor = 0;
    std::uint32_t threshold = 0;

    Nanos base() const { return d[0]; }
    Nanos max_delay() const { return d[2]; }

    // Reading stops at the first bad key; the relations are checked together.
    static std::pair<std::optional<PolicyModel>, std::optional<Refused>> read(const PolicyConfig& config) {
        PolicyModel p;
        for (std::size_t k = 0; k < kPolicyKeyCount; ++k) {
            const double v = config[k];
            const std::string key = kKeys[k];
            if (k == kFactor) {
                p.factor = v;
            } else if (k == kThreshold) {
                if (!std::isfinite(v) || v != std::trunc(v) || v < 0 || v > 4294967295.0) {
                    return {std::nullopt, Refused{"SessionPolicy config `rapid_threshold` must be a whole number "
                                                  "between 0 and 4294967295, got " + model_float_text(v), {}}};
                }
                p.threshold = static_cast<std::uint32_t>(v);
            } else {
                if (std::isnan(v) || std::isinf(v) || v < 0) {
                    return {std::nullopt,
                            Refused{"`" + key + "` must be a finite, non-negative number, got " + model_float_text(v), {}}};
                }
                p.d[k] = held(v == 0 ? 0.0 : v);
            }
        }
        std::vector<Issue> issues;
        const auto fails = [&](bool failed, const char* path, std::string message) {
            if (failed) issues.push_back({path, "invalid_value", std::move(message)});
        };
        fails(!std::isfinite(p.factor) || p.factor < 1.0, "factor",
              "factor must be a finite number >= 1.0, got " + model_float_text(p.factor));
        fails(less(p.max_delay(), p.base()), "base_delay", "base_delay must not exceed max_delay");
        fails(p.threshold == 0, "rapid_threshold", "rapid_threshold must be at least 1");
        fails(p.d[12] == Nanos{}, "heartbeat_interval", "heartbeat_interval must be greater than zero");
        fails(!less(p.d[12], p.d[13]), "dead_threshold", "dead_threshold must exceed heartbeat_interval");
        if (!issues.empty()) return {std::nullopt, Refused{"", issues}};
        return {p, std::nullopt};
    }

    using Window = std::pair<Nanos, Nanos>;

    Nanos backoff(std::uint32_t n, const std::optional<Window>& window, double j) const {
        const std::uint32_t e = std::min<std::uint32_t>(n == 0 ? 0 : n - 1, 2147483647u);
        const double max_s = secs(max_delay());
        // A zero base stays zero: no growth factor makes a delay out of nothing.
        const double raw = base() == Nanos{} ? 0.0 : secs(base()) * std::pow(factor, static_cast<double>(e));
        double d = (std::isinf(raw) ? max_s : std::min(raw, max_s)) * j;
        if (window) {
            const double lo = secs(window->first), hi = std::max(secs(window->second), lo);
            d = std::min(std::max(d, lo), hi);
        }
        return model_duration(d).value_or(max_delay());
    }

    Nanos floor(std::uint64_t c) const {
        if (c <= 1) return d[6];
        if (c == 2) return d[7];
        const double climbed = secs(d[8]) + static_cast<double>(c - 3) * secs(d[9]);
        return model_duration(std::min(climbed, secs(d[10]))).value_or(d[10]);
    }
};

class SessionModel {
public:
    explicit SessionModel(const PolicyModel& p) : p_(p) {}

    SessionState state() const { return state_; }
    std::optional<std::uint64_t> attempt_epoch() const { return attempt_epoch_; }

    std::optional<std::uint64_t> begin_attempt(double now) {
        if (state_ == SessionState::Dead || next_epoch_ == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
        attempt_epoch_ = next_epoch_++;
        attempt_started_ = now;
        last_event_.reset();
        return attempt_epoch_;
    }
    Report on_connected(std::uint64_t epoch, double now) {
        if (state_ == SessionState::Dead) return dead();
        if (attempt_epoch_ != epoch) return stale(StaleReason::WrongEpoch);
        if (connected_epoch_ == epoch) return stale(StaleReason::DuplicateConnected);
        if (last_event_ && now < *last_event_) return stale(StaleReason::ClockRegression);
        last_event_ = connected_at_ = now;
        connected_epoch_ = epoch;
        state_ = SessionState::Up;
        return plain();
    }
    Report on_socket_close(std::uint64_t epoch, double now, std::optional<std::int64_t> code, double j) {
        if (auto refused = refuse_ending(epoch, now)) return *refused;
        close_attempt(now);
        if (code == 1000) return terminal();
        return retry(now, std::nullopt, j);
    }
    Report on_upgrade_rejected(std::uint64_t epoch, double now, std::int64_t status, std::optional<Nanos> ra, double j) {
        if (auto refused = refuse_ending(epoch, now)) return *refused;
        close_attempt(now);
        if (status == 400 || status == 403 || status == 409) return terminal();
        return retry(now, window_of(ra), j);
    }
    Report on_supersede(double now, bool retryable, std::optional<Nanos> ra, double j) {
        if (state_ == SessionState::Dead) return dead();
        if (attempt_started_ && *attempt_started_ > now) return stale(StaleReason::SupersedePredatesEpoch);
        if (!last_event_ || now > *last_event_) last_event_ = now;
        attempt_epoch_.reset();
        attempt_started_.reset();
        if (!retryable) return terminal();
        return retry(now, window_of(ra), j);
    }
    SessionState end() {
        if (state_ != SessionState::Dead) dead_reason_.reset();
        state_ = SessionState::Dead;
        attempt_epoch_.reset();
        attempt_started_.reset();
        return state_;
    }

private:
    Report plain() const { return {std::nullopt, state_, std::nullopt, std::nullopt, std::nullopt}; }
    Report dead() const { return {std::nullopt, SessionState::Dead, std::nullopt, dead_reason_, std::nullopt}; }
    Report stale(StaleReason r) const { return {std::nullopt, state_, std::nullopt, std::nullopt, r}; }
    Report terminal() {
        dead_reason_ = DeadReason::Classified;
        state_ = SessionState::Dead;
        return dead();
    }
    std::optional<Report> refuse_ending(std::uint64_t epoch, double now) const {
        if (state_ == SessionState::Dead) return dead();
        if (attempt_epoch_ != epoch) return stale(StaleReason::WrongEpoch);
        if (last_event_ && *last_event_ > now) return stale(StaleReason::ClockRegression);
        return std::nullopt;
    }
    void close_attempt(double now) {
        last_event_ = now;
        attempt_epoch_.reset();
        attempt_started_.reset();
    }
    std::optional<PolicyModel::Window> window_of(std::optional<Nanos> ra) const {
        if (!ra) return std::nullopt;
        return PolicyModel::Window{*ra, larger(*ra, p_.max_delay())};
    }
    Report retry(double now, std::optional<PolicyModel::Window> w1, double j) {
        bool rapid = true;
        if (connected_at_) {
            const double uptime = now - *connected_at_;
            if (uptime >= secs(p_.d[3])) attempts_ = 0;
            connected_at_.reset();
            rapid = !(uptime >= secs(p_.d[4]));
        }
        std::optional<PolicyModel::Window> w2;
        if (rapid) {
            while (!rapid_.empty() && now - rapid_.front() > secs(p_.d[5])) rapid_.pop_front();
            rapid_.push_back(now);
            const std::uint64_t c = rapid_.size();
            if (c >= p_.threshold) {
                dead_reason_ = DeadReason::RapidDisconnect;
                state_ = SessionState::Dead;
                return dead();
            }
            const Nanos f = p_.floor(c);
            w2 = PolicyModel::Window{f, larger(f, p_.max_delay())};
        }
        if (attempts_ != std::numeric_limits<std::uint32_t>::max()) ++attempts_;
        std::optional<PolicyModel::Window> w = w1 ? w1 : w2;
        if (w1 && w2) w = PolicyModel::Window{larger(w1->first, w2->first), larger(w1->second, w2->second)};
        const Nanos delay = p_.backoff(attempts_, w, j);
        check_bounds(delay, w, j);
        state_ = state_ == SessionState::Connecting ? SessionState::Connecting : SessionState::Reconnecting;
        return {std::nullopt, state_, delay, std::nullopt, std::nullopt};
    }
    // Whatever the numbers, a delay lies within the window when one is given
    // (its upper end at least its lower end) and else within max_delay; a
    // uniform sample of 0 without a window gives no delay at all. A window
    // beyond what a duration holds falls back to max_delay.
    void check_bounds(Nanos delay, const std::optional<PolicyModel::Window>& w, double j) const {
        const double d = secs(delay), slack = 1e-9 + d * 1e-15;
        if (w && secs(w->first) >= 18446744073709551616.0) {
            FUZZ_SAME(delay, p_.max_delay(), "a window beyond any duration");
        } else if (w) {
            const double lo = secs(w->first), hi = std::max(secs(w->second), lo);
            FUZZ_EXPECT(d >= lo - slack - lo * 1e-15 && d <= hi + slack + hi * 1e-15, "delay ", d, " window ", lo, "..", hi);
        } else {
            FUZZ_EXPECT(d <= secs(p_.max_delay()) * (1 + 1e-15) + 1e-9, "delay ", d);
            if (j == 0) FUZZ_EXPECT(delay == Nanos{}, "delay ", d, " at jitter 0");
        }
    }

    PolicyModel p_;
    SessionState state_ = SessionState::Connecting;
    std::optional<DeadReason> dead_reason_;
    std::uint64_t next_epoch_ = 0;
    std::optional<std::uint64_t> attempt_epoch_, connected_epoch_;
    std::optional<double> attempt_started_, connected_at_, last_event_;
    std::deque<double> rapid_;
    std::uint32_t attempts_ = 0;
};

// The argument checks, in parameter order: the first that fails is the refusal.
std::optional<Refused> refuse_epoch(std::int64_t epoch) {
    if (epoch >= 0) return std::nullopt;
    return Refused{"`epoch` must be a non-negative integer, got " + signed_decimal(epoch), {}};
}
std::optional<Refused> refuse_time(const char* name, std::optional<double> v) {
    if (!v || (std::isfinite(*v) && *v >= 0)) return std::nullopt;
    return Refused{std::string("`") + name + "` must be a finite, non-negative number, got " + model_float_text(*v), {}};
}
std::optional<Refused> refuse_code(const char* name, std::optional<std::int64_t> v) {
    if (!v || (*v >= 0 && *v <= 65535)) return std::nullopt;
    return Refused{std::string("`") + name + "` must be an integer between 0 and 65535, got " + signed_decimal(*v), {}};
}
std::optional<Refused> refuse_jitter(double j) {
    if (std::isfinite(j) && j >= 0 && j <= 1) return std::nullopt;
    return Refused{"`jitter_sample` must be a finite number between 0.0 and 1.0, got " + model_float_text(j), {}};
}
template <class... Checks>
std::optional<Refused> first_refusal(Checks... checks) {
    std::optional<Refused> out;
    ((out = out ? out : checks), ...);
    return out;
}
Report refused(Refused r) { return {std::move(r), SessionState::Connecting, std::nullopt, std::nullopt, std::nullopt}; }

double raw_double(FuzzedDataProvider& in) {
    const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

double config_value(FuzzedDataProvider& in, std::size_t k) {
    static constexpr double kOdd[] = {0.0, -0.0, 0.5, 1.0, 2.5, 1e-9, 4e-10, 3.0000000005, 1e20, 1.8446744073709552e19,
                                      4294967295.0, 4294967296.0, -1.0, 1.5, 100.0};
    switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0: return kOdd[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kOdd) - 1)];
        case 1: return in.ConsumeIntegralInRange(0, 400);
        case 2: return in.remaining_bytes() > 64 ? raw_double(in) : kDefaults[k];
        case 3: return std::numeric_limits<double>::infinity() * (in.ConsumeBool() ? 1 : -1);
        case 4: return std::nan("");
        default: return kDefaults[k];
    }
}

double time_value(FuzzedDataProvider& in, double& clock) {
    static constexpr double kSteps[] = {0.0, 0.5, 1.0, 3.0, 9.999999999, 10.0, 59.0, 60.0, 100.0, 300.0, 300.5, 1e6};
    switch (in.ConsumeIntegralInRange(0, 15)) {
        case 0: return clock - kSteps[in.ConsumeIntegralInRange<std::size_t>(0, 4)];  // older than the clock
        case 1: return -1.0;
        case 2: return in.ConsumeBool() ? std::nan("") : std::numeric_limits<double>::infinity();
        case 3: return raw_double(in);
        default: return clock += kSteps[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSteps) - 1)];
    }
}

double jitter_value(FuzzedDataProvider& in) {
    static constexpr double kJitter[] = {0.0, 1.0, 0.5, 0.25, 1e-300, 0.9999999999999999, -0.0, 1.5, -0.1};
    if (in.ConsumeIntegralInRange(0, 15) == 0) return raw_double(in);
    return kJitter[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kJitter) - 1)];
}

std::optional<double> retry_after_value(FuzzedDataProvider& in) {
    static constexpr double kAfter[] = {0.0, 5.0, 120.0, 1e300, 0.1, -1.0, 30.0};
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kAfter) + 1);
    if (k == std::size(kAfter)) return std::nullopt;
    if (k > std::size(kAfter)) return raw_double(in);
    return kAfter[k];
}

std::int64_t epoch_value(FuzzedDataProvider& in, const SessionModel& model, std::int64_t last_epoch) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return last_epoch - 1;
        case 1: return last_epoch + 1;
        case 2: return -in.ConsumeIntegralInRange<std::int64_t>(1, std::numeric_limits<std::int64_t>::max());
        default: return model.attempt_epoch() ? static_cast<std::int64_t>(*model.attempt_epoch()) : last_epoch;
    }
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvu::fuzz;
    FuzzedDataProvider in(data, size);
    PolicyConfig config;
    for (std::size_t k = 0; k < kPolicyKeyCount; ++k) config[k] = config_value(in, k);
    SessionMachine session;
    const std::optional<Refused> policy_refused = session.configure(config);
    auto [policy, model_refused] = PolicyModel::read(config);
    FUZZ_SAME(policy_refused, model_refused, "policy");
    if (!policy) return 0;
    FUZZ_SAME(session.heartbeat_interval_s(), secs(policy->d[12]), "heartbeat_interval_s");
    FUZZ_SAME(session.dead_threshold_s(), secs(policy->d[13]), "dead_threshold_s");

    SessionModel model(*policy);
    double clock = 0.0;
    std::int64_t last_epoch = 0;
    for (int step = 0; step < 1000 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 5);
        Report got, want;
        switch (op) {
            case 0: {
                const double now = time_value(in, clock);
                auto [core_refused, epoch] = session.begin_attempt(now);
                const auto model_refused = refuse_time("now_s", now);
                FUZZ_SAME(core_refused, model_refused, "begin_attempt ", now);
                if (!model_refused) {
                    const auto expected = model.begin_attempt(now);
                    FUZZ_SAME(epoch, expected, "begin_attempt epoch");
                    if (expected) last_epoch = static_cast<std::int64_t>(*expected);
                }
                break;
            }
            case 1: {
                const std::int64_t epoch = epoch_value(in, model, last_epoch);
                const double now = time_value(in, clock);
                got = session.on_connected(epoch, now);
                const auto r = first_refusal(refuse_epoch(epoch), refuse_time("now_s", now));
                want = r ? refused(*r) : model.on_connected(static_cast<std::uint64_t>(epoch), now);
                break;
            }
            case 2: {
                static constexpr std::int64_t kCodes[] = {1000, 1006, 1001, 4000, 0, 65535, -1, 65536, 70000};
                const std::int64_t epoch = epoch_value(in, model, last_epoch);
                const double now = time_value(in, clock);
                std::optional<std::int64_t> code;
                const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kCodes));
                if (k < std::size(kCodes)) code = kCodes[k];
                const double j = jitter_value(in);
                got = session.on_socket_close(epoch, now, code, j);
                const auto r = first_refusal(refuse_epoch(epoch), refuse_time("now_s", now),
                                             refuse_code("close_code", code), refuse_jitter(j));
                want = r ? refused(*r) : model.on_socket_close(static_cast<std::uint64_t>(epoch), now, code, j);
                break;
            }
            case 3: {
                static constexpr std::int64_t kStatus[] = {400, 403, 409, 401, 404, 429, 500, 503, 399, 410, -5, 70000};
                const std::int64_t epoch = epoch_value(in, model, last_epoch);
                const double now = time_value(in, clock);
                const std::int64_t status = kStatus[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kStatus) - 1)];
                const std::optional<double> ra = retry_after_value(in);
                const double j = jitter_value(in);
                got = session.on_upgrade_rejected(epoch, now, status, ra, j);
                const auto r = first_refusal(refuse_epoch(epoch), refuse_time("now_s", now), refuse_code("status", status),
                                             refuse_time("retry_after_s", ra), refuse_jitter(j));
                want = r ? refused(*r)
                         : model.on_upgrade_rejected(static_cast<std::uint64_t>(epoch), now, status,
                                                     ra ? std::optional(held(*ra == 0 ? 0.0 : *ra)) : std::nullopt, j);
                break;
            }
            case 4: {
                const double now = time_value(in, clock);
                const bool retryable = in.ConsumeIntegralInRange(0, 7) != 0;
                const std::optional<double> ra = retry_after_value(in);
                const double j = jitter_value(in);
                got = session.on_supersede(now, retryable, ra, j);
                const auto r = first_refusal(refuse_time("now_s", now), refuse_time("retry_after_s", ra), refuse_jitter(j));
                want = r ? refused(*r)
                         : model.on_supersede(now, retryable, ra ? std::optional(held(*ra == 0 ? 0.0 : *ra)) : std::nullopt, j);
                break;
            }
            default:
                if (in.ConsumeIntegralInRange(0, 15) == 0) FUZZ_SAME(session.end(), model.end(), "end");
                break;
        }
        FUZZ_SAME(got.refused, want.refused, "report ", op, " step ", step);
        if (!want.refused) {
            FUZZ_SAME(got.state, want.state, "state after op ", op, " step ", step);
            FUZZ_SAME(got.retry_after, want.retry_after, "retry_after after op ", op, " step ", step);
            FUZZ_SAME(got.dead_reason, want.dead_reason, "dead_reason after op ", op, " step ", step);
            FUZZ_SAME(got.stale_reason, want.stale_reason, "stale_reason after op ", op, " step ", step);
        }
        FUZZ_SAME(session.state(), model.state(), "state after op ", op, " step ", step);
    }
    return 0;
}

// The one way the fuzz targets reach the core. Every call into src/core is
// made here, through the operations the library's users have (validate a
// payload, claim a message, report a close, ...), never through a detail of
// the tables or of the hashing, so that a rework of the core's insides
// changes this file and not the harnesses. Results come back as plain
// values: texts, numbers, the library's enumerations, the JSON tree.
#pragma once

#include "json_tree.hpp"

#include "core/claims.hpp"
#include "core/ordered.hpp"
#include "core/retry.hpp"
#include "core/room_roster.hpp"
#include "core/session.hpp"
#include "core/subscriptions.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::fuzz {

using core::AgentTopicStatus;
using core::DeadReason;
using core::LeaveOutcome;
using core::ParkedReason;
using core::RoomMembership;
using core::RoomStatus;
using core::RoomSubscribeResult;
using core::SessionState;
using core::StaleReason;

// One validation finding: path, code wire spelling, message.
struct Issue {
    std::string path, code, message;
    bool operator==(const Issue&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Issue& issue);

// What a refused call says: a message, or (for validation) its issues.
struct Refused {
    std::string text;
    std::vector<Issue> issues;
    bool operator==(const Refused&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Refused& refused);

// ---------------------------------------------------------------------------
// Payloads: the event named `event_name` with `payload` converted as the
// module converts a host's value. Either the normalised result or the issues.
struct Validation {
    std::optional<Json> value;
    std::vector<Issue> issues;
};
Validation validate_event_payload(std::string_view event_name, const Json& payload);

// ---------------------------------------------------------------------------
// Numbers as messages print them, and durations as a policy holds them.
std::string float_text(double value);
std::string uint_text(std::uint64_t value);
struct Nanos {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
    bool operator==(const Nanos&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Nanos& d);
// `seconds` rounded to the nearest nanosecond; nullopt when no duration holds it.
std::optional<Nanos> exact_duration(double seconds);
// The refusal of `value` for an integer argument `name` that must lie in
// low..high, or nullopt when it does.
std::optional<std::string> range_refusal(std::string_view name, std::uint64_t low, std::uint64_t high,
                                         std::int64_t value);

// ---------------------------------------------------------------------------
// The insertion-ordered store the ledgers and trackers keep their entries in.
class OrderedStore {
public:
    bool insert_back(std::string_view key, std::uint64_t value) { return map_.insert_back(key, value); }
    bool touch_back(std::string_view key) { return map_.touch_back(key, 0); }
    void set(std::string_view key, std::uint64_t value) { map_.set(key, value); }
    bool move_to_back(std::string_view key) { return map_.move_to_back(key); }
    bool erase(std::string_view key) { return map_.erase(key); }
    std::optional<std::uint64_t> find(std::string_view key) const;
    std::optional<std::pair<std::string, std::uint64_t>> pop_front();
    std::optional<std::string> front() const;
    std::size_t size() const noexcept { return map_.size(); }
    std::vector<std::pair<std::string, std::uint64_t>> entries() const;
    void clear() noexcept { map_.clear(); }

private:
    core::OrderedMap<core::Text, std::uint64_t> map_;
};

// ---------------------------------------------------------------------------
// The delivery ledger: one claim registry with the retry tracker it is given.
struct Facts {
    bool self_echo = false;
    bool durably_processed = false;
    bool durably_failed = false;
    bool allow_failed_retry = true;
};
struct Settlement {
    std::string token;
    std::optional<std::string> error;  // a failed intent's text
    std::optional<ParkedReason> parked;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> retry;  // (attempts, max_retries)
    bool operator==(const Settlement&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Settlement& s);
struct SettlementResult {
    std::optional<Settlement> settlement;  // none: no entry (lookups only), or refused
    std::optional<Refused> refused;
};
struct PendingAck {
    std::optional<std::string> error;
    std::optional<ParkedReason> parked;
    bool operator==(const PendingAck&) const = default;
};
std::ostream& operator<<(std::ostream& out, const PendingAck& a);

class Ledger {
public:
    // `first_token` is where the registry's token counter starts.
    Ledger(std::uint32_t max_completed, std::uint64_t first_token, std::uint32_t max_retries,
           std::uint32_t max_tracked);

    bool try_claim(std::string_view room, std::string_view id) { return registry_.try_claim(room, id); }
    void release(std::string_view room, std::string_view id) { registry_.release(room, id); }
    std::vector<std::string> inflight_ids(std::string_view room) const { return registry_.inflight_ids(room); }
    bool is_completed(std::string_view room, std::string_view id) { return registry_.is_completed(room, id); }
    std::vector<std::string> completed_ids(std::string_view room) const { return registry_.completed_ids(room); }
    void discard_completed(std::string_view room) { registry_.discard_completed(room); }
    void remember_completed(std::string_view room, std::string_view id) { registry_.remember_completed(room, id); }

    bool is_ack_pending(std::string_view room, std::string_view id) const { return registry_.is_ack_pending(room, id); }
    void remember_ack_pending(std::string_view room, std::string_view id) { registry_.remember_ack_pending(room, id); }
    std::optional<Refused> remember_failed_ack_pending(std::string_view room, std::string_view id,
                                                       std::string_view error);
    std::optional<PendingAck> pending_ack(std::string_view room, std::string_view id) const;
    bool park_ack(std::string_view room, std::string_view id, ParkedReason reason) {
        return registry_.park_ack(room, id, reason);
    }
    std::size_t unpark_acks(std::string_view room) { return registry_.unpark_acks(room); }
    std::vector<std::string> pending_ack_ids(std::string_view room) const { return registry_.pending_ack_ids(room); }
    std::uint32_t record_ack_retry(std::string_view room, std::string_view id) {
        return registry_.record_ack_retry(room, id);
    }

    std::string delivery_eligibility(std::string_view room, std::string_view id, const Facts& facts);
    std::string guarded_claim(std::string_view room, std::string_view id, const Facts& facts);
    SettlementResult record_processed_settlement(std::string_view room, std::string_view id);
    SettlementResult record_failed_settlement(std::string_view room, std::string_view id, std::string_view error,
                                              bool allow_retry);
    SettlementResult pending_settlement(std::string_view room, std::string_view id) const;
    bool confirm_settlement(std::string_view room, std::string_view id, std::string_view token) {
        return registry_.confirm_settlement(room, id, token, tracker_);
    }
    bool park_settlement(std::string_view room, std::string_view id, std::string_view token, ParkedReason reason) {
        return registry_.park_settlement(room, id, token, reason);
    }
    bool has_retryable_settlement(std::string_view room) const { return registry_.has_retryable_settlement(room); }

    // The retry tracker's own operations.
    std::pair<std::uint32_t, bool> record_attempt(std::string_view id);
    void mark_success(std::string_view id) { tracker_.mark_success(id); }
    void discard_attempt(std::string_view id) { tracker_.discard_attempt(id); }
    void mark_permanently_failed(std::string_view id) { tracker_.mark_permanently_failed(id); }
    bool is_permanently_failed(std::string_view id) const { return tracker_.is_permanently_failed(id); }

private:
    core::ClaimRegistry registry_;
    core::RetryTracker tracker_;
};

// ---------------------------------------------------------------------------
// One session with its policy, driven with arguments as a host passes them.
inline constexpr std::size_t kPolicyKeyCount = 14;
using PolicyConfig = std::array<double, kPolicyKeyCount>;  // in the order the keys are read

struct Report {
    std::optional<Refused> refused;
    SessionState state = SessionState::Connecting;
    std::optional<Nanos> retry_after;
    std::optional<DeadReason> dead_reason;
    std::optional<StaleReason> stale_reason;
};

class SessionMachine {
public:
    // Reads the configuration; on success the session starts with it.
    std::optional<Refused> configure(const PolicyConfig& config);
    double heartbeat_interval_s() const { return policy_->heartbeat_interval.seconds(); }
    double dead_threshold_s() const { return policy_->dead_threshold.seconds(); }

    SessionState state() const { return session_->state(); }
    std::pair<std::optional<Refused>, std::optional<std::uint64_t>> begin_attempt(double now_s);
    Report on_connected(std::int64_t epoch, double now_s);
    Report on_socket_close(std::int64_t epoch, double now_s, std::optional<std::int64_t> close_code, double jitter);
    Report on_upgrade_rejected(std::int64_t epoch, double now_s, std::int64_t status,
                               std::optional<double> retry_after_s, double jitter);
    Report on_supersede(double now_s, bool retryable, std::optional<double> retry_after_s, double jitter);
    SessionState end() { return session_->end(); }

private:
    std::optional<core::SessionPolicy> policy_;
    std::optional<core::Session> session_;
};

// ---------------------------------------------------------------------------
// Membership: the subscription tracker and the room roster, whose calls take
// and give plain values already.
class Subscriptions : private core::SubscriptionTracker {
public:
    explicit Subscriptions(std::uint64_t first_ticket) : core::SubscriptionTracker(first_ticket) {}
    using core::SubscriptionTracker::acknowledge_agent_topic_reconciled;
    using core::SubscriptionTracker::acknowledge_room_reconciled;
    using core::SubscriptionTracker::agent_topic_rejoin_candidates;
    using core::SubscriptionTracker::agent_topic_status;
    using core::SubscriptionTracker::begin_agent_topic_join;
    using core::SubscriptionTracker::begin_room_subscribe;
    using core::SubscriptionTracker::end_session;
    using core::SubscriptionTracker::is_agent_topic_claim_current;
    using core::SubscriptionTracker::is_agent_topic_joined;
    using core::SubscriptionTracker::is_room_claim_current;
    using core::SubscriptionTracker::is_room_subscribed;
    using core::SubscriptionTracker::joined_agent_topics;
    using core::SubscriptionTracker::leave_agent_topic;
    using core::SubscriptionTracker::mark_agent_topic_leave_complete;
    using core::SubscriptionTracker::mark_agent_topic_rejoin_failed;
    using core::SubscriptionTracker::mark_room_leave_complete;
    using core::SubscriptionTracker::mark_room_rejoin_failed;
    using core::SubscriptionTracker::on_reconnected;
    using core::SubscriptionTracker::record_agent_topic_join;
    using core::SubscriptionTracker::record_agent_topic_join_ambiguous;
    using core::SubscriptionTracker::record_both_room_topics_joined;
    using core::SubscriptionTracker::record_chat_room_join_failed;
    using core::SubscriptionTracker::record_room_participants_join_failed;
    using core::SubscriptionTracker::room_rejoin_candidates;
    using core::SubscriptionTracker::room_status;
    using core::SubscriptionTracker::subscribed_room_ids;
    using core::SubscriptionTracker::unsubscribe_room;
};

struct Reconciliation {
    std::vector<std::string> removed;
    std::vector<std::pair<std::string, std::uint64_t>> admitting;
    std::vector<std::string> resync;
};

class Roster : private core::RoomRoster {
public:
    explicit Roster(std::uint64_t first_ticket) : core::RoomRoster(first_ticket) {}
    using core::RoomRoster::begin_room_admission;
    using core::RoomRoster::clear;
    using core::RoomRoster::is_room_admission_current;
    using core::RoomRoster::record_room_admission;
    using core::RoomRoster::record_room_removed;
    using core::RoomRoster::room_membership;
    using core::RoomRoster::tracked_room_ids;
    Reconciliation reconcile(const std::vector<std::string>& current_room_ids);
};

}  // namespace orvu::fuzz

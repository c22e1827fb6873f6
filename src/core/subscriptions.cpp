#include "core/subscriptions.hpp"

#include <array>

namespace orvu::core {
namespace {

static_assert(index_of(Phase::Active) == index_of(RoomStatus::Subscribed));
static_assert(index_of(Phase::Active) == index_of(AgentTopicStatus::Joined));
static_assert(index_of(Phase::NeedsReconciliation) == index_of(RoomStatus::NeedsReconciliation));
static_assert(index_of(Phase::NeedsReconciliation) == index_of(AgentTopicStatus::NeedsReconciliation));

enum class TicketRule : std::uint8_t {
    None,       // the step neither checks nor hands out a ticket
    MustMatch,  // the reported ticket must equal the stored one, which is kept
    Fresh,      // a new ticket is taken from the counter
};

struct StepRule {
    Phase from;
    TicketRule ticket;
    Phase to;
};

// Indexed by Step.
constexpr std::array<StepRule, 9> kStepRules{{
    {Phase::Absent, TicketRule::Fresh, Phase::Pending},                    // Begin
    {Phase::Pending, TicketRule::MustMatch, Phase::Active},                // Joined
    {Phase::Pending, TicketRule::MustMatch, Phase::Absent},                // JoinFailed
    {Phase::Pending, TicketRule::MustMatch, Phase::NeedsReconciliation},   // JoinUnsettled
    {Phase::Active, TicketRule::MustMatch, Phase::NeedsReconciliation},    // RejoinFailed
    {Phase::Active, TicketRule::Fresh, Phase::Leaving},                    // BeginLeave
    {Phase::Leaving, TicketRule::MustMatch, Phase::Absent},                // Left
    {Phase::Leaving, TicketRule::MustMatch, Phase::NeedsReconciliation},   // LeaveUnsettled
    {Phase::NeedsReconciliation, TicketRule::None, Phase::Absent},         // Reconciled
}};

Step leave_step(LeaveOutcome outcome) noexcept {
    return outcome == LeaveOutcome::Left ? Step::Left : Step::LeaveUnsettled;
}

}  // namespace

// ---------------------------------------------------------------------------
// SubscriptionBook

Phase SubscriptionBook::phase(const std::string& key) const {
    if (pending_.count(key)) return Phase::Pending;
    if (active_.contains(key)) return Phase::Active;
    if (leaving_.count(key)) return Phase::Leaving;
    if (unsettled_.count(key)) return Phase::NeedsReconciliation;
    return Phase::Absent;
}

std::optional<std::uint64_t> SubscriptionBook::ticket_in(Phase phase, const std::string& key) const {
    const std::unordered_map<std::string, std::uint64_t>* map = nullptr;
    switch (phase) {
        case Phase::Pending: map = &pending_; break;
        case Phase::Leaving: map = &leaving_; break;
        case Phase::Active: {
            const std::uint64_t* t = active_.find(key);
            return t ? std::optional<std::uint64_t>(*t) : std::nullopt;
        }
        case Phase::Absent:
        case Phase::NeedsReconciliation: return std::nullopt;
    }
    auto it = map->find(key);
    return it == map->end() ? std::nullopt : std::optional<std::uint64_t>(it->second);
}

bool SubscriptionBook::holds(Phase phase, const std::string& key, std::uint64_t ticket) const {
    auto stored = ticket_in(phase, key);
    return stored && *stored == ticket;
}

void SubscriptionBook::insert(Phase phase, const std::string& key, std::uint64_t ticket) {
    switch (phase) {
        case Phase::Absent: break;
        case Phase::Pending: pending_.emplace(key, ticket); break;
        case Phase::Active: active_.insert_back(key, ticket); break;
        case Phase::Leaving: leaving_.emplace(key, ticket); break;
        case Phase::NeedsReconciliation: unsettled_.insert(key); break;
    }
}

void SubscriptionBook::remove(Phase phase, const std::string& key) noexcept {
    switch (phase) {
        case Phase::Absent: break;
        case Phase::Pending: pending_.erase(key); break;
        case Phase::Active: active_.erase(key); break;
        case Phase::Leaving: leaving_.erase(key); break;
        case Phase::NeedsReconciliation: unsettled_.erase(key); break;
    }
}

std::optional<std::uint64_t> SubscriptionBook::apply(Step step, const std::string& key, std::uint64_t ticket,
                                                     TicketCounter& counter) {
    const StepRule& rule = kStepRules[index_of(step)];
    if (phase(key) != rule.from) return std::nullopt;
    std::uint64_t carried = 0;
    switch (rule.ticket) {
        case TicketRule::None: break;
        case TicketRule::MustMatch:
            if (!holds(rule.from, key, ticket)) return std::nullopt;
            carried = ticket;
            break;
        case TicketRule::Fresh:
            if (counter.exhausted()) return std::nullopt;
            carried = counter.peek();
            break;
    }
    // Enter the new collection before leaving the old one, and take the
    // ticket last: if the insertion throws, nothing has changed.
    insert(rule.to, key, carried);
    remove(rule.from, key);
    if (rule.ticket == TicketRule::Fresh) counter.advance();
    return carried;
}

std::vector<TicketedId> SubscriptionBook::active_entries() const {
    std::vector<TicketedId> out;
    out.reserve(active_.size());
    for (const auto& [key, ticket] : active_) out.emplace_back(key, ticket);
    return out;
}

std::vector<std::string> SubscriptionBook::active_keys() const {
    std::vector<std::string> out;
    out.reserve(active_.size());
    for (const auto& entry : active_) out.push_back(entry.first);
    return out;
}

void SubscriptionBook::clear() noexcept {
    pending_.clear();
    active_.clear();
    leaving_.clear();
    unsettled_.clear();
}

// ---------------------------------------------------------------------------
// SubscriptionTracker: rooms

std::optional<std::uint64_t> SubscriptionTracker::begin_room_subscribe(const std::string& room_id) {
    return rooms_.apply(Step::Begin, room_id, 0, counter_);
}

RoomSubscribeResult SubscriptionTracker::record_chat_room_join_failed(const std::string& room_id,
                                                                      std::uint64_t ticket) {
    return rooms_.apply(Step::JoinFailed, room_id, ticket, counter_) ? RoomSubscribeResult::JoinFailed
                                                                      : RoomSubscribeResult::Stale;
}

RoomSubscribeResult SubscriptionTracker::record_both_room_topics_joined(const std::string& room_id,
                                                                        std::uint64_t ticket) {
    return rooms_.apply(Step::Joined, room_id, ticket, counter_) ? RoomSubscribeResult::Subscribed
                                                                  : RoomSubscribeResult::Stale;
}

RoomSubscribeResult SubscriptionTracker::record_room_participants_join_failed(const std::string& room_id,
                                                                              std::uint64_t ticket,
                                                                              bool chat_room_left) {
    // With chat_room left again the room is cleanly gone; otherwise one of its
    // topics may still be joined and the host must settle it.
    Step step = chat_room_left ? Step::JoinFailed : Step::JoinUnsettled;
    if (!rooms_.apply(step, room_id, ticket, counter_)) return RoomSubscribeResult::Stale;
    return chat_room_left ? RoomSubscribeResult::RolledBack : RoomSubscribeResult::RollbackFailed;
}

bool SubscriptionTracker::is_room_subscribed(const std::string& room_id) const {
    return rooms_.phase(room_id) == Phase::Active;
}

bool SubscriptionTracker::is_room_claim_current(const std::string& room_id, std::uint64_t ticket) const {
    return rooms_.holds(Phase::Pending, room_id, ticket);
}

RoomStatus SubscriptionTracker::room_status(const std::string& room_id) const {
    return static_cast<RoomStatus>(rooms_.phase(room_id));
}

std::optional<std::uint64_t> SubscriptionTracker::unsubscribe_room(const std::string& room_id) {
    return rooms_.apply(Step::BeginLeave, room_id, 0, counter_);
}

bool SubscriptionTracker::mark_room_leave_complete(const std::string& room_id, std::uint64_t ticket,
                                                   LeaveOutcome outcome) {
    return rooms_.apply(leave_step(outcome), room_id, ticket, counter_).has_value();
}

bool SubscriptionTracker::acknowledge_room_reconciled(const std::string& room_id) {
    return rooms_.apply(Step::Reconciled, room_id, 0, counter_).has_value();
}

bool SubscriptionTracker::mark_room_rejoin_failed(const std::string& room_id, std::uint64_t ticket) {
    return rooms_.apply(Step::RejoinFailed, room_id, ticket, counter_).has_value();
}

// ---------------------------------------------------------------------------
// SubscriptionTracker: agent topics

std::optional<std::uint64_t> SubscriptionTracker::begin_agent_topic_join(const std::string& topic) {
    return topics_.apply(Step::Begin, topic, 0, counter_);
}

bool SubscriptionTracker::record_agent_topic_join(const std::string& topic, std::uint64_t ticket, bool joined) {
    // A failed join under the live ticket ends the claim but still answers
    // false, like a stale report.
    bool applied = topics_.apply(joined ? Step::Joined : Step::JoinFailed, topic, ticket, counter_).has_value();
    return applied && joined;
}

bool SubscriptionTracker::record_agent_topic_join_ambiguous(const std::string& topic, std::uint64_t ticket) {
    return topics_.apply(Step::JoinUnsettled, topic, ticket, counter_).has_value();
}

bool SubscriptionTracker::is_agent_topic_joined(const std::string& topic) const {
    return topics_.phase(topic) == Phase::Active;
}

bool SubscriptionTracker::is_agent_topic_claim_current(const std::string& topic, std::uint64_t ticket) const {
    return topics_.holds(Phase::Pending, topic, ticket);
}

AgentTopicStatus SubscriptionTracker::agent_topic_status(const std::string& topic) const {
    return static_cast<AgentTopicStatus>(topics_.phase(topic));
}

std::optional<std::uint64_t> SubscriptionTracker::leave_agent_topic(const std::string& topic) {
    return topics_.apply(Step::BeginLeave, topic, 0, counter_);
}

bool SubscriptionTracker::mark_agent_topic_leave_complete(const std::string& topic, std::uint64_t ticket,
                                                          LeaveOutcome outcome) {
    return topics_.apply(leave_step(outcome), topic, ticket, counter_).has_value();
}

bool SubscriptionTracker::acknowledge_agent_topic_reconciled(const std::string& topic) {
    return topics_.apply(Step::Reconciled, topic, 0, counter_).has_value();
}

bool SubscriptionTracker::mark_agent_topic_rejoin_failed(const std::string& topic, std::uint64_t ticket) {
    return topics_.apply(Step::RejoinFailed, topic, ticket, counter_).has_value();
}

void SubscriptionTracker::end_session() noexcept {
    rooms_.clear();
    topics_.clear();
}

// ---------------------------------------------------------------------------
// Topic names

namespace {
std::string prefixed(std::string_view prefix, std::string_view id) {
    std::string topic;
    topic.reserve(prefix.size() + 1 + id.size());
    topic.append(prefix).append(1, ':').append(id);
    return topic;
}
}  // namespace

std::string chat_room_topic(std::string_view room_id) { return prefixed("chat_room", room_id); }

std::string room_participants_topic(std::string_view room_id) { return prefixed("room_participants", room_id); }

std::string agent_topic(AgentTopicKind kind, std::string_view agent_id) {
    return prefixed(wire_of(EnumId::AgentTopicKind, kind), agent_id);
}

}  // namespace orvu::core

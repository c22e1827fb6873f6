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

Phase SubscriptionBook::phase(std::string_view key) const {
    const Standing* s = subjects_.find(key);
    return s ? s->phase : Phase::Absent;
}

bool SubscriptionBook::holds(Phase phase, std::string_view key, std::uint64_t ticket) const {
    const Standing* s = subjects_.find(key);
    return s && s->phase == phase && phase != Phase::NeedsReconciliation && s->ticket == ticket;
}

// Inlined into each step of the tracker: an optional returned from a call is
// put together in memory byte by byte and read back whole, a stall on every call.
ORVU_ALWAYS_INLINE std::optional<std::uint64_t> SubscriptionBook::apply(Step step, std::string_view key,
                                                                        std::uint64_t ticket, TicketCounter& counter) {
    const StepRule& rule = kStepRules[index_of(step)];
    const auto at = subjects_.locate(key);
    const bool present = static_cast<bool>(at);
    if ((present ? subjects_.value(at).phase : Phase::Absent) != rule.from) return std::nullopt;
    std::uint64_t carried = 0;
    switch (rule.ticket) {
        case TicketRule::None: break;
        case TicketRule::MustMatch:
            if (subjects_.value(at).ticket != ticket) return std::nullopt;
            carried = ticket;
            break;
        case TicketRule::Fresh:
            if (counter.exhausted()) return std::nullopt;
            carried = counter;
            break;
    }
    if (rule.to == Phase::Absent) {
        subjects_.erase(at);
    } else if (!present) {
        // The only step out of Absent; if the insertion throws, nothing has
        // changed (the ticket is taken below, after it).
        subjects_.insert_back(std::string(key), Standing{rule.to, carried});
    } else {
        subjects_.value(at) = Standing{rule.to, carried};
        if (rule.to == Phase::Active) subjects_.move_to_back(at);
    }
    if (rule.ticket == TicketRule::Fresh) counter.advance();
    return carried;
}

std::vector<TicketedId> SubscriptionBook::active_entries() const {
    std::vector<TicketedId> out;
    for (const auto& [key, s] : subjects_) {
        if (s.phase == Phase::Active) out.emplace_back(key, s.ticket);
    }
    return out;
}

std::vector<std::string> SubscriptionBook::active_keys() const {
    std::vector<std::string> out;
    for (const auto& [key, s] : subjects_) {
        if (s.phase == Phase::Active) out.push_back(key);
    }
    return out;
}

void SubscriptionBook::clear() noexcept {
    subjects_.clear();
}

// ---------------------------------------------------------------------------
// SubscriptionTracker: rooms

std::optional<std::uint64_t> SubscriptionTracker::begin_room_subscribe(std::string_view room_id) {
    return rooms_.apply(Step::Begin, room_id, 0, counter_);
}

RoomSubscribeResult SubscriptionTracker::record_chat_room_join_failed(std::string_view room_id,
                                                                      std::uint64_t ticket) {
    return rooms_.apply(Step::JoinFailed, room_id, ticket, counter_) ? RoomSubscribeResult::JoinFailed
                                                                      : RoomSubscribeResult::Stale;
}

RoomSubscribeResult SubscriptionTracker::record_both_room_topics_joined(std::string_view room_id,
                                                                        std::uint64_t ticket) {
    return rooms_.apply(Step::Joined, room_id, ticket, counter_) ? RoomSubscribeResult::Subscribed
                                                                  : RoomSubscribeResult::Stale;
}

RoomSubscribeResult SubscriptionTracker::record_room_participants_join_failed(std::string_view room_id,
                                                                              std::uint64_t ticket,
                                                                              bool chat_room_left) {
    // With chat_room left again the room is cleanly gone; otherwise one of its
    // topics may still be joined and the host must settle it.
    Step step = chat_room_left ? Step::JoinFailed : Step::JoinUnsettled;
    if (!rooms_.apply(step, room_id, ticket, counter_)) return RoomSubscribeResult::Stale;
    return chat_room_left ? RoomSubscribeResult::RolledBack : RoomSubscribeResult::RollbackFailed;
}

bool SubscriptionTracker::is_room_subscribed(std::string_view room_id) const {
    return rooms_.phase(room_id) == Phase::Active;
}

bool SubscriptionTracker::is_room_claim_current(std::string_view room_id, std::uint64_t ticket) const {
    return rooms_.holds(Phase::Pending, room_id, ticket);
}

RoomStatus SubscriptionTracker::room_status(std::string_view room_id) const {
    return static_cast<RoomStatus>(rooms_.phase(room_id));
}

std::optional<std::uint64_t> SubscriptionTracker::unsubscribe_room(std::string_view room_id) {
    return rooms_.apply(Step::BeginLeave, room_id, 0, counter_);
}

bool SubscriptionTracker::mark_room_leave_complete(std::string_view room_id, std::uint64_t ticket,
                                                   LeaveOutcome outcome) {
    return rooms_.apply(leave_step(outcome), room_id, ticket, counter_).has_value();
}

bool SubscriptionTracker::acknowledge_room_reconciled(std::string_view room_id) {
    return rooms_.apply(Step::Reconciled, room_id, 0, counter_).has_value();
}

bool SubscriptionTracker::mark_room_rejoin_failed(std::string_view room_id, std::uint64_t ticket) {
    return rooms_.apply(Step::RejoinFailed, room_id, ticket, counter_).has_value();
}

// ---------------------------------------------------------------------------
// SubscriptionTracker: agent topics

std::optional<std::uint64_t> SubscriptionTracker::begin_agent_topic_join(std::string_view topic) {
    return topics_.apply(Step::Begin, topic, 0, counter_);
}

bool SubscriptionTracker::record_agent_topic_join(std::string_view topic, std::uint64_t ticket, bool joined) {
    // A failed join under the live ticket ends the claim but still answers
    // false, like a stale report.
    bool applied = topics_.apply(joined ? Step::Joined : Step::JoinFailed, topic, ticket, counter_).has_value();
    return applied && joined;
}

bool SubscriptionTracker::record_agent_topic_join_ambiguous(std::string_view topic, std::uint64_t ticket) {
    return topics_.apply(Step::JoinUnsettled, topic, ticket, counter_).has_value();
}

bool SubscriptionTracker::is_agent_topic_joined(std::string_view topic) const {
    return topics_.phase(topic) == Phase::Active;
}

bool SubscriptionTracker::is_agent_topic_claim_current(std::string_view topic, std::uint64_t ticket) const {
    return topics_.holds(Phase::Pending, topic, ticket);
}

AgentTopicStatus SubscriptionTracker::agent_topic_status(std::string_view topic) const {
    return static_cast<AgentTopicStatus>(topics_.phase(topic));
}

std::optional<std::uint64_t> SubscriptionTracker::leave_agent_topic(std::string_view topic) {
    return topics_.apply(Step::BeginLeave, topic, 0, counter_);
}

bool SubscriptionTracker::mark_agent_topic_leave_complete(std::string_view topic, std::uint64_t ticket,
                                                          LeaveOutcome outcome) {
    return topics_.apply(leave_step(outcome), topic, ticket, counter_).has_value();
}

bool SubscriptionTracker::acknowledge_agent_topic_reconciled(std::string_view topic) {
    return topics_.apply(Step::Reconciled, topic, 0, counter_).has_value();
}

bool SubscriptionTracker::mark_agent_topic_rejoin_failed(std::string_view topic, std::uint64_t ticket) {
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

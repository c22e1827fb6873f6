// Subscription bookkeeping for one agent session: which rooms (each a pair of
// topics joined as one unit) and which single-topic agent channels are
// pending, joined, leaving or of unknown transport state. Both halves are the
// same ticketed state machine (SubscriptionBook) and draw tickets from one
// shared counter, so every ticket of a tracker is unique across both.
#pragma once

#include "core/enums.hpp"
#include "core/ordered.hpp"
#include "core/saturating.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::core {

// Where a subscribed subject (room or topic) stands. The order matches both
// RoomStatus and AgentTopicStatus.
enum class Phase : std::uint8_t { Absent, Pending, Active, Leaving, NeedsReconciliation };

// Every change a subject can go through; the rule of each lives in one table.
enum class Step : std::uint8_t {
    Begin,           // Absent -> Pending under a new ticket
    Joined,          // Pending(t) -> Active(t)
    JoinFailed,      // Pending(t) -> Absent
    JoinUnsettled,   // Pending(t) -> NeedsReconciliation
    RejoinFailed,    // Active(t) -> NeedsReconciliation
    BeginLeave,      // Active -> Leaving under a new ticket
    Left,            // Leaving(t) -> Absent
    LeaveUnsettled,  // Leaving(t) -> NeedsReconciliation
    Reconciled,      // NeedsReconciliation -> Absent
};

using TicketedId = std::pair<std::string, std::uint64_t>;

// One half of a tracker: every subject of one kind that is not Absent, with
// its phase and the ticket it carries, in one insertion-ordered map. A subject
// moves to the newest end when it becomes Active, so the Active ones iterate
// in the order they were joined.
class SubscriptionBook {
public:
    Phase phase(std::string_view key) const;
    // True only when `key` is in `phase` under exactly `ticket`.
    bool holds(Phase phase, std::string_view key, std::uint64_t ticket) const;

    // Applies `step` to `key`. `ticket` is the reported ticket for the steps
    // that check one (ignored otherwise). Returns the ticket the subject now
    // carries (the new one for beginning steps), 0 when it carries none, or
    // nullopt when the step is refused; a refusal changes nothing.
    std::optional<std::uint64_t> apply(Step step, std::string_view key, std::uint64_t ticket,
                                       TicketCounter& counter);

    // Active subjects with the ticket they were joined under, oldest first.
    std::vector<TicketedId> active_entries() const;
    std::vector<std::string> active_keys() const;

    void clear() noexcept;

private:
    struct Standing {
        Phase phase;
        std::uint64_t ticket;  // 0 in NeedsReconciliation
    };
    OrderedMap<std::string, Standing> subjects_;
};

class SubscriptionTracker {
public:
    // `first_ticket` is where the counter starts (0 for every tracker the
    // module hands out).
    explicit SubscriptionTracker(std::uint64_t first_ticket = 0) noexcept : counter_(first_ticket) {}

    // Rooms.
    std::optional<std::uint64_t> begin_room_subscribe(std::string_view room_id);
    RoomSubscribeResult record_chat_room_join_failed(std::string_view room_id, std::uint64_t ticket);
    RoomSubscribeResult record_both_room_topics_joined(std::string_view room_id, std::uint64_t ticket);
    RoomSubscribeResult record_room_participants_join_failed(std::string_view room_id, std::uint64_t ticket,
                                                             bool chat_room_left);
    bool is_room_subscribed(std::string_view room_id) const;
    bool is_room_claim_current(std::string_view room_id, std::uint64_t ticket) const;
    RoomStatus room_status(std::string_view room_id) const;
    std::optional<std::uint64_t> unsubscribe_room(std::string_view room_id);
    bool mark_room_leave_complete(std::string_view room_id, std::uint64_t ticket, LeaveOutcome outcome);
    bool acknowledge_room_reconciled(std::string_view room_id);
    std::vector<TicketedId> room_rejoin_candidates() const { return rooms_.active_entries(); }
    bool mark_room_rejoin_failed(std::string_view room_id, std::uint64_t ticket);
    std::vector<std::string> subscribed_room_ids() const { return rooms_.active_keys(); }

    // Agent topics.
    std::optional<std::uint64_t> begin_agent_topic_join(std::string_view topic);
    bool record_agent_topic_join(std::string_view topic, std::uint64_t ticket, bool joined);
    bool record_agent_topic_join_ambiguous(std::string_view topic, std::uint64_t ticket);
    bool is_agent_topic_joined(std::string_view topic) const;
    bool is_agent_topic_claim_current(std::string_view topic, std::uint64_t ticket) const;
    AgentTopicStatus agent_topic_status(std::string_view topic) const;
    std::optional<std::uint64_t> leave_agent_topic(std::string_view topic);
    bool mark_agent_topic_leave_complete(std::string_view topic, std::uint64_t ticket, LeaveOutcome outcome);
    bool acknowledge_agent_topic_reconciled(std::string_view topic);
    std::vector<TicketedId> agent_topic_rejoin_candidates() const { return topics_.active_entries(); }
    bool mark_agent_topic_rejoin_failed(std::string_view topic, std::uint64_t ticket);
    std::vector<std::string> joined_agent_topics() const { return topics_.active_keys(); }

    // A transport reconnect keeps every entry: subscribed rooms and joined
    // topics are what the host rejoins under their existing tickets.
    void on_reconnected() noexcept {}
    // Forgets every entry of both halves; the counter keeps counting, so
    // every earlier ticket stays stale.
    void end_session() noexcept;

private:
    TicketCounter counter_;
    SubscriptionBook rooms_;
    SubscriptionBook topics_;
};

// Phoenix Channels topic names.
std::string chat_room_topic(std::string_view room_id);
std::string room_participants_topic(std::string_view room_id);
std::string agent_topic(AgentTopicKind kind, std::string_view agent_id);

}  // namespace orvu::core

// Subscriptions and the room roster: random tickets and reports compared
// with a model of their state tables. Each subject (room, agent topic,
// admitted room) is in one state with the ticket it carries; tickets come
// from one counter per object that never wraps; reports under any ticket but
// the live one change nothing.
#include "adapter.hpp"
#include "check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace orvu::fuzz {
namespace {

constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();

// A ticket counter: hands out its value and moves on, never past the last value.
struct Counter {
    std::uint64_t next;
    std::optional<std::uint64_t> take() {
        if (next == kLast) return std::nullopt;
        return next++;
    }
};

// One half of a tracker (rooms or agent topics): the same five states with
// the same indexes in RoomStatus and AgentTopicStatus.
enum class Phase { Absent, Pending, Active, Leaving, Reconcile };

class HalfModel {
public:
    Phase phase(const std::string& k) const {
        auto it = subjects_.find(k);
        return it == subjects_.end() ? Phase::Absent : it->second.first;
    }
    bool holds(Phase p, const std::string& k, std::uint64_t t) const {
        auto it = subjects_.find(k);
        return it != subjects_.end() && it->second.first == p && it->second.second == t;
    }
    std::optional<std::uint64_t> ticket(const std::string& k) const {
        auto it = subjects_.find(k);
        if (it == subjects_.end() || it->second.first == Phase::Reconcile) return std::nullopt;
        return it->second.second;
    }
    // Absent -> Pending, or Active -> Leaving, under a new ticket.
    std::optional<std::uint64_t> begin(Phase from, Phase to, const std::string& k, Counter& counter) {
        if (phase(k) != from) return std::nullopt;
        auto t = counter.take();
        if (!t) return std::nullopt;
        if (from == Phase::Active) active_.erase(std::find(active_.begin(), active_.end(), k));
        subjects_[k] = {to, *t};
        return t;
    }
    void move(const std::string& k, Phase to) {
        if (phase(k) == Phase::Active) active_.erase(std::find(active_.begin(), active_.end(), k));
        if (to == Phase::Absent) {
            subjects_.erase(k);
            return;
        }
        if (to == Phase::Active) active_.push_back(k);
        subjects_[k].first = to;
    }
    std::vector<std::pair<std::string, std::uint64_t>> active_entries() const {
        std::vector<std::pair<std::string, std::uint64_t>> out;
        for (const auto& k : active_) out.emplace_back(k, subjects_.at(k).second);
        return out;
    }
    const std::vector<std::string>& active() const { return active_; }
    void clear() {
        subjects_.clear();
        active_.clear();
    }

private:
    std::map<std::string, std::pair<Phase, std::uint64_t>> subjects_;
    std::vector<std::string> active_;  // the order they became active
};

struct TrackerModel {
    Counter counter;
    HalfModel rooms, topics;

    RoomSubscribeResult complete(const std::string& r, std::uint64_t t, int report, bool left) {
        if (!rooms.holds(Phase::Pending, r, t)) return RoomSubscribeResult::Stale;
        if (report == 0) {
            rooms.move(r, Phase::Active);
            return RoomSubscribeResult::Subscribed;
        }
        if (report == 1) {
            rooms.move(r, Phase::Absent);
            return RoomSubscribeResult::JoinFailed;
        }
        rooms.move(r, left ? Phase::Absent : Phase::Reconcile);
        return left ? RoomSubscribeResult::RolledBack : RoomSubscribeResult::RollbackFailed;
    }
    bool leave_complete(HalfModel& half, const std::string& k, std::uint64_t t, LeaveOutcome o) {
        if (!half.holds(Phase::Leaving, k, t)) return false;
        half.move(k, o == LeaveOutcome::Left ? Phase::Absent : Phase::Reconcile);
        return true;
    }
    static bool step(HalfModel& half, Phase from, const std::string& k, std::optional<std::uint64_t> t, Phase to) {
        if (t ? !half.holds(from, k, *t) : half.phase(k) != from) return false;
        half.move(k, to);
        return true;
    }
};

struct RosterModel {
    Counter counter;
    std::vector<std::string> admitted;
    std::map<std::string, std::uint64_t> admitting;

    bool is_admitted(const std::string& r) const { return std::find(admitted.begin(), admitted.end(), r) != admitted.end(); }
    RoomMembership membership(const std::string& r) const {
        if (admitting.count(r)) return RoomMembership::Admitting;
        return is_admitted(r) ? RoomMembership::Admitted : RoomMembership::Unadmitted;
    }
    std::optional<std::uint64_t> begin(const std::string& r, bool passes) {
        if (!passes || membership(r) != RoomMembership::Unadmitted) return std::nullopt;
        auto t = counter.take();
        if (t) admitting[r] = *t;
        return t;
    }
    bool record(const std::string& r, std::uint64_t t, bool succeeded) {
        auto it = admitting.find(r);
        if (it == admitting.end() || it->second != t) return false;
        admitting.erase(it);
        if (succeeded) admitted.push_back(r);
        return succeeded;
    }
    bool removed(const std::string& r) {
        admitting.erase(r);
        auto it = std::find(admitted.begin(), admitted.end(), r);
        if (it == admitted.end()) return false;
        admitted.erase(it);
        return true;
    }
    Reconciliation reconcile(const std::vector<std::string>& current) {
        const std::set<std::string> snapshot(current.begin(), current.end());
        Reconciliation out;
        for (const auto& r : admitted) (snapshot.count(r) ? out.resync : out.removed).push_back(r);
        std::sort(out.removed.begin(), out.removed.end());
        std::sort(out.resync.begin(), out.resync.end());
        std::vector<std::string> candidates;
        for (const auto& r : snapshot) {
            if (membership(r) == RoomMembership::Unadmitted) candidates.push_back(r);
        }
        for (const auto& r : out.removed) admitted.erase(std::find(admitted.begin(), admitted.end(), r));
        for (const auto& r : candidates) {  // the set iterates in ascending order
            auto t = counter.take();
            if (!t) break;
            admitting[r] = *t;
            out.admitting.emplace_back(r, *t);
        }
        return out;
    }
    std::vector<std::string> clear() {
        std::vector<std::string> out = admitted;
        for (const auto& [r, t] : admitting) out.push_back(r);
        std::sort(out.begin(), out.end());
        admitted.clear();
        admitting.clear();
        return out;
    }
};

const std::vector<std::string> kNames = {"", "a", "b", "r:1", "agent_rooms:a1", std::string("a\0", 2)};

std::string pick_name(FuzzedDataProvider& in) {
    const std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, kNames.size());
    return k < kNames.size() ? kNames[k] : in.ConsumeRandomLengthString(10);
}

// The live ticket of the subject, when the model knows one, or a near miss.
std::uint64_t pick_ticket(FuzzedDataProvider& in, std::optional<std::uint64_t> live, std::uint64_t next) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: return next;
        case 1: return next - 1;
        case 2: return live ? *live + 1 : in.ConsumeIntegral<std::uint64_t>();
        case 3: return in.ConsumeIntegralInRange<std::uint64_t>(0, 8);
        default: return live.value_or(next - 1);
    }
}

LeaveOutcome pick_outcome(FuzzedDataProvider& in) {
    return static_cast<LeaveOutcome>(in.ConsumeIntegralInRange(0, 2));
}

std::uint64_t first_ticket(FuzzedDataProvider& in) {
    return in.ConsumeIntegralInRange(0, 3) == 0 ? kLast - in.ConsumeIntegralInRange<std::uint64_t>(0, 3) : 0;
}

void run_tracker(FuzzedDataProvider& in) {
    const std::uint64_t first = first_ticket(in);
    Subscriptions core(first);
    TrackerModel m{{first}, {}, {}};
    for (int step = 0; step < 1500 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 25);
        const std::string k = pick_name(in);
        const bool room = op < 13;
        const std::uint64_t t = pick_ticket(in, (room ? m.rooms : m.topics).ticket(k), m.counter.next);
        switch (op) {
            case 0: FUZZ_SAME(core.begin_room_subscribe(k), m.rooms.begin(Phase::Absent, Phase::Pending, k, m.counter), "begin_room_subscribe ", k); break;
            case 1: FUZZ_SAME(core.record_both_room_topics_joined(k, t), m.complete(k, t, 0, false), "record_both_room_topics_joined ", k, " ", t); break;
            case 2: FUZZ_SAME(core.record_chat_room_join_failed(k, t), m.complete(k, t, 1, false), "record_chat_room_join_failed ", k, " ", t); break;
            case 3: {
                const bool left = in.ConsumeBool();
                FUZZ_SAME(core.record_room_participants_join_failed(k, t, left), m.complete(k, t, 2, left),
                          "record_room_participants_join_failed ", k, " ", t, " ", left);
                break;
            }
            case 4: FUZZ_SAME(core.is_room_subscribed(k), m.rooms.phase(k) == Phase::Active, "is_room_subscribed ", k); break;
            case 5: FUZZ_SAME(core.is_room_claim_current(k, t), m.rooms.holds(Phase::Pending, k, t), "is_room_claim_current ", k, " ", t); break;
            case 6: FUZZ_SAME(core.room_status(k), static_cast<RoomStatus>(m.rooms.phase(k)), "room_status ", k); break;
            case 7: FUZZ_SAME(core.unsubscribe_room(k), m.rooms.begin(Phase::Active, Phase::Leaving, k, m.counter), "unsubscribe_room ", k); break;
            case 8: {
                const LeaveOutcome o = pick_outcome(in);
                FUZZ_SAME(core.mark_room_leave_complete(k, t, o), m.leave_complete(m.rooms, k, t, o), "mark_room_leave_complete ", k, " ", t);
                break;
            }
            case 9: FUZZ_SAME(core.acknowledge_room_reconciled(k), TrackerModel::step(m.rooms, Phase::Reconcile, k, std::nullopt, Phase::Absent), "acknowledge_room_reconciled ", k); break;
            case 10: FUZZ_SAME(core.mark_room_rejoin_failed(k, t), TrackerModel::step(m.rooms, Phase::Active, k, t, Phase::Reconcile), "mark_room_rejoin_failed ", k, " ", t); break;
            case 11:
                FUZZ_SAME(core.room_rejoin_candidates(), m.rooms.active_entries(), "room_rejoin_candidates");
                FUZZ_SAME(core.subscribed_room_ids(), m.rooms.active(), "subscribed_room_ids");
                break;
            case 12:
                if (in.ConsumeIntegralInRange(0, 7) == 0) {
                    core.end_session();
                    m.rooms.clear();
                    m.topics.clear();
                } else {
                    core.on_reconnected();
                }
                break;
            case 13: FUZZ_SAME(core.begin_agent_topic_join(k), m.topics.begin(Phase::Absent, Phase::Pending, k, m.counter), "begin_agent_topic_join ", k); break;
            case 14: {
                const bool joined = in.ConsumeBool();
                const bool want = TrackerModel::step(m.topics, Phase::Pending, k, t, joined ? Phase::Active : Phase::Absent) && joined;
                FUZZ_SAME(core.record_agent_topic_join(k, t, joined), want, "record_agent_topic_join ", k, " ", t, " ", joined);
                break;
            }
            case 15: FUZZ_SAME(core.record_agent_topic_join_ambiguous(k, t), TrackerModel::step(m.topics, Phase::Pending, k, t, Phase::Reconcile), "record_agent_topic_join_ambiguous ", k, " ", t); break;
            case 16: FUZZ_SAME(core.is_agent_topic_joined(k), m.topics.phase(k) == Phase::Active, "is_agent_topic_joined ", k); break;
            case 17: FUZZ_SAME(core.is_agent_topic_claim_current(k, t), m.topics.holds(Phase::Pending, k, t), "is_agent_topic_claim_current ", k, " ", t); break;
            case 18: FUZZ_SAME(core.agent_topic_status(k), static_cast<AgentTopicStatus>(m.topics.phase(k)), "agent_topic_status ", k); break;
            case 19: FUZZ_SAME(core.leave_agent_topic(k), m.topics.begin(Phase::Active, Phase::Leaving, k, m.counter), "leave_agent_topic ", k); break;
            case 20: {
                const LeaveOutcome o = pick_outcome(in);
                FUZZ_SAME(core.mark_agent_topic_leave_complete(k, t, o), m.leave_complete(m.topics, k, t, o), "mark_agent_topic_leave_complete ", k, " ", t);
                break;
            }
            case 21: FUZZ_SAME(core.acknowledge_agent_topic_reconciled(k), TrackerModel::step(m.topics, Phase::Reconcile, k, std::nullopt, Phase::Absent), "acknowledge_agent_topic_reconciled ", k); break;
            case 22: FUZZ_SAME(core.mark_agent_topic_rejoin_failed(k, t), TrackerModel::step(m.topics, Phase::Active, k, t, Phase::Reconcile), "mark_agent_topic_rejoin_failed ", k, " ", t); break;
            default:
                FUZZ_SAME(core.agent_topic_rejoin_candidates(), m.topics.active_entries(), "agent_topic_rejoin_candidates");
                FUZZ_SAME(core.joined_agent_topics(), m.topics.active(), "joined_agent_topics");
                break;
        }
    }
    FUZZ_SAME(core.room_rejoin_candidates(), m.rooms.active_entries(), "room_rejoin_candidates at the end");
    FUZZ_SAME(core.agent_topic_rejoin_candidates(), m.topics.active_entries(), "agent_topic_rejoin_candidates at the end");
}

void run_roster(FuzzedDataProvider& in) {
    const std::uint64_t first = first_ticket(in);
    Roster core(first);
    RosterModel m{{first}, {}, {}};
    for (int step = 0; step < 1500 && in.remaining_bytes() > 0; ++step) {
        const int op = in.ConsumeIntegralInRange(0, 7);
        const std::string r = pick_name(in);
        auto live = m.admitting.find(r);
        const std::uint64_t t = pick_ticket(in, live == m.admitting.end() ? std::nullopt : std::optional(live->second), m.counter.next);
        switch (op) {
            case 0: FUZZ_SAME(core.room_membership(r), m.membership(r), "room_membership ", r); break;
            case 1: {
                const bool passes = in.ConsumeIntegralInRange(0, 5) != 0;
                FUZZ_SAME(core.begin_room_admission(r, passes), m.begin(r, passes), "begin_room_admission ", r, " ", passes);
                break;
            }
            case 2: {
                const bool succeeded = in.ConsumeIntegralInRange(0, 3) != 0;
                FUZZ_SAME(core.record_room_admission(r, t, succeeded), m.record(r, t, succeeded), "record_room_admission ", r, " ", t);
                break;
            }
            case 3: {
                auto it = m.admitting.find(r);
                FUZZ_SAME(core.is_room_admission_current(r, t), it != m.admitting.end() && it->second == t, "is_room_admission_current ", r, " ", t);
                break;
            }
            case 4: FUZZ_SAME(core.record_room_removed(r), m.removed(r), "record_room_removed ", r); break;
            case 5: FUZZ_SAME(core.tracked_room_ids(), m.admitted, "tracked_room_ids"); break;
            case 6: {
                std::vector<std::string> snapshot;
                const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 6);
                for (std::size_t k = 0; k < n; ++k) snapshot.push_back(pick_name(in));
                const Reconciliation got = core.reconcile(snapshot);
                const Reconciliation want = m.reconcile(snapshot);
                FUZZ_SAME(got.removed, want.removed, "reconcile removed ", snapshot);
                FUZZ_SAME(got.admitting, want.admitting, "reconcile admitting ", snapshot);
                FUZZ_SAME(got.resync, want.resync, "reconcile resync ", snapshot);
                break;
            }
            default:
                if (in.ConsumeIntegralInRange(0, 7) == 0) FUZZ_SAME(core.clear(), m.clear(), "clear");
                break;
        }
    }
    FUZZ_SAME(core.tracked_room_ids(), m.admitted, "tracked_room_ids at the end");
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvu::fuzz;
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        run_tracker(in);
    } else {
        run_roster(in);
    }
    return 0;
}

// Counter exhaustion of the membership objects. From Python a counter can
// never be brought near its end, so this drives the core directly with
// counters that start just below it. Run as `exhaustion tracker|roster`.
#include "core/room_roster.hpp"
#include "core/subscriptions.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using namespace orvu::core;

namespace {

int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

constexpr std::uint64_t kMax = UINT64_MAX;

void tracker_rooms() {
    SubscriptionTracker t(kMax - 1);
    auto last = t.begin_room_subscribe("a");
    CHECK(last && *last == kMax - 1);  // the largest ticket ever handed out
    CHECK(!t.begin_room_subscribe("b"));
    CHECK(t.room_status("b") == RoomStatus::Absent);
    CHECK(!t.begin_agent_topic_join("x"));
    CHECK(t.agent_topic_status("x") == AgentTopicStatus::Absent);
    // Reports under live tickets still complete.
    CHECK(t.record_both_room_topics_joined("a", kMax - 1) == RoomSubscribeResult::Subscribed);
    CHECK(!t.unsubscribe_room("a"));
    CHECK(t.room_status("a") == RoomStatus::Subscribed);
    CHECK((t.room_rejoin_candidates() == std::vector<TicketedId>{{"a", kMax - 1}}));
    CHECK(t.mark_room_rejoin_failed("a", kMax - 1));
    CHECK(t.acknowledge_room_reconciled("a"));
    t.end_session();  // does not reset the counter
    CHECK(!t.begin_room_subscribe("a"));
    CHECK(!t.is_room_claim_current("a", kMax));
}

void tracker_topics() {
    SubscriptionTracker t(kMax - 2);
    CHECK(t.begin_room_subscribe("r") == kMax - 2);
    CHECK(t.begin_agent_topic_join("x") == kMax - 1);
    CHECK(t.record_agent_topic_join("x", kMax - 1, true));
    CHECK(!t.leave_agent_topic("x"));
    CHECK(t.agent_topic_status("x") == AgentTopicStatus::Joined);
    CHECK(t.record_chat_room_join_failed("r", kMax - 2) == RoomSubscribeResult::JoinFailed);
    CHECK(!t.begin_room_subscribe("r"));
}

void roster() {
    RoomRoster r(kMax - 3);
    CHECK(r.begin_room_admission("kept", true) == kMax - 3);
    CHECK(r.record_room_admission("kept", kMax - 3, true));
    // Three candidates, two tickets left: the walk stops after b.
    RoomReconciliation rec = r.reconcile({"c", "kept", "a", "b"});
    CHECK((rec.admitting == std::vector<std::pair<std::string, std::uint64_t>>{{"a", kMax - 2}, {"b", kMax - 1}}));
    CHECK((rec.resync == std::vector<std::string>{"kept"}));
    CHECK(r.room_membership("c") == RoomMembership::Unadmitted);
    CHECK(!r.begin_room_admission("c", true));
    CHECK(r.room_membership("c") == RoomMembership::Unadmitted);
    // An exhausted counter still lets current admissions and removals complete.
    CHECK(r.record_room_admission("a", kMax - 2, true));
    CHECK(r.record_room_removed("kept"));
    RoomReconciliation again = r.reconcile({"a", "c"});
    CHECK(again.admitting.empty());
    CHECK((r.clear() == std::vector<std::string>{"a", "b"}));
    CHECK(!r.begin_room_admission("a", true));
}

}  // namespace

int main(int argc, char** argv) {
    std::string which = argc > 1 ? argv[1] : "";
    if (which == "tracker") {
        tracker_rooms();
        tracker_topics();
    } else if (which == "roster") {
        roster();
    } else {
        std::fprintf(stderr, "usage: exhaustion tracker|roster\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}

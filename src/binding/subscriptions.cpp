// SubscriptionTracker, the room topic builders and AgentTopicKind.topic.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/subscriptions.hpp"

namespace orvu::py {
namespace {

using Core = core::SubscriptionTracker;
using Tracker = Wrapped<Core>;

const Signature kNew{"SubscriptionTracker.__new__", {}, 0, 0};

// Every method takes all its parameters as required positional-or-keyword ones.
#define SIG(name, n, ...) const Signature k_##name{"SubscriptionTracker." #name, {__VA_ARGS__}, n, n}
SIG(begin_room_subscribe, 1, "room_id");
SIG(record_chat_room_join_failed, 2, "room_id", "ticket");
SIG(record_both_room_topics_joined, 2, "room_id", "ticket");
SIG(record_room_participants_join_failed, 3, "room_id", "ticket", "chat_room_left");
SIG(is_room_subscribed, 1, "room_id");
SIG(is_room_claim_current, 2, "room_id", "ticket");
SIG(room_status, 1, "room_id");
SIG(unsubscribe_room, 1, "room_id");
SIG(mark_room_leave_complete, 3, "room_id", "ticket", "outcome");
SIG(acknowledge_room_reconciled, 1, "room_id");
SIG(room_rejoin_candidates, 0);
SIG(mark_room_rejoin_failed, 2, "room_id", "ticket");
SIG(subscribed_room_ids, 0);
SIG(on_reconnected, 0);
SIG(end_session, 0);
SIG(begin_agent_topic_join, 1, "topic");
SIG(record_agent_topic_join, 3, "topic", "ticket", "joined");
SIG(record_agent_topic_join_ambiguous, 2, "topic", "ticket");
SIG(is_agent_topic_joined, 1, "topic");
SIG(is_agent_topic_claim_current, 2, "topic", "ticket");
SIG(agent_topic_status, 1, "topic");
SIG(leave_agent_topic, 1, "topic");
SIG(mark_agent_topic_leave_complete, 3, "topic", "ticket", "outcome");
SIG(acknowledge_agent_topic_reconciled, 1, "topic");
SIG(agent_topic_rejoin_candidates, 0);
SIG(mark_agent_topic_rejoin_failed, 2, "topic", "ticket");
SIG(joined_agent_topics, 0);
#undef SIG

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

// `bind` is core_method; the docstring is the text signature alone.
#define ROW(bind, name, access, text_signature) \
    bind<Tracker, k_##name, access, &Core::name>(#name, #name text_signature "\n--\n\n")
PyMethodDef tracker_methods[] = {
    ROW(core_method, begin_room_subscribe, X, "($self, room_id)"),
    ROW(core_method, record_chat_room_join_failed, X, "($self, room_id, ticket)"),
    ROW(core_method, record_both_room_topics_joined, X, "($self, room_id, ticket)"),
    ROW(core_method, record_room_participants_join_failed, X, "($self, room_id, ticket, chat_room_left)"),
    ROW(core_method, is_room_subscribed, S, "($self, room_id)"),
    ROW(core_method, is_room_claim_current, S, "($self, room_id, ticket)"),
    ROW(core_method, room_status, S, "($self, room_id)"),
    ROW(core_method, unsubscribe_room, X, "($self, room_id)"),
    ROW(core_method, mark_room_leave_complete, X, "($self, room_id, ticket, outcome)"),
    ROW(core_method, acknowledge_room_reconciled, X, "($self, room_id)"),
    ROW(core_method, room_rejoin_candidates, S, "($self)"),
    ROW(core_method, mark_room_rejoin_failed, X, "($self, room_id, ticket)"),
    ROW(core_method, subscribed_room_ids, S, "($self)"),
    ROW(core_method, on_reconnected, X, "($self)"),
    ROW(core_method, end_session, X, "($self)"),
    ROW(core_method, begin_agent_topic_join, X, "($self, topic)"),
    ROW(core_method, record_agent_topic_join, X, "($self, topic, ticket, joined)"),
    ROW(core_method, record_agent_topic_join_ambiguous, X, "($self, topic, ticket)"),
    ROW(core_method, is_agent_topic_joined, S, "($self, topic)"),
    ROW(core_method, is_agent_topic_claim_current, S, "($self, topic, ticket)"),
    ROW(core_method, agent_topic_status, S, "($self, topic)"),
    ROW(core_method, leave_agent_topic, X, "($self, topic)"),
    ROW(core_method, mark_agent_topic_leave_complete, X, "($self, topic, ticket, outcome)"),
    ROW(core_method, acknowledge_agent_topic_reconciled, X, "($self, topic)"),
    ROW(core_method, agent_topic_rejoin_candidates, S, "($self)"),
    ROW(core_method, mark_agent_topic_rejoin_failed, X, "($self, topic, ticket)"),
    ROW(core_method, joined_agent_topics, S, "($self)"),
    {nullptr, nullptr, 0, nullptr},
};
#undef ROW

// --- topic names -------------------------------------------------------------------

const Signature kTopic{"AgentTopicKind.topic", {"agent_id"}, 1, 1};
Ref agent_topic(const EnumObject& kind, const BoundArgs& a) {
    return result::str(core::agent_topic(static_cast<core::AgentTopicKind>(kind.index), a.str(0)));
}

PyMethodDef agent_topic_kind_methods[] = {
    method<EnumMember, kTopic, Access::None, &agent_topic>("topic",
     "topic($self, agent_id)\n--\n\n"
     "This channel's topic for `agent_id`: the wire name, a colon, then\n"
     "`agent_id` unchanged."),
    {nullptr, nullptr, 0, nullptr},
};

const Signature kChatRoomTopic{"chat_room_topic", {"room_id"}, 1, 1};
const Signature kParticipantsTopic{"room_participants_topic", {"room_id"}, 1, 1};

PyMethodDef chat_room_topic_def = core_function<kChatRoomTopic, &core::chat_room_topic>(
    "chat_room_topic",
    "chat_room_topic(room_id)\n--\n\n"
    "This platform's Phoenix Channels topic for a room's ``chat_room`` channel.");
PyMethodDef room_participants_topic_def = core_function<kParticipantsTopic, &core::room_participants_topic>(
    "room_participants_topic",
    "room_participants_topic(room_id)\n--\n\n"
    "This platform's Phoenix Channels topic for a room's ``room_participants``\nchannel.");

}  // namespace

Ref reg::subscription_tracker(PyObject* module) {
    return wrapped_class<Tracker>(
        module, "orvu_sdk_core.SubscriptionTracker",
        "SubscriptionTracker()\n--\n\n"
        "Transport-independent subscription decisions for one agent session.",
        {{Py_tp_new, constructor<kNew, &default_new<Tracker>>()},
         {Py_tp_methods, tracker_methods}});
}
PyMethodDef* reg::chat_room_topic() { return &chat_room_topic_def; }
PyMethodDef* reg::room_participants_topic() { return &room_participants_topic_def; }
PyMethodDef* reg::agent_topic_kind_methods() { return orvu::py::agent_topic_kind_methods; }

}  // namespace orvu::py

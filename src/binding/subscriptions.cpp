// SubscriptionTracker, the room topic builders and AgentTopicKind.topic.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/subscriptions.hpp"

namespace orvu::py {
namespace {

using Core = core::SubscriptionTracker;
using Tracker = Wrapped<Core>;

const Signature kNew{"SubscriptionTracker.__new__", {}, 0, 0};

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

// The docstring is the text signature alone.
#define ROW(name, access, text_signature) \
    core_method<Tracker, access, &Core::name>("SubscriptionTracker", #name text_signature "\n--\n\n")
PyMethodDef tracker_methods[] = {
    ROW(begin_room_subscribe, X, "($self, room_id)"),
    ROW(record_chat_room_join_failed, X, "($self, room_id, ticket)"),
    ROW(record_both_room_topics_joined, X, "($self, room_id, ticket)"),
    ROW(record_room_participants_join_failed, X, "($self, room_id, ticket, chat_room_left)"),
    ROW(is_room_subscribed, S, "($self, room_id)"),
    ROW(is_room_claim_current, S, "($self, room_id, ticket)"),
    ROW(room_status, S, "($self, room_id)"),
    ROW(unsubscribe_room, X, "($self, room_id)"),
    ROW(mark_room_leave_complete, X, "($self, room_id, ticket, outcome)"),
    ROW(acknowledge_room_reconciled, X, "($self, room_id)"),
    ROW(room_rejoin_candidates, S, "($self)"),
    ROW(mark_room_rejoin_failed, X, "($self, room_id, ticket)"),
    ROW(subscribed_room_ids, S, "($self)"),
    ROW(on_reconnected, X, "($self)"),
    ROW(end_session, X, "($self)"),
    ROW(begin_agent_topic_join, X, "($self, topic)"),
    ROW(record_agent_topic_join, X, "($self, topic, ticket, joined)"),
    ROW(record_agent_topic_join_ambiguous, X, "($self, topic, ticket)"),
    ROW(is_agent_topic_joined, S, "($self, topic)"),
    ROW(is_agent_topic_claim_current, S, "($self, topic, ticket)"),
    ROW(agent_topic_status, S, "($self, topic)"),
    ROW(leave_agent_topic, X, "($self, topic)"),
    ROW(mark_agent_topic_leave_complete, X, "($self, topic, ticket, outcome)"),
    ROW(acknowledge_agent_topic_reconciled, X, "($self, topic)"),
    ROW(agent_topic_rejoin_candidates, S, "($self)"),
    ROW(mark_agent_topic_rejoin_failed, X, "($self, topic, ticket)"),
    ROW(joined_agent_topics, S, "($self)"),
    {nullptr, nullptr, 0, nullptr},
};
#undef ROW

// --- topic names -------------------------------------------------------------------

Ref agent_topic(const EnumObject& kind, const BoundArgs& a) {
    return result::str(core::agent_topic(static_cast<core::AgentTopicKind>(kind.index), a.str(0)));
}

PyMethodDef agent_topic_kind_methods[] = {
    method<EnumMember, Access::None, &agent_topic>("AgentTopicKind",
     "topic($self, agent_id)\n--\n\n"
     "This channel's topic for `agent_id`: the wire name, a colon, then\n"
     "`agent_id` unchanged."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef chat_room_topic_def = core_function<&core::chat_room_topic>(
    "chat_room_topic(room_id)\n--\n\n"
    "This platform's Phoenix Channels topic for a room's ``chat_room`` channel.");
PyMethodDef room_participants_topic_def = core_function<&core::room_participants_topic>(
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

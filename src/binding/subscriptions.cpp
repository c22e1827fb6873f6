// SubscriptionTracker, the room topic builders and AgentTopicKind.topic.
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/subscriptions.hpp"

namespace orvu::py {
namespace {

using core::EnumId;
using Tracker = Wrapped<core::SubscriptionTracker>;

core::SubscriptionTracker& tracker(PyObject* self) { return Tracker::of(self); }

// --- argument and result helpers -------------------------------------------

std::string text_arg(const BoundArgs& a, std::size_t i) { return std::string(a.str(i)); }

core::LeaveOutcome outcome_arg(const BoundArgs& a, std::size_t i) {
    a.instance(i, enum_type(EnumId::LeaveOutcome));
    return static_cast<core::LeaveOutcome>(*enum_index(a[i], EnumId::LeaveOutcome));
}

Ref subscribe_result(core::RoomSubscribeResult r) { return enum_ref(EnumId::RoomSubscribeResult, r); }

// --- signatures ----------------------------------------------------------------

#define TRACKER_SIG(name, ...) \
    const Signature k_##name { "SubscriptionTracker." #name, __VA_ARGS__ }

const Signature kNoArgs{"SubscriptionTracker.__new__", {}, 0, 0};
TRACKER_SIG(begin_room_subscribe, {"room_id"}, 1, 1);
TRACKER_SIG(record_chat_room_join_failed, {"room_id", "ticket"}, 2, 2);
TRACKER_SIG(record_both_room_topics_joined, {"room_id", "ticket"}, 2, 2);
TRACKER_SIG(record_room_participants_join_failed, {"room_id", "ticket", "chat_room_left"}, 3, 3);
TRACKER_SIG(is_room_subscribed, {"room_id"}, 1, 1);
TRACKER_SIG(is_room_claim_current, {"room_id", "ticket"}, 2, 2);
TRACKER_SIG(room_status, {"room_id"}, 1, 1);
TRACKER_SIG(unsubscribe_room, {"room_id"}, 1, 1);
TRACKER_SIG(mark_room_leave_complete, {"room_id", "ticket", "outcome"}, 3, 3);
TRACKER_SIG(acknowledge_room_reconciled, {"room_id"}, 1, 1);
TRACKER_SIG(room_rejoin_candidates, {}, 0, 0);
TRACKER_SIG(mark_room_rejoin_failed, {"room_id", "ticket"}, 2, 2);
TRACKER_SIG(subscribed_room_ids, {}, 0, 0);
TRACKER_SIG(on_reconnected, {}, 0, 0);
TRACKER_SIG(end_session, {}, 0, 0);
TRACKER_SIG(begin_agent_topic_join, {"topic"}, 1, 1);
TRACKER_SIG(record_agent_topic_join, {"topic", "ticket", "joined"}, 3, 3);
TRACKER_SIG(record_agent_topic_join_ambiguous, {"topic", "ticket"}, 2, 2);
TRACKER_SIG(is_agent_topic_joined, {"topic"}, 1, 1);
TRACKER_SIG(is_agent_topic_claim_current, {"topic", "ticket"}, 2, 2);
TRACKER_SIG(agent_topic_status, {"topic"}, 1, 1);
TRACKER_SIG(leave_agent_topic, {"topic"}, 1, 1);
TRACKER_SIG(mark_agent_topic_leave_complete, {"topic", "ticket", "outcome"}, 3, 3);
TRACKER_SIG(acknowledge_agent_topic_reconciled, {"topic"}, 1, 1);
TRACKER_SIG(agent_topic_rejoin_candidates, {}, 0, 0);
TRACKER_SIG(mark_agent_topic_rejoin_failed, {"topic", "ticket"}, 2, 2);
TRACKER_SIG(joined_agent_topics, {}, 0, 0);
#undef TRACKER_SIG

// --- method bodies (arguments converted in parameter order) --------------------

// Rooms.
Ref begin_room_subscribe(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    return optional_ticket(tracker(self).begin_room_subscribe(room));
}
Ref record_chat_room_join_failed(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return subscribe_result(tracker(self).record_chat_room_join_failed(room, ticket));
}
Ref record_both_room_topics_joined(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return subscribe_result(tracker(self).record_both_room_topics_joined(room, ticket));
}
Ref record_room_participants_join_failed(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    bool left = a.boolean(2);
    return subscribe_result(tracker(self).record_room_participants_join_failed(room, ticket, left));
}
Ref is_room_subscribed(PyObject* self, const BoundArgs& a) {
    return boolean(tracker(self).is_room_subscribed(text_arg(a, 0)));
}
Ref is_room_claim_current(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return boolean(tracker(self).is_room_claim_current(room, ticket));
}
Ref room_status(PyObject* self, const BoundArgs& a) {
    return enum_ref(EnumId::RoomStatus, tracker(self).room_status(text_arg(a, 0)));
}
Ref unsubscribe_room(PyObject* self, const BoundArgs& a) {
    return optional_ticket(tracker(self).unsubscribe_room(text_arg(a, 0)));
}
Ref mark_room_leave_complete(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    core::LeaveOutcome outcome = outcome_arg(a, 2);
    return boolean(tracker(self).mark_room_leave_complete(room, ticket, outcome));
}
Ref acknowledge_room_reconciled(PyObject* self, const BoundArgs& a) {
    return boolean(tracker(self).acknowledge_room_reconciled(text_arg(a, 0)));
}
Ref room_rejoin_candidates(PyObject* self, const BoundArgs&) {
    return ticketed_list(tracker(self).room_rejoin_candidates());
}
Ref mark_room_rejoin_failed(PyObject* self, const BoundArgs& a) {
    std::string room = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return boolean(tracker(self).mark_room_rejoin_failed(room, ticket));
}
Ref subscribed_room_ids(PyObject* self, const BoundArgs&) { return str_list(tracker(self).subscribed_room_ids()); }

// Both halves.
Ref on_reconnected(PyObject* self, const BoundArgs&) {
    tracker(self).on_reconnected();
    return none();
}
Ref end_session(PyObject* self, const BoundArgs&) {
    tracker(self).end_session();
    return none();
}

// Agent topics.
Ref begin_agent_topic_join(PyObject* self, const BoundArgs& a) {
    return optional_ticket(tracker(self).begin_agent_topic_join(text_arg(a, 0)));
}
Ref record_agent_topic_join(PyObject* self, const BoundArgs& a) {
    std::string topic = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    bool joined = a.boolean(2);
    return boolean(tracker(self).record_agent_topic_join(topic, ticket, joined));
}
Ref record_agent_topic_join_ambiguous(PyObject* self, const BoundArgs& a) {
    std::string topic = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return boolean(tracker(self).record_agent_topic_join_ambiguous(topic, ticket));
}
Ref is_agent_topic_joined(PyObject* self, const BoundArgs& a) {
    return boolean(tracker(self).is_agent_topic_joined(text_arg(a, 0)));
}
Ref is_agent_topic_claim_current(PyObject* self, const BoundArgs& a) {
    std::string topic = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return boolean(tracker(self).is_agent_topic_claim_current(topic, ticket));
}
Ref agent_topic_status(PyObject* self, const BoundArgs& a) {
    return enum_ref(EnumId::AgentTopicStatus, tracker(self).agent_topic_status(text_arg(a, 0)));
}
Ref leave_agent_topic(PyObject* self, const BoundArgs& a) {
    return optional_ticket(tracker(self).leave_agent_topic(text_arg(a, 0)));
}
Ref mark_agent_topic_leave_complete(PyObject* self, const BoundArgs& a) {
    std::string topic = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    core::LeaveOutcome outcome = outcome_arg(a, 2);
    return boolean(tracker(self).mark_agent_topic_leave_complete(topic, ticket, outcome));
}
Ref acknowledge_agent_topic_reconciled(PyObject* self, const BoundArgs& a) {
    return boolean(tracker(self).acknowledge_agent_topic_reconciled(text_arg(a, 0)));
}
Ref agent_topic_rejoin_candidates(PyObject* self, const BoundArgs&) {
    return ticketed_list(tracker(self).agent_topic_rejoin_candidates());
}
Ref mark_agent_topic_rejoin_failed(PyObject* self, const BoundArgs& a) {
    std::string topic = text_arg(a, 0);
    auto ticket = a.integer<std::uint64_t>(1);
    return boolean(tracker(self).mark_agent_topic_rejoin_failed(topic, ticket));
}
Ref joined_agent_topics(PyObject* self, const BoundArgs&) { return str_list(tracker(self).joined_agent_topics()); }

// --- the class -------------------------------------------------------------------

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

#define TRACKER_METHOD(name, access, text_signature) \
    PyMethodDef { #name, method<Tracker, k_##name, access, &name>(), kFastCall, #name text_signature "\n--\n\n" }

PyMethodDef tracker_methods[] = {
    TRACKER_METHOD(begin_room_subscribe, X, "($self, room_id)"),
    TRACKER_METHOD(record_chat_room_join_failed, X, "($self, room_id, ticket)"),
    TRACKER_METHOD(record_both_room_topics_joined, X, "($self, room_id, ticket)"),
    TRACKER_METHOD(record_room_participants_join_failed, X, "($self, room_id, ticket, chat_room_left)"),
    TRACKER_METHOD(is_room_subscribed, S, "($self, room_id)"),
    TRACKER_METHOD(is_room_claim_current, S, "($self, room_id, ticket)"),
    TRACKER_METHOD(room_status, S, "($self, room_id)"),
    TRACKER_METHOD(unsubscribe_room, X, "($self, room_id)"),
    TRACKER_METHOD(mark_room_leave_complete, X, "($self, room_id, ticket, outcome)"),
    TRACKER_METHOD(acknowledge_room_reconciled, X, "($self, room_id)"),
    TRACKER_METHOD(room_rejoin_candidates, S, "($self)"),
    TRACKER_METHOD(mark_room_rejoin_failed, X, "($self, room_id, ticket)"),
    TRACKER_METHOD(subscribed_room_ids, S, "($self)"),
    TRACKER_METHOD(on_reconnected, X, "($self)"),
    TRACKER_METHOD(end_session, X, "($self)"),
    TRACKER_METHOD(begin_agent_topic_join, X, "($self, topic)"),
    TRACKER_METHOD(record_agent_topic_join, X, "($self, topic, ticket, joined)"),
    TRACKER_METHOD(record_agent_topic_join_ambiguous, X, "($self, topic, ticket)"),
    TRACKER_METHOD(is_agent_topic_joined, S, "($self, topic)"),
    TRACKER_METHOD(is_agent_topic_claim_current, S, "($self, topic, ticket)"),
    TRACKER_METHOD(agent_topic_status, S, "($self, topic)"),
    TRACKER_METHOD(leave_agent_topic, X, "($self, topic)"),
    TRACKER_METHOD(mark_agent_topic_leave_complete, X, "($self, topic, ticket, outcome)"),
    TRACKER_METHOD(acknowledge_agent_topic_reconciled, X, "($self, topic)"),
    TRACKER_METHOD(agent_topic_rejoin_candidates, S, "($self)"),
    TRACKER_METHOD(mark_agent_topic_rejoin_failed, X, "($self, topic, ticket)"),
    TRACKER_METHOD(joined_agent_topics, S, "($self)"),
    {nullptr, nullptr, 0, nullptr},
};
#undef TRACKER_METHOD

PyObject* tracker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        bind(kNoArgs, args, kwargs);
        return Tracker::create(type, std::make_unique<core::SubscriptionTracker>());
    });
}

PyType_Slot tracker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&tracker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Tracker::dealloc)},
    {Py_tp_methods, tracker_methods},
    {Py_tp_doc, const_cast<char*>("SubscriptionTracker()\n--\n\n"
                                  "Transport-independent subscription decisions for one agent session.")},
    {0, nullptr},
};

PyType_Spec tracker_spec{"orvu_sdk_core.SubscriptionTracker", static_cast<int>(sizeof(Tracker)), 0,
                         Py_TPFLAGS_DEFAULT, tracker_slots};


// --- topic names -------------------------------------------------------------------

const Signature kTopic{"AgentTopicKind.topic", {"agent_id"}, 1, 1};
PyObject* agent_topic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kTopic, args, nargs, kwnames);
        std::string_view agent_id = a.str(0);
        auto kind = enum_index(self, EnumId::AgentTopicKind);
        if (!kind) raise_type_error("AgentTopicKind.topic() needs an AgentTopicKind member");
        return make_str(core::agent_topic(static_cast<core::AgentTopicKind>(*kind), agent_id));
    });
}

PyMethodDef agent_topic_kind_methods[] = {
    {"topic", fastcall(&agent_topic), kFastCall,
     "topic($self, agent_id)\n--\n\n"
     "This channel's topic for `agent_id`: the wire name, a colon, then\n"
     "`agent_id` unchanged."},
    {nullptr, nullptr, 0, nullptr},
};

const Signature kChatRoomTopic{"chat_room_topic", {"room_id"}, 1, 1};
PyObject* chat_room_topic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kChatRoomTopic, args, nargs, kwnames);
        return make_str(core::chat_room_topic(a.str(0)));
    });
}

const Signature kParticipantsTopic{"room_participants_topic", {"room_id"}, 1, 1};
PyObject* room_participants_topic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kParticipantsTopic, args, nargs, kwnames);
        return make_str(core::room_participants_topic(a.str(0)));
    });
}

PyMethodDef chat_room_topic_def{
    "chat_room_topic", fastcall(&chat_room_topic), kFastCall,
    "chat_room_topic(room_id)\n--\n\n"
    "This platform's Phoenix Channels topic for a room's ``chat_room`` channel."};
PyMethodDef room_participants_topic_def{
    "room_participants_topic",
    fastcall(&room_participants_topic), kFastCall,
    "room_participants_topic(room_id)\n--\n\n"
    "This platform's Phoenix Channels topic for a room's ``room_participants``\nchannel."};


}  // namespace

namespace reg {
Ref subscription_tracker(PyObject* module) { return make_type(module, &tracker_spec); }
PyMethodDef* chat_room_topic() { return &chat_room_topic_def; }
PyMethodDef* room_participants_topic() { return &room_participants_topic_def; }
PyMethodDef* agent_topic_kind_methods() { return orvu::py::agent_topic_kind_methods; }
}  // namespace reg

}  // namespace orvu::py

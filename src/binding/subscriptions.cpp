// SubscriptionTracker and the room topic builders.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/subscriptions.hpp"

namespace orvu::py {
namespace {

using Core = core::SubscriptionTracker;
using Tracker = Wrapped<Core>;

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

}  // namespace

// The tracker's methods carry no docstring beyond their text signature.
const ClassDef reg::SubscriptionTracker = wrapped_class<Tracker, &default_new<Tracker>>(
    "SubscriptionTracker()", "Transport-independent subscription decisions for one agent session.",
    {
        method<Tracker, X, &Core::begin_room_subscribe>("begin_room_subscribe(room_id: str) -> int | None", ""),
        method<Tracker, X, &Core::record_chat_room_join_failed>(
            "record_chat_room_join_failed(room_id: str, ticket: int) -> RoomSubscribeResult", ""),
        method<Tracker, X, &Core::record_both_room_topics_joined>(
            "record_both_room_topics_joined(room_id: str, ticket: int) -> RoomSubscribeResult", ""),
        method<Tracker, X, &Core::record_room_participants_join_failed>(
            "record_room_participants_join_failed(room_id: str, ticket: int, chat_room_left: bool) "
            "-> RoomSubscribeResult", ""),
        method<Tracker, S, &Core::is_room_subscribed>("is_room_subscribed(room_id: str) -> bool", ""),
        method<Tracker, S, &Core::is_room_claim_current>(
            "is_room_claim_current(room_id: str, ticket: int) -> bool", ""),
        method<Tracker, S, &Core::room_status>("room_status(room_id: str) -> RoomStatus", ""),
        method<Tracker, X, &Core::unsubscribe_room>("unsubscribe_room(room_id: str) -> int | None", ""),
        method<Tracker, X, &Core::mark_room_leave_complete>(
            "mark_room_leave_complete(room_id: str, ticket: int, outcome: LeaveOutcome) -> bool", ""),
        method<Tracker, X, &Core::acknowledge_room_reconciled>("acknowledge_room_reconciled(room_id: str) -> bool", ""),
        method<Tracker, S, &Core::room_rejoin_candidates>(
            "room_rejoin_candidates() -> builtins.list[tuple[str, int]]", ""),
        method<Tracker, X, &Core::mark_room_rejoin_failed>(
            "mark_room_rejoin_failed(room_id: str, ticket: int) -> bool", ""),
        method<Tracker, S, &Core::subscribed_room_ids>("subscribed_room_ids() -> builtins.list[str]", ""),
        method<Tracker, X, &Core::on_reconnected>("on_reconnected() -> None", ""),
        method<Tracker, X, &Core::end_session>("end_session() -> None", ""),
        method<Tracker, X, &Core::begin_agent_topic_join>("begin_agent_topic_join(topic: str) -> int | None", ""),
        method<Tracker, X, &Core::record_agent_topic_join>(
            "record_agent_topic_join(topic: str, ticket: int, joined: bool) -> bool", ""),
        method<Tracker, X, &Core::record_agent_topic_join_ambiguous>(
            "record_agent_topic_join_ambiguous(topic: str, ticket: int) -> bool", ""),
        method<Tracker, S, &Core::is_agent_topic_joined>("is_agent_topic_joined(topic: str) -> bool", ""),
        method<Tracker, S, &Core::is_agent_topic_claim_current>(
            "is_agent_topic_claim_current(topic: str, ticket: int) -> bool", ""),
        method<Tracker, S, &Core::agent_topic_status>("agent_topic_status(topic: str) -> AgentTopicStatus", ""),
        method<Tracker, X, &Core::leave_agent_topic>("leave_agent_topic(topic: str) -> int | None", ""),
        method<Tracker, X, &Core::mark_agent_topic_leave_complete>(
            "mark_agent_topic_leave_complete(topic: str, ticket: int, outcome: LeaveOutcome) -> bool", ""),
        method<Tracker, X, &Core::acknowledge_agent_topic_reconciled>(
            "acknowledge_agent_topic_reconciled(topic: str) -> bool", ""),
        method<Tracker, S, &Core::agent_topic_rejoin_candidates>(
            "agent_topic_rejoin_candidates() -> builtins.list[tuple[str, int]]", ""),
        method<Tracker, X, &Core::mark_agent_topic_rejoin_failed>(
            "mark_agent_topic_rejoin_failed(topic: str, ticket: int) -> bool", ""),
        method<Tracker, S, &Core::joined_agent_topics>("joined_agent_topics() -> builtins.list[str]", ""),
    });

PyMethodDef reg::chat_room_topic = function<&core::chat_room_topic>("chat_room_topic(room_id: str) -> str",
    "This platform's Phoenix Channels topic for a room's ``chat_room`` channel.");
PyMethodDef reg::room_participants_topic = function<&core::room_participants_topic>(
    "room_participants_topic(room_id: str) -> str",
    "This platform's Phoenix Channels topic for a room's ``room_participants``\nchannel.");

}  // namespace orvu::py

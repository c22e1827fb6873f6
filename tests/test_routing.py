import copy

import pytest

from orvu_sdk_core import EventType, evaluate_delivery_event, is_self_echo

MESSAGE = dict(id="m1", content="hi", message_type="text", sender_type="User", sender_id="u1",
               inserted_at="t", updated_at="t", chat_room_id="r2")
MISSING_ROOM = ("room_id", "missing", "room_id is missing from both the envelope and the payload")


def route(event_type, room_id, payload, agent_id="a1", trace_context=None):
    return list(evaluate_delivery_event(event_type, room_id, payload, agent_id, trace_context).items())


def issues_of(*args, **kwargs):
    with pytest.raises(ValueError) as info:
        route(*args, **kwargs)
    return list(info.value.issues)


@pytest.mark.parametrize("event, room, payload, agent, expected", [
    ("message_created", None, MESSAGE, "a1",
     [("decision", "invocation"), ("room_id", "r2"), ("message_id", "m1"), ("sender_id", "u1"),
      ("sender_type", "User")]),
    ("message_created", "r1", {**MESSAGE, "sender_type": "Agent", "sender_id": "a1"}, "a1",
     [("decision", "skip_self"), ("room_id", "r1"), ("message_id", "m1")]),
    ("message_created", "", {**MESSAGE, "sender_type": "agent", "sender_id": "a1"}, "a1",
     [("decision", "invocation"), ("room_id", "r2"), ("message_id", "m1"), ("sender_id", "a1"),
      ("sender_type", "agent")]),
    ("message_created", "r1", {**MESSAGE, "sender_type": "Agent", "sender_id": "a1"}, "a2",
     [("decision", "invocation"), ("room_id", "r1"), ("message_id", "m1"), ("sender_id", "a1"),
      ("sender_type", "Agent")]),
    ("room_deleted", None, {"id": "r9"}, "a1", [("decision", "cleanup"), ("room_id", "r9")]),
    ("room_removed", "", {"id": "r9", "extra": [1]}, "a1", [("decision", "cleanup"), ("room_id", "r9")]),
    ("room_removed", "r1", {"id": 5}, "a1", [("decision", "cleanup"), ("room_id", "r1")]),
    ("room_deleted", "r1", [], "a1", [("decision", "cleanup"), ("room_id", "r1")]),
])
def test_decision_table(event, room, payload, agent, expected):
    assert route(event, room, payload, agent) == expected


@pytest.mark.parametrize("event", ["message_updated", "participant_added", "agent.control", "event_created",
                                   "room_added", "made_up", "agent_control", "Message_created", ""])
@pytest.mark.parametrize("payload", [None, 5, "x", [], {}, {"id": 5}])
def test_everything_else_is_ignored(event, payload):
    assert route(event, None, payload) == [("decision", "ignored"), ("event_type", event)]


@pytest.mark.parametrize("event", ["message_created", "room_deleted", "made_up", "message_updated"])
@pytest.mark.parametrize("payload, message", [
    ({1: 2}, "dict keys must have type str"),
    (b"x", "byte array"),
    ({"id": object()}, "unsupported type object"),
])
def test_payload_converted_for_every_event(event, payload, message):
    with pytest.raises(TypeError, match=message):
        route(event, "r1", payload)


@pytest.mark.parametrize("room, payload, expected", [
    (None, {k: v for k, v in MESSAGE.items() if k != "chat_room_id"}, MISSING_ROOM),
    ("", {**MESSAGE, "chat_room_id": ""}, MISSING_ROOM),
    (None, {**MESSAGE, "chat_room_id": None}, MISSING_ROOM),
    (None, {**MESSAGE, "chat_room_id": 5},
     ("room_id", "wrong_type", "payload.chat_room_id must be a string to serve as room_id")),
    (None, {**MESSAGE, "chat_room_id": ["r"]},
     ("room_id", "wrong_type", "payload.chat_room_id must be a string to serve as room_id")),
    ("r1", {**MESSAGE, "id": ""}, ("id", "missing", "id must be a non-empty string")),
    (None, {**MESSAGE, "id": "", "chat_room_id": 5}, ("id", "missing", "id must be a non-empty string")),
])
def test_message_errors(room, payload, expected):
    assert issues_of("message_created", room, payload, trace_context="tc") == [expected]


@pytest.mark.parametrize("room, payload, expected", [
    (None, [], MISSING_ROOM),
    (None, 5, MISSING_ROOM),
    ("", {"id": ""}, MISSING_ROOM),
    (None, {}, MISSING_ROOM),
    (None, {"id": 5}, ("room_id", "wrong_type", "payload.id must be a string to serve as room_id")),
    (None, {"id": {"x": "r"}}, ("room_id", "wrong_type", "payload.id must be a string to serve as room_id")),
])
def test_room_event_errors(room, payload, expected):
    for event in ("room_deleted", "room_removed"):
        assert issues_of(event, room, payload) == [expected]


def test_schema_issues_come_before_room_and_id_checks():
    payload = {k: v for k, v in MESSAGE.items() if k not in ("content", "chat_room_id")}
    payload["id"] = ""
    assert issues_of("message_created", None, payload) == [
        ("content", "missing", "required field `content` is missing")]
    with pytest.raises(ValueError) as info:
        route("message_created", "r1", [], trace_context="tc")
    assert info.value.issues == (("", "wrong_type", "payload must be a JSON object"),)
    assert info.value.trace_context == "tc"


def test_caller_payload_unchanged():
    payload = {**MESSAGE, "metadata": None}
    before = copy.deepcopy(payload)
    route("message_created", None, payload)
    assert payload == before


def test_argument_errors():
    with pytest.raises(TypeError, match="event_type"):
        evaluate_delivery_event(EventType.MessageCreated, None, MESSAGE, "a1")
    with pytest.raises(TypeError, match="room_id"):
        evaluate_delivery_event("message_created", 5, MESSAGE, "a1")
    with pytest.raises(TypeError, match="agent_id"):
        evaluate_delivery_event("message_created", None, MESSAGE, None)
    with pytest.raises(TypeError, match="trace_context"):
        evaluate_delivery_event("message_created", None, MESSAGE, "a1", 5)
    with pytest.raises(TypeError):
        evaluate_delivery_event("message_created", None, MESSAGE)
    assert evaluate_delivery_event(event_type="x", room_id=None, payload=1, agent_id="a")["decision"] == "ignored"


@pytest.mark.parametrize("sender_id, sender_type, agent_id, expected", [
    ("a1", "Agent", "a1", True),
    ("a1", "User", "a1", False),
    ("a2", "Agent", "a1", False),
    ("a1", "agent", "a1", False),
    ("a1", "Agent ", "a1", False),
    ("", "Agent", "", True),
])
def test_is_self_echo(sender_id, sender_type, agent_id, expected):
    assert is_self_echo(sender_id, sender_type, agent_id) is expected


@pytest.mark.parametrize("args", [(None, "Agent", "a1"), ("a1", 1, "a1"), ("a1", "Agent", b"a1"), ("a1", "Agent")])
def test_is_self_echo_argument_errors(args):
    with pytest.raises(TypeError):
        is_self_echo(*args)


def test_event_name_without_utf8_text_is_ignored():
    name = "message_created\ud800"
    assert route(name, "r1", MESSAGE) == [("decision", "ignored"), ("event_type", name)]
    with pytest.raises(TypeError, match="dict keys"):
        route(name, "r1", {1: 2})


class EqualsCounted(str):
    """A str key that counts how often it is compared."""
    calls = 0

    def __eq__(self, other):
        EqualsCounted.calls += 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize("room, payload", [
    (None, {**MESSAGE, EqualsCounted("sender_name"): "n"}),
    ("r1", {**MESSAGE, EqualsCounted("zz"): 1}),
    (None, {"id": "m1"} | {EqualsCounted(k): v for k, v in MESSAGE.items() if k != "id"}),
])
def test_decision_runs_no_key_comparison(room, payload):
    # The decision's values are the payload's own strings when they can be found without comparing keys.
    EqualsCounted.calls = 0
    decision = evaluate_delivery_event("message_created", room, payload, "a1")
    assert EqualsCounted.calls == 0
    assert decision == {"decision": "invocation", "room_id": room or "r2", "message_id": "m1", "sender_id": "u1",
                        "sender_type": "User"}

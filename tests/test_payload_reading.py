"""A payload is read in one walk that converts, checks and builds together.
Payloads of exact builtin types (dict with str keys, list, tuple, str, int,
float, bool, None) and the same content in other types (subclasses,
abstract sequences and mappings) must be indistinguishable from Python: the
same result with the same key order and value types, the same findings in
the same order, the same errors. A subclass at the top gives the other form
of the very same content, so each case is compared with itself."""

import gc
import math

import pytest
from hypothesis import given, settings, strategies as st

from orvu_sdk_core import evaluate_delivery_event, validate_event_payload


class GeneralDict(dict):
    pass


class GeneralList(list):
    pass


class GeneralStr(str):
    pass


def general(value):
    """The same value as a subclass of its container or str; other values
    are returned as they are."""
    for base, sub in ((dict, GeneralDict), (list, GeneralList), (tuple, GeneralList), (str, GeneralStr)):
        if type(value) is base:
            return sub(value)
    return value


def shape(value):
    """The value with every dict's key order and every value's exact type made comparable."""
    if isinstance(value, dict):
        return ("dict", type(value), [(type(k), k, shape(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", type(value), [shape(v) for v in value])
    if isinstance(value, float) and math.isnan(value):
        return ("nan", type(value))
    return (type(value), value)


def outcome(call, *args):
    try:
        result = call(*args)
    except (TypeError, ValueError) as exc:
        return (type(exc), str(exc), getattr(exc, "issues", None), getattr(exc, "trace_context", None))
    return ("ok", shape(result))


def both_readings(call, before, payload, after=()):
    """The outcome of `call` on the payload as given and on the same payload as a subclass."""
    return outcome(call, *before, payload, *after), outcome(call, *before, general(payload), *after)


def validate(event_type, payload):
    return both_readings(validate_event_payload, (event_type,), payload, ("trace-1",))


def route(event_type, payload, room_id=None):
    return both_readings(evaluate_delivery_event, (event_type, room_id), payload, ("agent-1", "trace-1"))


def message(**fields):
    payload = {"id": "m1", "content": "hi", "message_type": "text", "sender_type": "User", "sender_id": "u1",
               "inserted_at": "t", "updated_at": "t", "metadata": {"mentions": []}, "attachments": []}
    payload.update(fields)
    return {k: v for k, v in payload.items() if v is not DROP}


DROP = object()


def nested_lists(depth):
    value = "x"
    for _ in range(depth):
        value = [value]
    return value


@pytest.mark.parametrize("value", [
    # Key order is by UTF-8 bytes: shared prefixes longer than eight bytes,
    # keys that differ only after the eighth byte, NUL bytes, a shorter key
    # that is a prefix of a longer one, text beyond ASCII.
    {"sender_type": 1, "sender_name": 2, "sender_id": 3, "sender": 4, "sende": 5},
    {"abcdefgh_2": 1, "abcdefgh_10": 2, "abcdefgh": 3, "abcdefg": 4},
    {"a\x00": 1, "a": 2, "a\x00\x00": 3, "\x00": 4, "": 5},
    {"\u00e9": 1, "z": 2, "\U0001f600": 3, "\uffff": 4, "Z": 5},
    {f"k{i:03d}": i for i in reversed(range(40))},
    # Numbers at the edges of the 64-bit ranges, floats that read as null.
    {"n": [0, -1, 2**63 - 1, -2**63, 2**63, 2**64 - 1, 1.5, -0.0, math.nan, math.inf, -math.inf]},
    # Tuples become lists; deep nesting.
    {"t": (1, (2, ("x",)), [])},
    {"deep": nested_lists(80)},
    # What no conversion takes.
    {"big": 2**64},
    {"big": -2**63 - 1},
    {"text": "lone \ud800 surrogate"},
    {"lone \udc00 key": 1},
    {"bytes": b"x"},
    {1: "int key"},
    {"set": {1}},
    [1, {"b": 2, "a": 1}],
    "just text",
    None,
])
def test_any_value_reads_alike(value):
    quick, general = validate("event_created", value)
    assert quick == general


@pytest.mark.parametrize("payload", [
    message(),
    message(sender_name=None, chat_room_id="room-1", extra={"z": 1, "a": [1.5, None]}),
    message(metadata={"mentions": [{"id": "u2", "username": None, "handle": "h", "name": "n", "x": 1}]}),
    # Normalised: an absent or null container is filled in.
    message(metadata=DROP, attachments=DROP),
    message(metadata=None, attachments=None),
    message(metadata={"mentions": None}),
    message(metadata={}),
    # Filled in at both levels, between keys that sort before and after them.
    message(metadata={"a": 1, "z": 2}, attachments=DROP, aaa=1, attachmentz=2, metadat=3, zzz=4),
    message(metadata=None, attachments=DROP, extra={"metadata": None}),
    # Refused, with every finding in order.
    message(id=DROP, content=1, sender_type=None),
    message(metadata={"mentions": [{"id": 1}, "x", {"username": 2}]}),
    message(metadata=[], attachments={}),
    message(sender_name=5, updated_at=DROP),
    {},
    [],
])
@pytest.mark.parametrize("event_type", ["message_created", "message_updated"])
def test_messages_validate_alike(event_type, payload):
    quick, general = validate(event_type, payload)
    assert quick == general


@pytest.mark.parametrize("event_type,payload", [
    ("supersede", {"reason": "r", "message": "m", "correlation_id": None, "retryable": True, "retry_after": 2.0}),
    ("supersede", {"reason": "r", "message": "m", "correlation_id": "c", "retryable": 1, "retry_after": 2**63}),
    ("participant_added", {"id": "p", "type": "User", "name": "n", "is_external": True}),
    ("participant_added", {"id": "p", "type": "User", "name": "n", "is_remote": False, "is_external": True}),
    ("contact_request_received", {"id": "c", "status": "s", "inserted_at": "t", "message": None}),
    # Normalised: flags and numbers coerced or added, nulls dropped, partner flags filled in.
    ("supersede", {"reason": "r", "message": "m", "correlation_id": None}),
    ("supersede", {"reason": "r", "message": "m", "correlation_id": None, "retryable": None, "retry_after": 2.5}),
    ("supersede", {"a": 0, "reason": "r", "message": "m", "correlation_id": None, "retry_after": "3", "z": 0}),
    ("supersede", {"reason": "r", "message": "m", "correlation_id": None, "retry_after": 2**64 - 1}),
    ("participant_added", {"id": "p", "type": "User", "name": "n", "is_remote": True}),
    ("participant_added", {"id": "p", "type": "User", "name": "n", "is_remote": None, "is_external": False}),
    ("contact_added", {"id": "c", "type": "User", "inserted_at": "t", "handle": None, "name": "n",
                       "is_external": True, "tags": []}),
    ("contact_request_received", {"id": "c", "status": "s", "inserted_at": "t", "from_handle": None,
                                  "from_name": None, "message": None, "zz": None}),
    ("agent_control", {"mode": "pause", "scope": "room", "agent_id": "a", "correlation_id": "c",
                       "execution_id": None, "room_id": None}),
    ("agent_control", {"mode": "stop", "scope": "agent", "agent_id": "a", "correlation_id": "c",
                       "execution_id": "e", "room_id": None, "reason": "r"}),
])
def test_other_events_validate_alike(event_type, payload):
    quick, general = validate(event_type, payload)
    assert quick == general


@pytest.mark.parametrize("event_type,payload,room_id", [
    ("message_created", message(chat_room_id="room-9"), None),
    ("message_created", message(sender_type="Agent", sender_id="agent-1"), "room-1"),
    ("message_created", message(id=""), "room-1"),
    ("message_created", message(), None),
    ("message_created", message(chat_room_id=7), None),
    ("message_created", message(content=DROP, metadata=[]), "room-1"),
    ("message_created", message(metadata=DROP, attachments=None), "room-1"),
    ("room_removed", {"id": "room-3"}, None),
    ("room_deleted", {"id": 3}, None),
    ("room_deleted", [], ""),
    ("typing", {"anything": [1, 2.5, None]}, None),
    ("typing", {"big": 2**70}, None),
    ("typing", {"text": "\udfff"}, None),
])
def test_routing_reads_alike(event_type, payload, room_id):
    quick, general = route(event_type, payload, room_id)
    assert quick == general


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats() | st.text(max_size=6),
    lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(st.text(max_size=10), inner, max_size=6),
    max_leaves=25,
)


@settings(max_examples=200, deadline=None)
@given(json_values)
def test_any_json_value_reads_alike(value):
    quick, general = validate("event_created", value)
    assert quick == general


# Message fields: mostly text, sometimes null, absent or of another type.
field_values = st.one_of(st.text(max_size=4), st.text(max_size=4), st.text(max_size=4), st.none(),
                         st.integers(-3, 3), st.lists(st.text(max_size=2), max_size=2), st.just(DROP))
mentions = st.lists(
    st.one_of(st.dictionaries(st.sampled_from(["id", "username", "handle", "name", "x"]), field_values)
              .map(lambda d: {k: v for k, v in d.items() if v is not DROP}), field_values),
    max_size=3)
metadata = st.one_of(st.just(DROP), st.none(), st.fixed_dictionaries({}, optional={"mentions": mentions | field_values}),
                     field_values)
messages = st.fixed_dictionaries(
    {key: field_values for key in ("id", "content", "message_type", "sender_type", "sender_id", "inserted_at",
                                   "updated_at", "sender_name", "chat_room_id")}
    | {"metadata": metadata, "attachments": st.one_of(st.just(DROP), st.none(), st.lists(json_values, max_size=2),
                                                       field_values)},
    optional={"extra": json_values},
)


@settings(max_examples=300, deadline=None)
@given(messages, st.randoms(use_true_random=False), st.sampled_from([None, "", "room-1"]))
def test_any_message_validates_and_routes_alike(fields, rng, room_id):
    items = [(k, v) for k, v in fields.items() if v is not DROP]
    rng.shuffle(items)
    payload = dict(items)
    quick, general = validate("message_created", payload)
    assert quick == general
    quick, general = route("message_created", payload, room_id)
    assert quick == general


@pytest.mark.parametrize("payload", [message(), message(content="\ud800"), message(metadata=DROP), {"x": 2**70}])
@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_left_as_found(payload, enabled):
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        outcome(validate_event_payload, "message_created", payload)
        outcome(evaluate_delivery_event, "message_created", "room-1", payload, "agent-1")
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


# Every checked event type with most of its fields wrong: of the wrong type,
# null where that is refused, or absent; messages also inside their mentions.
MOSTLY_WRONG = {
    "message_created": {"id": 1, "content": None, "sender_type": [], "sender_id": {}, "inserted_at": True,
                        "sender_name": 5, "attachments": {},
                        "metadata": {"mentions": [{"id": 2, "username": 3}, "x", {"name": [], "handle": None}]}},
    "room_added": {"id": [], "updated_at": 1.5, "title": 0, "task_id": {}},
    "room_deleted": {"id": None},
    "participant_added": {"id": 0, "name": None, "handle": None, "description": 1, "is_remote": "yes",
                          "is_external": 0},
    "contact_request_received": {"id": 1, "status": None, "from_handle": 2, "from_name": None, "message": []},
    "contact_request_updated": {"status": 5},
    "contact_added": {"id": 1, "type": None, "handle": 2, "name": [], "description": None,
                      "listed_in_directory": "no", "tags": {}, "is_remote": 1, "is_external": "x"},
    "supersede": {"reason": 1, "message": None, "target_socket_id": 5, "correlation_id": [], "retryable": "x"},
    "agent.control": {"mode": "pause", "scope": 1, "agent_id": None, "correlation_id": [], "execution_id": 5,
                      "reason": None, "type": 3},
}

KEY_ORDERS = {
    "reversed": lambda keys: keys[::-1],
    "sorted": sorted,
    "rotated": lambda keys: keys[len(keys) // 2:] + keys[:len(keys) // 2],
    "extras between": lambda keys: [k for key in keys for k in (key, key + "_")],
}


def reordered(value, order):
    """The value with the keys of every dict in it inserted in `order`; a key
    the order makes up (ending in "_") gets a value no rule reads."""
    if isinstance(value, dict):
        return {k: reordered(value[k], order) if k in value else "extra" for k in order(list(value))}
    if isinstance(value, list):
        return [reordered(item, order) for item in value]
    return value


@pytest.mark.parametrize("order", list(KEY_ORDERS))
@pytest.mark.parametrize("event_type", list(MOSTLY_WRONG))
def test_findings_do_not_depend_on_key_order(event_type, order):
    payload = MOSTLY_WRONG[event_type]
    expected = outcome(validate_event_payload, event_type, payload, "trace-1")
    codes = {code for _, code, _ in expected[2]}
    assert expected[0] is ValueError and codes & {"missing", "wrong_type"}
    other = reordered(payload, KEY_ORDERS[order])
    # The findings, in check order, stay those of the rule tables whatever
    # order the keys come in and whichever reading takes the payload; a
    # larger payload read in between leaves nothing behind.
    assert validate(event_type, other) == (expected, expected)
    outcome(validate_event_payload, "message_created", {f"k{i}": [i] for i in range(300)})
    assert validate(event_type, payload) == (expected, expected)


@pytest.mark.parametrize("call", ["validate", "route"])
@pytest.mark.parametrize("event_type,payload,error", [
    # Under a key no rule names, beside fields that would give findings.
    ("message_created", {"id": 5, "zz": {"deep": [b"x"]}}, "invalid type: byte array, expected any valid JSON value"),
    ("room_deleted", {"extra": {"set": {object()}}}, "unsupported type object"),
    ("participant_added", {"x": [1, {2: "int key"}]}, "dict keys must have type str"),
    # Two values that cannot be converted: the one read first is reported,
    # whichever order the rules would check their fields in.
    ("message_created", {"attachments": [2**64], "metadata": {"x": b"b"}}, "JSON number out of range"),
    ("message_created", {"metadata": {"x": b"b"}, "attachments": [2**64]},
     "invalid type: byte array, expected any valid JSON value"),
    ("agent.control", {"type": {1: 2}, "mode": b"x"}, "dict keys must have type str"),
    ("agent.control", {"mode": b"x", "type": {1: 2}}, "invalid type: byte array, expected any valid JSON value"),
])
def test_conversion_fails_first_wherever_the_value_stands(call, event_type, payload, error):
    for given in (payload, general(payload)):
        with pytest.raises(TypeError) as raised:
            if call == "validate":
                validate_event_payload(event_type, given, "trace-1")
            else:
                evaluate_delivery_event(event_type, "room-1", given, "agent-1", "trace-1")
        assert str(raised.value) == error and not hasattr(raised.value, "issues")


def test_valid_result_is_built_of_the_callers_own_objects():
    # Only the containers are new: every key, text and number of a valid
    # payload of exact types comes back as the very object the caller gave.
    payload = message(sender_name="Pat", chat_room_id="room-1",
                      metadata={"mentions": [{"id": "u2", "username": None, "name": "n"}], "seen": 2**40},
                      attachments=[{"size": 1024, "ratio": 0.5, "ok": True, "tags": ["a", "b"]}],
                      extra={"nested": [[1.25, "deep text", 2**63]]})
    result = validate_event_payload("message_created", payload)

    def same_objects(built, given):
        if isinstance(given, dict):
            assert built is not given and list(built) == sorted(given)
            keys = {key: key for key in given}
            for key, value in built.items():
                assert key is keys[key]
                same_objects(value, given[key])
        elif isinstance(given, list):
            assert built is not given
            for b, g in zip(built, given, strict=True):
                same_objects(b, g)
        else:
            assert built is given

    same_objects(result, payload)

import copy

import pytest
from hypothesis import given, settings, strategies as st

import orvu_sdk_core as core
from orvu_sdk_core import EventType, validate_event_payload

ABSENT = object()

MESSAGE = dict(id="m1", content="hi", message_type="text", sender_type="User", sender_id="u1",
               inserted_at="2024-01-01T00:00:00Z", updated_at="2024-01-01T00:00:00Z")
PARTICIPANT = dict(id="p1", type="User", name="Pat")
CONTACT_ADDED = dict(id="c1", type="User", inserted_at="t", handle=None, name=None)
SUPERSEDE = dict(reason="r", message="m", correlation_id=None)
CONTROL = dict(mode="stop", scope="room", agent_id="a1", correlation_id="c1", execution_id=None, room_id=None)

# Minimal valid payload and the field rules, in check order, of every checked
# event type: (key, rule, JSON type).
S, B, A = "string", "boolean", "array"
SCHEMAS = {
    "message_created": (MESSAGE, [("id", "req", S), ("content", "req", S), ("message_type", "req", S),
                                  ("sender_type", "req", S), ("sender_id", "req", S), ("inserted_at", "req", S),
                                  ("updated_at", "req", S), ("sender_name", "opt_null", S)]),
    "room_added": (dict(id="r1", inserted_at="t", updated_at="t"),
                   [("id", "req", S), ("inserted_at", "req", S), ("updated_at", "req", S),
                    ("title", "opt_null", S), ("task_id", "opt_null", S)]),
    "room_deleted": (dict(id="r1"), [("id", "req", S)]),
    "participant_added": (PARTICIPANT, [("id", "req", S), ("type", "req", S), ("name", "req", S),
                                        ("handle", "opt", S), ("description", "opt_null", S),
                                        ("is_remote", "opt_null", B), ("is_external", "opt_null", B)]),
    "contact_request_received": (dict(id="q1", status="pending", inserted_at="t"),
                                 [("id", "req", S), ("status", "req", S), ("inserted_at", "req", S),
                                  ("from_handle", "opt_null", S), ("from_name", "opt_null", S),
                                  ("message", "opt_null", S)]),
    "contact_request_updated": (dict(id="q1", status="accepted"), [("id", "req", S), ("status", "req", S)]),
    "contact_added": (CONTACT_ADDED, [("id", "req", S), ("type", "req", S), ("inserted_at", "req", S),
                                      ("handle", "req_null", S), ("name", "req_null", S), ("description", "opt", S),
                                      ("listed_in_directory", "opt", B), ("tags", "opt", A),
                                      ("is_remote", "opt_null", B), ("is_external", "opt_null", B)]),
    "contact_removed": (dict(id="c1"), [("id", "req", S)]),
    "supersede": (SUPERSEDE, [("reason", "req", S), ("message", "req", S), ("target_socket_id", "opt_null", S),
                              ("correlation_id", "req_null", S)]),
    "agent.control": (CONTROL, [("mode", "req", S), ("scope", "req", S), ("agent_id", "req", S),
                                ("correlation_id", "req", S), ("execution_id", "req_null", S),
                                ("room_id", "req_null", S), ("reason", "opt", S), ("type", "opt", S)]),
}
# Types sharing a schema.
SCHEMAS["message_updated"] = SCHEMAS["message_created"]
SCHEMAS["room_removed"] = SCHEMAS["room_added"]
SCHEMAS["participant_removed"] = SCHEMAS["participant_added"]

WRONG = {S: 5, B: "yes", A: {"x": 1}}


def issues_of(event_type, raw, trace_context=None):
    with pytest.raises(ValueError) as info:
        validate_event_payload(event_type, raw, trace_context)
    return list(info.value.issues)


def missing(path):
    return (path, "missing", f"required field `{path}` is missing")


def wrong(path, type_name):
    article = "an" if type_name[0] in "aeiou" else "a"
    return (path, "wrong_type", f"`{path}` must be {article} {type_name}")


def field_cases():
    for event, (_, rules) in sorted(SCHEMAS.items()):
        for key, rule, json_type in rules:
            for shape in ("absent", "null", "wrong"):
                yield pytest.param(event, key, rule, json_type, shape, id=f"{event}-{key}-{shape}")


@pytest.mark.parametrize("event, key, rule, json_type, shape", list(field_cases()))
def test_field_rule_shapes(event, key, rule, json_type, shape):
    raw = dict(SCHEMAS[event][0])
    raw.pop(key, None)
    if shape != "absent":
        raw[key] = None if shape == "null" else WRONG[json_type]
    expected = {
        ("req", "absent"): missing(key), ("req_null", "absent"): missing(key),
        ("req", "null"): wrong(key, json_type), ("opt", "null"): wrong(key, json_type),
    }.get((rule, shape), wrong(key, json_type) if shape == "wrong" else None)
    if expected is None:
        validate_event_payload(event, raw)
    else:
        assert issues_of(event, raw) == [expected]


@pytest.mark.parametrize("event", sorted(SCHEMAS))
def test_valid_minimal_payload_and_required_order(event):
    base, rules = SCHEMAS[event]
    result = validate_event_payload(event, base)
    assert {k: result[k] for k in base} == base
    assert issues_of(event, {}) == [missing(k) for k, rule, _ in rules if rule.startswith("req")]


@pytest.mark.parametrize("event", sorted(SCHEMAS))
@pytest.mark.parametrize("raw", [None, 5, -1, 1.5, "s", True, [], [{"id": "x"}], ("a",)])
def test_non_object_payload(event, raw):
    with pytest.raises(ValueError) as info:
        validate_event_payload(event, raw, "tc")
    assert str(info.value) == "1 validation issue(s): payload must be a JSON object ()"
    assert info.value.issues == (("", "wrong_type", "payload must be a JSON object"),)
    assert info.value.trace_context == "tc"


@pytest.mark.parametrize("raw", [5, None, "x", [1, {"b": 2, "a": 1}], {"z": 1, "a": [1.5]}, (1, 2)])
def test_event_created_passes_anything(raw):
    expected = list(raw) if isinstance(raw, tuple) else raw
    assert validate_event_payload("event_created", raw) == expected


@pytest.mark.parametrize("extra, expected", [
    ({}, {"metadata": {"mentions": []}, "attachments": []}),
    ({"metadata": None, "attachments": None}, {"metadata": {"mentions": []}, "attachments": []}),
    ({"metadata": {"x": 1}}, {"metadata": {"mentions": [], "x": 1}}),
    ({"metadata": {"mentions": None}}, {"metadata": {"mentions": []}}),
    ({"metadata": {"mentions": [{"id": "u", "name": None}]}, "attachments": [1, "x", None]},
     {"metadata": {"mentions": [{"id": "u", "name": None}]}, "attachments": [1, "x", None]}),
])
def test_message_container_defaults(extra, expected):
    result = validate_event_payload("message_created", {**MESSAGE, **extra})
    assert {k: result[k] for k in expected} == expected


@pytest.mark.parametrize("extra, expected", [
    ({"metadata": 5}, [wrong("metadata", "object")]),
    ({"metadata": 5, "attachments": 5}, [wrong("metadata", "object"), wrong("attachments", "array")]),
    ({"metadata": {"mentions": 5}}, [wrong("metadata.mentions", "array")]),
    ({"metadata": {"mentions": ["x", {}]}},
     [wrong("metadata.mentions[0]", "object"), missing("metadata.mentions[1].id")]),
    ({"metadata": {"mentions": [{"id": 5, "username": 3, "handle": None, "name": []}, {"id": None}]},
      "attachments": {}},
     [wrong("metadata.mentions[0].id", "string"), wrong("metadata.mentions[0].username", "string"),
      wrong("metadata.mentions[0].name", "string"), wrong("metadata.mentions[1].id", "string"),
      wrong("attachments", "array")]),
])
def test_message_nested_issues_in_order(extra, expected):
    assert issues_of("message_created", {**MESSAGE, **extra}) == expected


def test_many_issues_message_names_only_the_first():
    with pytest.raises(ValueError) as info:
        validate_event_payload("message_created", {}, None)
    assert str(info.value) == "7 validation issue(s): required field `id` is missing (id)"
    assert len(info.value.issues) == 7 and info.value.trace_context is None


@pytest.mark.parametrize("event", ["participant_added", "contact_added"])
@pytest.mark.parametrize("remote, external, expected", [
    (True, ABSENT, (True, True)),
    (ABSENT, False, (False, False)),
    (None, False, (False, False)),
    (True, None, (True, True)),
    (True, False, (True, False)),
    (ABSENT, ABSENT, (ABSENT, ABSENT)),
    (None, None, (None, None)),
])
def test_remote_flag_aliasing(event, remote, external, expected):
    raw = dict(SCHEMAS[event][0])
    for key, value in (("is_remote", remote), ("is_external", external)):
        if value is not ABSENT:
            raw[key] = value
    result = validate_event_payload(event, raw)
    assert (result.get("is_remote", ABSENT), result.get("is_external", ABSENT)) == expected


def test_remote_flag_wrong_types_in_order():
    raw = {**PARTICIPANT, "is_external": 1, "is_remote": "yes"}
    assert issues_of("participant_added", raw) == [wrong("is_remote", "boolean"), wrong("is_external", "boolean")]


@pytest.mark.parametrize("value, expected", [
    (ABSENT, False), (True, True), (False, False), (None, False), ("true", False), (1, False), ([], False),
])
def test_supersede_retryable(value, expected):
    raw = dict(SUPERSEDE) if value is ABSENT else {**SUPERSEDE, "retryable": value}
    assert validate_event_payload("supersede", raw)["retryable"] is expected


@pytest.mark.parametrize("value, expected", [
    (30, 30), (30.0, 30), (-0.0, 0), (-7, -7), (1.5, None), ("30", None), (True, None), (None, None),
    ([30], None), ({"s": 30}, None), (float("nan"), None), (float("inf"), None), (1e300, None),
    (2**63 - 1, 2**63 - 1), (2**63, None), (2**64 - 1, None), (-(2**63), -(2**63)),
    (9223372036854775808.0, None), (9223372036854774784.0, 9223372036854774784),
    (-9223372036854775808.0, -(2**63)), (-9223372036854777856.0, None),
])
def test_supersede_retry_after(value, expected):
    result = validate_event_payload("supersede", {**SUPERSEDE, "retry_after": value})
    assert result["retry_after"] == expected and type(result["retry_after"]) is type(expected)


def test_supersede_retry_after_absent_stays_absent():
    assert "retry_after" not in validate_event_payload("supersede", SUPERSEDE)


@pytest.mark.parametrize("key, value, expected", [
    ("mode", "pause", ("mode", "invalid_value", "`mode` must be one of: interrupt, stop, play")),
    ("mode", "Stop", ("mode", "invalid_value", "`mode` must be one of: interrupt, stop, play")),
    ("scope", "global", ("scope", "invalid_value", "`scope` must be one of: agent, room")),
    ("reason", None, wrong("reason", "string")),
])
def test_agent_control_values(key, value, expected):
    assert issues_of("agent.control", {**CONTROL, key: value}) == [expected]


@pytest.mark.parametrize("key", ["from_handle", "from_name", "message"])
def test_contact_request_received_drops_null(key):
    base = SCHEMAS["contact_request_received"][0]
    assert key not in validate_event_payload("contact_request_received", {**base, key: None})
    assert validate_event_payload("contact_request_received", {**base, key: "x"})[key] == "x"


@pytest.mark.parametrize("event, raw", [
    ("message_created", {**MESSAGE, "metadata": {"mentions": None, "k": [1]}, "attachments": None}),
    ("participant_added", {**PARTICIPANT, "is_remote": True}),
    ("supersede", {**SUPERSEDE, "retry_after": 2.0, "retryable": None}),
    ("contact_request_received", {"id": "q", "status": "s", "inserted_at": "t", "message": None}),
])
def test_caller_objects_unchanged(event, raw):
    before = copy.deepcopy(raw)
    result = validate_event_payload(event, raw)
    assert raw == before and result is not raw


def test_event_type_forms_and_errors():
    assert validate_event_payload(EventType.MessageCreated, MESSAGE) == validate_event_payload(
        "message_created", MESSAGE)
    with pytest.raises(TypeError, match="^event_type must be a str$"):
        validate_event_payload(7, MESSAGE)
    with pytest.raises(TypeError, match="event_type must be a str"):
        validate_event_payload(core.TurnEffect.Reply, MESSAGE)
    for name in ["agent_control", "Message_created", "message_created ", ""]:
        with pytest.raises(ValueError) as info:
            validate_event_payload(name, {1: 2}, "tc")  # the payload is not looked at yet
        assert info.value.issues == (("event_type", "invalid_value", f"unknown event type `{name}`"),)
        assert info.value.trace_context == "tc"
    with pytest.raises(TypeError, match="trace_context"):
        validate_event_payload("message_created", MESSAGE, 5)


@pytest.mark.parametrize("raw, message", [
    ({1: "x"}, "dict keys must have type str"),
    ({**MESSAGE, "x": b"b"}, "invalid type: byte array, expected any valid JSON value"),
    ({**MESSAGE, "x": 2**64}, "JSON number out of range"),
    ({**MESSAGE, "x": object()}, "unsupported type object"),
])
def test_conversion_errors_are_type_errors_before_checks(raw, message):
    with pytest.raises(TypeError, match=message):
        validate_event_payload("message_created", raw)


JSON = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=8), children, max_size=4),
    max_leaves=12)
SCHEMA_KEYS = {k for _, rules in SCHEMAS.values() for k, _, _ in rules} | {
    "metadata", "attachments", "retryable", "retry_after", "is_remote", "is_external"}


@settings(max_examples=200, deadline=None)
@given(extra=st.dictionaries(st.text(max_size=10).filter(lambda k: k not in SCHEMA_KEYS), JSON, max_size=6))
def test_valid_message_round_trips_extra_keys(extra):
    result = validate_event_payload("message_created", {**extra, **MESSAGE})
    assert result == {**extra, **MESSAGE, "metadata": {"mentions": []}, "attachments": []}
    assert list(result) == sorted(result, key=lambda k: k.encode("utf-8"))


@settings(max_examples=300, deadline=None)
@given(event=st.sampled_from([t.wire_name for t in (getattr(EventType, n) for n in dir(EventType))
                              if isinstance(t, EventType)]),
       raw=st.one_of(JSON, st.dictionaries(st.sampled_from(sorted(SCHEMA_KEYS) + ["mentions"]), JSON, max_size=8)))
def test_any_payload_validates_or_raises_issues(event, raw):
    try:
        validate_event_payload(event, raw)
    except ValueError as e:
        assert e.issues and all(code in ("missing", "wrong_type", "invalid_value") for _, code, _ in e.issues)


def test_event_name_without_utf8_text_is_unknown():
    with pytest.raises(ValueError) as info:
        validate_event_payload("message_created\ud800", MESSAGE, "tc")
    assert info.value.issues == (("event_type", "invalid_value", "unknown event type `message_created\\ud800`"),)
    assert info.value.trace_context == "tc"

"""validate_event_payload and evaluate_delivery_event against a plain-Python
model of conversion, payload schemas and routing, written from their
documented rules rather than from the module's code. Generated payloads mix
valid fields, wrong types, absent and null fields, keys no schema names,
exotic but convertible containers, unconvertible values anywhere, and deep
nesting; the model and the module must agree exactly: the result with its
key order and value types, or the error with its class, text, issues and
trace context."""

import collections.abc
import math

from hypothesis import given, settings, strategies as st

from orvu_sdk_core import EventType, evaluate_delivery_event, validate_event_payload
from test_json_conversion import Map as KeywordMap, Seq as ArgumentSeq


def Seq(items):
    return ArgumentSeq(*items)


def Map(items):
    return KeywordMap(**dict(items))

# ---------------------------------------------------------------- conversion

MAX_DEPTH = 512  # containers nested deeper than this are refused rather than recursed into
ANY_TEXT = object()  # a conversion failure whose text is the interpreter's own


class Refused(Exception):
    """A conversion failure: raised to the caller as TypeError with `text`."""

    def __init__(self, text):
        self.text = text


def byte_order(key):
    return key.encode("utf-8")


def convert(value, depth=0):
    """The JSON-like value of `value`, as plain Python: dicts with keys in byte order."""
    if value is None:
        return None
    if type(value) is bool:
        return value
    if isinstance(value, int):
        n = int(value)
        if -2**63 <= n < 2**64:
            return n
        raise Refused("JSON number out of range" if -2**127 <= n < 2**128 else ANY_TEXT)
    container = isinstance(value, (list, tuple, dict, set, frozenset, collections.abc.Sequence,
                                   collections.abc.Mapping)) and not isinstance(value, (str, bytes, bytearray))
    if container and depth >= MAX_DEPTH:
        raise Refused(f"JSON nesting deeper than {MAX_DEPTH} levels")
    if isinstance(value, (list, tuple)):
        return [convert(item, depth + 1) for item in value]
    if isinstance(value, dict):
        return convert_members(dict.items(value), depth)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, (bytes, bytearray)):
        raise Refused("invalid type: byte array, expected any valid JSON value")
    if isinstance(value, float):
        return None if math.isnan(value) or math.isinf(value) else float(value)
    if isinstance(value, (set, frozenset, collections.abc.Sequence)):
        return [convert(item, depth + 1) for item in value]
    if isinstance(value, collections.abc.Mapping):
        return convert_members(list(value.items()), depth)
    raise Refused(f"unsupported type {type(value).__qualname__}")


def convert_members(items, depth):
    members = {}
    for key, item in items:
        if not isinstance(key, str):
            raise Refused("dict keys must have type str")
        members[str(key)] = convert(item, depth + 1)
    return ordered(members)


def ordered(obj):
    return {k: obj[k] for k in sorted(obj, key=byte_order)}


# ---------------------------------------------------------------- schemas

KIND = {str: "string", bool: "boolean", list: "array", dict: "object"}


def is_kind(value, kind):
    return {"string": type(value) is str, "boolean": type(value) is bool, "array": type(value) is list,
            "object": type(value) is dict}[kind]


class Check:
    def __init__(self):
        self.issues = []

    def missing(self, path):
        self.issues.append((path, "missing", f"required field `{path}` is missing"))

    def wrong(self, path, kind):
        article = "an" if kind[0] in "aeiou" else "a"
        self.issues.append((path, "wrong_type", f"`{path}` must be {article} {kind}"))

    def field(self, obj, key, path, kind, required, nullable, allowed=None):
        """One field rule; True when the value is present with the rule's kind."""
        if key not in obj:
            if required:
                self.missing(path)
            return False
        value = obj[key]
        if value is None:
            if not nullable:
                self.wrong(path, kind)
            return False
        if not is_kind(value, kind):
            self.wrong(path, kind)
            return False
        if allowed and value not in allowed:
            self.issues.append((path, "invalid_value", f"`{path}` must be one of: {', '.join(allowed)}"))
        return True


# (key, kind, required, nullable)
def req(key, kind="string"):
    return (key, kind, True, False)


def req_null(key, kind="string"):
    return (key, kind, True, True)


def opt(key, kind="string"):
    return (key, kind, False, False)


def opt_null(key, kind="string"):
    return (key, kind, False, True)


MESSAGE_STRINGS = [req("id"), req("content"), req("message_type"), req("sender_type"), req("sender_id"),
                   req("inserted_at"), req("updated_at"), opt_null("sender_name")]
ROOM = [req("id"), req("inserted_at"), req("updated_at"), opt_null("title"), opt_null("task_id")]
PARTICIPANT = [req("id"), req("type"), req("name"), opt("handle"), opt_null("description")]
CONTACT_ADDED = [req("id"), req("type"), req("inserted_at"), req_null("handle"), req_null("name"), opt("description"),
                 opt("listed_in_directory", "boolean"), opt("tags", "array")]
CONTACT_REQUEST_RECEIVED = [req("id"), req("status"), req("inserted_at")]
DROPPED_WHEN_NULL = ["from_handle", "from_name", "message"]
SUPERSEDE = [req("reason"), req("message"), opt_null("target_socket_id"), req_null("correlation_id")]
CONTROL_ALLOWED = {"mode": ["interrupt", "stop", "play"], "scope": ["agent", "room"]}
CONTROL = [req("mode"), req("scope"), req("agent_id"), req("correlation_id"), req_null("execution_id"),
           req_null("room_id"), opt("reason"), opt("type")]


def check_fields(check, obj, rules, prefix=""):
    for key, kind, required, nullable in rules:
        check.field(obj, key, prefix + key, kind, required, nullable, CONTROL_ALLOWED.get(key) if not prefix else None)


def remote_flags(check, obj, out):
    flags = {}
    for key in ("is_remote", "is_external"):
        value = obj.get(key)
        if key in obj and value is not None and type(value) is not bool:
            check.wrong(key, "boolean")
        flags[key] = value if type(value) is bool else None
    remote, external = flags["is_remote"], flags["is_external"]
    if external is not None and remote is None:
        out["is_remote"] = external
    elif external is None and remote is not None:
        out["is_external"] = remote


def message_schema(check, obj, out):
    check_fields(check, obj, MESSAGE_STRINGS)
    metadata = obj.get("metadata")
    if metadata is not None and type(metadata) is not dict:
        check.wrong("metadata", "object")
    else:
        normalised = dict(metadata or {})
        mentions = normalised.get("mentions")
        if mentions is None:
            normalised["mentions"] = []
        elif type(mentions) is not list:
            check.wrong("metadata.mentions", "array")
        else:
            for i, mention in enumerate(mentions):
                path = f"metadata.mentions[{i}]"
                if type(mention) is not dict:
                    check.wrong(path, "object")
                    continue
                check.field(mention, "id", path + ".id", "string", True, False)
                for key in ("username", "handle", "name"):
                    check.field(mention, key, f"{path}.{key}", "string", False, True)
        out["metadata"] = ordered(normalised)
    attachments = obj.get("attachments")
    if attachments is None:
        out["attachments"] = []
    elif type(attachments) is not list:
        check.wrong("attachments", "array")


def retry_after(value):
    if type(value) is int and -2**63 <= value < 2**63:
        return value
    if type(value) is float and -2.0**63 <= value < 2.0**63 and value == math.trunc(value):
        return int(value)
    return None


def supersede_schema(check, obj, out):
    check_fields(check, obj, SUPERSEDE)
    out["retryable"] = obj.get("retryable") if type(obj.get("retryable")) is bool else False
    if "retry_after" in obj:
        out["retry_after"] = retry_after(obj["retry_after"])


def contact_request_received_schema(check, obj, out):
    check_fields(check, obj, CONTACT_REQUEST_RECEIVED)
    for key in DROPPED_WHEN_NULL:
        check.field(obj, key, key, "string", False, True)
        if key in obj and obj[key] is None:
            del out[key]


def plain_schema(rules, flags=False):
    def schema(check, obj, out):
        check_fields(check, obj, rules)
        if flags:
            remote_flags(check, obj, out)
    return schema


SCHEMAS = {
    "message_created": message_schema,
    "message_updated": message_schema,
    "room_added": plain_schema(ROOM),
    "room_removed": plain_schema(ROOM),
    "room_deleted": plain_schema([req("id")]),
    "participant_added": plain_schema(PARTICIPANT, flags=True),
    "participant_removed": plain_schema(PARTICIPANT, flags=True),
    "contact_request_received": contact_request_received_schema,
    "contact_request_updated": plain_schema([req("id"), req("status")]),
    "contact_added": plain_schema(CONTACT_ADDED, flags=True),
    "contact_removed": plain_schema([req("id")]),
    "supersede": supersede_schema,
    "agent.control": plain_schema(CONTROL),
}
WIRE_NAMES = sorted(SCHEMAS) + ["event_created"]


class Invalid(Exception):
    def __init__(self, issues):
        self.issues = issues


def model_validate(event_type, raw):
    """The normalised payload; raises Refused or Invalid."""
    if event_type not in WIRE_NAMES:
        raise Invalid([("event_type", "invalid_value", f"unknown event type `{event_type}`")])
    payload = convert(raw)
    if event_type == "event_created":
        return payload
    if type(payload) is not dict:
        raise Invalid([("", "wrong_type", "payload must be a JSON object")])
    check, out = Check(), dict(payload)
    SCHEMAS[event_type](check, payload, out)
    if check.issues:
        raise Invalid(check.issues)
    return ordered(out)


def room_of(envelope, payload, key):
    if envelope:
        return envelope
    value = payload.get(key) if type(payload) is dict else None
    if type(value) is str and value:
        return value
    if value is None or type(value) is str:
        raise Invalid([("room_id", "missing", "room_id is missing from both the envelope and the payload")])
    raise Invalid([("room_id", "wrong_type", f"payload.{key} must be a string to serve as room_id")])


def model_route(event_type, room_id, raw, agent_id):
    payload = convert(raw)
    if event_type in ("room_removed", "room_deleted"):
        return {"decision": "cleanup", "room_id": room_of(room_id, payload, "id")}
    if event_type != "message_created":
        return {"decision": "ignored", "event_type": event_type}
    message = model_validate(event_type, payload)
    if message["id"] == "":
        raise Invalid([("id", "missing", "id must be a non-empty string")])
    room = room_of(room_id, message, "chat_room_id")
    if message["sender_type"] == "Agent" and message["sender_id"] == agent_id:
        return {"decision": "skip_self", "room_id": room, "message_id": message["id"]}
    return {"decision": "invocation", "room_id": room, "message_id": message["id"], "sender_id": message["sender_id"],
            "sender_type": message["sender_type"]}


# ---------------------------------------------------------------- comparing

def shape(value):
    """The value with key order, exact types and the sign of zero made comparable."""
    if isinstance(value, dict):
        return (type(value), [(type(k), k, shape(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (type(value), [shape(v) for v in value])
    if isinstance(value, float):
        return (float, value, math.copysign(1.0, value))
    return (type(value), value)


def module_outcome(call):
    try:
        return ("ok", shape(call()))
    except TypeError as exc:
        assert not hasattr(exc, "issues")
        return ("type", str(exc))
    except ValueError as exc:
        return ("value", str(exc), exc.issues, exc.trace_context)


def model_outcome(call, trace_context, actual):
    try:
        return ("ok", shape(call()))
    except Refused as refused:
        if refused.text is ANY_TEXT and actual[0] == "type":
            return actual
        return ("type", refused.text)
    except Invalid as invalid:
        path, _, message = invalid.issues[0]
        return ("value", f"{len(invalid.issues)} validation issue(s): {message} ({path})", tuple(invalid.issues),
                trace_context)


# ---------------------------------------------------------------- payloads

class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


class Opaque:
    pass


texts = st.text(max_size=5) | st.sampled_from(["", "Agent", "agent-1", "room-1", "stop", "room", "play"])
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**64 - 1), st.floats(), texts,
                    texts.map(StrSub), st.integers(-9, 9).map(IntSub))
unconvertible = st.one_of(st.just(b"b"), st.just(bytearray(b"x")), st.just(complex(1, 2)), st.builds(Opaque),
                          st.just(2**64), st.just(-2**63 - 1), st.just(2**130), st.just({1: "x"}),
                          st.just(Map({"k": b"x"})))


def containers(inner):
    keys = st.text(max_size=6) | st.sampled_from(["id", "mentions", "name", "is_remote", "metadata"])
    return st.one_of(st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
                     st.lists(inner, max_size=3).map(ListSub), st.lists(inner, max_size=3).map(Seq),
                     st.dictionaries(keys, inner, max_size=4), st.dictionaries(keys, inner, max_size=3).map(DictSub),
                     st.dictionaries(keys, inner, max_size=3).map(Map),
                     st.frozensets(st.integers(0, 9) | st.text(max_size=2), max_size=3))


json_like = st.recursive(scalars, containers, max_leaves=10)


def rarely_bad(strategy, odds=30):
    """Values of `strategy`, and once in `odds` draws one that no conversion takes."""
    return st.integers(0, odds - 1).flatmap(lambda n: unconvertible if n == 0 else strategy)


values = rarely_bad(json_like)


class Deep(list):
    """A value nested `depth` levels in lists and dicts, the outermost level
    this list; printed short, as a failing example would be unreadable."""

    def __init__(self, depth, leaf):
        value = leaf
        for i in range(depth - 1):
            value = [value] if i % 2 else {"k": value}
        super().__init__([value])
        self.depth, self.leaf = depth, leaf

    def __repr__(self):
        return f"Deep({self.depth}, {self.leaf!r})"


def nested():
    """Deep nesting, sometimes at or past the depth limit."""
    limit = st.sampled_from([MAX_DEPTH - 2, MAX_DEPTH - 1, MAX_DEPTH, MAX_DEPTH + 1])
    at_limit = st.one_of(st.none(), st.integers(), st.just([]), st.just({}), values)
    return st.integers(0, 5).flatmap(
        lambda n: st.builds(Deep, limit, at_limit) if n == 0 else st.builds(Deep, st.integers(1, 70), values))


def field_value(kind):
    right = {"string": texts, "boolean": st.booleans(), "array": st.lists(json_like, max_size=3),
             "object": st.dictionaries(st.text(max_size=4), json_like, max_size=3)}[kind]
    exotic = {"string": texts.map(StrSub), "boolean": st.booleans(),
              "array": st.lists(json_like, max_size=3).flatmap(
                  lambda items: st.sampled_from([tuple(items), Seq(items), ListSub(items)])),
              "object": st.dictionaries(st.text(max_size=4), json_like, max_size=3).map(Map)}[kind]
    # Mostly right, so that whole payloads pass now and then.
    return st.integers(0, 29).flatmap(
        lambda n: right if n < 24 else exotic if n < 26 else st.none() if n < 28 else values)


ABSENT = object()


@st.composite
def mention(draw):
    fields = {}
    for key in ("id", "username", "handle", "name", "extra"):
        fields[key] = draw(st.one_of(field_value("string"), field_value("string"), st.just(ABSENT)))
    made = {k: v for k, v in fields.items() if v is not ABSENT}
    return draw(st.sampled_from([dict, DictSub, Map]))(made)


@st.composite
def metadata(draw):
    mentions = draw(st.one_of(st.lists(mention(), max_size=3), st.lists(mention(), max_size=3),
                              st.lists(mention() | values, max_size=4), st.lists(mention(), max_size=3).map(tuple),
                              st.none(), values, st.just(ABSENT)))
    made = {} if mentions is ABSENT else {"mentions": mentions}
    made.update(draw(st.dictionaries(st.text(max_size=4), json_like, max_size=2)))
    return draw(st.sampled_from([dict, dict, Map]))(made)


KEYS_BY_EVENT = {
    "message_created": MESSAGE_STRINGS + [("chat_room_id", "string", False, True)],
    "room_added": ROOM,
    "room_deleted": [req("id")],
    "participant_added": PARTICIPANT + [opt_null("is_remote", "boolean"), opt_null("is_external", "boolean")],
    "contact_request_received": CONTACT_REQUEST_RECEIVED + [opt_null(k) for k in DROPPED_WHEN_NULL],
    "contact_request_updated": [req("id"), req("status")],
    "contact_added": CONTACT_ADDED + [opt_null("is_remote", "boolean"), opt_null("is_external", "boolean")],
    "contact_removed": [req("id")],
    "supersede": SUPERSEDE + [opt("retryable", "boolean"), opt("retry_after", "string")],
    "agent.control": CONTROL,
}
KEYS_BY_EVENT["message_updated"] = KEYS_BY_EVENT["message_created"]
KEYS_BY_EVENT["room_removed"] = KEYS_BY_EVENT["room_added"]
KEYS_BY_EVENT["participant_removed"] = KEYS_BY_EVENT["participant_added"]


@st.composite
def payloads(draw, event_type):
    """A payload for `event_type`: its schema's keys, mostly well filled, plus others."""
    fields = []
    for key, kind, _, _ in KEYS_BY_EVENT.get(event_type, []):
        if draw(st.integers(0, 19)) == 0:
            continue  # absent
        if key == "retry_after":
            value = draw(st.one_of(st.integers(-2**64, 2**65), st.floats(), values))
        elif key in CONTROL_ALLOWED and event_type == "agent.control":
            value = draw(st.sampled_from(CONTROL_ALLOWED[key]) | field_value(kind))
        else:
            value = draw(field_value(kind))
        fields.append((key, value))
    if event_type.startswith("message_"):
        if draw(st.integers(0, 4)):
            fields.append(("metadata", draw(st.integers(0, 9).flatmap(
                lambda n: metadata() if n < 7 else st.none() if n < 8 else values))))
        if draw(st.integers(0, 4)):
            fields.append(("attachments", draw(st.integers(0, 9).flatmap(
                lambda n: st.lists(values, max_size=3) if n < 6 else st.lists(nested(), max_size=2) if n < 7
                else st.none() if n < 8 else values))))
    unknown = st.text(max_size=8).filter(lambda k: k not in {f[0] for f in fields})
    fields += draw(st.lists(st.tuples(unknown, values | nested()), max_size=3, unique_by=lambda f: f[0]))
    fields = draw(st.permutations(fields))
    return draw(st.sampled_from([dict, dict, dict, DictSub, Map]))(fields)


events = st.sampled_from(WIRE_NAMES + ["no_such_event", "Message_created"])
any_payload = events.flatmap(lambda e: st.tuples(st.just(e), st.integers(0, 9).flatmap(
    lambda n: payloads(e) if n < 8 else values if n < 9 else nested())))


@settings(max_examples=600, deadline=None)
@given(case=any_payload, trace_context=st.sampled_from([None, "trace-1"]), as_enum=st.booleans())
def test_validation_matches_the_model(case, trace_context, as_enum):
    event_type, raw = case
    given_type = EventType.from_wire_name(event_type) if as_enum and event_type in WIRE_NAMES else event_type
    actual = module_outcome(lambda: validate_event_payload(given_type, raw, trace_context))
    assert actual == model_outcome(lambda: model_validate(event_type, raw), trace_context, actual)


@settings(max_examples=400, deadline=None)
@given(case=any_payload, room_id=st.sampled_from([None, "", "room-9"]), agent_id=st.sampled_from(["agent-1", ""]))
def test_routing_matches_the_model(case, room_id, agent_id):
    event_type, raw = case
    actual = module_outcome(lambda: evaluate_delivery_event(event_type, room_id, raw, agent_id, "trace-1"))
    assert actual == model_outcome(lambda: model_route(event_type, room_id, raw, agent_id), "trace-1", actual)

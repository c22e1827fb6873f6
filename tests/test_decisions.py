import types

import pytest

from orvu_sdk_core import evaluate_adapter_result, evaluate_drain_candidate, evaluate_next_message


def cand(id="m1", sender_id="a1", sender_type="Agent", **extra):
    return {"id": id, "sender_id": sender_id, "sender_type": sender_type, **extra}


SEEN_IDS_STR = "`seen_ids` must be an iterable of str, not a str"
SEEN_IDS_ARG = "evaluate_drain_candidate() argument 'seen_ids' must "


class Str(str):
    pass


class EqualsEverything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Iterable:
    def __iter__(self):
        return iter(["m3", "m1"])


@pytest.mark.parametrize(
    "candidate, seen_ids, agent_id, expected",
    [
        (None, ["m1"], "a1", ("no_candidate",)),
        (cand(), ["m1"], "a1", ("self_echo", "m1")),  # echo wins over the snapshot
        (cand(), [], "a1", ("self_echo", "m1")),
        (cand(), ["m1"], "a2", ("drain", "m1")),
        (cand(), ["m2"], "a2", ("out_of_snapshot", "m1")),
        (cand(sender_type="agent"), ["m1"], "a1", ("drain", "m1")),
        (cand(id="M1"), ["m1"], "a2", ("out_of_snapshot", "M1")),
        (cand(id=""), [""], "a2", ("drain", "")),
        (cand(content=[1, {"x": None}]), ["m1"], "a2", ("drain", "m1")),
        (types.MappingProxyType(cand()), ["m1"], "a2", ("drain", "m1")),
        (cand(id="é\U0001f600"), ["é\U0001f600"], "a2", ("drain", "é\U0001f600")),
        (cand(), [EqualsEverything("zz")], "a2", ("out_of_snapshot", "m1")),  # content, not __eq__
    ],
)
def test_drain_decision(candidate, seen_ids, agent_id, expected):
    result = evaluate_drain_candidate(candidate, seen_ids, agent_id)
    assert list(result.items()) == list(zip(["decision", "message_id"], expected))


@pytest.mark.parametrize(
    "make_seen",
    [
        lambda: {"m0", "m1"},
        lambda: frozenset({"m1"}),
        lambda: ("m1", "m1"),
        lambda: (s for s in ["m0", "m1"]),
        lambda: {"m1": 0}.keys(),
        lambda: {"m1": 0},
        Iterable,
        lambda: [Str("m1")],
    ],
)
def test_seen_ids_any_iterable_of_str(make_seen):
    assert evaluate_drain_candidate(cand(), make_seen(), "a2")["decision"] == "drain"


@pytest.mark.parametrize("candidate", [None, cand()])
@pytest.mark.parametrize(
    "make_seen, message",
    [
        (lambda: "abc", SEEN_IDS_STR),
        (lambda: Str(""), SEEN_IDS_STR),
        (lambda: 5, SEEN_IDS_ARG + "be an iterable of str, not int"),
        (lambda: None, SEEN_IDS_ARG + "be an iterable of str, not NoneType"),
        # A bad element after the matching id is still found: the whole snapshot is checked.
        (lambda: ["m1", 5], SEEN_IDS_ARG + "contain only str, not int"),
        (lambda: b"m1", SEEN_IDS_ARG + "contain only str, not int"),
        (lambda: (x for x in ["m1", b"m2"]), SEEN_IDS_ARG + "contain only str, not bytes"),
    ],
)
def test_seen_ids_refused(candidate, make_seen, message):
    with pytest.raises(TypeError) as info:
        evaluate_drain_candidate(candidate, make_seen(), "a2")
    assert str(info.value) == message


def test_seen_ids_iteration_error_propagates():
    def failing():
        yield "m1"
        raise LookupError("fetch failed")

    with pytest.raises(LookupError, match="fetch failed"):
        evaluate_drain_candidate(cand(), failing(), "a2")


@pytest.mark.parametrize(
    "candidate, message",
    [
        ({}, "candidate.id must be a string"),
        ({"id": None, "sender_id": 1, "sender_type": None}, "candidate.id must be a string"),
        (cand(id=5), "candidate.id must be a string"),
        (cand(sender_id=None), "candidate.sender_id must be a string"),
        ({"id": "m1", "sender_type": "Agent"}, "candidate.sender_id must be a string"),
        (cand(sender_type=True), "candidate.sender_type must be a string"),
        ([("id", "m1")], "candidate.id must be a string"),
        ("m1", "candidate.id must be a string"),
        (cand(extra=b"x"), "invalid type: byte array, expected any valid JSON value"),
        (cand(extra=2**64), "JSON number out of range"),
        ({1: "m1"}, "dict keys must have type str"),
        (object(), "unsupported type object"),
    ],
)
@pytest.mark.parametrize("seen_ids", [["m1"], "abc", [1]])
def test_candidate_errors_come_before_seen_ids(candidate, message, seen_ids):
    with pytest.raises(TypeError) as info:
        evaluate_drain_candidate(candidate, seen_ids, "a1")
    assert str(info.value) == message
    assert not hasattr(info.value, "issues")


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda: evaluate_drain_candidate(object(), "abc", 1), "argument 'agent_id' must be str, not int"),
        (lambda: evaluate_drain_candidate(None, []), "missing required argument 'agent_id'"),
        (lambda: evaluate_drain_candidate(None, [], "a1", "x"), "at most 3|exactly 3"),
        (lambda: evaluate_drain_candidate(None, [], agent="a1"), "unexpected keyword argument 'agent'"),
        (lambda: evaluate_adapter_result(1, None, True), r"evaluate_adapter_result\(\) argument 'room_id'"),
        (lambda: evaluate_adapter_result("r1", None, True), "argument 'message_id' must be str"),
        (lambda: evaluate_adapter_result("r1", "m1", 1), "argument 'succeeded' must be bool, not int"),
        (lambda: evaluate_next_message(None, "m1"), "argument 'triggering_message_id' must be str"),
        (lambda: evaluate_next_message("m1", 5), "argument 'next_message_id' must be str or None, not int"),
        (lambda: evaluate_next_message("m1"), "missing required argument 'next_message_id'"),
    ],
)
def test_argument_errors(call, match):
    with pytest.raises(TypeError, match=match):
        call()


@pytest.mark.parametrize("succeeded, decision", [(True, "processed"), (False, "failed")])
def test_adapter_result(succeeded, decision):
    result = evaluate_adapter_result(Str("r1"), message_id="m1", succeeded=succeeded)
    assert list(result.items()) == [("decision", decision), ("room_id", "r1"), ("message_id", "m1")]
    assert type(result["room_id"]) is str


@pytest.mark.parametrize(
    "triggering, next_id, expected",
    [
        ("m1", "m1", [("decision", "ready_to_claim")]),
        ("m1", "m2", [("decision", "already_processed"), ("next_open_id", "m2")]),
        ("m1", "m1 ", [("decision", "already_processed"), ("next_open_id", "m1 ")]),
        ("m1", "M1", [("decision", "already_processed"), ("next_open_id", "M1")]),
        ("m1", None, [("decision", "no_pending")]),
        ("", "", [("decision", "ready_to_claim")]),
    ],
)
def test_next_message(triggering, next_id, expected):
    assert list(evaluate_next_message(triggering, next_message_id=next_id).items()) == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: evaluate_drain_candidate(cand(), ["m1"], "a2"),
        lambda: evaluate_drain_candidate(None, [], "a2"),
        lambda: evaluate_adapter_result("r1", "m1", True),
        lambda: evaluate_next_message("m1", "m2"),
    ],
)
def test_results_are_fresh_dicts(call):
    first = call()
    expected = dict(first)
    first["decision"] = "tampered"
    assert call() == expected

"""Text in validated payloads: the result shares the caller's exact str
objects instead of copying them, so these tests pin what sharing must not
change: a str subclass still comes back as a plain str, and a text stays
intact when converting a later value runs Python code that drops it from the
payload."""

import collections.abc

import pytest
from hypothesis import given, settings, strategies as st

from orvu_sdk_core import evaluate_delivery_event, validate_event_payload


class Text(str):
    """A str subclass: its value counts, its type must not reach the result."""


def fresh(text):
    """An equal str that is not interned, so only the payload holds it."""
    return "".join(list(text))


def message(**extra):
    payload = dict(id=fresh("m1"), content=fresh("hello there"), message_type="text", sender_type="User",
                   sender_id=fresh("u1"), inserted_at="t", updated_at="t")
    payload.update(extra)
    return payload


def nested(result, path):
    for step in path:
        result = result[step]
    return result


@pytest.mark.parametrize("payload,path,text", [
    (message(content=Text("sub")), ("content",), "sub"),
    (message(sender_name=Text("Pat")), ("sender_name",), "Pat"),
    (message(metadata={"mentions": [{"id": Text("user-1")}]}), ("metadata", "mentions", 0, "id"), "user-1"),
    (message(attachments=[Text("a"), [Text("b")]]), ("attachments", 1, 0), "b"),
])
def test_subclass_text_comes_back_as_plain_str(payload, path, text):
    value = nested(validate_event_payload("message_created", payload), path)
    assert type(value) is str and value == text


@pytest.mark.parametrize("where", ["top", "mention", "extra"])
def test_subclass_keys_come_back_as_plain_str(where):
    key = Text("x_extra")
    if where == "top":
        payload, container = message(**{key: 1}), ()
    elif where == "mention":
        payload, container = message(metadata={"mentions": [{"id": "u", key: 1}]}), ("metadata", "mentions", 0)
    else:
        payload, container = message(extra={key: 1}), ("extra",)
    keys = list(nested(validate_event_payload("message_created", payload), container))
    assert "x_extra" in keys and all(type(k) is str for k in keys)


def test_exact_texts_are_shared_and_equal():
    payload = message()
    result = validate_event_payload("message_created", payload)
    assert result["content"] is payload["content"]
    assert result == {**payload, "metadata": {"mentions": []}, "attachments": []}


class Dropper(collections.abc.Sequence):
    """A sequence whose reading empties another container of the payload."""

    def __init__(self, victim):
        self.victim = victim

    def __len__(self):
        return 0

    def __getitem__(self, i):
        self.victim.clear()
        raise IndexError(i)


@pytest.mark.parametrize("call", ["validate", "route"])
def test_texts_dropped_during_conversion_stay_intact(call):
    # "metadata" is read before "attachments", whose reading empties the
    # mention dict: the texts read from it must outlive their last owner.
    mention = {fresh("id"): fresh("user-1"), fresh("username"): fresh("pat")}
    payload = message(metadata={"mentions": [mention]}, attachments=Dropper(mention))
    payload["content"] = fresh("content that only the payload holds")
    if call == "validate":
        result = validate_event_payload("message_created", payload)
        assert result["metadata"] == {"mentions": [{"id": "user-1", "username": "pat"}]}
        assert result["attachments"] == []
    else:
        result = evaluate_delivery_event("message_created", "room-1", payload, "agent-1")
        assert result == {"decision": "invocation", "room_id": "room-1", "message_id": "m1", "sender_id": "u1",
                          "sender_type": "User"}
    assert mention == {}


class Twin(str):
    """Equal only to itself: two of them can spell one key in a dict."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


@settings(max_examples=150, deadline=None)
@given(st.lists(st.text(alphabet="abxyz_", min_size=1, max_size=4), unique=True, max_size=45), st.randoms(),
       st.booleans())
def test_any_key_order_and_count_validates_alike(extra, rng, subclass_key):
    # Objects read from dicts of exact str keys stay in the order read until
    # the result is built; a subclass key takes the sorting path. Both must
    # find every field, whatever the order and the number of keys.
    payload = message()
    payload.update({f"x{k}": k for k in extra})
    mention = {f"m{k}": k for k in extra} | {"id": "u1"}
    items = list(payload.items())
    rng.shuffle(items)
    payload = dict(items)
    if subclass_key:
        payload[Text("zz")] = 1
    payload["metadata"] = {"mentions": [dict(sorted(mention.items(), key=lambda kv: rng.random()))]}
    result = validate_event_payload("message_created", payload)
    assert list(result) == sorted(result) and result == {**payload, "attachments": []}
    assert list(result["metadata"]["mentions"][0]) == sorted(mention)
    decision = evaluate_delivery_event("message_created", None, {**payload, "chat_room_id": "r1"}, "agent-1")
    assert decision["message_id"] == "m1" and decision["room_id"] == "r1"
    del payload["sender_id"]
    with pytest.raises(ValueError) as caught:
        evaluate_delivery_event("message_created", "r1", payload, "agent-1")
    assert [issue[0] for issue in caught.value.issues] == ["sender_id"]


@pytest.mark.parametrize("call", ["validate", "route"])
def test_keys_spelled_alike_take_the_last_value(call):
    payload = message()
    del payload["sender_id"]
    payload.update({Twin("sender_id"): 7, Twin("sender_id"): "u9"})
    if call == "validate":
        assert validate_event_payload("message_created", payload)["sender_id"] == "u9"
    else:
        assert evaluate_delivery_event("message_created", "r1", payload, "agent-1")["sender_id"] == "u9"

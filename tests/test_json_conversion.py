"""Conversion of Python values into the JSON-like value and back.

`AgentFailure.detail` stores whatever the conversion produced and converts it
back on every read, so it shows both directions without any other logic.
"""

import collections
import collections.abc
import math

import pytest
from hypothesis import given, settings, strategies as st

from orvu_sdk_core import AgentFailure


def roundtrip(value):
    return AgentFailure("p", "m", detail=value).detail


class Seq(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Map(collections.abc.Mapping):
    def __init__(self, **items):
        self.data = items

    def __len__(self):
        return len(self.data)

    def __iter__(self):
        return iter(self.data)

    def __getitem__(self, key):
        return self.data[key]


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize("value,expected", [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (2**64 - 1, 2**64 - 1),
    (-2**63, -2**63),
    (IntSub(7), 7),
    (1.5, 1.5),
    (-0.0, -0.0),
    (float("nan"), None),
    (float("inf"), None),
    (float("-inf"), None),
    ("", ""),
    ("h\u00e9llo \U0001f600", "h\u00e9llo \U0001f600"),
    (StrSub("s"), "s"),
    ([1, [2, [3]]], [1, [2, [3]]]),
    ((1, (2,)), [1, [2]]),
    (frozenset({"a"}), ["a"]),
    (Seq(1, "x"), [1, "x"]),
    (Map(b=1, a=2), {"a": 2, "b": 1}),
    (DictSub(z=1), {"z": 1}),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"a": 2, "b": 1}),
    (range(3), [0, 1, 2]),
])
def test_values_convert_and_come_back(value, expected):
    result = roundtrip(value)
    if isinstance(expected, float) and math.copysign(1, expected) < 0:
        assert math.copysign(1, result) < 0
    assert result == expected
    assert type(result) is type(expected)


def test_bool_stays_bool_and_int_subclass_becomes_int():
    assert roundtrip([True, 1, IntSub(1)]) == [True, 1, 1]
    assert [type(x) for x in roundtrip([True, 1, IntSub(1)])] == [bool, int, int]


def test_object_keys_come_back_ascending_at_every_level():
    value = {"b": {"y": 1, "x": 2}, "a": [{"d": 1, "c": 2}], "\u00e9": 0, "B": 1}
    result = roundtrip(value)
    assert list(result) == sorted(value)
    assert list(result["b"]) == ["x", "y"]
    assert list(result["a"][0]) == ["c", "d"]


def test_key_order_is_by_code_point():
    keys = ["\U0001f600", "\uffff", "a", "Z", "", "aa"]
    assert list(roundtrip(dict.fromkeys(keys, 0))) == sorted(keys)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.text(alphabet="abcXY\u00e9", max_size=3), unique=True, max_size=45), st.randoms())
def test_any_key_order_comes_back_ascending_with_each_value(keys, rng):
    # Objects of up to 32 members are sorted on the stack and put in order in
    # place; larger ones take another path: both must pair keys and values.
    rng.shuffle(keys)
    value = {k: [i, k] for i, k in enumerate(keys)}
    result = roundtrip(value)
    assert list(result) == sorted(keys)
    assert all(result[k] == value[k] for k in keys)


class Twin(str):
    """Equal only to itself: two of them can spell one key in a dict."""

    __eq__ = object.__eq__
    __hash__ = object.__hash__


@pytest.mark.parametrize("filler", [0, 40])
def test_keys_spelled_alike_keep_the_last_value(filler):
    value = {f"k{i:02d}": i for i in range(filler)}
    value.update({Twin("b"): "first", "a": 0, Twin("b"): "last", "c": 1})
    result = roundtrip(value)
    assert list(result) == sorted({str(k) for k in value}) and result["b"] == "last"
    assert (result["a"], result["c"]) == (0, 1)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("value,message", [
    (2**64, "JSON number out of range"),
    (-2**63 - 1, "JSON number out of range"),
    (2**128 - 1, "JSON number out of range"),
    (-2**127, "JSON number out of range"),
    ([1, {"k": 2**100}], "JSON number out of range"),
    ({1: "x"}, "dict keys must have type str"),
    ({"a": {None: 1}}, "dict keys must have type str"),
    (b"x", "invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"x"), "invalid type: byte array, expected any valid JSON value"),
    (object(), "unsupported type object"),
    ([complex(1, 2)], "unsupported type complex"),
    (Outer.Inner(), "unsupported type Outer.Inner"),  # the qualified name
])
def test_conversion_failures_are_type_errors(value, message):
    with pytest.raises(TypeError) as info:
        AgentFailure("p", "m", detail=value)
    assert str(info.value) == message
    assert not hasattr(info.value, "issues")


@pytest.mark.parametrize("value", [2**128, -2**127 - 1, 2**1000])
def test_integers_beyond_128_bits_fail_with_type_error(value):
    with pytest.raises(TypeError) as info:
        AgentFailure("p", "m", detail=value)
    assert str(info.value) != "JSON number out of range"


def test_dict_checked_before_str_and_sequence_before_mapping():
    class Both(collections.abc.Sequence, collections.abc.Mapping):
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i == 0:
                return "item"
            raise IndexError(i)

        def __iter__(self):
            yield "item"

    assert roundtrip(Both()) == ["item"]


def test_errors_raised_while_reading_become_type_errors():
    class BadLen(collections.abc.Sequence):
        def __len__(self):
            raise ValueError("length unknown")

        def __getitem__(self, i):
            raise ValueError("length unknown")

    class BadItems(Map):
        def __getitem__(self, key):
            raise KeyError("gone")

    with pytest.raises(TypeError, match="length unknown"):
        AgentFailure("p", "m", detail=BadLen())
    with pytest.raises(TypeError, match="gone"):
        AgentFailure("p", "m", detail=BadItems(a=1))
    with pytest.raises(TypeError):
        AgentFailure("p", "m", detail={"k": "\ud800"})


@pytest.mark.parametrize("depth", [1000, 100_000])
def test_deep_nesting_raises_instead_of_overflowing(depth):
    value = []
    for _ in range(depth):
        value = [value]
    with pytest.raises(TypeError):
        AgentFailure("p", "m", detail=value)
    nested = {}
    for _ in range(depth):
        nested = {"k": nested}
    with pytest.raises(TypeError):
        AgentFailure("p", "m", detail=nested)


def test_moderate_nesting_is_fine():
    value = "leaf"
    for _ in range(200):
        value = [value]
    assert roundtrip(value) == value


def test_self_referential_containers_raise():
    loop = []
    loop.append(loop)
    with pytest.raises(TypeError):
        AgentFailure("p", "m", detail=loop)
    d = {}
    d["self"] = d
    with pytest.raises(TypeError):
        AgentFailure("p", "m", detail=d)


def test_list_mutated_during_conversion_is_read_safely():
    victim = [1, 2, 3]

    class Shrinker(collections.abc.Sequence):
        def __len__(self):
            victim.clear()
            return 0

        def __getitem__(self, i):
            raise IndexError(i)

    victim.insert(1, Shrinker())
    assert roundtrip(victim) in ([1, []], [1, [], 2, 3])


def test_callers_objects_are_not_kept():
    detail = {"a": [1]}
    failure = AgentFailure("p", "m", detail=detail)
    detail["a"].append(2)
    assert failure.detail == {"a": [1]}
    first = failure.detail
    first["a"].append(3)
    assert failure.detail == {"a": [1]}

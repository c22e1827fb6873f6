"""Hostile argument values: objects that raise, lie, change while being read,
refer to themselves or nest absurdly deep.

``RECIPES`` is a fixed, named catalogue (used by the leak check and as the
base of the hypothesis strategy); each recipe builds a fresh value, since
several of them (generators, mutating mappings) are spent by one use.
"""

import collections.abc
import decimal
import fractions
import math
import sys

import orvu_sdk_core as core


class Boom(Exception):
    """What the hostile objects themselves raise."""


def boom(*_args, **_kwargs):
    raise Boom("hostile object refused")


# --------------------------------------------------------------- numbers

class IndexRaises:
    __index__ = boom
    __int__ = boom
    __float__ = boom


class IndexReturnsStr:
    def __index__(self):
        return "7"

    def __float__(self):
        return "7.0"


class IndexHuge:
    def __index__(self):
        return 2**200

    def __float__(self):
        return 1e300


class IndexNegative:
    def __index__(self):
        return -1

    def __float__(self):
        return -1.0


class FloatNaN:
    def __float__(self):
        return math.nan


class IntSub(int):
    __index__ = boom
    __int__ = boom
    __float__ = boom
    __eq__ = boom
    __hash__ = int.__hash__


class FloatSub(float):
    __float__ = boom
    __eq__ = boom
    __hash__ = float.__hash__


class BoolRaises:
    __bool__ = boom
    __index__ = boom


# --------------------------------------------------------------- strings

class StrSub(str):
    __eq__ = boom
    __ne__ = boom
    __str__ = boom
    __len__ = boom
    __iter__ = boom
    __hash__ = str.__hash__


class StrLiar(str):
    """Claims to equal everything and hashes like the empty string."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("")


# --------------------------------------------------------------- containers

class ListSub(list):
    __iter__ = boom
    __len__ = boom
    __getitem__ = boom


class TupleSub(tuple):
    __iter__ = boom
    __len__ = boom
    __getitem__ = boom


class DictSub(dict):
    keys = boom
    items = boom
    values = boom
    __iter__ = boom
    __getitem__ = boom
    __len__ = boom
    __contains__ = boom
    get = boom


class DictLiar(dict):
    def keys(self):
        return 42

    def items(self):
        return [("id", "p1", "extra")]

    def __getitem__(self, key):
        return 1e309

    def __len__(self):
        return -5


class LenHuge(collections.abc.Sequence):
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i > 2:
            raise IndexError(i)
        return "x"


class LenNegative(collections.abc.Sequence):
    def __len__(self):
        return -1

    def __getitem__(self, i):
        raise IndexError(i)


class GetitemRaises(collections.abc.Sequence):
    def __len__(self):
        return 3

    __getitem__ = boom


class IterRaises:
    __iter__ = boom


class IterNotIterator:
    def __iter__(self):
        return 5


class MappingKeysRaise(collections.abc.Mapping):
    def __len__(self):
        return 1

    __iter__ = boom
    __getitem__ = boom
    keys = boom
    items = boom


class MappingLies(collections.abc.Mapping):
    """Claims keys it cannot produce."""

    def __len__(self):
        return 3

    def __iter__(self):
        return iter(["id", 5, b"x"])

    def __getitem__(self, key):
        raise KeyError(key)


class MutatingMapping(collections.abc.Mapping):
    """Grows and shrinks while it is being read."""

    def __init__(self):
        self.data = {"id": "p1", "name": "Ann", "room_id": "r1", "a": 1}
        self.reads = 0

    def __len__(self):
        self.data[f"k{len(self.data)}"] = self.reads
        return len(self.data)

    def __iter__(self):
        for key in list(self.data):
            self.data.pop(key, None)
            self.data[key + "x"] = key
            yield key

    def __getitem__(self, key):
        self.reads += 1
        self.data.clear()
        self.data["id"] = self.reads
        return "v"


class MutatingDict(dict):
    """A dict subclass whose values empty the dict when they are read."""

    def __getitem__(self, key):
        self.clear()
        return "v"

    def items(self):
        out = list(dict.items(self))
        self.clear()
        self.update({i: i for i in range(50)})
        return out


class ShrinkingList(list):
    def __iter__(self):
        while self:
            yield self.pop()


def list_cleared_while_read():
    holder = ["a", "b"]

    class Clearing(collections.abc.Mapping):
        def __len__(self):
            holder.clear()
            holder.extend(range(1000))
            return 0

        def __iter__(self):
            holder.clear()
            return iter(())

        def __getitem__(self, key):
            raise KeyError(key)

    holder.insert(1, Clearing())
    return holder


def failing_generator():
    yield {"id": "p1"}
    yield "m1"
    raise Boom("generator failed midway")


def endless_generator_bounded():
    # Long but finite: a consumer that collects it must cope.
    for i in range(20000):
        yield f"id{i}"


class Deep(list):
    def __repr__(self):
        return f"<list nested {self.depth} deep>"


class DeepDict(dict):
    def __repr__(self):
        return f"<dict nested {self.depth} deep>"


def deep_list(depth=100_000):
    inner = []
    for _ in range(depth - 1):
        inner = [inner]
    outer = Deep([inner])
    outer.depth = depth
    return outer


def deep_dict(depth=100_000):
    inner = {}
    for _ in range(depth - 1):
        inner = {"id": inner}
    outer = DeepDict({"id": inner})
    outer.depth = depth
    return outer


def deep_tuple(depth=100_000):
    inner = ()
    for _ in range(depth):
        inner = (inner,)
    return inner


def self_list():
    x = ["a"]
    x.append(x)
    return x


def self_dict():
    x = {"id": "p1"}
    x["self"] = x
    x["name"] = x
    return x


def self_set_holder():
    x = {"id": "p1", "items": []}
    x["items"].append(x)
    return x


class Unreadable:
    """Has no readable type name and refuses every question."""

    __getattr__ = boom
    __repr__ = boom
    __str__ = boom
    __eq__ = boom
    __hash__ = boom
    __bool__ = boom
    __len__ = boom
    __iter__ = boom
    __index__ = boom
    __float__ = boom


def provider_raises():
    raise Boom("provider failed")


# Named recipes. Scalars that are immortal or cached (None, small ints,
# True) are included too: they must be refused cleanly, refcounts aside.
RECIPES = {
    "none": lambda: None,
    "true": lambda: True,
    "zero": lambda: 0,
    "minus_one": lambda: -1,
    "int_2_63": lambda: 2**63,
    "int_2_64": lambda: 2**64,
    "int_-2_63-1": lambda: -(2**63) - 1,
    "int_2_200": lambda: 2**200,
    "int_-2_200": lambda: -(2**200),
    "int_2_127": lambda: 2**127,
    "int_-2_127": lambda: -(2**127),
    "int_sub": lambda: IntSub(5),
    "index_raises": IndexRaises,
    "index_returns_str": IndexReturnsStr,
    "index_huge": IndexHuge,
    "index_negative": IndexNegative,
    "float_nan": lambda: math.nan,
    "float_inf": lambda: math.inf,
    "float_-inf": lambda: -math.inf,
    "float_-0": lambda: -0.0,
    "float_max": lambda: sys.float_info.max,
    "float_tiny": lambda: 5e-324,
    "float_sub": lambda: FloatSub(0.5),
    "float_nan_obj": FloatNaN,
    "decimal_nan": lambda: decimal.Decimal("NaN"),
    "decimal_snan": lambda: decimal.Decimal("sNaN"),
    "fraction": lambda: fractions.Fraction(1, 3),
    "complex": lambda: complex(1, 2),
    "bool_raises": BoolRaises,
    "str_empty": lambda: "",
    "str_lone_surrogate": lambda: "\ud800",
    "str_mixed_surrogate": lambda: "m\udfff1",
    "str_nul": lambda: "r\x001",
    "str_astral": lambda: "\U0001f600",
    "str_long": lambda: "x" * 1_000_000,
    "str_sub": lambda: StrSub("r1"),
    "str_sub_surrogate": lambda: type("Sub", (str,), {})("r\ud800"),
    "str_liar": lambda: StrLiar("m1"),
    "bytes": lambda: b"r1",
    "bytearray": lambda: bytearray(b"r1"),
    "memoryview": lambda: memoryview(b"r1"),
    "list_sub": lambda: ListSub(["r1"]),
    "tuple_sub": lambda: TupleSub(("r1",)),
    "dict_sub": lambda: DictSub({"id": "p1"}),
    "dict_liar": lambda: DictLiar({"id": "p1"}),
    "dict_int_key": lambda: {1: "x", "id": "p1"},
    "len_huge": LenHuge,
    "len_negative": LenNegative,
    "getitem_raises": GetitemRaises,
    "iter_raises": IterRaises,
    "iter_not_iterator": IterNotIterator,
    "mapping_keys_raise": MappingKeysRaise,
    "mapping_lies": MappingLies,
    "mapping_mutates": MutatingMapping,
    "dict_mutates": lambda: MutatingDict({"id": "p1", "name": "Ann"}),
    "list_shrinks": lambda: ShrinkingList(["a", "b", "c"]),
    "list_cleared_while_read": list_cleared_while_read,
    "generator_fails": failing_generator,
    "generator_long": endless_generator_bounded,
    "set_mixed": lambda: {"s1", 2, None},
    "set_str_sub": lambda: {StrSub("s1")},
    "frozenset_liar": lambda: frozenset({StrLiar("s1")}),
    "deep_list": deep_list,
    "deep_dict": deep_dict,
    "deep_tuple": deep_tuple,
    "self_list": self_list,
    "self_dict": self_dict,
    "self_holder": self_set_holder,
    "unreadable": Unreadable,
    "object": object,
    "type": lambda: int,
    "module_class": lambda: core.EventType,
    "wrong_enum": lambda: core.EventType.MessageCreated,
    "callable_raises": lambda: provider_raises,
    "callable_returns_int": lambda: (lambda: 5),
    "ellipsis": lambda: ...,
    "exception": lambda: Boom("as a value"),
}

# Recipes whose value is a fresh heap object (refcount changes are meaningful).
FRESH = {name for name in RECIPES
         if name not in {"none", "true", "zero", "minus_one", "str_empty", "ellipsis", "type",
                         "module_class", "wrong_enum", "object_type", "callable_raises"}}

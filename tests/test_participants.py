import collections.abc
import gc
import weakref

import pytest

from orvu_sdk_core import ParticipantRoster

FIELDS = ("name", "type", "handle", "description")


def entry(pid, **fields):
    return {"id": pid, **{f: fields.get(f) for f in FIELDS}}


class FrozenMapping(collections.abc.Mapping):
    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


@pytest.mark.parametrize("participant,message", [
    (["id", "p"], "participant must be a mapping"),
    ("p1", "participant must be a mapping"),
    (None, "participant must be a mapping"),
    (5, "participant must be a mapping"),
    ({}, "participant field `id` must be a string"),
    ({"id": None}, "participant field `id` must be a string"),
    ({"id": 5, "type": 5}, "participant field `id` must be a string"),
    ({"id": "p", "type": 5}, "participant field `type` must be a string or None"),
    ({"id": "p", "handle": True}, "participant field `handle` must be a string or None"),
    ({"id": "p", "description": ["x"], "name": 1.5}, "participant field `name` must be a string or None"),
    # Conversion failures win, wherever they are and whatever the key.
    ({"id": 5, "extra": b"x"}, "invalid type: byte array, expected any valid JSON value"),
    ({"id": "p", 1: "x"}, "dict keys must have type str"),
    ({"id": "p", "extra": {"deep": [object()]}}, "unsupported type object"),
    ({"id": "p", "extra": 2**64}, "JSON number out of range"),
    # Texts without UTF-8, in an otherwise plain dict of texts.
    ({"id": "p", "extra": "\ud800"}, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ({"id": "\ud800"}, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ({"\ud800": None, "id": "p"}, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
])
def test_reading_errors(participant, message):
    roster = ParticipantRoster()
    roster.add({"id": "keep", "name": "K"})
    roster.mark_sent()
    with pytest.raises(TypeError) as info:
        roster.add(participant)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        roster.set_all([{"id": "keep"}, participant])
    assert str(info.value) == message
    assert roster.list() == [entry("keep", name="K")]
    assert roster.changed() is False


def test_add_keeps_the_five_fields_and_any_mapping_works():
    roster = ParticipantRoster()
    assert roster.add({"id": "p1", "name": "Ann", "extra": 1}) is True
    assert roster.add(FrozenMapping({"id": "p2", "handle": "", "type": None})) is True
    # Keys made at run time: equal texts in other objects than the written ones.
    assert roster.add({"".join(["i", "d"]): "p3", "".join(["na", "me"]): "Bea"}) is True
    listed = roster.list()
    assert listed == [entry("p1", name="Ann"), entry("p2", handle=""), entry("p3", name="Bea")]  # a fresh add keeps ""
    assert [list(d) for d in listed] == [["id", *FIELDS]] * 3
    listed[0]["name"] = "changed"
    assert roster.list()[0]["name"] == "Ann"


@pytest.mark.parametrize("incoming,expected", [
    (None, "Ann"), ("", "Ann"), ("Bea", "Bea"), ("absent", "Ann"),
])
@pytest.mark.parametrize("field", FIELDS)
def test_merge_rule(field, incoming, expected):
    roster = ParticipantRoster()
    roster.add({"id": "p0"})
    roster.add({"id": "p1", field: "Ann"})
    roster.add({"id": "p2"})
    update = {"id": "p1"} if incoming == "absent" else {"id": "p1", field: incoming}
    assert roster.add(update) is False
    assert [p["id"] for p in roster.list()] == ["p0", "p1", "p2"]  # merged in place
    assert roster.list()[1][field] == expected
    # set_all merges by the same rule.
    roster.set_all([update])
    assert roster.list() == [{**entry("p1"), field: expected}]


def test_merge_never_clears_an_absent_field():
    roster = ParticipantRoster()
    roster.add({"id": "p"})
    roster.add({"id": "p", "name": ""})
    assert roster.list() == [entry("p")]


def test_remove():
    roster = ParticipantRoster()
    for pid in ("a", "b", "c"):
        roster.add({"id": pid})
    assert roster.remove("x") is False
    assert roster.remove("b") is True and roster.remove("b") is False
    assert [p["id"] for p in roster.list()] == ["a", "c"]
    with pytest.raises(TypeError, match="participant_id"):
        roster.remove(None)


def test_set_all_duplicate_ids():
    roster = ParticipantRoster()
    roster.add({"id": "z", "name": "Zed"})
    roster.mark_sent()
    with pytest.raises(ValueError) as info:
        roster.set_all([{"id": "a"}, {"id": "b"}, {"id": "a"}, {"id": "a"}, {"id": "b"}], trace_context="tc")
    err = info.value
    assert str(err) == "3 validation issue(s): duplicate participant id `a` in set_all snapshot (participants[2].id)"
    assert err.issues == (
        ("participants[2].id", "invalid_value", "duplicate participant id `a` in set_all snapshot"),
        ("participants[3].id", "invalid_value", "duplicate participant id `a` in set_all snapshot"),
        ("participants[4].id", "invalid_value", "duplicate participant id `b` in set_all snapshot"),
    )
    assert err.trace_context == "tc"
    assert roster.list() == [entry("z", name="Zed")] and roster.changed() is False


def test_set_all_replaces_in_snapshot_order():
    roster = ParticipantRoster()
    roster.add({"id": "a", "name": "A", "type": "human"})
    roster.add({"id": "b", "name": "B"})
    roster.add({"id": "c"})
    snapshot = ({"id": pid, "name": name, "type": None} for pid, name in (("d", ""), ("a", None), ("c", "C")))
    assert roster.set_all(snapshot) is None
    assert roster.list() == [entry("d", name=""), entry("a", name="A", type="human"), entry("c", name="C")]
    roster.set_all([])
    assert roster.list() == []


@pytest.mark.parametrize("bad", [5, None])
def test_set_all_needs_an_iterable(bad):
    roster = ParticipantRoster()
    with pytest.raises(TypeError, match="not iterable"):
        roster.set_all(bad)


def test_trace_context_is_checked_before_the_participants_are_read():
    consumed = []

    def snapshot():
        consumed.append(True)
        yield {"id": "a"}

    roster = ParticipantRoster(trace_context_provider=lambda: "p")
    with pytest.raises(TypeError, match="trace_context"):
        roster.set_all(snapshot(), trace_context=5)
    assert consumed == [] and roster.list() == []


class Provider:
    def __init__(self, answer):
        self.answer, self.calls = answer, 0

    def __call__(self):
        self.calls += 1
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer,trace_context", [
    ("from-provider", "from-provider"),
    ("", ""),
    (None, None),
    (5, None),
    (b"bytes", None),
    (ValueError("boom"), None),
    (RuntimeError("boom"), None),
])
def test_provider_outcomes(answer, trace_context):
    provider = Provider(answer)
    roster = ParticipantRoster(trace_context_provider=provider)
    roster.set_all([{"id": "ok"}])  # called even when the snapshot is valid
    assert provider.calls == 1
    with pytest.raises(ValueError) as info:
        roster.set_all([{"id": "a"}, {"id": "a"}])
    assert info.value.trace_context == trace_context
    assert provider.calls == 2
    with pytest.raises(ValueError) as info:
        roster.set_all([{"id": "a"}, {"id": "a"}], trace_context="explicit")
    assert info.value.trace_context == "explicit" and provider.calls == 2
    with pytest.raises(TypeError):
        roster.set_all([{"id": 1}])  # reading fails before the provider is asked
    assert provider.calls == 2
    roster.add({"id": "b"})
    roster.remove("b")
    assert provider.calls == 2 and roster.list() == [entry("ok")]


def test_provider_that_cannot_be_called_gives_no_trace_context():
    roster = ParticipantRoster(trace_context_provider=42)
    with pytest.raises(ValueError) as info:
        roster.set_all([{"id": "a"}, {"id": "a"}])
    assert info.value.trace_context is None
    with pytest.raises(TypeError):
        ParticipantRoster(lambda: "x")  # keyword only


def test_changed():
    roster = ParticipantRoster()
    assert roster.changed() is True
    roster.mark_sent()
    assert roster.changed() is False
    roster.add({"id": "a", "name": "A"})
    roster.add({"id": "b"})
    assert roster.changed() is True
    roster.mark_sent()
    roster.add({"id": "a", "name": "A"})
    roster.add({"id": "b", "name": ""})
    assert roster.changed() is False  # refreshes that change nothing
    roster.set_all([{"id": "b"}, {"id": "a"}])
    assert roster.changed() is True  # order counts
    roster.set_all([{"id": "a"}, {"id": "b"}])
    assert roster.changed() is False
    roster.remove("b")
    roster.add({"id": "b", "name": ""})
    assert roster.changed() is True  # "" differs from absent
    roster.mark_sent()
    roster.add({"id": "b", "handle": "h"})
    assert roster.changed() is True


def test_roster_in_a_cycle_with_its_provider_is_collected():
    class CyclicProvider:
        def __call__(self):
            return "tc"

    provider = CyclicProvider()
    roster = ParticipantRoster(trace_context_provider=provider)
    provider.roster = roster
    assert gc.is_tracked(roster)
    assert provider in gc.get_referents(roster)
    alive = weakref.ref(provider)
    del provider, roster
    gc.collect()
    assert alive() is None


def test_provider_reentry_meets_the_borrow_guard():
    seen = []

    def provider():
        for call in (lambda: roster.list(), lambda: roster.changed(), lambda: roster.add({"id": "sneak"}),
                     lambda: roster.set_all([]), lambda: roster.mark_sent()):
            try:
                call()
            except RuntimeError as exc:
                seen.append(str(exc))
        raise RuntimeError(seen[-1])  # escapes the provider: discarded

    roster = ParticipantRoster(trace_context_provider=provider)
    roster.add({"id": "a"})
    with pytest.raises(ValueError) as info:
        roster.set_all([{"id": "x"}, {"id": "x"}])
    assert info.value.trace_context is None
    assert seen == ["Already mutably borrowed"] * 2 + ["Already borrowed"] * 3
    roster.set_all([{"id": "b"}])
    assert roster.list() == [entry("b")] and roster.changed() is True


def test_reentry_while_reading_participants():
    roster = ParticipantRoster()
    roster.add({"id": "a"})

    def snapshot():
        yield {"id": "b"}
        roster.add({"id": "sneak"})
        yield {"id": "c"}

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        roster.set_all(snapshot())

    class Reentrant(FrozenMapping):
        def __iter__(self):
            roster.list()
            return super().__iter__()

    # Errors raised while a participant is read come out as the conversion's TypeError.
    with pytest.raises(TypeError, match="^Already mutably borrowed$"):
        roster.add(Reentrant({"id": "d"}))
    assert roster.list() == [entry("a")]

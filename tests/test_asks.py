import operator
import os
import re

import pytest

from orvu_sdk_core import CancelledDecisions, ClaimOutcome, DecisionRegistry, is_authorized_sender

MASK = (1 << 64) - 1
U64_MAX = MASK


def splitmix_tokens(seed, count):
    """Reference token stream, written independently of the module."""
    state, out = seed, []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        z ^= z >> 31
        out.append(format(z & 0xFFFFFFFF, "08x"))
    return out


# --- construction -----------------------------------------------------------

class LoudInt(int):
    def __repr__(self):
        return "LoudInt!"

    __str__ = __repr__


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"max_pending": 0}, "`max_pending` must be an integer between 1 and 4294967295, got 0"),
        ({"max_pending": -3}, "`max_pending` must be an integer between 1 and 4294967295, got -3"),
        ({"max_pending": 2**32}, "`max_pending` must be an integer between 1 and 4294967295, got 4294967296"),
        ({"max_pending": False}, "`max_pending` must be an integer between 1 and 4294967295, got 0"),
        ({"seed": -1}, "`seed` must be an integer between 0 and 18446744073709551615, got -1"),
        ({"seed": 2**64}, "`seed` must be an integer between 0 and 18446744073709551615, got 18446744073709551616"),
        ({"seed": -(2**80)}, f"`seed` must be an integer between 0 and 18446744073709551615, got {-(2**80)}"),
        # above the signed 64-bit range but within the unsigned one
        ({"max_pending": 2**63}, "`max_pending` must be an integer between 1 and 4294967295, got 9223372036854775808"),
        ({"max_pending": 2**100}, f"`max_pending` must be an integer between 1 and 4294967295, got {2**100}"),
        # the value is quoted as a plain int, whatever its class prints
        ({"seed": LoudInt(2**70)}, f"`seed` must be an integer between 0 and 18446744073709551615, got {2**70}"),
        ({"seed": LoudInt(-5)}, "`seed` must be an integer between 0 and 18446744073709551615, got -5"),
        ({"max_pending": Index(0)}, "`max_pending` must be an integer between 1 and 4294967295, got 0"),
        ({"seed": Index(2**64)}, "`seed` must be an integer between 0 and 18446744073709551615, got 18446744073709551616"),
    ],
)
def test_constructor_range_messages(kwargs, message):
    with pytest.raises(ValueError) as info:
        DecisionRegistry(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs",
    [((5,), {}), ((), {"max_pending": "5"}), ((), {"seed": 1.0}), ((), {"bogus": 1}),
     # types are checked for every argument before any range check
     ((), {"max_pending": 0, "seed": "x"})],
)
def test_constructor_type_errors(args, kwargs):
    with pytest.raises(TypeError):
        DecisionRegistry(*args, **kwargs)


@pytest.mark.parametrize("max_pending", [None, 1, 4294967295, True, Index(7), LoudInt(3)])
def test_max_pending_property(max_pending):
    r = DecisionRegistry(max_pending=max_pending, seed=0)
    assert r.max_pending == (None if max_pending is None else operator.index(max_pending))
    assert r.max_pending is None or type(r.max_pending) is int
    with pytest.raises(AttributeError):
        r.max_pending = 3


@pytest.mark.parametrize("seed", [0, 1, 42, 2**63, U64_MAX, Index(2**64 - 2), LoudInt(2**63 + 5)])
def test_seeded_tokens_follow_splitmix64(seed):
    r = DecisionRegistry(seed=seed)
    minted = [r.register_minted()[0] for _ in range(50)]
    assert minted == splitmix_tokens(operator.index(seed), 50)
    assert all(re.fullmatch(r"[0-9a-f]{8}", t) for t in minted)


def test_same_seed_same_tokens_and_keyed_calls_do_not_draw():
    a, b = DecisionRegistry(seed=42), DecisionRegistry(seed=42)
    seq_a = [a.register_minted("r")[0] for _ in range(3)]
    b.register_keyed("k")
    seq_b = [b.register_minted()[0] for _ in range(3)]
    assert seq_a == seq_b == splitmix_tokens(42, 3)


def test_collision_redraws():
    first, second, third = splitmix_tokens(7, 3)
    r = DecisionRegistry(seed=7)
    r.register_keyed(first)
    r.register_keyed(third)
    # `first` and then `third` are taken; the draws in between are consumed.
    assert r.register_minted() == (second, 2)
    assert r.register_minted() == (splitmix_tokens(7, 4)[3], 3)


def test_unseeded_registry_uses_os_urandom(monkeypatch):
    calls = []

    def fake(n):
        calls.append(n)
        return bytes([1, 0, 0, 0, 0, 0, 0, 0])

    monkeypatch.setattr(os, "urandom", fake)
    r = DecisionRegistry()
    assert calls == [8]
    # the eight bytes are read little-endian
    assert r.register_minted()[0] == splitmix_tokens(1, 1)[0]


@pytest.mark.parametrize("result, error", [(RuntimeError("no entropy"), RuntimeError), (b"short", TypeError),
                                           ("8 chars!", TypeError)])
def test_urandom_failure_propagates(monkeypatch, result, error):
    def fake(n):
        if isinstance(result, Exception):
            raise result
        return result

    monkeypatch.setattr(os, "urandom", fake)
    with pytest.raises(error):
        DecisionRegistry()


# --- registration and tickets ---------------------------------------------------

def test_minted_and_keyed_share_the_ticket_counter():
    r = DecisionRegistry(seed=3)
    assert r.register_keyed("a") == ("a", 0)
    token, ticket = r.register_minted("room")
    assert ticket == 1
    assert r.register_keyed("b") == ("b", 2)
    assert r.register_minted(room_id=None)[1] == 3
    assert isinstance(token, str)


def test_keyed_reregistration_makes_old_ticket_stale_and_keeps_place():
    r = DecisionRegistry(seed=0)
    assert r.register_keyed("k") == ("k", 0)
    minted, _ = r.register_minted()
    assert r.register_keyed("k") == ("k", 2)
    assert r.unclaimed() == ["k", minted]
    assert r.try_claim("k", 0) is ClaimOutcome.Stale
    assert r.try_claim("k", 2) is ClaimOutcome.Claimed
    assert r.register_keyed("k") is None
    # no ticket was used by the refused registration
    assert r.register_keyed("z") == ("z", 3)


def test_keyed_over_minted_token_drops_room():
    r = DecisionRegistry(seed=0)
    token, _ = r.register_minted("r1")
    assert r.register_keyed(token) == (token, 1)
    assert r.unclaimed_in_room("r1") == []
    assert r.cancel_room("r1").unclaimed == []
    assert r.unclaimed() == [token]


# --- the claim / withdraw / forget table ---------------------------------------

def _entry(state):
    r = DecisionRegistry(seed=11)
    token, ticket = r.register_minted("r")
    if state == "claimed":
        assert r.try_claim(token, ticket) is ClaimOutcome.Claimed
    return r, token, ticket


CASES = ["absent", "wrong_ticket", "claimed", "unclaimed"]


def _call_target(state, token, ticket):
    if state == "absent":
        return "nope", ticket
    if state == "wrong_ticket":
        return token, ticket + 1
    return token, ticket


@pytest.mark.parametrize(
    "call, state, result, removed",
    [
        ("try_claim", "absent", ClaimOutcome.Stale, False),
        ("try_claim", "wrong_ticket", ClaimOutcome.Stale, False),
        ("try_claim", "claimed", ClaimOutcome.AlreadyClaimed, False),
        ("try_claim", "unclaimed", ClaimOutcome.Claimed, False),
        ("withdraw", "absent", False, False),
        ("withdraw", "wrong_ticket", False, False),
        ("withdraw", "claimed", False, False),
        ("withdraw", "unclaimed", True, True),
        ("forget", "absent", False, False),
        ("forget", "wrong_ticket", False, False),
        ("forget", "claimed", True, True),
        ("forget", "unclaimed", True, True),
    ],
)
def test_claim_table(call, state, result, removed):
    r, token, ticket = _entry("claimed" if state == "claimed" else "unclaimed")
    got = getattr(r, call)(*_call_target(state, token, ticket))
    assert got is result
    present = r.cancel_all()
    assert (token not in present.unclaimed + present.claimed) == removed


def test_claim_then_forget_then_stale():
    r = DecisionRegistry(seed=1)
    t, k = r.register_minted()
    assert [r.try_claim(t, k), r.try_claim(t, k)] == [ClaimOutcome.Claimed, ClaimOutcome.AlreadyClaimed]
    assert r.withdraw(t, k) is False
    assert r.forget(t, k) is True
    assert r.try_claim(t, k) is ClaimOutcome.Stale
    assert r.forget(t, k) is False


@pytest.mark.parametrize(
    "call, args, error",
    [("try_claim", ("t", -1), OverflowError), ("try_claim", ("t", 2**64), OverflowError),
     ("try_claim", (1, 0), TypeError), ("withdraw", ("t", "0"), TypeError), ("forget", ("t",), TypeError),
     ("register_keyed", (None,), TypeError), ("register_minted", (5,), TypeError),
     ("unclaimed_in_room", (None,), TypeError), ("cancel_room", (b"r",), TypeError),
     ("unclaimed", (1,), TypeError)],
)
def test_bad_arguments_change_nothing(call, args, error):
    r = DecisionRegistry(seed=5)
    t, k = r.register_minted("r")
    with pytest.raises(error):
        getattr(r, call)(*args)
    assert r.unclaimed() == [t]
    # neither the ticket counter nor the generator moved
    assert r.register_minted() == (splitmix_tokens(5, 2)[1], 1)


def test_reentrant_ticket_conversion_is_refused():
    r = DecisionRegistry(seed=5)
    t, k = r.register_minted()
    seen = []

    class Ticket:
        def __index__(self):
            for call in (r.unclaimed, lambda: r.register_keyed("x")):
                with pytest.raises(RuntimeError) as info:
                    call()
                seen.append(str(info.value))
            return k

    assert r.try_claim(t, Ticket()) is ClaimOutcome.Claimed
    assert seen == ["Already mutably borrowed", "Already borrowed"]


# --- queries, eviction, cancellation ------------------------------------------------

def _mixed():
    """Six asks in order a(r1) b(r2) k1(keyed) c(r1, claimed) d(r1) k2(keyed, claimed)."""
    r = DecisionRegistry(max_pending=3, seed=9)
    tokens = {}
    tickets = {}
    for name, room in [("a", "r1"), ("b", "r2"), ("k1", None), ("c", "r1"), ("d", "r1"), ("k2", None)]:
        if name.startswith("k"):
            tokens[name], tickets[name] = r.register_keyed(name)
        else:
            tokens[name], tickets[name] = r.register_minted(room)
    for name in ("c", "k2"):
        assert r.try_claim(tokens[name], tickets[name]) is ClaimOutcome.Claimed
    return r, tokens, tickets


def test_queries_oldest_first():
    r, t, _ = _mixed()
    assert r.unclaimed() == [t["a"], t["b"], "k1", t["d"]]
    assert r.unclaimed_in_room("r1") == [t["a"], t["d"]]
    assert r.unclaimed_in_room("R1") == []
    assert r.unclaimed_count() == 4
    assert r.oldest_unclaimed() == t["a"]
    r.withdraw(t["a"], 0)
    assert r.oldest_unclaimed() == t["b"]


def test_evict_oldest_skips_claimed_and_stops_below_bound():
    r, t, tk = _mixed()
    r.try_claim(t["a"], tk["a"])
    # six entries >= 3: the oldest unclaimed goes each time, claimed ones stay
    assert r.evict_oldest() == t["b"]
    assert r.evict_oldest() == "k1"
    assert r.evict_oldest() == t["d"]
    # three claimed entries left: still at the bound, but nothing unclaimed
    assert r.evict_oldest() is None
    c = r.cancel_all()
    assert c.claimed == [t["a"], t["c"], "k2"] and c.unclaimed == []


def test_evict_oldest_bound_and_unbounded():
    r = DecisionRegistry(max_pending=2, seed=4)
    tokens = [r.register_minted()[0] for _ in range(3)]
    assert r.evict_oldest() == tokens[0]
    assert r.evict_oldest() == tokens[1]
    assert r.evict_oldest() is None  # one entry, below the bound
    assert r.unclaimed() == [tokens[2]]
    unbounded = DecisionRegistry(seed=4)
    unbounded.register_minted()
    assert unbounded.evict_oldest() is None


def test_cancel_room_and_cancel_all():
    r, t, tk = _mixed()
    c = r.cancel_room("r1")
    assert isinstance(c, CancelledDecisions)
    assert (c.unclaimed, c.claimed) == ([t["a"], t["d"]], [t["c"]])
    assert r.unclaimed() == [t["b"], "k1"]
    empty = r.cancel_room("r1")
    assert (empty.unclaimed, empty.claimed) == ([], [])
    c = r.cancel_all()
    assert (c.unclaimed, c.claimed) == ([t["b"], "k1"], ["k2"])
    assert r.unclaimed_count() == 0 and r.oldest_unclaimed() is None
    # tickets keep counting after cancellation
    assert r.register_keyed("k1") == ("k1", 6)


def test_cancelled_decisions_is_a_fresh_read_only_record():
    r, _, _ = _mixed()
    c = r.cancel_all()
    first = c.unclaimed
    first.clear()
    assert len(c.unclaimed) == 4
    with pytest.raises(AttributeError):
        c.claimed = []
    with pytest.raises(TypeError):
        CancelledDecisions()


# --- is_authorized_sender ----------------------------------------------------------

class SetSub(set):
    pass


class FrozenSub(frozenset):
    pass


class SneakyStr(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class ScriptedSet(set):
    """A set whose iteration yields the given items in order, then raises `error` if given."""

    def __init__(self, items, error=None):
        super().__init__()
        self.items, self.error = items, error

    def __iter__(self):
        yield from self.items
        if self.error:
            raise self.error


@pytest.mark.parametrize(
    "senders, sender, expected",
    [
        (None, None, True), (None, "anyone", True),
        (set(), "u", False), (frozenset(), None, False),
        ({"u", "v"}, "u", True), ({"u"}, "U", False), ({"u"}, "u ", False), ({"u"}, None, False),
        (frozenset({"u"}), "u", True), (SetSub({"u"}), "u", True), (FrozenSub({"u"}), "v", False),
        ({""}, "", True), ({SneakyStr("x")}, "y", False), ({"é"}, "é", True),
        ({"x"}, SneakyStr("y"), False), ({"y"}, SneakyStr("y"), True),
        (ScriptedSet(["a", "u", "b"]), "u", True), (ScriptedSet(["a", "b"]), "u", False),
    ],
)
def test_is_authorized_sender(senders, sender, expected):
    assert is_authorized_sender(senders, sender) is expected


@pytest.mark.parametrize(
    "senders, sender",
    [(["u"], "u"), (("u",), "u"), ({"u": 1}, "u"), ("u", "u"), ({"u"}.union(), 1), ({"u"}.__iter__(), "u"),
     ({}.keys(), "u"), ({"u", 1}, "u"), (frozenset({b"u"}), "u"), (None, 5)],
)
def test_is_authorized_sender_type_errors(senders, sender):
    with pytest.raises(TypeError):
        is_authorized_sender(senders, sender)


@pytest.mark.parametrize(
    "senders, sender, error, message",
    [
        # a bad element is refused even after a match
        (ScriptedSet(["u", 5]), "u", TypeError,
         "is_authorized_sender() argument 'authorized_senders' must contain only str, not int"),
        # every element is checked before the sender
        (ScriptedSet([b"u"]), 5, TypeError,
         "is_authorized_sender() argument 'authorized_senders' must contain only str, not bytes"),
        (ScriptedSet(["u"]), 5, TypeError, "is_authorized_sender() argument 'sender_id' must be str or None, not int"),
        # an error raised while iterating propagates, even after a match
        (ScriptedSet(["u"], KeyError("gone")), "u", KeyError, "'gone'"),
    ],
)
def test_is_authorized_sender_checks_every_element_first(senders, sender, error, message):
    with pytest.raises(error) as info:
        is_authorized_sender(senders, sender)
    assert str(info.value) == message



@pytest.mark.parametrize("length", [0, 1, 7, 8, 15, 16, 22, 23, 24, 25, 31, 32, 200])
@pytest.mark.parametrize("unit", ["k", "é", "\U0001f600"])
def test_keys_of_every_length_come_back_exactly(length, unit):
    # Short keys are held inside the registry's entries and long ones apart; either way each
    # key is returned, claimed and removed as exactly the text it was registered under.
    key = (unit * length).encode()[:length].decode(errors="ignore") or unit
    near = key[:-1] + ("x" if key[-1] != "x" else "y")
    r = DecisionRegistry(seed=5)
    assert r.register_keyed(key) == (key, 0)
    assert r.register_keyed(near) == (near, 1)
    assert r.unclaimed() == [key, near] and r.oldest_unclaimed() == key
    assert r.try_claim(near, 0) is ClaimOutcome.Stale
    assert r.try_claim(key, 0) is ClaimOutcome.Claimed
    assert r.cancel_all().claimed == [key]

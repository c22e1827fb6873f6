import itertools

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from orvu_sdk_core import ClaimRegistry, ParkedReason, RetryTracker

from native import build_core_check

DIFFERENT = ("error", "invalid_value", "the message already has a different pending terminal intent")
FACTS = ("self_echo", "durably_processed", "durably_failed", "allow_failed_retry")
UNKNOWN = ("unknown field `{}`, expected one of `self_echo`, `durably_processed`, `durably_failed`, "
           "`allow_failed_retry`")
FINISHED = {"kind": "finished"}


def settlement(token, status="processed", error=None, parked=None, continuation=FINISHED):
    d = {"token": token, "status": status}
    if error is not None:
        d["error"] = error
    return {**d, "parked": parked, "continuation": continuation}


# --- construction -------------------------------------------------------------

@pytest.mark.parametrize("args, bound", [((), 500), ((1,), 1), ((4294967295,), 4294967295), ((True,), 1)])
def test_constructor_bounds(args, bound):
    assert ClaimRegistry(*args).max_completed == bound


@pytest.mark.parametrize("value", [0, -1, 4294967296])
def test_constructor_range_message(value):
    with pytest.raises(ValueError) as info:
        ClaimRegistry(max_completed=value)
    assert str(info.value) == f"`max_completed` must be an integer between 1 and 4294967295, got {value}"


@pytest.mark.parametrize("value, error", [("5", TypeError), (5.0, TypeError), (None, TypeError),
                                          (2**64, OverflowError)])
def test_constructor_conversion_errors(value, error):
    with pytest.raises(error):
        ClaimRegistry(value)


def test_max_completed_is_read_only():
    with pytest.raises(AttributeError):
        ClaimRegistry().max_completed = 3


# --- in flight and completed ------------------------------------------------------

def test_in_flight_set_per_pair():
    reg = ClaimRegistry()
    assert [reg.try_claim("R1", "m"), reg.try_claim("R1", "m"), reg.try_claim("R2", "m")] == [True, False, True]
    assert reg.inflight_ids("R1") == ["m"] and reg.inflight_ids("R2") == ["m"] and reg.inflight_ids("R3") == []
    assert reg.release("R1", "m") is None and reg.release("R1", "nope") is None
    assert reg.inflight_ids("R1") == [] and reg.try_claim("R1", "m")
    # try_claim ignores completion and pending writes.
    reg.remember_completed("R3", "x")
    reg.remember_ack_pending("R3", "y")
    assert reg.try_claim("R3", "x") and reg.try_claim("R3", "y")


@pytest.mark.parametrize(
    "bound, ops, expected, gone",
    [
        (2, ["+a", "+b", "+c"], ["b", "c"], ["a"]),
        (2, ["+a", "+b", "?a", "+c"], ["a", "c"], ["b"]),
        (2, ["+a", "+b", "+a"], ["b", "a"], []),
        (3, ["+a", "+b", "+c", "?a", "?b", "+d"], ["a", "b", "d"], ["c"]),
        (2, ["+a", "+b", "?x", "+c"], ["b", "c"], ["a"]),
        (1, ["+a", "+b", "+b"], ["b"], ["a"]),
    ],
)
def test_completed_eviction_order(bound, ops, expected, gone):
    reg = ClaimRegistry(bound)
    for op in ops:
        (reg.remember_completed if op[0] == "+" else reg.is_completed)("R", op[1:])
    assert reg.completed_ids("R") == expected
    assert [reg.is_completed("R", m) for m in gone] == [False] * len(gone)


# Ids of every length around the machine word sizes and the 23 bytes of UTF-8
# that a stored id keeps in place, beyond which it takes a block of its own.
ID_TEXTS = ["", "a", "abc", "abcd", "abcdefg", "abcdefgh", "x" * 15, "x" * 16, "x" * 22, "x" * 23, "x" * 24,
            "x" * 64, "é" * 11 + "z", "é" * 12, "\U0001F600" * 6]


@pytest.mark.parametrize("text", ID_TEXTS, ids=lambda t: f"{len(t.encode())}-bytes")
def test_ids_of_any_length_are_kept_exactly(text):
    reg, tracker = ClaimRegistry(2), RetryTracker(max_tracked=2)
    # Same length, differing in the first or the last byte only.
    near = ["!" + text[1:], text[:-1] + "!"] if len(text) > 1 else ["!", "?"]
    assert reg.guarded_claim(text, text, tracker) == "runnable" and reg.inflight_ids(text) == [text]
    assert tracker.record_attempt(text) == (1, False) and tracker.record_attempt(near[0]) == (1, False)
    token = reg.record_processed_settlement(text, text)["token"]
    assert reg.pending_ack_ids(text) == [text] and reg.confirm_settlement(text, text, token, tracker)
    assert reg.completed_ids(text) == [text] and tracker.record_attempt(text) == (1, False)
    for other in near:
        assert reg.guarded_claim(text, other, tracker) == "runnable"
        reg.remember_completed(text, other)
    assert reg.completed_ids(text) == near and not reg.is_completed(text, text)
    assert sorted(reg.inflight_ids(text)) == sorted([text, *near]) and reg.completed_ids(text + "!") == []
    tracker.mark_permanently_failed(text)
    assert tracker.is_permanently_failed(text) and not tracker.is_permanently_failed(near[1])


def test_completed_sets_are_per_room():
    reg = ClaimRegistry(1)
    reg.remember_completed("R1", "x")
    reg.remember_completed("R2", "y")
    reg.try_claim("R1", "x")
    assert reg.completed_ids("R1") == ["x"] and reg.completed_ids("R2") == ["y"]
    assert not reg.is_completed("R2", "x") and not reg.is_completed("r1", "x")
    reg.discard_completed("R1")
    reg.discard_completed("R9")
    assert reg.completed_ids("R1") == [] and not reg.is_completed("R1", "x") and reg.completed_ids("R2") == ["y"]
    assert reg.inflight_ids("R1") == ["x"]


def test_remember_completed_forgets_pending_write_and_retry_count_only():
    reg = ClaimRegistry()
    reg.try_claim("R", "m")
    reg.remember_failed_ack_pending("R", "m", "E")
    assert [reg.record_ack_retry("R", "m") for _ in range(3)] == [1, 2, 3]
    reg.remember_completed("R", "m")
    assert not reg.is_ack_pending("R", "m") and reg.record_ack_retry("R", "m") == 1
    assert reg.inflight_ids("R") == ["m"]
    # Leaving the completed set does not bring the write back.
    reg.discard_completed("R")
    assert reg.pending_ack("R", "m") is None


# --- pending writes ------------------------------------------------------------------

@pytest.mark.parametrize(
    "first, second, shown",
    [
        (("ok",), ("ok",), {"status": "processed", "parked": None}),
        (("fail", "E"), ("fail", "E"), {"status": "failed", "error": "E", "parked": None}),
        (("fail", "E"), ("ok",), {"status": "failed", "error": "E", "parked": None}),
        (("fail", "E"), ("fail", "F"), DIFFERENT),
        (("fail", "E"), ("fail", "e"), DIFFERENT),
        (("ok",), ("fail", "E"), DIFFERENT),
        (("fail", ""), ("fail", ""), {"status": "failed", "error": "", "parked": None}),
    ],
)
def test_intents_and_their_equality(first, second, shown):
    reg = ClaimRegistry()

    def remember(intent):
        if intent[0] == "ok":
            return reg.remember_ack_pending("R", "m")
        return reg.remember_failed_ack_pending("R", "m", intent[1], "trace-1")

    remember(first)
    reg.park_ack("R", "m", ParkedReason.NotFound)
    before = reg.pending_settlement("R", "m")
    if shown == DIFFERENT:
        with pytest.raises(ValueError) as info:
            remember(second)
        assert info.value.issues == (DIFFERENT,) and info.value.trace_context == "trace-1"
        assert str(info.value) == f"1 validation issue(s): {DIFFERENT[2]} (error)"
    else:
        assert remember(second) is None
        assert reg.pending_ack("R", "m") == {**shown, "parked": "not_found"}
    assert reg.pending_settlement("R", "m") == before


def test_parking_and_creation_order():
    reg = ClaimRegistry()
    for room, m in [("R", "a"), ("S", "s"), ("R", "b"), ("R", "c")]:
        reg.remember_ack_pending(room, m)
    assert reg.park_ack("R", "a", ParkedReason.Rejected) and reg.park_ack("R", "c", ParkedReason.NotFound)
    assert reg.park_ack("S", "s", ParkedReason.Rejected) and not reg.park_ack("R", "zz", ParkedReason.Rejected)
    assert reg.pending_ack("R", "a")["parked"] == "rejected" and reg.pending_ack("R", "zz") is None
    assert reg.unpark_acks("R") == 2 and reg.unpark_acks("R") == 0 and reg.unpark_acks("none") == 0
    assert reg.pending_ack("S", "s")["parked"] == "rejected" and reg.pending_ack("R", "c")["parked"] is None
    assert reg.pending_ack_ids("R") == ["a", "b", "c"] and reg.pending_ack_ids("S") == ["s"]
    with pytest.raises(TypeError, match="reason"):
        reg.park_ack("R", "a", "rejected")


@pytest.mark.parametrize("earlier", ["claimed", "retry counted", "written and retried"])
def test_pending_writes_keep_creation_order_whatever_the_messages_held_before(earlier):
    # "c" and "a" held something of their own before any write was owed;
    # the writes are listed in the order they were created all the same.
    reg, tracker = ClaimRegistry(), RetryTracker(5)
    for m in ("c", "a"):
        if earlier == "claimed":
            reg.try_claim("R", m)
        elif earlier == "retry counted":
            reg.record_ack_retry("R", m)
        else:
            token = reg.record_failed_settlement("R", m, "E", tracker, True)["token"]
            assert reg.confirm_settlement("R", m, token, tracker) and not reg.is_ack_pending("R", m)
    for m in ("a", "b", "c"):
        reg.record_processed_settlement("R", m)
    assert reg.pending_ack_ids("R") == ["a", "b", "c"]
    reg.park_ack("R", "a", ParkedReason.Rejected)
    assert reg.has_retryable_settlement("R") and reg.unpark_acks("R") == 1
    assert sorted(reg.inflight_ids("R")) == (["a", "c"] if earlier == "claimed" else [])


def test_tokens_rise_across_rooms_and_intents_and_are_never_reused():
    reg, tracker = ClaimRegistry(), RetryTracker()
    reg.remember_ack_pending("R1", "a")
    reg.remember_failed_ack_pending("R2", "a", "E")
    assert reg.record_processed_settlement("R1", "b")["token"] == "2"
    assert reg.record_failed_settlement("R2", "c", "E", tracker, False)["token"] == "3"
    # Finding an existing entry mints nothing.
    reg.remember_ack_pending("R2", "a")
    assert reg.record_processed_settlement("R1", "a")["token"] == "0"
    assert reg.pending_settlement("R2", "a")["token"] == "1"
    assert reg.confirm_settlement("R1", "a", "0", tracker)
    assert reg.record_processed_settlement("R1", "a")["token"] == "4"


# 18446744073709551623 is 2**64 + 7: a reading that wraps at 64 bits would take it for 7.
@pytest.mark.parametrize("token", ["007", "07", " 7", "7 ", "+7", "-7", "7.0", "0x7", "", "6", "8", "٧",
                                   "18446744073709551623", "7" * 21])
def test_tokens_compare_as_exact_decimal_text(token):
    reg, tracker = ClaimRegistry(), RetryTracker()
    for i in range(8):
        reg.remember_ack_pending("R", str(i))
    assert reg.pending_settlement("R", "7")["token"] == "7"
    assert not reg.confirm_settlement("R", "7", token, tracker)
    assert not reg.park_settlement("R", "7", token, ParkedReason.Rejected)
    assert reg.pending_settlement("R", "7") == settlement("7")
    assert reg.park_settlement("R", "7", "7", ParkedReason.Rejected)
    assert reg.confirm_settlement("R", "7", "7", tracker) and reg.is_completed("R", "7")


# --- eligibility -------------------------------------------------------------------------

def expected_word(state, facts):
    if facts["self_echo"]:
        return "self"
    if state["pending"]:
        return "pending"
    if facts["durably_processed"] or state["completed"]:
        return "completed"
    if state["exhausted"]:
        return "exhausted"
    if facts["durably_failed"] and not facts["allow_failed_retry"]:
        return "failed"
    return "inflight" if state["inflight"] else "runnable"


def prepared(state):
    reg, tracker = ClaimRegistry(), RetryTracker()
    if state["completed"]:
        reg.remember_completed("R", "m")
    if state["pending"]:
        reg.remember_ack_pending("R", "m")
    if state["exhausted"]:
        tracker.mark_permanently_failed("m")
    if state["inflight"]:
        reg.try_claim("R", "m")
    return reg, tracker


STATES = [dict(zip(("pending", "completed", "exhausted", "inflight"), flags))
          for flags in itertools.product([False, True], repeat=4)]


@pytest.mark.parametrize("state", STATES, ids=lambda s: "-".join(k for k, v in s.items() if v) or "fresh")
def test_eligibility_precedence_for_every_fact_combination(state):
    for values in itertools.product([False, True], repeat=4):
        facts = dict(zip(FACTS, values))
        word = expected_word(state, facts)
        reg, tracker = prepared(state)
        assert reg.delivery_eligibility("R", "m", tracker, **facts) == word
        assert reg.inflight_ids("R") == (["m"] if state["inflight"] else [])
        assert reg.guarded_claim("R", "m", tracker, **facts) == word
        assert reg.inflight_ids("R") == (["m"] if state["inflight"] or word == "runnable" else [])
        # The other room and message ids are unaffected by this pair's state.
        assert reg.delivery_eligibility("S", "m", RetryTracker(), **facts) == expected_word(
            dict(STATES[0]), facts)


def test_default_facts_and_claim_sequence():
    reg, tracker = ClaimRegistry(), RetryTracker()
    assert reg.delivery_eligibility("R", "m", tracker) == "runnable" and reg.inflight_ids("R") == []
    assert reg.guarded_claim("R", "m", tracker) == "runnable"
    assert reg.guarded_claim("R", "m", tracker) == "inflight" and not reg.try_claim("R", "m")
    assert reg.delivery_eligibility("R", "m", tracker, durably_failed=True) == "inflight"


@pytest.mark.parametrize(
    "facts, touches",
    [({"durably_processed": True}, True), ({}, True), ({"self_echo": True}, False)],
)
def test_eligibility_lookup_touches_the_completed_id(facts, touches):
    reg, tracker = ClaimRegistry(2), RetryTracker()
    reg.remember_completed("R", "a")
    reg.remember_completed("R", "b")
    reg.delivery_eligibility("R", "a", tracker, **facts)
    reg.remember_completed("R", "c")
    assert reg.completed_ids("R") == (["a", "c"] if touches else ["b", "c"])


@pytest.mark.parametrize(
    "facts, message",
    [
        ({"self_echo": 1}, "delivery facts must be bool values"),
        ({"allow_failed_retry": None}, "delivery facts must be bool values"),
        ({"bogus": 1}, "delivery facts must be bool values"),
        ({"bogus": True, "self_echo": 0}, "delivery facts must be bool values"),
        ({"bogus": True}, UNKNOWN.format("bogus")),
        ({"self_echo": True, "Durably_failed": False}, UNKNOWN.format("Durably_failed")),
    ],
)
@pytest.mark.parametrize("method", ["delivery_eligibility", "guarded_claim"])
def test_fact_errors(method, facts, message):
    reg, tracker = ClaimRegistry(), RetryTracker()
    with pytest.raises(TypeError) as info:
        getattr(reg, method)("R", "m", tracker, **facts)
    assert str(info.value) == message
    assert reg.inflight_ids("R") == []


@pytest.mark.parametrize("method", ["delivery_eligibility", "guarded_claim"])
def test_facts_are_keyword_only_and_tracker_is_checked(method):
    reg = ClaimRegistry()
    with pytest.raises(TypeError):
        getattr(reg, method)("R", "m", RetryTracker(), True)
    with pytest.raises(TypeError, match="retry_tracker"):
        getattr(reg, method)("R", "m", ClaimRegistry())
    assert reg.inflight_ids("R") == []


# --- settlement --------------------------------------------------------------------------

@pytest.mark.parametrize(
    "max_retries, attempts, allow_retry, continuation",
    [
        (3, 1, True, {"kind": "retry", "attempts": 1, "max_retries": 3}),
        (3, 1, False, FINISHED),
        (1, 1, True, FINISHED),
        (1, 0, True, {"kind": "retry", "attempts": 0, "max_retries": 1}),
        (0, 0, True, FINISHED),
        (3, 3, True, FINISHED),
    ],
)
def test_failed_settlement_continuation(max_retries, attempts, allow_retry, continuation):
    reg, tracker = ClaimRegistry(), RetryTracker(max_retries)
    for _ in range(attempts):
        tracker.record_attempt("m")
    got = reg.record_failed_settlement("R", "m", "boom", tracker, allow_retry)
    assert got == settlement("0", "failed", "boom", continuation=continuation)
    # Recording the same write again returns the stored entry; the new budget is ignored.
    tracker.record_attempt("m")
    assert reg.record_failed_settlement("R", "m", "boom", tracker, not allow_retry) == got
    assert reg.pending_settlement("R", "m") == got


def test_processed_settlement_and_conflicts():
    reg, tracker = ClaimRegistry(), RetryTracker()
    assert reg.record_processed_settlement("R", "m") == settlement("0")
    assert reg.record_processed_settlement("R", "m", "t") == settlement("0")
    assert reg.pending_settlement("R", "x") is None and reg.pending_settlement("R", "x", None) is None
    with pytest.raises(ValueError) as info:
        reg.record_failed_settlement("R", "m", "E", tracker, True, "trace-9")
    assert info.value.issues == (DIFFERENT,) and info.value.trace_context == "trace-9"
    reg.record_failed_settlement("R", "n", "E", tracker, False)
    with pytest.raises(ValueError) as info:
        reg.record_processed_settlement("R", "n")
    assert info.value.issues == (DIFFERENT,) and info.value.trace_context is None


@pytest.mark.parametrize(
    "status, allow_retry, completed, failed_mark, next_attempt",
    [
        ("processed", False, True, False, (1, False)),
        ("failed", False, True, True, (1, False)),
        ("failed", True, False, False, (2, False)),
    ],
)
def test_confirm_settlement(status, allow_retry, completed, failed_mark, next_attempt):
    reg, tracker = ClaimRegistry(), RetryTracker(3)
    assert reg.guarded_claim("R", "m", tracker) == "runnable"
    tracker.record_attempt("m")
    if status == "processed":
        token = reg.record_processed_settlement("R", "m")["token"]
    else:
        token = reg.record_failed_settlement("R", "m", "E", tracker, allow_retry)["token"]
    reg.record_ack_retry("R", "m")
    assert reg.guarded_claim("R", "m", tracker) == "pending"
    assert not reg.confirm_settlement("R", "m", "1", tracker) and reg.is_ack_pending("R", "m")
    assert not reg.confirm_settlement("S", "m", token, tracker)
    assert reg.confirm_settlement("R", "m", token, tracker)
    assert not reg.confirm_settlement("R", "m", token, tracker)
    assert not reg.is_ack_pending("R", "m") and reg.inflight_ids("R") == ["m"]
    assert reg.is_completed("R", "m") == completed and tracker.is_permanently_failed("m") == failed_mark
    assert reg.record_ack_retry("R", "m") == 1
    reg.release("R", "m")
    assert reg.delivery_eligibility("R", "m", tracker) == ("completed" if completed else "runnable")
    assert tracker.record_attempt("m") == next_attempt


@pytest.mark.parametrize(
    "between, tracker_for_confirm, exhausted, next_attempt",
    [
        ([], "same", False, (2, False)),
        (["attempt"], "same", True, (3, True)),  # attempts caught up with the limit meanwhile
        (["success"], "same", False, (2, False)),  # record gone: rebuilt from the continuation
        ([], "stricter", True, (2, True)),  # another tracker's smaller limit wins
    ],
)
def test_retry_confirmation_updates_the_passed_tracker(between, tracker_for_confirm, exhausted, next_attempt):
    reg, tracker = ClaimRegistry(), RetryTracker(2)
    tracker.record_attempt("m")
    token = reg.record_failed_settlement("R", "m", "E", tracker, True)["token"]
    for op in between:
        tracker.record_attempt("m") if op == "attempt" else tracker.mark_success("m")
    confirm_with = tracker if tracker_for_confirm == "same" else RetryTracker(1)
    assert reg.confirm_settlement("R", "m", token, confirm_with)
    assert confirm_with.is_permanently_failed("m") == exhausted
    assert reg.delivery_eligibility("R", "m", confirm_with) == ("exhausted" if exhausted else "runnable")
    assert confirm_with.record_attempt("m") == next_attempt


def test_park_settlement_and_retryable_settlements():
    reg, tracker = ClaimRegistry(), RetryTracker()
    a = reg.record_processed_settlement("R", "a")["token"]
    b = reg.record_failed_settlement("R", "b", "E", tracker, False)["token"]
    assert reg.has_retryable_settlement("R") and not reg.has_retryable_settlement("S")
    assert reg.park_settlement("R", "a", a, ParkedReason.NotFound)
    assert not reg.park_settlement("R", "b", a, ParkedReason.NotFound)
    assert reg.has_retryable_settlement("R")
    assert reg.park_settlement("R", "b", b, ParkedReason.Rejected)
    assert not reg.has_retryable_settlement("R")
    assert reg.pending_settlement("R", "b") == settlement(b, "failed", "E", parked="rejected")
    assert reg.park_settlement("R", "b", b, ParkedReason.NotFound)
    assert reg.pending_ack("R", "b")["parked"] == "not_found"
    assert reg.delivery_eligibility("R", "b", tracker) == "pending"
    assert reg.unpark_acks("R") == 2 and reg.has_retryable_settlement("R")


def test_room_ledgers_stay_right_while_rooms_come_and_go():
    # The registry remembers the room it found last; adding rooms (which moves
    # the ledgers), dropping the remembered one and creating it again must
    # never let a call reach a stale ledger.
    reg, tracker = ClaimRegistry(), RetryTracker()
    assert reg.try_claim("A", "a1")
    for k in range(100):  # grows the room table while "A" is the room found last
        assert reg.try_claim("A", f"a-{k}") and reg.try_claim(f"R{k}", "x")
    assert reg.inflight_ids("A") == ["a1"] + [f"a-{k}" for k in range(100)]
    for k in range(100):
        reg.release("A", f"a-{k}")
    reg.release("A", "a1")  # "A" holds nothing now and is dropped
    assert reg.inflight_ids("A") == [] and not reg.is_completed("A", "a1")
    assert reg.guarded_claim("A", "a1", tracker) == "runnable"  # a new ledger for "A"
    assert reg.inflight_ids("A") == ["a1"]
    reg.release("R7", "x")  # another room dropped while "A" is remembered
    token = reg.record_processed_settlement("A", "a1")["token"]
    assert reg.confirm_settlement("A", "a1", token, tracker)
    assert reg.completed_ids("A") == ["a1"] and reg.inflight_ids("R8") == ["x"] and reg.inflight_ids("R7") == []
    assert not reg.confirm_settlement("R7", "x", "0", tracker)


def test_full_lifecycle_in_two_rooms_sharing_message_ids():
    reg, tracker = ClaimRegistry(), RetryTracker(2)
    assert reg.guarded_claim("R1", "m", tracker) == "runnable"
    assert reg.guarded_claim("R2", "m", tracker) == "runnable"
    assert tracker.record_attempt("m") == (1, False)
    first = reg.record_failed_settlement("R1", "m", "E", tracker, True)
    assert first["continuation"] == {"kind": "retry", "attempts": 1, "max_retries": 2}
    assert reg.guarded_claim("R1", "m", tracker) == "pending"
    assert reg.guarded_claim("R2", "m", tracker) == "inflight"
    assert reg.confirm_settlement("R1", "m", first["token"], tracker)
    reg.release("R1", "m")
    assert reg.guarded_claim("R1", "m", tracker) == "runnable"
    assert tracker.record_attempt("m") == (2, False)
    second = reg.record_failed_settlement("R1", "m", "E", tracker, True)
    assert second["token"] == "1" and second["continuation"] == FINISHED
    assert reg.confirm_settlement("R1", "m", second["token"], tracker)
    reg.release("R1", "m")
    assert reg.guarded_claim("R1", "m", tracker) == "completed"
    # The retry budget is per message id, so the other room's copy is exhausted too.
    assert reg.guarded_claim("R2", "m", tracker) == "exhausted"
    reg.release("R2", "m")
    assert reg.guarded_claim("R2", "m", tracker) == "exhausted"
    assert reg.guarded_claim("R2", "m", tracker, durably_processed=True) == "completed"
    assert reg.completed_ids("R1") == ["m"] and reg.completed_ids("R2") == []


# --- a call that raises changes nothing ---------------------------------------------------

ROOMS, IDS = ("R", "S"), ("a", "b", "c", "d")


def populate(reg, tracker):
    tracker.record_attempt("a")
    tracker.mark_permanently_failed("d")
    reg.try_claim("R", "a")
    reg.record_processed_settlement("R", "a")
    reg.record_failed_settlement("R", "b", "E", tracker, True)
    reg.park_ack("R", "b", ParkedReason.Rejected)
    reg.remember_completed("S", "c")
    reg.record_ack_retry("R", "a")


def observe(reg, tracker):
    """Everything observable, then probes that consume state identically on twins."""
    seen = [(sorted(reg.inflight_ids(r)), reg.completed_ids(r), reg.pending_ack_ids(r),
             reg.has_retryable_settlement(r)) for r in ROOMS]
    seen += [(reg.pending_ack(r, m), reg.pending_settlement(r, m), reg.record_ack_retry(r, m))
             for r in ROOMS for m in IDS]
    seen += [(tracker.is_permanently_failed(m), tracker.record_attempt(m)) for m in IDS]
    seen.append(reg.record_processed_settlement("T", "new")["token"])
    return seen


RAISING = [
    (ValueError, lambda r, t: r.remember_failed_ack_pending("R", "a", "E")),
    (ValueError, lambda r, t: r.remember_failed_ack_pending("R", "b", "F", "tc")),
    (ValueError, lambda r, t: r.record_processed_settlement("R", "b")),
    (ValueError, lambda r, t: r.record_failed_settlement("R", "a", "E", t, True)),
    (ValueError, lambda r, t: r.record_failed_settlement("R", "b", "e", t, False)),
    (TypeError, lambda r, t: r.guarded_claim("S", "x", t, self_echo=0)),
    (TypeError, lambda r, t: r.guarded_claim("S", "x", t, claim=True)),
    (TypeError, lambda r, t: r.guarded_claim("S", "x", "tracker")),
    (TypeError, lambda r, t: r.delivery_eligibility("S", "c", t, durably_processed=1)),
    (TypeError, lambda r, t: r.confirm_settlement("R", "a", 0, t)),
    (TypeError, lambda r, t: r.confirm_settlement("R", "a", "0", None)),
    (TypeError, lambda r, t: r.park_settlement("R", "a", "0", "rejected")),
    (TypeError, lambda r, t: r.park_ack("R", "a", 1)),
    (TypeError, lambda r, t: r.record_failed_settlement("S", "x", "E", t, 1)),
    (TypeError, lambda r, t: r.record_failed_settlement("S", "x", "E", t, True, 5)),
    (TypeError, lambda r, t: r.record_processed_settlement("S", "x", b"tc")),
    (TypeError, lambda r, t: r.remember_failed_ack_pending("S", "x", "E", 5)),
    (TypeError, lambda r, t: r.remember_failed_ack_pending("S", "x", "E", trace_context=b"tc")),
    (TypeError, lambda r, t: r.try_claim("S", 1)),
    (TypeError, lambda r, t: r.remember_completed(b"S", "x")),
    (TypeError, lambda r, t: r.release("S", "x", "extra")),
    (TypeError, lambda r, t: r.is_completed(room_id="S")),
]


@pytest.mark.parametrize("error, call", RAISING)
def test_a_call_that_raises_changes_nothing(error, call):
    reg, tracker, twin, twin_tracker = ClaimRegistry(2), RetryTracker(3), ClaimRegistry(2), RetryTracker(3)
    populate(reg, tracker)
    populate(twin, twin_tracker)
    with pytest.raises(error):
        call(reg, tracker)
    assert observe(reg, tracker) == observe(twin, twin_tracker)


# --- counters at their largest values (native core checks) ---------------------------

@pytest.fixture(scope="module")
def core_check(tmp_path_factory):
    return build_core_check(tmp_path_factory.mktemp("claims_core"))


@pytest.mark.parametrize("case", ["token_counter_exhaustion", "counters_saturate"])
def test_counters_at_their_limits(core_check, case):
    code, output = core_check(case)
    assert code == 0, output


# --- random operation sequences --------------------------------------------------------

ROOMS = ("R", "S", "T")
rooms, ids = st.sampled_from(ROOMS), st.sampled_from(["a", "b", "c", "d"])


class LedgerMachine(RuleBasedStateMachine):
    """Drives a registry and a tracker with random operations next to a small
    model of the pending writes, in-flight pairs and completed sets."""

    BOUND = 2

    def __init__(self):
        super().__init__()
        self.reg, self.tracker = ClaimRegistry(self.BOUND), RetryTracker(2, 3)
        self.inflight, self.completed, self.pending, self.next_token = set(), {}, {}, 0
        self.retries = {}

    def touch(self, room, m):
        ids_ = self.completed.setdefault(room, [])
        if m in ids_:
            ids_.remove(m)
        ids_.append(m)
        del ids_[:-self.BOUND]

    def complete(self, room, m):
        self.touch(room, m)
        self.pending.pop((room, m), None)
        self.retries.pop((room, m), None)

    def store(self, key, status, error, continuation=FINISHED):
        self.pending[key] = {"token": str(self.next_token), "status": status, "error": error, "parked": None,
                             "continuation": continuation}
        self.next_token += 1

    def same_intent(self, key, status, error):
        entry = self.pending[key]
        return entry["status"] == status and (status == "processed" or entry["error"] == error)

    @rule(room=rooms, m=ids)
    def try_claim(self, room, m):
        assert self.reg.try_claim(room, m) == ((room, m) not in self.inflight)
        self.inflight.add((room, m))

    @rule(room=rooms, m=ids)
    def release(self, room, m):
        self.reg.release(room, m)
        self.inflight.discard((room, m))

    @rule(room=rooms, m=ids)
    def remember_completed(self, room, m):
        self.reg.remember_completed(room, m)
        self.complete(room, m)

    @rule(room=rooms, m=ids)
    def is_completed(self, room, m):
        found = m in self.completed.get(room, [])
        assert self.reg.is_completed(room, m) == found
        if found:
            self.touch(room, m)

    @rule(room=rooms)
    def discard_completed(self, room):
        self.reg.discard_completed(room)
        self.completed.pop(room, None)

    @rule(room=rooms, m=ids, failed=st.booleans(), error=st.sampled_from(["x", "y"]))
    def remember_intent(self, room, m, failed, error):
        key = (room, m)
        if not failed:
            self.reg.remember_ack_pending(room, m)
            if key not in self.pending:
                self.store(key, "processed", None)
        elif key in self.pending and not self.same_intent(key, "failed", error):
            with pytest.raises(ValueError):
                self.reg.remember_failed_ack_pending(room, m, error)
        else:
            self.reg.remember_failed_ack_pending(room, m, error)
            if key not in self.pending:
                self.store(key, "failed", error)

    @rule(room=rooms, m=ids, failed=st.booleans(), error=st.sampled_from(["x", "y"]), allow=st.booleans())
    def record_settlement(self, room, m, failed, error, allow):
        key, status = (room, m), "failed" if failed else "processed"
        call = (lambda: self.reg.record_failed_settlement(room, m, error, self.tracker, allow)) if failed else (
            lambda: self.reg.record_processed_settlement(room, m))
        if key in self.pending and not self.same_intent(key, status, error):
            with pytest.raises(ValueError):
                call()
            return
        got = call()
        if key not in self.pending:
            assert got["token"] == str(self.next_token)
            self.store(key, status, error if failed else None, got["continuation"])
        assert got == self.description(key)

    @rule(room=rooms, m=ids, right=st.booleans())
    def confirm(self, room, m, right):
        key = (room, m)
        entry = self.pending.get(key)
        token = entry["token"] if entry and right else "0" + (entry["token"] if entry else "")
        closed = self.reg.confirm_settlement(room, m, token, self.tracker)
        assert closed == bool(entry and right)
        if closed and entry["continuation"] == FINISHED:
            self.complete(room, m)
            assert self.tracker.is_permanently_failed(m) or entry["status"] == "processed"
        elif closed:
            del self.pending[key]
            self.retries.pop(key, None)

    @rule(room=rooms, m=ids)
    def record_ack_retry(self, room, m):
        # The count lives as long as the pair's write is owed, whatever else the room loses meanwhile.
        key = (room, m)
        self.retries[key] = self.retries.get(key, 0) + 1
        assert self.reg.record_ack_retry(room, m) == self.retries[key]

    @rule(room=rooms, m=ids, by_token=st.booleans(), reason=st.sampled_from([ParkedReason.NotFound,
                                                                               ParkedReason.Rejected]))
    def park(self, room, m, by_token, reason):
        entry = self.pending.get((room, m))
        parked = (self.reg.park_settlement(room, m, entry["token"] if entry else "0", reason) if by_token
                  else self.reg.park_ack(room, m, reason))
        assert parked == bool(entry)
        if entry:
            entry["parked"] = str(reason)

    @rule(room=rooms)
    def unpark(self, room):
        parked = [e for (r, _), e in self.pending.items() if r == room and e["parked"]]
        assert self.reg.unpark_acks(room) == len(parked)
        for e in parked:
            e["parked"] = None

    @rule(m=ids)
    def attempt(self, m):
        self.tracker.record_attempt(m)

    @rule(room=rooms, m=ids, facts=st.fixed_dictionaries({f: st.booleans() for f in FACTS}))
    def guarded_claim(self, room, m, facts):
        key = (room, m)
        was_completed = m in self.completed.get(room, [])
        word = self.reg.guarded_claim(room, m, self.tracker, **facts)
        if not facts["self_echo"] and key not in self.pending and was_completed:
            self.touch(room, m)
        if word == "runnable":
            assert key not in self.inflight
            self.inflight.add(key)
        elif word == "inflight":
            assert key in self.inflight
        elif word == "exhausted":
            assert self.tracker.is_permanently_failed(m)
        elif word == "completed":
            assert was_completed or facts["durably_processed"]
        elif word == "pending":
            assert key in self.pending

    def description(self, key):
        entry = self.pending[key]
        return settlement(entry["token"], entry["status"], entry["error"], entry["parked"], entry["continuation"])

    @invariant()
    def matches_model(self):
        for room in ROOMS:
            assert sorted(self.reg.inflight_ids(room)) == sorted(m for r, m in self.inflight if r == room)
            assert self.reg.completed_ids(room) == self.completed.get(room, [])
            assert len(self.reg.completed_ids(room)) <= self.BOUND
            assert self.reg.pending_ack_ids(room) == [m for r, m in self.pending if r == room]
            assert self.reg.has_retryable_settlement(room) == any(
                r == room and not e["parked"] for (r, _), e in self.pending.items())
        for key in self.pending:
            # A pair that owes a write is never handed out again.
            assert self.reg.delivery_eligibility(*key, self.tracker, durably_processed=True) == "pending"
            assert self.reg.pending_settlement(*key) == self.description(key)
        tokens = [int(e["token"]) for e in self.pending.values()]
        assert tokens == sorted(tokens) and len(set(tokens)) == len(tokens)


TestLedgerMachine = LedgerMachine.TestCase
TestLedgerMachine.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)

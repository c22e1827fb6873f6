"""Bounded memory: floods of distinct ids keep the bounded stores within their
bounds, counted through what the public API shows."""

import pytest

import orvu_sdk_core as core

import surface

FLOOD = 20_000


def attempts_on_record(tracker, message_id):
    # A claim registry's budget lookup reads the tracker's record without
    # changing it: a message without a record shows 0 attempts.
    settlement = core.ClaimRegistry().record_failed_settlement("r", message_id, "e", tracker, True)
    return settlement["continuation"].get("attempts", 0)


def records(tracker, ids):
    return [m for m in ids if attempts_on_record(tracker, m) > 0]


def permanently_failed(tracker, ids):
    return [m for m in ids if tracker.is_permanently_failed(m)]


@pytest.mark.parametrize("bound", [1, 7, 500])
def test_completed_sets_stay_within_max_completed(bound):
    reg = core.ClaimRegistry(bound)
    rooms = ["r1", "r2", "r3"]
    newest = {}
    for i in range(FLOOD):
        room = rooms[i % 3]
        reg.remember_completed(room, f"m{i}")
        newest[room] = f"m{i}"
        if i % 11 == 0:
            reg.is_completed(room, f"m{i // 2}")  # touches reorder, never grow
    for room in rooms:
        ids = reg.completed_ids(room)
        assert len(ids) == bound
        assert len(set(ids)) == bound
        assert newest[room] in ids


def test_completed_sets_bounded_through_settlement():
    reg, tracker = core.ClaimRegistry(5), core.RetryTracker(0, 10)
    for i in range(2_000):
        m = f"m{i}"
        assert reg.guarded_claim("r", m, tracker) == "runnable"
        if i % 2:
            s = reg.record_processed_settlement("r", m)
        else:
            s = reg.record_failed_settlement("r", m, "e", tracker, False)
        assert reg.confirm_settlement("r", m, s["token"], tracker) is True
        reg.release("r", m)
    assert len(reg.completed_ids("r")) == 5
    assert reg.pending_ack_ids("r") == []
    assert reg.inflight_ids("r") == []
    assert len(permanently_failed(tracker, [f"m{i}" for i in range(2_000)])) == 10


@pytest.mark.parametrize("max_tracked", [1, 3, 250])
def test_retry_records_stay_within_max_tracked(max_tracked):
    tracker = core.RetryTracker(1_000, max_tracked)
    ids = [f"m{i}" for i in range(max_tracked * 8 + 5)]
    for m in ids:
        tracker.record_attempt(m)
        tracker.record_attempt(m)  # updates in place: no second record
    kept = records(tracker, ids)
    assert len(kept) == max_tracked
    assert kept == ids[-max_tracked:]
    assert permanently_failed(tracker, ids) == []


@pytest.mark.parametrize("max_tracked", [1, 4, 300])
def test_permanently_failed_set_stays_within_max_tracked(max_tracked):
    tracker = core.RetryTracker(0, max_tracked)
    ids = [f"m{i}" for i in range(max_tracked * 6 + 3)]
    for i, m in enumerate(ids):
        if i % 2:
            tracker.mark_permanently_failed(m)
        else:
            assert tracker.record_attempt(m) == (1, True)  # exhausted at once: marked too
    assert permanently_failed(tracker, ids) == ids[-max_tracked:]
    assert len(records(tracker, ids)) <= max_tracked


def test_retry_confirmation_flood_stays_within_max_tracked():
    reg, tracker = core.ClaimRegistry(), core.RetryTracker(3, 20)
    ids = [f"m{i}" for i in range(600)]
    for m in ids:
        tracker.record_attempt(m)
        s = reg.record_failed_settlement("r", m, "e", tracker, True)
        assert s["continuation"]["kind"] == "retry"
        assert reg.confirm_settlement("r", m, s["token"], tracker) is True
    assert len(records(tracker, ids)) == 20
    assert reg.pending_ack_ids("r") == []


def test_large_bounds_hold_under_a_large_flood():
    tracker = core.RetryTracker(0, 10_000)
    for i in range(FLOOD * 2):
        tracker.record_attempt(f"id-{i}")
    newest = [f"id-{i}" for i in range(FLOOD * 2 - 10_000, FLOOD * 2)]
    oldest = [f"id-{i}" for i in range(FLOOD * 2 - 10_000)]
    assert all(tracker.is_permanently_failed(m) for m in newest)
    assert not any(tracker.is_permanently_failed(m) for m in oldest)


def test_decision_registry_stays_within_max_pending_when_the_host_evicts():
    reg = core.DecisionRegistry(max_pending=16, seed=3)
    evicted = 0
    for i in range(FLOOD // 4):
        assert reg.register_minted(f"r{i % 5}") is not None
        while reg.evict_oldest() is not None:
            evicted += 1
        assert reg.unclaimed_count() <= 16
    assert reg.unclaimed_count() == 15
    assert evicted == FLOOD // 4 - 15

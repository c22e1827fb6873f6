import pytest

from orvu_sdk_core import RoomMembership, RoomReconciliation, RoomRoster, SubscriptionTracker

NEW = object()
STATES = ["unadmitted", "admitting", "admitted"]


def enter(roster, room, state):
    """Puts `room` into `state`; returns its admission ticket (None when it has none)."""
    if state == "unadmitted":
        return None
    ticket = roster.begin_room_admission(room, True)
    if state == "admitted":
        assert roster.record_room_admission(room, ticket, True) is True
        return None
    return ticket


# call(roster, room, stored ticket) -> {from state: (to state, result)}, refusal
TABLE = {
    "begin": (lambda r, k, t: r.begin_room_admission(k, True), {"unadmitted": ("admitting", NEW)}, None),
    "begin_filtered": (lambda r, k, t: r.begin_room_admission(k, False), {}, None),
    "record_ok": (lambda r, k, t: r.record_room_admission(k, t, True), {"admitting": ("admitted", True)}, False),
    "record_failed": (lambda r, k, t: r.record_room_admission(k, t, False),
                      {"admitting": ("unadmitted", False)}, False),
    "removed": (lambda r, k, t: r.record_room_removed(k),
                {"admitted": ("unadmitted", True), "admitting": ("unadmitted", False)}, False),
    "clear": (lambda r, k, t: r.clear(),
              {"unadmitted": ("unadmitted", []), "admitting": ("unadmitted", ["k"]),
               "admitted": ("unadmitted", ["k"])}, None),
}


@pytest.mark.parametrize("state", STATES)
@pytest.mark.parametrize("call", TABLE)
def test_state_table(call, state):
    fn, transitions, refusal = TABLE[call]
    roster = RoomRoster()
    ticket = enter(roster, "k", state)
    issued = 0 if state == "unadmitted" else 1
    to_state, expected = transitions.get(state, (state, refusal))
    result = fn(roster, "k", 0 if ticket is None else ticket)
    if expected is NEW:
        assert result == issued
        issued += 1
    else:
        assert result == expected and type(result) is type(expected)
    assert str(roster.room_membership("k")) == to_state
    assert roster.begin_room_admission("probe", True) == issued


@pytest.mark.parametrize("state", ["admitting", "admitted", "unadmitted"])
def test_reconcile_rows(state):
    for in_snapshot in (True, False):
        roster = RoomRoster()
        enter(roster, "k", state)
        rec = roster.reconcile(["k"] if in_snapshot else [])
        got = (str(roster.room_membership("k")), rec.removed, rec.admitting, rec.resync)
        expected = {
            ("admitted", True): ("admitted", [], [], ["k"]),
            ("admitted", False): ("unadmitted", ["k"], [], []),
            ("admitting", True): ("admitting", [], [], []),
            ("admitting", False): ("admitting", [], [], []),
            ("unadmitted", True): ("admitting", [], [("k", 0)], []),
            ("unadmitted", False): ("unadmitted", [], [], []),
        }[(state, in_snapshot)]
        assert got == expected


def test_reconcile_lists_are_sorted_by_code_point_and_tickets_rise():
    roster = RoomRoster()
    for room in ("z", "é", "Z", "ab"):
        enter(roster, room, "admitted")
    roster.begin_room_admission("pending", True)  # ticket 4, untouched by reconcile
    snapshot = ["\U0001F600", "b", "ab", "é", "a", "\uffff", "b", "pending"]
    rec = roster.reconcile(snapshot)
    assert rec.removed == ["Z", "z"]
    assert rec.resync == ["ab", "é"]
    assert rec.admitting == [("a", 5), ("b", 6), ("\uffff", 7), ("\U0001F600", 8)]  # a duplicate counts once
    assert roster.tracked_room_ids() == ["é", "ab"]
    assert roster.is_room_admission_current("pending", 4)
    assert [str(roster.room_membership(r)) for r in ("a", "\U0001F600", "z")] == ["admitting"] * 2 + ["unadmitted"]


def test_reconcile_with_empty_snapshot_removes_all():
    roster = RoomRoster()
    for room in ("c", "a", "b"):
        enter(roster, room, "admitted")
    rec = roster.reconcile(())
    assert (rec.removed, rec.admitting, rec.resync) == (["a", "b", "c"], [], [])
    assert roster.tracked_room_ids() == []


def test_reconciliation_returns_new_lists_and_is_read_only():
    roster = RoomRoster()
    enter(roster, "a", "admitted")
    rec = roster.reconcile(["a", "b"])
    rec.resync.append("x")
    rec.admitting.clear()
    assert rec.resync == ["a"] and rec.admitting == [("b", 1)]
    assert rec.resync is not rec.resync
    with pytest.raises(AttributeError):
        rec.removed = []
    with pytest.raises(TypeError):
        RoomReconciliation()
    assert RoomReconciliation.__doc__.startswith("One reconnect's reconciliation")


@pytest.mark.parametrize("bad", ["ab", {"a"}, frozenset(), (r for r in ["a"]), {"a": 1}, None, ["a", 1], ("a", b"b")])
def test_reconcile_refuses_anything_but_a_list_or_tuple_of_str(bad):
    roster = RoomRoster()
    enter(roster, "x", "admitted")
    with pytest.raises(TypeError, match="current_room_ids"):
        roster.reconcile(bad)
    assert roster.tracked_room_ids() == ["x"]
    assert roster.room_membership("a") is RoomMembership.Unadmitted
    assert roster.begin_room_admission("probe", True) == 1


def test_stale_tickets_after_clear_and_removal():
    roster = RoomRoster()
    t = roster.begin_room_admission("a", True)
    assert roster.clear() == ["a"]
    assert roster.record_room_admission("a", t, True) is False
    assert roster.room_membership("a") is RoomMembership.Unadmitted
    u = roster.begin_room_admission("a", True)
    assert u == t + 1 and not roster.is_room_admission_current("a", t)
    assert roster.record_room_removed("a") is False
    assert roster.record_room_admission("a", u, True) is False
    assert roster.tracked_room_ids() == []


def test_order_readmission_and_clear():
    roster = RoomRoster()
    for room in ("c", "a", "b", ""):
        enter(roster, room, "admitted")
    assert roster.record_room_removed("a") is True
    enter(roster, "a", "admitted")
    enter(roster, "d", "admitting")
    assert roster.tracked_room_ids() == ["c", "b", "", "a"]
    assert roster.clear() == ["", "a", "b", "c", "d"]
    assert roster.tracked_room_ids() == [] and roster.clear() == []


def test_counter_is_private_to_each_object():
    roster, tracker = RoomRoster(), SubscriptionTracker()
    assert tracker.begin_room_subscribe("a") == 0
    assert roster.begin_room_admission("a", True) == 0
    assert RoomRoster().begin_room_admission("a", True) == 0


@pytest.mark.parametrize("call,exc", [
    (lambda r: r.begin_room_admission("a", 1), TypeError),
    (lambda r: r.begin_room_admission(1, True), TypeError),
    (lambda r: r.record_room_admission("a", -1, True), OverflowError),
    (lambda r: r.record_room_admission("a", 0, None), TypeError),
    (lambda r: r.room_membership(None), TypeError),
    (lambda r: r.clear(True), TypeError),
])
def test_bad_arguments(call, exc):
    roster = RoomRoster()
    roster.begin_room_admission("a", True)
    with pytest.raises(exc):
        call(roster)
    assert roster.is_room_admission_current("a", 0)


def test_counter_exhaustion(core_exhaustion):
    # begin_room_admission returns None and reconcile's admitting list is cut short.
    core_exhaustion("roster")


@pytest.mark.parametrize("call, expected_type", [
    (lambda m: m.RoomRoster().reconcile(["r"]), lambda m: m.RoomReconciliation),
    (lambda m: m.RoomRoster().room_membership("r"), lambda m: m.RoomMembership),
])
def test_results_belong_to_the_rosters_own_module(reimported_module, call, expected_type):
    import orvu_sdk_core as first
    for module, other in ((reimported_module, first), (first, reimported_module)):
        got = call(module)
        assert type(got) is expected_type(module)
        assert type(got) is not expected_type(other)


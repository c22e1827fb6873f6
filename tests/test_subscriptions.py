import inspect

import pytest

from orvu_sdk_core import (
    AgentTopicKind,
    AgentTopicStatus,
    LeaveOutcome,
    RoomStatus,
    RoomSubscribeResult,
    SubscriptionTracker,
    chat_room_topic,
    room_participants_topic,
)

NEW = object()  # the call hands out the next ticket of the counter


class Half:
    """The names one half of the tracker uses for the same state machine."""

    def __init__(self, prefix, status_cls, active, begin, leave, done, ack, rejoin_failed, current,
                 candidates, ids, is_active, join, fail, unsettle):
        self.status_cls, self.active = status_cls, active
        self.begin, self.leave, self.done, self.ack = begin, leave, done, ack
        self.rejoin_failed, self.current = rejoin_failed, current
        self.candidates, self.ids, self.is_active = candidates, ids, is_active
        self.join, self.fail, self.unsettle = join, fail, unsettle
        self.status = prefix + "_status"

    def state(self, tracker, key):
        return str(getattr(tracker, self.status)(key))

    def enter(self, tracker, key, state):
        """Puts `key` into `state`; returns the ticket stored with it (or None)."""
        if state == "absent":
            return None
        ticket = getattr(tracker, self.begin)(key)
        if state == "pending":
            return ticket
        if state == "needs_reconciliation":
            self.unsettle(tracker, key, ticket)
            return None
        self.join(tracker, key, ticket)
        if state == self.active:
            return ticket
        assert state == "leaving"
        return getattr(tracker, self.leave)(key)


ROOMS = Half(
    "room", RoomStatus, "subscribed", "begin_room_subscribe", "unsubscribe_room", "mark_room_leave_complete",
    "acknowledge_room_reconciled", "mark_room_rejoin_failed", "is_room_claim_current", "room_rejoin_candidates",
    "subscribed_room_ids", "is_room_subscribed",
    join=lambda tr, k, t: tr.record_both_room_topics_joined(k, t),
    fail=lambda tr, k, t: tr.record_chat_room_join_failed(k, t),
    unsettle=lambda tr, k, t: tr.record_room_participants_join_failed(k, t, False),
)
TOPICS = Half(
    "agent_topic", AgentTopicStatus, "joined", "begin_agent_topic_join", "leave_agent_topic",
    "mark_agent_topic_leave_complete", "acknowledge_agent_topic_reconciled", "mark_agent_topic_rejoin_failed",
    "is_agent_topic_claim_current", "agent_topic_rejoin_candidates", "joined_agent_topics", "is_agent_topic_joined",
    join=lambda tr, k, t: tr.record_agent_topic_join(k, t, True),
    fail=lambda tr, k, t: tr.record_agent_topic_join(k, t, False),
    unsettle=lambda tr, k, t: tr.record_agent_topic_join_ambiguous(k, t),
)
STATES = ["absent", "pending", "active", "leaving", "needs_reconciliation"]
TICKETS_TO_ENTER = {"absent": 0, "pending": 1, "active": 1, "leaving": 2, "needs_reconciliation": 1}

S = RoomSubscribeResult
# call -> (how to call it with the stored ticket t, {from state: (to state, result)}, refusal)
ROOM_TABLE = {
    "begin": (lambda tr, k, t: tr.begin_room_subscribe(k), {"absent": ("pending", NEW)}, None),
    "both_joined": (lambda tr, k, t: tr.record_both_room_topics_joined(k, t),
                    {"pending": ("active", S.Subscribed)}, S.Stale),
    "chat_failed": (lambda tr, k, t: tr.record_chat_room_join_failed(k, t),
                    {"pending": ("absent", S.JoinFailed)}, S.Stale),
    "rolled_back": (lambda tr, k, t: tr.record_room_participants_join_failed(k, t, True),
                    {"pending": ("absent", S.RolledBack)}, S.Stale),
    "rollback_failed": (lambda tr, k, t: tr.record_room_participants_join_failed(k, t, False),
                        {"pending": ("needs_reconciliation", S.RollbackFailed)}, S.Stale),
    "unsubscribe": (lambda tr, k, t: tr.unsubscribe_room(k), {"active": ("leaving", NEW)}, None),
    "rejoin_failed": (lambda tr, k, t: tr.mark_room_rejoin_failed(k, t),
                      {"active": ("needs_reconciliation", True)}, False),
    **{f"leave_{o}": (lambda tr, k, t, o=o: tr.mark_room_leave_complete(k, t, getattr(LeaveOutcome, o)),
                      {"leaving": ("absent" if o == "Left" else "needs_reconciliation", True)}, False)
       for o in ("Left", "Failed", "Unknown")},
    "acknowledge": (lambda tr, k, t: tr.acknowledge_room_reconciled(k),
                    {"needs_reconciliation": ("absent", True)}, False),
    "end_session": (lambda tr, k, t: tr.end_session(), {s: ("absent", None) for s in STATES}, None),
    "on_reconnected": (lambda tr, k, t: tr.on_reconnected(), {s: (s, None) for s in STATES}, None),
}
TOPIC_TABLE = {
    "begin": (lambda tr, k, t: tr.begin_agent_topic_join(k), {"absent": ("pending", NEW)}, None),
    "joined": (lambda tr, k, t: tr.record_agent_topic_join(k, t, True), {"pending": ("active", True)}, False),
    # A failed join under the live ticket ends the claim yet answers False.
    "join_failed": (lambda tr, k, t: tr.record_agent_topic_join(k, t, False), {"pending": ("absent", False)}, False),
    "ambiguous": (lambda tr, k, t: tr.record_agent_topic_join_ambiguous(k, t),
                  {"pending": ("needs_reconciliation", True)}, False),
    "leave": (lambda tr, k, t: tr.leave_agent_topic(k), {"active": ("leaving", NEW)}, None),
    "rejoin_failed": (lambda tr, k, t: tr.mark_agent_topic_rejoin_failed(k, t),
                      {"active": ("needs_reconciliation", True)}, False),
    **{f"leave_{o}": (lambda tr, k, t, o=o: tr.mark_agent_topic_leave_complete(k, t, getattr(LeaveOutcome, o)),
                      {"leaving": ("absent" if o == "Left" else "needs_reconciliation", True)}, False)
       for o in ("Left", "Failed", "Unknown")},
    "acknowledge": (lambda tr, k, t: tr.acknowledge_agent_topic_reconciled(k),
                    {"needs_reconciliation": ("absent", True)}, False),
    "end_session": (lambda tr, k, t: tr.end_session(), {s: ("absent", None) for s in STATES}, None),
    "on_reconnected": (lambda tr, k, t: tr.on_reconnected(), {s: (s, None) for s in STATES}, None),
}

CASES = [pytest.param(half, table[call], state, id=f"{name}-{call}-{state}")
         for name, half, table in (("room", ROOMS, ROOM_TABLE), ("topic", TOPICS, TOPIC_TABLE))
         for call in table for state in STATES]


def wire(half, state):
    return half.active if state == "active" else state


@pytest.mark.parametrize("half,row,state", CASES)
def test_state_table(half, row, state):
    call, transitions, refusal = row
    tracker = SubscriptionTracker()
    ticket = half.enter(tracker, "k", wire(half, state))
    issued = TICKETS_TO_ENTER[state]
    to_state, expected = transitions.get(state, (state, refusal))

    result = call(tracker, "k", max(issued - 1, 0) if ticket is None else ticket)

    if expected is NEW:
        assert result == issued
        issued += 1
    else:
        assert result is expected  # enumeration members and singletons are the same objects
    assert half.state(tracker, "k") == wire(half, to_state)
    if to_state == "active":  # the ticket of the join is the one kept
        assert getattr(tracker, half.candidates)() == [("k", ticket)]
    # A refusal leaves the shared counter alone; a beginning call advances it by one.
    assert tracker.begin_room_subscribe("probe") == issued


def stale_reports(half):
    rows = [("pending", half.join), ("pending", half.fail), ("pending", half.unsettle),
            ("active", lambda tr, k, t: getattr(tr, half.rejoin_failed)(k, t))]
    rows += [("leaving", lambda tr, k, t, o=o: getattr(tr, half.done)(k, t, o)) for o in
             (LeaveOutcome.Left, LeaveOutcome.Failed, LeaveOutcome.Unknown)]
    if half is ROOMS:
        rows.append(("pending", lambda tr, k, t: tr.record_room_participants_join_failed(k, t, True)))
    return [pytest.param(half, s, c, id=f"{half.begin}-{i}") for i, (s, c) in enumerate(rows)]


@pytest.mark.parametrize("half,state,call", stale_reports(ROOMS) + stale_reports(TOPICS))
@pytest.mark.parametrize("shift", [1, -1, 2**63])
def test_wrong_ticket_is_refused_without_effect(half, state, call, shift):
    tracker = SubscriptionTracker()
    half.enter(tracker, "other", "pending")  # a ticket that is live, but for another subject
    ticket = half.enter(tracker, "k", wire(half, state))
    wrong = (ticket + shift) % 2**64
    result = call(tracker, "k", wrong)
    assert result in (False, RoomSubscribeResult.Stale)
    assert half.state(tracker, "k") == wire(half, state)
    assert half.state(tracker, "other") == "pending"


@pytest.mark.parametrize("half", [ROOMS, TOPICS])
def test_claim_current_only_for_the_pending_ticket(half):
    tracker = SubscriptionTracker()
    current = getattr(tracker, half.current)
    t = getattr(tracker, half.begin)("k")
    assert current("k", t) and not current("k", t + 1) and not current("other", t)
    half.join(tracker, "k", t)
    assert not current("k", t)  # a joined subject's ticket is not a claim
    leave = getattr(tracker, half.leave)("k")
    assert not current("k", leave)
    # The leave ticket does not fail a rejoin, and the old join ticket does not complete the leave.
    assert getattr(tracker, half.rejoin_failed)("k", leave) is False
    assert getattr(tracker, half.done)("k", t, LeaveOutcome.Left) is False
    assert half.state(tracker, "k") == "leaving"


def test_halves_share_one_rising_counter_and_separate_collections():
    tracker = SubscriptionTracker()
    assert tracker.begin_room_subscribe("s") == 0
    assert tracker.begin_agent_topic_join("s") == 1
    assert tracker.begin_room_subscribe("r2") == 2
    assert tracker.record_both_room_topics_joined("s", 0) is RoomSubscribeResult.Subscribed
    # The same string as room and topic: neither half sees the other.
    assert tracker.agent_topic_status("s") is AgentTopicStatus.Pending
    assert tracker.record_agent_topic_join("s", 0, True) is False
    assert tracker.unsubscribe_room("s") == 3
    assert tracker.agent_topic_status("s") is AgentTopicStatus.Pending
    assert tracker.record_agent_topic_join("s", 1, True) is True
    assert tracker.room_status("s") is RoomStatus.Leaving
    assert tracker.is_agent_topic_joined("s") and not tracker.is_room_subscribed("s")


@pytest.mark.parametrize("half", [ROOMS, TOPICS])
def test_lists_keep_join_order_and_reentry_appends(half):
    tracker = SubscriptionTracker()
    tickets = {k: half.enter(tracker, k, half.active) for k in ("c", "a", "", "b")}
    leave = getattr(tracker, half.leave)("a")
    assert getattr(tracker, half.done)("a", leave, LeaveOutcome.Left) is True
    tickets["a"] = half.enter(tracker, "a", half.active)
    half.enter(tracker, "p", "pending")  # pending subjects are not listed
    assert getattr(tracker, half.ids)() == ["c", "", "b", "a"]
    assert getattr(tracker, half.candidates)() == [(k, tickets[k]) for k in ("c", "", "b", "a")]
    # Lists are fresh copies.
    getattr(tracker, half.ids)().clear()
    assert len(getattr(tracker, half.ids)()) == 4
    tracker.on_reconnected()
    assert getattr(tracker, half.candidates)() == [(k, tickets[k]) for k in ("c", "", "b", "a")]


def test_rejoin_candidates_empty_and_rejoin_failure_drops_room():
    tracker = SubscriptionTracker()
    assert tracker.room_rejoin_candidates() == [] and tracker.agent_topic_rejoin_candidates() == []
    t = ROOMS.enter(tracker, "r", "subscribed")
    tracker.on_reconnected()
    assert tracker.mark_room_rejoin_failed("r", t) is True
    assert tracker.room_rejoin_candidates() == []
    assert tracker.begin_room_subscribe("r") is None  # until reconciled
    assert tracker.acknowledge_room_reconciled("r") is True
    assert tracker.begin_room_subscribe("r") is not None


def test_on_reconnected_between_begin_and_report():
    tracker = SubscriptionTracker()
    t = tracker.begin_room_subscribe("r")
    u = tracker.begin_agent_topic_join("x")
    tracker.on_reconnected()
    assert tracker.record_both_room_topics_joined("r", t) is RoomSubscribeResult.Subscribed
    assert tracker.record_agent_topic_join("x", u, True) is True


def test_end_session_forgets_everything_but_the_counter():
    tracker = SubscriptionTracker()
    old = {}
    for half in (ROOMS, TOPICS):
        for state in ("pending", half.active, "leaving", "needs_reconciliation"):
            old[(half.begin, state)] = half.enter(tracker, state, state)
    issued = tracker.begin_room_subscribe("last") + 1
    tracker.end_session()
    for half in (ROOMS, TOPICS):
        for state in ("pending", half.active, "leaving", "needs_reconciliation", "last"):
            assert half.state(tracker, state) == "absent"
        assert getattr(tracker, half.ids)() == [] and getattr(tracker, half.candidates)() == []
    # The same room again: a greater ticket, and the old one cannot touch the new claim.
    t = tracker.begin_room_subscribe("pending")
    assert t == issued
    assert tracker.record_both_room_topics_joined("pending", old[("begin_room_subscribe", "pending")]) \
        is RoomSubscribeResult.Stale
    assert tracker.is_room_claim_current("pending", t)
    assert tracker.begin_agent_topic_join("joined") == issued + 1


@pytest.mark.parametrize("call,exc", [
    (lambda t: t.begin_room_subscribe(1), TypeError),
    (lambda t: t.begin_room_subscribe(None), TypeError),
    (lambda t: t.record_both_room_topics_joined("r", "0"), TypeError),
    (lambda t: t.record_both_room_topics_joined("r", -1), OverflowError),
    (lambda t: t.record_both_room_topics_joined("r", 2**64), OverflowError),
    (lambda t: t.record_room_participants_join_failed("r", 0, 1), TypeError),
    (lambda t: t.record_agent_topic_join("x", 1, None), TypeError),
    (lambda t: t.mark_room_leave_complete("r", 0, "left"), TypeError),
    (lambda t: t.mark_agent_topic_leave_complete("x", 1, 0), TypeError),
    (lambda t: t.mark_room_leave_complete("r", 0, RoomStatus.Absent), TypeError),
    (lambda t: t.begin_room_subscribe("r", "extra"), TypeError),
    (lambda t: t.begin_room_subscribe(room="r"), TypeError),
    (lambda t: t.end_session(1), TypeError),
])
def test_bad_arguments_raise_and_change_nothing(call, exc):
    tracker = SubscriptionTracker()
    tracker.begin_room_subscribe("r")
    tracker.begin_agent_topic_join("x")
    with pytest.raises(exc):
        call(tracker)
    assert tracker.room_status("r") is RoomStatus.Pending
    assert tracker.agent_topic_status("x") is AgentTopicStatus.Pending
    assert tracker.begin_room_subscribe("probe") == 2


def test_integer_like_ticket_and_keywords():
    tracker = SubscriptionTracker()
    tracker.begin_room_subscribe("r0")
    tracker.begin_room_subscribe(room_id="r1")
    assert tracker.record_both_room_topics_joined(ticket=True, room_id="r1") is RoomSubscribeResult.Subscribed
    with pytest.raises(TypeError, match="argument 'outcome'"):
        tracker.mark_room_leave_complete("r1", 5, outcome="left")
    with pytest.raises(TypeError, match=r"SubscriptionTracker\.__new__\(\)"):
        SubscriptionTracker(1)


def test_signatures_and_class_surface():
    assert str(inspect.signature(SubscriptionTracker().record_room_participants_join_failed)) == \
        "(room_id, ticket, chat_room_left)"
    assert SubscriptionTracker.__doc__ == "Transport-independent subscription decisions for one agent session."
    tracker = SubscriptionTracker()
    with pytest.raises(AttributeError):
        tracker.extra = 1


@pytest.mark.parametrize("build,expected", [
    (lambda: chat_room_topic("r1"), "chat_room:r1"),
    (lambda: chat_room_topic(""), "chat_room:"),
    (lambda: room_participants_topic("r:1"), "room_participants:r:1"),
    (lambda: AgentTopicKind.Rooms.topic("a1"), "agent_rooms:a1"),
    (lambda: AgentTopicKind.Control.topic(agent_id="é"), "agent_control:é"),
    (lambda: AgentTopicKind.Contacts.topic(""), "agent_contacts:"),
])
def test_topic_names(build, expected):
    assert build() == expected


@pytest.mark.parametrize("name,member", [("agent_rooms", AgentTopicKind.Rooms), ("Agent_Rooms", None),
                                         ("rooms", None), ("agent_rooms ", None)])
def test_agent_topic_kind_from_wire_name(name, member):
    assert AgentTopicKind.from_wire_name(name) is member


def test_topic_builders_refuse_non_str():
    with pytest.raises(TypeError, match=r"chat_room_topic\(\) argument 'room_id' must be str, not int"):
        chat_room_topic(1)
    with pytest.raises(TypeError, match=r"AgentTopicKind\.topic\(\)"):
        AgentTopicKind.Rooms.topic(None)
    assert str(inspect.signature(AgentTopicKind.Rooms.topic)) == "(agent_id)"
    assert room_participants_topic.__doc__.endswith("``room_participants``\nchannel.")


def test_counter_exhaustion(core_exhaustion):
    # Beginning calls return None at the counter's end (2**64 - 1 is never handed out);
    # reports under live tickets still complete and end_session does not reset it.
    core_exhaustion("tracker")


def _join_room(m):
    tracker = m.SubscriptionTracker()
    return tracker.record_both_room_topics_joined("r", tracker.begin_room_subscribe("r"))


@pytest.mark.parametrize("call, expected", [
    (lambda m: m.SubscriptionTracker().room_status("r"), lambda m: m.RoomStatus.Absent),
    (lambda m: m.SubscriptionTracker().agent_topic_status("t"), lambda m: m.AgentTopicStatus.Absent),
    (lambda m: m.SubscriptionTracker().record_chat_room_join_failed("r", 0), lambda m: m.RoomSubscribeResult.Stale),
    (lambda m: m.SubscriptionTracker().record_room_participants_join_failed("r", 0, True),
     lambda m: m.RoomSubscribeResult.Stale),
    (_join_room, lambda m: m.RoomSubscribeResult.Subscribed),
])
def test_results_are_members_of_the_trackers_own_module(reimported_module, call, expected):
    import orvu_sdk_core as first
    for module, other in ((reimported_module, first), (first, reimported_module)):
        got = call(module)
        assert got is expected(module)
        assert got is not expected(other)


@pytest.mark.parametrize("method", ["mark_room_leave_complete", "mark_agent_topic_leave_complete"])
def test_leave_outcome_must_come_from_the_trackers_own_module(reimported_module, method):
    import orvu_sdk_core as first
    tracker = reimported_module.SubscriptionTracker()
    assert getattr(tracker, method)("r", 0, reimported_module.LeaveOutcome.Left) is False
    with pytest.raises(TypeError, match=r"argument 'outcome' must be orvu_sdk_core\.LeaveOutcome, not LeaveOutcome"):
        getattr(tracker, method)("r", 0, first.LeaveOutcome.Left)


@pytest.mark.parametrize("name", ["Control", "Rooms", "Contacts"])
def test_agent_topic_of_a_reimported_module(reimported_module, name):
    assert getattr(reimported_module.AgentTopicKind, name).topic("a") == getattr(AgentTopicKind, name).topic("a")

"""Behaviour shared by all twenty enumeration classes."""

import inspect

import pytest

import orvu_sdk_core as core

VALUE_FORM = "value"
WIRE_FORM = "wire_name"

ENUMS = {
    "AgentTopicKind": (WIRE_FORM, [("Control", "agent_control"), ("Rooms", "agent_rooms"), ("Contacts", "agent_contacts")]),
    "AgentTopicStatus": (VALUE_FORM, [("Absent", "absent"), ("Pending", "pending"), ("Joined", "joined"),
                                      ("Leaving", "leaving"), ("NeedsReconciliation", "needs_reconciliation")]),
    "ClaimOutcome": (VALUE_FORM, [("Claimed", "claimed"), ("AlreadyClaimed", "already_claimed"), ("Stale", "stale")]),
    "DeadReason": (VALUE_FORM, [("Classified", "classified"), ("RapidDisconnect", "rapid_disconnect")]),
    "EventType": (WIRE_FORM, [
        ("MessageCreated", "message_created"), ("MessageUpdated", "message_updated"), ("RoomAdded", "room_added"),
        ("RoomRemoved", "room_removed"), ("RoomDeleted", "room_deleted"), ("ParticipantAdded", "participant_added"),
        ("ParticipantRemoved", "participant_removed"), ("ContactRequestReceived", "contact_request_received"),
        ("ContactRequestUpdated", "contact_request_updated"), ("ContactAdded", "contact_added"),
        ("ContactRemoved", "contact_removed"), ("Supersede", "supersede"), ("AgentControl", "agent.control"),
        ("EventCreated", "event_created")]),
    "LeaveOutcome": (VALUE_FORM, [("Left", "left"), ("Failed", "failed"), ("Unknown", "unknown")]),
    "MemoryListScope": (WIRE_FORM, [("Subject", "subject"), ("Organization", "organization"), ("All", "all")]),
    "MemorySegment": (WIRE_FORM, [("User", "user"), ("Agent", "agent"), ("Tool", "tool"), ("Guideline", "guideline")]),
    "MemoryStatus": (WIRE_FORM, [("Active", "active"), ("Superseded", "superseded"), ("Archived", "archived"),
                                 ("All", "all")]),
    "MemoryStoreScope": (WIRE_FORM, [("Subject", "subject"), ("Organization", "organization")]),
    "MemorySystem": (WIRE_FORM, [("Sensory", "sensory"), ("Working", "working"), ("LongTerm", "long_term")]),
    "MemoryType": (WIRE_FORM, [("Iconic", "iconic"), ("Echoic", "echoic"), ("Haptic", "haptic"),
                               ("Episodic", "episodic"), ("Semantic", "semantic"), ("Procedural", "procedural")]),
    "ParkedReason": (WIRE_FORM, [("NotFound", "not_found"), ("Rejected", "rejected")]),
    "RoomMembership": (VALUE_FORM, [("Unadmitted", "unadmitted"), ("Admitting", "admitting"), ("Admitted", "admitted")]),
    "RoomStatus": (VALUE_FORM, [("Absent", "absent"), ("Pending", "pending"), ("Subscribed", "subscribed"),
                                ("Leaving", "leaving"), ("NeedsReconciliation", "needs_reconciliation")]),
    "RoomSubscribeResult": (VALUE_FORM, [("Subscribed", "subscribed"), ("JoinFailed", "join_failed"),
                                         ("RolledBack", "rolled_back"), ("RollbackFailed", "rollback_failed"),
                                         ("Stale", "stale")]),
    "SessionState": (VALUE_FORM, [("Connecting", "connecting"), ("Up", "up"), ("Reconnecting", "reconnecting"),
                                  ("Dead", "dead")]),
    "StaleReason": (VALUE_FORM, [("WrongEpoch", "wrong_epoch"), ("ClockRegression", "clock_regression"),
                                 ("DuplicateConnected", "duplicate_connected"),
                                 ("SupersedePredatesEpoch", "supersede_predates_epoch")]),
    "TurnEffect": (WIRE_FORM, [("Observe", "observe"), ("Act", "act"), ("Reply", "reply"), ("Decline", "decline")]),
    "TurnVerdict": (WIRE_FORM, [("Complete", "complete"), ("MissingReply", "missing_reply")]),
}

DOCS = {
    "AgentTopicKind": "A single-topic Phoenix Channels channel kind keyed by one id (an agent's\n"
                      "control/rooms/contacts channel).",
    "EventType": "Canonical inbound event names. Each variant's `wire_name` is the\nexact string the platform sends; "
                 "`validate_event_payload` accepts that\nstring (or an `EventType` instance).",
    "MemoryListScope": "Scope filter for listing memories.",
    "MemorySegment": "Logical subject category for a stored memory -- not a store/list scope.",
    "MemoryStatus": "Lifecycle state; list filter and set by supersede/archive operations.",
    "MemoryStoreScope": "Visibility scope for storing a memory.",
    "MemorySystem": "Memory tier; constrains which [`MemoryType`] values are valid for it\n"
                    "(`validate_memory_type_for_system`).",
    "MemoryType": "Content kind; must match the chosen [`MemorySystem`] tier.",
    "ParkedReason": "Why the platform refused a terminal write that stays pending; the\n"
                    "argument of `ClaimRegistry.park_ack`.",
    "TurnEffect": "What a successful tool call contributes to the turn.",
    "TurnVerdict": "How the SDK ends a turn, per `TurnLedger.verdict()`.",
}

VARIANTS = [(cls, index, name, wire, form)
            for cls, (form, variants) in ENUMS.items()
            for index, (name, wire) in enumerate(variants)]


def test_twenty_classes():
    assert len(ENUMS) == 20


@pytest.mark.parametrize("cls_name,index,name,wire,form", VARIANTS)
def test_variant_basics(cls_name, index, name, wire, form):
    cls = getattr(core, cls_name)
    member = getattr(cls, name)
    assert repr(member) == f"{cls_name}.{name}"
    assert str(member) == wire
    assert int(member) == index
    assert getattr(member, form) == wire
    other_form = WIRE_FORM if form == VALUE_FORM else VALUE_FORM
    assert not hasattr(member, other_form)
    assert member is getattr(cls, name)
    assert member == getattr(cls, name)
    assert not (member != getattr(cls, name))
    assert type(member) is cls
    if form == WIRE_FORM:
        assert cls.from_wire_name(wire) is member
    else:
        assert not hasattr(cls, "from_wire_name")


@pytest.mark.parametrize("cls_name", sorted(ENUMS))
def test_class_conventions(cls_name):
    cls = getattr(core, cls_name)
    form, variants = ENUMS[cls_name]
    members = [getattr(cls, n) for n, _ in variants]
    for i, a in enumerate(members):
        for j, b in enumerate(members):
            assert (a == b) is (i == j)
            assert (a != b) is (i != j)
    first = members[0]
    assert first != 0 and not (first == 0)
    assert not (first == str(first))
    with pytest.raises(TypeError):
        hash(first)
    with pytest.raises(TypeError):
        {first}
    with pytest.raises(TypeError):
        first < members[-1]
    with pytest.raises(TypeError):
        first >= members[-1]
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(AttributeError):
        setattr(first, form, "x")
    with pytest.raises(AttributeError):
        first.anything = 1
    assert cls.__module__ == "orvu_sdk_core"
    assert cls.__doc__ == DOCS.get(cls_name)


def test_equality_never_crosses_classes():
    assert core.MemoryListScope.Subject != core.MemoryStoreScope.Subject
    assert not (core.MemoryListScope.Subject == core.MemoryStoreScope.Subject)
    assert core.RoomStatus.Absent != core.AgentTopicStatus.Absent
    assert core.SessionState.Up != 1
    assert core.SessionState.Up != "up"


@pytest.mark.parametrize("cls_name", [c for c, (f, _) in ENUMS.items() if f == WIRE_FORM])
@pytest.mark.parametrize("name", ["", "Reply", " reply", "reply ", "REPLY", "agent_control ", "agent_control\x00"])
def test_from_wire_name_is_exact(cls_name, name):
    assert getattr(core, cls_name).from_wire_name(name) is None


@pytest.mark.parametrize("bad", [1, None, b"reply", ["reply"], core.TurnEffect.Reply])
def test_from_wire_name_requires_str(bad):
    with pytest.raises(TypeError):
        core.TurnEffect.from_wire_name(bad)


def test_from_wire_name_binding():
    assert core.TurnEffect.from_wire_name(name="reply") is core.TurnEffect.Reply
    assert core.EventType.from_wire_name("agent.control") is core.EventType.AgentControl
    assert core.EventType.from_wire_name("agent_control") is None

    class S(str):
        pass

    assert core.TurnEffect.from_wire_name(S("act")) is core.TurnEffect.Act
    with pytest.raises(TypeError):
        core.TurnEffect.from_wire_name()
    with pytest.raises(TypeError):
        core.TurnEffect.from_wire_name("reply", "act")
    with pytest.raises(TypeError):
        core.TurnEffect.from_wire_name(wire="reply")
    with pytest.raises(UnicodeEncodeError):
        core.TurnEffect.from_wire_name("\ud800")
    assert str(inspect.signature(core.TurnEffect.from_wire_name)) == "(name)"


def test_event_type_wire_name_doc():
    assert core.EventType.__dict__["wire_name"].__doc__ == \
        "The exact string the platform sends over the wire for this event."


def test_enum_classes_cannot_be_subclassed():
    with pytest.raises(TypeError):
        class Sub(core.SessionState):  # noqa: F841
            pass


def read_members(cls, names):
    # One code object read many times: the interpreter caches the class's
    # attribute lookups and specialises these loads on the type's version.
    return [getattr(cls, name) for name in names]


@pytest.mark.parametrize("cls_name", sorted(ENUMS))
def test_members_stay_the_same_objects_once_lookups_are_cached(cls_name):
    cls = getattr(core, cls_name)
    names = [name for name, _ in ENUMS[cls_name][1]]
    first = read_members(cls, names)
    for _ in range(200):
        assert all(a is b for a, b in zip(read_members(cls, names), first))
    for name, member in zip(names, first):
        assert cls.__dict__[name] is member
    with pytest.raises(TypeError):
        setattr(cls, names[0], first[-1])
    assert read_members(cls, names) == first and getattr(cls, names[0]) is first[0]


def test_session_state_up_is_one_object_after_a_warm_cache():
    warm = [core.SessionState.Up for _ in range(1000)]
    session = core.Session(core.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    assert session.on_connected(epoch, 0.0).state is core.SessionState.Up is warm[-1]

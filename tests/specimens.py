"""One instance of every class of an orvu_sdk_core module object.

Takes the module as an argument instead of importing it, so that a test can
use it on a module it imported again, or inside another interpreter.
"""


def one_of_each(core):
    """{class name: an instance of that class} for every class in `core.__all__`;
    enumerations give their first member, result records come from the calls
    that return them."""
    session = core.Session(core.SessionPolicy.default())
    outcome = session.on_connected(session.begin_attempt(1.0), 1.0)
    rooms = core.RoomRoster()
    decisions = core.DecisionRegistry(seed=7)
    made = {
        "AgentFailure": core.AgentFailure("llm", "failed", "E1", {"a": [1, None]}),
        "CancelledDecisions": decisions.cancel_all(),
        "ClaimRegistry": core.ClaimRegistry(),
        "DecisionRegistry": decisions,
        "ParticipantRoster": core.ParticipantRoster(),
        "RetryTracker": core.RetryTracker(),
        "RoomReconciliation": rooms.reconcile(["r1"]),
        "RoomRoster": rooms,
        "Session": session,
        "SessionOutcome": outcome,
        "SessionPolicy": core.SessionPolicy.default(),
        "SubscriptionTracker": core.SubscriptionTracker(),
        "TurnLedger": core.TurnLedger(),
    }
    for name in core.__all__:
        cls = getattr(core, name)
        members = [value for value in vars(cls).values() if isinstance(value, cls)] if isinstance(cls, type) else []
        if members and name not in made:
            made[name] = members[0]
    missing = [name for name in core.__all__ if isinstance(getattr(core, name), type) and name not in made]
    assert not missing, f"no instance made of {missing}"
    return made

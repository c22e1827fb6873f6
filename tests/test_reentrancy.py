"""Re-entrancy: Python code that runs in the middle of a call (a roster's
trace-context provider, a set_all generator, an argument's __index__ or
__float__, a finalizer run by the garbage collector) and calls back into the
object being used meets "Already borrowed" / "Already mutably borrowed", and
every object ends as if the calls had happened one after the other.
"""

import collections.abc
import gc
import sys
import threading
import time

import pytest

import orvu_sdk_core as core

import surface

BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


def raised(outcome):
    return isinstance(outcome, tuple) and len(outcome) == 3 and outcome[0] == "raised"


def borrow_error(outcome):
    return raised(outcome) and outcome[1] == "RuntimeError" and outcome[2] in BORROW_MESSAGES


# ------------------------------------------------------------ participant roster

@pytest.mark.parametrize("inner, message", [
    (lambda r: r.list(), "Already mutably borrowed"),
    (lambda r: r.changed(), "Already mutably borrowed"),
    (lambda r: r.add({"id": "intruder"}), "Already borrowed"),
    (lambda r: r.remove("p1"), "Already borrowed"),
    (lambda r: r.mark_sent(), "Already borrowed"),
    (lambda r: r.set_all([]), "Already borrowed"),
])
@pytest.mark.parametrize("snapshot_ok", [True, False])
def test_provider_reentering_the_roster_is_refused_and_discarded(inner, message, snapshot_ok):
    seen = []
    roster = None

    def provider():
        try:
            inner(roster)
        except RuntimeError as exc:
            seen.append(str(exc))
            raise  # escapes into set_all, which must discard it
        seen.append("ran")
        return "tc-provider"

    roster = core.ParticipantRoster(trace_context_provider=provider)
    roster.add({"id": "p1", "name": "Ann"})
    roster.mark_sent()
    snapshot = [{"id": "p2"}, {"id": "p1"}] if snapshot_ok else [{"id": "p2"}, {"id": "p2"}]
    if snapshot_ok:
        assert roster.set_all(snapshot) is None
        assert [p["id"] for p in roster.list()] == ["p2", "p1"]
    else:
        with pytest.raises(ValueError) as err:
            roster.set_all(snapshot)
        # The provider failed, so no trace context; the roster is unchanged.
        assert err.value.trace_context is None
        assert [p["id"] for p in roster.list()] == ["p1"]
        assert roster.list()[0]["name"] == "Ann"
    assert seen == [message]
    # The roster is free again afterwards.
    assert roster.add({"id": "p9"}) is True


@pytest.mark.parametrize("inner, message", [
    (lambda r: r.list(), "Already mutably borrowed"),
    (lambda r: r.add({"id": "intruder"}), "Already borrowed"),
    (lambda r: r.set_all([{"id": "x"}]), "Already borrowed"),
])
def test_set_all_generator_reentering_the_roster(inner, message):
    roster = core.ParticipantRoster()
    roster.add({"id": "p1", "name": "Ann"})
    before = roster.list()

    def participants():
        yield {"id": "p2"}
        inner(roster)  # raises: the error leaves set_all, which changes nothing
        yield {"id": "p3"}

    with pytest.raises(RuntimeError, match=f"^{message}$"):
        roster.set_all(participants())
    assert roster.list() == before

    def polite():
        yield {"id": "p2"}
        try:
            inner(roster)
        except RuntimeError as exc:
            assert str(exc) == message
        yield {"id": "p1"}

    roster.set_all(polite())
    assert [p["id"] for p in roster.list()] == ["p2", "p1"]
    assert roster.list()[1]["name"] == "Ann"


def test_participant_mapping_reentering_the_roster_during_add():
    roster = core.ParticipantRoster()
    roster.add({"id": "p1"})
    seen = []

    class Sneaky(collections.abc.Mapping):
        def __len__(self):
            return 2

        def __iter__(self):
            try:
                roster.remove("p1")
            except RuntimeError as exc:
                seen.append(str(exc))
            return iter(["id", "name"])

        def __getitem__(self, key):
            return {"id": "p2", "name": "Bo"}[key]

    assert roster.add(Sneaky()) is True
    assert seen == ["Already borrowed"]
    assert [p["id"] for p in roster.list()] == ["p1", "p2"]


# ------------------------------------------------------------ numeric callbacks, generically

def number_params():
    """(target, param, kind) for every method parameter read as an int or a float."""
    out = []
    for target in surface.targets():
        if target.kind != "method" or target.owner not in surface.STATEFUL:
            continue
        for p in target.params:
            valid = surface.VALID.get(p.name)
            if valid is None:
                continue
            v = valid()
            if isinstance(v, bool):
                continue
            if isinstance(v, int):
                out.append((target, p, "__index__"))
            elif isinstance(v, float):
                out.append((target, p, "__float__"))
    return out


def reentrant_calls(cls_name):
    """Every method of the class with well-typed arguments, as (label, fn(obj))."""
    calls = []
    for target in surface.targets():
        if target.kind == "method" and target.owner == cls_name:
            args, kwargs = target.valid_call()
            calls.append((target.name, lambda obj, t=target, a=args, k=kwargs: getattr(obj, t.name)(*a, **k)))
    return calls


NUMBER_PARAMS = number_params()


@pytest.mark.parametrize("target, param, hook", NUMBER_PARAMS,
                         ids=[f"{t.label}:{p.name}" for t, p, _ in NUMBER_PARAMS])
def test_number_conversion_reentering_the_object(target, param, hook):
    """The argument's conversion hook calls every method of the object being used."""
    row = surface.STATEFUL[target.owner]
    for inner_name, inner in reentrant_calls(target.owner):
        obj, twin = row.make(), row.make()
        valid = surface.VALID[param.name]()
        outcomes = []

        def convert(_self, obj=obj, inner=inner, valid=valid):
            if not outcomes:
                outcomes.append(surface.attempt(inner, obj))
            return valid

        arg = type("Reentrant", (), {hook: convert})()
        args, kwargs = target.valid_call({param.name: arg})
        outer = surface.attempt(getattr(obj, target.name), *args, **kwargs)
        assert outcomes, f"{target.label}: {hook} was never called"
        inner_outcome = outcomes[0]
        where = f"{target.label}({param.name}.{hook} -> {inner_name})"
        assert not raised(inner_outcome) or inner_outcome[1] != "RuntimeError" or borrow_error(inner_outcome), where
        assert not raised(outer) or outer[1] in ("TypeError", "ValueError", "OverflowError"), (where, outer)

        # The same calls one after the other, on the twin: the inner one (if it
        # was let through) happened first, then the outer one.
        if not borrow_error(inner_outcome):
            assert surface.attempt(inner, twin) == inner_outcome, where
        twin_args, twin_kwargs = target.valid_call({param.name: valid})
        assert surface.attempt(getattr(twin, target.name), *twin_args, **twin_kwargs) == outer, where
        assert row.snapshot(obj) == row.snapshot(twin), where
        assert row.probe(obj) == row.probe(twin), where


def test_number_callbacks_meet_the_borrow_guard_somewhere():
    # If every conversion ran outside the guard, the test above would never
    # see the guard at work; the guard must be held while arguments are read
    # for at least the changing calls that read numbers.
    hits = 0
    for target, param, hook in NUMBER_PARAMS:
        row = surface.STATEFUL[target.owner]
        obj = row.make()
        seen = []

        def convert(_self, obj=obj):
            if not seen:
                seen.append(surface.attempt(row.snapshot, obj))
            return surface.VALID[param.name]()

        args, kwargs = target.valid_call({param.name: type("R", (), {hook: convert})()})
        surface.attempt(getattr(obj, target.name), *args, **kwargs)
        hits += bool(seen) and borrow_error(seen[0])
    assert hits > 0 or not NUMBER_PARAMS


# ------------------------------------------------------------ finalizers run by the collector

class Finalizer:
    """Cyclic garbage whose finalizer calls back into a module object."""

    def __init__(self, kind, key, action, log):
        self.kind, self.key, self.action, self.log, self.me = kind, key, action, log, self

    def __del__(self):
        self.log.append((self.kind, self.key, surface.attempt(self.action, self.key)))


@pytest.mark.parametrize("operation", [
    lambda reg, tr: reg.delivery_eligibility("r1", "m1", tr),
    lambda reg, tr: reg.guarded_claim("r1", "m1", tr),
    lambda reg, tr: reg.record_failed_settlement("r1", "m1", "e", tr, True),
    lambda reg, tr: reg.confirm_settlement("r1", "m1", "0", tr),
    lambda reg, tr: reg.record_processed_settlement("r1", "m1"),
    lambda reg, tr: reg.pending_settlement("r1", "m1"),
], ids=["eligibility", "guarded_claim", "failed_settlement", "confirm", "processed_settlement", "pending"])
def test_tracker_and_registry_used_from_finalizers_while_held(operation):
    """The collector runs finalizers whenever the call allocates; those that
    land while the registry (or, through it, the tracker) is held meet the
    guard, the others run; the counts then add up exactly."""
    reg, tracker = core.ClaimRegistry(), core.RetryTracker(5)
    log = []
    old = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1, 1, 1)
    try:
        for i in range(300):
            Finalizer("attempt", f"gc{i % 7}", tracker.record_attempt, log)
            Finalizer("claim", f"m{i % 5}", lambda m: reg.try_claim("gc", m), log)
            Finalizer("read", "m1", tracker.is_permanently_failed, log)
            surface.attempt(operation, reg, tracker)
    finally:
        gc.set_threshold(*old)
        gc.collect()
    assert len(log) == 900
    for _, _, outcome in log:
        assert not raised(outcome) or borrow_error(outcome), outcome
    # Every record_attempt that ran counted exactly once, in order.
    for k in range(7):
        ran = [o for kind, key, o in log if kind == "attempt" and key == f"gc{k}" and not raised(o)]
        assert [attempts for attempts, _ in ran] == list(range(1, len(ran) + 1))
        assert tracker.record_attempt(f"gc{k}")[0] == len(ran) + 1
    # Exactly the first claim that ran won, per message.
    claimed = set()
    for k in range(5):
        ran = [o for kind, key, o in log if kind == "claim" and key == f"m{k}" and not raised(o)]
        assert ran[:1] in ([], [True]) and not any(ran[1:])
        if ran:
            claimed.add(f"m{k}")
    assert set(reg.inflight_ids("gc")) == claimed


@pytest.mark.parametrize("name, args", [
    ("record_failed_settlement", ("r1", "m1", "e", "TRACKER", True)),
    ("record_processed_settlement", ("r1", "m1")),
    ("pending_settlement", ("r1", "m2")),
    ("inflight_ids", ("gc",)),
])
def test_finalizers_run_inside_a_call_meet_the_guard(name, args):
    # Garbage piles up with the collector off; switched back on, the first
    # allocation the call makes runs the collection, and with it finalizers
    # that use the registry and the tracker while the call holds them. (From
    # 3.12 the interpreter defers collection to its next safe point, after
    # the call: then they simply run.)
    reg, tracker = core.ClaimRegistry(), core.RetryTracker(5)
    reg.remember_ack_pending("r1", "m2")
    log = []
    args = tuple(tracker if a == "TRACKER" else a for a in args)
    call = getattr(reg, name)
    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        for k in range(20):
            Finalizer("attempt", "gc", tracker.record_attempt, log)
            Finalizer("claim", f"m{k}", lambda m: reg.try_claim("gc", m), log)
            Finalizer("read", "r1", reg.pending_ack_ids, log)
        gc.set_threshold(1)
        gc.enable()
        result = call(*args)
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
        gc.collect()
    assert len(log) == 60
    assert all(not raised(o) or borrow_error(o) for _, _, o in log)
    refused = [(kind, o[2]) for kind, _, o in log if borrow_error(o)]
    if sys.version_info < (3, 12):
        exclusive = name != "pending_settlement" and name != "inflight_ids"
        expected = {("attempt", "Already borrowed"), ("claim", "Already borrowed")}
        if exclusive:
            expected.add(("read", "Already mutably borrowed"))
        # The tracker is held only by the calls that take it.
        if name != "record_failed_settlement":
            expected.discard(("attempt", "Already borrowed"))
        assert set(refused) == expected
    # What ran, counted exactly.
    attempts = [o for kind, _, o in log if kind == "attempt" and not raised(o)]
    assert tracker.record_attempt("gc")[0] == len(attempts) + 1
    claims = {key for kind, key, o in log if kind == "claim" and o is True}
    assert set(reg.inflight_ids("gc")) == claims
    if name == "inflight_ids" and sys.version_info < (3, 12):
        assert result == []  # the claims made from inside the call were refused


def test_provider_cycle_is_collected():
    # roster -> provider -> roster: only the collector can free it, which
    # needs the roster's traversal. The provider's finalizer tells.
    freed = []

    class Provider:
        def __call__(self):
            return str(len(self.roster.list()))

        def __del__(self):
            freed.append(True)

    provider = Provider()
    roster = core.ParticipantRoster(trace_context_provider=provider)
    provider.roster = roster
    roster.set_all([{"id": "a"}])
    del roster, provider
    gc.collect()
    assert freed == [True]


# ------------------------------------------------------------ threads

def test_other_threads_meet_the_guard_while_a_callback_runs():
    # A conversion hook runs Python code, and the interpreter may switch
    # threads in the middle of it. Another thread using the same object then
    # meets the guard (or runs between the calls); nothing else can happen.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for owner in sorted({t.owner for t, _, _ in NUMBER_PARAMS}):
            row = surface.STATEFUL[owner]
            obj = row.make()
            stop = threading.Event()
            seen = []

            def hammer(obj=obj, owner=owner):
                calls = reentrant_calls(owner)
                while not stop.is_set():
                    for _, call in calls:
                        seen.append(surface.attempt(call, obj))

            worker = threading.Thread(target=hammer)
            worker.start()
            try:
                for target, param, hook in [x for x in NUMBER_PARAMS if x[0].owner == owner]:
                    valid = surface.VALID[param.name]()

                    def slow(_self, valid=valid):
                        # Let the other thread make a few calls while this
                        # call is in the middle of reading its arguments.
                        start, deadline = len(seen), time.monotonic() + 2.0
                        while len(seen) < start + 3 and time.monotonic() < deadline:
                            time.sleep(0.0001)
                        return valid

                    args, kwargs = target.valid_call({param.name: type("Slow", (), {hook: slow})()})
                    for _ in range(5):
                        outcome = surface.attempt(getattr(obj, target.name), *args, **kwargs)
                        assert not raised(outcome) or outcome[1] in ("TypeError", "ValueError", "OverflowError"), \
                            (target.label, outcome)
            finally:
                stop.set()
                worker.join()
            for outcome in seen:
                assert not raised(outcome) or outcome[1] != "RuntimeError" or borrow_error(outcome), outcome
            assert any(borrow_error(o) for o in seen), f"{owner}: the other thread never met the guard"
            row.snapshot(obj)
    finally:
        sys.setswitchinterval(old)

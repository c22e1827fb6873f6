"""The public surface of orvu_sdk_core as data, for the hardening tests and
scripts/leak_check.py.

Callables are found by introspection (``__all__``, the classes' methods and
their text signatures), so a class or function that lands later is covered
without touching this file, as long as its parameter names appear in
``VALID`` (``test_hostile_input`` fails for a name that does not).

Stateful classes get one row in ``STATEFUL``:

* ``make()`` builds an instance with some history, deterministically;
* ``snapshot(obj)`` reads its observable state through reading calls only;
* ``probe(obj)`` runs a fixed script of changing calls and returns their
  results, which exposes state that no reading call shows (ticket and token
  counters, attempt counts, ...). Comparing the probe of an object with the
  probe of a twin that has the same history shows whether a call changed
  anything.
"""

import dataclasses
import inspect
import math
from typing import Any, Callable

import orvu_sdk_core as core


def has(*names):
    """Every name is registered: a missing one fails the caller, never skips it."""
    missing = [n for n in names if not hasattr(core, n)]
    assert not missing, f"orvu_sdk_core does not register {missing}"
    return True


def is_enum_class(cls):
    return isinstance(cls, type) and ("value" in vars(cls) or "wire_name" in vars(cls))


# Classes that are only ever returned by the module: no constructor, so no
# text signature in their docstring.
RESULT_CLASSES = {name for name in core.__all__
                  if isinstance(cls := getattr(core, name), type) and not is_enum_class(cls)
                  and cls.__text_signature__ is None}


def default_config():
    return {
        "base_delay_s": 1.0, "factor": 2.0, "max_delay_s": 30.0, "stable_reset_s": 60.0,
        "rapid_disconnect_uptime_s": 10.0, "rapid_window_s": 300.0, "rapid_first_min_delay_s": 1.0,
        "rapid_second_min_delay_s": 5.0, "rapid_cooldown_base_s": 10.0, "rapid_cooldown_step_s": 10.0,
        "rapid_cooldown_max_s": 60.0, "rapid_threshold": 10, "heartbeat_interval_s": 30.0,
        "dead_threshold_s": 60.0,
    }


# A well-typed value for every parameter name of the public surface. Values
# are callables so that every use gets a fresh object.
VALID: dict[str, Callable[[], Any]] = {
    # functions
    "close_code": lambda: 1006,
    "status": lambda: 429,
    "event_type": lambda: "message_created",
    "raw": lambda: {"id": "m1", "room_id": "r1", "content": "hi"},
    "payload": lambda: {"id": "m1", "room_id": "r1", "sender_id": "s1", "sender_type": "User"},
    "trace_context": lambda: "tc-1",
    "room_id": lambda: "r1",
    "message_id": lambda: "m1",
    "agent_id": lambda: "a1",
    "sender_id": lambda: "s1",
    "sender_type": lambda: "User",
    "candidate": lambda: {"id": "m1", "sender_id": "s1", "sender_type": "User"},
    "seen_ids": lambda: ["m1", "m2"],
    "succeeded": lambda: True,
    "triggering_message_id": lambda: "m1",
    "next_message_id": lambda: "m2",
    "authorized_senders": lambda: {"s1", "s2"},
    "system": lambda: "working",
    "memory_type": lambda: "episodic",
    "name": lambda: "reply",
    # AgentFailure
    "provider": lambda: "llm",
    "message": lambda: "failed",
    "code": lambda: "E1",
    "detail": lambda: {"retry": True, "n": [1, 2]},
    # session
    "config": default_config,
    "policy": lambda: core.SessionPolicy.default(),
    "now_s": lambda: 100.0,
    "epoch": lambda: 0,
    "jitter_sample": lambda: 0.5,
    "retry_after_s": lambda: 2.0,
    "retryable": lambda: True,
    # ledger
    "max_completed": lambda: 3,
    "max_retries": lambda: 2,
    "max_tracked": lambda: 4,
    "error": lambda: "boom",
    "reason": lambda: core.ParkedReason.Rejected,
    "token": lambda: "0",
    "retry_tracker": lambda: core.RetryTracker(),
    "allow_retry": lambda: True,
    "self_echo": lambda: False,
    "durably_processed": lambda: False,
    "durably_failed": lambda: False,
    "allow_failed_retry": lambda: True,
    "facts": lambda: False,
    # membership
    "topic": lambda: "agent_rooms:a1",
    "ticket": lambda: 0,
    "joined": lambda: True,
    "outcome": lambda: core.LeaveOutcome.Left,
    "chat_room_left": lambda: True,
    "passes_filter": lambda: True,
    "current_room_ids": lambda: ["r1", "r3"],
    "participant": lambda: {"id": "p1", "name": "Ann", "type": "User"},
    "participant_id": lambda: "p1",
    "participants": lambda: [{"id": "p1", "name": "Ann"}, {"id": "p4"}],
    "trace_context_provider": lambda: (lambda: "tc-provided"),
    # asks
    "max_pending": lambda: 3,
    "seed": lambda: 7,
    "key": lambda: "k1",
    # turns
    "effect": lambda: core.TurnEffect.Act,
}


@dataclasses.dataclass
class Target:
    """One public callable: a function, a constructor, a method or a static method."""

    kind: str  # "function", "constructor", "method", "static"
    owner: str  # class name, or "" for a module function
    name: str
    signature: inspect.Signature

    @property
    def label(self):
        return f"{self.owner}.{self.name}" if self.owner else self.name

    @property
    def params(self):
        return [p for p in self.signature.parameters.values() if p.name != "self"]

    def resolve(self, instance=None):
        if self.kind == "function":
            return getattr(core, self.name)
        cls = getattr(core, self.owner)
        if self.kind == "constructor":
            return cls
        if self.kind == "static":
            return getattr(cls, self.name)
        return getattr(instance, self.name)

    def valid_call(self, overrides=None):
        """(args, kwargs) with well-typed values, `overrides` by parameter name."""
        overrides = overrides or {}
        args, kwargs = [], {}
        for p in self.params:
            if p.kind is p.VAR_POSITIONAL:
                continue
            if p.kind is p.VAR_KEYWORD:
                kwargs.update(overrides.get(p.name, {}))
                continue
            if p.name in overrides:
                value = overrides[p.name]
            elif p.default is not p.empty:
                continue
            else:
                value = VALID[p.name]()
            if p.kind is p.KEYWORD_ONLY:
                kwargs[p.name] = value
            else:
                args.append(value)
        # Positional parameters after an omitted default must go by keyword.
        return self._positional_safe(args, kwargs, overrides)

    def _positional_safe(self, args, kwargs, overrides):
        out_args, out_kwargs = [], dict(kwargs)
        values = iter(args)
        gap = False
        for p in self.params:
            if p.kind not in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD):
                continue
            given = p.name in overrides or p.default is p.empty
            if not given:
                gap = True
                continue
            value = next(values)
            if gap:
                out_kwargs[p.name] = value
            else:
                out_args.append(value)
        return out_args, out_kwargs


def _signature(obj):
    try:
        return inspect.signature(obj)
    except (TypeError, ValueError):
        return None


def targets():
    """Every public callable of the module as it is built now."""
    found = []
    for name in core.__all__:
        obj = getattr(core, name)
        if not isinstance(obj, type):
            found.append(Target("function", "", name, _signature(obj)))
            continue
        if not is_enum_class(obj) and name not in RESULT_CLASSES:
            found.append(Target("constructor", name, "__new__", _signature(obj)))
        for attr, raw in vars(obj).items():
            if attr.startswith("_"):
                continue
            if isinstance(raw, staticmethod):
                found.append(Target("static", name, attr, _signature(getattr(obj, attr))))
            elif callable(raw) and not isinstance(raw, obj):
                found.append(Target("method", name, attr, _signature(raw)))
    return found


def properties(cls):
    return [k for k, v in vars(cls).items() if inspect.isgetsetdescriptor(v) or isinstance(v, property)]


def plain(value):
    """A comparable rendering of a result: module objects become their properties."""
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    for base in (str, int, float):
        # A result carries plain values: a subclass instance (the caller's
        # own object handed back) renders differently from its value.
        if isinstance(value, base) and type(value) is not base and type(value) is not bool:
            return ("instance of", type(value).__name__)
    if isinstance(value, (list, tuple)):
        return type(value)(plain(v) for v in value)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    cls = type(value)
    if getattr(cls, "__module__", None) == "orvu_sdk_core":
        if is_enum_class(cls):
            return repr(value)
        return (cls.__name__, {p: plain(getattr(value, p)) for p in properties(cls)})
    return value


def attempt(fn, *args, **kwargs):
    """The result of a call, or its exception type and text, rendered plainly."""
    try:
        return plain(fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the probe records whatever happens
        return ("raised", type(exc).__name__, str(exc))


def optional(obj, method, *args, **kwargs):
    """Calls `method` when this build has it (subsystems land piece by piece)."""
    fn = getattr(obj, method, None)
    return attempt(fn, *args, **kwargs) if fn is not None else ("absent", method)


# ---------------------------------------------------------------- per class

ROOMS = ["r1", "r2", "r3", ""]
MESSAGES = ["m0", "m1", "m2", "m3", "m4"]


def make_claim_registry():
    reg = core.ClaimRegistry(3)
    tracker = core.RetryTracker(3)
    reg.try_claim("r1", "m1")
    reg.try_claim("r2", "m1")
    for m in ("m0", "m2", "m3", "m4"):
        reg.remember_completed("r1", m)
    optional(reg, "remember_ack_pending", "r2", "m2")
    optional(reg, "remember_failed_ack_pending", "r2", "m3", "boom")
    optional(reg, "park_ack", "r2", "m3", core.ParkedReason.NotFound)
    optional(reg, "record_ack_retry", "r2", "m2")
    tracker.record_attempt("m4")
    optional(reg, "record_failed_settlement", "r3", "m4", "late", tracker, True)
    return reg


def snapshot_claim_registry(reg):
    state = {"max_completed": reg.max_completed}
    for r in ROOMS:
        state[r] = (
            sorted(reg.inflight_ids(r)),
            reg.completed_ids(r),
            optional(reg, "pending_ack_ids", r),
            optional(reg, "has_retryable_settlement", r),
            [optional(reg, "pending_ack", r, m) for m in MESSAGES],
            [optional(reg, "pending_settlement", r, m) for m in MESSAGES],
        )
    return state


def probe_claim_registry(reg):
    tracker = core.RetryTracker(3)
    out = []
    for r in ROOMS:
        for m in MESSAGES:
            out.append(attempt(reg.is_completed, r, m))
            out.append(optional(reg, "record_ack_retry", r, m))
            out.append(optional(reg, "delivery_eligibility", r, m, tracker))
            out.append(attempt(reg.try_claim, r, m))
    out.append(optional(reg, "record_processed_settlement", "r9", "new"))  # shows the token counter
    out.append(optional(reg, "unpark_acks", "r2"))
    out.append(snapshot_claim_registry(reg))
    return out


def make_retry_tracker():
    tracker = core.RetryTracker(2, 4)
    tracker.record_attempt("m1")
    tracker.record_attempt("m1")
    tracker.record_attempt("m2")
    tracker.mark_permanently_failed("m3")
    return tracker


def budget_view(tracker, m):
    # The attempt records are visible only through a claim registry's budget
    # lookup, which reads the tracker without changing it.
    if not hasattr(core, "ClaimRegistry") or not hasattr(core.ClaimRegistry, "record_failed_settlement"):
        return None
    return attempt(core.ClaimRegistry().record_failed_settlement, "r", m, "e", tracker, True)


def snapshot_retry_tracker(tracker):
    return {
        "max_retries": tracker.max_retries,
        "failed": [tracker.is_permanently_failed(m) for m in MESSAGES],
        "budget": [budget_view(tracker, m) for m in MESSAGES],
    }


def probe_retry_tracker(tracker):
    out = []
    for m in MESSAGES + ["new1", "new2", "new3"]:
        out.append(attempt(tracker.record_attempt, m))
    out.append(attempt(tracker.discard_attempt, "m1"))
    out.append(attempt(tracker.record_attempt, "m1"))
    out.append(snapshot_retry_tracker(tracker))
    return out


def make_session():
    s = core.Session(core.SessionPolicy.default())
    s.begin_attempt(1.0)
    s.on_connected(0, 2.0)
    s.on_socket_close(0, 3.0, 1006, 0.5)
    s.begin_attempt(5.0)
    return s


def snapshot_session(s):
    return {"state": repr(s.state)}


def probe_session(s):
    out = [
        attempt(s.on_connected, 1, 6.0),
        attempt(s.on_socket_close, 1, 7.0, 1006, 0.25),
        attempt(s.begin_attempt, 20.0),
        attempt(s.on_upgrade_rejected, 2, 21.0, 429, None, 0.5),
        attempt(s.begin_attempt, 30.0),
        attempt(s.on_connected, 3, 31.0),
        attempt(s.on_supersede, 32.0, True, None, 1.0),
        attempt(s.begin_attempt, 40.0),
        attempt(s.on_socket_close, 0, 41.0, 1006, 0.5),
    ]
    out.append(snapshot_session(s))
    return out


TOPICS = ["agent_rooms:a1", "agent_control:a1", "agent_contacts:a1", ""]


def make_subscription_tracker():
    t = core.SubscriptionTracker()
    k = t.begin_room_subscribe("r1")
    t.record_both_room_topics_joined("r1", k)
    t.begin_room_subscribe("r2")
    k = t.begin_room_subscribe("r3")
    t.record_both_room_topics_joined("r3", k)
    t.unsubscribe_room("r3")
    k = optional(t, "begin_agent_topic_join", "agent_rooms:a1")
    optional(t, "record_agent_topic_join", "agent_rooms:a1", k, True)
    optional(t, "begin_agent_topic_join", "agent_control:a1")
    return t


def snapshot_subscription_tracker(t):
    return {
        "rooms": [(repr(t.room_status(r)), t.is_room_subscribed(r),
                   [t.is_room_claim_current(r, k) for k in range(8)]) for r in ROOMS],
        "subscribed": t.subscribed_room_ids(),
        "rejoin": t.room_rejoin_candidates(),
        "topics": [(optional(t, "agent_topic_status", x), optional(t, "is_agent_topic_joined", x),
                    [optional(t, "is_agent_topic_claim_current", x, k) for k in range(8)]) for x in TOPICS],
        "joined": optional(t, "joined_agent_topics"),
        "topic_rejoin": optional(t, "agent_topic_rejoin_candidates"),
    }


def probe_subscription_tracker(t):
    out = [attempt(t.begin_room_subscribe, "fresh")]  # shows the ticket counter
    for r in ROOMS:
        out.append(attempt(t.unsubscribe_room, r))
        for k in range(8):
            out.append(attempt(t.mark_room_leave_complete, r, k, core.LeaveOutcome.Failed))
            out.append(attempt(t.record_both_room_topics_joined, r, k))
        out.append(attempt(t.acknowledge_room_reconciled, r))
    for x in TOPICS:
        out.append(optional(t, "leave_agent_topic", x))
        out.append(optional(t, "acknowledge_agent_topic_reconciled", x))
    out.append(snapshot_subscription_tracker(t))
    return out


def make_room_roster():
    rr = core.RoomRoster()
    k = rr.begin_room_admission("r1", True)
    rr.record_room_admission("r1", k, True)
    rr.begin_room_admission("r2", True)
    k = rr.begin_room_admission("r3", True)
    rr.record_room_admission("r3", k, True)
    return rr


def snapshot_room_roster(rr):
    return {
        "membership": [(repr(rr.room_membership(r)), [rr.is_room_admission_current(r, k) for k in range(6)])
                       for r in ROOMS],
        "tracked": rr.tracked_room_ids(),
    }


def probe_room_roster(rr):
    out = [attempt(rr.begin_room_admission, "fresh", True)]
    for r in ROOMS:
        for k in range(6):
            out.append(attempt(rr.record_room_admission, r, k, True))
    out.append(attempt(rr.reconcile, ["r1", "r4"]))
    out.append(snapshot_room_roster(rr))
    out.append(attempt(rr.clear))
    return out


def make_participant_roster():
    pr = core.ParticipantRoster()
    pr.add({"id": "p1", "name": "Ann", "type": "User"})
    pr.add({"id": "p2", "handle": "@b"})
    pr.mark_sent()
    pr.add({"id": "p3", "description": ""})
    return pr


def snapshot_participant_roster(pr):
    return {"list": pr.list(), "changed": pr.changed()}


def probe_participant_roster(pr):
    # changed() against edits that undo each other shows the sent snapshot.
    out = [snapshot_participant_roster(pr)]
    out.append(attempt(pr.remove, "p3"))
    out.append(snapshot_participant_roster(pr))
    out.append(attempt(pr.add, {"id": "p2", "name": "Bea"}))
    out.append(snapshot_participant_roster(pr))
    out.append(attempt(pr.set_all, [{"id": "p2"}, {"id": "p1"}]))
    out.append(snapshot_participant_roster(pr))
    return out


def make_decision_registry():
    d = core.DecisionRegistry(max_pending=4, seed=7)
    d.register_minted("r1")
    d.register_keyed("k1")
    d.try_claim("k1", 1)
    d.register_minted(None)
    d.register_minted("r2")
    return d


def snapshot_decision_registry(d):
    return {
        "max_pending": d.max_pending,
        "unclaimed": d.unclaimed(),
        "count": d.unclaimed_count(),
        "oldest": d.oldest_unclaimed(),
        "rooms": [d.unclaimed_in_room(r) for r in ROOMS],
    }


def probe_decision_registry(d):
    out = [attempt(d.register_minted, "r1"), attempt(d.register_keyed, "k2")]  # rng and ticket counter
    for tok in d.unclaimed() + ["k1"]:
        for k in range(6):
            out.append(attempt(d.try_claim, tok, k))
    out.append(attempt(d.evict_oldest))
    out.append(attempt(d.cancel_room, "r1"))
    out.append(attempt(d.cancel_all))
    return out


def make_turn_ledger():
    t = core.TurnLedger()
    t.record(core.TurnEffect.Observe)
    return t


def snapshot_turn_ledger(t):
    return {"reply_settled": t.reply_settled(), "verdict": repr(t.verdict())}


def probe_turn_ledger(t):
    out = [snapshot_turn_ledger(t)]
    for e in ("Act", "Decline", "Reply"):
        out.append(attempt(t.record, getattr(core.TurnEffect, e)))
        out.append(snapshot_turn_ledger(t))
    out.append(attempt(t.settle))
    out.append(snapshot_turn_ledger(t))
    return out


def make_policy():
    config = default_config()
    config["base_delay_s"] = 0.25
    return core.SessionPolicy(config)


def snapshot_policy(p):
    return {"heartbeat": p.heartbeat_interval_s, "dead": p.dead_threshold_s}


def probe_policy(p):
    # A policy shows its backoff numbers only through a session.
    s = core.Session(p)
    out = [attempt(s.begin_attempt, 1.0)]
    for i in range(4):
        out.append(attempt(s.on_socket_close, i, 2.0 + i, 1006, 1.0))
        out.append(attempt(s.begin_attempt, 3.0 + i))
    return out


def make_agent_failure():
    return core.AgentFailure("llm", "failed", "E1", {"b": [1, 2.5, None], "a": "x"})


def snapshot_agent_failure(f):
    return {"dict": f.to_dict(), "ext": f.to_extension_data()}


@dataclasses.dataclass
class Stateful:
    make: Callable[[], Any]
    snapshot: Callable[[Any], Any]
    probe: Callable[[Any], Any]


STATEFUL = {
    "ClaimRegistry": Stateful(make_claim_registry, snapshot_claim_registry, probe_claim_registry),
    "RetryTracker": Stateful(make_retry_tracker, snapshot_retry_tracker, probe_retry_tracker),
    "Session": Stateful(make_session, snapshot_session, probe_session),
    "SubscriptionTracker": Stateful(make_subscription_tracker, snapshot_subscription_tracker,
                                    probe_subscription_tracker),
    "RoomRoster": Stateful(make_room_roster, snapshot_room_roster, probe_room_roster),
    "ParticipantRoster": Stateful(make_participant_roster, snapshot_participant_roster, probe_participant_roster),
    "DecisionRegistry": Stateful(make_decision_registry, snapshot_decision_registry, probe_decision_registry),
    "TurnLedger": Stateful(make_turn_ledger, snapshot_turn_ledger, probe_turn_ledger),
    "SessionPolicy": Stateful(make_policy, snapshot_policy, probe_policy),
    "AgentFailure": Stateful(make_agent_failure, snapshot_agent_failure, snapshot_agent_failure),
}


def make_instance(cls_name):
    """An instance for calling methods on: a populated one for stateful classes."""
    cls = getattr(core, cls_name)
    if cls_name in STATEFUL:
        return STATEFUL[cls_name].make()
    if is_enum_class(cls):
        return next(v for v in vars(cls).values() if isinstance(v, cls))
    return None


def method_instance_available(target):
    """Whether this build has what building an instance of the target's class needs."""
    needs = {
        "Session": ("SessionPolicy",),
        "SessionPolicy": ("Session",),
        "ClaimRegistry": ("RetryTracker", "ParkedReason"),
    }
    return has(*needs.get(target.owner, ()))

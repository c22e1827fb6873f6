#!/usr/bin/env python3
"""Leak check: runs every public operation of orvu_sdk_core many thousands of
times, with valid arguments and along its error paths, and reports growth of
Python-level allocations (tracemalloc), of the reference counts of the
module's long-lived objects (classes and enumeration members), and of the
process's resident memory. Also checks that reference cycles through a
participant roster's trace-context provider are collected.

Exits 1 when any growth exceeds its noise threshold. It is a check, not a
benchmark: the numbers it prints are sizes, never times.

    python scripts/leak_check.py [--iterations N] [--rounds R] [--only NAME]
"""

import argparse
import gc
import os
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import orvu_sdk_core as core  # noqa: E402

import hostile  # noqa: E402
import surface  # noqa: E402

# Error paths exercised for every argument: wrong types, out-of-range and
# non-finite numbers, unencodable text, objects that raise while converted,
# self-reference and deep nesting.
ERROR_RECIPES = [
    "none", "object", "int_2_200", "int_2_64", "minus_one", "float_nan", "float_inf", "str_lone_surrogate",
    "str_sub", "index_raises", "index_huge", "float_nan_obj", "iter_raises", "mapping_keys_raise", "dict_int_key",
    "self_dict", "generator_fails", "bytes", "wrong_enum", "deep_list",
]

# Bytes of Python allocations a workload may leave behind after its warm-up
# (interpreter caches, free lists); one leaked object per call is far above it.
TRACEMALLOC_LIMIT = 16 * 1024
# Resident memory growth allowed between the second and the last round.
RSS_LIMIT = 8 * 1024 * 1024
# A stateful instance is rebuilt this often, so that state the host keeps on
# purpose (pending asks, in-flight claims) does not pass for a leak.
REBUILD_EVERY = 50

_deep = {}


def recipe(name):
    if name.startswith("deep_"):
        if name not in _deep:
            _deep[name] = hostile.RECIPES[name]()
        return _deep[name]
    return hostile.RECIPES[name]()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def module_refcounts():
    """Reference counts of the classes and enumeration members: an operation
    that returns a member with one reference too many makes these drift."""
    counts = {}
    for name in core.__all__:
        obj = getattr(core, name)
        counts[name] = sys.getrefcount(obj)
        if isinstance(obj, type):
            for attr, value in vars(obj).items():
                if isinstance(value, obj):
                    counts[f"{name}.{attr}"] = sys.getrefcount(value)
    return counts


def target_workload(target):
    """One pass over every case of a target: the valid call, then every
    error recipe in every argument position."""
    overrides = [None]
    for p in target.params:
        for name in ERROR_RECIPES:
            overrides.append((p, name))
    row = surface.STATEFUL.get(target.owner) if target.kind == "method" else None
    state = {"obj": None, "uses": 0}

    def instance():
        if target.kind != "method":
            return None
        if state["obj"] is None or state["uses"] >= REBUILD_EVERY:
            state["obj"] = row.make() if row else surface.make_instance(target.owner)
            state["uses"] = 0
        state["uses"] += 1
        return state["obj"]

    def run(iterations):
        for _ in range(iterations):
            for case in overrides:
                if case is None:
                    args, kwargs = target.valid_call()
                else:
                    p, name = case
                    value = recipe(name)
                    if p.kind is p.VAR_KEYWORD:
                        value = {"self_echo": value}
                    args, kwargs = target.valid_call({p.name: value})
                try:
                    target.resolve(instance())(*args, **kwargs)
                except (TypeError, ValueError, OverflowError, RuntimeError, hostile.Boom):
                    pass
        state["obj"] = None

    return run


# ------------------------------------------------------------ scenarios

def scenario_provider_cycles(iterations):
    freed = [0]

    class Provider:
        def __call__(self):
            return str(len(self.roster.list()))  # re-enters: refused, discarded

        def __del__(self):
            freed[0] += 1

    for _ in range(iterations):
        provider = Provider()
        roster = core.ParticipantRoster(trace_context_provider=provider)
        provider.roster = roster
        roster.set_all([{"id": "a"}, {"id": "b", "name": "B"}])
        try:
            roster.set_all([{"id": "a"}, {"id": "a"}])
        except ValueError:
            pass
        del provider, roster
    gc.collect()
    if freed[0] != iterations:
        raise AssertionError(f"provider cycles not collected: {iterations - freed[0]} of {iterations} left")


def scenario_reentrant_generator(iterations):
    roster = core.ParticipantRoster()

    def participants():
        yield {"id": "p1"}
        roster.add({"id": "p2"})  # "Already borrowed"

    for _ in range(iterations):
        try:
            roster.set_all(participants())
        except RuntimeError:
            pass


def scenario_ledger_lifecycle(iterations):
    reg, tracker = core.ClaimRegistry(20), core.RetryTracker(2, 50)
    for i in range(iterations):
        m = f"m{i % 97}"
        if reg.guarded_claim("r", m, tracker) == "runnable":
            tracker.record_attempt(m)
            if i % 3:
                s = reg.record_processed_settlement("r", m, "tc")
            else:
                s = reg.record_failed_settlement("r", m, "boom", tracker, True, "tc")
            if i % 5 == 0:
                reg.park_settlement("r", m, s["token"], core.ParkedReason.Rejected)
                reg.unpark_acks("r")
            reg.confirm_settlement("r", m, s["token"], tracker)
            reg.release("r", m)
        try:
            reg.remember_failed_ack_pending("r", "x", "one")
            reg.remember_failed_ack_pending("r", "x", "two", "tc")
        except ValueError:
            pass
        reg.remember_completed("r", "x")


def scenario_session_lifecycle(iterations):
    policy = core.SessionPolicy.default()
    session = core.Session(policy)
    now = 0.0
    for i in range(iterations):
        epoch = session.begin_attempt(now)
        if epoch is None:
            session = core.Session(policy)
            continue
        session.on_connected(epoch, now + 0.5)
        session.on_socket_close(epoch + 1, now + 0.6, 1006, 0.5)  # stale
        session.on_socket_close(epoch, now + 1.0, 1006 if i % 4 else 1000, 0.5)
        now += 100.0
    try:
        core.SessionPolicy(dict(surface.default_config(), base_delay_s=100.0, max_delay_s=1.0), "tc")
    except ValueError:
        pass


def scenario_validation_errors(iterations):
    bad = {"id": 5, "sender_name": [], "metadata": {"mentions": [{"id": 3}]}}
    for _ in range(iterations):
        for event in ("message_created", "participant_added", "room_added", "no_such_event"):
            try:
                core.validate_event_payload(event, bad, "tc")
            except ValueError:
                pass
        try:
            core.evaluate_delivery_event("message_created", None, bad, "a1", "tc")
        except ValueError:
            pass
        try:
            core.validate_memory_type_for_system("bogus", "nope", "tc")
        except ValueError:
            pass


_flood = {"next": 0, "objects": None}


def scenario_flood(iterations):
    # Ever-new ids into the bounded stores: resident memory must level off.
    if _flood["objects"] is None:
        _flood["objects"] = (core.ClaimRegistry(100), core.RetryTracker(0, 100))
    reg, tracker = _flood["objects"]
    for _ in range(iterations):
        for _ in range(100):
            n = _flood["next"] = _flood["next"] + 1
            m = f"flood-message-{n}"
            reg.remember_completed(f"room-{n % 3}", m)
            tracker.record_attempt(m)  # exhausted at once: also marked permanently failed
    if len(reg.completed_ids("room-0")) > 100:
        raise AssertionError("completed set beyond its bound")


SCENARIOS = {
    "scenario: provider cycles": (scenario_provider_cycles, ("ParticipantRoster",)),
    "scenario: re-entrant set_all": (scenario_reentrant_generator, ("ParticipantRoster",)),
    "scenario: ledger lifecycle": (scenario_ledger_lifecycle, ("ClaimRegistry", "RetryTracker", "ParkedReason")),
    "scenario: session lifecycle": (scenario_session_lifecycle, ("Session", "SessionPolicy")),
    "scenario: flood of distinct ids": (scenario_flood, ("ClaimRegistry", "RetryTracker")),
    "scenario: validation errors": (scenario_validation_errors,
                                    ("validate_event_payload", "evaluate_delivery_event",
                                     "validate_memory_type_for_system")),
}


def workloads():
    found = []
    for target in surface.targets():
        if target.kind == "method" and not surface.method_instance_available(target):
            continue
        found.append((target.label, target_workload(target), 1))
    for name, (fn, needs) in SCENARIOS.items():
        if surface.has(*needs):
            found.append((name, fn, 40))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=60,
                        help="passes over each target's cases per round (each pass is dozens of calls)")
    parser.add_argument("--rounds", type=int, default=4, help="rounds over all workloads, for resident memory")
    parser.add_argument("--only", help="run only workloads whose name contains this text")
    opts = parser.parse_args()

    chosen = [w for w in workloads() if not opts.only or opts.only in w[0]]
    failures = []
    started = time.monotonic()

    # Round 0 warms every cache up; tracemalloc then watches round 1 per
    # workload; resident memory is compared from round 2 to the last.
    for label, run, scale in chosen:
        run(5 * scale)
    gc.collect()

    refs_before = module_refcounts()
    tracemalloc.start()
    for label, run, scale in chosen:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        run(opts.iterations * scale)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
        flag = "ok"
        if growth > TRACEMALLOC_LIMIT:
            # Something that happens once (a cache filling up, a free list
            # growing) does not happen again: a leak does. Confirm, and show
            # where the memory went.
            # Growth must repeat in two more runs to count.
            again = []
            for _ in range(2):
                first = tracemalloc.take_snapshot()
                run(opts.iterations * scale)
                gc.collect()
                second = tracemalloc.take_snapshot()
                again.append(sum(d.size_diff for d in second.compare_to(first, "filename")))
            if min(again) > TRACEMALLOC_LIMIT:
                flag = "LEAK"
                failures.append(f"{label}: Python allocations grew by {growth}, then {again[0]} and {again[1]} bytes")
                for stat in second.compare_to(first, "lineno")[:3]:
                    print(f"     {stat}")
            else:
                flag = "once"
        print(f"{flag:4} {growth:>9} B  {label}")
    tracemalloc.stop()

    rss = []
    for r in range(1, opts.rounds + 1):
        for label, run, scale in chosen:
            run(opts.iterations * scale)
        gc.collect()
        rss.append(rss_bytes())
        print(f"round {r}: resident {rss[-1] / 2**20:.1f} MiB")
    if len(rss) >= 2 and rss[-1] - rss[0] > RSS_LIMIT:
        failures.append(f"resident memory grew by {(rss[-1] - rss[0]) / 2**20:.1f} MiB over {len(rss) - 1} rounds")

    gc.collect()
    refs_after = module_refcounts()
    drift = {k: refs_after[k] - refs_before[k] for k in refs_before if refs_after[k] != refs_before[k]}
    # Immortal objects (3.12+) report a fixed huge count; a drift of a few
    # references can come from caches; a leak per call drifts by thousands.
    leaked = {k: d for k, d in drift.items() if abs(d) > 64}
    if leaked:
        failures.append(f"reference counts of module objects drifted: {leaked}")
    print(f"module object reference drift: {drift or 'none'}")

    print(f"{len(chosen)} workloads in {time.monotonic() - started:.0f} s")
    if failures:
        print("FAILED:")
        for f in failures:
            print("  " + f)
        return 1
    print("no leaks found")
    return 0


if __name__ == "__main__":
    sys.exit(main())

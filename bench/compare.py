"""Prints, in one run, what the native core costs next to the call floor,
msgspec and plain Python, and whether the speed targets hold.

Every row is timed the same way: a Python loop over a prepared list runs the
operation once per item, the loop is repeated, and the median CPU time per
item is reported. The call floor is `isinstance(s, str)` in that same loop, so
each ratio says how many "cheapest possible calls" an operation costs.

Rows: message validation (typical and 64 KiB content with 200 mentions) and
routing, the other stateless decisions (close and upgrade classification,
the self-echo rule, the drain step, the adapter and next-message decisions,
ask senders); in a section of their own, one cycle of every stateful class
(the delivery ledger's lifecycle of one message among them) beside five
minimal calls into the module timed in the same run; the claim registry's per-room queries with one room and
with 10,000 other rooms holding entries, message ids crafted to collide
under a known hash next to random ones (bench_crafted.py), and the resident
memory of two million message ids over 10,000 rooms through the full
lifecycle.

A measurement, not a test: nothing is asserted. msgspec is optional (the
`bench` extra); without it its column is empty.

    python bench/compare.py            # full run, about a minute
    python bench/compare.py --quick    # smoke run, a few seconds
"""
import argparse
import os
import pathlib
import resource
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import bench_crafted  # noqa: E402
import plain  # noqa: E402
from bench_events import message  # noqa: E402
import orvu_sdk_core as native  # noqa: E402
from orvu_sdk_core import (  # noqa: E402
    ClaimRegistry, DecisionRegistry, LeaveOutcome, ParkedReason, ParticipantRoster, RetryTracker, RoomRoster, Session,
    SessionPolicy, SubscriptionTracker, TurnEffect, TurnLedger, evaluate_delivery_event, validate_event_payload,
)

try:
    import msgspec
except ImportError:  # the comparison column stays empty
    msgspec = None


# ---------------------------------------------------------------------------
# Timing

# CPU time of this thread: while the machine is shared, time spent waiting
# for a core would otherwise land in whichever sample it happened to hit.
clock = time.thread_time


class Timer:
    def __init__(self, quick, floor_make):
        self.sample_s = 0.002 if quick else 0.02
        self.repeat = 3 if quick else 9
        self.floor_make = floor_make
        self.floor_size = None
        self.floor_samples = []

    @property
    def floor(self):
        """The call floor: the median of its samples, taken in turns with every other row."""
        return statistics.median(self.floor_samples)

    def calibrate(self, make):
        """A batch size for which one sample takes about `sample_s`."""
        n = 8
        while True:
            loop, items = make(n)
            start = clock()
            loop(items)
            elapsed = clock() - start
            if elapsed >= self.sample_s / 4 or n >= 1 << 20:
                return max(8, int(n * self.sample_s / max(elapsed, 1e-9)))
            n *= 2

    def medians(self, *makes):
        """Median seconds per item of each maker; `make(n)` returns (loop, items), loop(items) runs n operations.

        The samples of the makers are taken in turns, so that a burst of load
        from elsewhere on the machine falls on all of them alike.
        """
        if self.floor_size is None:
            self.floor_size = self.calibrate(self.floor_make)
        makes = (self.floor_make, *makes)
        sizes = [self.floor_size] + [self.calibrate(make) for make in makes[1:]]
        samples = [self.floor_samples] + [[] for _ in makes[1:]]
        for _ in range(self.repeat):
            for make, n, out in zip(makes, sizes, samples):
                loop, items = make(n)
                start = clock()
                loop(items)
                out.append((clock() - start) / n)
        return [statistics.median(s) for s in samples[1:]]


def same(item):
    """A maker whose items are all `item` (stateless operations)."""
    def make_with(loop):
        return lambda n: (loop, [item] * n)
    return make_with


# ---------------------------------------------------------------------------
# Payloads


TYPICAL = message("Hello @u0 and @u1, see attached.", 2)
LARGE = message("x" * 65536, 200)


def msgspec_schema():
    """The message fields as a Struct: the same checks a schema library makes."""
    class Mention(msgspec.Struct):
        id: str
        username: str | None = None
        handle: str | None = None
        name: str | None = None

    class Metadata(msgspec.Struct):
        mentions: list[Mention] | None = None

    class Message(msgspec.Struct):
        id: str
        content: str
        message_type: str
        sender_type: str
        sender_id: str
        inserted_at: str
        updated_at: str
        sender_name: str | None = None
        metadata: Metadata | None = None
        attachments: list | None = None

    return Message


# ---------------------------------------------------------------------------
# Rows


def loop_floor(items, f=isinstance, t=str):
    for s in items:
        f(s, t)


def validation_rows(timer):
    rows = []

    def native(items, f=validate_event_payload):
        for p in items:
            f("message_created", p)

    def python(items, f=plain.validate_message):
        for p in items:
            f(p)

    def route(items, f=evaluate_delivery_event):
        for p in items:
            f("message_created", None, p, "agent-1")

    spec_loop = None
    if msgspec is not None:
        schema = msgspec_schema()

        def spec_loop(items, convert=msgspec.convert, dump=msgspec.to_builtins, schema=schema):
            for p in items:
                dump(convert(p, schema))

    for label, payload in (("typical message", TYPICAL), ("64 KiB content, 200 mentions", LARGE)):
        make = same(payload)
        loops = [native, python, route][: 3 if payload is TYPICAL else 2] + ([spec_loop] if spec_loop else [])
        times = timer.medians(*map(make, loops)) + ([] if spec_loop else [None])
        spec_s = times[-1]
        rows.append(Row(f"validate_event_payload, {label}", times[0], times[1], spec_s))
        if payload is TYPICAL:
            rows.append(Row("evaluate_delivery_event, typical message", times[2], None, spec_s))
    return rows


# The stateless decision functions, each called with fixed arguments of a
# typical case: (label, name in both modules, arguments).
STATELESS = [
    ("classify_close", "classify_close", (1006,)),
    ("classify_upgrade", "classify_upgrade", (503,)),
    ("is_self_echo", "is_self_echo", ("u1", "User", "agent-1")),
    ("evaluate_drain_candidate, 5 seen ids", "evaluate_drain_candidate",
     ({"id": "m3", "sender_id": "u1", "sender_type": "User"}, ["m1", "m2", "m3", "m4", "m5"], "agent-1")),
    ("evaluate_adapter_result", "evaluate_adapter_result", ("room-1", "m1", True)),
    ("evaluate_next_message", "evaluate_next_message", ("m1", "m2")),
    ("is_authorized_sender, 2 senders", "is_authorized_sender", (frozenset({"u1", "u2"}), "u2")),
]


def fixed_call(f, args):
    """A maker whose loop makes the one call f(*args) per item, spelled out so that no unpacking is timed."""
    if len(args) == 1:
        (a,) = args

        def loop(items, f=f, a=a):
            for _ in items:
                f(a)
    elif len(args) == 2:
        a, b = args

        def loop(items, f=f, a=a, b=b):
            for _ in items:
                f(a, b)
    else:
        a, b, c = args

        def loop(items, f=f, a=a, b=b, c=c):
            for _ in items:
                f(a, b, c)
    return lambda n: (loop, [None] * n)


def stateless_rows(timer):
    rows = []
    for label, name, args in STATELESS:
        native_s, python_s = timer.medians(fixed_call(getattr(native, name), args),
                                           fixed_call(getattr(plain, name), args))
        rows.append(Row(label, native_s, python_s))
    return rows


# ---------------------------------------------------------------------------
# Stateful cycles: one cycle of every stateful class, each timed beside five
# minimal calls into the module, so that what the objects themselves cost
# shows apart from what any call costs.


def fresh_ids(prefix):
    """A maker of distinct ids, never repeated within the run."""
    counter = iter(range(1 << 62))

    def make(n):
        batch = next(counter)
        return [f"{prefix}{batch}-{i}" for i in range(n)]
    return make


def minimal_calls_make(registry):
    """Five calls of the cheapest method with the ledger's argument shape: two str, a bool back."""
    def loop(ids, r="room-1", f=registry.is_ack_pending):
        for m in ids:
            f(r, m)
            f(r, m)
            f(r, m)
            f(r, m)
            f(r, m)
    return lambda n: (loop, ["m"] * n)


def ledger_make(registry, tracker):
    """One message through the ledger: claimed, attempted, settled, confirmed and released."""
    ids = fresh_ids("m")

    def loop(items, r="room-1", claim=registry.guarded_claim, attempt=tracker.record_attempt,
             settle=registry.record_processed_settlement, confirm=registry.confirm_settlement,
             release=registry.release, tracker=tracker):
        for m in items:
            claim(r, m, tracker)
            attempt(m)
            confirm(r, m, settle(r, m)["token"], tracker)
            release(r, m)
    return lambda n: (loop, ids(n))


def failed_ledger_make(registry, tracker):
    """A failed message whose write is refused once, then accepted with a retry owed."""
    ids = fresh_ids("f")

    def loop(items, r="room-1", claim=registry.guarded_claim, attempt=tracker.record_attempt,
             settle=registry.record_failed_settlement, park=registry.park_settlement, unpark=registry.unpark_acks,
             confirm=registry.confirm_settlement, release=registry.release, tracker=tracker,
             reason=ParkedReason.Rejected):
        for m in items:
            claim(r, m, tracker)
            attempt(m)
            token = settle(r, m, "boom", tracker, True)["token"]
            park(r, m, token, reason)
            unpark(r)
            confirm(r, m, token, tracker)
            release(r, m)
    return lambda n: (loop, ids(n))


def retry_make(tracker):
    def loop(items, attempt=tracker.record_attempt, discard=tracker.discard_attempt, done=tracker.mark_success,
             failed=tracker.is_permanently_failed):
        for m in items:
            attempt(m)
            discard(m)
            attempt(m)
            failed(m)
            done(m)
    return lambda n: (loop, fresh_ids("t")(n))


def session_make(session):
    def loop(items, begin=session.begin_attempt, up=session.on_connected, close=session.on_socket_close):
        for _ in items:
            # Up for 100 s: a stable connection, so the cycle never reaches the rapid-disconnect end.
            e = begin(0.0)
            up(e, 0.0)
            close(e, 100.0, 1006, 0.5)
    return lambda n: (loop, [None] * n)


def subscription_make(tracker, left):
    def loop(items, begin=tracker.begin_room_subscribe, joined=tracker.record_both_room_topics_joined,
             leave=tracker.unsubscribe_room, done=tracker.mark_room_leave_complete):
        for room in items:
            done(room, leave(room), left) if joined(room, begin(room)) else None
    return lambda n: (loop, ["room-1"] * n)


def roster_make(roster):
    def loop(items, begin=roster.begin_room_admission, admitted=roster.record_room_admission,
             removed=roster.record_room_removed):
        for room in items:
            admitted(room, begin(room, True), True)
            removed(room)
    return lambda n: (loop, ["room-1"] * n)


def participants_make(roster):
    participant = {"id": "u1", "name": "Ada", "type": "User", "handle": "ada", "description": None}

    def loop(items, add=roster.add, changed=roster.changed, sent=roster.mark_sent, remove=roster.remove):
        for p in items:
            add(p)
            changed()
            sent()
            remove("u1")
    return lambda n: (loop, [participant] * n)


def asks_make(registry):
    def loop(items, mint=registry.register_minted, claim=registry.try_claim, forget=registry.forget):
        for room in items:
            token, ticket = mint(room)
            claim(token, ticket)
            forget(token, ticket)
    return lambda n: (loop, ["room-1"] * n)


def turn_make():
    def loop(items, new=TurnLedger, reply=TurnEffect.Reply, observe=TurnEffect.Observe):
        for _ in items:
            turn = new()
            turn.record(observe)
            turn.record(reply)
            turn.verdict()
    return lambda n: (loop, [None] * n)


def cycle_rows(timer):
    """(label, calls, native seconds, plain Python seconds or None) per cycle; the first row is the minimal calls."""
    python_ledger = (plain.ClaimRegistry(), plain.RetryTracker(1))
    cycles = [
        ("five minimal calls (is_ack_pending)", 5, minimal_calls_make(ClaimRegistry()), None),
        ("ledger lifecycle: guarded_claim, record_attempt, record_processed_settlement, confirm_settlement, "
         "release", 5, ledger_make(ClaimRegistry(), RetryTracker()), ledger_make(*python_ledger)),
        ("ledger, failed, retry owed: guarded_claim, record_attempt, record_failed_settlement, park_settlement, "
         "unpark_acks, confirm_settlement, release", 7,
         failed_ledger_make(ClaimRegistry(), RetryTracker(1 << 31)), None),
        ("retry budget: record_attempt, discard_attempt, record_attempt, is_permanently_failed, mark_success", 5,
         retry_make(RetryTracker()), None),
        ("session: begin_attempt, on_connected, on_socket_close", 3, session_make(Session(SessionPolicy.default())),
         session_make(plain.Session())),
        ("subscription: begin, both topics joined, unsubscribe, leave complete", 4,
         subscription_make(SubscriptionTracker(), LeaveOutcome.Left),
         subscription_make(plain.SubscriptionTracker(), "left")),
        ("room roster: begin_room_admission, record_room_admission, record_room_removed", 3,
         roster_make(RoomRoster()), None),
        ("participants: add, changed, mark_sent, remove", 4, participants_make(ParticipantRoster()), None),
        ("asks: register_minted, try_claim, forget", 3, asks_make(DecisionRegistry(seed=1)),
         asks_make(plain.DecisionRegistry(seed=1))),
        ("turn: TurnLedger(), record, record, verdict", 4, turn_make(), None),
    ]
    rows = []
    for label, calls, native_make, python_make in cycles:
        times = timer.medians(native_make, *([python_make] if python_make else []))
        rows.append((label, calls, times[0], times[1] if python_make else None))
    return rows


PER_ROOM = 5  # in-flight pairs, pending acknowledgements and completed ids of every room


def filled_registry(other_rooms):
    registry = ClaimRegistry()
    for r in [f"other-{k}" for k in range(other_rooms)] + ["r0"]:  # the measured room comes last
        for i in range(PER_ROOM):
            registry.try_claim(r, f"in-{i}")
            registry.remember_completed(r, f"done-{i}")
        for i in range(PER_ROOM):
            registry.remember_ack_pending(r, f"ack-{i}")
    return registry


def query_rows(timer, other_rooms):
    def query(method):
        def loop(items, f=method):
            for room in items:
                f(room)
        return lambda n: (loop, ["r0"] * n)

    def discard(registry):
        def loop(items, remember=registry.remember_completed, drop=registry.discard_completed):
            for room in items:
                remember(room, "done-0")
                drop(room)
        return lambda n: (loop, ["r0"] * n)

    alone, crowded = filled_registry(0), filled_registry(other_rooms)
    rows = []
    for name in ("inflight_ids", "completed_ids", "pending_ack_ids", "unpark_acks", "has_retryable_settlement"):
        rows.append(QueryRow(name, *timer.medians(query(getattr(alone, name)), query(getattr(crowded, name))),
                             other_rooms))
    rows.append(QueryRow("discard_completed (+ remember_completed)", *timer.medians(discard(alone), discard(crowded)),
                         other_rooms))
    return rows


# ---------------------------------------------------------------------------
# Payload validation in one pass: each payload next to the baseline, msgspec
# converting the same payload into the equivalent Struct and back to
# builtins (the module returns builtins too).

# 50 mentions whose `id` is a number: fifty findings in one payload.
FIFTY_ISSUES = dict(TYPICAL, metadata={"mentions": [{"id": i, "username": f"u{i}"} for i in range(50)]})


def one_pass_rows(timer):
    """(label, native seconds, baseline seconds or None) for each payload, and routing."""
    def validate(items, f=validate_event_payload):
        for p in items:
            try:
                f("message_created", p)
            except ValueError:
                pass

    def route(items, f=evaluate_delivery_event):
        for p in items:
            f("message_created", None, p, "agent-1")

    def baseline(items, convert=msgspec and msgspec.convert, dump=msgspec and msgspec.to_builtins,
                 schema=msgspec and msgspec_schema(), error=msgspec and msgspec.ValidationError):
        for p in items:
            try:
                dump(convert(p, schema))
            except error:
                pass

    rows = []
    for label, payload in (("typical", TYPICAL), ("64 KiB, 200 mentions", LARGE), ("50 issues", FIFTY_ISSUES)):
        loops = [validate] + ([baseline] if msgspec else [])
        times = timer.medians(*(same(payload)(loop) for loop in loops)) + [None]
        rows.append((f"validate_event_payload, {label}", times[0], times[1]))
    rows.append(("evaluate_delivery_event, typical", timer.medians(same(TYPICAL)(route))[0], rows[0][2]))
    return rows


def report_one_pass(rows, targets):
    print("\npayload validation in one pass (baseline: msgspec convert into a Struct, then to_builtins; "
          "its first finding ends its call)")
    print_table(["operation", "native", "baseline", "native / baseline"],
                [[label, fmt_time(native_s), fmt_time(base_s), fmt_ratio(ratio(native_s, base_s))]
                 for label, native_s, base_s in rows])
    (_, typical, base), (_, large, large_base), _, (_, route, _) = rows
    targets.check("one pass: typical validation / baseline", ratio(typical, base), 0.7)
    targets.check("one pass: 64 KiB, 200 mentions / baseline", ratio(large, large_base), 0.8)
    targets.check("one pass: evaluate_delivery_event / baseline typical validation", ratio(route, base), 0.5)


# ---------------------------------------------------------------------------
# Resident memory


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def memory_run(messages, rooms, max_completed):
    """Runs `memory_child` in a fresh interpreter, whose heap holds nothing freed by earlier rows."""
    import json
    import subprocess
    done = subprocess.run([sys.executable, __file__, "--memory-child", str(messages), str(rooms), str(max_completed)],
                          capture_output=True, text=True, check=True)
    points, held, retained = json.loads(done.stdout)
    return [tuple(p) for p in points], held, retained


def memory_child(messages, rooms, max_completed):
    """Every message goes the whole way; the completed sets hold the last `max_completed` ids per room."""
    registry, tracker = ClaimRegistry(max_completed), RetryTracker()
    room_ids = [f"room-{r}" for r in range(rooms)]
    claim, attempt, settle = registry.guarded_claim, tracker.record_attempt, registry.record_processed_settlement
    confirm, release = registry.confirm_settlement, registry.release
    retained = rooms * max_completed
    checkpoints = sorted({retained, *(messages * k // 8 for k in range(1, 9))} - {0})
    baseline = rss_bytes()
    points = []
    for i in range(messages):
        r, m = room_ids[i % rooms], f"message-{i:08d}"  # made on the fly: memory shows the ledger only
        if claim(r, m, tracker) != "runnable":
            raise SystemExit(f"unexpected eligibility for {m}")
        attempt(m)
        confirm(r, m, settle(r, m)["token"], tracker)
        release(r, m)
        if i + 1 in checkpoints:
            points.append((i + 1, rss_bytes() - baseline))
    held = sum(len(registry.completed_ids(r)) for r in room_ids)
    return points, held, retained


# ---------------------------------------------------------------------------
# Report


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} µs"
    return f"{seconds * 1e9:.0f} ns"


class Row:
    def __init__(self, label, native, python=None, spec=None):
        self.label, self.native, self.python, self.spec = label, native, python, spec


class QueryRow:
    def __init__(self, name, alone, crowded, other_rooms):
        self.name, self.alone, self.crowded, self.other_rooms = name, alone, crowded, other_rooms


class Targets:
    def __init__(self):
        self.lines = []

    def check(self, label, value, limit, unit="×"):
        if value is None:
            self.lines.append((label, "n/a", f"≤ {limit}{unit}", "not measured"))
            return
        self.lines.append((label, f"{value:.2f}{unit}", f"≤ {limit}{unit}", "met" if value <= limit else "NOT MET"))

    def flat(self, label, growth_fraction, limit=0.05):
        self.lines.append((label, f"{growth_fraction * 100:+.1f}%", f"≤ {limit * 100:.0f}% growth",
                           "met" if growth_fraction <= limit else "NOT MET"))


def print_table(headers, rows):
    widths = [max(len(str(x)) for x in column) for column in zip(headers, *rows)]
    line = " | ".join(f"{h:<{w}}" for h, w in zip(headers, widths))
    print(line)
    print("-|-".join("-" * w for w in widths))
    for row in rows:
        print(" | ".join(f"{str(x):<{w}}" if i == 0 else f"{str(x):>{w}}" for i, (x, w) in enumerate(zip(row, widths))))


def ratio(a, b):
    return None if a is None or b is None else a / b


def fmt_ratio(r):
    return "-" if r is None else f"{r:.2f}×"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: small samples, few rooms and ids")
    parser.add_argument("--memory-child", nargs=3, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        import json
        print(json.dumps(memory_child(*args.memory_child)))
        return
    timer = Timer(args.quick, same("x")(loop_floor))
    other_rooms = 200 if args.quick else 10_000
    messages, rooms, max_completed = (20_000, 200, 50) if args.quick else (2_000_000, 10_000, 50)

    import orvu_sdk_core
    print(f"orvu_sdk_core from {os.path.relpath(orvu_sdk_core.__file__)}; Python {sys.version.split()[0]}; "
          f"msgspec {msgspec.__version__ if msgspec else 'not installed'}{'; quick run' if args.quick else ''}")

    validation = validation_rows(timer)
    one_pass = one_pass_rows(timer)
    stateless = stateless_rows(timer)
    cycles = cycle_rows(timer)
    floor = timer.floor
    print(f"call floor (isinstance(s, str) in the same loop, sampled in turns with every row): {fmt_time(floor)}\n")
    headers = ["operation", "native", "× floor", "plain Python", "native / plain", "msgspec", "native / msgspec"]
    print_table(headers, [[r.label, fmt_time(r.native), fmt_ratio(ratio(r.native, floor)), fmt_time(r.python),
                           fmt_ratio(ratio(r.native, r.python)), fmt_time(r.spec), fmt_ratio(ratio(r.native, r.spec))]
                          for r in validation + stateless])

    minimal = cycles[0][2]
    print(f"\nstateful cycles, one per class (the call floor and {fmt_time(minimal)} for five minimal module calls "
          "from the same run)")
    print_table(["cycle", "calls", "native", "× floor", "× five minimal calls", "plain Python", "native / plain"],
                [[label, calls, fmt_time(t), fmt_ratio(t / floor), fmt_ratio(t / minimal), fmt_time(p),
                  fmt_ratio(ratio(t, p))] for label, calls, t, p in cycles])

    print(f"\nper-room queries of the claim registry ({PER_ROOM} in-flight pairs, completed ids and pending "
          f"acknowledgements in every room)")
    queries = query_rows(timer, other_rooms)
    print_table(["query of room r0", "r0 alone", f"+{other_rooms:,} other rooms", "ratio"],
                [[q.name, fmt_time(q.alone), fmt_time(q.crowded), fmt_ratio(q.crowded / q.alone)] for q in queries])

    crafted_counts = (2_000, 5_000) if args.quick else (20_000, 100_000)
    print("\nmessage ids crafted to share one hash value under the tables' former unkeyed hash, next to random "
          "ids of the same length, claimed and then settled in one room (CPU time of all of them)")
    crafted = [(n, *bench_crafted.measure(n, repeat=1 if args.quick else 3)) for n in crafted_counts]
    print_table(["ids", "claim crafted", "claim random", "ratio", "settle crafted", "settle random", "ratio"],
                [[f"{n:,}", fmt_time(cc), fmt_time(cr), fmt_ratio(cc / cr), fmt_time(sc), fmt_time(sr),
                  fmt_ratio(sc / sr)] for n, cc, cr, sc, sr in crafted])

    print(f"\nresident memory: {messages:,} distinct message ids over {rooms:,} rooms, full lifecycle, "
          f"max_completed {max_completed}")
    points, held, retained = memory_run(messages, rooms, max_completed)
    print_table(["messages", "RSS growth"], [[f"{n:,}", f"{grown / 2**20:.1f} MiB"] for n, grown in points])
    full_at = next(grown for n, grown in points if n >= retained)
    end = points[-1][1]
    print(f"completed ids held: {held:,} of {retained:,}; memory per retained id: {end / retained:.0f} bytes")

    targets = Targets()
    report_one_pass(one_pass, targets)
    typical, route, large = validation
    targets.check("typical validation / msgspec", ratio(typical.native, typical.spec), 1.0)
    targets.check("evaluate_delivery_event / msgspec validation", ratio(route.native, route.spec), 1.2)
    targets.check("64 KiB, 200 mentions / msgspec", ratio(large.native, large.spec), 1.5)
    # The ledger's lifecycle has its own bar, every other class's cycle one bar; the ledger's
    # failure path (seven calls) is shown beside them without one.
    for label, _, native_s, _ in cycles[1:]:
        name = label.split(":")[0]
        if not name.startswith("ledger, failed"):
            targets.check(f"{name} cycle / floor", native_s / floor, 20 if name == "ledger lifecycle" else 8)
    for q in queries:
        targets.check(f"{q.name}: +{other_rooms:,} rooms / alone", q.crowded / q.alone, 2)
    for n, cc, cr, sc, sr in crafted:
        targets.check(f"claim {n:,} crafted ids / random", cc / cr, 2)
        targets.check(f"settle {n:,} crafted ids / random", sc / sr, 2)
    targets.flat("memory after every set is full", (end - full_at) / max(full_at, 1))
    print()
    print_table(["target", "measured", "limit", "status"], targets.lines)


if __name__ == "__main__":
    main()

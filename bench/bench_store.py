"""What the delivery journal costs per message, next to the same ledger calls made bare.

One message goes through its whole life: claim, run started, run ended, settled
processed, write accepted, release. The rows make the same ledger calls:

  bare loop            ClaimRegistry and RetryTracker called directly, no journal
  journal, no store    the journal's methods with nothing recorded
  journal, memory      records kept in a list (the journal's own bookkeeping)
  journal, SQLite      the default store: WAL, synchronous=NORMAL, one commit per decision

For each row: the process CPU time per message (median of the repeats), its ratio
to the bare loop, and for the stores the records and commits per message. The
SQLite row is also given in wall time, which includes the writes' system calls.
The last row is the start of a host on the SQLite store a repeat wrote: opening,
checking and replaying it, per message it holds.
A measurement, not a test: nothing is asserted, and the machine may be shared.

    python bench/bench_store.py             # 20,000 messages a repeat, 5 repeats
    python bench/bench_store.py --quick     # a smoke run
"""
import argparse
import os
import statistics
import sys
import tempfile
import time

from orvu_sdk_core import ClaimRegistry, RetryTracker

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "sdk", "src"))
from orvu_sdk.journal import Journal  # noqa: E402
from orvu_sdk.store import MemoryStore, SQLiteStore  # noqa: E402

ROOMS = [f"room-{r}" for r in range(8)]


class Counting:
    """Wraps a store and counts what goes through `append`."""

    def __init__(self, store):
        self.store, self.commits, self.records = store, 0, 0
        self.name = store.name

    def load(self):
        return self.store.load()

    def append(self, records):
        self.commits += 1
        self.records += len(records)
        self.store.append(records)

    def replace(self, records):
        self.store.replace(records)

    def close(self):
        self.store.close()


def bare(ids):
    claims, retries = ClaimRegistry(500), RetryTracker(1, 10000)
    for room, message in ids:
        claims.guarded_claim(room, message, retries)
        retries.record_attempt(message)
        token = claims.record_processed_settlement(room, message)["token"]
        claims.confirm_settlement(room, message, token, retries)
        claims.release(room, message)


def journaled(journal, ids):
    for room, message in ids:
        journal.claim(room, message)
        run = journal.run_started(room, message)
        run.next_client_ref()
        journal.run_ended(run, "complete")
        token = journal.settled_processed(room, message)["token"]
        journal.write_accepted(room, message, token)
        journal.claims.release(room, message)


def timed(run, ids):
    cpu, wall = time.process_time(), time.perf_counter()
    run(ids)
    return (time.process_time() - cpu) / len(ids), (time.perf_counter() - wall) / len(ids)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    messages, repeats = (500, 2) if args.quick else (20_000, 5)
    rows = {}
    counts = {}
    with tempfile.TemporaryDirectory() as tmp:
        for repeat in range(repeats):
            ids = [(ROOMS[i % len(ROOMS)], f"r{repeat}-m{i}") for i in range(messages)]
            rows.setdefault("bare loop", []).append(timed(bare, ids))
            journal = Journal(None)
            rows.setdefault("journal, no store", []).append(timed(lambda ids: journaled(journal, ids), ids))
            path = os.path.join(tmp, f"bench-{repeat}.db")
            for name, store in (("journal, memory", MemoryStore()), ("journal, SQLite", SQLiteStore(path))):
                counting = Counting(store)
                journal = Journal(counting)
                before = (counting.commits, counting.records)
                rows.setdefault(name, []).append(timed(lambda ids: journaled(journal, ids), ids))
                counts[name] = ((counting.commits - before[0]) / messages, (counting.records - before[1]) / messages)
                journal.close()
            rows.setdefault("replay at start", []).append(timed(lambda ids: Journal(path).close(), ids))
    floor = statistics.median(cpu for cpu, _ in rows["bare loop"])
    print(f"{messages} messages a repeat, {repeats} repeats, median per message")
    print(f"{'row':<20} {'CPU us':>9} {'x bare':>8} {'wall us':>9} {'commits':>8} {'records':>8}")
    for name, samples in rows.items():
        cpu = statistics.median(c for c, _ in samples)
        wall = statistics.median(w for _, w in samples)
        commits, records = counts.get(name, (0.0, 0.0))
        print(f"{name:<20} {cpu * 1e6:9.2f} {cpu / floor:8.1f} {wall * 1e6:9.2f} {commits:8.2f} {records:8.2f}")


if __name__ == "__main__":
    main()

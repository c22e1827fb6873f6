"""Pushes distinct message ids through the whole delivery lifecycle (guarded
claim, attempt, settlement, confirmation, release) and prints the time per
message, operations per second and the process's memory at checkpoints.

Memory should stay flat: completed sets are bounded per room and the retry
tracker's stores by `max_tracked`, whatever the number of ids.

    python bench/bench_claims.py [messages]
"""
import resource
import sys
import time

from orvu_sdk_core import ClaimRegistry, RetryTracker

OPS_PER_MESSAGE = 5  # guarded_claim, record_attempt, record_*_settlement, confirm_settlement, release


def current_rss_mib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize() / 2**20
    except OSError:
        return float("nan")


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # kilobytes on Linux


def main(messages):
    registry, tracker = ClaimRegistry(500), RetryTracker(1, 10000)
    rooms = [f"room-{r}" for r in range(8)]
    step = max(messages // 5, 1)
    settle_failed = registry.record_failed_settlement
    settle_processed = registry.record_processed_settlement
    # Times are per window of `step` messages, so growth would show as a rising column.
    print(f"{'messages':>10} {'us/message':>11} {'ops/s':>12} {'rss MiB':>9} {'peak MiB':>9}")
    start = window = time.perf_counter()
    for i in range(1, messages + 1):
        message_id = f"message-{i}"  # made on the fly so memory shows the ledger, not the id list
        room = rooms[i & 7]
        if registry.guarded_claim(room, message_id, tracker) != "runnable":
            raise SystemExit(f"unexpected eligibility for {message_id}")
        tracker.record_attempt(message_id)
        if i % 4:
            description = settle_processed(room, message_id)
        else:
            description = settle_failed(room, message_id, "handler failed", tracker, False)
        registry.confirm_settlement(room, message_id, description["token"], tracker)
        registry.release(room, message_id)
        if i % step == 0 or i == messages:
            now = time.perf_counter()
            count, elapsed, window = (i % step) or step, now - window, now
            print(f"{i:>10} {elapsed / count * 1e6:>11.2f} {count * OPS_PER_MESSAGE / elapsed:>12,.0f} "
                  f"{current_rss_mib():>9.1f} {peak_rss_mib():>9.1f}")
    total = time.perf_counter() - start
    print(f"overall: {total / messages * 1e6:.2f} us/message, {messages * OPS_PER_MESSAGE / total:,.0f} ops/s")
    held = sum(len(registry.completed_ids(r)) for r in rooms)
    print(f"completed ids held: {held} (bound {500 * len(rooms)}); last token {description['token']}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)

"""Time the small calls of the reconnect path: one session cycle, the two
classifiers and a retry tracker round.

Prints the cost per call and calls per second. A measurement, not a test:
nothing is asserted. Compare two builds by running this script against each
in the same sitting.

    python bench/bench_session.py [--seconds 1.0]
"""

import argparse

from bench_events import measure
from orvu_sdk_core import RetryTracker, Session, SessionPolicy, classify_close, classify_upgrade


def session_cycle():
    """begin_attempt, on_connected, on_socket_close on a session that lives on."""
    session = Session(SessionPolicy.default())
    clock = [0.0]

    def cycle():
        t = clock[0]
        epoch = session.begin_attempt(t)
        session.on_connected(epoch, t)
        session.on_socket_close(epoch, t + 30.0, 1006, 0.5)
        clock[0] = t + 100.0

    return cycle


def tracker_round():
    tracker = RetryTracker(3, 1000)

    def round_():
        tracker.record_attempt("m1")
        tracker.is_permanently_failed("m1")
        tracker.mark_success("m1")

    return round_


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time spent on each measurement")
    args = parser.parse_args()
    policy = SessionPolicy.default()
    cases = [
        ("Session cycle (3 calls)", session_cycle()),
        ("Session(policy)", lambda: Session(policy)),
        ("classify_close", lambda: classify_close(1006)),
        ("classify_upgrade", lambda: classify_upgrade(503)),
        ("RetryTracker round (3 calls)", tracker_round()),
    ]
    for label, fn in cases:
        per_call_us, ops = measure(fn, args.seconds)
        print(f"{label:40s} {per_call_us:10.3f} us/call {ops:14,.0f} ops/s")


if __name__ == "__main__":
    main()

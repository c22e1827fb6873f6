"""Time payload validation and routing of message_created events.

Runs validate_event_payload and evaluate_delivery_event on a typical
message (ten fields, two mentions, one attachment) and on a large one
(64 KiB content, 200 mentions) and prints the cost per call and calls per
second. A measurement, not a test: nothing is asserted.

    python bench/bench_events.py [--seconds 1.0]
"""

import argparse
import time

from orvu_sdk_core import evaluate_delivery_event, validate_event_payload


def message(content, mentions):
    return {
        "id": "msg-0001",
        "chat_room_id": "room-42",
        "content": content,
        "message_type": "text",
        "sender_type": "User",
        "sender_id": "user-7",
        "sender_name": "Pat",
        "inserted_at": "2024-05-01T12:00:00Z",
        "updated_at": "2024-05-01T12:00:00Z",
        "metadata": {"mentions": [{"id": f"user-{i}", "username": f"u{i}", "handle": f"@u{i}", "name": None}
                                  for i in range(mentions)]},
        "attachments": [{"id": "att-1", "url": "https://example.invalid/a.png", "size": 1024}],
    }


def measure(fn, seconds):
    """Per-call time in microseconds, from batches run for about `seconds`."""
    calls, batch = 0, 16
    start = time.perf_counter()
    while True:
        for _ in range(batch):
            fn()
        calls += batch
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return elapsed / calls * 1e6, calls / elapsed
        batch = min(batch * 2, 1 << 16)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time spent on each measurement")
    args = parser.parse_args()

    payloads = {
        "typical": message("Hello @u0 and @u1, see attached.", 2),
        "large (64 KiB content, 200 mentions)": message("x" * 65536, 200),
    }
    cases = []
    for label, payload in payloads.items():
        cases.append((f"validate_event_payload   {label}",
                      lambda p=payload: validate_event_payload("message_created", p)))
        cases.append((f"evaluate_delivery_event  {label}",
                      lambda p=payload: evaluate_delivery_event("message_created", None, p, "agent-1")))
        cases.append((f"validate + route         {label}",
                      lambda p=payload: (validate_event_payload("message_created", p),
                                         evaluate_delivery_event("message_created", None, p, "agent-1"))))
    for label, fn in cases:
        per_call_us, ops = measure(fn, args.seconds)
        print(f"{label:62s} {per_call_us:10.2f} us/call {ops:14,.0f} ops/s")


if __name__ == "__main__":
    main()

"""Time the small calls of a turn: a pending-ask round, a turn ledger round,
the tool table, an agent failure's dict forms and the memory check.

Prints the cost per call and calls per second. A measurement, not a test:
nothing is asserted. Compare two builds by running this script against each
in the same sitting.

    python bench/bench_asks.py [--seconds 1.0]
"""

import argparse

from bench_events import measure
from orvu_sdk_core import (
    AgentFailure,
    DecisionRegistry,
    TurnEffect,
    TurnLedger,
    is_authorized_sender,
    orvu_tool_effects,
    validate_memory_type_for_system,
)


def ask_round():
    """register_minted, try_claim, forget on a registry that lives on."""
    registry = DecisionRegistry(max_pending=64, seed=1)

    def round_():
        token, ticket = registry.register_minted("room")
        registry.try_claim(token, ticket)
        registry.forget(token, ticket)

    return round_


def ledger_round():
    def round_():
        ledger = TurnLedger()
        ledger.record(TurnEffect.Observe)
        ledger.record(TurnEffect.Reply)
        ledger.verdict()

    return round_


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time spent on each measurement")
    args = parser.parse_args()
    senders = frozenset({"a", "b", "c"})
    failure = AgentFailure("provider", "it broke", code="E1", detail={"retry": True})
    cases = [
        ("Ask round (3 calls)", ask_round()),
        ("is_authorized_sender", lambda: is_authorized_sender(senders, "b")),
        ("TurnLedger round (4 calls)", ledger_round()),
        ("orvu_tool_effects", orvu_tool_effects),
        ("AgentFailure.to_extension_data", failure.to_extension_data),
        ("validate_memory_type_for_system", lambda: validate_memory_type_for_system("working", "semantic")),
    ]
    for label, fn in cases:
        per_call_us, ops = measure(fn, args.seconds)
        print(f"{label:40s} {per_call_us:10.3f} us/call {ops:14,.0f} ops/s")


if __name__ == "__main__":
    main()

"""Mistakes a host can make with the module that only a type checker can catch.

Each mistake sits on one line marked `# planted: <id>`, inside a function of
its own; tests/test_type_checkers.py checks that the type checkers flag every
marked line (and nothing else here), and calls each function to show that the
line really misbehaves at run time. corrected.py is the same code written
right. Both files import the module only; nothing here runs on import.
"""

from __future__ import annotations

import orvu_sdk_core as core


def gives_up(outcome: core.SessionOutcome) -> bool:
    # Members equal only members of their own class: this is never true.
    return outcome.state == "dead"  # planted: member-eq-str


def still_trying(outcome: core.SessionOutcome) -> bool:
    # Always true, whatever the state.
    return outcome.state != "up"  # planted: member-ne-str


def dropped_too_often(outcome: core.SessionOutcome) -> bool:
    return outcome.dead_reason == "rapid_disconnect"  # planted: optional-member-eq-str


def is_message(event: str) -> bool:
    return core.EventType.from_wire_name(event) == "message_created"  # planted: parsed-member-eq-str


def turn_complete(ledger: core.TurnLedger) -> bool:
    # The index is int(member); the member itself is no int.
    return ledger.verdict() == 0  # planted: member-eq-int


def same_scope(listed: core.MemoryListScope, stored: core.MemoryStoreScope) -> bool:
    # Two classes with the same member names: their members never compare equal.
    return listed == stored  # planted: members-of-two-classes


def settled(outcome: core.SessionOutcome) -> bool:
    return outcome.state in ("dead", "up")  # planted: member-in-str-tuple


def state_labels() -> dict[core.SessionState, str]:
    # Members are unhashable: TypeError.
    return {core.SessionState.Dead: "over"}  # planted: member-as-dict-key


def final_verdicts() -> set[core.TurnVerdict]:
    return {core.TurnVerdict.Complete}  # planted: member-in-set


def sender_of(raw: object) -> str:
    # The validated message names its sender `sender_id`; the typo is a KeyError.
    return core.validate_event_payload("message_created", raw)["sender"]  # planted: payload-key-typo


def is_settlement(value: object) -> bool:
    # The decision TypedDicts exist only for type checkers: AttributeError.
    return isinstance(value, core.SettlementDescription)  # planted: typing-only-isinstance


def settlement_keys() -> list[str]:
    return list(core.SettlementDescription.__annotations__)  # planted: typing-only-as-value


def extended_settlement() -> type:
    class Logged(core.SettlementDescription):  # planted: typing-only-as-base
        logged_at: float

    return Logged

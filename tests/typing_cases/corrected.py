"""The code of planted.py written right: both type checkers pass it, and
tests/test_type_checkers.py runs every function against the module.
"""

from __future__ import annotations

from typing import TypedDict

import orvu_sdk_core as core


class LoggedSettlement(TypedDict):
    # A host's own TypedDict holds a typing-only one rather than extending it:
    # the annotations are never evaluated, while a base class always is.
    settlement: core.SettlementDescription
    logged_at: float


def gives_up(outcome: core.SessionOutcome) -> bool:
    return outcome.state is core.SessionState.Dead


def still_trying(outcome: core.SessionOutcome) -> bool:
    return outcome.state is not core.SessionState.Up


def dropped_too_often(outcome: core.SessionOutcome) -> bool:
    return outcome.dead_reason is core.DeadReason.RapidDisconnect


def is_message(event: str) -> bool:
    return core.EventType.from_wire_name(event) is core.EventType.MessageCreated


def turn_complete(ledger: core.TurnLedger) -> bool:
    return ledger.verdict() is core.TurnVerdict.Complete


def same_scope(listed: core.MemoryListScope, stored: core.MemoryStoreScope) -> bool:
    # Compare what the members stand for: their wire strings.
    return str(listed) == str(stored)


def settled(outcome: core.SessionOutcome) -> bool:
    return outcome.state in (core.SessionState.Dead, core.SessionState.Up)


def state_labels() -> dict[str, str]:
    # Key by the wire string.
    return {str(core.SessionState.Dead): "over"}


def final_verdicts() -> set[str]:
    return {str(core.TurnVerdict.Complete)}


def sender_of(raw: object) -> str:
    return core.validate_event_payload("message_created", raw)["sender_id"]


def is_settlement(value: object) -> bool:
    # At run time a settlement is a plain dict: check its shape.
    return isinstance(value, dict) and "token" in value and "status" in value


def settlement_keys(settlement: core.SettlementDescription) -> list[str]:
    return sorted(settlement)


def log_settlement(settlement: core.SettlementDescription, now_s: float) -> LoggedSettlement:
    return {"settlement": settlement, "logged_at": now_s}

"""A small, fully typed host loop; `mypy --strict` checks it against the stubs.

The decision dicts are described in the stubs as TypedDicts (`core.SettlementDescription`,
`core.DeliveryDecision`, ...). Those names exist only for type checkers: the module returns
plain dicts and has no such attributes. Annotations that name them must never be evaluated,
which `from __future__ import annotations` guarantees for this whole file; a module without it
imports them under `if TYPE_CHECKING:` and writes the annotations as strings.
"""

from __future__ import annotations

import random
from typing import TYPE_CHECKING

import orvu_sdk_core as core

if TYPE_CHECKING:
    from orvu_sdk_core import Eligibility


def reconnect_delay(session: core.Session, epoch: int, now_s: float, close_code: int | None) -> float | None:
    """Report a closed socket; the delay before the next attempt, or None when the session is over."""
    outcome = session.on_socket_close(epoch, now_s, close_code, random.random())
    if outcome.stale_reason is not None:
        return 0.0
    if outcome.state is core.SessionState.Dead:
        return None
    return outcome.retry_after_s


def owed_write(settlement: core.SettlementDescription) -> str:
    """The event that carries a settlement's terminal write to the room's topic."""
    return "mark_processed" if settlement["status"] == "processed" else "mark_failed"


def claim(registry: core.ClaimRegistry, tracker: core.RetryTracker, room: str, message: str) -> Eligibility:
    """Claims the message for this host; any word but "runnable" says why not."""
    return registry.guarded_claim(room, message, tracker)


def handle_event(
    registry: core.ClaimRegistry,
    tracker: core.RetryTracker,
    event: str,
    room_id: str | None,
    payload: dict[str, object],
    agent_id: str,
) -> str:
    decision = core.evaluate_delivery_event(event, room_id, payload, agent_id)
    if decision["decision"] != "invocation":
        return decision["decision"]
    room, message = decision["room_id"], decision["message_id"]
    word = claim(registry, tracker, room, message)
    if word != "runnable":
        return word
    tracker.record_attempt(message)
    ledger = core.TurnLedger()
    ledger.record(core.orvu_tool_effects()["orvu_send_message"])
    settled = core.evaluate_adapter_result(room, message, ledger.verdict() is core.TurnVerdict.Complete)
    if settled["decision"] == "processed":
        settlement = registry.record_processed_settlement(room, message)
    else:
        settlement = registry.record_failed_settlement(room, message, core.missing_reply_message(), tracker, True)
    print("platform write:", owed_write(settlement), "token", settlement["token"])
    registry.confirm_settlement(room, message, settlement["token"], tracker)
    registry.release(room, message)
    return settlement["status"]


def main() -> None:
    session = core.Session(core.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    assert epoch is not None
    session.on_connected(epoch, 0.5)
    print("delay after a dropped socket:", reconnect_delay(session, epoch, 3.0, 1006))

    registry, tracker = core.ClaimRegistry(), core.RetryTracker(max_retries=2)
    payload: dict[str, object] = {
        "id": "m1", "content": "hello", "message_type": "text", "sender_type": "User", "sender_id": "u1",
        "inserted_at": "2026-01-01T00:00:00Z", "updated_at": "2026-01-01T00:00:00Z", "chat_room_id": "r1",
    }
    print("first delivery:", handle_event(registry, tracker, "message_created", None, payload, "a1"))
    print("redelivery:", handle_event(registry, tracker, "message_created", None, payload, "a1"))


if __name__ == "__main__":
    main()

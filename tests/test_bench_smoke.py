"""bench/compare.py must keep running against the module as it changes: a
smoke run prints every row and the targets (timings are not looked at)."""
import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "bench" / "compare.py"


@pytest.fixture(scope="module")
def quick_run():
    if not SCRIPT.is_file():
        pytest.skip("needs the source checkout")
    done = subprocess.run([sys.executable, str(SCRIPT), "--quick"], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("row", [
    "validate_event_payload, typical message", "validate_event_payload, 64 KiB content, 200 mentions",
    "evaluate_delivery_event, typical message", "five minimal calls", "ledger lifecycle: guarded_claim",
    "ledger, failed, retry owed", "retry budget: record_attempt", "session: begin_attempt", "subscription: begin",
    "room roster: begin_room_admission", "participants: add", "asks: register_minted", "turn: TurnLedger()",
    "ledger lifecycle cycle / floor", "inflight_ids", "completed_ids", "pending_ack_ids", "unpark_acks",
    "has_retryable_settlement", "discard_completed", "memory per retained id", "memory after every set is full",
    "claim 5,000 crafted ids / random", "settle 5,000 crafted ids / random",
])
def test_quick_run_prints_every_row(quick_run, row):
    assert row in quick_run


def test_quick_run_retains_exactly_the_bound(quick_run):
    # 200 rooms of at most 50 completed ids each after 20,000 messages.
    assert "completed ids held: 10,000 of 10,000" in quick_run

"""bench/throughput.py keeps running as the library changes: a smoke run prints the bare
loop's row with a verdict that holds, and the library's row or why it is missing
(timings are not looked at)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from kit_user import user_env

SCRIPT = Path(__file__).resolve().parent.parent / "bench" / "throughput.py"


def test_a_smoke_run_measures_both_hosts_on_a_run_that_holds():
    if not SCRIPT.is_file():
        pytest.skip("needs the source checkout")
    done = subprocess.run([sys.executable, str(SCRIPT), "--messages", "40", "--top", "3"], env=user_env(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if line.startswith(("bare", "library"))]
    assert rows[0].startswith("bare websockets loop") and rows[0].endswith(
        "exactly once: 40 of 40 messages handed over and settled once")
    assert rows[1].endswith("exactly once: 40 of 40 messages handed over and settled once") or \
        rows[1] == "library (orvu_sdk.Host, echo agent): unavailable, orvu_sdk has no Host yet"

"""`python -m orvu_sdk run module:agent` as a supervisor runs it: its exit codes and its logs."""

from __future__ import annotations

import asyncio
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("websockets")

from orvu_sdk.testing import PlatformSimulator  # noqa: E402

HERE = Path(__file__).resolve().parent
SDK = HERE.parent / "sdk" / "src"
TOKEN = "cli-t0ken-7788"


def environment() -> dict[str, str]:
    env = dict(os.environ, ORVU_TOKEN=TOKEN)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), str(SDK), env.get("PYTHONPATH")]))
    return env


@pytest.mark.parametrize("ending, code", [("sigint", 0), ("close_1000", 3), ("refuse_403", 3)])
def test_exit_codes_tell_a_clean_stop_from_a_dead_session(ending, code):
    async def main() -> tuple[int, str, list[str]]:
        async with PlatformSimulator(rooms=("lobby",)) as sim:
            process = await asyncio.create_subprocess_exec(
                sys.executable, "-m", "orvu_sdk", "run", "host_cli_agent:echo", "--url", sim.url,
                "--agent-id", sim.agent_id, "--log-level", "DEBUG", env=environment(),
                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                await sim.wait_for(sim.fully_subscribed, 20)
                message_id = await sim.publish("lobby", "hello")
                await sim.wait_for(lambda: not sim.open_messages(), 10)
                if ending == "sigint":
                    process.send_signal(signal.SIGINT)
                else:
                    await sim.inject(ending)
                _, stderr = await asyncio.wait_for(process.communicate(), 20)
            finally:
                if process.returncode is None:
                    process.kill()
                    await process.wait()
            replies = [text for text, _ in sim.records.replies[message_id]]
            return process.returncode, stderr.decode(), replies

    returncode, stderr, replies = asyncio.run(main())
    assert (returncode, replies) == (code, ["echo: hello"]), stderr[-2000:]
    assert "session.outcome" in stderr and TOKEN not in stderr


@pytest.mark.parametrize("arguments, code, text", [
    (["run", "no_such_module:agent", "--url", "ws://127.0.0.1:9/s", "--agent-id", "a"], 2, "cannot load"),
    (["run", "host_cli_agent:missing", "--url", "ws://127.0.0.1:9/s", "--agent-id", "a"], 2, "cannot load"),
    (["run", "host_cli_agent:echo", "--url", "http://x", "--agent-id", "a"], 2, "`url`"),
    (["run", "host_cli_agent:echo", "--url", "ws://127.0.0.1:9/s"], 2, "--agent-id"),
])
def test_a_bad_command_line_is_a_usage_error(arguments, code, text):
    done = subprocess.run([sys.executable, "-m", "orvu_sdk", *arguments], env=environment(),
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == code and text in done.stderr


def test_a_crash_has_its_own_exit_code():
    script = ("import sys, orvu_sdk.host as h, orvu_sdk.__main__ as m\n"
              "async def broken(self): raise RuntimeError('host bug')\n"
              "h.Host.run = broken\n"
              "sys.exit(m.main(['run', 'host_cli_agent:echo', '--url', 'ws://127.0.0.1:9/s', '--agent-id', 'a']))\n")
    done = subprocess.run([sys.executable, "-c", script], env=environment(), capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 1 and "host.crashed RuntimeError: host bug" in done.stderr

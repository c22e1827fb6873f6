"""`python -m orvu_sdk.testing serve` as a host author in another language runs it:
a process of its own, its URL read from the first line, a host that connects to it,
a signal or the settled run to end it, the verdict and the exit status at the end."""

from __future__ import annotations

import asyncio
import itertools
import json
import signal
import subprocess
import sys
import textwrap

import pytest

from kit_user import EXAMPLES, user_env

pytest.importorskip("websockets")

from websockets.asyncio.client import connect  # noqa: E402

SERVE = [sys.executable, "-m", "orvu_sdk.testing", "serve"]


def start_serve(*args: str) -> tuple[subprocess.Popen[str], str]:
    process = subprocess.Popen([*SERVE, *args], env=user_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    assert process.stdout is not None
    url = process.stdout.readline().strip()
    assert url.startswith("ws://127.0.0.1:") and url.endswith("/socket/websocket?vsn=2.0.0"), url
    return process, url


def test_a_host_under_faults_passes_and_the_run_ends_once_settled(tmp_path):
    host = tmp_path / "host.py"
    host.write_text(textwrap.dedent(f'''
        import asyncio, sys
        sys.path.insert(0, {str(EXAMPLES)!r})
        from orvu_sdk import Host
        from reference_host import EchoAgent
        asyncio.run(Host(sys.argv[1], agent_id="agent-1", agent=EchoAgent(), time_scale=0.001).run())
    '''), encoding="utf-8")
    process, url = start_serve("--rooms", "a,b,c", "--seed", "4", "--messages", "60", "--pace", "0.005",
                               "--faults", "drop,crash_channel,remove_from_room,refuse_writes",
                               "--fault-every", "0.02,0.05", "--exit-when-settled")
    host_process = subprocess.Popen([sys.executable, str(host), url], env=user_env())
    try:
        out, err = process.communicate(timeout=120)
    finally:
        host_process.kill()
        host_process.wait()
    assert process.returncode == 0, out + err
    assert out.splitlines()[-1] == "exactly once: 60 of 60 messages handed over and settled once"
    assert "faults: none" not in out


async def subscribe_and_ignore(url: str, messages: int) -> None:
    """Joins every topic of the agent and its room, then lets `messages` pushes go unanswered."""
    refs = itertools.count(1)
    async with connect(url, ping_interval=None) as ws:
        for topic in ("agent_rooms:agent-1", "agent_control:agent-1", "agent_contacts:agent-1",
                      "chat_room:lobby", "room_participants:lobby"):
            ref = str(next(refs))
            await ws.send(json.dumps([ref, ref, topic, "phx_join", {}]))
        seen = 0
        while seen < messages:
            frame = json.loads(await asyncio.wait_for(ws.recv(), 20))
            seen += frame[3] == "message_created"


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_host_that_settles_nothing_fails_the_verdict_at_the_signal(signum):
    process, url = start_serve("--messages", "2", "--settle", "0.1")
    try:
        asyncio.run(subscribe_and_ignore(url, 2))
        process.send_signal(signum)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 1, out + err
    assert "exactly once does NOT hold" in out and "offending messages: m-00001, m-00002" in out
    assert "m-00001: lost: never handed to the agent" in out


@pytest.mark.parametrize("args, complaint", [
    (["--faults", "drop,nope"], "unknown fault(s) nope"),
    (["--port", "70000"], "port between 0 and 65535"),
    (["--fault-every", "0.5,0.1"], "0 < LOW <= HIGH"),
    (["--pace", "-1"], "seconds >= 0"),
    (["--messages", "many"], "whole number"),
])
def test_a_bad_command_line_is_refused_naming_the_option(args, complaint):
    done = subprocess.run([*SERVE, *args], env=user_env(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and complaint in done.stderr and args[0] in done.stderr, done.stderr

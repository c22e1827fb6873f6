"""The platform simulator driven by the Phoenix project's own JavaScript client:
the simulator speaks the protocol as Phoenix's client expects it, not only as our
host reads it.

`phoenix_witness.mjs` runs phoenix.js under Node.js, step by step; after each step
it reports one JSON line and waits, so that the test checks the platform's side and
acts on it (publishes, crashes a channel, drops the socket) before the next step.

The client is not part of this repository: it is read from the witness folder
(`node_modules/phoenix` and `node_modules/ws`, unmodified), by default `shared/witness`
beside the checkout, or wherever `ORVU_PHOENIX_WITNESS` points. Where Node.js or the
folder is missing the test is skipped, except under CI (`CI` set), where it fails;
`ORVU_WITNESS_OPTIONAL` set lets it skip there too (a wheel tested from a copy of tests/).
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import sys
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

from platform_sim import PlatformSimulator  # noqa: E402

DRIVER = Path(__file__).resolve().parent / "phoenix_witness.mjs"
AGENT = "agent-1"
CHAT = "chat_room:lobby"
PEOPLE = "room_participants:lobby"
TOPICS = [f"agent_rooms:{AGENT}", f"agent_control:{AGENT}", CHAT, PEOPLE]


def _witness() -> tuple[str, Path]:
    """The node executable and the witness folder, or a skip (a failure under CI)."""
    folder = Path(os.environ.get("ORVU_PHOENIX_WITNESS") or ROOT.parent / "shared" / "witness")
    node = shutil.which("node")
    missing = []
    if node is None:
        missing.append("Node.js (node) is not on PATH")
    for package in ("phoenix/priv/static/phoenix.mjs", "ws/wrapper.mjs"):
        if not (folder / "node_modules" / package).is_file():
            missing.append(f"{folder / 'node_modules' / package} is missing (set ORVU_PHOENIX_WITNESS)")
    if missing:
        reason = "the Phoenix witness client cannot run: " + "; ".join(missing)
        if os.environ.get("CI") and not os.environ.get("ORVU_WITNESS_OPTIONAL"):
            pytest.fail(reason)
        pytest.skip(reason)
    assert node is not None
    return node, folder


class Driver:
    """The node process: one JSON line per step, "go" to let it take the next."""

    def __init__(self, process: asyncio.subprocess.Process) -> None:
        self.process = process

    async def step(self, name: str) -> dict[str, Any]:
        assert self.process.stdout is not None
        line = await asyncio.wait_for(self.process.stdout.readline(), 20)
        if not line:
            raise AssertionError(f"the driver ended before {name!r}: {await self._stderr()}")
        report = json.loads(line)
        assert report["step"] != "error", report["message"]
        assert report["step"] == name, report
        return report

    async def go(self) -> None:
        assert self.process.stdin is not None
        self.process.stdin.write(b"go\n")
        await self.process.stdin.drain()

    async def _stderr(self) -> str:
        assert self.process.stderr is not None
        return (await self.process.stderr.read()).decode(errors="replace")


def ids(frames: list[dict[str, Any]]) -> list[str]:
    return [frame["id"] for frame in frames]


@pytest.mark.parametrize("vsn", ["2.0.0", "1.0.0"])
def test_phoenix_js_joins_pushes_recovers_leaves_and_is_superseded(vsn):
    node, folder = _witness()
    version = int(vsn[0])

    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, rooms=["lobby"], log=None)
        await sim.start()
        endpoint = sim.base_url.removesuffix("/websocket")
        # Node.js runs without the sanitizer runtime a sanitized test run preloads.
        env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
        process = await asyncio.create_subprocess_exec(
            node, str(DRIVER), str(folder), endpoint, vsn, env=env,
            stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE)
        driver = Driver(process)
        try:
            await scenario(sim, driver, version)
            assert await asyncio.wait_for(process.wait(), 20) == 0, await driver._stderr()
        finally:
            if process.returncode is None:
                process.kill()
                await process.wait()
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 90))
    # phoenix.js never sent a frame the simulator had to refuse or ignore, in either format.
    assert sim.records.refusals == [] and sim.records.violations == []
    assert sim.records.protocol["superseded_connection"] == 1


async def scenario(sim: PlatformSimulator, driver: Driver, version: int) -> None:
    # Joins: two agent topics and both room topics, each answered with its reply.
    joined = await driver.step("joined")
    assert joined["replies"][f"agent_rooms:{AGENT}"] == {"rooms": ["lobby"]}
    assert [p["id"] for p in joined["replies"][PEOPLE]["participants"]] == ["user-1", AGENT]
    assert joined["replies"][CHAT] == {} and joined["replies"][f"agent_control:{AGENT}"] == {}
    assert sim.joined_topics() == set(TOPICS)
    # The channel the platform holds is the one phoenix.js joined (its join_ref).
    assert joined["join_refs"] == {topic: sim.live_join_ref(topic) for topic in TOPICS}
    hello = await sim.publish("lobby", "hello")
    await driver.go()

    # Heartbeats answered, and a broadcast under the channel's join_ref (version 1 has none).
    heard = await driver.step("heard")
    assert heard["heartbeats"] >= 2 and sim.records.protocol["heartbeat"] >= 2
    assert heard["message"]["id"] == hello and heard["wire_ref"] is None
    assert heard["wire_join_ref"] == (sim.live_join_ref(CHAT) if version == 2 else None)
    await driver.go()

    # Pushes and their replies, matched by phoenix.js to the push that asked.
    pushed = await driver.step("pushed")
    assert pushed["answers"] == {
        "turn_started": {"status": "ok", "response": {}},
        "send_message": {"status": "ok", "response": {}},
        "mark_processed": {"status": "ok", "response": {}},
        "no_such_event": {"status": "error", "response": {"reason": "unknown_event"}},
    }
    assert sim.records.handoffs[hello] == [(1, 1)] and sim.records.terminal_writes[hello] == ["processed"]
    assert sim.records.replies[hello] == [("echo: hello", "c-1")]
    # The chat channel crashes; a message comes while it is down.
    old_chat = sim.live_join_ref(CHAT)
    assert await sim.crash_channel(CHAT)
    while_down = await sim.publish("lobby", "while down")
    await driver.go()

    # phoenix.js rejoined by itself; the push it buffered while errored went out after
    # the rejoin, under the new join_ref, and was answered.
    rejoined = await driver.step("rejoined")
    assert rejoined["order"] == ["error (channel errored)", "rejoined", "buffered push answered"]
    assert rejoined["buffered"] == {"status": "ok", "response": {}}
    assert rejoined["old_join_ref"] == old_chat != rejoined["join_ref"] == sim.live_join_ref(CHAT)
    assert rejoined["redelivered_join_ref"] == (rejoined["join_ref"] if version == 2 else None)
    assert sim.records.deliveries[while_down] == 1
    assert sim.records.channel_crashes == [CHAT]
    assert [(m.content, m.sender_type) for m in sim.messages.values()][-2:] == [
        ("while down", "User"), ("sent while errored", "Agent")]
    # The socket drops (1006); a message comes while it is gone.
    before = rejoined["join_refs"]
    await sim.drop()
    while_gone = await sim.publish("lobby", "while disconnected")
    await driver.go()

    # Reconnected, and every channel rejoined under a new join_ref.
    reconnected = await driver.step("reconnected")
    assert reconnected["close_codes"] == [1006]
    assert set(reconnected["states"].values()) == {"joined"}
    assert reconnected["join_refs"] == {topic: sim.live_join_ref(topic) for topic in TOPICS}
    assert all(reconnected["join_refs"][t] != before[t] for t in TOPICS)
    assert len(sim.records.connections) == 2 and sim.records.deliveries[while_gone] == 1
    await driver.go()

    # A leave: answered, then phx_close; the channel is gone on both sides.
    left = await driver.step("left")
    join_ref = left["join_ref"] if version == 2 else None
    assert left["state"] == "closed" and left["wire"] == [
        {"topic": PEOPLE, "event": "phx_reply", "ref": left["leave_ref"], "join_ref": join_ref, "status": "ok"},
        {"topic": PEOPLE, "event": "phx_close", "ref": left["join_ref"], "join_ref": join_ref, "status": None}]
    assert sim.joined_topics() == set(TOPICS) - {PEOPLE} and sim.records.protocol["leave"] == 1
    # The platform closes the chat channel.
    closed_ref = sim.live_join_ref(CHAT)
    assert await sim.close_channel(CHAT)
    await driver.go()

    # phoenix.js gave that channel up (no rejoin of its own); one joined by hand replaces it.
    closed = await driver.step("closed")
    # Errors: the crash and the drop; the close is no error.
    assert (closed["state"], closed["errors"], closed["chat_channels"]) == ("closed", 2, 1)
    assert closed["join_ref"] == sim.live_join_ref(CHAT) != closed_ref
    assert sim.records.channel_closes == [CHAT]
    await driver.go()

    # A second socket of the agent: the first hears a final supersede notice and is
    # closed with 1000, which phoenix.js takes as the end (it does not reconnect).
    superseded = await driver.step("superseded")
    (notice,) = superseded["notices"]
    assert notice["retryable"] is False and notice["reason"] == "superseded"
    assert superseded["close_codes"] == [1006, 1000]
    assert superseded["second_answer"] == {"status": "error", "response": {"reason": "unknown_event"}}
    assert sim.joined_topics() == {CHAT} and sim.live_join_ref(CHAT) == superseded["second_join_ref"]
    assert len(sim.records.connections) == 3
    await driver.go()
    await driver.step("done")

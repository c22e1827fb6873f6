"""A host on a store, killed and restarted by a supervisor, against the simulator."""

from __future__ import annotations

import asyncio
import logging
import collections
import os
import random
import signal
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("websockets")

from orvu_sdk.testing import PlatformSimulator  # noqa: E402

HERE = Path(__file__).resolve().parent
SDK = HERE.parent / "sdk" / "src"


def environment(run_log: Path) -> dict[str, str]:
    env = dict(os.environ, STORE_TEST_RUN_LOG=str(run_log))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), str(SDK), env.get("PYTHONPATH")]))
    return env


async def start_host(sim: PlatformSimulator, agent: str, store: Path, env: dict[str, str],
                     max_retries: int) -> asyncio.subprocess.Process:
    return await asyncio.create_subprocess_exec(
        sys.executable, "-m", "orvu_sdk", "run", f"store_crash_agent:{agent}", "--url", sim.url,
        "--agent-id", sim.agent_id, "--max-retries", str(max_retries), "--store", str(store), env=env,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.mark.parametrize("seed", [1, 2])
def test_random_kills_lose_nothing_double_nothing_and_rerun_only_turns_in_flight(tmp_path, seed):
    random_kills(tmp_path, seed, count=80, kills=4)


def random_kills(tmp_path: Path, seed: int, count: int, kills: int) -> collections.Counter[str]:
    """Runs `count` messages through a host killed `kills` times at random moments and
    restarted, judges the run, and returns how often each message ran again."""
    rng = random.Random(seed)
    run_log = tmp_path / "runs.log"
    env = environment(run_log)
    rooms = ("lobby", "den")

    async def main() -> tuple[PlatformSimulator, list[str]]:
        async with PlatformSimulator(rooms=rooms) as sim:
            ids = [await sim.publish(rooms[i % 2], f"m{i}") for i in range(count)]
            for round_ in range(kills + 1):
                connections = len(sim.records.connections)
                process = await start_host(sim, "slow_echo", tmp_path / "host.db", env, 3)
                if round_ < kills:
                    await asyncio.sleep(rng.uniform(0.2, 1.2))
                    process.kill()
                    await process.wait()
                    with run_log.open("a") as log:
                        log.write("KILL\n")
                    continue
                # The last host is up (its signal handlers set) before it is asked to stop,
                # even when earlier hosts left nothing open.
                await sim.wait_for(lambda: len(sim.records.connections) > connections
                                   and sim.fully_subscribed() and not sim.open_messages(), 60)
                process.send_signal(signal.SIGINT)
                assert await asyncio.wait_for(process.wait(), 30) == 0
            return sim, ids

    sim, ids = asyncio.run(main())
    for message_id in ids:
        assert sim.records.terminal_writes[message_id] == ["processed"], message_id
        assert len(sim.records.replies[message_id]) == 1, message_id
    assert not sim.records.violations and not sim.records.retry_writes
    # A message runs again only when a kill came between its runs: only turns in flight at a
    # kill run again, and then as resumed runs under their first hand-off.
    last_run: dict[str, int] = {}
    kills_seen, reruns = 0, collections.Counter[str]()
    for line in run_log.read_text().splitlines():
        if line == "KILL":
            kills_seen += 1
            continue
        message_id, handoff, resumed = line.split()
        if message_id in last_run:
            assert last_run[message_id] < kills_seen and resumed == "1" and handoff == "1", line
            reruns[message_id] += 1
        last_run[message_id] = kills_seen
    assert kills_seen == kills and sum(reruns.values()) <= kills * len(rooms)
    return reruns


@pytest.mark.parametrize("max_retries", [1, 2])
def test_a_poison_message_is_settled_after_max_retries_runs_and_its_room_goes_on(tmp_path, max_retries):
    run_log = tmp_path / "runs.log"
    env = environment(run_log)

    async def main() -> tuple[PlatformSimulator, list[str], list[int]]:
        async with PlatformSimulator(rooms=("lobby",)) as sim:
            ids = [await sim.publish("lobby", text) for text in ("[poison] boom", "one", "two", "three")]
            exits: list[int] = []
            for _ in range(max_retries + 3):
                process = await start_host(sim, "poison_or_echo", tmp_path / "host.db", env, max_retries)
                done = asyncio.ensure_future(process.wait())
                settled = asyncio.ensure_future(sim.wait_for(lambda: not sim.open_messages(), 30))
                await asyncio.wait({done, settled}, return_when=asyncio.FIRST_COMPLETED)
                if settled.done() and not done.done():
                    process.send_signal(signal.SIGINT)
                await asyncio.wait_for(done, 30)
                settled.cancel()
                exits.append(process.returncode)
                if not sim.open_messages():
                    break
            return sim, ids, exits

    sim, ids, exits = asyncio.run(main())
    runs = run_log.read_text().split("\n")[:-1]
    poison_runs = [line for line in runs if line.startswith(ids[0] + " ")]
    assert exits == [-signal.SIGKILL] * max_retries + [0]
    assert len(poison_runs) == max_retries
    # Every run of the poison message resumes the first hand-off; the platform saw one.
    assert [line.split()[1:] for line in poison_runs] == [["1", str(int(i > 0))] for i in range(max_retries)]
    assert sim.records.handoffs[ids[0]] and {a for a, _ in sim.records.handoffs[ids[0]]} == {1}
    assert sim.records.terminal_writes[ids[0]] == ["failed"]
    assert sim.messages[ids[0]].error == "retry budget exhausted"
    for message_id in ids[1:]:
        assert sim.records.terminal_writes[message_id] == ["processed"]
        assert len(sim.records.replies[message_id]) == 1
    assert not sim.records.violations


def test_a_full_disk_stops_the_intake_says_why_and_the_next_host_finishes(tmp_path, caplog):
    from orvu_sdk import Host
    from orvu_sdk.store import SQLiteStore

    async def echo(message, tools):
        await tools.post(f"echo: {message['content']}")

    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(rooms=("lobby",))
        await sim.start()
        try:
            host = Host(sim.url, agent_id=sim.agent_id, agent=echo, time_scale=0.01, seed=1,
                        store=SQLiteStore(tmp_path / "host.db", max_bytes=48 * 1024))
            task = asyncio.ensure_future(host.run())
            await sim.wait_for(sim.fully_subscribed, 10)
            for i in range(400):
                await sim.publish("lobby", f"m{i} " + "x" * 200)
            await sim.wait_for(lambda: any(getattr(r, "orvu_event", None) == "store.failed"
                                           for r in caplog.records), 30)
            await host.stop()
            await asyncio.wait_for(task, 10)
            assert sim.open_messages()          # the rest was left for the next host
            host = Host(sim.url, agent_id=sim.agent_id, agent=echo, time_scale=0.01, seed=1,
                        store=tmp_path / "host.db")
            task = asyncio.ensure_future(host.run())
            await sim.wait_for(lambda: not sim.open_messages(), 30)
            await host.stop()
            await asyncio.wait_for(task, 10)
        finally:
            await sim.stop()
        return sim

    with caplog.at_level(logging.INFO, logger="orvu_sdk"):
        sim = asyncio.run(main())
    failed = [r for r in caplog.records if getattr(r, "orvu_event", None) == "store.failed"]
    assert len(failed) == 1 and str(tmp_path / "host.db") in failed[0].getMessage()
    assert all(writes == ["processed"] for writes in sim.records.terminal_writes.values())
    assert all(len(posted) == 1 for posted in sim.records.replies.values())
    assert len(sim.records.terminal_writes) == 400 and not sim.records.violations


def test_an_owed_retry_write_is_sent_by_the_next_host_and_the_retry_runs(tmp_path):
    run_log = tmp_path / "runs.log"
    env = environment(run_log)

    async def main() -> tuple[PlatformSimulator, str]:
        async with PlatformSimulator(rooms=("lobby",)) as sim:
            sim.refuse_writes(1)   # the first write is refused, and tried again a second later
            message_id = await sim.publish("lobby", "hello")
            process = await start_host(sim, "fails_first", tmp_path / "host.db", env, 3)
            await sim.wait_for(lambda: sim.records.refused_writes["rejected"] > 0, 20)
            process.kill()   # before it is tried again: owed
            await process.wait()
            process = await start_host(sim, "fails_first", tmp_path / "host.db", env, 3)
            await sim.wait_for(lambda: not sim.open_messages(), 20)
            process.send_signal(signal.SIGINT)
            assert await asyncio.wait_for(process.wait(), 30) == 0
            return sim, message_id

    sim, message_id = asyncio.run(main())
    assert run_log.read_text().split() == [message_id, "1", "0", message_id, "2", "0"]
    assert sim.records.retry_writes[message_id] == 1
    assert sim.records.terminal_writes[message_id] == ["processed"]
    assert [a for a, _ in sim.records.handoffs[message_id]] == [1, 2] and not sim.records.violations

"""Faults at any moment: the host library (`orvu_sdk.Host`) against the platform simulator while
faults of every kind strike in bursts, during joins, rejoins and admissions and
while earlier faults are still being mended.

Each run publishes its messages over five rooms while a fault task strikes at
random moments: after a random pause, right after the platform accepted a join
(often aiming a channel fault at the channel just joined), at a random point of
the set-up of the connection that follows one a fault ended, or while the host
is still mending an earlier fault. Rooms the agent is removed from are added back
a little later, sometimes at once. After the last fault every message must be
settled and every room the platform lists joined again within `settle_s`
seconds.

The verdict is counted from the simulator's records only:

* lost: a user message without an accepted terminal write;
* duplicated: a message with more than one accepted terminal write, a reply
  posted twice, or a violation the platform recorded against it;
* stranded: a room of the agent whose channels are not joined at the end.

Run it as a script to print the table for a range of seeds:

    python examples/chaos.py --seeds 20 --messages 1000
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import dataclasses
import random
import sys
import time
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))
# The library from this checkout when no orvu-sdk wheel is installed.
sys.path.append(str(Path(__file__).resolve().parent.parent / "sdk" / "src"))

import orvu_sdk_core as core  # noqa: E402
from platform_sim import RETRYABLE_FAULTS, SILENT_FAULTS, PlatformSimulator  # noqa: E402
from orvu_sdk import Host  # noqa: E402
from reference_host import EchoAgent  # noqa: E402

ROOMS = ("alpha", "beta", "gamma", "delta", "epsilon")
MAX_RETRIES = 2
TIME_SCALE = 0.001           # one host second lasts a millisecond
# Channel faults and the faults that end a connection are drawn more often than the rest:
# they are what strikes a join, a rejoin or an admission half-way.
# A platform gone silent is noticed by the host's own watchdog within its dead threshold.
FAULT_KINDS = RETRYABLE_FAULTS + SILENT_FAULTS + ("crash_channel", "close_channel", "drop", "refuse_503", "supersede") * 2
ENDINGS = ("drop", "refuse_503", "refuse_429", "supersede", "go_silent")


def fault_test_policy() -> dict[str, float]:
    """The default reconnect numbers, except a rapid-disconnect threshold that a
    fault run with hundreds of injected disconnects does not reach."""
    return {
        "base_delay_s": 1, "factor": 2.0, "max_delay_s": 30, "stable_reset_s": 60,
        "rapid_disconnect_uptime_s": 10, "rapid_window_s": 300, "rapid_first_min_delay_s": 1,
        "rapid_second_min_delay_s": 5, "rapid_cooldown_base_s": 10, "rapid_cooldown_step_s": 10,
        "rapid_cooldown_max_s": 60, "rapid_threshold": 100000, "heartbeat_interval_s": 30,
        "dead_threshold_s": 60,
    }


def content(rng: random.Random, n: int) -> str:
    roll = rng.random()
    tag = ("[fail]" if roll < 0.06 else "[flaky]" if roll < 0.12 else "[quiet]" if roll < 0.16
           else "[mute]" if roll < 0.20 else "")
    return f"message {n} {tag}".strip()


@dataclasses.dataclass
class ChaosResult:
    seed: int
    messages: int
    faults: int
    lost: list[str]                  # never settled by the platform
    never_handed: list[str]          # never announced to the platform as handed to the agent
    duplicated: list[str]
    stranded: list[str]              # rooms of the agent left unjoined
    violations: list[str]
    settled_s: float | None          # seconds from the last fault until all was settled
    silences: int = 0                # connections the platform stopped serving
    unnoticed: int = 0               # ... that the host never closed
    fault_counts: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    sim: Any = None
    host: Any = None

    @property
    def live(self) -> bool:
        return not (self.lost or self.duplicated or self.stranded or self.violations or self.unnoticed)


def duplicated_messages(sim: PlatformSimulator) -> list[str]:
    """Messages the platform saw settled, handed over or answered more often than once."""
    records = sim.records
    found = set()
    for message in sim.user_messages():
        attempts = [attempt for attempt, _ in records.handoffs[message.id]]
        replies = [text for text, _ in records.replies[message.id]]
        if (len(records.terminal_writes[message.id]) > 1 or len(attempts) != len(set(attempts))
                or len(attempts) > MAX_RETRIES or len(replies) > 1):
            found.add(message.id)
    for violation in records.violations:
        found.add(violation.split(" ", 1)[0].rstrip(":"))
    return sorted(found)


async def _storm(sim: PlatformSimulator, rng: random.Random, published: list[int],
                 publishing: asyncio.Task[None], removals: list[asyncio.Task[None]]) -> None:
    """Strikes until the publisher is done: every few messages, in bursts of one to three."""
    async def add_back(room: str, delay: float, while_away: bool) -> None:
        if while_away:
            # Added while the host is reconnecting: the next room list admits it.
            await wait_briefly(lambda: not sim.connected, 0.5)
        await asyncio.sleep(delay)
        await sim.add_agent(room)

    async def wait_briefly(predicate: Any, timeout: float) -> None:
        try:
            await sim.wait_for(predicate, timeout)
        except (TimeoutError, asyncio.TimeoutError):
            pass

    chase: int | None = None   # connections opened before a burst that ended one
    while not publishing.done():
        trigger = rng.random()
        aim_at_join = False
        if chase is not None:
            # The last burst ended the connection: strike the next one at a random point of its
            # set-up (agent topics, rooms rejoined, rooms admitted from the room list).
            connections, chase = chase, None
            await wait_briefly(lambda: len(sim.records.connections) > connections and sim.connected, 0.5)
            wanted = len(sim.records.joins) + rng.randint(1, 14)
            await wait_briefly(lambda: len(sim.records.joins) >= wanted, 0.2)
            aim_at_join = True
        else:
            due = published[0] + rng.randint(1, 10)
            await wait_briefly(lambda: published[0] >= due or publishing.done(), 5.0)
            if trigger < 0.4:
                # Right after the platform accepted a join: the host is joining, rejoining or admitting.
                seen = len(sim.records.joins)
                await wait_briefly(lambda: len(sim.records.joins) > seen, 0.02)
                aim_at_join = len(sim.records.joins) > seen
            elif trigger < 0.6:
                # While an earlier fault is still being mended.
                await wait_briefly(lambda: not sim.fully_subscribed(), 0.02)
        for _ in range(rng.choice((1, 1, 2, 3))):
            kind = rng.choice(FAULT_KINDS)
            if kind in ("crash_channel", "close_channel") and aim_at_join and rng.random() < 0.6:
                topic = sim.records.joins[-1]
                await (sim.crash_channel(topic) if kind == "crash_channel" else sim.close_channel(topic))
            elif kind == "remove_from_room":
                members = sorted(sim.members)
                if len(members) > 1:
                    room = rng.choice(members)
                    await sim.remove_agent(room)
                    delay = 0.0 if rng.random() < 0.3 else rng.uniform(0.0, 0.05)
                    removals.append(asyncio.ensure_future(add_back(room, delay, rng.random() < 0.5)))
            else:
                await sim.inject(kind)
                if kind in ENDINGS and chase is None and rng.random() < 0.6:
                    chase = len(sim.records.connections)


async def run_chaos(seed: int, messages: int = 1000, settle_s: float = 20.0, pace_s: float = 0.002,
                    log: Any = None) -> ChaosResult:
    """One run of `messages` messages under faults at any moment; see the module docstring."""
    rng = random.Random(seed)
    sim = PlatformSimulator(rooms=ROOMS, seed=seed, replay_completed=2, log=log)
    url = await sim.start()
    host = Host(url, agent_id=sim.agent_id, agent=EchoAgent(), policy=core.SessionPolicy(fault_test_policy()),
                time_scale=TIME_SCALE, max_retries=MAX_RETRIES, seed=seed)
    host_task = asyncio.ensure_future(host.run())
    removals: list[asyncio.Task[None]] = []
    settled_s: float | None = None
    try:
        await sim.wait_for(sim.fully_subscribed)

        published = [0]

        async def publish() -> None:
            for n in range(messages):
                await sim.publish(rng.choice(ROOMS), content(rng, n))
                published[0] = n + 1
                await asyncio.sleep(pace_s)
                if n % 10 == 9:
                    # A bounded backlog, so that faults strike work in progress; a room left
                    # unjoined on a live connection does not hold the others back.
                    try:
                        await sim.wait_for(lambda: sum(1 for m in sim.open_messages()
                                                       if not sim.connected or sim.room_ready(m.room_id)) < 30,
                                           1.0)
                    except (TimeoutError, asyncio.TimeoutError):
                        pass

        publishing = asyncio.ensure_future(publish())
        await _storm(sim, rng, published, publishing, removals)
        await publishing
        await asyncio.gather(*removals)
        last_fault = time.monotonic()
        try:
            await sim.wait_for(lambda: not sim.open_messages() and sim.fully_subscribed(), settle_s)
            settled_s = time.monotonic() - last_fault
        except (TimeoutError, asyncio.TimeoutError):
            pass
        stranded = sorted(room for room in sim.members if not sim.room_ready(room))
        await sim.close_normally()
        await asyncio.wait_for(host_task, 10)
    finally:
        host_task.cancel()
        for task in removals:
            task.cancel()
        await asyncio.gather(host_task, *removals, return_exceptions=True)
        await sim.stop()
    users = sim.user_messages()
    faults = collections.Counter({kind: sim.records.faults[kind] for kind in RETRYABLE_FAULTS + SILENT_FAULTS})
    return ChaosResult(
        seed=seed, messages=len(users), faults=sum(faults.values()),
        lost=[m.id for m in users if m.terminal is None],
        never_handed=[m.id for m in users if not sim.records.handoffs[m.id]],
        duplicated=duplicated_messages(sim), stranded=stranded,
        violations=list(sim.records.violations), settled_s=settled_s, fault_counts=faults,
        silences=len(sim.records.silences),
        unnoticed=sum(1 for _, closed in sim.records.silences.values() if closed is None),
        sim=sim, host=host)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=20, help="how many seeds to run")
    parser.add_argument("--first", type=int, default=1, help="the first seed")
    parser.add_argument("--messages", type=int, default=1000, help="messages per run")
    parser.add_argument("--settle", type=float, default=20.0, help="seconds allowed to settle after the last fault")
    args = parser.parse_args()
    print(f"{'seed':>6} {'faults':>6} {'lost':>5} {'never handed':>12} {'duplicated':>10} "
          f"{'stranded rooms':<20} {'settled in':>10} {'silences noticed':>16}")
    totals: collections.Counter[str] = collections.Counter()
    for seed in range(args.first, args.first + args.seeds):
        try:
            result = asyncio.run(run_chaos(seed, args.messages, args.settle))
        except TimeoutError:
            # The host never subscribed, or never ended once told to stop: not live.
            print(f"{seed:>6} the run did not finish in time", flush=True)
            totals.update(runs=1, failed_runs=1)
            continue
        settled = f"{result.settled_s:.2f}s" if result.settled_s is not None else "never"
        print(f"{seed:>6} {result.faults:>6} {len(result.lost):>5} {len(result.never_handed):>12} "
              f"{len(result.duplicated):>10} {','.join(result.stranded) or '-':<20} {settled:>10} "
              f"{result.silences - result.unnoticed:>7} of {result.silences:<5}", flush=True)
        totals.update(runs=1, faults=result.faults, lost=len(result.lost), duplicated=len(result.duplicated),
                      stranded_runs=bool(result.stranded), failed_runs=not result.live)
    print(f"{totals['runs']} runs, {totals['faults']} faults: {totals['lost']} lost, "
          f"{totals['duplicated']} duplicated, {totals['stranded_runs']} runs with a stranded room, "
          f"{totals['failed_runs']} runs not live")
    if totals["lost"] or totals["duplicated"] or totals["stranded_runs"] or totals["failed_runs"]:
        raise SystemExit(1)


if __name__ == "__main__":
    main()

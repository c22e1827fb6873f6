"""Throughput of a host: CPU time of the host process per message, and messages per
second, with the platform simulator in a process of its own on loopback.

Two hosts handle the same run of messages in one room:

* the bare loop: a plain `websockets` client that does the protocol work of each
  message and nothing more (receive the push, announce the hand-off, post the reply,
  write the terminal write, awaiting each answer), with no decision module and no
  library;
* the library: `orvu_sdk.Host` with an echo agent, without a store and with an
  SQLite store (`store=`), which records every ledger decision before acting on it.

Each pass runs in this process against a fresh simulator started with
`python -m orvu_sdk.testing serve --exit-when-settled`; the pass ends when the
simulator, having seen every message settled, prints its verdict and exits. CPU time
is `time.process_time()` of this process over the pass. A profile of a further library
pass then shows where the library's own time goes. A measurement, not a test: nothing
is asserted, and the figures compare within one run only.

    python bench/throughput.py [--messages 2000] [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import cProfile
import dataclasses
import io
import itertools
import json
import os
import pstats
import sys
import tempfile
import time
from typing import Any, Awaitable, Callable

from websockets.asyncio.client import connect

AGENT = "agent-1"
ROOM = "bench"


@dataclasses.dataclass
class Pass:
    name: str
    messages: int
    cpu_s: float
    system_s: float     # the kernel's share of cpu_s: loopback sends run the receiving side too
    wall_s: float
    verdict: str

    @property
    def cpu_us_per_message(self) -> float:
        return self.cpu_s / self.messages * 1e6

    @property
    def per_second(self) -> float:
        return self.messages / self.wall_s


async def run_pass(name: str, messages: int, host: Callable[[str, asyncio.Event], Awaitable[None]]) -> Pass:
    """Starts a simulator process, runs `host(url, done)` until the simulator exits, and
    measures this process over the pass."""
    serve = await asyncio.create_subprocess_exec(
        sys.executable, "-m", "orvu_sdk.testing", "serve", "--rooms", ROOM, "--agent-id", AGENT,
        "--messages", str(messages), "--pace", "0", "--exit-when-settled",
        stdout=asyncio.subprocess.PIPE)
    assert serve.stdout is not None
    url = (await serve.stdout.readline()).decode().strip()
    done = asyncio.Event()
    cpu0, system0, wall0 = time.process_time(), os.times().system, time.perf_counter()
    task = asyncio.ensure_future(host(url, done))
    output = (await serve.stdout.read()).decode()
    await serve.wait()
    cpu, system, wall = time.process_time() - cpu0, os.times().system - system0, time.perf_counter() - wall0
    done.set()
    await task
    verdict = output.strip().splitlines()[-1] if output.strip() else "no verdict"
    return Pass(name, messages, cpu, system, wall, verdict)


# -- the bare loop -----------------------------------------------------------------------

async def bare_host(url: str, done: asyncio.Event) -> None:
    """Joins the agent's topics and its room, then handles each message in turn."""
    refs = itertools.count(1)
    pending: dict[str, asyncio.Future[dict[str, Any]]] = {}
    inbox: asyncio.Queue[dict[str, Any] | None] = asyncio.Queue()   # None: the pass is over
    join_refs: dict[str, str] = {}
    async with connect(url, ping_interval=None, max_size=None) as ws:
        async def request(topic: str, event: str, payload: dict[str, Any]) -> dict[str, Any]:
            ref = str(next(refs))
            if event == "phx_join":
                join_refs[topic] = ref
            reply = asyncio.get_running_loop().create_future()
            pending[ref] = reply
            await ws.send(json.dumps([join_refs.get(topic), ref, topic, event, payload]))
            return await reply

        async def read() -> None:
            async for raw in ws:
                _, ref, _, event, payload = json.loads(raw)
                if event == "phx_reply":
                    future = pending.pop(ref, None)
                    if future is not None:
                        future.set_result(payload)
                elif event == "message_created" and payload.get("sender_type") != "Agent":
                    inbox.put_nowait(payload)

        reader = asyncio.ensure_future(read())
        topic = f"chat_room:{ROOM}"
        for joined in (f"agent_rooms:{AGENT}", f"agent_control:{AGENT}", f"agent_contacts:{AGENT}",
                       topic, f"room_participants:{ROOM}"):
            await request(joined, "phx_join", {})
        async def end() -> None:
            await done.wait()
            inbox.put_nowait(None)

        ending = asyncio.ensure_future(end())
        tokens = itertools.count(1)
        while (message := await inbox.get()) is not None:
            mid = message["id"]
            await request(topic, "turn_started", {"message_id": mid, "attempt": 1})
            await request(topic, "send_message", {"content": message["content"], "in_reply_to": mid,
                                                  "client_ref": f"c-{mid}"})
            await request(topic, "mark_processed", {"message_id": mid, "token": str(next(tokens))})
        reader.cancel()
        await asyncio.gather(reader, ending, return_exceptions=True)


# -- the library -------------------------------------------------------------------------

def library_host(store: bool = False) -> Callable[[str, asyncio.Event], Awaitable[None]] | None:
    """A host run by the library with an echo agent (with a fresh SQLite store in a
    temporary folder when `store` is true), or None while the library has no Host."""
    try:
        from orvu_sdk import Host
    except ImportError:
        return None

    async def echo(message: Any, tools: Any) -> None:
        await tools.post(message["content"])

    async def run(url: str, done: asyncio.Event) -> None:
        with tempfile.TemporaryDirectory() as folder:
            host = Host(url, agent_id=AGENT, agent=echo,
                        store=os.path.join(folder, "host.db") if store else None)
            task = asyncio.create_task(host.run())
            await done.wait()
            await host.stop()
            await task

    return run


def profile_summary(profile: cProfile.Profile, top: int) -> str:
    """The library's own functions by time spent in them, and the pass's time by package."""
    stats = pstats.Stats(profile)
    by_package: collections.Counter[str] = collections.Counter()
    own: list[tuple[float, int, str]] = []
    entries: dict[Any, Any] = stats.stats  # type: ignore[attr-defined]
    for (path, line, function), (_, calls, tottime, _, _) in entries.items():
        package = ("orvu_sdk (the library)" if "/orvu_sdk/" in path else
                   "orvu_sdk_core" if "orvu_sdk_core" in function or "orvu_sdk_core" in path else
                   "websockets" if "/websockets/" in path else
                   "asyncio" if "/asyncio/" in path else
                   "json" if "/json/" in path or "json" in function else
                   "other")
        by_package[package] += tottime
        if "/orvu_sdk/" in path:
            own.append((tottime, calls, f"{path.split('/orvu_sdk/', 1)[1]}:{line}({function})"))
    total = sum(by_package.values()) or 1.0
    out = io.StringIO()
    print("  time by package (tottime):", file=out)
    for package, seconds in by_package.most_common():
        print(f"    {package:<24} {seconds:8.3f} s  {seconds / total:6.1%}", file=out)
    print(f"  the library's own functions, top {top} by tottime:", file=out)
    for seconds, calls, where in sorted(own, reverse=True)[:top]:
        print(f"    {seconds:8.3f} s  {calls:>8} calls  {where}", file=out)
    return out.getvalue()


async def main_async(messages: int, top: int) -> None:
    bare = await run_pass("bare websockets loop", messages, bare_host)
    passes = [bare]
    library = library_host()
    if library is not None:
        passes.append(await run_pass("library (orvu_sdk.Host, echo agent)", messages, library))
        stored = library_host(store=True)
        assert stored is not None
        passes.append(await run_pass("library with an SQLite store", messages, stored))
    print(f"{messages} messages in one room, simulator in its own process on loopback")
    print(f"{'host':<38} {'CPU/message':>12} {'of it kernel':>12} {'messages/s':>11} {'vs bare':>8}  verdict")
    for one in passes:
        print(f"{one.name:<38} {one.cpu_us_per_message:>9.1f} us {one.system_s / one.cpu_s:>12.0%} "
              f"{one.per_second:>11,.0f} {one.cpu_us_per_message / bare.cpu_us_per_message:>7.2f}x  {one.verdict}")
    if library is None:
        print("library (orvu_sdk.Host, echo agent): unavailable, orvu_sdk has no Host yet")
        return
    profile = cProfile.Profile()
    profile.enable()
    await run_pass("profiled library pass", messages, library)
    profile.disable()
    print("profile of a further library pass (profiling slows it; shares, not times, are the point):")
    print(profile_summary(profile, top), end="")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--messages", type=int, default=2000, help="messages per pass (default 2000)")
    parser.add_argument("--quick", action="store_true", help="a smoke run of 100 messages")
    parser.add_argument("--top", type=int, default=15, help="library functions listed in the profile")
    args = parser.parse_args()
    asyncio.run(main_async(100 if args.quick else args.messages, args.top))


if __name__ == "__main__":
    main()

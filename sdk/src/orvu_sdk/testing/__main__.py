"""`python -m orvu_sdk.testing serve`: the platform simulator for a host written in any
language, with the exactly-once verdict at the end.

    python -m orvu_sdk.testing serve --port 4000 --rooms a,b --messages 200 --faults drop,crash_channel

The first line written to stdout is the URL to connect to. Once the agent holds all its
topics, the simulator publishes the messages (spread over the rooms) while striking with
the faults. On SIGINT or SIGTERM, or once every message is settled when asked with
--exit-when-settled, it stops striking, gives the host --settle seconds to finish, and
prints the verdict. The exit status is 0 only when the verdict holds; 1 when it does not;
2 for a bad command line.
"""

from __future__ import annotations

import argparse
import asyncio
import math
import signal
import sys
from typing import Sequence

from orvu_sdk.testing.simulator import ALL_FAULTS, PlatformSimulator
from orvu_sdk.testing.verdict import judge

EXIT_HOLDS, EXIT_FAILS, EXIT_USAGE = 0, 1, 2


def _names(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError("expected a comma-separated list of names")
    return names


def _faults(text: str) -> list[str]:
    names = _names(text)
    unknown = [name for name in names if name not in ALL_FAULTS]
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown fault(s) {', '.join(unknown)}; known: {', '.join(ALL_FAULTS)}")
    return names


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected seconds, got {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"expected a finite number of seconds >= 0, got {text!r}")
    return value


def _interval(text: str) -> tuple[float, float]:
    parts = text.split(",")
    bounds = [_seconds(part) for part in parts]
    if len(bounds) == 1:
        bounds *= 2
    if len(bounds) != 2 or not 0 < bounds[0] <= bounds[1]:
        raise argparse.ArgumentTypeError(f"expected LOW,HIGH seconds with 0 < LOW <= HIGH, got {text!r}")
    return bounds[0], bounds[1]


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected 0 or more, got {text!r}")
    return value


def _port(text: str) -> int:
    value = _count(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"expected a port between 0 and 65535, got {text!r}")
    return value


def parser() -> argparse.ArgumentParser:
    main = argparse.ArgumentParser(prog="python -m orvu_sdk.testing",
                                   description="The test kit's platform simulator, for hosts in any language.")
    commands = main.add_subparsers(dest="command", required=True)
    serve = commands.add_parser(
        "serve", help="serve the simulator on 127.0.0.1 and judge the run at exit",
        description="Prints the URL to connect to, publishes the messages once the agent holds all its "
                    "topics while striking with the faults, and at SIGINT or SIGTERM (or once settled, "
                    "with --exit-when-settled) prints the verdict: exit status 0 only when it holds.")
    serve.add_argument("--port", type=_port, default=0, help="port on 127.0.0.1 (default: a free one)")
    serve.add_argument("--agent-id", default="agent-1", help="the agent's id (default: agent-1)")
    serve.add_argument("--rooms", type=_names, default=["lobby"], help="comma-separated room ids (default: lobby)")
    serve.add_argument("--seed", type=int, default=0, help="seed of every random choice (default: 0)")
    serve.add_argument("--messages", type=_count, default=0, help="user messages to publish (default: 0)")
    serve.add_argument("--pace", type=_seconds, default=0.01, help="seconds between two messages (default: 0.01)")
    serve.add_argument("--faults", type=_faults, default=[],
                       help=f"comma-separated faults to strike with, among: {', '.join(ALL_FAULTS)}")
    serve.add_argument("--fault-every", type=_interval, default=(0.05, 0.25), metavar="LOW,HIGH",
                       help="seconds between two faults, drawn in this range (default: 0.05,0.25)")
    serve.add_argument("--replay-completed", type=_count, default=0,
                       help="settled messages replayed on every join of a room (default: 0)")
    serve.add_argument("--replies-per-message", type=_count, default=1,
                       help="replies a message may draw before it counts as answered twice (default: 1)")
    serve.add_argument("--settle", type=_seconds, default=10.0,
                       help="seconds the host gets to settle once told to stop (default: 10)")
    serve.add_argument("--exit-when-settled", action="store_true",
                       help="stop on its own once every message is published and settled")
    serve.add_argument("--log", action="store_true", help="write the platform's log to stderr")
    return main


async def serve(args: argparse.Namespace) -> int:
    def log(line: str) -> None:
        print(line, file=sys.stderr, flush=True)

    simulator = PlatformSimulator(agent_id=args.agent_id, rooms=args.rooms, seed=args.seed,
                                  replay_completed=args.replay_completed, log=log if args.log else None)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, stop.set)
    async with simulator:
        print(simulator.url, flush=True)
        work = asyncio.ensure_future(_drive(simulator, args, stop))
        await stop.wait()
        work.cancel()
        await asyncio.gather(work, return_exceptions=True)
        await simulator.calm()
        try:
            await simulator.wait_settled(args.settle)
        except TimeoutError:
            pass
        verdict = judge(simulator, replies_per_message=args.replies_per_message)
    faults = ", ".join(f"{kind} {count}" for kind, count in sorted(simulator.records.faults.items()))
    print(f"faults: {faults or 'none'}; connections: {len(simulator.records.connections)}", flush=True)
    print(verdict, flush=True)
    return EXIT_HOLDS if verdict.holds else EXIT_FAILS


async def _drive(simulator: PlatformSimulator, args: argparse.Namespace, stop: asyncio.Event) -> None:
    """Waits for the agent, then publishes while striking; with --exit-when-settled, asks
    for the stop once everything is settled."""
    await simulator.wait_for(simulator.fully_subscribed, timeout=None)
    if args.faults:
        await simulator.start_faults(args.faults, every_s=args.fault_every)
    rooms: list[str] = args.rooms
    for n in range(args.messages):
        await simulator.publish(simulator.rng.choice(rooms), f"message {n + 1}")
        await asyncio.sleep(args.pace)
    if args.exit_when_settled:
        await simulator.calm()
        await simulator.wait_for(simulator.settled, timeout=None)
        stop.set()


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main())

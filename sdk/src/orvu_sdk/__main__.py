"""`python -m orvu_sdk run module:agent --url URL --agent-id ID`: runs an agent from the
command line until SIGINT or SIGTERM (a graceful stop) or until the session ends.

Exit status: 0 after a clean stop; 3 when the session ended dead for good (a final refusal,
a terminal close: restarting will not help); 1 when the host crashed; 2 for a bad command
line or an agent that cannot be loaded. The token is read from the environment variable named
by `--token-env` (ORVU_TOKEN by default) on every connect, never from the command line.
"""

from __future__ import annotations

import argparse
import asyncio
import importlib
import inspect
import logging
import os
import signal
import sys
from collections.abc import Sequence
from typing import Any, cast

from ._logs import LOGGER
from .delivery import Agent
from .host import Host
from .store import StoreError

EXIT_STOPPED = 0
EXIT_CRASHED = 1
EXIT_USAGE = 2
EXIT_DEAD = 3


def load_agent(spec: str) -> Agent:
    """The agent named "module:attribute" (the attribute may be dotted)."""
    module_name, _, attribute = spec.partition(":")
    if not module_name or not attribute:
        raise ValueError(f"the agent must be given as module:attribute, got {spec!r}")
    target: Any = importlib.import_module(module_name)
    for part in attribute.split("."):
        target = getattr(target, part)
    if inspect.isclass(target):
        target = target()
    if not callable(target):
        raise TypeError(f"{spec} is not callable")
    return cast(Agent, target)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m orvu_sdk", description="Runs an agent on the platform.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run an agent until stopped")
    run.add_argument("agent", help="the agent as module:attribute (a class is instantiated without arguments)")
    run.add_argument("--url", required=True, help="the platform's WebSocket URL (ws:// or wss://)")
    run.add_argument("--agent-id", required=True, help="the agent's id")
    run.add_argument("--token-env", default="ORVU_TOKEN",
                     help="environment variable holding the agent's token (default ORVU_TOKEN)")
    run.add_argument("--max-retries", type=int, default=2, help="attempts per message in all (default 2)")
    run.add_argument("--turn-timeout", type=float, default=300.0, help="seconds an agent turn may run")
    run.add_argument("--store", default=None, metavar="PATH",
                     help="an SQLite file that keeps retry budgets and owed writes across restarts")
    run.add_argument("--log-level", default="INFO", choices=("DEBUG", "INFO", "WARNING", "ERROR"))
    return parser


async def _run(host: Host) -> int:
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(signum, lambda: asyncio.ensure_future(host.stop()))
        except (NotImplementedError, RuntimeError):   # no signal handlers on this platform
            pass
    await host.run()
    return EXIT_STOPPED if host.stop_requested else EXIT_DEAD


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    logging.basicConfig(level=getattr(logging, args.log_level), stream=sys.stderr,
                        format="%(asctime)s %(levelname)s %(name)s %(message)s")
    sys.path.insert(0, os.getcwd())
    try:
        agent = load_agent(args.agent)
    except Exception as exc:
        print(f"python -m orvu_sdk: cannot load the agent {args.agent}: {exc}", file=sys.stderr)
        return EXIT_USAGE
    token_env: str = args.token_env

    def params() -> dict[str, str]:
        token = os.environ.get(token_env)
        return {"token": token} if token else {}

    try:
        host = Host(args.url, agent_id=args.agent_id, agent=agent, params=params,
                    max_retries=args.max_retries, turn_timeout_s=args.turn_timeout, store=args.store)
    except (TypeError, ValueError, StoreError) as exc:
        print(f"python -m orvu_sdk: {exc}", file=sys.stderr)
        return EXIT_USAGE
    try:
        return asyncio.run(_run(host))
    except Exception as exc:
        LOGGER.critical("host.crashed %s: %s", type(exc).__name__, exc)
        return EXIT_CRASHED


if __name__ == "__main__":
    sys.exit(main())

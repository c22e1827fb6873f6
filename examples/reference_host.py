"""A host written with the library: the demo agent `EchoAgent` on the platform.

Everything a host must get right (reconnects, rooms and topics, exactly-once delivery, the
terminal writes) is `orvu_sdk.Host`'s. What is left to write is the agent:

    python examples/reference_host.py ws://127.0.0.1:4000/socket/websocket agent-1

The agent answers every message with an echo, except:

* "[fail]" anywhere in the text: it fails on every attempt;
* "[flaky]": it fails on the first attempt only;
* "[quiet]": it declines with `orvu_no_reply`;
* "[mute]": it only looks at the participants and ends without replying (the host then posts
  the missing-reply notice).
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import logging
import os
import signal
import sys
from pathlib import Path
from typing import Any

# The library from this checkout when no orvu-sdk wheel is installed.
sys.path.append(str(Path(__file__).resolve().parent.parent / "sdk" / "src"))

from orvu_sdk import Hooks  # noqa: E402, Host, MessageCreated, SessionState, Tools


class AgentError(Exception):
    """Raised by the demo agent when it fails on purpose."""


class EchoAgent:
    """The demo agent; `seen` counts the runs of each message."""

    def __init__(self) -> None:
        self.seen: collections.Counter[str] = collections.Counter()

    async def __call__(self, message: MessageCreated, tools: Tools) -> None:
        text = message["content"]
        self.seen[message["id"]] += 1
        await tools.call("orvu_get_participants")
        await asyncio.sleep(0)
        if "[fail]" in text:
            raise AgentError("the demo agent fails on purpose")
        if "[flaky]" in text and tools.attempt == 1:
            raise AgentError("the demo agent fails on a first attempt")
        if "[quiet]" in text:
            await tools.call("orvu_no_reply", reason="nothing to add")
            return
        if "[mute]" in text:
            return
        await tools.post(f"echo: {text}")


def printing_hooks() -> Hooks:
    """Hooks that print what happens besides messages."""
    def say(text: str) -> None:
        print(f"[host] {text}")

    def rooms_changed(room: str, people: list[Any]) -> None:
        say(f"{room}: {len(people)} participants")

    return Hooks(
        on_connected=lambda: say("connected"),
        on_reconnected=lambda: say("reconnected"),
        on_disconnected=lambda code: say(f"disconnected ({code})"),
        on_room_added=lambda room: say(f"added to {room['id']}"),
        on_room_removed=lambda room: say(f"removed from {room}"),
        on_room_rejoined=lambda room: say(f"rejoined {room}"),
        on_participants=rooms_changed,
        on_supersede=lambda notice: say(f"superseded: {notice['message']}"),
        on_dead=lambda reason: say(f"session dead ({reason})"),
        on_error=lambda exc, where: say(f"error in {where}: {exc}"),
    )


async def main(url: str, agent_id: str) -> SessionState:
    host = Host(url, agent_id=agent_id, agent=EchoAgent(), hooks=printing_hooks(),
                params=lambda: {"token": os.environ.get("ORVU_TOKEN", "")})
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, lambda: asyncio.ensure_future(host.stop()))
    return await host.run()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="The demo agent on the platform at URL.")
    parser.add_argument("url")
    parser.add_argument("agent_id", nargs="?", default="agent-1")
    args = parser.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(message)s")
    print(f"session ended: {asyncio.run(main(args.url, args.agent_id))}")

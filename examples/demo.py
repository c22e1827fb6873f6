"""A short run of the host library against the local platform simulator.

Both run in this process and talk over a real WebSocket on 127.0.0.1. Lines
prefixed [host] come from the host's hooks; lines prefixed [platform] are what
the simulated platform did. The host's clock runs twenty times faster than the
wall clock, so a one-second backoff takes 50 ms.

What to look for:
  1. the host connects, joins its agent topics, admits and joins two rooms;
  2. four messages arrive and are each handled once (one on a second attempt,
     one declined with orvu_no_reply, one where the agent forgot to answer and
     the host posts the missing-reply notice);
  3. the lobby's chat channel crashes (phx_error) while the socket stays up:
     the host rejoins it under the ticket its SubscriptionTracker kept, and the
     message sent meanwhile is pushed again on the new channel and handled once;
  4. the platform drops the socket (1006), the session backs off and reconnects;
  5. the platform replays messages it already holds as done, and the host
     recognises them as completed instead of handling them again;
  6. a last message, then a clean stop.
"""

from __future__ import annotations

import asyncio
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
# The library from this checkout when no orvu-sdk wheel is installed.
sys.path.append(str(Path(__file__).resolve().parent.parent / "sdk" / "src"))

from orvu_sdk import Host  # noqa: E402
from platform_sim import PlatformSimulator  # noqa: E402
from reference_host import EchoAgent, printing_hooks  # noqa: E402


def banner(text: str) -> None:
    print(f"\n=== {text}")


async def main() -> None:
    sim = PlatformSimulator(rooms=["lobby", "support"], seed=7, replay_completed=3, log=print)
    url = await sim.start()
    banner(f"platform simulator listening on {url}")
    host = Host(url, agent_id=sim.agent_id, agent=EchoAgent(), hooks=printing_hooks(), time_scale=0.05, seed=7)
    run = asyncio.create_task(host.run())

    await sim.wait_for(sim.fully_subscribed, timeout=10)
    banner("four messages arrive")
    await sim.publish("lobby", "hello there")
    await sim.publish("support", "my printer is on fire [flaky]")
    await sim.publish("lobby", "thanks, that's all [quiet]")
    await sim.publish("lobby", "(a message the agent ignores) [mute]")
    await sim.wait_for(lambda: not sim.open_messages(), timeout=10)

    banner("the lobby's chat channel crashes (phx_error); a message arrives while it is down")
    await sim.crash_channel("chat_room:lobby")
    await sim.publish("lobby", "anyone there?")
    await sim.wait_for(lambda: sim.room_ready("lobby") and not sim.open_messages(), timeout=10)

    banner("the platform drops the socket without a close frame")
    await sim.drop()
    await sim.wait_for(sim.fully_subscribed, timeout=10)
    await sim.wait_for(lambda: sim.records.replayed_completed >= 3, timeout=10)

    banner("one more message on the new connection")
    await sim.publish("support", "is it fixed?")
    await sim.wait_for(lambda: not sim.open_messages(), timeout=10)

    banner("clean stop")
    await host.stop()
    state = await asyncio.wait_for(run, timeout=10)
    await sim.stop()

    banner(f"session state: {state!r}")
    records = sim.records
    for message in sim.user_messages():
        attempts = [attempt for attempt, _ in records.handoffs[message.id]]
        replies = [text for text, _ in records.replies[message.id]]
        print(f"{message.id} in {message.room_id}: {message.content!r}\n"
              f"    handed to the agent on attempts {attempts}, terminal write {records.terminal_writes[message.id]},"
              f" replies {replies}")
    print(f"connections: {len(records.connections)}, messages pushed again on rejoin: {records.redeliveries},"
          f" replays of completed messages: {records.replayed_completed}, platform-side violations: "
          f"{records.violations or 'none'}")


if __name__ == "__main__":
    asyncio.run(main())

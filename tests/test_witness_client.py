"""The platform simulator driven by a Phoenix Channels client this project did not
write (a test-only dependency, pinned in pyproject.toml and scripts/test.sh): the
simulator speaks the protocol as others implement it, not only as our host reads it.
"""

from __future__ import annotations

import asyncio
import sys
from pathlib import Path
from typing import Any

import pytest

witness = pytest.importorskip("phoenix_channels_python_client")

from phoenix_channels_python_client import (  # noqa: E402
    PhoenixChannelsProtocolVersion,
    PHXChannelsClient,
    ReconnectPolicy,
)
from phoenix_channels_python_client.exceptions import PHXConnectionError  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from platform_sim import PlatformSimulator  # noqa: E402

AGENT = "agent-1"
CHAT = "chat_room:lobby"
PEOPLE = "room_participants:lobby"
# Short backoffs so that a crashed channel is rejoined at once.
QUICK = ReconnectPolicy(base_delay_s=0.01, max_delay_s=0.05)


async def next_push(queue: asyncio.Queue[Any], event: str) -> Any:
    while True:
        message = await asyncio.wait_for(queue.get(), 10)
        if message.event == event:
            return message


def test_a_third_party_client_joins_heartbeats_recovers_and_rejoins():
    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, rooms=["lobby"], log=None)
        await sim.start()
        pushes: asyncio.Queue[Any] = asyncio.Queue()
        lost: asyncio.Queue[tuple[str, Exception]] = asyncio.Queue()

        async def on_message(message: Any) -> None:
            pushes.put_nowait(message)

        async def on_topic_lost(topic: str, error: Exception) -> None:
            lost.put_nowait((topic, error))

        try:
            async with PHXChannelsClient(sim.base_url, "unused", reconnect_policy=QUICK,
                                         heartbeat_interval_s=0.05, on_topic_lost=on_topic_lost) as client:
                # Join: both room topics, each its own channel.
                await client.subscribe_to_topic(CHAT, on_message)
                await client.subscribe_to_topic(PEOPLE, on_message)
                assert sim.joined_topics() == {CHAT, PEOPLE}
                first = sim.live_join_ref(CHAT)

                # Heartbeats on the phoenix topic are answered.
                await sim.wait_for(lambda: sim.records.protocol["heartbeat"] >= 3, 10)

                # A push arrives under the channel's join_ref.
                message_id = await sim.publish("lobby", "hello")
                pushed = await next_push(pushes, "message_created")
                assert (pushed.topic, pushed.join_ref, pushed.payload["id"]) == (CHAT, first, message_id)

                # A crash (phx_error): the client rejoins by itself, under a new join_ref,
                # and the room's open message comes again on the new channel.
                await sim.crash_channel(CHAT)
                await sim.wait_for(lambda: CHAT in sim.joined_topics(), 10)
                second = sim.live_join_ref(CHAT)
                assert second != first
                pushed = await next_push(pushes, "message_created")
                assert (pushed.join_ref, pushed.payload["id"]) == (second, message_id)
                await sim.publish("lobby", "after the crash")
                pushed = await next_push(pushes, "message_created")
                assert pushed.join_ref == second

                # A server close (phx_close): the client gives the topic up.
                await sim.close_channel(CHAT)
                topic, _ = await asyncio.wait_for(lost.get(), 10)
                assert topic == CHAT and not client.is_topic_joined(CHAT)
                assert client.is_topic_joined(PEOPLE)

                # Joined again by hand: a third channel, and pushes follow it.
                await client.subscribe_to_topic(CHAT, on_message)
                third = sim.live_join_ref(CHAT)
                assert third not in (first, second)
                await sim.publish("lobby", "after the rejoin")
                while (pushed := await next_push(pushes, "message_created")).payload["content"] != "after the rejoin":
                    pass
                assert pushed.join_ref == third

                # Participant events still come on the untouched channel.
                await sim.participant_joins("lobby", {"id": "guest", "type": "User", "name": "Guest"})
                pushed = await next_push(pushes, "participant_added")
                assert (pushed.topic, pushed.join_ref) == (PEOPLE, sim.live_join_ref(PEOPLE))

                await client.unsubscribe_from_topic(CHAT)
                assert sim.joined_topics() == {PEOPLE}
        finally:
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 60))
    assert sim.records.channel_crashes == [CHAT] and sim.records.channel_closes == [CHAT]
    # The client never sent a frame the simulator had to refuse or ignore.
    assert sim.records.refusals == [] and sim.records.violations == []
    assert sim.records.protocol["leave"] == 1


def test_a_protocol_1_client_is_refused_at_the_upgrade():
    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, log=None)
        await sim.start()
        try:
            with pytest.raises(PHXConnectionError):
                async with PHXChannelsClient(sim.base_url, "unused", auto_reconnect=False,
                                             protocol_version=PhoenixChannelsProtocolVersion.V1):
                    pass
        finally:
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 30))
    assert sim.records.protocol["vsn_refused"] == 1
    assert sim.records.refusals[0][1].startswith("vsn '1.0.0'")
    assert sim.records.connections == []

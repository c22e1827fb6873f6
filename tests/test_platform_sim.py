"""The platform simulator against a raw WebSocket client: what a Phoenix Channels
v2 server answers, refuses or ignores, frame by frame.

Silence is checked without waiting on a clock: the simulator handles one
connection's frames in order, so whatever it sends for a frame arrives before the
reply to a heartbeat sent right after it.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import sys
from pathlib import Path
from typing import Any, Awaitable, Callable

import pytest

pytest.importorskip("websockets")

from websockets.asyncio.client import ClientConnection, connect  # noqa: E402
from websockets.exceptions import ConnectionClosed, InvalidStatus  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from platform_sim import PlatformSimulator  # noqa: E402

AGENT = "agent-1"
ROOMS = ("a", "b", "c")


class RawClient:
    """Frames in and out, nothing more."""

    def __init__(self, ws: ClientConnection) -> None:
        self.ws = ws
        self._refs = itertools.count(1)
        self.join_refs: dict[str, str] = {}

    def ref(self) -> str:
        return str(next(self._refs))

    async def send(self, frame: Any) -> None:
        await self.ws.send(frame if isinstance(frame, (str, bytes)) else json.dumps(frame))

    async def recv(self) -> list[Any]:
        return json.loads(await asyncio.wait_for(self.ws.recv(), 5))

    async def join(self, topic: str) -> list[Any]:
        join_ref = self.ref()
        self.join_refs[topic] = join_ref
        await self.send([join_ref, join_ref, topic, "phx_join", {}])
        frames = await self.barrier()
        assert [join_ref, join_ref, topic, "phx_reply"] in [f[:4] for f in frames], frames
        return frames

    async def barrier(self) -> list[list[Any]]:
        """Every frame the server sent before answering a heartbeat sent now."""
        ref = f"hb-{self.ref()}"
        await self.send([None, ref, "phoenix", "heartbeat", {}])
        frames = []
        while True:
            frame = await self.recv()
            if frame[1] == ref and frame[3] == "phx_reply":
                assert frame == [None, ref, "phoenix", "phx_reply", {"status": "ok", "response": {}}]
                return frames
            frames.append(frame)


def run(script: Callable[[PlatformSimulator, RawClient], Awaitable[None]], **options: Any) -> PlatformSimulator:
    """Runs `script` on one raw connection to a fresh simulator; returns the simulator."""
    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, rooms=ROOMS, log=None, **options)
        await sim.start()
        try:
            async with connect(sim.url, ping_interval=None) as ws:
                await script(sim, RawClient(ws))
        finally:
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 20))
    assert sim.records.violations == []
    return sim


def reply(join_ref: Any, ref: Any, topic: str, status: str, response: dict[str, Any]) -> list[Any]:
    return [join_ref, ref, topic, "phx_reply", {"status": status, "response": response}]


def binary_push(join_ref: str, ref: str, topic: str, event: str, data: bytes, kind: int = 0) -> bytes:
    fields = [part.encode() for part in (join_ref, ref, topic, event)]
    return bytes([kind, *(len(part) for part in fields)]) + b"".join(fields) + data


@pytest.mark.parametrize("query", ["", "?vsn=1.0.0", "?vsn=2.0", "?vsn=3.0.0", "?vsn=two", "?vsn="])
def test_only_protocol_2_is_served(query):
    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, log=None)
        await sim.start()
        try:
            with pytest.raises(InvalidStatus) as refused:
                async with connect(sim.base_url + query, ping_interval=None):
                    pass
            assert refused.value.response.status_code == 403
            # The same server still takes the version it speaks.
            async with connect(sim.url, ping_interval=None) as ws:
                frames = await RawClient(ws).join(f"agent_control:{AGENT}")
                assert frames[0][4]["status"] == "ok"
        finally:
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 20))
    assert sim.records.protocol["vsn_refused"] == 1
    assert sim.records.refused_upgrades[403] == 1
    assert len(sim.records.connections) == 1


# name -> (frame, the one reply expected or None for silence, the refusal recorded); a
# callable frame or reply is given the join_ref of the live chat_room:a channel.
MALFORMED = {
    "not json": ("{not json", None, "malformed"),
    "deeply nested": ("[" * 60000, None, "malformed"),
    "scalar": ("42", None, "malformed"),
    "v1 object frame": (json.dumps({"topic": "chat_room:c", "event": "phx_join", "payload": {}, "ref": "1",
                                    "join_ref": "1"}), None, "malformed"),
    "four elements": (json.dumps(["1", "1", "chat_room:c", "phx_join"]), None, "malformed"),
    "six elements": (json.dumps(["1", "1", "chat_room:c", "phx_join", {}, {}]), None, "malformed"),
    "integer topic on join": (json.dumps(["1", "1", 5, "phx_join", {}]), None, "malformed"),
    "list topic on leave": (json.dumps(["1", "1", ["chat_room:a"], "phx_leave", {}]), None, "malformed"),
    "list topic on a push": (json.dumps(["1", "1", ["chat_room:a"], "send_message", {}]), None, "malformed"),
    "object event": (json.dumps(["1", "1", "chat_room:a", {"e": 1}, {}]), None, "malformed"),
    "integer join_ref": (json.dumps([1, "1", "chat_room:c", "phx_join", {}]), None, "malformed"),
    "list ref": (json.dumps(["1", ["1"], "chat_room:c", "phx_join", {}]), None, "malformed"),
    "binary reply kind": (binary_push("1", "1", "chat_room:a", "turn_started", b"x", kind=1), None, "malformed"),
    "binary truncated": (bytes([0, 9, 1, 1, 1]) + b"ab", None, "malformed"),
    "binary bad utf-8": (bytes([0, 1, 1, 1, 1]) + b"\xff1ab", None, "malformed"),
    "binary empty": (b"", None, "malformed"),
    "unknown topic join": (json.dumps([None, "7", "nowhere:1", "phx_join", {}]),
                           reply(None, "7", "nowhere:1", "error", {"reason": "unmatched topic"}), "unmatched_topic"),
    "push to an unjoined topic": (json.dumps(["3", "7", "chat_room:c", "send_message", {}]),
                                  reply(None, "7", "chat_room:c", "error", {"reason": "unmatched topic"}),
                                  "unmatched_topic"),
    "non-heartbeat on phoenix": (json.dumps([None, "7", "phoenix", "phx_leave_all", {}]),
                                 reply(None, "7", "phoenix", "error", {"reason": "unmatched topic"}),
                                 "unmatched_topic"),
    "stale join_ref push": (json.dumps(["0", "7", "chat_room:a", "turn_started", {"message_id": "m"}]), None,
                            "stale_push"),
    "null join_ref push": (json.dumps([None, "7", "chat_room:a", "turn_started", {}]), None, "stale_push"),
    "stale join_ref leave": (json.dumps(["0", "7", "chat_room:a", "phx_leave", {}]), None, "stale_leave"),
    "list payload": (lambda live: json.dumps([live, "7", "chat_room:a", "turn_started", [1, 2]]),
                     lambda live: reply(live, "7", "chat_room:a", "error", {"reason": "bad_payload"}), "bad_payload"),
    "string payload on join": (json.dumps(["9", "7", "chat_room:c", "phx_join", "x"]),
                               reply("9", "7", "chat_room:c", "error", {"reason": "bad_payload"}), "bad_payload"),
    "binary payload": (lambda live: binary_push(live, "7", "chat_room:a", "turn_started", b"\x00\x01"),
                       lambda live: reply(live, "7", "chat_room:a", "error", {"reason": "bad_payload"}),
                       "bad_payload"),
}


@pytest.mark.parametrize("name", list(MALFORMED))
def test_a_malformed_frame_harms_nothing(name):
    frame, expected, refusal = MALFORMED[name]

    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.join("chat_room:a")
        await client.join("chat_room:b")
        live = client.join_refs["chat_room:a"]
        sent = frame(live) if callable(frame) else frame
        wanted = expected(live) if callable(expected) else expected
        await client.send(sent)
        frames = await client.barrier()
        assert frames == ([] if wanted is None else [wanted])
        # Both channels on the connection still work: the one a frame aimed at, and another.
        ids = [await sim.publish(room, f"after {name}") for room in ("a", "b")]
        pushed = await client.barrier()
        assert [(f[0], f[2], f[3], f[4]["id"]) for f in pushed] == [
            (client.join_refs["chat_room:a"], "chat_room:a", "message_created", ids[0]),
            (client.join_refs["chat_room:b"], "chat_room:b", "message_created", ids[1])]

    sim = run(script)
    assert sim.records.protocol[refusal] == 1
    assert [kind for kind, _ in sim.records.refusals] == [refusal]
    assert len(sim.records.connections) == 1


def _padded(join_ref: str, limit: int, extra: int) -> str:
    """A turn_started push whose frame is exactly `extra` bytes above `limit`."""
    frame = [join_ref, "9", "chat_room:a", "turn_started", {"message_id": "m", "attempt": 1, "pad": ""}]
    pad = limit + extra - len(json.dumps(frame).encode())
    frame[4]["pad"] = "é" * (pad // 2) + "x" * (pad % 2)   # two UTF-8 bytes each: bytes count, not characters
    text = json.dumps(frame, ensure_ascii=False)
    assert len(text.encode()) == limit + extra
    return text


@pytest.mark.parametrize("extra", [0, 1, 5000])
def test_a_frame_above_the_limit_closes_the_connection_with_1009(extra):
    limit = 4096

    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.join("chat_room:a")
        await client.send(_padded(client.join_refs["chat_room:a"], limit, extra))
        if extra == 0:
            # At the limit: read and answered like any other push.
            assert await client.recv() == reply(client.join_refs["chat_room:a"], "9", "chat_room:a", "error",
                                                {"reason": "not_found"})
            assert sim.connected
            return
        with pytest.raises(ConnectionClosed):
            await client.recv()
        assert client.ws.close_code == 1009
        await sim.wait_for(lambda: not sim.connected, 5)

    sim = run(script, max_frame_bytes=limit)
    assert sim.records.protocol["oversized"] == (0 if extra == 0 else 1)
    assert [kind for kind, _ in sim.records.refusals] == ([] if extra == 0 else ["oversized"])


def test_a_binary_heartbeat_is_answered_like_a_text_one():
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.send(binary_push("", "b1", "phoenix", "heartbeat", b""))
        assert await client.recv() == reply(None, "b1", "phoenix", "ok", {})

    sim = run(script)
    assert sim.records.protocol["heartbeat"] == 1 and sim.records.refusals == []


def test_leave_is_answered_then_the_channel_closes():
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.join("chat_room:a")
        join_ref = client.join_refs["chat_room:a"]
        await client.send([join_ref, "20", "chat_room:a", "phx_leave", {}])
        assert await client.barrier() == [reply(join_ref, "20", "chat_room:a", "ok", {}),
                                          [join_ref, join_ref, "chat_room:a", "phx_close", {}]]
        # Leaving again: nothing lives there, so no channel closes.
        await client.send([join_ref, "21", "chat_room:a", "phx_leave", {}])
        assert await client.barrier() == [reply(join_ref, "21", "chat_room:a", "ok", {})]
        # And a push there now meets no channel.
        await client.send([join_ref, "22", "chat_room:a", "send_message", {}])
        assert await client.barrier() == [reply(None, "22", "chat_room:a", "error", {"reason": "unmatched topic"})]
        assert sim.joined_topics() == set()

    sim = run(script)
    assert sim.records.protocol["leave"] == 1 and sim.records.protocol["leave_unjoined"] == 1


def test_a_second_join_closes_the_first_channel():
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.join("chat_room:a")
        old = client.join_refs["chat_room:a"]
        frames = await client.join("chat_room:a")
        new = client.join_refs["chat_room:a"]
        # The close of the old channel comes first, under its own join_ref.
        assert frames == [[old, old, "chat_room:a", "phx_close", {}], reply(new, new, "chat_room:a", "ok", {})]
        message_id = await sim.publish("a", "to the new channel")
        (pushed,) = await client.barrier()
        assert (pushed[0], pushed[4]["id"]) == (new, message_id)
        # The old join_ref is stale now: a leave under it leaves nothing.
        await client.send([old, "30", "chat_room:a", "phx_leave", {}])
        assert await client.barrier() == []
        assert sim.joined_topics() == {"chat_room:a"}

    sim = run(script)
    assert sim.records.protocol["duplicate_join"] == 1 and sim.records.protocol["stale_leave"] == 1


@pytest.mark.parametrize("joined", [("chat_room:a",), ("room_participants:a",),
                                    ("chat_room:a", "room_participants:a")])
def test_each_topic_gets_its_own_events(joined):
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        for topic in joined:
            await client.join(topic)
        message_id = await sim.publish("a", "hello")
        await sim.participant_joins("a", {"id": "guest", "type": "User", "name": "Guest"})
        await sim.participant_leaves("a", "guest")
        pushed = [(f[0], f[2], f[3]) for f in await client.barrier()]
        wanted = []
        if "chat_room:a" in joined:
            wanted.append((client.join_refs["chat_room:a"], "chat_room:a", "message_created"))
        if "room_participants:a" in joined:
            ref = client.join_refs["room_participants:a"]
            wanted += [(ref, "room_participants:a", "participant_added"),
                       (ref, "room_participants:a", "participant_removed")]
        assert pushed == wanted
        assert sim.records.deliveries[message_id] == ("chat_room:a" in joined)

    run(script)


@pytest.mark.parametrize("event", ["phx_error", "phx_close"])
def test_a_crashed_or_closed_channel_is_gone_until_joined_again(event):
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.join("chat_room:a")
        await client.join("chat_room:b")
        old = client.join_refs["chat_room:a"]
        end = sim.crash_channel if event == "phx_error" else sim.close_channel
        assert await end("chat_room:a") is True
        assert await end("chat_room:c") is False          # never joined: nothing to end
        assert await client.barrier() == [[old, old, "chat_room:a", event, {}]]
        waiting = await sim.publish("a", "while the channel is down")
        await client.send([old, "40", "chat_room:a", "turn_started", {"message_id": waiting, "attempt": 1}])
        assert await client.barrier() == [reply(None, "40", "chat_room:a", "error", {"reason": "unmatched topic"})]
        # Joined again, the room's open message is pushed under the new join_ref.
        frames = await client.join("chat_room:a")
        new = client.join_refs["chat_room:a"]
        assert [(f[0], f[3]) for f in frames] == [(new, "phx_reply"), (new, "message_created")]
        assert frames[1][4]["id"] == waiting
        assert sim.joined_topics() == {"chat_room:a", "chat_room:b"}

    sim = run(script)
    ended = sim.records.channel_crashes if event == "phx_error" else sim.records.channel_closes
    assert ended == ["chat_room:a"]


def test_removing_the_agent_closes_the_room_channels_then_tells_it():
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        for topic in (f"agent_rooms:{AGENT}", "chat_room:a", "room_participants:a", "chat_room:b"):
            await client.join(topic)
        refs = dict(client.join_refs)
        await sim.remove_agent("a")
        frames = await client.barrier()
        assert [(f[0], f[2], f[3]) for f in frames] == [
            (refs["chat_room:a"], "chat_room:a", "phx_close"),
            (refs["room_participants:a"], "room_participants:a", "phx_close"),
            (refs[f"agent_rooms:{AGENT}"], f"agent_rooms:{AGENT}", "room_removed")]
        # Not a member any more: the join is refused by the channel, with its join_ref.
        await client.send(["50", "50", "chat_room:a", "phx_join", {}])
        assert await client.barrier() == [reply("50", "50", "chat_room:a", "error", {"reason": "not_member"})]
        await sim.add_agent("a")
        (added,) = await client.barrier()
        assert added[2:4] == [f"agent_rooms:{AGENT}", "room_added"]
        frames = await client.join("chat_room:a")
        assert frames[0][4]["status"] == "ok"

    sim = run(script)
    assert sim.records.channel_closes == ["chat_room:a", "room_participants:a"]


def test_a_silent_socket_is_closed_and_a_heartbeating_one_is_not():
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        # Heartbeats keep the socket open past the idle timeout several times over.
        for _ in range(6):
            await client.barrier()
            await asyncio.sleep(sim.heartbeat_timeout_s / 5)
        assert sim.connected
        with pytest.raises(ConnectionClosed):
            while True:
                await client.ws.recv()
        assert client.ws.close_code == 1000

    sim = run(script, heartbeat_timeout_s=1.0)
    assert sim.records.protocol["idle_close"] == 1

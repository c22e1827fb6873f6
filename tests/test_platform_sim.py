"""The platform simulator against a raw WebSocket client: what a Phoenix Channels
server answers, refuses or ignores, frame by frame, in both frame formats.

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
    """Frames in and out, nothing more. Frames are written as arrays
    `[join_ref, ref, topic, event, payload]`; on a version 1 connection they go out
    as objects, and what comes back is returned as the server wrote it."""

    def __init__(self, ws: ClientConnection, version: int = 2) -> None:
        self.ws = ws
        self.version = version
        self._refs = itertools.count(1)
        self.join_refs: dict[str, str] = {}

    def ref(self) -> str:
        return str(next(self._refs))

    async def send(self, frame: Any) -> None:
        if not isinstance(frame, (str, bytes)):
            frame = json.dumps(frame if self.version == 2 else as_object(frame))
        await self.ws.send(frame)

    async def recv(self) -> Any:
        return json.loads(await asyncio.wait_for(self.ws.recv(), 5))

    async def join(self, topic: str) -> list[Any]:
        join_ref = self.ref()
        self.join_refs[topic] = join_ref
        await self.send([join_ref, join_ref, topic, "phx_join", {}])
        frames = await self.barrier()
        wanted = [join_ref, join_ref, topic, "phx_reply"] if self.version == 2 else [join_ref, topic, "phx_reply"]
        assert wanted in [as_array(f)[(self.version == 1):4] for f in frames], frames
        return frames

    async def barrier(self) -> list[Any]:
        """Every frame the server sent before answering a heartbeat sent now."""
        ref = f"hb-{self.ref()}"
        await self.send([None, ref, "phoenix", "heartbeat", {}])
        frames = []
        while True:
            frame = await self.recv()
            if as_array(frame)[1] == ref and as_array(frame)[3] == "phx_reply":
                assert frame == in_format(self.version, reply(None, ref, "phoenix", "ok", {}))
                return frames
            frames.append(frame)


def as_object(frame: list[Any]) -> dict[str, Any]:
    """A client's version 1 frame: an object, with the join_ref when it has one."""
    join_ref, ref, topic, event, payload = frame
    obj = {"topic": topic, "event": event, "payload": payload, "ref": ref}
    return obj if join_ref is None else {**obj, "join_ref": join_ref}


def as_array(frame: Any) -> list[Any]:
    """A frame read from either format, as an array (a version 1 frame has no join_ref)."""
    if isinstance(frame, list):
        return frame
    return [None, frame["ref"], frame["topic"], frame["event"], frame["payload"]]


def in_format(version: int, frame: list[Any]) -> Any:
    """What the server writes for `frame` in `version`: version 1 writes only topic,
    event, payload and ref, never a join_ref."""
    if version == 2:
        return frame
    _, ref, topic, event, payload = frame
    return {"topic": topic, "event": event, "payload": payload, "ref": ref}


def run(script: Callable[[PlatformSimulator, RawClient], Awaitable[None]], version: int = 2,
        **options: Any) -> PlatformSimulator:
    """Runs `script` on one raw connection to a fresh simulator; returns the simulator."""
    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, rooms=ROOMS, **{"log": None, **options})
        await sim.start()
        try:
            async with connect(f"{sim.base_url}?vsn={version}.0.0", ping_interval=None) as ws:
                await script(sim, RawClient(ws, version))
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


SERVED = {"": 1, "?vsn=1.0.0": 1, "?vsn=1.0.7": 1, "?vsn=1.0.1-rc.1": 1, "?vsn=2.0.0": 2, "?vsn=2.0.3": 2,
          "?vsn=2.0.1%2Bbuild.5": 2, "?vsn=1.0.0&vsn=2.0.0": 2}
REFUSED = ["?vsn=2.0", "?vsn=2", "?vsn=3.0.0", "?vsn=2.1.0", "?vsn=1.1.0", "?vsn=0.9.0", "?vsn=two", "?vsn=",
           "?vsn=2.0.0-rc.1", "?vsn=02.0.0", "?vsn=2.0.0.0", "?vsn=%202.0.0"]


@pytest.mark.parametrize("query", list(SERVED) + REFUSED)
def test_the_vsn_picks_the_frame_format_or_is_refused(query):
    """Phoenix's default serializers: "~> 1.0.0" object frames, "~> 2.0.0" array frames."""
    version = SERVED.get(query)

    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, log=None)
        await sim.start()
        try:
            if version is None:
                with pytest.raises(InvalidStatus) as refused:
                    async with connect(sim.base_url + query, ping_interval=None):
                        pass
                assert refused.value.response.status_code == 403
                assert refused.value.response.body == b""
                query_served, served = "?vsn=2.0.0", 2    # the same server still takes a good one
            else:
                query_served, served = query, version
            async with connect(sim.base_url + query_served, ping_interval=None) as ws:
                client = RawClient(ws, served)
                frames = await client.join(f"agent_control:{AGENT}")
                assert frames == [in_format(served, reply("1", "1", f"agent_control:{AGENT}", "ok", {}))]
        finally:
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 20))
    assert sim.records.protocol["vsn_refused"] == (version is None)
    assert sim.records.refused_upgrades[403] == (version is None)
    assert len(sim.records.connections) == 1


@pytest.mark.parametrize("version", [1, 2])
def test_one_conversation_in_each_frame_format(version):
    def expect(*frames: list[Any]) -> list[Any]:
        return [in_format(version, frame) for frame in frames]

    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        topic = "chat_room:a"
        assert await client.join(topic) == expect(reply("1", "1", topic, "ok", {}))
        message_id = await sim.publish("a", "hello")
        (pushed,) = await client.barrier()
        assert as_array(pushed)[2:4] == [topic, "message_created"] and as_array(pushed)[4]["id"] == message_id
        assert pushed == in_format(version, ["1", None, topic, "message_created", as_array(pushed)[4]])
        await client.send(["1", "5", topic, "turn_started", {"message_id": message_id, "attempt": 1}])
        await client.send(["1", "6", topic, "no_such_event", {}])
        await client.send([None, "7", "chat_room:b", "turn_started", {}])
        assert await client.barrier() == expect(
            reply("1", "5", topic, "ok", {}), reply("1", "6", topic, "error", {"reason": "unknown_event"}),
            reply(None, "7", "chat_room:b", "error", {"reason": "unmatched topic"}))
        await client.send(["1", "8", topic, "phx_leave", {}])
        assert await client.barrier() == expect(reply("1", "8", topic, "ok", {}), ["1", "1", topic, "phx_close", {}])
        assert sim.joined_topics() == set()

    sim = run(script, version=version)
    assert sim.records.handoffs[sim.user_messages()[0].id] == [(1, 1)]
    assert [kind for kind, _ in sim.records.refusals] == ["unmatched_topic"]


UNMATCHED = {"reason": "unmatched topic"}
# name -> (frame, the one reply expected or None for silence, the refusal recorded or None);
# a callable frame or reply is given the join_ref of the live chat_room:a channel.
MALFORMED = {
    "not json": ("{not json", None, "malformed"),
    "deeply nested": ("[" * 60000, None, "malformed"),
    "NaN ref": ('[null, NaN, "phoenix", "heartbeat", {}]', None, "malformed"),
    "number beyond a double": ('[null, 1e400, "phoenix", "heartbeat", {}]', None, "malformed"),
    "scalar": ("42", None, "malformed"),
    "v1 object frame": (json.dumps({"topic": "chat_room:c", "event": "phx_join", "payload": {}, "ref": "1",
                                    "join_ref": "1"}), None, "malformed"),
    "four elements": (json.dumps(["1", "1", "chat_room:c", "phx_join"]), None, "malformed"),
    "object event": (json.dumps(["1", "1", "chat_room:a", {"e": 1}, {}]), None, "malformed"),
    "null event": (json.dumps(["1", "1", "chat_room:a", None, {}]), None, "malformed"),
    "binary reply kind": (binary_push("1", "1", "chat_room:a", "turn_started", b"x", kind=1), None, "malformed"),
    "binary truncated": (bytes([0, 9, 1, 1, 1]) + b"ab", None, "malformed"),
    "binary bad utf-8": (bytes([0, 1, 1, 1, 1]) + b"\xff1ab", None, "malformed"),
    "binary empty": (b"", None, "malformed"),
    # A topic that is not a string names no channel, as in Phoenix: echoed in the answer.
    "null topic push": (json.dumps(["1", "7", None, "send_message", {}]),
                        reply(None, "7", None, "error", UNMATCHED), "unmatched_topic"),
    "null topic join": (json.dumps(["1", "7", None, "phx_join", {}]),
                        reply(None, "7", None, "error", UNMATCHED), "unmatched_topic"),
    "integer topic join": (json.dumps(["1", "7", 5, "phx_join", {}]),
                           reply(None, "7", 5, "error", UNMATCHED), "unmatched_topic"),
    "list topic push": (json.dumps(["1", "7", ["chat_room:a"], "send_message", {}]),
                        reply(None, "7", ["chat_room:a"], "error", UNMATCHED), "unmatched_topic"),
    "list topic leave": (json.dumps(["1", "7", ["chat_room:a"], "phx_leave", {}]),
                         reply("1", "7", ["chat_room:a"], "ok", {}), None),
    "unknown topic join": (json.dumps([None, "7", "nowhere:1", "phx_join", {}]),
                           reply(None, "7", "nowhere:1", "error", UNMATCHED), "unmatched_topic"),
    "push to an unjoined topic": (json.dumps(["3", "7", "chat_room:c", "send_message", {}]),
                                  reply(None, "7", "chat_room:c", "error", UNMATCHED), "unmatched_topic"),
    "non-heartbeat on phoenix": (json.dumps([None, "7", "phoenix", "phx_leave_all", {}]),
                                 reply(None, "7", "phoenix", "error", UNMATCHED), "unmatched_topic"),
    "stale join_ref push": (json.dumps(["0", "7", "chat_room:a", "turn_started", {"message_id": "m"}]), None,
                            "stale_push"),
    "stale integer join_ref push": (json.dumps([1, "7", "chat_room:a", "turn_started", {}]), None, "stale_push"),
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
    assert [kind for kind, _ in sim.records.refusals] == ([] if refusal is None else [refusal])
    if refusal is not None:
        assert sim.records.protocol[refusal] == 1
    assert len(sim.records.connections) == 1


# name -> a frame that a version 1 connection ignores
MALFORMED_V1 = {
    "array frame": json.dumps(["1", "1", "chat_room:c", "phx_join", {}]),
    "object without ref": json.dumps({"topic": "chat_room:c", "event": "phx_join", "payload": {}}),
    "object without payload": json.dumps({"topic": "chat_room:c", "event": "phx_join", "ref": "1"}),
    "object with a list event": json.dumps({"topic": "chat_room:c", "event": [], "payload": {}, "ref": "1"}),
    "binary not JSON": b"\x00\x01\x01\x01\x01",
}


@pytest.mark.parametrize("name", list(MALFORMED_V1))
def test_a_version_1_connection_ignores_what_is_not_an_object_frame(name):
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.send(MALFORMED_V1[name])
        assert await client.barrier() == []
        # A binary frame holding a JSON object is read like a text one.
        await client.ws.send(json.dumps(as_object(["2", "2", "chat_room:c", "phx_join", {}])).encode())
        assert await client.barrier() == [in_format(1, reply("2", "2", "chat_room:c", "ok", {}))]
        assert sim.joined_topics() == {"chat_room:c"}

    sim = run(script, version=1)
    assert [kind for kind, _ in sim.records.refusals] == ["malformed"]


@pytest.mark.parametrize("join_ref, ref", [(1, 2), (0, -1), (2**70, 1.5), ("1", 2), (7, "7"), (["j"], {"r": 1})])
def test_refs_come_back_exactly_as_sent(join_ref, ref):
    """Refs are opaque to the server: whatever JSON value came is echoed, number or not."""
    def same(got: Any, wanted: Any) -> bool:
        return json.dumps(got) == json.dumps(wanted)     # 1, 1.0 and True differ here

    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        topic = "chat_room:a"
        await client.send([None, ref, "phoenix", "heartbeat", {}])
        await client.send([join_ref, ref, topic, "phx_join", {}])
        assert same(await client.barrier(), [reply(None, ref, "phoenix", "ok", {}),
                                             reply(join_ref, ref, topic, "ok", {})])
        message_id = await sim.publish("a", "numbered")
        await client.send([join_ref, ref, topic, "turn_started", {"message_id": message_id, "attempt": 1}])
        pushed, answered = await client.barrier()
        assert same(pushed[:4], [join_ref, None, topic, "message_created"])
        assert same(answered, reply(join_ref, ref, topic, "ok", {}))
        await client.send([join_ref, ref, topic, "phx_leave", {}])
        assert same(await client.barrier(), [reply(join_ref, ref, topic, "ok", {}),
                                             [join_ref, join_ref, topic, "phx_close", {}]])

    sim = run(script)
    assert sim.records.handoffs[sim.user_messages()[0].id] == [(1, 1)]
    assert sim.records.refusals == []


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


@pytest.mark.parametrize("payload", [{}, "refused"])
def test_a_second_join_is_answered_then_the_first_channel_closes(payload):
    """Phoenix shuts the old channel down, answers the new join, then sends the old
    channel's phx_close (queued behind the reply), even when the new join fails."""
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        topic = "chat_room:a"
        await client.join(topic)
        old = client.join_refs[topic]
        waiting = await sim.publish("a", "open while the topic is joined again")
        assert [f[3] for f in await client.barrier()] == ["message_created"]
        await client.send(["9", "9", topic, "phx_join", payload])
        frames = await client.barrier()
        if payload == {}:
            assert frames[:2] == [reply("9", "9", topic, "ok", {}), [old, old, topic, "phx_close", {}]]
            # The new channel's own pushes come after both.
            assert [(f[0], f[3], f[4]["id"]) for f in frames[2:]] == [("9", "message_created", waiting)]
            assert sim.live_join_ref(topic) == "9"
        else:
            assert frames == [reply("9", "9", topic, "error", {"reason": "bad_payload"}),
                              [old, old, topic, "phx_close", {}]]
            assert sim.live_join_ref(topic) is None
        # The old join_ref is stale now: a leave under it leaves nothing.
        await client.send([old, "30", topic, "phx_leave", {}])
        assert await client.barrier() == ([] if payload == {} else [reply(old, "30", topic, "ok", {})])

    sim = run(script)
    assert sim.records.protocol["duplicate_join"] == 1 and sim.records.channel_closes == ["chat_room:a"]
    assert sim.records.protocol["stale_leave"] == (payload == {})


@pytest.mark.parametrize("event", ["turn_started", "phx_leave"])
def test_a_null_join_ref_reaches_the_live_channel(event):
    """A client that sends no join_ref (version 1 clients never do) addresses the live
    channel; its answer carries the channel's own join_ref."""
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        topic = "chat_room:a"
        await client.join(topic)
        live = client.join_refs[topic]
        message_id = await sim.publish("a", "addressed without a join_ref")
        await client.barrier()
        await client.send([None, "40", topic, event, {"message_id": message_id, "attempt": 1}])
        frames = await client.barrier()
        if event == "phx_leave":
            assert frames == [reply(live, "40", topic, "ok", {}), [live, live, topic, "phx_close", {}]]
            assert sim.joined_topics() == set()
        else:
            assert frames == [reply(live, "40", topic, "ok", {})]
            assert sim.records.handoffs[message_id] == [(1, 1)]

    sim = run(script)
    assert sim.records.refusals == []


@pytest.mark.parametrize("extra", [["x"], [None, None], [{"a": 1}, [2], 3]])
def test_a_frame_is_read_by_its_first_five_elements(extra):
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.send([None, "h", "phoenix", "heartbeat", {}, *extra])
        await client.send(["1", "1", "chat_room:a", "phx_join", {}, *extra])
        assert await client.barrier() == [reply(None, "h", "phoenix", "ok", {}),
                                          reply("1", "1", "chat_room:a", "ok", {})]
        await client.send(["1", "2", "chat_room:a", "phx_leave", {}, *extra])
        assert await client.barrier() == [reply("1", "2", "chat_room:a", "ok", {}),
                                          ["1", "1", "chat_room:a", "phx_close", {}]]

    sim = run(script)
    assert sim.records.refusals == [] and sim.records.protocol["heartbeat"] == 3


SURROGATE_TOPICS = ["chat_room:\ud800", "nowhere:\udfff", "\udc80", "chat_room:caf\u00e9", "chat_room:a\U0001f600"]


@pytest.mark.parametrize("topic", SURROGATE_TOPICS)
def test_text_the_log_cannot_encode_never_stops_an_answer(topic):
    """The log here takes ASCII only, and a lone surrogate fits no encoding at all:
    each line is written escaped, and every frame is still answered."""
    lines: list[str] = []

    def ascii_log(line: str) -> None:
        line.encode("ascii")
        lines.append(line)

    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        escaped = json.dumps(topic)               # "\ud800" escapes, as a client may send them
        await client.send(f'["1", "1", {escaped}, "phx_join", {{}}]')
        await client.send(f'["1", "2", {escaped}, "send_message", {{}}]')
        await client.send(f'["1", "3", "chat_room:a", {escaped}, {{}}]')
        frames = await client.barrier()
        refused = "not_member" if topic.startswith("chat_room:") else "unmatched topic"
        assert frames == [reply(None if refused == "unmatched topic" else "1", "1", topic, "error", {"reason": refused}),
                          reply(None, "2", topic, "error", UNMATCHED),
                          reply(None, "3", "chat_room:a", "error", UNMATCHED)]

    sim = run(script, log=ascii_log)
    assert sim.records.violations == [] and sim.records.protocol["unmatched_topic"] >= 2
    assert any("\\" in line for line in lines)


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


@pytest.mark.parametrize("first_joined", [(f"agent_control:{AGENT}", "chat_room:a"), ("chat_room:a",)])
def test_a_second_socket_supersedes_the_first_for_good(first_joined):
    """The old socket hears a final supersede notice on its control channel (when it
    holds one), then a close with 1000; the new one is served as if alone."""
    async def main() -> PlatformSimulator:
        sim = PlatformSimulator(agent_id=AGENT, rooms=ROOMS, log=None)
        await sim.start()
        try:
            async with connect(sim.url, ping_interval=None) as ws1:
                first = RawClient(ws1)
                for topic in first_joined:
                    await first.join(topic)
                async with connect(sim.url, ping_interval=None) as ws2:
                    second = RawClient(ws2)
                    await second.join("chat_room:a")
                    heard = []
                    with pytest.raises(ConnectionClosed):
                        while True:
                            heard.append(await first.recv())
                    assert (ws1.close_code, ws1.close_reason) == (1000, "superseded")
                    if first_joined[0].startswith("agent_control:"):
                        (notice,) = heard
                        control = first.join_refs[f"agent_control:{AGENT}"]
                        assert notice[:4] == [control, None, f"agent_control:{AGENT}", "supersede"]
                        assert notice[4]["retryable"] is False and notice[4]["reason"] == "superseded"
                        assert set(notice[4]) >= {"message", "target_socket_id", "correlation_id"}
                    else:
                        assert heard == []
                    # Only the new socket's channels count, and it carries on.
                    assert sim.joined_topics() == {"chat_room:a"}
                    message_id = await sim.publish("a", "to the new socket")
                    (pushed,) = await second.barrier()
                    assert (pushed[0], pushed[4]["id"]) == (second.join_refs["chat_room:a"], message_id)
        finally:
            await sim.stop()
        return sim

    sim = asyncio.run(asyncio.wait_for(main(), 20))
    assert sim.records.protocol["superseded_connection"] == 1
    assert len(sim.records.connections) == 2 and sim.records.violations == []


def test_a_silent_platform_keeps_the_socket_open_and_serves_the_next_one():
    """After go_silent nothing at all comes on the socket (no reply, no push, no idle
    close) and what the client sends is ignored, until the client closes it."""
    async def script(sim: PlatformSimulator, client: RawClient) -> None:
        await client.join("chat_room:a")
        await sim.go_silent()
        assert not sim.connected and sim.joined_topics() == set()
        message_id = await sim.publish("a", "while silent")
        await client.send([None, "hb", "phoenix", "heartbeat", {}])
        await client.send([client.join_refs["chat_room:a"], "9", "chat_room:a", "turn_started",
                           {"message_id": message_id, "attempt": 1}])
        await sim.wait_for(lambda: sim.records.protocol["ignored_while_silent"] == 2)
        async with connect(sim.url, ping_interval=None) as ws2:
            second = RawClient(ws2)
            frames = await second.join("chat_room:a")
            assert [f[4]["id"] for f in frames if f[3] == "message_created"] == [message_id]
            assert sim.connected and sim.records.protocol["superseded_connection"] == 0
        # Longer than the idle timeout: the silent socket is not closed by the platform either.
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(client.ws.recv(), sim.heartbeat_timeout_s * 2)
        await client.ws.close()
        await sim.wait_for(lambda: sim.records.silences[1][1] is not None)

    sim = run(script, heartbeat_timeout_s=0.3)
    assert sim.records.faults["go_silent"] == 1 and not sim.records.handoffs.get("m-00001")
    (went, closed), = sim.records.silences.values()
    assert closed is not None and closed > went
    assert sim.records.protocol["idle_close"] == 0


def test_random_faults_pick_only_what_applies():
    """An agent in no room and not connected: every draw names a fault that can strike."""
    async def main() -> None:
        sim = PlatformSimulator(agent_id=AGENT, rooms=(), seed=3, log=None)
        await sim.start()
        try:
            assert await sim.inject("remove_from_room") is False
            assert await sim.inject("crash_channel") is False
            drawn = {await sim.inject_random_fault() for _ in range(40)}
            assert drawn == {"refuse_503", "refuse_429", "duplicate_event", "refuse_writes"}
        finally:
            await sim.stop()

    asyncio.run(asyncio.wait_for(main(), 20))

"""The host library through its public API, judged from the platform simulator's records."""

from __future__ import annotations

import asyncio
import json
import logging
import ssl
import time
from collections.abc import Awaitable, Callable
from typing import Any

import pytest

pytest.importorskip("websockets")

import orvu_sdk_core as core  # noqa: E402
from orvu_sdk import Hooks, Host, MessageCreated, ToolError, Tools  # noqa: E402
from orvu_sdk.session import retry_after_seconds  # noqa: E402
from orvu_sdk.testing import PlatformSimulator  # noqa: E402

AGENT = "agent-1"
SCALE = 0.01
TOKEN = "tok-5ecret-9f3a"


async def echo(message: MessageCreated, tools: Tools) -> None:
    await tools.post(f"echo: {message['content']}")


async def session(sim: PlatformSimulator, script: Callable[[Host], Awaitable[None]], *,
                  url_suffix: str = "", **options: Any) -> tuple[Host, core.SessionState]:
    """Runs a host against `sim` while `script` runs; the script ends the session."""
    await sim.start()
    settings: dict[str, Any] = {"agent": echo, "time_scale": SCALE, "seed": 1}
    settings.update(options)
    host = Host(sim.base_url + url_suffix if url_suffix else sim.url, agent_id=AGENT, **settings)
    task = asyncio.ensure_future(host.run())
    try:
        await sim.wait_for(sim.fully_subscribed, 10)
        await script(host)
        state = await asyncio.wait_for(task, 10)
    finally:
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await sim.stop()
    return host, state


def run(sim: PlatformSimulator, script: Callable[[Host], Awaitable[None]], **options: Any) -> tuple[Host, core.SessionState]:
    return asyncio.run(asyncio.wait_for(session(sim, script, **options), 40))


def replies(sim: PlatformSimulator, message_id: str) -> list[str]:
    return [text for text, _ in sim.records.replies[message_id]]


def attempts(sim: PlatformSimulator, message_id: str) -> list[int]:
    return [attempt for attempt, _ in sim.records.handoffs[message_id]]


async def settle_and_close(sim: PlatformSimulator) -> None:
    await sim.wait_for(lambda: not sim.open_messages(), 10)
    await sim.close_normally()


# -- arguments ------------------------------------------------------------------------------

@pytest.mark.parametrize("change, error, name", [
    ({"url": 5}, TypeError, "`url`"),
    ({"url": "http://example.com/socket"}, ValueError, "`url`"),
    ({"agent_id": None}, TypeError, "`agent_id`"),
    ({"agent_id": ""}, ValueError, "`agent_id`"),
    ({"agent": "echo"}, TypeError, "`agent`"),
    ({"policy": 3}, TypeError, "`policy`"),
    ({"policy": {"heartbeat_interval_s": 1}}, TypeError, "SessionPolicy config is missing"),
    ({"params": 7}, TypeError, "`params`"),
    ({"headers": ["x"]}, TypeError, "`headers`"),
    ({"ssl": "yes"}, TypeError, "`ssl`"),
    ({"ssl": ssl.create_default_context()}, ValueError, "`ssl`"),
    ({"hooks": {}}, TypeError, "`hooks`"),
    ({"metrics": 1}, TypeError, "`metrics`"),
    ({"max_retries": 0}, ValueError, "`max_retries`"),
    ({"max_queue": 2.5}, TypeError, "`max_queue`"),
    ({"max_concurrent_turns": True}, TypeError, "`max_concurrent_turns`"),
    ({"turn_timeout_s": float("nan")}, ValueError, "`turn_timeout_s`"),
    ({"stop_timeout_s": -1}, ValueError, "`stop_timeout_s`"),
    ({"time_scale": 0}, ValueError, "`time_scale`"),
    ({"max_frame_bytes": "64k"}, TypeError, "`max_frame_bytes`"),
])
def test_bad_arguments_raise_naming_the_argument(change, error, name):
    arguments: dict[str, Any] = {"url": "ws://127.0.0.1:1/socket/websocket", "agent_id": AGENT, "agent": echo}
    arguments.update(change)
    url = arguments.pop("url")
    with pytest.raises(error, match=name):
        Host(url, **arguments)


@pytest.mark.parametrize("header, expected", [
    ("7", 7.0), ("0", 0.0), (" 12 ", 12.0), ("Wed, 21 Oct 2015 07:28:00 GMT", 0.0),
    ("Thu, 01 Jan 1970 00:01:40 GMT", 40.0), ("soon", None), ("-3", None), ("1.5", None), (None, None),
])
def test_retry_after_in_seconds_or_an_http_date(header, expected):
    # "now" is 60 s after the epoch: the 1970 date lies 40 s ahead, the 2015 one far ahead too
    # unless the clock reads later than it.
    now = 2e9 if header and "2015" in header else 60.0
    assert retry_after_seconds(header, now=now) == expected


# -- delivery -------------------------------------------------------------------------------

def test_object_frames_serve_as_well_as_array_frames():
    sim = PlatformSimulator(rooms=("lobby", "support"))

    async def script(host: Host) -> None:
        for n in range(4):
            await sim.publish(("lobby", "support")[n % 2], f"hello {n}")
        await sim.crash_channel("chat_room:lobby")
        await sim.publish("lobby", "while it was down")
        await sim.wait_for(sim.fully_subscribed)
        await settle_and_close(sim)

    run(sim, script, url_suffix="?vsn=1.0.0")
    for message in sim.user_messages():
        assert replies(sim, message.id) == [f"echo: {message.content}"]
        assert sim.records.terminal_writes[message.id] == ["processed"]
    assert sim.records.violations == [] and sim.records.protocol["stale_push"] == 0


def test_hostile_frames_are_dropped_and_the_connection_lives(caplog):
    sim = PlatformSimulator(rooms=("lobby",))
    good: list[str] = []

    async def script(host: Host) -> None:
        topic = "chat_room:lobby"
        for frame in ("{not json", "[" * 100000, "7", "null", json.dumps({"topic": topic}),
                      json.dumps([None, None, topic, "message_created"]),
                      json.dumps([None, "no-such-ref", "phoenix", "phx_reply", {"status": "ok", "response": {}}]),
                      json.dumps([None, None, 5, "message_created", {}]),
                      json.dumps([None, None, "nowhere:1", "message_created", {}])):
            await sim.push_raw(frame)
        await sim.push_event(topic, "message_created", {"id": "huge", "content": "x" * 3_000_000})
        await sim.push_event(topic, "no_such_event", {"a": 1})
        await sim.push_event(topic, "message_created", [1, 2, 3])
        good.append(await sim.publish("lobby", "still here"))
        await settle_and_close(sim)

    with caplog.at_level(logging.WARNING, logger="orvu_sdk"):
        host, state = run(sim, script)
    assert state is core.SessionState.Dead
    assert len(sim.records.connections) == 1
    assert replies(sim, good[0]) == ["echo: still here"]
    events = [getattr(record, "orvu_event", None) for record in caplog.records]
    assert events.count("frame.dropped") >= 6 and events.count("event.refused") >= 3


def test_the_token_never_appears_in_logs_errors_or_reprs(caplog):
    sim = PlatformSimulator(rooms=("lobby",))
    errors: list[BaseException] = []
    asked: list[int] = []

    def params() -> dict[str, str]:
        asked.append(1)
        return {"token": TOKEN}

    async def failing(message: MessageCreated, tools: Tools) -> None:
        raise RuntimeError(f"agent broke near {message['content']}")

    async def script(host: Host) -> None:
        await sim.refuse_next_upgrade(503, retry_after=1)
        await sim.wait_for(sim.fully_subscribed)
        await sim.publish("lobby", "hi")
        await sim.wait_for(lambda: not sim.open_messages())
        await sim.refuse_next_upgrade(403)

    with caplog.at_level(logging.DEBUG, logger="orvu_sdk"):
        host, _ = run(sim, script, url_suffix=f"?vsn=2.0.0&key={TOKEN}x", params=params, agent=failing,
                      max_retries=1, hooks=Hooks(on_error=lambda exc, where: errors.append(exc)))
    # Everything the host logged, the WebSocket client's own lines included.
    text = "\n".join(record.getMessage() for record in caplog.records if record.name.startswith("orvu_sdk"))
    assert "connect.refused" in text and "turn.failed" in text and "GET /socket/websocket" in text
    assert TOKEN not in text
    assert errors and all(TOKEN not in str(exc) and TOKEN not in repr(exc) for exc in errors)
    assert TOKEN not in repr(host) and TOKEN not in host.url
    assert len(asked) == 4   # asked again on every connect


# -- stopping -------------------------------------------------------------------------------

class Gate:
    """An agent that waits for `open` before it answers, and counts what it started."""

    def __init__(self, hold: Callable[[str], bool] = lambda content: True) -> None:
        self.hold = hold
        self.open = asyncio.Event()
        self.started: list[str] = []
        self.cancelled: list[str] = []
        self.resumed: list[tuple[str, int, bool]] = []

    async def __call__(self, message: MessageCreated, tools: Tools) -> None:
        self.started.append(message["id"])
        self.resumed.append((message["id"], tools.attempt, tools.resumed))
        try:
            if self.hold(message["content"]):
                await self.open.wait()
        except asyncio.CancelledError:
            self.cancelled.append(message["id"])
            raise
        await tools.post(f"echo: {message['content']}")


@pytest.mark.parametrize("finishes", [True, False], ids=["turns-finish", "turns-cut"])
def test_a_graceful_stop_with_turns_in_flight(finishes):
    sim = PlatformSimulator(rooms=("lobby", "support"))
    gate, second = Gate(), Gate()
    second.open.set()
    ids: list[str] = []

    async def script(host: Host) -> None:
        for room, text in (("lobby", "one"), ("lobby", "two"), ("lobby", "three"), ("support", "four")):
            ids.append(await sim.publish(room, text))
        await sim.wait_for(lambda: len(sim.records.handoffs) == 2)
        stopping = asyncio.ensure_future(host.stop())
        await asyncio.sleep(0.05)
        await sim.publish("support", "after the stop")   # taken by no one
        if finishes:
            gate.open.set()
        await stopping

    async def both_runs() -> tuple[Host, core.SessionState, dict[str, Any]]:
        host, state = await session(sim, script, agent=gate, stop_timeout_s=0.3)
        before = {m.id: (m.terminal, attempts(sim, m.id), sim.records.retry_writes[m.id])
                  for m in sim.user_messages()}
        # The next run of the agent takes up what is left open, exactly once.
        await session(sim, lambda host: settle_and_close(sim), agent=second)
        return host, state, before

    host, state, before = asyncio.run(asyncio.wait_for(both_runs(), 40))
    assert state is core.SessionState.Dead and host.stop_requested and host.dead_reason is None
    running, queued = [ids[0], ids[3]], ids[1:3]
    assert sorted(gate.started) == sorted(running)
    for message_id in queued:   # never begun: left open for the next run, never handed over
        assert before[message_id] == (None, [], 0)
    for message_id in running:
        if finishes:
            assert before[message_id] == ("processed", [1], 0)
        else:
            # Cut short and given back: handed over once, still open, nothing written.
            assert before[message_id] == (None, [1], 0)
    if not finishes:
        assert sorted(gate.cancelled) == sorted(running)
    # The rooms and agent topics were left before the session ended.
    assert sim.records.protocol["leave"] >= 7 and sim.records.violations == []
    assert len(sim.user_messages()) == 5
    for message in sim.user_messages():
        assert sim.records.terminal_writes[message.id] == ["processed"], message.id
        assert replies(sim, message.id) == [f"echo: {message.content}"]
    assert sorted(second.started) == sorted(m.id for m in sim.user_messages() if m.id not in running or not finishes)


def test_async_with_runs_and_stops_the_host():
    async def main() -> tuple[Host, list[str]]:
        async with PlatformSimulator(rooms=("lobby",)) as sim:
            async with Host(sim.url, agent_id=AGENT, agent=echo, time_scale=SCALE) as host:
                await sim.wait_for(sim.fully_subscribed, 10)
                message_id = await sim.publish("lobby", "hello")
                await sim.wait_for(lambda: not sim.open_messages(), 10)
            return host, replies(sim, message_id)

    host, answered = asyncio.run(asyncio.wait_for(main(), 30))
    assert answered == ["echo: hello"] and host.state is core.SessionState.Dead and host.stop_requested


# -- turns ----------------------------------------------------------------------------------

@pytest.mark.parametrize("behaviour, error", [
    ("raise", "the agent has had enough"),
    ("hang", "the agent did not finish within 0.2 s"),
    ("tool", "the tool orvu_create_task needs a tool backend: pass tool_backend= to Host"),
])
def test_a_failing_agent_fails_only_its_turn(behaviour, error):
    sim = PlatformSimulator(rooms=("lobby",))
    ids: list[str] = []

    async def agent(message: MessageCreated, tools: Tools) -> None:
        if message["content"] == "bad":
            if behaviour == "raise":
                raise ValueError("the agent has had enough")
            if behaviour == "hang":
                assert tools.deadline is not None and 0 < (tools.time_left() or 0) <= 0.2
                await asyncio.sleep(60)
            await tools.call("orvu_create_task", title="x")
        await tools.post(f"echo: {message['content']}")

    async def script(host: Host) -> None:
        ids.append(await sim.publish("lobby", "bad"))
        ids.append(await sim.publish("lobby", "good"))
        await settle_and_close(sim)

    host, _ = run(sim, script, agent=agent, turn_timeout_s=0.2)
    bad, good = (sim.messages[i] for i in ids)
    assert (bad.terminal, bad.error) == ("failed", error)
    assert attempts(sim, bad.id) == [1, 2] and replies(sim, bad.id) == []
    assert sim.records.failure_details[bad.id]["orvu.core.agent_failure"]["provider"] == "agent"
    assert replies(sim, good.id) == ["echo: good"] and good.terminal == "processed"
    assert host.stats["turns_failed"] == 2 and host.stats["messages_handled"] == 2


def test_tools_record_their_effects_and_reach_the_backend():
    sim = PlatformSimulator(rooms=("lobby",))
    calls: list[tuple[str, dict[str, Any], int]] = []

    class Backend:
        async def call(self, name: str, arguments: Any, tools: Tools) -> Any:
            calls.append((name, dict(arguments), tools.attempt))
            return {"id": "task-1"}

    async def agent(message: MessageCreated, tools: Tools) -> None:
        people = await tools.call("orvu_get_participants")
        assert [p["id"] for p in people] == ["user-1", AGENT]
        if message["content"] == "act":
            assert await tools.call("orvu_create_task", title="t") == {"id": "task-1"}
        elif message["content"] == "decline":
            await tools.call("orvu_no_reply", reason="nothing to say")
        elif message["content"] == "unknown":
            with pytest.raises(ToolError, match="unknown tool"):
                await tools.call("no_such_tool")
        else:
            await tools.call("orvu_send_message", content="sent")

    ids: dict[str, str] = {}

    async def script(host: Host) -> None:
        for text in ("act", "decline", "unknown", "send"):
            ids[text] = await sim.publish("lobby", text)
        await settle_and_close(sim)

    run(sim, script, agent=agent, tool_backend=Backend())
    assert calls == [("orvu_create_task", {"title": "t"}, 1)]
    # An act or a declined reply completes the turn; observing alone does not.
    assert replies(sim, ids["act"]) == [] and replies(sim, ids["decline"]) == []
    assert replies(sim, ids["unknown"]) == [core.missing_reply_message()]
    assert replies(sim, ids["send"]) == ["sent"]


def test_a_room_removed_mid_turn_cuts_the_turn_which_resumes_when_it_is_back():
    sim = PlatformSimulator(rooms=("lobby", "support"))
    gate = Gate(hold=lambda content: content.startswith("long"))
    ids: list[str] = []

    async def script(host: Host) -> None:
        ids.append(await sim.publish("lobby", "long one"))
        while ids[0] not in gate.started:   # the agent is at work
            await asyncio.sleep(0.005)
        await sim.remove_agent("lobby")
        ids.append(await sim.publish("support", "meanwhile"))
        await sim.wait_for(lambda: sim.messages[ids[1]].terminal is not None, 10)
        gate.open.set()
        await sim.add_agent("lobby")
        await settle_and_close(sim)

    run(sim, script, agent=gate)
    first = ids[0]
    assert gate.cancelled == [first]
    assert [entry for entry in gate.resumed if entry[0] == first] == [(first, 1, False), (first, 1, True)]
    # One hand-off, settled once as "try again", then processed exactly once.
    assert attempts(sim, first) == [1] and sim.records.retry_writes[first] == 1
    assert sim.records.terminal_writes[first] == ["processed"] and replies(sim, first) == ["echo: long one"]
    assert sim.records.violations == []


def test_turns_across_rooms_are_limited():
    rooms = ("a", "b", "c", "d", "e")
    sim = PlatformSimulator(rooms=rooms)
    running: list[int] = [0]
    most: list[int] = [0]

    async def agent(message: MessageCreated, tools: Tools) -> None:
        running[0] += 1
        most[0] = max(most[0], running[0])
        await asyncio.sleep(0.02)
        running[0] -= 1
        await tools.post("ok")

    async def script(host: Host) -> None:
        for n in range(20):
            await sim.publish(rooms[n % 5], f"m{n}")
        await settle_and_close(sim)

    run(sim, script, agent=agent, max_concurrent_turns=2)
    assert most[0] == 2
    assert all(m.terminal == "processed" for m in sim.user_messages())


def test_a_full_queue_takes_no_more_and_loses_nothing(caplog):
    sim = PlatformSimulator(rooms=("lobby",))
    seen: list[str] = []

    async def slow(message: MessageCreated, tools: Tools) -> None:
        seen.append(message["id"])
        await asyncio.sleep(0.01)
        await tools.post(f"echo: {message['content']}")

    async def script(host: Host) -> None:
        for n in range(15):
            await sim.publish("lobby", f"m{n}")
        await settle_and_close(sim)

    with caplog.at_level(logging.INFO, logger="orvu_sdk"):
        run(sim, script, agent=slow, max_queue=2)
    assert any(getattr(r, "orvu_event", None) == "queue.full" for r in caplog.records)
    users = [m.id for m in sim.user_messages()]
    # Every message handed to the agent once, in the room's order.
    assert seen == users
    assert all(sim.records.terminal_writes[m] == ["processed"] and attempts(sim, m) == [1] for m in users)


# -- hooks, metrics, silence ----------------------------------------------------------------

def test_every_hook_is_called():
    sim = PlatformSimulator(rooms=("lobby",))
    seen: dict[str, list[Any]] = {}

    def record(name: str) -> Callable[..., None]:
        return lambda *args: seen.setdefault(name, []).append(args)

    async def async_record_room(room: Any) -> None:
        await asyncio.sleep(0)
        seen.setdefault("on_room_added", []).append((room["id"],))

    hooks = Hooks(**{name: record(name) for name in (
        "on_room_removed", "on_participants", "on_supersede", "on_contact", "on_control", "on_connected",
        "on_disconnected", "on_reconnected", "on_room_rejoined", "on_dead", "on_error")},
        on_room_added=async_record_room)
    control = {"mode": "stop", "scope": "room", "agent_id": AGENT, "correlation_id": "c-1",
               "execution_id": None, "room_id": "lobby"}

    async def agent(message: MessageCreated, tools: Tools) -> None:
        raise RuntimeError("boom")

    async def script(host: Host) -> None:
        await sim.participant_joins("lobby", {"id": "user-2", "type": "User", "name": "Ulla"})
        await sim.push_event(f"agent_contacts:{AGENT}", "contact_removed", {"id": "c-9"})
        await sim.push_event(f"agent_control:{AGENT}", "agent.control", control)
        await sim.add_agent("annex")
        await sim.wait_for(sim.fully_subscribed)
        await sim.remove_agent("annex")
        await sim.publish("lobby", "fail please")
        await sim.wait_for(lambda: not sim.open_messages())
        await sim.supersede(retryable=True, retry_after=1)
        await sim.wait_for(sim.fully_subscribed)
        await sim.crash_channel("chat_room:lobby")
        await sim.wait_for(sim.fully_subscribed)
        await asyncio.sleep(0.05)
        await sim.close_normally()

    host, _ = run(sim, script, hooks=hooks, agent=agent, max_retries=1)
    assert set(seen) == {name for name in vars(hooks) if name.startswith("on_")}
    assert seen["on_connected"] == [(), ()] and seen["on_reconnected"] == [()]
    assert seen["on_disconnected"] == [(4001,), (1000,)]
    assert seen["on_room_added"] == [("annex",)] and seen["on_room_removed"] == [("annex",)]
    assert ("lobby",) in seen["on_room_rejoined"]
    lobby = [[p["id"] for p in people] for room, people in seen["on_participants"] if room == "lobby"]
    assert lobby[0][:2] == ["user-1", AGENT] and ["user-1", AGENT, "user-2"] in lobby
    assert seen["on_supersede"][0][0]["retryable"] is True
    assert seen["on_contact"] == [("contact_removed", {"id": "c-9"})]
    assert seen["on_control"][0][0]["mode"] == "stop"
    assert seen["on_dead"] == [(core.DeadReason.Classified,)] and host.dead_reason is core.DeadReason.Classified
    (exc, where), = seen["on_error"]
    assert str(exc) == "boom" and where.startswith("agent on ")


def test_metrics_count_what_happened():
    sim = PlatformSimulator(rooms=("lobby",), replay_completed=2)
    counted: dict[str, int] = {}

    async def agent(message: MessageCreated, tools: Tools) -> None:
        if message["content"] == "fail":
            raise RuntimeError("no")
        await tools.post("ok")

    async def script(host: Host) -> None:
        for text in ("a", "fail", "b"):
            await sim.publish("lobby", text)
        await sim.wait_for(lambda: not sim.open_messages())
        sim.refuse_writes(1)
        await sim.publish("lobby", "c")
        await sim.wait_for(lambda: not sim.open_messages())
        await sim.drop()
        await sim.wait_for(sim.fully_subscribed)
        await sim.wait_for(lambda: sim.records.replayed_completed >= 2)
        await asyncio.sleep(0.05)
        await sim.close_normally()

    def metrics(name: str, amount: int) -> None:
        counted[name] = counted.get(name, 0) + amount

    host, _ = run(sim, script, agent=agent, metrics=metrics, max_retries=1)
    assert counted == host.stats
    assert counted == {"messages_handled": 4, "turns_failed": 1, "writes_parked": 1, "reconnects": 1,
                       "redeliveries_recognised": 2}


def test_a_platform_gone_silent_is_noticed_within_the_dead_threshold():
    policy = {
        "base_delay_s": 0.05, "factor": 2.0, "max_delay_s": 1, "stable_reset_s": 60,
        "rapid_disconnect_uptime_s": 0.01, "rapid_window_s": 300, "rapid_first_min_delay_s": 0.05,
        "rapid_second_min_delay_s": 0.05, "rapid_cooldown_base_s": 0.05, "rapid_cooldown_step_s": 0,
        "rapid_cooldown_max_s": 1, "rapid_threshold": 100, "heartbeat_interval_s": 0.25,
        "dead_threshold_s": 1.0}
    sim = PlatformSimulator(rooms=("lobby",))
    ids: list[str] = []

    async def script(host: Host) -> None:
        await sim.go_silent()
        ids.append(await sim.publish("lobby", "said into the silence"))
        await sim.wait_for(sim.fully_subscribed, 5)
        await settle_and_close(sim)

    host, _ = run(sim, script, policy=policy, time_scale=1.0)
    ((went_silent, closed),) = sim.records.silences.values()
    # Noticed within the dead threshold of the last frame, which came before the silence (the
    # margin is the event loop's, on a busy machine).
    assert closed is not None and closed - went_silent <= 1.0 + 0.5
    assert len(sim.records.connections) == 2 and host.stats["reconnects"] == 1
    assert replies(sim, ids[0]) == ["echo: said into the silence"]


def test_a_known_frame_limit_refuses_a_post_without_costing_the_connection():
    sim = PlatformSimulator(rooms=("lobby",))
    ids: list[str] = []

    async def agent(message: MessageCreated, tools: Tools) -> None:
        await tools.post("x" * 70_000 if message["content"] == "huge" else "small")

    async def script(host: Host) -> None:
        ids.extend([await sim.publish("lobby", "huge"), await sim.publish("lobby", "next")])
        await settle_and_close(sim)

    run(sim, script, agent=agent, max_frame_bytes=sim.max_frame_bytes)
    huge, following = (sim.messages[i] for i in ids)
    assert (huge.terminal, huge.error) == ("failed", "the platform refused send_message: message too big")
    assert following.terminal == "processed"
    assert sim.records.protocol["oversized"] == 0 and len(sim.records.connections) == 1


def test_a_restart_without_a_store_never_repeats_a_token_the_platform_took():
    # The first run's retry write is taken under its first token; it dies during the retry.
    # The next run's registry counts tokens from the start again: its final write must still
    # be taken as new, not as a duplicate of the first run's.
    sim = PlatformSimulator(rooms=("lobby",))
    ids: list[str] = []

    class Crash(Exception):
        pass

    async def flaky(message: MessageCreated, tools: Tools) -> None:
        if tools.attempt == 1:
            raise ValueError("try again")
        await asyncio.sleep(60)

    async def crash(host: Host) -> None:
        ids.append(await sim.publish("lobby", "hello"))
        await sim.wait_for(lambda: len(attempts(sim, ids[0])) == 2, 10)
        raise Crash

    async def both_runs() -> None:
        with pytest.raises(Crash):
            await session(sim, crash, agent=flaky)
        await session(sim, lambda host: settle_and_close(sim), agent=echo)

    asyncio.run(asyncio.wait_for(both_runs(), 40))
    message = sim.messages[ids[0]]
    assert sim.records.retry_writes[message.id] == 1
    assert message.terminal == "processed" and replies(sim, message.id) == ["echo: hello"]

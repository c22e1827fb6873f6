"""End to end: the host library against the platform simulator over real
WebSockets on loopback, under a seeded storm of faults.

The verdict comes from the platform's own records: what it handed to the agent,
which writes it accepted, and which topics were joined when the session ended.
"""

from __future__ import annotations

import asyncio
import collections
import json
import logging
import os
import random
import sys
from pathlib import Path
from typing import Any

import pytest

pytest.importorskip("websockets")

import orvu_sdk_core as core  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))

from chaos import MAX_RETRIES, ROOMS, TIME_SCALE, content, fault_test_policy, run_chaos  # noqa: E402
from platform_sim import RETRYABLE_FAULTS, PlatformSimulator  # noqa: E402
from orvu_sdk import Host  # noqa: E402
from orvu_sdk.delivery import MAX_ERROR  # noqa: E402
from reference_host import AgentError, EchoAgent  # noqa: E402

AGENT = "agent-1"
MAX_WRITE_REFUSALS = 3


def make_host(url: str, **options: Any) -> Host:
    """A host of the demo agent with the test clock; options override the defaults."""
    settings: dict[str, Any] = {"agent": EchoAgent(), "time_scale": TIME_SCALE, "seed": SEED}
    settings.update(options)
    return Host(url, agent_id=AGENT, **settings)

# Another seed reruns the whole storm differently: ORVU_E2E_SEED=7 pytest test_end_to_end.py
SEED = int(os.environ.get("ORVU_E2E_SEED", "20260107"))
MESSAGES = 1000
FAULT_ROUNDS = 14            # every retryable kind once per round, plus the extras below
# Channel faults on top of each round: 4 crashes and 2 server closes per round in all
# (56 and 28), besides the room removals, each of which closes two channels.
EXTRA_PER_ROUND = ("crash_channel",) * 3 + ("close_channel",)
DEADLINE_S = 50.0
# Faults at any moment: how many seeds (ORVU_CHAOS_SEEDS=40 for a wider sweep), and how long
# everything may take to settle after the last fault.
CHAOS_SEEDS = int(os.environ.get("ORVU_CHAOS_SEEDS", "8"))
CHAOS_SETTLE_S = 15.0


async def _scenario(terminal: str) -> tuple[PlatformSimulator, Host, core.SessionState]:
    rng = random.Random(SEED)
    sim = PlatformSimulator(rooms=ROOMS, seed=SEED, replay_completed=2, log=None)
    url = await sim.start()
    agent = EchoAgent()
    host = make_host(url, agent=agent, policy=core.SessionPolicy(fault_test_policy()), max_retries=MAX_RETRIES)
    host_task = asyncio.ensure_future(host.run())
    try:
        kinds = RETRYABLE_FAULTS + EXTRA_PER_ROUND
        faults = [kind for _ in range(FAULT_ROUNDS) for kind in rng.sample(kinds, len(kinds))]
        every = MESSAGES // len(faults)
        removed: str | None = None
        await sim.wait_for(sim.fully_subscribed)
        guests: list[tuple[str, str]] = []
        for n in range(MESSAGES):
            await sim.publish(rng.choice(ROOMS), content(rng, n))
            if n % 50 == 25:
                guest = (rng.choice(ROOMS), f"guest-{n}")
                guests.append(guest)
                await sim.participant_joins(guest[0], {"id": guest[1], "type": "User", "name": f"Guest {n}"})
            elif n % 100 == 0 and guests:
                room, guest_id = guests.pop(0)
                await sim.participant_leaves(room, guest_id)
            if n % every == every - 1 and faults:
                if removed is not None:
                    await sim.add_agent(removed)
                    removed = None
                # Keep a bounded backlog so that faults strike work in progress.
                await sim.wait_for(lambda: len(sim.open_messages()) < 25)
                await sim.wait_for(sim.fully_subscribed)
                kind = faults.pop()
                if kind == "remove_from_room":
                    removed = rng.choice(ROOMS)
                    await sim.remove_agent(removed)
                else:
                    await sim.inject(kind)
        if removed is not None:
            await sim.add_agent(removed)
        await sim.wait_for(lambda: not sim.open_messages() and sim.fully_subscribed())
        await sim.inject(terminal)
        state = await asyncio.wait_for(host_task, 10)
    finally:
        host_task.cancel()
        await asyncio.gather(host_task, return_exceptions=True)
        await sim.stop()
    return sim, host, state


@pytest.fixture(scope="module")
def storm() -> tuple[PlatformSimulator, Host, core.SessionState]:
    return asyncio.run(asyncio.wait_for(_scenario("close_1000"), DEADLINE_S))


def test_faults_were_injected(storm):
    sim, _, _ = storm
    faults = sim.records.faults
    retryable = sum(faults[kind] for kind in RETRYABLE_FAULTS)
    assert retryable >= 100
    assert {kind for kind in RETRYABLE_FAULTS if faults[kind] == 0} == set()
    assert len(sim.records.channel_crashes) >= 50
    # Server-side closes: on command, and the two channels of every room removal.
    assert faults["close_channel"] >= 20 and faults["remove_from_room"] >= 10
    assert len(sim.records.channel_closes) >= faults["close_channel"] + 2 * faults["remove_from_room"]
    # Crashes struck room channels of both kinds and the agent's own channels.
    struck = {topic.split(":", 1)[0] for topic in sim.records.channel_crashes + sim.records.channel_closes}
    assert {"chat_room", "room_participants"} <= struck and struck & {"agent_rooms", "agent_control", "agent_contacts"}
    assert sim.records.refused_upgrades[503] >= 1 and sim.records.refused_upgrades[429] >= 1
    assert sim.records.refused_writes["rejected"] >= 1
    assert sim.records.reordered_batches >= 1
    # The terminal fault came last, and only once.
    assert sim.records.fault_log[-1][0] == "close_1000"
    assert faults["close_1000"] == 1


def test_every_message_settled_exactly_once(storm):
    sim, host, _ = storm
    records = sim.records
    messages = sim.user_messages()
    assert len(messages) == MESSAGES
    assert records.violations == []
    for message in messages:
        attempts = [attempt for attempt, _ in records.handoffs[message.id]]
        assert attempts, f"{message.id} never reached the agent"
        assert attempts == sorted(set(attempts)), f"{message.id} handed over twice for one attempt"
        assert len(attempts) <= MAX_RETRIES, f"{message.id} exceeded its retry budget"
        expected = "failed" if "[fail]" in message.content else "processed"
        assert records.terminal_writes[message.id] == [expected], message.id
        # The budget is used up exactly when the agent keeps failing.
        wanted = [1, 2] if "[fail]" in message.content or "[flaky]" in message.content else [1]
        assert attempts == wanted, message.id
        # A turn cut short by the room's removal is settled as a retry under the same attempt
        # and run once more, resumed, when the room is back.
        cut = records.retry_writes[message.id] - (len(wanted) - 1)
        assert cut >= 0 and host.delivery_driver.agent.seen[message.id] == len(wanted) + cut
        if expected == "failed":
            (failure,) = records.failure_details[message.id].values()
            assert failure["provider"] == "EchoAgent" and failure["code"] == "agent_error"


def test_replies_are_neither_lost_nor_duplicated(storm):
    sim, _, _ = storm
    missing = core.missing_reply_message()
    for message in sim.user_messages():
        replies = [text for text, _ in sim.records.replies[message.id]]
        if "[fail]" in message.content or "[quiet]" in message.content:
            assert replies == [], message.id
        elif "[mute]" in message.content:
            assert replies == [missing], message.id
        else:
            assert replies == [f"echo: {message.content}"], message.id


def test_session_died_exactly_at_the_terminal_fault(storm):
    sim, host, state = storm
    assert state is core.SessionState.Dead
    dead = [i for i, (_, outcome) in enumerate(host.session_driver.outcomes) if outcome.state is core.SessionState.Dead]
    assert dead == [len(host.session_driver.outcomes) - 1]
    what, last = host.session_driver.outcomes[-1]
    assert what == "socket_close" and last.dead_reason is core.DeadReason.Classified
    # Every fault that ended a connection was followed by a successful reconnect.
    endings = sum(sim.records.faults[k] for k in ("drop", "refuse_503", "refuse_429", "supersede"))
    connects = sum(1 for what, _ in host.session_driver.outcomes if what == "connected")
    assert connects >= endings + 1
    assert sum(1 for what, _ in host.session_driver.outcomes if what == "upgrade_rejected") == (
        sim.records.refused_upgrades[503] + sim.records.refused_upgrades[429])


def test_subscriptions_match_the_platform(storm):
    sim, host, _ = storm
    view = sim.records.view_at_terminal_fault
    assert view is not None and host.session_driver.view_at_end is not None
    joined_rooms = {t.split(":", 1)[1] for t in view["topics"] if t.startswith("chat_room:")}
    participant_rooms = {t.split(":", 1)[1] for t in view["topics"] if t.startswith("room_participants:")}
    agent_topics = {t for t in view["topics"] if t.startswith("agent_")}
    assert set(host.session_driver.view_at_end["rooms"]) == joined_rooms == participant_rooms == set(view["members"])
    assert set(host.session_driver.view_at_end["agent_topics"]) == agent_topics
    # The channels the host believed joined are exactly those the platform had open.
    assert host.session_driver.joined_at_close == view["topics"]
    assert sorted(host.session_driver.rooms.tracked_room_ids()) == sorted(view["members"])
    # The session is over: the tracker has let go of everything.
    assert host.session_driver.subscriptions.subscribed_room_ids() == []
    assert host.session_driver.subscriptions.joined_agent_topics() == []


@pytest.mark.parametrize("terminal", ["refuse_403", "supersede_final"])
def test_other_terminal_faults_end_the_session(terminal):
    async def short_run() -> tuple[PlatformSimulator, Host, core.SessionState]:
        sim = PlatformSimulator(rooms=ROOMS[:2], seed=SEED, log=None)
        url = await sim.start()
        host = make_host(url)
        task = asyncio.ensure_future(host.run())
        try:
            await sim.wait_for(sim.fully_subscribed)
            for n in range(10):
                await sim.publish(ROOMS[n % 2], f"hello {n}")
            await sim.wait_for(lambda: not sim.open_messages())
            await sim.inject("supersede")
            await sim.wait_for(sim.fully_subscribed)
            await sim.inject(terminal)
            state = await asyncio.wait_for(task, 10)
        finally:
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            await sim.stop()
        return sim, host, state

    sim, host, state = asyncio.run(asyncio.wait_for(short_run(), 20))
    assert state is core.SessionState.Dead
    dead = [outcome for _, outcome in host.session_driver.outcomes if outcome.state is core.SessionState.Dead]
    assert len(dead) >= 1 and all(o.dead_reason is core.DeadReason.Classified for o in dead)
    first_dead = next(i for i, (_, o) in enumerate(host.session_driver.outcomes) if o.state is core.SessionState.Dead)
    # Before the terminal fault the session only ever backed off.
    assert all(o.state is not core.SessionState.Dead for _, o in host.session_driver.outcomes[:first_dead])
    assert [w for w, _ in host.session_driver.outcomes].count("supersede") >= 1
    assert all(terminal == "supersede_final" or w != "supersede" or o.retry_after_s is not None
               for w, o in host.session_driver.outcomes[:first_dead])
    assert collections.Counter(sim.records.terminal_writes[m.id][0] for m in sim.user_messages()) == {"processed": 10}


def test_host_spoke_the_protocol_cleanly(storm):
    sim, _, _ = storm
    protocol = sim.records.protocol
    # Never a frame for an earlier channel, a second join of a live channel or a bad frame.
    for kind in ("malformed", "oversized", "stale_push", "stale_leave", "duplicate_join", "bad_payload",
                 "vsn_refused", "idle_close"):
        assert protocol[kind] == 0, (kind, [r for r in sim.records.refusals if r[0] == kind][:3])
    # A write can race a crash and meet "unmatched topic", but only a topic it had joined.
    assert all(detail.split(" on ", 1)[1].startswith("chat_room:")
               for kind, detail in sim.records.refusals if kind == "unmatched_topic")
    assert protocol["heartbeat"] > 0


def test_participant_lists_follow_the_platform(storm):
    sim, host, _ = storm
    for room in sorted(sim.members):
        assert [p["id"] for p in host.participants(room)] == [p["id"] for p in sim.participants[room]], room
    assert sum(len(people) for people in sim.participants.values()) > 2 * len(ROOMS)


class LateHost:
    """A host built once the simulator listens (its URL is known only then); reads go to it."""

    def __init__(self, tracker: Any = None, **options: Any) -> None:
        self.options = options
        self.tracker = tracker
        self.host: Host | None = None

    def build(self, url: str) -> Host:
        self.host = make_host(url, **self.options)
        if self.tracker is not None:
            driver = self.host.session_driver
            self.tracker._target = driver.subscriptions
            driver.subscriptions = self.tracker
        return self.host

    def __getattr__(self, name: str) -> Any:
        return getattr(self.host, name)


async def _short_session(sim: PlatformSimulator, late: LateHost, script) -> core.SessionState:
    """Runs the host of `late` against `sim` while `script` runs."""
    url = await sim.start()
    host = late.build(url)
    task = asyncio.ensure_future(host.run())
    try:
        await sim.wait_for(sim.fully_subscribed, 10)
        await script()
        return await asyncio.wait_for(task, 10)
    finally:
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await sim.stop()


def test_a_restarted_host_does_not_handle_replayed_messages_again():
    # The platform replays messages it already holds as done; a fresh host has no
    # memory of them and must rely on the platform's durable status instead.
    sim = PlatformSimulator(rooms=ROOMS[:2], seed=SEED, replay_completed=5, log=None)

    async def both_runs() -> tuple[core.SessionState, core.SessionState, LateHost]:
        first = LateHost()

        async def first_script() -> None:
            for n in range(6):
                await sim.publish(ROOMS[n % 2], f"first run {n}" + (" [fail]" if n == 4 else ""))
            await sim.wait_for(lambda: not sim.open_messages())
            await first.stop()

        state1 = await _short_session(sim, first, first_script)
        second = LateHost()

        async def second_script() -> None:
            await sim.publish(ROOMS[0], "second run")
            await sim.wait_for(lambda: not sim.open_messages())
            await sim.close_normally()

        state2 = await _short_session(sim, second, second_script)
        return state1, state2, second

    state1, state2, second = asyncio.run(asyncio.wait_for(both_runs(), 30))
    assert state1 is state2 is core.SessionState.Dead
    # At least the second run's two room joins replay three done messages each (a reconnect
    # of a host slowed by a loaded machine joins again and replays more).
    assert sim.records.replayed_completed >= 6
    assert sim.records.violations == []
    assert dict(second.delivery_driver.handled) == {sim.user_messages()[-1].id: 1}
    for message in sim.user_messages():
        assert len(sim.records.terminal_writes[message.id]) == 1


def test_repeated_rapid_disconnects_end_the_session():
    config = fault_test_policy()
    config.update(rapid_threshold=4, rapid_disconnect_uptime_s=1e6)
    sim = PlatformSimulator(rooms=ROOMS[:1], seed=SEED, log=None)
    host = LateHost(policy=core.SessionPolicy(config))

    async def script() -> None:
        sim.queue_upgrade_refusals(503, 10)
        await sim.drop()

    state = asyncio.run(asyncio.wait_for(_short_session(sim, host, script), 30))
    assert state is core.SessionState.Dead
    what, last = host.session_driver.outcomes[-1]
    assert (what, last.dead_reason) == ("upgrade_rejected", core.DeadReason.RapidDisconnect)
    # The drop and two refusals backed off on the cooldown ladder; the third refusal ended it.
    assert sim.records.refused_upgrades[503] == 3
    assert [o.retry_after_s for w, o in host.session_driver.outcomes if o.retry_after_s is not None] == [1.0, 5.0, 10.0]


def test_malformed_events_are_refused_without_harm():
    sim = PlatformSimulator(rooms=ROOMS[:1], seed=SEED, log=None)
    host = LateHost()
    room = ROOMS[0]

    async def script() -> None:
        topic = core.chat_room_topic(room)
        await sim.push_event(topic, "message_created", {"id": "bad-1", "chat_room_id": room})
        await sim.push_event(topic, "message_created", ["not", "an", "object"])
        await sim.push_event(topic, "no_such_event", {})
        # Frames a host must not act on: not v2 frames, or a message under another channel's join_ref.
        stray = {"id": "stray-1", "chat_room_id": room, "content": "from an earlier channel",
                 "message_type": "text", "sender_type": "User", "sender_id": "user-1", "sender_name": None,
                 "inserted_at": "2026-01-01T00:00:00Z", "updated_at": "2026-01-01T00:00:00Z",
                 "metadata": {"mentions": []}, "attachments": []}
        for frame in ("{not json", "[" * 5000, "7", json.dumps([None, None, topic, "message_created"]),
                      json.dumps({"join_ref": None, "ref": None, "topic": topic, "event": "message_created",
                                  "payload": stray}),
                      json.dumps(["stale", None, topic, "message_created", stray]),
                      json.dumps([None, None, topic, "phx_error", {}]),
                      json.dumps([None, None, core.room_participants_topic(room), "phx_close", {}])):
            await sim.push_raw(frame)
        await sim.publish(room, "a good one")
        await sim.wait_for(lambda: not sim.open_messages())
        await sim.close_normally()

    state = asyncio.run(asyncio.wait_for(_short_session(sim, host, script), 30))
    assert state is core.SessionState.Dead
    assert list(host.delivery_driver.handled) == [sim.user_messages()[0].id]
    assert host.delivery_driver.claims.inflight_ids(room) == [] and host.delivery_driver.claims.pending_ack_ids(room) == []
    # The stale phx_error and phx_close ended nothing: no channel was joined twice.
    assert sim.records.protocol["duplicate_join"] == 0 and len(sim.records.connections) == 1
    assert host.session_driver.joined_at_close == sorted(sim.records.view_at_terminal_fault["topics"])


class CallLog:
    """Stands in for a module object and records every method call with its result."""

    def __init__(self, target: Any) -> None:
        self._target = target
        self.calls: list[tuple[str, tuple[Any, ...], Any]] = []

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self._target, name)
        if not callable(attribute):
            return attribute

        def call(*args: Any, **kwargs: Any) -> Any:
            result = attribute(*args, **kwargs)
            self.calls.append((name, args, result))
            return result
        return call


async def _settled(sim: PlatformSimulator, rooms: tuple[str, ...]) -> None:
    """Returns once the host has handled a message in each room, so it has recorded every join."""
    for room in rooms:
        await sim.publish(room, "settle")
    await sim.wait_for(lambda: not sim.open_messages())


def _traced_host() -> tuple[LateHost, CallLog]:
    tracker = CallLog(None)
    return LateHost(tracker=tracker), tracker


@pytest.mark.parametrize("fault", ["crash_channel", "close_channel"])
@pytest.mark.parametrize("topic", [core.chat_room_topic(ROOMS[0]), core.room_participants_topic(ROOMS[0]),
                                   "agent_rooms:agent-1", "agent_control:agent-1"])
def test_a_lost_channel_is_rejoined_under_its_ticket(fault, topic):
    sim = PlatformSimulator(rooms=ROOMS[:2], seed=SEED, log=None)
    host, tracker = _traced_host()
    seen: dict[str, Any] = {}

    async def script() -> None:
        await _settled(sim, ROOMS[:2])
        tickets = (tracker.room_rejoin_candidates(), tracker.agent_topic_rejoin_candidates())
        first = sim.live_join_ref(topic)
        since = len(tracker.calls)
        assert await getattr(sim, fault)(topic)
        # Published while the channel is down: handled once it is back.
        seen["waiting"] = await sim.publish(ROOMS[0], "while the channel is down")
        await sim.wait_for(sim.fully_subscribed)
        await sim.wait_for(lambda: not sim.open_messages())
        seen["tickets"] = tickets == (tracker.room_rejoin_candidates(), tracker.agent_topic_rejoin_candidates())
        seen["rejoined"] = sim.live_join_ref(topic) not in (None, first)
        seen["begun"] = [name for name, _, _ in tracker.calls[since:] if name.startswith("begin_")]
        await sim.close_normally()

    state = asyncio.run(asyncio.wait_for(_short_session(sim, host, script), 30))
    assert state is core.SessionState.Dead
    assert seen["rejoined"] and seen["tickets"] and seen["begun"] == []
    assert host.delivery_driver.handled[seen["waiting"]] == 1 and set(host.delivery_driver.handled.values()) == {1}
    assert sim.records.terminal_writes[seen["waiting"]] == ["processed"]
    assert host.session_driver.joined_at_close == sorted(sim.records.view_at_terminal_fault["topics"])


def test_a_refused_rejoin_is_reconciled_and_the_room_comes_back():
    sim = PlatformSimulator(rooms=ROOMS[:2], seed=SEED, log=None)
    host, tracker = _traced_host()
    room = ROOMS[0]
    chat, people = core.chat_room_topic(room), core.room_participants_topic(room)
    seen: dict[str, Any] = {}

    async def script() -> None:
        await _settled(sim, ROOMS[:2])
        (ticket,) = [t for r, t in tracker.room_rejoin_candidates() if r == room]
        # The platform stops letting the agent into the room and the room event is lost:
        # the host learns it only from the refused rejoin of the crashed channel.
        sim.members.discard(room)
        await sim.crash_channel(chat)
        await sim.wait_for(lambda: people not in sim.joined_topics())
        await sim.add_agent(room)
        await sim.wait_for(sim.fully_subscribed)
        seen["message"] = await sim.publish(room, "back in the room")
        await sim.wait_for(lambda: not sim.open_messages())
        seen["ticket"] = ticket
        await sim.close_normally()

    state = asyncio.run(asyncio.wait_for(_short_session(sim, host, script), 30))
    assert state is core.SessionState.Dead
    calls = [(name, args, result) for name, args, result in tracker.calls if args[:1] == (room,)]
    failed = calls.index(("mark_room_rejoin_failed", (room, seen["ticket"]), True))
    reconciled = calls.index(("acknowledge_room_reconciled", (room,), True))
    begun = [i for i, (name, _, ticket) in enumerate(calls) if name == "begin_room_subscribe" and ticket is not None]
    # Subscribed once at the start and once more after the room came back.
    assert len(begun) == 2 and begun[0] < failed < reconciled < begun[1]
    # Refused once; the other topic of the room was left; then joined afresh.
    assert sim.records.protocol["join_refused"] == 1 and sim.records.protocol["leave"] == 1
    assert host.delivery_driver.handled[seen["message"]] == 1 and set(host.delivery_driver.handled.values()) == {1}
    assert set(host.session_driver.view_at_end["rooms"]) == set(ROOMS[:2])
    assert host.session_driver.joined_at_close == sorted(sim.records.view_at_terminal_fault["topics"])


def test_a_second_host_of_the_agent_supersedes_the_first_without_a_tug_of_war():
    """Two hosts of one agent: the newer connection wins, the older one is told its
    supersede is final and ends its session instead of reconnecting (which would
    supersede the newer one in turn, and so on for ever)."""
    sim = PlatformSimulator(rooms=ROOMS[:2], seed=SEED, log=None)

    async def main() -> tuple[core.SessionState, Host, Host]:
        url = await sim.start()
        first = make_host(url)
        second = make_host(url, seed=SEED + 1)
        tasks = [asyncio.ensure_future(first.run())]
        try:
            await sim.wait_for(sim.fully_subscribed)
            tasks.append(asyncio.ensure_future(second.run()))
            state = await asyncio.wait_for(tasks[0], 10)
            await sim.wait_for(sim.fully_subscribed)
            await sim.publish(ROOMS[0], "for whoever holds the agent now")
            await sim.wait_for(lambda: not sim.open_messages())
            await sim.close_normally()
            await asyncio.wait_for(tasks[1], 10)
            return state, first, second
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await sim.stop()

    state, first, second = asyncio.run(asyncio.wait_for(main(), 30))
    assert state is core.SessionState.Dead
    # The notice ended it, before the close that followed.
    what, dead = next((w, o) for w, o in first.session_driver.outcomes if o.state is core.SessionState.Dead)
    assert (what, dead.dead_reason) == ("supersede", core.DeadReason.Classified)
    assert [w for w, _ in second.session_driver.outcomes].count("connected") == 1
    assert len(sim.records.connections) == 2 and sim.records.protocol["superseded_connection"] == 1
    (message,) = sim.user_messages()
    assert dict(second.delivery_driver.handled) == {message.id: 1} and dict(first.delivery_driver.handled) == {}


@pytest.mark.parametrize("seed", range(1, CHAOS_SEEDS + 1))
def test_faults_at_any_moment_strand_nothing(seed):
    # Faults of every kind strike in bursts while messages flow, during joins, rejoins and
    # admissions, and while earlier faults are still being mended. Counted from the platform's
    # records: after the last fault, every message is settled exactly once and every room the
    # platform lists is joined again, within a bounded time.
    result = asyncio.run(asyncio.wait_for(run_chaos(seed, MESSAGES, settle_s=CHAOS_SETTLE_S), 120))
    sim = result.sim
    # The storm is paced by the host's progress, so a slowed machine sees fewer bursts; typical
    # runs strike about 110 times, and this only guards against a storm that never got going.
    assert result.faults >= 40
    struck = {kind for kind, count in result.fault_counts.items() if count}
    assert {"drop", "crash_channel", "close_channel", "remove_from_room"} <= struck
    assert result.stranded == [], f"rooms never joined again: {result.stranded}"
    assert result.unnoticed == 0, "a platform gone silent was never noticed"
    assert (len(result.lost), result.lost[:5]) == (0, []), "messages never settled"
    assert result.duplicated == [] and result.violations == []
    assert result.settled_s is not None, f"not settled within {CHAOS_SETTLE_S} s of the last fault"
    for message in sim.user_messages():
        expected = "failed" if "[fail]" in message.content else "processed"
        assert sim.records.terminal_writes[message.id] == [expected], message.id
        wanted = [1, 2] if "[fail]" in message.content or "[flaky]" in message.content else [1]
        assert [attempt for attempt, _ in sim.records.handoffs[message.id]] == wanted, message.id


class OversizedAgent(EchoAgent):
    """Answers "[huge]" with a reply above the platform's frame limit, and fails "[verbose]"
    with a failure text above it; everything else as the echo agent."""

    async def __call__(self, message: dict[str, Any], tools: Any) -> None:
        if "[huge]" in message["content"]:
            self.seen[message["id"]] += 1
            await tools.call("orvu_send_message", content="x" * 70000)
            return
        if "[verbose]" in message["content"]:
            self.seen[message["id"]] += 1
            raise AgentError("a very long trace " * 5000)
        await super().__call__(message, tools)


@pytest.mark.parametrize("tag, error", [
    ("[huge]", "the platform refused send_message: message too big"),
    ("[verbose]", ("a very long trace " * 5000)[:MAX_ERROR]),
])
def test_a_write_too_big_for_the_platform_does_not_block_its_room(tag, error, caplog):
    sim = PlatformSimulator(rooms=ROOMS[:2], seed=SEED, log=None)
    host = LateHost(agent=OversizedAgent())
    room = ROOMS[0]
    ids: list[str] = []

    async def script() -> None:
        ids.append(await sim.publish(room, f"too much {tag}"))
        for n in range(3):
            ids.append(await sim.publish(ROOMS[n % 2], f"after it {n}"))
        await sim.wait_for(lambda: not sim.open_messages(), 20)
        await sim.close_normally()

    with caplog.at_level(logging.INFO, logger="orvu_sdk"):
        state = asyncio.run(asyncio.wait_for(_short_session(sim, host, script), 40))
    assert state is core.SessionState.Dead
    first, *rest = (sim.messages[i] for i in ids)
    # Settled as failed with a short error; the messages behind it in its room were handled.
    assert (first.terminal, first.error) == ("failed", error)
    assert sim.records.terminal_writes[first.id] == ["failed"] and sim.records.replies[first.id] == []
    for message in rest:
        assert sim.records.terminal_writes[message.id] == ["processed"], message.id
        assert [text for text, _ in sim.records.replies[message.id]] == [f"echo: {message.content}"]
    oversized = sim.records.protocol["oversized"]
    if tag == "[huge]":
        # One reconnect teaches the host the platform's limit: the next try is refused locally,
        # and the reply is never tried again.
        assert oversized == 1 and host.delivery_driver.agent.seen[first.id] == 1
        assert any(getattr(r, "orvu_event", None) == "write.refused" for r in caplog.records)
    else:
        # The agent's long failure text is cut short, so its writes fit the platform's frames.
        assert oversized == 0 and host.delivery_driver.agent.seen[first.id] == 2
        assert sim.records.retry_writes[first.id] == 1
    assert sim.records.violations == []

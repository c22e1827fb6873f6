"""A reference host: connects one agent to the platform over a Phoenix Channels
WebSocket and asks `orvu_sdk_core` for every decision.

The host does the I/O (socket, timers, the agent's tool calls); the module
decides:

* `SessionPolicy` / `Session`: whether and when to reconnect after a close, a
  refused upgrade or a supersede notice, and when the session is over.
* `RoomRoster`: which rooms the agent counts as its own (ticketed admission,
  reconciliation against the platform's room list after every reconnect).
* `SubscriptionTracker`: which topics are joined, rejoined or left, with tickets
  that make late transport answers harmless.
* `validate_event_payload` / `evaluate_delivery_event`: every inbound event.
* `ClaimRegistry` with a `RetryTracker`: whether a message may be handled now,
  who owns it, the terminal write owed for it, its confirmation or parking.
* `TurnLedger` with `orvu_tool_effects()`: whether the agent's turn produced a
  reply, and `missing_reply_message()` when it did not.
* `ParticipantRoster`: the participant list of every room.

Every decision is logged in one line. Time reaches the module as seconds on a
virtual clock: the host sleeps `retry_after_s * time_scale` real seconds, and
its clock runs `1 / time_scale` times faster than the wall clock, so a test can
compress minutes of backoff into milliseconds without changing any decision.
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import itertools
import json
import random
import time
from typing import Any, Awaitable, Callable

import orvu_sdk_core as core
from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake, InvalidStatus


AGENT_TOPIC_KINDS = (core.AgentTopicKind.Control, core.AgentTopicKind.Rooms, core.AgentTopicKind.Contacts)
# What a Phoenix server answers for a topic without a live channel.
UNMATCHED_TOPIC = "unmatched topic"
# The close code of a server whose frame limit a frame exceeded, and the refusal the host
# makes of it for the request that sent that frame.
MESSAGE_TOO_BIG_CODE = 1009
MESSAGE_TOO_BIG = "message too big"
MAX_BRIEF_ERROR = 200   # characters of a failure's text kept in a terminal write sent again shorter


class ConnectionLost(Exception):
    """The socket closed before the platform answered. `too_big` is true when the server
    closed it for a frame above its limit and this request's frame was the largest waiting."""

    def __init__(self, too_big: bool = False) -> None:
        super().__init__(MESSAGE_TOO_BIG if too_big else "connection lost")
        self.too_big = too_big


class WriteRefused(Exception):
    """A room push that retrying cannot get accepted."""

    def __init__(self, event: str, reason: str) -> None:
        super().__init__(f"the platform refused {event}: {reason}")


class AgentError(Exception):
    """Raised by an agent that failed to handle a message."""


@dataclasses.dataclass
class Reply:
    status: str
    response: dict[str, Any]

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    @property
    def reason(self) -> str:
        reason = self.response.get("reason")
        return reason if isinstance(reason, str) else self.status


class PhoenixSocket:
    """Phoenix Channels v2 framing over one WebSocket connection.

    Each topic has at most one channel, known by the join_ref of its join. Frames
    that name another join_ref belong to an earlier channel of the topic and are
    dropped. A `phx_error` (the channel crashed) or `phx_close` (the server closed
    it) ends the channel here too, and `on_channel_lost(topic, event)` is told.
    """

    def __init__(self, ws: ClientConnection, on_push: Callable[[str, str, Any], None],
                 on_channel_lost: Callable[[str, str], None], reply_timeout_s: float) -> None:
        self.ws = ws
        self._on_push = on_push
        self._on_channel_lost = on_channel_lost
        self._refs = itertools.count(1)
        self._join_refs: dict[str, str] = {}      # topic -> join_ref of its channel
        self._joined: set[str] = set()            # topics whose join the server accepted
        self._joins: dict[str, str] = {}          # ref of a join in flight -> its topic
        self._waiting: dict[str, asyncio.Future[Reply]] = {}
        self._sizes: dict[str, int] = {}           # ref of a request waiting -> size of its frame
        self._reply_timeout_s = reply_timeout_s
        self.closed = False
        self.tasks: set[asyncio.Task[Any]] = set()   # the host's work begun on this connection
        self.joined_at_close: set[str] = set()
        self.last_frame_at = time.monotonic()

    def is_joined(self, topic: str) -> bool:
        return topic in self._joined

    async def read_until_closed(self) -> int | None:
        """Dispatches frames until the socket closes; returns the close code."""
        try:
            async for raw in self.ws:
                self.last_frame_at = time.monotonic()
                try:
                    frame = json.loads(raw)
                except (ValueError, TypeError, RecursionError):
                    continue
                if not isinstance(frame, list) or len(frame) != 5:
                    continue   # not a v2 frame (an object would unpack as its keys)
                join_ref, ref, topic, event, payload = frame
                if event == "phx_reply":
                    self._on_reply(ref, payload)
                elif not isinstance(topic, str) or join_ref != self._join_refs.get(topic):
                    continue   # no channel of ours, or an earlier one
                elif event in ("phx_error", "phx_close"):
                    self._forget(topic)
                    self._on_channel_lost(topic, event)
                else:
                    self._on_push(topic, event, payload)
        except ConnectionClosed:
            pass
        finally:
            self.closed = True
            self.joined_at_close = set(self._joined)
            self._join_refs.clear()
            self._joined.clear()
            # A server closes with 1009 without saying which frame was too big: the largest waiting.
            largest = max(self._sizes.values(), default=None) \
                if self.ws.close_code == MESSAGE_TOO_BIG_CODE else None
            for ref, future in self._waiting.items():
                if not future.done():
                    future.set_exception(ConnectionLost(largest is not None and self._sizes.get(ref) == largest))
                    future.exception()  # a waiter that already gave up need not see it
            self._waiting.clear()
            self._sizes.clear()
        return self.ws.close_code

    def _on_reply(self, ref: Any, payload: Any) -> None:
        key = str(ref)
        future = self._waiting.pop(key, None)
        if not isinstance(payload, dict):
            payload = {}
        response = payload.get("response")
        reply = Reply(str(payload.get("status")), response if isinstance(response, dict) else {})
        topic = self._joins.pop(key, None)
        if topic is not None and self._join_refs.get(topic) == key:
            # Settled here, before any push that follows the reply is read.
            if reply.ok:
                self._joined.add(topic)
            else:
                self._forget(topic)
        if future is not None and not future.done():
            future.set_result(reply)

    def _forget(self, topic: str) -> None:
        self._join_refs.pop(topic, None)
        self._joined.discard(topic)

    async def request(self, topic: str, event: str, payload: dict[str, Any],
                      join_ref: str | None = None, ref: str | None = None) -> Reply:
        if self.closed:
            raise ConnectionLost()
        ref = ref if ref is not None else str(next(self._refs))
        future: asyncio.Future[Reply] = asyncio.get_running_loop().create_future()
        self._waiting[ref] = future
        frame = [join_ref if join_ref is not None else self._join_refs.get(topic), ref, topic, event, payload]
        text = json.dumps(frame)
        self._sizes[ref] = len(text)   # json.dumps writes ASCII: one byte a character
        try:
            await self.ws.send(text)
            return await asyncio.wait_for(future, self._reply_timeout_s)
        except (TimeoutError, asyncio.TimeoutError) as exc:
            # A platform that stops answering is as good as gone: end the socket
            # so that everything waiting on it moves to the next connection.
            self._waiting.pop(ref, None)
            asyncio.ensure_future(self.close(4000))
            raise ConnectionLost() from exc
        except ConnectionClosed as exc:
            self._waiting.pop(ref, None)
            # A frame too big for the server can still be draining when it closes: the
            # reader has then already said whether this one was the frame refused.
            lost = future.exception() if future.done() else None
            if isinstance(lost, ConnectionLost):
                raise lost from exc
            raise ConnectionLost() from exc
        finally:
            self._sizes.pop(ref, None)

    async def join(self, topic: str) -> Reply:
        """Joins `topic` as a new channel; `is_joined` tells afterwards whether it still is."""
        if self.closed:
            raise ConnectionLost()
        join_ref = str(next(self._refs))
        self._join_refs[topic] = join_ref
        self._joined.discard(topic)
        self._joins[join_ref] = topic
        try:
            # As in other v2 clients, a join's ref is its join_ref.
            return await self.request(topic, "phx_join", {}, join_ref=join_ref, ref=join_ref)
        finally:
            self._joins.pop(join_ref, None)

    async def leave(self, topic: str) -> Reply:
        """Leaves the channel of `topic`; with no channel there is nothing to leave."""
        join_ref = self._join_refs.get(topic)
        if join_ref is None:
            return Reply("ok", {})
        # From here on the channel is gone for us: its phx_close is not a loss.
        self._forget(topic)
        return await self.request(topic, "phx_leave", {}, join_ref=join_ref)

    async def heartbeat(self) -> Reply:
        return await self.request("phoenix", "heartbeat", {}, join_ref=None)

    async def close(self, code: int = 1000) -> None:
        try:
            await self.ws.close(code)
        except ConnectionClosed:
            pass


@dataclasses.dataclass
class QueuedMessage:
    message_id: str
    payload: dict[str, Any]


class Tools:
    """The tools one agent turn may call; each successful call is recorded in the turn's ledger."""

    def __init__(self, host: "ReferenceHost", room_id: str, message_id: str, attempt: int,
                 ledger: core.TurnLedger) -> None:
        self._host = host
        self.room_id = room_id
        self.message_id = message_id
        self.attempt = attempt
        self.ledger = ledger
        self._posts = itertools.count(1)

    async def call(self, name: str, **arguments: Any) -> Any:
        effect = self._host.tool_effects.get(name)
        if effect is None:
            raise AgentError(f"unknown tool {name}")
        if name == "orvu_send_message":
            result: Any = await self.post(str(arguments["content"]))
        elif name == "orvu_get_participants":
            result = self._host.participants_of(self.room_id)
        elif name == "orvu_no_reply":
            result = None
        else:
            raise AgentError(f"the demo host does not implement {name}")
        self.ledger.record(effect)
        return result

    async def post(self, content: str) -> dict[str, Any]:
        client_ref = f"{self.message_id}#{self.attempt}#{next(self._posts)}"
        return await self._host.push_reliably(self.room_id, "send_message", {
            "content": content, "in_reply_to": self.message_id, "client_ref": client_ref})


Agent = Callable[[dict[str, Any], Tools], Awaitable[None]]


class EchoAgent:
    """A small demo agent. It answers every message with an echo, except:

    * "[fail]" anywhere in the text: it fails on every attempt;
    * "[flaky]": it fails on the first attempt only;
    * "[quiet]": it declines with `orvu_no_reply`;
    * "[mute]": it only looks at the participants and ends without replying.
    """

    def __init__(self) -> None:
        self.seen: collections.Counter[str] = collections.Counter()

    async def __call__(self, message: dict[str, Any], tools: Tools) -> None:
        text = message["content"]
        self.seen[message["id"]] += 1
        await tools.call("orvu_get_participants")
        await asyncio.sleep(0)
        if "[fail]" in text:
            raise AgentError("the demo agent fails on purpose")
        if "[flaky]" in text and self.seen[message["id"]] == 1:
            raise AgentError("the demo agent fails on a first attempt")
        if "[quiet]" in text:
            await tools.call("orvu_no_reply", reason="nothing to add")
            return
        if "[mute]" in text:
            return
        await tools.call("orvu_send_message", content=f"echo: {text}")


class ReferenceHost:
    """Runs one agent session against the platform at `url` until it is dead."""

    def __init__(self, url: str, *, agent_id: str = "agent-1", agent: Agent | None = None,
                 policy: core.SessionPolicy | None = None, time_scale: float = 1.0,
                 max_retries: int = 2, seed: int = 0, write_retry_s: float = 1.0,
                 max_write_refusals: int = 3, log: Callable[[str], None] | None = print) -> None:
        self.url = url
        self.agent_id = agent_id
        self.agent: Agent = agent if agent is not None else EchoAgent()
        self.policy = policy if policy is not None else core.SessionPolicy.default()
        self.time_scale = time_scale
        self.write_retry_s = write_retry_s
        self.max_write_refusals = max_write_refusals
        self._log = log
        self._rng = random.Random(seed)
        self._t0 = time.monotonic()

        self.session = core.Session(self.policy)
        self.subscriptions = core.SubscriptionTracker()
        self.rooms = core.RoomRoster()
        self.claims = core.ClaimRegistry()
        self.retries = core.RetryTracker(max_retries)
        self.tool_effects = core.orvu_tool_effects()
        self.rosters: dict[str, core.ParticipantRoster] = {}

        self.outcomes: list[tuple[str, core.SessionOutcome]] = []
        self.view_at_end: dict[str, list[str]] | None = None
        self.handled: collections.Counter[str] = collections.Counter()

        self._socket: PhoenixSocket | None = None
        self._ready_rooms: set[str] = set()
        self._seen_rooms: set[str] = set()             # every room a subscribe was begun for
        self._room_locks: dict[str, asyncio.Lock] = {}
        self._mending_rooms: set[str] = set()
        self._mending_topics: set[str] = set()
        # topics whose channels were joined when the last socket closed
        self.joined_at_close: list[str] = []
        self._queues: dict[str, asyncio.Queue[QueuedMessage]] = {}
        self._payloads: dict[str, dict[str, Any]] = {}   # message id -> payload, for retries
        self._failures: dict[str, core.AgentFailure] = {}  # message id -> the agent's last failure
        self._workers: dict[str, asyncio.Task[None]] = {}
        self._tasks: set[asyncio.Task[Any]] = set()
        self._changed = asyncio.Condition()
        self._supersede: core.SessionOutcome | None = None
        self._stopping = False
        self._connected_once = False

    # -- clock and logging -----------------------------------------------------------
    def now(self) -> float:
        """Seconds on the host's clock, which the module receives as `now_s`."""
        return (time.monotonic() - self._t0) / self.time_scale

    async def sleep(self, seconds: float) -> None:
        await asyncio.sleep(max(0.0, seconds) * self.time_scale)

    def log(self, text: str) -> None:
        if self._log is not None:
            self._log(f"[host {self.now():9.3f}s] {text}")

    def _spawn(self, coro: Awaitable[Any], socket: PhoenixSocket | None = None) -> None:
        task = asyncio.ensure_future(coro)
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)
        if socket is not None:
            # Work begun on this connection: it ends with the connection (see _run_connection).
            socket.tasks.add(task)
            task.add_done_callback(socket.tasks.discard)

    async def _changed_now(self) -> None:
        async with self._changed:
            self._changed.notify_all()

    def _poke(self) -> None:
        self._spawn(self._changed_now())

    async def _until(self, predicate: Callable[[], bool]) -> None:
        async with self._changed:
            await self._changed.wait_for(lambda: predicate() or self._dead())

    def _room_ready(self, room: str) -> bool:
        socket = self._socket
        return room in self._ready_rooms and socket is not None and not socket.closed

    def _dead(self) -> bool:
        return self.session.state is core.SessionState.Dead

    def _outcome(self, what: str, outcome: core.SessionOutcome) -> core.SessionOutcome:
        self.outcomes.append((what, outcome))
        if outcome.state is core.SessionState.Dead and self.view_at_end is None:
            # What the host held when the session ended, before anything is torn down.
            self.view_at_end = self._view()
        parts = [f"session {what}: state={outcome.state}"]
        if outcome.retry_after_s is not None:
            parts.append(f"retry_after={outcome.retry_after_s:.3f}s")
        if outcome.dead_reason is not None:
            parts.append(f"dead_reason={outcome.dead_reason}")
        if outcome.stale_reason is not None:
            parts.append(f"stale={outcome.stale_reason} (ignored)")
        self.log(" ".join(parts))
        return outcome

    # -- the session loop --------------------------------------------------------------
    async def run(self) -> core.SessionState:
        """Connects, reconnects as the session decides, and returns once it is dead."""
        try:
            while not self._stopping:
                epoch = self.session.begin_attempt(self.now())
                if epoch is None:
                    self.log("session refuses another attempt")
                    break
                self.log(f"connecting (epoch {epoch})")
                outcome = await self._attempt(epoch)
                if outcome.state is core.SessionState.Dead or self._stopping:
                    break
                delay = outcome.retry_after_s or 0.0
                self.log(f"backing off {delay:.3f}s before the next attempt")
                await self.sleep(delay)
        finally:
            await self._finish()
        return self.session.state

    async def stop(self) -> None:
        """A clean stop: leave every room, close the socket, end the session."""
        self._stopping = True
        socket = self._socket
        if socket is not None and not socket.closed:
            for room in self.subscriptions.subscribed_room_ids():
                await self._unsubscribe(room, socket)
            for topic in self.subscriptions.joined_agent_topics():
                ticket = self.subscriptions.leave_agent_topic(topic)
                if ticket is None:
                    continue
                try:
                    left = (await socket.leave(topic)).ok
                except ConnectionLost:
                    left = False
                outcome = core.LeaveOutcome.Left if left else core.LeaveOutcome.Unknown
                done = self.subscriptions.mark_agent_topic_leave_complete(topic, ticket, outcome)
                self.log(f"left {topic} under ticket {ticket} with {outcome!r} -> {done}")
        self.log(f"stopping: session.end() -> {self.session.end()!r}")
        if socket is not None and not socket.closed:
            self.log("closing the socket (1000)")
            await socket.close(1000)
        self._poke()

    async def _attempt(self, epoch: int) -> core.SessionOutcome:
        try:
            ws = await connect(self.url, ping_interval=None, open_timeout=5, close_timeout=1)
        except InvalidStatus as exc:
            status = exc.response.status_code
            retry_after = _retry_after(exc.response.headers.get("Retry-After"))
            self.log(f"upgrade refused: HTTP {status}, retry-after {retry_after}, "
                     f"classify_upgrade -> {core.classify_upgrade(status)}")
            return self._outcome("upgrade_rejected", self.session.on_upgrade_rejected(
                epoch, self.now(), status, retry_after, self._rng.random()))
        except (OSError, InvalidHandshake, TimeoutError, asyncio.TimeoutError) as exc:
            self.log(f"connect failed: {exc!r}")
            return self._outcome("socket_close", self.session.on_socket_close(
                epoch, self.now(), None, self._rng.random()))
        outcome = self._outcome("connected", self.session.on_connected(epoch, self.now()))
        if outcome.state is not core.SessionState.Up:
            await ws.close(1000)
            return outcome
        return await self._run_connection(ws, epoch)

    async def _run_connection(self, ws: ClientConnection, epoch: int) -> core.SessionOutcome:
        reply_timeout = max(1.0, self.policy.dead_threshold_s * self.time_scale)
        socket = PhoenixSocket(ws, self._on_push, self._on_channel_lost, reply_timeout)
        self._socket = socket
        self._supersede = None
        reader = asyncio.ensure_future(socket.read_until_closed())
        setup = asyncio.ensure_future(self._set_up(socket))
        heartbeat = asyncio.ensure_future(self._heartbeat(socket))
        code = await reader
        self.joined_at_close = sorted(socket.joined_at_close)
        heartbeat.cancel()
        self._socket = None
        self._ready_rooms.clear()
        await self._changed_now()
        # Set-up and every join, rejoin, admission and leave begun on this connection fail fast
        # on a closed socket and settle the tickets they hold as they end. Waiting for them here
        # means the next connection starts from settled state: an admission still running on a
        # dead socket would otherwise be Admitting when the next reconciliation runs, which
        # leaves it alone, and fail only afterwards, with nothing left to offer the room again.
        await asyncio.gather(setup, heartbeat, return_exceptions=True)
        while pending := [task for task in socket.tasks if not task.done()]:
            await asyncio.wait(pending)
        supersede = self._supersede
        close = self.session.on_socket_close(epoch, self.now(), code, self._rng.random())
        self.log(f"socket closed with {code} (classify_close -> {core.classify_close(code)})")
        close = self._outcome("socket_close", close)
        return supersede if supersede is not None else close

    async def _heartbeat(self, socket: PhoenixSocket) -> None:
        interval = self.policy.heartbeat_interval_s
        dead_after = self.policy.dead_threshold_s * self.time_scale
        while not socket.closed:
            await self.sleep(interval)
            if time.monotonic() - socket.last_frame_at > dead_after:
                self.log("no frame within the dead threshold: closing the socket")
                await socket.close(4000)
                return
            try:
                await socket.heartbeat()
            except ConnectionLost:
                return

    def _view(self) -> dict[str, list[str]]:
        return {"rooms": self.subscriptions.subscribed_room_ids(),
                "agent_topics": self.subscriptions.joined_agent_topics()}

    async def _finish(self) -> None:
        if self.session.state is not core.SessionState.Dead:
            self.session.end()
        if self.view_at_end is None:
            self.view_at_end = self._view()
        await self._changed_now()
        for task in list(self._workers.values()) + list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._workers.values(), *self._tasks, return_exceptions=True)
        self.subscriptions.end_session()
        self.log(f"session over: state={self.session.state}; subscriptions dropped")

    # -- subscriptions -------------------------------------------------------------------
    async def _set_up(self, socket: PhoenixSocket) -> None:
        try:
            if self._connected_once:
                self.subscriptions.on_reconnected()
                self.log("reconnected: rejoining what the tracker lists")
            self._connected_once = True
            self._settle_unknown_transport_state()
            rooms_snapshot = await self._join_agent_topics(socket)
            if rooms_snapshot is None:
                self.log("no room list from the platform: closing")
                await socket.close(4000)
                return
            await self._apply_room_snapshot(socket, rooms_snapshot)
        except ConnectionLost:
            pass
        except Exception as exc:
            self.log(f"connection set-up failed: {exc!r}; closing the socket")
            await socket.close(4000)
            raise

    async def _apply_room_snapshot(self, socket: PhoenixSocket, rooms_snapshot: list[str]) -> None:
        """Reconciles the roster against the platform's room list and joins accordingly."""
        reconciliation = self.rooms.reconcile(rooms_snapshot)
        self.log(f"rooms reconciled: removed={reconciliation.removed} resync={reconciliation.resync} "
                 f"admitting={reconciliation.admitting}")
        # Every room listed here is Admitting from now on, and `reconcile` leaves Admitting rooms
        # alone on every later reconnect: each admission must be settled, whatever happens below.
        unsettled = list(reconciliation.admitting)
        try:
            for room in reconciliation.removed:
                self._on_room_gone(room)
            candidates = dict(self.subscriptions.room_rejoin_candidates())
            for room in reconciliation.resync:
                if room in candidates:
                    await self._recover_room(socket, room)
                else:
                    await self._subscribe(socket, room)
            while unsettled:
                room, ticket = unsettled.pop(0)
                await self._admit(socket, room, ticket)   # settles its ticket, also when it raises
        finally:
            # The connection ended before these rooms were tried. Failing the admission is safe:
            # it only makes the room Unadmitted again (a stale ticket changes nothing), nothing of
            # it was joined, and the room list of the next connection offers it again.
            for room, ticket in unsettled:
                settled = self.rooms.record_room_admission(room, ticket, False)
                self.log(f"room {room}: admission ticket {ticket} abandoned with the connection -> {settled}")

    def _settle_unknown_transport_state(self) -> None:
        """A fresh socket has nothing joined: whatever needed reconciliation is now absent.

        Safe because it runs on a new socket before anything is joined on it: a leave, rollback
        or join that the last connection cut short left nothing behind on the platform."""
        for room in sorted(self._seen_rooms):
            if self.subscriptions.room_status(room) is core.RoomStatus.NeedsReconciliation:
                self.log(f"room {room}: transport state settled, acknowledge_room_reconciled -> "
                         f"{self.subscriptions.acknowledge_room_reconciled(room)}")
        for kind in AGENT_TOPIC_KINDS:
            topic = agent_topic(kind, self.agent_id)
            if self.subscriptions.agent_topic_status(topic) is core.AgentTopicStatus.NeedsReconciliation:
                self.subscriptions.acknowledge_agent_topic_reconciled(topic)

    async def _join_agent_topics(self, socket: PhoenixSocket) -> list[str] | None:
        rooms: list[str] | None = None
        candidates = dict(self.subscriptions.agent_topic_rejoin_candidates())
        for kind in AGENT_TOPIC_KINDS:
            topic = agent_topic(kind, self.agent_id)
            if topic in candidates:
                reply = await self._rejoin_agent_topic(socket, topic, candidates[topic])
            else:
                reply = await self._join_agent_topic(socket, topic)
            if kind is core.AgentTopicKind.Rooms and reply is not None and reply.ok:
                rooms = _room_list(reply)
        return rooms

    async def _join_agent_topic(self, socket: PhoenixSocket, topic: str) -> Reply | None:
        ticket = self.subscriptions.begin_agent_topic_join(topic)
        if ticket is None:
            self.log(f"join of {topic} refused by the tracker ({self.subscriptions.agent_topic_status(topic)})")
            return None
        try:
            reply = await socket.join(topic)
        except (ConnectionLost, asyncio.CancelledError):
            # Whether the platform joined it is unknown, and the socket is gone with whatever it
            # joined: NeedsReconciliation, which the next connection settles to Absent before it
            # joins the topic afresh (_settle_unknown_transport_state).
            self.subscriptions.record_agent_topic_join_ambiguous(topic, ticket)
            raise
        joined = self.subscriptions.record_agent_topic_join(topic, ticket, reply.ok)
        self.log(f"joined {topic} under ticket {ticket} -> {joined}")
        if joined and not socket.is_joined(topic):
            # Lost again before the join was recorded: mend it like any lost channel.
            self._spawn(self._guarded(self._recover_agent_topic(socket, topic)), socket)
        return reply

    async def _rejoin_agent_topic(self, socket: PhoenixSocket, topic: str, ticket: int) -> Reply:
        """Joins a topic the tracker holds as joined again, under its kept ticket. A rejoin the
        connection cuts short needs no call: the topic stays Joined, a rejoin candidate of the
        next connection under the same ticket."""
        reply = await socket.join(topic)
        if reply.ok:
            self.log(f"rejoined {topic} under ticket {ticket}")
            return reply
        failed = self.subscriptions.mark_agent_topic_rejoin_failed(topic, ticket)
        # Nothing of the topic is joined after a refused join: the state is known again.
        settled = self.subscriptions.acknowledge_agent_topic_reconciled(topic)
        self.log(f"rejoin of {topic} refused ({reply.reason}): rejoin_failed -> {failed}, reconciled -> {settled}")
        return reply

    async def _recover_agent_topic(self, socket: PhoenixSocket, topic: str) -> None:
        """Rejoins an agent topic whose channel crashed or was closed while the socket stayed up."""
        if topic in self._mending_topics:
            return
        self._mending_topics.add(topic)
        try:
            while not socket.closed and not socket.is_joined(topic):
                ticket = dict(self.subscriptions.agent_topic_rejoin_candidates()).get(topic)
                if ticket is None:
                    return
                reply = await self._rejoin_agent_topic(socket, topic, ticket)
                if not reply.ok:
                    return
                if topic == agent_topic(core.AgentTopicKind.Rooms, self.agent_id):
                    # Room events pushed while the channel was down are lost: the list
                    # in the join reply is the truth to reconcile against.
                    await self._apply_room_snapshot(socket, _room_list(reply))
        finally:
            self._mending_topics.discard(topic)

    async def _admit(self, socket: PhoenixSocket, room: str, ticket: int) -> None:
        """Joins a room under an admission ticket, and settles the ticket however that ends."""
        try:
            subscribed = await self._subscribe(socket, room)
        except BaseException:
            # Not admitted on this socket (it closed, or the session is ending). Failing the
            # admission is safe: the room is only Unadmitted again, and the room list of the next
            # connection offers it again; if the tracker holds it Subscribed meanwhile, that
            # admission's subscribe rejoins its topics.
            self.rooms.record_room_admission(room, ticket, False)
            raise
        admitted = self.rooms.record_room_admission(room, ticket, subscribed)
        self.log(f"room {room}: admission ticket {ticket} recorded -> {admitted}")
        if subscribed and not admitted and self.rooms.room_membership(room) is core.RoomMembership.Unadmitted:
            # The room went away while it was being joined (and no later admission holds it).
            await self._unsubscribe(room, socket)

    def _room_lock(self, room: str) -> asyncio.Lock:
        """Joins and leaves of one room's topics run one at a time."""
        return self._room_locks.setdefault(room, asyncio.Lock())

    async def _subscribe(self, socket: PhoenixSocket, room: str) -> bool:
        # A room whose state is in flight or unknown is settled by whoever holds it.
        busy = (core.RoomStatus.Pending, core.RoomStatus.Leaving, core.RoomStatus.NeedsReconciliation)
        while True:
            ticket = self.subscriptions.begin_room_subscribe(room)
            if ticket is not None:
                break
            status = self.subscriptions.room_status(room)
            self.log(f"room {room}: subscribe refused by the tracker ({status})")
            if status is core.RoomStatus.Subscribed:
                # Subscribed already, perhaps on an earlier connection: make sure both topics are
                # joined on this one.
                async with self._room_lock(room):
                    return await self._mend_room(socket, room, None)
            if status not in busy:
                return False
            await self._until(lambda: socket.closed or self.subscriptions.room_status(room) not in busy)
            if socket.closed:
                raise ConnectionLost()
        self._seen_rooms.add(room)
        chat, people = core.chat_room_topic(room), core.room_participants_topic(room)
        async with self._room_lock(room):
            try:
                first = await socket.join(chat)
            except (ConnectionLost, asyncio.CancelledError):
                # The pending subscribe ends here, or it would keep the room Pending for good:
                # whatever the platform joined went with the socket, so Absent is the truth.
                self.subscriptions.record_chat_room_join_failed(room, ticket)
                raise
            if not first.ok:
                result = self.subscriptions.record_chat_room_join_failed(room, ticket)
                self.log(f"room {room}: join of {chat} refused ({first.reason}) -> {result}")
                return False
            try:
                second = await socket.join(people)
                left = True if second.ok else (await socket.leave(chat)).ok
            except (ConnectionLost, asyncio.CancelledError):
                # The socket is gone, and the chat topic with it: the rollback is done, and the
                # room is Absent, free for the next connection to subscribe.
                self.subscriptions.record_room_participants_join_failed(room, ticket, True)
                raise
            if not second.ok:
                result = self.subscriptions.record_room_participants_join_failed(room, ticket, left)
                self.log(f"room {room}: join of {people} refused ({second.reason}); rollback -> {result}")
                return False
            result = self.subscriptions.record_both_room_topics_joined(room, ticket)
            self.log(f"room {room}: both topics joined under ticket {ticket} -> {result}")
            if result is not core.RoomSubscribeResult.Subscribed:
                return False
            return await self._mend_room(socket, room, second)

    async def _recover_room(self, socket: PhoenixSocket, room: str) -> None:
        """Rejoins the topics of a subscribed room that this socket lacks (after a reconnect, a
        crash or a server close), under the ticket the tracker kept at subscription."""
        if room in self._mending_rooms:
            return   # the running mend re-checks both topics before it ends
        self._mending_rooms.add(room)
        try:
            async with self._room_lock(room):
                await self._mend_room(socket, room, None)
        finally:
            self._mending_rooms.discard(room)

    async def _mend_room(self, socket: PhoenixSocket, room: str, participants_reply: Reply | None) -> bool:
        """Called with the room's lock held; True once both topics are joined under a live ticket.
        A mend the connection cuts short needs no call: the room stays Subscribed, a rejoin
        candidate of the next connection under the same ticket."""
        topics = (core.chat_room_topic(room), core.room_participants_topic(room))
        mended = False
        while True:
            ticket = dict(self.subscriptions.room_rejoin_candidates()).get(room)
            if ticket is None:
                # Left or dropped meanwhile: whoever did that also leaves what is joined.
                return False
            lost = [topic for topic in topics if not socket.is_joined(topic)]
            if not lost:
                break
            for topic in lost:
                self.log(f"room {room}: joining {topic} again under ticket {ticket}")
                reply = await socket.join(topic)
                if not reply.ok:
                    await self._room_rejoin_failed(socket, room, ticket, reply)
                    return False
                if topic == topics[1]:
                    participants_reply = reply
            mended = True
        if mended:
            self.log(f"room {room}: rejoined under ticket {ticket}")
        if mended or participants_reply is not None or room not in self._ready_rooms:
            self._room_joined(room, participants_reply)
        return True

    async def _room_rejoin_failed(self, socket: PhoenixSocket, room: str, ticket: int, reply: Reply) -> None:
        failed = self.subscriptions.mark_room_rejoin_failed(room, ticket)
        self.log(f"room {room}: rejoin refused ({reply.reason}) -> rejoin_failed {failed}")
        if not failed:
            return
        # The platform does not let us into the room: it is not ours until it says otherwise
        # (room_added, or the room list at the next reconciliation).
        self.log(f"room {room}: record_room_removed -> {self.rooms.record_room_removed(room)}")
        self._drop_room_state(room)
        try:
            for topic in (core.chat_room_topic(room), core.room_participants_topic(room)):
                await socket.leave(topic)
        except ConnectionLost:
            # NeedsReconciliation until the next socket opens, which has nothing of the room
            # joined and settles it (_settle_unknown_transport_state).
            return
        self.log(f"room {room}: acknowledge_room_reconciled -> {self.subscriptions.acknowledge_room_reconciled(room)}")
        self._poke()

    def _room_joined(self, room: str, participants_reply: Reply | None) -> None:
        if participants_reply is not None:
            roster = self.rosters.setdefault(room, core.ParticipantRoster())
            listed = participants_reply.response.get("participants", [])
            try:
                roster.set_all(listed, trace_context=f"room:{room}")
            except (TypeError, ValueError) as exc:
                self.log(f"room {room}: participant snapshot refused: {exc}")
        self._ready_rooms.add(room)
        unparked = self.claims.unpark_acks(room)
        if unparked:
            self.log(f"room {room}: unpark_acks -> {unparked}")
        self._worker(room)
        self._poke()

    async def _unsubscribe(self, room: str, socket: PhoenixSocket | None) -> None:
        self._ready_rooms.discard(room)
        ticket = self.subscriptions.unsubscribe_room(room)
        if ticket is not None:
            await self._leave_room_topics(room, ticket, socket)

    async def _leave_room_topics(self, room: str, ticket: int, socket: PhoenixSocket | None) -> None:
        outcome = core.LeaveOutcome.Left
        async with self._room_lock(room):
            if socket is not None and not socket.closed:
                try:
                    for topic in (core.chat_room_topic(room), core.room_participants_topic(room)):
                        await socket.leave(topic)
                except ConnectionLost:
                    # Settled when the next socket opens, like any unknown transport state.
                    outcome = core.LeaveOutcome.Unknown
        done = self.subscriptions.mark_room_leave_complete(room, ticket, outcome)
        self._poke()
        self.log(f"room {room}: left under ticket {ticket} with {outcome!r} -> {done}; "
                 f"status {self.subscriptions.room_status(room)}")

    def _drop_room_state(self, room: str) -> None:
        self._ready_rooms.discard(room)
        self.claims.discard_completed(room)
        self.rosters.pop(room, None)

    # -- channel faults --------------------------------------------------------------------
    def _on_channel_lost(self, topic: str, event: str) -> None:
        """A channel crashed (phx_error) or the server closed it (phx_close) while the
        socket stayed up: what the tracker holds as joined is joined again."""
        socket = self._socket
        kind, _, room = topic.partition(":")
        self.log(f"{event} on {topic}: channel lost, rejoining what the tracker holds")
        if socket is None or socket.closed:
            return
        if kind in ("chat_room", "room_participants"):
            # Writes for the room wait until both topics are back.
            self._ready_rooms.discard(room)
            self._spawn(self._guarded(self._recover_room(socket, room)), socket)
        else:
            self._spawn(self._guarded(self._recover_agent_topic(socket, topic)), socket)
        self._poke()

    def participants_of(self, room: str) -> list[dict[str, Any]]:
        roster = self.rosters.get(room)
        return [dict(p) for p in roster.list()] if roster is not None else []

    # -- inbound events ------------------------------------------------------------------
    def _on_push(self, topic: str, event: str, payload: Any) -> None:
        kind, _, key = topic.partition(":")
        try:
            normalized = core.validate_event_payload(event, payload, trace_context=topic)
        except ValueError as exc:
            self.log(f"{event} on {topic} refused: {exc}")
            return
        room = key if kind in ("chat_room", "room_participants") else None
        try:
            decision = core.evaluate_delivery_event(event, room, payload, self.agent_id, trace_context=topic)
        except ValueError as exc:
            self.log(f"{event} on {topic} not routable: {exc}")
            return
        verdict = decision["decision"]
        if verdict == "invocation":
            self._on_invocation(decision["room_id"], decision["message_id"], normalized)
        elif verdict == "skip_self":
            self.log(f"{decision['message_id']} in {decision['room_id']}: skip_self (our own message)")
        elif verdict == "cleanup":
            self.log(f"{event} for {decision['room_id']}: cleanup")
            self._on_room_gone(decision["room_id"])
        elif event == "room_added":
            self.log(f"room_added {normalized['id']}: {verdict} by routing; admitting it")
            ticket = self.rooms.begin_room_admission(normalized["id"], True)
            socket = self._socket
            if ticket is not None and socket is not None:
                self._spawn(self._guarded(self._admit(socket, normalized["id"], ticket)), socket)
        elif event == "participant_added" and room is not None:
            added = self.rosters.setdefault(room, core.ParticipantRoster()).add(normalized)
            self.log(f"participant {normalized['id']} in {room}: added -> {added}")
        elif event == "participant_removed" and room is not None:
            removed = self.rosters.setdefault(room, core.ParticipantRoster()).remove(normalized["id"])
            self.log(f"participant {normalized['id']} in {room}: removed -> {removed}")
        elif event == "supersede":
            self._on_supersede(normalized)
        else:
            self.log(f"{event} on {topic}: {verdict}")

    async def _guarded(self, coro: Awaitable[Any]) -> None:
        try:
            await coro
        except ConnectionLost:
            pass

    def _on_supersede(self, notice: dict[str, Any]) -> None:
        retry_after = notice.get("retry_after")
        outcome = self.session.on_supersede(self.now(), notice["retryable"],
                                            float(retry_after) if isinstance(retry_after, int) and retry_after >= 0 else None,
                                            self._rng.random())
        self._outcome("supersede", outcome)
        if outcome.stale_reason is None:
            self._supersede = outcome
            socket = self._socket
            if socket is not None:
                self._spawn(socket.close(1000))

    def _on_room_gone(self, room: str) -> None:
        # Everything is decided at once, in the order the platform's events came;
        # only the leave itself waits for the transport.
        removed = self.rooms.record_room_removed(room)
        self.log(f"room {room}: record_room_removed -> {removed}")
        self._drop_room_state(room)
        ticket = self.subscriptions.unsubscribe_room(room)
        if ticket is not None:
            self._spawn(self._leave_room_topics(room, ticket, self._socket), self._socket)

    def _on_invocation(self, room: str, message_id: str, message: dict[str, Any]) -> None:
        held = message.get("agent_status")
        word = self.claims.guarded_claim(room, message_id, self.retries,
                                         durably_processed=held == "processed",
                                         durably_failed=held == "failed",
                                         allow_failed_retry=False)
        self.log(f"{message_id} in {room}: eligibility {word}")
        if word == "runnable":
            self._payloads[message_id] = message
            self._worker(room)
            self._queues[room].put_nowait(QueuedMessage(message_id, message))
        elif word == "exhausted":
            self._spawn(self._settle_exhausted(room, message_id))

    # -- delivery --------------------------------------------------------------------------
    def _worker(self, room: str) -> None:
        if room not in self._queues:
            self._queues[room] = asyncio.Queue()
        task = self._workers.get(room)
        if task is None or task.done():
            self._workers[room] = asyncio.ensure_future(self._room_worker(room))

    async def _room_worker(self, room: str) -> None:
        queue = self._queues[room]
        while True:
            item = await queue.get()
            await self._handle(room, item)

    async def _handle(self, room: str, item: QueuedMessage) -> None:
        message_id = item.message_id
        attempt, exhausted = self.retries.record_attempt(message_id)
        self.log(f"{message_id}: attempt {attempt} (exhausted={exhausted})")
        if exhausted:
            settlement = self.claims.record_failed_settlement(
                room, message_id, "retry budget exhausted", self.retries, False)
            self.log(f"{message_id}: settlement {settlement}")
            await self._write(room, message_id)
            return
        try:
            await self.push_reliably(room, "turn_started", {"message_id": message_id, "attempt": attempt})
            succeeded, error = await self._run_turn(room, item, attempt)
            retry = True
        except WriteRefused as exc:
            # A write of this turn can never succeed, so neither can another attempt: the
            # message is settled as failed, and the messages behind it in the room go on.
            self.log(f"{message_id}: {exc}; settling it as failed")
            succeeded, error, retry = False, str(exc), False
        decision = core.evaluate_adapter_result(room, message_id, succeeded)
        if decision["decision"] == "processed":
            settlement = self.claims.record_processed_settlement(room, message_id)
        else:
            settlement = self.claims.record_failed_settlement(
                room, message_id, error or "failed", self.retries, retry)
        self.log(f"{message_id}: adapter {decision['decision']} -> settlement token {settlement['token']} "
                 f"continuation {settlement['continuation']}")
        await self._write(room, message_id)

    async def _run_turn(self, room: str, item: QueuedMessage, attempt: int) -> tuple[bool, str | None]:
        ledger = core.TurnLedger()
        tools = Tools(self, room, item.message_id, attempt, ledger)
        roster = self.rosters.get(room)
        if roster is not None and roster.changed():
            # The agent is told about the participants whenever they changed.
            self.log(f"{item.message_id}: participants changed, {len(roster.list())} sent with the turn")
            roster.mark_sent()
        self.handled[item.message_id] += 1
        try:
            await self.agent(item.payload, tools)
        except AgentError as exc:
            failure = core.AgentFailure(type(self.agent).__name__, str(exc), code="agent_error")
            self._failures[item.message_id] = failure
            self.log(f"{item.message_id}: agent failed: {failure.to_dict()}")
            return False, failure.message
        verdict = ledger.verdict()
        self.log(f"{item.message_id}: turn verdict {verdict!r}, reply_settled={ledger.reply_settled()}")
        if verdict is core.TurnVerdict.MissingReply:
            await tools.post(core.missing_reply_message())
        return True, None

    async def _write(self, room: str, message_id: str) -> None:
        """Performs the owed terminal write until the platform accepts it.

        A write lost with its connection keeps its claim and its pending settlement, and is sent
        again under the same token once the room is rejoined on the next one: the platform
        takes a token it has seen as a duplicate, so the write counts once either way."""
        brief = False   # once the write was too big: without the failure's detail
        while not self._dead():
            settlement = self.claims.pending_settlement(room, message_id)
            if settlement is None:
                return
            if settlement["parked"] is not None:
                await self._until(lambda: self._unparked(room, message_id))
                continue
            retry = settlement["continuation"]["kind"] == "retry"
            event = "mark_processed" if settlement["status"] == "processed" else "mark_failed"
            body: dict[str, Any] = {"message_id": message_id, "token": settlement["token"], "retry": retry}
            if settlement["status"] == "failed":
                error = settlement.get("error") or "failed"
                body["error"] = error[:MAX_BRIEF_ERROR] if brief else error
                failure = self._failures.get(message_id)
                if failure is not None and not brief:
                    body["extension_data"] = failure.to_extension_data()
            reply = await self._room_request(room, event, body)
            if reply is None:
                continue
            if reply.reason == MESSAGE_TOO_BIG and not brief:
                # The agent's own failure text can be too long for the platform's frames.
                self.log(f"{message_id}: {event} too big for the platform; sent again without the detail")
                brief = True
                continue
            if reply.ok:
                closed = self.claims.confirm_settlement(room, message_id, settlement["token"], self.retries)
                self.claims.release(room, message_id)
                self.log(f"{message_id}: {event} accepted, confirm_settlement -> {closed}"
                         f"{' (retry follows)' if retry else ''}")
                if retry:
                    self._requeue(room, message_id)
                else:
                    self._payloads.pop(message_id, None)
                self._failures.pop(message_id, None)
                return
            # "unmatched topic": the channel went away under the write; it is sent
            # again once the room is rejoined.
            reason = core.ParkedReason.NotFound if reply.reason in ("not_found", UNMATCHED_TOPIC) \
                else core.ParkedReason.Rejected
            parked = self.claims.park_settlement(room, message_id, settlement["token"], reason)
            count = self.claims.record_ack_retry(room, message_id)
            self.log(f"{message_id}: {event} refused ({reply.reason}), parked {reason!r} -> {parked} "
                     f"(ack retry {count})")
            if reason is core.ParkedReason.Rejected:
                self._spawn(self._unpark_later(room))
            elif self._room_ready(room):
                # The room came back before this refusal was read: nothing else will unpark it.
                self.log(f"room {room}: unpark_acks -> {self.claims.unpark_acks(room)}")

    def _unparked(self, room: str, message_id: str) -> bool:
        settlement = self.claims.pending_settlement(room, message_id)
        return settlement is None or settlement["parked"] is None

    async def _unpark_later(self, room: str) -> None:
        await self.sleep(self.write_retry_s)
        count = self.claims.unpark_acks(room)
        self.log(f"room {room}: unpark_acks -> {count}")
        await self._changed_now()

    def _requeue(self, room: str, message_id: str) -> None:
        item = self._payloads.get(message_id)
        word = self.claims.guarded_claim(room, message_id, self.retries)
        self.log(f"{message_id}: retry within budget, eligibility {word}")
        if word == "runnable" and item is not None:
            self._queues[room].put_nowait(QueuedMessage(message_id, item))

    async def _settle_exhausted(self, room: str, message_id: str) -> None:
        if not self.claims.try_claim(room, message_id):
            return
        settlement = self.claims.record_failed_settlement(
            room, message_id, "retry budget exhausted", self.retries, False)
        self.log(f"{message_id}: budget exhausted, settlement token {settlement['token']}")
        await self._write(room, message_id)

    async def _room_request(self, room: str, event: str, body: dict[str, Any]) -> Reply | None:
        """One request on the room's topic once the room is ready; None when there is no live
        connection or it was lost before the reply (the caller tries again). A connection the
        platform closed because this request's frame was too big is a refusal, MESSAGE_TOO_BIG."""
        await self._until(lambda: self._room_ready(room))
        socket = self._socket
        if socket is None or self._dead():
            return None
        try:
            return await socket.request(core.chat_room_topic(room), event, body)
        except ConnectionLost as lost:
            await self._until(lambda: self._socket is not socket)
            return Reply("error", {"reason": MESSAGE_TOO_BIG}) if lost.too_big else None

    async def push_reliably(self, room: str, event: str, body: dict[str, Any]) -> dict[str, Any]:
        """Sends a room push until the platform accepts it (idempotent pushes only).

        A push that met a channel gone away ("unmatched topic") or a lost connection is sent
        again once the room is back, as often as that takes. Any other refusal (the frame too
        big, a payload the platform will not take) retrying cannot cure: after
        `max_write_refusals` of them the push raises `WriteRefused` instead of blocking its room."""
        refusals = 0
        while True:
            reply = await self._room_request(room, event, body)
            if reply is None:
                if self._dead():
                    raise ConnectionLost()
                continue
            if reply.ok:
                return reply.response
            if reply.reason != UNMATCHED_TOPIC:
                refusals += 1
                if refusals >= self.max_write_refusals:
                    self.log(f"{event} in {room} refused {refusals} times ({reply.reason}); giving up")
                    raise WriteRefused(event, reply.reason)
            self.log(f"{event} in {room} refused ({reply.reason}); retrying")
            await self.sleep(self.write_retry_s)


def agent_topic(kind: core.AgentTopicKind, agent_id: str) -> str:
    """The topic of one of the agent's own channels."""
    return kind.topic(agent_id)


def _room_list(reply: Reply) -> list[str]:
    """The room ids in an `agent_rooms` join reply."""
    listed = reply.response.get("rooms")
    return [room for room in listed if isinstance(room, str)] if isinstance(listed, list) else []


def _retry_after(value: str | None) -> float | None:
    if value is None:
        return None
    try:
        seconds = float(value)
    except ValueError:
        return None
    return seconds if seconds >= 0 else None

"""The session and membership driver: connects, reconnects as the `Session` decides, and keeps
the agent's topics and rooms joined as the `SubscriptionTracker` and `RoomRoster` say.

After every connect, in this order: the agent topics are joined (rejoined under their kept
tickets after a reconnect), the `RoomRoster` is reconciled against the room list of the
`agent_rooms` join reply, the rooms are rejoined (under their kept tickets) or subscribed and
admitted, and as each room is ready its owed terminal writes are sent again. Everything begun
on a connection (a join, an admission, a leave) is settled when that connection ends, before
the next one begins, so that the next connection starts from a state the module acts on.
"""

from __future__ import annotations

import asyncio
import email.utils
import logging
import ssl as ssl_module
import time
from collections.abc import Awaitable, Callable, Mapping
from typing import Any, cast

import orvu_sdk_core as core
from websockets.asyncio.client import ClientConnection
from websockets.exceptions import InvalidHandshake, InvalidStatus, InvalidURI

from ._logs import add_secret, redact
from ._runtime import Runtime
from .delivery import DeliveryDriver
from .phoenix import ConnectionLost, FrameLimit, Params, PhoenixSocket, Reply, connect, frame_version, resolve_params

AGENT_TOPIC_KINDS = (core.AgentTopicKind.Control, core.AgentTopicKind.Rooms, core.AgentTopicKind.Contacts)
# A room whose state is in flight or unknown is settled by whoever holds it.
_BUSY = (core.RoomStatus.Pending, core.RoomStatus.Leaving, core.RoomStatus.NeedsReconciliation)


def retry_after_seconds(value: str | None, now: float | None = None) -> float | None:
    """A Retry-After header in seconds: delay-seconds, or an HTTP-date (the seconds until it,
    0 when it is past). None for no header or one that is neither."""
    if value is None:
        return None
    text = value.strip()
    if text.isdigit():
        return float(text)
    try:
        when = email.utils.parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError):
        return None
    if when.tzinfo is None:
        return None
    current = time.time() if now is None else now
    return max(0.0, when.timestamp() - current)


def room_list(reply: Reply) -> list[str] | None:
    """The room ids of an `agent_rooms` join reply, or None when it holds no list."""
    listed: object = reply.response.get("rooms")
    if not isinstance(listed, list):
        return None
    return [room for room in cast(list[object], listed) if isinstance(room, str)]


class SessionDriver:
    def __init__(self, runtime: Runtime, delivery: DeliveryDriver, *, url: str, params: Params | None,
                 headers: Mapping[str, str] | None, ssl: ssl_module.SSLContext | None,
                 on_push: Callable[[str, str, Any], None], connect_timeout_s: float = 10.0) -> None:
        self.rt = runtime
        self.delivery = delivery
        self.url = url
        self._params = params
        self._headers = headers
        self._ssl = ssl
        self._on_push = on_push
        self._connect_timeout_s = connect_timeout_s
        self.subscriptions = core.SubscriptionTracker()
        self.rooms = core.RoomRoster()
        self.frame_limit = FrameLimit()
        self.outcomes: list[tuple[str, core.SessionOutcome]] = []
        self.joined_at_close: list[str] = []
        self.view_at_end: dict[str, list[str]] | None = None
        self.stopping = False
        self._seen_rooms: set[str] = set()
        self._room_locks: dict[str, asyncio.Lock] = {}
        self._mending_rooms: set[str] = set()
        self._mending_topics: set[str] = set()
        self._supersede: core.SessionOutcome | None = None
        self._connected_once = False
        self._backoff: asyncio.Task[None] | None = None
        self._connecting: asyncio.Task[Any] | None = None

    def agent_topic(self, kind: core.AgentTopicKind) -> str:
        return kind.topic(self.rt.agent_id)

    def _outcome(self, what: str, outcome: core.SessionOutcome) -> core.SessionOutcome:
        self.outcomes.append((what, outcome))
        if outcome.state is core.SessionState.Dead and self.view_at_end is None:
            # What the host held when the session ended, before anything is torn down.
            self.view_at_end = self._view()
        self.rt.log("session.outcome", logging.INFO, report=what, state=str(outcome.state),
                    retry_after_s=outcome.retry_after_s, dead_reason=outcome.dead_reason,
                    stale=outcome.stale_reason)
        return outcome

    def _view(self) -> dict[str, list[str]]:
        return {"rooms": self.subscriptions.subscribed_room_ids(),
                "agent_topics": self.subscriptions.joined_agent_topics()}

    # -- the session loop -----------------------------------------------------------------
    async def run(self) -> core.SessionState:
        """Connects, reconnects as the session decides, and returns once it is dead."""
        while not self.stopping:
            epoch = self.rt.session.begin_attempt(self.rt.now())
            if epoch is None:
                break
            outcome = await self._attempt(epoch)
            if outcome.state is core.SessionState.Dead or self.stopping:
                break
            delay = outcome.retry_after_s or 0.0
            self.rt.log("session.backoff", logging.INFO, delay_s=round(delay, 3))
            self._backoff = asyncio.ensure_future(self.rt.sleep(delay))
            try:
                await self._backoff
            except asyncio.CancelledError:
                if not self.stopping:
                    raise
            finally:
                self._backoff = None
        return self.rt.session.state

    async def _attempt(self, epoch: int) -> core.SessionOutcome:
        rt = self.rt
        try:
            params = await resolve_params(self._params)
            for value in params.values():
                add_secret(value)
            self._connecting = asyncio.ensure_future(
                connect(self.url, params=params, headers=self._headers, ssl=self._ssl,
                        open_timeout=self._connect_timeout_s))
            ws = await self._connecting
        except InvalidStatus as exc:
            status = exc.response.status_code
            retry_after = retry_after_seconds(exc.response.headers.get("Retry-After"))
            rt.log("connect.refused", logging.WARNING, status=status, retry_after_s=retry_after)
            return self._outcome("upgrade_rejected", rt.session.on_upgrade_rejected(
                epoch, rt.now(), status, retry_after, rt.rng.random()))
        except asyncio.CancelledError:
            if not self.stopping:
                raise
            return self._outcome("socket_close", rt.session.on_socket_close(epoch, rt.now(), None, rt.rng.random()))
        except (OSError, InvalidHandshake, InvalidURI, TimeoutError, asyncio.TimeoutError) as exc:
            rt.log("connect.failed", logging.WARNING, error=redact(f"{type(exc).__name__}: {exc}")[:300])
            return self._outcome("socket_close", rt.session.on_socket_close(epoch, rt.now(), None, rt.rng.random()))
        finally:
            self._connecting = None
        outcome = self._outcome("connected", rt.session.on_connected(epoch, rt.now()))
        if outcome.state is not core.SessionState.Up or self.stopping:
            await ws.close(1000)
            return outcome
        return await self._run_connection(ws, epoch)

    async def _run_connection(self, ws: ClientConnection, epoch: int) -> core.SessionOutcome:
        rt = self.rt
        policy = rt.policy
        socket = PhoenixSocket(ws, on_push=self._on_push, on_channel_lost=self._on_channel_lost,
                               reply_timeout_s=max(1.0, rt.real(policy.dead_threshold_s)),
                               heartbeat_interval_s=rt.real(policy.heartbeat_interval_s),
                               dead_threshold_s=rt.real(policy.dead_threshold_s),
                               frame_limit=self.frame_limit, version=frame_version(ws.request.path
                                                                                   if ws.request else self.url))
        rt.socket = socket
        self._supersede = None
        reconnect = self._connected_once
        rt.fire("on_connected")
        if reconnect:
            rt.count("reconnects")
            rt.fire("on_reconnected")
        reader = asyncio.ensure_future(socket.run())
        setup = asyncio.ensure_future(self._set_up(socket))
        code = await reader
        self.joined_at_close = sorted(socket.joined_at_close)
        rt.socket = None
        rt.ready_rooms.clear()
        await rt.changed_now()
        # Set-up and every join, rejoin, admission and leave begun on this connection fail fast
        # on a closed socket and settle the tickets they hold as they end. Waiting for them here
        # means the next connection starts from settled state.
        await asyncio.gather(setup, return_exceptions=True)
        while pending := [task for task in socket.tasks if not task.done()]:
            await asyncio.wait(pending)
        supersede = self._supersede
        close = self._outcome("socket_close", rt.session.on_socket_close(epoch, rt.now(), code, rt.rng.random()))
        rt.fire("on_disconnected", code)
        return supersede if supersede is not None else close

    # -- set-up after a connect -----------------------------------------------------------
    async def _set_up(self, socket: PhoenixSocket) -> None:
        try:
            if self._connected_once:
                self.subscriptions.on_reconnected()
            self._connected_once = True
            self._settle_unknown_transport_state()
            rooms = await self._join_agent_topics(socket)
            if rooms is None:
                # Without the room list the host cannot know its rooms: try another connection.
                self.rt.log("setup.no_room_list", logging.WARNING)
                socket.declare_dead()
                return
            await self._apply_room_snapshot(socket, rooms)
        except ConnectionLost:
            pass
        except Exception as exc:
            self.rt.error(exc, "connection set-up")
            socket.declare_dead()

    async def _apply_room_snapshot(self, socket: PhoenixSocket, rooms: list[str]) -> None:
        """Reconciles the roster against the platform's room list and joins accordingly."""
        reconciliation = self.rooms.reconcile(rooms)
        self.rt.log("rooms.reconciled", logging.INFO, removed=reconciliation.removed,
                    resync=reconciliation.resync, admitting=[r for r, _ in reconciliation.admitting])
        # Every room listed here is Admitting from now on, and `reconcile` leaves Admitting rooms
        # alone on every later reconnect: each admission must be settled, whatever happens below.
        unsettled = list(reconciliation.admitting)
        try:
            for room in reconciliation.removed:
                self.on_room_gone(room)
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
            # the room is only Unadmitted again, and the next room list offers it again.
            for room, ticket in unsettled:
                self.rooms.record_room_admission(room, ticket, False)

    def _settle_unknown_transport_state(self) -> None:
        """A fresh socket has nothing joined: whatever needed reconciliation is now absent."""
        for room in sorted(self._seen_rooms):
            if self.subscriptions.room_status(room) is core.RoomStatus.NeedsReconciliation:
                self.subscriptions.acknowledge_room_reconciled(room)
        for kind in AGENT_TOPIC_KINDS:
            topic = self.agent_topic(kind)
            if self.subscriptions.agent_topic_status(topic) is core.AgentTopicStatus.NeedsReconciliation:
                self.subscriptions.acknowledge_agent_topic_reconciled(topic)

    async def _join_agent_topics(self, socket: PhoenixSocket) -> list[str] | None:
        rooms: list[str] | None = None
        candidates = dict(self.subscriptions.agent_topic_rejoin_candidates())
        for kind in AGENT_TOPIC_KINDS:
            topic = self.agent_topic(kind)
            reply: Reply | None
            if topic in candidates:
                reply = await self._rejoin_agent_topic(socket, topic, candidates[topic])
            else:
                reply = await self._join_agent_topic(socket, topic)
            if kind is core.AgentTopicKind.Rooms and reply is not None and reply.ok:
                rooms = room_list(reply)
        return rooms

    async def _join_agent_topic(self, socket: PhoenixSocket, topic: str) -> Reply | None:
        ticket = self.subscriptions.begin_agent_topic_join(topic)
        if ticket is None:
            return None
        try:
            reply = await socket.join(topic)
        except (ConnectionLost, asyncio.CancelledError):
            # Whether the platform joined it is unknown, and the socket is gone with whatever it
            # joined: the next connection settles it to Absent before joining afresh.
            self.subscriptions.record_agent_topic_join_ambiguous(topic, ticket)
            raise
        joined = self.subscriptions.record_agent_topic_join(topic, ticket, reply.ok)
        self.rt.log("topic.joined", topic=topic, ok=reply.ok)
        if joined and not socket.is_joined(topic):
            # Lost again before the join was recorded: mend it like any lost channel.
            self.rt.spawn(self._guarded(self._recover_agent_topic(socket, topic)), socket)
        return reply

    async def _rejoin_agent_topic(self, socket: PhoenixSocket, topic: str, ticket: int) -> Reply:
        """Joins a topic the tracker holds as joined again, under its kept ticket."""
        reply = await socket.join(topic)
        if reply.ok:
            return reply
        self.subscriptions.mark_agent_topic_rejoin_failed(topic, ticket)
        # Nothing of the topic is joined after a refused join: the state is known again.
        self.subscriptions.acknowledge_agent_topic_reconciled(topic)
        self.rt.log("topic.rejoin_refused", logging.WARNING, topic=topic, reason=reply.reason)
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
                if topic == self.agent_topic(core.AgentTopicKind.Rooms):
                    # Room events pushed while the channel was down are lost: the list in the
                    # join reply is the truth to reconcile against.
                    await self._apply_room_snapshot(socket, room_list(reply) or [])
        finally:
            self._mending_topics.discard(topic)

    async def _guarded(self, coro: Awaitable[Any]) -> None:
        try:
            await coro
        except ConnectionLost:
            pass

    # -- rooms ----------------------------------------------------------------------------
    def admit(self, room: str) -> None:
        """The platform added the agent to `room`."""
        ticket = self.rooms.begin_room_admission(room, True)
        socket = self.rt.socket
        if ticket is not None and socket is not None:
            self.rt.spawn(self._guarded(self._admit(socket, room, ticket)), socket)

    async def _admit(self, socket: PhoenixSocket, room: str, ticket: int) -> None:
        """Joins a room under an admission ticket, and settles the ticket however that ends."""
        try:
            subscribed = await self._subscribe(socket, room)
        except BaseException:
            self.rooms.record_room_admission(room, ticket, False)
            raise
        admitted = self.rooms.record_room_admission(room, ticket, subscribed)
        if subscribed and not admitted and self.rooms.room_membership(room) is core.RoomMembership.Unadmitted:
            # The room went away while it was being joined (and no later admission holds it).
            await self._unsubscribe(room, socket)

    def _room_lock(self, room: str) -> asyncio.Lock:
        """Joins and leaves of one room's topics run one at a time."""
        return self._room_locks.setdefault(room, asyncio.Lock())

    async def _subscribe(self, socket: PhoenixSocket, room: str) -> bool:
        while True:
            ticket = self.subscriptions.begin_room_subscribe(room)
            if ticket is not None:
                break
            status = self.subscriptions.room_status(room)
            if status is core.RoomStatus.Subscribed:
                # Subscribed already, perhaps on an earlier connection: make sure both topics are
                # joined on this one.
                async with self._room_lock(room):
                    return await self._mend_room(socket, room, None)
            if status not in _BUSY:
                return False
            await self.rt.until(lambda: socket.closed or self.subscriptions.room_status(room) not in _BUSY)
            if socket.closed:
                raise ConnectionLost()
        self._seen_rooms.add(room)
        chat, people = core.chat_room_topic(room), core.room_participants_topic(room)
        async with self._room_lock(room):
            try:
                self.delivery.chat_joining(room)
                first = await socket.join(chat)
            except (ConnectionLost, asyncio.CancelledError):
                # Whatever the platform joined went with the socket, so Absent is the truth.
                self.subscriptions.record_chat_room_join_failed(room, ticket)
                raise
            if not first.ok:
                self.subscriptions.record_chat_room_join_failed(room, ticket)
                self.rt.log("room.join_refused", logging.WARNING, room=room, reason=first.reason)
                return False
            try:
                second = await socket.join(people)
                left = True if second.ok else (await socket.leave(chat)).ok
            except (ConnectionLost, asyncio.CancelledError):
                # The socket is gone, and the chat topic with it: the rollback is done.
                self.subscriptions.record_room_participants_join_failed(room, ticket, True)
                raise
            if not second.ok:
                self.subscriptions.record_room_participants_join_failed(room, ticket, left)
                self.rt.log("room.join_refused", logging.WARNING, room=room, reason=second.reason)
                return False
            result = self.subscriptions.record_both_room_topics_joined(room, ticket)
            if result is not core.RoomSubscribeResult.Subscribed:
                return False
            return await self._mend_room(socket, room, second)

    async def _recover_room(self, socket: PhoenixSocket, room: str) -> None:
        """Rejoins the topics of a subscribed room that this socket lacks, under the ticket the
        tracker kept at subscription."""
        if room in self._mending_rooms:
            return   # the running mend re-checks both topics before it ends
        self._mending_rooms.add(room)
        try:
            async with self._room_lock(room):
                await self._mend_room(socket, room, None)
        finally:
            self._mending_rooms.discard(room)

    async def _mend_room(self, socket: PhoenixSocket, room: str, participants_reply: Reply | None) -> bool:
        """Called with the room's lock held; True once both topics are joined under a live ticket."""
        topics = (core.chat_room_topic(room), core.room_participants_topic(room))
        mended = False
        while True:
            ticket = dict(self.subscriptions.room_rejoin_candidates()).get(room)
            if ticket is None:
                return False   # left or dropped meanwhile: whoever did that leaves what is joined
            lost = [topic for topic in topics if not socket.is_joined(topic)]
            if not lost:
                break
            for topic in lost:
                if topic == topics[0]:
                    self.delivery.chat_joining(room)
                reply = await socket.join(topic)
                if not reply.ok:
                    await self._room_rejoin_failed(socket, room, ticket, reply)
                    return False
                if topic == topics[1]:
                    participants_reply = reply
            mended = True
        if mended or participants_reply is not None or room not in self.rt.ready_rooms:
            self._room_joined(room, participants_reply, rejoined=mended)
        return True

    async def _room_rejoin_failed(self, socket: PhoenixSocket, room: str, ticket: int, reply: Reply) -> None:
        failed = self.subscriptions.mark_room_rejoin_failed(room, ticket)
        self.rt.log("room.rejoin_refused", logging.WARNING, room=room, reason=reply.reason)
        if not failed:
            return
        # The platform does not let the agent into the room: it is not the agent's until the
        # platform offers it again.
        self.rooms.record_room_removed(room)
        self._drop_room_state(room)
        try:
            for topic in (core.chat_room_topic(room), core.room_participants_topic(room)):
                await socket.leave(topic)
        except ConnectionLost:
            return   # settled when the next socket opens
        self.subscriptions.acknowledge_room_reconciled(room)
        self.rt.poke()

    def _room_joined(self, room: str, participants_reply: Reply | None, rejoined: bool) -> None:
        if participants_reply is not None:
            roster = self.rt.rosters.setdefault(room, core.ParticipantRoster())
            listed = participants_reply.response.get("participants", [])
            try:
                roster.set_all(listed, trace_context=f"room:{room}")
                self.rt.fire("on_participants", room, self.delivery.participants_of(room))
            except (TypeError, ValueError) as exc:
                self.rt.log("participants.refused", logging.WARNING, room=room, error=str(exc)[:200])
        self.rt.ready_rooms.add(room)
        self.rt.log("room.ready", logging.INFO, room=room)
        if rejoined:
            self.rt.fire("on_room_rejoined", room)
        self.delivery.room_ready(room)
        self.rt.poke()

    def resync_room(self, room: str) -> None:
        """Leaves the room's chat channel and joins it again, so that the platform pushes the
        room's open messages again (after the room's queue overflowed)."""
        socket = self.rt.socket
        if socket is not None and not socket.closed:
            self.rt.spawn(self._guarded(self._resync(socket, room)), socket)

    async def _resync(self, socket: PhoenixSocket, room: str) -> None:
        async with self._room_lock(room):
            if dict(self.subscriptions.room_rejoin_candidates()).get(room) is None:
                return
            self.rt.ready_rooms.discard(room)
            await socket.leave(core.chat_room_topic(room))
            await self._mend_room(socket, room, None)

    def on_room_gone(self, room: str) -> None:
        """The platform removed the agent from `room` (or deleted it)."""
        self.rooms.record_room_removed(room)
        self._drop_room_state(room)
        ticket = self.subscriptions.unsubscribe_room(room)
        if ticket is not None:
            self.rt.spawn(self._leave_room_topics(room, ticket, self.rt.socket), self.rt.socket)
        self.rt.fire("on_room_removed", room)

    async def _unsubscribe(self, room: str, socket: PhoenixSocket | None) -> None:
        self.rt.ready_rooms.discard(room)
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
                    outcome = core.LeaveOutcome.Unknown   # settled when the next socket opens
        self.subscriptions.mark_room_leave_complete(room, ticket, outcome)
        self.rt.poke()

    def _drop_room_state(self, room: str) -> None:
        self.rt.ready_rooms.discard(room)
        self.delivery.room_gone(room)
        self.rt.rosters.pop(room, None)

    # -- channel faults -------------------------------------------------------------------
    def _on_channel_lost(self, topic: str, event: str) -> None:
        """A channel crashed or was closed while the socket stayed up: what the tracker holds as
        joined is joined again."""
        socket = self.rt.socket
        kind, _, room = topic.partition(":")
        self.rt.log("channel.lost", logging.INFO, topic=topic, reason=event)
        if socket is None or socket.closed:
            return
        if kind in ("chat_room", "room_participants"):
            self.rt.ready_rooms.discard(room)   # writes for the room wait until both topics are back
            self.rt.spawn(self._guarded(self._recover_room(socket, room)), socket)
        else:
            self.rt.spawn(self._guarded(self._recover_agent_topic(socket, topic)), socket)
        self.rt.poke()

    # -- supersede ------------------------------------------------------------------------
    def on_supersede(self, notice: dict[str, Any]) -> None:
        retry_after = notice.get("retry_after")
        seconds = float(retry_after) if isinstance(retry_after, int) and retry_after >= 0 else None
        outcome = self._outcome("supersede", self.rt.session.on_supersede(
            self.rt.now(), notice["retryable"], seconds, self.rt.rng.random()))
        if outcome.stale_reason is None:
            self._supersede = outcome
            socket = self.rt.socket
            if socket is not None:
                self.rt.spawn(socket.close(1000))

    # -- ending ---------------------------------------------------------------------------
    async def leave_everything(self) -> None:
        """Leaves every room and agent topic on the live connection (a graceful stop)."""
        socket = self.rt.socket
        if socket is None or socket.closed:
            return
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
            self.subscriptions.mark_agent_topic_leave_complete(topic, ticket, outcome)

    def interrupt_waits(self) -> None:
        """Cuts a backoff or a connect attempt short (the host is stopping)."""
        for task in (self._backoff, self._connecting):
            if task is not None and not task.done():
                task.cancel()

    def finish(self) -> None:
        if self.view_at_end is None:
            self.view_at_end = self._view()
        self.subscriptions.end_session()

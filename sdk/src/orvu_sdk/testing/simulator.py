"""A local chat-platform simulator speaking Phoenix Channels JSON frames.

It serves one agent over a real WebSocket on 127.0.0.1 and behaves like a
durable platform: every user message stays open until the agent's terminal
write ("processed" or "failed") is accepted, and every open message of a room
is delivered again whenever the agent joins that room's channel. Faults can be
injected on command (the methods under "Faults") or at random from a seed
(`inject_random_fault`).

The simulator keeps its own records (`PlatformSimulator.records`) of every
hand-off to the agent, every write and every fault, so that a test can judge
the host from the platform's side only.

It speaks the protocol as a Phoenix Channels server with the default
serializers does where it matters to a client: a `vsn` of 2.0.x gets frames
`[join_ref, ref, topic, event, payload]` (or the binary push encoding), a `vsn`
of 1.0.x (or none) gets objects `{"topic", "event", "payload", "ref"}` (a
client's may carry a "join_ref" too), any other `vsn` is refused at the upgrade.
Replies are `phx_reply`, a channel that dies sends `phx_error`, one the server
closes (after a leave, a second join, a removal from the room, or on command)
sends `phx_close`, and a topic without a channel is answered "unmatched topic".
A second socket of the agent supersedes the first: a final supersede notice,
then a close with 1000. What it refuses or ignores is counted in
`records.protocol` and described in `records.refusals`. Topics served:

    agent_rooms:<agent>        join reply {"rooms": [...]}; pushes room_added,
                               room_removed
    agent_control:<agent>      pushes supersede
    agent_contacts:<agent>     nothing is pushed in this simulation
    chat_room:<room>           pushes message_created; accepts turn_started,
                               send_message, mark_processed, mark_failed
    room_participants:<room>   join reply {"participants": [...]}; pushes
                               participant_added, participant_removed
    phoenix                    heartbeat
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import functools
import http
import itertools
import json
import math
import random
import re
import time
import urllib.parse
from typing import Any, Callable, Concatenate, Coroutine, Iterable, ParamSpec, TypeVar

from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed
from websockets.protocol import State

# Faults after which the agent is expected to carry on.
RETRYABLE_FAULTS = (
    "drop",              # the socket disappears without a close frame (1006)
    "refuse_503",        # drop, then refuse the next upgrade with 503 and a Retry-After
    "refuse_429",        # drop, then refuse the next upgrade with 429
    "supersede",         # a retryable supersede notice, then the socket closes
    "duplicate_event",   # the next message is pushed twice
    "reorder_replies",   # the next few replies are sent in reverse order
    "remove_from_room",  # the agent leaves a room's membership (re-added later)
    "refuse_writes",     # terminal writes are refused for a while
    "crash_channel",     # one joined channel dies (phx_error); the socket stays up
    "close_channel",     # the server closes one joined channel (phx_close)
)
# Faults that end the agent's session.
TERMINAL_FAULTS = ("close_1000", "refuse_403", "supersede_final")
# Faults that nothing on the wire announces: the agent must notice them on its own.
SILENT_FAULTS = (
    "go_silent",         # the socket stays open but the platform neither answers nor pushes
)

ALL_FAULTS = RETRYABLE_FAULTS + TERMINAL_FAULTS + SILENT_FAULTS

# The version the simulator's own URL asks for. Phoenix's default serializers serve
# "~> 1.0.0" (object frames) and "~> 2.0.0" (array frames); see `frame_format`.
PROTOCOL_VSN = "2.0.0"
UNMATCHED_TOPIC = "unmatched topic"
_SEMVER = re.compile(r"(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)"
                     r"(-[0-9A-Za-z-]+(?:\.[0-9A-Za-z-]+)*)?(\+[0-9A-Za-z-]+(?:\.[0-9A-Za-z-]+)*)?")


def frame_format(vsn: str) -> int | None:
    """1 (object frames) or 2 (array frames) for the `vsn` a client asks for, or None
    when no serializer matches it: the version must parse as MAJOR.MINOR.PATCH and
    lie within "~> 1.0.0" or "~> 2.0.0" (so 1.0.x or 2.0.x; a pre-release of x.0.0
    comes before x.0.0 and misses)."""
    match = _SEMVER.fullmatch(vsn)
    if match is None:
        return None
    major, minor, patch, pre = int(match[1]), int(match[2]), int(match[3]), match[4]
    if major not in (1, 2) or minor != 0 or (pre is not None and patch == 0):
        return None
    return major


def _finite(text: str) -> float:
    # JSON has no NaN or infinity: a number too large for a double is refused, not echoed as one.
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"number out of range: {text[:20]}")
    return value


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def _iso(seq: int) -> str:
    minutes, seconds = divmod(seq, 60)
    hours, minutes = divmod(minutes, 60)
    return f"2026-01-01T{hours % 24:02d}:{minutes:02d}:{seconds:02d}Z"


_P = ParamSpec("_P")
_T = TypeVar("_T")


def _on_own_loop(method: Callable[Concatenate[PlatformSimulator, _P], Coroutine[Any, Any, _T]],
                 ) -> Callable[Concatenate[PlatformSimulator, _P], Coroutine[Any, Any, _T]]:
    """Runs a coroutine method on the event loop that serves the simulator, so that a test
    whose own loop runs elsewhere (the pytest fixture serves the simulator from a thread
    of its own) can await it all the same."""
    @functools.wraps(method)
    async def hop(self: PlatformSimulator, /, *args: _P.args, **kwargs: _P.kwargs) -> _T:
        home = self.loop
        if home is None or home is asyncio.get_running_loop():
            return await method(self, *args, **kwargs)
        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(method(self, *args, **kwargs), home))
    return hop


@dataclasses.dataclass
class SimMessage:
    room_id: str
    id: str
    seq: int
    content: str
    sender_id: str
    sender_type: str
    sender_name: str | None
    terminal: str | None = None       # "processed" or "failed" once accepted
    error: str | None = None

    def payload(self) -> dict[str, Any]:
        body: dict[str, Any] = {
            "id": self.id,
            "chat_room_id": self.room_id,
            "content": self.content,
            "message_type": "text",
            "sender_type": self.sender_type,
            "sender_id": self.sender_id,
            "sender_name": self.sender_name,
            "inserted_at": _iso(self.seq),
            "updated_at": _iso(self.seq),
            "metadata": {"mentions": []},
            "attachments": [],
        }
        if self.terminal is not None:
            # A replayed message tells the agent what the platform already holds.
            body["agent_status"] = self.terminal
        return body


@dataclasses.dataclass
class Records:
    """What the platform saw, for assertions made from its side only."""

    # message id -> list of (attempt, connection id) for every announced hand-off
    handoffs: dict[str, list[tuple[int, int]]] = dataclasses.field(
        default_factory=lambda: collections.defaultdict(list))
    # message id -> accepted terminal writes ("processed" / "failed")
    terminal_writes: dict[str, list[str]] = dataclasses.field(
        default_factory=lambda: collections.defaultdict(list))
    # message id -> accepted "failed, will retry" writes
    retry_writes: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter[str])
    # message id -> the extension data that came with its accepted "failed" write
    failure_details: dict[str, Any] = dataclasses.field(default_factory=dict)
    duplicate_writes: int = 0
    refused_writes: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter[str])
    # message id -> replies posted in answer to it (content, client_ref)
    replies: dict[str, list[tuple[str, str]]] = dataclasses.field(
        default_factory=lambda: collections.defaultdict(list))
    deliveries: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter[str])
    redeliveries: int = 0
    reordered_batches: int = 0      # batches of replies actually sent in reverse order
    replayed_completed: int = 0
    faults: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter[str])
    fault_log: list[tuple[str, float]] = dataclasses.field(default_factory=list)
    connections: list[tuple[int, float]] = dataclasses.field(default_factory=list)
    refused_upgrades: collections.Counter[int] = dataclasses.field(default_factory=collections.Counter[int])
    violations: list[str] = dataclasses.field(default_factory=list)
    # protocol-level events by kind: "vsn_refused", "malformed", "oversized", "stale_push",
    # "stale_leave", "unmatched_topic", "duplicate_join", "idle_close", "heartbeat", ...
    protocol: collections.Counter[str] = dataclasses.field(default_factory=collections.Counter[str])
    # (kind, detail) for every frame or upgrade refused or ignored, in order
    refusals: list[tuple[str, str]] = dataclasses.field(default_factory=list)
    # topics closed by the server (phx_close not asked for by a leave) and crashed (phx_error)
    channel_closes: list[str] = dataclasses.field(default_factory=list)
    channel_crashes: list[str] = dataclasses.field(default_factory=list)
    # topics the live connection held when the last terminal fault struck
    view_at_terminal_fault: dict[str, Any] | None = None
    # every topic whose join the platform accepted, in order (a fault may aim at the newest)
    joins: list[str] = dataclasses.field(default_factory=list)
    # connection id -> (went silent at, closed by the client at or None), monotonic seconds
    silences: dict[int, tuple[float, float | None]] = dataclasses.field(default_factory=dict)


class _Conn:
    """One accepted agent connection."""

    def __init__(self, cid: int, ws: ServerConnection, version: int) -> None:
        self.cid = cid
        self.ws = ws
        self.version = version                    # 1: object frames, 2: array frames
        self.joined: dict[str, Any] = {}          # topic -> join_ref of its live channel
        self.closed = False
        self.silent = False                       # gone silent: frames are read and ignored
        self.last_frame_at = time.monotonic()
        self.reorder_left = 0
        self.reorder_buffer: list[list[Any]] = []
        self.reorder_timer: asyncio.TimerHandle | None = None


class PlatformSimulator:
    """Serves one agent with a handful of rooms on 127.0.0.1.

    `async with PlatformSimulator(...) as platform` starts it and stops it. Its coroutine
    methods may be awaited from any event loop: they run on the loop that started it.
    The records and the other plain methods are meant for that loop's thread, or for
    reading once the run is over.
    """

    def __init__(self, *, agent_id: str = "agent-1", rooms: list[str] | tuple[str, ...] = ("lobby",),
                 seed: int = 0, replay_completed: int = 0, heartbeat_timeout_s: float = 60.0,
                 max_frame_bytes: int = 65536, log: Callable[[str], None] | None = None) -> None:
        self.agent_id = agent_id
        # A socket that sends nothing for this long is closed, as a server's idle timeout does.
        self.heartbeat_timeout_s = heartbeat_timeout_s
        # A frame above this size closes the connection with 1009 (message too big), as a
        # Phoenix endpoint with a configured max_frame_size does.
        self.max_frame_bytes = max_frame_bytes
        self.rng = random.Random(seed)
        self.members: set[str] = set(rooms)        # rooms the agent belongs to
        self.known_rooms: list[str] = list(rooms)
        self.messages: dict[str, SimMessage] = {}
        self.room_log: dict[str, list[str]] = {room: [] for room in rooms}
        self.participants: dict[str, list[dict[str, Any]]] = {
            room: [{"id": "user-1", "type": "User", "name": "Ursula", "handle": "ursula"},
                   {"id": agent_id, "type": "Agent", "name": "Echo", "handle": "echo"}]
            for room in rooms}
        self.replay_completed = replay_completed
        self.records = Records()
        self._log = log
        self._seq = itertools.count(1)
        self._cids = itertools.count(1)
        self._conn: _Conn | None = None
        self._server: Any = None
        self._changed = asyncio.Condition()
        self._refusals: collections.deque[tuple[int, int | None]] = collections.deque()
        self._duplicate_next = 0
        self._refuse_writes_left = 0
        self._seen_tokens: set[tuple[str, str]] = set()
        self._client_refs: set[str] = set()
        self._open_handoff: dict[str, int] = {}   # message id -> attempt being handled
        self._supersede_ids = itertools.count(1)
        self._closing: set[asyncio.Future[None]] = set()   # closes of superseded sockets
        self._storm: asyncio.Task[None] | None = None         # faults injected by start_faults
        self._away: list[str] = []                            # rooms the storm took the agent out of
        self.loop: asyncio.AbstractEventLoop | None = None    # the loop serving the simulator
        self.url = ""
        self.base_url = ""

    # -- lifecycle -----------------------------------------------------------------
    async def __aenter__(self) -> PlatformSimulator:
        await self.start()
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.stop()

    async def start(self, port: int = 0) -> str:
        """Listens on 127.0.0.1 and returns the WebSocket URL."""
        self.loop = asyncio.get_running_loop()
        self._server = await serve(self._handler, "127.0.0.1", port,
                                   process_request=self._process_request, ping_interval=None,
                                   max_size=self.max_frame_bytes)
        bound = self._server.sockets[0].getsockname()[1]
        self.base_url = f"ws://127.0.0.1:{bound}/socket/websocket"
        self.url = f"{self.base_url}?vsn={PROTOCOL_VSN}"
        return self.url

    @_on_own_loop
    async def stop(self) -> None:
        storm, self._storm = self._storm, None
        if storm is not None:
            storm.cancel()
            await asyncio.gather(storm, return_exceptions=True)
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()
        # Superseded sockets still closing: their handshakes end with the server.
        await asyncio.gather(*self._closing, return_exceptions=True)

    def log(self, text: str) -> None:
        if self._log is None:
            return
        line = f"[platform] {text}"
        try:
            self._log(line)
        except UnicodeError:
            # Topics and events are the client's text: one can hold what the log's stream
            # cannot encode (a lone surrogate sent as "\\ud800", say). Written escaped then,
            # so that logging never keeps a frame from its answer.
            self._log(line.encode("ascii", "backslashreplace").decode("ascii"))

    # -- state queries -------------------------------------------------------------
    @property
    def connected(self) -> bool:
        return self._live() is not None

    def _live(self) -> _Conn | None:
        """The agent's connection while the platform serves it."""
        return self._conn if self._conn is not None and not self._conn.closed else None

    def joined_topics(self) -> set[str]:
        conn = self._live()
        return set(conn.joined) if conn is not None else set()

    def live_join_ref(self, topic: str) -> str | None:
        """The join_ref of the live channel of `topic`, or None when it has none."""
        conn = self._live()
        return conn.joined.get(topic) if conn is not None else None

    def user_messages(self) -> list[SimMessage]:
        return [m for m in self.messages.values() if m.sender_type != "Agent"]

    def open_messages(self) -> list[SimMessage]:
        return [m for m in self.user_messages() if m.terminal is None]

    def room_ready(self, room: str) -> bool:
        return {f"chat_room:{room}", f"room_participants:{room}"} <= self.joined_topics()

    def fully_subscribed(self) -> bool:
        """The agent holds its three agent topics and both topics of every member room."""
        wanted = {f"agent_rooms:{self.agent_id}", f"agent_control:{self.agent_id}",
                  f"agent_contacts:{self.agent_id}"}
        for room in self.members:
            wanted |= {f"chat_room:{room}", f"room_participants:{room}"}
        return self.connected and wanted == self.joined_topics()

    @_on_own_loop
    async def wait_for(self, predicate: Callable[[], bool], timeout: float | None = 30.0) -> None:
        """Waits until `predicate()` holds; re-checked after every platform event. None
        waits for as long as it takes."""
        async def wait() -> None:
            async with self._changed:
                await self._changed.wait_for(predicate)
        await asyncio.wait_for(wait(), timeout)

    def settled(self) -> bool:
        """Every user message of the agent's rooms has its terminal write, and the agent
        holds all its topics on a live connection."""
        return self.fully_subscribed() and not any(m.room_id in self.members for m in self.open_messages())

    @_on_own_loop
    async def wait_settled(self, timeout: float | None = 30.0) -> None:
        """Waits until `settled()` holds; raises TimeoutError after `timeout` seconds."""
        await self.wait_for(self.settled, timeout)

    async def _notify(self) -> None:
        async with self._changed:
            self._changed.notify_all()

    # -- publishing ----------------------------------------------------------------
    @_on_own_loop
    async def publish(self, room: str, content: str, *, sender_id: str = "user-1",
                      sender_type: str = "User", sender_name: str | None = "Ursula") -> str:
        """Stores a new message in `room` and pushes it if the agent has the room joined."""
        seq = next(self._seq)
        message = SimMessage(room, f"m-{seq:05d}", seq, content, sender_id, sender_type, sender_name)
        self.messages[message.id] = message
        self.room_log.setdefault(room, []).append(message.id)
        copies = 1
        if (self._duplicate_next and sender_type != "Agent" and room in self.members
                and f"chat_room:{room}" in self.joined_topics()):
            self._duplicate_next -= 1
            copies = 2
            self._fault("duplicate_event")
        for _ in range(copies):
            await self._deliver(message)
        await self._notify()
        return message.id

    async def _deliver(self, message: SimMessage) -> None:
        topic = f"chat_room:{message.room_id}"
        conn = self._live()
        if message.room_id in self.members and conn is not None and topic in conn.joined:
            if message.sender_type != "Agent":
                self.records.deliveries[message.id] += 1
            await self._push(topic, "message_created", message.payload())

    # -- faults ----------------------------------------------------------------------
    def _fault(self, kind: str) -> None:
        self.records.faults[kind] += 1
        self.records.fault_log.append((kind, time.monotonic()))
        self.log(f"FAULT {kind}")

    @_on_own_loop
    async def drop(self) -> None:
        """The socket vanishes without a close frame; the agent sees 1006."""
        conn = self._conn
        if conn is None or conn.closed:
            return
        self._fault("drop")
        conn.closed = True
        conn.ws.transport.abort()
        await self._notify()

    @_on_own_loop
    async def go_silent(self) -> None:
        """The platform stops serving the live socket without closing it: nothing more is
        sent on it (replies, heartbeat answers, pushes, the idle close) and what arrives is
        read and ignored, until the client closes it. New connections are served as usual;
        messages published meanwhile wait for the agent's next join of their room."""
        conn = self._conn
        if conn is None or conn.closed:
            return
        self._fault("go_silent")
        conn.silent = True
        self.records.silences[conn.cid] = (time.monotonic(), None)
        # Detached from the platform: it is no longer the agent's connection, and the next
        # one takes over without a word to it.
        self._conn = None
        await self._notify()

    @_on_own_loop
    async def close_normally(self) -> None:
        """Closes the socket with 1000: the platform is done with this agent."""
        self._capture_view()
        self._fault("close_1000")
        await self._close(1000, "normal closure")

    @_on_own_loop
    async def refuse_next_upgrade(self, status: int, retry_after: int | None = None) -> None:
        """Drops the socket and refuses the next upgrade with `status`."""
        kind = {503: "refuse_503", 429: "refuse_429", 403: "refuse_403"}.get(status, f"refuse_{status}")
        if status == 403:
            self._capture_view()
        self._fault(kind)
        self._refusals.append((status, retry_after))
        conn = self._conn
        if conn is not None and not conn.closed:
            conn.closed = True
            conn.ws.transport.abort()
        await self._notify()

    def queue_upgrade_refusals(self, status: int, count: int, retry_after: int | None = None) -> None:
        """Refuses the next `count` upgrades with `status`, without touching the live socket."""
        self._refusals.extend([(status, retry_after)] * count)

    @_on_own_loop
    async def supersede(self, *, retryable: bool = True, retry_after: int | None = None) -> None:
        """Tells the agent another connection took over, then closes this one."""
        conn = self._conn
        if conn is None or conn.closed:
            return
        if not retryable:
            self._capture_view()
        self._fault("supersede" if retryable else "supersede_final")
        payload: dict[str, Any] = {"reason": "superseded", "message": "a newer connection took over",
                   "target_socket_id": None, "correlation_id": f"sup-{next(self._supersede_ids)}",
                   "retryable": retryable}
        if retry_after is not None:
            payload["retry_after"] = retry_after
        await self._push(f"agent_control:{self.agent_id}", "supersede", payload)
        await self._close(4001, "superseded")

    def duplicate_next_event(self) -> None:
        """The next user message that is pushed live is pushed twice."""
        self._duplicate_next += 1

    def reorder_replies(self, count: int = 3) -> None:
        """The next `count` replies of the live connection go out in reverse order."""
        conn = self._live()
        if conn is not None:
            self._fault("reorder_replies")
            conn.reorder_left = count

    def refuse_writes(self, count: int = 3) -> None:
        """The next `count` terminal writes are refused as "rejected"."""
        self._fault("refuse_writes")
        self._refuse_writes_left += count

    @_on_own_loop
    async def remove_agent(self, room: str) -> None:
        """Takes the agent out of `room`; its open messages wait for it."""
        if room not in self.members:
            return
        self._fault("remove_from_room")
        self.members.discard(room)
        # The room's channels are shut down by the server first, then the agent is told.
        for topic in (f"chat_room:{room}", f"room_participants:{room}"):
            await self._end_channel(topic, "phx_close")
        await self._push(f"agent_rooms:{self.agent_id}", "room_removed", self._room_payload(room))
        await self._notify()

    @_on_own_loop
    async def add_agent(self, room: str) -> None:
        """Adds the agent to `room` (again)."""
        if room in self.members:
            return
        self.members.add(room)
        if room not in self.known_rooms:
            self.known_rooms.append(room)
            self.room_log.setdefault(room, [])
            self.participants[room] = [
                {"id": "user-1", "type": "User", "name": "Ursula", "handle": "ursula"},
                {"id": self.agent_id, "type": "Agent", "name": "Echo", "handle": "echo"}]
        await self._push(f"agent_rooms:{self.agent_id}", "room_added", self._room_payload(room))
        await self._notify()

    @_on_own_loop
    async def participant_joins(self, room: str, participant: dict[str, Any]) -> None:
        self.participants.setdefault(room, []).append(participant)
        await self._push(f"room_participants:{room}", "participant_added", participant)

    @_on_own_loop
    async def participant_leaves(self, room: str, participant_id: str) -> None:
        people = self.participants.get(room, [])
        gone = [p for p in people if p["id"] == participant_id]
        self.participants[room] = [p for p in people if p["id"] != participant_id]
        if gone:
            await self._push(f"room_participants:{room}", "participant_removed", gone[0])

    @_on_own_loop
    async def crash_channel(self, topic: str) -> bool:
        """The channel process of a joined `topic` dies: the client gets `phx_error`."""
        return await self._end_channel_fault(topic, "crash_channel", "phx_error")

    @_on_own_loop
    async def close_channel(self, topic: str) -> bool:
        """The server closes the channel of a joined `topic`: the client gets `phx_close`."""
        return await self._end_channel_fault(topic, "close_channel", "phx_close")

    async def _end_channel_fault(self, topic: str, fault: str, event: str) -> bool:
        if topic not in self.joined_topics():
            return False
        self._fault(fault)
        await self._end_channel(topic, event)
        await self._notify()
        return True

    async def _end_channel(self, topic: str, event: str) -> None:
        """Ends the live channel of `topic`, telling the client under the channel's join_ref."""
        conn = self._conn
        if conn is None or conn.closed or topic not in conn.joined:
            return
        await self._announce_end(conn, topic, conn.joined.pop(topic), event)

    async def _announce_end(self, conn: _Conn, topic: str, join_ref: Any, event: str) -> None:
        """Tells the client that the channel of `join_ref` ended (as both join_ref and ref)."""
        (self.records.channel_crashes if event == "phx_error" else self.records.channel_closes).append(topic)
        self.log(f"{event} on {topic} (join_ref {join_ref})")
        await self._send(conn, [join_ref, join_ref, topic, event, {}])

    @_on_own_loop
    async def push_raw(self, text: str) -> None:
        """Sends `text` as one frame on the live connection, as it is (for malformed-input checks)."""
        conn = self._conn
        if conn is not None and not conn.closed:
            try:
                await conn.ws.send(text)
            except ConnectionClosed:
                conn.closed = True

    @_on_own_loop
    async def push_event(self, topic: str, event: str, payload: Any) -> None:
        """Pushes an arbitrary event on a joined topic (for malformed-input checks)."""
        await self._push(topic, event, payload)

    def applies(self, kind: str) -> bool:
        """Whether the fault `kind` can strike now: one aimed at the live socket needs a
        connection, one aimed at a room or a channel needs one the agent holds."""
        if kind not in RETRYABLE_FAULTS + TERMINAL_FAULTS + SILENT_FAULTS:
            raise ValueError(f"unknown fault {kind!r}")
        if kind in ("drop", "supersede", "supersede_final", "reorder_replies", "close_1000", "go_silent"):
            return self.connected
        if kind == "remove_from_room":
            return bool(self.members)
        if kind in ("crash_channel", "close_channel"):
            return bool(self.joined_topics())
        return True

    @_on_own_loop
    async def inject(self, kind: str) -> bool:
        """Injects one fault by name (see RETRYABLE_FAULTS, TERMINAL_FAULTS and SILENT_FAULTS);
        False when it does not apply now (see `applies`) and nothing was done."""
        if not self.applies(kind):
            return False
        if kind == "drop":
            await self.drop()
        elif kind == "refuse_503":
            await self.refuse_next_upgrade(503, retry_after=self.rng.choice((1, 2, 3)))
        elif kind == "refuse_429":
            await self.refuse_next_upgrade(429)
        elif kind == "refuse_403":
            await self.refuse_next_upgrade(403)
        elif kind == "supersede":
            await self.supersede(retryable=True, retry_after=self.rng.choice((None, 1)))
        elif kind == "supersede_final":
            await self.supersede(retryable=False)
        elif kind == "close_1000":
            await self.close_normally()
        elif kind == "go_silent":
            await self.go_silent()
        elif kind == "duplicate_event":
            self.duplicate_next_event()
        elif kind == "reorder_replies":
            self.reorder_replies(self.rng.choice((2, 3, 4)))
        elif kind == "refuse_writes":
            self.refuse_writes(self.rng.choice((1, 2, 3)))
        elif kind == "remove_from_room":
            await self.remove_agent(self.rng.choice(sorted(self.members)))
        else:
            topic = self.rng.choice(sorted(self.joined_topics()))
            await (self.crash_channel(topic) if kind == "crash_channel" else self.close_channel(topic))
        return True

    @_on_own_loop
    async def inject_random_fault(self) -> str | None:
        """Injects one retryable fault chosen by the seeded random source among those that
        apply now, and returns its name; None when none applies."""
        kinds = [kind for kind in RETRYABLE_FAULTS if self.applies(kind)]
        if not kinds:
            return None
        kind = self.rng.choice(kinds)
        await self.inject(kind)
        return kind

    @_on_own_loop
    async def start_faults(self, kinds: Iterable[str], *, every_s: tuple[float, float] = (0.05, 0.25)) -> None:
        """Strikes with faults of `kinds` from now on, one at a time after a pause drawn
        between the two bounds of `every_s` seconds, each chosen by the seeded random
        source among the kinds that apply at that moment, until `calm` or `stop`. A room
        the agent is taken out of comes back after another such pause."""
        chosen = tuple(kinds)
        unknown = [kind for kind in chosen if kind not in ALL_FAULTS]
        if unknown or not chosen:
            raise ValueError(f"kinds must name faults among {', '.join(ALL_FAULTS)}, got {list(chosen)!r}")
        low, high = every_s
        if not 0 < low <= high or not math.isfinite(high):
            raise ValueError(f"every_s must be two finite bounds with 0 < low <= high, got {every_s!r}")
        await self.calm()
        self._storm = asyncio.ensure_future(self._strike(chosen, low, high))

    async def _strike(self, kinds: tuple[str, ...], low: float, high: float) -> None:
        while True:
            await asyncio.sleep(self.rng.uniform(low, high))
            if self._away:
                await self.add_agent(self._away.pop(0))
            applicable = [kind for kind in kinds if self.applies(kind)]
            if not applicable:
                continue
            kind = self.rng.choice(applicable)
            if kind == "remove_from_room":
                room = self.rng.choice(sorted(self.members))
                self._away.append(room)
                await self.remove_agent(room)
            else:
                await self.inject(kind)

    @_on_own_loop
    async def calm(self) -> None:
        """Ends the faults of `start_faults`: none strikes after this returns, and the rooms
        they took the agent out of are given back."""
        storm, self._storm = self._storm, None
        if storm is not None:
            storm.cancel()
            await asyncio.gather(storm, return_exceptions=True)
        while self._away:
            await self.add_agent(self._away.pop(0))

    def _capture_view(self) -> None:
        self.records.view_at_terminal_fault = {
            "topics": sorted(self.joined_topics()),
            "members": sorted(self.members),
        }

    async def _close(self, code: int, reason: str) -> None:
        conn = self._conn
        if conn is None or conn.closed:
            return
        conn.closed = True
        try:
            await conn.ws.close(code, reason)
        except ConnectionClosed:
            pass
        await self._notify()

    # -- connection handling -------------------------------------------------------
    def _process_request(self, connection: ServerConnection, request: Any) -> Any:
        vsn = self._vsn(request.path)
        if frame_format(vsn) is None:
            self._refuse("vsn_refused", f"vsn {vsn!r}: upgrade refused with 403")
            self.records.refused_upgrades[403] += 1
            return connection.respond(http.HTTPStatus.FORBIDDEN, "")
        if not self._refusals:
            return None
        status, retry_after = self._refusals.popleft()
        self.records.refused_upgrades[status] += 1
        self.log(f"upgrade refused with {status}" + (f" (retry-after {retry_after})" if retry_after else ""))
        response = connection.respond(http.HTTPStatus(status), "refused\n")
        if retry_after is not None:
            response.headers["Retry-After"] = str(retry_after)
        return response

    @staticmethod
    def _vsn(path: str) -> str:
        """The `vsn` query parameter (the last one when repeated); none means 1.0.0."""
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(path).query, keep_blank_values=True)
        return query.get("vsn", ["1.0.0"])[-1]

    def _refuse(self, kind: str, detail: str) -> None:
        self.records.protocol[kind] += 1
        self.records.refusals.append((kind, detail))
        self.log(f"refused ({kind}): {detail}")

    async def _handler(self, ws: ServerConnection) -> None:
        previous = self._conn
        # The upgrade was refused unless its vsn has a frame format.
        path = ws.request.path if ws.request is not None else ""
        conn = _Conn(next(self._cids), ws, frame_format(self._vsn(path)) or 1)
        # The new connection is the agent's from here on, before the old one is told: an
        # upgrade that comes while the notice is on its way supersedes this one in turn.
        self._conn = conn
        if previous is not None and not previous.closed:
            await self._supersede_connection(previous, conn)
        self.records.connections.append((conn.cid, time.monotonic()))
        self.log(f"connection {conn.cid} open")
        idle = asyncio.ensure_future(self._close_when_idle(conn))
        await self._notify()
        try:
            async for raw in ws:
                if conn.silent:
                    self.records.protocol["ignored_while_silent"] += 1
                    await self._notify()
                    continue
                if conn.closed:
                    break
                conn.last_frame_at = time.monotonic()
                frame = self._decode(conn, raw)
                if frame is None:
                    continue
                try:
                    await self._on_frame(conn, *frame)
                except Exception as exc:  # a bug here must not take the connection down
                    self.records.violations.append(f"simulator error on {frame[2]} {frame[3]}: {exc!r}")
                await self._notify()
        except ConnectionClosed as exc:
            if exc.sent is not None and exc.sent.code == 1009:
                # The transport refused a frame above max_frame_bytes unread and closed.
                self._refuse("oversized", f"connection {conn.cid}: a frame above {self.max_frame_bytes} bytes, "
                                          f"closed with 1009")
        finally:
            idle.cancel()
            if conn.silent:
                self.records.silences[conn.cid] = (self.records.silences[conn.cid][0], time.monotonic())
            conn.closed = True
            if self._conn is conn:
                self._conn = None
            self.log(f"connection {conn.cid} closed")
            await self._notify()

    async def _supersede_connection(self, old: _Conn, new: _Conn) -> None:
        """A second socket of the agent replaces the first. The old one is told so on its
        agent_control channel, with `retryable` false: a client that reconnected on its
        own would only supersede the new one in turn, and two clients would knock each
        other off for ever. Then it is closed with 1000, as Phoenix closes a socket it
        disconnects (a client that never joined agent_control learns it from that)."""
        if old.ws.state is not State.OPEN:
            old.closed = True
            return   # already closing: nothing to tell it
        self.records.protocol["superseded_connection"] += 1
        self.log(f"connection {new.cid} supersedes connection {old.cid}")
        control = f"agent_control:{self.agent_id}"
        if control in old.joined:
            notice = {"reason": "superseded", "message": "another connection of this agent took over",
                      "target_socket_id": None, "correlation_id": f"sup-{next(self._supersede_ids)}",
                      "retryable": False}
            await self._send(old, [old.joined[control], None, control, "supersede", notice])
        old.closed = True
        # The close handshake runs on its own: the new connection is served meanwhile.
        closing = asyncio.ensure_future(self._close_superseded(old))
        self._closing.add(closing)
        closing.add_done_callback(self._closing.discard)

    @staticmethod
    async def _close_superseded(old: _Conn) -> None:
        try:
            await old.ws.close(1000, "superseded")
        except ConnectionClosed:
            pass

    async def _close_when_idle(self, conn: _Conn) -> None:
        while not conn.closed and not conn.silent:
            silent = time.monotonic() - conn.last_frame_at
            if silent >= self.heartbeat_timeout_s:
                self._refuse("idle_close", f"connection {conn.cid} silent for {silent:.3f}s: closed with 1000")
                conn.closed = True
                try:
                    await conn.ws.close(1000, "idle timeout")
                except ConnectionClosed:
                    pass
                await self._notify()
                return
            await asyncio.sleep(self.heartbeat_timeout_s - silent)

    def _decode(self, conn: _Conn, raw: str | bytes) -> tuple[Any, Any, Any, str, Any] | None:
        """One frame as (join_ref, ref, topic, event, payload), or None when it is refused.

        As Phoenix's serializers read them: refs are opaque and come back exactly as sent
        (strings, numbers or null), and the topic may be anything (one that is not a string
        names no channel). Only the event must be a string."""
        if isinstance(raw, bytes) and conn.version == 2:
            return self._decode_binary(raw)
        try:
            # Version 1 reads a binary frame as JSON text too.
            frame = json.loads(raw, parse_float=_finite, parse_constant=_no_constant)
        except (ValueError, RecursionError):
            self._refuse("malformed", f"not JSON: {raw[:60]!r}")
            return None
        fields = self._v1_fields(frame) if conn.version == 1 else self._v2_fields(frame)
        if fields is None:
            return None
        join_ref, ref, topic, event, payload = fields
        if not isinstance(event, str):
            self._refuse("malformed", f"event is {type(event).__name__}, not a string")
            return None
        return join_ref, ref, topic, event, payload

    def _v2_fields(self, frame: Any) -> tuple[Any, Any, Any, Any, Any] | None:
        """An array frame: its first five elements; more are ignored, fewer are refused."""
        if not isinstance(frame, list):
            self._refuse("malformed", f"not an array frame: {type(frame).__name__}")
            return None
        elements: list[Any] = frame  # pyright: ignore[reportUnknownVariableType]
        if len(elements) < 5:
            self._refuse("malformed", f"{len(elements)} elements, fewer than 5")
            return None
        return elements[0], elements[1], elements[2], elements[3], elements[4]

    def _v1_fields(self, frame: Any) -> tuple[Any, Any, Any, Any, Any] | None:
        """An object frame: "topic", "event", "payload" and "ref" are required (null
        allowed), "join_ref" is optional; other keys are ignored."""
        if not isinstance(frame, dict):
            self._refuse("malformed", f"not an object frame: {type(frame).__name__}")
            return None
        fields: dict[str, Any] = frame  # pyright: ignore[reportUnknownVariableType]
        missing = [key for key in ("topic", "event", "payload", "ref") if key not in fields]
        if missing:
            self._refuse("malformed", f"object frame without {', '.join(missing)}")
            return None
        return fields.get("join_ref"), fields["ref"], fields["topic"], fields["event"], fields["payload"]

    def _decode_binary(self, raw: bytes) -> tuple[Any, Any, str, str, Any] | None:
        """A binary push: kind 0, four one-byte sizes, then join_ref, ref, topic, event and the
        payload bytes. Servers send binary kinds 1 (reply) and 2 (broadcast); clients only push."""
        if len(raw) < 5 or raw[0] != 0:
            self._refuse("malformed", f"binary frame of kind {raw[0] if raw else None}, not a push")
            return None
        fields: list[str] = []
        at = 5
        try:
            for size in raw[1:5]:
                if at + size > len(raw):
                    raise ValueError("a field runs past the end of the frame")
                fields.append(raw[at:at + size].decode("utf-8"))
                at += size
        except ValueError as exc:
            self._refuse("malformed", f"binary push: {exc}")
            return None
        join_ref, ref, topic, event = fields
        return join_ref or None, ref or None, topic, event, raw[at:]

    @staticmethod
    def _encode(conn: _Conn, frame: list[Any]) -> str:
        # ASCII-only JSON: a lone surrogate that came in a topic goes back out escaped.
        _, ref, topic, event, payload = frame
        if conn.version == 1:
            # Phoenix's version 1 serializer writes these four fields only, never a join_ref.
            return json.dumps({"topic": topic, "event": event, "payload": payload, "ref": ref})
        return json.dumps(frame)

    async def _send(self, conn: _Conn, frame: list[Any]) -> None:
        if conn.closed or conn.silent:
            return
        try:
            await conn.ws.send(self._encode(conn, frame))
        except ConnectionClosed:
            conn.closed = True

    async def _push(self, topic: str, event: str, payload: dict[str, Any]) -> None:
        """A broadcast: only a joined topic receives it, under its channel's join_ref."""
        conn = self._conn
        if conn is None or conn.closed or topic not in conn.joined:
            return
        await self._send(conn, [conn.joined[topic], None, topic, event, payload])

    async def _reply(self, conn: _Conn, join_ref: Any, ref: Any, topic: Any, status: str,
                     response: dict[str, Any]) -> None:
        frame = [join_ref, ref, topic, "phx_reply", {"status": status, "response": response}]
        if conn.reorder_left > 0:
            conn.reorder_left -= 1
            conn.reorder_buffer.append(frame)
            if conn.reorder_left == 0:
                await self._flush_reordered(conn)
            elif conn.reorder_timer is None:
                # An agent that waits for each reply before the next request would
                # otherwise stall the buffer: let it go after a moment.
                loop = asyncio.get_running_loop()
                conn.reorder_timer = loop.call_later(
                    0.02, lambda: asyncio.ensure_future(self._flush_reordered(conn)))
            return
        await self._send(conn, frame)

    async def _flush_reordered(self, conn: _Conn) -> None:
        if conn.reorder_timer is not None:
            conn.reorder_timer.cancel()
            conn.reorder_timer = None
        conn.reorder_left = 0
        frames, conn.reorder_buffer = conn.reorder_buffer[::-1], []
        if len(frames) > 1:
            self.records.reordered_batches += 1
        for frame in frames:
            await self._send(conn, frame)

    async def _unmatched(self, conn: _Conn, ref: Any, topic: Any, event: str) -> None:
        """What Phoenix answers when no channel lives under the topic: an error reply
        with a null join_ref."""
        self._refuse("unmatched_topic", f"{event} on {topic}: answered {UNMATCHED_TOPIC!r}")
        await self._reply(conn, None, ref, topic, "error", {"reason": UNMATCHED_TOPIC})

    async def _on_frame(self, conn: _Conn, join_ref: Any, ref: Any, topic: Any, event: str,
                        payload: Any) -> None:
        if topic == "phoenix" and event == "heartbeat":
            self.records.protocol["heartbeat"] += 1
            await self._reply(conn, None, ref, topic, "ok", {})
            return
        if event == "phx_join":
            await self._on_join(conn, join_ref, ref, topic, payload)
            return
        if event == "phx_leave":
            await self._on_leave(conn, join_ref, ref, topic)
            return
        if not isinstance(topic, str) or topic not in conn.joined:
            # Nothing lives under this topic (never joined, left, crashed or closed).
            await self._unmatched(conn, ref, topic, event)
            return
        live = conn.joined[topic]
        if join_ref is not None and join_ref != live:
            # Sent to a channel that no longer exists (before a rejoin): ignored, no reply.
            # A null join_ref names no channel in particular, so the live one takes it.
            self._refuse("stale_push", f"{event} on {topic} under join_ref {join_ref!r}, "
                                       f"live {live!r}: ignored")
            return
        # The channel answers under its own join_ref, whatever the push carried.
        if not isinstance(payload, dict):
            self._refuse("bad_payload", f"{event} on {topic} with a {type(payload).__name__} payload")
            await self._reply(conn, live, ref, topic, "error", {"reason": "bad_payload"})
            return
        body: dict[str, Any] = payload  # pyright: ignore[reportUnknownVariableType]
        room = topic.split(":", 1)[1]
        handler = {
            "turn_started": self._on_turn_started,
            "send_message": self._on_send_message,
            "mark_processed": self._on_terminal_write,
            "mark_failed": self._on_terminal_write,
        }.get(event)
        if handler is None or not topic.startswith("chat_room:"):
            await self._reply(conn, live, ref, topic, "error", {"reason": "unknown_event"})
            return
        status, response = await handler(conn, room, event, body)
        await self._reply(conn, live, ref, topic, status, response)

    async def _on_join(self, conn: _Conn, join_ref: Any, ref: Any, topic: Any, payload: Any) -> None:
        kind, _, key = topic.partition(":") if isinstance(topic, str) else ("", "", "")
        if kind not in ("agent_rooms", "agent_control", "agent_contacts", "chat_room", "room_participants"):
            await self._unmatched(conn, ref, topic, "phx_join")
            return
        # One channel per topic: a second join shuts the live one down and runs the join
        # afresh. As in Phoenix, the join is answered first and the old channel's
        # phx_close follows, before anything the new channel pushes.
        duplicate = topic in conn.joined
        old_join_ref = conn.joined.pop(topic, None)
        if duplicate:
            self.records.protocol["duplicate_join"] += 1
        if not isinstance(payload, dict):
            self._refuse("bad_payload", f"phx_join of {topic} with a {type(payload).__name__} payload")
            status, response = "error", {"reason": "bad_payload"}
        else:
            status, response = self._join(kind, key)
        if status == "ok":
            conn.joined[topic] = join_ref
            self.records.joins.append(topic)
        elif isinstance(payload, dict):
            self.records.protocol["join_refused"] += 1
        await self._reply(conn, join_ref, ref, topic, status, response)
        if duplicate:
            await self._announce_end(conn, topic, old_join_ref, "phx_close")
        if status == "ok" and kind == "chat_room":
            await self._redeliver(key)

    async def _on_leave(self, conn: _Conn, join_ref: Any, ref: Any, topic: Any) -> None:
        if not isinstance(topic, str) or topic not in conn.joined:
            # Nothing to leave: acknowledged, and no channel sends phx_close.
            self.records.protocol["leave_unjoined"] += 1
            await self._reply(conn, join_ref, ref, topic, "ok", {})
            return
        live = conn.joined[topic]
        if join_ref is not None and join_ref != live:
            # A leave for an earlier channel of the topic must not end the live one.
            self._refuse("stale_leave", f"phx_leave of {topic} under join_ref {join_ref!r}, "
                                        f"live {live!r}: ignored")
            return
        del conn.joined[topic]
        self.records.protocol["leave"] += 1
        await self._reply(conn, live, ref, topic, "ok", {})
        await self._send(conn, [live, live, topic, "phx_close", {}])

    def _join(self, kind: str, key: str) -> tuple[str, dict[str, Any]]:
        if kind in ("agent_rooms", "agent_control", "agent_contacts"):
            if key != self.agent_id:
                return "error", {"reason": "unauthorized"}
            if kind == "agent_rooms":
                return "ok", {"rooms": sorted(self.members)}
            return "ok", {}
        if key not in self.members:
            return "error", {"reason": "not_member"}
        if kind == "room_participants":
            return "ok", {"participants": list(self.participants.get(key, []))}
        return "ok", {}

    async def _redeliver(self, room: str) -> None:
        """Pushes every open message of the room again, as a durable platform does."""
        ids = self.room_log.get(room, [])
        done = [mid for mid in ids if self.messages[mid].terminal is not None]
        replay = set(done[-self.replay_completed:]) if self.replay_completed else set[str]()
        for mid in ids:
            message = self.messages[mid]
            if message.sender_type == "Agent":
                continue
            if message.terminal is None:
                self.records.redeliveries += 1
                await self._deliver(message)
            elif mid in replay:
                self.records.replayed_completed += 1
                await self._deliver(message)

    # -- agent writes ----------------------------------------------------------------
    async def _on_turn_started(self, conn: _Conn, room: str, event: str,
                               payload: dict[str, Any]) -> tuple[str, dict[str, Any]]:
        mid, attempt = payload.get("message_id"), payload.get("attempt")
        message = self.messages.get(mid) if isinstance(mid, str) else None
        if message is None or message.room_id != room or not isinstance(attempt, int):
            return "error", {"reason": "not_found"}
        mid = message.id
        seen = self.records.handoffs[mid]
        if any(a == attempt for a, _ in seen):
            return "ok", {"duplicate": True}      # the same hand-off announced again
        if message.terminal is not None:
            self.records.violations.append(f"{mid} handed to the agent after its terminal write")
        open_attempt = self._open_handoff.get(mid)
        if open_attempt is not None and open_attempt != attempt:
            self.records.violations.append(
                f"{mid} handed to a second handler (attempt {attempt}) while attempt {open_attempt} ran")
        self._open_handoff[mid] = attempt
        seen.append((attempt, conn.cid))
        return "ok", {}

    async def _on_send_message(self, conn: _Conn, room: str, event: str,
                               payload: dict[str, Any]) -> tuple[str, dict[str, Any]]:
        content, reply_to, client_ref = (payload.get("content"), payload.get("in_reply_to"),
                                         payload.get("client_ref"))
        if not isinstance(content, str) or not isinstance(client_ref, str):
            return "error", {"reason": "bad_payload"}
        if client_ref in self._client_refs:
            return "ok", {"duplicate": True}
        self._client_refs.add(client_ref)
        if isinstance(reply_to, str):
            self.records.replies[reply_to].append((content, client_ref))
        # The agent's own message comes back on the room like any other.
        await self.publish(room, content, sender_id=self.agent_id, sender_type="Agent", sender_name="Echo")
        return "ok", {}

    async def _on_terminal_write(self, conn: _Conn, room: str, event: str,
                                 payload: dict[str, Any]) -> tuple[str, dict[str, Any]]:
        mid, token = payload.get("message_id"), payload.get("token")
        retry = payload.get("retry") is True
        status = "processed" if event == "mark_processed" else "failed"
        message = self.messages.get(mid) if isinstance(mid, str) else None
        if message is None or message.room_id != room or not isinstance(token, str):
            self.records.refused_writes["not_found"] += 1
            return "error", {"reason": "not_found"}
        mid = message.id
        if (mid, token) in self._seen_tokens:
            self.records.duplicate_writes += 1
            return "ok", {"duplicate": True}
        if self._refuse_writes_left > 0:
            self._refuse_writes_left -= 1
            self.records.refused_writes["rejected"] += 1
            return "error", {"reason": "rejected"}
        self._seen_tokens.add((mid, token))
        if message.terminal is not None:
            if message.terminal == status and not retry:
                self.records.duplicate_writes += 1
                return "ok", {"duplicate": True}
            self.records.violations.append(f"{mid}: {status} write after accepted {message.terminal}")
            return "error", {"reason": "conflict"}
        if not any(True for _ in self.records.handoffs[mid]):
            self.records.violations.append(f"{mid}: terminal write for a message never handed over")
        self._open_handoff.pop(mid, None)
        if status == "failed" and retry:
            self.records.retry_writes[mid] += 1
            return "ok", {}
        message.terminal = status
        message.error = payload.get("error") if status == "failed" else None
        if status == "failed":
            self.records.failure_details[mid] = payload.get("extension_data")
        self.records.terminal_writes[mid].append(status)
        return "ok", {}

    @staticmethod
    def _room_payload(room: str) -> dict[str, Any]:
        return {"id": room, "inserted_at": _iso(0), "updated_at": _iso(0), "title": f"Room {room}",
                "task_id": None}

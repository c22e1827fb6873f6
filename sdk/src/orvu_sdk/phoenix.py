"""A Phoenix Channels client over one WebSocket connection.

`PhoenixSocket` speaks the array frames of `vsn` 2.0.0 (`[join_ref, ref, topic, event,
payload]`) and the object frames of 1.0.0. Each topic has at most one channel, known by the
join_ref of its join; a push under another join_ref belongs to an earlier channel and is
dropped. Every request gets one reply future. A request whose reply does not come within the
reply timeout has an unknown outcome: it raises `ConnectionLost` (never a refusal) and the
connection, which stopped answering, is closed.

The socket also keeps the connection alive (a heartbeat every `heartbeat_interval_s`) and
watches it: no frame at all for `dead_threshold_s` and the connection is declared dead and
closed with `DEAD_CLOSE_CODE`, whatever the socket itself believes.

`connect` opens the WebSocket with the connection parameters (the agent's token) taken
afresh on every connect. Nothing here logs a URL's query string: it can hold the token.
"""

from __future__ import annotations

import asyncio
import dataclasses
import inspect
import itertools
import json
import logging
import ssl as ssl_module
import time
import urllib.parse
from collections.abc import Awaitable, Callable, Mapping
from typing import Any, cast

from websockets.asyncio.client import ClientConnection
from websockets.asyncio.client import connect as ws_connect
from websockets.exceptions import ConnectionClosed

from ._logs import TRANSPORT_LOGGER, emit

# What a Phoenix server answers for a topic without a live channel.
UNMATCHED_TOPIC = "unmatched topic"
# The close code of a server whose frame limit a frame exceeded, and the refusal made of it.
MESSAGE_TOO_BIG_CODE = 1009
MESSAGE_TOO_BIG = "message too big"
# The close code the client uses for a connection it declared dead. Anything but 1000, which
# would end the session.
DEAD_CLOSE_CODE = 4000
DEFAULT_VSN = "2.0.0"
# Frames from the server above this size are refused by the transport (it closes with 1009).
MAX_INCOMING_FRAME_BYTES = 16 * 2**20

Params = Mapping[str, str] | Callable[[], Mapping[str, str] | Awaitable[Mapping[str, str]]]


class ConnectionLost(Exception):
    """The connection ended (or stopped answering) before the platform answered: the outcome
    of the request is unknown. `too_big` is true when the server closed the connection for a
    frame above its limit and this request's frame was the largest waiting."""

    def __init__(self, too_big: bool = False, detail: str = "connection lost") -> None:
        super().__init__(MESSAGE_TOO_BIG if too_big else detail)
        self.too_big = too_big


@dataclasses.dataclass(frozen=True)
class Reply:
    """A `phx_reply`: "ok" or "error", and the response object."""

    status: str
    response: dict[str, Any]

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    @property
    def reason(self) -> str:
        reason = self.response.get("reason")
        return reason if isinstance(reason, str) else self.status


TOO_BIG_REPLY = Reply("error", {"reason": MESSAGE_TOO_BIG})


class FrameLimit:
    """The largest frame the platform takes, as far as the client knows.

    Shared by every connection of a session: a server that closed one connection with 1009
    learns the client that a frame of that size is too big, so the next try of the same frame
    is refused here instead of costing another reconnect. The learned bound is sound: the
    refused frame was one of those waiting, so it was no larger than the largest of them. The
    same push sent again differs by a few bytes (its refs are new numbers), so the bound keeps
    `REF_SLACK` bytes below the refused size."""

    REF_SLACK = 64

    def __init__(self, max_bytes: int | None = None) -> None:
        self.max_bytes = max_bytes

    def allows(self, size: int) -> bool:
        return self.max_bytes is None or size <= self.max_bytes

    def learn_refused(self, size: int) -> None:
        bound = size - 1 - self.REF_SLACK
        if self.max_bytes is None or bound < self.max_bytes:
            self.max_bytes = bound


def frame_version(url: str) -> int:
    """1 for object frames, 2 for array frames, from the URL's `vsn` (none means 1.0.0)."""
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query, keep_blank_values=True)
    vsn = query.get("vsn", ["1.0.0"])[-1]
    return 2 if vsn.startswith("2.") else 1


def with_params(url: str, params: Mapping[str, str]) -> str:
    """The URL with `params` added to its query (a parameter already there is replaced), and
    `vsn` 2.0.0 unless the URL names one."""
    parts = urllib.parse.urlsplit(url)
    query = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True) if k not in params]
    query.extend((str(k), str(v)) for k, v in params.items())
    if not any(k == "vsn" for k, _ in query):
        query.insert(0, ("vsn", DEFAULT_VSN))
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))


def redact_url(url: str) -> str:
    """The URL with every query value but `vsn` replaced by "***", for logs and reprs."""
    parts = urllib.parse.urlsplit(url)
    query = urllib.parse.parse_qsl(parts.query, keep_blank_values=True)
    shown = "&".join(f"{k}={v if k == 'vsn' else '***'}" for k, v in query)
    netloc = parts.netloc.rpartition("@")[2]
    return urllib.parse.urlunsplit(parts._replace(netloc=netloc, query=shown))


async def resolve_params(params: Params | None) -> dict[str, str]:
    """The connection parameters for one connect: `params` itself, or what it returns."""
    if params is None:
        return {}
    value: object = params() if callable(params) else params
    if inspect.isawaitable(value):
        value = await value
    if not isinstance(value, Mapping):  # pyright: ignore[reportUnnecessaryIsInstance]
        raise TypeError("`params` must be a mapping of strings or a callable returning one")
    mapping: Mapping[Any, Any] = value
    return {str(k): str(v) for k, v in mapping.items()}


async def connect(url: str, *, params: Mapping[str, str], headers: Mapping[str, str] | None = None,
                  ssl: ssl_module.SSLContext | None = None, open_timeout: float = 10.0) -> ClientConnection:
    """Opens the WebSocket. `wss://` URLs use the default TLS context unless `ssl` is given."""
    full = with_params(url, params)
    extra: dict[str, Any] = {}
    if ssl is not None:
        extra["ssl"] = ssl
    return await ws_connect(full, ping_interval=None, open_timeout=open_timeout, close_timeout=1,
                            additional_headers=dict(headers or {}), max_size=MAX_INCOMING_FRAME_BYTES,
                            logger=TRANSPORT_LOGGER, **extra)


class PhoenixSocket:
    """Phoenix Channels framing over one WebSocket connection.

    `on_push(topic, event, payload)` receives every event pushed on a live channel;
    `on_channel_lost(topic, event)` is told when the server ends a channel with `phx_error`
    or `phx_close` while the socket stays up. Both are called synchronously by the reader."""

    def __init__(self, ws: ClientConnection, *, on_push: Callable[[str, str, Any], None],
                 on_channel_lost: Callable[[str, str], None], reply_timeout_s: float,
                 heartbeat_interval_s: float | None = None, dead_threshold_s: float | None = None,
                 frame_limit: FrameLimit | None = None, version: int = 2) -> None:
        self.ws = ws
        self.version = version
        self._on_push = on_push
        self._on_channel_lost = on_channel_lost
        self._refs = itertools.count(1)
        self._join_refs: dict[str, str] = {}      # topic -> join_ref of its channel
        self._joined: set[str] = set()            # topics whose join the server accepted
        self._joins: dict[str, str] = {}          # ref of a join in flight -> its topic
        self._waiting: dict[str, asyncio.Future[Reply]] = {}
        self._sizes: dict[str, int] = {}          # ref of a request waiting -> size of its frame
        self._reply_timeout_s = reply_timeout_s
        self._heartbeat_interval_s = heartbeat_interval_s
        self._dead_threshold_s = dead_threshold_s
        self.frame_limit = frame_limit if frame_limit is not None else FrameLimit()
        self.closed = False
        self.declared_dead = False
        self.close_code: int | None = None
        self.tasks: set[asyncio.Task[Any]] = set()   # work begun on this connection
        self.joined_at_close: set[str] = set()
        self.last_frame_at = time.monotonic()
        self.dropped_frames = 0

    def is_joined(self, topic: str) -> bool:
        return topic in self._joined

    def joined_topics(self) -> set[str]:
        return set(self._joined)

    # -- reading ------------------------------------------------------------------------
    async def run(self) -> int | None:
        """Reads frames until the connection ends, with heartbeats and the silence watchdog
        running beside; returns the close code to report (DEAD_CLOSE_CODE for a connection
        declared dead)."""
        keepers: list[asyncio.Task[None]] = []
        if self._heartbeat_interval_s is not None:
            keepers.append(asyncio.ensure_future(self._heartbeats(self._heartbeat_interval_s)))
        if self._dead_threshold_s is not None:
            keepers.append(asyncio.ensure_future(self._watchdog(self._dead_threshold_s)))
        try:
            await self._read()
        finally:
            for task in keepers:
                task.cancel()
            await asyncio.gather(*keepers, return_exceptions=True)
        return self.close_code

    async def _read(self) -> None:
        try:
            async for raw in self.ws:
                self.last_frame_at = time.monotonic()
                if self.declared_dead:
                    break
                try:
                    self._dispatch(raw)
                except Exception as exc:  # a frame must never take the reader down
                    self._drop("handler_error", f"{type(exc).__name__}: {exc}")
        except ConnectionClosed:
            pass
        finally:
            self._finish()

    def _finish(self) -> None:
        self.closed = True
        self.joined_at_close = set(self._joined)
        self._join_refs.clear()
        self._joined.clear()
        code = self.ws.close_code
        self.close_code = DEAD_CLOSE_CODE if self.declared_dead else code
        # A server closes with 1009 without saying which frame was too big: the largest waiting.
        largest = max(self._sizes.values(), default=None) if code == MESSAGE_TOO_BIG_CODE else None
        if largest is not None:
            self.frame_limit.learn_refused(largest)
        for ref, future in self._waiting.items():
            if not future.done():
                future.set_exception(ConnectionLost(largest is not None and self._sizes.get(ref) == largest))
                future.exception()  # a waiter that already gave up need not see it
        self._waiting.clear()
        self._sizes.clear()

    def _drop(self, kind: str, detail: str) -> None:
        self.dropped_frames += 1
        # Frames of a channel just left or replaced are ordinary; anything else is the server's fault.
        level = logging.DEBUG if kind in ("no_channel", "stale_channel") else logging.WARNING
        emit(TRANSPORT_LOGGER, level, "frame.dropped", kind=kind, detail=detail[:200])

    def _fields(self, frame: object) -> tuple[Any, Any, Any, Any, Any] | None:
        if self.version == 2:
            if not isinstance(frame, list):
                return None
            items = list[Any](frame)  # pyright: ignore[reportUnknownArgumentType]
            if len(items) != 5:
                return None
            return items[0], items[1], items[2], items[3], items[4]
        if not isinstance(frame, dict):
            return None
        fields = cast(dict[str, Any], frame)
        if not {"topic", "event", "payload", "ref"} <= fields.keys():
            return None
        return fields.get("join_ref"), fields["ref"], fields["topic"], fields["event"], fields["payload"]

    def _dispatch(self, raw: str | bytes) -> None:
        try:
            frame = json.loads(raw)
        except (ValueError, TypeError, RecursionError):
            self._drop("not_json", repr(raw[:60]))
            return
        fields = self._fields(frame)
        if fields is None:
            self._drop("bad_shape", f"not a v{self.version} frame: {type(frame).__name__}")
            return
        join_ref, ref, topic, event, payload = fields
        if not isinstance(topic, str) or not isinstance(event, str):
            self._drop("bad_shape", "topic or event is not a string")
            return
        if event == "phx_reply":
            self._on_reply(ref, payload)
            return
        live = self._join_refs.get(topic)
        if live is None:
            self._drop("no_channel", f"{event} on {topic}")
            return
        if event in ("phx_error", "phx_close"):
            # The server names the channel as join_ref (v2) or, in object frames that carry
            # no join_ref, as the ref.
            named = join_ref if self.version == 2 else (join_ref if join_ref is not None else ref)
            if named != live:
                self._drop("stale_channel", f"{event} on {topic} under {named!r}")
                return
            self._forget(topic)
            self._on_channel_lost(topic, event)
            return
        if join_ref != live and (self.version == 2 or join_ref is not None):
            self._drop("stale_channel", f"{event} on {topic} under {join_ref!r}")
            return
        self._on_push(topic, event, payload)

    def _on_reply(self, ref: Any, payload: Any) -> None:
        key = str(ref)
        future = self._waiting.pop(key, None)
        if future is None:
            self._drop("unknown_ref", f"reply to ref {key[:40]!r}")
            return
        body = cast(dict[str, Any], payload) if isinstance(payload, dict) else {}
        response = body.get("response")
        reply = Reply(str(body.get("status")),
                      cast(dict[str, Any], response) if isinstance(response, dict) else {})
        topic = self._joins.pop(key, None)
        if topic is not None and self._join_refs.get(topic) == key:
            # Settled here, before any push that follows the reply is read.
            if reply.ok:
                self._joined.add(topic)
            else:
                self._forget(topic)
        if not future.done():
            future.set_result(reply)

    def _forget(self, topic: str) -> None:
        self._join_refs.pop(topic, None)
        self._joined.discard(topic)

    # -- keeping alive ------------------------------------------------------------------
    async def _heartbeats(self, interval: float) -> None:
        while not self.closed:
            await asyncio.sleep(interval)
            try:
                await self.heartbeat()
            except ConnectionLost:
                return

    async def _watchdog(self, threshold: float) -> None:
        while not self.closed:
            silent = time.monotonic() - self.last_frame_at
            if silent >= threshold:
                emit(TRANSPORT_LOGGER, logging.WARNING, "connection.silent", silent_s=round(silent, 3))
                self.declare_dead()
                return
            await asyncio.sleep(threshold - silent)

    def declare_dead(self) -> None:
        """Ends a connection that stopped answering: the transport is cut at once (a close
        handshake with a silent peer would only wait), and the close is reported as
        DEAD_CLOSE_CODE."""
        if self.closed or self.declared_dead:
            return
        self.declared_dead = True
        self.ws.transport.abort()

    # -- requests -----------------------------------------------------------------------
    def _encode(self, join_ref: str | None, ref: str, topic: str, event: str, payload: Any) -> str:
        if self.version == 2:
            return json.dumps([join_ref, ref, topic, event, payload])
        return json.dumps({"topic": topic, "event": event, "payload": payload, "ref": ref, "join_ref": join_ref})

    async def request(self, topic: str, event: str, payload: dict[str, Any],
                      join_ref: str | None = None, ref: str | None = None) -> Reply:
        """Sends one request and returns its reply. A frame the platform is known not to take
        is refused here (the reply "message too big") without being sent."""
        if self.closed:
            raise ConnectionLost()
        ref = ref if ref is not None else str(next(self._refs))
        text = self._encode(join_ref if join_ref is not None else self._join_refs.get(topic),
                            ref, topic, event, payload)
        size = len(text)   # json.dumps writes ASCII: one byte a character
        if not self.frame_limit.allows(size):
            return TOO_BIG_REPLY
        future: asyncio.Future[Reply] = asyncio.get_running_loop().create_future()
        self._waiting[ref] = future
        self._sizes[ref] = size
        try:
            await self.ws.send(text)
            return await asyncio.wait_for(future, self._reply_timeout_s)
        except (TimeoutError, asyncio.TimeoutError) as exc:
            # No answer is not a no: the request may have been applied. A platform that stops
            # answering is as good as gone: end the connection, so that everything waiting on
            # it moves to the next one.
            self._waiting.pop(ref, None)
            emit(TRANSPORT_LOGGER, logging.WARNING, "request.timeout", topic=topic, request=event)
            self.declare_dead()
            raise ConnectionLost(detail="no reply in time") from exc
        except ConnectionClosed as exc:
            self._waiting.pop(ref, None)
            # A frame too big for the server can still be draining when it closes: the reader
            # has then already said whether this one was the frame refused.
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

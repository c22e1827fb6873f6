"""`Host`: one agent on the platform, every message handed to it exactly once."""

from __future__ import annotations

import asyncio
import logging
import math
import os
import ssl as ssl_module
import time
import urllib.parse
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import Any, cast

import orvu_sdk_core as core

from ._logs import add_secret
from ._runtime import Runtime
from .delivery import Agent, DeliveryDriver, DeliverySettings
from .journal import Journal
from .store import LedgerStore
from .events import MessageCreated, Participant, RoomEvent, SupersedeNotice
from .hooks import Hooks
from .phoenix import Params, redact_url
from .session import SessionDriver
from .tools import ToolBackend

__all__ = ["Host"]

# How long a stop waits for the terminal writes of turns it cut short.
_CUT_WRITE_GRACE_S = 2.0


def _positive(name: str, value: object, *, allow_none: bool = False, integer: bool = False) -> None:
    """Refuses a value of `name` that is not a positive number (an int where `integer`)."""
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, int if integer else (int, float)):
        raise TypeError(f"`{name}` must be {'an int' if integer else 'a number'}, got {type(value).__name__}")
    number = float(value)
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"`{name}` must be greater than 0, got {value!r}")


def _require(name: str, value: object, kind: type, *, optional: bool = False) -> None:
    if value is None and optional:
        return
    if not isinstance(value, kind):
        raise TypeError(f"`{name}` must be a {kind.__name__}, got {type(value).__name__}")


def _policy(policy: object) -> core.SessionPolicy:
    if policy is None:
        return core.SessionPolicy.default()
    if isinstance(policy, core.SessionPolicy):
        return policy
    if not isinstance(policy, Mapping):
        raise TypeError("`policy` must be a SessionPolicy or a mapping of its settings")
    return core.SessionPolicy(cast(Mapping[str, float], policy), trace_context="policy")


class Host:
    """Connects the agent `agent_id` to the platform at `url` and runs `agent` on every
    message posted in its rooms.

    `agent` is `async def agent(message, tools) -> None`: `message` is the validated
    `message_created` payload, `tools` the turn's `Tools` (`await tools.post(text)` replies).
    An agent that raises, or runs past `turn_timeout_s`, fails its turn; the message is tried
    again while `max_retries` (attempts in all) allows, then settled as failed.

    `params` are the connection parameters (the agent's token), a mapping or a callable that
    returns one (it may be async), asked again on every connect; they never appear in a log,
    an exception or a repr. `policy` is a `SessionPolicy` or its configuration mapping.
    `headers` are sent with the upgrade request; `ssl` is a custom TLS context for `wss://`.
    `max_frame_bytes` is the platform's frame limit when it is known (frames above it are
    refused here; without it the limit is learned from the platform's first refusal).
    `max_queue` bounds each room's queue, `max_concurrent_turns` the turns running across
    rooms. `turn_timeout_s` and `stop_timeout_s` are wall-clock seconds: how long a turn may
    run, and how long `stop()` lets turns in flight finish before it cuts them short.
    `store` keeps the delivery ledger across restarts: a path to an SQLite database (see
    `orvu_sdk.store.SQLiteStore`) or a `LedgerStore`; a bad store raises `StoreError` here.
    `time_scale` runs the host's clock faster for tests (0.001: a second of backoff lasts a
    millisecond)."""

    def __init__(self, url: str, *, agent_id: str, agent: Agent,
                 policy: core.SessionPolicy | Mapping[str, float] | None = None,
                 params: Params | None = None, headers: Mapping[str, str] | None = None,
                 ssl: ssl_module.SSLContext | None = None, hooks: Hooks | None = None,
                 metrics: Callable[[str, int], None] | None = None, tool_backend: ToolBackend | None = None,
                 max_retries: int = 2, max_queue: int = 100, max_concurrent_turns: int = 8,
                 turn_timeout_s: float | None = 300.0, stop_timeout_s: float = 30.0,
                 write_retry_s: float = 1.0, max_write_refusals: int = 3,
                 max_frame_bytes: int | None = None, time_scale: float = 1.0, seed: int | None = None,
                 store: str | os.PathLike[str] | LedgerStore | None = None) -> None:
        _require("url", url, str)
        scheme = urllib.parse.urlsplit(url).scheme
        if scheme not in ("ws", "wss"):
            raise ValueError("`url` must be a ws:// or wss:// URL")
        for value in urllib.parse.parse_qs(urllib.parse.urlsplit(url).query).values():
            for item in value:
                add_secret(item)
        _require("agent_id", agent_id, str)
        if not agent_id:
            raise ValueError("`agent_id` must not be empty")
        if not callable(agent):
            raise TypeError("`agent` must be an async callable agent(message, tools)")
        session_policy = _policy(policy)
        checked_params: object = params
        if isinstance(checked_params, Mapping):
            for item in dict[Any, Any](checked_params).values():  # pyright: ignore[reportUnknownArgumentType]
                add_secret(str(item))
        elif checked_params is not None and not callable(checked_params):
            raise TypeError("`params` must be a mapping or a callable returning one")
        _require("headers", headers, Mapping, optional=True)
        _require("ssl", ssl, ssl_module.SSLContext, optional=True)
        if ssl is not None and scheme != "wss":
            raise ValueError("`ssl` needs a wss:// `url`")
        _require("hooks", hooks, Hooks, optional=True)
        if metrics is not None and not callable(metrics):
            raise TypeError("`metrics` must be a callable metrics(name, amount)")
        _positive("max_retries", max_retries, integer=True)
        _positive("max_queue", max_queue, integer=True)
        _positive("max_concurrent_turns", max_concurrent_turns, integer=True)
        _positive("max_write_refusals", max_write_refusals, integer=True)
        _positive("turn_timeout_s", turn_timeout_s, allow_none=True)
        _positive("stop_timeout_s", stop_timeout_s)
        _positive("write_retry_s", write_retry_s)
        _positive("time_scale", time_scale)
        _positive("max_frame_bytes", max_frame_bytes, allow_none=True, integer=True)
        self.agent_id = agent_id
        self.hooks = hooks if hooks is not None else Hooks()
        self.stop_timeout_s = stop_timeout_s
        self._url = url
        self._rt = Runtime(agent_id=agent_id, policy=session_policy, time_scale=time_scale, seed=seed,
                           hooks=self.hooks, metrics=metrics)
        settings = DeliverySettings(max_retries=max_retries, max_queue=max_queue,
                                    max_concurrent_turns=max_concurrent_turns, turn_timeout_s=turn_timeout_s,
                                    write_retry_s=write_retry_s, max_write_refusals=max_write_refusals)
        #: The delivery layer (claims, queues, turns, writes) and the session layer (connects,
        #: topics, rooms): read them for diagnostics; drive the host through its methods.
        journal = Journal(store, max_retries=max_retries)
        self.delivery_driver = DeliveryDriver(self._rt, agent, settings, tool_backend, journal=journal)
        self._stored = store is not None
        self.session_driver = SessionDriver(self._rt, self.delivery_driver, url=url, params=params,
                                            headers=headers, ssl=ssl, on_push=self._on_push)
        self.delivery_driver.resync_room = self.session_driver.resync_room
        self.session_driver.frame_limit.max_bytes = max_frame_bytes
        self._run_task: asyncio.Task[core.SessionState] | None = None
        self._running = False
        self._stop_requested = False
        self._stopping: asyncio.Future[None] | None = None

    def __repr__(self) -> str:
        return f"Host({redact_url(self._url)!r}, agent_id={self.agent_id!r}, state={self.state})"

    # -- state ----------------------------------------------------------------------------
    @property
    def url(self) -> str:
        """The platform's URL with its query values hidden."""
        return redact_url(self._url)

    @property
    def state(self) -> core.SessionState:
        return self._rt.session.state

    @property
    def dead_reason(self) -> core.DeadReason | None:
        """Why the session died, once it has (None after a stop asked for by `stop()`)."""
        if self._stop_requested:
            return None
        for _, outcome in reversed(self.session_driver.outcomes):
            if outcome.dead_reason is not None:
                return outcome.dead_reason
        return None

    @property
    def stop_requested(self) -> bool:
        return self._stop_requested

    @property
    def stats(self) -> dict[str, int]:
        """The metrics so far: messages_handled, redeliveries_recognised, reconnects,
        writes_parked, turns_failed."""
        return {name: self._rt.stats[name] for name in
                ("messages_handled", "redeliveries_recognised", "reconnects", "writes_parked", "turns_failed")}

    def rooms(self) -> list[str]:
        """The rooms whose topics are joined on the live connection."""
        return sorted(self._rt.ready_rooms)

    def participants(self, room_id: str) -> list[Participant]:
        """The participants of `room_id` as the platform last listed them."""
        return self.delivery_driver.participants_of(room_id)

    # -- running --------------------------------------------------------------------------
    async def run(self) -> core.SessionState:
        """Runs the session until it ends (dead, or stopped) and returns its final state."""
        if self._running:
            raise RuntimeError("this Host is already running")
        if self.state is core.SessionState.Dead:
            raise RuntimeError("this Host's session is over; make a new Host")
        self._running = True
        recovery = self.delivery_driver.journal.recovery
        if not self._stored:
            self._rt.log("store.none", logging.WARNING,
                         note="no store: a restart forgets retry budgets and owed writes")
        else:
            self._rt.log("store.replayed", logging.INFO, start=recovery.start, records=recovery.replayed,
                         owed=len(recovery.owed), cut_short=len(recovery.cut_short))
        self.delivery_driver.send_owed_writes()
        try:
            state = await self.session_driver.run()
        finally:
            await self._finish()
            self._running = False
        return state

    async def stop(self) -> None:
        """Stops gracefully: takes no new message, lets turns in flight finish (or cuts them
        short and settles them after `stop_timeout_s`), leaves the rooms and ends the session."""
        if self._stopping is None:
            self._stop_requested = True
            self._stopping = asyncio.ensure_future(self._stop())
        # Every caller returns once the stop is done; cancelling one caller stops nothing.
        await asyncio.shield(self._stopping)

    async def _stop(self) -> None:
        driver = self.session_driver
        delivery = self.delivery_driver
        driver.stopping = True
        delivery.accepting = False
        delivery.drop_queued()
        self._rt.log("host.stopping", logging.INFO)
        if not await self._wait_idle(self.stop_timeout_s):
            delivery.cut_all("the host stopped before the turn finished")
            await self._wait_idle(_CUT_WRITE_GRACE_S)
        await driver.leave_everything()
        self._rt.session.end()
        socket = self._rt.socket
        if socket is not None and not socket.closed:
            await socket.close(1000)
        driver.interrupt_waits()
        await self._rt.changed_now()

    async def _wait_idle(self, timeout: float) -> bool:
        end = time.monotonic() + timeout
        while not self.delivery_driver.idle():
            left = end - time.monotonic()
            if left <= 0 or self._rt.dead():
                return self.delivery_driver.idle()
            try:
                await asyncio.wait_for(self._rt.until(self.delivery_driver.idle), left)
            except (TimeoutError, asyncio.TimeoutError):
                pass
        return True

    async def _finish(self) -> None:
        rt = self._rt
        if rt.session.state is not core.SessionState.Dead:
            rt.session.end()
        self.session_driver.finish()
        await rt.changed_now()
        await self.delivery_driver.close()
        pending = [task for task in rt.tasks if not task.done()]
        for task in pending:
            task.cancel()
        await asyncio.gather(*pending, return_exceptions=True)
        if not self._stop_requested:
            rt.fire("on_dead", self.dead_reason)
        rt.log("session.over", logging.INFO, state=str(rt.session.state), stopped=self._stop_requested)

    async def __aenter__(self) -> Host:
        self._run_task = asyncio.ensure_future(self.run())
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.stop()
        if self._run_task is not None:
            await asyncio.gather(self._run_task, return_exceptions=True)

    # -- inbound events -------------------------------------------------------------------
    def _on_push(self, topic: str, event: str, payload: Any) -> None:
        rt = self._rt
        kind, _, key = topic.partition(":")
        try:
            normalized = core.validate_event_payload(event, payload, trace_context=topic)
            room = key if kind in ("chat_room", "room_participants") else None
            decision = core.evaluate_delivery_event(event, room, payload, self.agent_id, trace_context=topic)
        except (TypeError, ValueError) as exc:
            rt.log("event.refused", logging.WARNING, topic=topic[:100], event_name=event[:60],
                   error=str(exc)[:200])
            return
        if decision["decision"] == "invocation":
            self.delivery_driver.on_invocation(decision["room_id"], decision["message_id"],
                                               cast(MessageCreated, normalized))
        elif decision["decision"] == "skip_self":
            rt.log("message.own", room=decision["room_id"], message=decision["message_id"])
        elif decision["decision"] == "cleanup":
            self.session_driver.on_room_gone(decision["room_id"])
        elif event == "room_added":
            rt.fire("on_room_added", cast(RoomEvent, normalized))
            self.session_driver.admit(normalized["id"])
        elif event in ("participant_added", "participant_removed") and room is not None:
            roster = rt.rosters.setdefault(room, core.ParticipantRoster())
            changed = roster.add(normalized) if event == "participant_added" else roster.remove(normalized["id"])
            if changed:
                rt.fire("on_participants", room, self.delivery_driver.participants_of(room))
        elif event == "supersede":
            rt.fire("on_supersede", cast(SupersedeNotice, normalized))
            self.session_driver.on_supersede(normalized)
        elif event.startswith("contact"):
            rt.fire("on_contact", event, normalized)
        elif event == "agent.control":
            rt.fire("on_control", normalized)
        else:
            rt.log("event.ignored", event_name=event)

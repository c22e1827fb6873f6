"""What the session and delivery drivers share: the clock, the live socket, the rooms ready
for writes, the module's session objects, task spawning, the change signal, logging, hooks
and metrics."""

from __future__ import annotations

import asyncio
import collections
import inspect
import logging
import random
import time
from collections.abc import Awaitable, Callable
from typing import Any

import orvu_sdk_core as core

from ._logs import LOGGER, emit, redact
from .hooks import Hooks
from .phoenix import PhoenixSocket

# Metric names handed to the metrics callback, with the increment.
METRICS = ("messages_handled", "redeliveries_recognised", "reconnects", "writes_parked", "turns_failed")


class Runtime:
    def __init__(self, *, agent_id: str, policy: core.SessionPolicy, time_scale: float, seed: int | None,
                 hooks: Hooks, metrics: Callable[[str, int], None] | None) -> None:
        self.agent_id = agent_id
        self.policy = policy
        self.time_scale = time_scale
        self.hooks = hooks
        self._metrics = metrics
        self.rng = random.Random(seed)
        self._t0 = time.monotonic()
        self.session = core.Session(policy)
        self.rosters: dict[str, core.ParticipantRoster] = {}
        self.socket: PhoenixSocket | None = None
        self.ready_rooms: set[str] = set()
        self.stats: collections.Counter[str] = collections.Counter()
        self.tasks: set[asyncio.Task[Any]] = set()
        self._changed: asyncio.Condition | None = None

    # -- clock ----------------------------------------------------------------------------
    def now(self) -> float:
        """Seconds on the host's clock, which the module receives as `now_s`."""
        return (time.monotonic() - self._t0) / self.time_scale

    def real(self, seconds: float) -> float:
        """Host seconds as wall-clock seconds."""
        return max(0.0, seconds) * self.time_scale

    async def sleep(self, seconds: float) -> None:
        await asyncio.sleep(self.real(seconds))

    # -- change signal --------------------------------------------------------------------
    @property
    def changed(self) -> asyncio.Condition:
        if self._changed is None:
            self._changed = asyncio.Condition()
        return self._changed

    async def changed_now(self) -> None:
        async with self.changed:
            self.changed.notify_all()

    def poke(self) -> None:
        self.spawn(self.changed_now())

    async def until(self, predicate: Callable[[], bool]) -> None:
        """Waits until `predicate()` holds or the session is dead."""
        async with self.changed:
            await self.changed.wait_for(lambda: predicate() or self.dead())

    def dead(self) -> bool:
        return self.session.state is core.SessionState.Dead

    def room_ready(self, room: str) -> bool:
        socket = self.socket
        return room in self.ready_rooms and socket is not None and not socket.closed

    # -- tasks ----------------------------------------------------------------------------
    def spawn(self, coro: Awaitable[Any], socket: PhoenixSocket | None = None) -> asyncio.Task[Any]:
        task: asyncio.Task[Any] = asyncio.ensure_future(coro)
        self.tasks.add(task)
        task.add_done_callback(self._task_done)
        if socket is not None:
            # Work begun on this connection: it ends with the connection.
            socket.tasks.add(task)
            task.add_done_callback(socket.tasks.discard)
        return task

    def _task_done(self, task: asyncio.Task[Any]) -> None:
        self.tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            self.error(task.exception(), "background task")

    # -- reporting ------------------------------------------------------------------------
    def log(self, event: str, level: int = logging.DEBUG, **fields: Any) -> None:
        emit(LOGGER, level, event, **fields)

    def count(self, metric: str, amount: int = 1) -> None:
        self.stats[metric] += amount
        if self._metrics is not None:
            try:
                self._metrics(metric, amount)
            except Exception as exc:
                self.error(exc, "metrics callback")

    def fire(self, hook: str, *args: Any) -> None:
        """Calls hook `hook` if the host author set it; an async hook runs as its own task.
        A hook that raises is reported to the error hook and changes nothing else."""
        function = getattr(self.hooks, hook)
        if function is None:
            return
        try:
            result = function(*args)
        except Exception as exc:
            self.error(exc, f"hook {hook}")
            return
        if inspect.isawaitable(result):
            self.spawn(self._await_hook(hook, result))

    async def _await_hook(self, hook: str, result: Awaitable[Any]) -> None:
        try:
            await result
        except Exception as exc:
            self.error(exc, f"hook {hook}")

    def error(self, exc: BaseException | None, where: str, quiet: bool = False) -> None:
        """Reports `exc` to the error hook, and logs it unless the caller logs it its own way."""
        if exc is None:
            return
        if not quiet:
            self.log("host.error", logging.ERROR, where=where, error=redact(f"{type(exc).__name__}: {exc}")[:500])
        if self.hooks.on_error is not None and not where.startswith("hook on_error"):
            try:
                result = self.hooks.on_error(exc, where)
                if inspect.isawaitable(result):
                    self.spawn(self._await_hook("on_error", result))
            except Exception as inner:
                self.log("host.error", logging.ERROR, where="hook on_error",
                         error=redact(f"{type(inner).__name__}: {inner}")[:500])

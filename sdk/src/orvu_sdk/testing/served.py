"""The simulator served from a thread and an event loop of its own."""

from __future__ import annotations

import asyncio
import contextlib
import threading
from typing import Any, Coroutine, Generator, Iterable, TypeVar

from orvu_sdk.testing.simulator import PlatformSimulator

__all__ = ["serve_in_thread"]

_T = TypeVar("_T")
# How long starting or stopping the simulator may take before the caller hears of it.
_CONTROL_TIMEOUT_S = 30.0


@contextlib.contextmanager
def serve_in_thread(*, faults: Iterable[str] = (), fault_every_s: tuple[float, float] = (0.05, 0.25),
                    port: int = 0, **options: Any) -> Generator[PlatformSimulator, None, None]:
    """A started `PlatformSimulator(**options)` running on its own thread and loop, so that
    any test can use it: a plain function that runs its host with `asyncio.run`, or a
    coroutine under pytest-asyncio, anyio or any other runner. Its coroutine methods may
    be awaited from the test's loop (they run on the simulator's). With `faults`, it
    strikes with them from the start (see `PlatformSimulator.start_faults`). Stopped, and
    its loop closed, on leaving the block."""
    simulator = PlatformSimulator(**options)
    kinds = tuple(faults)
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, name="orvu-platform-simulator", daemon=True)
    thread.start()

    def run(coroutine: Coroutine[Any, Any, _T]) -> _T:
        return asyncio.run_coroutine_threadsafe(coroutine, loop).result(_CONTROL_TIMEOUT_S)

    try:
        run(simulator.start(port))
        if kinds:
            run(simulator.start_faults(kinds, every_s=fault_every_s))
        yield simulator
    finally:
        try:
            run(_shut_down(simulator))
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join(_CONTROL_TIMEOUT_S)
            loop.close()


async def _shut_down(simulator: PlatformSimulator) -> None:
    await simulator.stop()
    # Whatever the server left behind (closing handshakes, timers) ends with the loop.
    current = asyncio.current_task()
    left = [task for task in asyncio.all_tasks() if task is not current]
    for task in left:
        task.cancel()
    await asyncio.gather(*left, return_exceptions=True)

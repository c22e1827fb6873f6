"""The test kit's pytest plugin: the `platform` fixture and the `orvu_platform` marker.

Installing orvu-sdk registers this module through the "pytest11" entry point, so it
loads into every pytest session of that environment. It imports nothing but pytest
until a test asks for the fixture.

    @pytest.mark.orvu_platform(rooms=("a", "b"), seed=7, faults=("drop", "crash_channel"))
    def test_my_host(platform):
        ...

The simulator runs on a thread and an event loop of its own, so the fixture is a plain
one that serves every kind of test alike: a synchronous test that runs its host with
`asyncio.run`, or a coroutine test under pytest-asyncio, anyio or another runner. The
simulator's coroutine methods (`publish`, `inject`, `wait_settled`, ...) may be awaited
from the test's own loop.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Generator

import pytest

if TYPE_CHECKING:
    from orvu_sdk.testing.simulator import PlatformSimulator

MARKER = "orvu_platform"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(*, rooms=('lobby',), seed=0, faults=(), fault_every_s=(0.05, 0.25), agent_id='agent-1', "
        "**options): how the `platform` fixture of orvu_sdk.testing is built: the agent's rooms, the seed "
        "of its random choices, the faults it strikes with (one at a time, every fault_every_s seconds, "
        "until `await platform.calm()`), and any other PlatformSimulator option.")


@pytest.fixture
def platform(request: pytest.FixtureRequest) -> Generator[PlatformSimulator, None, None]:
    """A started `PlatformSimulator` on 127.0.0.1, served from its own thread and loop,
    configured by the test's `orvu_platform` marker; stopped after the test."""
    from orvu_sdk.testing.served import serve_in_thread

    marker = request.node.get_closest_marker(MARKER)
    if marker is not None and marker.args:
        raise pytest.UsageError(f"@pytest.mark.{MARKER} takes keyword arguments only, got {marker.args!r}")
    options = dict(marker.kwargs) if marker is not None else {}
    if "rooms" in options and isinstance(options["rooms"], str):
        raise pytest.UsageError(f"@pytest.mark.{MARKER}: rooms must be a sequence of room ids, not a string")
    with serve_in_thread(**options) as simulator:
        yield simulator

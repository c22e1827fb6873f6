"""Test kit for hosts: a platform simulator that judges a host from its own records.

    async with PlatformSimulator(rooms=("lobby",)) as platform:
        ...  # run the host against platform.url, publish messages, inject faults
    assert_exactly_once(platform)

The pytest plugin of this package (registered as "orvu_sdk") gives a `platform`
fixture; `python -m orvu_sdk.testing serve` runs the simulator for hosts written in
other languages. Names are imported on first use, so that loading the plugin costs a
test session that does not use it nothing.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from orvu_sdk.testing.simulator import (
        RETRYABLE_FAULTS,
        SILENT_FAULTS,
        TERMINAL_FAULTS,
        PlatformSimulator,
        Records,
        SimMessage,
    )
    from orvu_sdk.testing.served import serve_in_thread
    from orvu_sdk.testing.verdict import Verdict, assert_exactly_once, judge

__all__ = ["PlatformSimulator", "RETRYABLE_FAULTS", "Records", "SILENT_FAULTS", "SimMessage", "TERMINAL_FAULTS",
           "Verdict", "assert_exactly_once", "judge", "serve_in_thread"]

_HOMES = {"Verdict": "verdict", "assert_exactly_once": "verdict", "judge": "verdict", "serve_in_thread": "served"}


def __getattr__(name: str) -> Any:
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    module = importlib.import_module(f"{__name__}.{_HOMES.get(name, 'simulator')}")
    value = getattr(module, name)
    globals()[name] = value
    return value

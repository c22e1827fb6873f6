"""Shared by the test kit's tests: how a user's separate process finds the library and
the example host, as it would once orvu-sdk is installed."""

from __future__ import annotations

import importlib.metadata
import os
import sys
from pathlib import Path

import pytest

orvu_sdk = pytest.importorskip("orvu_sdk")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PLUGIN_REGISTERED = any(entry.value == "orvu_sdk.testing.plugin"
                        for entry in importlib.metadata.entry_points(group="pytest11"))


def user_env() -> dict[str, str]:
    """The environment of a user's process: the library importable from where this suite
    found it (the installed wheel, or a source tree on PYTHONPATH)."""
    found = str(Path(orvu_sdk.__file__).resolve().parent.parent)
    path = [found, os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in path if p)}


def pytest_command(*args: str) -> list[str]:
    """pytest in a fresh process with the kit's plugin: loaded through its entry point
    when orvu-sdk is installed, named with -p when the library is only on the path."""
    plugin = [] if PLUGIN_REGISTERED else ["-p", "orvu_sdk.testing.plugin"]
    return [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *plugin, *args]

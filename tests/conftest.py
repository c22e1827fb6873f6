import os
import subprocess

import pytest
from hypothesis import HealthCheck, settings

import orvu_sdk_core
from native import compile_core_check

# Example counts for the property tests. "default" keeps the suite quick;
# the sanitized run (much slower per call) uses fewer; "thorough" is for a
# long local hunt: ORVU_HYPOTHESIS_PROFILE=thorough pytest tests/test_hostile_input.py
_quiet = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("default", deadline=None, suppress_health_check=_quiet)
settings.register_profile("sanitize", max_examples=15, deadline=None, suppress_health_check=_quiet)
settings.register_profile("thorough", max_examples=2000, deadline=None, suppress_health_check=_quiet)
settings.load_profile(os.environ.get("ORVU_HYPOTHESIS_PROFILE", "default"))


def pytest_report_header(config):
    return f"orvu_sdk_core from {orvu_sdk_core.__file__}"


@pytest.fixture(scope="session")
def core_exhaustion(tmp_path_factory):
    """Runs tests/core/exhaustion.cpp, which starts the membership counters near their end."""
    binary = compile_core_check(tmp_path_factory.mktemp("core"), "exhaustion")

    def run(part):
        done = subprocess.run([binary, part], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    return run


@pytest.fixture(scope="session")
def reimported_module():
    """A second module object of orvu_sdk_core (imported again after removing
    it from sys.modules), with classes and members of its own."""
    import importlib
    import sys

    saved = sys.modules.pop("orvu_sdk_core")
    try:
        return importlib.import_module("orvu_sdk_core")
    finally:
        sys.modules["orvu_sdk_core"] = saved

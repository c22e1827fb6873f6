import subprocess

import pytest

import orvu_sdk_core
from native import compile_core_check


def pytest_report_header(config):
    return f"orvu_sdk_core from {orvu_sdk_core.__file__}"


@pytest.fixture(scope="session")
def core_exhaustion(tmp_path_factory):
    """Runs tests/core/exhaustion.cpp, which starts the membership counters near their end."""
    binary = compile_core_check(tmp_path_factory.mktemp("core"), "exhaustion",
                                ["subscriptions.cpp", "room_roster.cpp", "enums.cpp"])

    def run(part):
        done = subprocess.run([binary, part], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    return run

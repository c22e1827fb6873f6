"""The test kit's pytest plugin as a host author uses it: test files in a fresh
directory, run by pytest in a process of their own, with the example host as the
host under test."""

from __future__ import annotations

import re
import subprocess
import textwrap

import pytest

from kit_user import EXAMPLES, PLUGIN_REGISTERED, pytest_command, user_env

HOST_TESTS = f'''
import asyncio
import sys

import pytest

sys.path.insert(0, {str(EXAMPLES)!r})
from reference_host import EchoAgent
from orvu_sdk import Host
from orvu_sdk.testing import PlatformSimulator, assert_exactly_once


async def drive(platform, messages, rooms):
    host = Host(platform.url, agent_id=platform.agent_id, agent=EchoAgent(), time_scale=0.001)
    task = asyncio.create_task(host.run())
    await platform.wait_for(platform.fully_subscribed, 20)
    for n in range(messages):
        await platform.publish(rooms[n % len(rooms)], f"hello {{n}}")
        await asyncio.sleep(0.01)
    await platform.calm()
    await platform.wait_settled(30)
    await host.stop()
    await asyncio.wait_for(task, 20)


@pytest.mark.orvu_platform(rooms=("a", "b"), seed=5, faults=("drop", "crash_channel", "close_channel"),
                           fault_every_s=(0.02, 0.06))
def test_faults_chosen_by_the_marker(platform):
    asyncio.run(drive(platform, 40, ("a", "b")))
    assert_exactly_once(platform)
    assert sorted(platform.members) == ["a", "b"]
    struck = {{kind for kind, count in platform.records.faults.items() if count}}
    assert struck and struck <= {{"drop", "crash_channel", "close_channel"}}


def test_the_default_platform(platform):
    asyncio.run(drive(platform, 3, ("lobby",)))
    assert assert_exactly_once(platform).messages == 3 and not platform.records.faults


def test_a_simulator_of_ones_own():
    async def main():
        async with PlatformSimulator(rooms=("x",)) as platform:
            await drive(platform, 2, ("x",))
        return platform
    assert assert_exactly_once(asyncio.run(main())).messages == 2


def test_no_host_loses_every_message(platform):
    async def main():
        await platform.publish("lobby", "nobody hears this")
    asyncio.run(main())
    assert_exactly_once(platform)


@pytest.mark.orvu_platform("lobby")
def test_positional_marker_arguments(platform):
    pass


@pytest.mark.orvu_platform(faults=("no_such_fault",))
def test_an_unknown_fault(platform):
    pass
'''


def run_user_tests(tmp_path, source: str, *args: str) -> subprocess.CompletedProcess[str]:
    (tmp_path / "test_user.py").write_text(textwrap.dedent(source), encoding="utf-8")
    return subprocess.run(pytest_command(*args), cwd=tmp_path, env=user_env(), capture_output=True,
                          text=True, timeout=300)


def test_a_host_authors_tests_pass_fail_and_err_as_they_should(tmp_path):
    done = run_user_tests(tmp_path, HOST_TESTS, "-rA")
    outcomes = {name: outcome for outcome, name in re.findall(r"^(PASSED|FAILED|ERROR) test_user\.py::(\w+)",
                                                              done.stdout, re.M)}
    assert outcomes == {
        "test_faults_chosen_by_the_marker": "PASSED", "test_the_default_platform": "PASSED",
        "test_a_simulator_of_ones_own": "PASSED", "test_no_host_loses_every_message": "FAILED",
        "test_positional_marker_arguments": "ERROR", "test_an_unknown_fault": "ERROR",
    }, done.stdout + done.stderr
    # The failing verdict names the message and what happened to it.
    assert "offending messages: m-00001" in done.stdout
    assert "m-00001: lost: never handed to the agent" in done.stdout
    assert "takes keyword arguments only" in done.stdout and "no_such_fault" in done.stdout


def test_a_session_that_does_not_use_the_plugin_pays_nothing_for_it(tmp_path):
    done = run_user_tests(tmp_path, '''
        import sys

        def test_nothing_of_the_kit_was_imported():
            heavy = {"websockets", "orvu_sdk_core", "orvu_sdk.testing.simulator", "orvu_sdk.testing.served"}
            assert heavy.isdisjoint(sys.modules), sorted(heavy & set(sys.modules))
            assert "orvu_sdk.testing.plugin" in sys.modules
    ''', "--markers")
    assert "@pytest.mark.orvu_platform(" in done.stdout, done.stdout + done.stderr
    done = run_user_tests(tmp_path, (tmp_path / "test_user.py").read_text(encoding="utf-8"))
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.skipif(not PLUGIN_REGISTERED, reason="orvu-sdk is not installed: its plugin registers at install")
def test_the_installed_library_registers_the_plugin(tmp_path):
    done = run_user_tests(tmp_path, "def test_nothing(): pass\n", "--trace-config")
    assert "orvu_sdk.testing.plugin" in done.stdout + done.stderr

"""The module in an isolated sub-interpreter with its own GIL: it imports, it
gives the same answers as in the main interpreter, its objects are its own,
and dropping and re-importing it neither crashes nor leaks."""

import json
import subprocess
import sys
import textwrap
import tracemalloc
from pathlib import Path

import pytest

import orvu_sdk_core as core

needs_subinterpreters = pytest.mark.skipif(
    sys.version_info < (3, 12), reason="isolated sub-interpreters with their own GIL need Python 3.12 or later")

MODULE_DIR = str(Path(core.__file__).resolve().parent)

# Runs in either interpreter: `run()` imports the module there and returns a
# JSON-ready record of a session cycle, delivery evaluations and a claim
# lifecycle. Members are recorded by repr, results by value.
SCENARIO = textwrap.dedent('''
    import sys
    import types

    def run():
        import orvu_sdk_core as core

        def outcome(o):
            return [repr(o.state), o.retry_after_s, repr(o.dead_reason), repr(o.stale_reason)]

        session = core.Session(core.SessionPolicy.default())
        epoch = session.begin_attempt(100.0)
        cycle = [outcome(session.on_connected(epoch, 100.0))]
        up_is_the_member = session.state is core.SessionState.Up
        cycle.append(outcome(session.on_socket_close(epoch, 103.0, 1006, 0.5)))
        cycle.append(outcome(session.on_upgrade_rejected(session.begin_attempt(110.0), 110.0, 503, 120.0, 0.0)))
        epoch = session.begin_attempt(300.0)
        cycle.append(outcome(session.on_connected(epoch, 300.0)))
        cycle.append(outcome(session.on_socket_close(epoch, 900.0, 1000, 0.5)))
        cycle.append(repr(session.end()))

        message = dict(id="m1", content="hi", message_type="text", sender_type="User", sender_id="u1",
                       inserted_at="t", updated_at="t", chat_room_id="r2")
        delivery = [
            core.evaluate_delivery_event("message_created", None, message, "a1"),
            core.evaluate_delivery_event("message_created", "r1", {**message, "sender_type": "Agent"}, "u1"),
            core.evaluate_delivery_event("room_deleted", None, {"id": "r9"}, "a1"),
            core.evaluate_delivery_event("agent.control", None, {"any": [1, 2.5, None]}, "a1"),
            core.validate_event_payload(core.EventType.MessageCreated, message),
            core.evaluate_drain_candidate(types.MappingProxyType({"id": "m1", "sender_id": "u1",
                                                                 "sender_type": "User"}), ["m1"], "a1"),
            core.evaluate_next_message("m1", "m2"),
        ]
        try:
            core.evaluate_delivery_event("message_created", None, {**message, "chat_room_id": 5}, "a1", "trace-1")
        except ValueError as error:
            delivery.append([str(error), [list(issue) for issue in error.issues], error.trace_context])

        registry, tracker = core.ClaimRegistry(2), core.RetryTracker(1)
        claims = [registry.try_claim("r1", "m1"), registry.try_claim("r1", "m1")]
        settlement = registry.record_processed_settlement("r1", "m1")
        claims.append(settlement)
        claims.append(registry.park_settlement("r1", "m1", settlement["token"], core.ParkedReason.Rejected))
        claims.append(registry.pending_ack("r1", "m1"))
        claims.append(registry.confirm_settlement("r1", "m1", settlement["token"], tracker))
        claims.append([registry.is_completed("r1", "m1"), registry.completed_ids("r1"), registry.inflight_ids("r1")])
        registry.release("r1", "m1")
        claims.append(registry.inflight_ids("r1"))

        return {"session": cycle, "up_is_the_member": up_is_the_member, "delivery": delivery, "claims": claims,
                "main_interpreter_module": id(core) == MAIN_MODULE_ID}
''')


def run_in_main():
    namespace = {"MAIN_MODULE_ID": id(core)}
    exec(SCENARIO, namespace)
    return json.loads(json.dumps(namespace["run"]()))


def run_isolated(script, shared):
    """Runs `script` in a new isolated interpreter with its own GIL; `shared`
    (str values) are globals of its __main__."""
    if sys.version_info >= (3, 13):
        import _interpreters as interpreters
        config = interpreters.new_config("isolated")
        assert config.gil == "own" and config.check_multi_interp_extensions
        interp = interpreters.create(config)
        try:
            failure = interpreters.exec(interp, script, shared)
        finally:
            interpreters.destroy(interp)
        assert failure is None, failure.formatted
    else:
        import _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=True)
        try:
            interpreters.run_string(interp, script, shared)
        finally:
            interpreters.destroy(interp)


def run_scenario_isolated(tmp_path):
    out = tmp_path / "isolated.json"
    script = SCENARIO + textwrap.dedent('''
        import json
        sys.path.insert(0, module_dir)
        MAIN_MODULE_ID = int(main_module_id)
        with open(out_path, "w") as f:
            json.dump(run(), f)
    ''')
    run_isolated(script, {"module_dir": MODULE_DIR, "out_path": str(out), "main_module_id": str(id(core))})
    return json.loads(out.read_text())


@needs_subinterpreters
def test_isolated_interpreter_gives_the_main_interpreters_results(tmp_path):
    main = run_in_main()
    isolated = run_scenario_isolated(tmp_path)
    assert main.pop("main_interpreter_module") is True
    # Its own module object: not the main interpreter's.
    assert isolated.pop("main_interpreter_module") is False
    assert isolated == main
    assert main["up_is_the_member"] is True
    assert main["session"][0][0] == "SessionState.Up"
    assert main["delivery"][0]["decision"] == "invocation" and main["delivery"][1]["decision"] == "skip_self"
    assert main["claims"][:2] == [True, False]


@needs_subinterpreters
def test_main_interpreter_members_survive_an_isolated_run(tmp_path):
    members = {name: getattr(core.SessionState, name) for name in ("Connecting", "Up", "Reconnecting", "Dead")}
    run_scenario_isolated(tmp_path)
    run_scenario_isolated(tmp_path)
    session = core.Session(core.SessionPolicy.default())
    session.on_connected(session.begin_attempt(1.0), 1.0)
    assert session.state is members["Up"] is core.SessionState.Up
    assert {name: getattr(core.SessionState, name) for name in members} == members
    assert [repr(m) for m in members.values()] == [f"SessionState.{name}" for name in members]
    decision = core.evaluate_drain_candidate({"id": "m", "sender_id": "a", "sender_type": "Agent"}, [], "a")
    assert decision == {"decision": "self_echo", "message_id": "m"}


@needs_subinterpreters
def test_module_can_be_imported_twice_in_isolated_interpreters(tmp_path):
    # Two interpreters one after the other each build their module from scratch.
    first = run_scenario_isolated(tmp_path)
    second = run_scenario_isolated(tmp_path)
    assert first == second


# Drops the module from sys.modules and imports it again, many times, in a
# fresh process (a re-import must not disturb the module the test suite
# holds). Prints the traced memory growth of the second half of the rounds.
REIMPORT = textwrap.dedent('''
    import gc, importlib, sys, tracemalloc
    sys.path.insert(0, {module_dir!r})

    def round_trip():
        sys.modules.pop("orvu_sdk_core", None)
        core = importlib.import_module("orvu_sdk_core")
        s = core.Session(core.SessionPolicy.default())
        s.on_connected(s.begin_attempt(1.0), 1.0)
        assert s.state is core.SessionState.Up
        assert core.evaluate_delivery_event("room_deleted", None, {{"id": "r"}}, "a")["room_id"] == "r"
        registry = core.ClaimRegistry()
        assert registry.try_claim("r", "m") and not registry.try_claim("r", "m")
        gc.collect()

    tracemalloc.start()
    for _ in range({warmup}):
        round_trip()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range({rounds}):
        round_trip()
    print(tracemalloc.get_traced_memory()[0] - before)
''')


def test_reimport_after_removal_neither_crashes_nor_leaks():
    rounds = 200
    script = REIMPORT.format(module_dir=MODULE_DIR, warmup=20, rounds=rounds)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    growth = int(done.stdout.split()[-1])
    # A module kept alive by its classes costs about 100 kB a round; a level
    # run stays within a few tens of bytes a round.
    assert growth < 500 * rounds, f"traced memory grew {growth} bytes over {rounds} re-imports"

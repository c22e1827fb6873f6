"""The stubs let the type checkers catch mistakes that pass silently at run time.

typing_cases/planted.py holds one mistake per line marked `# planted: <id>`;
typing_cases/corrected.py is the same code written right. Both checkers run in
strict mode (`mypy --strict`, basedpyright with typeCheckingMode "strict") on
both files: each checker must flag every marked line it is expected to catch,
nothing else in the planted file, and nothing at all in the corrected one.
Both files are also run against the module, to show that every planted line
really misbehaves and every correction really works.

The checkers come from the "check" dependency group. Where they are not
installed the checker tests skip, unless ORVU_REQUIRE_TYPE_CHECKERS is set
(scripts/check_package.sh sets it), where a missing checker fails the run.
"""

import importlib.util
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import orvu_sdk_core as core
from docblocks import STUBS

CASES = pathlib.Path(__file__).resolve().parent / "typing_cases"
PLANTED = CASES / "planted.py"
CORRECTED = CASES / "corrected.py"

BOTH = frozenset({"mypy", "pyright"})
# Which checker catches each planted mistake. Two kinds are beyond mypy: it has
# no notion of hashability (`__hash__: ClassVar[None]` does not stop a dict or
# set display), and it ignores @type_check_only outside stubtest, so of the
# run-time uses of a typing-only name it sees only isinstance (refused for any
# TypedDict). pyright does not judge `in` against a tuple of another type.
EXPECTED = {
    "member-eq-str": BOTH,
    "member-ne-str": BOTH,
    "optional-member-eq-str": BOTH,
    "parsed-member-eq-str": BOTH,
    "member-eq-int": BOTH,
    "members-of-two-classes": BOTH,
    "member-in-str-tuple": frozenset({"mypy"}),
    "member-as-dict-key": frozenset({"pyright"}),
    "member-in-set": frozenset({"pyright"}),
    "typing-only-isinstance": BOTH,
    "typing-only-as-value": frozenset({"pyright"}),
    "typing-only-as-base": frozenset({"pyright"}),
    "payload-key-typo": BOTH,
}

_MARKER = re.compile(r"#\s*planted:\s*([\w-]+)\s*$")


def planted_lines():
    """{id: line number} of the marked lines of planted.py."""
    found = {}
    for number, line in enumerate(PLANTED.read_text(encoding="utf-8").splitlines(), 1):
        marker = _MARKER.search(line)
        if marker:
            assert marker.group(1) not in found, f"{marker.group(1)} planted twice"
            found[marker.group(1)] = number
    return found


def test_every_planted_line_has_its_expectation():
    assert set(planted_lines()) == set(EXPECTED)


# --- the checkers ------------------------------------------------------------

def _basedpyright():
    beside = pathlib.Path(sys.executable).with_name("basedpyright")
    return str(beside) if beside.exists() else shutil.which("basedpyright")


def _require(available, what):
    if available:
        return
    if os.environ.get("ORVU_REQUIRE_TYPE_CHECKERS"):
        pytest.fail(f"{what} is not installed, and ORVU_REQUIRE_TYPE_CHECKERS is set")
    pytest.skip(f"{what} is not installed (the 'check' dependency group)")


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """The two files copied into an empty folder, away from any project configuration."""
    folder = tmp_path_factory.mktemp("typing_cases")
    for source in (PLANTED, CORRECTED):
        shutil.copy(source, folder / source.name)
    # A module built in place (PYTHONPATH at a build folder) has no stub package
    # installed beside it: the checkers then read the checkout's stubs, found as a
    # local package of that folder.
    installed = pathlib.Path(core.__file__).resolve().parent / "orvu_sdk_core-stubs"
    if not installed.is_dir() and STUBS.is_file():
        (folder / "orvu_sdk_core").mkdir()
        shutil.copy(STUBS, folder / "orvu_sdk_core" / "__init__.pyi")
    return folder


@pytest.fixture(scope="module")
def mypy_errors(workdir):
    """{file name: set of line numbers with an error} from one `mypy --strict` run."""
    _require(importlib.util.find_spec("mypy"), "mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, "--no-error-summary",
         PLANTED.name, CORRECTED.name],
        cwd=workdir, capture_output=True, text=True, timeout=600)
    assert done.returncode in (0, 1), done.stdout + done.stderr
    errors = {PLANTED.name: set(), CORRECTED.name: set()}
    for line in done.stdout.splitlines():
        found = re.match(r"([\w.]+\.py):(\d+): error:", line)
        if found:
            errors[found.group(1)].add(int(found.group(2)))
    return errors, done.stdout


@pytest.fixture(scope="module")
def pyright_errors(workdir):
    """{file name: set of line numbers with an error} from one basedpyright run in strict mode."""
    executable = _basedpyright()
    _require(executable, "basedpyright")
    (workdir / "pyrightconfig.json").write_text(json.dumps({"typeCheckingMode": "strict"}))
    done = subprocess.run(
        [executable, "--outputjson", "--pythonpath", sys.executable, "-p", "pyrightconfig.json",
         PLANTED.name, CORRECTED.name],
        cwd=workdir, capture_output=True, text=True, timeout=600)
    report = json.loads(done.stdout)
    errors = {PLANTED.name: set(), CORRECTED.name: set()}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            errors[pathlib.Path(diagnostic["file"]).name].add(diagnostic["range"]["start"]["line"] + 1)
    return errors, done.stdout


def _errors(request, checker):
    return request.getfixturevalue(f"{checker}_errors")


@pytest.mark.parametrize("mistake, checker", sorted(
    (mistake, checker) for mistake, checkers in EXPECTED.items() for checker in checkers))
def test_checker_flags_the_planted_mistake(request, mistake, checker):
    errors, output = _errors(request, checker)
    line = planted_lines()[mistake]
    assert line in errors[PLANTED.name], f"{checker} did not flag {mistake} (line {line}):\n{output}"


@pytest.mark.parametrize("checker", sorted(BOTH))
def test_checker_flags_nothing_but_the_planted_lines(request, checker):
    errors, output = _errors(request, checker)
    assert errors[PLANTED.name] <= set(planted_lines().values()), output


@pytest.mark.parametrize("checker", sorted(BOTH))
def test_checker_passes_the_corrected_twin(request, checker):
    errors, output = _errors(request, checker)
    assert not errors[CORRECTED.name], output


# --- the same code at run time --------------------------------------------------

def _load(path):
    spec = importlib.util.spec_from_file_location(f"typing_cases_{path.stem}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def planted():
    return _load(PLANTED)


@pytest.fixture(scope="module")
def corrected():
    return _load(CORRECTED)


def _session():
    session = core.Session(core.SessionPolicy.default())
    epoch = session.begin_attempt(now_s=0.0)
    return session, epoch


def up_outcome():
    session, epoch = _session()
    return session.on_connected(epoch, 0.1)


def closed_outcome():
    session, epoch = _session()
    session.on_connected(epoch, 0.1)
    return session.on_socket_close(epoch, 100.0, 1000, 0.5)


def rapid_outcome():
    session, now = core.Session(core.SessionPolicy.default()), 0.0
    for _ in range(100):
        epoch = session.begin_attempt(now_s=now)
        session.on_connected(epoch, now)
        outcome = session.on_socket_close(epoch, now + 0.1, 1006, 0.5)
        if outcome.state is core.SessionState.Dead:
            return outcome
        now += 0.1 + outcome.retry_after_s
    raise AssertionError("the session never gave up on rapid disconnects")


def settled_ledger():
    ledger = core.TurnLedger()
    ledger.settle()
    return ledger


def settlement():
    registry, tracker = core.ClaimRegistry(), core.RetryTracker(max_retries=2)
    assert registry.guarded_claim("room-1", "msg-1", tracker) == "runnable"
    return registry.record_processed_settlement("room-1", "msg-1")


MESSAGE = {"id": "m1", "content": "hi", "message_type": "text", "sender_type": "User", "sender_id": "u1",
           "inserted_at": "t", "updated_at": "t"}


# (function, arguments, the right answer) for each planted mistake; the
# function of the same name in planted.py answers wrongly or raises.
RUNS = {
    "member-eq-str": ("gives_up", lambda: (closed_outcome(),), True),
    "member-ne-str": ("still_trying", lambda: (up_outcome(),), False),
    "optional-member-eq-str": ("dropped_too_often", lambda: (rapid_outcome(),), True),
    "parsed-member-eq-str": ("is_message", lambda: ("message_created",), True),
    "member-eq-int": ("turn_complete", lambda: (settled_ledger(),), True),
    "members-of-two-classes": ("same_scope", lambda: (core.MemoryListScope.Subject, core.MemoryStoreScope.Subject), True),
    "member-in-str-tuple": ("settled", lambda: (closed_outcome(),), True),
    "member-as-dict-key": ("state_labels", lambda: (), {str(core.SessionState.Dead): "over"}),
    "member-in-set": ("final_verdicts", lambda: (), {str(core.TurnVerdict.Complete)}),
    "typing-only-isinstance": ("is_settlement", lambda: (settlement(),), True),
    "payload-key-typo": ("sender_of", lambda: (MESSAGE,), "u1"),
}


def test_runs_cover_the_planted_mistakes_but_the_ones_with_other_shapes():
    # The last two take a different form once corrected (see below).
    assert set(RUNS) == set(EXPECTED) - {"typing-only-as-value", "typing-only-as-base"}


@pytest.mark.parametrize("mistake", sorted(RUNS))
def test_planted_mistake_misbehaves_and_its_correction_does_not(planted, corrected, mistake):
    name, arguments, right = RUNS[mistake]
    assert getattr(corrected, name)(*arguments()) == right
    try:
        wrong = getattr(planted, name)(*arguments())
    except (TypeError, AttributeError, KeyError):
        return
    assert wrong != right


@pytest.mark.parametrize("name", ["settlement_keys", "extended_settlement"])
def test_typing_only_name_used_at_run_time_raises(planted, name):
    with pytest.raises(AttributeError, match="SettlementDescription"):
        getattr(planted, name)()


def test_corrected_settlement_helpers_work_on_a_real_settlement(corrected):
    described = settlement()
    assert corrected.settlement_keys(described) == sorted(described)
    assert corrected.log_settlement(described, 5.0) == {"settlement": described, "logged_at": 5.0}
    assert not corrected.is_settlement({"token": "0"})

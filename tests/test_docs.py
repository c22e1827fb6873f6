"""The documentation runs and says what the module does.

Every ```python block of the Markdown documentation runs and prints what its
`# -> text` comments say; the settings table reproduces `SessionPolicy.default()`;
every call on a state diagram exists; the typed example runs; the typing-only
names are listed and absent at run time; every name in the stubs is documented.
"""

import ast
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import orvu_sdk_core as core
from docblocks import ROOT, STUBS, Block, false_claims, python_blocks, run

DOCUMENTS = ["README.md", "examples/README.md",
             *sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))]
BLOCKS = [block for document in DOCUMENTS for block in python_blocks(document)]
REFERENCE = ROOT / "docs" / "reference.md"
ALLOWLIST = ROOT / "src" / "stubs" / "stubtest-allowlist.txt"


@pytest.mark.parametrize("block", BLOCKS, ids=lambda block: block.label)
def test_block_runs_and_prints_what_it_claims(block):
    assert false_claims(block) == []


@pytest.mark.parametrize("document, needle", [
    ("README.md", "core.evaluate_delivery_event("),
    ("docs/reference.md", "core.SessionPolicy("),
    ("docs/reference.md", "room_rejoin_candidates()"),
    ("docs/reference.md", "core.ClaimRegistry("),
    ("docs/protocol.md", "core.validate_event_payload("),
    ("docs/protocol.md", "core.evaluate_delivery_event("),
    ("docs/protocol.md", "session.on_supersede("),
])
def test_the_examples_that_must_run_are_collected(document, needle):
    assert any(needle in block.source for block in BLOCKS if block.path == document)


def test_readme_links_the_reference():
    assert "(docs/reference.md)" in (ROOT / "README.md").read_text(encoding="utf-8")


def test_reference_links_the_protocol_guide():
    assert "(protocol.md)" in REFERENCE.read_text(encoding="utf-8")


# --- the collector itself -------------------------------------------------------------------

@pytest.mark.parametrize("markdown, expected", [
    ("text\n```python\nx = 1\n```\n", [(3, "x = 1\n")]),
    ("```sh\nls\n```\n```python\na = 1\nb = 2\n```\n", [(5, "a = 1\nb = 2\n")]),
    ("````markdown\n```python\nhidden = 1\n```\n````\n", []),
    ("````python\nshown = '```'\n```\nstill = 1\n````\n", [(2, "shown = '```'\n```\nstill = 1\n")]),
    ("```py\nx = 1\n```\n```pycon\n>>> 1\n```\n", []),
])
def test_collector_finds_python_blocks_with_their_lines(tmp_path, markdown, expected):
    (tmp_path / "doc.md").write_text(markdown)
    found = [(block.line, block.source) for block in python_blocks("doc.md", root=tmp_path)]
    assert found == expected


def test_unclosed_fence_is_an_error(tmp_path):
    (tmp_path / "doc.md").write_text("one\n```python\nx = 1\n")
    with pytest.raises(ValueError, match=r"doc\.md:2"):
        python_blocks("doc.md", root=tmp_path)


def test_failing_block_reports_its_file_and_line():
    block = Block("guide.md", 40, "x = 1\n\ny = x / 0\n")
    with pytest.raises(ZeroDivisionError) as caught:
        run(block)
    frame = caught.traceback[-1]
    assert (str(frame.path), frame.lineno + 1) == ("guide.md", 42)


@pytest.mark.parametrize("source, complaints", [
    ("print(1)  # -> 1\n", []),
    ("print(1)  # -> 2\n", ["guide.md:10: claims ['2'], printed ['1']"]),
    ("x = 1  # -> 1\n", ["guide.md:10: claims ['1'], printed []"]),
    ("for i in (1, 2):\n    print(i)\n# -> 1\n# -> 2\n", []),
    ("for i in (1, 2):\n    print(i)\n# -> 1\n", ["guide.md:11: claims ['1'], printed ['1', '2']"]),
    ("def f():\n    print('in f')\n\nf()  # -> in f\n", []),
    ("print('a', 'b', sep='-')  # -> a-b\n", []),
])
def test_claims_are_checked_against_what_the_line_printed(source, complaints):
    assert false_claims(Block("guide.md", 10, source)) == complaints


def test_blocks_do_not_inherit_postponed_annotations():
    # This module's collector uses `from __future__ import annotations`; a block must not.
    block = Block("guide.md", 1, "def f(x: undefined_name) -> None: ...\n")
    with pytest.raises(NameError):
        run(block)


# --- the reconnect settings table -----------------------------------------------------------

def settings_table():
    """(key, default) rows of the SessionPolicy table in docs/reference.md, in table order."""
    rows = re.findall(r"^\| `(\w+)` \|[^|]*\|[^|]*\| ([\d.]+) \|", REFERENCE.read_text(encoding="utf-8"),
                      flags=re.MULTILINE)
    return [(key, float(value)) for key, value in rows]


def session_trace(policy):
    """Outcomes of scripted endings that depend on every reconnect setting."""
    trace = [policy.heartbeat_interval_s, policy.dead_threshold_s]

    def ended(session, up_for, start, code=1006, jitter=1.0):
        epoch = session.begin_attempt(start)
        if epoch is None:
            trace.append("no attempt")
            return start
        if up_for is not None:
            session.on_connected(epoch, start)
        outcome = session.on_socket_close(epoch, start + (up_for or 0.0), code, jitter)
        trace.append((str(outcome.state), outcome.retry_after_s, str(outcome.dead_reason)))
        return start + (up_for or 0.0)

    # Never connected: the cooldown ladder up to the rapid threshold.
    session, now = core.Session(policy), 0.0
    for _ in range(12):
        now = ended(session, None, now + 1.0)
    # Up 30 s each time (neither rapid nor stable): the backoff, its factor and cap;
    # then uptimes on both sides of the stable reset and of the rapid uptime.
    session, now = core.Session(policy), 0.0
    for up_for in [30.0] * 7 + [59.9, 30.0, 60.0, 9.9, 10.0, 30.0]:
        now = ended(session, up_for, now + 1.0)
    # Rapid disconnects spaced on both sides of the window.
    for gap in (299.9, 300.0, 300.1, 299.0):
        session = core.Session(policy)
        ended(session, 1.0, 0.0)
        ended(session, 1.0, gap)
    return trace


def test_settings_table_lists_the_fourteen_keys_in_the_order_they_are_read():
    keys = [key for key, _ in settings_table()]
    assert len(keys) == len(set(keys)) == 14
    for position, key in enumerate(keys):
        partial = {earlier: 1.0 for earlier in keys[:position]}
        with pytest.raises(TypeError, match=f"missing `{key}`"):
            core.SessionPolicy(partial)


def test_settings_table_defaults_behave_as_the_default_policy():
    documented = dict(settings_table())
    assert session_trace(core.SessionPolicy(documented)) == session_trace(core.SessionPolicy.default())


@pytest.mark.parametrize("key, changed", [
    ("base_delay_s", 2.0), ("factor", 3.0), ("max_delay_s", 20.0), ("stable_reset_s", 50.0),
    ("rapid_disconnect_uptime_s", 20.0), ("rapid_window_s", 200.0), ("rapid_first_min_delay_s", 2.0),
    ("rapid_second_min_delay_s", 4.0), ("rapid_cooldown_base_s", 12.0), ("rapid_cooldown_step_s", 5.0),
    ("rapid_cooldown_max_s", 50.0), ("rapid_threshold", 11.0), ("heartbeat_interval_s", 20.0),
    ("dead_threshold_s", 70.0),
])
def test_session_trace_notices_a_wrong_default(key, changed):
    # The comparison above proves something only if a wrong value would show in the trace.
    documented = dict(settings_table(), **{key: changed})
    assert session_trace(core.SessionPolicy(documented)) != session_trace(core.SessionPolicy.default())


def test_policy_stub_docstring_lists_the_documented_defaults():
    tree = ast.parse(STUBS.read_text())
    (policy,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "SessionPolicy"]
    (new,) = [node for node in policy.body if isinstance(node, ast.FunctionDef) and node.name == "__new__"]
    listed = dict(re.findall(r"(\w+) \[([\d.]+)", ast.get_docstring(new)))
    assert {key: float(value) for key, value in listed.items()} == dict(settings_table())


def test_defaults_mapping_to_copy_matches_the_table():
    (block,) = [b for b in BLOCKS if b.path == "docs/reference.md" and "DEFAULTS: dict" in b.source]
    namespace = {}
    run(block, namespace)
    assert list(namespace["DEFAULTS"].items()) == settings_table()


# --- the state diagrams ---------------------------------------------------------------------

def diagram_calls():
    """Calls named in the transition tables that go with the state diagrams."""
    for document in DOCUMENTS:
        table = False
        for line in (ROOT / document).read_text(encoding="utf-8").splitlines():
            table = line.startswith("| From |") or (table and line.startswith("|"))
            if table:
                for name in re.findall(r"`([a-z][a-z_]*)\(", line):
                    yield document, name


CALLABLE_OWNERS = [core, core.Session, core.ClaimRegistry, core.RetryTracker, core.SubscriptionTracker,
                   core.RoomRoster]


@pytest.mark.parametrize("document, name", sorted(set(diagram_calls())))
def test_every_call_on_a_diagram_exists(document, name):
    assert any(callable(getattr(owner, name, None)) for owner in CALLABLE_OWNERS), name


def test_diagrams_name_the_real_states():
    text = REFERENCE.read_text(encoding="utf-8")
    diagrams = re.findall(r"^```mermaid\n(.*?)^```", text, flags=re.MULTILINE | re.DOTALL)
    states = [set(re.findall(r"^\s*(\w+) -->", d, flags=re.MULTILINE)) - {"*"} for d in diagrams]
    session, ledger, room, topic = states
    assert session == {"Connecting", "Up", "Reconnecting", "Dead"}
    assert all(hasattr(core.SessionState, s) for s in session)
    assert all(hasattr(core.RoomStatus, s) for s in room) and len(room) == 5
    assert all(hasattr(core.AgentTopicStatus, s) for s in topic) and len(topic) == 5
    assert "Runnable" in ledger and "Completed" in ledger


# --- typing-only names ----------------------------------------------------------------------

# The TypedDicts are marked @type_check_only in the stubs (stubtest skips them);
# the aliases built from them cannot be marked, so stubtest's allowlist names them.
TYPED_DICTS = sorted(
    node.name for node in ast.parse(STUBS.read_text()).body
    if isinstance(node, ast.ClassDef) and any(isinstance(base, ast.Name) and base.id == "TypedDict" for base in node.bases))
TYPING_ONLY_CLASSES = sorted(
    node.name for node in ast.parse(STUBS.read_text()).body
    if isinstance(node, ast.ClassDef)
    and any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list))
ALIASES = [line.removeprefix("orvu_sdk_core.") for line in ALLOWLIST.read_text().splitlines()
           if line.startswith("orvu_sdk_core.")]
TYPING_ONLY = TYPING_ONLY_CLASSES + ALIASES


def test_every_typed_dict_of_the_stubs_is_marked_typing_only():
    # Unmarked, a type checker would let a host use it as a run-time value.
    assert TYPED_DICTS and TYPING_ONLY_CLASSES == TYPED_DICTS


@pytest.mark.parametrize("name", TYPING_ONLY)
def test_typing_only_names_are_listed_and_absent_at_run_time(name):
    assert not hasattr(core, name)
    section = REFERENCE.read_text(encoding="utf-8").split("## Names that exist only for type checkers")[1]
    assert f"`{name}`" in section
    assert (name in TYPING_ONLY_CLASSES) != (f"{name}: TypeAlias" in STUBS.read_text())


def test_typed_example_runs():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(core.__file__),
                                                                   os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "typed_host.py")],
                          capture_output=True, text=True, env=env, cwd=ROOT, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "delay after a dropped socket: 1.0",
        "platform write: mark_processed token 0",
        "first delivery: processed",
        "redelivery: completed",
    ]


def test_stub_only_annotation_fails_without_postponed_evaluation():
    # Why the pattern above is needed: evaluated eagerly, the annotation looks the name up.
    source = textwrap.dedent("""
        import orvu_sdk_core as core
        def settle(s: core.SettlementDescription) -> None: ...
    """)
    with pytest.raises(AttributeError, match="SettlementDescription"):
        exec(compile(source, "eager.py", "exec", dont_inherit=True), {})


# --- the stubs carry documentation ----------------------------------------------------------

def undocumented_stub_names():
    tree = ast.parse(STUBS.read_text())
    missing = []

    def visit(node, prefix):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                name = prefix + child.name
                if ast.get_docstring(child) is None:
                    missing.append(name)
                if isinstance(child, ast.ClassDef):
                    visit(child, name + ".")
    visit(tree, "")
    return missing


def test_every_class_method_property_and_function_in_the_stubs_has_a_docstring():
    assert ast.get_docstring(ast.parse(STUBS.read_text())) is not None
    assert undocumented_stub_names() == []

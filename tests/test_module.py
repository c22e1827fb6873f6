"""Registration, argument binding conventions and signatures."""

import importlib.metadata
import inspect
import pathlib
import tomllib

import pytest

import orvu_sdk_core as core

# The classes as the module registers them: the tests below check their order
# and number, the other test files each class's behaviour.
CLASSES = [name for name in core.__all__ if isinstance(getattr(core, name), type)]
FUNCTIONS = [
    "orvu_tool_effects", "chat_room_topic", "classify_close", "classify_upgrade", "evaluate_adapter_result",
    "evaluate_delivery_event", "evaluate_drain_candidate", "evaluate_next_message", "is_authorized_sender",
    "is_self_echo", "missing_reply_message", "no_reply_tool", "room_participants_topic", "validate_event_payload",
    "validate_memory_type_for_system",
]

SIGNATURES = {
    "classify_close": "(close_code)",
    "classify_upgrade": "(status)",
    "validate_event_payload": "(event_type, raw, trace_context=None)",
    "evaluate_delivery_event": "(event_type, room_id, payload, agent_id, trace_context=None)",
    "is_self_echo": "(sender_id, sender_type, agent_id)",
    "evaluate_drain_candidate": "(candidate, seen_ids, agent_id)",
    "evaluate_adapter_result": "(room_id, message_id, succeeded)",
    "evaluate_next_message": "(triggering_message_id, next_message_id)",
    "chat_room_topic": "(room_id)",
    "room_participants_topic": "(room_id)",
    "is_authorized_sender": "(authorized_senders, sender_id)",
    "orvu_tool_effects": "()",
    "no_reply_tool": "()",
    "missing_reply_message": "()",
    "validate_memory_type_for_system": "(system, memory_type, trace_context=None)",
}


def test_all_lists_the_classes_alphabetically_then_the_functions_in_order():
    assert core.__all__ == CLASSES + FUNCTIONS
    assert CLASSES == sorted(CLASSES)
    enums = [name for name in CLASSES if "value" in vars(getattr(core, name)) or "wire_name" in vars(getattr(core, name))]
    assert (len(CLASSES), len(enums)) == (33, 20)
    for name in core.__all__:
        assert getattr(core, name) is not None


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_function_signatures(name):
    fn = getattr(core, name)
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__module__ == "orvu_sdk_core"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_report_module(name):
    cls = getattr(core, name)
    assert cls.__module__ == "orvu_sdk_core"
    assert cls.__name__ == name


@pytest.mark.parametrize("call,fragment", [
    (lambda: core.classify_close(1000, 1), "classify_close() takes exactly 1 positional argument (2 given)"),
    (lambda: core.classify_close(), "classify_close() missing required argument 'close_code' (pos 1)"),
    (lambda: core.classify_close(code=1), "classify_close() got an unexpected keyword argument 'code'"),
    (lambda: core.classify_close(1000, close_code=1000), "classify_close() got multiple values for argument 'close_code'"),
    (lambda: core.classify_close("x"), "classify_close() argument 'close_code' must be int, not str"),
])
def test_binding_errors_use_interpreter_wording(call, fragment):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == fragment


def test_keywords_must_be_strings():
    with pytest.raises(TypeError):
        core.classify_close(**{1: 2})


@pytest.mark.parametrize("trace", [None, "", "trace-1", "\u00e9\U0001f600"])
def test_validation_error_model(trace):
    with pytest.raises(ValueError) as info:
        core.validate_memory_type_for_system("bogus", "nope", trace_context=trace)
    err = info.value
    assert type(err) is ValueError
    assert err.args == ("2 validation issue(s): unknown memory system `bogus` (system)",)
    assert err.issues == (
        ("system", "invalid_value", "unknown memory system `bogus`"),
        ("type", "invalid_value", "unknown memory type `nope`"),
    )
    assert all(type(part) is str for issue in err.issues for part in issue)
    assert err.trace_context is trace


def test_trace_context_must_be_str_or_none():
    with pytest.raises(TypeError):
        core.validate_memory_type_for_system("sensory", "iconic", trace_context=b"x")


def test_reimport_builds_a_module_of_its_own():
    """Removing the module from sys.modules and importing it again gives a
    new module with its own classes and members; both keep working."""
    import importlib
    import sys

    saved = sys.modules.pop("orvu_sdk_core")
    try:
        fresh = importlib.import_module("orvu_sdk_core")
    finally:
        sys.modules["orvu_sdk_core"] = saved
    assert fresh is not saved
    assert fresh.__all__ == saved.__all__
    assert fresh.Session is not saved.Session
    assert fresh.SessionState.Up is not saved.SessionState.Up
    for module in (fresh, saved):
        session = module.Session(module.SessionPolicy.default())
        epoch = session.begin_attempt(0.0)
        assert session.on_connected(epoch, 1.0).state is module.SessionState.Up
        assert session.state is module.SessionState.Up
        assert module.TurnEffect.from_wire_name("act") is module.TurnEffect.Act
        assert module.classify_close(1000) == (True, None)
    with pytest.raises(TypeError, match="must be orvu_sdk_core.SessionPolicy"):
        fresh.Session(saved.SessionPolicy.default())


def _installed_version():
    """The version of the installed distribution, if it is the one imported."""
    try:
        dist = importlib.metadata.distribution("orvu_sdk_core")
    except importlib.metadata.PackageNotFoundError:
        return None
    site = pathlib.Path(dist.locate_file("")).resolve()
    return dist.version if pathlib.Path(core.__file__).resolve().parent == site else None


def _source_version():
    """The version declared in the checkout's pyproject.toml, if there is one."""
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    if not pyproject.is_file():
        return None
    return tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["version"]


@pytest.mark.parametrize("source", [_installed_version, _source_version], ids=["metadata", "pyproject"])
def test_version_matches_project_metadata(source):
    expected = source()
    if expected is None:
        pytest.skip(f"no {source.__name__.strip('_').replace('_', ' ')} for the imported module")
    assert isinstance(core.__version__, str)
    assert core.__version__ == expected


def test_version_is_not_exported_by_star_import():
    assert "__version__" not in core.__all__
    namespace = {}
    exec("from orvu_sdk_core import *", namespace)
    assert "__version__" not in namespace


STATIC_METHODS = [(core.SessionPolicy, "default")] + [
    (getattr(core, name), "from_wire_name") for name in core.__all__
    if isinstance(getattr(core, name), type) and "from_wire_name" in vars(getattr(core, name))
]


@pytest.mark.parametrize("owner,name", STATIC_METHODS, ids=[f"{o.__name__}.{n}" for o, n in STATIC_METHODS])
def test_static_methods_are_plain_static_functions(owner, name):
    """Type checkers and stub checkers tell a class method by a builtin bound to a
    class; these are static methods and must not look like class methods."""
    assert isinstance(inspect.getattr_static(owner, name), staticmethod)
    assert not isinstance(getattr(owner, name).__self__, type)
    assert getattr(owner, name).__self__ is core

import itertools

import pytest

import orvu_sdk_core as m
from orvu_sdk_core import MemorySystem, MemoryType, validate_memory_type_for_system as validate

SYSTEMS = ["sensory", "working", "long_term"]
TYPES = ["iconic", "echoic", "haptic", "episodic", "semantic", "procedural"]
ADMITTED = {
    "sensory": ["iconic", "echoic", "haptic"],
    "working": ["episodic", "semantic", "procedural"],
    "long_term": ["episodic", "semantic", "procedural"],
}
SYSTEM_MEMBER = dict(zip(SYSTEMS, [MemorySystem.Sensory, MemorySystem.Working, MemorySystem.LongTerm]))
TYPE_MEMBER = dict(zip(TYPES, [MemoryType.Iconic, MemoryType.Echoic, MemoryType.Haptic, MemoryType.Episodic,
                               MemoryType.Semantic, MemoryType.Procedural]))


def issues_of(*args, **kwargs):
    with pytest.raises(ValueError) as info:
        validate(*args, **kwargs)
    return info.value


@pytest.mark.parametrize("system, memory_type", list(itertools.product(SYSTEMS, TYPES)))
@pytest.mark.parametrize("as_member", [(False, False), (True, False), (False, True), (True, True)])
def test_admission_table(system, memory_type, as_member):
    s = SYSTEM_MEMBER[system] if as_member[0] else system
    t = TYPE_MEMBER[memory_type] if as_member[1] else memory_type
    if memory_type in ADMITTED[system]:
        assert validate(s, t) is None
        return
    expected = ", ".join(ADMITTED[system])
    message = f"type `{memory_type}` is not valid for system `{system}`; expected one of: {expected}"
    err = issues_of(s, t, "ctx")
    assert err.issues == (("type", "invalid_value", message),)
    assert str(err) == f"1 validation issue(s): {message} (type)"
    assert err.trace_context == "ctx"


@pytest.mark.parametrize(
    "system, memory_type, issues",
    [
        ("Sensory", "iconic", [("system", "unknown memory system `Sensory`")]),
        ("sensory ", MemoryType.Iconic, [("system", "unknown memory system `sensory `")]),
        ("longterm", "haptic", [("system", "unknown memory system `longterm`")]),
        ("bogus", "nope", [("system", "unknown memory system `bogus`"), ("type", "unknown memory type `nope`")]),
        ("", "", [("system", "unknown memory system ``"), ("type", "unknown memory type ``")]),
        ("sensory", "", [("type", "unknown memory type ``")]),
        (MemorySystem.Working, "Episodic", [("type", "unknown memory type `Episodic`")]),
        ("working", "long_term", [("type", "unknown memory type `long_term`")]),
    ],
)
def test_unknown_names(system, memory_type, issues):
    err = issues_of(system, memory_type)
    assert err.issues == tuple((path, "invalid_value", msg) for path, msg in issues)
    assert str(err).startswith(f"{len(issues)} validation issue(s): {issues[0][1]} ({issues[0][0]})")
    assert err.trace_context is None


class Wire(str):
    pass


def test_str_subclasses_are_accepted():
    assert validate(Wire("working"), Wire("semantic")) is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None, "iconic"), {}, "system must be a str"),
        ((MemorySystem.Working, 3), {}, "memory_type must be a str"),
        ((MemoryType.Iconic, "iconic"), {}, "system must be a str"),
        (("sensory", MemorySystem.Sensory), {}, "memory_type must be a str"),
        ((1, 2), {}, "system must be a str"),
        ((b"sensory", "iconic"), {}, "system must be a str"),
    ],
)
def test_type_error_texts(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        validate(*args, **kwargs)
    assert str(info.value) == message


def test_trace_context_is_checked_first():
    with pytest.raises(TypeError) as info:
        validate(None, None, trace_context=5)
    assert "trace_context" in str(info.value)
    with pytest.raises(TypeError):
        validate("sensory", "iconic", 5)
    with pytest.raises(TypeError):
        validate("sensory")
    with pytest.raises(TypeError):
        validate("sensory", "iconic", None, None)


def test_enumerations():
    assert MemorySystem.from_wire_name("long_term") is MemorySystem.LongTerm
    assert (m.MemoryListScope.Subject == m.MemoryStoreScope.Subject) is False
    assert str(m.MemoryStatus.All) == "all" and int(m.MemorySegment.Guideline) == 3

"""The classes are built-in citizens: immutable like built-in types, tracked
by the garbage collector with their instances, and freed with their module.

A module that is dropped and imported again must leave nothing behind, even
when its own objects form cycles through its classes (module dict -> instance
-> class -> module). The checks use weak references to the module and its
classes; every instance holds a strong reference to its class, so a class
that is gone also proves that every instance of it is gone.
"""

import gc
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import orvu_sdk_core as core
from specimens import one_of_each
from test_isolation import MODULE_DIR, needs_subinterpreters, run_isolated

CLASSES = [name for name in core.__all__ if isinstance(getattr(core, name), type)]
TESTS_DIR = str(Path(__file__).resolve().parent)
Py_TPFLAGS_IMMUTABLETYPE = 1 << 8


def builtin_refusal(attribute, action):
    """The interpreter's own message for `action` ("set" or "delete") on an
    attribute of the built-in type int, to compare the module's classes with."""
    with pytest.raises(TypeError) as refused:
        if action == "set":
            setattr(int, attribute, None)
        else:
            delattr(int, attribute)
    return str(refused.value)


def public_attributes(cls):
    return [name for name in vars(cls) if not name.startswith("_")]


@pytest.mark.parametrize("name", CLASSES)
def test_class_refuses_a_new_attribute_as_a_builtin_type_does(name):
    cls = getattr(core, name)
    before = dict(vars(cls))
    expected = builtin_refusal("spare", "set").replace("'int'", f"'orvu_sdk_core.{name}'")
    with pytest.raises(TypeError) as refused:
        cls.spare = cls
    assert str(refused.value) == expected
    assert cls.__flags__ & Py_TPFLAGS_IMMUTABLETYPE
    assert "spare" not in vars(cls) and dict(vars(cls)) == before


@pytest.mark.parametrize("name", CLASSES)
def test_class_keeps_every_attribute_it_defines(name):
    cls = getattr(core, name)
    before = dict(vars(cls))
    attributes = public_attributes(cls) + ["__doc__", "__module__", "__name__", "__qualname__"]
    for attribute in attributes:
        with pytest.raises(TypeError, match=f"attribute of immutable type 'orvu_sdk_core.{name}'"):
            setattr(cls, attribute, None)
        if not attribute.startswith("_"):
            with pytest.raises(TypeError, match=f"attribute of immutable type 'orvu_sdk_core.{name}'"):
                delattr(cls, attribute)
    after = vars(cls)
    assert list(after) == list(before)
    assert all(after[key] is value for key, value in before.items())
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "orvu_sdk_core")


@pytest.mark.parametrize("name", CLASSES)
def test_instances_are_tracked_and_reach_their_class(name):
    instance = one_of_each(core)[name]
    assert type(instance) is getattr(core, name)
    assert gc.is_tracked(instance)
    assert any(referent is type(instance) for referent in gc.get_referents(instance))


def test_module_state_reaches_every_class_and_member(reimported_module):
    """The module's traverse visits what its state holds: classes, members
    and cached lookups, not only what its dict holds."""
    import collections.abc

    fresh = reimported_module
    reached = gc.get_referents(fresh)
    held = [getattr(fresh, name) for name in CLASSES]
    held += [member for cls in held for member in vars(cls).values() if isinstance(member, cls)]
    held += [collections.abc.Mapping, collections.abc.Sequence]
    missing = [repr(obj) for obj in held if not any(obj is r for r in reached)]
    assert not missing


# Imports the module, forms cycles through its classes, drops it and imports
# it again, `rounds` times; writes for each round the names (the module's and
# its classes') still alive after a collection.
LIFETIME = textwrap.dedent('''
    import gc, importlib, json, sys, weakref
    sys.path[:0] = [module_dir, tests_dir]
    from specimens import one_of_each

    def build_and_drop():
        sys.modules.pop("orvu_sdk_core", None)
        core = importlib.import_module("orvu_sdk_core")
        del sys.modules["orvu_sdk_core"]
        try:
            core.RetryTracker.spare = core.RetryTracker()
        except TypeError:
            pass
        else:
            raise AssertionError("a class of the module took a new attribute")
        # The same cycle through the module's dict instead: instance -> class
        # -> module -> dict -> instance; then one such cycle for every class.
        core.spare = core.RetryTracker()
        core.specimens = one_of_each(core)
        # A roster whose provider refers to the roster, kept by the module too.
        roster = core.ParticipantRoster(trace_context_provider=lambda: str(len(roster.list())))
        core.roster = roster
        names = ["orvu_sdk_core"] + [n for n in core.__all__ if isinstance(getattr(core, n), type)]
        assert len(names) == 1 + int(class_count), names
        return names, [weakref.ref(core)] + [weakref.ref(getattr(core, n)) for n in names[1:]]

    def main():
        survivors = []
        for _ in range(int(rounds)):
            names, refs = build_and_drop()
            gc.collect()
            survivors.append([n for n, r in zip(names, refs) if r() is not None])
        with open(out_path, "w") as f:
            json.dump(survivors, f)

    main()
''')
ROUNDS = 100


def lifetime_shared(out):
    return {"module_dir": MODULE_DIR, "tests_dir": TESTS_DIR, "out_path": str(out), "rounds": str(ROUNDS),
            "class_count": str(len(CLASSES))}


def check_survivors(out):
    survivors = json.loads(out.read_text())
    assert len(survivors) == ROUNDS
    left = {i: names for i, names in enumerate(survivors) if names}
    assert not left, f"alive after a collection, by round: {left}"


def test_dropped_module_with_cycles_is_freed_every_time(tmp_path):
    # A fresh process: dropping the module must not disturb the one the suite holds.
    out = tmp_path / "main.json"
    script = "".join(f"{key} = {value!r}\n" for key, value in lifetime_shared(out).items()) + LIFETIME
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    check_survivors(out)


@needs_subinterpreters
def test_dropped_module_with_cycles_is_freed_in_an_isolated_interpreter(tmp_path):
    out = tmp_path / "isolated.json"
    run_isolated(LIFETIME, lifetime_shared(out))
    check_survivors(out)

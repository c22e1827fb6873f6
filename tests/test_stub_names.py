"""The module registers exactly the public names its stubs declare, and each
class defines exactly the public attributes its stub class declares.

The names come from the stub file itself, read with `ast`, so a class,
function, method or member left out of a registration table (or one
registered that the stubs never mention) fails here by name. Names that
exist only for type checkers are recognised by their form: anything under
`if TYPE_CHECKING:`, TypedDict and Protocol classes (and classes built on
them; the module defines neither), classes and functions marked
`@type_check_only`, and type aliases, type variables and new types.
"""

import ast
import sys
import textwrap

import pytest

import orvu_sdk_core as core
from docblocks import STUBS

# Calls and annotations that make a name for type checkers only.
TYPING_FORMS = {"TypeAlias", "TypeVar", "ParamSpec", "TypeVarTuple", "NewType"}
TYPING_ONLY_BASES = {"TypedDict", "Protocol"}
TYPING_ONLY_DECORATORS = {"type_check_only"}


def last_name(node):
    """`X` for `X`, `typing.X`, `X[...]`, `X(...)` and `"X"`; None otherwise."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return last_name(ast.parse(node.value, mode="eval").body)
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return node.attr
    if isinstance(node, (ast.Subscript, ast.Call)):
        return last_name(node.value if isinstance(node, ast.Subscript) else node.func)
    return None


class StubNames:
    """The module-level names a stub defines, split into those that exist at
    run time and those that exist only for type checkers; and, for each
    run-time class, the attribute names its body defines."""

    def __init__(self, source):
        self.runtime = set()
        self.typing_only = set()
        self.all = None
        self.class_attributes = {}
        self._walk(ast.parse(source).body, typing_only=False)

    def _define(self, name, typing_only):
        (self.typing_only if typing_only else self.runtime).add(name)

    def _walk(self, body, typing_only):
        for node in body:
            if isinstance(node, ast.If):
                checking = last_name(node.test) == "TYPE_CHECKING"
                self._walk(node.body, typing_only or checking)
                self._walk(node.orelse, typing_only)
            elif isinstance(node, ast.ClassDef):
                only = (typing_only
                        or any(last_name(d) in TYPING_ONLY_DECORATORS for d in node.decorator_list)
                        or any(last_name(b) in TYPING_ONLY_BASES or last_name(b) in self.typing_only
                               for b in node.bases))
                self._define(node.name, only)
                if not only:
                    self.class_attributes[node.name] = class_body_names(node.body)
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                only = typing_only or any(last_name(d) in TYPING_ONLY_DECORATORS for d in node.decorator_list)
                self._define(node.name, only)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                self._define(node.target.id, typing_only or last_name(node.annotation) in TYPING_FORMS)
            elif isinstance(node, ast.Assign):
                for target in node.targets:
                    if not isinstance(target, ast.Name):
                        continue
                    if target.id == "__all__":
                        self.all = ast.literal_eval(node.value)
                    else:
                        # `X = TypeVar("X")`, `X = NewType(...)`, or a bare alias `X = A | B`.
                        self._define(target.id, True)
            elif type(node).__name__ == "TypeAlias":  # `type X = ...` (3.12 syntax)
                self._define(node.name.id, True)

    @property
    def runtime_public(self):
        return {name for name in self.runtime if not name.startswith("_")}


def class_body_names(body):
    """Public names a class body defines: methods, properties, annotated and
    assigned attributes (in any branch of an `if`)."""
    names = set()
    for node in body:
        if isinstance(node, ast.If):
            names |= class_body_names(node.body) | class_body_names(node.orelse)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return {name for name in names if not name.startswith("_")}


STUB = StubNames(STUBS.read_text(encoding="utf-8"))


def module_public_names(module):
    return {name for name in dir(module) if not name.startswith("_")}


def test_module_registers_exactly_the_public_names_of_the_stubs():
    registered = module_public_names(core)
    declared = STUB.runtime_public
    assert sorted(declared - registered) == [], "declared in the stubs, not registered"
    assert sorted(registered - declared) == [], "registered, not declared in the stubs"


def test_all_of_the_module_is_all_of_the_stubs():
    assert STUB.all == core.__all__
    assert set(core.__all__) == module_public_names(core)


def test_typing_only_names_do_not_exist_at_run_time():
    assert STUB.typing_only, "the stubs declare typing-only names"
    assert sorted(name for name in STUB.typing_only if hasattr(core, name)) == []


@pytest.mark.parametrize("name", sorted(STUB.class_attributes))
def test_class_defines_exactly_the_public_attributes_of_its_stub(name):
    defined = {attr for attr in vars(getattr(core, name)) if not attr.startswith("_")}
    declared = STUB.class_attributes[name]
    assert sorted(declared - defined) == [], f"declared on {name} in the stubs, not defined"
    assert sorted(defined - declared) == [], f"defined on {name}, not declared in the stubs"


# --- the stub reader itself ------------------------------------------------------------------

@pytest.mark.parametrize("source, runtime, typing_only", [
    ("def f() -> int: ...\nclass C: ...\nversion: str\n", {"f", "C", "version"}, set()),
    ("from typing import TypedDict\nclass D(TypedDict):\n    a: int\n", set(), {"D"}),
    ("import typing\nclass D(typing.TypedDict, total=False):\n    a: int\nclass E(D):\n    b: int\n",
     set(), {"D", "E"}),
    ("from typing import type_check_only\n@type_check_only\nclass P:\n    def m(self) -> None: ...\n"
     "@type_check_only\ndef helper() -> None: ...\n", set(), {"P", "helper"}),
    ("from typing import Protocol\nclass Provider(Protocol):\n    def __call__(self) -> str | None: ...\n",
     set(), {"Provider"}),
    ("from typing import TypeAlias\nA: TypeAlias = int | str\nB: 'TypeAlias' = int\n", set(), {"A", "B"}),
    ("import typing\nA: typing.TypeAlias = int\nT = typing.TypeVar('T')\nN = NewType('N', int)\nC = int\n",
     set(), {"A", "T", "N", "C"}),
    ("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    class Hidden: ...\n    x: int\n"
     "else:\n    def shown() -> None: ...\n", {"shown"}, {"Hidden", "x"}),
    ("import typing\nif typing.TYPE_CHECKING:\n    def hidden() -> None: ...\n", set(), {"hidden"}),
    ("import sys\nif sys.version_info >= (3, 12):\n    def new() -> None: ...\nelse:\n    def old() -> None: ...\n",
     {"new", "old"}, set()),
    ("__version__: str\n_private: int\n", {"__version__", "_private"}, set()),
])
def test_reader_tells_run_time_names_from_typing_only_ones(source, runtime, typing_only):
    names = StubNames(textwrap.dedent(source))
    assert (names.runtime, names.typing_only) == (runtime, typing_only)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="the `type` statement parses from Python 3.12 on")
def test_reader_takes_a_type_statement_as_typing_only():
    names = StubNames("type Pair = tuple[int, int]\ndef f() -> Pair: ...\n")
    assert (names.runtime, names.typing_only) == ({"f"}, {"Pair"})


def test_reader_ignores_private_names_and_reads_all():
    names = StubNames("__all__ = ['f', 'C']\n__version__: str\n_x: int\ndef f() -> None: ...\nclass C: ...\n")
    assert names.runtime_public == {"f", "C"}
    assert names.all == ["f", "C"]


def test_reader_lists_class_attributes_without_dunders_and_typing_only_classes():
    names = StubNames(textwrap.dedent('''
        from typing import ClassVar, TypedDict, final
        @final
        class E:
            __hash__: ClassVar[None]
            A: ClassVar["E"]
            @property
            def value(self) -> str: ...
            @staticmethod
            def from_wire_name(name: str) -> "E | None": ...
            def __int__(self) -> int: ...
        class D(TypedDict):
            a: int
    '''))
    assert names.class_attributes == {"E": {"A", "value", "from_wire_name"}}


@pytest.mark.parametrize("removed", ["classify_close", "Session"])
def test_a_name_missing_on_either_side_is_reported(removed):
    source = STUBS.read_text(encoding="utf-8")
    tree = ast.parse(source)
    tree.body = [node for node in tree.body if getattr(node, "name", None) != removed]
    shorter = StubNames(ast.unparse(tree))
    assert module_public_names(core) - shorter.runtime_public == {removed}
    assert removed not in shorter.class_attributes

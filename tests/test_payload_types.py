"""The payload types the stubs generate from the core's field rules describe
what `validate_event_payload` really returns: for every wire name the
overload names a TypedDict whose required keys are always in the result and
whose other keys are the only others it holds, each with a value of the
declared type. A payload built from the TypedDict alone is accepted."""

import ast

import pytest

import orvu_sdk_core as core
from docblocks import STUBS

TREE = ast.parse(STUBS.read_text())
TYPED_DICTS = {node.name: node for node in TREE.body
               if isinstance(node, ast.ClassDef) and any(ast.unparse(b) == "TypedDict" for b in node.bases)}


def overloads():
    """(wire name, TypedDict name) of every validate_event_payload overload."""
    for node in TREE.body:
        if isinstance(node, ast.FunctionDef) and node.name == "validate_event_payload" and node.decorator_list:
            literal = node.args.args[0].annotation
            if ast.unparse(literal).startswith("Literal["):
                wires = ast.literal_eval(ast.unparse(literal.slice))
                for wire in [wires] if isinstance(wires, str) else wires:
                    yield wire, ast.unparse(node.returns)


OVERLOADS = dict(overloads())


def fields(name):
    """{key: (annotation, required)} of a TypedDict."""
    out = {}
    for item in TYPED_DICTS[name].body:
        if isinstance(item, ast.AnnAssign):
            text = ast.unparse(item.annotation)
            required = not text.startswith("NotRequired[")
            out[item.target.id] = (text.removeprefix("NotRequired[").removesuffix("]") if not required else text,
                                   required)
    return out


def sample(annotation):
    """A value of the annotated type, nested TypedDicts built from their own fields."""
    first = annotation.split(" | ")[0]
    if first in TYPED_DICTS:
        return {key: sample(a) for key, (a, required) in fields(first).items() if required}
    if first.startswith("Literal["):
        return ast.literal_eval(first.removeprefix("Literal[").removesuffix("]").split(", ")[0])
    if first.startswith("builtins.list["):
        return []
    return {"str": "x", "bool": True, "int": 7, "None": None}[first]


def conforms(value, annotation):
    """Whether `value` has the annotated type (TypedDicts checked key by key)."""
    options = annotation.split(" | ")
    if value is None:
        return "None" in options
    kind = options[0]
    if kind in TYPED_DICTS:
        return isinstance(value, dict) and keys_conform(value, kind)
    if kind.startswith("Literal["):
        return value in ast.literal_eval("[" + kind.removeprefix("Literal[").removesuffix("]") + "]")
    if kind.startswith("builtins.list["):
        item = kind.removeprefix("builtins.list[").removesuffix("]")
        return isinstance(value, list) and (item == "Any" or all(conforms(v, item) for v in value))
    return isinstance(value, {"str": str, "bool": bool, "int": int, "Any": object}[kind])


def keys_conform(result, name):
    declared = fields(name)
    required = {key for key, (_, needed) in declared.items() if needed}
    return (required <= result.keys() <= declared.keys()
            and all(conforms(value, declared[key][0]) for key, value in result.items()))


def test_every_checked_event_type_has_an_overload():
    checked = [str(t) for t in vars(core.EventType).values()
               if isinstance(t, core.EventType) and t is not core.EventType.EventCreated]
    assert sorted(OVERLOADS) == sorted(checked)


@pytest.mark.parametrize("wire", sorted(OVERLOADS))
@pytest.mark.parametrize("optional", [False, True], ids=["required keys", "every key"])
def test_the_payload_type_describes_the_result(wire, optional):
    name = OVERLOADS[wire]
    payload = {key: sample(a) for key, (a, required) in fields(name).items() if required or optional}
    result = core.validate_event_payload(wire, payload)
    assert keys_conform(result, name), (payload, result)


@pytest.mark.parametrize("wire", sorted(OVERLOADS))
def test_a_missing_required_key_is_refused(wire):
    # Keys the type requires but that normalising supplies (containers, flags) are not refused.
    name = OVERLOADS[wire]
    full = {key: sample(a) for key, (a, required) in fields(name).items() if required}
    refused = []
    for key in full:
        try:
            core.validate_event_payload(wire, {k: v for k, v in full.items() if k != key})
        except ValueError:
            refused.append(key)
    supplied = {key for key in full if key not in refused}
    assert all(fields(name)[key][0].split(" | ")[0] in TYPED_DICTS or key == "retryable"
               or fields(name)[key][0].startswith("builtins.list[") for key in supplied)
    assert refused

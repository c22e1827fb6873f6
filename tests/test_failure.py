import inspect

import pytest

from orvu_sdk_core import AgentFailure

KEY = "orvu.core.agent_failure"


def test_minimal_failure_dict_order():
    f = AgentFailure("llm", "boom")
    assert (f.provider, f.message, f.code, f.detail) == ("llm", "boom", None, None)
    assert list(f.to_dict().items()) == [("provider", "llm"), ("code", None), ("message", "boom"), ("detail", None)]


@pytest.mark.parametrize(
    "detail, expected",
    [
        ({"z": 1, "a": {"y": [1, (2, 3)], "x": None}}, {"a": {"x": None, "y": [1, [2, 3]]}, "z": 1}),
        (float("nan"), None),
        ([float("inf"), 1.5, -(2**63), 2**64 - 1], [None, 1.5, -(2**63), 2**64 - 1]),
        (frozenset({"only"}), ["only"]),
        (False, False),
    ],
)
def test_detail_round_trip(detail, expected):
    f = AgentFailure(provider="p", message="m", code="E42", detail=detail)
    for value in (f.detail, f.to_dict()["detail"], f.to_extension_data()[KEY]["detail"]):
        assert value == expected
        if isinstance(expected, dict):
            assert list(value) == ["a", "z"] and list(value["a"]) == ["x", "y"]


def test_detail_is_copied_in_and_fresh_on_every_read():
    detail = {"inner": {"n": 1}}
    f = AgentFailure("p", "m", detail=detail)
    detail["inner"]["n"] = 2
    f.detail["inner"]["n"] = 3
    f.to_dict()["detail"]["inner"]["n"] = 4
    assert f.detail == {"inner": {"n": 1}}


@pytest.mark.parametrize("method", ["to_dict", "to_extension_data"])
def test_dict_forms_are_fresh(method):
    f = AgentFailure("p", "m", "c", {"k": [1]})
    first = getattr(f, method)()
    expected = {k: v for k, v in first.items()}
    first.clear()
    assert getattr(f, method)() == expected


def test_extension_data_wraps_to_dict():
    f = AgentFailure("p", "", "", {"k": "v"})
    ext = f.to_extension_data()
    assert list(ext) == [KEY]
    assert ext[KEY] == f.to_dict() == {"provider": "p", "code": "", "message": "", "detail": {"k": "v"}}


@pytest.mark.parametrize(
    "args, kwargs, match",
    [
        ((1, "m"), {}, r"^AgentFailure\.__new__\(\) argument 'provider' must be str, not int$"),
        (("p", None), {}, r"argument 'message' must be str, not NoneType"),
        (("p", "m", 5), {}, r"argument 'code' must be str or None, not int"),
        (("p", "m"), {"detail": b"x"}, r"^invalid type: byte array, expected any valid JSON value$"),
        (("p", "m"), {"detail": {"n": 2**64}}, r"^JSON number out of range$"),
        (("p", "m"), {"detail": object()}, r"^unsupported type object$"),
        # Converted in the order provider, message, code, detail.
        ((1, 2, 3, b"x"), {}, r"argument 'provider'"),
        (("p", 2, 3, b"x"), {}, r"argument 'message'"),
        (("p", "m", 3, b"x"), {}, r"argument 'code'"),
        (("p",), {}, r"AgentFailure\.__new__\(\) missing required argument 'message'"),
        (("p", "m", None, None, None), {}, r"AgentFailure\.__new__\(\) takes"),
        (("p", "m"), {"severity": 1}, r"unexpected keyword argument 'severity'"),
    ],
)
def test_constructor_errors(args, kwargs, match):
    with pytest.raises(TypeError, match=match):
        AgentFailure(*args, **kwargs)


@pytest.mark.parametrize("name", ["provider", "message", "code", "detail", "extra"])
def test_attributes_read_only(name):
    f = AgentFailure("p", "m", "c", [1])
    with pytest.raises(AttributeError):
        setattr(f, name, "x")
    assert f.to_dict() == {"provider": "p", "code": "c", "message": "m", "detail": [1]}


@pytest.mark.parametrize("method", ["to_dict", "to_extension_data"])
def test_methods_take_no_arguments(method):
    with pytest.raises(TypeError, match=rf"AgentFailure\.{method}\(\)"):
        getattr(AgentFailure("p", "m"), method)(1)


def test_signature_and_docs():
    assert str(inspect.signature(AgentFailure)) == "(provider, message, code=None, detail=None)"
    assert AgentFailure.__module__ == "orvu_sdk_core"
    assert AgentFailure.__doc__ == "One agent-provider failure, surfaced verbatim rather than classified."
    assert AgentFailure.to_extension_data.__doc__ == "The canonical failure payload under Core's extension-data key."

"""Close-code and upgrade-status classification."""

import pytest

from orvu_sdk_core import classify_close, classify_upgrade


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("code,terminal", [
    (1000, True), (1001, False), (4000, False), (0, False), (65535, False), (None, False),
    (True, False), (Idx(1000), True), (999, False),
])
def test_classify_close(code, terminal):
    assert classify_close(code) == (terminal, None)
    assert classify_close(close_code=code) == (terminal, None)


@pytest.mark.parametrize("status", range(0, 65536, 97))
def test_classify_upgrade_sweep(status):
    assert classify_upgrade(status) == (status in (400, 403, 409), None)


@pytest.mark.parametrize("status", range(395, 415))
def test_classify_upgrade_around_4xx(status):
    assert classify_upgrade(status) == (status in (400, 403, 409), None)


@pytest.mark.parametrize("fn,name,value", [
    (classify_close, "close_code", 65536), (classify_close, "close_code", -1),
    (classify_upgrade, "status", 70000), (classify_upgrade, "status", -5),
    (classify_upgrade, "status", 2**63 - 1), (classify_close, "close_code", -2**63),
])
def test_out_of_range_messages(fn, name, value):
    with pytest.raises(ValueError) as info:
        fn(value)
    assert str(info.value) == f"`{name}` must be an integer between 0 and 65535, got {value}"


@pytest.mark.parametrize("fn,bad", [
    (classify_close, 1000.0), (classify_close, "1000"), (classify_upgrade, None), (classify_upgrade, 403.0),
    (classify_upgrade, b"403"), (classify_close, [1000]),
])
def test_wrong_types(fn, bad):
    with pytest.raises(TypeError) as info:
        fn(bad)
    assert fn.__name__ + "()" in str(info.value)


@pytest.mark.parametrize("fn", [classify_close, classify_upgrade])
@pytest.mark.parametrize("value", [2**63, -2**63 - 1, 2**200])
def test_too_wide_integers_overflow(fn, value):
    with pytest.raises(OverflowError):
        fn(value)


def test_index_errors_propagate():
    class Boom:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        classify_close(Boom())

"""The argument ranges and small decisions the core owns, checked on the core
directly (tests/core/rules_check.cpp): the Python tests of each class see them
only through one argument at a time."""
import pytest

from native import build_core_check


@pytest.fixture(scope="module")
def rules(tmp_path_factory):
    check = build_core_check(tmp_path_factory.mktemp("rules"), "rules_check")

    def run(*args):
        returncode, stdout = check(*args)
        assert returncode == 0, stdout
        return stdout

    return run


@pytest.mark.parametrize(
    ("low", "high", "value", "expected"),
    [
        (1, 4294967295, "1", "ok 1"),
        (1, 4294967295, "4294967295", "ok 4294967295"),
        (1, 4294967295, "0", "value `n` must be an integer between 1 and 4294967295, got 0"),
        (1, 4294967295, "4294967296", "value `n` must be an integer between 1 and 4294967295, got 4294967296"),
        (0, 65535, "-1", "value `n` must be an integer between 0 and 65535, got -1"),
        (0, 65535, "-9223372036854775808",
         "value `n` must be an integer between 0 and 65535, got -9223372036854775808"),
        (0, 18446744073709551615, "18446744073709551615", "ok 18446744073709551615"),
        (0, 18446744073709551615, "0", "ok 0"),
    ],
)
def test_range_check_and_its_message(rules, low, high, value, expected):
    assert rules("range", str(low), str(high), value) == expected + "\n"


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("self_echo", "ok 1001"),
        ("durably_processed", "ok 0101"),
        ("durably_failed", "ok 0011"),
        ("allow_failed_retry", "ok 0001"),
        ("Self_echo", "type unknown field `Self_echo`, expected one of `self_echo`, `durably_processed`, "
                      "`durably_failed`, `allow_failed_retry`"),
    ],
)
def test_delivery_facts_by_name(rules, name, expected):
    assert rules("fact", name) == expected + "\n"


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("none",), "no_candidate -"),
        (("agent-1", "Agent", "agent-1", "0"), "self_echo m1"),
        (("agent-1", "Agent", "agent-1", "1"), "self_echo m1"),
        (("agent-1", "User", "agent-1", "1"), "drain m1"),
        (("user-1", "User", "agent-1", "0"), "out_of_snapshot m1"),
    ],
)
def test_drain_step_names_its_candidate(rules, args, expected):
    assert rules("drain", *args) == expected + "\n"


@pytest.mark.parametrize(
    ("args", "expected"),
    [(("m1",), "no_pending -"), (("m1", "m1"), "ready_to_claim -"), (("m1", "m2"), "already_processed m2")],
)
def test_next_message_echoes_only_another_open_id(rules, args, expected):
    assert rules("next", *args) == expected + "\n"

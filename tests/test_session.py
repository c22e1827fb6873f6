import inspect
import math
import subprocess
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from native import compile_core_check
from orvu_sdk_core import (
    DeadReason,
    Session,
    SessionOutcome,
    SessionPolicy,
    SessionState,
    StaleReason,
)

DEFAULTS = {
    "base_delay_s": 1,
    "factor": 2.0,
    "max_delay_s": 30,
    "stable_reset_s": 60,
    "rapid_disconnect_uptime_s": 10,
    "rapid_window_s": 300,
    "rapid_first_min_delay_s": 1,
    "rapid_second_min_delay_s": 5,
    "rapid_cooldown_base_s": 10,
    "rapid_cooldown_step_s": 10,
    "rapid_cooldown_max_s": 60,
    "rapid_threshold": 10,
    "heartbeat_interval_s": 30,
    "dead_threshold_s": 60,
}
KEYS = list(DEFAULTS)
DURATION_KEYS = [k for k in KEYS if k.endswith("_s")]

Connecting, Up, Reconnecting, Dead = (
    SessionState.Connecting, SessionState.Up, SessionState.Reconnecting, SessionState.Dead)


def config(**changes):
    cfg = dict(DEFAULTS)
    for key, value in changes.items():
        if value is KeyError:
            del cfg[key]
        else:
            cfg[key] = value
    return cfg


def session(**changes):
    return Session(SessionPolicy(config(**changes)) if changes else SessionPolicy.default())


def out(o):
    return (o.state, o.retry_after_s, o.dead_reason, o.stale_reason)


def retry(state, delay):
    return (state, delay, None, None)


def stale(state, reason):
    return (state, None, None, reason)


def dead(reason):
    return (Dead, None, reason, None)


def refused_upgrade(s, t, jitter=1.0, retry_after=None, status=503):
    """One attempt that never connects: a rapid disconnect."""
    return out(s.on_upgrade_rejected(s.begin_attempt(t), t, status, retry_after, jitter))


def connection(s, t, uptime, jitter=1.0, code=1006):
    """One attempt that connects at t and closes after `uptime` seconds."""
    e = s.begin_attempt(t)
    assert out(s.on_connected(e, t)) == (Up, None, None, None)
    return out(s.on_socket_close(e, t + uptime, code, jitter))


def probe(s):
    """Everything a later host sees from the session, as a list of outcomes."""
    seen = [s.state]
    e = s.begin_attempt(1000.0)
    seen.append(e)
    if e is None:
        return seen + [out(s.on_connected(0, 1000.0))]
    seen += [out(s.on_connected(e - 1, 1000.0)) if e else None,
             out(s.on_connected(e, 1000.0)),
             out(s.on_socket_close(e, 1001.0, 1006, 1.0))]
    for i in range(10):
        e = s.begin_attempt(1002.0 + i)
        seen.append(e)
        if e is None:
            break
        seen.append(out(s.on_upgrade_rejected(e, 1002.0 + i, 503, None, 1.0)))
    return seen


# ---------------------------------------------------------------------------
# SessionPolicy


def test_default_matches_table_and_exposes_liveness_settings():
    p = SessionPolicy.default()
    assert (p.heartbeat_interval_s, p.dead_threshold_s) == (30.0, 60.0)
    with pytest.raises(AttributeError):
        p.heartbeat_interval_s = 1.0
    scripted = []
    for s in (session(), Session(SessionPolicy(DEFAULTS)), Session(SessionPolicy(config(factor=2)))):
        scripted.append([connection(s, 100.0 * i, 30.0) for i in range(8)] + probe(s))
    assert scripted[0] == scripted[1] == scripted[2]


class OnlyGetitem:
    def __init__(self, data, error=KeyError):
        self.data, self.error = data, error

    def __getitem__(self, key):
        if key not in self.data:
            raise self.error(key)
        return self.data[key]


@pytest.mark.parametrize("cfg, first", [(config(**{key: KeyError}), key) for key in KEYS] + [
    (config(base_delay_s=KeyError, rapid_window_s=KeyError), "base_delay_s"),
    (OnlyGetitem(config(dead_threshold_s=KeyError), RuntimeError), "dead_threshold_s"),
    (OnlyGetitem(config(factor=KeyError), ZeroDivisionError), "factor"),
    (None, "base_delay_s"),
    ([], "base_delay_s"),
])
def test_any_lookup_failure_is_the_missing_error(cfg, first):
    with pytest.raises(TypeError, match=f"^SessionPolicy config is missing `{first}`$"):
        SessionPolicy(cfg)


@pytest.mark.parametrize("key", ["base_delay_s", "factor", "rapid_threshold", "dead_threshold_s"])
@pytest.mark.parametrize("value, suffix", [
    (True, ", not bool"), (False, ", not bool"), ("1", ""), (None, ""), ([1], ""), (10 ** 400, ""),
])
def test_per_key_type_errors(key, value, suffix):
    with pytest.raises(TypeError, match=f"^SessionPolicy config `{key}` must be a number{suffix}$"):
        SessionPolicy(config(**{key: value}))


def test_mapping_like_config_and_float_like_values():
    class FloatLike:
        def __float__(self):
            return 7.0

    assert SessionPolicy(OnlyGetitem(config(heartbeat_interval_s=FloatLike()))).heartbeat_interval_s == 7.0


@pytest.mark.parametrize("key", DURATION_KEYS)
@pytest.mark.parametrize("value, text", [
    (-1, "-1"), (-0.5, "-0.5"), (-1e-7, "-0.0000001"), (math.inf, "inf"), (-math.inf, "-inf"),
    (math.nan, "NaN"), (-1e20, "-100000000000000000000"), (-5e-324, "-0." + "0" * 323 + "5"),
])
def test_duration_value_errors(key, value, text):
    with pytest.raises(ValueError) as info:
        SessionPolicy(config(**{key: value}))
    assert str(info.value) == f"`{key}` must be a finite, non-negative number, got {text}"
    assert not hasattr(info.value, "issues")


@pytest.mark.parametrize("value, text", [
    (2.5, "2.5"), (-1, "-1"), (4294967296, "4294967296"), (math.nan, "NaN"), (math.inf, "inf"), (1e300, "1" + "0" * 300),
])
def test_rapid_threshold_value_errors(value, text):
    with pytest.raises(ValueError, match="^SessionPolicy config `rapid_threshold` must be a whole number "
                                         f"between 0 and 4294967295, got {text}$"):
        SessionPolicy(config(rapid_threshold=value))


def test_keys_are_checked_in_table_order_before_cross_field_checks():
    with pytest.raises(TypeError, match="`factor` must be a number$"):
        SessionPolicy(config(factor="x", rapid_window_s=KeyError, base_delay_s=100))
    with pytest.raises(ValueError, match="^`max_delay_s`"):
        SessionPolicy(config(factor=0.1, max_delay_s=-1, rapid_threshold=0.5))
    with pytest.raises(TypeError, match="trace_context"):
        SessionPolicy({}, trace_context=1)


@pytest.mark.parametrize("changes, issues", [
    ({"factor": 0.5, "base_delay_s": 60, "max_delay_s": 30}, [
        ("factor", "invalid_value", "factor must be a finite number >= 1.0, got 0.5"),
        ("base_delay", "invalid_value", "base_delay must not exceed max_delay")]),
    ({"factor": math.nan, "base_delay_s": 2, "max_delay_s": 1.999999999, "rapid_threshold": 0,
      "heartbeat_interval_s": 0, "dead_threshold_s": 0}, [
        ("factor", "invalid_value", "factor must be a finite number >= 1.0, got NaN"),
        ("base_delay", "invalid_value", "base_delay must not exceed max_delay"),
        ("rapid_threshold", "invalid_value", "rapid_threshold must be at least 1"),
        ("heartbeat_interval", "invalid_value", "heartbeat_interval must be greater than zero"),
        ("dead_threshold", "invalid_value", "dead_threshold must exceed heartbeat_interval")]),
    ({"factor": math.inf}, [("factor", "invalid_value", "factor must be a finite number >= 1.0, got inf")]),
    ({"factor": -0.0}, [("factor", "invalid_value", "factor must be a finite number >= 1.0, got -0")]),
    ({"heartbeat_interval_s": 30, "dead_threshold_s": 30},
     [("dead_threshold", "invalid_value", "dead_threshold must exceed heartbeat_interval")]),
    # held at whole nanoseconds, these two are the same duration
    ({"heartbeat_interval_s": 1.0, "dead_threshold_s": 1.0000000004},
     [("dead_threshold", "invalid_value", "dead_threshold must exceed heartbeat_interval")]),
    # both saturate to the largest duration
    ({"heartbeat_interval_s": 2.0 ** 64, "dead_threshold_s": 1e300},
     [("dead_threshold", "invalid_value", "dead_threshold must exceed heartbeat_interval")]),
    ({"heartbeat_interval_s": 4e-10},
     [("heartbeat_interval", "invalid_value", "heartbeat_interval must be greater than zero")]),
])
@pytest.mark.parametrize("trace", [None, "trace-7"])
def test_cross_field_issues_are_collected_in_order(changes, issues, trace):
    with pytest.raises(ValueError) as info:
        SessionPolicy(config(**changes), trace)
    err = info.value
    assert err.issues == tuple(issues)
    assert err.trace_context == trace
    assert str(err) == f"{len(issues)} validation issue(s): {issues[0][2]} ({issues[0][0]})"


@pytest.mark.parametrize("changes, heartbeat", [
    ({"base_delay_s": 30, "max_delay_s": 30, "factor": 1, "rapid_threshold": 1}, 30.0),
    ({"heartbeat_interval_s": 6e-10}, 1e-9),
    ({"heartbeat_interval_s": 1.0000000006}, 1.000000001),
    ({"heartbeat_interval_s": -0.0, "dead_threshold_s": 1}, None),
    ({"heartbeat_interval_s": 2.0 ** 64 - 2048, "dead_threshold_s": 2.0 ** 64}, 2.0 ** 64 - 2048),
    ({"max_delay_s": 4e-10, "base_delay_s": 5e-324}, 30.0),  # both round to zero: equal is allowed
])
def test_accepted_boundaries_and_nanosecond_rounding(changes, heartbeat):
    if heartbeat is None:  # -0.0 is zero: only the heartbeat issue; saturated durations compare equal
        with pytest.raises(ValueError) as info:
            SessionPolicy(config(**changes))
        assert len(info.value.issues) == 1
    else:
        assert SessionPolicy(config(**changes)).heartbeat_interval_s == heartbeat


@pytest.fixture(scope="module")
def duration_check(tmp_path_factory):
    return compile_core_check(tmp_path_factory.mktemp("duration_core"), "duration_check")


# Hundreds of thousands of floats per range, against a 128-bit reference:
# subnormals to a nanosecond, fractions with carries into the next second,
# up to 2^64, and the exact half-nanosecond ties (fractions m / 1024).
@pytest.mark.parametrize("part", ["small", "unit", "large", "ties"])
def test_float_seconds_round_to_the_nearest_nanosecond_exactly(duration_check, part):
    done = subprocess.run([duration_check, part], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


# ---------------------------------------------------------------------------
# Backoff and cooldown


def test_backoff_grows_and_caps_for_non_rapid_endings():
    s = session()
    delays = [connection(s, 100.0 * i, 30.0)[1] for i in range(8)]
    assert delays == [1.0, 2.0, 4.0, 8.0, 16.0, 30.0, 30.0, 30.0]
    assert s.state is Reconnecting


@pytest.mark.parametrize("jitter, n, expected", [(0.5, 3, 2.0), (0.0, 1, 0.0), (0.25, 5, 4.0), (0.1, 1, 0.1)])
def test_full_jitter(jitter, n, expected):
    s = session()
    for i in range(n - 1):
        connection(s, 100.0 * i, 30.0)
    assert connection(s, 1000.0, 30.0, jitter) == retry(Reconnecting, expected)


@pytest.mark.parametrize("changes, expected", [
    ({"factor": 1e308}, 30.0),                       # factor^e overflows: the cap
    ({"factor": 1e200}, 30.0),                       # huge but finite: the cap
    ({"base_delay_s": 0, "factor": 1e308}, 0.0),     # a zero base stays zero, however large the power
    ({"base_delay_s": 0, "factor": 1e10}, 0.0),
    ({"factor": 1.0, "base_delay_s": 3}, 3.0),
    ({"max_delay_s": 2.0 ** 64}, 4.0),
])
def test_backoff_overflow_falls_back_to_max_delay(changes, expected):
    s = session(**changes)
    for i in range(2):
        connection(s, 100.0 * i, 30.0)
    assert connection(s, 1000.0, 30.0)[1] == expected


@pytest.mark.parametrize("factor, retries", [
    (2.0, 1100),    # 2^e overflows to infinity after 1,024 retries
    (1e308, 3),     # (1e308)^e overflows from the third attempt
])
@pytest.mark.parametrize("retry_after, expected", [
    (120.0, 120.0),  # the server's lower bound holds
    (None, 1.0),     # a refused upgrade is a rapid disconnect: the first rapid floor
])
def test_zero_base_delay_never_becomes_not_a_number(factor, retries, retry_after, expected):
    s = session(base_delay_s=0, factor=factor)
    t = 0.0
    # Non-rapid closes carry no window: with a zero base they retry at once.
    for _ in range(retries):
        assert connection(s, t, 30.0, jitter=0.0)[1] == 0.0
        t += 100.0
    e = s.begin_attempt(t)
    assert out(s.on_upgrade_rejected(e, t, 503, retry_after, 0.0)) == retry(Reconnecting, expected)


def test_cooldown_ladder_without_connects_ends_in_rapid_death():
    s = session()
    seen = [refused_upgrade(s, 10.0 * i) for i in range(10)]
    assert seen[:9] == [retry(Connecting, d) for d in [1.0, 5.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 60.0]]
    assert seen[9] == dead(DeadReason.RapidDisconnect)
    assert s.begin_attempt(200.0) is None


@pytest.mark.parametrize("jitter", [0.0, 1.0])
def test_cooldown_ladder_with_short_connections(jitter):
    s = session()
    seen = [connection(s, 20.0 * i, 9.999, jitter) for i in range(10)]
    floors = [1.0, 5.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 60.0]
    if jitter:
        # the backoff itself reaches 2, 4, 8, 16, 30 ... only the floors above it show
        floors = [max(f, min(2.0 ** i, 30.0)) for i, f in enumerate(floors)]
    assert seen == [retry(Reconnecting, f) for f in floors] + [dead(DeadReason.RapidDisconnect)]


@pytest.mark.parametrize("changes, floors", [
    ({"rapid_cooldown_step_s": 0}, [1, 5, 10, 10, 10]),
    ({"rapid_cooldown_max_s": 7}, [1, 5, 7, 7, 7]),
    ({"rapid_first_min_delay_s": 0, "rapid_second_min_delay_s": 0.5, "rapid_cooldown_step_s": 2.5}, [0, 0.5, 10, 12.5, 15]),
    ({"rapid_cooldown_base_s": 1e300, "rapid_cooldown_max_s": 45, "max_delay_s": 40}, [1, 5, 45, 45, 45]),
])
def test_cooldown_ladder_settings(changes, floors):
    s = session(**changes)
    assert [refused_upgrade(s, float(i), 0.0)[1] for i in range(5)] == [float(f) for f in floors]


@pytest.mark.parametrize("times, expected", [
    ([0.0, 100.0, 200.0, 401.0], 5.0),   # 0 and 100 are more than 300 s old: two remain
    ([0.0, 300.0], 5.0),                 # exactly the window apart: still remembered
    ([0.0, 300.5], 1.0),
    ([0.0, 100.0, 350.0], 5.0),          # aging stops at the first time within the window
])
def test_rapid_disconnects_age_out_by_the_window(times, expected):
    s = session()
    seen = [refused_upgrade(s, t, 0.0) for t in times]
    assert seen[-1] == retry(Connecting, expected)


@pytest.mark.parametrize("retry_after, jitter, rapid_count, expected", [
    (120.0, 0.0, 1, 120.0),   # a window above max_delay lifts the delay
    (5.0, 0.0, 1, 5.0),       # (5, 30) with the rapid (1, 30)
    (5.0, 0.0, 3, 10.0),      # the rapid floor 10 is higher
    (20.0, 1.0, 1, 20.0),
    (45.0, 1.0, 3, 45.0),
    (0.0, 1.0, 1, 1.0),
    (1e30, 1.0, 1, 30.0),     # saturated: too large for a delay, so max_delay
])
def test_retry_after_window_combines_with_rapid_window(retry_after, jitter, rapid_count, expected):
    s = session()
    for i in range(rapid_count - 1):
        refused_upgrade(s, float(i), 0.0)
    assert refused_upgrade(s, 50.0, jitter, retry_after, 429) == retry(Connecting, expected)


def test_retry_after_on_a_non_rapid_supersede():
    s = session()
    s.on_connected(s.begin_attempt(0.0), 0.0)
    assert out(s.on_supersede(30.0, True, 120.0, 0.0)) == retry(Reconnecting, 120.0)
    s.on_connected(s.begin_attempt(200.0), 200.0)
    assert out(s.on_supersede(230.0, True, None, 0.0)) == retry(Reconnecting, 0.0)


# ---------------------------------------------------------------------------
# Uptime: rapid and stable thresholds


@pytest.mark.parametrize("uptime, dies", [(10.0, False), (9.999999, True), (10.5, False), (0.0, True)])
def test_rapid_uptime_boundary(uptime, dies):
    s = session(rapid_threshold=2)
    assert refused_upgrade(s, 0.0) == retry(Connecting, 1.0)
    second = connection(s, 10.0, uptime)
    if dies:
        assert second == dead(DeadReason.RapidDisconnect)
    else:
        assert second == retry(Reconnecting, 2.0)
        assert refused_upgrade(s, 50.0) == dead(DeadReason.RapidDisconnect)


@pytest.mark.parametrize("uptime, delay", [(60.0, 1.0), (100.0, 1.0), (59.999, 8.0)])
def test_stable_reset_boundary(uptime, delay):
    s = session(rapid_threshold=2)
    for i in range(3):
        connection(s, 100.0 * i, 30.0)
    assert connection(s, 1000.0, uptime) == retry(Reconnecting, delay)
    assert connection(s, 2000.0, 30.0) == retry(Reconnecting, delay * 2)


def test_stable_connection_keeps_remembered_rapid_disconnects():
    s = session(rapid_threshold=3)
    refused_upgrade(s, 0.0)
    refused_upgrade(s, 1.0)
    connection(s, 2.0, 100.0)
    assert refused_upgrade(s, 103.0) == dead(DeadReason.RapidDisconnect)


# ---------------------------------------------------------------------------
# Stale reports and ordered checks


def test_epochs_and_stale_connects():
    s = session()
    assert s.state is Connecting
    assert (s.begin_attempt(0.0), s.begin_attempt(1.0)) == (0, 1)
    assert out(s.on_connected(0, 2.0)) == stale(Connecting, StaleReason.WrongEpoch)
    assert out(s.on_connected(1, 2.0)) == (Up, None, None, None)
    # duplication is checked before the clock
    for t in (3.0, 0.5):
        assert out(s.on_connected(1, t)) == stale(Up, StaleReason.DuplicateConnected)
    assert out(s.on_socket_close(1, 1.9, 1006, 0.5)) == stale(Up, StaleReason.ClockRegression)
    assert out(s.on_upgrade_rejected(1, 1.9, 503, None, 0.5)) == stale(Up, StaleReason.ClockRegression)
    assert out(s.on_socket_close(0, 5.0, 1006, 0.5)) == stale(Up, StaleReason.WrongEpoch)
    assert out(s.on_socket_close(1, 2.0, 1006, 1.0)) == retry(Reconnecting, 1.0)  # equal time accepted
    assert out(s.on_socket_close(1, 3.0, 1006, 1.0)) == stale(Reconnecting, StaleReason.WrongEpoch)


def test_supersede_checks():
    s = session()
    e = s.begin_attempt(10.0)
    assert out(s.on_supersede(9.0, True, None, 1.0)) == stale(Connecting, StaleReason.SupersedePredatesEpoch)
    assert out(s.on_supersede(9.0, False, None, 1.0)) == stale(Connecting, StaleReason.SupersedePredatesEpoch)
    assert out(s.on_supersede(10.0, True, None, 1.0)) == retry(Connecting, 1.0)
    # the supersede closed the attempt
    assert out(s.on_socket_close(e, 11.0, 1006, 1.0)) == stale(Connecting, StaleReason.WrongEpoch)
    # with no attempt in flight nothing predates it
    assert out(s.on_supersede(0.0, True, None, 1.0)) == retry(Connecting, 5.0)
    assert out(s.on_supersede(0.0, False, None, 1.0)) == dead(DeadReason.Classified)


@pytest.mark.parametrize("ending", [
    lambda s, e: s.on_socket_close(e, 8.0, 1000, 1.0),
    lambda s, e: s.on_upgrade_rejected(e, 8.0, 400, 5.0, 1.0),
    lambda s, e: s.on_upgrade_rejected(e, 8.0, 403, None, 1.0),
    lambda s, e: s.on_upgrade_rejected(e, 8.0, 409, None, 1.0),
    lambda s, e: s.on_supersede(8.0, False, None, 1.0),
])
def test_terminal_endings_and_the_dead_session(ending):
    s = session()
    e = s.begin_attempt(0.0)
    s.on_connected(e, 5.0)
    assert out(ending(s, e)) == dead(DeadReason.Classified)
    assert s.begin_attempt(9.0) is None
    for report in (lambda: s.on_connected(e, 9.0), lambda: s.on_connected(99, 0.0),
                   lambda: s.on_socket_close(e + 1, 9.0, 1006, 1.0),
                   lambda: s.on_upgrade_rejected(e, 0.0, 503, None, 1.0),
                   lambda: s.on_supersede(0.0, True, None, 1.0)):
        assert out(report()) == dead(DeadReason.Classified)
    assert s.end() is Dead
    assert out(s.on_connected(e, 9.0)) == dead(DeadReason.Classified)  # end() keeps the reason


@pytest.mark.parametrize("status", [401, 404, 408, 429, 500, 503, 0, 65535])
def test_other_statuses_retry(status):
    assert refused_upgrade(session(), 0.0, 1.0, None, status) == retry(Connecting, 1.0)


def test_end_on_a_live_session():
    s = session()
    e = s.begin_attempt(0.0)
    s.on_connected(e, 1.0)
    assert s.end() is Dead and s.state is Dead
    assert out(s.on_socket_close(e, 2.0, 1006, 1.0)) == dead(None)
    assert s.begin_attempt(3.0) is None


def test_stale_reports_change_nothing():
    a, b = session(), session()
    for s in (a, b):
        refused_upgrade(s, 0.0)
        e = s.begin_attempt(10.0)
        s.on_connected(e, 12.0)
    outcomes = [
        a.on_connected(e - 1, 13.0), a.on_connected(e, 13.0), a.on_connected(e, 1.0),
        a.on_socket_close(e, 11.0, 1000, 1.0), a.on_socket_close(e + 1, 13.0, 1000, 1.0),
        a.on_upgrade_rejected(e, 11.0, 403, None, 1.0), a.on_supersede(9.0, False, None, 1.0),
    ]
    assert all(o.stale_reason is not None and o.state is Up for o in outcomes)
    assert probe(a) == probe(b)


# ---------------------------------------------------------------------------
# Arguments


def prepared():
    s = session()
    refused_upgrade(s, 0.0)
    e = s.begin_attempt(10.0)
    s.on_connected(e, 12.0)
    return s, e


J = "`jitter_sample` must be a finite number between 0.0 and 1.0, got "
NOW = "`now_s` must be a finite, non-negative number, got "
RA = "`retry_after_s` must be a finite, non-negative number, got "


@pytest.mark.parametrize("call, exc, message", [
    (lambda s, e: s.on_socket_close(e, 13.0, 70000, 0.5), ValueError,
     "`close_code` must be an integer between 0 and 65535, got 70000"),
    (lambda s, e: s.on_socket_close(-1, 13.0, 1000, 0.5), ValueError, "`epoch` must be a non-negative integer, got -1"),
    (lambda s, e: s.on_socket_close(e, 13.0, 1000, 1.5), ValueError, J + "1.5"),
    (lambda s, e: s.on_socket_close(e, 13.0, 1000, math.nan), ValueError, J + "NaN"),
    (lambda s, e: s.on_socket_close(-1, -1.0, -1, 2.0), ValueError, "`epoch` must be a non-negative integer, got -1"),
    (lambda s, e: s.on_socket_close(e, -1.0, -1, 2.0), ValueError, NOW + "-1"),
    (lambda s, e: s.on_socket_close(e, 13.0, -1, 2.0), ValueError,
     "`close_code` must be an integer between 0 and 65535, got -1"),
    (lambda s, e: s.on_socket_close(-1, "13", 1000, 0.5), TypeError, "now_s"),
    (lambda s, e: s.on_socket_close(e, 13.0, 1000.0, 0.5), TypeError, "close_code"),
    (lambda s, e: s.on_socket_close(2 ** 63, 13.0, 1000, 0.5), OverflowError, None),
    (lambda s, e: s.on_connected(e, math.inf), ValueError, NOW + "inf"),
    (lambda s, e: s.on_connected(-(2 ** 63), 1.0), ValueError,
     "`epoch` must be a non-negative integer, got -9223372036854775808"),
    (lambda s, e: s.on_upgrade_rejected(e, 13.0, -5, None, 0.5), ValueError,
     "`status` must be an integer between 0 and 65535, got -5"),
    (lambda s, e: s.on_upgrade_rejected(e, 13.0, None, None, 0.5), TypeError, "status"),
    (lambda s, e: s.on_upgrade_rejected(e, 13.0, 403, -math.inf, 0.5), ValueError, RA + "-inf"),
    (lambda s, e: s.on_upgrade_rejected(e, 13.0, 403, math.nan, 7.0), ValueError, RA + "NaN"),
    (lambda s, e: s.on_supersede(13.0, 0, None, 0.5), TypeError, "retryable"),
    (lambda s, e: s.on_supersede(-0.5, False, None, 0.5), ValueError, NOW + "-0.5"),
    (lambda s, e: s.on_supersede(13.0, False, -2.0, 0.5), ValueError, RA + "-2"),
    (lambda s, e: s.begin_attempt(math.nan), ValueError, NOW + "NaN"),
    # Several bad values: the first in parameter order is the one reported.
    (lambda s, e: s.on_connected(-1, math.nan), ValueError, "`epoch` must be a non-negative integer, got -1"),
    (lambda s, e: s.on_upgrade_rejected(-1, math.nan, 70000, -1.0, 2.0), ValueError,
     "`epoch` must be a non-negative integer, got -1"),
    (lambda s, e: s.on_upgrade_rejected(e, math.nan, 70000, -1.0, 2.0), ValueError, NOW + "NaN"),
    (lambda s, e: s.on_upgrade_rejected(e, 13.0, 70000, -1.0, 2.0), ValueError,
     "`status` must be an integer between 0 and 65535, got 70000"),
    (lambda s, e: s.on_upgrade_rejected(e, 13.0, 403, -1.0, 2.0), ValueError, RA + "-1"),
    (lambda s, e: s.on_supersede(math.nan, True, -1.0, 2.0), ValueError, NOW + "NaN"),
    (lambda s, e: s.on_supersede(13.0, True, -1.0, 2.0), ValueError, RA + "-1"),
    (lambda s, e: s.on_supersede(13.0, True, None, 2.0), ValueError, J + "2"),
    (lambda s, e: s.begin_attempt(now=1.0), TypeError, "now"),
    (lambda s, e: s.end(1), TypeError, None),
])
def test_raising_calls_change_nothing(call, exc, message):
    s, e = prepared()
    twin, _ = prepared()
    with pytest.raises(exc) as info:
        call(s, e)
    if exc is ValueError:
        assert str(info.value) == message
    elif message:
        assert message in str(info.value)
    assert probe(s) == probe(twin)


@given(st.floats(max_value=-0.0, allow_nan=False, allow_infinity=False).filter(lambda x: x != 0))
def test_numbers_in_messages_are_shortest_round_trip_without_exponent(x):
    text = format(Decimal(repr(x)).normalize(), "f")
    with pytest.raises(ValueError, match=f"^`now_s` must be a finite, non-negative number, got {text}$"):
        session().begin_attempt(x)
    assert float(text) == x


@pytest.mark.parametrize("call", [
    lambda s, e: s.on_socket_close(e, 13.0, None, -0.0),
    lambda s, e: s.on_socket_close(e, 13.0, True, 1),
    lambda s, e: s.on_upgrade_rejected(e, 13.0, 503, 0, False),
    lambda s, e: s.on_supersede(13.0, True, -0.0, 0.0),
])
def test_accepted_argument_boundaries(call):
    s, e = prepared()
    assert call(s, e).stale_reason is None
    assert session().begin_attempt(-0.0) == 0


def test_reentrant_calls_are_refused_and_change_nothing():
    s, e = prepared()
    twin, _ = prepared()

    class Sneaky:
        def __init__(self, action):
            self.action = action

        def __float__(self):
            self.action()
            return 13.0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.on_socket_close(e, Sneaky(lambda: s.end()), 1006, 1.0)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.begin_attempt(Sneaky(lambda: s.state))
    assert probe(s) == probe(twin)


def test_types_and_signatures():
    with pytest.raises(TypeError, match="policy"):
        Session({})
    with pytest.raises(TypeError):
        SessionOutcome()
    with pytest.raises(TypeError):
        SessionPolicy()
    with pytest.raises(TypeError):
        SessionPolicy.default(1)
    o = session().on_supersede(0.0, True, None, 1.0)
    with pytest.raises(AttributeError):
        o.state = Up
    assert Session.__module__ == SessionPolicy.__module__ == SessionOutcome.__module__ == "orvu_sdk_core"
    assert str(inspect.signature(SessionPolicy)) == "(config, trace_context=None)"
    assert str(inspect.signature(Session.on_supersede)) == "(self, /, now_s, retryable, retry_after_s, jitter_sample)"
    assert SessionPolicy.__doc__ == ("Reconnect backoff/jitter policy, plus the graduated rapid-disconnect\n"
                                     "cooldown ladder.")
    assert SessionPolicy.default.__doc__ == "A recommended, not final, default."


# ---------------------------------------------------------------------------
# A host driving a whole session


def test_life_of_a_session():
    s = session()
    e = s.begin_attempt(0.0)
    assert out(s.on_connected(e, 0.5)) == (Up, None, None, None)
    # up 3 s: a rapid disconnect, first floor
    assert out(s.on_socket_close(e, 3.5, 1006, 0.0)) == retry(Reconnecting, 1.0)
    e = s.begin_attempt(4.5)
    assert out(s.on_upgrade_rejected(e, 4.6, 503, None, 1.0)) == retry(Reconnecting, 5.0)
    e = s.begin_attempt(10.0)
    assert out(s.on_connected(e, 10.2)) == (Up, None, None, None)
    assert s.state is Up
    # up 100 s: stable; the attempt count starts again
    assert out(s.on_socket_close(e, 110.2, None, 1.0)) == retry(Reconnecting, 1.0)
    e = s.begin_attempt(111.2)
    s.on_connected(e, 111.3)
    assert out(s.on_supersede(111.4, True, 2.5, 0.0)) == retry(Reconnecting, 10.0)  # third rapid one
    e = s.begin_attempt(122.0)
    s.on_connected(e, 122.5)
    assert out(s.on_socket_close(e, 150.0, 1000, 1.0)) == dead(DeadReason.Classified)
    assert s.begin_attempt(151.0) is None

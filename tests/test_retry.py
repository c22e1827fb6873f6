import pytest

from orvu_sdk_core import RetryTracker

from native import build_core_check


@pytest.fixture(scope="module")
def core_check(tmp_path_factory):
    return build_core_check(tmp_path_factory.mktemp("retry_core"))


# --- construction -----------------------------------------------------------

def test_defaults_and_read_only_limit():
    tracker = RetryTracker()
    assert tracker.max_retries == 1
    with pytest.raises(AttributeError):
        tracker.max_retries = 5
    with pytest.raises(AttributeError):
        tracker.max_tracked  # no attribute for the bound
    with pytest.raises(AttributeError):
        tracker.anything = 1


@pytest.mark.parametrize(
    "kwargs, max_retries",
    [({}, 1), ({"max_retries": 0}, 0), ({"max_retries": 4294967295}, 4294967295), ({"max_retries": True}, 1),
     ({"max_tracked": 1}, 1), ({"max_tracked": 4294967295}, 1)],
)
def test_accepted_ranges(kwargs, max_retries):
    assert RetryTracker(**kwargs).max_retries == max_retries


@pytest.mark.parametrize(
    "args, message",
    [
        ((-1,), "`max_retries` must be an integer between 0 and 4294967295, got -1"),
        ((4294967296,), "`max_retries` must be an integer between 0 and 4294967295, got 4294967296"),
        ((1, 0), "`max_tracked` must be an integer between 1 and 4294967295, got 0"),
        ((1, -5), "`max_tracked` must be an integer between 1 and 4294967295, got -5"),
        ((1, 4294967296), "`max_tracked` must be an integer between 1 and 4294967295, got 4294967296"),
        ((-1, 0), "`max_retries` must be an integer between 0 and 4294967295, got -1"),
    ],
)
def test_range_messages(args, message):
    with pytest.raises(ValueError) as info:
        RetryTracker(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, error",
    [(("1",), TypeError), ((1.0,), TypeError), ((None,), TypeError), ((-1, "x"), TypeError), ((1, 2.5), TypeError),
     ((2**64,), OverflowError), ((1, -(2**64)), OverflowError)],
)
def test_conversion_errors_come_before_any_range_check(args, error):
    with pytest.raises(error):
        RetryTracker(*args)


def test_argument_binding():
    assert RetryTracker(max_tracked=3, max_retries=2).max_retries == 2
    with pytest.raises(TypeError):
        RetryTracker(1, 2, 3)
    with pytest.raises(TypeError):
        RetryTracker(limit=1)


# --- attempts -----------------------------------------------------------------

@pytest.mark.parametrize(
    "max_retries, expected",
    [
        (0, [(1, True), (2, True)]),
        (1, [(1, False), (2, True), (3, True)]),
        (3, [(1, False), (2, False), (3, False), (4, True)]),
    ],
)
def test_record_attempt_exhausts_past_the_limit(max_retries, expected):
    tracker = RetryTracker(max_retries)
    results = []
    for _ in expected:
        results.append(tracker.record_attempt("m"))
        # The permanent mark follows the first exhausted attempt.
        assert tracker.is_permanently_failed("m") == any(done for _, done in results)
    assert results == expected
    assert not tracker.is_permanently_failed("other")


@pytest.mark.parametrize(
    "ops, expected_next",
    [
        (["attempt", "discard"], (1, False)),
        (["attempt", "attempt", "discard"], (2, True)),
        (["attempt", "attempt", "attempt", "discard", "discard"], (2, True)),
        (["discard"], (1, False)),
        (["attempt", "success"], (1, False)),
        (["success"], (1, False)),
    ],
)
def test_discard_and_success_take_back_attempts(ops, expected_next):
    tracker = RetryTracker(1)
    for op in ops:
        {"attempt": tracker.record_attempt, "discard": tracker.discard_attempt,
         "success": tracker.mark_success}[op]("m")
    assert tracker.record_attempt("m") == expected_next


def test_permanent_mark_survives_success_and_discard():
    tracker = RetryTracker(0)
    assert tracker.record_attempt("m") == (1, True)
    tracker.mark_success("m")
    tracker.discard_attempt("m")
    assert tracker.is_permanently_failed("m")
    # record_attempt neither consults nor clears the mark.
    assert tracker.record_attempt("m") == (1, True)
    assert tracker.is_permanently_failed("m")


def test_mark_permanently_failed_leaves_the_count_alone():
    tracker = RetryTracker(2)
    tracker.record_attempt("m")
    tracker.mark_permanently_failed("m")
    tracker.mark_permanently_failed("m")
    assert tracker.is_permanently_failed("m")
    assert tracker.record_attempt("m") == (2, False)


def test_ids_are_exact_text():
    tracker = RetryTracker(1)
    tracker.mark_permanently_failed("m")
    for other in ("M", " m", "m ", ""):
        assert not tracker.is_permanently_failed(other)
    assert tracker.record_attempt("") == (1, False)


# --- bounded stores -----------------------------------------------------------

@pytest.mark.parametrize(
    "attempts, evicted, kept",
    [
        (["m1", "m2", "m3"], ["m1"], ["m2", "m3"]),
        # Repeated attempts do not refresh a record: creation order decides.
        (["m1", "m2", "m1", "m1", "m3"], ["m1"], ["m2", "m3"]),
        (["m1", "m2", "m2", "m3"], ["m1"], ["m2", "m3"]),
        (["m1", "m2"], [], ["m1", "m2"]),
    ],
)
def test_attempt_records_evict_the_oldest_created(attempts, evicted, kept):
    tracker = RetryTracker(10, 2)
    counts = {}
    for message in attempts:
        counts[message] = tracker.record_attempt(message)[0]
    for message in kept:
        assert tracker.record_attempt(message)[0] == counts[message] + 1
    for message in evicted:
        assert tracker.record_attempt(message)[0] == 1


@pytest.mark.parametrize(
    "marks, failed, forgotten",
    [
        (["m1", "m2", "m3"], ["m2", "m3"], ["m1"]),
        (["m1", "m2", "m1", "m3"], ["m2", "m3"], ["m1"]),
        (["m1", "m1", "m2"], ["m1", "m2"], []),
    ],
)
def test_permanently_failed_set_evicts_the_oldest_marked(marks, failed, forgotten):
    tracker = RetryTracker(1, 2)
    for message in marks:
        tracker.mark_permanently_failed(message)
    assert [m for m in failed + forgotten if tracker.is_permanently_failed(m)] == failed


def test_exhausted_attempts_feed_the_bounded_failed_set():
    tracker = RetryTracker(0, 1)
    tracker.record_attempt("a")
    tracker.record_attempt("b")
    assert not tracker.is_permanently_failed("a")
    assert tracker.is_permanently_failed("b")


def test_a_record_evicted_starts_again_under_the_current_limit():
    tracker = RetryTracker(1, 1)
    assert tracker.record_attempt("a") == (1, False)
    assert tracker.record_attempt("b") == (1, False)
    assert tracker.record_attempt("a") == (1, False)


# --- argument errors ------------------------------------------------------------

@pytest.mark.parametrize(
    "method", ["record_attempt", "mark_success", "discard_attempt", "mark_permanently_failed", "is_permanently_failed"]
)
def test_message_id_must_be_str(method):
    tracker = RetryTracker(0)
    with pytest.raises(TypeError, match="message_id"):
        getattr(tracker, method)(7)
    with pytest.raises(TypeError):
        getattr(tracker, method)()
    # Nothing was counted by the failed calls.
    assert tracker.record_attempt("7") == (1, True)
    assert getattr(tracker, method)(message_id="x") in (None, False, (1, True))


# --- counters at their largest values (native core checks) ------------------------

@pytest.mark.parametrize("case", ["attempts_saturate", "saturated_attempts_at_largest_limit"])
def test_attempt_counts_saturate(core_check, case):
    code, output = core_check(case)
    assert code == 0, output

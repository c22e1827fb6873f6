"""The delivery journal: what a restarted host gets back from its store."""

import os
import tempfile

import pytest
from hypothesis import given, strategies as st

from orvu_sdk_core import ClaimRegistry, ParkedReason, RetryTracker
from orvu_sdk.journal import EXHAUSTED_ERROR, CutShortRun, Journal
from orvu_sdk.store import MemoryStore, SQLiteStore

ROOMS = ("a", "b")
MESSAGES = ("m1", "m2", "m3")


def kill(journal_store):
    """The host dies: whatever it had not committed is lost with it."""
    journal_store.close()


def observe(claims, retries):
    """Everything the registry and tracker answer, including what they would evict next.

    Some probes change state; both sides of a comparison get the same probes in the same
    order, so they stay comparable."""
    seen = []
    for room in ROOMS:
        seen += [claims.completed_ids(room), claims.pending_ack_ids(room),
                 claims.has_retryable_settlement(room), claims.inflight_ids(room)]
        seen += [claims.pending_settlement(room, m) for m in MESSAGES]
    seen += [retries.is_permanently_failed(m) for m in MESSAGES]
    seen += [claims.record_ack_retry(room, m) for room in ROOMS for m in MESSAGES]
    seen.append(claims.record_processed_settlement("probe", "token")["token"])
    for k in range(2):   # push fresh ids through every bounded store, oldest evicted first
        retries.mark_permanently_failed(f"fresh{k}")
        seen.append([retries.is_permanently_failed(m) for m in MESSAGES])
        for room in ROOMS:
            claims.remember_completed(room, f"fresh{k}")
            seen.append(claims.completed_ids(room))
        retries.record_attempt(f"fresh{k}")
        seen.append([retries.record_attempt(m) for m in MESSAGES])
    return seen


KINDS = ("claim", "release", "start", "end", "discard", "processed", "failed", "accept", "refuse",
         "complete", "ready", "removed", "succeed", "fail", "restart")
# (kind, room, message, flag, error, follow): every kind equally likely, each taking what it
# needs. `follow` aims the op at the message started last, so that runs go on to end, be
# discarded, settled, accepted or refused instead of scattering over every pair.
OPS = st.tuples(st.sampled_from(KINDS), st.sampled_from(ROOMS), st.sampled_from(MESSAGES), st.booleans(),
                st.sampled_from(["e1", "e2"]), st.booleans())


class Twin:
    """A journal on an SQLite store, beside bare objects driven by the same ledger calls."""

    def __init__(self, path, bounds):
        self.path, self.bounds = path, bounds
        self.claims = ClaimRegistry(bounds["max_completed"])
        self.retries = RetryTracker(bounds["max_retries"], bounds["max_tracked"])
        self.claimed = set()
        self.runs = {}
        self.journal = Journal(SQLiteStore(path), **bounds)

    def restart(self):
        self.journal.close()
        # Claims belong to the process: a restarted host holds none.
        for room, message in self.claimed:
            self.claims.release(room, message)
        self.claimed.clear()
        self.runs.clear()
        self.journal = Journal(SQLiteStore(self.path))   # bounds as recorded

    def token(self, room, message):
        pending = self.claims.pending_settlement(room, message)
        return pending["token"] if pending else "99"

    def step(self, op):
        (kind, room, message, flag, error, follow), j, c, r = op, self.journal, self.claims, self.retries
        if follow and self.runs:
            room, message = list(self.runs)[-1]
        if kind == "restart":
            self.restart()
        elif kind == "ready":
            assert j.room_ready(room) == c.unpark_acks(room)
        elif kind == "removed":
            j.room_removed(room)
            c.discard_completed(room)
        elif kind in ("succeed", "fail"):
            (j.succeeded if kind == "succeed" else j.failed_permanently)(message)
            (r.mark_success if kind == "succeed" else r.mark_permanently_failed)(message)
        elif kind == "claim":
            word = c.guarded_claim(room, message, r, durably_processed=flag)
            assert j.claim(room, message, durably_processed=flag) == word
            if word == "runnable":
                self.claimed.add((room, message))
        elif kind == "release":
            j.claims.release(room, message)
            c.release(room, message)
            self.claimed.discard((room, message))
        elif kind == "start":
            run = j.run_started(room, message)
            assert (run.attempt, run.exhausted) == r.record_attempt(message)
            self.runs.pop((room, message), None)
            self.runs[(room, message)] = run
        elif kind in ("end", "discard") and (room, message) in self.runs:
            run = self.runs.pop((room, message))
            if kind == "end":
                j.run_ended(run, "complete")
            else:
                j.attempt_discarded(run)
                r.discard_attempt(message)
        elif kind in ("processed", "failed"):
            outcomes = []
            for settle in ((lambda: j.settled_processed(room, message),
                            lambda: c.record_processed_settlement(room, message)) if kind == "processed" else
                           (lambda: j.settled_failed(room, message, error, flag),
                            lambda: c.record_failed_settlement(room, message, error, r, flag))):
                try:
                    outcomes.append(settle())
                except ValueError as exc:
                    outcomes.append(exc.issues)
            assert outcomes[0] == outcomes[1]
        elif kind == "accept":
            token = self.token(room, message)
            assert j.write_accepted(room, message, token) == c.confirm_settlement(room, message, token, r)
        elif kind == "refuse":
            token = self.token(room, message)
            expected = (c.park_settlement(room, message, token, ParkedReason.Rejected),
                        c.record_ack_retry(room, message))
            assert j.write_refused(room, message, token, ParkedReason.Rejected) == expected
        elif kind == "complete":
            j.completed(room, message)
            c.remember_completed(room, message)


@given(ops=st.lists(OPS, min_size=20, max_size=60),
       bounds=st.fixed_dictionaries({"max_retries": st.integers(0, 2), "max_tracked": st.integers(1, 3),
                                     "max_completed": st.integers(1, 3)}))
def test_replay_and_compaction_rebuild_the_same_ledger(ops, bounds):
    with tempfile.TemporaryDirectory() as tmp:
        twin = Twin(os.path.join(tmp, "store.db"), bounds)
        for op in ops:
            twin.step(op)
        twin.restart()
        cut_short = twin.journal.recovery.cut_short
        dropped = twin.journal.compact()
        twin.restart()
        assert twin.journal.recovery.cut_short == cut_short
        assert dropped >= 1   # the first start record, at least
        assert observe(twin.journal.claims, twin.journal.retries) == observe(twin.claims, twin.retries)
        twin.journal.close()


@pytest.mark.parametrize("max_retries", [1, 2, 3])
def test_a_message_that_kills_every_run_is_settled_after_max_retries_runs(tmp_path, max_retries):
    path = tmp_path / "store.db"
    agent_runs, handoffs = 0, set()
    for _ in range(max_retries + 2):
        store = SQLiteStore(path)
        journal = Journal(store, max_retries=max_retries)
        assert journal.claim("room", "poison") == "runnable"
        run = journal.run_started("room", "poison")
        if run.exhausted:
            settlement = journal.settled_failed("room", "poison", EXHAUSTED_ERROR, False)
            assert journal.write_accepted("room", "poison", settlement["token"])
            journal.claims.release("room", "poison")
            break
        agent_runs += 1
        handoffs.add(run.handoff)
        assert run.resumed == (agent_runs > 1)
        kill(store)   # the turn takes the process down
    assert (agent_runs, handoffs) == (max_retries, {1})
    # The room goes on: the poison message is done for good, the next one runs.
    assert journal.claim("room", "poison") == "completed"
    assert journal.retries.is_permanently_failed("poison")
    assert journal.claim("room", "next") == "runnable"
    assert not journal.run_started("room", "next").exhausted
    journal.close()
    with Journal(SQLiteStore(path)) as after:
        assert after.claim("room", "poison") == "completed"
        assert after.recovery.cut_short == (CutShortRun("room", "next", 1),)


def test_a_token_never_comes_round_again_for_a_message(tmp_path):
    path = tmp_path / "store.db"
    store = SQLiteStore(path)
    journal = Journal(store, max_retries=3)
    journal.claim("room", "m")
    journal.run_started("room", "m")
    first = journal.settled_failed("room", "m", "boom", True)
    assert first["continuation"]["kind"] == "retry"
    assert journal.write_accepted("room", "m", first["token"])   # the platform keeps (m, "0")
    kill(store)
    journal = Journal(SQLiteStore(path))
    journal.claim("room", "m")
    journal.run_started("room", "m")
    second = journal.settled_processed("room", "m")
    # A registry that forgot would hand out "0" again, and the platform would take the final
    # write for a duplicate of the first and drop it.
    assert ClaimRegistry().record_processed_settlement("room", "m")["token"] == first["token"] == "0"
    assert second["token"] == "1"
    journal.close()


def test_an_owed_write_is_owed_again_under_its_token(tmp_path):
    path = tmp_path / "store.db"
    store = SQLiteStore(path)
    journal = Journal(store)
    for message in ("m1", "m2"):
        journal.claim("room", message)
        journal.run_started("room", message)
    owed = journal.settled_failed("room", "m2", "boom", False)
    journal.settled_processed("room", "m1")
    kill(store)   # after the settlements, before the platform's answers
    journal = Journal(SQLiteStore(path))
    assert journal.recovery.owed == (("room", "m2"), ("room", "m1"))
    assert journal.recovery.cut_short == ()
    assert journal.claim("room", "m2") == "pending"
    assert journal.claims.pending_settlement("room", "m2") == owed
    assert journal.write_accepted("room", "m2", owed["token"])
    journal.close()


def test_a_resumed_run_reuses_the_hand_off_and_client_refs(tmp_path):
    path = tmp_path / "store.db"
    store = SQLiteStore(path)
    journal = Journal(store, max_retries=5)
    journal.claim("room", "m")
    first = journal.run_started("room", "m")
    before = [first.next_client_ref(), first.next_client_ref()]
    kill(store)
    journal = Journal(SQLiteStore(path))
    assert journal.recovery.cut_short == (CutShortRun("room", "m", first.handoff),)
    journal.claim("room", "m")
    resumed = journal.run_started("room", "m")
    assert (resumed.resumed, resumed.handoff, resumed.attempt) == (True, first.handoff, 2)
    assert [resumed.next_client_ref() for _ in range(3)][:2] == before
    journal.run_ended(resumed, "complete")
    journal.settled_processed("room", "m")
    journal.close()
    # A run that ended is not resumed again.
    with Journal(SQLiteStore(path)) as after:
        assert after.recovery.cut_short == ()


def test_records_that_ride_are_lost_with_the_process_and_nothing_after_them_lands():
    store = MemoryStore()
    journal = Journal(store, max_completed=1)
    journal.completed("room", "a")
    journal.completed("room", "b")
    journal.room_removed("room")     # rides: not committed yet
    kill(store)
    after = Journal(store)
    assert after.claims.completed_ids("room") == ["b"]
    after.room_removed("room")
    after.flush()
    assert Journal(store).claims.completed_ids("room") == []


@pytest.mark.parametrize("call, error", [
    (lambda j: j.run_started(1, "m"), TypeError),
    (lambda j: j.run_started("r", None), TypeError),
    (lambda j: j.settled_failed("r", "m", None, True), TypeError),
    (lambda j: j.settled_failed("r", "m", "e", 1), TypeError),
    (lambda j: j.write_refused("r", "m", "0", "rejected"), TypeError),
    (lambda j: j.run_ended("m", "complete"), TypeError),
    (lambda j: j.claim("r", "m", self_echo=1), TypeError),
    (lambda j: Journal(MemoryStore(), max_retries="2"), TypeError),
    (lambda j: Journal(MemoryStore(), max_retries=-1), ValueError),
    (lambda j: Journal(42), TypeError),
])
def test_bad_arguments_are_refused_and_nothing_is_recorded(call, error):
    store = MemoryStore()
    journal = Journal(store)
    with pytest.raises(error):
        call(journal)
    journal.close()
    assert [kind for kind, _ in store.records] == ["start"]


def test_a_store_whose_records_do_not_replay_is_refused_by_name():
    store = MemoryStore("records-of-host-7")
    journal = Journal(store)
    journal.claim("room", "m")
    journal.run_started("room", "m")
    journal.settled_processed("room", "m")
    journal.close()
    store.records = [r for r in store.records if r[0] != "run"]
    store.records.insert(1, ("settle", ("room", "other", "processed", None, 0, "0")))
    with pytest.raises(Exception, match="records-of-host-7.*does not replay"):
        Journal(store)

"""The delivery journal: the claim registry and retry budget of a host, kept across restarts.

`ClaimRegistry` and `RetryTracker` keep their state in memory. A `Journal` owns a fresh pair
of them, and every call that changes their lasting state goes through one of its methods,
named for what happened (`run_started`, `settled_failed`, `write_accepted`, ...). Each
method makes the ledger call, appends a record of it to the store, and commits before it
returns wherever the caller's next action depends on the record (running the agent, sending
a terminal write). On start the journal reads the store and makes the recorded calls again
on its fresh objects, in order, so they end as they were when the last host stopped:

* every run of the agent that was started counts against the message's retry budget,
  including a run cut short by the death of the process, so a message whose turn keeps
  killing the host is settled failed ("retry budget exhausted") once it has had
  `max_retries` runs;
* terminal writes that were owed are owed again, with their tokens (`Recovery.owed`), and
  the token counter is where it was, so a token never comes round again for a message;
* completed messages answer "completed";
* a run that started and never ended is resumed: the next `run_started` of its message
  returns it as `resumed`, under the hand-off it had, and its posts get the client refs
  they had (`Run.next_client_ref`).

What the journal does not keep: claims (the in-flight set belongs to the process that
made them, so a replayed registry has none) and payloads (the platform delivers every open
message again when its room is joined).

A journal without a store (`Journal(None)`) offers the same methods and keeps nothing.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, cast

import orvu_sdk_core as core

from .store import Field, LedgerStore, Record, SQLiteStore, StoreCorruptError, optional_int

if TYPE_CHECKING:
    from orvu_sdk_core import SettlementDescription

__all__ = ["CutShortRun", "EXHAUSTED_ERROR", "Journal", "Recovery", "Run"]

# The error of the failed write that settles a message whose retry budget is used up.
EXHAUSTED_ERROR = "retry budget exhausted"

# The bounds of a new registry and tracker when neither the caller nor the store says.
DEFAULT_MAX_RETRIES = 1
DEFAULT_MAX_TRACKED = 10000
DEFAULT_MAX_COMPLETED = 500


@dataclasses.dataclass(frozen=True)
class CutShortRun:
    """A run that had started when the last host stopped, and never ended."""

    room_id: str
    message_id: str
    handoff: int     # the attempt number its hand-off was announced under


@dataclasses.dataclass(frozen=True)
class Recovery:
    """What the journal found in its store at start."""

    start: int                           # 1 for a new store, then one more at every start
    replayed: int                        # records read and replayed
    cut_short: tuple[CutShortRun, ...]   # runs to resume, oldest first
    owed: tuple[tuple[str, str], ...]    # (room_id, message_id) of every owed write, oldest first


@dataclasses.dataclass
class Run:
    """One run of the agent on a message, opened by `Journal.run_started`.

    `attempt` is the count of the retry budget. `handoff` is the attempt number to announce
    the hand-off under: a new run's own attempt, or, when `resumed`, the hand-off of the run
    the death of the last host cut short (the platform takes it as the same hand-off). An
    `exhausted` run has no hand-off: the message is to be settled failed with
    `EXHAUSTED_ERROR` without running the agent.
    """

    room_id: str
    message_id: str
    attempt: int
    handoff: int | None
    resumed: bool
    exhausted: bool
    posts: int = 0

    def next_client_ref(self) -> str:
        """The `client_ref` of the run's next post.

        Refs follow from the message, the hand-off and the post's rank, so the posts of a
        resumed run reuse the refs of the run it resumes, and a post that reached the
        platform before the host died is not posted twice."""
        if self.handoff is None:
            raise RuntimeError(f"the run of {self.message_id} is exhausted and posts nothing")
        self.posts += 1
        return f"{self.message_id}#{self.handoff}#{self.posts}"


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, got {type(value).__name__}")
    return value


def _run(value: object) -> Run:
    if not isinstance(value, Run):
        raise TypeError(f"run must be a Run from run_started, got {type(value).__name__}")
    return value


def _open_store(store: object) -> LedgerStore | None:
    if store is None or isinstance(store, LedgerStore):
        return store
    if isinstance(store, (str, os.PathLike)):
        return SQLiteStore(cast("str | os.PathLike[str]", store))
    raise TypeError(f"store must be a path, a LedgerStore or None, got {type(store).__name__}")


class _Diverged(Exception):
    """A replayed call did not give what the record says it gave."""


class Journal:
    """The claim registry and retry budget of a host, recorded in `store` and rebuilt from it.

    `store` is a path (an `SQLiteStore` is opened on it), an object with the `LedgerStore`
    methods, or `None` for no durability. The journal owns the store and closes it in
    `close`. `max_retries`, `max_tracked` and `max_completed` are the bounds of the
    `RetryTracker` and `ClaimRegistry` it builds; left `None`, they are the ones the store
    recorded last, else the classes' defaults. A value different from the recorded one
    applies to the whole replay: the budget in force now counts the runs already made.

    Opening replays the store (see the module's docstring) and then records this start.
    It raises `StoreError` (one of its subclasses) when the store cannot be used or its
    records do not replay; the error names the store.

    `claims` and `retries` are the rebuilt objects: read them freely (eligibility,
    `pending_settlement`, `has_retryable_settlement`, `is_permanently_failed`) and take and
    release claims on `claims` directly, but make every change to their lasting state
    through the journal's methods. Methods that say "commits" have made their record
    durable when they return; the others ride with the next commit (or `flush`). When a
    commit fails, the method raises the `StoreError` (`StoreFullError` when out of space)
    and its record stays queued for the next commit: the caller must not act on the
    decision, and should stop taking new work.
    """

    def __init__(self, store: LedgerStore | str | os.PathLike[str] | None, *,
                 max_retries: int | None = None, max_tracked: int | None = None,
                 max_completed: int | None = None) -> None:
        for name, value in (("max_retries", max_retries), ("max_tracked", max_tracked),
                            ("max_completed", max_completed)):
            optional_int(name, value)
        store = self._store = _open_store(store)
        self._queued: list[Record] = []
        self._open_runs: dict[tuple[str, str], int] = {}   # (room, message) -> hand-off
        self._rooms: set[str] = set()
        try:
            records = store.load() if store is not None else []
            last = self._last_start(records)
            bounds = (
                max_retries if max_retries is not None else last[1] if last else DEFAULT_MAX_RETRIES,
                max_tracked if max_tracked is not None else last[2] if last else DEFAULT_MAX_TRACKED,
                max_completed if max_completed is not None else last[3] if last else DEFAULT_MAX_COMPLETED,
            )
            self.retries = core.RetryTracker(bounds[0], bounds[1])
            self.claims = core.ClaimRegistry(bounds[2])
            self._replay(records)
            start = (last[0] if last else 0) + 1
            self._commit(("start", (start, *bounds)))
        except BaseException:
            if store is not None:
                store.close()
            raise
        self.recovery = Recovery(
            start=start, replayed=len(records),
            cut_short=tuple(CutShortRun(room, message, handoff)
                            for (room, message), handoff in self._open_runs.items()),
            owed=self._owed())

    @property
    def durable(self) -> bool:
        """True when decisions are recorded in a store and survive a restart."""
        return self._store is not None

    # -- replay ---------------------------------------------------------------------------
    def _name(self) -> str:
        return self._store.name if self._store is not None else "<no store>"

    def _last_start(self, records: Sequence[Record]) -> tuple[int, int, int, int] | None:
        for kind, fields in reversed(records):
            if kind == "start":
                if len(fields) != 4 or not all(isinstance(f, int) and not isinstance(f, bool) for f in fields):
                    raise StoreCorruptError(self._name(), "a start record is not readable")
                return fields[0], fields[1], fields[2], fields[3]   # type: ignore[return-value]
        return None

    def _replay(self, records: Sequence[Record]) -> None:
        handlers: dict[str, Callable[..., object]] = {
            "start": lambda *_: None,
            "run": self._replay_run,
            "attempt": self._replay_attempt,
            "end": self._end,
            "discard": self._discard,
            "settle": self._replay_settle,
            "accept": self._accept,
            "refuse": self._replay_refuse,
            "unpark": self.claims.unpark_acks,
            "touch": self.claims.is_completed,
            "complete": self.claims.remember_completed,
            "forget_room": self.claims.discard_completed,
            "success": self.retries.mark_success,
            "fail": self.retries.mark_permanently_failed,
        }
        for index, (kind, fields) in enumerate(records):
            handler = handlers.get(kind)
            if handler is None:
                raise StoreCorruptError(self._name(), f"record {index} has an unknown kind {kind!r}")
            if kind not in ("start", "success", "fail") and fields and isinstance(fields[0], str):
                self._rooms.add(fields[0])
            try:
                handler(*fields)
            except _Diverged as exc:
                raise StoreCorruptError(
                    self._name(), f"record {index} ({kind}) does not replay to what it recorded: {exc}") from exc
            except (TypeError, ValueError) as exc:
                raise StoreCorruptError(
                    self._name(), f"record {index} ({kind}) cannot be replayed: {exc}") from exc

    def _replay_run(self, room_id: str, message_id: str, handoff: int) -> None:
        _text("room_id", room_id)
        optional_int("handoff", handoff)
        self.retries.record_attempt(message_id)
        self._open_runs.pop((room_id, message_id), None)   # a later run goes to the end
        self._open_runs[(room_id, message_id)] = handoff

    def _replay_attempt(self, room_id: str, message_id: str) -> None:
        self.retries.record_attempt(message_id)

    def _owed(self) -> tuple[tuple[str, str], ...]:
        owed: list[tuple[int, str, str]] = []
        for room in self._rooms:
            for message in self.claims.pending_ack_ids(room):
                settlement = self.claims.pending_settlement(room, message)
                if settlement is not None:
                    owed.append((int(settlement["token"]), room, message))
        return tuple((room, message) for _, room, message in sorted(owed))

    # -- the calls, as recorded and as replayed -------------------------------------------------
    def _end(self, room_id: str, message_id: str, outcome: str) -> None:
        self._open_runs.pop((room_id, message_id), None)

    def _discard(self, room_id: str, message_id: str) -> None:
        self.retries.discard_attempt(message_id)
        self._open_runs.pop((room_id, message_id), None)

    def _replay_settle(self, room_id: str, message_id: str, status: str, error: str | None,
                       allow_retry: int, token: str) -> None:
        if status not in ("processed", "failed") or (status == "processed") != (error is None) \
                or allow_retry not in (0, 1):
            raise ValueError(f"unknown settlement {status!r} (allow_retry {allow_retry!r})")
        settlement = self._settle(room_id, message_id, error, allow_retry == 1)
        if settlement["token"] != token:
            raise _Diverged(f"token {settlement['token']}, recorded {token}")

    def _settle(self, room_id: str, message_id: str, error: str | None,
                allow_retry: bool) -> SettlementDescription:
        """A processed settlement without `error`, a failed one with it."""
        if error is None:
            settlement = self.claims.record_processed_settlement(room_id, message_id)
        else:
            settlement = self.claims.record_failed_settlement(room_id, message_id, error, self.retries,
                                                              allow_retry)
        # A settlement ends the run of the message, if one was open (an exhausted message
        # is settled without one).
        self._open_runs.pop((room_id, message_id), None)
        return settlement

    def _accept(self, room_id: str, message_id: str, token: str) -> bool:
        accepted = self.claims.confirm_settlement(room_id, message_id, token, self.retries)
        if not accepted:
            raise _Diverged(f"token {token} closed no obligation")
        return accepted

    def _replay_refuse(self, room_id: str, message_id: str, token: str, reason: str) -> None:
        member = core.ParkedReason.from_wire_name(reason)
        if member is None:
            raise ValueError(f"unknown parking reason {reason!r}")
        self._refuse(room_id, message_id, token, member)

    def _refuse(self, room_id: str, message_id: str, token: str,
                reason: core.ParkedReason) -> tuple[bool, int]:
        parked = self.claims.park_settlement(room_id, message_id, token, reason)
        return parked, self.claims.record_ack_retry(room_id, message_id)

    # -- recording ------------------------------------------------------------------------
    def _queue(self, kind: str, fields: tuple[Field, ...]) -> None:
        if self._store is not None:
            self._queued.append((kind, fields))

    def _commit(self, record: Record | None = None) -> None:
        if record is not None:
            self._queue(*record)
        if self._store is None or not self._queued:
            return
        # On failure the records stay queued, in order, for the next commit: the ledger has
        # already made their calls, and a later record must never land without them.
        self._store.append(self._queued)
        self._queued.clear()

    def flush(self) -> None:
        """Commits the records that ride with the next commit. Raises `StoreError` on failure."""
        self._commit()

    def close(self) -> None:
        """Commits what is queued and closes the store (closed even when the commit fails)."""
        if self._store is None:
            return
        try:
            self._commit()
        finally:
            self._store.close()
            self._store = None

    def __enter__(self) -> Journal:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- what happened --------------------------------------------------------------------
    def claim(self, room_id: str, message_id: str, *, self_echo: bool = False,
              durably_processed: bool = False, durably_failed: bool = False,
              allow_failed_retry: bool = True) -> str:
        """`guarded_claim` with the journal's tracker; returns its eligibility word.

        A completed message found again is moved to the recent end of its room's completed
        set; that move is recorded (riding with the next commit), so eviction keeps its order
        across restarts."""
        word = self.claims.guarded_claim(
            room_id, message_id, self.retries, self_echo=self_echo, durably_processed=durably_processed,
            durably_failed=durably_failed, allow_failed_retry=allow_failed_retry)
        if word == "completed":
            self._queue("touch", (room_id, message_id))
        return word

    def run_started(self, room_id: str, message_id: str) -> Run:
        """A claimed message is about to be handled: counts the attempt. Commits.

        Call it before announcing the hand-off and running the agent, and announce the
        hand-off under `Run.handoff`. When the returned run is `exhausted`, do not run the
        agent: settle the message with `settled_failed(..., EXHAUSTED_ERROR, False)`."""
        _text("room_id", room_id)
        resumes = self._open_runs.get((room_id, message_id))
        attempt, exhausted = self.retries.record_attempt(message_id)
        if exhausted:
            self._commit(("attempt", (room_id, message_id)))
            return Run(room_id, message_id, attempt, None, resumes is not None, True)
        handoff = resumes if resumes is not None else attempt
        self._open_runs.pop((room_id, message_id), None)
        self._open_runs[(room_id, message_id)] = handoff
        self._commit(("run", (room_id, message_id, handoff)))
        return Run(room_id, message_id, attempt, handoff, resumes is not None, False)

    def run_ended(self, run: Run, outcome: str) -> None:
        """The agent's turn ended (`outcome`, e.g. "complete", "missing_reply", "failed",
        kept for the record). Rides with the settlement's commit, which follows."""
        run = _run(run)
        _text("outcome", outcome)
        self._end(run.room_id, run.message_id, outcome)
        self._queue("end", (run.room_id, run.message_id, outcome))

    def attempt_discarded(self, run: Run) -> None:
        """The host gave the run's attempt back (`discard_attempt`): its own control signal
        aborted the run (before the agent ran, or by cutting the turn short). The run is
        closed and will not be resumed. Rides with the next commit."""
        run = _run(run)
        self._discard(run.room_id, run.message_id)
        self._queue("discard", (run.room_id, run.message_id))

    def settled_processed(self, room_id: str, message_id: str) -> SettlementDescription:
        """The message was handled: `record_processed_settlement`. Commits; send the
        terminal write with the returned token afterwards."""
        _text("room_id", room_id)
        settlement = self._settle(room_id, message_id, None, False)
        self._commit(("settle", (room_id, message_id, "processed", None, 0, settlement["token"])))
        return settlement

    def settled_failed(self, room_id: str, message_id: str, error: str,
                       allow_retry: bool) -> SettlementDescription:
        """The message failed: `record_failed_settlement` with the journal's tracker.
        Commits; send the terminal write with the returned token afterwards."""
        _text("room_id", room_id)
        _text("error", error)
        settlement = self._settle(room_id, message_id, error, allow_retry)
        self._commit(("settle", (room_id, message_id, "failed", error, int(allow_retry), settlement["token"])))
        return settlement

    def write_accepted(self, room_id: str, message_id: str, token: str) -> bool:
        """The platform accepted the terminal write under `token`: `confirm_settlement`.
        Commits when it closed an obligation; returns whether it did."""
        _text("room_id", room_id)
        accepted = self.claims.confirm_settlement(room_id, message_id, token, self.retries)
        if accepted:
            self._commit(("accept", (room_id, message_id, token)))
        return accepted

    def write_refused(self, room_id: str, message_id: str, token: str,
                      reason: core.ParkedReason) -> tuple[bool, int]:
        """The platform refused the terminal write under `token`: `park_settlement`, then
        `record_ack_retry`. Returns (parked, refusals so far). Rides with the next commit."""
        _text("room_id", room_id)
        result = self._refuse(room_id, message_id, token, reason)
        self._queue("refuse", (room_id, message_id, token, str(reason)))
        return result

    def room_ready(self, room_id: str) -> int:
        """The room's topics are joined (again): `unpark_acks`. Returns how many writes were
        unparked; recorded only when some were. Rides with the next commit."""
        unparked = self.claims.unpark_acks(room_id)
        if unparked:
            self._queue("unpark", (room_id,))
        return unparked

    def room_removed(self, room_id: str) -> None:
        """The agent left the room: `discard_completed`. Rides with the next commit."""
        self.claims.discard_completed(room_id)
        self._queue("forget_room", (room_id,))

    def completed(self, room_id: str, message_id: str) -> None:
        """`remember_completed` outside a settlement. Commits."""
        _text("message_id", message_id)
        self.claims.remember_completed(room_id, message_id)
        self._commit(("complete", (room_id, message_id)))

    def succeeded(self, message_id: str) -> None:
        """`mark_success` outside a settlement. Commits."""
        self.retries.mark_success(message_id)
        self._commit(("success", (message_id,)))

    def failed_permanently(self, message_id: str) -> None:
        """`mark_permanently_failed` outside a settlement. Commits."""
        self.retries.mark_permanently_failed(message_id)
        self._commit(("fail", (message_id,)))

    # -- compaction -----------------------------------------------------------------------
    def compact(self) -> int:
        """Rewrites the store without what replay no longer needs: the ends of runs, runs
        that ended (kept as the attempts they counted) and every start but the last. Replay
        gives the same registry, tracker and cut-short runs afterwards. Returns how many
        records were dropped."""
        if self._store is None:
            return 0
        self._commit()
        records = self._store.load()
        closed: set[int] = set()
        opened: dict[tuple[Field, Field], int] = {}
        last_start = max((i for i, (kind, _) in enumerate(records) if kind == "start"), default=-1)
        for index, (kind, fields) in enumerate(records):
            pair = (fields[0], fields[1]) if len(fields) >= 2 else None
            if kind == "run" and pair is not None:
                if pair in opened:
                    closed.add(opened[pair])
                opened[pair] = index
            elif kind in ("end", "discard", "settle") and pair is not None and pair in opened:
                closed.add(opened.pop(pair))
        kept: list[Record] = []
        for index, (kind, fields) in enumerate(records):
            if kind == "end" or (kind == "start" and index != last_start):
                continue
            kept.append(("attempt", fields[:2]) if index in closed else (kind, fields))
        self._store.replace(kept)
        return len(records) - len(kept)

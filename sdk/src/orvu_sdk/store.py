"""Where a host keeps the record of its delivery decisions between runs.

A store holds an append-only sequence of records, each a kind and a tuple of plain
fields, in the order they were appended. `orvu_sdk.journal.Journal` writes them and
makes the recorded ledger calls again on start. Any object with the methods of
`LedgerStore` will do; `SQLiteStore` is the embedded default and `MemoryStore` keeps
the records in the process (for tests, or a host that only wants the journal's API).
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Sequence
from typing import Protocol, TypeAlias, cast, runtime_checkable

__all__ = [
    "Field", "LedgerStore", "MAX_FIELDS", "MemoryStore", "Record", "SCHEMA_VERSION", "SQLiteStore",
    "StoreCorruptError", "StoreError", "StoreFullError", "StoreLockedError", "StoreVersionError",
]

Field: TypeAlias = "str | int | None"
# A record: its kind, then its fields. Booleans are stored as the integers 0 and 1.
Record: TypeAlias = "tuple[str, tuple[Field, ...]]"
# The most fields a record of `SQLiteStore` may have (one column each).
MAX_FIELDS = 6
_COLUMNS = "kind, arity, " + ", ".join(f"f{i}" for i in range(MAX_FIELDS))

# The layout of the database written by this version. A database from a later version is
# refused: its records may mean something this version cannot replay.
SCHEMA_VERSION = 1
# Marks a database as a store of this library ("ORVU" in ASCII), so that another
# application's database is never taken for an empty store and written into.
APPLICATION_ID = 0x4F525655
# Batches up to this many records are written as one INSERT (cheaper than a transaction of
# several statements); larger ones as a transaction. Eight parameters a record keep it
# below the smallest parameter limit of SQLite builds (999).
MAX_ONE_STATEMENT = 64


def optional_int(name: str, value: object) -> None:
    """Refuses anything but an `int` (not a `bool`) or `None` for the argument `name`."""
    if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
        raise TypeError(f"{name} must be an int or None, got {type(value).__name__}")


def _file_path(path: object) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be a str or os.PathLike, got {type(path).__name__}")
    return os.fspath(cast("str | os.PathLike[str]", path))


class StoreError(Exception):
    """The store cannot be used. `path` names the store (a file path for `SQLiteStore`)."""

    def __init__(self, path: str, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path


class StoreCorruptError(StoreError):
    """The file is not a readable store: damaged, not a database, or another application's."""


class StoreLockedError(StoreError):
    """Another connection holds the store: most likely another host runs on the same file."""


class StoreVersionError(StoreError):
    """The store was written by a later version of the library."""


class StoreFullError(StoreError):
    """A record could not be written because the disk (or the store's size cap) is full.

    Nothing of the failed write is kept in the store, and the decision it recorded must not
    be acted on. A host should stop taking new work and say why."""


@runtime_checkable
class LedgerStore(Protocol):
    """What the journal needs from a store.

    Fields are `str`, `int` or `None`, at most `MAX_FIELDS` of them a record. `append` must
    be atomic and durable once it returns: either every record of the call is
    kept, after the ones appended before, or none is and it raises `StoreError`
    (`StoreFullError` when out of space). `replace` swaps the whole sequence atomically.
    """

    @property
    def name(self) -> str:
        """How errors and logs name the store."""
        ...

    def load(self) -> list[Record]:
        """Every record, oldest first."""
        ...

    def append(self, records: Sequence[Record]) -> None:
        """Adds `records` after the others, all or none, in one commit."""
        ...

    def replace(self, records: Sequence[Record]) -> None:
        """Replaces every record with `records`, all or none, in one commit."""
        ...

    def close(self) -> None:
        """Releases the store; records not appended yet are not the store's concern."""
        ...


class MemoryStore:
    """Keeps the records in a list: lost with the process, but usable across several
    journals in one process (which is how a restart is simulated in tests)."""

    def __init__(self, name: str = "<memory>") -> None:
        self._name = name
        self.records: list[Record] = []

    @property
    def name(self) -> str:
        return self._name

    def load(self) -> list[Record]:
        return list(self.records)

    def append(self, records: Sequence[Record]) -> None:
        self.records.extend(records)

    def replace(self, records: Sequence[Record]) -> None:
        self.records = list(records)

    def close(self) -> None:
        pass


class SQLiteStore:
    """A store in an SQLite database file, with the standard library's `sqlite3`.

    Durability: the database runs in WAL mode with `synchronous=NORMAL`. A commit that has
    returned survives the death of the process (a crash, `SIGKILL`, an out-of-memory kill),
    which is what the delivery journal needs. It does not necessarily survive a power loss
    or an operating-system crash: the last commits before one may be lost (the database
    itself stays consistent). Every `append` is one transaction.

    The store takes the database for itself while it is open (an exclusive lock), so two
    hosts can never write the same file; the operating system releases the lock when the
    process dies. The file is checked at open and refused, with an error that names it,
    when it is damaged or not a store (`StoreCorruptError`), held by another connection
    (`StoreLockedError`) or written by a later version (`StoreVersionError`).

    `max_bytes` caps the database's size; reaching it raises `StoreFullError`, as a full
    disk does.
    """

    def __init__(self, path: str | os.PathLike[str], *, max_bytes: int | None = None) -> None:
        self._path = _file_path(path)
        self._inserts: dict[int, str] = {}   # the INSERT statement for a batch of n records
        optional_int("max_bytes", max_bytes)
        if max_bytes is not None and max_bytes < 1:
            raise ValueError(f"max_bytes must be at least 1, got {max_bytes}")
        try:
            # No implicit transactions: every write below says where its transaction begins.
            self._db = sqlite3.connect(self._path, timeout=0, isolation_level=None)
        except sqlite3.Error as exc:
            raise StoreError(self._path, f"cannot open the store ({exc})") from exc
        try:
            self._open(max_bytes)
        except BaseException:
            self._db.close()
            raise

    @property
    def name(self) -> str:
        return self._path

    @property
    def path(self) -> str:
        return self._path

    def _open(self, max_bytes: int | None) -> None:
        try:
            # Held from the first write to the close; with it, WAL needs no shared-memory file.
            self._db.execute("PRAGMA locking_mode=EXCLUSIVE")
            self._db.execute("BEGIN IMMEDIATE")   # takes the lock now, not at the first record
        except sqlite3.Error as exc:
            raise self._refusal(exc) from exc
        try:
            self._check_and_create()
            self._db.execute("COMMIT")
        except BaseException:
            self._roll_back()
            raise
        try:
            mode = self._db.execute("PRAGMA journal_mode=WAL").fetchone()[0]
            self._db.execute("PRAGMA synchronous=NORMAL")
            if max_bytes is not None:
                page = self._db.execute("PRAGMA page_size").fetchone()[0]
                self._db.execute(f"PRAGMA max_page_count={max(1, max_bytes // page)}")
        except sqlite3.Error as exc:
            raise self._refusal(exc) from exc
        if str(mode).lower() != "wal":
            raise StoreError(self._path, f"the store cannot run in WAL mode (journal mode {mode})")

    def _check_and_create(self) -> None:
        try:
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            app = self._db.execute("PRAGMA application_id").fetchone()[0]
            tables = {row[0] for row in self._db.execute("SELECT name FROM sqlite_master")}
            check = self._db.execute("PRAGMA quick_check").fetchall()
        except sqlite3.Error as exc:
            raise self._refusal(exc) from exc
        if check != [("ok",)]:
            problems = "; ".join(str(row[0]) for row in check[:3])
            raise StoreCorruptError(self._path, f"the database is damaged ({problems})")
        if app == 0 and version == 0 and not tables:
            try:
                self._db.execute(
                    "CREATE TABLE records (seq INTEGER PRIMARY KEY, kind TEXT NOT NULL, arity INTEGER NOT NULL, "
                    + ", ".join(f"f{i}" for i in range(MAX_FIELDS)) + ")")
                self._db.execute(f"PRAGMA application_id={APPLICATION_ID}")
                self._db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
            except sqlite3.Error as exc:
                raise self._failure(exc, "cannot create the store") from exc
            return
        if app != APPLICATION_ID:
            raise StoreCorruptError(self._path, "the database is not a delivery store of this library")
        if version > SCHEMA_VERSION:
            raise StoreVersionError(
                self._path, f"the store has schema version {version}, written by a later version of "
                f"the library; this version reads up to {SCHEMA_VERSION}")
        if version < 1 or "records" not in tables:
            raise StoreCorruptError(self._path, f"the store's schema (version {version}) is incomplete")

    def _roll_back(self) -> None:
        # SQLite may have rolled back already (a full disk does); either way nothing stays.
        if self._db.in_transaction:
            try:
                self._db.execute("ROLLBACK")
            except sqlite3.Error:
                pass

    def _refusal(self, exc: sqlite3.Error) -> StoreError:
        return self._failure(exc, "cannot open the store")

    def _failure(self, exc: sqlite3.Error, doing: str) -> StoreError:
        """The store's error for an `sqlite3` error met while `doing` something."""
        code = getattr(exc, "sqlite_errorcode", 0) & 0xFF   # the primary code of an extended one
        text = str(exc)
        if code in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED) or "locked" in text:
            return StoreLockedError(self._path, f"{doing}: the store is in use by another connection "
                                                "(is another host running on it?)")
        if code == sqlite3.SQLITE_FULL or "full" in text:
            return StoreFullError(self._path, f"{doing}: the disk or the store's size cap is full ({exc})")
        if code in (sqlite3.SQLITE_NOTADB, sqlite3.SQLITE_CORRUPT) or "not a database" in text \
                or "malformed" in text:
            return StoreCorruptError(self._path, f"{doing}: the file is not a readable store ({exc})")
        return StoreError(self._path, f"{doing} ({exc})")

    def load(self) -> list[Record]:
        try:
            rows: list[tuple[object, ...]] = self._db.execute(
                f"SELECT {_COLUMNS} FROM records ORDER BY seq").fetchall()
        except sqlite3.Error as exc:
            raise self._failure(exc, "cannot read the store") from exc
        records: list[Record] = []
        for index, row in enumerate(rows):
            kind, arity = row[0], row[1]
            if not isinstance(kind, str) or not isinstance(arity, int) or not 0 <= arity <= MAX_FIELDS:
                raise StoreCorruptError(self._path, f"record {index} is not readable")
            records.append((kind, cast("tuple[Field, ...]", row[2:2 + arity])))
        return records

    def append(self, records: Sequence[Record]) -> None:
        self._write(records, replace=False)

    def replace(self, records: Sequence[Record]) -> None:
        self._write(records, replace=True)

    def _write(self, records: Sequence[Record], *, replace: bool) -> None:
        if not records and not replace:
            return
        pad = (None,) * MAX_FIELDS
        rows: list[tuple[Field, ...]] = []
        for kind, fields in records:
            if len(fields) > MAX_FIELDS:
                raise ValueError(f"a record of {self._path} holds at most {MAX_FIELDS} fields, got {len(fields)}")
            rows.append((kind, len(fields), *fields, *pad[len(fields):]))
        db = self._db
        try:
            if replace or len(rows) > MAX_ONE_STATEMENT:
                db.execute("BEGIN")
                if replace:
                    db.execute("DELETE FROM records")
                db.executemany(self._insert_sql(1), rows)
                db.execute("COMMIT")
            else:
                # One statement is one transaction: all its rows or none, without a BEGIN
                # and a COMMIT of their own.
                db.execute(self._insert_sql(len(rows)), [value for row in rows for value in row])
        except sqlite3.Error as exc:
            self._roll_back()
            raise self._failure(exc, "cannot write to the store") from exc

    def _insert_sql(self, rows: int) -> str:
        sql = self._inserts.get(rows)
        if sql is None:
            row = "(" + ", ".join(["?"] * (2 + MAX_FIELDS)) + ")"
            sql = self._inserts[rows] = f"INSERT INTO records ({_COLUMNS}) VALUES " + ",".join([row] * rows)
        return sql

    def close(self) -> None:
        self._db.close()

    def __repr__(self) -> str:
        return f"SQLiteStore({self._path!r})"

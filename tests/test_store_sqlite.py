"""The SQLite store: what it keeps, and the databases it refuses."""

import sqlite3

import pytest

from orvu_sdk.journal import Journal
from orvu_sdk.store import (LedgerStore, MemoryStore, SQLiteStore, StoreCorruptError, StoreError,
                            StoreFullError, StoreLockedError, StoreVersionError)


def test_records_survive_a_reopen_in_order_and_replace_swaps_them(tmp_path):
    path = tmp_path / "store.db"
    store = SQLiteStore(path)
    assert isinstance(store, LedgerStore) and isinstance(MemoryStore(), LedgerStore)
    store.append([("run", ("room", "m", 1)), ("settle", ("room", "m", "failed", "é\n\"x\"", 1, "0"))])
    store.append([("touch", ("room", "m"))])
    many = [("touch", ("room", f"m{i}")) for i in range(1000)]   # more than one statement takes
    store.append(many)
    store.close()
    store = SQLiteStore(str(path))
    assert store.load() == [("run", ("room", "m", 1)), ("settle", ("room", "m", "failed", "é\n\"x\"", 1, "0")),
                            ("touch", ("room", "m")), *many]
    with pytest.raises(ValueError, match="at most 6 fields"):
        store.append([("wide", (1,) * 7)])
    store.replace([("touch", ("r", "x"))])
    assert store.load() == [("touch", ("r", "x"))]
    assert store.name == str(path)
    store.close()
    db = sqlite3.connect(path)
    assert db.execute("PRAGMA journal_mode").fetchone() == ("wal",)
    db.close()


def _scribble(path):
    # A store with a few records, then garbage over every page after the first.
    store = SQLiteStore(path)
    store.append([("touch", ("room", f"m{i}" * 200)) for i in range(200)])
    store.close()
    data = bytearray(path.read_bytes())
    data[4096:] = b"\xa5" * (len(data) - 4096)
    path.write_bytes(bytes(data))


def _foreign(path):
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE accounts (id INTEGER)")
    db.commit()
    db.close()


def _newer(path):
    SQLiteStore(path).close()
    db = sqlite3.connect(path)
    db.execute("PRAGMA user_version=2")
    db.commit()
    db.close()


@pytest.mark.parametrize("prepare, error, words", [
    (lambda p: p.write_bytes(b"not a database at all" * 100), StoreCorruptError, "not a readable store"),
    (_scribble, StoreCorruptError, "damaged|not a readable store"),
    (_foreign, StoreCorruptError, "not a delivery store"),
    (_newer, StoreVersionError, "schema version 2.*later version"),
])
def test_a_bad_database_is_refused_at_open_by_name(tmp_path, prepare, error, words):
    path = tmp_path / "host.db"
    prepare(path)
    before = path.read_bytes()
    with pytest.raises(error, match=words) as raised:
        Journal(path)
    assert str(path) in str(raised.value) and raised.value.path == str(path)
    assert path.read_bytes() == before   # refused, not repaired or overwritten


def test_a_store_in_use_by_another_host_is_refused(tmp_path):
    path = tmp_path / "host.db"
    first = Journal(path)
    with pytest.raises(StoreLockedError, match="in use") as raised:
        Journal(path)
    assert str(path) in str(raised.value)
    first.close()
    Journal(path).close()   # free again once the first host has gone


def test_a_full_disk_stops_the_decision_and_loses_nothing_committed(tmp_path):
    path = tmp_path / "host.db"
    journal = Journal(SQLiteStore(path, max_bytes=64 * 1024))
    settled = []
    with pytest.raises(StoreFullError, match="full") as raised:
        for i in range(10_000):
            message = f"message-{i}-" + "x" * 300
            journal.claim("room", message)
            journal.run_started("room", message)
            settled.append(journal.settled_processed("room", message)["token"])
    assert str(path) in str(raised.value)
    with pytest.raises(StoreFullError):
        journal.close()          # what was queued still does not fit; the store closes anyway
    after = Journal(SQLiteStore(path, max_bytes=1 << 20))
    # Every settlement whose commit returned is owed again; the one that failed is not.
    assert [after.claims.pending_settlement(room, m)["token"] for room, m in after.recovery.owed] == settled
    after.close()


@pytest.mark.parametrize("path, max_bytes, error, words", [
    (42, None, TypeError, "path"),
    ("x.db", 0, ValueError, "max_bytes"),
    ("x.db", True, TypeError, "max_bytes"),
    ("x.db", "1", TypeError, "max_bytes"),
    ("nowhere/x.db", None, StoreError, "nowhere"),
])
def test_bad_store_arguments_are_refused(tmp_path, monkeypatch, path, max_bytes, error, words):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=words):
        SQLiteStore(path, max_bytes=max_bytes)

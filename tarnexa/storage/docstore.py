"""The document store of an index: an SQLite database (write-ahead log, full sync) beside the
vector cache, holding each live document's id, text, title, timestamp, metadata and the cache
row that holds its vector, the index's settings, and a table kept in step with the documents
by triggers, inside the same transaction: ``meta`` (one row per metadata value, indexed, for
filters). The keyword index is derived from the documents outside the store
(tarnexa.storage.keywordindex), naming the cache rows it covers.

The store is the commit record of the index: a cache row belongs to a document only once the
store's transaction that names it has committed. Rows the cache gained without such a commit
(a writer that died between the two) belong to nobody and are never searched.
"""

from __future__ import annotations

import contextlib
import functools
import json
import os
import sqlite3
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, ParamSpec, TypeVar

import numpy as np
import numpy.typing as npt

from tarnexa._constants import DOCS_DB
from tarnexa.storage import checksums
from tarnexa.storage.steps import step

FILE = DOCS_DB
FORMAT_VERSION = 3  # the store's format (the index's "format_version"): see upgrade
BUSY_TIMEOUT_MS = 30000  # how long a statement waits for another connection's lock
CHECKPOINT_WAIT = 1.0  # seconds a checkpoint waits for readers of older versions
P = ParamSpec("P")
R = TypeVar("R")

_DOCS = """
CREATE TABLE docs (
    n INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, row INTEGER NOT NULL UNIQUE, title TEXT NOT NULL,
    text TEXT NOT NULL, timestamp REAL, source TEXT, metadata TEXT
);
CREATE INDEX docs_source ON docs (source);
"""

# The kind of a metadata value as filters compare it: a bool, a number or a text.
_KIND = "CASE {0}.type WHEN 'true' THEN 'b' WHEN 'false' THEN 'b' WHEN 'text' THEN 's' ELSE 'n' END"
_META_OF = f"""
    INSERT INTO meta (n, key, kind, value, listed)
        SELECT new.n, e.key, {_KIND.format('e')}, e.atom, 0 FROM json_each(new.metadata) e
        WHERE e.type NOT IN ('array', 'object', 'null');
    INSERT INTO meta (n, key, kind, value, listed)
        SELECT new.n, e.key, {_KIND.format('a')}, a.atom, 1 FROM json_each(new.metadata) e, json_each(e.value) a
        WHERE e.type = 'array' AND a.type NOT IN ('array', 'object', 'null');"""
_UNMETA = """
    DELETE FROM meta WHERE n = old.n;"""
_META = f"""
CREATE TABLE meta (n INTEGER NOT NULL, key TEXT NOT NULL, kind TEXT NOT NULL, value, listed INTEGER NOT NULL);
CREATE INDEX meta_value ON meta (key, kind, value);
CREATE INDEX meta_doc ON meta (n);
{{triggers}}"""
# A commit gives the documents it puts their metadata rows in one statement after inserting them
# (_META_OF_NEW: several times faster than a trigger on each row); deletes and updates go
# through triggers. A store made before keeps its insert trigger until it is upgraded.
_PUT_TRIGGER = "docs_put"
_TRIGGERS = f"""
CREATE TRIGGER docs_drop AFTER DELETE ON docs BEGIN{_UNMETA}
END;
CREATE TRIGGER docs_change AFTER UPDATE OF n, title, text, metadata ON docs BEGIN{_UNMETA}{_META_OF}
END;
"""
_META = _META.replace("{triggers}", _TRIGGERS)
# A store of the second format also kept an FTS5 table of the documents' titles and texts (the
# keyword side read it before it had an index of its own): it goes, with the triggers that
# filled it, on the first write of this version.
_FTS = "keywords"
_WITHOUT_FTS = f"""
DROP TABLE IF EXISTS {_FTS};
{_TRIGGERS}"""
_SCHEMA = f"""
CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
{_DOCS}
CREATE TABLE sources (source TEXT PRIMARY KEY, stamp TEXT NOT NULL);
{_META}
"""
# What damaged_documents says of a document whose derived rows, not its own fields, are wrong.
DERIVED = ("its metadata rows differ from its metadata", "its keyword entries differ from its title and text")
# Added to the documents of a store made before checksums by ``add_checksums``.
_CHECKSUMS = f"""
ALTER TABLE docs ADD COLUMN checksum TEXT;
INSERT OR REPLACE INTO settings (key, value) VALUES ('{checksums.SETTING}', 'true');
"""
# What the metadata table holds for the documents, made again from them.
_META_FROM_DOCS = f"""
    SELECT d.n, e.key, {_KIND.format('e')}, e.atom, 0 FROM docs d, json_each(d.metadata) e
        WHERE json_valid(d.metadata) AND e.type NOT IN ('array', 'object', 'null')
    UNION ALL
    SELECT d.n, e.key, {_KIND.format('a')}, a.atom, 1 FROM docs d, json_each(d.metadata) e, json_each(e.value) a
        WHERE json_valid(d.metadata) AND e.type = 'array' AND a.type NOT IN ('array', 'object', 'null')"""
_META_OF_NEW = "INSERT INTO meta (n, key, kind, value, listed) " + _META_FROM_DOCS.replace(
    "WHERE json_valid", "WHERE d.n > :after AND json_valid")
# The documents (their n) of the rows that one of two selections holds and the other does not.
_DIFFERENCE = """WITH now AS ({now}), fresh AS ({fresh})
    SELECT n FROM (SELECT * FROM now EXCEPT SELECT * FROM fresh)
    UNION SELECT n FROM (SELECT * FROM fresh EXCEPT SELECT * FROM now)"""
# An index of the first format kept no metadata table: its documents are copied into the
# present tables, in one transaction.
_UPGRADE = f"""
ALTER TABLE docs RENAME TO docs_before;
DROP INDEX IF EXISTS docs_source;
{_DOCS}
{_META}
INSERT INTO docs (id, row, title, text, timestamp, source)
    SELECT id, row, title, text, timestamp, source FROM docs_before ORDER BY row;
DROP TABLE docs_before;
"""


@dataclass(frozen=True)
class Document:
    """A stored document: its id, title, text, timestamp (epoch seconds, or None) and metadata
    (a dict of JSON values, empty when none was given)."""

    id: str
    title: str
    text: str
    timestamp: float | None
    metadata: dict[str, Any] = field(default_factory=dict)


def _document(d: str, title: str, text: str, ts: float | None, metadata: str | None) -> Document:
    return Document(d, title, text, ts, json.loads(metadata) if metadata else {})


def _serialised(method: Callable[P, R]) -> Callable[P, R]:
    """One call at a time on the store's connection: threads that share an index take turns
    (a connection's statements must not interleave)."""
    @functools.wraps(method)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        with args[0]._lock:  # type: ignore[attr-defined]
            return method(*args, **kwargs)
    return call


def _close(db: sqlite3.Connection) -> None:
    db.close()


class _Reads:
    """The reading queries of a document store, over one connection (``db``) taken by one call at
    a time (``_lock``)."""

    db: sqlite3.Connection
    _lock: threading.RLock
    path: Path
    _sums: tuple[int | None, str, bool] = (None, "NULL", False)  # see _summed

    @_serialised
    def has_meta(self) -> bool:
        """Whether the store keeps the metadata table (one of the first format does not, until
        ``upgrade``)."""
        return self._has("meta")

    @_serialised
    def has_fts(self) -> bool:
        """Whether the store still keeps the FTS5 table of the second format (until ``upgrade``)."""
        return self._has(_FTS)

    def _drop_triggers(self) -> None:
        """Within a transaction: every trigger of the store dropped (those of the second format
        fill the FTS5 table too)."""
        for (name,) in self.db.execute("SELECT name FROM sqlite_master WHERE type = 'trigger'").fetchall():
            self.db.execute('DROP TRIGGER "' + name.replace('"', '""') + '"')

    def _has(self, name: str) -> bool:
        return self.db.execute("SELECT 1 FROM sqlite_master WHERE name = ?", (name,)).fetchone() is not None


    # -- settings --

    @_serialised
    def settings(self) -> dict[str, Any]:
        return {k: json.loads(v) for k, v in self.db.execute("SELECT key, value FROM settings")}

    @_serialised
    def version(self) -> int:
        """A number that changes with every commit of any writer."""
        row = self.db.execute("SELECT value FROM settings WHERE key = 'version'").fetchone()
        return int(json.loads(row[0])) if row else 0

    # -- reading --

    @_serialised
    def live_rows(self) -> npt.NDArray[np.int64]:
        """The cache rows of every live document, in no particular order."""
        rows = self.db.execute("SELECT row FROM docs").fetchall()
        return np.fromiter((r for (r,) in rows), np.int64, len(rows))

    @_serialised
    def ids_in_order(self) -> list[str]:
        """Every live document's id, in the order of their cache rows."""
        return [d for (d,) in self.db.execute("SELECT id FROM docs ORDER BY row")]

    @_serialised
    def rows_of(self, ids: Sequence[str]) -> dict[str, int]:
        """The cache rows of those of ids that are live documents."""
        out: dict[str, int] = {}
        for chunk in _chunks(list(dict.fromkeys(ids))):
            marks = ",".join("?" * len(chunk))
            out.update(self.db.execute(f"SELECT id, row FROM docs WHERE id IN ({marks})", chunk).fetchall())
        return out

    @_serialised
    def sources_of(self, ids: Sequence[str]) -> dict[str, str | None]:
        """The source file (its key) of those of ids that are live documents (None: added alone)."""
        out: dict[str, str | None] = {}
        for chunk in _chunks(list(dict.fromkeys(ids))):
            marks = ",".join("?" * len(chunk))
            out.update(self.db.execute(f"SELECT id, source FROM docs WHERE id IN ({marks})", chunk).fetchall())
        return out

    @_serialised
    def fields(self) -> list[tuple[str, int]]:
        """Every metadata field the documents hold, with how many documents hold it, most first."""
        return [(k, int(c)) for k, c in self.db.execute(
            "SELECT key, count(DISTINCT n) AS c FROM meta GROUP BY key ORDER BY c DESC, key").fetchall()]

    @_serialised
    def dated(self, stored_date: str) -> int:
        """How many documents have a timestamp, or a metadata value passing stored_date (SQL on
        the meta table's key and value, as a filter's date reads it)."""
        return int(self.db.execute("SELECT count(*) FROM docs WHERE timestamp IS NOT NULL OR n IN "
                                   f"(SELECT n FROM meta WHERE {stored_date})").fetchone()[0])

    @_serialised
    def by_rows(self, rows: Sequence[int]) -> dict[int, Document]:
        """The documents held at those cache rows (rows of no live document are left out);
        DamagedDocument for one that does not match its checksum."""
        out: dict[int, Document] = {}
        summed, required = self._summed()
        for chunk in _chunks(list(dict.fromkeys(rows))):
            marks = ",".join("?" * len(chunk))
            for row, *doc in self.db.execute(
                    f"SELECT row, id, title, text, timestamp, metadata, {summed} FROM docs WHERE row IN ({marks})",
                    chunk):
                out[row] = self._checked(required, row, *doc)
        return out

    def texts_of_rows(self, first: int, end: int, chunk: int) -> Iterator[tuple[list[int], list[str], list[str]]]:
        """The rows in [first, end) that hold live documents, with their titles and texts, in
        row order, chunk documents at a time."""
        at = first
        while at < end:
            got = self._texts_from(at, end, chunk)
            if not got:
                return
            yield [r for r, _, _ in got], [t for _, t, _ in got], [x for _, _, x in got]
            at = got[-1][0] + 1

    @_serialised
    def _texts_from(self, first: int, end: int, limit: int) -> list[tuple[int, str, str]]:
        return self.db.execute("SELECT row, title, text FROM docs WHERE row >= ? AND row < ? ORDER BY row LIMIT ?",
                               (first, end, limit)).fetchall()

    @_serialised
    def document(self, doc_id: str) -> Document | None:
        summed, required = self._summed()
        r = self.db.execute(f"SELECT row, id, title, text, timestamp, metadata, {summed} FROM docs WHERE id = ?",
                            (doc_id,)).fetchone()
        return None if r is None else self._checked(required, *r)

    def _checked(self, required: bool, row: int, doc_id: str, title: str, text: str, ts: float | None,
                 metadata: str | None, stored: str | None) -> Document:
        checksums.check(self.path, doc_id, row, title, text, ts, metadata, stored, required)
        return _document(doc_id, title, text, ts, metadata)

    def _summed(self) -> tuple[str, bool]:
        """The column to read each document's checksum from ("NULL" in a store without them)
        and whether every document must have one; read again only when the schema changed."""
        version = self.db.execute("PRAGMA schema_version").fetchone()[0]
        if self._sums[0] != version:
            has = any(c[1] == "checksum" for c in self.db.execute("PRAGMA table_info(docs)"))
            required = has and self.db.execute("SELECT 1 FROM settings WHERE key = ?",
                                               (checksums.SETTING,)).fetchone() is not None
            self._sums = (version, "checksum" if has else "NULL", required)
        return self._sums[1], self._sums[2]

    @_serialised
    def count(self) -> int:
        return int(self.db.execute("SELECT count(*) FROM docs").fetchone()[0])

    @_serialised
    def time_range(self) -> tuple[float | None, float | None]:
        first, last = self.db.execute("SELECT min(timestamp), max(timestamp) FROM docs").fetchone()
        return first, last

    @_serialised
    def sources(self) -> dict[str, str]:
        return dict(self.db.execute("SELECT source, stamp FROM sources").fetchall())

    @_serialised
    def rows_where(self, where: tuple[str, list[Any]]) -> npt.NDArray[np.int64]:
        """The cache rows of the documents a compiled filter passes."""
        rows = self.db.execute(f"SELECT row FROM docs WHERE {where[0].format(n='n')}", where[1]).fetchall()
        return np.fromiter((r for (r,) in rows), np.int64, len(rows))

    @_serialised
    def ids_of_sources(self, sources: Iterable[str]) -> list[str]:
        out: list[str] = []
        for chunk in _chunks(list(sources)):
            marks = ",".join("?" * len(chunk))
            out += [d for (d,) in self.db.execute(f"SELECT id FROM docs WHERE source IN ({marks})", chunk)]
        return out


def _connect(path: Path) -> sqlite3.Connection:
    """A connection to the store at path in autocommit mode (transactions are opened and closed
    explicitly), its write-ahead log synced in full, waiting up to 30 s for a lock."""
    db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    try:
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        db.execute(f"PRAGMA busy_timeout={BUSY_TIMEOUT_MS}")
    except sqlite3.DatabaseError as e:  # not a database, or a damaged one
        db.close()
        raise sqlite3.DatabaseError(f"{path} cannot be read as the document store: {e}") from None
    return db


class Pinned(_Reads):
    """The store as one version committed it: a read transaction on a connection of its own,
    which every read goes through until ``release`` (the write-ahead log keeps that version
    readable while it lasts, whatever writers commit meanwhile). One thread at a time."""

    def __init__(self, db: sqlite3.Connection, path: Path) -> None:
        self.db = db
        self.path = path
        self._lock = threading.RLock()
        db.execute("BEGIN")
        try:
            self.pinned_version = self.version()  # the first read fixes the version the transaction sees
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def release(self) -> sqlite3.Connection:
        """Ends the read transaction; the connection, free again."""
        with self._lock:
            if self.db.in_transaction:
                self.db.execute("ROLLBACK")
            return self.db


class DocStore(_Reads):
    """One connection to an index's document store, usable from several threads, that writes
    and reads what was last committed; ``pinned()`` reads one version through a connection of
    its own."""

    POOL = 8  # idle connections kept for pinned reads

    def __init__(self, folder: Path, create: bool = False) -> None:
        path = folder / FILE
        if not create and not path.is_file():
            raise FileNotFoundError(f"{folder} is not a tarnexa index: it has no {FILE}")
        self._lock = threading.RLock()
        self.path = path
        self.db = _connect(path)
        if create:
            self.db.executescript(_SCHEMA + _CHECKSUMS)
        st = os.stat(path)
        self.identity = (st.st_dev, st.st_ino)  # the file this connection reads, as opened
        self._idle: list[sqlite3.Connection] = []
        self._closed = False

    @contextlib.contextmanager
    def pinned(self) -> Iterator[Pinned]:
        """The store as it is committed now, for as long as the block lasts."""
        with self._lock:
            if self._closed:
                raise sqlite3.ProgrammingError(f"{self.path}: the document store is closed")
            db = self._idle.pop() if self._idle else None
        view = Pinned(db if db is not None else _connect(self.path), self.path)
        try:
            yield view
        finally:
            db = view.release()
            with self._lock:
                if self._closed or len(self._idle) >= self.POOL:
                    _close(db)
                else:
                    self._idle.append(db)

    @_serialised
    def close(self) -> None:
        self._closed = True
        for db in [self.db, *self._idle]:
            _close(db)
        self._idle.clear()

    def replaced(self) -> bool:
        """Whether the store's file is no longer the one this connection opened (the index
        folder was removed, or replaced by another)."""
        try:
            st = os.stat(self.path)
        except OSError:
            return True
        return (st.st_dev, st.st_ino) != self.identity

    @_serialised
    def quick_check(self) -> list[str]:
        """SQLite's quick_check of every page: the problems it finds (none: an empty list)."""
        found = [str(r[0]) for r in self.db.execute("PRAGMA quick_check")]
        return [] if found == ["ok"] else found

    @_serialised
    def checkpoint(self) -> bool:
        """Copies every commit of the write-ahead log into the main file and flushes it to disk;
        False when a reader kept it from finishing (the commits stay in the log). A reader
        pinned to an older version keeps it from finishing while it lasts: the checkpoint waits
        for such readers CHECKPOINT_WAIT seconds at most, so that a writer never stalls behind
        a long search."""
        step("store: checkpoint")
        self.db.execute(f"PRAGMA busy_timeout={int(CHECKPOINT_WAIT * 1000)}")
        try:
            busy, logged, copied = self.db.execute("PRAGMA wal_checkpoint(FULL)").fetchone()
        finally:
            self.db.execute(f"PRAGMA busy_timeout={BUSY_TIMEOUT_MS}")
        return not busy and logged == copied

    @_serialised
    def upgrade(self, settings: dict[str, Any]) -> bool:
        """Brings a store of an earlier format to this one, and records ``settings``, in one
        transaction: the metadata table built for one made without it, the FTS5 table of the
        second format and its triggers dropped. False when it was there already (another
        writer did it first)."""
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        try:
            script = _UPGRADE if not self._has("meta") else _WITHOUT_FTS if self._has(_FTS) else None
            if script is None:
                db.execute("ROLLBACK")
                return False
            if script is _WITHOUT_FTS:
                self._drop_triggers()
            for statement in _statements(script):
                db.execute(statement)
            for key, value in settings.items():
                db.execute("INSERT OR REPLACE INTO settings (key, value) VALUES (?, ?)", (key, json.dumps(value)))
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        return True


    # -- checksums and the derived tables --

    def _moved_sums(self, moved: Sequence[tuple[int, int]]) -> list[tuple[str, int]]:
        """Within a transaction, before rows move: (checksum, n) of each document to move as it
        will be at its new row. A document that does not match its checksum now is left out:
        a move never blesses a damaged document."""
        new_row = dict(moved)
        required = self._summed()[1]
        out: list[tuple[str, int]] = []
        for chunk in _chunks(list(new_row)):
            marks = ",".join("?" * len(chunk))
            for n, row, d, t, x, ts, m, stored in self.db.execute(
                    f"SELECT n, row, id, title, text, timestamp, metadata, checksum FROM docs WHERE row IN ({marks})",
                    chunk):
                if checksums.damage(d, row, t, x, ts, m, stored, required) is None:
                    out.append((_sum(d, new_row[row], t, x, ts, m), n))
        return out

    @_serialised
    def has_checksums(self) -> bool:
        """Whether every document of the store has its checksum."""
        return self._summed()[1]

    @_serialised
    def add_checksums(self) -> int:
        """Gives a store made before checksums its checksum column and every document its
        checksum, in one transaction; returns how many documents got one (0: it had them)."""
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        try:
            summed, required = self._summed()
            if required:
                db.execute("ROLLBACK")
                return 0
            if summed == "NULL":
                for statement in _statements(_CHECKSUMS):
                    db.execute(statement)
            else:
                db.execute("INSERT OR REPLACE INTO settings (key, value) VALUES (?, 'true')", (checksums.SETTING,))
            got = db.execute("SELECT n, id, row, title, text, timestamp, metadata FROM docs "
                             "WHERE checksum IS NULL").fetchall()
            db.executemany("UPDATE docs SET checksum = ? WHERE n = ?",
                           [(_sum(d, row, t, x, ts, m), n) for n, d, row, t, x, ts, m in got])
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        return len(got)

    @_serialised
    def damaged_documents(self) -> dict[str, str]:
        """{id: what is wrong} for every document that does not match its checksum, or whose
        keyword entries or metadata rows are not those its fields give."""
        summed, required = self._summed()
        out: dict[str, str] = {}
        for n, row, d, t, x, ts, m, stored in self.db.execute(
                f"SELECT n, row, id, title, text, timestamp, metadata, {summed} FROM docs"):
            why = checksums.damage(d, row, t, x, ts, m, stored, required)
            if why is None and m is not None:
                try:
                    json.loads(m)
                except ValueError:
                    why = "its metadata is not JSON"
            if why is not None:
                out[str(d)] = why
        name = {n: str(d) for n, d in self.db.execute("SELECT n, id FROM docs")}
        meta = "SELECT n, key, kind, value, listed FROM meta"
        for (n,) in self.db.execute(_DIFFERENCE.format(now=meta, fresh=_META_FROM_DOCS)):
            out.setdefault(name.get(n, f"(no document: n={n})"), DERIVED[0])
        for n in self._keyword_damage() if self._has(_FTS) else ():
            out.setdefault(name.get(n, f"(no document: n={n})"), DERIVED[1])
        return out

    def _keyword_damage(self) -> list[int]:
        """The documents (their n) whose entries in the FTS5 table of a store of the second
        format (opened where it cannot be written) are not what their title and text give:
        FTS5's own checks first, then, when they fail, the entries compared with those of
        a keyword index made again from the documents."""
        try:
            self.db.execute("INSERT INTO keywords (keywords) VALUES ('integrity-check')")
            self.db.execute("INSERT INTO keywords (keywords, rank) VALUES ('integrity-check', 1)")
            return []
        except sqlite3.DatabaseError:
            pass
        db = self.db
        db.execute("ATTACH ':memory:' AS fresh")
        try:
            db.execute("CREATE VIRTUAL TABLE fresh.k USING fts5(title, text, tokenize='porter unicode61')")
            db.execute("INSERT INTO fresh.k (rowid, title, text) SELECT n, title, text FROM main.docs")
            db.execute("CREATE VIRTUAL TABLE temp.v_now USING fts5vocab(main, keywords, instance)")
            db.execute("CREATE VIRTUAL TABLE temp.v_fresh USING fts5vocab(fresh, k, instance)")
            sig = ("SELECT doc AS n, col, count(*), total(offset), total(length(term)), total(unicode(term)) "
                   "FROM {} GROUP BY doc, col")
            found = {int(n) for (n,) in db.execute(_DIFFERENCE.format(now=sig.format("temp.v_now"),
                                                                       fresh=sig.format("temp.v_fresh")))}
            return sorted(found) or [-1]
        except sqlite3.DatabaseError:
            return [-1]
        finally:
            db.execute("DROP TABLE IF EXISTS temp.v_now")
            db.execute("DROP TABLE IF EXISTS temp.v_fresh")
            db.execute("DETACH fresh")

    @_serialised
    def integrity_check(self) -> list[str]:
        """SQLite's integrity_check of the whole file: the problems it finds (none: [])."""
        found = [str(r[0]) for r in self.db.execute("PRAGMA integrity_check")]
        return [] if found == ["ok"] else found

    @_serialised
    def rebuild_derived(self, drop: Sequence[str] = ()) -> None:
        """In one transaction: the documents of drop removed (and the stamps of their files, so
        that the next sync reads them again), then the metadata table made again from the
        documents (and the FTS5 table of a store of the second format dropped)."""
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        try:
            if self._has(_FTS):
                self._drop_triggers()
                for statement in _statements(_WITHOUT_FTS):
                    db.execute(statement)
                db.execute("INSERT OR REPLACE INTO settings (key, value) VALUES ('format_version', ?)",
                           (json.dumps(FORMAT_VERSION),))
            for chunk in _chunks(list(drop)):
                marks = ",".join("?" * len(chunk))
                db.execute(f"DELETE FROM sources WHERE source IN (SELECT source FROM docs WHERE id IN ({marks}))",
                           chunk)
                # Not through the trigger: a damaged document's metadata would damage the table
                # further, and it is made again below.
                db.execute("DROP TRIGGER docs_drop")
                db.execute(f"DELETE FROM docs WHERE id IN ({marks})", chunk)
                db.execute(f"CREATE TRIGGER docs_drop AFTER DELETE ON docs BEGIN{_UNMETA}\nEND")
            db.execute("DELETE FROM meta")
            db.execute(f"INSERT INTO meta (n, key, kind, value, listed) {_META_FROM_DOCS}")
            db.execute("INSERT OR REPLACE INTO settings (key, value) VALUES ('version', ?)",
                       (json.dumps(self.version() + 1),))
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise

    # -- writing: one transaction per commit --

    @_serialised
    def commit(self, put: Sequence[tuple[str, int, str, str, float | None, str | None, str | None]] = (),
               delete: Sequence[str] = (), settings: dict[str, Any] | None = None,
               sources: dict[str, str | None] | None = None,
               moved: Sequence[tuple[int, int]] = ()) -> None:
        """One transaction: deletes the documents of ``delete``, puts the documents of ``put``
        (id, row, title, text, timestamp, source, metadata as JSON text or None; an id already
        stored is replaced), moves
        rows (old, new) after a compaction, updates ``settings`` and the ``sources`` stamps
        (None removes one), and counts a new version."""
        db = self.db
        step("store: begin")
        db.execute("BEGIN IMMEDIATE")
        try:
            for chunk in _chunks(list(delete)):
                db.execute(f"DELETE FROM docs WHERE id IN ({','.join('?' * len(chunk))})", chunk)
            summed = self._summed()[0] == "checksum"
            if put:
                for chunk in _chunks([p[0] for p in put]):
                    db.execute(f"DELETE FROM docs WHERE id IN ({','.join('?' * len(chunk))})", chunk)
                after = db.execute("SELECT coalesce(max(n), 0) FROM docs").fetchone()[0]  # the new get n above
                if summed:
                    digits = checksums.digests([(p[0], p[1], p[2], p[3], None if p[4] is None else float(p[4]), p[6])
                                              for p in put])
                    db.executemany("INSERT INTO docs (id, row, title, text, timestamp, source, metadata, checksum) "
                                   "VALUES (?, ?, ?, ?, ?, ?, ?, ?)", [(*p, s) for p, s in zip(put, digits)])
                else:
                    db.executemany("INSERT INTO docs (id, row, title, text, timestamp, source, metadata) "
                                   "VALUES (?, ?, ?, ?, ?, ?, ?)", put)
                if not self._has(_PUT_TRIGGER):
                    db.execute(_META_OF_NEW, {"after": after})
            if moved:
                sums = self._moved_sums(moved) if summed else []
                # Through negative rows, so that no two documents ever share a row on the way.
                db.executemany("UPDATE docs SET row = ? WHERE row = ?", [(-1 - new, old) for old, new in moved])
                db.execute("UPDATE docs SET row = -1 - row WHERE row < 0")
                db.executemany("UPDATE docs SET checksum = ? WHERE n = ?", sums)
            for key, value in (settings or {}).items():
                db.execute("INSERT OR REPLACE INTO settings (key, value) VALUES (?, ?)", (key, json.dumps(value)))
            for source, stamp in (sources or {}).items():
                if stamp is None:
                    db.execute("DELETE FROM sources WHERE source = ?", (source,))
                else:
                    db.execute("INSERT OR REPLACE INTO sources (source, stamp) VALUES (?, ?)", (source, stamp))
            db.execute("INSERT OR REPLACE INTO settings (key, value) VALUES ('version', ?)",
                       (json.dumps(self.version() + 1),))
            step("store: commit")
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        step("store: committed")


def _sum(doc_id: str, row: int, title: str, text: str, ts: float | None, metadata: str | None) -> str:
    return checksums.digest(doc_id, row, title, text, None if ts is None else float(ts), metadata)


def _statements(script: str) -> list[str]:
    """The statements of a script of ours (a trigger's body holds semicolons: it ends at END;)."""
    out, current = [], ""
    for part in script.split(";"):
        current += part + ";"
        if sqlite3.complete_statement(current):
            if current.strip(" \n;"):
                out.append(current.strip())
            current = ""
    return out


def _chunks(items: list[Any], size: int = 900) -> Iterable[list[Any]]:
    """Pieces small enough for SQLite's limit on bound parameters."""
    for start in range(0, len(items), size):
        yield items[start : start + size]

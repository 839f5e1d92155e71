"""The document store of an index: an SQLite database (write-ahead log, full sync) beside the
vector cache, holding each live document's id, text, title, timestamp and the cache row that
holds its vector, and the index's settings.

The store is the commit record of the index: a cache row belongs to a document only once the
store's transaction that names it has committed. Rows the cache gained without such a commit
(a writer that died between the two) belong to nobody and are never searched.
"""

from __future__ import annotations

import functools
import json
import os
import sqlite3
import threading
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, ParamSpec, TypeVar

import numpy as np
import numpy.typing as npt

from tarnexa._constants import DOCS_DB
from tarnexa.storage.steps import step

FILE = DOCS_DB
P = ParamSpec("P")
R = TypeVar("R")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS docs (
    id TEXT PRIMARY KEY, row INTEGER NOT NULL UNIQUE, title TEXT NOT NULL, text TEXT NOT NULL,
    timestamp REAL, source TEXT
);
CREATE INDEX IF NOT EXISTS docs_source ON docs (source);
CREATE TABLE IF NOT EXISTS sources (source TEXT PRIMARY KEY, stamp TEXT NOT NULL);
"""


@dataclass(frozen=True)
class Document:
    """A stored document: its id, title, text and timestamp (epoch seconds, or None)."""

    id: str
    title: str
    text: str
    timestamp: float | None


def _serialised(method: Callable[P, R]) -> Callable[P, R]:
    """One call at a time on the store's connection: threads that share an index take turns
    (a connection's statements must not interleave)."""
    @functools.wraps(method)
    def call(*args: P.args, **kwargs: P.kwargs) -> R:
        with args[0]._lock:  # type: ignore[attr-defined]
            return method(*args, **kwargs)
    return call


class DocStore:
    """One connection to an index's document store, usable from several threads."""

    def __init__(self, folder: Path, create: bool = False) -> None:
        path = folder / FILE
        if not create and not path.is_file():
            raise FileNotFoundError(f"{folder} is not a tarnexa index: it has no {FILE}")
        # Autocommit mode: transactions are opened and closed explicitly below.
        self._lock = threading.RLock()
        self.path = path
        self.db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        try:
            self.db.execute("PRAGMA journal_mode=WAL")
            self.db.execute("PRAGMA synchronous=FULL")
            self.db.execute("PRAGMA busy_timeout=30000")
            if create:
                self.db.executescript(_SCHEMA)
        except sqlite3.DatabaseError as e:  # not a database, or a damaged one
            self.db.close()
            raise sqlite3.DatabaseError(f"{path} cannot be read as the document store: {e}") from None
        st = os.stat(path)
        self.identity = (st.st_dev, st.st_ino)  # the file this connection reads, as opened

    @_serialised
    def close(self) -> None:
        self.db.close()

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
        False when a reader kept it from finishing (the commits stay in the log)."""
        step("store: checkpoint")
        busy, logged, copied = self.db.execute("PRAGMA wal_checkpoint(FULL)").fetchone()
        return not busy and logged == copied

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
    def by_rows(self, rows: Sequence[int]) -> dict[int, Document]:
        """The documents held at those cache rows (rows of no live document are left out)."""
        out: dict[int, Document] = {}
        for chunk in _chunks(list(dict.fromkeys(rows))):
            marks = ",".join("?" * len(chunk))
            for row, d, title, text, ts in self.db.execute(
                    f"SELECT row, id, title, text, timestamp FROM docs WHERE row IN ({marks})", chunk):
                out[row] = Document(d, title, text, ts)
        return out

    @_serialised
    def document(self, doc_id: str) -> Document | None:
        r = self.db.execute("SELECT id, title, text, timestamp FROM docs WHERE id = ?", (doc_id,)).fetchone()
        return None if r is None else Document(*r)

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
    def ids_of_sources(self, sources: Iterable[str]) -> list[str]:
        out: list[str] = []
        for chunk in _chunks(list(sources)):
            marks = ",".join("?" * len(chunk))
            out += [d for (d,) in self.db.execute(f"SELECT id FROM docs WHERE source IN ({marks})", chunk)]
        return out

    # -- writing: one transaction per commit --

    @_serialised
    def commit(self, put: Sequence[tuple[str, int, str, str, float | None, str | None]] = (),
               delete: Sequence[str] = (), settings: dict[str, Any] | None = None,
               sources: dict[str, str | None] | None = None,
               moved: Sequence[tuple[int, int]] = ()) -> None:
        """One transaction: deletes the documents of ``delete``, puts the documents of ``put``
        (id, row, title, text, timestamp, source; an id already stored is replaced), moves
        rows (old, new) after a compaction, updates ``settings`` and the ``sources`` stamps
        (None removes one), and counts a new version."""
        db = self.db
        step("store: begin")
        db.execute("BEGIN IMMEDIATE")
        try:
            for chunk in _chunks(list(delete)):
                db.execute(f"DELETE FROM docs WHERE id IN ({','.join('?' * len(chunk))})", chunk)
            if put:
                for chunk in _chunks([p[0] for p in put]):
                    db.execute(f"DELETE FROM docs WHERE id IN ({','.join('?' * len(chunk))})", chunk)
                db.executemany("INSERT INTO docs (id, row, title, text, timestamp, source) VALUES (?, ?, ?, ?, ?, ?)",
                               put)
            if moved:
                # Through negative rows, so that no two documents ever share a row on the way.
                db.executemany("UPDATE docs SET row = ? WHERE row = ?", [(-1 - new, old) for old, new in moved])
                db.execute("UPDATE docs SET row = -1 - row WHERE row < 0")
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


def _chunks(items: list[Any], size: int = 900) -> Iterable[list[Any]]:
    """Pieces small enough for SQLite's limit on bound parameters."""
    for start in range(0, len(items), size):
        yield items[start : start + size]

"""An index folder on disk and its commit protocol.

The folder holds a vector cache (``vectors-N/``, a ``tarnexa.Cache`` whose ids are its row
numbers) and a document store (``docs.sqlite``) that maps each document's id to its text,
title, timestamp and cache row. A write appends to the cache first, then commits the store; a
cache row that no committed document names is dead and masked out of every search, so a crash
at any point leaves the previous index whole. Deleting or replacing documents leaves dead rows
behind; when they pass a quarter of the cache, the live rows are copied into a new cache and
the store switched to it in one commit.

Every commit is checkpointed into the store's main file after it, and the old cache is removed
only once the compaction's commit is there, never while it lives in the write-ahead log alone:
a lost log then costs at most the last commit, never the cache it names. A compaction is tidying, not part of the write that
set it off: one that fails (a full disk) leaves the write committed, warns, and is tried again
by a later write; one that would not fit the disk (``shutil.disk_usage``) is not started.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import errno
import fcntl
import os
import secrets
import shutil
import sqlite3
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa._constants import CACHE_PREFIX, DOCS_DB, LOCK_FILE, cache_generation, cache_name
from tarnexa.errors import CacheError, StorageWarning
from tarnexa.storage import docstore, keywordindex
from tarnexa.storage.cache import Cache, fsync_dir
from tarnexa.storage.int8 import code_width
from tarnexa.storage.checksums import DamagedDocument
from tarnexa.storage.docstore import DocStore, Pinned
from tarnexa.storage.steps import step

FORMAT, FORMAT_VERSION = "tarnexa-index", docstore.FORMAT_VERSION
# Format 1 kept no metadata table, format 2 an FTS5 table of the documents' words that nothing
# reads any more; ``Writer.upgrade`` brings either to 3 (an index opened read-only is searched
# as it is).
FORMATS_READ = (1, 2, 3)
DEAD_SHARE = 0.25  # compaction when dead rows pass this share of the cache
ROOM = 1.25  # a compaction starts only with this many times its new cache's bytes free, plus SPARE
SPARE = 1 << 20

# A document to write: id, title, text, timestamp (or None), source (or None), metadata (JSON
# text, or None).
Put = tuple[str, str, str, float | None, str | None, str | None]


def is_index(path: str | os.PathLike[str]) -> bool:
    """Whether path holds an index (its document store)."""
    return (Path(path) / DOCS_DB).is_file()


def cache_folders(path: str | os.PathLike[str]) -> list[Path]:
    """The cache at path, or every cache folder of the index at path (none: neither)."""
    root = Path(path)
    if Cache.exists(root):
        return [root]
    return sorted(p for p in root.glob(f"{CACHE_PREFIX}*") if Cache.exists(p))


def create(folder: Path, settings: dict[str, Any], dims: int) -> None:
    """Makes an empty index at folder (which must not exist, or be an empty directory): built
    aside and renamed into place, so that a crash leaves no half-made index."""
    if folder.exists() and not (folder.is_dir() and not any(folder.iterdir())):
        raise FileExistsError(f"{folder} already exists")
    folder.parent.mkdir(parents=True, exist_ok=True)
    tmp = folder.parent / f".{folder.name}.tmp-{os.getpid()}-{secrets.token_hex(4)}"
    tmp.mkdir()
    try:
        first = cache_name(0)
        Cache.create(tmp / first, np.zeros((0, dims), np.float32), [], timestamps=np.zeros(0))
        store = DocStore(tmp, create=True)
        store.commit(settings={"format": FORMAT, "format_version": FORMAT_VERSION, **settings, "cache": first,
                               "index_id": secrets.token_hex(8)})
        keywordindex.catch_up(tmp, store, first, 0)
        store.checkpoint()
        store.close()
        step("index: rename into place")
        try:
            os.rename(tmp, folder)  # takes the place of an empty directory, never of a full one
        except OSError as e:
            if e.errno in (errno.ENOTEMPTY, errno.EEXIST, errno.ENOTDIR):
                raise FileExistsError(f"{folder} already exists (made while this index was being made)") from None
            raise
        fsync_dir(folder.parent)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


class Snapshot:
    """What searches of one version of the index read besides its documents: the cache that
    version names, the searcher over it and the mask of the rows that hold live documents (None
    when all do). Every file of the cache is opened and mapped when the snapshot is made, while
    the version is pinned, so a writer that removes the cache afterwards takes nothing from
    under it; the snapshot is closed once it is retired and no reader holds it."""

    def __init__(self, folder: Path, view: Pinned, searcher_for: Callable[[Cache], Any]) -> None:
        self.version = view.pinned_version
        path = folder / view.settings()["cache"]
        self.cache = Cache.open(path)  # the pinned version names it: no writer removes it meanwhile
        self.cache.map()
        live = view.live_rows()
        n = len(self.cache)
        if live.size and int(live.max()) >= n:
            raise CacheError(f"{folder}: the document store names cache row {int(live.max())}, "
                             f"the cache {path.name} has {n} rows")
        self.cache.verify_matrix()  # what a search reads of it (a like: query, an explanation) is whole
        self.live = np.zeros(n, bool)
        self.live[live] = True
        self.mask: npt.NDArray[np.bool_] | None = None if live.size == n else self.live
        self.count = int(live.size)
        self.searcher = searcher_for(self.cache)
        self.keywords = keywordindex.for_reader(folder, view, path.name, n)
        self.dated = bool(view.time_range()[1] is not None)
        # What searches worked out about this version and keep for the next ones (the rows a
        # filter passes, the words in most documents): it dies with the snapshot.
        self.memo: dict[str, Any] = {}
        self._users = 0
        self._retired = False
        self._lock = threading.Lock()

    def acquire(self) -> Snapshot:
        with self._lock:
            self._users += 1
        return self

    def release(self) -> None:
        with self._lock:
            self._users -= 1
            done = self._retired and not self._users
        if done:
            self.close()

    def retire(self) -> None:
        """No new reader takes the snapshot; it closes when the last one lets it go."""
        with self._lock:
            self._retired = True
            done = not self._users
        if done:
            self.close()

    def close(self) -> None:
        close = getattr(self.searcher, "close", None)
        if close is not None:
            close()


@dataclass(frozen=True)
class Reader:
    """One version of the index, pinned for one search or batch: its documents as that version
    committed them (``store``, a read transaction) and its vectors (``snap``)."""

    store: Pinned
    snap: Snapshot


class Readers:
    """Pins versions of the index at folder for searches and keeps the snapshot of the newest
    one for the readers after it (threads that share an index build it once)."""

    def __init__(self, folder: Path, searcher_for: Callable[[Cache], Any]) -> None:
        self.folder = folder
        self.searcher_for = searcher_for
        self._snap: Snapshot | None = None
        self._lock = threading.RLock()

    @contextlib.contextmanager
    def read(self, store: DocStore) -> Iterator[Reader]:
        """The version of the index committed now, for as long as the block lasts."""
        with store.pinned() as view:
            snap = self._snapshot(view)
            try:
                yield Reader(view, snap)
            finally:
                snap.release()

    def _snapshot(self, view: Pinned) -> Snapshot:
        with self._lock:
            kept = self._snap
            if kept is not None and kept.version == view.pinned_version:
                return kept.acquire()
            snap = Snapshot(self.folder, view, self.searcher_for).acquire()
            if kept is not None and kept.version > snap.version:  # an older version, pinned late: its own
                snap.retire()
                return snap
            self._snap = snap
            if kept is not None:
                kept.retire()
            return snap

    def drop(self) -> None:
        """Retires the snapshot kept (a writer changed the index, or the handle closes)."""
        with self._lock:
            if self._snap is not None:
                self._snap.retire()
                self._snap = None


class Writer:
    """The commit protocol of the index at folder: one writer at a time across processes
    (``turn``), vectors appended before the commit that names them (``write``), compaction
    when dead rows pile up."""

    def __init__(self, folder: Path, store: DocStore) -> None:
        self.folder = folder
        self.store = store
        self.settings = store.settings()

    @contextlib.contextmanager
    def turn(self) -> Iterator[None]:
        """The writer's turn; leftovers of writers that died (caches no commit names, temporary
        folders) are removed first."""
        fd = os.open(self.folder / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            self.settings = self.store.settings()
            current = self.settings["cache"]
            leftovers = [p for p in self.folder.glob(f"*{CACHE_PREFIX}*") if p.name != current]
            # Only once the commit that names the current cache is in the main file: until then
            # an older cache may be the one a lost write-ahead log would fall back to.
            if leftovers and self.store.checkpoint():
                for leftover in leftovers:
                    shutil.rmtree(leftover, ignore_errors=True)
            yield
        finally:
            os.close(fd)

    def upgrade(self) -> None:
        """Brings an index of an earlier format to this one in one commit; does nothing to one
        that is already there."""
        if self.store.has_meta() and not self.store.has_fts():
            return
        with self.turn():
            self.store.upgrade({"format_version": FORMAT_VERSION})
            self.settings = self.store.settings()

    def write(self, vectors: npt.NDArray[np.float32], put: Sequence[Put], delete: Sequence[str] = (),
              sources: dict[str, str | None] | None = None) -> None:
        """Within a turn: the documents of put (their vectors in that order) added or replaced,
        the ids of delete removed, the source stamps recorded, in one commit."""
        cache = Cache.open(self.folder / self.settings["cache"])
        start = len(cache)
        rows = [(d, start + i, title, text, ts, source, meta)
                for i, (d, title, text, ts, source, meta) in enumerate(put)]
        end = start + len(rows)
        keyed = ([r[1] for r in rows], [r[2] for r in rows], [r[3] for r in rows])
        # The new rows' keyword segment is built on another core while the vectors and the
        # documents are written; it is saved only after their commit.
        weight = keywordindex.weight_of(self.folder, self.settings["cache"])
        with concurrent.futures.ThreadPoolExecutor(1) as aside:
            built = aside.submit(keywordindex.segment, *keyed, start, end, weight) if rows else None
            if len(put):
                step("index: append vectors")
                cache.append(vectors, [str(r) for r in range(start, end)],
                             timestamps=np.array([0.0 if p[3] is None else p[3] for p in put]))
            self.store.commit(put=rows, delete=list(delete), sources=sources)
            try:
                segment = None if built is None else built.result()
            except Exception:  # the commit stands: made again below, where a failure is a warning
                segment = None
        self._keywords(lambda: keywordindex.append(self.folder, self.store, self.settings["cache"], start, *keyed,
                                                   end, segment))
        self.compact_if_needed()

    def catch_up(self) -> None:
        """Brings the keyword index to what the store holds (built when it is missing)."""
        with self.turn():
            rows = len(Cache.open(self.folder / self.settings["cache"]))
            self._keywords(lambda: keywordindex.catch_up(self.folder, self.store, self.settings["cache"], rows))

    def rebuild_keywords(self) -> None:
        """Within a turn: the keyword index made again from the store."""
        rows = len(Cache.open(self.folder / self.settings["cache"]))
        keywordindex.rebuild(self.folder, self.store, self.settings["cache"], rows)

    def keywords_behind(self) -> bool:
        """Whether the keyword index on disk lacks rows of the cache (or is not there)."""
        try:
            got = keywordindex.load(self.folder, self.settings["cache"])
        except keywordindex.KeywordIndexError:
            return True
        return got is None or got.covered < len(Cache.open(self.folder / self.settings["cache"]))

    def _keywords(self, update: Callable[[], Any]) -> None:
        """A change to the keyword index after a commit: what fails is a warning (the commit
        stands; readers build what the index lacks, the next write catches it up)."""
        try:
            update()
        except (OSError, sqlite3.DatabaseError, ValueError) as e:
            warnings.warn(f"{self.folder}: the write is committed, but bringing its keyword index up to date "
                          f"failed ({e}); the next write tries again", StorageWarning, stacklevel=4)

    def compact_if_needed(self) -> None:
        """Called after each commit: the commit checkpointed into the store's main file (a lost
        write-ahead log then loses nothing committed before), and the cache compacted when dead
        rows pass DEAD_SHARE of it. What fails here is a warning (the commit stands), and the
        next write tries again."""
        try:
            self.store.checkpoint()  # a reader in the way: the commit stays in the log, whole
            self._compact_if_needed()
        except (OSError, sqlite3.DatabaseError, CacheError) as e:  # a full disk under SQLite too
            self.settings = self.store.settings()
            newer = cache_name(cache_generation(self.settings["cache"]) + 1)  # a copy the store does not name
            for leftover in self.folder.glob(f"*{newer}*"):
                if leftover.name == newer or leftover.name.startswith(f".{newer}.tmp-"):
                    shutil.rmtree(leftover, ignore_errors=True)
            warnings.warn(f"{self.folder}: the write is committed, but compacting its cache failed ({e}); "
                          f"a later write tries again", StorageWarning, stacklevel=3)

    def _room(self, cache: Cache, rows: int) -> None:
        """Refuses a compaction the disk has no room for, before it writes anything."""
        per_row = cache.dims * 4 + code_width(cache.dims) + 3 * 4 + 2 * 8 + 24
        need = int(ROOM * rows * per_row) + SPARE
        free = shutil.disk_usage(self.folder).free
        if free < need:
            raise OSError(errno.ENOSPC, f"compacting {self.folder / self.settings['cache']} needs about {need} bytes "
                                        f"free, the disk has {free}")

    def _compact_if_needed(self) -> None:
        cache = Cache.open(self.folder / self.settings["cache"])
        live = np.sort(self.store.live_rows())
        if len(cache) - live.size <= DEAD_SHARE * len(cache):
            return
        self._room(cache, int(live.size))
        cache.verify_matrix()  # the new cache's checksums must not bless damaged rows
        name = cache_name(cache_generation(self.settings["cache"]) + 1)
        chunk = 1 << 16
        new = None
        for start in range(0, max(live.size, 1), chunk):
            rows = live[start : start + chunk]
            vec = np.asarray(cache.vectors[rows])
            keys = [str(r) for r in range(start, start + rows.size)]
            ts = np.asarray(cache.timestamps[rows]) if cache.timestamps is not None else np.zeros(rows.size)
            if new is None:
                step("index: compact into a new cache")
                new = Cache.create(self.folder / name, vec, keys, timestamps=ts)
            else:
                new.append(vec, keys, timestamps=ts)
        if new is not None and live.size:
            new.check_rows(range(len(new)))  # the copy is what was read, row by row
        self.store.commit(moved=[(int(old), i) for i, old in enumerate(live) if old != i],
                          settings={"cache": name})
        old = self.settings["cache"]
        self.settings = self.store.settings()
        self._keywords(lambda: keywordindex.moved(self.folder, self.store, old, name, live))
        if self.store.checkpoint():  # else the next writer's turn removes it
            step("index: remove the old cache")
            shutil.rmtree(self.folder / old, ignore_errors=True)


def verify(folder: Path, store: DocStore) -> list[str]:
    """Checks all of the index at folder: every page of the store (SQLite's integrity_check),
    every document against its checksum, the keyword index and the metadata table against the
    documents (all damaged documents named at once), the settings, every byte of the cache the store names against its checksums, and that every
    live document's row is in it. Raises (CacheError, sqlite3.DatabaseError) at the first damage;
    returns notes on what is whole but unchecked."""
    problems = store.integrity_check()
    if problems:
        raise sqlite3.DatabaseError(f"{store.path} is damaged: {'; '.join(problems[:3])}")
    damaged = store.damaged_documents()
    if damaged:
        raise DamagedDocument(f"{store.path}: {len(damaged)} damaged documents (tarnexa verify --fix removes them "
                              "and makes what is derived again): "
                              + "; ".join(f"{d!r}: {why}" for d, why in sorted(damaged.items())))
    settings = store.settings()
    if settings.get("format") != FORMAT or not isinstance(settings.get("cache"), str) \
            or not settings["cache"].startswith(CACHE_PREFIX):
        raise CacheError(f"{store.path}: its settings name no cache of a version {FORMAT_VERSION} index")
    cache = Cache.open(folder / settings["cache"])
    notes = cache.verify()
    live = store.live_rows()
    if cache.dims != settings.get("dims"):
        raise CacheError(f"{cache.path} holds rows of {cache.dims} dims, the index has {settings.get('dims')}")
    if live.size and (int(live.min()) < 0 or int(live.max()) >= len(cache)):
        raise CacheError(f"{store.path} names cache row {int(live.max())}, {cache.path} has {len(cache)} rows")
    problems, more = keywordindex.verify(folder, store, settings["cache"], len(cache), live)
    if problems:
        raise CacheError("the keyword index is damaged (tarnexa verify --fix makes it again): " + "; ".join(problems))
    notes += more
    if not store.has_checksums():
        notes.append(f"{store.path}: its documents have no checksums (read-only here, or written by an older "
                     "version): tarnexa verify --fix gives them theirs")
    return notes

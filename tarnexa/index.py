"""A text index: documents in, a typed query and modifier line acted on, results out.

An index is a directory holding a vector cache (``vectors-N/``, a ``tarnexa.Cache`` whose ids
are its row numbers) and a document store (``docs.sqlite``) that maps each document's id to its
text, title, timestamp and cache row. A write appends to the cache first, then commits the
store; a cache row that no committed document names is dead and masked out of every search,
so a crash at any point leaves the previous index whole. Deleting or replacing documents
leaves dead rows behind; when they pass a quarter of the cache, the live rows are copied into a
new cache and the store switched to it in one commit.
"""

from __future__ import annotations

import contextlib
import difflib
import fcntl
import hashlib
import importlib
import inspect
import math
import os
import re
import secrets
import shutil
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa.errors import EmbedderError
from tarnexa.search.searcher import Searcher
from tarnexa.storage.cache import Cache, fsync_dir
from tarnexa.storage.docstore import DocStore, Document
from tarnexa.storage.steps import step
from tarnexa.text import embedders, passages
from tarnexa.text.explain import explain as explain_hits
from tarnexa.text.modifiers import read as read_line
from tarnexa.text.results import Community, Hit, Results

_FORMAT, _FORMAT_VERSION = "tarnexa-index", 1
_PROBE = "tarnexa probe: a quick brown fox jumps over the lazy dog; 0123456789"
_LOCK = ".lock"
SNIPPET = 200  # characters of a hit's text shown as its snippet
# The module's own defaults, read from its signature.
DEFAULTS = {k: p.default for k, p in inspect.signature(score_candidates).parameters.items()}
DEAD_SHARE = 0.25  # compaction when dead rows pass this share of the cache


_RULE = re.compile(r"([*=~^\"'+#-])\1{2,}")  # a heading's underline


def _snippet(doc: Document) -> str:
    text = doc.text
    if doc.title and text.lstrip().startswith(doc.title):
        text = text.lstrip()[len(doc.title):]
    flat = " ".join(w for w in text.split() if not _RULE.fullmatch(w))
    return flat if len(flat) <= SNIPPET else flat[: SNIPPET - 1].rstrip() + "…"


def _content_id(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]


def _strings(values: object, what: str, n: int | None = None, optional: bool = False) -> list[Any]:
    if isinstance(values, str) or not isinstance(values, Sequence | np.ndarray):
        raise TypeError(f"{what} must be a list of str, not {type(values).__name__}")
    out = list(values)
    for i, v in enumerate(out):
        if not isinstance(v, str) and not (optional and v is None):
            raise TypeError(f"{what}[{i}] is {type(v).__name__}, not str")
    if n is not None and len(out) != n:
        raise ValueError(f"{len(out)} {what} for {n} texts")
    return out


def _times(values: object, n: int) -> list[float | None]:
    if isinstance(values, str) or not isinstance(values, Sequence | np.ndarray):
        raise TypeError(f"timestamps must be a list of numbers (epoch seconds) or None, not {type(values).__name__}")
    out: list[float | None] = []
    for i, v in enumerate(values):
        if v is None:
            out.append(None)
            continue
        try:
            t = float(v)
        except (TypeError, ValueError):
            raise TypeError(f"timestamps[{i}] is {type(v).__name__}, not a number of seconds") from None
        if not math.isfinite(t):
            raise ValueError(f"timestamps[{i}] is {t}: a timestamp must be a finite number of seconds")
        out.append(t)
    if len(out) != n:
        raise ValueError(f"{len(out)} timestamps for {n} texts")
    return out


class _Snapshot:
    """What one version of the index searches: its cache, the searcher over it and the mask of
    the rows that hold live documents (None when all do)."""

    def __init__(self, folder: Path, store: DocStore, searcher_for: Callable[[Path], Any]) -> None:
        for attempt in range(5):
            self.version = store.version()
            settings = store.settings()
            path = folder / settings["cache"]
            try:
                self.cache = Cache.open(path)
                break
            except FileNotFoundError:  # a compaction switched caches under us: read again
                if attempt == 4:
                    raise
        live = store.live_rows()
        n = len(self.cache)
        if live.size and int(live.max()) >= n:
            raise ValueError(f"{folder}: the document store names cache row {int(live.max())}, "
                             f"the cache has {n} rows")
        self.live = np.zeros(n, bool)
        self.live[live] = True
        self.mask: npt.NDArray[np.bool_] | None = None if live.size == n else self.live
        self.count = int(live.size)
        self.searcher = searcher_for(path)
        self.dated = bool(store.time_range()[1] is not None)

    def close(self) -> None:
        close = getattr(self.searcher, "close", None)
        if close is not None:
            close()


class Index:
    """A text index on disk. ``Index.create(path, embedder)`` makes one, ``Index.open(path)``
    opens one; ``add``, ``delete`` and ``search`` are safe to call from several processes at
    once (writers take turns; a search sees every commit made before it started)."""

    def __init__(self, folder: Path, store: DocStore, name: str, fn: embedders.EmbedFn | None,
                 searcher_for: Callable[[Path], Any] | None = None) -> None:
        self.path = folder
        self._store = store
        self._settings = store.settings()
        self._name = name
        self._fn = fn
        self._checked = False
        self._searcher_for = searcher_for or Searcher
        self._snap: _Snapshot | None = None
        self._owned: contextlib.ExitStack | None = None

    # ---- making and opening ----

    @classmethod
    def create(cls, path: str | os.PathLike[str], embedder: str | embedders.EmbedFn = "wordllama") -> Index:
        """A new, empty index at path (which must not exist, or be an empty directory)."""
        folder = Path(path)
        name, fn = embedders.resolve(embedder)
        probe = embedders.embed(fn, [_PROBE])
        if folder.exists() and not (folder.is_dir() and not any(folder.iterdir())):
            raise FileExistsError(f"{folder} already exists")
        folder.parent.mkdir(parents=True, exist_ok=True)
        tmp = folder.parent / f".{folder.name}.tmp-{os.getpid()}-{secrets.token_hex(4)}"
        tmp.mkdir()
        try:
            Cache.create(tmp / "vectors-0", np.zeros((0, probe.shape[1]), np.float32), [],
                         timestamps=np.zeros(0))
            store = DocStore(tmp, create=True)
            store.commit(settings={"format": _FORMAT, "format_version": _FORMAT_VERSION, "embedder": name,
                                   "dims": int(probe.shape[1]), "probe": probe[0].tolist(),
                                   "cache": "vectors-0"})
            store.close()
            step("index: rename into place")
            if folder.exists():
                folder.rmdir()
            os.rename(tmp, folder)
            fsync_dir(folder.parent)
        except BaseException:
            shutil.rmtree(tmp, ignore_errors=True)
            raise
        index = cls.open(folder, embedder=fn)
        index._name, index._checked = name, True
        return index

    @classmethod
    def open(cls, path: str | os.PathLike[str], embedder: str | embedders.EmbedFn | None = None) -> Index:
        """Opens the index at path. An index built with a callable embedder needs it again
        (``embedder=fn``); a name must be the one the index was built with."""
        folder = Path(path)
        if not folder.is_dir():
            raise FileNotFoundError(f"no tarnexa index at {folder}")
        store = DocStore(folder)
        try:
            settings = store.settings()
            if settings.get("format") != _FORMAT or settings.get("format_version") != _FORMAT_VERSION:
                raise ValueError(f"{folder} is not a version {_FORMAT_VERSION} tarnexa index")
            built = settings["embedder"]
            fn: embedders.EmbedFn | None = None
            if embedder is None:
                if built.startswith("callable:"):
                    raise EmbedderError(f"{folder} was built with the embedder {built[9:]}, a function: open it "
                                        "with Index.open(path, embedder=that_function)")
            elif callable(embedder):
                fn = embedder
            else:
                name, fn = embedders.resolve(embedder)
                if name != built:
                    raise EmbedderError(f"{folder} was built with the embedder {built!r}, not {name!r}")
            index = cls(folder, store, built, fn)
            if fn is not None and callable(embedder):
                index._check_embedder()
            return index
        except BaseException:
            store.close()
            raise

    def _embedder(self) -> embedders.EmbedFn:
        if self._fn is None:
            self._fn = embedders.resolve(self._name)[1]
        if not self._checked:
            self._check_embedder()
        return self._fn

    def _check_embedder(self) -> None:
        """The embedder must give the probe text the vector it gave when the index was made."""
        assert self._fn is not None
        dims = int(self._settings["dims"])
        try:
            got = embedders.embed(self._fn, [_PROBE])
        except EmbedderError as e:
            raise EmbedderError(f"the embedder does not fit {self.path}: {e}") from None
        if got.shape[1] != dims or not np.allclose(got[0], np.asarray(self._settings["probe"], np.float32),
                                                   atol=1e-4):
            shape = f"{got.shape[1]}-dimension" if got.shape[1] != dims else "other"
            raise EmbedderError(f"the embedder gives {shape} vectors than the one {self.path} was built with "
                                f"({self._settings['embedder']}, {dims} dimensions)")
        self._checked = True

    # ---- what it holds ----

    def __len__(self) -> int:
        return self._store.count()

    def __contains__(self, doc_id: object) -> bool:
        return isinstance(doc_id, str) and self._store.document(doc_id) is not None

    def __repr__(self) -> str:
        return f"Index({str(self.path)!r}, documents={len(self)}, embedder={self._name!r})"

    @property
    def ids(self) -> list[str]:
        """Every document's id, in the index's own order (the order a search's ``mask`` follows)."""
        return self._store.ids_in_order()

    @property
    def embedder(self) -> str:
        return self._name

    def document(self, doc_id: str) -> Document:
        """The stored document; KeyError for an id the index does not hold."""
        doc = self._store.document(doc_id)
        if doc is None:
            raise KeyError(doc_id)
        return doc

    def vectors(self, ids: Sequence[str]) -> npt.NDArray[np.float32]:
        """The unit float32 rows of these documents, one per id in order; KeyError for an id the
        index does not hold."""
        snap = self._snapshot()
        rows = self._store.rows_of(_strings(ids, "ids"))
        missing = [d for d in ids if d not in rows]
        if missing:
            raise KeyError(missing[0])
        return np.asarray(snap.cache.vectors[[rows[d] for d in ids]], dtype=np.float32)

    def info(self) -> dict[str, Any]:
        first, last = self._store.time_range()
        return {"path": str(self.path), "documents": len(self), "dims": int(self._settings["dims"]),
                "embedder": self._name, "first": first, "last": last}

    # ---- writing ----

    @contextlib.contextmanager
    def _writing(self) -> Iterator[None]:
        """The writer's turn: one writer at a time across processes; leftovers of writers that
        died (caches no commit names, temporary folders) are removed first."""
        fd = os.open(self.path / _LOCK, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            self._settings = self._store.settings()
            current = self._settings["cache"]
            for leftover in self.path.glob("*vectors-*"):
                if leftover.name != current:
                    shutil.rmtree(leftover, ignore_errors=True)
            yield
        finally:
            os.close(fd)
            self._drop_snapshot()

    def add(self, texts: Sequence[str], ids: Sequence[str] | None = None, titles: Sequence[str] | None = None,
            timestamps: Sequence[float | None] | None = None, *, progress: bool = False,
            _sources: dict[str, str | None] | None = None, _source_of: Sequence[str | None] | None = None,
            _delete: Sequence[str] = ()) -> list[str]:
        """Adds the texts as documents, all or none of them; a document whose id the index holds
        already is replaced. ``ids`` default to a hash of each text; ``titles`` to ""; a
        timestamp (epoch seconds) of None leaves a document undated (``recent`` does not decay
        it). Returns the ids. ``progress=True`` shows a progress bar on stderr while embedding."""
        text_list = _strings(texts, "texts")
        n = len(text_list)
        id_list = [_content_id(t) for t in text_list] if ids is None else _strings(ids, "ids", n)
        if len(set(id_list)) != n:
            seen: set[str] = set()
            dup = next(d for d in id_list if d in seen or seen.add(d))  # type: ignore[func-returns-value]
            raise ValueError(f"ids are not unique: {dup!r} occurs more than once")
        title_list = [""] * n if titles is None else _strings(titles, "titles", n)
        time_list = [None] * n if timestamps is None else _times(timestamps, n)
        fn = self._embedder()
        with self._progress(n if progress else 0) as tick:
            vectors = embedders.embed(fn, text_list, int(self._settings["dims"]), tick)
        sources = [None] * n if _source_of is None else list(_source_of)
        with self._writing():
            cache = Cache.open(self.path / self._settings["cache"])
            start = len(cache)
            if n:
                step("index: append vectors")
                cache.append(vectors, [str(r) for r in range(start, start + n)],
                             timestamps=np.array([0.0 if t is None else t for t in time_list]))
            put = [(d, start + i, title_list[i], text_list[i], time_list[i], sources[i]) for i, d in enumerate(id_list)]
            self._store.commit(put=put, delete=list(_delete), sources=_sources)
            self._compact_if_needed()
        return id_list

    def sync(self, sources: Sequence[str | os.PathLike[str]], *, progress: bool = False) -> dict[str, int]:
        """Keeps the index in step with folders (or files) of .md, .rst and .txt files, cut into
        passages (see ``tarnexa.text.passages``): files new since the last sync are added,
        changed ones replaced and removed ones deleted, in one commit. Documents added
        otherwise are left alone. Returns counts: files, changed, removed, embedded."""
        found = passages.files(sources)
        stamps = self._store.sources()
        new: list[passages.Passage] = []
        stamp_of: dict[str, str | None] = {}
        for f in found:
            text, stamp, mtime = passages.read(f)
            if stamps.get(f.key) != stamp:
                new += passages.passages(f.key, text, mtime)
                stamp_of[f.key] = stamp
        keys = {f.key for f in found}
        gone = [key for key in stamps if key not in keys]
        stamp_of.update((key, None) for key in gone)
        fresh = {p.id for p in new}
        stale = [d for d in self._store.ids_of_sources(list(stamp_of)) if d not in fresh]
        self.add([p.text for p in new], ids=[p.id for p in new], titles=[p.title for p in new],
                 timestamps=[p.timestamp for p in new], progress=progress,
                 _sources=stamp_of, _source_of=[p.source for p in new], _delete=stale)
        return {"files": len(found), "changed": len(stamp_of) - len(gone), "removed": len(gone),
                "embedded": len(new)}

    def delete(self, ids: Sequence[str]) -> int:
        """Deletes the documents of these ids (ids the index does not hold are passed over);
        returns how many it deleted."""
        id_list = _strings(ids, "ids")
        with self._writing():
            held = len(self._store.rows_of(id_list))
            if held:
                self._store.commit(delete=id_list)
                self._compact_if_needed()
        return held

    def _compact_if_needed(self) -> None:
        cache = Cache.open(self.path / self._settings["cache"])
        live = np.sort(self._store.live_rows())
        if len(cache) - live.size <= DEAD_SHARE * len(cache):
            return
        gen = int(self._settings["cache"].rpartition("-")[2]) + 1
        name = f"vectors-{gen}"
        chunk = 1 << 16
        new = None
        for start in range(0, max(live.size, 1), chunk):
            rows = live[start : start + chunk]
            vec = np.asarray(cache.vectors[rows])
            keys = [str(r) for r in range(start, start + rows.size)]
            ts = np.asarray(cache.timestamps[rows]) if cache.timestamps is not None else np.zeros(rows.size)
            if new is None:
                step("index: compact into a new cache")
                new = Cache.create(self.path / name, vec, keys, timestamps=ts)
            else:
                new.append(vec, keys, timestamps=ts)
        self._store.commit(moved=[(int(old), i) for i, old in enumerate(live) if old != i],
                           settings={"cache": name})
        old = self._settings["cache"]
        self._settings = self._store.settings()
        step("index: remove the old cache")
        shutil.rmtree(self.path / old, ignore_errors=True)

    @contextlib.contextmanager
    def _progress(self, total: int) -> Iterator[Callable[[int], None] | None]:
        if not total:
            yield None
            return
        try:
            tqdm = importlib.import_module("tqdm").tqdm  # untyped
        except ImportError:  # the bar is a nicety: embed without it
            yield None
            return
        with tqdm(total=total, unit="doc", desc="embedding", leave=False) as bar:
            yield bar.update

    # ---- searching ----

    def _snapshot(self) -> _Snapshot:
        if self._snap is None or self._snap.version != self._store.version():
            self._drop_snapshot()
            self._settings = self._store.settings()
            self._snap = _Snapshot(self.path, self._store, self._searcher_for)
        return self._snap

    def _drop_snapshot(self) -> None:
        if self._snap is not None:
            self._snap.close()
            self._snap = None

    def search(self, query: str, modifiers: str | None = "", *, explain: bool = False,
               limit: int | None = None, diverse: bool | None = None, recent: bool | None = None,
               recent_days: int | None = None, like_ids: Sequence[str] | None = None, unlike: str | None = None,
               trajectory: tuple[str, str] | None = None, communities: bool | None = None,
               pre_filter_ids: Sequence[str] | None = None, mask: npt.ArrayLike | None = None,
               threshold: float | None = None, oversample: int | None = None,
               mmr_lambda: float | None = None) -> Results:
        """Searches for the query text with the modifier line acted on (see the README's modifier
        table); keyword arguments set the same things (the line wins where both do, with a
        note), plus ``pre_filter_ids`` (search only these documents), ``mask`` (a bool per
        document, in the order of ``ids``), ``threshold``, ``oversample`` and ``mmr_lambda`` as
        ``score_candidates`` takes them. ``explain=True`` gives each hit the parts of its score.
        Raises ValueError for an empty query; a modifier line never raises."""
        if not isinstance(query, str):
            raise TypeError(f"query must be a str, not {type(query).__name__}")
        if not query.strip():
            raise ValueError("the query is empty")
        if modifiers is not None and not isinstance(modifiers, str):
            raise TypeError(f"modifiers must be a str, not {type(modifiers).__name__}")
        line = read_line(modifiers)
        notes = list(line.notes)
        given = {"limit": limit, "diverse": diverse, "recent": recent, "recent_days": recent_days,
                 "like": None if like_ids is None else _strings(like_ids, "like_ids"), "unlike": unlike,
                 "trajectory": trajectory, "communities": communities}
        _check_keywords(given, threshold, oversample, mmr_lambda)
        want: dict[str, Any] = {}
        for key, value in given.items():
            if key in line.given:
                want[key] = getattr(line, key)
                if value is not None and value != want[key]:
                    kw = {"like": "like_ids"}.get(key, key)
                    notes.append(f"{line.given[key]!r} in the modifier line overrides {kw}={value!r}")
            else:
                want[key] = value
        extra = {"pre_filter_ids": pre_filter_ids, "mask": mask, "threshold": threshold, "oversample": oversample,
                 "mmr_lambda": mmr_lambda}
        for _ in range(2):  # once more if a writer changed the index between search and lookup
            snap = self._snapshot()
            found = self._search(snap, query, want, notes, explain, extra)
            if found is not None:
                return found
            self._drop_snapshot()
        raise RuntimeError(f"{self.path} kept changing while it was searched; try again")

    def _search(self, snap: _Snapshot, query: str, want: dict[str, Any], notes: list[str], explaining: bool,
                extra: dict[str, Any]) -> Results | None:
        """One search of one snapshot; None when a writer committed while it ran."""
        notes = list(notes)
        prepared = self._arguments(snap, query, want, notes, extra)
        if prepared is None:
            return Results((), tuple(notes))
        query_vec, kw, like_rows = prepared
        hits = snap.searcher.search(query_vec, **kw)
        rows_hit = [int(h["id"]) for h in hits]
        docs = self._store.by_rows(rows_hit)
        if len(docs) < len(set(rows_hit)):
            return None
        pool_rows: list[int] | None = None
        if want["communities"] or (explaining and want["diverse"]):
            pool_kw = dict(kw, diverse=False, limit=kw.get("oversample", DEFAULTS["oversample"]))
            pool_rows = [int(h["id"]) for h in snap.searcher.search(query_vec, **pool_kw)]
        membership: dict[int, int] = {}
        groups: list[Community] = []
        if want["communities"] and pool_rows:
            groups, membership = self._communities(snap, pool_rows)
        parts: list[Any] = [None] * len(hits)
        if explaining:
            picked = bool(want["diverse"]) and pool_rows is not None and len(pool_rows) > kw["limit"]
            parts = explain_hits(
                snap.cache.vectors, snap.cache.timestamps, rows_hit, like_rows, query_vec,
                recent=bool(kw.get("recent")), recent_days=kw.get("recent_days"),
                not_like_vec=kw.get("not_like_vec"),
                traj=(kw["traj_from_vec"], kw["traj_to_vec"]) if "traj_from_vec" in kw else None, picked=picked)
        out = [Hit(docs[row].id, h["score"], docs[row].title, _snippet(docs[row]), docs[row].timestamp,
                   membership.get(row), part) for h, row, part in zip(hits, rows_hit, parts)]
        return Results(tuple(out), tuple(notes), tuple(groups))

    def _arguments(self, snap: _Snapshot, query: str, want: dict[str, Any], notes: list[str],
                   extra: dict[str, Any]) -> tuple[npt.NDArray[np.float32], dict[str, Any], list[int] | None] | None:
        """The query vector, the searcher's keyword arguments (cache rows for ids, vectors for
        texts) and the liked rows; None when the like ids name no document. Adds its notes."""
        fn = self._embedder()
        dims = int(self._settings["dims"])
        query_vec = embedders.embed_one(fn, query, dims)
        kw: dict[str, Any] = {"limit": DEFAULTS["limit"] if want["limit"] is None else want["limit"],
                              "diverse": want["diverse"] or None, "threshold": extra["threshold"],
                              "oversample": extra["oversample"], "mmr_lambda": extra["mmr_lambda"]}
        if want["recent"] and not snap.dated:
            notes.append("recent was ignored: no document in the index has a timestamp")
        elif want["recent"]:
            kw.update(recent=True, recent_days=want["recent_days"])
        elif want["recent_days"] is not None:
            notes.append("recent_days was ignored: it takes effect only with recent")
        if want["unlike"] is not None:
            kw["not_like_vec"] = self._text_vec(fn, "unlike:", want["unlike"], dims, notes)
        if want["trajectory"] is not None:
            ends = [self._text_vec(fn, tok, t, dims, notes) for tok, t in zip(("from:", "to:"), want["trajectory"])]
            if ends[0] is not None and ends[1] is not None:
                kw["traj_from_vec"], kw["traj_to_vec"] = ends
        like_rows: list[int] | None = None
        if want["like"] is not None:
            rows = self._store.rows_of(want["like"])
            unknown = [d for d in want["like"] if d not in rows]
            if unknown:
                notes.append(f"like: no document has the id {', '.join(map(repr, unknown[:10]))}"
                             f"{self._closest(unknown)}; skipped")
            if not rows:
                notes.append("like: none of the ids names a document, so nothing was searched")
                return None
            like_rows = [rows[d] for d in want["like"] if d in rows]
            kw["like_ids"] = [str(r) for r in like_rows]
        if extra["pre_filter_ids"] is not None:
            wanted = _strings(extra["pre_filter_ids"], "pre_filter_ids")
            rows = self._store.rows_of(wanted)
            kw["pre_filter_ids"] = [str(rows[d]) for d in wanted if d in rows]
        kw["mask"] = snap.mask if extra["mask"] is None else self._mask(snap, extra["mask"])
        return query_vec, {k: v for k, v in kw.items() if v is not None}, like_rows

    def _closest(self, unknown: list[str]) -> str:
        """A hint naming the ids closest to the first unknown one, in an index small enough to
        look through."""
        if self._store.count() > 10000:
            return ""
        close = difflib.get_close_matches(unknown[0], self._store.ids_in_order(), n=3, cutoff=0.6)
        return f" (closest: {', '.join(close)})" if close else ""

    def _text_vec(self, fn: embedders.EmbedFn, token: str, text: str, dims: int,
                  notes: list[str]) -> npt.NDArray[np.float32] | None:
        try:
            return embedders.embed_one(fn, text, dims)
        except EmbedderError:
            notes.append(f"{token}{text!r} has no words the embedder can use; it was ignored")
            return None

    def _mask(self, snap: _Snapshot, mask: npt.ArrayLike) -> npt.NDArray[np.bool_]:
        arr = np.asarray(mask)
        if arr.dtype != np.bool_ or arr.ndim != 1:
            raise TypeError(f"mask must be a 1-D bool array, one entry per document, got {arr.ndim}-D {arr.dtype}")
        if arr.size != snap.count:
            raise ValueError(f"mask has {arr.size} entries, the index has {snap.count} documents")
        full = np.zeros(len(snap.cache), bool)
        full[np.flatnonzero(snap.live)] = arr
        return full

    def _communities(self, snap: _Snapshot, pool_rows: list[int]) -> tuple[list[Community], dict[int, int]]:
        from tarnexa.text.communities import detect

        rows = np.ascontiguousarray(snap.cache.vectors[pool_rows], dtype=np.float32)
        docs = self._store.by_rows(pool_rows)
        groups: list[Community] = []
        membership: dict[int, int] = {}
        for n, (members, central) in enumerate(detect(rows)):
            central_doc = docs[pool_rows[central]]
            groups.append(Community(central_doc.title or central_doc.id,
                                    tuple(docs[pool_rows[m]].id for m in members)))
            membership.update((pool_rows[m], n) for m in members)
        return groups, membership

    # ---- sharded ----

    def sharded(self, workers: int | None = None, client: Any = None) -> Index:
        """The same index searched over Dask worker processes: ``workers`` of its own (one per
        core by default) or the workers of ``client``. Use it as a context manager, or call
        ``close()``. Results differ from an in-process search only as the README's "Sharded
        semantics" say."""
        from distributed import Client, LocalCluster

        from tarnexa.search.sharded import ShardedSearcher

        stack = contextlib.ExitStack()
        if client is None:
            cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers or os.cpu_count() or 1, threads_per_worker=1, processes=True,
                memory_limit=0, dashboard_address=":0"))
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        other = Index(self.path, DocStore(self.path), self._name, self._fn,
                      searcher_for=lambda path: ShardedSearcher(path, client=client))
        other._checked = self._checked
        other._owned = stack
        return other

    # ---- life ----

    def close(self) -> None:
        self._drop_snapshot()
        self._store.close()
        if self._owned is not None:
            self._owned.close()
            self._owned = None

    def __enter__(self) -> Index:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


def _check_keywords(given: dict[str, Any], threshold: float | None, oversample: int | None,
                    mmr_lambda: float | None) -> None:
    for key in ("limit", "oversample"):
        value = given["limit"] if key == "limit" else oversample
        if value is not None and (isinstance(value, bool) or not isinstance(value, int | np.integer) or value < 0):
            raise ValueError(f"{key} must be a whole number, 0 or more, got {value!r}")
    days = given["recent_days"]
    if days is not None and (isinstance(days, bool) or not isinstance(days, int | np.integer) or days <= 0):
        raise ValueError(f"recent_days must be a positive whole number of days, got {days!r}")
    for key, value in (("threshold", threshold), ("mmr_lambda", mmr_lambda)):
        if value is not None and not math.isfinite(float(value)):
            raise ValueError(f"{key} must be a finite number, got {value!r}")
    traj = given["trajectory"]
    if traj is not None and (len(traj) != 2 or not all(isinstance(t, str) for t in traj)):
        raise TypeError("trajectory must be a pair of texts (from, to)")
    if given["unlike"] is not None and not isinstance(given["unlike"], str):
        raise TypeError(f"unlike must be a str, not {type(given['unlike']).__name__}")


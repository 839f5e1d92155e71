"""The keyword index: BM25 postings of the documents' titles and texts, derived from the store.

It lives in ``keywords/`` beside the caches: immutable segment files, each the postings of a run
of cache rows (built by the package's native code), and ``manifest.json``, which names the cache
the segments' rows belong to, how many of its rows they cover, the store version they were
written at and each segment's BLAKE2b digest. The store stays the commit record: a writer adds a
segment for the rows it appended after its commit and then replaces the manifest (written to a
temporary file, flushed, renamed), so a crash leaves the previous manifest, at worst behind the
store. Behind, missing, naming another cache or damaged, it is caught up or rebuilt from the
store by the next writer (``catch_up``), and until then a reader builds what it lacks in memory
(``for_reader``): no search ever reads a keyword index that disagrees with its version.

Rows of deleted or replaced documents stay in the segments; every search counts documents,
lengths and words over the live rows of its version only, so the statistics are those of the
documents it sees. A compaction's new cache gets segments merged from the old ones with its
rows moved.
"""

from __future__ import annotations

import hashlib
import json
import os
import secrets
import struct
import threading
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa import _native
from tarnexa.storage.cache import fsync_dir
from tarnexa.storage.steps import step

FOLDER, MANIFEST = "keywords", "manifest.json"
FORMAT = "tarnexa-keywords-1"
# Each word of a title counts this many times a word of the text: 1, 2 and 3 measured on the
# corpora the project tracks, and 1 was as good or better on each (docs/benchmarks/keywords.md).
TITLE_WEIGHT = 1.0
MAX_SEGMENTS = 6  # more, and the smallest neighbours are merged
BUILD_CHUNK = 100_000  # documents read from the store and cut at once while building


def words(text: str) -> list[tuple[str, int, int]]:
    """The words of text as the keyword index reads them: (term, start, end), in order."""
    return _native.keyword_words(text)


def spans(text: str, terms: Iterable[str]) -> list[tuple[int, int]]:
    """Where in text the words whose term is one of terms lie: (start, end), in order."""
    return _native.keyword_spans(text, list(terms))


def terms(text: str) -> list[str]:
    """The distinct terms of text, in the order they first occur."""
    return list(dict.fromkeys(t for t, _, _ in words(text)))


@dataclass(frozen=True)
class Part:
    """A segment: its file (None: built in memory), first row, rows, digest, and its bytes."""

    file: str | None
    first: int
    rows: int
    digest: str
    data: Any  # bytes or a read-only uint8 memmap


@dataclass(frozen=True)
class Loaded:
    cache: str
    covered: int
    weight: float
    parts: tuple[Part, ...]

    @property
    def buffers(self) -> list[Any]:
        return [p.data for p in self.parts]


class KeywordIndexError(Exception):
    """The keyword index on disk cannot be used as it is (the reason is the message)."""


def _digest(data: Any) -> str:
    return hashlib.blake2b(memoryview(data), digest_size=16).hexdigest()


# Segment files mapped and checked once per process (their digest and structure): they never
# change once written.
_MAPPED: dict[tuple[str, int, int, str], Any] = {}
_MAPPED_LOCK = threading.Lock()


def _map(path: Path, digest: str) -> Any:
    st = path.stat()
    key = (str(path), st.st_ino, st.st_size, digest)
    with _MAPPED_LOCK:
        got = _MAPPED.get(key)
    if got is None:
        got = np.memmap(path, np.uint8, "r") if st.st_size else b""
        if _digest(got) != digest:
            raise KeywordIndexError(f"{path}: its digest differs from the manifest's")
        _native.keyword_check(got)
        with _MAPPED_LOCK:
            if len(_MAPPED) > 256:
                _MAPPED.clear()
            _MAPPED[key] = got
    return got


def _header(data: Any) -> tuple[int, int, float]:
    """A checked segment's first row, row count and title weight, from its header."""
    _, first, rows, _, _, _, _, weight, _ = struct.unpack_from("<8s6QfI", memoryview(data))
    return first, rows, weight


def read_manifest(folder: Path) -> dict[str, Any] | None:
    try:
        raw = (folder / FOLDER / MANIFEST).read_text("utf-8")
    except FileNotFoundError:
        return None
    try:
        m: dict[str, Any] = json.loads(raw)
        if m.get("format") != FORMAT:
            raise KeywordIndexError(f"its manifest is of another format ({m.get('format')!r})")
        return m
    except (ValueError, AttributeError) as e:
        raise KeywordIndexError(f"its manifest cannot be read ({e})") from None


def load(folder: Path, cache: str) -> Loaded | None:
    """The keyword index of the cache as the manifest has it, every segment mapped and its
    structure checked; None when there is none for that cache. KeywordIndexError when it is
    damaged."""
    m = read_manifest(folder)
    if m is None or m.get("cache") != cache:
        return None
    parts = []
    try:
        for s in m["segments"]:
            data = _map(folder / FOLDER / s["file"], s["digest"])
            first, rows, weight = _header(data)
            if (first, rows) != (s["first"], s["rows"]) or weight != float(m["weight"]):
                raise KeywordIndexError(f"segment {s['file']} is not the one its manifest names")
            parts.append(Part(s["file"], first, rows, s["digest"], data))
        covered, weight = int(m["covered"]), float(m["weight"])
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise KeywordIndexError(f"{folder / FOLDER}: {e}") from None
    ends = [p.first + p.rows for p in parts]
    if [p.first for p in parts] != [0, *ends[:-1]][: len(parts)] or (ends[-1] if ends else 0) != covered:
        raise KeywordIndexError(f"{folder / FOLDER}: its segments do not cover rows 0 to {covered} in order")
    return Loaded(cache, covered, weight, tuple(parts))


def _built(rows: Sequence[int], titles: Sequence[str], texts: Sequence[str], first: int, count: int,
           weight: float) -> bytes:
    return _native.keyword_segment(list(rows), list(titles), list(texts), first, count, weight)


def _from_store(store: Any, first: int, end: int, weight: float) -> bytes:
    """A segment of the live documents the store holds at rows [first, end)."""
    parts: list[bytes] = []
    at = first
    for rows, titles, texts in store.texts_of_rows(first, end, BUILD_CHUNK):
        stop = end if len(rows) < BUILD_CHUNK else rows[-1] + 1
        parts.append(_built(rows, titles, texts, at, stop - at, weight))
        at = stop
    if at < end or not parts:
        parts.append(_built([], [], [], at, end - at, weight))
    if len(parts) == 1:
        return parts[0]
    return _native.keyword_merge(parts, None, 0, first, end - first, weight)


def for_reader(folder: Path, view: Any, cache: str, rows: int) -> Loaded:
    """The keyword index a reader of the version pinned in view uses: the one on disk, with
    what it lacks of the cache's first rows built in memory from that version's documents (all
    of it when there is none, or it is damaged)."""
    got = None
    for _ in range(3):  # a writer may replace the manifest and remove a segment it named meanwhile
        try:
            got = load(folder, cache)
            break
        except KeywordIndexError:
            pass
    if got is None:
        got = Loaded(cache, 0, TITLE_WEIGHT, ())
    if got.covered >= rows:
        return got
    data = _from_store(view, got.covered, rows, got.weight)
    extra = Part(None, got.covered, rows - got.covered, "", data)
    return Loaded(cache, rows, got.weight, got.parts + (extra,))


# ---- the writer's side ----

def _write_file(path: Path, data: Any) -> None:
    tmp = path.with_name(f".{path.name}.tmp-{secrets.token_hex(4)}")
    try:
        with open(tmp, "wb") as f:
            f.write(memoryview(data))
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)


def _save(folder: Path, cache: str, version: int, weight: float, parts: Sequence[Part]) -> Loaded:
    """Writes the segments not yet on disk, then the manifest naming them; removes the segment
    files no manifest names any more."""
    kw = folder / FOLDER
    kw.mkdir(exist_ok=True)
    saved = []
    parts = [p for p in parts if p.rows]
    for p in parts:
        if p.file is None:
            name = f"{cache}-{p.first}-{p.rows}-{secrets.token_hex(4)}.seg"
            step("keywords: write a segment")
            _write_file(kw / name, p.data)
            p = Part(name, p.first, p.rows, _digest(p.data), p.data)
        saved.append(p)
    fsync_dir(kw)
    covered = saved[-1].first + saved[-1].rows if saved else 0
    manifest = {"format": FORMAT, "cache": cache, "covered": covered, "version": version, "weight": weight,
                "segments": [{"file": p.file, "first": p.first, "rows": p.rows, "digest": p.digest} for p in saved]}
    step("keywords: write the manifest")
    _write_file(kw / MANIFEST, json.dumps(manifest, indent=1).encode())
    fsync_dir(kw)
    named = {p.file for p in saved} | {MANIFEST}
    for leftover in kw.iterdir():
        if leftover.name not in named and not leftover.name.startswith("."):
            leftover.unlink(missing_ok=True)
    return Loaded(cache, covered, weight, tuple(saved))


def _tidied(parts: list[Part], weight: float) -> list[Part]:
    """The segments with the smallest neighbours merged while there are more than MAX_SEGMENTS
    (a merged segment is built in memory and saved with the rest)."""
    while len(parts) > MAX_SEGMENTS:
        i = min(range(len(parts) - 1), key=lambda j: parts[j].rows + parts[j + 1].rows)
        a, b = parts[i], parts[i + 1]
        data = _native.keyword_merge([a.data, b.data], None, 0, a.first, a.rows + b.rows, weight)
        parts[i : i + 2] = [Part(None, a.first, a.rows + b.rows, "", data)]
    return parts


def catch_up(folder: Path, store: Any, cache: str, rows: int) -> Loaded:
    """Within a writer's turn: the keyword index brought to the cache's rows from the store
    (rebuilt when missing, damaged or of another cache)."""
    try:
        got = load(folder, cache)
    except KeywordIndexError:
        got = None
    if got is not None and got.covered == rows:
        return got
    if got is None or got.covered > rows:
        got = Loaded(cache, 0, TITLE_WEIGHT, ())
    data = _from_store(store, got.covered, rows, got.weight)
    parts = _tidied([*got.parts, Part(None, got.covered, rows - got.covered, "", data)], got.weight)
    return _save(folder, cache, store.version(), got.weight, parts)


def weight_of(folder: Path, cache: str) -> float:
    """The title weight the keyword index of the cache was built with (TITLE_WEIGHT when it
    has none yet, or its manifest cannot be read)."""
    try:
        m = read_manifest(folder)
        return float(m["weight"]) if m is not None and m.get("cache") == cache else TITLE_WEIGHT
    except (KeywordIndexError, KeyError, TypeError, ValueError):
        return TITLE_WEIGHT


def segment(rows: Sequence[int], titles: Sequence[str], texts: Sequence[str], first: int, end: int,
            weight: float) -> tuple[float, bytes]:
    """The segment of documents at rows (ascending) of [first, end), built with that title
    weight, for ``append`` (built without the GIL, so a writer can build it while it
    commits)."""
    return weight, _built(rows, titles, texts, first, end - first, weight)


def append(folder: Path, store: Any, cache: str, first: int, rows: Sequence[int], titles: Sequence[str],
           texts: Sequence[str], end: int, built: tuple[float, bytes] | None = None) -> None:
    """After the commit that put the documents at rows (ascending, from first, the cache now
    end rows long): their segment added (``built``: made by ``segment`` from the same rows,
    used when its weight is the index's)."""
    try:
        got = load(folder, cache)
    except KeywordIndexError:
        got = None
    if got is None or got.covered != first:
        catch_up(folder, store, cache, end)  # behind (or damaged): made from the store, these rows with it
        return
    data = built[1] if built is not None and built[0] == got.weight \
        else _built(rows, titles, texts, first, end - first, got.weight)
    parts = _tidied([*got.parts, Part(None, first, end - first, "", data)], got.weight)
    _save(folder, cache, store.version(), got.weight, parts)


def moved(folder: Path, store: Any, old_cache: str, new_cache: str, live: npt.NDArray[np.int64]) -> None:
    """After a compaction moved the live rows (ascending) of old_cache to 0.. in new_cache: the
    keyword index of the new cache, merged from the old one's (made from the store if that is
    not whole)."""
    try:
        got = load(folder, old_cache)
    except KeywordIndexError:
        got = None
    if got is None or (live.size and got.covered <= int(live.max())):
        catch_up(folder, store, new_cache, int(live.size))
        return
    row_map = np.full(got.covered, -1, np.int64)
    row_map[live] = np.arange(live.size, dtype=np.int64)
    data = _native.keyword_merge(got.buffers, row_map, 0, 0, int(live.size), got.weight)
    _save(folder, new_cache, store.version(), got.weight, [Part(None, 0, int(live.size), "", data)])


def rebuild(folder: Path, store: Any, cache: str, rows: int) -> None:
    """The keyword index made again from the store (``tarnexa verify --fix``)."""
    data = _from_store(store, 0, rows, TITLE_WEIGHT)
    _save(folder, cache, store.version(), TITLE_WEIGHT, [Part(None, 0, rows, "", data)])


def verify(folder: Path, store: Any, cache: str, rows: int,
           live: npt.NDArray[np.int64]) -> tuple[list[str], list[str]]:
    """What is wrong with the keyword index against the store, and notes on what is whole but
    not all there (missing, or behind after a writer died: searches build what it lacks). Every
    segment's digest and structure (checked when it is mapped), and its postings of the live
    rows against those made again from the documents."""
    try:
        got = load(folder, cache)
    except KeywordIndexError as e:
        return [str(e)], []
    if got is None:
        return [], [f"{folder / FOLDER}: there is no keyword index of {cache} yet (searches make what they need "
                    "from the documents; the next write, or an open where it can be written, makes it)"]
    damaged = [f"{folder / FOLDER / str(p.file)}: its digest differs from the manifest's"
               for p in got.parts if _digest(p.data) != p.digest]  # read again: it may have changed since
    if damaged:
        return damaged, []
    notes = []
    if got.covered < rows:
        notes.append(f"{folder / FOLDER}: it covers {got.covered} of the cache's {rows} rows (searches make the "
                     "rest from the documents; the next write catches it up)")
    covered = min(got.covered, rows)
    keep = np.full(got.covered, -1, np.int64)
    kept = live[live < covered]
    keep[kept] = kept
    ours = _native.keyword_merge(got.buffers, keep, 0, 0, covered, got.weight)
    fresh = _from_store(store, 0, covered, got.weight)
    if bytes(ours) != bytes(fresh):
        return [f"{folder / FOLDER}: its postings differ from the documents' words"], notes
    return [], notes


def stats(loaded: Loaded, live: npt.NDArray[np.bool_] | None, rows: int) -> float:
    """The summed weighted length of the live rows (live None: all rows below rows)."""
    return float(_native.keyword_length(loaded.buffers, live, rows))


def counts(loaded: Loaded, words_: Iterable[str], live: npt.NDArray[np.bool_] | None, rows: int) -> list[int]:
    return list(_native.keyword_counts(loaded.buffers, list(words_), live, rows))


def best(loaded: Loaded, words_: Sequence[str], held: Sequence[int], documents: int, average: float,
         allowed: npt.NDArray[np.bool_] | None, rows: int, k: int) -> list[tuple[int, float]]:
    """The best k allowed rows for the words (held: how many live documents hold each), by
    BM25, best first."""
    r, s = _native.keyword_best(loaded.buffers, list(words_), [float(h) for h in held], float(documents),
                                float(average), allowed, rows, k)
    return list(zip(np.frombuffer(r, np.int64).tolist(), np.frombuffer(s, np.float64).tolist()))

"""Keeping an index in step with folders of documents: what ``Index.sync`` does.

A sync scans its sources (``tarnexa.text.passages``), reads and cuts again only the files whose
stamp (content hash, modification time, source, cutting version) changed, keeps the vectors of
passages whose id, title and text are stored already, and writes what changed in one commit
through the index's own writer.
"""

from __future__ import annotations

import json
import os
import time
import warnings
from collections.abc import Callable, Sequence
from contextlib import AbstractContextManager
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from tarnexa.errors import DatesWarning, SourceError
from tarnexa.storage.docstore import DocStore
from tarnexa.storage.folder import Reader
from tarnexa.text import dates, embedders, embedding, passages
from tarnexa.text.inputs import metadata_json
from tarnexa.text.progress import Stages, bar

if TYPE_CHECKING:
    from distributed import Client

Reading = Callable[[], AbstractContextManager[Reader]]  # Index._reading

MAX_SIZE, PARSE_SECONDS = passages.MAX_SIZE, passages.PARSE_SECONDS
# Index._write as a sync calls it.
Write = Callable[..., list[str]]


def same_file(root: str, f: passages.SourceFile) -> bool:
    """Whether the file f is the one a sync of root found under f's key."""
    where = Path(root)
    try:
        return (where / f.key if where.is_dir() else where).samefile(f.path)
    except OSError:
        return False


class Stamp(NamedTuple):
    """What the sources table records of a synced file: its content's hash, modification time,
    the source it was found under (resolved) and the cutting's version."""

    digest: str
    mtime: float | None
    root: str | None
    cut: int = passages.CUT

    def value(self) -> str:
        return json.dumps({"sha256": self.digest, "mtime": self.mtime, "root": self.root, "cut": self.cut})

    @classmethod
    def read(cls, value: str) -> Stamp:
        try:
            got = json.loads(value)
            return cls(str(got["sha256"]), got.get("mtime"), got.get("root"), int(got.get("cut", 0)))
        except (ValueError, TypeError, KeyError, AttributeError):  # a bare hash, of an older version
            return cls(value, None, None, 0)


def _known(reading: Reading, found: Sequence[passages.Passage]) -> dict[int, npt.NDArray[np.float32]]:
    """The stored vectors of those passages whose id, title and text a stored document has
    already, by their place in found (read from one pinned version of the index)."""
    by_id = {p.id: i for i, p in enumerate(found)}
    with reading() as reader:
        rows = reader.store.rows_of(list(by_id))
        docs = reader.store.by_rows(list(rows.values()))
        same = [(by_id[d.id], row) for row, d in docs.items()
                if found[by_id[d.id]].title == d.title and found[by_id[d.id]].text == d.text]
        if not same:
            return {}
        got = np.asarray(reader.snap.cache.vectors[[row for _, row in same]], np.float32)
        return {place: got[k] for k, (place, _) in enumerate(same)}


# The mark a stamp's hash carries when some of the file's passages were skipped: the file is read
# and its skipped passages tried again (and warned of again) by every later sync.
PARTIAL = "partial:"


def embedded(fn: embedders.EmbedFn, texts: Sequence[str], dims: int, progress: bool = False, *,
             name: str | None = None, threads: int | None = None, client: Client | None = None
             ) -> tuple[npt.NDArray[np.float32], dict[int, str]]:
    """The texts' rows, and {place: why} for each text the embedder gives no usable vector (its
    row left zero): a batch that fails is embedded text by text to find which. An embedder
    that fails otherwise (raises, the wrong shape) raises as before. Batches run in threads,
    or with client on Dask workers, which load the embedder by name (see
    tarnexa.text.embedding)."""
    with bar(bool(progress and texts), len(texts), "doc", "embedding") as tick:
        got: tuple[npt.NDArray[np.float32], dict[int, str]] = embedding.embed(
            fn if name is None else name, fn, texts, dims, threads=threads, client=client, progress=tick,
            fallback=True)
    return got


def _warn_same_dates(times: list[tuple[str, float]], roots: dict[str, str], read: set[str]) -> None:
    """A warning for each source read again now whose files all have the same date."""
    for root, when in dates.same_dates(times).items():
        if root in read:
            day = time.strftime("%Y-%m-%d", time.gmtime(when))
            warnings.warn(f"every file of {roots.get(root, root)} has the same date ({day}, as a fresh copy or "
                          "checkout leaves them): recent: and date filters will not tell them apart (a front "
                          "matter date: gives a file its own)", DatesWarning, stacklevel=4)


def sync(sources: Sequence[str | os.PathLike[str]], *, current: Callable[[], DocStore],
         reading: Reading, write: Write, embedder: Callable[[], embedders.EmbedFn],
         progress: bool = False, prune: bool = False, strict: bool = False,
         on_skip: Callable[[str, str], None] | None = None, follow_links: bool = False,
         max_size: int = passages.MAX_SIZE, parse_seconds: float | None = passages.PARSE_SECONDS,
         exclude: Sequence[str] = (), name: str | None = None, threads: int | None = None,
         client: Client | None = None) -> dict[str, Any]:
    """``Index.sync`` (see there), through the index's hooks: ``current`` gives its document
    store, ``reading`` pins the version committed now, ``write`` commits (``Index._write``) and
    ``embedder`` gives the embedding function. A passage the embedder gives no vector is
    skipped (and warned of) alone; the rest of its file and of the run is written. A file an
    ignore file or ``exclude`` leaves out keeps the documents an earlier sync gave it unless
    ``prune``."""
    stages = Stages()
    with stages.timed("scan"):
        found = passages.scan(sources, follow_links, exclude)
    stages.count("scan", len(found.files))
    if found.missing and not prune:
        raise SourceError(f"{found.missing[0]}: no such file or folder (nothing was changed; "
                          "prune removes what the index holds from it)")
    skipped: list[tuple[str, str]] = []

    def skip(path: str, reason: str) -> None:
        if strict:
            raise SourceError(f"{path}: {reason}")
        skipped.append((path, reason))
        if on_skip is not None:
            on_skip(path, reason)
        else:
            warnings.warn(f"tarnexa: skipped {path}: {reason}", stacklevel=4)  # at the caller of Index.sync

    for root, prefix, error in found.unreadable:
        skip(str(Path(root, prefix)) if prefix else found.roots.get(root, root), f"cannot list it: {error}")
    for where, why in found.passed:
        skip(where, why)
    stamps = {key: Stamp.read(value) for key, value in current().sources().items()}
    gone_roots = {str(Path(m).resolve()) for m in found.missing} if prune else set()
    new: list[passages.Passage] = []
    new_json: list[str | None] = []  # their metadata as the store keeps it, checked file by file
    stamp_of: dict[str, str | None] = {}
    keys = set()
    path_of = {f.key: str(f.path) for f in found.files}
    git_dates = {root: dates.committed(root) for root in found.roots if Path(root).is_dir()}
    file_times: list[tuple[str, float]] = []
    with bar(progress, len(found.files), "file", "reading") as tick:
        for f in found.files:
            if tick is not None:
                tick(1)
            root, was = f.root, stamps.get(f.key)
            if was is not None and was.root is not None and was.root != root:
                if same_file(was.root, f):  # named alone now: it stays its folder's
                    root = was.root
                elif was.root not in found.roots and was.root not in gone_roots:
                    skip(str(f.path), f"the index holds {f.key} from {was.root}, a source not named here "
                                      "(name both, prune that one if it is gone, or use separate indexes)")
                    keys.add(f.key)
                    continue
            keys.add(f.key)
            try:
                with stages.timed("read"):
                    data, digest, mtime = passages.read(f, max_size, follow_links)
                stages.count("read", 1)
                mtime = git_dates.get(f.root, {}).get(f.key.replace(os.sep, "/"), mtime)
                file_times.append((f.root, mtime))
                now = Stamp(digest, mtime, root)
                if was == now:
                    continue
                problems: list[str] = []
                with stages.timed("cut"):
                    cut = passages.file_passages(f, data, mtime, parse_seconds, problems)
                    as_json = metadata_json([p.metadata for p in cut], [p.id for p in cut])  # refused here, alone
                stages.count("cut", len(cut))
            except ValueError as e:  # SourceError among them
                skip(str(f.path), str(e).removeprefix(f"{f.path}: ").removeprefix(f"cannot read {f.path}: "))
                continue
            new += cut
            new_json += as_json
            stamp_of[f.key] = now.value()
            for problem in problems:  # the file is read again, and warned of again, by the next sync
                skip(str(f.path), problem)
                stamp_of[f.key] = now._replace(digest=PARTIAL + now.digest).value()
    held: dict[str, int] = {}
    for key, st in stamps.items():
        if st.root is not None:
            held[st.root] = held.get(st.root, 0) + 1
    kept_roots = {root for root, prefix, _ in found.unreadable if not prefix}
    for root, given in found.roots.items():
        if held.get(root) and not any(f.root == root for f in found.files) and not prune \
                and root not in kept_roots:
            skip(given, f"holds no files; the index keeps the documents of its {held[root]} files "
                        "(prune removes them)")
            kept_roots.add(root)
    named = (set(found.roots) | gone_roots) - kept_roots
    shut = [(root, prefix) for root, prefix, _ in found.unreadable if prefix]
    if not prune:  # what is excluded now keeps what it had: an exclude by mistake removes nothing
        shut += found.excluded

    def vanished(key: str, st: Stamp) -> bool:
        if key in keys:
            return False
        if st.root is None:  # stamped before sources were recorded: only prune knows
            return prune
        return st.root in named and not any(st.root == r and (key == p or p.endswith("/") and key.startswith(p))
                                            for r, p in shut)

    gone = [key for key, st in stamps.items() if vanished(key, st)]
    stamp_of.update((key, None) for key in gone)
    fresh = {p.id for p in new}
    stale = [d for d in current().ids_of_sources(list(stamp_of)) if d not in fresh]
    known = _known(reading, new) if new else {}
    reused = len(known)
    todo = [i for i in range(len(new)) if i not in known]
    if todo:
        with stages.timed("embed"):
            rows, bad = embedded(embedder(), [new[i].text for i in todo], int(current().settings()["dims"]), progress,
                                 name=name, threads=threads, client=client)
        stages.count("embed", len(todo) - len(bad))
        known.update((i, rows[k]) for k, i in enumerate(todo) if k not in bad)
        for k, why in bad.items():
            p = new[todo[k]]
            skip(f"{path_of.get(p.source, p.source)} (passage {p.id})", why)
            stamp = Stamp.read(stamp_of[p.source] or "")
            if not stamp.digest.startswith(PARTIAL):
                stamp_of[p.source] = stamp._replace(digest=PARTIAL + stamp.digest).value()
        dropped = {todo[k] for k in bad}
        if dropped:
            keep = [i for i in range(len(new)) if i not in dropped]
            known = {place: known[i] for place, i in enumerate(keep)}
            new = [new[i] for i in keep]
            new_json = [new_json[i] for i in keep]
            fresh = {p.id for p in new}
            stale = [d for d in current().ids_of_sources(list(stamp_of)) if d not in fresh]
    if new or stale or stamp_of:
        with stages.timed("write"):
            write([p.text for p in new], [p.id for p in new], [p.title for p in new], [p.timestamp for p in new],
                  progress=progress, sources=stamp_of, source_of=[p.source for p in new], delete=stale, known=known,
                  metadata_texts=new_json)
        _warn_same_dates(file_times, found.roots, {f.root for f in found.files if f.key in stamp_of})  # once written
        stages.count("write", len(new))
    return {"files": len(found.files), "changed": len(stamp_of) - len(gone), "removed": len(gone),
            "embedded": len(new) - reused, "passages": len(new), "skipped": skipped,
            "excluded": len(found.excluded) + len(found.templates), "stages": stages.record()}

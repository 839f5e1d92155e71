"""A text index: documents in, a typed query and modifier line acted on, results out.

``Index`` is the library's face: it makes and opens index folders (``tarnexa.storage.folder``
holds their layout and commit protocol), checks what callers hand it (``tarnexa.text.inputs``),
embeds texts, and searches with a ``Query``: each search or batch reads one version of the
index, pinned (``tarnexa.storage.folder.Readers``), through the plans of
``tarnexa.search.plans``.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import shutil
import sqlite3
import threading
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from tarnexa._constants import FUSION, GIVEN_AGREE, SEMANTIC_WEIGHT, local_cluster_options
from tarnexa.errors import EmbedderError, SourceError
from tarnexa.search import plans
from tarnexa.search.results import Results
from tarnexa.search.searcher import Searcher
from tarnexa.storage import folder as layout
from tarnexa.storage.cache import Cache
from tarnexa.storage.docstore import DERIVED, DocStore, Document
from tarnexa.storage.filters import DATE_FIELD, STORED_DATE, Compiled, compile_where
from tarnexa.text import embedders, embedding, passages, sync
from tarnexa.text.inputs import content_id, metadata_json, strings, times, unique
from tarnexa.text.progress import bar, spinner
from tarnexa.text.query import Query


def _storable(name: str, values: Sequence[str]) -> None:
    """Refuses, before anything is written, a string the document store cannot keep (a lone
    surrogate has no UTF-8 form)."""
    for i, value in enumerate(values):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as e:
            raise ValueError(f"{name}[{i}] holds a lone surrogate ({value[e.start:e.end]!r} at {e.start}), "
                             "which cannot be stored as UTF-8") from None


_PROBE = "tarnexa probe: a quick brown fox jumps over the lazy dog; 0123456789"


def _measured_fusion(embedder: str) -> dict[str, Any]:
    """The fusion an index of that embedder gets: its measured weights (SEMANTIC_WEIGHT)."""
    weight = SEMANTIC_WEIGHT.get(embedders.base_name(embedder), SEMANTIC_WEIGHT[None])
    return {"method": FUSION["method"], "semantic_weight": weight, "keyword_weight": round(1 - weight, 4)}


class Index:
    """A text index on disk. ``Index.create(path, embedder)`` makes one, ``Index.open(path)``
    opens one; ``add``, ``delete`` and ``search`` are safe to call from several processes at
    once (writers take turns; a search sees every commit made before it started)."""

    def __init__(self, folder: Path, store: DocStore, name: str, fn: embedders.EmbedFn | None,
                 searcher_for: Callable[[Cache], Any] | None = None) -> None:
        self.path = folder
        self._store = store
        self._writer = layout.Writer(folder, store)
        self._name = name
        self._fn = fn
        self._checked = False
        self._readers = layout.Readers(folder, searcher_for or Searcher)
        self._lock = threading.RLock()
        self._owned: contextlib.ExitStack | None = None

    @property
    def _settings(self) -> dict[str, Any]:
        return self._writer.settings

    # ---- making and opening ----

    @staticmethod
    def exists(path: str | os.PathLike[str]) -> bool:
        """Whether path holds an index."""
        return layout.is_index(path)

    @classmethod
    def create(cls, path: str | os.PathLike[str], embedder: str | embedders.EmbedFn = embedders.DEFAULT) -> Index:
        """A new, empty index at path (which must not exist, or be an empty directory), its
        embedder "minilm" unless told (docs/guide.md's "Embedders"); "given:DIMS" makes one for
        vectors computed elsewhere."""
        folder = Path(path)
        try:
            name, fn = embedders.resolve(embedder)
        except EmbedderError as e:
            if embedder != embedders.DEFAULT:
                raise
            raise EmbedderError(f"{e} (minilm is the default embedder: embedder=\"wordllama\" or \"hashed\" "
                                "needs no model package)") from None
        if isinstance(fn, embedders.GivenVectors):
            layout.create(folder, {"embedder": name, "dims": fn.dims, "probe": None, "fusion": _measured_fusion(name),
                                   "titles_embedded": False}, fn.dims)
            return cls.open(folder)
        probe = embedders.embed(fn, [_PROBE])
        again = embedders.embed(fn, [_PROBE])
        if again.shape != probe.shape or not np.allclose(again, probe, atol=1e-4):
            raise EmbedderError("the embedder gives different vectors for the same text: an index needs one "
                                "that gives a text the same vector every time")
        layout.create(folder, {"embedder": name, "dims": int(probe.shape[1]), "probe": probe[0].tolist(),
                               "fusion": _measured_fusion(name), "titles_embedded": True}, int(probe.shape[1]))
        try:
            index = cls.open(folder, embedder=fn)
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)  # made just now, by this call: nothing is lost
            raise
        index._name, index._checked = name, True
        return index

    @classmethod
    def open(cls, path: str | os.PathLike[str], embedder: str | embedders.EmbedFn | None = None) -> Index:
        """Opens the index at path. ``embedder`` must be the one the index was built with: its
        name (the same name), or for a function the function itself or its "module:function"
        name, which must give the index's vector for its probe text. An index built with a
        function opens without it for what needs no embedding (its documents, ``info``), and
        says how to open it when a search or a write needs it; it never imports the function
        it names by itself (an index folder names no code to run)."""
        folder = Path(path)
        if not folder.is_dir():
            raise FileNotFoundError(f"no tarnexa index at {folder}")
        store = DocStore(folder)
        try:
            settings = store.settings()
            if settings.get("format") != layout.FORMAT or settings.get("format_version") not in layout.FORMATS_READ:
                raise ValueError(f"{folder} is not a version {layout.FORMAT_VERSION} tarnexa index")
            built = settings["embedder"]
            fn: embedders.EmbedFn | None = None
            if callable(embedder):
                fn = embedder
            elif embedder is not None:
                name, fn = embedders.resolve(embedder)
                if name != built and not embedders.is_given(built):
                    raise EmbedderError(f"{folder} was built with the embedder {built!r}, not {name!r}")
            index = cls(folder, store, built, fn)
            if not store.has_meta() or store.has_fts():
                with contextlib.suppress(OSError, sqlite3.OperationalError):  # read-only: searched as it is
                    index._writer.upgrade()
            if index._writer.keywords_behind():  # made before it, or a writer died before its update
                with contextlib.suppress(OSError, sqlite3.OperationalError):  # read-only: readers build it
                    index._writer.catch_up()
            if not store.has_checksums():  # made before checksums: each document gets its own
                with contextlib.suppress(OSError, sqlite3.OperationalError):  # read-only: read unchecked
                    store.add_checksums()
            if fn is not None and (callable(embedder) or embedders.is_function(built)):
                index._check_embedder()
            return index
        except BaseException:
            store.close()
            raise

    def _embedder(self) -> embedders.EmbedFn:
        if self._fn is None:
            if embedders.is_function(self._name):
                name = self._name.removeprefix("callable:")
                how = "" if self._name.startswith("callable:") else f"embedder={name!r} (--embedder {name}) or "
                raise EmbedderError(f"{self.path} was built with the embedder {name}, a function: open it with "
                                    f"{how}Index.open(path, embedder=that_function)")
            self._fn = embedders.resolve(self._name)[1]
        if not self._checked:
            self._check_embedder()
        return self._fn

    def _check_embedder(self) -> None:
        """The embedder must give the probe text the vector it gave when the index was made
        (of an index of given vectors: vectors of its dimensions)."""
        assert self._fn is not None
        dims = int(self._settings["dims"])
        if isinstance(self._fn, embedders.GivenVectors):
            self._checked = True
            return
        try:
            got = embedders.embed(self._fn, [_PROBE])
        except EmbedderError as e:
            raise EmbedderError(f"the embedder does not fit {self.path}: {e}") from None
        if self._settings.get("probe") is None:  # an embedder for the queries of given vectors
            if got.shape[1] != dims:
                raise EmbedderError(f"the embedder gives {got.shape[1]}-dimension vectors: {self.path} holds "
                                    f"vectors of {dims} ({self._settings['embedder']})")
            self._checked = True
            return
        if got.shape[1] != dims or not np.allclose(got[0], np.asarray(self._settings["probe"], np.float32),
                                                   atol=1e-4):
            shape = f"{got.shape[1]}-dimension" if got.shape[1] != dims else "other"
            raise EmbedderError(f"the embedder gives {shape} vectors than the one {self.path} was built with "
                                f"({self._settings['embedder']}, {dims} dimensions)")
        self._checked = True

    # ---- what it holds ----

    def _current(self) -> DocStore:
        """The document store, opened again when the index folder was replaced since (another
        index made at the same path): every answer comes from the index that is there now."""
        if self._store.replaced():
            with self._lock:
                if self._store.replaced():
                    old, store = self._store, DocStore(self.path)
                    if store.settings().get("dims") != self._settings.get("dims"):
                        self._checked = False  # another embedder's index, perhaps: check it again
                    self._drop_snapshot()
                    self._store, self._writer = store, layout.Writer(self.path, store)
                    if self._fn is not None and not self._checked:
                        self._check_embedder()
                    old.close()
        return self._store

    def __len__(self) -> int:
        return self._current().count()

    def __contains__(self, doc_id: object) -> bool:
        return isinstance(doc_id, str) and self._current().document(doc_id) is not None

    def __repr__(self) -> str:
        return f"Index({str(self.path)!r}, documents={len(self)}, embedder={self._name!r})"

    @property
    def ids(self) -> list[str]:
        """Every document's id, in the index's own order (the order a search's ``mask`` follows)."""
        return self._current().ids_in_order()

    @property
    def embedder(self) -> str:
        return self._name

    def document(self, doc_id: str) -> Document:
        """The stored document; KeyError for an id the index does not hold."""
        doc = self._current().document(doc_id)
        if doc is None:
            raise KeyError(doc_id)
        return doc

    def vectors(self, ids: Sequence[str]) -> npt.NDArray[np.float32]:
        """The unit float32 rows of these documents, one per id in order; KeyError for an id the
        index does not hold."""
        with self._reading() as reader:
            rows = reader.store.rows_of(strings(ids, "ids"))
            missing = [d for d in ids if d not in rows]
            if missing:
                raise KeyError(missing[0])
            return np.asarray(reader.snap.cache.vectors[[rows[d] for d in ids]], dtype=np.float32)

    def info(self) -> dict[str, Any]:
        """What the index holds; raises (CacheError, sqlite3.DatabaseError) when its store does
        not read or the cache it names is missing or does not hold the rows it names (a full
        check of every byte is ``verify``)."""
        with self._reading() as reader:
            first, last = reader.store.time_range()
            snap = reader.snap
            return {"path": str(self.path), "documents": snap.count, "dims": int(self._settings["dims"]),
                    "embedder": self._name, "fusion": self.fusion, "first": first, "last": last,
                    "cache": snap.cache.path.name, "dead_rows": len(snap.cache) - snap.count,
                    "checksums": snap.cache.checked}

    @property
    def fusion(self) -> dict[str, Any]:
        """How a hybrid search fuses its two sides unless told: the method and the weights the
        index was made with (an index made before they were recorded: its embedder's)."""
        got = self._settings.get("fusion")
        return dict(got) if isinstance(got, dict) else _measured_fusion(self._name)

    @property
    def _titled(self) -> bool:
        """Whether a document's title is embedded with its text (see embedders.TITLED)."""
        return bool(self._settings.get("titles_embedded", self._name in embedders.TITLED))

    def _fused_by(self) -> plans.Fusion:
        f = self.fusion
        return plans.Fusion(str(f["method"]), float(f["semantic_weight"]), float(f["keyword_weight"]))

    def verify(self, fix: bool = False) -> list[str]:
        """Reads and checks everything the index holds (``tarnexa verify``): every page of the
        store, every document against its checksum, the keyword index and the metadata table
        against the documents, the cache's every checksum, the rows the store names. Raises for
        damage (naming every damaged document); returns notes. ``fix=True`` first removes the
        damaged documents (the next sync reads their files again), makes the store's full-text
        and metadata tables and the keyword index beside the caches again from the documents,
        and gives the documents of an older index their checksums."""
        store = self._current()
        notes: list[str] = []
        if fix:
            with self._writing():
                damaged = {d: why for d, why in store.damaged_documents().items() if why not in DERIVED}
                store.rebuild_derived(drop=list(damaged))
                store.add_checksums()
                self._writer.rebuild_keywords()
            notes += [f"removed the damaged document {d!r} ({why})" for d, why in damaged.items()]
        return notes + layout.verify(self.path, store)

    # ---- writing ----

    @contextlib.contextmanager
    def _writing(self) -> Iterator[None]:
        self._current()
        try:
            with self._writer.turn():
                yield
        finally:
            self._drop_snapshot()

    def add(self, texts: Sequence[str], ids: Sequence[str] | None = None, titles: Sequence[str] | None = None,
            timestamps: Sequence[float | None] | None = None, *,
            metadata: Sequence[Mapping[str, Any] | None] | None = None, vectors: npt.ArrayLike | None = None,
            progress: bool = False, threads: int | None = None, cluster: Any = None) -> list[str]:
        """Adds the texts as documents, all or none of them; a document whose id the index holds
        already is replaced. ``ids`` default to a hash of each text; ``titles`` to ""; a
        timestamp (epoch seconds) of None leaves a document undated (``recent`` does not decay
        it); ``metadata`` gives each a dict of str, int, float, bool or lists of those, that
        ``where=`` filters on (see docs/guide.md). ``vectors`` (n, dims), the texts' vectors
        computed elsewhere with the index's embedder, are stored instead of embedding the texts
        (each row made unit length; the first is checked against the embedder's own vector for
        its text, and vectors of another model are refused). Returns the ids.
        ``progress=True`` shows a progress bar on stderr while embedding. The texts are embedded
        in batches over ``threads`` threads (by default: every core where the embedder allows
        it), or with ``cluster`` (a distributed.Client) on its workers, which load the embedder
        by its name (see docs/guide.md's "Embedding in parallel")."""
        if vectors is None:
            return self._write(texts, ids, titles, timestamps, metadata=metadata, progress=progress,
                               threads=threads, cluster=cluster)
        text_list = strings(texts, "texts")
        rows = embedders.given(vectors, len(text_list), int(self._settings["dims"]))
        if text_list and not embedders.is_given(self._name):
            title = strings(titles, "titles", len(text_list))[0] if titles is not None else ""
            own = embedders.embed_one(self._embedder(), embedders.with_title(self._titled, title, text_list[0]))
            if float(own @ rows[0]) < GIVEN_AGREE:
                raise EmbedderError(f"vectors row 0 is not what {self._name} gives its text (cosine "
                                    f"{float(own @ rows[0]):.3f}, under {GIVEN_AGREE}): vectors of another model, or "
                                    "of other texts?")
        return self._write(text_list, ids, titles, timestamps, metadata=metadata, progress=progress, given=rows)

    def _write(self, texts: Sequence[str], ids: Sequence[str] | None, titles: Sequence[str] | None,
               timestamps: Sequence[float | None] | None, *, progress: bool,
               metadata: Sequence[Mapping[str, Any] | None] | None = None,
               sources: dict[str, str | None] | None = None, source_of: Sequence[str | None] | None = None,
               delete: Sequence[str] = (), known: dict[int, npt.NDArray[np.float32]] | None = None,
               given: npt.NDArray[np.float32] | None = None, threads: int | None = None,
               cluster: Any = None, metadata_texts: Sequence[str | None] | None = None) -> list[str]:
        """add(), and with it in the same commit: the source of each text, the stamps of the
        sources (None: forgotten) and documents to delete. ``known`` holds the vectors of some
        of the texts (by their place), which are not embedded again; ``given`` those of all.
        ``metadata_texts``, the metadata as metadata_json made it (checked already), in place
        of ``metadata``."""
        text_list = strings(texts, "texts")
        n = len(text_list)
        id_list = [content_id(t) for t in text_list] if ids is None else strings(ids, "ids", n)
        unique(id_list)
        title_list = [""] * n if titles is None else strings(titles, "titles", n)
        time_list = [None] * n if timestamps is None else times(timestamps, n)
        for name, values in (("ids", id_list), ("texts", text_list), ("titles", title_list)):
            _storable(name, values)
        meta_list = list(metadata_texts) if metadata_texts is not None else [None] * n if metadata is None \
            else metadata_json(metadata, id_list)
        known = known or {}
        todo = [i for i in range(n) if i not in known] if given is None else []
        dims = int(self._settings["dims"])
        vectors = np.zeros((n, dims), np.float32) if given is None and len(todo) < n else given
        if todo:
            fn = self._embedder()
            with bar(bool(progress and todo), len(todo), "doc", "embedding") as tick:
                got = embedding.embed(
                    self._name, fn, [embedders.with_title(self._titled, title_list[i], text_list[i]) for i in todo],
                    dims, threads=threads, client=cluster, progress=tick)
            if vectors is None:  # every text embedded: its rows are the vectors, no copy made
                vectors = got
            else:
                vectors[todo] = got
        if vectors is None:  # no text at all
            vectors = np.zeros((0, dims), np.float32)
        for i, row in known.items():
            vectors[i] = row
        source_list = [None] * n if source_of is None else list(source_of)
        with self._writing(), spinner(bool(progress and n), f"writing {n:,} documents"):
            self._writer.write(vectors, list(zip(id_list, title_list, text_list, time_list, source_list, meta_list)),
                               delete=delete, sources=sources)
        return id_list

    def sync(self, sources: Sequence[str | os.PathLike[str]], *, progress: bool = False, prune: bool = False,
             strict: bool = False, on_skip: Callable[[str, str], None] | None = None,
             follow_links: bool = False, max_size: int = sync.MAX_SIZE,
             parse_seconds: float | None = sync.PARSE_SECONDS, exclude: Sequence[str] = (),
             threads: int | None = None, cluster: Any = None) -> dict[str, Any]:
        """Keeps the index in step with folders (or files) of documents, cut into passages (see
        ``tarnexa.text.passages``): files new since the last sync are added, changed ones
        replaced and the passages of files that vanished from these sources deleted, in one
        commit. Documents added otherwise, and those of sources not named, are left alone.

        Nothing is removed by mistake: a source that does not exist raises SourceError (with
        ``prune=True`` its documents are removed instead); a source that holds no files where the
        index holds documents from it, and a folder that cannot be listed, keep their documents
        (``prune=True`` removes those of an empty source). A file that cannot be read or parsed
        is skipped and keeps the passages it had; ``on_skip(path, reason)`` is told of each
        (warnings.warn by default), or ``strict=True`` raises SourceError at the first.

        Returns ``files`` (found), ``changed`` (files read and cut again), ``removed`` (files
        forgotten), ``embedded`` (passages embedded; a passage whose id, title and text are those
        stored keeps its vector), ``passages`` (written), ``skipped``: (path, reason) pairs, and
        ``excluded`` (files and folders left out).

        In a folder, what its ``.gitignore`` and ``.tarnexaignore`` files (there and in its
        subfolders, git's patterns) or the ``exclude`` patterns (gitignore lines, from the
        folder named) leave out is not read; a file excluded that an earlier sync read keeps its
        passages unless ``prune=True``, which removes them as a deleted file's. HTML files that
        are templates (``{% %}``, ``{{ }}``, ``{# #}``) are skipped with a warning. A file its
        parser reads only in part (a reStructuredText construct docutils fails on) keeps what
        was read, with a warning.

        Also skipped with a warning: a passage the embedder gives no vector (no word it knows),
        alone; a file or folder reached through a link to outside its source folder, unless
        ``follow_links=True``; what is not a regular file (a FIFO, a device, a dangling link); a
        file above ``max_size`` bytes (16 MiB by default); a file whose parsing takes more than
        ``parse_seconds`` (60 by default, None: no limit; timed on the main thread only).
        ``threads`` and ``cluster`` embed as in ``add``. The result's ``stages`` give each stage's
        count and seconds (scan, read, cut, embed, write)."""
        return sync.sync(sources, current=self._current, reading=self._reading, write=self._write,
                         embedder=self._embedder, progress=progress, prune=prune, strict=strict, on_skip=on_skip,
                         follow_links=follow_links, max_size=max_size, parse_seconds=parse_seconds,
                         exclude=list(strings(exclude, "exclude")) if exclude else (), name=self._name,
                         threads=threads, client=cluster)

    def delete(self, ids: Sequence[str] | None = None, *, where: Any = None) -> int:
        """Deletes the documents of these ids (ids the index does not hold are passed over), or
        those whose metadata pass the filter ``where``, or with both those of the ids that pass
        it; returns how many it deleted."""
        if ids is None and where is None:
            raise TypeError("delete() takes ids, where or both")
        id_list = None if ids is None else strings(ids, "ids")
        compiled = None if where is None else compile_where(where)
        with self._writing():
            store = self._current()
            if compiled is not None:
                docs = store.by_rows(sorted(self._rows(store, id_list, compiled)))
                id_list = [d.id for d in docs.values()]
            assert id_list is not None
            held = len(store.rows_of(id_list))
            if held:
                store.commit(delete=id_list)
                self._writer.compact_if_needed()
        return held

    @staticmethod
    def _rows(store: Any, ids: list[str] | None, where: Compiled | None) -> list[int]:
        """The cache rows of the documents of ids (all when None) that pass where (any when
        None), in the order of ids, else in the index's order."""
        passing = None if where is None else set(store.rows_where(where).tolist())
        if ids is None:
            return sorted(passing) if passing is not None else []
        rows = store.rows_of(ids)
        return [rows[d] for d in dict.fromkeys(ids) if d in rows and (passing is None or rows[d] in passing)]

    def get(self, ids: Sequence[str] | None = None, *, where: Any = None) -> list[Document]:
        """The stored documents of these ids, in their order (ids the index does not hold are
        passed over), or those whose metadata pass the filter ``where`` in the index's order, or
        with both those of the ids that pass it; all of them with neither."""
        id_list = None if ids is None else strings(ids, "ids")
        compiled = None if where is None else compile_where(where)
        with self._reading() as reader:
            rows = self._rows(reader.store, id_list, compiled) if id_list is not None or compiled is not None \
                else np.flatnonzero(reader.snap.live).tolist()
            docs = reader.store.by_rows(rows)
            return [docs[r] for r in rows]

    def update(self, ids: Sequence[str], *, metadata: Sequence[Mapping[str, Any] | None] | Mapping[str, Any] | None = None,
               titles: Sequence[str | None] | None = None,
               timestamps: Sequence[float | None] | None = None) -> int:
        """Gives the documents of ids new metadata, titles or timestamps, their texts and vectors
        kept: ``metadata`` one dict per id (None keeps that document's; ``{}`` clears it) or one
        dict for all of them, ``titles`` and ``timestamps`` one per id (None keeps it). All or
        none, in one commit, as ``add`` writes (the keyword index, which indexes titles, reads
        the new ones from it); KeyError for an id the index does not hold, before anything is
        written. A document whose title changes is embedded again where the index embeds titles
        with the texts (every index made now does), so that its
        vector stays that of its title and text; nothing else is. Returns how many it updated."""
        id_list = strings(ids, "ids")
        unique(id_list)
        n = len(id_list)
        metas: list[Any] = [None] * n if metadata is None else [metadata] * n if isinstance(metadata, Mapping) \
            else list(metadata)
        if len(metas) != n:
            raise ValueError(f"{len(metas)} metadata for {n} ids")
        given = [None if m is None else metadata_json([m], [d])[0] for d, m in zip(id_list, metas)]
        title_list = [None] * n if titles is None else strings(titles, "titles", n, optional=True)
        _storable("titles", [t for t in title_list if t is not None])
        time_list: list[Any] = [None] * n if timestamps is None else times(timestamps, n)
        if not n:
            return 0
        with self._writing():
            store = self._current()
            rows = store.rows_of(id_list)
            missing = [d for d in id_list if d not in rows]
            if missing:
                raise KeyError(missing[0])
            docs = store.by_rows([rows[d] for d in id_list])
            sources = store.sources_of(id_list)
            cache = Cache.open(self.path / self._writer.settings["cache"])
            vectors = np.asarray(cache.vectors[[rows[d] for d in id_list]], dtype=np.float32)
            put: list[layout.Put] = []
            for i, d in enumerate(id_list):
                doc = docs[rows[d]]
                given_title = title_list[i]
                title = doc.title if given_title is None else given_title
                meta = given[i] if metas[i] is not None else metadata_json([doc.metadata or None], [d])[0]
                put.append((d, title, doc.text, doc.timestamp if time_list[i] is None else time_list[i],
                            sources.get(d), meta))
            again = [i for i, p in enumerate(put) if self._titled and p[1] != docs[rows[p[0]]].title]
            if again:
                vectors[again] = embedders.embed(self._embedder(), [embedders.with_title(True, put[i][1], put[i][2])
                                                                    for i in again], int(self._settings["dims"]))
            self._writer.write(vectors, put)
        return n

    def fields(self) -> dict[str, int]:
        """The metadata fields the documents hold, each with how many documents hold it (most
        first), and ``date`` (what a filter's ``date`` compares: see docs/guide.md's
        "Filters") with how many are dated."""
        store = self._current()
        out = dict(store.fields())
        dated = store.dated(STORED_DATE)
        if dated:
            out[DATE_FIELD] = dated
        return dict(sorted(out.items(), key=lambda kv: (-kv[1], kv[0])))

    def count(self, where: Any = None) -> int:
        """How many documents the index holds; with ``where``, how many of them pass the filter."""
        if where is None:
            return len(self)
        compiled = compile_where(where)
        with self._reading() as reader:
            return int(reader.store.rows_where(compiled).size)

    # ---- searching ----

    @contextlib.contextmanager
    def _reading(self) -> Iterator[layout.Reader]:
        """The version of the index committed now, pinned while the block lasts: every read of
        a search (its documents, filters, keyword hits and vectors) is of that version."""
        store = self._current()
        with self._readers.read(store) as reader:
            yield reader

    def _drop_snapshot(self) -> None:
        self._readers.drop()

    def search(self, query: str | Query, modifiers: str | None = "", *, explain: bool = False,
               **keywords: Any) -> Results:
        """Searches for the query text with the modifier line acted on (see docs/modifiers.md);
        keyword arguments set the same things (the line wins where both do, with a note):
        ``limit``, ``diverse``, ``recent``, ``recent_days``, ``like_ids``, ``unlike``,
        ``trajectory`` (a pair of texts) and ``communities``, plus ``pre_filter_ids`` (search only
        these documents), ``mask`` (a bool per document, in the order of ``ids``),
        ``threshold``, ``oversample`` and ``mmr_lambda`` as ``score_candidates`` takes them.
        ``mode`` ranks by meaning and words fused ("hybrid", the default), by meaning alone
        ("semantic": the module's ranking, exactly) or by words alone ("keyword": BM25);
        ``fusion`` ("convex", the default, or "rrf"), ``semantic_weight`` and ``keyword_weight``
        (the index's, ``Index.fusion``, where not given) and ``rrf_k`` set the fusion;
        ``where`` filters on the documents' metadata (see docs/guide.md's "Filters").
        ``explain=True`` gives each hit the parts of its score. ``query`` may be a ``Query``
        made by ``Query.parse`` instead, with no other argument. Raises ValueError for an empty
        query; a modifier line never raises."""
        if isinstance(query, Query):
            if modifiers or explain or keywords:
                raise TypeError("search() takes a Query alone, or a query text with modifiers and keywords")
            request = query
        else:
            request = Query.parse(query, modifiers, explain=explain, **keywords)
        found = self._run([request])[0]
        assert isinstance(found, Results)  # a failure raised
        return found

    @overload
    def search_many(self, queries: Sequence[str | tuple[str, str | None] | Query], *,
                    errors: Literal["raise"] = "raise", **keywords: Any) -> list[Results]: ...
    @overload
    def search_many(self, queries: Sequence[str | tuple[str, str | None] | Query], *,
                    errors: Literal["return"], **keywords: Any) -> list[Results | Exception]: ...
    def search_many(self, queries: Sequence[str | tuple[str, str | None] | Query], *,
                    errors: Literal["raise", "return"] = "raise", **keywords: Any) -> Sequence[Results | Exception]:
        """``[search(q, modifiers, **keywords) for ...]`` with every text embedded in batches and
        the scans made in one pass: each item is a query text, a ``(query, modifiers)`` pair or a
        ``Query`` (which carries its own settings: keywords with a Query item raise TypeError, as
        in ``search``); notes come per query. A query that fails on its own (an empty one, one
        whose words the embedder does not know in semantic mode, a bad value) raises, or with
        ``errors="return"`` gets its exception (ValueError, TypeError, EmbedderError) in its place
        while the others are answered."""
        if errors not in ("raise", "return"):
            raise ValueError(f"errors must be 'raise' or 'return', not {errors!r}")
        if isinstance(queries, str) or not isinstance(queries, Sequence):
            raise TypeError(f"queries must be a list of query texts, (query, modifiers) pairs or Query records, "
                            f"not {type(queries).__name__}")
        requests: list[Query | Exception] = []
        for item in queries:
            if isinstance(item, Query):
                if keywords:
                    raise TypeError("search_many() takes keyword arguments for query texts and pairs only: "
                                    "a Query carries its own (Query.parse(text, modifiers, **keywords))")
                requests.append(item)
                continue
            try:
                pair = item if isinstance(item, tuple) and len(item) == 2 else (item, "")
                requests.append(Query.parse(pair[0], pair[1], **keywords))
            except (ValueError, TypeError) as e:
                if errors == "raise":
                    raise
                requests.append(e)
        asked = [r for r in requests if isinstance(r, Query)]
        answers = iter(self._run(asked, alone=errors == "return"))
        return [r if isinstance(r, Exception) else next(answers) for r in requests]

    def _run(self, requests: list[Query], alone: bool = False) -> list[Results | Exception]:
        if not requests:
            return []
        dims = int(self._settings["dims"])
        fn = self._embedder()
        with self._reading() as reader:
            found = plans.search(reader, requests, fn, dims, alone, self._fused_by())
            if not reader.snap.count:
                return [r if isinstance(r, Exception) else
                        dataclasses.replace(r, notes=(*r.notes, "the index holds no documents yet")) for r in found]
        return found

    # ---- sharded ----

    def sharded(self, workers: int | None = None, client: Any = None) -> Index:
        """The same index searched over Dask worker processes: ``workers`` of its own (one per
        core by default) or the workers of ``client``. Use it as a context manager, or call
        ``close()``. Results differ from an in-process search only as docs/guide.md's "Sharded
        semantics" say."""
        try:
            from distributed import Client, LocalCluster

            from tarnexa.search.sharded import ShardedSearcher
        except ImportError as e:
            raise ImportError(f"sharded searches need Dask: pip install '.[distributed]' in the tarnexa "
                              f"checkout ({e})") from e

        stack = contextlib.ExitStack()
        if client is None:
            cluster = stack.enter_context(LocalCluster(**local_cluster_options(workers)))  # type: ignore[no-untyped-call]
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        other = Index(self.path, DocStore(self.path), self._name, self._fn,
                      searcher_for=lambda cache: ShardedSearcher(cache.path, client=client))
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

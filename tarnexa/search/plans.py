"""Text searches as plans: one record per query, carried through a pipeline of batch steps of
one concern each, over one pinned version of the index (a ``Reader``).

The steps, in order: embed every text of the batch at once; prepare each plan (its liked ids,
pre-filter, mask and filter turned into cache rows, its keyword expression; with notes);
scan every dense side of the batch in one pass of the row searcher; rank the keyword sides;
fuse, then select or diversify; fetch the hits' documents; explain and group. ``mode`` decides
once, in ``Plan.sides``, which steps a plan takes. Rows stay integers (cache rows of the pinned
version) until the documents are fetched.
"""

from __future__ import annotations

import difflib
import json
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa._constants import CLOSEST_UP_TO, FILTERS_KEPT, FUSION, SCORING_DEFAULTS, SHARE_AS_ROWS, SNIPPET
from tarnexa.errors import EmbedderError
from tarnexa.search import fusion, keywords
from tarnexa.storage import keywordindex
from tarnexa.search.communities import groups
from tarnexa.search.explain import explain, with_sides
from tarnexa.search.results import Community, Hit, Results
from tarnexa.storage.docstore import Document
from tarnexa.storage.filters import Compiled
from tarnexa.storage.folder import Reader, Snapshot
from tarnexa.text import embedders
from tarnexa.text.notes import diverse_scores, trajectory_moved_nothing, unknown_words
from tarnexa.text.query import Query

Vector = npt.NDArray[np.float32]
Vectors = Callable[[str], Vector]  # a text's vector; EmbedderError for a text without one
Ranking = keywords.Ranking
_RULE = re.compile(r"(?<!\S)([*=~^\"'+#-])\1{2,}(?!\S)")  # a heading's underline, a word of its own

# The sides each mode takes: "dense" (by meaning), "keyword" (by words), fused when both.
SIDES = {"semantic": ("dense",), "keyword": ("keyword",), "hybrid": ("dense", "keyword")}


@dataclass(frozen=True)
class Prepared:
    """A plan made ready for the row searcher of one snapshot: the query vector, the vectors of
    the texts it names (None where it names none, or the embedder found no words), the cache
    rows of the documents it names and the mask by cache row."""

    query_vec: Vector | None  # None: a keyword search of a query the embedder finds no words in
    limit: int
    diverse: bool
    recent: bool = False
    recent_days: float | None = None
    like_rows: tuple[int, ...] | None = None
    not_like_vec: Vector | None = None
    traj: tuple[Vector, Vector] | None = None
    pre_filter_rows: tuple[int, ...] | None = None
    mask: npt.NDArray[np.bool_] | None = None
    threshold: float | None = None
    oversample: int | None = None
    mmr_lambda: float | None = None
    words: tuple[str, ...] | None = None  # the terms the keyword side looks for (None: no keyword side)
    where: Compiled | None = None  # the filter, compiled

    def arguments(self) -> dict[str, Any]:
        """The row searcher's keyword arguments (cache rows as its ids), those left at their
        defaults left out."""
        kw: dict[str, Any] = {"limit": self.limit, "diverse": self.diverse or None, "threshold": self.threshold,
                              "oversample": self.oversample, "mmr_lambda": self.mmr_lambda,
                              "not_like_vec": self.not_like_vec, "mask": self.mask}
        if self.recent:
            kw.update(recent=True, recent_days=self.recent_days)
        if self.traj is not None:
            kw["traj_from_vec"], kw["traj_to_vec"] = self.traj
        if self.like_rows is not None:
            kw["like_ids"] = [str(r) for r in self.like_rows]
        if self.pre_filter_rows is not None:
            kw["pre_filter_ids"] = [str(r) for r in self.pre_filter_rows]
        return {k: v for k, v in kw.items() if v is not None}


@dataclass(eq=False)
class Plan:
    """One query of a batch on its way through the steps."""

    query: Query
    notes: list[str]
    ready: Prepared | None = None  # None once prepared: nothing to search (the notes say why)
    dense: Ranking = field(default_factory=list)  # the semantic side (in semantic mode, the hits)
    plain: Ranking | None = None  # the semantic side without its trajectory
    keyword: Ranking = field(default_factory=list)
    # convex fusion: each side's scores of the candidates only the other side ranked, and the
    # rows the unlike text takes the keyword share from
    dense_more: dict[int, float] = field(default_factory=dict)
    keyword_more: dict[int, float] = field(default_factory=dict)
    unliked: set[int] = field(default_factory=set)
    fusing: tuple[str, float, float] = ("rrf", 1.0, 1.0)  # the fusion: its method and the two sides' weights
    ranked: list[fusion.Fused] | None = None  # the fused (or keyword) ranking cut to the hits
    mmr: list[float] | None = None  # the diverse selection's scores of a fused ranking
    pool: list[int] | None = None  # the candidate pool's rows, for the communities or explain
    hits: Ranking = field(default_factory=list)  # (row, reported score), best first
    results: Results | None = None

    @property
    def sides(self) -> tuple[str, ...]:
        return SIDES[self.query.mode]

    @property
    def fused(self) -> bool:
        """Whether the hits come from a fused or keyword ranking rather than the row searcher."""
        return "keyword" in self.sides

    @property
    def scans(self) -> bool:
        """Whether the plan has a dense side to scan."""
        return self.ready is not None and self.ready.query_vec is not None and "dense" in self.sides

    @property
    def depth(self) -> int:
        """How deep into each side a fused plan looks."""
        assert self.ready is not None
        wide = self.query.communities or self.ready.diverse
        reranked = wide or self.ready.recent or self.ready.not_like_vec is not None
        if self.ready.limit and "dense" not in self.sides and not reranked:
            return self.ready.limit  # keyword mode, ranked as BM25 ranks: nothing below the limit moves up
        return max(self.ready.limit, int(FUSION["depth"]), self.query.pool_size if wide else 0)

    def dense_arguments(self) -> dict[str, Any]:
        """The semantic side's arguments: as asked in semantic mode, its plain ranking to the
        fusion's depth otherwise."""
        assert self.ready is not None
        kw = self.ready.arguments()
        return kw if not self.fused else dict(kw, diverse=False, limit=self.depth)


# What one query of a batch can fail with on its own (no word the embedder knows in semantic
# mode, a mask of the wrong length): with ``alone``, it is that query's answer, not the batch's.
QUERY_ERRORS = (EmbedderError, ValueError, TypeError)


@dataclass(frozen=True)
class Fusion:
    """How a hybrid search fuses its sides when the query does not say: the index's record."""

    method: str = str(FUSION["method"])
    semantic_weight: float = 0.5
    keyword_weight: float = 0.5

    def of(self, q: Query) -> tuple[str, float, float]:
        """The query's method and weights: its own where given, the index's otherwise (1 and
        1 with rrf)."""
        method = q.fusion or self.method
        ws, wk = (self.semantic_weight, self.keyword_weight) if method == self.method else \
            (float(FUSION["semantic_weight"]), float(FUSION["keyword_weight"]))
        ws = ws if q.semantic_weight is None else q.semantic_weight
        wk = wk if q.keyword_weight is None else q.keyword_weight
        if ws == 0 and wk == 0:
            raise ValueError("semantic_weight and keyword_weight are both 0: a hybrid search needs one side")
        return method, ws, wk


def search(reader: Reader, queries: Sequence[Query], fn: embedders.EmbedFn, dims: int,
           alone: bool = False, fused_by: Fusion = Fusion()) -> list[Results | Exception]:
    """The searches of one pinned version of the index, every step made for the whole batch.
    A query that fails raises, or with ``alone`` gets its exception in its place while the
    others are answered."""
    plans = [Plan(q, list(q.notes)) for q in queries]
    vector = embedded(fn, [t for q in queries for t in texts_of(q)], dims)
    failed: dict[int, Exception] = {}
    for i, plan in enumerate(plans):
        try:
            plan.fusing = fused_by.of(plan.query)
            plan.ready = prepare(plan, reader, vector)
        except QUERY_ERRORS as e:
            if not alone:
                raise
            failed[i] = e
    scan(plans, reader.snap)
    rank_keywords(plans, reader)
    complete(plans, reader.snap)
    for plan in plans:
        select(plan, reader.snap)
        what_happened(plan, reader.snap, fn)
    docs = fetch(plans, reader)
    return [failed[i] if i in failed else finish(plan, reader.snap, docs) for i, plan in enumerate(plans)]


# ---- embed ----

def embeds_query(query: Query) -> bool:
    return query.mode != "keyword" or query.unlike is not None or query.explain


def texts_of(query: Query) -> list[str]:
    """The texts a search embeds: the query's, the unlike text and the trajectory's ends. A
    keyword search embeds its query only to compare it with the unlike text or to explain."""
    return [*([query.text] if embeds_query(query) and query.vector is None else []), *([query.unlike] if query.unlike is not None else []),
            *(query.trajectory or () if query.mode != "keyword" else ())]


def embedded(fn: embedders.EmbedFn, texts: list[str], dims: int) -> Vectors:
    """A text's vector, the texts embedded in batches beforehand; a text the embedder finds no
    words in raises EmbedderError when asked for, as embedding it alone would."""
    unique = list(dict.fromkeys(texts))
    found: dict[str, npt.NDArray[np.float32] | EmbedderError] = {}
    try:
        found.update(zip(unique, embedders.embed(fn, unique, dims)))
    except EmbedderError:  # one of them has no vector: embed one at a time to know which
        for text in unique:
            try:
                found[text] = embedders.embed_one(fn, text, dims)
            except EmbedderError as e:
                found[text] = e

    def vector(text: str) -> npt.NDArray[np.float32]:
        got = found[text]
        if isinstance(got, EmbedderError):
            raise got
        return got
    return vector


def _given(query: Query, snap: Snapshot) -> Vector:
    """The query's own vector, of the index's dimensions."""
    assert query.vector is not None
    if query.vector.size != snap.cache.dims:
        raise ValueError(f"the query's vector has {query.vector.size} numbers; the index's have {snap.cache.dims}")
    return query.vector


def _text_vec(vector: Vectors, token: str, text: str, notes: list[str]) -> Vector | None:
    try:
        return vector(text)
    except embedders.NotEmbedding:
        raise
    except EmbedderError:
        notes.append(f"{token}{text!r} has no words the embedder can use; it was ignored")
        return None


# ---- prepare ----

def _closest(reader: Reader, unknown: list[str]) -> str:
    """A hint naming the ids closest to the first unknown one, in an index small enough to
    look through."""
    if reader.snap.count > CLOSEST_UP_TO:
        return ""
    close = difflib.get_close_matches(unknown[0], reader.store.ids_in_order(), n=3, cutoff=0.6)
    return f" (closest: {', '.join(close)})" if close else ""


def _mask(snap: Snapshot, mask: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """A mask by document (in the index's order) as a mask by cache row."""
    if mask.dtype != np.bool_ or mask.ndim != 1:
        raise TypeError(f"mask must be a 1-D bool array, one entry per document, got {mask.ndim}-D {mask.dtype}")
    if mask.size != snap.count:
        raise ValueError(f"mask has {mask.size} entries, the index has {snap.count} documents")
    full = np.zeros(len(snap.cache), bool)
    full[np.flatnonzero(snap.live)] = mask
    return full


def _passing(reader: Reader, query: Query) -> npt.NDArray[np.int64] | None:
    """The cache rows of the live documents that the query's filter passes (None without a
    filter), kept with the snapshot for the next search with the same filter."""
    compiled = query.compiled_where
    if compiled is None:
        return None
    snap = reader.snap
    key = json.dumps(query.where, sort_keys=True)
    kept: dict[str, npt.NDArray[np.int64]] = snap.memo.setdefault("passing", {})
    if key not in kept:
        rows = reader.store.rows_where(compiled)
        rows = rows[rows < snap.live.size]
        if len(kept) >= FILTERS_KEPT:
            kept.pop(next(iter(kept)))
        kept[key] = np.sort(rows[snap.live[rows]])
    return kept[key]


def _rows(reader: Reader, ids: Sequence[str]) -> tuple[list[int], list[str]]:
    """The cache rows of the ids that name documents, in order, and the ids that name none."""
    rows = reader.store.rows_of(list(ids))
    return [rows[d] for d in ids if d in rows], [d for d in ids if d not in rows]


def prepare(plan: Plan, reader: Reader, vector: Vectors) -> Prepared | None:
    """The plan made ready for the snapshot's searcher; None when nothing is to be searched
    (its like ids name no document, its filter passes none). Adds its notes."""
    query, notes, snap = plan.query, plan.notes, reader.snap
    dense, words = "dense" in plan.sides, "keyword" in plan.sides
    try:
        query_vec: Vector | None = _given(query, snap) if query.vector is not None \
            else vector(query.text) if embeds_query(query) else None
    except embedders.NotEmbedding:
        if dense:
            raise
        query_vec = None  # a keyword search that would explain the query's cosine: it has none
    except EmbedderError:
        if not words:
            raise
        query_vec = None
        if dense:
            notes.append("the query has no words the embedder can use: only its words were searched")
    if not dense:
        for what, given in (("like:", query.like_ids), ("from:/to:", query.trajectory), ("threshold", query.threshold)):
            if given is not None:
                notes.append(f"{what} acts on the semantic side; keyword mode ranks by words alone and ignored it")
    recent = False
    if query.recent and not snap.dated:
        notes.append("recent was ignored: no document in the index has a timestamp")
    elif query.recent:
        recent = True
    elif query.recent_days is not None:
        notes.append("recent_days was ignored: it takes effect only with recent")
    not_like_vec = None if query.unlike is None else _text_vec(vector, "unlike:", query.unlike, notes)
    traj = None
    if query.trajectory is not None and dense:
        ends = [_text_vec(vector, tok, t, notes) for tok, t in zip(("from:", "to:"), query.trajectory)]
        if ends[0] is not None and ends[1] is not None:
            traj = (ends[0], ends[1])
    like_rows: tuple[int, ...] | None = None
    if query.like_ids is not None and dense:
        liked, unknown = _rows(reader, query.like_ids)
        if unknown:
            notes.append(f"like: no document has the id {', '.join(map(repr, unknown[:10]))}"
                         f"{_closest(reader, unknown)}; skipped")
        if not liked:
            notes.append("like: none of the ids names a document, so nothing was searched")
            return None
        like_rows = tuple(liked)
    pre_filter_rows = None if query.pre_filter_ids is None else tuple(_rows(reader, query.pre_filter_ids)[0])
    mask = snap.mask if query.mask is None else _mask(snap, query.mask)
    passing = _passing(reader, query)
    if passing is not None:
        if pre_filter_rows is not None:
            inside = np.zeros(snap.live.size, bool)
            inside[passing] = True
            pre_filter_rows = tuple(r for r in pre_filter_rows if inside[r])
        elif passing.size < SHARE_AS_ROWS * max(snap.count, 1):
            pre_filter_rows = tuple(passing.tolist())
        else:
            passes = np.zeros(snap.live.size, bool)
            passes[passing] = True
            mask = passes if mask is None else mask & passes
        if passing.size == 0 or pre_filter_rows == ():
            notes.append("where: no document passes the filter, so nothing was searched")
            return None
    terms = _keyword_terms(plan, snap) if words else None
    if query_vec is None and terms is None:
        if dense:
            vector(query.text)  # neither side can search it: the embedder's error, as in semantic mode
        return None
    limit = int(SCORING_DEFAULTS["limit"] if query.limit is None else query.limit)
    return Prepared(
        query_vec=query_vec, limit=limit + query.offset if limit else 0,
        diverse=query.diverse, recent=recent, recent_days=query.recent_days if recent else None,
        like_rows=like_rows, not_like_vec=not_like_vec, traj=traj, pre_filter_rows=pre_filter_rows,
        mask=mask, threshold=query.threshold, oversample=query.oversample, mmr_lambda=query.mmr_lambda,
        words=terms, where=query.compiled_where)


# ---- scan: every dense side of the batch in one pass ----

def _wide(plan: Plan) -> bool:
    """Whether a semantic plan needs its plain candidate pool (to group it, or to explain a
    diverse selection)."""
    q = plan.query
    return plan.scans and not plan.fused and (q.communities or (q.explain and q.diverse))


def scan(plans: list[Plan], snap: Snapshot) -> None:
    """The semantic side of every plan that has one, each as its mode asks; with it, in the
    same pass, the side without its trajectory (to tell whether the trajectory moved a hit)
    and the plain candidate pools of the semantic plans that group or explain a selection."""
    items: list[tuple[Vector, dict[str, Any]]] = []
    takes: list[tuple[Plan, str]] = []
    for plan in plans:
        if not plan.scans:
            continue
        assert plan.ready is not None and plan.ready.query_vec is not None
        vec, kw = plan.ready.query_vec, plan.dense_arguments()
        items.append((vec, kw))
        takes.append((plan, "dense"))
        if plan.ready.traj is not None:
            items.append((vec, {k: v for k, v in kw.items() if not k.startswith("traj_")}))
            takes.append((plan, "plain"))
        if _wide(plan):
            items.append((vec, dict(plan.ready.arguments(), diverse=False, limit=plan.query.pool_size)))
            takes.append((plan, "pool"))
    if not items:
        return
    found = [snap.searcher.search(items[0][0], **items[0][1])] if len(items) == 1 else \
        snap.searcher.search_many([{"query_vec": q, **kw} for q, kw in items])
    for (plan, what), hits in zip(takes, found):
        rows = [(int(h["id"]), float(h["score"])) for h in hits]
        if what == "dense":
            plan.dense = rows
        elif what == "plain":
            plan.plain = rows
        else:
            plan.pool = [r for r, _ in rows]
    for plan in plans:
        if plan.plain is not None and plan.dense:
            plan.notes.extend(trajectory_moved_nothing([r for r, _ in plan.dense], [r for r, _ in plan.plain]))


# ---- the keyword sides ----

def _allowed(snap: Snapshot, ready: Prepared) -> npt.NDArray[np.bool_] | None:
    """The rows the keyword side may rank (the filter's among them): the mask's (live rows
    when none is set) within the pre-filter's; None for every live row."""
    if ready.pre_filter_rows is None:
        return ready.mask
    within = np.zeros(snap.live.size, bool)
    within[list(ready.pre_filter_rows)] = True
    allowed: npt.NDArray[np.bool_] = within & (snap.live if ready.mask is None else ready.mask)
    return allowed


def _keyword_terms(plan: Plan, snap: Snapshot) -> tuple[str, ...] | None:
    """The terms the keyword side looks for: those of the query that some live document
    holds (a note names the others); None, with a note, when there are none."""
    dense = "dense" in plan.sides
    if not snap.count:
        return None  # nothing to find: said once, for the whole search
    terms = keywords.keyword_words(plan.query.text)
    held = keywords.held(snap, terms)
    found = tuple(t for t, n in zip(terms, held) if n)
    missing = [t for t, n in zip(terms, held) if not n]
    if not terms:
        plan.notes.append("the query holds no word for the keyword side" +
                          (": only its meaning was searched" if dense else ", so nothing was searched"))
        return None
    if not found:
        plan.notes.append("no document holds any word of the query" +
                          (": only its meaning was searched" if dense else ", so nothing was found"))
        return None
    if missing:
        plan.notes.append(f"no document holds {', '.join(repr(_shown(plan.query.text, t)) for t in missing[:10])}: "
                          "the keyword side looked for the query's other words")
    return found


def _shown(text: str, term: str) -> str:
    """The query's word that became term (the term itself when none did)."""
    for t, a, b in keywordindex.words(text):
        if t == term:
            return text[a:b]
    return term


def _keyword_side(snap: Snapshot, ready: Prepared, depth: int, allowed: npt.NDArray[np.bool_] | None) -> Ranking:
    """BM25 of the allowed rows to depth, decayed with recent."""
    assert ready.words is not None
    hits = keywords.ranking(snap, ready.words, depth, allowed)
    if ready.recent:
        hits = keywords.decayed(hits, snap.cache.timestamps, ready.recent_days)
    return hits


def rank_keywords(plans: list[Plan], reader: Reader) -> None:
    """The keyword side of every plan that has one: BM25 to the fusion's depth, decayed with
    recent, the hits closer to the unlike text moved down (with convex fusion: given no keyword
    share)."""
    snap = reader.snap
    for plan in plans:
        ready = plan.ready
        if ready is None or ready.words is None:
            continue
        hits = _keyword_side(snap, ready, plan.depth, _allowed(snap, ready))
        if ready.not_like_vec is not None and ready.query_vec is not None:
            if _convex(plan):
                plan.unliked = keywords.unliked([r for r, _ in hits], snap.cache.vectors, ready.query_vec,
                                                ready.not_like_vec)
            else:
                hits = keywords.demoted(hits, snap.cache.vectors, ready.query_vec, ready.not_like_vec)
        plan.keyword = hits


def _convex(plan: Plan) -> bool:
    return plan.fusing[0] == "convex" and "dense" in plan.sides


def complete(plans: list[Plan], snap: Snapshot) -> None:
    """For each plan fused by its scores, each side's scores of the candidates only the other
    side ranked: the semantic side's by the row searcher, searching those rows alone, the
    keyword side's BM25 of those rows (decayed with recent; a row holding no word of the
    query is left out, and the fusion scores it 0)."""
    items: list[dict[str, Any]] = []
    takes: list[Plan] = []
    for plan in plans:
        ready = plan.ready
        if ready is None or not _convex(plan):
            continue
        dense_rows = {r for r, _ in plan.dense}
        missing = [r for r, _ in plan.keyword if r not in dense_rows]
        if plan.scans and missing:
            assert ready.query_vec is not None
            items.append(dict(plan.dense_arguments(), query_vec=ready.query_vec, limit=len(missing),
                              pre_filter_ids=[str(r) for r in missing]))
            takes.append(plan)
        kw_rows = {r for r, _ in plan.keyword}
        lacking = [r for r, _ in plan.dense if r not in kw_rows]
        if ready.words is not None and lacking:
            allowed = np.zeros(snap.live.size, bool)
            allowed[lacking] = True
            plan.keyword_more = dict(_keyword_side(snap, ready, len(lacking), allowed))
            if ready.not_like_vec is not None and ready.query_vec is not None:
                plan.unliked |= keywords.unliked(list(plan.keyword_more), snap.cache.vectors, ready.query_vec,
                                                 ready.not_like_vec)
    if items:
        for plan, hits in zip(takes, snap.searcher.search_many(items)):
            plan.dense_more = {int(h["id"]): float(h["score"]) for h in hits}


# ---- fuse, then select or diversify ----

def select(plan: Plan, snap: Snapshot) -> None:
    """The plan's hits: the semantic side's as the row searcher ranked them, or the fused (or
    keyword) ranking cut to the limit or diversified by the module."""
    ready, q = plan.ready, plan.query
    if ready is None:
        return
    if not plan.fused:
        plan.hits = plan.dense
        return
    method, ws, wk = plan.fusing
    if "dense" not in plan.sides:
        ranked = fusion.keyword_ranking(plan.keyword)
    elif method == "convex":
        ranked = fusion.fuse_convex(plan.dense, plan.keyword, ws, wk, plan.dense_more, plan.keyword_more,
                                    plan.unliked)
    else:
        ranked = fusion.fuse(plan.dense, plan.keyword, q.rrf_k, ws, wk)
    if q.communities:
        plan.pool = [f.row for f in ranked[: q.pool_size]]
    if ready.diverse:
        lam = SCORING_DEFAULTS["mmr_lambda"] if ready.mmr_lambda is None else ready.mmr_lambda
        picked = fusion.diverse(ranked[: q.pool_size], snap.cache.vectors, ready.limit, lam)
        plan.ranked, plan.mmr = [f for f, _ in picked], [m for _, m in picked]
    else:
        plan.ranked = ranked[: ready.limit]
    scores = plan.mmr or [f.score for f in plan.ranked]
    plan.hits = [(f.row, s) for f, s in zip(plan.ranked, scores)]


def what_happened(plan: Plan, snap: Snapshot, fn: embedders.EmbedFn) -> None:
    """The notes on what the search did: a query of words the embedder does not know, and what
    the scores of a diverse selection are."""
    ready = plan.ready
    if ready is None:
        return
    if ready.query_vec is not None and "dense" in plan.sides:  # words alone: the embedder's are moot
        plan.notes.extend(unknown_words(embedders.known_share(fn, plan.query.text), plan.query.text))
    ran = bool(plan.mmr) if plan.fused else _mmr_ran(ready, len(plan.hits), snap, plan.query.pool_size)
    if ready.diverse and ran:
        plan.notes.append(diverse_scores(ready.mmr_lambda))


def _mmr_ran(ready: Prepared, hits: int, snap: Snapshot, pool_size: int) -> bool:
    """Whether a diverse search's selection ran: it does when its pool (the best pool_size
    candidates) holds more than the limit; otherwise the best hits come with their plain
    scores. The candidates are the rows the mask and pre_filter_ids leave, counted; with a
    threshold (which drops rows by their scores) a full list is taken to mean more."""
    if hits < max(1, ready.limit):
        return False
    if ready.threshold is not None and ready.threshold > 0:
        return pool_size > ready.limit
    if ready.pre_filter_rows is not None:
        rows = np.asarray(ready.pre_filter_rows, np.intp)
        candidates = rows.size if ready.mask is None else int(np.count_nonzero(ready.mask[rows]))
    else:
        candidates = len(snap.cache) if ready.mask is None else int(np.count_nonzero(ready.mask))
    return min(candidates, pool_size) > ready.limit


# ---- fetch the documents, explain, group ----

def fetch(plans: list[Plan], reader: Reader) -> dict[int, Document]:
    """The documents of every hit and of every pool to group, in one read of the pinned store."""
    rows = {r for p in plans for r, _ in p.hits}
    rows.update(r for p in plans if p.query.communities and p.pool for r in p.pool)
    return reader.store.by_rows(sorted(rows))


def snippet(doc: Document, terms: frozenset[str] = frozenset()) -> tuple[str, tuple[tuple[int, int], ...]]:
    """The start of a document's text, its title and heading underlines left out, and where in
    it the terms occur; when the first of them lies past the start, the text from a little
    before it."""
    text = doc.text
    if doc.title and text.lstrip().startswith(doc.title):
        text = text.lstrip()[len(doc.title):]
    if not terms:
        text = text[: 4 * SNIPPET]  # what the snippet can show
    flat = " ".join(_RULE.sub(" ", text).split())
    spans = keywords.highlights(flat, terms)
    lead = ""
    if spans and spans[0][1] > SNIPPET - 1:
        cut = flat.rfind(" ", 0, max(spans[0][0] - SNIPPET // 4, 0)) + 1
        flat, lead = flat[cut:], "…"
        spans = tuple((a - cut + 1, b - cut + 1) for a, b in spans)
        flat = lead + flat
    shown = flat if len(flat) <= SNIPPET else flat[: SNIPPET - 1].rstrip() + "…"
    return shown, tuple((a, b) for a, b in spans if b <= len(shown) - (shown != flat))


def finish(plan: Plan, snap: Snapshot, docs: dict[int, Document]) -> Results:
    """The plan's results: its hits with their documents, their scores' parts when asked, and
    the communities of its pool."""
    query, ready = plan.query, plan.ready
    if ready is None:
        return Results((), tuple(plan.notes))
    rows = [r for r, _ in plan.hits]
    membership: dict[int, int] = {}
    found: list[Community] = []
    if query.communities and plan.pool:
        found, membership = groups(snap.cache.vectors, plan.pool, docs)
    parts: list[Any] = [None] * len(rows)
    if query.explain and ready.query_vec is not None:
        picked = query.diverse and (plan.fused or (plan.pool is not None and len(plan.pool) > ready.limit))
        parts = explain(snap.cache.vectors, snap.cache.timestamps, rows, ready, picked)
    if query.explain and plan.ranked is not None:
        parts = [with_sides(part, f) for part, f in zip(parts, plan.ranked)]
    sides = [f.sides for f in plan.ranked] if plan.ranked is not None else [("semantic",)] * len(rows)
    page = slice(query.offset, None)  # explained and diversified with the hits before it, then passed over
    terms = frozenset(ready.words or ())
    hits = []
    for (row, score), part, side in zip(plan.hits[page], parts[page], sides[page]):
        shown, marked = snippet(docs[row], terms)
        hits.append(Hit(docs[row].id, score, docs[row].title, shown, docs[row].timestamp, membership.get(row), part,
                        docs[row].metadata, side, marked))
    return Results(tuple(hits), tuple(plan.notes), tuple(found))

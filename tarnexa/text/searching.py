"""One text search of one snapshot of an index: the Query made ready for the row searcher (its
texts embedded, its ids turned into cache rows, with notes), the hits found, their documents
read, and with the query's asking the pool's communities and each score's parts."""

from __future__ import annotations

import difflib
import json
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tarnexa._constants import SCORING_DEFAULTS
from tarnexa.errors import EmbedderError
from tarnexa.storage.docstore import DocStore, Document, keyword_expression, keyword_words
from tarnexa.storage.filters import compile_where
from tarnexa.storage.folder import Snapshot
from tarnexa.text import embedders, hybrid
from tarnexa.text.communities import groups
from tarnexa.text.explain import explain, with_sides
from tarnexa.text.notes import diverse_scores, trajectory_moved_nothing, unknown_words
from tarnexa.text.query import FUSION, Prepared, Query
from tarnexa.text.results import Community, Hit, Results

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

Vector = npt.NDArray[np.float32]
Vectors = Callable[[str], Vector]  # a text's vector; EmbedderError for a text without one
SNIPPET = 200  # characters of a hit's text shown as its snippet
CLOSEST_UP_TO = 10000  # documents: an index this small is looked through for ids like an unknown one
_RULE = re.compile(r"([*=~^\"'+#-])\1{2,}")  # a heading's underline


def snippet(doc: Document) -> str:
    """The start of a document's text, its title and heading underlines left out."""
    text = doc.text
    if doc.title and text.lstrip().startswith(doc.title):
        text = text.lstrip()[len(doc.title):]
    flat = " ".join(w for w in text.split() if not _RULE.fullmatch(w))
    return flat if len(flat) <= SNIPPET else flat[: SNIPPET - 1].rstrip() + "…"


def _closest(store: DocStore, unknown: list[str]) -> str:
    """A hint naming the ids closest to the first unknown one, in an index small enough to
    look through."""
    if store.count() > CLOSEST_UP_TO:
        return ""
    close = difflib.get_close_matches(unknown[0], store.ids_in_order(), n=3, cutoff=0.6)
    return f" (closest: {', '.join(close)})" if close else ""


def _text_vec(vector: Vectors, token: str, text: str, notes: list[str]) -> npt.NDArray[np.float32] | None:
    try:
        return vector(text)
    except EmbedderError:
        notes.append(f"{token}{text!r} has no words the embedder can use; it was ignored")
        return None


def texts_of(query: Query) -> list[str]:
    """The texts a search embeds: the query's, the unlike text and the trajectory's ends."""
    return [query.text, *([query.unlike] if query.unlike is not None else []), *(query.trajectory or ())]


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


def _mask(snap: Snapshot, mask: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """A mask by document (in the index's order) as a mask by cache row."""
    if mask.dtype != np.bool_ or mask.ndim != 1:
        raise TypeError(f"mask must be a 1-D bool array, one entry per document, got {mask.ndim}-D {mask.dtype}")
    if mask.size != snap.count:
        raise ValueError(f"mask has {mask.size} entries, the index has {snap.count} documents")
    full = np.zeros(len(snap.cache), bool)
    full[np.flatnonzero(snap.live)] = mask
    return full


SHARE_AS_ROWS = 0.05  # a filter passing less than this share of the documents names its rows


def _passing(snap: Snapshot, store: DocStore, query: Query) -> npt.NDArray[np.int64] | None:
    """The cache rows of the snapshot's live documents that the query's filter passes (None
    without a filter), kept with the snapshot for the next search with the same filter."""
    if query.where is None:
        return None
    key = json.dumps(query.where, sort_keys=True)
    cache: dict[str, npt.NDArray[np.int64]] = snap.memo.setdefault("passing", {})
    if key not in cache:
        rows = store.rows_where(compile_where(query.where))
        rows = rows[rows < snap.live.size]
        if len(cache) >= 32:
            cache.pop(next(iter(cache)))
        cache[key] = np.sort(rows[snap.live[rows]])
    return cache[key]


def prepare(query: Query, snap: Snapshot, store: DocStore, vector: Vectors, notes: list[str]) -> Prepared | None:
    """The query made ready for the snapshot's searcher; None when nothing is to be searched
    (its like ids name no document, its filter passes none). Adds its notes."""
    try:
        query_vec: Vector | None = vector(query.text)
    except EmbedderError:
        if query.mode == "semantic":
            raise
        query_vec = None
        if query.mode == "hybrid":
            notes.append("the query has no words the embedder can use: only its words were searched")
    keyword = query.mode != "semantic"
    if query.mode == "keyword":
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
    if query.trajectory is not None and query.mode != "keyword":
        ends = [_text_vec(vector, tok, t, notes) for tok, t in zip(("from:", "to:"), query.trajectory)]
        if ends[0] is not None and ends[1] is not None:
            traj = (ends[0], ends[1])
    like_rows: tuple[int, ...] | None = None
    if query.like_ids is not None and query.mode != "keyword":
        liked = list(query.like_ids)
        rows = store.rows_of(liked)
        unknown = [d for d in liked if d not in rows]
        if unknown:
            notes.append(f"like: no document has the id {', '.join(map(repr, unknown[:10]))}"
                         f"{_closest(store, unknown)}; skipped")
        if not rows:
            notes.append("like: none of the ids names a document, so nothing was searched")
            return None
        like_rows = tuple(rows[d] for d in liked if d in rows)
    pre_filter_rows = None
    if query.pre_filter_ids is not None:
        rows = store.rows_of(list(query.pre_filter_ids))
        pre_filter_rows = tuple(rows[d] for d in query.pre_filter_ids if d in rows)
    mask = snap.mask if query.mask is None else _mask(snap, query.mask)
    passing = _passing(snap, store, query)
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
    match, words = (None, []) if not keyword else _match(snap, store, query.text, FUSION["common"][query.mode])
    if keyword and match is None:
        notes.append("the query holds no word for the keyword side" +
                     (": only its meaning was searched" if query.mode == "hybrid" else ", so nothing was searched"))
    if keyword and match is not None and not store.has_keywords():
        notes.append(f"this index has no keyword index yet (open it once where it can be written to build it): "
                     f"{'only its meaning was searched' if query.mode == 'hybrid' else 'nothing was searched'}")
        match = None
    if query_vec is None and match is None:
        if query.mode == "hybrid":
            vector(query.text)  # neither side can search it: the embedder's error, as in semantic mode
        return None
    return Prepared(
        query_vec=query_vec, limit=int(SCORING_DEFAULTS["limit"] if query.limit is None else query.limit),
        diverse=query.diverse, recent=recent, recent_days=query.recent_days if recent else None,
        like_rows=like_rows, not_like_vec=not_like_vec, traj=traj, pre_filter_rows=pre_filter_rows,
        mask=mask, threshold=query.threshold, oversample=query.oversample, mmr_lambda=query.mmr_lambda,
        match=match if keyword else None, where=None if query.where is None else compile_where(query.where))


def _match(snap: Snapshot, store: DocStore, text: str, share: float) -> tuple[str | None, list[str]]:
    """The keyword side's expression for text, without the words in more than share of the
    documents (what it found kept with the snapshot)."""
    if not store.has_keywords():
        return keyword_expression(text)
    words = keyword_words(text)
    known: dict[str, bool] = snap.memo.setdefault(f"common {share}", {})
    ask = [w for w in words if w not in known]
    if ask:
        if len(known) > 100_000:
            known.clear()
        common = store.common_words(ask, snap.count, share)
        known.update((w, w in common) for w in ask)
    return keyword_expression(text, frozenset(w for w in words if known[w]))


def _allowed(snap: Snapshot, ready: Prepared) -> npt.NDArray[np.bool_] | None:
    """The rows the keyword side may rank beyond what its SQL already restricts to (live
    documents passing the filter): the mask's and the pre-filter's, None when neither is set."""
    allowed = None if ready.mask is None else ready.mask.copy()
    if ready.pre_filter_rows is not None:
        within = np.zeros(snap.live.size, bool)
        within[list(ready.pre_filter_rows)] = True
        allowed = within if allowed is None else allowed & within
    return allowed


def _keyword(snap: Snapshot, store: DocStore, query: Query, ready: Prepared, depth: int) -> list[tuple[int, float]]:
    assert ready.match is not None
    hits = hybrid.keyword_side(store, ready.match, depth, ready.where, _allowed(snap, ready))
    if ready.recent:
        hits = hybrid.decayed(hits, snap.cache.timestamps, ready.recent_days)
    if ready.not_like_vec is not None and ready.query_vec is not None:
        hits = hybrid.demoted(hits, snap.cache.vectors, ready.query_vec, ready.not_like_vec)
    return hits


def run(queries: Sequence[Query], snap: Snapshot, store: DocStore, fn: embedders.EmbedFn,
        dims: int) -> list[Results] | None:
    """The searches of one snapshot, their texts embedded together and their scans made in one
    pass; None when a writer committed while they ran."""
    vector = embedded(fn, [t for q in queries for t in texts_of(q)], dims)
    notes = [list(q.notes) for q in queries]
    ready = [prepare(q, snap, store, vector, n) for q, n in zip(queries, notes)]
    depth = [max(r.limit, int(FUSION["depth"]), queries[i].pool_size if queries[i].communities or r.diverse else 0)
             if r is not None else 0 for i, r in enumerate(ready)]
    # The semantic side: as asked in semantic mode, its plain ranking to the fusion's depth otherwise.
    dense_items = []
    for i, r in enumerate(ready):
        if r is None or r.query_vec is None or queries[i].mode == "keyword":
            continue
        kw = r.keywords() if queries[i].mode == "semantic" else dict(r.keywords(), diverse=False, limit=depth[i])
        dense_items.append((i, (r.query_vec, kw)))
    found: list[list[ScoredDoc]] = [[] for _ in queries]
    for (i, _), hits in zip(dense_items, _search(snap, [item for _, item in dense_items])):
        found[i] = hits
    _trajectory_notes(dense_items, ready, found, snap, notes)
    ranked: list[list[hybrid.Fused] | None] = [None] * len(queries)
    mmr: list[list[float] | None] = [None] * len(queries)
    pools: dict[int, list[int]] = {}
    for i, (q, r) in enumerate(zip(queries, ready)):
        if r is None or q.mode == "semantic":
            continue
        keyword = _keyword(snap, store, q, r, depth[i]) if r.match is not None else []
        dense = [(int(h["id"]), h["score"]) for h in found[i]]
        fused = hybrid.fuse(dense, keyword, q.rrf_k, q.semantic_weight, q.keyword_weight) if q.mode == "hybrid" \
            else hybrid.keyword_ranking(keyword)
        if q.communities:
            pools[i] = [f.row for f in fused[: q.pool_size]]
        if r.diverse:
            picked = hybrid.diverse(fused[: q.pool_size], snap.cache.vectors,
                                    r.limit, SCORING_DEFAULTS["mmr_lambda"] if r.mmr_lambda is None else r.mmr_lambda)
            ranked[i], mmr[i] = [f for f, _ in picked], [m for _, m in picked]
        else:
            ranked[i] = fused[: r.limit]
    if any(q.mode != "semantic" for q in queries) and store.version() != snap.version:
        return None
    for i, fused_hits in enumerate(ranked):
        if fused_hits is not None:
            scores = mmr[i] or [f.score for f in fused_hits]
            found[i] = [{"id": str(f.row), "score": s} for f, s in zip(fused_hits, scores)]
    _what_happened(queries, ready, found, mmr, snap, fn, notes)
    rows_hit = [[int(h["id"]) for h in hits] for hits in found]
    docs = store.by_rows(sorted({r for rows in rows_hit for r in rows}))
    if any(r not in docs for rows in rows_hit for r in rows):
        return None
    # The plain pool of the semantic searches that group it or explain a diverse selection.
    wide = [(i, r, r.query_vec) for i, r in enumerate(ready) if r is not None and r.query_vec is not None
            and queries[i].mode == "semantic" and (queries[i].communities or (queries[i].explain and queries[i].diverse))]
    pool_kw = [(vec, dict(r.keywords(), diverse=False, limit=queries[i].pool_size)) for i, r, vec in wide]
    pools.update({i: [int(h["id"]) for h in hits] for (i, _, _), hits in zip(wide, _search(snap, pool_kw))})
    return [_results(q, r, found[i], rows_hit[i], docs, pools.get(i), snap, store, notes[i], ranked[i])
            for i, (q, r) in enumerate(zip(queries, ready))]


def _trajectory_notes(dense_items: list[tuple[int, tuple[Vector, dict[str, Any]]]], ready: list[Prepared | None],
                      found: list[list[ScoredDoc]], snap: Snapshot, notes: list[list[str]]) -> None:
    """A note on each search whose trajectory changed no place of its semantic side's ranking,
    found by the same searches without it (made together in one pass). In semantic mode that
    ranking is the hits; in hybrid mode, the side fused (unchanged, the fusion is too)."""
    moved = [(i, (vec, kw)) for i, (vec, kw) in dense_items if ready[i] is not None
             and ready[i].traj is not None and found[i]]  # type: ignore[union-attr]
    plain = [(vec, {k: v for k, v in kw.items() if not k.startswith("traj_")}) for _, (vec, kw) in moved]
    for (i, _), hits in zip(moved, _search(snap, plain)):
        notes[i].extend(trajectory_moved_nothing([h["id"] for h in found[i]], [h["id"] for h in hits]))


def _what_happened(queries: Sequence[Query], ready: list[Prepared | None], found: list[list[ScoredDoc]],
                   mmr: list[list[float] | None], snap: Snapshot, fn: embedders.EmbedFn,
                   notes: list[list[str]]) -> None:
    """The notes on what the searches did: a query of words the embedder does not know, and
    what the scores of a diverse selection are (mmr: the fused searches' mmr scores)."""
    for i, r in enumerate(ready):
        if r is None:
            continue
        if r.query_vec is not None and queries[i].mode != "keyword":  # words alone: the embedder's are moot
            notes[i].extend(unknown_words(embedders.known_share(fn, queries[i].text), queries[i].text))
        ran = bool(mmr[i]) if queries[i].mode != "semantic" else _mmr_ran(r, len(found[i]), snap, queries[i].pool_size)
        if r.diverse and ran:
            notes[i].append(diverse_scores(r.mmr_lambda))


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


def _search(snap: Snapshot, items: list[tuple[Vector, dict[str, Any]]]) -> list[list[ScoredDoc]]:
    if not items:
        return []
    if len(items) == 1:
        return [snap.searcher.search(items[0][0], **items[0][1])]
    found: list[list[ScoredDoc]] = snap.searcher.search_many([{"query_vec": q, **kw} for q, kw in items])
    return found


def _results(query: Query, ready: Prepared | None, hits: list[ScoredDoc], rows_hit: list[int],
             docs: dict[int, Document], pool_rows: list[int] | None, snap: Snapshot, store: DocStore,
             notes: list[str], fused: list[hybrid.Fused] | None) -> Results:
    if ready is None:
        return Results((), tuple(notes))
    membership: dict[int, int] = {}
    found: list[Community] = []
    if query.communities and pool_rows:
        found, membership = groups(snap.cache.vectors, pool_rows, store.by_rows(pool_rows))
    parts: list[Any] = [None] * len(hits)
    if query.explain and ready.query_vec is not None:
        picked = query.diverse and (fused is not None or (pool_rows is not None and len(pool_rows) > ready.limit))
        parts = explain(snap.cache.vectors, snap.cache.timestamps, rows_hit, ready, picked)
    if query.explain and fused is not None:
        parts = [with_sides(part, f) for part, f in zip(parts, fused)]
    sides = [f.sides for f in fused] if fused is not None else [("semantic",)] * len(hits)
    out = [Hit(docs[row].id, h["score"], docs[row].title, snippet(docs[row]), docs[row].timestamp,
               membership.get(row), part, docs[row].metadata, side)
           for h, row, part, side in zip(hits, rows_hit, parts, sides)]
    return Results(tuple(out), tuple(notes), tuple(found))

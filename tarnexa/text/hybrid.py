"""The keyword side of a search and its fusion with the semantic side.

The keyword side is SQLite FTS5's BM25 over the documents' titles and texts (an OR of the
query's words, each a quoted string), restricted to the documents the semantic side may rank:
live, not masked, within the pre-filter and passing the filter. With ``recent`` its scores are
decayed by the module, as the semantic side's are; with ``unlike:`` a keyword hit more similar
to the unlike text than to the query (both similarities from the module) is moved below every
keyword hit that is not.

The two rankings fuse by reciprocal rank fusion: a document at rank r (from 1) on a side of
weight w gets w (k + 1) / (k + r) from it, and its fused score is the sum of both sides'
shares over the sum of the weights, so that a document first on both sides scores 1 and the
order is plain RRF's. Each share is rounded to four decimals and the fused score is their
sum; ties go to the better rank on either side, then the semantic rank.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from _tarnexa import mmr_select_py, score_candidates

from tarnexa.storage.docstore import DocStore

Vector = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Fused:
    """One document of a fused (or keyword) ranking: its cache row, its reported score, each
    side's rank (from 1) and score where that side found it, and each side's share."""

    row: int
    score: float
    dense_rank: int | None = None
    dense_score: float | None = None
    keyword_rank: int | None = None
    keyword_score: float | None = None
    semantic_share: float | None = None
    keyword_share: float | None = None

    @property
    def sides(self) -> tuple[str, ...]:
        return (("semantic",) if self.dense_rank is not None else ()) + \
               (("keyword",) if self.keyword_rank is not None else ())


FILTER_IN_SQL = 0.05  # a filter passing less than this share of the rows goes into the SQL


def keyword_side(store: DocStore, match: str, depth: int, where: tuple[str, list[Any]] | None,
                 allowed: npt.NDArray[np.bool_] | None) -> list[tuple[int, float]]:
    """The best depth (row, BM25 score) pairs that match finds among the rows allowed (all
    rows of the store when None; where, the filter, is among what allowed says), reading
    further while rows are refused. A filter that passes few rows is added to the SQL, so that
    FTS5 hands over only documents that pass; otherwise the rows FTS5 ranks are checked here,
    read in pages sized for the share that passes."""
    if allowed is None:
        return store.keyword_hits(match, depth)
    share = float(np.count_nonzero(allowed)) / max(allowed.size, 1)
    if where is not None and share < FILTER_IN_SQL:
        page = max(2 * depth, 64)
    else:
        where, page = None, min(int(depth / max(share, 1e-6) * 1.5) + 64, 1 << 20)
    out: list[tuple[int, float]] = []
    offset = 0
    while len(out) < depth:
        got = store.keyword_hits(match, page, where, offset)
        out += [(r, s) for r, s in got if r < allowed.size and allowed[r]]
        if len(got) < page:
            break
        offset += page
        page *= 4
    return out[:depth]


def _by_module(rows: Sequence[int], values: Vector, vec: Vector, **kw: Any) -> list[float]:
    """score_candidates over the given rows (values: their matrix), each row's score in order."""
    keys = [str(i) for i in range(len(rows))]
    hits = score_candidates(values, keys, {k: i for i, k in enumerate(keys)}, vec, limit=len(rows), **kw)
    got = {h["id"]: h["score"] for h in hits}
    return [got.get(k, float("-inf")) for k in keys]


def decayed(hits: list[tuple[int, float]], timestamps: npt.NDArray[np.float64] | None,
            recent_days: float | None) -> list[tuple[int, float]]:
    """The keyword hits with their scores decayed by age as the module decays a score (each
    score a one-column row scored against the unit query), best first again."""
    if not hits or timestamps is None:
        return hits
    rows = [r for r, _ in hits]
    matrix = np.array([[s] for _, s in hits], np.float32)
    scores = _by_module(rows, matrix, np.ones(1, np.float32), recent=True, recent_days=recent_days,
                        timestamps=np.ascontiguousarray(timestamps[rows], dtype=np.float64))
    order = sorted(range(len(rows)), key=lambda i: (-scores[i], i))
    return [(rows[i], scores[i]) for i in order]


def demoted(hits: list[tuple[int, float]], vectors: Vector, query_vec: Vector,
            unlike_vec: Vector) -> list[tuple[int, float]]:
    """The keyword hits with those more similar to the unlike text than to the query moved,
    in their order, below the rest."""
    if not hits:
        return hits
    rows = [r for r, _ in hits]
    matrix = np.ascontiguousarray(vectors[rows], dtype=np.float32)
    to_query = _by_module(rows, matrix, query_vec)
    to_unlike = _by_module(rows, matrix, unlike_vec)
    keep = [h for h, q, u in zip(hits, to_query, to_unlike) if u <= q]
    return keep + [h for h, q, u in zip(hits, to_query, to_unlike) if u > q]


def _share(weight: float, k: float, rank: int | None, total: float) -> float:
    return 0.0 if rank is None else round(weight * (k + 1.0) / (k + rank) / total, 4)


def fuse(dense: list[tuple[int, float]], keyword: list[tuple[int, float]], k: float, w_semantic: float,
         w_keyword: float) -> list[Fused]:
    """The fused ranking of both sides' (row, score) lists, best first."""
    total = w_semantic + w_keyword
    Side = tuple[int | None, float | None]
    seen: dict[int, tuple[Side, Side]] = {}
    none: Side = (None, None)
    for rank, (row, score) in enumerate(dense, 1):
        seen[row] = ((rank, score), none)
    for rank, (row, score) in enumerate(keyword, 1):
        seen[row] = (seen.get(row, (none, none))[0], (rank, round(score, 4)))
    out = []
    for row, ((dr, ds), (kr, ks)) in seen.items():
        s_share = _share(w_semantic, k, dr, total)
        k_share = _share(w_keyword, k, kr, total)
        out.append(Fused(row, round(s_share + k_share, 4), dr, ds, kr, ks, s_share, k_share))
    big = len(seen) + 1
    out.sort(key=lambda f: (-f.score, min(f.dense_rank or big, f.keyword_rank or big), f.dense_rank or big))
    return out


def keyword_ranking(keyword: list[tuple[int, float]]) -> list[Fused]:
    """The keyword side alone as a ranking (keyword mode)."""
    return [Fused(row, round(score, 4), keyword_rank=rank, keyword_score=round(score, 4))
            for rank, (row, score) in enumerate(keyword, 1)]


def diverse(pool: list[Fused], vectors: Vector, limit: int, lambda_: float) -> list[tuple[Fused, float]]:
    """The module's maximal marginal relevance over a fused pool, its scores (scaled by the
    best one, so that relevance lies in 0..1 like a similarity) as the relevance: (pick, mmr
    score) in the order chosen."""
    if not pool or limit <= 0:
        return []
    top = max(f.score for f in pool) or 1.0
    relevance = np.array([f.score / top for f in pool], np.float32)
    matrix = np.ascontiguousarray(vectors[[f.row for f in pool]], dtype=np.float32)
    picked = mmr_select_py(list(range(len(pool))), relevance, matrix, limit, lambda_)
    return [(pool[i], round(score, 4) + 0.0) for i, score in picked]

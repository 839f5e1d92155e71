"""The fusion of a search's two sides (see tarnexa.search.keywords for the keyword side), in
one of two ways.

``convex`` (the default): the candidates are both sides' best documents, each with both
sides' scores (the side that did not rank a candidate scores it too); each side's scores are
scaled to 0..1 over the candidates (least to greatest), and a candidate's fused score is
w_semantic / (w_semantic + w_keyword) of its scaled semantic score plus the keyword side's
share likewise (tarnexa._native.fuse_convex). Each share is rounded to four decimals and the
fused score is their sum; ties go to the better rank on either side, then the semantic rank.

``rrf``, reciprocal rank fusion: a document at rank r (from 1) on a side of weight w gets
w (k + 1) / (k + r) from it, and its fused score is the sum of both sides' shares over the
sum of the weights, so that a document first on both sides scores 1 and the order is plain
RRF's; rounded and tied as above.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from _tarnexa import mmr_select_py

from tarnexa import _native

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


def _candidates(dense: list[tuple[int, float]],
                keyword: list[tuple[int, float]]) -> list[tuple[int, int | None, int | None]]:
    """Both sides' rows, each once, as (row, semantic rank, keyword rank), in the order that
    breaks ties: the better rank on either side, then the semantic rank."""
    d = {row: rank for rank, (row, _) in enumerate(dense, 1)}
    k = {row: rank for rank, (row, _) in enumerate(keyword, 1)}
    big = len(d) + len(k) + 1
    rows = sorted(d.keys() | k.keys(), key=lambda r: (min(d.get(r, big), k.get(r, big)), d.get(r, big)))
    return [(r, d.get(r), k.get(r)) for r in rows]


def fuse_convex(dense: list[tuple[int, float]], keyword: list[tuple[int, float]], w_semantic: float,
                w_keyword: float, dense_more: dict[int, float], keyword_more: dict[int, float],
                no_keyword: frozenset[int] | set[int] = frozenset()) -> list[Fused]:
    """The convex fusion of both sides' (row, score) lists, best first. dense_more and
    keyword_more score the candidates that only the other side ranked (a candidate missing
    from the semantic side's has no score there, and its share is 0; one missing from the
    keyword side's holds none of the words, and scores 0); a row of no_keyword gets no
    keyword share (the unlike text's demotion)."""
    scores_d = dict(dense) | dense_more
    scores_k = dict(keyword) | keyword_more
    cands = _candidates(dense, keyword)
    nan = float("nan")
    sem = np.array([scores_d.get(r, nan) for r, _, _ in cands], np.float64)
    # BM25 scores a document holding none of the words 0; a keyword side that found nothing has
    # no scores at all (rather than equal ones, which would scale to 1)
    none = 0.0 if scores_k else nan
    kws = np.array([nan if r in no_keyword else scores_k.get(r, none) for r, _, _ in cands], np.float64)
    out = []
    for at, score, s_share, k_share in _native.fuse_convex(sem, kws, w_semantic, w_keyword):
        row, dr, kr = cands[at]
        ds, ks = scores_d.get(row), scores_k.get(row)
        out.append(Fused(row, score, dr, ds, kr, None if ks is None else round(ks, 4), s_share, k_share))
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

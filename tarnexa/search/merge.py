"""What the coordinator of a sharded search computes itself: the like-blended query, the merge
of the shards' hits and the diverse selection over the merged pool."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt
from _tarnexa import mmr_select_py

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc as Hit

Vector = npt.NDArray[np.float32]


def _unit(v: Vector) -> tuple[Vector, np.float32]:
    """v divided by its length in float32, unless its float32 sum of squares is not positive."""
    s = np.float32(np.dot(v, v))
    return (v / np.sqrt(s) if s > 0 else v), s


def like_query(query_vec: Vector, liked_rows: npt.NDArray[np.float32]) -> Vector:
    """The query blended 0.5/0.5 with the normalised centroid of the liked rows, in float32;
    a query of zero (or NaN) energy is replaced by the centroid."""
    centroid = np.zeros(liked_rows.shape[1], np.float32)
    for row in liked_rows:
        centroid += row
    centroid, _ = _unit(centroid / np.float32(len(liked_rows)))
    query, energy = _unit(np.array(query_vec, dtype=np.float32))
    if not energy > 0:
        return centroid
    return _unit(query * np.float32(0.5) + centroid * np.float32(0.5))[0]


def round4(x: float) -> float:
    """x rounded to four decimals, halves away from zero, the sign of zero kept."""
    y = x * 10000.0
    whole = math.floor(abs(y))
    if abs(y) - whole >= 0.5:
        whole += 1
    return math.copysign(whole, y) / 10000.0


def merge(answers: Sequence[tuple[list[Hit], Vector | None]], keep: int) -> list[tuple[Hit, Vector | None]]:
    """The best keep hits of all shards by score; hits of equal score keep their shard's order
    and come in shard order."""
    ranked = [(-h["score"], s, r, h, None if rows is None else rows[r])
              for s, (hits, rows) in enumerate(answers) for r, h in enumerate(hits)]
    ranked.sort(key=lambda t: t[:3])
    return [(t[3], t[4]) for t in ranked[:keep]]


def diverse(pool: list[tuple[Hit, Vector | None]], limit: int, mmr_lambda: float) -> list[Hit]:
    """Maximal marginal relevance over the merged pool, as one call runs it over its own pool."""
    if len(pool) <= limit:
        return [h for h, _ in pool]
    scores = np.array([h["score"] for h, _ in pool], dtype=np.float32)
    rows = np.stack([r for _, r in pool if r is not None])
    picks = mmr_select_py(list(range(len(pool))), scores, rows, limit, mmr_lambda)
    return [{"id": pool[p][0]["id"], "score": round4(s)} for p, s in picks]

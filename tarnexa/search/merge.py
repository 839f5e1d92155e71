"""What the coordinator of a sharded search computes itself: the merge of the shards' hits and
the diverse selection over the merged pool. The like-blended query and the rounding of scores
come from the module's own code (tarnexa._native), never from a copy of its formulas."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt
from _tarnexa import mmr_select_py

from tarnexa import _native

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

Vector = npt.NDArray[np.float32]


def like_query(query_vec: Vector, liked_rows: npt.NDArray[np.float32]) -> Vector:
    """The query blended with the liked rows (in like_ids order) exactly as one score_candidates
    call blends it."""
    return np.frombuffer(_native.like_query(query_vec, liked_rows), np.float32)


def merge(answers: Sequence[tuple[list[ScoredDoc], Vector | None]],
          keep: int) -> list[tuple[ScoredDoc, Vector | None]]:
    """The best keep hits of all shards by score; hits of equal score keep their shard's order
    and come in shard order."""
    ranked = [(-h["score"], s, r, h, None if rows is None else rows[r])
              for s, (hits, rows) in enumerate(answers) for r, h in enumerate(hits)]
    ranked.sort(key=lambda t: t[:3])
    return [(t[3], t[4]) for t in ranked[:keep]]


def diverse(pool: list[tuple[ScoredDoc, Vector | None]], limit: int, mmr_lambda: float) -> list[ScoredDoc]:
    """Maximal marginal relevance over the merged pool, as one call runs it over its own pool."""
    if len(pool) <= limit:
        return [h for h, _ in pool]
    scores = np.array([h["score"] for h, _ in pool], dtype=np.float32)
    rows = np.stack([r for _, r in pool if r is not None])
    picks = mmr_select_py(list(range(len(pool))), scores, rows, limit, mmr_lambda)
    return [{"id": pool[p][0]["id"], "score": _native.round4(s)} for p, s in picks]

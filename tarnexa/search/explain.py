"""Why each hit ranks where it does: the parts of its score, every one computed by the module.

The hits' rows (and the liked rows) are gathered into a small matrix and scored again by
``score_candidates`` with the modulations switched on one at a time - the similarity to the
prepared query, then with the trajectory, then with the decay, then with the contrastive
penalty - so that each part is the difference the module's own arithmetic made. The decay
factor is the module's decayed score of a unit row against itself, dated as the hit is. For a
diverse pick, the redundancy is the module's score of the pick against the picks before it.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa.search.results import Explanation

if TYPE_CHECKING:
    from tarnexa.search.plans import Prepared

Vector = npt.NDArray[np.float32]


def _scores(matrix: Vector, keys: list[str], query: Vector, timestamps: Any, scored: Sequence[str],
            **kw: Any) -> dict[str, float]:
    hits = score_candidates(matrix, keys, {k: i for i, k in enumerate(keys)}, query, timestamps=timestamps,
                            pre_filter_ids=list(scored), limit=len(scored), **kw)
    return {h["id"]: h["score"] for h in hits}


def _part(x: float) -> float:
    """A difference of two four-decimal scores, without the float noise of the subtraction."""
    return round(x, 4) + 0.0


def explain(vectors: Vector, timestamps: npt.NDArray[np.float64] | None, hit_rows: Sequence[int],
            search: Prepared, picked: bool) -> list[Explanation]:
    """The parts of the scores of the hits at hit_rows of vectors (in rank order), found by the
    prepared search; picked says that its diverse selection chose the hits."""
    like_rows, query, not_like_vec, traj = search.like_rows, search.query_vec, search.not_like_vec, search.traj
    recent, recent_days = search.recent, search.recent_days
    if not hit_rows or query is None:
        return []
    rows = list(dict.fromkeys([*hit_rows, *(like_rows or [])]))
    place = {r: i for i, r in enumerate(rows)}
    matrix = np.ascontiguousarray(vectors[rows], dtype=np.float32)
    keys = [str(r) for r in rows]
    times = None if timestamps is None else np.ascontiguousarray(timestamps[rows], dtype=np.float64)
    hit_keys = [keys[place[r]] for r in hit_rows]
    base: dict[str, Any] = {}
    if like_rows:
        base["like_ids"] = [keys[place[r]] for r in like_rows]
    stages = [base]
    if traj is not None:
        stages.append(stages[-1] | {"traj_from_vec": traj[0], "traj_to_vec": traj[1]})
    if recent:
        stages.append(stages[-1] | {"recent": True, "recent_days": recent_days})
    if not_like_vec is not None:
        stages.append(stages[-1] | {"not_like_vec": not_like_vec})
    got = [_scores(matrix, keys, query, times, hit_keys, **kw) for kw in stages]

    factors: dict[str, float] = {}
    if recent and times is not None:
        # Every row the same unit vector: the decayed score of each is its decay factor.
        unit = np.zeros_like(matrix)
        unit[:, 0] = 1.0
        factors = _scores(unit, keys, unit[0], times, hit_keys, recent=True, recent_days=recent_days)

    out = []
    for n, key in enumerate(hit_keys):
        values = [g.get(key, float("nan")) for g in got]
        parts: dict[str, float] = {"similarity": values[0]}
        i = 1
        if traj is not None:
            parts["trajectory"] = _part(values[i] - values[i - 1])
            i += 1
        if recent:
            parts["decay"] = _part(values[i] - values[i - 1])
            parts["decay_factor"] = factors.get(key, 1.0)
            i += 1
        if not_like_vec is not None:
            parts["penalty"] = _part(values[i] - values[i - 1])
        if picked:
            parts["relevance"] = values[-1]
            before = hit_keys[:n]
            parts["redundancy"] = (max(_scores(matrix, keys, matrix[place[hit_rows[n]]], None, before).values(),
                                       default=0.0) if before else 0.0)
        out.append(Explanation(**parts))  # type: ignore[arg-type]
    return out


def with_sides(part: Explanation | None, fused: Any) -> Explanation:
    """A hit's parts with the sides of a hybrid or keyword search added (fused: hybrid.Fused)."""
    base = part if part is not None else Explanation(similarity=float("nan"))
    extra = {"dense_score": fused.dense_score, "dense_rank": fused.dense_rank,
             "keyword_score": fused.keyword_score, "keyword_rank": fused.keyword_rank,
             "semantic_share": fused.semantic_share, "keyword_share": fused.keyword_share}
    if base.relevance is not None:
        extra["relevance"] = fused.score
    return dataclasses.replace(base, **extra)

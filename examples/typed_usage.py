"""Every parameter of the three functions, with the types a type checker sees.

Runs as a script (python examples/typed_usage.py) and passes ``mypy --strict``.
"""

from __future__ import annotations

import inspect
import time
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

import _tarnexa

if TYPE_CHECKING:  # the TypedDicts live in the type stubs only
    from _tarnexa import Modifiers, ScoredDoc

DIMS = 8
DAY = 86400.0


def unit_rows(n: int, seed: int) -> NDArray[np.float32]:
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((n, DIMS)).astype(np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    return m


def main() -> None:
    matrix = unit_rows(50, seed=7)
    ids = [f"doc{i}" for i in range(len(matrix))]
    id_to_idx = {doc_id: row for row, doc_id in enumerate(ids)}
    now = time.time()
    timestamps: NDArray[np.float64] = now - np.arange(len(ids), dtype=np.float64) * DAY
    query: NDArray[np.float32] = matrix[0] + matrix[1]

    mods: Modifiers = _tarnexa.parse_modifiers(
        modifier_str="from: doc3 to: doc9 recent:14 unlike:doc2 like:doc4,doc5 limit:5 diverse"
    )
    print("modifiers:", mods)
    # A modifier line without "limit:" leaves the module's own default, read from its signature.
    default_limit: int = inspect.signature(_tarnexa.score_candidates).parameters["limit"].default
    limit = mods["limit"] if mods["limit"] is not None else default_limit
    like_ids = mods["like"] or []

    def vec_of(doc_id: str | None) -> NDArray[np.float32] | None:
        # The demo embeds these texts; here they name rows of the matrix.
        return matrix[id_to_idx[doc_id]] if doc_id is not None and doc_id in id_to_idx else None

    mask: NDArray[np.bool_] = np.ones(len(ids), dtype=np.bool_)
    mask[::10] = False
    hits: list[ScoredDoc] = _tarnexa.score_candidates(
        matrix,
        ids,
        id_to_idx,
        query,
        timestamps=timestamps,
        pre_filter_ids=ids[:40],
        not_like_vec=vec_of(mods["unlike"]),
        diverse=np.bool_(mods["diverse"]),
        limit=limit,
        oversample=np.int64(20),
        threshold=-1,
        mmr_lambda=0.5,
        recent=mods["recent"],
        recent_days=mods["recent_days"],
        like_ids=like_ids,
        traj_from_vec=vec_of(mods["trajectory_from"]),
        traj_to_vec=vec_of(mods["trajectory_to"]),
        mask=mask,
    )
    for hit in hits:
        print(f"{hit['id']:>6} {hit['score']:+.4f}")

    similarities: NDArray[np.float32] = matrix @ query
    candidates = np.argsort(-similarities)[:10]
    picked: list[tuple[int, float]] = _tarnexa.mmr_select_py(
        candidates=candidates, similarities=similarities, matrix=matrix, k=3, lambda_=0.7
    )
    for row, score in picked:
        print(f"{ids[row]:>6} {score:+.6f}")


if __name__ == "__main__":
    main()

"""Communities of a search's candidate pool: groups of rows that are more alike among themselves
than the pool is on the whole.

The pool's rows become a k-nearest-neighbour graph (each row linked to its ``NEIGHBOURS`` most
similar rows, an edge weighing the cosine similarity of its two rows, edges of similarity <= 0
dropped), which Leiden partitions under the constant Potts model with a resolution of
``RESOLUTION`` times the graph's weight density (its total edge weight over the number of row
pairs). A group is kept whole when the edges inside it are denser than that, so a pool drawn
around one centre stays one community, while topics that share few edges come apart however
many there are. The similarities only build the graph: no score of the search comes from here.

Leiden draws random numbers. They come from a generator seeded with ``SEED`` for every call, so
the same pool gives the same groups in any process; the caller's ``random`` state is not used.
Afterwards igraph draws from ``random`` again, its default (igraph cannot report which generator
was installed before, so one of the caller's own is not put back).
"""

from __future__ import annotations

import importlib
import random
import threading
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa.text.results import Community

__all__ = ["NEIGHBOURS", "RESOLUTION", "SEED", "detect"]

NEIGHBOURS = 10
# Rows scattered around one centre start to be split from about 0.5 (at 2,000 rows; later for
# fewer), while separate topics stay apart down to well below 0.1: 0.4 keeps one topic whole and
# cuts pools of real text into a few groups of tens of rows.
RESOLUTION = 0.4
SEED = 20_250_301
# Rows of the similarity block compared at once with the whole pool: at most about 8 MB of it.
_BLOCK_CELLS = 1 << 21

# igraph keeps one random number generator for the process: a call installs its own and puts
# the default back, one call at a time.
_RNG_LOCK = threading.Lock()


def _igraph() -> Any:
    try:
        return importlib.import_module("igraph")  # untyped: its names are Any here
    except ImportError as e:
        raise ImportError("communities need igraph: pip install '.[text]' in the tarnexa checkout") from e


def _unit_rows(rows: npt.ArrayLike) -> npt.NDArray[np.float32]:
    x = np.array(rows, dtype=np.float32, copy=True)
    if x.ndim != 2:
        raise ValueError(f"rows must be a 2-D array (rows x dims), not {x.ndim}-D")
    if not np.isfinite(x).all():
        raise ValueError("rows must be finite (no NaN or infinity)")
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    np.divide(x, norms, out=x, where=norms > 0)  # rows of zeros stay zero: no edge, alone
    return x


def _knn_edges(x: npt.NDArray[np.float32], k: int) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp],
                                                           npt.NDArray[np.float64]]:
    """Each row's k most similar other rows, as undirected pairs (lo < hi), each pair once, with
    its similarity (as the lower side of a pair found from both sides computed it)."""
    n = x.shape[0]
    block = max(1, _BLOCK_CELLS // n)
    nearest = np.empty((n, k), dtype=np.intp)
    sims = np.empty((n, k), dtype=np.float32)
    for start in range(0, n, block):
        part = x[start : start + block] @ x.T
        rows = np.arange(part.shape[0])
        part[rows, rows + start] = -np.inf  # no row is its own neighbour
        near = np.argpartition(part, n - k, axis=1)[:, n - k :]
        nearest[start : start + block] = near
        sims[start : start + block] = np.take_along_axis(part, near, axis=1)
    src = np.repeat(np.arange(n, dtype=np.intp), k)
    dst = nearest.ravel()
    pairs, first = np.unique(np.minimum(src, dst) * n + np.maximum(src, dst), return_index=True)
    return pairs // n, pairs % n, sims.ravel()[first].astype(np.float64)


def detect(rows: npt.NDArray[np.float32]) -> list[tuple[list[int], int]]:
    """The communities of a candidate pool.

    ``rows``: the pool's embedding rows (n x d, unit length; others are scaled to it), in
    descending score order. Returns ``(members, central)`` per community: ``members`` are
    positions 0..n-1 ascending (so in score order), every position in exactly one community;
    communities are ordered by their first member (their best score); ``central`` is the
    member with the highest summed edge weight inside its community (the earliest on a tie).
    ``n == 0`` gives ``[]``, ``n == 1`` gives ``[([0], 0)]``.

    Raises ``ImportError`` without igraph and ``ValueError`` for rows that are not a finite
    2-D array."""
    ig = _igraph()
    x = _unit_rows(rows)
    n = x.shape[0]
    if n <= 1:
        return [([0], 0)] if n else []

    lo, hi, weights = _knn_edges(x, min(NEIGHBOURS, n - 1))
    keep = weights > 0
    lo, hi, weights = lo[keep], hi[keep], weights[keep]

    if weights.size:
        graph = ig.Graph(n=n, edges=np.column_stack((lo, hi)).tolist())
        density = float(weights.sum()) / (n * (n - 1) / 2)
        with _RNG_LOCK:
            ig.set_random_number_generator(random.Random(SEED))
            try:
                found = graph.community_leiden(objective_function="CPM", weights=weights.tolist(),
                                               resolution=RESOLUTION * density, n_iterations=-1)
            finally:
                ig.set_random_number_generator(random)
        membership = np.asarray(found.membership, dtype=np.intp)
    else:
        membership = np.arange(n, dtype=np.intp)  # nothing alike: every row alone

    # Number the communities by their first member, so that sorting by number sorts by score.
    _, first, label = np.unique(membership, return_index=True, return_inverse=True)
    label = np.argsort(np.argsort(first))[label]
    inside = label[lo] == label[hi]
    strength = np.bincount(lo[inside], weights[inside], minlength=n)
    strength += np.bincount(hi[inside], weights[inside], minlength=n)

    order = np.argsort(label, kind="stable")  # positions grouped by community, ascending within
    bounds = np.flatnonzero(np.diff(label[order])) + 1
    communities = []
    for members in np.split(order, bounds):
        central = int(members[np.argmax(strength[members])])
        communities.append((members.tolist(), central))
    return communities


def groups(vectors: npt.NDArray[np.float32], pool_rows: list[int],
           docs: dict[int, Any]) -> tuple[list[Community], dict[int, int]]:
    """The communities of a candidate pool (rows of vectors, in score order), each labelled by
    its most central member's title or id (docs: the documents by row), and the community of
    each row of the pool."""
    rows = np.ascontiguousarray(vectors[pool_rows], dtype=np.float32)
    found: list[Community] = []
    membership: dict[int, int] = {}
    for n, (members, central) in enumerate(detect(rows)):
        central_doc = docs[pool_rows[central]]
        found.append(Community(central_doc.title or central_doc.id, tuple(docs[pool_rows[m]].id for m in members)))
        membership.update((pool_rows[m], n) for m in members)
    return found, membership

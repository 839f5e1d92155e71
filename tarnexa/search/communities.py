"""Communities of a search's candidate pool: groups of rows that are more alike among themselves
than the pool is on the whole.

The pool's rows become a k-nearest-neighbour graph (each row linked to its ``NEIGHBOURS`` most
similar rows, an edge weighing the cosine similarity of its two rows, edges of similarity <= 0
dropped), which Leiden partitions under the constant Potts model with a resolution of
``RESOLUTION`` times the graph's weight density (its total edge weight over the number of row
pairs). A group is kept whole when the edges inside it are denser than that, so a pool drawn
around one centre stays one community, while topics that share few edges come apart however
many there are. The similarities only build the graph: no score of the search comes from here.

A community is labelled by the words that set it apart from the rest of the pool (class-based
TF-IDF over its members' texts: a word's share of the group's words, weighed by how rare it is
across all the groups) and by the title of its most central member.

Leiden draws random numbers. They come from a generator seeded with ``SEED`` for every call, so
the same pool gives the same groups in any process; the caller's ``random`` state is not used.
Afterwards igraph draws from ``random`` again, its default (igraph cannot report which generator
was installed before, so one of the caller's own is not put back).
"""

from __future__ import annotations

import heapq
import importlib
import math
import random
import re
import threading
from collections import Counter
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa.text.embedders import STOP_WORDS
from tarnexa.search.results import Community

__all__ = ["LABEL_TERMS", "NEIGHBOURS", "RESOLUTION", "SEED", "detect", "groups", "label_terms"]

NEIGHBOURS = 10
# Rows scattered around one centre start to be split from about 0.5 (at 2,000 rows; later for
# fewer), while separate topics stay apart down to well below 0.1: 0.4 keeps one topic whole and
# cuts pools of real text into a few groups of tens of rows.
RESOLUTION = 0.4
SEED = 20_250_301
# Rows of the similarity block compared at once with the whole pool: at most about 8 MB of it.
_BLOCK_CELLS = 1 << 21

LABEL_TERMS = 3  # words of a community's label
LABEL_CHARS = 1000  # characters of each member's text its community's label reads: a passage's opening
_LABEL_WORD = re.compile(r"[a-z][a-z0-9]*(?:_[a-z0-9]+)*")  # snake_case names stay whole
# Words too common in any text to tell a group by, besides the embedders' stop words.
_LABEL_STOP = STOP_WORDS | frozenset(
    "about above after again against all also any because before being below between both "
    "could did doing down during each few further had having here how just more most much "
    "new no nor now off once one only other our ours out over own same should some still "
    "them they those through too two under until use used uses using very what where who "
    "whom why yes yet we our ourselves he she him her his hers itself myself yourself get "
    "gets got make makes made see like well way ways many every another either neither "
    "within without upon via etc e.g i.e".split())

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


def label_terms(texts: Sequence[Sequence[str]], k: int = LABEL_TERMS,
                besides: Sequence[str] | None = None) -> list[tuple[str, ...]]:
    """The k words that best set each group of texts apart from the others, best first.

    Class-based TF-IDF: a word weighs its share of the group's words times
    log(1 + A / f), A the mean number of words a group holds and f the word's count over all
    the groups, so a word frequent in the group and rare elsewhere comes first (ties go to
    the word first in alphabetical order). Words are lower-cased runs of letters and digits
    (snake_case names whole) of three characters or more, stop words left out; with
    ``besides`` (a text per group, such as the title its label shows already), that text's
    words too. A group without such words gets ()."""
    counts = []
    for group in texts:
        found = Counter(_LABEL_WORD.findall("\n".join(group).lower()))  # counted in C, then sifted
        counts.append(Counter({w: n for w, n in found.items() if len(w) >= 3 and w not in _LABEL_STOP}))
    overall: Counter[str] = Counter()
    for c in counts:
        overall.update(c)
    mean = sum(overall.values()) / max(1, len(counts))
    out = []
    for g, c in enumerate(counts):
        size = sum(c.values())
        shown = set(_LABEL_WORD.findall(besides[g].lower())) if besides is not None else set()
        weight = {w: n / size * math.log(1 + mean / overall[w]) for w, n in c.items() if w not in shown}
        out.append(tuple(heapq.nsmallest(k, weight, key=lambda w: (-weight[w], w))))
    return out


def _text(doc: Any) -> str:
    """The start of a document's text (LABEL_CHARS), with its title when the text does not
    begin with it: long documents cost no more than passages, and their openings say most."""
    title, text = doc.title or "", (doc.text or "")[:LABEL_CHARS]
    return text if not title or text.lstrip().startswith(title) else f"{title}\n{text}"


def groups(vectors: npt.NDArray[np.float32], pool_rows: list[int],
           docs: dict[int, Any]) -> tuple[list[Community], dict[int, int]]:
    """The communities of a candidate pool (rows of vectors, in score order), each labelled by
    the words that set it apart and its most central member's title or id (docs: the
    documents by row), and the community of each row of the pool."""
    rows = np.ascontiguousarray(vectors[pool_rows], dtype=np.float32)
    found: list[Community] = []
    membership: dict[int, int] = {}
    detected = detect(rows)
    titles = [docs[pool_rows[central]].title or docs[pool_rows[central]].id for _, central in detected]
    terms = label_terms([[_text(docs[pool_rows[m]]) for m in members] for members, _ in detected], besides=titles)
    for n, ((members, _), words, title) in enumerate(zip(detected, terms, titles)):
        label = f"{' · '.join(words)} — {title}" if words else title
        found.append(Community(label, tuple(docs[pool_rows[m]].id for m in members), words, title))
        membership.update((pool_rows[m], n) for m in members)
    return found, membership

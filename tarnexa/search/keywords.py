"""The keyword side of a search: BM25 over the documents' titles and texts, exact, from the
keyword index of the pinned version (``tarnexa.storage.keywordindex``).

Every word of the query is looked for (each once, at most MAX_TERMS), but for a short list of
stop words when others remain; a word no live document holds is left out with a note and never
keeps the others from being found. The side ranks only the documents the semantic side may
rank: live, not masked, within the pre-filter and passing the filter. With ``recent`` its
scores are decayed by the module, as the semantic side's are; with ``unlike:`` a keyword hit
more similar to the unlike text than to the query (both similarities from the module) is moved
below every keyword hit that is not.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa._constants import MAX_TERMS
from tarnexa.storage import keywordindex
from tarnexa.storage.folder import Snapshot

Vector = npt.NDArray[np.float32]
Ranking = list[tuple[int, float]]  # (cache row, score), best first
MEMO_WORDS = 100_000  # words whose document counts a snapshot keeps


# Words so common in English that they find nearly every document and rank none: left out of
# the keyword side when the query holds others. Measured: without the list, the keyword side's
# nDCG@10 falls on the corpora the project tracks, by up to 0.043 (docs/benchmarks/keywords.md).
STOP_WORDS = frozenset("""
a about an and are as at be by can do does for from how i if in into is it its me my of on or
so than that the their them then there these this to was we what when where which who why will
with you your
""".split())
_STOP_TERMS = frozenset(t for w in STOP_WORDS for t in keywordindex.terms(w))


def keyword_words(text: str) -> list[str]:
    """The terms of text the keyword side looks for: each once, in order, the stop words left
    out when others remain, at most MAX_TERMS."""
    terms = keywordindex.terms(text)
    return ([t for t in terms if t not in _STOP_TERMS] or terms)[:MAX_TERMS]


def held(snap: Snapshot, words: Sequence[str]) -> list[int]:
    """How many live documents of the snapshot hold each word (kept with the snapshot)."""
    known: dict[str, int] = snap.memo.setdefault("holding", {})
    ask = [w for w in words if w not in known]
    if ask:
        if len(known) > MEMO_WORDS:
            known.clear()
        known.update(zip(ask, keywordindex.counts(snap.keywords, ask, snap.mask, snap.live.size)))
    return [known[w] for w in words]


def average_length(snap: Snapshot) -> float:
    if "average length" not in snap.memo:
        total = keywordindex.stats(snap.keywords, snap.mask, snap.live.size)
        snap.memo["average length"] = total / snap.count if snap.count else 0.0
    return float(snap.memo["average length"])


def ranking(snap: Snapshot, words: Sequence[str], depth: int, allowed: npt.NDArray[np.bool_] | None) -> Ranking:
    """The best depth (row, BM25 score) pairs for the words among the rows allowed (None: all
    live rows), best first, ties by row."""
    if not words or depth <= 0:
        return []
    return keywordindex.best(snap.keywords, words, held(snap, words), snap.count, average_length(snap),
                             snap.mask if allowed is None else allowed, snap.live.size, depth)


def highlights(text: str, words: frozenset[str]) -> tuple[tuple[int, int], ...]:
    """Where in text the words (terms) occur: (start, end) character offsets, in order."""
    if not words:
        return ()
    return tuple(keywordindex.spans(text, words))


def _by_module(rows: Sequence[int], values: Vector, vec: Vector, **kw: Any) -> list[float]:
    """score_candidates over the given rows (values: their matrix), each row's score in order."""
    keys = [str(i) for i in range(len(rows))]
    hits = score_candidates(values, keys, {k: i for i, k in enumerate(keys)}, vec, limit=len(rows), **kw)
    got = {h["id"]: h["score"] for h in hits}
    return [got.get(k, float("-inf")) for k in keys]


def decayed(hits: Ranking, timestamps: npt.NDArray[np.float64] | None, recent_days: float | None) -> Ranking:
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


def unliked(rows: Sequence[int], vectors: Vector, query_vec: Vector, unlike_vec: Vector) -> set[int]:
    """The rows more similar to the unlike text than to the query."""
    if not rows:
        return set()
    matrix = np.ascontiguousarray(vectors[list(rows)], dtype=np.float32)
    to_query = _by_module(list(rows), matrix, query_vec)
    to_unlike = _by_module(list(rows), matrix, unlike_vec)
    return {r for r, q, u in zip(rows, to_query, to_unlike) if u > q}


def demoted(hits: Ranking, vectors: Vector, query_vec: Vector, unlike_vec: Vector) -> Ranking:
    """The keyword hits with those more similar to the unlike text than to the query moved,
    in their order, below the rest."""
    away = unliked([r for r, _ in hits], vectors, query_vec, unlike_vec)
    return [h for h in hits if h[0] not in away] + [h for h in hits if h[0] in away]

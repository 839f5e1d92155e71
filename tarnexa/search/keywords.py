"""The keyword side of a search: the query's words as an FTS5 expression, and BM25 over the
documents' titles and texts (SQLite FTS5, read through the pinned version of the store).

The expression is an OR of the query's words, each a quoted string, so that nothing a person
types is FTS5 syntax; words in most documents are left out when others remain (see
``FUSION["common"]``). The side ranks only the documents the semantic side may rank: live, not
masked, within the pre-filter and passing the filter. With ``recent`` its scores are decayed by
the module, as the semantic side's are; with ``unlike:`` a keyword hit more similar to the
unlike text than to the query (both similarities from the module) is moved below every keyword
hit that is not.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa._constants import FILTER_IN_SQL, MAX_TERMS
from tarnexa.storage.docstore import Pinned
from tarnexa.storage.folder import Snapshot

Vector = npt.NDArray[np.float32]
Ranking = list[tuple[int, float]]  # (cache row, score), best first

_WORD = re.compile(r"\w+")
# Words so common that they find nearly every document and rank none: left out of the keyword
# side unless the query holds nothing else.
STOP_WORDS = frozenset("""
a about an and are as at be by can do does for from how i if in into is it its me my of on or
so than that the their them then there these this to was we what when where which who why will
with you your
""".split())


def keyword_words(text: str) -> list[str]:
    """The words of text the keyword side looks for: each once, lower case; common words left
    out when others remain; at most MAX_TERMS, the first ones."""
    words = list(dict.fromkeys(w.lower() for w in _WORD.findall(text.replace("\x00", " "))))
    return ([w for w in words if w not in STOP_WORDS] or words)[:MAX_TERMS]


def keyword_expression(text: str, everywhere: frozenset[str] = frozenset()) -> tuple[str | None, list[str]]:
    """The FTS5 expression that finds documents holding any of the words of text (each a quoted
    string, so that nothing a person types - quotes, NEAR, *, -, column names - is FTS5
    syntax), and the words looked for; None when text holds no word. The words of everywhere
    (in most documents: see ``DocStore.common_words``) are left out when others remain."""
    words = keyword_words(text)
    kept = [w for w in words if w not in everywhere] or words
    if not kept:
        return None, []
    return " OR ".join('"' + w.replace('"', '""') + '"' for w in kept), kept


def expression(store: Pinned, snap: Snapshot, text: str, share: float) -> str | None:
    """The keyword side's expression for text, without the words in more than share of the
    documents (what it found kept with the snapshot)."""
    if not store.has_keywords():
        return keyword_expression(text)[0]
    words = keyword_words(text)
    known: dict[str, bool] = snap.memo.setdefault(f"common {share}", {})
    ask = [w for w in words if w not in known]
    if ask:
        if len(known) > 100_000:
            known.clear()
        common = store.common_words(ask, snap.count, share)
        known.update((w, w in common) for w in ask)
    return keyword_expression(text, frozenset(w for w in words if known[w]))[0]


def ranking(store: Pinned, match: str, depth: int, where: tuple[str, list[Any]] | None,
            allowed: npt.NDArray[np.bool_] | None) -> Ranking:
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
    out: Ranking = []
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


def demoted(hits: Ranking, vectors: Vector, query_vec: Vector, unlike_vec: Vector) -> Ranking:
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

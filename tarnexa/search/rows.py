"""The one searcher of a run of cache rows, shared by the in-process and the sharded paths: the
native int8 searcher where the cache has its int8 copy, else ``score_candidates`` over an id
list and an id-to-row map."""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa.search.quantized import searcher

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

    from tarnexa._native import Int8Searcher


class RowSearcher:
    """Searches rows (a float32 matrix, its ids and timestamps, and their int8 copy or None).
    With the int8 copy the ids are held by the native searcher (their texts and a table of rows
    by text: no Python object per id); an id it cannot hold (a lone surrogate, which no search
    can name) sends the rows to ``score_candidates`` instead, as does a cache without the copy.

    ``check(rows)``, when given, is called with the rows of every search's hits before they are
    handed out (the cache's per-row checksums: see tarnexa.storage.cache); it raises for a
    damaged row."""

    def __init__(self, vectors: npt.NDArray[np.float32], ids: Sequence[str],
                 timestamps: npt.NDArray[np.float64] | None, int8: Any = None,
                 check: Callable[[list[int]], None] | None = None) -> None:
        self.vectors = vectors
        self.timestamps = timestamps
        self._check = check
        self._int8: Int8Searcher | None = None
        if int8 is not None and len(vectors):  # no rows: nothing for the int8 scan to do
            with contextlib.suppress(UnicodeEncodeError):
                self._int8 = searcher(int8, vectors, ids, timestamps)
        self._ids: Sequence[str] = () if self._int8 is not None else ids
        self._id_to_idx = {d: i for i, d in enumerate(self._ids)}

    @property
    def scans_int8(self) -> bool:
        """Whether searches scan the int8 copy."""
        return self._int8 is not None

    def search(self, query_vec: npt.NDArray[np.float32], **kw: Any) -> list[ScoredDoc]:
        """``score_candidates(vectors, ids, id_to_idx, query_vec, timestamps=timestamps, **kw)``."""
        if self._int8 is not None:
            return self._checked(self._int8.search(query_vec, **kw))
        return self._checked(score_candidates(self.vectors, self._ids, self._id_to_idx, query_vec,
                                              timestamps=self.timestamps, **kw))

    def search_many(self, items: Sequence[tuple[npt.NDArray[np.float32], dict[str, Any]]]) -> list[list[ScoredDoc]]:
        """``[search(q, **kw) for q, kw in items]``: over the int8 copy in one pass for all the
        queries of one width, the scan running while other Python threads do."""
        if self._int8 is None or not items or len({q.shape for q, _ in items}) != 1:
            return [self.search(q, **kw) for q, kw in items]
        found = self._int8.search_many(np.stack([q for q, _ in items]), [kw for _, kw in items])
        return [self._checked(hits) for hits in found]

    def search_counted(self, query_vec: npt.NDArray[np.float32], **kw: Any) -> tuple[list[ScoredDoc], int]:
        """search(), and the rows it scored again in float32 (-1: it scanned the float32 matrix)."""
        if self._int8 is not None:
            hits, rescored = self._int8.search_counted(query_vec, **kw)
            return self._checked(hits), rescored
        return self.search(query_vec, **kw), -1

    def _checked(self, hits: list[ScoredDoc]) -> list[ScoredDoc]:
        if self._check is not None and hits:
            self._check(self.rows_of([h["id"] for h in hits]))
        return hits

    def rows_of(self, ids: Sequence[str]) -> list[int]:
        """The row of each id, -1 for an id these rows do not hold."""
        if self._int8 is not None:
            return self._int8.rows(ids)
        return [self._id_to_idx.get(d, -1) for d in ids]

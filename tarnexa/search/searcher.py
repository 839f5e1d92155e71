"""Search of a cache in this process: one call of the row searcher per query."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tarnexa.search.checks import batch_items, check_arguments, mask_vector, query_vector
from tarnexa.search.rows import RowSearcher
from tarnexa.storage.cache import Cache

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc


class Searcher:
    """Searches a cache (a path, or a Cache opened already) with one ``score_candidates`` call
    per query; the id list and the id-to-row map are built once, when the searcher is made. A cache with an int8 copy is
    searched through it, with the same results (see tarnexa.search.quantized)."""

    def __init__(self, path: str | os.PathLike[str] | Cache) -> None:
        self._cache = path if isinstance(path, Cache) else Cache.open(path)
        cache = self._cache
        # With the int8 copy the ids are read once into the native searcher, not kept here.
        ids = cache.read_ids(0, len(cache)) if cache.int8 is not None else cache.ids
        int8 = cache.int8  # its codes, scales and bounds checked whole as they are read
        cache.verify_matrix()  # and the matrix, before any search reads it
        self._rows = RowSearcher(cache.vectors, ids, cache.timestamps, int8, check=cache.check_rows)

    @property
    def cache(self) -> Cache:
        """The cache searched."""
        return self._cache

    def search(self, query_vec: npt.ArrayLike, **kw: Any) -> list[ScoredDoc]:
        """``score_candidates`` on the whole cache; ``kw`` are its keyword arguments other than
        matrix, ids, id_to_idx and timestamps (``mask`` is a bool array by cache row). The query
        may be any real 1-D array or sequence: it is converted to float32."""
        query, checked = self._checked(query_vec, kw)
        return self._rows.search(query, **checked)

    def search_many(self, queries: Any, **kw: Any) -> list[list[ScoredDoc]]:
        """``[search(q, **kw_q) for q ...]`` in one pass over the cache: ``queries`` is a (B, d)
        array, or a sequence whose items are vectors or mappings ``{"query_vec": v, **keyword
        arguments}`` (an item's own arguments override ``kw``)."""
        return self._rows.search_many([self._checked(q, k) for q, k in batch_items(queries, kw)])

    def _checked(self, query_vec: npt.ArrayLike, kw: dict[str, Any]) -> tuple[npt.NDArray[np.float32], dict[str, Any]]:
        check_arguments(kw)
        query = query_vector(query_vec)
        mask_vector(kw, len(self._cache))
        return query, kw

"""Search of a cache in this process: one score_candidates call per query."""

from __future__ import annotations

import contextlib
import os
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa.search.checks import check_values
from tarnexa.search.quantized import searcher
from tarnexa.storage.cache import Cache

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

    from tarnexa._native import Int8Searcher

# Arguments of score_candidates that a searcher supplies itself from the cache.
OWN_ARGUMENTS = frozenset({"matrix", "ids", "id_to_idx", "timestamps"})


def check_keywords(kw: dict[str, Any]) -> None:
    own = sorted(OWN_ARGUMENTS.intersection(kw))
    if own:
        raise TypeError(f"search() takes {', '.join(own)} from the cache, not as an argument")


def query_vector(query_vec: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """The query as the module takes it: a float32 vector (any real array or sequence is
    converted, as a cache converts its rows); anything but one dimension is refused."""
    q = np.asarray(query_vec, dtype=np.float32)
    if q.ndim != 1:
        raise ValueError("query_vec must be 1-D")
    return q


def mask_vector(kw: dict[str, Any], rows: int) -> None:
    """A mask given as a list or tuple becomes a bool array (other objects go to the module as
    they are, which refuses what is not a NumPy bool array); a mask of another length than the
    cache's rows is refused here, the same for every searcher."""
    mask = kw.get("mask")
    if isinstance(mask, (list, tuple)):
        mask = kw["mask"] = np.asarray(mask, dtype=np.bool_)
    check_mask(mask, rows)


def check_mask(mask: object, rows: int) -> None:
    if isinstance(mask, np.ndarray) and mask.ndim == 1 and len(mask) != rows:
        raise ValueError(f"mask has {len(mask)} entries, the cache has {rows} rows")


class Searcher:
    """Searches a cache with one ``score_candidates`` call per query; the id list and the
    id-to-row map are built once, when the searcher is made. A cache with an int8 copy is
    searched through it, with the same results (see tarnexa.search.quantized)."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._cache = Cache.open(path)
        self._int8: Int8Searcher | None = None
        rows = self._cache.int8
        if rows is not None:
            ids = self._cache.read_ids(0, len(self._cache))  # not kept: the native searcher holds them
            with contextlib.suppress(UnicodeEncodeError):  # an id no search can name: as below
                self._int8 = searcher(rows, self._cache.vectors, ids, self._cache.timestamps)
                return
        self._ids = self._cache.ids
        self._id_to_idx = {d: i for i, d in enumerate(self._ids)}

    @property
    def cache(self) -> Cache:
        """The cache searched."""
        return self._cache

    def search(self, query_vec: npt.ArrayLike, **kw: Any) -> list[ScoredDoc]:
        """``score_candidates`` on the whole cache; ``kw`` are its keyword arguments other than
        matrix, ids, id_to_idx and timestamps (``mask`` is a bool array by cache row). The query
        may be any real 1-D array or sequence: it is converted to float32."""
        check_keywords(kw)
        check_values(kw)
        query = query_vector(query_vec)
        mask_vector(kw, len(self._cache))
        if self._int8 is not None:
            return self._int8.search(query, **kw)
        cache = self._cache
        return score_candidates(cache.vectors, self._ids, self._id_to_idx, query,
                                timestamps=cache.timestamps, **kw)

"""Search of a cache in this process: one score_candidates call per query."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates

from tarnexa.search.checks import check_values
from tarnexa.storage.cache import Cache

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

# Arguments of score_candidates that a searcher supplies itself from the cache.
OWN_ARGUMENTS = frozenset({"matrix", "ids", "id_to_idx", "timestamps"})


def check_keywords(kw: dict[str, Any]) -> None:
    own = sorted(OWN_ARGUMENTS.intersection(kw))
    if own:
        raise TypeError(f"search() takes {', '.join(own)} from the cache, not as an argument")


class Searcher:
    """Searches a cache with one ``score_candidates`` call per query; the id list and the
    id-to-row map are built once, when the searcher is made."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.cache = Cache.open(path)
        self._ids = self.cache.ids
        self._id_to_idx = {d: i for i, d in enumerate(self._ids)}

    def search(self, query_vec: npt.NDArray[np.float32], **kw: Any) -> list[ScoredDoc]:
        """``score_candidates`` on the whole cache; ``kw`` are its keyword arguments other than
        matrix, ids, id_to_idx and timestamps (``mask`` is a bool array by cache row)."""
        check_keywords(kw)
        check_values(kw)
        cache = self.cache
        return score_candidates(cache.vectors, self._ids, self._id_to_idx, query_vec,
                                timestamps=cache.timestamps, **kw)

"""The searchers' arguments checked before any score is computed, one rule per argument, the
same at every level (a cache searcher, a sharded one, a text query). Types are the module's to
refuse (its messages name the argument); values that it would take but that make no sense are
refused by ``check_value``, the rule of each argument."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa._constants import check_value

# Arguments of score_candidates that a searcher supplies itself from its cache.
OWN_ARGUMENTS = frozenset({"matrix", "ids", "id_to_idx", "timestamps"})


def check_arguments(kw: dict[str, Any]) -> None:
    """A searcher's keyword arguments: none that it takes from its cache, every value by its rule."""
    own = sorted(OWN_ARGUMENTS.intersection(kw))
    if own:
        raise TypeError(f"search() takes {', '.join(own)} from the cache, not as an argument")
    for key, value in kw.items():
        check_value(key, value)


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
    if isinstance(mask, np.ndarray) and mask.ndim == 1 and len(mask) != rows:
        raise ValueError(f"mask has {len(mask)} entries, the cache has {rows} rows")


def batch_items(queries: object, kw: dict[str, Any]) -> list[tuple[Any, dict[str, Any]]]:
    """The queries of a ``search_many`` call as (query vector, keyword arguments) pairs: queries
    is a (B, d) array, or a sequence whose items are vectors or mappings ``{"query_vec": v,
    **keyword arguments}`` (an item's own arguments override kw)."""
    if isinstance(queries, np.ndarray):
        if queries.ndim != 2:
            raise ValueError(f"queries must be a 2-D array (one query a row), got {queries.ndim}-D")
        items: Sequence[Any] = list(queries)
    elif isinstance(queries, str | bytes) or not isinstance(queries, Sequence):
        raise TypeError(f"queries must be a 2-D array or a sequence of queries, not {type(queries).__name__}")
    else:
        items = queries
    out: list[tuple[Any, dict[str, Any]]] = []
    for i, item in enumerate(items):
        if isinstance(item, Mapping):
            own = dict(item)
            if "query_vec" not in own:
                raise TypeError(f"queries[{i}] has no query_vec")
            vec = own.pop("query_vec")
            out.append((vec, {**kw, **own}))
        else:
            out.append((item, dict(kw)))
    return out

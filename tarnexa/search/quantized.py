"""The exact search over the int8 copy of a cache's matrix (tarnexa.storage.int8).

A query scans the codes, bounds each row's final score through every modulation, and scores
again in float32 only the rows whose bound lets them reach the result: the result equals one
``score_candidates`` call on the whole matrix.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tarnexa import _native
from tarnexa.storage.int8 import Int8Rows, code_width, quantize

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

    from tarnexa._native import Int8Searcher

__all__ = ["Int8Rows", "code_width", "quantize", "search_int8", "search_int8_counted", "searcher"]


def search_int8(rows: Int8Rows, matrix: npt.NDArray[np.float32], ids: Any, id_to_idx: dict[str, int],
                query: npt.NDArray[np.float32], **kw: Any) -> list[ScoredDoc]:
    """``score_candidates(matrix, ids, id_to_idx, query, **kw)``, computed from the int8 copy."""
    return _native.search_int8(rows.codes, rows.scales, rows.bounds, matrix, ids, id_to_idx, query, **kw)


def search_int8_counted(rows: Int8Rows, matrix: npt.NDArray[np.float32], ids: Any, id_to_idx: dict[str, int],
                        query: npt.NDArray[np.float32], **kw: Any) -> tuple[list[ScoredDoc], int]:
    """search_int8 and the rows it scored again in float32 (-1: it scanned the float32 matrix,
    for a request the int8 scan does not serve)."""
    return _native.search_int8_counted(rows.codes, rows.scales, rows.bounds, matrix, ids, id_to_idx, query, **kw)


def searcher(rows: Int8Rows, matrix: npt.NDArray[np.float32], ids: Sequence[str],
             timestamps: npt.NDArray[np.float64] | None) -> Int8Searcher:
    """A native searcher over the int8 copy holding the arrays and the ids (their texts and a
    table of rows by text, built once: no Python object per id). Its ``search(query_vec, **kw)``
    is ``score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=timestamps, **kw)``;
    ``search_counted`` adds the rows scored again in float32."""
    return _native.int8_searcher(rows.codes, rows.scales, rows.bounds, matrix, ids, timestamps)

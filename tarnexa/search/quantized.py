"""The int8 copy of a cache's matrix and the exact search over it.

Every row keeps int8 codes, a float32 scale and a float32 bound term (computed by the package's
native code, ``tarnexa._native.quantize``). A query scans the codes, bounds each row's final
score through every modulation, and scores again in float32 only the rows whose bound lets them
reach the result: the result equals one ``score_candidates`` call on the whole matrix.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

    from tarnexa._native import Int8Searcher


def code_width(dims: int) -> int:
    """Bytes of a row of codes: dims, padded to a multiple of 4."""
    return (dims + 3) // 4 * 4


@dataclass(frozen=True)
class Int8Rows:
    """The int8 copy of n rows: codes (n, code_width(dims)) int8, scales and bounds (n,) float32."""

    codes: npt.NDArray[np.int8]
    scales: npt.NDArray[np.float32]
    bounds: npt.NDArray[np.float32]

    def __len__(self) -> int:
        return len(self.scales)


def quantize(matrix: npt.NDArray[np.float32]) -> Int8Rows:
    """The int8 copy of a float32 matrix's rows."""
    n, dims = matrix.shape
    width = code_width(dims)
    from tarnexa import _native  # on first use: the package's path is complete by then

    raw = _native.quantize(matrix)
    codes = np.frombuffer(raw, dtype=np.int8, count=n * width).reshape(n, width)
    scales = np.frombuffer(raw, dtype=np.float32, count=n, offset=n * width)
    bounds = np.frombuffer(raw, dtype=np.float32, count=n, offset=n * (width + 4))
    return Int8Rows(codes, scales, bounds)


def search_int8(rows: Int8Rows, matrix: npt.NDArray[np.float32], ids: Any, id_to_idx: dict[str, int],
                query: npt.NDArray[np.float32], **kw: Any) -> list[ScoredDoc]:
    """``score_candidates(matrix, ids, id_to_idx, query, **kw)``, computed from the int8 copy."""
    from tarnexa import _native

    codes = np.ascontiguousarray(rows.codes).view(np.float32)
    return _native.search_int8(codes, rows.scales, rows.bounds, matrix, ids, id_to_idx, query, **kw)


def searcher(rows: Int8Rows, matrix: npt.NDArray[np.float32], ids: Sequence[str],
             timestamps: npt.NDArray[np.float64] | None) -> Int8Searcher:
    """A native searcher over the int8 copy holding the arrays and the ids (their texts and a
    table of rows by text, built once: no Python object per id). Its ``search(query_vec, **kw)``
    is ``score_candidates(matrix, ids, id_to_idx, query_vec, timestamps=timestamps, **kw)``."""
    from tarnexa import _native

    codes = np.ascontiguousarray(rows.codes).view(np.float32)
    return _native.int8_searcher(codes, rows.scales, rows.bounds, matrix, ids, timestamps)


def last_rescored() -> int:
    """Rows the calling thread's last int8 search scored again in float32 (-1: it scanned the
    float32 matrix, for a request the int8 scan does not serve)."""
    from tarnexa import _native

    return _native.last_rescored()

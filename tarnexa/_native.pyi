"""The package's private native helpers, built from the module's own scoring code."""

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from _tarnexa import ScoredDoc

def like_query(query_vec: NDArray[np.float32], liked_rows: NDArray[np.float32]) -> bytes: ...
def round4(x: float) -> float: ...
def quantize(matrix: NDArray[np.float32]) -> bytes: ...
def search_int8(codes: NDArray[np.float32], scales: NDArray[np.float32], bounds: NDArray[np.float32],
                matrix: NDArray[np.float32], ids: Sequence[str], id_to_idx: dict[str, int],
                query_vec: NDArray[np.float32], timestamps: NDArray[np.float64] | None = None,
                pre_filter_ids: Sequence[str] | None = None, not_like_vec: NDArray[np.float32] | None = None,
                diverse: bool = False, limit: int = 10, oversample: int = 200, threshold: float = 0.0,
                mmr_lambda: float = 0.7, recent: bool = False, recent_days: float | None = None,
                like_ids: Sequence[str] | None = None, traj_from_vec: NDArray[np.float32] | None = None,
                traj_to_vec: NDArray[np.float32] | None = None,
                mask: NDArray[np.bool_] | None = None) -> list[ScoredDoc]: ...
class Int8Searcher:
    def search(self, query_vec: NDArray[np.float32], pre_filter_ids: Sequence[str] | None = None,
               not_like_vec: NDArray[np.float32] | None = None, diverse: bool = False, limit: int = 10,
               oversample: int = 200, threshold: float = 0.0, mmr_lambda: float = 0.7, recent: bool = False,
               recent_days: float | None = None, like_ids: Sequence[str] | None = None,
               traj_from_vec: NDArray[np.float32] | None = None, traj_to_vec: NDArray[np.float32] | None = None,
               mask: NDArray[np.bool_] | None = None) -> list[ScoredDoc]: ...
    def rows(self, ids: Sequence[str]) -> list[int]: ...

def int8_searcher(codes: NDArray[np.float32], scales: NDArray[np.float32], bounds: NDArray[np.float32],
                  matrix: NDArray[np.float32], ids: Sequence[str],
                  timestamps: NDArray[np.float64] | None = None) -> Int8Searcher: ...
def last_rescored() -> int: ...
def int8_dots(codes: NDArray[np.float32], cols: int, queries: NDArray[np.float32], isa: str) -> bytes: ...
def int8_isas() -> list[str]: ...

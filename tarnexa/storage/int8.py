"""The int8 copy of a cache's matrix: every row keeps int8 codes, a float32 scale and a float32
bound term, computed by the package's native code (``tarnexa._native.quantize``)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from tarnexa import _native


def code_width(dims: int) -> int:
    """Bytes of a row of codes: dims, padded with zeros to a multiple of 4."""
    return _native.code_width(dims)


@dataclass(frozen=True)
class Int8Rows:
    """The int8 copy of n rows: codes (n, code_width(dims)) int8, scales and bounds (n,) float32."""

    codes: npt.NDArray[np.int8]
    scales: npt.NDArray[np.float32]
    bounds: npt.NDArray[np.float32]

    def __len__(self) -> int:
        return len(self.scales)

    def slice(self, start: int, stop: int) -> Int8Rows:
        """Rows start to stop-1 (views, no copy)."""
        return Int8Rows(self.codes[start:stop], self.scales[start:stop], self.bounds[start:stop])


def quantize(matrix: npt.NDArray[np.float32]) -> Int8Rows:
    """The int8 copy of a float32 matrix's rows."""
    return Int8Rows(*_native.quantize(matrix))

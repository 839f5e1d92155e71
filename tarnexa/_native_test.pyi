"""Hooks for the package's tests into the int8 kernels; never imported by the package."""

import numpy as np
from numpy.typing import NDArray

def int8_dots(codes: NDArray[np.int8], cols: int, queries: NDArray[np.int8], isa: str) -> bytes:
    """Integer dot products of int8 codes on one kernel."""

def int8_isas() -> list[str]:
    """The int8 kernels this CPU runs, best last."""

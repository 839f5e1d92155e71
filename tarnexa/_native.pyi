"""The package's private native helpers, built from the module's own scoring code."""

import numpy as np
from numpy.typing import NDArray

def like_query(query_vec: NDArray[np.float32], liked_rows: NDArray[np.float32]) -> bytes: ...
def round4(x: float) -> float: ...

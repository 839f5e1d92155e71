"""Native ranking core for semantic search over a cache of document embeddings.

Typing notes (the functions' own docstrings are those of the extension module):

* Embeddings and vectors are float32 arrays, timestamps float64, the mask a NumPy
  bool array; other dtypes are refused with TypeError, never cast.
* The id lists (ids, pre_filter_ids, like_ids) take any sequence of str except a
  str itself, which a type checker cannot refuse but the module does at run time
  with TypeError. A set is not a sequence and is refused too.
* id_to_idx must be a dict (or a subclass) of str to non-negative int.
* Bad argument types raise TypeError; negative or too large counts and indices
  raise OverflowError; a query whose length differs from the matrix width raises
  ValueError. Malformed data that is not checked (a row index out of range, arrays
  of disagreeing lengths) ends the call with PanicException, which derives from
  BaseException (so ``except Exception`` does not catch it) and is not an attribute
  of this module.
* ScoredDoc and Modifiers exist for type checkers only: import them under
  ``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = ["parse_modifiers", "score_candidates", "mmr_select_py"]

class ScoredDoc(TypedDict):
    """One ranked document: its id and its score rounded to four decimals."""

    id: str
    score: float

class Modifiers(TypedDict):
    """The nine modulation parameters that parse_modifiers returns, always all present."""

    recent: bool
    recent_days: int | None
    unlike: str | None
    diverse: bool
    limit: int | None
    like: list[str] | None
    trajectory_from: str | None
    trajectory_to: str | None
    local_communities: bool

def parse_modifiers(modifier_str: str | None = None) -> Modifiers:
    """Parse a modifier string into modulation parameters.

    Returns a dict with keys: recent, recent_days, unlike, diverse, limit,
    like, trajectory_from, trajectory_to, local_communities."""

def score_candidates(
    matrix: NDArray[np.float32],
    ids: Sequence[str] | NDArray[np.str_],
    id_to_idx: dict[str, int],
    query_vec: NDArray[np.float32],
    timestamps: NDArray[np.float64] | None = None,
    pre_filter_ids: Sequence[str] | NDArray[np.str_] | None = None,
    not_like_vec: NDArray[np.float32] | None = None,
    diverse: bool | np.bool_ = False,
    limit: SupportsIndex = 10,
    oversample: SupportsIndex = 200,
    threshold: SupportsFloat | SupportsIndex = 0.0,
    mmr_lambda: SupportsFloat | SupportsIndex = 0.7,
    recent: bool | np.bool_ = False,
    recent_days: SupportsFloat | SupportsIndex | None = None,
    like_ids: Sequence[str] | NDArray[np.str_] | None = None,
    traj_from_vec: NDArray[np.float32] | None = None,
    traj_to_vec: NDArray[np.float32] | None = None,
    mask: NDArray[np.bool_] | None = None,
) -> list[ScoredDoc]:
    """Score and select candidates with composable landscape modulations.

    All text→vector conversions must be done in Python before calling.
    This function takes pure arrays and returns scored results.

    Args:
        matrix: Normalized embedding matrix (n, dims), float32.
        ids: Document IDs aligned with matrix rows.
        id_to_idx: {id: row_index} mapping.
        query_vec: Query embedding (dims,), will be normalized.
        timestamps: Optional (n,) float64 epoch seconds.
        pre_filter_ids: Optional set of IDs to restrict search.
        not_like_vec: Optional negative query for contrastive.
        diverse: Enable MMR diversity selection.
        limit: Max results.
        oversample: Candidate pool size.
        threshold: Minimum similarity cutoff.
        mmr_lambda: Relevance vs diversity (0-1).
        recent: Apply temporal decay.
        recent_days: Half-life in days for temporal decay.
        like_ids: Optional list of IDs for centroid blending.
        traj_from_vec: Optional trajectory start vector.
        traj_to_vec: Optional trajectory end vector.

    Returns list of dicts with 'id' and 'score' keys."""

def mmr_select_py(
    candidates: Sequence[SupportsIndex] | NDArray[np.integer[Any]],
    similarities: NDArray[np.float32],
    matrix: NDArray[np.float32],
    k: SupportsIndex,
    lambda_: SupportsFloat | SupportsIndex,
) -> list[tuple[int, float]]:
    """MMR: iteratively select for relevance minus redundancy.
    Returns list of (index, mmr_score) tuples."""

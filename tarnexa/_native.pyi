"""The package's private native helpers, built from the module's own scoring code."""

from collections.abc import Buffer, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from _tarnexa import Modifiers, ScoredDoc

def like_query(query_vec: NDArray[np.float32], liked_rows: NDArray[np.float32]) -> bytes:
    """The query blended 0.5/0.5 with the normalised centroid of liked_rows (at least one), as
    score_candidates blends it for like_ids; float32 bytes."""

def round4(x: float) -> float:
    """x rounded to four decimals as score_candidates rounds its scores."""

def code_width(dims: int) -> int:
    """Bytes of a row of int8 codes: dims, padded with zeros to a multiple of 4."""

def quantize(matrix: NDArray[np.float32]) -> tuple[NDArray[np.int8], NDArray[np.float32], NDArray[np.float32]]:
    """The int8 copy of the rows of matrix as three new arrays: codes (n, code_width(dims)) int8,
    padded with zeros, and float32 scales and bound terms (n,)."""

def search_int8(codes: NDArray[np.int8], scales: NDArray[np.float32], bounds: NDArray[np.float32],
                matrix: NDArray[np.float32], ids: Sequence[str], id_to_idx: dict[str, int],
                query_vec: NDArray[np.float32], timestamps: NDArray[np.float64] | None = None,
                pre_filter_ids: Sequence[str] | None = None, not_like_vec: NDArray[np.float32] | None = None,
                diverse: bool = False, limit: int = 10, oversample: int = 200, threshold: float = 0.0,
                mmr_lambda: float = 0.7, recent: bool = False, recent_days: float | None = None,
                like_ids: Sequence[str] | None = None, traj_from_vec: NDArray[np.float32] | None = None,
                traj_to_vec: NDArray[np.float32] | None = None,
                mask: NDArray[np.bool_] | None = None) -> list[ScoredDoc]: ...
def search_int8_counted(codes: NDArray[np.int8], scales: NDArray[np.float32], bounds: NDArray[np.float32],
                        matrix: NDArray[np.float32], ids: Sequence[str], id_to_idx: dict[str, int],
                        query_vec: NDArray[np.float32], timestamps: NDArray[np.float64] | None = None,
                        pre_filter_ids: Sequence[str] | None = None,
                        not_like_vec: NDArray[np.float32] | None = None, diverse: bool = False,
                        limit: int = 10, oversample: int = 200, threshold: float = 0.0, mmr_lambda: float = 0.7,
                        recent: bool = False, recent_days: float | None = None,
                        like_ids: Sequence[str] | None = None, traj_from_vec: NDArray[np.float32] | None = None,
                        traj_to_vec: NDArray[np.float32] | None = None,
                        mask: NDArray[np.bool_] | None = None) -> tuple[list[ScoredDoc], int]: ...

class Int8Searcher:
    """Exact search through an int8 copy."""

    def search(self, query_vec: NDArray[np.float32], pre_filter_ids: Sequence[str] | None = None,
               not_like_vec: NDArray[np.float32] | None = None, diverse: bool = False, limit: int = 10,
               oversample: int = 200, threshold: float = 0.0, mmr_lambda: float = 0.7, recent: bool = False,
               recent_days: float | None = None, like_ids: Sequence[str] | None = None,
               traj_from_vec: NDArray[np.float32] | None = None, traj_to_vec: NDArray[np.float32] | None = None,
               mask: NDArray[np.bool_] | None = None) -> list[ScoredDoc]: ...
    def search_counted(self, query_vec: NDArray[np.float32], pre_filter_ids: Sequence[str] | None = None,
                       not_like_vec: NDArray[np.float32] | None = None, diverse: bool = False, limit: int = 10,
                       oversample: int = 200, threshold: float = 0.0, mmr_lambda: float = 0.7,
                       recent: bool = False, recent_days: float | None = None,
                       like_ids: Sequence[str] | None = None, traj_from_vec: NDArray[np.float32] | None = None,
                       traj_to_vec: NDArray[np.float32] | None = None,
                       mask: NDArray[np.bool_] | None = None) -> tuple[list[ScoredDoc], int]: ...
    def search_many(self, queries: NDArray[np.float32], keywords: Sequence[dict[str, Any]]) -> list[list[ScoredDoc]]:
        """[search(queries[i], **keywords[i]) for each i] in one pass over the int8 copy, without the GIL:
        queries is (B, dims) float32, keywords a list of B dicts of search()'s other arguments."""
    def search_many_counted(self, queries: NDArray[np.float32],
                            keywords: Sequence[dict[str, Any]]) -> tuple[list[list[ScoredDoc]], list[int]]:
        """search_many(), with the list of the rows each query rescored in float32 (-1: the float32
        matrix was scanned instead)."""
    def rows(self, ids: Sequence[str], /) -> list[int]:
        """The held row of each id, -1 for an id not held."""

def int8_searcher(codes: NDArray[np.int8], scales: NDArray[np.float32], bounds: NDArray[np.float32],
                  matrix: NDArray[np.float32], ids: Sequence[str],
                  timestamps: NDArray[np.float64] | None = None) -> Int8Searcher:
    """An Int8Searcher holding the int8 copy, the matrix, the timestamps and the ids (their texts
    and a table of rows by text, built once)."""

def read_modifiers(line: str | None) -> tuple[Modifiers, list[tuple[str, int, int, str, object]],
                                              tuple[str, int, int] | None]:
    """The modifier line parsed as parse_modifiers parses it (but for like:"ID","ID", the quoted form
    of like: whose ids may hold spaces and commas), with what the parse saw:
    (values, tokens, clause). values is parse_modifiers' dict; tokens holds (text, start, end,
    rule, value) for each token scanned, rule being the word whose rule matched ("" for none) and
    value what the token alone sets; clause is None without "from:", else (status, start, end)
    with status "taken", "no_to" or "empty"."""

def modifier_vocabulary() -> tuple[tuple[str, str, str, str, bool], ...]:
    """The words of the modifier line as (token, key, usage, help, shown), in the order a user is
    shown them; key is the key of parse_modifiers' dict a word sets."""

def keyword_words(text: str, /) -> list[tuple[str, int, int]]:
    """The words of text as the keyword index reads them: (term, start, end)."""

def keyword_spans(text: str, terms: Sequence[str], /) -> list[tuple[int, int]]:
    """Where in text the words whose term is one of terms lie: (start, end)."""

def keyword_segment(rows: Sequence[int], titles: Sequence[str], texts: Sequence[str], first_row: int,
                    row_count: int, title_weight: float, /) -> bytes:
    """A keyword segment of the documents given (rows ascending), as bytes."""

def keyword_merge(segments: Sequence[Buffer], row_map: NDArray[np.int64] | None, map_first: int, first_row: int,
                  row_count: int, title_weight: float, /) -> bytes:
    """The segments as one, rows moved by row_map (int64, -1: dropped; None: kept), as bytes."""

def keyword_check(segment: Buffer, /) -> tuple[int, int, int, int, float]:
    """(first_row, row_count, terms, postings, title_weight), or ValueError."""

def keyword_counts(segments: Sequence[Buffer], terms: Sequence[str], live: NDArray[np.bool_] | None,
                   limit: int, /) -> list[int]:
    """How many allowed rows hold each term."""

def keyword_length(segments: Sequence[Buffer], live: NDArray[np.bool_] | None, limit: int, /) -> float:
    """The allowed rows' weighted lengths summed."""

def keyword_best(segments: Sequence[Buffer], terms: Sequence[str], counts: Sequence[float], documents: float,
                 average_length: float, allowed: NDArray[np.bool_] | None, limit: int, k: int,
                 /) -> tuple[bytes, bytes]:
    """The best k allowed rows by BM25: (int64 rows, float64 scores) as bytes, best first."""

def fuse_convex(semantic: Buffer, keyword: Buffer, w_semantic: float, w_keyword: float,
                /) -> list[tuple[int, float, float, float]]:
    """The candidates (float64 scores of each side, NaN: none) fused, best first: (position, score, semantic part, keyword part)."""

def hashed_embed(texts: Sequence[str], dims: int, /) -> bytearray:
    """The hashed embedder's rows of texts, float32, as a bytearray of len(texts) * dims values."""

def document_checksums(ids: Sequence[str], rows: Sequence[int], titles: Sequence[str], texts: Sequence[str],
                       stamps: Sequence[str], metadata: Sequence[str | None], /) -> list[str]:
    """Each document's checksum (32 hex digits) as tarnexa.storage.checksums.digest gives it; stamps
are the timestamps' repr ('' for none), metadata a JSON text or None."""

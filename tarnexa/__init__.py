"""Semantic search over an embedding cache kept on disk, in this process or sharded over Dask workers."""

from typing import TYPE_CHECKING

from tarnexa._cache import Cache
from tarnexa._searcher import Searcher

if TYPE_CHECKING:
    from tarnexa._sharded import ShardedSearcher

__all__ = ["Cache", "Searcher", "ShardedSearcher"]


def __getattr__(name: str) -> object:
    # Dask is optional: only the sharded searcher needs it, so it is imported on first use.
    if name == "ShardedSearcher":
        from tarnexa._sharded import ShardedSearcher

        return ShardedSearcher
    raise AttributeError(f"module 'tarnexa' has no attribute {name!r}")

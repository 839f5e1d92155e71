"""Semantic search over an embedding cache kept on disk: texts in, a typed query and modifier
line acted on, results out; searched in this process or sharded over Dask workers."""

from typing import TYPE_CHECKING

from tarnexa.errors import CacheError, EmbedderError, MissingPackageError, ShardError, SourceError, TarnexaError
from tarnexa.index import Index
from tarnexa.search.searcher import Searcher
from tarnexa.storage.cache import Cache
from tarnexa.storage.docstore import Document
from tarnexa.text.embedders import HashedEmbedder
from tarnexa.text.query import Query
from tarnexa.search.results import Community, Explanation, Hit, Results

if TYPE_CHECKING:
    from tarnexa.search.sharded import ShardedSearcher

__version__ = "0.1.0"

__all__ = [
    "Cache", "CacheError", "Community", "Document", "EmbedderError", "Explanation", "HashedEmbedder", "Hit", "Index",
    "MissingPackageError", "Query", "Results",
    "Searcher", "ShardError", "ShardedSearcher", "SourceError", "TarnexaError", "__version__",
]


def __getattr__(name: str) -> object:
    # Dask is optional: only the sharded searcher needs it, so it is imported on first use.
    if name == "ShardedSearcher":
        from tarnexa.search.sharded import ShardedSearcher

        return ShardedSearcher
    raise AttributeError(f"module 'tarnexa' has no attribute {name!r}")

"""The holder of one shard: a row range of a cache, loaded once by a long-lived Dask actor on a
worker and searched there by the row searcher. Imports nothing from Dask."""

from __future__ import annotations

import os
import pickle
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tarnexa.errors import ShardError
from tarnexa.search.rows import RowSearcher
from tarnexa.storage.cache import Cache

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc


def cache_shape(path: str) -> tuple[int, int]:
    """Rows and dims of the cache at path, as a worker sees it."""
    cache = Cache.open(path)
    return len(cache), cache.dims


class ShardHolder:
    """Rows start to stop-1 of the cache at path. The matrix and timestamps stay memory-mapped
    (one copy in the page cache for every worker of a machine); the ids are read once, into the
    row searcher (see tarnexa.search.rows)."""

    def __init__(self, path: str, name: str, start: int, stop: int, dims: int) -> None:
        self.name = name
        try:
            cache = Cache.open(path)
            if cache.dims != dims or len(cache) < stop:
                raise ValueError(f"the cache at {path} here has {len(cache)} rows of {cache.dims} dims, "
                                 f"the searcher needs {stop} rows of {dims} dims")
            ts = cache.timestamps
            int8 = cache.int8
            cache.verify_matrix()
            self.searcher = RowSearcher(cache.vectors[start:stop], cache.read_ids(start, stop),
                                    None if ts is None else ts[start:stop],
                                    None if int8 is None else int8.slice(start, stop),
                                    check=lambda rows: cache.check_rows([start + r for r in rows]))
        except Exception as e:
            raise ShardError(f"{name} could not load on pid {os.getpid()}: {type(e).__name__}: {e}") from None
        self.vectors = self.searcher.vectors

    def search(self, query_vec: npt.NDArray[np.float32], kw: dict[str, Any],
               with_rows: bool) -> tuple[list[ScoredDoc], npt.NDArray[np.float32] | None]:
        """The shard's hits, and with with_rows the hits' rows of the matrix in hit order."""
        try:
            hits = self.searcher.search(query_vec, **kw)
        except (Exception, KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # an internal fault of the module: report it as an error
            raise ShardError(f"{self.name}: {type(e).__name__}: {e}") from None
        if not with_rows:
            return hits, None
        return hits, self.vectors[self.searcher.rows_of([h["id"] for h in hits])]

    def search_many(self, items: list[tuple[npt.NDArray[np.float32], dict[str, Any], bool]]
                    ) -> list[tuple[list[ScoredDoc], npt.NDArray[np.float32] | None]]:
        """search() for every (query, keywords, with_rows) item, in one pass over the shard."""
        try:
            found = self.searcher.search_many([(q, kw) for q, kw, _ in items])
        except (Exception, KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # an internal fault of the module: report it as an error
            raise ShardError(f"{self.name}: {type(e).__name__}: {e}") from None
        return [(hits, self.vectors[self.searcher.rows_of([h["id"] for h in hits])] if with_rows else None)
                for hits, (_, _, with_rows) in zip(found, items)]

    async def ask(self, request: bytes) -> bytes:
        """The coordinator's entry, called through the actor handle: request is (method, args)
        pickled, the answer is method(*args) pickled. One bytes object each way is what Dask's
        messaging sends with the least work, and no id or array has to fit its wire format.
        A coroutine, so Dask runs it on the worker's event loop instead of handing it to the
        actor's thread (the methods are short and never wait on I/O)."""
        method, args = pickle.loads(request)
        return pickle.dumps(getattr(self, method)(*args), protocol=pickle.HIGHEST_PROTOCOL)

    def rows(self, ids: list[str]) -> tuple[list[int], npt.NDArray[np.float32]]:
        """The places in ids of the ids this shard holds, and their rows."""
        rows = self.searcher.rows_of(ids)
        places = [i for i, r in enumerate(rows) if r >= 0]
        return places, self.vectors[[rows[i] for i in places]]

    def memory(self) -> dict[str, int]:
        """This worker's memory in kB from /proc: Rss, Pss, Private and Shared (file pages of the
        memory-mapped matrix count as Shared when other workers map them too)."""
        out: dict[str, int] = {}
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                key, _, rest = line.partition(":")
                if rest.strip().endswith("kB"):
                    out[key] = int(rest.split()[0])
        return {"pid": os.getpid(), "rss": out.get("Rss", 0), "pss": out.get("Pss", 0),
                "private": out.get("Private_Clean", 0) + out.get("Private_Dirty", 0),
                "shared": out.get("Shared_Clean", 0) + out.get("Shared_Dirty", 0)}

"""Search of a cache split into row ranges, each held by a Dask actor on a worker process.

Queries go straight from this process to the actors (no scheduler task per query); the
coordinator merges their answers so that the result is that of one score_candidates call on
the whole cache, up to the differences listed in the README ("Sharded semantics").
"""

from __future__ import annotations

import asyncio
import operator
import os
import pickle
import threading
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates
from distributed import Client, LocalCluster

from tarnexa.search.merge import diverse, like_query, merge
from tarnexa.search.searcher import check_keywords
from tarnexa.errors import ShardError
from tarnexa.search.shard import ShardHolder, cache_shape

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc as Hit

_LOAD_TIMEOUT = 120.0  # seconds to wait for a shard to load on a worker


@dataclass
class _Shard:
    name: str
    start: int
    stop: int
    # The future of the shard's holder (a Dask actor, kept alive on its worker by the
    # future) and the address of that worker; replaced as one when the shard is reloaded.
    holder: tuple[Any, str] | None = None


def _pack(request: tuple[Any, ...]) -> bytes:
    return pickle.dumps(request, protocol=pickle.HIGHEST_PROTOCOL)


async def _execute(client: Client, shard: _Shard, holder: tuple[Any, str] | None, request: bytes) -> Any:
    """The answer of the shard's holder to request (see ShardHolder.ask).

    The request goes straight to the holder's worker over the client's connections, to the
    worker's handler of actor calls (the one Dask's actor handles use), and runs there on the
    worker's event loop (the holder's methods are short and never wait on I/O), not handed
    to its actor thread. The request travels as one bytes object, not through an actor
    handle, which serialises every argument and keyword on its own: that cost about 0.5 ms
    per shard and query on a 2-core Xeon."""
    if holder is None or holder[0].status not in ("finished", "pending"):
        raise RuntimeError(f"the worker holding {shard.name} is lost")
    future, address = holder
    reply = await client.rpc(address).actor_execute(
        function="ask", actor=future.key, args=[request], kwargs={"separate_thread": False})
    if reply["status"] != "OK":
        error = reply.get("exception")
        raise error if isinstance(error, BaseException) else RuntimeError(str(reply.get("exception_text")))
    return pickle.loads(reply["result"])


async def _gather(client: Client, shards: list[_Shard], holders: list[tuple[Any, str] | None],
                  requests: list[bytes]) -> list[Any]:
    """The answers of every shard at once; a failed call gives its exception."""
    async def one(shard: _Shard, holder: tuple[Any, str] | None, request: bytes) -> Any:
        try:
            return await _execute(client, shard, holder, request)
        except Exception as e:
            return e

    return list(await asyncio.gather(*(one(*call) for call in zip(shards, holders, requests))))


class ShardedSearcher:
    """Searches the cache at path over Dask workers, one shard (row range) per worker by
    default. With client=None it runs an embedded LocalCluster, one single-threaded worker
    process per core, for the life of the searcher; use it as a context manager or call
    close(). Queries go from this process to the shard holders' workers directly, not
    through the scheduler, so this process must reach their addresses.
    """

    def __init__(self, path: str | os.PathLike[str], shards: int | None = None,
                 client: Client | None = None) -> None:
        self.path = os.path.abspath(path)
        self._cluster: LocalCluster | None = None
        self._replacing = threading.Lock()
        if client is None:
            self._cluster = LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1,
                                         processes=True, memory_limit=0,
                                         dashboard_address=":0")  # type: ignore[no-untyped-call]
            client = Client(self._cluster)  # type: ignore[no-untyped-call]
        self.client = client
        try:
            self._start(shards)
        except BaseException:
            self.close()
            raise

    def _start(self, shards: int | None) -> None:
        if shards is not None and shards < 1:
            raise ValueError(f"shards must be at least 1, got {shards}")
        workers = self._workers()
        self.rows, self.dims = self.client.submit(cache_shape, self.path, pure=False).result()
        count = min(shards or len(workers), self.rows)
        bounds = [self.rows * i // max(count, 1) for i in range(count + 1)]
        self.shards = [_Shard(f"shard {i} (rows {bounds[i]} to {bounds[i + 1] - 1})", bounds[i], bounds[i + 1])
                       for i in range(count)]
        loading = [self._load(shard, workers[i % len(workers)]) for i, shard in enumerate(self.shards)]
        for shard, future in zip(self.shards, loading):
            self._bind(shard, future)
        self._empty = np.zeros((0, self.dims), np.float32)
        self._one = np.zeros((1, self.dims), np.float32)

    def _workers(self) -> list[str]:
        workers = sorted(self.client.scheduler_info()["workers"])
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        return workers

    def _load(self, shard: _Shard, worker: str | None) -> Any:
        """Starts loading the shard on worker (on any worker if None); its future."""
        return self.client.submit(ShardHolder, self.path, shard.name, shard.start, shard.stop, self.dims,
                                  actor=True, workers=None if worker is None else [worker], pure=False)

    def _bind(self, shard: _Shard, future: Any) -> None:
        """Waits for the shard's holder to load and makes it the shard's. (The actor handle that
        the wait returns binds to the current client: with several clients in one process it
        must be ours.)"""
        with self.client.as_current():
            future.result(timeout=_LOAD_TIMEOUT)
        shard.holder = future, self.client.who_has([future])[future.key][0]  # type: ignore[no-untyped-call]

    # -- calls to every shard --

    def _ask(self, method: str, args: list[tuple[Any, ...]]) -> list[Any]:
        """ShardHolder.method(*args[i]) on every shard i at once; a shard whose worker is gone
        is loaded again on a live worker and asked once more. An args object that several
        shards share is pickled once."""
        packed: dict[int, bytes] = {}
        for a in args:
            if id(a) not in packed:
                packed[id(a)] = _pack((method, a))
        requests = [packed[id(a)] for a in args]
        holders = [shard.holder for shard in self.shards]
        answers: list[Any] = self.client.sync(  # type: ignore[no-untyped-call]
            _gather, self.client, self.shards, holders, requests)
        for i, (shard, answer) in enumerate(zip(self.shards, answers)):
            if isinstance(answer, ShardError):
                raise answer
            if isinstance(answer, Exception):
                answers[i] = self._ask_replacement(shard, holders[i], requests[i], answer)
        return answers

    def _ask_replacement(self, shard: _Shard, failed: tuple[Any, str] | None, request: bytes,
                         lost: Exception) -> Any:
        try:
            with self._replacing:  # queries in flight on other threads may have lost it too
                if shard.holder is failed:
                    if failed is not None:
                        self.client.cancel([failed[0]])  # type: ignore[no-untyped-call]
                    self._bind(shard, self._load(shard, None))
            return self.client.sync(  # type: ignore[no-untyped-call]
                _execute, self.client, shard, shard.holder, request)
        except ShardError:
            raise
        except Exception as e:
            raise ShardError(f"{shard.name} is lost ({type(lost).__name__}: {lost}) and could not be "
                             f"replaced ({type(e).__name__}: {e})") from e

    # -- search --

    def search(self, query_vec: npt.NDArray[np.float32], **kw: Any) -> list[Hit]:
        """score_candidates over the whole cache; kw as for Searcher.search."""
        check_keywords(kw)
        # The module's own errors for bad arguments: types and values on an empty cache, then
        # the query length and vector lengths on a one-row cache.
        score_candidates(self._empty, [], {}, query_vec, **kw)
        if not self.shards:
            return []
        vectors = {k: kw[k] for k in ("not_like_vec", "traj_from_vec", "traj_to_vec") if k in kw}
        score_candidates(self._one, ["-"], {"-": 0}, query_vec, limit=0, **vectors)
        kw = dict(kw)
        like_ids = kw.pop("like_ids", None)
        if like_ids is not None:
            like_ids = list(like_ids)
            found = self._ask("rows", [(like_ids,)] * len(self.shards))
            liked = sorted(((p, row) for places, rows in found for p, row in zip(places, rows)),
                           key=lambda pr: pr[0])
            if not liked:
                return []
            query_vec = like_query(query_vec, np.stack([row for _, row in liked]))
        if kw.get("pre_filter_ids") is not None:
            kw["pre_filter_ids"] = list(kw["pre_filter_ids"])
        limit = operator.index(kw.get("limit", 10))
        wide = bool(kw.get("diverse", False))
        if wide:
            kw["diverse"] = False
            kw["limit"] = operator.index(kw.get("oversample", 200))
        mask = kw.pop("mask", None)
        if mask is not None and len(mask) < self.rows:
            raise ValueError(f"mask has {len(mask)} entries, the cache has {self.rows} rows")
        args = ([(query_vec, kw, wide)] * len(self.shards) if mask is None else
                [(query_vec, dict(kw, mask=mask[s.start:s.stop]), wide) for s in self.shards])
        pool = merge(self._ask("search", args), kw.get("limit", 10))
        if not wide:
            return [h for h, _ in pool]
        return diverse(pool, limit, float(kw.get("mmr_lambda", 0.7)))

    def memory(self) -> list[dict[str, int]]:
        """Memory of the process holding each shard (kB, from /proc)."""
        return self._ask("memory", [()] * len(self.shards))

    # -- life --

    def close(self) -> None:
        for shard in getattr(self, "shards", []):
            shard.holder = None
        if self._cluster is not None:
            self.client.close()  # type: ignore[no-untyped-call]
            self._cluster.close()
            self._cluster = None

    def __enter__(self) -> ShardedSearcher:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

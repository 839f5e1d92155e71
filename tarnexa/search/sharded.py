"""Search of a cache split into row ranges, each held by a Dask actor on a worker process.

Queries go straight from this process to the actors through their handles (no scheduler task
per query, and no scheduler needed while the holders live); the coordinator merges their
answers so that the result is that of one score_candidates call on the whole cache, up to the
differences listed in docs/guide.md ("Sharded semantics"). Only Dask's documented API is used.
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
from urllib.parse import urlsplit

import numpy as np
import numpy.typing as npt
from _tarnexa import score_candidates
from distributed import Client, LocalCluster

from tarnexa.errors import ShardError
from tarnexa._constants import SCORING_DEFAULTS as _DEFAULTS
from tarnexa._constants import local_cluster_options
from tarnexa.search.checks import batch_items, check_arguments, mask_vector, query_vector
from tarnexa.search.merge import diverse, like_query, merge
from tarnexa.search.shard import ShardHolder, cache_shape

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

_LOAD_TIMEOUT = 120.0  # seconds to wait for a shard to load on a worker
_PROBE_AFTER = 1.0  # seconds after which a shard that has not answered has its worker probed
_PROBE_TIMEOUT = 1.0  # seconds a probe of a worker's address may take
_SCHEDULER_TIMEOUT = 2.5  # seconds the scheduler has to run a trivial task before a replacement


@dataclass(frozen=True)
class _Holder:
    """A loaded shard: the future that keeps its actor alive, the actor handle's ask method and
    the address of the worker that holds it."""
    future: Any
    ask: Any
    address: str


@dataclass
class _Shard:
    name: str
    start: int
    stop: int
    holder: _Holder | None = None  # replaced as one when the shard is reloaded


class _Lost(Exception):
    """A holder's worker cannot be reached."""


class _Slow(Exception):
    """A holder did not answer within the query's timeout."""


async def _reachable(address: str) -> bool:
    """Whether a TCP connection to the worker's address opens now (any address that is not
    TCP counts as reachable: the query's timeout covers it)."""
    parts = urlsplit(address)
    if parts.scheme not in ("tcp", "tls") or parts.hostname is None or parts.port is None:
        return True
    try:
        _, writer = await asyncio.wait_for(asyncio.open_connection(parts.hostname, parts.port), _PROBE_TIMEOUT)
    except (OSError, asyncio.TimeoutError):
        return False
    writer.close()
    return True


async def _collect(holders: list[_Holder], requests: list[bytes], timeout: float) -> list[Any]:
    """The answers of the holders to the requests, asked all at once from the client's event
    loop, in order; a failed call gives its exception, one whose worker no longer accepts
    connections _Lost (after _PROBE_AFTER), one still silent after timeout seconds _Slow."""
    tasks = [asyncio.ensure_future(h.ask(r)) for h, r in zip(holders, requests)]
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    _, pending = await asyncio.wait(tasks, timeout=min(_PROBE_AFTER, timeout))
    lost: dict[int, _Lost] = {}
    if pending:
        silent = [i for i, t in enumerate(tasks) if t in pending]
        alive = await asyncio.gather(*(_reachable(holders[i].address) for i in silent))
        for i, ok in zip(silent, alive):
            if not ok:
                lost[i] = _Lost(f"the worker at {holders[i].address} does not accept connections")
                tasks[i].cancel()
        rest = [tasks[i] for i, ok in zip(silent, alive) if ok]
        if rest:
            await asyncio.wait(rest, timeout=max(0.0, deadline - loop.time()))
    answers: list[Any] = []
    for i, t in enumerate(tasks):
        if i in lost:
            answers.append(lost[i])
        elif not t.done():
            t.cancel()
            answers.append(_Slow(f"no answer within {timeout:g} s"))
        elif t.exception() is not None:
            answers.append(t.exception())
        else:
            answers.append(pickle.loads(t.result()))
    return answers


class ShardedSearcher:
    """Searches the cache at path over Dask workers, one shard (row range) per worker by
    default.

    With client=None it runs a LocalCluster of its own for the life of the searcher: `workers`
    single-threaded worker processes (default: one per core). Use it as a context manager or
    call close(). Queries go from this process to the shard holders' workers directly, not
    through the scheduler (the searcher keeps a client of its own to the scheduler for that),
    so this process must reach their addresses; while the scheduler is away the live holders
    keep answering. `timeout` (seconds) bounds each query: a shard that has not answered by
    then, or whose worker cannot be reached and cannot be replaced, raises ShardError.
    """

    def __init__(self, path: str | os.PathLike[str], shards: int | None = None,
                 client: Client | None = None, *, workers: int | None = None,
                 timeout: float = 30.0) -> None:
        if client is not None and workers is not None:
            raise ValueError("workers is for the searcher's own cluster; pass client or workers, not both")
        if workers is not None and workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers}")
        if shards is not None and shards < 1:
            raise ValueError(f"shards must be at least 1, got {shards}")
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, got {timeout}")
        self._path = os.path.abspath(path)
        self._timeout = float(timeout)
        self._cluster: LocalCluster | None = None
        self._client: Client | None = None
        self._shards: list[_Shard] = []
        self._replacing = threading.Lock()
        try:
            if client is None:
                self._cluster = LocalCluster(**local_cluster_options(workers))  # type: ignore[no-untyped-call]
                address, security = self._cluster.scheduler_address, None
            else:
                address, security = client.scheduler_info()["address"], client.security
            # A client of our own, so that actor calls go to the workers directly whatever the
            # caller's client is set to; the caller's client is left as it is.
            self._client = Client(address, security=security, direct_to_workers=True,
                                  set_as_default=False)  # type: ignore[no-untyped-call]
            self._start(shards)
        except BaseException:
            self.close()
            raise

    def _start(self, shards: int | None) -> None:
        client = self._own_client()
        workers = sorted(client.scheduler_info()["workers"])
        if not workers:
            raise RuntimeError("the Dask cluster has no workers")
        self._rows, self._dims = client.submit(cache_shape, self._path, pure=False).result()
        count = min(shards or len(workers), self._rows)
        bounds = [self._rows * i // max(count, 1) for i in range(count + 1)]
        self._shards = [_Shard(f"shard {i} (rows {bounds[i]} to {bounds[i + 1] - 1})", bounds[i], bounds[i + 1])
                        for i in range(count)]
        loading = [self._load(shard, workers[i % len(workers)]) for i, shard in enumerate(self._shards)]
        for shard, future in zip(self._shards, loading):
            shard.holder = self._bind(future)
        self._empty = np.zeros((0, self._dims), np.float32)
        self._one = np.zeros((1, self._dims), np.float32)

    def _own_client(self) -> Client:
        if self._client is None:
            raise ShardError("the searcher is closed")
        return self._client

    def _load(self, shard: _Shard, worker: str | None) -> Any:
        """Starts loading the shard on worker (on any worker if None); its future."""
        return self._own_client().submit(ShardHolder, self._path, shard.name, shard.start, shard.stop, self._dims,
                                         actor=True, workers=None if worker is None else [worker], pure=False)

    def _bind(self, future: Any) -> _Holder:
        """Waits for a holder to load. (The actor handle that the wait returns binds to the
        current client: it must be ours.)"""
        client = self._own_client()
        with client.as_current():
            actor = future.result(timeout=_LOAD_TIMEOUT)
        address = client.who_has([future])[future.key][0]  # type: ignore[no-untyped-call]
        return _Holder(future, actor.ask, address)

    # -- calls to every shard --

    def _call(self, holders: list[_Holder | None], requests: list[bytes]) -> list[Any]:
        """ShardHolder.ask on every holder at once; each answer or the exception in its place."""
        client = self._own_client()
        live = [i for i, h in enumerate(holders) if h is not None]
        got = client.sync(_collect, [holders[i] for i in live], [requests[i] for i in live],
                          self._timeout)  # type: ignore[no-untyped-call]
        answers: list[Any] = [_Lost("the searcher has no holder for it")] * len(holders)
        for i, answer in zip(live, got):
            answers[i] = answer
        return answers

    def _ask(self, method: str, args: list[tuple[Any, ...]]) -> list[Any]:
        """ShardHolder.method(*args[i]) on every shard i at once; a shard whose worker is lost
        is loaded again on a live worker and asked once more. An args object that several
        shards share is pickled once."""
        packed: dict[int, bytes] = {}
        for a in args:
            if id(a) not in packed:
                packed[id(a)] = pickle.dumps((method, a), protocol=pickle.HIGHEST_PROTOCOL)
        requests = [packed[id(a)] for a in args]
        holders = [shard.holder for shard in self._shards]
        answers = self._call(holders, requests)
        for i, (shard, answer) in enumerate(zip(self._shards, answers)):
            if isinstance(answer, ShardError):
                raise answer
            if isinstance(answer, _Slow):
                raise ShardError(f"{shard.name}: {answer}")
            if isinstance(answer, Exception):
                answers[i] = self._ask_replacement(shard, holders[i], requests[i], answer)
        return answers

    def _ask_replacement(self, shard: _Shard, failed: _Holder | None, request: bytes, lost: Exception) -> Any:
        client = self._own_client()
        if not self._scheduler_answers(client):  # no one to place a replacement: fail now
            raise ShardError(f"{shard.name} is lost ({type(lost).__name__}: {lost}) and the scheduler is "
                             f"unreachable, so it cannot be replaced")
        try:
            with self._replacing:  # queries in flight on other threads may have lost it too
                if shard.holder is failed:
                    if failed is not None:
                        client.cancel([failed.future])  # type: ignore[no-untyped-call]
                    shard.holder = self._bind(self._load(shard, None))
            answer = self._call([shard.holder], [request])[0]
        except ShardError:
            raise
        except Exception as e:
            raise ShardError(f"{shard.name} is lost ({type(lost).__name__}: {lost}) and could not be "
                             f"replaced ({type(e).__name__}: {e})") from e
        if isinstance(answer, ShardError):
            raise answer
        if isinstance(answer, Exception):
            raise ShardError(f"{shard.name} is lost ({type(lost).__name__}: {lost}) and its replacement "
                             f"failed too ({type(answer).__name__}: {answer})")
        return answer

    @staticmethod
    def _scheduler_answers(client: Client) -> bool:
        """Whether the scheduler is connected and runs a trivial task within _SCHEDULER_TIMEOUT."""
        if client.status != "running":
            return False
        try:
            client.submit(operator.truth, 1, pure=False).result(timeout=_SCHEDULER_TIMEOUT)
        except Exception:
            return False
        return True

    # -- search --

    def search(self, query_vec: npt.ArrayLike, **kw: Any) -> list[ScoredDoc]:
        """score_candidates over the whole cache; query_vec and kw as for Searcher.search."""
        return self.search_many([{"query_vec": query_vec, **kw}])[0]

    def search_many(self, queries: Any, **kw: Any) -> list[list[ScoredDoc]]:
        """``[search(q, **kw_q) for q ...]`` with one call per shard for the whole batch;
        ``queries`` as for Searcher.search_many."""
        items = []
        for vec, k in batch_items(queries, kw):
            check_arguments(k)
            query = query_vector(vec)
            self._validate(query, k)
            items.append((query, k))
        if not self._shards:
            return [[] for _ in items]
        likes = [k.pop("like_ids", None) for _, k in items]
        blended = self._liked_queries([q for q, _ in items], [None if ids is None else list(ids) for ids in likes])
        asked = [i for i, q in enumerate(blended) if q is not None]
        out: list[list[ScoredDoc]] = [[] for _ in items]
        if not asked:
            return out
        wide = [bool(items[i][1].get("diverse", _DEFAULTS["diverse"])) for i in asked]
        slices: dict[int, list[Any]] = {}
        per_query = [self._shard_requests(blended[i], items[i][1], w, slices)  # type: ignore[arg-type]
                     for i, w in zip(asked, wide)]
        answers = self._ask("search_many", [([r[s] for r in per_query],) for s in range(len(self._shards))])
        for n, (i, w) in enumerate(zip(asked, wide)):
            kw_i = items[i][1]
            pool = merge([answer[n] for answer in answers], self._pool_size(kw_i, w))
            out[i] = [h for h, _ in pool] if not w else diverse(
                pool, operator.index(kw_i.get("limit", _DEFAULTS["limit"])),
                float(kw_i.get("mmr_lambda", _DEFAULTS["mmr_lambda"])))
        return out

    def _liked_queries(self, queries: list[npt.NDArray[np.float32]],
                       likes: list[list[str] | None]) -> list[npt.NDArray[np.float32] | None]:
        """Each query blended with its liked rows (one rows call per shard for all of them), as
        is where it names none, None where none of its ids is known."""
        wanted = [d for ids in likes if ids for d in ids]
        if not any(ids is not None for ids in likes):
            return list(queries)
        found = self._ask("rows", [(wanted,)] * len(self._shards)) if wanted else []
        row_at = dict(p_r for places, rows in found for p_r in zip(places, rows))
        out: list[npt.NDArray[np.float32] | None] = []
        start = 0
        for q, ids in zip(queries, likes):
            if ids is None:
                out.append(q)
                continue
            rows = [row_at[p] for p in range(start, start + len(ids)) if p in row_at]
            start += len(ids)
            out.append(like_query(q, np.stack(rows)) if rows else None)
        return out

    @staticmethod
    def _pool_size(kw: dict[str, Any], wide: bool) -> int:
        """How many hits each shard returns and the merge keeps: limit, or oversample for a
        diverse selection over the merged pool."""
        return operator.index(kw.get("oversample", _DEFAULTS["oversample"]) if wide else
                              kw.get("limit", _DEFAULTS["limit"]))

    def _shard_requests(self, query: npt.NDArray[np.float32], kw: dict[str, Any], wide: bool,
                        slices: dict[int, list[Any]] | None = None) -> list[tuple[Any, ...]]:
        """ShardHolder.search's arguments for every shard: the (blended) query, the keywords as
        one call on the shard takes them (its slice of the mask; with a diverse search, the
        plain best oversample rows) and whether to send the hits' rows back. slices keeps the
        shards' slices of each mask, so that queries of a batch sharing a mask share its slices
        (a pickle writes an object it holds twice once)."""
        kw = dict(kw)
        if kw.get("pre_filter_ids") is not None:
            kw["pre_filter_ids"] = list(kw["pre_filter_ids"])
        if wide:
            kw["diverse"] = False
            kw["limit"] = self._pool_size(kw, wide)
        mask = kw.pop("mask", None)
        if mask is None:
            return [(query, kw, wide)] * len(self._shards)  # one object: pickled once
        slices = {} if slices is None else slices
        if id(mask) not in slices:
            slices[id(mask)] = [mask, *(mask[s.start:s.stop] for s in self._shards)]  # the mask kept: its id stays its
        return [(query, dict(kw, mask=part), wide) for part in slices[id(mask)][1:]]

    def _validate(self, query_vec: npt.NDArray[np.float32], kw: dict[str, Any]) -> None:
        """The mask's length as every searcher checks it, then the module's own errors for bad
        arguments: types and values on an empty cache, the query length and vector lengths on
        a one-row cache."""
        mask_vector(kw, self._rows)
        score_candidates(self._empty, [], {}, query_vec, **kw)
        if not self._shards:
            return
        vectors = {k: kw[k] for k in ("not_like_vec", "traj_from_vec", "traj_to_vec") if k in kw}
        score_candidates(self._one, ["-"], {"-": 0}, query_vec, limit=0, **vectors)

    def memory(self) -> list[dict[str, int]]:
        """Memory of the process holding each shard (kB, from /proc)."""
        return self._ask("memory", [()] * len(self._shards))

    @property
    def shard_count(self) -> int:
        """The number of shards the cache is split into."""
        return len(self._shards)

    # -- life --

    def close(self) -> None:
        for shard in self._shards:
            shard.holder = None
        if self._client is not None:
            self._client.close()  # type: ignore[no-untyped-call]
            self._client = None
        if self._cluster is not None:
            self._cluster.close()
            self._cluster = None

    def __enter__(self) -> ShardedSearcher:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

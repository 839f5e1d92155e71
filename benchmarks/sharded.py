"""The sharded searcher against one in-process call, NumPy, FAISS and the all-core memory floor.

    bash scripts/bench-sharded.sh            # .venv with the bench extra, then the full run
    bash scripts/bench-sharded.sh --quick    # 200,000 rows, about a minute
    PYTHONPATH=.:build python benchmarks/sharded.py --rows 1000000   # a development build

One query, top 10, on caches of unit float32 rows (built once under build-bench/sharded/):

  in-process      Searcher.search: one score_candidates call on the memory-mapped matrix
  sharded, N w.   ShardedSearcher over a LocalCluster of N single-threaded worker processes,
                  one shard each, for N = 1 to the number of cores; all clusters live at once
  NumPy           s = m @ q; argpartition; argsort of the ten (default BLAS threads)
  FAISS           IndexFlatIP.search with its default threads, on its own copy of the matrix
  floor, 1 core   one streaming read of the matrix on one core (floor.cpp)
  floor, all      every core streaming its share of the matrix at once: what any multi-core
                  scan of the matrix is bound by

The calls alternate round by round, so load from elsewhere hits all of them alike; a ratio is
the median of per-round ratios. Then: queries per second with 1 to 8 queries in flight (threads
calling search) on one shard per core; the fan-out's own cost on a 10,000-row cache (sharded
minus in-process time); each worker's memory from /proc (the matrix pages are shared page
cache, not a worker's own). Nothing is asserted. A full run writes docs/benchmarks/sharded.md
and sharded.png; --quick writes to build-bench/sharded/.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import shlex
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import harness  # noqa: E402

ROOT = HERE.parent
DIMS = 384
BUILD = ROOT / "build-bench" / "sharded"


def build_cache(rows: int, dims: int, seed: int = 7) -> Path:
    """A cache of unit rows, made once in chunks (the matrix never sits in memory twice)."""
    import tarnexa

    path = BUILD / f"cache-{rows}x{dims}"
    if (path / "manifest.json").exists() and len(tarnexa.Cache.open(path)) == rows:
        return path
    if path.exists():
        import shutil
        shutil.rmtree(path)
    rng = np.random.default_rng(seed)
    chunk = 250_000
    cache = None
    for start in range(0, rows, chunk):
        m = rng.random((min(chunk, rows - start), dims), dtype=np.float32) - np.float32(0.5)
        m /= np.linalg.norm(m, axis=1, keepdims=True)
        ids = [f"doc-{i}" for i in range(start, start + len(m))]
        if cache is None:
            cache = tarnexa.Cache.create(path, m, ids)
        else:
            cache.append(m, ids)
    return path


class AllCoreFloor:
    """Every core reads its share of the matrix at once (ctypes releases the GIL)."""

    def __init__(self, floor: harness.Floor, m: np.ndarray, cores: int):
        bounds = [len(m) * i // cores for i in range(cores + 1)]
        self.readers = [floor.reader(m[a:b]) for a, b in zip(bounds, bounds[1:])]
        self.pool = ThreadPoolExecutor(cores)

    def __call__(self) -> None:
        for f in [self.pool.submit(r) for r in self.readers]:
            f.result()


def top10_numpy(m: np.ndarray, q: np.ndarray):
    s = m @ q
    idx = np.argpartition(s, len(s) - 10)[-10:]
    return idx[np.argsort(-s[idx])]


def throughput(search, queries: list[np.ndarray], in_flight: int, seconds: float) -> float:
    """Queries per second with in_flight threads calling search back to back."""
    done = [0] * in_flight
    stop = time.monotonic() + seconds

    def loop(k: int) -> None:
        i = k
        while time.monotonic() < stop:
            search(queries[i % len(queries)], limit=10)
            done[k] += 1
            i += in_flight

    start = time.monotonic()
    threads = [threading.Thread(target=loop, args=(k,)) for k in range(in_flight)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(done) / (time.monotonic() - start)


def run_size(rows: int, cores: int, reps: int, clients: dict, out: list[str], results: dict) -> None:
    import faiss
    import tarnexa

    path = build_cache(rows, DIMS)
    local = tarnexa.Searcher(path)
    m = local.cache.vectors
    rng = np.random.default_rng(rows)
    queries = [local.cache.vectors[i].copy() for i in rng.integers(0, rows, 16)]
    q = queries[0]
    sharded = {w: tarnexa.ShardedSearcher(path, shards=w, client=c) for w, c in clients.items()}
    floor = harness.load_floor()
    fns = {"in-process": lambda: local.search(q, limit=10)}
    fns.update({f"sharded, {w} worker{'s' * (w > 1)}": (lambda s=s: s.search(q, limit=10))
                for w, s in sharded.items()})
    fns["NumPy, default threads"] = lambda: top10_numpy(m, q)
    avail_gb = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") / 2**30
    index = None
    if avail_gb > 2.5 * m.nbytes / 2**30:
        index = faiss.IndexFlatIP(DIMS)
        index.add(np.ascontiguousarray(m))
        fns["FAISS IndexFlatIP, default threads"] = lambda: index.search(q[None], 10)
    else:
        out.append(f"FAISS left out at {rows:,} rows: {avail_gb:.1f} GiB available, its copy needs "
                   f"{m.nbytes / 2**30:.1f} GiB\n")
    fns["floor, 1 core"] = floor.reader(m)
    fns[f"floor, all {cores} cores"] = AllCoreFloor(floor, m, cores)
    pauses = {k: 0.05 for k in fns if k.startswith(("NumPy", "FAISS"))}
    for s in sharded.values():  # every holder reads its rows once before timing
        s.search(q, limit=10)
    uptime = Path("/proc/loadavg").read_text().split()[:3]
    samples = harness.measure(fns, reps=reps, warmup=2, pause_after=pauses)
    all_floor = samples[f"floor, all {cores} cores"]
    best = samples[f"sharded, {cores} worker{'s' * (cores > 1)}"]
    out.append(f"\n### {rows:,} x {DIMS} float32 ({m.nbytes / 1e9:.2f} GB), one query, top 10\n\n"
               f"CPU: {harness.cpu_model()}; load average before: {' '.join(uptime)}; {reps} rounds.\n\n"
               "| | median ms | / all-core floor | sharded on every core / this |\n|---|---|---|---|\n")
    for name, smp in samples.items():
        out.append(f"| {name} | {smp.median_ms:.1f} | {harness.paired_ratio(smp, all_floor):.2f} | "
                   f"{harness.paired_ratio(best, smp):.2f} |\n")
    results[rows] = {name: smp.median_ms for name, smp in samples.items()}
    bytes_per_query = m.nbytes
    out.append(f"\nAll-core floor: {bytes_per_query / all_floor.median_ms / 1e6:.1f} GB/s; one core: "
               f"{bytes_per_query / samples['floor, 1 core'].median_ms / 1e6:.1f} GB/s.\n")
    # Throughput on one shard per core.
    s = sharded[cores]
    floor_qps = 1000.0 / all_floor.median_ms
    out.append(f"\nQueries per second, {cores} workers, threads calling search back to back "
               f"(all-core floor's rate: {floor_qps:.1f}/s; CPU: {harness.cpu_model()}):\n\n"
               "| in flight | queries/s | / floor's rate |\n|---|---|---|\n")
    results[f"qps-{rows}"] = {}
    for k in (1, 2, 4, 8):
        qps = throughput(s.search, queries, k, seconds=max(3.0, 12 * all_floor.median_ms / 1000))
        results[f"qps-{rows}"][k] = qps
        out.append(f"| {k} | {qps:.1f} | {qps / floor_qps:.2f} |\n")
    out.append(f"\nMemory per worker after the queries (kB, /proc/PID/smaps_rollup; CPU: {harness.cpu_model()}); "
               f"the matrix is {m.nbytes / 1024:,.0f} kB:\n\n| shard | pid | Rss | Pss | Private | Shared |\n"
               "|---|---|---|---|---|---|\n")
    for i, mem in enumerate(s.memory()):
        out.append(f"| {i} | {mem['pid']} | {mem['rss']:,} | {mem['pss']:,} | {mem['private']:,} | "
                   f"{mem['shared']:,} |\n")
    for x in sharded.values():
        x.close()
    del index


def overhead(clients: dict, cores: int, reps: int, out: list[str]) -> None:
    import tarnexa

    path = build_cache(10_000, DIMS)
    local = tarnexa.Searcher(path)
    q = local.cache.vectors[5].copy()
    fns = {"in-process": lambda: local.search(q, limit=10)}
    for w, c in clients.items():
        s = tarnexa.ShardedSearcher(path, shards=w, client=c)
        fns[f"sharded, {w} worker{'s' * (w > 1)}"] = lambda s=s: s.search(q, limit=10)
    samples = harness.measure(fns, reps=reps * 5, warmup=5)
    base = samples["in-process"]
    out.append(f"\n### Fan-out overhead, 10,000 x {DIMS}, one query, top 10\n\nCPU: {harness.cpu_model()}.\n\n"
               "| | median ms | minus in-process, ms |\n|---|---|---|\n")
    for name, smp in samples.items():
        out.append(f"| {name} | {smp.median_ms:.2f} | {harness.paired_diff_ms(smp, base):.2f} |\n")


def plot(results: dict, cores: int, target: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [r for r in results if isinstance(r, int)]
    fig, axes = plt.subplots(1, len(sizes), figsize=(5.5 * len(sizes), 4), squeeze=False)
    for ax, rows in zip(axes[0], sizes):
        r = results[rows]
        workers = list(range(1, cores + 1))
        ax.plot(workers, [r[f"sharded, {w} worker{'s' * (w > 1)}"] for w in workers], "o-", label="sharded")
        for name, style in (("in-process", "--"), ("NumPy, default threads", ":"),
                            ("FAISS IndexFlatIP, default threads", "-."), (f"floor, all {cores} cores", "-")):
            if name in r:
                ax.axhline(r[name], linestyle=style, color="grey" if "floor" in name else None, label=name)
        ax.set_xticks(workers)
        ax.set_xlabel("workers (one shard each)")
        ax.set_ylabel("ms per query")
        ax.set_ylim(bottom=0)
        ax.set_title(f"{rows:,} x {DIMS}")
        ax.legend(fontsize=7)
    fig.suptitle(harness.cpu_model(), fontsize=9)
    fig.tight_layout()
    fig.savefig(target, dpi=90)


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", type=int, action="append", help="cache rows (repeatable; default 1,000,000 and 4,000,000)")
    p.add_argument("--quick", action="store_true", help="200,000 rows, fewer rounds, output in build-bench/sharded/")
    p.add_argument("--reps", type=int, default=15)
    p.add_argument("--out", type=Path)
    a = p.parse_args(argv)
    rows = a.rows or ([200_000] if a.quick else [1_000_000, 4_000_000])
    reps = 7 if a.quick else a.reps
    out_dir = a.out or (BUILD if a.quick or a.rows else ROOT / "docs" / "benchmarks")
    out_dir.mkdir(parents=True, exist_ok=True)
    import distributed
    import tarnexa

    cores = os.cpu_count() or 1
    command = os.environ.get("TARNEXA_BENCH_COMMAND", "python benchmarks/sharded.py " + shlex.join(argv or sys.argv[1:]))
    out = [f"# The sharded searcher\n\n`{command}` wrote this file ({time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}).\n\n"
           f"CPU: {harness.cpu_model()}, {cores} logical CPUs; Python {sys.version.split()[0]}; NumPy "
           f"{np.__version__}; Dask {distributed.__version__}; module {tarnexa.__file__}.\n"]
    harness.print_header(np, __import__("_tarnexa"), harness.load_floor())
    results: dict = {}
    with contextlib.ExitStack() as stack:
        clients = {}
        for w in range(1, cores + 1):
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=w, threads_per_worker=1, processes=True, memory_limit=0, dashboard_address=":0"))
            clients[w] = stack.enter_context(distributed.Client(cluster))
        overhead(clients, cores, reps, out)
        print("".join(out[-1:]), flush=True)
        for r in rows:
            n = len(out)
            run_size(r, cores, reps, clients, out, results)
            print("".join(out[n:]), flush=True)
    (out_dir / "sharded.md").write_text("".join(out))
    plot(results, cores, out_dir / "sharded.png")
    print(f"wrote {out_dir / 'sharded.md'} and {out_dir / 'sharded.png'}")


if __name__ == "__main__":
    main()

"""Many queries, one pass: per-query time against the batch size B, at every level, against the
one-core float32 read floor and NumPy batched, measured in the same run.

    PYTHONPATH=.:build python benchmarks/batch.py              # 1,000,000 x 384; writes docs/benchmarks/batch.md
    PYTHONPATH=.:build python benchmarks/batch.py --rows 200000 --out -   # a quick look

For B = 1, 4, 16, 64 and 256 queries (top 10), each timed as one call and reported per query:

  floor, 1 core          one streaming read of the float32 matrix on one core (floor.cpp)
  numpy, 1 thread        m @ Q (n x B) and argpartition + argsort of each column, one BLAS thread
  numpy, N threads       the same with the BLAS's default threads
  Searcher               tarnexa.Searcher.search_many over the cache (its int8 copy)
  sharded, 2 workers     tarnexa.ShardedSearcher.search_many, one single-threaded worker per core
  ... every mod.         each query with like_ids, a trajectory, not_like_vec, recent, a mask, a
                         threshold and diverse (oversample 200)

A ratio is the median over rounds of (call / floor of the same round) / B. The results of
search_many are checked against the queries searched one by one before timing. Nothing is
asserted. The BLAS figures run with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset (they slow a
current NumPy and are set on some machines here for older builds).
"""
from __future__ import annotations

import argparse
import os

os.environ.pop("OPENBLAS_CORETYPE", None)
os.environ.pop("OPENBLAS_L2_SIZE", None)

import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import harness  # noqa: E402
import sharded  # noqa: E402

import tarnexa  # noqa: E402

SIZES = (1, 4, 16, 64, 256)


def numpy_batched(m: np.ndarray, q: np.ndarray) -> list[np.ndarray]:
    s = m @ q.T
    top = np.argpartition(s, len(s) - 10, axis=0)[-10:]
    return [top[np.argsort(-s[top[:, j], j]), j] for j in range(q.shape[0])]


def every_modulation(rng: np.random.Generator, m: np.ndarray, n: int) -> dict:
    d = m.shape[1]
    return {"like_ids": ["doc-3", "doc-7"], "traj_from_vec": np.asarray(m[11]), "traj_to_vec": np.asarray(m[12]),
            "not_like_vec": rng.standard_normal(d, dtype=np.float32), "recent": True, "recent_days": 30.0,
            "mask": rng.random(n) < 0.95, "threshold": 0.02, "diverse": True, "oversample": 200}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--out", default=str(HERE.parent / "docs" / "benchmarks" / "batch.md"), help="'-' for stdout")
    args = ap.parse_args()
    from threadpoolctl import threadpool_limits
    import distributed

    floor = harness.load_floor()
    harness.print_header(np, tarnexa, floor)
    path = sharded.build_cache(args.rows, 384)
    here = tarnexa.Searcher(path)
    m = np.asarray(here.cache.vectors)
    ts = time.time() - np.random.default_rng(1).random(args.rows) * 3e7
    if here.cache.timestamps is None:  # recent needs timestamps: a dated copy of the cache, once
        dated = path.parent / (path.name + "-dated")
        if not tarnexa.Cache.exists(dated):
            tarnexa.Cache.create(dated, m, list(here.cache.ids), timestamps=ts)
        path, here = dated, tarnexa.Searcher(dated)
        m = np.asarray(here.cache.vectors)
    rng = np.random.default_rng(0)
    queries = rng.standard_normal((max(SIZES), 384), dtype=np.float32)
    every = every_modulation(rng, m, args.rows)
    cores = os.cpu_count() or 1
    rows = []
    with distributed.LocalCluster(n_workers=cores, threads_per_worker=1, processes=True, memory_limit=0,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client, \
            tarnexa.ShardedSearcher(path, shards=cores, client=client) as spread:
        for kw in ({}, every):  # checked before timing
            for s in (here, spread):
                assert s.search_many(queries[:9], **kw) == [s.search(q, **kw) for q in queries[:9]]
        for b in SIZES:
            q = queries[:b]
            fns = {"floor, 1 core": floor.reader(m),
                   "numpy, 1 thread": lambda q=q: _limited(threadpool_limits, 1, numpy_batched, m, q),
                   f"numpy, {cores} threads": lambda q=q: numpy_batched(m, q),
                   "Searcher": lambda q=q: here.search_many(q),
                   "Searcher, every mod.": lambda q=q: here.search_many(q, **every),
                   f"sharded, {cores} workers": lambda q=q: spread.search_many(q),
                   f"sharded, {cores} workers, every mod.": lambda q=q: spread.search_many(q, **every)}
            samples = harness.measure(fns, reps=args.reps, warmup=1, pause_after={f"numpy, {cores} threads": 0.2})
            fl = samples["floor, 1 core"]
            table = harness.Table(f"B = {b}: per query, ratios to the one-core float32 floor of the same rounds")
            for name, smp in samples.items():
                ratio = harness.paired_ratio(smp, fl) / (1 if name.startswith("floor") else b)
                table.add(name, smp, ratio=ratio, note=f"{smp.median_ms / b:.2f} ms a query")
                rows.append((b, name, smp.median_ms / (1 if name.startswith("floor") else b), ratio))
            table.print()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"CPU {harness.cpu_model()}, load average {load} at the end", file=sys.stderr)
    write(args, rows, load, cores)


def _limited(limits, threads, fn, *a):
    with limits(limits=threads):
        return fn(*a)


def write(args, rows, load, cores) -> None:
    names = list(dict.fromkeys(name for _, name, _, _ in rows))
    head = "| per query: ms (/ floor) | " + " | ".join(f"B = {b}" for b in SIZES) + " |"
    lines = ["# Many queries, one pass", "",
             f"`PYTHONPATH=.:build python benchmarks/batch.py{'' if args.rows == 1_000_000 else f' --rows {args.rows}'}` "
             f"wrote this file ({time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}).", "",
             f"CPU: {harness.cpu_model()}, {cores} logical CPUs, load average {load} at the end. "
             f"{args.rows:,} x 384 unit rows (a cache with its int8 copy), top 10. Each cell is one call's "
             "median time over B, and in brackets the median over rounds of (call / one-core float32 floor of "
             "the same round) / B (the floor's own cell: one read of the matrix).", "",
             head, "|---" * (len(SIZES) + 1) + "|"]
    for name in names:
        cells = {b: (ms, r) for b, n, ms, r in rows if n == name}
        lines.append(f"| {name} | " + " | ".join(f"{cells[b][0]:.2f} ({cells[b][1]:.3f})" for b in SIZES) + " |")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out != "-":
        Path(args.out).write_text(text)


if __name__ == "__main__":
    main()

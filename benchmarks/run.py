"""Runs every benchmark of _tarnexa and prints their tables.

    python benchmarks/run.py            # full size: 1,000,000 x 384 cache (a few minutes, ~5 GB RAM)
    python benchmarks/run.py --quick    # 100,000 rows, fewer rounds (well under a minute)

_tarnexa is imported from the environment: installed (scripts/bench.sh does that) or from a
build directory on PYTHONPATH. Times are medians of interleaved rounds after warm-up ("min" is
the fastest round); ratios are medians of per-round ratios; "iqr" is the interquartile range over
the median, and rows above 10% are marked noisy. Nothing is asserted: a missed target is
printed, and the exit status is 0 whenever the benchmarks ran.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SUITES = ("scoring", "mmr", "parse")


def parse_args(argv):
    p = argparse.ArgumentParser(description="Benchmarks of _tarnexa (score_candidates, mmr_select_py, "
                                            "parse_modifiers).")
    p.add_argument("--quick", action="store_true", help="100,000-row cache and fewer rounds")
    p.add_argument("--only", action="append", choices=SUITES, help="run only this suite (repeatable)")
    p.add_argument("--rows", type=int, help="rows of the scoring cache (default 1,000,000, --quick 100,000)")
    p.add_argument("--reps", type=int, help="timed rounds per measurement (default 11, --quick 7)")
    p.add_argument("--warmup", type=int, default=2, help="untimed rounds first (default 2)")
    p.add_argument("--detail", action="store_true",
                   help="also time each modulation alone and a column-strided matrix")
    p.add_argument("--blas-threads", type=int,
                   help="threads NumPy's BLAS may use (default: its own choice); 1 compares single cores")
    return p.parse_args(argv)


def main(argv=None):
    a = parse_args(argv)
    if a.blas_threads:
        # Must be set before NumPy loads its BLAS; child processes inherit it.
        for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
            os.environ[var] = str(a.blas_threads)

    import numpy as np
    try:
        import _tarnexa
    except ImportError as e:
        print(f"cannot import _tarnexa ({e}).\nInstall it (bash scripts/bench.sh does) or point PYTHONPATH "
              f"at a build directory, e.g. PYTHONPATH=build python benchmarks/run.py", file=sys.stderr)
        return 2

    import harness
    try:
        floor, floor_error = harness.load_floor(), None
    except Exception as e:
        floor, floor_error = None, str(e)
    harness.print_header(np, _tarnexa, floor, floor_error)

    suites = a.only or list(SUITES)
    reps = a.reps or (7 if a.quick else 11)
    tables = []
    started = time.perf_counter()

    if "scoring" in suites:
        import bench_scoring
        rows = a.rows or (100_000 if a.quick else 1_000_000)
        t = bench_scoring.run(rows=rows, reps=reps, warmup=a.warmup, detail=a.detail)
        t.print()
        tables.append(t)

    if "mmr" in suites:
        import bench_mmr
        t = bench_mmr.run(reps=reps, warmup=a.warmup)
        t.print()
        tables.append(t)

    if "parse" in suites:
        print("\n== parse_modifiers (benchmarks/bench_parse_modifiers.py)", flush=True)
        proc = subprocess.run([sys.executable, os.path.join(HERE, "bench_parse_modifiers.py")])
        if proc.returncode != 0:
            harness.note(f"bench_parse_modifiers.py exited with status {proc.returncode}")

    targets = [r for t in tables for r in t.rows if r.met is not None]
    missed = [r.name.strip() for r in targets if not r.met]
    print(f"\n{len(targets) - len(missed)} of {len(targets)} targets met"
          + (f"; missed: {'; '.join(missed)}" if missed else "")
          + f"  ({time.perf_counter() - started:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""What the cache's checksums cost: the check of a whole cache when a searcher first opens it (the
int8 copy and the matrix), the same open in a process that checked it before (only the rows
appended since are read), and the per-row check of each search's hits.

    PYTHONPATH=. python benchmarks/checksums.py --rows 1000000 --dims 384
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from tarnexa import Cache, Searcher
from tarnexa.storage import cache as cache_module

OPEN = """
import sys, time
from tarnexa import Searcher
from tarnexa.storage import cache
if sys.argv[2] == "unchecked":  # what the open costs without the checks of the matrix and codes
    cache.Cache.verify_matrix = lambda self: False
    check = cache.Cache._check_crc
    cache.Cache._check_crc = lambda self, col, f: col.name != "codes" and check(self, col, f)
t = time.perf_counter(); Searcher(sys.argv[1]); print(time.perf_counter() - t)
"""


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory(dir=".") as tmp:
        path = Path(tmp) / "c"
        chunk = 100_000
        for start in range(0, args.rows, chunk):
            m = rng.standard_normal((min(chunk, args.rows - start), args.dims)).astype(np.float32)
            ids = [f"doc{i}" for i in range(start, start + len(m))]
            if start == 0:
                cache = Cache.create(path, m, ids)
            else:
                cache.append(m, ids)
        Searcher(path)  # the files in the page cache: what is measured is the checking, not the disk
        fresh, unchecked = ([float(subprocess.run([sys.executable, "-c", OPEN, str(path), how], capture_output=True,
                                                  text=True, check=True).stdout) for _ in range(3)]
                            for how in ("checked", "unchecked"))
        t = time.perf_counter()
        Cache.open(path).verify_matrix()
        again = time.perf_counter() - t
        searcher = Searcher(path)
        queries = rng.standard_normal((args.queries, args.dims)).astype(np.float32)
        timings = {}
        for name, check in (("with the per-row check", searcher._rows._check), ("without", None)):
            searcher._rows._check = check
            t = time.perf_counter()
            for q in queries:
                searcher.search(q, limit=10)
            timings[name] = (time.perf_counter() - t) / len(queries)
        cache = searcher.cache
        hits = [int(h["id"][3:]) for h in searcher.search(queries[0], limit=10)]
        t = time.perf_counter()
        for _ in range(1000):
            cache.check_rows(hits)
        per_hit = (time.perf_counter() - t) / 1000 / len(hits)
    print(f"{args.rows} x {args.dims}: a searcher's first open in a new process (int8 copy and matrix "
          f"checked): {min(fresh):.3f} s; without those checks {min(unchecked):.3f} s (best of 3, files in the "
          f"page cache)")
    print(f"  the matrix checked again in the same process (nothing appended): {again * 1e3:.2f} ms")
    print(f"  the per-row check of a search's 10 hits: {per_hit * 10 * 1e6:.1f} us ({per_hit * 1e6:.2f} us a row)")
    for name, value in timings.items():
        print(f"  a search (limit 10) {name}: {value * 1e3:.3f} ms")
    print(f"  process memo entries: {len(cache_module._CHECKED)}")


if __name__ == "__main__":
    main()

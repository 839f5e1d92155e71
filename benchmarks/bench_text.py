"""What the text level costs on top of the scan: a search through tarnexa.Index against one
score_candidates call on the same rows, and the extra time of explain=True and of
local_communities, per search.

    .venv/bin/python benchmarks/bench_text.py                 # 10,000 and 200,000 rows x 384
    .venv/bin/python benchmarks/bench_text.py --rows 1000000  # any sizes

The index is built with a callable embedder that gives each text a fixed random unit vector
(so that building is quick and the figures are the search's, not an embedding model's).
Medians of --repeat searches, each line of modifiers in turn; the table goes to stdout and,
with --out, to a Markdown file.
"""

from __future__ import annotations

import argparse
import statistics
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np
from _tarnexa import score_candidates

import tarnexa

DIMS = 384


def embed(texts: list[str]) -> np.ndarray:
    out = np.empty((len(texts), DIMS), np.float32)
    for i, t in enumerate(texts):
        out[i] = np.random.default_rng(zlib.crc32(t.encode())).standard_normal(DIMS)
    return out


def cpu() -> str:
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown CPU"


def timed(fn, repeat: int) -> float:
    fn()
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, nargs="+", default=[10_000, 200_000])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--out", type=Path)
    args = parser.parse_args()
    lines = {"plain": "limit:10", "every modulation": "limit:10 recent:30 unlike:beta from: alpha to: gamma like:d7",
             "diverse": "limit:10 diverse"}
    rows_out = [f"CPU: {cpu()}; {args.repeat} searches per cell, median ms.", "",
                "| rows x 384 | line | score_candidates | Index.search | + explain | + local_communities |",
                "|---|---|---|---|---|---|"]
    for n in args.rows:
        with tempfile.TemporaryDirectory() as folder:
            idx = tarnexa.Index.create(Path(folder) / "ix", embedder=embed)
            texts = [f"document {i}" for i in range(n)]
            for start in range(0, n, 100_000):
                stop = min(n, start + 100_000)
                idx.add(texts[start:stop], ids=[f"d{i}" for i in range(start, stop)],
                        timestamps=[time.time() - 3600 * i for i in range(start, stop)])
            ids = [f"d{i}" for i in range(n)]
            m = idx.vectors(ids)
            id_to_idx = {d: i for i, d in enumerate(ids)}
            q = embed(["a query"])[0]
            q /= np.linalg.norm(q)
            for label, line in lines.items():
                direct = timed(lambda: score_candidates(m, ids, id_to_idx, q, limit=10), args.repeat)
                plain = timed(lambda: idx.search("a query", line), args.repeat)
                explained = timed(lambda: idx.search("a query", line, explain=True), args.repeat)
                grouped = timed(lambda: idx.search("a query", line + " local_communities"), args.repeat)
                rows_out.append(f"| {n:,} | {label} (`{line}`) | {direct:.1f} | {plain:.1f} | "
                                f"{explained - plain:+.1f} | {grouped - plain:+.1f} |")
                print(rows_out[-1], flush=True)
            idx.close()
    text = "\n".join(rows_out) + "\n"
    print(text)
    if args.out:
        args.out.write_text(text)


if __name__ == "__main__":
    main()

"""What the documents' checksums cost per search: each hit's document is checked against its
checksum when the store returns it. The same searches with and without that check, interleaved
query by query after a warm-up, on an index of --docs passages of 40-80 made-up words (the hashed
embedder, so no model is needed), built once under --folder and reused; then, on a copy without
checksums (as an older version wrote it), what its first open (which gives them) and a verify take.

    PYTHONPATH=. python benchmarks/store_checksums.py --docs 100000
"""

from __future__ import annotations

import argparse
import random
import shutil
import sqlite3
import statistics
import tempfile
import time
from pathlib import Path
from typing import Any

from tarnexa import Index
from tarnexa.storage import docstore


def build(path: Path, docs: int) -> None:
    rnd = random.Random(0)
    vocabulary = [f"w{i}" for i in range(20000)]
    weights = [1 / (i + 1) for i in range(len(vocabulary))]
    with Index.create(path, embedder="hashed:384") as idx:
        for start in range(0, docs, 10000):
            n = min(10000, docs - start)
            texts = [" ".join(rnd.choices(vocabulary, weights, k=rnd.randint(40, 80))) for _ in range(n)]
            idx.add(texts, [f"doc{start + i}.md#1" for i in range(n)], [f"Title {start + i}" for i in range(n)],
                    metadata=[{"group": (start + i) % 100} for i in range(n)])


def upgrade(path: Path) -> None:
    """The index as an older version wrote it (no checksums): what its first open and a verify take."""
    with tempfile.TemporaryDirectory() as tmp:
        copy = Path(tmp) / "older"
        shutil.copytree(path, copy)
        db = sqlite3.connect(copy / "docs.sqlite", isolation_level=None)
        db.execute("ALTER TABLE docs DROP COLUMN checksum")
        db.execute("DELETE FROM settings WHERE key = 'checksums'")
        db.close()
        t = time.perf_counter()
        with Index.open(copy) as idx:
            opened = time.perf_counter() - t
            t = time.perf_counter()
            idx.verify()
            print(f"written before checksums: the first open gives them in {opened:.2f} s; "
                  f"verify takes {time.perf_counter() - t:.2f} s")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=60)
    parser.add_argument("--folder", default="/tmp/tarnexa-store-checksums")
    args = parser.parse_args()
    path = Path(args.folder) / str(args.docs)
    if not Index.exists(path):
        build(path, args.docs)
    rnd = random.Random(1)
    queries = [" ".join(f"w{int(rnd.paretovariate(0.8)) % 20000}" for _ in range(rnd.randint(2, 5)))
               for _ in range(args.queries)]
    checked = docstore.DocStore._summed
    times: dict[tuple[str, bool], list[float]] = {}
    with Index.open(path) as idx:
        def run(q: str, mode: str, on: bool) -> float:
            docstore.DocStore._summed = checked if on else (lambda self: ("NULL", False))  # type: ignore[method-assign]
            t = time.perf_counter()
            idx.search(q, "limit:10", mode=mode)
            return time.perf_counter() - t

        for mode in ("semantic", "hybrid"):
            for q in queries[:5]:
                run(q, mode, True), run(q, mode, False)
            for q in queries:
                for on in (True, False) if rnd.random() < 0.5 else (False, True):
                    times.setdefault((mode, on), []).append(run(q, mode, on))
    docstore.DocStore._summed = checked  # type: ignore[method-assign]
    upgrade(path)
    out: dict[str, Any] = {}
    for mode in ("semantic", "hybrid"):
        on, off = times[mode, True], times[mode, False]
        ratio = statistics.median(a / b for a, b in zip(on, off))
        out[mode] = ratio
        print(f"{args.docs} documents, {mode:8}: median {statistics.median(off) * 1e3:7.2f} ms unchecked, "
              f"{statistics.median(on) * 1e3:7.2f} ms checked; median ratio {ratio:.3f} "
              f"({(ratio - 1) * 100:+.1f}%)")


if __name__ == "__main__":
    main()

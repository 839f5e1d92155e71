"""Bytes flipped and pages zeroed at many offsets of every file of a cache: each damaged copy is
opened and searched, and must either answer exactly as the intact cache does or raise.

    PYTHONPATH=. python fuzz/corruption_sweep.py                      # every 4 KiB page, 64 flips a file
    PYTHONPATH=. python fuzz/corruption_sweep.py --rows 20000 --flips 256 --seed 3

A damaged copy passes when opening it, reading its ids and timestamps, or one of its searches
raises CacheError (or another ValueError naming the damage), or when every search answers as
the intact cache does (damage to bytes nothing reads, such as the zero padding of a row of
codes). Anything else is a failure: a different result is silent corruption. Prints the counts
of both outcomes per file and exits 1 on any failure.
"""

from __future__ import annotations

import argparse
import random
import shutil
import sys
import tempfile
from collections import Counter
from pathlib import Path
from typing import Any

import numpy as np

from tarnexa import Cache, Searcher

PAGE = 4096


def make(path: Path, rows: int = 1200, dims: int = 18, seed: int = 0) -> list[tuple[np.ndarray, dict[str, Any]]]:
    """A cache at path (dims not a multiple of 4: its rows of codes carry padding) and the
    searches to run on it: plain, recent, a contrastive vector, diverse, and a search for each
    of a few rows' own vectors (the damage of a row shows at once in its own search)."""
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((rows, dims)).astype(np.float32)
    Cache.create(path, m[: rows // 2], [f"d{i}" for i in range(rows // 2)], 1.6e9 + rng.random(rows // 2) * 1e7)
    Cache.open(path).append(m[rows // 2 :], [f"d{i}" for i in range(rows // 2, rows)],
                            1.6e9 + rng.random(rows - rows // 2) * 1e7)
    q = rng.standard_normal((4, dims)).astype(np.float32)
    searches: list[tuple[np.ndarray, dict[str, Any]]] = [
        (q[0], {"limit": 10}), (q[1], {"limit": 5, "recent": True, "recent_days": 30.0}),
        (q[2], {"limit": 8, "not_like_vec": q[3]}), (q[3], {"limit": 6, "diverse": True})]
    searches += [(m[r], {"limit": 10}) for r in rng.choice(rows, 16, replace=False)]
    return searches


def outcome(path: Path, searches: list[tuple[np.ndarray, dict[str, Any]]]) -> Any:
    """Everything a user gets from the cache at path: its ids, timestamps and search results."""
    searcher = Searcher(path)
    cache = searcher.cache
    ts = cache.timestamps
    return (tuple(cache.ids), None if ts is None else ts.tobytes(),
            [searcher.search(q, **kw) for q, kw in searches], searcher.search_many([q for q, _ in searches]))


def damages(path: Path, flips: int, rnd: random.Random) -> list[tuple[str, str, int]]:
    """(file, how, offset): every 4 KiB page of each file zeroed, and bytes flipped at `flips`
    offsets of it (its first and last bytes among them)."""
    out = []
    for f in sorted(p.name for p in path.iterdir()):
        size = (path / f).stat().st_size
        out += [(f, "zero page", off) for off in range(0, size, PAGE)]
        offsets = {0, size - 1} | {rnd.randrange(size) for _ in range(max(0, flips - 2))}
        out += [(f, "flip byte", off) for off in sorted(o for o in offsets if o >= 0)]
    return out


def damage(path: Path, how: str, offset: int) -> None:
    with open(path, "r+b") as f:
        f.seek(offset)
        if how == "zero page":
            size = min(PAGE, path.stat().st_size - offset)
            f.write(b"\0" * size)
        else:
            byte = f.read(1)
            f.seek(offset)
            f.write(bytes([byte[0] ^ 0xFF]))


def sweep(work: Path, rows: int = 1200, flips: int = 64, seed: int = 0,
          limit: int | None = None) -> tuple[Counter[tuple[str, str]], list[str]]:
    """Counts of (file, outcome) over every damage, and the failures (described)."""
    base = work / "intact"
    searches = make(base, rows, seed=seed)
    want = outcome(base, searches)
    counts: Counter[tuple[str, str]] = Counter()
    failures = []
    cases = damages(base, flips, random.Random(seed))
    if limit is not None:
        cases = random.Random(seed).sample(cases, min(limit, len(cases)))
    for n, (name, how, offset) in enumerate(cases):
        copy = work / f"case{n}"
        shutil.copytree(base, copy)
        damage(copy / name, how, offset)
        try:
            got = outcome(copy, searches)
        except ValueError as e:  # CacheError among them
            counts[name, "raised"] += 1
            if not str(e):
                failures.append(f"{how} at {name}:{offset}: a ValueError without a message")
        except Exception as e:  # anything else is a fault
            failures.append(f"{how} at {name}:{offset}: {type(e).__name__}: {e}")
        else:
            if got == want:
                counts[name, "unchanged"] += 1
            else:
                counts[name, "changed"] += 1
                failures.append(f"{how} at {name}:{offset}: the results changed and nothing was raised")
        shutil.rmtree(copy)
    return counts, failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1200)
    parser.add_argument("--flips", type=int, default=64, help="bytes flipped per file")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        counts, failures = sweep(Path(tmp), args.rows, args.flips, args.seed)
    files = sorted({f for f, _ in counts})
    for f in files:
        print(f"{f:16} raised {counts[f, 'raised']:6}  unchanged {counts[f, 'unchanged']:6}  "
              f"changed {counts[f, 'changed']:4}")
    raised, same = sum(v for (_, k), v in counts.items() if k == "raised"), \
        sum(v for (_, k), v in counts.items() if k == "unchanged")
    print(f"damaged copies: {raised + same + len(failures)}  raised: {raised}  unchanged: {same}  "
          f"failures: {len(failures)}")
    return finish(failures)


def finish(failures: list[str]) -> int:
    """Prints the first 50 failures; the exit status: 1 if there is one."""
    for line in failures[:50]:
        print("  " + line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

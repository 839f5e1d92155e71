"""Several processes append to one cache while others open searchers on it and search, for a
bounded time; then every appended row must be there.

    PYTHONPATH=. python fuzz/cache_concurrency.py --seconds 60 --appenders 2 --readers 2

Every row's vector and timestamp follow from its id, so any row can be checked on its own.
Appenders add batches of 1 to 20 rows (ids a<w>-0, a<w>-1, ...) and, after each, record how many
rows they have committed. Readers loop: read those records, open a new Searcher, and check its
snapshot: as many ids as vector rows and timestamps, each sampled row (and the last) its own
id's vector and timestamp, each appender's rows a gapless prefix of its ids at least as long as
its record said (a new searcher sees every committed row), never fewer rows than the previous
snapshot; then five searches, on the new searcher and on one opened at the start (whose
snapshot never changes). At the end the cache holds exactly the first rows and every appended
one. Prints the counts; exit status 1 on any failed check.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

DIMS = 8


def vector(d: str) -> np.ndarray:
    v = np.random.default_rng(zlib.crc32(d.encode())).standard_normal(DIMS)
    return (v / np.linalg.norm(v)).astype(np.float32)


def stamp(d: str) -> float:
    return 1.6e9 + zlib.crc32(d.encode()) % 10**7


def batch(ids: list[str]) -> tuple[np.ndarray, list[str], np.ndarray]:
    return np.array([vector(d) for d in ids]), ids, np.array([stamp(d) for d in ids])


def appender(path: Path, w: int, deadline: float) -> dict:
    from tarnexa import Cache
    rng, cache, done, appends = random.Random(w), Cache.open(path), 0, 0
    while time.time() < deadline:
        k = rng.randint(1, 20)
        try:
            cache.append(*batch([f"a{w}-{j}" for j in range(done, done + k)]))
        except Exception as e:
            return {"appends": appends, "rows": done, "failures": [f"append: {type(e).__name__}: {e}"]}
        done, appends = done + k, appends + 1
        tmp = path.parent / f".progress-{w}.tmp"
        tmp.write_text(str(done))
        os.replace(tmp, path.parent / f"progress-{w}")
    return {"appends": appends, "rows": done, "failures": []}


def check(cache, committed: dict[int, int], rng: random.Random) -> list[str]:
    """What is wrong with a searcher's snapshot (nothing: [])."""
    ids, vecs, ts = cache.ids, cache.vectors, cache.timestamps
    n = len(cache)
    if not (len(ids) == vecs.shape[0] == ts.shape[0] == n):
        return [f"{len(ids)} ids, {vecs.shape[0]} vector rows, {ts.shape[0]} timestamps for {n} rows"]
    bad = []
    for i in rng.sample(range(n), min(n, 20)) + [n - 1]:
        if not (np.array_equal(vecs[i], vector(ids[i])) and ts[i] == stamp(ids[i])):
            bad.append(f"row {i} ({ids[i]!r}) is not its id's vector and timestamp")
    seen: dict[int, int] = {}
    for d in ids:
        if d.startswith("a"):
            w, j = map(int, d[1:].split("-"))
            if j != seen.get(w, 0):
                bad.append(f"{d!r} follows {seen.get(w, 0)} rows of appender {w}")
            seen[w] = j + 1
    for w, c in committed.items():
        if seen.get(w, 0) < c:
            bad.append(f"a new searcher sees {seen.get(w, 0)} rows of appender {w}, which had committed {c}")
    return bad[:5]


class Reader:
    def __init__(self, path: Path, r: int, appenders: int) -> None:
        from tarnexa import Searcher
        self.path, self.appenders, self.rng = path, appenders, random.Random(1000 + r)
        self.first = Searcher(path)  # its snapshot must never change
        self.first_n = len(self.first.cache)
        self.opened = self.searches = self.last_n = 0
        self.failures: list[str] = []

    def run(self, deadline: float) -> dict:
        while time.time() < deadline and len(self.failures) < 10:
            try:
                self.look()
            except Exception as e:  # any error of a reader is a failure too
                self.failures.append(f"{type(e).__name__}: {e}")
        return {"searchers": self.opened, "searches": self.searches, "failures": self.failures[:10]}

    def look(self) -> None:
        """One round: a new searcher, its snapshot checked, six searches."""
        from tarnexa import Searcher
        committed = {}
        for w in range(self.appenders):
            p = self.path.parent / f"progress-{w}"
            committed[w] = int(p.read_text()) if p.exists() else 0
        s = Searcher(self.path)
        self.opened += 1
        self.failures += check(s.cache, committed, self.rng)
        if len(s.cache) < self.last_n:
            self.failures.append(f"a new searcher has {len(s.cache)} rows, an earlier one had {self.last_n}")
        self.last_n = len(s.cache)
        for searcher in (s, self.first):
            q = self.rng.choice(searcher.cache.ids)
            for kw in ({"limit": 5}, {"recent": True, "limit": 5}, {"like_ids": [q], "limit": 3}):
                hits = searcher.search(vector(q), **kw)
                self.searches += 1
                if not {h["id"] for h in hits} <= set(searcher.cache.ids) or (kw == {"limit": 5} and hits[0]["id"] != q):
                    self.failures.append(f"search {kw} for {q!r} gave {hits[:2]}")
        if len(self.first.cache) != self.first_n:
            self.failures.append("a searcher's snapshot changed")


def run(seconds: float, appenders: int, readers: int) -> dict:
    from tarnexa import Cache
    with tempfile.TemporaryDirectory(prefix="cache-concurrency-") as tmp:
        path = Path(tmp) / "cache"
        Cache.create(path, *batch([f"base-{i}" for i in range(50)]))
        deadline = time.time() + 2 + seconds  # start-up included
        procs = [subprocess.Popen([sys.executable, __file__, "--role", role, str(i), str(deadline), str(path),
                                   str(appenders)], stdout=subprocess.PIPE, text=True)
                 for role, count in (("appender", appenders), ("reader", readers)) for i in range(count)]
        outs = [json.loads(p.communicate(timeout=seconds + 120)[0].splitlines()[-1]) for p in procs]
        final = Cache.open(path)
        written = {i: o["rows"] for i, o in enumerate(outs[:appenders])}
        want = [f"base-{i}" for i in range(50)] + [f"a{w}-{j}" for w, n in written.items() for j in range(n)]
        failures = [f for o in outs for f in o["failures"]]
        if sorted(final.ids) != sorted(want):
            failures.append(f"the cache holds {len(final)} rows, {len(want)} were committed")
        failures += check(final, written, random.Random(0))
        bad_rows = [d for d, v in zip(final.ids, final.vectors) if not np.array_equal(v, vector(d))]
        if bad_rows:
            failures.append(f"{len(bad_rows)} rows are not their id's vector, first {bad_rows[0]!r}")
        return {"seconds": seconds, "appenders": appenders, "readers": readers,
                "appends": sum(o["appends"] for o in outs[:appenders]), "rows appended": sum(written.values()),
                "searchers opened": sum(o["searchers"] for o in outs[appenders:]),
                "searches": sum(o["searches"] for o in outs[appenders:]), "final rows": len(final),
                "failures": failures}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--appenders", type=int, default=2)
    ap.add_argument("--readers", type=int, default=2)
    ap.add_argument("--role", nargs=5)
    a = ap.parse_args()
    if a.role:
        role, i, deadline, path, appenders = a.role
        out = (appender(Path(path), int(i), float(deadline)) if role == "appender"
               else Reader(Path(path), int(i), int(appenders)).run(float(deadline)))
        print(json.dumps(out))
        return 0
    result = run(a.seconds, a.appenders, a.readers)
    print(json.dumps(result, indent=1))
    return 1 if result["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())

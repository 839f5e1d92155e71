"""Resident memory over 100,000 mixed calls, in a child process: results, every kind of conversion
error, the query-length ValueError and internal faults, in turn."""
import os
import subprocess
import sys
import textwrap

import pytest

import _tarnexa

CHILD = textwrap.dedent(r"""
    import os, sys, gc
    import numpy as np
    import _tarnexa
    sc, mmr, pm = _tarnexa.score_candidates, _tarnexa.mmr_select_py, _tarnexa.parse_modifiers

    class Text(str): pass
    class Idx:
        def __init__(self, v): self.v = v
        def __index__(self): return self.v
    class Flt:
        def __float__(self): return 0.25
    class Boom(Exception): pass
    class Raising:
        def __index__(self): raise Boom("no")
    class Chained:
        def __index__(self): raise TypeError("no") from KeyError("k")
    class Seq:
        def __init__(self, items): self.items = items
        def __len__(self): return len(self.items)
        def __getitem__(self, i): return self.items[i]

    rng = np.random.default_rng(1)
    n, d = 200, 16
    m = rng.standard_normal((n, d)).astype(np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    odd = np.ndarray((n, d), np.float32, buffer=np.zeros(n * d * 4 + 8, np.uint8), offset=1)
    odd[...] = m
    ids = [f"doc{i}" for i in range(n)]
    tids = [Text(s) for s in ids]
    idx = {s: i for i, s in enumerate(ids)}
    q = m[3].copy()
    sims = rng.random(n).astype(np.float32)
    full = dict(timestamps=np.full(n, 1.0e9), pre_filter_ids=ids[::3], not_like_vec=m[5].copy(), diverse=True,
                limit=Idx(8), oversample=40, threshold=Flt(), mmr_lambda=0.6, recent=np.bool_(True),
                recent_days=7.0, like_ids=["doc1", "nope"], traj_from_vec=m[1].copy(), traj_to_vec=m[2].copy(),
                mask=np.arange(n) % 4 != 0)

    def grow():
        dd = {"a": 0}
        class G:
            def __index__(self):
                dd[f"k{len(dd)}"] = 1
                return 0
        dd["b"] = G()
        return dd

    calls = [
        lambda: sc(m, ids, idx, q),
        lambda: sc(odd, tids, {Text(k): Idx(v) for k, v in list(idx.items())[:50]}, q, **full),
        lambda: sc(m.T.copy().T, Seq(ids), idx, q, diverse=True, limit=0),
        lambda: mmr(list(range(0, n, 7)), sims, m, 10, 0.5),
        lambda: mmr(np.arange(20), sims[::-1], odd, Idx(5), Flt()),
        lambda: pm("from: new york to: boston recent:7 like:a,b unlike:c limit:5 diverse"),
        lambda: pm(Text("recent:-3 local_communities")),
        lambda: sc(m.astype(np.float64), ids, idx, q),            # array kind
        lambda: sc(m, set(ids), idx, q),                          # not a sequence
        lambda: sc(m, "doc1", idx, q),                            # a str
        lambda: sc(m, ids[:5] + [5], idx, q),                     # item not a str
        lambda: sc(m, ids, list(idx), q),                         # not a dict
        lambda: sc(m, ids, idx, q, diverse=1),                    # not a bool
        lambda: sc(m, ids, idx, q, limit=-1),                     # OverflowError
        lambda: sc(m, ids, idx, q, threshold="x"),                # not a float
        lambda: sc(m, ids, idx, q, oversample=Chained()),         # prefixed, with a cause
        lambda: sc(m, ids, idx, q, limit=Raising()),              # the object's own exception
        lambda: sc(m, ids + ["\ud800"], idx, q),                  # UnicodeEncodeError
        lambda: pm(b"x"),
        lambda: sc(m, ids, idx, q, nope=1),                       # binding
        lambda: mmr([1], sims, m, 1),                             # binding
        lambda: sc(m, ids, idx, q[:5]),                           # ValueError
        lambda: sc(m, ids, {"doc1": 10**6}, q, like_ids=["doc1"]),  # internal fault
        lambda: mmr([0, n], sims, m, 2, 0.5),                     # internal fault
        lambda: sc(m, ids, grow(), q),                            # dict changed: internal fault
    ]

    def rss():
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    outcomes = []
    marks = {}
    for i in range(100_000):
        try:
            calls[i % len(calls)]()
            outcome = "result"
        except BaseException as e:
            outcome = type(e).__name__
        if i < len(calls):
            outcomes.append(outcome)
        if i + 1 in (20_000, 100_000):
            marks[i + 1] = rss()
    print(" ".join(outcomes))
    print(marks[20_000], marks[100_000])
""")


EXPECTED = ["result"] * 7 + ["TypeError"] * 6 + ["OverflowError", "TypeError", "TypeError", "Boom"] + \
    ["UnicodeEncodeError"] + ["TypeError"] * 3 + ["ValueError"] + ["PanicException"] * 3


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds on to freed memory")
def test_resident_memory_flat_over_100000_calls():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(_tarnexa.__file__), *sys.path]))
    r = subprocess.run([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                       env=env, timeout=300)
    assert r.returncode == 0, r.stdout
    outcomes, marks = r.stdout.splitlines()
    assert outcomes.split() == EXPECTED
    at_20k, at_100k = map(int, marks.split())
    assert at_100k - at_20k < 10 * 2**20, (at_20k, at_100k)

"""score_candidates on a large cache: against the memory floor, NumPy and itself with options on.

Run: python benchmarks/bench_scoring.py [--rows N] [--reps N] [--quick] [--detail]
(normally through benchmarks/run.py). Prints one table; never asserts a time.

The cache is a rows x 384 float32 matrix of unit rows, an `ids` list of str and an `id_to_idx`
dict, built once. It comes in two variants: "ordered", whose id strings were allocated in row
order (so walking the dict walks memory forwards), and "scattered", whose id strings were
allocated in a shuffled order (the dict is still filled in row order, so its keys point all over
the heap, as in a cache that grew over time).

The time of a default call is split by differential timing:
  conversions  a call whose query has the wrong length: it raises ValueError right after all
               four conversions (matrix, ids, id_to_idx, query);
               ids alone: a call with id_to_idx=None (TypeError after matrix and ids);
               id_to_idx: a call with query_vec=None minus the call above
  scan         a call with limit=0 (conversions and the scan, nothing can enter the pool)
               minus the conversions
  selection    the default call minus the limit=0 call, minus the result estimate
  result       building the same ten result dicts in Python (an upper bound of the native cost)

Every other comparison is timed in a group of its own, its two calls alternating round by round.
pre_filter_ids names 1% of the rows, drawn at random and listed in random order.
"""
from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

DIMS = 384
WIDE = 512  # the larger matrix whose first DIMS columns make the non-contiguous view
LIMIT = 10
NUMPY_PAUSE = 0.2  # seconds of rest after each call of the NumPy group (see harness.measure)


def unit_rows(np, rng, rows, dims, chunk=65536):
    m = rng.standard_normal((rows, dims), dtype=np.float32)
    for i in range(0, rows, chunk):
        blk = m[i:i + chunk]
        blk /= np.linalg.norm(blk, axis=1, keepdims=True)
    return m


def unit(np, v):
    v = np.asarray(v, dtype=np.float32)
    return (v / np.linalg.norm(v)).astype(np.float32)


def make_ids(rng, rows, scattered):
    """Ids in row order; with scattered, the str objects are created in a shuffled order."""
    if not scattered:
        ids = [f"doc-{i:08d}" for i in range(rows)]
    else:
        ids = [None] * rows
        for j in rng.permutation(rows).tolist():
            ids[j] = f"doc-{j:08d}"
    return ids, {s: i for i, s in enumerate(ids)}


def try_call(label, fn, expect=None):
    """Runs fn once; returns (ok, value). expect: an exception type the call must raise."""
    try:
        value = fn()
    except BaseException as e:  # PanicException derives from BaseException
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        if expect is not None and isinstance(e, expect):
            return True, e
        harness.note(f"{label}: {type(e).__name__}: {e} (left out)")
        return False, e
    if expect is not None:
        harness.note(f"{label}: expected {expect.__name__}, got a result (left out)")
        return False, value
    return True, value


def result_estimate_ms(result, reps=2000):
    """Time to build the same list of {"id", "score"} dicts in Python, per call (best of 5)."""
    pairs = [(r["id"], r["score"]) for r in result]

    def build():
        return [{"id": i, "score": round(s, 4)} for i, s in pairs]

    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter_ns()
        for _ in range(reps):
            build()
        best = min(best, (time.perf_counter_ns() - t0) / reps)
    return best / 1e6


def check_same_top(np, label, result, id_to_idx, scores, k):
    """Warns when the module's top rows differ from the exact top k of `scores` (ties aside)."""
    got = [id_to_idx[r["id"]] for r in result]
    order = np.argsort(-scores)[:k]
    if got == order.tolist():
        return
    kth = float(scores[order[-1]])
    if len(got) == k and all(abs(float(scores[g]) - s) < 1e-5 for g, s in zip(got, scores[order])) and \
            all(float(scores[g]) >= kth - 1e-5 for g in got):
        return  # equal scores in another order
    harness.note(f"{label}: top {k} rows differ from NumPy's: {got[:5]}... vs {order[:5].tolist()}...")


def split_rows(table, prefix, s, default, result_ms):
    """Adds the conversions / scan / selection / result rows for one variant."""
    d = s[default]
    call = d.median_ms

    def share(ms):
        return ms / call if call else None

    if "conv" in s:
        conv = s["conv"].median_ms
        table.add(f"{prefix}  conversions (matrix, ids, id_to_idx, query)", s["conv"], ratio=share(conv),
                  note="share of call")
        if "conv_ids" in s:
            table.add(f"{prefix}    ids list (with matrix)", s["conv_ids"], ratio=share(s["conv_ids"].median_ms))
            if "conv_dict" in s:
                dm = harness.paired_diff_ms(s["conv_dict"], s["conv_ids"])
                table.add(f"{prefix}    id_to_idx dict", ms=dm, ratio=share(dm))
        if "limit0" in s:
            scan = harness.paired_diff_ms(s["limit0"], s["conv"])
            floor_note = ""
            if "floor" in s:
                floor_note = f"{scan / s['floor'].median_ms:.2f}x the floor"
            table.add(f"{prefix}  scan (limit=0 call - conversions)", ms=scan, ratio=share(scan), note=floor_note)
    if "limit0" in s:
        sel = harness.paired_diff_ms(d, s["limit0"]) - result_ms
        table.add(f"{prefix}  selection (default - limit=0 - result)", ms=sel, ratio=share(sel))
    table.add(f"{prefix}  result (est.: same dicts built in Python)", ms=result_ms, ratio=share(result_ms))


def run(rows=1_000_000, reps=11, warmup=2, detail=False, seed=12345):
    import numpy as np
    import _tarnexa

    sc = _tarnexa.score_candidates
    rng = np.random.default_rng(seed)
    table = harness.Table(f"score_candidates, {rows:,} x {DIMS} float32, limit {LIMIT}, "
                          f"median of {reps} after {warmup} warm-up rounds")
    try:
        floor = harness.load_floor()
    except Exception as e:
        floor = None
        harness.note(f"memory floor unavailable: {e}")

    t0 = time.perf_counter()
    m = unit_rows(np, rng, rows, DIMS)
    q = unit(np, m[rows // 3] + 0.5 * unit(np, rng.standard_normal(DIMS)))
    q_bad = q[:-1].copy()
    ids, id_to_idx = make_ids(rng, rows, scattered=False)
    ids_s, id_to_idx_s = make_ids(rng, rows, scattered=True)
    now = time.time()
    mods = dict(
        like_ids=[ids[i] for i in rng.choice(rows, 5, replace=False).tolist()],
        traj_from_vec=unit(np, rng.standard_normal(DIMS)),
        traj_to_vec=unit(np, rng.standard_normal(DIMS)),
        not_like_vec=unit(np, rng.standard_normal(DIMS)),
        mask=rng.random(rows) < 0.9,
        threshold=0.05,
        recent=True, recent_days=30.0,
        timestamps=now - rng.uniform(0, 365 * 86400.0, rows),
    )
    pre = [ids[i] for i in rng.choice(rows, max(1, rows // 100), replace=False).tolist()]
    print(f"  (cache of {rows:,} rows built in {time.perf_counter() - t0:.1f} s)", flush=True)

    def numpy_top():
        s = m @ q
        top = np.argpartition(-s, LIMIT)[:LIMIT]
        return top[np.argsort(-s[top])]

    # ---- sanity checks (correctness, not speed) ----
    ok, default_result = try_call("default call", lambda: sc(m, ids, id_to_idx, q))
    if not ok:
        harness.note("the default call fails; nothing to measure")
        return table
    check_same_top(np, "default call", default_result, id_to_idx, m @ q, LIMIT)
    ok_np, top = try_call("numpy", numpy_top)
    if ok_np and [id_to_idx[r["id"]] for r in default_result] != top.tolist():
        check_same_top(np, "numpy equivalent", [{"id": ids[i]} for i in top.tolist()], id_to_idx, m @ q, LIMIT)

    def split_group(d, i, tag):
        """The calls that split one variant's default call, ordered so that every difference taken
        is between neighbours in a round."""
        fns = {}
        if floor is not None:
            fns["floor"] = floor.reader(m)
        fns[f"default{tag}"] = lambda: sc(m, i, d, q)
        if try_call("limit=0", lambda: sc(m, i, d, q, limit=0))[0]:
            fns[f"limit0{tag}"] = lambda: sc(m, i, d, q, limit=0)
        if try_call("wrong-length query", lambda: sc(m, i, d, q_bad), ValueError)[0]:
            fns[f"conv{tag}"] = harness.raises(lambda: sc(m, i, d, q_bad), ValueError)
        if try_call("query_vec=None", lambda: sc(m, i, d, None), TypeError)[0]:
            fns[f"conv_dict{tag}"] = harness.raises(lambda: sc(m, i, d, None), TypeError)
        if try_call("id_to_idx=None", lambda: sc(m, i, None, q), TypeError)[0]:
            fns[f"conv_ids{tag}"] = harness.raises(lambda: sc(m, i, None, q), TypeError)
        return fns

    def default():
        return sc(m, ids, id_to_idx, q)

    def versus(name, fn, base=default, pause=None):
        """Times fn against base in a group of their own; None when fn fails."""
        ok, value = try_call(name, fn)
        if not ok:
            return None, None
        g = harness.measure({"base": base, name: fn}, reps, warmup, pause_after=pause)
        return g, value

    result_ms = result_estimate_ms(default_result)

    # ---- (1) the ordered cache against the floor, split ----
    s = harness.measure(split_group(id_to_idx, ids, ""), reps, warmup)
    d = s["default"]
    if "floor" in s:
        table.add("memory floor: one SIMD read of the matrix", s["floor"],
                  note=f"{m.nbytes / s['floor'].median_ms / 1e6:.1f} GB/s")
        r = harness.paired_ratio(d, s["floor"])
        table.add("(1) default call / memory floor", d, ratio=r, target="<= 1.30", met=r <= 1.30)
    else:
        table.add("(1) default call (no floor to compare with)", d)
    split_rows(table, "   ", s, "default", result_ms)

    # ---- (1') the scattered cache ----
    s = harness.measure(split_group(id_to_idx_s, ids_s, "_s"), reps, warmup)
    ds = s["default_s"]
    ren = {k[:-2] if k.endswith("_s") else k: v for k, v in s.items()}
    if "floor" in s:
        r = harness.paired_ratio(ds, s["floor"])
        table.add("(1') scattered ids: default call / floor", ds, ratio=r, target="<= 1.30", met=r <= 1.30)
    else:
        table.add("(1') scattered ids: default call", ds)
    split_rows(table, "   ", ren, "default", result_ms)
    del s, ren, ids_s, id_to_idx_s
    gc.collect()

    # ---- (2) NumPy; BLAS threads left spinning after a product would disturb the next call ----
    g, _ = versus("numpy", numpy_top, pause=dict(base=NUMPY_PAUSE, numpy=NUMPY_PAUSE))
    if g:
        table.add("    NumPy: m @ q, argpartition, argsort", g["numpy"])
        r = harness.paired_ratio(g["base"], g["numpy"])
        table.add("(2) default call / NumPy equivalent", g["base"], ratio=r, target="< 1.00", met=r < 1.0)

    # ---- (3) every modulation ----
    g, _ = versus("mods", lambda: sc(m, ids, id_to_idx, q, **mods))
    if g:
        r = harness.paired_ratio(g["mods"], g["base"])
        table.add("(3) every modulation on / default", g["mods"], ratio=r, target="<= 1.30", met=r <= 1.30)

    # ---- (5) pre-filter of 1% ----
    g, _ = versus("prefilter", lambda: sc(m, ids, id_to_idx, q, pre_filter_ids=pre))
    if g:
        r = harness.paired_ratio(g["prefilter"], g["base"])
        table.add(f"(5) pre_filter_ids of {len(pre):,} rows / default", g["prefilter"], ratio=r,
                  target="<= 0.25", met=r <= 0.25)

    # ---- (6) limit 200: what selection and result add to the limit=0 call ----
    if try_call("limit=0", lambda: sc(m, ids, id_to_idx, q, limit=0))[0]:
        g, _ = versus("limit200", lambda: sc(m, ids, id_to_idx, q, limit=200),
                      base=lambda: sc(m, ids, id_to_idx, q, limit=0))
        if g:
            share = statistics.median((a - b) / a for a, b in zip(g["limit200"].ns, g["base"].ns))
            table.add("(6) limit=200: (selection + result) share", g["limit200"], ratio=share,
                      target="< 0.05", met=share < 0.05, note="(limit200 - limit0) / limit200")

    # ---- (7) the diverse branch ----
    g, value = versus("diverse", lambda: sc(m, ids, id_to_idx, q, diverse=True))
    if g:
        if len(value) != LIMIT:
            harness.note(f"diverse call returned {len(value)} results")
        r = harness.paired_ratio(g["diverse"], g["base"])
        table.add("(7) diverse=True (pool 200) / default", g["diverse"], ratio=r, target="< 1.10", met=r < 1.10)
    del g

    # ---- (4) a column-sliced view of a wider matrix ----
    big = np.empty((rows, WIDE), dtype=np.float32)
    big[:, :DIMS] = m
    big[:, DIMS:] = 0.0
    view = big[:, :DIMS]
    ok, vres = try_call("column-sliced view", lambda: sc(view, ids, id_to_idx, q))
    if ok:
        if [r["id"] for r in vres] != [r["id"] for r in default_result]:
            harness.note("the view gives another result than the contiguous matrix")
        fns = {"contig": lambda: sc(m, ids, id_to_idx, q), "view": lambda: sc(view, ids, id_to_idx, q)}
        if floor is not None:
            fns["floor_view"] = floor.reader(view)
        s = harness.measure(fns, reps, warmup)
        r = harness.paired_ratio(s["view"], s["contig"])
        table.add(f"(4) big[:, :{DIMS}] of {rows:,} x {WIDE} / contiguous", s["view"], ratio=r,
                  target="<= 2.00", met=r <= 2.0)
        table.add("    contiguous call (same rounds)", s["contig"])
        if "floor_view" in s:
            table.add("    memory floor of the view", s["floor_view"],
                      ratio=harness.paired_ratio(s["view"], s["floor_view"]), note="view call / its floor")
        del s, fns
    del big, view
    gc.collect()

    # ---- optional: each modulation alone, and columns that are not contiguous ----
    if detail:
        singles = {
            "like_ids (5)": dict(like_ids=mods["like_ids"]),
            "trajectory": dict(traj_from_vec=mods["traj_from_vec"], traj_to_vec=mods["traj_to_vec"]),
            "not_like_vec": dict(not_like_vec=mods["not_like_vec"]),
            "mask": dict(mask=mods["mask"]),
            "threshold": dict(threshold=mods["threshold"]),
            "recent + timestamps": dict(recent=True, recent_days=30.0, timestamps=mods["timestamps"]),
        }
        for name, kw in singles.items():
            g, _ = versus(name, lambda kw=kw: sc(m, ids, id_to_idx, q, **kw))
            if g:
                table.add(f"    detail: {name} / default", g[name], ratio=harness.paired_ratio(g[name], g["base"]))
        rev = m[:, ::-1]
        q_rev = q[::-1].copy()
        g, _ = versus("reversed", lambda: sc(rev, ids, id_to_idx, q_rev))
        if g:
            table.add("    detail: m[:, ::-1] (column stride -4) / default", g["reversed"],
                      ratio=harness.paired_ratio(g["reversed"], g["base"]))
        del g, rev

    del m
    gc.collect()
    return table


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", type=int, default=None, help="matrix rows (default 1,000,000; 100,000 with --quick)")
    p.add_argument("--reps", type=int, default=None, help="timed rounds (default 11; 7 with --quick)")
    p.add_argument("--warmup", type=int, default=2)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--detail", action="store_true", help="also time each modulation alone")
    a = p.parse_args(argv)
    rows = a.rows or (100_000 if a.quick else 1_000_000)
    reps = a.reps or (7 if a.quick else 11)
    run(rows, reps, a.warmup, a.detail).print()


if __name__ == "__main__":
    main()

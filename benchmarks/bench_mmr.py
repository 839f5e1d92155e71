"""mmr_select_py on 100,000 candidates: time against NumPy doing the same steps, and extra peak memory.

Run: python benchmarks/bench_mmr.py [--rows N] [--k K] [--reps N]
(normally through benchmarks/run.py). Prints one table; never asserts a time.

The NumPy reference does the same work step by step: G = m[candidates] once, relevance taken
from `similarities`, then per chosen position p one matrix-vector product G @ G[p] and the O(n)
redundancy and score updates. Both receive the same Python list of candidate rows (ordered by
descending similarity, as a candidate pool is).

Extra peak memory is measured in a fresh subprocess: the peak resident set is reset through
/proc/self/clear_refs after the inputs exist, so the peak read afterwards (VmHWM) is the call's
own; where that reset is unavailable, ru_maxrss growth over the resident set before the call is
used (an underestimate when setting up already peaked higher).
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

ROWS, DIMS, K, LAMBDA = 100_000, 64, 10, 0.7
MEMORY_TARGET_MB = 100.0


def make_inputs(np, rows, dims, seed):
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((rows, dims), dtype=np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    q = m[rows // 2] + np.float32(0.5) * m[rows // 3]
    q /= np.linalg.norm(q)
    sims = (m @ q).astype(np.float32)
    candidates = np.argsort(-sims, kind="stable").tolist()
    return m, sims, candidates


def numpy_mmr(np, candidates, sims, m, k, lam):
    """The selection of mmr_select_py in NumPy: per choice one G @ G[p] and O(n) updates."""
    n = len(candidates)
    if n == 0:
        return []
    idx = np.asarray(candidates, dtype=np.intp)  # converted once, used for both gathers
    G = m[idx]
    gain = sims[idx].astype(np.float64) * lam
    rest = 1.0 - lam
    redundancy = np.full(n, -np.inf)
    selected = np.zeros(n, dtype=bool)
    out = [(candidates[0], float(gain[0]))]
    selected[0] = True
    np.fmax(redundancy, G @ G[0], out=redundancy)  # fmax: a NaN similarity leaves redundancy as is
    score = np.empty(n)
    for _ in range(1, k):
        if len(out) == n:
            break
        np.multiply(redundancy, rest, out=score)
        np.subtract(gain, score, out=score)
        score[selected] = -np.inf
        p = int(np.argmax(score))  # first maximum: the earliest position wins ties
        if score[p] == -np.inf:
            break
        out.append((candidates[p], float(score[p])))
        selected[p] = True
        np.fmax(redundancy, G @ G[p], out=redundancy)
    return out


# ---- peak memory, in a child process ----

def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def child_memory(rows, dims, k, seed, which):
    """Runs one selection and prints {"extra_mb": ..., "method": ...} as JSON."""
    import resource
    import numpy as np
    import _tarnexa

    m, sims, candidates = make_inputs(np, rows, dims, seed)
    small = m[:64].copy()
    # Warm up the code paths on tiny inputs so lazy one-time set-up is not counted.
    _tarnexa.mmr_select_py(list(range(64)), sims[:64].copy(), small, 2, LAMBDA)
    numpy_mmr(np, list(range(64)), sims[:64].copy(), small, 2, LAMBDA)
    fn = (lambda: _tarnexa.mmr_select_py(candidates, sims, m, k, LAMBDA)) if which == "module" else \
        (lambda: numpy_mmr(np, candidates, sims, m, k, LAMBDA))
    rss_before = _status_kb("VmRSS")
    method = "VmHWM after clear_refs"
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        if _status_kb("VmHWM") > rss_before + 1024:
            raise OSError("peak not reset")
    except OSError:
        method = "ru_maxrss growth"
    maxrss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    fn()
    if method.startswith("VmHWM"):
        extra_kb = _status_kb("VmHWM") - rss_before
    else:
        extra_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - max(rss_before, maxrss_before)
    print(json.dumps({"extra_mb": max(extra_kb, 0) / 1024.0, "method": method}))


def measure_memory(rows, dims, k, seed, which):
    cmd = [sys.executable, os.path.abspath(__file__), "--child-memory", which,
           "--rows", str(rows), "--dims", str(dims), "--k", str(k), "--seed", str(seed)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return None, f"child failed ({proc.returncode}): {tail}"
    try:
        data = json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return None, f"child printed no figure: {proc.stdout!r}"
    return data["extra_mb"], data["method"]


def run(rows=ROWS, dims=DIMS, k=K, reps=11, warmup=2, seed=2024):
    import numpy as np
    import _tarnexa

    table = harness.Table(f"mmr_select_py, {rows:,} candidates of {rows:,} x {dims} float32, k {k}, "
                          f"median of {reps} after {warmup} warm-up rounds")
    m, sims, candidates = make_inputs(np, rows, dims, seed)
    cand_array = np.asarray(candidates, dtype=np.int64)

    def module():
        return _tarnexa.mmr_select_py(candidates, sims, m, k, LAMBDA)

    def module_array():
        return _tarnexa.mmr_select_py(cand_array, sims, m, k, LAMBDA)

    def reference():
        return numpy_mmr(np, candidates, sims, m, k, LAMBDA)

    fns = {}
    for name, fn in (("module", module), ("module_array", module_array), ("numpy", reference)):
        try:
            value = fn()
        except BaseException as e:  # PanicException derives from BaseException
            if isinstance(e, (KeyboardInterrupt, SystemExit)):
                raise
            harness.note(f"{name}: {type(e).__name__}: {e} (left out)")
            continue
        fns[name] = fn
        if name == "module":
            expect = reference()
            if [r for r, _ in value] != [r for r, _ in expect] or \
                    any(abs(a - b) > 1e-5 for (_, a), (_, b) in zip(value, expect)):
                harness.note(f"mmr_select_py and the NumPy reference disagree: {value[:3]} vs {expect[:3]}")

    if fns:
        s = harness.measure(fns, reps, warmup, pause_after=dict.fromkeys(fns, 0.1))
        if "module" in s:
            if "numpy" in s:
                r = harness.paired_ratio(s["module"], s["numpy"])
                table.add("mmr_select_py (candidates as list) / NumPy", s["module"], ratio=r,
                          target="<= 1.50", met=r <= 1.5)
            else:
                table.add("mmr_select_py (candidates as list)", s["module"])
        if "numpy" in s:
            table.add("    NumPy step by step (G @ G[p] per pick)", s["numpy"])
        if "module_array" in s and "numpy" in s:
            table.add("    mmr_select_py with an int64 array / NumPy", s["module_array"],
                      ratio=harness.paired_ratio(s["module_array"], s["numpy"]), note="same list as an array")

    for which in ("module", "numpy"):
        mb, how = measure_memory(rows, dims, k, seed, which)
        if mb is None:
            harness.note(f"peak memory of {which}: {how}")
            continue
        if which == "module":
            table.add("mmr_select_py extra peak memory", value=f"{mb:.1f} MB",
                      target=f"< {MEMORY_TARGET_MB:.0f} MB", met=mb < MEMORY_TARGET_MB, note=how)
        else:
            table.add("    NumPy reference extra peak memory", value=f"{mb:.1f} MB", note=how)
    return table


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", type=int, default=ROWS)
    p.add_argument("--dims", type=int, default=DIMS)
    p.add_argument("--k", type=int, default=K)
    p.add_argument("--reps", type=int, default=None, help="timed rounds (default 11; 7 with --quick)")
    p.add_argument("--warmup", type=int, default=2)
    p.add_argument("--seed", type=int, default=2024)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--child-memory", choices=("module", "numpy"), help=argparse.SUPPRESS)
    a = p.parse_args(argv)
    if a.child_memory:
        child_memory(a.rows, a.dims, a.k, a.seed, a.child_memory)
        return
    run(a.rows, a.dims, a.k, a.reps or (7 if a.quick else 11), a.warmup, a.seed).print()


if __name__ == "__main__":
    main()

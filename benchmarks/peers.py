"""_tarnexa against the tools its users would rank with instead: NumPy, FAISS and usearch.

    bash scripts/bench-peers.sh            # .venv with the bench extra, then the full run
    bash scripts/bench-peers.sh --quick    # a small subset, under a minute
    PYTHONPATH=build python benchmarks/peers.py --quick    # against a development build

Every contender gets the same float32 matrix of unit rows and the same single query, and
returns the best 10 rows:

  _tarnexa   score_candidates(matrix, ids, id_to_idx, query) with its default arguments
  NumPy      s = m @ q; np.argpartition(s, n - 10)[-10:]; np.argsort of those ten
  FAISS      IndexFlatIP.search(q[None], 10); the index (a copy of the matrix) is built untimed
  usearch    Index(ndim=d, metric="ip", dtype="f32").search(q, 10, exact=True); built untimed
  floor      one streaming read of the matrix on one core (floor.cpp, as in run.py)

The peers run twice: with their defaults (NumPy's BLAS and FAISS's OpenMP use every core,
usearch threads=0) and limited to one thread (threadpoolctl for the BLAS libraries,
faiss.omp_set_num_threads(1), usearch threads=1). The module is single-threaded and runs in
both groups. Within a group the calls alternate round by round, so that load from elsewhere
hits all of them alike (on this kind of two-CPU machine, work on the other CPU slows a
single-threaded call by up to a third). Where the matrix fits in the last-level cache but its
three copies (the caller's, FAISS's, usearch's) do not, each contender takes seven samples in a
row per turn after an untimed call, so that it runs on its own copy warm, as a service answering
queries back to back would. A ratio is the median of per-round ratios. Multi-threaded
calls are followed by an untimed pause, so threads still spinning do not take a core from
the next call. Calls of a few microseconds are timed in loops.

Sections: the call overhead (100 x 384), rows from 1,000 to 2,000,000 at 384 dims, dims from
64 to 1,536 at 200,000 rows, the options on 1,000,000 x 384 (every modulation, pre_filter_ids,
the diverse branch against NumPy doing the same), and mmr_select_py against NumPy step by step.
Extra peak memory per call is measured afterwards in a child process per section.

A full run writes docs/benchmarks/results.md and the PNG plots; --quick and --only runs write
to build-bench/peers/ (or --out) so the published figures stay whole. Nothing is asserted:
missed targets are reported, and the exit status is 0 whenever the benchmarks ran.
"""
from __future__ import annotations

import argparse
import contextlib
import ctypes
import gc
import importlib.metadata
import json
import os
import platform
import shlex
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_mmr  # noqa: E402
import bench_scoring  # noqa: E402
import harness  # noqa: E402

K = 10
DIMS = 384
LAMBDA = 0.7
SAMPLE_NS = 1_000_000  # calls shorter than this are looped so that one sample lasts about this long
BLOCK = 7              # samples in a row per contender for matrices that fit in the cache, copies not
FLOOR_TARGET = 1.15
OVERHEAD_TARGET_US = 3.0
SECTIONS = ("overhead", "rows", "dims", "options", "mmr")
MEMORY_SECTIONS = ("rows", "dims", "options", "mmr")
# pause: seconds of rest after each multi-threaded call (see harness.measure); in_cache_extra:
# more rounds for matrices within the last-level cache (short calls, more spread)

FULL = dict(rows=[1_000, 10_000, 100_000, 1_000_000, 2_000_000], dims=[64, 128, 384, 768, 1536],
            dims_rows=200_000, opt_rows=1_000_000, prefilter=[0.001, 0.01, 0.1],
            oversample=[200, 1_000, 10_000], mmr=[1_000, 3_000, 10_000, 30_000, 100_000],
            overhead_rows=100, reps=11, warmup=2, in_cache_extra=10, pause=0.15, memory=MEMORY_SECTIONS)
QUICK = dict(rows=[1_000, 10_000, 100_000], dims=[64, 1536], dims_rows=20_000, opt_rows=100_000,
             prefilter=[0.01], oversample=[200], mmr=[1_000, 10_000], overhead_rows=100, reps=5,
             warmup=1, in_cache_extra=2, pause=0.1, memory=("rows", "mmr"))

# Display names; "_1t" is the same call with one thread.
NAMES = {
    "module": "_tarnexa", "floor": "memory floor", "default": "default call",
    "numpy": "NumPy", "faiss": "FAISS", "usearch": "usearch", "convert": "of which conversions",
}
PEERS = ("numpy", "faiss", "usearch")


def label(name: str) -> str:
    if name.endswith("_1t"):
        return f"{NAMES[name[:-3]]}, 1 thread"
    if name in PEERS:
        return f"{NAMES[name]}, defaults"
    return NAMES.get(name, name)


# ---- the peers and their threads ----

class Libs:
    """The peer libraries that could be imported, and switching them to one thread."""

    def __init__(self):
        import numpy as np
        self.np = np
        self.missing: dict[str, str] = {}
        self.faiss = self.Index = self.tpc = None
        try:
            import faiss
            self.faiss = faiss
        except Exception as e:  # no wheel for this Python, or a broken install
            self.missing["faiss-cpu"] = f"{type(e).__name__}: {e}"
        try:
            from usearch.index import Index
            self.Index = Index
        except Exception as e:
            self.missing["usearch"] = f"{type(e).__name__}: {e}"
        try:
            import threadpoolctl
            self.tpc = threadpoolctl
        except Exception as e:
            self.missing["threadpoolctl"] = f"{type(e).__name__}: {e} (no one-thread NumPy)"
        self.faiss_threads = self.faiss.omp_get_max_threads() if self.faiss else None

    @contextlib.contextmanager
    def threads(self, single: bool):
        if not single:
            yield
            return
        with contextlib.ExitStack() as stack:
            if self.tpc:
                stack.enter_context(self.tpc.threadpool_limits(1, user_api="blas"))
            if self.faiss:
                self.faiss.omp_set_num_threads(1)
                stack.callback(self.faiss.omp_set_num_threads, self.faiss_threads)
            yield


def version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


# ---- data ----

class Data:
    """One pool of unit rows at 384 dims; every matrix of the run is cut or widened from it."""

    def __init__(self, np, rows: int, seed: int):
        self.np = np
        t0 = time.perf_counter()
        self.base = bench_scoring.unit_rows(np, np.random.default_rng(seed), rows, DIMS)
        self.ids = [f"doc-{i:08d}" for i in range(rows)]
        self.seed = seed
        self.built_s = time.perf_counter() - t0

    def matrix(self, rows: int, dims: int = DIMS):
        """rows x dims unit rows: a prefix of the pool at 384 dims, else blocks of it side by side."""
        np = self.np
        if dims == DIMS:
            return self.base[:rows]
        blocks = -(-dims // DIMS)
        m = np.hstack([self.base[j * rows:(j + 1) * rows] for j in range(blocks)])[:, :dims]
        m = np.ascontiguousarray(m)
        m /= np.linalg.norm(m, axis=1, keepdims=True)
        return m

    def query(self, m):
        """The query: one row of m moved towards a random direction, unit length."""
        np = self.np
        noise = np.random.default_rng(self.seed + 1).standard_normal(m.shape[1], dtype=np.float32)
        return bench_scoring.unit(np, m[37] + 0.5 * bench_scoring.unit(np, noise))

    def cache(self, rows: int):
        ids = self.ids[:rows]
        return ids, dict(zip(ids, range(rows)))

    @staticmethod
    def need(plan: dict, sections) -> int:
        n = 0
        if "overhead" in sections:
            n = max(n, plan["overhead_rows"])
        if "rows" in sections:
            n = max(n, max(plan["rows"]))
        if "dims" in sections:
            n = max(n, plan["dims_rows"] * -(-max(plan["dims"]) // DIMS))
        if "options" in sections:
            n = max(n, plan["opt_rows"])
        if "mmr" in sections:
            n = max(n, max(plan["mmr"]))
        return n


# ---- cases ----

@dataclass
class Case:
    section: str
    key: object
    title: str
    nbytes: int                     # bytes of matrix one call reads
    default: dict                   # name -> callable, peers with their default threads
    single: dict                    # name -> callable, peers limited to one thread
    threaded: set = field(default_factory=set)
    block: int = 1                  # samples in a row per turn (see harness.measure)
    base: str = "module"            # the module's call of this case
    tops: dict = field(default_factory=dict)  # name -> callable giving its chosen rows (checked once)
    scores: object = None           # exact scores, to accept ties in another order
    info: dict = field(default_factory=dict)


class Ctx:
    def __init__(self, plan, sections, libs, floor, data, llc):
        self.plan, self.sections, self.libs, self.floor, self.data, self.llc = plan, sections, libs, floor, data, llc


def top_k_case(ctx: Ctx, section, key, title, m, ids, id_to_idx, q):
    """The default call of the module and each peer's equivalent, on one matrix."""
    import _tarnexa
    np, libs = ctx.libs.np, ctx.libs
    sc = _tarnexa.score_candidates
    n, dims = m.shape

    def module():
        return sc(m, ids, id_to_idx, q)

    # The same call with a query one element short raises right after converting the four
    # arguments: what walking `ids` and `id_to_idx` costs before the scan starts.
    convert = harness.raises(lambda q_bad=q[:-1].copy(): sc(m, ids, id_to_idx, q_bad), ValueError)

    def numpy_top():
        s = m @ q
        top = np.argpartition(s, n - K)[n - K:]
        return top[np.argsort(s[top])[::-1]]

    common = {"module": module}
    if ctx.floor is not None:
        common["floor"] = ctx.floor.reader(m)
    default, single = dict(common), dict(common, convert=convert)
    default["numpy"] = numpy_top
    if libs.tpc:
        single["numpy_1t"] = numpy_top
    tops = {"module": lambda: [id_to_idx[r["id"]] for r in module()],
            "numpy": lambda: numpy_top().tolist()}
    info = {}
    if libs.faiss:
        index = libs.faiss.IndexFlatIP(dims)
        index.add(m)
        q2 = q.reshape(1, -1)
        default["faiss"] = single["faiss_1t"] = lambda: index.search(q2, K)
        tops["faiss"] = lambda: index.search(q2, K)[1][0].tolist()
        info["faiss_copy_mb"] = index.ntotal * dims * 4 / 1e6
    if libs.Index:
        # A two-link graph built with the least effort: exact search never walks it, and the
        # default graph would take minutes to build at a million rows on two cores.
        u = libs.Index(ndim=dims, metric="ip", dtype="f32", connectivity=2, expansion_add=1)
        u.add(np.arange(n, dtype=np.uint64), m)
        default["usearch"] = lambda: u.search(q, K, exact=True)
        single["usearch_1t"] = lambda: u.search(q, K, exact=True, threads=1)
        tops["usearch"] = lambda: [int(x) for x in u.search(q, K, exact=True).keys]
        info["usearch_copy_mb"] = u.memory_usage / 1e6
    # Where the matrix fits in the last-level cache but its three copies (the caller's, FAISS's,
    # usearch's) do not, alternating calls would evict each other's data: samples in blocks.
    copies = 1 + bool(libs.faiss) + bool(libs.Index)
    in_cache = ctx.llc is not None and m.nbytes <= ctx.llc < copies * m.nbytes
    return Case(section, key, title, m.nbytes, default, single, threaded={"numpy", "faiss", "usearch"},
                block=BLOCK if in_cache else 1, tops=tops, scores=m @ q, info=info)


def overhead_cases(ctx: Ctx):
    n = ctx.plan["overhead_rows"]
    m = ctx.data.matrix(n)
    ids, d = ctx.data.cache(n)
    yield top_k_case(ctx, "overhead", n, f"{n:,} x {DIMS}", m, ids, d, ctx.data.query(m))


def rows_cases(ctx: Ctx):
    q = None
    for n in ctx.plan["rows"]:
        m = ctx.data.matrix(n)
        q = ctx.data.query(m) if q is None else q  # one query for every size (row 37 is in all)
        ids, d = ctx.data.cache(n)
        yield top_k_case(ctx, "rows", n, f"{n:,} x {DIMS}", m, ids, d, q)
        gc.collect()


def dims_cases(ctx: Ctx):
    n = ctx.plan["dims_rows"]
    ids, d = ctx.data.cache(n)
    for dims in ctx.plan["dims"]:
        m = ctx.data.matrix(n, dims)
        yield top_k_case(ctx, "dims", dims, f"{n:,} x {dims}", m, ids, d, ctx.data.query(m))
        del m
        gc.collect()


def numpy_modulated(np, m, q, id_to_idx, like_ids, traj_from_vec, traj_to_vec, not_like_vec, mask, threshold,
                    timestamps, recent_days, k):
    """Every modulation of score_candidates in NumPy, the three products in one pass over m."""
    n = len(m)
    rows = np.fromiter(map(id_to_idx.__getitem__, like_ids), np.intp, len(like_ids))
    c = m[rows].sum(axis=0)
    c /= np.linalg.norm(c)
    qb = 0.5 * (q / np.linalg.norm(q)) + 0.5 * c
    qb /= np.linalg.norm(qb)
    direction = traj_to_vec - traj_from_vec
    direction /= np.linalg.norm(direction)
    contra = not_like_vec / np.linalg.norm(not_like_vec)
    prod = m @ np.stack([qb, direction, contra], axis=1)
    s = prod[:, 0] * np.float32(0.7) + prod[:, 1] * np.float32(0.3)
    age = np.maximum((time.time() - timestamps) / 86400.0, 0.0)
    s *= (1.0 / (1.0 + age / recent_days)).astype(np.float32)
    s[~mask] = -np.inf
    s[s < threshold] = -np.inf
    s -= np.float32(0.5) * prod[:, 2]
    top = np.argpartition(s, n - k)[n - k:]
    top = top[np.argsort(s[top])[::-1]]
    return top[np.isfinite(s[top])]


def option_cases(ctx: Ctx):
    """Every modulation, pre_filter_ids and the diverse branch, each against NumPy doing the same."""
    import _tarnexa
    np, libs, plan = ctx.libs.np, ctx.libs, ctx.plan
    sc = _tarnexa.score_candidates
    n = plan["opt_rows"]
    m = ctx.data.matrix(n)
    q = ctx.data.query(m)
    ids, d = ctx.data.cache(n)
    rng = np.random.default_rng(ctx.data.seed + 2)
    now = time.time()
    mods = dict(
        like_ids=[ids[i] for i in rng.choice(n, 5, replace=False).tolist()],
        traj_from_vec=bench_scoring.unit(np, rng.standard_normal(DIMS)),
        traj_to_vec=bench_scoring.unit(np, rng.standard_normal(DIMS)),
        not_like_vec=bench_scoring.unit(np, rng.standard_normal(DIMS)),
        mask=rng.random(n) < 0.9,
        threshold=0.05,
        recent=True, recent_days=30.0,
        timestamps=now - rng.uniform(0, 365 * 86400.0, n),
    )
    nm = {k: v for k, v in mods.items() if k != "recent"}

    def default_call():
        return sc(m, ids, d, q)

    def module_rows(fn):
        return lambda: [d[r["id"]] for r in fn()]

    common_single = {"default": default_call}
    if ctx.floor is not None:
        common_single["floor"] = ctx.floor.reader(m)

    def case(key, title, module, peers, tops):
        default = {"module": module, **{p: f for p, f in peers.items()}}
        single = {"module": module, **common_single}
        if libs.tpc and "numpy" in peers:
            single["numpy_1t"] = peers["numpy"]
        if "faiss" in peers:
            single["faiss_1t"] = peers["faiss"]
        return Case("options", key, title, m.nbytes, default, single, threaded=set(peers), tops=tops)

    # every modulation on
    mod_call = lambda: sc(m, ids, d, q, **mods)  # noqa: E731
    np_mod = lambda: numpy_modulated(np, m, q, d, k=K, **nm)  # noqa: E731
    yield case("mods", "every modulation on", mod_call, {"numpy": np_mod},
               {"module": module_rows(mod_call), "numpy": lambda: np_mod().tolist()})

    # pre_filter_ids naming a share of the rows, drawn at random, in random order
    index = None
    if libs.faiss:
        index = libs.faiss.IndexFlatIP(DIMS)
        index.add(m)
    q2 = q.reshape(1, -1)
    for share in plan["prefilter"]:
        count = max(K + 1, int(n * share))
        pre = [ids[i] for i in rng.choice(n, count, replace=False).tolist()]

        def np_pre(pre=pre):
            rows = np.fromiter(map(d.__getitem__, pre), np.intp, len(pre))
            s = m[rows] @ q
            top = np.argpartition(s, len(s) - K)[len(s) - K:]
            return rows[top[np.argsort(s[top])[::-1]]]

        peers = {"numpy": np_pre}
        tops = {"module": module_rows(lambda pre=pre: sc(m, ids, d, q, pre_filter_ids=pre)),
                "numpy": lambda f=np_pre: f().tolist()}
        if index is not None:
            def faiss_pre(pre=pre, index=index):
                rows = np.fromiter(map(d.__getitem__, pre), np.int64, len(pre))
                params = libs.faiss.SearchParameters(sel=libs.faiss.IDSelectorBatch(rows))
                return index.search(q2, K, params=params)

            peers["faiss"] = faiss_pre
            tops["faiss"] = lambda f=faiss_pre: f()[1][0].tolist()
        c = case(f"pre{share}", f"pre_filter_ids, {share * 100:g}% of rows ({count:,})",
                 lambda pre=pre: sc(m, ids, d, q, pre_filter_ids=pre), peers, tops)
        c.scores = m @ q
        yield c
    index = None  # the copy of the matrix goes with the last closure holding it

    # the diverse branch: a pool of `oversample` rows, then MMR chooses 10
    for over in plan["oversample"]:
        def np_div(over=over):
            s = m @ q
            top = np.argpartition(s, n - over)[n - over:]
            top = top[np.argsort(s[top])[::-1]]
            return bench_mmr.numpy_mmr(np, top, s, m, K, LAMBDA)

        div = lambda over=over: sc(m, ids, d, q, diverse=True, oversample=over)  # noqa: E731
        yield case(f"div{over}", f"diverse=True, oversample={over:,}", div, {"numpy": np_div},
                   {"module": module_rows(div), "numpy": lambda f=np_div: [int(r) for r, _ in f()]})


def mmr_cases(ctx: Ctx):
    import _tarnexa
    np = ctx.libs.np
    rows = max(ctx.plan["mmr"])
    m = ctx.data.matrix(rows)
    q = ctx.data.query(m)
    sims = (m @ q).astype(np.float32)
    order = np.argsort(-sims, kind="stable")
    for count in ctx.plan["mmr"]:
        cands = order[:count].tolist()  # a Python list of the best rows, best first, as a pool is
        module = lambda c=cands: _tarnexa.mmr_select_py(c, sims, m, K, LAMBDA)  # noqa: E731
        ref = lambda c=cands: bench_mmr.numpy_mmr(np, c, sims, m, K, LAMBDA)  # noqa: E731
        single = {"module": module}
        if ctx.libs.tpc:
            single["numpy_1t"] = ref
        yield Case("mmr", count, f"{count:,} candidates of {rows:,} x {DIMS}", count * DIMS * 4,
                   {"module": module, "numpy": ref}, single, threaded={"numpy"},
                   tops={"module": lambda f=module: [r for r, _ in f()], "numpy": lambda f=ref: [r for r, _ in f()]})


SECTION_CASES = {"overhead": overhead_cases, "rows": rows_cases, "dims": dims_cases, "options": option_cases,
                 "mmr": mmr_cases}


# ---- timing ----

def check_case(case: Case):
    """Warns when a contender chooses other rows than the module (ties in another order aside)."""
    got = {}
    for name, fn in case.tops.items():
        ok, rows = bench_scoring.try_call(f"{case.title}: {name}", fn)
        if ok:
            got[name] = [int(r) for r in rows]
    ref = got.get("module")
    if ref is None:
        return
    for name, rows in got.items():
        if name == "module" or rows == ref:
            continue
        if case.scores is not None and len(rows) == len(ref):
            a = sorted((float(case.scores[r]) for r in rows), reverse=True)
            b = sorted((float(case.scores[r]) for r in ref), reverse=True)
            if all(abs(x - y) < 1e-5 for x, y in zip(a, b)):
                continue
        harness.note(f"{case.title}: {label(name)} chose other rows than the module: {rows[:4]}... vs {ref[:4]}...")


def loops_for(fn) -> int:
    t0 = time.perf_counter_ns()
    fn()
    dt = max(time.perf_counter_ns() - t0, 1)
    return 1 if dt >= SAMPLE_NS else min(5000, -(-SAMPLE_NS // dt))


def time_case(ctx: Ctx, case: Case, reps: int, warmup: int, single_reps: int | None = None) -> dict:
    """Times the default group, then the one-thread group (single_reps rounds, default reps)."""
    groups = {}
    for mode in ("default", "single"):
        fns = getattr(case, mode)
        with ctx.libs.threads(single=mode == "single"):
            fns = {n: f for n, f in fns.items() if bench_scoring.try_call(f"{case.title}: {label(n)}", f)[0]}
            if not fns:
                continue
            inner = {n: loops_for(f) for n, f in fns.items()}
            pause = {n: ctx.plan["pause"] for n in fns if mode == "default" and n in case.threaded}
            n = single_reps if mode == "single" and single_reps else reps
            groups[mode] = harness.measure(fns, n, warmup, pause_after=pause, inner=inner, block=case.block)
    return summarise(case, groups)


def summarise(case: Case, groups: dict) -> dict:
    """Medians per contender and ratios of the module's call to each, from the rounds of a group."""
    res = {"key": case.key, "title": case.title, "mb": case.nbytes / 1e6, "info": case.info, "t": {}, "r": {}}
    base = case.base
    # The one-thread group first: what both groups time (the module, the floor) is reported from
    # it, the group where nothing else competes for the cores.
    for mode in ("single", "default"):
        s = groups.get(mode)
        if not s or base not in s:
            continue
        for name, smp in s.items():
            if name in res["t"]:
                continue
            res["t"][name] = dict(ms=smp.median_ms, min=smp.min_ms, spread=smp.spread)
            if name != base:
                # convert is a part of the module's call: its share; any other: module / it
                pairs = [(b / a if name == "convert" else a / b) for a, b in zip(s[base].ns, smp.ns)
                         if a > 0 and b > 0]
                res["r"][name] = statistics.median(pairs) if pairs else None
    return res


def print_result(res: dict):
    t, r = res["t"], res["r"]
    parts = []
    for name, v in t.items():
        ratio = f" ({r[name]:.2f})" if r.get(name) is not None else ""
        parts.append(f"{label(name)} {fmt_ms(v['ms'])}{ratio}")
    print(f"  {res['title']}: " + "; ".join(parts), flush=True)


def fmt_ms(ms: float | None) -> str:
    if ms is None:
        return "-"
    if ms < 0.1:
        return f"{ms * 1000:.2f} us"
    if ms < 10:
        return f"{ms:.3f} ms"
    return f"{ms:.1f} ms"


# ---- peak memory, in a child process per section ----

def _status_kb(field_name):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    return None


def extra_peak_mb(fn, libc) -> float | None:
    """Resident memory the call adds at its peak over what was resident before it.

    The peak counter (VmHWM) is reset through /proc/self/clear_refs after two untimed calls (lazy
    set-up and thread pools are not counted); the child runs with a fixed malloc mmap threshold,
    so every large buffer of the call is a fresh mapping and is counted even if an earlier call
    freed one of the same size."""
    fn()
    fn()
    gc.collect()
    if libc is not None:
        libc.malloc_trim(0)
    before = _status_kb("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None
    if _status_kb("VmHWM") > before + 1024:
        return None
    fn()
    return max(_status_kb("VmHWM") - before, 0) / 1024.0


def child_memory(a):
    plan = QUICK if a.quick else FULL
    plan = cap_plan(plan, a.max_rows)
    libs = Libs()
    data = Data(libs.np, Data.need(plan, [a.child_memory]), a.seed)
    ctx = Ctx(plan, [a.child_memory], libs, None, data, harness.llc_bytes())
    try:
        libc = ctypes.CDLL("libc.so.6")
    except OSError:
        libc = None
    out = {}
    for case in SECTION_CASES[a.child_memory](ctx):
        fns = {**case.single, **case.default}
        out[str(case.key)] = {n: extra_peak_mb(f, libc) for n, f in fns.items()
                              if n not in ("floor", "convert") and not n.endswith("_1t")}
        print(f"  memory {case.title}: " + ", ".join(f"{label(n)} {v:.1f} MB" if v is not None else f"{n} ?"
                                                     for n, v in out[str(case.key)].items()),
              file=sys.stderr, flush=True)
    print(json.dumps(out))


def measure_memory(a, section) -> dict:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--child-memory", section, "--seed", str(a.seed)]
    if a.quick:
        cmd.append("--quick")
    if a.max_rows:
        cmd += ["--max-rows", str(a.max_rows)]
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="131072")
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=1200)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        harness.note(f"memory of {section}: child failed ({proc.returncode}): {tail}")
        return {}
    sys.stdout.write(proc.stderr)
    print(f"  (memory of {section} measured in {time.perf_counter() - t0:.0f} s)", flush=True)
    try:
        return json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        harness.note(f"memory of {section}: child printed no figures")
        return {}


# ---- the report ----

def cell(res: dict, name: str, ratio=True) -> str:
    v = res["t"].get(name)
    if v is None:
        return "-"
    text = fmt_ms(v["ms"])
    if v.get("spread") is not None and v["spread"] > harness.NOISY_SPREAD:
        text += "~"
    if ratio and res["r"].get(name) is not None:
        text += f" ({res['r'][name]:.2f})"
    return text


def verdict(ok: bool | None) -> str:
    return {True: "met", False: "**MISSED**", None: "n/a"}[ok]


def targets(results: dict, llc: int | None) -> list[tuple[str, str, str, bool | None]]:
    """(target, where, measured, met) for every target the run can judge."""
    out = []
    for section in ("rows", "dims"):
        for res in results.get(section, []):
            big = section == "dims" or res["key"] >= 10_000
            where = f"{res['title']}"
            if big:
                # What the call costs besides converting ids and id_to_idx, which it must walk whole.
                t = res["t"]
                conv = t["convert"]["ms"] if t.get("convert") else None
                ratios = {p: res["r"].get(p + "_1t") for p in PEERS if res["r"].get(p + "_1t") is not None}
                if ratios:
                    worst = max(ratios, key=ratios.get)
                    text = f"module / slowest-to-beat = {ratios[worst]:.2f} ({label(worst + '_1t')})"
                    if ratios[worst] >= 1.0 and conv is not None and t.get(worst + "_1t"):
                        text += f"; the conversions alone take {conv / t[worst + '_1t']['ms']:.2f} of its time"
                    out.append(("faster than each peer at 1 thread", where, text, ratios[worst] < 1.0))
                if llc is not None and res["mb"] * 1e6 > llc and res["r"].get("floor") is not None:
                    f = res["r"]["floor"]
                    text = f"{f:.2f}x"
                    if conv is not None and t.get("floor"):
                        text += f" ({(t['module']['ms'] - conv) / t['floor']['ms']:.2f}x without the conversions)"
                    out.append((f"<= {FLOOR_TARGET}x the memory floor", where, text, f <= FLOOR_TARGET))
            else:
                for p in ("numpy", "numpy_1t"):
                    if res["r"].get(p) is not None:
                        out.append(("faster than NumPy", where, f"module / {label(p)} = {res['r'][p]:.2f}",
                                    res["r"][p] < 1.0))
    for res in results.get("overhead", []):
        us, fastest = res["t"]["module"]["ms"] * 1000, res["t"]["module"]["min"] * 1000
        out.append((f"call overhead < {OVERHEAD_TARGET_US:g} us", res["title"],
                    f"{us:.2f} us (fastest sample {fastest:.2f} us)", us < OVERHEAD_TARGET_US))
        for p in ("numpy", "numpy_1t"):
            if res["r"].get(p) is not None:
                out.append(("faster than NumPy", res["title"], f"module / {label(p)} = {res['r'][p]:.2f}",
                            res["r"][p] < 1.0))
    return out


def topk_table(rows: list[dict], key_head: str, key_fmt, libs_present, memory: dict | None = None) -> list[str]:
    names = ["module", "convert", "floor"] + [n for p in PEERS if p in libs_present for n in (p, p + "_1t")]
    head = [key_head, "MB"] + [label(n) for n in names]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for res in rows:
        cells = [key_fmt(res["key"]), f"{res['mb']:,.1f}"]
        for n in names:
            cells.append(cell(res, n, ratio=n != "module"))
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def memory_table(rows: list[dict], mem: dict, key_head: str, key_fmt, libs_present) -> list[str]:
    names = ["module"] + [p for p in PEERS if p in libs_present]
    head = [key_head] + [label(n).replace(", defaults", "") for n in names]
    copies = [p for p in ("faiss", "usearch") if p in libs_present]
    head += [f"{NAMES[p]} index (held)" for p in copies]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for res in rows:
        m = mem.get(str(res["key"]), {})
        cells = [key_fmt(res["key"])]
        for n in names:
            v = m.get(n)
            cells.append("-" if v is None else f"{v:,.1f}")
        for p in copies:
            v = res["info"].get(f"{p}_copy_mb")
            cells.append("-" if v is None else f"{v:,.0f}")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def render(a, meta: dict, results: dict, memory: dict, libs: Libs, llc, plots: list[str]) -> str:
    present = [p for p, lib in (("numpy", True), ("faiss", libs.faiss), ("usearch", libs.Index)) if lib]
    L = []
    L.append("# _tarnexa against NumPy, FAISS and usearch")
    L.append("")
    L.append(f"Generated by `{meta['command']}` on {meta['date']} in {meta['runtime_s']:.0f} s. "
             "Times are medians of repeated calls after warm-up (a `~` marks an interquartile range above "
             f"{harness.NOISY_SPREAD:.0%} of the median). In brackets: the module's time divided by that "
             "column's, the median of per-round ratios: below 1 the module is faster; for 'of which "
             "conversions' (the same call with a query one element short, which raises right after "
             "converting `matrix`, `ids`, `id_to_idx` and the query), its share of the module's call. "
             "Nothing is asserted.")
    L.append("")
    L.append("## Machine and versions")
    L.append("")
    L.append("| | |")
    L.append("|---|---|")
    for k, v in meta["facts"]:
        L.append(f"| {k} | {v} |")
    L.append("")
    L.append("## What runs")
    L.append("")
    L.append("Each contender gets the same float32 matrix of unit rows and the same single query and "
             "returns the best 10 rows.")
    L.append("")
    L.append("- **_tarnexa**: `score_candidates(matrix, ids, id_to_idx, query)`, default arguments "
             "(limit 10). Its time includes converting `ids` and `id_to_idx`, normalising the query and "
             "building the ten result dicts; the peers return index arrays.")
    L.append("- **NumPy**: `s = m @ q`, `np.argpartition(s, n - 10)[-10:]`, `np.argsort` of those ten.")
    L.append("- **FAISS**: `IndexFlatIP(d)`, `add(m)` untimed, then `index.search(q[None], 10)`.")
    L.append("- **usearch**: `Index(ndim=d, metric='ip', dtype='f32')`, `add` untimed, then "
             "`index.search(q, 10, exact=True)` (`threads=1` for one thread). The index is built with "
             "`connectivity=2, expansion_add=1`: exact search never walks the graph, and the default graph "
             "takes minutes to build at a million rows on two cores.")
    L.append("- **memory floor**: one streaming SIMD read of the matrix on one core "
             "(`benchmarks/floor.cpp`), the least any scan of it can cost.")
    L.append("- **defaults** vs **1 thread**: with their defaults NumPy's BLAS and FAISS's OpenMP use every "
             f"core ({os.cpu_count()} here) and usearch `threads=0` uses all cores; with one thread: "
             "`threadpoolctl.threadpool_limits(1, user_api='blas')`, `faiss.omp_set_num_threads(1)`, "
             "usearch `threads=1`. The module is single-threaded.")
    L.append("")

    head = results.get("rows", [])
    big = [r for r in head if r["key"] == 1_000_000] or head[-1:]
    if big:
        res = big[0]
        L.append(f"## Headline: {res['title']} float32 ({res['mb']:,.0f} MB), one query, top 10")
        L.append("")
        L.append("| | time | module / this |")
        L.append("|---|---|---|")
        for n in ["module", "convert"] + [n for p in PEERS if p in present for n in (p, p + "_1t")] + ["floor"]:
            if n in res["t"]:
                r = res["r"].get(n)
                r = "" if r is None else (f"({r:.0%} of the call)" if n == "convert" else f"{r:.2f}")
                L.append(f"| {label(n)} | {fmt_ms(res['t'][n]['ms'])} | {r} |")
        L.append("")
        conv, fl = res["t"].get("convert"), res["t"].get("floor")
        if conv is not None and fl is not None:
            call = res["t"]["module"]["ms"]
            rest = call - conv["ms"]
            L.append(f"Of the module's {fmt_ms(call)}, {fmt_ms(conv['ms'])} ({conv['ms'] / call:.0%}) goes to converting "
                     f"the arguments, which walks the {res['key']:,} items of `ids` and the {res['key']:,} "
                     f"entries of `id_to_idx` on every call; the rest (scan, selection, result) takes "
                     f"{fmt_ms(rest)}, {rest / fl['ms']:.2f}x the floor. The peers keep no such per-call "
                     "walk: FAISS and usearch hold their own copy of the matrix instead (see the memory table).")
            L.append("")

    tg = targets(results, llc)
    if tg:
        L.append("## Targets")
        L.append("")
        L.append("| target | where | measured | result |")
        L.append("|---|---|---|---|")
        for t, w, m, ok in tg:
            L.append(f"| {t} | {w} | {m} | {verdict(ok)} |")
        L.append("")
        met = sum(1 for *_, ok in tg if ok)
        L.append(f"{met} of {len(tg)} met. The floor target applies to matrices larger than the last-level "
                 f"cache ({llc / 2**20:.0f} MiB); 'faster than each peer' from 10,000 rows up.")
        L.append("")
        L.append("Every call converts `ids` and `id_to_idx` whole: each id's `str` object and each entry's "
                 "key and value are read, about 120 bytes of Python objects per row besides the row itself, "
                 "and the call keeps nothing from one call to the next. Where rows are short (64 or 128 "
                 "dims) that walk costs as much as reading the matrix, which is what the misses there come "
                 "to; the figures 'without the conversions' show the rest of the call.")
        L.append("")

    if results.get("overhead"):
        L.append("## Call overhead")
        L.append("")
        L += topk_table(results["overhead"], "rows x 384", lambda k: f"{k:,}", present)
        L.append("")
    if results.get("rows"):
        L.append("## Rows, at 384 dims")
        L.append("")
        L += topk_table(results["rows"], "rows", lambda k: f"{k:,}", present)
        L.append("")
    if results.get("dims"):
        L.append(f"## Dimensions, at {meta['dims_rows']:,} rows")
        L.append("")
        L += topk_table(results["dims"], "dims", str, present)
        L.append("")
    if memory.get("rows") or memory.get("dims"):
        L.append("## Extra peak memory per call (MB)")
        L.append("")
        L.append("Resident memory a call adds at its peak, measured in a child process after two untimed "
                 "calls, with large buffers forced to fresh mappings. The last columns are what FAISS and "
                 "usearch hold besides the caller's matrix (their copy of it, and usearch's graph), "
                 "for as long as the index lives.")
        L.append("")
        if results.get("rows") and memory.get("rows"):
            L += memory_table(results["rows"], memory["rows"], "rows", lambda k: f"{k:,}", present)
            L.append("")
        if results.get("dims") and memory.get("dims"):
            L += memory_table(results["dims"], memory["dims"], f"dims ({meta['dims_rows']:,} rows)", str, present)
            L.append("")
    if results.get("options"):
        opt = results["options"]
        L.append(f"## Options, at {meta['opt_rows']:,} x 384")
        L.append("")
        L.append("NumPy does the same work: every modulation with the three products in one `m @ [q, dir, "
                 "contra]`; the pre-filter by looking the ids up in `id_to_idx`, gathering their rows and "
                 "ranking them (FAISS: the same lookup and an `IDSelectorBatch`); the diverse branch as "
                 "`argpartition` of the pool, then MMR step by step (`benchmarks/bench_mmr.py`). usearch "
                 "has no equivalent here. Ratios in brackets: module / that column; 'vs default' is the "
                 "module's call over its default call in the same rounds.")
        L.append("")
        has_faiss = any("faiss" in r["t"] for r in opt)
        names = ["numpy", "numpy_1t"] + (["faiss", "faiss_1t"] if has_faiss else [])
        head_cells = ["call", "_tarnexa", "vs default", "vs floor"] + [label(n) for n in names] + \
            ["peak MB: _tarnexa", "NumPy"]
        L.append("| " + " | ".join(head_cells) + " |")
        L.append("|" + "---|" * len(head_cells))
        mo = memory.get("options", {})
        for res in opt:
            m = mo.get(str(res["key"]), {})
            rd, rf = res["r"].get("default"), res["r"].get("floor")
            cells = [res["title"], cell(res, "module", ratio=False), "-" if rd is None else f"{rd:.2f}",
                     "-" if rf is None else f"{rf:.2f}"] + [cell(res, n) for n in names] + \
                [("-" if m.get(n) is None else f"{m[n]:,.1f}") for n in ("module", "numpy")]
            L.append("| " + " | ".join(cells) + " |")
        if opt and "default" in opt[0]["t"]:
            L.append("")
            L.append(f"The default call in the same rounds: {fmt_ms(opt[0]['t']['default']['ms'])}.")
        L.append("")
    if results.get("mmr"):
        L.append("## mmr_select_py")
        L.append("")
        L.append("`mmr_select_py(candidates, similarities, matrix, 10, 0.7)` with the candidates as a Python "
                 "list of the best rows, against NumPy step by step (gather the rows once, then one `G @ "
                 "G[p]` and O(n) updates per pick).")
        L.append("")
        L.append("| candidates | _tarnexa | NumPy, defaults | NumPy, 1 thread | peak MB: _tarnexa | NumPy |")
        L.append("|---|---|---|---|---|---|")
        mm = memory.get("mmr", {})
        for res in results["mmr"]:
            m = mm.get(str(res["key"]), {})
            L.append(f"| {res['key']:,} | {cell(res, 'module', False)} | {cell(res, 'numpy')} | "
                     f"{cell(res, 'numpy_1t')} | {'-' if m.get('module') is None else f'{m['module']:,.1f}'} | "
                     f"{'-' if m.get('numpy') is None else f'{m['numpy']:,.1f}'} |")
        L.append("")
    if plots:
        L.append("## Plots")
        L.append("")
        for p in plots:
            L.append(f"![{p[:-4]}]({p})")
            L.append("")
    L.append("## Notes")
    L.append("")
    L.append("- Noise: on this kind of two-CPU virtual machine a single-threaded call runs up to a third "
             "slower while the other CPU is busy (measured: a 100-row call 3.8 us idle, 4.9 us with a "
             "busy loop on the other CPU), and such slow spells also come with no load visible here "
             "(presumably other tenants of the host). The contenders alternate round by round, so such bursts hit them alike and the "
             "ratios hold better than the absolute times, which can differ by that much between runs.")
    L.append("- Threads and single queries: each query wakes and joins the peers' threads, and on two "
             "CPUs the second one is often busy; FAISS's default OpenMP threads and usearch's `threads=0` "
             "are slower here than, or about as fast as, one thread, while NumPy's BLAS threads pay off "
             "on the larger matrices.")
    if meta["notes"]:
        for n in meta["notes"]:
            L.append(f"- {n}")
    L.append("")
    return "\n".join(L)


# ---- plots ----

STYLE = {"module": dict(color="#c0392b", lw=2.4, marker="o"), "floor": dict(color="#555555", ls="--", lw=1.5),
         "numpy": dict(color="#2c7fb8", ls=":", marker="s", ms=4), "numpy_1t": dict(color="#2c7fb8", marker="s", ms=4),
         "faiss": dict(color="#31a354", ls=":", marker="^", ms=4), "faiss_1t": dict(color="#31a354", marker="^", ms=4),
         "usearch": dict(color="#8856a7", ls=":", marker="D", ms=4),
         "usearch_1t": dict(color="#8856a7", marker="D", ms=4)}


def plot_label(name: str) -> str:
    return label(name).lstrip("_")  # matplotlib leaves labels starting with "_" out of legends


def short(x: int) -> str:
    for div, suffix in ((1_000_000, "M"), (1_000, "k")):
        if x >= div and x % (div // 10) == 0:
            return f"{x / div:g}{suffix}"
    return str(x)


def tidy_axes(ax, xs, logx=True):
    from matplotlib.ticker import FuncFormatter, NullFormatter
    if logx:
        ax.set_xscale("log")
    ax.set_yscale("log")
    ax.grid(True, which="both", alpha=0.25)
    ax.set_xticks(xs)
    ax.set_xticklabels([short(x) for x in xs], fontsize=8)
    ax.xaxis.set_minor_formatter(NullFormatter())
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))

    def minor(v, _):  # label the 2s and 5s between the powers of ten
        lead = v / 10 ** int(f"{v:e}".split("e")[1])
        return f"{v:g}" if round(lead, 6) in (2.0, 5.0) else ""

    ax.yaxis.set_minor_formatter(FuncFormatter(minor))
    ax.tick_params(axis="y", which="minor", labelsize=7)


def plot_scaling(plt, rows: list[dict], xlabel: str, title: str, path: Path, logx=True):
    names = [n for n in STYLE if any(n in r["t"] for r in rows)]
    fig, (a1, a2) = plt.subplots(1, 2, figsize=(11, 4.2))
    xs = [r["key"] for r in rows]
    for n in names:
        pts = [(r["key"], r["t"][n]["ms"]) for r in rows if n in r["t"]]
        a1.plot([p[0] for p in pts], [p[1] for p in pts], label=plot_label(n), **STYLE[n])
        if n != "floor":
            pr = [(r["key"], r["t"][n]["ms"] / r["t"]["floor"]["ms"]) for r in rows
                  if n in r["t"] and "floor" in r["t"]]
            a2.plot([p[0] for p in pr], [p[1] for p in pr], **STYLE[n])
    a2.axhline(1.0, color="#555555", ls="--", lw=1.5)
    a2.axhline(FLOOR_TARGET, color="#c0392b", ls="-.", lw=0.8)
    for ax in (a1, a2):
        tidy_axes(ax, xs, logx)
        ax.set_xlabel(xlabel)
    a1.set_ylabel("time per query (ms)")
    a2.set_ylabel("time / memory floor")
    a1.set_title(title, fontsize=10)
    a2.set_title("relative to one streaming read (dash-dot: 1.15x)", fontsize=10)
    a1.legend(fontsize=7.5, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def plot_memory(plt, rows: list[dict], mem: dict, path: Path):
    fig, ax = plt.subplots(figsize=(6.5, 4.2))
    for n in ("module", "numpy", "faiss", "usearch"):
        pts = [(r["key"], mem.get(str(r["key"]), {}).get(n)) for r in rows]
        pts = [(x, max(y, 0.01)) for x, y in pts if y is not None]
        if pts:
            st = dict(STYLE[n])
            st.pop("ls", None)
            ax.plot([p[0] for p in pts], [p[1] for p in pts], label=plot_label(n), **st)
    for p, ls in (("faiss", "--"), ("usearch", "-.")):
        pts = [(r["key"], r["info"].get(f"{p}_copy_mb")) for r in rows if r["info"].get(f"{p}_copy_mb")]
        if pts:
            ax.plot([x for x, _ in pts], [y for _, y in pts], color=STYLE[p]["color"], ls=ls, lw=1,
                    label=f"{NAMES[p]} index held")
    tidy_axes(ax, [r["key"] for r in rows])
    ax.set_xlabel("rows (384 dims)")
    ax.set_ylabel("MB")
    ax.set_title("extra peak resident memory per call (index: held between calls)", fontsize=9)
    ax.grid(True, which="both", alpha=0.25)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def plot_options(plt, opt: list[dict], path: Path):
    import numpy as np
    names = [n for n in ("module", "numpy_1t", "numpy", "faiss_1t", "faiss") if any(n in r["t"] for r in opt)]
    fig, ax = plt.subplots(figsize=(9, 4.6))
    y = np.arange(len(opt))
    h = 0.8 / len(names)
    for i, n in enumerate(names):
        vals = [r["t"][n]["ms"] if n in r["t"] else np.nan for r in opt]
        ax.barh(y + i * h, vals, height=h, color=STYLE[n]["color"], alpha=1.0 if n in ("module",) or
                n.endswith("_1t") else 0.45, label=plot_label(n))
    if opt and "default" in opt[0]["t"]:
        ax.axvline(opt[0]["t"]["default"]["ms"], color="#c0392b", ls="--", lw=1, label="tarnexa, default call")
    ax.set_yticks(y + 0.4 - h / 2)
    ax.set_yticklabels([r["title"] for r in opt], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.set_xlabel("time per query (ms)")
    ax.grid(True, axis="x", which="both", alpha=0.25)
    ax.legend(fontsize=7.5, loc="lower right")
    ax.set_title("options, against NumPy (and FAISS for the pre-filter) doing the same", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def plot_mmr(plt, rows: list[dict], path: Path):
    fig, ax = plt.subplots(figsize=(6.5, 4.2))
    for n in ("module", "numpy", "numpy_1t"):
        pts = [(r["key"], r["t"][n]["ms"]) for r in rows if n in r["t"]]
        if pts:
            ax.plot([x for x, _ in pts], [y for _, y in pts], label=plot_label(n), **STYLE[n])
    tidy_axes(ax, [r["key"] for r in rows])
    ax.set_xlabel("candidates (384 dims), k = 10")
    ax.set_ylabel("time per call (ms)")
    ax.set_title("mmr_select_py against NumPy step by step", fontsize=10)
    ax.grid(True, which="both", alpha=0.25)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def make_plots(out: Path, results: dict, memory: dict, meta: dict) -> list[str]:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception as e:
        harness.note(f"no plots: matplotlib unavailable ({e})")
        return []
    made = []
    if len(results.get("rows", [])) > 1:
        plot_scaling(plt, results["rows"], "rows (384 dims)", "one query, top 10, by rows", out / "rows.png")
        made.append("rows.png")
    if len(results.get("dims", [])) > 1:
        plot_scaling(plt, results["dims"], f"dims ({meta['dims_rows']:,} rows)", "one query, top 10, by dims",
                     out / "dims.png")
        made.append("dims.png")
    if len(results.get("rows", [])) > 1 and memory.get("rows"):
        plot_memory(plt, results["rows"], memory["rows"], out / "memory.png")
        made.append("memory.png")
    if results.get("options"):
        plot_options(plt, results["options"], out / "options.png")
        made.append("options.png")
    if len(results.get("mmr", [])) > 1:
        plot_mmr(plt, results["mmr"], out / "mmr.png")
        made.append("mmr.png")
    return made


# ---- main ----

def cap_plan(plan: dict, max_rows: int | None) -> dict:
    plan = dict(plan)
    if max_rows:
        plan["rows"] = [n for n in plan["rows"] if n <= max_rows] or [max_rows]
        plan["dims_rows"] = min(plan["dims_rows"], max(1_000, max_rows // 4))
        plan["opt_rows"] = min(plan["opt_rows"], max_rows)
        plan["mmr"] = [n for n in plan["mmr"] if n <= max_rows] or [max_rows]
    return plan


def module_facts(tarnexa) -> str:
    text = tarnexa.__file__
    try:
        head = subprocess.run(["git", "-C", str(harness.ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(harness.ROOT), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, timeout=10).stdout.strip()
        if head:
            text += f", source at commit {head}" + (" with uncommitted changes in src/" if dirty else "")
    except (OSError, subprocess.SubprocessError):
        pass
    return text


def parse_args(argv):
    p = argparse.ArgumentParser(description="_tarnexa against NumPy, FAISS and usearch: tables and plots.")
    p.add_argument("--quick", action="store_true", help="a small subset (up to 100,000 rows), under a minute")
    p.add_argument("--only", action="append", choices=SECTIONS, help="run only this section (repeatable)")
    p.add_argument("--out", type=Path, help="where results.md and the plots go (default: docs/benchmarks for "
                                            "a full run, build-bench/peers otherwise)")
    p.add_argument("--reps", type=int, help="timed rounds per measurement (default 11, --quick 5)")
    p.add_argument("--warmup", type=int, help="untimed rounds first (default 2, --quick 1)")
    p.add_argument("--max-rows", type=int, help="leave out sizes above this many rows (less memory)")
    p.add_argument("--no-memory", action="store_true", help="skip the peak-memory child processes")
    p.add_argument("--no-plots", action="store_true")
    p.add_argument("--seed", type=int, default=12345)
    p.add_argument("--child-memory", choices=MEMORY_SECTIONS, help=argparse.SUPPRESS)
    return p.parse_args(argv)


def main(argv=None):
    a = parse_args(argv)
    try:
        import _tarnexa
    except ImportError as e:
        print(f"cannot import _tarnexa ({e}).\nInstall it (bash scripts/bench-peers.sh does) or point "
              f"PYTHONPATH at a build directory.", file=sys.stderr)
        return 2
    if a.child_memory:
        child_memory(a)
        return 0

    started = time.perf_counter()
    load0 = os.getloadavg()
    plan = cap_plan(QUICK if a.quick else FULL, a.max_rows)
    sections = a.only or list(SECTIONS)
    reps, warmup = a.reps or plan["reps"], a.warmup if a.warmup is not None else plan["warmup"]
    out = a.out or (harness.ROOT / ("docs/benchmarks" if not (a.quick or a.only or a.max_rows)
                                    else "build-bench/peers"))
    libs = Libs()
    np = libs.np
    try:
        floor, floor_error = harness.load_floor(), None
    except Exception as e:
        floor, floor_error = None, str(e)
    harness.print_header(np, _tarnexa, floor, floor_error)
    for dist, why in libs.missing.items():
        harness.note(f"{dist} unavailable, left out: {why}")
    llc = harness.llc_bytes()
    notes = [f"{dist} unavailable, left out: {why}" for dist, why in libs.missing.items()]
    if load0[0] > 0.5:
        notes.append(f"The machine was not idle (load average {load0[0]:.2f} at the start, over "
                     f"{os.cpu_count()} CPUs): figures are noisier than on a quiet machine, and the "
                     "multi-threaded defaults of NumPy and FAISS wait for a core that is busy elsewhere.")

    need = Data.need(plan, sections)
    data = Data(np, need, a.seed)
    print(f"  ({need:,} x {DIMS} unit rows built in {data.built_s:.1f} s)", flush=True)
    ctx = Ctx(plan, sections, libs, floor, data, llc)

    results: dict[str, list] = {}
    for section in SECTIONS:
        if section not in sections:
            continue
        t0 = time.perf_counter()
        print(f"\n== {section}", flush=True)
        results[section] = []
        for case in SECTION_CASES[section](ctx):
            check_case(case)
            # Short calls get more rounds; in the one-thread group (no pauses) three times as many,
            # so that its rounds span long enough for a burst of load elsewhere to hit only a few.
            small = llc is not None and case.nbytes <= llc
            more = reps + (plan["in_cache_extra"] if small else 0)
            res = time_case(ctx, case, more, warmup, 3 * more if small else more)
            print_result(res)
            results[section].append(res)
            del case
        print(f"  ({section}: {time.perf_counter() - t0:.0f} s)", flush=True)

    del ctx, data
    gc.collect()
    memory = {}
    if not a.no_memory:
        print("\n== extra peak memory per call (child processes)", flush=True)
        for section in plan["memory"]:
            if section in sections:
                memory[section] = measure_memory(a, section)

    load1 = os.getloadavg()
    runtime = time.perf_counter() - started
    mem_total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    facts = [
        ("CPU", f"{harness.cpu_model()}, {os.cpu_count()} logical CPUs, last-level cache "
                f"{'?' if llc is None else f'{llc / 2**20:.0f} MiB'}, {mem_total / 2**30:.0f} GiB memory"),
        ("load average", f"{load0[0]:.2f} at the start, {load1[0]:.2f} at the end (other load makes figures noisy)"),
        ("Python", f"{platform.python_version()} ({platform.platform()})"),
        ("NumPy", f"{np.__version__}, BLAS {harness.blas_info(np)}"),
        ("faiss-cpu", f"{version('faiss-cpu')}" + (f", {libs.faiss_threads} OpenMP threads by default"
                                                   if libs.faiss else "")),
        ("usearch", version("usearch")),
        ("threadpoolctl", version("threadpoolctl")),
        ("matplotlib", version("matplotlib")),
        ("_tarnexa", module_facts(_tarnexa)),
        ("dot kernel", f"{harness.expected_kernel()} (what the module's dispatch picks on this CPU)"),
        ("memory floor", f"{floor.isa} read loop" if floor else f"unavailable: {floor_error}"),
        ("rounds", f"{reps} timed after {warmup} warm-up; for matrices within the last-level cache "
                   f"{reps + plan['in_cache_extra']} with the peers' defaults and "
                   f"{3 * (reps + plan['in_cache_extra'])} with one thread, samples of about "
                   f"{SAMPLE_NS / 1e6:g} ms (calls looped); where the matrix fits in the cache but its three "
                   f"copies do not, {BLOCK} samples in a row per contender and turn"),
    ]
    cmd = "python benchmarks/peers.py" + ("" if not argv and len(sys.argv) < 2 else
                                          " " + shlex.join(argv if argv is not None else sys.argv[1:]))
    meta = dict(command=os.environ.get("TARNEXA_BENCH_COMMAND", cmd),
                date=time.strftime("%Y-%m-%d %H:%M %Z"), runtime_s=runtime, facts=facts,
                dims_rows=plan["dims_rows"], opt_rows=plan["opt_rows"], notes=notes)
    out.mkdir(parents=True, exist_ok=True)
    plots = [] if a.no_plots else make_plots(out, results, memory, meta)
    meta["runtime_s"] = time.perf_counter() - started
    (out / "results.md").write_text(render(a, meta, results, memory, libs, llc, plots))
    tg = targets(results, llc)
    missed = [f"{t} ({w}: {m})" for t, w, m, ok in tg if ok is False]
    print(f"\n{len(tg) - len(missed)} of {len(tg)} targets met" + (f"; missed: {'; '.join(missed)}" if missed else ""))
    print(f"wrote {out / 'results.md'}" + (f" and {', '.join(plots)}" if plots else "") +
          f"  ({meta['runtime_s']:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Exact search through the int8 copy of a matrix against the one-core float32 memory floor.

    PYTHONPATH=.:build python benchmarks/int8.py            # 1,000,000 x 384, 2,000,000 x 64, text
    PYTHONPATH=.:build python benchmarks/int8.py --quick    # 200,000 x 384, 400,000 x 64
    PYTHONPATH=.:build python benchmarks/int8.py --sharded  # ShardedSearcher, 2 workers, 1,000,000 x 384
    PYTHONPATH=.:build python benchmarks/int8.py --memory   # resident bytes a row of the searcher's ids
    PYTHONPATH=.:build python benchmarks/int8.py --batch    # search_many, B = 1 .. 256, 1,000,000 x 384

For each size, in one run with the calls interleaved round by round (top 10; a ratio is the
median of per-round ratios against the floor measured in the same rounds):

  floor, 1 core     one streaming read of the float32 matrix on one core (floor.cpp)
  floor of the codes  the same read of the int8 codes alone: the least an int8 pass can cost
  float32 call      score_candidates on the whole matrix
  int8              the native Int8Searcher (what tarnexa.Searcher uses on a cache with the int8
                    copy): the codes scanned, the survivors rescored
  ... every mod.    like_ids, a trajectory, not_like_vec, recent with timestamps, a mask, a
                    threshold and diverse (oversample 200), the same in both

Every int8 result is checked against the float32 call's. Also: rows rescored per query
(median), the int8 copy's bytes against the matrix's, and a run on real text embeddings
(WordLlama, 256 dims, lines of the Python reference documentation the demo searches).
Writes docs/benchmarks/int8.md on a full run. Nothing is asserted.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import harness  # noqa: E402
from _tarnexa import score_candidates  # noqa: E402

import tarnexa  # noqa: E402
from tarnexa.search.quantized import quantize, searcher  # noqa: E402


def unit_rows(rng, n, d):
    m = np.empty((n, d), np.float32)
    for a in range(0, n, 100_000):
        b = min(n, a + 100_000)
        block = rng.standard_normal((b - a, d), dtype=np.float32)
        m[a:b] = block / np.linalg.norm(block, axis=1, keepdims=True)
    return m


def modulations(rng, m, ids):
    d = m.shape[1]
    return {"like_ids": [ids[3], ids[7]], "traj_from_vec": m[11], "traj_to_vec": m[12],
            "not_like_vec": rng.standard_normal(d, dtype=np.float32), "recent": True,
            "recent_days": 30.0, "mask": rng.random(len(m)) < 0.95, "threshold": 0.02, "diverse": True,
            "oversample": 200}


def run_size(floor, m, ids, times, queries, kw_all, reps, label):
    idx = {d: i for i, d in enumerate(ids)}
    t0 = time.perf_counter()
    rows = quantize(m)
    quantize_s = time.perf_counter() - t0
    # The copy in NumPy's memory, like the matrix the floor reads (NumPy asks for huge pages for
    # large arrays; a cache's files are mapped alike for both).
    rows = type(rows)(np.array(rows.codes), np.array(rows.scales), np.array(rows.bounds))
    held = searcher(rows, m, ids, times)
    state = {"i": 0}
    rescored: dict[str, list[int]] = {"plain": [], "every": []}
    wrong = 0

    def query():
        state["i"] += 1
        return queries[state["i"] % len(queries)]

    for kw in ({}, kw_all):  # checked before timing, outside the timed calls
        for q in queries[:3]:
            wrong += held.search(q, **kw) != score_candidates(m, ids, idx, q, timestamps=times, **kw)

    def int8(kind, kw):
        def fn():
            rescored[kind].append(held.search_counted(query(), **kw)[1])
        return fn

    # The float32 calls take 5 to 40 times the floor; between a floor and an int8 search they
    # would slow the search measured after them (about 6% at 2,000,000 x 64), so they take rounds
    # of their own, each with its own floor.
    fast = harness.measure({
        "floor, 1 core": floor.reader(m),
        "floor of the codes, 1 core": floor.reader(rows.codes.view(np.float32)),
        "int8": int8("plain", {}),
        "int8, every mod.": int8("every", kw_all),
    }, reps=reps, warmup=2)
    slow = harness.measure({
        "floor, 1 core": floor.reader(m),
        "float32 call": lambda: score_candidates(m, ids, idx, query()),
        "float32 call, every mod.": lambda: score_candidates(m, ids, idx, query(), timestamps=times, **kw_all),
    }, reps=reps, warmup=1)
    samples = {name: (s, fast["floor, 1 core"]) for name, s in fast.items()}
    samples |= {name: (s, slow["floor, 1 core"]) for name, s in slow.items() if name != "floor, 1 core"}
    table = harness.Table(f"{label}: top 10, ratios to the one-core float32 floor of the same rounds")
    for name, (s, fl) in samples.items():
        table.add(name, s, ratio=harness.paired_ratio(s, fl))
    table.print()
    extra = rows.codes.nbytes + rows.scales.nbytes + rows.bounds.nbytes
    med = {k: statistics.median(v) for k, v in rescored.items()}
    print(f"  rows rescored per query (median): plain {med['plain']:.0f}, every modulation {med['every']:.0f}"
          f" of {len(m):,}; int8 copy {extra / m.nbytes:.3f} of the matrix's bytes; quantize {quantize_s:.1f} s;"
          f" results differing from the float32 call: {wrong}")
    return ({name: (s.median_ms, harness.paired_ratio(s, fl)) for name, (s, fl) in samples.items()}, med,
            extra / m.nbytes)


def run_batch(floor, n, d, sizes, reps):
    """Int8Searcher.search_many at each batch size B against B lone searches: a sample is one
    call, its ratio the median over rounds of (call / floor of the same round) / B, the time per
    query in floors. Every modulation is the run's own: modulations() for each query."""
    rng = np.random.default_rng(0)
    m = unit_rows(rng, n, d)
    ids = [f"doc-{i}" for i in range(n)]
    times = time.time() - rng.random(n) * 3e7
    rows = quantize(m)
    rows = type(rows)(np.array(rows.codes), np.array(rows.scales), np.array(rows.bounds))
    held = searcher(rows, m, ids, times)
    queries = rng.standard_normal((max(sizes), d), dtype=np.float32)
    kw_all = modulations(rng, m, ids)
    for kw in ({}, kw_all):  # checked before timing
        b = min(17, len(queries))
        assert held.search_many(queries[:b], [kw] * b) == [held.search(q, **kw) for q in queries[:b]]
    table = harness.Table(f"{n:,} x {d}, top 10: search_many per query, ratios to the one-core float32 floor")
    fns = {"floor, 1 core": floor.reader(m), "lone search": lambda: held.search(queries[0]),
           "lone search, every mod.": lambda: held.search(queries[0], **kw_all)}
    for b in sizes:
        fns[f"B = {b}"] = lambda b=b: held.search_many(queries[:b], [{}] * b)
        fns[f"B = {b}, every mod."] = lambda b=b: held.search_many(queries[:b], [kw_all] * b)
    samples = harness.measure(fns, reps=reps, warmup=1)
    fl = samples["floor, 1 core"]
    for name, smp in samples.items():
        per = int(name.split("=")[1].split(",")[0]) if name.startswith("B =") else 1
        table.add(name, smp, ratio=harness.paired_ratio(smp, fl) / per, note=f"per query {smp.median_ms / per:.2f} ms")
    table.print()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"  CPU {harness.cpu_model()}, load average {load} at the end")
    return [(name, smp.median_ms, harness.paired_ratio(smp, fl), name.startswith("B =")) for name, smp in samples.items()]


BATCH_HEAD = "\n## search_many: many queries, one pass\n"
LAYOUT_NOTE = (
    "\nThe codes stay as stored, row after row (the cache's files are unchanged). The pass takes them 64 rows "
    "at a time and interleaves them in the first-level cache, 16 rows by 4 codes to a 64-byte vector "
    "(int8_dot_many), so that one vpdpbusd with a query's 4 codes repeated in every lane adds to 16 rows' sums "
    "and no lane sums are reduced; each query keeps its own bounds, k-th lower bound and survivors, as a lone "
    "search does. Measured once on this CPU (load average 2.5) with the lone search's kernel scoring the same "
    "64-row blocks instead (row by row, six vectors a pass, each row's lanes summed): 0.060 of the floor a "
    "query at B = 16 and 0.046 at B = 64, against 0.034 and 0.023 interleaved in the same session.\n")


def write_batch_markdown(n, d, rows):
    """The batch section of docs/benchmarks/int8.md, replacing the one there (a full run of the
    other sizes keeps it)."""
    path = HERE.parent / "docs" / "benchmarks" / "int8.md"
    text = path.read_text() if path.exists() else "# Exact search through the int8 copy\n"
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    out = [text.split(BATCH_HEAD)[0].rstrip("\n") + "\n", BATCH_HEAD,
           f"\nCPU: {harness.cpu_model()}, {os.cpu_count()} logical CPUs, load average {load} at the end. Command: "
           "`PYTHONPATH=.:build python benchmarks/int8.py --batch`. "
           f"{n:,} x {d} random unit rows, top 10; Int8Searcher.search_many with B queries in one call, the "
           "same arguments for each (every mod.: like_ids, a trajectory, not_like_vec, recent with timestamps, a "
           "mask, a threshold, diverse with oversample 200). Per query: the call's time over B; its ratio "
           "is the median over rounds of (call / floor of the same round) / B.\n\n"
           "| call | median ms a call | ms a query | / floor, a query |\n|---|---|---|---|\n"]
    for name, ms, ratio, batch in rows:
        per = int(name.split("=")[1].split(",")[0]) if batch else 1
        out.append(f"| {name} | {ms:.2f} | {ms / per:.2f} | {ratio / per:.3f} |\n")
    out.append(LAYOUT_NOTE)
    path.write_text("".join(out))
    print(f"wrote {path}")


def text_corpus():
    from pydoc_data.topics import topics

    from tarnexa.text.embedders import wordllama

    paras = sorted({line.strip() for t in topics.values() for line in t.splitlines() if len(line.strip()) > 30})
    embed = wordllama()
    m = embed(paras)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    return np.ascontiguousarray(m, np.float32), paras


def run_sharded(floor, rows, reps):
    """ShardedSearcher over a cache with the int8 copy, one single-threaded worker per core,
    against every core reading its share of the float32 matrix at once (the all-core floor)."""
    import distributed
    import sharded

    cores = os.cpu_count() or 1
    path = sharded.build_cache(rows, 384)
    cache = tarnexa.Cache.open(path)
    print(f"cache {path}: {len(cache):,} x {cache.dims}, int8 copy: {cache.has_int8}")
    m = np.asarray(cache.vectors)
    rng = np.random.default_rng(5)
    queries = [rng.standard_normal(384, dtype=np.float32) for _ in range(16)]
    state = {"i": 0}
    with distributed.LocalCluster(n_workers=cores, threads_per_worker=1, processes=True, memory_limit=0,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        with tarnexa.ShardedSearcher(path, shards=cores, client=client) as s:
            def search():
                state["i"] += 1
                s.search(queries[state["i"] % len(queries)])

            samples = harness.measure({"all-core floor": sharded.AllCoreFloor(floor, m, cores),
                                       f"sharded, {cores} workers (int8)": search}, reps=reps, warmup=3)
    fl = samples["all-core floor"]
    table = harness.Table(f"{rows:,} x 384, top 10, ratios to the all-core float32 floor of the same rounds")
    for name, smp in samples.items():
        table.add(name, smp, ratio=harness.paired_ratio(smp, fl))
    table.print()


def id_memory(n=1_000_000):
    """Resident bytes a row the native searcher adds for its ids (texts, offsets, table), from
    /proc, against a Python dict over the same ids; matrix and codes exist before and are left out."""
    from tarnexa import _native

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    m, codes = np.zeros((n, 8), np.float32), np.zeros((n, 8), np.int8)
    scales = np.zeros(n, np.float32)
    ids = [f"doc-{i}" for i in range(n)]
    text = sum(len(d) for d in ids) / n
    before = rss()
    held = _native.int8_searcher(codes, scales, scales, m, ids)
    native = (rss() - before) / n
    before = rss()
    idx = {d: i for i, d in enumerate(ids)}
    as_dict = (rss() - before) / n
    del held, idx
    print(f"  ids of {n:,} rows (text {text:.1f} B a row): the native searcher holds {native:.1f} B a row "
          f"({native - text:.1f} beyond the text); a Python dict over the same str list alone {as_dict:.1f} B a row")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="200,000 x 384 and 400,000 x 64, no text run")
    ap.add_argument("--reps", type=int, default=15)
    ap.add_argument("--sharded", action="store_true", help="only ShardedSearcher, 1,000,000 x 384")
    ap.add_argument("--memory", action="store_true", help="only the resident bytes of the searcher's ids")
    ap.add_argument("--batch", action="store_true", help="only search_many at B = 1, 4, 16, 64, 256")
    args = ap.parse_args()
    floor = harness.load_floor()
    harness.print_header(np, tarnexa, floor)
    if args.sharded:
        run_sharded(floor, 1_000_000, args.reps)
        return
    if args.memory:
        id_memory()
        return
    if args.batch:
        n = 200_000 if args.quick else 1_000_000
        rows = run_batch(floor, n, 384, [1, 4, 16, 64, 256], args.reps)
        if not args.quick:
            write_batch_markdown(n, 384, rows)
        return
    rng = np.random.default_rng(0)
    sizes = [(200_000, 384), (400_000, 64)] if args.quick else [(1_000_000, 384), (2_000_000, 64)]
    report = []
    for n, d in sizes:
        m = unit_rows(rng, n, d)
        ids = [f"doc-{i}" for i in range(n)]
        times = time.time() - rng.random(n) * 3e7
        queries = [rng.standard_normal(d, dtype=np.float32) for _ in range(16)]
        res = run_size(floor, m, ids, times, queries, modulations(rng, m, ids), args.reps, f"{n:,} x {d}")
        report.append((f"{n:,} x {d} (random unit rows)", *res))
        del m, ids
    if not args.quick:
        m, paras = text_corpus()
        ids = [f"p{i}" for i in range(len(m))]
        times = time.time() - rng.random(len(m)) * 3e7
        queries = [m[i] + 0.0 for i in rng.choice(len(m), 16, replace=False)]
        res = run_size(floor, m, ids, times, queries, modulations(rng, m, ids), args.reps,
                       f"WordLlama text, {len(m):,} x {m.shape[1]}")
        report.append((f"{len(m):,} x {m.shape[1]} (WordLlama, lines of the Python reference)", *res))
        write_markdown(report)


def write_markdown(report):
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    out = [f"# Exact search through the int8 copy\n\nCPU: {harness.cpu_model()}, {os.cpu_count()} logical CPUs "
           f"(a virtual machine whose memory bandwidth other machines share; load average {load} at the end). "
           "Command: `PYTHONPATH=.:build python benchmarks/int8.py`. Top 10; every ratio is to the one-core "
           "float32 memory floor measured in the same rounds (the float32 calls in rounds of their own, "
           "with their own floor); the matrix and the int8 copy both lie in NumPy's memory.\n\n"
           "| matrix | call | median ms | / floor |\n|---|---|---|---|\n"]
    for label, res, _, _ in report:
        for name, (ms, ratio) in res.items():
            out.append(f"| {label} | {name} | {ms:.2f} | {ratio:.3f} |\n")
    out.append("\n| matrix | rows rescored per query, plain | with every modulation (diverse, oversample 200) "
               "| int8 copy / matrix bytes |\n|---|---|---|---|\n")
    for label, _, med, share in report:
        out.append(f"| {label} | {med['plain']:.0f} | {med['every']:.0f} | {share:.3f} |\n")
    path = HERE.parent / "docs" / "benchmarks" / "int8.md"
    if path.exists() and BATCH_HEAD in (old := path.read_text()):  # the batch section stays
        out.append(BATCH_HEAD + old.split(BATCH_HEAD, 1)[1])
    path.write_text("".join(out))
    print(f"wrote {path}")


if __name__ == "__main__":
    main()

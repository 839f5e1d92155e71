"""tarnexa.search.communities.detect on candidate pools, against the NumPy work it starts with.

Run: python benchmarks/bench_communities.py [--rounds N] [--no-write]
(from the repository root, with the Python that has the module, NumPy and igraph; the package is
taken from this tree). Prints one table and writes docs/benchmarks/communities.md unless
--no-write; never asserts a time.

Pools: clustered random rows (8 topics of unit rows scattered around random centres, plus 10%
of rows around none), 200 and 2,000 rows of 256 and 384 dims; and, when the wordllama package is
installed, pools of 200 from the demo corpus (examples/demo.py: the Python reference docs and
their 256-dimension WordLlama rows), each the best 200 rows for a query as score_candidates
ranks them.

Baseline, measured in the same rounds, interleaved with detect: the similarity matrix of the pool
(rows @ rows.T) and every row's 10 nearest others (argpartition), the NumPy work a k-nearest-
neighbour graph needs before any graph exists. "graph + Leiden" is the median over rounds of
detect minus the baseline: building the graph, partitioning it, ordering the result. Targets on
a 2-core machine: <= 20 ms for a pool of 200, <= 150 ms for 2,000.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

sys.path.insert(0, str(harness.ROOT))  # this tree's package, before an installed one
from tarnexa.search.communities import NEIGHBOURS, detect  # noqa: E402

TOPICS, NOISE_SHARE = 8, 0.1
TARGET_MS = {200: 20.0, 2000: 150.0}
QUERIES = ["iterate over the keys of a dictionary", "context manager", "string formatting"]
# Untimed sleep after each call: NumPy's BLAS threads spin for a while after a product and would
# take a core from the next call on a 2-core machine.
PAUSE = 0.02
DOC = harness.ROOT / "docs" / "benchmarks" / "communities.md"


def clustered(n: int, d: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((TOPICS, d))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    per = int(n * (1 - NOISE_SHARE)) // TOPICS
    topic = rng.permutation(np.concatenate([np.repeat(np.arange(TOPICS), per), np.full(n - per * TOPICS, -1)]))
    rows = np.where(topic[:, None] >= 0, centres[topic], 0) + rng.standard_normal((n, d)) / d**0.5
    return (rows / np.linalg.norm(rows, axis=1, keepdims=True)).astype(np.float32), topic


def topics_recovered(result: list[tuple[list[int], int]], topic: np.ndarray) -> int:
    """How many topics came out as one community holding no other topic."""
    label = np.empty(topic.size, dtype=np.intp)
    for c, (members, _) in enumerate(result):
        label[members] = c
    owners = [set(label[topic == t].tolist()) for t in range(TOPICS)]
    return sum(len(o) == 1 and all(o.isdisjoint(p) for p in owners if p is not o) for o in owners)


def knn_baseline(rows: np.ndarray) -> np.ndarray:
    n = rows.shape[0]
    k = min(NEIGHBOURS, n - 1)
    sims = rows @ rows.T
    np.fill_diagonal(sims, -np.inf)
    return np.argpartition(sims, n - k, axis=1)[:, n - k:]


def demo_pools() -> tuple[list[tuple[str, np.ndarray]], str | None]:
    sys.path.insert(0, str(harness.ROOT / "examples"))
    try:
        import _tarnexa
        import demo
        embed = demo.wordllama_embedder()
    except ImportError as e:
        return [], f"demo corpus left out: {e}"
    docs = demo.reference_docs()
    matrix = np.stack([demo.embed_text(embed, d.text) for d in docs]).astype(np.float32)
    norms = np.linalg.norm(matrix, axis=1, keepdims=True)
    np.divide(matrix, norms, out=matrix, where=norms > 0)
    ids = [d.id for d in docs]
    id_to_idx = {d: i for i, d in enumerate(ids)}
    pools = []
    for query in QUERIES:
        q = demo.embed_text(embed, query)
        q = (q / np.linalg.norm(q)).astype(np.float32)
        hits = _tarnexa.score_candidates(matrix, ids, id_to_idx, q, limit=200, oversample=200)
        pools.append((f"demo corpus, {query!r}", matrix[[id_to_idx[h["id"]] for h in hits]]))
    return pools, None


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=31, help="timed rounds per pool (default 31)")
    ap.add_argument("--no-write", action="store_true", help=f"do not write {DOC.relative_to(harness.ROOT)}")
    args = ap.parse_args()

    cpu = harness.cpu_model()
    print(f"CPU:        {cpu} ({os.cpu_count()} logical CPUs)")
    print(f"NumPy:      {np.__version__}, BLAS {harness.blas_info(np)}")
    load = os.getloadavg()
    print(f"load avg:   {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}", flush=True)

    cases = []  # (name, rows, topic or None)
    for n in (200, 2000):
        for d in (256, 384):
            rows, topic = clustered(n, d, seed=n + d)
            cases.append((f"clustered, {TOPICS} topics + noise", rows, topic))
    pools, skipped = demo_pools()
    cases += [(name, rows, None) for name, rows in pools]

    table = harness.Table(f"detect against the similarity matrix + {NEIGHBOURS}-NN in NumPy, CPU: {cpu}")
    lines = []
    for name, rows, topic in cases:
        n, d = rows.shape
        result = detect(rows)
        found = f"{len(result)} communities"
        if topic is not None:
            found += f", topics whole and apart: {topics_recovered(result, topic)}/{TOPICS}"
        else:
            found += f", sizes {sorted((len(m) for m, _ in result), reverse=True)}"
        s = harness.measure({"detect": lambda: detect(rows), "numpy": lambda: knn_baseline(rows)},
                            reps=args.rounds, warmup=2, pause_after={"detect": PAUSE, "numpy": PAUSE})
        target = TARGET_MS[n]
        ms, base = s["detect"].median_ms, s["numpy"].median_ms
        beyond = harness.paired_diff_ms(s["detect"], s["numpy"])
        ratio = harness.paired_ratio(s["detect"], s["numpy"])
        label = f"{name}, {n} x {d}"
        table.add(label, s["detect"], ratio=ratio, target=f"<= {target:g} ms", met=ms <= target, note=found)
        table.add("  NumPy baseline", s["numpy"])
        spread = max(x.spread or 0 for x in s.values())
        lines.append(f"| {label} | {ms:.1f} ({s['detect'].min_ms:.1f}) | {base:.1f} ({s['numpy'].min_ms:.1f}) "
                     f"| {beyond:.1f} | {ratio:.2f} | <= {target:g} "
                     f"({'met' if ms <= target else 'MISSED'}) | {spread * 100:.0f}% | {found} |")
    table.print()
    if skipped:
        harness.note(skipped)

    if not args.no_write:
        when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        DOC.write_text("\n".join([
            "# Communities of a candidate pool",
            "",
            f"`python benchmarks/bench_communities.py` wrote this file ({when}; {args.rounds} rounds "
            "per pool, medians, detect and the baseline interleaved round by round).",
            "",
            f"CPU: {cpu}, {os.cpu_count()} logical CPUs; NumPy {np.__version__}, BLAS {harness.blas_info(np)}; "
            f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}.",
            "",
            f"NumPy baseline: `rows @ rows.T` and each row's {NEIGHBOURS} nearest others by `argpartition`. "
            "graph + Leiden: the median over rounds of detect minus the baseline. "
            "iqr: the larger interquartile range over median of the two. In brackets: the fastest round "
            "(other jobs on the machine slow the median first).",
            "",
            f"CPU: {cpu}.",
            "",
            "| pool, rows x dims | detect ms (min) | NumPy baseline ms (min) | graph + Leiden ms | detect / baseline "
            "| target ms | iqr | what detect found |",
            "|---|---|---|---|---|---|---|---|",
            *lines,
            *([f"", skipped] if skipped else []),
            "",
        ]), encoding="utf-8")
        print(f"wrote {DOC.relative_to(harness.ROOT)}")


if __name__ == "__main__":
    main()

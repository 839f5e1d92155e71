"""What the keyword side, hybrid search and metadata filters cost per query.

    python benchmarks/hybrid_speed.py                              # 10,000, 100,000, 1,000,000
    python benchmarks/hybrid_speed.py --sizes 10000 100000         # quicker
    python benchmarks/hybrid_speed.py --out docs/benchmarks/hybrid.md   # also write the table there

Synthetic corpora: passages of 40-80 made-up words drawn from a Zipf distribution over a
vocabulary of 50,000, embedded by the package's hashed embedder (``hashed:384``, so no model is
needed), each with the metadata ``{"group": i % 100, "tag": "t%04d" % (i % 10000)}``, so that
``{"group": {"$lt": 50}}`` passes 50% of the documents, ``{"group": 42}`` 1% and
``{"tag": "t4242"}`` 0.01%. Each index is built once under ``--folder`` (default
``/tmp/tarnexa-hybrid-speed``) in batches of 50,000 through ``Index.add`` and reused by later
runs (the 1,000,000 one takes several minutes). Searches scan the int8 copy of the matrix, which
every cache this version writes has; at the largest size the semantic search is also timed
scanning the float32 matrix instead.

The passages are embedded by a vectorised form of the hashed embedder (each word's features
hashed once, then summed per passage), which gives the rows ``HashedEmbedder`` gives: the index
checks it against its probe text when it is opened with it, and every build checks a sample of
passages against ``HashedEmbedder`` itself before writing anything.

Per query (50 queries of 2-6 words, each word drawn either from the Zipf distribution or
uniformly from the vocabulary, so common and rare words mix; ``limit:10``): the median and p95
of ``mode="keyword"``, ``"hybrid"`` and ``"semantic"`` at each size, their calls interleaved
query by query after a warm-up; at the largest size the same with each filter. A ratio is the
median of the per-query ratios of the two calls it compares, measured in the same run.
Nothing here asserts a time; a missed target is marked in the table.
"""

from __future__ import annotations

import argparse
import gc
import math
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import threading
import time
import zlib
from collections import Counter
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import tarnexa  # noqa: E402
from benchmarks.report import machine, write_section  # noqa: E402
from tarnexa.text import embedders  # noqa: E402

VOCAB, SEED, BATCH, DIMS = 50_000, 20261209, 50_000, 384
ZIPF_S = 1.07
FILTERS = {"50%": {"group": {"$lt": 50}}, "1%": {"group": 42}, "0.01%": {"tag": "t4242"}}
MODES = ("keyword", "hybrid", "semantic")


# ---- the corpus ----

_ONSETS = "b d f g h k l m n p r s t v z ch sh th tr pl kr".split()
_VOWELS = "a i o u".split()  # no word ends in e or s, so the hashed embedder's stemmer leaves it whole


def vocabulary(n: int = VOCAB, seed: int = SEED) -> list[str]:
    """n distinct made-up words of two to four syllables, none a stop word."""
    rng = np.random.default_rng(seed)
    syllables = [o + v for o in _ONSETS for v in _VOWELS]
    out: list[str] = []
    seen: set[str] = set()
    while len(out) < n:
        word = "".join(syllables[j] for j in rng.integers(0, len(syllables), rng.integers(2, 5)))
        if word not in seen and word not in embedders.STOP_WORDS:
            seen.add(word)
            out.append(word)
    return out


def zipf_cdf(n: int = VOCAB, s: float = ZIPF_S) -> npt.NDArray[np.float64]:
    p = 1.0 / np.arange(1, n + 1) ** s
    return np.cumsum(p / p.sum())


def passages(vocab: Sequence[str], cdf: npt.NDArray[np.float64], start: int, stop: int) -> list[str]:
    """Passages start..stop-1, the same in every run (each batch of BATCH has its own seed)."""
    words = np.asarray(vocab, dtype=object)
    out: list[str] = []
    for b0 in range(start - start % BATCH, stop, BATCH):
        rng = np.random.default_rng([SEED, b0])
        lengths = rng.integers(40, 81, BATCH)
        picks = np.minimum(np.searchsorted(cdf, rng.random(int(lengths.sum()))), len(vocab) - 1)
        ends = np.cumsum(lengths)
        lo, hi = max(start, b0), min(stop, b0 + BATCH)
        for i in range(lo - b0, hi - b0):
            out.append(" ".join(words[picks[ends[i] - lengths[i] : ends[i]]]))
    return out


def metadata(start: int, stop: int) -> list[dict[str, Any]]:
    return [{"group": i % 100, "tag": f"t{i % 10000:04d}"} for i in range(start, stop)]


def queries(vocab: Sequence[str], cdf: npt.NDArray[np.float64], n: int) -> list[str]:
    """n queries of 2-6 words: each word from the Zipf distribution or uniform over the vocabulary."""
    rng = np.random.default_rng([SEED, 1])
    out = []
    for _ in range(n):
        ws = [vocab[min(int(np.searchsorted(cdf, rng.random())), len(vocab) - 1)] if rng.random() < 0.5
              else vocab[int(rng.integers(0, len(vocab)))] for _ in range(int(rng.integers(2, 7)))]
        out.append(" ".join(ws))
    return out


# ---- the hashed embedder, vectorised ----

class FastHashed:
    """The rows of ``HashedEmbedder(dims)`` for a batch at once: each token's stem and each stem's
    hashed features found once, then every feature of the batch (stems weighted by 1 + log of
    their count in the text, stem pairs by 0.5 an occurrence) summed in one ``bincount``."""

    def __init__(self, dims: int = DIMS) -> None:
        self.dims = dims
        self.slow = embedders.HashedEmbedder(dims)
        self._stem: dict[str, int] = {}  # token -> stem number, -1 for a stop word
        self._stems: list[str] = []
        self._stem_of: dict[str, int] = {}
        self._indptr = [0]
        self._slots: list[int] = []
        self._weights: list[float] = []
        self._arrays: tuple[npt.NDArray[np.intp], npt.NDArray[np.intp], npt.NDArray[np.float64]] | None = None
        self.__qualname__ = f"FastHashed({dims})"

    def _token(self, token: str) -> int:
        low = token.lower()
        if low in embedders.STOP_WORDS:
            j = -1
        else:
            stem = embedders._stem(low)
            j = self._stem_of.get(stem, -1)
            if j < 0:
                j = self._stem_of[stem] = len(self._stems)
                self._stems.append(stem)
                feats: dict[int, float] = {}
                for feat, weight in embedders._word_features(stem):
                    slot, sign = self.slow._slot(feat, self.dims)
                    feats[slot] = feats.get(slot, 0.0) + sign * weight
                self._slots += feats
                self._weights += feats.values()
                self._indptr.append(len(self._slots))
                self._arrays = None
        self._stem[token] = j
        return j

    def learn(self, vocab: Sequence[str]) -> None:
        """Hashes the features of these words now, not at their first sight in a query."""
        for word in vocab:
            if word not in self._stem:
                self._token(word)
        self._tables()

    def _tables(self) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp], npt.NDArray[np.float64]]:
        if self._arrays is None:
            self._arrays = (np.asarray(self._indptr, np.intp), np.asarray(self._slots, np.intp),
                            np.asarray(self._weights, np.float64))
        return self._arrays

    def __call__(self, texts: list[str]) -> npt.NDArray[np.float32]:
        dims, n = self.dims, len(texts)
        find, known, token = embedders._TOKEN.findall, self._stem, self._token
        crc = zlib.crc32
        flat: list[int] = []
        lengths: list[int] = []
        pair_hash: list[int] = []
        pair_count: list[int] = []
        for text in texts:
            ids = [j for j in (known[t] if t in known else token(t) for t in find(text)) if j >= 0]
            flat += ids
            lengths.append(len(ids))
            ws = [self._stems[j] for j in ids]
            pair_hash += [crc(f"p {a} {b}".encode("utf-8", "surrogatepass")) for a, b in zip(ws, ws[1:])]
            pair_count.append(max(0, len(ids) - 1))
        indptr, slots, weights = self._tables()
        rows = np.repeat(np.arange(n, dtype=np.intp), lengths)
        keys, counts = np.unique(rows * len(self._stems) + np.asarray(flat, np.intp), return_counts=True)
        krow, kstem = np.divmod(keys, len(self._stems)) if len(self._stems) else (keys, keys)
        width = indptr[kstem + 1] - indptr[kstem]
        starts = np.repeat(indptr[kstem] - np.cumsum(width) + width, width) + np.arange(int(width.sum()))
        w_bucket = np.repeat(krow * dims, width) + slots[starts]
        w_weight = weights[starts] * np.repeat(1.0 + np.log(counts), width)
        h = np.asarray(pair_hash, np.int64)
        p_bucket = np.repeat(np.arange(n, dtype=np.intp) * dims, pair_count) + (h % dims)
        p_weight = np.where(h & 0x80000000, 0.5, -0.5)
        out = np.bincount(np.concatenate([w_bucket, p_bucket]), np.concatenate([w_weight, p_weight]), n * dims)
        return out.reshape(n, dims).astype(np.float32)

    def check(self, texts: list[str]) -> None:
        """Refuses to go on when these rows are not HashedEmbedder's."""
        fast, slow = (embedders.embed(f, texts, self.dims) for f in (self, self.slow))
        worst = float(np.abs(fast - slow).max())
        if worst > 1e-5:
            raise SystemExit(f"the vectorised hashed embedder differs from HashedEmbedder by {worst:g}")


# ---- building ----

def has_metadata() -> bool:
    import inspect
    return "metadata" in inspect.signature(tarnexa.Index.add).parameters


def schema() -> str:
    """A digest of the document store's tables as this version of tarnexa makes them, so that
    an index built by another version is built again rather than timed."""
    import hashlib
    import tempfile
    with tempfile.TemporaryDirectory() as tmp:
        tarnexa.Index.create(Path(tmp) / "i", embedder="hashed:8").close()
        with sqlite3.connect(Path(tmp) / "i" / "docs.sqlite") as db:
            sql = sorted(str(r[0]) for r in db.execute("SELECT sql FROM sqlite_master"))
        db.close()
    return hashlib.sha256("\n".join(sql).encode()).hexdigest()[:16]


def build(folder: Path, size: int, vocab: Sequence[str], cdf: npt.NDArray[np.float64], fast: FastHashed) -> float:
    """Makes the index of the first size passages at folder unless it holds it already (made
    by a tarnexa with the same tables); returns the build time (0 when reused). A half-built
    folder is built again."""
    done = folder / "built"
    stamp = f"{size} {has_metadata()} {schema()}\n"
    if done.is_file() and done.read_text() == stamp:
        return 0.0
    if folder.exists():
        shutil.rmtree(folder)
    fast.check(passages(vocab, cdf, 0, 200))
    t0 = time.perf_counter()
    tarnexa.Index.create(folder, embedder=f"hashed:{fast.dims}").close()
    with tarnexa.Index.open(folder, embedder=fast) as index:
        for start in range(0, size, BATCH):
            stop = min(size, start + BATCH)
            extra = {"metadata": metadata(start, stop)} if has_metadata() else {}
            index.add(passages(vocab, cdf, start, stop), ids=[f"p{i}" for i in range(start, stop)], **extra)
            print(f"  {folder.name}: {stop:,} of {size:,} passages, {time.perf_counter() - t0:.0f} s",
                  file=sys.stderr)
    seconds = time.perf_counter() - t0
    done.write_text(stamp)
    return seconds


class Float32Searcher:
    """Makes searchers that scan a cache's float32 matrix even when it has the int8 copy
    (which every cache written by this version has, and searches scan by default)."""

    def __new__(cls, path: Path) -> Any:
        from tarnexa.search.rows import RowSearcher
        from tarnexa.search.searcher import Searcher
        from tarnexa.storage.cache import Cache

        searcher = Searcher.__new__(Searcher)
        cache = searcher._cache = Cache.open(path)
        searcher._rows = RowSearcher(cache.vectors, cache.ids, cache.timestamps, None)
        return searcher


def open_float32(folder: Path, fast: FastHashed) -> tarnexa.Index:
    index = tarnexa.Index.open(folder, embedder=fast)
    index._searcher_for = Float32Searcher  # before its first search builds a snapshot
    return index


# ---- timing ----

def supports_modes(index: tarnexa.Index, query: str) -> bool:
    try:
        index.search(query, "limit:1", mode="keyword")
    except TypeError:
        return False
    return True


BUDGET_S = 30.0  # seconds one kind of call may take in one table's measurement
CUT: dict[int, bool] = {}  # id() of a list of times cut short -> whether its last call was stopped


def _call(fn: Callable[[str], Any], q: str, limit_s: float) -> tuple[int, bool]:
    """ns the call took, and whether it was stopped: a call still running after limit_s has
    its index's SQLite statement interrupted (fn.interrupt), so one pathological query plan
    costs the budget, not hours."""
    stop = getattr(fn, "interrupt", None)
    timer = threading.Timer(max(limit_s, 1.0), stop) if stop is not None else None
    t0 = time.perf_counter_ns()
    if timer is not None:
        timer.start()
    try:
        fn(q)
    except sqlite3.OperationalError as e:
        if "interrupt" not in str(e):
            raise
        return time.perf_counter_ns() - t0, True
    finally:
        if timer is not None:
            timer.cancel()
    return time.perf_counter_ns() - t0, False


def time_calls(calls: dict[str, Callable[[str], Any]], qs: Sequence[str],
               budget: float | None = None) -> dict[str, list[float]]:
    """ms per query of each call, interleaved query by query after one untimed round. A kind of
    call whose time (warm-up included) passes the budget is not called again, its list left
    shorter (and named in CUT); a call that would pass it is stopped, its time a lower bound."""
    budget_ns = (BUDGET_S if budget is None else budget) * 1e9
    spent = dict.fromkeys(calls, 0)
    stopped = dict.fromkeys(calls, False)
    for name, fn in calls.items():
        spent[name], stopped[name] = _call(fn, qs[0], budget_ns / 1e9)
    out: dict[str, list[float]] = {name: [] for name in calls}
    gc.collect()
    gc.disable()
    try:
        for q in qs:
            for name, fn in calls.items():
                if spent[name] > budget_ns or stopped[name]:
                    if not out[name]:
                        out[name].append(spent[name] / 1e6)  # the warm-up call alone
                    CUT[id(out[name])] = stopped[name]
                    continue
                took, stopped[name] = _call(calls[name], q, (budget_ns - spent[name]) / 1e9)
                spent[name] += took
                if stopped[name] and out[name]:  # stopped by what was left of the budget: not a figure
                    stopped[name] = False
                    spent[name] = int(budget_ns) + 1
                    CUT[id(out[name])] = False
                    continue
                out[name].append(took / 1e6)
    finally:
        gc.enable()
    return out


def cell(xs: list[float], what: Callable[[Sequence[float]], float]) -> str:
    """A figure of the table; marked with the number of queries behind it when cut short, and
    as a lower bound when the last of them was stopped."""
    if id(xs) not in CUT:
        return f"{what(xs):.1f}"
    return f"{'>= ' if CUT[id(xs)] else ''}{what(xs):.1f} ({len(xs)} q)"


def median(xs: Sequence[float]) -> float:
    return statistics.median(xs)


def p95(xs: Sequence[float]) -> float:
    return statistics.quantiles(xs, n=20, method="inclusive")[18] if len(xs) > 1 else xs[0]


def ratio(a: Sequence[float], b: Sequence[float]) -> float:
    return statistics.median(x / y for x, y in zip(a, b))


def searcher(index: tarnexa.Index, mode: str | None, where: dict[str, Any] | None = None) -> Callable[[str], Any]:
    extra: dict[str, Any] = {}
    if mode is not None:
        extra["mode"] = mode
    if where is not None:
        extra["where"] = where
    def call(q: str) -> Any:
        return index.search(q, "limit:10", **extra)

    db = getattr(getattr(index, "_store", None), "db", None)
    if isinstance(db, sqlite3.Connection):
        call.interrupt = db.interrupt  # type: ignore[attr-defined]
    return call


def scans(folder: Path, n: int) -> dict[str, list[float]]:
    """ms per semantic query scanning the int8 copy and scanning the float32 matrix, measured in
    a new process: the float32 call walks every id string, so its time depends on where they lie
    on the heap, and strings read after others were freed lie scattered (several times slower at
    1,000,000), which would charge the float32 scan for this process's history."""
    import json
    out = subprocess.run([sys.executable, __file__, "--scans", str(folder), "--queries", str(n)],
                         capture_output=True, text=True, check=True).stdout
    got: dict[str, list[float]] = json.loads(out)
    return got


def _scans_here(folder: Path, n: int) -> int:
    import json
    vocab, cdf = vocabulary(), zipf_cdf()
    fast = FastHashed(DIMS)
    fast.learn(vocab)
    qs = queries(vocab, cdf, n)
    with open_float32(folder, fast) as f32, tarnexa.Index.open(folder, embedder=fast) as i8:
        mode = "semantic" if supports_modes(i8, qs[0]) else None  # hybrid is the default where there are modes
        got = time_calls({"float32": searcher(f32, mode), "int8": searcher(i8, mode)}, qs)
    print(json.dumps(got))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    global BUDGET_S
    parser = argparse.ArgumentParser(prog="hybrid_speed.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--folder", type=Path, default=Path("/tmp/tarnexa-hybrid-speed"))
    parser.add_argument("--queries", type=int, default=50)
    parser.add_argument("--profile", action="store_true",
                        help="print a cProfile of the slowest call kind at the largest size")
    parser.add_argument("--out", type=Path, help="also write the section into this Markdown file")
    parser.add_argument("--budget", type=float, default=BUDGET_S, metavar="S",
                        help="seconds one kind of call may take in one table before it is cut short (default 30)")
    parser.add_argument("--scans", type=Path, help=argparse.SUPPRESS)  # scans() in a new process
    args = parser.parse_args(argv)
    if args.scans:
        return _scans_here(args.scans, args.queries)
    BUDGET_S = args.budget
    sizes = sorted(set(args.sizes))
    vocab, cdf = vocabulary(), zipf_cdf()
    fast = FastHashed(DIMS)
    fast.learn(vocab)  # so that no query pays for hashing a word's features
    qs = queries(vocab, cdf, args.queries)
    model, load_before = machine()
    lines = []
    size_rows = []
    filter_rows = []
    notes = []
    modes_ok = True
    for size in sizes:
        folder = args.folder / f"n{size}"
        seconds = build(folder, size, vocab, cdf, fast)
        if seconds:
            notes.append(f"built the {size:,}-passage index in {seconds:.0f} s")
        with tarnexa.Index.open(folder, embedder=fast) as index:
            modes_ok = supports_modes(index, qs[0])
            calls = {m: searcher(index, m) for m in MODES} if modes_ok else {"semantic": searcher(index, None)}
            got = time_calls(calls, qs)
            size_rows.append((size, got))
            if size == sizes[-1]:
                if modes_ok and has_metadata():
                    for label, where in FILTERS.items():
                        fcalls = {"unfiltered " + m: searcher(index, m) for m in ("hybrid", "semantic")}
                        fcalls |= {"filtered " + m: searcher(index, m, where) for m in ("hybrid", "semantic")}
                        filter_rows.append((label, where, time_calls(fcalls, qs)))
                if args.profile:
                    profile(index, qs, modes_ok)
        if size == sizes[-1]:
            got8 = scans(folder, len(qs))
            notes.append(f"semantic search at {size:,} scanning the int8 copy (the default, used in the tables "
                         f"above): median {statistics.median(got8['int8']):.1f} ms, p95 {p95(got8['int8']):.1f}; "
                         f"scanning the float32 matrix: median {statistics.median(got8['float32']):.1f} ms, "
                         f"p95 {p95(got8['float32']):.1f}; int8 / float32 {ratio(got8['int8'], got8['float32']):.2f}")
    _, load_after = machine()

    lines.append(f"`python benchmarks/hybrid_speed.py --sizes {' '.join(map(str, sizes))}"
                 f"` ({time.strftime('%Y-%m-%d', time.gmtime())}): "
                 f"hashed:{DIMS}, {len(qs)} queries of 2-6 words, `limit:10`, ms per query.")
    lines.append("")
    lines.append(f"CPU: {model}; {load_before} before the run, {load_after} after.")
    lines.append("")
    if not modes_ok:
        lines.append("(this version of tarnexa has no `mode=`: only the semantic search is timed)")
        lines.append("")
    lines.append("| passages | keyword median | keyword p95 | hybrid median | hybrid p95 | semantic median "
                 "| semantic p95 | hybrid / semantic |")
    lines.append("|---|---|---|---|---|---|---|---|")
    for size, got in size_rows:
        cells = []
        for m in MODES:
            xs = got.get(m)
            cells += [cell(xs, median), cell(xs, p95)] if xs else ["-", "-"]
        r = f"{ratio(got['hybrid'], got['semantic']):.2f}" if "hybrid" in got else "-"
        lines.append(f"| {size:,} | " + " | ".join(cells) + f" | {r} |")
    lines.append("")
    targets = []
    for size, got in size_rows:
        if size == 100_000 and "keyword" in got:
            med = statistics.median(got["keyword"])
            targets.append(f"keyword side at 100,000: median {med:.1f} ms (target <= 20 ms: "
                           f"{'met' if med <= 20 else 'MISSED'})")
        if size == 1_000_000 and "hybrid" in got:
            r = ratio(got["hybrid"], got["semantic"])
            targets.append(f"hybrid / semantic at 1,000,000: {r:.2f} (target <= 1.5: {'met' if r <= 1.5 else 'MISSED'})")
    if filter_rows:
        lines.append(f"Filters at {sizes[-1]:,} passages (each filter's calls interleaved with the unfiltered ones):")
        lines.append("")
        lines.append("| filter | passes | mode | filtered median | filtered p95 | unfiltered median | filtered / unfiltered |")
        lines.append("|---|---|---|---|---|---|---|")
        for label, where, got in filter_rows:
            for m in ("hybrid", "semantic"):
                f, u = got["filtered " + m], got["unfiltered " + m]
                lines.append(f"| `{_json(where)}` | {label} | {m} | {cell(f, median)} | {cell(f, p95)} "
                             f"| {cell(u, median)} | {'>= ' if CUT.get(id(f)) else ''}{ratio(f, u):.2f} |")
                if label == "1%":
                    r = ratio(f, u)
                    targets.append(f"1% filter, {m}: {r:.2f} of the unfiltered time (target <= 0.5: "
                                   f"{'met' if r <= 0.5 else 'MISSED'})")
        lines.append("")
    if CUT:
        notes.append(f"a figure marked (N q) comes from the first N queries only: that kind of call took more than "
                     f"{BUDGET_S:.0f} s in all and was not called again; >= marks a last call stopped at that point "
                     f"(its SQLite statement interrupted), so the time is a lower bound")
    for t in targets + notes:
        lines.append(f"- {t}")
    text = "\n".join(lines).rstrip() + "\n"
    print(text)
    if args.out:
        write_section(args.out, "## Speed", text)
    return 0


def _json(value: Any) -> str:
    import json
    return json.dumps(value)


def profile(index: tarnexa.Index, qs: Sequence[str], modes_ok: bool) -> None:
    """Where the time of each kind of call goes: cProfile over the first ten queries (five with
    the filter), the top 15 functions by their own time."""
    import cProfile
    import pstats
    kinds: dict[str, dict[str, Any]] = {"semantic": {"mode": "semantic"} if modes_ok else {}}
    if modes_ok:
        kinds |= {"keyword": {"mode": "keyword"}, "hybrid": {"mode": "hybrid"}}
        if has_metadata():
            kinds["hybrid, 1% filter"] = {"mode": "hybrid", "where": FILTERS["1%"]}
    for name, extra in kinds.items():
        prof = cProfile.Profile()
        some = qs[: 5 if "where" in extra else 10]
        call = searcher(index, extra.get("mode"), extra.get("where"))
        spent, done, stopped = 0, 0, False
        prof.enable()
        while done < len(some) and not stopped and spent < BUDGET_S * 1e9:
            took, stopped = _call(call, some[done], BUDGET_S - spent / 1e9)
            spent, done = spent + took, done + 1
        prof.disable()
        print(f"---- profile: {name}, {done} queries{' (the last stopped)' if stopped else ''}", file=sys.stderr)
        pstats.Stats(prof, stream=sys.stderr).sort_stats("tottime").print_stats(15)


if __name__ == "__main__":
    sys.exit(main())

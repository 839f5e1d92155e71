"""What the keyword side costs per query, beside tantivy and SQLite FTS5 on the same passages.

    python benchmarks/keyword_speed.py                                # 100,000 and 1,000,000 passages
    python benchmarks/keyword_speed.py --sizes 20000                  # a quick look, about a minute
    python benchmarks/keyword_speed.py --out docs/benchmarks/keywords.md   # also write the table there

tantivy comes with the ``bench`` extra (``pip install tantivy`` alone does too); without it
its columns are left empty.

The passages, their embedding and the tarnexa index are those of ``hybrid_speed.py`` (Zipf
words over a vocabulary of 50,000, ``hashed:384``), built once per size under ``--folder``
(default ``/tmp/tarnexa-keyword-speed``; ``--folder /tmp/tarnexa-hybrid-speed`` shares that
benchmark's indexes) as ``nSIZE/``. Beside each, the peers' indexes of the same passages, also
built once and reused while the passages and the peer's version stay the same (a JSON stamp
beside each keeps its build time, and the CPU and load it was built under):

- ``tantivy-nSIZE/``: tantivy through its Python bindings, one text field with tantivy's
  default tokenizer and positions, and the passage's number as a stored field; the writer with
  its default heap and threads, committed once, its merges waited for. A query is
  ``index.parse_query(words, ["body"])`` (an OR of the words) and ``searcher.search(query, 10,
  count=False)`` (counting every match would defeat its early exit from the postings), then
  each hit's stored number.
- ``fts5-nSIZE.sqlite``: a plain FTS5 table ``t(body)`` with tarnexa's tokenizer (``porter
  unicode61``), the passage's number as its rowid, filled in transactions of 50,000 rows. A
  query is ``SELECT rowid FROM t WHERE t MATCH ? ORDER BY rank LIMIT 10`` with the words each
  quoted and joined by OR (``rank`` is ``bm25()``).

Queries: 50 of each length, 1, 3 and 8 distinct words, each word drawn from the passages' Zipf
distribution (seeded), so that most of the longer queries hold a word of most passages. Per
size and length the five calls (tarnexa ``Index.search(q, mode=..., limit=10)`` in keyword,
hybrid and semantic mode, tantivy, FTS5) are interleaved query by query after a warm-up of
their own queries; a ratio is the median of the per-query ratios of two calls measured in the
same run. A kind of call that passes ``--budget`` seconds in one cell is not called again
there (marked as in ``hybrid_speed.py``). Each call keeps its top 10, and the table gives how
many of them tarnexa's keyword side and tantivy share with FTS5's: a check that the three
index the same texts and answer the same question, not a measure of quality. tarnexa's keyword
side computes the formula of FTS5's ``bm25()`` (the same tokenizer's stems, no stop word among
these passages), so against FTS5 it is a check of exactness: a shared top 10 of 1.00 up to ties;
tantivy's IDF and its one-byte document lengths differ.

Sizes are the disk space each file takes (as ``du`` counts it): the tarnexa folder whole and by
part (``docs.sqlite`` with its log, split by ``dbstat`` into its FTS5 keyword tables and the
rest when it has them; each vector cache folder; ``keywords/`` and any other part when there),
tantivy's folder and the FTS5 database. Nothing here asserts a time; a missed target is marked.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from importlib import metadata
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

import tarnexa  # noqa: E402
from benchmarks.hybrid_speed import (BATCH, CUT, DIMS, SEED, FastHashed, build, cell, median,  # noqa: E402
                                     p95, passages, ratio, time_calls, vocabulary, zipf_cdf)
from benchmarks.report import machine, write_section  # noqa: E402

LENGTHS = (1, 3, 8)
KEYWORD_CALLS = ("tarnexa keyword", "tantivy", "FTS5")
TARGET_HYBRID = 1.3  # hybrid / semantic at 1,000,000

try:
    import tantivy
except ImportError:  # its columns stay empty
    tantivy = None


def queries(vocab: Sequence[str], cdf: npt.NDArray[np.float64], words: int, n: int, salt: int = 0) -> list[str]:
    """n queries of that many distinct words, each drawn from the passages' Zipf distribution."""
    rng = np.random.default_rng([SEED, 3, words, salt])
    out = []
    for _ in range(n):
        picked: dict[str, None] = {}
        while len(picked) < words:
            picked[vocab[min(int(np.searchsorted(cdf, rng.random())), len(vocab) - 1)]] = None
        out.append(" ".join(picked))
    return out


def fts5_match(q: str) -> str:
    return " OR ".join('"' + w.replace('"', '""') + '"' for w in q.split())


# ---- the peers' indexes ----

def peer_version(kind: str) -> str:
    return f"tantivy {metadata.version('tantivy')}" if kind == "tantivy" else f"SQLite {sqlite3.sqlite_version}"


def corpus_key(vocab: Sequence[str], cdf: npt.NDArray[np.float64], size: int) -> str:
    """What a peer's index is built from: the size and the first and last passages."""
    text = "\n".join([str(size), *passages(vocab, cdf, 0, 2), *passages(vocab, cdf, size - 1, size)])
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def _stamp(path: Path) -> Path:
    return path.with_name(path.name + ".json")


def reusable(path: Path, key: str) -> dict[str, Any] | None:
    """The stamp of the peer's index at path when it was built from these passages by this version."""
    try:
        got: dict[str, Any] = json.loads(_stamp(path).read_text())
    except (OSError, ValueError):
        return None
    return got if path.exists() and got.get("key") == key else None


def build_tantivy(path: Path, texts: Sequence[str]) -> None:
    builder = tantivy.SchemaBuilder()
    builder.add_unsigned_field("row", stored=True)
    builder.add_text_field("body")
    path.mkdir(parents=True)
    index = tantivy.Index(builder.build(), path=str(path))
    writer = index.writer()
    for i, text in enumerate(texts):
        writer.add_document(tantivy.Document(row=i, body=text))
    writer.commit()
    writer.wait_merging_threads()


def build_fts5(path: Path, texts: Sequence[str]) -> None:
    db = sqlite3.connect(path, isolation_level=None)
    try:
        db.execute("CREATE VIRTUAL TABLE t USING fts5(body, tokenize='porter unicode61')")
        for start in range(0, len(texts), BATCH):
            db.execute("BEGIN")
            db.executemany("INSERT INTO t (rowid, body) VALUES (?, ?)",
                           enumerate(texts[start:start + BATCH], start))
            db.execute("COMMIT")
    finally:
        db.close()


def build_peers(folder: Path, size: int, vocab: Sequence[str], cdf: npt.NDArray[np.float64],
                kinds: Sequence[str]) -> dict[str, dict[str, Any]]:
    """Each peer's stamp (its build time, the CPU and load it was built under, and whether this
    run built it), its index built first unless reused. The passages are made before the clock
    starts, so that a build's time is the peer's own."""
    paths = {"tantivy": folder / f"tantivy-n{size}", "FTS5": folder / f"fts5-n{size}.sqlite"}
    key = corpus_key(vocab, cdf, size)
    out, texts = {}, None
    for kind in kinds:
        path, want = paths[kind], f"{key} {peer_version(kind)}"
        stamp = reusable(path, want)
        if stamp is None:
            texts = texts if texts is not None else passages(vocab, cdf, 0, size)
            if path.is_dir():
                shutil.rmtree(path)
            path.unlink(missing_ok=True)
            cpu, load = machine()
            print(f"  building the {kind} index of {size:,} passages", file=sys.stderr)
            t0 = time.perf_counter()
            (build_tantivy if kind == "tantivy" else build_fts5)(path, texts)
            seconds = time.perf_counter() - t0
            stamp = {"key": want, "seconds": seconds, "cpu": cpu, "load": f"{load} before, {machine()[1]} after",
                     "date": time.strftime("%Y-%m-%d", time.gmtime())}
            _stamp(path).write_text(json.dumps(stamp))
            stamp = stamp | {"here": True}
        out[kind] = stamp | {"path": path}
    return out


def layout(folder: Path) -> list[str]:
    """The parts of an index folder, their numbers left out, each with the format its manifest names."""
    out = set()
    for p in folder.iterdir():
        name, manifest = re.sub(r"\d+", "N", p.name), p / "manifest.json"
        if manifest.is_file():
            name += f" {json.loads(manifest.read_text()).get('format')}"
        out.add(name)
    return sorted(out - {"built"})


def fresh_layout() -> list[str]:
    """The layout of an index this tarnexa makes."""
    with tempfile.TemporaryDirectory() as tmp:
        with tarnexa.Index.create(Path(tmp) / "i", embedder="hashed:8") as index:
            index.add(["a b c"])
        return layout(Path(tmp) / "i")


def tarnexa_index(folder: Path, size: int, vocab: Sequence[str], cdf: npt.NDArray[np.float64],
                  fast: FastHashed) -> dict[str, Any] | None:
    """Builds (or reuses) the tarnexa index as hybrid_speed.py does; its build's stamp, kept beside
    the folder. An index whose stamp does not show the layout this tarnexa makes is built again,
    even when its tables are the same: one that an older tarnexa wrote would have its keyword
    index made at its first opening, in one piece rather than a piece per batch as ``add`` makes it."""
    stamp, want = folder.with_name(folder.name + ".build.json"), fresh_layout()
    try:
        got: dict[str, Any] | None = json.loads(stamp.read_text())
    except (OSError, ValueError):
        got = None
    if got is None or got.get("layout") != want:
        (folder / "built").unlink(missing_ok=True)
    seconds = build(folder, size, vocab, cdf, fast)
    built = (folder / "built").read_text()
    if seconds:
        cpu, load = machine()
        got = {"key": built, "layout": want, "seconds": seconds, "cpu": cpu, "load": f"{load} after",
               "date": time.strftime("%Y-%m-%d", time.gmtime())}
        stamp.write_text(json.dumps(got))
        return got | {"here": True}
    return got


def keyword_segments(folder: Path) -> str:
    try:
        return f"; keyword segments: {len(json.loads((folder / 'keywords' / 'manifest.json').read_text())['segments'])}"
    except (OSError, ValueError, KeyError, TypeError):
        return ""


# ---- sizes on disk ----

def disk(path: Path) -> int:
    """Bytes the file or folder takes on disk."""
    if not path.exists():
        return 0
    files = [path] if path.is_file() else [p for p in path.rglob("*") if p.is_file()]
    return sum(p.lstat().st_blocks * 512 for p in files)


def parts(folder: Path) -> list[tuple[str, int]]:
    """The tarnexa folder's size by part: docs.sqlite with its log (its FTS5 keyword tables apart
    when it has them), each folder in it by name, the other files together, and the whole."""
    store = sum(disk(p) for p in folder.glob("docs.sqlite*"))
    out = [("docs.sqlite", store)]
    db = sqlite3.connect(f"file:{folder / 'docs.sqlite'}?mode=ro", uri=True)
    try:
        kw = db.execute("SELECT coalesce(sum(pgsize), 0) FROM dbstat WHERE name LIKE 'keywords%'").fetchone()[0]
    except sqlite3.Error:  # no dbstat in this SQLite
        kw = 0
    finally:
        db.close()
    if kw:
        out += [("docs.sqlite: its FTS5 keyword tables", int(kw)), ("docs.sqlite: the rest", store - int(kw))]
    others = 0
    for p in sorted(folder.iterdir()):
        if p.is_dir():
            out.append((p.name + "/", disk(p)))
        elif not p.name.startswith("docs.sqlite"):
            others += disk(p)
    return out + [("other files", others), ("the whole folder", disk(folder))]


def mb(n: int) -> str:
    return f"{n / 1e6:,.1f} MB"


# ---- the calls ----

def tarnexa_call(index: tarnexa.Index, mode: str, top: dict[str, list[int]] | None) -> Callable[[str], Any]:
    def call(q: str) -> None:
        store = index._store
        call.conns = [store.db, *store._idle]  # type: ignore[attr-defined]  # a search takes the last idle one
        hits = index.search(q, mode=mode, limit=10)
        if top is not None:
            top[q] = [int(h.id[1:]) for h in hits]

    def interrupt() -> None:
        for db in getattr(call, "conns", ()):
            db.interrupt()
    call.interrupt = interrupt  # type: ignore[attr-defined]
    return call


def tantivy_call(path: Path, top: dict[str, list[int]]) -> Callable[[str], Any]:
    index = tantivy.Index.open(str(path))
    searcher = index.searcher()

    def call(q: str) -> None:
        hits = searcher.search(index.parse_query(q, ["body"]), 10, count=False).hits
        top[q] = [searcher.doc(address)["row"][0] for _, address in hits]
    call.segments = searcher.num_segments  # type: ignore[attr-defined]
    return call


def fts5_call(path: Path, top: dict[str, list[int]]) -> Callable[[str], Any]:
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, check_same_thread=False)

    def call(q: str) -> None:
        top[q] = [r for (r,) in db.execute("SELECT rowid FROM t WHERE t MATCH ? ORDER BY rank LIMIT 10",
                                           (fts5_match(q),))]
    call.interrupt = db.interrupt  # type: ignore[attr-defined]
    call.db = db  # type: ignore[attr-defined]
    return call


def common_share(fts5: Callable[[str], Any], size: int, qs: Sequence[str]) -> int:
    """How many of the queries hold a word of more than half the passages."""
    db: sqlite3.Connection = fts5.db  # type: ignore[attr-defined]
    db.execute("CREATE VIRTUAL TABLE IF NOT EXISTS temp.v USING fts5vocab(main, t, row)")
    common = {t for (t,) in db.execute("SELECT term FROM temp.v WHERE doc > ?", (size / 2,))}
    return sum(any(w in common for w in q.split()) for q in qs)  # the words are their own stems


def overlap(a: dict[str, list[int]], b: dict[str, list[int]], qs: Sequence[str]) -> str:
    """The mean share of two calls' top 10 they have in common, over the queries both answered."""
    got = [len(set(a[q]) & set(b[q])) / max(len(a[q]), len(b[q])) for q in qs
           if q in a and q in b and (a[q] or b[q])]
    return f"{sum(got) / len(got):.2f}" if got else "-"


# ---- the run ----

def measure(index: tarnexa.Index, peers: dict[str, dict[str, Any]], size: int, qs_by_length: dict[int, list[str]],
            warm: Sequence[str], budget: float) -> tuple[dict[int, dict[str, list[float]]], dict[int, dict[str, str]],
                                                         dict[str, Any]]:
    """ms per query of each call at each length, the agreement figures, and notes on the peers."""
    top: dict[str, dict[str, list[int]]] = {name: {} for name in KEYWORD_CALLS}
    calls = {"tarnexa keyword": tarnexa_call(index, "keyword", top["tarnexa keyword"])}
    notes = {}
    if "tantivy" in peers:
        calls["tantivy"] = tantivy_call(peers["tantivy"]["path"], top["tantivy"])
        notes["tantivy segments"] = calls["tantivy"].segments  # type: ignore[attr-defined]
    calls["FTS5"] = fts5_call(peers["FTS5"]["path"], top["FTS5"])
    calls |= {m: tarnexa_call(index, m, None) for m in ("hybrid", "semantic")}
    for xs in time_calls(calls, warm, budget).values():  # untimed: pages read, the snapshot built
        CUT.pop(id(xs), None)
    times, agree = {}, {}
    for length, qs in qs_by_length.items():
        print(f"  {size:,} passages, {length}-word queries", file=sys.stderr)
        times[length] = time_calls(calls, qs, budget)
        agree[length] = {"common": f"{common_share(calls['FTS5'], size, qs)} of {len(qs)}",
                         "tarnexa": overlap(top["tarnexa keyword"], top["FTS5"], qs),
                         "tantivy": overlap(top["tantivy"], top["FTS5"], qs) if "tantivy" in calls else "-"}
    calls["FTS5"].db.close()  # type: ignore[attr-defined]
    return times, agree, notes


def built_line(what: str, size: int, stamp: dict[str, Any] | None) -> str:
    if stamp is None:
        return f"{what} of {size:,} passages: reused, its build time not known"
    rate = f"{stamp['seconds']:.1f} s, {size / stamp['seconds']:,.0f} passages/s"
    if stamp.get("here"):
        return f"{what} of {size:,} passages: built in this run in {rate}"
    return f"{what} of {size:,} passages: built on {stamp['date']} in {rate} ({stamp['cpu']}; {stamp['load']})"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="keyword_speed.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--folder", type=Path, default=Path("/tmp/tarnexa-keyword-speed"))
    parser.add_argument("--queries", type=int, default=50, help="queries of each length (default 50)")
    parser.add_argument("--budget", type=float, default=60.0, metavar="S",
                        help="seconds one kind of call may take in one cell before it is cut short (default 60)")
    parser.add_argument("--out", type=Path, help="also write the section into this Markdown file")
    args = parser.parse_args(argv)
    sizes = sorted(set(args.sizes))
    vocab, cdf = vocabulary(), zipf_cdf()
    fast = FastHashed(DIMS)
    fast.learn(vocab)  # so that no query pays for hashing a word's features
    qs_by_length = {n: queries(vocab, cdf, n, args.queries) for n in LENGTHS}
    warm = [q for n in LENGTHS for q in queries(vocab, cdf, n, 3, salt=1)]
    kinds = ["tantivy", "FTS5"] if tantivy is not None else ["FTS5"]
    cpu, load_before = machine()
    rows, builds, disks = [], [], []
    for size in sizes:
        folder = args.folder / f"n{size}"
        own = tarnexa_index(folder, size, vocab, cdf, fast)
        peers = build_peers(args.folder, size, vocab, cdf, kinds)
        with tarnexa.Index.open(folder, embedder=fast) as index:
            times, agree, notes = measure(index, peers, size, qs_by_length, warm, args.budget)
        rows.append((size, times, agree))
        builds += [built_line("tarnexa index (with generating and embedding the passages)", size, own)
                   + keyword_segments(folder)]
        segments = f"; segments: {notes['tantivy segments']}" if "tantivy segments" in notes else ""
        builds += [built_line(f"{kind} index", size, peers[kind]) + (segments if kind == "tantivy" else "")
                   for kind in kinds]
        disks.append((size, parts(folder), {k: disk(p["path"]) for k, p in peers.items()}))
    _, load_after = machine()
    text = table(sizes, rows, builds, disks, cpu, load_before, load_after, args.queries, kinds)
    print(text)
    if args.out:
        write_section(args.out, "## Speed", text, title="# Keyword search")
    return 0


def checkout() -> str:
    """The commit of the tarnexa measured, and whether its sources differ from it."""
    def git(*args: str) -> str:
        try:
            return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True).stdout.strip()
        except OSError:
            return ""
    head = git("rev-parse", "--short", "HEAD")
    if not head:
        return ""
    return f" at {head}" + (" with changes" if git("status", "--porcelain", "--", "tarnexa", "src") else "")


def table(sizes: Sequence[int], rows: list[tuple[int, dict[int, dict[str, list[float]]], dict[int, dict[str, str]]]],
          builds: list[str], disks: list[tuple[int, list[tuple[str, int]], dict[str, int]]], cpu: str,
          load_before: str, load_after: str, n: int, kinds: Sequence[str]) -> str:
    peers = f"tantivy {metadata.version('tantivy')}, " if tantivy is not None else "no tantivy (not installed), "
    lines = [f"`python benchmarks/keyword_speed.py --sizes {' '.join(map(str, sizes))}` "
             f"({time.strftime('%Y-%m-%d', time.gmtime())}): tarnexa {tarnexa.__version__}{checkout()}, {peers}"
             f"SQLite {sqlite3.sqlite_version}; hashed:{DIMS}, {n} queries of each length, top 10, ms per query.",
             "", f"CPU: {cpu}; {load_before} before the run, {load_after} after.", "",
             "| passages | words | tarnexa keyword median | p95 | tantivy median | p95 | FTS5 median | p95 "
             "| tarnexa / tantivy | tarnexa / FTS5 |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for size, times, _ in rows:
        for length, got in times.items():
            cells = [c for name in KEYWORD_CALLS for c in
                     ((cell(got[name], median), cell(got[name], p95)) if name in got else ("-", "-"))]
            r = [f"{ratio(got['tarnexa keyword'], got[b]):.2f}" if b in got else "-" for b in ("tantivy", "FTS5")]
            lines.append(f"| {size:,} | {length} | " + " | ".join(cells + r) + " |")
    lines += ["", "The same queries in tarnexa's other modes, interleaved with the calls above; and how many of "
              "each query's top 10 tarnexa's keyword side and tantivy share with FTS5's:", "",
              "| passages | words | hybrid median | p95 | semantic median | p95 | hybrid / semantic "
              "| queries with a word of most passages | tarnexa keyword & FTS5 | tantivy & FTS5 |",
              "|---|---|---|---|---|---|---|---|---|---|"]
    targets = []
    for size, times, agree in rows:
        for length, got in times.items():
            r = ratio(got["hybrid"], got["semantic"])
            mark = ""
            if size == 1_000_000:
                met = "met" if r <= TARGET_HYBRID else "MISSED"
                mark = f" ({met})"
                targets.append(f"hybrid / semantic at 1,000,000, {length}-word queries: {r:.2f} "
                               f"(target <= {TARGET_HYBRID}: {met})")
            a = agree[length]
            lines.append(f"| {size:,} | {length} | {cell(got['hybrid'], median)} | {cell(got['hybrid'], p95)} "
                         f"| {cell(got['semantic'], median)} | {cell(got['semantic'], p95)} | {r:.2f}{mark} "
                         f"| {a['common']} | {a['tarnexa']} | {a['tantivy']} |")
    names = list(dict.fromkeys(name for _, ps, _ in disks for name, _ in ps if name != "the whole folder"))
    names.append("the whole folder")
    lines += ["", "On disk (`du`'s count):", "",
              "| passages | " + " | ".join(f"tarnexa: {x}" for x in names) + "".join(f" | {k}" for k in kinds) + " |",
              "|---" * (2 + len(names) + len(kinds) - 1) + "|"]
    for size, ps, peer_sizes in disks:
        got = dict(ps)
        lines.append(f"| {size:,} | " + " | ".join(mb(got[x]) if x in got else "-" for x in names)
                     + "".join(f" | {mb(peer_sizes[k])}" for k in kinds) + " |")
    lines.append("")
    if CUT:
        targets.append("a figure marked (N q) comes from the first N queries only: that kind of call passed its "
                       "budget in that cell and was not called again; >= marks a last call stopped there, a lower bound")
    lines += [f"- {t}" for t in targets + builds]
    return "\n".join(lines).rstrip() + "\n"


if __name__ == "__main__":
    sys.exit(main())

"""nDCG@10, recall@100 and MRR@10 of each search mode and embedder on public IR benchmarks with
graded judgements, beside the corpora of quality.py; indexing passages/s and query latency, and
the embedders' speed beside the machine's float32 matrix-product rate, in the same run.

    python benchmarks/ir_quality.py --beir arguana=/tmp/beir/arguana \\
        --trec nfcorpus=/tmp/beir/nfraw/test.docs,/tmp/beir/nfraw/test.titles.queries,/tmp/beir/nfraw/test.2-1-0.qrel \\
        --corpus httpx=/tmp/corpora/httpx/docs --corpus flask=/tmp/corpora/flask/docs \\
        --out docs/benchmarks/quality.md

Corpora (nothing is fetched; docs/benchmarks/quality.md says where each one's files come from):
- ``--beir NAME=FOLDER``: a BEIR folder (corpus.jsonl with _id, title, text; queries.jsonl;
  qrels/test.tsv). The title is given as the document's title; a hit whose id is the query's
  own is dropped, as BEIR's evaluation does.
- ``--trec NAME=DOCS,QUERIES,QRELS``: documents and queries as ``ID<tab>TEXT`` lines, judgements
  in TREC's ``QUERY 0 DOC GRADE`` lines (the NFCorpus release's layout).
- ``--cranfield NAME=FOLDER``: the Cranfield collection's three files (see cranfield_corpus).
- the demo and ``--corpus NAME=FOLDER`` as quality.py reads them (a hit counts by its file,
  each file once, at grade 1).

Each (corpus, embedder) pair is indexed once (Index.create, Index.add or sync) and searched with
each mode, ``limit=100``. nDCG@10 has linear gains (the grade) over the ideal ordering of the
judged documents, as trec_eval and BEIR compute it; recall@100 is the share of the judged
documents (grade > 0) among the first 100; MRR@10 is 1 / the rank of the first of them in the
first 10. Queries without a judged document are left out.

Embedders are named as Index.create takes them; ``minilm-128`` (in this file) is all-MiniLM-L6-v2
cut at 128 tokens, as its tokenizer file says, and ``minilm-nomask`` also averages the padding to
128 tokens into the vector: the two ways a port of the model goes wrong.
"""

from __future__ import annotations

import argparse
import json
import math
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
for extra in (ROOT, ROOT / "examples"):
    if str(extra) not in sys.path:
        sys.path.insert(0, str(extra))

import tarnexa  # noqa: E402
from benchmarks import quality  # noqa: E402
from benchmarks.report import machine, write_section  # noqa: E402

MODES = ("semantic", "keyword", "hybrid")
EMBEDDERS = ("minilm", "wordllama", "hashed")
NDCG_K, RECALL_K, MRR_K = 10, 100, 10
LATENCY_QUERIES = 30


@dataclass
class Judged:
    """A corpus whose queries have graded judgements: query id -> {document key: grade}."""
    name: str
    about: str
    queries: dict[str, str]
    qrels: dict[str, dict[str, int]]
    build: Callable[[Any, Path], tarnexa.Index]
    key: Callable[[str], str]  # a hit's id -> what the judgements name
    drop_own: bool = False  # drop a hit whose key is the query's id
    by_name: bool = False  # built from an embedder's name only (quality.py's corpora)


def _add_all(docs: Sequence[tuple[str, str, str]]) -> Callable[[Any, Path], tarnexa.Index]:
    def build(embedder: Any, folder: Path) -> tarnexa.Index:
        index = tarnexa.Index.create(folder, embedder=embedder)
        try:
            index.add([d[2] for d in docs], ids=[d[0] for d in docs], titles=[d[1] for d in docs])
        except BaseException:
            index.close()
            raise
        return index
    return build


def beir_corpus(name: str, folder: Path) -> Judged:
    docs = []
    with open(folder / "corpus.jsonl", encoding="utf-8") as f:
        for line in f:
            d = json.loads(line)
            docs.append((str(d["_id"]), d.get("title") or "", d.get("text") or ""))
    with open(folder / "queries.jsonl", encoding="utf-8") as f:
        queries = {str(q["_id"]): q["text"] for q in map(json.loads, f)}
    qrels: dict[str, dict[str, int]] = {}
    with open(folder / "qrels" / "test.tsv", encoding="utf-8") as f:
        next(f)  # the header
        for line in f:
            q, d, grade = line.rstrip("\n").split("\t")
            qrels.setdefault(q, {})[d] = int(grade)
    return Judged(name, f"BEIR {name} ({len(docs):,} documents)", queries, qrels, _add_all(docs),
                  lambda i: i, drop_own=True)


def _tab_lines(path: Path) -> list[tuple[str, str]]:
    out = []
    for line in path.read_text(encoding="utf-8").splitlines():
        ident, _, text = line.partition("\t")
        if ident.strip():
            out.append((ident.strip(), text.strip()))
    return out


def trec_corpus(name: str, docs_path: Path, queries_path: Path, qrels_path: Path) -> Judged:
    docs = [(i, "", t) for i, t in _tab_lines(docs_path)]
    queries = dict(_tab_lines(queries_path))
    qrels: dict[str, dict[str, int]] = {}
    for line in qrels_path.read_text(encoding="utf-8").splitlines():
        if line.strip():
            q, _, d, grade = line.split()
            qrels.setdefault(q, {})[d] = int(grade)
    return Judged(name, f"{docs_path.name}, {queries_path.name}, {qrels_path.name} ({len(docs):,} documents)",
                  queries, qrels, _add_all(docs), lambda i: i)


def _smart(path: Path) -> list[dict[str, str]]:
    """The records of a file in the SMART layout (".I id", then ".T", ".W", ... fields)."""
    records: list[dict[str, str]] = []
    field = ""
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith(".I"):
            records.append({"I": line[2:].strip()})
            field = ""
        elif len(line) >= 2 and line[0] == "." and line[1].isalpha() and line[2:].strip() == "" and records:
            field = line[1]
            records[-1][field] = ""
        elif records and field:
            records[-1][field] += line.strip() + " "
    return [{k: v.strip() for k, v in r.items()} for r in records]


def cranfield_corpus(name: str, folder: Path) -> Judged:
    """The Cranfield collection: cran.all.1400 (title .T, abstract .W), cran.qry, and cranqrel,
    whose query numbers count the queries in order and whose grades run from 1 (a complete
    answer) to 4 (of marginal interest), -1 for no interest: gains 4 to 1, and 0."""
    # two records (471, 995) are empty: no text to find them by
    docs = [(r["I"], r.get("T", ""), r["W"]) for r in _smart(folder / "cran.all.1400") if r.get("W")]
    queries = {str(n): r.get("W", "") for n, r in enumerate(_smart(folder / "cran.qry"), 1)}
    qrels: dict[str, dict[str, int]] = {}
    for line in (folder / "cranqrel").read_text(encoding="utf-8").splitlines():
        if line.strip():
            q, d, grade = line.split()[:3]
            qrels.setdefault(q, {})[d] = 5 - int(grade) if int(grade) > 0 else 0
    return Judged(name, f"Cranfield ({len(docs):,} aeronautics abstracts with text)", queries, qrels, _add_all(docs),
                  lambda i: i)


def from_questions(corpus: quality.Corpus) -> Judged:
    queries = {str(n): q.text for n, q in enumerate(corpus.questions)}
    qrels = {str(n): {e: 1 for e in q.expected} for n, q in enumerate(corpus.questions)}
    return Judged(corpus.name, corpus.about, queries, qrels, corpus.build, corpus.key, by_name=True)


# ---- the metrics --------------------------------------------------------------------------------


def metrics(ranked: Sequence[str], judged: dict[str, int]) -> tuple[float, float, float]:
    """(nDCG@10, recall@100, MRR@10) of one ranking (keys, best first, each once)."""
    relevant = {k for k, g in judged.items() if g > 0}
    dcg = sum(judged.get(k, 0) / math.log2(r + 1) for r, k in enumerate(ranked[:NDCG_K], 1))
    ideal = sorted((g for g in judged.values() if g > 0), reverse=True)[:NDCG_K]
    idcg = sum(g / math.log2(r + 1) for r, g in enumerate(ideal, 1))
    recall = len(relevant.intersection(ranked[:RECALL_K])) / len(relevant)
    first = next((r for r, k in enumerate(ranked[:MRR_K], 1) if k in relevant), None)
    return dcg / idcg, recall, (1 / first if first else 0.0)


def _ranked(corpus: Judged, hits: Any, query_id: str) -> list[str]:
    out: list[str] = []
    seen: set[str] = set()
    for h in hits:
        k = corpus.key(h.id)
        if k in seen or (corpus.drop_own and k == query_id):
            continue
        seen.add(k)
        out.append(k)
    return out


@dataclass
class Row:
    embedder: str
    mode: str
    ndcg: float
    recall: float
    mrr: float
    query_ms: float


GRID = tuple(i / 20 for i in range(1, 20))  # the convex fusion's semantic weights tried with --fusion-grid


def _ndcg(corpus: Judged, ids: Sequence[str], found: Sequence[Any]) -> tuple[float, float, float]:
    scores = [metrics(_ranked(corpus, hits, q), corpus.qrels[q]) for q, hits in zip(ids, found)]
    ndcg, recall, mrr = (statistics.fmean(s[i] for s in scores) for i in range(3))
    return ndcg, recall, mrr


def evaluate(corpus: Judged, embedder: str, grid: Sequence[float] = ()) -> tuple[list[Row], int, float]:
    """The rows of one embedder on one corpus, the passages indexed, and indexing passages/s;
    with grid, also hybrid searches fused by rrf and by convex fusion at each semantic weight
    (mode "rrf", "convex 0.40"...; no latency)."""
    ids = [q for q in corpus.queries if any(g > 0 for g in corpus.qrels.get(q, {}).values())]
    texts = [corpus.queries[q] for q in ids]
    rows = []
    with tempfile.TemporaryDirectory(prefix="tarnexa-ir-") as tmp:
        t0 = time.perf_counter()
        index = corpus.build(named(embedder), Path(tmp) / "index")
        built = time.perf_counter() - t0
        with index:
            size = len(index)
            for mode in MODES:
                found = index.search_many(texts, limit=RECALL_K, mode=mode)
                times = []
                for text in texts[:LATENCY_QUERIES]:
                    t = time.perf_counter()
                    index.search(text, mode=mode)
                    times.append((time.perf_counter() - t) * 1000)
                rows.append(Row(embedder, mode, *_ndcg(corpus, ids, found), statistics.median(times)))
            tried: list[tuple[str, dict[str, Any]]] = [("rrf", {"fusion": "rrf"})] if grid else []
            tried += [(f"convex {w:.2f}", {"fusion": "convex", "semantic_weight": w, "keyword_weight": 1 - w})
                      for w in grid]
            for name, how in tried:
                found = index.search_many(texts, limit=RECALL_K, mode="hybrid", **how)
                rows.append(Row(embedder, name, *_ndcg(corpus, ids, found), math.nan))
    return rows, size, size / built


# ---- the two ways a port of all-MiniLM-L6-v2 goes wrong, for comparison -------------------------

VARIANTS = ("minilm-128", "minilm-nomask")
_VARIANTS: dict[str, Any] = {}


def _variant(name: str) -> Any:
    """all-MiniLM-L6-v2 as its tokenizer file sets it up: cut at 128 tokens ("minilm-128"), and
    padded to 128 with the padding averaged into the vector as well ("minilm-nomask")."""
    if name not in _VARIANTS:
        from tarnexa.text.minilm import MiniLM

        model = MiniLM()
        model.tokenizer.enable_truncation(max_length=128)
        if name == "minilm-nomask":  # the padding's ids reach the model as tokens: attended to, averaged in
            model.tokenizer.enable_padding(length=128)
        _VARIANTS[name] = model
    return _VARIANTS[name]


def named(embedder: str) -> Any:
    return _variant(embedder) if embedder in VARIANTS else embedder


# ---- speed beside the matrix products ------------------------------------------------------------


def _gemm_rate(rounds: int) -> float:
    """float32 GFLOP/s of NumPy's matrix product at the model's largest shape (8192 x 384 times
    384 x 1536), the best of some rounds."""
    a = np.random.default_rng(1).standard_normal((8192, 384), dtype=np.float32)
    b = np.random.default_rng(2).standard_normal((384, 1536), dtype=np.float32)
    a @ b
    best = 0.0
    for _ in range(rounds):
        t = time.perf_counter()
        a @ b
        best = max(best, 2 * 8192 * 384 * 1536 / (time.perf_counter() - t) / 1e9)
    return best


def speed(texts: Sequence[str], rounds: int = 3) -> list[str]:
    """all-MiniLM-L6-v2's passages/s at 256 tokens and its latency for one query, beside the
    matrix-product rate measured in between (its FLOPs per passage counted exactly)."""
    from tarnexa.text.minilm import MAX_TOKENS, MiniLM

    model = MiniLM()
    long = [t for t, ids in zip(texts, model.token_ids(texts)) if len(ids) == MAX_TOKENS][:64]
    if len(long) < 16:
        return ["(too few passages of 256 tokens for the speed measurement)"]
    d, f, length = model.dims, model.blocks[0]["up"].shape[1], MAX_TOKENS
    flops = model.layers * 2 * length * (3 * d * d + d * d + 2 * d * f + 2 * length * d)
    model(long[:4])
    rates, gemms, one = [], [], []
    for _ in range(rounds):
        t = time.perf_counter()
        model(long)
        rates.append(len(long) / (time.perf_counter() - t))
        gemms.append(_gemm_rate(3))
        for q in ("how do statins affect cancer survival", "what does a proxy do"):
            t = time.perf_counter()
            model([q])
            one.append((time.perf_counter() - t) * 1000)
    rate, gemm = statistics.median(rates), statistics.median(gemms)
    at_gemm = gemm * 1e9 / flops
    return [
        "| measurement | value |", "|---|---|",
        f"| float32 matrix product ({gemm:.0f} GFLOP/s, median of the best of 3 per round) | {at_gemm:.1f} passages/s "
        f"if all {flops / 1e9:.2f} GFLOP of a 256-token passage ran at that rate |",
        f"| minilm, {len(long)} passages of 256 tokens a round | {rate:.1f} passages/s (rounds: "
        f"{', '.join(f'{r:.1f}' for r in rates)}) = **{rate / at_gemm:.0%}** of the matrix-product rate |",
        f"| minilm, one query embedded | median {statistics.median(one):.1f} ms (max {max(one):.1f} ms) |",
    ]


# ---- the report ---------------------------------------------------------------------------------


def table(rows: Sequence[Row]) -> list[str]:
    out = [f"| embedder | mode | nDCG@{NDCG_K} | recall@{RECALL_K} | MRR@{MRR_K} | query ms |", "|---|---|---|---|---|---|"]
    rows = [r for r in rows if r.mode in MODES]
    best = max(r.ndcg for r in rows)
    for r in rows:
        mark = " **best**" if r.ndcg == best else ""
        out.append(f"| {r.embedder} | {r.mode} | {r.ndcg:.3f}{mark} | {r.recall:.3f} | {r.mrr:.3f} | {r.query_ms:.1f} |")
    return out


def fusion_tables(every: dict[str, list[Row]], embedders: Sequence[str]) -> list[str]:
    """Per embedder, nDCG@10 of each fusion on each corpus beside the better side alone; the
    weight chosen is the one whose hybrid search is at least as good as the better side on
    every corpus with the best mean (the best mean when none is)."""
    out = ["### Fusion weights", ""]
    names = list(every)
    for embedder in embedders:
        got = {c: {r.mode: r.ndcg for r in every[c] if r.embedder == embedder} for c in names}
        if not all("semantic" in got[c] for c in names):
            continue
        better = {c: max(got[c]["semantic"], got[c]["keyword"]) for c in names}
        fusions = ["rrf", *(f"convex {w:.2f}" for w in GRID)]
        ok = {f: all(got[c][f] >= better[c] for c in names) for f in fusions}
        mean = {f: statistics.fmean(got[c][f] for c in names) for f in fusions}
        pool = [f for f in fusions[1:] if ok[f]] or fusions[1:]
        chosen = max(pool, key=lambda f: mean[f])
        out += [f"{embedder}: chosen **{chosen}** (the semantic weight; the keyword side's is 1 minus it).", "",
                "| fusion | " + " | ".join(names) + " | mean | never below the better side |",
                "|---|" + "---|" * (len(names) + 2),
                "| better side alone | " + " | ".join(f"{better[c]:.3f}" for c in names) + " | | |"]
        for f in fusions:
            mark = "**" if f == chosen else ""
            out.append(f"| {mark}{f}{mark} | " + " | ".join(f"{got[c][f]:.3f}" for c in names) +
                       f" | {mean[f]:.4f} | {'yes' if ok[f] else 'no'} |")
        out.append("")
    return out


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="ir_quality.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    for flag, meta, text in (
            ("--beir", "NAME=FOLDER", "a BEIR folder"), ("--trec", "NAME=DOCS,QUERIES,QRELS", "TREC-style files"),
            ("--cranfield", "NAME=FOLDER", "a folder with cran.all.1400, cran.qry and cranqrel"),
            ("--corpus", "NAME=FOLDER", "a documentation folder with questions in benchmarks/questions/NAME.tsv"),
            ("--embedder", "NAME", f"an embedder to rate (default: {', '.join(EMBEDDERS)})")):
        parser.add_argument(flag, action="append", default=[], metavar=meta, help=text + " (repeatable)")
    for flag, text in (("--no-demo", "leave out the demo's corpus"), ("--no-speed", "leave out the speed measurement")):
        parser.add_argument(flag, action="store_true", help=text)
    parser.add_argument("--fusion-grid", action="store_true",
                        help="also rate hybrid searches fused by rrf and by convex fusion at semantic weights "
                             "0.05 to 0.95, and choose each embedder's weight")
    parser.add_argument("--out", type=Path, help="also write the report into this Markdown file")
    args = parser.parse_args(argv)
    corpora: list[Judged] = []
    for item in args.beir:
        name, _, folder = item.partition("=")
        corpora.append(beir_corpus(name, Path(folder).expanduser()))
    for item in args.trec:
        name, _, files = item.partition("=")
        parts = [Path(p).expanduser() for p in files.split(",")]
        if len(parts) != 3:
            parser.error(f"--trec wants NAME=DOCS,QUERIES,QRELS, not {item!r}")
        corpora.append(trec_corpus(name, *parts))
    for item in args.cranfield:
        name, _, folder = item.partition("=")
        corpora.append(cranfield_corpus(name, Path(folder).expanduser()))
    if not args.no_demo:
        corpora.append(from_questions(quality.demo_corpus()))
    for item in args.corpus:
        name, _, folder = item.partition("=")
        corpora.append(from_questions(quality.folder_corpus(name, Path(folder).expanduser())))
    embedders = args.embedder or list(EMBEDDERS)
    model, load_before = machine()
    t0 = time.perf_counter()
    command = " ".join(["python benchmarks/ir_quality.py", *(argv if argv is not None else sys.argv[1:])])
    lines = [f"`{command}` ({time.strftime('%Y-%m-%d', time.gmtime())}); each query searched with "
             f"`limit={RECALL_K}`; query ms is the median time of one `Index.search` (default limit) over the first "
             f"{LATENCY_QUERIES} queries.", ""]
    every: dict[str, list[Row]] = {}
    for corpus in corpora:
        rows: list[Row] = []
        built = []
        size = 0
        for embedder in embedders:
            if corpus.by_name and embedder in VARIANTS:
                continue
            _, load = machine()
            got, size, rate = evaluate(corpus, embedder, GRID if args.fusion_grid else ())
            every[corpus.name] = every.get(corpus.name, []) + got
            rows += got
            built.append(f"{embedder} {rate:.1f} passages/s ({load})")
        judged = sum(1 for q in corpus.queries if any(g > 0 for g in corpus.qrels.get(q, {}).values()))
        lines += [f"### {corpus.name}: {corpus.about}", "", f"{judged} judged queries, {size:,} passages. "
                  f"Indexing (embedding and storing): {'; '.join(built)}.", "", *table(rows), ""]
    if args.fusion_grid:
        lines += fusion_tables(every, embedders)
    if not args.no_speed:
        docs = [t for item in args.trec for _, t in _tab_lines(Path(item.partition("=")[2].split(",")[0]).expanduser())]
        _, load = machine()
        lines += ["### Speed of the minilm embedder", "", f"Load before: {load}.", "", *speed(docs), ""]
    lines.append(f"CPU: {model}; {load_before} before the run, {machine()[1]} after "
                 f"({time.perf_counter() - t0:.0f} s).")
    print(*lines, sep="\n")
    if args.out:
        write_section(args.out, "## Quality and speed", "\n".join(lines), title="# Search quality")
    return 0


if __name__ == "__main__":
    sys.exit(main())

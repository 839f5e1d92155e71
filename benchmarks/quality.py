"""Recall@5 and MRR@10 of each search mode and embedder on questions with known answers.

    python benchmarks/quality.py --corpus httpx=/tmp/corpora/httpx/docs \\
        --corpus flask=/tmp/corpora/flask/docs --out docs/benchmarks/hybrid.md

Corpora:
- demo: the demo's reference documentation (examples/demo.py, nothing downloaded) and the 25
  questions of examples/queries.tsv, a hit counting when its id is an expected id;
- NAME=FOLDER (repeatable): a folder of .md/.rst/.txt files and the questions of
  benchmarks/questions/NAME.tsv, whose header names the repository and commit the folder comes
  from. It is indexed as ``tarnexa index`` indexes it (Index.create + Index.sync, passages with
  ids FILE#N, FILE the path below FOLDER), and a hit counts when its FILE is an expected file,
  so that the labels do not depend on how files are cut into passages.

Nothing is fetched. The two documentation folders of the questions given here come from:

    get() {  # get NAME OWNER/REPO COMMIT
        mkdir -p /tmp/corpora/$1 && cd /tmp/corpora/$1 && git init -q repo &&
        git -C repo fetch -q --depth 1 https://github.com/$2 $3 &&
        git -C repo archive $3 docs | tar -x && rm -rf repo && cd - >/dev/null
    }
    get httpx encode/httpx ae1b9f66238f75ced3ced5e4485408435de10768
    get flask pallets/flask 2ac89889f4cc330eabd50f295dcef02828522c69

Every (corpus, embedder) pair is indexed once into a temporary folder and searched with each
mode (``limit:10``; the modes this version of tarnexa lacks are shown as "-"). Recall@5 is the
share of questions with an expected hit among the first five; MRR@10 the mean over questions
of 1 / the rank of the first expected hit among the first ten (0 without one). ``--misses``
also lists, per row, the questions without an expected hit among the first five.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for extra in (ROOT, ROOT / "examples"):
    if str(extra) not in sys.path:
        sys.path.insert(0, str(extra))

import tarnexa  # noqa: E402
from benchmarks.report import machine, write_section  # noqa: E402

QUESTIONS = ROOT / "benchmarks" / "questions"
DEMO_QUESTIONS = ROOT / "examples" / "queries.tsv"
MODES = ("semantic", "keyword", "hybrid")
EMBEDDERS = ("wordllama", "hashed")
RECALL_K, MRR_K = 5, 10


@dataclass(frozen=True)
class Question:
    text: str
    expected: frozenset[str]  # ids (the demo) or file paths (a documentation folder)


def read_questions(path: Path) -> tuple[list[str], list[Question]]:
    """The header comment's lines and the questions of a TSV file: a question, then one or more
    expected ids or files, tab-separated; ``#`` starts a comment line. Refuses a line without
    an expected answer and a question asked twice."""
    header: list[str] = []
    out: list[Question] = []
    seen: set[str] = set()
    for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if line.startswith("#"):
            if not out:
                header.append(line.lstrip("# ").rstrip())
            continue
        if not line.strip():
            continue
        text, *expected = (cell.strip() for cell in line.split("\t"))
        expected = [e for e in expected if e]
        if not text or not expected:
            raise SystemExit(f"{path}:{n}: a question wants at least one expected answer after a tab")
        if text in seen:
            raise SystemExit(f"{path}:{n}: the question {text!r} is asked twice")
        seen.add(text)
        out.append(Question(text, frozenset(expected)))
    if not out:
        raise SystemExit(f"{path} holds no questions")
    return header, out


def file_of(doc_id: str) -> str:
    """The FILE of a passage id FILE#N."""
    return doc_id.rpartition("#")[0] or doc_id


def first_rank(ranked: Sequence[str], expected: frozenset[str]) -> int | None:
    """The 1-based rank of the first expected item, None when there is none."""
    return next((r for r, item in enumerate(ranked, 1) if item in expected), None)


def scores(ranks: Sequence[int | None]) -> tuple[float, float]:
    """Recall@5 and MRR@10 of the first expected ranks of a set of questions."""
    recall = sum(1 for r in ranks if r is not None and r <= RECALL_K) / len(ranks)
    mrr = sum(1 / r for r in ranks if r is not None and r <= MRR_K) / len(ranks)
    return recall, mrr


@dataclass
class Corpus:
    name: str
    about: str
    questions: list[Question]
    build: Callable[[str, Path], tarnexa.Index]
    key: Callable[[str], str]  # a hit's id -> what the labels name


def demo_corpus() -> Corpus:
    import demo

    docs = demo.reference_docs()
    questions = read_questions(DEMO_QUESTIONS)[1]

    def build(embedder: str, folder: Path) -> tarnexa.Index:
        return demo.build_index(docs, demo.load_embedder(embedder), folder)

    return Corpus("demo", f"the demo's Python reference documentation ({len(docs)} documents, "
                  f"examples/queries.tsv)", questions, build, lambda doc_id: doc_id)


def folder_corpus(name: str, source: Path) -> Corpus:
    path = QUESTIONS / f"{name}.tsv"
    if not path.is_file():
        raise SystemExit(f"no questions for the corpus {name!r}: {path} is missing")
    if not source.is_dir():
        raise SystemExit(f"--corpus {name}={source}: not a folder")
    header, questions = read_questions(path)

    def build(embedder: str, folder: Path) -> tarnexa.Index:
        index = tarnexa.Index.create(folder, embedder=embedder)
        try:
            index.sync([source])
        except BaseException:
            index.close()
            raise
        return index

    about = " ".join(header).split(". Written before", 1)[0]
    return Corpus(name, about, questions, build, file_of)


def check_labels(corpus: Corpus, index: tarnexa.Index) -> None:
    """Refuses labels that name nothing the index holds: they would count as plain misses."""
    held = {corpus.key(doc_id) for doc_id in index.ids}
    unknown = sorted({e for q in corpus.questions for e in q.expected} - held)
    if unknown:
        raise SystemExit(f"the questions of {corpus.name} expect what its index does not hold: "
                         f"{', '.join(unknown[:5])}{' ...' if len(unknown) > 5 else ''}")


def supports_modes(index: tarnexa.Index) -> bool:
    try:
        index.search("probe", "limit:1", mode="keyword")
    except TypeError:
        return False
    return True


def evaluate(corpus: Corpus, embedders: Sequence[str]) -> tuple[list[tuple[str, str, float, float, list[str]]], int]:
    """(embedder, mode, recall@5, MRR@10, missed questions) per row, and the index's size."""
    rows = []
    size = 0
    for embedder in embedders:
        with tempfile.TemporaryDirectory(prefix="tarnexa-quality-") as tmp, \
                corpus.build(embedder, Path(tmp) / "index") as index:
            check_labels(corpus, index)
            size = len(index)
            modes_ok = supports_modes(index)
            for mode in MODES:
                if not modes_ok and mode != "semantic":
                    rows.append((embedder, mode, float("nan"), float("nan"), []))
                    continue
                extra = {"mode": mode} if modes_ok else {}
                ranks = []
                missed = []
                for q in corpus.questions:
                    hits = index.search(q.text, f"limit:{MRR_K}", **extra)
                    r = first_rank([corpus.key(h.id) for h in hits], q.expected)
                    ranks.append(r)
                    if r is None or r > RECALL_K:
                        missed.append(q.text)
                recall, mrr = scores(ranks)
                rows.append((embedder, mode, recall, mrr, missed))
    return rows, size


def table(rows: Sequence[tuple[str, str, float, float, list[str]]], misses: bool) -> list[str]:
    out = [f"| embedder | mode | recall@{RECALL_K} | MRR@{MRR_K} |", "|---|---|---|---|"]
    best = max((r[2], r[3]) for r in rows if r[2] == r[2])
    for embedder, mode, recall, mrr, _ in rows:
        if recall != recall:
            out.append(f"| {embedder} | {mode} | - | - |")
            continue
        mark = " **best**" if (recall, mrr) == best else ""
        out.append(f"| {embedder} | {mode} | {recall:.2f} | {mrr:.3f}{mark} |")
    if misses:
        for embedder, mode, recall, _, missed in rows:
            if missed:
                out.append("")
                out.append(f"Missed at 5 by {embedder} {mode}: " + "; ".join(f"*{q}*" for q in missed))
    return out


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quality.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", action="append", default=[], metavar="NAME=FOLDER",
                        help="a documentation folder and the name of its questions file (repeatable)")
    parser.add_argument("--embedder", action="append", metavar="NAME",
                        help=f"an embedder to rate (repeatable; default: {', '.join(EMBEDDERS)})")
    parser.add_argument("--no-demo", action="store_true", help="leave out the demo's corpus")
    parser.add_argument("--misses", action="store_true", help="list the questions each row missed")
    parser.add_argument("--out", type=Path, help="also write the tables into this Markdown file")
    args = parser.parse_args(argv)
    corpora = [] if args.no_demo else [demo_corpus()]
    for item in args.corpus:
        name, sep, folder = item.partition("=")
        if not (sep and name and folder):
            parser.error(f"--corpus wants NAME=FOLDER, not {item!r}")
        corpora.append(folder_corpus(name, Path(folder).expanduser()))
    if not corpora:
        parser.error("no corpus to rate")
    embedders = args.embedder or list(EMBEDDERS)
    model, load_before = machine()
    t0 = time.perf_counter()
    lines = [f"`python benchmarks/quality.py{''.join(f' --corpus {c}' for c in args.corpus)}` "
             f"({time.strftime('%Y-%m-%d', time.gmtime())}); searches with `limit:{MRR_K}`.", ""]
    for corpus in corpora:
        rows, size = evaluate(corpus, embedders)
        lines += [f"### {corpus.name}: {corpus.about}", "",
                  f"{len(corpus.questions)} questions, {size:,} passages.", "",
                  *table(rows, args.misses), ""]
    _, load_after = machine()
    lines.append(f"CPU: {model}; {load_before} before the run, {load_after} after "
                 f"({time.perf_counter() - t0:.0f} s).")
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        write_section(args.out, "## Quality", text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

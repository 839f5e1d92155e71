"""Recall@5 of the demo's embedders on plain-language questions about Python.

    python examples/recall.py                     # WordLlama and the hashed embedder
    python examples/recall.py --embedder hashed   # one of them (or MODULE:FUNCTION)

The questions and the documents a person would expect for each stand in queries.tsv beside
this file. A question counts as found when one of its expected documents is among the first
five results of a plain search of the Python reference documentation.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

import demo

import tarnexa

QUERIES = Path(__file__).resolve().with_name("queries.tsv")
K = 5


def read_queries(path: Path = QUERIES) -> list[tuple[str, list[str]]]:
    """(question, expected ids) per line; lines starting with # are comments."""
    rows = [line.split("\t") for line in path.read_text(encoding="utf-8").splitlines()]
    return [(row[0], row[1:]) for row in rows if row[0] and not row[0].startswith("#")]


def misses(index: tarnexa.Index, queries: Sequence[tuple[str, list[str]]], k: int = K) -> list[str]:
    """The questions none of whose expected documents is among the first k results."""
    return [q for q, expected in queries if not set(expected) & {h.id for h in index.search(q, f"limit:{k}")}]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="recall.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--embedder", action="append", metavar="NAME",
                        help="minilm, wordllama, hashed or MODULE:FUNCTION (repeatable; default: the first three)")
    args = parser.parse_args(argv)
    queries = read_queries()
    docs = demo.reference_docs()
    try:
        for name in args.embedder or ["minilm", "wordllama", "hashed"]:
            with tempfile.TemporaryDirectory() as folder, \
                    demo.build_index(docs, demo.load_embedder(name), Path(folder) / "index") as index:
                missed = misses(index, queries)
            found = len(queries) - len(missed)
            print(f"{name:10} recall@{K} = {found / len(queries):.2f} ({found} of {len(queries)} questions)")
            for q in missed:
                print(f"{'':10} missed: {q!r}")
    except (demo.BadInput, tarnexa.EmbedderError) as e:
        print(f"{parser.prog}: error: {e}", file=sys.stderr)
        return demo.EXIT_BAD_INPUT
    return demo.EXIT_OK


if __name__ == "__main__":
    sys.exit(main())

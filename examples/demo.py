"""A small semantic search over the docstrings of CPython's standard library.

Each document is the docstring of a stdlib module; texts are embedded with a
deterministic hashed bag of words and character trigrams (NumPy only), and the
module ranks them for a query and an optional modifier line:

    python examples/demo.py "read compressed archives" "limit:5 diverse"
"""

from __future__ import annotations

import argparse
import hashlib
import importlib
import pkgutil
import re
import sys
import time
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import _tarnexa

if TYPE_CHECKING:
    from _tarnexa import ScoredDoc

DIMS = 256
_WORD = re.compile(r"[a-z0-9]+")


def _bucket(token: str) -> tuple[int, float]:
    h = hashlib.blake2b(token.encode(), digest_size=8).digest()
    n = int.from_bytes(h, "little")
    return n % DIMS, 1.0 if (n >> 63) else -1.0


def embed(text: str) -> npt.NDArray[np.float32]:
    """Deterministic text -> unit float32 vector (hashed words and trigrams)."""
    v = np.zeros(DIMS, np.float64)
    for word in _WORD.findall(text.lower()):
        i, s = _bucket("w:" + word)
        v[i] += 2.0 * s
        padded = f"#{word}#"
        for j in range(len(padded) - 2):
            i, s = _bucket("t:" + padded[j : j + 3])
            v[i] += s
    norm = np.linalg.norm(v)
    return (v / norm if norm else v).astype(np.float32)


def stdlib_corpus(limit: int | None = None) -> dict[str, str]:
    """Module name -> first paragraph of its docstring, for importable stdlib modules."""
    docs: dict[str, str] = {}
    names = sorted(sys.stdlib_module_names)
    for name in names:
        if name.startswith("_") or name in {"antigravity", "this", "idlelib", "turtledemo"}:
            continue
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                mod = importlib.import_module(name)
        except Exception:
            continue
        doc = (mod.__doc__ or "").strip()
        if len(doc) < 20:
            continue
        docs[name] = " ".join(doc.split("\n\n")[0].split())
        if limit and len(docs) >= limit:
            break
    return docs


def build_cache(docs: dict[str, str]) -> tuple[npt.NDArray[np.float32], list[str], dict[str, int]]:
    ids = list(docs)
    matrix = np.stack([embed(f"{name} {docs[name]}") for name in ids])
    id_to_idx = {doc_id: i for i, doc_id in enumerate(ids)}
    return matrix, ids, id_to_idx


def search(
    matrix: npt.NDArray[np.float32],
    ids: list[str],
    id_to_idx: dict[str, int],
    query: str,
    modifiers: str = "",
) -> list[ScoredDoc]:
    mods = _tarnexa.parse_modifiers(modifiers)
    kwargs: dict[str, Any] = {"diverse": mods["diverse"]}
    if mods["limit"] is not None:
        kwargs["limit"] = mods["limit"]
    if mods["unlike"]:
        kwargs["not_like_vec"] = embed(mods["unlike"])
    if mods["like"] is not None:
        unknown = [i for i in mods["like"] if i not in id_to_idx]
        if unknown:
            print(f"note: unknown like ids skipped: {', '.join(unknown)}")
        kwargs["like_ids"] = mods["like"]
    if mods["trajectory_from"] is not None and mods["trajectory_to"] is not None:
        kwargs["traj_from_vec"] = embed(mods["trajectory_from"])
        kwargs["traj_to_vec"] = embed(mods["trajectory_to"])
    return _tarnexa.score_candidates(matrix, ids, id_to_idx, embed(query), **kwargs)


EXAMPLES = [
    ("compress files into an archive", ""),
    ("compress files into an archive", "diverse limit:5"),
    ("parse text", "unlike:xml limit:5"),
    ("network", "from: email to: web limit:5"),
]


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("query", nargs="?", help="search text")
    p.add_argument("modifiers", nargs="?", default="", help='modifier line, e.g. "limit:5 diverse"')
    args = p.parse_args(argv)
    t0 = time.perf_counter()
    docs = stdlib_corpus()
    if not docs:
        print("error: the corpus is empty", file=sys.stderr)
        return 1
    matrix, ids, id_to_idx = build_cache(docs)
    print(f"{len(ids)} stdlib module docstrings embedded in {time.perf_counter() - t0:.1f} s\n")
    runs = [(args.query, args.modifiers)] if args.query else EXAMPLES
    for query, modifiers in runs:
        print(f"query: {query!r}  modifiers: {modifiers!r}")
        for hit in search(matrix, ids, id_to_idx, query, modifiers):
            print(f"  {hit['score']:+.4f}  {hit['id']:<14} {docs[hit['id']][:70]}")
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())

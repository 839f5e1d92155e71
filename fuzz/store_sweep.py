"""Damage to an index's document store, of each kind a disk, a bug or a hand can do: one byte of
a document's text, two documents' rows swapped, a row of the metadata table changed, a
document's keyword entries deleted, and bits flipped at random offsets of the file. Each
damaged copy is verified (``Index.verify``) and searched; beside the cache's own sweep
(fuzz/corruption_sweep.py).

    PYTHONPATH=. python fuzz/store_sweep.py                  # 200 copies with random flips
    PYTHONPATH=. python fuzz/store_sweep.py --docs 2000 --flips 500 --seed 3

Each copy's outcome is "caught" (verify raised, naming the damage), "unchanged" (verify passed
and every search, document and filter answers as the intact index does: damage to bytes
nothing reads) or "silent" (verify passed and an answer changed, or a search raised something
other than the store's own DatabaseError). A copy verify caught whose searches answer
differently is counted apart ("caught, answers changed"): verify is what says so. Prints the
counts per kind and exits 1 on any silent copy.
"""

from __future__ import annotations

import argparse
import random
import shutil
import sqlite3
import sys
import tempfile
from collections import Counter
from pathlib import Path
from typing import Any

from corruption_sweep import finish
from tarnexa import Index

WORDS = "cat dog sun rain tree river stone cloud bird fish road hill lamp door bread salt wind snow".split()
QUERIES = ["cat river", "stone road", "bread salt wind", "snow hill", "door lamp bird"]


def make(path: Path, docs: int = 120, seed: int = 0) -> None:
    rnd = random.Random(seed)
    texts = [" ".join(rnd.choice(WORDS) for _ in range(rnd.randint(6, 30))) for _ in range(docs)]
    with Index.create(path, embedder="hashed:32") as idx:
        idx.add(texts, [f"doc {i}.md#1" for i in range(docs)], [f"Title {i}" for i in range(docs)],
                [1.6e9 + i * 3600.0 for i in range(docs)],
                metadata=[{"group": f"g{i % 5}", "n": i, "tags": [WORDS[i % len(WORDS)]]} for i in range(docs)])
        idx._store.checkpoint()


def outcome(path: Path) -> Any:
    """Everything a user gets from the index: searches in each mode, filtered ones, documents."""
    with Index.open(path) as idx:
        got: list[Any] = []
        for q in QUERIES:
            for mode in ("hybrid", "semantic", "keyword"):
                got.append([(h.id, round(h.score, 6), h.title, h.snippet, h.metadata)
                            for h in idx.search(q, "limit:10", mode=mode)])
            got.append([h.id for h in idx.search(q, "limit:10", where={"group": "g1"})])
        got.append([(d.id, d.text, d.metadata) for d in map(idx.document, idx.ids[:20])])
        return got


def _raw(path: Path, *statements: tuple[str, tuple[Any, ...]]) -> None:
    """Statements run on the store with its triggers out of the way, as damage would be done."""
    db = sqlite3.connect(path / "docs.sqlite", isolation_level=None)
    triggers = db.execute("SELECT name, sql FROM sqlite_master WHERE type = 'trigger'").fetchall()
    for name, _ in triggers:
        db.execute(f"DROP TRIGGER {name}")
    for sql, params in statements:
        db.execute(sql, params)
    for _, sql in triggers:
        db.execute(sql)
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()


def damage(path: Path, kind: str, rnd: random.Random) -> None:
    db = sqlite3.connect(path / "docs.sqlite")
    n = db.execute("SELECT count(*) FROM docs").fetchone()[0]
    a, b = rnd.sample(range(1, n + 1), 2)
    text = db.execute("SELECT text FROM docs WHERE n = ?", (a,)).fetchone()[0]
    ra, rb = (db.execute("SELECT row FROM docs WHERE n = ?", (k,)).fetchone()[0] for k in (a, b))
    title = db.execute("SELECT title FROM docs WHERE n = ?", (a,)).fetchone()[0]
    db.close()
    if kind == "text byte":
        at = rnd.randrange(len(text))
        _raw(path, ("UPDATE docs SET text = ? WHERE n = ?", (text[:at] + chr(ord(text[at]) ^ 1) + text[at + 1:], a)))
    elif kind == "row swap":
        _raw(path, ("UPDATE docs SET row = -1 WHERE n = ?", (a,)), ("UPDATE docs SET row = ? WHERE n = ?", (ra, b)),
             ("UPDATE docs SET row = ? WHERE n = ?", (rb, a)))
    elif kind == "meta row":
        _raw(path, ("UPDATE meta SET value = 'g1' WHERE n = ? AND key = 'group'", (a,)))
    elif kind == "keyword entries":  # a byte of the keyword index's postings changed
        seg = sorted((path / "keywords").glob("*.seg"))[0]
        data = bytearray(seg.read_bytes())
        data[len(data) // 2] ^= 1
        seg.write_bytes(bytes(data))
    else:  # a bit flipped at a random offset of the file
        f = path / "docs.sqlite"
        with open(f, "r+b") as out:
            at = rnd.randrange(f.stat().st_size)
            out.seek(at)
            byte = out.read(1)[0]
            out.seek(at)
            out.write(bytes([byte ^ (1 << rnd.randrange(8))]))


KINDS = ("text byte", "row swap", "meta row", "keyword entries")


def sweep(work: Path, docs: int = 120, flips: int = 200, each: int = 5, seed: int = 0
          ) -> tuple[Counter[tuple[str, str]], list[str]]:
    """Counts of (kind, outcome) over every damaged copy, and the silent ones (described)."""
    base = work / "intact"
    make(base, docs, seed)
    with Index.open(base) as idx:
        idx.verify()  # the intact index is whole
    want = outcome(base)
    rnd = random.Random(seed)
    counts: Counter[tuple[str, str]] = Counter()
    silent = []
    cases = [k for k in KINDS for _ in range(each)] + ["bit flip"] * flips
    for i, kind in enumerate(cases):
        copy = work / f"case{i}"
        shutil.copytree(base, copy)
        damage(copy, kind, rnd)
        try:
            with Index.open(copy) as idx:
                idx.verify()
            verified = True
        except (sqlite3.DatabaseError, ValueError, KeyError):
            verified = False
        try:
            got: Any = outcome(copy)
        except sqlite3.DatabaseError:
            got = "raised"
        except Exception as e:
            got = f"raised {type(e).__name__}: {e}"
        same = got == want
        label = ("unchanged" if same else "silent") if verified else \
            "caught" if same or got == "raised" else "caught, answers changed"
        counts[kind, label] += 1
        if label == "silent":
            silent.append(f"case {i} ({kind}): verify passed and {got if isinstance(got, str) else 'an answer changed'}")
        shutil.rmtree(copy)
    return counts, silent


OPTIONS = (("--docs", 120, "documents in the index"), ("--flips", 200, "copies with one random bit flipped"),
           ("--each", 5, "copies of each targeted kind of damage"), ("--seed", 0, "the seed of the damage"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, default, about in OPTIONS:
        parser.add_argument(name, type=int, default=default, help=about)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        counts, silent = sweep(Path(tmp), args.docs, args.flips, args.each, args.seed)
    for kind in (*KINDS, "bit flip"):
        print(f"{kind:16} " + "  ".join(f"{o} {counts[kind, o]}" for o in
                                        ("caught", "caught, answers changed", "unchanged", "silent")))
    print(f"damaged copies: {sum(counts.values())}  caught: "
          f"{sum(v for (_, o), v in counts.items() if o.startswith('caught'))}  silent: {len(silent)}")
    return finish(silent)


if __name__ == "__main__":
    sys.exit(main())

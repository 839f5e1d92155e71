"""The passages of folders of real documentation: how many run over 2,400 characters, how many
titles keep markup, how many passages keep markup raw (reference links, attribute lists, macros,
directives and roles, control characters), and what indexing costs per MB of each format.

    python benchmarks/formats.py shape FOLDER...          # the cutting of the tarnexa on sys.path
    PYTHONPATH=OLD_CHECKOUT python benchmarks/formats.py shape FOLDER...   # another's, to compare
    python benchmarks/formats.py time FOLDER...           # tarnexa index --embedder hashed, per format

The corpora and their commits: benchmarks/corpora.md (fetched, never copied here). Nothing is
asserted.
"""
from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

CAP = 2400
# What markup looks like in a title: attribute lists, emphasis, code marks, links, tags, roles,
# admonition markers, heading marks, reStructuredText references.
MARKUP = re.compile(r"\{\s*[#.:]|\*\*|`|\]\(|<[a-zA-Z/][^>]*>|:\w+:`|^!!!|^///|^#+\s|\|\w+\||^\.\. |\w_\b")
# Markup left raw in a passage's text outside its code blocks (inline literals still count: a
# count to read, not a proof), by kind.
RAW = {
    "reference links": re.compile(r"\]\[[\w.:-]*\]"),
    "attribute lists": re.compile(r"\{:?[ \t]*[#.][\w-]+[^{}\n]*\}"),
    "macros": re.compile(r"\{\{.*?\}\}|\{%.*?%\}"),
    "raw directives/roles": re.compile(r"^[ \t]*\.\.[ \t]+[\w:.-]+::|:[\w.+-]+(?::[\w.+-]+)*:`", re.M),
    "NUL/control characters": re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]"),
}


def shape(folders: list[str]) -> None:
    from tarnexa.text import formats, passages

    for folder in folders:
        count = over = marked = 0
        longest = 0
        raw = dict.fromkeys(RAW, 0)
        for f in passages.files([folder]):
            text = f.path.read_bytes().decode("utf-8", "replace")
            code = {line.strip() for b in formats.parse(passages.fmt(f.path), text.encode()).blocks
                    if b.kind == "code" for line in b.text.split("\n")}
            for p in passages.passages(f.key, text, 0.0):
                prose = "\n".join(line for line in p.text.split("\n") if line.strip() not in code)
                count += 1
                over += len(p.text) > CAP
                marked += bool(MARKUP.search(p.title))
                longest = max(longest, len(p.text))
                for kind, pattern in RAW.items():
                    raw[kind] += bool(pattern.search(p.text if kind.startswith("NUL") else prose))
        print(f"{folder}: {count} passages, {over} ({100 * over / max(count, 1):.1f}%) over {CAP} characters "
              f"(longest {longest}), {marked} ({100 * marked / max(count, 1):.1f}%) titles with markup")
        print("  passages with markup left raw: " + ", ".join(f"{kind} {n}" for kind, n in raw.items()))


def timing(folders: list[str]) -> None:
    for folder in folders:
        by_ext: dict[str, int] = {}
        for p in Path(folder).rglob("*"):
            if p.is_file() and not any(part.startswith(".") for part in p.relative_to(folder).parts):
                by_ext[p.suffix.lower()] = by_ext.get(p.suffix.lower(), 0) + p.stat().st_size
        from tarnexa.text.passages import SUFFIXES

        size = sum(v for k, v in by_ext.items() if k in SUFFIXES)
        runs = []
        for _ in range(3):
            with tempfile.TemporaryDirectory() as tmp:
                t0 = time.perf_counter()
                done = subprocess.run([sys.executable, "-m", "tarnexa", "index", os.path.join(tmp, "ix"), folder,
                                       "--embedder", "hashed", "-q"], capture_output=True, text=True)
                runs.append(time.perf_counter() - t0)
                if done.returncode not in (0, 1):
                    sys.exit(done.stderr)
        best = min(runs)
        exts = ", ".join(f"{k} {v / 1e6:.2f} MB" for k, v in sorted(by_ext.items()) if k in SUFFIXES)
        print(f"{folder}: {exts}; tarnexa index best of 3 {best:.2f} s, {best / (size / 1e6):.2f} s per MB")


if __name__ == "__main__":
    what, *folders = sys.argv[1:]
    (shape if what == "shape" else timing)(folders)

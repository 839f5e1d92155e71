"""The passages of folders of real documentation: how many run over 2,400 characters, how many
titles keep markup, how many passages keep markup raw (reference links, attribute lists, macros,
directives and roles, control characters), and what indexing costs per MB of each format.

    python benchmarks/formats.py shape FOLDER...          # the cutting of the tarnexa on sys.path
    PYTHONPATH=OLD_CHECKOUT python benchmarks/formats.py shape FOLDER...   # another's, to compare
    python benchmarks/formats.py time FOLDER...           # tarnexa index --embedder hashed, per format
    python benchmarks/formats.py clean FOLDER...          # menus, file-name titles, control characters, s/MB

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


# A site's menu or sidebar in a passage (the SQLite and Python HTML documentation's).
MENU_TEXT = re.compile(r"Choose any three|Small\. Fast\. Reliable|Previous topic|Next topic|Show Source|Quick search"
                       r"|Report a Bug")
CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ufffd\ufffe]")
BROKEN = re.compile(r"[a-z]-\s+[a-z]")  # "compo- nents": a word its line end split


def clean(folders: list[str]) -> None:
    """Each folder read as a sync reads it (file_passages): passages holding a site's menu,
    titles that are only the file's name, control characters, words left split at a line end,
    files skipped, and seconds per MB of reading and cutting, by format."""
    from tarnexa.text import passages

    for folder in folders:
        count = menu = named = control = broken = skipped = 0
        seconds: dict[str, float] = {}
        size: dict[str, int] = {}
        for f in passages.scan([folder]).files:
            ext = f.path.suffix.lower()
            data, _, mtime = passages.read(f)
            t0 = time.perf_counter()
            try:
                got = passages.file_passages(f, data, mtime, None)
            except ValueError:
                got, skipped = [], skipped + 1
            seconds[ext] = seconds.get(ext, 0.0) + time.perf_counter() - t0
            size[ext] = size.get(ext, 0) + len(data)
            for p in got:
                count += 1
                menu += bool(MENU_TEXT.search(p.text))
                named += p.title == f.path.name
                control += len(CONTROL.findall(p.text))
                broken += len(BROKEN.findall(p.text))
        rates = ", ".join(f"{k} {size[k] / 1e6:.2f} MB {seconds[k] / (size[k] / 1e6):.2f} s/MB" for k in sorted(size))
        print(f"{folder}: {count} passages, {menu} ({100 * menu / max(count, 1):.1f}%) with menu text, {named} titled "
              f"only by the file name, {control} control characters, {broken} words split at a line end, "
              f"{skipped} files skipped; {rates}")


if __name__ == "__main__":
    what, *folders = sys.argv[1:]
    (clean if what == "clean" else shape if what == "shape" else timing)(folders)

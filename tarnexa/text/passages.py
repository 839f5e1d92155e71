"""Folders of text files cut into passages: the documents ``tarnexa index`` keeps in step with them.

A ``.md``, ``.rst`` or ``.txt`` file is cut at its headings (Markdown ``#`` lines and underlined
titles; reStructuredText titles underlined, and perhaps overlined, by a row of one punctuation
mark) and each section's paragraphs are gathered into passages of about ``PASSAGE``
characters. A passage's id is ``FILE#N`` (FILE the path below the folder named, N from 1 in
file order), its title the heading it falls under (the file's name before any heading), its
text the heading followed by its paragraphs, its timestamp the file's modification time.
"""

from __future__ import annotations

import hashlib
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

from tarnexa.errors import SourceError

SUFFIXES = (".md", ".rst", ".txt")
PASSAGE = 1200  # characters a passage gathers paragraphs up to

_ATX = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
_RULE = re.compile(r"^([=\-~^\"'`#*+:.])\1{2,}\s*$")


@dataclass(frozen=True)
class Passage:
    id: str
    title: str
    text: str
    timestamp: float
    source: str  # the file's key: its path below the folder named


@dataclass(frozen=True)
class SourceFile:
    key: str
    path: Path


def files(sources: Sequence[str | os.PathLike[str]]) -> list[SourceFile]:
    """The text files under each source (a folder, searched recursively, or a file), keyed by
    their paths below it; hidden files and folders are passed over."""
    found: dict[str, SourceFile] = {}
    for source in map(Path, sources):
        if source.is_file():
            pairs: Iterable[tuple[str, Path]] = [(source.name, source)]
        elif source.is_dir():
            pairs = ((p.relative_to(source).as_posix(), p) for p in sorted(source.rglob("*"))
                     if p.suffix.lower() in SUFFIXES and p.is_file()
                     and not any(part.startswith(".") for part in p.relative_to(source).parts))
        else:
            raise SourceError(f"{source}: no such file or folder")
        for key, path in pairs:
            if key in found and found[key].path.resolve() != path.resolve():
                raise SourceError(f"two sources hold a file {key!r} ({found[key].path} and {path}); "
                                  "index them into separate indexes")
            found[key] = SourceFile(key, path)
    return list(found.values())


def read(f: SourceFile) -> tuple[str, str, float]:
    """(text, stamp, mtime): the stamp changes whenever the content does."""
    try:
        data = f.path.read_bytes()
        mtime = f.path.stat().st_mtime
    except OSError as e:
        raise SourceError(f"cannot read {f.path}: {e.strerror or e}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise SourceError(f"cannot read {f.path}: not UTF-8 text (byte {e.start})") from None
    return text, hashlib.sha256(data).hexdigest(), mtime


def _sections(lines: list[str], fallback: str) -> Iterator[tuple[str, list[str]]]:
    """(heading, body lines) for each section; the lines before the first heading come under
    the fallback title."""
    title, body = fallback, list[str]()
    i = 0
    while i < len(lines):
        line = lines[i]
        nxt = lines[i + 1] if i + 1 < len(lines) else ""
        atx = _ATX.match(line)
        heading = None
        if atx and atx.group(2):
            heading, skip = atx.group(2), 1
        elif line.strip() and not _RULE.match(line) and _RULE.match(nxt) and len(nxt.strip()) >= len(line.strip()):
            heading, skip = line.strip(), 2
            if body and _RULE.match(body[-1]) and body[-1].strip()[0] == nxt.strip()[0]:
                body.pop()  # an overline
        if heading is None:
            body.append(line)
            i += 1
            continue
        if any(b.strip() for b in body):
            yield title, body
        title, body = heading, []
        i += skip
    if any(b.strip() for b in body):
        yield title, body


def _paragraphs(body: list[str]) -> list[str]:
    out, current = [], []
    for line in body + [""]:
        if line.strip():
            current.append(line.rstrip())
        elif current:
            out.append("\n".join(current))
            current = []
    return out


def passages(key: str, text: str, timestamp: float) -> list[Passage]:
    """The passages of one file's text."""
    out: list[Passage] = []
    for heading, body in _sections(text.splitlines(), Path(key).name):
        groups: list[list[str]] = []
        size = 0
        for para in _paragraphs(body):
            if groups and size + len(para) <= PASSAGE:
                groups[-1].append(para)
                size += len(para)
            else:
                groups.append([para])
                size = len(para)
        for group in groups:
            out.append(Passage(f"{key}#{len(out) + 1}", heading, "\n\n".join([heading, *group]), timestamp, key))
    return out

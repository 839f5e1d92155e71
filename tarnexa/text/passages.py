"""Folders of documents cut into passages: the documents ``tarnexa index`` keeps in step with them.

Each file is read by the parser of its format (``tarnexa.text.formats``) into blocks of plain
text under their heading paths, and each section's blocks are gathered into passages of about
``PASSAGE`` characters, never more than ``CAP``: a block too long for one passage is cut at
sentence ends, else at line ends (a list, a table or code at its lines; a code block that fits is
kept whole). A passage's id is ``FILE#N`` (FILE the path below the folder named, N from 1 in file
order), its title the heading path ("Deployment › Workers"; before any heading the document's
title or the file's name), its text the title line followed by its blocks, its timestamp the
front matter's ``date`` or else the file's modification time, its metadata the file's ``path``
(its key), ``source`` (the folder or file named, as given), ``ext`` and the front matter's fields;
a PDF's passages add ``page`` (the first page, from 1) and ``pages`` (every page, when it spans
several).
"""

from __future__ import annotations

import hashlib
import os
import re
import stat
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarnexa.errors import MissingPackageError, SourceError
from tarnexa.text.formats import FORMATS, Block, Parsed, parse

SUFFIXES = tuple(FORMATS)
PASSAGE = 1200  # characters a passage gathers blocks up to
CAP = 2400  # characters no passage goes beyond
TITLE = 300  # characters of a title kept
SEPARATOR = " \u203a "  # between the levels of a heading path
CUT = 2  # the version of the cutting: a stored stamp of another is read and cut again


@dataclass(frozen=True)
class Passage:
    id: str
    title: str
    text: str
    timestamp: float
    source: str  # the file's key: its path below the folder named
    metadata: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class SourceFile:
    key: str
    path: Path
    root: str = ""  # the source it was found under, resolved: what a later sync matches
    given: str = ""  # that source as named


@dataclass
class Scan:
    files: list[SourceFile]
    roots: dict[str, str]  # resolved -> as given, for each source present
    missing: list[str]  # sources that do not exist, as given
    unreadable: list[tuple[str, str, str]]  # (root, key prefix, the error): "" the whole source


def scan(sources: Sequence[str | os.PathLike[str]]) -> Scan:
    """The files under each source (a folder, searched recursively, or a file), keyed by their
    paths below it; hidden files and folders are passed over, folders that cannot be listed
    reported."""
    found: dict[str, SourceFile] = {}
    out = Scan([], {}, [], [])
    for named in sources:
        given = os.fspath(named)
        source = Path(given)
        try:
            mode = source.stat().st_mode
        except FileNotFoundError:
            out.missing.append(given)
            continue
        except OSError as e:
            out.unreadable.append((str(source.absolute()), "", e.strerror or str(e)))
            continue
        root = str(source.resolve())
        out.roots[root] = given
        pairs: list[tuple[str, Path]] = []
        if stat.S_ISDIR(mode):
            def failed(e: OSError, root: str = root, top: Path = source) -> None:
                where = Path(e.filename or top).relative_to(top).as_posix() if e.filename else "."
                out.unreadable.append((root, "" if where == "." else where + "/", e.strerror or str(e)))

            for folder, dirs, names in os.walk(source, onerror=failed):
                dirs[:] = sorted(d for d in dirs if not d.startswith("."))
                for name in sorted(names):
                    p = Path(folder, name)
                    if not name.startswith(".") and p.suffix.lower() in SUFFIXES and p.is_file():
                        pairs.append((p.relative_to(source).as_posix(), p))
        else:
            pairs = [(source.name, source)]
        for key, path in pairs:
            if key in found and found[key].path.resolve() != path.resolve():
                raise SourceError(f"two sources hold a file {key!r} ({found[key].path} and {path}); "
                                  "index them into separate indexes")
            found[key] = SourceFile(key, path, root, given)
    out.files = list(found.values())
    return out


def files(sources: Sequence[str | os.PathLike[str]]) -> list[SourceFile]:
    """The files under the sources; SourceError for one that does not exist or cannot be listed."""
    got = scan(sources)
    if got.missing:
        raise SourceError(f"{got.missing[0]}: no such file or folder")
    if got.unreadable:
        root, prefix, error = got.unreadable[0]
        raise SourceError(f"cannot list {Path(root, prefix)}: {error}")
    return got.files


def read(f: SourceFile) -> tuple[bytes, str, float]:
    """(content, stamp, mtime): the stamp, a hash, changes whenever the content does."""
    try:
        data = f.path.read_bytes()
        mtime = f.path.stat().st_mtime
    except OSError as e:
        raise SourceError(f"cannot read {f.path}: {e.strerror or e}") from None
    return data, hashlib.sha256(data).hexdigest(), mtime


def fmt(path: Path) -> str:
    """The format of a file by its name; a file named on its own with another suffix is text."""
    return FORMATS.get(path.suffix.lower(), "text")


def file_passages(f: SourceFile, data: bytes, mtime: float) -> list[Passage]:
    """The passages of one file's content; SourceError naming the file when it is not what its
    name says, MissingPackageError when its format's parser is not installed."""
    try:
        parsed = parse(fmt(f.path), data)
    except MissingPackageError:
        raise
    except SourceError as e:
        raise SourceError(f"{f.path}: {e}") from None
    except (RecursionError, MemoryError, ValueError, TypeError, KeyError, IndexError, AttributeError,
            AssertionError, UnicodeError, OverflowError) as e:  # a parser's own failure
        raise SourceError(f"{f.path}: cannot parse it as {fmt(f.path)}: {type(e).__name__}: {e}") from None
    meta = {**parsed.meta, "path": f.key, "source": f.given or str(f.path), "ext": f.path.suffix.lower().lstrip(".")}
    return cut(f.key, parsed, parsed.timestamp if parsed.timestamp is not None else mtime, meta)


def passages(key: str, text: str, timestamp: float) -> list[Passage]:
    """The passages of one file's text, its format told by the key's suffix."""
    meta = {"path": key, "source": key, "ext": Path(key).suffix.lower().lstrip(".")}
    parsed = parse(fmt(Path(key)), text.encode("utf-8"))
    return cut(key, parsed, parsed.timestamp if parsed.timestamp is not None else timestamp, meta)


def cut(key: str, parsed: Parsed, timestamp: float, meta: dict[str, Any]) -> list[Passage]:
    """The passages of a parsed file: each section's blocks gathered up to PASSAGE characters."""
    named = meta.get("title")
    fallback = " ".join(named.split()) if isinstance(named, str) and named.strip() else Path(key).name
    out: list[Passage] = []
    sections: list[tuple[tuple[str, ...], list[Block]]] = []
    for b in parsed.blocks:
        if sections and sections[-1][0] == b.path:
            sections[-1][1].append(b)
        else:
            sections.append((b.path, [b]))
    for path, blocks in sections:
        title = (SEPARATOR.join(path) or fallback)[:TITLE].strip()
        room = CAP - len(title) - 2
        pieces = [(piece, b.page) for b in blocks for piece in split(b.text, room, b.kind)]
        groups: list[list[tuple[str, int | None]]] = []
        size = 0
        for piece, page in pieces:
            if groups and size + 2 + len(piece) <= PASSAGE:
                groups[-1].append((piece, page))
                size += 2 + len(piece)
            else:
                groups.append([(piece, page)])
                size = len(piece)
        for group in groups:
            extra: dict[str, Any] = {}
            pages = sorted({p for _, p in group if p is not None})
            if pages:
                extra["page"] = pages[0]
                if len(pages) > 1:
                    extra["pages"] = list(range(pages[0], pages[-1] + 1))
            text = "\n\n".join([title, *(piece for piece, _ in group)])
            out.append(Passage(f"{key}#{len(out) + 1}", title, text, timestamp, key, {**meta, **extra}))
    return out


_SENTENCE = re.compile(r"(?<=[.!?])[\"')\]]*\s+")


def split(text: str, limit: int, kind: str = "text") -> list[str]:
    """The text in pieces of at most limit characters, cut where it reads best: prose at a
    sentence's end, else a line's; lists, tables and code at a line's end; else at a space; a
    word longer than limit where it must. Pieces come near PASSAGE where they can."""
    text = text.strip("\n") if kind == "code" else text.strip()
    out = []
    patterns = ([_SENTENCE] if kind == "text" else []) + [re.compile(r"\n"), re.compile(r"\s+")]
    while len(text) > limit:
        start = end = limit
        for pattern in patterns:
            point = None
            for reach in dict.fromkeys((min(PASSAGE, limit), limit)):
                for m in pattern.finditer(text, 0, reach + 1):
                    if m.start() >= reach // 3:
                        point = m
                if point is not None:
                    break
            if point is not None:
                start, end = point.start(), point.end()
                break
        out.append(text[:start].rstrip())
        text = text[end:].lstrip("\n") if kind == "code" else text[end:].lstrip()
    if text.strip():
        out.append(text)
    return [p for p in out if p.strip()]

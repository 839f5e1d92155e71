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

import contextlib
import hashlib
import os
import re
import signal
import stat
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tarnexa.errors import MissingPackageError, SourceError
from tarnexa.text import formats
from tarnexa.text.formats import FORMATS, FRONT_MATTER, Block, Parsed, parse

SUFFIXES = tuple(FORMATS)
PASSAGE = 1200  # characters a passage gathers blocks up to
CAP = 2400  # characters no passage goes beyond
TITLE = 300  # characters of a title kept
SEPARATOR = " \u203a "  # between the levels of a heading path
CUT = 3  # the version of the cutting: a stored stamp of another is read and cut again


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
    passed: list[tuple[str, str]] = field(default_factory=list)  # (path, why): files and folders not read


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISDIR, "a folder")):
        if test(mode):
            return name
    return "not a regular file"


def _inside(real: str, root: str) -> bool:
    return real == root or real.startswith(root.rstrip(os.sep) + os.sep)


def scan(sources: Sequence[str | os.PathLike[str]], follow_links: bool = False) -> Scan:
    """The files under each source (a folder, searched recursively, or a file), keyed by their
    paths below it; hidden files and folders are passed over, folders that cannot be listed
    reported. One rule for files and folders alike: a link whose target lies outside its source
    folder is passed over (in ``passed``) unless ``follow_links``; so are, with a file suffix we
    read, dangling links and what is not a regular file (FIFOs, devices, sockets). A source that
    is not a folder or a regular file raises SourceError."""
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
        if not (stat.S_ISDIR(mode) or stat.S_ISREG(mode)):
            raise SourceError(f"{given}: {_kind(mode)}, not a folder or a regular file: nothing was read")
        root = str(source.resolve())
        out.roots[root] = given
        pairs: list[tuple[str, Path]] = []
        if stat.S_ISDIR(mode):
            def failed(e: OSError, root: str = root, top: Path = source) -> None:
                where = Path(e.filename or top).relative_to(top).as_posix() if e.filename else "."
                out.unreadable.append((root, "" if where == "." else where + "/", e.strerror or str(e)))

            seen = {root}
            for folder, dirs, names in os.walk(source, onerror=failed, followlinks=True):
                kept = []
                for d in sorted(d for d in dirs if not d.startswith(".")):
                    p = Path(folder, d)
                    if p.is_symlink():
                        real = os.path.realpath(p)
                        if real in seen or _inside(root, real):  # a loop, or a folder walked already
                            continue
                        if not follow_links and not _inside(real, root):
                            out.passed.append((str(p), f"a link to {real}, outside {given} (--follow-links "
                                                       "reads it)"))
                            continue
                        seen.add(real)
                    kept.append(d)
                dirs[:] = kept
                for name in sorted(names):
                    p = Path(folder, name)
                    if name.startswith(".") or p.suffix.lower() not in SUFFIXES:
                        continue
                    why = _passed_over(p, root, given, follow_links)
                    if why:
                        out.passed.append((str(p), why))
                    else:
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


def _passed_over(p: Path, root: str, given: str, follow_links: bool) -> str | None:
    """Why the file p of a folder is not read (None: it is read)."""
    try:
        mode = p.stat().st_mode
    except OSError as e:
        return "a dangling link" if p.is_symlink() else f"cannot read it: {e.strerror or e}"
    if not stat.S_ISREG(mode):
        return f"{_kind(mode)}, not a regular file"
    if p.is_symlink() and not follow_links:
        real = os.path.realpath(p)
        if not _inside(real, root):
            return f"a link to {real}, outside {given} (--follow-links reads it)"
    return None


def files(sources: Sequence[str | os.PathLike[str]]) -> list[SourceFile]:
    """The files under the sources; SourceError for one that does not exist or cannot be listed."""
    got = scan(sources)
    if got.missing:
        raise SourceError(f"{got.missing[0]}: no such file or folder")
    if got.unreadable:
        root, prefix, error = got.unreadable[0]
        raise SourceError(f"cannot list {Path(root, prefix)}: {error}")
    return got.files


MAX_SIZE = 16 << 20  # bytes of one file read by default: a larger one is skipped with a warning
PARSE_SECONDS = 60.0  # the time one file's parsing may take by default, else it is skipped
RST_SHARE = 4  # a reStructuredText file may have this share of the size (1/4)
RST_INDENT = 100  # columns of indentation a reStructuredText line may have: each level costs docutils a copy
_DEEP = re.compile(r"^ {%d}" % (RST_INDENT + 1), re.M)


def read(f: SourceFile, max_size: int = MAX_SIZE, follow_links: bool = True) -> tuple[bytes, str, float]:
    """(content, stamp, mtime): the stamp, a hash, changes whenever the content does. What is
    not a regular file when it is opened (a FIFO put in a file's place) is refused without
    waiting on it, and a file above max_size bytes is refused unread (a reStructuredText file
    above a quarter of it: docutils holds many times the size of a deeply nested file). Unless
    follow_links, a file of a folder that is, once opened, not the file inside its source folder
    (a link to elsewhere put in its place since the scan) is refused."""
    if fmt(f.path) == "rst":
        max_size //= RST_SHARE
    try:
        fd = os.open(f.path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                raise SourceError(f"cannot read {f.path}: {_kind(st.st_mode)}, not a regular file")
            if not follow_links and f.root and Path(f.root).is_dir():
                real = os.path.realpath(f.path)  # what was opened, not a link put in its place since
                if not _inside(real, f.root) or not os.path.samestat(st, os.stat(real)):
                    raise SourceError(f"cannot read {f.path}: it leads outside {f.given or f.root} now "
                                      "(--follow-links reads it)")
            if st.st_size > max_size:
                raise SourceError(f"cannot read {f.path}: {st.st_size} bytes, more than the {max_size} a file may "
                                  "have (--max-file-size raises it)")
            with os.fdopen(os.dup(fd), "rb") as stream:
                data = stream.read(max_size + 1)
            if len(data) > max_size:
                raise SourceError(f"cannot read {f.path}: more than the {max_size} bytes a file may have "
                                  "(--max-file-size raises it)")
        finally:
            os.close(fd)
    except OSError as e:
        raise SourceError(f"cannot read {f.path}: {e.strerror or e}") from None
    return data, hashlib.sha256(data).hexdigest(), st.st_mtime


class _OverTime(Exception):
    pass


@contextlib.contextmanager
def _budget(seconds: float | None) -> Iterator[None]:
    """Raises _OverTime in the code it wraps once seconds have passed; a timer of the process,
    so only on the main thread (elsewhere the parsing is not timed)."""
    if not seconds or threading.current_thread() is not threading.main_thread():
        yield
        return

    def over(signum: int, frame: Any) -> None:
        raise _OverTime

    before = signal.signal(signal.SIGALRM, over)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, before)


def fmt(path: Path) -> str:
    """The format of a file by its name; a file named on its own with another suffix is text."""
    return FORMATS.get(path.suffix.lower(), "text")


def file_passages(f: SourceFile, data: bytes, mtime: float, seconds: float | None = PARSE_SECONDS) -> list[Passage]:
    """The passages of one file's content; SourceError naming the file when it is not what its
    name says, takes more than seconds to parse, or holds words of which no passage came (text
    that would be lost without a word); MissingPackageError when its format's parser is not
    installed."""
    if fmt(f.path) == "rst" and _DEEP.search(data.decode("utf-8", "replace").expandtabs(8)):
        raise SourceError(f"{f.path}: it is indented deeper than {RST_INDENT} columns, more than it is read to")
    repeated = repeated_near(f.path) if fmt(f.path) == "html" else frozenset()
    try:
        with _budget(seconds):
            parsed = parse(fmt(f.path), data, repeated)
    except MissingPackageError:
        raise
    except SourceError as e:
        raise SourceError(f"{f.path}: {e}") from None
    except _OverTime:
        raise SourceError(f"{f.path}: parsing it took more than {seconds:g} s (--parse-timeout gives more)") from None
    except (RecursionError, MemoryError, ValueError, TypeError, KeyError, IndexError, AttributeError,
            AssertionError, UnicodeError, OverflowError) as e:  # a parser's own failure
        raise SourceError(f"{f.path}: cannot parse it as {fmt(f.path)}: {type(e).__name__}: {e}") from None
    meta = {**parsed.meta, "path": f.key, "source": f.given or str(f.path), "ext": f.path.suffix.lower().lstrip(".")}
    out = cut(f.key, parsed, parsed.timestamp if parsed.timestamp is not None else mtime, meta)
    if not out and fmt(f.path) == "markdown" \
            and _WORDS.search(_HEADING.sub("", _COMMENT.sub("", FRONT_MATTER.sub("", data.decode("utf-8", "replace"))))):
        raise SourceError(f"{f.path}: it holds words, but its {fmt(f.path)} parser found no text in it")
    return out


SIBLINGS = 40  # pages of a folder read to find the blocks its site repeats (spread over its pages)
SIBLING_BYTES = 8 << 20  # and no more bytes of them than this
_repeated: dict[tuple[str, tuple[tuple[str, int, int], ...]], frozenset[str]] = {}


def repeated_near(path: Path) -> frozenset[str]:
    """The blocks repeated on most HTML pages of the page's folder (formats.repeated_blocks),
    from up to SIBLINGS of its regular files (links not followed; SIBLING_BYTES at most, read
    outside the page's own parsing time), remembered while they stay
    as they are: a sync reads them once per folder."""
    try:
        pages = sorted((e.name, e.stat(follow_symlinks=False)) for e in os.scandir(path.parent)
                       if e.name.lower().endswith((".html", ".htm")) and not e.name.startswith(".")
                       and e.is_file(follow_symlinks=False))
    except OSError:
        return frozenset()
    pages = [(n, st) for n, st in pages if st.st_size <= MAX_SIZE]
    step = max(len(pages) / SIBLINGS, 1.0)
    chosen, size = [], 0
    for n, st in (pages[int(i * step)] for i in range(min(len(pages), SIBLINGS))):
        if size + st.st_size <= SIBLING_BYTES:
            chosen.append((n, st))
            size += st.st_size
    key = (str(path.parent), tuple((n, st.st_mtime_ns, st.st_size) for n, st in chosen))
    if key not in _repeated:
        datas = [d for d in (_sibling(path.parent / name) for name, _ in chosen) if d is not None]
        if len(_repeated) > 64:
            _repeated.clear()
        _repeated[key] = formats.repeated_blocks(datas)
    return _repeated[key]


def _sibling(path: Path) -> bytes | None:
    """A neighbouring page's bytes, None unless it is a regular file now (opened without
    blocking, so that a FIFO put in its place is not waited on) of at most MAX_SIZE bytes."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOFOLLOW", 0))
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        with os.fdopen(os.dup(fd), "rb") as fh:
            data = fh.read(MAX_SIZE + 1)
        return data if len(data) <= MAX_SIZE else None
    except OSError:
        return None
    finally:
        os.close(fd)


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


_WORDS = re.compile(r"[^\W_]")
_COMMENT = re.compile(r"<!--.*?-->", re.S)
_HEADING = re.compile(r"^ {0,3}#.*$", re.M)  # a heading alone is a title, not a passage
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

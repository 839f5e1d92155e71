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
import importlib
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
    # (root, key): files and folders left out by an ignore file or an exclude pattern, a folder's
    # key ending in "/"
    excluded: list[tuple[str, str]] = field(default_factory=list)
    templates: list[str] = field(default_factory=list)  # HTML templates, not read (paths)


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISDIR, "a folder")):
        if test(mode):
            return name
    return "not a regular file"


def _inside(real: str, root: str) -> bool:
    return real == root or real.startswith(root.rstrip(os.sep) + os.sep)


IGNORE_FILES = (".gitignore", ".tarnexaignore")
_TEMPLATE_SYNTAX = re.compile(r"\{%.*?%\}|\{\{.*?\}\}|\{#.*?#\}", re.S)
TEMPLATE_PEEK = 1 << 18  # bytes of an HTML file looked at for template syntax
TEMPLATE = "a template"  # why an HTML file of a folder is not read: counted as excluded, no warning
IGNORE_SIZE = 1 << 20  # bytes of an ignore file read


class Excludes:
    """The ignore files of a folder and its subfolders (git's patterns: ``!`` negation, a
    trailing ``/`` for folders, ``**``, ``/`` anchoring to the file's folder) and the exclude
    patterns given for the whole source. A deeper ignore file's match overrides a shallower
    one's, as in git; the given patterns override them all."""

    def __init__(self, patterns: Sequence[str] = ()) -> None:
        self.given = self._spec(list(patterns)) if patterns else None
        self.files: dict[str, Any] = {}  # a folder's key ("" the source, else "a/b/") -> its patterns

    @staticmethod
    def _spec(lines: list[str]) -> Any:
        try:
            pathspec = importlib.import_module("pathspec")
        except ImportError:
            raise MissingPackageError("ignore files and exclude patterns need the package pathspec: pip install "
                                      "pathspec (or the tarnexa extra 'text')") from None
        return pathspec.GitIgnoreSpec.from_lines(lines)

    def read(self, folder: Path, key: str) -> list[str]:
        """Reads the ignore files of folder (key: its path below the source, "" or ending in
        "/"); the problems met, as messages."""
        lines: list[str] = []
        problems = []
        for name in IGNORE_FILES:
            try:
                lines += _head(Path(folder, name), IGNORE_SIZE).decode("utf-8", "replace").splitlines()
            except FileNotFoundError:
                continue
            except OSError as e:
                problems.append(f"cannot read {Path(folder, name)}: {e.strerror or e}; its patterns are not applied")
        if lines:
            self.files[key] = self._spec(lines)
        return problems

    def excluded(self, key: str, folder: bool = False) -> bool:
        """Whether the file (or folder) at key, its path below the source, is left out."""
        path = key + "/" if folder else key
        out = False
        parts = key.split("/")
        for depth in range(len(parts)):
            base = "/".join(parts[:depth]) + "/" if depth else ""
            spec = self.files.get(base)
            if spec is not None:
                got = spec.check_file(path[len(base):]).include
                out = got if got is not None else out
        if self.given is not None:
            got = self.given.check_file(path).include
            out = got if got is not None else out
        return out


def _head(p: Path, size: int) -> bytes:
    """The first size bytes of a regular file, opened without blocking (a FIFO in its place is
    refused, never waited on); OSError for what is not a regular file."""
    fd = os.open(p, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise OSError(f"{_kind(os.fstat(fd).st_mode)}, not a regular file")
        with os.fdopen(os.dup(fd), "rb") as stream:
            return stream.read(size)
    finally:
        os.close(fd)


def _template(p: Path) -> bool:
    """Whether an HTML file is a site generator's template ({% %}, {{ }} or {# #} in it)."""
    try:
        head = _head(p, TEMPLATE_PEEK).decode("utf-8", "replace")
    except OSError:
        return False  # reading it fails again later, and is reported then
    return bool(_TEMPLATE_SYNTAX.search(head))


def scan(sources: Sequence[str | os.PathLike[str]], follow_links: bool = False,
         exclude: Sequence[str] = ()) -> Scan:
    """The files under each source (a folder, searched recursively, or a file), keyed by their
    paths below it; hidden files and folders are passed over, folders that cannot be listed
    reported. One rule for files and folders alike: a link whose target lies outside its source
    folder is passed over (in ``passed``) unless ``follow_links``; so are, with a file suffix we
    read, dangling links and what is not a regular file (FIFOs, devices, sockets). HTML files
    that are templates are left out (in ``templates``; what an earlier sync read of one goes). In
    a folder, what its ``.gitignore`` and ``.tarnexaignore`` files
    (in it and its subfolders) or the ``exclude`` patterns (gitignore lines, from the folder)
    leave out is listed in ``excluded``. A file named as a source is read whatever it is. A
    source that is not a folder or a regular file raises SourceError."""
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
            rules = Excludes(exclude)
            for folder, dirs, names in os.walk(source, onerror=failed, followlinks=True):
                here = Path(folder).relative_to(source).as_posix()
                here = "" if here == "." else here + "/"
                for problem in rules.read(Path(folder), here):
                    out.passed.append((str(Path(folder)), problem))
                kept = []
                for d in sorted(d for d in dirs if not d.startswith(".")):
                    p = Path(folder, d)
                    if rules.excluded(here + d, folder=True):
                        out.excluded.append((root, here + d + "/"))
                        continue
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
                    if rules.excluded(here + name):
                        out.excluded.append((root, here + name))
                        continue
                    why = _passed_over(p, root, given, follow_links)
                    if why == TEMPLATE:
                        out.templates.append(str(p))
                    elif why:
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
    if fmt(p) == "html" and _template(p):
        return TEMPLATE
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


def file_passages(f: SourceFile, data: bytes, mtime: float, seconds: float | None = PARSE_SECONDS,
                  problems: list[str] | None = None) -> list[Passage]:
    """The passages of one file's content; SourceError naming the file when it is not what its
    name says, takes more than seconds to parse, or holds words of which no passage came (text
    that would be lost without a word); MissingPackageError when its format's parser is not
    installed. What of the file its parser could not read (the rest is cut) is added to
    problems, when given; else it raises SourceError."""
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
    if parsed.problems:
        if problems is None:
            raise SourceError(f"{f.path}: {parsed.problems[0]}")
        problems += parsed.problems
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
    fallback = plain(" ".join(named.split()) if isinstance(named, str) and named.strip() else Path(key).name)
    out: list[Passage] = []
    sections: list[tuple[tuple[str, ...], list[Block]]] = []
    for b in parsed.blocks:
        b = Block(tuple(plain(h) for h in b.path), plain(b.text), b.kind, b.page)
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


# Control characters no stored text keeps (a parser's marks, a PDF's form feeds, stray bytes):
# line and page breaks become newlines, the rest go; tabs and newlines stay.
_BREAKS = re.compile(r"\r\n?|[\x0b\x0c\x1c-\x1e\x85\u2028\u2029]")
_CONTROL = re.compile(r"[\x00-\x08\x0e-\x1b\x1f\x7f-\x84\x86-\x9f]")
_ANY_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f\u2028\u2029]")


def plain(text: str) -> str:
    """Text without control characters other than newlines and tabs: every format's blocks and
    titles pass here before they are cut, so no parser's stray marks reach an index."""
    if _ANY_CONTROL.search(text) is None:  # most text: one look
        return text
    return _CONTROL.sub("", _BREAKS.sub("\n", text))


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

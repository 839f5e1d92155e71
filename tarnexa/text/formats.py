"""The formats ``tarnexa index`` reads, each through a parser made for it, turned into blocks of
plain text under their heading paths.

A block is a paragraph, a list, a table or a code block; its heading path is the titles of the
sections it sits in, outermost first. Markup is dropped (emphasis, links, tags, attribute lists,
admonition markers), code is kept as it is written. The parsers come with the ``text`` extra and
are imported when a file of their format is first read:

- Markdown (``.md``, ``.markdown``): markdown-it-py (CommonMark with tables and ``!!!``
  admonitions from mdit-py-plugins); a YAML front matter block (PyYAML) gives metadata. What
  site generators add is read as their pages show it: reference links left undefined as their
  text, attribute lists and template macros dropped, content tabs as their title and content.
- reStructuredText (``.rst``): docutils, with file insertion and raw output disabled. A
  directive docutils does not know (Sphinx's) keeps its content, parsed again on its own, and
  its argument where it is text; a role it does not know is its text.
- HTML (``.html``, ``.htm``): the standard library's parser; trafilatura finds the page's body when
  the page does not mark it.
- PDF (``.pdf``): pypdfium2, a page at a time (running heads, page numbers and contents pages
  dropped, sections from the outline).
- Jupyter notebooks (``.ipynb``): Markdown cells as Markdown, code cells as code, outputs dropped.
- Plain text (``.txt``): paragraphs.
"""

from __future__ import annotations

import contextlib
import copy
import datetime as dt
import html.parser
import importlib
import io
import json
import logging
import math
import re
import textwrap
import warnings
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from tarnexa.errors import MissingPackageError, SourceError

FORMATS = {".md": "markdown", ".markdown": "markdown", ".rst": "rst", ".txt": "text", ".html": "html",
           ".htm": "html", ".pdf": "pdf", ".ipynb": "notebook"}
PACKAGES = {"markdown_it": "markdown-it-py", "mdit_py_plugins": "mdit-py-plugins", "yaml": "PyYAML",
            "docutils": "docutils", "pypdf": "pypdf", "trafilatura": "trafilatura", "pypdfium2": "pypdfium2"}


@dataclass(frozen=True)
class Block:
    path: tuple[str, ...]  # the heading path; () before the first heading
    text: str
    kind: str = "text"  # "text" (prose), "lines" (a list or table: split at its lines), "code"
    page: int | None = None  # a PDF's page, 1-based


@dataclass
class Parsed:
    blocks: list[Block]
    meta: dict[str, Any] = field(default_factory=dict)  # front matter; an HTML <title>
    timestamp: float | None = None  # a front matter date, epoch seconds
    problems: list[str] = field(default_factory=list)  # what of the file its parser could not read


def _module(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        package = PACKAGES[name.partition(".")[0]]
        raise MissingPackageError(f"this format needs the package {package}: pip install {package} "
                                  "(or the tarnexa extra 'text')") from None


def parse(fmt: str, data: bytes, repeated: frozenset[str] = frozenset()) -> Parsed:
    """The blocks of one file of this format (a value of FORMATS); SourceError for a file that
    is not what its name says (binary data, not UTF-8, a parser's failure). repeated: an HTML
    page's blocks to leave out, those its site repeats on most pages (repeated_blocks)."""
    if fmt == "pdf":
        return _pdf(data)
    text = _decode(data, fmt)
    if fmt == "markdown":
        return _markdown(text)
    if fmt == "rst":
        problems: list[str] = []
        return Parsed(_rst(text, problems), problems=problems)
    if fmt == "html":
        return _html(text, repeated)
    if fmt == "notebook":
        return Parsed(_notebook(text))
    return Parsed([Block((), p) for p in _paragraphs(text)])


def _decode(data: bytes, fmt: str) -> str:
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):  # UTF-16 with its byte order mark
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError as e:
            raise SourceError(f"not UTF-16 text, as its first bytes say (byte {e.start})") from None
    if b"\0" in data[:8192]:
        raise SourceError("binary data, not text")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        declared = re.search(rb"<meta[^>]+charset=[\"']?([\w-]+)", data[:2048], re.I) if fmt == "html" else None
        if declared:
            try:
                return data.decode(declared.group(1).decode("ascii"))
            except (LookupError, UnicodeDecodeError):
                pass
        raise SourceError(f"not UTF-8 text (byte {e.start})") from None


def _paragraphs(text: str) -> list[str]:
    return [p.strip("\n") for p in re.split(r"\n[ \t]*\n", text.replace("\r\n", "\n")) if p.strip()]


# ---- plain text cleaning shared by the formats ----

_ATTRS = re.compile(r"\s*\{:?\s*(?:[#.][\w:-]+|[\w-]+=\S+)(?:\s+(?:[#.][\w:-]+|[\w-]+=\S+))*\s*\}\s*$")
_MARKER = re.compile(r"^\s*(?:/{3,}|[!?]{3}\+?)\s*(.*)$")  # /// note | Title, !!! note "Title", ??? tip


def clean_title(title: str) -> str:
    """A heading as plain text: an attribute list at its end gone, spaces made single."""
    return " ".join(_ATTRS.sub("", title).split())


def _marker_line(line: str) -> str | None:
    """A block marker line's text to keep ("" for none), or None when the line is no marker."""
    m = _MARKER.match(line)
    if not m:
        return None
    rest = m.group(1)
    if "|" in rest:  # /// note | Its title
        return rest.partition("|")[2].strip()
    quoted = re.search(r"\"(.*)\"", rest)
    return quoted.group(1).strip() if quoted else ""


_TEMPLATE = re.compile(r"^\s*\{([*%]).*\1\}\s*$")  # {* include *}, {% tag %}: a site generator's, not text


def _unmarked(text: str) -> str:
    lines = []
    for line in text.split("\n"):
        kept = "" if _TEMPLATE.match(line) else _marker_line(line)
        if kept is None:
            lines.append(line)
        elif kept:
            lines.append(kept)
    return "\n".join(lines).strip("\n")


# ---- Markdown ----

_FRONT = re.compile(r"\A(?:\ufeff)?---[ \t]*\r?\n(.*?)^(?:---|\.\.\.)[ \t]*(?:\r?\n|\Z)", re.S | re.M)
FRONT_MATTER = _FRONT
_md: Any = None
# Quotes nested deeper than this are read as this deep: the parser drops what lies beyond its
# nesting limit, and the text would be lost.
QUOTES = 8
_QUOTES = re.compile(r"^(?: {0,3}>[ \t]?){%d,}" % (QUOTES + 1), re.M)


def _markdown_parser() -> Any:
    global _md
    if _md is None:
        markdown_it = _module("markdown_it")
        admon = _module("mdit_py_plugins.admon")
        _md = markdown_it.MarkdownIt("commonmark").enable(["table", "strikethrough"]).use(admon.admon_plugin)
        _md.normalizeLink = lambda url: url  # the addresses are dropped: no need to encode them
    return _md


def _markdown(text: str) -> Parsed:
    meta: dict[str, Any] = {}
    stamp = None
    front = _FRONT.match(text)
    if front:
        yaml = _module("yaml")
        try:
            loaded = yaml.safe_load(front.group(1))
        except yaml.YAMLError:
            loaded = None  # not front matter after all: a thematic break and text
        if isinstance(loaded, dict):
            meta = storable(jsonable(loaded, [10_000]))
            stamp = timestamp_of(loaded.get("date"))
            text = text[front.end():]
    return Parsed(markdown_blocks(_QUOTES.sub(lambda m: "> " * QUOTES, text)), meta, stamp)


def markdown_blocks(text: str, heads: list[tuple[int, str]] | None = None) -> list[Block]:
    """The blocks of Markdown text; heads, the (depth, title) of the open headings, is carried
    on from text before (a notebook's cells) and left as the text leaves it."""
    tokens = _markdown_parser().parse(_content_tabs(text) if "===" in text else text)
    out: list[Block] = []
    heads = [] if heads is None else heads
    i = 0
    while i < len(tokens):
        t = tokens[i]
        if t.type == "heading_open" and t.level == 0:
            depth = int(t.tag[1:])
            title = clean_title(_inline(tokens[i + 1]))
            heads[:] = [h for h in heads if h[0] < depth] + ([(depth, title)] if title else [])
            i += 3
            continue
        end = _block_end(tokens, i)
        path = tuple(h for _, h in heads)
        for kind, body in _md_block(tokens[i:end]):
            if body.strip():
                out.append(Block(path, body, kind))
        i = end
    return out


def _block_end(tokens: list[Any], i: int) -> int:
    """The index after the top-level block that starts at i."""
    depth = tokens[i].nesting
    j = i + 1
    while depth > 0 and j < len(tokens):
        depth += tokens[j].nesting
        j += 1
    return j


def _md_block(tokens: list[Any]) -> Iterator[tuple[str, str]]:
    t = tokens[0]
    if t.type in ("fence", "code_block"):
        yield "code", t.content.rstrip("\n")
    elif t.type == "html_block":
        yield "text", _html_text(t.content)
    elif t.type == "paragraph_open":
        yield "text", _unmarked(_inline(tokens[1]))
    elif t.type in ("bullet_list_open", "ordered_list_open"):
        yield "lines", "\n".join(_md_list(tokens, 0))
    elif t.type == "table_open":
        rows, row = [], list[str]()
        for tok in tokens:
            if tok.type == "inline":
                row.append(_inline(tok).replace("\n", " "))
            elif tok.type == "tr_close":
                rows.append(" | ".join(row))
                row = []
        yield "lines", "\n".join(rows)
    elif t.type == "heading_open":  # nested in a quote or an admonition: text
        yield "text", clean_title(_inline(tokens[1]))
    elif t.type in ("blockquote_open", "admonition_open"):
        inner = tokens[1:-1]
        j = 0
        while j < len(inner):
            if inner[j].type == "admonition_title_open":
                title = clean_title(_inline(inner[j + 1]))
                if title:
                    yield "text", title
                j += 3
                continue
            end = _block_end(inner, j)
            yield from _md_block(inner[j:end])
            j = end


def _md_list(tokens: list[Any], indent: int) -> list[str]:
    """A list's items as lines, "- " or "N. " before each, nested lists indented."""
    lines: list[str] = []
    ordered = tokens[0].type == "ordered_list_open"
    number = int(tokens[0].attrs.get("start", 1) or 1) if ordered else 0
    j = 1
    pad = "  " * indent
    while j < len(tokens) - 1:
        item_end = _block_end(tokens, j)
        mark = f"{number}. " if ordered else "- "
        number += 1
        first = True
        k = j + 1
        while k < item_end - 1:
            end = _block_end(tokens, k)
            tok = tokens[k]
            if tok.type in ("bullet_list_open", "ordered_list_open"):
                lines += _md_list(tokens[k:end], indent + 1)
            else:
                for _, body in _md_block(tokens[k:end]):
                    for n, line in enumerate(body.split("\n")):
                        lines.append(pad + (mark if first and n == 0 else " " * len(mark)) + line)
                    first = False
            k = end
        if first:
            lines.append(pad + mark.rstrip())
        j = item_end
    return [line.rstrip() for line in lines]


def _inline(token: Any) -> str:
    out = []
    code: list[str] = []
    for c in token.children or []:
        if c.type == "text":
            out.append(c.content)
        elif c.type == "code_inline":  # kept out of the clean-up below: code is kept as written
            out.append(f"\ue000{len(code)}\ue001")
            code.append(c.content)
        elif c.type in ("softbreak", "hardbreak"):
            out.append("\n")
        elif c.type == "image":
            out.append(c.content)
    text = _inline_markup("".join(out))
    return re.sub("\ue000(\\d+)\ue001", lambda m: code[int(m.group(1))], text).strip()


# A reference link the parser left as text (its reference is defined elsewhere, as MkDocs'
# cross-references are): [text][ref], [text][].
_REF_LINK = re.compile(r"(?<![\w\]])\[((?:[^\[\]\\]|\\.)+)\]\[[^\[\]\s]*\]")  # not a[1][2]
_ATTR_LIST = re.compile(r"[ \t]*\{:?[ \t]*(?:(?:[#.][\w:-]+|[\w-]+=(?:\"[^\"]*\"|'[^']*'|[^\s}]+))[ \t]*)+\}")
_MACRO = re.compile(r"\{\{.*?\}\}|\{%.*?%\}|\{#.*?#\}", re.S)


def _inline_markup(text: str) -> str:
    """Prose with the markup of site generators gone: reference links as their text, attribute
    lists ({#id}, {: .class }, {.class #id}) and template macros ({{ ... }}, {% ... %}) dropped."""
    if "{" not in text and "][" not in text:  # most prose: nothing of the kind
        return text
    bare = _ATTR_LIST.sub("", _MACRO.sub("", text))
    if bare != text:
        bare = re.sub(r"(?<=\S)[ \t]{2,}(?=\S)", " ", bare)  # the space on both sides of what went
    return _REF_LINK.sub(lambda m: m.group(1), bare)


# A content tab of MkDocs Material: === "Title" and its indented content.
_TAB = re.compile(r'^( *)===\+?[ \t]+"(.*)"[ \t]*$')
_FENCE = re.compile(r"^ *(`{3,}|~{3,})")


def _content_tabs(text: str) -> str:
    """Markdown with each content tab as its title (a paragraph) and its content unindented, so
    that a fenced block inside stays a fenced block and not an indented one. Tabs nest."""
    lines = text.split("\n")
    out: list[str] = []
    fence = ""
    tabs: list[int] = []  # the indentation of each open tab's marker
    for line in lines:
        width = len(line) - len(line.lstrip(" "))
        while tabs and line.strip() and width < tabs[-1] + 4:
            tabs.pop()  # a line left of the tab's content closes it
        shift = 4 * len(tabs)
        line = line[min(shift, width):] if line.strip() else ""
        if fence:
            if line.lstrip(" ").startswith(fence):
                fence = ""
            out.append(line)
            continue
        opened = _FENCE.match(line)
        if opened:
            fence = opened.group(1)
            out.append(line)
            continue
        tab = _TAB.match(line)
        if tab:
            out += [tab.group(1) + tab.group(2).replace("\\\"", "\""), ""]
            tabs.append(width)
            continue
        out.append(line)
    return "\n".join(out)


# ---- reStructuredText ----

_SKIPPED_DIRECTIVES = {"toctree", "highlight", "index", "literalinclude", "include", "raw", "tabularcolumns",
                       "meta", "contents", "sectnum", "currentmodule", "module", "default-domain", "default-role",
                       "autosummary", "program", "codeauthor", "sectionauthor", "moduleauthor"}
# Directives whose content is code (kept as written), not reStructuredText.
_CODE_DIRECTIVES = {"code-block", "sourcecode", "doctest", "testcode", "testoutput", "testsetup", "testcleanup",
                    "ipython", "jupyter-execute", "prompt", "productionlist", "graphviz", "graph", "digraph",
                    "mermaid", "plantuml", "uml", "autoprogram"}
# Directives whose argument is a condition or a name, not text a reader sees.
_CONDITION_DIRECTIVES = {"only", "ifconfig", "tab-set", "tabs", "container", "rst-class", "cssclass", "class"}
# Sphinx's version notes, as its HTML shows them.
_VERSION_NOTES = {"versionadded": "New in version", "versionchanged": "Changed in version",
                  "deprecated": "Deprecated since version", "versionremoved": "Removed in version"}
_ROLE = re.compile(r"^(?::[\w.:+-]+:)?`(.*)`(?::[\w.:+-]+:)?_{0,2}$|^\|(.*)\|_{0,2}$", re.S)
_DIRECTIVE = re.compile(r"^\.\.[ \t]+([\w.+-]+(?::[\w.+-]+)*)[ \t]*::(?:[ \t]+(.*))?$")
_OPTION = re.compile(r"^:(?!`)[^:`\s][^:`]*:(?:\s|$)")  # ":name: value"; ":role:`text`" is text, not an option
_INLINE_ROLE = re.compile(r"(?::[\w.:+-]+:)?`([^`]+)`(?::[\w.:+-]+:)?_{0,2}")
_RST_SETTINGS = {"report_level": 5, "halt_level": 5, "file_insertion_enabled": False, "raw_enabled": False,
                 "doctitle_xform": False, "syntax_highlight": "none", "input_encoding": "unicode",
                 "_disable_config": True}


def _role_text(shown: str) -> str:
    """A role's text as Sphinx shows it: "x <y>" as x, "~a.b.c" as c, "!x" and ".x" as x."""
    target = re.match(r"^(.*?)\s*<[^<>]*>$", shown, re.S)
    shown = (target.group(1) if target and target.group(1) else shown).lstrip("!")
    return shown[1:].rpartition(".")[2] if shown.startswith("~") else shown.lstrip(".")


def _rst_argument(text: str) -> str:
    """A directive's argument as plain text: roles and literals as their text, escapes resolved,
    a directive named in it (``.. rst:directive:: .. note::``) without its leading dots."""
    text = re.sub(r"``(.+?)``", r"\1", text.strip())
    text = _INLINE_ROLE.sub(lambda m: _role_text(m.group(1)), text)
    text = re.sub(r"(?<![\w*])\*{1,2}(?=\S)(.+?)(?<=\S)\*{1,2}(?![\w*])", r"\1", text)  # emphasis
    text = re.sub(r"\\(.)", r"\1", text)
    return re.sub(r"^\.\.[ \t]+(?=[\w:.+-]+::)", "", text).strip()


def _directive_parts(literal: str) -> tuple[str, str, str] | None:
    """(name, argument, content) of an unknown directive's text, its options dropped; None when
    the text is no directive."""
    lines = literal.expandtabs(8).split("\n")
    m = _DIRECTIVE.match(lines[0].strip())
    if not m:
        return None
    argument = [m.group(2) or ""]
    i = 1
    in_option = False
    while i < len(lines) and lines[i].strip():  # arguments and options run to the first blank line
        line = lines[i].strip()
        if _OPTION.match(line):
            in_option = True
        elif in_option and len(lines[i]) - len(lines[i].lstrip()) > _indent_of(lines, i):
            pass  # an option's value going on
        elif in_option:
            break  # no blank line between the options and the content
        else:
            argument.append(line)
        i += 1
    body = textwrap.dedent("\n".join(lines[i:]))
    return m.group(1), " ".join(a for a in argument if a), body.strip("\n")


def _indent_of(lines: list[str], i: int) -> int:
    """The indentation of the option line before line i."""
    for j in range(i - 1, 0, -1):
        if _OPTION.match(lines[j].strip()):
            return len(lines[j]) - len(lines[j].lstrip())
    return 0


def _rst(text: str, problems: list[str] | None = None) -> list[Block]:
    """The blocks of a reStructuredText document; what docutils cannot read is left out and said
    in problems (when given; else SourceError)."""
    try:
        return _rst_blocks(text, (), 0)
    except _RstFailure as e:
        if problems is None:
            raise SourceError(f"docutils cannot read it: {e}") from None
        first = str(e)
    pieces = _rst_pieces(text)
    bad = []
    for start, end in pieces:
        try:
            _rst_blocks("\n".join(text.split("\n")[start:end]), (), 0)
        except _RstFailure:
            bad.append((start, end))
    lines = text.split("\n")
    for start, end in bad:
        lines[start:end] = [""] * (end - start)  # blank lines keep the line numbers and the sections' order
    problems.append(f"docutils cannot read {_line_ranges(bad) or 'all of it'} ({first}); the rest is indexed")
    try:
        return _rst_blocks("\n".join(lines), (), 0)
    except _RstFailure:
        return []


def _rst_pieces(text: str) -> list[tuple[int, int]]:
    """(start, end) line ranges of the top-level constructs of a document: each starts at an
    unindented line after a blank one."""
    lines = text.split("\n")
    starts = [0] + [i for i in range(1, len(lines)) if lines[i][:1].strip() and not lines[i - 1].strip()]
    out = []
    for start, end in zip(starts, starts[1:] + [len(lines)]):
        while end > start + 1 and not lines[end - 1].strip():
            end -= 1  # the blank lines after it are no part of it
        out.append((start, end))
    return out


def _line_ranges(ranges: list[tuple[int, int]]) -> str:
    return ", ".join(f"line {s + 1}" if e - s <= 1 else f"lines {s + 1}-{e}" for s, e in ranges)


class _RstFailure(Exception):
    pass


_settings: Any = None


def _rst_settings() -> Any:
    """docutils' settings, made once: making them costs as much as parsing a short text, and
    each directive's content is parsed on its own."""
    global _settings
    if _settings is None:
        frontend = _module("docutils.frontend")
        rst = _module("docutils.parsers.rst")
        standalone = _module("docutils.readers.standalone")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # docutils' own option classes, still used
            made = frontend.get_default_settings(rst.Parser, standalone.Reader)
        for name, value in _RST_SETTINGS.items():
            setattr(made, name, value)
        _settings = made
    return _settings


def _rst_blocks(text: str, base: tuple[str, ...], depth: int) -> list[Block]:
    """The blocks of reStructuredText under the heading path base; depth counts the directives
    this text sits in (their content is parsed again on its own)."""
    core = _module("docutils.core")
    nodes = _module("docutils.nodes")
    settings = copy.copy(_rst_settings())
    settings.warning_stream = io.StringIO()
    try:
        doc = core.publish_doctree(text, settings=settings)
    except Exception as e:  # docutils' own failures (a bad table); a parse error is a note in the tree
        raise _RstFailure(str(e) or type(e).__name__) from None
    out: list[Block] = []

    def inline(node: Any) -> str:
        if isinstance(node, nodes.problematic):  # an unknown role: its text
            raw = str(node.astext())
            m = _ROLE.match(raw)
            if not m:
                return raw
            shown = _role_text(m.group(1) if m.group(1) is not None else m.group(2))
            return re.sub(r"\\(.)", r"\1", shown)  # escapes count in a role's text, as in any text
        if isinstance(node, nodes.system_message):  # an unknown directive inside a paragraph or a cell
            return "\n".join(b.text for lit in node.findall(nodes.literal_block)
                             for b in directive_blocks(lit.astext(), ()))
        if isinstance(node, (nodes.footnote_reference, nodes.citation_reference, nodes.substitution_definition,
                             nodes.target)):
            return ""
        if isinstance(node, nodes.Text):
            return str(node.astext())  # escapes resolved (str() keeps docutils' NUL marks)
        return "".join(inline(c) for c in node.children)

    def directive_blocks(literal: str, path: tuple[str, ...]) -> list[Block]:
        """An unknown directive's blocks: its argument where it is text, its content parsed (as
        code for a code directive), its options dropped."""
        parts = _directive_parts(literal)
        if parts is None:
            return [Block(path, literal.strip())] if literal.strip() else []
        name, argument, body = parts
        short = name.split(":")[-1]
        if short in _SKIPPED_DIRECTIVES:
            return []
        if short in _CODE_DIRECTIVES:
            return [Block(path, body, "code")] if body.strip() else []
        lead = "" if short in _CONDITION_DIRECTIVES else _rst_argument(argument)
        if short in _VERSION_NOTES:  # the words after the version are its first paragraph
            version, _, rest = argument.strip().partition(" ")
            body = f"{rest.strip()}\n\n{body}".strip()
            lead = f"{_VERSION_NOTES[short]} {_rst_argument(version)}" + (":" if body else ".")
        inner = _rst_blocks(body, path, depth + 1) if body.strip() and depth < 20 else \
            [Block(path, body)] if body.strip() else []
        if lead and inner and inner[0].kind == "text" and inner[0].path == path:
            return [Block(path, f"{lead} {inner[0].text}" if short in _VERSION_NOTES else f"{lead}\n{inner[0].text}"),
                    *inner[1:]]
        return ([Block(path, lead)] if lead else []) + inner

    def walk(node: Any, path: tuple[str, ...]) -> None:
        for child in node.children:
            if isinstance(child, nodes.section):
                title = next((c for c in child.children if isinstance(c, nodes.title)), None)
                walk(child, path + ((clean_title(inline(title)),) if title is not None else ()))
            elif isinstance(child, nodes.title):
                continue
            elif isinstance(child, nodes.system_message):
                for lit in child.findall(nodes.literal_block):
                    out.extend(directive_blocks(lit.astext(), path))
            elif isinstance(child, (nodes.literal_block, nodes.doctest_block)):
                out.append(Block(path, child.astext(), "code"))
            elif isinstance(child, (nodes.paragraph, nodes.line_block, nodes.rubric)):
                out.append(Block(path, " ".join(inline(child).split(" ")).strip()))
            elif isinstance(child, (nodes.bullet_list, nodes.enumerated_list, nodes.definition_list,
                                    nodes.field_list, nodes.option_list)):
                out.append(Block(path, "\n".join(list_lines(child, 0)), "lines"))
            elif isinstance(child, nodes.table):
                rows = [" | ".join(" ".join(inline(e).split()) for e in row.children) for row in child.findall(nodes.row)]
                out.append(Block(path, "\n".join(rows), "lines"))
            elif isinstance(child, (nodes.comment, nodes.substitution_definition, nodes.target, nodes.raw)):
                continue
            elif isinstance(child, nodes.Element):  # admonitions, topics, quotes, containers: their blocks
                walk(child, path)

    def list_lines(lst: Any, indent: int) -> list[str]:
        lines: list[str] = []
        pad = "  " * indent
        number = int(lst.get("start", 1)) if isinstance(lst, nodes.enumerated_list) else 0
        for item in lst.children:
            mark = f"{number}. " if number else "- "
            number += 1 if number else 0
            first = True
            for part in item.children:
                if isinstance(part, (nodes.bullet_list, nodes.enumerated_list, nodes.definition_list)):
                    lines += list_lines(part, indent + 1)
                    continue
                text = inline(part).strip() if not isinstance(part, nodes.literal_block) else part.astext()
                for n, line in enumerate(text.split("\n")):
                    if line.strip():
                        lines.append(pad + (mark if first else " " * len(mark)) + line.strip())
                        first = False
        return lines

    walk(doc, base)
    return [b for b in out if b.text.strip()]


# ---- HTML ----

_DROPPED = {"script", "style", "nav", "header", "footer", "aside", "noscript", "template", "svg"}
_DROPPED_ROLES = {"navigation", "banner", "contentinfo", "search", "complementary"}  # nav, header... by role
_BLOCKS = {"p", "div", "section", "article", "main", "ul", "ol", "li", "table", "tr", "blockquote", "pre", "br",
           "dl", "dt", "dd", "figure", "figcaption", "form", "hr", "body", "caption"}
_VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


class _HTML(html.parser.HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.blocks: list[Block] = []
        self.main: list[Block] = []
        self.title = ""
        self.heads: list[tuple[int, str]] = []
        self.skip: list[str] = []
        self.buf: list[str] = []
        self.item = self.listed = False  # the text is a list item's; the last block was one
        self.heading: int | None = None
        self.in_title = self.in_pre = False
        self.in_main = 0
        self.divs = 0  # open <div>s, and the depths at which a <div role="main"> opened
        self.main_divs: list[int] = []
        self.explicit = False  # the page marks its main content (<main>, <article>, role="main")
        self.cells: list[str] = []

    def flush(self) -> None:
        raw = "".join(self.buf)
        self.buf = []
        if self.heading is not None:
            return
        text = raw.strip("\n") if self.in_pre else " ".join(raw.split())
        item, self.item = self.item, False
        if not text.strip() or text == "-":
            return
        path = tuple(h for _, h in self.heads)
        for blocks in (self.blocks, self.main) if self.in_main else (self.blocks,):
            if item and blocks and blocks[-1].kind == "lines" and blocks[-1].path == path and self.listed:
                blocks[-1] = Block(path, blocks[-1].text + "\n" + text, "lines")  # a list's items: one block
            else:
                blocks.append(Block(path, text, "code" if self.in_pre else "lines" if item else "text"))
        self.listed = item

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if self.skip:
            if tag not in _VOID:
                self.skip.append(tag)
            return
        if tag in _DROPPED or dict(attrs).get("role") in _DROPPED_ROLES:
            self.flush()
            self.skip.append(tag)
        elif tag == "title":
            self.in_title = True
        elif re.fullmatch(r"h[1-6]", tag):
            self.flush()
            self.heading = int(tag[1])
        elif tag in _BLOCKS:
            self.flush()
            if tag == "div":
                self.divs += 1
            if tag == "pre":
                self.in_pre = True
            elif tag in ("main", "article") or (tag == "div" and ("role", "main") in attrs):
                self.in_main += 1
                self.explicit = True
                if tag == "div":
                    self.main_divs.append(self.divs)
            elif tag == "li":
                self.buf.append("- ")
                self.item = True
            elif tag == "tr":
                self.item = True
        elif tag in ("td", "th"):
            if "".join(self.buf).strip():
                self.buf.append(" | ")
        elif tag == "img":
            alt = dict(attrs).get("alt")
            if alt:
                self.buf.append(alt)
        elif tag in ("sup", "sub"):  # 2<sup>64</sup> reads 2^64, x<sub>i</sub> x_i
            self.buf.append("^" if tag == "sup" else "_")

    def handle_startendtag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        self.handle_starttag(tag, attrs)
        if tag not in _VOID:
            self.handle_endtag(tag)

    def handle_endtag(self, tag: str) -> None:
        if self.skip:
            if tag in self.skip:  # close up to the matching tag: HTML left unclosed inside is forgiven
                while self.skip and self.skip.pop() != tag:
                    pass
            return
        if tag == "title":
            self.in_title = False
        elif re.fullmatch(r"h[1-6]", tag) and self.heading is not None:
            title = clean_title("".join(self.buf))
            self.buf = []
            depth, self.heading = self.heading, None
            self.heads = [h for h in self.heads if h[0] < depth] + ([(depth, title)] if title else [])
        elif tag in _BLOCKS:
            self.flush()
            if tag == "pre":
                self.in_pre = False
            elif tag in ("main", "article") and self.in_main:
                self.in_main -= 1
            elif tag == "div":
                if self.main_divs and self.main_divs[-1] == self.divs:
                    self.main_divs.pop()
                    self.in_main -= 1
                self.divs = max(self.divs - 1, 0)

    def handle_data(self, data: str) -> None:
        if self.skip:
            return
        if self.in_title:
            self.title += data
        else:
            self.buf.append(data)


def _html_parsed(text: str) -> _HTML:
    p = _HTML()
    p.feed(text)
    p.close()
    p.flush()
    return p


def _html(text: str, repeated: frozenset[str] = frozenset()) -> Parsed:
    """A page's main content: what it marks as such (<main>, <article>, role="main"), else the
    blocks trafilatura finds the page's body in; then without the blocks repeated on most pages
    of its folder (a menu, a footer: see repeated_blocks)."""
    p = _html_parsed(text)
    title = " ".join(p.title.split())
    blocks = p.main if p.explicit and p.main else _main_blocks(text, p.blocks)
    kept = [b for b in blocks if _block_key(b.text) not in repeated]
    return Parsed(kept, {"title": title} if title else {})


_WORD = re.compile(r"\w+")
# A block is the page's body when this share of its runs of three words (of its words, when it
# has fewer) is in the text trafilatura extracts.
MAIN_SHARE = 0.5


def _main_blocks(text: str, blocks: list[Block]) -> list[Block]:
    """The blocks of the page's body as trafilatura sees it: our own blocks (their headings,
    lists, code and marks kept) whose words it keeps; all of them when it finds no body or
    fails on the page (its lxml errors are of many types: the page is kept whole, not lost)."""
    trafilatura = _module("trafilatura")
    try:
        with _quiet("trafilatura"):
            body = trafilatura.extract(text, include_tables=True, include_comments=False, favor_recall=True)
    except Exception:
        return blocks
    if not body:
        return blocks
    words = [w.lower() for w in _WORD.findall(body)]
    runs = set(zip(words, words[1:], words[2:]))
    joined = " " + " ".join(words) + " "

    def main(b: Block) -> bool:
        own = [w.lower() for w in _WORD.findall(b.text)]
        if len(own) < 3:
            return not own or " " + " ".join(own) + " " in joined
        mine = list(zip(own, own[1:], own[2:]))
        return sum(r in runs for r in mine) >= MAIN_SHARE * len(mine)

    keep = [main(b) for b in blocks]
    after: list[tuple[str, ...] | None] = [None] * len(blocks)  # the path of the next block kept
    for i in range(len(blocks) - 2, -1, -1):
        after[i] = blocks[i + 1].path if keep[i + 1] else after[i + 1]
    before: tuple[str, ...] | None = None
    for i, b in enumerate(blocks):  # a list, a table or code inside a section of the body: its own
        if keep[i]:
            before = b.path
        elif b.kind != "text" and before == b.path == after[i]:
            keep[i] = True
    return [b for b, k in zip(blocks, keep) if k]


def _block_key(text: str) -> str:
    return " ".join(text.split())


# Pages of one folder a block must be on (this share of them, and at least REPEATED_PAGES pages)
# to be the site's and not a page's own.
REPEATED_SHARE, REPEATED_PAGES = 0.6, 5


def repeated_blocks(pages: list[bytes]) -> frozenset[str]:
    """The blocks (as _block_key gives them) on most of these HTML pages: a site's menu, tagline
    and footer, which every page of it repeats. Pages that cannot be read are left out."""
    counts: dict[str, int] = {}
    read = 0
    for data in pages:
        try:
            p = _html_parsed(_decode(data, "html"))
        except (SourceError, ValueError, AssertionError):
            continue
        read += 1
        for key in {_block_key(b.text) for b in p.blocks}:
            counts[key] = counts.get(key, 0) + 1
    if read < REPEATED_PAGES:
        return frozenset()
    return frozenset(k for k, n in counts.items() if n >= max(REPEATED_SHARE * read, REPEATED_PAGES))


def _html_text(fragment: str) -> str:
    return "\n".join(b.text for b in _html_parsed(fragment).blocks)


# ---- PDF ----

@contextlib.contextmanager
def _quiet(logger: str) -> Iterator[None]:
    """A library's complaints about a damaged file kept off stderr (the failure, if any, is
    reported as the file's)."""
    log = logging.getLogger(logger)
    level = log.level
    log.setLevel(logging.CRITICAL)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        log.setLevel(level)


NO_TEXT = "no text: scanned? (it has no text layer to read; a text layer made by OCR, e.g. ocrmypdf, lets it be indexed)"
# Lines at a page's top or bottom (EDGE of each) that this many pages share, their digits aside,
# are running heads and footers: "Chapter 5: Arrays and matrices 25".
EDGE, RUNNING_PAGES = 2, 3
_NUMBER = r"(?:\d{1,5}|[ivxlc]{1,7})"  # a page's number: roman (lower case) in the front matter
_PAGE_NUMBER = re.compile(rf"^\s*{_NUMBER}\s*$")
_LEADER = re.compile(rf"(?:\.\s*){{3,}}\s*{_NUMBER}\s*$")  # "Index matrices . . . . 21"
_ENDS_IN_NUMBER = re.compile(rf"[^\W\d_].*\s{_NUMBER}\s*$")
# "5.2 Index matrices", "Chapter 3: Graphics": a heading line of a PDF without an outline (not a
# numbered list's item, which ends as a sentence does).
_NUMBERED_HEADING = re.compile(r"^(?:\d+(?:\.\d+)*|[A-Z]\.\d+(?:\.\d+)*|Chapter \d+:?|Appendix [A-Z]:?)\s+[^\W\d_][^\n]{1,80}(?<![.:;,])$")
_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f\ufffe\uffff]")
TOC_SHARE = 0.5  # a page this share of whose lines are table-of-contents lines is one


@dataclass
class _Page:
    number: int  # 1-based
    lines: list[str]


def _pdf(data: bytes) -> Parsed:
    """A PDF read with pypdfium2: a page's lines without its running head, footer and page
    number; table-of-contents pages left out; sections from the outline (else numbered heading
    lines), paragraphs with their line-end hyphenation joined; SourceError when no page holds
    text (a scan) or pdfium cannot open it."""
    pdfium = _module("pypdfium2")
    try:
        with _quiet("pypdfium2"):
            doc = pdfium.PdfDocument(data)
            try:
                pages = [_Page(n, _page_lines(doc[n - 1])) for n in range(1, len(doc) + 1)]
                outline = _outline(doc)
                title = " ".join(str(doc.get_metadata_dict().get("Title") or "").split())
            finally:
                doc.close()
    except MissingPackageError:
        raise
    except Exception as e:  # pdfium's errors for a broken or locked file
        raise SourceError(f"pypdfium2 cannot read it: {e}") from None
    if not any(line for p in pages for line in p.lines):
        raise SourceError(NO_TEXT)
    _drop_running(pages)
    if not title and _title_page(pages):
        title = pages[0].lines[0]  # a title page's first line: the document's title when its metadata has none
    blocks: list[Block] = []
    path: tuple[str, ...] = ()
    for page in pages:
        if _toc_page(page.lines):
            path = _path_at(outline, page.number, path)
            continue
        path = _page_blocks(page, outline, path, blocks)
    return Parsed(blocks, {"title": title} if title else {})


def _title_page(pages: list[_Page]) -> bool:
    """Whether the first page is a title page: a few short lines, the first like a title (no
    sentence's end, no page number), more pages after it."""
    lines = pages[0].lines if pages else []
    return len(pages) > 1 and 0 < len(lines) <= 8 and 2 < len(lines[0]) <= 100 \
        and not _ENDS_IN_NUMBER.match(lines[0]) and not re.search(r"[.:;,!?]$", lines[0])


def _page_lines(page: Any) -> list[str]:
    """A page's text lines: pdfium's mark of a hyphen at a line end (\\x02) dropped inside a word
    whose lines it joined, kept as "-" elsewhere; other control characters gone."""
    textpage = page.get_textpage()
    try:
        text = str(textpage.get_text_bounded())
    finally:
        textpage.close()
        page.close()
    text = re.sub(r"(?<=[^\W\d_])\x02(?=[a-z])", "", text.replace("\r\n", "\n")).replace("\x02", "-")
    return [" ".join(_CONTROL.sub(" ", line).split()) for line in text.split("\n")]


def _outline(doc: Any) -> list[tuple[int, tuple[str, ...]]]:
    """The outline's entries as (page, heading path), in the outline's order; entries that
    lead to no page of the document left out (their children keep their place under them)."""
    out: list[tuple[int, tuple[str, ...]]] = []
    stack: list[str] = []
    for item in doc.get_toc():
        title = " ".join(str(item.get_title() or "").split())
        stack[item.level:] = [title]
        dest = item.get_dest()
        index = dest.get_index() if dest is not None else None
        if title and index is not None and 0 <= index < len(doc):
            out.append((index + 1, tuple(t for t in stack if t)))
    return out


def _path_at(outline: list[tuple[int, tuple[str, ...]]], page: int, path: tuple[str, ...]) -> tuple[str, ...]:
    """The heading path in force after this page: its last outline entry's, else path."""
    on = [p for n, p in outline if n == page]
    return on[-1] if on else path


def _running_key(line: str) -> str:
    return re.sub(r"\d+", "#", line.lower())


def _drop_running(pages: list[_Page]) -> None:
    """Running heads, footers and page numbers taken off the pages: lines within EDGE of a
    page's top or bottom that are a bare page number, or that RUNNING_PAGES pages share with
    their digits set aside."""
    seen: dict[str, int] = {}
    for p in pages:
        for key in {_running_key(ln) for ln in _edges(p.lines) if ln}:
            seen[key] = seen.get(key, 0) + 1
    for p in pages:
        lines = [ln for ln in p.lines if ln]
        edge = set(range(min(EDGE, len(lines)))) | set(range(max(len(lines) - EDGE, 0), len(lines)))
        p.lines = [ln for i, ln in enumerate(lines) if i not in edge or not (
            _PAGE_NUMBER.match(ln) or (seen.get(_running_key(ln), 0) >= RUNNING_PAGES and re.search(r"[^\W\d_]{2}", ln)))]


def _edges(lines: list[str]) -> list[str]:
    kept = [ln for ln in lines if ln]
    return kept[:EDGE] + kept[EDGE:][-EDGE:]


def _toc_page(lines: list[str]) -> bool:
    """Whether a page is a table of contents (or an index): most of its lines end in a page
    number after dot leaders, or all but a few end in one."""
    if len(lines) < 4:
        return False
    leaders = sum(bool(_LEADER.search(ln)) for ln in lines)
    numbered = sum(bool(_ENDS_IN_NUMBER.match(ln)) for ln in lines)
    return leaders >= TOC_SHARE * len(lines) or (leaders >= 3 and numbered >= 0.8 * len(lines))


def _page_blocks(page: _Page, outline: list[tuple[int, tuple[str, ...]]], path: tuple[str, ...],
                 out: list[Block]) -> tuple[str, ...]:
    """The page's paragraphs added to out under their sections; the path in force at its end.
    An outline entry of the page starts its section at the line that is its heading (that line
    is the title, not text), or at the page's top when none of the page's entries has its line;
    a PDF without an outline starts one at each numbered heading line ("5.2 Index matrices")."""
    entries = [p for n, p in outline if n == page.number]
    if entries and not any(_heads(ln, e[-1]) for ln in page.lines for e in entries):
        out += _paragraph_blocks(page.lines, entries[0], page.number)
        return entries[-1]
    lines: list[str] = []
    for line in page.lines:
        at = next((k for k, e in enumerate(entries) if _heads(line, e[-1])), None)
        if at is None and not outline and _NUMBERED_HEADING.match(line) and not _ENDS_IN_NUMBER.match(line):
            entries, at = [(*path[:_depth(line)], line)], 0
        if at is None:
            lines.append(line)
            continue
        out += _paragraph_blocks(lines, path, page.number)
        lines = []
        path, entries = entries[at], entries[at + 1:]
    out += _paragraph_blocks(lines, path, page.number)
    return entries[-1] if entries and outline else path


def _depth(line: str) -> int:
    """How deep a numbered heading sits: "5.2 Index matrices" under its chapter."""
    return line.split(maxsplit=1)[0].rstrip(".:").count(".")


_SECTION_NUMBER = r"(?:(?:\d+|[a-z])(?:\.\d+)*\.?|chapter \d+:?|appendix [a-z]:?)\s+"


def _heads(line: str, title: str) -> bool:
    """Whether a line is the heading an outline entry names ("1.8 R commands" for "R commands")."""
    a, b = line.casefold(), title.casefold()
    return a == b or (a.endswith(b) and re.fullmatch(_SECTION_NUMBER + re.escape(b), a) is not None)


def _paragraph_blocks(lines: list[str], path: tuple[str, ...], page: int) -> list[Block]:
    """Lines as paragraphs: a line much shorter than the page's long lines ends one (a
    paragraph's words joined, "compo-" and "nents" as "components"); runs of short lines (code,
    a list, a table) kept line by line."""
    if not lines:
        return []
    lengths = sorted(len(ln) for ln in lines)
    width = lengths[int(0.9 * (len(lengths) - 1))]  # the page's long lines, a stray longer one aside
    out: list[Block] = []
    para: list[str] = []
    short: list[str] = []

    def close_short() -> None:
        if short:
            out.append(Block(path, "\n".join(short), "lines" if len(short) > 1 else "text", page))
            short.clear()

    for line in lines:
        if len(line) >= 0.75 * width:
            close_short()
            para.append(line)
        elif para:
            para.append(line)
            out.append(Block(path, _joined(para), "text", page))
            para = []
        else:
            short.append(line)
    close_short()
    if para:
        out.append(Block(path, _joined(para), "text", page))
    return out


def _joined(lines: list[str]) -> str:
    """A paragraph's lines as one: a word broken by a hyphen at a line end joined whole
    ("compo-" "nents"), a name with a hyphen after a digit kept so ("i386-" "sun")."""
    text = lines[0]
    for line in lines[1:]:
        if re.search(r"[^\W\d_]-$", text) and line[:1].islower():
            text = text[:-1] + line
        elif re.search(r"\d-$", text) and line[:1].isalnum():
            text += line
        else:
            text += " " + line
    return text


# ---- notebooks ----

def _notebook(text: str) -> list[Block]:
    try:
        nb = json.loads(text)
        cells = nb["cells"]
        assert isinstance(cells, list)
    except (ValueError, KeyError, TypeError, AssertionError):
        raise SourceError("not a Jupyter notebook (JSON with a list of cells)") from None
    out: list[Block] = []
    heads: list[tuple[int, str]] = []
    for cell in cells:
        if not isinstance(cell, dict):
            continue
        source = cell.get("source", "")
        source = "".join(source) if isinstance(source, list) else str(source)
        if cell.get("cell_type") == "markdown":
            out += markdown_blocks(source, heads)  # a cell's headings go on over the cells after it
        elif cell.get("cell_type") == "code" and source.strip():
            out.append(Block(tuple(h for _, h in heads), source.rstrip("\n"), "code"))
    return out


# ---- metadata values ----

def jsonable(value: Any, budget: list[int] | None = None, depth: int = 0) -> Any:
    """A YAML value as JSON: dates and datetimes as ISO 8601 strings, other unknown types as
    their str(); non-finite floats as None. budget[0] is the number of values it may make, so
    that aliases nested in aliases (or a value holding itself) cannot blow it up."""
    budget = [10_000] if budget is None else budget
    budget[0] -= 1
    if budget[0] < 0 or depth > 50:
        raise SourceError("its front matter is too large (over 10,000 values or 50 levels, aliases unfolded)")
    if isinstance(value, dict):
        return {str(k): jsonable(v, budget, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple, set)):
        return [jsonable(v, budget, depth + 1) for v in value]
    if isinstance(value, (dt.date, dt.datetime)):
        return value.isoformat()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return str(value)


def _scalar(value: Any) -> bool:
    return isinstance(value, (str, bool, float)) or (isinstance(value, int) and abs(value) < 1 << 63)


def storable(meta: dict[str, Any], prefix: str = "") -> dict[str, Any]:
    """Front matter as metadata an index keeps (str, int, float, bool or lists of those): a
    nested mapping's fields as "outer.inner", empty values left out, a list's nested values and
    out-of-range integers as text, a key's leading $ (an operator's mark) as _."""
    out: dict[str, Any] = {}
    for key, value in meta.items():
        name = prefix + (("_" + key[1:]) if key.startswith("$") else key)
        if not name or value is None:
            continue
        if isinstance(value, dict):
            out.update(storable(value, name + "."))
        elif isinstance(value, list):
            items = [v if _scalar(v) else json.dumps(v, ensure_ascii=False) if isinstance(v, (list, dict)) else str(v)
                     for v in value if v is not None]
            if items:
                out[name] = items
        else:
            out[name] = value if _scalar(value) else str(value)
    return out


def timestamp_of(value: Any) -> float | None:
    """Epoch seconds of a date (midnight UTC), a datetime (UTC when it names no zone) or an ISO
    8601 string of either; None for anything else."""
    if isinstance(value, str):
        try:
            value = dt.datetime.fromisoformat(value.strip())
        except ValueError:
            return None
    if isinstance(value, dt.datetime):
        return (value if value.tzinfo else value.replace(tzinfo=dt.UTC)).timestamp()
    if isinstance(value, dt.date):
        return dt.datetime(value.year, value.month, value.day, tzinfo=dt.UTC).timestamp()
    return None


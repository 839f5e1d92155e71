"""Files of each format cut into passages (titles, texts, metadata, the size cap), and syncs that
re-date without embedding again, skip bad files and never remove what a mistaken call did not find."""

import datetime as dt
import json
import os
import re
import sys
from pathlib import Path

import pytest
from click.testing import CliRunner

import tarnexa
from tarnexa.command import cli
from tarnexa.text import formats, passages
from tarnexa.text.embedders import HashedEmbedder

MARKUP = re.compile(r"\{\s*#|\*\*|`|\]\(|<[a-z/][^>]*>|!!!|///|^#|:\w+:")
DAY = dt.datetime(2024, 5, 1, tzinfo=dt.UTC).timestamp()


def pdf(pages):
    """A PDF of pages of text lines in Helvetica, written by hand."""
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"", b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
    kids = []
    for lines in pages:
        ops = ("BT /F1 11 Tf 72 740 Td 14 TL " + " ".join(f"({ln}) Tj T*" for ln in lines) + " ET").encode()
        objs.append(b"<< /Length %d >>\nstream\n%s\nendstream" % (len(ops), ops))
        objs.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                    b"/Contents %d 0 R >>" % len(objs))
        kids.append(len(objs))
    objs[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (b" ".join(b"%d 0 R" % k for k in kids), len(kids))
    out, offsets = bytearray(b"%PDF-1.4\n"), []
    for n, body in enumerate(objs, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n%s\nendobj\n" % (n, body)
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offsets)
    return bytes(out + b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref))


NOTEBOOK = json.dumps({"cells": [
    {"cell_type": "markdown", "source": ["# Analysis\n", "Some *notes*."]},
    {"cell_type": "code", "source": ["# load it\n", "x = 1"], "outputs": [{"text": "OUTPUT DROPPED"}]},
    {"cell_type": "markdown", "source": "## Plot\nA figure."}, {"cell_type": "code", "source": "plot(x)"}]})

# name, content, [(title, text after the title line)], metadata the first passage carries
CASES = [
    ("fence.md", "# Setup\n\n```bash\n# not a heading\nrun\n```\n\n    # indented code\n",
     [("Setup", "# not a heading\nrun\n\n# indented code")], {"ext": "md", "path": "fence.md"}),
    ("heads.md", "Top *level*\n=========\n\nintro\n\n## **Deploy** [now](http://x) { #deploy }\n\n### `Workers`\n\nw\n"
     "\nSub\n---\n\ns\n", [("Top level", "intro"), ("Top level › Deploy now › Workers", "w"), ("Top level › Sub", "s")],
     {}),
    ("lists.md", "- a\n  - nested *b*\n    1. deep\n- c\n\n| x | y |\n|---|---|\n| 1 | **2** |\n",
     [("lists.md", "- a\n  - nested b\n    1. deep\n- c\n\nx | y\n1 | 2")], {}),
    ("marks.md", '!!! note "Mind it"\n    inside\n\n/// tip | Handy\nuse `force`\n///\n\n{* ../src/a.py hl[1] *}\n\n'
     "<div>html <b>text</b></div>\n", [("marks.md", "Mind it\n\ninside\n\nHandy\nuse force\n\nhtml text")], {}),
    ("front.md", "---\ntitle: Notes\ndate: 2024-05-01\ntags: [a, b]\nwhen: 2024-05-01 10:00:00\n---\nbody text\n",
     [("Notes", "body text")], {"title": "Notes", "date": "2024-05-01", "tags": ["a", "b"],
                                "when": "2024-05-01T10:00:00"}),
    ("doc.rst", "=====\nGuide\n=====\n\nSee :func:`pkg.run` and `the docs <http://x>`_.\n\n.. note::\n   Be *careful*.\n\n"
     ".. versionadded:: 2.0\n   Added it.\n\n.. toctree::\n   :maxdepth: 2\n\n   other\n\nInstall\n-------\n\n"
     ".. code-block:: python\n\n   # code\n   x = 1\n\n- one\n- two\n\n.. include:: /etc/passwd\n",
     [("Guide", "See pkg.run and the docs.\n\nBe careful.\n\nNew in version 2.0: Added it."), ("Guide › Install", "# code\nx = 1\n\n- one\n- two")],
     {"ext": "rst"}),
    ("page.html", "<html><head><title>The Page</title><style>p{color:red}</style><script>var x;</script></head><body>"
     "<nav>menu</nav><header>banner</header><h1>Main <em>part</em></h1><p>Text &amp; more.</p><aside>ad</aside>"
     "<h2>Sub</h2><ul><li>x</li><li>y</li></ul><pre>code\n  kept</pre><footer>foot</footer></body></html>",
     [("Main part", "Text & more."), ("Main part › Sub", "- x\n- y\n\ncode\n  kept")], {"title": "The Page", "ext": "html"}),
    ("nb.ipynb", NOTEBOOK, [("Analysis", "Some notes.\n\n# load it\nx = 1"), ("Analysis › Plot", "A figure.\n\nplot(x)")],
     {"ext": "ipynb"}),
    ("plain.txt", "# not a heading\n\nsecond paragraph\n", [("plain.txt", "# not a heading\n\nsecond paragraph")], {}),
    ("two.pdf", pdf([["First page text."], ["Second page text."]]),
     [("two.pdf", "First page text.\n\nSecond page text.")], {"page": 1, "pages": [1, 2], "ext": "pdf"}),
]


@pytest.mark.parametrize("name, content, expected, meta", CASES, ids=[c[0] for c in CASES])
def test_each_format_cut_into_plain_passages(tmp_path, name, content, expected, meta):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    (f,) = passages.scan([tmp_path]).files
    got = passages.file_passages(f, *passages.read(f)[::2])
    assert [(p.title, p.text) for p in got] == [(t, f"{t}\n\n{body}") for t, body in expected]
    assert [p.id for p in got] == [f"{name}#{n}" for n in range(1, len(got) + 1)]
    assert got[0].metadata.items() >= {"path": name, "source": str(tmp_path), **meta}.items()
    assert got[0].timestamp == (DAY if name == "front.md" else os.stat(path).st_mtime)
    assert not any(MARKUP.search(p.title) for p in got)


def test_rst_errors_stay_off_stderr(tmp_path, capfd):
    (tmp_path / "bad.rst").write_text("Title\n=====\n\n:unknown:`x` `unclosed\n\n.. bogus::\n\n  * - a\n")
    (f,) = passages.scan([tmp_path]).files
    assert passages.file_passages(f, *passages.read(f)[::2])[0].title == "Title"
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("kind, text", [
    ("list", "\n".join(f"- item {i} " + "word " * 12 for i in range(300))),
    ("prose", " ".join(f"Sentence {i} says a few words here." for i in range(400))),
    ("unbroken", "x" * 7000),
    ("long code", "```\n" + "\n".join(f"line_{i} = {i}" for i in range(600)) + "\n```"),
    ("fitting code", "para\n\n```\n" + "\n".join(f"value_{i} = {i}" for i in range(110)) + "\n```"),
])
def test_no_passage_over_the_cap(kind, text):
    got = passages.passages("a.md", f"# {'Deep ' * 40}\n\n{text}\n", 0.0)
    bodies = [p.text.split("\n\n", 1)[1] for p in got]
    assert all(len(p.text) <= passages.CAP for p in got) and len(got) > 1
    assert "".join("".join(b.split()) for b in bodies) == "".join(text.replace("```", "").split())  # nothing lost
    if kind == "fitting code":
        assert bodies[-1] == text.split("```\n")[1].rstrip("`\n")
    if kind in ("long code", "list"):
        assert all(re.fullmatch(r"(line_(\d+) = \2|- item \d+ (word ){11}word)(\n|$)", line + "\n")
                   for b in bodies for line in b.split("\n"))
    if kind == "prose":
        assert all(b.endswith(".") for b in bodies)


def counting():
    hashed = HashedEmbedder(64)
    calls = []

    def embed(texts):
        calls.extend(texts)
        return hashed(texts)

    return embed, calls


@pytest.fixture
def synced(tmp_path):
    docs = tmp_path / "docs"
    (docs / "sub").mkdir(parents=True)
    (docs / "a.md").write_text("# One\n\nfirst section\n\n# Two\n\nsecond section\n")
    (docs / "sub" / "b.txt").write_text("plain text\n")
    embed, calls = counting()
    idx = tarnexa.Index.create(tmp_path / "ix", embedder=embed)
    assert idx.sync([docs], on_skip=pytest.fail)["embedded"] == 3
    calls.clear()
    yield idx, docs, calls
    idx.close()


def test_touched_files_redated_and_one_edited_section_embedded(synced):
    idx, docs, calls = synced
    os.utime(docs / "a.md", (DAY, DAY))
    done = idx.sync([docs])
    assert calls == [] and done["embedded"] == 0 and idx.document("a.md#2").timestamp == DAY
    assert idx.search("second section", "limit:1")[0].id == "a.md#2"
    calls.clear()
    (docs / "a.md").write_text("# One\n\nfirst section\n\n# Two\n\nsecond section, edited\n")
    assert idx.sync([docs])["embedded"] == 1 and calls == ["Two\n\nsecond section, edited"]


def unreadable(monkeypatch, path):
    scandir = os.scandir

    def refused(p=".", *args):
        if Path(p) == path:
            raise PermissionError(13, "Permission denied", str(p))
        return scandir(p, *args)

    monkeypatch.setattr(os, "scandir", refused)


@pytest.mark.parametrize("case", ["empty", "missing", "unreadable", "unreadable sub", "one file", "other folder",
                                  "same name elsewhere", "moved between named"])
def test_a_mistaken_sync_removes_nothing(synced, tmp_path, monkeypatch, case):
    idx, docs, _ = synced
    before = {d: idx.document(d).text for d in idx.ids}
    other = tmp_path / "other"
    other.mkdir()
    (other / "c.md").write_text("other text\n")
    if case == "empty":
        for p in [docs / "a.md", docs / "sub" / "b.txt"]:
            p.unlink()
    elif case == "missing":
        docs.rename(tmp_path / "elsewhere")
    elif case in ("unreadable", "unreadable sub"):
        unreadable(monkeypatch, docs if case == "unreadable" else docs / "sub")
    elif case == "same name elsewhere":
        (other / "a.md").write_text("# Another\n\nfile of the same name\n")
    elif case == "moved between named":
        (docs / "a.md").rename(other / "a.md")
    named = {"one file": [docs / "a.md"], "other folder": [other], "same name elsewhere": [other],
             "moved between named": [docs, other]}.get(case, [docs])
    skipped = []
    if case == "missing":
        with pytest.raises(tarnexa.SourceError, match="no such file or folder"):
            idx.sync(named)
    else:
        assert idx.sync(named, on_skip=lambda p, why: skipped.append(p))["removed"] == 0
    assert {d: idx.document(d).text for d in before} == before
    assert skipped == {"empty": [str(docs)], "unreadable": [str(docs)], "unreadable sub": [str(docs / "sub")],
                       "same name elsewhere": [str(other / "a.md")]}.get(case, [])
    if case in ("empty", "missing"):  # pruning is what removes them
        assert idx.sync([docs], prune=True)["removed"] == 2 and sorted(idx.ids) == []
    if case == "one file":  # still its folder's: deleting it removes it
        (docs / "a.md").unlink()
        assert idx.sync([docs])["removed"] == 1


def test_bad_files_skipped_and_the_rest_indexed(synced, monkeypatch, capfd):
    idx, docs, _ = synced
    bad = {"binary.md": b"\x00\x01\x02garbage", "latin.txt": "caf\xe9".encode("latin-1"), "broken.pdf": b"%PDF-1.4 junk",
           "nb.ipynb": b"{not json", "locked.md": b"# fine\n", "bomb.md": b"---\na: &a [*a]\n---\ntext\n"}
    for name, data in bad.items():
        (docs / name).write_bytes(data)
    (docs / "good.md").write_text("# Good\n\nindexed\n")
    (docs / "wide.md").write_bytes("# Wide\n\nUTF-16, its byte order mark first\n".encode("utf-16"))
    (docs / "a.md").write_bytes(b"caf\xe9, now Latin-1")  # skipped: its old passages kept
    opened = os.open  # files are read through a descriptor opened without blocking
    monkeypatch.setattr(os, "open", lambda p, *a: (_ for _ in ()).throw(PermissionError(13, "Permission denied"))
                        if Path(p).name == "locked.md" else opened(p, *a))
    done = idx.sync([docs], on_skip=lambda *a: None)
    assert sorted(Path(p).name for p, _ in done["skipped"]) == sorted([*bad, "a.md"])
    assert "good.md#1" in idx and idx.document("wide.md#1").title == "Wide" and "a.md#2" in idx and done["removed"] == 0
    assert any("Permission denied" in why for _, why in done["skipped"]) and capfd.readouterr().err == ""
    with pytest.raises(tarnexa.SourceError):
        idx.sync([docs], strict=True)


@pytest.mark.parametrize("module, name, package", [("markdown_it", "a.md", "markdown-it-py"), ("docutils.core", "a.rst", "docutils"),
                                                   ("pypdfium2", "a.pdf", "pypdfium2"), ("trafilatura", "a.html", "trafilatura")])
def test_a_missing_parser_is_named(tmp_path, monkeypatch, module, name, package):
    monkeypatch.setitem(sys.modules, module, None)
    monkeypatch.setattr(formats, "_md", None)
    (tmp_path / name).write_bytes(pdf([["x"]]) if name.endswith(".pdf") else b"text\n")
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:16") as idx, \
            pytest.raises(tarnexa.MissingPackageError, match=f"needs the package {package}"):
        idx.sync([tmp_path / name])


def test_files_of_an_older_index_kept_until_pruned(synced):
    idx, docs, _ = synced
    idx._store.commit(put=[("old.md#1", 10**6, "Old", "Old\n\nold text", None, "old.md", None)], sources={"old.md": "ab" * 32})
    assert idx.sync([docs])["removed"] == 0 and "old.md#1" in idx
    assert idx.sync([docs], prune=True)["removed"] == 1 and "old.md#1" not in idx


def test_command_exit_status_and_counts(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "a.md").write_text("# A\n\ntext\n")
    run = CliRunner().invoke(cli, ["index", str(tmp_path / "ix"), str(docs), "--embedder", "hashed:32"])
    assert run.exit_code == 0 and "1 files, 1 passages, 0 skipped" in run.stderr, run.stderr
    (docs / "bad.md").write_bytes(b"\x00binary")
    run = CliRunner().invoke(cli, ["index", str(tmp_path / "ix"), str(docs)])
    assert run.exit_code == 1 and f"warning: skipped {docs / 'bad.md'}: binary data" in run.stderr, run.stderr
    assert CliRunner().invoke(cli, ["index", str(tmp_path / "ix"), str(docs), "--strict"]).exit_code == 2
    run = CliRunner().invoke(cli, ["index", str(tmp_path / "ix"), str(tmp_path / "gone")])
    assert run.exit_code == 2 and "nothing was changed" in run.stderr


def blocks(fmt, text):
    return [(b.text, b.kind) for b in formats.parse(fmt, text.encode()).blocks]


@pytest.mark.parametrize("src, expected", [
    # a directive docutils does not know: its argument starts its content, roles as their text
    (".. confval:: html_theme\n   :type: str\n\n   :term:`builder`\\s use it.\n   :py:func:`x <y>` too.\n",
     [("html_theme\nbuilders use it.\nx too.", "text")]),
    (".. option:: -W\n   :term:`warnings <w>` fail.\n", [("-W warnings fail.", "text")]),
    (".. rst:directive:: .. code-block:: [language]\n\n   Shows code.\n", [("code-block:: [language]\nShows code.", "text")]),
    (".. versionadded:: 1.4\n", [("New in version 1.4.", "text")]),
    (".. versionchanged:: 2.0\n   Now a :class:`str`, *not* bytes.\n", [("Changed in version 2.0: Now a str, not bytes.", "text")]),
    (".. py:method:: run(*args, **kw)\n   :async:\n\n   Runs **it**.\n", [("run(*args, **kw)\nRuns it.", "text")]),
    (".. confval:: name\n   *the* **name**\n", [("name the name", "text")]),
    (".. deprecated:: 3.0\n\n   Use *y*.\n", [("Deprecated since version 3.0: Use y.", "text")]),
    (".. py:function:: f(x)\n\n   Does.\n\n   .. versionadded:: 1.4\n", [("f(x)\nDoes.", "text"), ("New in version 1.4.", "text")]),
    (".. only:: html\n\n   Seen :program:`sphinx-build`.\n", [("Seen sphinx-build.", "text")]),
    (".. sourcecode:: python\n\n   x = :term:`y`\n", [("x = :term:`y`", "code")]),
    (".. toctree::\n   :maxdepth: 2\n\n   intro\n", []),
    ("- item\n\n  .. versionadded:: 3.1\n", [("- item\n  New in version 3.1.", "lines")]),
    ("Plain \\*star\\* and a\\ b and :sup:`2`\\ nd.\n", [("Plain *star* and ab and 2nd.", "text")]),
    (":samp:`f\\\\{x\\\\}` and ``a\\\\b``\n", [("f\\{x\\} and a\\\\b", "text")]),
])
def test_rst_directives_roles_and_escapes(src, expected):
    assert blocks("rst", src) == expected


@pytest.mark.parametrize("src, expected", [
    ("See [`BaseModel`][pydantic.main.BaseModel], [Field][] and [x][undefined].", "See BaseModel, Field and x."),
    ("Code `a[0][1]` stays, and so does m[0][1].", "Code a[0][1] stays, and so does m[0][1]."),
    ("Text {#anchor} here {: .class } and {.a #b}.", "Text here and."),
    ("![img](a.png){ width=\"300\" } [go](x){ .md-button }", "img go"),
    ("Version {{ version }} {% if x %}now{% endif %}.", "Version now."),
    ("A set {1, 2} and {key} stay.", "A set {1, 2} and {key} stay."),
])
def test_markdown_inline_markup(src, expected):
    assert blocks("markdown", src) == [(expected, "text")]


def test_markdown_content_tabs():
    src = ('=== "pip"\n\n    ```bash\n    pip install x\n    ```\n\n=== "uv"\n\n    Use uv.\n\n'
           '    ```\n    uv add x\n    ```\n\nAfter.\n')
    assert blocks("markdown", src) == [("pip", "text"), ("pip install x", "code"), ("uv", "text"), ("Use uv.", "text"),
                                       ("uv add x", "code"), ("After.", "text")]


@pytest.mark.parametrize("name, content", [
    ("a.rst", "Esc\\ape :term:`x`\\s\n"), ("a.txt", "bell\x07 and\x0cpage\r\nend\x1b"),
    ("a.html", "<p>bell\x07 and\x7f del\x85</p>"), ("a.md", "# T\x01itle\n\nbody\x02 text"),
])
def test_no_control_character_stored(name, content):
    got = passages.passages(name, content, 0.0)
    assert got and not any(re.search(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]", p.title + p.text) for p in got)


def test_a_file_docutils_fails_on_keeps_the_rest(tmp_path, monkeypatch):
    core = formats._module("docutils.core")
    publish = core.publish_doctree

    def failing(text, **kw):
        if "BROKEN" in text:
            raise ValueError("a bad table")
        return publish(text, **kw)

    monkeypatch.setattr(core, "publish_doctree", failing)
    (tmp_path / "a.rst").write_text("Title\n=====\n\nKept text.\n\nBROKEN here\n\nMore kept.\n")
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        warned = []
        done = idx.sync([tmp_path / "a.rst"], on_skip=lambda where, why: warned.append(why))
        assert [d.text for d in idx.get(list(idx.ids))] == ["Title\n\nKept text.\n\nMore kept."]
        assert done["skipped"] and "read line 6 " in warned[0] and "the rest is indexed" in warned[0]
        assert idx.sync([tmp_path / "a.rst"], on_skip=lambda *a: None)["changed"] == 1  # read and warned again

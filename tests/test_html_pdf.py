"""HTML pages read for their main text (a menu in a plain <div>, blocks every page of a folder
repeats, superscripts) and PDFs read as people use them (sections from the outline, running heads,
hyphenation, contents pages, pages in a hit's title, a PDF without text skipped)."""

import io

import pypdf
import pytest
from click.testing import CliRunner

import tarnexa
from tarnexa.command import cli
from tarnexa.text import formats, passages
from tests.test_formats import pdf

MENU = '<div class="menu"><a href="/">Home</a> <a href="/a">About</a> <a href="/d">Documentation</a> <a href="/x">Download</a></div>'


def page(i, extra=""):
    return (f"<html><head><title>Page {i}</title></head><body>{MENU}<div>Small. Fast. Choose any three.</div>"
            f"<h1>Topic {i}</h1><p>The body of page {i} says what the topic is about in words of its own, long enough "
            f"to read as an article's paragraph and not as a menu.{extra}</p><h2>More</h2><p>A second paragraph of "
            f"page {i} goes on about the topic with more sentences.</p><div>Copyright the site, all rights kept.</div>"
            "</body></html>")


SUP = " It counts to 2<sup>64</sup> and water is H<sub>2</sub>O."


@pytest.mark.parametrize("pages, menu, tagline", [(1, False, True), (6, False, False)], ids=["alone", "a folder of six"])
def test_html_main_text(tmp_path, pages, menu, tagline):
    for i in range(1, pages + 1):
        (tmp_path / f"p{i}.html").write_text(page(i, SUP if i == 1 else ""))
    f = next(f for f in passages.scan([tmp_path]).files if f.key == "p1.html")
    got = passages.file_passages(f, *passages.read(f)[::2])
    text = "\n".join(p.text for p in got)
    assert [p.title for p in got] == ["Page 1"] * tagline + ["Topic 1", "Topic 1 › More"]
    assert "2^64" in text and "H_2O" in text and "second paragraph of page 1" in text
    assert ("Documentation" in text) == menu and ("Choose any three" in text) == tagline
    assert ("Copyright the site" in text) == tagline  # a footer is a block like any other


def test_html_marked_main_kept_whole():
    got = formats.parse("html", b"<body><div role='navigation'>Menu</div><div role='main'><p>Short.</p></div>"
                                b"<div>after main</div></body>")
    assert [b.text for b in got.blocks] == ["Short."]


LONG = "The first section has a long line whose last word is compo-"
PAGES = [["A Manual", "by Someone"],
         ["Table of Contents", "1 Intro . . . . . . . . 3", "1.1 Scope . . . . . . . . 3", "2 Usage . . . . . . . . 4",
          "Index . . . . . . . . 6"],
         ["The Manual Guide 3", "1 Intro", LONG, "nents, and a well-known word keeps its hyphen in the text.",
          "1.1 Scope", "Scope text."],
         ["The Manual Guide 4", "2 Usage", "Usage text.", "4"],
         ["The Manual Guide 5", "More usage text on the next page.", "5"]]


def manual(outline=True, title=None):
    """PAGES as a PDF, with an outline (1 Intro > Scope, 2 Usage) and a Title if asked."""
    w = pypdf.PdfWriter(clone_from=pypdf.PdfReader(io.BytesIO(pdf(PAGES))))
    if outline:
        intro = w.add_outline_item(title="1 Intro", page_number=2)
        w.add_outline_item(title="Scope", page_number=2, parent=intro)
        w.add_outline_item(title="2 Usage", page_number=3)
    if title:
        w.add_metadata({"/Title": title})
    out = io.BytesIO()
    w.write(out)
    return out.getvalue()


JOINED = "The first section has a long line whose last word is components, and a well-known word keeps its hyphen in the text."


@pytest.mark.parametrize("outline, title, expected", [
    (True, None, [("A Manual", 1, "A Manual by Someone"), ("1 Intro", 3, JOINED), ("1 Intro › Scope", 3, "Scope text."),
                  ("2 Usage", 4, "Usage text.\n\nMore usage text on the next page.")]),
    (True, "Its Title", [("Its Title", 1, "A Manual by Someone")]),
    (False, None, [("A Manual", 1, "A Manual by Someone"), ("1 Intro", 3, JOINED), ("1 Intro › 1.1 Scope", 3, "Scope text."),
                   ("2 Usage", 4, "Usage text.\n\nMore usage text on the next page.")]),
], ids=["outline", "metadata title", "numbered headings"])
def test_pdf_sections_pages_and_clean_text(tmp_path, outline, title, expected):
    (tmp_path / "m.pdf").write_bytes(manual(outline, title))
    (f,) = passages.scan([tmp_path]).files
    got = passages.file_passages(f, *passages.read(f)[::2])
    assert [(p.title, p.metadata["page"], p.text) for p in got][:len(expected)] == \
        [(t, n, f"{t}\n\n{body}") for t, n, body in expected]
    assert got[-1].metadata.get("pages", [4, 5])[-1] == 5
    text = "\n".join(p.text for p in got)
    assert "Manual Guide" not in text and "Table of Contents" not in text and "\n4\n" not in text + "\n"


def test_pdf_without_text_skipped_and_pages_shown(tmp_path):
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "scan.pdf").write_bytes(pdf([[], []]))
    (docs / "m.pdf").write_bytes(manual())
    run = CliRunner().invoke(cli, ["index", str(tmp_path / "ix"), str(docs), "--embedder", "hashed:64"])
    assert run.exit_code == 1 and "skipped" in run.stderr and "scan.pdf: no text: scanned?" in run.stderr, run.stderr
    assert ", 1 skipped" in run.stderr
    run = CliRunner().invoke(cli, ["search", str(tmp_path / "ix"), "usage text next page", "--mode", "keyword"])
    assert "2 Usage (p. 4)" in run.stdout, run.stdout
    with tarnexa.Index.open(tmp_path / "ix") as idx:
        hit = idx.search("usage text next page", mode="keyword")[0]
        assert hit.metadata["page"] == 4 and '"page": 4' in idx.search("usage", mode="keyword").to_json()

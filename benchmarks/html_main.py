"""Main-text extractors compared on folders of real HTML documentation: how many pages keep the
site's menu, how much of the article body each keeps, what else it keeps, and its seconds per MB.

    python benchmarks/html_main.py [--only=tarnexa,trafilatura] SITE=FOLDER...   # SITE: sqlite or python

The reference body of a page is a node chosen by hand for each site (checked on a sample of
pages): SQLite's pages are the body without its menu block (div.nosearch), Python's the
div.body that Sphinx writes. Words are compared as multisets, lower case. Nothing is asserted.
"""
from __future__ import annotations

import re
import sys
import time
from collections import Counter
from collections.abc import Callable
from pathlib import Path

import lxml.html

# Text every page of the site's menu or sidebar shows: a page whose main text holds it kept the menu.
MENU = {"sqlite": re.compile(r"Choose any three|Small\. Fast\. Reliable"),
        "python": re.compile(r"Previous topic|Next topic|Show Source|Quick search|Table of Contents|Report a Bug")}
REFERENCE = {"sqlite": "//body", "python": "//div[@class='body']"}
DROP = {"sqlite": "//div[@class='nosearch']|//script|//style", "python": "//script|//style|//a[@class='headerlink']"}
WORD = re.compile(r"\w+")


def reference(site: str, html: str) -> str:
    doc = lxml.html.fromstring(html)
    for bad in doc.xpath(DROP[site]):
        bad.drop_tree()
    nodes = doc.xpath(REFERENCE[site])
    return " ".join(n.text_content() for n in nodes)


def ours(html: str, path: Path) -> str:
    """The parser of the tarnexa on sys.path, with the blocks repeated in the page's folder
    left out where it has that step."""
    from tarnexa.text import formats, passages

    near = getattr(passages, "repeated_near", None)
    parsed = formats.parse("html", html.encode(), near(path)) if near else formats.parse("html", html.encode())
    heads = {t for b in parsed.blocks for t in b.path}
    return "\n".join([*heads, *(b.text for b in parsed.blocks)])


def trafilatura_text(html: str, path: Path) -> str:
    import trafilatura

    return trafilatura.extract(html, include_tables=True, include_comments=False, favor_recall=True) or ""


def readability_text(html: str, path: Path) -> str:
    from readability import Document

    return str(lxml.html.fromstring(Document(html).summary()).text_content())


def justext_text(html: str, path: Path) -> str:
    import justext

    return "\n".join(p.text for p in justext.justext(html.encode(), justext.get_stoplist("English"))
                     if not p.is_boilerplate)


def resiliparse_text(html: str, path: Path) -> str:
    from resiliparse.extract.html2text import extract_plain_text

    return str(extract_plain_text(html, main_content=True))


EXTRACTORS: dict[str, Callable[[str, Path], str]] = {"tarnexa": ours, "trafilatura": trafilatura_text,
                                               "readability-lxml": readability_text, "jusText": justext_text,
                                               "resiliparse": resiliparse_text}


def words(text: str) -> Counter[str]:
    return Counter(w.lower() for w in WORD.findall(text))


def measure(site: str, folder: str, extractors: dict[str, Callable[[str, Path], str]] = EXTRACTORS) -> None:
    pages = sorted(Path(folder).rglob("*.html"))
    texts = [p.read_bytes().decode("utf-8", "replace") for p in pages]
    size = sum(len(t.encode()) for t in texts) / 1e6
    refs = [words(reference(site, t)) for t in texts]
    print(f"{site} ({folder}): {len(pages)} pages, {size:.1f} MB")
    print("| extractor | pages with menu text | body words kept | words not of the body | empty pages | s/MB |")
    print("|---|---|---|---|---|---|")
    for name, fn in extractors.items():
        menu = kept = total = extra = out_total = empty = 0
        t0 = time.perf_counter()
        outs = [fn(t, p) for t, p in zip(texts, pages)]
        seconds = time.perf_counter() - t0
        for ref, out in zip(refs, outs):
            got = words(out)
            menu += bool(MENU[site].search(out))
            empty += not got
            common = sum((got & ref).values())
            kept += common
            total += sum(ref.values())
            extra += sum(got.values()) - common
            out_total += sum(got.values())
        print(f"| {name} | {menu} ({100 * menu / len(pages):.1f}%) | {100 * kept / max(total, 1):.1f}% | "
              f"{100 * extra / max(out_total, 1):.1f}% | {empty} | {seconds / size:.2f} |")


if __name__ == "__main__":
    args = sys.argv[1:]
    only = args.pop(0).split(",") if args and args[0].startswith("--only=") else None
    chosen = {k: v for k, v in EXTRACTORS.items() if only is None or k in [o.removeprefix("--only=") for o in only]}
    for arg in args:
        site, _, folder = arg.partition("=")
        measure(site, folder, chosen)

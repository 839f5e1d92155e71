"""PDF readers compared on a folder of PDFs: seconds per MB, words, control characters and words
split by a hyphen at a line end in their raw text (before tarnexa's own cleaning).

    python benchmarks/pdf_readers.py FOLDER

Nothing is asserted.
"""
from __future__ import annotations

import io
import re
import sys
import time
from collections.abc import Callable
from pathlib import Path

WORD = re.compile(r"\w+")
CONTROL = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ufffd]")
SPLIT = re.compile(r"[a-z](?:-|\x02)\r?\n[a-z]")  # "compo-\nnents" left as two pieces


def pypdf_pages(data: bytes, mode: str = "plain") -> list[str]:
    import pypdf

    return [p.extract_text(extraction_mode=mode) or "" for p in pypdf.PdfReader(io.BytesIO(data)).pages]


def pdfium_pages(data: bytes) -> list[str]:
    import pypdfium2 as pdfium

    doc = pdfium.PdfDocument(data)
    try:
        return [doc[i].get_textpage().get_text_bounded() for i in range(len(doc))]
    finally:
        doc.close()


READERS: dict[str, Callable[[bytes], list[str]]] = {
    "pypdf": pypdf_pages, "pypdf layout": lambda d: pypdf_pages(d, "layout"), "pypdfium2": pdfium_pages}


def main(folder: str) -> None:
    files = sorted(Path(folder).glob("*.pdf"))
    datas = [f.read_bytes() for f in files]
    size = sum(map(len, datas)) / 1e6
    print(f"{folder}: {len(files)} PDFs, {size:.2f} MB")
    print("| reader | s/MB | words | control characters | words split at a line end |")
    print("|---|---|---|---|---|")
    for name, read in READERS.items():
        t0 = time.perf_counter()
        pages = [t for d in datas for t in read(d)]
        seconds = time.perf_counter() - t0
        words = sum(len(WORD.findall(t)) for t in pages)
        control = sum(len(CONTROL.findall(t)) for t in pages)
        split = sum(len(SPLIT.findall(t)) for t in pages)
        print(f"| {name} | {seconds / size:.2f} | {words} | {control} | {split} |")


if __name__ == "__main__":
    main(sys.argv[1])

"""How fast the keyword index is made from an index's documents, and its size.

    python benchmarks/keyword_build.py /tmp/tarnexa-keyword-speed/n1000000 [...]

For each index folder given (keyword_speed.py leaves them under /tmp/tarnexa-keyword-speed):
the passages/s of reading every live document's title and text from the store, of that and
cutting them into one keyword segment as ``tarnexa verify --fix`` or a rebuild does (nothing is
written), and the segment's size; the CPU model and load beside.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from benchmarks.report import machine  # noqa: E402
from tarnexa.storage import keywordindex  # noqa: E402
from tarnexa.storage.cache import Cache  # noqa: E402
from tarnexa.storage.docstore import DocStore  # noqa: E402


def main(folders: list[str]) -> int:
    cpu, _ = machine()
    for name in folders:
        folder = Path(name)
        store = DocStore(folder)
        try:
            rows = len(Cache.open(folder / store.settings()["cache"]))
            _, load = machine()
            t = time.perf_counter()
            n = sum(len(r) for r, _, _ in store.texts_of_rows(0, rows, keywordindex.BUILD_CHUNK))
            read = time.perf_counter() - t
            t = time.perf_counter()
            data = keywordindex._from_store(store, 0, rows, keywordindex.TITLE_WEIGHT)
            both = time.perf_counter() - t
        finally:
            store.close()
        print(f"{folder}: {n:,} passages; reading {n / read:,.0f}/s, reading and cutting {n / both:,.0f}/s "
              f"({both:.1f} s), cutting alone {n / max(both - read, 1e-9):,.0f}/s; the segment {len(data) / 1e6:.1f} MB "
              f"(CPU: {cpu}; {load} before)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""The demo's corpus (the Python reference documentation that ships with CPython, as in
demo.py) written once into a tarnexa.Index and served as the search page.

    python examples/serve_demo.py [--index DIR] [--port 8765] [--workers N]

The index goes to build-demo/index (or --index DIR) the first time, with the wordllama
embedder when it is installed and the hashed one otherwise; later runs serve it as it is.
Then open http://127.0.0.1:8765/ and try "iterate over the keys of a dictionary" with the
modifier line "local_communities limit:8".
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def build(path: Path) -> None:
    import tarnexa

    found = importlib.util.spec_from_file_location("demo", HERE / "demo.py")
    assert found is not None and found.loader is not None
    demo = importlib.util.module_from_spec(found)
    sys.modules["demo"] = demo  # its dataclasses look their module up
    found.loader.exec_module(demo)
    docs = demo.reference_docs()
    embedder = "wordllama" if importlib.util.find_spec("wordllama") else "hashed"
    print(f"serve_demo: indexing {len(docs)} reference documents into {path} ({embedder} embedder)",
          file=sys.stderr)
    part = path.with_name(path.name + ".part")
    with tarnexa.Index.create(part, embedder=embedder) as idx:
        idx.add([d.text for d in docs], ids=[d.id for d in docs], titles=[d.id for d in docs],
                timestamps=[d.timestamp for d in docs])
    part.rename(path)  # only a whole index is ever served


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--index", type=Path, default=HERE.parent / "build-demo" / "index")
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8765)
    ap.add_argument("--workers", type=int, default=None)
    args = ap.parse_args()
    if not args.index.exists():
        args.index.parent.mkdir(parents=True, exist_ok=True)
        build(args.index)
    from tarnexa.web.serve import run

    run(str(args.index), host=args.host, port=args.port, workers=args.workers)


if __name__ == "__main__":
    main()

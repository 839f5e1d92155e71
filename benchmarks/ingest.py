"""What indexing costs: passages/s of each way in, by stage, beside LanceDB given the same vectors.

    python benchmarks/ingest.py                          # 10,000 and 100,000 passages
    python benchmarks/ingest.py --sizes 1000000          # a million (about 10 minutes)
    python benchmarks/ingest.py --out docs/benchmarks/ingest.md   # also write the tables there
    PYTHONPATH=OLD_CHECKOUT/build:OLD_CHECKOUT python benchmarks/ingest.py --kinds hashed folder
                                                          # an older tarnexa (no given:DIMS), to compare

The passages are those of ``hybrid_speed.py`` (40-80 Zipf words each over a vocabulary of
50,000), the same in every run. Each build runs in a process of its own, on an index made
empty just before (the time of ``Index.create`` is left out), and reports:

- ``hashed``: ``Index.add(texts, ids)`` into an index of ``hashed:384``, which embeds them;
- ``given``: ``Index.add(texts, ids, vectors=...)`` into an index of ``given:384``, the vectors
  being those the hashed embedder gives (computed and loaded before the clock starts);
- ``lancedb``: a LanceDB table of the same ids, texts and vectors, and its full-text index of
  the texts (``create_fts_index``), the peers' way of holding the same (``pip install
  lancedb``; without it the column stays empty);
- ``folder``: ``tarnexa index`` of a folder of Markdown files holding the same passages (100
  sections a file), then the same command again with nothing changed (the re-sync).

The stages of an add are timed from the writer's named steps: embedding (before the first
step), the cache (the vectors, their int8 copy and checksums appended), the store (one SQLite
transaction, the documents' checksums computed in it), the keyword index (its segment is built
on another core while the cache and the store are written; what is left after their commit is
timed). A folder's stages are those ``tarnexa index`` prints (scan, read, cut, embed, write).
Peak memory is the largest resident size the process reached during the add (``ru_maxrss``)
less its size just before, beside the bytes of the cache written (vectors and int8 copy).

Nothing here asserts a time; a missed target is marked.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np

sys.path.append(str(Path(__file__).resolve().parent.parent))  # after PYTHONPATH: an older checkout there wins

from benchmarks.hybrid_speed import passages, vocabulary, zipf_cdf  # noqa: E402
from benchmarks.report import machine, write_section  # noqa: E402

DIMS = 384
PER_FILE = 100  # sections of a folder's Markdown file
TARGETS = {"hashed": 5000, "given": 20000}  # passages/s at 100,000
LANCE_RATIO = 2.0  # given vectors at most this many times LanceDB's time
RESYNC_SECONDS = 2.0  # a re-sync of 100,000 passages with nothing changed
MEMORY_RATIO = 2.0  # peak memory of an add against the cache it writes
KINDS = ("hashed", "given", "lancedb", "folder")


def corpus(folder: Path, size: int) -> tuple[list[str], Path]:
    """The size passages, and their vectors in an .npy file under folder (made once)."""
    texts = passages(vocabulary(), zipf_cdf(), 0, size)
    npy = folder / f"vectors-{size}.npy"
    if not npy.exists():
        from tarnexa.text.embedders import HashedEmbedder
        folder.mkdir(parents=True, exist_ok=True)
        fn = HashedEmbedder(DIMS)
        rows = np.concatenate([fn(texts[i : i + 4096]) for i in range(0, size, 4096)])
        np.save(npy.with_suffix(".tmp.npy"), rows)
        os.replace(npy.with_suffix(".tmp.npy"), npy)
    return texts, npy


def markdown(folder: Path, size: int) -> Path:
    """A folder of Markdown files holding the passages, one section each (made once)."""
    where = folder / f"md-{size}"
    if (where / ".done").exists():
        return where
    shutil.rmtree(where, ignore_errors=True)
    where.mkdir(parents=True)
    texts = passages(vocabulary(), zipf_cdf(), 0, size)
    for f in range(0, size, PER_FILE):
        body = "".join(f"## Section {i}\n\n{texts[i]}\n\n" for i in range(f, min(f + PER_FILE, size)))
        (where / f"doc{f // PER_FILE:05d}.md").write_text(f"# Document {f // PER_FILE}\n\n{body}")
    (where / ".done").touch()
    return where


def rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def now_rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def disk(path: Path) -> int:
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def one_add(kind: str, folder: Path, size: int) -> dict[str, Any]:
    """One add into a fresh index, in this process: seconds, stages, memory."""
    import tarnexa
    from tarnexa.storage import steps
    texts, npy = corpus(folder, size)
    ids = [f"p{i}" for i in range(size)]
    vectors = np.load(npy) if kind == "given" else None
    path = folder / f"index-{kind}-{size}"
    shutil.rmtree(path, ignore_errors=True)
    idx = tarnexa.Index.create(path, embedder="given:384" if kind == "given" else f"hashed:{DIMS}")
    marks: list[tuple[str, float]] = []
    steps.hook = lambda name: marks.append((name, time.perf_counter()))
    before = now_rss()
    t0 = time.perf_counter()
    idx.add(texts, ids, vectors=vectors)
    total = time.perf_counter() - t0
    steps.hook = None
    peak = rss() - before
    idx.close()
    first = {name: t for name, t in reversed(marks)}
    last = {name: t for name, t in marks}
    stages = {
        "embed": first.get("index: append vectors", t0) - t0,
        "cache": first["store: begin"] - first.get("index: append vectors", first["store: begin"]),
        "store": last["store: committed"] - first["store: begin"],
        "keywords": max((t for n, t in marks if n.startswith("keywords:")), default=last["store: committed"])
                    - last["store: committed"],
    }
    cache = sum(disk(p) for p in path.glob("vectors-*"))
    return {"seconds": total, "stages": stages, "peak": peak, "cache": cache, "passages": size}


def one_lance(folder: Path, size: int) -> dict[str, Any]:
    try:
        import lancedb
        import pyarrow as pa
    except ImportError:
        return {}
    texts, npy = corpus(folder, size)
    vectors = np.load(npy)
    path = folder / f"lance-{size}"
    shutil.rmtree(path, ignore_errors=True)
    t0 = time.perf_counter()
    db = lancedb.connect(str(path))
    table = db.create_table("docs", pa.table({
        "id": [f"p{i}" for i in range(size)], "text": texts,
        "vector": pa.FixedSizeListArray.from_arrays(pa.array(vectors.reshape(-1)), DIMS)}))
    t1 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        table.create_fts_index("text")
    t2 = time.perf_counter()
    return {"seconds": t2 - t0, "stages": {"table": t1 - t0, "full-text index": t2 - t1}, "passages": size,
            "version": lancedb.__version__}


def one_folder(folder: Path, size: int) -> dict[str, Any]:
    src = markdown(folder, size)
    path = folder / f"index-folder-{size}"
    shutil.rmtree(path, ignore_errors=True)
    out: dict[str, Any] = {"passages": size}
    for run in ("first", "again"):
        t0 = time.perf_counter()
        got = subprocess.run([sys.executable, "-m", "tarnexa", "index", str(path), str(src), "--embedder",
                              f"hashed:{DIMS}"], capture_output=True, text=True, cwd=folder, env=_absolute_path())
        said = [line for line in got.stderr.splitlines() if line.startswith((str(path), "  scan"))]
        out[run] = {"seconds": time.perf_counter() - t0, "summary": said}
        if got.returncode:
            raise RuntimeError(got.stderr)
    return out


def _absolute_path() -> dict[str, str]:
    """The environment with PYTHONPATH's folders made absolute: the command runs elsewhere."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


def child(args: list[str]) -> dict[str, Any]:
    got = subprocess.run([sys.executable, __file__, "--one", *args], capture_output=True, text=True)
    if got.returncode:
        raise RuntimeError(got.stderr)
    result: dict[str, Any] = json.loads(got.stdout.strip().splitlines()[-1])
    return result


def mark(ok: bool) -> str:
    return "" if ok else " (missed)"


def report(results: dict[int, dict[str, Any]], model: str, loads: tuple[str, str]) -> str:
    lines = [f"{model}, {os.cpu_count()} cores; {loads[0]} before, {loads[1]} after. "
             "`python benchmarks/ingest.py` (see its docstring for what each column is).", "",
             "| passages | way in | seconds | passages/s | embed | cache | store | keywords after commit | "
             "peak memory / cache |", "|---|---|---|---|---|---|---|---|---|"]
    for size, got in results.items():
        for kind in ("hashed", "given"):
            if kind not in got:
                continue
            r = got[kind]
            rate = size / r["seconds"]
            target = TARGETS[kind] if size == 100_000 else None
            st = r["stages"]
            lines.append(f"| {size:,} | {kind} | {r['seconds']:.2f} | {rate:,.0f}"
                         f"{mark(rate >= target) if target else ''} | {st['embed']:.2f} | {st['cache']:.2f} | "
                         f"{st['store']:.2f} | {st['keywords']:.2f} | {r['peak'] / r['cache']:.2f}"
                         f"{mark(r['peak'] <= MEMORY_RATIO * r['cache'])} |")
        lance = got.get("lancedb")
        if lance and "given" in got:
            ratio = got["given"]["seconds"] / lance["seconds"]
            lines.append(f"| {size:,} | LanceDB {lance['version']} (table + full-text index) | {lance['seconds']:.2f} | "
                         f"{size / lance['seconds']:,.0f} | | table {lance['stages']['table']:.2f} | | "
                         f"full-text {lance['stages']['full-text index']:.2f} | |")
            lines.append(f"| {size:,} | given / LanceDB | {ratio:.2f}{mark(ratio <= LANCE_RATIO)} | | | | | | |")
    lines += ["", "A folder of Markdown files (100 sections each) through `tarnexa index --embedder hashed:384`, "
              "and again with nothing changed:", "", "| passages | first run s | its stages | again s |",
              "|---|---|---|---|"]
    for size, got in results.items():
        if "folder" not in got:
            continue
        f = got["folder"]
        again = f["again"]["seconds"]
        ok = "" if size != 100_000 else mark(again <= RESYNC_SECONDS)
        lines.append(f"| {size:,} | {f['first']['seconds']:.1f} | {f['first']['summary'][-1].strip()} | "
                     f"{again:.2f}{ok} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--folder", type=Path, default=Path("/tmp/tarnexa-ingest"))
    parser.add_argument("--out", type=Path, default=None)
    parser.add_argument("--kinds", nargs="+", default=list(KINDS), choices=KINDS)
    parser.add_argument("--one", nargs=3, metavar=("KIND", "FOLDER", "SIZE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        kind, folder, size = args.one[0], Path(args.one[1]), int(args.one[2])
        got = one_lance(folder, size) if kind == "lancedb" else one_folder(folder, size) if kind == "folder" \
            else one_add(kind, folder, size)
        print(json.dumps(got))
        return
    model, load0 = machine()
    results: dict[int, dict[str, Any]] = {}
    for size in args.sizes:
        corpus(args.folder, size)
        results[size] = {kind: child([kind, str(args.folder), str(size)])
                         for kind in args.kinds}
        for kind, r in results[size].items():
            print(size, kind, json.dumps(r), flush=True)
    table = report(results, model, (load0, machine()[1]))
    print(table)
    if args.out:
        write_section(args.out, "## Passages per second", table, title="# Ingest")


if __name__ == "__main__":
    main()

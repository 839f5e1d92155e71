"""Fuzz of cache directories: a valid cache is corrupted, then opened and searched.

    PYTHONPATH=. python fuzz/cache_fuzz.py --cases 100000             # seeds 0 to 99,999
    PYTHONPATH=. python fuzz/cache_fuzz.py --cases 5000 --seed 700000
    PYTHONPATH=. python fuzz/cache_fuzz.py --replay 1234              # one case: what it did, how it ended

Each case applies one to three corruptions, chosen by its seed, to a copy of one small cache
(48 rows, 6 dims, timestamps, ids in several scripts): files cut short, bytes flipped in the
.npy headers, the manifest, the id offsets, the id texts and the timestamps, offsets out of
order or past the end, manifest fields replaced by hostile values (more rows than the files
hold, huge counts, wrong types), other dtypes, shapes and orders in the headers, a symbolic
link, a directory or a pipe where a file should be, a file removed, junk appended. Then it
opens the cache, reads ids and timestamps and runs five searches (plain, recent, like_ids,
pre_filter_ids, diverse).

A case passes when it ends in CacheError, or when everything it read and found equals what the
intact cache gives (a corruption that changes nothing that is read, such as junk past the
committed end). Any other exception, any other result, is a failure. Bytes of the matrix and
of the int8 copy are damaged by fuzz/corruption_sweep.py instead (see docs/reliability.md).

Cases run in child processes, --batch at a time, each with a time limit: a child that dies (a
crash) or overruns (a hang) is run again with every seed written to a file before its case, which
names the seed; the run then goes on after it. Exit status 1 when anything failed, crashed or hung.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
ROWS, DIMS = 48, 6
NPY = ["vectors.npy", "ids.npy", "timestamps.npy", "codes.npy", "scales.npy", "bounds.npy"]
FILES = NPY + ["ids.utf8", "manifest.json"]
HEADER = 256


def make_base(path: Path) -> None:
    from tarnexa import Cache
    rng = np.random.default_rng(3)
    m = rng.standard_normal((ROWS, DIMS)).astype(np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    words = ["doc", "ünï", "€uro", "日本", "🙂", "line\nbreak", "tab\t", ""]
    ids = [f"{words[i % len(words)]}{i}" for i in range(ROWS)]
    ts = 1.6e9 + rng.random(ROWS) * 3e7
    Cache.create(path, m[:40], ids[:40], ts[:40])
    Cache.open(path).append(m[40:], ids[40:], ts[40:])  # so that the id offsets do not start at 0


QUERIES = [
    ({}, True),
    ({"recent": True, "recent_days": 30.0, "limit": 8}, False),  # decay moves with the clock
    ({"like_ids": ["doc0", "ünï1"], "limit": 12}, True),
    ({"pre_filter_ids": ["doc8", "日本3", "nope", "🙂4"]}, True),
    ({"diverse": True, "limit": 6, "oversample": 20}, True),
]


def observe(path: Path) -> list[object]:
    """What a user gets from the cache at path: its shape, ids, timestamps and five searches."""
    from tarnexa import Searcher
    s = Searcher(path)
    c = s.cache
    out: list[object] = [len(c), c.dims, list(c.ids), c.read_ids(10, 20),
                         None if c.timestamps is None else c.timestamps.tolist()]
    q = np.linspace(-1, 1, c.dims, dtype=np.float32)
    for kw, scores in QUERIES:
        hits = s.search(q, **kw)
        out.append(hits if scores else [h["id"] for h in hits])
    return out


# ---- corruptions: each takes (rng, files, directory) and returns its label ----------------------
# files maps a name to its bytes (a bytearray) or to a special: "symlink:TARGET", "dir", "fifo" or
# None (removed).


def flip(rng: random.Random, buf: bytearray, lo: int, hi: int) -> None:
    for _ in range(rng.randint(1, 3)):
        if hi > lo:
            i = rng.randrange(lo, hi)
            buf[i] = buf[i] ^ (1 << rng.randrange(8)) if rng.random() < 0.6 else rng.randrange(256)


def truncate(rng, files, d):
    name = rng.choice([n for n in FILES if isinstance(files.get(n), bytearray)])
    del files[name][rng.randrange(len(files[name])) if files[name] else 0:]
    files.setdefault("_cut", set()).add(name)
    return "truncate"


def flip_header(rng, files, d):
    buf = files[rng.choice(NPY)]
    if isinstance(buf, bytearray):
        flip(rng, buf, 0, min(HEADER, len(buf)))
    return "flip .npy header"


def flip_in(name, lo, label):
    def mutate(rng, files, d):
        buf = files[name]
        if isinstance(buf, bytearray):
            flip(rng, buf, min(lo, len(buf)), len(buf))
        return label
    return mutate


def offsets(rng, files, d):
    buf = files["ids.npy"]
    if not isinstance(buf, bytearray) or len(buf) < HEADER + 8 * ROWS:
        return "id offsets"
    ends = np.frombuffer(bytes(buf[HEADER:HEADER + 8 * ROWS]), "<i8").copy()
    how = rng.randrange(4)
    i, j = rng.sample(range(ROWS), 2)
    if how == 0:
        ends[i], ends[j] = ends[j], ends[i]
    elif how == 1:
        ends[i] = ends[-1] + rng.choice([1, 100, 2**40, 2**62])
    elif how == 2:
        ends[i] = -rng.choice([1, 2**40, 2**63])
    else:
        ends[i] += rng.choice([-1, 1])
    buf[HEADER:HEADER + 8 * ROWS] = ends.tobytes()
    return "id offsets out of order or past the end"


HOSTILE = {
    "rows": [ROWS + 1, ROWS * 2, ROWS - 1, 0, -1, 2**31, 2**63, 10**30, "48", 48.0, True, None],
    "dims": [DIMS + 1, DIMS - 1, 0, -6, 2**40, 10**30, "6", 6.5, None],
    "ids_bytes": [0, -1, 1, 10**12, 2**64, "x", 1.5],
    "timestamps": [False, 0, 1, "true", None],
    "version": [0, 1, 3, 99, "2", 2.0, None, True],
    "format": ["other", "", 1, None],
    "crc32": [{}, None, [], "x", {"ends": -1, "text": 0, "timestamps": 0}, {"ends": 2**32, "text": 0, "timestamps": 0},
              {"ends": 0, "text": 0}, {"ends": 1, "text": 2, "timestamps": 3, "extra": 4}],
}
WHOLE = [b"", b"[]", b"null", b'"x"', b"{", b"[" * 100_000, b"1" * 100_000, b'{"rows": NaN}', b"\xff\xfe{}",
         b'{"format": "tarnexa-cache", "version": 2}', b"x" * (1 << 17)]


def manifest_field(rng, files, d):
    buf = files["manifest.json"]
    if not isinstance(buf, bytearray):
        return "manifest field"
    if rng.random() < 0.15:
        files["manifest.json"] = bytearray(rng.choice(WHOLE))
        return "manifest replaced"
    try:
        m = json.loads(buf)
        if not isinstance(m, dict):
            return "manifest field"
        key = rng.choice(sorted(HOSTILE))
        if rng.random() < 0.1:
            m.pop(key, None)
        else:
            m[key] = rng.choice(HOSTILE[key])
        old = json.loads(buf).get("crc32")
        if (key == "crc32" and isinstance(old, dict) and len(old) == 3 and rng.random() < 0.5
                and all(type(v) is int for v in old.values())):
            m["crc32"] = {k: v ^ (1 << rng.randrange(32)) for k, v in old.items()}
        files["manifest.json"] = bytearray(json.dumps(m).encode())
    except (ValueError, RecursionError):  # corrupted already
        pass
    return "manifest field"


def npy_header(dtype: str, fortran: bool, shape: tuple, size: int = HEADER) -> bytes:
    body = repr({"descr": dtype, "fortran_order": fortran, "shape": shape}).encode()
    return b"\x93NUMPY\x01\x00" + (size - 10).to_bytes(2, "little") + body.ljust(size - 11) + b"\n"


def header(rng, files, d):
    name = rng.choice(NPY)
    buf = files[name]
    if not isinstance(buf, bytearray) or len(buf) < HEADER:
        return "header rewritten"
    own = {"vectors.npy": ("<f4", (ROWS, DIMS)), "ids.npy": ("<i8", (ROWS,)), "timestamps.npy": ("<f8", (ROWS,)),
           "codes.npy": ("|i1", (ROWS, 8)), "scales.npy": ("<f4", (ROWS,)), "bounds.npy": ("<f4", (ROWS,))}
    dtype, shape = own[name]
    fortran = False
    how = rng.randrange(5)
    if how == 0:
        dtype = rng.choice(["<f8", ">f4", "<f2", "|O", "<i4", "<U4", "|V8", ">i8", "<c8", "|b1"])
    elif how == 1:
        fortran = True
    elif how == 2:
        shape = rng.choice([(ROWS + 1,) + shape[1:], (10**20,) + shape[1:], shape + (1,), (), (ROWS, DIMS + 1),
                            (ROWS * DIMS,), (-1,) + shape[1:]])
    elif how == 3:  # another header length: the data would start elsewhere
        buf[:HEADER] = npy_header(dtype, False, shape, 128) + b" " * 128
        return "header rewritten"
    else:
        buf[:HEADER] = b"\x93NUMPY\x02\x00" + npy_header(dtype, False, shape)[8:]
        return "header rewritten"
    buf[:HEADER] = npy_header(dtype, fortran, shape)
    return "header rewritten"


def replace_file(rng, files, d):
    name = rng.choice(FILES)
    files[name] = rng.choice([f"symlink:{rng.choice(FILES)}", "symlink:/etc/passwd", "symlink:/nonexistent",
                              "symlink:/dev/zero", "dir", "fifo", None])
    return "file replaced (link, directory, pipe, removed)"


def junk(rng, files, d):
    name = rng.choice([n for n in FILES if n != "manifest.json"])
    # Junk in place of cut-off rows would be new matrix bytes, which carry no checksum.
    if isinstance(files[name], bytearray) and name not in files.get("_cut", ()):
        files[name] += bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600)))
    return "junk appended"


def downgrade(rng, files, d):
    try:
        m = json.loads(files["manifest.json"])
    except (TypeError, ValueError, RecursionError):  # removed, replaced or corrupted already
        m = None
    if isinstance(m, dict):
        m.pop("crc32", None)
        m["version"] = 1
        files["manifest.json"] = bytearray(json.dumps(m).encode())
    return "version 1 manifest"


MUTATIONS = [truncate, truncate, flip_header, flip_header, flip_in("manifest.json", 0, "flip manifest"),
             flip_in("manifest.json", 0, "flip manifest"), flip_in("ids.npy", HEADER, "flip id offsets"),
             flip_in("ids.npy", HEADER, "flip id offsets"), flip_in("ids.utf8", 0, "flip id texts"),
             flip_in("timestamps.npy", HEADER, "flip timestamps"), flip_in("bounds.npy", HEADER, "flip int8 bounds"),
             offsets, offsets, manifest_field,
             manifest_field, header, header, replace_file, junk, downgrade]


def materialise(files: dict, d: Path) -> None:
    d.mkdir()
    for name, content in files.items():
        if name.startswith("_"):
            continue
        p = d / name
        if isinstance(content, bytearray):
            p.write_bytes(content)
        elif content == "dir":
            p.mkdir()
        elif content == "fifo":
            os.mkfifo(p)
        elif isinstance(content, str):
            target = content.split(":", 1)[1]
            os.symlink(target if target.startswith("/") else d / target, p)


def run_case(seed: int, base: dict, want: list, work: Path) -> tuple[list[str], str]:
    """The case's corruptions and its outcome: 'refused', 'unchanged' or a failure's text."""
    from tarnexa import CacheError
    rng = random.Random(seed)
    files = {k: bytearray(v) for k, v in base.items()}
    chosen = [rng.choice(MUTATIONS) for _ in range(1 if rng.random() < 0.7 else rng.randint(2, 3))]
    if len(chosen) > 1:  # a version 1 cache has no checksums: its data bytes are not flipped
        chosen = [junk if m is downgrade else m for m in chosen]
    labels = [m(rng, files, work) for m in chosen]
    d = work / f"c{seed}"
    materialise(files, d)
    try:
        got = observe(d)
    except CacheError as e:
        msg = str(e)
        return labels, "refused" if str(d) in msg else f"FAILED: the message names no file: {msg}"
    except Exception as e:
        return labels, f"FAILED: {type(e).__name__}: {e}"[:400]
    finally:
        shutil.rmtree(d, ignore_errors=True)
    return labels, "unchanged" if got == want else "FAILED: a silently different result"


def worker(start: int, count: int, trace: str | None) -> None:
    counts: Counter[str] = Counter()
    kinds: Counter[str] = Counter()
    failures = []
    with tempfile.TemporaryDirectory(prefix="cache-fuzz-") as tmp:
        work = Path(tmp)
        make_base(work / "base")
        base = {n: (work / "base" / n).read_bytes() for n in FILES}
        want = observe(work / "base")
        trace_file = open(trace, "w") if trace else None
        for seed in range(start, start + count):
            if trace_file:
                trace_file.write(f"{seed}\n")
                trace_file.flush()
            labels, outcome = run_case(seed, base, want, work)
            kinds.update(set(labels))
            counts["failed" if outcome.startswith("FAILED") else outcome] += 1
            if outcome.startswith("FAILED"):
                failures.append((seed, labels, outcome))
    print(json.dumps({"counts": counts, "kinds": kinds, "failures": failures}))


def run_batch(start: int, count: int, timeout: float, trace: str | None = None) -> tuple[int | str, str]:
    cmd = [sys.executable, __file__, "--worker", str(start), str(count)] + (["--trace", trace] if trace else [])
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "hang", ""
    return (r.returncode, r.stdout) if r.returncode == 0 else (r.returncode, r.stderr[-1500:])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cases", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--batch", type=int, default=5000)
    ap.add_argument("--timeout", type=float, default=None, help="seconds per batch (default: 60 + 20 ms a case)")
    ap.add_argument("--replay", type=int)
    ap.add_argument("--worker", nargs=2, type=int)
    ap.add_argument("--trace")
    a = ap.parse_args()
    if a.worker:
        worker(*a.worker, a.trace)
        return 0
    if a.replay is not None:
        with tempfile.TemporaryDirectory() as tmp:
            make_base(Path(tmp) / "base")
            base = {n: (Path(tmp) / "base" / n).read_bytes() for n in FILES}
            print(run_case(a.replay, base, observe(Path(tmp) / "base"), Path(tmp)))
        return 0

    counts: Counter[str] = Counter()
    kinds: Counter[str] = Counter()
    failures, crashes = [], []
    t0, done = time.time(), 0
    for start in range(a.seed, a.seed + a.cases, a.batch):
        count = min(a.batch, a.seed + a.cases - start)
        timeout = a.timeout or 60 + 0.02 * count
        rc, out = run_batch(start, count, timeout)
        if rc != 0:
            with tempfile.NamedTemporaryFile("r", suffix=".seeds") as tr:
                again, _ = run_batch(start, count, timeout, tr.name)
                seeds = tr.read().split()
            seed = int(seeds[-1]) if seeds and again != 0 else None
            crashes.append((seed, rc, out[-800:]))
            what = "HANG" if rc == "hang" else "CRASH" if isinstance(rc, int) and rc < 0 else "HARNESS ERROR"
            print(f"{what} in batch {start}..{start + count - 1} ({rc}), seed {seed}",
                  file=sys.stderr)
            done += (seed - start + 1) if seed is not None else count
            continue
        result = json.loads(out.splitlines()[-1])
        counts.update(result["counts"])
        kinds.update(result["kinds"])
        failures += result["failures"]
        done += count
        print(f"{done:>9} cases  {done / (time.time() - t0):6.0f}/s  failed {len(failures)}  "
              f"crashed or hung {len(crashes)}", file=sys.stderr, flush=True)
    elapsed = time.time() - t0
    print(f"cases: {done}  time: {elapsed:.0f} s  ({done / elapsed:.0f} cases/s)")
    print(f"refused with CacheError: {counts['refused']}  unchanged results: {counts['unchanged']}  "
          f"failed: {counts['failed']}  crashed or hung: {len(crashes)}")
    print("cases per corruption:")
    for kind, n in sorted(kinds.items(), key=lambda kv: -kv[1]):
        print(f"  {n:>8}  {kind}")
    for seed, labels, msg in failures[:20]:
        print(f"  seed {seed} {labels}: {msg}")
    for seed, rc, tail in crashes:
        print(f"  crash or hang at seed {seed} ({rc}):\n{tail}")
    return 1 if failures or crashes else 0


if __name__ == "__main__":
    sys.exit(main())

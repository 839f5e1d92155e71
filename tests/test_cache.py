"""The cache directory: round trips, refusals, all-or-nothing appends (also when the writer
is killed), corrupted directories refused with CacheError, version 1 caches, and the in-process
Searcher against one score_candidates call."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest
from _tarnexa import score_candidates

from tarnexa import Cache, CacheError, Searcher

ROOT = Path(__file__).resolve().parent.parent
IDS = ["a", "line\nbreak", "ünï €", "tab\tand\0nul", "lone \ud800 surrogate", "", " ", "z" * 300]


def unit_rows(n, dims, seed):
    m = np.random.default_rng(seed).standard_normal((n, dims)).astype(np.float32)
    return m / np.linalg.norm(m, axis=1, keepdims=True)


def state(cache):
    return (cache.vectors.copy(), list(cache.ids), None if cache.timestamps is None else cache.timestamps.copy())


def assert_state(cache, vectors, ids, timestamps):
    assert (len(cache), cache.dims) == vectors.shape
    np.testing.assert_array_equal(cache.vectors, vectors)
    assert list(cache.ids) == list(ids)
    if timestamps is None:
        assert cache.timestamps is None
    else:
        np.testing.assert_array_equal(cache.timestamps, timestamps)


@pytest.fixture
def made(tmp_path):
    m = unit_rows(len(IDS), 5, 1)
    ts = np.arange(len(IDS), dtype=np.float64) * 1e8
    return Cache.create(tmp_path / "c", m[:5], IDS[:5], ts[:5]), m, ts


def test_round_trip_and_append(made, tmp_path):
    cache, m, ts = made
    cache.append(m[5:], IDS[5:], ts[5:])
    for c in (cache, Cache.open(tmp_path / "c")):
        assert_state(c, m, IDS, ts)
        assert not c.vectors.flags.writeable and isinstance(c.vectors, np.memmap)
        assert c.read_ids(2, 6) == tuple(IDS[2:6])
    # Still NumPy's own format, with the shape of the committed rows.
    np.testing.assert_array_equal(np.load(tmp_path / "c" / "vectors.npy"), m)
    np.testing.assert_array_equal(np.load(tmp_path / "c" / "timestamps.npy", mmap_mode="r"), ts)


def test_empty_cache_then_append(tmp_path):
    cache = Cache.create(tmp_path / "e", np.zeros((0, 3)), [])
    assert (len(cache), cache.dims, cache.ids, cache.timestamps) == (0, 3, (), None)
    cache.append(np.eye(3), ["x", "y", "z"])
    assert_state(Cache.open(tmp_path / "e"), np.eye(3, dtype=np.float32), "xyz", None)


M3 = np.eye(3)
BAD_CREATE = [
    (np.zeros(3), ["a"], None, ValueError, "2-D array"),
    (np.array([["x"]]), ["a"], None, TypeError, "convertible to float32"),
    (np.array([[0, 1.0], [np.nan, 0]]), ["a", "b"], None, ValueError, "NaN or infinite values in 1 row.*first row 1"),
    (np.array([[1e300, 0]]), ["a"], None, ValueError, "NaN or infinite"),
    (M3, ["a", "b", "a"], None, ValueError, "not unique: 'a'"),
    (M3, ["a", 2, "c"], None, TypeError, r"ids\[1\] is int"),
    (M3, "abc", None, TypeError, "sequence of str"),
    (M3, ["a", "b"], None, ValueError, "2 ids for 3 vector rows"),
    (M3, ["a", "b", "c"], np.zeros(2), ValueError, "2 timestamps for 3 vector rows"),
    (M3, ["a", "b", "c"], np.zeros((3, 1)), TypeError, "1-D array of numbers"),
    (M3, ["a", "b", "c"], [0, np.nan, 1], ValueError, r"finite epoch seconds: 1 are NaN.*row 1 \(nan\)"),
    (M3, ["a", "b", "c"], [0, 1, -np.inf], ValueError, r"first at row 2 \(-inf\)"),
    (np.zeros((2, 0)), ["a", "b"], None, ValueError, "at least one dim"),
]


@pytest.mark.parametrize("vectors, ids, timestamps, error, match", BAD_CREATE)
def test_create_refuses(tmp_path, vectors, ids, timestamps, error, match):
    with pytest.raises(error, match=match):
        Cache.create(tmp_path / "c", vectors, ids, timestamps)
    assert list(tmp_path.iterdir()) == []  # nothing left behind


BAD_APPEND = [
    (np.ones((1, 4)), ["n"], np.zeros(1), ValueError, "have 4 dims, the cache has 5"),
    (np.ones((2, 5)), ["n", "a"], np.zeros(2), ValueError, "already in the cache: \\['a'\\]"),
    (np.ones((1, 5)), ["n"], None, ValueError, "needs timestamps"),
    (np.full((1, 5), np.inf), ["n"], np.zeros(1), ValueError, "NaN or infinite"),
    (np.ones((1, 5)), ["n"], [np.nan], ValueError, "finite epoch seconds"),
]


@pytest.mark.parametrize("vectors, ids, timestamps, error, match", BAD_APPEND)
def test_append_refuses_and_keeps_the_cache(made, tmp_path, vectors, ids, timestamps, error, match):
    cache, m, ts = made
    with pytest.raises(error, match=match):
        cache.append(vectors, ids, timestamps)
    assert_state(Cache.open(tmp_path / "c"), m[:5], IDS[:5], ts[:5])


def test_existing_paths_are_refused(made, tmp_path):
    with pytest.raises(FileExistsError):
        Cache.create(tmp_path / "c", np.eye(2), ["a", "b"])
    (tmp_path / "file").write_text("x")
    with pytest.raises(FileExistsError):
        Cache.create(tmp_path / "file", np.eye(2), ["a", "b"])
    with pytest.raises(FileNotFoundError, match="not a tarnexa cache"):
        Cache.open(tmp_path)


def rewrite(path, name, edit):
    p = path / name
    p.write_bytes(edit(bytearray(p.read_bytes())))


def set_manifest(**kw):
    return lambda b: json.dumps({**json.loads(b), **kw}).encode()


def put(offset, data):
    def edit(b):
        b[offset:offset + len(data)] = data
        return b
    return edit


def unchecked(edit):
    """The edit, on a cache whose manifest has no checksums (version 1)."""
    edit.version_1 = True
    return edit


def to_version_1(b):  # what earlier versions wrote: a manifest without checksums
    return json.dumps({k: v for k, v in json.loads(b).items() if k != "crc32"} | {"version": 1}).encode()


def header(descr, shape, fortran=False):
    body = repr({"descr": descr, "fortran_order": fortran, "shape": shape}).encode()
    return b"\x93NUMPY\x01\x00" + (246).to_bytes(2, "little") + body.ljust(245) + b"\n"


# Each corruption, and the message that names the file and the problem. Read lazily: the ids on
# the first read of them, the timestamps on the first read of those.
CORRUPT = [
    ("manifest.json", set_manifest(rows=9), r"vectors.npy holds 356 bytes, the cache needs 436"),
    ("manifest.json", set_manifest(rows=10**30), r"holds 356 bytes, the cache needs 20000000000000000000000000000256"),
    ("manifest.json", set_manifest(rows="8"), r"manifest.json: rows is '8', not a whole number >= 0"),
    ("manifest.json", set_manifest(dims=0), r"dims is 0, not a whole number >= 1"),
    ("manifest.json", set_manifest(version=4), r"version 4; this tarnexa reads versions 1 to 3"),
    ("manifest.json", set_manifest(crc32={}), r"crc32 is \{\}, not a checksum for each of"),
    ("manifest.json", lambda b: b"[" * 60_000, r"manifest.json is not valid JSON: RecursionError"),
    ("manifest.json", lambda b: b'{"rows": NaN}', r"not valid JSON: ValueError: NaN is not a number"),
    ("manifest.json", lambda b: b"x" * 70_000, r"manifest.json is larger than 65536 bytes"),
    ("ids.npy", lambda b: b[:290], r"ids.npy holds 290 bytes, the cache needs 296"),
    ("vectors.npy", put(0, b"\x93NUMPZ"), r"vectors.npy has no valid .npy header"),
    ("vectors.npy", put(0, header("<f8", (5, 5))), r"vectors.npy holds <f8, the cache needs <f4 in C order"),
    ("vectors.npy", put(0, header("|O", (5, 5))), r"holds \|O, the cache needs <f4"),
    ("vectors.npy", put(0, header("<f4", (5, 5), True)), r"holds <f4 in Fortran order"),
    ("timestamps.npy", put(0, header("<f8", (6,))), r"timestamps.npy has the shape \(6,\) in its header, "
                                                    r"the manifest says \(5,\)"),
    ("vectors.npy", put(0, header("<f4", (5, 4))), r"shape \(5, 4\) in its header, the manifest says \(5, 5\)"),
    ("ids.npy", unchecked(put(256, np.int64(50).tobytes())), r"ids.npy: the id offsets are out of order"),
    ("ids.npy", unchecked(put(256 + 32, np.int64(10**6).tobytes())), r"ids.npy: the id offsets end at 1000000"),
    ("ids.npy", unchecked(put(256, np.int64(-1).tobytes())), r"ids.npy: the id offsets are out of order"),
    ("ids.npy", put(256, np.int64(0).tobytes()), r"ids.npy: the data does not match the manifest's checksum"),
    ("ids.utf8", put(0, b"b"), r"ids.utf8: the data does not match the manifest's checksum"),
    ("timestamps.npy", put(256, np.float64(np.nan).tobytes()), r"timestamps.npy: the data does not match"),
]


@pytest.mark.parametrize("name, edit, match", CORRUPT)
def test_a_corrupted_cache_is_refused(made, tmp_path, name, edit, match):
    rewrite(tmp_path / "c", name, edit)
    if getattr(edit, "version_1", False):
        rewrite(tmp_path / "c", "manifest.json", to_version_1)
    with pytest.raises(CacheError, match=match):
        Searcher(tmp_path / "c").search(made[1][0], recent=True)


@pytest.mark.parametrize("name", ["vectors.npy", "ids.utf8", "manifest.json"])
@pytest.mark.parametrize("kind, match", [("link", "is a symbolic link"), ("dir", "is a directory"),
                                          ("fifo", "is not a regular file"), ("gone", "is missing|has no")])
def test_files_that_are_not_regular_files(made, tmp_path, name, kind, match):
    p = tmp_path / "c" / name
    p.rename(tmp_path / name)
    {"link": lambda: p.symlink_to(tmp_path / name), "dir": p.mkdir, "fifo": lambda: os.mkfifo(p),
     "gone": lambda: None}[kind]()
    with pytest.raises(CacheError, match=f"{p if kind != 'gone' or name != 'manifest.json' else ''}.*({match})"):
        Searcher(tmp_path / "c")


def test_version_1_caches_open_and_stay_version_1(made, tmp_path):
    cache, m, ts = made
    rewrite(tmp_path / "c", "manifest.json", to_version_1)
    Cache.open(tmp_path / "c").append(m[5:], IDS[5:], ts[5:])
    assert_state(Cache.open(tmp_path / "c"), m, IDS, ts)
    assert json.loads((tmp_path / "c" / "manifest.json").read_text())["version"] == 1
    rewrite(tmp_path / "c", "timestamps.npy", put(256, np.float64(np.inf).tobytes()))
    with pytest.raises(CacheError, match=r"timestamps.npy: the timestamp of row 0 is inf, not a finite time"):
        Cache.open(tmp_path / "c").timestamps


def test_junk_past_the_committed_rows_is_ignored(made, tmp_path):
    for name in ("vectors.npy", "ids.npy", "ids.utf8", "timestamps.npy"):
        rewrite(tmp_path / "c", name, lambda b: b + b"\xff" * 77)
    assert_state(Cache.open(tmp_path / "c"), made[1][:5], IDS[:5], made[2][:5])


WRITER = textwrap.dedent("""
    import os, signal, sys
    import numpy as np
    import tarnexa.storage.cache as c
    path, kill_at = sys.argv[1], int(sys.argv[2])
    calls = [0]
    write_at, write_headers = c._write_at, c.Cache._write_headers

    def dying_write_at(f, offset, *chunks):
        calls[0] += 1
        if calls[0] == kill_at:  # half of this file's new data reaches the disk, then the end
            data = memoryview(chunks[-1]).cast("B")
            write_at(f, offset, data[: len(data) // 2])
            os.kill(os.getpid(), signal.SIGKILL)
        write_at(f, offset, *chunks)

    def dying_headers(self):
        if kill_at == 9:  # after the commit, before the headers
            os.kill(os.getpid(), signal.SIGKILL)
        write_headers(self)

    c._write_at, c.Cache._write_headers = dying_write_at, dying_headers
    rng = np.random.default_rng(7)
    cache = c.Cache.open(path)
    cache.append(rng.standard_normal((5000, 5)), [f"new{i}" for i in range(5000)], rng.random(5000))
""")


@pytest.mark.parametrize("kill_at", [1, 2, 3, 4, 5, 6, 7, 8, 9],
                         ids=["vectors", "ends", "texts", "timestamps", "codes", "scales", "bounds", "row crcs",
                              "headers"])
def test_killed_writer_leaves_a_whole_cache(made, tmp_path, kill_at):
    cache, m, ts = made
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, "-c", WRITER, str(tmp_path / "c"), str(kill_at)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == -signal.SIGKILL, proc.stderr
    after = Cache.open(tmp_path / "c")
    rng = np.random.default_rng(7)
    new_m, new_ids, new_ts = rng.standard_normal((5000, 5)).astype(np.float32), [f"new{i}" for i in range(5000)], rng.random(5000)
    if kill_at < 9:  # killed before the commit: the old cache, whole
        assert_state(after, m[:5], IDS[:5], ts[:5])
    else:
        assert_state(after, np.vstack([m[:5], new_m]), IDS[:5] + new_ids, np.r_[ts[:5], new_ts])
        return
    # The next append writes over what the killed one left behind.
    after.append(m[5:], IDS[5:], ts[5:])
    assert_state(Cache.open(tmp_path / "c"), m, IDS, ts)


SEARCHES = [
    {}, {"limit": 3, "diverse": True, "oversample": 6}, {"pre_filter_ids": ["ünï €", "nope", "a", "a"]},
    {"like_ids": ["a", "line\nbreak"], "recent": True, "recent_days": 7.0}, {"mask": np.arange(7) % 2 == 0},
]


@pytest.mark.parametrize("kw", SEARCHES)
def test_searcher_is_one_call(made, tmp_path, kw):
    cache, m, ts = made
    ts = time.time() - ts / 1e3
    ids = [d for d in IDS if "\ud800" not in d]  # such a text cannot reach the module
    c = Cache.create(tmp_path / "s", m[: len(ids)], ids, ts[: len(ids)])
    want = score_candidates(m[: len(ids)], ids, {d: i for i, d in enumerate(ids)}, m[1], timestamps=ts[: len(ids)], **kw)
    assert Searcher(c.path).search(m[1], **kw) == want


@pytest.mark.parametrize("kw, match", [
    ({"limit": -1}, "limit must be 0 or more, got -1"), ({"limit": np.int64(-5)}, "got -5"),
    ({"recent": True, "recent_days": 0}, "recent_days must be a number of days above 0, got 0"),
    ({"recent": True, "recent_days": -2.5}, "got -2.5"), ({"recent_days": float("nan")}, "got nan"),
])
def test_searcher_refuses_nonsense_values(made, kw, match):
    with pytest.raises(ValueError, match=match):
        Searcher(made[0].path).search(made[1][0], **kw)


def test_searcher_refuses_what_the_cache_supplies(made):
    with pytest.raises(TypeError, match="takes matrix, timestamps from the cache"):
        Searcher(made[0].path).search(made[1][0], matrix=made[1], timestamps=None)


def test_in_process_parts_need_no_dask(tmp_path):
    code = ("import sys; sys.modules['distributed'] = None; sys.modules['dask'] = None\n"
            "import numpy as np, tarnexa\n"
            f"tarnexa.Cache.create({str(tmp_path / 'c')!r}, np.eye(2), ['a', 'b'])\n"
            f"print(tarnexa.Searcher({str(tmp_path / 'c')!r}).search(np.ones(2, np.float32), limit=1))\n"
            "try:\n    tarnexa.ShardedSearcher\nexcept ImportError as e:\n    print('no dask:', e)\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert proc.stdout.splitlines() == ["[{'id': 'a', 'score': 0.7071}]", "no dask: import of distributed halted; None in sys.modules"], proc.stderr

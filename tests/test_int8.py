"""The int8 copy of a matrix: each int8 kernel against the portable one, and the int8 search
against one score_candidates call on corpora built to defeat its bound, through every modulation."""

import importlib.machinery
import importlib.util
import re
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from _tarnexa import score_candidates

from tarnexa import _native
from tarnexa.search.quantized import Int8Rows, code_width, quantize, search_int8, search_int8_counted, searcher

PAD = 64  # query codes are read in whole blocks of this many bytes


def native_test():
    """The kernel hooks, tarnexa._native_test, built and installed beside tarnexa._native."""
    if "tarnexa._native_test" not in sys.modules:
        folder = Path(_native.__file__).parent
        path = next(p for s in importlib.machinery.EXTENSION_SUFFIXES if (p := folder / f"_native_test{s}").exists())
        found = importlib.util.spec_from_file_location("tarnexa._native_test", path)
        sys.modules[found.name] = module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
    return sys.modules["tarnexa._native_test"]


hooks = native_test()


@pytest.mark.parametrize("isa", hooks.int8_isas()[1:] or ["portable"])
@pytest.mark.parametrize("cols", [1, 7, 15, 16, 63, 64, 65, 130, 384, 1000])
@pytest.mark.parametrize("nq", [1, 2, 3, 6])
def test_int8_kernel_matches_portable(isa, cols, nq):
    rng = np.random.default_rng(cols * 7 + nq)
    width = code_width(cols)
    codes = np.zeros((37, width), np.int8)
    codes[:, :cols] = rng.integers(-127, 128, (37, cols))
    codes[0, :cols], codes[1, :cols] = 127, -127  # the extremes of both operands
    queries = np.zeros((nq, -(-cols // PAD) * PAD), np.int8)
    queries[:, :cols] = rng.integers(-127, 128, (nq, cols))
    queries[0, :cols] = -127
    got = np.frombuffer(hooks.int8_dots(codes, cols, queries, isa), np.int32)
    want = np.frombuffer(hooks.int8_dots(codes, cols, queries, "portable"), np.int32)
    exact = (queries[:, :cols].astype(np.int64) @ codes[:, :cols].T.astype(np.int64)).ravel()
    assert np.array_equal(want, exact)
    assert np.array_equal(got, want)


NOW = 1.79e9


def corpus(dims):
    """Rows that make an int8 bound work hard: random unit rows; rows dominated by one component
    (their small components vanish in the codes); clusters of near-duplicates differing far below
    one quantisation step; exact duplicates; rows whose score against e0 is exactly 0.5; a zero row
    and a row with a NaN. Timestamps are decades old."""
    rng = np.random.default_rng(dims)
    unit = rng.standard_normal((2400, dims)).astype(np.float32)
    unit /= np.linalg.norm(unit, axis=1, keepdims=True)
    dominated = rng.standard_normal((400, dims)).astype(np.float32) * 1e-3
    dominated[:, 0] = rng.choice([-1.0, 1.0], 400) * rng.uniform(0.9, 1.0, 400)
    anchors = rng.standard_normal((8, dims)).astype(np.float32)
    anchors /= np.linalg.norm(anchors, axis=1, keepdims=True)
    near = np.repeat(anchors, 100, axis=0) + rng.standard_normal((800, dims)).astype(np.float32) * 1e-6
    exact_dups = np.repeat(unit[:50], 4, axis=0)
    half = rng.standard_normal((200, dims)).astype(np.float32) * 0.05
    half[:, 0] = 0.5
    special = np.zeros((2, dims), np.float32)
    special[1, 3] = np.nan
    aligned, queries = zip(*(aligned_block(rng, dims) for _ in range(4)))
    m = np.concatenate([unit, dominated, near, exact_dups, half, special, *aligned])
    m = np.ascontiguousarray(m[rng.permutation(len(m))])
    ids = [f"doc-{i}" for i in range(len(m))]
    times = NOW - rng.uniform(16000, 20000, len(m)) * 86400.0
    return m, ids, {d: i for i, d in enumerate(ids)}, times, anchors, rng, list(queries)


def aligned_block(rng, dims):
    """A row t and a query q half along t's quantisation error e, so that the codes underrate
    q . t by about 0.7 |e| (the Cauchy-Schwarz bound |q| |e| is nearly reached), and a dozen
    rows scoring 0.1 |e| below t: a bound a few times too small rules t out of the top ten."""
    t = vec(rng, dims)
    t /= np.linalg.norm(t)
    copy = quantize(t[None])
    err = t.astype(np.float64) - copy.scales[0] * copy.codes[0, :dims]
    q = t + err / np.linalg.norm(err)
    q = (q / np.linalg.norm(q)).astype(np.float32)
    target = float(q.astype(np.float64) @ t) - 0.1 * np.linalg.norm(err)
    others = rng.standard_normal((12, dims))
    others -= np.outer(others @ q, q)
    others /= np.linalg.norm(others, axis=1, keepdims=True)
    rivals = target * q + np.sqrt(1 - target**2) * others
    return np.concatenate([t[None], rivals]).astype(np.float32), q


@pytest.fixture(scope="module", params=[64, 384])
def cache(request):
    m, ids, idx, times, anchors, rng, aligned = corpus(request.param)
    return m, ids, idx, times, anchors, rng, aligned, quantize(m)


def vec(rng, dims):
    return rng.standard_normal(dims).astype(np.float32)


# (name, keyword arguments as a function of (m, ids, times, anchors, rng, dims))
CASES = {
    "plain": lambda c: {},
    "limit 1": lambda c: {"limit": 1},
    "like": lambda c: {"like_ids": [c.ids[5], c.ids[9], c.ids[5]]},
    "trajectory": lambda c: {"traj_from_vec": vec(c.rng, c.dims), "traj_to_vec": c.anchors[1]},
    "contrastive": lambda c: {"not_like_vec": c.anchors[2]},
    "mask": lambda c: {"mask": np.arange(len(c.ids)) % 3 != 0},
    "threshold": lambda c: {"threshold": 0.2},
    "threshold equal to a score": lambda c: {"threshold": 0.5, "limit": 300},
    "negative threshold": lambda c: {"threshold": -0.3},
    "decay squeezes to zero": lambda c: {"timestamps": c.times, "recent": True, "recent_days": 1e-3},
    "decay": lambda c: {"timestamps": c.times, "recent": True},
    "diverse": lambda c: {"diverse": True},
    "diverse limit 0": lambda c: {"diverse": True, "limit": 0},
    "limit beyond the rows": lambda c: {"limit": 10_000},
    "pre-filter, unknown and twice-named ids": lambda c: {"pre_filter_ids": [c.ids[4], "nope", c.ids[4], c.ids[8]]},
    "trajectory of equal ends": lambda c: {"traj_from_vec": c.anchors[1], "traj_to_vec": c.anchors[1]},
    "every modulation on strided arrays": lambda c: {
        "traj_from_vec": c.anchors[3], "traj_to_vec": c.anchors[4], "not_like_vec": c.anchors[2],
        "mask": np.repeat(np.arange(len(c.ids)) % 4 != 1, 2)[::2], "threshold": 0.05,
        "timestamps": np.repeat(c.times, 2)[::2], "recent": True, "recent_days": 3.0},
    "decay on unaligned timestamps": lambda c: {
        "timestamps": np.frombuffer(b"\0" + c.times.tobytes(), np.float64, len(c.times), 1), "recent": True},
    "every modulation": lambda c: {
        "like_ids": [c.ids[1]], "traj_from_vec": c.anchors[3], "traj_to_vec": c.anchors[4],
        "not_like_vec": vec(c.rng, c.dims), "mask": np.arange(len(c.ids)) % 5 != 1, "threshold": 0.01,
        "timestamps": c.times, "recent": True, "recent_days": 9.0, "diverse": True, "oversample": 64,
        "mmr_lambda": 0.5},
}


class Ctx:
    def __init__(self, m, ids, times, anchors, rng):
        self.m, self.ids, self.times, self.anchors, self.rng, self.dims = m, ids, times, anchors, rng, m.shape[1]


@pytest.mark.parametrize("case", CASES)
def test_int8_search_equals_one_call(cache, case):
    m, ids, idx, times, anchors, rng, aligned, rows = cache
    c = Ctx(m, ids, times, anchors, rng)
    e0 = np.zeros(c.dims, np.float32)
    e0[0] = 1.0
    queries = [*aligned, anchors[0], anchors[5] + 1e-7, m[17], e0, -e0, vec(rng, c.dims)]
    scanned = 0
    for q in queries:
        kw = CASES[case](c)
        before = score_candidates(m, ids, idx, q, **kw)
        got, rescored = search_int8_counted(rows, m, ids, idx, q, **kw)
        if got != before and kw.get("recent"):  # the clock moved between the calls: one of them
            assert got == score_candidates(m, ids, idx, q, **kw)
        else:
            assert got == before
        # The native searcher object, holding the arrays and its own table of the ids, agrees.
        own = dict(kw)
        held = searcher(rows, m, ids, own.pop("timestamps", None))
        if not kw.get("recent"):
            assert held.search(q, **own) == got
            assert held.search_counted(q, **own) == (got, rescored)
            assert search_int8(rows, m, ids, idx, q, **kw) == got
        # A pool beyond an eighth of the rows is left to the float32 scan, and so are survivors
        # beyond an eighth (many rows tied within the bound); most queries are scanned.
        scanned += rescored >= 0
        assert rescored <= len(ids) // 8
    served = case not in ("limit beyond the rows", "pre-filter, unknown and twice-named ids")
    assert scanned >= len(queries) // 2 if served else scanned == 0


def test_quantized_rows(cache):
    m, *_, rows = cache
    assert rows.codes.shape == (len(m), code_width(m.shape[1])) and len(rows) == len(m)
    assert (rows.codes.dtype, rows.scales.dtype, rows.bounds.dtype) == (np.int8, np.float32, np.float32)
    assert not rows.codes[:, m.shape[1]:].any()  # the padding is zeros
    finite = np.isfinite(m).all(axis=1)
    assert np.all(rows.bounds[~finite] == np.inf) and np.all(np.abs(rows.codes[finite]) <= 127)
    # The stored bound covers the row's own quantisation error.
    recon = rows.scales[finite, None] * rows.codes[finite, : m.shape[1]].astype(np.float64)
    err = np.linalg.norm(m[finite].astype(np.float64) - recon, axis=1)
    assert np.all(err <= rows.bounds[finite])


def test_cache_keeps_upgrades_and_searches_its_int8_copy(cache, tmp_path):
    import json

    from click.testing import CliRunner

    from tarnexa import Cache, Searcher
    from tarnexa.command import cli

    m, ids, idx, times, anchors, rng, aligned, _ = cache
    finite = np.isfinite(m).all(axis=1)  # a cache refuses rows with NaN
    m, ids, times = m[finite], [d for d, f in zip(ids, finite) if f], times[finite]
    made = Cache.create(tmp_path / "c", m[:3000], ids[:3000], times[:3000])
    made.append(m[3000:], ids[3000:], times[3000:])
    rows, want = Cache.open(tmp_path / "c").int8, quantize(m)
    for got, expected in zip((rows.codes, rows.scales, rows.bounds), (want.codes, want.scales, want.bounds)):
        assert np.array_equal(got, expected)

    # A cache written before the int8 copy existed: its manifest names no copy.
    path = tmp_path / "c"
    manifest = json.loads((path / "manifest.json").read_text())
    del manifest["int8"], manifest["crc32"]["scales"], manifest["crc32"]["bounds"], manifest["crc32"]["codes"]
    (path / "manifest.json").write_text(json.dumps(manifest))
    for name in ("codes.npy", "scales.npy", "bounds.npy"):
        (path / name).unlink()
    old = Searcher(path)
    assert old.cache.int8 is None
    kw = {"limit": 7, "not_like_vec": anchors[6]}
    before = [old.search(q, **kw) for q in aligned]
    result = CliRunner().invoke(cli, ["add-int8", str(path)])
    assert result.exit_code == 0 and "int8 copy added" in result.output
    assert not Cache.open(path).add_int8()  # once only
    new = Searcher(path)
    for q, b in zip(aligned, before):
        assert new.search(q, **kw) == b == score_candidates(m, ids, {d: i for i, d in enumerate(ids)}, q, **kw)
        hits, rescored = new._rows.search_counted(q, **kw)  # the searcher goes through the int8 copy
        assert hits == b and 0 <= rescored < len(ids) // 8


def test_searcher_ids_named_twice_map_to_the_last_row():
    m = np.eye(4, 8, dtype=np.float32) + 0.1
    ids = ["a", "b", "a", "c"]
    held = searcher(quantize(m), m, ids, None)
    for kw in ({"like_ids": ["a"]}, {"pre_filter_ids": ["a", "c", "zz"]}, {"like_ids": ["zz"]}):
        assert held.search(m[1], **kw) == score_candidates(m, ids, {d: i for i, d in enumerate(ids)}, m[1], **kw)
    assert held.rows(["a", "c", "zz", "", "\ud800", "b"]) == [2, 3, -1, -1, -1, 1]
    with pytest.raises(TypeError, match="ids as str"):
        held.rows(["a", 3])


@pytest.mark.parametrize("dims", [0, 1, 4, 5, 383])
def test_code_width_pads_rows_to_4_bytes(dims):
    assert code_width(dims) == -(-dims // 4) * 4 == quantize(np.ones((2, dims), np.float32)).codes.shape[1]


@pytest.mark.parametrize("codes, message", [
    (lambda c: c.view(np.float32), "argument 'codes': 'ndarray' object cannot be converted"),
    (lambda c: c.astype(np.uint8), "argument 'codes': 'ndarray' object cannot be converted"),
    (lambda c: np.repeat(c, 2, axis=1)[:, ::2], "argument 'codes': 'ndarray' object cannot be converted"),
    (lambda c: c[:, :3], "does not fit the matrix"),
    (lambda c: c[:-1], "does not fit the matrix"),
])
def test_codes_are_a_2d_int8_array_of_contiguous_rows(codes, message):
    m = np.eye(6, 8, dtype=np.float32)
    rows, ids = quantize(m), list("abcdef")
    bad = Int8Rows(codes(rows.codes), rows.scales, rows.bounds)
    with pytest.raises((TypeError, ValueError), match=message):
        search_int8(bad, m, ids, {d: i for i, d in enumerate(ids)}, m[0])
    with pytest.raises((TypeError, ValueError), match=message):
        searcher(bad, m, ids, None).search(m[0])


@pytest.mark.parametrize("n", [1, 10, 11, 5000])  # table sizes where probes wrap past the end
def test_searcher_finds_every_row_by_id(n):
    m = np.ones((n, 4), dtype=np.float32)
    ids = [f"d{i * 7919 % 10007}" for i in range(n)]
    assert searcher(quantize(m), m, ids, None).rows(ids + ["d10007", ""]) == [*range(n), -1, -1]


@pytest.mark.parametrize("scale", [1e-30, 1e-3, 1.0, 1e15])
@pytest.mark.parametrize("kw", [{}, {"diverse": True, "oversample": 40, "not_like_vec": np.ones(48, np.float32)},
                                {"threshold": 1e-37, "traj_from_vec": np.zeros(48, np.float32),
                                 "traj_to_vec": np.ones(48, np.float32)}])
def test_rows_of_any_magnitude(scale, kw):
    """Unnormalised rows spanning orders of magnitude (subnormal products at the low end), zero
    rows and rows whose only weight is one column: the bound holds at every scale."""
    rng = np.random.default_rng(int(np.log10(scale)) + 40)
    m = rng.standard_normal((1200, 48)).astype(np.float32)
    m *= (scale * 10.0 ** rng.integers(-3, 4, (1200, 1))).astype(np.float32)
    m[::97] = 0.0
    m[5::89, 1:] = 0.0
    m = np.ascontiguousarray(m, np.float32)
    ids = [f"r{i}" for i in range(len(m))]
    idx = {d: i for i, d in enumerate(ids)}
    held = searcher(quantize(m), m, ids, None)
    for q in (m[7], m[5] * -1.0, rng.standard_normal(48).astype(np.float32)):
        assert held.search(q, **kw) == score_candidates(m, ids, idx, q, **kw)


@pytest.mark.parametrize("b", [1, 2, 37, 300])
def test_search_many_equals_separate_searches(cache, b):
    """One batch mixing every case's arguments, query by query, over the corpus built to defeat
    the bound: the float32 call's results, and separate searches' (the same rows rescored: each
    query's scan is its own), queries the codes do not serve among them."""
    m, ids, idx, times, anchors, rng, aligned, rows = cache
    c = Ctx(m, ids, times, anchors, rng)
    e0 = np.zeros(c.dims, np.float32)
    e0[0] = 1.0
    pool = [*aligned, anchors[0], anchors[5] + 1e-7, m[17], e0, -e0, vec(rng, c.dims)]
    names = list(CASES)
    queries = np.array([pool[i % len(pool)] for i in range(b)], np.float32)
    kws = [CASES[names[i * 7 % len(names)]](c) for i in range(b)]
    for kw in kws:
        kw.pop("timestamps", None)  # the searcher holds the timestamps
    held = searcher(rows, m, ids, times)
    got, counts = held.search_many_counted(queries, kws)
    assert held.search_many(queries, kws) == got or any(kw.get("recent") for kw in kws)
    assert len(got) == len(counts) == b
    for q, kw, hits, count in zip(queries, kws, got, counts):
        want = score_candidates(m, ids, idx, q, timestamps=times, **kw)
        if hits != want and kw.get("recent"):  # the clock moved between the calls
            want = score_candidates(m, ids, idx, q, timestamps=times, **kw)
        assert hits == want
        if not kw.get("recent"):
            assert held.search_counted(q, **kw) == (hits, count)


def test_search_many_refuses_as_the_single_search_does():
    m = np.eye(6, 8, dtype=np.float32) + 0.05
    held = searcher(quantize(m), m, list("abcdef"), None)
    two = np.repeat(m[:1], 2, axis=0)
    for kw in ({"nope": 1}, {"limit": -1}, {"query_vec": m[0]}, {"mask": np.ones(3, np.float32)}, {1: 2}):
        with pytest.raises(Exception) as single:
            held.search(m[0], **kw)
        with pytest.raises(type(single.value), match=f"^{re.escape(str(single.value))}$"):
            held.search_many(two, [{}, kw])  # the first query is fine, the second refused
    with pytest.raises(ValueError, match="dimension 7 doesn't match"):
        held.search_many(np.ones((2, 7), np.float32), [{}, {}])
    for queries, kws, error in ((two, [{}], ValueError), (two, {}, TypeError), (two, [{}, 3], TypeError),
                                (two.astype(np.float64), [{}, {}], TypeError), (m[0], [{}], TypeError)):
        with pytest.raises(error):
            held.search_many(queries, kws)
    assert held.search_many(np.zeros((0, 8), np.float32), []) == []


def test_search_many_lets_other_threads_run():
    """The scans run without the GIL: with the interpreter never switching threads on its own, a
    thread that counts (yielding the GIL at every step) advances during a call only when the call
    releases the GIL. It also empties the keyword dicts, dropping the masks they alone held,
    while the call reads them."""
    import threading

    rng = np.random.default_rng(3)
    m = rng.standard_normal((60_000, 64)).astype(np.float32)
    ids = [str(i) for i in range(len(m))]
    held = searcher(quantize(m), m, ids, None)
    queries = rng.standard_normal((64, 64)).astype(np.float32)
    masks = [rng.random(len(m)) < 0.5 for _ in queries]
    want = [held.search(q, mask=k, limit=5) for q, k in zip(queries, masks)]
    state = {"count": 0, "stop": False, "dicts": []}

    def count():
        while not state["stop"]:
            state["count"] += 1
            for d in state["dicts"]:
                d.clear()
            time.sleep(0)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=count)
    try:
        thread.start()
        for _ in range(50):
            state["dicts"] = dicts = [{"mask": k.copy(), "limit": 5} for k in masks]
            before = state["count"]
            got = held.search_many(queries, dicts)
            moved = state["count"] - before
            assert got == want
            if moved:
                break
        assert moved > 0
    finally:
        state["stop"] = True
        thread.join()
        sys.setswitchinterval(interval)


def test_search_many_sees_an_array_changed_while_a_later_query_converts():
    """Python code that runs while a later query's arguments convert (an __index__) resizes an
    earlier query's array: the call ends with the internal fault naming it, before any scan
    reads that array's memory, as a single call ends when its own later argument does this."""
    m = np.eye(40, 8, dtype=np.float32) + 0.05
    held = searcher(quantize(m), m, [str(i) for i in range(40)], None)
    mask = np.ones(40, bool)

    class Shrink:
        def __index__(self):
            mask.resize(1, refcheck=False)
            return 3

    try:
        held.search_many(np.repeat(m[:1], 2, axis=0), [{"mask": mask}, {"limit": Shrink()}])
    except BaseException as e:  # noqa: B036 - the internal fault derives from BaseException
        assert "argument 'mask': the array was resized or reallocated" in str(e)
    else:
        raise AssertionError("no fault")

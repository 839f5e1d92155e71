import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _tarnexa
import model as M

mmr = _tarnexa.mmr_select_py
sc = _tarnexa.score_candidates
F32 = np.float32
NAN, INF = math.nan, math.inf


def f(x):
    """x rounded to float32, widened back: the relevance the selector sees."""
    return float(F32(x))


def exact(result):
    return [(i, repr(s)) for i, s in result]


def panic(fn, text):
    with pytest.raises(BaseException) as e:
        fn()
    assert (type(e.value).__name__, type(e.value).__module__) == ("PanicException", "brenmor_runtime")
    assert str(e.value) == text


W = np.array([[1, 0], [1, 0], [0, 1]], F32)
S3 = np.array([0.9, 0.8, 0.5], F32)
EYE = np.eye(4, dtype=F32)
R = 1 - 0.7


def test_worked_example():
    got = mmr([0, 1, 2], S3, W, 3, 0.7)
    assert got == [(0, 0.6299999833106994), (2, 0.35), (1, 0.2600000083446502)]
    assert all(type(i) is int and type(s) is float for i, s in got)


CASES = [
    ("empty, k 0", [], np.zeros(0, F32), np.zeros((0, 0), F32), 0, 0.7, []),
    ("empty, k max", [], np.zeros(0, F32), np.zeros((0, 3), F32), 2**64 - 1, NAN, []),
    ("empty, arrays unused", (), S3, W, 5, 0.7, []),
    ("k 0", [1, 0, 2], S3, W, 0, 0.7, [(1, f(0.8) * 0.7)]),
    ("k 1", [1, 0, 2], S3, W, 1, 0.7, [(1, f(0.8) * 0.7)]),
    ("k > n", [0, 1, 2], S3, W, 2**64 - 1, 0.7, [(0, f(0.9) * 0.7), (2, 0.35), (1, f(0.8) * 0.7 - R)]),
    ("first is candidates[0]", [2, 0, 1], S3, W, 3, 0.7,
     [(2, f(0.5) * 0.7), (0, f(0.9) * 0.7 - 0.0 * R), (1, f(0.8) * 0.7 - R)]),
    ("tie: earliest position", [0, 2, 1, 3], np.full(4, 0.5, F32), EYE, 9, 0.7,
     [(0, 0.35), (2, 0.35), (1, 0.35), (3, 0.35)]),
    ("repeated candidate", [0, 0, 2], S3, W, 3, 0.7, [(0, f(0.9) * 0.7), (2, 0.35), (0, f(0.9) * 0.7 - R)]),
    ("lambda 1", [1, 0, 2], S3, W, 3, 1.0, [(1, f(0.8)), (0, f(0.9)), (2, f(0.5))]),
    ("lambda 0", [0, 1, 2], S3, W, 3, 0.0, [(0, 0.0), (2, 0.0), (1, -1.0)]),
    ("lambda unchecked", [0, 2], S3, W, 2, 2.0, [(0, f(0.9) * 2.0), (2, f(0.5) * 2.0)]),
    ("NaN and -inf never chosen", [0, 1, 2, 3], np.array([0.5, NAN, -INF, 0.2], F32), EYE, 4, 0.7,
     [(0, 0.35), (3, f(0.2) * 0.7)]),
    ("NaN first still first", [1, 0], np.array([0.5, NAN], F32), EYE, 2, 0.7, [(1, NAN), (0, 0.35)]),
    ("only NaN left", [0, 1], np.array([NAN, NAN], F32), EYE, 2, 0.7, [(0, NAN)]),
    ("indices, not positions", [3, 1], np.array([0, 0.25, 0, 0.75, 9], F32), EYE, 2, 1.0, [(3, 0.75), (1, 0.25)]),
    ("int64 array", np.array([0, 1, 2], np.int64), S3, W, 3, 0.7, [(0, f(0.9) * 0.7), (2, 0.35), (1, f(0.8) * 0.7 - R)]),
    ("uint64 array", np.array([2], np.uint64), S3, W, 3, 0.7, [(2, 0.35)]),
    ("strided arrays", [0, 1, 2], np.repeat(S3, 2)[::2], np.ascontiguousarray(W[::-1])[::-1], 3, 0.7,
     [(0, f(0.9) * 0.7), (2, 0.35), (1, f(0.8) * 0.7 - R)]),
]


@pytest.mark.parametrize("cands, sims, m, k, lam, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_cases(cands, sims, m, k, lam, expected):
    got = mmr(cands, sims, m, k, lam)
    assert exact(got) == exact(expected)
    assert all(type(i) is int and type(s) is float for i, s in got)


@pytest.mark.parametrize("cands, sims, k, text", [
    ([0, 3], S3, 0, "assertion failed: index < dim"),
    ([0, 1, 7], np.zeros(1, F32), 2, "assertion failed: index < dim"),  # rows gathered before relevances are read
    ([0, 2], S3[:2], 2, "index out of bounds: the len is 2 but the index is 2"),
])
def test_faults(cands, sims, k, text):
    panic(lambda: mmr(cands, sims, W, k, 0.7), text)


@pytest.mark.parametrize("layout", ["dense", "strided_cols", "reversed_rows"])
@pytest.mark.parametrize("k", [2, 3, 40, 299, 300, 2**64 - 1])
@pytest.mark.parametrize("lam", [0.7, 0.2, 1.0, 1.5])
def test_many_candidates_match_model(layout, k, lam):
    """Hundreds of candidates (gathered in several chunks), repeats included, choices up to all of them,
    weights for which a score can only fall as redundancy rises (0.7, 0.2) and others."""
    rng = np.random.default_rng(5)
    base = rng.choice(np.array(DYADIC, F32), size=(120, 36))
    m = {"dense": base, "strided_cols": np.repeat(base, 2, axis=1)[:, ::2], "reversed_rows": base[::-1].copy()[::-1]}[layout]
    sims = rng.choice(np.array(DYADIC + [NAN], F32), size=120)
    cands = rng.integers(0, 120, size=300)
    assert exact(mmr(cands, sims, m, k, lam)) == exact(M.mmr_select(cands, sims, m, k, lam))


def test_fault_in_a_later_gather_chunk():
    cands = [0, 1, 2] * 60 + [3] + [0] * 50
    panic(lambda: mmr(cands, np.zeros(1, F32), W, 5, 0.7), "assertion failed: index < dim")


def test_set_refused():
    with pytest.raises(TypeError, match=r"^argument 'candidates': 'set' object cannot be converted to 'Sequence'$"):
        mmr({0, 1}, S3, W, 2, 0.7)


DYADIC = [-1.0, -0.5, 0.0, 0.25, 0.5, 1.0]  # dot products of these are exact in any summation order


@settings(max_examples=300, deadline=None, derandomize=True)
@given(st.data())
def test_matches_model(data):
    rows = data.draw(st.integers(1, 10))
    dims = data.draw(st.integers(1, 5))
    m = np.array(data.draw(st.lists(st.sampled_from(DYADIC), min_size=rows * dims, max_size=rows * dims)),
                 F32).reshape(rows, dims)
    if data.draw(st.integers(0, 5)) == 0:
        m[data.draw(st.integers(0, rows - 1))] = NAN
    relevance = st.one_of(st.sampled_from([0.0, 0.5, -0.5, 1.0, NAN, -INF, INF]), st.floats(-1, 1, width=32))
    sims = np.array(data.draw(st.lists(relevance, min_size=rows, max_size=rows + 2)), F32)
    cands = data.draw(st.lists(st.integers(0, rows - 1), max_size=15))
    k = data.draw(st.one_of(st.integers(0, 16), st.just(2**64 - 1)))
    lam = data.draw(st.sampled_from([0.0, 1.0, 0.7, 0.5, 0.3, -0.5, 1.5]))
    if data.draw(st.booleans()):
        cands = np.array(cands, np.int64)
    assert exact(mmr(cands, sims, m, k, lam)) == exact(M.mmr_select(cands, sims, m, k, lam))


# ---------------------------------------------------------------- the diverse branch of score_candidates

TOP = [[0.9, math.sqrt(0.19), 0], [0.5, 0, math.sqrt(0.75)], [0, 1, 0]]
PAIR = [[0.8, 0.6, 0], [0.6, -0.8, 0], [0, 0, 1]]  # a and b are orthogonal


@pytest.mark.parametrize("rows, kw, expected", [
    (TOP, {"limit": 0}, [("a", 0.63)]),
    (TOP, {"limit": 0, "mmr_lambda": 0.5}, [("a", 0.45)]),
    (TOP, {"limit": 0, "diverse": False}, []),
    (TOP, {"limit": 2}, [("a", 0.63), ("b", 0.35 - 0.3 * 0.45)]),
    (TOP, {"limit": 2, "oversample": 2}, [("a", 0.9), ("b", 0.5)]),  # pool not longer than limit: plain
    (PAIR, {"limit": 2, "pre_filter_ids": ["a", "a", "b"]}, [("a", 0.56), ("b", 0.42)]),
    (PAIR, {"limit": 3, "pre_filter_ids": ["a", "c", "a", "b"]}, [("a", 0.56), ("b", 0.42), ("a", 0.26)]),
    (PAIR, {"limit": 3, "pre_filter_ids": ["a", "a", "b"]}, [("a", 0.8), ("a", 0.8), ("b", 0.6)]),
])
def test_diverse(rows, kw, expected):
    got = sc(np.array(rows, F32), list("abc"), {"a": 0, "b": 1, "c": 2}, np.array([1, 0, 0], F32),
             **{"diverse": True, **kw})
    assert [(r["id"], r["score"]) for r in got] == [(i, round(s, 4)) for i, s in expected]


def test_diverse_lambda_one_is_plain():
    rng = np.random.default_rng(11)
    m = rng.standard_normal((50, 8)).astype(F32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    names = [f"d{i}" for i in range(50)]
    d = {s: i for i, s in enumerate(names)}
    q = rng.standard_normal(8).astype(F32)
    plain = sc(m, names, d, q, limit=7)
    assert sc(m, names, d, q, limit=7, diverse=True, mmr_lambda=1.0, oversample=30) == plain
    assert len(plain) == 7


def test_large_candidate_list_memory():
    code = textwrap.dedent("""
        import resource
        import numpy as np
        import _tarnexa
        n = 100_000
        m = np.random.default_rng(0).random((n, 64), dtype=np.float32)
        sims = np.ascontiguousarray(m[:, 0])
        cands = list(range(n - 1, -1, -1))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        got = _tarnexa.mmr_select_py(cands, sims, m, 10, 0.7)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert len(got) == 10 and got[0] == (n - 1, float(sims[n - 1]) * 0.7), got[:2]
        assert len({i for i, _ in got}) == 10
        print(after - before)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(_tarnexa.__file__), *sys.path]))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    growth_kb = int(out.stdout.split()[-1])
    assert growth_kb < 100 * 1024

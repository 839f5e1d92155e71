"""Many Python threads calling the three functions at once on shared inputs get the answers of the
same calls made one after another."""
import sys
import threading
import time

import numpy as np
import pytest

import _tarnexa
from borrow_participant import Participant

sc, mmr, pm = _tarnexa.score_candidates, _tarnexa.mmr_select_py, _tarnexa.parse_modifiers
THREADS, ROUNDS = 8, 30

rng = np.random.default_rng(12)
N, DIMS = 300, 24
M = rng.standard_normal((N, DIMS)).astype(np.float32)
M /= np.linalg.norm(M, axis=1, keepdims=True)
M_ODD = np.ndarray((N, DIMS), np.float32, buffer=np.zeros(M.nbytes + 3, np.uint8), offset=3)
M_ODD[...] = M
IDS = [f"doc{i}" for i in range(N)]
IDX = {s: i for i, s in enumerate(IDS)}
Q = rng.standard_normal(DIMS).astype(np.float32)
SIMS = rng.random(N).astype(np.float32)
MASK = np.arange(N) % 5 != 0
STAMPS = np.where(np.arange(N) % 2 == 0, 1.0, 0.0)  # decay with a half-life of 0: the clock does not matter


class Yielding:
    """Converts to `value` after letting the other threads run: calls interleave mid-conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)  # releases the GIL
        return self.value

    def __float__(self):
        time.sleep(0)
        return float(self.value)


class YieldingSeq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i % 50 == 0:
            time.sleep(0)
        return self.items[i]


CALLS = [
    lambda: sc(M, IDS, IDX, Q),
    lambda: sc(M_ODD, IDS, IDX, Q, limit=Yielding(25), threshold=Yielding(0.05)),
    lambda: sc(M, YieldingSeq(IDS), IDX, Q, diverse=True, oversample=Yielding(60), mmr_lambda=Yielding(0.5)),
    lambda: sc(M, IDS, IDX, Q, pre_filter_ids=IDS[::2], not_like_vec=M[7], like_ids=["doc3", "doc9"],
               traj_from_vec=M[1], traj_to_vec=M_ODD[2], mask=MASK, timestamps=STAMPS, recent=True,
               recent_days=0.0, limit=Yielding(40)),
    lambda: mmr(list(range(0, N, 3)), SIMS, M, Yielding(15), 0.6),
    lambda: mmr(YieldingSeq(list(range(N - 1, 0, -2))), SIMS, M_ODD, 12, Yielding(0.3)),
    lambda: pm("from: new york to: boston recent:7 like:a,b unlike:c limit:5 diverse"),
    lambda: pm("\u3000recent:-3 local_communities limit:18446744073709551615"),
    lambda: sc(M, IDS, IDX, Q[:5]),                               # ValueError
    lambda: sc(M, IDS, IDX, Q, limit=Yielding(-1)),               # OverflowError
    lambda: sc(M, IDS, {"doc1": 10**6}, Q, like_ids=["doc1"]),    # internal fault
    lambda: mmr([0, N], SIMS, M, Yielding(2), 0.5),               # internal fault after Python code ran
    lambda: sc(M, set(IDS), IDX, Q),                              # TypeError
]


def outcome(call):
    try:
        return ("result", repr(call()))
    except BaseException as e:  # noqa: B036 - the internal fault derives from BaseException
        return (type(e).__name__, str(e))


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_threads_agree_with_sequential_calls(fast_switching, capfd):
    expected = [outcome(c) for c in CALLS]
    assert [k for k, _ in expected].count("result") == 8
    got = [[] for _ in range(THREADS)]
    start = threading.Barrier(THREADS)

    def work(t):
        start.wait()
        for r in range(ROUNDS):
            for j in range(len(CALLS)):
                i = (j + t * 5 + r) % len(CALLS)  # every thread walks the calls from another place
                got[t].append((i, outcome(CALLS[i])))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    capfd.readouterr()  # the internal faults' reports
    for t in range(THREADS):
        assert len(got[t]) == ROUNDS * len(CALLS)
        for i, o in got[t]:
            assert o == expected[i], (t, i)
    with Participant() as p:  # no borrow of the shared arrays is left behind
        for a in (M, M_ODD, Q, SIMS, MASK, STAMPS):
            assert p.acquire_mut(a) == 0
            p.release_mut(a)

"""Hostile callers: arrays changed by Python code that runs while later arguments are converted, and
borrow registries of other modules whose entry points run Python code."""
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import _tarnexa
from borrow_participant import Participant

N, DIMS = 64, 8
ARRAYS = {  # parameter: (position, dtype, shape)
    "score_candidates": {"matrix": (0, np.float32, (N, DIMS)), "query_vec": (3, np.float32, (DIMS,)),
                         "timestamps": (4, np.float64, (N,)), "not_like_vec": (6, np.float32, (DIMS,)),
                         "traj_from_vec": (15, np.float32, (DIMS,)), "traj_to_vec": (16, np.float32, (DIMS,)),
                         "mask": (17, np.bool_, (N,))},
    "mmr_select_py": {"similarities": (1, np.float32, (N,)), "matrix": (2, np.float32, (N, DIMS))},
}
OTHER_TYPE = {np.dtype(np.float32): np.int32, np.dtype(np.float64): np.int64, np.dtype(np.bool_): np.int8}
CHANGES = {
    "shrink": lambda a: a.resize((1,) * a.ndim, refcheck=False),
    "grow": lambda a: a.resize(tuple(s * 40 for s in a.shape), refcheck=False),
    "__setstate__": lambda a: a.__setstate__(np.zeros(tuple(s + 3 for s in a.shape), a.dtype).__reduce__()[2]),
    "dtype": lambda a: setattr(a, "dtype", OTHER_TYPE[a.dtype]),
}


def then(change, value):
    def run(*_):
        change()
        return value
    return run


class Seq:
    """An id sequence that is not a list: reading its first item runs `change`."""

    def __init__(self, change):
        self.change = change

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            self.change()
        return ["d0", "d1"][i]


def in_thread(change):
    def run(*_):  # another thread changes the array while this callback has released the GIL
        t = threading.Thread(target=change)
        t.start()
        while t.is_alive():
            time.sleep(0.001)
        return 0.5
    return run


TRIGGERS = {  # trigger: ({function: (parameter, position)}, value that runs `change` when converted)
    "__index__": ({"score_candidates": ("limit", 8), "mmr_select_py": ("k", 3)},
                  lambda c: type("Index", (), {"__index__": then(c, 2)})()),
    "__float__": ({"score_candidates": ("threshold", 10), "mmr_select_py": ("lambda_", 4)},
                  lambda c: type("Float", (), {"__float__": then(c, 0.5)})()),
    "__bool__": ({"score_candidates": ("recent", 12)},
                 lambda c: type("bool_", (), {"__module__": "numpy", "__bool__": then(c, False)})()),
    "iterator": ({"score_candidates": ("like_ids", 14)}, Seq),
    "thread": ({"score_candidates": ("recent_days", 13), "mmr_select_py": ("lambda_", 4)},
               lambda c: type("Float", (), {"__float__": in_thread(c)})()),
}


def call_args(fname):
    """Fresh arrays that own their memory, for every array parameter of `fname`, and the rest."""
    arrays = {p: np.ones(shape, dtype) for p, (_, dtype, shape) in ARRAYS[fname].items()}
    if fname == "mmr_select_py":
        return {"candidates": [0, 1], **arrays, "k": 2, "lambda_": 0.5}
    ids = [f"d{i}" for i in range(N)]
    return {**arrays, "ids": ids, "id_to_idx": {k: i for i, k in enumerate(ids)}}


def changed_message(param):
    return f"argument '{param}': the array was resized or reallocated while the arguments were converted"


CASES = [(f, p, c, t) for f in ARRAYS for p, (pos, _, _) in ARRAYS[f].items() for c in CHANGES
         for t, (where, _) in TRIGGERS.items() if f in where and where[f][1] > pos]


@pytest.fixture(scope="module")
def panic():
    try:
        _tarnexa.mmr_select_py([5], np.zeros(1, np.float32), np.zeros((1, 1), np.float32), 1, 0.5)
    except BaseException as e:  # noqa: B036 - the internal fault derives from BaseException
        return type(e)


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("fname, param, change, trigger", CASES)
def test_array_changed_while_a_later_argument_converts(panic, fname, param, change, trigger):
    args = call_args(fname)
    where, make = TRIGGERS[trigger]
    target = args[param]
    args[where[fname][0]] = make(lambda: CHANGES[change](target))
    with pytest.raises(panic) as e:
        getattr(_tarnexa, fname)(**args)
    assert str(e.value) == changed_message(param)
    with Participant() as p:  # released, whatever the array is now: another module may write it
        for a in args.values():
            if isinstance(a, np.ndarray):
                assert p.acquire_mut(a) == 0, f"{param} is still borrowed"
                p.release_mut(a)


class Grow(dict):
    def __index__(self):  # as a value of itself: adds a key while it is being read
        self["zz"] = 1
        return 0


def pending_calls():
    """Calls that fail after an array was borrowed, one per kind of conversion failure, and two faults."""
    m = np.eye(4, dtype=np.float32)
    q, ids, grow = m[0], list("abcd"), Grow()
    grow["a"] = grow
    sc = {"matrix": m, "ids": ids, "id_to_idx": dict(zip(ids, range(4))), "query_vec": q}
    for kw in [dict(diverse=1), dict(limit="x"), dict(threshold="x"), dict(recent=None), dict(ids="ab"),
               dict(ids={"a"}), dict(ids=[1]), dict(ids=["\ud800"]), dict(id_to_idx=[]), dict(id_to_idx={"a": -1}),
               dict(id_to_idx=grow), dict(query_vec=q[:3]), dict(timestamps=q), dict(like_ids=7), dict(mask=q)]:
        yield _tarnexa.score_candidates, {**sc, **kw}
    mmr = {"candidates": [0], "similarities": q, "matrix": m, "k": 1, "lambda_": 0.5}
    for kw in [dict(k=-1), dict(k="x"), dict(lambda_=None), dict(matrix=q), dict(candidates=[9])]:
        yield _tarnexa.mmr_select_py, {**mmr, **kw}


def outcome(fn, kw):
    try:
        return ["result", repr(fn(**kw))[:80]]
    except BaseException as e:  # noqa: B036 - the internal fault derives from BaseException
        return [type(e).__name__, str(e)]


FOREIGN = """
import gc, json, sys
import numpy as np
sys.path.insert(0, '.')
from borrow_participant import Counting
from test_hostile_callers import ARRAYS, CHANGES, call_args, outcome, pending_calls
reg = Counting()
import _tarnexa

out = {"table": {}}
for fname, params in ARRAYS.items():
    for param in params:
        for change in CHANGES:
            args = call_args(fname)
            last, target = args[list(params)[-1]], args[param]
            reg.hook = lambda arr: arr is last and CHANGES[change](target)
            out["table"][f"{fname} {param} {change}"] = outcome(getattr(_tarnexa, fname), args) + [reg.left()]
reg.hook = None
out["pending"] = [outcome(fn, kw) + [reg.left()] for fn, kw in pending_calls()]

# An acquire that empties the id list (then collects) while query_vec is borrowed: the call goes on
# with the ids as they were converted.
n = 100_000
m = np.zeros((n, 4), np.float32); m[:, 0] = np.linspace(0, 1, n, dtype=np.float32)
ids = [f"id{i}" for i in range(n)]; d = {k: i for i, k in enumerate(ids)}; q = np.array([1, 0, 0, 0], np.float32)
sc = _tarnexa.score_candidates
want = sc(m, list(ids), dict(d), q, limit=3)
reg.hook = lambda arr: arr is q and (ids.clear(), d.clear(), gc.collect())
out["cleared"] = [repr(sc(m, ids, d, q, limit=3)) == repr(want), len(ids), reg.left()]
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def foreign():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(_tarnexa.__file__), *sys.path]))
    r = subprocess.run([sys.executable, "-c", FOREIGN], capture_output=True, text=True, env=env, timeout=300,
                       cwd=Path(__file__).parent)
    assert r.returncode == 0, r.stderr[-3000:]
    return json.loads(r.stdout.splitlines()[-1])


@pytest.mark.parametrize("fname, param, change", [(f, p, c) for f in ARRAYS for p in ARRAYS[f] for c in CHANGES])
def test_array_changed_by_a_foreign_registry_callback(foreign, fname, param, change):
    assert foreign["table"][f"{fname} {param} {change}"] == ["PanicException", changed_message(param), 0]


def test_pending_error_kept_across_foreign_releases(foreign):
    # The same errors as with the module's own registry, and every borrow released.
    assert foreign["pending"] == [outcome(fn, kw) + [0] for fn, kw in pending_calls()]


def test_foreign_acquire_empties_the_id_list(foreign):
    assert foreign["cleared"] == [True, 0, 0]


class Name(str):
    def __eq__(self, other):  # binding compares texts, never calls this
        return False

    __hash__ = str.__hash__


def test_keywords_matched_by_text_when_not_the_same_object():
    m = np.eye(2, dtype=np.float32)
    kw = {"".join(["lamb", "da_"]): 0.5, Name("k"): 1}  # built at run time: not the interned names
    assert _tarnexa.mmr_select_py([0], m[0], m, **kw) == _tarnexa.mmr_select_py([0], m[0], m, k=1, lambda_=0.5)

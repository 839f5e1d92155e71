import sys

import numpy as np
import pytest

import _tarnexa

sc, mmr, pm = _tarnexa.score_candidates, _tarnexa.mmr_select_py, _tarnexa.parse_modifiers
CALLS = 2000
N_ROWS = 300  # row numbers above 256 are ints with an observable reference count


def num(i):
    return int(str(i))  # not taken from the small-int cache


def text(s):
    return "".join(list(s))  # neither interned nor immortal


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class ChainedIndex:
    def __init__(self, cause):
        self.cause = cause

    def __index__(self):
        raise TypeError(text("no index")) from self.cause


def make_sc_args():
    rng = np.random.default_rng(7)
    m = rng.standard_normal((N_ROWS, 3)).astype(np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    ids = [text(f"doc{i}") for i in range(N_ROWS)]
    return {
        "matrix": m, "ids": ids, "id_to_idx": {text(d): num(i) for i, d in enumerate(ids)},
        "query_vec": np.array([1, 0.4, 0.2], np.float32), "timestamps": np.full(N_ROWS, 1.0e9),
        "pre_filter_ids": [text(f"doc{i}") for i in range(0, N_ROWS, 2)], "not_like_vec": m[5].copy(),
        "diverse": True, "limit": IndexOnly(num(270)), "oversample": num(280), "threshold": FloatOnly(-2.0),
        "mmr_lambda": float(text("0.6")), "recent": True, "recent_days": float(text("30.5")),
        "like_ids": [text("doc1"), text("doc299"), text("missing")], "traj_from_vec": m[1].copy(),
        "traj_to_vec": m[2].copy(), "mask": np.arange(N_ROWS) % 3 != 0,
    }


def tracked(args):
    objs = []
    for v in args.values():
        objs.append(v)
        if isinstance(v, (list, tuple)):
            objs.extend(v)
        elif isinstance(v, dict):
            objs.extend(v.keys())
            objs.extend(v.values())
        elif isinstance(v, (IndexOnly, FloatOnly)):
            objs.append(v.value)
        elif isinstance(v, ChainedIndex):
            objs.append(v.cause)
    return objs


def assert_no_leak(fn, args, exc):
    objs = tracked(args)

    def once():
        try:
            fn(**args)
        except BaseException as e:  # noqa: B036 - the internal fault derives from BaseException
            assert exc is not None and type(e).__name__ == exc, repr(e)
        else:
            assert exc is None

    once()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(CALLS):
        once()
    after = [sys.getrefcount(o) for o in objs]
    changed = [(repr(o)[:40], b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert changed == []


SC_PATHS = [
    ("success", {}, None),
    ("matrix not an array", {"matrix": [[1.0, 0.0, 0.0]]}, "TypeError"),
    ("ids a str", {"ids": text("abc")}, "TypeError"),
    ("ids a set", {"ids": {text("a"), text("b")}}, "TypeError"),
    ("ids item not str", {"ids": [text("a"), text("b"), 1.5]}, "TypeError"),
    ("ids item surrogate", {"ids": [text("a"), "b\ud800"]}, "UnicodeEncodeError"),
    ("id_to_idx not a dict", {"id_to_idx": [(text("a"), num(300))]}, "TypeError"),
    ("id_to_idx key not str", {"id_to_idx": {text("a"): num(299), num(1000): num(298)}}, "TypeError"),
    ("id_to_idx value negative", {"id_to_idx": {text("a"): num(299), text("b"): -num(1000)}}, "OverflowError"),
    ("id_to_idx value float", {"id_to_idx": {text("a"): num(299), text("b"): 1.5}}, "TypeError"),
    ("pre_filter_ids item not str", {"pre_filter_ids": [text("doc1"), b"x"]}, "TypeError"),
    ("diverse an int", {"diverse": num(1000)}, "TypeError"),
    ("limit None", {"limit": None}, "TypeError"),
    ("limit negative", {"limit": -num(1000)}, "OverflowError"),
    ("limit chained TypeError", {"limit": ChainedIndex(KeyError(text("k")))}, "TypeError"),
    ("threshold a str", {"threshold": text("0.5")}, "TypeError"),
    ("mmr_lambda None", {"mmr_lambda": None}, "TypeError"),
    ("like_ids item not str", {"like_ids": [text("doc1"), num(1000)]}, "TypeError"),
    ("mask wrong dtype", {"mask": np.ones(N_ROWS, np.int8)}, "TypeError"),
    ("query wrong length", {"query_vec": np.ones(5, np.float32)}, "ValueError"),
    ("row out of range", {"id_to_idx": {text("a"): num(10**6)}, "like_ids": [text("a")]}, "PanicException"),
]


@pytest.mark.parametrize("over, exc", [(o, e) for _, o, e in SC_PATHS], ids=[n for n, _, _ in SC_PATHS])
def test_score_candidates_refcounts(over, exc, capfd):
    assert_no_leak(sc, {**make_sc_args(), **over}, exc)
    capfd.readouterr()


def make_mmr_args():
    m = make_sc_args()["matrix"]
    return {"candidates": [num(i) for i in range(260, 290)], "similarities": np.linspace(1, 0, N_ROWS, dtype=np.float32),
            "matrix": m, "k": IndexOnly(num(10)), "lambda_": FloatOnly(float(text("0.5")))}


MMR_PATHS = [
    ("success", {}, None),
    ("candidates a str", {"candidates": text("12")}, "TypeError"),
    ("candidate negative", {"candidates": [num(270), -num(1000)]}, "OverflowError"),
    ("k None", {"k": None}, "TypeError"),
    ("lambda_ a str", {"lambda_": text("x")}, "TypeError"),
    ("similarities wrong dtype", {"similarities": np.ones(N_ROWS)}, "TypeError"),
    ("row out of range", {"candidates": [num(270), num(N_ROWS)]}, "PanicException"),
]


@pytest.mark.parametrize("over, exc", [(o, e) for _, o, e in MMR_PATHS], ids=[n for n, _, _ in MMR_PATHS])
def test_mmr_select_refcounts(over, exc, capfd):
    assert_no_leak(mmr, {**make_mmr_args(), **over}, exc)
    capfd.readouterr()


@pytest.mark.parametrize("arg, exc", [(text("recent:7 like: cats limit:3 from: a to: b"), None),
                                      (num(1000), "TypeError"), (text("x") + "\ud800", "UnicodeEncodeError")])
def test_parse_modifiers_refcounts(arg, exc):
    assert_no_leak(pm, {"modifier_str": arg}, exc)


# -- containers changed by a later argument's conversion --------------------------------------------

class Mutating:
    """Converts like `value`, after running `action` (which changes earlier arguments)."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value

    def __float__(self):
        self.action()
        return float(self.value)


def copies(args):
    return {k: (list(v) if isinstance(v, list) else dict(v) if isinstance(v, dict) else v) for k, v in args.items()}


def small_args():
    args = make_sc_args()
    for k in ("timestamps", "recent", "recent_days", "mask", "not_like_vec", "traj_from_vec", "traj_to_vec"):
        del args[k]
    args.update(limit=num(20), oversample=num(40), threshold=-2.0)
    return args


def clear_all(args):
    def action():
        args["ids"].clear()
        args["id_to_idx"].clear()
        args["pre_filter_ids"].clear()
    return action


def rewrite(args):
    def action():
        ids, d = args["ids"], args["id_to_idx"]
        ids[:] = [text("other") for _ in ids]
        for k in list(d):
            d[k] = 0
        d[text("extra")] = 1
    return action


@pytest.mark.parametrize("param", ["limit", "oversample", "threshold", "mmr_lambda"])
@pytest.mark.parametrize("make_action", [clear_all, rewrite])
def test_later_argument_changing_containers(param, make_action):
    args = small_args()
    plain = copies(args)
    expected = sc(**plain)
    assert len(expected) == 20
    args[param] = Mutating(args[param], make_action(args))
    assert sc(**args) == expected
    assert sc(**plain) == expected


def test_mmr_later_argument_changing_candidates():
    args = make_mmr_args()
    expected = mmr(**copies(args))
    cands = args["candidates"]
    args["k"] = Mutating(num(10), cands.clear)
    args["lambda_"] = Mutating(0.5, lambda: cands.extend([num(0)] * 50))
    assert mmr(**args) == expected

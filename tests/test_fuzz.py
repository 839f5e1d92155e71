"""Random calls of the three functions with arbitrary Python objects in every parameter position.

Every call must end in a result of the documented shape, in one of the documented exceptions
(TypeError, OverflowError, ValueError, UnicodeEncodeError, PanicException) or in an exception
of this file's own EvilError family; after it the caller's arrays are unchanged and no borrow of
them is left in the shared registry. Generation is biased towards valid calls with one or two
arguments perturbed, so that most calls reach the computation.

The generator is written against a small "chooser" interface, so the same code is driven by
hypothesis here and by a plain random.Random in fuzz/long_run.py. TARNEXA_FUZZ_EXAMPLES sets the
number of examples per test (and makes the run random instead of reproducible).
"""
import gc
import math
import os
import random
import subprocess
import sys
import threading
import time
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _tarnexa
from borrow_participant import Participant

sc, mmr, pm = _tarnexa.score_candidates, _tarnexa.mmr_select_py, _tarnexa.parse_modifiers
F32 = np.float32

SC_DEFAULTS = {"timestamps": None, "pre_filter_ids": None, "not_like_vec": None, "diverse": False, "limit": 10,
               "oversample": 200, "threshold": 0.0, "mmr_lambda": 0.7, "recent": False, "recent_days": None,
               "like_ids": None, "traj_from_vec": None, "traj_to_vec": None, "mask": None}
FUNCS = {  # name: (function, parameters, required count, defaults)
    "score_candidates": (sc, ("matrix", "ids", "id_to_idx", "query_vec", *SC_DEFAULTS), 4, SC_DEFAULTS),
    "mmr_select_py": (mmr, ("candidates", "similarities", "matrix", "k", "lambda_"), 5, {}),
    "parse_modifiers": (pm, ("modifier_str",), 0, {"modifier_str": None}),
}
PARSE_KEYS = ["recent", "recent_days", "unlike", "diverse", "limit", "like", "trajectory_from", "trajectory_to",
              "local_communities"]
WS = frozenset(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029,
                         0x202F, 0x205F, 0x3000]))


# ---------------------------------------------------------------- choosers

class RandomChooser:
    def __init__(self, seed):
        self.r = random.Random(seed)

    def int(self, lo, hi):
        return self.r.randint(lo, hi)

    def pick(self, seq):
        return seq[self.r.randrange(len(seq))]

    def chance(self, p):
        return self.r.random() < p


class DrawChooser:
    """Every decision is a hypothesis draw that shrinks towards the first option and towards 'no'."""

    def __init__(self, data):
        self.data = data

    def int(self, lo, hi):
        return self.data.draw(st.integers(lo, hi))

    def pick(self, seq):
        return seq[self.int(0, len(seq) - 1)]

    def chance(self, p):
        return self.int(0, 99) >= 100 - round(p * 100)


# ---------------------------------------------------------------- objects that fight back

class EvilError(Exception):
    """Raised only by this file's objects."""


class EvilTypeError(TypeError):
    """A TypeError subclass: it passes the boundary without the argument prefix."""


class EvilBaseError(BaseException):
    pass


EVIL = (EvilError, EvilTypeError, EvilBaseError)


def panic_type():
    try:
        mmr([5], np.zeros(1, F32), np.zeros((1, 1), F32), 1, 0.5)
    except BaseException as e:  # noqa: B036 - the internal fault derives from BaseException
        return type(e)


PANIC = panic_type()


class IntSub(int):
    pass


class Text(str):
    pass


def _raise(e):
    raise e


ANSWERS = [  # what an evil conversion method answers after its action
    lambda v: v, lambda v: v, lambda v: v,
    lambda v: _raise(EvilError("evil")), lambda v: _raise(EvilTypeError("evil")),
    lambda v: _raise(TypeError("evil")), lambda v: _raise(EvilBaseError("evil")),
    lambda v: _raise(PANIC("evil panic")), lambda v: "x", lambda v: -1, lambda v: 2**64,
    lambda v: IntSub(3) if not isinstance(v, float) else 0.5,
]


class Mischief:
    """An action on the call's arguments (run when the module calls into an evil object), then an answer."""

    def __init__(self, case, action, answer):
        self.case, self.action, self.answer = case, action, answer

    def run(self, value):
        self.case.evil_ran = True
        calling, CALLING[0] = CALLING[0], False  # the action's own hashing is not the module's
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ACTIONS[self.action](self.case)
        finally:
            CALLING[0] = calling
        return ANSWERS[self.answer](value)


class EvilIndex:
    def __init__(self, m, value):
        self.m, self.value = m, value

    def __index__(self):
        return self.m.run(self.value)


class EvilFloat:
    def __init__(self, m, value):
        self.m, self.value = m, value

    def __float__(self):
        return self.m.run(float(self.value))


class EvilSeq:
    """A sequence that is not a list; its item `at` runs the mischief. Its length may lie."""

    def __init__(self, m, items, at, length):
        self.m, self.items, self.at, self.length = m, list(items), at, length

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        item = self.items[i]
        return self.m.run(item) if i == self.at else item


class EvilStr(str):
    """An id whose comparison and hash run mischief while a call is in progress (they should not run)."""

    def __eq__(self, other):
        if CALLING[0]:
            STATS["eq/hash ran"] += 1
            self.m.run(None)
        return str.__eq__(self, other)

    def __hash__(self):
        if CALLING[0]:
            STATS["eq/hash ran"] += 1
            self.m.run(None)
        return str.__hash__(self)


CALLING = [False]
STATS = {"eq/hash ran": 0, "arrays changed": 0}


def fake_numpy_bool(m, value, with_bool=True):
    """An object that claims to be NumPy's boolean; its truth runs the mischief."""
    ns = {"__module__": "numpy"}
    if with_bool:
        ns["__bool__"] = lambda self: m.run(value)
    return type("bool_", (), ns)()


def lying_module_bool(m):
    """A type whose __module__ lookup itself runs the mischief."""
    meta = type("Meta", (type,), {"__module__": property(lambda cls: m.run("numpy"))})
    return meta("bool_", (), {})()


def _nested(case):
    m = np.eye(3, dtype=F32)
    sc(m, ["a", "b", "c"], {"a": 0, "b": 1, "c": 2}, m[0], diverse=True, limit=2)
    mmr([0, 2], m[1], m, 2, 0.5)
    pm("from: a to: b limit:3")


def _in_thread(case):
    arrays = [v for v in case.args.values() if type(v) is np.ndarray]

    def work():
        try:
            _nested(case)
            for a in arrays:  # shared borrows of the same arrays from another call at the same time
                if a.ndim == 2 and a.dtype == F32:
                    mmr([0] if len(a) else [], np.zeros(max(len(a), 1), F32), a, 1, 0.5)
        except BaseException:  # noqa: B036
            pass

    t = threading.Thread(target=work)
    t.start()
    t.join()


def _containers(case, *keys):
    return [case.args[k] for k in keys if type(case.args.get(k)) is list]


def _dict(case):
    d = case.args.get("id_to_idx")
    return d if type(d) is dict else {}


def _reshape_in_place(case):
    # In place: the dimension and stride buffers are replaced. Only where the strides' gcd and the
    # bytes covered stay the same (see test_array_changed_in_place_released).
    for v in case.args.values():
        if type(v) is np.ndarray and v.flags.c_contiguous and v.flags.owndata and v.size and v.ndim >= 1:
            v.shape = (v.size, 1) if v.ndim == 1 else (v.size,)
            return


def _write(case):
    for v in case.args.values():
        if type(v) is np.ndarray and v.flags.writeable and v.dtype.kind == "f":
            v[...] = np.nan
            case.written = True


def _swap_keys(case):
    d = _dict(case)
    for k in list(d)[:2]:
        d[k + "~"] = d.pop(k)


OTHER_TYPE = {np.dtype(np.float32): np.int32, np.dtype(np.float64): np.int64, np.dtype(np.bool_): np.int8}


def _reallocate(case, how):
    """Resizes, re-states or re-types one argument array in place, as Python code may while later
    arguments are converted: the call must refuse it, not read the old memory. Memory that another
    argument also views is not freed (NumPy itself would leave that view dangling)."""
    arrays = [v for v in case.args.values() if type(v) in (np.ndarray, Sub) and not v.dtype.hasobject]
    case.changes = getattr(case, "changes", 0) + 1
    for v in arrays[case.changes % max(len(arrays), 1):] + arrays:
        shared = any(w is not v and np.may_share_memory(w, v) for w in arrays)
        try:
            if how == "resize" and v.flags.owndata and not shared:
                v.resize(tuple(s * 3 + 1 for s in v.shape) if v.size % 2 else (0,) * v.ndim, refcheck=False)
            elif how == "setstate" and not (v.flags.owndata and shared):
                v.__setstate__(np.zeros(tuple(s + 2 for s in v.shape), v.dtype).__reduce__()[2])
            elif how == "retype" and v.dtype in OTHER_TYPE:
                v.dtype = OTHER_TYPE[v.dtype]
            else:
                continue
        except (ValueError, TypeError, AttributeError):
            continue
        case.written = True
        STATS["arrays changed"] += 1
        return


ACTIONS = [
    lambda case: None,
    lambda case: [x.clear() for x in _containers(case, "ids", "pre_filter_ids", "like_ids", "candidates")],
    lambda case: [x.extend(["zz", "d0"] * 40) for x in _containers(case, "ids", "pre_filter_ids", "like_ids")],
    lambda case: [x.__setitem__(slice(None), ["other"] * len(x)) for x in _containers(case, "ids", "like_ids")],
    lambda case: [x.extend([2**40, 7] * 40) for x in _containers(case, "candidates")],
    lambda case: _dict(case).clear(),
    lambda case: _dict(case).update({f"new{i}": 10**6 + i for i in range(20)}),
    lambda case: _dict(case).update(dict.fromkeys(_dict(case), 2**63)),
    _swap_keys,
    _reshape_in_place,
    _write,
    _nested,
    lambda case: mmr([9], np.zeros(1, F32), np.zeros((1, 1), F32), 1, 0.5),  # a PanicException from inside
    lambda case: gc.collect(0),
    _in_thread,
    lambda case: _reallocate(case, "resize"),
    lambda case: _reallocate(case, "setstate"),
    lambda case: _reallocate(case, "retype"),
]


# ---------------------------------------------------------------- arrays

def strided_copy(a, order, gaps, negative, offset):
    """A copy of `a` in a byte buffer: axes laid out in `order` (innermost last), `gaps` extra bytes
    after each axis, the axes in `negative` walked backwards, the first byte at `offset`."""
    item, nd = a.dtype.itemsize, a.ndim
    strides, step = [0] * nd, item
    for ax, gap in zip(reversed(order), gaps):
        step += gap
        strides[ax] = -step if ax in negative else step
        step *= max(a.shape[ax], 1)
    live = [(d, s) for d, s in zip(a.shape, strides) if d > 0]
    start = offset + sum((d - 1) * -s for d, s in live if s < 0)
    size = start + sum((d - 1) * s for d, s in live if s > 0) + item + 3
    v = np.ndarray(a.shape, a.dtype, buffer=np.zeros(size, np.uint8), offset=start, strides=strides)
    v[...] = a
    return v


def odd_view(c, a):
    """A view with the values of `a`, at an odd byte offset, with permuted, gapped, negative strides."""
    if a.dtype.hasobject:
        return a
    order = list(range(a.ndim))
    for i in range(a.ndim - 1, 0, -1):
        j = c.int(0, i)
        order[i], order[j] = order[j], order[i]
    return strided_copy(a, order, [c.int(0, 3) for _ in order], {ax for ax in order if c.chance(0.3)}, c.int(0, 3))


class Sub(np.ndarray):
    pass


def layout(c, a, plain=0.5):
    """`a` itself or an array with (mostly) its values in another memory layout."""
    if c.chance(plain):
        return a
    kind = c.int(0, 6)
    if kind <= 1:
        return odd_view(c, a)
    if kind == 2 and a.ndim:  # zero stride along the first axis: the first item repeated
        return np.lib.stride_tricks.as_strided(a, strides=(0, *a.strides[1:]), writeable=False)
    if kind == 3:
        a = a.copy()
        a.flags.writeable = False
        return a
    if kind == 4:
        return a.view(Sub)
    if kind == 5:
        return np.ma.masked_array(a)
    return np.asfortranarray(a)


DTYPES = [F32, np.float16, np.float64, ">f4", np.bool_, np.int8, np.int64, object, "U3", np.complex64]


def any_array(c, rng):
    dtype = np.dtype(c.pick(DTYPES))
    shape = tuple(c.pick([2, 0, 1, 3, 5]) for _ in range(c.pick([1, 2, 0, 3])))
    n = math.prod(shape)
    if dtype.kind == "U" or dtype.hasobject:
        flat = [c.pick(["d0", "d1", "", "\u65e5", 3, None]) for _ in range(n)]
        if dtype.kind == "U":
            flat = [str(x) for x in flat]
        a = np.empty(n, dtype)
        a[:] = flat
        a = a.reshape(shape)
    else:
        a = np.asarray(rng.standard_normal(shape) * 3).astype(dtype)
    return layout(c, a)


def floats(c, rng, n, specials=0.1):
    v = rng.standard_normal(n).astype(F32)
    if n and c.chance(specials):
        v[c.int(0, n - 1)] = c.pick([np.nan, np.inf, -np.inf, 1e30, 1e-42, 0.0])
    return v


# ---------------------------------------------------------------- arbitrary objects

def gen():
    yield "d0"


def anything(c, rng, case):
    kind = c.int(0, 9)
    if kind == 0:
        return c.pick([None, True, False, 0, 1, 7, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**64), 10**100])
    if kind == 1:
        return c.pick([0.5, -0.0, math.nan, math.inf, -math.inf, 1e308, 1j, Decimal("1.5"), Fraction(1, 3),
                       np.float32(0.5), np.float16(1), np.int64(-3), np.uint64(2**64 - 1), np.bool_(True),
                       np.bool_(False), np.str_("d0"), np.datetime64("2020-01-01")])
    if kind == 2:
        return c.pick(["", "d0", Text("d1"), "\ud800", "d\udfff", "\u00e9\u65e5", "recent:7 diverse",
                       b"d0", bytearray(b"x"), memoryview(b"abcd")])
    if kind == 3:
        return c.pick([[], ["d0", "d1"], ["d0", 1], ("d0",), {"d0"}, frozenset(["d0"]), {"d0": 0}, {"d0": -1},
                       {1: 0}, {"d0": 2**64}, {"d0": 1.5}, gen(), iter(["d0"]), range(3), {"d0": 0}.keys(),
                       [0, 1], [0, -1], [2**64], [np.int64(1)], [1.5], (0, 1), [Text("d0"), "\ud800"],
                       ["d0", None], [[]], np.array(["d0", "d1"])])
    if kind <= 6:
        return any_array(c, rng)
    if kind <= 8:
        return evil(c, rng, case)
    with warnings.catch_warnings():  # np.matrix is a deprecated but still accepted subclass
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        odd = np.matrix([[1.0]], F32)
    return c.pick([object(), int, len, sys, Ellipsis, NotImplemented, odd])


def mischief(c, case):
    case.has_evil = True
    return Mischief(case, c.int(0, len(ACTIONS) - 1), c.pick([0, 0, 0, *range(len(ANSWERS))]))


def evil(c, rng, case, value=None):
    m = mischief(c, case)
    kind = c.int(0, 7)
    if kind <= 1:
        return EvilIndex(m, value if isinstance(value, int) else c.pick([0, 1, 3, 2**64 - 1]))
    if kind == 2:
        return EvilFloat(m, value if isinstance(value, float) else c.pick([0.5, -1.0, math.nan]))
    if kind == 3:
        return fake_numpy_bool(m, c.pick([True, False]), with_bool=c.chance(0.8))
    if kind == 4:
        return lying_module_bool(m)
    items = value if isinstance(value, list) else c.pick([["d0", "d1"], [0, 1], []])
    if kind <= 6:
        # The length is only a capacity hint; modest lies only (see test_overstated_length_hint).
        return EvilSeq(m, items, c.int(0, 2), c.pick([None, None, 0, 1, 1000, -1]))
    return evil_str(c, case, c.pick(["d0", "d1", "zz"]), m)


def evil_str(c, case, text, m=None):
    s = EvilStr(text)
    s.m = m or mischief(c, case)
    return s


# ---------------------------------------------------------------- cases

class Case:
    def __init__(self, fname):
        self.fname = fname
        self.args = {}
        self.pos, self.kw = [], {}
        self.has_evil = self.evil_ran = self.written = False


def ids_for(c, case, n):
    ids = [f"d{i}" for i in range(n)]
    if c.chance(0.2):
        ids = [c.pick([s, Text(s), s + "\u00e9", evil_str(c, case, s)]) for s in ids]
    if ids and c.chance(0.15):
        ids = ids[: c.int(0, len(ids))] if c.chance(0.5) else ids + [ids[0]]  # fewer ids than rows, a duplicate
    return ids


def text_list(c, items):
    kind = c.int(0, 24)
    if kind <= 18:
        return list(items)
    if kind <= 20:
        return tuple(items)
    if kind <= 22:
        return np.array(items, dtype=object if c.chance(0.5) else None) if items else np.array([], "U1")
    return Text("d0") if not items else [*items, c.pick([1, None, b"d0", "\ud800"])]


def gen_score_candidates(c, rng, case):
    A = case.args
    n, dims = c.pick([4, 0, 1, 2, 3, 5, 8, 13]), c.pick([3, 1, 2, 4, 7, 16, 33])
    m = rng.standard_normal((n, dims)).astype(F32)
    m /= np.maximum(np.linalg.norm(m, axis=1, keepdims=True), F32(1e-6))
    if n and c.chance(0.1):
        m[c.int(0, n - 1)] = c.pick([np.nan, np.inf, 0.0, 1e30])
    ids = ids_for(c, case, n)
    A["matrix"] = layout(c, m)
    A["ids"] = text_list(c, ids)
    d = {s: i for i, s in enumerate(ids[:n])}
    if c.chance(0.2):
        d.update({c.pick(["zz", "d0", Text("d2")]): c.pick([0, n, n + 5, np.int64(1), True, 2**63])})
    if d and c.chance(0.1):  # a value whose __index__ changes the dict being read, or other arguments
        key = c.pick(list(d))
        d[key] = EvilIndex(mischief(c, case), d[key])
    A["id_to_idx"] = d
    A["query_vec"] = layout(c, floats(c, rng, dims if c.chance(0.9) else c.pick([0, 1, dims + 1])))
    pick_ids = lambda: text_list(c, [c.pick(ids + ["zz"]) if ids else "zz" for _ in range(c.int(0, 4))])
    vec = lambda: layout(c, floats(c, rng, dims if c.chance(0.9) else c.pick([1, dims + 1])))
    options = {
        "timestamps": lambda: layout(c, time.time() - rng.integers(-3, 400, max(n + c.pick([0, 0, 1, -1]), 0)) *
                                     86400.0 * c.pick([1.0, 1.0, -1.0, np.nan])),
        "pre_filter_ids": pick_ids, "not_like_vec": vec, "like_ids": pick_ids, "traj_from_vec": vec,
        "traj_to_vec": vec,
        "diverse": lambda: c.pick([True, False, np.bool_(True)]),
        "limit": lambda: c.pick([0, 1, 2, 3, 10, 2**64 - 1, np.uint8(2)]),
        "oversample": lambda: c.pick([0, 1, 3, 200, 2**64 - 1]),
        "threshold": lambda: c.pick([0.0, 0.2, -0.5, math.nan, math.inf, 1, np.float64(0.1)]),
        "mmr_lambda": lambda: c.pick([0.7, 0.0, 1.0, -0.5, math.nan, 2]),
        "recent": lambda: c.pick([True, False, np.bool_(True)]),
        "recent_days": lambda: c.pick([7.0, 0.0, -1.0, math.nan, math.inf, 1e-300, 30]),
        "mask": lambda: layout(c, rng.random(max(n + c.pick([0, 0, 0, 1, -1]), 0)) < 0.7),
    }
    for name, make in options.items():
        if c.chance(0.3):
            A[name] = make()


def gen_mmr_select(c, rng, case):
    A = case.args
    n, dims = c.pick([4, 0, 1, 2, 3, 6, 12]), c.pick([3, 1, 2, 8, 17])
    m = rng.standard_normal((n, dims)).astype(F32)
    cands = [c.int(0, n - 1) if n and c.chance(0.95) else c.pick([n, n + 1]) for _ in range(c.int(0, 8))]
    kind = c.int(0, 9)
    if kind == 7:
        cands = tuple(cands)
    elif kind == 8:
        cands = np.array(cands, c.pick([np.int64, np.uint64, np.int8]))
    elif kind == 9:
        cands = [c.pick([x, np.int64(x), IntSub(x), True if x == 1 else x, EvilIndex(mischief(c, case), x)])
                 for x in cands]
    A["candidates"] = cands
    A["similarities"] = layout(c, floats(c, rng, n + c.pick([0, 0, 0, 1, -1]) if n else 0, specials=0.3))
    A["matrix"] = layout(c, m)
    A["k"] = c.pick([2, 0, 1, 3, 8, 2**64 - 1, np.int64(2)])
    A["lambda_"] = c.pick([0.7, 0.0, 1.0, 0.5, -0.5, math.nan, 1, np.float32(0.3)])


FRAGMENTS = ["recent", "recent:", "unlike:", "like:", "limit:", "diverse", "local_communities",
             "detect_communities", "from:", " to:", "from: a to: b ", "7", "-3", "+", ",", " ", "a", "\u00e9",
             "\u3000", "\u2029", "\u00a0", "\u200b", "18446744073709551616", "9223372036854775808"]


def gen_parse_modifiers(c, rng, case):
    if c.chance(0.9):
        s = "".join(c.pick(FRAGMENTS) if c.chance(0.9) else chr(c.int(0, 0x10FFFF)) for _ in range(c.int(0, 10)))
        case.args["modifier_str"] = Text(s) if c.chance(0.1) else s
    elif c.chance(0.5):
        case.args["modifier_str"] = None


GENERATORS = {"score_candidates": gen_score_candidates, "mmr_select_py": gen_mmr_select,
              "parse_modifiers": gen_parse_modifiers}
UNKNOWN_KEYWORDS = ["lambda", "Limit", "matrix ", "\ud800", "\u00e9", "k", "modifier", "query"]


def make_case(c, fname):
    case = Case(fname)
    rng = np.random.default_rng(c.int(0, 2**32 - 1))
    GENERATORS[fname](c, rng, case)
    fn, params, required, defaults = FUNCS[fname]
    A = case.args
    for _ in range(c.pick([0, 0, 0, 0, 0, 0, 1, 1, 2, 3] if len(params) > 5 else [0, 0, 0, 0, 0, 0, 1, 1, 2])):
        name = c.pick(params)
        A[name] = anything(c, rng, case) if c.chance(0.7) else evil(c, rng, case, A.get(name))
    if c.chance(0.02) and required:
        A.pop(c.pick(params[:required]), None)
    # Call form: a positional prefix (defaults fill the gaps), the rest as keywords in random order.
    k = c.int(0, len(params))
    for p in params[:k]:
        if p not in A and p not in defaults:
            break
        case.pos.append(A.get(p, defaults.get(p)))
    rest = [p for p in params[len(case.pos):] if p in A]
    while rest:
        p = rest.pop(c.int(0, len(rest) - 1))
        case.kw[p] = A[p]
    if c.chance(0.02):
        case.pos = [A.get(p, defaults.get(p)) for p in params] + [None] * c.int(1, 2)
    if c.chance(0.02):
        case.kw[c.pick(UNKNOWN_KEYWORDS)] = 1
    if c.chance(0.02) and case.pos:
        case.kw[params[0]] = case.pos[0]
    return case


# ---------------------------------------------------------------- running and checking one case

def known_int(v):
    return int(v) if isinstance(v, (int, np.integer)) and not isinstance(v, IntSub) else None


def plain_texts(v):
    if type(v) in (list, tuple) and all(type(x) in (str, Text) for x in v):
        return {str(x) for x in v}
    return None


def check_result(case, res, ids, cands):
    A = case.args
    if case.fname == "score_candidates":
        assert type(res) is list
        limit, diverse = known_int(A.get("limit", 10)), A.get("diverse", False)
        plain = diverse is False or diverse is np.False_
        if limit is not None:
            assert len(res) <= (limit if plain else max(limit, 1))
        for r in res:
            assert type(r) is dict and list(r) == ["id", "score"]
            assert type(r["id"]) is str and type(r["score"]) is float
            s = r["score"]  # an mmr score is not finite when mmr_lambda is not
            assert round(s, 4) == s if math.isfinite(s) else not plain, s
            assert ids is None or r["id"] in ids
    elif case.fname == "mmr_select_py":
        assert type(res) is list
        k = known_int(A.get("k"))
        assert k is None or len(res) <= max(k, 1)
        for r in res:
            assert type(r) is tuple and len(r) == 2 and type(r[0]) is int and type(r[1]) is float
            assert cands is None or r[0] in cands
        assert cands is None or len(res) <= len(cands)
    else:
        assert type(res) is dict and list(res) == PARSE_KEYS
        for key in ("recent", "diverse", "local_communities"):
            assert type(res[key]) is bool
        assert all(res[key] is None or type(res[key]) is int for key in ("recent_days", "limit"))
        assert res["unlike"] is None or type(res["unlike"]) is str
        assert res["like"] is None or (type(res["like"]) is list and all(type(x) is str for x in res["like"]))
        assert (res["trajectory_from"] is None) == (res["trajectory_to"] is None)
        for key in ("trajectory_from", "trajectory_to"):
            t = res[key]
            assert t is None or (type(t) is str and t and t[0] not in WS and t[-1] not in WS)


def check_exception(case, e):
    """The outcome name of an allowed exception; fails on anything else."""
    t = type(e)
    if t in EVIL:
        return t.__name__
    if t.__name__ == "PanicException":
        assert t.__module__ == "brenmor_runtime" and not isinstance(e, Exception) and str(e), repr(e)
        return "PanicException: array changed" if "the array was resized or reallocated" in str(e) else "PanicException"
    assert t in (TypeError, OverflowError, ValueError, UnicodeEncodeError), repr(e)
    text = str(e)
    if t is TypeError:
        params = FUNCS[case.fname][1]
        assert text.startswith(f"{case.fname}() ") or any(text.startswith(f"argument '{p}': ") for p in params), text
    elif t is OverflowError:
        assert not text.startswith("argument '"), text
    return t.__name__


def arrays_of(case):
    seen = {}
    for v in [*case.pos, *case.kw.values()]:
        if isinstance(v, np.ndarray):
            seen[id(v)] = v
    return list(seen.values())


def snapshot(a):
    return None if a.dtype.hasobject else a.tobytes()


def canonical(v):
    return np.array(v, order="C", subok=True) if isinstance(v, np.ndarray) else v


def run_case(case):
    """Calls the function once as the case says; returns the outcome name or raises AssertionError."""
    fn = FUNCS[case.fname][0]
    A = case.args
    ids = plain_texts(A.get("ids"))
    cands = [int(x) for x in A["candidates"]] if type(A.get("candidates")) in (list, tuple) and \
        all(type(x) in (int, bool) for x in A["candidates"]) else None
    arrays = arrays_of(case)
    before = [snapshot(a) for a in arrays]
    hook, sys.unraisablehook = sys.unraisablehook, lambda u: None
    CALLING[0] = True
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            res = fn(*case.pos, **case.kw)
    except BaseException as e:  # noqa: B036
        outcome = check_exception(case, e)
        res = None
    else:
        outcome = "result"
    finally:
        CALLING[0] = False
        sys.unraisablehook = hook
    if res is not None:
        check_result(case, res, ids, cands)
    if not case.written:
        for a, b in zip(arrays, before):
            assert b is None or a.tobytes() == b, "an argument array was written"
    with Participant() as p:  # nothing of this call is left in the borrow registry
        for a in arrays:
            read_only = not a.flags.writeable and a.flags.owndata
            if read_only:
                a.flags.writeable = True
            if a.flags.writeable:
                assert p.acquire_mut(a) == 0, f"a borrow of {a.dtype}{a.shape} was left registered"
                p.release_mut(a)
            if read_only:
                a.flags.writeable = False
    timed = A.get("recent") is not False and A.get("timestamps") is not None and "recent" in A
    if outcome == "result" and not case.has_evil and not timed:
        # The same values in plain contiguous arrays give the same answer.
        again = fn(*map(canonical, case.pos), **{k: canonical(v) for k, v in case.kw.items()})
        assert repr(again) == repr(res), (res, again)
    return outcome


# ---------------------------------------------------------------- the hypothesis runs

EXAMPLES = int(os.environ.get("TARNEXA_FUZZ_EXAMPLES", "0"))


def fuzz_settings(default):
    return settings(max_examples=EXAMPLES or default, deadline=None, derandomize=not EXAMPLES, database=None,
                    suppress_health_check=list(HealthCheck))


@pytest.mark.parametrize("fname, default", [("score_candidates", 3000), ("mmr_select_py", 2000),
                                            ("parse_modifiers", 1500)])
def test_fuzz(fname, default):
    @fuzz_settings(default)
    @given(st.data())
    def run(data):
        run_case(make_case(DrawChooser(data), fname))

    run()


# ---------------------------------------------------------------- odd memory, read in place

def odd_layouts(a):
    """Views of `a` at odd offsets, with strides that are not multiples of the item size, transposed,
    negative, and with a zero stride."""
    nd = a.ndim
    yield strided_copy(a, list(range(nd)), [0] * nd, set(), 1)
    yield strided_copy(a, list(range(nd)), [1, 2][:nd], {0}, 3)
    yield strided_copy(a, list(range(nd))[::-1], [2, 1][:nd], {nd - 1}, 2)
    yield strided_copy(a, list(range(nd))[::-1], [3, 0][:nd], set(range(nd)), 1)
    if nd:
        yield np.lib.stride_tricks.as_strided(np.repeat(a[:1], 1, axis=0), a.shape, (0, *a.strides[1:]))


def _sc_args():
    rng = np.random.default_rng(5)
    n, dims = 40, 19
    m = rng.standard_normal((n, dims)).astype(F32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    ids = [f"d{i}" for i in range(n)]
    now = time.time()
    # With a half-life of zero, a past row scores 0, a future row is dropped and t <= 0 is not decayed:
    # the outcome depends on where each timestamp lies, not on the exact clock.
    t = np.where(np.arange(n) % 3 == 0, now - 86400.0, np.where(np.arange(n) % 3 == 1, now + 86400.0, 0.0))
    return dict(matrix=m, ids=ids, id_to_idx={s: i for i, s in enumerate(ids)},
                query_vec=rng.standard_normal(dims).astype(F32), not_like_vec=rng.standard_normal(dims).astype(F32),
                traj_from_vec=rng.standard_normal(dims).astype(F32), traj_to_vec=rng.standard_normal(dims).astype(F32),
                mask=rng.random(n) < 0.8, timestamps=t, recent=True, recent_days=0.0, limit=30)


def _mmr_args():
    rng = np.random.default_rng(6)
    m = rng.standard_normal((30, 9)).astype(F32)
    return dict(candidates=list(rng.permutation(30)[:20]), similarities=rng.random(30).astype(F32), matrix=m,
                k=12, lambda_=0.6)


@pytest.mark.parametrize("fn, make, param", [
    *[(sc, _sc_args, p) for p in ("matrix", "query_vec", "not_like_vec", "traj_from_vec", "traj_to_vec", "mask",
                                  "timestamps")],
    (mmr, _mmr_args, "matrix"), (mmr, _mmr_args, "similarities"),
])
def test_odd_memory_reads_like_aligned_copy(fn, make, param):
    args = make()
    base = args[param]
    for view in odd_layouts(base):
        expected = fn(**{**args, param: np.ascontiguousarray(view)})
        assert fn(**{**args, param: view}) == expected, (view.strides, view.__array_interface__["data"][0] % 8)
    assert len(expected) > 3


def test_odd_memory_all_at_once_and_diverse():
    args = _sc_args()
    args["limit"] = 10
    want = sc(**args, diverse=True, oversample=25)
    for views in zip(*(odd_layouts(args[p]) for p in ("matrix", "query_vec", "mask", "timestamps"))):
        odd = dict(zip(("matrix", "query_vec", "mask", "timestamps"), views))
        assert sc(**{**args, **odd}, diverse=True, oversample=25) == \
            sc(**{**args, **{k: np.ascontiguousarray(v) for k, v in odd.items()}}, diverse=True, oversample=25)
    assert len(want) == 10


# ---------------------------------------------------------------- faults found by fuzzing

def _retype(a):
    a.dtype = np.float64  # the same bytes as rows of half as many float64


def _reshape(a):
    a.shape = (4,)  # the strides (16, 4) of a column become (16,)


@pytest.mark.parametrize("change, view", [(_retype, lambda m: m.view()), (_reshape, lambda m: m[:, :1])])
def test_array_changed_in_place_released(change, view):
    owner = np.zeros((4, 4), F32)
    a = view(owner)

    class Change:
        def __float__(self):
            change(a)
            return 0.5

    with warnings.catch_warnings(), pytest.raises(PANIC, match="argument 'matrix': the array was resized"):
        warnings.simplefilter("ignore")
        mmr([], np.ones(4, F32), a, 1, Change())
    same = view(owner)  # what `a` was when the call borrowed it
    try:
        with Participant() as p:
            assert p.acquire_mut(same) == 0
    finally:  # if the call left a borrow behind, drop it so that later tests see a clean registry
        Participant().release(same)


OVERSTATED = """
import numpy as np, _tarnexa
class Seq:
    def __init__(self, items): self.items = items
    def __len__(self): return {n}
    def __getitem__(self, i): return self.items[i]
m = np.eye(2, dtype=np.float32)
print(_tarnexa.mmr_select_py(Seq([0, 1]), m[0], m, 2, 0.5) == _tarnexa.mmr_select_py([0, 1], m[0], m, 2, 0.5))
print(_tarnexa.score_candidates(m, Seq(["a", "b"]), {{"a": 0, "b": 1}}, m[0]) ==
      _tarnexa.score_candidates(m, ["a", "b"], {{"a": 0, "b": 1}}, m[0]))
"""


@pytest.mark.parametrize("n", [2**40, sys.maxsize])
def test_overstated_length_hint(n):
    # In a child process: under AddressSanitizer an allocation that large aborts the process.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(_tarnexa.__file__), *sys.path]))
    r = subprocess.run([sys.executable, "-c", OVERSTATED.format(n=n)], capture_output=True, text=True, env=env,
                       timeout=120)
    assert r.returncode == 0 and r.stdout.split() == ["True", "True"], r.stderr[-500:]

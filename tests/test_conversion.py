import sys
import types

import numpy as np
import pytest

import _tarnexa

sc, mmr, pm = _tarnexa.score_candidates, _tarnexa.mmr_select_py, _tarnexa.parse_modifiers

M = np.array([[1, 0, 0], [0.6, 0.8, 0], [0, 0.6, 0.8], [0, 0, 1]], dtype=np.float32)
IDS = ["a", "b", "c", "d"]
D = {"a": 0, "b": 1, "c": 2, "d": 3}
Q = np.array([1.0, 0.4, 0.2], dtype=np.float32)
SIMS = np.array([0.9, 0.8, 0.7, 0.6], dtype=np.float32)
SC_BASE = {"matrix": M, "ids": IDS, "id_to_idx": D, "query_vec": Q}
MMR_BASE = {"candidates": [0, 1], "similarities": SIMS, "matrix": M, "k": 2, "lambda_": 0.5}


def call(fn, **over):
    if fn is sc:
        return sc(**{**SC_BASE, **over})
    if fn is mmr:
        return mmr(**{**MMR_BASE, **over})
    return pm(**over)


def raises_exactly(exc, text, fn, **over):
    with pytest.raises(BaseException) as info:
        call(fn, **over)
    assert type(info.value) is exc, repr(info.value)
    assert str(info.value) == text
    return info.value


class Holder:
    class Thing:
        pass


def gen():
    yield "a"


class BrokenSeq:
    """A sequence whose second item cannot be read."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 0:
            return "a"
        raise self.exc


class BadIndex:
    def __index__(self):
        return "1"


PA = "object cannot be converted to 'PyArray<T, D>'"
NEG = "can't convert negative int to unsigned"
BIG = "int too big to convert"
SURR = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"

# (function, parameter, object, exception, text without the "argument '{param}': " prefix, prefixed?)
REFUSED = [
    # arrays
    (sc, "matrix", M.astype(np.float64), TypeError, f"'ndarray' {PA}", True),
    (sc, "matrix", M.astype(np.float16), TypeError, f"'ndarray' {PA}", True),
    (sc, "matrix", M.astype(">f4"), TypeError, f"'ndarray' {PA}", True),
    (sc, "matrix", M[0], TypeError, f"'ndarray' {PA}", True),
    (sc, "matrix", M[None], TypeError, f"'ndarray' {PA}", True),
    (sc, "matrix", M.tolist(), TypeError, f"'list' {PA}", True),
    (sc, "matrix", memoryview(M), TypeError, f"'memoryview' {PA}", True),
    (sc, "matrix", None, TypeError, f"'NoneType' {PA}", True),
    (sc, "matrix", Holder.Thing(), TypeError, f"'Holder.Thing' {PA}", True),
    (sc, "query_vec", Q.astype(np.float64), TypeError, f"'ndarray' {PA}", True),
    (sc, "query_vec", Q[None], TypeError, f"'ndarray' {PA}", True),
    (sc, "query_vec", np.array(1, np.float32), TypeError, f"'ndarray' {PA}", True),
    (sc, "query_vec", np.float32(1), TypeError, f"'float32' {PA}", True),
    (sc, "query_vec", None, TypeError, f"'NoneType' {PA}", True),
    (sc, "timestamps", np.zeros(4, np.float32), TypeError, f"'ndarray' {PA}", True),
    (sc, "timestamps", np.zeros(4, np.int64), TypeError, f"'ndarray' {PA}", True),
    (sc, "not_like_vec", Q.astype(np.float64), TypeError, f"'ndarray' {PA}", True),
    (sc, "traj_from_vec", Q[None], TypeError, f"'ndarray' {PA}", True),
    (sc, "traj_to_vec", Q.tolist(), TypeError, f"'list' {PA}", True),
    (sc, "mask", np.ones(4, np.int8), TypeError, f"'ndarray' {PA}", True),
    (sc, "mask", np.ones(4, np.float32), TypeError, f"'ndarray' {PA}", True),
    (sc, "mask", [True] * 4, TypeError, f"'list' {PA}", True),
    (mmr, "similarities", SIMS.astype(np.float64), TypeError, f"'ndarray' {PA}", True),
    (mmr, "similarities", None, TypeError, f"'NoneType' {PA}", True),
    (mmr, "matrix", np.ones((4, 3)), TypeError, f"'ndarray' {PA}", True),
    # lists of texts
    (sc, "ids", "ab", TypeError, "Can't extract `str` to `Vec`", True),
    (sc, "ids", None, TypeError, "'NoneType' object cannot be converted to 'Sequence'", True),
    (sc, "ids", set(IDS), TypeError, "'set' object cannot be converted to 'Sequence'", True),
    (sc, "ids", frozenset(IDS), TypeError, "'frozenset' object cannot be converted to 'Sequence'", True),
    (sc, "ids", dict(D), TypeError, "'dict' object cannot be converted to 'Sequence'", True),
    (sc, "ids", D.keys(), TypeError, "'dict_keys' object cannot be converted to 'Sequence'", True),
    (sc, "ids", gen(), TypeError, "'generator' object cannot be converted to 'Sequence'", True),
    (sc, "ids", iter(IDS), TypeError, "'list_iterator' object cannot be converted to 'Sequence'", True),
    (sc, "ids", ["a", 1], TypeError, "'int' object cannot be converted to 'PyString'", True),
    (sc, "ids", ["a", None], TypeError, "'NoneType' object cannot be converted to 'PyString'", True),
    (sc, "ids", b"ab", TypeError, "'int' object cannot be converted to 'PyString'", True),
    (sc, "ids", ["a", "\ud800"], UnicodeEncodeError, SURR, False),
    (sc, "ids", BrokenSeq(ValueError("unreadable")), ValueError, "unreadable", False),
    (sc, "ids", BrokenSeq(TypeError("unreadable")), TypeError, "unreadable", True),
    (sc, "ids", np.array(["a", 1], dtype=object), TypeError, "'int' object cannot be converted to 'PyString'", True),
    (sc, "pre_filter_ids", {"a", "b"}, TypeError, "'set' object cannot be converted to 'Sequence'", True),
    (sc, "pre_filter_ids", "a", TypeError, "Can't extract `str` to `Vec`", True),
    (sc, "pre_filter_ids", [b"a"], TypeError, "'bytes' object cannot be converted to 'PyString'", True),
    (sc, "like_ids", frozenset("a"), TypeError, "'frozenset' object cannot be converted to 'Sequence'", True),
    (sc, "like_ids", [1], TypeError, "'int' object cannot be converted to 'PyString'", True),
    (sc, "like_ids", ["\ud800"], UnicodeEncodeError, SURR, False),
    # lists of unsigned integers
    (mmr, "candidates", "01", TypeError, "Can't extract `str` to `Vec`", True),
    (mmr, "candidates", {0, 1}, TypeError, "'set' object cannot be converted to 'Sequence'", True),
    (mmr, "candidates", None, TypeError, "'NoneType' object cannot be converted to 'Sequence'", True),
    (mmr, "candidates", [0, -1], OverflowError, NEG, False),
    (mmr, "candidates", [2**64], OverflowError, BIG, False),
    (mmr, "candidates", [0, 1.5], TypeError, "'float' object cannot be interpreted as an integer", True),
    (mmr, "candidates", np.array([0.0]), TypeError, "'numpy.float64' object cannot be interpreted as an integer", True),
    # text-to-unsigned map
    (sc, "id_to_idx", None, TypeError, "'NoneType' object cannot be converted to 'PyDict'", True),
    (sc, "id_to_idx", list(D.items()), TypeError, "'list' object cannot be converted to 'PyDict'", True),
    (sc, "id_to_idx", types.MappingProxyType(D), TypeError,
     "'mappingproxy' object cannot be converted to 'PyDict'", True),
    (sc, "id_to_idx", {"a": 0, 1: 1}, TypeError, "'int' object cannot be converted to 'PyString'", True),
    (sc, "id_to_idx", {b"a": 0}, TypeError, "'bytes' object cannot be converted to 'PyString'", True),
    (sc, "id_to_idx", {"\ud800": 0}, UnicodeEncodeError, SURR, False),
    (sc, "id_to_idx", {"a": -1}, OverflowError, NEG, False),
    (sc, "id_to_idx", {"a": 2**64}, OverflowError, BIG, False),
    (sc, "id_to_idx", {"a": 1.5}, TypeError, "'float' object cannot be interpreted as an integer", True),
    (sc, "id_to_idx", {"a": None}, TypeError, "'NoneType' object cannot be interpreted as an integer", True),
    (sc, "id_to_idx", {"a": "0"}, TypeError, "'str' object cannot be interpreted as an integer", True),
    # booleans
    (sc, "diverse", 0, TypeError, "'int' object cannot be converted to 'PyBool'", True),
    (sc, "diverse", 1, TypeError, "'int' object cannot be converted to 'PyBool'", True),
    (sc, "diverse", None, TypeError, "'NoneType' object cannot be converted to 'PyBool'", True),
    (sc, "diverse", "x", TypeError, "'str' object cannot be converted to 'PyBool'", True),
    (sc, "recent", np.int64(1), TypeError, "'int64' object cannot be converted to 'PyBool'", True),
    (sc, "recent", np.array(True), TypeError, "'ndarray' object cannot be converted to 'PyBool'", True),
    # unsigned integers
    (sc, "limit", -1, OverflowError, NEG, False),
    (sc, "limit", 2**64, OverflowError, BIG, False),
    (sc, "limit", np.int64(-1), OverflowError, NEG, False),
    (sc, "limit", 1.5, TypeError, "'float' object cannot be interpreted as an integer", True),
    (sc, "limit", None, TypeError, "'NoneType' object cannot be interpreted as an integer", True),
    (sc, "limit", "3", TypeError, "'str' object cannot be interpreted as an integer", True),
    (sc, "oversample", -5, OverflowError, NEG, False),
    (sc, "oversample", BadIndex(), TypeError, "__index__ returned non-int (type str)", True),
    (sc, "oversample", None, TypeError, "'NoneType' object cannot be interpreted as an integer", True),
    (mmr, "k", -1, OverflowError, NEG, False),
    (mmr, "k", None, TypeError, "'NoneType' object cannot be interpreted as an integer", True),
    # floats
    (sc, "threshold", "0.5", TypeError, "must be real number, not str", True),
    (sc, "threshold", None, TypeError, "must be real number, not NoneType", True),
    (sc, "mmr_lambda", None, TypeError, "must be real number, not NoneType", True),
    (sc, "mmr_lambda", 1j, TypeError, "must be real number, not complex", True),
    (sc, "recent_days", "7", TypeError, "must be real number, not str", True),
    (mmr, "lambda_", None, TypeError, "must be real number, not NoneType", True),
    # text
    (pm, "modifier_str", 5, TypeError, "'int' object cannot be converted to 'PyString'", True),
    (pm, "modifier_str", b"diverse", TypeError, "'bytes' object cannot be converted to 'PyString'", True),
    (pm, "modifier_str", "recent \ud800", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 7: surrogates not allowed", False),
]


@pytest.mark.parametrize("fn, param, obj, exc, text, prefixed", REFUSED,
                         ids=[f"{c[0].__name__}-{c[1]}-{i}" for i, c in enumerate(REFUSED)])
def test_refused(fn, param, obj, exc, text, prefixed):
    expected = f"argument '{param}': {text}" if prefixed else text
    raises_exactly(exc, expected, fn, **{param: obj})


# -- accepted arrays: read in place through shape and strides, never copied -----------------------

class SubArray(np.ndarray):
    pass


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


WIDE = np.zeros((4, 6), np.float32)
WIDE[:, ::2] = M
QWIDE = np.zeros(6, np.float32)
QWIDE[::2] = Q
META_F32 = np.dtype(np.float32, metadata={"k": 1})  # distinct descriptor object, equivalent dtype

ARRAY_VIEWS = [
    ("column slice", {"matrix": WIDE[:, ::2]}),
    ("fortran order", {"matrix": np.asfortranarray(M)}),
    ("transposed", {"matrix": np.ascontiguousarray(M.T).T}),
    ("reversed rows", {"matrix": M[::-1][::-1]}),
    ("strided query", {"query_vec": QWIDE[::2]}),
    ("negative stride query", {"query_vec": Q[::-1].copy()[::-1]}),
    ("read-only", {"matrix": readonly(M), "query_vec": readonly(Q)}),
    ("subclass", {"matrix": M.view(SubArray), "query_vec": Q.view(SubArray)}),
    ("explicit little endian", {"matrix": M.astype("<f4")}),
    ("metadata dtype", {"matrix": M.astype(META_F32)}),
]


@pytest.mark.parametrize("over", [v for _, v in ARRAY_VIEWS], ids=[k for k, _ in ARRAY_VIEWS])
def test_array_views_accepted(over):
    expected = sc(**SC_BASE, limit=4)
    assert call(sc, **over, limit=4) == expected
    assert [r["id"] for r in expected] == ["a", "b", "c", "d"]


def test_array_views_reverse_rows_read_through_strides():
    rev = M[::-1]
    got = sc(rev, IDS, D, Q, limit=4)
    assert got == sc(np.ascontiguousarray(rev), IDS, D, Q, limit=4)
    assert got != sc(M, IDS, D, Q, limit=4)


def test_mmr_array_views_accepted():
    sims = np.zeros(8, np.float32)
    sims[::-2] = SIMS[::-1]
    expected = mmr([3, 1, 2], SIMS, M, 3, 0.5)
    assert mmr([3, 1, 2], sims[1::2], WIDE[:, ::2], 3, 0.5) == expected
    assert mmr([3, 1, 2], SIMS[::-1][::-1], readonly(M).view(SubArray), 3, 0.5) == expected


@pytest.mark.parametrize("over", [
    {"query_vec": Q, "not_like_vec": Q},
    {"traj_from_vec": Q, "traj_to_vec": Q},
    {"query_vec": Q, "not_like_vec": Q, "traj_from_vec": Q, "traj_to_vec": Q},
])
def test_same_array_in_several_parameters(over):
    copies = {k: v.copy() for k, v in over.items()}
    assert call(sc, **over) == call(sc, **copies)


def test_mask_accepted_in_place():
    mask = np.array([True, False, True, False, True, False, True, False])[::2]
    got = sc(**SC_BASE, mask=mask, limit=4)
    assert got == sc(**SC_BASE, mask=mask.copy(), limit=4)


# -- accepted lists of texts ------------------------------------------------------------------------

class SeqWithoutLen:
    """A sequence whose size query fails: the size is only a capacity hint."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise ValueError("no length")


class Text(str):
    pass


@pytest.mark.parametrize("make", [list, tuple, np.array, SeqWithoutLen, lambda xs: [Text(x) for x in xs]],
                         ids=["list", "tuple", "ndarray", "no-len", "str-subclass"])
def test_text_sequences_accepted(make):
    expected = sc(**SC_BASE, pre_filter_ids=["c", "a"], like_ids=["d", "d"], limit=4)
    got = sc(M, make(IDS), D, Q, pre_filter_ids=make(["c", "a"]), like_ids=make(["d", "d"]), limit=4)
    assert got == expected
    assert all(type(r["id"]) is str for r in got)


def test_optional_none_equals_missing():
    base = sc(**SC_BASE, limit=4)
    nones = {k: None for k in ("timestamps", "pre_filter_ids", "not_like_vec", "recent_days", "like_ids",
                               "traj_from_vec", "traj_to_vec", "mask")}
    assert sc(**SC_BASE, **nones, limit=4) == base


# -- id_to_idx -------------------------------------------------------------------------------------

class LyingDict(dict):
    """Overridden views that disagree with the storage: the storage is what counts."""

    def items(self):
        return [(k, 3) for k in dict.keys(self)]

    def keys(self):
        return ["zz"]

    def values(self):
        return [3] * len(self)

    def __iter__(self):
        return iter(["zz"])

    def __getitem__(self, k):
        return 3


@pytest.mark.parametrize("mapping", [
    {k: np.int64(v) for k, v in D.items()},
    {k: np.uint8(v) for k, v in D.items()},
    {Text(k): v for k, v in D.items()},
    {**D, "a": False, "b": True},
    LyingDict(D),
], ids=["int64", "uint8", "str-subclass", "bool", "dict-subclass"])
def test_id_to_idx_accepted(mapping):
    expected = sc(**SC_BASE, pre_filter_ids=["b", "c"], like_ids=["a"])
    assert call(sc, id_to_idx=mapping, pre_filter_ids=["b", "c"], like_ids=["a"]) == expected


def test_id_to_idx_dict_growing_during_conversion():
    d = {}

    class Grow:
        def __index__(self):
            d["".join(["new", str(len(d))])] = 0
            return 0

    d.update({"a": Grow(), "b": 1})
    e = raises_exactly(type(_panic()), "dictionary changed size during iteration", sc, id_to_idx=d)
    assert type(e).__name__ == "PanicException"


def test_id_to_idx_keys_replaced_during_conversion():
    d = {}

    class Swap:
        def __index__(self):
            # drops the only reference to the key being converted
            del d[next(iter(d))]
            d["".join(["la", "st"])] = 2
            return 0

    d.update({"".join(["fi", "rst"]): Swap(), "b": 1})
    raises_exactly(type(_panic()), "dictionary keys changed during iteration", sc, id_to_idx=d)


def _panic():
    try:
        mmr([5], SIMS, M[:2], 1, 0.5)
    except BaseException as e:
        return e


# -- booleans, unsigned integers and floats: what the value becomes ---------------------------------

@pytest.mark.parametrize("value, n", [(True, 1), (np.bool_(True), 1), (False, 0), (np.bool_(False), 0)])
def test_boolean_values(value, n):
    # with limit 0 only the diverse selection returns a row
    assert len(sc(**SC_BASE, diverse=value, limit=0)) == n
    assert sc(**SC_BASE, recent=value) == sc(**SC_BASE)


class IndexOnly:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatOnly:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IntWithIndex(int):
    def __index__(self):
        return 1


@pytest.mark.parametrize("value, n", [(True, 1), (np.int64(2), 2), (np.uint64(3), 3), (IndexOnly(3), 3),
                                      (IntWithIndex(2), 2), (2**64 - 1, 4), (0, 0)])
def test_unsigned_values(value, n):
    assert len(sc(**SC_BASE, limit=value)) == n
    assert len(mmr([0, 1, 2, 3], SIMS, M, value, 0.5)) == max(n, 1)


@pytest.mark.parametrize("value", [-1.0, 0.25, 2, np.float32(0.25), FloatOnly(-1.0), FloatOnly(0.25), IndexOnly(2)])
def test_float_values(value):
    # with k 0 the only tuple is (candidates[0], similarities[candidates[0]] * lambda_)
    lam = float(value) if not isinstance(value, IndexOnly) else 2.0
    assert mmr([2], SIMS, M, 0, value) == [(2, float(SIMS[2]) * lam)]
    assert sc(**SC_BASE, mmr_lambda=value, diverse=True, limit=2) == \
        sc(**SC_BASE, mmr_lambda=lam, diverse=True, limit=2)


@pytest.mark.parametrize("value", [1, FloatOnly(1.0), IndexOnly(1)])
def test_threshold_from_non_float(value):
    assert sc(**SC_BASE, threshold=value, limit=4) == sc(**SC_BASE, threshold=1.0, limit=4)


def test_threshold_rounded_to_float32():
    m = np.array([[0.5, 0, 0], [0.25, 0, 0]], np.float32)
    q = np.array([1, 0, 0], np.float32)
    ids, d = ["half", "quarter"], {"half": 0, "quarter": 1}
    # 0.5 + 2**-30 rounds to the float32 0.5, so a score of exactly 0.5 stays
    assert sc(m, ids, d, q, threshold=0.5 + 2**-30) == [{"id": "half", "score": 0.5}]
    # 0.5 + 2**-22 is a float32 of its own, above the score
    assert sc(m, ids, d, q, threshold=0.5 + 2**-22) == []


# -- error prefix rule -----------------------------------------------------------------------------

class MyTypeError(TypeError):
    pass


CAUSE = KeyError("k")


class Raiser:
    def __init__(self, make):
        self.make = make

    def __index__(self):
        raise self.make()

    __float__ = __index__


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def chained():
    try:
        raise CAUSE
    except KeyError:
        raise TypeError("x") from CAUSE


@pytest.mark.parametrize("param", ["limit", "threshold"])
@pytest.mark.parametrize("make, exc, text", [
    (lambda: MyTypeError("boom"), MyTypeError, "boom"),
    (lambda: ValueError("bad value"), ValueError, "bad value"),
    (lambda: TypeError("plain"), TypeError, "argument '{}': plain"),
])
def test_prefix_only_exact_type_error(param, make, exc, text):
    raises_exactly(exc, text.format(param), sc, **{param: Raiser(make)})


class ChainedIndex:
    def __index__(self):
        chained()


def test_prefix_copies_cause():
    e = raises_exactly(TypeError, "argument 'oversample': x", sc, oversample=ChainedIndex())
    assert e.__cause__ is CAUSE


def test_prefix_unprintable_text(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    raises_exactly(TypeError, "argument 'limit': <unprintable TypeError object>", sc,
                   limit=Raiser(lambda: TypeError(Unprintable())))
    assert len(seen) == 1 and type(seen[0].exc_value) is RuntimeError


def test_first_failure_wins_in_parameter_order():
    log = []

    class Rec:
        def __init__(self, name, ok=True):
            self.name, self.ok = name, ok

        def __index__(self):
            log.append(self.name)
            if not self.ok:
                raise TypeError("no")
            return 1

        __float__ = lambda self: float(self.__index__())

    raises_exactly(TypeError, f"argument 'matrix': 'list' {PA}", sc, matrix=[], query_vec=[])
    raises_exactly(TypeError, "argument 'ids': 'set' object cannot be converted to 'Sequence'", sc,
                   ids=set(), id_to_idx=None, diverse=0)
    args = dict(id_to_idx={"a": Rec("id_to_idx")}, limit=Rec("limit"), oversample=Rec("oversample"),
                mmr_lambda=Rec("mmr_lambda"), recent_days=Rec("recent_days"))
    sc(**{**SC_BASE, **args}, threshold=Rec("threshold"))
    assert log == ["id_to_idx", "limit", "oversample", "threshold", "mmr_lambda", "recent_days"]
    log.clear()
    raises_exactly(TypeError, "argument 'threshold': no", sc, **args, threshold=Rec("threshold", ok=False),
                   mask=[1])
    assert log == ["id_to_idx", "limit", "oversample", "threshold"]
    log.clear()
    raises_exactly(TypeError, "argument 'k': no", mmr, candidates=[Rec("c0"), Rec("c1")],
                   k=Rec("k", ok=False), lambda_=Rec("lambda_"))
    assert log == ["c0", "c1", "k"]


class Row(int):
    """An int subclass: a valid row index that is not of the common kind."""


@pytest.mark.parametrize("n", [100, 5000])
@pytest.mark.parametrize("at", [0, 63, 64, 65, -1])
@pytest.mark.parametrize("kind, exc, text", [
    ("text", None, None),
    ("row", None, None),
    ("item", TypeError, "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ("key", TypeError, "argument 'id_to_idx': 'int' object cannot be converted to 'PyString'"),
    ("item+key", TypeError, "argument 'ids': 'int' object cannot be converted to 'PyString'"),
    ("value", OverflowError, "can't convert negative int to unsigned"),
])
def test_long_inputs_checked_whole(n, at, kind, exc, text):
    # One uncommon item or entry anywhere in a long list or dict: a valid one converts as usual,
    # an invalid one raises, and the list's error comes before the dict's.
    at %= n
    ids = [f"d{i}" for i in range(n)]
    keys, rows = list(ids), list(range(n))
    if kind == "text":
        ids[at] = keys[at] = f"\u00e9t\u00e9-{at}"
    if kind == "row":
        rows[at] = Row(at)
    if kind in ("item", "item+key"):
        ids[at] = 7
    if kind in ("key", "item+key"):
        keys[at] = 7
    if kind == "value":
        rows[at] = -1
    m = np.full((n, 3), 0.1, dtype=np.float32)
    m[at] = [1, 0, 0]
    args = dict(matrix=m, ids=ids, id_to_idx=dict(zip(keys, rows)), query_vec=np.array([1, 0, 0], np.float32))
    if exc is not None:
        with pytest.raises(exc) as info:
            sc(**args)
        assert str(info.value) == text
        return
    assert sc(**args, limit=1) == [{"id": ids[at], "score": 1.0}]
    assert sc(**args, pre_filter_ids=[ids[at], ids[at - 1]])[0]["id"] == ids[at]

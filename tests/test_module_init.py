import importlib
import inspect
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tarnexa

SC_SIG = ("(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, not_like_vec=None, "
          "diverse=False, limit=10, oversample=200, threshold=0.0, mmr_lambda=0.7, recent=False, "
          "recent_days=None, like_ids=None, traj_from_vec=None, traj_to_vec=None, mask=None)")
SC_DOC = (
    "Score and select candidates with composable landscape modulations.\n\n"
    "All text\u2192vector conversions must be done in Python before calling.\n"
    "This function takes pure arrays and returns scored results.\n\n"
    "Args:\n"
    "    matrix: Normalized embedding matrix (n, dims), float32.\n"
    "    ids: Document IDs aligned with matrix rows.\n"
    "    id_to_idx: {id: row_index} mapping.\n"
    "    query_vec: Query embedding (dims,), will be normalized.\n"
    "    timestamps: Optional (n,) float64 epoch seconds.\n"
    "    pre_filter_ids: Optional set of IDs to restrict search.\n"
    "    not_like_vec: Optional negative query for contrastive.\n"
    "    diverse: Enable MMR diversity selection.\n"
    "    limit: Max results.\n"
    "    oversample: Candidate pool size.\n"
    "    threshold: Minimum similarity cutoff.\n"
    "    mmr_lambda: Relevance vs diversity (0-1).\n"
    "    recent: Apply temporal decay.\n"
    "    recent_days: Half-life in days for temporal decay.\n"
    "    like_ids: Optional list of IDs for centroid blending.\n"
    "    traj_from_vec: Optional trajectory start vector.\n"
    "    traj_to_vec: Optional trajectory end vector.\n\n"
    "Returns list of dicts with 'id' and 'score' keys."
)
FUNCS = {
    "parse_modifiers": (
        "(modifier_str=None)",
        "Parse a modifier string into modulation parameters.\n\n"
        "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
        "like, trajectory_from, trajectory_to, local_communities.",
    ),
    "score_candidates": (SC_SIG, SC_DOC),
    "mmr_select_py": (
        "(candidates, similarities, matrix, k, lambda_)",
        "MMR: iteratively select for relevance minus redundancy.\nReturns list of (index, mmr_score) tuples.",
    ),
}


def test_module_attributes():
    assert _tarnexa.__all__ == ["parse_modifiers", "score_candidates", "mmr_select_py"]
    assert type(_tarnexa.__all__) is list
    assert _tarnexa.__doc__ == ""
    assert _tarnexa.__name__ == "_tarnexa"
    assert not hasattr(_tarnexa, "PanicException")


@pytest.mark.parametrize("name", list(FUNCS))
def test_function_objects(name):
    sig, doc = FUNCS[name]
    fn = getattr(_tarnexa, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__doc__ == doc
    assert fn.__text_signature__ == sig
    signature = inspect.signature(fn)
    assert str(signature) == sig
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert fn.__self__ is _tarnexa
    assert fn.__module__ == "_tarnexa"


def test_reimport_returns_cached_module():
    saved = sys.modules.pop("_tarnexa")
    try:
        again = importlib.import_module("_tarnexa")
    finally:
        sys.modules["_tarnexa"] = saved
    assert again is saved
    assert again.__all__ == ["parse_modifiers", "score_candidates", "mmr_select_py"]
    assert again.parse_modifiers is saved.parse_modifiers


# "legacy" interpreters let a single-phase module reach its own init; isolated ones are refused by CPython.
SUBINTERP = textwrap.dedent("""
    import _interpreters, _tarnexa
    for _ in range(2):
        interp = _interpreters.create({config!r})
        err = _interpreters.exec(interp, "import _tarnexa")
        _interpreters.destroy(interp)
        print(err.type.__name__ if err is not None else "no error")
        print(err.msg if err is not None else "")
    print(_tarnexa.parse_modifiers("diverse")["diverse"], _tarnexa.__all__)
""")


@pytest.mark.skipif(sys.version_info < (3, 13), reason="CPython 3.13's _interpreters module")
@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_subinterpreter_import_refused(config):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(_tarnexa.__file__), os.path.dirname(os.path.dirname(np.__file__))]))
    out = subprocess.run([sys.executable, "-c", SUBINTERP.format(config=config)], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 5, out.stdout
    for kind, msg in (lines[0:2], lines[2:4]):
        assert kind == "ImportError"
        assert re.search(r"sub-?interpreters", msg), msg
    assert lines[4] == "True ['parse_modifiers', 'score_candidates', 'mmr_select_py']"


# -- the internal-fault exception -----------------------------------------------------------------

def bad_row_call():
    return _tarnexa.mmr_select_py([5], np.zeros(3, np.float32), np.zeros((2, 2), np.float32), 1, 0.5)


def test_panic_exception_class(capfd):
    with pytest.raises(BaseException) as info:
        bad_row_call()
    e = info.value
    cls = type(e)
    assert cls.__name__ == "PanicException" and cls.__module__ == "brenmor_runtime"
    assert cls.__bases__ == (BaseException,) and not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__
    assert str(e) == "assertion failed: index < dim" and e.args == ("assertion failed: index < dim",)
    err = capfd.readouterr().err
    assert "assertion failed: index < dim" in err and re.search(r":\d+", err)
    # the class is created once per process
    with pytest.raises(cls):
        bad_row_call()


def test_panic_not_caught_by_except_exception():
    caught = None
    try:
        try:
            bad_row_call()
        except Exception:  # must not match
            caught = "Exception"
    except BaseException as e:
        caught = type(e).__name__
    assert caught == "PanicException"


def test_module_usable_after_panic(base):
    args = list(base.values())
    before = _tarnexa.score_candidates(*args)
    bad = dict(base, id_to_idx={"x": 10**6}, like_ids=["x"])
    for _ in range(3):
        with pytest.raises(BaseException, match="index") as info:
            _tarnexa.score_candidates(**bad)
        assert type(info.value).__name__ == "PanicException"
    assert _tarnexa.score_candidates(*args) == before
    assert _tarnexa.mmr_select_py([0, 1], np.ones(4, np.float32), base["matrix"], 2, 0.5)[0][0] == 0


class PanickyNumber:
    """Its conversion calls into the module with a bad row and lets the fault escape."""

    def __init__(self):
        self.inner = None

    def _fault(self):
        try:
            bad_row_call()
        except BaseException as e:
            self.inner = e
            raise

    def __index__(self):
        self._fault()

    def __float__(self):
        self._fault()


@pytest.mark.parametrize("param", ["limit", "threshold", "recent_days"])
def test_panic_inside_argument_conversion(base, param, capfd):
    obj = PanickyNumber()
    with pytest.raises(BaseException) as info:
        _tarnexa.score_candidates(**base, **{param: obj})
    outer = info.value
    assert type(outer) is type(obj.inner) and type(outer).__name__ == "PanicException"
    assert str(outer) == "assertion failed: index < dim"
    assert outer is not obj.inner
    assert capfd.readouterr().err.count("assertion failed: index < dim") >= 2
    assert _tarnexa.score_candidates(**base)

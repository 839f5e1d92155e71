"""The type stubs against the built module, and mypy --strict on the examples and the package."""

import ast
import copy
import importlib.util
import inspect
import os
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _tarnexa
from test_int8 import native_test

from tarnexa import _native

ROOT = Path(__file__).resolve().parent.parent
STUB = ast.parse((ROOT / "_tarnexa.pyi").read_text(encoding="utf-8"))
FUNCS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}
CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef)}
STUB_ALL = next(ast.literal_eval(n.value) for n in STUB.body
                if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__")


def test_stub_declares_exactly_the_module_functions():
    assert STUB_ALL == _tarnexa.__all__ == list(FUNCS)
    public = {name for name in dir(_tarnexa) if not name.startswith("_")}
    assert public == set(FUNCS)  # no runtime name missing from the stub, none invented


@pytest.mark.parametrize("name", _tarnexa.__all__)
def test_signature_and_docstring_match(name):
    fn, stub = getattr(_tarnexa, name), FUNCS[name]
    args = stub.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    stub_params = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(args.args, defaults)]
    runtime = [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]
    assert stub_params == runtime
    # Defaults must agree in type too (0.0 is not 0, None is not False).
    assert [type(d) for *_, d in stub_params] == [type(d) for *_, d in runtime]
    assert all(a.annotation is not None for a in args.args) and stub.returns is not None
    assert inspect.cleandoc(fn.__doc__) == fn.__doc__  # so cleaning the stub's copy loses nothing
    assert ast.get_docstring(stub, clean=True) == fn.__doc__


def stub_signature(node):
    """The signature a stub's def declares (its annotations left out)."""
    bare = copy.deepcopy(node)
    for a in [*bare.args.posonlyargs, *bare.args.args, *bare.args.kwonlyargs]:
        a.annotation = None
    bare.returns, bare.body, bare.decorator_list = None, [ast.Pass()], []
    scope = {}
    exec(compile(ast.fix_missing_locations(ast.Module([bare], [])), "<stub>", "exec"), scope)
    return inspect.signature(scope[node.name])


def parameters(sig, method=False):
    """(name, kind, default, type of default) of each parameter; a method's instance left out."""
    ps = list(sig.parameters.values())[method:]
    return [(p.name, p.kind, p.default, type(p.default)) for p in ps]


def declared(node):
    return {n.name: n for n in node.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}


@pytest.mark.parametrize("module", [_native, native_test()], ids=lambda m: m.__name__)
def test_native_stub_declares_the_module_as_built(module):
    """Every public name of the package's native modules is in their stub, with the runtime's
    signature (the text signature CPython reads from the docstring) and docstring; none invented."""
    stub = ast.parse((ROOT / "tarnexa" / f"{module.__name__.split('.')[1]}.pyi").read_text(encoding="utf-8"))
    names = declared(stub)
    assert set(names) == {n for n in dir(module) if not n.startswith("_")}
    for name, node in names.items():
        members = [(getattr(module, name), node, False)]
        if isinstance(node, ast.ClassDef):
            cls, methods = getattr(module, name), declared(node)
            assert set(methods) == {n for n in vars(cls) if not n.startswith("_")}
            members = [(getattr(cls, n), m, True) for n, m in methods.items()]
            assert ast.get_docstring(node) == cls.__doc__
        for obj, fn, method in members:
            assert all(a.annotation is not None for a in fn.args.args[method:]) and fn.returns is not None
            assert parameters(stub_signature(fn), method) == parameters(inspect.signature(obj), method), name
            doc = ast.get_docstring(fn, clean=True)
            assert doc is None or doc == obj.__doc__, fn.name


def conforms(value, ann):
    """Whether value is an instance of the stub annotation `ann` (the forms the stub uses)."""
    if isinstance(ann, ast.BinOp) and isinstance(ann.op, ast.BitOr):
        return conforms(value, ann.left) or conforms(value, ann.right)
    if isinstance(ann, ast.Constant) and ann.value is None:
        return value is None
    if isinstance(ann, ast.Subscript):
        outer, inner = ann.value.id, ann.slice
        if outer == "list":
            return type(value) is list and all(conforms(v, inner) for v in value)
        assert outer == "tuple", ast.unparse(ann)
        return (type(value) is tuple and len(value) == len(inner.elts)
                and all(conforms(v, a) for v, a in zip(value, inner.elts)))
    if ann.id in CLASSES:  # a TypedDict: exactly its keys, in declaration order
        fields = [f for f in CLASSES[ann.id].body if isinstance(f, ast.AnnAssign)]
        return (type(value) is dict and list(value) == [f.target.id for f in fields]
                and all(conforms(value[f.target.id], f.annotation) for f in fields))
    return type(value) is {"int": int, "float": float, "str": str, "bool": bool}[ann.id]


M = np.array([[1, 0, 0], [0.6, 0.8, 0], [0, 0.6, 0.8], [0, 0, 1]], dtype=np.float32)
IDS = ["a", "b", "c", "d"]
MAP = {d: i for i, d in enumerate(IDS)}


@pytest.mark.parametrize("name, args, kwargs", [
    ("parse_modifiers", (), {}),
    ("parse_modifiers", ("recent:7 unlike:x like:a,b from: p to: q limit:3 diverse local_communities",), {}),
    ("parse_modifiers", ("limit:18446744073709551615 recent:-9223372036854775808",), {}),
    ("score_candidates", (M, IDS, MAP, M[1]), {}),
    ("score_candidates", (M, np.array(IDS), MAP, M[1]), {"diverse": np.True_, "limit": np.int64(2)}),
    ("score_candidates", (M, IDS, MAP, M[1]), {"pre_filter_ids": ["zz"]}),
    ("mmr_select_py", (np.array([3, 1], dtype=np.int64), M[:, 0].copy(), M, 2, 1), {}),
])
def test_results_have_the_stub_return_types(name, args, kwargs):
    value = getattr(_tarnexa, name)(*args, **kwargs)
    assert conforms(value, FUNCS[name].returns), (ast.unparse(FUNCS[name].returns), value)


def test_typed_example_runs(capsys):
    runpy.run_path(str(ROOT / "examples" / "typed_usage.py"), run_name="__main__")
    assert "modifiers:" in capsys.readouterr().out


# Mistakes a type checker must flag with the stubs, one per line from line 5 on.
REFUSED = textwrap.dedent("""\
    import numpy as np
    import _tarnexa
    m = np.zeros((2, 3), np.float32); q = np.zeros(3, np.float32); ids = ["a"]; d = {"a": 0}
    m64 = np.zeros((2, 3), np.float64)  # (NumPy typing lets a float16 array pass as float32)
    _tarnexa.score_candidates(m64, ids, d, q)
    _tarnexa.score_candidates(m, {"a", "b"}, d, q)
    _tarnexa.score_candidates(m, ids, {"a": 0.5}, q)
    _tarnexa.score_candidates(m, ids, d, q, timestamps=q)
    _tarnexa.score_candidates(m, ids, d, q, diverse=1)
    _tarnexa.score_candidates(m, ids, d, q, limit=1.5)
    _tarnexa.score_candidates(m, ids, d, q, threshold="0.5")
    _tarnexa.score_candidates(m, ids, d, q, mask=q)
    _tarnexa.score_candidates(m, ids, d, q, like_id=["a"])
    _tarnexa.score_candidates(m, ids, d, q)[0]["rank"]
    _tarnexa.mmr_select_py({0, 1}, q, m, 2, 0.5)
    _tarnexa.mmr_select_py([0, 1], q, m, 2)
    _tarnexa.parse_modifiers(b"limit:3")
    _tarnexa.parse_modifiers()["limit"] + 1
    _tarnexa.PanicException
""")


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (it comes with the test extra: pip install .[test])")
    work = tmp_path_factory.mktemp("mypy")
    env = {**os.environ, "MYPYPATH": str(ROOT)}  # finds _tarnexa.pyi in the source tree

    def run(*files):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--no-error-summary",
             "--cache-dir", str(work / "cache"), *map(str, files)],
            cwd=work, env=env, capture_output=True, text=True, timeout=600)
    run.work = work
    return run


@pytest.mark.parametrize("example", ["examples/typed_usage.py", "examples/demo.py", "examples/recall.py", "tarnexa"])
def test_mypy_strict_accepts_example(mypy, example):
    result = mypy(ROOT / example)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_refuses_wrong_calls(mypy):
    bad = mypy.work / "refused.py"
    bad.write_text(REFUSED)
    result = mypy(bad)
    flagged = {int(n) for n in re.findall(r"refused\.py:(\d+): error:", result.stdout)}
    assert flagged == set(range(5, REFUSED.count("\n") + 1)), result.stdout + result.stderr

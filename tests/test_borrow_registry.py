import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _tarnexa
from borrow_participant import Participant, multiarray

def call_with(vec: np.ndarray):
    """A scoring call that borrows `vec` (as not_like_vec) and a matrix of matching width."""
    m = np.eye(len(vec), dtype=np.float32)
    ids = [str(i) for i in range(len(vec))]
    return _tarnexa.score_candidates(m, ids, {k: i for i, k in enumerate(ids)}, np.ones(len(vec), np.float32),
                                     not_like_vec=vec)


def assert_refused(fn):
    with pytest.raises(BaseException) as e:
        fn()
    assert type(e.value).__name__ == "PanicException"
    assert str(e.value).endswith("AlreadyBorrowed")


@pytest.fixture(autouse=True)
def registry_ready():
    call_with(np.ones(2, np.float32))  # makes sure the registry exists


def test_capsule_on_the_multiarray_module():
    expected = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
    assert multiarray().__name__ == expected
    assert type(getattr(multiarray(), "_VELDT_NUMPY_BORROW_CHECKING_API")).__name__ == "PyCapsule"


BUF = np.arange(64, dtype=np.float32)


@pytest.mark.parametrize(
    "held, ours, conflict",
    [
        (slice(10, 20), slice(15, 25), True),  # overlapping slices
        (slice(10, 20), slice(20, 30), False),  # adjacent, disjoint
        (slice(10, 20), slice(30, 40), False),
        (slice(0, None, 2), slice(1, None, 2), False),  # even and odd elements interleave
        (slice(0, None, 2), slice(2, None, 2), True),  # same lattice
        (slice(0, 8, 4), slice(2, 3), True),  # ranges overlap on a common lattice, no shared element
        (slice(None), slice(None, None, -1), True),  # reversed view of the same bytes
    ],
)
def test_exclusive_borrow_of_another_participant(held, ours, conflict):
    base = BUF.copy()
    with Participant() as p:
        assert p.acquire_mut(base[held]) == 0
        if conflict:
            assert_refused(lambda: call_with(base[ours]))
        else:
            call_with(base[ours])
    call_with(base[ours])  # released: accepted again


def test_exclusive_refused_while_shared_and_for_read_only():
    a = BUF.copy()
    with Participant() as p:
        assert p.acquire(a) == 0
        assert p.acquire(a) == 0  # two readers
        assert p.acquire_mut(a[3:5]) == -1
        p.release(a)
        assert p.acquire_mut(a[3:5]) == -1
        p.release(a)
        assert p.acquire_mut(a[3:5]) == 0
        ro = BUF.copy()
        ro.flags.writeable = False
        assert p.acquire_mut(ro) == -2


def test_same_array_in_two_parameters_and_nothing_left_registered():
    v = np.ones(4, np.float32)
    m = np.eye(4, dtype=np.float32)
    ids = list("abcd")
    d = {k: i for i, k in enumerate(ids)}
    outcomes = [
        lambda: _tarnexa.score_candidates(m, ids, d, v, not_like_vec=v, traj_from_vec=v, traj_to_vec=v),
        lambda: _tarnexa.score_candidates(m, ids, d, v[:3]),  # ValueError
        lambda: _tarnexa.score_candidates(m, ids, d, v, limit="x"),  # conversion error after arrays
        lambda: _tarnexa.score_candidates(m, ids, {"a": 99}, v, like_ids=["a"]),  # internal fault
        lambda: _tarnexa.mmr_select_py([9], v, m, 1, 0.5),  # internal fault
        lambda: _tarnexa.mmr_select_py([0, 1], v, m, 2, 0.5),
    ]
    for fn in outcomes:
        try:
            fn()
        except BaseException:
            pass
        with Participant() as p:  # an exclusive borrow succeeds only if no shared one is left
            assert p.acquire_mut(v) == 0
            assert p.acquire_mut(m) == 0


def run_fresh(code: str) -> subprocess.CompletedProcess:
    here = Path(__file__).parent
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(Path(_tarnexa.__file__).parent), env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          cwd=here, env=env, timeout=120)


FOREIGN = """
    import sys; sys.path.insert(0, '.')
    import numpy as np
    from borrow_participant import install_foreign
    calls = []
    keep = install_foreign(version={version}, acquire_rc={rc}, calls=calls)
    import _tarnexa
    v = np.ones(2, np.float32)
    try:
        _tarnexa.mmr_select_py([0], v, np.eye(2, dtype=np.float32), 1, 1.0)
        print("OK")
    except BaseException as e:
        print(type(e).__name__, str(e).splitlines()[0])
    print(calls)
    print(_tarnexa.parse_modifiers("diverse")["diverse"])
"""


@pytest.mark.parametrize(
    "version, rc, expected",
    [
        (1, 0, "OK"),
        (1, 7, "PanicException Unexpected return code 7 from borrow checking API"),
        (1, -1, "AlreadyBorrowed"),
        (0, 0, "PanicException Interal borrow checking API error: TypeError"),
    ],
)
def test_registry_installed_by_another_participant_is_used(version, rc, expected):
    r = run_fresh(FOREIGN.format(version=version, rc=rc))
    out = r.stdout.splitlines()
    assert r.returncode == 0, r.stderr
    assert expected in out[0]
    if version == 1:
        acquires = [c for c in eval(out[1]) if c[0] == "acquire"]
        releases = [c for c in eval(out[1]) if c[0] == "release"]
        assert acquires and (len(releases) == len(acquires) if rc == 0 else not releases[1:])
    assert out[-1] == "True"  # the module stays usable


def test_attribute_that_is_not_a_capsule():
    r = run_fresh("""
        import numpy as np, sys
        sys.path.insert(0, '.')
        from borrow_participant import multiarray
        setattr(multiarray(), "_VELDT_NUMPY_BORROW_CHECKING_API", 42)
        import _tarnexa
        v = np.ones(2, np.float32)
        for _ in range(2):
            try:
                _tarnexa.mmr_select_py([0], v, np.eye(2, dtype=np.float32), 1, 1.0)
            except BaseException as e:
                print(type(e).__name__, str(e).splitlines()[0])
        delattr(multiarray(), "_VELDT_NUMPY_BORROW_CHECKING_API")
        print(_tarnexa.mmr_select_py([0], v, np.eye(2, dtype=np.float32), 1, 1.0))
    """)
    out = r.stdout.splitlines()
    msg = "PanicException Interal borrow checking API error: TypeError: 'int' object cannot be converted to 'PyCapsule'"
    assert out[:2] == [msg, msg], r.stderr
    assert out[2] == "[(0, 1.0)]"


def test_many_arrays_borrowed_and_released_in_turn():
    # Releasing frees the registry's records for reuse; reused ones must start empty and take
    # the new array's identity, whatever order the arrays come and go in.
    arrays = [np.ones(3, np.float32) for _ in range(20)]
    for rounds in range(3):
        with Participant() as p:
            order = arrays if rounds != 1 else arrays[::-1]
            assert all(p.acquire_mut(a) == 0 for a in order)
            for a in order[::2]:
                p.release_mut(a)
            for i, a in enumerate(order):
                if i % 2:
                    assert_refused(lambda a=a: call_with(a))
                else:
                    call_with(a)
                    assert p.acquire_mut(a[1:]) == 0  # nothing of ours is left on it
    with Participant() as p:
        assert all(p.acquire_mut(a) == 0 for a in arrays)

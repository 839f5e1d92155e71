"""Writers killed (SIGKILL) at every step of their commit protocols: each write, flush, rename
and lock of Cache.create and Cache.append. After each kill the cache reopens as the previous
state or the new one, whole; the lock is free; the next write works on what was left."""

import errno
import fcntl
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from tarnexa import Cache, CacheError

ROOT = Path(__file__).resolve().parent.parent


def rows(start, n, dims=4):
    """Rows start..start+n-1: vectors, ids and timestamps that follow from the row number."""
    rng = np.random.default_rng(start)
    return (rng.standard_normal((n, dims)).astype(np.float32), [f"ü{i}" for i in range(start, start + n)],
            1.6e9 + np.arange(start, start + n, dtype=np.float64))


# One child process runs the operation once to learn its steps, then once per step in a forked
# child that kills itself at that step, each on its own copy of the starting cache.
DRIVER = textwrap.dedent("""
    import json, os, shutil, signal, sys
    sys.path.insert(0, sys.argv[4])
    from test_crash import rows
    from tarnexa.storage import steps
    from tarnexa.storage.cache import Cache
    op, start, work = sys.argv[1:4]

    def run(path):
        if op == "create":
            Cache.create(path, *rows(0, 300))
        else:
            Cache.open(path).append(*rows(300, 200))

    def fresh(name):
        path = os.path.join(work, name)
        if op == "append":
            shutil.copytree(start, path)
        return path

    names = []
    steps.hook = names.append
    run(fresh("dry"))
    report = []
    for k, name in enumerate(names, 1):
        path = fresh(f"k{k}")
        pid = os.fork()
        if pid == 0:
            seen = [0]
            def kill_at_k(step):
                seen[0] += 1
                if seen[0] == k:
                    os.kill(os.getpid(), signal.SIGKILL)
            steps.hook = kill_at_k
            run(path)
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        report.append([name, os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL])
    print(json.dumps(report))
""")


def state(path):
    c = Cache.open(path)
    return c.vectors.copy(), list(c.ids), c.timestamps.copy()


def same(got, want):
    return all(np.array_equal(a, b) if isinstance(a, np.ndarray) else a == b for a, b in zip(got, want))


def lock_is_free(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False
    finally:
        os.close(fd)


@pytest.mark.parametrize("op", ["create", "append"])
def test_a_writer_killed_at_every_step(tmp_path, op):
    start = tmp_path / "start"
    Cache.create(start, *rows(0, 300))
    old, new = state(start), tuple(np.concatenate([a, b]) if isinstance(a, np.ndarray) else a + b
                                   for a, b in zip(state(start), rows(300, 200)))
    if op == "create":
        old, new = None, state(start)
    env = {**os.environ, "OPENBLAS_NUM_THREADS": "1",
           "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, "-c", DRIVER, op, str(start), str(tmp_path), str(ROOT / "tests")],
                          env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert len(report) >= 18  # every write, flush, rename and the lock: not a handful
    seen_new = False
    for k, (name, killed) in enumerate(report, 1):
        path = tmp_path / f"k{k}"
        assert killed, name
        if old is None and not path.exists():  # a create killed before its rename: nothing there
            assert not seen_new, name
            Cache.create(path, *rows(0, 300))  # and the name is free; the abandoned copy is removed
            assert [p.name for p in tmp_path.glob(f".k{k}.tmp-*")] == []
            continue
        got = state(path)
        assert same(got, new) or (old is not None and same(got, old)), name
        assert not (seen_new and not same(got, new)), f"{name}: back to the old state after the new one"
        seen_new = same(got, new)
        assert lock_is_free(path), name
        if not seen_new:
            Cache.open(path).append(*rows(300, 200))  # over whatever the killed append left
        Cache.open(path).append(*rows(900, 3))
        assert same(state(path), tuple(np.concatenate([a, b]) if isinstance(a, np.ndarray) else a + b
                                       for a, b in zip(new, rows(900, 3)))), name
    assert seen_new, "the last step leaves the new state"
    names = [name for name, _ in report]
    assert {"rename manifest.json", "write vectors.npy", "sync ids.utf8", "header timestamps.npy"} <= set(names)


def test_refuse_to_open_what_a_killed_create_left(tmp_path):
    """The directory a create writes into is not a cache until its rename."""
    Cache.create(tmp_path / "c", *rows(0, 5))
    (tmp_path / "c" / "manifest.json").unlink()
    with pytest.raises(CacheError, match="it has no manifest.json"):
        Cache.open(tmp_path / "c")


@pytest.mark.parametrize("op", ["create", "append"])
def test_an_io_error_at_every_step(tmp_path, op):
    """An OSError at any step: before the commit the error says the previous state was kept
    (and the space is given back); after it, the error says the rows are there, and they are."""
    from tarnexa.storage import steps
    start = tmp_path / "start"
    Cache.create(start, *rows(0, 300))
    sizes = {p.name: p.stat().st_size for p in start.iterdir()}
    names = []
    steps.hook = names.append
    try:
        (Cache.create(tmp_path / "dry", *rows(0, 300)) if op == "create" else
         Cache.open(tmp_path / "start").append(*rows(300, 1)))
    finally:
        steps.hook = None
    shutil.rmtree(start)
    Cache.create(start, *rows(0, 300))
    for k, name in enumerate(names, 1):
        path = tmp_path / f"k{k}"
        calls = []

        def fail_at_k(step, k=k):
            calls.append(step)
            if len(calls) == k:
                raise OSError(errno.EIO, "Input/output error")

        if op == "append":
            shutil.copytree(start, path)
        steps.hook = fail_at_k
        try:
            (Cache.create(path, *rows(0, 300)) if op == "create" else Cache.open(path).append(*rows(300, 1)))
            message = None
        except OSError as e:
            message = str(e)
        finally:
            steps.hook = None
        if op == "create":
            kept = not path.exists()
            assert [p.name for p in tmp_path.glob(f".k{k}.tmp-*")] == [], name
        else:
            kept = len(Cache.open(path)) == 300
            assert not kept or {p.name: p.stat().st_size for p in path.iterdir()} == sizes, name  # space given back
        if kept:
            assert message is not None and ("keeps its 300 rows" in message or "could not create" in message
                                            or name == "lock"), (name, message)
        else:
            assert len(Cache.open(path)) == (300 if op == "create" else 301), name
            assert message is None or "but could not flush" in message, (name, message)

"""Writers killed (SIGKILL) at every step of their commit protocols: each write, flush, rename
and lock of Cache.create and Cache.append. After each kill the cache reopens as the previous
state or the new one, whole; the lock is free; the next write works on what was left."""

import contextlib
import errno
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import warnings
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


# ---- the index folder under faults -----------------------------------------------------------

sys.path.insert(0, str(ROOT / "tests"))
from test_index import corpus, embed  # noqa: E402

import tarnexa  # noqa: E402
from tarnexa.errors import StorageWarning  # noqa: E402


def made_index(path):
    ids, texts, titles, stamps = corpus()
    with tarnexa.Index.create(path, embedder=embed) as idx:
        idx.add(texts, ids=ids, titles=titles, timestamps=stamps)
    return dict(zip(ids, texts))


# Each operation sets off a compaction: 30 of 40 documents replaced, or deleted.
OPS = {"add": lambda idx, ids, texts: idx.add([t + " violin" for t in texts[:30]], ids=ids[:30]),
       "delete": lambda idx, ids, texts: idx.delete(ids[:30])}


def state_of(path):
    with tarnexa.Index.open(path, embedder=embed) as idx:
        state = {d: idx.document(d).text for d in idx.ids}
        for d in list(state)[::5]:  # each document's row is its own text's
            assert idx.search(state[d], "limit:1", pre_filter_ids=[d])[0].score == pytest.approx(1.0, abs=1e-4)
        return state


@pytest.mark.parametrize("op", sorted(OPS))
def test_a_full_disk_at_every_step_of_a_write_and_its_compaction(tmp_path, op):
    """ENOSPC at each step: an error means nothing was committed; after the commit the write
    succeeds (a warning when its compaction failed); the next write works and compacts."""
    from tarnexa.storage import steps
    before = made_index(tmp_path / "start.tnx")
    ids, texts = list(before), list(before.values())
    names: list[str] = []
    shutil.copytree(tmp_path / "start.tnx", tmp_path / "dry.tnx")
    steps.hook = names.append
    with tarnexa.Index.open(tmp_path / "dry.tnx", embedder=embed) as idx:
        OPS[op](idx, ids, texts)
    steps.hook = None
    after = state_of(tmp_path / "dry.tnx")
    assert "index: compact into a new cache" in names and "index: remove the old cache" in names
    points = [k for k, name in enumerate(names, 1) if not name.endswith("committed")]  # a mark, no I/O
    for k in points:
        path = tmp_path / f"k{k}.tnx"
        shutil.copytree(tmp_path / "start.tnx", path)
        calls = []

        def full(name, k=k):
            calls.append(name)
            if len(calls) == k:
                raise OSError(errno.ENOSPC, "No space left on device")

        with tarnexa.Index.open(path, embedder=embed) as idx, warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", StorageWarning)
            steps.hook, failed = full, None
            try:
                OPS[op](idx, ids, texts)
            except OSError as e:
                failed = e
            finally:
                steps.hook = None
            state = state_of(path)
            assert state == (before if failed else after) and (failed is None or failed.errno == errno.ENOSPC), k
            assert all(any(f"the write is committed, but {what}" in str(w.message)
                           for what in ("compacting", "bringing its keyword index"))
                       for w in caught if w.category is StorageWarning), names[k - 1]
            idx.add(["after the full disk"], ids=["z"])
            info = idx.info()
            assert len(idx) == len(state) + 1 and info["dead_rows"] <= 0.25 * (len(idx) + info["dead_rows"])
            assert [p.name for p in path.glob("*vectors-*")] == [info["cache"]]


LOSE_WAL = textwrap.dedent("""
    import os, signal, sys
    sys.path.insert(0, sys.argv[3])
    from test_index import embed
    import tarnexa
    from tarnexa.storage import steps
    seen = []
    def hook(name):
        seen.append(name)
        if len(seen) == int(sys.argv[2]):
            os.kill(os.getpid(), signal.SIGKILL)
    idx = tarnexa.Index.open(sys.argv[1], embedder=embed)
    steps.hook = hook
    idx.delete(sorted(idx.ids)[:30])
    print(len(seen))
    sys.stdout.flush()
    os.kill(os.getpid(), signal.SIGKILL)  # no close: nothing checkpoints on the way out
""")


def test_the_write_ahead_log_lost_after_a_killed_compaction(tmp_path):
    """The process killed at each step of a delete and its compaction, then docs.sqlite-wal and
    -shm deleted: the index opens and searches, holding the documents before or after."""
    before = made_index(tmp_path / "start.tnx")
    after = {d: t for d, t in before.items() if d not in sorted(before)[:30]}
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}

    def killed(path, at):
        shutil.copytree(tmp_path / "start.tnx", path)
        proc = subprocess.run([sys.executable, "-c", LOSE_WAL, str(path), str(at), str(ROOT / "tests")], env=env,
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == -signal.SIGKILL, proc.stderr
        for name in ("docs.sqlite-wal", "docs.sqlite-shm"):
            with contextlib.suppress(FileNotFoundError):
                (path / name).unlink()
        return proc.stdout

    total = int(killed(tmp_path / "all.tnx", 10**6))
    assert state_of(tmp_path / "all.tnx") == after
    for at in range(1, total + 1):
        killed(tmp_path / f"k{at}.tnx", at)
        assert state_of(tmp_path / f"k{at}.tnx") in (before, after), at


def test_an_index_replaced_under_a_long_lived_index_object(tmp_path):
    made_index(tmp_path / "i.tnx")
    idx = tarnexa.Index.open(tmp_path / "i.tnx", embedder=embed)
    assert idx.search("guitar chord")[0].id.startswith("music") and len(idx) == 40
    shutil.rmtree(tmp_path / "i.tnx")
    with tarnexa.Index.create(tmp_path / "i.tnx", embedder=embed) as other:
        other.add(["engine wheel brake", "apple pear"], ids=["car", "fruit"])
    hits = idx.search("engine wheel")
    assert [h.id for h in hits] == ["car", "fruit"] and hits[0].snippet == "engine wheel brake"
    assert len(idx) == 2 and idx.info()["documents"] == 2 and idx.document("car").text == "engine wheel brake"
    idx.add(["plum cherry"], ids=["more"])
    assert sorted(tarnexa.Index.open(tmp_path / "i.tnx", embedder=embed).ids) == ["car", "fruit", "more"]
    idx.close()


def test_creators_racing_for_one_path_end_with_one_index(tmp_path):
    from tarnexa.storage import steps
    path = tmp_path / "r.tnx"

    def other_first(name):
        if name == "index: rename into place" and not path.exists():
            steps.hook = None
            tarnexa.Index.create(path, embedder=embed).add(["the other one"], ids=["o"])

    steps.hook = other_first
    try:
        with pytest.raises(FileExistsError, match="already exists"):
            tarnexa.Index.create(path, embedder=embed)
    finally:
        steps.hook = None
    assert tarnexa.Index.open(path, embedder=embed).ids == ["o"]
    assert [p.name for p in tmp_path.iterdir()] == ["r.tnx"]


def flaky(texts):
    return np.random.default_rng().standard_normal((len(texts), 8))


@pytest.mark.parametrize("call, error, message", [
    (lambda idx: idx.add(["a", "b"], ids=["ok", "lone \ud800"]), ValueError, r"ids\[1\] holds a lone surrogate"),
    (lambda idx: idx.add(["lone \udfff"]), ValueError, r"texts\[0\] holds a lone surrogate"),
    (lambda idx: idx.add(["a"], titles=["\ud800"]), ValueError, r"titles\[0\] holds a lone surrogate"),
    (lambda idx: idx.add(["a"], timestamps=[10**400]), ValueError, r"timestamps\[0\] is too large"),
    (lambda idx: idx.search("guitar", limit=2**64), ValueError, "limit must be at most"),
    (lambda idx: idx.search("guitar", diverse=True, mmr_lambda=1e30), ValueError, "mmr_lambda must be a number from 0"),
    (lambda idx: idx.search("guitar", diverse=True, mmr_lambda=-5), ValueError, "mmr_lambda must be a number from 0"),
    (lambda idx: tarnexa.Index.create(idx.path.parent / "flaky.tnx", embedder=flaky), tarnexa.EmbedderError,
     "different vectors for the same text"),
    (lambda idx: tarnexa.Index.create(idx.path.parent / "complex.tnx", embedder=lambda t: np.ones((len(t), 4)) * 1j),
     tarnexa.EmbedderError, "complex"),
])
def test_refused_before_anything_is_written(tmp_path, call, error, message):
    made_index(tmp_path / "i.tnx")
    with tarnexa.Index.open(tmp_path / "i.tnx", embedder=embed) as idx:
        rows = tarnexa.Cache.open(tmp_path / "i.tnx" / idx.info()["cache"]).__len__()
        with pytest.raises(error, match=message):
            call(idx)
        assert len(tarnexa.Cache.open(tmp_path / "i.tnx" / idx.info()["cache"])) == rows and len(idx) == 40
    assert sorted(p.name for p in tmp_path.iterdir()) == ["i.tnx"]


def test_an_empty_index_searches_to_no_hits_and_a_note(tmp_path):
    with tarnexa.Index.create(tmp_path / "e.tnx", embedder=embed) as idx:
        for found in (idx.search("anything"), idx.search_many(["a", "b"])[1]):
            assert len(found) == 0 and found.notes == ("the index holds no documents yet",)
        with idx.sharded(workers=1) as sharded:
            found = sharded.search("anything")
            assert len(found) == 0 and found.notes == ("the index holds no documents yet",)

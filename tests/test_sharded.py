"""The sharded searcher against one score_candidates call on the whole cache: every modulation
on 1 to 8 shards, bad arguments, shards that cannot load, a worker killed while queries run,
and a real scheduler with two worker processes. One LocalCluster serves the whole module."""

import inspect
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
from _tarnexa import score_candidates  # noqa: E402

import tarnexa  # noqa: E402
from tarnexa import Cache, ShardedSearcher  # noqa: E402
from tarnexa import ShardError  # noqa: E402
from tarnexa.search.shard import ShardHolder  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
LIMIT = inspect.signature(score_candidates).parameters["limit"].default
N, DIMS = 600, 16
ODD = "doc599\n\0\u00fc"  # newline, NUL and non-ASCII in an id that shards hold, like and pre-filter
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=0,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    rng = np.random.default_rng(5)
    m = rng.standard_normal((N, DIMS)).astype(np.float32)
    m[N // 2 :: 50] = m[3]  # exact ties, spread over the shards
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    ids = [f"doc{i}" for i in range(N - 1)] + [ODD]
    ts = time.time() - rng.uniform(-86400, 90 * 86400, N)
    ts[::17] = 0.0
    path = tmp_path_factory.mktemp("sharded") / "cache"
    Cache.create(path, m, ids, ts)
    return path, m, ids, ts


@pytest.fixture(scope="module")
def searchers(client, data):
    made = {}

    def get(shards):
        if shards not in made:
            made[shards] = ShardedSearcher(data[0], shards=shards, client=client)
        return made[shards]

    yield get
    for s in made.values():
        s.close()


def one_call(data, query, **kw):
    _, m, ids, ts = data
    return score_candidates(m, ids, {d: i for i, d in enumerate(ids)}, query, timestamps=ts, **kw)


def assert_one_call(got, want, tol, limit):
    """Equal up to the documented differences: scores within tol (like blend, diverse picks);
    inside a run of equal (within tol) scores any order; a full list's last run may name
    other rows of that score."""
    assert len(got) == len(want), (got, want)
    np.testing.assert_allclose([g["score"] for g in got], [w["score"] for w in want], rtol=0, atol=tol + 1e-9)
    cuts = [0] + [i for i in range(1, len(want)) if abs(want[i]["score"] - want[i - 1]["score"]) > tol + 1e-9]
    for a, b in zip(cuts, cuts[1:] + [len(want)]):
        if not (b == len(want) == limit):
            assert Counter(g["id"] for g in got[a:b]) == Counter(w["id"] for w in want[a:b]), (got, want)


MODULATIONS = {
    "plain": {},
    "limit 0": {"limit": 0},
    "limit past rows": {"limit": N + 5},
    "pre-filter": {"pre_filter_ids": [f"doc{i}" for i in range(0, N, 7)] + ["nope", "doc3", "doc3", ODD]},
    "pre-filter none known": {"pre_filter_ids": ("nope",)},
    "mask": {"mask": np.random.default_rng(1).random(N) < 0.6},
    "threshold": {"threshold": 0.2},
    "not like": {"not_like_vec": "row 2"},
    "trajectory": {"traj_from_vec": "row 4", "traj_to_vec": "row 9"},
    "recent": {"recent": True, "recent_days": 5.0, "limit": 20},
    "like": {"like_ids": ["doc10", "doc10", "nope", ODD]},
    "like zero query": {"like_ids": ["doc42"], "query": "zeros"},
    "like none known": {"like_ids": ["nope"]},
    "diverse": {"diverse": True, "limit": 8, "oversample": 60},
    "diverse lambda 1": {"diverse": True, "limit": 8, "oversample": 60, "mmr_lambda": 1.0},
    "diverse small pool": {"diverse": True, "limit": 8, "oversample": 5},
    "diverse limit 0": {"diverse": True, "limit": 0},
    "all at once": {"diverse": True, "limit": 6, "oversample": 40, "like_ids": ["doc5"], "threshold": 0.05,
                    "pre_filter_ids": [f"doc{i}" for i in range(0, N, 2)], "mask": np.arange(N) % 3 > 0,
                    "not_like_vec": "row 2", "traj_from_vec": "row 4", "traj_to_vec": "row 9", "recent": True},
}


def arguments(name, m):
    kw = {k: (m[int(v[4:])] if isinstance(v, str) and v.startswith("row ") else v)
          for k, v in MODULATIONS[name].items()}
    query = kw.pop("query", None)
    return (np.zeros(DIMS, np.float32) if query == "zeros" else m[3] * 2 + m[7]), kw


@pytest.mark.parametrize("shards", range(1, 9))
@pytest.mark.parametrize("name", MODULATIONS)
def test_sharded_is_one_call(searchers, data, name, shards):
    query, kw = arguments(name, data[1])
    got = searchers(shards).search(query, **kw)
    tol = 1e-4 if kw.get("diverse") else 0.0  # the documented difference (c)
    assert_one_call(got, one_call(data, query, **kw), tol, kw.get("limit", LIMIT))


@pytest.mark.parametrize("shards", [1, 3])
def test_a_batch_is_its_searches_alone(searchers, data, shards):
    """Every modulation in one batch, mixed, 301 queries (no multiple of a block): each answer is
    that query's search alone, sharded and in this process."""
    names = list(MODULATIONS) * 17
    items = [arguments(name, data[1]) for name in names[:301]]
    batch = [{"query_vec": q, **kw} for q, kw in items]
    here = tarnexa.Searcher(data[0])
    for searcher in (searchers(shards), here):
        assert searcher.search_many(batch, limit=7) == [searcher.search(q, **{"limit": 7, **kw}) for q, kw in items]
    plain = np.stack([q for q, _ in items[:5]])
    assert here.search_many(plain, recent=True) == [here.search(q, recent=True) for q in plain]
    for bad, error in [(plain[0], ValueError), ("doc1", TypeError), ([{"limit": 3}], TypeError)]:
        with pytest.raises(error):
            searchers(shards).search_many(bad)


BAD = [
    {"diverse": 1}, {"threshold": "0.5"}, {"pre_filter_ids": {"doc1"}}, {"like_ids": "doc1"},
    {"mask": np.ones(N, np.int8)}, {"query": np.zeros(DIMS + 1, np.float32)},
    {"not_like_vec": np.ones(3, np.float32)}, {"traj_from_vec": np.ones(3, np.float32), "traj_to_vec": np.ones(2, np.float32)},
]


@pytest.mark.parametrize("kw", BAD)
def test_bad_arguments_give_the_modules_errors(searchers, data, kw):
    kw = dict(kw)
    query = kw.pop("query", data[1][0])
    with pytest.raises(BaseException) as want:
        one_call(data, query, **kw)
    with pytest.raises(want.type, match="^" + __import__("re").escape(str(want.value)) + "$"):
        searchers(3).search(query, **kw)


def test_refusals_of_the_searcher(searchers, data, client, tmp_path):
    Cache.create(tmp_path / "empty", np.zeros((0, DIMS)), [])
    with ShardedSearcher(tmp_path / "empty", client=client) as s:  # no rows: [] as one call gives
        assert s.search(np.zeros(3, np.float32)) == [] and s.shard_count == 0
    with pytest.raises(TypeError, match="takes ids from the cache"):
        searchers(2).search(data[1][0], ids=[])
    with pytest.raises(ValueError, match="limit must be 0 or more, got -1"):
        searchers(2).search(data[1][0], limit=-1)
    for bad, message in [({"shards": 0}, "shards must be at least 1"), ({"workers": 2}, "pass client or workers"),
                         ({"timeout": 0}, "timeout must be positive")]:
        with pytest.raises(ValueError, match=message):
            ShardedSearcher(data[0], client=client, **bad)
    assert not client.direct_to_workers  # the caller's client is left as it was, searchers open or not


def test_own_cluster_of_workers(data):
    with ShardedSearcher(data[0], workers=1, shards=3) as s:
        assert s.shard_count == 3
        assert s.search(data[1][4], limit=4) == one_call(data, data[1][4], limit=4)


def test_shards_that_cannot_load(data, client, tmp_path):
    broken = tmp_path / "broken"
    Cache.create(broken, data[1][:10], data[2][:10])
    with open(broken / "ids.npy", "r+b") as f:
        f.truncate(100)
    with pytest.raises(ValueError, match="ids.npy holds 100 bytes, the cache needs 336"):
        ShardedSearcher(broken, client=client)
    (broken / "vectors.npy").unlink()
    with pytest.raises(FileNotFoundError, match="vectors.npy is missing"):
        ShardedSearcher(broken, client=client)
    with pytest.raises(FileNotFoundError, match="not a tarnexa cache"):
        ShardedSearcher(tmp_path / "absent", client=client)
    # A worker whose copy of the cache differs from the one the searcher was planned on.
    with pytest.raises(ShardError, match=r"shard 1 \(rows 300 to 599\) could not load.*600 rows of 16 dims, "
                                         "the searcher needs 600 rows of 8 dims"):
        ShardHolder(str(data[0]), "shard 1 (rows 300 to 599)", 300, 600, 8)
    # An internal fault of the module inside a holder comes back as an error naming the shard.
    holder = ShardHolder(str(data[0]), "shard 0 (rows 0 to 9)", 0, 10, DIMS)
    # Over the int8 copy the holder keeps no Python object per id: rows are found natively.
    assert holder.searcher.scans_int8 and holder.searcher.rows_of(["doc4"]) == [4]
    places, rows = holder.rows(["doc4", "doc12", "absent", "doc1"])
    assert places == [0, 3] and np.array_equal(rows, data[1][[4, 1]])
    with pytest.raises(ShardError, match=r"^shard 0 \(rows 0 to 9\): PanicException"):
        holder.search(data[1][0], {"mask": np.ones(3, bool)}, False)


# What the package accepts beyond the module: (query, mask) -> the same as float32 and a bool
# array, or the error every searcher raises.
CONVERSIONS = [
    (lambda m: m[3].astype(np.float64), None, None),
    (lambda m: [float(x) for x in m[3]], None, None),
    (lambda m: m[3], lambda: [i % 2 == 0 for i in range(N)], None),
    (lambda m: m[None, 3], None, "query_vec must be 1-D"),
    (lambda m: np.float32(1.0), None, "query_vec must be 1-D"),
    (lambda m: m[3], lambda: np.ones(N - 1, bool), "mask has 599 entries, the cache has 600 rows"),
    (lambda m: m[3], lambda: np.ones(N + 3, bool), "mask has 603 entries, the cache has 600 rows"),
]


@pytest.mark.parametrize("query, mask, error", CONVERSIONS)
def test_the_package_converts_a_query_and_a_mask(searchers, data, query, mask, error):
    q = query(data[1])
    kw = {} if mask is None else {"mask": mask()}
    for s in (tarnexa.Searcher(data[0]), searchers(3)):
        if error:
            with pytest.raises(ValueError, match=f"^{error}$"):
                s.search(q, **kw)
        else:
            want = {k: np.asarray(v, bool) for k, v in kw.items()}
            assert s.search(q, **kw) == one_call(data, np.asarray(q, np.float32), **want)


def test_memory_is_reported_per_worker(searchers):
    mem = searchers(2).memory()
    assert len({m["pid"] for m in mem}) == 2 and all(m["rss"] > 0 for m in mem)


def test_worker_killed_during_queries(client, data):
    """Every query is answered whole, by the shards' replacements after the kill, or fails
    with an error that names the shard; never a partial list."""
    with ShardedSearcher(data[0], shards=4, client=client) as s:
        pids = client.run(os.getpid)
        victim = pids[sorted(pids)[0]]  # holds shards 0 and 2
        killer = threading.Timer(0.5, os.kill, (victim, signal.SIGKILL))
        killer.start()
        answered = failed = 0
        start = time.monotonic()
        while time.monotonic() - start < 4.0:
            query = data[1][answered % N]
            try:
                got = s.search(query, limit=5)
            except ShardError as e:
                assert "shard" in str(e)
                failed += 1
                continue
            assert_one_call(got, one_call(data, query, limit=5), 0.0, 5)
            answered += 1
        killer.join()
        after = s.search(data[1][1], limit=5)
    assert_one_call(after, one_call(data, data[1][1], limit=5), 0.0, 5)
    assert answered > 0


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def within(seconds, call):
    """call()'s outcome (result or exception), guarded against a hang."""
    with ThreadPoolExecutor(1) as pool:
        future = pool.submit(call)
        try:
            return future.result(timeout=seconds)
        except BaseException as e:  # noqa: B036 - whatever the call raised is its outcome
            return e


def test_real_scheduler_and_two_workers(data):
    """Also: with the scheduler stopped the holders keep answering; a holder that answers too
    slowly, then one whose worker is gone, give ShardError (the guard only keeps a hang out)."""
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    dask = [sys.executable, "-m", "dask"]
    procs = [subprocess.Popen(dask + ["scheduler", "--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
                              env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    stopped = []
    try:
        procs += [subprocess.Popen(dask + ["worker", address, "--nthreads", "1", "--memory-limit", "0",
                                           "--host", "127.0.0.1", "--no-dashboard"],
                                   env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for _ in range(2)]
        with distributed.Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            with ShardedSearcher(data[0], client=client, timeout=2.0) as s:
                assert s.shard_count == 2
                for name in ("plain", "like", "diverse", "all at once"):
                    query, kw = arguments(name, data[1])
                    tol = 1e-4 if kw.get("diverse") else 0.0
                    assert_one_call(s.search(query, **kw), one_call(data, query, **kw), tol, kw.get("limit", LIMIT))
                workers = sorted(client.run(os.getpid).values())
                query = data[1][7]
                for pid in (workers[0], procs[0].pid):  # a holder's worker, then the scheduler
                    os.kill(pid, signal.SIGSTOP)
                    stopped.append(pid)
                    outcome = within(15, lambda: s.search(query, limit=5))
                    if pid == workers[0]:
                        assert isinstance(outcome, ShardError) and "no answer within 2 s" in str(outcome)
                        os.kill(stopped.pop(), signal.SIGCONT)
                    else:  # the scheduler is away: the holders still answer
                        assert_one_call(outcome, one_call(data, query, limit=5), 0.0, 5)
                os.kill(workers[1], signal.SIGKILL)
                outcome = within(15, lambda: s.search(data[1][8], limit=5))
                assert isinstance(outcome, ShardError) and "scheduler is unreachable" in str(outcome), outcome
    finally:
        for pid in stopped:
            os.kill(pid, signal.SIGCONT)
        # workers before their scheduler; a worker may linger trying to reach a scheduler
        # already gone, so what SIGTERM leaves after 10 s is killed
        for p in procs[::-1]:
            p.terminate()
        for p in procs[::-1]:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=30)

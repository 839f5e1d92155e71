"""Embedding in threads and over Dask workers against embedders.embed in one thread: the same
rows bit for bit, the same errors, texts without a vector named alike, a bounded number of
batches in flight, and a worker killed mid-run."""

import os
import signal
import threading
import time

import numpy as np
import pytest

from tarnexa.errors import EmbedderError
from tarnexa.text import embedders, embedding, sync

distributed = pytest.importorskip("distributed")

HASHED = embedders.HashedEmbedder(384)
TEXTS = [f"passage {i} of words {i * 7919 % 1000} and more {i % 13}" for i in range(1100)]
BAD = TEXTS[:700] + ["!!! ???"] + TEXTS[700:]  # a text without a word, in the third batch
SERIAL = embedders.embed(HASHED, TEXTS, 384)

# The counting embedder (loaded by workers as "test_embedding:counting"): how many batches were
# taken back when each batch started, by the batch's first text's number.
taken = [0]
started: dict[int, int] = {}


def counting(texts):
    if texts[0].startswith("passage "):  # not a probe
        started[int(texts[0].split()[1])] = taken[0]
    time.sleep(0.01)
    return HASHED(texts)


def slow(texts):
    time.sleep(0.05)
    return HASHED(texts)


@pytest.fixture(scope="module")
def threads_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(params=["threads 1", "threads 2", "cluster"])
def where(request):
    if request.param == "cluster":
        return {"client": request.getfixturevalue("threads_client")}
    return {"threads": int(request.param.split()[1])}


def test_rows_errors_and_skipped_texts_as_serial(where):
    moved = []
    got = embedding.embed("hashed:384", HASHED, TEXTS, 384, progress=moved.append, **where)
    assert got.dtype == np.float32 and got.tobytes() == SERIAL.tobytes()
    assert moved == [256, 256, 256, 256, 76]
    with pytest.raises(embedders.UnembeddableText) as serial:
        embedders.embed(HASHED, BAD, 384)
    with pytest.raises(embedders.UnembeddableText) as parallel:
        embedding.embed("hashed:384", HASHED, BAD, 384, **where)
    assert str(parallel.value) == str(serial.value) and "'!!! ???'" in str(serial.value)
    rows, bad = embedding.embed("hashed:384", HASHED, BAD, 384, fallback=True, **where)
    assert list(bad) == [700] and "for its text '!!! ???'" in bad[700]
    assert not rows[700].any() and np.delete(rows, 700, axis=0).tobytes() == SERIAL.tobytes()


def test_sync_embedded_is_the_same_fallback():
    rows, bad = sync.embedded(HASHED, BAD, 384)
    again, bad_again = embedding.embed(HASHED, HASHED, BAD, 384, threads=1, fallback=True)
    assert rows.tobytes() == again.tobytes() and bad == bad_again


@pytest.mark.parametrize("threads", [1, 2])
def test_a_later_batch_of_other_dims_fails_as_serial(threads):
    def uneven(texts):
        return np.ones((len(texts), 3 if "passage 600 " in texts[0] else 4))

    uneven.batch = 100  # type: ignore[attr-defined]
    with pytest.raises(EmbedderError) as serial:
        embedders.embed(uneven, TEXTS)
    with pytest.raises(EmbedderError) as parallel:
        embedding.embed(uneven, uneven, TEXTS, threads=threads)
    assert str(parallel.value) == str(serial.value) == "the embedder gave an array of shape (100, 3) for 100 " \
        "texts, not (100, 4)"


def test_functions_are_never_sent_to_workers(threads_client):
    for name, fn in [(slow, slow), ("test_embedding:slow", slow), ("hashed:384", embedders.HashedEmbedder(256))]:
        with pytest.raises(EmbedderError, match="give it by its name, \"module:function\""):
            embedding.embed(name, fn, TEXTS, client=threads_client)
    named = embedding.embed("test_embedding:slow", None, TEXTS[:300], client=threads_client)
    assert named.tobytes() == SERIAL[:300].tobytes()


def test_a_worker_with_another_embedder_is_refused():
    other = embedders.embed(embedders.HashedEmbedder(384), [embedding.PROBE + " else"])[0].tobytes()
    with pytest.raises(EmbedderError, match="other vectors on a Dask worker"):
        embedding.embed_batch("hashed:384", 384, TEXTS[:5], probe=other)


def test_batches_in_flight_are_bounded(threads_client):
    taken[0] = 0
    started.clear()

    def took(n):
        taken[0] += 1

    texts = [f"passage {i} of words" for i in range(256 * 12)]
    got = embedding.embed("test_embedding:counting", None, texts, 384, client=threads_client,
                          progress=took, in_flight=3)
    assert got.tobytes() == embedders.embed(HASHED, texts, 384).tobytes() and len(started) == 12
    assert max(i // 256 - n for i, n in started.items()) <= 3  # batch k waits for batch k-3 to come back


@pytest.mark.parametrize("default, fn", [
    (os.cpu_count(), HASHED), (1, slow), (1, embedders.FunctionEmbedder("test_embedding:slow")),
    (3, embedders.FunctionEmbedder("test_embedding:counting")), (2, type("T", (), {"threads": 2,
                                                                                    "__call__": slow})())])
def test_default_threads(default, fn, monkeypatch):
    monkeypatch.setattr(counting, "threads", 3, raising=False)
    assert embedding.default_threads(fn) == default


def test_a_worker_killed_mid_run_gives_all_rows_or_an_error():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=0,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        pids = list(client.run(os.getpid).values())
        came = [0]
        killed = threading.Event()

        def progress(n):
            came[0] += 1
            if came[0] == 3 and not killed.is_set():
                killed.set()
                os.kill(pids[0], signal.SIGKILL)

        texts = TEXTS * 6  # 26 batches of 256
        try:
            got = embedding.embed("test_embedding:slow", None, texts, 384, client=client, progress=progress)
        except embedding.ClusterError:
            return
        assert killed.is_set() and got.tobytes() == embedders.embed(HASHED, texts, 384).tobytes()


def test_a_cluster_without_workers_gives_up():
    with distributed.LocalCluster(n_workers=0, processes=False, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        with pytest.raises(embedding.ClusterError, match="no worker for 2 s"):
            embedding.embed("hashed:384", HASHED, TEXTS, 384, client=client, idle=2)


def test_an_index_embeds_on_a_cluster_as_it_does_alone(tmp_path, threads_client):
    import tarnexa
    alone, spread = (tarnexa.Index.create(tmp_path / n, embedder="hashed:384") for n in ("alone", "spread"))
    alone.add(TEXTS[:600])
    ids = spread.add(TEXTS[:600], cluster=threads_client)
    assert spread.vectors(ids).tobytes() == alone.vectors(ids).tobytes()
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "a.md").write_text("# A\n\n" + "\n\n".join(TEXTS[:300]))
    assert spread.sync([tmp_path / "docs"], cluster=threads_client)["embedded"] == \
        alone.sync([tmp_path / "docs"], threads=2)["embedded"] > 0
    with pytest.raises(tarnexa.EmbedderError, match="module:function"):  # a function is never sent to workers
        tarnexa.Index.create(tmp_path / "fn", embedder=lambda t: HASHED(t)).add(["x y"], cluster=threads_client)

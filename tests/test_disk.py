"""A cache on a full file system (a 4 MiB tmpfs) and on a read-only one: appends and creates
that do not fit fail with OSError saying so and leave the cache whole, with the space given
back; a read-only cache still opens and searches. Needs the right to mount (root)."""

import errno
import subprocess

import numpy as np
import pytest

from tarnexa import Cache, Searcher


def rows(start, n, dims=64):
    rng = np.random.default_rng(start)
    return rng.standard_normal((n, dims)).astype(np.float32), [f"r{i}" for i in range(start, start + n)], \
        np.arange(start, start + n, dtype=np.float64)


@pytest.fixture
def small_fs(tmp_path):
    mount = tmp_path / "fs"
    mount.mkdir()
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(mount)], capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here (needs root): {proc.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


def test_a_full_disk_fails_clearly_and_keeps_the_cache(small_fs):
    batches = [rows(0, 4000)]  # 1 MiB of vectors
    cache = Cache.create(small_fs / "c", *batches[0])
    n = len(cache)
    with pytest.raises(OSError) as failed:
        for start in range(n, 10**6, 2000):  # half a MiB at a time until the disk is full
            cache.append(*rows(start, 2000))
            batches.append(rows(start, 2000))
            n = len(cache)
    assert failed.value.errno == errno.ENOSPC
    assert f"could not append 2000 rows to {small_fs / 'c'}: No space left on device; the cache keeps its {n} rows" \
        in str(failed.value)
    after = Cache.open(small_fs / "c")
    want = [np.concatenate([b[k] for b in batches]) for k in range(3)]
    assert len(after) == n and list(after.ids) == list(want[1])
    np.testing.assert_array_equal(after.vectors, want[0])
    np.testing.assert_array_equal(after.timestamps, want[2])
    # The failed append's bytes were given back: a small one fits again.
    after.append(*rows(n, 10))
    assert len(Cache.open(small_fs / "c")) == n + 10
    # A create that does not fit leaves nothing behind.
    with pytest.raises(OSError) as failed:
        Cache.create(small_fs / "d", *rows(0, 20000))
    assert failed.value.errno == errno.ENOSPC and "could not create" in str(failed.value)
    assert sorted(p.name for p in small_fs.iterdir()) == ["c"]


def test_a_read_only_file_system_still_searches(small_fs):
    Cache.create(small_fs / "c", *rows(0, 500))
    want = Searcher(small_fs / "c").search(rows(7, 1)[0][0], limit=5, recent=True)
    subprocess.run(["mount", "-o", "remount,ro", str(small_fs)], check=True)
    searcher = Searcher(small_fs / "c")
    assert searcher.search(rows(7, 1)[0][0], limit=5, recent=True) == want
    with pytest.raises(OSError) as failed:
        searcher.cache.append(*rows(500, 3))
    assert failed.value.errno == errno.EROFS and "the cache keeps its 500 rows" in str(failed.value)
    assert len(Cache.open(small_fs / "c")) == 500


def test_an_index_on_a_full_disk_stays_whole_and_compacts_when_room_returns(small_fs):
    """Adds until the disk is full, then replacements (which set off compactions): each write
    either commits or raises (none reports a failure after its commit), the index holds exactly
    the committed documents, searches them, and compacts once there is room again."""
    import sqlite3
    import warnings

    from tarnexa import Index

    (small_fs / "ballast").write_bytes(b"\0" * (5 << 19))  # what its user frees at the end
    idx = Index.create(small_fs / "i.tnx", "hashed:64")
    done: dict[str, str] = {}
    failures = 0
    for n in range(0, 10**6, 400):
        batch = {f"d{i}": f"passage {i} " + "filler words " * 20 for i in range(n, n + 400)}
        try:
            idx.add(list(batch.values()), ids=list(batch))
            done.update(batch)
        except (OSError, sqlite3.OperationalError):
            failures += 1
            if failures == 3:
                break
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always", RuntimeWarning)
        for start in range(0, len(done), 500):  # replacements: dead rows, compactions that may not fit
            ids = sorted(done)[start : start + 500]
            try:
                idx.add([done[d] + " again" for d in ids], ids=ids)
                done.update({d: done[d] + " again" for d in ids})
            except (OSError, sqlite3.OperationalError):
                pass
    assert {d: idx.document(d).text for d in idx.ids} == done
    for d in sorted(done)[::97]:
        assert idx.search(done[d], limit=1)[0].id == d
    (small_fs / "ballast").unlink()
    idx.delete(sorted(done)[: len(done) * 3 // 4])  # room again: the write compacts
    idx.add(["after the full disk"], ids=["z"])
    assert idx.info()["dead_rows"] <= 0.25 * (len(idx) + idx.info()["dead_rows"])
    idx.close()

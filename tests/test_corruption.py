"""Damaged bytes in a cache never change an answer silently: the short run of the sweep of
fuzz/corruption_sweep.py (every file's pages zeroed, bytes flipped), the per-row check of the
rows a search returns, caches older than the checksums, and `tarnexa verify`."""

import json
import sys
from pathlib import Path

import numpy as np
import pytest
from click.testing import CliRunner

from tarnexa import Cache, CacheError, Searcher
from tarnexa.command import cli

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fuzz"))
from corruption_sweep import damage, make, sweep  # noqa: E402


def test_every_damaged_copy_raises_or_answers_as_the_intact_cache(tmp_path):
    counts, failures = sweep(tmp_path, rows=300, flips=8)
    assert failures == []
    files = {f for f, _ in counts}
    assert files == {"vectors.npy", "ids.npy", "ids.utf8", "timestamps.npy", "codes.npy", "scales.npy", "bounds.npy",
                     "crc32.npy", "manifest.json"}
    assert all(counts[f, "raised"] for f in files)


def test_a_damaged_row_is_named_by_the_search_that_returns_it_and_by_verify(tmp_path):
    searches = make(tmp_path / "c", rows=300)
    searcher = Searcher(tmp_path / "c")  # opened whole: the damage comes after
    q, kw = searches[-1]
    row = int(searcher.search(q, **kw)[0]["id"][1:])
    damage(tmp_path / "c" / "vectors.npy", "flip byte", 256 + row * 18 * 4 + 5)
    with pytest.raises(CacheError, match=rf"vectors.npy: row {row} does not match its checksum"):
        searcher.search(q, **kw)
    run = CliRunner().invoke(cli, ["verify", str(tmp_path / "c")])
    assert run.exit_code == 2 and f"vectors.npy: row {row} does not match its checksum" in run.output


def older(path, version):
    """The cache as versions 1 and 2 wrote it: no checksums over the matrix and codes."""
    m = json.loads((path / "manifest.json").read_text())
    m["version"] = version
    del m["uid"]
    if version == 1:
        del m["crc32"]
    else:
        for k in ("vectors", "codes", "row_crc"):
            del m["crc32"][k]
    (path / "manifest.json").write_text(json.dumps(m))
    (path / "crc32.npy").unlink()


@pytest.mark.parametrize("version", [1, 2])
def test_older_caches_search_unchecked_until_verify_fix(tmp_path, version):
    searches = make(tmp_path / "c", rows=300)
    want = Searcher(tmp_path / "c").search(*searches[0][:1], **searches[0][1])
    older(tmp_path / "c", version)
    assert not Cache.open(tmp_path / "c").checked
    assert Searcher(tmp_path / "c").search(*searches[0][:1], **searches[0][1]) == want
    run = CliRunner().invoke(cli, ["verify", str(tmp_path / "c")])
    assert run.exit_code == 0 and "keeps no checksums" in run.output
    Cache.open(tmp_path / "c").append(np.ones((2, 18), np.float32), ["x", "y"], [1.0, 2.0])  # stays as it was
    assert Cache.open(tmp_path / "c").version == version
    run = CliRunner().invoke(cli, ["verify", "--fix", str(tmp_path / "c")])
    assert run.exit_code == 0 and "checksums added" in run.output and "keeps no" not in run.output
    fixed = Cache.open(tmp_path / "c")
    assert fixed.checked and len(fixed) == 302
    damage(tmp_path / "c" / "codes.npy", "flip byte", 300)
    run = CliRunner().invoke(cli, ["verify", str(tmp_path / "c")])
    assert run.exit_code == 2 and "codes.npy: the data does not match" in run.output



# ---- the command on a damaged index: one line, exit 2 ---------------------------------------


def cut(path, size):
    with open(path, "r+b") as f:
        f.truncate(size)


def flip_middle(path):
    damage(path, "zero page", path.stat().st_size // 2 // 4096 * 4096)


DAMAGE = {
    "store cut short": lambda p: cut(p / "docs.sqlite", 1000),
    "store emptied": lambda p: cut(p / "docs.sqlite", 0),
    "store replaced by text": lambda p: (p / "docs.sqlite").write_text("not a database at all " * 300),
    "store header zeroed": lambda p: damage(p / "docs.sqlite", "zero page", 0),
    "cache removed": lambda p: __import__("shutil").rmtree(p / "vectors-0"),
    "cache manifest cut": lambda p: cut(p / "vectors-0" / "manifest.json", 20),
    "cache matrix cut": lambda p: cut(p / "vectors-0" / "vectors.npy", 300),
    "cache ids cut": lambda p: cut(p / "vectors-0" / "ids.utf8", 3),
}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    src = tmp_path_factory.mktemp("src")
    for n in range(6):
        (src / f"f{n}.txt").write_text(f"a note on topic {n}\n\nand a second passage about {n} and more")
    path = tmp_path_factory.mktemp("ix") / "i.tnx"
    assert CliRunner().invoke(cli, ["index", "-q", "--embedder", "hashed:64", str(path), str(src)]).exit_code == 0
    return path, src


@pytest.mark.parametrize("how", sorted(DAMAGE))
def test_a_damaged_index_is_one_line_and_exit_2(folder, tmp_path, how):
    import shutil
    path = tmp_path / "i.tnx"
    shutil.copytree(folder[0], path)
    DAMAGE[how](path)
    commands = [["info", str(path)], ["search", str(path), "topic"], ["verify", str(path)]]
    if how.startswith("store"):  # a sync with nothing to change reads no cache
        commands.append(["index", "-q", str(path), str(folder[1])])
    for args in commands:
        run = CliRunner().invoke(cli, args)
        lines = run.output.strip().splitlines()
        assert run.exit_code == 2 and len(lines) == 1 and lines[0].startswith("tarnexa: error: "), (args, run.output)
        assert not isinstance(run.exception, Exception) or isinstance(run.exception, SystemExit), args


def test_a_full_disk_under_the_command_is_one_line_and_exit_2(folder, tmp_path, monkeypatch):
    import errno

    from tarnexa.storage import steps

    def full(name):
        if name.startswith("write"):
            raise OSError(errno.ENOSPC, "No space left on device")

    import shutil
    shutil.copytree(folder[0], tmp_path / "old.tnx")
    (tmp_path / "more").mkdir()
    (tmp_path / "more" / "n.txt").write_text("one more file to index")
    monkeypatch.setattr(steps, "hook", full)
    for target in (tmp_path / "new.tnx", tmp_path / "old.tnx"):
        run = CliRunner().invoke(cli, ["index", "-q", "--embedder", "hashed:64", str(target), str(folder[1]),
                                       str(tmp_path / "more")])
        assert run.exit_code == 2 and run.output.count("\n") == 1 and "No space left on device" in run.output, \
            run.output


@pytest.mark.parametrize("doc", [
    ("a", 0, "", "", None, None), ("id\ud800x", 12345678901, "T\u00e9", "x" * 300 + "\U0001f600" * 50, 1.5e9, '{"k": 1}'),
    ("", 7, "\u4e2d", "", 1e16, "{}"), *[("x" * n, n, "y" * (n // 2), "z" * n, float(n), None if n % 2 else "m" * n)
                                          for n in (1, 111, 112, 127, 128, 129, 256, 1000)],
])
def test_checksums_computed_in_bulk_are_those_of_one_document(doc):
    """The writer's native checksums (any length across BLAKE2b's block edges, surrogates,
    every width of str) are the digits a read checks against."""
    from tarnexa.storage import checksums
    assert checksums.digests([doc, doc]) == [checksums.digest(*doc)] * 2


@pytest.mark.parametrize("doc", [("a", 0, "", b"x", None, None), ("a", -1, "", "", None, None),
                                 ("a", 0, "", "", 1, None), ("a", 0, "", "", None, 3)])
def test_checksums_in_bulk_refuse_fields_of_another_type(doc):
    from tarnexa.storage import checksums
    with pytest.raises((TypeError, ValueError)):
        checksums.digests([doc])

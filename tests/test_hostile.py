"""Hostile inputs: folders built to break a sync, a damaged store, uninvited clients."""

import json
import os
import random
import sqlite3
import sys
import threading
from pathlib import Path

import pytest
from click.testing import CliRunner

import tarnexa
from tarnexa.command import cli

GOOD = "# Good\n\nCats sleep on warm mats all day long.\n"


def _link(target):
    return lambda p: os.symlink(target, p)


def _write(text):
    return lambda p: p.write_text(text)


# name -> (how it is made, a warning's words or None, documents kept besides good.md#1)
CASES = {
    "ja.md": (_write("# 日本語\n\n猫はマットの上で寝ます。\n"), "zero length", []),
    "symbols.md": (_write("# ≈≈\n\n∑∫ ∆ ⊕ ⊗\n"), "zero length", []),
    "mixed.md": (_write("# A\n\nDogs run.\n\n# Б\n\nПривет мир.\n"), "mixed.md (passage mixed.md#2)", ["mixed.md#1"]),
    "passwd.txt": (_link("/etc/passwd"), "outside", []),
    "outdir": (_link("/etc"), "outside", []),
    "zero.txt": (_link("/dev/zero"), "a character device", []),
    "dangling.md": (_link("nowhere.md"), "a dangling link", []),
    "fifo.md": (os.mkfifo, "a FIFO", []),
    "inside.md": (_link("good.md"), None, ["inside.md#1"]),
    "deep.md": (_write("> " * 50_000 + "deep text\n"), None, ["deep.md#1"]),
    "big.txt": (_write("words " * 400_000), "more than the 1048576", []),
    "deep.rst": (_write("\n\n".join(" " * i + "level" for i in range(150))), "indented deeper than 100", []),
    "big.rst": (_write("words " * 50_000), "more than the 262144", []),  # a quarter of --max-file-size
    "lost.rst": (_write(".. comment only, and words\n"), None, []),
    "huge.md": (_write("---\nbig: " + "x" * 10_000 + "\n---\n# Huge\n\ntext\n"), "at most 8192", []),
    "nul.md": (_write("---\nkey: \"a\\0b\"\n---\n# Nul\n\ntext\n"), "NUL", []),
}


@pytest.mark.parametrize("name", CASES)
def test_a_hostile_folder_skips_warns_and_goes_on(tmp_path, name):
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "good.md").write_text(GOOD)
    make, warned, kept = CASES[name]
    make(docs / name)
    run = CliRunner().invoke(cli, ["index", "-q", str(tmp_path / "ix"), str(docs), "--embedder", "hashed:64",
                                   "--max-file-size", "1"])
    assert run.exit_code == (1 if warned else 0), run.stderr
    assert (warned is None and run.stderr == "") or (f"skipped {docs / name}" in run.stderr and warned in run.stderr)
    with tarnexa.Index.open(tmp_path / "ix") as idx:
        assert sorted(idx.ids) == sorted(["good.md#1", *kept])
    again = CliRunner().invoke(cli, ["index", "-q", str(tmp_path / "ix"), str(docs), "--max-file-size", "1"])
    assert again.exit_code == run.exit_code and again.stderr == run.stderr  # said again until it is mended


@pytest.mark.parametrize("name", ["passwd.txt", "outdir"])
def test_links_out_are_read_when_asked(tmp_path, name):
    out = tmp_path / "out"
    out.mkdir()
    (out / "secret.md").write_text("# Secret\n\nhidden words\n")
    docs = tmp_path / "docs"
    docs.mkdir()
    os.symlink(out / "secret.md" if name == "passwd.txt" else out, docs / name)
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        assert idx.sync([docs], follow_links=True, on_skip=pytest.fail)["passages"] == 1


@pytest.mark.parametrize("make", [os.mkfifo, _link("/dev/zero")])
def test_a_special_file_named_as_the_source_is_refused_at_once(tmp_path, make):
    make(tmp_path / "x.md")
    done = []
    t = threading.Thread(target=lambda: done.append(CliRunner().invoke(
        cli, ["index", str(tmp_path / "ix"), str(tmp_path / "x.md"), "--embedder", "hashed:64"])))
    t.start()
    t.join(60)
    assert done and done[0].exit_code == 2 and "not a folder or a regular file" in done[0].stderr
    assert done[0].stderr.count("\n") == 1


def test_a_slow_parse_is_skipped(tmp_path, monkeypatch):
    import time

    from tarnexa.text import formats
    monkeypatch.setattr(formats, "_rst", lambda text, *problems: time.sleep(5) or [])
    (tmp_path / "slow.rst").write_text("text\n")
    (tmp_path / "good.md").write_text(GOOD)
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        done = idx.sync([tmp_path], parse_seconds=0.2, on_skip=lambda *a: None)
    assert [why for _, why in done["skipped"]] == ["parsing it took more than 0.2 s (--parse-timeout gives more)"]
    assert done["passages"] == 1


sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "fuzz"))
from store_sweep import KINDS, damage, make, outcome, sweep  # noqa: E402


def test_a_damaged_store_is_caught_by_verify_and_never_answers_silently(tmp_path):
    counts, silent = sweep(tmp_path, docs=60, flips=40, each=2)
    assert silent == []
    # Each targeted damage of the store is caught; a damaged keyword index is made again from the
    # documents when the index opens, so it answers as before.
    assert all(counts[kind, "unchanged"] == 0 for kind in KINDS if kind != "keyword entries")
    assert counts["keyword entries", "unchanged"] == 2
    assert counts["text byte", "caught"] == counts["row swap", "caught"] == 2  # and its search raises


@pytest.mark.parametrize("kind", [k for k in KINDS if k != "keyword entries"])  # that one mends itself
def test_verify_names_the_damaged_document_and_fix_mends_what_is_derived(tmp_path, kind):
    make(tmp_path / "ix", docs=30)
    damage(tmp_path / "ix", kind, random.Random(1))
    hurt = 2 if kind == "row swap" else 1
    run = CliRunner().invoke(cli, ["verify", str(tmp_path / "ix")])
    assert run.exit_code == 2 and f"{hurt} damaged documents" in run.stderr and "'doc " in run.stderr, run.stderr
    fixed = CliRunner().invoke(cli, ["verify", "--fix", str(tmp_path / "ix")])
    removed = fixed.stderr.count("removed the damaged document")
    assert fixed.exit_code == 0 and removed == (hurt if kind in KINDS[:2] else 0), fixed.stderr
    with tarnexa.Index.open(tmp_path / "ix") as idx:
        assert len(idx) == 30 - removed
    outcome(tmp_path / "ix")


def test_an_index_written_before_checksums_opens_searches_and_gets_them(tmp_path):
    make(tmp_path / "ix", docs=30)
    want = outcome(tmp_path / "ix")
    db = sqlite3.connect(tmp_path / "ix" / "docs.sqlite", isolation_level=None)
    db.execute("ALTER TABLE docs DROP COLUMN checksum")
    db.execute("DELETE FROM settings WHERE key = 'checksums'")
    db.close()
    assert outcome(tmp_path / "ix") == want  # the first open gave every document its checksum
    with tarnexa.Index.open(tmp_path / "ix") as idx:
        assert idx._store.has_checksums() and idx.verify() == []


TOKEN = "t0ken-of-this-server-1234"


@pytest.fixture
def served(tmp_path):
    pytest.importorskip("fastapi")
    from fastapi.testclient import TestClient

    from tarnexa.web.app import create_app
    make(tmp_path / "ix", docs=10)
    with tarnexa.Index.open(tmp_path / "ix") as idx, TestClient(create_app(idx, token=TOKEN), raise_server_exceptions=False) as client:
        yield client


@pytest.mark.parametrize("route", ["/api/search?q=cat", "/api/info", "/api/modifiers", "/api/doc/doc%201.md%231",
                                   "/api/openapi.json", "/api/health", "/", "/static/app.js"])
@pytest.mark.parametrize("header, status", [(None, 401), ("Bearer " + TOKEN, 200), ("Bearer " + TOKEN[:-1], 401),
                                            ("bearer " + TOKEN, 401), (TOKEN, 401)])
def test_every_route_but_health_and_the_page_wants_the_token(served, route, header, status):
    got = served.get(route, headers={} if header is None else {"Authorization": header})
    opened = route in ("/api/health", "/", "/static/app.js")
    assert got.status_code == (200 if opened else status), got.text
    if got.status_code == 401:
        assert got.headers["www-authenticate"] == "Bearer" and "token" in got.json()["error"]


def test_a_damaged_document_is_a_500_that_says_so(served, tmp_path):
    damage(tmp_path / "ix", "text byte", random.Random(3))
    auth = {"Authorization": "Bearer " + TOKEN}
    got = [served.get("/api/doc/" + f"doc {i}.md#1".replace(" ", "%20").replace("#", "%23"), headers=auth)
           for i in range(10)]
    assert sorted(r.status_code for r in got) == [200] * 9 + [500]
    assert "the index is damaged" in next(r.json()["error"] for r in got if r.status_code == 500)


@pytest.mark.parametrize("args, refused", [
    (["--host", "0.0.0.0"], "needs a token"), (["--host", "::"], "needs a token"),
    (["--host", "0.0.0.0", "--token", "short"], "at least 16"),
    (["--token", TOKEN, "--no-token"], "not both"), (["--token-file", "/nonexistent/token"], "cannot read")])
def test_serving_beyond_loopback_without_a_token_is_refused(tmp_path, args, refused):
    pytest.importorskip("fastapi")
    make(tmp_path / "ix", docs=3)
    run = CliRunner().invoke(cli, ["serve", str(tmp_path / "ix"), "--port", "9", *args])
    assert run.exit_code == 2 and refused in run.stderr and run.stderr.count("\n") == 1, run.stderr


def test_like_names_a_passage_whose_id_holds_spaces_and_commas(tmp_path):
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        idx.add(["cats sleep on mats", "dogs run in parks", "cats purr"], ["my notes, old.md#1", "b.md#1", "c.md#1"])
        got = idx.search("anything", 'like:"my notes, old.md#1" limit:2', mode="semantic")
        assert got.notes == () and got[0].id == "my notes, old.md#1"


@pytest.mark.parametrize("meta, refused", [({"s": "a\x00b"}, "NUL"), ({"k\x00": "v"}, "NUL"), ({"l": ["ok", "\x00"]}, "NUL"),
                                           ({"s": "\udc80"}, "lone surrogate"), ({"s": "x" * 8193}, "at most 8192")])
def test_metadata_the_filter_table_cannot_keep_is_refused_before_anything_is_written(tmp_path, meta, refused):
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:32") as idx:
        idx.add(["cats"], ["a"], metadata=[{"s": "a"}])
        with pytest.raises(ValueError, match=refused):
            idx.add(["dogs"], ["b"], metadata=[meta])
        assert idx.info()["dead_rows"] == 0 and idx.ids == ["a"]  # no vector was appended
        idx.add(["dogs"], ["b"], metadata=[{"s": "x" * 8192}])  # the bound itself is kept


@pytest.mark.parametrize("where", [{"$or": [{"g": i} for i in range(501)]}, {f"f{i}": 1 for i in range(1500)},
                                   {"g": {"$in": list(range(10))}, "$or": [{"h": i} for i in range(500)]}])
def test_a_filter_wider_than_the_bound_is_a_value_error(tmp_path, where):
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:32") as idx:
        idx.add(["cats"], ["a"], metadata=[{"g": 1}])
        with pytest.raises(ValueError, match="too wide"):
            idx.search("cats", where=where)
        inner = {"$or": [{"g": {"$ne": i}} for i in range(500)]}  # the widest and deepest kept
        for k in range(30):
            inner = {"$not": inner} if k % 2 else {"$and": [inner]}
        for mode in ("semantic", "keyword", "hybrid"):
            idx.search("cats", where=inner, mode=mode)


def _served_command(path, *args, scheme="http"):
    import socket
    import subprocess
    import time

    import httpx
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([sys.executable, "-m", "tarnexa", "serve", str(path), "--port", str(port), *args],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    for _ in range(600):
        try:
            if httpx.get(f"{scheme}://127.0.0.1:{port}/api/health", timeout=2, verify=False).status_code == 200:
                return proc, port
        except httpx.TransportError:
            time.sleep(0.1)
    proc.kill()
    raise RuntimeError(proc.stderr.read())


def test_request_heads_are_bounded_however_they_arrive(tmp_path):
    import socket
    pytest.importorskip("uvicorn")
    make(tmp_path / "ix", docs=3)
    proc, port = _served_command(tmp_path / "ix", "--token", TOKEN)
    try:
        for size, pieces, status in [(16_000, 1, b"200"), (16_000, 9, b"200"), (16_500, 1, b"400"), (17_000, 9, b"400"),
                                     (60_000, 1, b"400")]:
            head = (b"GET /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + TOKEN.encode()
                    + b"\r\nX-Pad: " + b"a" * size + b"\r\n\r\n")
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                step = len(head) // pieces + 1
                try:
                    for i in range(0, len(head), step):
                        s.sendall(head[i:i + step])
                except BrokenPipeError:  # refused before it was all sent
                    pass
                assert s.recv(64).split(b" ")[1] == status, (size, pieces)
    finally:
        proc.terminate()
        proc.wait(30)


def test_every_bound_reliability_md_gives_is_the_servers(served):
    """The figures docs/reliability.md gives for the server, read from it, against what the server
    does with its defaults (the head bound was once stated and not kept)."""
    import logging
    import re

    from tarnexa.web import app, connections, serve
    text = " ".join((Path(__file__).resolve().parent.parent / "docs" / "reliability.md").read_text().split())

    def stated(pattern):
        return float(re.search(pattern, text).group(1).replace(",", ""))

    b = app.Bounds()
    assert (b.hits, b.oversample, b.explained, b.seconds) == (
        stated(r"`--max-hits` \(([\d,]+)\)"), stated(r"`oversample=` above ([\d,]+)"),
        stated(r"the first ([\d,]+) hits carry"), stated(r"`--timeout` \((\d+) s\)"))
    assert b.answer_bytes == stated(r"an answer over (\d+) MiB") * (1 << 20)
    assert (app.LIGHT, app.PASS_COST) == (stated(r"at most ([\d,]+) hits, the pool"), stated(r"holds at most ([\d,]+) hits"))
    assert connections.CLIENT_TIMEOUT == stated(r"`--client-timeout` \((\d+) s\)")
    assert connections.MAX_HEAD == stated(r"head is limited to (\d+) KiB") * 1024 and serve.BACKLOG == stated(r"backlog to (\d+)")
    assert connections.connection_cap(connections.MAX_CONNECTIONS, serve.BACKLOG, 10_000) == stated(
        r"`--max-connections` \((\d+),")
    assert connections.connection_cap(10_000, serve.BACKLOG, 1024) == 1024 - stated(r"`ulimit -n` less (\d+)")
    f = connections.RepeatFilter(stated(r"one record of a kind through every (\d+) s"))
    records = [logging.LogRecord("x", logging.ERROR, "", 0, "same", None, None) for _ in range(3)]
    assert [f.filter(r) for r in records] == [True, False, False]
    auth = {"Authorization": "Bearer " + TOKEN}
    for params in ({"q": "cat", "limit": b.hits + 1}, {"q": "cat", "m": f"limit:{b.hits + 1}"},
                   {"q": "cat", "oversample": b.oversample + 1}):
        assert served.get("/api/search", params=params, headers=auth).status_code == 400
    assert served.get("/api/search", params={"q": "cat", "limit": b.hits}, headers=auth).status_code == 200


def test_the_default_embedder_keeps_what_the_hashed_one_skips(tmp_path):
    pytest.importorskip("wordllama")
    docs = tmp_path / "docs"
    docs.mkdir()
    for name in ("ja.md", "symbols.md", "mixed.md"):
        CASES[name][0](docs / name)
    with tarnexa.Index.create(tmp_path / "ix") as idx:
        done = idx.sync([docs], on_skip=lambda *a: None)
    assert done["skipped"] == [] and done["passages"] == 4


def test_tls_through_uvicorns_certificate_options(tmp_path):
    import shutil
    import subprocess

    import httpx
    if not shutil.which("openssl"):
        pytest.skip("needs openssl to make a certificate")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(tmp_path / "k.pem"),
                    "-out", str(tmp_path / "c.pem"), "-days", "1", "-subj", "/CN=127.0.0.1"], check=True,
                   capture_output=True)
    make(tmp_path / "ix", docs=3)
    (tmp_path / "token").write_text(TOKEN + "\n")
    proc, port = _served_command(tmp_path / "ix", "--token-file", str(tmp_path / "token"), "--ssl-certfile",
                                 str(tmp_path / "c.pem"), "--ssl-keyfile", str(tmp_path / "k.pem"), scheme="https")
    try:
        url = f"https://127.0.0.1:{port}/api/info"
        assert httpx.get(url, verify=False).status_code == 401
        assert httpx.get(url, verify=False, headers={"Authorization": "Bearer " + TOKEN}).status_code == 200
    finally:
        proc.terminate()
        proc.wait(30)


def test_a_link_put_in_a_files_place_after_the_scan_is_not_read(tmp_path, monkeypatch):
    from tarnexa.text import passages
    docs = tmp_path / "docs"
    docs.mkdir()
    (docs / "good.md").write_text(GOOD)
    scan = passages.scan

    def swapped(*args):
        found = scan(*args)
        (docs / "good.md").unlink()
        os.symlink("/etc/passwd", docs / "good.md")
        return found

    monkeypatch.setattr(passages, "scan", swapped)
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        done = idx.sync([docs], on_skip=lambda *a: None)
    assert done["passages"] == 0 and "leads outside" in done["skipped"][0][1]


def test_a_batch_answers_each_query_alone(tmp_path):
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        idx.add(["apple pear plum", "engine wheel brake"], ids=["a", "b"])
        items = ["apple", "%%%", ("", "limit:1"), ("engine", "limit:1")]
        got = idx.search_many(items, mode="semantic", errors="return")
        assert [type(r) for r in got[:3]] == [tarnexa.Results, type(got[1]), ValueError]
        assert isinstance(got[1], tarnexa.EmbedderError) and isinstance(got[3], tarnexa.Results)
        assert got[0] == idx.search("apple", mode="semantic") and [h.id for h in got[3]] == ["b"]
        with pytest.raises(tarnexa.EmbedderError):  # the default: the failure raises, as before
            idx.search_many(items[:2], mode="semantic")
        (tmp_path / "q.txt").write_bytes(b"apple\n%%%\n\xff bad\nengine\tlimit:1\n")
        for as_json in (["--json"], []):
            run = CliRunner().invoke(cli, ["search", str(idx.path), "--queries", str(tmp_path / "q.txt"),
                                           "--mode", "semantic", *as_json])
            assert run.exit_code == 1, run.output
            errors = [line for line in run.stderr.splitlines() if line.startswith("tarnexa: error:")]
            assert [e.split(", ")[1].split(":")[0] for e in errors] == ["line 2", "line 3"]
            if as_json:
                lines = [json.loads(line) for line in run.stdout.splitlines()]
                assert [("error" in x, x.get("line")) for x in lines] == [(False, None), (True, 2), (True, 3),
                                                                         (False, None)]

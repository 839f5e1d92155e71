"""Filters as people type them, the documents' metadata and titles changed in place, pages of
hits with ties, the words marked in snippets, and the dates of a source's files."""

import datetime as dt
import json
import os
import re
import shutil
import subprocess
import warnings

import pytest
from click.testing import CliRunner
from test_index import embed

import tarnexa
from tarnexa.command import cli
from tarnexa.errors import DatesWarning
from tarnexa.storage.filters import compile_where, parse_filter
from tarnexa.text import dates


def day(text):
    return dt.datetime.fromisoformat(text).replace(tzinfo=dt.UTC).timestamp()


@pytest.mark.parametrize("typed, meaning", [
    ("page>100", {"page": {"$gt": 100}}), ("page<=2.5", {"page": {"$lte": 2.5}}), ("ext!=html", {"ext": {"$ne": "html"}}),
    ("ext=md", {"ext": "md"}), ("draft=false", {"draft": False}), ("n<3", {"n": {"$lt": 3}}),
    ("date>=2024", {"date": {"$gte": "2024"}}), ("date>=2024-01-01", {"date": {"$gte": "2024-01-01"}}),
    ("path:docs/", {"path": {"$prefix": "docs/"}}), ("path:docs/changes/*", {"path": {"$glob": "docs/changes/*"}}),
    ("path!:docs/changes/*", {"$not": {"path": {"$glob": "docs/changes/*"}}}),
    ("path!:docs/", {"$not": {"path": {"$prefix": "docs/"}}}), ("url:http://a?b=c", {"url": {"$glob": "http://a?b=c"}}),
    ("ext=md AND path!:a/*", {"$and": [{"ext": "md"}, {"$not": {"path": {"$glob": "a/*"}}}]}),
    ("date", "is not one this reads: field=value"), (">3", "field=value (or !="), ("=x", "field!:glob* (leaves out)"),
    ("ext=md AND ", "nothing on one side of an AND"), ("AND x=1", "nothing on one side"),
    ("name=ANDREW", {"name": "ANDREW"}),
])
def test_short_forms(typed, meaning):
    if isinstance(meaning, str):
        with pytest.raises(ValueError, match=re.escape(meaning)) as e:
            parse_filter(typed)
        assert repr(typed.strip()) in str(e.value)
    else:
        assert parse_filter(typed) == meaning


@pytest.fixture
def dated(tmp_path):
    idx = tarnexa.Index.create(tmp_path / "d.tnx", embedder=embed)
    rows = [("a", "2023-12-31T23:00:00", None), ("b", "2024-01-01", None), ("c", "2024-02-29T12:00:00", None),
            ("d", "2025-06-01", None), ("e", None, "2024-03-05"), ("f", None, "2024-03-05T10:00:00+02:00"),
            ("g", None, None)]
    idx.add([f"text {d}" for d, *_ in rows], ids=[d for d, *_ in rows],
            timestamps=[day(t) if t else None for _, t, _ in rows],
            metadata=[{"path": f"docs/{'changes/' if d in 'ab' else ''}{d}[1].md", **({"date": m} if m else {})}
                      for d, _, m in rows])
    yield idx
    idx.close()


@pytest.mark.parametrize("typed, want", [
    ("date>=2024", "bcdef"), ("date>2024", "d"), ("date<2024", "a"), ("date<=2024", "abcef"), ("date=2024", "bcef"),
    ("date!=2024", "adg"), ("date=2024-02", "c"), ("date=2024-03-05", "ef"), ("date>=2024-03-05T09:00", "d"), ("date>=2024-03-05T08:00", "df"),
    ("date<2024-03-05T09:00Z", "abcef"), ('{"date": {"$gte": "2024-03"}}', "def"), ('{"date": "2024-03-05"}', "ef"),
    ("path:docs/changes/", "ab"), ("path!:docs/changes/*", "cdefg"), ("path:docs/[[]*", ""), ("path:*[[]1].md", "abcdefg"),
    ("path:docs/%", ""), ("path:docs/_", ""), ('{"path": {"$not": {"$prefix": "docs/changes/"}}}', "cdefg"),
    ('{"path": {"$not": {"$not": {"$eq": 1}}}}', ValueError("takes the field's operators")), ("date=x'; DROP TABLE docs; --", ""),
])
def test_dates_and_paths_pass_what_they_say(dated, typed, want):
    where = parse_filter(typed)
    if isinstance(want, ValueError):
        with pytest.raises(ValueError, match=str(want)):
            dated.count(where=where)
        return
    assert "".join(d.id for d in dated.get(where=where)) == want
    assert dated.count(where=where) == len(want) and len(dated) == 7  # values are bound, never SQL
    sql, params = compile_where(where)
    assert typed.split("=")[-1] not in sql or typed.startswith("path:")


def test_the_page_the_command_and_the_library_read_one_filter(dated):
    from tarnexa.web.app import create_app
    from fastapi.testclient import TestClient
    typed = "date<=2024 AND path!:docs/changes/*"
    lib = [h.id for h in dated.search("text", where=parse_filter(typed), limit=20)]
    run = CliRunner().invoke(cli, ["search", str(dated.path), "text", "--where", typed, "--json", "--limit", "20",
                                   "--embedder", "test_index:embed"])
    with TestClient(create_app(dated)) as client:
        page = client.get("/api/search", params={"q": "text", "where": typed, "limit": 20}).json()
        bad = client.get("/api/search", params={"q": "text", "where": '{"a": {"$x": 1}}'}).json()["error"]
    assert sorted(lib) == list("cef") and [h["id"] for h in json.loads(run.stdout)["hits"]] == lib
    assert [h["id"] for h in page["hits"]] == lib
    assert bad.startswith("Filter: unknown operator '$x'") and "--where" not in bad


def test_update_changes_metadata_and_titles_in_one_commit(tmp_path):
    calls = []

    def counting(texts):
        calls.extend(texts)
        return embed(texts)
    idx = tarnexa.Index.create(tmp_path / "u.tnx", embedder=counting)
    idx.add(["apple pie recipe", "pear tart recipe", "plum jam"], ids=["a", "b", "c"], titles=["Pie", "Tart", "Jam"],
            timestamps=[1.0, 2.0, 3.0], metadata=[{"k": 1}, {"k": 2}, None])
    before, calls[:] = idx.vectors(["a", "b", "c"]), []
    assert idx.update(["a", "c"], metadata=[{"k": 9, "tag": ["x"]}, None]) == 2 and calls == []
    assert (idx.vectors(["a", "b", "c"]) == before).all()
    assert [(d.id, d.metadata, d.timestamp) for d in idx.get(where={"k": 9})] == [("a", {"k": 9, "tag": ["x"]}, 1.0)]
    assert idx.update(["b"], titles=["Walrus"], timestamps=[5.0]) == 1 and calls == ["Walrus\npear tart recipe"]
    assert [h.id for h in idx.search("walrus", mode="keyword")] == ["b"] and not idx.search("tart", mode="keyword",
                                                                                           where={"k": 1})
    assert idx.document("b").timestamp == 5.0 and idx.document("b").text == "pear tart recipe"
    with pytest.raises(KeyError):
        idx.update(["a", "nope"], metadata={"k": 0})
    with pytest.raises(ValueError):
        idx.update(["a"], metadata=[{"$bad": 1}])
    assert idx.count(where={"k": 9}) == 1 and idx.delete(where={"k": 9}) == 1 and idx.count() == 2
    assert tarnexa.Index.open(tmp_path / "u.tnx", embedder=counting).verify() == []  # checksums, keywords, meta
    idx = tarnexa.Index.create(tmp_path / "c.tnx", embedder=embed)
    idx.add(["plum jam"], ids=["c"], metadata=[{"n": 1}])
    run = CliRunner().invoke(cli, ["update", str(idx.path), "c", "--meta", "n=3", "--meta", "who=ann", "--title", "J2",
                                   "--embedder", "test_index:embed"])
    assert run.exit_code == 0 and idx.document("c").metadata == {"n": 3, "who": "ann"} and idx.document("c").title == "J2"
    run = CliRunner().invoke(cli, ["update", str(idx.path), "c", "--unset", "who"])
    assert run.exit_code == 0 and idx.document("c").metadata == {"n": 3}
    assert CliRunner().invoke(cli, ["update", str(idx.path), "zz", "--meta", "a=1"]).exit_code == 2


@pytest.mark.parametrize("mode", ["hybrid", "semantic", "keyword"])
def test_pages_with_ties_are_the_ranking_cut_in_pieces(tmp_path, mode):
    idx = tarnexa.Index.create(tmp_path / "t.tnx", embedder=embed)
    idx.add([f"apple pie {'crust ' * (i % 3)}" for i in range(40)], ids=[f"d{i:02}" for i in range(40)])
    whole = [h.id for h in idx.search("apple pie", mode=mode, limit=20)]
    assert [h.id for h in idx.search("apple pie", mode=mode, limit=10, offset=10)] == whole[10:]
    run = CliRunner().invoke(cli, ["search", str(idx.path), "apple pie", "--mode", mode, "--limit", "10",
                                   "--offset", "10", "--json", "--embedder", "test_index:embed"])
    assert [h["id"] for h in json.loads(run.stdout)["hits"]] == whole[10:]


def test_highlights_lie_inside_the_snippet_everywhere(tmp_path):
    from tarnexa.web.app import create_app
    from fastapi.testclient import TestClient
    idx = tarnexa.Index.create(tmp_path / "h.tnx", embedder=embed)
    idx.add(["Apples, apples: sweet ÄPFEL apples 🍎 " + "filler " * 80 + " sweet apples end", "pears only"],
            ids=["a", "b"])
    lib = idx.search("sweet apples", explain=True).to_dict()["hits"]
    with TestClient(create_app(idx)) as client:
        page = client.get("/api/search", params={"q": "sweet apples"}).json()["hits"]
    for hits in (lib, page):
        a = hits[0]
        assert a["highlights"] and all(0 <= s < e <= len(a["snippet"]) for s, e in a["highlights"])
        assert {a["snippet"][s:e].lower() for s, e in a["highlights"]} == {"apples", "sweet"}
    run = CliRunner(env={"COLUMNS": "400"}).invoke(cli, ["search", str(idx.path), "sweet apples", "--embedder",
                                                         "test_index:embed"], color=True)
    assert "\x1b[1msweet\x1b[0m" in run.stdout and run.stdout.count("\x1b[1m") == len(lib[0]["highlights"])


@pytest.mark.skipif(shutil.which("git") is None, reason="needs git")
def test_a_checkout_is_dated_by_its_commits_and_a_copy_is_warned_of(tmp_path):
    repo = tmp_path / "repo"
    (repo / "notes").mkdir(parents=True)
    git = ["git", "-C", str(repo), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(git[:3] + ["init", "-q"], check=True)
    for i in range(12):
        (repo / "notes" / f"n{i}.md").write_text(f"# Note {i}\n\nwords {i}\n")
        env = {**os.environ, "GIT_COMMITTER_DATE": f"2021-01-{i + 1:02}T00:00:00Z"}
        subprocess.run(git + ["add", "-A"], check=True)
        subprocess.run(git + ["commit", "-qm", f"n{i}"], check=True, env=env)
    (repo / "notes" / "n0.md").write_text("# Note 0\n\nedited\n")  # changed since: its own time
    got = dates.committed(repo / "notes")
    assert got["n3.md"] == day("2021-01-04") and "n0.md" not in got and len(got) == 11
    idx = tarnexa.Index.create(tmp_path / "r.tnx", embedder=embed)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        idx.sync([repo / "notes"])
        tarnexa.Index.create(tmp_path / "c.tnx", embedder=embed).sync([shutil.copytree(repo / "notes", tmp_path / "copy")])
    assert idx.document("n3.md#1").timestamp == day("2021-01-04") and idx.document("n0.md#1").timestamp > day("2022-01-01")
    said = [str(w.message) for w in seen if w.category is DatesWarning]
    assert len(said) == 1 and said[0].startswith(f"every file of {tmp_path / 'copy'} has the same date")
    assert dates.committed(tmp_path / "copy") == {}


def test_the_page_api_lists_fields_counts_facets_and_sorts_by_date(dated):
    from tarnexa.web.app import POOL, create_app, folder_filter
    from fastapi.testclient import TestClient
    with TestClient(create_app(dated)) as client:
        fields = client.get("/api/fields").json()["fields"]
        got = client.get("/api/search", params={"q": "text", "facets": "1", "limit": 3}).json()
        newest = [client.get("/api/search", params={"q": "text", "sort": "date", "limit": 3, "offset": o}).json()
                  for o in (0, 3, 6)]
    assert fields == [{"field": "path", "documents": 7}, {"field": "date", "documents": 6}]
    folders = {f["value"]: (f["count"], f["filter"]) for f in got["facets"]["folder"]}
    assert folders == {"docs": (7, "path:docs/"), "docs/changes": (2, "path:docs/changes/")}
    assert got["facets"]["pool"] == 7 <= POOL and len(got["hits"]) == 3
    for value, (count, typed) in folders.items():  # each facet's filter passes what it counted
        assert dated.count(where=parse_filter(typed)) == count
    assert [h["id"] for p in newest for h in p["hits"]] == list("dfecbag")  # undated last
    assert any("sorted by date" in n for n in newest[0]["notes"])
    assert [folder_filter(f) for f in ("", "a b", "x[1]*")] == ["path!:*/*", "path:a b/", "path:x[[]1][*]/*"]

"""What a search says about itself, and the one embedder contract and JSON shape of the library,
the command, the demo and the API."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest
from click.testing import CliRunner

import tarnexa
from tarnexa.command import cli

ROOT = Path(__file__).resolve().parent.parent
TOPICS = {"deploy": "workers processes uvicorn gunicorn socket reload daemon",
          "bake": "flour dough oven yeast knead crust loaf"}
DOCS = {f"{t}{n}": " ".join((words.split() * 2)[n:n + 3]) for t, words in TOPICS.items() for n in range(6)}
MODULE = """
import numpy as np
from tarnexa.text.embedders import HashedEmbedder
rows = HashedEmbedder(512)
def embed(texts): return rows(texts) * 3.0
def one(text): return list(rows([text])[0])
def flaky(texts):
    if any("boom" in t for t in texts): raise KeyError("boom")
    return rows(texts)
def ragged(texts): return [1.0, 2.0]
def zeros(texts): return np.zeros((len(texts), 4))
def broken(texts): raise RuntimeError("no model")
constant = 3
"""


@pytest.fixture(scope="module")
def idx(tmp_path_factory):
    index = tarnexa.Index.create(tmp_path_factory.mktemp("notes") / "ix", embedder="hashed")
    index.add(list(DOCS.values()), ids=list(DOCS), titles=list(DOCS))
    yield index
    index.close()


DIVERSE = "diverse: each score is the hit's MMR score, 0.7 x its relevance - 0.3 x"


@pytest.mark.parametrize("query, line, kw, note", [
    ("limit:3 flour", "", {}, "the query holds 'limit:3', written as a modifier: the modifier line goes in its own"),
    ("diverse", "", {}, "the query holds 'diverse'"),
    ("diverse limit:2", "", {}, "the query holds 'diverse', 'limit:2'"),
    ("yeast local_communities", "", {}, "the query holds 'local_communities'"),
    ("diverse ovens and recent loaves", "", {}, None),  # words of a query, not modifiers
    ("workers", "diverse limit:3", {}, DIVERSE),
    ("workers", "diverse limit:3", {"mmr_lambda": 0.5}, "MMR score, 0.5 x its relevance - 0.5 x"),
    ("workers", "diverse limit:12", {}, None),  # 12 documents: nothing to select among
    ("workers", "diverse limit:12", {"mode": "hybrid"}, DIVERSE),  # the fused pool is always selected from
    ("workers", "diverse limit:3", {"mode": "keyword"}, DIVERSE),
    ("workers", "diverse limit:2", {"pre_filter_ids": ["deploy0", "bake1"]}, None),
    ("workers", "diverse limit:2", {"pre_filter_ids": ["deploy0", "bake1", "bake2"]}, DIVERSE),
    ("workers", "limit:3", {}, None),
    ("workers", "limit:3 from: yeast to: flour", {}, "from: ... to: changed none of the 3 hits' places"),
    ("workers", "limit:3 from: workers to: daemon", {}, None),  # daemon's documents move up
])
def test_notes_say_what_happened(idx, query, line, kw, note):
    kw = {"mode": "semantic", **kw}
    res = idx.search(query, line, **kw)
    said = [n for n in res.notes if "in the modifier line overrides" not in n]
    if note is None:
        assert said == []
    else:
        assert len(said) == 1 and re.search(note, said[0]), said
    assert len(res)
    if "from:" in line and note is None:  # the note's absence is true: the order did change
        plain = idx.search(query, line.split(" from:")[0], **kw)
        assert [h.id for h in res] != [h.id for h in plain]


def test_words_the_embedder_knows(tmp_path):
    from tarnexa.text.embedders import HashedEmbedder, known_share, wordllama
    hashed = HashedEmbedder(16)
    texts = ("sorting lists", "sort a list", "the of", "?!", "日本")
    assert [known_share(hashed, t) for t in texts] == [1, 2 / 3, 0, 0, 0]
    assert known_share(lambda texts: texts, "anything") is None
    pytest.importorskip("wordllama")
    fn = wordllama()
    assert [known_share(fn, t) for t in ("sorting a list", "xqzjv qwrtp", "dictionary xqzjv")] == [1.0, 0.0, 0.5]
    idx = tarnexa.Index.create(tmp_path / "w", embedder="wordllama")
    idx.add(list(DOCS.values()), ids=list(DOCS))
    assert any("the embedder knows no word of the query 'xqzjv qwrtp'" in n for n in idx.search("xqzjv qwrtp").notes)
    assert idx.search("bread dough").notes == (  # the embedder knows both; no document holds "bread"
        "no document holds 'bread': the keyword side looked for the query's other words",)


@pytest.fixture
def here(tmp_path, monkeypatch):
    """A folder of documents and an embedder module, the current directory."""
    (tmp_path / "docs").mkdir()
    for doc_id, text in DOCS.items():
        (tmp_path / "docs" / f"{doc_id}.txt").write_text(text)
    name = f"plug_{tmp_path.name.replace('-', '_')}"  # a module of its own for each test
    (tmp_path / f"{name}.py").write_text(MODULE)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "path", [p for p in sys.path if p not in ("", str(tmp_path))])
    return tmp_path, name


def command(*args):
    return CliRunner().invoke(cli, [str(a) for a in args])


@pytest.mark.parametrize("function", ["embed", "one"])
def test_a_module_function_embeds_through_the_command(here, function):
    folder, module = here
    named = f"{module}:{function}"
    made = command("index", "ix", "docs", "--embedder", named)
    assert made.exit_code == 0 and f"embedded by {named}" in made.stderr, made.stderr
    found = command("search", "ix", "bread flour", "limit:3", "--embedder", named, "--json")
    assert found.exit_code == 0 and json.loads(found.stdout)["hits"][0]["id"].startswith("bake")
    assert command("info", "ix").exit_code == 0  # nothing to embed
    served = command("serve", "ix")  # refused before it listens
    assert served.exit_code == 2 and f"serve it with --embedder {named}" in served.stderr
    for args, message in [((), f"built with the embedder {named}, a function: open it with embedder='{named}' "
                                f"(--embedder {named})"),
                          (("--embedder", "hashed"), f"built with the embedder '{named}', not 'hashed'"),
                          (("--embedder", f"{module}:{'one' if function == 'embed' else 'embed'}"), "not '")]:
        refused = command("search", "ix", "bread", *args)
        assert refused.exit_code == 2 and message in refused.stderr and refused.stderr.count("\n") == 1
    with tarnexa.Index.open(folder / "ix", embedder=named) as idx:  # the library takes the same name
        assert idx.search("bread flour", "limit:3").to_dict() == json.loads(found.stdout)


@pytest.mark.parametrize("name, message", [
    ("no_such_module_here:embed", r"cannot load the embedder .*: ModuleNotFoundError: No module named"),
    ("{m}:no_such_function", r"cannot load the embedder '{m}:no_such_function': AttributeError"),
    ("{m}:constant", r"the embedder '{m}:constant' is a int, not a function"),
    ("{m}:ragged", r"'{m}:ragged' must take a list of n texts and return an array \(n, d\) .* gave an array of "
                   r"shape \(2,\)"),
    ("{m}:broken", r"for 2 texts it raised RuntimeError: no model"),
    ("{m}:zeros", r"the embedder gave a vector of zero length"),
    ("{m}:flaky", r"the embedder '{m}:flaky' failed: KeyError: 'boom'"),  # not "no document has the id"
])
def test_a_bad_module_function_is_one_line(here, name, message):
    folder, module = here
    (folder / "docs" / "boom.txt").write_text("boom")
    failed = command("index", "ix", "docs", "--embedder", name.format(m=module))
    assert failed.exit_code == 2 and failed.stderr.count("\n") == 1, failed.stderr
    assert re.search(message.format(m=module), failed.stderr), failed.stderr


def test_one_json_shape_from_the_command_the_demo_and_the_api(here):
    pytest.importorskip("fastapi")
    from fastapi.testclient import TestClient

    from tarnexa.web.app import create_app
    folder, module = here
    query, line = "workers flour", "limit:4 diverse local_communities limit:x"
    demo = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), "--corpus", "docs", "--index", "ix",
                           "--embedder", f"{module}:one", "--json", query, line], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONPATH": str(ROOT)})
    assert demo.returncode == 0, demo.stderr
    found = command("search", "ix", query, line, "--embedder", f"{module}:one", "--json")
    with tarnexa.Index.open("ix", embedder=f"{module}:one") as idx, TestClient(create_app(idx)) as client:
        api = client.get("/api/search", params={"q": query, "m": line}).json()
    assert json.loads(demo.stdout) == json.loads(found.stdout) == api and list(api) == ["hits", "notes", "communities"]
    assert api["hits"][0]["community"] is not None and len(api["notes"]) == 2
    assert set(api["communities"][0]) == {"label", "terms", "title", "size", "members"}

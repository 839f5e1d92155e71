import json
import re
import os
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tarnexa.search.communities import detect

ROOT = Path(__file__).resolve().parent.parent


def pool(topics, per_topic, noise=0, d=256, spread=1.0, seed=0):
    """Rows around `topics` random unit centres (plus `noise` rows around none), shuffled as a
    pool would be, and each row's topic (-1 for noise)."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((topics, d))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    topic = np.repeat(np.arange(topics), per_topic)
    topic = rng.permutation(np.concatenate([topic, np.full(noise, -1)]))
    rows = np.where(topic[:, None] >= 0, centres[topic], 0) + spread * rng.standard_normal((topic.size, d)) / d**0.5
    return (rows / np.linalg.norm(rows, axis=1, keepdims=True)).astype(np.float32), topic


def community_of(result, n):
    label = np.full(n, -1)
    for c, (members, _) in enumerate(result):
        label[members] = c
    return label


@pytest.fixture
def ig():
    return pytest.importorskip("igraph")


@pytest.mark.parametrize("d, per_topic, noise, spread, seed", [
    (256, 60, 20, 1.0, 0), (384, 60, 20, 0.7, 1), (256, 50, 40, 1.5, 2), (384, 600, 200, 1.0, 3),
])
def test_separate_topics_come_out_whole_and_apart(ig, d, per_topic, noise, spread, seed):
    rows, topic = pool(3, per_topic, noise, d, spread, seed)
    label = community_of(detect(rows), len(rows))
    found = [set(label[topic == t]) for t in range(3)]
    assert [len(f) for f in found] == [1, 1, 1] and len(set.union(*found)) == 3


@pytest.mark.parametrize("n, d, spread", [(30, 256, 1.0), (200, 256, 0.5), (200, 384, 2.0), (2000, 256, 1.0)])
def test_one_topic_is_one_community(ig, n, d, spread):
    rows, _ = pool(1, n, d=d, spread=spread, seed=n)
    assert detect(rows) == [(list(range(n)), detect(rows)[0][1])]


SMALL = {
    "empty": (np.zeros((0, 8), np.float32), []),
    "one": (np.ones((1, 8), np.float32), [([0], 0)]),
    "pair alike": (np.array([[1, 0], [0.8, 0.6]], np.float32), [([0, 1], 0)]),
    "pair orthogonal": (np.eye(2, dtype=np.float32), [([0], 0), ([1], 1)]),
    "pair opposite": (np.array([[1, 0], [-1, 0]], np.float32), [([0], 0), ([1], 1)]),
    "zero row alone": (np.array([[1, 0], [0, 0], [1, 0.1]], np.float32), [([0, 2], 0), ([1], 1)]),
}


@pytest.mark.parametrize("name", SMALL)
def test_small_pools(ig, name):
    rows, expected = SMALL[name]
    assert detect(rows) == expected


@pytest.mark.parametrize("rows", [pool(3, 40, 30, seed=5)[0], pool(6, 15, 10, seed=6)[0], pool(1, 7)[0],
                                  np.repeat(pool(2, 10, seed=7)[0], 3, axis=0)], ids=["3+noise", "6", "7", "dups"])
def test_communities_partition_the_pool_in_score_order(ig, rows):
    result = detect(rows)
    members = [m for m, _ in result]
    assert sorted(p for m in members for p in m) == list(range(len(rows)))
    assert all(m == sorted(m) for m in members)
    assert [m[0] for m in members] == sorted(m[0] for m in members)
    assert all(central in m for m, central in result)
    assert all(type(p) is int for m, c in result for p in [*m, c])
    assert detect(rows.astype(np.float64) * 4) == result  # scaled rows are brought back to unit length


def test_same_groups_every_run_and_in_another_process(ig, tmp_path):
    rows, _ = pool(5, 40, 40, seed=11, spread=1.5)
    first = detect(rows)
    assert all(detect(rows) == first for _ in range(3))
    np.save(tmp_path / "rows.npy", rows)
    code = ("import json, sys, numpy as np; from tarnexa.search.communities import detect; "
            "print(json.dumps(detect(np.load(sys.argv[1]))))")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "rows.npy")], env=env,
                         capture_output=True, text=True, check=True, timeout=120).stdout
    assert [(m, c) for m, c in json.loads(out)] == first


def erdos_renyi_after_seed(ig):
    """Edges of a random graph drawn by igraph right after seeding `random`."""
    random.seed(99)
    return ig.Graph.Erdos_Renyi(n=30, p=0.2).get_edgelist()


def test_caller_random_state_untouched_and_igraph_generator_restored(ig, monkeypatch):
    before = erdos_renyi_after_seed(ig)  # igraph draws from `random` by default
    rows, _ = pool(3, 20, 10)
    random.seed(1234)
    state = random.getstate()
    detect(rows)
    assert random.getstate() == state
    assert erdos_renyi_after_seed(ig) == before

    def broken(*args, **kwargs):
        raise RuntimeError("leiden failed")
    monkeypatch.setattr(ig.Graph, "community_leiden", broken)
    with pytest.raises(RuntimeError, match="leiden failed"):
        detect(rows)
    assert erdos_renyi_after_seed(ig) == before


@pytest.mark.parametrize("rows, message", [
    (np.ones(4, np.float32), "2-D"), (np.ones((2, 2, 2), np.float32), "2-D"),
    (np.array([[1, 0], [np.nan, 1]], np.float32), "finite"), (np.array([[np.inf, 0]], np.float32), "finite"),
])
def test_refuses_rows_that_are_no_finite_matrix(ig, rows, message):
    with pytest.raises(ValueError, match=message):
        detect(rows)


def test_without_igraph(monkeypatch):
    monkeypatch.setitem(sys.modules, "igraph", None)  # makes the import fail
    with pytest.raises(ImportError, match=r"communities need igraph: pip install '\.\[text\]'"):
        detect(np.ones((1, 4), np.float32))


# ---- labels, and the communities the command and the page show

TOPIC_WORDS = {
    "Deployment": "workers processes uvicorn gunicorn socket reload daemon",
    "Baking": "flour dough oven yeast knead crust loaf",
    "Astronomy": "planets orbit telescope comet galaxy nebula stars",
}


@pytest.mark.parametrize("groups, want", [
    ([["apple pear", "apple plum"], ["engine wheel", "engine gear"]],
     [("apple", "pear", "plum"), ("engine", "gear", "wheel")]),
    ([["the cat and it", "a cat", "of an is"], ["ab cd ef dog dog"]], [("cat",), ("dog",)]),  # stop words, short tokens
    ([["shared shared alpha"], ["shared shared beta"]], [("alpha", "shared"), ("beta", "shared")]),  # rare beats common
    ([["SortKey sort_key  SORTKEY"], []], [("sortkey", "sort_key"), ()]),
])
def test_label_terms(groups, want):
    from tarnexa.search.communities import label_terms
    assert label_terms(groups) == want
    assert label_terms(groups, besides=[" ".join(w) for w in want]) == [()] * len(want)  # the title's words left out


def test_labels_name_each_topic_and_the_command_shows_what_the_page_does(ig, tmp_path, monkeypatch):
    pytest.importorskip("fastapi")
    from click.testing import CliRunner
    from fastapi.testclient import TestClient

    import tarnexa
    from tarnexa.command import cli
    from tarnexa.web.app import create_app

    rng, docs, path = random.Random(3), tmp_path / "docs", str(tmp_path / "ix")
    docs.mkdir()
    for topic, words in TOPIC_WORDS.items():  # three topics sharing stop words only, a heading naming each
        for n in range(12):
            body = " ".join(f"the {w} and it" for w in rng.sample(words.split(), 4))
            (docs / f"{topic.lower()}{n}.md").write_text(f"# {topic}\n\n{body}\n")
    assert CliRunner().invoke(cli, ["index", path, str(docs), "--embedder", "hashed", "-q"]).exit_code == 0
    query, line = "workers flour telescope", "local_communities limit:4"
    with tarnexa.Index.open(path) as idx, TestClient(create_app(idx)) as client:
        page = client.get("/api/search", params={"q": query, "m": line}).json()
    assert len(page["communities"]) == 3
    for c in page["communities"]:
        assert set(c["terms"]) <= set(TOPIC_WORDS[c["title"]].split()) and len(c["terms"]) == 3
        assert c["label"] == " · ".join(c["terms"]) + " — " + c["title"]
    shown = CliRunner().invoke(cli, ["search", path, query, line]).stdout
    headed = re.findall(r"^== community \d+: (.+) \(\d+ in the pool, [1-9]\d* ranked\)$", shown, re.M)
    rest = re.findall(r"^== also in the pool, without a ranked hit: (.+)$", shown, re.M)
    listed = headed + [re.sub(r" \(\d+\)$", "", c) for c in (rest[0].split(", ") if rest else [])]
    assert sorted(listed) == sorted(c["label"] for c in page["communities"])
    assert shown.count("== community ") == len({h["community"] for h in page["hits"]})

"""Hybrid, keyword and semantic searches, metadata and filters, against references computed
here: the semantic ranking from the index itself, BM25 computed here over the stored texts,
filters applied in Python to the stored metadata."""

import fnmatch
import json
import math
import sqlite3
import sys
from collections import Counter
from pathlib import Path

import numpy as np
import pytest
from test_index import NOW, agree, corpus, embed

from click.testing import CliRunner

import tarnexa
from tarnexa.command import cli
from tarnexa.search.keywords import keyword_words
from tarnexa.storage.keywordindex import TITLE_WEIGHT, words

ROOT = Path(__file__).resolve().parent.parent

META = [{"n": i, "topic": t, "tags": [t, "even" if i % 2 == 0 else "odd"], "w": i / 4, "new": i > 30,
         "day": f"2026-01-{1 + i % 28:02d}"} if i % 9 else None for i, t in enumerate(corpus()[2])]


@pytest.fixture(scope="module")
def index(tmp_path_factory):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path_factory.mktemp("hy") / "h.tnx", embedder=embed)
    idx.add(texts, ids=ids, titles=titles, timestamps=stamps, metadata=META)
    yield idx
    idx.close()


def bm25(idx, query, docs=None):
    """(id, score) by BM25 as documented (k1 1.2, b 0.75, idf floored at 1e-6, a title word
    counting TITLE_WEIGHT times) over the stored documents (docs: those of the index, in its
    order), for every word the keyword side looks for, best first, ties in the index's order."""
    docs = docs if docs is not None else [idx.document(d) for d in idx.ids]
    counts = []
    for doc in docs:
        c = Counter()
        for weight, text in ((TITLE_WEIGHT, doc.title), (1.0, doc.text)):
            for t, _, _ in words(text):
                c[t] += weight
        counts.append(c)
    n, avg = len(docs), sum(sum(c.values()) for c in counts) / max(len(docs), 1) or 1.0
    terms = keyword_words(query)
    held = {t: sum(t in c for c in counts) for t in terms}
    out = []
    for i, (doc, c) in enumerate(zip(docs, counts)):
        norm = 1.2 * (0.25 + 0.75 * sum(c.values()) / avg)
        parts = [max(1e-6, math.log((n - held[t] + 0.5) / (held[t] + 0.5))) * c[t] * 2.2 / (c[t] + norm)
                 for t in terms if c[t]]
        if parts:
            out.append((doc.id, sum(parts), i))
    return [(d, s) for d, s, _ in sorted(out, key=lambda x: (-x[1], x[2]))]


def rrf(dense, words, k=60.0, weights=(1.0, 1.0)):
    score = {}
    for ranking, w in zip((dense[:100], words[:100]), weights):
        for rank, (d, _) in enumerate(ranking, 1):
            score[d] = score.get(d, 0.0) + w * (k + 1) / (k + rank) / sum(weights)
    return score


def convex(dense, words, k=None, weights=(0.5, 0.5)):
    """Each side's scores of the two top-100 lists' documents scaled from least to greatest over
    them (BM25 0 for a document without the words), weighed and summed."""
    cands = {d for d, _ in dense[:100]} | {d for d, _ in words[:100]}
    sem, kw = dict(dense), {d: 0.0 for d in cands} | dict(words)
    def scaled(side):
        got = [side[d] for d in cands if d in side]
        lo, hi = min(got, default=0), max(got, default=0)
        return {d: 0.0 if d not in side else (side[d] - lo) / (hi - lo) if hi > lo else 1.0 for d in cands}
    s, w = scaled(sem), scaled(kw)
    return {d: (weights[0] * s[d] + weights[1] * w[d]) / sum(weights) for d in cands}


@pytest.mark.parametrize("query,line,kw", [
    ("apple guitar", "", {}), ("engine brake", "limit:5", {}), ("plum", "limit:20", {"rrf_k": 10.0}),
    ("melody piston grape", "limit:8", {"semantic_weight": 2.0, "keyword_weight": 0.5}),
    ("chord lemon", "limit:6", {"keyword_weight": 0.0}), ("lemon", "limit:30", {"semantic_weight": 0.0}),
])
@pytest.mark.parametrize("method", ["convex", "rrf"])
def test_hybrid_is_the_fusion_of_both_rankings(index, query, line, kw, method):
    if method == "rrf" or kw.get("semantic_weight") != 0:
        kw = dict(kw, fusion=method)  # convex is the default
    dense = [(h.id, h.score) for h in index.search(query, "limit:1000", mode="semantic")]
    words = bm25(index, query)
    weights = (kw.get("semantic_weight", 1.0 if method == "rrf" else 0.5),
               kw.get("keyword_weight", 1.0 if method == "rrf" else 0.5))
    want = (rrf if method == "rrf" else convex)(dense, words, kw.get("rrf_k", 60.0), weights)
    got = index.search(query, line, explain=True, **kw)
    assert len(got) == min(len(want), int(line[6:] or 10))
    ranks = [d for d, _ in dense[:100]], [d for d, _ in words[:100]]
    for h in got:
        assert h.score == pytest.approx(want[h.id], abs=2e-4)
        e = h.explanation
        assert (e.dense_rank, e.keyword_rank) == tuple(r.index(h.id) + 1 if h.id in r else None for r in ranks)
        assert round(e.semantic_share + e.keyword_share, 4) == h.score == e.fused
        assert h.sides == tuple(s for s, r in (("semantic", e.dense_rank), ("keyword", e.keyword_rank)) if r)
    assert [h.score for h in got] == sorted((h.score for h in got), reverse=True)
    best = sorted(want.values(), reverse=True)[: len(got)]
    assert [h.score for h in got] == pytest.approx(best, abs=2e-4)  # none better left out
    keyword = index.search(query, line, mode="keyword")
    assert [(h.id, h.score) for h in keyword] == [(d, round(s, 4)) for d, s in bm25(index, query)][: len(keyword)]


LINES = ["", "limit:3", "diverse", "recent", "recent:3", "unlike:guitar", "like:cars1,cars2",
         "from: apple to: engine", "local_communities", "limit:4 diverse recent unlike:drum like:music3"]


@pytest.mark.parametrize("mode", ["hybrid", "semantic", "keyword"])
@pytest.mark.parametrize("line", LINES)
def test_every_modifier_in_every_mode(index, mode, line):
    res = index.search("apple guitar engine", line, mode=mode, pre_filter_ids=corpus()[0][::2],
                       where={"$not": {"topic": "cars"}}, explain=True)
    allowed = {d for d in corpus()[0][::2] if (index.document(d).metadata or {}).get("topic") != "cars"}
    assert res and {h.id for h in res} <= allowed
    assert len(res) <= (3 if "limit:3" in line else 4 if "limit:4" in line else 10)
    assert bool(res.communities) == ("communities" in line)
    ignored = [n for n in res.notes if "keyword mode ranks by words alone" in n]
    assert bool(ignored) == (mode == "keyword" and ("like:" in line.replace("unlike:", "") or "from:" in line))
    if mode != "semantic":
        assert all(h.explanation.keyword_rank or h.explanation.dense_rank for h in res)


def test_modifiers_move_the_keyword_side(index):
    plain = index.search("apple guitar", "limit:40", mode="keyword")
    old = [h.id for h in plain if index.document(h.id).timestamp and index.document(h.id).timestamp < NOW - 86400 * 90]
    recent = [h.id for h in index.search("apple guitar", "limit:40 recent:1", mode="keyword")]
    assert recent != [h.id for h in plain] and all(recent.index(d) >= len(recent) - len(old) - 20 for d in old[:3])
    unliked = [h.id for h in index.search("apple guitar", "limit:40 unlike:guitar", mode="keyword")]
    music = [d for d in unliked if d.startswith("music")]
    assert sorted(unliked) == sorted(h.id for h in plain) and unliked[-len(music):] == music
    picked = index.search("apple guitar", "limit:5 diverse", mode="keyword", explain=True)
    assert len(picked) == 5 and all(h.explanation.redundancy is not None for h in picked)


@pytest.mark.parametrize("text", ['"', 'NEAR(apple', "apple*", "-apple", "title:apple", "apple\x00 guitar",
                                  " ".join(["apple"] * 5000 + [f"w{i}" for i in range(5000)]), 'AND OR NOT "" ^'])
def test_hostile_query_texts_in_keyword_mode(index, text):
    for mode in ("keyword", "hybrid"):
        try:
            index.search(text, mode=mode)
        except tarnexa.EmbedderError:  # nothing either side can use: as a semantic search says
            assert mode == "hybrid" and not bm25(index, text)


def passes(meta, where):
    """The filter applied in Python to one document's metadata."""
    def values(field):
        v = meta.get(field)
        return [] if v is None else v if isinstance(v, list) else [v]

    def same(a, b):
        return type(a) is type(b) or (isinstance(a, int | float) and isinstance(b, int | float)
                                      and not isinstance(a, bool) and not isinstance(b, bool))
    ops = {"$eq": lambda a, b: a == b, "$gt": lambda a, b: a > b, "$gte": lambda a, b: a >= b,
           "$lt": lambda a, b: a < b, "$lte": lambda a, b: a <= b}
    ok = True
    for key, cond in where.items():
        if key == "$and":
            ok &= all(passes(meta, w) for w in cond)
        elif key == "$or":
            ok &= any(passes(meta, w) for w in cond)
        elif key == "$not":
            ok &= not passes(meta, cond)
        else:
            for op, v in (cond.items() if isinstance(cond, dict) else [("$eq", cond)]):
                if op in ops:
                    ok &= any(same(x, v) and ops[op](x, v) for x in values(key))
                elif op == "$ne":
                    ok &= not any(same(x, v) and x == v for x in values(key))
                elif op == "$in":
                    ok &= any(same(x, y) and x == y for x in values(key) for y in v)
                elif op == "$nin":
                    ok &= not any(same(x, y) and x == y for x in values(key) for y in v)
                elif op == "$prefix":
                    ok &= any(isinstance(x, str) and x.startswith(v) for x in values(key))
                elif op == "$glob":
                    ok &= any(isinstance(x, str) and fnmatch.fnmatchcase(x, v) for x in values(key))
                elif op == "$contains":
                    ok &= isinstance(meta.get(key), list) and any(same(x, v) and x == v for x in meta[key])
    return ok


@pytest.mark.parametrize("where", [
    {"topic": "fruit"}, {"tags": "even"}, {"n": {"$gte": 10, "$lt": 20}}, {"w": {"$gt": 2.5}}, {"new": True},
    {"n": 1}, {"n": True}, {"day": {"$lte": "2026-01-05"}}, {"topic": {"$ne": "music"}},
    {"topic": {"$in": ["cars", "noise", 3]}}, {"topic": {"$nin": ["cars"]}}, {"tags": {"$contains": "odd"}},
    {"topic": {"$contains": "fruit"}}, {"$or": [{"topic": "cars"}, {"n": {"$lt": 3}}]},
    {"$and": [{"tags": "even"}, {"$not": {"topic": "fruit"}}]}, {"topic": "music", "n": {"$gt": 28}},
    {"n": {"$in": []}}, {"nothing": {"$ne": 1}}, {"day": {"$prefix": "2026-01-1"}}, {"topic": {"$glob": "*u*"}},
    {"tags": {"$glob": "[eo]*"}}, {"topic": {"$prefix": ""}}, {"n": {"$prefix": "1"}},
])
def test_filters_pass_what_python_passes(index, where):
    ids = corpus()[0]
    want = {d for d in ids if passes(index.document(d).metadata, where)}
    for mode in ("semantic", "hybrid", "keyword"):
        res = index.search("apple guitar engine piano", "limit:100", mode=mode, where=where)
        assert {h.id for h in res} <= want and (mode == "keyword" or {h.id for h in res} == want), mode
        assert all(h.metadata == (index.document(h.id).metadata) for h in res)
    if not want:
        assert any("no document passes the filter" in n for n in res.notes)


@pytest.mark.parametrize("where,message", [
    ({"n": {"$foo": 1}}, "unknown operator '\\$foo' for field 'n'"), ({"$xor": []}, "unknown operator"),
    ({"n": [1, 2]}, "use {'\\$in'"), ({"n": {"$gt": True}}, "compares numbers or texts"),
    ({"n": {"$in": 3}}, "takes a list"), ({"n": {"$gt": float("nan")}}, "not a finite"),
    ({"$and": []}, "non-empty list"), ({"n": {}}, "has no operator"), ({"n": {"a": 1}}, "takes operators"),
    ({"n": None}, "not NoneType"), ("topic=fruit", "a filter is a dict"), ({}, "empty"),
    ({"n": 2 ** 70}, "too large"), ({"n": {"$eq": {"x": 1}}}, "not dict"), ({"n": {"$glob": 3}}, "takes a text"),
])
def test_malformed_filters(index, where, message):
    with pytest.raises(ValueError, match=message):
        index.search("apple", where=where)


DEEP = '{"$not":' * 100_000 + '{"n": 1}' + "}" * 100_000


@pytest.mark.parametrize("texts,want", [
    ("", None), ("  ", None), ("topic=fruit", {"topic": "fruit"}), ("n=3", {"n": 3}), ("new=true", {"new": True}),
    ('{"n": {"$gt": 2}}', {"n": {"$gt": 2}}), (["n=1", "topic=cars"], {"$and": [{"n": 1}, {"topic": "cars"}]}),
    ("day>=2026-01-20", {"day": {"$gte": "2026-01-20"}}), ("n>30", {"n": {"$gt": 30}}), ("w<=1.5", {"w": {"$lte": 1.5}}),
    ("topic!=music", {"topic": {"$ne": "music"}}), ("day:2026-01-1", {"day": {"$prefix": "2026-01-1"}}),
    ("topic:*u*", {"topic": {"$glob": "*u*"}}), ("a=b>c", {"a": "b>c"}),
    ("topic", "is not one this reads"), ("{nope", "is not JSON"), (DEEP, "nests deeper"), ("<3", "not one this reads"),
])
def test_one_filter_parser_for_the_command_and_the_page(texts, want):
    from tarnexa.storage.filters import parse_filter
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want) as e:
            parse_filter(texts)
        assert "\n" not in str(e.value) and len(str(e.value)) < 200
    else:
        assert parse_filter(texts) == want


def test_the_command_refuses_a_deep_filter_in_one_line(index):
    for deep in (DEEP, '{"$not":' * 500 + '{"n": 1}' + "}" * 500):  # past the JSON reader; past the filter's depth
        got = CliRunner().invoke(cli, ["search", str(index.path), "apple", "--where", deep])
        assert got.exit_code == 2 and len(got.output.strip().splitlines()) == 1 and "Traceback" not in got.output
    got = CliRunner().invoke(cli, ["search", str(index.path), "apple pear", "--json", "--limit", "2", "--embedder",
                                   "test_index:embed",
                                   "--where", "day>=2026-01-05", "--where", "topic:fr*"])
    hits = json.loads(got.stdout)["hits"]
    assert got.exit_code == 0 and 0 < len(hits) <= 2
    assert all(h["metadata"]["day"] >= "2026-01-05" and h["metadata"]["topic"] == "fruit" for h in hits)


def test_queries_compare_and_hash_by_every_field():
    make = tarnexa.Query.parse
    same = [make("a", "limit:3", mask=np.array([True, False]), where={"n": 1, "t": "x"}),
            make("a", "limit:3", mask=[True, False], where={"t": "x", "n": 1})]
    assert same[0] == same[1] and hash(same[0]) == hash(same[1]) and len(set(same)) == 1
    for other in (make("a", "limit:3", mask=[True, True], where={"n": 1, "t": "x"}),
                  make("a", "limit:3", mask=[True, False], where={"n": 2, "t": "x"}),
                  make("a", "limit:3", mask=[True, False], where={"n": 1, "t": "x"}, mode="keyword")):
        assert other != same[0]


@pytest.mark.parametrize("meta,message", [
    ({"a": {"b": 1}}, "'a' holds dict"), ({"a": [1, [2]]}, "'a' holds list"), ({"a": float("inf")}, "holds inf"),
    ({"$a": 1}, "key '\\$a'"), ({1: 1}, "key 1"), ({"a": None}, "holds NoneType"), ("x", "not a dict"),
])
def test_bad_metadata_names_the_document(tmp_path, meta, message):
    idx = tarnexa.Index.create(tmp_path / "m.tnx", embedder=embed)
    with pytest.raises((ValueError, TypeError), match="document 'b'.*" + message):
        idx.add(["one", "two"], ids=["a", "b"], metadata=[{"ok": [1, "x", True, 2.5]}, meta])
    assert len(idx) == 0


# What an index of an earlier format looked like, made from one of today's.
EARLIER = {
    1: """DROP TRIGGER docs_drop; DROP TRIGGER docs_change;
          DROP TABLE meta; ALTER TABLE docs RENAME TO now;
          CREATE TABLE docs (id TEXT PRIMARY KEY, row INTEGER NOT NULL UNIQUE, title TEXT NOT NULL,
                             text TEXT NOT NULL, timestamp REAL, source TEXT);
          INSERT INTO docs SELECT id, row, title, text, timestamp, source FROM now; DROP TABLE now;""",
    # The second kept an FTS5 table of the words, filled by triggers.
    2: """CREATE VIRTUAL TABLE keywords USING fts5(title, text, content='docs', content_rowid='n',
                                                 tokenize='porter unicode61');
          INSERT INTO keywords (keywords) VALUES ('rebuild');
          CREATE TRIGGER docs_words AFTER INSERT ON docs BEGIN
              INSERT INTO keywords (rowid, title, text) VALUES (new.n, new.title, new.text); END;""",
}


@pytest.mark.parametrize("version", sorted(EARLIER))
def test_an_index_of_an_earlier_format_is_upgraded_once(tmp_path, index, version):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path / "old.tnx", embedder=embed)
    kept = [{"k": 0} if version > 1 else {}] * len(ids)  # the first format kept no metadata
    idx.add(texts, ids=ids, titles=titles, timestamps=stamps, metadata=kept)
    before = [idx.search(t, "limit:5", mode="semantic") for t in ("apple guitar", "engine")]
    idx.close()
    with sqlite3.connect(tmp_path / "old.tnx" / "docs.sqlite") as db:
        db.executescript(EARLIER[version] + f"UPDATE settings SET value = '{version}' WHERE key = 'format_version';")
    with tarnexa.Index.open(tmp_path / "old.tnx", embedder=embed) as idx:
        assert [idx.search(t, "limit:5", mode="semantic") for t in ("apple guitar", "engine")] == before
        assert [h.id for h in idx.search("plum", mode="keyword")] == [d for d, _ in bm25(idx, "plum")][:10]
        idx.add(["plum plum"], ids=["p"], metadata=[{"k": 1}])
        assert idx.search("plum", mode="keyword", where={"k": 1})[0].id == "p"
        assert idx.count({"k": 0}) == (len(ids) if version > 1 else 0) and idx.verify() == []
    with sqlite3.connect(tmp_path / "old.tnx" / "docs.sqlite") as db:
        assert db.execute("SELECT value FROM settings WHERE key = 'format_version'").fetchone() == ("3",)
        assert db.execute("SELECT count(*) FROM sqlite_master WHERE name LIKE 'keywords%' OR name = 'docs_words'"
                          ).fetchone() == (0,)


def test_deletes_replacements_and_compaction_keep_the_sides_in_step(tmp_path):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path / "c.tnx", embedder=embed)
    idx.add(texts, ids=ids, titles=titles, metadata=META)
    idx.add(["violin violin"] * 10, ids=ids[:10], metadata=[{"v": 1}] * 10)  # replaced
    idx.delete(ids[10:30])  # past a quarter of the cache dead: compacted
    agree(idx.path)
    assert {h.id for h in idx.search("violin", "limit:50", mode="keyword")} >= set(ids[:10])
    assert {h.id for h in idx.search("violin", "limit:50", where={"v": 1})} == set(ids[:10])
    assert not set(ids[10:30]) & {h.id for h in idx.search("apple guitar engine", "limit:100", mode="keyword")}
    rows = np.asarray(idx.vectors(ids[:10]))
    assert np.allclose(rows, rows[0])


def test_every_word_is_kept_and_a_missing_one_removes_nothing(tmp_path):
    idx = tarnexa.Index.create(tmp_path / "w.tnx", embedder=embed)
    idx.add([f"common words {t}" for t in ("plum", "plum pear", "gear", "drum", "melody")], ids=list("abcde"))
    assert [h.id for h in idx.search("common plum", mode="keyword")] == list("abcde")  # 'common' is in all five
    got = idx.search("plum zzyzx", mode="keyword")
    assert [h.id for h in got] == ["a", "b"] and got.notes == (
        "no document holds 'zzyzx': the keyword side looked for the query's other words",)
    assert [h.id for h in idx.search("zzyzx", mode="keyword")] == []


@pytest.mark.parametrize("mode", ["hybrid", "semantic", "keyword"])
@pytest.mark.parametrize("line", ["", "diverse", "recent"])
def test_pages_are_the_ranking_cut_in_pieces(index, mode, line):
    whole = index.search("apple guitar engine", f"limit:12 {line}", mode=mode, explain=True)
    pages = [index.search("apple guitar engine", line, mode=mode, explain=True, limit=4, offset=o) for o in (0, 4, 8)]
    assert [h for p in pages for h in p] == list(whole)
    assert index.search("apple", limit=3, offset=10_000).hits == ()


def test_documents_by_id_and_filter(tmp_path):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path / "g.tnx", embedder=embed)
    idx.add(texts, ids=ids, titles=titles, timestamps=stamps, metadata=META)
    fruit = {"topic": "fruit"}
    assert [d.id for d in idx.get(["music3", "zz", "fruit1"])] == ["music3", "fruit1"]
    assert [d.id for d in idx.get(where=fruit)] == [d for d in ids if passes(idx.document(d).metadata, fruit)]
    assert [d.id for d in idx.get(["music3", "fruit1"], where=fruit)] == ["fruit1"] and len(idx.get()) == 40
    assert idx.count() == 40 and idx.count(where=fruit) == len(idx.get(where=fruit)) > 0
    with pytest.raises(ValueError):
        idx.count(where={"n": {"$nope": 1}})
    run = CliRunner().invoke(cli, ["show", str(idx.path), "fruit1", "--json"])
    assert json.loads(run.stdout) | {"timestamp": None} == {"id": "fruit1", "title": "fruit", "timestamp": None,
                                                           "metadata": META[1], "text": texts[1]}
    assert CliRunner().invoke(cli, ["show", str(idx.path), "zz"]).exit_code == 2
    held = idx.count(where=fruit)
    run = CliRunner().invoke(cli, ["delete", str(idx.path), "music3", "--where", "topic=fruit"])  # both: none
    assert run.exit_code == 0 and "deleted 0 documents" in run.stdout
    assert idx.delete(where=fruit) == held and idx.count(where=fruit) == 0 and len(idx) == 40 - held
    assert idx.delete(["music3"]) == 1 and "music3" not in idx


def test_convex_fusion_scores_every_candidate_and_unlike_takes_the_keyword_share(index):
    q, away = embed(["apple guitar"])[0], embed(["guitar"])[0]
    for h in index.search("apple guitar", "limit:40 unlike:guitar", explain=True):
        v = index.vectors([h.id])[0]
        if float(v @ away) > float(v @ q) + 1e-6:
            assert h.explanation.keyword_share == 0
    with pytest.raises(ValueError, match="fusion must be one of"):
        index.search("apple", fusion="sum")


def test_an_index_records_its_fusion_and_an_older_one_takes_its_embedders(tmp_path):
    with tarnexa.Index.create(tmp_path / "i", embedder="hashed:64") as idx:
        assert idx.fusion == {"method": "convex", "semantic_weight": 0.2, "keyword_weight": 0.8}
        idx.add(["apple pie", "guitar chords"] + [f"topic{i % 7} word{i}" for i in range(300)],
                ids=["a", "b"] + [f"w{i}" for i in range(300)])
        got = {h.id: h.explanation for h in idx.search("topic3 word7 topic5", "limit:100", explain=True)}
        # every candidate scored by meaning, also one that side did not rank among its best 100
        assert all(e.dense_score is not None for e in got.values()) and got["w7"].dense_rank is None
        assert all(e.keyword_score is not None or e.keyword_rank is None for e in got.values())
        lone = idx.search("guitarist pies", explain=True)  # no document holds a word of it: no keyword share
        assert lone and all(h.explanation.keyword_share == 0 and h.score == h.explanation.semantic_share for h in lone)
    with sqlite3.connect(tmp_path / "i" / "docs.sqlite") as db:
        db.execute("UPDATE settings SET value = ? WHERE key = 'fusion'",
                   (json.dumps({"method": "rrf", "semantic_weight": 1, "keyword_weight": 1}),))
    with tarnexa.Index.open(tmp_path / "i") as idx:
        assert idx.info()["fusion"]["method"] == "rrf"
        rrf_score = idx.search("apple", explain=True)[0].explanation
        assert (rrf_score.semantic_share, rrf_score.keyword_share) == (0.5, 0.5)  # first on both sides
    with sqlite3.connect(tmp_path / "i" / "docs.sqlite") as db:
        db.execute("DELETE FROM settings WHERE key = 'fusion'")
    with tarnexa.Index.open(tmp_path / "i") as idx:
        assert idx.fusion["semantic_weight"] == 0.2 and idx.search("apple")[0].id == "a"


@pytest.mark.parametrize("embedder", ["hashed", "wordllama"])
def test_the_default_fusion_is_never_below_its_better_side_on_the_demo(tmp_path, embedder):
    if embedder == "wordllama":
        pytest.importorskip("wordllama")
    sys.path[:0] = [str(ROOT), str(ROOT / "examples")]
    from benchmarks import quality
    from benchmarks.ir_quality import metrics

    corpus = quality.demo_corpus()
    with corpus.build(embedder, tmp_path / "i") as idx:
        texts, judged = [q.text for q in corpus.questions], [{e: 1 for e in q.expected} for q in corpus.questions]
        ndcg = {mode: sum(metrics([h.id for h in hits], j)[0] for hits, j in
                          zip(idx.search_many(texts, limit=10, mode=mode), judged)) / len(texts)
                for mode in ("semantic", "keyword", "hybrid")}
    assert ndcg["hybrid"] >= max(ndcg["semantic"], ndcg["keyword"]), ndcg

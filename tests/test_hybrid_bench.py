"""The pieces of the hybrid benchmarks whose faults would skew their figures unseen."""

import sqlite3
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import tarnexa  # noqa: E402
from benchmarks import hybrid_speed, keyword_speed, quality  # noqa: E402
from benchmarks.report import write_section  # noqa: E402
from tarnexa.text import embedders  # noqa: E402


@pytest.mark.parametrize("texts", [
    ["alpha beta alpha beta alpha", "gamma"],
    ["The removed items, removing the Removes; of it and a", "snake_case_name CamelCaseName HTTPServer 2026"],
    ["naïve café über straße", "x", "a the of"],  # the last: only stop words, a zero row
    ["tarnexa probe: a quick brown fox jumps over the lazy dog; 0123456789"] * 3,
])
def test_fast_hashed_gives_the_hashed_embedders_rows(texts):
    fast = hybrid_speed.FastHashed(64)
    fast.learn(["alpha", "beta"])
    for batch in (texts, texts[:1]):  # a fresh word after the tables were made
        np.testing.assert_allclose(fast(batch), embedders.HashedEmbedder(64)(batch), atol=1e-6)


def test_passages_are_the_same_whatever_range_asks_for_them():
    vocab, cdf = hybrid_speed.vocabulary(2000), hybrid_speed.zipf_cdf(2000)
    whole = hybrid_speed.passages(vocab, cdf, 0, hybrid_speed.BATCH + 10)
    assert hybrid_speed.passages(vocab, cdf, hybrid_speed.BATCH - 5, hybrid_speed.BATCH + 10) == whole[-15:]
    assert all(40 <= len(p.split()) <= 80 for p in whole[:1000])
    assert {w for w in vocab if embedders.words(w) != [w]} == set()  # each word one unchanged stem


@pytest.mark.parametrize("lines, error", [
    ("# about\nq1\ta.md\tb.md\n\nq2\tc.md\n", None),
    ("q1\n", "at least one expected"),
    ("q1\t \n", "at least one expected"),
    ("q1\ta.md\nq1\tb.md\n", "asked twice"),
    ("# only a comment\n", "no questions"),
])
def test_read_questions(tmp_path, lines, error):
    path = tmp_path / "q.tsv"
    path.write_text(lines)
    if error:
        with pytest.raises(SystemExit, match=error):
            quality.read_questions(path)
    else:
        header, qs = quality.read_questions(path)
        assert header == ["about"] and qs == [quality.Question("q1", frozenset({"a.md", "b.md"})),
                                              quality.Question("q2", frozenset({"c.md"}))]


@pytest.mark.parametrize("ranked, expected, rank", [
    (["a.md#1", "b.md#2"], {"b.md"}, 2),
    (["x#y.md#3"], {"x#y.md"}, 1),  # a # in the file's name
    (["a.md#1"], {"a.md#1"}, None),  # a label is a file, not a passage
    ([], {"a.md"}, None),
])
def test_first_rank_by_file(ranked, expected, rank):
    assert quality.first_rank([quality.file_of(d) for d in ranked], frozenset(expected)) == rank


def test_scores_count_recall_at_5_and_mrr_at_10():
    assert quality.scores([1, 2, 5, 6, 10, 11, None, None]) == pytest.approx(
        (3 / 8, (1 + 1 / 2 + 1 / 5 + 1 / 6 + 1 / 10) / 8))


def test_write_section_replaces_its_own_section_only(tmp_path):
    path = tmp_path / "doc" / "hybrid.md"
    write_section(path, "## Speed", "fast")
    write_section(path, "## Quality", "good")
    write_section(path, "## Speed", "faster\n\nstill")
    assert path.read_text() == "# Hybrid search\n\n## Speed\n\nfaster\n\nstill\n\n## Quality\n\ngood\n"


def test_a_call_past_the_budget_is_stopped_and_not_repeated():
    db = sqlite3.connect(":memory:")
    slow_sql = "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c) SELECT count(*) FROM c"

    def slow(q):
        db.execute(slow_sql).fetchall()
    slow.interrupt = db.interrupt
    got = hybrid_speed.time_calls({"fast": lambda q: None, "slow": slow}, ["a", "b", "c"], budget=0.2)
    assert len(got["fast"]) == 3 and len(got["slow"]) == 1 and hybrid_speed.CUT[id(got["slow"])] is True
    assert "(" not in hybrid_speed.cell(got["fast"], hybrid_speed.median) and \
        hybrid_speed.cell(got["slow"], hybrid_speed.median).startswith(">= ")


@pytest.mark.parametrize("label, error", [("b/net.md", None), ("gone.md", "does not hold: gone.md")])
def test_a_folder_corpus_is_rated_by_file_and_refuses_labels_of_files_it_lacks(tmp_path, monkeypatch, label, error):
    docs = tmp_path / "docs"
    (docs / "b").mkdir(parents=True)
    (docs / "cook.md").write_text("# Cooking\n\nBoil pasta in salted water for ten minutes.\n")
    (docs / "b" / "net.md").write_text("# Sockets\n\nOpen a TCP socket and send bytes over the network.\n")
    monkeypatch.setattr(quality, "QUESTIONS", tmp_path)
    (tmp_path / "tiny.tsv").write_text(f"# a tiny corpus\nsend bytes over a socket\t{label}\n")
    corpus = quality.folder_corpus("tiny", docs)
    if error:
        with pytest.raises(SystemExit, match=error):
            quality.evaluate(corpus, ["hashed"])
        return
    rows, size = quality.evaluate(corpus, ["hashed"])
    assert size == 2 and [r[1:4] for r in rows] == [(mode, 1.0, 1.0) for mode in quality.MODES]


@pytest.mark.parametrize("words", keyword_speed.LENGTHS)
def test_keyword_queries_hold_distinct_words_the_same_in_every_run(words):
    vocab, cdf = hybrid_speed.vocabulary(2000), hybrid_speed.zipf_cdf(2000)
    qs = keyword_speed.queries(vocab, cdf, words, 50)
    assert qs == keyword_speed.queries(vocab, cdf, words, 50) != keyword_speed.queries(vocab, cdf, words, 50, salt=1)
    assert all(len(set(q.split())) == len(q.split()) == words for q in qs) and set(" ".join(qs).split()) <= set(vocab)


def test_the_peers_number_the_passages_as_tarnexa_does_and_are_built_once(tmp_path):
    vocab, cdf = hybrid_speed.vocabulary(2000), hybrid_speed.zipf_cdf(2000)
    kinds = ["FTS5", "tantivy"] if keyword_speed.tantivy else ["FTS5"]
    peers = keyword_speed.build_peers(tmp_path, 300, vocab, cdf, kinds)
    top: dict[str, dict[str, list[int]]] = {k: {} for k in kinds}
    calls = {"FTS5": keyword_speed.fts5_call(peers["FTS5"]["path"], top["FTS5"])}
    if keyword_speed.tantivy:
        calls["tantivy"] = keyword_speed.tantivy_call(peers["tantivy"]["path"], top["tantivy"])
    texts = hybrid_speed.passages(vocab, cdf, 0, 300)
    for k in (0, 7, 299):  # a passage's eight rarest words find it first
        q = " ".join(sorted(set(texts[k].split()), key=vocab.index)[-8:])
        for kind, call in calls.items():
            call(q)
            assert top[kind][q][0] == k and len(top[kind][q]) == 10, kind
    assert all("here" in s for s in peers.values())
    assert not any("here" in s for s in keyword_speed.build_peers(tmp_path, 300, vocab, cdf, kinds).values())
    stamp = tmp_path / "fts5-n300.sqlite.json"
    stamp.write_text(stamp.read_text().replace("SQLite", "SQLite 0.0 then"))  # another version's
    assert "here" in keyword_speed.build_peers(tmp_path, 300, vocab, cdf, ["FTS5"])["FTS5"]


def test_the_parts_of_an_index_folder_add_up_to_the_whole(tmp_path):
    with tarnexa.Index.create(tmp_path / "i", embedder="hashed:8") as index:
        index.add([f"alpha beta {i}" for i in range(100)])
        (tmp_path / "i" / "later").mkdir()  # a part this version does not make
        (tmp_path / "i" / "later" / "postings").write_bytes(b"x" * 10_000)
        got = dict(keyword_speed.parts(tmp_path / "i"))
    assert got["later/"] >= 10_000 and got["docs.sqlite"] > 0 and any(k.startswith("vectors-") for k in got)
    assert got["the whole folder"] == sum(v for k, v in got.items() if ":" not in k and k != "the whole folder")
    if "docs.sqlite: the rest" in got:  # an index of an older format, with its FTS5 tables
        assert got["docs.sqlite: its FTS5 keyword tables"] + got["docs.sqlite: the rest"] == got["docs.sqlite"]


def test_a_tarnexa_index_is_built_again_when_its_stamp_does_not_show_this_layout(tmp_path):
    vocab, cdf = hybrid_speed.vocabulary(2000), hybrid_speed.zipf_cdf(2000)
    fast = hybrid_speed.FastHashed(hybrid_speed.DIMS)
    folder, stamp = tmp_path / "n30", tmp_path / "n30.build.json"
    assert keyword_speed.tarnexa_index(folder, 30, vocab, cdf, fast)["here"]
    assert "here" not in keyword_speed.tarnexa_index(folder, 30, vocab, cdf, fast)
    stamp.write_text(stamp.read_text().replace('"layout": [', '"layout": ["an older part", '))
    assert keyword_speed.tarnexa_index(folder, 30, vocab, cdf, fast)["here"]

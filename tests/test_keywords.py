"""The keyword index: its words against SQLite's porter tokenizer, its rankings against BM25
computed here over the stored texts (across segments, deletions, compaction and filters), and a
damaged or missing index found and made again."""

import sqlite3

import numpy as np
import pytest
from test_hybrid import bm25
from test_index import embed

import tarnexa
import tarnexa.storage.folder
from tarnexa.storage import keywordindex

WORDS = ["running", "runs", "caresses", "ponies", "agreed", "plastered", "motoring", "sized", "hopping", "falling",
         "filing", "happy", "relational", "conditional", "rational", "digitizer", "callousness", "hopefulness",
         "formality", "electrical", "adjustment", "dependent", "adoption", "controlling", "rolling", "generalization",
         "oscillators", "probate", "cease", "sky", "news", "x86", "py3k", "a", "is", "ÉCOLE", "naïve", "über"]


def test_words_are_sqlites_porter_stems():
    db = sqlite3.connect(":memory:")
    db.execute("CREATE VIRTUAL TABLE q USING fts5(x, tokenize='porter unicode61')")
    db.execute("CREATE VIRTUAL TABLE v USING fts5vocab(q, instance)")
    db.executemany("INSERT INTO q (rowid, x) VALUES (?, ?)", enumerate(WORDS))
    theirs = dict(db.execute("SELECT doc, term FROM v"))
    assert [keywordindex.terms(w) for w in WORDS] == [[theirs[i]] for i in range(len(WORDS))]


@pytest.mark.parametrize("text,want", [
    ("snake_case x86_64 2^64", [("snake", 0, 5), ("case", 6, 10), ("x86", 11, 14), ("64", 15, 17), ("2", 18, 19),
                                ("64", 20, 22)]),
    ("cafe\u0301 Ärger 日本語", [("cafe", 0, 5), ("arger", 6, 11), ("日本語", 12, 15)]),  # the accent inside its word
    ("a\x00b \U0001f600 ¿qué?", [("a", 0, 1), ("b", 2, 3), ("que", 7, 10)]),
    ("x" * 200, [("x" * 64, 0, 200)]),
])
def test_words_and_where_they_lie(text, want):
    assert keywordindex.words(text) == want


def corpus(n=300, seed=7):
    """Titles and texts of Zipf-distributed made-up words, with hostile ones among them."""
    rng = np.random.default_rng(seed)
    vocab = [f"w{i}x" for i in range(400)]
    texts = [" ".join(vocab[min(int(z), 399)] for z in rng.zipf(1.3, rng.integers(1, 60))) for _ in range(n)]
    texts[3], texts[5], texts[8] = "w3x", "NEAR(\"w1x\" w2x)* -w3x", "w1x " * 500
    return [f"t{i}" for i in range(n)], texts, [vocab[i % 50] if i % 3 else "" for i in range(n)]


QUERIES = ["w1x", "w0x w1x w2x", "w399x", "nowhere w5x", "nowhere", "w1x w1x w1x", "w7x w8x w9x w10x w11x w12x",
           " ".join(f"w{i}x" for i in range(0, 100, 2)), 'NEAR("w1x" OR -w3x)*', "W1X w2X"]


def same_ranking(got, want, k):
    """got (id, score rounded to 4) is the first k of want (id, score) up to ties at the cut."""
    assert len(got) == min(k, len(want))
    for (gid, gs), (wid, ws) in zip(got, want):
        assert gs == pytest.approx(ws, abs=1e-4)
        if gid != wid:  # only a tie may swap places
            assert dict(want)[gid] == pytest.approx(ws, abs=1e-9)


@pytest.fixture(scope="module")
def grown(tmp_path_factory):
    """An index made in several writes (one segment each, some merged), with documents replaced
    and deleted, compacted once along the way."""
    ids, texts, titles = corpus()
    idx = tarnexa.Index.create(tmp_path_factory.mktemp("kw") / "k.tnx", embedder=embed)
    for a in range(0, 300, 30):
        idx.add(texts[a : a + 30], ids=ids[a : a + 30], titles=titles[a : a + 30],
                metadata=[{"odd": i % 2 == 1} for i in range(a, a + 30)])
    idx.delete(ids[::4])
    idx.add(texts[1:40:2][::-1], ids=ids[1:40:2], titles=titles[1:40:2])  # replaced: new rows
    yield idx
    idx.close()


@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("k", [1, 10, 200])
def test_keyword_rankings_are_exact_bm25(grown, query, k):
    got = grown.search(query, mode="keyword", limit=k)
    same_ranking([(h.id, h.score) for h in got], bm25(grown, query), k)
    odd = grown.search(query, mode="keyword", limit=k, where={"odd": True})
    docs = [grown.document(d) for d in grown.ids]
    allowed = {d.id for d in docs if d.metadata.get("odd")}
    want = [(d, s) for d, s in bm25(grown, query, docs) if d in allowed]  # statistics over all, rows filtered
    same_ranking([(h.id, h.score) for h in odd], want, k)


def test_compaction_and_the_segments_it_leaves(grown):
    before = {q: [(h.id, h.score) for h in grown.search(q, mode="keyword", limit=50)] for q in QUERIES}
    grown.delete(grown.ids[: len(grown) // 2])  # past a quarter dead: a compaction moves every row
    assert grown.info()["dead_rows"] == 0
    for q in QUERIES:
        same_ranking([(h.id, h.score) for h in grown.search(q, mode="keyword", limit=50)], bm25(grown, q), 50)
    assert before  # the rankings before were exact too (the test above)
    grown.verify()


def test_a_damaged_or_missing_keyword_index_is_found_and_made_again(tmp_path, monkeypatch):
    ids, texts, titles = corpus(120)
    with tarnexa.Index.create(tmp_path / "d.tnx", embedder=embed) as idx:
        idx.add(texts, ids=ids, titles=titles)
        want = bm25(idx, "w1x w2x")
    folder = tmp_path / "d.tnx" / keywordindex.FOLDER
    for damage in ("flip", "manifest", "remove"):
        seg = next(folder.glob("*.seg"))
        if damage == "flip":
            data = bytearray(seg.read_bytes())
            data[len(data) // 2] ^= 0x10
            seg.write_bytes(data)
        elif damage == "manifest":
            (folder / keywordindex.MANIFEST).write_text("{not json")
        else:
            for f in folder.iterdir():
                f.unlink()
        with monkeypatch.context() as m:  # as where it cannot be written: searched from what the store holds
            m.setattr(tarnexa.storage.folder.Writer, "catch_up", lambda self: (_ for _ in ()).throw(OSError("ro")))
            with tarnexa.Index.open(tmp_path / "d.tnx", embedder=embed) as idx:
                same_ranking([(h.id, h.score) for h in idx.search("w1x w2x", mode="keyword", limit=20)], want, 20)
                if damage == "remove":  # not damage: made from the documents when needed
                    assert any("no keyword index" in n for n in idx.verify())
                else:
                    with pytest.raises(tarnexa.CacheError, match="keyword index is damaged"):
                        idx.verify()
        with tarnexa.Index.open(tmp_path / "d.tnx", embedder=embed) as idx:  # writable: made again on open
            idx.verify()
            same_ranking([(h.id, h.score) for h in idx.search("w1x w2x", mode="keyword", limit=20)], want, 20)


def test_keyword_mode_embeds_nothing(tmp_path):
    calls = []

    def counting(texts):
        calls.extend(texts)
        return embed(texts)
    with tarnexa.Index.create(tmp_path / "e.tnx", embedder=counting) as idx:
        idx.add(["apple pie", "pear tart"], ids=["a", "b"])
        calls.clear()
        assert [h.id for h in idx.search("apple", mode="keyword")] == ["a"] and calls == []
        idx.search("apple", mode="keyword", explain=True)
        assert calls == ["apple"]  # explained: its similarity is the query's


def test_hits_mark_the_words_looked_for(tmp_path):
    long = "filler " * 60 + "the Apples were sweet, and apples again"
    with tarnexa.Index.create(tmp_path / "h.tnx", embedder=embed) as idx:
        idx.add(["apples are red and sweet", long, "pears"], ids=["a", "b", "c"])
        for mode in ("keyword", "hybrid"):
            got = {h["id"]: h for h in idx.search("sweet apple", mode=mode).to_dict()["hits"]}
            for h in (got["a"], got["b"]):
                assert [h["snippet"][s:e].lower() for s, e in h["highlights"]] in (
                    ["apples", "sweet"], ["apples", "sweet", "apples"])
            assert got["b"]["snippet"].startswith("…") and not got.get("c", {}).get("highlights")
        assert idx.search("sweet apple", mode="semantic")[0].highlights == ()


def test_an_empty_index_has_a_whole_keyword_index(tmp_path):
    """Made empty, its keyword index loads as it is (nothing to catch up), and the first add
    appends a segment rather than rebuilding from the store."""
    tarnexa.Index.create(tmp_path / "e.tnx", embedder="hashed:64").close()
    assert keywordindex.load(tmp_path / "e.tnx", "vectors-0").covered == 0

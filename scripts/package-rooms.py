"""The rooms of the package and the imports between them, lowest room first: each import of a
tarnexa module (at the top of a file or inside a function) is an arrow from the importing room
to the imported one, and every arrow must run downwards or stay in its room.

    python scripts/package-rooms.py                 # the arrows, one a line; exit 1 if one runs up
    python scripts/package-rooms.py --dot FILE.dot  # the picture as Graphviz (dot -Tpng FILE.dot)
"""

from __future__ import annotations

import ast
import sys
from collections import Counter
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "tarnexa"
# Lowest first; a module's room is the first of these its dotted name starts with. The first three
# are leaves that every room may use: one room.
ROOMS = ["tarnexa._constants", "tarnexa.errors", "tarnexa._native", "tarnexa.storage", "tarnexa.text",
         "tarnexa.search", "tarnexa.index", "tarnexa.web", "tarnexa.command", "tarnexa.__main__", "tarnexa"]
LEAVES = 3
NAMES = ["leaves (_constants, errors, _native)", *ROOMS[LEAVES:-1], "tarnexa (the package's face)"]


def room(name: str) -> int:
    rank = next(i for i, r in enumerate(ROOMS) if name == r or name.startswith(r + "."))
    return max(rank - LEAVES + 1, 0)


def imports(path: Path) -> list[str]:
    out: list[str] = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.ImportFrom) and node.module and node.module.split(".")[0] == "tarnexa":
            out += [f"{node.module}.{a.name}" for a in node.names] if node.module == "tarnexa" else [node.module]
        elif isinstance(node, ast.Import):
            out += [a.name for a in node.names if a.name.split(".")[0] == "tarnexa"]
    return out


def arrows() -> list[tuple[str, str]]:
    """(importing module, imported module) for every import of the package by itself."""
    found = []
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        found += [(name, target) for target in imports(path)]
    return found


def upwards() -> list[str]:
    return [f"{a} -> {b}" for a, b in arrows() if room(b) > room(a)]


def dot() -> str:
    counts = Counter((room(a), room(b)) for a, b in arrows() if room(a) != room(b))
    lines = ["digraph rooms {", "  rankdir=TB; node [shape=box, fontname=Helvetica];"]
    lines += [f'  r{i} [label="{n}"];' for i, n in enumerate(NAMES)]
    lines += [f'  r{a} -> r{b} [label="{c}"{", color=red" if b > a else ""}];' for (a, b), c in sorted(counts.items())]
    return "\n".join([*lines, "}"]) + "\n"


if __name__ == "__main__":
    if sys.argv[1:2] == ["--dot"]:
        Path(sys.argv[2]).write_text(dot(), encoding="utf-8")
    for a, b in arrows():
        print(f"{a} -> {b}{'   UPWARDS' if room(b) > room(a) else ''}")
    sys.exit(1 if upwards() else 0)

"""Prints the requirements of one optional-dependency group of pyproject.toml, one a line.

    python scripts/requirements.py demo
"""
import sys
import tomllib
from pathlib import Path

with open(Path(__file__).resolve().parent.parent / "pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"][sys.argv[1]]))

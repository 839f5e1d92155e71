"""The package's rooms import downwards only (the scan is scripts/package-rooms.py's)."""

import importlib.util
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "package-rooms.py"
spec = importlib.util.spec_from_file_location("package_rooms", SCRIPT)
rooms = importlib.util.module_from_spec(spec)
spec.loader.exec_module(rooms)


def test_no_import_runs_upwards():
    assert rooms.arrows() and rooms.upwards() == []

"""Two processes append to a cache while two others open searchers and search, for three
seconds (fuzz/cache_concurrency.py): consistent snapshots, every committed row seen, none lost."""

import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_appenders_and_readers_at_once():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, str(ROOT / "fuzz" / "cache_concurrency.py"), "--seconds", "3"],
                          env=env, capture_output=True, text=True, timeout=300)
    result = json.loads(proc.stdout)
    assert proc.returncode == 0 and result["failures"] == [], proc.stdout + proc.stderr[-2000:]
    assert result["appends"] > 0 and result["searchers opened"] > 0 and result["searches"] > 0, result
    assert result["final rows"] == 50 + result["rows appended"]

"""The short run of the cache fuzz harness (fuzz/cache_fuzz.py): corrupted cache directories,
each opened and searched, end in CacheError or in the intact cache's results; none crashes."""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_corrupted_caches_are_refused_or_harmless():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")])}
    proc = subprocess.run([sys.executable, str(ROOT / "fuzz" / "cache_fuzz.py"), "--cases", "400", "--batch", "200",
                           "--seed", "9000000"], env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
    refused, unchanged, failed, crashed = map(int, re.search(
        r"refused with CacheError: (\d+)  unchanged results: (\d+)  failed: (\d+)  crashed or hung: (\d+)",
        proc.stdout).groups())
    assert (refused + unchanged, failed, crashed) == (400, 0, 0)
    assert refused > 250 and unchanged > 10  # both ends are reached
    kinds = re.findall(r"^\s+\d+  (.+)$", proc.stdout, re.M)
    assert len(kinds) >= 12, kinds  # every kind of corruption was tried

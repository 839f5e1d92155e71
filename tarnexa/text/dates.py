"""The dates of the files of a source, where their modification times say nothing.

A fresh clone or copy gives every file the time it was written out: ``recent:`` and date
filters then cannot tell its files apart. For a source inside a git work tree, a file git
tracks and which is as committed gets the time of the last commit that changed it, read by one
``git log`` of the whole source (and one ``git diff`` for what changed since), never one run per file; without git, or
outside a work tree, files keep their modification times. ``same_dates`` names the sources whose
files still share one date, for a warning.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from collections.abc import Iterable
from pathlib import Path

GIT_SECONDS = 120.0  # a history that takes longer to read is not waited for
SAME_SPAN = 600.0  # seconds: files written out together by one copy or checkout
SAME_FILES = 10  # fewer files than this sharing a date may well be so


def _git(root: Path, *args: str) -> str | None:
    """git's output in root, or None when git is not there or fails (not a work tree)."""
    git = shutil.which("git")
    if git is None:
        return None
    env = {**os.environ, "GIT_OPTIONAL_LOCKS": "0", "LC_ALL": "C"}  # a reader: takes no lock
    try:
        done = subprocess.run([git, "-C", str(root), *args], capture_output=True, text=True, env=env,
                              timeout=GIT_SECONDS, errors="surrogateescape")
    except (OSError, subprocess.TimeoutExpired):
        return None
    return done.stdout if done.returncode == 0 else None


def committed(root: str | os.PathLike[str]) -> dict[str, float]:
    """Each file below the folder root (its path below it, with /) that git tracks and that is
    as its last commit left it: that commit's time, epoch seconds. Empty outside a work tree."""
    log = _git(Path(root), "-c", "core.quotePath=false", "log", "--format=%x00%ct", "--name-only", "--relative",
               "--no-renames", "--", ".")
    if not log:
        return {}
    changed = _git(Path(root), "diff", "--name-only", "--relative", "--no-renames", "-z", "HEAD", "--", ".")
    if changed is None:
        return {}
    out: dict[str, float] = {}
    for entry in log.split("\0")[1:]:
        stamp, _, names = entry.partition("\n")
        when = float(stamp)
        for name in names.splitlines():
            if name and name not in out:  # the log is newest first
                out[name] = when
    for name in changed.split("\0"):
        out.pop(name, None)  # changed since its commit: its modification time tells
    return out


def same_dates(times: Iterable[tuple[str, float]]) -> dict[str, float]:
    """Of (source, time) pairs, the sources of SAME_FILES files or more whose times all lie
    within SAME_SPAN seconds, each with the earliest."""
    spans: dict[str, list[float]] = {}
    for source, t in times:
        span = spans.setdefault(source, [t, t, 0])
        span[0], span[1], span[2] = min(span[0], t), max(span[1], t), span[2] + 1
    return {s: lo for s, (lo, hi, n) in spans.items() if n >= SAME_FILES and hi - lo <= SAME_SPAN}

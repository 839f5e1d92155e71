"""What several rooms of the package spell alike, written once: the names on disk, the scoring
defaults and the shape of a local Dask cluster. Imports nothing of the package."""

from __future__ import annotations

import inspect
import os
from typing import Any

from _tarnexa import score_candidates

# ---- an index folder ----
DOCS_DB = "docs.sqlite"  # the document store: the commit record of the index
LOCK_FILE = ".lock"  # taken by the one writer at a time
CACHE_PREFIX = "vectors-"  # a cache of the index: vectors-0, vectors-1, ... one per compaction

# ---- a cache folder ----
MANIFEST = "manifest.json"


def cache_name(generation: int) -> str:
    """The folder name of an index's cache of that generation."""
    return f"{CACHE_PREFIX}{generation}"


def cache_generation(name: str) -> int:
    """The generation of a cache folder named by cache_name."""
    return int(name.rpartition("-")[2])


# ---- scoring ----
# The module's own defaults, read from its text signature.
SCORING_DEFAULTS: dict[str, Any] = {
    name: p.default for name, p in inspect.signature(score_candidates).parameters.items()
    if p.default is not inspect.Parameter.empty}


# ---- a local Dask cluster ----
def local_cluster_options(workers: int | None) -> dict[str, Any]:
    """LocalCluster's arguments for searching: single-threaded worker processes (one per core
    by default), no memory limit (the matrix is memory-mapped and shared), a dashboard on a
    free port."""
    return {"n_workers": workers or os.cpu_count() or 1, "threads_per_worker": 1, "processes": True,
            "memory_limit": 0, "dashboard_address": ":0"}

"""What several rooms of the package spell alike, written once: the names on disk, the scoring
defaults and the rule of each scoring argument, the search's defaults and thresholds, the
server's defaults and the shape of a local Dask cluster. Imports nothing of the package but the
module."""

from __future__ import annotations

import inspect
import math
import numbers
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


_MAX_COUNT = 2**63 - 1


def check_value(key: str, value: object) -> None:
    """Refuses a value of one scoring argument, the same at every level (a cache searcher, a
    sharded one, a text query): ``limit`` and ``oversample`` below 0 (the module would take -1
    for a huge count) or beyond a 64-bit count, ``recent_days`` not above 0 (a half-life of 0 or
    less gives no ranking at all), ``threshold`` that is not finite and ``mmr_lambda`` outside
    [0, 1] (the share of relevance against novelty). Types are the module's to refuse."""
    if value is None or isinstance(value, bool) or type(value).__name__ == "bool_":
        return
    if key in ("limit", "oversample", "offset") and isinstance(value, numbers.Integral):
        value = int(value)
        if value < 0:
            raise ValueError(f"{key} must be 0 or more, got {value}")
        if value > _MAX_COUNT:
            raise ValueError(f"{key} must be at most {_MAX_COUNT}, got {value}")
    elif key == "mmr_lambda" and isinstance(value, numbers.Real):
        if not 0.0 <= float(value) <= 1.0:
            raise ValueError(f"mmr_lambda must be a number from 0 to 1, got {value!r}")
    elif key == "recent_days" and isinstance(value, numbers.Real):
        if not float(value) > 0:
            raise ValueError(f"recent_days must be a number of days above 0, got {value}")
    elif key == "threshold" and isinstance(value, numbers.Real):
        if not math.isfinite(float(value)):
            raise ValueError(f"{key} must be a finite number, got {value!r}")


# ---- a text search ----
MODES = ("hybrid", "semantic", "keyword")
# How the two sides of a hybrid search are fused (tarnexa.search.fusion): "convex" (the scores
# scaled and weighed) or "rrf" (reciprocal rank fusion, its constant k added to each rank and
# each side weighed 1 unless told); how deep into each side's ranking the fusion looks.
FUSION: dict[str, Any] = {"mode": "hybrid", "method": "convex", "rrf_k": 60.0, "semantic_weight": 1.0,
                          "keyword_weight": 1.0, "depth": 100}
FUSION_METHODS = ("convex", "rrf")
# The convex fusion's semantic weight (the keyword side's is 1 minus it) for an index of each
# embedder, as measured on the corpora of docs/benchmarks/quality.md; None: any other embedder.
# An index records its weights when it is made (an older one takes its embedder's here).
SEMANTIC_WEIGHT: dict[str | None, float] = {"minilm": 0.6, "wordllama": 0.4, "hashed": 0.2, None: 0.5}
GIVEN_AGREE = 0.99  # Index.add(vectors=): the least cosine of the first with the embedder's own vector
MAX_TERMS = 64  # words of a query the keyword side looks for
SNIPPET = 200  # characters of a hit's text shown as its snippet
CLOSEST_UP_TO = 10000  # documents: an index this small is looked through for ids like an unknown one
SHARE_AS_ROWS = 0.05  # a filter passing less than this share of the documents names its rows to the scan
FILTERS_KEPT = 32  # filters whose passing rows a snapshot keeps for the next search


# ---- the server (tarnexa serve) ----
HOST, PORT = "127.0.0.1", 8765
MAX_LIMIT = 1000  # hits one request may ask for
TIME_BUDGET = 30.0  # seconds for one request, waiting included
MAX_BATCH = 64  # searches answered in one pass
MAX_CONNECTIONS = 512  # open at once
CLIENT_TIMEOUT = 10.0  # seconds a client has to send a request, and to read the answer


# ---- a local Dask cluster ----
def local_cluster_options(workers: int | None) -> dict[str, Any]:
    """LocalCluster's arguments for searching: single-threaded worker processes (one per core
    by default), no memory limit (the matrix is memory-mapped and shared), a dashboard on a
    free port."""
    return {"n_workers": workers or os.cpu_count() or 1, "threads_per_worker": 1, "processes": True,
            "memory_limit": 0, "dashboard_address": ":0"}

"""A search request as a record: ``Query`` is made once from the query text, the modifier line
and keyword arguments (the line wins where both set a thing, with a note), and every layer
below takes it; ``Prepared`` is a Query made ready for the row searcher (its texts embedded, its
document ids turned into cache rows)."""

from __future__ import annotations

import json
import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa._constants import SCORING_DEFAULTS
from tarnexa.search.checks import check_value
from tarnexa.storage.filters import compile_where
from tarnexa.text.inputs import strings
from tarnexa.text.modifiers import read
from tarnexa.text.notes import modifiers_in_query

Vector = npt.NDArray[np.float32]

MODES = ("hybrid", "semantic", "keyword")
# How the two sides of a hybrid search are fused (reciprocal rank fusion): the constant k added
# to each rank, each side's weight, and how deep into each side's ranking the fusion looks.
# The keyword side leaves out words in more than half of the documents (BM25 weighs them at
# nothing); a hybrid search's keyword side leaves out those in more than a tenth as well: their
# documents are many and the semantic side ranks them (this measured better, and costs less).
FUSION: dict[str, Any] = {"mode": "hybrid", "rrf_k": 60.0, "semantic_weight": 1.0, "keyword_weight": 1.0,
                          "depth": 100, "common": {"keyword": 0.5, "hybrid": 0.1}}

# The keyword arguments of a text search that the modifier line can set too, with the name of
# the Line's field each one meets.
_SHARED = {"limit": "limit", "diverse": "diverse", "recent": "recent", "recent_days": "recent_days",
           "like_ids": "like", "unlike": "unlike", "trajectory": "trajectory", "communities": "communities"}


def _check_types(kw: dict[str, Any]) -> None:
    for key in ("limit", "oversample"):
        v = kw.get(key)
        if v is not None and (isinstance(v, bool) or not isinstance(v, numbers.Integral)):
            raise TypeError(f"{key} must be a whole number, not {type(v).__name__}")
    for key in ("recent_days", "threshold", "mmr_lambda"):
        v = kw.get(key)
        if v is not None and (isinstance(v, bool) or not isinstance(v, numbers.Real)):
            raise TypeError(f"{key} must be a real number, not {type(v).__name__}")
    traj = kw.get("trajectory")
    if traj is not None and (len(traj) != 2 or not all(isinstance(t, str) for t in traj)):
        raise TypeError("trajectory must be a pair of texts (from, to)")
    if kw.get("unlike") is not None and not isinstance(kw["unlike"], str):
        raise TypeError(f"unlike must be a str, not {type(kw['unlike']).__name__}")


def _fusion(mode: str | None, where: Any, rrf_k: float | None, semantic_weight: float | None,
            keyword_weight: float | None) -> dict[str, Any]:
    """The mode, the filter (checked: it compiles) and the fusion's settings, as Query fields."""
    if mode is not None and mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
    if where is not None:
        compile_where(where)
        where = json.loads(json.dumps(where))  # a copy of plain values, the caller's left alone
    out: dict[str, Any] = {"mode": mode or FUSION["mode"], "where": where}
    for key, value in (("rrf_k", rrf_k), ("semantic_weight", semantic_weight), ("keyword_weight", keyword_weight)):
        if value is None:
            out[key] = float(FUSION[key])
            continue
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{key} must be a real number, not {type(value).__name__}")
        if not math.isfinite(value) or value < 0 or (key == "rrf_k" and value == 0):
            raise ValueError(f"{key} must be a finite number {'above' if key == 'rrf_k' else 'of'} 0"
                             f"{'' if key == 'rrf_k' else ' or more'}, not {value!r}")
        out[key] = float(value)
    if out["semantic_weight"] == 0 and out["keyword_weight"] == 0:
        raise ValueError("semantic_weight and keyword_weight are both 0: a hybrid search needs one side")
    return out


@dataclass(frozen=True)
class Query:
    """What one text search asks for. ``Query.parse(text, modifiers, **keywords)`` makes one;
    ``notes`` say in plain words what of the line was ignored or overrode a keyword argument.
    A field left None takes the module's default."""

    text: str
    modifiers: str = ""
    limit: int | None = None
    diverse: bool = False
    recent: bool = False
    recent_days: float | None = None
    like_ids: tuple[str, ...] | None = None
    unlike: str | None = None
    trajectory: tuple[str, str] | None = None
    communities: bool = False
    pre_filter_ids: tuple[str, ...] | None = None
    mask: npt.NDArray[np.bool_] | None = field(default=None, compare=False)  # a bool per document
    threshold: float | None = None
    oversample: int | None = None
    mmr_lambda: float | None = None
    explain: bool = False
    mode: str = str(FUSION["mode"])
    where: Any = field(default=None, compare=False)  # a filter on the documents' metadata
    rrf_k: float = float(FUSION["rrf_k"])
    semantic_weight: float = float(FUSION["semantic_weight"])
    keyword_weight: float = float(FUSION["keyword_weight"])
    notes: tuple[str, ...] = ()

    @classmethod
    def parse(cls, text: str, modifiers: str | None = "", *, explain: bool = False,
              limit: int | None = None, diverse: bool | None = None, recent: bool | None = None,
              recent_days: float | None = None, like_ids: Sequence[str] | None = None,
              unlike: str | None = None, trajectory: tuple[str, str] | None = None,
              communities: bool | None = None, pre_filter_ids: Sequence[str] | None = None,
              mask: npt.ArrayLike | None = None, threshold: float | None = None,
              oversample: int | None = None, mmr_lambda: float | None = None, mode: str | None = None,
              where: Any = None, rrf_k: float | None = None, semantic_weight: float | None = None,
              keyword_weight: float | None = None) -> Query:
        """The query text with the modifier line read (it never raises) and the keyword
        arguments merged under it. Raises ValueError for an empty query or a value no search
        takes, TypeError for a value of the wrong type."""
        if not isinstance(text, str):
            raise TypeError(f"query must be a str, not {type(text).__name__}")
        if not text.strip():
            raise ValueError("the query is empty")
        if modifiers is not None and not isinstance(modifiers, str):
            raise TypeError(f"modifiers must be a str, not {type(modifiers).__name__}")
        line = read(modifiers)
        notes = [*modifiers_in_query(text), *line.notes]
        given: dict[str, Any] = {
            "limit": limit, "diverse": diverse, "recent": recent, "recent_days": recent_days,
            "like_ids": None if like_ids is None else strings(like_ids, "like_ids"), "unlike": unlike,
            "trajectory": trajectory, "communities": communities}
        rest: dict[str, Any] = {"threshold": threshold, "oversample": oversample, "mmr_lambda": mmr_lambda}
        _check_types(given | rest)
        for key, value in (given | rest).items():
            check_value(key, value)
        fusion = _fusion(mode, where, rrf_k, semantic_weight, keyword_weight)
        want: dict[str, Any] = {}
        for key, value in given.items():
            name = _SHARED[key]
            if name in line.given:
                want[key] = getattr(line, name)
                if value is not None and value != want[key]:
                    notes.append(f"{line.given[name]!r} in the modifier line overrides {key}={value!r}")
            else:
                want[key] = value
        return cls(
            text=text, modifiers=modifiers or "", limit=want["limit"], diverse=bool(want["diverse"]),
            recent=bool(want["recent"]), recent_days=want["recent_days"],
            like_ids=None if want["like_ids"] is None else tuple(want["like_ids"]), unlike=want["unlike"],
            trajectory=None if want["trajectory"] is None else (want["trajectory"][0], want["trajectory"][1]),
            communities=bool(want["communities"]),
            pre_filter_ids=None if pre_filter_ids is None else tuple(strings(pre_filter_ids, "pre_filter_ids")),
            mask=None if mask is None else np.asarray(mask), threshold=threshold, oversample=oversample,
            mmr_lambda=mmr_lambda, explain=bool(explain), notes=tuple(notes), **fusion)

    @property
    def pool_size(self) -> int:
        """How many candidates a diverse selection or the communities look at."""
        return int(SCORING_DEFAULTS["oversample"] if self.oversample is None else self.oversample)


@dataclass(frozen=True)
class Prepared:
    """A Query ready for the row searcher of one snapshot: the query vector, the vectors of the
    texts it names (None where it names none, or the embedder found no words), the cache rows of
    the documents it names and the mask by cache row."""

    query_vec: Vector | None  # None: a keyword search of a query the embedder finds no words in
    limit: int
    diverse: bool
    recent: bool = False
    recent_days: float | None = None
    like_rows: tuple[int, ...] | None = None
    not_like_vec: Vector | None = None
    traj: tuple[Vector, Vector] | None = None
    pre_filter_rows: tuple[int, ...] | None = None
    mask: npt.NDArray[np.bool_] | None = None
    threshold: float | None = None
    oversample: int | None = None
    mmr_lambda: float | None = None
    match: str | None = None  # the keyword side's FTS5 expression (None: no keyword side)
    where: tuple[str, list[Any]] | None = None  # the compiled filter

    def keywords(self) -> dict[str, Any]:
        """The row searcher's keyword arguments (cache rows as its ids), those left at their
        defaults left out."""
        kw: dict[str, Any] = {"limit": self.limit, "diverse": self.diverse or None, "threshold": self.threshold,
                              "oversample": self.oversample, "mmr_lambda": self.mmr_lambda,
                              "not_like_vec": self.not_like_vec, "mask": self.mask}
        if self.recent:
            kw.update(recent=True, recent_days=self.recent_days)
        if self.traj is not None:
            kw["traj_from_vec"], kw["traj_to_vec"] = self.traj
        if self.like_rows is not None:
            kw["like_ids"] = [str(r) for r in self.like_rows]
        if self.pre_filter_rows is not None:
            kw["pre_filter_ids"] = [str(r) for r in self.pre_filter_rows]
        return {k: v for k, v in kw.items() if v is not None}

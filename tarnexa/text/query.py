"""A search request as a record: ``Query`` is made once from the query text, the modifier line
and keyword arguments (the line wins where both set a thing, with a note), and every layer
below takes it (tarnexa.search.plans makes it a plan of the search)."""

from __future__ import annotations

import functools
import json
import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa._constants import FUSION, FUSION_METHODS, MODES, SCORING_DEFAULTS, check_value
from tarnexa.storage.filters import Compiled, compile_where
from tarnexa.text import embedders
from tarnexa.text.inputs import strings
from tarnexa.text.modifiers import read
from tarnexa.text.notes import modifiers_in_query

Vector = npt.NDArray[np.float32]

# The keyword arguments of a text search that the modifier line can set too, with the name of
# the Line's field each one meets.
_SHARED = {"limit": "limit", "diverse": "diverse", "recent": "recent", "recent_days": "recent_days",
           "like_ids": "like", "unlike": "unlike", "trajectory": "trajectory", "communities": "communities"}


def _check_types(kw: dict[str, Any]) -> None:
    for key in ("limit", "oversample", "offset"):
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


def _vector(vector: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """A query vector given: one row of real numbers, checked and made unit length as the
    vectors of an add are (embedders.given)."""
    got = np.asarray(vector)
    if got.ndim != 1 or got.size == 0:
        raise ValueError(f"vector must be one row of numbers, got shape {got.shape}")
    out: npt.NDArray[np.float32] = embedders.given(got[None, :], 1, got.size)[0]
    out.flags.writeable = False
    return out


def _fusion(mode: str | None, where: Any, fusion: str | None, rrf_k: float | None, semantic_weight: float | None,
            keyword_weight: float | None) -> dict[str, Any]:
    """The mode, the filter (checked: it compiles) and the fusion's settings, as Query fields,
    with the filter compiled."""
    if mode is not None and mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(map(repr, MODES))}, not {mode!r}")
    if fusion is not None and fusion not in FUSION_METHODS:
        raise ValueError(f"fusion must be one of {', '.join(map(repr, FUSION_METHODS))}, not {fusion!r}")
    compiled = None
    if where is not None:
        compiled = compile_where(where)  # first: it refuses a filter nested too deep to copy
        where = json.loads(json.dumps(where))  # a copy of plain values, the caller's left alone
    out: dict[str, Any] = {"mode": mode or FUSION["mode"], "where": where, "compiled_where": compiled,
                           "fusion": fusion}
    for key, value in (("rrf_k", rrf_k), ("semantic_weight", semantic_weight), ("keyword_weight", keyword_weight)):
        if value is None:
            out[key] = float(FUSION[key]) if key == "rrf_k" else None
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


@dataclass(frozen=True, eq=False)
class Query:
    """What one text search asks for. ``Query.parse(text, modifiers, **keywords)`` makes one;
    ``notes`` say in plain words what of the line was ignored or overrode a keyword argument.
    A field left None takes the module's default. Two queries are equal when every field is
    (a mask by its values, a filter by its content), and equal queries hash alike."""

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
    mask: npt.NDArray[np.bool_] | None = None  # a bool per document
    threshold: float | None = None
    oversample: int | None = None
    mmr_lambda: float | None = None
    explain: bool = False
    mode: str = str(FUSION["mode"])
    where: Any = None  # a filter on the documents' metadata
    fusion: str | None = None  # "convex" or "rrf"; None: the index's (convex)
    rrf_k: float = float(FUSION["rrf_k"])
    semantic_weight: float | None = None  # None: the index's (1 with rrf)
    keyword_weight: float | None = None
    offset: int = 0  # hits of the ranking passed over before the first one returned
    vector: npt.NDArray[np.float32] | None = None  # the query's vector, unit length: not embedded
    notes: tuple[str, ...] = ()

    @classmethod
    def parse(cls, text: str, modifiers: str | None = "", *, explain: bool = False,
              limit: int | None = None, diverse: bool | None = None, recent: bool | None = None,
              recent_days: float | None = None, like_ids: Sequence[str] | None = None,
              unlike: str | None = None, trajectory: tuple[str, str] | None = None,
              communities: bool | None = None, pre_filter_ids: Sequence[str] | None = None,
              mask: npt.ArrayLike | None = None, threshold: float | None = None,
              oversample: int | None = None, mmr_lambda: float | None = None, mode: str | None = None,
              where: Any = None, fusion: str | None = None, rrf_k: float | None = None,
              semantic_weight: float | None = None, keyword_weight: float | None = None, offset: int = 0,
              vector: npt.ArrayLike | None = None) -> Query:
        """The query text with the modifier line read (it never raises) and the keyword
        arguments merged under it; ``vector``, the query's vector computed elsewhere, is used
        instead of embedding its text (made unit length). Raises ValueError for an empty query or a value no search
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
        _check_types(given | rest | {"offset": offset})
        check_value("offset", offset)
        for key, value in (given | rest).items():
            check_value(key, value)
        fused = _fusion(mode, where, fusion, rrf_k, semantic_weight, keyword_weight)
        want: dict[str, Any] = {}
        for key, value in given.items():
            name = _SHARED[key]
            if name in line.given:
                want[key] = getattr(line, name)
                if value is not None and value != want[key]:
                    notes.append(f"{line.given[name]!r} in the modifier line overrides {key}={value!r}")
            else:
                want[key] = value
        compiled = fused.pop("compiled_where")
        query = cls(
            text=text, modifiers=modifiers or "", limit=want["limit"], diverse=bool(want["diverse"]),
            recent=bool(want["recent"]), recent_days=want["recent_days"],
            like_ids=None if want["like_ids"] is None else tuple(want["like_ids"]), unlike=want["unlike"],
            trajectory=None if want["trajectory"] is None else (want["trajectory"][0], want["trajectory"][1]),
            communities=bool(want["communities"]),
            pre_filter_ids=None if pre_filter_ids is None else tuple(strings(pre_filter_ids, "pre_filter_ids")),
            mask=None if mask is None else np.asarray(mask), threshold=threshold, oversample=oversample,
            mmr_lambda=mmr_lambda, explain=bool(explain), offset=int(offset), notes=tuple(notes),
            vector=None if vector is None else _vector(vector), **fused)
        query.__dict__["compiled_where"] = compiled  # compiled once, above
        return query

    @functools.cached_property
    def compiled_where(self) -> Compiled | None:
        """The filter as SQL (tarnexa.storage.filters), compiled once per record."""
        return None if self.where is None else compile_where(self.where)

    def _key(self) -> tuple[Any, ...]:
        values = None if self.mask is None else np.asarray(self.mask)
        mask = None if values is None else (values.dtype.str, values.shape, values.tobytes())
        vector = None if self.vector is None else self.vector.tobytes()
        where = None if self.where is None else json.dumps(self.where, sort_keys=True)
        special = {"mask": mask, "vector": vector, "where": where}
        return tuple(special[f.name] if f.name in special else getattr(self, f.name) for f in fields(self))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Query):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    @property
    def pool_size(self) -> int:
        """How many candidates a diverse selection or the communities look at."""
        return int(SCORING_DEFAULTS["oversample"] if self.oversample is None else self.oversample)

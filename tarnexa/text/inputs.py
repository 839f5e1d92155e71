"""What a caller hands the text level, checked and turned into plain lists: texts and ids,
timestamps, and the id a text gets when it is given none."""

from __future__ import annotations

import hashlib
import math
from collections.abc import Sequence
from typing import Any

import numpy as np


def strings(values: object, what: str, n: int | None = None, optional: bool = False) -> list[Any]:
    """values as a list of str (None allowed where optional), n of them when n is given."""
    if isinstance(values, str) or not isinstance(values, Sequence | np.ndarray):
        raise TypeError(f"{what} must be a list of str, not {type(values).__name__}")
    out = list(values)
    for i, v in enumerate(out):
        if not isinstance(v, str) and not (optional and v is None):
            raise TypeError(f"{what}[{i}] is {type(v).__name__}, not str")
    if n is not None and len(out) != n:
        raise ValueError(f"{len(out)} {what} for {n} texts")
    return out


def times(values: object, n: int) -> list[float | None]:
    """values as n timestamps: finite epoch seconds, or None for an undated text."""
    if isinstance(values, str) or not isinstance(values, Sequence | np.ndarray):
        raise TypeError(f"timestamps must be a list of numbers (epoch seconds) or None, not {type(values).__name__}")
    out: list[float | None] = []
    for i, v in enumerate(values):
        if v is None:
            out.append(None)
            continue
        try:
            t = float(v)
        except OverflowError:  # an int beyond any float
            raise ValueError(f"timestamps[{i}] is too large: a timestamp must be a finite number of seconds") from None
        except (TypeError, ValueError):
            raise TypeError(f"timestamps[{i}] is {type(v).__name__}, not a number of seconds") from None
        if not math.isfinite(t):
            raise ValueError(f"timestamps[{i}] is {t}: a timestamp must be a finite number of seconds")
        out.append(t)
    if len(out) != n:
        raise ValueError(f"{len(out)} timestamps for {n} texts")
    return out


def content_id(text: str) -> str:
    """The id of a text given none: a hash of the text."""
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]


def unique(ids: list[str]) -> None:
    """Refuses an id that occurs more than once."""
    if len(set(ids)) != len(ids):
        seen: set[str] = set()
        dup = next(d for d in ids if d in seen or seen.add(d))  # type: ignore[func-returns-value]
        raise ValueError(f"ids are not unique: {dup!r} occurs more than once")

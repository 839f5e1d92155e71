"""The search page and its JSON API over one opened index, as an ASGI application.

Read-only: every route is a GET. Searches run on a worker thread, the searches that arrive
together in one pass, so the event loop keeps answering other requests meanwhile. The page is
three files read once from ``static/`` and served by name; no request parameter ever
reaches a file path.
"""

from __future__ import annotations

import asyncio
import functools
import json
from collections.abc import Awaitable, Callable, Iterable, MutableMapping, Sequence
from importlib import resources
from typing import Any, Protocol
from urllib.parse import parse_qsl

import anyio
from fastapi import Depends, FastAPI, Path, Query, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse, Response
from starlette.exceptions import HTTPException
from starlette.middleware.trustedhost import TrustedHostMiddleware

from tarnexa.text.modifiers import USAGE, vocabulary
from tarnexa.storage.filters import short_form
from tarnexa.text.query import Query as SearchQuery
from tarnexa.text.results import Results

MAX_QUERY = 1000  # characters
MAX_MODIFIERS = 500  # characters
MAX_LIMIT = 1000  # hits
MAX_BATCH = 64  # searches answered in one pass
SEARCH_PARAMETERS = ("q", "m", "limit", "explain", "mode", "where")
MAX_WHERE = 4000  # characters of a filter
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
    """A request the API refuses: answered as ``{"error": message}`` with a 4xx status."""


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


def parse_where(text: str) -> Any:
    """The where parameter: empty (no filter), a JSON object, or field=value."""
    text = text.strip()
    if not text:
        return None
    if text.startswith("{"):
        try:
            return json.loads(text)
        except ValueError as e:
            raise ValueError(f"the filter is not JSON: {e}") from None
    return short_form(text)


def _validation_message(exc: RequestValidationError) -> str:
    parts = []
    for error in exc.errors():
        name = str(error.get("loc", ("", "request"))[-1])
        if name == "limit":
            parts.append(f"limit must be a whole number from 1 to {MAX_LIMIT}")
        elif name == "explain":
            parts.append("explain must be true or false (1/0, yes/no, on/off)")
        elif error.get("type") == "missing":
            parts.append(f"parameter {name} is missing")
        else:
            parts.append(f"{name}: {error.get('msg', 'invalid')}")
    return "; ".join(dict.fromkeys(parts)) or "invalid request"


def _static_files() -> dict[str, tuple[bytes, str]]:
    folder = resources.files("tarnexa.web").joinpath("static")
    return {route: (folder.joinpath(name).read_bytes(), media) for route, (name, media) in STATIC.items()}


class Batcher:
    """The searches in flight, answered in batches: a search that finds none running starts a
    pass at once; those that arrive meanwhile wait for it and go together into the next pass
    (at most max_batch a pass). Each pass runs on a worker thread, JSON encoding included, so
    the event loop never waits on a scan or on a large answer."""

    def __init__(self, searcher: TextSearcher, limiter: anyio.CapacityLimiter, max_batch: int) -> None:
        self._searcher = searcher
        self._limiter = limiter
        self._max = max(1, max_batch)
        self._waiting: list[tuple[SearchQuery, asyncio.Future[bytes]]] = []
        self._pass: asyncio.Task[None] | None = None

    async def search(self, query: SearchQuery) -> bytes:
        """The search's results as JSON; raises what searching it alone would raise."""
        answer: asyncio.Future[bytes] = asyncio.get_running_loop().create_future()
        self._waiting.append((query, answer))
        if self._pass is None:
            self._pass = asyncio.create_task(self._run())
        return await answer

    async def _run(self) -> None:
        try:
            while self._waiting:
                batch, self._waiting = self._waiting[:self._max], self._waiting[self._max:]
                answers = await anyio.to_thread.run_sync(self._answer, [q for q, _ in batch], limiter=self._limiter)
                for (_, future), answer in zip(batch, answers):
                    if future.done():  # its client went away
                        continue
                    if isinstance(answer, BaseException):
                        future.set_exception(answer)
                    else:
                        future.set_result(answer)
        finally:
            self._pass = None

    def _answer(self, queries: list[SearchQuery]) -> list[bytes | Exception]:
        try:
            found = self._searcher.search_many(queries) if len(queries) > 1 else [self._searcher.search(queries[0])]
            return [r.to_json().encode() for r in found]
        except Exception as e:
            if len(queries) == 1:
                return [e]
        # One of them failed the pass: each alone, so that only that one gets its error.
        return [self._answer([q])[0] for q in queries]


def create_app(index: ServedIndex, *, searcher: TextSearcher | None = None,
               allowed_hosts: Iterable[str] | None = None, max_batch: int = MAX_BATCH) -> FastAPI:
    """The application serving ``index``: the page at ``/`` and the API under ``/api/``.

    Searches go to ``searcher`` (the index's sharded form, or another handle on it) or else
    to the index itself; documents and facts are read from ``index``. Each handle is used by
    one worker thread at a time: an index's handle is not safe to share between threads (its
    document store is one SQLite connection), and searching side by side would gain little
    anyway (the module holds the GIL while it scans; a Dask worker answers one query at a
    time). With a separate searcher, documents are read while a search runs. The event loop
    itself never waits on either. Searches that arrive together are answered in batches of at
    most ``max_batch`` (1: one at a time; see ``Batcher``). With ``allowed_hosts``, requests naming another host in
    their Host header are refused (a page on another site that rebinds its own name to this
    address cannot read the index).
    """
    search_with = searcher if searcher is not None else index
    searching = anyio.CapacityLimiter(1)
    reading = searching if search_with is index else anyio.CapacityLimiter(1)
    batcher = Batcher(search_with, searching, max_batch)
    files = _static_files()
    app = FastAPI(
        title="tarnexa", version="1", docs_url=None, redoc_url=None, openapi_url="/api/openapi.json",
        description="Semantic search over one tarnexa index. Read-only; errors come back as "
                    '`{"error": message}` with a 4xx status.')

    async def off_loop(fn: Callable[[], Any], limiter: anyio.CapacityLimiter = reading) -> Any:
        return await anyio.to_thread.run_sync(fn, limiter=limiter)

    @app.exception_handler(HTTPException)
    async def http_error(request: Request, exc: HTTPException) -> JSONResponse:
        message = exc.detail
        if exc.status_code == 404 and not isinstance(exc, ApiError):
            message = "no such page or endpoint"
        elif exc.status_code == 405:
            message = f"method {request.method} is not allowed here; the API is read-only (GET)"
        return JSONResponse({"error": message}, exc.status_code, headers=exc.headers)

    @app.exception_handler(RequestValidationError)
    async def validation_error(request: Request, exc: RequestValidationError) -> JSONResponse:
        return JSONResponse({"error": _validation_message(exc)}, 400)

    @app.exception_handler(Exception)
    async def failure(request: Request, exc: Exception) -> JSONResponse:
        return JSONResponse({"error": f"the server failed: {type(exc).__name__}"}, 500)

    @app.get("/api/search", dependencies=[Depends(strict_parameters)],
             summary="Search the index",
             response_description='{"hits": [...], "notes": [...], "communities": [...]}',
             responses={400: {"description": '{"error": message}'}})
    async def search(
        q: str = Query(description=f"The query, 1 to {MAX_QUERY} characters."),
        m: str = Query("", description=f"The modifier line, at most {MAX_MODIFIERS} characters: "
                       f"{USAGE} (see /api/modifiers). Its problems come back in notes."),
        limit: int | None = Query(None, ge=1, le=MAX_LIMIT, description="At most this many hits."),
        explain: bool = Query(False, description="Give each hit the parts of its score."),
        mode: str | None = Query(None, description="hybrid (the default: meaning and words fused), semantic "
                                 "(meaning alone) or keyword (words alone)."),
        where: str = Query("", description=f"A filter on the documents' metadata: a JSON object "
                           f'(\'{{"source": "docs"}}\') or field=value, at most {MAX_WHERE} characters.'),
    ) -> Response:
        if not q.strip():
            raise ApiError(400, "the query is empty")
        if len(q) > MAX_QUERY:
            raise ApiError(400, f"the query has {len(q)} characters; at most {MAX_QUERY} are allowed")
        if len(m) > MAX_MODIFIERS:
            raise ApiError(400, f"the modifier line has {len(m)} characters; at most {MAX_MODIFIERS} are allowed")
        if len(where) > MAX_WHERE:
            raise ApiError(400, f"the filter has {len(where)} characters; at most {MAX_WHERE} are allowed")
        try:
            request = SearchQuery.parse(q, m, explain=explain, limit=limit, mode=mode or None,
                                        where=parse_where(where))
            if request.limit is not None and request.limit > MAX_LIMIT:  # the line's limit: is bounded alike
                raise ApiError(400, f"the modifier line asks for {request.limit} hits; at most {MAX_LIMIT} are served")
            body = await batcher.search(request)
        except ValueError as e:
            raise ApiError(400, str(e)) from None
        return Response(body, media_type="application/json")

    @app.get("/api/modifiers", summary="The modifiers a line can hold",
             response_description='[{"token": ..., "usage": ..., "help": ...}, ...]')
    async def modifiers() -> list[dict[str, str]]:
        return vocabulary()

    @app.get("/api/info", summary="What the index holds")
    async def info() -> dict[str, Any]:
        facts = await off_loop(index.info)
        return {k: facts.get(k) for k in INFO_FIELDS}

    @app.get("/api/doc/{doc_id:path}", summary="One document's text",
             responses={404: {"description": '{"error": message}'}})
    async def document(doc_id: str = Path(description="The document's id.")) -> dict[str, Any]:
        try:
            doc = await off_loop(functools.partial(index.document, doc_id))
        except KeyError:
            shown = doc_id if len(doc_id) <= 80 else doc_id[:80] + "..."
            raise ApiError(404, f"no document with id {shown!r}") from None
        return {"id": doc.id, "title": doc.title, "text": doc.text, "timestamp": doc.timestamp,
                "metadata": doc.metadata}

    def serve_file(route: str) -> None:
        body, media = files[route]

        async def page() -> Response:
            return Response(body, media_type=media)

        app.add_api_route(route, page, methods=["GET", "HEAD"], include_in_schema=False)

    for route in files:
        serve_file(route)
    app.state.batcher = batcher

    if allowed_hosts is not None:
        app.add_middleware(TrustedHostMiddleware, allowed_hosts=list(allowed_hosts))
    app.add_middleware(SecurityHeaders)  # outermost: on every answer
    return app

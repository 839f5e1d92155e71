"""Serving an index on uvicorn: ``run(path, host, port, workers)``, behind ``tarnexa serve``."""

from __future__ import annotations

import contextlib
import ipaddress
import socket
import sys
from typing import Any

from tarnexa._constants import CLIENT_TIMEOUT, HOST, MAX_BATCH, MAX_CONNECTIONS, MAX_LIMIT, PORT, TIME_BUDGET

LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1", "[::1]")
WILDCARDS = ("", "0.0.0.0", "::", "[::]")
BACKLOG = 128  # connections the kernel holds before they are accepted


def is_loopback(host: str) -> bool:
    """Whether host names an address of this machine only (localhost, 127.0.0.0/8, ::1)."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def exposure_warning(host: str) -> str | None:
    """The warning printed when the server listens beyond this machine, or None."""
    if is_loopback(host):
        return None
    return (f"tarnexa serve: listening on {host}, not on 127.0.0.1: whoever reaches this address "
            "can search the index and read every document in it")


def allowed_hosts(host: str) -> list[str]:
    """The names a request's Host header may give to a server bound to host: the loopback
    names and the bound address (127.0.0.2, a LAN address, a name); bound to every address
    (0.0.0.0, ::), any address literal and this machine's own names. A name that another site
    could make resolve to this machine is refused (see ``create_app``)."""
    from tarnexa.web.app import ANY_IP

    names = [*LOOPBACK_NAMES]
    if host.lower() in WILDCARDS:
        names.append(ANY_IP)
    else:
        names.append(host)
    if not is_loopback(host):
        names += [socket.gethostname(), socket.getfqdn()]
    return list(dict.fromkeys(n.lower() for n in names if n))


def run(path: str, host: str = HOST, port: int = PORT, workers: int | None = None,
        max_batch: int | None = None, embedder: Any = None, *, max_hits: int | None = None,
        timeout: float | None = None, max_connections: int | None = None,
        client_timeout: float | None = None, token: str | None = None, no_token: bool = False,
        ssl_certfile: str | None = None, ssl_keyfile: str | None = None) -> None:
    """Opens the index at path once and serves the search page and its API until interrupted.
    With workers, searches go through the index's sharded searcher over that many Dask worker
    processes; searches that arrive together are answered in batches of at most max_batch
    (1 answers them one at a time). ``embedder`` is the one ``Index.open`` takes (needed for an
    index built with a function). A request may ask for at most max_hits hits and is answered
    within timeout seconds or with a 503; at most max_connections connections are open at once
    (fewer when the process may not open that many files), and a client has client_timeout
    seconds to send a request's head and to take an answer (see ``tarnexa.web.connections``).
    Each left None takes its default from tarnexa._constants (MAX_BATCH, MAX_LIMIT,
    TIME_BUDGET, MAX_CONNECTIONS, CLIENT_TIMEOUT).
    Requests must name this server's own host (``allowed_hosts``). With ``token``, every request
    but the health check must carry ``Authorization: Bearer TOKEN``; bound beyond loopback, a
    token is required (ValueError without one) unless ``no_token``, and then a warning goes to
    stderr. ``ssl_certfile`` and ``ssl_keyfile`` serve HTTPS (uvicorn's TLS)."""
    import uvicorn

    from tarnexa.index import Index
    from tarnexa.web.app import Bounds, check_token, create_app
    from tarnexa.web.connections import connection_cap, guarded_protocol, quiet_repeats

    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    bounds = Bounds(hits=MAX_LIMIT if max_hits is None else max_hits,
                    seconds=TIME_BUDGET if timeout is None else timeout)
    asked = MAX_CONNECTIONS if max_connections is None else max_connections
    cap = connection_cap(asked, BACKLOG)
    if max_connections is not None and cap < asked:
        print(f"tarnexa serve: at most {cap} connections at once, not {asked}: the process may not open "
              "more files (ulimit -n)", file=sys.stderr)
    protocol = guarded_protocol(cap, CLIENT_TIMEOUT if client_timeout is None else client_timeout,
                                request_timeout=bounds.seconds + 30)
    if token is not None:
        check_token(token)
    elif not is_loopback(host) and not no_token:
        raise ValueError(f"serving on {host}, beyond this machine, needs a token (--token, --token-file or "
                         "TARNEXA_TOKEN), or --no-token to let whoever reaches it read every document")
    if (ssl_certfile is None) != (ssl_keyfile is None):
        raise ValueError("TLS needs both a certificate file and its key file")
    warning = exposure_warning(host) if token is None else None
    if warning:
        print(warning, file=sys.stderr)
    index = Index.open(path, embedder=embedder)
    with contextlib.ExitStack() as stack:
        stack.callback(index.close)
        # Searches get a handle of their own, so that documents are read while one runs.
        searcher = stack.enter_context(index.sharded(workers=workers) if workers
                                       else Index.open(path, embedder=embedder))
        app = create_app(index, searcher=searcher, allowed_hosts=allowed_hosts(host),
                         max_batch=MAX_BATCH if max_batch is None else max_batch, bounds=bounds, token=token)
        shown = f"[{host}]" if ":" in host else host
        scheme = "https" if ssl_certfile else "http"
        print(f"tarnexa serve: {len(index)} documents from {path} at {scheme}://{shown}:{port}/ "
              f"({f'{workers} Dask workers' if workers else 'in this process'}"
              f"{', token required' if token else ''}); Ctrl-C stops", file=sys.stderr)
        if token and not ssl_certfile and not is_loopback(host):
            print("tarnexa serve: the token travels in plain HTTP: serve with --ssl-certfile/--ssl-keyfile, "
                  "or behind a reverse proxy that speaks HTTPS (docs/guide.md)", file=sys.stderr)
        config = uvicorn.Config(app, host=host, port=port, server_header=False, log_level="warning",
                                http=protocol, timeout_keep_alive=5, backlog=BACKLOG,
                                h11_max_incomplete_event_size=16 * 1024, ssl_certfile=ssl_certfile,
                                ssl_keyfile=ssl_keyfile)
        quiet_repeats()
        uvicorn.Server(config).run()

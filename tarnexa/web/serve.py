"""Serving an index on uvicorn: ``run(path, host, port, workers)``, behind ``tarnexa serve``."""

from __future__ import annotations

import contextlib
import ipaddress
import sys
from typing import Any

LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1", "[::1]")


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


def run(path: str, host: str = "127.0.0.1", port: int = 8765, workers: int | None = None,
        max_batch: int | None = None, embedder: Any = None) -> None:
    """Opens the index at path once and serves the search page and its API until interrupted.
    With workers, searches go through the index's sharded searcher over that many Dask worker
    processes; searches that arrive together are answered in batches of at most max_batch
    (default 64; 1 answers them one at a time). ``embedder`` is the one ``Index.open`` takes
    (needed for an index built with a function).
    Bound to a loopback address, requests must name a loopback host (see
    ``create_app``); bound elsewhere, a warning goes to stderr."""
    import uvicorn

    from tarnexa.index import Index
    from tarnexa.web.app import MAX_BATCH, create_app

    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    warning = exposure_warning(host)
    if warning:
        print(warning, file=sys.stderr)
    index = Index.open(path, embedder=embedder)
    with contextlib.ExitStack() as stack:
        stack.callback(index.close)
        # Searches get a handle of their own, so that documents are read while one runs.
        searcher = stack.enter_context(index.sharded(workers=workers) if workers
                                       else Index.open(path, embedder=embedder))
        app = create_app(index, searcher=searcher, allowed_hosts=None if warning else LOOPBACK_NAMES,
                         max_batch=MAX_BATCH if max_batch is None else max_batch)
        shown = f"[{host}]" if ":" in host else host
        print(f"tarnexa serve: {len(index)} documents from {path} at http://{shown}:{port}/ "
              f"({f'{workers} Dask workers' if workers else 'in this process'}); Ctrl-C stops",
              file=sys.stderr)
        uvicorn.run(app, host=host, port=port, server_header=False, log_level="warning",
                    timeout_keep_alive=5)


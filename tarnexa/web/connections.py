"""The served application's connections: how long a client may take and how many may be open,
and the server's log kept short when something repeats.

uvicorn's h11 protocol closes a keep-alive connection that stays silent after an answer, but
nothing else: a connection that never sends a request, or sends its head a byte at a time, or
never reads its answer, stays open for good, and a few hundred of them take every file
descriptor the process may hold. ``guarded_protocol`` adds to it:

- a client deadline: from the moment a connection is opened or its answer is written, the
  client has ``client_timeout`` seconds to send the next request's head (and to take the
  answer: a connection whose answer is still unsent then is dropped, its buffer freed);
- a request deadline: a request still unanswered after ``request_timeout`` seconds (the app's
  own time budget answers well before) is dropped with its connection;
- a cap: with ``max_connections`` open, a new one closes the connection idle the longest (one
  that is not being answered) so that a client with a request is served whatever idle ones
  hold; when every other connection is being answered, the new one is closed instead.

uvicorn's own ``limit_concurrency`` is not used for this: it counts open connections too and
answers 503 to every request once idle sockets fill it.

``RepeatFilter`` lets one record of a kind through per interval (with the count of those left
out): asyncio logs every failed ``accept()`` of a loop pass (EMFILE when descriptors run out,
one record per waiting connection, each with its traceback), and uvicorn logs each malformed
request.
"""

from __future__ import annotations

import asyncio
import logging
import time
from collections import OrderedDict
from typing import Any, ClassVar

from uvicorn.protocols.http.h11_impl import H11Protocol

from tarnexa._constants import CLIENT_TIMEOUT, MAX_CONNECTIONS

MAX_HEAD = 16 * 1024  # bytes of one request head
LOG_INTERVAL = 10.0  # seconds
FILES_KEPT = 64  # descriptors left for the index, its store, the threads' and workers' own


class GuardedH11Protocol(H11Protocol):
    """H11Protocol with the deadlines and the cap above; see ``guarded_protocol``."""

    max_connections: ClassVar[int] = MAX_CONNECTIONS
    client_timeout: ClassVar[float] = CLIENT_TIMEOUT
    request_timeout: ClassVar[float] = 60.0
    idle: ClassVar[OrderedDict[GuardedH11Protocol, float]]  # the connections not being answered, oldest first

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self._lost = False
        self._busy = False
        self._deadline: asyncio.TimerHandle | None = None
        self._head, self._tail = 0, b""  # the bytes of the head being received; its last three
        self._now_idle()
        if len(self.connections) > self.max_connections:
            # The connection idle the longest; this one itself when every other is answered.
            next(iter(self.idle))._drop()

    def connection_lost(self, exc: Exception | None) -> None:
        self._lost = True
        self.idle.pop(self, None)
        if self._deadline is not None:
            self._deadline.cancel()
        super().connection_lost(exc)

    def data_received(self, data: bytes) -> None:
        if not self._head_fits(data):
            body = b'{"error": "the request head is longer than 16 KiB"}'
            self.transport.write(b"HTTP/1.1 400 Bad Request\r\ncontent-type: application/json\r\nconnection: close\r\n"
                                 b"content-length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
            self._lost = True  # nothing more is read or answered on it
            self.idle.pop(self, None)
            self.transport.close()
            return
        super().data_received(data)
        self._follow()

    def _head_fits(self, data: bytes) -> bool:
        """Whether every request head that the bytes so far hold or begin is at most MAX_HEAD
        bytes long: h11 bounds only a head that arrives in pieces, not one that comes whole in
        one read. A head is counted from the end of the one before (the API takes no bodies)."""
        buf = self._tail + data
        count = self._head - len(self._tail)  # bytes of the current head before buf
        pos = 0
        while (end := buf.find(b"\r\n\r\n", pos)) >= 0:
            if count + end + 4 > MAX_HEAD:
                return False
            count, pos = -(end + 4), end + 4
        self._head, self._tail = count + len(buf), buf[-3:]
        return self._head <= MAX_HEAD

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._follow()

    def _follow(self) -> None:
        """Moves the connection between idle and being answered, with the deadline of each."""
        if self._lost:
            return
        busy = self.cycle is not None and not self.cycle.response_complete
        if busy and not self._busy:
            self._busy = True
            self.idle.pop(self, None)
            self._arm(self.request_timeout)
        elif not busy and self._busy:
            self._now_idle()

    def _now_idle(self) -> None:
        self._busy = False
        self.idle[self] = time.monotonic()
        self.idle.move_to_end(self)
        self._arm(self.client_timeout)

    def _arm(self, seconds: float) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
        self._deadline = self.loop.call_later(seconds, self._drop)

    def _drop(self) -> None:
        """Closes the connection now: at once (without flushing) when its client has not taken
        what was written to it."""
        self._deadline = None
        self.idle.pop(self, None)
        if self._lost:
            return
        if self.transport.get_write_buffer_size() or self.transport.is_closing():
            self.transport.abort()
        else:
            self.transport.close()


def guarded_protocol(max_connections: int = MAX_CONNECTIONS, client_timeout: float = CLIENT_TIMEOUT,
                     request_timeout: float = 60.0) -> type[GuardedH11Protocol]:
    """The protocol class for one server (uvicorn's ``http=``), its connections counted apart."""
    if max_connections < 1:
        raise ValueError(f"max_connections must be at least 1, got {max_connections}")
    if not (client_timeout > 0 and request_timeout > 0):
        raise ValueError("the timeouts must be positive")
    attrs: dict[str, Any] = {"max_connections": max_connections, "client_timeout": client_timeout,
                             "request_timeout": request_timeout, "idle": OrderedDict()}
    return type("GuardedH11Protocol", (GuardedH11Protocol,), attrs)


def connection_cap(asked: int, backlog: int, file_limit: int | None = None) -> int:
    """``asked`` connections, or fewer when the process may not open that many files (the
    soft RLIMIT_NOFILE, less FILES_KEPT and the backlog: a loop pass accepts up to that many
    before any is closed), so that connections never run the process out of descriptors."""
    if file_limit is None:
        import resource

        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        file_limit = soft if soft != resource.RLIM_INFINITY else asked + FILES_KEPT
    return max(1, min(asked, file_limit - FILES_KEPT - backlog))


class RepeatFilter(logging.Filter):
    """Lets through the first record of a kind (its message's first line) in each interval;
    the next one let through says how many were left out meanwhile. A record of an OSError
    (the system refusing a descriptor, say) is one line with the error, without its traceback."""

    def __init__(self, interval: float = LOG_INTERVAL) -> None:
        super().__init__()
        self.interval = interval
        self._seen: dict[str, tuple[float, int]] = {}  # kind -> (when last let through, left out since)

    def filter(self, record: logging.LogRecord) -> bool:
        kind = str(record.msg).split("\n", 1)[0][:200]
        now = time.monotonic()
        last = self._seen.get(kind)
        if last is not None and now - last[0] < self.interval:
            self._seen[kind] = (last[0], last[1] + 1)
            return False
        if len(self._seen) > 1000:  # many kinds: forget the old ones
            self._seen = {k: v for k, v in self._seen.items() if now - v[0] < self.interval}
        self._seen[kind] = (now, 0)
        if record.exc_info and isinstance(record.exc_info[1], OSError):  # a system's refusal: one line says it
            record.msg = f"{record.msg}: {record.exc_info[1]}"
            record.exc_info = record.exc_text = None
        if last is not None and last[1]:
            record.msg = f"{record.msg}\n({last[1]} more like this in the {now - last[0]:.0f} s before were not logged)"
        return True


def quiet_repeats(*names: str, interval: float = LOG_INTERVAL) -> RepeatFilter:
    """One RepeatFilter on the loggers named (by default asyncio's and uvicorn's)."""
    found = RepeatFilter(interval)
    for name in names or ("asyncio", "uvicorn.error"):
        logging.getLogger(name).addFilter(found)
    return found

"""A checksum per stored document: its id, cache row, title, text, timestamp and metadata
hashed together, written with it and checked each time the document is read back for a
search's hit or by id, as the cache's rows are checked against theirs.

A document whose fields no longer give its checksum (a changed byte, two documents' rows
swapped, a field of another type) raises ``DamagedDocument`` rather than being answered; a
store of an older version has no checksums until it is upgraded (on opening it for writing,
or ``tarnexa verify --fix``). Once a store has them (its ``checksums`` setting), a document
without one is damaged too.
"""

from __future__ import annotations

import hashlib
import sqlite3
from collections.abc import Sequence
from typing import Any

from tarnexa import _native

SETTING = "checksums"  # set once every document of the store has its checksum


class DamagedDocument(sqlite3.DatabaseError):
    """A stored document that does not match its checksum: the message names it."""


def digest(doc_id: Any, row: Any, title: Any, text: Any, timestamp: Any, metadata: Any) -> str:
    """The checksum of one document's fields as the store keeps them (metadata as its JSON
    text, or None); TypeError for a field not of its type."""
    if not all(isinstance(v, str) for v in (doc_id, title, text)) or type(row) is not int \
            or not (timestamp is None or type(timestamp) is float) or not (metadata is None or isinstance(metadata, str)):
        raise TypeError("a field is not of its type")
    chunks: list[bytes] = []
    for part in (doc_id, str(row), title, text, "" if timestamp is None else repr(timestamp),
                 "\x00" if metadata is None else metadata):
        data = part.encode("utf-8", "surrogatepass")
        chunks += (len(data).to_bytes(8, "little"), data)
    return hashlib.blake2b(b"".join(chunks), digest_size=16).hexdigest()


def digests(docs: Sequence[tuple[str, int, str, str, float | None, str | None]]) -> list[str]:
    """digest() of each (id, row, title, text, timestamp, metadata), computed in native code
    without the GIL (the same hex digits, checked by the tests)."""
    for d in docs:
        if not (d[4] is None or type(d[4]) is float) or type(d[1]) is not int:
            raise TypeError("a field is not of its type")
    return _native.document_checksums([d[0] for d in docs], [d[1] for d in docs], [d[2] for d in docs],
                                      [d[3] for d in docs], ["" if d[4] is None else repr(d[4]) for d in docs],
                                      [d[5] for d in docs])


def damage(doc_id: Any, row: Any, title: Any, text: Any, timestamp: Any, metadata: Any, stored: Any,
           required: bool) -> str | None:
    """Why the document's fields do not match its stored checksum (None: they do, or it has
    none and none is required)."""
    if stored is None:
        return "it has no checksum" if required else None
    try:
        return None if digest(doc_id, row, title, text, timestamp, metadata) == stored else "its checksum differs"
    except TypeError as e:
        return str(e)


def check(path: Any, doc_id: Any, row: Any, title: Any, text: Any, timestamp: Any, metadata: Any, stored: Any,
          required: bool) -> None:
    """Raises DamagedDocument when the document does not match its checksum."""
    why = damage(doc_id, row, title, text, timestamp, metadata, stored, required)
    if why is not None:
        raise DamagedDocument(f"{path}: the document {doc_id!r} at row {row!r} is damaged ({why}); "
                              "tarnexa verify names every damaged document")

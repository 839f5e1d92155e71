"""The embedding cache on disk: a directory that holds the matrix, the ids and the timestamps.

Layout of a cache directory:

- ``vectors.npy``: the float32 matrix, n rows by dims columns, in NumPy's own format;
- ``ids.utf8`` and ``ids.npy``: the ids' texts back to back (UTF-8, lone surrogates kept)
  and the int64 end offset of each id in that file;
- ``timestamps.npy``: float64 epoch seconds, one per row, only when the cache has them;
- ``codes.npy``, ``scales.npy``, ``bounds.npy``: the int8 copy of the matrix that searches scan
  instead of it (int8 codes, rows padded as ``code_width`` says; a float32 scale and bound term per row),
  when the manifest's ``int8`` is true; a cache written before the copy existed gets it from
  ``add_int8``;
- ``crc32.npy`` (version 3): a uint32 CRC-32 of each float32 row of ``vectors.npy``;
- ``manifest.json``: the committed row count, the dims, whether the cache has timestamps,
  the byte length of the id texts, (version 2) a CRC-32 of each column that is read whole and
  (version 3) a CRC-32 of the whole matrix and of the int8 codes, and a random ``uid``.

Each column is described once, in ``COLUMNS``; its file's header, data offset and size follow
from that entry and the manifest.

The manifest is the commit record. Appends write the new rows past the committed ends of
the files, flush them to disk and only then replace the manifest by a rename, so a crash or
an error at any point leaves the previous cache readable and whole: readers take exactly
the committed rows and ignore anything beyond them. The ``.npy`` headers are rewritten to
the new shape after the commit; they have a fixed size, so the data never moves. A header
may therefore name fewer rows than the manifest (an append stopped between the two), never
more.

A cache directory is input like any other: opening one checks that every file is a regular
file (not a link, a directory or a pipe), at least as long as the manifest says, and that
each ``.npy`` header (parsed by NumPy's own reader, nothing is ever unpickled) states the
manifest's dtype and shape; reading the ids checks their offsets and checksums, reading the
timestamps checks that they are finite. Whatever fails raises ``CacheError`` naming the file.

Version 3 checks the matrix and its int8 copy too (docs/reliability.md): the codes, scales and
bounds are checked whole when the int8 copy is first read, the matrix whole by
``verify_matrix`` (which a searcher calls before its first search), and each row a search
returns again against its own CRC-32 in ``crc32.npy`` (``check_rows``). What this process has
checked already of a cache (named by its ``uid`` and its files' identities) is not read again:
rows are only ever appended, so a later open checks only the rows added since. A version 1 or
2 cache has none of these checksums: it is searched unchecked until ``add_checksums`` (``tarnexa
verify --fix``) gives them to it.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import importlib
import io
import json
import math
import os
import secrets
import shutil
import stat
import threading
import time
import zlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from tarnexa._constants import MANIFEST
from tarnexa.errors import CacheError, CacheMissingError
from tarnexa.storage.int8 import Int8Rows, code_width, quantize
from tarnexa.storage.steps import step

# NumPy's .npy header reader; typed Any, since older NumPy releases ship it without annotations.
npy_format: Any = importlib.import_module("numpy.lib.format")

_FORMAT = "tarnexa-cache"
_VERSION = 3  # 1: no checksums; 2: none over the matrix and codes. Both still read and appended to
_HEADER = 256  # bytes of every .npy header we write; a multiple of 64, room for any shape
_MANIFEST = MANIFEST
_MANIFEST_LIMIT = 1 << 16  # a manifest is a few hundred bytes; anything larger is not one


@dataclass(frozen=True)
class _Column:
    """One file of a cache. dtype None: raw bytes without a .npy header, as long as the manifest's
    ``length`` key says; otherwise one value per row (``wide``: dims values per row). A column
    with a ``flag`` exists only when that manifest key is true, one with ``since`` only in
    manifests of that version on. ``checked`` is the first version whose manifests keep a
    CRC-32 of the column's bytes (0: none)."""

    name: str
    file: str
    dtype: str | None
    wide: bool = False
    width: Callable[[int], int] | None = None  # a wide column's values per row, of dims; None: dims
    flag: str | None = None
    length: str | None = None
    checked: int = 0
    since: int = 1

    @property
    def offset(self) -> int:
        return 0 if self.dtype is None else _HEADER

    def shape(self, manifest: dict[str, Any]) -> tuple[int, ...]:
        rows = int(manifest["rows"])
        dims = int(manifest["dims"])
        return (rows, self.width(dims) if self.width else dims) if self.wide else (rows,)

    def nbytes(self, manifest: dict[str, Any]) -> int:
        if self.dtype is None:
            return int(manifest[self.length or ""])
        return math.prod(self.shape(manifest)) * np.dtype(self.dtype).itemsize


COLUMNS = (
    _Column("vectors", "vectors.npy", "<f4", wide=True, checked=3),
    _Column("ends", "ids.npy", "<i8", checked=2),
    _Column("text", "ids.utf8", None, length="ids_bytes", checked=2),
    _Column("timestamps", "timestamps.npy", "<f8", flag="timestamps", checked=2),
    _Column("codes", "codes.npy", "|i1", wide=True, width=code_width, flag="int8", checked=3),
    _Column("scales", "scales.npy", "<f4", flag="int8", checked=2),
    _Column("bounds", "bounds.npy", "<f4", flag="int8", checked=2),
    _Column("row_crc", "crc32.npy", "<u4", checked=3, since=3),
)
_INT8 = ("codes", "scales", "bounds")
_BY_NAME = {c.name: c for c in COLUMNS}

_ROW = 1 << 8  # rows checked per call when a whole matrix is checked row by row

# What this process has checked of each column: (uid, column, device, inode) -> (bytes, CRC-32,
# a descriptor of the file). The descriptor keeps the inode from being given to another file (a
# copy of the cache made after this one was removed) while the entry stands.
_CHECKED: dict[tuple[str, str, int, int], tuple[int, int, int]] = {}
_CHECKED_LOCK = threading.Lock()
_CHECKED_MAX = 256


def _remember(key: tuple[str, str, int, int], size: int, crc: int, f: BinaryIO) -> None:
    with _CHECKED_LOCK:
        old = _CHECKED.pop(key, None)
        if old is not None:
            os.close(old[2])
        for k, (_, _, fd) in list(_CHECKED.items()):  # files removed since are let go
            if os.fstat(fd).st_nlink == 0 or len(_CHECKED) >= _CHECKED_MAX:
                os.close(fd)
                del _CHECKED[k]
        _CHECKED[key] = (size, crc, os.dup(f.fileno()))


def _forget(uid: str) -> None:
    with _CHECKED_LOCK:
        for k in [k for k in _CHECKED if k[0] == uid]:
            os.close(_CHECKED.pop(k)[2])

Float32Matrix = npt.NDArray[np.float32]
Float64Vector = npt.NDArray[np.float64]


def _npy_header(dtype: np.dtype[Any], shape: tuple[int, ...]) -> bytes:
    body = repr({"descr": dtype.str, "fortran_order": False, "shape": shape})
    text = body.encode("latin1")
    pad = _HEADER - 10 - len(text) - 1
    if pad < 0:
        raise ValueError(f"shape {shape} does not fit a {_HEADER}-byte header")
    return b"\x93NUMPY\x01\x00" + (_HEADER - 10).to_bytes(2, "little") + text + b" " * pad + b"\n"


def fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_at(f: BinaryIO, offset: int, *chunks: bytes | memoryview) -> None:
    """Writes the chunks at offset, cuts the file after them, and flushes it to disk."""
    f.seek(offset)
    for chunk in chunks:
        f.write(chunk)
    f.truncate()
    f.flush()
    step(f"sync {os.path.basename(f.name)}")
    os.fsync(f.fileno())


def _write_column(path: Path, offset: int, *chunks: Any) -> None:
    """Writes the chunks into path at offset (a new file at 0) and cuts the file after them."""
    step(f"write {path.name}")
    with open(path, "r+b" if offset else "wb") as f:
        _write_at(f, offset, *chunks)


# ---- reading untrusted files ---------------------------------------------------------------


class _HeaderError(CacheError):
    """A .npy header that does not say what the manifest says."""


def _open_file(path: Path) -> BinaryIO:
    """The regular file at path, opened for reading without following a symbolic link and
    without waiting on a pipe."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise CacheMissingError(f"{path} is missing") from None
    except OSError as e:
        what = "is a symbolic link" if e.errno == errno.ELOOP else f"cannot be opened: {e.strerror}"
        raise CacheError(f"{path} {what}") from None
    mode = os.fstat(fd).st_mode
    if not stat.S_ISREG(mode):
        os.close(fd)
        kind = "a directory" if stat.S_ISDIR(mode) else "not a regular file"
        raise CacheError(f"{path} is {kind}")
    return os.fdopen(fd, "rb")


def _read_header(f: BinaryIO, where: Path) -> tuple[tuple[int, ...], bool, np.dtype[Any]]:
    """The shape, fortran_order and dtype a .npy header states, read by NumPy's own parser."""
    raw = f.read(_HEADER)
    try:
        buf = io.BytesIO(raw)
        if npy_format.read_magic(buf) != (1, 0):
            raise ValueError("not a version 1.0 header")
        shape, fortran, dtype = npy_format.read_array_header_1_0(buf)
        if buf.tell() != _HEADER:
            raise ValueError(f"the header is {buf.tell()} bytes, not {_HEADER}")
    except Exception as e:  # whatever NumPy's parser objects to
        raise _HeaderError(f"{where} has no valid .npy header: {e}") from None
    return shape, fortran, dtype


def _read_manifest(path: Path) -> dict[str, Any]:
    where = path / _MANIFEST
    try:
        f = _open_file(where)
    except CacheMissingError:
        if not path.is_dir():
            raise CacheMissingError(f"{path} is not a tarnexa cache: no such directory") from None
        raise CacheMissingError(f"{path} is not a tarnexa cache: it has no {_MANIFEST}") from None
    with f:
        raw = f.read(_MANIFEST_LIMIT + 1)
    if len(raw) > _MANIFEST_LIMIT:
        raise CacheError(f"{where} is larger than {_MANIFEST_LIMIT} bytes")
    try:
        manifest = json.loads(raw.decode("utf-8"), parse_constant=_no_constant)
    except Exception as e:  # bad UTF-8, bad JSON, too deep, too long a number
        raise CacheError(f"{where} is not valid JSON: {type(e).__name__}: {e}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise CacheError(f"{where} is not a tarnexa cache manifest")
    version = manifest.get("version")
    if type(version) is not int or not 1 <= version <= _VERSION:
        raise CacheError(f"{where}: version {version!r}; this tarnexa reads versions 1 to {_VERSION}")
    manifest.setdefault("int8", False)  # written before the int8 copy existed
    for key, kind, least in (("rows", int, 0), ("dims", int, 1), ("ids_bytes", int, 0), ("timestamps", bool, 0),
                             ("int8", bool, 0)):
        value = manifest.get(key)
        if type(value) is not kind or value < least:
            want = "true or false" if kind is bool else f"a whole number >= {least}"
            raise CacheError(f"{where}: {key} is {value!r}, not {want}")
    if version >= 3 and not (isinstance(manifest.get("uid"), str) and 0 < len(manifest["uid"]) <= 64):
        raise CacheError(f"{where}: uid is {manifest.get('uid')!r}, not the cache's name")
    if version >= 2:
        crcs = manifest.get("crc32")
        names = {c.name for c in COLUMNS if 0 < c.checked <= version and c.since <= version
                 and (c.flag is None or manifest[c.flag])}
        if (not isinstance(crcs, dict) or set(crcs) != names
                or not all(type(v) is int and 0 <= v < 1 << 32 for v in crcs.values())):
            raise CacheError(f"{where}: crc32 is {crcs!r}, not a checksum for each of {sorted(names)}")
    return manifest


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number")


def _crc(f: BinaryIO, offset: int, size: int, crc: int = 0) -> int:
    f.seek(offset)
    while size > 0:
        chunk = f.read(min(size, 1 << 24))
        if not chunk:
            break
        crc = zlib.crc32(chunk, crc)
        size -= len(chunk)
    return crc


# ---- validation ----------------------------------------------------------------------------


def _as_vectors(vectors: object, dims: int | None) -> Float32Matrix:
    arr = np.asarray(vectors)
    if arr.ndim != 2:
        raise ValueError(f"vectors must be a 2-D array (rows, dims), got {arr.ndim} dimension(s)")
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"vectors must be real numbers convertible to float32, got dtype {arr.dtype}")
    if arr.shape[1] < 1:
        raise ValueError("vectors must have at least one dim")
    if dims is not None and arr.shape[1] != dims:
        raise ValueError(f"vectors have {arr.shape[1]} dims, the cache has {dims}")
    with np.errstate(over="ignore", invalid="ignore"):  # too large values become inf, refused below
        out = np.ascontiguousarray(arr, dtype="<f4")
    # A row's float64 sum is finite exactly when each of its float32 values is (their sum cannot
    # overflow float64), and takes no bool array the size of the matrix.
    finite = np.isfinite(out.sum(axis=1, dtype=np.float64))
    if not finite.all():
        bad = np.flatnonzero(~finite)
        raise ValueError(f"vectors hold NaN or infinite values in {bad.size} row(s), first row {bad[0]}")
    return out


def _as_ids(ids: object, rows: int) -> list[str]:
    if isinstance(ids, str) or not isinstance(ids, Sequence | np.ndarray):
        raise TypeError(f"ids must be a sequence of str, got {type(ids).__name__}")
    out = list(ids)
    for i, d in enumerate(out):
        if not isinstance(d, str):
            raise TypeError(f"ids[{i}] is {type(d).__name__}, not str")
    if len(out) != rows:
        raise ValueError(f"{len(out)} ids for {rows} vector rows")
    if len(set(out)) != len(out):
        seen: set[str] = set()
        dup = next(d for d in out if d in seen or seen.add(d))  # type: ignore[func-returns-value]
        raise ValueError(f"ids are not unique: {dup!r} occurs more than once")
    return [str(d) for d in out]


def _as_timestamps(timestamps: object, rows: int) -> Float64Vector:
    arr = np.asarray(timestamps)
    if arr.ndim != 1 or arr.dtype.kind not in "biuf":
        raise TypeError(f"timestamps must be a 1-D array of numbers, got {arr.ndim}-D {arr.dtype}")
    if len(arr) != rows:
        raise ValueError(f"{len(arr)} timestamps for {rows} vector rows")
    out = np.ascontiguousarray(arr, dtype="<f8")
    finite = np.isfinite(out)
    if not finite.all():
        bad = np.flatnonzero(~finite)
        raise ValueError(f"timestamps must be finite epoch seconds: {bad.size} are NaN or infinite, "
                         f"first at row {bad[0]} ({out[bad[0]]})")
    return out


def _int8_data(vec: Float32Matrix) -> dict[str, Any]:
    """The int8 copy's columns for these rows, computed by the package's native code."""
    rows = quantize(vec)
    return {"codes": rows.codes, "scales": rows.scales, "bounds": rows.bounds}


def row_crcs(vec: Float32Matrix) -> npt.NDArray[np.uint32]:
    """The CRC-32 of each row's bytes."""
    if not vec.size:
        return np.zeros(len(vec), np.uint32)
    raw = memoryview(np.ascontiguousarray(vec, dtype="<f4")).cast("B")
    width = vec.shape[1] * 4
    return np.fromiter((zlib.crc32(raw[i : i + width]) for i in range(0, len(raw), width)), np.uint32, len(vec))


def _encode(ids: list[str]) -> tuple[bytes, npt.NDArray[np.int64]]:
    parts = [d.encode("utf-8", "surrogatepass") for d in ids]
    ends = np.cumsum([len(p) for p in parts], dtype=np.int64) if parts else np.zeros(0, np.int64)
    return b"".join(parts), ends


# ---- the cache -----------------------------------------------------------------------------


class Cache:
    """An embedding cache on disk: ``vectors`` (memory-mapped, read-only float32, n x dims),
    ``ids`` (one ``str`` per row, unique) and optional float64 ``timestamps``.

    Rows with NaN or infinite values, and timestamps that are not finite, are refused: they can
    never be ranked and would make every centroid, blend or decay that includes them NaN.
    A directory that does not hold what its manifest says raises ``CacheError``.
    """

    def __init__(self, path: str | os.PathLike[str], manifest: dict[str, Any]) -> None:
        self.path = Path(path)
        self._committed = False  # set once this object's manifest has replaced the one on disk
        self._reset(manifest)

    def _reset(self, manifest: dict[str, Any]) -> None:
        self._manifest = manifest
        self._ids: tuple[str, ...] | None = None
        self._vectors: Float32Matrix | None = None
        self._timestamps: Float64Vector | None = None
        self._ends: npt.NDArray[np.int64] | None = None
        self._int8: Int8Rows | None = None
        self._row_crc: npt.NDArray[np.uint32] | None = None

    # -- opening and creating --

    @staticmethod
    def exists(path: str | os.PathLike[str]) -> bool:
        """Whether path holds a cache (its manifest; whether the rest can be trusted is for
        ``open`` to say)."""
        return (Path(path) / MANIFEST).is_file()

    @classmethod
    def open(cls, path: str | os.PathLike[str]) -> Cache:
        """The cache at path, after checking its manifest, the kinds and sizes of its files and
        their .npy headers; raises CacheError naming the file and what is wrong with it."""
        path = Path(path)
        for attempt in range(3):
            # The headers are read before the manifest: a writer rewrites them only after its
            # commit, so a header read first never names more rows than the manifest read after.
            headers: dict[str, tuple[tuple[int, ...], bool, np.dtype[Any]] | CacheError] = {}
            for col in COLUMNS:
                if col.dtype is not None:
                    try:
                        with _open_file(path / col.file) as f:
                            headers[col.name] = _read_header(f, path / col.file)
                    except CacheError as e:
                        headers[col.name] = e
            cache = cls(path, _read_manifest(path))
            try:
                cache._check_files(headers)
                return cache
            except _HeaderError:
                if attempt == 2:
                    raise
                time.sleep(0.001)  # perhaps read while a writer rewrote it: read them again
        raise AssertionError("unreachable")

    def _check_files(self, headers: dict[str, Any]) -> None:
        for col in self._columns():
            where = self.path / col.file
            with _open_file(where) as f:
                have = os.fstat(f.fileno()).st_size
            need = col.offset + col.nbytes(self._manifest)
            if have < need:
                raise CacheError(f"{where} holds {have} bytes, the cache needs {need}")
            header = headers.get(col.name)
            if isinstance(header, CacheError):
                raise header
            if header is None:
                continue
            shape, fortran, dtype = header
            want = col.shape(self._manifest)
            if dtype != np.dtype(col.dtype) or fortran:
                raise _HeaderError(f"{where} holds {dtype.str}{' in Fortran order' if fortran else ''}, "
                                 f"the cache needs {col.dtype} in C order")
            if len(shape) != len(want) or shape[1:] != want[1:] or not 0 <= shape[0] <= want[0]:
                raise _HeaderError(f"{where} has the shape {shape} in its header, the manifest says {want}")

    @classmethod
    def create(
        cls,
        path: str | os.PathLike[str],
        vectors: object,
        ids: object,
        timestamps: object = None,
    ) -> Cache:
        """Writes a new cache directory at path; refuses a path that already exists (an empty
        directory is taken over). The directory appears whole or not at all."""
        path = Path(path)
        vec = _as_vectors(vectors, None)
        id_list = _as_ids(ids, len(vec))
        times = None if timestamps is None else _as_timestamps(timestamps, len(vec))
        if path.exists() and not (path.is_dir() and not any(path.iterdir())):
            raise FileExistsError(f"{path} already exists")
        path.parent.mkdir(parents=True, exist_ok=True)
        _remove_abandoned(path)
        tmp = path.parent / f".{path.name}.tmp-{os.getpid()}-{secrets.token_hex(4)}"
        tmp.mkdir()  # with the permissions the umask gives, as the cache will have them
        try:
            text, ends = _encode(id_list)
            data: dict[str, Any] = {"vectors": vec, "ends": ends, "text": text, "timestamps": times,
                                    "row_crc": row_crcs(vec), **_int8_data(vec)}
            manifest = {
                "format": _FORMAT, "version": _VERSION, "rows": len(vec), "dims": int(vec.shape[1]),
                "timestamps": times is not None, "ids_bytes": len(text), "int8": True,
                "uid": secrets.token_hex(8),
            }
            cache = cls(tmp, manifest)
            manifest["crc32"] = {c.name: zlib.crc32(data[c.name]) for c in cache._columns() if c.checked}
            for col in cache._columns():
                _write_column(tmp / col.file, 0, b"\0" * col.offset, data[col.name])
            cache._write_headers()
            cache._write_manifest()
            step(f"rename {tmp.name}")
            try:
                os.rename(tmp, path)
            except OSError as e:
                raise FileExistsError(f"{path} already exists") from e
        except BaseException as e:
            shutil.rmtree(tmp, ignore_errors=True)
            if isinstance(e, OSError) and not isinstance(e, FileExistsError):
                raise OSError(e.errno, f"could not create the cache {path}: {e.strerror}") from e
            raise
        try:
            step(f"sync {path.parent}")
            fsync_dir(path.parent)
        except OSError as e:
            raise OSError(e.errno, f"created the cache {path}, but could not flush its parent directory "
                                   f"to disk: {e.strerror}") from e
        return cls.open(path)

    def append(self, vectors: object, ids: object, timestamps: object = None) -> None:
        """Adds rows at the end, all or nothing: on any error or crash the cache keeps exactly
        its previous rows. A failed write (a full disk) raises OSError saying so."""
        with self._locked():
            self._reset(Cache.open(self.path)._manifest)  # another process may have appended
            vec = _as_vectors(vectors, self.dims)
            id_list = _as_ids(ids, len(vec))
            if (timestamps is None) == self.has_timestamps:
                need = "needs" if self.has_timestamps else "has no"
                raise ValueError(f"this cache {need} timestamps: pass timestamps= accordingly")
            times = None if timestamps is None else _as_timestamps(timestamps, len(vec))
            clash = set(id_list).intersection(self.ids)
            if clash:
                raise ValueError(f"ids already in the cache: {sorted(clash)[:5]!r}")
            if not len(vec):
                return
            text, ends = _encode(id_list)
            ends += self._manifest["ids_bytes"]
            n, old = len(self), self._manifest
            data: dict[str, Any] = {"vectors": vec, "ends": ends, "text": text, "timestamps": times,
                                    "row_crc": row_crcs(vec)}
            if self.has_int8:
                data.update(_int8_data(vec))
            manifest = dict(old, rows=n + len(vec), ids_bytes=old["ids_bytes"] + len(text))
            if "crc32" in old:
                manifest["crc32"] = {k: zlib.crc32(data[k], v) for k, v in old["crc32"].items()}
            new = Cache(self.path, manifest)
            try:
                for col in self._columns():
                    _write_column(self.path / col.file, col.offset + col.nbytes(old), data[col.name])
                new._write_manifest()  # the commit
            except OSError as e:
                if new._committed:  # only the directory's flush failed: the rows are there
                    self._reset(manifest)
                    raise OSError(e.errno, f"appended {len(vec)} rows to {self.path}, but could not flush "
                                           f"the directory to disk: {e.strerror}") from e
                self._cut_back()
                raise OSError(e.errno, f"could not append {len(vec)} rows to {self.path}: {e.strerror}; "
                                       f"the cache keeps its {n} rows") from e
            self._reset(manifest)
            try:
                self._write_headers()
            except OSError:
                pass  # committed: a header that names fewer rows than the manifest is allowed

    def add_int8(self) -> bool:
        """Gives a cache written without it the int8 copy of its matrix, atomically: the copy's
        files are written and flushed whole before the manifest naming them is committed (a
        crash before leaves the cache as it was). False when the cache has the copy already."""
        with self._locked():
            self._reset(Cache.open(self.path)._manifest)
            if self.has_int8:
                return False
            data = _int8_data(np.asarray(self.vectors))
            manifest = dict(self._manifest, int8=True)
            if "crc32" in manifest:
                manifest["crc32"] = dict(manifest["crc32"], **{
                    c.name: zlib.crc32(data[c.name]) for c in COLUMNS
                    if c.name in _INT8 and 0 < c.checked <= self.version})
            new = Cache(self.path, manifest)
            for col in new._columns():
                if col.name in _INT8:
                    _write_column(self.path / col.file, 0, b"\0" * col.offset, data[col.name])
            new._write_headers()
            new._write_manifest()  # the commit
            self._reset(manifest)
            return True

    # -- reading --

    def __len__(self) -> int:
        return int(self._manifest["rows"])

    def __repr__(self) -> str:
        return f"Cache({str(self.path)!r}, rows={len(self)}, dims={self.dims})"

    @property
    def dims(self) -> int:
        return int(self._manifest["dims"])

    @property
    def has_timestamps(self) -> bool:
        return bool(self._manifest["timestamps"])

    @property
    def version(self) -> int:
        """The manifest's version: 3 checks the matrix and its int8 copy, 1 and 2 do not."""
        return int(self._manifest["version"])

    @property
    def checked(self) -> bool:
        """Whether the cache keeps checksums over its matrix and its int8 copy (version 3)."""
        return self.version >= 3

    @property
    def has_int8(self) -> bool:
        """Whether the cache keeps the int8 copy of its matrix."""
        return bool(self._manifest["int8"])

    @property
    def int8(self) -> Int8Rows | None:
        """The int8 copy of the matrix, memory-mapped read-only; None for a cache without one."""
        if self._int8 is None and self.has_int8:
            self._int8 = Int8Rows(self._column("codes"), self._column("scales"), self._column("bounds"))
        return self._int8

    @property
    def vectors(self) -> Float32Matrix:
        """The matrix, memory-mapped read-only: rows are read from the page cache, never copied."""
        if self._vectors is None:
            self._vectors = self._column("vectors")
        return self._vectors

    def map(self) -> None:
        """Opens and maps now every column a search reads - the matrix, the timestamps, the int8
        copy and the rows' checksums - so that this object reads them whole even once their
        files are removed (a compaction's writer removes the old cache when no reader pins it)."""
        self.vectors  # noqa: B018
        self.timestamps  # noqa: B018
        self.int8  # noqa: B018
        if self.checked and self._row_crc is None:
            self._row_crc = self._column("row_crc")

    @property
    def timestamps(self) -> Float64Vector | None:
        if self._timestamps is None and self.has_timestamps:
            ts = self._column("timestamps")
            finite = np.isfinite(ts)
            if not finite.all():
                row = int(np.flatnonzero(~finite)[0])
                raise CacheError(f"{self.path / _BY_NAME['timestamps'].file}: the timestamp of row {row} "
                                 f"is {ts[row]}, not a finite time")
            self._timestamps = ts
        return self._timestamps

    @property
    def ids(self) -> tuple[str, ...]:
        if self._ids is None:
            self._ids = self.read_ids(0, len(self))
        return self._ids

    def read_ids(self, start: int, stop: int) -> tuple[str, ...]:
        """The ids of rows start to stop-1, read from disk (a shard needs only its own)."""
        start, stop, _ = slice(start, stop).indices(len(self))
        if stop <= start:
            return ()
        all_ends = self._checked_ends()
        base = int(all_ends[start - 1]) if start else 0
        ends = (all_ends[start:stop] - base).tolist()
        where = self.path / _BY_NAME["text"].file
        with _open_file(where) as f:
            f.seek(base)
            blob = f.read(ends[-1])
        if len(blob) != ends[-1]:
            raise CacheError(f"{where} was cut short while it was read")
        starts = [0] + ends[:-1]
        if blob.isascii():
            text = blob.decode("ascii")
            out = tuple(text[a:b] for a, b in zip(starts, ends))
        else:
            try:
                out = tuple(blob[a:b].decode("utf-8", "surrogatepass") for a, b in zip(starts, ends))
            except UnicodeDecodeError as e:
                raise CacheError(f"{where}: an id of rows {start} to {stop - 1} is not valid UTF-8: {e}") from None
        if len(set(out)) != len(out):
            raise CacheError(f"{where}: ids of rows {start} to {stop - 1} occur more than once")
        return out

    # -- internals --

    def _columns(self) -> list[_Column]:
        return [c for c in COLUMNS if (c.flag is None or self._manifest[c.flag]) and c.since <= self.version]

    def _column(self, name: str) -> Any:
        """The column's committed values, memory-mapped read-only; checked columns (version 2)
        only after their checksum matched."""
        col = _BY_NAME[name]
        assert col.dtype is not None
        if not len(self):
            arr = np.zeros(col.shape(self._manifest), col.dtype)
            arr.flags.writeable = False
            return arr
        where, size = self.path / col.file, col.nbytes(self._manifest)
        with _open_file(where) as f:  # the file may have changed since open(): check it again
            if os.fstat(f.fileno()).st_size < col.offset + size:
                raise CacheError(f"{where} was cut short: it no longer holds the cache's rows")
            if name != "vectors":  # the matrix is checked by verify_matrix, not on every read
                self._check_crc(col, f)
            return np.memmap(f, dtype=col.dtype, mode="r", offset=col.offset, shape=col.shape(self._manifest))

    def _check_crc(self, col: _Column, f: BinaryIO) -> bool:
        """Checks the column's bytes against the manifest's CRC-32 (False: it keeps none). What
        this process checked before of the same files (a version 3 cache) is not read again."""
        crcs = self._manifest.get("crc32")
        if crcs is None or col.name not in crcs:
            return False
        size = col.nbytes(self._manifest)
        st = os.fstat(f.fileno())
        key = (str(self._manifest.get("uid")), col.name, st.st_dev, st.st_ino) if "uid" in self._manifest else None
        with _CHECKED_LOCK:
            done, crc, _ = _CHECKED.get(key, (0, 0, -1)) if key else (0, 0, -1)
        if done > size:
            done, crc = 0, 0
        got = _crc(f, col.offset + done, size - done, crc)
        if got != crcs[col.name] and done:  # not the file checked before after all: all of it again
            got = _crc(f, col.offset, size)
        if got != crcs[col.name]:
            raise CacheError(f"{self.path / col.file}: the data does not match the manifest's checksum")
        if key:
            _remember(key, size, got, f)
        return True

    def verify_matrix(self) -> bool:
        """Checks the whole float32 matrix against its checksum before a search may read it;
        CacheError naming the file and the first damaged row. False for a cache that keeps no
        checksum over its matrix (versions 1 and 2)."""
        if not len(self) or not self.checked:
            return False
        col = _BY_NAME["vectors"]
        with _open_file(self.path / col.file) as f:
            if os.fstat(f.fileno()).st_size < col.offset + col.nbytes(self._manifest):
                raise CacheError(f"{self.path / col.file} was cut short: it no longer holds the cache's rows")
            try:
                return self._check_crc(col, f)
            except CacheError:
                pass
        for start in range(0, len(self), _ROW * 64):  # name the row
            self.check_rows(range(start, min(len(self), start + _ROW * 64)))
        raise CacheError(f"{self.path / col.file}: the matrix does not match the manifest's checksum")

    def check_rows(self, rows: Sequence[int] | range) -> None:
        """Checks these rows of the float32 matrix against their own CRC-32s (a version 3
        cache); CacheError naming the file and the row that does not match."""
        if not self.checked or not len(rows):
            return
        if self._row_crc is None:
            self._row_crc = self._column("row_crc")
        vec = self.vectors
        want = self._row_crc
        for r in rows:
            if zlib.crc32(vec[r]) != int(want[r]):
                raise CacheError(f"{self.path / _BY_NAME['vectors'].file}: row {r} does not match its checksum "
                                 f"in {_BY_NAME['row_crc'].file}")

    def verify(self) -> list[str]:
        """Reads and checks everything the cache holds: every checksum, every id and timestamp.
        Raises CacheError for the first damage; returns notes (a cache without checksums)."""
        fresh = Cache.open(self.path)
        if fresh.checked:
            _forget(fresh._manifest["uid"])  # read it all, whatever this process checked before
        fresh.ids  # noqa: B018 - the offsets, the texts and their checksums
        fresh.timestamps  # noqa: B018
        if fresh.has_int8:
            fresh.int8  # noqa: B018 - the codes, scales and bounds, each against its checksum
        if fresh.checked:
            fresh.check_rows(range(len(fresh)))
            fresh.verify_matrix()
            return []
        return [f"{self.path} keeps no checksums over its matrix{' and int8 copy' if fresh.has_int8 else ''} "
                f"(version {fresh.version}): tarnexa verify --fix adds them"]

    def add_checksums(self) -> bool:
        """Gives a version 1 or 2 cache the checksums of version 3 over what it holds now (read
        as it is: damage done before cannot be told apart), in one atomic commit. False when
        the cache has them already."""
        with self._locked():
            self._reset(Cache.open(self.path)._manifest)
            if self.checked:
                return False
            self.ids  # noqa: B018 - what a version 2 manifest checks must hold before it is trusted
            self.timestamps  # noqa: B018
            if self.has_int8:
                self.int8  # noqa: B018
            data = {c.name: self._column(c.name) for c in self._columns() if c.dtype is not None}
            with _open_file(self.path / _BY_NAME["text"].file) as f:
                data["text"] = f.read(int(self._manifest["ids_bytes"]))
            data["row_crc"] = row_crcs(np.asarray(self.vectors))
            manifest = dict(self._manifest, version=_VERSION, uid=secrets.token_hex(8))
            new = Cache(self.path, manifest)
            manifest["crc32"] = {c.name: zlib.crc32(np.ascontiguousarray(data[c.name]) if c.dtype else data[c.name])
                                 for c in new._columns() if c.checked}
            _write_column(self.path / _BY_NAME["row_crc"].file, 0, b"\0" * _HEADER, data["row_crc"])
            new._write_headers()
            new._write_manifest()  # the commit
            self._reset(manifest)
            return True

    def _checked_ends(self) -> npt.NDArray[np.int64]:
        """The id end offsets, once they are known to be in order and to end with the id texts
        (whose checksum, version 2, is checked too)."""
        if self._ends is None:
            ends = self._column("ends")
            where, total = self.path / _BY_NAME["ends"].file, int(self._manifest["ids_bytes"])
            if ends[0] < 0 or (np.diff(ends) < 0).any():
                raise CacheError(f"{where}: the id offsets are out of order")
            if int(ends[-1]) != total:
                raise CacheError(f"{where}: the id offsets end at {int(ends[-1])}, "
                                 f"{_BY_NAME['text'].file} holds {total} bytes of ids")
            with _open_file(self.path / _BY_NAME["text"].file) as f:
                self._check_crc(_BY_NAME["text"], f)
            self._ends = ends
        return self._ends

    def _cut_back(self) -> None:
        """Gives back the space a failed append took: each file cut to its committed end."""
        for col in self._columns():
            with contextlib.suppress(OSError):
                os.truncate(self.path / col.file, col.offset + col.nbytes(self._manifest))
        with contextlib.suppress(OSError):
            os.unlink(self.path / f".{_MANIFEST}.tmp")

    def _write_headers(self) -> None:
        for col in self._columns():
            if col.dtype is not None:
                step(f"header {col.file}")
                with open(self.path / col.file, "r+b") as f:
                    f.write(_npy_header(np.dtype(col.dtype), col.shape(self._manifest)))
                    f.flush()
                    step(f"sync header {col.file}")
                    os.fsync(f.fileno())

    def _write_manifest(self) -> None:
        tmp = self.path / f".{_MANIFEST}.tmp"
        step(f"write {tmp.name}")
        with open(tmp, "w") as f:
            json.dump(self._manifest, f)
            f.flush()
            step(f"sync {tmp.name}")
            os.fsync(f.fileno())
        step(f"rename {_MANIFEST}")
        os.replace(tmp, self.path / _MANIFEST)
        self._committed = True
        step(f"sync {self.path.name}")
        fsync_dir(self.path)

    @contextlib.contextmanager
    def _locked(self) -> Iterator[None]:
        fd = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            step("lock")
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)


def _remove_abandoned(path: Path) -> None:
    """Removes what creates of path by processes that no longer run left behind."""
    for tmp in path.parent.glob(f".{path.name}.tmp-*"):
        try:
            pid = int(tmp.name.rsplit("-", 2)[1])
            os.kill(pid, 0)
        except ProcessLookupError:
            shutil.rmtree(tmp, ignore_errors=True)
        except (ValueError, IndexError, OSError):
            pass

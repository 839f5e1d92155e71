"""The embedding cache on disk: a directory that holds the matrix, the ids and the timestamps.

Layout of a cache directory:

- ``vectors.npy``: the float32 matrix, n rows by dims columns, in NumPy's own format;
- ``ids.utf8`` and ``ids.npy``: the ids' texts back to back (UTF-8, lone surrogates kept)
  and the int64 end offset of each id in that file;
- ``timestamps.npy``: float64 epoch seconds, one per row, only when the cache has them;
- ``codes.npy``, ``scales.npy``, ``bounds.npy``: the int8 copy of the matrix (int8 codes, rows
  padded to 4 bytes; a float32 scale and a float32 bound term per row) that searches scan
  instead of the matrix, when the manifest says ``"int8": true`` (caches written before it
  existed have none until ``add_int8``);
- ``manifest.json``: the committed row count, the dims and the byte offsets of the data.

The manifest is the commit record. Appends write the new rows past the committed ends of
the files, flush them to disk and only then replace the manifest by a rename, so a crash or
an error at any point leaves the previous cache readable and whole: readers take exactly
the committed rows and ignore anything beyond them. The ``.npy`` headers are rewritten to
the new shape after the commit; they have a fixed size, so the data never moves.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import secrets
import shutil
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from tarnexa.search.quantized import Int8Rows, code_width, quantize

_FORMAT = "tarnexa-cache"
_VERSION = 1
_HEADER = 256  # bytes of every .npy header we write; a multiple of 64, room for any shape
_MANIFEST = "manifest.json"
_VECTORS, _ENDS, _TEXT, _TIMES = "vectors.npy", "ids.npy", "ids.utf8", "timestamps.npy"
_CODES, _SCALES, _BOUNDS = "codes.npy", "scales.npy", "bounds.npy"
_INT8 = (_CODES, _SCALES, _BOUNDS)

Float32Matrix = npt.NDArray[np.float32]
Float64Vector = npt.NDArray[np.float64]


def _npy_header(dtype: np.dtype[Any], shape: tuple[int, ...]) -> bytes:
    body = repr({"descr": dtype.str, "fortran_order": False, "shape": shape})
    text = body.encode("latin1")
    pad = _HEADER - 10 - len(text) - 1
    if pad < 0:
        raise ValueError(f"shape {shape} does not fit a {_HEADER}-byte header")
    return b"\x93NUMPY\x01\x00" + (_HEADER - 10).to_bytes(2, "little") + text + b" " * pad + b"\n"


def _offset(name: str) -> int:
    """Where a file's data starts: after the .npy header, or at 0 for the id texts."""
    return 0 if name == _TEXT else _HEADER


def _fsync_dir(path: Path) -> None:
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
    os.fsync(f.fileno())


# ---- validation ----------------------------------------------------------------------------


def _as_vectors(vectors: object, dims: int | None) -> Float32Matrix:
    arr = np.asarray(vectors)
    if arr.ndim != 2:
        raise ValueError(f"vectors must be a 2-D array (rows, dims), got {arr.ndim} dimension(s)")
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"vectors must be real numbers convertible to float32, got dtype {arr.dtype}")
    if dims is not None and arr.shape[1] != dims:
        raise ValueError(f"vectors have {arr.shape[1]} dims, the cache has {dims}")
    with np.errstate(over="ignore", invalid="ignore"):  # too large values become inf, refused below
        out = np.ascontiguousarray(arr, dtype="<f4")
    finite = np.isfinite(out).all(axis=1)
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
    return np.ascontiguousarray(arr, dtype="<f8")


def _int8_columns(vec: Float32Matrix) -> dict[str, bytes | memoryview]:
    rows = quantize(vec)
    return {_CODES: rows.codes.data, _SCALES: rows.scales.data, _BOUNDS: rows.bounds.data}


def _encode(ids: list[str]) -> tuple[bytes, npt.NDArray[np.int64]]:
    parts = [d.encode("utf-8", "surrogatepass") for d in ids]
    ends = np.cumsum([len(p) for p in parts], dtype=np.int64) if parts else np.zeros(0, np.int64)
    return b"".join(parts), ends


# ---- the cache -----------------------------------------------------------------------------


class Cache:
    """An embedding cache on disk: ``vectors`` (memory-mapped, read-only float32, n x dims),
    ``ids`` (one ``str`` per row, unique) and optional float64 ``timestamps``.

    Rows with NaN or infinite values are refused: they can never be ranked and would make
    every centroid or blend that includes them NaN.
    """

    def __init__(self, path: str | os.PathLike[str], manifest: dict[str, Any]) -> None:
        self.path = Path(path)
        self._reset(manifest)

    def _reset(self, manifest: dict[str, Any]) -> None:
        self._manifest = manifest
        self._ids: tuple[str, ...] | None = None
        self._vectors: Float32Matrix | None = None
        self._timestamps: Float64Vector | None = None
        self._int8: Int8Rows | None = None

    # -- opening and creating --

    @classmethod
    def open(cls, path: str | os.PathLike[str]) -> Cache:
        path = Path(path)
        manifest_path = path / _MANIFEST
        if not manifest_path.is_file():
            raise FileNotFoundError(f"{path} is not a tarnexa cache: it has no {_MANIFEST}")
        manifest = json.loads(manifest_path.read_text())
        if manifest.get("format") != _FORMAT or manifest.get("version") != _VERSION:
            raise ValueError(f"{manifest_path} is not a version {_VERSION} tarnexa cache manifest")
        cache = cls(path, manifest)
        for name in cache._files():
            need = _offset(name) + cache._column_bytes(name)
            if not (path / name).is_file():
                raise FileNotFoundError(f"{path / name} is missing")
            have = (path / name).stat().st_size
            if have < need:
                raise ValueError(f"{path / name} holds {have} bytes, the cache needs {need}")
        return cache

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
        tmp = path.parent / f".{path.name}.tmp-{os.getpid()}-{secrets.token_hex(4)}"
        tmp.mkdir()  # with the permissions the umask gives, as the cache will have them
        try:
            text, ends = _encode(id_list)
            columns: dict[str, bytes | memoryview] = {_VECTORS: vec.data, _ENDS: ends.data, _TEXT: text}
            if times is not None:
                columns[_TIMES] = times.data
            columns.update(_int8_columns(vec))
            for name, data in columns.items():
                with open(tmp / name, "wb") as f:
                    _write_at(f, 0, b"\0" * _offset(name), data)
            manifest = {
                "format": _FORMAT, "version": _VERSION, "rows": len(vec), "dims": int(vec.shape[1]),
                "timestamps": times is not None, "ids_bytes": len(text), "int8": True,
            }
            cache = cls(tmp, manifest)
            cache._write_headers()
            cache._write_manifest()
            try:
                os.rename(tmp, path)
            except OSError as e:
                raise FileExistsError(f"{path} already exists") from e
            _fsync_dir(path.parent)
        except BaseException:
            shutil.rmtree(tmp, ignore_errors=True)
            raise
        return cls.open(path)

    def append(self, vectors: object, ids: object, timestamps: object = None) -> None:
        """Adds rows at the end, all or nothing: on any error or crash the cache keeps exactly
        its previous rows."""
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
            n = len(self)
            columns: dict[str, bytes | memoryview] = {_VECTORS: vec.data, _ENDS: ends.data, _TEXT: text}
            if times is not None:
                columns[_TIMES] = times.data
            if self.has_int8:
                columns.update(_int8_columns(vec))
            for name, data in columns.items():
                with open(self.path / name, "r+b") as f:
                    _write_at(f, _offset(name) + self._column_bytes(name), data)
            manifest = dict(self._manifest, rows=n + len(vec), ids_bytes=self._manifest["ids_bytes"] + len(text))
            committed = Cache(self.path, manifest)
            committed._write_manifest()  # the commit
            committed._write_headers()
            self._reset(manifest)

    def add_int8(self) -> bool:
        """Adds the int8 copy to a cache written without one, atomically: the copy's files are
        written and flushed whole before the manifest that names them is committed. False when
        the cache has it already."""
        with self._locked():
            self._reset(Cache.open(self.path)._manifest)
            if self.has_int8:
                return False
            for name, data in _int8_columns(np.asarray(self.vectors)).items():
                with open(self.path / name, "wb") as f:
                    _write_at(f, 0, b"\0" * _offset(name), data)
            manifest = dict(self._manifest, int8=True)
            committed = Cache(self.path, manifest)
            committed._write_headers()
            committed._write_manifest()  # the commit
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
    def has_int8(self) -> bool:
        """Whether the cache keeps the int8 copy of its matrix."""
        return bool(self._manifest.get("int8", False))

    @property
    def int8(self) -> Int8Rows | None:
        """The int8 copy of the matrix (memory-mapped), or None for a cache without one."""
        if self._int8 is None and self.has_int8:
            n = len(self)
            self._int8 = Int8Rows(self._column(_CODES, np.int8, (n, code_width(self.dims))),
                                  self._column(_SCALES, np.float32, (n,)),
                                  self._column(_BOUNDS, np.float32, (n,)))
        return self._int8

    @property
    def vectors(self) -> Float32Matrix:
        """The matrix, memory-mapped read-only: rows are read from the page cache, never copied."""
        if self._vectors is None:
            self._vectors = self._column(_VECTORS, np.float32, (len(self), self.dims))
        return self._vectors

    @property
    def timestamps(self) -> Float64Vector | None:
        if self._timestamps is None and self.has_timestamps:
            self._timestamps = self._column(_TIMES, np.float64, (len(self),))
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
        all_ends = self._column(_ENDS, np.int64, (len(self),))
        base = int(all_ends[start - 1]) if start else 0
        ends = (all_ends[start:stop] - base).tolist()
        with open(self.path / _TEXT, "rb") as f:
            f.seek(base)
            blob = f.read(ends[-1])
        starts = [0] + ends[:-1]
        if blob.isascii():
            text = blob.decode("ascii")
            return tuple(text[a:b] for a, b in zip(starts, ends))
        return tuple(blob[a:b].decode("utf-8", "surrogatepass") for a, b in zip(starts, ends))

    # -- internals --

    def _files(self) -> list[str]:
        return ([_VECTORS, _ENDS, _TEXT] + ([_TIMES] if self.has_timestamps else [])
                + (list(_INT8) if self.has_int8 else []))

    def _column_bytes(self, name: str) -> int:
        n = len(self)
        return {_VECTORS: n * self.dims * 4, _ENDS: n * 8, _TIMES: n * 8, _TEXT: int(self._manifest["ids_bytes"]),
                _CODES: n * code_width(self.dims), _SCALES: n * 4, _BOUNDS: n * 4}[name]

    def _column(self, name: str, dtype: type[np.generic], shape: tuple[int, ...]) -> Any:
        if not len(self):
            arr = np.zeros(shape, dtype)
            arr.flags.writeable = False
            return arr
        return np.memmap(self.path / name, dtype=np.dtype(dtype).newbyteorder("<"), mode="r",
                         offset=_HEADER, shape=shape)

    def _write_headers(self) -> None:
        shapes = {_VECTORS: ("<f4", (len(self), self.dims)), _ENDS: ("<i8", (len(self),)),
                  _TIMES: ("<f8", (len(self),)), _CODES: ("|i1", (len(self), code_width(self.dims))),
                  _SCALES: ("<f4", (len(self),)), _BOUNDS: ("<f4", (len(self),))}
        for name in self._files():
            if name in shapes:
                dtype, shape = shapes[name]
                with open(self.path / name, "r+b") as f:
                    f.write(_npy_header(np.dtype(dtype), shape))
                    f.flush()
                    os.fsync(f.fileno())

    def _write_manifest(self) -> None:
        tmp = self.path / f".{_MANIFEST}.tmp"
        with open(tmp, "w") as f:
            json.dump(self._manifest, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, self.path / _MANIFEST)
        _fsync_dir(self.path)

    @contextlib.contextmanager
    def _locked(self) -> Iterator[None]:
        fd = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

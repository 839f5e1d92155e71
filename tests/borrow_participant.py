"""A second participant of the shared NumPy borrow registry, written with ctypes.

It finds the registry capsule the way another native module would and takes exclusive
(writable) borrows through the table's entry points.
"""

from __future__ import annotations

import ctypes

import numpy as np

CAPSULE = b"_VELDT_NUMPY_BORROW_CHECKING_API"

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class Table(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("state", ctypes.c_void_p),
        ("acquire", ACQUIRE),
        ("acquire_mut", ACQUIRE),
        ("release", RELEASE),
        ("release_mut", RELEASE),
    ]


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def multiarray():
    major = int(np.__version__.split(".")[0])
    if major >= 2:
        import numpy._core.multiarray as m
    else:
        import numpy.core.multiarray as m
    return m


def table() -> Table:
    capsule = getattr(multiarray(), CAPSULE.decode())
    return Table.from_address(_get_pointer(capsule, CAPSULE))


class Participant:
    """Takes exclusive borrows and releases whatever it still holds on exit."""

    def __init__(self):
        self.t = table()
        self.held: list[np.ndarray] = []

    def acquire_mut(self, a: np.ndarray) -> int:
        rc = self.t.acquire_mut(self.t.state, a)
        if rc == 0:
            self.held.append(a)
        return rc

    def acquire(self, a: np.ndarray) -> int:
        return self.t.acquire(self.t.state, a)

    def release(self, a: np.ndarray) -> None:
        self.t.release(self.t.state, a)

    def release_mut(self, a: np.ndarray) -> None:
        del self.held[next(i for i, h in enumerate(self.held) if h is a)]
        self.t.release_mut(self.t.state, a)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for a in list(self.held):
            self.release_mut(a)


def install_foreign(version: int, acquire_rc: int, calls: list):
    """Installs a registry of our own before the module looks for one; returns what must stay alive."""

    def acquire(state, arr):
        calls.append(("acquire", arr.shape))
        return acquire_rc

    def release(state, arr):
        calls.append(("release", arr.shape))

    keep = [ACQUIRE(acquire), ACQUIRE(acquire), RELEASE(release), RELEASE(release)]
    t = Table(version, None, *keep)
    capsule = _new_capsule(ctypes.addressof(t), CAPSULE, None)
    setattr(multiarray(), CAPSULE.decode(), capsule)
    return keep, t, capsule


class Counting:
    """A registry of our own, installed before the module looks for one: it grants every borrow,
    counts them per array and runs `hook(arr)` (Python code) inside every acquire when set."""

    def __init__(self):
        self.held = {}
        self.hook = None

        def acquire(state, arr):
            self.held[id(arr)] = self.held.get(id(arr), 0) + 1
            if self.hook:
                self.hook(arr)
            return 0

        def release(state, arr):
            self.held[id(arr)] -= 1

        self.keep = [ACQUIRE(acquire), ACQUIRE(acquire), RELEASE(release), RELEASE(release)]
        self.t = Table(1, None, *self.keep)
        self.capsule = _new_capsule(ctypes.addressof(self.t), CAPSULE, None)
        setattr(multiarray(), CAPSULE.decode(), self.capsule)

    def left(self) -> int:
        return sum(self.held.values())

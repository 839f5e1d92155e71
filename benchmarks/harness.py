"""Shared pieces of the benchmarks: timing, the result table, the memory-floor helper, machine facts.

Timing rules: every measurement is a median of repeated runs after warm-up, taken with
time.perf_counter_ns while the garbage collector is off. Measurements that are compared with
each other are interleaved round by round (A, B, C, A, B, C, ...), so a burst of load from
elsewhere hits all of them alike, and a ratio is the median of the per-round ratios.
Nothing here ever asserts a time.
"""
from __future__ import annotations

import ctypes
import gc
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

# A measurement whose interquartile range exceeds this share of its median is flagged as noisy.
NOISY_SPREAD = 0.10


# ---- timing ----

@dataclass
class Samples:
    ns: list[int] = field(default_factory=list)

    @property
    def median_ms(self) -> float:
        return statistics.median(self.ns) / 1e6

    @property
    def min_ms(self) -> float:
        return min(self.ns) / 1e6

    @property
    def spread(self) -> float | None:
        """Interquartile range over median (None below four samples)."""
        if len(self.ns) < 4:
            return None
        q = statistics.quantiles(self.ns, n=4)
        med = statistics.median(self.ns)
        return (q[2] - q[0]) / med if med else 0.0


def measure(fns: dict, reps: int, warmup: int = 2, pause_after: dict | None = None, inner: int | dict = 1,
            block: int = 1) -> dict[str, Samples]:
    """Times each callable `reps` times, interleaved round by round, after `warmup` untimed rounds.

    pause_after maps a name to seconds of untimed sleep after each of its calls: NumPy's BLAS
    threads keep spinning for a while after a product, and on a small machine they would take a
    core from the next measurement.

    inner: calls per sample (or a dict of them by name), for calls of a few microseconds; a
    sample is then the mean of `inner` back-to-back calls. block: samples taken in a row from
    each callable per turn, after one untimed call; for data that fits in the cache but that the
    callables hold in different copies, each of which the others' calls would evict.
    """
    pause_after = pause_after or {}
    out = {name: Samples() for name in fns}
    loops = {name: range(inner.get(name, 1) if isinstance(inner, dict) else inner) for name in fns}

    def one(name, fn):
        loop = loops[name]
        t0 = time.perf_counter_ns()
        for _ in loop:
            fn()
        out[name].ns.append((time.perf_counter_ns() - t0) // len(loop))
        if name in pause_after:
            time.sleep(pause_after[name])

    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for _ in range(warmup):
            for name, fn in fns.items():
                for _ in loops[name]:
                    fn()
        done = 0
        while done < reps:
            k = min(block, reps - done)
            for name, fn in fns.items():
                if block > 1:
                    fn()
                for _ in range(k):
                    one(name, fn)
            done += k
    finally:
        if was_enabled:
            gc.enable()
    return out


def paired_ratio(a: Samples, b: Samples) -> float:
    """Median over rounds of a/b."""
    return statistics.median(x / y for x, y in zip(a.ns, b.ns) if y > 0)


def paired_diff_ms(a: Samples, b: Samples) -> float:
    """Median over rounds of a - b, in ms."""
    return statistics.median(x - y for x, y in zip(a.ns, b.ns)) / 1e6


def raises(fn, exc_type):
    """A callable that runs fn and swallows exc_type (and only that)."""
    def run():
        try:
            fn()
        except exc_type:
            return
        raise RuntimeError("expected %s" % exc_type.__name__)
    return run


# ---- the result table ----

@dataclass
class Row:
    name: str
    ms: float | None = None
    ratio: float | None = None
    target: str = ""
    met: bool | None = None
    spread: float | None = None
    note: str = ""
    value: str | None = None  # shown instead of a time (e.g. "25.1 MB")
    min_ms: float | None = None


class Table:
    def __init__(self, title: str):
        self.title = title
        self.rows: list[Row] = []

    def add(self, name, samples: Samples | None = None, ms=None, ratio=None, target="", met=None, note="",
            value=None):
        if samples is not None and ms is None:
            ms = samples.median_ms
        spread = samples.spread if samples is not None else None
        min_ms = samples.min_ms if samples is not None else None
        self.rows.append(Row(name, ms, ratio, target, met, spread, note, value, min_ms))

    def print(self, file=None):
        file = file or sys.stdout
        w = max([len(r.name) for r in self.rows] + [len("measurement")])
        print(f"\n== {self.title}", file=file)
        head = (f"{'measurement':<{w}}  {'time (ms)':>10}  {'min (ms)':>9}  {'iqr':>5}  {'ratio':>7}  "
                f"{'target':<10}  result")
        print(head, file=file)
        print("-" * len(head), file=file)
        for r in self.rows:
            ms = f"{r.ms:10.3f}" if r.ms is not None else f"{r.value or '':>10}"
            spread = f"{r.spread * 100:4.0f}%" if r.spread is not None else f"{'':>5}"
            mn = f"{r.min_ms:9.3f}" if r.min_ms is not None else f"{'':>9}"
            ratio = f"{r.ratio:7.3f}" if r.ratio is not None else f"{'':>7}"
            met = {True: "met", False: "MISSED", None: ""}[r.met]
            if r.spread is not None and r.spread > NOISY_SPREAD:
                met = (met + " (noisy)").strip()
            line = f"{r.name:<{w}}  {ms}  {mn}  {spread}  {ratio}  {r.target:<10}  {met}"
            if r.note:
                line += f"  [{r.note}]"
            print(line.rstrip(), file=file)
        sys.stdout.flush()


def note(text: str):
    """A remark printed in line with the tables (failures left out, correctness warnings)."""
    print(f"  ! {text}", flush=True)


# ---- the memory-floor helper ----

class Floor:
    """ctypes wrapper of floor.cpp, compiled on first use into a cache directory."""

    def __init__(self, lib: ctypes.CDLL, path: Path):
        self.path = path
        self._sum = lib.floor_sum
        self._sum.restype = ctypes.c_double
        self._sum.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_ssize_t]
        lib.floor_isa.restype = ctypes.c_char_p
        self.isa = lib.floor_isa().decode()

    def reader(self, a):
        """A callable doing one streaming read of the 2-D float32 array `a` (last axis contiguous)."""
        import numpy as np
        if a.dtype != np.float32 or a.ndim != 2 or a.strides[1] != 4 or a.strides[0] % 4:
            raise ValueError("floor needs a 2-D float32 array with contiguous rows")
        ptr, rows, cols, stride, fn = a.ctypes.data, a.shape[0], a.shape[1], a.strides[0], self._sum
        return lambda keep=a: fn(ptr, rows, cols, stride)  # `keep` holds the array alive


def _cache_dir() -> Path:
    env = os.environ.get("TARNEXA_BENCH_CACHE")
    for d in ([Path(env)] if env else []) + [ROOT / "build-bench" / "floor",
                                            Path(tempfile.gettempdir()) / f"tarnexa-bench-{os.getuid()}"]:
        try:
            d.mkdir(parents=True, exist_ok=True)
            if os.access(d, os.W_OK):
                return d
        except OSError:
            continue
    raise RuntimeError("no writable cache directory for the floor helper")


def load_floor() -> Floor:
    """Compiles floor.cpp (once per source, compiler and flags) and loads it."""
    cxx = os.environ.get("CXX", "g++")
    flags = ["-O3", "-march=native", "-shared", "-fPIC", "-std=c++17"]
    src = HERE / "floor.cpp"
    if shutil.which(cxx) is None:
        raise RuntimeError(f"compiler {cxx!r} not found (set CXX)")
    key = hashlib.sha256(src.read_bytes() + " ".join([cxx] + flags).encode() +
                         platform.node().encode()).hexdigest()[:16]
    out = _cache_dir() / f"floor-{key}.so"
    if not out.exists():
        tmp = out.with_suffix(f".{os.getpid()}.tmp")
        proc = subprocess.run([cxx, *flags, str(src), "-o", str(tmp)], capture_output=True, text=True)
        if proc.returncode != 0:
            raise RuntimeError(f"compiling floor.cpp failed:\n{proc.stderr}")
        os.replace(tmp, out)
    return Floor(ctypes.CDLL(str(out)), out)


# ---- machine facts ----

def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def cpu_flags() -> set[str]:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def llc_bytes() -> int | None:
    """Size of the last-level cache of CPU 0 (as the kernel reports it; a VM may share it)."""
    best = None
    for d in sorted(Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
        try:
            if (d / "type").read_text().strip() == "Instruction":
                continue
            level = int((d / "level").read_text())
            text = (d / "size").read_text().strip().upper()
        except (OSError, ValueError):
            continue
        mult = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1)
        size = int(text.rstrip("KMG")) * mult
        if best is None or level > best[0]:
            best = (level, size)
    return best[1] if best else None


def expected_kernel() -> str:
    """The dot-product kernel the module's run-time dispatch picks on this CPU (same rule)."""
    f = cpu_flags()
    if not f:
        return "unknown"
    avx2 = {"avx2", "fma"} <= f
    if avx2 and {"avx512f", "avx512bw", "avx512dq", "avx512vl"} <= f:
        return "avx512"
    return "avx2" if avx2 else "portable"


def blas_info(np) -> str:
    try:
        cfg = np.show_config(mode="dicts")
        blas = cfg["Build Dependencies"]["blas"]
        text = f"{blas.get('name', '?')} {blas.get('version', '')}".strip()
    except Exception:  # older NumPy: no dict mode
        text = "unknown"
    threads = [f"{v}={os.environ[v]}" for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
               if v in os.environ]
    try:
        from threadpoolctl import threadpool_info  # optional
        n = [p.get("num_threads") for p in threadpool_info() if p.get("user_api") == "blas"]
        if n:
            threads.append(f"blas threads={n[0]}")
    except ImportError:
        pass
    return text + (f" ({', '.join(threads)})" if threads else f" (default threads, {os.cpu_count()} CPUs)")


def print_header(np, tarnexa, floor: Floor | None, floor_error: str | None = None):
    print(f"CPU:        {cpu_model()} ({os.cpu_count()} logical CPUs)")
    print(f"Python:     {platform.python_version()} ({sys.executable})")
    print(f"NumPy:      {np.__version__}, BLAS {blas_info(np)}")
    print(f"module:     {tarnexa.__file__}")
    print(f"kernel:     {expected_kernel()} (the module reports no choice; this is what its CPU dispatch "
          f"picks from the flags of this CPU)")
    if floor is not None:
        print(f"floor:      {floor.isa} read loop, {floor.path}")
    else:
        print(f"floor:      unavailable: {floor_error}")
    try:
        load = os.getloadavg()
        print(f"load avg:   {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}  (other load makes figures noisy)")
    except OSError:
        pass
    sys.stdout.flush()

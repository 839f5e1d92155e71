"""A progress bar on stderr, when tqdm is installed (it is a nicety: without it, none), and the
time each stage of an indexing run took."""

from __future__ import annotations

import contextlib
import importlib
import time
from collections.abc import Callable, Iterator
from typing import Any


@contextlib.contextmanager
def bar(shown: bool, total: int | None, unit: str, desc: str) -> Iterator[Callable[[int], None] | None]:
    """A function that moves the bar on by n, or None when no bar is shown; total None: unknown."""
    if not shown:
        yield None
        return
    try:
        tqdm = importlib.import_module("tqdm").tqdm  # untyped
    except ImportError:
        yield None
        return
    with tqdm(total=total, unit=unit, desc=desc, leave=False) as b:
        yield b.update


@contextlib.contextmanager
def spinner(shown: bool, desc: str) -> Iterator[None]:
    """A line that says what runs and for how long (a stage of no known length), while it runs."""
    with bar(shown, None, "", desc) as tick:
        yield
        if tick is not None:
            tick(0)


class Stages:
    """The seconds each stage of a run took and what it handled: ``with stages.timed("embed"):``
    adds to the stage's time; ``count(stage, n)`` to its count."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self.counts: dict[str, int] = {}

    @contextlib.contextmanager
    def timed(self, stage: str) -> Iterator[None]:
        t0 = time.perf_counter()
        try:
            yield
        finally:
            self.seconds[stage] = self.seconds.get(stage, 0.0) + time.perf_counter() - t0

    def count(self, stage: str, n: int) -> None:
        self.counts[stage] = self.counts.get(stage, 0) + n

    def record(self) -> dict[str, Any]:
        return {stage: {"seconds": round(t, 3), "count": self.counts.get(stage, 0)} for stage, t in self.seconds.items()}


def rates(record: dict[str, dict[str, Any]], units: dict[str, str]) -> str:
    """One line of each stage's count, time and rate: "read 12 files in 0.1 s (120/s), ..."."""
    parts = []
    for stage, got in record.items():
        n, t = int(got["count"]), float(got["seconds"])
        rate = f", {n / t:,.0f}/s" if t > 0 and n else ""
        parts.append(f"{stage} {n:,} {units.get(stage, '')} in {t:.1f} s{rate}".replace("  ", " "))
    return "; ".join(parts)

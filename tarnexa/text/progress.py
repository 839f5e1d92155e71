"""A progress bar on stderr, when tqdm is installed (it is a nicety: without it, none)."""

from __future__ import annotations

import contextlib
import importlib
from collections.abc import Callable, Iterator


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

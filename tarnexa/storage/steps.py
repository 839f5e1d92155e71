"""Named points of the writers' commit protocols, where tests stop a writer to prove that a crash
at any of them leaves the previous state whole or the new one whole.

Every writer calls ``step(name)`` before each write, flush, rename and database commit of a
commit. A test process sets ``hook`` (for example to one that kills the process at the n-th
step); otherwise a step does nothing.
"""

from __future__ import annotations

from collections.abc import Callable

hook: Callable[[str], None] | None = None


def step(name: str) -> None:
    if hook is not None:
        hook(name)

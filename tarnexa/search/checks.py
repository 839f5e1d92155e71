"""Search arguments that make no sense, refused with a message before any score is computed."""

from __future__ import annotations

import numbers
from typing import Any


def check_values(kw: dict[str, Any]) -> None:
    """Refuses a negative ``limit`` and a ``recent_days`` that is not a number of days above 0
    (the module would take -1 for a huge limit, and decay with a half-life of 0 or less gives
    no ranking at all). Values of other types are left to the module's own type checks."""
    limit = kw.get("limit")
    if isinstance(limit, numbers.Integral) and not isinstance(limit, bool) and limit < 0:
        raise ValueError(f"limit must be 0 or more, got {limit}")
    days = kw.get("recent_days")
    if isinstance(days, numbers.Real) and not isinstance(days, bool) and not float(days) > 0:
        raise ValueError(f"recent_days must be a number of days above 0, got {days}")

"""Notes that say what a search did where its results alone would not: a query that holds
modifiers, a query without a word the embedder knows, what diverse scores are, and a trajectory
that moved no hit. Each is one sentence in plain words, the same in the command, the demo and
on the page (they all show ``Results.notes``)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from tarnexa._constants import SCORING_DEFAULTS
from tarnexa.text.modifiers import _FLAGS, read

# Flags nobody writes in a query of their own; "diverse" and "recent" are words too, and count
# only in a query of nothing but modifiers.
_ONLY_MODIFIERS = frozenset(t for t in _FLAGS if t not in ("diverse", "recent"))

def modifiers_in_query(text: str) -> list[str]:
    """A note when the query text holds modifiers (``"limit:3 sorting"``, ``"diverse"``): they
    belong in the modifier line. The text is still searched as given."""
    words = text.split()
    if ":" not in text and not any(w in _FLAGS for w in words):
        return []
    line = read(text)
    whole = bool(words) and all(w in _FLAGS or ":" in w for w in words)
    found = [tok for key, tok in line.given.items()
             if ":" in tok or tok in _ONLY_MODIFIERS or (whole and key in ("diverse", "recent"))]
    if not found:
        return []
    shown = ", ".join(map(repr, found))
    return [f"the query holds {shown}, written as a modifier: the modifier line goes in its own field "
            f"(the modifiers argument, after the query); the query was searched as given, those words and all"]


def unknown_words(share: float | None, text: str) -> list[str]:
    """A note when the embedder knows none of the query's words (``share`` from
    ``embedders.known_share``; None when the embedder cannot tell)."""
    if share is None or share > 0:
        return []
    return [f"the embedder knows no word of the query {text!r} (it embedded pieces of words only), "
            "so its hits may have little to do with it"]


def diverse_scores(mmr_lambda: float | None) -> str:
    """What a diverse selection's scores are."""
    lam = float(SCORING_DEFAULTS["mmr_lambda"] if mmr_lambda is None else mmr_lambda)
    return (f"diverse: each score is the hit's MMR score, {lam:g} x its relevance - {1 - lam:.4g} x its "
            "greatest similarity to the hits above it, not its relevance; the hits are in the order they "
            "were picked")


def trajectory_moved_nothing(with_trajectory: Sequence[Any], without: Sequence[Any]) -> list[str]:
    """A note when the hits, ids in rank order, are those of the same search without its
    trajectory, in the same order."""
    if not with_trajectory or list(with_trajectory) != list(without):
        return []
    return [f"from: ... to: changed none of the {len(with_trajectory)} hits' places: the trajectory's "
            "share (0.3 x the direction, against 0.7 x the similarity) was too small to reorder them "
            "(explain shows it as trajectory)"]

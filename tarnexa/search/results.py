"""What a text search returns: hits with their documents' titles and snippets, the notes on the
modifier line, the communities of the candidate pool and, when asked, each score's parts."""

from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any, overload


@dataclass(frozen=True)
class Explanation:
    """The parts of a hit's score, each from the module's own arithmetic.

    ``similarity`` is the score against the prepared query (after the like-blend);
    ``trajectory``, ``decay`` and ``penalty`` are what the trajectory blend, the temporal decay
    and the contrastive penalty added to it (None when that modulation was off), so that their
    sum with the similarity is the ranked score to within rounding; ``decay_factor`` is the
    factor the decay multiplied by. For a hit that the diverse selection picked, ``relevance``
    is that ranked score, ``redundancy`` its greatest similarity to the hits picked before
    it, and the hit's score is its mmr score.

    A hybrid or keyword search adds each side's part: ``dense_score`` and ``dense_rank`` (the
    semantic side's score and rank from 1; the rank is None where that side did not rank the
    hit among its best, the score too unless the fusion is convex, which scores every candidate
    on both sides), ``keyword_score`` and ``keyword_rank`` (BM25, higher is better; likewise),
    and the shares ``semantic_share`` and ``keyword_share`` whose sum ``fused`` is the reported
    score (for a diverse pick, its relevance). In keyword mode ``similarity`` is the plain similarity to
    the query where the query has a vector, NaN where it has none."""

    similarity: float
    trajectory: float | None = None
    decay: float | None = None
    decay_factor: float | None = None
    penalty: float | None = None
    relevance: float | None = None
    redundancy: float | None = None
    dense_score: float | None = None
    dense_rank: int | None = None
    keyword_score: float | None = None
    keyword_rank: int | None = None
    semantic_share: float | None = None
    keyword_share: float | None = None

    @property
    def ranked(self) -> float:
        """The semantic score before any diverse selection: the sum of the additive parts."""
        return self.similarity + sum(p for p in (self.trajectory, self.decay, self.penalty) if p is not None)

    @property
    def fused(self) -> float | None:
        """A hybrid search's fused score, the sum of the two sides' shares (None otherwise)."""
        if self.semantic_share is None and self.keyword_share is None:
            return None
        return round((self.semantic_share or 0.0) + (self.keyword_share or 0.0), 4)


@dataclass(frozen=True)
class Hit:
    """One result: the document's id, its score as the module reported it, its title, the start
    of its text, its timestamp (epoch seconds, or None), the index of its community in
    ``Results.communities`` (None when communities were not asked for) and, with explain, the
    parts of its score, the document's metadata, which sides of the search found it
    ("semantic", "keyword" or both) and, in a search with a keyword side, where the words it
    looked for occur in the snippet (``highlights``: (start, end) character offsets)."""

    id: str
    score: float
    title: str = ""
    snippet: str = ""
    timestamp: float | None = None
    community: int | None = None
    explanation: Explanation | None = None
    metadata: dict[str, Any] = field(default_factory=dict)
    sides: tuple[str, ...] = ("semantic",)
    highlights: tuple[tuple[int, int], ...] = ()


@dataclass(frozen=True)
class Community:
    """A group of the candidate pool: its members' ids in score order, the words that set it
    apart from the rest of the pool (``terms``, best first), the title (or id) of its most
    central member, and a label of both: "workers · processes · uvicorn — Deployment" (the
    title alone when no word stands out)."""

    label: str
    members: tuple[str, ...]
    terms: tuple[str, ...] = ()
    title: str = ""

    @property
    def size(self) -> int:
        return len(self.members)


@dataclass(frozen=True)
class Results(Sequence[Hit]):
    """The hits of one search in rank order, with ``notes`` (plain words on every part of the
    modifier line that was ignored or overridden) and ``communities`` (empty unless asked)."""

    hits: tuple[Hit, ...]
    notes: tuple[str, ...] = ()
    communities: tuple[Community, ...] = field(default=())

    @overload
    def __getitem__(self, i: int) -> Hit: ...
    @overload
    def __getitem__(self, i: slice) -> Sequence[Hit]: ...
    def __getitem__(self, i: int | slice) -> Hit | Sequence[Hit]:
        return self.hits[i]

    def __len__(self) -> int:
        return len(self.hits)

    def __iter__(self) -> Iterator[Hit]:
        return iter(self.hits)

    def to_dict(self) -> dict[str, Any]:
        """``{"hits": [...], "notes": [...], "communities": [...]}`` of plain JSON values."""
        return {
            "hits": [asdict(h) | {"sides": list(h.sides), "highlights": [list(s) for s in h.highlights]}
                     for h in self.hits],
            "notes": list(self.notes),
            "communities": [{"label": c.label, "terms": list(c.terms), "title": c.title, "size": c.size,
                             "members": list(c.members)} for c in self.communities],
        }

    def to_json(self, **kw: Any) -> str:
        """``to_dict()`` as a JSON text; keyword arguments go to ``json.dumps``."""
        return json.dumps(self.to_dict(), ensure_ascii=False, **kw)

"""The modifier line a person types with a query, read by the module's parser and turned into
what a text search does, with a note in plain words on every part that is ignored or replaced.

The line is parsed once by ``parse_modifiers``. To say which word did what, the line is also
cut into the parser's own tokens - with white space as the parser itself tells it, and the
trajectory clause where the parser found it - and each token is parsed alone.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass, field

from _tarnexa import parse_modifiers

# Words that read as a modifier on their own, with what they set.
_FLAGS = {"diverse": "diverse", "recent": "recent", "local_communities": "communities",
          "detect_communities": "communities"}
_VALUED = ("recent:", "unlike:", "limit:", "like:")


@dataclass
class Line:
    """What a modifier line asks for. ``given`` names the keys the line itself set, so that a
    keyword argument can give way to it (and a note say so)."""

    limit: int | None = None
    diverse: bool = False
    recent: bool = False
    recent_days: int | None = None  # positive, or None for the module's default
    like: list[str] | None = None  # empty pieces dropped
    unlike: str | None = None  # never empty
    trajectory: tuple[str, str] | None = None
    communities: bool = False
    notes: list[str] = field(default_factory=list)
    given: dict[str, str] = field(default_factory=dict)  # key -> the token that set it


@functools.lru_cache(maxsize=4096)
def _white(ch: str) -> bool:
    """Whether the parser takes the character for white space: then "unlike:a{ch}b" is two
    tokens and the unlike text is "a"."""
    return bool(parse_modifiers(f"unlike:a{ch}b")["unlike"] == "a")


def tokens(s: str) -> list[str]:
    """s cut into tokens at runs of white space, exactly as the parser cuts them."""
    out: list[str] = []
    start = None
    for i, ch in enumerate(s):
        if _white(ch):
            if start is not None:
                out.append(s[start:i])
                start = None
        elif start is None:
            start = i
    if start is not None:
        out.append(s[start:])
    return out


def _scanned(line: str, trajectory: tuple[str, str] | None) -> str:
    """The part of the line whose tokens the parser scans: all of it, or, when it took a
    trajectory clause, the text before "from:" joined to what follows the clause's to-text."""
    if trajectory is None:
        return line
    start = line.find("from:")
    rest = line[line.find(" to:", start + 5) + 4 :]
    # The to-text is the rest up to the first stop word, trimmed: after it come only white
    # space, then the stop word (or the end).
    end = rest.find(trajectory[1]) + len(trajectory[1])
    tail = rest[end:]
    return line[:start] + tail[_white_prefix(tail):]


def _white_prefix(s: str) -> int:
    """How many characters of white space (the parser's) s starts with."""
    return next((i for i, ch in enumerate(s) if not _white(ch)), len(s))


def read(line: str | None) -> Line:
    """The modifier line read into a Line. Never raises for any text."""
    out = Line()
    if not line:
        return out
    try:
        mods = parse_modifiers(line)
    except UnicodeEncodeError:
        out.notes.append("the modifier line holds characters that cannot be encoded as UTF-8 "
                         "(lone surrogates); it was ignored")
        return out
    if mods["trajectory_from"] is not None and mods["trajectory_to"] is not None:
        out.trajectory = (mods["trajectory_from"], mods["trajectory_to"])
        out.given["trajectory"] = "from: ... to: ..."
    elif "from:" in line:
        out.notes.append("'from:' was ignored: a trajectory is written 'from: TEXT to: TEXT', with a "
                         "space before 'to:' and text on both sides")
    unknown: list[str] = []
    stray_clause = False
    for tok in tokens(_scanned(line, out.trajectory)):
        alone = parse_modifiers(tok)
        if tok in _FLAGS:
            key = _FLAGS[tok]
            setattr(out, key, True)
            out.given.setdefault(key, tok)
        elif tok.startswith("recent:"):
            out.recent = True
            out.given.setdefault("recent", tok)
            days = alone["recent_days"]
            if days is None:
                out.notes.append(f"{tok!r}: the days are not a whole number, so they were ignored")
            elif days <= 0:
                out.notes.append(f"{tok!r}: the days must be a positive whole number, so they were ignored")
            else:
                _replace(out, "recent_days", tok)
                out.recent_days = days
        elif tok.startswith("unlike:"):
            if not alone["unlike"]:
                out.notes.append("'unlike:' names no text; it was ignored (write unlike:WORD)")
            else:
                _replace(out, "unlike", tok)
                out.unlike = alone["unlike"]
        elif tok.startswith("limit:"):
            if alone["limit"] is None:
                out.notes.append(f"{tok!r} was ignored: a limit is a whole number, 0 or more")
            else:
                _replace(out, "limit", tok)
                out.limit = alone["limit"]
        elif tok.startswith("like:"):
            pieces = alone["like"] or []
            named = [p for p in pieces if p]
            if not named:
                out.notes.append(f"{tok!r} names no id; it was ignored (write like:ID or like:ID,ID)")
                continue
            _replace(out, "like", tok)
            out.like = named
            if len(named) < len(pieces):
                out.notes.append(f"{tok!r}: empty ids were skipped (ids are separated by single commas, "
                                 "without spaces)")
        elif "from:" in tok or tok.startswith("to:"):
            stray_clause = True
        else:
            unknown.append(tok)
    if stray_clause and out.trajectory is not None:
        out.notes.append("a second 'from: ... to: ...' was ignored: only the first trajectory counts")
    if unknown:
        shown = ", ".join(map(repr, unknown[:10])) + (f" and {len(unknown) - 10} more" if len(unknown) > 10 else "")
        out.notes.append(f"ignored {shown}: not a modifier (a modifier's value ends at the next space; "
                         f"modifiers: recent, recent:N, like:ID,ID, unlike:WORD, from: TEXT to: TEXT, "
                         f"limit:N, diverse, local_communities)")
    return out


def _replace(out: Line, key: str, tok: str) -> None:
    """Records that tok sets key, with a note when an earlier token had set it."""
    earlier = out.given.get(key)
    if earlier is not None and earlier != tok:
        out.notes.append(f"{tok!r} replaced the earlier {earlier!r}")
    out.given[key] = tok

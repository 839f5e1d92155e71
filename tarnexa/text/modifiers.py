"""The modifier line a person types with a query, read by the module's own parser and turned
into what a text search does, with a note in plain words on every part that is ignored or
replaced.

The line is read by one native call, which returns the parser's dict together with each token
it scanned (its text, where it stands, the rule that matched it and what it set alone) and
what became of a trajectory clause: the grammar lives in the parser only.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import cast

from tarnexa import _native

# The parser's vocabulary: (token, key, usage, help, shown), in the parser's own order.
VOCABULARY: tuple[tuple[str, str, str, str, bool], ...] = tuple(_native.modifier_vocabulary())
# Where a Line keeps what a flag sets, when its field is named otherwise than the parser's key.
_FIELD = {"local_communities": "communities"}
_FLAGS = {token: _FIELD.get(key, key) for token, key, *_ in VOCABULARY if not token.endswith(":")}
USAGE = ", ".join(usage for _, _, usage, _, shown in VOCABULARY if shown)


def vocabulary() -> list[dict[str, str]]:
    """The modifiers a person can type, as the parser knows them: token, usage and help, in the
    parser's order (aliases left out)."""
    return [{"token": token, "usage": usage, "help": help_}
            for token, _, usage, help_, shown in VOCABULARY if shown]


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


def read(line: str | None) -> Line:
    """The modifier line read into a Line. Never raises for any text."""
    out = Line()
    if not line:
        return out
    try:
        values, tokens, clause = _native.read_modifiers(line)
    except UnicodeEncodeError:
        out.notes.append("the modifier line holds characters that cannot be encoded as UTF-8 "
                         "(lone surrogates); it was ignored")
        return out
    if clause is not None and clause[0] == "taken":
        out.trajectory = (cast(str, values["trajectory_from"]), cast(str, values["trajectory_to"]))
        out.given["trajectory"] = "from: ... to: ..."
    elif clause is not None:
        out.notes.append("'from:' was ignored: a trajectory is written 'from: TEXT to: TEXT', with a "
                         "space before 'to:' and text on both sides")
    unknown: list[str] = []
    stray_clause = False
    for tok, _start, _end, rule, raw in tokens:
        # What the token alone set: True for a flag, int or None for a number, str for unlike:,
        # the list of pieces for like:.
        value = cast(int | None, raw)
        if rule in _FLAGS:
            key = _FLAGS[rule]
            setattr(out, key, True)
            out.given.setdefault(key, tok)
        elif rule == "recent:":
            out.recent = True
            out.given.setdefault("recent", tok)
            if value is None:
                out.notes.append(f"{tok!r}: the days are not a whole number, so they were ignored")
            elif value <= 0:
                out.notes.append(f"{tok!r}: the days must be a positive whole number, so they were ignored")
            else:
                _replace(out, "recent_days", tok)
                out.recent_days = value
        elif rule == "unlike:":
            text = cast(str, raw)
            if not text:
                out.notes.append("'unlike:' names no text; it was ignored (write unlike:WORD)")
            else:
                _replace(out, "unlike", tok)
                out.unlike = text
        elif rule == "limit:":
            if value is None:
                out.notes.append(f"{tok!r} was ignored: a limit is a whole number, 0 or more")
            else:
                _replace(out, "limit", tok)
                out.limit = value
        elif rule == "like:":
            pieces = cast(list[str], raw)
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
                         f"modifiers: {USAGE})")
    return out


def _replace(out: Line, key: str, tok: str) -> None:
    """Records that tok sets key, with a note when an earlier token had set it."""
    earlier = out.given.get(key)
    if earlier is not None and earlier != tok:
        out.notes.append(f"{tok!r} replaced the earlier {earlier!r}")
    out.given[key] = tok

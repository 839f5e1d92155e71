"""Filters on what users store with their documents, compiled to parameterised SQL.

A filter is a dict. ``{"author": "ann"}`` passes the documents whose ``author`` is "ann" (or,
for a list, holds "ann"); ``{"year": {"$gte": 2020, "$lt": 2024}}`` applies operators to a
field; ``$and``, ``$or`` (lists of filters) and ``$not`` (one filter) combine them, and the
fields of one dict must all pass. Operators: ``$eq $ne $gt $gte $lt $lte`` against a str, an
int, a float or a bool; ``$in $nin`` against a list of them; ``$contains`` (a list field holds
the value); ``$prefix`` and ``$glob`` against a text (a text field begins with it, or matches it
as SQLite's GLOB). A field that is a list passes a comparison when one of its values does. A
comparison passes only values of the same kind: numbers with numbers, texts with texts (in
code-point order, so ISO dates compare as dates), bools with bools. ``$ne``, ``$nin`` and
``$not`` pass the documents that lack the field too. ``{"path": {"$not": {"$glob": "a/*"}}}``
is ``{"$not": {"path": {"$glob": "a/*"}}}``.

``date`` compared (``$eq $ne $gt $gte $lt $lte``) with an ISO date text (``"2024"``,
``"2024-03"``, ``"2024-03-01"``, ``"2024-03-01T12:00"``, a zone or UTC) compares the document's
date as epoch seconds: its metadata ``date`` where that is an ISO date text (front matter's),
else its timestamp (what ``tarnexa index`` took from front matter, git or the file's modification
time, and what ``recent:`` decays by). A year, month or day is a period: ``$eq`` passes a date
within it, ``$gt`` one after it, ``$lte`` one up to its end, ``$gte`` and ``$lt`` compare with
its start; a time of day is an instant.

No text of a filter becomes SQL code: field names and values are bound parameters, and the SQL
is made here from the operators' fixed fragments. The compiled condition names the document's
``n`` as ``{n}`` (``str.format`` fills in the column).
"""

from __future__ import annotations

import calendar
import datetime as dt
import json
import math
import re
from collections.abc import Mapping, Sequence
from typing import Any

MAX_DEPTH = 32
MAX_PARAMS = 30000  # below SQLite's limit on bound parameters
MAX_LEAVES = 500  # comparisons in one filter: well below SQLite's bound on an expression's depth

_COMPARE = {"$eq": "=", "$gt": ">", "$gte": ">=", "$lt": "<", "$lte": "<="}
# Texts by their start: "$prefix" (the text begins with the value), "$glob" (SQLite's GLOB, case
# sensitive: * any run of characters, ? one, [abc] one of them).
_TEXTS = {"$prefix": "substr(value, 1, ?) = ?", "$glob": "GLOB ?"}
OPERATORS = (*_COMPARE, "$ne", "$in", "$nin", "$contains", *_TEXTS, "$and", "$or", "$not")  # $not: of a field too

Compiled = tuple[str, list[Any]]

DATE_FIELD = "date"
_PERIOD = re.compile(r"(\d{4})(?:-(\d{2})(?:-(\d{2}))?)?")
# A stored text that is an ISO date (what front matter's dates become), and its epoch seconds.
_STORED_DATE = "value GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]*'"
_STORED_SECONDS = "CAST(strftime('%s', value) AS REAL)"
# The rows of the meta table that give a document its date (no parameter: the field is fixed).
STORED_DATE = f"key = '{DATE_FIELD}' AND kind = 's' AND {_STORED_DATE}"


def date_period(value: str) -> tuple[float, float] | None:
    """The epoch seconds [start, end) of an ISO date text: a year, a month or a day is a period
    (UTC), a time of day an instant (start == end; UTC when it names no zone); None for a text
    that is not one."""
    text = value.strip()
    whole = _PERIOD.fullmatch(text)
    try:
        if whole is not None:
            year, month, day = int(whole[1]), int(whole[2] or 1), int(whole[3] or 1)
            start = dt.datetime(year, month, day, tzinfo=dt.UTC)
            if whole[3]:
                end = start + dt.timedelta(days=1)
            elif whole[2]:
                end = start + dt.timedelta(days=calendar.monthrange(year, month)[1])
            else:
                end = start.replace(year=year + 1) if year < dt.MAXYEAR else dt.datetime.max.replace(tzinfo=dt.UTC)
            return start.timestamp(), end.timestamp()
        if not re.fullmatch(r"\d{4}-\d{2}-\d{2}[T ]\d{2}:\d{2}.*", text):
            return None
        at = dt.datetime.fromisoformat(text)
    except (ValueError, OverflowError):
        return None
    seconds = (at if at.tzinfo else at.replace(tzinfo=dt.UTC)).timestamp()
    return seconds, seconds


def document_date(metadata: dict[str, Any], timestamp: float | None) -> float | None:
    """A document's date as a filter's ``date`` compares it: its metadata ``date`` where that is
    an ISO date text (its start), else its timestamp."""
    stored = metadata.get(DATE_FIELD)
    if isinstance(stored, str) and re.match(r"\d{4}-\d{2}-\d{2}", stored):
        period = date_period(stored)
        if period is not None:
            return period[0]
    return timestamp


def _date_test(op: str, start: float, end: float) -> tuple[str, list[float]]:
    """The comparison of a date (written ``{t}``) with a period or an instant."""
    instant = start == end
    if op == "$eq":
        return ("{t} = ?", [start]) if instant else ("{t} >= ? AND {t} < ?", [start, end])
    if op == "$gt":
        return ("{t} > ?", [start]) if instant else ("{t} >= ?", [end])
    if op == "$lte":
        return ("{t} <= ?", [start]) if instant else ("{t} < ?", [end])
    return ("{t} >= ?" if op == "$gte" else "{t} < ?"), [start]


def _kind(value: Any, where: str) -> tuple[str, Any]:
    if isinstance(value, bool):
        return "b", int(value)
    if isinstance(value, int):
        if abs(value) >= 1 << 63:
            raise ValueError(f"{where}: {value} is too large an integer for a filter")
        return "n", value
    if isinstance(value, float):
        if not math.isfinite(value):
            raise ValueError(f"{where}: {value} is not a finite number")
        return "n", value
    if isinstance(value, str):
        return "s", value
    raise ValueError(f"{where}: a filter compares a str, an int, a float or a bool, not {type(value).__name__}")


class _Compiler:
    def __init__(self) -> None:
        self.params: list[Any] = []
        self.leaves = 0

    def _values(self, field: str, kind: str, cond: str, values: list[Any], listed: bool = False) -> str:
        self.leaves += 1
        if self.leaves > MAX_LEAVES:
            raise ValueError(f"the filter is too wide (more than {MAX_LEAVES} comparisons)")
        self.params += [field, kind, *values]
        if len(self.params) > MAX_PARAMS:
            raise ValueError(f"the filter is too large (more than {MAX_PARAMS} values)")
        extra = " AND listed = 1" if listed else ""
        test = cond if cond.startswith("substr(") else f"value {cond}"
        return f"{{n}} IN (SELECT n FROM meta WHERE key = ? AND kind = ? AND {test}{extra})"

    def _date(self, field: str, op: str, period: tuple[float, float]) -> str:
        """A document's date against a period: its metadata date where that is an ISO date
        text, else its timestamp."""
        self.leaves += 1
        if self.leaves > MAX_LEAVES:
            raise ValueError(f"the filter is too wide (more than {MAX_LEAVES} comparisons)")
        test, values = _date_test(op, *period)
        stored = f"SELECT n FROM meta WHERE key = ? AND kind = 's' AND {_STORED_DATE}"
        self.params += [field, *values, field, *values]
        return (f"({{n}} IN ({stored} AND {test.format(t=_STORED_SECONDS)}) OR ({{n}} NOT IN ({stored}) "
                f"AND {{n}} IN (SELECT n FROM docs WHERE {test.format(t='timestamp')})))")

    def _leaf(self, field: str, op: str, value: Any) -> str:
        where = f"where: {field!r} {op}"
        period = date_period(value) if field == DATE_FIELD and isinstance(value, str) else None
        if period is not None and op in _COMPARE:
            return self._date(field, op, period)
        if op in _COMPARE or op == "$contains":
            kind, v = _kind(value, where)
            if op in ("$gt", "$gte", "$lt", "$lte") and kind == "b":
                raise ValueError(f"{where}: {op} compares numbers or texts, not a bool")
            return self._values(field, kind, f"{_COMPARE.get(op, '=')} ?", [v], listed=op == "$contains")
        if op == "$ne":
            return f"NOT ({self._leaf(field, '$eq', value)})"
        if op == "$not":  # {"path": {"$not": {"$glob": "docs/changes/*"}}}: the field's own operators
            if not isinstance(value, Mapping) or not value or "$not" in value:
                raise ValueError(f"{where} takes the field's operators, as {{'$glob': 'docs/*'}}")
            return "NOT (" + " AND ".join(self._leaf(field, o, v) for o, v in value.items()) + ")"
        if op in _TEXTS:
            if not isinstance(value, str):
                raise ValueError(f"{where} takes a text, not {type(value).__name__}")
            args = [len(value), value] if op == "$prefix" else [value]
            return self._values(field, "s", _TEXTS[op], args)
        if op in ("$in", "$nin"):
            if not isinstance(value, (list, tuple)):
                raise ValueError(f"{where} takes a list of values, not {type(value).__name__}")
            by_kind: dict[str, list[Any]] = {}
            for item in value:
                kind, v = _kind(item, where)
                by_kind.setdefault(kind, []).append(v)
            parts = [self._values(field, kind, f"IN ({','.join('?' * len(vs))})", vs)
                     for kind, vs in sorted(by_kind.items())]
            found = " OR ".join(parts) if parts else "0"
            return f"({found})" if op == "$in" else f"NOT ({found})"
        raise ValueError(f"where: unknown operator {op!r} for field {field!r} (operators: {', '.join(OPERATORS)})")

    def filter(self, where: Any, depth: int = 0) -> str:
        if depth > MAX_DEPTH:
            raise ValueError(f"where: the filter nests deeper than {MAX_DEPTH} levels")
        if not isinstance(where, Mapping):
            raise ValueError(f"where: a filter is a dict, not {type(where).__name__}")
        parts: list[str] = []
        for key, value in where.items():
            if not isinstance(key, str) or not key:
                raise ValueError(f"where: a field name is a non-empty str, not {key!r}")
            if key in ("$and", "$or"):
                if not isinstance(value, (list, tuple)) or not value:
                    raise ValueError(f"where: {key} takes a non-empty list of filters")
                inner = [self.filter(v, depth + 1) for v in value]
                parts.append("(" + (" AND " if key == "$and" else " OR ").join(inner) + ")")
            elif key == "$not":
                parts.append(f"NOT ({self.filter(value, depth + 1)})")
            elif key.startswith("$"):
                raise ValueError(f"where: unknown operator {key!r} (operators: {', '.join(OPERATORS)})")
            elif isinstance(value, Mapping):
                if not value:
                    raise ValueError(f"where: field {key!r} has no operator")
                for op, v in value.items():
                    if not isinstance(op, str) or not op.startswith("$"):
                        raise ValueError(f"where: field {key!r} takes operators ($eq, $gt, ...), "
                                         f"not {op!r}; nested fields are not kept")
                    parts.append(self._leaf(key, op, v))
            elif isinstance(value, (list, tuple)):
                raise ValueError(f"where: field {key!r} is compared with a list; use {{'$in': [...]}} "
                                 "or {'$contains': value}")
            else:
                parts.append(self._leaf(key, "$eq", value))
        if not parts:
            raise ValueError("where: the filter is empty")
        return parts[0] if len(parts) == 1 else "(" + " AND ".join(parts) + ")"


def compile_where(where: Any) -> Compiled:
    """The condition a filter puts on a document's ``n`` (written ``{n}``) and its parameters;
    ValueError naming the operator or field for a malformed filter."""
    c = _Compiler()
    sql = c.filter(where)
    return sql, c.params


# The short form's comparisons, longest first so that ">=" is not read as ">".
_SHORT = {">=": "$gte", "<=": "$lte", "!=": "$ne", ">": "$gt", "<": "$lt", "=": "$eq"}
_FIELD_COLON = re.compile(r"([A-Za-z_][\w.-]*)(!?):(.*)", re.S)
AND = re.compile(r"(?:^|\s+)AND(?:\s+|$)")  # joins short forms in one text: " AND "
FORMS = "field=value (or !=, >, >=, <, <=), field:prefix, field:glob*, field!:glob* (leaves out), ' AND ' between, or JSON"


def _short_value(field: str, value: str) -> Any:
    """A short form's value: a JSON number, true or false where it is one, else the text (for
    ``date``, a year stays a text: a date)."""
    if field == DATE_FIELD and date_period(value) is not None:
        return value
    try:
        parsed = json.loads(value)
    except (ValueError, RecursionError):
        return value
    return parsed if isinstance(parsed, (str, int, float, bool)) else value


def _short_form(text: str) -> dict[str, Any]:
    """``field=value``, ``field!=value``, ``field>value`` (``>=``, ``<``, ``<=``), ``field:text``
    (the field's text begins with it; with ``*``, ``?`` or ``[`` in it, matches it as a glob) and
    ``field!:text`` (the documents that ``field:text`` does not pass). The value is read as a
    JSON number, true or false where it is one, else as text; ``date>=2024-01-01`` compares
    dates (see the module's docstring)."""
    colon = _FIELD_COLON.fullmatch(text)  # a field name holds no comparison: ":" comes first
    if colon is not None:
        field, value = colon[1], colon[3]
        test = {field: {"$glob" if any(c in value for c in "*?[") else "$prefix": value}}
        return {"$not": test} if colon[2] else test
    at = min(((text.find(op), op) for op in _SHORT if op in text), default=None,
             key=lambda found: (found[0], -len(found[1])))
    if at is None or not text[: at[0]].strip():
        raise ValueError(f"the filter {_shown(text)} is not one this reads: {FORMS}")
    field, op, value = text[: at[0]].strip(), at[1], text[at[0] + len(at[1]):].strip()
    parsed = _short_value(field, value)
    return {field: parsed if op == "=" else {_SHORT[op]: parsed}}


def _shown(text: str) -> str:
    return repr(text if len(text) <= 60 else text[:60] + "...")


def parse_filter(texts: str | Sequence[str]) -> Any:
    """A filter as a person types it, on the command line (``--where``, repeated) or in the
    page's field: each text a JSON object or short forms joined by `` AND `` (``field=value``,
    ``field>=value``, ``field:prefix``, ``field!:glob*``... see ``_short_form``), all of them to
    pass; None for none (or only blank ones). A text that is neither raises ValueError with one
    line naming it and the forms read (JSON nested past what the parser reads included); what
    the filter says is checked where it is compiled (``compile_where``, by ``Query.parse``)."""
    found = []
    for text in [texts] if isinstance(texts, str) else texts:
        text = text.strip()
        if not text:
            continue
        if text.startswith("{"):
            try:
                found.append(json.loads(text))
            except (ValueError, RecursionError) as e:
                reason = "it nests deeper than a filter may" if isinstance(e, RecursionError) else str(e)
                raise ValueError(f"the filter {_shown(text)} is not JSON: {reason}") from None
        else:
            parts = [part.strip() for part in AND.split(text)]
            if not all(parts):
                raise ValueError(f"the filter {_shown(text)} has nothing on one side of an AND: {FORMS}")
            found += [_short_form(part) for part in parts]
    return None if not found else found[0] if len(found) == 1 else {"$and": found}

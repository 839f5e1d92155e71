"""read_modifiers: the dict parse_modifiers returns and what the parse saw (tokens with their spans
in code points, rules and values; the trajectory clause), and the parser's vocabulary."""

import pytest
from _tarnexa import parse_modifiers
from hypothesis import given, settings
from test_parse_modifiers import _NON_WS_RUN, DEFAULTS, lines

from tarnexa._native import modifier_vocabulary, read_modifiers

KEYS = {token: key for token, key, *_ in modifier_vocabulary()}

# (line, tokens as (text, start, end, rule, value), clause)
CASES = [
    ("", [], None),
    ("recent:7 limit:x", [("recent:7", 0, 8, "recent:", 7), ("limit:x", 9, 16, "limit:", None)], None),
    ("\u3000recent\u00a0diverse\u2029 Recent",
     [("recent", 1, 7, "recent", True), ("diverse", 8, 15, "diverse", True), ("Recent", 17, 23, "", None)], None),
    ("\u65e5 unlike: like:a,,b detect_communities",
     [("\u65e5", 0, 1, "", None), ("unlike:", 2, 9, "unlike:", ""), ("like:a,,b", 10, 19, "like:", ["a", "", "b"]),
      ("detect_communities", 20, 38, "detect_communities", True)], None),
    ("unlike:cfrom: x to: y limit:3", [("unlike:climit:3", 0, 29, "unlike:", "climit:3")], ("taken", 8, 22)),
    ("\u00e9 from: a to: b\u3000recent:3", [("\u00e9", 0, 1, "", None), ("recent:3", 16, 24, "recent:", 3)],
     ("taken", 2, 16)),
    ("from: a to: b", [], ("taken", 0, 13)),
    ("x from: a", [("x", 0, 1, "", None), ("from:", 2, 7, "", None), ("a", 8, 9, "", None)], ("no_to", 2, 7)),
    ("from: a to: diverse b", [("from:", 0, 5, "", None), ("a", 6, 7, "", None), ("to:", 8, 11, "", None),
                               ("diverse", 12, 19, "diverse", True), ("b", 20, 21, "", None)], ("empty", 0, 5)),
    ("\u00e9from:a\tto:b", [("\u00e9from:a", 0, 7, "", None), ("to:b", 8, 12, "", None)], ("no_to", 1, 6)),
]


@pytest.mark.parametrize("line, tokens, clause", CASES, ids=[ascii(c[0]) for c in CASES])
def test_tokens_spans_and_clause(line, tokens, clause):
    values, got, got_clause = read_modifiers(line)
    assert list(values.items()) == list(parse_modifiers(line).items())
    assert got == tokens and got_clause == clause


def test_argument_forms_and_vocabulary():
    assert read_modifiers(None) == read_modifiers("") == (DEFAULTS, [], None)
    with pytest.raises(UnicodeEncodeError):
        read_modifiers("diverse \udfff")
    with pytest.raises(TypeError, match="argument 'line'"):
        read_modifiers(b"diverse")
    assert [w[:2] for w in modifier_vocabulary()] == [
        ("recent", "recent"), ("recent:", "recent_days"), ("like:", "like"), ("unlike:", "unlike"),
        ("from:", "trajectory_from"), ("limit:", "limit"), ("diverse", "diverse"),
        ("local_communities", "local_communities"), ("detect_communities", "local_communities")]
    assert [w[4] for w in modifier_vocabulary()] == [True] * 8 + [False]


# The quoted form of like:, which read_modifiers reads and parse_modifiers does not: (line, like, tokens' texts)
QUOTED = [
    ('like:"my notes.md#1"', ["my notes.md#1"], ['like:"my notes.md#1"']),
    ('recent like:"a, b.md#1",c.md#2 limit:3', ["a, b.md#1", "c.md#2"], ["recent", 'like:"a, b.md#1",c.md#2', "limit:3"]),
    ('like:"say ""hi"".md#1"\u3000diverse', ['say "hi".md#1'], ['like:"say ""hi"".md#1"', "diverse"]),
    ('like:"",x', ["", "x"], ['like:"",x']),
    ('like:"open ended', ['"open'], ['like:"open', "ended"]),  # not the quoted form: read as before
    ('like:a"b c', ['a"b'], ['like:a"b', "c"]),
    ('like:"a"b c', ['"a"b'], ['like:"a"b', "c"]),
]


@pytest.mark.parametrize("line, like, texts", QUOTED)
def test_the_quoted_form_of_like(line, like, texts):
    values, tokens, _ = read_modifiers(line)
    assert values["like"] == like and [t[0] for t in tokens] == texts
    assert [t[4] for t in tokens if t[3] == "like:"] == [like]
    assert {k: v for k, v in values.items() if k != "like"} == {k: v for k, v in parse_modifiers(line).items()
                                                                 if k != "like"}


@settings(max_examples=2000, deadline=None)
@given(lines)
def test_reading_agrees_with_parse_modifiers(line):
    if 'like:"' in line:  # the quoted form of like: is read_modifiers' own (above)
        return
    values, tokens, clause = read_modifiers(line)
    assert list(values.items()) == list(parse_modifiers(line).items())
    cut = clause[1:] if clause and clause[0] == "taken" else (len(line), len(line))
    assert [t[0] for t in tokens] == _NON_WS_RUN.findall(line[:cut[0]] + line[cut[1]:])
    for text, start, end, rule, value in tokens:
        # Only the token across a cut-out clause is not a slice of the line: its two parts are.
        assert line[start:end] == text or (start < cut[0] and cut[1] < end
                                           and line[start:cut[0]] + line[cut[1]:end] == text)
        # What the token alone sets, as parse_modifiers reads it alone.
        alone = parse_modifiers(text)
        assert value == alone[KEYS[rule]] if rule else (value is None and alone == DEFAULTS)

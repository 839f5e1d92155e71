import re

import pytest
from hypothesis import given, settings, strategies as st

import _tarnexa

parse = _tarnexa.parse_modifiers

DEFAULTS = {
    "recent": False, "recent_days": None, "unlike": None, "diverse": False, "limit": None,
    "like": None, "trajectory_from": None, "trajectory_to": None, "local_communities": False,
}
I64_MIN, I64_MAX, U64_MAX = -(2**63), 2**63 - 1, 2**64 - 1

# The grammar's white space, listed by code point.
WS = frozenset(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                         0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
# Characters that look like separators, or share UTF-8 bytes with one, but are not white space.
NOT_WS = ["\x1c", "\x1d", "\x1e", "\x1f", "\x00", "\u180e", "\u200b", "\u2060", "\ufeff",
          "\u0105", "\u00a1", "\u1681", "\u1e80", "\u2030", "\u2080", "\u2180", "\u3001", "\u3080", "\u8000"]
STOPS = ("diverse", "recent:", "unlike:", "like:", "limit:", "local_communities", "detect_communities")


def check(s, changes):
    result = parse(s)
    assert type(result) is dict
    assert list(result.items()) == list({**DEFAULTS, **changes}.items())
    for key in ("recent", "diverse", "local_communities"):
        assert result[key] is True or result[key] is False
    for key in ("recent_days", "limit"):
        assert result[key] is None or type(result[key]) is int


R = {"recent": True}

CASES = [
    ("", {}), (" \t\n\u3000\u2029 ", {}),
    ("recent", R), ("Recent", {}),
    ("recent:7", {**R, "recent_days": 7}),
    ("recent:-3", {**R, "recent_days": -3}), ("recent:+3", {**R, "recent_days": 3}),
    ("recent:-0", {**R, "recent_days": 0}),
    ("recent:7d", R), ("recent:", R), ("recent:9223372036854775808", R), ("recent: 7", R),
    ("recent:4 recent:abc", {**R, "recent_days": 4}), ("recent:abc recent:4", {**R, "recent_days": 4}),
    ("limit:5", {"limit": 5}), ("limit:+0", {"limit": 0}), ("limit:007", {"limit": 7}),
    ("limit:18446744073709551615", {"limit": U64_MAX}),
    ("limit:-5", {}), ("limit:", {}), ("limit:5.0", {}), ("limit:18446744073709551616", {}),
    ("limit:5 limit:9", {"limit": 9}), ("limit:5 limit:x", {"limit": 5}),
    ("unlike:cats", {"unlike": "cats"}), ("unlike:", {"unlike": ""}),
    ("unlike:big cats", {"unlike": "big"}),
    ("like:a,b,,c", {"like": ["a", "b", "", "c"]}), ("like:", {"like": [""]}),
    ("like:a, b", {"like": ["a", ""]}), ("like:a like:b", {"like": ["b"]}),
    ("diverse", {"diverse": True}), ("diverse:1", {}), ("diverse-ideas", {}),
    ("detect_communities", {"local_communities": True}), ("local_communities", {"local_communities": True}),
    ("from: new  york to: boston limit:5", {"trajectory_from": "new  york", "trajectory_to": "boston", "limit": 5}),
    ("from:a to:b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("from:a\tto:b", {}), ("from: a to:", {}), ("from:  to: b", {}),
    ("from: diverse to: b", {"trajectory_from": "diverse", "trajectory_to": "b"}),
    ("from: a to: b recent", {"trajectory_from": "a", "trajectory_to": "b recent"}),
    ("from: a to: b recent:3", {**R, "recent_days": 3, "trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to: diverse b", {"diverse": True}),
    ("from: a to: blimit:5", {"limit": 5, "trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to: b unlikely", {"trajectory_from": "a", "trajectory_to": "b unlikely"}),
    ("from: a from: b to: c", {"trajectory_from": "a from: b", "trajectory_to": "c"}),
    ("xfrom: a to: b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("x to: y from: a to: b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("diverse from: a to: b limit:3", {"diverse": True, "limit": 3, "trajectory_from": "a", "trajectory_to": "b"}),
    ("unlike:cfrom: x to: y limit:3", {"unlike": "climit:3", "trajectory_from": "x", "trajectory_to": "y"}),
    ("from: a to: cats like:dogs,birds recent",
     {**R, "like": ["dogs", "birds"], "trajectory_from": "a", "trajectory_to": "cats"}),
    ("\u3000recent\u00a0diverse", {**R, "diverse": True}),
    # Number boundaries and malformed numbers.
    ("recent:-9223372036854775808", {**R, "recent_days": I64_MIN}),
    ("recent:9223372036854775807", {**R, "recent_days": I64_MAX}),
    ("recent:+09223372036854775807", {**R, "recent_days": I64_MAX}),
    ("recent:-9223372036854775809", R), ("recent:99999999999999999999", R),
    ("limit:0018446744073709551615", {"limit": U64_MAX}),
    ("limit:99999999999999999999", {}), ("limit:184467440737095516150", {}),
    ("limit:-0", {}), ("limit:+", {}), ("limit:+-5", {}), ("limit:++5", {}), ("recent:--3", R),
    ("recent:-", R), ("recent:+", R), ("limit:1_000", {}), ("recent:1_0", R), ("limit:5 ", {"limit": 5}),
    ("limit:\u0665", {}), ("limit:\uff15", {}), ("limit:\u00b2", {}), ("recent:\u0667", R), ("limit:5\u0665", {}),
    # Text values and flags.
    ("like:,", {"like": ["", ""]}), ("like:a,b like:", {"like": [""]}), ("unlike:a unlike:", {"unlike": ""}),
    ("unlike:like:x", {"unlike": "like:x"}), ("like:unlike:x", {"like": ["unlike:x"]}),
    ("DIVERSE diverse_ local_communities2", {}), ("recent:3 recent", {**R, "recent_days": 3}),
    # Cuts next to multi-byte characters.
    ("\u00e9from: a to: b", {"trajectory_from": "a", "trajectory_to": "b"}),
    ("unlike:\u65e5from: x to: y limit:3", {"unlike": "\u65e5limit:3", "trajectory_from": "x", "trajectory_to": "y"}),
    ("recent:1from: a to: b limit:2", {**R, "trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to:\u00e9b limit:2", {"limit": 2, "trajectory_from": "a", "trajectory_to": "\u00e9b"}),
    ("from:\u2003a\u00a0b\u205f to:\u3000\u8000\u3000limit:2",
     {"limit": 2, "trajectory_from": "a\u00a0b", "trajectory_to": "\u8000"}),
    ("from: a\u2080 to: b\u0105 \u1e80", {"trajectory_from": "a\u2080", "trajectory_to": "b\u0105 \u1e80"}),
    ("from:\u3000 to: b", {}), ("from: a to:\u2028", {}),
    ("from: a to: bdetect_communities", {"local_communities": True, "trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to: b unlike:x like:y",
     {"unlike": "x", "like": ["y"], "trajectory_from": "a", "trajectory_to": "b"}),
    ("from: a to: b localx recent:x", {**R, "trajectory_from": "a", "trajectory_to": "b localx"}),
]


@pytest.mark.parametrize("s, changes", CASES, ids=[ascii(s) for s, _ in CASES])
def test_grammar(s, changes):
    check(s, changes)


@pytest.mark.parametrize("sep", sorted(WS), ids=lambda c: f"U+{ord(c):04X}")
def test_white_space_separates(sep):
    check(f"{sep}recent{sep}{sep}diverse{sep}", {**R, "diverse": True})
    check(f"from:{sep}a{sep}b{sep} to:{sep}c{sep}", {"trajectory_from": f"a{sep}b", "trajectory_to": "c"})


@pytest.mark.parametrize("sep", NOT_WS, ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_do_not_separate(sep):
    check(f"recent{sep}diverse", {})
    check(f"diverse limit:{sep}", {"diverse": True})
    check(f"unlike:{sep}x{sep} like:{sep}", {"unlike": f"{sep}x{sep}", "like": [sep]})
    check(f"from:{sep} to:{sep}", {"trajectory_from": sep, "trajectory_to": sep})


def test_argument_forms():
    assert parse() == parse(None) == parse(modifier_str=None) == DEFAULTS
    first = parse()
    first["like"] = []
    assert parse() is not first and parse()["like"] is None

    class Text(str):
        pass

    check(Text("diverse limit:3"), {"diverse": True, "limit": 3})
    assert parse(modifier_str="diverse")["diverse"] is True


@pytest.mark.parametrize("value", [5, b"diverse", ["diverse"], 1.5])
def test_non_str_is_refused(value):
    with pytest.raises(TypeError) as info:
        parse(value)
    assert str(info.value) == (f"argument 'modifier_str': '{type(value).__name__}' object "
                               "cannot be converted to 'PyString'")


@pytest.mark.parametrize("s", ["\ud800", "diverse \udfff limit:3"])
def test_lone_surrogate_is_refused(s):
    with pytest.raises(UnicodeEncodeError) as info:
        parse(s)
    assert type(info.value) is UnicodeEncodeError and "modifier_str" not in str(info.value)


# A direct model of the grammar, used as the reference for random lines.
_NON_WS_RUN = re.compile("[^" + re.escape("".join(sorted(WS))) + "]+")


def _trim(s):
    b, e = 0, len(s)
    while b < e and s[b] in WS:
        b += 1
    while e > b and s[e - 1] in WS:
        e -= 1
    return s[b:e]


def _number(text, lo, hi):
    if not re.fullmatch("[+-]?[0-9]+", text) or (lo == 0 and text[0] == "-"):
        return None
    value = int(text)
    return value if lo <= value <= hi else None


def model(s):
    out = dict(DEFAULTS)
    f = s.find("from:")
    t = s.find(" to:", f + 5) if f >= 0 else -1
    if t >= 0:
        rest = s[t + 4:]
        stop = min([p for p in map(rest.find, STOPS) if p >= 0], default=len(rest))
        frm, to = _trim(s[f + 5:t]), _trim(rest[:stop])
        if frm and to:
            out.update(trajectory_from=frm, trajectory_to=to)
            s = s[:f] + rest[stop:]
    for tok in _NON_WS_RUN.findall(s):
        if tok == "diverse":
            out["diverse"] = True
        elif tok == "recent":
            out["recent"] = True
        elif tok.startswith("recent:"):
            out["recent"] = True
            if (v := _number(tok[7:], I64_MIN, I64_MAX)) is not None:
                out["recent_days"] = v
        elif tok.startswith("unlike:"):
            out["unlike"] = tok[7:]
        elif tok.startswith("limit:"):
            if (v := _number(tok[6:], 0, U64_MAX)) is not None:
                out["limit"] = v
        elif tok.startswith("like:"):
            out["like"] = tok[5:].split(",")
        elif tok in ("local_communities", "detect_communities"):
            out["local_communities"] = True
    return out


FRAGMENTS = [*STOPS, "recent", "local_communities", "from:", " to:", "to:", "from: a to: b ",
             "7", "0", "-", "+", "_", ",", "a", "b", "\u00e9", "\u65e5", "\u0667", "\uff15",
             "9223372036854775807", "9223372036854775808", "18446744073709551615", "18446744073709551616",
             " ", "  ", *sorted(WS), *NOT_WS]
lines = st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.characters(codec="utf-8")), max_size=24).map("".join)


@settings(max_examples=3000, deadline=None)
@given(lines)
def test_matches_model(s):
    assert list(parse(s).items()) == list(model(s).items())

"""Time parse_modifiers on a typical line against building the same dict in Python.

Run: python benchmarks/bench_parse_modifiers.py  (target ratio <= 2.0)
"""
import timeit

from _tarnexa import parse_modifiers

LINE = "from: new york to: boston recent:7 diverse limit:5 like:a,b unlike:cats"
NUMBER, REPEAT = 200_000, 7


def best_ns(stmt, env):
    return min(timeit.repeat(stmt, globals=env, number=NUMBER, repeat=REPEAT)) / NUMBER * 1e9


def main():
    expected = dict(recent=True, recent_days=7, unlike="cats", diverse=True, limit=5, like=["a", "b"],
                    trajectory_from="new york", trajectory_to="boston", local_communities=False)
    assert parse_modifiers(LINE) == expected
    native = best_ns("parse_modifiers(LINE)", {"parse_modifiers": parse_modifiers, "LINE": LINE})
    python = best_ns("dict(recent=True, recent_days=7, unlike='cats', diverse=True, limit=5, like=['a', 'b'],"
                     " trajectory_from='new york', trajectory_to='boston', local_communities=False)", {})
    print(f"parse_modifiers:   {native:8.1f} ns/call")
    print(f"python dict(...):  {python:8.1f} ns/call")
    print(f"ratio:             {native / python:8.2f} (target <= 2.0)")


if __name__ == "__main__":
    main()

"""Long fuzz run: the generator of tests/test_fuzz.py driven by random.Random, one seed per call.

    PYTHONPATH=build python fuzz/long_run.py                 # 1,000,000 calls from seed 0
    PYTHONPATH=build python fuzz/long_run.py --calls 200000 --seed 5000000
    PYTHONPATH=build python fuzz/long_run.py --replay 123456 # rerun one call and show its arguments

The mischief that the generator hides in arguments includes changing an argument array mid-call
(resized smaller or larger, replaced by __setstate__, re-typed): such a call must end with the
internal fault that names the array, and no borrow may be left behind.

Calls run in child processes, --batch calls each. A child that dies (a crash) is run again with
every seed written to a file before its call, which names the seed that crashed; the run then goes
on with the next batch. The report gives the calls made, the outcome counts per function, the
failed checks and crashes with their seeds, the time and the rate. Exit status 1 when anything
failed or crashed.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

FUNCTIONS = ["score_candidates"] * 5 + ["mmr_select_py"] * 3 + ["parse_modifiers"] * 2


def case_for(seed):
    import test_fuzz as T
    fname = random.Random(seed ^ 0x5EED).choice(FUNCTIONS)
    return T.make_case(T.RandomChooser(seed), fname)


def worker(start, count, trace):
    import test_fuzz as T
    counts = {f: Counter() for f in set(FUNCTIONS)}
    failures = []
    trace_file = open(trace, "w") if trace else None
    for seed in range(start, start + count):
        if trace_file:
            trace_file.write(f"{seed}\n")
            trace_file.flush()
        case = case_for(seed)
        try:
            outcome = T.run_case(case)
        except AssertionError as e:
            outcome = "FAILED CHECK"
            failures.append((seed, case.fname, repr(e)[:500]))
        except BaseException as e:  # noqa: B036 - escaped the checks: a fault of the harness itself
            outcome = "HARNESS ERROR"
            failures.append((seed, case.fname, "harness: " + repr(e)[:500]))
        counts[case.fname][outcome] += 1
    print(json.dumps({"counts": {f: dict(c) for f, c in counts.items()}, "failures": failures,
                      "eq_hash_ran": T.STATS["eq/hash ran"], "arrays_changed": T.STATS["arrays changed"]}))


def run_batch(start, count, trace=None):
    with tempfile.TemporaryFile() as err:
        cmd = [sys.executable, __file__, "--worker", str(start), str(count)] + (["--trace", trace] if trace else [])
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=err, text=True)
        err.seek(0, os.SEEK_END)
        err.seek(max(0, err.tell() - 3000))
        tail = err.read().decode(errors="replace")
    return r, tail


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=1_000_000)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--batch", type=int, default=50_000)
    ap.add_argument("--replay", type=int)
    ap.add_argument("--worker", nargs=2, type=int)
    ap.add_argument("--trace")
    a = ap.parse_args()
    if a.worker:
        return worker(*a.worker, a.trace)
    if a.replay is not None:
        case = case_for(a.replay)
        print(case.fname, "positional:", case.pos, "keywords:", case.kw, sep="\n")
        import test_fuzz as T
        print("outcome:", T.run_case(case))
        return 0

    totals = {f: Counter() for f in sorted(set(FUNCTIONS))}
    failures, crashes, eq_hash, changed = [], [], 0, 0
    t0 = time.time()
    done = 0
    for start in range(a.seed, a.seed + a.calls, a.batch):
        count = min(a.batch, a.seed + a.calls - start)
        r, tail = run_batch(start, count)
        if r.returncode != 0:
            with tempfile.NamedTemporaryFile("r", suffix=".seeds") as tr:
                again, _ = run_batch(start, count, tr.name)
                seeds = tr.read().split()
            seed = int(seeds[-1]) if seeds and again.returncode != 0 else None  # None: not reproduced alone
            crashes.append((seed, r.returncode, tail[-1500:]))
            print(f"CRASH in batch {start}..{start + count - 1} (exit {r.returncode}), seed {seed}; "
                  f"replay: fuzz/long_run.py --replay {seed}", file=sys.stderr)
            done += (seed - start + 1) if seed is not None else count
            continue
        out = json.loads(r.stdout.splitlines()[-1])
        for f, c in out["counts"].items():
            totals[f].update(c)
        failures += out["failures"]
        eq_hash += out["eq_hash_ran"]
        changed += out["arrays_changed"]
        done += count
        rate = done / (time.time() - t0)
        print(f"{done:>9} calls  {rate:7.0f}/s  failed checks {len(failures)}  crashes {len(crashes)}",
              file=sys.stderr, flush=True)
    elapsed = time.time() - t0

    print(f"calls: {done}  time: {elapsed:.0f} s  rate: {done / elapsed:.0f} calls/s")
    outcomes = sorted({k for c in totals.values() for k in c}, key=lambda k: (k != "result", k))
    widths = [max(20, len(k) + 2) for k in outcomes]
    print(f"{'':18}" + "".join(f"{k:>{w}}" for k, w in zip(outcomes, widths)))
    for f, c in totals.items():
        print(f"{f:18}" + "".join(f"{c.get(k, 0):>{w}}" for k, w in zip(outcomes, widths)))
    print(f"id __eq__/__hash__ called during a call: {eq_hash}")
    print(f"argument arrays resized, re-stated or re-typed during a call: {changed}")
    print(f"failed checks: {len(failures)}  crashes: {len(crashes)}")
    for seed, fname, msg in failures[:20]:
        print(f"  seed {seed} {fname}: {msg}")
    for seed, rc, tail in crashes:
        print(f"  crash at seed {seed}, exit {rc}:\n{tail}")
    return 1 if failures or crashes else 0


if __name__ == "__main__":
    sys.exit(main())

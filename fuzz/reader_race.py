"""Text searches beside a writer that compacts: one process deletes 600 random documents of a
2,000-document index and adds them again, in a loop (every delete compacts the cache and
renumbers its rows), while this one runs search_many batches in the three modes; prints how
many searches ran and how many failed, by exception.

    PYTHONPATH=. python fuzz/reader_race.py --seconds 20
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import random
import shutil
import tempfile
import time
from pathlib import Path

import tarnexa

TEXTS = [f"text {i} apple words {i % 7}" for i in range(2000)]
IDS = [f"d{i}" for i in range(2000)]


def write(path: str, stop: mp.synchronize.Event, rounds: mp.sharedctypes.Synchronized) -> None:  # type: ignore[name-defined]
    idx = tarnexa.Index.open(path, embedder="hashed")
    rng = random.Random(1)
    while not stop.is_set():
        picked = rng.sample(range(2000), 600)
        idx.delete([IDS[i] for i in picked])
        idx.add([TEXTS[i] for i in picked], ids=[IDS[i] for i in picked])
        rounds.value += 1


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    seconds = parser.parse_args().seconds
    folder = Path(tempfile.mkdtemp())
    try:
        path = str(folder / "race.tnx")
        with tarnexa.Index.create(path, embedder="hashed") as idx:
            idx.add(TEXTS, ids=IDS)
            stop, rounds = mp.Event(), mp.Value("i", 0)
            writer = mp.Process(target=write, args=(path, stop, rounds))
            writer.start()
            done, failed = 0, {}
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                for mode in ("semantic", "hybrid", "keyword"):
                    try:
                        found = idx.search_many([("apple words 3", "limit:5"), ("text 17", "diverse limit:4")], mode=mode)
                        assert all(h.id in IDS for r in found for h in r)
                    except Exception as e:  # noqa: BLE001 - every failure is the finding
                        failed[type(e).__name__] = failed.get(type(e).__name__, 0) + 2
                    done += 2
            stop.set()
            writer.join()
        print(f"searches {done}, failed {sum(failed.values())} {failed}, writer rounds {rounds.value}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Texts a second through the hashed embedder, ``HashedEmbedder(1024)``, on short passages.

    python benchmarks/hashed_speed.py                        # 100,000 passages, best of 3 calls
    python benchmarks/hashed_speed.py --embedders OLD.py     # another copy of embedders.py
    git show REV:tarnexa/text/embedders.py > /tmp/old.py     # (one from before a change, say)

The passages (20-60 words each, the same in every run) mix made-up words, some with the endings
the stemmer strips, stop words (about one word in four), capitalised and CamelCase words, ALLCAPS
and numbers. Each call embeds all of them at once, on one thread; the CPU model and the load
average are printed beside the figure, which is the best of --repeat calls.
"""

from __future__ import annotations

import argparse
import importlib.util
import sys
import time
from pathlib import Path
from types import ModuleType

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from benchmarks.report import machine  # noqa: E402
from tarnexa.text import embedders  # noqa: E402

SEED = 20260513


def passages(n: int, seed: int = SEED) -> list[str]:
    rng = np.random.default_rng(seed)
    syllables = [o + v for o in "b d f g k l m n p r s t v ch sh tr".split() for v in "a e i o u".split()]
    made = ["".join(rng.choice(syllables, int(rng.integers(1, 4)))) for _ in range(5000)]
    endings = ["", "", "", "s", "ed", "ing", "ly", "es"]
    vocab = [w + endings[i % len(endings)] for i, w in enumerate(made)]
    vocab += [w.capitalize() for w in made[:300]]
    vocab += [a.capitalize() + b.capitalize() for a, b in zip(made[:200], made[200:400])]
    vocab += [w.upper() for w in made[400:500]] + [str(int(x)) for x in rng.integers(0, 100000, 200)]
    stop = sorted(embedders.STOP_WORDS)
    out = []
    for _ in range(n):
        size = int(rng.integers(20, 61))
        picks = rng.integers(0, len(vocab), size)
        stops = rng.integers(0, len(stop), size)
        is_stop = rng.random(size) < 0.25
        out.append(" ".join(stop[s] if k else vocab[p] for p, s, k in zip(picks, stops, is_stop)))
    return out


def load(path: Path) -> ModuleType:
    spec = importlib.util.spec_from_file_location("embedders_under_test", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--texts", type=int, default=100_000)
    parser.add_argument("--dims", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--embedders", type=Path, help="time this copy of embedders.py instead of the package's")
    args = parser.parse_args()
    module = load(args.embedders) if args.embedders else embedders
    texts = passages(args.texts)
    words = sum(len(t.split()) for t in texts)
    embedder = module.HashedEmbedder(args.dims)
    best = float("inf")
    for _ in range(args.repeat):
        t0 = time.perf_counter()
        rows = embedder(texts)
        best = min(best, time.perf_counter() - t0)
    assert rows.shape == (len(texts), args.dims)
    model, load_avg = machine()
    print(f"{module.__file__}: HashedEmbedder({args.dims}) on {len(texts):,} passages ({words / len(texts):.1f} words "
          f"each): {len(texts) / best:,.0f} texts/s (best of {args.repeat}: {best:.3f} s)")
    print(f"{model}; {load_avg}")


if __name__ == "__main__":
    main()

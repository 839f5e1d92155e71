"""The hashed embedder's native rows against its Python form, to the bit."""

import math
import threading
import time
from collections import Counter, defaultdict

import numpy as np
import pytest

from tarnexa import _native
from tarnexa.text.embedders import STOP_WORDS, HashedEmbedder, _word_features, words


def reference(texts, dims):
    """The rows as the embedder computed them in Python: features summed in a dict in insertion
    order, then np.bincount over them."""
    out = np.zeros((len(texts), dims), np.float32)
    for i, text in enumerate(texts):
        ws, feats = words(text), defaultdict(float)
        for word, count in Counter(ws).items():
            for feat, weight in _word_features(word):
                feats[feat] += weight * (1.0 + math.log(count))
        for a, b in zip(ws, ws[1:]):
            feats[f"p {a} {b}"] += 0.5
        if feats:
            slots = [HashedEmbedder._slot(f, dims) for f in feats]
            weights = [sign * w for (_, sign), w in zip(slots, feats.values())]
            out[i] = np.bincount([b for b, _ in slots], weights, dims)
    return out


def _long_text():
    rng = np.random.default_rng(7)
    pieces = ["alpha", "Beta", "GAMMA", "deltaEpsilon", "zeta_eta", "theta42", "removing", "the", "of", "é",
              "naïve", "東京", "😀", "x", "HTTPServer", "12", "aaaa", "quickly"]
    text = " ".join(pieces[j] for j in rng.integers(0, len(pieces), 25_000))[:100_000]
    assert len(text) == 100_000
    return text


TEXTS = [
    "", " \t\n\r ", " ".join(sorted(STOP_WORDS)),
    " ".join(v for w in sorted(STOP_WORDS) for v in (w.upper(), w.capitalize(), w + "x", w[:-1] or "q")),
    "naïve café über straße façade", "東京タワー 日本語のテキスト", "emoji 😀 rocket🚀launch 👍🏽ok",
    "nul\x00byte\x00split", "lone \ud800 surrogate\udfffhere \udbff\udc00pair", "\u00e9\u0301 e\u0301clair",
    "HTTPServer XMLHttpRequest getHTTPResponseCode ABc A AB ABC x Ab aB", "iPhone eBay McDonaldsABCdef ZZz",
    "snake_case_name __init__ CONSTANT_VALUE v2beta3 2026abc abc2026 0x1F 007 3.14159",
    "removes removed remove removing rely quickly sings sing thing things aaaaes houses ing ed es",
    "aaaaaaa bananas banana ananas " * 3, ("alpha beta " * 500) + "alpha", "gamma", "z" * 5000,
    _long_text(),
]


@pytest.mark.parametrize("dims", [2, 64, 1000, 1024])
def test_native_rows_equal_the_python_rows_bit_for_bit(dims):
    want = reference(TEXTS, dims)
    assert sum(map(np.any, want)) == len(TEXTS) - 4  # zero: "", whitespace, stop words, CJK
    got = HashedEmbedder(dims)(TEXTS)
    assert got.dtype == np.float32 and got.shape == want.shape and got.flags.writeable
    for text, g, w in zip(TEXTS, got, want):
        assert g.tobytes() == w.tobytes(), repr(text[:60])
    assert np.array_equal(got, want) and got.tobytes() == want.tobytes()
    # Batches of one text and the batch reversed: nothing is carried from one row to the next.
    assert np.array_equal(np.concatenate([HashedEmbedder(dims)([t]) for t in TEXTS]), want)
    assert np.array_equal(HashedEmbedder(dims)(TEXTS[::-1]), want[::-1])


@pytest.mark.parametrize("call, error", [
    (lambda: HashedEmbedder(1), ValueError), (lambda: HashedEmbedder(0), ValueError),
    (lambda: _native.hashed_embed(["x"], 1), ValueError), (lambda: _native.hashed_embed(["x"], -3), ValueError),
    (lambda: _native.hashed_embed(["x", b"y"], 8), TypeError), (lambda: _native.hashed_embed(None, 8), TypeError),
    (lambda: _native.hashed_embed(["x"]), TypeError),
    (lambda: _native.hashed_embed(["x"] * 2**20, 2**62), OverflowError),
])
def test_refuses(call, error):
    with pytest.raises(error):
        call()


def test_embeds_without_the_gil():
    """While a large batch is embedded in another thread this one keeps running (with the GIL
    held the call would stop it for the whole call), and the rows are the same as alone."""
    texts = TEXTS[10:16] * 5000
    want = HashedEmbedder(256)(texts[:6])
    got, done = [], threading.Event()

    def work():
        got.append(HashedEmbedder(256)(texts))
        done.set()

    worker = threading.Thread(target=work)
    start = last = time.perf_counter()
    worker.start()
    gap = 0.0
    while not done.is_set():
        now = time.perf_counter()
        gap, last = max(gap, now - last), now
    worker.join()
    took = time.perf_counter() - start
    assert np.array_equal(got[0], np.tile(want, (5000, 1)))
    assert took > 0.05 and gap < took / 2, (gap, took)

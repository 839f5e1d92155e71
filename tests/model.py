"""A plain NumPy reference of the ranking maths, kept deliberately slow and literal.

float32 wherever the module computes in float32, float64 for timestamps, ages and the MMR
arithmetic. Dot products are taken in float64 and rounded once to float32: they differ from
the module's only in summation order, so scores agree to a few units in the last place.
Everything after the dot products is the same float32 arithmetic, one rounding per operation.
"""
import math
from decimal import ROUND_HALF_UP, Decimal

import numpy as np

F32 = np.float32
INF = math.inf


def dots(m, v):
    """float32 dot products of the rows of `m` with `v` (or with the columns of a matrix)."""
    with np.errstate(all="ignore"):
        return (np.asarray(m, np.float64) @ np.asarray(v, np.float64)).astype(F32)


def unit(v):
    """Copy and unit-normalise; returns (vector, float32 sum of squares)."""
    v = np.array(v, F32)
    with np.errstate(all="ignore"):
        s = F32(np.sum(v.astype(np.float64) ** 2))
        if s > 0:
            v = v / np.sqrt(s)
    return v, s


def round4(x):
    """round(x * 10000) / 10000 in float64, halves away from zero."""
    y = float(x) * 10000.0
    if not math.isfinite(y):
        return y
    return math.copysign(float(Decimal(y).quantize(Decimal(1), rounding=ROUND_HALF_UP)), y) / 10000.0


def decay_factor(t, now, h):
    """The float32 decay factor of a row with timestamp t, or None when the row is not decayed."""
    if not t > 0.0:
        return None
    age = (now - t) / 86400.0
    if not age > 0.0:
        age = 0.0
    with np.errstate(all="ignore"):
        return F32(1.0) / (F32(1.0) + F32(age) / F32(h))


class Scored:
    """Every scored position of one call, before the pool is chosen."""

    def __init__(self, rows, ids, matrix, before_threshold, final, blend_norm, centroid_norm):
        self.rows = rows                          # matrix row of each position
        self.ids = ids                            # id of each position
        self.matrix = matrix                      # the scored matrix (float32)
        self.before_threshold = before_threshold  # scores entering the threshold step
        self.final = final                        # final scores
        self.blend_norm = blend_norm              # norm of the query/centroid blend before normalising
        self.centroid_norm = centroid_norm        # norm of the summed liked rows


def score(matrix, ids, id_to_idx, query_vec, timestamps=None, pre_filter_ids=None, not_like_vec=None,
          threshold=0.0, recent=False, recent_days=None, like_ids=None, traj_from_vec=None,
          traj_to_vec=None, mask=None, now=None):
    """The scan of score_candidates: a Scored, or None where the call answers [] early.

    Raises ValueError for a query of the wrong length. Indices are assumed in range."""
    matrix = np.asarray(matrix, F32)
    n, dims = matrix.shape
    if len(ids) == 0:
        return None
    if len(query_vec) != dims:
        raise ValueError(f"Query vector dimension {len(query_vec)} doesn't match cache dimension {dims}")
    q, energy = unit(query_vec)
    blend_norm = centroid_norm = None
    if like_ids is not None:
        liked = [id_to_idx[i] for i in like_ids if i in id_to_idx]
        if not liked:
            return None
        c = np.zeros(dims, F32)
        for r in liked:
            c = c + matrix[r]
        centroid_norm = float(np.linalg.norm(c.astype(np.float64)))
        c, _ = unit(c / F32(len(liked)))
        if energy > 0:
            blend = q * F32(0.5) + c * F32(0.5)
            blend_norm = float(np.linalg.norm(blend.astype(np.float64)))
            q, _ = unit(blend)
        else:
            q = c
    direction = None
    if traj_from_vec is not None and traj_to_vec is not None:
        direction, _ = unit(np.asarray(traj_to_vec, F32) - np.asarray(traj_from_vec, F32))

    if pre_filter_ids is None:
        rows = list(range(n))
    else:
        rows = [id_to_idx[i] for i in pre_filter_ids if i in id_to_idx]
        if not rows:
            return None
    scored = matrix[rows]
    s = dots(scored, q)
    with np.errstate(all="ignore"):
        if direction is not None:
            s = s * F32(0.7) + dots(scored, direction) * F32(0.3)
        if recent and timestamps is not None:
            h = F32(30.0) if recent_days is None else F32(recent_days)
            for j, r in enumerate(rows):
                f = decay_factor(float(timestamps[r]), now, h)
                if f is not None:
                    s[j] = f * s[j]
        if mask is not None:
            s[~np.asarray(mask)[rows]] = -INF
        before = s.copy()
        t = F32(threshold)
        if t > 0:
            s[s < t] = -INF
        if not_like_vec is not None:
            contra, _ = unit(not_like_vec)
            s = s - dots(scored, contra) * F32(0.5)
    return Scored(rows, [ids[r] for r in rows], scored, before, s, blend_norm, centroid_norm)


def pool(scores, k):
    """The candidate pool: the k best positions (NaN below every number), best first, finite only."""
    order = sorted(range(len(scores)), key=lambda j: (math.isnan(scores[j]), -float(scores[j]) if not math.isnan(scores[j]) else 0.0))
    return [j for j in order[:k] if math.isfinite(scores[j])]


def mmr_select(candidates, similarities, matrix, k, lam):
    """Maximal marginal relevance over the candidate rows, float64 arithmetic as the module does it.

    Returns [(candidate, mmr score)] in the order of choice."""
    candidates = [int(c) for c in candidates]
    if not candidates:
        return []
    g = np.asarray(matrix, F32)[candidates]
    sim = dots(g, g.T)
    rel = [float(similarities[c]) for c in candidates]
    n = len(candidates)
    red = [-INF] * n
    chosen = [False] * n

    def take(p):
        chosen[p] = True
        for j in range(n):
            s = float(sim[p, j])
            if s > red[j]:
                red[j] = s

    out = [(candidates[0], rel[0] * lam)]
    take(0)
    rest = 1.0 - lam
    while len(out) < k and not all(chosen):
        best, at = -INF, 0
        for i in range(n):
            if not chosen[i]:
                gain = rel[i] * lam
                penalty = red[i] * rest
                value = gain - penalty
                if value > best:
                    best, at = value, i
        if best == -INF:
            break
        out.append((candidates[at], best))
        take(at)
    return out

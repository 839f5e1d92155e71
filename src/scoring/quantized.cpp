#include "scoring/quantized.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <queue>
#include <utility>
#include <vector>

#include "kernels/int8.hpp"
#include "scoring/prepare.hpp"
#include "scoring/scan.hpp"

namespace tarnexa::scoring {
namespace {

constexpr double kUnit = 0x1p-24;  // float32 unit roundoff
// Relative allowance for the float64 arithmetic of a bound (roundings of 2^-53 each, summed
// over the columns), far above what it covers.
constexpr double kSlack = 1e-9;
constexpr std::size_t kBlock = 1024;
// Above this share of the rows the survivors are not worth gathering: the float32 scan runs.
constexpr std::size_t kMaxSurvivorShare = 8;
// Integer dots of up to this many codes fit int32 (127 * 127 * 2^17 < 2^31).
constexpr std::size_t kMaxCodeCols = std::size_t{1} << 17;

float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// One query-side vector v at two int8 levels, v ~ s1 c1 + s2 c2, with what its bound needs:
// norm >= |v| and residual_term >= |v - s1 c1 - s2 c2| * 127 * sqrt(dims).
struct QueryCodes {
    std::vector<std::int8_t> level[2];  // padded with zeros to whole kernel blocks
    float scale[2] = {0.0f, 0.0f};
    float norm = 0.0f;
    float residual_term = 0.0f;
};

// Codes of values at one level: scale = max|x| / 127 and round(x / scale); false for non-finite x.
bool quantize_level(const std::vector<double>& x, std::vector<std::int8_t>& codes, float& scale) {
    double top = 0.0;
    for (double v : x) {
        if (!std::isfinite(v)) return false;
        top = std::max(top, std::fabs(v));
    }
    scale = static_cast<float>(top / 127.0);
    codes.assign(kernels::int8_padded(x.size()), 0);
    if (scale > 0.0f)
        for (std::size_t i = 0; i < x.size(); ++i)
            codes[i] = static_cast<std::int8_t>(std::clamp(std::nearbyint(x[i] / scale), -127.0, 127.0));
    return true;
}

std::optional<QueryCodes> quantize_query(const Vector& v) {
    QueryCodes q;
    std::vector<double> rest(v.begin(), v.end());
    double sq = 0.0;
    for (double x : rest) sq += x * x;
    q.norm = round_up(std::sqrt(sq) * (1.0 + kSlack));
    for (int l = 0; l < 2; ++l) {
        if (!quantize_level(rest, q.level[l], q.scale[l])) return std::nullopt;
        for (std::size_t i = 0; i < rest.size(); ++i) rest[i] -= static_cast<double>(q.scale[l]) * q.level[l][i];
    }
    double err = 0.0;
    for (double x : rest) err += x * x;
    q.residual_term = round_up(std::sqrt(err) * 127.0 * std::sqrt(static_cast<double>(v.size())) * (1.0 + kSlack));
    return q;
}

// The k-th largest of the lower bounds offered (NaN never counts); minus infinity until k came.
class KthLargest {
public:
    explicit KthLargest(std::size_t k) : k_(k) {}
    void offer(float x) {
        if (!(x > floor_)) return;
        heap_.push(x);
        if (heap_.size() > k_) heap_.pop();
        if (heap_.size() == k_) floor_ = heap_.top();
    }
    float floor() const { return floor_; }

private:
    std::size_t k_;
    float floor_ = -std::numeric_limits<float>::infinity();
    std::priority_queue<float, std::vector<float>, std::greater<float>> heap_;
};

struct Pass {
    const QuantizedRows* q;
    const SimilarityScan* scan;
    const QueryCodes* vecs[3];  // query, trajectory direction, contrastive vector (the last two optional)
    std::vector<std::uint64_t>* candidates;  // rows whose upper bound reached the k-th lower bound so far
    std::vector<float>* upper;               // and those upper bounds
    KthLargest* kth;
};

// Float32 arithmetic errs by at most 2^-24 of each result (2^-24 of |d| converting a dot beyond
// 2^24); this margin, relative to the magnitudes involved, covers the few roundings below many
// times over, and the absolute term covers underflow.
constexpr float kMargin = 0x1p-18f;
constexpr float kTiny = 1e-30f;

// lo[i] <= fl32(v . x) <= hi[i] for the rows base + i, from the integer dots d1, d2 of their codes
// with v's two levels: |v . x - s (s1 d1 + s2 d2)| <= |v| b + s K (K = v.residual_term).
void intervals(const Pass& p, const QueryCodes& v, std::size_t base, std::size_t n, const std::int32_t* d1,
               const std::int32_t* d2, float* __restrict lo, float* __restrict hi) {
    const float s1 = v.scale[0], s2 = v.scale[1], norm = v.norm, k = v.residual_term;
    const float* __restrict sc = p.q->scales + base;
    const float* __restrict b = p.q->bounds + base;
    for (std::size_t i = 0; i < n; ++i) {
        const float a1 = s1 * static_cast<float>(d1[i]);
        const float a2 = s2 * static_cast<float>(d2[i]);
        const float approx = sc[i] * (a1 + a2);
        const float width = norm * b[i] + sc[i] * k;
        const float margin = (width + sc[i] * (std::fabs(a1) + std::fabs(a2))) * kMargin + kTiny;
        lo[i] = (approx - width) - margin;
        hi[i] = (approx + width) + margin;
    }
}

template <bool kTraj, bool kDecay, bool kMask, bool kThreshold, bool kContrast>
void bound_block(const Pass& p, std::size_t base, std::size_t n, std::int32_t* const* dots) {
    const SimilarityScan& s = *p.scan;
    alignas(64) float lo[3][kBlock], hi[3][kBlock];
    intervals(p, *p.vecs[0], base, n, dots[0], dots[1], lo[0], hi[0]);
    std::size_t slot = 2;
    if constexpr (kTraj) {
        intervals(p, *p.vecs[1], base, n, dots[slot], dots[slot + 1], lo[1], hi[1]);
        slot += 2;
    }
    if constexpr (kContrast) intervals(p, *p.vecs[2], base, n, dots[slot], dots[slot + 1], lo[2], hi[2]);
    // A row whose upper bound is below the k-th lower bound so far is below it at the end (it
    // only grows), and so is its own lower bound: neither is needed. Minus infinity never
    // reaches the pool; a NaN bound keeps its row.
    float floor = p.kth->floor();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = base + i;
        const float up = modulate_row<kTraj, kDecay, kMask, kThreshold, kContrast>(
            s, r, hi[0][i], kTraj ? hi[1][i] : 0.0f, kContrast ? lo[2][i] : 0.0f);
        if (up < floor || up == -std::numeric_limits<float>::infinity()) continue;
        p.kth->offer(modulate_row<kTraj, kDecay, kMask, kThreshold, kContrast>(
            s, r, lo[0][i], kTraj ? lo[1][i] : 0.0f, kContrast ? hi[2][i] : 0.0f));
        floor = p.kth->floor();
        if (up < floor) continue;
        p.candidates->push_back(r);
        p.upper->push_back(up);
    }
}

using BoundFn = void (*)(const Pass&, std::size_t, std::size_t, std::int32_t* const*);
template <unsigned... kBits>
constexpr auto make_bound_table(std::integer_sequence<unsigned, kBits...>) {
    return std::array<BoundFn, sizeof...(kBits)>{
        &bound_block<(kBits & 1) != 0, (kBits & 2) != 0, (kBits & 4) != 0, (kBits & 8) != 0, (kBits & 16) != 0>...};
}
constexpr auto kBoundFns = make_bound_table(std::make_integer_sequence<unsigned, 32>{});

thread_local double t_now = 0.0;
double fixed_clock() { return t_now; }

// The request is one the scan serves: it would not fault or end early for a reason the scan
// must reproduce, and its pool is a small part of the rows.
bool served(const Request& r, const QuantizedRows& q) {
    const std::size_t n = r.matrix.rows, dims = r.matrix.cols;
    if (r.n_ids == 0 || r.n_ids < n || q.rows != n || n == 0 || r.query.size() != dims) return false;
    if (dims >= kMaxCodeCols) return false;  // the integer dots could overflow int32
    if (r.pre_filter_rows) return false;  // only the named rows are read anyway
    if (r.like_rows) {
        if (r.like_rows->empty()) return false;
        for (std::uint64_t row : *r.like_rows)
            if (row >= n) return false;
    }
    if (r.traj_from && r.traj_to && std::max(r.traj_from->size(), r.traj_to->size()) != dims) return false;
    if (r.traj_from && r.traj_to && std::min(r.traj_from->size(), r.traj_to->size()) != dims &&
        std::min(r.traj_from->size(), r.traj_to->size()) != 1)
        return false;
    if (r.not_like && r.not_like->size() != dims) return false;
    // Rescoring names rows, and named rows index these arrays whether or not they are used.
    if (r.mask && r.mask->size() < n) return false;
    if (r.timestamps && r.timestamps->size() < n) return false;
    if (r.recent && r.timestamps) {
        const float h = half_life_of(r.recent_days);
        if (!(h > 0.0f) || !std::isfinite(h)) return false;  // the decay factor stays in [0, 1]
    }
    const std::uint64_t k = r.diverse ? r.oversample : r.limit;
    return k > 0 && k <= n / kMaxSurvivorShare;
}

}  // namespace

void quantize_row(const MatrixView& m, std::size_t row, std::int8_t* codes, float& scale, float& bound) {
    const std::size_t d = m.cols;
    double top = 0.0, sq = 0.0;
    bool finite = true;
    for (std::size_t c = 0; c < d; ++c) {
        const double x = m.get(row, c);
        finite = finite && std::isfinite(x);
        top = std::max(top, std::fabs(x));
        sq += x * x;
    }
    if (!finite) {
        std::fill(codes, codes + d, std::int8_t{0});
        scale = 0.0f;
        bound = std::numeric_limits<float>::infinity();
        return;
    }
    scale = static_cast<float>(top / 127.0);
    const double s = scale;
    double err = 0.0;
    for (std::size_t c = 0; c < d; ++c) {
        const double x = m.get(row, c);
        const double code = s > 0.0 ? std::clamp(std::nearbyint(x / s), -127.0, 127.0) : 0.0;
        codes[c] = static_cast<std::int8_t>(code);
        err += (x - s * code) * (x - s * code);
    }
    // Float32 dot products of d terms in any order, fused or not: |error| <= gamma * sum |v_i x_i|.
    const double du = static_cast<double>(d + 2) * kUnit;
    const double gamma = du / (1.0 - du);
    bound = round_up((std::sqrt(err) + gamma * std::sqrt(sq)) * (1.0 + 1e-9));
}

Outcome search_quantized(const Request& r, const QuantizedRows& q, QuantizedStats* stats) {
    if (stats) *stats = {};
    if (!served(r, q)) return score_candidates(r);

    // The same vectors the pipeline prepares (it prepares them again when it rescores).
    std::optional<Vector> query = prepare_query(r.matrix, r.query, r.like_rows);
    std::optional<Vector> traj, contra;
    if (r.traj_from && r.traj_to) traj = trajectory_direction(*r.traj_from, *r.traj_to);
    if (r.not_like) {
        contra = copy_of(*r.not_like);
        unit_normalize(*contra);
    }
    std::optional<QueryCodes> codes[3];
    codes[0] = quantize_query(*query);
    if (traj) codes[1] = quantize_query(*traj);
    if (contra) codes[2] = quantize_query(*contra);
    for (int v = 0; v < 3; ++v)
        if ((v == 0 || (v == 1 && traj) || (v == 2 && contra)) && !codes[v]) return score_candidates(r);

    Request exact = r;
    SimilarityScan scan;
    scan.query = query->data();
    scan.trajectory = traj ? traj->data() : nullptr;
    scan.contrastive = contra ? contra->data() : nullptr;
    if (r.recent && r.timestamps) {
        // One clock reading serves the bounds and the rescoring.
        t_now = r.clock ? r.clock() : system_clock_seconds();
        exact.clock = &fixed_clock;
        scan.decay = Decay{t_now, half_life_of(r.recent_days)};
        scan.timestamps = &*r.timestamps;
    }
    if (r.mask) scan.mask = &*r.mask;
    scan.threshold = r.threshold;

    const std::size_t n = r.matrix.rows;
    const std::uint64_t k = r.diverse ? r.oversample : r.limit;
    std::vector<std::uint64_t> candidates;
    std::vector<float> upper;
    KthLargest kth(static_cast<std::size_t>(k));
    Pass pass{&q, &scan, {codes[0] ? &*codes[0] : nullptr, codes[1] ? &*codes[1] : nullptr,
                          codes[2] ? &*codes[2] : nullptr}, &candidates, &upper, &kth};

    const std::int8_t* qv[kernels::kInt8MaxVecs];
    std::size_t nq = 0;
    for (int v = 0; v < 3; ++v)
        if (codes[v])
            for (int l = 0; l < 2; ++l) qv[nq++] = codes[v]->level[l].data();
    std::vector<std::int32_t> dot_buf(kernels::kInt8MaxVecs * kBlock);
    std::int32_t* dots[kernels::kInt8MaxVecs];
    for (std::size_t v = 0; v < kernels::kInt8MaxVecs; ++v) dots[v] = dot_buf.data() + v * kBlock;
    const BoundFn bound = kBoundFns[modulation_bits(scan)];
    for (std::size_t base = 0; base < n; base += kBlock) {
        const std::size_t m = std::min(kBlock, n - base);
        kernels::int8_dot_rows(q.codes + base * q.stride, q.stride, r.matrix.cols, m, qv, nq, dots);
        bound(pass, base, m, dots);
    }

    // A row whose upper bound is below k lower bounds has k rows strictly above it.
    const float floor = kth.floor();
    std::vector<std::uint64_t> survivors;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        if (upper[c] < floor) continue;
        survivors.push_back(candidates[c]);
        if (survivors.size() > n / kMaxSurvivorShare) return score_candidates(r);
    }
    if (stats) *stats = {true, survivors.size()};
    exact.pre_filter_rows = std::move(survivors);
    return score_candidates(exact);
}

}  // namespace tarnexa::scoring

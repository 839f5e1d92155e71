#include "scoring/quantized.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <queue>
#include <utility>
#include <vector>

#include "kernels/int8.hpp"
#include "kernels/prefetch.hpp"
#include "scoring/prepare.hpp"
#include "scoring/scan.hpp"

namespace tarnexa::scoring {
namespace {

constexpr double kUnit = 0x1p-24;  // float32 unit roundoff
// Relative allowance for the float64 arithmetic of a bound (roundings of 2^-53 each, summed
// over the columns), far above what it covers.
constexpr double kSlack = 1e-9;
constexpr std::size_t kBlock = 256;  // rows; their dots and bounds stay in the first-level cache
// Above this share of the rows the survivors are not worth gathering: the float32 scan runs.
constexpr std::size_t kMaxSurvivorShare = 8;
// Up to this many vectors in a pass (two queries, or one with its contrastive vector), the lone
// search's kernel runs; beyond, int8_dot_many (which interleaves the rows where that pays).
constexpr std::size_t kFewVectors = 2;
// Integer dots of up to this many codes fit int32 (127 * 127 * 2^17 < 2^31).
constexpr std::size_t kMaxCodeCols = std::size_t{1} << 17;

float round_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// One query-side vector v at two int8 levels, v ~ s1 c1 + s2 c2, with what its bounds need:
// norm >= |v|, loose_term >= |v - s1 c1| * 127 * sqrt(dims) (the first level alone) and
// residual_term >= |v - s1 c1 - s2 c2| * 127 * sqrt(dims) (both levels). A row's interval
// widens by extra_scale * scale + extra_bound * bound beyond the arithmetic of interval().
struct QueryCodes {
    std::vector<std::int8_t> level[2];  // padded with zeros to whole kernel blocks
    float scale[2] = {0.0f, 0.0f};
    float norm = 0.0f;
    float loose_term = 0.0f;
    float residual_term = 0.0f;
    float extra_scale = 0.0f;
    float extra_bound = 0.0f;
};

// x rounded to the nearest integer, ties to even, as std::nearbyint does in the default rounding
// mode, for |x| < 2^51 (codes are in [-255, 255] before clamping): no library call per value.
inline double round_even(double x) {
    constexpr double kShift = 0x1.8p52;
    return (x + kShift) - kShift;
}

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
            codes[i] = static_cast<std::int8_t>(std::clamp(round_even(x[i] / scale), -127.0, 127.0));
    return true;
}

// The codes of v (the values of a float32 vector, or of the blend below) given norm >= |v|.
std::optional<QueryCodes> quantize_query(std::vector<double> rest, double norm) {
    QueryCodes q;
    q.norm = round_up(norm * (1.0 + kSlack));
    const double per_code = 127.0 * std::sqrt(static_cast<double>(rest.size())) * (1.0 + kSlack);
    for (int l = 0; l < 2; ++l) {
        if (!quantize_level(rest, q.level[l], q.scale[l])) return std::nullopt;
        double err = 0.0;
        for (std::size_t i = 0; i < rest.size(); ++i) {
            rest[i] -= static_cast<double>(q.scale[l]) * q.level[l][i];
            err += rest[i] * rest[i];
        }
        (l == 0 ? q.loose_term : q.residual_term) = round_up(std::sqrt(err) * per_code);
    }
    return q;
}

double norm_of(const Vector& v) {
    double sq = 0.0;
    for (float x : v) sq += static_cast<double>(x) * x;
    return std::sqrt(sq);
}

std::optional<QueryCodes> quantize_query(const Vector& v) {
    return quantize_query(std::vector<double>(v.begin(), v.end()), norm_of(v));
}

// The trajectory blend fl(fl(0.7f fl(q . x)) + fl(0.3f fl(t . x))) as one vector u = 0.7f q + 0.3f t:
// a row's two float32 dot products err by at most gamma |x| times 0.7f |q| and 0.3f |t|, which
// norm = 0.7f |q| + 0.3f |t| (>= |u|) carries into the bound term, and the blend's three roundings
// by 2^-23 (1 + 2^-24) (0.7f |q| + 0.3f |t|) |x| (1 + gamma) at most, with |x| <= |s c| + |x - s c|
// <= 127 sqrt(dims) s + b: the extra terms, at 2^-20, cover them many times over.
std::optional<QueryCodes> quantize_blend(const Vector& query, const Vector& traj) {
    const double wq = kTrajQueryWeight, wt = kTrajWeight;
    std::vector<double> u(query.size());
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = wq * query[i] + wt * traj[i];
    const double norm = wq * norm_of(query) + wt * norm_of(traj);
    std::optional<QueryCodes> q = quantize_query(std::move(u), norm);
    if (q) {
        const double extra = norm * 0x1p-20 * (1.0 + kSlack);
        q->extra_bound = round_up(extra);
        q->extra_scale = round_up(extra * 127.0 * std::sqrt(static_cast<double>(query.size())) * (1.0 + kSlack));
    }
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
    std::size_t cols;
    const SimilarityScan* scan;
    DecayBound decay;
    const QueryCodes* vecs[2];     // the query (or its trajectory blend) and the contrastive vector, if any
    const std::int8_t* second[2];  // their second levels
    std::size_t nvec;
    std::vector<std::uint64_t>* candidates;  // rows whose upper bound reached the k-th lower bound so far
    std::vector<float>* upper;               // and those upper bounds
    KthLargest* kth;
};

// Float32 arithmetic errs by at most 2^-24 of each result (2^-24 of |d| converting a dot beyond
// 2^24); this margin, relative to the magnitudes involved, covers the few roundings below many
// times over, and the absolute term covers underflow.
constexpr float kMargin = 0x1p-18f;
constexpr float kTiny = 1e-30f;

struct Interval {
    float lo, hi;
};

// lo <= fl32(v . x) <= hi for a row of scale sc and bound term b, from the integer dots d1, d2 of
// its codes with v's levels: |v . x - sc (s1 d1 + s2 d2)| <= |v| b + sc k, where k is v's
// residual_term; without kBoth, from the first level alone: d2 = 0 and k its loose_term.
template <bool kBoth>
[[gnu::always_inline]] inline Interval interval(const QueryCodes& v, float sc, float b, std::int32_t d1,
                                                std::int32_t d2 = 0) {
    const float a1 = v.scale[0] * static_cast<float>(d1);
    const float a2 = kBoth ? v.scale[1] * static_cast<float>(d2) : 0.0f;
    const float approx = sc * (kBoth ? a1 + a2 : a1);
    const float width = v.norm * b + sc * (kBoth ? v.residual_term : v.loose_term);
    const float magnitude = kBoth ? std::fabs(a1) + std::fabs(a2) : std::fabs(a1);
    const float margin = (width + sc * magnitude) * kMargin + kTiny + (v.extra_scale * sc + v.extra_bound * b);
    return {(approx - width) - margin, (approx + width) + margin};
}

// A block of rows in two steps. The first level's dots give every row a loose upper bound of its
// score; a row whose loose bound is below the k-th lower bound so far is below it at the end (it
// only grows), and so is its own lower bound: neither is needed, and most rows end there. The
// rest get the second level's dots (their codes are still in cache) and tight bounds: the lower
// one offered to the k-th, the upper one kept with the row if it still reaches it. Minus
// infinity never reaches the pool; a NaN bound keeps its row. With a trajectory, the first
// vector is the blend and the rows' similarities enter the modulations after it.
template <bool kDecay, bool kMask, bool kThreshold, bool kContrast>
[[gnu::always_inline]] inline void bound_block(const Pass& p, std::size_t base, std::size_t n,
                                               std::int32_t* const* dots) {
    constexpr float kNegInf = -std::numeric_limits<float>::infinity();
    auto modulate = [&p](std::size_t row, float sim, float contra) {
        return modulate_row<false, kDecay, kMask, kThreshold, kContrast>(*p.scan, row, sim, 0.0f, contra);
    };
    const QueryCodes& q0 = *p.vecs[0];
    const QueryCodes& q1 = *p.vecs[kContrast ? 1 : 0];
    const float* __restrict sc = p.q->scales + base;
    const float* __restrict b = p.q->bounds + base;
    const std::int32_t* __restrict d0 = dots[0];
    const std::int32_t* __restrict d1 = dots[kContrast ? 1 : 0];
    // The loose upper bounds, in passes the compiler can vectorise when the timestamps and the
    // mask are contiguous arrays (as a cache's are).
    alignas(64) float up[kBlock], contra[kBlock];
    for (std::size_t i = 0; i < n; ++i) {
        up[i] = interval<false>(q0, sc[i], b[i], d0[i]).hi;
        if constexpr (kContrast) contra[i] = interval<false>(q1, sc[i], b[i], d1[i]).lo;
    }
    const SimilarityScan& s = *p.scan;
    if constexpr (kDecay) {  // the first modulation after the similarity
        if (s.timestamps->stride == sizeof(double) &&
            reinterpret_cast<std::uintptr_t>(s.timestamps->data) % alignof(double) == 0) {
            const double* ts = reinterpret_cast<const double*>(s.timestamps->data) + base;
            for (std::size_t i = 0; i < n; ++i) up[i] = p.decay.apply(up[i], ts[i]);
        } else {
            for (std::size_t i = 0; i < n; ++i) up[i] = p.decay.apply(up[i], s.timestamps->get(base + i));
        }
    }
    if (!kMask || s.mask->bytes.stride == 1) {
        const std::uint8_t* keep = kMask ? reinterpret_cast<const std::uint8_t*>(s.mask->bytes.data) + base : nullptr;
        for (std::size_t i = 0; i < n; ++i)
            up[i] = modulate_values<false, false, kMask, kThreshold, kContrast>(
                s, up[i], 0.0f, kContrast ? contra[i] : 0.0f, 0.0, kMask ? keep[i] != 0 : true);
    } else {
        for (std::size_t i = 0; i < n; ++i)
            up[i] = modulate_values<false, false, kMask, kThreshold, kContrast>(
                s, up[i], 0.0f, kContrast ? contra[i] : 0.0f, 0.0, kMask ? s.mask->get(base + i) : true);
    }
    float floor = p.kth->floor();
    std::size_t listed[kBlock];
    std::size_t count = 0;
    auto kept = [floor](float x) { return static_cast<unsigned>(!(x < floor)) & static_cast<unsigned>(x != kNegInf); };
    constexpr std::size_t kRun = 32;  // most runs of rows have no row that passes: skip them whole
    for (std::size_t a = 0; a < n; a += kRun) {
        const std::size_t e = std::min(n, a + kRun);
        unsigned any = 0;
        for (std::size_t i = a; i < e; ++i) any += kept(up[i]);
        if (any == 0) continue;
        for (std::size_t i = a; i < e; ++i) {
            listed[count] = i;
            count += kept(up[i]);
        }
    }
    if (count == 0) return;
    alignas(64) std::int32_t fine[2][kBlock];
    std::int32_t* fine_out[2] = {fine[0], fine[1]};
    kernels::int8_dot_listed(p.q->codes + base * p.q->stride, p.q->stride, p.cols, listed, count, p.second,
                             p.nvec, fine_out);
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t i = listed[c], r = base + i;
        const Interval sim = interval<true>(q0, sc[i], b[i], d0[i], fine[0][c]);
        const Interval contra =
            kContrast ? interval<true>(q1, sc[i], b[i], d1[i], fine[1][c]) : Interval{};
        const float up = modulate(r, sim.hi, contra.lo);
        if (up < floor || up == kNegInf) continue;
        p.kth->offer(modulate(r, sim.lo, contra.hi));
        floor = p.kth->floor();
        if (up < floor) continue;
        p.candidates->push_back(r);
        p.upper->push_back(up);
    }
}

// The block's bounds compiled twice: for any CPU of the family, and with AVX-512 for the CPUs
// whose int8 kernel is the AVX-512 one, where the per-row passes run 16 rows to a vector. Only
// these two functions carry the wider instructions (what they call out of line is compiled for
// any CPU), and the second runs only where the int8 kernel is the AVX-512 one and the CPU runs
// the float32 kernel's AVX-512 too (the wide target below is what that kernel needs).
template <bool kDecay, bool kMask, bool kThreshold, bool kContrast>
void bound_any(const Pass& p, std::size_t base, std::size_t n, std::int32_t* const* dots) {
    bound_block<kDecay, kMask, kThreshold, kContrast>(p, base, n, dots);
}
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TARNEXA_WIDE_BOUNDS 1
#if defined(__clang__)
#define TARNEXA_WIDE_TARGET "avx512f,avx512bw,avx512dq,avx512vl,avx2,fma"
#else  // GCC would otherwise keep to 256-bit vectors
#define TARNEXA_WIDE_TARGET "avx512f,avx512bw,avx512dq,avx512vl,avx2,fma,prefer-vector-width=512"
#endif
template <bool kDecay, bool kMask, bool kThreshold, bool kContrast>
[[gnu::target(TARNEXA_WIDE_TARGET)]] void bound_wide(
    const Pass& p, std::size_t base, std::size_t n, std::int32_t* const* dots) {
    bound_block<kDecay, kMask, kThreshold, kContrast>(p, base, n, dots);
}
#endif

using BoundFn = void (*)(const Pass&, std::size_t, std::size_t, std::int32_t* const*);
template <bool kWide, unsigned... kBits>
constexpr auto make_bound_table(std::integer_sequence<unsigned, kBits...>) {
#ifdef TARNEXA_WIDE_BOUNDS
    if constexpr (kWide)
        return std::array<BoundFn, sizeof...(kBits)>{
            &bound_wide<(kBits & 1) != 0, (kBits & 2) != 0, (kBits & 4) != 0, (kBits & 8) != 0>...};
    else
#endif
        return std::array<BoundFn, sizeof...(kBits)>{
            &bound_any<(kBits & 1) != 0, (kBits & 2) != 0, (kBits & 4) != 0, (kBits & 8) != 0>...};
}
// Indexed by the scan's modulation bits without the trajectory's.
constexpr auto kBoundFns = make_bound_table<false>(std::make_integer_sequence<unsigned, 16>{});
constexpr auto kWideBoundFns = make_bound_table<true>(std::make_integer_sequence<unsigned, 16>{});

const std::array<BoundFn, 16>& bound_fns() {
    static const bool wide =
        kernels::int8_best_isa() == kernels::Isa::avx512_vnni && kernels::cpu_runs(kernels::Isa::avx512);
    return wide ? kWideBoundFns : kBoundFns;
}

// What the bounds read of rows [base, base + n) beside their codes: scales, bounds, timestamps
// and mask bytes, asked for before the kernel reads the codes so that they arrive while it works.
// The hardware prefetchers serve such short runs late, and at 64 dims they are a fifth of the
// bytes: a search with every modulation ran about 3% faster there. Forced inline (see
// kernels::prefetch_bytes).
[[gnu::always_inline]] inline void prefetch_side(const QuantizedRows& q, const SimilarityScan& scan, std::size_t base,
                                                 std::size_t n) {
    kernels::prefetch_bytes(q.scales + base, n * sizeof(float));
    kernels::prefetch_bytes(q.bounds + base, n * sizeof(float));
    if (scan.timestamps && scan.timestamps->stride == sizeof(double))
        kernels::prefetch_bytes(scan.timestamps->data + base * sizeof(double), n * sizeof(double));
    if (scan.mask && scan.mask->bytes.stride == 1) kernels::prefetch_bytes(scan.mask->bytes.data + base, n);
}

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

namespace {
// The row's values as doubles, from a contiguous row without a stride computation per value.
void row_values(const MatrixView& m, std::size_t row, double* out) {
    const std::size_t d = m.cols;
    if (m.col_stride == sizeof(float)) {
        const std::byte* p = m.data + static_cast<std::ptrdiff_t>(row) * m.row_stride;
        for (std::size_t c = 0; c < d; ++c) {
            float x;
            std::memcpy(&x, p + c * sizeof(float), sizeof(float));
            out[c] = x;
        }
    } else {
        for (std::size_t c = 0; c < d; ++c) out[c] = m.get(row, c);
    }
}
}  // namespace

void quantize_row(const MatrixView& m, std::size_t row, std::int8_t* codes, float& scale, float& bound) {
    const std::size_t d = m.cols;
    thread_local std::vector<double> values;
    values.resize(d);
    double* v = values.data();
    row_values(m, row, v);
    double top = 0.0, sq = 0.0;
    bool finite = true;
    for (std::size_t c = 0; c < d; ++c) {
        const double x = v[c];
        finite &= std::isfinite(x);
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
    if (s > 0.0) {
        for (std::size_t c = 0; c < d; ++c) {
            const double x = v[c];
            const double code = std::clamp(round_even(x / s), -127.0, 127.0);
            codes[c] = static_cast<std::int8_t>(code);
            err += (x - s * code) * (x - s * code);
        }
    } else {
        std::fill(codes, codes + d, std::int8_t{0});
        err = sq;  // every value is zero, or below what a float scale can carry
    }
    // Float32 dot products of d terms in any order, fused or not: |error| <= gamma * sum |v_i x_i|.
    const double du = static_cast<double>(d + 2) * kUnit;
    const double gamma = du / (1.0 - du);
    bound = round_up((std::sqrt(err) + gamma * std::sqrt(sq)) * (1.0 + 1e-9));
}

namespace {

// One request's scan between its steps: what it starts from, what the blocks of rows leave and
// the request that rescores the survivors. Holds pointers into itself: made in place, never moved.
struct QueryScan {
    explicit QueryScan(std::uint64_t k) : kth(static_cast<std::size_t>(k)) {}
    QueryScan(const QueryScan&) = delete;
    QueryScan& operator=(const QueryScan&) = delete;

    Request exact;
    std::optional<Vector> query, traj, contra;
    std::optional<QueryCodes> codes[2];  // the query (or its trajectory blend) and the contrastive vector
    SimilarityScan scan;
    double now = 0.0;  // the one clock reading of a decay
    std::vector<std::uint64_t> candidates;
    std::vector<float> upper;
    KthLargest kth;
    Pass pass{};
    const std::int8_t* first[2] = {nullptr, nullptr};  // the vectors' first levels, pass.nvec of them
    BoundFn bound = nullptr;
};

// prefetch_side for every scan of a pass: the codes' arrays once, and each timestamps and mask
// array once while the scans share it (as a searcher's scans share its timestamps).
[[gnu::always_inline]] inline void prefetch_shared(const QuantizedRows& q,
                                                   const std::vector<std::unique_ptr<QueryScan>>& scans,
                                                   const std::vector<std::size_t>& shared, std::size_t base,
                                                   std::size_t n) {
    kernels::prefetch_bytes(q.scales + base, n * sizeof(float));
    kernels::prefetch_bytes(q.bounds + base, n * sizeof(float));
    const std::byte* times = nullptr;
    const std::byte* mask = nullptr;
    for (std::size_t i : shared) {
        const SimilarityScan& scan = scans[i]->scan;
        if (scan.timestamps && scan.timestamps->stride == sizeof(double) && scan.timestamps->data != times) {
            times = scan.timestamps->data;
            kernels::prefetch_bytes(times + base * sizeof(double), n * sizeof(double));
        }
        if (scan.mask && scan.mask->bytes.stride == 1 && scan.mask->bytes.data != mask) {
            mask = scan.mask->bytes.data;
            kernels::prefetch_bytes(mask + base, n);
        }
    }
}

// The scan of a request search_quantized serves, ready for its blocks; null for one it does not
// (score_candidates answers it as it is).
std::unique_ptr<QueryScan> start_scan(const Request& r, const QuantizedRows& q) {
    if (!served(r, q)) return nullptr;
    auto s = std::make_unique<QueryScan>(r.diverse ? r.oversample : r.limit);
    // The same vectors the pipeline prepares (it prepares them again when it rescores).
    s->query = prepare_query(r.matrix, r.query, r.like_rows);
    if (r.traj_from && r.traj_to) s->traj = trajectory_direction(*r.traj_from, *r.traj_to);
    if (r.not_like) {
        s->contra = copy_of(*r.not_like);
        unit_normalize(*s->contra);
    }
    s->codes[0] = s->traj ? quantize_blend(*s->query, *s->traj) : quantize_query(*s->query);
    if (!s->codes[0]) return nullptr;
    if (s->contra && !(s->codes[1] = quantize_query(*s->contra))) return nullptr;

    s->exact = r;
    SimilarityScan& scan = s->scan;
    scan.query = s->query->data();
    scan.trajectory = s->traj ? s->traj->data() : nullptr;
    scan.contrastive = s->contra ? s->contra->data() : nullptr;
    if (r.recent && r.timestamps) {
        // One clock reading serves the bounds and the rescoring.
        s->now = r.clock ? r.clock() : system_clock_seconds();
        s->exact.clock = &fixed_clock;
        scan.decay = Decay{s->now, half_life_of(r.recent_days)};
        scan.timestamps = &*r.timestamps;
    }
    if (r.mask) scan.mask = &*r.mask;
    scan.threshold = r.threshold;

    s->pass = Pass{&q, r.matrix.cols, &scan, scan.decay ? DecayBound::of(*scan.decay) : DecayBound{}, {}, {}, 0,
                   &s->candidates, &s->upper, &s->kth};
    for (int v = 0; v < 2; ++v) {
        if (!s->codes[v]) continue;
        s->pass.vecs[v] = &*s->codes[v];
        s->first[s->pass.nvec] = s->codes[v]->level[0].data();
        s->pass.second[s->pass.nvec++] = s->codes[v]->level[1].data();
    }
    s->bound = bound_fns()[modulation_bits(scan) >> 1];
    return s;
}

// The scan's result once every block has passed: its survivors rescored by the pipeline.
Outcome finish_scan(QueryScan& s, const Request& r, QuantizedStats* stats) {
    const std::size_t n = r.matrix.rows;
    // A row whose upper bound is below k lower bounds has k rows strictly above it.
    const float floor = s.kth.floor();
    std::vector<std::uint64_t> survivors;
    for (std::size_t c = 0; c < s.candidates.size(); ++c) {
        if (s.upper[c] < floor) continue;
        survivors.push_back(s.candidates[c]);
        if (survivors.size() > n / kMaxSurvivorShare) return score_candidates(r);
    }
    if (stats) *stats = {true, survivors.size()};
    s.exact.pre_filter_rows = std::move(survivors);
    t_now = s.now;
    return score_candidates(s.exact);
}

}  // namespace

Outcome search_quantized(const Request& r, const QuantizedRows& q, QuantizedStats* stats) {
    if (stats) *stats = {};
    const std::unique_ptr<QueryScan> s = start_scan(r, q);
    if (!s) return score_candidates(r);
    std::vector<std::int32_t> dot_buf(2 * kBlock);
    std::int32_t* dots[2] = {dot_buf.data(), dot_buf.data() + kBlock};
    const std::size_t n = r.matrix.rows;
    for (std::size_t base = 0; base < n; base += kBlock) {
        const std::size_t m = std::min(kBlock, n - base);
        prefetch_side(q, s->scan, base, m);
        kernels::int8_dot_rows(q.codes + base * q.stride, q.stride, r.matrix.cols, m, s->first, s->pass.nvec, dots);
        s->bound(s->pass, base, m, dots);
    }
    return finish_scan(*s, r, stats);
}

std::vector<Outcome> search_quantized_many(std::span<const Request> requests, const QuantizedRows& q,
                                           std::vector<QuantizedStats>* stats) {
    const std::size_t b = requests.size();
    std::vector<Outcome> out(b);
    if (stats) stats->assign(b, QuantizedStats{});
    // The scans that share the pass: requests on these codes' matrix, each served. The rest (and
    // any other matrix) are answered alone.
    std::vector<std::unique_ptr<QueryScan>> scans(b);
    std::vector<std::size_t> shared;
    for (std::size_t i = 0; i < b; ++i) {
        const Request& r = requests[i];
        if (!shared.empty()) {
            const MatrixView& m0 = requests[shared[0]].matrix;
            if (r.matrix.data != m0.data || r.matrix.rows != m0.rows || r.matrix.cols != m0.cols) {
                out[i] = search_quantized(r, q, stats ? &(*stats)[i] : nullptr);
                continue;
            }
        }
        scans[i] = start_scan(r, q);
        if (scans[i])
            shared.push_back(i);
        else
            out[i] = score_candidates(r);
    }
    if (shared.empty()) return out;

    // Every vector's first-level dots for a block of rows, from one pass over its codes.
    const std::size_t n = requests[shared[0]].matrix.rows, cols = requests[shared[0]].matrix.cols;
    std::vector<const std::int8_t*> first;
    std::vector<std::size_t> at;  // the index in `first` of each shared scan's first vector
    for (std::size_t i : shared) {
        at.push_back(first.size());
        for (std::size_t v = 0; v < scans[i]->pass.nvec; ++v) first.push_back(scans[i]->first[v]);
    }
    const std::size_t nv = first.size();
    std::vector<std::int32_t> dot_buf(nv * kBlock);
    std::vector<std::int32_t*> dots(nv);
    for (std::size_t v = 0; v < nv; ++v) dots[v] = dot_buf.data() + v * kBlock;
    // A few vectors read the rows as they lie; more share their interleaving.
    const bool interleave = nv > kFewVectors;
    std::vector<std::byte> scratch(interleave ? kernels::int8_many_scratch(cols, nv) + 64 : 0);
    void* aligned = scratch.data();
    std::size_t room = scratch.size();
    if (interleave) std::align(64, room - 64, aligned, room);
    for (std::size_t base = 0; base < n; base += kBlock) {
        const std::size_t m = std::min(kBlock, n - base);
        prefetch_shared(q, scans, shared, base, m);
        const std::int8_t* codes = q.codes + base * q.stride;
        if (interleave)
            kernels::int8_dot_many(codes, q.stride, cols, m, first.data(), nv, dots.data(), aligned);
        else
            kernels::int8_dot_rows(codes, q.stride, cols, m, first.data(), nv, dots.data());
        for (std::size_t j = 0; j < shared.size(); ++j) {
            QueryScan& s = *scans[shared[j]];
            s.bound(s.pass, base, m, dots.data() + at[j]);
        }
    }
    for (std::size_t i : shared) out[i] = finish_scan(*scans[i], requests[i], stats ? &(*stats)[i] : nullptr);
    return out;
}

}  // namespace tarnexa::scoring

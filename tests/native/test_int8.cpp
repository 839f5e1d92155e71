// The int8 copy: every int8 kernel this CPU runs against exact integer sums, the stored bound
// against the row's own quantisation error, the decay's bound against the decay, and the int8
// search against the pipeline on the same request (the platforms the Python suite does not
// reach run these under emulation).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels/int8.hpp"
#include "native_test.hpp"
#include "scoring/decay.hpp"
#include "scoring/quantized.hpp"

namespace {

using tarnexa::MatrixView;
using tarnexa::kernels::Isa;
namespace kn = tarnexa::kernels;
namespace sc = tarnexa::scoring;

using native_test::Rng;

TEST(int8_kernels_equal_exact_integer_sums) {
    for (std::size_t cols : {1, 7, 16, 63, 64, 65, 128, 200, 256, 384, 512, 768, 1000, 1024}) {
        for (std::size_t rows : {1, 3, 4, 9}) {
            Rng rng{cols * 31 + rows};
            const std::size_t stride = cols + 5;  // rows not packed: the kernels take a stride
            std::vector<std::int8_t> codes(rows * stride);
            for (auto& c : codes) c = rng.code();
            std::vector<std::vector<std::int8_t>> q(kn::kInt8MaxVecs, std::vector<std::int8_t>(kn::int8_padded(cols), 0));
            for (auto& v : q)
                for (std::size_t j = 0; j < cols; ++j) v[j] = rng.code();
            const std::int8_t* qv[kn::kInt8MaxVecs];
            for (std::size_t v = 0; v < kn::kInt8MaxVecs; ++v) qv[v] = q[v].data();
            for (Isa isa : kn::kInt8Kernels) {
                if (!kn::int8_isa_supported(isa)) continue;
                for (std::size_t nq = 1; nq <= kn::kInt8MaxVecs; ++nq) {
                    std::vector<std::vector<std::int32_t>> out(nq, std::vector<std::int32_t>(rows));
                    std::int32_t* ov[kn::kInt8MaxVecs];
                    for (std::size_t v = 0; v < nq; ++v) ov[v] = out[v].data();
                    std::vector<std::size_t> reversed(rows);  // the rows listed, last first
                    for (std::size_t r = 0; r < rows; ++r) reversed[r] = rows - 1 - r;
                    const std::size_t* lists[] = {nullptr, reversed.data()};
                    for (const std::size_t* listed : lists) {
                        kn::int8_dot_rows_with(isa, codes.data(), stride, cols, rows, qv, nq, ov, listed);
                        for (std::size_t v = 0; v < nq; ++v)
                            for (std::size_t i = 0; i < rows; ++i) {
                                const std::size_t r = listed ? listed[i] : i;
                                std::int64_t want = 0;
                                for (std::size_t j = 0; j < cols; ++j) want += codes[r * stride + j] * q[v][j];
                                CHECK_MSG(out[v][i] == want, kn::isa_name(isa) << " cols " << cols << " row " << r);
                            }
                    }
                }
            }
        }
    }
}

// The interleaved kernel on every ISA against exact sums: row counts around its groups (16 to 64
// rows) and widths around its steps and 64-code blocks, any number of vectors (its groups of
// four and the rest), the extremes of both operands, and rows wide enough that (x + 128) q
// passes 2^31 on the way.
TEST(int8_many_kernels_equal_exact_integer_sums) {
    struct Shape { std::size_t cols, rows, nq; };
    for (const Shape sh : {Shape{1, 1, 1}, {3, 17, 5}, {4, 64, 4}, {63, 65, 9}, {64, 16, 1}, {65, 31, 8},
                           {130, 100, 3}, {384, 129, 13}, {1000, 7, 6}, {70001, 3, 5}}) {
        Rng rng{sh.cols * 131 + sh.rows};
        const std::size_t stride = sh.cols + 3;
        std::vector<std::int8_t> codes(sh.rows * stride);
        for (auto& c : codes) c = rng.code();
        std::vector<std::vector<std::int8_t>> q(sh.nq, std::vector<std::int8_t>(kn::int8_padded(sh.cols), 0));
        for (auto& v : q)
            for (std::size_t j = 0; j < sh.cols; ++j) v[j] = rng.code();
        std::fill(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(sh.cols), std::int8_t{127});
        std::fill(q[0].begin(), q[0].begin() + static_cast<std::ptrdiff_t>(sh.cols), std::int8_t{127});
        std::vector<const std::int8_t*> qv;
        for (auto& v : q) qv.push_back(v.data());
        std::vector<std::int64_t> want(sh.nq * sh.rows);
        for (std::size_t v = 0; v < sh.nq; ++v)
            for (std::size_t i = 0; i < sh.rows; ++i)
                for (std::size_t j = 0; j < sh.cols; ++j) want[v * sh.rows + i] += codes[i * stride + j] * q[v][j];
        std::vector<std::byte> scratch(kn::int8_many_scratch(sh.cols, sh.nq));
        for (int pass = 0; pass <= 1; ++pass) {  // each kernel interleaving, then the dispatch's choice
            for (Isa isa : kn::kInt8Kernels) {
                if (!kn::int8_isa_supported(isa) || (pass == 1 && isa != kn::int8_best_isa())) continue;
                std::vector<std::int32_t> out(sh.nq * sh.rows, -1);
                std::vector<std::int32_t*> ov;
                for (std::size_t v = 0; v < sh.nq; ++v) ov.push_back(out.data() + v * sh.rows);
                if (pass == 0)
                    kn::int8_dot_many_with(isa, codes.data(), stride, sh.cols, sh.rows, qv.data(), sh.nq, ov.data(),
                                           scratch.data());
                else
                    kn::int8_dot_many(codes.data(), stride, sh.cols, sh.rows, qv.data(), sh.nq, ov.data(), scratch.data());
                for (std::size_t k = 0; k < out.size(); ++k)
                    CHECK_MSG(out[k] == want[k], kn::isa_name(isa) << " cols " << sh.cols << " at " << k);
            }
        }
    }
    std::printf("    int8 kernels checked on this CPU:");
    for (Isa isa : kn::kInt8Kernels)
        if (kn::int8_isa_supported(isa)) std::printf(" %s", kn::isa_name(isa));
    std::printf("\n");
}

TEST(int8_search_equals_the_pipeline) {
    const std::size_t n = 3000, d = 40;
    Rng rng{11};
    std::vector<float> m(n * d);
    for (auto& x : m) x = rng.uniform();
    for (std::size_t j = 0; j < d; ++j) m[7 * d + j] = m[8 * d + j] = m[9 * d + j];  // duplicates
    const MatrixView view{reinterpret_cast<const std::byte*>(m.data()), n, d,
                          static_cast<std::ptrdiff_t>(d * sizeof(float)), sizeof(float)};
    std::vector<std::int8_t> codes(n * d);
    std::vector<float> scales(n), bounds(n);
    for (std::size_t r = 0; r < n; ++r) {
        sc::quantize_row(view, r, codes.data() + r * d, scales[r], bounds[r]);
        double err = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double e = m[r * d + j] - static_cast<double>(scales[r]) * codes[r * d + j];
            err += e * e;
        }
        CHECK(std::sqrt(err) <= bounds[r]);
    }
    const sc::QuantizedRows q{codes.data(), d, scales.data(), bounds.data(), n};
    std::vector<float> query(m.begin() + 9 * d, m.begin() + 10 * d), other(d);
    for (auto& x : other) x = rng.uniform();
    std::vector<double> times(n);
    for (auto& t : times) t = 1.7e9 + 1e7 * rng.uniform();
    static double now = 1.71e9;
    for (int variant = 0; variant < 4; ++variant) {
        sc::Request r;
        r.matrix = view;
        r.n_ids = n;
        r.query = {reinterpret_cast<const std::byte*>(query.data()), d, sizeof(float)};
        r.clock = [] { return now; };
        if (variant >= 1) r.not_like = tarnexa::VecView<float>{reinterpret_cast<const std::byte*>(other.data()), d, sizeof(float)};
        if (variant >= 2) {
            r.recent = true;
            r.timestamps = tarnexa::VecView<double>{reinterpret_cast<const std::byte*>(times.data()), n, sizeof(double)};
        }
        if (variant == 3) r.diverse = true, r.oversample = 50;
        sc::QuantizedStats stats;
        const sc::Outcome got = sc::search_quantized(r, q, &stats), want = sc::score_candidates(r);
        CHECK_MSG(stats.scanned, "variant " << variant);
        REQUIRE(got.hits.size() == want.hits.size());
        for (std::size_t i = 0; i < got.hits.size(); ++i)
            CHECK_MSG(got.hits[i].id_index == want.hits[i].id_index && got.hits[i].score == want.hits[i].score,
                      "variant " << variant << " hit " << i);
    }
}

// Differences of every magnitude around the clock, both signs, at the smallest difference the
// bound takes and next to it, with timestamps and scores that are not numbers or not positive.
TEST(decay_bound_is_never_below_the_decay) {
    using D = std::numeric_limits<double>;
    using F = std::numeric_limits<float>;
    constexpr double kInf = D::infinity(), kNaN = D::quiet_NaN();
    Rng rng{11};
    for (double now : {1.7e9, 0.0, 1e-10, 3e-21, 5e-34, 1e300, kInf})
        for (float half : {30.0f, 0.1f, 1e-30f, 1.4e-45f, 1e30f, 3.4e38f}) {
            const sc::Decay decay{now, half};
            const sc::DecayBound bound = sc::DecayBound::of(decay);
            for (int i = 0; i < 4000; ++i) {
                const int scale = static_cast<int>(rng.below(200)) - 150;
                double t = now - std::ldexp(static_cast<double>(rng.uniform()), scale);
                switch (i % 10) {
                    case 0: t = now - sc::DecayBound::kMinSeconds * (1.0 + rng.uniform() * 0x1p-20); break;
                    case 1: t = std::array<double, 6>{0.0, -1.0, kNaN, kInf, -kInf, 4.9e-324}[rng.below(6)]; break;
                    default: break;
                }
                float score = std::ldexp(rng.uniform(), static_cast<int>(rng.below(60)) - 30);
                const std::array<float, 5> special{0.0f, -0.0f, F::infinity(), -F::infinity(), F::quiet_NaN()};
                if (i % 7 == 0) score = special[rng.below(5)];
                const float got = bound.apply(score, t), want = decay.apply(score, t);
                CHECK_MSG(!(got < want) && (std::isnan(got) || !std::isnan(score)),
                          "now " << now << " half-life " << half << " t " << t << " score " << score << ": " << got
                                 << " < " << want);
            }
        }
}

}  // namespace

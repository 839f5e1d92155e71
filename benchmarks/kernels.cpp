// Times every row kernel this CPU runs against the portable one: dot_rows_with on a dense random
// matrix, rows read in order and gathered, one and three vectors. Prints the best of several
// calls per kernel and its speed relative to the portable kernel.
// Built with -DTARNEXA_KERNEL_BENCH=ON as tarnexa_kernel_bench; arguments: [rows [cols [reps]]].
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "kernels/dot.hpp"

namespace kn = tarnexa::kernels;
using kn::Isa;

namespace {

double best_ms(Isa isa, const tarnexa::MatrixView& m, const std::uint64_t* idx, std::size_t count,
               const float* const* vecs, std::size_t nvec, float* const* out, int reps) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        kn::dot_rows_with(isa, m, idx, count, vecs, nvec, out);
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
    const std::size_t cols = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 384;
    const int reps = argc > 3 ? std::atoi(argv[3]) : 7;

    std::mt19937_64 rng(1);
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::vector<float> data(rows * cols);
    for (float& x : data) x = uni(rng);
    const tarnexa::MatrixView m{reinterpret_cast<const std::byte*>(data.data()), rows, cols,
                                static_cast<std::ptrdiff_t>(cols * sizeof(float)), sizeof(float)};
    std::vector<std::vector<float>> vec(3, std::vector<float>(cols)), res(3, std::vector<float>(rows));
    for (auto& v : vec)
        for (float& x : v) x = uni(rng);
    const float* vecs[3] = {vec[0].data(), vec[1].data(), vec[2].data()};
    float* out[3] = {res[0].data(), res[1].data(), res[2].data()};
    std::vector<std::uint64_t> idx(rows / 4);
    for (auto& i : idx) i = rng() % rows;

    std::printf("%zu x %zu float32, best of %d calls, dot_rows uses %s\n", rows, cols, reps,
                kn::isa_name(kn::best_isa()));
    std::printf("%-22s %-9s %10s %12s\n", "case", "kernel", "ms", "vs portable");
    const struct {
        const char* name;
        bool gathered;
        std::size_t nvec;
    } cases[] = {{"all rows, 1 vector", false, 1}, {"all rows, 3 vectors", false, 3},
                 {"rows/4 gathered, 1 vec", true, 1}};
    const Isa isas[] = {Isa::portable, Isa::avx2, Isa::avx512, Isa::neon};
    for (const auto& c : cases) {
        const std::uint64_t* ix = c.gathered ? idx.data() : nullptr;
        const std::size_t count = c.gathered ? idx.size() : rows;
        const double base = best_ms(Isa::portable, m, ix, count, vecs, c.nvec, out, reps);
        for (Isa isa : isas) {
            if (!kn::isa_supported(isa)) continue;
            const double ms = isa == Isa::portable ? base : best_ms(isa, m, ix, count, vecs, c.nvec, out, reps);
            std::printf("%-22s %-9s %10.3f %11.2fx\n", c.name, kn::isa_name(isa), ms, base / ms);
        }
    }
    return 0;
}

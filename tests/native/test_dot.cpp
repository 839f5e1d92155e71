// Row dot-product kernels: every kernel this CPU runs, against a float64 reference and against the
// portable kernel on a dense copy of the same rows, over tables of shapes and memory layouts.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "native_test.hpp"
#include "kernels/dot.hpp"

namespace {

using tarnexa::kernels::Isa;
using tarnexa::MatrixView;
namespace kn = tarnexa::kernels;

constexpr Isa kIsas[] = {Isa::portable, Isa::avx2, Isa::avx512, Isa::neon};
constexpr std::size_t kColsTable[] = {0, 1, 3, 7, 15, 16, 17, 31, 33, 64, 100, 384, 385};
constexpr std::size_t kRowsTable[] = {0, 1, 2, 3, 4, 5, 9};
// Up to four vectors: the fourth is scored in a second pass over the matrix.
constexpr std::size_t kMaxVecs = 4;
// Written into outputs before a call; a kernel never produces it from inputs in [-1, 1].
constexpr float kUnwritten = 12345.0f;

using native_test::Rng;

const std::byte* element(const MatrixView& m, std::size_t i, std::size_t j) {
    return m.data + (static_cast<std::ptrdiff_t>(i) * m.row_stride +
                     static_cast<std::ptrdiff_t>(j) * m.col_stride);
}

float load(const MatrixView& m, std::size_t i, std::size_t j) {
    float x;
    std::memcpy(&x, element(m, i, j), sizeof x);
    return x;
}

void store(const MatrixView& m, std::size_t i, std::size_t j, float x) {
    // The view is read-only for the kernels; tests own the memory behind it.
    std::memcpy(const_cast<std::byte*>(element(m, i, j)), &x, sizeof x);
}

// Where a test matrix's elements sit: col_stride bytes between columns, rows
// row_sign * (|col_stride| * cols + row_pad) bytes apart, data misaligned by `misalign` bytes.
struct Layout {
    const char* name;
    std::ptrdiff_t col_stride;
    std::ptrdiff_t row_pad;
    int row_sign;
    std::size_t misalign;
};

// Kernels read these rows in place.
constexpr Layout kRowLayouts[] = {
    {"dense", 4, 0, 1, 0},
    {"dense+1", 4, 0, 1, 1},
    {"dense+2", 4, 0, 1, 2},
    {"dense+3", 4, 0, 1, 3},
    {"padded_rows", 4, 20, 1, 0},
    {"odd_row_stride", 4, 7, 1, 2},
    {"reversed_rows", 4, 12, -1, 3},
    {"repeated_row", 4, 0, 0, 1},
};
// These go through the copy into a dense tile.
constexpr Layout kColumnLayouts[] = {
    {"every_other_col", 8, 4, 1, 0},
    {"col_stride_6", 6, 3, 1, 1},
    {"reversed_cols", -4, 0, 1, 0},
    {"reversed_both", -8, 0, -1, 1},
    {"repeated_col", 0, 4, 1, 2},
};

// A random float32 matrix in a byte buffer sized to exactly its elements' span. Bytes between
// elements hold 0xFF (a NaN), so a kernel reading padding or skipped columns produces NaN.
struct TestMatrix {
    std::vector<std::byte> bytes;
    MatrixView view{};

    TestMatrix(std::size_t rows, std::size_t cols, const Layout& l, Rng& rng) {
        const std::ptrdiff_t cs = l.col_stride;
        const std::ptrdiff_t rs =
            l.row_sign * (std::abs(cs) * static_cast<std::ptrdiff_t>(cols) + l.row_pad);
        std::ptrdiff_t lo = 0, hi = 0;  // span of element bytes relative to element (0, 0)
        if (rows != 0 && cols != 0) {
            const std::ptrdiff_t r = static_cast<std::ptrdiff_t>(rows - 1) * rs;
            const std::ptrdiff_t c = static_cast<std::ptrdiff_t>(cols - 1) * cs;
            lo = std::min<std::ptrdiff_t>(r, 0) + std::min<std::ptrdiff_t>(c, 0);
            hi = std::max<std::ptrdiff_t>(r, 0) + std::max<std::ptrdiff_t>(c, 0) + 4;
        }
        bytes.assign(l.misalign + static_cast<std::size_t>(hi - lo), std::byte{0xFF});
        view = {bytes.data() + l.misalign - lo, rows, cols, rs, cs};
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) store(view, i, j, rng.uniform());
    }
};

std::vector<float> random_vector(std::size_t n, Rng& rng) {
    std::vector<float> v(n);
    for (float& x : v) x = rng.uniform();
    return v;
}

// Exact-enough float64 dot and the sum of |products| that bounds float32 rounding error.
struct Reference {
    double value = 0.0;
    double magnitude = 0.0;
};

Reference reference(const MatrixView& m, std::size_t row, const float* vec) {
    Reference ref;
    for (std::size_t j = 0; j < m.cols; ++j) {
        const double p = static_cast<double>(load(m, row, j)) * static_cast<double>(vec[j]);
        ref.value += p;
        ref.magnitude += std::fabs(p);
    }
    return ref;
}

// Float32 summation in any order of n products is within about n * 2^-24 * sum|products|.
double tolerance(const Reference& ref, std::size_t cols) {
    return ref.magnitude * static_cast<double>(cols + 2) * 0x1p-23;
}

bool close_to(float got, double want, double tol) {
    if (std::isnan(want)) return std::isnan(got);
    if (std::isinf(want)) return static_cast<double>(got) == want;
    return std::fabs(static_cast<double>(got) - want) <= tol;
}

// Runs every supported kernel with nvec = 1..kMaxVecs on (m, row_index, count) and checks each output
// against the float64 reference and against the portable kernel on a dense copy of the rows read,
// and that nothing outside out[v][0, count) for v < nvec is written.
void check_all_kernels(const MatrixView& m, const std::vector<std::uint64_t>* row_index,
                       std::size_t count, const std::vector<std::vector<float>>& vecs,
                       const std::string& what) {
    const std::uint64_t* idx = row_index ? row_index->data() : nullptr;
    auto row_of = [&](std::size_t i) { return idx ? static_cast<std::size_t>(idx[i]) : i; };
    const float* vp[kMaxVecs];
    for (std::size_t v = 0; v < kMaxVecs; ++v) vp[v] = vecs[v].data();

    std::vector<Reference> refs(kMaxVecs * count);
    for (std::size_t v = 0; v < kMaxVecs; ++v)
        for (std::size_t i = 0; i < count; ++i) refs[v * count + i] = reference(m, row_of(i), vp[v]);

    std::vector<float> dense(count * m.cols);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) dense[i * m.cols + j] = load(m, row_of(i), j);
    const MatrixView dense_view{reinterpret_cast<const std::byte*>(dense.data()), count, m.cols,
                              static_cast<std::ptrdiff_t>(m.cols * sizeof(float)),
                              static_cast<std::ptrdiff_t>(sizeof(float))};
    std::vector<std::vector<float>> portable(kMaxVecs, std::vector<float>(count));
    float* pp[kMaxVecs];
    for (std::size_t v = 0; v < kMaxVecs; ++v) pp[v] = portable[v].data();
    kn::dot_rows_with(Isa::portable, dense_view, nullptr, count, vp, kMaxVecs, pp);

    for (Isa isa : kIsas) {
        if (!kn::isa_supported(isa)) continue;
        for (std::size_t nvec = 1; nvec <= kMaxVecs; ++nvec) {
            std::vector<std::vector<float>> out(kMaxVecs, std::vector<float>(count + 1, kUnwritten));
            float* op[kMaxVecs];
            for (std::size_t v = 0; v < kMaxVecs; ++v) op[v] = out[v].data();
            kn::dot_rows_with(isa, m, idx, count, vp, nvec, op);

            for (std::size_t v = 0; v < kMaxVecs; ++v) {
                for (std::size_t i = 0; i <= count; ++i) {
                    const float got = out[v][i];
                    if (v >= nvec || i == count) {
                        CHECK_MSG(got == kUnwritten, what << " isa=" << kn::isa_name(isa)
                                  << " nvec=" << nvec << ": wrote out[" << v << "][" << i << "]");
                        continue;
                    }
                    const Reference& ref = refs[v * count + i];
                    const double tol = tolerance(ref, m.cols);
                    CHECK_MSG(close_to(got, ref.value, tol) && close_to(got, portable[v][i], 2 * tol),
                              what << " isa=" << kn::isa_name(isa) << " nvec=" << nvec << " out["
                                   << v << "][" << i << "] (row " << row_of(i) << ") = " << got
                                   << ", float64 " << ref.value << ", portable " << portable[v][i]
                                   << ", tol " << tol);
                }
            }
        }
    }
}

// Row indices for a gathered call: every row in shuffled order, then some repeated ones.
std::vector<std::uint64_t> shuffled_with_repeats(std::size_t rows, std::size_t extra, Rng& rng) {
    std::vector<std::uint64_t> idx(rows);
    for (std::size_t i = 0; i < rows; ++i) idx[i] = i;
    for (std::size_t i = rows; i > 1; --i) std::swap(idx[i - 1], idx[rng.below(i)]);
    for (std::size_t e = 0; rows != 0 && e < extra; ++e) idx.push_back(idx[rng.below(rows)]);
    return idx;
}

void check_layouts(const Layout* layouts, std::size_t nlayouts, std::uint64_t seed) {
    Rng rng{seed};
    for (std::size_t li = 0; li < nlayouts; ++li) {
        const Layout& l = layouts[li];
        for (std::size_t cols : kColsTable) {
            for (std::size_t rows : kRowsTable) {
                TestMatrix m(rows, cols, l, rng);
                std::vector<std::vector<float>> vecs;
                for (std::size_t v = 0; v < kMaxVecs; ++v) vecs.push_back(random_vector(cols, rng));
                // Long enough for the kernels to prefetch gathered rows ahead of the ones read.
                const std::vector<std::uint64_t> idx = shuffled_with_repeats(rows, 2 * rows + 29, rng);
                const std::string what = std::string(l.name) + " rows=" + std::to_string(rows) +
                                         " cols=" + std::to_string(cols);
                check_all_kernels(m.view, nullptr, rows, vecs, what + " sequential");
                check_all_kernels(m.view, &idx, idx.size(), vecs, what + " gathered");
            }
        }
    }
}

TEST(dot_rows_read_in_place) {
    check_layouts(kRowLayouts, std::size(kRowLayouts), 1);
}

TEST(dot_strided_columns) {
    check_layouts(kColumnLayouts, std::size(kColumnLayouts), 2);
}

// Long rows (scored in column chunks when strided), many row blocks, long gathered index lists
// (prefetch runs ahead of the rows being read and must stop at the end of the list).
TEST(dot_long_rows_and_long_index_lists) {
    Rng rng{3};
    constexpr Layout layouts[] = {kRowLayouts[1], kColumnLayouts[0], kColumnLayouts[3]};
    for (const Layout& l : layouts) {
        for (std::size_t cols : {1u, 5u, 1023u, 1024u, 1025u, 2500u}) {
            const std::size_t rows = 300;
            TestMatrix m(rows, cols, l, rng);
            std::vector<std::vector<float>> vecs;
            for (std::size_t v = 0; v < kMaxVecs; ++v) vecs.push_back(random_vector(cols, rng));
            std::vector<std::uint64_t> idx(701);
            for (auto& r : idx) r = rng.below(rows);
            const std::string what = std::string(l.name) + " cols=" + std::to_string(cols);
            check_all_kernels(m.view, nullptr, rows, vecs, what + " sequential");
            check_all_kernels(m.view, &idx, idx.size(), vecs, what + " gathered");
        }
    }
}

// NaN and infinities in rows or vectors, in the vectorised body and in the tail of a row, and
// their effect confined to the outputs that read them.
TEST(dot_nonfinite_values) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    struct Poke {
        const char* name;
        float row_value, row_value2, vec_value;  // row_value2 goes one column further on
        bool in_row, in_vec;
    };
    constexpr Poke pokes[] = {
        {"+inf in row", inf, 0, 0, true, false},
        {"-inf in row", -inf, 0, 0, true, false},
        {"nan in row", nan, 0, 0, true, false},
        {"+inf and -inf in row", inf, -inf, 0, true, false},
        {"inf in row times 0", inf, 0, 0.0f, true, true},
        {"+inf in vector", 0, 0, inf, false, true},
        {"nan in vector", 0, 0, nan, false, true},
    };
    Rng rng{4};
    for (std::size_t cols : {2u, 7u, 17u, 33u, 385u}) {
        for (std::size_t col : {std::size_t{0}, cols / 2, cols - 2, cols - 1}) {
            for (const Poke& p : pokes) {
                const std::size_t rows = 6;
                TestMatrix m(rows, cols, kRowLayouts[0], rng);
                std::vector<std::vector<float>> vecs;
                for (std::size_t v = 0; v < kMaxVecs; ++v) vecs.push_back(random_vector(cols, rng));
                const std::size_t next = col + 1 < cols ? col + 1 : 0;
                if (p.in_row) {
                    store(m.view, 2, col, p.row_value);
                    if (p.row_value2 != 0) store(m.view, 2, next, p.row_value2);
                }
                if (p.in_vec) vecs[1][col] = p.vec_value;
                std::vector<std::uint64_t> idx = {2, 0, 2, 5, 1};
                const std::string what = std::string(p.name) + " cols=" + std::to_string(cols) +
                                         " col=" + std::to_string(col);
                check_all_kernels(m.view, nullptr, rows, vecs, what + " sequential");
                check_all_kernels(m.view, &idx, idx.size(), vecs, what + " gathered");
            }
        }
    }
}

TEST(dot_rows_dispatches_to_best_isa) {
    CHECK(kn::isa_supported(kn::best_isa()));
#if defined(__aarch64__)
    CHECK(kn::best_isa() == Isa::neon);  // part of every 64-bit ARM CPU
#elif !defined(__x86_64__) && !defined(__i386__)
    CHECK(kn::best_isa() == Isa::portable);
#endif
    std::printf("    kernels checked on this CPU:");
    for (Isa isa : kIsas)
        if (kn::isa_supported(isa)) std::printf(" %s", kn::isa_name(isa));
    std::printf(" (dot_rows uses %s)\n", kn::isa_name(kn::best_isa()));
    Rng rng{6};
    const std::size_t rows = 13, cols = 385;
    TestMatrix m(rows, cols, kRowLayouts[1], rng);
    std::vector<std::vector<float>> vecs, out(4, std::vector<float>(rows));
    for (std::size_t v = 0; v < 2; ++v) vecs.push_back(random_vector(cols, rng));
    const float* vp[2] = {vecs[0].data(), vecs[1].data()};
    float* dispatched[2] = {out[0].data(), out[1].data()};
    float* forced[2] = {out[2].data(), out[3].data()};
    kn::dot_rows(m.view, nullptr, rows, vp, 2, dispatched);
    kn::dot_rows_with(kn::best_isa(), m.view, nullptr, rows, vp, 2, forced);
    CHECK_MSG(out[0] == out[2] && out[1] == out[3], "best isa " << kn::isa_name(kn::best_isa()));
}

#if defined(__linux__)
// Matrices that end exactly at an unreadable page, or start exactly after one: tail loads that
// touch a byte past the last element (or before the first) fault.
TEST(dot_reads_nothing_outside_the_matrix) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t data_pages = (5 * 385 * 8 + 64) / page + 1;
    const std::size_t map_bytes = (data_pages + 2) * page;
    void* map = mmap(nullptr, map_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    REQUIRE(map != MAP_FAILED);
    std::byte* const lo = static_cast<std::byte*>(map) + page;  // first readable byte
    std::byte* const hi = lo + data_pages * page;                // first unreadable byte after
    REQUIRE(mprotect(map, page, PROT_NONE) == 0);
    REQUIRE(mprotect(hi, page, PROT_NONE) == 0);

    struct Placement {
        const char* name;
        std::ptrdiff_t col_stride, row_pad;
        bool reversed;  // rows descend in memory, the last one starting at `lo`
    };
    constexpr Placement placements[] = {
        {"dense at end", 4, 0, false},      {"odd stride at end", 4, 1, false},
        {"dense at start", 4, 0, true},     {"odd stride at start", 4, 3, true},
        {"every other col at end", 8, 0, false},
    };
    Rng rng{7};
    const std::size_t rows = 5;
    for (const Placement& p : placements) {
        for (std::size_t cols : kColsTable) {
            if (cols == 0) continue;
            const std::ptrdiff_t span =
                static_cast<std::ptrdiff_t>(cols - 1) * p.col_stride + 4;  // one row's bytes
            const std::ptrdiff_t rs = span + p.row_pad;
            const std::ptrdiff_t total = static_cast<std::ptrdiff_t>(rows - 1) * rs + span;
            std::memset(lo, 0xFF, static_cast<std::size_t>(hi - lo));
            const MatrixView m = p.reversed
                ? MatrixView{lo + (total - span), rows, cols, -rs, p.col_stride}
                : MatrixView{hi - total, rows, cols, rs, p.col_stride};
            for (std::size_t i = 0; i < rows; ++i)
                for (std::size_t j = 0; j < cols; ++j) store(m, i, j, rng.uniform());
            std::vector<std::vector<float>> vecs;
            for (std::size_t v = 0; v < kMaxVecs; ++v) vecs.push_back(random_vector(cols, rng));
            const std::vector<std::uint64_t> idx = {4, 0, 4, 3, 1, 2, 4};
            const std::string what = std::string(p.name) + " cols=" + std::to_string(cols);
            check_all_kernels(m, nullptr, rows, vecs, what + " sequential");
            check_all_kernels(m, &idx, idx.size(), vecs, what + " gathered");
        }
    }
    munmap(map, map_bytes);
}
#endif

}  // namespace

namespace {

// A row's result does not depend on how many rows one call scores or where the row sits among
// them (selection code computes the same similarity in a pass over many rows and for one row
// alone, and relies on equal bits).
TEST(dot_row_result_independent_of_its_place_in_the_call) {
    Rng rng{8};
    for (std::size_t cols : {1u, 7u, 16u, 33u, 100u, 384u, 385u}) {
        const std::size_t rows = 23;
        TestMatrix m(rows, cols, kRowLayouts[1], rng);
        std::vector<std::vector<float>> vecs;
        for (std::size_t v = 0; v < 3; ++v) vecs.push_back(random_vector(cols, rng));
        const float* vp[3] = {vecs[0].data(), vecs[1].data(), vecs[2].data()};
        for (Isa isa : kIsas) {
            if (!kn::isa_supported(isa)) continue;
            for (std::size_t nvec = 1; nvec <= 3; ++nvec) {
                std::vector<std::vector<float>> all(3, std::vector<float>(rows));
                float* ap[3] = {all[0].data(), all[1].data(), all[2].data()};
                kn::dot_rows_with(isa, m.view, nullptr, rows, vp, nvec, ap);
                for (std::size_t i = 0; i < rows; ++i) {
                    MatrixView one = m.view;
                    one.data += static_cast<std::ptrdiff_t>(i) * one.row_stride;
                    one.rows = 1;
                    float alone[3];
                    float* op[3] = {&alone[0], &alone[1], &alone[2]};
                    kn::dot_rows_with(isa, one, nullptr, 1, vp, nvec, op);
                    for (std::size_t v = 0; v < nvec; ++v)
                        CHECK_MSG(std::memcmp(&alone[v], &all[v][i], sizeof(float)) == 0,
                                  kn::isa_name(isa) << " cols=" << cols << " nvec=" << nvec
                                  << " row " << i << ": " << alone[v] << " alone, " << all[v][i]);
                }
            }
        }
    }
}

}  // namespace

#include "scoring/scan.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "kernels/dot.hpp"

namespace tarnexa::scoring {
namespace {

constexpr std::size_t kBlock = 1024;

// Row modulations for one block, in their fixed order: trajectory blend, decay, mask,
// threshold, contrastive penalty. The final scores are written over `sim` in a branch-free
// loop the compiler can vectorise, then offered to the pool.
template <bool kTraj, bool kDecay, bool kMask, bool kThreshold, bool kContrast>
void modulate_block(const SimilarityScan& s, std::size_t base, std::size_t n, float* __restrict sim,
                    const float* __restrict traj, const float* __restrict contra, TopK& pool) {
    const std::uint64_t* rows = s.rows ? s.rows + base : nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t row = rows ? static_cast<std::size_t>(rows[i]) : base + i;
        sim[i] = modulate_row<kTraj, kDecay, kMask, kThreshold, kContrast>(
            s, row, sim[i], kTraj ? traj[i] : 0.0f, kContrast ? contra[i] : 0.0f);
    }
    for (std::size_t i = 0; i < n; ++i) pool.offer(sim[i], base + i);
}

using BlockFn = void (*)(const SimilarityScan&, std::size_t, std::size_t, float*, const float*, const float*, TopK&);

// One instantiation per combination of modulations keeps the per-row loop free of tests.
template <unsigned kBits>
constexpr BlockFn block_fn() {
    return &modulate_block<(kBits & 1) != 0, (kBits & 2) != 0, (kBits & 4) != 0, (kBits & 8) != 0,
                           (kBits & 16) != 0>;
}

template <unsigned... kBits>
constexpr auto make_table(std::integer_sequence<unsigned, kBits...>) {
    return std::array<BlockFn, sizeof...(kBits)>{block_fn<kBits>()...};
}

constexpr auto kBlockFns = make_table(std::make_integer_sequence<unsigned, 32>{});

}  // namespace

void run_scan(const SimilarityScan& s, TopK& pool) {
    const unsigned bits = modulation_bits(s);
    const BlockFn modulate = kBlockFns[bits];

    const float* vecs[3];
    std::size_t nvec = 0;
    vecs[nvec++] = s.query;
    const std::size_t traj_slot = nvec;
    if (s.trajectory) vecs[nvec++] = s.trajectory;
    const std::size_t contra_slot = nvec;
    if (s.contrastive) vecs[nvec++] = s.contrastive;

    alignas(64) float buf[3][kBlock];
    float* out[3] = {buf[0], buf[1], buf[2]};
    for (std::size_t base = 0; base < s.count; base += kBlock) {
        const std::size_t n = std::min(kBlock, s.count - base);
        if (s.rows) {
            kernels::dot_rows(s.matrix, s.rows + base, n, vecs, nvec, out);
        } else {
            MatrixView block = s.matrix;
            block.data += static_cast<std::ptrdiff_t>(base) * block.row_stride;
            block.rows = n;
            kernels::dot_rows(block, nullptr, n, vecs, nvec, out);
        }
        modulate(s, base, n, buf[0], buf[traj_slot], buf[contra_slot], pool);
    }
}

}  // namespace tarnexa::scoring

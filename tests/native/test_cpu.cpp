// The CPU feature mask against the compiler's own detection, and each dispatch's choice from it.
#include <iterator>

#include "kernels/cpu.hpp"
#include "kernels/dot.hpp"
#include "kernels/int8.hpp"
#include "native_test.hpp"

namespace {

namespace kn = tarnexa::kernels;
using kn::Isa;

TEST(cpu_features_agree_with_the_compiler) {
    const kn::Features f = kn::cpu_features();
#if TARNEXA_KERNELS_X86
    __builtin_cpu_init();
    const struct {
        kn::Feature feature;
        bool has;
    } table[] = {{kn::kAvx2, __builtin_cpu_supports("avx2") != 0},
                 {kn::kFma, __builtin_cpu_supports("fma") != 0},
                 {kn::kAvx512f, __builtin_cpu_supports("avx512f") != 0},
                 {kn::kAvx512bw, __builtin_cpu_supports("avx512bw") != 0},
                 {kn::kAvx512dq, __builtin_cpu_supports("avx512dq") != 0},
                 {kn::kAvx512vl, __builtin_cpu_supports("avx512vl") != 0},
                 {kn::kAvx512vnni, __builtin_cpu_supports("avx512vnni") != 0}};
    for (const auto& t : table) CHECK_MSG(((f & t.feature) != 0) == t.has, "feature bit " << t.feature);
    CHECK((f & (kn::kNeon | kn::kDotprod)) == 0);
#elif TARNEXA_KERNELS_NEON
    CHECK((f & kn::kNeon) != 0 && (f & ~(kn::kNeon | kn::kDotprod)) == 0);
#else
    CHECK(f == 0);
#endif
}

// Each dispatch takes the last kernel of its list whose features the CPU has, and no other.
template <std::size_t N>
void check_choice(const Isa (&kernels)[N], Isa best, bool (*supported)(Isa)) {
    bool after = false;
    for (Isa isa : kernels) {
        const bool runs = (kn::cpu_features() & kn::isa_needs(isa)) == kn::isa_needs(isa);
        CHECK_MSG(supported(isa) == runs && kn::cpu_runs(isa) == runs, kn::isa_name(isa));
        if (after) CHECK_MSG(!runs, kn::isa_name(isa) << " runs but " << kn::isa_name(best) << " was chosen");
        after = after || isa == best;
    }
    CHECK(after && supported(best));
}

TEST(dispatches_choose_from_the_mask) {
    check_choice(kn::kDotKernels, kn::best_isa(), &kn::isa_supported);
    check_choice(kn::kInt8Kernels, kn::int8_best_isa(), &kn::int8_isa_supported);
    CHECK(!kn::isa_supported(Isa::neon_sdot) && !kn::isa_supported(Isa::avx512_vnni));  // int8 kernels only
    CHECK(!kn::int8_isa_supported(Isa::avx512));                                       // a float32 kernel only
}

}  // namespace

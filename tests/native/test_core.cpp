// The Python-free core end to end on small inputs: the modifier parser, the scoring pipeline
// (scan, modulations, pool, diverse choice) and MMR selection. Expected values are exact float32
// results, rounded as the pipeline reports them.
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "mmr/mmr.hpp"
#include "modifiers/modifiers.hpp"
#include "native_test.hpp"
#include "scoring/score.hpp"

namespace {

using tarnexa::BoolView;
using tarnexa::MatrixView;
using tarnexa::VecView;
namespace sc = tarnexa::scoring;

// The fields that differ from their defaults, on one line.
std::string render(const tarnexa::modifiers::Modifiers& m) {
    std::ostringstream s;
    if (m.recent) s << "recent ";
    if (m.recent_days) s << "days=" << *m.recent_days << ' ';
    if (m.unlike) s << "unlike=[" << *m.unlike << "] ";
    if (m.diverse) s << "diverse ";
    if (m.limit) s << "limit=" << *m.limit << ' ';
    if (m.like) {
        s << "like=";
        for (const std::string& id : *m.like) s << '[' << id << ']';
        s << ' ';
    }
    if (m.trajectory_from) s << "from=[" << *m.trajectory_from << "] ";
    if (m.trajectory_to) s << "to=[" << *m.trajectory_to << "] ";
    if (m.local_communities) s << "communities ";
    return s.str();
}

TEST(parse_modifiers_table) {
    const struct {
        const char* line;
        const char* parsed;
    } cases[] = {
        {"", ""},
        {"recent:7 unlike:cats diverse limit:5 like:a,b from: new york to: boston",
         "recent days=7 unlike=[cats] diverse limit=5 like=[a][b] from=[new york] to=[boston] "},
        {"recent:-3 limit:18446744073709551615", "recent days=-3 limit=18446744073709551615 "},
        {"recent:7d limit:-5 limit:x Recent diverse:1", "recent "},
        {"like:a,,b like:c unlike: detect_communities", "unlike=[] like=[c] communities "},
        {"from: a to: b recent:3", "recent days=3 from=[a] to=[b] "},
        {"from:a\tto:b", ""},
        {"\xe3\x80\x80limit:4\xe2\x80\xa9", "limit=4 "},  // U+3000 and U+2029 separate
        {"\xe2\x80\x8blimit:4", ""},                      // U+200B does not
    };
    for (const auto& c : cases) {
        const std::string got = render(tarnexa::modifiers::parse_modifiers(c.line));
        CHECK_MSG(got == c.parsed, "\"" << c.line << "\" gave \"" << got << "\"");
    }
}

// Four unit rows of two dims: query (1, 0) scores them 1, 0.6, 0, -1.
const float kMatrix[4][2] = {{1, 0}, {0.6f, 0.8f}, {0, 1}, {-1, 0}};
const float kX[2] = {1, 0}, kY[2] = {0, 1}, kTwoY[2] = {0, 2};
const float kNanX[2] = {std::numeric_limits<float>::quiet_NaN(), 0};
const std::uint8_t kMaskB[4] = {1, 0, 1, 1};
constexpr double kNow = 1e9;
const double kThirtyDaysOld[4] = {kNow - 30 * 86400.0, 0, 0, 0};

VecView<float> vec(const float* v, std::size_t n = 2) {
    return {reinterpret_cast<const std::byte*>(v), n, sizeof(float)};
}

sc::Request base_request() {
    sc::Request r;
    r.matrix = {reinterpret_cast<const std::byte*>(kMatrix), 4, 2, 2 * sizeof(float), sizeof(float)};
    r.n_ids = 4;
    r.query = vec(kX);
    r.clock = [] { return kNow; };
    return r;
}

BoolView mask_of(std::size_t len) { return {{reinterpret_cast<const std::byte*>(kMaskB), len, 1}}; }

// (id index, score) of each hit, or (row, mmr score) of each pick.
using Hits = std::vector<std::pair<std::uint64_t, double>>;

Hits run(const sc::Request& r) {
    Hits hits;
    for (const sc::Hit& h : sc::score_candidates(r).hits) hits.emplace_back(h.id_index, h.score);
    return hits;
}

std::string show(const Hits& hits) {
    std::ostringstream s;
    s.precision(17);
    for (const auto& [i, score] : hits) s << '(' << i << ", " << score << ") ";
    return s.str();
}

// The message of the fault `call` raises, or "(none)" when it returns.
template <class F>
std::string fault_of(F call) {
    try {
        call();
    } catch (const tarnexa::Fault& e) {
        return e.message();
    }
    return "(none)";
}

TEST(score_candidates_modulations) {
    const struct {
        const char* name;
        void (*setup)(sc::Request&);
        Hits want;
    } cases[] = {
        {"plain", [](sc::Request&) {}, {{0, 1.0}, {1, 0.6}, {2, 0.0}, {3, -1.0}}},
        {"limit", [](sc::Request& r) { r.limit = 2; }, {{0, 1.0}, {1, 0.6}}},
        {"threshold", [](sc::Request& r) { r.threshold = 0.5f; }, {{0, 1.0}, {1, 0.6}}},
        {"mask", [](sc::Request& r) { r.mask = mask_of(4); },
         {{0, 1.0}, {2, 0.0}, {3, -1.0}}},
        {"pre-filter with a repeat", [](sc::Request& r) { r.pre_filter_rows = {{2, 0, 0}}; },
         {{0, 1.0}, {0, 1.0}, {2, 0.0}}},
        {"empty pre-filter", [](sc::Request& r) { r.pre_filter_rows = std::vector<std::uint64_t>{}; }, {}},
        {"contrastive after threshold",
         [](sc::Request& r) { r.not_like = vec(kTwoY); r.threshold = 0.5f; }, {{0, 1.0}, {1, 0.2}}},
        {"contrastive", [](sc::Request& r) { r.not_like = vec(kTwoY); },
         {{0, 1.0}, {1, 0.2}, {2, -0.5}, {3, -1.0}}},
        {"decay", [](sc::Request& r) {
             r.recent = true;
             r.timestamps = VecView<double>{reinterpret_cast<const std::byte*>(kThirtyDaysOld), 4};
         }, {{1, 0.6}, {0, 0.5}, {2, 0.0}, {3, -1.0}}},
        {"trajectory", [](sc::Request& r) { r.traj_from = vec(kX); r.traj_to = vec(kY); },
         {{0, 0.4879}, {1, 0.4624}, {2, 0.2121}, {3, -0.4879}}},
        {"like", [](sc::Request& r) { r.like_rows = {{2}}; },
         {{1, 0.9899}, {0, 0.7071}, {2, 0.7071}, {3, -0.7071}}},
        {"diverse", [](sc::Request& r) { r.diverse = true; r.oversample = 4; r.limit = 2; },
         {{0, 0.7}, {1, 0.24}}},
        {"diverse pool not above limit", [](sc::Request& r) { r.diverse = true; r.oversample = 1; },
         {{0, 1.0}}},
        {"NaN query", [](sc::Request& r) { r.query = vec(kNanX); }, {}},
        {"short query", [](sc::Request& r) { r.query = vec(kX, 1); }, {}},
    };
    for (const auto& c : cases) {
        sc::Request r = base_request();
        c.setup(r);
        const Hits got = run(r);
        CHECK_MSG(got == c.want, c.name << ": " << show(got));
    }
}

TEST(mmr_select_and_row_faults) {
    // Rows 0 and 1 are equal, row 2 is orthogonal to both.
    const float m[3][2] = {{1, 0}, {1, 0}, {0, 1}};
    const float sims[3] = {0.9f, 0.8f, 0.5f};
    const MatrixView mv{reinterpret_cast<const std::byte*>(m), 3, 2, 2 * sizeof(float), sizeof(float)};
    const VecView<float> sv = vec(sims, 3);
    const std::vector<std::uint64_t> all = {0, 1, 2};
    const struct {
        const char* name;
        std::vector<std::uint64_t> candidates;
        std::uint64_t k;
        double lambda;
        Hits want;
    } cases[] = {
        {"near duplicate falls behind", all, 3, 0.7,
         {{0, 0.6299999833106994}, {2, 0.35}, {1, 0.2600000083446502}}},
        {"k = 0 still picks the first", {1, 0}, 0, 0.7, {{1, double(0.8f) * 0.7}}},
        {"k beyond n", {2, 2}, 5, 1.0, {{2, 0.5}, {2, 0.5}}},
        {"lambda 1 ranks by relevance", {2, 1, 0}, 3, 1.0, {{2, 0.5}, {0, double(0.9f)}, {1, double(0.8f)}}},
        {"empty", {}, 3, 0.7, {}},
    };
    for (const auto& c : cases) {
        const Hits got = tarnexa::mmr::mmr_select(c.candidates, sv, mv, c.k, c.lambda);
        CHECK_MSG(got == c.want, c.name << ": " << show(got));
    }
    // Rows out of range are faults, also where the pipeline gathers its pre-filter.
    const std::vector<std::uint64_t> bad = {0, 3};
    CHECK(fault_of([&] { tarnexa::mmr::mmr_select(bad, sv, mv, 0, 0.7); }) ==
          "assertion failed: index < dim");
    sc::Request r = base_request();
    r.pre_filter_rows = {{1, 4}};
    CHECK(fault_of([&] { sc::score_candidates(r); }) == "assertion failed: index < dim");
    r = base_request();
    r.mask = mask_of(3);
    CHECK(fault_of([&] { sc::score_candidates(r); }) != "(none)");
}

}  // namespace

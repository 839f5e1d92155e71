#include "scoring/score.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "mmr/mmr.hpp"
#include "scoring/prepare.hpp"
#include "scoring/scan.hpp"

namespace tarnexa::scoring {

double round4(double x) noexcept { return std::round(x * 10000.0) / 10000.0; }

namespace {

// The scored rows of a pre-filter must name existing rows of the matrix, the ids and the
// per-row arrays; they are checked in that order.
void check_pre_filter_rows(const Request& r, const std::vector<std::uint64_t>& rows) {
    for (std::uint64_t row : rows)
        if (row >= r.matrix.rows) fault("assertion failed: index < dim");
    for (std::uint64_t row : rows) check_index(row, r.n_ids);
    if (r.timestamps)
        for (std::uint64_t row : rows) (void)r.timestamps->at(row);
    if (r.mask)
        for (std::uint64_t row : rows) (void)r.mask->at(row);
}

void check_length(const char* what, std::size_t len, std::size_t dims) {
    if (len != dims) {
        fault(std::string(what) + " has " + std::to_string(len) + " elements but the matrix has " +
              std::to_string(dims) + " columns");
    }
}

std::uint64_t id_index_of(const Request& r, std::uint64_t pos) {
    const std::uint64_t id = r.pre_filter_rows ? (*r.pre_filter_rows)[pos] : pos;
    check_index(id, r.n_ids);
    return id;
}

// The call's own query-side vectors, which the scan reads.
struct QueryVectors {
    Vector query;
    std::optional<Vector> trajectory;
    std::optional<Vector> contrastive;
};

// The scan over the scored rows (`rows` null: every row of the matrix) with every modulation the
// request asks for. Every check that can fault runs here, before the scan, in the order of the
// modulations.
SimilarityScan scan_of(const Request& r, QueryVectors& v, const std::uint64_t* rows, std::size_t count) {
    const std::size_t dims = r.matrix.cols;
    SimilarityScan scan;
    scan.matrix = r.matrix;
    scan.rows = rows;
    scan.count = count;
    scan.query = v.query.data();
    if (v.trajectory) {
        check_length("the trajectory direction", v.trajectory->size(), dims);
        scan.trajectory = v.trajectory->data();
    }
    if (r.recent && r.timestamps) {
        if (!rows && r.timestamps->size() < count) array_index_fault(r.timestamps->size(), r.timestamps->size());
        scan.decay = Decay{r.clock ? r.clock() : system_clock_seconds(), half_life_of(r.recent_days)};
        scan.timestamps = &*r.timestamps;
    }
    if (r.mask) {
        if (!rows && r.mask->size() < count) array_index_fault(r.mask->size(), r.mask->size());
        scan.mask = &*r.mask;
    }
    scan.threshold = r.threshold;
    if (r.not_like) {
        v.contrastive = copy_of(*r.not_like);
        unit_normalize(*v.contrastive);
        check_length("not_like_vec", v.contrastive->size(), dims);
        scan.contrastive = v.contrastive->data();
    }
    return scan;
}

// The diverse choice of r.limit entries of the pool, reported with their mmr scores.
std::vector<Hit> diverse_hits(const Request& r, const std::vector<PoolEntry>& pool, const std::uint64_t* rows) {
    std::vector<std::uint64_t> positions(pool.size()), matrix_rows(pool.size());
    std::vector<double> relevance(pool.size());
    for (std::size_t i = 0; i < pool.size(); ++i) {
        positions[i] = pool[i].pos;
        matrix_rows[i] = rows ? rows[pool[i].pos] : pool[i].pos;
        relevance[i] = static_cast<double>(pool[i].score);
    }
    mmr::Selection chosen = mmr::select_gathered(
        positions, relevance, mmr::gather_candidates(r.matrix, matrix_rows, r.limit), r.limit, r.mmr_lambda);
    std::vector<Hit> hits;
    hits.reserve(chosen.size());
    for (const auto& [pos, score] : chosen) hits.push_back({id_index_of(r, pos), round4(score)});
    return hits;
}

// The pool's best r.limit entries in score order.
std::vector<Hit> plain_hits(const Request& r, const std::vector<PoolEntry>& pool) {
    const std::size_t n = std::min<std::uint64_t>(pool.size(), r.limit);
    std::vector<Hit> hits;
    hits.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        hits.push_back({id_index_of(r, pool[i].pos), round4(static_cast<double>(pool[i].score))});
    return hits;
}

}  // namespace

std::optional<Outcome> mismatched(const Request& r) {
    if (r.n_ids == 0 || r.query.size() == r.matrix.cols) return std::nullopt;
    Outcome out;
    out.dimension_mismatch = true;
    out.query_len = r.query.size();
    out.dims = r.matrix.cols;
    return out;
}

Outcome score_candidates(const Request& r) {
    Outcome out;
    if (r.n_ids == 0) return out;
    if (std::optional<Outcome> wrong = mismatched(r)) return std::move(*wrong);
    std::optional<Vector> query = prepare_query(r.matrix, r.query, r.like_rows);
    if (!query) return out;
    QueryVectors v{std::move(*query), std::nullopt, std::nullopt};
    if (r.traj_from && r.traj_to) v.trajectory = trajectory_direction(*r.traj_from, *r.traj_to);

    // Scored rows: every row, or the known pre-filter's.
    const std::uint64_t* rows = nullptr;
    std::size_t count = r.matrix.rows;
    if (r.pre_filter_rows) {
        if (r.pre_filter_rows->empty()) return out;
        check_pre_filter_rows(r, *r.pre_filter_rows);
        rows = r.pre_filter_rows->data();
        count = r.pre_filter_rows->size();
    }

    const SimilarityScan scan = scan_of(r, v, rows, count);
    TopK top(r.diverse ? r.oversample : r.limit, count);
    run_scan(scan, top);
    const std::vector<PoolEntry> pool = std::move(top).finish();
    out.hits = r.diverse && pool.size() > r.limit ? diverse_hits(r, pool, rows) : plain_hits(r, pool);
    return out;
}

}  // namespace tarnexa::scoring

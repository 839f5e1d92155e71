#include "scoring/prepare.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace tarnexa::scoring {

float unit_normalize(Vector& v) noexcept {
    // Eight independent float32 partial sums (the order of the sum is free), so the loop
    // vectorises instead of waiting on one chain of additions.
    constexpr std::size_t kLanes = 8;
    float part[kLanes] = {};
    const std::size_t n = v.size(), body = n - n % kLanes;
    for (std::size_t i = 0; i < body; i += kLanes)
        for (std::size_t l = 0; l < kLanes; ++l) part[l] += v[i + l] * v[i + l];
    for (std::size_t i = body; i < n; ++i) part[i - body] += v[i] * v[i];
    float s = ((part[0] + part[4]) + (part[1] + part[5])) + ((part[2] + part[6]) + (part[3] + part[7]));
    if (s > 0.0f) {
        const float norm = std::sqrt(s);
        for (float& x : v) x = x / norm;
    }
    return s;
}

Vector copy_of(const VecView<float>& v) {
    Vector out(v.size());
    if (v.stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
        if (!out.empty()) std::memcpy(out.data(), v.data, out.size() * sizeof(float));
    } else {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = v.get(i);
    }
    return out;
}

std::optional<Vector> prepare_query(const MatrixView& matrix, const VecView<float>& query,
                                    const std::optional<std::vector<std::uint64_t>>& like_rows) {
    Vector q = copy_of(query);
    const float energy = unit_normalize(q);
    if (!like_rows) return q;
    if (like_rows->empty()) return std::nullopt;
    for (std::uint64_t row : *like_rows) check_index(row, matrix.rows);

    Vector centroid(matrix.cols, 0.0f);
    for (std::uint64_t row : *like_rows)
        for (std::size_t c = 0; c < centroid.size(); ++c) centroid[c] += matrix.get(row, c);
    const float count = static_cast<float>(like_rows->size());
    for (float& x : centroid) x = x / count;
    unit_normalize(centroid);
    if (!(energy > 0.0f)) return centroid;

    for (std::size_t c = 0; c < q.size(); ++c) {
        const float a = q[c] * 0.5f;
        const float b = centroid[c] * 0.5f;
        q[c] = a + b;
    }
    unit_normalize(q);
    return q;
}

Vector trajectory_direction(const VecView<float>& from, const VecView<float>& to) {
    const std::size_t nf = from.size(), nt = to.size();
    if (nf != nt && nf != 1 && nt != 1) {
        fault("trajectory vectors differ in length: traj_from_vec has " + std::to_string(nf) +
              " elements, traj_to_vec has " + std::to_string(nt));
    }
    const std::size_t n = nf == nt ? nt : (nf == 1 ? nt : nf);
    Vector d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = to.get(nt == 1 ? 0 : i) - from.get(nf == 1 ? 0 : i);
    unit_normalize(d);
    return d;
}

}  // namespace tarnexa::scoring

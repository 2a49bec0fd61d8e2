#include "tracker.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>

#include "assignment.hpp"

namespace rm::track {

Target::Target(const Box& first, double iou_thr_, double pix_thr_)
    : last(first), anchor(first), iou_thr(iou_thr_), pix_thr(pix_thr_),
      // Nothing says a new target is moving; treating it as settled lets a parked car
      // count as still from its second frame, also after the trackers are reset.
      calm_frames(kSettleFrames) {}

void Target::observe(const Box& m) {
    last = m;
    if (iou(m, anchor) >= pix_thr) {
        if (calm_frames < kSettleFrames) ++calm_frames;
        still = calm_frames >= kSettleFrames;
    } else {
        anchor = m;
        calm_frames = 0;
        still = false;
    }
}

namespace {

struct Edge {
    int target, meas;
    double w;
};

int find(std::vector<int>& parent, int x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

// Solves one connected group of candidate pairs; writes matches into `match`.
void solve_group(const std::vector<Edge>& edges, std::vector<int>& match,
                 std::vector<int>& row_of, std::vector<int>& col_of) {
    if (edges.size() == 1) {
        match[edges[0].target] = edges[0].meas;
        return;
    }
    std::vector<int> rows, cols;
    for (const Edge& e : edges) {
        if (row_of[e.target] < 0) {
            row_of[e.target] = static_cast<int>(rows.size());
            rows.push_back(e.target);
        }
        if (col_of[e.meas] < 0) {
            col_of[e.meas] = static_cast<int>(cols.size());
            cols.push_back(e.meas);
        }
    }
    const int nr = static_cast<int>(rows.size()), nc = static_cast<int>(cols.size());
    std::vector<double> w(static_cast<std::size_t>(nr) * nc, 0.0);
    for (const Edge& e : edges) w[static_cast<std::size_t>(row_of[e.target]) * nc + col_of[e.meas]] = e.w;
    const std::vector<int> r2c = max_weight_assignment(w, nr, nc);
    for (int r = 0; r < nr; ++r) {
        const int c = r2c[r];
        // Zero cells are non-pairs the solver had to fill the square with.
        if (c >= 0 && w[static_cast<std::size_t>(r) * nc + c] > 0) match[rows[r]] = cols[c];
    }
    for (int t : rows) row_of[t] = -1;
    for (int mi : cols) col_of[mi] = -1;
}

}  // namespace

Association associate(const std::vector<Target*>& targets, const std::vector<int>& target_cls,
                      const std::vector<Box>& meas, const std::vector<int>& meas_cls) {
    const int n = static_cast<int>(targets.size());
    const int m = static_cast<int>(meas.size());
    Association out;
    out.match.assign(n, -1);

    // Candidate pairs. Thresholds apply before the matching, so it never trades a
    // valid pair for one that would be thrown away.
    std::vector<Edge> edges;
    for (int i = 0; i < n; ++i) {
        const Target& tg = *targets[i];
        for (int j = 0; j < m; ++j) {
            if (target_cls[i] != meas_cls[j]) continue;
            const double v = iou(tg.last, meas[j]);
            if (v > 0 && v >= tg.iou_thr) edges.push_back({i, j, v});
        }
    }

    // Pairs in different connected groups never compete; solving each group on its
    // own keeps the usual case (separate targets) linear.
    std::vector<int> parent(static_cast<std::size_t>(n) + m);
    std::iota(parent.begin(), parent.end(), 0);
    for (const Edge& e : edges) {
        const int a = find(parent, e.target), b = find(parent, n + e.meas);
        if (a != b) parent[a] = b;
    }
    std::vector<std::vector<Edge>> groups;
    std::vector<int> group_of(static_cast<std::size_t>(n) + m, -1);
    for (const Edge& e : edges) {
        const int root = find(parent, e.target);
        if (group_of[root] < 0) {
            group_of[root] = static_cast<int>(groups.size());
            groups.emplace_back();
        }
        groups[group_of[root]].push_back(e);
    }
    std::vector<int> row_of(n, -1), col_of(m, -1);
    for (const auto& g : groups) solve_group(g, out.match, row_of, col_of);

    std::vector<char> taken(m, 0);
    for (int i = 0; i < n; ++i) {
        Target& tg = *targets[i];
        if (out.match[i] < 0) {
            tg.lose();
            out.departed.push_back(i);
            continue;
        }
        taken[out.match[i]] = 1;
        tg.observe(meas[out.match[i]]);
        if (tg.still) out.still.push_back(i);
    }
    for (int j = 0; j < m; ++j)
        if (!taken[j]) out.fresh.push_back(j);
    return out;
}

}  // namespace rm::track

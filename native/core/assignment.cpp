#include "assignment.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace rm::track {

namespace {

// Minimum-cost assignment of every row of an n x m cost matrix (row-major), n <= m.
// One Dijkstra-like shortest augmenting path per row over reduced costs, with row and
// column potentials (u, v) kept so that reduced costs stay non-negative.
std::vector<int> solve_rows(const std::vector<double>& cost, int n, int m) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> u(n, 0.0), v(m, 0.0), shortest(m);
    std::vector<int> col4row(n, -1), row4col(m, -1), path(m, -1), remaining(m);
    std::vector<char> seen_row(n), seen_col(m);

    for (int cur = 0; cur < n; ++cur) {
        std::fill(shortest.begin(), shortest.end(), inf);
        std::fill(seen_row.begin(), seen_row.end(), 0);
        std::fill(seen_col.begin(), seen_col.end(), 0);
        for (int k = 0; k < m; ++k) remaining[k] = m - 1 - k;
        int left = m, i = cur, sink = -1;
        double reach = 0;  // length of the shortest path found so far
        while (sink < 0) {
            seen_row[i] = 1;
            const double* row = cost.data() + static_cast<std::size_t>(i) * m;
            int best = -1;
            double lowest = inf;
            for (int k = 0; k < left; ++k) {
                const int j = remaining[k];
                const double r = reach + row[j] - u[i] - v[j];
                if (r < shortest[j]) {
                    path[j] = i;
                    shortest[j] = r;
                }
                // On ties prefer a free column: the search ends there.
                if (shortest[j] < lowest || (shortest[j] == lowest && row4col[j] < 0)) {
                    lowest = shortest[j];
                    best = k;
                }
            }
            reach = lowest;
            const int j = remaining[best];
            seen_col[j] = 1;
            remaining[best] = remaining[--left];
            if (row4col[j] < 0)
                sink = j;
            else
                i = row4col[j];
        }
        u[cur] += reach;
        for (int r = 0; r < n; ++r)
            if (seen_row[r] && r != cur) u[r] += reach - shortest[col4row[r]];
        for (int j = 0; j < m; ++j)
            if (seen_col[j]) v[j] -= reach - shortest[j];
        for (int j = sink;;) {
            const int r = path[j];
            row4col[j] = r;
            std::swap(col4row[r], j);
            if (r == cur) break;
        }
    }
    return col4row;
}

}  // namespace

std::vector<int> max_weight_assignment(const std::vector<double>& weights, int rows, int cols) {
    if (rows <= 0 || cols <= 0) return std::vector<int>(rows > 0 ? rows : 0, -1);
    const bool wide = rows <= cols;
    const int n = wide ? rows : cols, m = wide ? cols : rows;
    // Costs are negated weights, laid out with the shorter side as rows.
    std::vector<double> cost(static_cast<std::size_t>(n) * m);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const double x = weights[static_cast<std::size_t>(i) * cols + j];
            cost[wide ? static_cast<std::size_t>(i) * m + j : static_cast<std::size_t>(j) * m + i] =
                std::isfinite(x) ? -x : 0.0;
        }
    const std::vector<int> assigned = solve_rows(cost, n, m);
    if (wide) return assigned;
    std::vector<int> row_to_col(rows, -1);
    for (int j = 0; j < cols; ++j) row_to_col[assigned[j]] = j;
    return row_to_col;
}

}  // namespace rm::track

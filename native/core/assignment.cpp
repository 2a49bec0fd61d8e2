#include "assignment.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace rm::track {

namespace {

// Minimum-cost assignment of every row, n <= m, cost given by c(i, j) (0-based).
// Classic potentials formulation with a 1-based sentinel column 0.
template <class Cost>
std::vector<int> solve_rows(int n, int m, Cost c) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> u(n + 1, 0.0), v(m + 1, 0.0), minv(m + 1);
    std::vector<int> p(m + 1, 0), way(m + 1, 0);
    std::vector<char> used(m + 1);
    for (int i = 1; i <= n; ++i) {
        p[0] = i;
        int j0 = 0;
        std::fill(minv.begin(), minv.end(), inf);
        std::fill(used.begin(), used.end(), 0);
        do {
            used[j0] = 1;
            const int i0 = p[j0];
            double delta = inf;
            int j1 = 0;
            for (int j = 1; j <= m; ++j) {
                if (used[j]) continue;
                const double cur = c(i0 - 1, j - 1) - u[i0] - v[j];
                if (cur < minv[j]) {
                    minv[j] = cur;
                    way[j] = j0;
                }
                if (minv[j] < delta) {
                    delta = minv[j];
                    j1 = j;
                }
            }
            for (int j = 0; j <= m; ++j) {
                if (used[j]) {
                    u[p[j]] += delta;
                    v[j] -= delta;
                } else {
                    minv[j] -= delta;
                }
            }
            j0 = j1;
        } while (p[j0] != 0);
        do {
            const int j1 = way[j0];
            p[j0] = p[j1];
            j0 = j1;
        } while (j0 != 0);
    }
    std::vector<int> row_to_col(n, -1);
    for (int j = 1; j <= m; ++j)
        if (p[j] != 0) row_to_col[p[j] - 1] = j - 1;
    return row_to_col;
}

}  // namespace

std::vector<int> max_weight_assignment(const std::vector<double>& weights, int rows, int cols) {
    if (rows <= 0 || cols <= 0) return std::vector<int>(rows > 0 ? rows : 0, -1);
    auto w = [&](int i, int j) {
        const double x = weights[static_cast<std::size_t>(i) * cols + j];
        return std::isfinite(x) ? x : 0.0;
    };
    if (rows <= cols) return solve_rows(rows, cols, [&](int i, int j) { return -w(i, j); });
    // More rows than columns: assign every column to a row on the transpose.
    const std::vector<int> col_to_row = solve_rows(cols, rows, [&](int j, int i) { return -w(i, j); });
    std::vector<int> row_to_col(rows, -1);
    for (int j = 0; j < cols; ++j) row_to_col[col_to_row[j]] = j;
    return row_to_col;
}

}  // namespace rm::track

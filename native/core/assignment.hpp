// Optimal one-to-one assignment.
#pragma once
#include <vector>

namespace rm::track {

// Maximum-total-weight assignment on a dense rows x cols matrix (row-major).
// Returns, per row, its column or -1; exactly min(rows, cols) rows get one.
// Shortest augmenting paths with potentials (Jonker-Volgenant style): O(min^2 * max) time.
// Non-finite weights count as 0.
std::vector<int> max_weight_assignment(const std::vector<double>& weights, int rows, int cols);

}  // namespace rm::track

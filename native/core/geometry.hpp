// Plain numeric helpers for region rectangles and box values.
#pragma once
#include <cstddef>
#include <cstdint>

namespace rm::core {

// Index of the first smallest (or largest) value, comparing as `<` (or `>`) does:
// a NaN never wins over an earlier value and never loses to a later one.
std::size_t index_of_min(const double* v, std::size_t n);
std::size_t index_of_max(const double* v, std::size_t n);

// Largest magnitude at which every integer converts to a double exactly.
constexpr std::int64_t kExactDoubleInt = (std::int64_t{1} << 53);

}  // namespace rm::core

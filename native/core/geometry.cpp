#include "geometry.hpp"

namespace rm::core {

std::size_t index_of_min(const double* v, std::size_t n) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (v[i] < v[best]) best = i;
    return best;
}

std::size_t index_of_max(const double* v, std::size_t n) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (v[i] > v[best]) best = i;
    return best;
}

}  // namespace rm::core

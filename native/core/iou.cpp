#include "iou.hpp"

#include <algorithm>

namespace rm::track {

double area(const Box& a) {
    return std::max(0.0, a.r - a.l) * std::max(0.0, a.b - a.t);
}

double iou(const Box& a, const Box& b) {
    const double w = std::min(a.r, b.r) - std::max(a.l, b.l);
    const double h = std::min(a.b, b.b) - std::max(a.t, b.t);
    if (!(w > 0 && h > 0)) return 0.0;  // also rejects NaN
    const double inter = w * h;
    const double uni = area(a) + area(b) - inter;
    if (!(uni > 0)) return 0.0;
    // Rounding can push a contained pair a hair past 1.
    return std::min(1.0, inter / uni);
}

}  // namespace rm::track

// Axis-aligned boxes and their overlap.
#pragma once

namespace rm::track {

// Pixel box: left, top, right, bottom.
struct Box {
    double l = 0, t = 0, r = 0, b = 0;
};

// Area; an inverted box counts as empty rather than negative.
double area(const Box& a);

// Intersection over union in [0, 1]. Boxes that only touch, or a box without area,
// overlap nothing: the result is 0, never 0/0.
double iou(const Box& a, const Box& b);

}  // namespace rm::track

// Frame-to-frame association of tracked targets and the still test.
#pragma once
#include <vector>

#include "iou.hpp"

namespace rm::track {

// A target that has just moved must stay within pix_thr of where it stopped for this
// many frames before it counts as still again. Without it, a target walking a few
// pixels per frame would look still on most frames: every re-anchoring starts a new
// short stretch that is within detector jitter of the new anchor.
constexpr int kSettleFrames = 15;

struct Target {
    Target(const Box& first, double iou_thr, double pix_thr);

    // A measurement was matched to this target.
    void observe(const Box& m);
    // No measurement this frame.
    void lose() { still = false; }

    Box last;           // most recent box
    Box anchor;         // where the target settled (or last started moving from)
    double iou_thr;     // least IoU(last, measurement) for a match
    double pix_thr;     // least IoU(measurement, anchor) to count as not having moved
    int calm_frames;    // frames since the last re-anchoring, capped at kSettleFrames
    bool still = false;
};

struct Association {
    std::vector<int> match;     // per target: matched measurement or -1
    std::vector<int> fresh;     // unmatched measurements, ascending
    std::vector<int> still;     // matched targets that are still, ascending
    std::vector<int> departed;  // unmatched targets, ascending
};

// Matches targets to measurements and updates the matched targets in place.
// A pair may match only when the classes are equal and the IoU between the target's
// last box and the measurement is positive and at least the target's iou_thr; among
// such pairs the matching maximises the total IoU. Class ids are compared as given.
Association associate(const std::vector<Target*>& targets, const std::vector<int>& target_cls,
                      const std::vector<Box>& meas, const std::vector<int>& meas_cls);

}  // namespace rm::track

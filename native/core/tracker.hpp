// Frame-to-frame association of tracked targets and the still test.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "iou.hpp"

namespace rm::track {

// A target is judged on its recent path, not on its last step: a person walking a pixel
// per frame and one swaying in place take steps of the same size, only the path over
// many frames tells them apart. The constants are measured (bench/eval_tracks.py).

// Matched frames a target needs before it can be still: its first frames say nothing
// about where it is going, and a walker entering the picture must not count as parked.
constexpr int kObserveFrames = 6;
// Matched frames over which the speed is estimated.
constexpr int kWindowFrames = 12;
// Frames an unmatched target is kept (coasting) before it counts as departed, so a
// target hidden for a moment by a passer-by keeps its history.
constexpr int kCoastFrames = 5;
// Still: speed of the box centre at most kStillSpeedPerMille / 1000 of the box height
// per frame. Standing people drift about 2.5 per mille, the slowest walkers 5 to 7.
constexpr int kStillSpeedPerMille = 5;

struct Target {
    Target(const Box& first, double iou_thr, double pix_thr);

    // A measurement was matched to this target.
    void observe(const Box& m);
    // No measurement this frame.
    void lose();
    // Where the target is expected this frame, for matching.
    Box predicted() const;
    // Unmatched for longer than kCoastFrames.
    bool gone() const { return missed > kCoastFrames; }

    // Mean box over the matched frames in the window: where the target has been.
    Box rest() const;

    struct Seen {
        std::int64_t frame;
        Box box;
    };

    Box last;         // most recent matched box
    double iou_thr;   // least IoU(predicted box, measurement) for a match
    double pix_thr;   // least IoU(measurement, rest box) for the target to count as still
    std::int64_t frame = 0;  // frames since the target started (one per association); never wraps
    int missed = 0;   // consecutive frames without a match
    int seen = 1;     // matched frames, the first included, counted up to kObserveFrames
    bool still = false;
    // The last matched frames, oldest first from `head`: a ring of up to kWindowFrames.
    std::array<Seen, kWindowFrames> path{};
    int count = 0, head = 0;
    // velocity() of the current path, when observe() has computed it already.
    bool velocity_known = false;
    double known_vx = 0, known_vy = 0;

  private:
    void push(const Box& b);
    // Least-squares velocity of the centre, in pixels per frame.
    void velocity(double& vx, double& vy) const;
};

struct Association {
    std::vector<int> match;     // per target: matched measurement or -1
    std::vector<int> fresh;     // unmatched measurements, ascending
    std::vector<int> still;     // matched targets that are still, ascending
    std::vector<int> departed;  // targets unmatched for longer than kCoastFrames, ascending
};

// Matches targets to measurements and updates the targets in place.
// A pair may match only when the classes are equal and the IoU between the target's
// predicted box and the measurement is positive and at least the target's iou_thr; among
// such pairs the matching maximises the total IoU. Class ids are compared as given.
// Working storage of associate(), reused from call to call: a frame of a few targets
// would otherwise spend more on allocating it than on the matching.
struct Workspace {
    struct Edge {
        int target, meas;
        double w;
    };
    std::vector<int> order;
    std::vector<double> lefts;
    std::vector<Edge> edges;
    std::vector<int> first, mstart, mtargets, fill, row_of, col_of, rows, cols;
    std::vector<char> taken;
};

// Only matched targets can be still; an unmatched one coasts until it is departed.
// The result goes to `out`; `out` and `ws` keep their storage for the next call.
void associate(const std::vector<Target*>& targets, const std::vector<int>& target_cls,
               const std::vector<Box>& meas, const std::vector<int>& meas_cls, Association& out,
               Workspace& ws);

}  // namespace rm::track

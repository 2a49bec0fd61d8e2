"""Still/not-still rates of the tracker on simulated detections, for choosing thresholds.

Each sequence is one target seen for FRAMES frames; every box edge carries independent
detector jitter, uniform in [-J, J] whole pixels. A frame counts as still when the target's
tracker lists it in static_list. The loop mirrors the recognition-mode Camera: departed
targets are dropped and unmatched boxes start new targets.

    python bench/measure_thresholds.py [--pix 0.7,0.75,0.8,0.85] [--iou 0.3]
"""
import argparse

import numpy as np

from object_detection.post_processing.recognition_mode import target
from object_detection.post_processing.recognition_mode.target import TargetRadius
from object_detection.post_processing.recognition_mode.utils import box2meas, iou

FRAMES = 300
TRIALS = 30

# name, width, height, jitter J, speed x, speed y (px/frame)
SCENES = [
    ("idle person 80x200, J=2", 80, 200, 2, 0, 0),
    ("idle person 80x200, J=3", 80, 200, 3, 0, 0),
    ("idle person 80x200, J=4", 80, 200, 4, 0, 0),
    ("far person 40x100, J=2", 40, 100, 2, 0, 0),
    ("far person 40x100, J=3", 40, 100, 3, 0, 0),
    ("parked car 200x120, J=3", 200, 120, 3, 0, 0),
    ("small car 120x70, J=3", 120, 70, 3, 0, 0),
    ("walker 80x200, 1 px/f, J=3", 80, 200, 3, 1, 0),
    ("walker 80x200, 2 px/f, J=3", 80, 200, 3, 2, 0),
    ("walker 80x200, 3 px/f, J=3", 80, 200, 3, 3, 0),
    ("walker 80x200, 10 px/f, J=3", 80, 200, 3, 10, 0),
    ("walker 80x200, 1 px/f down, J=3", 80, 200, 3, 0, 1),
]


def sequence(rng, w, h, jitter, vx, vy):
    x = np.arange(FRAMES) * vx + 100
    y = np.arange(FRAMES) * vy + 100
    truth = np.stack([x, y, x + w, y + h], axis=1)
    return truth + rng.integers(-jitter, jitter + 1, size=truth.shape)


STEADY = 30  # frames after which a target's first impression no longer counts


def still_rate(boxes, iou_thr, pix_thr):
    """Shares of frames 2.. and STEADY.. on which the target was still, and of frames it kept its track."""
    state, still, kept = [], [], 0
    for box in boxes:
        mea = [box2meas(box.tolist())]
        unmatch, static, gone = TargetRadius.association(state, mea, ["1"])
        kept += bool(state) and not gone
        still.append(len(static))
        state = [t for i, t in enumerate(state) if i not in gone]
        state += [TargetRadius(mea[i], "1", iou_thr, pix_thr) for i in unmatch]
    return np.mean(still[1:]), np.mean(still[STEADY:]), kept / (len(boxes) - 1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pix", default="0.7,0.75,0.8,0.85")
    ap.add_argument("--iou", type=float, default=0.3)
    args = ap.parse_args()
    pix = [float(p) for p in args.pix.split(",")]
    print("observe %d, window %d frames, iou_thr %.2f, %d sequences of %d frames each" % (
        target.OBSERVE_FRAMES, target.WINDOW_FRAMES, args.iou, TRIALS, FRAMES))
    print("still frames in %%, all / from frame %d on, for pix_thr = %s" % (STEADY, ", ".join("%.2f" % p for p in pix)))
    for name, w, h, j, vx, vy in SCENES:
        rates = []
        rng = np.random.default_rng(7)
        seqs = [sequence(rng, w, h, j, vx, vy) for _ in range(TRIALS)]
        for p in pix:
            r = np.array([still_rate(s, args.iou, p)[:2] for s in seqs]).mean(axis=0)
            rates.append("%5.1f/%5.1f" % tuple(100 * r))
        print("  %-34s %s" % (name, "  ".join(rates)))

    print("frame-to-frame IoU of one target (0.1%% quantile / median), identity kept at iou_thr %.2f" % args.iou)
    for name, w, h, j, vx, vy in SCENES + [("walker 80x200, 30 px/f, J=3", 80, 200, 3, 30, 0),
                                           ("runner 80x200, 50 px/f, J=3", 80, 200, 3, 50, 0)]:
        rng = np.random.default_rng(11)
        seqs = [sequence(rng, w, h, j, vx, vy) for _ in range(TRIALS)]
        step = [iou(s[k - 1].tolist(), s[k].tolist()) for s in seqs for k in range(1, FRAMES)]
        kept = np.mean([still_rate(s, args.iou, pix[0])[2] for s in seqs])
        print("  %-34s %.3f / %.3f   kept %5.1f%%" % (name, np.quantile(step, 0.001), np.median(step), 100 * kept))


if __name__ == "__main__":
    main()

"""Times TargetRadius.association against a plain numpy + scipy version of the same step.

    python bench/bench_association.py [--sizes 10,100,500] [--repeat 200]

Each scene has n tracked targets and n measurements: most targets reappear with a few
pixels of jitter, some have moved, some have left and as many new boxes arrived, in a
shuffled order, with two classes. Both versions get the same scene; only the association
call is timed, on fresh targets each time. scipy is needed here only.
"""
import argparse
import statistics
import time

import numpy as np
from scipy.optimize import linear_sum_assignment

from object_detection.post_processing.recognition_mode.target import TargetRadius
from object_detection.post_processing.recognition_mode.utils import box2meas

IOU_THR, PIX_THR = 0.3, 0.75
# The numpy version keeps a simple anchor rule for the still test: what is compared is
# the cost of the matching, which dominates.
SETTLE_FRAMES = 15
CLASSES = ("1002001", "1002006")


class PyTarget:
    def __init__(self, mea, cls, iou_thr, pix_thr):
        self.last = self.anchor = np.asarray(mea, dtype=float)
        self.cls, self.iou_thr, self.pix_thr = cls, iou_thr, pix_thr
        self.calm, self.still = SETTLE_FRAMES, False


def iou_matrix(a, b):
    """IoU of every box in a (k x 4) with every box in b (l x 4)."""
    return iou_pairs(a[:, None, :], b[None, :, :])


def iou_pairs(a, b):
    """Element-wise IoU of broadcastable box arrays (last axis l, t, r, b)."""
    w = np.minimum(a[..., 2], b[..., 2]) - np.maximum(a[..., 0], b[..., 0])
    h = np.minimum(a[..., 3], b[..., 3]) - np.maximum(a[..., 1], b[..., 1])
    inter = np.clip(w, 0, None) * np.clip(h, 0, None)
    union = (a[..., 2] - a[..., 0]) * (a[..., 3] - a[..., 1]) + (b[..., 2] - b[..., 0]) * (b[..., 3] - b[..., 1]) - inter
    return np.divide(inter, union, out=np.zeros_like(inter), where=union > 0)


def py_association(state_list, mea_list, classes):
    n, m = len(state_list), len(mea_list)
    if n == 0 or m == 0:
        for t in state_list:
            t.still = False
        return list(range(m)), [], list(range(n))
    meas = np.asarray(mea_list, dtype=float)
    last = np.array([t.last for t in state_list])
    ov = iou_matrix(last, meas)
    same = np.array([t.cls for t in state_list])[:, None] == np.array(classes)[None, :]
    thr = np.array([t.iou_thr for t in state_list])[:, None]
    w = np.where(same & (ov >= thr) & (ov > 0), ov, 0.0)
    rows, cols = linear_sum_assignment(w, maximize=True)
    matched = {r: c for r, c in zip(rows, cols) if w[r, c] > 0}
    hit = sorted(matched)
    boxes = meas[[matched[i] for i in hit]]
    near = iou_pairs(boxes, np.array([state_list[i].anchor for i in hit]).reshape(-1, 4))
    for k, i in enumerate(hit):
        t = state_list[i]
        t.last = boxes[k]
        if near[k] >= t.pix_thr:
            t.calm = min(SETTLE_FRAMES, t.calm + 1)
            t.still = t.calm >= SETTLE_FRAMES
        else:
            t.anchor, t.calm, t.still = boxes[k], 0, False
    static = [state_list[i] for i in hit if state_list[i].still]
    gone = [i for i in range(n) if i not in matched]
    for i in gone:
        state_list[i].still = False
    taken = set(matched.values())
    return [j for j in range(m) if j not in taken], static, gone


def scene(n, rng):
    w = rng.uniform(30, 150, n)
    h = w * rng.uniform(0.6, 2.5, n)
    x = rng.uniform(0, 1920 - w)
    y = rng.uniform(0, 1080 - h)
    boxes = np.stack([x, y, x + w, y + h], axis=1)
    cls = [CLASSES[k] for k in rng.integers(0, 2, n)]
    meas = boxes + rng.integers(-3, 4, boxes.shape)
    moved = rng.random(n) < 0.1
    meas[moved] += rng.uniform(-30, 30, (moved.sum(), 1))
    left = rng.random(n) < 0.05  # these targets left; unrelated boxes arrive instead
    k = left.sum()
    nw = rng.uniform(30, 150, k)
    nx, ny = rng.uniform(0, 1800, k), rng.uniform(0, 800, k)
    meas[left] = np.stack([nx, ny, nx + nw, ny + 2 * nw], axis=1)
    meas[:, 2:] = np.maximum(meas[:, 2:], meas[:, :2])
    order = rng.permutation(n)
    return boxes.tolist(), cls, [box2meas(b) for b in meas[order].tolist()], [cls[i] for i in order]


def time_calls(make_targets, associate, mea_list, classes, repeat):
    times = []
    for _ in range(repeat):
        targets = make_targets()
        t0 = time.perf_counter()
        associate(targets, mea_list, classes)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="10,100,500")
    ap.add_argument("--repeat", type=int, default=200)
    args = ap.parse_args()
    rng = np.random.default_rng(2024)
    print("%6s %14s %14s %8s" % ("n", "native (us)", "numpy (us)", "ratio"))
    for n in (int(s) for s in args.sizes.split(",")):
        boxes, cls, mea_list, classes = scene(n, rng)

        def natives():
            return [TargetRadius(box2meas(b), c, IOU_THR, PIX_THR) for b, c in zip(boxes, cls)]

        def pythons():
            return [PyTarget(b, c, IOU_THR, PIX_THR) for b, c in zip(boxes, cls)]

        a, b = natives(), pythons()
        ua, sa, da = TargetRadius.association(a, mea_list, classes)
        ub, sb, db = py_association(b, mea_list, classes)
        # The matching must agree; the still tests differ (new native targets are watched
        # first, unmatched ones coast).
        same = ua == ub and all(x.box == y.last.tolist() for x, y in zip(a, b))
        if not same:
            raise SystemExit("n=%d: the two versions disagree" % n)

        repeat = max(20, args.repeat * 100 // max(n, 100))
        native = time_calls(natives, TargetRadius.association, mea_list, classes, repeat)
        python = time_calls(pythons, py_association, mea_list, classes, repeat)
        print("%6d %14.1f %14.1f %7.1fx   (%d new, %d still, %d left, numpy's count)" % (
            n, native * 1e6, python * 1e6, python / native, len(ua), len(sb), len(db)))


if __name__ == "__main__":
    main()

"""Still/alarm decisions of the installed tracker on tracks in the MOT text format.

Each file is one camera: every line frame,id,left,top,width,height,... is a box, and all
boxes of a frame go to one region's tracker, the way Camera.run drives it. Each track is
also run alone, as a lone-box region (the region's alarm goes when its one target is
still). Labels per box come from the true tracks: for X.det.txt the file X.gt.txt with
the same ids when it exists, the file itself otherwise. A box is "standing" when its
track's centre stays within 5% of the box height of the current centre over the last 10
frames (a track's first 10 frames are judged on those 10 frames), "moving" otherwise.

Prints the four figures:
  1. moving target-frames called still, first frames included (all tracks in one region);
  2. standing target-frames called still, from the track's 10th frame on;
  3. lone regions: moving frames that keep the alarm; standing frames (10th frame on) that lose it;
  4. tracks at rest from their first frame: share whose lone alarm goes within 10 frames.

    python bench/eval_tracks.py FILE.det.txt [...] [--iou 0.3] [--pix 0.75]
"""
import argparse
import os
from collections import defaultdict

import numpy as np

from object_detection.post_processing.recognition_mode import target
from object_detection.post_processing.recognition_mode.target import TargetRadius
from object_detection.post_processing.recognition_mode.utils import box2meas

SPAN = 10
NEAR = 0.05


def read_mot(path):
    """{frame: [(id, [l, t, r, b])]} in file order."""
    frames = defaultdict(list)
    with open(path) as f:
        for line in f:
            v = line.strip().split(",")
            if len(v) < 6:
                continue
            fr, tid = int(float(v[0])), int(float(v[1]))
            l, t, w, h = map(float, v[2:6])
            frames[fr].append((tid, [l, t, l + w, t + h]))
    return frames


def labels(truth):
    """{(frame, id): True when standing} from the true tracks."""
    tracks = defaultdict(dict)
    for fr, boxes in truth.items():
        for tid, b in boxes:
            tracks[tid][fr] = b
    out = {}
    for tid, t in tracks.items():
        frames = sorted(t)
        for k, fr in enumerate(frames):
            window = frames[max(0, k - SPAN + 1):k + 1] if k >= SPAN - 1 else frames[:SPAN]
            ref = t[fr]
            cx, cy, h = (ref[0] + ref[2]) / 2, (ref[1] + ref[3]) / 2, ref[3] - ref[1]
            far = max(np.hypot((t[g][0] + t[g][2]) / 2 - cx, (t[g][1] + t[g][3]) / 2 - cy) for g in window)
            out[fr, tid] = far <= NEAR * h
    return out


class Region:
    """Camera.run, step for step, reporting which boxes belong to still targets."""

    def __init__(self, iou_thr, pix_thr):
        self.state, self.iou_thr, self.pix_thr = [], iou_thr, pix_thr

    def run(self, boxes):
        meas = [box2meas(b) for b in boxes]
        if not meas:
            self.state = []
        classes = ["1"] * len(meas)
        unmatch, static, gone = TargetRadius.association(self.state, meas, classes)
        self.state = [t for i, t in enumerate(self.state) if i not in gone]
        self.state += [TargetRadius(meas[i], classes[i], self.iou_thr, self.pix_thr) for i in unmatch]
        still_boxes = {tuple(t.box) for t in static}
        return [tuple(map(float, b)) in still_boxes for b in boxes], len(static)


def evaluate(det, truth, iou_thr, pix_thr):
    lab = labels(truth)
    first = defaultdict(lambda: None)
    rank = {}  # (frame, id) -> index of the frame in its track
    for fr in sorted(det):
        for tid, _ in det[fr]:
            if first[tid] is None:
                first[tid] = fr
    seen = defaultdict(int)
    for fr in sorted(det):
        for tid, _ in det[fr]:
            rank[fr, tid] = seen[tid]
            seen[tid] += 1
    last = max(det) if det else 0
    stats = defaultdict(lambda: [0, 0])
    to_go = []  # tracks at rest from their first frame: frames until the lone alarm went

    def count(key, hit):
        stats[key][0] += bool(hit)
        stats[key][1] += 1

    region = Region(iou_thr, pix_thr)
    lone = defaultdict(lambda: Region(iou_thr, pix_thr))
    alone_tracks = defaultdict(list)  # id -> [(frame, standing, lone still)]
    for fr in range(min(det, default=0), last + 1):
        boxes = det.get(fr, [])
        still, _ = region.run([b for _, b in boxes])
        present = {tid for tid, _ in boxes}
        for (tid, b), s in zip(boxes, still):
            standing = lab.get((fr, tid))
            if standing is None:
                continue  # false detection: no truth
            if standing:
                if rank[fr, tid] >= SPAN - 1:
                    count("standing still", s)
            else:
                count("moving still", s)
            _, n = lone[tid].run([b])
            alone_tracks[tid].append((fr, standing, n >= 1))
        for tid in list(lone):
            if tid not in present:
                lone[tid].run([])  # the lone region has no box this frame
    for tid, rows in alone_tracks.items():
        for k, (fr, standing, quiet) in enumerate(rows):
            if not standing:
                count("lone moving keeps alarm", not quiet)
            elif k >= SPAN - 1:
                count("lone standing loses alarm", quiet)
        if len(rows) >= 2 * SPAN and all(r[1] for r in rows[:SPAN]):
            went = next((k for k, r in enumerate(rows) if r[2]), None)
            count("at rest: alarm gone within 10 frames", went is not None and went < SPAN)
            to_go.append(went + 1 if went is not None else len(rows))
    return stats, to_go


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("files", nargs="+")
    ap.add_argument("--iou", type=float, default=0.3)
    ap.add_argument("--pix", type=float, default=0.75)
    args = ap.parse_args()
    total = defaultdict(lambda: [0, 0])
    went = []
    for path in args.files:
        det = read_mot(path)
        gt_path = path[:-len(".det.txt")] + ".gt.txt" if path.endswith(".det.txt") else None
        truth = read_mot(gt_path) if gt_path and os.path.exists(gt_path) else det
        stats, to_go = evaluate(det, truth, args.iou, args.pix)
        went += to_go
        for k, v in stats.items():
            total[k][0] += v[0]
            total[k][1] += v[1]
    print("tracker: observe %s, window %s, coast %s, still speed %s per mille of the height per frame; "
          "iou_thr %.2f, pix_thr %.2f" % tuple(
              [getattr(target, k, "-") for k in ("OBSERVE_FRAMES", "WINDOW_FRAMES", "COAST_FRAMES",
                                                 "STILL_SPEED_PER_MILLE")] + [args.iou, args.pix]))
    for key, goal in [("moving still", "<= 1%"), ("standing still", ">= 90%"),
                      ("lone moving keeps alarm", ">= 95%"), ("lone standing loses alarm", ">= 90%"),
                      ("at rest: alarm gone within 10 frames", "all")]:
        hit, n = total[key]
        print("  %-40s %6.2f%% of %6d  (goal %s)" % (key, 100.0 * hit / max(n, 1), n, goal))
    if went:
        print("  %-40s median %d, max %d" % ("at rest: frames until the alarm goes", np.median(went), max(went)))


if __name__ == "__main__":
    main()

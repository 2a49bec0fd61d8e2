#!/usr/bin/env python
"""Region motion detection cost per region on a 1920x1080 frame, against the OpenCV floor.

For crops of 64x64, 300x300 and 1000x800 (width x height) it measures, in one run:

  floor        the bare OpenCV sequence alone on the crop: resize to (50, 50),
               cvtColor BGR2GRAY, np.float32, dct -- what any implementation must pay;
  phash        the module's phash of the same crop;
  move_detect  the module's move_detect on a frame with 8 such regions, per region
               (rectangle, crop, hash, distance, store, and alarm box selection);
  python       a plain-Python move_detect/phash written the obvious way, per region.

Each figure is the median over interleaved repeats; ratios are against the floor of the
same run. Target: move_detect per region <= 1.25 x floor at 300x300.

    python bench/bench_motion.py [--repeats N]
"""
import argparse
import importlib
import statistics
import sys
import time

import cv2
import numpy as np

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")

CROPS = [(64, 64), (300, 300), (1000, 800)]  # width, height
REGIONS = 8
TARGET_RATIO = 1.25
INFO = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}


def make_frame(seed=0, h=1080, w=1920):
    """A camera-like picture: smooth gradients, a few blocks, sensor noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    img = np.empty((h, w, 3), np.float32)
    img[..., 0] = 90 + 60 * np.sin(x / 170.0) + 30 * np.cos(y / 90.0)
    img[..., 1] = 110 + 50 * np.cos((x + y) / 240.0)
    img[..., 2] = 100 + 70 * np.sin(y / 130.0)
    for _ in range(40):
        x0, y0 = rng.integers(0, w - 200), rng.integers(0, h - 200)
        img[y0:y0 + rng.integers(20, 200), x0:x0 + rng.integers(20, 200)] += rng.integers(-60, 60, 3)
    img += rng.normal(0, 6, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def region_boxes(cw, ch, n=REGIONS, w=1920, h=1080):
    """n rectangles (left, top, right, bottom) of cw x ch spread over the frame."""
    out = []
    for i in range(n):
        left = (i * 233) % max(1, w - cw)
        top = (i * 137) % max(1, h - ch)
        out.append((left, top, left + cw, top + ch))
    return out


def motion_doc(rects, n_behaviours=1):
    return {"alarmBehavior": [
        {"behavior_number": 1002001 + b, "alarm_info_dict": dict(INFO), "alarm_info": "",
         "result": [{"roi_name": "r%d" % i, "roi": [[l, t], [r, t], [r, b], [l, b]],
                     "boxes": [[l + 1, t + 1, l + 9, t + 9]]} for i, (l, t, r, b) in enumerate(rects)]}
        for b in range(n_behaviours)]}


# --------------------------------------------------------------------------- floor

def opencv_floor(crop):
    g = cv2.resize(crop, (50, 50))
    g = cv2.cvtColor(g, cv2.COLOR_BGR2GRAY)
    g = np.float32(g)
    return cv2.dct(g)


# --------------------------------------------------------------------------- plain Python

class PyRecognitionMode:
    """The motion path written directly in Python, as a reference point."""

    def __init__(self):
        self.move_id = {}

    def get_metrix(self, points):
        if points is None or len(points) < 2:
            return []
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]
        return [int(min(xs)), int(min(ys)), int(max(xs)), int(max(ys))]

    def phash(self, img):
        img = cv2.resize(img, (50, 50))
        img = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
        img = np.float32(img)
        coeffs = cv2.dct(img)
        im_list = coeffs[0:10, 0:10].flatten().tolist()
        avg = sum(im_list) * 1. / len(im_list)
        bits = ["0" if v < avg else "1" for v in im_list]
        return "".join("%x" % int("".join(bits[x:x + 4]), 2) for x in range(0, 100))

    def distance(self, hash1, hash2):
        assert len(hash1) == len(hash2)
        return sum(1 for a, b in zip(hash1, hash2) if a != b)

    def check_boxes(self, out_result_dict):
        kept = []
        for behavior in out_result_dict.get("alarmBehavior"):
            info_rois, result = "", []
            out_result = behavior.get("result")
            if not out_result:
                continue
            for roi_result in out_result:
                name, boxes = roi_result.get("roi_name"), roi_result.get("boxes")
                if not boxes:
                    continue
                result.append(roi_result)
                if not name:
                    continue
                info_rois = info_rois + name if info_rois == "" else info_rois + "|" + str(name)
            if not result:
                continue
            behavior["result"] = result
            info = behavior["alarm_info_dict"]
            behavior["alarm_info"] = (info.get("behavior_info") + "-" + info.get("info_name") + info_rois
                                      + info.get("info_ftime") + info.get("info_type"))
            info["info_rois"] = info_rois
            kept.append(behavior)
        out_result_dict["alarmBehavior"] = kept
        return out_result_dict

    def move_detect(self, im, dev_id, out_result_dict):
        move_thr = mod.move_thr
        if dev_id not in self.move_id:
            self.move_id[dev_id] = {}
        for k, behavior in enumerate(out_result_dict.get("alarmBehavior")):
            number = behavior.get("behavior_number")
            if number not in self.move_id[dev_id]:
                self.move_id[dev_id][number] = {}
            for v, roi_result in enumerate(behavior.get("result")):
                name = roi_result.get("roi_name")
                left, top, right, bottom = self.get_metrix(roi_result.get("roi"))
                hash1 = self.phash(im[top:bottom, left:right])
                hash2 = self.move_id[dev_id][number].get(name)
                count = self.distance(hash1, hash2) if hash2 else 100
                if not count >= move_thr:
                    out_result_dict["alarmBehavior"][k]["result"][v] = {}
                self.move_id[dev_id][number][name] = hash1
        return self.check_boxes(out_result_dict)


# --------------------------------------------------------------------------- timing

def batch_time(fn, number, prepare=None):
    """Seconds per call of fn over `number` calls; prepare() builds per-call arguments untimed."""
    args = [prepare() for _ in range(number)] if prepare else [()] * number
    t0 = time.perf_counter()
    for a in args:
        fn(*a)
    return (time.perf_counter() - t0) / number


def interleaved(cases, repeats, budget=0.02):
    """Median seconds per call for each case, the cases run in turn within each repeat."""
    numbers = {}
    for name, (fn, prep) in cases.items():
        one = batch_time(fn, 3, prep)
        numbers[name] = max(1, min(2000, int(budget / max(one, 1e-7))))
    samples = {name: [] for name in cases}
    for _ in range(repeats):
        for name, (fn, prep) in cases.items():
            samples[name].append(batch_time(fn, numbers[name], prep))
    return {name: statistics.median(v) for name, v in samples.items()}


def measure_crop(frame, cw, ch, repeats):
    rects = region_boxes(cw, ch)
    crops = [frame[t:b, l:r] for l, t, r, b in rects]
    rm, py = mod.RecognitionMode(), PyRecognitionMode()
    # Same hashes from both implementations: the reference point computes the same thing.
    for c in crops:
        assert rm.phash(c) == py.phash(c), "plain-Python reference disagrees with the module"
    rm.move_detect(frame, "cam", motion_doc(rects))
    py.move_detect(frame, "cam", motion_doc(rects))
    state = {"i": 0}

    def next_crop():
        state["i"] = (state["i"] + 1) % len(crops)
        return (crops[state["i"]],)

    cases = {
        "floor": (opencv_floor, next_crop),
        "phash": (rm.phash, next_crop),
        "move_detect": (rm.move_detect, lambda: (frame, "cam", motion_doc(rects))),
        "python": (py.move_detect, lambda: (frame, "cam", motion_doc(rects))),
        "python_phash": (py.phash, next_crop),
    }
    med = interleaved(cases, repeats)
    for key in ("move_detect", "python"):
        med[key] /= len(rects)
    return med


def main(argv=None):
    ap = argparse.ArgumentParser(description="move_detect per-region cost against the OpenCV floor")
    ap.add_argument("--repeats", type=int, default=15)
    args = ap.parse_args(argv)
    frame = make_frame()
    print("bench_motion: 1920x1080 frame, %d regions per call, median of %d interleaved repeats, "
          "Python %s, numpy %s, OpenCV %s, cv2 threads %d"
          % (REGIONS, args.repeats, sys.version.split()[0], np.__version__, cv2.__version__,
             cv2.getNumThreads()))
    hdr = "%-9s %10s %10s %7s %14s %7s %12s %7s %12s %7s" % (
        "crop WxH", "floor us", "phash us", "ratio", "move/region", "ratio", "py phash us", "ratio",
        "py move/reg", "ratio")
    print(hdr)
    results = {}
    for cw, ch in CROPS:
        m = measure_crop(frame, cw, ch, args.repeats)
        results[(cw, ch)] = m
        f = m["floor"]
        print("%-9s %10.1f %10.1f %7.2f %14.1f %7.2f %12.1f %7.2f %12.1f %7.2f" % (
            "%dx%d" % (cw, ch), f * 1e6, m["phash"] * 1e6, m["phash"] / f, m["move_detect"] * 1e6,
            m["move_detect"] / f, m["python_phash"] * 1e6, m["python_phash"] / f, m["python"] * 1e6,
            m["python"] / f))
    r = results[(300, 300)]["move_detect"] / results[(300, 300)]["floor"]
    print("target: move_detect per region at 300x300 is %.2f x the OpenCV floor (target <= %.2f): %s"
          % (r, TARGET_RATIO, "met" if r <= TARGET_RATIO else "NOT met"))
    return results


if __name__ == "__main__":
    main()

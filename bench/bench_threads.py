#!/usr/bin/env python
"""Cameras in threads: one RecognitionMode shared by 1 and by 2 threads, each thread its
own camera (its own 1920x1080 frames, 8 regions per call, motion detection), regions per
second over a few seconds, rounds alternated; the ratio of 2 threads to 1 is the figure.

Then associations (TargetRadius.association, n targets x n boxes) per second with 1 and 2
threads, each its own targets: from 160 x 160 on they run without the GIL.

With --paths it also hashes the same crops with the native scaling and with the scaling
kept by cv2.resize (what a size gets when the installed OpenCV rounds in a way the module
has no variant for; RM_HASH_KEEP_RESIZE=1 forces it for every size), one thread, in a
second interpreter.

    python bench/bench_threads.py [--seconds S] [--rounds N] [--paths]
"""
import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

import cv2
import numpy as np

from object_detection.post_processing.recognition_mode import main as mod

SIZES = [(64, 64), (300, 300), (1000, 800)]
REGIONS = 8
INFO = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}


def frames(seed):
    """Two textured frames that differ, so every region's hash changes from call to call."""
    rng = np.random.default_rng(seed)
    base = cv2.GaussianBlur(rng.integers(0, 256, (1080, 1920, 3), dtype=np.uint8), (0, 0), 3)
    return [base, np.ascontiguousarray(np.roll(base, 7, axis=1))]


class Camera:
    """One thread's camera: its frames and one document it restores before every call."""

    def __init__(self, name, size, seed):
        self.name = name
        self.frames = frames(seed)
        w, h = size
        self.regions = []
        for i in range(REGIONS):
            x, y = (i * 113) % (1920 - w), (i * 71) % (1080 - h)
            self.regions.append({"roi_name": "r%d" % i, "roi": [[x, y], [x + w, y], [x + w, y + h], [x, y + h]],
                                 "boxes": [[x, y, x + 10, y + 10]]})
        self.entry = {"behavior_number": 1, "alarm_info_dict": dict(INFO), "alarm_info": "", "result": None}
        self.doc = {"alarmBehavior": None}

    def call(self, rm, k):
        # move_detect replaces region results and check_boxes rebuilds the lists: put them back.
        self.entry["result"] = self.regions[:]
        self.doc["alarmBehavior"] = [self.entry]
        rm.main(self.frames[k & 1], self.name, self.doc, "MoveDetect")


def steps_per_second(steps, seconds):
    """Runs each step() in a thread of its own, all started together, for `seconds`;
    the steps made per second, all threads together."""
    counts = [0] * len(steps)
    start = threading.Barrier(len(steps) + 1)
    stop = [False]

    def worker(i):
        step, k = steps[i], 0
        start.wait()
        while not stop[0]:
            step(k)
            k += 1
        counts[i] = k

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(steps))]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop[0] = True
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def regions_per_second(rm, cameras, seconds):
    return steps_per_second([lambda k, cam=cam: cam.call(rm, k) for cam in cameras], seconds) * REGIONS


def paths(rounds):
    """Per-hash cost of the native scaling and of the kept cv2.resize, same crops, one thread."""
    code = r"""
import statistics, sys, time, cv2, numpy as np
from object_detection.post_processing.recognition_mode import main as mod
rm = mod.RecognitionMode()
base = cv2.GaussianBlur(np.random.default_rng(1).integers(0, 256, (1080, 1920, 3), dtype=np.uint8), (0, 0), 3)
for w, h in %r:
    crops = [base[i:i + h, 2 * i:2 * i + w] for i in range(8)]
    for c in crops: rm.phash(c)
    per = []
    for _ in range(%d):
        t = time.perf_counter()
        for _ in range(200):
            for c in crops: rm.phash(c)
        per.append((time.perf_counter() - t) / 1600 * 1e6)
    print("%%dx%%d %%.2f" %% (w, h, statistics.median(per)))
print(mod.hash_path_counts())
""" % (SIZES, rounds)
    out = {}
    for label, extra in (("native", {}), ("kept cv2.resize", {"RM_HASH_KEEP_RESIZE": "1"})):
        env = dict(os.environ, RM_HASH_STATS="1", **extra)
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        lines = run.stdout.split("\n")
        out[label] = {l.split()[0]: float(l.split()[1]) for l in lines[:len(SIZES)]}
        print("  %s: paths %s" % (label, lines[len(SIZES)]))
    print("%-9s %14s %18s %8s" % ("crop", "native us", "kept resize us", "ratio"))
    for w, h in SIZES:
        key = "%dx%d" % (w, h)
        a, b = out["native"][key], out["kept cv2.resize"][key]
        print("%-9s %14.2f %18.2f %8.2f" % (key, a, b, a / b))


def associations_per_second(k, n, seconds):
    """k threads, each associating its own n targets with n boxes frame after frame."""
    from object_detection.post_processing.recognition_mode.target import TargetRadius

    def step_for(seed):
        rng = np.random.default_rng(seed)
        xy = rng.integers(0, 1800, (n, 2))
        frames_ = [[(int(x) + int(d), int(y), int(x) + int(d) + 40, int(y) + 80) for (x, y), d in
                    zip(xy, rng.integers(-2, 3, n))] for _ in range(8)]
        targets = [TargetRadius(b, "1", 0.3, 0.75) for b in frames_[0]]
        labels = ["1"] * n
        return lambda j: TargetRadius.association(targets, frames_[j & 7], labels)

    return steps_per_second([step_for(i) for i in range(k)], seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=1.5)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--paths", action="store_true")
    args = parser.parse_args()
    cv2.setNumThreads(1)  # OpenCV's own pool would compete with the cameras' threads
    print("regions per second, one shared instance, 8 regions per call; medians of %d rounds of %.1f s"
          % (args.rounds, args.seconds))
    print("%-9s %12s %12s %8s" % ("crop", "1 thread", "2 threads", "ratio"))
    for size in SIZES:
        rm = mod.RecognitionMode()
        cams = [Camera("cam-%d" % i, size, 10 + i) for i in range(2)]
        for cam in cams:
            cam.call(rm, 0)
        one, two = [], []
        for _ in range(args.rounds):
            one.append(regions_per_second(rm, cams[:1], args.seconds))
            two.append(regions_per_second(rm, cams, args.seconds))
        a, b = statistics.median(one), statistics.median(two)
        print("%-9s %12.0f %12.0f %8.2f" % ("%dx%d" % size, a, b, b / a))
    print("associations per second, each thread its own targets and boxes")
    print("%-9s %12s %12s %8s" % ("n x n", "1 thread", "2 threads", "ratio"))
    for n in (32, 100, 200, 300):
        one = [associations_per_second(1, n, args.seconds) for _ in range(args.rounds)]
        two = [associations_per_second(2, n, args.seconds) for _ in range(args.rounds)]
        a, b = statistics.median(one), statistics.median(two)
        print("%-9s %12.0f %12.0f %8.2f" % ("%dx%d" % (n, n), a, b, b / a))
    if args.paths:
        paths(args.rounds)


if __name__ == "__main__":
    main()

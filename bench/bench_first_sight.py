#!/usr/bin/env python
"""What the first hash of a new crop size costs: the module checks its own scaling against
cv2.resize once per size, then reuses the verdict.

For each crop size, every repeat uses a size not seen before (one column more each time)
and times its first phash, its second phash, and the bare OpenCV sequence (resize to 50x50,
BGR2GRAY, float32, dct) on the same crop; plus the growth of the process's peak RSS over
the first hashes of that size. The module's one-off grey check (once per process) is paid
before the timings and printed on its own.

    python bench/bench_first_sight.py [--repeats N]
"""
import argparse
import resource
import statistics
import time

import cv2
import numpy as np

from object_detection.post_processing.recognition_mode import main as mod

SIZES = [(64, 64), (300, 300), (1080, 1920), (6000, 8000)]


def opencv_sequence(img):
    return cv2.dct(np.float32(cv2.cvtColor(cv2.resize(img, (50, 50)), cv2.COLOR_BGR2GRAY)))


def timed(fn, *args):
    t = time.perf_counter()
    fn(*args)
    return (time.perf_counter() - t) * 1e6


def peak_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    rm = mod.RecognitionMode()
    rng = np.random.default_rng(0)
    once = timed(rm.phash, rng.integers(0, 256, (8, 8, 3), dtype=np.uint8))
    print("one-off grey check (first hash of the process): %.0f us" % once)
    print("%-11s %12s %12s %12s %10s %14s" % ("crop", "first hash", "next hash", "OpenCV seq", "first/seq",
                                              "peak RSS +KiB"))
    for rows, cols in SIZES:
        frame = rng.integers(0, 256, (rows, cols + args.repeats, 3), dtype=np.uint8)
        first, second, floor = [], [], []
        rss0 = peak_rss_kib()
        for i in range(args.repeats):
            crop = frame[:, :cols + i]
            first.append(timed(rm.phash, crop))
            second.append(timed(rm.phash, crop))
            floor.append(timed(opencv_sequence, crop))
        grew = peak_rss_kib() - rss0
        f, s, o = (statistics.median(v) for v in (first, second, floor))
        print("%-11s %12.1f %12.1f %12.1f %10.1f %14d" % ("%dx%d" % (cols, rows), f, s, o, f / o, grew))
    print("microseconds, medians of %d sizes each; peak RSS also counts the test frame's own copy-on-write"
          % args.repeats)


if __name__ == "__main__":
    main()

#!/usr/bin/env python
"""target_radius per frame under two installs of the package, alternated in one run.

Each round runs, in each interpreter in turn, target_radius over the 200-frame load of
bench_static.py (5 behaviours x 4 regions x 6 boxes) on a fresh instance and reports the
median per frame. Times are the calling thread's CPU time, which a loaded machine
inflates far less than wall-clock time. Prints every round, the median of the rounds
for each install and their ratio.

    python bench/bench_static_ab.py BEFORE_PYTHON AFTER_PYTHON [--rounds N]
"""
import argparse
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import statistics, sys, time
sys.path.insert(0, %r)
from bench_static import mod, static_docs
docs = static_docs(200)
rm = mod.RecognitionMode()
ts = []
for d in docs:
    t0 = time.thread_time()
    rm.target_radius("cam", d)
    ts.append(time.thread_time() - t0)
print(statistics.median(ts))
""" % HERE


def one(python):
    out = subprocess.run([python, "-c", CHILD], check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args(argv)
    runs = {"before": [], "after": []}
    for r in range(args.rounds):
        for name in ("before", "after"):
            runs[name].append(one(getattr(args, name)))
        print("round %d: before %.1f us, after %.1f us" % (r + 1, runs["before"][-1] * 1e6,
                                                           runs["after"][-1] * 1e6))
    b, a = statistics.median(runs["before"]), statistics.median(runs["after"])
    print("target_radius 5x4x6 per frame, median of %d rounds: before %.1f us, after %.1f us, "
          "after/before %.2f" % (args.rounds, b * 1e6, a * 1e6, a / b))


if __name__ == "__main__":
    sys.exit(main())

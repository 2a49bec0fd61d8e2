#!/usr/bin/env python
"""The fast paths against what they replace, all ratios from one run.

  move_detect / floor   move_detect per region (8 regions per call on a 1920x1080 frame)
                        over the bare OpenCV sequence (resize to 50x50, BGR2GRAY,
                        float32, dct) on the same crops; targets: <= 0.35 at 300x300,
                        <= 0.5 at 64x64 and 1000x800;
  phash / floor         the hash alone;
  check_boxes           the module's against the plain-Python rendering on a 5 x 4 result
                        (a third of the regions without boxes); target: >= 5 x faster;
                        beside them the floor: check_boxes_floor.c, compiled on the fly,
                        does only the lookups, lists and stores every rendering must do;
  target_radius         per frame (5 behaviours x 4 regions x 6 boxes), for the record.

With RM_HASH_STATS=1 in the environment it also prints which path each hash took.

    python bench/bench_fast_paths.py [--repeats N]
"""
import argparse
import importlib.util
import os
import subprocess
import sysconfig
import tempfile
import statistics
import sys
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_motion import INFO, PyRecognitionMode, interleaved, make_frame, measure_crop, mod  # noqa: E402
from bench_static import PyStatic, static_docs  # noqa: E402

TARGETS = {(64, 64): 0.5, (300, 300): 0.35, (1000, 800): 0.5}


def check_boxes_doc():
    return {"alarmBehavior": [
        {"behavior_number": 1002001 + b, "alarm_info_dict": dict(INFO), "alarm_info": "",
         "result": [{"roi_name": "roi%d" % i, "boxes": ([[1, 2, 3, 4]] * 6 if (b + i) % 3 else [])}
                    for i in range(4)]} for b in range(5)]}


def build_floor(workdir):
    """check_boxes_floor.c as a module, or None where no C compiler is at hand."""
    src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_boxes_floor.c")
    out = os.path.join(workdir, "check_boxes_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    cmd = cc + ["-O2", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"], src, "-o", out]
    try:
        subprocess.run(cmd, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    spec = importlib.util.spec_from_file_location("check_boxes_floor", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def per_frame(fn, docs):
    ts = []
    for d in docs:
        t0 = time.perf_counter()
        fn("cam", d)
        ts.append(time.perf_counter() - t0)
    return statistics.median(ts)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=15)
    args = ap.parse_args(argv)
    print("bench_fast_paths: Python %s, numpy %s, OpenCV %s, cv2 threads %d, median of %d interleaved repeats"
          % (sys.version.split()[0], np.__version__, cv2.__version__, cv2.getNumThreads(), args.repeats))
    frame = make_frame()
    print("%-9s %9s %9s %6s %12s %6s %7s" % ("crop WxH", "floor us", "phash us", "ratio", "move/region",
                                             "ratio", "target"))
    for (cw, ch), target in TARGETS.items():
        m = measure_crop(frame, cw, ch, args.repeats)
        f = m["floor"]
        r = m["move_detect"] / f
        print("%-9s %9.1f %9.1f %6.2f %12.1f %6.2f %7s" % (
            "%dx%d" % (cw, ch), f * 1e6, m["phash"] * 1e6, m["phash"] / f, m["move_detect"] * 1e6, r,
            ("<= %.2f " % target) + ("met" if r <= target else "NOT met")))

    rm, py = mod.RecognitionMode(), PyRecognitionMode()
    assert rm.check_boxes(check_boxes_doc()) == py.check_boxes(check_boxes_doc())
    cases = {"module": (rm.check_boxes, lambda: (check_boxes_doc(),)),
             "python": (py.check_boxes, lambda: (check_boxes_doc(),))}
    with tempfile.TemporaryDirectory() as tmp:
        floor = build_floor(tmp)
        if floor is not None:
            cases["floor"] = (floor.check_boxes, lambda: (check_boxes_doc(),))
        med = interleaved(cases, args.repeats)
    ratio = med["python"] / med["module"]
    print("check_boxes 5x4: module %.2f us, plain Python %.2f us: %.2f x faster (target >= 5: %s)"
          % (med["module"] * 1e6, med["python"] * 1e6, ratio, "met" if ratio >= 5 else "NOT met"))
    if "floor" in med:
        print("check_boxes floor (lookups, lists and stores only, no texts): %.2f us: plain Python / floor "
              "%.2f x, the most any rendering can gain" % (med["floor"] * 1e6, med["python"] / med["floor"]))

    docs = static_docs(200)
    t_mod = per_frame(mod.RecognitionMode().target_radius, [dict(d) for d in docs])
    t_py = per_frame(PyStatic().target_radius, static_docs(200))
    print("target_radius 5x4x6 per frame: module %.1f us, plain Python over the same trackers %.1f us (%.2f x)"
          % (t_mod * 1e6, t_py * 1e6, t_py / t_mod))
    if hasattr(mod, "hash_path_counts"):
        print("hash paths:", mod.hash_path_counts())


if __name__ == "__main__":
    main()

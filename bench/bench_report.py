#!/usr/bin/env python
"""The whole performance picture in one run.

Load: 16 cameras, 1920x1080 frames, 5 behaviours x 4 regions x 6 boxes per frame (20
regions of mixed sizes, 64x64 up to 640x480). Each camera alternates between two pictures
that differ in a few places, and its boxes jitter by a pixel or two, so both filters see a
realistic mix of kept and removed alarms.

  1. per-frame latency of main in both modes (median, p90, p99), with per-region and
     per-box costs;
  2. the floors measured on the same frames: for motion detection the bare OpenCV
     sequence (resize, cvtColor, float32, dct) on the same 20 crops; for static-target
     removal the tracking components alone (Camera.run on the same boxes); and the ratios;
  3. a plain-Python version of both filters over the same components, as a reference;
  4. memory per camera: the instance's state and the process's growth after N frames per
     camera in both modes, with figures at checkpoints to show where it levels off.

    python bench/bench_report.py                      # 10,000 frames per camera: a few minutes
    python bench/bench_report.py --memory-frames 500  # quick look (memory extrapolated)
"""
import argparse
import gc
import importlib
import random
import statistics
import sys
import time

import cv2
import numpy as np

from bench_motion import INFO, PyRecognitionMode, make_frame, opencv_floor
from bench_static import PyStatic, tracker_kind

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")

CAMERAS = 16
BEHAVIOURS, REGIONS, BOXES = 5, 4, 6
SIZES = [(64, 64), (200, 150), (300, 300), (480, 360), (640, 480)]  # width, height


def layout():
    """20 region rectangles (left, top, right, bottom) of mixed sizes over a 1080p frame."""
    rects = []
    for i in range(BEHAVIOURS * REGIONS):
        w, h = SIZES[i % len(SIZES)]
        left = (i * 347) % (1920 - w)
        top = (i * 211) % (1080 - h)
        rects.append((left, top, left + w, top + h))
    return rects


RECTS = layout()


def camera_frames():
    """Two pictures per camera: the second differs in a few blocks (something moved)."""
    base = [make_frame(seed) for seed in range(2)]
    frames = []
    for cam in range(CAMERAS):
        a = np.roll(base[cam % 2], 37 * cam, axis=1)
        b = a.copy()
        rng = np.random.default_rng(cam)
        for _ in range(6):
            x, y = int(rng.integers(0, 1800)), int(rng.integers(0, 960))
            b[y:y + 120, x:x + 120] = rng.integers(0, 256, 3)
        frames.append((a, b))
    return frames


def make_doc(r, jitter=2):
    doc = {"alarmBehavior": []}
    for b in range(BEHAVIOURS):
        result = []
        for reg in range(REGIONS):
            left, top, right, bottom = RECTS[b * REGIONS + reg]
            bw, bh = max(8, (right - left) // 8), max(8, (bottom - top) // 4)
            boxes = [[left + 2 + k * bw + r.randint(-jitter, jitter), top + 2 + r.randint(-jitter, jitter),
                      left + 2 + (k + 1) * bw - 3, top + bh] for k in range(BOXES)]
            result.append({"roi_name": "roi%d" % reg if reg else None,
                           "roi": [[left, top], [right, top], [right, bottom], [left, bottom]],
                           "boxes": boxes})
        doc["alarmBehavior"].append({"behavior_number": 1002001 + b, "alarm_info_dict": dict(INFO),
                                     "alarm_info": "", "result": result})
    return doc


def pct(values, q):
    s = sorted(values)
    return s[min(len(s) - 1, int(round(q * (len(s) - 1))))]


# --------------------------------------------------------------------------- latency

def frame_schedule(n, seed):
    """(camera, picture index, document) per frame, round-robin over the cameras."""
    r = random.Random(seed)
    return [(i % CAMERAS, (i // CAMERAS) % 2, make_doc(r)) for i in range(n)]


def time_frames(call, schedule, frames):
    times = []
    for cam, pic, doc in schedule:
        im = frames[cam][pic]
        t0 = time.perf_counter()
        call(im, "cam%02d" % cam, doc)
        times.append(time.perf_counter() - t0)
    return times


def floor_frames(schedule, frames):
    crops_per_cam = {}
    times = []
    for cam, pic, _ in schedule:
        key = (cam, pic)
        if key not in crops_per_cam:
            im = frames[cam][pic]
            crops_per_cam[key] = [im[t:b, l:r] for l, t, r, b in RECTS]
        crops = crops_per_cam[key]
        t0 = time.perf_counter()
        for c in crops:
            opencv_floor(c)
        times.append(time.perf_counter() - t0)
    return times


def trackers_frames(schedule):
    rm = mod.RecognitionMode()
    cams = {}
    times = []
    for cam, _, doc in schedule:
        prepared = [(e["behavior_number"], reg.get("roi_name"), *rm.split(reg["boxes"], e["behavior_number"]))
                    for e in doc["alarmBehavior"] for reg in e["result"]]
        t0 = time.perf_counter()
        for number, name, boxes, classes in prepared:
            c = cams.get((cam, number, name))
            if c is None:
                c = cams[(cam, number, name)] = mod.Camera()
            c.run(boxes, classes)
        times.append(time.perf_counter() - t0)
    return times


def latency(frames, n):
    regions, boxes = BEHAVIOURS * REGIONS, BEHAVIOURS * REGIONS * BOXES
    out = {}
    rm = mod.RecognitionMode()
    py_motion, py_static = PyRecognitionMode(), PyStatic()
    # One warm-up pass per camera so every figure below is steady-state.
    warm = frame_schedule(2 * CAMERAS, 99)
    time_frames(lambda im, dev, doc: rm.main(im, dev, doc, "motion"), warm, frames)
    warm = frame_schedule(2 * CAMERAS, 98)
    time_frames(lambda im, dev, doc: rm.main(im, dev, doc, "TargetRadius"), warm, frames)
    for pm in (py_motion,):
        time_frames(pm.move_detect, frame_schedule(2 * CAMERAS, 99), frames)
    time_frames(lambda im, dev, doc: py_static.target_radius(dev, doc), frame_schedule(2 * CAMERAS, 98), frames)

    out["main motion"] = time_frames(lambda im, dev, doc: rm.main(im, dev, doc, "motion"),
                                     frame_schedule(n, 1), frames)
    out["OpenCV floor"] = floor_frames(frame_schedule(n, 1), frames)
    out["python motion"] = time_frames(py_motion.move_detect, frame_schedule(n, 1), frames)
    out["main TargetRadius"] = time_frames(lambda im, dev, doc: rm.main(im, dev, doc, "TargetRadius"),
                                           frame_schedule(n, 2), frames)
    out["trackers only"] = trackers_frames(frame_schedule(n, 2))
    out["python static"] = time_frames(lambda im, dev, doc: py_static.target_radius(dev, doc),
                                       frame_schedule(n, 2), frames)

    print("\nPer-frame latency, %d frames per row (round-robin over %d cameras), microseconds"
          % (n, CAMERAS))
    print("%-18s %10s %10s %10s %11s %9s %10s" % ("", "median", "p90", "p99", "per region", "per box", "ratio"))
    ratio_of = {"main motion": "OpenCV floor", "python motion": "OpenCV floor",
                "main TargetRadius": "trackers only", "python static": "trackers only"}
    med = {k: statistics.median(v) for k, v in out.items()}
    for k, v in out.items():
        ratio = "%.2f x %s" % (med[k] / med[ratio_of[k]], "floor" if "motion" in k else "trackers") \
            if k in ratio_of else ""
        per_box = "%9.2f" % (med[k] * 1e6 / boxes) if "motion" not in k and k != "OpenCV floor" else "%9s" % "-"
        print("%-18s %10.1f %10.1f %10.1f %11.2f %s   %s" % (k, med[k] * 1e6, pct(v, 0.9) * 1e6, pct(v, 0.99) * 1e6,
                                                          med[k] * 1e6 / regions, per_box, ratio))
    print("module overhead per region: motion %.2f us over OpenCV, static %.2f us over the trackers"
          % ((med["main motion"] - med["OpenCV floor"]) * 1e6 / regions,
             (med["main TargetRadius"] - med["trackers only"]) * 1e6 / regions))
    print("plain Python / module: motion %.2f x, static %.2f x"
          % (med["python motion"] / med["main motion"], med["python static"] / med["main TargetRadius"]))
    return med


# --------------------------------------------------------------------------- memory

def deep_size(obj, seen=None):
    """Bytes of an object graph as sys.getsizeof sees it (compiled targets: their Python shells)."""
    seen = set() if seen is None else seen
    todo, total = [obj], 0
    while todo:
        o = todo.pop()
        if id(o) in seen or o is None or isinstance(o, (type, type(sys))):
            continue
        seen.add(id(o))
        total += sys.getsizeof(o)
        if isinstance(o, dict):
            todo.extend(o.keys())
            todo.extend(o.values())
        elif isinstance(o, (list, tuple, set)):
            todo.extend(o)
        elif hasattr(o, "__dict__"):
            todo.append(o.__dict__)
    return total


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def state_counts(rm):
    cams = [c for dev in rm.dev_id.values() for names in dev.values() for c in names.values()]
    hashes = sum(len(n) for dev in rm.move_id.values() for n in dev.values())
    return hashes, len(cams), sum(len(c.state_list) for c in cams)


def memory(frames, per_camera):
    checkpoints = sorted({c for c in (10, 100, 1000, per_camera // 4, per_camera // 2, per_camera)
                          if 0 < c <= per_camera})
    # Figures go into a preallocated array: Python rows would add blocks of their own.
    table = np.zeros((len(checkpoints), 7), np.int64)
    print("\nMemory: one instance, %d cameras, frames per camera in each mode (both modes per round)"
          % CAMERAS)
    print("%10s %12s %12s %14s %14s %18s" % ("frames/cam", "RSS +KiB", "blocks +", "state bytes",
                                            "state B/camera", "hashes trackers targets"))
    gc.collect()
    rss0, blocks0 = rss_kib(), sys.getallocatedblocks()
    rm = mod.RecognitionMode()
    r = random.Random(5)
    done = 0
    t0 = time.perf_counter()
    for i, cp in enumerate(checkpoints):
        while done < cp:
            pic = done % 2
            for cam in range(CAMERAS):
                dev = "cam%02d" % cam
                rm.main(frames[cam][pic], dev, make_doc(r), "motion")
                rm.main(None, dev, make_doc(r), "TargetRadius")
            done += 1
        gc.collect()
        table[i, 1] = rss_kib() - rss0
        table[i, 2] = sys.getallocatedblocks() - blocks0
        table[i, 3] = deep_size((rm.dev_id, rm.move_id, rm.refresh_time))
        table[i, 4:7] = state_counts(rm)
        table[i, 0] = cp
    elapsed = time.perf_counter() - t0
    for cp, rss, blocks, size, h, c, t in table.tolist():
        print("%10d %12d %12d %14d %14d %8d %8d %8d" % (cp, rss, blocks, size, size // CAMERAS, h, c, t))
    last = table[-1].tolist()
    print("after %d frames per camera (%d calls, %.0f s): state %.1f KiB per camera (Python-visible sizes), "
          "process growth %.1f KiB per camera" % (per_camera, 2 * per_camera * CAMERAS, elapsed,
                                                  last[3] / 1024 / CAMERAS, last[1] / CAMERAS))
    if per_camera < 10000:
        flat = len(table) >= 2 and table[-1, 3] == table[-2, 3]
        print("10,000 frames per camera extrapolated from %d: the state is bounded by cameras x behaviours x "
              "regions (and targets per region), %s between the last two checkpoints; "
              "run with --memory-frames 10000 to measure it" % (per_camera, "unchanged" if flat else "CHANGED"))
    return table


def main(argv=None):
    ap = argparse.ArgumentParser(description="the whole performance picture in one run")
    ap.add_argument("--frames", type=int, default=320, help="frames per latency row")
    ap.add_argument("--memory-frames", type=int, default=10000,
                    help="frames per camera for the memory figures (500 gives a quick look)")
    args = ap.parse_args(argv)
    print("bench_report: %d cameras, 1920x1080, %d behaviours x %d regions x %d boxes, region sizes %s; "
          "Python %s, numpy %s, OpenCV %s (%d threads); tracker: %s; move_thr %r"
          % (CAMERAS, BEHAVIOURS, REGIONS, BOXES, ", ".join("%dx%d" % s for s in SIZES), sys.version.split()[0],
             np.__version__, cv2.__version__, cv2.getNumThreads(), tracker_kind(), mod.move_thr))
    frames = camera_frames()
    make_doc(random.Random(0))
    # Memory first, while the process holds nothing but the frames: RSS growth is then the
    # instance's state plus what the calls leave behind.
    memory(frames, args.memory_frames)
    latency(frames, args.frames)


if __name__ == "__main__":
    main()

#!/usr/bin/env python
"""The tuning tool on 1080p: what frame codecs do to hash distances, what recording costs
the host, and how fast a recording replays.

  codecs   each frame of a generated 1920x1080 scene (gradients, blocks, sensor noise,
           objects that move) through PNG and OpenCV's video writers; per codec the
           largest pixel change, the share of the 20 regions whose hash differs from the
           live frame's, and how many decisions at move_thr 9 (distance to the previous
           frame) come out otherwise than on the live frames;
  record   Recorder.record per call as the host waits for it (background writer), and
           the writer's own rate;
  replay   a recording of 1080p at 10 fps with 20 regions replayed with one setting and
           with a 13-setting sweep: calls (frames) per second, and the stage's share of
           the time (the rest: waiting for decoded frames, bookkeeping).

Figures are medians over --rounds rounds of one run.

    python bench/bench_replay.py [--frames 60] [--rounds 3]
"""
import argparse
import importlib
import os
import shutil
import statistics
import sys
import tempfile
import time

import cv2
import numpy as np

from recognition_mode_tools import Recorder, open_recording
from recognition_mode_tools import engine
from recognition_mode_tools.recording import _png_params

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_motion import make_frame  # noqa: E402

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")
W, H, FPS, REGIONS = 1920, 1080, 10, 20


def background(seed=0):
    # bench_motion's camera-like picture (gradients, blocks, noise), slightly smoothed
    return cv2.GaussianBlur(make_frame(seed).astype(np.float32), (0, 0), 1.0)


def frames(n, seed=0):
    """n frames: the background with noise, 6 objects walking 2-12 px a frame, 4 parked."""
    rng = np.random.default_rng(seed + 1)
    bg = background(seed)
    walkers = [(rng.integers(0, W - 100), rng.integers(0, H - 200), rng.integers(-12, 13), rng.integers(-6, 7),
                rng.integers(0, 255, 3)) for _ in range(6)]
    parked = [(rng.integers(0, W - 100), rng.integers(0, H - 200), rng.integers(0, 255, 3)) for _ in range(4)]
    for i in range(n):
        img = bg + rng.normal(0, 2.0, bg.shape).astype(np.float32)
        boxes = []
        for x, y, colour in parked:
            img[y:y + 180, x:x + 70] = colour
            boxes.append([int(x), int(y), int(x) + 70, int(y) + 180])
        for x, y, dx, dy, colour in walkers:
            cx, cy = int((x + dx * i) % (W - 80)), int((y + dy * i) % (H - 180))
            img[cy:cy + 170, cx:cx + 60] = colour
            boxes.append([cx, cy, cx + 60, cy + 170])
        yield np.clip(img, 0, 255).astype(np.uint8), boxes


def region_rects():
    out = []
    cols, rows = 5, 4
    for r in range(rows):
        for c in range(cols):
            left, top = c * W // cols, r * H // rows
            out.append([left, top, left + W // cols, top + H // rows])
    return out


def doc(boxes, rects, frame):
    result = []
    for n, (l, t, r, b) in enumerate(rects):
        inside = [bx for bx in boxes if l <= (bx[0] + bx[2]) // 2 < r and t <= (bx[1] + bx[3]) // 2 < b]
        result.append({"roi_name": "r%02d" % n, "roi": [[l, t], [r, t], [r, b], [l, b]], "boxes": inside})
    return {"alarmBehavior": [{"behavior_number": 1, "alarm_info": "", "result": result, "alarm_info_dict": {
        "behavior_info": "p", "info_name": "cam", "info_ftime": str(frame), "info_type": "1", "info_rois": ""}}]}


def hashes(rm, img, rects):
    return [rm.phash(img[t:b, l:r]) for l, t, r, b in rects]


def codecs(n, tmp):
    rm = mod.RecognitionMode()
    rects = region_rects()
    live = list(frames(n, seed=5))
    print("codecs: %d frames 1920x1080, %d regions, decoded frame against the live one" % (n, len(rects)))
    print("  %-22s %8s %12s %9s %14s %10s %10s %9s" % ("codec", "max |dp|", "hash differs", "max dist",
                                                       "decisions off", "write ms", "read ms", "MB/frame"))
    candidates = [("PNG (as the Recorder)", None, None), ("FFV1 .mkv", "FFV1", "mkv"), ("HFYU .avi", "HFYU", "avi"),
                  ("MJPG .avi", "MJPG", "avi"), ("mp4v .mp4", "mp4v", "mp4")]
    live_h = [hashes(rm, img, rects) for img, _ in live]
    for label, fourcc, ext in candidates:
        t0 = time.perf_counter()
        if fourcc is None:
            paths = []
            for i, (img, _) in enumerate(live):
                paths.append(os.path.join(tmp, "f%03d.png" % i))
                cv2.imwrite(paths[-1], img, _png_params(cv2))
            wt = time.perf_counter() - t0
            size = sum(os.path.getsize(p) for p in paths)
            t0 = time.perf_counter()
            dec = [cv2.imread(p, cv2.IMREAD_UNCHANGED) for p in paths]
            rt = time.perf_counter() - t0
        else:
            path = os.path.join(tmp, "v." + ext)
            w = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*fourcc), FPS, (W, H))
            if not w.isOpened():
                print("  %-22s not in this OpenCV build" % label)
                continue
            for img, _ in live:
                w.write(img)
            w.release()
            wt = time.perf_counter() - t0
            size = os.path.getsize(path)
            t0 = time.perf_counter()
            cap = cv2.VideoCapture(path)
            dec = []
            while True:
                ok, img = cap.read()
                if not ok:
                    break
                dec.append(img)
            rt = time.perf_counter() - t0
        if len(dec) != len(live):
            print("  %-22s gave %d of %d frames back" % (label, len(dec), len(live)))
            continue
        dp = max(int(np.abs(a.astype(np.int16) - b).max()) for (a, _), b in zip(live, dec))
        dec_h = [hashes(rm, img, rects) for img in dec]
        differ = [rm.distance(a, b) for la, lb in zip(live_h, dec_h) for a, b in zip(la, lb)]
        off = 0
        for i in range(1, n):
            for j in range(len(rects)):
                off += ((rm.distance(live_h[i][j], live_h[i - 1][j]) < 9)
                        != (rm.distance(dec_h[i][j], dec_h[i - 1][j]) < 9))
        print("  %-22s %8d %11.1f%% %9d %8d of %-5d %10.1f %10.1f %9.2f" % (
            label, dp, 100.0 * sum(d > 0 for d in differ) / len(differ), max(differ), off,
            (n - 1) * len(rects), 1e3 * wt / n, 1e3 * rt / n, size / 1e6 / n))


def record(n, folder):
    rects = region_rects()
    rm = mod.RecognitionMode()
    made = [(img, boxes) for img, boxes in frames(n, seed=7)]
    waits, stage = [], []
    t0 = time.perf_counter()
    with Recorder(folder) as rec:
        for i, (img, boxes) in enumerate(made):
            # a host at 10 fps: one call every 100 ms
            while time.perf_counter() < t0 + i / float(FPS):
                time.sleep(0.001)
            t1 = time.perf_counter()
            rec.record(img, "cam", doc(boxes, rects, i), "MoveDetect")
            waits.append(time.perf_counter() - t1)
            t1 = time.perf_counter()
            rm.main(img, "cam", doc(boxes, rects, i), "MoveDetect")
            stage.append(time.perf_counter() - t1)
        t1 = time.perf_counter()
    behind = time.perf_counter() - t1
    size = sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(folder) for f in fs)
    print("record, a host calling at %d fps: record() takes %.1f ms per call (median; p90 %.1f ms, max %.1f), "
          "main %.2f ms; the writers finish %.2f s after the last call; %.2f MB per frame"
          % (FPS, 1e3 * statistics.median(waits), 1e3 * sorted(waits)[int(0.9 * (n - 1))], 1e3 * max(waits),
             1e3 * statistics.median(stage), behind, size / 1e6 / n))
    t0 = time.perf_counter()
    with Recorder(folder + "-flat-out") as rec:
        for i, (img, boxes) in enumerate(made):
            rec.record(img, "cam", doc(boxes, rects, i), "MoveDetect")
    print("record, as fast as the writers go: %.1f frames/s" % (n / (time.perf_counter() - t0)))


def replay(folder, rounds):
    rec = open_recording(folder)
    base = (mod.move_thr, mod.iou_thr, mod.pix_thr)
    one = [engine.Setting(base[0], base[1], base[2], 1, None)]
    sweep = [engine.Setting(m, base[1], base[2], 1, None) for m in range(4, 17)]
    for label, settings in (("1 setting", one), ("13 settings (move_thr 4:16:1)", sweep)):
        fps, stage, wait = [], [], []
        for _ in range(rounds):
            res = engine.replay(rec, mod, settings, keep_tracks=False)
            fps.append(res.calls / res.seconds)
            stage.append(res.stage_seconds / res.seconds)
            wait.append(res.decode_seconds / res.seconds)
        print("replay, %s: %.1f frames/s (%.1f x real time at %d fps); the stage %.0f%% of the time, waiting for "
              "decoded frames %.0f%%" % (label, statistics.median(fps), statistics.median(fps) / FPS, FPS,
                                         100 * statistics.median(stage), 100 * statistics.median(wait)))
    t0 = time.perf_counter()
    images = [rec.image(c) for c in rec.calls()]
    decode = (time.perf_counter() - t0) / len(images)
    print("decoding alone, one thread: %.1f ms per 1080p frame (%.1f frames/s)" % (1e3 * decode, 1 / decode))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--frames", type=int, default=60)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    print("Python %s, numpy %s, OpenCV %s, %d cores" % (sys.version.split()[0], np.__version__, cv2.__version__,
                                                       os.cpu_count()))
    tmp = tempfile.mkdtemp(prefix="bench-replay-")
    try:
        codecs(min(args.frames, 20), tmp)
        folder = os.path.join(tmp, "rec")
        record(args.frames, folder)
        replay(folder, args.rounds)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

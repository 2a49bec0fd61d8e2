#!/usr/bin/env python
"""Static-target removal cost: target_radius per frame, and split alone.

Load: 5 behaviours x 4 regions x 6 boxes per frame, 200 frames whose boxes jitter by a
pixel or two (so most targets read as still). Figures, medians over the frames:

  target_radius   the module's call per frame, and per region / per box;
  trackers only   Camera.run on the same regions (the tracking components' share);
  python          the same procedure written in plain Python over the same tracking
                  components, as a reference point;
  split           split alone on a region's six boxes (ints, floats, numeral texts).

    python bench/bench_static.py [--frames N]
"""
import argparse
import importlib
import random
import statistics
import sys
import time

import numpy as np

from bench_motion import INFO, PyRecognitionMode

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")

BEHAVIOURS, REGIONS, BOXES = 5, 4, 6


def static_docs(frames, seed=0, behaviours=BEHAVIOURS, regions=REGIONS, boxes=BOXES, jitter=2):
    """One fresh recognition result per frame; box corners wander by up to `jitter` pixels."""
    r = random.Random(seed)
    base = [[[[40 + 300 * reg + 45 * bx, 60 + 180 * b, 80 + 300 * reg + 45 * bx, 140 + 180 * b]
              for bx in range(boxes)] for reg in range(regions)] for b in range(behaviours)]
    docs = []
    for _ in range(frames):
        docs.append({"alarmBehavior": [
            {"behavior_number": 1002001 + b, "alarm_info_dict": dict(INFO), "alarm_info": "",
             "result": [{"roi_name": "roi%d" % reg,
                         "boxes": [[v + r.randint(-jitter, jitter) for v in box] for box in base[b][reg]]}
                        for reg in range(regions)]}
            for b in range(behaviours)]})
    return docs


class PyCamera:
    def __init__(self):
        self.state_list = []

    def run(self, boxes, classes):
        mea_list = [mod.box2meas(box) for box in boxes]
        if not mea_list:
            self.state_list = []
        unmatch_list, static_list, del_list = mod.TargetRadius.association(self.state_list, mea_list, classes)
        self.state_list = [t for i, t in enumerate(self.state_list) if i not in del_list]
        for idx in unmatch_list:
            self.state_list.append(mod.TargetRadius(mea_list[idx], classes[idx], mod.iou_thr, mod.pix_thr))
        return static_list, unmatch_list, static_list, del_list


class PyStatic(PyRecognitionMode):
    """target_radius written directly in Python over the module's tracking components."""

    def __init__(self):
        super().__init__()
        self.dev_id, self.refresh_time = {}, {}
        self.unmatch_list = self.static_list = self.del_list = None
        self.runtime = 0

    def split(self, behavior_boxes, behavior_number):
        boxes, classes = [], []
        boxes_list = np.array(behavior_boxes).reshape(-1, 4)
        for i in range(boxes_list.shape[0]):
            boxes.append([int(boxes_list[i][0]), int(boxes_list[i][1]), int(boxes_list[i][2]),
                          int(boxes_list[i][3])])
            classes.append(str(behavior_number))
        return boxes, classes

    def target_radius(self, dev_id, out_result_dict):
        for k, behavior in enumerate(out_result_dict.get("alarmBehavior")):
            behavior_number = behavior.get("behavior_number")
            out_result = behavior.get("result")
            if not out_result:
                continue
            int(behavior_number)
            cleared = False  # an unnamed still region already emptied this entry
            for v, roi_result in enumerate(out_result):
                name = roi_result.get("roi_name")
                behavior_boxes = roi_result.get("boxes")
                boxes, classes = self.split(behavior_boxes, behavior_number)
                start_time = time.time()
                if dev_id not in self.dev_id:
                    self.dev_id[dev_id] = {}
                    self.refresh_time[dev_id] = {}
                if behavior_number not in self.dev_id[dev_id]:
                    self.dev_id[dev_id][behavior_number] = {}
                    self.refresh_time[dev_id][behavior_number] = mod.get_current_time()
                if name not in self.dev_id[dev_id][behavior_number]:
                    self.dev_id[dev_id][behavior_number][name] = PyCamera()
                cam = self.dev_id[dev_id][behavior_number][name]
                _, self.unmatch_list, self.static_list, self.del_list = cam.run(boxes, classes)
                self.runtime = time.time() - start_time
                if len(self.static_list) >= len(behavior_boxes) - 1 and len(behavior_boxes) > 0:
                    if name:
                        if not cleared:
                            out_result_dict["alarmBehavior"][k]["result"][v]["boxes"] = []
                    else:
                        behavior["result"], behavior["alarm_info"], behavior["alarm_info_dict"] = [], "", {}
                        cleared = True
        out_result_dict = self.check_boxes(out_result_dict)
        for number, stamp in list(self.refresh_time.get(dev_id, {}).items()):
            now = mod.get_current_time()
            if now - stamp >= 600:
                self.refresh_time[dev_id][number] = now
                self.dev_id[dev_id] = {}
        return out_result_dict


def tracker_kind():
    """Which tracking components are installed (they may be Python or compiled)."""
    m = sys.modules.get(getattr(mod.TargetRadius, "__module__", ""), None)
    path = getattr(m, "__file__", "") or ""
    return "%s (%s)" % (getattr(m, "__name__", "?").rsplit(".", 1)[-1],
                        "compiled" if path.endswith((".so", ".pyd")) else "Python")


def per_frame(fn, docs, dev="cam"):
    times = []
    for d in docs:
        t0 = time.perf_counter()
        fn(dev, d)
        times.append(time.perf_counter() - t0)
    return times


def trackers_only(docs):
    """Camera.run on every region of every frame, with split's output prepared beforehand."""
    rm = mod.RecognitionMode()
    prepared = [[(reg.get("roi_name"), *rm.split(reg["boxes"], e["behavior_number"]), e["behavior_number"])
                 for e in d["alarmBehavior"] for reg in e["result"]] for d in docs]
    cams = {}
    times = []
    for regions in prepared:
        t0 = time.perf_counter()
        for name, boxes, classes, number in regions:
            cam = cams.get((number, name))
            if cam is None:
                cam = cams[(number, name)] = mod.Camera()
            cam.run(boxes, classes)
        times.append(time.perf_counter() - t0)
    return times


def split_cost(repeats=2000):
    rm = mod.RecognitionMode()
    cases = {
        "ints": [[100, 200, 150, 260]] * BOXES,
        "floats": [[100.5, 200.2, 150.9, 260.0]] * BOXES,
        "numeral texts": [["100", "200", "150", "260"]] * BOXES,
        "numpy array": np.array([[100, 200, 150, 260]] * BOXES),
    }
    out = {}
    py = PyStatic()
    for label, boxes in cases.items():
        samples, py_samples = [], []
        for _ in range(15):
            t0 = time.perf_counter()
            for _ in range(repeats // 15):
                rm.split(boxes, 1002001)
            samples.append((time.perf_counter() - t0) / (repeats // 15))
            t0 = time.perf_counter()
            for _ in range(repeats // 15):
                py.split(boxes, 1002001)
            py_samples.append((time.perf_counter() - t0) / (repeats // 15))
        out[label] = (statistics.median(samples), statistics.median(py_samples))
    return out


def summary(times):
    s = sorted(times)
    return statistics.median(s), s[int(0.9 * (len(s) - 1))]


def main(argv=None):
    ap = argparse.ArgumentParser(description="target_radius per frame and split alone")
    ap.add_argument("--frames", type=int, default=200)
    args = ap.parse_args(argv)
    regions = BEHAVIOURS * REGIONS
    boxes = regions * BOXES
    print("bench_static: %d behaviours x %d regions x %d boxes, %d frames with +-2 px jitter, Python %s, "
          "tracker: %s" % (BEHAVIOURS, REGIONS, BOXES, args.frames, sys.version.split()[0], tracker_kind()))
    results = {}
    for label, fn in (("target_radius", lambda: per_frame(mod.RecognitionMode().target_radius,
                                                           static_docs(args.frames))),
                      ("trackers only", lambda: trackers_only(static_docs(args.frames))),
                      ("python", lambda: per_frame(PyStatic().target_radius, static_docs(args.frames)))):
        results[label] = summary(fn())
    floor = results["trackers only"][0]
    print("%-15s %12s %12s %12s %10s %16s" % ("", "frame med us", "frame p90 us", "region us", "box us",
                                              "x trackers only"))
    for label, (med, p90) in results.items():
        print("%-15s %12.1f %12.1f %12.2f %10.2f %16.2f" % (label, med * 1e6, p90 * 1e6, med * 1e6 / regions,
                                                            med * 1e6 / boxes, med / floor))
    # What the module adds over the trackers themselves, per region.
    print("module overhead over the trackers: %.2f us per region"
          % ((results["target_radius"][0] - floor) * 1e6 / regions))
    print("split alone (%d boxes):" % BOXES)
    print("%-15s %10s %10s %12s %8s" % ("input", "module us", "per box us", "python us", "speedup"))
    for label, (m, p) in split_cost().items():
        print("%-15s %10.2f %10.3f %12.2f %8.1f" % (label, m * 1e6, m * 1e6 / BOXES, p * 1e6, p / m))
    return results


if __name__ == "__main__":
    main()

#!/usr/bin/env python
"""Leak check: many mixed calls, then show that memory and object counts stay flat.

Runs N public calls (default one million) on one RecognitionMode instance and a few
stand-alone Camera trackers: both modes, good and bad documents, the helper operations
directly, and now and then a whole new instance. Cameras, behaviour codes and region
names come from fixed sets, so the state that legitimately grows (hash store, tracker
registry, refresh stamps, tracked targets) stops growing during warm-up. After warm-up the
script samples, at regular checkpoints:

  * the process's resident set size (VmRSS),
  * len(gc.get_objects()) after a full collection,
  * sys.getallocatedblocks(),
  * the reference counts of objects that every call is handed again (frames, device ids,
    mode texts): a leaked reference to a shared argument shows only there,
  * the size of the instance's state.

Object and block growth is taken from a fit that discounts the trackers and targets
alive at each checkpoint (they come and go with refreshes).

It prints the figures and exits 1 when any of them grows past its tolerance.

    python scripts/leak_check.py                # the full million (a few minutes)
    python scripts/leak_check.py --calls 50000  # quick run
"""
import argparse
import gc
import importlib
import random
import sys
import time

import numpy as np

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")

H, W = 72, 96
DEVICES = ["cam%02d" % i for i in range(16)] + [0, None]
NUMBERS = [1002001, "1002001", 1002006]
NAMES = ["door", "gate", "yard", None, ""]
MODES = ["TargetRadius", "motion"]
INFO = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}


class Boom(Exception):
    pass


class RaisingGet(dict):
    def get(self, *a):
        raise Boom()


class FakeClock:
    """Advances on every read, so tracker refreshes keep happening during the run."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        self.now += 0.37
        return self.now


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def make_frames(n=4):
    rng = np.random.default_rng(7)
    base = rng.integers(0, 256, (H, W, 3), dtype=np.uint8)
    frames = [np.roll(base, 3 * i, axis=1) for i in range(n)]
    frames[1][10:30, 10:40] = 0  # a region that changes between frames
    return frames


class Workload:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.rm = mod.RecognitionMode()
        self.frames = make_frames()
        # Non-interned copies, so their reference counts belong to this run alone.
        self.devices = [d if not isinstance(d, str) else "".join(list(d)) for d in DEVICES]
        self.modes = ["".join(list(m)) for m in MODES]
        self.names = [n if not n else "".join(list(n)) for n in NAMES]
        self.cameras = [mod.Camera() for _ in range(8)]
        self.errors = {}

    # -- documents -------------------------------------------------------------------

    def region(self, i):
        r = self.r
        x, y = 4 + 22 * (i % 4), 4 + 30 * (i // 4)
        jitter = r.randrange(3)
        return {"roi_name": r.choice(self.names),
                "roi": [[x, y], [x + 20, y], [x + 20, y + 28], [x, y + 28]],
                "boxes": [[x + jitter + b, y + 1, x + 8 + b, y + 12] for b in range(r.randrange(7))]}

    def good_doc(self):
        r = self.r
        return {"alarmBehavior": [{"behavior_number": r.choice(NUMBERS), "alarm_info_dict": dict(INFO),
                                   "alarm_info": "", "result": [self.region(i) for i in range(r.randrange(1, 5))]}
                                  for _ in range(r.randrange(1, 4))],
                "other": "kept"}

    def bad_doc(self):
        r = self.r
        doc = self.good_doc()
        entry = doc["alarmBehavior"][0]
        reg = entry["result"][0]
        kind = r.randrange(14)
        if kind == 0:
            del doc["alarmBehavior"]
        elif kind == 1:
            doc["alarmBehavior"] = None
        elif kind == 2:
            doc["alarmBehavior"].append(5)
        elif kind == 3:
            entry["result"] = None
        elif kind == 4:
            reg["roi"] = None
        elif kind == 5:
            reg["roi"] = [[50, 50], [50, 60]]  # empty crop
        elif kind == 6:
            reg["roi"] = [[float("nan"), 1], [3, 4]]
        elif kind == 7:
            reg["boxes"] = None
        elif kind == 8:
            reg["boxes"] = [[1.5, float("nan"), 3, 4]]
        elif kind == 9:
            entry["behavior_number"] = "abc"
        elif kind == 10:
            del entry["alarm_info_dict"]
        elif kind == 11:
            entry["alarm_info_dict"]["info_type"] = None
        elif kind == 12:
            entry["result"][0] = RaisingGet(reg)
        else:
            reg["roi_name"] = ["unhashable"]
        return doc

    # -- one call --------------------------------------------------------------------

    def call(self):
        r = self.r
        rm = self.rm
        k = r.random()
        if k < 0.30:
            return rm.main(r.choice(self.frames), r.choice(self.devices), self.good_doc(), r.choice(self.modes))
        if k < 0.40:
            return rm.main(r.choice(self.frames), r.choice(self.devices), self.bad_doc(), r.choice(self.modes))
        if k < 0.42:
            return rm.main(r.choice(self.frames), ["unhashable"], self.good_doc(), r.choice(self.modes))
        if k < 0.50:
            return rm.split(r.choice([[[1, 2, 3, 4], [5.5, 6, 7, 8]], [[1, 2, 3]], None, [["1", "2", "3", "4"]],
                                      [[1e300, 2, 3, 4]], [[float("inf"), 0, 0, 0]], (1, 2, 3, 4)]),
                            r.choice(NUMBERS + [None]))
        if k < 0.58:
            return rm.get_metrix(r.choice([[[1, 2], [3.7, -4.2], [5, 6]], [[1, 2]], None, [[1], [2]],
                                           [[float("nan"), 1], [2, 3]], [[2 ** 70, 1], [2, 3]], [[1, 2], "ab"]]))
        if k < 0.66:
            f = r.choice(self.frames)
            return rm.phash(r.choice([f[5:40, 7:60], f, f[:0], f.astype(np.float64), f[:, :, 0], None]))
        if k < 0.74:
            a = "".join(r.choice("0123456789abcdef") for _ in range(8))
            return rm.distance(a, r.choice([a, a[::-1], a[:5], list(a), None]))
        if k < 0.80:
            return rm.check_boxes(r.choice([self.good_doc, self.bad_doc])())
        if k < 0.97:
            cam = r.choice(self.cameras)
            boxes = [[10 + r.randrange(3), 10, 30, 40], [50, 50, 70, 80]][: r.randrange(3)]
            if r.random() < 0.2:
                boxes = r.choice([[None], [[1, 2]], 5, [[float("nan"), 0, 1, 1]]])
            return cam.run(boxes, ["1", "1"])
        # A short-lived instance: its state must go away with it.
        tmp = mod.RecognitionMode()
        for mode in self.modes:
            tmp.main(self.frames[0], "tmp", self.good_doc(), mode)
        return tmp

    def step(self):
        try:
            self.call()
        except Exception as exc:  # noqa: BLE001 - bad input is part of the mix
            name = type(exc).__name__
            self.errors[name] = self.errors.get(name, 0) + 1

    # -- measurements ----------------------------------------------------------------

    def state_size(self):
        rm = self.rm
        hashes = sum(len(names) for dev in rm.move_id.values() for names in dev.values())
        cams = [c for dev in rm.dev_id.values() for names in dev.values() for c in names.values()]
        targets = sum(len(c.state_list) for c in cams) + sum(len(c.state_list) for c in self.cameras)
        stamps = sum(len(v) for v in rm.refresh_time.values())
        return hashes, len(cams), stamps, targets

    def probe_refs(self):
        # Frames and mode texts are never stored; device ids are stored once each as keys of
        # the three maps and stay there. (Region names and codes come and go with refreshes.)
        probes = self.frames + [d for d in self.devices if isinstance(d, str)] + self.modes
        # Minus the references this list and getrefcount's argument add.
        return sum(sys.getrefcount(p) for p in probes) - 2 * len(probes)


def sample(w):
    gc.collect()
    return {"rss_kib": rss_kib(), "objects": len(gc.get_objects()),
            "blocks": sys.getallocatedblocks(), "refs": w.probe_refs(), "state": w.state_size()}


def fitted_growth(rows, key):
    """Growth over the measured calls that is due to the calls themselves.

    Trackers and their targets come and go with refreshes and frames, and they hold
    objects and blocks of their own. A least-squares fit of the count against calls,
    cameras and targets separates that from a steady rise per call.
    """
    n = np.array([r[0] for r in rows], float)
    y = np.array([r[1][key] for r in rows], float)
    cams = np.array([r[1]["state"][1] for r in rows], float)
    targets = np.array([r[1]["state"][3] for r in rows], float)
    x = np.column_stack([np.ones_like(n), n - n[0], cams, targets])
    coef = np.linalg.lstsq(x, y, rcond=None)[0]
    return int(round(coef[1] * (n[-1] - n[0])))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--calls", type=int, default=1_000_000)
    ap.add_argument("--warmup", type=float, default=0.1, help="share of the calls before the baseline")
    ap.add_argument("--checkpoints", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--rss-tolerance-kib", type=int, default=4096)
    ap.add_argument("--objects-tolerance", type=int, default=100,
                    help="allowed growth in GC objects over the measured calls (fitted)")
    ap.add_argument("--blocks-tolerance", type=int, default=500,
                    help="allowed growth in allocated blocks over the measured calls (fitted)")
    args = ap.parse_args(argv)

    clock = FakeClock()
    mod.get_current_time = clock
    w = Workload(args.seed)
    warm = max(1, int(args.calls * args.warmup))
    rest = args.calls - warm
    t0 = time.perf_counter()
    for _ in range(warm):
        w.step()
    base = sample(w)
    rows = [(warm, base)]
    done = warm
    for c in range(1, args.checkpoints + 1):
        target = warm + rest * c // args.checkpoints
        while done < target:
            w.step()
            done += 1
        rows.append((done, sample(w)))
    elapsed = time.perf_counter() - t0

    print("leak_check: %d calls in %.1f s (%.1f us/call), warm-up %d, Python %s"
          % (args.calls, elapsed, 1e6 * elapsed / args.calls, warm, sys.version.split()[0]))
    print("%10s %10s %10s %10s %8s   %s" % ("calls", "RSS KiB", "gc objs", "blocks", "probe rc",
                                            "state: hashes cameras stamps targets"))
    for n, s in rows:
        print("%10d %10d %10d %10d %8d   %s" % (n, s["rss_kib"], s["objects"], s["blocks"], s["refs"],
                                              " ".join(str(x) for x in s["state"])))
    print("errors raised by the bad part of the mix:", dict(sorted(w.errors.items())))

    last = rows[-1][1]
    checks = [
        ("RSS KiB", last["rss_kib"] - base["rss_kib"], args.rss_tolerance_kib),
        ("gc objects", fitted_growth(rows, "objects"), args.objects_tolerance),
        ("allocated blocks", fitted_growth(rows, "blocks"), args.blocks_tolerance),
        ("probe refcounts", last["refs"] - base["refs"], 0),
    ]
    # Keys come from fixed sets ("abc" is the bad behaviour code), so the state has a ceiling.
    ceiling = len(DEVICES) * (len(NUMBERS) + 1) * len(NAMES)
    checks += [("hash store entries", max(s["state"][0] for _, s in rows) - ceiling, 0),
               ("cameras", max(s["state"][1] for _, s in rows) - ceiling, 0)]
    failed = False
    for name, growth, tol in checks:
        ok = growth <= tol
        failed |= not ok
        print("  %-20s growth %+8d  (tolerance %d)  %s" % (name, growth, tol, "ok" if ok else "GROWING"))
    print("  (state rows: growth is the largest count minus the ceiling %d)" % ceiling)
    print("leak_check:", "FAIL" if failed else "flat")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

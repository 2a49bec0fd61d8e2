"""Threads calling one instance while other threads rewrite the documents it is walking.

Results may be inconsistent (calls are meant to come one at a time), but every failure
must be an ordinary Python exception: no crash, no hang, no internal error. OpenCV
releases the GIL inside resize/cvtColor/dct, so the module's references are exercised
while other threads run.
"""
import collections
import faulthandler
import importlib
import random
import sys
import threading
import time

import numpy as np
import pytest

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")

RUN_SECONDS = 1.5
JOIN_TIMEOUT = 60


@pytest.fixture(autouse=True)
def busy_switching():
    # Switch threads as often as possible, and turn a hang into a dump plus exit.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    faulthandler.dump_traceback_later(240, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(old)


def frames(n=3, h=360, w=640):
    rng = np.random.default_rng(1)
    base = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    return [np.roll(base, 7 * i, axis=1) for i in range(n)]


def region(i, shift=0):
    x = 40 + 70 * (i % 8)
    y = 30 + 90 * (i // 8)
    return {"roi_name": "r%d" % (i % 5) if i % 4 else None,
            "roi": [[x, y], [x + 60, y], [x + 60, y + 80], [x, y + 80]],
            "boxes": [[x + 2 + shift, y + 2, x + 20, y + 30], [x + 30, y + 40, x + 55, y + 75]]}


def document(n_behaviours=3, n_regions=6, shift=0):
    info = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}
    return {"alarmBehavior": [{"behavior_number": 1002001 + b, "alarm_info_dict": dict(info), "alarm_info": "",
                               "result": [region(b * n_regions + i, shift) for i in range(n_regions)]}
                              for b in range(n_behaviours)]}


MUTATIONS = [
    lambda d, r: d.__setitem__("alarmBehavior", document()["alarmBehavior"]),
    lambda d, r: d.get("alarmBehavior", []).clear() if isinstance(d.get("alarmBehavior"), list) else None,
    lambda d, r: d.pop("alarmBehavior", None),
    lambda d, r: d.__setitem__("alarmBehavior", None),
    lambda d, r: r.choice(d["alarmBehavior"]).clear(),
    lambda d, r: r.choice(d["alarmBehavior"]).__setitem__("result", [region(r.randrange(40))]),
    lambda d, r: r.choice(d["alarmBehavior"])["result"].clear(),
    lambda d, r: r.choice(d["alarmBehavior"])["result"].append({"roi": None}),
    lambda d, r: r.choice(d["alarmBehavior"])["result"].pop(),
    lambda d, r: r.choice(d["alarmBehavior"]).pop("alarm_info_dict"),
    lambda d, r: r.choice(d["alarmBehavior"]).__setitem__("behavior_number", r.choice([None, "7", 3.5, [1]])),
    lambda d, r: _swap(r.choice(r.choice(d["alarmBehavior"])["result"])),
    lambda d, r: r.choice(r.choice(d["alarmBehavior"])["result"]).clear(),
    lambda d, r: r.choice(r.choice(d["alarmBehavior"])["result"]).pop("boxes"),
    lambda d, r: r.choice(r.choice(d["alarmBehavior"])["result"]).__setitem__("roi_name", r.choice(["x", None, 5])),
    lambda d, r: r.choice(r.choice(d["alarmBehavior"])["result"])["boxes"].clear(),
    lambda d, r: r.choice(r.choice(d["alarmBehavior"])["result"])["roi"].clear(),
    lambda d, r: r.choice(r.choice(d["alarmBehavior"])["result"])["boxes"].append([1, 2, 3]),
    lambda d, r: d.clear(),
    lambda d, r: d.update(document(shift=r.randrange(3))),
]


def _swap(reg):
    reg["boxes"], reg["roi"] = reg.get("roi"), reg.get("boxes")


class Outcomes:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = collections.Counter()
        self.bad = []

    def run(self, fn, *args):
        try:
            fn(*args)
            key = "ok"
        except SystemError as exc:  # an internal error is a module bug, whatever the race
            key = "SystemError"
            with self.lock:
                self.bad.append(repr(exc))
        except Exception as exc:  # noqa: BLE001 - ordinary exceptions are expected here
            key = type(exc).__name__
        with self.lock:
            self.counts[key] += 1

    def guard(self, body):
        """Thread body wrapper: anything escaping the per-call handling is a failure."""
        def target():
            try:
                body()
            except BaseException as exc:  # noqa: BLE001
                with self.lock:
                    self.bad.append("thread died: %r" % (exc,))
        return target


def run_threads(targets, seconds):
    threads = [threading.Thread(target=t, daemon=True) for t in targets]
    for t in threads:
        t.start()
    time.sleep(seconds)
    return threads


def stop_and_join(stop, threads):
    stop.set()
    deadline = time.monotonic() + JOIN_TIMEOUT
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [t for t in threads if t.is_alive()]
    assert not stuck, "threads still running after %ss: hang" % JOIN_TIMEOUT


def test_callers_and_document_mutators_on_one_instance():
    rm = mod.RecognitionMode()
    pics = frames()
    docs = [document() for _ in range(4)]
    stop = threading.Event()
    out = Outcomes()

    def caller(seed, mode):
        def body():
            r = random.Random(seed)
            while not stop.is_set():
                i = r.randrange(len(docs))
                m = mode or r.choice(["TargetRadius", "motion"])
                out.run(rm.main, r.choice(pics), "cam%d" % (i % 2), docs[i], m)
        return body

    def other_ops(seed):
        def body():
            r = random.Random(seed)
            while not stop.is_set():
                d = r.choice(docs)
                out.run(rm.check_boxes, d)
                out.run(rm.target_radius, "cam0", d)
                out.run(rm.move_detect, r.choice(pics), "cam1", d)
                out.run(rm.phash, r.choice(pics)[10:200, 30:300])
        return body

    def mutator(seed):
        def body():
            r = random.Random(seed)
            while not stop.is_set():
                d = r.choice(docs)
                out.run(r.choice(MUTATIONS), d, r)
                if r.random() < 0.05:
                    docs[r.randrange(len(docs))] = document(shift=r.randrange(3))
                if r.random() < 0.02:
                    r.choice(pics)[r.randrange(300)] = r.randrange(256)  # pixels change under OpenCV
        return body

    def state_mutator(seed):
        # The instance's own maps are public attributes too.
        def body():
            r = random.Random(seed)
            while not stop.is_set():
                time.sleep(0.01)
                target = r.choice([rm.move_id, rm.dev_id, rm.refresh_time])
                if r.random() < 0.5:
                    out.run(target.clear)
                else:
                    out.run(lambda: [v.clear() for v in list(target.values()) if isinstance(v, dict)])
        return body

    targets = [caller(1, "motion"), caller(2, "TargetRadius"), caller(3, None), other_ops(4),
               mutator(5), mutator(6), state_mutator(7)]
    threads = run_threads([out.guard(t) for t in targets], RUN_SECONDS)
    stop_and_join(stop, threads)

    assert not out.bad, out.bad[:5]
    assert out.counts["ok"] > 0, out.counts
    # The instance still serves a new camera normally in both modes.
    for mode in ("motion", "TargetRadius"):
        doc = document(1, 2)
        assert rm.main(pics[0], ("after", mode), doc, mode) is doc
        assert len(doc["alarmBehavior"]) == 1


def test_shared_cameras_and_box_lists():
    """Several threads on the same trackers, with the box lists changing under them."""
    rm = mod.RecognitionMode()
    cams = [mod.Camera() for _ in range(3)]
    boxes = [[[10 * i, 10, 10 * i + 30, 40] for i in range(6)] for _ in range(3)]
    docs = [document(2, 4) for _ in range(3)]
    stop = threading.Event()
    out = Outcomes()

    def runner(seed):
        def body():
            r = random.Random(seed)
            while not stop.is_set():
                k = r.randrange(3)
                out.run(cams[k].run, boxes[k], ["1"] * len(boxes[k]))
                out.run(rm.main, None, "cam", docs[k], "TargetRadius")
        return body

    def mutate(r):
        k = r.randrange(3)
        b = boxes[k]
        action = r.randrange(6)
        if action == 0:
            b.clear()
        elif action == 1:
            b.extend([[r.randrange(100), 5, 120, 60]] * r.randrange(1, 4))
        elif action == 2:
            b[r.randrange(len(b))] = r.choice([None, [1, 2], "abcd", [1.5, 2, 3, float("nan")]])
        elif action == 3:
            cams[k].state_list = r.choice([[], None, cams[(k + 1) % 3].state_list])
        elif action == 4:
            r.choice(MUTATIONS)(docs[k], r)
        else:
            boxes[k] = [[10, 10, 40, 40]] * r.randrange(8)
            docs[k] = document(2, 4, shift=r.randrange(2))

    def mutator(seed):
        def body():
            r = random.Random(seed)
            while not stop.is_set():
                out.run(mutate, r)
        return body

    targets = [runner(1), runner(2), runner(3), mutator(4), mutator(5)]
    threads = run_threads([out.guard(t) for t in targets], RUN_SECONDS)
    stop_and_join(stop, threads)

    assert not out.bad, out.bad[:5]
    assert out.counts["ok"] > 0, out.counts


def test_large_associations_in_threads_match_one_thread():
    """Associations of many targets run without the GIL: threads on their own target lists
    get what one thread gets, and threads sharing one list, with readers of the targets
    beside them, wait for each other instead of changing a target at once."""
    from object_detection.post_processing.recognition_mode.target import TargetRadius

    def scene(seed, n=170):
        r = random.Random(seed)
        boxes = [[r.randrange(1800), r.randrange(1000)] for _ in range(n)]
        return [[(x, y, x + 40, y + 80) for x, y in boxes],
                [[(x + r.randrange(-3, 4), y + r.randrange(-3, 4), x + 40, y + 80) for x, y in boxes]
                 for _ in range(8)]]

    def track(start, frames):
        targets = [TargetRadius(b, "1", 0.3, 0.75) for b in start]
        seen = []
        for meas in frames:
            unmatch, still, gone = TargetRadius.association(targets, meas, ["1"] * len(meas))
            seen.append((list(unmatch), len(still), list(gone)))
        return seen, [(t.box, t.anchor, t.still) for t in targets]

    scenes = [scene(s) for s in range(3)]
    alone = [track(*sc) for sc in scenes]
    got = [None] * len(scenes)

    def worker(k):
        for _ in range(3):
            got[k] = track(*scenes[k])

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(len(scenes))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert got == alone

    # One list from two threads: each association finds its targets untouched by the other.
    start, frames_ = scenes[0]
    shared = [TargetRadius(b, "1", 0.3, 0.75) for b in start]
    stop = threading.Event()
    out = Outcomes()

    def associating():
        for meas in frames_ * 4:
            out.run(TargetRadius.association, shared, meas, ["1"] * len(meas))

    def reading():
        while not stop.is_set():
            for t in list(shared):
                out.run(lambda: (t.box, t.anchor, t.still, repr(t)))

    workers = [threading.Thread(target=out.guard(associating)) for _ in range(2)]
    readers = [threading.Thread(target=out.guard(reading), daemon=True)]
    for t in workers + readers:
        t.start()
    for t in workers:
        t.join(JOIN_TIMEOUT)
    stop_and_join(stop, readers)
    assert not out.bad, out.bad[:5]
    assert set(out.counts) == {"ok"}, out.counts

"""Camera.run gives the same results whether it calls the tracking modules directly or
through the module's names: the same targets, lists, exceptions and partial state.
"""
import pytest

from object_detection.post_processing.recognition_mode import main as M
from object_detection.post_processing.recognition_mode import target, utils

TR = target.TargetRadius
ASSOCIATION = TR.__dict__["association"]


class FailAt(list):
    """Class labels whose idx-th read by position fails (the tracker reads a label only
    to start a target)."""

    def __init__(self, items, idx):
        super().__init__(items)
        self.idx = idx

    def __getitem__(self, i):
        if i == self.idx:
            raise LookupError("label %r" % i)
        return super().__getitem__(i)


def box(x, y, w=40, h=80):
    return [x, y, x + w, y + h]


# (boxes, classes) per frame: new targets, standing ones, a move, an empty frame, a bad
# box after two good ones, and a failing label read for the third new target.
FRAMES = (
    [([box(40 + 60 * i, 50) for i in range(4)], ["p"] * 4)] * 8
    + [([box(40, 50), box(100, 50), box(400, 300), box(160, 50)], ["p", "p", "p", "car"])]
    + [([], [])]
    + [([box(10, 10), box(80, 10), [1, 2, 0, 3]], ["p"] * 3)]
    + [([box(10, 10), (80.0, 10.5, 120.0, 90.5), box(150, 10), box(220, 10)], FailAt(["p"] * 4, 2))]
    + [([box(10, 10), box(80, 10), box(150, 10)], ["p", 3, "p"])]
    + [([box(10, 10, 30, 30)] * 3, ("q", "q", "q"))] * 3
)


def wrapped_box2meas(box):
    return utils.box2meas(box)


def wrapped_association(state_list, mea_list, classes):
    return TR.association(state_list, mea_list, classes)


def wrapped_tr(*args):
    return TR(*args)


wrapped_tr.association = wrapped_association


def outcome(cam, frame):
    try:
        out = cam.run(*frame)
        res = ("ok", [repr(x) for x in out], out[0] is out[2])
    except Exception as e:  # noqa: BLE001 - the exception itself is the result compared
        res = ("raised", type(e).__name__, str(e))
    assert all(type(t) is TR for t in cam.state_list)
    return res, [repr(t) for t in cam.state_list]


def scenario():
    cam = M.Camera()
    return [outcome(cam, f) for f in FRAMES]


@pytest.fixture
def generic_run(monkeypatch):
    with monkeypatch.context() as mp:
        mp.setattr(M, "box2meas", wrapped_box2meas)
        mp.setattr(M, "TargetRadius", wrapped_tr)
        return scenario()


@pytest.mark.parametrize("rebound", ["none", "box2meas", "TargetRadius", "association"])
def test_same_results_on_either_path(monkeypatch, generic_run, rebound):
    if rebound == "box2meas":
        monkeypatch.setattr(M, "box2meas", wrapped_box2meas)
    elif rebound == "TargetRadius":
        monkeypatch.setattr(M, "TargetRadius", wrapped_tr)
    try:
        if rebound == "association":
            calls = []
            TR.association = staticmethod(lambda *a: calls.append(1) or ASSOCIATION.__func__(*a))
        got = scenario()
    finally:
        TR.association = ASSOCIATION
    assert got == generic_run
    assert [r[0][0] for r in got].count("raised") == 3
    if rebound == "association":
        assert len(calls) == len(FRAMES) - 1  # every frame but the one failing in box2meas
    assert TR.__dict__["association"] is ASSOCIATION


def test_name_rebound_while_measuring_is_called(monkeypatch):
    """A box whose number rebinds box2meas: the new one measures the boxes after it."""
    seen = []

    def recording(box):
        seen.append(list(box))
        return utils.box2meas(box)

    class Rebinds(int):
        def __index__(self):
            M.box2meas = recording
            return int(self)

        __float__ = lambda self: float(self.__index__())  # noqa: E731

    monkeypatch.setattr(M, "box2meas", M.box2meas)  # restored afterwards
    cam = M.Camera()
    boxes = [box(10, 10), [Rebinds(80), 10, 120, 90], box(150, 10)]
    out = cam.run(boxes, ["p"] * 3)
    assert seen == [box(150, 10)]
    assert [t.box for t in cam.state_list] == [[10.0, 10.0, 50.0, 90.0], [80.0, 10.0, 120.0, 90.0],
                                               [150.0, 10.0, 190.0, 90.0]]
    assert out[1] == [0, 1, 2]


# ---------------------------------------------------------------- split's rows handed to run

def region_docs(frames=9):
    """Two behaviours x two regions x three boxes per frame, jittering by a pixel; the last
    frame has a region one of whose boxes box2meas refuses."""
    docs = []
    for f in range(frames):
        docs.append({"alarmBehavior": [
            {"behavior_number": 1002001 + b, "alarm_info_dict": {}, "alarm_info": "",
             "result": [{"roi_name": "roi%d" % reg if reg else "",
                         "boxes": [[40 + 300 * reg + 60 * k + f % 2, 60 + 180 * b,
                                    80 + 300 * reg + 60 * k, 140 + 180 * b] for k in range(3)]}
                        for reg in range(2)]}
            for b in range(2)]})
    docs[-1]["alarmBehavior"][1]["result"][1]["boxes"][1] = [90, 0, 10, 10]
    return docs


class MovingTime:
    """The module's `time`: a region's first reading (after split) moves every box of the
    current document in place, its second (after run) moves them back."""

    def __init__(self):
        self.doc = None
        self.readings = 0

    def time(self):
        self.readings += 1
        for entry in self.doc["alarmBehavior"]:
            for region in entry["result"]:
                for row in region.get("boxes") or ():
                    row[0] += 500 if self.readings % 2 else -500
        return self.readings * 0.25


def drive(monkeypatch, fault, through_instance):
    """target_radius over region_docs(); from frame 3 on, `fault` is in place."""
    clock = MovingTime()
    monkeypatch.setattr(M, "time", clock)
    rm = M.RecognitionMode()
    if through_instance:  # split reached through the instance: split's lists, run's tuple
        rm.split = lambda boxes, number: M.RecognitionMode.split(rm, boxes, number)
    seen = []
    for f, doc in enumerate(region_docs()):
        if f == 3 and fault == "box2meas":
            monkeypatch.setattr(M, "box2meas", wrapped_box2meas)
        elif f == 3 and fault == "run":
            run = M.Camera.run
            monkeypatch.setattr(M.Camera, "run", lambda cam, b, c: run(cam, b, c))
        elif f == 3 and fault == "run on the instance":
            for cams in rm.dev_id["cam"].values():
                for cam in cams.values():
                    cam.run = lambda b, c, cam=cam: M.Camera.run(cam, b, c)
        elif f == 3 and fault == "split":
            rm.split = lambda boxes, number: M.RecognitionMode.split(rm, boxes, number)
        clock.doc = doc
        try:
            rm.target_radius("cam", doc)
            res = "ok"
        except Exception as e:  # noqa: BLE001 - the exception itself is the result compared
            res = (type(e).__name__, str(e))
        cams = {k: [repr(t) for t in cam.state_list]
                for cams in rm.dev_id["cam"].values() for k, cam in cams.items()}
        seen.append((res, repr(doc), repr((rm.unmatch_list, rm.static_list, rm.del_list, rm.runtime)),
                     cams, clock.readings))
    return seen


@pytest.mark.parametrize("fault", ["none", "box2meas", "run", "run on the instance", "split"])
def test_split_rows_handed_to_run_as_split_made_them(monkeypatch, fault):
    """Boxes the clock moves between split and run are tracked as split read them, and any
    split or run not our own gets split's lists, whichever path the region took."""
    got = drive(monkeypatch, fault, through_instance=False)
    monkeypatch.undo()
    want = drive(monkeypatch, fault, through_instance=True)
    assert got == want
    assert any("[]" in s[1] for s in got)  # some regions read as still
    assert got[-1][0] == ("ValueError", "box must have right >= left and bottom >= top, got [90, 0, 10, 10]")

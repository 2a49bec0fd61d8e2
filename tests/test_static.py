"""Box splitting, the Camera tracker and static-target removal."""
import copy
from fractions import Fraction

import numpy as np
import pytest

import reference
from fakes import FakeTime, entry

NAN = float("nan")
INF = float("inf")


@pytest.fixture
def ref():
    return reference.RecognitionMode()


def outcome(fn, *args):
    try:
        return "ok", fn(*args)
    except Exception as exc:  # the type is what is compared
        return "error", type(exc)


# ---------------------------------------------------------------- split

SPLIT_CASES = {
    "empty": [],
    "worked": [[10.9, 20.1, 30.5, 40.0]],
    "ints": [[1, 2, 3, 4], [-5, 6, 7, 8]],
    "negative-floats": [[-0.5, -1.5, -2.9999, 3.99]],
    "mixed": [[1, 2.5, 3, 4], [5, 6, 7, 8.75]],
    "bools": [[True, False, True, True]],
    "bool-int": [[True, 2, 3, 4]],
    "bool-float": [[True, 2.5, 3, 4]],
    "flat8": [1, 2, 3, 4, 5, 6, 7, 8],
    "six-values": [[1, 2, 3, 4, "1002001", "0.33"], [5, 6, 7, 8, "1002001", "0.87"]],
    "six-ints": [[1, 2, 3, 4, 5, 6], [7, 8, 9, 10, 11, 12]],
    "tuples": ((1, 2, 3, 4), (5.5, 6, 7, 8)),
    "texts": [["1", " 2 ", "+3", "-4"]],
    "text-and-int": [["518", 2, 3, 4]],
    "text-and-float": [["518", 2.0, 3, 4]],
    "text-decimal": [["1.5", "2", "3", "4"]],
    "text-bool": [["1", True, 3, 4]],
    "none-row": [[None, 1, 2, 3]],
    "none": None,
    "number": 5,
    "text": "abcd",
    "dict": {"a": 1, "b": 2, "c": 3, "d": 4},
    "seven": [1, 2, 3, 4, 5, 6, 7],
    "ragged": [[1, 2, 3, 4], [1, 2, 3]],
    "ragged-eight": [[1, 2, 3, 4, 5], [6, 7, 8]],
    "row-and-scalars": [[1, 2, 3, 4], 5, 6, 7, 8],
    "nested": [[[1, 2], [3, 4]], [[5, 6], [7, 8]]],
    "nested-deep": [[[[1, 2, 3, 4]]]],
    "huge": [[2 ** 70, -(2 ** 70), 3, 4]],
    "uint64": [[2 ** 63, 0, 1, 2]],
    "uint64-neg": [[2 ** 63, -1, 1, 2]],
    "beyond-uint64-float": [[2 ** 64, 0.5, 1, 2]],
    "int-through-float": [[2 ** 53 + 1, 0.5, 1, 2]],
    "big-float": [[1e20, -1e19, 1.5e300, 0]],
    "nan": [[NAN, 1, 2, 3]],
    "inf": [[1, INF, 2, 3]],
    "-inf": [[1, 2, -INF, 3]],
    "nan-with-text": [["1", NAN, 2, 3]],
    "fraction": [[Fraction(7, 2), 1, 2, 3]],
    "np-scalars": [[np.int64(7), np.float32(2.75), 3, np.bool_(True)]],
    "np-int32": np.arange(8, dtype=np.int32),
    "np-float32": np.array([[16777217, 1.9, -1.9, 0.5]], dtype=np.float32),
    "np-float64-2d": np.array([[1.7, 2, 3, 4]]),
    "np-bool": np.ones((2, 4), bool),
    "np-text": np.array([["1", "2", "3", "4"]]),
    "np-object": np.array([[1, 2.5, "3", 4]], dtype=object),
    "np-uint64": np.array([2 ** 64 - 1, 0, 0, 0], dtype=np.uint64),
    "np-empty-2d": np.zeros((0, 4)),
    "np-0d": np.array(5),
    "rows-of-arrays": [np.array([1, 2, 3, 4]), np.array([5.5, 6, 7, 8])],
    "bytes": [[b"1", b"2", b"3", b"4"]],
}


@pytest.mark.parametrize("name", sorted(SPLIT_CASES))
@pytest.mark.parametrize("number", [1002001, "1002001", None, 3.5, True])
def test_split_matches_numpy(rm, ref, name, number):
    boxes = SPLIT_CASES[name]
    before = copy.deepcopy(boxes)
    got = outcome(rm.split, boxes, number)
    want = outcome(ref.split, boxes, number)
    assert got[0] == want[0], (got, want)
    if want[0] == "error":
        assert got[1] is want[1]
    else:
        assert got[1] == want[1]
        assert type(got[1]) is tuple and len(got[1]) == 2
        out_boxes, classes = got[1]
        assert all(type(b) is list and len(b) == 4 for b in out_boxes)
        assert all(type(v) is int for b in out_boxes for v in b)
        assert classes == [str(number)] * len(out_boxes)
    np.testing.assert_equal(boxes, before)


@pytest.mark.parametrize("boxes, expected", [
    ([[10.9, 20.1, 30.5, 40.0]], [[10, 20, 30, 40]]),
    ([1, 2, 3, 4, 5, 6, 7, 8], [[1, 2, 3, 4], [5, 6, 7, 8]]),
    ([[1, 2, 3, 4, 5, 6], [7, 8, 9, 10, 11, 12]], [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10, 11, 12]]),
    ([[2 ** 53 + 1, 0.5, 1, 2]], [[2 ** 53, 0, 1, 2]]),
    ([[1e20, -0.5, -1.5, 0]], [[10 ** 20, 0, -1, 0]]),
    ([[2 ** 70, 1, 2, 3]], [[2 ** 70, 1, 2, 3]]),
    ([], []),
])
def test_split_worked_examples(rm, boxes, expected):
    out_boxes, classes = rm.split(boxes, 1002001)
    assert out_boxes == expected
    assert classes == ["1002001"] * len(expected)


def test_split_returns_fresh_lists(rm):
    rows = [[1, 2, 3, 4]]
    first, classes = rm.split(rows, 1)
    assert first[0] is not rows[0]
    first[0].append(9)
    classes.append("x")
    assert rm.split(rows, 1) == ([[1, 2, 3, 4]], ["1"])


def test_split_uses_module_numpy(mod, rm, monkeypatch):
    class Boom(Exception):
        pass

    class FakeNp:
        def __getattr__(self, name):
            raise Boom(name)

    monkeypatch.setattr(mod, "np", FakeNp())
    with pytest.raises(Boom):
        rm.split([["1", "2", "3", "4"]], 1)


# ---------------------------------------------------------------- Camera.run

class Log(list):
    pass


@pytest.fixture
def tracking(mod, monkeypatch):
    """Recording stand-ins for box2meas and TargetRadius in the module's namespace."""
    log = Log()
    log.replies = []

    def box2meas(box):
        log.append(("box2meas", box))
        if box == "bad":
            raise LookupError("box")
        return ("mea", tuple(box))

    class FakeTarget:
        fail_on = None

        def __init__(self, mea, cls, iou, pix):
            if mea == FakeTarget.fail_on:
                raise RuntimeError("target")
            self.args = (mea, cls, iou, pix)
            log.append(("TargetRadius", self.args))

        def __repr__(self):
            return "T%r" % (self.args,)

        @staticmethod
        def association(state_list, mea_list, classes):
            log.append(("association", state_list, list(state_list), mea_list, classes))
            reply = log.replies.pop(0)
            if isinstance(reply, Exception):
                raise reply
            return reply

    monkeypatch.setattr(mod, "box2meas", box2meas)
    monkeypatch.setattr(mod, "TargetRadius", FakeTarget)
    monkeypatch.setattr(mod, "iou_thr", "IOU")
    monkeypatch.setattr(mod, "pix_thr", "PIX")
    log.Target = FakeTarget
    return log


def test_camera_first_frame(mod, tracking):
    cam = mod.Camera()
    assert cam.state_list == []
    initial = cam.state_list
    still = ["s"]
    tracking.replies.append(([1, 0], still, []))
    boxes = [[1, 2, 3, 4], [5, 6, 7, 8]]
    classes = ["c0", "c1"]
    out = cam.run(boxes, classes)
    assert type(out) is tuple and len(out) == 4
    assert out[0] is still and out[2] is still and out[1] == [1, 0] and out[3] == []
    names = [entry[0] for entry in tracking]
    assert names == ["box2meas", "box2meas", "association", "TargetRadius", "TargetRadius"]
    assert tracking[0][1] is boxes[0] and tracking[1][1] is boxes[1]
    _, given_state, given_copy, meas, given_classes = tracking[2]
    assert given_state is initial and given_copy == [] and given_classes is classes
    assert meas == [("mea", (1, 2, 3, 4)), ("mea", (5, 6, 7, 8))]
    assert [t.args for t in cam.state_list] == [
        (meas[1], "c1", "IOU", "PIX"), (meas[0], "c0", "IOU", "PIX")]
    assert cam.state_list[0].args[0] is meas[1]
    assert cam.state_list is not initial


def _camera_with(mod, tracking, n):
    cam = mod.Camera()
    tracking.replies.append((list(range(n)), [], []))
    cam.run([[i, i, i, i] for i in range(n)], ["c"] * n)
    del tracking[:]
    return cam


@pytest.mark.parametrize("dels, survivors", [
    ([0], [1, 2]),
    ([2, 0], [1]),
    ({1}, [0, 2]),
    ((0, 1, 2), []),
    ([3, 7, -1, -3], [0, 1, 2]),
    ([1, 1], [0, 2]),
    ([], [0, 1, 2]),
])
def test_camera_drops_departed_by_position(mod, tracking, dels, survivors):
    cam = _camera_with(mod, tracking, 3)
    old = list(cam.state_list)
    tracking.replies.append(([0], ["s"], dels))
    out = cam.run([[9, 9, 9, 9]], ["n"])
    assert out[3] is dels
    assert cam.state_list[:-1] == [old[i] for i in survivors]
    assert cam.state_list[-1].args == (("mea", (9, 9, 9, 9)), "n", "IOU", "PIX")


def test_camera_frame_without_boxes_forgets_targets(mod, tracking):
    cam = _camera_with(mod, tracking, 2)
    old = cam.state_list
    result = ([0], ["s"], [0])
    tracking.replies.append(result)
    with pytest.raises(IndexError):  # position 0 of an empty measurement list
        cam.run([], [])
    _, given, given_copy, meas, _ = tracking[0]
    assert given is not old and given_copy == [] and meas == []
    assert cam.state_list == []
    tracking.replies.append(([], [], [0]))
    assert cam.run([], []) == ([], [], [], [0])


def test_camera_duplicate_and_short_classes(mod, tracking):
    cam = mod.Camera()
    tracking.replies.append(([0, 0, 1], [], ()))
    cam.run([[1, 1, 1, 1], [2, 2, 2, 2], [3, 3, 3, 3]], ["a", "b"])
    assert [t.args[1] for t in cam.state_list] == ["a", "a", "b"]
    assert cam.state_list[0] is not cam.state_list[1]
    tracking.replies.append(([2], [], ()))
    with pytest.raises(IndexError):
        cam.run([[1, 1, 1, 1], [2, 2, 2, 2], [3, 3, 3, 3]], ["a", "b"])


def test_camera_reads_thresholds_at_each_use(mod, tracking, monkeypatch):
    cam = mod.Camera()
    tracking.replies.append(([0], [], []))
    cam.run([[1, 1, 1, 1]], ["a"])
    monkeypatch.setattr(mod, "iou_thr", 0.5)
    monkeypatch.setattr(mod, "pix_thr", 0.25)
    tracking.replies.append(([0], [], []))
    cam.run([[1, 1, 1, 1]], ["a"])
    assert [t.args[2:] for t in cam.state_list] == [("IOU", "PIX"), (0.5, 0.25)]


def test_camera_failures_keep_earlier_steps(mod, tracking):
    cam = _camera_with(mod, tracking, 2)
    old_list, old = cam.state_list, list(cam.state_list)

    with pytest.raises(TypeError):
        cam.run(5, [])
    assert cam.state_list is old_list and tracking == []

    with pytest.raises(LookupError):
        cam.run([[1, 1, 1, 1], "bad", [3, 3, 3, 3]], ["a"] * 3)
    assert cam.state_list is old_list and [e[0] for e in tracking] == ["box2meas"] * 2

    tracking.replies.append(RuntimeError("association"))
    with pytest.raises(RuntimeError):
        cam.run([[1, 1, 1, 1]], ["a"])
    assert cam.state_list is old_list and cam.state_list == old

    tracking.replies.append(([], []))
    with pytest.raises(ValueError):
        cam.run([[1, 1, 1, 1]], ["a"])
    assert cam.state_list is old_list

    tracking.Target.fail_on = ("mea", (3, 3, 3, 3))
    tracking.replies.append(([0, 2, 1], [], [0]))
    with pytest.raises(RuntimeError):
        cam.run([[1, 1, 1, 1], [2, 2, 2, 2], [3, 3, 3, 3]], ["a", "b", "c"])
    assert cam.state_list[0] is old[1]
    assert [t.args[:2] for t in cam.state_list[1:]] == [(("mea", (1, 1, 1, 1)), "a")]

    tracking.Target.fail_on = None
    tracking.replies.append(([0, 5], [], [0]))
    with pytest.raises(IndexError):
        cam.run([[4, 4, 4, 4]], ["d"])
    assert len(cam.state_list) == 2 and cam.state_list[-1].args[1] == "d"

    tracking.replies.append(RuntimeError("association"))
    with pytest.raises(RuntimeError):
        cam.run([], [])
    assert cam.state_list == []


def test_camera_matches_oracle(mod, tracking, monkeypatch):
    monkeypatch.setattr(reference, "box2meas", mod.box2meas)
    monkeypatch.setattr(reference, "TargetRadius", mod.TargetRadius)
    monkeypatch.setattr(reference, "iou_thr", "IOU")
    monkeypatch.setattr(reference, "pix_thr", "PIX")
    frames = [
        ([[1, 1, 1, 1], [2, 2, 2, 2]], ([0, 1], [], [])),
        ([[1, 1, 1, 1], [3, 3, 3, 3]], ([1], ["s"], [1, 9, -2])),
        ([], ([], [], [0])),
        ([[5, 5, 5, 5]] * 3, ([2, 2, 0], [], (0,))),
    ]
    cams = [mod.Camera(), reference.Camera()]
    for boxes, reply in frames:
        outs = []
        for cam in cams:
            tracking.replies.append(reply)
            outs.append(cam.run(boxes, ["k"] * len(boxes)))
        assert outs[0] == outs[1]
        assert [t.args for t in cams[0].state_list] == [t.args for t in cams[1].state_list]


# ---------------------------------------------------------------- target_radius


MOVING = [1, 2, 3, 4]
STILL = [1000, 2, 3, 4]  # the fake tracker reports boxes left of 1000 or more as still
RUN_FAILS = [-1, 0, 0, 0]
RUN_SHORT = [-2, 0, 0, 0]


class Clock:
    def __init__(self, now=1000.0):
        self.now = now
        self.calls = 0
        self.fail = False

    def __call__(self):
        self.calls += 1
        if self.fail:
            raise RuntimeError("clock")
        return self.now


@pytest.fixture
def world(mod, monkeypatch):
    class FakeCamera:
        made = []

        def __init__(self):
            self.runs = []
            FakeCamera.made.append(self)

        def run(self, boxes, classes):
            self.runs.append((boxes, classes))
            lefts = [b[0] for b in boxes]
            if -1 in lefts:
                raise RuntimeError("run")
            static = [b for b in boxes if b[0] >= 1000]
            if -2 in lefts:
                return static, [], static
            # item 0 is not the still list the instance keeps
            return [], ["u%d" % len(self.runs)], static, ["d"]

    ns = type("World", (), {})()
    ns.clock, ns.time, ns.Camera = Clock(), FakeTime(), FakeCamera
    monkeypatch.setattr(mod, "get_current_time", ns.clock)
    monkeypatch.setattr(mod, "time", ns.time)
    monkeypatch.setattr(mod, "Camera", FakeCamera)
    return ns


def region(name="door", boxes=(MOVING,), **extra):
    out = {"boxes": [list(b) for b in boxes]}
    if name is not None:
        out["roi_name"] = name
    out.update(extra)
    return out


def fresh_state(rm):
    return (rm.dev_id, rm.refresh_time, rm.unmatch_list, rm.static_list, rm.del_list,
            rm.runtime) == ({}, {}, None, None, None, 0)


@pytest.mark.parametrize("name, key", [("door", "door"), (None, None), ("", ""),
                                       ("missing", None)])
def test_one_box_region_with_a_still_target(rm, world, name, key):
    reg = region(name, [STILL])
    if name == "missing":
        del reg["roi_name"]
    else:
        reg["roi_name"] = name
    boxes = reg["boxes"]
    ent = entry(1002001, [reg])
    info = ent["alarm_info_dict"]
    doc = {"alarmBehavior": [ent], "top": 1}
    assert rm.target_radius("cam", doc) is doc
    assert doc == {"alarmBehavior": [], "top": 1}
    if name == "door":
        assert reg["boxes"] == [] and reg["boxes"] is not boxes
        assert ent["result"] == [reg] and ent["alarm_info"] == "old"
        assert ent["alarm_info_dict"] is info
    else:
        assert reg["boxes"] is boxes
        assert ent["result"] == [] and ent["alarm_info"] == ""
        assert ent["alarm_info_dict"] == {} and info["behavior_info"] == "B"
    cam, = world.Camera.made
    assert rm.dev_id == {"cam": {1002001: {key: cam}}}
    assert cam.runs == [([STILL], ["1002001"])]
    assert rm.refresh_time == {"cam": {1002001: 1000.0}}
    assert (rm.unmatch_list, rm.static_list, rm.del_list) == (["u1"], [STILL], ["d"])
    assert rm.runtime == 0.25 and world.time.readings == 2


@pytest.mark.parametrize("name", ["door", None])
def test_one_box_region_with_a_moving_target_keeps_its_alarm(rm, world, name):
    # "still targets >= boxes - 1" is 0 >= 0 for a lone box: one walker would never alarm.
    doc = {"alarmBehavior": [entry(1002001, [region(name, [MOVING])])]}
    out = rm.target_radius("cam", doc)
    assert [r["boxes"] for r in out["alarmBehavior"][0]["result"]] == [[MOVING]]
    assert out["alarmBehavior"][0]["alarm_info"] == "B-N" + ("door" if name else "") + "TY"


@pytest.mark.parametrize("still", [0, 1, 2, 3])
def test_three_box_region(rm, world, still):
    target = region("door", [STILL] * still + [MOVING] * (3 - still))
    doc = {"alarmBehavior": [entry(1, [target, region("yard", [MOVING] * 3)])]}
    out = rm.target_radius("cam", doc)
    kept = out["alarmBehavior"][0]
    if still >= 2:
        assert target["boxes"] == []
        assert kept["result"][0]["roi_name"] == "yard" and kept["alarm_info"] == "B-NyardTY"
    else:
        assert len(target["boxes"]) == 3
        assert kept["alarm_info_dict"]["info_rois"] == "door|yard"
    assert len(rm.static_list) == 0  # the last region tracked was "yard"


@pytest.mark.parametrize("name", ["door", None])
def test_empty_boxes_never_still(rm, world, name):
    empty = region(name, [])
    boxes = empty["boxes"]
    doc = {"alarmBehavior": [entry(1, [empty, region(None, [MOVING] * 3)])]}
    out = rm.target_radius("cam", doc)
    assert empty["boxes"] is boxes
    assert out["alarmBehavior"][0]["alarm_info"] == "B-NTY"
    runs = [c.runs for c in world.Camera.made]
    expected = [[([], [])], [([MOVING] * 3, ["1"] * 3)]] if name else \
        [[([], []), ([MOVING] * 3, ["1"] * 3)]]
    assert runs == expected


def test_skipped_entries_keep_positions(rm, world):
    moving = entry(5, [region("door", [MOVING] * 3)])
    skipped = entry("zz", [])
    doc = {"alarmBehavior": [
        entry("junk", []), entry(None, None), {"behavior_number": "x"},
        moving, skipped,
        entry(6, [region("gate", [STILL])]),
        entry(7, [region(None, [STILL])]),
    ]}
    behaviours = doc["alarmBehavior"]
    assert rm.target_radius("cam", doc)["alarmBehavior"] == [moving]
    assert behaviours[5]["result"][0]["boxes"] == []
    assert behaviours[6]["result"] == [] and behaviours[6]["alarm_info"] == ""
    assert skipped == entry("zz", []) and moving["result"][0]["boxes"] == [MOVING] * 3
    assert set(rm.dev_id["cam"]) == {5, 6, 7}


def test_shared_and_separate_trackers(rm, world):
    three = [MOVING] * 3
    doc = {"alarmBehavior": [
        entry(1, [region("a", three), region("a", three), region(None, three)]),
        entry(1, [region("a", three), region("missing", three), region("", three)]),
        entry("1", [region("a", three)]),
    ]}
    del doc["alarmBehavior"][1]["result"][1]["roi_name"]
    rm.target_radius("dev", doc)
    registry = rm.dev_id["dev"]
    assert list(registry) == [1, "1"] and list(registry[1]) == ["a", None, ""]
    assert [len(c.runs) for c in registry[1].values()] == [3, 2, 1]
    assert registry["1"]["a"] is not registry[1]["a"]
    assert registry["1"]["a"].runs == [(three, ["1"] * 3)]
    assert registry[1]["a"].runs[0] == (three, ["1"] * 3)
    assert rm.refresh_time == {"dev": {1: 1000.0, "1": 1000.0}}
    assert world.clock.calls == 4  # two stamps made, two examined


@pytest.mark.parametrize("number, label", [
    (3.7, "3.7"), (" 12 ", " 12 "), (True, "True"), ("-5", "-5"), (2 ** 70, str(2 ** 70)),
])
def test_convertible_numbers_kept_as_read(rm, world, number, label):
    rm.target_radius("cam", {"alarmBehavior": [entry(number, [region("a", [MOVING] * 2)])]})
    (key, trackers), = rm.dev_id["cam"].items()
    assert key == number and type(key) is type(number)
    assert trackers["a"].runs[0][1] == [label] * 2


def test_refresh_at_exactly_600(rm, world):
    doc = lambda: {"alarmBehavior": [entry(1, [region("a", [MOVING] * 3)])]}
    rm.target_radius("cam", doc())
    cam = rm.dev_id["cam"][1]["a"]
    world.clock.now = 1599.5
    rm.target_radius("cam", doc())
    assert rm.dev_id["cam"][1]["a"] is cam and rm.refresh_time == {"cam": {1: 1000.0}}
    world.clock.now = 1600.0
    registry = rm.dev_id["cam"]
    rm.target_radius("cam", doc())
    assert len(cam.runs) == 3  # the refresh comes after the call's own tracking
    assert registry == {1: {"a": cam}}  # replaced, not cleared
    assert rm.dev_id == {"cam": {}} and rm.refresh_time == {"cam": {1: 1600.0}}
    assert rm.unmatch_list == ["u3"]
    world.clock.now = 1700.0
    rm.target_radius("cam", doc())
    assert rm.dev_id["cam"][1]["a"] is not cam and rm.refresh_time == {"cam": {1: 1700.0}}


def test_refresh_with_several_stamps(rm, world):
    doc = lambda *numbers: {"alarmBehavior": [entry(n, [region("a", [MOVING] * 3)])
                                              for n in numbers]}
    rm.target_radius("cam", doc(1))
    rm.target_radius("other", doc(1))
    world.clock.now = 1300.0
    rm.target_radius("cam", doc(2))
    world.clock.now = 1650.0
    calls = world.clock.calls
    rm.target_radius("cam", doc())
    assert world.clock.calls == calls + 2
    assert rm.dev_id["cam"] == {} and rm.refresh_time["cam"] == {1: 1650.0, 2: 1300.0}
    assert set(rm.dev_id["other"][1]) == {"a"} and rm.refresh_time["other"] == {1: 1000.0}
    world.clock.now = 1700.0
    rm.target_radius("cam", doc(2))
    assert rm.refresh_time["cam"] == {1: 1650.0, 2: 1700.0} and list(rm.dev_id["cam"]) == [2]
    # behaviour 1 no longer comes, but its stamp still triggers the next refresh
    world.clock.now = 2250.0
    rm.target_radius("cam", doc(2))
    assert rm.dev_id["cam"] == {} and rm.refresh_time["cam"] == {1: 2250.0, 2: 1700.0}


def test_call_processing_no_region(rm, world):
    rm.target_radius("cam", {"alarmBehavior": [entry(1, [region("a", [MOVING] * 3)])]})
    before = (rm.dev_id["cam"], rm.unmatch_list, rm.static_list, rm.del_list, rm.runtime)
    readings = world.time.readings
    behaviours = [entry(1, []), entry("x", None)]
    doc = {"alarmBehavior": behaviours}
    assert rm.target_radius("cam", doc) == {"alarmBehavior": []}
    assert doc["alarmBehavior"] is not behaviours
    after = (rm.dev_id["cam"], rm.unmatch_list, rm.static_list, rm.del_list, rm.runtime)
    assert all(a is b for a, b in zip(before, after)) and world.time.readings == readings
    world.clock.now = 1600.0
    rm.target_radius("cam", {"alarmBehavior": []})
    assert rm.dev_id == {"cam": {}} and rm.refresh_time == {"cam": {1: 1600.0}}
    calls = world.clock.calls
    rm.target_radius("new", {"alarmBehavior": []})
    assert world.clock.calls == calls and "new" not in rm.dev_id and "new" not in rm.refresh_time


def test_unnamed_then_named_still_region(rm, world):
    named = region("door", [STILL])
    ent = entry(1, [region(None, [STILL]), named, region("gate", [MOVING] * 3)])
    doc = {"alarmBehavior": [ent]}
    assert rm.target_radius("cam", doc) == {"alarmBehavior": []}
    assert ent["result"] == [] and ent["alarm_info"] == "" and ent["alarm_info_dict"] == {}
    assert named["boxes"] == [STILL]
    assert list(rm.dev_id["cam"][1]) == [None, "door", "gate"]
    assert rm.unmatch_list == ["u1"] and rm.static_list == []


def test_named_then_unnamed_still_region(rm, world):
    named = region("door", [STILL])
    ent = entry(1, [named, region(None, [STILL])])
    rm.target_radius("cam", {"alarmBehavior": [ent]})
    assert named["boxes"] == [] and ent["result"] == []


def test_missing_alarm_behaviour_changes_nothing(rm, world):
    for doc in ({}, {"alarmBehavior": None}):
        with pytest.raises(TypeError):
            rm.target_radius("cam", doc)
    assert fresh_state(rm) and world.clock.calls == 0


@pytest.mark.parametrize("bad, error", [
    ("abc", ValueError), (None, TypeError), ("1.5", ValueError), ("", ValueError),
    (NAN, ValueError), (INF, OverflowError), ([1], TypeError),
])
def test_unconvertible_behaviour_number(rm, world, bad, error):
    first = region("a", [STILL])
    behaviours = [entry(1, [first]), entry(bad, [region("b")])]
    doc = {"alarmBehavior": behaviours}
    with pytest.raises(error):
        rm.target_radius("cam", doc)
    assert list(rm.dev_id["cam"]) == [1] and first["boxes"] == []
    assert doc["alarmBehavior"] is behaviours and rm.unmatch_list == ["u1"]


def _two_region_doc(second):
    first = region("a", [MOVING] * 2)
    return first, {"alarmBehavior": [entry(1, [first]), entry(2, [second])]}


@pytest.mark.parametrize("second, error, created", [
    ({"roi_name": "b", "boxes": None}, ValueError, False),
    ({"roi_name": "b"}, ValueError, False),
    (region("b", [[1, 2, 3]]), ValueError, False),
    (region("b", [RUN_FAILS]), RuntimeError, True),
    (region("b", [RUN_SHORT]), ValueError, True),
])
def test_region_failures_leave_partial_state(rm, world, second, error, created):
    first, doc = _two_region_doc(second)
    behaviours = doc["alarmBehavior"]
    with pytest.raises(error):
        rm.target_radius("cam", doc)
    assert doc["alarmBehavior"] is behaviours
    cam_a = rm.dev_id["cam"][1]["a"]
    # the instance's lists still describe region "a"
    assert rm.unmatch_list == ["u1"] and rm.static_list == [] and rm.runtime == 0.25
    if created:
        assert list(rm.dev_id["cam"]) == [1, 2] and list(rm.dev_id["cam"][2]) == ["b"]
        assert rm.refresh_time == {"cam": {1: 1000.0, 2: 1000.0}}
        assert len(rm.dev_id["cam"][2]["b"].runs) == 1
    else:
        assert list(rm.dev_id["cam"]) == [1] and rm.refresh_time == {"cam": {1: 1000.0}}
    assert cam_a.runs == [([MOVING] * 2, ["1"] * 2)]


@pytest.mark.parametrize("split_result, boxes, error", [
    (([], [], []), [MOVING], ValueError),
    (([],), [MOVING], ValueError),
    (([], []), 5, TypeError),      # the still test takes the region's own length
    (([], []), None, TypeError),
])
def test_split_result_and_length_failures(mod, world, split_result, boxes, error):
    class Sub(mod.RecognitionMode):
        def split(self, behavior_boxes, behavior_number):
            return split_result

    rm = Sub()
    with pytest.raises(error):
        rm.target_radius("cam", {"alarmBehavior": [entry(1, [{"roi_name": "a", "boxes": boxes}])]})
    if len(split_result) == 2:
        assert rm.dev_id["cam"][1]["a"].runs == [([], [])] and rm.runtime == 0.25
        assert rm.unmatch_list == ["u1"]
    else:
        assert fresh_state(rm)


def test_check_boxes_failure_skips_refresh(rm, world):
    ent = entry(1, [region("a", [MOVING] * 2)])
    rm.target_radius("cam", {"alarmBehavior": [copy.deepcopy(ent)]})
    world.clock.now = 5000.0
    del ent["alarm_info_dict"]
    calls = world.clock.calls
    with pytest.raises(KeyError):
        rm.target_radius("cam", {"alarmBehavior": [ent]})
    assert world.clock.calls == calls and rm.dev_id["cam"][1]["a"].runs[1:] == [
        ([MOVING] * 2, ["1"] * 2)]
    assert ent["result"][0]["roi_name"] == "a" and "alarm_info" in ent


def test_clock_failure_at_refresh_check(rm, world):
    rm.target_radius("cam", {"alarmBehavior": []})
    rm.target_radius("cam", {"alarmBehavior": [entry(1, [region("a", [MOVING] * 2)])]})
    world.clock.fail = True
    doc = {"alarmBehavior": [entry(1, [region("a", [MOVING] * 2)])]}
    behaviours = doc["alarmBehavior"]
    with pytest.raises(RuntimeError):
        rm.target_radius("cam", doc)
    assert doc["alarmBehavior"] is not behaviours and doc["alarmBehavior"] == behaviours
    assert len(rm.dev_id["cam"][1]["a"].runs) == 2


@pytest.mark.parametrize("behaviours", [[5], [entry(1, [5])], [entry(1, [region("a"), None])]])
def test_non_map_entries_fail_like_the_oracle(rm, ref, world, monkeypatch, behaviours):
    monkeypatch.setattr(reference, "Camera", world.Camera)
    monkeypatch.setattr(reference, "get_current_time", world.clock)
    monkeypatch.setattr(reference, "time", FakeTime())
    with pytest.raises(Exception) as got:
        rm.target_radius("cam", {"alarmBehavior": copy.deepcopy(behaviours)})
    with pytest.raises(Exception) as want:
        ref.target_radius("cam", {"alarmBehavior": copy.deepcopy(behaviours)})
    assert got.type is want.type


def test_methods_called_through_instance(mod, world):
    calls = []
    sentinel = object()

    class Sub(mod.RecognitionMode):
        def split(self, behavior_boxes, behavior_number):
            calls.append(("split", behavior_boxes, behavior_number))
            return [MOVING], ["c"]

        def check_boxes(self, out_result_dict):
            calls.append(("check_boxes", out_result_dict))
            return sentinel

    rm = Sub()
    doc = {"alarmBehavior": [entry("7", [{"roi_name": "a", "boxes": ["anything", "at", "all"]}])]}
    assert rm.target_radius("cam", doc) is sentinel
    assert calls == [("split", ["anything", "at", "all"], "7"), ("check_boxes", doc)]
    assert rm.dev_id["cam"]["7"]["a"].runs == [([MOVING], ["c"])]
    world.clock.now = 1600.0
    rm.target_radius("cam", {"alarmBehavior": []})
    assert rm.dev_id == {"cam": {}}


def test_clock_failure_when_a_behaviour_map_is_born(rm, world):
    world.clock.fail = True
    with pytest.raises(RuntimeError):
        rm.target_radius("cam", {"alarmBehavior": [entry(1, [region("a", [MOVING] * 2)])]})
    # the tracker map is stored before its stamp is read
    assert rm.dev_id == {"cam": {1: {}}} and rm.refresh_time == {"cam": {}}
    assert world.Camera.made == [] and rm.unmatch_list is None

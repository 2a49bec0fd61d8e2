"""Generated junk against every public operation.

Each call must return its normal result or raise an ordinary Python exception; the process
must not crash or hang, the instance must keep serving other cameras, and documents the
call was not given must stay as they were.
"""
import contextlib
import copy
import faulthandler
import importlib
import math
import os
import re
import sys
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")

# RM_FUZZ_EXAMPLES raises the example count for a longer hunt.
EXAMPLES = int(os.environ.get("RM_FUZZ_EXAMPLES", "100"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))
FRAME_H, FRAME_W = 48, 64
KEYS = ["alarmBehavior", "behavior_number", "result", "roi_name", "boxes", "roi",
        "alarm_info_dict", "alarm_info", "behavior_info", "info_name", "info_ftime",
        "info_type", "info_rois"]


@pytest.fixture(autouse=True)
def hang_guard():
    # A hang inside native code cannot be interrupted from Python: dump and exit instead.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ----------------------------------------------------------------------------- junk values

def pick(values):
    """sampled_from without hashing the values (some of them refuse)."""
    values = list(values)
    return st.integers(0, len(values) - 1).map(values.__getitem__)


class Boom(Exception):
    pass


def _boom(*_a, **_k):
    raise Boom()


HOSTILE = ["get", "__eq__", "__ne__", "__lt__", "__gt__", "__ge__", "__hash__", "__len__",
           "__iter__", "__bool__", "__index__", "__int__", "__float__", "__str__",
           "__getitem__", "__setitem__", "__contains__", "__add__", "__radd__", "__sub__",
           "__rsub__", "keys", "items", "__array__"]


def hostile(base, methods, *args):
    ns = {m: _boom for m in methods}
    if "__eq__" in methods and "__hash__" not in methods:
        ns["__hash__"] = lambda self: 0  # collides with the keys 0 and False
    ns["__repr__"] = lambda self, _m=sorted(methods): "<%s raising %s>" % (base.__name__, _m)
    return type("Hostile" + base.__name__.capitalize(), (base,), ns)(*args)


class DictSub(dict):
    pass


class ListSub(list):
    pass


class Liar(list):
    """A list whose length or truth is not what its items say."""

    def __init__(self, items, length, truth):
        super().__init__(items)
        self._length, self._truth = length, truth

    def __len__(self):
        return self._length

    def __bool__(self):
        return self._truth

    def __repr__(self):
        return "Liar(%s, len=%r, bool=%r)" % (list.__repr__(self), self._length, self._truth)


class WeirdIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return "WeirdIndex(%r)" % (self.value,)


class Deep(list):
    """Deeply nested lists; a short repr keeps reports (and Hypothesis) out of recursion."""

    def __repr__(self):
        return "Deep(%d)" % self.depth


def deep(depth, leaf=1):
    v = leaf
    for _ in range(depth - 1):
        v = [v]
    out = Deep([v])
    out.depth = depth
    return out


hostile_objects = st.builds(
    hostile,
    st.sampled_from([object, dict, list, str, int, float, tuple]),
    st.sets(st.sampled_from(HOSTILE), min_size=1, max_size=4),
)

scalars = st.one_of(
    st.none(), st.booleans(),
    st.integers(-2 ** 70, 2 ** 70),
    st.sampled_from([sys.maxsize, -sys.maxsize - 1, 2 ** 63, 2 ** 64, 10 ** 100, -1, 0]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 1e308, 5e-324]),
    st.text(max_size=5), st.binary(max_size=4), st.sampled_from(["", "TargetRadius", "1002001", " 7 ", "0x10"]),
    st.complex_numbers(), st.just(complex(math.nan, 1)),
    pick([np.float32("nan"), np.int64(-5), np.uint8(200), np.bool_(True), np.float64(1e20),
                     WeirdIndex(2 ** 80), WeirdIndex(-3), WeirdIndex("x"), object(), Ellipsis, slice(1, 2)]),
    hostile_objects,
)


def _containers(inner):
    return st.one_of(
        st.lists(inner, max_size=5),
        st.lists(inner, max_size=5).map(tuple),
        st.lists(inner, max_size=5).map(ListSub),
        st.dictionaries(st.sampled_from(KEYS + ["x"]), inner, max_size=4),
        st.dictionaries(st.sampled_from(KEYS), inner, max_size=4).map(DictSub),
        st.builds(Liar, st.lists(inner, max_size=3),
                  st.sampled_from([0, 1, 3, 2 ** 40]), st.booleans()),
        st.builds(lambda items, methods: hostile(list, methods, items),
                  st.lists(inner, max_size=3), st.sets(st.sampled_from(HOSTILE), min_size=1, max_size=3)),
        st.builds(lambda items, methods: hostile(dict, methods, items),
                  st.dictionaries(st.sampled_from(KEYS), inner, max_size=3),
                  st.sets(st.sampled_from(HOSTILE), min_size=1, max_size=3)),
    )


junk = st.one_of(
    st.recursive(scalars, _containers, max_leaves=10),
    st.sampled_from([300, 3000]).map(deep),
    st.sampled_from([300, 3000]).map(lambda d: deep(d, leaf={"boxes": [1]})),
)


def _images():
    rng = np.random.default_rng(5)
    base = rng.integers(0, 256, (FRAME_H, FRAME_W, 3), dtype=np.uint8)
    ro = base.copy()
    ro.setflags(write=False)
    out = [
        base, base[::-1, ::-2], base[:, :, ::-1], np.asfortranarray(base), ro,
        base.astype(np.float32), base.astype(np.float64) / 255, base.astype(np.float16),
        base.astype(np.int8), base.astype(np.uint16), base.astype(np.int16), base.astype(np.int32),
        base.astype(np.int64), base.astype(np.uint64), base.astype(bool), base.astype(np.complex64),
        base.astype(object), base.astype("U3"), base.astype("datetime64[s]"),
        np.zeros((FRAME_H, FRAME_W, 3), dtype=[("a", "u1"), ("b", "f4")]),
        base[:, :, :1], base[:, :, :2], np.dstack([base, base[:, :, :1]]), base[:, :, 0], base[..., None],
        np.broadcast_to(base[:1], base.shape), np.zeros((0, FRAME_W, 3), np.uint8),
        np.zeros((FRAME_H, 0, 3), np.uint8), np.zeros((), np.uint8), np.zeros(5, np.uint8),
        np.full(base.shape, np.nan, np.float32), np.full(base.shape, np.inf),
        np.zeros((2, FRAME_H, FRAME_W, 3), np.uint8), np.zeros((1, 5000, 3), np.uint8),
        np.ma.masked_array(base), memoryview(base), bytearray(10), base.tolist(),
    ]
    return out


IMAGES = _images()
images = st.one_of(pick(IMAGES), pick(IMAGES[:5]), junk)


# ----------------------------------------------------------------------------- documents

def corrupt(good):
    """Mostly the good value, sometimes re-typed, sometimes junk."""
    def retype(v):
        if isinstance(v, dict):
            return pick([DictSub(v), list(v.values()), tuple(v.items()),
                                    hostile(dict, {"get"}, v), hostile(dict, {"__iter__", "items"}, v)])
        if isinstance(v, list):
            return pick([tuple(v), ListSub(v), {str(i): x for i, x in enumerate(v)},
                                    hostile(list, {"__iter__"}, v), hostile(list, {"__len__"}, v),
                                    Liar(v, len(v) + 1, bool(v)), iter(v)])
        return junk
    return st.one_of(*[good] * 8, good.flatmap(retype), junk)


coords = st.integers(-8, 72)
good_roi = st.lists(st.lists(coords, min_size=2, max_size=3), min_size=0, max_size=5)
good_box = st.lists(st.integers(0, 64), min_size=4, max_size=4)
good_boxes = st.lists(corrupt(good_box), max_size=6)
good_name = st.sampled_from(["door", "gate", "", None, "door"])
good_number = st.sampled_from([1002001, "1002001", 1002006, "7"])
good_info = st.fixed_dictionaries({k: st.sampled_from(["A", "B", ""]) for k in
                                   ["behavior_info", "info_name", "info_ftime", "info_type"]})

region = st.fixed_dictionaries({}, optional={"roi_name": corrupt(good_name), "boxes": corrupt(good_boxes),
                                             "roi": corrupt(good_roi)})
entry = st.fixed_dictionaries(
    {"result": corrupt(st.lists(corrupt(region), max_size=3))},
    optional={"behavior_number": corrupt(good_number), "alarm_info_dict": corrupt(good_info),
              "alarm_info": st.just("")})
document = corrupt(st.fixed_dictionaries({"alarmBehavior": corrupt(st.lists(corrupt(entry), max_size=3))},
                                         # a new list per example: documents() may plant a
                                         # Tripwire in it, and a shared one would carry that on
                                         optional={"extra": st.builds(lambda: [1, {"k": "v"}])}))


def _dict_slots(root):
    """(container, key) of every exact dict nested inside exact lists and dicts."""
    slots, todo = [], [root]
    while todo:
        node = todo.pop()
        items = node.items() if type(node) is dict else enumerate(node) if type(node) is list else ()
        for k, v in items:
            if type(v) in (dict, list):
                todo.append(v)
                if type(v) is dict:
                    slots.append((node, k))
    return slots


ACTIONS = {
    "clear_behaviours": lambda doc: doc["alarmBehavior"].clear(),
    "drop_behaviours": lambda doc: doc.__setitem__("alarmBehavior", []),
    "clear_first_result": lambda doc: doc["alarmBehavior"][0]["result"].clear(),
    "del_first_result": lambda doc: doc["alarmBehavior"][0].pop("result"),
    "swap_boxes": lambda doc: doc["alarmBehavior"][0]["result"][0].__setitem__("boxes", None),
    "grow_result": lambda doc: doc["alarmBehavior"][0]["result"].extend([{}] * 3),
}


class Tripwire(dict):
    """A map that edits the document it sits in whenever it is read."""

    def __init__(self, data, root, action):
        super().__init__(data)
        self._root, self._action = root, action

    def _fire(self):
        try:
            ACTIONS[self._action](self._root)
        except Exception:
            pass

    def get(self, *a):
        self._fire()
        return super().get(*a)

    def __getitem__(self, k):
        self._fire()
        return super().__getitem__(k)

    def __repr__(self):
        return "Tripwire(%s, %s)" % (dict.__repr__(self), self._action)


@st.composite
def documents(draw):
    doc = draw(document)
    if type(doc) is dict:
        slots = _dict_slots(doc)
        for _ in range(draw(st.integers(0, 2))):
            if not slots:
                break
            node, key = draw(st.sampled_from(slots))
            if type(node[key]) is dict:
                node[key] = Tripwire(node[key], doc, draw(st.sampled_from(sorted(ACTIONS))))
    return doc


dev_ids = st.one_of(st.sampled_from([0, "cam0", None, (1, 2), 1.5, "cam1", False]), junk)
modes = st.one_of(st.sampled_from(["TargetRadius", "move", None]), st.just(hostile(str, {"__eq__"}, "TargetRadius")),
                  junk)


# ----------------------------------------------------------------------------- harness

def frame(seed):
    return np.random.default_rng(seed).integers(0, 256, (FRAME_H, FRAME_W, 3), dtype=np.uint8)


def good_doc(names=("door", "gate", None), number=1002001, shift=0):
    info = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}
    regions = [{"roi_name": n, "roi": [[4 + 10 * i, 4], [14 + 10 * i, 20]],
                "boxes": [[2 + shift, 3, 12 + shift, 15], [30, 30, 40, 44]]} for i, n in enumerate(names)]
    return {"alarmBehavior": [{"behavior_number": number, "result": regions, "alarm_info_dict": info,
                               "alarm_info": ""}], "other": {"kept": [1, 2]}}


def warmed():
    rm = mod.RecognitionMode()
    for i in range(3):
        for dev in (0, "cam0", None):
            rm.main(frame(i), dev, good_doc(shift=i % 2), "TargetRadius")
            rm.main(frame(i), dev, good_doc(number="1002001"), "move")
    return rm


def instance(state):
    return mod.RecognitionMode() if state == "fresh" else warmed()


# OpenCV's bindings leave an OverflowError set for integers beyond 64 bits (phash(2**63)),
# which CPython reports as a SystemError naming the OpenCV function: an OpenCV error that
# reaches the caller unchanged, not one of ours.
OPENCV_SYSTEM_ERROR = re.compile(r"<built-in function (resize|cvtColor|dct)> returned a result with an (error|exception) set$")


def attempt(fn, *args):
    """Run one call: a normal return or an ordinary exception, never an internal error."""
    try:
        return True, fn(*args)
    except SystemError as exc:  # the C-API's own complaint: a module bug unless OpenCV's
        if OPENCV_SYSTEM_ERROR.match(str(exc)):
            return False, exc
        pytest.fail("SystemError from %r: %s" % (getattr(fn, "__name__", fn), exc))
    except Exception as exc:  # noqa: BLE001 - any ordinary exception is acceptable here
        return False, exc


@contextlib.contextmanager
def bystanders(rm):
    """A document the instance saw earlier and one it never saw: neither may change."""
    seen = good_doc(names=("yard",))
    rm.main(frame(9), "bystander", seen, "TargetRadius")
    rm.main(frame(9), "bystander", seen, "move")
    unseen = good_doc()
    seen_before, unseen_before = copy.deepcopy(seen), copy.deepcopy(unseen)
    yield
    assert seen == seen_before
    assert unseen == unseen_before
    # The instance still serves a camera it has never met, in both modes.
    for mode in ("move", "TargetRadius"):
        doc = good_doc()
        assert rm.main(frame(1), ("after", mode), doc, mode) is doc
        assert [r["roi_name"] for r in doc["alarmBehavior"][0]["result"]] == ["door", "gate", None]


def check_document_result(ok, out, doc):
    if ok:
        assert out is doc


# ----------------------------------------------------------------------------- tests

STATES = ["fresh", "warm"]


@pytest.mark.parametrize("state", STATES)
@SETTINGS
@given(im=images, dev_id=dev_ids, doc=documents(), mode=modes)
def test_main_survives_junk(state, im, dev_id, doc, mode):
    rm = instance(state)
    with bystanders(rm):
        ok, out = attempt(rm.main, im, dev_id, doc, mode)
        check_document_result(ok, out, doc)


@pytest.mark.parametrize("state", STATES)
@pytest.mark.parametrize("mode", ["TargetRadius", "move"])
@SETTINGS
@given(dev_id=dev_ids, doc=documents())
def test_main_survives_junk_documents_on_a_good_frame(state, mode, dev_id, doc):
    # A good frame lets the motion path get past OpenCV into the document handling.
    rm = instance(state)
    with bystanders(rm):
        for _ in range(2):
            ok, out = attempt(rm.main, frame(0), dev_id, doc, mode)
            check_document_result(ok, out, doc)


@pytest.mark.parametrize("state", STATES)
@SETTINGS
@given(data=st.data())
def test_each_operation_survives_junk(state, data):
    rm = instance(state)
    op = data.draw(st.sampled_from(["target_radius", "move_detect", "check_boxes", "split",
                                    "get_metrix", "phash", "distance"]))
    if op == "target_radius":
        args = (data.draw(dev_ids), data.draw(documents()))
    elif op == "move_detect":
        args = (data.draw(images), data.draw(dev_ids), data.draw(documents()))
    elif op == "check_boxes":
        args = (data.draw(documents()),)
    elif op == "split":
        args = (data.draw(st.one_of(corrupt(good_boxes), junk)), data.draw(st.one_of(good_number, junk)))
    elif op == "get_metrix":
        args = (data.draw(st.one_of(corrupt(good_roi), junk)),)
    elif op == "phash":
        args = (data.draw(images),)
    else:
        hashes = st.one_of(st.text(alphabet="0123456789abcdef", min_size=100, max_size=100), junk,
                           st.text(min_size=100, max_size=100), st.lists(st.integers(0, 1), min_size=100,
                                                                         max_size=100))
        args = (data.draw(hashes), data.draw(hashes))
    with bystanders(rm):
        ok, out = attempt(getattr(rm, op), *args)
    if not ok:
        return
    if op in ("target_radius", "move_detect", "check_boxes"):
        assert out is args[-1]
    elif op == "split":
        boxes, classes = out
        assert len(boxes) == len(classes)
        assert all(len(b) == 4 and all(type(v) is int for v in b) for b in boxes)
    elif op == "get_metrix":
        assert out == [] or (len(out) == 4 and all(isinstance(v, int) for v in out))
    elif op == "phash":
        assert isinstance(out, str) and len(out) == 100 and set(out) <= set("0123456789abcdef")
    else:
        assert isinstance(out, int) and 0 <= out <= len(args[0])


@pytest.mark.parametrize("make_self", [lambda: None, lambda: 0, lambda: "x", list, dict, object,
                                       lambda: hostile(object, {"__getattr__"})])
def test_unbound_methods_with_a_wrong_instance(make_self):
    self_value = make_self()
    calls = [("main", (frame(0), 0, good_doc(), "TargetRadius")), ("main", (frame(0), 0, good_doc(), "m")),
             ("target_radius", (0, good_doc())), ("move_detect", (frame(0), 0, good_doc())),
             ("check_boxes", (good_doc(),)), ("split", ([[1, 2, 3, 4]], 1)),
             ("get_metrix", ([[1, 2], [3, 4]],)), ("phash", (frame(0),)), ("distance", ("ab", "ab")),
             ("__init__", ())]
    for name, args in calls:
        attempt(getattr(mod.RecognitionMode, name), self_value, *args)
    attempt(mod.Camera.run, self_value, [[1, 2, 3, 4]], ["1"])
    attempt(mod.Camera.__init__, self_value)


def warmed_camera():
    cam = mod.Camera()
    for shift in (0, 0, 1, 0):
        cam.run([[2 + shift, 3, 12, 15], [30, 30, 40, 44]], ["1", "1"])
    return cam


@pytest.mark.parametrize("state", STATES)
@SETTINGS
@given(boxes=st.one_of(corrupt(st.lists(st.one_of(good_box, st.lists(scalars, min_size=4, max_size=4)),
                                        max_size=5)), junk),
       classes=st.one_of(corrupt(st.lists(st.sampled_from(["1", "2"]), max_size=5)), junk))
def test_camera_run_survives_junk(state, boxes, classes):
    cam = mod.Camera() if state == "fresh" else warmed_camera()
    ok, out = attempt(cam.run, boxes, classes)
    if ok:
        assert len(out) == 4 and out[0] is out[2]
    # Whatever happened, the tracker still takes a good frame.
    attempt(cam.run, [[2, 3, 12, 15]], ["1"])
    assert len(cam.run([[2, 3, 12, 15]], ["1"])) == 4


# ------------------------------------------------------------- junk from outside components

@contextlib.contextmanager
def patched(**names):
    old = {k: getattr(mod, k) for k in names}
    for k, v in names.items():
        setattr(mod, k, v)
    try:
        yield
    finally:
        for k, v in old.items():
            setattr(mod, k, v)


def returning(value):
    def fake(*_a, **_k):
        return value
    return fake


class FakeTracker:
    result = None

    def __init__(self, *args):
        self.args = args

    @staticmethod
    def association(state_list, mea_list, classes):
        return FakeTracker.result


association_results = st.one_of(
    junk,
    st.tuples(st.one_of(st.lists(st.one_of(st.integers(-3, 3), scalars), max_size=4), junk), junk,
              st.one_of(st.lists(st.integers(-3, 3), max_size=4), junk)),
)
transforms = st.one_of(
    junk,
    pick([np.zeros((10, 10)), np.zeros((9, 12), np.float32), np.zeros((12, 12), np.int32),
                     np.zeros((10, 10, 2), np.float32), np.full((10, 10), np.nan), np.zeros((50, 50), object),
                     [[0.0] * 10] * 10, np.zeros((50, 50), np.float32)[::-3, ::-1]]),
)


@SETTINGS
@given(thresholds=st.tuples(junk, junk, junk), clock=junk, wall=junk, association=association_results,
       meas=junk, dct=transforms, mode=st.sampled_from(["TargetRadius", "move"]))
def test_junk_from_outside_components(thresholds, clock, wall, association, meas, dct, mode):
    rm = mod.RecognitionMode()
    FakeTracker.result = association
    fake_cv2 = types.SimpleNamespace(resize=mod.cv2.resize, cvtColor=mod.cv2.cvtColor,
                                     COLOR_BGR2GRAY=mod.cv2.COLOR_BGR2GRAY, dct=returning(dct))
    with patched(move_thr=thresholds[0], iou_thr=thresholds[1], pix_thr=thresholds[2],
                 get_current_time=returning(clock), time=types.SimpleNamespace(time=returning(wall)),
                 TargetRadius=FakeTracker, box2meas=returning(meas), cv2=fake_cv2):
        seen = good_doc(names=("yard",))
        seen_before = copy.deepcopy(seen)
        for dev in ("a", "a", "b"):
            doc = good_doc()
            ok, out = attempt(rm.main, frame(0), dev, doc, mode)
            check_document_result(ok, out, doc)
            assert seen == seen_before
        ok, out = attempt(rm.phash, frame(0))
        if ok:
            assert isinstance(out, str) and len(out) == 100
    # Real components back: the same instance carries on.
    doc = good_doc()
    assert rm.main(frame(0), "fresh-camera", doc, mode) is doc


# ------------------------------------------------------------- same answers through slow paths

def _retype_all(value):
    if type(value) is dict:
        return DictSub({k: _retype_all(v) for k, v in value.items()})
    if type(value) is list:
        return ListSub(_retype_all(v) for v in value)
    return value


def _outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as exc:  # noqa: BLE001
        return type(exc)


plain_boxes = st.lists(st.lists(st.one_of(st.integers(0, 64), st.floats(0, 64)), min_size=4, max_size=4),
                      max_size=6)


@pytest.mark.parametrize("mode", ["TargetRadius", "move"])
@settings(max_examples=40, deadline=None, database=None)
@given(docs=st.lists(st.fixed_dictionaries(
    {"alarmBehavior": st.lists(st.fixed_dictionaries(
        {"result": st.lists(st.fixed_dictionaries({"roi_name": good_name, "boxes": plain_boxes,
                                                   "roi": good_roi.filter(lambda r: len(r) >= 2)}), max_size=3),
         "behavior_number": good_number, "alarm_info_dict": good_info}), max_size=3)}), min_size=1, max_size=4))
def test_subclassed_documents_give_the_same_results(mode, docs):
    """Dict and list subclasses take the generic paths; they must agree with the fast ones."""
    plain_rm, sub_rm = mod.RecognitionMode(), mod.RecognitionMode()
    for i, doc in enumerate(docs):
        sub = _retype_all(copy.deepcopy(doc))
        a = _outcome(plain_rm.main, frame(i % 2), "cam", doc, mode)
        b = _outcome(sub_rm.main, frame(i % 2), "cam", sub, mode)
        if isinstance(a, type):
            assert a is b
        else:
            assert b is sub and a == b

"""Hostile callers: attacks that reach past the documents into the interpreter itself.

Each test is one class of attack (objects the type system should refuse, runaway
recursion between native methods, the garbage collector looking at half-built
containers, foreign exceptions inside conversions, failed allocations). Every one must
end in an ordinary Python exception, never a crash, and leave the instance working.
"""
import gc
import importlib
import itertools
import subprocess
import sys

import numpy as np

import pytest

from fakes import entry

mod = importlib.import_module("object_detection.post_processing.recognition_mode.main")
target = importlib.import_module("object_detection.post_processing.recognition_mode.target")
utils = importlib.import_module("object_detection.post_processing.recognition_mode.utils")
TargetRadius = target.TargetRadius


def frame_doc(boxes=((10, 10, 50, 60), (70, 20, 90, 80)), number=1002001):
    roi = [[0, 0], [120, 0], [120, 100], [0, 100]]
    return {"alarmBehavior": [entry(number, [{"roi_name": "door", "roi": roi,
                                              "boxes": [list(b) for b in boxes]}])]}


def works(rm):
    """The instance still serves a normal frame in both modes."""
    out = rm.main(None, "after", frame_doc(), "TargetRadius")
    assert out["alarmBehavior"][0]["alarm_info"] == "B-NdoorTY"
    out = rm.main(np.zeros((110, 130, 3), np.uint8), "after", frame_doc(), "MoveDetect")
    assert len(out["alarmBehavior"]) == 1


# ------------------------------------------------------------------ objects that must not exist

def _fn_type():
    return type(mod.RecognitionMode.main)


@pytest.mark.parametrize("make", [
    lambda: _fn_type()(),
    lambda: _fn_type().__new__(_fn_type()),
    lambda: object.__new__(_fn_type()),
], ids=["call", "__new__", "object.__new__"])
def test_function_type_cannot_be_instantiated(make):
    with pytest.raises(TypeError):
        make()
    works(mod.RecognitionMode())


def _unconstructed():
    return TargetRadius.__new__(TargetRadius)


def _run_camera_with(t):
    cam = mod.Camera()
    cam.state_list = [t]
    cam.run([[1, 2, 3, 4]], ["a"])


@pytest.mark.parametrize("use", [
    repr,
    lambda t: t.cls,
    lambda t: t.box,
    lambda t: t.anchor,
    lambda t: t.still,
    lambda t: t.iou_thr,
    lambda t: t.pix_thr,
    lambda t: TargetRadius.association([t], [(1, 2, 3, 4)], ["a"]),
    utils.state2box,
    _run_camera_with,
], ids=["repr", "cls", "box", "anchor", "still", "iou_thr", "pix_thr", "association",
        "state2box", "Camera.run"])
def test_target_without_init_is_refused(use):
    t = _unconstructed()
    with pytest.raises(TypeError, match="not initialized"):
        use(t)
    # The descriptors check what they are given, too.
    with pytest.raises(TypeError):
        TargetRadius.box.fget(object())
    # __init__ afterwards makes it a full target.
    t.__init__((1, 2, 3, 4), "a", 0.3, 0.75)
    assert t.box == [1, 2, 3, 4]
    use(t)


# ------------------------------------------------------------------ runaway recursion

class _SelfNumbered(dict):
    """A document that is its own behaviour number (int() accepts it); counts its reads."""

    reads = 0

    def __int__(self):
        return 1

    def get(self, key, default=None):
        self.reads += 1
        return dict.get(self, key, default)


def test_runaway_recursion_between_native_methods():
    class Looping(mod.RecognitionMode):
        # split(boxes, number) becomes target_radius(dev_id=boxes, out_result_dict=number):
        # the methods call each other with no Python frame in between.
        split = mod.RecognitionMode.target_radius

    doc = _SelfNumbered(alarmBehavior=[])
    doc["alarmBehavior"].append(entry(doc, [{"roi_name": "a", "boxes": [[1, 2, 3, 4]]}]))
    depths = []
    for _ in range(2):
        doc.reads = 0
        with pytest.raises(RecursionError):
            Looping().target_radius("cam", doc)
        depths.append(doc.reads)
    # The same depth both times: nothing of the first overflow stays counted.
    assert depths[0] == depths[1] > 100
    works(mod.RecognitionMode())


_DEEP_CYCLE = r"""
import sys, threading
from object_detection.post_processing.recognition_mode import main as mod

class Sub(mod.RecognitionMode):
    def check_boxes(self, out):  # Python frames between native ones take no C stack
        return self.move_detect(None, "d", out) if CYCLE == "motion" else self.target_radius("d", out)

CYCLE, STACK = sys.argv[1], int(sys.argv[2])
sys.setrecursionlimit(100000)
outcome = []
def go():
    try:
        Sub().main(None, "d", {"alarmBehavior": []}, "TargetRadius" if CYCLE == "static" else "m")
    except RecursionError:
        outcome.append(mod.RecognitionMode().check_boxes({"alarmBehavior": []}))
if STACK:
    threading.stack_size(STACK)
    t = threading.Thread(target=go)
    t.start()
    t.join()
else:
    go()
print(outcome)
"""


@pytest.mark.parametrize("stack", [0, 512 * 1024], ids=["main-thread", "small-thread-stack"])
@pytest.mark.parametrize("cycle", ["motion", "static"])
def test_deep_cycle_through_python_raises_instead_of_overflowing_the_stack(cycle, stack):
    run = subprocess.run([sys.executable, "-c", _DEEP_CYCLE, cycle, str(stack)], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == "[{'alarmBehavior': []}]"


# ------------------------------------------------------------------ the collector sees everything

class _Scanner:
    """Touches every item of every list the collector tracks: an empty slot crashes."""

    def __init__(self, generation=None):
        self.generation = generation
        self.scans = 0

    def scan(self):
        self.scans += 1
        objs = gc.get_objects() if self.generation is None else gc.get_objects(self.generation)
        for o in objs:
            if type(o) is list:
                for x in o:
                    id(x)

    def __call__(self, phase, info):
        if phase == "start":
            self.scan()


class _ScanningInt:
    """An integer that looks at every list while int() converts it."""

    def __init__(self, value, scanner):
        self.value, self.scanner = value, scanner

    def __int__(self):
        self.scanner.scan()
        return self.value

    __index__ = __int__


def _split_generic(scanner):
    rm = mod.RecognitionMode()
    boxes = [[_ScanningInt(v, scanner) for v in (1, 2, 3, 4)]]
    assert rm.split(boxes, 7) == ([[1, 2, 3, 4]], ["7"])


def _under_collections(scanner, call):
    """call() with a collection on almost every new container (before 3.12 they run inside
    the allocation). The free lists are emptied first: a reused list is not counted."""
    old = gc.get_threshold()
    gc.callbacks.append(scanner)
    gc.set_threshold(1, 1, 1)
    try:
        drained = [[] for _ in range(200)], [(i, i, i) for i in range(200)]
        result = call()
        del drained
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(scanner)
    return result


def _warmed_pair():
    """Two targets, one matched and one missed on enough frames that the next association
    reports a new box, a still target and a departed one: all three lists non-empty."""
    state = [TargetRadius((1, 2, 3, 4), "a", 0.3, 0.75), TargetRadius((50, 50, 60, 60), "a", 0.3, 0.75)]
    for _ in range(target.COAST_FRAMES + 1):
        TargetRadius.association(state, [(1, 2, 3, 4)], ["a"])
    return state


def _association_under_collection(scanner):
    state = _warmed_pair()
    unmatch, still, gone = _under_collections(
        scanner, lambda: TargetRadius.association(state, [(1, 2, 3, 4), (80, 80, 90, 90)], ["a", "a"]))
    assert list(unmatch) == [1] and len(still) == 1 and list(gone) == [1]


def _camera_run_under_collection(scanner):
    cam = mod.Camera()
    _under_collections(scanner, lambda: cam.run([[1, 2, 3, 4], [20, 20, 30, 30]], ["a", "a"]))
    assert len(cam.state_list) == 2


@pytest.mark.parametrize("case, generation", [
    (_split_generic, None),
    (_association_under_collection, 0),
    (_camera_run_under_collection, 0),
], ids=["split-__int__", "association-gc.callbacks", "Camera.run-gc.callbacks"])
def test_no_half_built_container_is_visible(case, generation):
    scanner = _Scanner(generation)
    case(scanner)
    if case is _split_generic or sys.version_info < (3, 12):
        assert scanner.scans > 0


# ------------------------------------------------------------------ foreign exceptions

class _Custom(Exception):
    pass


def _raising(exc):
    class Number:
        def __float__(self):
            raise exc()

        def __index__(self):
            raise exc()

    return Number()


def _raising_box(exc):
    class State:
        @property
        def box(self):
            raise exc()

    return State()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, _Custom], ids=lambda e: e.__name__)
@pytest.mark.parametrize("call", [
    lambda bad: utils.box2meas([bad, 0, 1, 1]),
    lambda bad: utils.iou([0, 0, 1, 1], (0, bad, 1, 1)),
    lambda bad: TargetRadius((0, 0, 1, 1), "a", bad, 0.5),
    lambda bad: TargetRadius.association([], [(0, 0, 1, bad)], ["a"]),
    lambda bad: target._assign([[1.0, bad]]),
], ids=["box2meas", "iou", "threshold", "association", "assign"])
def test_conversion_passes_foreign_errors_through(call, exc):
    with pytest.raises(exc):
        call(_raising(exc))
    # A refusal of the conversion itself is still reworded.
    with pytest.raises(TypeError, match="real number"):
        call(_raising(TypeError))


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, _Custom], ids=lambda e: e.__name__)
def test_state2box_passes_attribute_lookup_errors_through(exc):
    with pytest.raises(exc):
        utils.state2box(_raising_box(exc))
    # Only AttributeError means "no .box": the object is then taken as a box itself.
    with pytest.raises(TypeError, match="sequence"):
        utils.state2box(_raising_box(AttributeError))


# ------------------------------------------------------------------ failed allocations

class FakeCv2:
    """numpy stand-in for the three OpenCV calls of phash: OpenCV crashes when its own
    allocations fail, which is not ours to test. Plain slicing and np.dot only (numpy's
    matmul and fancy indexing answer a failed allocation with SystemError)."""

    COLOR_BGR2GRAY = 6
    error = RuntimeError
    _n = np.arange(50)
    _dct = (np.cos(np.pi * (2 * _n[None, :] + 1) * _n[:, None] / 100)
            * np.where(_n[:, None] == 0, np.sqrt(1 / 50), np.sqrt(2 / 50))).astype(np.float32)
    _grey = np.array([0.114, 0.587, 0.299], np.float32)

    @staticmethod
    def resize(img, size):
        # Pictures of at least twice the size only: every other pixel.
        w, h = size
        return img[:2 * h:2, :2 * w:2]

    @classmethod
    def cvtColor(cls, img, code):
        return np.dot(img, cls._grey)

    @classmethod
    def dct(cls, a):
        return np.dot(np.dot(cls._dct, a), cls._dct.T)


def _picture(seed):
    return np.random.default_rng(seed).integers(0, 255, (110, 130, 3), dtype=np.uint8)


HASH = "0" * 50 + "f" * 50
_devices = itertools.count()


def _two_frames(rm, im, mode):
    """A new camera's first frames with the same picture and boxes (two for the hash, as
    many as a new target is watched for the tracker): the last finds everything where it
    was and keeps no alarm."""
    dev = "cam-%d" % next(_devices)
    docs = [_two_behaviours() for _ in range(target.OBSERVE_FRAMES if mode == "TargetRadius" else 2)]
    return lambda: [rm.main(im, dev, doc, mode)["alarmBehavior"] for doc in docs][-1]


def _two_behaviours():
    doc = frame_doc()
    doc["alarmBehavior"].append(entry("7", [
        {"roi_name": None, "roi": [[0, 0], [110, 100]], "boxes": [[1.5, 2, 30, 40]]},
        {"roi_name": "gate", "roi": [[2, 3], [125, 108]], "boxes": [(3, 4, 60, 70), [1, 1, 9, 9]]}]))
    return doc


# name -> make(rm): a fresh call (documents built outside the failing window) and the
# result a successful call gives, or None where only success counts.
SWEEP = {
    "RecognitionMode()": lambda rm: (mod.RecognitionMode, None),
    "main/TargetRadius": lambda rm: (_two_frames(rm, None, "TargetRadius"), []),
    "main/MoveDetect": lambda rm: (_two_frames(rm, _picture(1), "MoveDetect"), []),
    "check_boxes": lambda rm: (lambda doc=frame_doc(): rm.check_boxes(doc)["alarmBehavior"][0]["alarm_info"],
                               "B-NdoorTY"),
    "split/plain": lambda rm: (lambda: rm.split([[1, 2.5, 3, 4], [5, 6, 7, 8]], 7),
                               ([[1, 2, 3, 4], [5, 6, 7, 8]], ["7", "7"])),
    "split/numpy": lambda rm: (lambda a=np.arange(8, dtype=np.int64): rm.split(a, "n"),
                               ([[0, 1, 2, 3], [4, 5, 6, 7]], ["n", "n"])),
    "get_metrix": lambda rm: (lambda: rm.get_metrix([[3, 9], [1.5, 2], [7, 4]]), [1, 2, 7, 9]),
    "phash": lambda rm: (lambda im=_picture(2): rm.phash(im), None),
    "distance": lambda rm: (lambda: rm.distance(HASH, HASH[::-1]), 100),
    "Camera.run": lambda rm: (
        lambda cam=mod.Camera(): cam.run([[1, 2, 3, 4], [10, 10, 30, 30]], ["a", "a"])[1], [0, 1]),
    "TargetRadius()": lambda rm: (lambda: TargetRadius((1, 2, 3, 4), "a", 0.3, 0.75).box, [1, 2, 3, 4]),
    "association": lambda rm: (
        lambda s=_warmed_pair():
        [len(x) for x in TargetRadius.association(s, [(1, 2, 3, 4), (80, 80, 90, 90)], ["a", "a"])],
        [1, 1, 1]),
    "target properties": lambda rm: (
        lambda t=TargetRadius((1, 2, 3, 4), "人", 0.3, 0.75): (
            repr(t), t.cls, t.box, t.anchor, t.still, t.iou_thr, t.pix_thr),
        ("TargetRadius(cls='人', box=[1, 2, 3, 4], still=False)", "人", [1, 2, 3, 4], [1, 2, 3, 4],
         False, 0.3, 0.75)),
    "_assign": lambda rm: (lambda: target._assign([[0.9, 0.8], [0.8, 0.0]]), [(0, 1), (1, 0)]),
    "box2meas": lambda rm: (lambda: utils.box2meas([1, 2, 3, 4]), (1.0, 2.0, 3.0, 4.0)),
    "state2box": lambda rm: (lambda t=TargetRadius((1, 2, 3, 4), "a", 0.3, 0.75):
                             (utils.state2box(t), utils.state2box((5, 6, 7, 8))),
                             ([1, 2, 3, 4], [5, 6, 7, 8])),
    "iou": lambda rm: (lambda: utils.iou([0, 0, 10, 10], [5, 0, 15, 10]), 1 / 3),
}
EVERY_UP_TO = 400  # every allocation index below this is failed, then every STRIDE-th
STRIDE = 7
LIMIT = 2000


def _fails(testcapi, call, start, stop):
    """Runs call with allocations start..stop-1 failing (stop 0: all from start on).
    True when the call ended in MemoryError, False when it succeeded."""
    testcapi.set_nomemory(start, stop)
    try:
        call()
    except MemoryError:
        return True
    finally:
        testcapi.remove_mem_hooks()
    return False


@pytest.fixture
def no_gc_hooks():
    # Other tools' collection hooks (Hypothesis times collections) fail as well under the
    # injection, and report it: out of the way for the sweep.
    hooks = gc.callbacks[:]
    gc.callbacks.clear()
    yield
    gc.callbacks[:] = hooks


@pytest.mark.usefixtures("no_gc_hooks")
@pytest.mark.parametrize("name", list(SWEEP))
def test_allocation_failure_sweep(name, monkeypatch):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot inject allocation failures")
    monkeypatch.setattr(mod, "cv2", FakeCv2)
    rm = mod.RecognitionMode()
    call, expected = SWEEP[name](rm)
    assert call() == expected or expected is None   # warm-up: caches filled, result known
    i = 0
    while True:
        # The i-th allocation alone, then every one from the i-th on: only MemoryError or
        # success (a SystemError or any other exception fails here), never a crash.
        single = _fails(testcapi, SWEEP[name](rm)[0], i, i + 1)
        rest = _fails(testcapi, SWEEP[name](rm)[0], i, 0)
        if single or rest:
            again, _ = SWEEP[name](rm)
            result = again()
            assert expected is None or result == expected, (i, result)
        if not rest:
            break   # the call needs fewer than i allocations
        assert i < LIMIT
        i += 1 if i < EVERY_UP_TO else STRIDE

"""What a caller's objects can see must be what the plain code shows them: the order of
reads, conversions and additions, on the fast paths too. Each test runs one scenario on
the module and on the plain-Python model and compares what a spy saw."""
import copy
import sys
import types

import cv2
import numpy as np
import pytest

import reference
from fakes import entry


def both(mod):
    """(module, instance) for the plain model and for the compiled module."""
    return [(reference, reference.RecognitionMode()), (mod, mod.RecognitionMode())]


# ------------------------------------------------------------------ alarm texts

class EditsNext(str):
    """behavior_info whose + edits the alarm description's next part."""
    info = None

    def __add__(self, other):
        self.info["info_name"] = "edited"
        return str(self) + other


class Acc:
    """What a name's __radd__ leaves in info_rois: records how it is added to."""

    def __init__(self, steps):
        self.steps = steps

    def __iadd__(self, other):
        self.steps.append(("+=", other))
        return self

    def __add__(self, other):
        return Acc(self.steps + [("+", other)])

    def __radd__(self, other):
        return other + repr(self.steps)

    def __eq__(self, other):
        return isinstance(other, Acc) and other.steps == self.steps


class Name:
    def __radd__(self, other):
        return Acc([("radd", other)])

    def __str__(self):
        return "n"


def _edited_info():
    doc = {"alarmBehavior": [entry(1, [{"roi_name": "a", "boxes": [1]}])]}
    info = doc["alarmBehavior"][0]["alarm_info_dict"]
    info["behavior_info"] = EditsNext("B")
    info["behavior_info"].info = info
    return doc


def _odd_names():
    return {"alarmBehavior": [entry(1, [{"roi_name": Name(), "boxes": [1]}, {"roi_name": "b", "boxes": [1]}])]}


@pytest.mark.parametrize("make", [_edited_info, _odd_names], ids=["read-after-add", "names-added-in-place"])
def test_alarm_text_parts_read_and_added_in_the_plain_order(mod, make):
    seen = []
    for _, rm in both(mod):
        doc = make()
        rm.check_boxes(doc)
        behavior = doc["alarmBehavior"][0]
        seen.append((behavior["alarm_info"], behavior["alarm_info_dict"]["info_rois"]))
    assert seen[1] == seen[0]


# ------------------------------------------------------------------ box splitting

class StrFails:
    def __str__(self):
        raise KeyError("label")


@pytest.mark.parametrize("boxes,number,error", [
    ([[1, 2, 3, 4], [float("nan"), 1, 2, 3]], StrFails(), KeyError),   # row 0's label fails first
    ([[float("nan"), 1, 2, 3]], StrFails(), ValueError),                # row 0's ints fail first
    ([[1, 2, 3, 4], [5, 6, 7, float("inf")]], "7", OverflowError),
], ids=["label-before-next-row", "ints-before-label", "exact-label"])
def test_split_converts_row_by_row(mod, boxes, number, error):
    for _, rm in both(mod):
        with pytest.raises(error):
            rm.split(copy.deepcopy(boxes), number)


def test_split_calls_a_rebound_np_array(mod, monkeypatch):
    calls = []
    real = np.array

    def spy(*a, **k):
        calls.append(a)
        return real(*a, **k)

    monkeypatch.setattr(np, "array", spy)
    for _, rm in both(mod):
        assert rm.split([[1, 2, 3, 4]], 5) == ([[1, 2, 3, 4]], ["5"])
    assert len(calls) == 2


# ------------------------------------------------------------------ tracker registry

def _rebinding_registry(module, rm):
    """Camera() and the clock replace the maps the registry statements read."""
    base = module.Camera
    clock = module.get_current_time

    class Rebinding(base):
        def __init__(self):
            base.__init__(self)
            rm.dev_id["cam"][7] = dict(rm.dev_id["cam"][7])

    def rebinding_clock():
        rm.dev_id["cam"] = dict(rm.dev_id["cam"])
        rm.refresh_time["cam"] = dict(rm.refresh_time["cam"])
        return clock()

    return Rebinding, rebinding_clock


def test_registry_reads_follow_each_statement(mod, monkeypatch):
    shapes = []
    for module, rm in both(mod):
        camera, clock = _rebinding_registry(module, rm)
        monkeypatch.setattr(module, "Camera", camera)
        monkeypatch.setattr(module, "get_current_time", clock)
        doc = {"alarmBehavior": [entry(7, [{"roi_name": "a", "boxes": [[1, 2, 30, 40], [50, 60, 70, 80]]}])]}
        rm.target_radius("cam", doc)
        shapes.append(({dev: {bn: sorted(cams) for bn, cams in beh.items()} for dev, beh in rm.dev_id.items()},
                       {dev: sorted(st) for dev, st in rm.refresh_time.items()}))
    assert shapes[1] == shapes[0] == ({"cam": {7: ["a"]}}, {"cam": [7]})


# ------------------------------------------------------------------ the hash's own steps

class Recorder(types.ModuleType):
    """A module stand-in that records which names are read from it."""

    def __init__(self, real, log):
        super().__init__(real.__name__)
        object.__setattr__(self, "_real", real)
        object.__setattr__(self, "_log", log)

    def __getattribute__(self, name):
        if name.startswith("_"):
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "_log").append(name)
        return getattr(object.__getattribute__(self, "_real"), name)


def test_hash_reads_opencv_and_numpy_names_in_the_plain_order(mod, monkeypatch):
    img = np.random.default_rng(4).integers(0, 256, (33, 47, 3), dtype=np.uint8)
    logs, hashes = [], []
    for module, rm in both(mod):
        log = []
        monkeypatch.setattr(module, "cv2", Recorder(cv2, log))
        monkeypatch.setattr(module, "np", Recorder(np, log))
        hashes.append(rm.phash(img))
        logs.append(log)
    assert hashes[1] == hashes[0]
    assert logs[1] == logs[0] == ["resize", "cvtColor", "COLOR_BGR2GRAY", "dct", "float32"]


# ------------------------------------------------------------------ a cv2 wrapped before the load

@pytest.mark.parametrize("raised", [None, KeyboardInterrupt, MemoryError])
def test_cv2_wrapped_in_python_at_load_is_called_as_the_plain_code_calls_it(monkeypatch, raised):
    calls = []

    def wrap(name):
        real = getattr(cv2, name)

        def wrapper(*args):
            calls.append(name)
            if raised is not None and len(calls) == 1:
                raise raised
            return real(*args)
        return wrapper

    fake = types.ModuleType("cv2")
    for name in ("resize", "cvtColor", "dct"):
        setattr(fake, name, wrap(name))
    fake.COLOR_BGR2GRAY = cv2.COLOR_BGR2GRAY
    monkeypatch.setitem(sys.modules, "cv2", fake)
    import importlib.util
    spec = importlib.util.find_spec("object_detection.post_processing.recognition_mode.main")
    loaded = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(loaded)
    img = np.random.default_rng(6).integers(0, 256, (61, 83, 3), dtype=np.uint8)
    monkeypatch.setitem(sys.modules, "cv2", cv2)
    expected = reference.RecognitionMode().phash(img)
    rm = loaded.RecognitionMode()
    if raised is None:
        assert rm.phash(img) == expected
        assert calls == ["resize", "cvtColor", "dct"]
    else:
        with pytest.raises(raised):
            rm.phash(img)
        assert calls == ["resize"]

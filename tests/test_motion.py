"""Region rectangle, perceptual hash, hash distance and region motion detection."""
import copy
import subprocess
import sys

import cv2
import numpy as np
import pytest

import reference
from fakes import entry

UNIFORM = "8" + "0" * 99
BLACK = "f" * 97 + "731"


@pytest.fixture
def ref():
    return reference.RecognitionMode()


def bits_to_hash(bits):
    return "".join("%x" % int(bits[x:x + 4], 2) for x in range(len(bits)))


def gradient(h, w, axis, dtype=np.uint8, top=255):
    ramp = np.linspace(0, top, w if axis == 1 else h)
    grid = np.tile(ramp, (h, 1)) if axis == 1 else np.tile(ramp[:, None], (1, w))
    return np.dstack([grid, grid[::-1, ::-1], grid * 0.5]).astype(dtype)


def noise(h, w, seed, channels=3, dtype=np.uint8, top=256):
    rng = np.random.default_rng(seed)
    if dtype == np.float32:
        return rng.random((h, w, channels)).astype(np.float32)
    return rng.integers(0, top, (h, w, channels)).astype(dtype)


def patch_picture(dx):
    img = gradient(90, 120, 1) // 3
    img[30:60, 20 + dx:50 + dx] = (250, 240, 10)
    return img


def region(roi, name="door", boxes=None):
    out = {"roi": roi, "boxes": [[1, 2, 3, 4]] if boxes is None else boxes}
    if name is not None:
        out["roi_name"] = name
    return out


def rect(left, top, right, bottom):
    return [[left, top], [right, bottom]]


# ---------------------------------------------------------------- get_metrix

@pytest.mark.parametrize("points, expected", [
    (None, []),
    ([], []),
    ([[3, 4]], []),
    ([[40, 10], [5, 30]], [5, 10, 40, 30]),
    ([[5, 30], [40, 10], [40, 10], [5, 30]], [5, 10, 40, 30]),
    ([[10.7, 5.2], [30.9, 40.99]], [10, 5, 30, 40]),
    ([[10, 5], [10, 20]], [10, 5, 10, 20]),
    ([[1, 2, 99], [3, 4, 99]], [1, 2, 3, 4]),
    ([[1, 2.5], [3.9, 4]], [1, 2, 3, 4]),
    ([[-0.5, -1.5], [-2.7, 3]], [-2, -1, 0, 3]),
    ([[-12.9, -0.2], [-3, -0.9]], [-12, 0, -3, 0]),
    # exact integer beats its float neighbour: min/max come before conversion
    ([[2 ** 53 + 1, 0], [float(2 ** 53), 1]], [2 ** 53, 0, 2 ** 53 + 1, 1]),
    ([[2 ** 70, -(2 ** 70)], [1, 1.5]], [1, -(2 ** 70), 2 ** 70, 1]),
    ([(True, False), (3, 4)], [1, 0, 3, 4]),
    (((7, 8), (1, 2), (4, 9)), [1, 2, 7, 9]),
    (np.array([[1.5, 2.0], [3.0, 4.9]]), [1, 2, 3, 4]),
    ([[i, 100 - i] for i in range(40)], [0, 61, 39, 100]),
])
def test_get_metrix(rm, ref, points, expected):
    before = copy.deepcopy(points)
    got = rm.get_metrix(points)
    assert got == expected == ref.get_metrix(points)
    assert type(got) is list and all(type(v) is int for v in got)
    np.testing.assert_equal(points, before)


def test_get_metrix_returns_fresh_lists(rm):
    first = rm.get_metrix(None)
    first.append(1)
    assert rm.get_metrix(None) == []
    points = [[1, 2], [3, 4]]
    out = rm.get_metrix(points)
    assert out is not points and points == [[1, 2], [3, 4]]


@pytest.mark.parametrize("points, error", [
    (5, TypeError),
    (0, TypeError),
    ([[1, 2], [3]], IndexError),
    ([[1, 2], []], IndexError),
    ([[1, 2], ["a", 3]], TypeError),
    ([[1, 2], [3, None]], TypeError),
    # int() of the picked extremes, in the order x_min, x_max, y_min, y_max
    ([[float("inf"), 0], [1, float("nan")]], OverflowError),
    ([[float("nan"), 0], [1, 2]], ValueError),
])
def test_get_metrix_failures(rm, ref, points, error):
    with pytest.raises(error):
        rm.get_metrix(points)
    with pytest.raises(error):
        ref.get_metrix(points)


# ---------------------------------------------------------------- phash

@pytest.mark.parametrize("shape, colour", [
    ((20, 30, 3), (7, 7, 7)),
    ((1, 1, 3), (200, 10, 90)),
    ((300, 17, 3), (0, 0, 255)),
])
def test_phash_uniform(rm, shape, colour):
    img = np.empty(shape, np.uint8)
    img[:] = colour
    assert rm.phash(img) == UNIFORM


@pytest.mark.parametrize("img", [
    np.zeros((40, 40, 3), np.uint8),
    np.zeros((3, 90, 3), np.float32),
    np.zeros((5, 5, 4), np.uint16),
], ids=["u8", "f32", "u16-4ch"])
def test_phash_black(rm, img):
    assert rm.phash(img) == BLACK
    assert rm.distance(BLACK, UNIFORM) == 100


PICTURES = {
    "hgrad": gradient(80, 100, 1),
    "vgrad": gradient(120, 64, 0),
    "grad16": gradient(70, 90, 1, np.uint16, 65535),
    "gradf": gradient(70, 90, 0, np.float32, 1.0),
    "noise": noise(64, 64, 1),
    "noise_wide": noise(30, 500, 2),
    "noise16": noise(45, 61, 3, dtype=np.uint16, top=65536),
    "noisef": noise(50, 50, 4, dtype=np.float32),
    "noise_bgra": noise(33, 47, 5, channels=4),
    "patch0": patch_picture(0),
    "patch7": patch_picture(7),
    "sliver_row": noise(1, 333, 6),
    "sliver_col": noise(250, 1, 7),
}


@pytest.mark.parametrize("name", sorted(PICTURES))
def test_phash_matches_independent_computation(rm, ref, name):
    img = PICTURES[name]
    before = img.copy()
    got = rm.phash(img)
    assert got == ref.phash(img)
    assert len(got) == 100 and set(got) <= set("0123456789abcdef")
    assert int(got[97], 16) <= 7 and int(got[98], 16) <= 3 and got[99] in "01"
    np.testing.assert_array_equal(img, before)


def test_phash_shifted_patch_changes_hash(rm):
    assert rm.phash(PICTURES["patch0"]) != rm.phash(PICTURES["patch7"])


@pytest.mark.parametrize("view", [
    lambda f: f[10:70, 33:140],
    lambda f: f[::2, ::3],
    lambda f: f[::-1, 5:90],
    lambda f: f[..., ::-1],
    lambda f: np.asfortranarray(f),
], ids=["crop", "strided", "flipped", "rgb-view", "fortran"])
def test_phash_on_views(rm, ref, view):
    frame = noise(100, 160, 11)
    frame[40:60, 50:80] = 255
    crop = view(frame)
    assert rm.phash(crop) == ref.phash(crop) == rm.phash(np.ascontiguousarray(crop))


@pytest.mark.parametrize("img", [
    np.zeros((0, 5, 3), np.uint8),
    np.zeros((5, 0, 3), np.uint8),
    np.zeros((20, 20), np.uint8),
    np.zeros((20, 20, 1), np.uint8),
    np.zeros((20, 20, 2), np.uint8),
    np.zeros((20, 20, 3), np.float64),
], ids=["no-rows", "no-cols", "2d", "1ch", "2ch", "f64"])
def test_phash_opencv_errors(rm, ref, img):
    with pytest.raises(cv2.error):
        rm.phash(img)
    with pytest.raises(cv2.error):
        ref.phash(img)


class CvSpy:
    """Stands in for the module's cv2 and records the OpenCV calls."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        attr = getattr(cv2, name)
        if not callable(attr):
            return attr

        def record(*args, **kwargs):
            self.calls.append((name, args[1:], kwargs))
            return attr(*args, **kwargs)
        return record


def test_phash_uses_module_cv2(mod, rm, monkeypatch):
    spy = CvSpy()
    monkeypatch.setattr(mod, "cv2", spy)
    img = PICTURES["noise"]
    assert rm.phash(img) == reference.RecognitionMode().phash(img)
    calls = [c for c in spy.calls if c[0] in ("resize", "cvtColor", "dct")]
    assert [c[0] for c in calls] == ["resize", "cvtColor", "dct"]
    assert calls[0][1:] == (((50, 50),), {})
    assert calls[1][1:] == ((cv2.COLOR_BGR2GRAY,), {})
    assert calls[2][1:] == ((), {})


# ---------------------------------------------------------------- distance

class Text(str):
    pass


@pytest.mark.parametrize("a, b, expected", [
    ("", "", 0),
    ("abc", "abc", 0),
    ("abc", "abd", 1),
    (UNIFORM, BLACK, 100),
    ("abc", ["a", "b", "c"], 0),
    (["a", "x", "c"], "abc", 1),
    (Text("abcd"), Text("abzz"), 2),
    ((1, 2, 3), [1, 2.0, 4], 1),
    (b"abc", b"abd", 1),
    (np.array([1, 2, 3]), [1, 5, 6], 2),
    ([], (), 0),
])
def test_distance(rm, ref, a, b, expected):
    got = rm.distance(a, b)
    assert got == expected == ref.distance(a, b)
    assert type(got) is int


@pytest.mark.parametrize("a, b", [("abc", "ab"), ("ab", "abc"), ("", "a"), ([1], [])])
def test_distance_length_mismatch(rm, a, b):
    with pytest.raises(AssertionError) as info:
        rm.distance(a, b)
    assert info.value.args == ()


def test_distance_length_check_survives_optimisation():
    code = (
        "import sys\n"
        "from object_detection.post_processing.recognition_mode.main import RecognitionMode\n"
        "rm = RecognitionMode()\n"
        "print(sys.flags.optimize)\n"
        "for a, b in (('abc', 'ab'), ('ab', 'abc'), ('', 'x')):\n"
        "    try:\n"
        "        rm.distance(a, b)\n"
        "    except AssertionError as e:\n"
        "        print('AE', e.args)\n"
    )
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                         cwd="/", timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:4] == ["1"] + ["AE ()"] * 3


@pytest.mark.parametrize("p", [0, 1, 2, 3, 4, 50, 96, 97, 98, 99])
def test_distance_one_bit(rm, p):
    rng = np.random.default_rng(p)
    bits = "".join(rng.choice(["0", "1"], 100))
    flipped = bits[:p] + ("1" if bits[p] == "0" else "0") + bits[p + 1:]
    assert rm.distance(bits_to_hash(bits), bits_to_hash(flipped)) == (4 if p >= 3 else p + 1)


# ---------------------------------------------------------------- move_detect

@pytest.fixture
def frame():
    return noise(120, 160, 21)


def test_move_detect_store_layout(rm, ref, frame):
    doc = {"alarmBehavior": [
        entry(1002001, [region(rect(0, 0, 40, 30), "a"), region(rect(50, 10, 90, 70), None)]),
        entry("1002001", [region(rect(0, 0, 40, 30), "a")]),
        entry(7, []),
        {k: v for k, v in entry(0, [region(rect(5, 5, 20, 25), "")]).items()
         if k != "behavior_number"},
    ], "extra": {"k": 1}}
    out = rm.move_detect(frame, "cam", doc)
    assert out is doc and doc["extra"] == {"k": 1}
    h = ref.phash
    assert rm.move_id == {"cam": {
        1002001: {"a": h(frame[0:30, 0:40]), None: h(frame[10:70, 50:90])},
        "1002001": {"a": h(frame[0:30, 0:40])},
        7: {},
        None: {"": h(frame[5:25, 5:20])},
    }}
    assert [type(k) for k in rm.move_id["cam"]] == [int, str, int, type(None)]
    missing = {"alarmBehavior": [{"result": []}]}
    rm.move_detect(frame, "cam2", missing)
    assert rm.move_id["cam2"] == {None: {}}
    # first sight: distance counts as 100, everything with boxes is kept
    assert [e.get("behavior_number") for e in doc["alarmBehavior"]] == [1002001, "1002001", None]
    assert rm.unmatch_list is rm.static_list is rm.del_list is None
    assert rm.runtime == 0 and rm.dev_id == {} and rm.refresh_time == {}


def test_move_detect_empty_list_creates_camera_map(rm, frame):
    doc = {"alarmBehavior": []}
    assert rm.move_detect(frame, 3, doc) is doc
    assert doc == {"alarmBehavior": []} and rm.move_id == {3: {}}


def test_same_frame_twice_removes_every_region(rm, frame):
    doc = {"alarmBehavior": [
        entry(1, [region(rect(0, 0, 40, 30), "a"), region(rect(60, 60, 100, 110), "b")]),
        entry(2, [region(rect(10, 10, 150, 100), "a")]),
    ]}
    first = rm.move_detect(frame, "cam", copy.deepcopy(doc))
    assert first == {"alarmBehavior": [
        dict(doc["alarmBehavior"][0],
             alarm_info="B-Na|bTY",
             alarm_info_dict=dict(doc["alarmBehavior"][0]["alarm_info_dict"], info_rois="a|b")),
        dict(doc["alarmBehavior"][1],
             alarm_info="B-NaTY",
             alarm_info_dict=dict(doc["alarmBehavior"][1]["alarm_info_dict"], info_rois="a")),
    ]}
    stored = copy.deepcopy(rm.move_id)
    second = copy.deepcopy(doc)
    entries = second["alarmBehavior"]
    seen = []

    class Spy(type(rm)):
        def check_boxes(self, out_result_dict):
            seen.append(copy.deepcopy(out_result_dict))
            return super().check_boxes(out_result_dict)

    spy = Spy()
    spy.move_id = rm.move_id
    assert spy.move_detect(frame.copy(), "cam", second) == {"alarmBehavior": []}
    # emptied regions stand as new empty maps at their own positions before rebuilding
    assert seen == [{"alarmBehavior": [dict(entries[0], result=[{}, {}]),
                                       dict(entries[1], result=[{}])]}]
    assert entries[0]["result"] == [{}, {}] and entries[0]["alarm_info"] == "old"
    assert rm.move_id == stored


def test_changed_region_keeps_alarm(rm, ref, frame):
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 40, 30), "still"),
                                       region(rect(60, 50, 120, 100), "moving")])]}
    rm.move_detect(frame, "cam", copy.deepcopy(doc))
    nxt = frame.copy()
    nxt[50:100, 60:120] = noise(50, 60, 99)
    assert ref.distance(ref.phash(frame[50:100, 60:120]), ref.phash(nxt[50:100, 60:120])) >= 6
    out = rm.move_detect(nxt, "cam", copy.deepcopy(doc))
    assert [r["roi_name"] for r in out["alarmBehavior"][0]["result"]] == ["moving"]
    assert out["alarmBehavior"][0]["alarm_info_dict"]["info_rois"] == "moving"
    assert rm.move_id["cam"][1]["moving"] == ref.phash(nxt[50:100, 60:120])


@pytest.mark.parametrize("shift, kept", [(0, True), (1, False)])
def test_threshold_equality(mod, rm, ref, monkeypatch, shift, kept):
    a, b = PICTURES["patch0"], PICTURES["patch7"]
    d = ref.distance(ref.phash(a), ref.phash(b))
    assert 0 < d < 100
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 120, 90), "r")])]}
    rm.move_detect(a, "cam", copy.deepcopy(doc))
    monkeypatch.setattr(mod, "move_thr", d + shift)
    out = rm.move_detect(b, "cam", copy.deepcopy(doc))
    assert len(out["alarmBehavior"]) == (1 if kept else 0)
    assert rm.move_id["cam"][1]["r"] == ref.phash(b)


@pytest.mark.parametrize("thr, kept_first, kept_again", [
    (0, True, True),        # distance 0 is not below 0
    (100, True, False),
    (100.5, False, False),  # even the first sight (100) is below it
    (float("nan"), False, False),
    (-1, True, True),
])
def test_threshold_read_at_each_call(mod, rm, frame, monkeypatch, thr, kept_first, kept_again):
    monkeypatch.setattr(mod, "move_thr", thr)
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 40, 30), "r")])]}
    assert len(rm.move_detect(frame, "c", copy.deepcopy(doc))["alarmBehavior"]) == kept_first
    assert len(rm.move_detect(frame, "c", copy.deepcopy(doc))["alarmBehavior"]) == kept_again


def test_regions_sharing_a_name(rm, ref):
    img = np.tile(noise(30, 40, 5), (1, 2, 1))  # left and right halves are equal
    other = noise(30, 80, 6)
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 40, 30), "twin"),
                                       region(rect(40, 0, 80, 30), "twin"),
                                       region(rect(0, 0, 80, 30), "solo")])]}
    out = rm.move_detect(img, "cam", copy.deepcopy(doc))
    # the second twin is compared with the first twin's hash of this same frame
    assert [r["roi"] for r in out["alarmBehavior"][0]["result"]] == [rect(0, 0, 40, 30),
                                                                     rect(0, 0, 80, 30)]
    assert out["alarmBehavior"][0]["alarm_info_dict"]["info_rois"] == "twin|solo"
    out = rm.move_detect(other, "cam", copy.deepcopy(doc))
    assert rm.move_id["cam"][1]["twin"] == ref.phash(other[0:30, 40:80])


def test_name_and_number_kinds_are_separate_keys(rm, frame):
    doc = {"alarmBehavior": [entry(1002001, [region(rect(0, 0, 40, 30), "a")])]}
    rm.move_detect(frame, "cam", copy.deepcopy(doc))
    text_doc = {"alarmBehavior": [entry("1002001", [region(rect(0, 0, 40, 30), "a")])]}
    assert len(rm.move_detect(frame, "cam", text_doc)["alarmBehavior"]) == 1
    assert len(rm.move_detect(frame, "other", copy.deepcopy(doc))["alarmBehavior"]) == 1
    assert len(rm.move_detect(frame, "cam", copy.deepcopy(doc))["alarmBehavior"]) == 0
    # missing and None names share the key None
    doc = {"alarmBehavior": [entry(5, [region(rect(0, 0, 40, 30), None)])]}
    rm.move_detect(frame, "cam", doc)
    doc = {"alarmBehavior": [entry(5, [dict(region(rect(0, 0, 40, 30)), roi_name=None)])]}
    assert rm.move_detect(frame, "cam", doc) == {"alarmBehavior": []}


@pytest.mark.parametrize("roi, rows, cols", [
    (rect(-100, 5, -10, 40), slice(5, 40), slice(1820, 1910)),
    (rect(1900, 50, 2500, 100), slice(50, 60), slice(1900, 1920)),
    (rect(0, -20, 30, -5), slice(40, 55), slice(0, 30)),
    (rect(-5000, -5000, 5000, 5000), slice(0, 60), slice(0, 1920)),
    ([[10.9, 3.2], [40.99, 20.7], [25, 8]], slice(3, 20), slice(10, 40)),
])
def test_crop_follows_slicing(rm, ref, roi, rows, cols):
    wide = noise(60, 1920, 8)
    doc = {"alarmBehavior": [entry(1, [region(roi, "r")])]}
    rm.move_detect(wide, "cam", doc)
    assert rm.move_id["cam"][1]["r"] == ref.phash(wide[rows, cols])


@pytest.mark.parametrize("roi", [
    rect(-10, 5, 100, 40),  # columns 1910 up to 100
    rect(10, 5, 10, 40),
    rect(10, 70, 50, 90),   # below the frame
    rect(2000, 0, 2100, 10),
])
def test_empty_crop_fails_with_opencv_error(rm, ref, roi):
    wide = noise(60, 1920, 8)
    first = region(rect(0, 0, 30, 30), "ok")
    doc = {"alarmBehavior": [entry(1, [first, region(roi, "bad"), region(rect(0, 0, 5, 5), "c")])]}
    with pytest.raises(cv2.error):
        rm.move_detect(wide, "cam", doc)
    assert rm.move_id == {"cam": {1: {"ok": ref.phash(wide[0:30, 0:30])}}}
    assert doc["alarmBehavior"][0]["result"][0] is first


def _warm(rm, frame):
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 40, 30), "a")])]}
    rm.move_detect(frame, "cam", doc)


FIRST = region(rect(0, 0, 40, 30), "a")


@pytest.mark.parametrize("bad, error, names", [
    ({}, TypeError, {1: {"a"}}),
    ({"alarmBehavior": None}, TypeError, {1: {"a"}}),
    ({"alarmBehavior": [entry(1, [FIRST]), entry(2, None)]}, TypeError, {1: {"a"}, 2: set()}),
    ({"alarmBehavior": [entry(1, [FIRST]), {"behavior_number": 3}]},
     TypeError, {1: {"a"}, 3: set()}),
    ({"alarmBehavior": [entry(1, [FIRST, region(None, "b")])]}, IndexError, {1: {"a"}}),
    ({"alarmBehavior": [entry(1, [FIRST, region([[1, 1]], "b")])]}, IndexError, {1: {"a"}}),
    ({"alarmBehavior": [entry(1, [FIRST, {"roi_name": "b"}])]}, IndexError, {1: {"a"}}),
])
def test_move_detect_failures_leave_partial_state(rm, ref, frame, bad, error, names):
    _warm(rm, frame)
    doc = copy.deepcopy(bad)
    behaviours = doc.get("alarmBehavior")
    with pytest.raises(error):
        rm.move_detect(frame, "cam", doc)
    assert {k: set(v) for k, v in rm.move_id["cam"].items()} == names
    assert rm.move_id["cam"][1]["a"] == ref.phash(frame[0:30, 0:40])
    if behaviours:
        # no rebuild: the unchanged first region was emptied in place and stays so
        assert doc["alarmBehavior"] is behaviours
        assert behaviours[0]["result"][0] == {}
        assert behaviours[0]["alarm_info"] == "old"


def test_unorderable_threshold(mod, rm, ref, frame, monkeypatch):
    monkeypatch.setattr(mod, "move_thr", "6")
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 40, 30), "a")])]}
    with pytest.raises(TypeError):
        rm.move_detect(frame, "cam", doc)
    # the comparison comes before the hash is stored
    assert rm.move_id == {"cam": {1: {}}}
    assert doc["alarmBehavior"][0]["result"][0]["roi_name"] == "a"


def test_methods_called_through_instance(rm, frame):
    calls = []
    sentinel = object()

    class Sub(type(rm)):
        def get_metrix(self, points):
            calls.append("get_metrix")
            return [0, 0, 10, 10]

        def phash(self, img):
            calls.append(("phash", img.shape))
            return "abc"

        def distance(self, hash1, hash2):
            calls.append(("distance", hash1, hash2))
            return 0

        def check_boxes(self, out_result_dict):
            calls.append(("check_boxes", out_result_dict))
            return sentinel

    sub = Sub()
    doc = {"alarmBehavior": [entry(1, [region(None, "a"), region(None, "a")])]}
    assert sub.move_detect(frame, "cam", doc) is sentinel
    assert calls == ["get_metrix", ("phash", (10, 10, 3)),
                     "get_metrix", ("phash", (10, 10, 3)), ("distance", "abc", "abc"),
                     ("check_boxes", doc)]
    assert doc["alarmBehavior"][0]["result"] == [region(None, "a"), {}]
    assert sub.move_id == {"cam": {1: {"a": "abc"}}}


@pytest.mark.parametrize("stored, distance_called", [("", False), (None, False), ("x" * 100, True)])
def test_stored_hash_used_only_when_present(mod, frame, stored, distance_called):
    calls = []

    class Sub(mod.RecognitionMode):
        def distance(self, hash1, hash2):
            calls.append(hash2)
            return 100

    sub = Sub()
    sub.move_id = {"cam": {1: {"a": stored}}}
    doc = {"alarmBehavior": [entry(1, [region(rect(0, 0, 40, 30), "a")])]}
    assert len(sub.move_detect(frame, "cam", doc)["alarmBehavior"]) == 1
    assert calls == ([stored] if distance_called else [])

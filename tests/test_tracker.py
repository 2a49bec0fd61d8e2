import itertools
from fractions import Fraction

import numpy as np
import pytest

from object_detection.post_processing.recognition_mode import target, utils
from object_detection.post_processing.recognition_mode.target import TargetRadius

IOU, PIX = 0.3, 0.75


def new(box, cls="1", iou_thr=IOU, pix_thr=PIX):
    return TargetRadius(utils.box2meas(box), cls, iou_thr, pix_thr)


def settled(box, cls="1", iou_thr=IOU, pix_thr=PIX):
    """A target seen in place for its whole observation period: still from now on."""
    t = new(box, cls, iou_thr, pix_thr)
    for _ in range(target.OBSERVE_FRAMES - 1):
        TargetRadius.association([t], [utils.box2meas(box)], [cls])
    assert t.still
    return t


def step(state, boxes, cls="1"):
    """One Camera-like frame: associate, drop departed, start new targets."""
    meas = [utils.box2meas(b) for b in boxes]
    classes = [cls] * len(meas) if isinstance(cls, str) else cls
    unmatch, static, gone = TargetRadius.association(state, meas, classes)
    state[:] = [t for i, t in enumerate(state) if i not in gone]
    state += [TargetRadius(meas[i], classes[i], IOU, PIX) for i in unmatch]
    return unmatch, static, gone


# --- box overlap -------------------------------------------------------------------------

@pytest.mark.parametrize("a, b, expected", [
    ([0, 0, 10, 10], [0, 0, 10, 10], 1.0),
    ([0, 0, 10, 10], [5, 0, 15, 10], 1 / 3),
    ([0, 0, 20, 20], [5, 5, 15, 15], 0.25),        # contained
    ([0, 0, 10, 10], [10, 0, 20, 10], 0.0),        # touching edge
    ([0, 0, 10, 10], [10, 10, 20, 20], 0.0),       # touching corner
    ([0, 0, 10, 10], [50, 50, 60, 60], 0.0),
    ([5, 0, 5, 10], [0, 0, 10, 10], 0.0),          # zero width inside a box
    ([3, 3, 3, 3], [3, 3, 3, 3], 0.0),             # two identical points: no 0/0
    ([0, 0, 0, 10], [0, 0, 0, 10], 0.0),
])
def test_iou(a, b, expected):
    assert utils.iou(a, b) == pytest.approx(expected)
    assert utils.iou(b, a) == pytest.approx(expected)


def plain_iou(a, b):
    """The overlap in plain double arithmetic, one rounding per operation."""
    w = min(a[2], b[2]) - max(a[0], b[0])
    h = min(a[3], b[3]) - max(a[1], b[1])
    if not (w > 0 and h > 0):
        return 0.0
    inter = w * h
    uni = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return min(1.0, inter / uni) if uni > 0 else 0.0


def test_iou_is_exact_on_fractional_boxes():
    # A compiler that fuses the area sums into a multiply-add (aarch64 does by default)
    # moves some results by one ulp, which flips pairs sitting at a threshold and makes
    # decisions differ between machines. Integer boxes never show it.
    rng = np.random.default_rng(11)
    off = []
    for _ in range(400):
        l, t = rng.uniform(0, 500, 2).round(3)
        w, h = rng.uniform(1, 200, 2).round(3)
        a = [l, t, l + w, t + h]
        dl, dt, dw, dh = rng.uniform(-0.6, 0.6, 4) * [w, h, w, h]
        b = [l + dl, t + dt, l + dl + w + dw, t + dt + h + dh]
        a, b = [float(v) for v in a], [float(v) for v in b]
        if not (utils.iou(a, b) == utils.iou(b, a) == plain_iou(a, b)):
            off.append((a, b))
    assert off == []


# --- assignment --------------------------------------------------------------------------

def total(matrix, pairs):
    return sum(matrix[r][c] for r, c in pairs)


def brute_force_best(matrix):
    rows, cols = len(matrix), len(matrix[0])
    if rows <= cols:
        return max(sum(matrix[r][c] for r, c in enumerate(p)) for p in itertools.permutations(range(cols), rows))
    return max(sum(matrix[r][c] for c, r in enumerate(p)) for p in itertools.permutations(range(rows), cols))


@pytest.mark.parametrize("matrix, expected", [
    ([[0.9, 0.8], [0.8, 0.0]], [(0, 1), (1, 0)]),            # greedy would take 0.9 and lose 0.7
    ([[1, 2, 3], [2, 4, 6]], [(0, 1), (1, 2)]),
    ([[5], [9], [7]], [(1, 0)]),
    ([[0.5, 0.6, 0.0], [0.0, 0.6, 0.7], [0.8, 0.0, 0.7]], [(0, 1), (1, 2), (2, 0)]),
])
def test_assign_known(matrix, expected):
    assert target._assign(matrix) == expected


@pytest.mark.parametrize("shape", [(1, 1), (3, 3), (4, 6), (6, 4), (6, 6)])
@pytest.mark.parametrize("seed", range(5))
def test_assign_is_optimal(shape, seed):
    rng = np.random.default_rng(seed)
    m = rng.random(shape)
    m[m < 0.4] = 0  # sparse, like overlaps
    pairs = target._assign(m)
    assert len(pairs) == min(shape)
    assert len({c for _, c in pairs}) == len(pairs) and len({r for r, _ in pairs}) == len(pairs)
    assert total(m, pairs) == pytest.approx(brute_force_best(m.tolist()))


@pytest.mark.parametrize("matrix, error", [
    ([[1, 2], [3]], ValueError), ([[1, float("nan")]], ValueError), ([["a"]], TypeError), (5, TypeError),
])
def test_assign_rejects(matrix, error):
    with pytest.raises(error):
        target._assign(matrix)


# --- conversions and construction --------------------------------------------------------

@pytest.mark.parametrize("box", [
    [1, 2, 3, 4], (1.0, 2.0, 3.0, 4.0), np.array([1, 2, 3, 4]), [np.int64(1), np.float32(2), 3, Fraction(4)],
])
def test_box_round_trip(box):
    mea = utils.box2meas(box)
    assert utils.state2box(mea) == [1.0, 2.0, 3.0, 4.0]
    t = TargetRadius(mea, "c", IOU, PIX)
    assert utils.state2box(t) == t.box == [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize("box, error", [
    ([1, 2, 3], ValueError), ("1234", TypeError), (None, TypeError), ([1, 2, 3, "4"], TypeError),
    ([0, 0, float("nan"), 1], ValueError), ([0, 0, float("inf"), 1], ValueError),
    ([10, 0, 5, 10], ValueError), ([0, 10, 5, 0], ValueError), ([0, 0, 10 ** 400, 1], ValueError),
])
def test_bad_box(box, error):
    with pytest.raises(error):
        utils.box2meas(box)
    with pytest.raises(error):
        TargetRadius(box, "c", IOU, PIX)


@pytest.mark.parametrize("thr", [0, 1, 0.5, np.float32(0.3), Fraction(1, 2), True])
def test_thresholds_accept_numbers(thr):
    t = TargetRadius([0, 0, 1, 1], "c", thr, thr)
    assert t.iou_thr == t.pix_thr == float(thr)


@pytest.mark.parametrize("args, error", [
    (("c", "0.3", PIX), TypeError), (("c", IOU, None), TypeError), (("c", 1.5, PIX), ValueError),
    (("c", IOU, -0.1), ValueError), (("c", float("nan"), PIX), ValueError), ((1002001, IOU, PIX), TypeError),
])
def test_bad_constructor_args(args, error):
    with pytest.raises(error):
        TargetRadius([0, 0, 10, 10], *args)


def test_repr():
    t = new([920, 232, 1007, 304], "1002001")
    assert repr(t) == "TargetRadius(cls='1002001', box=[920, 232, 1007, 304], still=False)"
    for _ in range(target.OBSERVE_FRAMES - 1):
        TargetRadius.association([t], [utils.box2meas([921, 232, 1007, 304.5])], ["1002001"])
    assert repr(t) == "TargetRadius(cls='1002001', box=[921, 232, 1007, 304.5], still=True)"


# --- association contract ----------------------------------------------------------------

def test_result_shape_and_types():
    a, b = new([0, 0, 80, 200]), settled([500, 0, 580, 200])
    for _ in range(target.COAST_FRAMES):  # a coasts: kept, not still
        assert TargetRadius.association([a], [], []) == ([], [], [])
    meas = [utils.box2meas(x) for x in ([900, 0, 980, 200], [501, 1, 581, 201], [300, 0, 380, 200])]
    result = TargetRadius.association([a, b], meas, ["1", "1", "1"])
    assert isinstance(result, tuple) and len(result) == 3
    unmatch, static, gone = result
    assert unmatch == [0, 2] and static == [b] and gone == [0]
    assert 0 in gone and 1 not in gone and -1 not in gone
    assert str(result) == "([0, 2], [TargetRadius(cls='1', box=[501, 1, 581, 201], still=True)], [0])"


@pytest.mark.parametrize("wrap", [list, tuple, iter])
def test_any_iterable_arguments(wrap):
    a = settled([0, 0, 10, 10])
    meas = [utils.box2meas([0, 0, 10, 10]), [100, 100, 110, 110]]  # plain boxes work as measurements
    unmatch, static, gone = TargetRadius.association(wrap([a]), wrap(meas), wrap(["1", "1"]))
    assert (unmatch, static, gone) == ([1], [a], [])


def test_empty_frames():
    assert TargetRadius.association([], [], []) == ([], [], [])
    a = settled([0, 0, 10, 10])
    # Unmatched targets coast: kept (not departed), never still, for COAST_FRAMES frames.
    for _ in range(target.COAST_FRAMES):
        assert TargetRadius.association([a], [], []) == ([], [], [])
        assert not a.still
    assert TargetRadius.association([a], [], []) == ([], [], [0])


@pytest.mark.parametrize("state, meas, classes, error", [
    (["x"], [[0, 0, 1, 1]], ["1"], TypeError),
    ([], [[0, 0, 1, 1]], ["1", "1"], ValueError),
    ([], [[0, 0, 1, 1]], [1], TypeError),
    ([], [[0, 0, 1, 1]], "1", TypeError),
    ([], "abcd", ["1"] * 4, TypeError),
    (None, [], [], TypeError),
    ([], [[0, 0, 1]], ["1"], ValueError),
])
def test_association_rejects(state, meas, classes, error):
    with pytest.raises(error):
        TargetRadius.association(state, meas, classes)


def test_items_that_change_their_container():
    class Shrink:
        def __init__(self, victim):
            self.victim = victim

        def __float__(self):
            self.victim.clear()
            return 10.0

    box = [0, 0, 0, 10]
    box[2] = Shrink(box)
    assert utils.box2meas(box) == (0.0, 0.0, 10.0, 10.0)
    meas = [[0, 0, 5, 5]]
    meas.append([0, 0, Shrink(meas), 10])
    assert TargetRadius.association([], meas, ["1", "1"]) == ([0, 1], [], [])


@pytest.mark.parametrize("at", [0, 2])
def test_association_reentered_while_converting(at):
    """A measurement whose conversion runs association itself: each call keeps working
    storage of its own, so both give what they give when run one after the other."""
    def scenario(nested):
        outer = [settled([0, 0, 80, 200]), settled([300, 0, 380, 200])]
        inner = [settled([600, 0, 680, 200]), settled([900, 0, 960, 150], "2")]
        inner_args = (inner, [[600, 0, 680, 200], [1200, 0, 1250, 90], [900, 0, 960, 150]], ["1", "1", "2"])
        results = []

        class Reentering:
            def __init__(self, value):
                self.value = value

            def __float__(self):
                if nested:
                    results.append(TargetRadius.association(*inner_args))
                return float(self.value)

        meas = [[0, 0, 80, 200], [300, 0, 380, 200], [500, 500, 520, 540]]
        meas[at][3] = Reentering(meas[at][3])
        results.insert(0, TargetRadius.association(outer, meas, ["1", "1", "1"]))
        if not nested:
            results.append(TargetRadius.association(*inner_args))
        return repr(results), repr(outer), repr(inner)

    assert scenario(True) == scenario(False)


def test_failed_call_changes_nothing():
    a = new([0, 0, 10, 10])
    with pytest.raises(ValueError):
        TargetRadius.association([a], [[20, 0, 30, 10], [0, 0, 1]], ["1", "1"])
    with pytest.raises(ValueError):
        TargetRadius.association([a, a], [[20, 0, 30, 10]], ["1"])
    assert a.box == a.anchor == [0, 0, 10, 10]


# --- association behaviour ---------------------------------------------------------------

def test_classes_never_match_each_other():
    a = settled([0, 0, 80, 200], "person")
    unmatch, static, gone = TargetRadius.association([a], [[0, 0, 80, 200]], ["car"])
    assert (unmatch, static, gone) == ([0], [], [])
    assert a.box == [0, 0, 80, 200]


def test_threshold_applies_before_matching():
    # Raw overlap is largest for a-m2 (0.2, below threshold) + b-m1 (0.45); rejecting
    # afterwards would cost a its valid 0.5 pair with m1.
    a, b = new([0, 0, 100, 200]), new([0, -122, 100, 100])
    m1, m2 = [0, 0, 100, 100], [0, 150, 100, 250]
    assert [round(utils.iou(t.box, m), 2) for t in (a, b) for m in (m1, m2)] == [0.5, 0.2, 0.45, 0.0]
    unmatch, _, gone = TargetRadius.association([a, b], [m1, m2], ["1", "1"])
    assert (unmatch, gone, a.box, b.box) == ([1], [], m1, [0, -122, 100, 100])


def test_matching_maximises_total_overlap():
    # Two people side by side, listed in the other order: each keeps its own box.
    left, right = settled([0, 0, 80, 200]), settled([60, 0, 140, 200])
    unmatch, static, gone = TargetRadius.association(
        [left, right], [[62, 0, 142, 200], [1, 0, 81, 200]], ["1", "1"])
    assert (unmatch, gone) == ([], [])
    assert left.box == [1, 0, 81, 200] and right.box == [62, 0, 142, 200]
    assert static == [left, right]


def test_per_target_iou_threshold():
    strict, loose = new([0, 0, 100, 100], iou_thr=0.9), new([1000, 0, 1100, 100], iou_thr=0.1)
    unmatch, _, gone = TargetRadius.association(
        [strict, loose], [[20, 0, 120, 100], [1050, 0, 1150, 100]], ["1", "1"])
    assert unmatch == [0] and gone == [] and loose.box == [1050, 0, 1150, 100]


def test_jitter_is_still_and_drift_is_not():
    rng = np.random.default_rng(3)
    car, person = [], []
    step(car, [[400, 300, 600, 420]])
    step(person, [[100, 100, 180, 300]])
    for f in range(1, 60):
        _, static, _ = step(car, [(np.array([400, 300, 600, 420]) + rng.integers(-3, 4, 4)).tolist()])
        assert static == ([car[0]] if f >= target.OBSERVE_FRAMES - 1 else [])
        # 1% of the height per frame: a slow walker, never still, first frames included
        _, static, _ = step(person, [[100 + 2 * f, 100, 180 + 2 * f, 300]])
        assert static == []
    assert len(car) == len(person) == 1


def test_stopped_target_becomes_still_after_settling():
    state = []
    for x in range(0, 60, 3):  # walking at 1.5% of its height per frame: never still
        assert step(state, [[x, 0, x + 80, 200]])[1] == []
    stills = [len(step(state, [[61, 0, 141, 200]])[1]) for _ in range(2 * target.WINDOW_FRAMES)]
    # still once its recent path no longer shows the walk, and from then on
    assert stills[0] == 0 and stills[target.WINDOW_FRAMES - 1] == 1
    assert stills == sorted(stills)
    assert len(state) == 1 and state[0].anchor == [61, 0, 141, 200]


def test_coasting_target_keeps_its_history():
    # Missed by the detector for a few frames while another box keeps the region alive.
    state = [settled([0, 0, 80, 200]), settled([500, 0, 580, 200])]
    for _ in range(target.COAST_FRAMES):
        unmatch, static, gone = step(state, [[500, 0, 580, 200]])
        assert (unmatch, gone) == ([], []) and static == [state[1]]  # the coasting one is never still
    unmatch, static, gone = step(state, [[1, 0, 81, 200], [500, 0, 580, 200]])
    assert (unmatch, gone, len(state)) == ([], [], 2) and static == state  # back, and still at once

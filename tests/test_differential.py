"""Native module against the plain-Python oracle on generated documents and frame sequences."""
import contextlib
import copy

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
from fakes import FakeTime

SETTINGS = settings(max_examples=120, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
MISSING = object()


class DictSub(dict):
    pass


# ---------------------------------------------------------------- deterministic tracking

def box2meas(box):
    return tuple(box)


class FakeTarget:
    """Matches a measurement equal to the one it was started with; matched means still."""

    def __init__(self, mea, cls, iou, pix):
        self.mea, self.cls, self.iou, self.pix = mea, cls, iou, pix

    @staticmethod
    def association(state_list, mea_list, classes):
        unmatch, still, taken = [], [], set()
        for j, mea in enumerate(mea_list):
            hit = next((i for i, t in enumerate(state_list)
                        if i not in taken and t.mea == mea), None)
            if hit is None:
                unmatch.append(j)
            else:
                taken.add(hit)
                still.append(state_list[hit])
        gone = [i for i in range(len(state_list)) if i not in taken]
        # positions outside the list must remove nothing
        return unmatch, still, gone + [-1 - i for i in gone] + [len(state_list)]


class Clock:
    def __init__(self):
        self.now = 1000.0
        self.calls = 0

    def __call__(self):
        self.calls += 1
        return self.now


@contextlib.contextmanager
def patched(module, **names):
    saved = {name: getattr(module, name) for name in names}
    for name, value in names.items():
        setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


# ---------------------------------------------------------------- comparison

def _walk(x, path, index, keep):
    if isinstance(x, (dict, list)):
        index[id(x)] = path
        keep.append(x)
        items = x.items() if isinstance(x, dict) else enumerate(x)
        for k, v in items:
            _walk(v, path + (k,), index, keep)


def origins(doc):
    """Paths of every map and list of a document, by identity (the objects are kept alive)."""
    index, keep = {}, []
    _walk(doc, (), index, keep)
    return index, keep


def norm(x, index=None):
    """Comparable form; containers carry the input path they came from, or "new"."""
    tag = index.get(id(x), "new") if index is not None else None
    if isinstance(x, dict):
        return (type(x).__name__, tag,
                tuple((norm(k), norm(v, index)) for k, v in x.items()))
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, tag, tuple(norm(v, index) for v in x))
    if isinstance(x, FakeTarget):
        return ("target", x.mea, x.cls, x.iou, x.pix)
    if hasattr(x, "state_list"):
        return ("camera", norm(x.state_list))
    if isinstance(x, np.ndarray):
        return ("array", x.shape, x.tobytes())
    return (type(x).__name__, repr(x))


def state(rm):
    return norm((rm.dev_id, rm.move_id, rm.refresh_time, rm.unmatch_list, rm.static_list,
                 rm.del_list, rm.runtime))


def run_side(rm, call, doc):
    index, keep = origins(doc)
    try:
        ret = call(rm, doc)
        outcome = ("returned same" if ret is doc else "returned other", norm(ret, index))
    except Exception as exc:
        outcome = ("raised", type(exc).__name__)
    return outcome, norm(doc, index)


class Pair:
    """One native and one oracle instance fed the same steps in a patched world each."""

    def __init__(self, mod, move_thr):
        self.mod = mod
        self.move_thr = move_thr
        self.sides = []
        for module in (mod, reference):
            self.sides.append({"module": module, "rm": module.RecognitionMode(),
                               "clock": Clock(), "time": FakeTime()})

    def step(self, call, doc, now):
        results = []
        for side in self.sides:
            side["clock"].now = now
            with patched(side["module"], TargetRadius=FakeTarget, box2meas=box2meas,
                         get_current_time=side["clock"], time=side["time"],
                         move_thr=self.move_thr):
                outcome, after = run_side(side["rm"], call, copy.deepcopy(doc))
            results.append((outcome, after, state(side["rm"]), side["clock"].calls,
                            side["time"].readings))
        native, oracle = results
        assert native[0] == oracle[0], "outcome"
        assert native[1] == oracle[1], "document after the call"
        assert native[2] == oracle[2], "instance state"
        assert native[3:] == oracle[3:], "clock readings"
        return native[0]


# ---------------------------------------------------------------- documents

FRAME_A = np.random.default_rng(1).integers(0, 256, (48, 64, 3), dtype=np.uint8)
FRAME_B = FRAME_A.copy()
FRAME_B[10:40, 30:60] = np.random.default_rng(2).integers(0, 256, (30, 30, 3), dtype=np.uint8)
FRAMES = [FRAME_A, FRAME_B, FRAME_A[::-1, ::-1]]


def as_map(strategy):
    """Plain dict, or now and then the same content in a dict subclass."""
    return st.tuples(strategy, st.sampled_from([False, False, False, True])).map(
        lambda t: DictSub(t[0]) if t[1] else t[0])


def drop_missing(d):
    for k in [k for k, v in d.items() if v is MISSING]:
        del d[k]
    return d


BOXES = [[0, 0, 10, 10], [5, 5, 20, 20], [30, 30, 40, 40], [0, 0, 10, 10]]
box_lists = st.lists(st.sampled_from(BOXES), max_size=3)
good_rois = st.tuples(st.integers(0, 50), st.integers(0, 30), st.integers(1, 30),
                      st.integers(1, 30)).map(lambda t: [[t[0], t[1]], [t[0] + t[2], t[1] + t[3]]])
GOOD_INFO = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}


def region_strategy(names, boxes, rois):
    return as_map(st.fixed_dictionaries(
        {"roi_name": names, "boxes": boxes, "roi": rois}, optional={"extra": st.just(1)}
    ).map(drop_missing))


def doc_strategy(numbers, regions):
    entry = as_map(st.fixed_dictionaries({
        "behavior_number": numbers,
        "result": st.lists(regions, max_size=3),
        "alarm_info_dict": st.builds(dict, st.just(GOOD_INFO)),
        "alarm_info": st.just("old"),
    }).map(drop_missing))
    return st.lists(entry, max_size=3).map(lambda e: {"alarmBehavior": e})


well_formed_docs = doc_strategy(
    st.sampled_from([1, "1", 2]),
    region_strategy(st.sampled_from(["a", "b", None]), box_lists, good_rois))

varied_docs = doc_strategy(
    st.sampled_from([1, "1", 2, MISSING]),
    region_strategy(st.sampled_from(["a", "b", "", None, MISSING]),
                    st.one_of(box_lists, box_lists.map(lambda b: [x for box in b for x in box])),
                    st.one_of(good_rois, st.lists(st.lists(st.integers(-80, 100), min_size=2,
                                                           max_size=3), min_size=2, max_size=4))))

ODD_VALUES = [None, 5, 3, "x", " 2 ", 2.5, True, "", [], {}, [[1, 2]], [[1, 2, 3]],
              [[1.5, 2, 3, 4]], [["1", "2", "3", "4"]], [[None, 1, 2, 3]], "abcd",
              [[-70, -50], [-1, -1]], [[-10, 0], [20, 20]], DictSub(), MISSING]


def _slots(x, out):
    if isinstance(x, dict):
        for k, v in x.items():
            out.append((x, k))
            _slots(v, out)
    elif isinstance(x, list):
        for i, v in enumerate(x):
            out.append((x, i))
            _slots(v, out)
    return out


@st.composite
def malformed_docs(draw):
    """A varied document with up to three places removed or replaced by a value of a wrong kind."""
    doc = copy.deepcopy(draw(varied_docs))  # drawn values may share objects
    for _ in range(draw(st.integers(0, 3))):
        slots = _slots(doc, [])
        container, key = draw(st.sampled_from([(doc, "alarmBehavior")] + slots))
        value = draw(st.sampled_from(ODD_VALUES))
        if value is MISSING and isinstance(container, dict):
            container.pop(key, None)
        elif value is not MISSING:
            container[key] = copy.deepcopy(value)
    return doc


docs = malformed_docs()

modes = st.sampled_from(["TargetRadius", "TargetRadius", "other", None])
steps = st.tuples(
    modes,
    st.sampled_from(["c1", "c1", "c1", "c2", 7]),
    st.one_of(st.none(), docs),          # None: the sequence's base document again
    st.integers(0, len(FRAMES) - 1),
    st.sampled_from([0, 600, 0, 300, 599.5, 600, 1000]),
)


def main_call(mode, dev, frame):
    return lambda rm, doc: rm.main(frame, dev, doc, mode)


def play(mod, base, sequence, move_thr):
    pair = Pair(mod, move_thr)
    now = 1000.0
    for mode, dev, doc, frame, advance in sequence:
        now += advance
        pair.step(main_call(mode, dev, FRAMES[frame]), base if doc is None else doc, now)


@SETTINGS
@given(base=docs, sequence=st.lists(steps, min_size=1, max_size=4),
       move_thr=st.sampled_from([0, 6, 50, 100, 101]))
def test_any_documents(mod, base, sequence, move_thr):
    play(mod, base, sequence, move_thr)


@SETTINGS
@given(base=well_formed_docs, sequence=st.lists(steps.map(lambda s: s[:2] + (None,) + s[3:]),
                                                min_size=2, max_size=5),
       move_thr=st.sampled_from([6, 40]))
def test_well_formed_sequences(mod, base, sequence, move_thr):
    play(mod, base, sequence, move_thr)


# ---------------------------------------------------------------- helpers on generated values

scalars = st.one_of(
    st.integers(-2 ** 70, 2 ** 70), st.integers(-1000, 1000),
    st.floats(allow_nan=True, allow_infinity=True), st.floats(-1e6, 1e6),
    st.booleans(), st.sampled_from(["12", " -3 ", "1.5", "x", None]),
)
nested = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5), max_leaves=16)
numeric_boxes = st.one_of(
    st.lists(st.lists(st.one_of(st.integers(-2 ** 64, 2 ** 64), st.floats(), st.booleans()),
                      min_size=4, max_size=4), max_size=4),
    st.lists(st.one_of(st.integers(), st.floats(-1e20, 1e20)), max_size=12),
)


def same(fn_native, fn_oracle, *args):
    before = copy.deepcopy(args)
    results = []
    for fn in (fn_native, fn_oracle):
        try:
            results.append(("ok", norm(fn(*args))))
        except Exception as exc:
            results.append(("error", type(exc).__name__))
    assert results[0] == results[1]
    assert norm(args) == norm(before)


@settings(max_examples=300, deadline=None, database=None)
@given(boxes=st.one_of(nested, numeric_boxes), number=st.sampled_from([1, "1", None, 2.5]))
def test_split(mod, boxes, number):
    same(mod.RecognitionMode().split, reference.RecognitionMode().split, boxes, number)


points = st.one_of(
    st.lists(st.lists(st.one_of(st.integers(-2 ** 64, 2 ** 64), st.floats(-1e6, 1e6)),
                      min_size=2, max_size=3), max_size=5),
    st.lists(st.lists(scalars, max_size=3), max_size=4),
    st.none(),
)


@settings(max_examples=200, deadline=None, database=None)
@given(points=points)
def test_get_metrix(mod, points):
    same(mod.RecognitionMode().get_metrix, reference.RecognitionMode().get_metrix, points)


@settings(max_examples=100, deadline=None, database=None)
@given(a=st.text("0123456789abcdef", max_size=8), b=st.text("0123456789abcdef", max_size=8),
       as_list=st.booleans())
def test_distance(mod, a, b, as_list):
    same(mod.RecognitionMode().distance, reference.RecognitionMode().distance,
         a, list(b) if as_list else b)


@pytest.mark.parametrize("mode", ["TargetRadius", "other"])
def test_documents_with_shared_objects(mod, mode):
    # one region object listed twice: edits through one position show at the other
    reg = {"roi_name": "a", "boxes": [[0, 0, 10, 10]], "roi": [[0, 0], [20, 20]]}
    info = {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}
    doc = {"alarmBehavior": [{"behavior_number": 1, "result": [reg, reg], "alarm_info_dict": info},
                             {"behavior_number": 1, "result": [reg], "alarm_info_dict": info}]}
    pair = Pair(mod, 6)
    for frame in (0, 0, 1):
        pair.step(main_call(mode, "c", FRAMES[frame]), doc, 1000.0)

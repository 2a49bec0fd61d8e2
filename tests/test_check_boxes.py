"""Alarm box selection: kept regions and entries, alarm texts, partial edits on failure."""
import copy

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference

PIECES = ("behavior_info", "info_name", "info_ftime", "info_type")
MISSING = object()


def info(b="B", n="N", t="T", y="Y", **extra):
    d = {"behavior_info": b, "info_name": n, "info_ftime": t, "info_type": y}
    d.update(extra)
    return {k: v for k, v in d.items() if v is not MISSING}


def region(name=MISSING, boxes=MISSING, **extra):
    r = dict(extra)
    if name is not MISSING:
        r["roi_name"] = name
    if boxes is not MISSING:
        r["boxes"] = boxes
    return r


def entry(regions=MISSING, alarm=MISSING, **extra):
    e = {"behavior_number": 1002001}
    if regions is not MISSING:
        e["result"] = regions
    if alarm is not MISSING:
        e["alarm_info_dict"] = alarm
    e.update(extra)
    return e


BOX = [[1, 2, 3, 4]]


def kept_entry(name="k"):
    return entry([region(name, BOX)], info(), alarm_info="old")


def snapshot(obj):
    """Content and the identity of every container, to see what was touched."""
    ids = []

    def walk(o):
        if isinstance(o, (dict, list)):
            ids.append(id(o))
            for v in (o.values() if isinstance(o, dict) else o):
                walk(v)
    walk(obj)
    return repr(obj), ids


# ---------------------------------------------------------------- the rules

def test_worked_example(rm):
    door = region("door", [[0, 0, 5, 5], [1, 1, 6, 6]], roi=[[0, 0], [9, 9]])
    gate = region("gate", [])
    yard = region("yard", [[2, 2, 3, 3]])
    regions = [door, gate, yard]
    alarm = info(info_rois="stale", extra="x")
    e = entry(regions, alarm, alarm_info="old", other=[1])
    behaviors = [e]
    doc = {"alarmBehavior": behaviors, "top": {"k": 1}}
    top = doc["top"]

    out = rm.check_boxes(doc)

    assert out is doc
    assert doc["top"] is top and list(doc) == ["alarmBehavior", "top"]
    assert doc["alarmBehavior"] == [e] and doc["alarmBehavior"] is not behaviors
    assert doc["alarmBehavior"][0] is e
    assert behaviors == [e]
    assert e["result"] == [door, yard] and e["result"] is not regions
    assert e["result"][0] is door and e["result"][1] is yard
    assert regions == [door, gate, yard]
    assert e["alarm_info_dict"] is alarm
    assert alarm == {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y",
                     "info_rois": "door|yard", "extra": "x"}
    assert e["alarm_info"] == "B-Ndoor|yardTY"
    assert e["behavior_number"] == 1002001 and e["other"] == [1]
    assert list(e) == ["behavior_number", "result", "alarm_info_dict", "alarm_info", "other"]
    assert door == {"roi_name": "door", "boxes": [[0, 0, 5, 5], [1, 1, 6, 6]], "roi": [[0, 0], [9, 9]]}
    assert gate == {"roi_name": "gate", "boxes": []}


def test_alarm_info_added_when_absent(rm):
    e = entry([region("a", BOX)], info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert list(e) == ["behavior_number", "result", "alarm_info_dict", "alarm_info"]
    assert e["alarm_info"] == "B-NaTY" and e["alarm_info_dict"]["info_rois"] == "a"


def test_empty_list_replaced_by_new_empty_list(rm):
    old = []
    doc = {"alarmBehavior": old}
    assert rm.check_boxes(doc) is doc
    assert doc["alarmBehavior"] == [] and doc["alarmBehavior"] is not old


@pytest.mark.parametrize("doc", [{}, {"alarmBehavior": None}, {"alarmBehavior": 5}],
                         ids=["missing", "none", "int"])
def test_no_behaviour_list_is_type_error(rm, doc):
    before = copy.deepcopy(doc)
    with pytest.raises(TypeError):
        rm.check_boxes(doc)
    assert doc == before


@pytest.mark.parametrize("result", [MISSING, None, [], (), {}, "", 0],
                         ids=["missing", "none", "list", "tuple", "map", "text", "zero"])
def test_entry_without_regions_dropped_untouched(rm, result):
    # no alarm_info_dict: it must not even be looked up
    dropped = entry(result, alarm_info="old")
    kept = kept_entry()
    doc = {"alarmBehavior": [dropped, kept]}
    before = snapshot(dropped)
    rm.check_boxes(doc)
    assert doc["alarmBehavior"] == [kept] and doc["alarmBehavior"][0] is kept
    assert snapshot(dropped) == before


EMPTY_BOXES = [MISSING, None, [], "", 0, {}, (), np.array([0])]
EMPTY_IDS = ["missing", "none", "list", "text", "zero", "map", "tuple", "array-of-zero"]


@pytest.mark.parametrize("boxes", EMPTY_BOXES, ids=EMPTY_IDS)
def test_region_without_boxes_dropped(rm, boxes):
    gone = region("gone", boxes)
    stay = region("stay", BOX)
    e = entry([gone, stay], info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["result"] == [stay] and e["result"][0] is stay
    assert e["alarm_info_dict"]["info_rois"] == "stay"
    assert e["alarm_info"] == "B-NstayTY"


@pytest.mark.parametrize("regions", [
    [region("a", []), region("b", None), region("c")],
    [{}, {}],
    [region(boxes=[])],
], ids=["no-boxes", "empty-maps", "unnamed-empty"])
def test_entry_with_no_kept_region_dropped_untouched(rm, regions):
    e = entry(regions, info(info_rois="old"), alarm_info="old")
    before = snapshot(e)
    doc = {"alarmBehavior": [e]}
    rm.check_boxes(doc)
    assert doc["alarmBehavior"] == []
    assert snapshot(e) == before


@pytest.mark.parametrize("boxes", [[[]], [0], [None], "x", 1, -1, 0.5, {"a": 1}, (0,), np.array([5]),
                                   np.array([[7]])],
                         ids=["list-of-empty", "list-of-zero", "list-of-none", "text", "one", "minus-one",
                              "float", "map", "tuple", "array-one", "array-one-row"])
def test_any_present_boxes_value_keeps_region(rm, boxes):
    r = region("r", boxes)
    regions = [r, region("s", [])]
    e = entry(regions, info())
    doc = {"alarmBehavior": [e]}
    rm.check_boxes(doc)
    assert doc["alarmBehavior"] == [e]
    assert e["result"] == [r] and e["result"][0] is r and r["boxes"] is boxes
    assert e["alarm_info"] == "B-NrTY"


def test_unnamed_regions_kept_not_named(rm):
    regions = [region(MISSING, BOX), region("a", BOX), region(None, BOX), region("", BOX),
               region(0, BOX), region("b", BOX), region([], BOX)]
    e = entry(regions, info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["result"] == regions and e["result"] is not regions
    assert all(x is y for x, y in zip(e["result"], regions))
    assert e["alarm_info_dict"]["info_rois"] == "a|b"
    assert e["alarm_info"] == "B-Na|bTY"


def test_no_named_region_gives_empty_region_text(rm):
    e = entry([region(None, BOX), region(boxes=BOX)], info(info_rois="stale"), alarm_info="old")
    rm.check_boxes({"alarmBehavior": [e]})
    assert len(e["result"]) == 2
    assert e["alarm_info_dict"]["info_rois"] == ""
    assert e["alarm_info"] == "B-NTY"


def test_same_name_twice(rm):
    e = entry([region("a", BOX), region("a", BOX), region("b", [])], info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["alarm_info_dict"]["info_rois"] == "a|a"
    assert e["alarm_info"] == "B-Na|aTY"


def test_region_text_per_entry(rm):
    e1 = entry([region("a", BOX)], info("B1", "N1", "T1", "Y1"))
    e2 = entry([region("b", BOX), region("c", BOX)], info("B2", "N2", "T2", "Y2"))
    rm.check_boxes({"alarmBehavior": [e1, e2]})
    assert (e1["alarm_info"], e2["alarm_info"]) == ("B1-N1aT1Y1", "B2-N2b|cT2Y2")


def test_order_kept(rm):
    entries = [entry([region(str(i) + "x", [] if i % 2 else BOX), region(str(i) + "y", BOX if i % 3 else [])],
                     info()) for i in range(6)]
    doc = {"alarmBehavior": list(entries)}
    rm.check_boxes(doc)
    kept = [e for i, e in enumerate(entries) if not (i % 2 and not i % 3)]
    assert [id(e) for e in doc["alarmBehavior"]] == [id(e) for e in kept]
    assert [e["alarm_info_dict"]["info_rois"] for e in kept] == ["0x", "1y", "2x|2y", "4x|4y", "5y"]


def test_later_names_take_their_text_form(rm):
    class Named:
        def __str__(self):
            return "custom"

    names = ["a", 5, 2.5, True, ("t",), Named(), b"b", "z"]
    e = entry([region(n, BOX) for n in names], info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["alarm_info_dict"]["info_rois"] == "a|5|2.5|True|('t',)|custom|b'b'|z"


def test_text_subclass_names(rm):
    class S(str):
        def __str__(self):
            return "S!"

    e = entry([region(S("first"), BOX), region(S("second"), BOX)], info())
    rm.check_boxes({"alarmBehavior": [e]})
    # the first name is concatenated as is, the later ones through str()
    assert e["alarm_info_dict"]["info_rois"] == "first|S!"
    assert type(e["alarm_info_dict"]["info_rois"]) is str


@pytest.mark.parametrize("name", [5, 2.5, True, b"x", ["x"], ("x",), {"x": 1}],
                         ids=["int", "float", "bool", "bytes", "list", "tuple", "map"])
def test_first_name_not_text_is_type_error(rm, name):
    done = kept_entry("done")
    bad = entry([region("", BOX), region(name, BOX), region("later", BOX)], info(), alarm_info="old")
    behaviors = [done, bad, kept_entry()]
    doc = {"alarmBehavior": behaviors}
    bad_before = snapshot(bad)
    with pytest.raises(TypeError):
        rm.check_boxes(doc)
    assert doc["alarmBehavior"] is behaviors
    assert done["alarm_info"] == "B-NdoneTY"
    # still inside the region walk: nothing of this entry written yet
    assert snapshot(bad) == bad_before


def test_non_text_name_of_dropped_region_is_ignored(rm):
    e = entry([region(5, []), region("a", BOX)], info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["alarm_info"] == "B-NaTY"


# ---------------------------------------------------------------- failures with partial edits

def test_missing_alarm_description_is_key_error(rm):
    done = kept_entry("done")
    regions = [region("a", BOX), region("b", [])]
    bad = entry(regions, alarm_info="old")
    behaviors = [done, bad, kept_entry("never")]
    doc = {"alarmBehavior": behaviors}
    with pytest.raises(KeyError) as err:
        rm.check_boxes(doc)
    assert err.value.args == ("alarm_info_dict",)
    assert doc["alarmBehavior"] is behaviors and len(behaviors) == 3
    assert done["alarm_info"] == "B-NdoneTY"
    assert bad["result"] == [regions[0]] and bad["result"] is not regions
    assert bad["alarm_info"] == "old"
    assert behaviors[2]["alarm_info"] == "old"


def _piece_cases():
    cases = []
    for key in PIECES:
        for label, value in [("missing", MISSING), ("none", None), ("int", 5), ("bytes", b"x"), ("list", ["x"])]:
            cases.append(pytest.param(key, value, id="%s-%s" % (key, label)))
    return cases


@pytest.mark.parametrize("key, value", _piece_cases())
def test_bad_alarm_text_piece_is_type_error(rm, key, value):
    done = kept_entry("done")
    regions = [region("a", BOX), region("b", None)]
    alarm = info(**{key: value}, info_rois="stale")
    alarm_before = dict(alarm)
    bad = entry(regions, alarm, alarm_info="old")
    behaviors = [done, bad]
    doc = {"alarmBehavior": behaviors}
    with pytest.raises(TypeError):
        rm.check_boxes(doc)
    assert doc["alarmBehavior"] is behaviors
    assert done["alarm_info"] == "B-NdoneTY"
    assert bad["result"] == [regions[0]] and bad["result"] is not regions
    assert bad["alarm_info"] == "old"
    assert alarm == alarm_before


def test_info_type_none_leaves_alarm_info_unwritten(rm):
    old_behaviors = [entry([region("a", BOX)], info(y=None))]
    doc = {"alarmBehavior": old_behaviors}
    with pytest.raises(TypeError):
        rm.check_boxes(doc)
    e = old_behaviors[0]
    assert "alarm_info" not in e and "info_rois" not in e["alarm_info_dict"]
    assert doc["alarmBehavior"] is old_behaviors


@pytest.mark.parametrize("alarm", [None, ["x"], "text", 5], ids=["none", "list", "text", "int"])
def test_alarm_description_not_a_map(rm, alarm):
    regions = [region("a", BOX)]
    bad = entry(regions, alarm, alarm_info="old")
    doc = {"alarmBehavior": [bad]}
    with pytest.raises(AttributeError):
        rm.check_boxes(doc)
    assert bad["result"] == regions and bad["result"] is not regions
    assert bad["alarm_info"] == "old"


@pytest.mark.parametrize("bad", [None, ["result"], "entry", 7, ("result", [])],
                         ids=["none", "list", "text", "int", "tuple"])
@pytest.mark.parametrize("where", ["entry", "region"])
def test_entry_or_region_not_a_map(rm, bad, where):
    done = kept_entry("done")
    later = entry([region("x", BOX)], info(), alarm_info="old")
    if where == "entry":
        behaviors = [done, bad, later]
    else:
        behaviors = [done, entry([region("a", BOX), bad], info(), alarm_info="old"), later]
    doc = {"alarmBehavior": behaviors}
    with pytest.raises(AttributeError):
        rm.check_boxes(doc)
    assert doc["alarmBehavior"] is behaviors
    assert done["alarm_info"] == "B-NdoneTY"
    assert later["alarm_info"] == "old"
    if where == "region":
        assert behaviors[1]["alarm_info"] == "old" and len(behaviors[1]["result"]) == 2


def test_boxes_truth_error_propagates(rm):
    done = kept_entry("done")
    behaviors = [done, entry([region("a", np.array([1, 2]))], info(), alarm_info="old")]
    doc = {"alarmBehavior": behaviors}
    with pytest.raises(ValueError):
        rm.check_boxes(doc)
    assert doc["alarmBehavior"] is behaviors and done["alarm_info"] == "B-NdoneTY"


# ---------------------------------------------------------------- idempotence

def test_applying_twice_changes_no_content(rm):
    doc = {"alarmBehavior": [
        entry([region("a", BOX), region(None, BOX), region("b", []), region(7, [])], info()),
        entry([region("c", [])], info()),
        entry([region("d", BOX), region(9, BOX), region("d", BOX)], info("x", "y", "z", "w")),
    ], "top": 1}
    rm.check_boxes(doc)
    first_repr = repr(doc)
    lists = [doc["alarmBehavior"]] + [e["result"] for e in doc["alarmBehavior"]]
    entries = list(doc["alarmBehavior"])
    regions = [list(e["result"]) for e in entries]
    assert rm.check_boxes(doc) is doc
    assert repr(doc) == first_repr
    new_lists = [doc["alarmBehavior"]] + [e["result"] for e in doc["alarmBehavior"]]
    assert all(a is not b for a, b in zip(lists, new_lists))
    assert all(a is b for a, b in zip(doc["alarmBehavior"], entries))
    for e, old in zip(entries, regions):
        assert all(a is b for a, b in zip(e["result"], old))


# ---------------------------------------------------------------- generic map protocol

class LoggingDict(dict):
    """A map that logs every lookup and store made through its Python-level methods."""

    def __init__(self, tag, log, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.tag, self.log = tag, log

    def get(self, key, *default):
        self.log.append((self.tag, "get", key))
        return super().get(key, *default)

    def __getitem__(self, key):
        self.log.append((self.tag, "getitem", key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append((self.tag, "set", key))
        super().__setitem__(key, value)


def _logged_doc(log, alarm_values=None):
    alarm = LoggingDict("info", log, info(**(alarm_values or {})))
    r1 = LoggingDict("r1", log, roi_name="a", boxes=BOX)
    r2 = LoggingDict("r2", log, roi_name="b", boxes=[])
    e = LoggingDict("entry", log, result=[r1, r2], alarm_info_dict=alarm)
    return LoggingDict("doc", log, alarmBehavior=[e]), e


def test_dict_subclasses_use_their_own_methods(rm):
    log = []
    doc, e = _logged_doc(log)
    assert rm.check_boxes(doc) is doc
    assert log == [
        ("doc", "get", "alarmBehavior"),
        ("entry", "get", "result"),
        ("r1", "get", "roi_name"), ("r1", "get", "boxes"),
        ("r2", "get", "roi_name"), ("r2", "get", "boxes"),
        ("entry", "set", "result"),
        ("entry", "getitem", "alarm_info_dict"),
        ("info", "get", "behavior_info"), ("info", "get", "info_name"),
        ("info", "get", "info_ftime"), ("info", "get", "info_type"),
        ("entry", "set", "alarm_info"),
        ("info", "set", "info_rois"),
        ("doc", "set", "alarmBehavior"),
    ]
    assert e["alarm_info"] == "B-NaTY"


@pytest.mark.parametrize("key", PIECES)
def test_alarm_text_built_left_to_right(rm, key):
    # the pieces are looked up as the text is built: a bad one stops the later lookups
    log = []
    doc, e = _logged_doc(log, {key: None})
    with pytest.raises(TypeError):
        rm.check_boxes(doc)
    gets = [k for tag, op, k in log if tag == "info" and op == "get"]
    assert gets == list(PIECES[:PIECES.index(key) + 1])
    assert ("entry", "set", "alarm_info") not in log
    assert ("doc", "set", "alarmBehavior") not in log


class GetOnly:
    """Not a dict: only a one-argument get and item assignment."""

    def __init__(self, **values):
        self.values = values

    def get(self, key):
        return self.values.get(key)

    def __getitem__(self, key):
        return self.values[key]

    def __setitem__(self, key, value):
        self.values[key] = value


def test_objects_with_get_go_through_the_protocol(rm):
    r1 = GetOnly(roi_name="a", boxes=BOX)
    r2 = GetOnly(boxes=None)
    alarm = GetOnly(**info())
    e = GetOnly(result=[r1, r2], alarm_info_dict=alarm)
    doc = GetOnly(alarmBehavior=[e])
    assert rm.check_boxes(doc) is doc
    assert doc.values["alarmBehavior"] == [e]
    assert e.values["result"] == [r1]
    assert e.values["alarm_info"] == "B-NaTY" and alarm.values["info_rois"] == "a"


def test_custom_get_result_is_used(rm):
    class Redirect(dict):
        def get(self, key):
            return {"alarmBehavior": [kept], "result": None}.get(key, "unexpected")

    kept = kept_entry()
    doc = Redirect(alarmBehavior=[entry([region("zzz", BOX)], info())])
    rm.check_boxes(doc)
    assert dict.__getitem__(doc, "alarmBehavior") == [kept]
    assert kept["alarm_info"] == "B-NkTY"


def test_missing_hook_serves_alarm_description(rm):
    class Defaulting(dict):
        def __missing__(self, key):
            return info("b", "n", "t", "y")

    e = Defaulting(result=[region("a", BOX)])
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["alarm_info"] == "b-naty"


def test_kept_region_taken_by_position(rm):
    # the kept object is out_result[v], not the one the walk produced
    swapped = region("swapped", BOX)

    class Indexed(list):
        def __getitem__(self, i):
            return swapped if i == 0 else list.__getitem__(self, i)

    walked = region("walked", BOX)
    e = entry(Indexed([walked]), info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert e["result"] == [swapped] and e["result"][0] is swapped
    assert type(e["result"]) is list
    # the name recorded is the walked region's
    assert e["alarm_info"] == "B-NwalkedTY"


def test_tuple_and_generic_sequences(rm):
    r = region("a", BOX)
    e = entry((r, region("b", [])), info())
    doc = {"alarmBehavior": (e,)}
    rm.check_boxes(doc)
    assert doc["alarmBehavior"] == [e] and e["result"] == [r] and type(e["result"]) is list


def test_non_indexable_regions_fail_after_walk(rm):
    # iterable but not indexable: the walk yields a region, taking it by position fails
    e = entry(iter([region("a", BOX)]), info(), alarm_info="old")
    with pytest.raises(TypeError):
        rm.check_boxes({"alarmBehavior": [e]})
    assert e["alarm_info"] == "old"


class Acc:
    """A first region text that is not a str (made by a name's __radd__)."""
    __slots__ = ("truth", "log")

    def __init__(self, truth, log):
        self.truth, self.log = truth, log

    def __bool__(self):
        return self.truth

    def __add__(self, other):
        self.log.append(other)
        return "acc" + other


class Weird:
    def __init__(self, acc):
        self.acc = acc

    def __radd__(self, other):
        return self.acc


@pytest.mark.parametrize("truth, expected", [
    (True, ["|b"]),
    (False, ["b"]),
])
def test_region_text_built_with_python_addition(rm, truth, expected):
    log = []
    acc = Acc(truth, log)
    e = entry([region(Weird(acc), BOX), region("b", BOX)], info())
    rm.check_boxes({"alarmBehavior": [e]})
    assert log == expected
    assert e["alarm_info_dict"]["info_rois"] == "acc" + expected[0]


# ---------------------------------------------------------------- against the model

names = st.sampled_from([MISSING, None, "", "a", "b", "door", 0, 3, "门"])
boxes = st.sampled_from([MISSING, None, [], "", [[1, 2, 3, 4]], [0], [[]], 1])
texts = st.sampled_from(["", "B", "甲", "B", "甲", MISSING, None, 5])
regions_st = st.lists(st.builds(lambda n, b: region(n, b), names, boxes), max_size=4)
alarm_st = st.one_of(st.just(MISSING), st.builds(info, texts, texts, texts, texts))
entries_st = st.builds(lambda rs, a, how: entry(rs if how == 0 else (None if how == 1 else MISSING), a),
                       regions_st, alarm_st, st.sampled_from([0, 0, 0, 1, 2]))


def _outcome(fn, doc):
    try:
        out = fn(doc)
        return "ok", out is doc
    except Exception as e:  # the kind of failure is what is compared
        return type(e).__name__, None


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(entries_st, max_size=4))
def test_matches_model(mod, behaviors):
    native_doc = {"alarmBehavior": copy.deepcopy(behaviors), "x": 1}
    model_doc = {"alarmBehavior": copy.deepcopy(behaviors), "x": 1}
    got = _outcome(mod.RecognitionMode().check_boxes, native_doc)
    want = _outcome(reference.RecognitionMode().check_boxes, model_doc)
    assert got == want
    assert repr(native_doc) == repr(model_doc)


@pytest.mark.parametrize("n_entries, n_regions, odd_name_at", [(40, 3, None), (1, 50, None), (20, 40, 20)],
                         ids=["many-entries", "many-regions", "many-regions-late-int-name"])
def test_long_lists_match_model(mod, n_entries, n_regions, odd_name_at):
    # More kept entries, regions and names than fit in the gathering buffers.
    def doc():
        return {"alarmBehavior": [entry([region(i if i == odd_name_at else "r%d" % i, [1] if i % 5 else [])
                                         for i in range(n_regions)], info("B", "N", "T", "Y"))
                                  for _ in range(n_entries)]}
    native_doc, model_doc = doc(), doc()
    assert mod.RecognitionMode().check_boxes(native_doc) is native_doc
    reference.RecognitionMode().check_boxes(model_doc)
    assert repr(native_doc) == repr(model_doc)

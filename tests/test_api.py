"""Shape of the two classes as Python sees them, argument handling, __init__ and main."""
import types

import numpy as np
import pytest

MAIN = "object_detection.post_processing.recognition_mode.main"

CAMERA_DOC = "每个摄像头一个Camera类, 每个Camera对象有多个TargetRadius类"
RECOGNITION_MODE_DOC = "去除掉静止的目标.如果判断出某个类别的所有bbox都相对静止,则把该类别都删掉,否则不删除"
MAIN_DOC = "\n".join([
    "",
    " " * 8 + "description: 主函数,传入",
    "",
    " " * 8 + "param:",
    " " * 12 + "json_data:  json字符串",
    " " * 12 + "out_result_dict\uff1a 识别结果",
    " " * 8 + "return:",
    " " * 12 + "返回去除掉静止目标的classes scores boxes",
    " " * 8,
])

# The operations with their parameters, in definition order. Compiled below into plain
# Python classes whose argument errors are the ones the module must give.
SIGNATURES = {
    "Camera": [
        ("__init__", ("self",)),
        ("run", ("self", "boxes", "classes")),
    ],
    "RecognitionMode": [
        ("__init__", ("self",)),
        ("split", ("self", "behavior_boxes", "behavior_number")),
        ("check_boxes", ("self", "out_result_dict")),
        ("target_radius", ("self", "dev_id", "out_result_dict")),
        ("get_metrix", ("self", "points")),
        ("phash", ("self", "img")),
        ("distance", ("self", "hash1", "hash2")),
        ("move_detect", ("self", "im", "dev_id", "out_result_dict")),
        ("main", ("self", "im", "dev_id", "out_result_dict", "mode")),
    ],
}
OPS = [(cls, op, params) for cls, ops in SIGNATURES.items() for op, params in ops]
OP_IDS = ["%s.%s" % (cls, op) for cls, op, _ in OPS]


def _python_twins():
    src = []
    for cls, ops in SIGNATURES.items():
        src.append("class %s:" % cls)
        for op, params in ops:
            src.append("    def %s(%s): pass" % (op, ", ".join(params)))
    ns = {}
    exec("\n".join(src), ns)
    return ns


TWINS = _python_twins()


def _empty_doc():
    return {"alarmBehavior": [], "other": 1}


# A working argument list (besides self) for every operation.
def valid_args(op):
    return {
        "__init__": lambda: (),
        "run": lambda: ([], []),
        "split": lambda: ([[1, 2, 3, 4]], 5),
        "check_boxes": lambda: (_empty_doc(),),
        "target_radius": lambda: ("dev", _empty_doc()),
        "get_metrix": lambda: ([[0, 1], [5, 7]],),
        "phash": lambda: (np.full((8, 8, 3), 7, np.uint8),),
        "distance": lambda: ("ab", "ac"),
        "move_detect": lambda: (None, "dev", _empty_doc()),
        "main": lambda: (None, "dev", _empty_doc(), "TargetRadius"),
    }[op]()


# ---------------------------------------------------------------- classes

@pytest.mark.parametrize("name, doc", [("Camera", CAMERA_DOC), ("RecognitionMode", RECOGNITION_MODE_DOC)])
def test_plain_class(mod, name, doc):
    cls = getattr(mod, name)
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == MAIN
    assert cls.__doc__ == doc
    obj = cls()
    obj.extra = 1
    assert vars(obj)["extra"] == 1 and obj.__dict__ is vars(obj)

    class Sub(cls):
        pass
    sub = Sub()
    assert isinstance(sub, cls) and type(sub) is Sub


@pytest.mark.parametrize("name", ["Camera", "RecognitionMode"])
def test_operations_in_definition_order(mod, name):
    cls = getattr(mod, name)
    ops = [k for k in vars(cls) if k not in ("__module__", "__doc__", "__dict__", "__weakref__", "__qualname__")]
    assert ops == [op for op, _ in SIGNATURES[name]]


def test_main_docstring(mod):
    assert mod.RecognitionMode.main.__doc__ == MAIN_DOC
    assert MAIN_DOC.count("\n") == 8 and not MAIN_DOC.endswith("\n")


@pytest.mark.parametrize("cls, op, params", OPS, ids=OP_IDS)
def test_operation_attributes(mod, cls, op, params):
    klass = getattr(mod, cls)
    fn = vars(klass)[op]
    assert fn.__name__ == op
    assert fn.__qualname__ == "%s.%s" % (cls, op)
    assert fn.__module__ == MAIN
    if (cls, op) != ("RecognitionMode", "main"):
        assert fn.__doc__ is None


@pytest.mark.parametrize("cls, op, params", OPS, ids=OP_IDS)
def test_operation_binds_like_a_function(mod, cls, op, params):
    klass = getattr(mod, cls)
    fn = vars(klass)[op]
    assert fn.__get__(None, klass) is fn
    assert getattr(klass, op) is fn
    obj = klass()
    bound = getattr(obj, op)
    assert type(bound) is types.MethodType
    assert bound.__func__ is fn and bound.__self__ is obj
    assert bound == getattr(obj, op)


# ---------------------------------------------------------------- argument lists

def _same_outcome(a, b):
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b)
    return type(a) is type(b) and repr(a) == repr(b)


@pytest.mark.parametrize("cls, op, params", OPS, ids=OP_IDS)
def test_arguments_by_position_or_name(mod, cls, op, params):
    klass = getattr(mod, cls)
    names = params[1:]
    results = []
    args = valid_args(op)
    results.append(getattr(klass(), op)(*args))
    args = valid_args(op)
    results.append(getattr(klass(), op)(**dict(zip(names, args))))
    args = valid_args(op)
    results.append(getattr(klass, op)(self=klass(), **dict(zip(names, args))))
    if names:
        # first by position, the rest by name, in reverse order
        args = valid_args(op)
        rest = dict(reversed(list(zip(names[1:], args[1:]))))
        results.append(getattr(klass(), op)(args[0], **rest))
    for r in results[1:]:
        assert _same_outcome(r, results[0])


def _bad_calls(params):
    """(label, bound?, args, kwargs) of argument lists that must be refused."""
    names = params[1:]
    n = len(names)
    filler = ["x%d" % i for i in range(n)]
    calls = [
        ("extra-positional", True, filler + ["extra"], {}),
        ("unknown-keyword", True, filler, {"bogus": 1}),
        ("unbound-no-self", False, [], {}),
        ("self-twice", False, ["obj"], {"self": "obj"}),
        ("upper-case-name", True, [], dict((nm.upper(), 1) for nm in names) or {"SELF": 1}),
        # near misses: from 3.13 on the message suggests the closest name, byte-wise in UTF-8
        ("near-keyword", True, filler[:-1], {(names or ["self"])[-1].capitalize() + "_": 1}),
        ("non-ascii-keyword", True, filler, {"s\u00e9lf": 1}),
        ("surrogate-keyword", True, filler, {"s\udce9lf": 1}),
    ]
    if n:
        calls += [
            ("missing-all", True, [], {}),
            ("missing-last", True, filler[:-1], {}),
            ("missing-first-by-name", True, [], dict(zip(names[1:], filler[1:]))),
            ("duplicate", True, filler, {names[0]: 1}),
            ("duplicate-last", True, filler, {names[-1]: 1}),
        ]
    return calls


BAD_CALLS = [(cls, op, params, label, bound, args, kwargs)
             for cls, op, params in OPS for label, bound, args, kwargs in _bad_calls(params)]


@pytest.mark.parametrize("cls, op, params, label, bound, args, kwargs", BAD_CALLS,
                         ids=["%s.%s-%s" % (c[0], c[1], c[3]) for c in BAD_CALLS])
def test_wrong_argument_list_is_type_error(mod, cls, op, params, label, bound, args, kwargs):
    klass, twin = getattr(mod, cls), TWINS[cls]

    def attempt(k):
        obj = object.__new__(k)
        fn = getattr(obj, op) if bound else getattr(k, op)
        call_args = [obj if a == "obj" else a for a in args]
        call_kwargs = {key: (obj if v == "obj" else v) for key, v in kwargs.items()}
        with pytest.raises(TypeError) as info:
            fn(*call_args, **call_kwargs)
        return str(info.value), obj

    message, obj = attempt(klass)
    expected, _ = attempt(twin)
    assert message == expected
    # refused before anything ran
    assert vars(obj) == {}


@pytest.mark.parametrize("name", ["Camera", "RecognitionMode"])
def test_constructor_takes_no_arguments(mod, name):
    klass, twin = getattr(mod, name), TWINS[name]
    for args, kwargs in [((1,), {}), ((), {"x": 1}), ((), {"self": 1})]:
        with pytest.raises(TypeError) as got:
            klass(*args, **kwargs)
        with pytest.raises(TypeError) as want:
            twin(*args, **kwargs)
        assert str(got.value) == str(want.value)


# ---------------------------------------------------------------- __init__

INITIAL = {"runtime": 0, "dev_id": {}, "move_id": {}, "refresh_time": {},
           "unmatch_list": None, "static_list": None, "del_list": None}


def test_init_attributes(mod):
    a, b = mod.RecognitionMode(), mod.RecognitionMode()
    assert vars(a) == INITIAL
    assert type(a.runtime) is int
    for key in ("dev_id", "move_id", "refresh_time"):
        assert type(getattr(a, key)) is dict
        assert getattr(a, key) is not getattr(b, key)
    assert len({id(a.dev_id), id(a.move_id), id(a.refresh_time)}) == 3
    for key in INITIAL:
        assert key not in vars(mod.RecognitionMode)


def test_init_again_makes_new_state(mod):
    rm = mod.RecognitionMode()
    old = rm.dev_id
    old["cam"] = {}
    rm.static_list = [1]
    rm.runtime = 2.5
    rm.extra = "kept"
    assert rm.__init__() is None
    assert rm.dev_id == {} and rm.dev_id is not old and old == {"cam": {}}
    assert {k: v for k, v in vars(rm).items() if k != "extra"} == INITIAL
    assert rm.extra == "kept"


# ---------------------------------------------------------------- main dispatch

class Recorder:
    def __init__(self):
        self.calls = []
        self.result = object()

    def make(self, label):
        def record(*args, **kwargs):
            self.calls.append((label, args, kwargs))
            return self.result
        return record


@pytest.fixture
def recording_subclass(mod):
    rec = Recorder()

    class Sub(mod.RecognitionMode):
        target_radius = staticmethod(rec.make("target_radius"))
        move_detect = staticmethod(rec.make("move_detect"))
    return Sub, rec


class StrSub(str):
    pass


TRACKING_MODES = [("TargetRadius", "exact"), (StrSub("TargetRadius"), "str-subclass"),
                  (np.str_("TargetRadius"), "numpy-str")]
MOTION_MODES = [("targetradius", "lower"), ("TargetRadius ", "trailing-blank"), (" TargetRadius", "leading-blank"),
                ("", "empty"), (None, "none"), (0, "zero"), (1.5, "float"), (b"TargetRadius", "bytes"),
                ("TargetRadiu", "prefix"), ("TargetRadius\x00", "nul"), (["TargetRadius"], "list"),
                ("ＴargetRadius", "full-width")]


@pytest.mark.parametrize("mode", [m for m, _ in TRACKING_MODES], ids=[i for _, i in TRACKING_MODES])
def test_main_tracking_mode(recording_subclass, mode):
    Sub, rec = recording_subclass
    im, dev, doc = object(), ("cam", 1), {"alarmBehavior": []}
    assert Sub().main(im, dev, doc, mode) is rec.result
    assert len(rec.calls) == 1
    label, args, kwargs = rec.calls[0]
    assert label == "target_radius" and kwargs == {}
    assert len(args) == 2 and args[0] is dev and args[1] is doc


@pytest.mark.parametrize("mode", [m for m, _ in MOTION_MODES], ids=[i for _, i in MOTION_MODES])
def test_main_motion_mode(recording_subclass, mode):
    Sub, rec = recording_subclass
    im, dev, doc = object(), ("cam", 1), {"alarmBehavior": []}
    assert Sub().main(im, dev, doc, mode) is rec.result
    assert len(rec.calls) == 1
    label, args, kwargs = rec.calls[0]
    assert label == "move_detect" and kwargs == {}
    assert len(args) == 3 and args[0] is im and args[1] is dev and args[2] is doc


def test_main_instance_override_and_no_state_read(mod):
    rm = mod.RecognitionMode()
    rec = Recorder()
    rm.target_radius = rec.make("t")
    rm.move_detect = rec.make("m")
    for key in INITIAL:
        delattr(rm, key)
    assert rm.main(1, 2, 3, "TargetRadius") is rec.result
    assert rm.main(1, 2, 3, "x") is rec.result
    assert [c[0] for c in rec.calls] == ["t", "m"]
    assert set(vars(rm)) == {"target_radius", "move_detect"}


@pytest.mark.parametrize("result", [None, 0, "text", {"other": "map"}])
def test_main_returns_filter_result_unchanged(mod, result):
    class Sub(mod.RecognitionMode):
        def target_radius(self, dev_id, out_result_dict):
            return result

        def move_detect(self, im, dev_id, out_result_dict):
            return result
    assert Sub().main(None, "d", {}, "TargetRadius") is result
    assert Sub().main(None, "d", {}, "other") is result


class EqBoom(Exception):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise EqBoom("no comparison")
    __hash__ = object.__hash__


class TruthBomb:
    def __bool__(self):
        raise EqBoom("no truth")


class BombEq:
    def __eq__(self, other):
        return TruthBomb()
    __hash__ = object.__hash__


@pytest.mark.parametrize("mode", [RaisingEq(), BombEq()], ids=["eq-raises", "eq-result-truth-raises"])
def test_main_comparison_error_propagates(recording_subclass, mode):
    Sub, rec = recording_subclass
    with pytest.raises(EqBoom):
        Sub().main(None, "d", {"alarmBehavior": []}, mode)
    assert rec.calls == []


@pytest.mark.parametrize("mode", ["TargetRadius", "other"])
def test_main_propagates_filter_errors(mod, mode):
    error = EqBoom("from the filter")

    class Sub(mod.RecognitionMode):
        def target_radius(self, dev_id, out_result_dict):
            raise error

        def move_detect(self, im, dev_id, out_result_dict):
            raise error
    with pytest.raises(EqBoom) as info:
        Sub().main(None, "d", {}, mode)
    assert info.value is error


# ---------------------------------------------------------------- overrides honoured

def _named_doc():
    return {"alarmBehavior": [{"behavior_number": 3, "result": [
        {"roi_name": "r", "boxes": [[0, 0, 4, 4]], "roi": [[0, 0], [4, 4]]}],
        "alarm_info_dict": {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}}]}


@pytest.mark.parametrize("mode", ["TargetRadius", "motion"])
def test_check_boxes_override_used_by_both_filters(mod, mode):
    seen = []
    sentinel = object()

    class Sub(mod.RecognitionMode):
        def check_boxes(self, out_result_dict):
            seen.append(out_result_dict)
            return sentinel
    doc = _named_doc()
    im = np.zeros((8, 8, 3), np.uint8)
    assert Sub().main(im, "d", doc, mode) is sentinel
    assert len(seen) == 1 and seen[0] is doc


def test_split_override_used_by_target_radius(mod):
    seen = []

    class Sub(mod.RecognitionMode):
        def split(self, behavior_boxes, behavior_number):
            seen.append((behavior_boxes, behavior_number))
            return [], []
    doc = _named_doc()
    boxes = doc["alarmBehavior"][0]["result"][0]["boxes"]
    Sub().main(None, "d", doc, "TargetRadius")
    assert len(seen) == 1 and seen[0][0] is boxes and seen[0][1] == 3


def test_helper_overrides_used_by_move_detect(mod):
    seen = []

    class Sub(mod.RecognitionMode):
        def get_metrix(self, points):
            seen.append("get_metrix")
            return [0, 0, 2, 2]

        def phash(self, img):
            seen.append(("phash", img.shape))
            return "h"

        def distance(self, hash1, hash2):
            seen.append(("distance", hash1, hash2))
            return 100
    rm = Sub()
    im = np.zeros((8, 8, 3), np.uint8)
    rm.main(im, "d", _named_doc(), "motion")
    rm.main(im, "d", _named_doc(), "motion")
    assert seen == ["get_metrix", ("phash", (2, 2, 3)), "get_metrix", ("phash", (2, 2, 3)), ("distance", "h", "h")]


def _replace_instance(mod, name, hook):
    rm = mod.RecognitionMode()
    setattr(rm, name, lambda *args: hook(rm, *args))
    return rm, None


def _replace_in_subclass(mod, name, hook):
    Sub = type("Sub", (mod.RecognitionMode,), {name: hook})
    return Sub(), None


def _rebind_on_class_later(mod, name, hook):
    # Bound only after the instance has already served frames with the original.
    Sub = type("Sub", (mod.RecognitionMode,), {})
    return Sub(), lambda: setattr(Sub, name, hook)


def _getattribute_hook(mod, name, hook):
    def __getattribute__(self, attr):
        if attr == name:
            return lambda *args: hook(self, *args)
        return object.__getattribute__(self, attr)
    return type("Sub", (mod.RecognitionMode,), {"__getattribute__": __getattribute__})(), None


@pytest.mark.parametrize("replace", [_replace_instance, _replace_in_subclass, _rebind_on_class_later,
                                     _getattribute_hook],
                         ids=["instance-attribute", "subclass", "class-rebound-later", "__getattribute__"])
@pytest.mark.parametrize("mode, name", [
    ("motion", "get_metrix"), ("motion", "phash"), ("motion", "distance"), ("motion", "check_boxes"),
    ("motion", "move_detect"), ("TargetRadius", "split"), ("TargetRadius", "check_boxes"),
    ("TargetRadius", "target_radius"),
])
def test_replaced_method_reached_through_the_instance(mod, replace, mode, name):
    seen = []
    original = getattr(mod.RecognitionMode, name)

    def hook(self, *args):
        seen.append(name)
        return original(self, *args)
    rm, later = replace(mod, name, hook)
    plain = mod.RecognitionMode()
    im = np.zeros((8, 8, 3), np.uint8)
    if later:
        for inst in (rm, plain, rm, plain):
            inst.main(im, "d", _named_doc(), mode)
        assert seen == []
        later()
    for _ in range(2):
        # The replacement delegates: what the caller gets is what the original gives.
        assert rm.main(im, "d", _named_doc(), mode) == plain.main(im, "d", _named_doc(), mode)
    assert name in seen

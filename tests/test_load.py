"""Module load: import order, logger, thresholds, failures, exports, second instances.

Each load scenario runs in a fresh interpreter on a throw-away copy of the installed
package whose sibling modules are replaced by recording fakes, so sys.modules of the
test process stays clean.
"""
import importlib
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

MAIN = "object_detection.post_processing.recognition_mode.main"
PKG = "object_detection.post_processing.recognition_mode"

# Module-level names after a normal load, in binding order.
TABLE = [
    "cv2", "time", "np", "TargetRadius", "box2meas", "state2box", "HYPER_PARA",
    "get_current_time", "setup_logger", "logger", "iou_thr", "pix_thr", "move_thr",
    "Camera", "RecognitionMode",
]

# Every fake logs into a list kept on builtins, and remembers the module's namespace so
# that the driver can look at it after a failed load.
FAKE_PRELUDE = """\
import builtins, sys
LOG = builtins.LOADLOG
MAIN = %r
def _bound():
    ns = getattr(builtins, "LOADNS", None)
    return [k for k in (ns or {}) if not k.startswith("__")]
""" % MAIN

FAKE_TARGET = FAKE_PRELUDE + """\
LOG.append(["exec", "target"])
class TargetRadius:
    def __init__(self, mea, cls, iou_thr, pix_thr):
        self.args = (mea, cls, iou_thr, pix_thr)
    @classmethod
    def association(cls, state_list, mea_list, classes):
        return [], [], []
"""

FAKE_UTILS = FAKE_PRELUDE + """\
LOG.append(["exec", "utils"])
def box2meas(box):
    return list(box)
def state2box(state):
    return state
"""

FAKE_PARAMETAR = FAKE_PRELUDE + """\
import decimal, fractions
LOG.append(["exec", "parametar"])
class Params:
    def __init__(self, tag, **values):
        object.__setattr__(self, "_tag", tag)
        object.__setattr__(self, "_values", values)
    def __getattr__(self, name):
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(name)
        LOG.append(["read", object.__getattribute__(self, "_tag"), name, _bound()])
        hook = getattr(builtins, "ON_READ", None)
        if hook:
            hook(name)
        return values[name]
    def __setattr__(self, name, value):
        object.__getattribute__(self, "_values")[name] = value
IOU = fractions.Fraction(1, 3)
PIX = "0.8"
MOVE = decimal.Decimal("6.5")
HYPER_PARA = Params("hp", iou_threshold=IOU, pix_iou_threshold=PIX, move_threshold=MOVE)
"""

FAKE_BASE_UTILS = FAKE_PRELUDE + """\
LOG.append(["exec", "base_utils"])
def get_current_time():
    LOG.append(["get_current_time"])
    return 0.0
"""

FAKE_LOGGER = FAKE_PRELUDE + """\
LOG.append(["exec", "logger"])
LOGGER = object()
def setup_logger(*args, **kwargs):
    LOG.append(["setup_logger", list(args), sorted(kwargs), _bound()])
    hook = getattr(builtins, "ON_SETUP", None)
    if hook:
        hook()
    return LOGGER
"""

FAKES = {
    "post_processing/recognition_mode/target": FAKE_TARGET,
    "post_processing/recognition_mode/utils": FAKE_UTILS,
    "utils/parametar": FAKE_PARAMETAR,
    "utils/base_utils": FAKE_BASE_UTILS,
    "utils/logger": FAKE_LOGGER,
}

# Records the import statements the module runs (they go through builtins.__import__),
# then loads it and reports what happened as one JSON line.
DRIVER = """\
import builtins, json, sys, importlib
MAIN = %r
builtins.LOADLOG = LOG = []
_real_import = builtins.__import__
def _import(name, globals=None, locals=None, fromlist=(), level=0):
    if globals is not None and globals.get("__name__") == MAIN:
        builtins.LOADNS = globals
        LOG.append(["import", name, list(fromlist) if fromlist else None, level])
    return _real_import(name, globals, locals, fromlist, level)
builtins.__import__ = _import
%s
out = {}
try:
    mod = importlib.import_module(MAIN)
except BaseException as e:
    mod = None
    out["error"] = [type(e).__name__, str(e), type(e).__module__]
builtins.__import__ = _real_import
ns = getattr(builtins, "LOADNS", None)
out["in_sys_modules"] = MAIN in sys.modules
out["names"] = None if ns is None else [k for k in ns if not k.startswith("__")]
out["log"] = LOG
%s
print("@@RESULT@@" + json.dumps(out, default=repr))
"""


def _installed_package_dir():
    import object_detection
    return os.path.dirname(object_detection.__file__)


def make_package(root, overrides=None):
    """Copy the installed package under root, with the sibling modules faked.

    overrides maps a FAKES key to replacement source, or to None to leave the module out.
    """
    dest = os.path.join(str(root), "object_detection")
    shutil.copytree(_installed_package_dir(), dest,
                    ignore=shutil.ignore_patterns("__pycache__"))
    sources = dict(FAKES)
    sources.update(overrides or {})
    for rel, source in sources.items():
        folder, stem = os.path.split(os.path.join(dest, rel))
        for entry in os.listdir(folder):
            if entry == stem + ".py" or (entry.startswith(stem + ".") and entry.endswith((".so", ".pyd"))):
                os.remove(os.path.join(folder, entry))
        if source is not None:
            with open(os.path.join(folder, stem + ".py"), "w", encoding="utf-8") as f:
                f.write(source)
    return dest


def run_load(root, before="", after="", env=None):
    script = DRIVER % (MAIN, textwrap.dedent(before), textwrap.dedent(after))
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = str(root)
    full_env["PYTHONDONTWRITEBYTECODE"] = "1"
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, %r)\n" % str(root) + script],
                          cwd=str(root), env=full_env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    marked = [ln for ln in lines if ln.startswith("@@RESULT@@")]
    assert len(marked) == 1, proc.stdout + proc.stderr
    out = json.loads(marked[0][len("@@RESULT@@"):])
    out["stdout"] = [ln for ln in lines if not ln.startswith("@@RESULT@@")]
    return out


# ---------------------------------------------------------------- normal load

AFTER_OK = """
import object_detection.utils.parametar as P
import object_detection.utils.logger as L
import object_detection.post_processing.recognition_mode.target as T
import object_detection.post_processing.recognition_mode.utils as U
import object_detection.utils.base_utils as B
hp = P.HYPER_PARA
out["file_in_tmp"] = mod.__file__.startswith(sys.path[0])
out["doc"] = mod.__doc__
out["all_names"] = list(vars(mod))
out["same"] = {
    "TargetRadius": mod.TargetRadius is T.TargetRadius,
    "box2meas": mod.box2meas is U.box2meas,
    "state2box": mod.state2box is U.state2box,
    "HYPER_PARA": mod.HYPER_PARA is hp,
    "get_current_time": mod.get_current_time is B.get_current_time,
    "setup_logger": mod.setup_logger is L.setup_logger,
    "logger": mod.logger is L.LOGGER,
    "cv2": mod.cv2 is sys.modules["cv2"],
    "time": mod.time is sys.modules["time"],
    "np": mod.np is sys.modules["numpy"],
    "iou_thr": mod.iou_thr is P.IOU,
    "pix_thr": mod.pix_thr is P.PIX,
    "move_thr": mod.move_thr is P.MOVE,
}
out["types"] = [type(mod.iou_thr).__name__, type(mod.pix_thr).__name__, type(mod.move_thr).__name__]
hp.iou_threshold = 0.99
hp.pix_iou_threshold = 0.98
hp.move_threshold = 97
out["after_change"] = [repr(mod.iou_thr), repr(mod.pix_thr), repr(mod.move_thr)]
out["classes"] = [mod.Camera.__module__, mod.RecognitionMode.__module__]
"""


@pytest.fixture(scope="module")
def normal_load(tmp_path_factory):
    root = tmp_path_factory.mktemp("pkg_ok")
    make_package(root)
    return run_load(root, after=AFTER_OK)


def test_loads_from_the_copy(normal_load):
    assert "error" not in normal_load
    assert normal_load["file_in_tmp"] is True
    assert normal_load["in_sys_modules"] is True


def test_import_steps_in_order(normal_load):
    steps = [e for e in normal_load["log"] if e[0] in ("import", "exec")]
    assert steps == [
        ["import", "cv2", None, 0],
        ["import", "time", None, 0],
        ["import", "numpy", None, 0],
        ["import", "target", ["TargetRadius"], 1],
        ["exec", "target"],
        ["import", "utils", ["box2meas", "state2box"], 1],
        ["exec", "utils"],
        ["import", "utils.parametar", ["HYPER_PARA"], 3],
        ["exec", "parametar"],
        ["import", "utils.base_utils", ["get_current_time"], 3],
        ["exec", "base_utils"],
        ["import", "utils.logger", ["setup_logger"], 3],
        ["exec", "logger"],
    ]


def test_logger_then_thresholds_then_classes(normal_load):
    log = normal_load["log"]
    tail = log[[e[0] for e in log].index("setup_logger"):]
    before_logger = TABLE[:TABLE.index("logger")]
    # setup_logger: once, positional __name__, after every import and before logger is bound.
    assert tail[0] == ["setup_logger", [MAIN], [], before_logger]
    # Each threshold read once, in order, each after the previous one was bound.
    assert tail[1:] == [
        ["read", "hp", "iou_threshold", TABLE[:TABLE.index("iou_thr")]],
        ["read", "hp", "pix_iou_threshold", TABLE[:TABLE.index("pix_thr")]],
        ["read", "hp", "move_threshold", TABLE[:TABLE.index("move_thr")]],
    ]


def test_bound_objects_are_the_imported_ones(normal_load):
    assert normal_load["same"] == dict.fromkeys(normal_load["same"], True)
    assert normal_load["classes"] == [MAIN, MAIN]


def test_thresholds_keep_type_and_load_time_value(normal_load):
    assert normal_load["types"] == ["Fraction", "str", "Decimal"]
    assert normal_load["after_change"] == ["Fraction(1, 3)", "'0.8'", "Decimal('6.5')"]


def test_names_after_load_in_table_order(normal_load):
    public = [k for k in normal_load["all_names"] if not k.startswith("__")]
    assert public == TABLE


def test_no_module_docstring(normal_load, mod):
    assert normal_load["doc"] is None
    assert mod.__doc__ is None


def test_dotted_name_load_runs_no_self_test(normal_load):
    # The self-test would drive RecognitionMode (clock reads) and print its analysis.
    assert normal_load["stdout"] == []
    assert ["get_current_time"] not in normal_load["log"]


def test_installed_module_names_in_table_order(mod):
    assert [k for k in vars(mod) if not k.startswith("__")] == TABLE
    assert mod.__name__ == MAIN and mod.__package__ == PKG


def test_thresholds_reread_hyper_para_from_namespace(tmp_path):
    # A read that rebinds HYPER_PARA makes the next read go to the new object.
    make_package(tmp_path)
    before = """
    def on_read(name):
        if name == "iou_threshold":
            P = sys.modules["object_detection.utils.parametar"]
            builtins.LOADNS["HYPER_PARA"] = P.Params("other", pix_iou_threshold=2, move_threshold=3)
    builtins.ON_READ = on_read
    """
    out = run_load(tmp_path, before=before,
                   after='out["thr"] = [repr(mod.iou_thr), mod.pix_thr, mod.move_thr]')
    assert "error" not in out
    assert [e[:3] for e in out["log"] if e[0] == "read"] == [
        ["read", "hp", "iou_threshold"], ["read", "other", "pix_iou_threshold"],
        ["read", "other", "move_threshold"]]
    assert out["thr"] == ["Fraction(1, 3)", 2, 3]



# ---------------------------------------------------------------- failed loads

def _without(source, *names):
    return source + "".join("del %s\n" % n for n in names)


RM = "object_detection.post_processing.recognition_mode"

LOAD_FAILURES = [
    # id, overrides, before, error type, message start, names bound when it failed
    ("no-target", {"post_processing/recognition_mode/target": None}, "",
     "ModuleNotFoundError", "No module named '%s.target'" % RM, "TargetRadius"),
    ("no-utils", {"post_processing/recognition_mode/utils": None}, "",
     "ModuleNotFoundError", "No module named '%s.utils'" % RM, "box2meas"),
    ("no-parametar", {"utils/parametar": None}, "",
     "ModuleNotFoundError", "No module named 'object_detection.utils.parametar'", "HYPER_PARA"),
    ("no-base_utils", {"utils/base_utils": None}, "",
     "ModuleNotFoundError", "No module named 'object_detection.utils.base_utils'", "get_current_time"),
    ("no-logger", {"utils/logger": None}, "",
     "ModuleNotFoundError", "No module named 'object_detection.utils.logger'", "setup_logger"),
    ("no-cv2", {}, "sys.modules['cv2'] = None",
     "ModuleNotFoundError", "import of cv2 halted", "cv2"),
    ("no-time", {}, "import cv2, numpy\nsys.modules['time'] = None",
     "ModuleNotFoundError", "import of time halted", "time"),
    ("no-numpy", {}, "import cv2, numpy\nsys.modules['numpy'] = None",
     "ModuleNotFoundError", "import of numpy halted", "np"),
    ("no-TargetRadius", {"post_processing/recognition_mode/target": _without(FAKE_TARGET, "TargetRadius")}, "",
     "ImportError", "cannot import name 'TargetRadius' from '%s.target'" % RM, "TargetRadius"),
    ("no-box2meas", {"post_processing/recognition_mode/utils": _without(FAKE_UTILS, "box2meas")}, "",
     "ImportError", "cannot import name 'box2meas' from '%s.utils'" % RM, "box2meas"),
    ("no-state2box", {"post_processing/recognition_mode/utils": _without(FAKE_UTILS, "state2box")}, "",
     "ImportError", "cannot import name 'state2box' from '%s.utils'" % RM, "state2box"),
    ("no-HYPER_PARA", {"utils/parametar": _without(FAKE_PARAMETAR, "HYPER_PARA")}, "",
     "ImportError", "cannot import name 'HYPER_PARA' from 'object_detection.utils.parametar'", "HYPER_PARA"),
    ("no-get_current_time", {"utils/base_utils": _without(FAKE_BASE_UTILS, "get_current_time")}, "",
     "ImportError", "cannot import name 'get_current_time'", "get_current_time"),
    ("no-setup_logger", {"utils/logger": _without(FAKE_LOGGER, "setup_logger")}, "",
     "ImportError", "cannot import name 'setup_logger'", "setup_logger"),
    ("setup_logger-raises", {},
     "class LoggerBroken(Exception): pass\n"
     "def _boom(): raise LoggerBroken('no handler today')\n"
     "builtins.ON_SETUP = _boom",
     "LoggerBroken", "no handler today", "logger"),
    ("no-iou_threshold", {"utils/parametar": FAKE_PARAMETAR + "HYPER_PARA._values.pop('iou_threshold')\n"}, "",
     "AttributeError", "iou_threshold", "iou_thr"),
    ("no-pix_iou_threshold", {"utils/parametar": FAKE_PARAMETAR + "HYPER_PARA._values.pop('pix_iou_threshold')\n"},
     "", "AttributeError", "pix_iou_threshold", "pix_thr"),
    ("no-move_threshold", {"utils/parametar": FAKE_PARAMETAR + "HYPER_PARA._values.pop('move_threshold')\n"}, "",
     "AttributeError", "move_threshold", "move_thr"),
]


@pytest.mark.parametrize("overrides, before, etype, message, first_unbound",
                         [case[1:] for case in LOAD_FAILURES], ids=[case[0] for case in LOAD_FAILURES])
def test_load_failure(tmp_path, overrides, before, etype, message, first_unbound):
    make_package(tmp_path, overrides)
    out = run_load(tmp_path, before=before)
    assert out["error"][0] == etype
    assert out["error"][1].startswith(message)
    assert out["in_sys_modules"] is False
    # Everything before the failing step is bound, nothing from it on: no classes.
    assert (out["names"] or []) == TABLE[:TABLE.index(first_unbound)]
    assert ["get_current_time"] not in out["log"]
    kinds = [e[0] for e in out["log"]]
    failed_at = TABLE.index(first_unbound)
    assert kinds.count("setup_logger") == (failed_at >= TABLE.index("logger"))
    assert kinds.count("read") == max(0, failed_at - TABLE.index("iou_thr"))


def test_loading_again_after_a_failure_works(tmp_path):
    make_package(tmp_path)
    before = """
    import os
    _state = {"fail": True}
    def _maybe_fail():
        if _state.pop("fail", False):
            raise RuntimeError("first time")
    builtins.ON_SETUP = _maybe_fail
    try:
        importlib.import_module(MAIN)
    except RuntimeError as e:
        builtins.FIRST = str(e)
    """
    out = run_load(tmp_path, before=before,
                   after='out["first"] = builtins.FIRST\nout["has_class"] = hasattr(mod, "RecognitionMode")')
    assert out["first"] == "first time"
    assert "error" not in out and out["has_class"] is True


# ---------------------------------------------------------------- shared object

def test_only_pyinit_main_is_exported(mod):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    proc = subprocess.run([nm, "-D", "--defined-only", mod.__file__], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    symbols = [line.split()[-1] for line in proc.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_main"]


# ---------------------------------------------------------------- second instance

def _fresh_instance():
    spec = importlib.util.find_spec(MAIN)
    m = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(m)
    return m


def test_second_instance_is_independent(mod, monkeypatch):
    other = _fresh_instance()
    assert other is not mod and sys.modules[MAIN] is mod
    assert [k for k in vars(other) if not k.startswith("__")] == TABLE
    for cls in ("Camera", "RecognitionMode"):
        assert getattr(other, cls) is not getattr(mod, cls)
        assert getattr(other, cls).__module__ == MAIN
    assert other.RecognitionMode.main is not mod.RecognitionMode.main
    assert other.RecognitionMode.main.__globals__ is vars(other)
    assert mod.RecognitionMode.main.__globals__ is vars(mod)

    # Patch the clock of the second instance only: stamps show which clock each one used.
    stamp = -123456.5
    monkeypatch.setattr(other, "get_current_time", lambda: stamp)
    doc = lambda: {"alarmBehavior": [{"behavior_number": 7, "result": [
        {"roi_name": "a", "boxes": [[0, 0, 10, 10], [20, 20, 30, 30]]}],
        "alarm_info_dict": {"behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"}}]}
    r_other, r_mod = other.RecognitionMode(), mod.RecognitionMode()
    r_other.target_radius("cam", doc())
    r_mod.target_radius("cam", doc())
    assert r_other.refresh_time["cam"][7] == stamp
    assert r_mod.refresh_time["cam"][7] > 0
    assert isinstance(r_mod.refresh_time["cam"][7], float)
    assert isinstance(r_other.dev_id["cam"][7]["a"], other.Camera)
    assert isinstance(r_mod.dev_id["cam"][7]["a"], mod.Camera)


def test_second_instance_survives_errors_in_first(mod):
    # Exceptions passing through one instance leave the other working.
    other = _fresh_instance()
    for m in (mod, other, mod):
        with pytest.raises(TypeError):
            m.RecognitionMode().check_boxes({})
        with pytest.raises(KeyError):
            m.RecognitionMode().check_boxes({"alarmBehavior": [{"result": [{"boxes": [1]}]}]})
    assert other.RecognitionMode().check_boxes({"alarmBehavior": []}) == {"alarmBehavior": []}
    del other
    import gc
    gc.collect()
    assert mod.RecognitionMode().check_boxes({"alarmBehavior": []}) == {"alarmBehavior": []}


def test_load_emits_no_warning():
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        _fresh_instance()
    assert [str(w.message) for w in caught] == []

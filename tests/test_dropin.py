"""recognition-mode install: the module dropped into a host's own object_detection tree.

The host tree is a throw-away regular package with its own configuration, clock and
logger; everything runs in subprocesses with that tree first on sys.path, so the
installed copy of our package must not be what gets imported.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts",
                      "install_into_host.py")
MAIN = "object_detection.post_processing.recognition_mode.main"

HOST_FILES = {
    "object_detection/__init__.py": "HOST = True\n",
    "object_detection/utils/__init__.py": "",
    # Values our own parametar would refuse: only the host's could produce them.
    "object_detection/utils/parametar.py": """\
        class _Params:
            iou_threshold = 0.45
            pix_iou_threshold = 0.6
            move_threshold = 101
        HYPER_PARA = _Params()
        """,
    "object_detection/utils/base_utils.py": """\
        NOW = [5000.0]
        def get_current_time():
            return NOW[0]
        """,
    "object_detection/utils/logger.py": """\
        import sys
        NAMES = []
        def setup_logger(name):
            NAMES.append(name)
            print("host logger for", name, file=sys.stderr)
            return ("host-logger", name)
        """,
    "object_detection/post_processing/__init__.py": "HOST_POST_PROCESSING = True\n",
    "object_detection/post_processing/recognition_mode/README.txt": "the host's notes\n",
}

HOST_TRACKING = {
    "object_detection/post_processing/recognition_mode/target.py": """\
        MADE = []
        class TargetRadius:
            def __init__(self, mea, cls, iou_thr, pix_thr):
                MADE.append([iou_thr, pix_thr])
            @classmethod
            def association(cls, state_list, mea_list, classes):
                return list(range(len(mea_list))), [], []  # every box new
        """,
    "object_detection/post_processing/recognition_mode/utils.py": """\
        def box2meas(box):
            return list(box)
        def state2box(state):
            return state
        """,
}

DRIVER = """\
import json, os, sys
root = os.path.realpath(os.getcwd())
import numpy as np
import object_detection.post_processing.recognition_mode.main as m
import object_detection.utils.base_utils as clock
import object_detection.utils.logger as logger

def doc():
    return {"alarmBehavior": [{"behavior_number": 7, "alarm_info_dict": {
        "behavior_info": "B", "info_name": "N", "info_ftime": "T", "info_type": "Y"},
        "result": [{"roi_name": "door", "roi": [[0, 0], [40, 0], [40, 30], [0, 30]],
                    "boxes": [[2, 3, 12, 15], [20, 5, 30, 25]]}]}]}

out = {"outside": sorted(n for n, mod in list(sys.modules.items()) if n.split(".")[0] == "object_detection"
                         and not os.path.realpath(getattr(mod, "__file__", None) or root).startswith(root))}
out["thresholds"] = [m.iou_thr, m.pix_thr, m.move_thr]
out["logger"] = [logger.NAMES, list(m.logger)]
rm = m.RecognitionMode()
kept = lambda d: [r["roi_name"] for e in d["alarmBehavior"] for r in e["result"]]
frames = []
frames.append(kept(rm.main(None, "cam", doc(), "TargetRadius")))  # new targets: kept
out["stamp"] = rm.refresh_time["cam"][7]
for _ in range(getattr(sys.modules[m.TargetRadius.__module__], "OBSERVE_FRAMES", 2) - 1):
    last = kept(rm.main(None, "cam", doc(), "TargetRadius"))
frames.append(last)                                                # watched long enough, still: dropped
clock.NOW[0] += 600                                                # the host's clock runs out
frames.append(kept(rm.main(None, "cam", doc(), "TargetRadius")))
out["trackers_after_refresh"] = len(rm.dev_id["cam"])
frames.append(kept(rm.main(None, "cam", doc(), "TargetRadius")))  # trackers started afresh: kept
# move_thr 101: even a camera's first picture counts as unchanged.
frames.append(kept(rm.main(np.zeros((48, 64, 3), np.uint8), "cam", doc(), "MoveDetect")))
out["frames"] = frames
target = sys.modules[m.TargetRadius.__module__]
out["target_file"] = os.path.basename(target.__file__)
out["made"] = getattr(target, "MADE", None)
print(json.dumps(out))
"""


def make_host(root, files):
    for rel, text in files.items():
        path = os.path.join(str(root), *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(textwrap.dedent(text))


def snapshot(root):
    out = {}
    for folder, _dirs, names in os.walk(str(root)):
        for name in names:
            if "__pycache__" not in folder:
                path = os.path.join(folder, name)
                with open(path, "rb") as fh:
                    out[os.path.relpath(path, str(root))] = fh.read()
    return out


def run(args, cwd, own_path=False):
    # The host's processes see only the host tree; the drop-in command itself must find our
    # installed package, wherever PYTHONPATH put it.
    env = {k: v for k, v in os.environ.items() if own_path or k != "PYTHONPATH"}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return subprocess.run(args, cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)


def drop_in(host, *options):
    return run([sys.executable, SCRIPT, str(host)] + list(options), host, own_path=True)


def test_dropped_in_module_runs_on_the_hosts_components(tmp_path):
    make_host(tmp_path, HOST_FILES)
    before = snapshot(tmp_path)
    for _ in range(2):  # a second run replaces our files and leaves the host's alone
        proc = drop_in(tmp_path, "--self-test")
        assert proc.returncode == 0, proc.stdout + proc.stderr
        after = snapshot(tmp_path)
        assert {k: after[k] for k in before} == before
    added = sorted(set(after) - set(before))
    rm_dir = os.path.join("object_detection", "post_processing", "recognition_mode")
    assert [os.path.relpath(p, rm_dir).split(".")[0] for p in added] == [
        "", "__init__", "__main__", "main", "target", "utils"]  # "" is the list of what was written

    proc = run([sys.executable, "-c", DRIVER], tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["outside"] == []
    assert out["thresholds"] == [0.45, 0.6, 101]
    assert out["logger"] == [[MAIN], ["host-logger", MAIN]]
    assert out["stamp"] == 5000.0
    assert out["frames"] == [["door"], [], [], ["door"], []]
    assert out["trackers_after_refresh"] == 0
    assert out["target_file"].startswith("target.") and out["target_file"].endswith((".so", ".pyd"))

    # The self-test, inside the host tree, on the host's logger.
    proc = run([sys.executable, "-m", "object_detection.post_processing.recognition_mode"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == "host logger for __main__\n"
    assert proc.stdout.count("摄像头id：") == 3


def test_hosts_own_tracking_modules_are_kept(tmp_path):
    make_host(tmp_path, dict(HOST_FILES, **HOST_TRACKING))
    before = snapshot(tmp_path)
    refused = drop_in(tmp_path, "--tracking", "ours")
    assert refused.returncode == 1 and "own tracking modules" in refused.stderr
    assert snapshot(tmp_path) == before

    proc = drop_in(tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = run([sys.executable, "-c", DRIVER], tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["outside"] == []
    assert out["target_file"] == "target.py"
    # Every tracker the host's TargetRadius made got the host's thresholds.
    assert out["made"] and all(args == [0.45, 0.6] for args in out["made"])

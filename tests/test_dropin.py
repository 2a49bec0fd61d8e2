"""recognition-mode install: the module dropped into a host's own object_detection tree, and out again.

The host tree is a throw-away regular package with its own configuration, clock and
logger; everything runs in subprocesses with that tree first on sys.path, so the
installed copy of our package must not be what gets imported.
"""
import importlib.machinery
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
}
RM = "object_detection/post_processing/recognition_mode/"
RM_DIR = os.path.join(*RM.strip("/").split("/"))
HOST_NOTES = {RM + "README.txt": "the host's notes\n"}

# A host that has a recognition_mode main of its own: ours by file name, another tag, a
# source module and a package (which Python would import before any extension).
HOST_MAIN = {
    RM + "main" + importlib.machinery.EXTENSION_SUFFIXES[0]: "the host's build\n",
    RM + "main.abi3.so": "the host's other build\n",
    RM + "main.py": "HOST_MAIN = True\n",
    RM + "main/__init__.py": "HOST_MAIN_PACKAGE = True\n",
    RM + "main.pyi": "HOST_MAIN: bool\n",
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
    """{path: bytes, or None for a folder} of the tree, bytecode caches aside."""
    out = {}
    for folder, dirs, names in os.walk(str(root)):
        if "__pycache__" in folder:
            continue
        for name in dirs:
            if name != "__pycache__":
                out[os.path.relpath(os.path.join(folder, name), str(root))] = None
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as fh:
                out[os.path.relpath(path, str(root))] = fh.read()
    return out


def run(args, cwd, own_path=False, bytecode=False):
    # The host's processes see only the host tree; the drop-in command itself must find our
    # installed package, wherever PYTHONPATH put it.
    env = {k: v for k, v in os.environ.items() if own_path or k != "PYTHONPATH"}
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    if not bytecode:
        env["PYTHONDONTWRITEBYTECODE"] = "1"
    return subprocess.run(args, cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=300)


def drop_in(host, *options):
    return run([sys.executable, "-m", "recognition_mode_tools", "install", str(host)] + list(options),
               host, own_path=True)


def host_with_own_main(tmp_path):
    """The host's package in real/, reached through HOST_ROOT/object_detection, a symlink."""
    make_host(tmp_path / "real", dict(HOST_FILES, **HOST_MAIN))
    (tmp_path / "host").mkdir()
    os.symlink(str(tmp_path / "real" / "object_detection"), str(tmp_path / "host" / "object_detection"))
    return tmp_path / "host", tmp_path / "real"


def test_dropped_in_module_runs_on_the_hosts_components(tmp_path):
    make_host(tmp_path, HOST_FILES)  # no recognition_mode/ yet
    before = snapshot(tmp_path)
    for _ in range(2):  # a second run replaces our files and leaves the host's alone
        proc = drop_in(tmp_path, "--self-test")
        assert proc.returncode == 0, proc.stdout + proc.stderr
        after = snapshot(tmp_path)
        assert {k: after[k] for k in before} == before
    added = sorted(os.path.relpath(p, RM_DIR) for p in set(after) - set(before) if p.startswith(RM_DIR + os.sep))
    assert sorted(p.split(".")[0] + "." + p.split(".")[-1] for p in added) == [
        "__init__.py", "__main__.py", "main.pyi", "main.so", "py.typed", "target.pyi", "target.so",
        "utils.pyi", "utils.so"]

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

    # The self-test, inside the host tree, on the host's logger (caching bytecode as a host would).
    proc = run([sys.executable, "-m", "object_detection.post_processing.recognition_mode"], tmp_path,
               bytecode=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == "host logger for __main__\n"
    assert proc.stdout.count("摄像头id：") == 3

    for _ in range(2):  # undone to the byte, folders included; a second time changes nothing
        proc = drop_in(tmp_path, "--uninstall")
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert snapshot(tmp_path) == before


def test_hosts_own_tracking_modules_are_kept(tmp_path):
    make_host(tmp_path, dict(HOST_FILES, **dict(HOST_NOTES, **HOST_TRACKING)))
    before = snapshot(tmp_path)
    refused = drop_in(tmp_path, "--tracking", "ours")
    assert refused.returncode == 1 and "own tracking modules" in refused.stderr
    assert snapshot(tmp_path) == before

    # The old script still does the same.
    proc = run([sys.executable, SCRIPT, str(tmp_path)], tmp_path, own_path=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = run([sys.executable, "-c", DRIVER], tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["outside"] == []
    assert out["target_file"] == "target.py"
    # Every tracker the host's TargetRadius made got the host's thresholds.
    assert out["made"] and all(args == [0.45, 0.6] for args in out["made"])


def test_hosts_own_main_goes_to_the_backup_and_comes_back(tmp_path):
    host, real = host_with_own_main(tmp_path)
    before = snapshot(real)
    for options in [(), ("--replace", "--dry-run")]:
        proc = drop_in(host, *options)
        assert proc.returncode == (1 if not options else 0), proc.stdout + proc.stderr
        assert snapshot(real) == before
    assert "--replace" in drop_in(host).stderr

    proc = drop_in(host, "--replace")  # the load check passing means our main, not the host's package, loads
    assert proc.returncode == 0, proc.stdout + proc.stderr
    stub = os.path.join(RM_DIR, "main.pyi")
    ours = snapshot(real)[stub]
    assert ours != before[stub]  # ours now; the host's waits in the backup

    # Someone's edit of a file we wrote is not thrown away by the uninstall.
    (real / stub).write_bytes(ours + b"# edited\n")
    edited = snapshot(real)
    proc = drop_in(host, "--uninstall")
    assert proc.returncode == 1 and "changed since" in proc.stderr
    assert snapshot(real) == edited
    (real / stub).write_bytes(ours)
    for _ in range(2):
        proc = drop_in(host, "--uninstall")
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert snapshot(real) == before


def test_a_drop_in_by_the_older_script_is_taken_over(tmp_path):
    make_host(tmp_path, HOST_FILES)
    before = snapshot(tmp_path)
    from recognition_mode_tools.install import INIT_TEXT
    main_name = "main" + importlib.machinery.EXTENSION_SUFFIXES[0]
    make_host(tmp_path, {RM + "__init__.py": INIT_TEXT, RM + main_name: "the old drop-in's build\n",
                         RM + ".dropin-files": main_name + "\n"})
    proc = drop_in(tmp_path, "--uninstall")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert snapshot(tmp_path) == dict(before, **{RM_DIR: None})  # the folder it made stays


@pytest.mark.parametrize("fault", ["host Python lacks cv2", "load check fails"])
def test_a_refused_install_leaves_the_tree_as_it_was(tmp_path, fault):
    host, real = host_with_own_main(tmp_path)
    options = ["--replace"]
    if fault == "host Python lacks cv2":
        (tmp_path / "py").mkdir()
        (tmp_path / "py" / "cv2.py").write_text("raise ImportError('no cv2 here')\n")
        python = tmp_path / "py" / "python"
        python.write_text('#!/bin/sh\nPYTHONPATH="%s" exec "%s" "$@"\n' % (tmp_path / "py", sys.executable))
        python.chmod(0o755)
        options += ["--python", str(python)]
        expected = "cannot import cv2"
    else:
        (real / "object_detection" / "utils" / "logger.py").write_text(
            "def setup_logger(name):\n    raise RuntimeError('the host logger is down')\n")
        expected = "the host logger is down"
    before = snapshot(real)
    proc = drop_in(host, *options)
    assert proc.returncode == 1 and expected in proc.stderr, proc.stdout + proc.stderr
    assert snapshot(real) == before


KILLED = """\
import os, sys
import recognition_mode_tools.install as install
stop_at, real, done = int(sys.argv[1]), install._run_step, []
def step(*args):
    if len(done) + 1 == stop_at:
        os._exit(3)  # as a kill would: no clean-up runs
    done.append(real(*args))
install._run_step = step
sys.exit(install.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("stop_at", [2, 9])
def test_an_interrupted_run_is_undone_or_finished_by_the_next(tmp_path, stop_at):
    host, real = host_with_own_main(tmp_path)
    before = snapshot(real)

    def killed(*options):
        proc = run([sys.executable, "-c", KILLED, str(stop_at), str(host)] + list(options), host, own_path=True)
        assert proc.returncode == 3, proc.stdout + proc.stderr
        assert snapshot(real) != before

    killed("--replace")
    proc = drop_in(host, "--uninstall")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert snapshot(real) == before

    killed("--replace")
    proc = drop_in(host, "--replace")  # undoes the interrupted install, then installs
    assert proc.returncode == 0 and "undone  an interrupted install" in proc.stdout, proc.stdout + proc.stderr
    installed = snapshot(real)
    killed("--uninstall")
    proc = drop_in(host, "--replace")  # finishes the interrupted uninstall, then installs
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert snapshot(real) == installed
    killed("--uninstall")
    proc = drop_in(host, "--uninstall")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert snapshot(real) == before

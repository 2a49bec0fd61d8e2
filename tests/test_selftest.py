"""The main job: `python -m object_detection.post_processing.recognition_mode`."""
import ast
import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

PACKAGE = "object_detection.post_processing.recognition_mode"

HEAD = "--------------分析----------------"
FOOT = "----------------------------------"
LABELS = [
    "摄像头id：",
    "相对静止的目标：",
    "出了画面的目标：",
    "画面中新出现或者移动速度过快或者新增的摄像头，导致的新增目标：",
    "去除掉静止不动的目标后，剩余的目标：",
    "总耗时：",
]
DRIVER_NAMES = ["test_data", "data1", "data2", "data3", "data", "recognition_mode", "json_data", "i", "result"]

ROWS = [
    [920, 232, 1007, 304, "0.33453431725502014"],
    [781, 491, 895, 604, "0.8324827551841736"],
    [1367, 374, 1450, 470, "0.8513033986091614"],
    [1763, 886, 1895, 1028, "0.8540068864822388"],
    [518, 303, 591, 387, "0.8638141751289368"],
    [767, 405, 859, 503, "0.8727522492408752"],
]
DETECTIONS = [
    ([707.0, 426.0, 964.0, 772.0], 0.2887134552001953, "otherperson"),
    ([619.0, 384.0, 866.0, 819.0], 0.3195984661579132, "otherperson"),
    ([920.0, 232.0, 1007.0, 304.0], 0.33453431725502014, "unsafehel"),
    ([772.0, 550.0, 1015.0, 764.0], 0.3960975706577301, "inapprodress"),
    ([1310.0, 425.0, 1484.0, 601.0], 0.5204468369483948, "inapprodress"),
    ([1573.0, 888.0, 1901.0, 1080.0], 0.6030586361885071, "otherperson"),
    ([763.0, 488.0, 1054.0, 831.0], 0.6653063297271729, "otherperson"),
    ([478.0, 301.0, 737.0, 835.0], 0.7433191537857056, "otherperson"),
    ([1305.0, 375.0, 1488.0, 612.0], 0.8148852586746216, "otherperson"),
    ([781.0, 491.0, 895.0, 604.0], 0.8324827551841736, "unsafehel"),
    ([1367.0, 374.0, 1450.0, 470.0], 0.8513033986091614, "unsafehel"),
    ([1763.0, 886.0, 1895.0, 1028.0], 0.8540068864822388, "unsafehel"),
    ([518.0, 303.0, 591.0, 387.0], 0.8638141751289368, "unsafehel"),
    ([767.0, 405.0, 859.0, 503.0], 0.8727522492408752, "unsafehel"),
]


def device(dev_id):
    return {
        "dev_id": dev_id,
        "dev_no": "0001",
        "img": [],
        "dev_behavior": {"behavior_name": ["unsafehel"], "behavior_number": [1002001], "behavior_threshold": ["0.3"]},
        "dev_data": [{"someone": True, "unmanned": False, "night": True, "increase": True, "fast": False,
                      "filter": True, "object_size": "1920,1080"}],
        "ROI": [{"name": "unsafehel", "number": "1002001", "data": []}],
    }


def behavior(code, moved=False):
    rows = [row[:4] + [str(code), row[4]] for row in ROWS]
    if moved:
        rows[-1] = [167, 205, 259, 303, str(code), "0.8727522492408752"]
    return {"behavior_number": code, "boxes": rows, "person_number": 5}


def sample(*behaviors):
    triple = [[list(d[0]) for d in DETECTIONS], [d[1] for d in DETECTIONS], [d[2] for d in DETECTIONS]]
    return {"behavior": list(behaviors), "boxes": triple}


def converted_entry(code, roi_name, dev_id, behavior_info):
    """What the driver hands to main for one sample behaviour, after check_boxes kept it."""
    rois = roi_name or ""
    return {
        "behavior_number": code,
        "alarm_info": behavior_info + "-" + dev_id + rois,
        "alarm_info_dict": {"behavior_info": behavior_info, "info_name": dev_id, "info_ftime": "",
                            "info_type": "", "info_rois": rois},
        "result": [{"roi_name": roi_name, "boxes": [row[:4] for row in ROWS]}],
    }


def run(code, env_extra=None):
    env = dict(os.environ, PYTHONIOENCODING="utf-8")
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, env=env,
                          timeout=120)


@pytest.fixture(scope="module")
def main_job(tmp_path_factory):
    proc = subprocess.run([sys.executable, "-m", PACKAGE], capture_output=True, timeout=120,
                          cwd=str(tmp_path_factory.mktemp("job")), env=dict(os.environ, PYTHONIOENCODING="utf-8"))
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
    return proc


def blocks_of(stdout):
    lines = stdout.decode("utf-8").split("\n")
    assert lines[-1] == "", "output must end with a line feed"
    lines = lines[:-1]
    assert len(lines) % 8 == 0, lines
    blocks = []
    for b in range(0, len(lines), 8):
        block = lines[b:b + 8]
        assert block[0] == HEAD and block[7] == FOOT, block
        values = []
        for label, line in zip(LABELS, block[1:7]):
            assert line.startswith(label + " "), (label, line)
            values.append(line[len(label) + 1:])
        blocks.append(values)
    return blocks


def test_main_job_prints_three_analysis_blocks_and_nothing_else(main_job):
    assert main_job.stderr == b""
    blocks = blocks_of(main_job.stdout)
    assert [b[0] for b in blocks] == ["123", "123", "456"]
    for dev_id, static, departed, new, result, runtime in blocks:
        assert isinstance(ast.literal_eval(new), list)
        assert isinstance(ast.literal_eval(departed), list)
        assert isinstance(ast.literal_eval(runtime), float) and float(runtime) >= 0
    # A camera's first frame: every box is a new target, nothing is still yet.
    for first in (blocks[0], blocks[2]):
        assert first[1:4] == ["[]", "[]", "[0, 1, 2, 3, 4, 5]"]


def test_main_job_results(main_job):
    blocks = blocks_of(main_job.stdout)
    # Frame 1 of camera 123: both behaviours keep their alarm; 1002006 has no region
    # definition, so its region is unnamed.
    assert blocks[0][4] == str({"alarmBehavior": [
        converted_entry(1002001, "unsafehel", "123", "unsafehel"),
        converted_entry(1002006, None, "123", "1002006"),
    ]})
    # Frame 2 of camera 123: all six boxes of 1002001 stayed, five of six of 1002006
    # stayed (the sixth moved). A target seen twice is still being watched, so nothing is
    # still and both keep their alarm; the moved box starts a target, the old one coasts.
    result = ast.literal_eval(blocks[1][4])
    assert [e["behavior_number"] for e in result["alarmBehavior"]] == [1002001, 1002006]
    assert result["alarmBehavior"][0] == converted_entry(1002001, "unsafehel", "123", "unsafehel")
    assert [len(e["result"][0]["boxes"]) for e in result["alarmBehavior"]] == [6, 6]
    assert blocks[1][1:4] == ["[]", "[]", "[5]"]
    # Camera 456 is new: its first frame keeps the alarm.
    assert blocks[2][4] == str({"alarmBehavior": [converted_entry(1002001, "unsafehel", "456", "unsafehel")]})


DUMP = """
    import contextlib, io, json, sys
    from object_detection.post_processing.recognition_mode import __main__ as entry

    shown = io.StringIO()
    with contextlib.redirect_stdout(shown):
        m = entry.run()

    def containers(obj, found):
        if isinstance(obj, (list, dict)):
            found.append(id(obj))
            for v in obj.values() if isinstance(obj, dict) else obj:
                containers(v, found)
        return found

    ids = []
    for name in ("test_data", "data1", "data2", "data3"):
        containers(getattr(m, name), ids)
    print(json.dumps({
        "repr": {n: repr(getattr(m, n)) for n in ("test_data", "data1", "data2", "data3", "json_data", "i")},
        "order": [n for n in vars(m) if n in %r],
        "containers": len(ids),
        "distinct": len(set(ids)),
        "data": [m.data[k] is getattr(m, "data%%d" %% (k + 1)) for k in range(3)] + [len(m.data)],
        "json_data": m.json_data is m.test_data[2],
        "instance": type(m.recognition_mode) is m.RecognitionMode,
        "cameras": list(m.recognition_mode.dev_id),
        "printed": len(shown.getvalue().splitlines()),
        "is_main": sys.modules["__main__"] is m and m.__name__ == "__main__",
    }))
""" % (DRIVER_NAMES,)


def test_driver_binds_the_sample_documents_exactly():
    proc = run(DUMP)
    assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
    got = json.loads(proc.stdout.decode("utf-8"))
    expected = {
        "test_data": [device("123"), device("123"), device("456")],
        "data1": sample(behavior(1002001), behavior(1002006)),
        "data2": sample(behavior(1002001), behavior(1002006, moved=True)),
        "data3": sample(behavior(1002001)),
        "json_data": device("456"),
        "i": 2,
    }
    # repr pins key order and value types (1 vs 1.0 vs True vs "1").
    assert got["repr"] == {name: repr(value) for name, value in expected.items()}
    assert got["order"] == DRIVER_NAMES
    assert got["containers"] == got["distinct"], "documents must not share lists or maps"
    assert got["data"] == [True, True, True, 3]
    assert got["json_data"] and got["instance"] and got["is_main"]
    assert got["cameras"] == ["123", "456"]
    assert got["printed"] == 24


def test_driver_catches_nothing():
    # print fails at the first line of the second block: the run ends there with the
    # error, and the third frame is never processed.
    proc = run("""
        import builtins, json, sys
        from object_detection.post_processing.recognition_mode import __main__ as entry

        real_print, calls = builtins.print, []
        def print(*args, **kwargs):
            calls.append(args)
            if len(calls) == 9:
                raise RuntimeError("standard output is gone")
            real_print(*args, **kwargs)
        builtins.print = print
        try:
            entry.run()
        finally:
            m = sys.modules["__main__"]
            sys.stderr.write(json.dumps([m.i, list(m.recognition_mode.dev_id)]) + "\\n")
    """)
    assert proc.returncode == 1
    assert len(blocks_of(proc.stdout)) == 1
    err = proc.stderr.decode("utf-8").splitlines()
    assert err[-1] == "RuntimeError: standard output is gone"
    assert err[0] == '[1, ["123"]]'


def test_import_under_dotted_names_runs_nothing(mod, capsys):
    for name in DRIVER_NAMES:
        assert not hasattr(mod, name)
    entry = importlib.import_module(PACKAGE + ".__main__")
    assert entry.__name__ == PACKAGE + ".__main__"
    assert capsys.readouterr() == ("", "")
    assert sys.modules["__main__"] is not mod


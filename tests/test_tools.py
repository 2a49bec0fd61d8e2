"""recognition-mode record / detect / replay: the integrator's tuning tool.

Scenes are generated: a textured background with sensor noise, a parked rectangle and a
moving one, 160x120, a few dozen frames.
"""
import collections
import csv
import hashlib
import html.parser
import importlib.util
import json
import os
import shutil
import subprocess
import sys

import cv2
import numpy as np
import pytest

from recognition_mode_tools import Recorder, RecordingError, cli, engine, open_recording

MAIN = "object_detection.post_processing.recognition_mode.main"
W, H = 160, 120


def scene(frames, seed):
    """(picture, boxes) per frame: a parked box, and a moving one that leaves now and then."""
    rng = np.random.RandomState(seed)
    bg = cv2.GaussianBlur(rng.randint(0, 255, (H, W, 3)).astype(np.uint8), (0, 0), 2)
    out = []
    for i in range(frames):
        f = bg.copy()
        boxes = [[10, 60, 40, 100]]
        cv2.rectangle(f, (10, 60), (40, 100), (0, 0, 255), -1)
        if i % 10 < 7:
            x = 20 + 5 * i % 110
            boxes.append([x, 20, x + 20, 50])
            cv2.rectangle(f, (x, 20), (x + 20, 50), (255, 255, 0), -1)
        out.append((np.clip(f + rng.normal(0, 2, f.shape), 0, 255).astype(np.uint8), boxes))
    return out


def document(camera, boxes, frame):
    halves = [("left", [[0, 0], [80, 0], [80, 120], [0, 120]], lambda b: b[0] < 80),
              ("right", [[80, 0], [160, 0], [160, 120], [80, 120]], lambda b: b[0] >= 80),
              ("", [[0, 0], [159, 119]], lambda b: True)]  # unnamed: clears its behaviour when still
    return {"alarmBehavior": [
        {"behavior_number": 7, "alarm_info": "", "result": [
            {"roi_name": name, "roi": roi, "boxes": [b for b in boxes if keep(b)]} for name, roi, keep in halves[:2]],
         "alarm_info_dict": {"behavior_info": "p", "info_name": str(camera), "info_ftime": str(frame),
                             "info_type": "1", "info_rois": ""}},
        {"behavior_number": "8", "alarm_info": "", "result": [
            {"roi_name": halves[2][0], "roi": halves[2][1], "boxes": [list(b) for b in boxes]}],
         "alarm_info_dict": {"behavior_info": "q", "info_name": str(camera), "info_ftime": "",
                             "info_type": "2", "info_rois": ""}}],
        "frame_note": frame}


def host_run(mod, rec, frames=24, thresholds=None):
    """A host's loop over two cameras, both modes, a clock that crosses the refresh period;
    returns the documents main gave back. Recorded when rec is given."""
    saved = {n: getattr(mod, n) for n in ("move_thr", "iou_thr", "pix_thr", "get_current_time")}
    now = [0.0]
    mod.get_current_time = lambda: now[0]
    for name, value in (thresholds or {}).items():
        setattr(mod, name, value)
    cams = {"gate": scene(frames, 1), 12: scene(frames, 2)}
    buf = np.zeros((H, W, 3), np.uint8)  # the host reuses one frame buffer
    recognizer = mod.RecognitionMode()
    outs = []
    try:
        for i in range(frames):
            for cam, pictures in cams.items():
                now[0] = 70.0 * i
                np.copyto(buf, pictures[i][0])
                mode = "TargetRadius" if (i // 6) % 2 else "MoveDetect"
                doc = document(cam, pictures[i][1], i)
                if rec is None:
                    out = recognizer.main(buf, cam, doc, mode)
                else:
                    out = rec.call(recognizer, buf, cam, doc, mode)
                outs.append(json.dumps(out, sort_keys=True))
    finally:
        for name, value in saved.items():
            setattr(mod, name, value)
    return outs


def folder_digest(folder):
    h = hashlib.sha256()
    for root, dirs, files in sorted(os.walk(folder)):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            h.update(path.encode())
            with open(path, "rb") as fh:
                h.update(fh.read())
    return h.hexdigest()


@pytest.fixture(scope="module")
def recorded(mod, tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("rec") / "gate")
    with Recorder(folder) as rec:
        live = host_run(mod, rec)
    return folder, live


def test_replay_gives_the_direct_calls_documents(mod, recorded):
    folder, live = recorded
    # Recording changes nothing the calls return.
    assert host_run(mod, None) == live
    other = {"move_thr": 4, "iou_thr": 0.5, "pix_thr": 0.6}
    direct_other = host_run(mod, None, thresholds=other)
    assert direct_other != live
    got = collections.defaultdict(list)
    settings = [engine.Setting(mod.move_thr, mod.iou_thr, mod.pix_thr, 1, None),
                engine.Setting(other["move_thr"], other["iou_thr"], other["pix_thr"], 1, None)]
    res = engine.replay(open_recording(folder), mod, settings,
                        on_call=lambda si, call, out: got[si].append(json.dumps(out, sort_keys=True)))
    # Settings replayed side by side in one pass each see only their own thresholds.
    assert got[0] == live
    assert got[1] == direct_other
    assert res.totals(0).motion and res.totals(0).still and res.totals(0).kept
    assert (mod.move_thr, mod.iou_thr, mod.pix_thr) == (settings[0].move_thr, settings[0].iou_thr, settings[0].pix_thr)
    # The frames come back as the live calls saw them.
    call, picture = next(iter(open_recording(folder)))
    assert (call["dev_id"], call["frame"]) == ("gate", 0)
    assert np.array_equal(picture, scene(1, 1)[0][0])


class Tables(html.parser.HTMLParser):
    """Text of the cells of every table with an id."""

    def __init__(self):
        html.parser.HTMLParser.__init__(self)
        self.tables, self.current, self.row, self.cell = {}, None, None, None

    def handle_starttag(self, tag, attrs):
        if tag == "table" and dict(attrs).get("id"):
            self.current = self.tables.setdefault(dict(attrs)["id"], [])
        elif tag == "tr" and self.current is not None:
            self.row = []
        elif tag in ("td", "th") and self.row is not None:
            self.cell = []

    def handle_endtag(self, tag):
        if tag == "table":
            self.current = None
        elif tag == "tr" and self.row is not None:
            self.current.append(self.row)
            self.row = None
        elif tag in ("td", "th") and self.cell is not None:
            self.row.append("".join(self.cell).strip())
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def tool(*args, **kw):
    return subprocess.run([sys.executable, "-m", "recognition_mode_tools"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, **kw)


def test_detect_then_replay_report_counts_equal_the_csv(tmp_path):
    video = str(tmp_path / "street.avi")
    writer = cv2.VideoWriter(video, cv2.CAP_OPENCV_MJPEG, cv2.VideoWriter_fourcc(*"MJPG"), 10, (W, H))
    for picture, _ in scene(24, 3):
        writer.write(picture)
    writer.release()
    regions = tmp_path / "regions.json"
    regions.write_text(json.dumps({"west": [[0, 0], [80, 0], [80, 119], [0, 119]],
                                   "east": [[80, 0], [159, 0], [159, 119], [80, 119]]}))
    rec = str(tmp_path / "rec")
    p = tool("detect", video, "--out", rec, "--regions", str(regions), "--detector", "motion", "--behavior", "3")
    assert p.returncode == 0, p.stderr
    truth = tmp_path / "truth.csv"
    truth.write_text("camera,behaviour,region,first,last,label\nstreet,3,west,0,23,activity\n"
                     "street,*,east,0,23,nuisance\n")
    out_csv, report = str(tmp_path / "rows.csv"), str(tmp_path / "report")
    before = folder_digest(rec)
    p = tool("replay", rec, "--move-thr", "4:12:4", "--mode", "MoveDetect,TargetRadius", "--csv", out_csv,
             "--report", report, "--truth", str(truth), "--show", "move_thr=12,mode=MoveDetect", "--no-progress")
    assert p.returncode == 0, p.stderr
    assert folder_digest(rec) == before
    assert "suggested:" in p.stdout or "holds it back" in p.stdout
    with open(out_csv, newline="") as fh:
        rows = list(csv.DictReader(fh))
    assert {r["mode"] for r in rows} == {"MoveDetect", "TargetRadius"}
    per_setting = collections.OrderedDict()
    per_region = collections.defaultdict(collections.Counter)
    for r in rows:
        if not r["decision"]:
            continue
        motion = r["mode"] != "TargetRadius"
        key = ("move_thr=%s iou_thr=%s pix_thr=%s" % (r["move_thr"] if motion else "-", "-" if motion else r["iou_thr"],
                                                     "-" if motion else r["pix_thr"]), r["every"], r["mode"])
        c = per_setting.setdefault(key, collections.Counter())
        c["in"] += 1
        c[r["reason"] or "kept"] += 1
        per_region[key, r["region"]][r["reason"] or "kept"] += 1
        per_region[key, r["region"]]["in"] += 1
    parser = Tables()
    with open(os.path.join(report, "index.html"), encoding="utf-8") as fh:
        page = fh.read()
    parser.feed(page)
    shown = None
    settings = parser.tables["settings"][1:]
    assert len(settings) == len(per_setting) == 4  # TargetRadius once: move_thr is not its threshold
    for cells in settings:
        key = (cells[0], cells[1], cells[2])
        c = per_setting[key]
        assert [int(x) for x in cells[3:7]] == [c["in"], c["kept"], c["motion"], c["still"]]
    shown = page.split("<h2>Per camera and region: ")[1].split("</h2>")[0]
    shown_key = [k for k in per_setting if "%s every=%s mode=%s" % k == shown.replace("&quot;", '"')]
    assert shown_key, shown
    for cells in parser.tables["summary"][1:]:
        if cells[1] in ("(all)", ""):
            continue
        c = per_region[shown_key[0], cells[2]]
        assert [int(x) for x in cells[3:7]] == [c["in"], c["kept"], c["motion"], c["still"]]
    if importlib.util.find_spec("matplotlib") is None:
        assert "Plots need matplotlib" in page
    assert "data:image/jpeg;base64," in page  # contact sheets without any extra


def test_host_root_supplies_module_and_hyper_para(mod, recorded, tmp_path):
    folder, _ = recorded
    installed = os.path.dirname(importlib.util.find_spec("object_detection").origin)
    host = tmp_path / "host"
    shutil.copytree(installed, str(host / "object_detection"), ignore=shutil.ignore_patterns("__pycache__"))
    (host / "object_detection" / "utils" / "parametar.py").write_text(
        "class P:\n    iou_threshold = 0.4\n    pix_iou_threshold = 0.7\n    move_threshold = 13\nHYPER_PARA = P()\n")
    p = tool("replay", folder, "--host-root", str(host), "--regions", "none", "--no-progress", cwd=str(tmp_path))
    assert p.returncode == 0, p.stderr
    assert "move_thr=13 iou_thr=0.4 pix_thr=0.7" in p.stdout


def _garble_line(folder, lineno):
    path = os.path.join(folder, "calls.jsonl")
    with open(path) as fh:
        lines = fh.readlines()
    lines[lineno - 1] = lines[lineno - 1][:40] + "\n"
    with open(path, "w") as fh:
        fh.writelines(lines)


def _drop_frame(folder, lineno):
    with open(os.path.join(folder, "calls.jsonl")) as fh:
        call = json.loads(fh.readlines()[lineno - 1])
    os.remove(os.path.join(folder, call["image"]))


def _bad_outline(folder, lineno):
    path = os.path.join(folder, "calls.jsonl")
    with open(path) as fh:
        lines = fh.readlines()
    call = json.loads(lines[lineno - 1])
    call["result"]["alarmBehavior"][0]["result"][1]["roi"] = [[5, 5]]
    lines[lineno - 1] = json.dumps(call) + "\n"
    with open(path, "w") as fh:
        fh.writelines(lines)


def _other_build(folder, lineno):
    path = os.path.join(folder, "recording.json")
    with open(path) as fh:
        meta = json.load(fh)
    meta["module"].update(sha256="0" * 64, version="0.0.9")
    with open(path, "w") as fh:
        json.dump(meta, fh)


def _cut_unclosed(folder, lineno):
    path = os.path.join(folder, "recording.json")
    with open(path) as fh:
        meta = json.load(fh)
    meta["closed"] = False
    with open(path, "w") as fh:
        json.dump(meta, fh)
    with open(os.path.join(folder, "calls.jsonl"), "rb+") as fh:
        fh.seek(-30, os.SEEK_END)
        fh.truncate()


# Calls alternate between the cameras: line 2i+1 is camera gate's frame i, line 2i+2 camera 12's.
@pytest.mark.parametrize("spoil, line, status, message", [
    (_garble_line, 9, 1, "calls.jsonl line 9: not a JSON object"),
    (_drop_frame, 10, 1, "camera 12 frame 4 (%s line 10): the picture"),
    (_bad_outline, 15, 1, "camera gate frame 7 (%s line 15), behaviour 7 region 'right' (alarmBehavior[0].result[1], "
                          "outline [[5, 5]]): the module rejected the call in mode MoveDetect: IndexError"),
    (_other_build, None, 0, "warning: recorded with the module"),
    (_cut_unclosed, None, 0, "is cut short (the recording was not closed)"),
], ids=["bad-json-line", "missing-frame", "rejected-outline", "other-module-build", "cut-last-line"])
def test_bad_recordings_name_the_place_and_leave_no_output(mod, recorded, tmp_path, capsys, spoil, line, status,
                                                           message):
    folder = str(tmp_path / "rec")
    shutil.copytree(recorded[0], folder)
    spoil(folder, line)
    before = folder_digest(folder)
    bound = (mod.move_thr, mod.get_current_time)
    out_csv, report = str(tmp_path / "rows.csv"), str(tmp_path / "report")
    rc = cli.main(["replay", folder, "--mode", "MoveDetect", "--csv", out_csv, "--report", report, "--no-progress"])
    err = capsys.readouterr().err
    assert rc == status, err
    assert (message % os.path.join(folder, "calls.jsonl") if "%s" in message else message) in err
    assert folder_digest(folder) == before
    assert os.path.exists(out_csv) == os.path.exists(report) == (status == 0)
    assert [n for n in os.listdir(str(tmp_path)) if n.startswith(".")] == []
    assert (mod.move_thr, mod.get_current_time) == bound


@pytest.mark.parametrize("value, path", [
    ((1, 2, 3, 4), '["alarmBehavior"][0]["result"][0]["boxes"][0]'),
    (np.int64(7), '["alarmBehavior"][0]["result"][0]["boxes"][0]'),
    ([float("nan"), 0, 1, 1], '["alarmBehavior"][0]["result"][0]["boxes"][0][0]'),
])
def test_recorder_refuses_documents_json_cannot_hold(mod, tmp_path, value, path):
    doc = document("gate", [[1, 2, 3, 4]], 0)
    doc["alarmBehavior"][0]["result"][0]["boxes"][0] = value
    picture = scene(1, 1)[0][0]
    with Recorder(str(tmp_path / "rec")) as rec:
        with pytest.raises(RecordingError) as err:
            rec.record(picture, "gate", doc, "MoveDetect")
        assert "result" + path in str(err.value)
        rec.record(picture, "gate", document("gate", [[1, 2, 3, 4]], 1), "MoveDetect")
    calls = [call for call, _ in open_recording(str(tmp_path / "rec"))]
    assert [(c["frame"], c["result"]["frame_note"]) for c in calls] == [(0, 1)]

"""Replaying a recording through fresh RecognitionMode instances, one per setting.

One pass over the recording serves every setting of a sweep: each call's picture is
decoded once, and each setting's instance gets its own copy of the call's document, with
the module's thresholds and clock bound to that setting and to the recorded time just
before its call.
"""
import collections
import concurrent.futures
import json
import math
import time

from .recording import RecordingError
from .stage import Bindings, box_count, observing_class, regions_of

TARGET_RADIUS = "TargetRadius"
KEPT, MOTION, STILL = 1, 2, 3  # decision codes; 0: the region had no boxes (no alarm)
DECISION = {0: ("", ""), KEPT: ("kept", ""), MOTION: ("removed", "motion"), STILL: ("removed", "still")}


class ReplayError(Exception):
    pass


Setting = collections.namedtuple("Setting", "move_thr iou_thr pix_thr every mode")


def threshold_label(s):
    """The thresholds of a setting; '-' for one its mode never reads."""
    motion = s.mode is None or is_motion(s.mode)
    still = s.mode is None or not is_motion(s.mode)
    return "move_thr=%s iou_thr=%s pix_thr=%s" % (s.move_thr if motion else "-", s.iou_thr if still else "-",
                                                  s.pix_thr if still else "-")


def setting_label(s):
    mode = "recorded" if s.mode is None else s.mode
    return "%s every=%d mode=%s" % (threshold_label(s), s.every, mode)


def is_motion(mode):
    return mode != TARGET_RADIUS


class Counts(object):
    """Alarm counts of one setting for one camera, behaviour and region."""
    __slots__ = ("alarms", "kept", "motion", "still", "real", "real_lost", "nuisance", "nuisance_kept")

    def __init__(self):
        for name in self.__slots__:
            setattr(self, name, 0)

    def add(self, other):
        for name in self.__slots__:
            setattr(self, name, getattr(self, name) + getattr(other, name))
        return self

    def as_dict(self):
        return {name: getattr(self, name) for name in self.__slots__}


class Track(object):
    """One region's calls under one (every, mode) group, for the report's plots and sheets."""
    __slots__ = ("frames", "lines", "distances", "boxes", "decisions", "still")

    def __init__(self, n_settings):
        self.frames, self.lines, self.distances, self.boxes = [], [], [], []
        self.decisions = [bytearray() for _ in range(n_settings)]
        self.still = [[] for _ in range(n_settings)]


class Truth(object):
    """Labelled frame spans: (camera, behaviour, region) -> [(first, last, label)]; '*' matches any."""

    def __init__(self, spans, path):
        self.spans = spans
        self.path = path

    def label(self, camera, behaviour, region, frame):
        found = None
        for key in ((camera, behaviour, region), (camera, "*", region), (camera, behaviour, "*"), (camera, "*", "*")):
            for first, last, label in self.spans.get(key, ()):
                if first <= frame <= last:
                    if label == "activity":
                        return label  # any real activity makes the alarm a real one
                    found = label
        return found

    def cameras(self):
        return sorted({key[0] for key in self.spans})


class ReplayResult(object):
    def __init__(self, settings):
        self.settings = settings
        self.counts = [collections.OrderedDict() for _ in settings]  # (cam, beh, region) -> Counts
        self.tracks = collections.OrderedDict()  # (group, cam, beh, region) -> Track
        self.groups = []   # (every, mode) in order; settings[i] belongs to group_of[i]
        self.group_of = []
        self.calls = 0
        self.seconds = 0.0
        self.stage_seconds = 0.0
        self.decode_seconds = 0.0
        self.images = 0
        self.cameras = collections.OrderedDict()  # str(dev_id) -> calls

    def totals(self, index, camera=None):
        total = Counts()
        for key, c in self.counts[index].items():
            if camera is None or key[0] == camera:
                total.add(c)
        return total

    def per_camera(self, index):
        out = collections.OrderedDict()
        for key, c in self.counts[index].items():
            out.setdefault(key[0], Counts()).add(c)
        return out


def text_of(value):
    return "" if value is None else str(value)


def _decode_ahead(recording, calls, needs_image, lookahead=4):
    """(call, picture, seconds waited) with pictures decoded by two threads ahead of use."""
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
    pending = collections.deque()
    try:
        for call in calls:
            fut = pool.submit(recording.image, call) if needs_image(call) and call.get("image") else None
            pending.append((call, fut))
            if len(pending) > lookahead:
                yield _ready(pending.popleft())
        while pending:
            yield _ready(pending.popleft())
    finally:
        for _, fut in pending:
            if fut is not None:
                fut.cancel()
        pool.shutdown(wait=True)


def _ready(item):
    call, fut = item
    if fut is None:
        return call, None, 0.0
    t0 = time.perf_counter()
    picture = fut.result()
    return call, picture, time.perf_counter() - t0


def replay(recording, mod, settings, truth=None, rows=None, on_call=None, progress=None, keep_tracks=True):
    """Feed every call of the recording to one fresh instance per setting.

    rows(setting_index, call, fields) receives one dict per region visited;
    on_call(setting_index, call, returned document) each call's result.
    """
    res = ReplayResult(settings)
    groups = collections.OrderedDict()
    for s in settings:
        res.group_of.append(groups.setdefault((s.every, s.mode), len(groups)))
    res.groups = list(groups)
    cls = observing_class(mod)
    instances = [cls() for _ in settings]
    by_group = [[i for i, g in enumerate(res.group_of) if g == gi] for gi in range(len(groups))]

    def needs_image(call):
        return any(call["frame"] % every == 0 and is_motion(call["mode"] if mode is None else mode)
                   for every, mode in res.groups)

    start = time.perf_counter()
    with Bindings(mod) as bind:
        for call, picture, waited in _decode_ahead(recording, recording.calls(), needs_image):
            res.decode_seconds += waited
            res.calls += 1
            if picture is not None:
                res.images += 1
            camera = text_of(call["dev_id"])
            res.cameras[camera] = res.cameras.get(camera, 0) + 1
            for gi, (every, gmode) in enumerate(res.groups):
                if call["frame"] % every:
                    continue
                mode = call["mode"] if gmode is None else gmode
                motion = is_motion(mode)
                if motion and picture is None:
                    raise ReplayError("%s: mode %s compares pictures, and this call has none (%s)" % (
                        recording.where(call), mode, call.get("image_note") or "the host passed no picture"))
                for si in by_group[gi]:
                    _one(res, recording, bind, instances[si], si, gi, settings[si], call, picture, mode, motion,
                         camera, truth, rows, on_call, keep_tracks)
            if progress is not None:
                progress(1)
    res.seconds = time.perf_counter() - start
    return res


def _one(res, recording, bind, inst, si, gi, s, call, picture, mode, motion, camera, truth, rows, on_call,
         keep_tracks):
    doc = json.loads(call.raw_result)
    visited = regions_of(doc, motion)
    before = []
    for k, v, region in visited:
        behaviour = doc["alarmBehavior"][k].get("behavior_number")
        name = region.get("roi_name") if isinstance(region, dict) else None
        before.append((text_of(behaviour), text_of(name), box_count(region)))
    inst.begin()
    bind.use(s.move_thr, s.iou_thr, s.pix_thr, call["time"])
    t0 = time.perf_counter()
    try:
        out = inst.main(picture, call["dev_id"], doc, mode)
    except Exception as exc:
        raise ReplayError(_rejected(recording, call, mode, inst, motion, visited, before, exc))
    res.stage_seconds += time.perf_counter() - t0
    if on_call is not None:
        on_call(si, call, out)
    kept = set()
    for behaviour in out.get("alarmBehavior") or ():
        for region in behaviour.get("result") or ():
            kept.add(id(region))
    counts = res.counts[si]
    first_of_group = si == res.group_of.index(gi)
    for i, ((k, v, region), (beh, name, boxes)) in enumerate(zip(visited, before)):
        distance = inst.distances[i] if motion and i < len(inst.distances) else None
        if motion and distance is None and i < len(inst.distances):
            distance = 100  # nothing stored yet for this region: the module counts 100
        still = inst.still[i] if not motion and i < len(inst.still) else None
        if not boxes:
            code = 0
        elif id(region) in kept:
            code = KEPT
        else:
            code = MOTION if motion else STILL
        key = (camera, beh, name)
        c = counts.get(key)
        if c is None:
            c = counts[key] = Counts()
        label = None
        if code:
            c.alarms += 1
            if code == KEPT:
                c.kept += 1
            elif code == MOTION:
                c.motion += 1
            else:
                c.still += 1
            if truth is not None:
                label = truth.label(camera, beh, name, call["frame"])
                if label == "activity":
                    c.real += 1
                    c.real_lost += code != KEPT
                elif label == "nuisance":
                    c.nuisance += 1
                    c.nuisance_kept += code == KEPT
        if rows is not None:
            decision, reason = DECISION[code]
            rows(si, call, {
                "move_thr": s.move_thr, "iou_thr": s.iou_thr, "pix_thr": s.pix_thr, "every": s.every,
                "camera": camera, "frame": call["frame"], "behavior": beh, "region": name, "boxes": boxes,
                "distance": "" if distance is None else distance, "decision": decision, "reason": reason,
                "mode": mode, "still": "" if still is None else still, "truth": label or ""})
        if keep_tracks:
            tkey = (gi, camera, beh, name)
            track = res.tracks.get(tkey)
            if track is None:
                track = res.tracks[tkey] = Track(len(res.settings))
            if first_of_group:
                track.frames.append(call["frame"])
                track.lines.append(call.line)
                track.distances.append(-1 if distance is None else distance)
                track.boxes.append(boxes)
            track.decisions[si].append(code)
            track.still[si].append(-1 if still is None else still)


def _rejected(recording, call, mode, inst, motion, visited, before, exc):
    done = len(inst.distances) if motion else inst._tracked
    where = recording.where(call)
    if 0 < done <= len(visited):
        k, v, region = visited[done - 1]
        beh, name, _ = before[done - 1]
        outline = region.get("roi") if isinstance(region, dict) else None
        where += ", behaviour %s region %r (alarmBehavior[%d].result[%d]%s)" % (
            beh, name, k, v, ", outline %s" % json.dumps(outline) if motion else "")
    return "%s: the module rejected the call in mode %s: %s: %s" % (where, mode, type(exc).__name__, exc)


# ---------------------------------------------------------------- settings and truth

def parse_values(text, kind, name, low, high):
    """'V', 'A,B,C' or 'A:B:STEP' (B included) -> list of values of kind."""
    out = []
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        try:
            if ":" in part:
                a, b, step = [kind(x) for x in part.split(":")]
                if step <= 0:
                    raise ValueError
                digits = len(part.split(":")[2].partition(".")[2]) if kind is float else 0
                n = int(math.floor((b - a) / step + 1e-9)) + 1
                if n <= 0:
                    raise ReplayError("--%s %s: %s to %s gives no value" % (name, text, a, b))
                out.extend(round(a + i * step, digits) if kind is float else a + i * step for i in range(max(0, n)))
            else:
                out.append(kind(part))
        except ValueError:
            raise ReplayError("--%s %s: give V, A,B,C or A:B:STEP with %s values" % (
                name, text, "whole" if kind is int else "numeric"))
    bad = [v for v in out if not (low <= v <= high) or (kind is float and not math.isfinite(v))]
    if not out or bad:
        raise ReplayError("--%s %s: values must lie from %s to %s" % (name, text, low, high))
    seen = []
    for v in out:
        if v not in seen:
            seen.append(v)
    return seen


def read_truth(path):
    """CSV rows: camera, behaviour, region, first frame, last frame, activity|nuisance."""
    import csv
    spans = {}
    try:
        fh = open(path, newline="", encoding="utf-8")
    except OSError as exc:
        raise ReplayError("--truth %s: %s" % (path, exc.strerror or exc))
    with fh:
        for lineno, row in enumerate(csv.reader(fh), 1):
            if not row or not "".join(row).strip() or row[0].lstrip().startswith("#"):
                continue
            row = [x.strip() for x in row]
            if lineno == 1 and row[3:4] and not row[3].lstrip("-").isdigit():
                continue  # a header
            if len(row) != 6:
                raise ReplayError("%s line %d: %d fields; want camera, behaviour, region, first frame, "
                                  "last frame, activity or nuisance" % (path, lineno, len(row)))
            camera, behaviour, region, first, last, label = row
            try:
                first, last = int(first), int(last)
            except ValueError:
                raise ReplayError("%s line %d: frames %r and %r are not whole numbers" % (path, lineno, row[3], row[4]))
            if last < first:
                raise ReplayError("%s line %d: last frame %d before first frame %d" % (path, lineno, last, first))
            label = label.lower()
            if label not in ("activity", "nuisance"):
                raise ReplayError("%s line %d: %r is neither activity nor nuisance" % (path, lineno, row[5]))
            spans.setdefault((camera, behaviour, region), []).append((first, last, label))
    return Truth(spans, path)


def share(part, whole):
    return part / whole if whole else None


def suggest(res, bound):
    """Per every value: the setting that keeps real alarms lost <= bound on every camera with
    the fewest nuisance alarms kept, or why there is none. Returns a list of dicts."""
    out = []
    for every in sorted({s.every for s in res.settings}):
        idx = [i for i, s in enumerate(res.settings) if s.every == every]
        worst = {}
        ok = []
        for i in idx:
            cams = res.per_camera(i)
            lost = {cam: share(c.real_lost, c.real) for cam, c in cams.items() if c.real}
            worst[i] = lost
            if all(v <= bound + 1e-12 for v in lost.values()):
                ok.append(i)
        entry = {"every": every, "setting": None, "blocking": [], "closest": None}
        if not any(res.totals(i).real for i in idx):
            entry["note"] = "no alarm falls in an activity span of the truth file"
        if ok:
            entry["setting"] = min(ok, key=lambda i: (res.totals(i).nuisance_kept, res.totals(i).real_lost, i))
        else:
            closest = min(idx, key=lambda i: (max(worst[i].values() or [0]), res.totals(i).nuisance_kept, i))
            entry["closest"] = closest
            cams = sorted({cam for i in idx for cam in worst[i]})
            for cam in cams:
                best = min(((worst[i].get(cam, 0.0), i) for i in idx))
                entry["blocking"].append({"camera": cam, "best": best[0], "at": best[1],
                                          "at_closest": worst[closest].get(cam, 0.0),
                                          "never": best[0] > bound + 1e-12})
            entry["blocking"] = [b for b in entry["blocking"] if b["at_closest"] > bound + 1e-12]
        out.append(entry)
    return out

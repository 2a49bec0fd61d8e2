"""Make a recording from any video file, without a host: people found by OpenCV's HOG
detector become the boxes of the regions they stand in.

    recognition-mode detect VIDEO --out DIR [--camera ID] [--regions FILE.json]
                            [--region [NAME=]x,y x,y x,y ...] [--behavior N] [--mode M]
                            [--detector auto|hog|motion] [--detect-width W] [--max-frames N]

Regions are outlines in frame pixels: --regions takes a JSON list of outlines (each a list
of [x, y] points) or an object mapping region names to outlines; --region gives one on the
command line (repeat it for more). Default: one region, the whole frame. Each frame's
document carries every key the stage reads (alarm description, outline, boxes), so the
recording replays in both modes; a region without a person has no boxes (no alarm).
OpenCV 5 dropped the HOG detector: there (or with --detector motion) the boxes are the
moving blobs that background subtraction finds instead.
"""
import json
import os
import shutil
import sys
import tempfile

from .recording import Recorder, RecordingError


class DetectError(Exception):
    pass


def parse_outline(text, where):
    name, _, points = text.rpartition("=")
    try:
        outline = [[int(round(float(v))) for v in p.split(",")] for p in points.replace(";", " ").split()]
    except ValueError:
        outline = None
    if not outline or any(len(p) != 2 for p in outline):
        raise DetectError("%s %r: want [NAME=]x,y x,y x,y ..." % (where, text))
    return name or None, outline


def load_regions(path, inline):
    regions = []
    if path:
        try:
            with open(path, encoding="utf-8") as fh:
                data = json.load(fh)
        except OSError as exc:
            raise DetectError("--regions %s: %s" % (path, exc.strerror or exc))
        except ValueError as exc:
            raise DetectError("--regions %s: not JSON (%s)" % (path, exc))
        if isinstance(data, dict):
            items = list(data.items())
        elif isinstance(data, list):
            items = [("region%d" % (i + 1), o) for i, o in enumerate(data)]
        else:
            raise DetectError("--regions %s: want a list of outlines or an object of named outlines" % path)
        for name, outline in items:
            ok = isinstance(outline, list) and all(
                isinstance(p, list) and len(p) == 2 and all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                                           for v in p) for p in outline)
            if not ok:
                raise DetectError("--regions %s: region %s is not a list of [x, y] points" % (path, name))
            regions.append((str(name), [[int(round(v)) for v in p] for p in outline]))
    for i, text in enumerate(inline or ()):
        name, outline = parse_outline(text, "--region")
        regions.append((name or "region%d" % (len(regions) + 1), outline))
    return regions


def check_regions(regions, width, height):
    names = set()
    for name, outline in regions:
        if len(outline) < 3:
            raise DetectError("region %s: an outline needs at least 3 points" % name)
        xs, ys = [p[0] for p in outline], [p[1] for p in outline]
        if min(xs) < 0 or min(ys) < 0 or min(xs) >= width or min(ys) >= height or max(xs) <= min(xs) or max(ys) <= min(ys):
            raise DetectError("region %s %s lies outside the %dx%d frame or has no area" % (name, outline, width, height))
        if name in names:
            raise DetectError("two regions are named %s" % name)
        names.add(name)


class HogPeople(object):
    name = "hog"

    def __init__(self, cv2):
        self.cv2 = cv2
        self.hog = cv2.HOGDescriptor()
        self.hog.setSVMDetector(cv2.HOGDescriptor_getDefaultPeopleDetector())

    def __call__(self, frame):
        rects, weights = self.hog.detectMultiScale(frame, winStride=(8, 8), padding=(8, 8), scale=1.05)
        boxes = [[int(x), int(y), int(x + w), int(y + h)] for (x, y, w, h) in rects]
        scores = [float(w) for w in (weights.ravel() if len(boxes) else ())]
        return _nms(self.cv2, boxes, scores)


class MovingBlobs(object):
    """Boxes around what moves: background subtraction, cleaned up, one box per blob."""
    name = "motion"

    def __init__(self, cv2):
        self.cv2 = cv2
        self.sub = cv2.createBackgroundSubtractorMOG2(history=200, varThreshold=25, detectShadows=False)
        self.kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5))
        self.frames = 0

    def __call__(self, frame):
        cv2 = self.cv2
        mask = self.sub.apply(frame)
        self.frames += 1
        if self.frames < 3:  # the model is still learning the background
            return []
        mask = cv2.morphologyEx(mask, cv2.MORPH_OPEN, self.kernel)
        mask = cv2.dilate(mask, self.kernel, iterations=2)
        found = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        contours = found[0] if len(found) == 2 else found[1]
        least = max(30, frame.shape[0] * frame.shape[1] // 800)
        boxes = []
        for c in contours:
            x, y, w, h = cv2.boundingRect(c)
            if w * h >= least:
                boxes.append([x, y, x + w, y + h])
        return sorted(boxes)


def _nms(cv2, boxes, scores):
    if len(boxes) < 2:
        return boxes
    keep = cv2.dnn.NMSBoxes([[b[0], b[1], b[2] - b[0], b[3] - b[1]] for b in boxes], scores, 0.0, 0.4)
    return [boxes[int(i)] for i in (keep.ravel() if hasattr(keep, "ravel") else keep)]


def make_detector(cv2, which):
    has_hog = hasattr(cv2, "HOGDescriptor")
    if which == "hog" and not has_hog:
        raise DetectError("OpenCV %s has no HOG people detector (OpenCV 5 dropped it); use --detector motion "
                          "or an OpenCV 4 (pip install 'opencv-python-headless<5')" % cv2.__version__)
    if which == "hog" or (which == "auto" and has_hog):
        return HogPeople(cv2)
    if which == "auto":
        print("recognition-mode detect: OpenCV %s has no HOG people detector; boxes are moving blobs "
              "(--detector motion)" % cv2.__version__, file=sys.stderr)
    return MovingBlobs(cv2)


def region_boxes(cv2, np, outline, boxes):
    """The boxes whose centre lies in the outline (on its edge counts)."""
    contour = np.array(outline, np.int32).reshape(-1, 1, 2)
    return [b for b in boxes if cv2.pointPolygonTest(contour, ((b[0] + b[2]) / 2.0, (b[1] + b[3]) / 2.0), False) >= 0]


def document(camera, behavior, regions, per_region, stamp):
    return {"alarmBehavior": [{
        "behavior_number": behavior,
        "alarm_info": "",
        "alarm_info_dict": {"behavior_info": "person", "info_name": str(camera), "info_ftime": stamp,
                            "info_type": "1", "info_rois": ""},
        "result": [{"roi_name": name, "roi": outline, "boxes": boxes}
                   for (name, outline), boxes in zip(regions, per_region)],
    }]}


def configure(parser):
    parser.add_argument("video", help="any video file OpenCV can read")
    parser.add_argument("--out", required=True, help="the new recording's folder")
    parser.add_argument("--camera", help="camera id in the recording (default: the video's file name)")
    parser.add_argument("--regions", help="JSON: a list of outlines, or an object of named outlines")
    parser.add_argument("--region", action="append", help="[NAME=]x,y x,y x,y ... (repeatable)")
    parser.add_argument("--behavior", type=int, default=1, help="behaviour number of the alarms (default 1)")
    parser.add_argument("--mode", default="MoveDetect",
                        help="mode recorded with each call (default MoveDetect; replay --mode overrides it)")
    parser.add_argument("--detector", choices=("auto", "hog", "motion"), default="auto",
                        help="auto: HOG people where OpenCV has it, else moving blobs")
    parser.add_argument("--detect-width", type=int, default=640,
                        help="detect on a copy scaled down to this width (frames are recorded as they are)")
    parser.add_argument("--max-frames", type=int, help="stop after this many frames")


def run(args):
    import cv2
    import numpy as np
    camera = args.camera or os.path.splitext(os.path.basename(args.video))[0]
    out = os.path.abspath(args.out)
    tmp = None
    try:
        if os.path.exists(out) and os.listdir(out):
            raise DetectError("--out %s exists and is not empty" % out)
        if not os.path.isfile(args.video):
            raise DetectError("camera %s: no video file %s" % (camera, args.video))
        regions = load_regions(args.regions, args.region)
        cap = cv2.VideoCapture(args.video)
        if not cap.isOpened():
            raise DetectError("camera %s: OpenCV cannot open %s (frame 0)" % (camera, args.video))
        announced = int(cap.get(cv2.CAP_PROP_FRAME_COUNT) or 0)
        fps = cap.get(cv2.CAP_PROP_FPS) or 0.0
        if not fps > 0 or fps > 1000:
            fps = 10.0
        ok, frame = cap.read()
        if not ok or frame is None:
            raise DetectError("camera %s: no frame could be read from %s (frame 0)" % (camera, args.video))
        height, width = frame.shape[:2]
        if not regions:
            regions = [("frame", [[0, 0], [width, 0], [width, height], [0, height]])]
        check_regions(regions, width, height)
        detector = make_detector(cv2, args.detector)
        os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
        tmp = tempfile.mkdtemp(prefix="." + os.path.basename(out) + ".", dir=os.path.dirname(out))
        scale = min(1.0, float(args.detect_width) / width) if args.detect_width else 1.0
        n = 0
        alarms = 0
        clock = {"now": 0.0}
        with Recorder(tmp, clock=lambda: clock["now"], made_by="recognition-mode detect %s" % detector.name) as rec:
            while ok and (args.max_frames is None or n < args.max_frames):
                small = frame if scale >= 1.0 else cv2.resize(frame, (int(round(width * scale)), int(round(height * scale))),
                                                              interpolation=cv2.INTER_AREA)
                boxes = [[int(round(v / scale)) for v in b] for b in detector(small)]
                per_region = [region_boxes(cv2, np, outline, boxes) for _, outline in regions]
                alarms += sum(1 for b in per_region if b)
                seconds = n / fps
                clock["now"] = seconds
                stamp = "%02d:%02d:%06.3f" % (seconds // 3600, seconds % 3600 // 60, seconds % 60)
                rec.record(frame, camera, document(camera, args.behavior, regions, per_region, stamp), args.mode)
                n += 1
                ok, frame = cap.read()
        cap.release()
        if announced and n < announced and (args.max_frames is None or n < args.max_frames):
            print("recognition-mode detect: warning: camera %s: %s ends at frame %d of the %d it announces"
                  % (camera, args.video, n, announced), file=sys.stderr)
        if os.path.isdir(out):
            os.rmdir(out)
        os.rename(tmp, out)
        tmp = None
        print("recorded %d frames of camera %s (%dx%d, %.3g fps, %d region%s, %s detector, %d alarms) into %s"
              % (n, camera, width, height, fps, len(regions), "" if len(regions) == 1 else "s", detector.name,
                 alarms, out))
    except (DetectError, RecordingError) as exc:
        print("recognition-mode detect: %s" % exc, file=sys.stderr)
        return 1
    finally:
        if tmp is not None:
            shutil.rmtree(tmp, ignore_errors=True)
    return 0

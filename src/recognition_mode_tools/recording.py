"""Recordings of a host's calls: what ``main`` was given, call by call, with the frames.

A recording is a folder:

    recording.json    what made it: the module (file, sha256, version), its thresholds,
                      OpenCV's version, whether it was closed
    calls.jsonl       one JSON object per call, in call order: dev_id, frame (index within
                      that camera), time (what get_current_time gave), mode, result (the
                      recognition result as it came in), image (the frame's file or null)
    frames/CAM/NNNNNN.png
                      the frames, one PNG each: lossless, so every region's hash is the
                      one the live call computed; one file per frame keeps a recording cut
                      short by a crash readable up to its last whole call
"""
import atexit
import hashlib
import json
import math
import os
import queue
import re
import sys
import threading
import time
import warnings

MAIN = "object_detection.post_processing.recognition_mode.main"
FORMAT = "recognition-mode-recording"
FORMAT_VERSION = 1
META = "recording.json"
CALLS = "calls.jsonl"
FRAMES = "frames"
DIST = "object-detection-recognition-mode"


class RecordingError(ValueError):
    """A document or picture that cannot be recorded, or a recording that cannot be read."""


class RecordingWarning(UserWarning):
    pass


# ---------------------------------------------------------------- documents as JSON

def _path_text(path):
    return "".join("[%s]" % json.dumps(p, ensure_ascii=False) for p in path)


def check_json(value, where="result"):
    """Raise RecordingError naming the key path of the first value JSON cannot hold as is.

    Tuples, numpy numbers, non-text keys and NaN would come back from JSON as something
    else, and the replay would then feed the module another document than the live call.
    """
    stack = [(value, ())]
    while stack:
        obj, path = stack.pop()
        kind = type(obj)
        if obj is None or kind is bool or kind is str or kind is int:
            continue
        if kind is float:
            if not math.isfinite(obj):
                raise RecordingError("%s%s is %r, which JSON cannot hold" % (where, _path_text(path), obj))
            continue
        if kind is list:
            stack.extend((item, path + (i,)) for i, item in reversed(list(enumerate(obj))))
            continue
        if kind is dict:
            items = []
            for key, item in obj.items():
                if type(key) is not str:
                    raise RecordingError("%s%s has the key %r (%s); JSON keys are texts"
                                         % (where, _path_text(path), key, type(key).__name__))
                items.append((item, path + (key,)))
            stack.extend(reversed(items))
            continue
        raise RecordingError("%s%s is a %s (%r), which JSON cannot hold as it is"
                             % (where, _path_text(path), type(obj).__module__ + "." + kind.__name__
                                if kind.__module__ != "builtins" else kind.__name__, obj))


# ---------------------------------------------------------------- the module's identity

_identity_cache = {}


def module_identity(mod):
    """{'file', 'sha256', 'version'} of a loaded stage module (version None if unknown)."""
    path = os.path.realpath(getattr(mod, "__file__", "") or "")
    if path in _identity_cache:
        return dict(_identity_cache[path])
    digest = None
    if os.path.isfile(path):
        h = hashlib.sha256()
        with open(path, "rb") as fh:
            for block in iter(lambda: fh.read(1 << 20), b""):
                h.update(block)
        digest = h.hexdigest()
    version = None
    try:
        from importlib import metadata
        dist = metadata.distribution(DIST)
        for f in dist.files or ():
            if os.path.realpath(str(dist.locate_file(f))) == path:
                version = dist.version
                break
    except Exception:  # no metadata: a host tree or a copied build
        pass
    ident = {"file": path, "sha256": digest, "version": version}
    _identity_cache[path] = ident
    return dict(ident)


def thresholds_of(mod):
    return {"move_thr": mod.move_thr, "iou_thr": mod.iou_thr, "pix_thr": mod.pix_thr}


def _opencv_version():
    cv2 = sys.modules.get("cv2")
    return getattr(cv2, "__version__", None)


def write_json_atomic(path, obj):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(obj, fh, indent=1, ensure_ascii=False, sort_keys=True)
        fh.write("\n")
    os.replace(tmp, path)


# ---------------------------------------------------------------- recorder

def _png_params(cv2):
    # Level 1 with the Sub filter: about as small as the default, several times faster.
    params = [cv2.IMWRITE_PNG_COMPRESSION, 1]
    if hasattr(cv2, "IMWRITE_PNG_FILTER"):
        params += [cv2.IMWRITE_PNG_FILTER, cv2.IMWRITE_PNG_FILTER_SUB]
    return params


def _camera_folder(index, dev_id):
    safe = re.sub(r"[^A-Za-z0-9_.-]+", "_", str(dev_id))[:40].strip("._") or "cam"
    return "c%03d_%s" % (index, safe)


class Recorder:
    """Records a host's calls of ``RecognitionMode.main``.

        rec = Recorder("/data/rec-gate")                  # a new or empty folder
        ...
        rec.record(im, dev_id, out_result_dict, mode)     # just before the host's call
        out = recognizer.main(im, dev_id, out_result_dict, mode)
        ...
        rec.close()

    or ``out = rec.call(recognizer, im, dev_id, out_result_dict, mode)`` for both lines.
    ``record`` reads the document and the picture and nothing else: the call returns and
    edits what it would without it. The document is turned into its JSON line at once,
    before ``main`` edits it; frames are written by a background thread (``background``),
    so the host waits only when the writers fall ``queue_frames`` frames behind. A
    document JSON cannot hold raises RecordingError naming its key path and is not
    recorded; the recorder goes on with the next call.
    """

    def __init__(self, folder, background=True, queue_frames=8, writers=2, clock=None, made_by=None):
        # clock: read instead of the module's get_current_time by a caller that makes up its
        # calls (detect); such a recording names no module, since none decided anything.
        self._clock = clock
        self._made_by = made_by
        self.folder = os.path.abspath(folder)
        if os.path.exists(os.path.join(self.folder, CALLS)) or os.path.exists(os.path.join(self.folder, META)):
            raise RecordingError("%s already holds a recording; record into a new folder" % self.folder)
        os.makedirs(os.path.join(self.folder, FRAMES), exist_ok=True)
        self._cameras = {}   # (type name, dev_id) -> [folder, next frame index]
        self._calls = 0
        self._meta = None
        self._failure = None
        self._closed = False
        self._lock = threading.Lock()
        self._out = open(os.path.join(self.folder, CALLS), "a", encoding="utf-8")
        self._queue = self._pool = None
        if background:
            import concurrent.futures
            # PNG encoding releases the GIL: two writers keep up with a 1080p camera at 10 fps
            # on two cores; the lines still go out in call order, each after its frame.
            self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, int(writers)))
            self._queue = queue.Queue(maxsize=max(1, int(queue_frames)))
            self._thread = threading.Thread(target=self._drain, name="recognition-mode-recorder", daemon=True)
            self._thread.start()
        # A host that exits without close() still gets the frames it queued.
        atexit.register(self.close)

    # -- what the host calls

    def record(self, im, dev_id, out_result_dict, mode):
        """Record one call (before ``main`` edits the document); returns the call's line."""
        self._raise_failure()
        if self._closed:
            raise RecordingError("the recorder of %s is closed" % self.folder)
        if type(dev_id) not in (str, int) or type(dev_id) is bool:
            raise RecordingError("dev_id %r is a %s; a recording keeps text or integer camera ids"
                                 % (dev_id, type(dev_id).__name__))
        if type(mode) is not str:
            raise RecordingError("mode %r is a %s; a recording keeps text modes" % (mode, type(mode).__name__))
        check_json(out_result_dict)
        mod = None
        if self._clock is None:
            mod = sys.modules.get(MAIN)
            if mod is None:
                import importlib
                mod = importlib.import_module(MAIN)
            stamp = mod.get_current_time()
        else:
            stamp = self._clock()
        if type(stamp) not in (int, float) or (type(stamp) is float and not math.isfinite(stamp)):
            raise RecordingError("get_current_time() gave %r; a recording keeps finite numbers" % (stamp,))
        picture, note = self._picture(im)
        with self._lock:
            key = (type(dev_id).__name__, dev_id)
            cam = self._cameras.get(key)
            if cam is None:
                cam = self._cameras[key] = [_camera_folder(len(self._cameras), dev_id), 0]
            frame = cam[1]
            image = None
            if picture is not None:
                image = "%s/%s/%06d.png" % (FRAMES, cam[0], frame)
            line = {"dev_id": dev_id, "frame": frame, "time": stamp, "mode": mode,
                    "result": out_result_dict, "image": image}
            if note:
                line["image_note"] = note
            text = json.dumps(line, ensure_ascii=False, allow_nan=False, separators=(",", ":")) + "\n"
            cam[1] += 1
            self._calls += 1
            if self._meta is None:
                self._meta = {"format": FORMAT, "format_version": FORMAT_VERSION,
                              "module": module_identity(mod) if mod else None,
                              "thresholds": thresholds_of(mod) if mod else None, "opencv": _opencv_version(),
                              "frames": "png", "created": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                              "made_by": self._made_by or "Recorder", "closed": False}
                write_json_atomic(os.path.join(self.folder, META), self._meta)
            if self._queue is None:
                if picture is not None:
                    self._write_frame(image, picture)
                self._write_line(text)
            else:
                # Queued under the lock: calls from several threads keep their frame order.
                frame_job = self._pool.submit(self._write_frame, image, picture) if picture is not None else None
                self._queue.put((frame_job, text))
        return line

    def call(self, recognizer, im, dev_id, out_result_dict, mode):
        """``record`` then ``recognizer.main``; returns what ``main`` returns."""
        self.record(im, dev_id, out_result_dict, mode)
        return recognizer.main(im, dev_id, out_result_dict, mode)

    def close(self):
        """Write what is queued, mark the recording closed. Safe to call twice."""
        if self._closed:
            return
        self._closed = True
        atexit.unregister(self.close)
        if self._queue is not None:
            self._queue.put(None)
            self._thread.join()
            self._pool.shutdown(wait=True)
        self._out.close()
        if self._failure is None:
            meta = dict(self._meta or {"format": FORMAT, "format_version": FORMAT_VERSION, "frames": "png"})
            meta.update(closed=True, calls=self._calls,
                        cameras={str(dev): {"folder": f, "frames": n, "id": dev}
                                 for (_, dev), (f, n) in self._cameras.items()})
            write_json_atomic(os.path.join(self.folder, META), meta)
        self._raise_failure()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- inside

    def _picture(self, im):
        """A copy of the picture to store, or (None, why not)."""
        if im is None:
            return None, None
        shape = getattr(im, "shape", None)
        dtype = str(getattr(im, "dtype", ""))
        if shape is None or dtype not in ("uint8", "uint16") or not (
                len(shape) == 2 or (len(shape) == 3 and shape[2] in (1, 3, 4))) or 0 in shape:
            return None, "not stored: %s %s" % (type(im).__name__, "x".join(map(str, shape or ())) or dtype)
        # The host may reuse its buffer after the call: the writer gets its own copy.
        return (im.copy() if self._queue is not None else im), None

    def _write_frame(self, image, picture):
        import cv2
        path = os.path.join(self.folder, image)
        folder = os.path.dirname(path)
        if not os.path.isdir(folder):
            os.makedirs(folder, exist_ok=True)
        if not cv2.imwrite(path, picture, _png_params(cv2)):
            raise RecordingError("cannot write %s" % path)

    def _write_line(self, text):
        # The line goes after its frame: a cut recording never names a missing frame.
        self._out.write(text)
        self._out.flush()

    def _drain(self):
        while True:
            job = self._queue.get()
            if job is None:
                return
            frame_job, text = job
            if self._failure is None:
                try:
                    if frame_job is not None:
                        frame_job.result()
                    self._write_line(text)
                except BaseException as exc:  # reported to the host on its next call
                    self._failure = exc

    def _raise_failure(self):
        if self._failure is not None:
            exc, self._failure = self._failure, None
            raise RecordingError("recording into %s failed: %s" % (self.folder, exc)) from exc


# ---------------------------------------------------------------- reading

class Call(dict):
    """One recorded call: the JSON object of its line; ``line`` is its line number."""
    line = 0
    raw_result = ""


def _bad(path, lineno, what):
    return RecordingError("%s line %d: %s" % (path, lineno, what))


class Recording:
    """A recording folder, opened read-only. Iterating gives (call, picture) in call order."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.calls_path = os.path.join(self.folder, CALLS)
        meta_path = os.path.join(self.folder, META)
        if not os.path.isfile(self.calls_path):
            raise RecordingError("%s is not a recording: it has no %s" % (self.folder, CALLS))
        self.meta = {}
        if os.path.isfile(meta_path):
            try:
                with open(meta_path, encoding="utf-8") as fh:
                    self.meta = json.load(fh)
            except ValueError as exc:
                raise RecordingError("%s: %s" % (meta_path, exc))
            if not isinstance(self.meta, dict) or self.meta.get("format") != FORMAT:
                raise RecordingError("%s is not a recording description" % meta_path)
            if self.meta.get("format_version", 0) > FORMAT_VERSION:
                raise RecordingError("%s was written by a newer version of this tool (format %s)"
                                     % (meta_path, self.meta.get("format_version")))
        self.closed = bool(self.meta.get("closed"))
        self._count = None

    def __len__(self):
        if self._count is None:
            with open(self.calls_path, "rb") as fh:
                self._count = sum(1 for line in fh if line.strip())
        return self._count

    def calls(self):
        """The calls, checked, without their pictures."""
        last_frame = {}
        with open(self.calls_path, "rb") as fh:
            for lineno, raw in enumerate(fh, 1):
                if not raw.strip():
                    continue
                try:
                    obj = json.loads(raw.decode("utf-8"))
                except ValueError as exc:
                    if not raw.endswith(b"\n") and not self.closed:
                        warnings.warn("%s line %d is cut short (the recording was not closed); the calls "
                                      "before it are replayed" % (self.calls_path, lineno), RecordingWarning)
                        return
                    raise _bad(self.calls_path, lineno, "not a JSON object (%s)" % exc)
                yield self._check(obj, lineno, last_frame)

    def _check(self, obj, lineno, last_frame):
        p = self.calls_path
        if not isinstance(obj, dict):
            raise _bad(p, lineno, "not a JSON object")
        for key in ("dev_id", "frame", "time", "mode", "result"):
            if key not in obj:
                raise _bad(p, lineno, "no %r" % key)
        dev, frame, stamp = obj["dev_id"], obj["frame"], obj["time"]
        if type(dev) not in (str, int):
            raise _bad(p, lineno, "dev_id %r is not a text or an integer" % (dev,))
        if type(frame) is not int or frame < 0:
            raise _bad(p, lineno, "frame %r is not a whole number" % (frame,))
        if type(stamp) not in (int, float):
            raise _bad(p, lineno, "time %r is not a number" % (stamp,))
        if not isinstance(obj["result"], dict):
            raise _bad(p, lineno, "result is not a JSON object")
        key = (type(dev).__name__, dev)
        if key in last_frame and frame <= last_frame[key]:
            raise _bad(p, lineno, "camera %s: frame %d after frame %d" % (dev, frame, last_frame[key]))
        last_frame[key] = frame
        image = obj.get("image")
        if image is not None:
            parts = image.split("/") if isinstance(image, str) else None
            if not parts or os.path.isabs(image) or ".." in parts or "\\" in image:
                raise _bad(p, lineno, "image %r is not a file inside the recording" % (image,))
        call = Call(obj)
        call.line = lineno
        # The replay feeds each instance its own copy: parsing again is the cheapest deep copy.
        call.raw_result = json.dumps(obj["result"], ensure_ascii=False, separators=(",", ":"))
        return call

    def where(self, call):
        return "camera %s frame %d (%s line %d)" % (call["dev_id"], call["frame"], self.calls_path, call.line)

    def image(self, call):
        """The call's picture as the replay sees it (decoded from its PNG), or None."""
        image = call.get("image")
        if image is None:
            return None
        import cv2
        path = os.path.join(self.folder, *image.split("/"))
        if not os.path.isfile(path):
            raise RecordingError("%s: the picture %s is missing" % (self.where(call), path))
        picture = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        if picture is None:
            raise RecordingError("%s: the picture %s cannot be read" % (self.where(call), path))
        return picture

    def __iter__(self):
        for call in self.calls():
            yield call, self.image(call)


def open_recording(folder):
    """Open a recording: iterate it for (call, picture) in recorded order."""
    return Recording(folder)

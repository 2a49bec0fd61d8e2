"""The stage module seen from outside: loading it, setting its thresholds and clock, and an
instance that reports what each call removed and why.

Everything here goes through the module's public names. The module reads its thresholds
and clock from its namespace at each use and its methods call each other through the
instance, so rebinding those names and overriding methods that call ``super()`` changes
nothing the module decides.
"""
import importlib
import os
import sys

from .recording import MAIN


class StageError(Exception):
    pass


def load_stage(host_root=None):
    """The stage module: from host_root's object_detection tree, or the installed one."""
    if host_root is not None:
        root = os.path.realpath(host_root)
        if not os.path.isfile(os.path.join(root, "object_detection", "__init__.py")):
            raise StageError("--host-root %s has no object_detection/__init__.py" % host_root)
        loaded = sys.modules.get("object_detection")
        if loaded is not None and not _inside(getattr(loaded, "__file__", None), root):
            raise StageError("object_detection is already loaded from %s in this process; run the "
                             "replay in a process of its own" % getattr(loaded, "__file__", "?"))
        sys.path.insert(0, root)
    try:
        mod = importlib.import_module(MAIN)
    except ImportError as exc:
        where = " from %s" % host_root if host_root else ""
        raise StageError("cannot load %s%s: %s" % (MAIN, where, exc))
    if host_root is not None and not _inside(mod.__file__, root):
        raise StageError("--host-root %s: the module came from %s instead; drop it into the host "
                         "tree first (recognition-mode install)" % (host_root, mod.__file__))
    return mod


def _inside(path, root):
    return bool(path) and os.path.realpath(path).startswith(root + os.sep)


class Bindings:
    """Sets the module's thresholds and clock for one setting's calls; restores them after."""

    NAMES = ("move_thr", "iou_thr", "pix_thr", "get_current_time")

    def __init__(self, mod):
        self.mod = mod
        self.now = 0.0
        self._saved = None

    def clock(self):
        return self.now

    def __enter__(self):
        self._saved = {name: getattr(self.mod, name) for name in self.NAMES}
        self.mod.get_current_time = self.clock
        return self

    def use(self, move_thr, iou_thr, pix_thr, now):
        mod = self.mod
        mod.move_thr = move_thr
        mod.iou_thr = iou_thr
        mod.pix_thr = pix_thr
        self.now = now

    def __exit__(self, *exc):
        for name, value in self._saved.items():
            setattr(self.mod, name, value)


def observing_class(mod):
    """A RecognitionMode subclass whose instances log, per call, each region's hash
    distance (motion) or still-target count (TargetRadius), in the order the module
    visits the regions."""
    base = mod.RecognitionMode

    class Observed(base):
        def __init__(self):
            base.__init__(self)
            self.distances = []   # per region visited by move_detect: distance, or None
            self.still = []       # per region tracked by target_radius: still targets
            self._tracked = 0

        def begin(self):
            self.distances = []
            self.still = []
            self._tracked = 0

        def get_metrix(self, points):
            # move_detect starts each region here; distance() runs only with a stored hash.
            self.distances.append(None)
            return base.get_metrix(self, points)

        def distance(self, hash1, hash2):
            d = base.distance(self, hash1, hash2)
            if self.distances:
                self.distances[-1] = d
            return d

        def split(self, behavior_boxes, behavior_number):
            self._harvest()
            self._tracked += 1
            return base.split(self, behavior_boxes, behavior_number)

        def check_boxes(self, out_result_dict):
            self._harvest()
            return base.check_boxes(self, out_result_dict)

        def _harvest(self):
            # static_list is the previous region's still list once its tracker has run.
            if self._tracked > len(self.still):
                self.still.append(len(self.static_list or ()))

    Observed.__name__ = Observed.__qualname__ = "Observed" + base.__name__
    return Observed


def regions_of(doc, motion):
    """The region results the mode's filter visits, in its order: (k, v, region)."""
    out = []
    behaviours = doc.get("alarmBehavior")
    if not isinstance(behaviours, list):
        return out
    for k, behaviour in enumerate(behaviours):
        if not isinstance(behaviour, dict):
            continue
        result = behaviour.get("result")
        if not isinstance(result, list) or (not motion and not result):
            continue
        for v, region in enumerate(result):
            out.append((k, v, region))
    return out


def box_count(region):
    boxes = region.get("boxes") if isinstance(region, dict) else None
    return len(boxes) if isinstance(boxes, list) else (1 if boxes else 0)

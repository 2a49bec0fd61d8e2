"""Tuning parameters of the recognition-mode stage.

Each value has a default below and can be overridden without editing code through an
environment variable, read and checked once when this module is first imported (a value
out of range stops the import with a ValueError naming the variable):

    RM_IOU_THRESHOLD      -> HYPER_PARA.iou_threshold
    RM_PIX_IOU_THRESHOLD  -> HYPER_PARA.pix_iou_threshold
    RM_MOVE_THRESHOLD     -> HYPER_PARA.move_threshold

``iou_threshold`` is the least overlap (intersection over union) between a tracked target's
last box and a new box for the two to be the same target. ``pix_iou_threshold`` is the least
overlap between a target's current box and the box where it settled for the target to count
as still; both are ratios from 0 to 1. ``move_threshold`` is the least hash distance (a
whole number from 0 to 100) between a region's picture in two consecutive frames that
counts as a change; below it the region's alarm is dropped.
"""
import math
import os

__all__ = ["HYPER_PARA", "HyperParameters"]


def _env_setting(name, default, kind, low, high):
    """The value of environment variable ``name`` (``default`` when unset or blank).

    A bad value stops the import here, naming the variable, instead of surfacing as an
    odd error on the first frame that uses it.
    """
    raw = os.environ.get(name)
    if raw is None or raw.strip() == "":
        return default
    if kind is int:
        allowed = "a whole number from %d to %d (a hash distance runs 0..100)" % (low, high)
    else:
        allowed = "a finite number from %g to %g" % (low, high)
    try:
        value = kind(raw)
    except ValueError:
        value = None
    if value is None or not math.isfinite(value) or not low <= value <= high:
        raise ValueError("%s must be %s, got %r" % (name, allowed, raw))
    return value


class HyperParameters:
    """The three thresholds read once by the recognition-mode module when it loads."""

    def __init__(self, iou_threshold, pix_iou_threshold, move_threshold):
        self.iou_threshold = iou_threshold
        self.pix_iou_threshold = pix_iou_threshold
        self.move_threshold = move_threshold

    def __repr__(self):
        return "HyperParameters(iou_threshold=%r, pix_iou_threshold=%r, move_threshold=%r)" % (
            self.iou_threshold, self.pix_iou_threshold, self.move_threshold)


DEFAULT_IOU_THRESHOLD = 0.3
DEFAULT_PIX_IOU_THRESHOLD = 0.75
DEFAULT_MOVE_THRESHOLD = 9

HYPER_PARA = HyperParameters(
    iou_threshold=_env_setting("RM_IOU_THRESHOLD", DEFAULT_IOU_THRESHOLD, float, 0, 1),
    pix_iou_threshold=_env_setting("RM_PIX_IOU_THRESHOLD", DEFAULT_PIX_IOU_THRESHOLD, float, 0, 1),
    move_threshold=_env_setting("RM_MOVE_THRESHOLD", DEFAULT_MOVE_THRESHOLD, int, 0, 100),
)

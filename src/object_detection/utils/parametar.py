"""Tuning parameters of the recognition-mode stage.

Each value has a default below and can be overridden without editing code through an
environment variable, read once when this module is first imported:

    RM_IOU_THRESHOLD      -> HYPER_PARA.iou_threshold
    RM_PIX_IOU_THRESHOLD  -> HYPER_PARA.pix_iou_threshold
    RM_MOVE_THRESHOLD     -> HYPER_PARA.move_threshold

``iou_threshold`` is the least overlap (intersection over union) between a tracked target's
last box and a new box for the two to be the same target. ``pix_iou_threshold`` is the least
overlap between a target's current box and the box where it settled for the target to count
as still. ``move_threshold`` is the least hash distance (0..100) between a region's picture
in two consecutive frames that counts as a change; below it the region's alarm is dropped.
"""
import os

__all__ = ["HYPER_PARA", "HyperParameters"]


def _env_number(name, default, kind):
    raw = os.environ.get(name)
    if raw is None or raw.strip() == "":
        return default
    try:
        return kind(raw)
    except ValueError:
        raise ValueError("%s must be a %s, got %r" % (name, kind.__name__, raw)) from None


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
    iou_threshold=_env_number("RM_IOU_THRESHOLD", DEFAULT_IOU_THRESHOLD, float),
    pix_iou_threshold=_env_number("RM_PIX_IOU_THRESHOLD", DEFAULT_PIX_IOU_THRESHOLD, float),
    move_threshold=_env_number("RM_MOVE_THRESHOLD", DEFAULT_MOVE_THRESHOLD, int),
)

__all__ = ["HYPER_PARA", "HyperParameters"]

class HyperParameters:
    iou_threshold: float
    pix_iou_threshold: float
    move_threshold: int
    def __init__(self, iou_threshold: float, pix_iou_threshold: float, move_threshold: int) -> None: ...

DEFAULT_IOU_THRESHOLD: float
DEFAULT_PIX_IOU_THRESHOLD: float
DEFAULT_MOVE_THRESHOLD: int

# Defaults above, overridden by RM_IOU_THRESHOLD, RM_PIX_IOU_THRESHOLD, RM_MOVE_THRESHOLD.
HYPER_PARA: HyperParameters

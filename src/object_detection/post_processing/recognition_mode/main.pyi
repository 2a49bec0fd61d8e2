"""The compiled recognition-mode module: see the package's documentation for its use."""
# Types of the compiled recognition-mode module.
import logging
import time as time
from typing import Any, Dict, Hashable, Iterable, List, MutableMapping, Optional, Sequence, Tuple, TypeVar

import cv2 as cv2
import numpy as np

from ...utils.base_utils import get_current_time as get_current_time
from ...utils.logger import setup_logger as setup_logger
from ...utils.parametar import HYPER_PARA as HYPER_PARA
from .target import TargetRadius as TargetRadius
from .utils import box2meas as box2meas
from .utils import state2box as state2box

# A recognition result: {"alarmBehavior": [behaviour entry, ...], ...}, parsed-JSON shaped.
# Every filter edits it in place and returns the very object it was given.
_Result = TypeVar("_Result", bound=MutableMapping[str, Any])

logger: logging.Logger
# Copies of HYPER_PARA's values taken at load; read from the module at each use.
iou_thr: float
pix_thr: float
move_thr: int

class Camera:
    state_list: List[TargetRadius]
    def __init__(self) -> None: ...
    # (static_list, unmatch_list, static_list, del_list): the still list stands twice.
    def run(
        self, boxes: Iterable[Sequence[int]], classes: Sequence[str]
    ) -> Tuple[List[TargetRadius], List[int], List[TargetRadius], List[int]]: ...

class RecognitionMode:
    # Seconds taken by the last tracking step (the integer 0 before the first).
    runtime: float
    # device id -> behaviour number (as read) -> region name (as read, None if unnamed) -> tracker
    dev_id: Dict[Any, Dict[Any, Dict[Any, Camera]]]
    # device id -> behaviour number -> region name -> 100-character hash of the last crop
    move_id: Dict[Any, Dict[Any, Dict[Any, str]]]
    # device id -> behaviour number -> get_current_time() when its trackers were (re)started
    refresh_time: Dict[Any, Dict[Any, float]]
    # Results of the last tracking step; None until the first.
    unmatch_list: Optional[List[int]]
    static_list: Optional[List[TargetRadius]]
    del_list: Optional[List[int]]
    def __init__(self) -> None: ...
    # Boxes four values at a time as integers, and str(behavior_number) once per box.
    def split(self, behavior_boxes: Any, behavior_number: object) -> Tuple[List[List[int]], List[str]]: ...
    def check_boxes(self, out_result_dict: _Result) -> _Result: ...
    def target_radius(self, dev_id: Hashable, out_result_dict: _Result) -> _Result: ...
    # [left, top, right, bottom] of a region outline; [] for None or fewer than two points.
    def get_metrix(self, points: Optional[Sequence[Sequence[float]]]) -> List[int]: ...
    def phash(self, img: np.ndarray) -> str: ...
    def distance(self, hash1: Sequence[Any], hash2: Sequence[Any]) -> int: ...
    def move_detect(self, im: np.ndarray, dev_id: Hashable, out_result_dict: _Result) -> _Result: ...
    # `im` is only read outside mode "TargetRadius"; there it may be anything, None included.
    def main(self, im: Any, dev_id: Hashable, out_result_dict: _Result, mode: str) -> _Result: ...

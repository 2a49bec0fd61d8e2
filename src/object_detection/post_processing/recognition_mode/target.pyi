# Types of the compiled tracking module `target`.
from typing import List, Sequence, Tuple, final

# Matched frames before a target can be still; frames of its speed estimate; frames an
# unmatched target is kept; the still speed limit in thousandths of the box height per frame.
OBSERVE_FRAMES: int
WINDOW_FRAMES: int
COAST_FRAMES: int
STILL_SPEED_PER_MILLE: int

@final
class TargetRadius:
    # mea: a measurement or box (four real numbers left, top, right, bottom);
    # iou_thr and pix_thr: real numbers in [0, 1].
    def __init__(self, mea: Sequence[float], cls: str, iou_thr: float, pix_thr: float) -> None: ...
    # (unmatch_list, static_list, del_list): positions in mea_list with no target,
    # the matched still targets, positions in state_list of the targets unmatched for
    # more than COAST_FRAMES frames. Updates the targets in place.
    @staticmethod
    def association(
        state_list: Sequence[TargetRadius], mea_list: Sequence[Sequence[float]], classes: Sequence[str]
    ) -> Tuple[List[int], List[TargetRadius], List[int]]: ...
    @property
    def cls(self) -> str: ...
    @property
    def box(self) -> List[float]: ...
    @property
    def anchor(self) -> List[float]: ...
    @property
    def still(self) -> bool: ...
    @property
    def iou_thr(self) -> float: ...
    @property
    def pix_thr(self) -> float: ...

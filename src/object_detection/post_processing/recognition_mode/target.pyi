# Types of the compiled tracking module `target`.
from typing import List, Sequence, Tuple, final

# Frames a target that moved must stay put before it counts as still again.
SETTLE_FRAMES: int

@final
class TargetRadius:
    # mea: a measurement or box (four real numbers left, top, right, bottom);
    # iou_thr and pix_thr: real numbers in [0, 1].
    def __init__(self, mea: Sequence[float], cls: str, iou_thr: float, pix_thr: float) -> None: ...
    # (unmatch_list, static_list, del_list): positions in mea_list with no target,
    # the still targets, positions in state_list with no measurement. Updates the
    # matched targets in place.
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

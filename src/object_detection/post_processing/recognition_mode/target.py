"""Stand-in tracker: every box is a new target and nothing is ever still."""


class TargetRadius:
    def __init__(self, mea, cls, iou_thr, pix_thr):
        self.mea = mea
        self.cls = cls
        self.iou_thr = iou_thr
        self.pix_thr = pix_thr

    @staticmethod
    def association(state_list, mea_list, classes):
        return list(range(len(mea_list))), [], list(range(len(state_list)))

"""Plain-Python model of the recognition-mode operations, used as the test oracle.

Every outside name below is a global of this module and is read at each use, so tests
patch it the same way as the native module's (monkeypatch.setattr(reference, "move_thr", 0)).
Methods call one another through the instance.
"""
import time

import cv2
import numpy as np

from object_detection.post_processing.recognition_mode.target import TargetRadius
from object_detection.post_processing.recognition_mode.utils import box2meas
from object_detection.utils.base_utils import get_current_time
from object_detection.utils.parametar import HYPER_PARA

iou_thr = HYPER_PARA.iou_threshold
pix_thr = HYPER_PARA.pix_iou_threshold
move_thr = HYPER_PARA.move_threshold

REFRESH_PERIOD = 600


class Camera:
    def __init__(self):
        self.state_list = []

    def run(self, boxes, classes):
        mea_list = []
        for box in boxes:
            mea_list.append(box2meas(box))
        if not mea_list:
            self.state_list = []
        unmatch_list, static_list, del_list = TargetRadius.association(
            self.state_list, mea_list, classes)
        n = len(self.state_list)
        self.state_list = [self.state_list[i] for i in range(n) if i not in del_list]
        for idx in unmatch_list:
            self.state_list.append(TargetRadius(mea_list[idx], classes[idx], iou_thr, pix_thr))
        return static_list, unmatch_list, static_list, del_list


class RecognitionMode:
    def __init__(self):
        self.runtime = 0
        self.dev_id = {}
        self.move_id = {}
        self.refresh_time = {}
        self.unmatch_list = None
        self.static_list = None
        self.del_list = None

    def split(self, behavior_boxes, behavior_number):
        boxes = []
        classes = []
        boxes_list = np.array(behavior_boxes).reshape(-1, 4)
        for i in range(boxes_list.shape[0]):
            row = boxes_list[i]
            boxes.append([int(row[0]), int(row[1]), int(row[2]), int(row[3])])
            classes.append(str(behavior_number))
        return boxes, classes

    def check_boxes(self, out_result_dict):
        alarm_behavior_list = []
        for behavior in out_result_dict.get("alarmBehavior"):
            info_rois = ""
            result = []
            out_result = behavior.get("result")
            if out_result:
                for v, roi_result in enumerate(out_result):
                    roi_name = roi_result.get("roi_name")
                    if not roi_result.get("boxes"):
                        continue
                    result.append(out_result[v])
                    if not roi_name:
                        continue
                    if not info_rois:
                        info_rois += roi_name
                    else:
                        info_rois += "|" + str(roi_name)
            if not result:
                continue
            behavior["result"] = result
            info = behavior["alarm_info_dict"]
            behavior["alarm_info"] = (info.get("behavior_info") + "-" + info.get("info_name")
                                      + info_rois + info.get("info_ftime") + info.get("info_type"))
            info["info_rois"] = info_rois
            alarm_behavior_list.append(behavior)
        out_result_dict["alarmBehavior"] = alarm_behavior_list
        return out_result_dict

    def target_radius(self, dev_id, out_result_dict):
        for k, behavior in enumerate(out_result_dict.get("alarmBehavior")):
            behavior_number = behavior.get("behavior_number")
            out_result = behavior.get("result")
            if not out_result:
                continue
            int(behavior_number)
            for v, roi_result in enumerate(out_result):
                name = roi_result.get("roi_name")
                behavior_boxes = roi_result.get("boxes")
                boxes, classes = self.split(behavior_boxes, behavior_number)
                start_time = time.time()
                if dev_id not in self.dev_id:
                    self.dev_id[dev_id] = {}
                    self.refresh_time[dev_id] = {}
                if behavior_number not in self.dev_id[dev_id]:
                    self.dev_id[dev_id][behavior_number] = {}
                    self.refresh_time[dev_id][behavior_number] = get_current_time()
                if name not in self.dev_id[dev_id][behavior_number]:
                    camera = Camera()
                    self.dev_id[dev_id][behavior_number][name] = camera
                else:
                    camera = self.dev_id[dev_id][behavior_number][name]
                _, self.unmatch_list, self.static_list, self.del_list = camera.run(boxes, classes)
                self.runtime = time.time() - start_time
                nboxes = len(behavior_boxes)
                if len(self.static_list) >= max(nboxes - 1, 1) and nboxes > 0:
                    if name:
                        regions = out_result_dict["alarmBehavior"][k]["result"]
                        # an unnamed still region may already have emptied this list
                        if v < len(regions):
                            regions[v]["boxes"] = []
                    else:
                        entry = out_result_dict["alarmBehavior"][k]
                        entry["result"] = []
                        entry["alarm_info"] = ""
                        entry["alarm_info_dict"] = {}
        out_result_dict = self.check_boxes(out_result_dict)
        if self.refresh_time.get(dev_id):
            for behavior_number, stamp in self.refresh_time[dev_id].items():
                current_time = get_current_time()
                if current_time - stamp >= REFRESH_PERIOD:
                    self.refresh_time[dev_id][behavior_number] = current_time
                    self.dev_id[dev_id] = {}
        return out_result_dict

    def get_metrix(self, points):
        if points is None or len(points) < 2:
            return []
        x_l = []
        y_l = []
        for point in points:
            x_l.append(point[0])
            y_l.append(point[1])
        x_min = int(min(x_l))
        x_max = int(max(x_l))
        y_min = int(min(y_l))
        y_max = int(max(y_l))
        return [x_min, y_min, x_max, y_max]

    def phash(self, img):
        img = cv2.resize(img, (50, 50))
        gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
        dct = cv2.dct(np.float32(gray))
        im_list = [float(x) for x in dct[0:10, 0:10].flatten()]
        # sequential sum: sum() compensates on newer interpreters
        total = 0.0
        for x in im_list:
            total += x
        avg = total / len(im_list)
        bits = "".join("0" if x < avg else "1" for x in im_list)
        return "".join("%x" % int(bits[x:x + 4], 2) for x in range(len(bits)))

    def distance(self, hash1, hash2):
        if len(hash1) != len(hash2):
            raise AssertionError
        count = 0
        for i in range(len(hash1)):
            if hash1[i] != hash2[i]:
                count += 1
        return count

    def move_detect(self, im, dev_id, out_result_dict):
        if dev_id not in self.move_id:
            self.move_id[dev_id] = {}
        for k, behavior in enumerate(out_result_dict.get("alarmBehavior")):
            behavior_number = behavior.get("behavior_number")
            out_result = behavior.get("result")
            if behavior_number not in self.move_id[dev_id]:
                self.move_id[dev_id][behavior_number] = {}
            for v, roi_result in enumerate(out_result):
                roi_points = roi_result.get("roi")
                roi_name = roi_result.get("roi_name")
                roi_points = self.get_metrix(roi_points)
                roi_img = im[roi_points[1]:roi_points[3], roi_points[0]:roi_points[2]]
                hash1 = self.phash(roi_img)
                hash2 = self.move_id[dev_id][behavior_number].get(roi_name)
                count = self.distance(hash1, hash2) if hash2 else 100
                if count >= move_thr:
                    pass
                else:
                    out_result_dict["alarmBehavior"][k]["result"][v] = {}
                self.move_id[dev_id][behavior_number][roi_name] = hash1
        return self.check_boxes(out_result_dict)

    def main(self, im, dev_id, out_result_dict, mode):
        if isinstance(mode, str) and str.__eq__(mode, "TargetRadius") is True:
            return self.target_radius(dev_id, out_result_dict)
        return self.move_detect(im, dev_id, out_result_dict)

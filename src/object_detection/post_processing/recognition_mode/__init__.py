"""Recognition-mode post-processing: drops alarms of still targets and of unchanged regions.

The compiled module ``main`` carries only its own documentation texts; this is how to use it.

    from object_detection.post_processing.recognition_mode.main import RecognitionMode
    recognizer = RecognitionMode()          # one instance for every camera
    result = recognizer.main(im, dev_id, out_result_dict, mode)

``main(im, dev_id, out_result_dict, mode)``, once per analysed frame, one call at a time:

* mode ``"TargetRadius"`` (exactly that text): static-target removal. Each region's boxes
  go to that region's tracker (per camera, behaviour number and region name); a region
  whose targets stand still loses its alarm. ``im`` is not used (``None`` is fine).
* any other mode: region motion detection. Each region's crop of ``im`` (a BGR ``uint8``
  array, rows x columns x 3) is hashed and compared with the camera's previous hash of that
  region; a region whose distance is below ``move_thr`` loses its alarm.

``out_result_dict`` is edited in place and returned (the same object): each behaviour
entry keeps the region results that still have boxes, entries left with none are dropped
from ``"alarmBehavior"``, and every kept entry gets ``"info_rois"`` (kept region names
joined by ``|``) and ``"alarm_info"`` (behavior_info + "-" + info_name + info_rois +
info_ftime + info_type) rewritten.

Thresholds are module attributes of ``main``, copied from
``object_detection.utils.parametar.HYPER_PARA`` at load and read at each use: ``move_thr``
(least hash distance 0..100 that counts as a change), ``iou_thr`` and ``pix_thr`` (handed to
every new tracked target). Rebinding one (``main.move_thr = 8``) applies from the next call.

The instance keeps, per camera, the trackers (``dev_id``), their refresh stamps
(``refresh_time``, all trackers of a camera are dropped every 600 seconds of
``get_current_time``) and the last hashes (``move_id``); nothing is persisted.
``python -m object_detection.post_processing.recognition_mode`` runs the built-in self-test.
"""

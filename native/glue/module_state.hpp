// Per-module-instance state. The module may be loaded twice (under its dotted
// name and as __main__); each instance owns its own objects, none live in statics.
#pragma once
#include "pyref.hpp"

namespace rm {

// Interned names and constant texts used by the glue.
#define RM_NAMES(X)                                  \
    X(get, "get")                                    \
    X(items, "items")                                \
    X(alarmBehavior, "alarmBehavior")                \
    X(result, "result")                              \
    X(roi_name, "roi_name")                          \
    X(roi, "roi")                                    \
    X(boxes, "boxes")                                \
    X(behavior_number, "behavior_number")            \
    X(alarm_info_dict, "alarm_info_dict")            \
    X(alarm_info, "alarm_info")                      \
    X(behavior_info, "behavior_info")                \
    X(info_name, "info_name")                        \
    X(info_ftime, "info_ftime")                      \
    X(info_type, "info_type")                        \
    X(info_rois, "info_rois")                        \
    X(runtime, "runtime")                            \
    X(dev_id, "dev_id")                              \
    X(move_id, "move_id")                            \
    X(refresh_time, "refresh_time")                  \
    X(unmatch_list, "unmatch_list")                  \
    X(static_list, "static_list")                    \
    X(del_list, "del_list")                          \
    X(state_list, "state_list")                      \
    X(target_radius, "target_radius")                \
    X(move_detect, "move_detect")                    \
    X(check_boxes, "check_boxes")                    \
    X(split, "split")                                \
    X(get_metrix, "get_metrix")                      \
    X(phash, "phash")                                \
    X(distance, "distance")                          \
    X(run, "run")                                    \
    X(append, "append")                              \
    X(cv2, "cv2")                                    \
    X(np, "np")                                      \
    X(time, "time")                                  \
    X(resize, "resize")                              \
    X(cvtColor, "cvtColor")                          \
    X(COLOR_BGR2GRAY, "COLOR_BGR2GRAY")              \
    X(float32, "float32")                            \
    X(dct, "dct")                                    \
    X(flatten, "flatten")                            \
    X(tolist, "tolist")                              \
    X(array, "array")                                \
    X(reshape, "reshape")                            \
    X(TargetRadius, "TargetRadius")                  \
    X(association, "association")                    \
    X(box2meas, "box2meas")                          \
    X(dunder_capi, "_capi")                          \
    X(iou_thr, "iou_thr")                            \
    X(pix_thr, "pix_thr")                            \
    X(move_thr, "move_thr")                          \
    X(get_current_time, "get_current_time")          \
    X(Camera, "Camera")                              \
    X(dunder_name, "__name__")                       \
    X(dunder_module, "__module__")                   \
    X(dunder_qualname, "__qualname__")               \
    X(dunder_doc, "__doc__")                         \
    X(dunder_import, "__import__")                   \
    X(dunder_main, "__main__")                       \
    X(empty, "")                                     \
    X(dash, "-")                                     \
    X(pipe, "|")                                     \
    X(mode_target_radius, "TargetRadius")

struct ModuleState {
#define RM_DECLARE(field, text) PyObject* s_##field;
    RM_NAMES(RM_DECLARE)
#undef RM_DECLARE
    PyObject* function_type;  // type of the module's native functions
    PyObject* numpy;          // numpy as imported at load: the fast paths stand in for it only
    PyObject* size50;         // (50, 50)
    PyObject* int0;
    PyObject* int100;
    PyObject* int600;
    PyObject* slice0_10;      // slice(0, 10)

    // The native hash (fast_hash.cpp) stands in for these load-time objects only, and only
    // when they are OpenCV's and numpy's own (C functions and types of their binaries,
    // reached through plain modules): then standing in for them runs no Python code.
    PyObject* cv2;            // the module bound as cv2 at load
    PyObject* cv2_resize;
    PyObject* cv2_cvtColor;
    PyObject* cv2_dct;
    PyObject* cv2_grey_code;  // cv2.COLOR_BGR2GRAY
    PyObject* np_float32;
    PyObject* ndarray;
    PyObject* np_frombuffer;  // for the first-sight check's test pictures
    PyObject* np_uint8;
    PyObject* np_array;       // split's plain path stands in for np.array only
    PyObject* hash_sizes;     // {rows << 32 | cols: scaling variant that matched OpenCV, or -1}
    int grey_variant;         // 0 not checked yet, 1 none matched, 2 + variant otherwise
    int scaling_hint;         // the scaling variant that matched last
    bool keep_resize;         // RM_HASH_KEEP_RESIZE at load: every size keeps cv2.resize (benchmarks)
    unsigned long long hash_counts[4];  // native, OpenCV scaling, near the mean, not applicable

    // Capsules of the tracking modules' C entry points (track_capi.h), kept at load only
    // when they stand for the TargetRadius and box2meas bound then; Camera.run takes them
    // while the module still holds those very objects.
    PyObject* target_capi;
    PyObject* utils_capi;

    // The last exact int split() labelled its boxes with, and its text.
    PyObject* label_number;
    PyObject* label_text;
};

// Everything a method body needs: the module's state and its namespace.
struct Ctx {
    ModuleState* st;
    PyObject* globals;  // the module's __dict__ (borrowed; the function holds the module)
};

// Reads a module-level name at the moment of use, so rebinding it on the module
// (monkeypatching cv2, move_thr, TargetRadius, ...) takes effect on the next call.
Ref load_global(const Ctx& c, PyObject* name);

}  // namespace rm

/* C entry points of the tracking modules for the recognition-mode module `main`.
 *
 * `target._capi` and `utils._capi` are capsules over these tables. Each table names the
 * Python objects its entry points stand for (the capsule holds them): a caller may take
 * an entry point in place of calling the object only while it is calling that very
 * object. Plain C, no pybind11: `main` is a separate extension module. */
#ifndef RM_TRACK_CAPI_H
#define RM_TRACK_CAPI_H

#include <Python.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RM_TRACK_CAPI_VERSION 3
#define RM_TARGET_CAPI_NAME "recognition_mode.target._capi"
#define RM_UTILS_CAPI_NAME "recognition_mode.utils._capi"

/* A box or measurement: left, top, right, bottom. */
typedef struct rm_box {
    double l, t, r, b;
} rm_box;

typedef struct rm_utils_capi {
    int version;
    PyObject* box2meas; /* utils.box2meas */
    /* box2meas(box) without building the measurement object: 0, or -1 with the exception
     * box2meas raises. */
    int (*measure)(PyObject* box, rm_box* out);
    /* The measurement object box2meas gives for a box that `measure` accepted. */
    PyObject* (*meas_object)(const rm_box* m);
    /* `measure` over boxes[0], boxes[1], ... for as long as they are exact lists or tuples
     * of four exact ints or floats (measuring these runs no Python code): how many it
     * measured, or -1 with the exception box2meas raises for the first it refuses. */
    Py_ssize_t (*measure_plain)(PyObject* const* boxes, Py_ssize_t n, rm_box* out);
    /* `measure` of n boxes given by their values, exact ints or floats, four per box in
     * values[0], values[1], ... (a box that measure_plain would take, less the box): 0, or
     * -1 with the exception box2meas raises for the first it refuses. */
    int (*measure_values)(PyObject* const* values, Py_ssize_t n, rm_box* out);
} rm_utils_capi;

typedef struct rm_target_capi {
    int version;
    PyObject* type;        /* target.TargetRadius */
    PyObject* association; /* TargetRadius.association as the class gives it */
    /* TargetRadius.association(state_list, mea_list, classes) with the measurements given
     * as boxes (what `measure` made of box2meas' arguments); `type` is this table's. 0 with
     * the three result lists (new references) in out, or -1 with the exception association
     * raises. */
    int (*associate)(PyObject* type, PyObject* state_list, const rm_box* meas, Py_ssize_t m, PyObject* classes,
                     PyObject* out[3]);
} rm_target_capi;

#ifdef __cplusplus
}
#endif

#endif

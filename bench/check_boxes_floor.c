/* The least any rendering of check_boxes must do on the benchmark's documents: the
   lookups, the new lists and the stores (which free the replaced lists and the dropped
   regions), without building a single text. bench_fast_paths.py compiles it on the fly
   and times it beside the module, so the "x faster than plain Python" target can be read
   against what is reachable at all. Exact dicts and lists only: it is a yardstick, not an
   implementation. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *k_ab, *k_res, *k_name, *k_boxes, *k_aid, *k_bi, *k_in, *k_ift, *k_it, *k_ai, *k_ir, *k_empty;
static volatile Py_ssize_t sink;

static PyObject* floor_check_boxes(PyObject* self, PyObject* out) {
    (void)self;
    PyObject* behaviors = PyDict_GetItemWithError(out, k_ab);
    if (!behaviors) return NULL;
    PyObject* kept_behaviors = PyList_New(0);
    if (!kept_behaviors) return NULL;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(behaviors); ++i) {
        PyObject* b = PyList_GET_ITEM(behaviors, i);
        PyObject* res = PyDict_GetItemWithError(b, k_res);
        if (!res || PyList_GET_SIZE(res) == 0) continue;
        PyObject* kept = PyList_New(0);
        if (!kept) goto fail;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(res); ++j) {
            PyObject* r = PyList_GET_ITEM(res, j);
            PyObject* name = PyDict_GetItemWithError(r, k_name);
            PyObject* boxes = PyDict_GetItemWithError(r, k_boxes);
            if (name && PyUnicode_CheckExact(name)) sink += PyUnicode_GET_LENGTH(name);
            if (boxes && PyList_GET_SIZE(boxes) && PyList_Append(kept, r) < 0) {
                Py_DECREF(kept);
                goto fail;
            }
        }
        if (PyList_GET_SIZE(kept) == 0) {
            Py_DECREF(kept);
            continue;
        }
        int rc = PyDict_SetItem(b, k_res, kept);
        Py_DECREF(kept);
        if (rc < 0) goto fail;
        PyObject* info = PyDict_GetItemWithError(b, k_aid);
        if (!info) goto fail;
        PyObject* parts[4] = {PyDict_GetItemWithError(info, k_bi), PyDict_GetItemWithError(info, k_in),
                              PyDict_GetItemWithError(info, k_ift), PyDict_GetItemWithError(info, k_it)};
        sink += parts[0] != NULL;
        if (PyDict_SetItem(b, k_ai, k_empty) < 0 || PyDict_SetItem(info, k_ir, k_empty) < 0 ||
            PyList_Append(kept_behaviors, b) < 0)
            goto fail;
    }
    if (PyDict_SetItem(out, k_ab, kept_behaviors) < 0) goto fail;
    Py_DECREF(kept_behaviors);
    Py_INCREF(out);
    return out;
fail:
    Py_DECREF(kept_behaviors);
    return NULL;
}

static PyMethodDef methods[] = {{"check_boxes", floor_check_boxes, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "check_boxes_floor", NULL, -1, methods};

PyMODINIT_FUNC PyInit_check_boxes_floor(void) {
#define KEY(v, s) if (!(v = PyUnicode_InternFromString(s))) return NULL
    KEY(k_ab, "alarmBehavior"); KEY(k_res, "result"); KEY(k_name, "roi_name"); KEY(k_boxes, "boxes");
    KEY(k_aid, "alarm_info_dict"); KEY(k_bi, "behavior_info"); KEY(k_in, "info_name");
    KEY(k_ift, "info_ftime"); KEY(k_it, "info_type"); KEY(k_ai, "alarm_info"); KEY(k_ir, "info_rois");
    KEY(k_empty, "");
    return PyModule_Create(&def);
}

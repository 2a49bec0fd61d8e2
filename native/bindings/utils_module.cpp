// Box <-> measurement conversions and box overlap.
#include <pybind11/pybind11.h>

#include "capi.hpp"
#include "convert.hpp"
#include "iou.hpp"

namespace py = pybind11;
using namespace rm;

namespace {

// A measurement is the box itself, as a tuple of four floats: the tracker needs
// nothing more, and a tuple prints and compares plainly.
constexpr const char kBox[] = "box";  // how errors name the argument
track::Box measure(py::handle box) { return bind::to_box(box, kBox); }
py::tuple meas_object(const track::Box& m) { return bind::box_tuple(m); }
py::tuple box2meas(py::handle box) { return meas_object(measure(box)); }

// The same two steps for main's tracker, which keeps the boxes and needs the Python
// measurement only when it hands one to Python code.
int capi_measure(PyObject* box, rm_box* out) {
    return bind::translated([&] {
        const track::Box b = measure(box);
        *out = rm_box{b.l, b.t, b.r, b.b};
    }) ? 0 : -1;
}

Py_ssize_t capi_measure_plain(PyObject* const* boxes, Py_ssize_t n, rm_box* out) {
    Py_ssize_t k = 0;
    const bool ok = bind::translated([&] {
        for (; k < n && bind::plain_box(boxes[k]); ++k) {
            const track::Box b = bind::to_plain_box(boxes[k], kBox);  // measure(), less its checks
            out[k] = rm_box{b.l, b.t, b.r, b.b};
        }
    });
    return ok ? k : -1;
}

int capi_measure_values(PyObject* const* values, Py_ssize_t n, rm_box* out) {
    return bind::translated([&] {
        for (Py_ssize_t k = 0; k < n; ++k) {
            const track::Box b = bind::to_plain_box(values + 4 * k, kBox);
            out[k] = rm_box{b.l, b.t, b.r, b.b};
        }
    }) ? 0 : -1;
}

PyObject* capi_meas_object(const rm_box* m) {
    PyObject* out = nullptr;
    bind::translated([&] { out = meas_object(track::Box{m->l, m->t, m->r, m->b}).release().ptr(); });
    return out;
}

// Tracked targets expose their last box as `.box`; anything else is taken as a box.
py::list state2box(py::handle state) {
    if (!PySequence_Check(state.ptr())) {
        // hasattr() semantics: only AttributeError means "no such attribute".
        PyObject* box = PyObject_GetAttrString(state.ptr(), "box");
        if (box) {
            const auto hold = py::reinterpret_steal<py::object>(box);
            return bind::box_list(bind::to_box(hold, "state.box"));
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
    }
    return bind::box_list(bind::to_box(state, "state"));
}

}  // namespace

PYBIND11_MODULE(utils, m) {
    m.doc() = "Conversions between boxes [left, top, right, bottom] and tracker measurements.";
    m.def("box2meas", &box2meas, py::arg("box"),
          "Measurement (a tuple of four floats) of a box [left, top, right, bottom].");
    m.def("state2box", &state2box, py::arg("state"),
          "Box [left, top, right, bottom] of a tracked target (its last box) or of a measurement.");
    m.def(
        "iou",
        [](py::handle a, py::handle b) { return bind::real(track::iou(bind::to_box(a, "a"), bind::to_box(b, "b"))); },
        py::arg("a"), py::arg("b"),
        "Intersection over union of two boxes; 0 for boxes that only touch or have no area.");
    m.attr("_capi") = bind::utils_capsule(
        rm_utils_capi{RM_TRACK_CAPI_VERSION, m.attr("box2meas").ptr(), capi_measure, capi_meas_object,
                      capi_measure_plain, capi_measure_values});
}

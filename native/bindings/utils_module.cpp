// Box <-> measurement conversions and box overlap.
#include <pybind11/pybind11.h>

#include "convert.hpp"
#include "iou.hpp"

namespace py = pybind11;
using namespace rm;

namespace {

// A measurement is the box itself, as a tuple of four floats: the tracker needs
// nothing more, and a tuple prints and compares plainly.
py::tuple box2meas(py::handle box) { return bind::box_tuple(bind::to_box(box, "box")); }

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
}

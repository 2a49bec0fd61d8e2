// Tracked targets and the per-frame association step.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "assignment.hpp"
#include "convert.hpp"
#include "tracker.hpp"

namespace py = pybind11;
using namespace rm;

namespace {

struct TargetRadius {
    track::Target core;
    std::string cls;
};

std::string text_of(py::handle v, const char* what) {
    if (!PyUnicode_Check(v.ptr()))
        throw py::type_error(std::string(what) + " must be a str, not " + Py_TYPE(v.ptr())->tp_name);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v.ptr(), &n);
    if (!s) throw py::error_already_set();
    return std::string(s, static_cast<std::size_t>(n));
}

TargetRadius make_target(py::handle mea, py::handle cls, py::handle iou_thr, py::handle pix_thr) {
    const track::Box box = bind::to_box(mea, "mea");
    std::string label = text_of(cls, "cls");
    return TargetRadius{track::Target(box, bind::to_threshold(iou_thr, "iou_thr"),
                                      bind::to_threshold(pix_thr, "pix_thr")),
                        std::move(label)};
}

// Returns (unmatch_list, static_list, del_list): positions of the new measurements, the
// still targets themselves, positions of the targets that left. Nothing is changed
// unless every argument converts.
py::tuple association(py::handle state_list, py::handle mea_list, py::handle classes) {
    const py::tuple targets_seq = bind::to_tuple(state_list, "state_list");
    const py::tuple meas_seq = bind::to_tuple(mea_list, "mea_list");
    const py::tuple cls_seq = bind::to_tuple(classes, "classes");
    const Py_ssize_t n = PyTuple_GET_SIZE(targets_seq.ptr());
    const Py_ssize_t m = PyTuple_GET_SIZE(meas_seq.ptr());
    if (PyTuple_GET_SIZE(cls_seq.ptr()) != m)
        throw py::value_error("classes must have one label per measurement: " + std::to_string(m) +
                              " measurements, " + std::to_string(PyTuple_GET_SIZE(cls_seq.ptr())) +
                              " labels");

    std::vector<track::Box> meas(static_cast<std::size_t>(m));
    std::vector<int> meas_cls(static_cast<std::size_t>(m));
    std::unordered_map<std::string_view, int> ids;
    for (Py_ssize_t j = 0; j < m; ++j) {
        meas[j] = bind::to_box(PyTuple_GET_ITEM(meas_seq.ptr(), j), "measurement");
        PyObject* c = PyTuple_GET_ITEM(cls_seq.ptr(), j);
        if (!PyUnicode_Check(c))
            throw py::type_error(std::string("class labels must be str, not ") + Py_TYPE(c)->tp_name);
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(c, &len);  // cached by the str, which cls_seq holds
        if (!s) throw py::error_already_set();
        meas_cls[j] = ids.emplace(std::string_view(s, static_cast<std::size_t>(len)),
                                  static_cast<int>(ids.size()))
                          .first->second;
    }

    PyTypeObject* const target_type = reinterpret_cast<PyTypeObject*>(py::type::of<TargetRadius>().ptr());
    std::vector<TargetRadius*> owners(static_cast<std::size_t>(n));
    std::vector<track::Target*> targets(static_cast<std::size_t>(n));
    std::vector<int> target_cls(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle h = PyTuple_GET_ITEM(targets_seq.ptr(), i);
        if (Py_TYPE(h.ptr()) != target_type)  // final class: no subclasses to allow for
            throw py::type_error(std::string("state_list items must be TargetRadius, not ") +
                                 Py_TYPE(h.ptr())->tp_name);
        owners[i] = h.cast<TargetRadius*>();
        targets[i] = &owners[i]->core;
        const auto it = ids.find(owners[i]->cls);
        target_cls[i] = it == ids.end() ? -1 : it->second;  // -1: no measurement of its class
    }
    {
        // One target twice would be matched and updated twice.
        std::vector<TargetRadius*> sorted(owners);
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
            throw py::value_error("state_list holds the same target more than once");
    }

    const track::Association a = track::associate(targets, target_cls, meas, meas_cls);

    py::list unmatch(a.fresh.size()), still(a.still.size()), departed(a.departed.size());
    for (std::size_t k = 0; k < a.fresh.size(); ++k) unmatch[k] = a.fresh[k];
    for (std::size_t k = 0; k < a.still.size(); ++k)
        still[k] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(targets_seq.ptr(), a.still[k]));
    for (std::size_t k = 0; k < a.departed.size(); ++k) departed[k] = a.departed[k];
    return py::make_tuple(unmatch, still, departed);
}

// Test hook: the optimal assignment of a weight matrix as (row, col) pairs by row.
py::list assign(py::handle matrix) {
    const py::tuple rows_seq = bind::to_tuple(matrix, "matrix");
    const Py_ssize_t rows = PyTuple_GET_SIZE(rows_seq.ptr());
    Py_ssize_t cols = -1;
    std::vector<double> w;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const py::tuple row = bind::to_tuple(PyTuple_GET_ITEM(rows_seq.ptr(), i), "matrix row");
        const Py_ssize_t len = PyTuple_GET_SIZE(row.ptr());
        if (cols < 0) cols = len;
        if (len != cols) throw py::value_error("matrix rows must have equal length");
        for (Py_ssize_t j = 0; j < len; ++j) {
            const double x = bind::to_real(PyTuple_GET_ITEM(row.ptr(), j), "matrix value");
            if (!std::isfinite(x)) throw py::value_error("matrix values must be finite");
            w.push_back(x);
        }
    }
    py::list out;
    if (rows == 0 || cols <= 0) return out;
    const std::vector<int> r2c = track::max_weight_assignment(w, static_cast<int>(rows), static_cast<int>(cols));
    for (Py_ssize_t i = 0; i < rows; ++i)
        if (r2c[i] >= 0) out.append(py::make_tuple(i, r2c[i]));
    return out;
}

}  // namespace

PYBIND11_MODULE(target, m) {
    m.doc() = "Tracked targets and their frame-to-frame association.";
    m.attr("OBSERVE_FRAMES") = track::kObserveFrames;
    m.attr("WINDOW_FRAMES") = track::kWindowFrames;
    m.attr("COAST_FRAMES") = track::kCoastFrames;
    m.attr("STILL_SPEED_PER_MILLE") = track::kStillSpeedPerMille;

    py::class_<TargetRadius>(m, "TargetRadius", py::is_final(),
                             "A tracked target: its class label, last box, its mean box over the recent "
                             "frames (anchor), and whether it was still at the last association.")
        .def(py::init(&make_target), py::arg("mea"), py::arg("cls"), py::arg("iou_thr"), py::arg("pix_thr"))
        .def_static("association", &association, py::arg("state_list"), py::arg("mea_list"),
                    py::arg("classes"),
                    "Match this frame's measurements to the targets.\n\n"
                    "Returns (unmatch_list, static_list, del_list): positions in mea_list with no target "
                    "(ascending), the matched targets that are still, and positions in state_list of "
                    "the targets unmatched for more than COAST_FRAMES frames (ascending). The "
                    "targets are updated in place.")
        .def_property_readonly("cls", [](const TargetRadius& t) { return t.cls; })
        .def_property_readonly("box", [](const TargetRadius& t) { return bind::box_list(t.core.last); })
        .def_property_readonly("anchor", [](const TargetRadius& t) { return bind::box_list(t.core.rest()); })
        .def_property_readonly("still", [](const TargetRadius& t) { return t.core.still; })
        .def_property_readonly("iou_thr", [](const TargetRadius& t) { return t.core.iou_thr; })
        .def_property_readonly("pix_thr", [](const TargetRadius& t) { return t.core.pix_thr; })
        .def("__repr__", [](const TargetRadius& t) {
            return "TargetRadius(cls=" + py::repr(py::str(t.cls)).cast<std::string>() +
                   ", box=" + bind::box_repr(t.core.last) + ", still=" + (t.core.still ? "True" : "False") + ")";
        });

    m.def("_assign", &assign, py::arg("matrix"));
}

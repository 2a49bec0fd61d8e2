#include "convert.hpp"

#include <cmath>

namespace rm::bind {

namespace {

std::string type_name(py::handle v) { return Py_TYPE(v.ptr())->tp_name; }

bool is_text(py::handle v) {
    return PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || PyByteArray_Check(v.ptr());
}

}  // namespace

double to_real(py::handle v, const char* what) {
    PyObject* o = v.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const bool exact_int = PyLong_CheckExact(o);
    if (!exact_int && (is_text(v) || PyComplex_Check(o) || !PyNumber_Check(o)))
        throw py::type_error(std::string(what) + " must be a real number, not " + type_name(v));
    // An exact int converts as int.__float__ would, without making the float object.
    const double d = exact_int ? PyLong_AsDouble(o) : PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        // Only the conversion's own refusals are reworded; anything else the caller's
        // __float__/__index__ raised (MemoryError, KeyboardInterrupt, ...) goes out as it is.
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            throw py::value_error(std::string(what) + " is out of range");
        }
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw py::type_error(std::string(what) + " must be a real number, not " + type_name(v));
        }
        throw py::error_already_set();
    }
    return d;
}

namespace {

// The four values of a box, items held by the caller.
track::Box checked_box(PyObject* const* items, const char* what) {
    double x[4];
    for (Py_ssize_t k = 0; k < 4; ++k) {
        x[k] = to_real(items[k], what);
        if (!std::isfinite(x[k])) throw py::value_error(std::string(what) + " values must be finite");
    }
    const track::Box b{x[0], x[1], x[2], x[3]};
    if (b.r < b.l || b.b < b.t)
        throw py::value_error(std::string(what) + " must have right >= left and bottom >= top, got " +
                              box_repr(b));
    return b;
}

}  // namespace

bool plain_box(PyObject* v) {
    if (!(PyList_CheckExact(v) || PyTuple_CheckExact(v)) || PySequence_Fast_GET_SIZE(v) != 4) return false;
    PyObject* const* it = PySequence_Fast_ITEMS(v);
    for (int k = 0; k < 4; ++k)
        if (!(PyFloat_CheckExact(it[k]) || PyLong_CheckExact(it[k]))) return false;
    return true;
}

track::Box to_plain_box(PyObject* v, const char* what) { return checked_box(PySequence_Fast_ITEMS(v), what); }

track::Box to_plain_box(PyObject* const* values, const char* what) { return checked_box(values, what); }

track::Box to_box(py::handle v, const char* what) {
    if (is_text(v) || !PySequence_Check(v.ptr()))
        throw py::type_error(std::string(what) + " must be a sequence of four numbers, not " + type_name(v));
    PyObject* o = v.ptr();
    // Exact ints and floats run no code while converting, so the list can be read in place.
    if (PyList_CheckExact(o) && plain_box(o)) return checked_box(reinterpret_cast<PyListObject*>(o)->ob_item, what);
    // Items of a list may run code while converting (__float__) that changes the list.
    const py::tuple items = PyTuple_CheckExact(v.ptr()) ? py::reinterpret_borrow<py::tuple>(v) : to_tuple(v, what);
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (n != 4)
        throw py::value_error(std::string(what) + " must have four values (left, top, right, bottom), got " +
                              std::to_string(n));
    return checked_box(reinterpret_cast<PyTupleObject*>(items.ptr())->ob_item, what);
}

double to_threshold(py::handle v, const char* what) {
    const double d = to_real(v, what);
    if (!(d >= 0.0 && d <= 1.0))
        throw py::value_error(std::string(what) + " must lie in [0, 1], got " + number_repr(d));
    return d;
}

py::tuple to_tuple(py::handle v, const char* what) {
    if (is_text(v)) throw py::type_error(std::string(what) + " must be a sequence, not " + type_name(v));
    PyObject* t = PySequence_Tuple(v.ptr());
    if (!t) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw py::type_error(std::string(what) + " must be iterable, not " + type_name(v));
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::tuple>(t);
}

py::object real(double v) {
    PyObject* o = PyFloat_FromDouble(v);
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object integer(long long v) {
    PyObject* o = PyLong_FromLongLong(v);
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::list list_of(const py::object* items, std::size_t n) {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(n));
    if (!out) throw py::error_already_set();
    for (std::size_t k = 0; k < n; ++k) PyList_SET_ITEM(out, static_cast<Py_ssize_t>(k), items[k].inc_ref().ptr());
    return py::reinterpret_steal<py::list>(out);
}

py::list empty_list() {
    PyObject* out = PyList_New(0);
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(out);
}

void append(const py::list& list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw py::error_already_set();
}

py::tuple tuple_of(const py::object* items, std::size_t n) {
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (!out) throw py::error_already_set();
    for (std::size_t k = 0; k < n; ++k) PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(k), items[k].inc_ref().ptr());
    return py::reinterpret_steal<py::tuple>(out);
}

namespace {

struct BoxValues {
    py::object v[4];
    explicit BoxValues(const track::Box& b) : v{real(b.l), real(b.t), real(b.r), real(b.b)} {}
};

}  // namespace

py::tuple box_tuple(const track::Box& b) { return tuple_of(BoxValues(b).v, 4); }

py::list box_list(const track::Box& b) { return list_of(BoxValues(b).v, 4); }

std::string number_repr(double v) {
    if (std::isfinite(v) && std::fabs(v) < 1e15 && std::floor(v) == v)
        return std::to_string(static_cast<long long>(v));
    return py::repr(real(v)).cast<std::string>();
}

std::string box_repr(const track::Box& b) {
    return "[" + number_repr(b.l) + ", " + number_repr(b.t) + ", " + number_repr(b.r) + ", " +
           number_repr(b.b) + "]";
}

}  // namespace rm::bind

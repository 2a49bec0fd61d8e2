// Python-to-core conversions shared by the `target` and `utils` modules.
#pragma once
#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "iou.hpp"

namespace rm::bind {

namespace py = pybind11;

// A real number (int, float, numpy scalar, ...); texts and complex numbers are refused.
double to_real(py::handle v, const char* what);

// A box: any sequence of four real numbers left, top, right, bottom, finite, with
// right >= left and bottom >= top.
track::Box to_box(py::handle v, const char* what);

// An exact list or tuple of four exact ints or floats: converting it runs no code.
bool plain_box(PyObject* v);
// to_box() of a box that plain_box() accepted.
track::Box to_plain_box(PyObject* v, const char* what);
// The same from the four values such a box holds.
track::Box to_plain_box(PyObject* const* values, const char* what);

// A threshold: a real number in [0, 1].
double to_threshold(py::handle v, const char* what);

// Iterable argument as a tuple of its items (texts are refused: iterating one is never
// meant). A private tuple, so converting an item cannot change what we iterate over.
py::tuple to_tuple(py::handle v, const char* what);

// New Python values. A failed allocation raises the interpreter's MemoryError (pybind11's
// own constructors turn it into RuntimeError). Containers are made from finished items,
// so the collector never sees one with an empty slot.
py::object real(double v);
py::object integer(long long v);
py::list list_of(const py::object* items, std::size_t n);
py::list empty_list();
void append(const py::list& list, py::handle item);
py::tuple tuple_of(const py::object* items, std::size_t n);
inline py::list list_of(const std::vector<py::object>& items) { return list_of(items.data(), items.size()); }
inline py::tuple tuple_of(std::initializer_list<py::object> items) { return tuple_of(items.begin(), items.size()); }

py::tuple box_tuple(const track::Box& b);
py::list box_list(const track::Box& b);

// "920" for whole numbers, the shortest float repr otherwise.
std::string number_repr(double v);
std::string box_repr(const track::Box& b);

}  // namespace rm::bind

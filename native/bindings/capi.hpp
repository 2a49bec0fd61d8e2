// Capsules over the C entry points of track_capi.h.
#pragma once
#include <pybind11/pybind11.h>

#include "track_capi.h"

namespace rm::bind {

namespace py = pybind11;

// Runs f(); a C++ exception becomes the Python exception pybind11 would have raised for
// it at a binding's boundary. True when f returned normally.
template <class F>
bool translated(F&& f) noexcept {
    try {
        f();
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        try {
            py::detail::try_translate_exceptions();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "untranslatable C++ exception");
        }
    }
    return false;
}

// A capsule owning a copy of the table and a reference to each object it names.
py::capsule utils_capsule(const rm_utils_capi& table);
py::capsule target_capsule(const rm_target_capi& table);

}  // namespace rm::bind

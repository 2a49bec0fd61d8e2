#include "capi.hpp"

#include <new>
#include <type_traits>

namespace rm::bind {

namespace {

template <class Table>
void release(PyObject* capsule, const char* name) {
    auto* t = static_cast<Table*>(PyCapsule_GetPointer(capsule, name));
    if (!t) {
        PyErr_Clear();
        return;
    }
    if constexpr (std::is_same_v<Table, rm_utils_capi>) {
        Py_XDECREF(t->box2meas);
    } else {
        Py_XDECREF(t->type);
        Py_XDECREF(t->association);
    }
    delete t;
}

void release_utils(PyObject* c) { release<rm_utils_capi>(c, RM_UTILS_CAPI_NAME); }
void release_target(PyObject* c) { release<rm_target_capi>(c, RM_TARGET_CAPI_NAME); }

template <class Table>
py::capsule make(const Table& table, const char* name, PyCapsule_Destructor destructor) {
    auto* t = new Table(table);
    PyObject* c = PyCapsule_New(t, name, destructor);
    if (!c) {
        delete t;
        throw py::error_already_set();
    }
    // References taken only once the capsule owns the table, so its destructor frees them.
    if constexpr (std::is_same_v<Table, rm_utils_capi>) {
        Py_XINCREF(t->box2meas);
    } else {
        Py_XINCREF(t->type);
        Py_XINCREF(t->association);
    }
    return py::reinterpret_steal<py::capsule>(c);
}

}  // namespace

py::capsule utils_capsule(const rm_utils_capi& table) { return make(table, RM_UTILS_CAPI_NAME, release_utils); }
py::capsule target_capsule(const rm_target_capi& table) { return make(table, RM_TARGET_CAPI_NAME, release_target); }

}  // namespace rm::bind

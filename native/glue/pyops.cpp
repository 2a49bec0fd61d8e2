#include "pyops.hpp"

#include "module_state.hpp"
#include "native_function.hpp"

namespace rm {

Ref load_global(const Ctx& c, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(c.globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise_current();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_current();
}

bool holds(PyObject* dict, PyObject* name, PyObject* expected) {
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) raise_current();
    return v == expected;
}

namespace {

// What generic attribute lookup finds in obj's own __dict__ under name, or nothing.
Ref instance_attribute(PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj)->tp_dictoffset == 0) return Ref();
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    PyObject* v = PyDict_GetItemWithError(dict.get(), name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise_current();
    return Ref();
}

Ref call_vector(PyObject* f, PyObject* const* args, std::size_t n) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(f, args, n, nullptr));
#else
    return Ref::steal(_PyObject_Vectorcall(f, args, n, nullptr));
#endif
}

}  // namespace

MethodLookup lookup_method(PyObject* obj, PyObject* name) {
    // The lookup Python would do, done once: with the plain attribute machinery, a class
    // attribute that is one of our functions (not a data descriptor) yields to an instance
    // attribute and otherwise binds to obj.
    MethodLookup found;
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        Ref fn = Ref::borrow(_PyType_Lookup(tp, name));
        if (fn && is_native_function(fn.get())) {
            found.own = instance_attribute(obj, name);
            if (!found.own) found.fn = fn;
        }
    }
    return found;
}

Ref call_found(const MethodLookup& found, PyObject* name, PyObject* const* args, std::size_t n) {
    if (found.own) return call_vector(found.own.get(), args + 1, n - 1);
    // Calling our function with obj first is what the bound method would do, without making one.
    if (found.fn) return Ref::steal(call_native_function(found.fn.get(), args, n));
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_VectorcallMethod(name, args, n, nullptr));
#else
    Ref bound = getattr(args[0], name);
    return call_vector(bound.get(), args + 1, n - 1);
#endif
}

Ref call_method_vector(PyObject* name, PyObject* const* args, std::size_t n) {
    return call_found(lookup_method(args[0], name), name, args, n);
}

Ref get_default(PyObject* obj, PyObject* get_name, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        Ref hold = Ref::borrow(obj);
        PyObject* v = PyDict_GetItemWithError(obj, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise_current();
        return none();
    }
    return call_method(obj, get_name, key);
}

Ref get_item(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        Ref hold = Ref::borrow(obj);
        PyObject* v = PyDict_GetItemWithError(obj, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) raise_current();
        // KeyError carries the key itself; a tuple key must not be taken as the args.
        Ref arg = Ref::steal(PyTuple_Pack(1, key));
        PyErr_SetObject(PyExc_KeyError, arg.get());
        raise_current();
    }
    return Ref::steal(PyObject_GetItem(obj, key));
}

Ref get_index(PyObject* obj, Py_ssize_t i) {
    if (PyList_CheckExact(obj)) {
        if (i >= 0 && i < PyList_GET_SIZE(obj)) return Ref::borrow(PyList_GET_ITEM(obj, i));
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        raise_current();
    }
    Ref key = new_int(i);
    return Ref::steal(PyObject_GetItem(obj, key.get()));
}

void set_item(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyObject_SetItem(obj, key, value) < 0) raise_current();
}

void set_index(PyObject* obj, Py_ssize_t i, PyObject* value) {
    Ref key = new_int(i);
    set_item(obj, key.get(), value);
}

bool contains(PyObject* obj, PyObject* key) {
    int r = PySequence_Contains(obj, key);
    if (r < 0) raise_current();
    return r == 1;
}

bool truthy(PyObject* obj) {
    int r = PyObject_IsTrue(obj);
    if (r < 0) raise_current();
    return r == 1;
}

Py_ssize_t length(PyObject* obj) {
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) raise_current();
    return n;
}

Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref add_in_place(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceAdd(a, b)); }
Ref to_str(PyObject* obj) { return Ref::steal(PyObject_Str(obj)); }
Ref to_int(PyObject* obj) { return Ref::steal(PyNumber_Long(obj)); }
Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(obj, name, value) < 0) raise_current();
}

bool compare(PyObject* a, PyObject* b, int op) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    return truthy(r.get());
}

Ref new_list() { return Ref::steal(PyList_New(0)); }
Ref new_dict() { return Ref::steal(PyDict_New()); }
Ref new_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

void list_append(PyObject* list, PyObject* item) {
    if (PyList_Append(list, item) < 0) raise_current();
}

Ref list_of4(const Ref* v) { return list_of(v, 4); }

void unpack(PyObject* obj, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Ref hold = Ref::borrow(obj);
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == n) {
            PyObject** items = PySequence_Fast_ITEMS(obj);
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
            return;
        }
        if (size < n)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, size);
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise_current();
    }
    PyObject* raw_it = PyObject_GetIter(obj);
    if (!raw_it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(obj)->tp_iter == nullptr &&
            !PySequence_Check(obj)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        raise_current();
    }
    Ref it = Ref::steal(raw_it);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyIter_Next(it.get());
        if (!v) {
            if (PyErr_Occurred()) raise_current();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            raise_current();
        }
        out[i] = Ref::steal(v);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise_current();
    }
    if (PyErr_Occurred()) raise_current();
}

}  // namespace rm

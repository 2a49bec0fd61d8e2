// Python-semantics building blocks: each does what the equivalent Python expression
// does (same results, same exception types), with fast paths for exact built-ins.
#pragma once
#include <cstddef>

#include "pyref.hpp"

namespace rm {

// dict[name] is expected (identity): nothing runs but a key's own __eq__, whose error
// the plain code would meet as well and which is raised.
bool holds(PyObject* dict, PyObject* name, PyObject* expected);
// d.get(key): exact dicts directly, anything else through its own .get.
Ref get_default(PyObject* obj, PyObject* get_name, PyObject* key);
// obj[key]
Ref get_item(PyObject* obj, PyObject* key);
// obj[i] with a Python int index
Ref get_index(PyObject* obj, Py_ssize_t i);
// obj[key] = value
void set_item(PyObject* obj, PyObject* key, PyObject* value);
// obj[i] = value with a Python int index
void set_index(PyObject* obj, Py_ssize_t i, PyObject* value);
// key in obj
bool contains(PyObject* obj, PyObject* key);
// bool(obj)
bool truthy(PyObject* obj);
// len(obj)
Py_ssize_t length(PyObject* obj);
// a + b
Ref add(PyObject* a, PyObject* b);
// a += b (the new value of a)
Ref add_in_place(PyObject* a, PyObject* b);
// str(obj)
Ref to_str(PyObject* obj);
// int(obj)
Ref to_int(PyObject* obj);
// getattr(obj, name)
Ref getattr(PyObject* obj, PyObject* name);
// setattr(obj, name, value)
void setattr(PyObject* obj, PyObject* name, PyObject* value);
// f(*args)
template <class... A>
Ref call(PyObject* f, A... args) {
    return Ref::steal(PyObject_CallFunctionObjArgs(f, static_cast<PyObject*>(args)..., nullptr));
}
// What obj.name resolves to when finding it runs no code: one of our functions on the
// type (fn), or the instance's own attribute shadowing one (own). Neither: only Python's
// own lookup can tell.
struct MethodLookup {
    Ref fn;
    Ref own;
};
MethodLookup lookup_method(PyObject* obj, PyObject* name);
// args[0].name(*args[1:n]) for what lookup_method(args[0], name) found.
Ref call_found(const MethodLookup& found, PyObject* name, PyObject* const* args, std::size_t n);
// args[0].name(*args[1:n]), looked up through the instance on every call.
Ref call_method_vector(PyObject* name, PyObject* const* args, std::size_t n);
// obj.name(*args), looked up through the instance on every call
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return call_method_vector(name, argv, sizeof...(A) + 1);
}
// a OP b, then bool() of the outcome
bool compare(PyObject* a, PyObject* b, int op);
Ref new_list();
Ref new_dict();
Ref new_int(long long v);
void list_append(PyObject* list, PyObject* item);
// [v[0], v[1], v[2], v[3]] from four values made beforehand: a list the collector can see
// never has an empty slot.
Ref list_of4(const Ref* v);
// A list of n items made in one go, for the same reason: nothing runs between its
// allocation and its fill. get(i) gives item i (borrowed).
template <class Get>
Ref list_filled(Py_ssize_t n, Get get) {
    Ref list = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(get(i)));
    return list;
}
inline Ref list_from(PyObject* const* items, Py_ssize_t n) {
    return list_filled(n, [items](Py_ssize_t i) { return items[i]; });
}
// [v[0], ..., v[n-1]]
inline Ref list_of(const Ref* v, Py_ssize_t n) {
    return list_filled(n, [v](Py_ssize_t i) { return v[i].get(); });
}
// [item] * n
inline Ref list_repeat(PyObject* item, Py_ssize_t n) {
    return list_filled(n, [item](Py_ssize_t) { return item; });
}
// a, b, ... = obj (exactly n items, Python's unpacking errors otherwise)
void unpack(PyObject* obj, Py_ssize_t n, Ref* out);

// for item in iterable: f(item). Exact lists are walked by index, re-reading the
// size each step as the list iterator does, so a list mutated meanwhile behaves the same.
template <class F>
void for_each(PyObject* iterable, F&& f) {
    if (PyList_CheckExact(iterable)) {
        Ref hold = Ref::borrow(iterable);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            f(item.get());
        }
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    for (;;) {
        PyObject* raw = PyIter_Next(it.get());
        if (!raw) {
            if (PyErr_Occurred()) raise_current();
            return;
        }
        Ref item = Ref::steal(raw);
        f(item.get());
    }
}

}  // namespace rm

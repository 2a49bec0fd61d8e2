// A function type of our own for the classes' methods: it binds like a Python
// function (descriptor returning a bound method), carries __name__, __qualname__,
// __doc__, __module__ and __dict__, and parses its argument list the way a Python
// function with only positional-or-keyword parameters does.
#pragma once
#include <cstddef>

#include "module_state.hpp"

namespace rm {

constexpr int kMaxArgs = 6;

struct MethodDef {
    const char* name;
    const char* doc;  // nullptr: no docstring
    int nargs;        // including self
    const char* argnames[kMaxArgs];
    PyObject* (*body)(Ctx&, PyObject* const* args);  // new reference, or throws PyError
};
using NativeBody = PyObject* (*)(Ctx&, PyObject* const*);

// One call's worth of our functions' nesting, counted against the recursion limit as a
// Python function's frame would be; entered() is false (RecursionError set) past it.
class NestingGuard {
public:
    NestingGuard();
    ~NestingGuard();
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
    bool entered() const { return entered_; }

private:
    bool entered_ = false;
};

// One of our function objects (of any instance of the module)?
bool is_native_function(PyObject* o);
// fn(*args) for one of our functions: argument checks, recursion accounting and body,
// as calling it through the bound method does (new reference, or nullptr with an error).
PyObject* call_native_function(PyObject* fn, PyObject* const* args, std::size_t n);
// fn's body when fn is one of this module instance's own functions (c's); null otherwise.
NativeBody own_body(const Ctx& c, PyObject* fn);

// Creates the heap type of the module's functions (stored in the module state).
PyObject* create_function_type(PyObject* module);

// One function object for `def` inside class `class_name` of `module`.
Ref make_function(PyObject* module, const MethodDef* def, const char* class_name);

// Builds a plain class exactly as a class statement without bases would.
Ref make_class(PyObject* module, const char* name, const char* doc, const MethodDef* defs, int count);

}  // namespace rm

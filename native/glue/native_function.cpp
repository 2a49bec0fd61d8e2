#include "native_function.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "pyops.hpp"
#include "structmember.h"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

#if PY_VERSION_HEX < 0x03090000
#define RM_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#define RM_Vectorcall_Call PyVectorcall_Call
#else
#define RM_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#define RM_Vectorcall_Call PyVectorcall_Call
#endif

namespace rm {
namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* module;  // keeps the state and namespace alive
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* modname;
    PyObject* dict;
    PyObject* weakreflist;
};

inline NativeFunction* as_fn(PyObject* o) { return reinterpret_cast<NativeFunction*>(o); }

// Python names a function in its argument errors by qualname from 3.10 on.
std::string display_name(const NativeFunction* f) {
#if PY_VERSION_HEX >= 0x030A0000
    const char* q = PyUnicode_Check(f->qualname) ? PyUnicode_AsUTF8(f->qualname) : nullptr;
    if (q) return q;
    PyErr_Clear();
#endif
    return f->def->name;
}

void raise_missing(const NativeFunction* f, PyObject* const* argv) {
    const MethodDef* d = f->def;
    std::string names;
    int missing = 0;
    for (int i = 0; i < d->nargs; ++i)
        if (!argv[i]) ++missing;
    int seen = 0;
    for (int i = 0; i < d->nargs; ++i) {
        if (argv[i]) continue;
        ++seen;
        if (seen > 1) {
            if (missing == 2)
                names += " and ";
            else if (seen == missing)
                names += ", and ";
            else
                names += ", ";
        }
        names += "'";
        names += d->argnames[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", display_name(f).c_str(),
                 missing, missing == 1 ? "" : "s", names.c_str());
}

// Nesting depth of our functions on this thread. From 3.12 on Py_EnterRecursiveCall guards
// the C stack only, with a limit far above sys.getrecursionlimit(); our functions stand
// for Python functions, so their own depth is held to the Python limit on every version.
thread_local int nesting_depth = 0;

// The recursion limit counts frames, not bytes: from 3.11 on Python-to-Python calls take no
// C stack, so a high limit lets a cycle through our functions run the thread's stack out.
// Each level is therefore also held to what is left of the C stack. Where the stack's
// bounds cannot be read, a fixed depth stands in, well inside the smallest usual stack.
constexpr int kFallbackDepth = 2000;

struct StackBounds {
    bool read = false;
    std::uintptr_t floor = 0;  // lowest address a call may reach; 0 where unknown
};
thread_local StackBounds stack_bounds;

std::uintptr_t here() {
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
    volatile char probe = 0;
    return reinterpret_cast<std::uintptr_t>(&probe);
#endif
}

// Headroom kept below a level: one cycle's frames (ours, the interpreter's, OpenCV's
// buffers) take a few kilobytes; stacks of threads may be small.
std::uintptr_t headroom(std::size_t size) {
    const std::size_t wanted = std::max<std::size_t>(256 * 1024, size / 8);
    return static_cast<std::uintptr_t>(std::min(wanted, size / 2));
}

void read_stack_bounds(StackBounds& b) {
    b.read = true;
#if defined(__linux__) && defined(__GLIBC__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    std::size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || !addr || size == 0) return;
    // An unlimited main-thread stack reports a size it cannot grow to: assume the usual 8 MiB.
    constexpr std::size_t kAssumed = 8u << 20;
    const std::uintptr_t top = reinterpret_cast<std::uintptr_t>(addr) + size;
    if (size > (1u << 30)) {
        size = kAssumed;
        addr = reinterpret_cast<void*>(top - size);
    }
    b.floor = reinterpret_cast<std::uintptr_t>(addr) + headroom(size);
#elif defined(__APPLE__)
    const std::uintptr_t top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
    const std::size_t size = pthread_get_stacksize_np(pthread_self());
    if (top && size) b.floor = top - size + headroom(size);
#endif
}

bool stack_left() {
    StackBounds& b = stack_bounds;
    if (!b.read) read_stack_bounds(b);
    if (b.floor == 0) return nesting_depth < kFallbackDepth;
    return here() > b.floor;
}

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 on, Python ends this error with the closest parameter name, if any is close:
// an edit distance over the UTF-8 bytes where a case flip costs 1 and any other edit 2,
// within a third of the characters involved, common prefix and suffix trimmed first.
constexpr Py_ssize_t kMoveCost = 2;
constexpr size_t kMaxSuggestLength = 40;

Py_ssize_t substitution_cost(unsigned char a, unsigned char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
    if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
    return a == b ? 1 : kMoveCost;
}

Py_ssize_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) ++a, ++b, --a_size, --b_size;
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
    if (a_size == 0 || b_size == 0) return static_cast<Py_ssize_t>((a_size + b_size) * kMoveCost);
    if (a_size > kMaxSuggestLength || b_size > kMaxSuggestLength) return static_cast<Py_ssize_t>(max_cost + 1);
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
    size_t row[kMaxSuggestLength];
    for (size_t i = 0; i < a_size; ++i) row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; ++bi) {
        size_t diagonal = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t ai = 0; ai < a_size; ++ai) {
            size_t substitute = diagonal + substitution_cost(b[bi], a[ai]);
            diagonal = row[ai];
            result = std::min(std::min(result, diagonal) + kMoveCost, substitute);
            row[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return static_cast<Py_ssize_t>(max_cost + 1);
    }
    return static_cast<Py_ssize_t>(result);
}

// The parameter name Python would suggest for an unknown keyword, or nullptr.
const char* closest_parameter(const MethodDef* d, PyObject* key) {
    Py_ssize_t key_size;
    const char* key_utf8 = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (!key_utf8) {  // lone surrogates: Python offers nothing either
        PyErr_Clear();
        return nullptr;
    }
    const char* best = nullptr;
    Py_ssize_t best_distance = PY_SSIZE_T_MAX;
    for (int i = 0; i < d->nargs; ++i) {
        const char* name = d->argnames[i];
        Py_ssize_t name_size = static_cast<Py_ssize_t>(std::strlen(name));
        if (name_size == key_size && std::memcmp(name, key_utf8, name_size) == 0) continue;
        Py_ssize_t max_distance = std::min((key_size + name_size + 3) * kMoveCost / 6, best_distance - 1);
        if (max_distance < 0) continue;
        Py_ssize_t distance = edit_distance(key_utf8, static_cast<size_t>(key_size), name,
                                            static_cast<size_t>(name_size), static_cast<size_t>(max_distance));
        if (distance > max_distance) continue;
        if (!best || distance < best_distance) {
            best = name;
            best_distance = distance;
        }
    }
    return best;
}
#endif

void raise_unexpected_keyword(const NativeFunction* f, PyObject* key) {
    std::string name = display_name(f);
#if PY_VERSION_HEX >= 0x030D0000
    if (const char* hint = closest_parameter(f->def, key)) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'. Did you mean '%s'?",
                     name.c_str(), key, hint);
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", name.c_str(), key);
}

PyObject* nf_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* f = as_fn(callable);
    const MethodDef* d = f->def;
    Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    PyObject* argv[kMaxArgs] = {nullptr};
    if (npos > d->nargs) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given", display_name(f).c_str(),
                     d->nargs, d->nargs == 1 ? "" : "s", npos, npos == 1 ? "was" : "were");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) argv[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", display_name(f).c_str());
                return nullptr;
            }
            int slot = -1;
            for (int i = 0; i < d->nargs; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, d->argnames[i]) == 0) {
                    slot = i;
                    break;
                }
            }
            if (slot < 0) {
                raise_unexpected_keyword(f, key);
                return nullptr;
            }
            if (argv[slot]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", display_name(f).c_str(),
                             d->argnames[slot]);
                return nullptr;
            }
            argv[slot] = args[npos + k];
        }
    }
    for (int i = 0; i < d->nargs; ++i) {
        if (!argv[i]) {
            raise_missing(f, argv);
            return nullptr;
        }
    }
    // The caller's references may be its only ones (a kwargs dict another thread
    // mutates, say); hold our own for the whole call.
    Ref held[kMaxArgs];
    for (int i = 0; i < d->nargs; ++i) held[i] = Ref::borrow(argv[i]);
    Ref module = Ref::borrow(f->module);
    // The methods reach each other through the instance with no Python frame in between:
    // count each call against the recursion limit as a Python function's frame would be.
    NestingGuard nesting;
    if (!nesting.entered()) return nullptr;
    try {
        Ctx ctx{static_cast<ModuleState*>(PyModule_GetState(module.get())), PyModule_GetDict(module.get())};
        return d->body(ctx, argv);
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

PyObject* nf_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

int nf_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_fn(self);
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->modname);
    Py_VISIT(f->dict);
    return 0;
}

int nf_clear(PyObject* self) {
    NativeFunction* f = as_fn(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->modname);
    Py_CLEAR(f->dict);
    return 0;
}

void nf_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakreflist) PyObject_ClearWeakRefs(self);
    nf_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* nf_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_text(&as_fn(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_text(&as_fn(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_fn(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XINCREF(v ? v : Py_None);
    Py_SETREF(as_fn(self)->doc, v ? v : Py_None);
    return 0;
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_fn(self)->modname); }
int set_module(PyObject* self, PyObject* v, void*) {
    Py_XINCREF(v ? v : Py_None);
    Py_SETREF(as_fn(self)->modname, v ? v : Py_None);
    return 0;
}
PyObject* get_globals(PyObject* self, void*) {
    PyObject* m = as_fn(self)->module;
    return Py_NewRef(PyModule_GetDict(m));
}
PyObject* get_text_signature(PyObject* self, void*) {
    const MethodDef* d = as_fn(self)->def;
    std::string sig = "(";
    for (int i = 0; i < d->nargs; ++i) {
        if (i) sig += ", ";
        sig += d->argnames[i];
    }
    sig += ")";
    return PyUnicode_FromString(sig.c_str());
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef nf_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef nf_members[] = {
#if PY_VERSION_HEX >= 0x03090000
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakreflist), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

#if PY_VERSION_HEX < 0x030A0000
// Only make_function creates these: an instance from type() would have no definition.
PyObject* nf_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}
#define RM_TPFLAGS_DISALLOW_INSTANTIATION 0
#else
#define RM_TPFLAGS_DISALLOW_INSTANTIATION Py_TPFLAGS_DISALLOW_INSTANTIATION
#endif

PyType_Slot nf_slots[] = {
#if PY_VERSION_HEX < 0x030A0000
    {Py_tp_new, reinterpret_cast<void*>(nf_new)},
#endif
    {Py_tp_dealloc, reinterpret_cast<void*>(nf_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(nf_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(nf_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(nf_repr)},
    {Py_tp_call, reinterpret_cast<void*>(RM_Vectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(nf_descr_get)},
    {Py_tp_getset, nf_getset},
    {Py_tp_members, nf_members},
    {0, nullptr},
};

PyType_Spec nf_spec = {
    "object_detection.post_processing.recognition_mode.main.function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | RM_TPFLAGS_HAVE_VECTORCALL |
        RM_TPFLAGS_DISALLOW_INSTANTIATION,
    nf_slots,
};

}  // namespace

NestingGuard::NestingGuard() {
    if (nesting_depth >= Py_GetRecursionLimit() || !stack_left()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        return;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return;
    ++nesting_depth;
    entered_ = true;
}

NestingGuard::~NestingGuard() {
    if (!entered_) return;
    --nesting_depth;
    Py_LeaveRecursiveCall();
}

NativeBody own_body(const Ctx& c, PyObject* fn) {
    if (!is_native_function(fn) || !as_fn(fn)->module || PyModule_GetState(as_fn(fn)->module) != c.st)
        return nullptr;
    return as_fn(fn)->def->body;
}

bool is_native_function(PyObject* o) { return Py_TYPE(o)->tp_descr_get == nf_descr_get; }

PyObject* call_native_function(PyObject* fn, PyObject* const* args, std::size_t n) {
    return nf_vectorcall(fn, args, n, nullptr);
}

PyObject* create_function_type(PyObject*) {
    PyObject* tp = PyType_FromSpec(&nf_spec);
    if (!tp) return nullptr;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(tp);
#if PY_VERSION_HEX < 0x03090000
    // 3.8 takes no offset members from PyType_Slot tables; set them on the fresh heap type.
    t->tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    t->tp_dictoffset = offsetof(NativeFunction, dict);
    t->tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
#endif
    (void)t;
    return tp;
}

Ref make_function(PyObject* module, const MethodDef* def, const char* class_name) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(st->function_type);
    Ref name = Ref::steal(PyUnicode_InternFromString(def->name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, def->name));
    Ref doc = def->doc ? Ref::steal(PyUnicode_FromString(def->doc)) : none();
    Ref modname = Ref::borrow(PyDict_GetItemWithError(PyModule_GetDict(module), st->s_dunder_name));
    if (!modname) {
        if (PyErr_Occurred()) raise_current();
        modname = none();
    }
    NativeFunction* f = PyObject_GC_New(NativeFunction, tp);
    if (!f) raise_current();
    f->vectorcall = nf_vectorcall;
    f->def = def;
    f->module = Py_NewRef(module);
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->modname = modname.release();
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref make_class(PyObject* module, const char* name, const char* doc, const MethodDef* defs, int count) {
    ModuleState* st = static_cast<ModuleState*>(PyModule_GetState(module));
    PyObject* globals = PyModule_GetDict(module);
    Ref ns = new_dict();
    // The order a class statement gives: __module__, __qualname__, __doc__, then the methods.
    PyObject* modname = PyDict_GetItemWithError(globals, st->s_dunder_name);
    if (!modname) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name '__name__' is not defined");
        raise_current();
    }
    set_item(ns.get(), st->s_dunder_module, modname);
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    set_item(ns.get(), st->s_dunder_qualname, qualname.get());
    Ref docstr = Ref::steal(PyUnicode_FromString(doc));
    set_item(ns.get(), st->s_dunder_doc, docstr.get());
    for (int i = 0; i < count; ++i) {
        Ref fn = make_function(module, &defs[i], name);
        Ref key = Ref::steal(PyUnicode_InternFromString(defs[i].name));
        set_item(ns.get(), key.get(), fn.get());
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref cls_name = Ref::steal(PyUnicode_FromString(name));
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), cls_name.get(),
                                                   bases.get(), ns.get(), nullptr));
}

}  // namespace rm

// Module definition and load: imports, logger, thresholds and classes, in the
// order a Python module body would run them, then the self-test under __main__.
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <vector>

#include "../bindings/track_capi.h"
#include "classes.hpp"
#include "fast_phash.hpp"
#include "pyops.hpp"

#if defined(__GNUC__)
#define RM_EXPORT __attribute__((visibility("default")))
#else
#define RM_EXPORT
#endif

namespace rm {
namespace {

ModuleState* state_of(PyObject* m) { return static_cast<ModuleState*>(PyModule_GetState(m)); }

// Every object slot of the state, for traverse and clear alike.
template <class F>
void for_each_state_slot(ModuleState* st, F&& f) {
#define RM_VISIT_NAME(field, text) f(&st->s_##field);
    RM_NAMES(RM_VISIT_NAME)
#undef RM_VISIT_NAME
    for (PyObject** slot : {&st->function_type, &st->numpy, &st->size50, &st->int0, &st->int100, &st->int600,
                            &st->slice0_10, &st->cv2, &st->cv2_resize, &st->cv2_cvtColor, &st->cv2_dct,
                            &st->cv2_grey_code, &st->np_float32, &st->ndarray, &st->np_frombuffer, &st->np_uint8,
                            &st->np_array, &st->hash_sizes,
                            &st->target_capi, &st->utils_capi, &st->label_number, &st->label_text})
        f(slot);
}

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = state_of(m);
    if (!st) return 0;
    int rc = 0;
    for_each_state_slot(st, [&](PyObject** slot) {
        if (!rc && *slot) rc = visit(*slot, arg);
    });
    return rc;
}

int module_clear(PyObject* m) {
    ModuleState* st = state_of(m);
    if (st) for_each_state_slot(st, [](PyObject** slot) { Py_CLEAR(*slot); });
    return 0;
}

void module_free(void* m) { module_clear(static_cast<PyObject*>(m)); }

void init_state(PyObject* m, ModuleState* st) {
#define RM_INIT_NAME(field, text) \
    st->s_##field = PyUnicode_InternFromString(text); \
    if (!st->s_##field) raise_current();
    RM_NAMES(RM_INIT_NAME)
#undef RM_INIT_NAME
    st->function_type = create_function_type(m);
    if (!st->function_type) raise_current();
    st->int0 = PyLong_FromLong(0);
    st->int100 = PyLong_FromLong(100);
    st->int600 = PyLong_FromLong(600);
    if (!st->int0 || !st->int100 || !st->int600) raise_current();
    {
        Ref fifty = Ref::steal(PyLong_FromLong(50));
        st->size50 = PyTuple_Pack(2, fifty.get(), fifty.get());
        if (!st->size50) raise_current();
    }
    st->slice0_10 = PySlice_New(st->int0, Ref::steal(PyLong_FromLong(10)).get(), nullptr);
    if (!st->slice0_10) raise_current();
}

// __import__(name, globals, None, fromlist, level), through the builtins hook as
// an import statement does.
Ref do_import(const Ctx& c, const char* name, PyObject* fromlist, int level) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* import_fn = builtins ? PyDict_GetItemWithError(builtins, c.st->s_dunder_import) : nullptr;
    if (!import_fn) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        raise_current();
    }
    Ref fn = Ref::borrow(import_fn);
    Ref mod_name = Ref::steal(PyUnicode_FromString(name));
    Ref lvl = new_int(level);
    return call(fn.get(), mod_name.get(), c.globals, Py_None, fromlist ? fromlist : Py_None, lvl.get()) ;
}

// The `from module import name` step: attribute, then a submodule, then ImportError.
Ref import_from(PyObject* mod, const char* attr) {
    Ref name = Ref::steal(PyUnicode_FromString(attr));
    PyObject* v = PyObject_GetAttr(mod, name.get());
    if (v) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
    PyErr_Clear();
    PyObject* pkgname = PyObject_GetAttrString(mod, "__name__");
    if (pkgname && !PyUnicode_Check(pkgname)) Py_CLEAR(pkgname);
    PyErr_Clear();
    Ref pkg = Ref::steal(pkgname ? pkgname : Py_NewRef(Py_None));
    if (pkgname) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", pkg.get(), name.get()));
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* sub = PyDict_GetItemWithError(modules, full.get());
        if (sub) return Ref::borrow(sub);
        if (PyErr_Occurred()) raise_current();
    }
    PyObject* path = PyModule_Check(mod) ? PyModule_GetFilenameObject(mod) : nullptr;
    PyErr_Clear();
    Ref pkgpath = Ref::steal(path ? path : Py_NewRef(Py_None));
    Ref shown = pkgname ? pkg : Ref::steal(PyUnicode_FromString("<unknown module name>"));
    Ref msg = (path && PyUnicode_Check(path))
                  ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name.get(), shown.get(),
                                                    pkgpath.get()))
                  : Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name.get(),
                                                    shown.get()));
    PyErr_SetImportError(msg.get(), pkgname ? pkg.get() : nullptr,
                         (path && PyUnicode_Check(path)) ? pkgpath.get() : nullptr);
    raise_current();
}

void bind(const Ctx& c, const char* name, PyObject* value) {
    if (PyDict_SetItemString(c.globals, name, value) < 0) raise_current();
}

Ref fromlist(std::initializer_list<const char*> names) {
    // The names first, then the tuple: it is never seen with an empty slot.
    std::vector<Ref> items;
    for (const char* n : names) items.push_back(Ref::steal(PyUnicode_InternFromString(n)));
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return t;
}

// The `_capi` capsule of a tracking module, when it is a real module that has one
// (stand-ins without it leave the tracker on the Python calls); borrowed.
PyObject* capsule_of(const Ctx& c, PyObject* module, const char* name) {
    if (!PyModule_Check(module)) return nullptr;
    PyObject* cap = PyDict_GetItemWithError(PyModule_GetDict(module), c.st->s_dunder_capi);
    if (!cap) {
        if (PyErr_Occurred()) raise_current();
        return nullptr;
    }
    return PyCapsule_IsValid(cap, name) ? cap : nullptr;
}

void remember_tracking_entry_points(const Ctx& c, PyObject* target, PyObject* utils) {
    ModuleState* st = c.st;
    if (PyObject* cap = capsule_of(c, target, RM_TARGET_CAPI_NAME)) {
        auto* t = static_cast<const rm_target_capi*>(PyCapsule_GetPointer(cap, RM_TARGET_CAPI_NAME));
        Ref bound = load_global(c, st->s_TargetRadius);
        if (t && t->version == RM_TRACK_CAPI_VERSION && t->type == bound.get()) st->target_capi = Py_NewRef(cap);
    }
    if (PyObject* cap = capsule_of(c, utils, RM_UTILS_CAPI_NAME)) {
        auto* u = static_cast<const rm_utils_capi*>(PyCapsule_GetPointer(cap, RM_UTILS_CAPI_NAME));
        Ref bound = load_global(c, st->s_box2meas);
        if (u && u->version == RM_TRACK_CAPI_VERSION && u->box2meas == bound.get()) st->utils_capi = Py_NewRef(cap);
    }
}

PyObject* hash_stats(PyObject* m, PyObject*) { return hash_path_counts(state_of(m)); }

PyMethodDef hash_stats_def = {"hash_path_counts", hash_stats, METH_NOARGS,
                              "Counts of the paths phash took in this module instance (diagnostics)."};

PyObject* scaling_diag(PyObject*, PyObject* const* args, Py_ssize_t n) {
    if (n != 2) return PyErr_Format(PyExc_TypeError, "hash_scaling() takes 2 arguments (%zd given)", n);
    return hash_scaling(args[0], args[1]);
}
PyMethodDef scaling_diag_def = {"hash_scaling", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scaling_diag)),
                                METH_FASTCALL,
                                "hash_scaling(img, variant): img scaled to 50 x 50 by one native scaling variant "
                                "(diagnostics)."};
// Diagnostics only, bound when RM_HASH_STATS is set at load.
void bind_hash_stats(PyObject* m, const Ctx& c) {
    Ref name = load_global(c, c.st->s_dunder_name);
    Ref fn = Ref::steal(PyCFunction_NewEx(&hash_stats_def, m, name.get()));
    bind(c, "hash_path_counts", fn.get());
    Ref scaling = Ref::steal(PyCFunction_NewEx(&scaling_diag_def, m, name.get()));
    bind(c, "hash_scaling", scaling.get());
}

int module_exec(PyObject* m) {
    try {
        ModuleState* st = state_of(m);
        init_state(m, st);
        Ref hold = Ref::borrow(m);
        Ctx c{st, PyModule_GetDict(m)};

        bind(c, "cv2", do_import(c, "cv2", nullptr, 0).get());
        bind(c, "time", do_import(c, "time", nullptr, 0).get());
        Ref np = do_import(c, "numpy", nullptr, 0);
        bind(c, "np", np.get());
        st->numpy = np.release();
        remember_hash_objects(c);

        Ref target = do_import(c, "target", fromlist({"TargetRadius"}).get(), 1);
        bind(c, "TargetRadius", import_from(target.get(), "TargetRadius").get());
        Ref utils = do_import(c, "utils", fromlist({"box2meas", "state2box"}).get(), 1);
        bind(c, "box2meas", import_from(utils.get(), "box2meas").get());
        bind(c, "state2box", import_from(utils.get(), "state2box").get());
        remember_tracking_entry_points(c, target.get(), utils.get());
        Ref parametar = do_import(c, "utils.parametar", fromlist({"HYPER_PARA"}).get(), 3);
        bind(c, "HYPER_PARA", import_from(parametar.get(), "HYPER_PARA").get());
        Ref base_utils = do_import(c, "utils.base_utils", fromlist({"get_current_time"}).get(), 3);
        bind(c, "get_current_time", import_from(base_utils.get(), "get_current_time").get());
        Ref logger_mod = do_import(c, "utils.logger", fromlist({"setup_logger"}).get(), 3);
        bind(c, "setup_logger", import_from(logger_mod.get(), "setup_logger").get());

        {
            Ref setup = load_global(c, Ref::steal(PyUnicode_FromString("setup_logger")).get());
            Ref name = load_global(c, st->s_dunder_name);
            bind(c, "logger", call(setup.get(), name.get()).get());
        }
        Ref hp_name = Ref::steal(PyUnicode_FromString("HYPER_PARA"));
        const char* thresholds[][2] = {
            {"iou_thr", "iou_threshold"}, {"pix_thr", "pix_iou_threshold"}, {"move_thr", "move_threshold"}};
        for (auto& t : thresholds) {
            Ref hp = load_global(c, hp_name.get());
            bind(c, t[0], Ref::steal(PyObject_GetAttrString(hp.get(), t[1])).get());
        }

        bind(c, "Camera", make_class(m, "Camera", kCameraDoc, kCameraMethods, kCameraMethodCount).get());
        bind(c, "RecognitionMode",
             make_class(m, "RecognitionMode", kRecognitionModeDoc, kRecognitionModeMethods,
                        kRecognitionModeMethodCount)
                 .get());

        if (std::getenv("RM_HASH_STATS")) bind_hash_stats(m, c);

        Ref name = load_global(c, st->s_dunder_name);
        if (compare(name.get(), st->s_dunder_main, Py_EQ)) run_selftest(c);
        return 0;
    } catch (const PyError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "main",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace rm

extern "C" RM_EXPORT PyObject* PyInit_main(void) { return PyModuleDef_Init(&rm::module_def); }

#include "fast_phash.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fast_hash.hpp"
#include "phash.hpp"
#include "pyops.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#define RM_HAVE_DLADDR 1
#endif

namespace rm {
namespace {

using core::BgrView;
using core::Grey;
using core::Scaling;

enum Path { kNative = 0, kOpenCvScaling = 1, kNearMean = 2, kNotApplicable = 3 };

// module.name read from a plain module's namespace: no __getattr__, nothing else runs.
PyObject* plain_attr(PyObject* module, const char* name) {
    if (!module || !PyModule_CheckExact(module)) return nullptr;
    PyObject* v = PyDict_GetItemString(PyModule_GetDict(module), name);
    return v;
}

// A built-in function of this name whose C code lies in a binary named library*: OpenCV's
// or numpy's own, not a Python wrapper nor a built-in of somebody else's.
bool own_builtin(PyObject* f, const char* name, const char* library) {
    if (!f || Py_TYPE(f) != &PyCFunction_Type) return false;
    const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    if (!def || !def->ml_name || std::strcmp(def->ml_name, name) != 0) return false;
#ifdef RM_HAVE_DLADDR
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(def->ml_meth), &info) || !info.dli_fname) return false;
    const char* base = std::strrchr(info.dli_fname, '/');
    base = base ? base + 1 : info.dli_fname;
    if (std::strncmp(base, library, std::strlen(library)) != 0) return false;
#else
    (void)library;
#endif
    return true;
}

// One of numpy's own static types (a Python class is always a heap type).
bool own_type(PyObject* t, const char* tp_name) {
    if (!t || !PyType_Check(t)) return false;
    const PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(t);
    return !(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strcmp(tp->tp_name, tp_name) == 0;
}

PyObject* keep(PyObject* v, bool ok) { return ok ? Py_NewRef(v) : nullptr; }

// Rows of packed 8-bit BGR pixels, as the native scaling reads them.
bool packed_bgr(const Py_buffer& view) {
    const char* fmt = view.format ? view.format : "B";
    return view.itemsize == 1 && std::strcmp(fmt, "B") == 0 && view.ndim == 3 && view.shape[2] == 3 &&
           view.strides[2] == 1 && view.strides[1] == 3 && view.shape[0] >= 1 && view.shape[1] >= 1 &&
           view.shape[0] < (1 << 30) && view.shape[1] < (1 << 30) && view.strides[0] >= 3 * view.shape[1];
}

// Copies an 8-bit array of exactly the given shape into packed bytes.
bool read_u8(PyObject* arr, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t channels, std::uint8_t* out) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr, &view, PyBUF_RECORDS_RO) < 0) raise_current();
    const char* fmt = view.format ? view.format : "B";
    bool ok = view.itemsize == 1 && (std::strcmp(fmt, "B") == 0 || std::strcmp(fmt, "=B") == 0 ||
                                     std::strcmp(fmt, "<B") == 0 || std::strcmp(fmt, "|B") == 0);
    int want_dims = channels == 1 ? 2 : 3;
    ok = ok && view.ndim == want_dims && view.shape[0] == rows && view.shape[1] == cols &&
         (want_dims == 2 || view.shape[2] == channels);
    if (ok) {
        const char* base = static_cast<const char*>(view.buf);
        for (Py_ssize_t r = 0; r < rows; ++r)
            for (Py_ssize_t col = 0; col < cols; ++col)
                for (Py_ssize_t k = 0; k < channels; ++k) {
                    const char* p = base + r * view.strides[0] + col * view.strides[1] +
                                    (want_dims == 3 ? k * view.strides[2] : 0);
                    *out++ = static_cast<std::uint8_t>(*p);
                }
    }
    PyBuffer_Release(&view);
    return ok;
}

// A numpy uint8 array of shape (rows, cols[, 3]) over `buffer`'s bytes.
Ref u8_array(const ModuleState* st, PyObject* buffer, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t channels) {
    Ref flat = call(st->np_frombuffer, buffer, st->np_uint8);
    Ref shape = channels == 1 ? Ref::steal(Py_BuildValue("(nn)", rows, cols))
                              : Ref::steal(Py_BuildValue("(nnn)", rows, cols, channels));
    return call_method(flat.get(), st->s_reshape, shape.get());
}

// The same over a new bytearray; `bytes` points into it.
Ref new_u8_array(const ModuleState* st, Py_ssize_t rows, Py_ssize_t cols, Py_ssize_t channels, std::uint8_t** bytes) {
    Ref storage = Ref::steal(PyByteArray_FromStringAndSize(nullptr, rows * cols * channels));
    *bytes = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(storage.get()));
    return u8_array(st, storage.get(), rows, cols, channels);
}

// A zeroed uint8 picture (rows, cols, 3) whose untouched pages cost nothing: calloc maps
// fresh zero pages for large sizes, where numpy's zeros would ask for huge pages (each
// touched row then costs two megabytes) and a bytearray is not zeroed. The memory is
// freed once no array refers to it any more, and left alone otherwise.
class ZeroPicture {
public:
    ZeroPicture(const ModuleState* st, Py_ssize_t rows, Py_ssize_t cols) {
        const Py_ssize_t n = rows * cols * 3;
        mem_ = static_cast<std::uint8_t*>(PyMem_RawCalloc(static_cast<std::size_t>(n), 1));
        if (!mem_) {
            PyErr_NoMemory();
            raise_current();
        }
        view_ = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(mem_), n, PyBUF_WRITE));
        array_ = u8_array(st, view_.get(), rows, cols, 3);
    }
    ~ZeroPicture() {
        array_ = Ref();
        bool unused = true;
        if (view_) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);  // may run while an error propagates
            PyObject* r = PyObject_CallMethod(view_.get(), "release", nullptr);
            if (r) {
                Py_DECREF(r);
            } else {
                PyErr_Clear();  // still exported: somebody kept the array
                unused = false;
            }
            PyErr_Restore(type, value, tb);
            view_ = Ref();
        }
        if (unused) PyMem_RawFree(mem_);
    }
    ZeroPicture(const ZeroPicture&) = delete;
    ZeroPicture& operator=(const ZeroPicture&) = delete;
    PyObject* array() const { return array_.get(); }
    std::uint8_t* bytes() const { return mem_; }

private:
    std::uint8_t* mem_ = nullptr;
    Ref view_;
    Ref array_;
};

struct XorShift {
    std::uint64_t x;
    explicit XorShift(std::uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL) {}
    std::uint8_t next(bool extremes) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        const std::uint8_t b = static_cast<std::uint8_t>(x >> 32);
        return extremes ? (b & 1 ? 255 : 0) : b;
    }
};

void fill_random(std::uint8_t* p, std::size_t n, std::uint64_t seed, bool extremes) {
    XorShift rng(seed);
    for (std::size_t i = 0; i < n; ++i) p[i] = rng.next(extremes);
}

// The rest of the sequence as the module's objects run it (cv2.cvtColor,
// np.float32, cv2.dct on a 50 x 50 picture) against the native block, within the
// float32 error the near-mean test allows for.
bool check_transform(const ModuleState* st, Grey grey_variant) {
    std::uint8_t* bytes = nullptr;
    Ref img = new_u8_array(st, core::kSide, core::kSide, 3, &bytes);
    for (int pattern = 0; pattern < 3; ++pattern) {
        fill_random(bytes, core::kScaledBytes, 7 + pattern, false);
        if (pattern == 1)
            for (int i = 0; i < core::kScaledBytes; ++i) bytes[i] = static_cast<std::uint8_t>((i / 3) % 50 * 5);
        Ref grey = call(st->cv2_cvtColor, img.get(), st->cv2_grey_code);
        Ref coeffs = call(st->cv2_dct, call(st->np_float32, grey.get()).get());
        std::uint8_t mine_grey[core::kGreyPixels];
        core::bgr_to_grey(bytes, core::kGreyPixels, grey_variant, mine_grey);
        double mine[100];
        core::low_frequency_block(mine_grey, mine);
        const double bound = core::transform_error_bound(mine_grey);
        Py_buffer view;
        if (PyObject_GetBuffer(coeffs.get(), &view, PyBUF_RECORDS_RO) < 0) raise_current();
        const char* fmt = view.format ? view.format : "B";
        bool ok = std::strcmp(fmt, "f") == 0 && view.itemsize == 4 && view.ndim == 2 && view.shape[0] == 50 &&
                  view.shape[1] == 50;
        for (int r = 0; ok && r < 10; ++r)
            for (int col = 0; ok && col < 10; ++col) {
                float f;
                std::memcpy(&f, static_cast<const char*>(view.buf) + r * view.strides[0] + col * view.strides[1],
                            sizeof f);
                ok = std::fabs(static_cast<double>(f) - mine[r * 10 + col]) <= bound;
            }
        PyBuffer_Release(&view);
        if (!ok) return false;
    }
    return true;
}

// Which grey variant cv2.cvtColor matches, over every BGR triple, provided the
// transform checks out too. Returns the state encoding (1 none, 2 + variant).
int check_grey(const ModuleState* st) {
    std::uint8_t* bytes = nullptr;
    Ref img = new_u8_array(st, 256, 256, 3, &bytes);
    bool alive[static_cast<int>(Grey::kCount)] = {true, true};
    std::vector<std::uint8_t> theirs(256 * 256), mine(256 * 256);
    for (int red = 0; red < 256; ++red) {
        for (int b = 0; b < 256; ++b)
            for (int g = 0; g < 256; ++g) {
                std::uint8_t* p = bytes + 3 * (b * 256 + g);
                p[0] = static_cast<std::uint8_t>(b), p[1] = static_cast<std::uint8_t>(g),
                p[2] = static_cast<std::uint8_t>(red);
            }
        Ref grey = call(st->cv2_cvtColor, img.get(), st->cv2_grey_code);
        if (!read_u8(grey.get(), 256, 256, 1, theirs.data())) return 1;
        for (int v = 0; v < static_cast<int>(Grey::kCount); ++v) {
            if (!alive[v]) continue;
            core::bgr_to_grey(bytes, 256 * 256, static_cast<Grey>(v), mine.data());
            alive[v] = mine == theirs;
        }
    }
    for (int v = 0; v < static_cast<int>(Grey::kCount); ++v)
        if (alive[v]) return check_transform(st, static_cast<Grey>(v)) ? 2 + v : 1;
    return 1;
}

// The scaling variant that gives cv2.resize's bytes on test pictures of this size, or -1.
int check_scaling(ModuleState* st, Py_ssize_t rows, Py_ssize_t cols) {
    std::vector<int> candidates;
    if (rows == 2 * core::kSide && cols == 2 * core::kSide) candidates.push_back(static_cast<int>(Scaling::AreaHalf));
    candidates.push_back(st->scaling_hint);
    for (int v = 0; v < static_cast<int>(Scaling::AreaHalf); ++v)
        if (v != st->scaling_hint) candidates.push_back(v);
    // Scaling to 50 x 50 reads at most 100 rows and 100 columns of the source: the test
    // picture has values there only, so the check costs the same for any crop size (the
    // rest of the picture is never touched, by us or by a matching OpenCV).
    core::ScalingReads reads;
    core::scaling_reads(static_cast<int>(rows), static_cast<int>(cols), reads);
    const ZeroPicture picture(st, rows, cols);
    std::uint8_t* bytes = picture.bytes();
    std::uint8_t theirs[core::kScaledBytes], mine[core::kScaledBytes];
    const std::ptrdiff_t row_step = static_cast<std::ptrdiff_t>(cols) * 3;
    BgrView view{bytes, row_step, static_cast<int>(rows), static_cast<int>(cols)};
    const std::uint64_t seed = static_cast<std::uint64_t>(rows) * 1000003u + static_cast<std::uint64_t>(cols);
    for (int pattern = 0; pattern < 4 && !candidates.empty(); ++pattern) {
        XorShift rng(seed + pattern);
        for (int i = 0; i < reads.nrows; ++i) {
            std::uint8_t* row = bytes + reads.rows[i] * row_step;
            for (int j = 0; j < reads.ncols; ++j)
                for (int k = 0; k < 3; ++k) row[3 * reads.cols[j] + k] = rng.next(pattern == 3);
        }
        Ref scaled = call(st->cv2_resize, picture.array(), st->size50);
        if (!read_u8(scaled.get(), core::kSide, core::kSide, 3, theirs)) return -1;
        std::vector<int> kept;
        for (int v : candidates)
            if (core::scale_to_50(view, static_cast<Scaling>(v), mine) && std::memcmp(mine, theirs, sizeof mine) == 0)
                kept.push_back(v);
        candidates.swap(kept);
    }
    if (candidates.empty()) return -1;
    if (candidates[0] != static_cast<int>(Scaling::AreaHalf)) st->scaling_hint = candidates[0];
    return candidates[0];
}

bool same_global(const Ctx& c, PyObject* name, PyObject* expected) { return holds(c.globals, name, expected); }

bool same_attr(PyObject* module, PyObject* name, PyObject* expected) {
    return holds(PyModule_GetDict(module), name, expected);
}

// Only while every name the OpenCV sequence reads is still the load-time object.
bool originals_in_place(const Ctx& c) {
    ModuleState* st = c.st;
    if (!st->cv2 || !st->cv2_resize || !st->cv2_cvtColor || !st->cv2_dct || !st->cv2_grey_code ||
        !st->np_float32 || !st->ndarray || !st->hash_sizes)
        return false;
    return same_global(c, st->s_cv2, st->cv2) && same_global(c, st->s_np, st->numpy) &&
           same_attr(st->cv2, st->s_resize, st->cv2_resize) && same_attr(st->cv2, st->s_cvtColor, st->cv2_cvtColor) &&
           same_attr(st->cv2, st->s_dct, st->cv2_dct) && same_attr(st->cv2, st->s_COLOR_BGR2GRAY, st->cv2_grey_code) &&
           same_attr(st->numpy, st->s_float32, st->np_float32);
}

constexpr Py_ssize_t kMaxSizes = 4096;

// Verified scaling variant for this size (cached per module instance), -1 for OpenCV's own.
int scaling_for(ModuleState* st, Py_ssize_t rows, Py_ssize_t cols) {
    long long key_value = (static_cast<long long>(rows) << 32) | static_cast<long long>(cols);
    Ref key = new_int(key_value);
    PyObject* known = PyDict_GetItemWithError(st->hash_sizes, key.get());
    if (known) return static_cast<int>(PyLong_AsLong(known));
    if (PyErr_Occurred()) raise_current();
    // Only OpenCV's and numpy's own functions run in the checks: an error there (an
    // allocation failing, say) is the caller's to see.
    if (st->grey_variant == 0) st->grey_variant = check_grey(st);
    const int verdict = st->keep_resize ? -1 : check_scaling(st, rows, cols);
    // Sizes come from the region outlines; a host whose outlines keep changing must not
    // grow this without end. Forgetting only costs a check when a size comes back.
    if (PyDict_GET_SIZE(st->hash_sizes) >= kMaxSizes) PyDict_Clear(st->hash_sizes);
    Ref value = new_int(verdict);
    if (PyDict_SetItem(st->hash_sizes, key.get(), value.get()) < 0) raise_current();
    return verdict;
}

Ref count(ModuleState* st, Path p) {
    ++st->hash_counts[p];
    return Ref();
}

}  // namespace

void remember_hash_objects(const Ctx& c) {
    ModuleState* st = c.st;
    PyObject* cv2 = PyDict_GetItemWithError(c.globals, st->s_cv2);
    if (!cv2 && PyErr_Occurred()) raise_current();
    PyObject* np = st->numpy;
    // A cv2 or numpy that is not a plain module, or whose names are not their own
    // functions (a wrapper, say), leaves the stand-ins off: the module then does exactly
    // what the plain code does, calls and all.
    if (np && PyModule_CheckExact(np)) {
        PyObject* array = plain_attr(np, "array");
        st->np_array = keep(array, own_builtin(array, "array", "_multiarray_umath"));
    }
    if (!cv2 || !PyModule_CheckExact(cv2) || !np || !PyModule_CheckExact(np)) return;
    PyObject* resize = plain_attr(cv2, "resize");
    PyObject* cvt = plain_attr(cv2, "cvtColor");
    PyObject* dct = plain_attr(cv2, "dct");
    PyObject* code = plain_attr(cv2, "COLOR_BGR2GRAY");
    PyObject* float32 = plain_attr(np, "float32");
    PyObject* ndarray = plain_attr(np, "ndarray");
    PyObject* frombuffer = plain_attr(np, "frombuffer");
    PyObject* uint8 = plain_attr(np, "uint8");
    const bool own = own_builtin(resize, "resize", "cv2") && own_builtin(cvt, "cvtColor", "cv2") &&
                     own_builtin(dct, "dct", "cv2") && code && PyLong_CheckExact(code) &&
                     own_type(float32, "numpy.float32") && own_type(ndarray, "numpy.ndarray") &&
                     own_builtin(frombuffer, "frombuffer", "_multiarray_umath") && own_type(uint8, "numpy.uint8");
    if (!own) return;
    st->cv2 = Py_NewRef(cv2);
    st->cv2_resize = Py_NewRef(resize);
    st->cv2_cvtColor = Py_NewRef(cvt);
    st->cv2_dct = Py_NewRef(dct);
    st->cv2_grey_code = Py_NewRef(code);
    st->np_float32 = Py_NewRef(float32);
    st->ndarray = Py_NewRef(ndarray);
    st->np_frombuffer = Py_NewRef(frombuffer);
    st->np_uint8 = Py_NewRef(uint8);
    st->hash_sizes = PyDict_New();
    if (!st->hash_sizes) raise_current();
    st->scaling_hint = static_cast<int>(Scaling::VectorAll);
    st->keep_resize = std::getenv("RM_HASH_KEEP_RESIZE") != nullptr;
}

Ref fast_phash(const Ctx& c, PyObject* img) {
    ModuleState* st = c.st;
    if (!originals_in_place(c) || Py_TYPE(img) != reinterpret_cast<PyTypeObject*>(st->ndarray))
        return count(st, kNotApplicable);
    Ref hold = Ref::borrow(img);
    Py_buffer view;
    if (PyObject_GetBuffer(img, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return count(st, kNotApplicable);
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (!packed_bgr(view)) return count(st, kNotApplicable);
    const Py_ssize_t rows = view.shape[0], cols = view.shape[1];

    int scaling = scaling_for(st, rows, cols);
    if (st->grey_variant < 2) return count(st, kNotApplicable);
    const Grey grey_variant = static_cast<Grey>(st->grey_variant - 2);
    std::uint8_t grey[core::kGreyPixels];
    char hex[core::kHashLength];
    Path path = kNative;
    // Pure C++ from here to the hash text: other threads (cameras) run meanwhile. The work
    // (a 50 x 50 scaling and the 10 x 10 block, about 5 us) does not shrink with the crop,
    // and measured, letting go paid at every size down to 64 x 64 (bench_threads.py).
    // `hold` and `view` keep the pixels alive and in place.
    std::uint8_t scaled[core::kScaledBytes];
    if (scaling < 0) {
        Ref out = call(st->cv2_resize, img, st->size50);
        if (!read_u8(out.get(), core::kSide, core::kSide, 3, scaled)) return count(st, kNotApplicable);
        path = kOpenCvScaling;
    }
    const BgrView src{static_cast<const std::uint8_t*>(view.buf), view.strides[0], static_cast<int>(rows),
                      static_cast<int>(cols)};
    bool scaled_ok = true;
    core::BlockOutcome outcome = core::BlockOutcome::NearMean;
    Py_BEGIN_ALLOW_THREADS
    if (scaling >= 0)
        scaled_ok = core::scale_grey_50(src, static_cast<Scaling>(scaling), grey_variant, grey);
    else
        core::bgr_to_grey(scaled, core::kGreyPixels, grey_variant, grey);
    if (scaled_ok) outcome = core::hash_grey_50(grey, hex);
    Py_END_ALLOW_THREADS
    if (!scaled_ok) return count(st, kNotApplicable);
    if (outcome != core::BlockOutcome::Hashed) return count(st, kNearMean);
    ++st->hash_counts[path];
    // Hex digits are ASCII: fill a compact string directly instead of decoding UTF-8.
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(core::kHashLength), 127));
    std::memcpy(PyUnicode_DATA(text.get()), hex, core::kHashLength);
    return text;
}

PyObject* hash_path_counts(ModuleState* st) {
    return Py_BuildValue("{sKsKsKsK}", "native", st->hash_counts[kNative], "opencv_scaling",
                         st->hash_counts[kOpenCvScaling], "near_mean", st->hash_counts[kNearMean], "not_applicable",
                         st->hash_counts[kNotApplicable]);
}

PyObject* hash_scaling(PyObject* img, PyObject* variant_name) {
    static const char* const names[] = {"VectorAll", "Vector144", "Vector128", "Scalar", "Lerp15", "AreaHalf"};
    static_assert(sizeof(names) / sizeof(names[0]) == static_cast<std::size_t>(Scaling::kCount), "one name each");
    const char* name = PyUnicode_Check(variant_name) ? PyUnicode_AsUTF8(variant_name) : nullptr;
    if (!name) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "the variant is named by a str");
        return nullptr;
    }
    int variant = -1;
    for (int v = 0; v < static_cast<int>(Scaling::kCount); ++v)
        if (std::strcmp(names[v], name) == 0) variant = v;
    if (variant < 0) return PyErr_Format(PyExc_ValueError, "no scaling variant %s", name);
    Py_buffer view;
    if (PyObject_GetBuffer(img, &view, PyBUF_RECORDS_RO) < 0) return nullptr;
    if (!packed_bgr(view)) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "a packed 8-bit BGR array is needed");
        return nullptr;
    }
    std::uint8_t out[core::kScaledBytes];
    const BgrView src{static_cast<const std::uint8_t*>(view.buf), view.strides[0], static_cast<int>(view.shape[0]),
                      static_cast<int>(view.shape[1])};
    const bool applies = core::scale_to_50(src, static_cast<Scaling>(variant), out);
    PyBuffer_Release(&view);
    if (!applies) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out), core::kScaledBytes);
}

}  // namespace rm

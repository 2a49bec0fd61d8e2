// Tracked targets and the per-frame association step.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>
#include <atomic>

#include "assignment.hpp"
#include "capi.hpp"
#include "convert.hpp"
#include "tracker.hpp"

namespace py = pybind11;
using namespace rm;

namespace {

struct TargetRadius {
    track::Target core;
    std::string cls;
    // Set, with the GIL held, while an association runs on this target without the GIL;
    // whoever else wants the target waits for it to clear.
    std::atomic<bool> busy{false};

    TargetRadius(track::Target c, std::string label) : core(std::move(c)), cls(std::move(label)) {}
    TargetRadius(TargetRadius&& o) noexcept : core(std::move(o.core)), cls(std::move(o.cls)) {}
};

// Waits, without the GIL, until no association of another thread holds the target.
void wait_idle(const TargetRadius& t) {
    if (!t.busy.load(std::memory_order_acquire)) return;
    py::gil_scoped_release nogil;
    while (t.busy.load(std::memory_order_acquire)) std::this_thread::yield();
}

std::string text_of(py::handle v, const char* what) {
    if (!PyUnicode_Check(v.ptr()))
        throw py::type_error(std::string(what) + " must be a str, not " + Py_TYPE(v.ptr())->tp_name);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v.ptr(), &n);
    if (!s) throw py::error_already_set();
    return std::string(s, static_cast<std::size_t>(n));
}

PyTypeObject* target_type() { return reinterpret_cast<PyTypeObject*>(py::type::of<TargetRadius>().ptr()); }

// The target behind a TargetRadius object (`type` is TargetRadius). TargetRadius.__new__
// alone gives an object whose C++ part was never built (pybind11 allocates it lazily,
// uninitialised, on first use): refuse it rather than read it.
TargetRadius& target_of(py::handle h, PyTypeObject* type) {
    if (Py_TYPE(h.ptr()) != type)
        throw py::type_error(std::string("expected a TargetRadius, not ") + Py_TYPE(h.ptr())->tp_name);
    const py::detail::value_and_holder vh = reinterpret_cast<py::detail::instance*>(h.ptr())->get_value_and_holder();
    if (!vh.holder_constructed() || !vh.value_ptr())
        throw py::type_error("TargetRadius object is not initialized: __new__ was called without __init__");
    return *vh.value_ptr<TargetRadius>();
}

// For the accessors: the target once no other thread's association holds it.
TargetRadius& target_of(py::handle h) {
    TargetRadius& t = target_of(h, target_type());
    wait_idle(t);
    return t;
}

// tp_new of TargetRadius: pybind11's own uses a failed allocation unchecked.
PyObject* new_target_object(PyTypeObject* type, PyObject*, PyObject*) {
    try {
        py::detail::all_type_info(type);  // cached after the first call; may allocate before
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    try {
        reinterpret_cast<py::detail::instance*>(self)->allocate_layout();  // no allocation for this layout
    } catch (const std::bad_alloc&) {
        type->tp_free(self);  // the layout is unset, so not through the instance's dealloc
        Py_DECREF(type);
        PyErr_NoMemory();
        return nullptr;
    }
    return self;
}

TargetRadius make_target(py::handle mea, py::handle cls, py::handle iou_thr, py::handle pix_thr) {
    const track::Box box = bind::to_box(mea, "mea");
    std::string label = text_of(cls, "cls");
    return TargetRadius{track::Target(box, bind::to_threshold(iou_thr, "iou_thr"),
                                      bind::to_threshold(pix_thr, "pix_thr")),
                        std::move(label)};
}

// Class labels as small ids. A frame has few distinct labels (one per behaviour, as a
// rule), so a short list is searched first; a hash map takes over past kFew of them.
class LabelIds {
  public:
    int id(std::string_view s) {
        if (many_.empty()) {
            for (std::size_t i = 0; i < few_.size(); ++i)
                if (few_[i] == s) return static_cast<int>(i);
            if (few_.size() < kFew) {
                few_.push_back(s);
                return static_cast<int>(few_.size() - 1);
            }
            for (std::size_t i = 0; i < few_.size(); ++i) many_.emplace(few_[i], static_cast<int>(i));
        }
        return many_.emplace(s, static_cast<int>(many_.size())).first->second;
    }
    int find(std::string_view s) const {
        if (many_.empty()) {
            for (std::size_t i = 0; i < few_.size(); ++i)
                if (few_[i] == s) return static_cast<int>(i);
            return -1;
        }
        const auto it = many_.find(s);
        return it == many_.end() ? -1 : it->second;
    }
    void clear() {
        few_.clear();
        many_.clear();
    }

  private:
    static constexpr std::size_t kFew = 8;
    std::vector<std::string_view> few_;
    std::unordered_map<std::string_view, int> many_;
};

// Working storage of the association step, kept per thread between calls. Converting
// the arguments can run Python code that calls association again on the same thread: such
// a nested call takes storage of its own.
// Association steps of at least this many targets x measurements run without the GIL.
// Measured with two threads on their own targets (bench_threads.py): up to 140 x 140
// (about 20 us) handing the GIL over cost more than it freed (0.84 x one thread), from
// 170 x 170 on it paid (1.44 x, 1.8 x at 250 x 250).
constexpr long long kReleasePairs = 160 * 160;

// Thrown when a target was busy in another thread's association and had to be waited for.
struct Retry {};

struct Scratch {
    std::vector<track::Box> meas;
    std::vector<int> meas_cls, target_cls;
    std::vector<TargetRadius*> owners, sorted;
    std::vector<track::Target*> targets;
    LabelIds ids;
    track::Association a;
    track::Workspace ws;
    bool busy = false;
};

class ScratchLease {
  public:
    ScratchLease() {
        thread_local Scratch shared;
        if (shared.busy) {
            own_.reset(new Scratch);
            s_ = own_.get();
        } else {
            s_ = &shared;
        }
        s_->busy = true;
    }
    ~ScratchLease() {
        s_->busy = false;
        // A crowd seen once must not pin its storage for the rest of the thread's life.
        constexpr std::size_t kKeep = 4096;
        if (!own_ && (s_->meas.capacity() > kKeep || s_->owners.capacity() > kKeep ||
                      s_->ws.edges.capacity() > kKeep))
            *s_ = Scratch();
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    Scratch& operator*() const { return *s_; }

  private:
    Scratch* s_ = nullptr;
    std::unique_ptr<Scratch> own_;
};

// Gives (unmatch_list, static_list, del_list): positions of the new measurements, the
// still targets themselves, positions of the targets that left. Nothing is changed
// unless every argument converts. measure(j) gives the j-th of the m measurements.
// `type` is TargetRadius. targets_seq and cls_seq are exact tuples or lists that the
// caller holds; a list only when nothing that runs below (measure included) can run
// Python code.
template <class Measure>
std::array<py::list, 3> associate(PyTypeObject* type, PyObject* targets_seq, Py_ssize_t m, Measure&& measure,
                                  PyObject* cls_seq) {
    // The result lists come first: making a container may start a collection, which can
    // run Python code, and none may run once the items of the arguments are read.
    std::array<py::list, 3> out{bind::empty_list(), bind::empty_list(), bind::empty_list()};
    const py::list& unmatch_list = out[0];
    const py::list& static_list = out[1];
    const py::list& del_list = out[2];
    const ScratchLease lease;
    Scratch& s = *lease;

    if (PySequence_Fast_GET_SIZE(cls_seq) != m)
        throw py::value_error("classes must have one label per measurement: " + std::to_string(m) +
                              " measurements, " + std::to_string(PySequence_Fast_GET_SIZE(cls_seq)) +
                              " labels");
    s.meas.resize(static_cast<std::size_t>(m));
    s.meas_cls.resize(static_cast<std::size_t>(m));
    s.ids.clear();
    PyObject* last = nullptr;  // labels are mostly one object over and over
    for (Py_ssize_t j = 0; j < m; ++j) {
        s.meas[j] = measure(j);
        PyObject* c = PySequence_Fast_ITEMS(cls_seq)[j];
        if (c == last) {
            s.meas_cls[j] = s.meas_cls[j - 1];
            continue;
        }
        if (!PyUnicode_Check(c))
            throw py::type_error(std::string("class labels must be str, not ") + Py_TYPE(c)->tp_name);
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(c, &len);  // cached by the str, which cls_seq holds
        if (!text) throw py::error_already_set();
        s.meas_cls[j] = s.ids.id(std::string_view(text, static_cast<std::size_t>(len)));
        last = c;
    }

    const Py_ssize_t n = PySequence_Fast_GET_SIZE(targets_seq);
    PyObject* const* items = PySequence_Fast_ITEMS(targets_seq);
    // The targets, held while the GIL is let go (never kept in the per-thread storage:
    // that is freed when the thread ends, with no interpreter to release them).
    std::vector<py::object> held;
    s.owners.resize(static_cast<std::size_t>(n));
    s.targets.resize(static_cast<std::size_t>(n));
    s.target_cls.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* h = items[i];
        if (Py_TYPE(h) != type)  // final class: no subclasses to allow for
            throw py::type_error(std::string("state_list items must be TargetRadius, not ") + Py_TYPE(h)->tp_name);
        s.owners[i] = &target_of(h, type);
        if (s.owners[i]->busy.load(std::memory_order_acquire)) {
            // Another thread's association has it: wait for that one, then start over, for
            // what was read so far may have changed meanwhile.
            const py::object hold = py::reinterpret_borrow<py::object>(h);
            wait_idle(*s.owners[i]);
            throw Retry{};
        }
        s.targets[i] = &s.owners[i]->core;
        s.target_cls[i] = s.ids.find(s.owners[i]->cls);  // -1: no measurement of its class
    }
    {
        // One target twice would be matched and updated twice.
        s.sorted.assign(s.owners.begin(), s.owners.end());
        std::sort(s.sorted.begin(), s.sorted.end());
        if (std::adjacent_find(s.sorted.begin(), s.sorted.end()) != s.sorted.end())
            throw py::value_error("state_list holds the same target more than once");
    }

    track::Association& a = s.a;
    if (static_cast<long long>(n) * m < kReleasePairs) {
        track::associate(s.targets, s.target_cls, s.meas, s.meas_cls, a, s.ws);
    } else {
        // Large enough to pay for handing the GIL over: other threads (cameras) run
        // meanwhile. The targets are held and marked busy so that nobody else reads or
        // changes them until it is done; nothing borrowed is read without the GIL.
        held.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) held.push_back(py::reinterpret_borrow<py::object>(items[i]));
        for (TargetRadius* t : s.owners) t->busy.store(true, std::memory_order_release);
        struct Clear {
            std::vector<TargetRadius*>& owners;
            ~Clear() {
                for (TargetRadius* t : owners) t->busy.store(false, std::memory_order_release);
            }
        } clear{s.owners};
        py::gil_scoped_release nogil;
        track::associate(s.targets, s.target_cls, s.meas, s.meas_cls, a, s.ws);
    }

    // The still targets are taken before anything else is made: filling lists and making
    // ints starts no collection, so `items` is still what was read.
    for (const auto i : a.still) bind::append(static_list, held.empty() ? items[i] : held[i].ptr());
    for (const auto j : a.fresh) bind::append(unmatch_list, bind::integer(j));
    for (const auto i : a.departed) bind::append(del_list, bind::integer(i));
    return out;
}

// f() again for as long as it met a target busy in another thread (and waited for it).
template <class F>
auto retrying(F&& f) {
    for (;;) {
        try {
            return f();
        } catch (const Retry&) {
        }
    }
}

py::tuple association(py::handle state_list, py::handle mea_list, py::handle classes) {
    const py::tuple targets_seq = bind::to_tuple(state_list, "state_list");
    const py::tuple meas_seq = bind::to_tuple(mea_list, "mea_list");
    const py::tuple cls_seq = bind::to_tuple(classes, "classes");
    const std::array<py::list, 3> lists = retrying([&] {
        return associate(
            target_type(), targets_seq.ptr(), PyTuple_GET_SIZE(meas_seq.ptr()),
            [&](Py_ssize_t j) { return bind::to_box(PyTuple_GET_ITEM(meas_seq.ptr(), j), "measurement"); },
            cls_seq.ptr());
    });
    return bind::tuple_of({lists[0], lists[1], lists[2]});
}

// association() for main's tracker, with the measurements as the boxes box2meas would
// have made them into: the same steps, less converting them back.
int capi_associate(PyObject* type, PyObject* state_list, const rm_box* meas, Py_ssize_t m, PyObject* classes,
                   PyObject* out[3]) {
    return bind::translated([&] {
        // Exact lists and tuples are read in place: taking their items runs no code. The
        // targets are copied first whenever taking the labels could run code that changes them.
        const bool plain_classes = PyList_CheckExact(classes) || PyTuple_CheckExact(classes);
        const py::object targets_seq = plain_classes && PyList_CheckExact(state_list)
                                           ? py::reinterpret_borrow<py::object>(state_list)
                                           : bind::to_tuple(state_list, "state_list");
        const py::object cls_seq =
            plain_classes ? py::reinterpret_borrow<py::object>(classes) : bind::to_tuple(classes, "classes");
        std::array<py::list, 3> lists = retrying([&] {
            return associate(
                reinterpret_cast<PyTypeObject*>(type), targets_seq.ptr(), m,
                [&](Py_ssize_t j) { return track::Box{meas[j].l, meas[j].t, meas[j].r, meas[j].b}; },
                cls_seq.ptr());
        });
        for (int k = 0; k < 3; ++k) out[k] = lists[k].release().ptr();
    }) ? 0 : -1;
}

// Test hook: the optimal assignment of a weight matrix as (row, col) pairs by row.
py::list assign(py::handle matrix) {
    const py::tuple rows_seq = bind::to_tuple(matrix, "matrix");
    const Py_ssize_t rows = PyTuple_GET_SIZE(rows_seq.ptr());
    Py_ssize_t cols = -1;
    std::vector<double> w;
    for (Py_ssize_t i = 0; i < rows; ++i) {
        const py::tuple row = bind::to_tuple(PyTuple_GET_ITEM(rows_seq.ptr(), i), "matrix row");
        const Py_ssize_t len = PyTuple_GET_SIZE(row.ptr());
        if (cols < 0) cols = len;
        if (len != cols) throw py::value_error("matrix rows must have equal length");
        for (Py_ssize_t j = 0; j < len; ++j) {
            const double x = bind::to_real(PyTuple_GET_ITEM(row.ptr(), j), "matrix value");
            if (!std::isfinite(x)) throw py::value_error("matrix values must be finite");
            w.push_back(x);
        }
    }
    std::vector<py::object> pairs;
    if (rows > 0 && cols > 0) {
        const std::vector<int> r2c =
            track::max_weight_assignment(w, static_cast<int>(rows), static_cast<int>(cols));
        for (Py_ssize_t i = 0; i < rows; ++i)
            if (r2c[i] >= 0) pairs.push_back(bind::tuple_of({bind::integer(i), bind::integer(r2c[i])}));
    }
    return bind::list_of(pairs);
}

}  // namespace

PYBIND11_MODULE(target, m) {
    m.doc() = "Tracked targets and their frame-to-frame association.";
    m.attr("OBSERVE_FRAMES") = track::kObserveFrames;
    m.attr("WINDOW_FRAMES") = track::kWindowFrames;
    m.attr("COAST_FRAMES") = track::kCoastFrames;
    m.attr("STILL_SPEED_PER_MILLE") = track::kStillSpeedPerMille;

    py::class_<TargetRadius>(m, "TargetRadius", py::is_final(),
                             py::custom_type_setup([](PyHeapTypeObject* heap) { heap->ht_type.tp_new = new_target_object; }),
                             "A tracked target: its class label, last box, its mean box over the recent "
                             "frames (anchor), and whether it was still at the last association.")
        .def(py::init(&make_target), py::arg("mea"), py::arg("cls"), py::arg("iou_thr"), py::arg("pix_thr"))
        .def_static("association", &association, py::arg("state_list"), py::arg("mea_list"),
                    py::arg("classes"),
                    "Match this frame's measurements to the targets.\n\n"
                    "Returns (unmatch_list, static_list, del_list): positions in mea_list with no target "
                    "(ascending), the matched targets that are still, and positions in state_list of "
                    "the targets unmatched for more than COAST_FRAMES frames (ascending). The "
                    "targets are updated in place.")
        .def_property_readonly("cls", [](py::handle self) { return target_of(self).cls; })
        .def_property_readonly("box", [](py::handle self) { return bind::box_list(target_of(self).core.last); })
        .def_property_readonly("anchor",
                               [](py::handle self) { return bind::box_list(target_of(self).core.rest()); })
        .def_property_readonly("still", [](py::handle self) { return target_of(self).core.still; })
        .def_property_readonly("iou_thr", [](py::handle self) { return bind::real(target_of(self).core.iou_thr); })
        .def_property_readonly("pix_thr", [](py::handle self) { return bind::real(target_of(self).core.pix_thr); })
        .def("__repr__", [](py::handle self) {
            const TargetRadius& t = target_of(self);
            PyObject* cls = PyUnicode_DecodeUTF8(t.cls.data(), static_cast<Py_ssize_t>(t.cls.size()), nullptr);
            if (!cls) throw py::error_already_set();
            const auto hold = py::reinterpret_steal<py::object>(cls);
            const std::string box = bind::box_repr(t.core.last);
            PyObject* text = PyUnicode_FromFormat("TargetRadius(cls=%R, box=%s, still=%s)", cls, box.c_str(),
                                                  t.core.still ? "True" : "False");
            if (!text) throw py::error_already_set();
            return py::reinterpret_steal<py::str>(text);
        });

    m.def("_assign", &assign, py::arg("matrix"));

    const py::object cls = m.attr("TargetRadius");
    m.attr("_capi") = bind::target_capsule(
        rm_target_capi{RM_TRACK_CAPI_VERSION, cls.ptr(), cls.attr("association").ptr(), capi_associate});
}

// Camera: the tracker of one region stream, driving the tracking components.
#include <vector>

#include "../bindings/track_capi.h"
#include "classes.hpp"
#include "pyops.hpp"

namespace rm {
namespace {

PyObject* camera_init(Ctx& c, PyObject* const* a) {
    setattr(a[0], c.st->s_state_list, new_list().get());
    Py_RETURN_NONE;
}

// The tracking modules' entry points while the capsule is the one kept at load; null
// otherwise. The caller holds `hold` for as long as it uses the table.
template <class Table>
const Table* entry_points(PyObject* capsule, const char* name, Ref& hold) {
    if (!capsule) return nullptr;
    hold = Ref::borrow(capsule);
    return static_cast<const Table*>(PyCapsule_GetPointer(capsule, name));
}

// Reading obj.name runs no code: the generic lookup finds nothing of that name on the
// type, so the value comes from the instance's dict.
bool plain_attribute(PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    return tp->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(tp, name) == nullptr;
}

// An exact list of exact ints: membership tests run no code.
bool plain_positions(PyObject* list) {
    if (!PyList_CheckExact(list)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
        if (!PyLong_CheckExact(PyList_GET_ITEM(list, i))) return false;
    return true;
}

// run(boxes, classes) up to its tuple: (unmatch_list, static_list, del_list) in lists.
// With split_rows, boxes and classes are null and stand for the lists those rows make.
void run_lists(Ctx& c, PyObject* self, PyObject* boxes, PyObject* classes, const SplitRows* split_rows,
               Ref lists[3]) {
    ModuleState* st = c.st;

    // While box2meas is the one bound at load, the measurements stay boxes: no Python
    // object is made of them unless Python code (a rebound name) is to receive them.
    Ref hold_utils, hold_target;
    const rm_utils_capi* utils = entry_points<rm_utils_capi>(st->utils_capi, RM_UTILS_CAPI_NAME, hold_utils);
    const rm_target_capi* target = entry_points<rm_target_capi>(st->target_capi, RM_TARGET_CAPI_NAME, hold_target);
    std::vector<rm_box> meas;
    Ref hold_boxes, hold_classes;
    if (split_rows) {
        hold_classes = split_rows->classes();
        classes = hold_classes.get();
        const Py_ssize_t n = split_rows->rows();
        // The list path would read box2meas first thing for the first box, and with it
        // bound as at load measure every box of ints in one go.
        if (n > 0 && utils && load_global(c, st->s_box2meas).get() == utils->box2meas) {
            meas.resize(static_cast<std::size_t>(n));
            if (utils->measure_values(split_rows->values.data(), n, meas.data()) < 0) raise_current();
        } else {
            hold_boxes = split_rows->boxes();
        }
        boxes = hold_boxes.get();
    }
    Ref mea_list;  // the Python measurements, once there are any
    auto materialize = [&] {
        Ref list = new_list();
        for (const rm_box& b : meas) list_append(list.get(), Ref::steal(utils->meas_object(&b)).get());
        mea_list = list;
    };

    auto measure = [&](PyObject* box, PyObject* convert) {
        if (!mea_list && utils && convert == utils->box2meas) {
            rm_box b;
            if (utils->measure(box, &b) < 0) raise_current();
            meas.push_back(b);
            return;
        }
        if (!mea_list) materialize();
        list_append(mea_list.get(), call(convert, box).get());
    };
    if (!boxes) {
        // measured above
    } else if (PyList_CheckExact(boxes)) {
        Ref hold = Ref::borrow(boxes);
        meas.reserve(static_cast<std::size_t>(PyList_GET_SIZE(boxes)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(boxes);) {
            Ref convert = load_global(c, st->s_box2meas);
            if (!mea_list && utils && convert.get() == utils->box2meas) {
                // Boxes that measuring runs no code for go in one batch: no code runs
                // between the reads of box2meas it stands for, so they all give this one.
                const std::size_t done = meas.size();
                const Py_ssize_t left = PyList_GET_SIZE(boxes) - i;
                meas.resize(done + static_cast<std::size_t>(left));
                const Py_ssize_t k = utils->measure_plain(&PyList_GET_ITEM(boxes, i), left, meas.data() + done);
                if (k < 0) raise_current();
                meas.resize(done + static_cast<std::size_t>(k));
                i += k;
                if (k > 0) continue;
            }
            Ref box = Ref::borrow(PyList_GET_ITEM(boxes, i));
            ++i;
            measure(box.get(), convert.get());
        }
    } else {
        for_each(boxes, [&](PyObject* box) { measure(box, load_global(c, st->s_box2meas).get()); });
    }
    const Py_ssize_t m = mea_list ? PyList_GET_SIZE(mea_list.get()) : static_cast<Py_ssize_t>(meas.size());
    if (m == 0) setattr(self, st->s_state_list, new_list().get());

    {
        Ref tracker_cls = load_global(c, st->s_TargetRadius);
        Ref associate = getattr(tracker_cls.get(), st->s_association);
        Ref state_list = getattr(self, st->s_state_list);
        if (!mea_list && target && tracker_cls.get() == target->type && associate.get() == target->association) {
            // The three lists straight away: a tuple of them would only be unpacked.
            PyObject* out[3];
            if (target->associate(target->type, state_list.get(), meas.data(), m, classes, out) < 0) raise_current();
            for (int k = 0; k < 3; ++k) lists[k] = Ref::steal(out[k]);
        } else {
            if (!mea_list) materialize();
            Ref result = call(associate.get(), state_list.get(), mea_list.get(), classes);
            unpack(result.get(), 3, lists);
        }
    }
    Ref& unmatch_list = lists[0];
    Ref& del_list = lists[2];

    {
        Ref kept = new_list();
        Ref state_list = getattr(self, st->s_state_list);
        Py_ssize_t n = length(state_list.get());
        if (PyList_CheckExact(state_list.get()) && plain_positions(del_list.get()) &&
            plain_attribute(self, st->s_state_list)) {
            // No step below runs code, so the list read once is the list read at each step.
            if (PyList_GET_SIZE(del_list.get()) == 0) {
                // Nothing departed (the usual frame): all of it, copied in one go, which
                // makes no container either.
                if (PyList_SetSlice(kept.get(), 0, 0, state_list.get()) < 0) raise_current();
            } else {
                for (Py_ssize_t i = 0; i < n; ++i) {
                    Ref pos = new_int(i);
                    if (contains(del_list.get(), pos.get())) continue;
                    list_append(kept.get(), PyList_GET_ITEM(state_list.get(), i));
                }
            }
        } else {
            state_list = Ref();  // let go of it as soon as before: reading it may have made it
            for (Py_ssize_t i = 0; i < n; ++i) {
                Ref pos = new_int(i);
                if (contains(del_list.get(), pos.get())) continue;
                list_append(kept.get(), get_index(getattr(self, st->s_state_list).get(), i).get());
            }
        }
        setattr(self, st->s_state_list, kept.get());
    }

    for_each(unmatch_list.get(), [&](PyObject* idx) {
        if (!mea_list) materialize();  // TargetRadius(...) takes the Python measurement
        Ref state_list = getattr(self, st->s_state_list);
        Ref append = getattr(state_list.get(), st->s_append);
        Ref tracker_cls = load_global(c, st->s_TargetRadius);
        Ref mea = Ref::steal(PyObject_GetItem(mea_list.get(), idx));
        Ref cls = Ref::steal(PyObject_GetItem(classes, idx));
        Ref iou = load_global(c, st->s_iou_thr);
        Ref pix = load_global(c, st->s_pix_thr);
        Ref target = call(tracker_cls.get(), mea.get(), cls.get(), iou.get(), pix.get());
        call(append.get(), target.get());
    });
}

PyObject* camera_run(Ctx& c, PyObject* const* a) {
    Ref lists[3];
    run_lists(c, a[0], a[1], a[2], nullptr, lists);
    return PyTuple_Pack(4, lists[1].get(), lists[0].get(), lists[1].get(), lists[2].get());
}

}  // namespace

bool run_split_rows(Ctx& c, PyObject* camera, PyObject* run, const SplitRows& rows, Ref out[3]) {
    if (own_body(c, run) != camera_run) return false;
    NestingGuard call;
    if (!call.entered()) raise_current();
    run_lists(c, camera, nullptr, nullptr, &rows, out);
    return true;
}

const char kCameraDoc[] = "每个摄像头一个Camera类, 每个Camera对象有多个TargetRadius类";

const MethodDef kCameraMethods[] = {
    {"__init__", nullptr, 1, {"self"}, camera_init},
    {"run", nullptr, 3, {"self", "boxes", "classes"}, camera_run},
};
const int kCameraMethodCount = sizeof(kCameraMethods) / sizeof(kCameraMethods[0]);

}  // namespace rm

// Camera: the tracker of one region stream, driving the tracking components.
#include "classes.hpp"
#include "pyops.hpp"

namespace rm {
namespace {

PyObject* camera_init(Ctx& c, PyObject* const* a) {
    setattr(a[0], c.st->s_state_list, new_list().get());
    Py_RETURN_NONE;
}

PyObject* camera_run(Ctx& c, PyObject* const* a) {
    ModuleState* st = c.st;
    PyObject* self = a[0];
    PyObject* boxes = a[1];
    PyObject* classes = a[2];

    Ref mea_list = new_list();
    for_each(boxes, [&](PyObject* box) {
        Ref convert = load_global(c, st->s_box2meas);
        list_append(mea_list.get(), call(convert.get(), box).get());
    });
    if (PyList_GET_SIZE(mea_list.get()) == 0) setattr(self, st->s_state_list, new_list().get());

    Ref lists[3];
    {
        Ref tracker_cls = load_global(c, st->s_TargetRadius);
        Ref associate = getattr(tracker_cls.get(), st->s_association);
        Ref state_list = getattr(self, st->s_state_list);
        unpack(call(associate.get(), state_list.get(), mea_list.get(), classes).get(), 3, lists);
    }
    Ref& unmatch_list = lists[0];
    Ref& static_list = lists[1];
    Ref& del_list = lists[2];

    {
        Ref kept = new_list();
        Py_ssize_t n = length(getattr(self, st->s_state_list).get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref pos = new_int(i);
            if (contains(del_list.get(), pos.get())) continue;
            list_append(kept.get(), get_index(getattr(self, st->s_state_list).get(), i).get());
        }
        setattr(self, st->s_state_list, kept.get());
    }

    for_each(unmatch_list.get(), [&](PyObject* idx) {
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

    return PyTuple_Pack(4, static_list.get(), unmatch_list.get(), static_list.get(), del_list.get());
}

}  // namespace

const char kCameraDoc[] = "每个摄像头一个Camera类, 每个Camera对象有多个TargetRadius类";

const MethodDef kCameraMethods[] = {
    {"__init__", nullptr, 1, {"self"}, camera_init},
    {"run", nullptr, 3, {"self", "boxes", "classes"}, camera_run},
};
const int kCameraMethodCount = sizeof(kCameraMethods) / sizeof(kCameraMethods[0]);

}  // namespace rm

// The built-in self-test, run when the module is executed as the main program:
// three sample frames for two cameras through one RecognitionMode, each followed
// by an eight-line analysis on standard output.
//
// Everything it binds lands in the module's namespace, as a script's top level
// would leave it; every name it reads (the class, the data, print) is looked up
// there at the moment of use.
#include <initializer_list>

#include "classes.hpp"
#include "pyops.hpp"

namespace rm {
namespace {

// ---------------------------------------------------------------- value builders

Ref text(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }
Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref flag(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

struct Entry {
    const char* key;
    Ref value;
};

// A new dict whose keys are inserted in the order given.
Ref dict_of(std::initializer_list<Entry> entries) {
    Ref d = new_dict();
    for (const Entry& e : entries)
        if (PyDict_SetItemString(d.get(), e.key, e.value.get()) < 0) raise_current();
    return d;
}

Ref list_of(std::initializer_list<Ref> items) {
    Ref l = new_list();
    for (const Ref& item : items) list_append(l.get(), item.get());
    return l;
}

// ---------------------------------------------------------------- the sample documents

// One camera's configuration; the three differ only in their identifier.
Ref device_document(const char* dev_id) {
    return dict_of({
        {"dev_id", text(dev_id)},
        {"dev_no", text("0001")},
        {"img", new_list()},
        {"dev_behavior", dict_of({
                             {"behavior_name", list_of({text("unsafehel")})},
                             {"behavior_number", list_of({new_int(1002001)})},
                             {"behavior_threshold", list_of({text("0.3")})},
                         })},
        {"dev_data", list_of({dict_of({
                         {"someone", flag(true)},
                         {"unmanned", flag(false)},
                         {"night", flag(true)},
                         {"increase", flag(true)},
                         {"fast", flag(false)},
                         {"filter", flag(true)},
                         {"object_size", text("1920,1080")},
                     })})},
        {"ROI", list_of({dict_of({
                    {"name", text("unsafehel")},
                    {"number", text("1002001")},
                    {"data", new_list()},
                })})},
    });
}

struct Row {
    int left, top, right, bottom;
    const char* score;
};

constexpr Row kRows[] = {
    {920, 232, 1007, 304, "0.33453431725502014"}, {781, 491, 895, 604, "0.8324827551841736"},
    {1367, 374, 1450, 470, "0.8513033986091614"}, {1763, 886, 1895, 1028, "0.8540068864822388"},
    {518, 303, 591, 387, "0.8638141751289368"},   {767, 405, 859, 503, "0.8727522492408752"},
};
constexpr int kRowCount = sizeof(kRows) / sizeof(kRows[0]);

// The last row of behaviour 1002006 in the second frame: that target has moved.
constexpr Row kMovedRow = {167, 205, 259, 303, "0.8727522492408752"};

struct Detection {
    double left, top, right, bottom, score;
    const char* cls;
};

constexpr Detection kDetections[] = {
    {707, 426, 964, 772, 0.2887134552001953, "otherperson"},
    {619, 384, 866, 819, 0.3195984661579132, "otherperson"},
    {920, 232, 1007, 304, 0.33453431725502014, "unsafehel"},
    {772, 550, 1015, 764, 0.3960975706577301, "inapprodress"},
    {1310, 425, 1484, 601, 0.5204468369483948, "inapprodress"},
    {1573, 888, 1901, 1080, 0.6030586361885071, "otherperson"},
    {763, 488, 1054, 831, 0.6653063297271729, "otherperson"},
    {478, 301, 737, 835, 0.7433191537857056, "otherperson"},
    {1305, 375, 1488, 612, 0.8148852586746216, "otherperson"},
    {781, 491, 895, 604, 0.8324827551841736, "unsafehel"},
    {1367, 374, 1450, 470, 0.8513033986091614, "unsafehel"},
    {1763, 886, 1895, 1028, 0.8540068864822388, "unsafehel"},
    {518, 303, 591, 387, 0.8638141751289368, "unsafehel"},
    {767, 405, 859, 503, 0.8727522492408752, "unsafehel"},
};

Ref sample_row(const Row& r, const char* code_text) {
    return list_of({new_int(r.left), new_int(r.top), new_int(r.right), new_int(r.bottom), text(code_text),
                    text(r.score)});
}

// One sample behaviour: six rows of the given code, optionally with its last row moved.
Ref sample_behavior(long long code, const char* code_text, bool last_row_moved) {
    Ref rows = new_list();
    for (int k = 0; k < kRowCount; ++k) {
        const Row& r = (last_row_moved && k == kRowCount - 1) ? kMovedRow : kRows[k];
        list_append(rows.get(), sample_row(r, code_text).get());
    }
    return dict_of({
        {"behavior_number", new_int(code)},
        {"boxes", rows},
        {"person_number", new_int(5)},
    });
}

// [boxes, scores, class names] over all fourteen detections of the frame.
Ref detection_triple() {
    Ref boxes = new_list();
    Ref scores = new_list();
    Ref names = new_list();
    for (const Detection& d : kDetections) {
        list_append(boxes.get(), list_of({real(d.left), real(d.top), real(d.right), real(d.bottom)}).get());
        list_append(scores.get(), real(d.score).get());
        list_append(names.get(), text(d.cls).get());
    }
    return list_of({boxes, scores, names});
}

Ref sample_result(std::initializer_list<Ref> behaviors) {
    return dict_of({
        {"behavior", list_of(behaviors)},
        {"boxes", detection_triple()},
    });
}

// ---------------------------------------------------------------- the driver

// Texts the driver reads documents and objects with.
struct Names {
    Ref behavior = text("behavior");
    Ref behavior_number = text("behavior_number");
    Ref boxes = text("boxes");
    Ref dev_id = text("dev_id");
    Ref dev_behavior = text("dev_behavior");
    Ref behavior_name = text("behavior_name");
    Ref roi = text("ROI");
    Ref number = text("number");
    Ref name = text("name");
    Ref main = text("main");
    Ref recognition_mode_class = text("RecognitionMode");
    Ref mode = text("TargetRadius");
    Ref empty = text("");
    Ref print = text("print");
    Ref test_data = text("test_data");
    Ref data = text("data");
    Ref recognition_mode = text("recognition_mode");
    Ref json_data = text("json_data");
    Ref i = text("i");
    Ref result = text("result");
    Ref static_list = text("static_list");
    Ref del_list = text("del_list");
    Ref unmatch_list = text("unmatch_list");
    Ref runtime = text("runtime");
};

void bind(const Ctx& c, PyObject* name, PyObject* value) {
    if (PyDict_SetItem(c.globals, name, value) < 0) raise_current();
}

// A global of the module if it has one, else the builtin, as a name in a script resolves.
Ref load_name(const Ctx& c, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(c.globals, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise_current();
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise_current();
}

// The first position of `needle` in `haystack` by ==, or -1.
Py_ssize_t position_of(PyObject* haystack, PyObject* needle) {
    Py_ssize_t found = -1, pos = 0;
    Ref hold = Ref::borrow(haystack);
    for_each(haystack, [&](PyObject* item) {
        if (found < 0 && compare(item, needle, Py_EQ)) found = pos;
        ++pos;
    });
    return found;
}

// A sample result in the recognition-result layout: one behaviour entry per sample
// behaviour, holding one region result with the rows' boxes. The region is named
// after the camera's region definition for that behaviour code, if there is one.
Ref recognition_result(const Names& n, PyObject* device, PyObject* sample) {
    Ref regions = get_item(device, n.roi.get());
    Ref dev_behavior = get_item(device, n.dev_behavior.get());
    Ref configured_numbers = get_item(dev_behavior.get(), n.behavior_number.get());
    Ref configured_names = get_item(dev_behavior.get(), n.behavior_name.get());
    Ref camera = to_str(get_item(device, n.dev_id.get()).get());

    Ref entries = new_list();
    Ref behaviors = get_item(sample, n.behavior.get());
    for_each(behaviors.get(), [&](PyObject* behavior) {
        Ref code = get_item(behavior, n.behavior_number.get());
        Ref code_text = to_str(code.get());

        Ref roi_name = none();
        bool named = false;
        for_each(regions.get(), [&](PyObject* region) {
            if (named || !compare(get_item(region, n.number.get()).get(), code_text.get(), Py_EQ)) return;
            roi_name = get_item(region, n.name.get());
            named = true;
        });

        Py_ssize_t configured = position_of(configured_numbers.get(), code.get());
        Ref behavior_info = configured >= 0 ? get_index(configured_names.get(), configured) : code_text;

        Ref boxes = new_list();
        Ref rows = get_item(behavior, n.boxes.get());
        for_each(rows.get(), [&](PyObject* row) {
            list_append(boxes.get(), Ref::steal(PySequence_GetSlice(row, 0, 4)).get());
        });

        list_append(entries.get(),
                    dict_of({
                        {"behavior_number", code},
                        {"alarm_info", n.empty},
                        {"alarm_info_dict", dict_of({
                                                {"behavior_info", behavior_info},
                                                {"info_name", camera},
                                                {"info_ftime", n.empty},
                                                {"info_type", n.empty},
                                                {"info_rois", n.empty},
                                            })},
                        {"result", list_of({dict_of({
                                       {"roi_name", roi_name},
                                       {"boxes", boxes},
                                   })})},
                    })
                        .get());
    });
    return dict_of({{"alarmBehavior", entries}});
}

void print_line(const Ctx& c, const Names& n, const char* label, PyObject* value) {
    Ref print = load_name(c, n.print.get());
    Ref head = text(label);
    if (value)
        call(print.get(), head.get(), value);
    else
        call(print.get(), head.get());
}

void run_step(const Ctx& c, const Names& n) {
    Ref json_data = load_global(c, n.json_data.get());
    Ref i = load_global(c, n.i.get());
    Ref data = load_global(c, n.data.get());
    Ref sample = Ref::steal(PyObject_GetItem(data.get(), i.get()));

    Ref im = none();  // the device documents carry no picture ("img" is empty)
    Ref dev_id = get_item(json_data.get(), n.dev_id.get());
    Ref out_result_dict = recognition_result(n, json_data.get(), sample.get());
    Ref recognizer = load_global(c, n.recognition_mode.get());
    Ref result = call_method(recognizer.get(), n.main.get(), im.get(), dev_id.get(), out_result_dict.get(),
                             n.mode.get());
    bind(c, n.result.get(), result.get());

    auto attr = [&](const Ref& name) {
        return getattr(load_global(c, n.recognition_mode.get()).get(), name.get());
    };
    print_line(c, n, "--------------分析----------------", nullptr);
    print_line(c, n, "摄像头id：", get_item(load_global(c, n.json_data.get()).get(), n.dev_id.get()).get());
    print_line(c, n, "相对静止的目标：", attr(n.static_list).get());
    print_line(c, n, "出了画面的目标：", attr(n.del_list).get());
    print_line(c, n, "画面中新出现或者移动速度过快或者新增的摄像头，导致的新增目标：", attr(n.unmatch_list).get());
    print_line(c, n, "去除掉静止不动的目标后，剩余的目标：", load_global(c, n.result.get()).get());
    print_line(c, n, "总耗时：", attr(n.runtime).get());
    print_line(c, n, "----------------------------------", nullptr);
}

}  // namespace

void run_selftest(const Ctx& c) {
    Names n;

    bind(c, n.test_data.get(), list_of({device_document("123"), device_document("123"), device_document("456")}).get());
    Ref data1 = sample_result({sample_behavior(1002001, "1002001", false), sample_behavior(1002006, "1002006", false)});
    bind(c, text("data1").get(), data1.get());
    Ref data2 = sample_result({sample_behavior(1002001, "1002001", false), sample_behavior(1002006, "1002006", true)});
    bind(c, text("data2").get(), data2.get());
    Ref data3 = sample_result({sample_behavior(1002001, "1002001", false)});
    bind(c, text("data3").get(), data3.get());
    bind(c, n.data.get(), list_of({data1, data2, data3}).get());
    {
        Ref cls = load_global(c, n.recognition_mode_class.get());
        bind(c, n.recognition_mode.get(), call(cls.get()).get());
    }

    Ref test_data = load_global(c, n.test_data.get());
    long long position = 0;
    for_each(test_data.get(), [&](PyObject* json_data) {
        bind(c, n.json_data.get(), json_data);
        bind(c, n.i.get(), new_int(position++).get());
        run_step(c, n);
    });
}

}  // namespace rm

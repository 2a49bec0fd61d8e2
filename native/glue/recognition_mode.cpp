// RecognitionMode: frame entry, the two filters, alarm box selection and helpers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "classes.hpp"
#include "fast_phash.hpp"
#include "geometry.hpp"
#include "phash.hpp"
#include "pyops.hpp"

namespace rm {
namespace {

using core::kHashLength;

PyObject* rm_init(Ctx& c, PyObject* const* a) {
    PyObject* self = a[0];
    ModuleState* st = c.st;
    setattr(self, st->s_runtime, st->int0);
    setattr(self, st->s_dev_id, new_dict().get());
    setattr(self, st->s_move_id, new_dict().get());
    setattr(self, st->s_refresh_time, new_dict().get());
    setattr(self, st->s_unmatch_list, Py_None);
    setattr(self, st->s_static_list, Py_None);
    setattr(self, st->s_del_list, Py_None);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------- split

enum class Kind { Int, Float };

// Values of plain lists/tuples of ints, floats and bools, read without numpy.
// Returns false whenever numpy's own conversion could differ (other types,
// ragged rows, ints beyond what a float64 or int64 holds exactly, ...).
bool collect_plain_values(PyObject* boxes, std::vector<PyObject*>& values, Kind& kind) {
    if (!PyList_CheckExact(boxes) && !PyTuple_CheckExact(boxes)) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(boxes);
    PyObject** items = PySequence_Fast_ITEMS(boxes);
    auto scalar = [](PyObject* o) { return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o); };
    bool nested = n > 0 && (PyList_CheckExact(items[0]) || PyTuple_CheckExact(items[0]));
    Py_ssize_t width = nested ? PySequence_Fast_GET_SIZE(items[0]) : 0;
    values.reserve(static_cast<std::size_t>(nested ? n * width : n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* it = items[i];
        if (nested) {
            if (!(PyList_CheckExact(it) || PyTuple_CheckExact(it))) return false;
            if (PySequence_Fast_GET_SIZE(it) != width) return false;
            PyObject** row = PySequence_Fast_ITEMS(it);
            for (Py_ssize_t j = 0; j < width; ++j) {
                if (!scalar(row[j])) return false;
                values.push_back(row[j]);
            }
        } else {
            if (!scalar(it)) return false;
            values.push_back(it);
        }
    }
    if (values.size() % 4 != 0) return false;
    bool any_float = false;
    for (PyObject* v : values) any_float |= PyFloat_CheckExact(v);
    kind = any_float ? Kind::Float : Kind::Int;
    for (PyObject* v : values) {
        if (!PyLong_CheckExact(v)) continue;
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return false;
        if (x == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        if (any_float && (x > core::kExactDoubleInt || x < -core::kExactDoubleInt)) return false;
    }
    return true;
}

Ref plain_value_to_int(PyObject* v, Kind kind) {
    if (kind == Kind::Float) {
        double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : static_cast<double>(PyLong_AsLongLong(v));
        return Ref::steal(PyLong_FromDouble(d));
    }
    if (PyBool_Check(v)) return new_int(v == Py_True ? 1 : 0);
    return Ref::borrow(v);
}

}  // namespace

Ref SplitRows::boxes() const {
    RefStack<8> lists;
    for (std::size_t r = 0; r < labels.size(); ++r) lists.push(list_from(values.data() + 4 * r, 4).get());
    return list_from(lists.data(), rows());
}

Ref SplitRows::classes() const { return list_from(labels.data(), rows()); }

namespace {

// str(number). The regions of one behaviour share its number, so the text of an exact
// int is kept from one call to the next.
Ref label_of(const Ctx& c, PyObject* number) {
    ModuleState* st = c.st;
    if (!PyLong_CheckExact(number)) return to_str(number);
    // Only numbers of a few digits: the interpreter's limit on digits may change meanwhile.
    int overflow = 0;
    if (PyLong_AsLongLongAndOverflow(number, &overflow) == -1 && PyErr_Occurred()) raise_current();
    if (overflow) return to_str(number);
    // Comparing two exact ints runs no code.
    if (st->label_number && PyObject_RichCompareBool(st->label_number, number, Py_EQ) == 1)
        return Ref::borrow(st->label_text);
    Ref text = to_str(number);
    Py_XSETREF(st->label_number, Py_NewRef(number));
    Py_XSETREF(st->label_text, Py_NewRef(text.get()));
    return text;
}

// str() of a str or int cannot differ between calls; anything else is asked each row.
bool one_label(PyObject* number) { return PyUnicode_CheckExact(number) || PyLong_CheckExact(number); }

// split()'s plain path: false, having only read np, where numpy's conversion is needed.
bool split_rows(const Ctx& c, PyObject* behavior_boxes, PyObject* behavior_number, SplitRows& out) {
    Ref hold_boxes = Ref::borrow(behavior_boxes);
    Ref np = load_global(c, c.st->s_np);
    std::vector<PyObject*> values;
    Kind kind = Kind::Int;
    // Only numpy's own np.array converts as the plain path does (a module that has it is plain).
    if (np.get() != c.st->numpy || !c.st->np_array || !holds(PyModule_GetDict(np.get()), c.st->s_array, c.st->np_array))
        return false;
    if (!collect_plain_values(behavior_boxes, values, kind)) return false;
    // The values are borrowed from behavior_boxes: owned before anything can run (np.array
    // would have copied them just as early). Then row by row, as the plain code goes: the
    // four ints, then the label, so a failing int() and a failing str() meet in its order.
    RefStack<32> held;
    for (PyObject* v : values) held.push(v);
    const std::size_t rows = values.size() / 4;
    const bool same_label = one_label(behavior_number);
    Ref label;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t j = 0; j < 4; ++j) out.values.push(plain_value_to_int(held[4 * r + j], kind).get());
        if (!label || !same_label) label = same_label ? label_of(c, behavior_number) : to_str(behavior_number);
        out.labels.push(label.get());
    }
    return true;
}

// split() where split_rows() declined: numpy's conversion, then int() of every value.
Ref split_with_numpy(const Ctx& c, PyObject* behavior_boxes, PyObject* behavior_number) {
    Ref hold_boxes = Ref::borrow(behavior_boxes);
    const bool same_label = one_label(behavior_number);
    Ref np = load_global(c, c.st->s_np);
    Ref boxes = new_list();
    Ref classes = new_list();
    Ref label;
    Ref arr = call(getattr(np.get(), c.st->s_array).get(), behavior_boxes);
    Ref minus1 = new_int(-1);
    Ref four = new_int(4);
    Ref table = call_method(arr.get(), c.st->s_reshape, minus1.get(), four.get());
    Py_ssize_t rows = length(table.get());
    for (Py_ssize_t i = 0; i < rows; ++i) {
        // int() of an item runs the caller's code: the row list is made only after.
        Ref v[4];
        for (int j = 0; j < 4; ++j) {
            Ref row = get_index(table.get(), i);
            v[j] = to_int(get_index(row.get(), j).get());
        }
        list_append(boxes.get(), list_of4(v).get());
        if (!label || !same_label) label = label_of(c, behavior_number);
        list_append(classes.get(), label.get());
    }
    return Ref::steal(PyTuple_Pack(2, boxes.get(), classes.get()));
}

PyObject* rm_split(Ctx& c, PyObject* const* a) {
    SplitRows plain;
    if (!split_rows(c, a[1], a[2], plain)) return split_with_numpy(c, a[1], a[2]).release();
    Ref boxes = plain.boxes();
    Ref classes = plain.classes();
    return PyTuple_Pack(2, boxes.get(), classes.get());
}

// ---------------------------------------------------------------- check_boxes

// Exact texts joined in one allocation: what a chain of str + str gives.
Ref concat_texts(PyObject* const* parts, std::size_t n, PyObject* sep) {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    for (std::size_t i = 0; i < n; ++i) {
        total += PyUnicode_GET_LENGTH(parts[i]);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i]));
    }
    if (sep && n > 1) {
        total += static_cast<Py_ssize_t>(n - 1) * PyUnicode_GET_LENGTH(sep);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(sep));
    }
    Ref out = Ref::steal(PyUnicode_New(total, maxchar));
    if (maxchar < 256) {
        // All one byte per character (ASCII or Latin-1): plain copies.
        Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
        const Py_ssize_t sep_len = sep ? PyUnicode_GET_LENGTH(sep) : 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (sep && i > 0) {
                std::memcpy(dst, PyUnicode_1BYTE_DATA(sep), static_cast<std::size_t>(sep_len));
                dst += sep_len;
            }
            const Py_ssize_t len = PyUnicode_GET_LENGTH(parts[i]);
            std::memcpy(dst, PyUnicode_1BYTE_DATA(parts[i]), static_cast<std::size_t>(len));
            dst += len;
        }
        return out;
    }
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (sep && i > 0) {
            if (PyUnicode_CopyCharacters(out.get(), at, sep, 0, PyUnicode_GET_LENGTH(sep)) < 0) raise_current();
            at += PyUnicode_GET_LENGTH(sep);
        }
        if (PyUnicode_CopyCharacters(out.get(), at, parts[i], 0, PyUnicode_GET_LENGTH(parts[i])) < 0)
            raise_current();
        at += PyUnicode_GET_LENGTH(parts[i]);
    }
    return out;
}

bool exact_texts(PyObject* const* parts, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!PyUnicode_CheckExact(parts[i])) return false;
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(parts[i]) < 0) raise_current();
#endif
    }
    return true;
}

// The gathered exact-text names joined with "|" ("" + name is the name itself, as in Python).
Ref join_names(const Ctx& c, PyObject* const* names, std::size_t n) {
    exact_texts(names, n);
    if (n == 1) return Ref::borrow(names[0]);
    return concat_texts(names, n, c.st->s_pipe);
}

// bool(obj), without a call for the kinds documents hold.
bool is_true(PyObject* obj) {
    if (obj == Py_None) return false;
    if (PyList_CheckExact(obj)) return PyList_GET_SIZE(obj) != 0;
    if (PyDict_CheckExact(obj)) return PyDict_GET_SIZE(obj) != 0;
    if (PyUnicode_CheckExact(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
    return truthy(obj);
}

// obj[key] = value; exact dicts straight away.
void store(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj)) {
        if (PyDict_SetItem(obj, key, value) < 0) raise_current();
        return;
    }
    set_item(obj, key, value);
}

// behavior_info + "-" + info_name + info_rois + info_ftime + info_type, as Python evaluates
// it: each part read just before it is added. Exact texts are gathered (adding them runs
// nothing) and joined once, at the end or when a part of another kind comes.
Ref alarm_text(const Ctx& c, PyObject* info, PyObject* info_rois) {
    ModuleState* st = c.st;
    PyObject* const keys[6] = {st->s_behavior_info, nullptr, st->s_info_name, nullptr, st->s_info_ftime,
                               st->s_info_type};
    RefStack<6> texts;
    Ref text;
    bool gathering = true;
    for (int i = 0; i < 6; ++i) {
        Ref part = i == 1 ? Ref::borrow(st->s_dash)
                          : i == 3 ? Ref::borrow(info_rois) : get_default(info, st->s_get, keys[i]);
        if (gathering) {
            PyObject* raw = part.get();
            if (exact_texts(&raw, 1)) {
                texts.push(raw);
                continue;
            }
            gathering = false;
            if (texts.empty()) {
                text = part;
                continue;
            }
            text = texts.size() == 1 ? Ref::borrow(texts[0]) : concat_texts(texts.data(), texts.size(), nullptr);
        }
        text = add(text.get(), part.get());
    }
    if (gathering) text = concat_texts(texts.data(), texts.size(), nullptr);
    return text;
}

PyObject* rm_check_boxes(Ctx& c, PyObject* const* a) {
    ModuleState* st = c.st;
    PyObject* out = a[1];
    Ref alarm_behavior = get_default(out, st->s_get, st->s_alarmBehavior);
    // The kept entries and regions are gathered first; each new list is made in one go
    // once its items are known (nobody else can reach it before it is stored).
    RefStack<16> kept_behaviors;
    RefStack<16> kept;
    RefStack<16> names;
    for_each(alarm_behavior.get(), [&](PyObject* behavior) {
        Ref info_rois = Ref::borrow(st->s_empty);
        // Names are gathered while they are all exact texts and joined once at the end;
        // the first other name switches to Python's own concatenation, step by step.
        names.clear();
        kept.clear();
        bool gathering = true;
        Ref out_result = get_default(behavior, st->s_get, st->s_result);
        if (!is_true(out_result.get())) return;
        Py_ssize_t v = 0;
        for_each(out_result.get(), [&](PyObject* roi_result) {
            Py_ssize_t pos = v++;
            Ref roi_name = get_default(roi_result, st->s_get, st->s_roi_name);
            Ref behavior_boxes = get_default(roi_result, st->s_get, st->s_boxes);
            if (!is_true(behavior_boxes.get())) return;
            kept.push(get_index(out_result.get(), pos).get());
            if (!is_true(roi_name.get())) return;
            if (gathering) {
                if (PyUnicode_CheckExact(roi_name.get())) {
                    names.push(roi_name.get());
                    return;
                }
                gathering = false;
                if (!names.empty()) info_rois = join_names(c, names.data(), names.size());
            }
            // A name with its own __radd__ can leave a non-text behind: ask it, as Python would.
            bool first = PyUnicode_CheckExact(info_rois.get()) ? PyUnicode_GET_LENGTH(info_rois.get()) == 0
                                                                : !truthy(info_rois.get());
            if (first) {
                info_rois = add_in_place(info_rois.get(), roi_name.get());
            } else {
                Ref piece = add(st->s_pipe, to_str(roi_name.get()).get());
                info_rois = add_in_place(info_rois.get(), piece.get());
            }
        });
        if (gathering && !names.empty()) info_rois = join_names(c, names.data(), names.size());
        if (kept.empty()) return;
        store(behavior, st->s_result, list_from(kept.data(), static_cast<Py_ssize_t>(kept.size())).get());
        Ref info = get_item(behavior, st->s_alarm_info_dict);
        Ref text = alarm_text(c, info.get(), info_rois.get());
        store(behavior, st->s_alarm_info, text.get());
        store(info.get(), st->s_info_rois, info_rois.get());
        kept_behaviors.push(behavior);
    });
    Ref alarm_behavior_list = list_from(kept_behaviors.data(), static_cast<Py_ssize_t>(kept_behaviors.size()));
    store(out, st->s_alarmBehavior, alarm_behavior_list.get());
    return Py_NewRef(out);
}

// ---------------------------------------------------------------- target_radius

// out_result_dict["alarmBehavior"][k]
Ref entry_at(const Ctx& c, PyObject* out, Py_ssize_t k) {
    Ref behaviors = get_item(out, c.st->s_alarmBehavior);
    return get_index(behaviors.get(), k);
}

Ref wall_clock(const Ctx& c) {
    Ref time_mod = load_global(c, c.st->s_time);
    return call_method(time_mod.get(), c.st->s_time);
}

PyObject* rm_target_radius(Ctx& c, PyObject* const* a) {
    ModuleState* st = c.st;
    PyObject* self = a[0];
    PyObject* dev_id = a[1];
    Ref out = Ref::borrow(a[2]);
    Ref alarm_behavior = get_default(out.get(), st->s_get, st->s_alarmBehavior);
    Py_ssize_t k = 0;
    for_each(alarm_behavior.get(), [&](PyObject* behavior) {
        Py_ssize_t entry = k++;
        Ref behavior_number = get_default(behavior, st->s_get, st->s_behavior_number);
        Ref out_result = get_default(behavior, st->s_get, st->s_result);
        if (!truthy(out_result.get())) return;
        to_int(behavior_number.get());
        // Set once an unnamed still region has emptied this entry's result: the
        // named regions after it then have no place left to empty.
        bool entry_cleared = false;
        Py_ssize_t v = 0;
        for_each(out_result.get(), [&](PyObject* roi_result) {
            Py_ssize_t pos = v++;
            Ref name = get_default(roi_result, st->s_get, st->s_roi_name);
            Ref behavior_boxes = get_default(roi_result, st->s_get, st->s_boxes);
            // While split and run are our own, split's rows go to run as they are: its
            // lists and run's tuple would only be taken apart again.
            PyObject* split_args[] = {self, behavior_boxes.get(), behavior_number.get()};
            const MethodLookup split_found = lookup_method(self, st->s_split);
            SplitRows rows;
            bool deferred = false;
            Ref split_out[2];
            if (split_found.fn && own_body(c, split_found.fn.get()) == rm_split) {
                // Our split, run in place: its rows are read once, whichever way it goes.
                NestingGuard call;
                if (!call.entered()) raise_current();
                deferred = split_rows(c, behavior_boxes.get(), behavior_number.get(), rows);
                if (!deferred)
                    unpack(split_with_numpy(c, behavior_boxes.get(), behavior_number.get()).get(), 2, split_out);
            } else {
                unpack(call_found(split_found, st->s_split, split_args, 3).get(), 2, split_out);
            }
            Ref start_time = wall_clock(c);

            // Each statement reads self.dev_id and its maps afresh, as the plain code does:
            // the clock, Camera() and the keys' own __eq__ may rebind them meanwhile.
            auto registry = [&] { return getattr(self, st->s_dev_id); };
            auto stamps = [&] { return getattr(self, st->s_refresh_time); };
            if (!contains(registry().get(), dev_id)) {
                set_item(registry().get(), dev_id, new_dict().get());
                set_item(stamps().get(), dev_id, new_dict().get());
            }
            if (!contains(get_item(registry().get(), dev_id).get(), behavior_number.get())) {
                set_item(get_item(registry().get(), dev_id).get(), behavior_number.get(), new_dict().get());
                Ref clock = load_global(c, st->s_get_current_time);
                Ref now = call(clock.get());
                set_item(get_item(stamps().get(), dev_id).get(), behavior_number.get(), now.get());
            }
            auto cameras = [&] { return get_item(get_item(registry().get(), dev_id).get(), behavior_number.get()); };
            Ref camera;
            if (!contains(cameras().get(), name.get())) {
                Ref camera_cls = load_global(c, st->s_Camera);
                camera = call(camera_cls.get());
                set_item(cameras().get(), name.get(), camera.get());
            } else {
                camera = get_item(cameras().get(), name.get());
            }

            Ref run_out[4];
            const MethodLookup run_found = lookup_method(camera.get(), st->s_run);
            const bool fused =
                deferred && run_found.fn && run_split_rows(c, camera.get(), run_found.fn.get(), rows, run_out + 1);
            if (!fused) {
                if (deferred) {
                    split_out[0] = rows.boxes();
                    split_out[1] = rows.classes();
                }
                PyObject* run_args[] = {camera.get(), split_out[0].get(), split_out[1].get()};
                unpack(call_found(run_found, st->s_run, run_args, 3).get(), 4, run_out);
            }
            setattr(self, st->s_unmatch_list, run_out[1].get());
            setattr(self, st->s_static_list, run_out[2].get());
            setattr(self, st->s_del_list, run_out[3].get());
            Ref end_time = wall_clock(c);
            setattr(self, st->s_runtime, Ref::steal(PyNumber_Subtract(end_time.get(), start_time.get())).get());

            Ref still_list = getattr(self, st->s_static_list);
            Py_ssize_t still = length(still_list.get());
            Py_ssize_t nboxes = length(behavior_boxes.get());
            // A lone box needs its own target to be still: "boxes - 1" would let one
            // walker silence the region on every frame.
            bool is_still = nboxes == 1 ? still >= 1 : nboxes > 1 && still >= nboxes - 1;
            if (!is_still) return;
            if (truthy(name.get())) {
                if (entry_cleared) return;
                Ref regions = get_item(entry_at(c, out.get(), entry).get(), st->s_result);
                Ref region = get_index(regions.get(), pos);
                set_item(region.get(), st->s_boxes, new_list().get());
            } else {
                set_item(entry_at(c, out.get(), entry).get(), st->s_result, new_list().get());
                set_item(entry_at(c, out.get(), entry).get(), st->s_alarm_info, st->s_empty);
                set_item(entry_at(c, out.get(), entry).get(), st->s_alarm_info_dict, new_dict().get());
                entry_cleared = true;
            }
        });
    });
    out = call_method(self, st->s_check_boxes, out.get());

    Ref device_stamps = get_default(getattr(self, st->s_refresh_time).get(), st->s_get, dev_id);
    if (truthy(device_stamps.get())) {
        Ref pairs = call_method(get_item(getattr(self, st->s_refresh_time).get(), dev_id).get(), st->s_items);
        for_each(pairs.get(), [&](PyObject* pair) {
            Ref kv[2];
            unpack(pair, 2, kv);
            Ref clock = load_global(c, st->s_get_current_time);
            Ref current_time = call(clock.get());
            Ref age = Ref::steal(PyNumber_Subtract(current_time.get(), kv[1].get()));
            if (!compare(age.get(), st->int600, Py_GE)) return;
            Ref stamps_now = getattr(self, st->s_refresh_time);
            set_item(get_item(stamps_now.get(), dev_id).get(), kv[0].get(), current_time.get());
            Ref registry = getattr(self, st->s_dev_id);
            set_item(registry.get(), dev_id, new_dict().get());
        });
    }
    return out.release();
}

// ---------------------------------------------------------------- get_metrix

// Exact ints and floats that a double holds exactly, as doubles: compared as doubles
// they order as Python orders them. False for anything else.
bool plain_values(PyObject* const* items, Py_ssize_t n, double* out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* o = items[i];
        if (PyFloat_CheckExact(o)) {
            out[i] = PyFloat_AS_DOUBLE(o);
        } else if (PyLong_CheckExact(o)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow || x > core::kExactDoubleInt || x < -core::kExactDoubleInt) return false;
            out[i] = static_cast<double>(x);
        } else {
            return false;
        }
    }
    return true;
}

std::size_t plain_extreme(const double* v, Py_ssize_t n, int op) {
    return op == Py_LT ? core::index_of_min(v, static_cast<std::size_t>(n))
                       : core::index_of_max(v, static_cast<std::size_t>(n));
}

// min()/max() over a list of coordinates, as the builtins pick them.
Ref pick_extreme(PyObject* list, int op, const char* fname) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) {
        PyErr_Format(PyExc_ValueError, "%s() arg is an empty sequence", fname);
        raise_current();
    }
    std::vector<double> plain(static_cast<std::size_t>(n));
    if (plain_values(reinterpret_cast<PyListObject*>(list)->ob_item, n, plain.data()))
        return Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(plain_extreme(plain.data(), n, op))));
    Ref best;
    for_each(list, [&](PyObject* item) {
        if (!best) {
            best = Ref::borrow(item);
            return;
        }
        int r = PyObject_RichCompareBool(item, best.get(), op);
        if (r < 0) raise_current();
        if (r) best = Ref::borrow(item);
    });
    return best;
}

// The rectangle of an exact list or tuple of exact lists or tuples of plain numbers, read
// in place: no Python code can run, so the coordinate lists need not be built. False
// (nothing done) for any other outline.
constexpr Py_ssize_t kPlainPoints = 32;

bool plain_metrix(PyObject* points, Ref* rect) {
    if (!PyList_CheckExact(points) && !PyTuple_CheckExact(points)) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(points);
    if (n < 2 || n > kPlainPoints) return false;
    PyObject** pts = PySequence_Fast_ITEMS(points);
    PyObject* xs[kPlainPoints];
    PyObject* ys[kPlainPoints];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = pts[i];
        if (!(PyList_CheckExact(p) || PyTuple_CheckExact(p)) || PySequence_Fast_GET_SIZE(p) < 2) return false;
        xs[i] = PySequence_Fast_ITEMS(p)[0];
        ys[i] = PySequence_Fast_ITEMS(p)[1];
    }
    double vx[kPlainPoints], vy[kPlainPoints];
    if (!plain_values(xs, n, vx) || !plain_values(ys, n, vy)) return false;
    Ref picked[4] = {Ref::borrow(xs[plain_extreme(vx, n, Py_LT)]), Ref::borrow(xs[plain_extreme(vx, n, Py_GT)]),
                     Ref::borrow(ys[plain_extreme(vy, n, Py_LT)]), Ref::borrow(ys[plain_extreme(vy, n, Py_GT)])};
    // Converted in the order x_min, x_max, y_min, y_max (an infinite float fails first there).
    Ref x_min = to_int(picked[0].get());
    Ref x_max = to_int(picked[1].get());
    Ref y_min = to_int(picked[2].get());
    Ref y_max = to_int(picked[3].get());
    rect[0] = x_min;
    rect[1] = y_min;
    rect[2] = x_max;
    rect[3] = y_max;
    return true;
}

PyObject* rm_get_metrix(Ctx&, PyObject* const* a) {
    PyObject* points = a[1];
    Ref rect[4];
    if (plain_metrix(points, rect)) return list_of4(rect).release();
    if (points == Py_None || length(points) < 2) return PyList_New(0);
    Ref x_l = new_list();
    Ref y_l = new_list();
    for_each(points, [&](PyObject* point) {
        list_append(x_l.get(), get_index(point, 0).get());
        list_append(y_l.get(), get_index(point, 1).get());
    });
    Ref x_min = to_int(pick_extreme(x_l.get(), Py_LT, "min").get());
    Ref x_max = to_int(pick_extreme(x_l.get(), Py_GT, "max").get());
    Ref y_min = to_int(pick_extreme(y_l.get(), Py_LT, "min").get());
    Ref y_max = to_int(pick_extreme(y_l.get(), Py_GT, "max").get());
    rect[0] = x_min;
    rect[1] = y_min;
    rect[2] = x_max;
    rect[3] = y_max;
    return list_of4(rect).release();
}

// ---------------------------------------------------------------- phash

// The 10 x 10 block of a float32/float64 2-D array read straight from its buffer.
bool read_block(PyObject* arr, double* block) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    bool ok = false;
    const char* fmt = view.format ? view.format : "B";
    if (*fmt == '<' || *fmt == '=' || *fmt == '@') ++fmt;
    bool is_f32 = fmt[0] == 'f' && fmt[1] == '\0' && view.itemsize == 4;
    bool is_f64 = fmt[0] == 'd' && fmt[1] == '\0' && view.itemsize == 8;
    if ((is_f32 || is_f64) && view.ndim == 2 && view.shape[0] >= 10 && view.shape[1] >= 10) {
        const char* base = static_cast<const char*>(view.buf);
        for (int r = 0; r < 10; ++r) {
            for (int col = 0; col < 10; ++col) {
                const char* p = base + r * view.strides[0] + col * view.strides[1];
                if (is_f32) {
                    float f;
                    std::memcpy(&f, p, sizeof f);
                    block[r * 10 + col] = static_cast<double>(f);
                } else {
                    std::memcpy(&block[r * 10 + col], p, sizeof(double));
                }
            }
        }
        ok = true;
    }
    PyBuffer_Release(&view);
    return ok;
}

// Whatever the transform gave, hashed with Python's own arithmetic on its values.
Ref hash_generic(const Ctx& c, PyObject* coeffs) {
    ModuleState* st = c.st;
    Ref index = Ref::steal(PyTuple_Pack(2, st->slice0_10, st->slice0_10));
    Ref block = Ref::steal(PyObject_GetItem(coeffs, index.get()));
    Ref values = call_method(call_method(block.get(), st->s_flatten).get(), st->s_tolist);
    Ref total = Ref::borrow(st->int0);
    for_each(values.get(), [&](PyObject* v) { total = add(total.get(), v); });
    Ref one = Ref::steal(PyFloat_FromDouble(1.0));
    Ref scaled = Ref::steal(PyNumber_Multiply(total.get(), one.get()));
    Ref count = new_int(length(values.get()));
    Ref avg = Ref::steal(PyNumber_TrueDivide(scaled.get(), count.get()));
    std::vector<std::uint8_t> bits;
    for_each(values.get(), [&](PyObject* v) { bits.push_back(compare(v, avg.get(), Py_LT) ? 0 : 1); });
    std::string hex;
    if (core::hex_windows(bits.data(), bits.size(), hex) != kHashLength) {
        PyErr_SetString(PyExc_ValueError, "invalid literal for int() with base 2: ''");
        raise_current();
    }
    return Ref::steal(PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size())));
}

PyObject* rm_phash(Ctx& c, PyObject* const* a) {
    ModuleState* st = c.st;
    if (Ref fast = fast_phash(c, a[1])) return fast.release();
    // img = cv2.resize(img, (50, 50)); img = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY);
    // dct = cv2.dct(np.float32(img)): every name read where Python reads it.
    Ref img = Ref::borrow(a[1]);
    {
        Ref resize = getattr(load_global(c, st->s_cv2).get(), st->s_resize);
        img = call(resize.get(), img.get(), st->size50);
    }
    {
        Ref cvt = getattr(load_global(c, st->s_cv2).get(), st->s_cvtColor);
        Ref code = getattr(load_global(c, st->s_cv2).get(), st->s_COLOR_BGR2GRAY);
        img = call(cvt.get(), img.get(), code.get());
    }
    {
        Ref dct = getattr(load_global(c, st->s_cv2).get(), st->s_dct);
        Ref float32 = getattr(load_global(c, st->s_np).get(), st->s_float32);
        Ref as_float = call(float32.get(), img.get());
        img = call(dct.get(), as_float.get());
    }
    double block[100];
    if (!read_block(img.get(), block)) return hash_generic(c, img.get()).release();
    std::string hex = core::hash_from_block(block);
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
}

// ---------------------------------------------------------------- distance

PyObject* rm_distance(Ctx&, PyObject* const* a) {
    PyObject* h1 = a[1];
    PyObject* h2 = a[2];
    Py_ssize_t n1 = length(h1);
    Py_ssize_t n2 = length(h2);
    // Checked whatever the optimisation flag: a skipped check gives a wrong count.
    if (n1 != n2) {
        PyErr_SetNone(PyExc_AssertionError);
        raise_current();
    }
    if (PyUnicode_CheckExact(h1) && PyUnicode_CheckExact(h2)) {
#if PY_VERSION_HEX < 0x030C0000
        // Strings made through the legacy API are filled in lazily before 3.12.
        if (PyUnicode_READY(h1) < 0 || PyUnicode_READY(h2) < 0) raise_current();
#endif
        int k1 = PyUnicode_KIND(h1), k2 = PyUnicode_KIND(h2);
        const void* d1 = PyUnicode_DATA(h1);
        const void* d2 = PyUnicode_DATA(h2);
        std::size_t count = 0;
        if (k1 == PyUnicode_1BYTE_KIND && k2 == PyUnicode_1BYTE_KIND) {
            count = core::count_mismatches(static_cast<const Py_UCS1*>(d1), static_cast<const Py_UCS1*>(d2),
                                           static_cast<std::size_t>(n1));
        } else {
            for (Py_ssize_t i = 0; i < n1; ++i)
                count += PyUnicode_READ(k1, d1, i) != PyUnicode_READ(k2, d2, i) ? 1u : 0u;
        }
        return PyLong_FromSize_t(count);
    }
    Ref hold1 = Ref::borrow(h1), hold2 = Ref::borrow(h2);
    long long count = 0;
    for (Py_ssize_t i = 0; i < n1; ++i) {
        Ref x = get_index(h1, i);
        Ref y = get_index(h2, i);
        if (compare(x.get(), y.get(), Py_NE)) ++count;
    }
    return PyLong_FromLongLong(count);
}

// ---------------------------------------------------------------- move_detect

PyObject* rm_move_detect(Ctx& c, PyObject* const* a) {
    ModuleState* st = c.st;
    PyObject* self = a[0];
    PyObject* im = a[1];
    PyObject* dev_id = a[2];
    PyObject* out = a[3];
    {
        Ref store = getattr(self, st->s_move_id);
        if (!contains(store.get(), dev_id)) set_item(store.get(), dev_id, new_dict().get());
    }
    Ref alarm_behavior = get_default(out, st->s_get, st->s_alarmBehavior);
    Py_ssize_t k = 0;
    for_each(alarm_behavior.get(), [&](PyObject* behavior) {
        Py_ssize_t entry = k++;
        Ref behavior_number = get_default(behavior, st->s_get, st->s_behavior_number);
        Ref out_result = get_default(behavior, st->s_get, st->s_result);
        {
            Ref store = getattr(self, st->s_move_id);
            Ref device = get_item(store.get(), dev_id);
            if (!contains(device.get(), behavior_number.get()))
                set_item(device.get(), behavior_number.get(), new_dict().get());
        }
        Py_ssize_t v = 0;
        for_each(out_result.get(), [&](PyObject* roi_result) {
            Py_ssize_t pos = v++;
            Ref roi_points = get_default(roi_result, st->s_get, st->s_roi);
            Ref roi_name = get_default(roi_result, st->s_get, st->s_roi_name);
            roi_points = call_method(self, st->s_get_metrix, roi_points.get());
            Ref top = get_index(roi_points.get(), 1);
            Ref bottom = get_index(roi_points.get(), 3);
            Ref left = get_index(roi_points.get(), 0);
            Ref right = get_index(roi_points.get(), 2);
            Ref rows = Ref::steal(PySlice_New(top.get(), bottom.get(), nullptr));
            Ref cols = Ref::steal(PySlice_New(left.get(), right.get(), nullptr));
            Ref index = Ref::steal(PyTuple_Pack(2, rows.get(), cols.get()));
            Ref roi_img = Ref::steal(PyObject_GetItem(im, index.get()));
            Ref hash1 = call_method(self, st->s_phash, roi_img.get());

            Ref store = getattr(self, st->s_move_id);
            Ref hashes = get_item(get_item(store.get(), dev_id).get(), behavior_number.get());
            Ref hash2 = get_default(hashes.get(), st->s_get, roi_name.get());
            Ref count = truthy(hash2.get()) ? call_method(self, st->s_distance, hash1.get(), hash2.get())
                                            : Ref::borrow(st->int100);
            Ref move_thr = load_global(c, st->s_move_thr);
            if (!compare(count.get(), move_thr.get(), Py_GE)) {
                Ref regions = get_item(entry_at(c, out, entry).get(), st->s_result);
                set_index(regions.get(), pos, new_dict().get());
            }
            store = getattr(self, st->s_move_id);
            hashes = get_item(get_item(store.get(), dev_id).get(), behavior_number.get());
            set_item(hashes.get(), roi_name.get(), hash1.get());
        });
    });
    return call_method(self, st->s_check_boxes, out).release();
}

// ---------------------------------------------------------------- main

PyObject* rm_main(Ctx& c, PyObject* const* a) {
    ModuleState* st = c.st;
    PyObject* self = a[0];
    PyObject* mode = a[4];
    bool tracking = PyUnicode_CheckExact(mode) ? PyUnicode_Compare(mode, st->s_mode_target_radius) == 0
                                               : compare(mode, st->s_mode_target_radius, Py_EQ);
    if (tracking) return call_method(self, st->s_target_radius, a[2], a[3]).release();
    return call_method(self, st->s_move_detect, a[1], a[2], a[3]).release();
}

// Nine lines, no line feed after the last one (eight blanks).
constexpr const char kMainDoc[] =
    "\n"
    "        description: 主函数,传入\n"
    "\n"
    "        param:\n"
    "            json_data:  json字符串\n"
    "            out_result_dict： 识别结果\n"
    "        return:\n"
    "            返回去除掉静止目标的classes scores boxes\n"
    "        ";

}  // namespace

const char kRecognitionModeDoc[] = "去除掉静止的目标.如果判断出某个类别的所有bbox都相对静止,则把该类别都删掉,否则不删除";

const MethodDef kRecognitionModeMethods[] = {
    {"__init__", nullptr, 1, {"self"}, rm_init},
    {"split", nullptr, 3, {"self", "behavior_boxes", "behavior_number"}, rm_split},
    {"check_boxes", nullptr, 2, {"self", "out_result_dict"}, rm_check_boxes},
    {"target_radius", nullptr, 3, {"self", "dev_id", "out_result_dict"}, rm_target_radius},
    {"get_metrix", nullptr, 2, {"self", "points"}, rm_get_metrix},
    {"phash", nullptr, 2, {"self", "img"}, rm_phash},
    {"distance", nullptr, 3, {"self", "hash1", "hash2"}, rm_distance},
    {"move_detect", nullptr, 4, {"self", "im", "dev_id", "out_result_dict"}, rm_move_detect},
    {"main", kMainDoc, 5, {"self", "im", "dev_id", "out_result_dict", "mode"}, rm_main},
};
const int kRecognitionModeMethodCount = sizeof(kRecognitionModeMethods) / sizeof(kRecognitionModeMethods[0]);

}  // namespace rm

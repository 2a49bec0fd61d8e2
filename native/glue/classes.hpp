// Method tables of the module's two classes and the self-test entry.
#pragma once
#include "native_function.hpp"

namespace rm {

// What split() makes of plain boxes, before its lists: the ints of the rows, four by four,
// and the label of each row, all owned (the document may change meanwhile).
struct SplitRows {
    RefStack<32> values;
    RefStack<8> labels;

    Py_ssize_t rows() const { return static_cast<Py_ssize_t>(labels.size()); }
    // split()'s two lists: the row lists of these very ints, and the labels.
    Ref boxes() const;
    Ref classes() const;
};

// Camera.run(*rows' lists) when `run` (what camera.run resolved to) is our own: true with
// (unmatch_list, static_list, del_list) in out, what its tuple (static_list, unmatch_list,
// static_list, del_list) would hold. False, with nothing done, for any other run.
bool run_split_rows(Ctx& c, PyObject* camera, PyObject* run, const SplitRows& rows, Ref out[3]);

extern const MethodDef kCameraMethods[];
extern const int kCameraMethodCount;
extern const char kCameraDoc[];

extern const MethodDef kRecognitionModeMethods[];
extern const int kRecognitionModeMethodCount;
extern const char kRecognitionModeDoc[];

// Runs the built-in self-test in the module's namespace (load step when run as __main__).
void run_selftest(const Ctx& c);

}  // namespace rm

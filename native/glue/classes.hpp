// Method tables of the module's two classes and the self-test entry.
#pragma once
#include "native_function.hpp"

namespace rm {

extern const MethodDef kCameraMethods[];
extern const int kCameraMethodCount;
extern const char kCameraDoc[];

extern const MethodDef kRecognitionModeMethods[];
extern const int kRecognitionModeMethodCount;
extern const char kRecognitionModeDoc[];

// Runs the built-in self-test in the module's namespace (load step when run as __main__).
void run_selftest(const Ctx& c);

}  // namespace rm

// The hash without the four OpenCV/numpy calls, where it is known to give the same text.
#pragma once
#include "module_state.hpp"

namespace rm {

// Load step: remembers cv2, its resize/cvtColor/dct/COLOR_BGR2GRAY and numpy's
// float32/ndarray as bound now. Missing ones leave the native hash off.
void remember_hash_objects(const Ctx& c);

// phash(img) computed natively, or an empty Ref when this picture must take the
// OpenCV sequence (names rebound, not a packed 8-bit BGR array, a size whose
// scaling differs from the installed OpenCV, or a coefficient near the mean).
Ref fast_phash(const Ctx& c, PyObject* img);

// Counts of the paths taken: native, OpenCV scaling + native rest, OpenCV for a
// coefficient near the mean, not applicable.
PyObject* hash_path_counts(ModuleState* st);

// Diagnostics: img (a packed 8-bit BGR array) scaled to 50 x 50 by the named scaling
// variant, as bytes, or None where the variant does not apply to its size.
PyObject* hash_scaling(PyObject* img, PyObject* variant_name);

}  // namespace rm

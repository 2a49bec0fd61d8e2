#!/usr/bin/env bash
# Build the package with AddressSanitizer + UndefinedBehaviorSanitizer into a separate
# virtualenv (the normal install stays untouched) and run the test suite against it.
#
#   scripts/asan_tests.sh [pytest args...]      default: the whole tests/ directory
#
# Environment:
#   PYTHON      interpreter to build for (default: python)
#   ASAN_VENV   virtualenv to use/create (default: /tmp/asan-venv-<python version>)
#   BUILD_DIR   scikit-build build directory (default: /tmp/build-asan-<python version>-<checkout>)
#   SKIP_BUILD  set to 1 to rerun the tests without rebuilding
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python}"
pyver="$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
ASAN_VENV="${ASAN_VENV:-/tmp/asan-venv-$pyver}"
# One per checkout: CMake refuses a build directory made for another source tree.
BUILD_DIR="${BUILD_DIR:-/tmp/build-asan-$pyver-$(printf %s "$here" | cksum | cut -d" " -f1)}"

asan_rt="$(gcc -print-file-name=libasan.so)"
if [[ ! -e "$asan_rt" ]]; then
    echo "asan_tests: no libasan.so from gcc ($asan_rt); install gcc's sanitizer runtime" >&2
    exit 2
fi
# libstdc++ goes in with the runtime: the interpreter does not link it, and ASan must find
# the real __cxa_throw at start-up or the first C++ exception aborts the process.
cxx_rt="$(gcc -print-file-name=libstdc++.so)"
preload="$asan_rt $(readlink -f "$cxx_rt")"

if [[ ! -x "$ASAN_VENV/bin/python" ]]; then
    echo "asan_tests: creating $ASAN_VENV"
    # System site-packages give numpy, OpenCV, pytest, hypothesis and the build backend.
    "$PYTHON" -m venv --system-site-packages "$ASAN_VENV"
fi
py="$ASAN_VENV/bin/python"

install_sanitized() {
    # --ignore-installed puts our copy in the venv instead of touching the system one.
    (cd "$here" && RM_SANITIZE=1 "$py" -m pip install . -q --no-deps --ignore-installed \
        --config-settings=build-dir="$BUILD_DIR" --config-settings=cmake.build-type=RelWithDebInfo "$@")
}
if [[ "${SKIP_BUILD:-0}" != "1" ]]; then
    echo "asan_tests: building with RM_SANITIZE=1 into $ASAN_VENV (build dir $BUILD_DIR)"
    # The backend from the system site-packages when it is complete there, else an isolated build.
    install_sanitized --no-build-isolation || {
        echo "asan_tests: retrying with build isolation"
        install_sanitized
    }
fi

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
# CPython's allocator hides use-after-free of small objects from ASan; plain malloc shows them.
export PYTHONMALLOC=malloc

# Make sure the sanitized build is the one that gets imported.
LD_PRELOAD="$preload" "$py" - <<'PY'
import importlib, sys
m = importlib.import_module("object_detection.post_processing.recognition_mode.main")
print("asan_tests: testing", m.__file__)
if "asan-venv" not in m.__file__ and sys.prefix not in m.__file__:
    sys.exit("asan_tests: the sanitized build is not the one imported")
PY

cd "$here"
if [[ $# -eq 0 ]]; then set -- tests; fi
set +e
LD_PRELOAD="$preload" "$py" -m pytest -q -p no:cacheprovider "$@"
rc=$?
set -e
if [[ $rc -eq 0 ]]; then
    echo "asan_tests: PASS (no sanitizer report)"
else
    echo "asan_tests: FAIL (pytest exit $rc; a sanitizer report aborts the run with its stack above)"
fi
exit $rc

#!/usr/bin/env bash
# The test suite on Debian's debug interpreter (python3.11-dbg): reference counts,
# object layouts and the interpreter's own invariants are checked by assertions there.
#
#   scripts/ci_debug_python.sh [pytest args...]      default: the whole tests/ directory
#
# Environment:
#   DEBUG_PYTHON  the debug interpreter (default: python3.11-dbg, installed with apt-get when missing)
#   DEBUG_VENV    virtualenv to use/create (default: /tmp/debug-venv-3.11)
#   BUILD_DIR     scikit-build build directory (default: /tmp/build-debug-3.11-<checkout>)
#   SKIP_BUILD    set to 1 to rerun the tests without rebuilding
#
# Debian's debug include directory links to the release headers, so the build passes
# -DPy_DEBUG itself: without it the modules' Py_INCREF/Py_DECREF skip the debug
# bookkeeping and every reference count check drifts. NDEBUG stays undefined, so the
# asserts in the C API's inline functions run too.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DEBUG_PYTHON="${DEBUG_PYTHON:-python3.11-dbg}"
DEBUG_VENV="${DEBUG_VENV:-/tmp/debug-venv-3.11}"
# One build directory per checkout: CMake refuses a cache made for another source tree.
BUILD_DIR="${BUILD_DIR:-/tmp/build-debug-3.11-$(printf %s "$here" | cksum | cut -d' ' -f1)}"
start=$SECONDS

# The interpreter, and what its virtualenv needs (pip's wheels are a separate package on Debian).
missing=0
command -v "$DEBUG_PYTHON" >/dev/null 2>&1 || missing=1
if [[ "$DEBUG_PYTHON" == python3.11-dbg ]] && command -v dpkg-query >/dev/null 2>&1; then
    for pkg in python3.11-dbg python3.11-dev python3.11-venv; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing=1
    done
fi
if [[ $missing -eq 1 ]]; then
    if [[ "$DEBUG_PYTHON" == python3.11-dbg ]] && command -v apt-get >/dev/null 2>&1 && [[ $(id -u) -eq 0 ]]; then
        echo "debug_python: installing python3.11-dbg"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq python3.11-dbg python3.11-dev python3.11-venv >/dev/null
    else
        echo "debug_python: $DEBUG_PYTHON not found" >&2
        exit 2
    fi
fi
"$DEBUG_PYTHON" -c 'import sys; sys.exit(0 if hasattr(sys, "gettotalrefcount") else "not a debug interpreter")'

if [[ ! -x "$DEBUG_VENV/bin/python" ]]; then
    echo "debug_python: creating $DEBUG_VENV"
    "$DEBUG_PYTHON" -m venv "$DEBUG_VENV"
fi
py="$DEBUG_VENV/bin/python"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
# Release wheels load in a debug interpreter of the same version (same object layout).
PYTHONWARNINGS=ignore "$py" -m pip install -q numpy opencv-python-headless pytest hypothesis mypy scikit-build-core "pybind11>=3.0"
"$py" -c 'import numpy, cv2, pytest, hypothesis'

if [[ "${SKIP_BUILD:-0}" != "1" ]]; then
    echo "debug_python: building with -DPy_DEBUG into $DEBUG_VENV (build dir $BUILD_DIR)"
    (cd "$here" && PYTHONWARNINGS=ignore CXXFLAGS="-DPy_DEBUG -O1" "$py" -m pip install . -q --no-deps --no-build-isolation \
        --config-settings=build-dir="$BUILD_DIR" --config-settings=cmake.build-type=Debug)
fi

# Each module must carry the debug reference bookkeeping, and be the one imported.
"$py" - <<'PY'
import importlib, subprocess, sys
for name in ("main", "target", "utils"):
    m = importlib.import_module("object_detection.post_processing.recognition_mode." + name)
    syms = subprocess.run(["nm", "-D", "--undefined-only", m.__file__], capture_output=True, text=True).stdout
    if "_Py_RefTotal" not in syms:
        sys.exit("debug_python: %s was built without Py_DEBUG (%s)" % (name, m.__file__))
    if not m.__file__.startswith(sys.prefix):
        sys.exit("debug_python: %s is not the debug build (%s)" % (name, m.__file__))
print("debug_python: testing", sys.version.split()[0], "debug build, modules with Py_DEBUG")
PY

cd "$here"
if [[ $# -eq 0 ]]; then set -- tests; fi
set +e
"$py" -X faulthandler -m pytest -q -p no:cacheprovider "$@"
rc=$?
set -e
echo "debug_python: pytest exit $rc in $((SECONDS - start)) s"
exit $rc

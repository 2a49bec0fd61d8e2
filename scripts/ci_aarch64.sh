#!/usr/bin/env bash
# 64-bit ARM leg: build the checkout inside an arm64 Debian 11 tree with that tree's own
# g++, cmake and CPython 3.9 under qemu-user, run the whole suite there, and check that the
# self-test prints what the x86_64 build prints (timing lines aside).
#
# Needs root and the host packages qemu-user-static, debootstrap and binfmt-support.
# The tree is made once per machine and reused (RM_CI_CACHE, default /var/cache/rm-ci);
# delete the directory to start over.
#
#   scripts/ci_aarch64.sh            the whole leg
#   scripts/ci_aarch64.sh --prepare  only make sure the tree is ready
set -euo pipefail
export LC_ALL=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

ROOT=$(cd "$(dirname "$0")/.." && pwd)
CACHE=${RM_CI_CACHE:-/var/cache/rm-ci}
TREE=$CACHE/arm64-bullseye
WHEELS=$CACHE/wheels-cp39-aarch64
REF=$CACHE/x86_64-venv
MIRROR=${RM_CI_MIRROR:-http://deb.debian.org/debian}
HOST_PY=${RM_CI_HOST_PYTHON:-python3}
# What the tree holds; a change here rebuilds the tree.
DEBS="g++ make ccache cmake python3 python3-dev python3-venv python3-distutils ca-certificates"
# Wheels for the tree's CPython 3.9 (pip judges markers by the host's Python, so the
# back-ports pytest needs on 3.9 are named here).
PYPI="numpy opencv-python-headless pytest hypothesis exceptiongroup tomli scikit-build-core pybind11>=3.0"
STAMP_TEXT="tree-v2 bullseye arm64 mirror=$MIRROR debs=$DEBS pypi=$PYPI"

t0=$SECONDS
log() { echo "aarch64: [$((SECONDS - t0)) s] $*"; }

# qemu-user for aarch64 ELF files. The F flag keeps the interpreter open at registration,
# so it also works inside the chroot, and every aarch64 program started there (the tests
# start sys.executable) runs under it.
register_binfmt() {
    local bm=/proc/sys/fs/binfmt_misc
    [ -e "$bm/register" ] || mount -t binfmt_misc binfmt_misc "$bm"
    if [ ! -e "$bm/qemu-aarch64" ]; then
        if [ -f /usr/lib/binfmt.d/qemu-aarch64.conf ]; then
            cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$bm/register"
        else
            update-binfmts --enable qemu-aarch64
        fi
    fi
    grep -q '^enabled' "$bm/qemu-aarch64" || echo 1 >"$bm/qemu-aarch64"
    grep -q '^flags:.*F' "$bm/qemu-aarch64" || {
        echo "aarch64: binfmt entry qemu-aarch64 lacks the F flag (install qemu-user-static)" >&2
        exit 1
    }
}

# Run a command inside the tree in a private mount namespace: the mounts go away with it,
# and concurrent runs do not see each other's. This run's work directory appears as /build
# (one fixed path, so the compiler cache hits across runs).
in_tree() {
    unshare --mount --propagation private -- /bin/sh -c '
        tree=$1 work=$2; shift 2
        [ -z "$work" ] || mount --bind "$work" "$tree/build"
        mount -t proc proc "$tree/proc"
        mount --rbind /dev "$tree/dev"
        mount -t tmpfs -o mode=1777 tmpfs "$tree/dev/shm"
        mount -t sysfs sysfs "$tree/sys" 2>/dev/null || true
        exec chroot "$tree" /usr/bin/env -i HOME=/root LC_ALL=C.UTF-8 \
            PATH=/opt/venv/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore "$@"
    ' in_tree "$TREE" "${work:-}" "$@"
}

make_tree() {
    local tmp=$TREE.new
    rm -rf "$tmp" "$WHEELS.new"
    log "debootstrap arm64 bullseye from $MIRROR (once per machine)"
    debootstrap --arch=arm64 --variant=minbase --include="${DEBS// /,}" \
        bullseye "$tmp" "$MIRROR" >"$CACHE/debootstrap.log" 2>&1 || {
        tail -n 30 "$CACHE/debootstrap.log" >&2
        exit 1
    }
    rm -rf "$tmp"/var/cache/apt/archives/*.deb
    log "downloading aarch64 cp39 wheels"
    # shellcheck disable=SC2086
    "$HOST_PY" -m pip download -q -d "$WHEELS.new" --only-binary=:all: \
        --platform manylinux2014_aarch64 --python-version 3.9 --implementation cp \
        --abi cp39 pip $PYPI
    log "venv in the tree"
    mkdir -p "$tmp/wheels" "$tmp/build"
    cp "$WHEELS.new"/*.whl "$tmp/wheels/"
    local save=$TREE
    TREE=$tmp
    # shellcheck disable=SC2086
    in_tree /bin/sh -ec "python3 -m venv /opt/venv
        /opt/venv/bin/python -m pip install -q --upgrade --no-index --find-links /wheels pip
        /opt/venv/bin/python -m pip install -q --no-index --find-links /wheels $PYPI"
    TREE=$save
    rm -rf "$tmp/wheels"
    in_tree_check=$(chroot "$tmp" /opt/venv/bin/python -c 'import platform; print(platform.machine())')
    [ "$in_tree_check" = aarch64 ] || { echo "aarch64: tree python reports $in_tree_check" >&2; exit 1; }
    {
        echo "$STAMP_TEXT"
        chroot "$tmp" /usr/bin/env -i /opt/venv/bin/python -m pip freeze
        chroot "$tmp" /usr/bin/env -i /usr/bin/dpkg-query -W g++ cmake python3
    } >"$tmp/rm-ci.stamp"
    rm -rf "$TREE" "$WHEELS"
    mv "$tmp" "$TREE"
    mv "$WHEELS.new" "$WHEELS"
}

# Host-side venv for the x86_64 reference run of the self-test.
ref_stamp() { echo "ref-v1 $("$HOST_PY" -c 'import sys; print(sys.version.split()[0])') pypi=$PYPI"; }
make_ref() {
    log "x86_64 reference venv"
    rm -rf "$REF"
    "$HOST_PY" -m venv "$REF"
    # shellcheck disable=SC2086
    "$REF/bin/python" -m pip install -q $PYPI
    ref_stamp >"$REF/rm-ci.stamp"
}

tree_current() { [ "$(head -n 1 "$TREE/rm-ci.stamp" 2>/dev/null)" = "$STAMP_TEXT" ]; }

# A shared hold on the lock while this run uses the tree, so no other run replaces it
# meanwhile; an exclusive one only to (re)make it.
ensure_tree() {
    mkdir -p "$CACHE"
    exec 9>"$CACHE/lock"
    flock -s 9
    if tree_current; then
        log "reusing the cached tree $TREE"
    else
        flock -x 9
        tree_current || make_tree
        flock -s 9
    fi
    if [ "$(head -n 1 "$REF/rm-ci.stamp" 2>/dev/null)" != "$(ref_stamp)" ]; then
        flock -x 9
        [ "$(head -n 1 "$REF/rm-ci.stamp" 2>/dev/null)" = "$(ref_stamp)" ] || make_ref
        flock -s 9
    fi
}

# A fresh machine lacks the emulator and debootstrap: fetch them from Debian once.
host_packages() {
    local missing=()
    [ -e /usr/bin/qemu-aarch64-static ] || [ -e /usr/libexec/qemu-binfmt/aarch64-binfmt-P ] \
        || missing+=(qemu-user-static)
    command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
    command -v update-binfmts >/dev/null 2>&1 || missing+=(binfmt-support)
    [ "${#missing[@]}" -eq 0 ] && return 0
    log "installing host packages: ${missing[*]}"
    [ "$(id -u)" -eq 0 ] || { echo "aarch64: needs root to install ${missing[*]}" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
        >"${TMPDIR:-/tmp}/rm-ci-apt.log" 2>&1 || {
        tail -n 30 "${TMPDIR:-/tmp}/rm-ci-apt.log" >&2
        exit 1
    }
}

host_packages
register_binfmt
ensure_tree
[ "${1:-}" = --prepare ] && { log "tree ready"; exit 0; }

# A private copy of the checkout: the build writes build/ and must not meet the x86_64
# matrix building in the checkout at the same time.
copy_checkout() {
    mkdir -p "$1"
    tar -C "$ROOT" --exclude=./.git --exclude=./build --exclude='*.egg-info' \
        --exclude=__pycache__ --exclude=.pytest_cache --exclude=.hypothesis -cf - . | tar -C "$1" -xf -
}

# The self-test minus its timing lines.
untimed() { grep -v '^总耗时：' "$1"; }

work=$(mktemp -d /tmp/rm-ci-aarch64.XXXXXX)
trap 'rm -rf "$work"' EXIT
w=/build   # $work seen from inside the tree
copy_checkout "$work/src"

log "building inside the tree ($(chroot "$TREE" g++ --version | head -n 1))"
in_tree /bin/sh -ec "cd $w/src
    export CCACHE_DIR=/var/cache/ccache CCACHE_MAXSIZE=300M CMAKE_CXX_COMPILER_LAUNCHER=ccache
    RM_WERROR=\${RM_WERROR:-1} CMAKE_BUILD_PARALLEL_LEVEL=2 python -m pip wheel -q --no-build-isolation --no-deps --no-index -w $w/dist .
    python -m pip install -q --no-deps --no-index --target $w/site $w/dist/*.whl"
ls "$work"/dist
in_tree /usr/bin/env CCACHE_DIR=/var/cache/ccache ccache -s | grep -i 'cache hit\|cache miss' | tr -s ' ' || true

log "self-test on aarch64"
in_tree /bin/sh -ec "cd $w && PYTHONPATH=$w/site python -c 'import platform; assert platform.machine() == \"aarch64\"'
    PYTHONPATH=$w/site PYTHONIOENCODING=utf-8 python -m object_detection.post_processing.recognition_mode" \
    >"$work/selftest-aarch64.txt"

log "test suite on aarch64 (python $(chroot "$TREE" /opt/venv/bin/python -c 'import sys; print(sys.version.split()[0])'))"
rc=0
# Under emulation the generated-junk tests take most of the time; a quarter of their
# examples here (the x86_64 matrix runs them all), RM_FUZZ_EXAMPLES overrides.
in_tree /bin/sh -ec "cd $w/src && RM_FUZZ_EXAMPLES=${RM_FUZZ_EXAMPLES:-25} PYTHONPATH=$w/site \
    python -m pytest -q -p no:cacheprovider --durations=10" || rc=$?
[ "$rc" -eq 0 ] || { echo "aarch64: test suite failed with exit code $rc" >&2; exit 1; }

log "x86_64 reference build of the self-test"
copy_checkout "$work/x86src"
CMAKE_BUILD_PARALLEL_LEVEL=2 "$REF/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$work/x86dist" "$work/x86src"
"$REF/bin/python" -m pip install -q --no-deps --target "$work/x86site" "$work"/x86dist/*.whl
(cd "$work" && PYTHONPATH=$work/x86site PYTHONIOENCODING=utf-8 "$REF/bin/python" -m object_detection.post_processing.recognition_mode) \
    >"$work/selftest-x86_64.txt"

if ! diff <(untimed "$work/selftest-x86_64.txt") <(untimed "$work/selftest-aarch64.txt"); then
    echo "aarch64: self-test output differs from x86_64 (above: < x86_64, > aarch64)" >&2
    exit 1
fi
log "self-test output equals x86_64 ($(untimed "$work/selftest-aarch64.txt" | wc -l) lines, timing lines aside)"
log "aarch64 leg passed"

"""Drop the compiled recognition-mode module into a host's own object_detection tree.

    recognition-mode install HOST_ROOT [--tracking auto|ours|host] [--self-test]
                                        [--source WHEEL_OR_DIR] [--python HOST_PYTHON]

HOST_ROOT is the folder that holds the host's ``object_detection`` package (the folder
the host puts on sys.path). The module imports the host's own
``object_detection.utils.parametar`` (HYPER_PARA), ``base_utils`` (get_current_time) and
``logger`` (setup_logger); this command never writes under ``object_detection/utils``
and refuses to run when the host lacks one of them.

What it writes, into ``HOST_ROOT/object_detection/post_processing/recognition_mode/``:

  * the compiled module ``main`` (always; replaced by rename, so a running process keeps
    the file it has mapped);
  * our compiled tracking modules ``target`` and ``utils``, as a pair (``--tracking``):
    ``auto`` (default) copies them when the host has neither, keeps the host's when it has
    both; ``ours`` copies them and refuses when the host has its own; ``host`` copies none;
  * ``__main__.py`` with ``--self-test``, so that
    ``python -m object_detection.post_processing.recognition_mode`` runs the built-in
    self-test inside the host tree (never over a ``__main__.py`` of the host's);
  * an ``__init__.py`` in ``post_processing/`` and ``recognition_mode/`` only where the
    host has none;
  * ``.dropin-files``, the list of what it wrote: a later run replaces those files only.

The files come from this package as installed in the Python running this command (build
it with ``python -m pip install .`` on the host's Python version), or from ``--source``:
a wheel built for the host, or a folder holding ``object_detection/``. Afterwards the
host's Python (``--python``, default the one running this command) imports the module
from HOST_ROOT and shows which configuration, clock and logger it picked up.
"""
import argparse
import importlib.machinery
import os
import subprocess
import sys
import tempfile
import zipfile

DIST = "object-detection-recognition-mode"
PKG_PATH = "object_detection/post_processing/recognition_mode"
HOST_COMPONENTS = ("parametar", "base_utils", "logger")
TRACKING = ("target", "utils")
MANIFEST = ".dropin-files"  # what we wrote, so that a later run replaces ours, not the host's

INIT_TEXT = '"""Recognition-mode post-processing (compiled modules dropped in)."""\n'

VERIFY = r"""
import os, sys
root = os.path.realpath(sys.argv[1])
sys.path.insert(0, root)
import object_detection.post_processing.recognition_mode.main as m
import object_detection.utils.parametar as p
import object_detection.utils.base_utils as b
import object_detection.utils.logger as l
outside = sorted(name for name, mod in list(sys.modules.items())
                 if name.split(".")[0] == "object_detection" and getattr(mod, "__file__", None)
                 and not os.path.realpath(mod.__file__).startswith(root + os.sep))
if outside:
    sys.exit("not from the host tree: %s" % ", ".join(outside))
print("  module          %s" % m.__file__)
print("  HYPER_PARA      %s (iou_thr=%r, pix_thr=%r, move_thr=%r)" % (p.__file__, m.iou_thr, m.pix_thr, m.move_thr))
print("  clock           %s" % b.__file__)
print("  logger          %s" % l.__file__)
for name in (m.TargetRadius.__module__, m.box2meas.__module__):
    print("  tracking        %s" % getattr(sys.modules.get(name), "__file__", name))
"""


class DropInError(Exception):
    pass


def module_files(folder, stem):
    """Files in folder that Python could import as module ``stem`` (or its package dir)."""
    if not os.path.isdir(folder):
        return []
    suffixes = tuple(importlib.machinery.all_suffixes()) + (".pyc",)
    out = []
    for entry in sorted(os.listdir(folder)):
        path = os.path.join(folder, entry)
        if entry == stem and os.path.isdir(path):
            out.append(path)
        elif entry.startswith(stem + ".") and entry.endswith(suffixes):
            out.append(path)
    return out


def dropped_before(dest):
    """Names of the files an earlier drop-in wrote into dest (those it may replace)."""
    try:
        with open(os.path.join(dest, MANIFEST), encoding="utf-8") as fh:
            return {line.strip() for line in fh if line.strip()}
    except FileNotFoundError:
        return set()


def read_source(source):
    """{file name: bytes} of our package folder: installed copy, a wheel, or a folder."""
    files = {}
    if source is None:
        try:
            from importlib import metadata
        except ImportError:  # Python 3.7 and older
            raise DropInError("Python 3.8 or newer is needed to find the installed package")
        try:
            dist = metadata.distribution(DIST)
        except metadata.PackageNotFoundError:
            raise DropInError("%s is not installed in %s; run `python -m pip install .` "
                              "first or give --source" % (DIST, sys.executable))
        for f in dist.files or ():
            rel = str(f).replace("\\", "/")
            if os.path.dirname(rel) == PKG_PATH:
                with open(str(dist.locate_file(f)), "rb") as fh:
                    files[os.path.basename(rel)] = fh.read()
    elif os.path.isfile(source) and zipfile.is_zipfile(source):
        with zipfile.ZipFile(source) as whl:
            for name in whl.namelist():
                if os.path.dirname(name) == PKG_PATH:
                    files[os.path.basename(name)] = whl.read(name)
    elif os.path.isdir(os.path.join(source, PKG_PATH)):
        folder = os.path.join(source, PKG_PATH)
        for entry in os.listdir(folder):
            path = os.path.join(folder, entry)
            if os.path.isfile(path):
                with open(path, "rb") as fh:
                    files[entry] = fh.read()
    else:
        raise DropInError("--source %s is neither a wheel nor a folder holding %s" % (source, PKG_PATH))
    return files


def compiled(files, stem):
    return sorted(name for name in files if name.startswith(stem + ".") and name.endswith((".so", ".pyd")))


def host_suffixes(python):
    out = subprocess.run([python, "-c", "import importlib.machinery as m; print('\\n'.join(m.EXTENSION_SUFFIXES))"],
                         stdout=subprocess.PIPE, universal_newlines=True, check=True)
    return tuple(line for line in out.stdout.splitlines() if line)


def write_file(path, data, actions, dry_run):
    actions.append("write   %s" % path)
    if dry_run:
        return
    folder = os.path.dirname(path)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".dropin-")
    try:
        with os.fdopen(fd, "wb") as fh:
            fh.write(data)
        os.chmod(tmp, 0o755 if path.endswith((".so", ".pyd")) else 0o644)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


def install(host_root, tracking="auto", self_test=False, source=None, python=None, dry_run=False):
    """Place the module into host_root; returns the list of actions taken."""
    python = python or sys.executable
    pkg_root = os.path.join(host_root, "object_detection")
    if not os.path.isfile(os.path.join(pkg_root, "__init__.py")):
        raise DropInError("%s has no object_detection/__init__.py: the host's own package goes "
                          "there (a namespace package would lose to an installed copy)" % host_root)
    missing = [c for c in HOST_COMPONENTS if not module_files(os.path.join(pkg_root, "utils"), c)]
    if missing:
        raise DropInError("the host lacks object_detection/utils/%s; the module imports the host's "
                          "own configuration, clock and logger from there" % ", ".join(missing))

    files = read_source(source)
    suffixes = host_suffixes(python)
    wanted = ["main"]
    dest = os.path.join(host_root, *PKG_PATH.split("/"))
    ours = dropped_before(dest)
    actions = []
    for path in module_files(dest, "main"):
        if os.path.basename(path) in ours:
            continue
        if os.path.isdir(path):  # a package directory would win over the extension
            raise DropInError("the host has a package %s in the way of the module main" % path)
        # Python picks an extension module before a .py of the same name.
        actions.append("note    %s stays, unused: the compiled main is imported first" % path)
    host_own = [p for stem in TRACKING for p in module_files(dest, stem) if os.path.basename(p) not in ours]
    host_stems = {os.path.basename(p).split(".")[0] for p in host_own}
    # Our TargetRadius reads what our box2meas makes: the two come as a pair.
    if tracking == "ours" and host_own:
        raise DropInError("the host has its own tracking modules (%s); keep them with --tracking host "
                          "or move them away" % ", ".join(host_own))
    if tracking == "auto" and host_own and host_stems != set(TRACKING):
        raise DropInError("the host has %s but not %s; choose --tracking ours (move the host's away) "
                          "or --tracking host" % (", ".join(host_own), " or ".join(sorted(set(TRACKING) - host_stems))))
    if tracking == "ours" or (tracking == "auto" and not host_own):
        wanted += list(TRACKING)
    plan = {}
    for stem in wanted:
        names = [n for n in compiled(files, stem) if n[len(stem):] in suffixes]
        if not names:
            raise DropInError("no compiled %s for the host's Python %s (wants %s; have %s)"
                              % (stem, python, " or ".join(suffixes), ", ".join(compiled(files, stem)) or "none"))
        plan[names[0]] = files[names[0]]
    if self_test:
        if [p for p in module_files(dest, "__main__") if os.path.basename(p) not in ours]:
            raise DropInError("the host has its own recognition_mode/__main__.py; left as it is")
        plan["__main__.py"] = files["__main__.py"]

    folder = pkg_root
    for part in PKG_PATH.split("/")[1:]:
        folder = os.path.join(folder, part)
        if not os.path.isdir(folder):
            actions.append("mkdir   %s" % folder)
            if not dry_run:
                os.mkdir(folder)
        init = os.path.join(folder, "__init__.py")
        if not os.path.exists(init):
            write_file(init, INIT_TEXT.encode(), actions, dry_run)
    for name, data in plan.items():
        write_file(os.path.join(dest, name), data, actions, dry_run)
    manifest = "".join(name + "\n" for name in sorted(ours | set(plan)))
    write_file(os.path.join(dest, MANIFEST), manifest.encode(), actions, dry_run)
    return actions


def verify(host_root, python):
    proc = subprocess.run([python, "-c", VERIFY, host_root], cwd=host_root, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True)
    if proc.returncode != 0:
        raise DropInError("the host's Python cannot load the module from %s:\n%s" % (host_root, proc.stdout))
    return proc.stdout


def configure(parser):
    parser.add_argument("host_root", help="folder holding the host's object_detection package")
    parser.add_argument("--tracking", choices=("auto", "ours", "host"), default="auto",
                        help="our target/utils tracking modules: where the host has none (auto), "
                             "always (ours) or never (host)")
    parser.add_argument("--self-test", action="store_true",
                        help="also copy __main__.py so `python -m ...recognition_mode` runs the self-test")
    parser.add_argument("--source", help="a wheel built for the host, or a folder holding object_detection/")
    parser.add_argument("--python", help="the host's Python (default: this one)")
    parser.add_argument("--dry-run", action="store_true", help="say what would be written, write nothing")


def run(args):
    host_root = os.path.abspath(args.host_root)
    python = args.python or sys.executable
    try:
        for line in install(host_root, args.tracking, args.self_test, args.source, python, args.dry_run):
            print(line)
        if not args.dry_run:
            print("loaded by %s from the host tree:" % python)
            print(verify(host_root, python), end="")
    except DropInError as exc:
        print("recognition-mode install: %s" % exc, file=sys.stderr)
        return 1
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="recognition-mode install", description=__doc__.split("\n\n")[0])
    configure(parser)
    return run(parser.parse_args(argv))

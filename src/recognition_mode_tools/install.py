"""Drop the compiled recognition-mode module into a host's own object_detection tree, or take it out again.

    recognition-mode install HOST_ROOT [--tracking auto|ours|host] [--self-test] [--replace]
                                        [--source WHEEL_OR_DIR] [--python HOST_PYTHON] [--dry-run]
    recognition-mode install HOST_ROOT --uninstall [--dry-run]

HOST_ROOT is the folder that holds the host's ``object_detection`` package (the folder
the host puts on sys.path). The module imports the host's own
``object_detection.utils.parametar`` (HYPER_PARA), ``base_utils`` (get_current_time) and
``logger`` (setup_logger); this command never writes under ``object_detection/utils``
and refuses to run when the host lacks one of them.

What it writes, into ``HOST_ROOT/object_detection/post_processing/recognition_mode/``:

  * the compiled module ``main`` and its stub ``main.pyi`` (always), and ``py.typed`` where
    the folder has none;
  * our compiled tracking modules ``target`` and ``utils`` with their stubs, as a pair
    (``--tracking``): ``auto`` (default) copies them when the host has neither, keeps the
    host's when it has both; ``ours`` copies them; ``host`` copies none;
  * ``__main__.py`` with ``--self-test``, so that
    ``python -m object_detection.post_processing.recognition_mode`` runs the built-in
    self-test inside the host tree (never over a ``__main__.py`` of the host's);
  * an ``__init__.py`` in ``post_processing/`` and ``recognition_mode/`` only where the
    host has none.

Files are staged first and renamed into place, so a running process keeps the file it
has mapped. A ``main`` of the host's own (any ABI tag, ``main.py``, a package ``main/``),
host tracking modules that ``--tracking ours`` would shadow, and any other host file in
the way are refused unless ``--replace`` is given; then they are moved to
``object_detection/.recognition-mode-dropin/backup/``, a folder no import reaches, and
``--uninstall`` puts them back and removes everything this command added. What a run is
about to do is recorded in that folder before it starts, so a run killed half-way is undone
by the next run (``--uninstall`` included) instead of blocking it.

Before writing, the host's Python (``--python``, default the one running this command)
must import numpy and cv2 and accept the build's ABI tag; afterwards it imports the module
from HOST_ROOT and shows which configuration, clock and logger it picked up. If that load
fails, the run is undone: a refusal leaves the tree as it was.

The files come from this package as installed in the Python running this command (build
it with ``python -m pip install .`` on the host's Python version), or from ``--source``:
a wheel built for the host, or a folder holding ``object_detection/``.
"""
import argparse
import contextlib
import errno
import hashlib
import importlib.machinery
import json
import os
import shutil
import subprocess
import sys
import zipfile

try:
    import fcntl
except ImportError:  # Windows: no lock, one run at a time is up to the caller
    fcntl = None

DIST = "object-detection-recognition-mode"
PKG_PATH = "object_detection/post_processing/recognition_mode"
DEST = "post_processing/recognition_mode"  # inside object_detection/; every path of the record is relative to it
HOST_COMPONENTS = ("parametar", "base_utils", "logger")
TRACKING = ("target", "utils")
# Not an identifier, so never importable; inside object_detection/ so that every path
# reaching the same tree (symlinks included) shares one record.
STATE_DIR = ".recognition-mode-dropin"
LEGACY_MANIFEST = ".dropin-files"  # the names an older version of this command wrote

INIT_TEXT = '"""Recognition-mode post-processing (compiled modules dropped in)."""\n'

PROBE = r"""
import importlib.machinery, json, sys
out = {"suffixes": importlib.machinery.EXTENSION_SUFFIXES, "version": sys.version.split()[0], "missing": []}
for name in ("numpy", "cv2"):
    try:
        __import__(name)
    except Exception as exc:
        out["missing"].append("%s (%s: %s)" % (name, type(exc).__name__, exc))
print("\n" + json.dumps(out))
"""

VERIFY = r"""
import os, sys
root, pkg = sys.argv[1], sys.argv[2]
sys.path.insert(0, root)
import object_detection.post_processing.recognition_mode.main as m
import object_detection.utils.parametar as p
import object_detection.utils.base_utils as b
import object_detection.utils.logger as l
here = os.path.join(root, "object_detection") + os.sep
def inside(path):
    return os.path.abspath(path).startswith(here) or os.path.realpath(path).startswith(pkg + os.sep)
outside = sorted(name for name, mod in list(sys.modules.items())
                 if name.split(".")[0] == "object_detection" and getattr(mod, "__file__", None)
                 and not inside(mod.__file__))
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


class Tree:
    """Paths of one host tree, all from the resolved object_detection folder."""

    def __init__(self, host_root):
        self.host_root = os.path.abspath(host_root)
        self.pkg = os.path.realpath(os.path.join(self.host_root, "object_detection"))
        self.state_dir = os.path.join(self.pkg, STATE_DIR)
        self.state_file = os.path.join(self.state_dir, "state.json")

    def path(self, rel):
        return os.path.join(self.pkg, *rel.split("/"))

    def kept(self, area, rel):
        """Where a file of the tree waits: backup (the host's), prev (ours, until commit), stage."""
        return os.path.join(self.state_dir, area, *rel.split("/"))


def module_files(folder, stem):
    """Files in folder that Python could import as module ``stem`` (or its package dir)."""
    if not os.path.isdir(folder):
        return []
    suffixes = tuple(importlib.machinery.all_suffixes()) + (".pyc", ".so", ".pyd")
    out = []
    for entry in sorted(os.listdir(folder)):
        path = os.path.join(folder, entry)
        if entry == stem and os.path.isdir(path):
            out.append(entry)
        elif entry.startswith(stem + ".") and entry.endswith(suffixes):
            out.append(entry)
    return out


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def safe_rel(rel):
    parts = rel.split("/")
    return bool(rel) and not os.path.isabs(rel) and all(p not in ("", ".", "..") and "\\" not in p for p in parts)


# --- the record ------------------------------------------------------------------------
# state.json: "added" maps each path we created to the sha256 of what we wrote ("dir" for
# folders, None when an older version wrote it), in creation order; "backup" lists the
# host's paths held in backup/; "pending" is the run under way, saved before its first step.

def load_state(tree):
    try:
        with open(tree.state_file, encoding="utf-8") as fh:
            state = json.load(fh)
    except FileNotFoundError:
        state = {"format": 1, "added": {}, "backup": [], "pending": None}
        legacy = tree.path(DEST + "/" + LEGACY_MANIFEST)
        if os.path.isfile(legacy):
            with open(legacy, encoding="utf-8") as fh:
                names = [line.strip() for line in fh if line.strip()] + [LEGACY_MANIFEST]
            state["added"] = {DEST + "/" + n: None for n in names if os.path.basename(n) == n}
            # It did not list the __init__.py files it made; their text tells them apart.
            for folder in ("post_processing", DEST):
                init = tree.path(folder + "/__init__.py")
                if os.path.isfile(init):
                    with open(init, "rb") as fh:
                        if fh.read() == INIT_TEXT.encode():
                            state["added"] = dict({folder + "/__init__.py": None}, **state["added"])
        return state
    except ValueError as exc:
        raise DropInError("%s is damaged (%s); nothing done" % (tree.state_file, exc))
    rels = list(state.get("added", {})) + list(state.get("backup", []))
    if state.get("format") != 1 or not all(safe_rel(r) for r in rels):
        raise DropInError("%s is not a record this command wrote; nothing done" % tree.state_file)
    return state


def save_state(tree, state):
    tmp = tree.state_file + ".tmp"
    with open(tmp, "w", encoding="utf-8") as fh:
        json.dump(state, fh, indent=1)
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(tmp, tree.state_file)
    sync_dir(tree.state_dir)


def sync_dir(folder):
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def locked(tree, create, tidy):
    """One run at a time per tree. A state folder left with nothing to keep goes at the end."""
    if not os.path.isdir(tree.state_dir):
        if not create:
            yield
            return
        try:
            os.mkdir(tree.state_dir)  # never its parents: no object_detection/ of our making
        except FileExistsError:
            pass
    fh = open(os.path.join(tree.state_dir, "lock"), "a")
    try:
        if fcntl is not None:
            try:
                fcntl.flock(fh.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                raise DropInError("another install or uninstall is running on %s" % tree.pkg)
        yield
    finally:
        try:
            if tidy and is_empty(tree):
                shutil.rmtree(tree.state_dir, ignore_errors=True)
        finally:
            fh.close()


def is_empty(tree):
    """True when the record holds nothing: no file of ours, no backup, no run under way."""
    try:
        with open(tree.state_file, encoding="utf-8") as fh:
            state = json.load(fh)
    except FileNotFoundError:
        return True
    except ValueError:
        return False
    return not (state.get("added") or state.get("backup") or state.get("pending"))


# --- moving files ----------------------------------------------------------------------

def place(src, dst):
    """Rename src to dst, replacing it; across file systems, a copy renamed into place."""
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    try:
        os.replace(src, dst)
    except OSError as exc:
        if exc.errno != errno.EXDEV:
            raise
        tmp = dst + ".dropin-tmp"
        remove_any(tmp)
        if os.path.isdir(src) and not os.path.islink(src):
            shutil.copytree(src, tmp, symlinks=True)
        else:
            shutil.copy2(src, tmp, follow_symlinks=False)
        os.replace(tmp, dst)
    # A rename between two links of one file does nothing; the second link must go.
    if os.path.lexists(src):
        remove_any(src)


def keep(path, kept):
    """A second link (or a copy) of path at kept, so the old file outlives its replacement."""
    os.makedirs(os.path.dirname(kept), exist_ok=True)
    tmp = kept + ".tmp"
    remove_any(tmp)
    try:
        os.link(path, tmp, follow_symlinks=False)
    except (OSError, NotImplementedError):
        shutil.copy2(path, tmp, follow_symlinks=False)
    os.replace(tmp, kept)


def remove_any(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def remove_ours(path):
    """Remove a file we wrote, with the bytecode Python cached for it."""
    if os.path.lexists(path):
        os.remove(path)
    folder, name = os.path.split(path)
    cache = os.path.join(folder, "__pycache__")
    if name.endswith(".py") and os.path.isdir(cache):
        for entry in os.listdir(cache):
            if entry.startswith(name[:-3] + ".") and entry.endswith(".pyc"):
                os.remove(os.path.join(cache, entry))


def remove_dir(path):
    """Remove a folder we made, unless someone put something in it. Returns a note or None."""
    if not os.path.isdir(path):
        return None
    cache = os.path.join(path, "__pycache__")
    if os.path.isdir(cache) and not os.listdir(cache):
        os.rmdir(cache)
    if os.listdir(path):
        return "kept    %s: not empty (%s)" % (path, ", ".join(sorted(os.listdir(path))))
    os.rmdir(path)
    return None


# --- steps -----------------------------------------------------------------------------
# Install steps: ["mkdir", rel], ["put", rel, prior] (prior: "none", "ours" or "host"),
# ["move", rel] (a host file out of the way). Uninstall steps: ["restore", rel],
# ["remove", rel], ["rmdir", rel]. Each is recorded before it is made; install steps are
# undone from the record, uninstall steps are made again (each does nothing once done).

def _run_step(tree, step):
    kind, rel = step[0], step[1]
    path = tree.path(rel)
    if kind == "mkdir":
        os.mkdir(path)
    elif kind == "put":
        if step[2] != "none":
            keep(path, tree.kept("prev" if step[2] == "ours" else "backup", rel))
        place(tree.kept("stage", rel), path)
    elif kind == "move":
        place(path, tree.kept("backup", rel))
    elif kind == "restore":
        if os.path.lexists(tree.kept("backup", rel)):
            place(tree.kept("backup", rel), path)
    elif kind == "remove":
        remove_ours(path)
    elif kind == "rmdir":
        return remove_dir(path)
    return None


def _undo_step(tree, step):
    kind, rel = step[0], step[1]
    path = tree.path(rel)
    if kind == "mkdir":
        remove_dir(path)
    elif kind == "put":
        kept = tree.kept("prev" if step[2] == "ours" else "backup", rel)
        if step[2] == "none":
            remove_ours(path)
        elif os.path.lexists(kept):  # else the step had not begun
            place(kept, path)
    elif kind == "move":
        if os.path.lexists(tree.kept("backup", rel)) and not os.path.lexists(path):
            place(tree.kept("backup", rel), path)


def clear_scratch(tree):
    for area in ("stage", "prev"):
        remove_any(os.path.join(tree.state_dir, area))


def roll_back(tree, state, steps):
    for step in reversed(steps):
        _undo_step(tree, step)
    state["pending"] = None
    save_state(tree, state)
    clear_scratch(tree)


def recover(tree, state, actions):
    """Undo an interrupted install or finish an interrupted uninstall; returns the state."""
    pending = state.get("pending")
    if not pending:
        if os.path.isdir(tree.state_dir):
            clear_scratch(tree)
        return state
    if pending.get("op") == "install":
        roll_back(tree, state, pending["steps"])
        actions.append("undone  an interrupted install")
        return state
    finish_uninstall(tree, state, actions)
    actions.append("done    an interrupted uninstall")
    return load_state(tree)


# --- install ---------------------------------------------------------------------------

def read_source(source):
    """{file name: bytes} of our package folder (and "py.typed"): installed copy, a wheel, or a folder."""
    files = {}
    typed = "object_detection/py.typed"
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
            if os.path.dirname(rel) == PKG_PATH or rel == typed:
                with open(str(dist.locate_file(f)), "rb") as fh:
                    files.setdefault(os.path.basename(rel), fh.read())
    elif os.path.isfile(source) and zipfile.is_zipfile(source):
        with zipfile.ZipFile(source) as whl:
            for name in whl.namelist():
                if os.path.dirname(name) == PKG_PATH or name == typed:
                    files.setdefault(os.path.basename(name), whl.read(name))
    elif os.path.isdir(os.path.join(source, PKG_PATH)):
        folder = os.path.join(source, PKG_PATH)
        for path in [os.path.join(folder, e) for e in os.listdir(folder)] + [os.path.join(source, typed)]:
            if os.path.isfile(path):
                with open(path, "rb") as fh:
                    files.setdefault(os.path.basename(path), fh.read())
    else:
        raise DropInError("--source %s is neither a wheel nor a folder holding %s" % (source, PKG_PATH))
    return files


def probe(python, cwd):
    """What the host's Python accepts, before anything is written."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    try:
        proc = subprocess.run([python, "-c", PROBE], cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)
        info = json.loads(proc.stdout.strip().splitlines()[-1])
    except (OSError, ValueError, IndexError) as exc:
        raise DropInError("cannot run the host's Python %s: %s" % (python, exc))
    if info["missing"]:
        raise DropInError("the host's Python %s cannot import %s; the module needs both"
                          % (python, " or ".join(info["missing"])))
    return info


def plan_install(tree, state, files, suffixes, tracking, self_test, replace):
    """[(step, data)] of an install, or DropInError before anything is written."""
    added, backed_up = state["added"], set(state["backup"])
    dest = tree.path(DEST)

    def ours(rel):  # a path we wrote that nobody has changed since
        sha = added.get(rel, False)
        if sha is False or sha in (None, "dir"):
            return sha is not False
        path = tree.path(rel)
        return os.path.isfile(path) and not os.path.islink(path) and digest(path) == sha

    def hosts(stem):
        return [DEST + "/" + n for n in module_files(dest, stem) if not ours(DEST + "/" + n)]

    host_tracking = [rel for stem in TRACKING for rel in hosts(stem)]
    host_stems = {os.path.basename(rel).split(".")[0] for rel in host_tracking}
    # Our TargetRadius reads what our box2meas makes: the two come as a pair.
    if tracking == "auto" and host_tracking and host_stems != set(TRACKING):
        raise DropInError("the host has %s but not %s; choose --tracking ours --replace (the host's go "
                          "to the backup) or --tracking host"
                          % (", ".join(host_tracking), " or ".join(sorted(set(TRACKING) - host_stems))))
    stems = ["main"]
    if tracking == "ours" or (tracking == "auto" and not host_tracking):
        stems = list(TRACKING) + stems  # main last: when it appears, its tracking modules are there

    writes = {}  # rel: bytes, in the order they go into place
    for folder in ("post_processing", DEST):
        if not os.path.isfile(tree.path(folder + "/__init__.py")):
            writes[folder + "/__init__.py"] = INIT_TEXT.encode()
    if not os.path.lexists(tree.path(DEST + "/py.typed")):
        writes[DEST + "/py.typed"] = files.get("py.typed", b"")
    if self_test:
        if "__main__.py" not in files:
            raise DropInError("the build has no __main__.py for --self-test")
        writes[DEST + "/__main__.py"] = files["__main__.py"]
    for stem in stems:
        name = next((stem + s for s in suffixes if stem + s in files), None)  # the host's import order
        if name is None:
            have = sorted(n for n in files if n.startswith(stem + ".") and n.endswith((".so", ".pyd")))
            raise DropInError("no compiled %s for the host's Python (it wants %s; the build has %s)"
                              % (stem, " or ".join(suffixes), ", ".join(have) or "none"))
        if stem + ".pyi" in files:
            writes[DEST + "/" + stem + ".pyi"] = files[stem + ".pyi"]
        writes[DEST + "/" + name] = files[name]

    steps, in_the_way = [], []
    for folder in ("post_processing", DEST):
        if not os.path.isdir(tree.path(folder)):
            if os.path.lexists(tree.path(folder)):
                raise DropInError("%s is in the way and not a folder" % tree.path(folder))
            steps.append((["mkdir", folder], None))
    for rel, data in writes.items():
        path = tree.path(rel)
        if not os.path.lexists(path):
            steps.append((["put", rel, "none"], data))
        elif ours(rel):
            if os.path.isdir(path) or digest(path) != hashlib.sha256(data).hexdigest():
                steps.append((["put", rel, "ours"], data))
        elif rel.endswith("/__main__.py"):
            raise DropInError("the host has its own recognition_mode/__main__.py; left as it is")
        elif os.path.isdir(path) and not os.path.islink(path):
            raise DropInError("%s is in the way and a folder" % path)
        else:
            in_the_way.append(rel)
            steps.append((["put", rel, "host"], data))
    # What the host has of the same modules under other names: another ABI tag, main.py,
    # a package main/ (which would even be imported first).
    for stem in stems:
        for rel in hosts(stem):
            if rel not in writes:
                in_the_way.append(rel)
                steps.append((["move", rel], None))
    if in_the_way and not replace:
        names = "%s in %s" % (", ".join(os.path.basename(rel) for rel in in_the_way), dest)
        if any(os.path.basename(rel).split(".")[0] in TRACKING for rel in in_the_way) and tracking == "ours":
            raise DropInError("the host has its own tracking modules (%s); keep them with --tracking host, "
                              "or give --replace to move them to the backup" % names)
        raise DropInError("the host has its own %s; this replaces them only with --replace, which moves "
                          "them to %s (--uninstall puts them back)" % (names, tree.kept("backup", "")))
    again = [rel for rel in in_the_way if rel in backed_up]
    if again:
        raise DropInError("the backup already holds the host's earlier %s; run --uninstall first"
                          % ", ".join(again))
    return steps


def install(host_root, tracking="auto", self_test=False, source=None, python=None, dry_run=False,
            replace=False, check=None):
    """Place the module into host_root; returns the list of actions taken.

    check(tree) runs after the files are in place (the load check); if it raises, the run
    is undone before the error goes on.
    """
    python = python or sys.executable
    tree = Tree(host_root)
    if not os.path.isfile(os.path.join(tree.pkg, "__init__.py")):
        raise DropInError("%s has no object_detection/__init__.py: the host's own package goes "
                          "there (a namespace package would lose to an installed copy)" % host_root)
    missing = [c for c in HOST_COMPONENTS if not module_files(os.path.join(tree.pkg, "utils"), c)]
    if missing:
        raise DropInError("the host lacks object_detection/utils/%s; the module imports the host's "
                          "own configuration, clock and logger from there" % ", ".join(missing))
    files = read_source(source)
    info = probe(python, tree.host_root)
    actions = []
    with locked(tree, create=not dry_run, tidy=not dry_run):
        state = load_state(tree)
        if state.get("pending"):
            if dry_run:
                actions.append("note    an interrupted %s would be %s first" % (
                    state["pending"].get("op"), "undone" if state["pending"].get("op") == "install" else "finished"))
                return actions
            state = recover(tree, state, actions)
        steps = plan_install(tree, state, files, info["suffixes"], tracking, self_test, replace)
        for step, _ in steps:
            path = tree.path(step[1])
            actions.append({"mkdir": "mkdir   %s" % path,
                            "put": "write   %s" % path,
                            "move": "backup  %s" % path}[step[0]]
                           + (" (the host's goes to the backup)" if step[0] == "put" and step[2] == "host" else ""))
        if dry_run or not steps:
            return actions
        for step, data in steps:  # staged first: nothing of the host's tree has changed yet
            if data is not None:
                stage = tree.kept("stage", step[1])
                os.makedirs(os.path.dirname(stage), exist_ok=True)
                with open(stage, "wb") as fh:
                    fh.write(data)
                    fh.flush()
                    os.fsync(fh.fileno())
                os.chmod(stage, 0o755 if stage.endswith((".so", ".pyd")) else 0o644)
        plain = [step for step, _ in steps]
        state["pending"] = {"op": "install", "steps": plain}
        save_state(tree, state)
        try:
            for step in plain:
                _run_step(tree, step)
            if check is not None:
                check(tree)
        except BaseException as exc:
            try:
                roll_back(tree, state, plain)
            except Exception:  # the record keeps the run under way; the next run undoes it
                raise exc
            if isinstance(exc, OSError):
                raise DropInError("writing into %s failed (%s); undone, the tree is as it was" % (tree.pkg, exc))
            raise
        for step, data in steps:
            if step[0] == "mkdir":
                state["added"][step[1]] = "dir"
            elif step[0] == "put":
                state["added"][step[1]] = hashlib.sha256(data).hexdigest()
            if step[0] == "move" or step[-1] == "host":
                state["backup"].append(step[1])
        state["pending"] = None
        save_state(tree, state)  # the commit: from here on the run stands
        clear_scratch(tree)
    if state["backup"]:
        actions.append("note    the host's replaced files are in %s" % tree.kept("backup", ""))
    return actions


# --- uninstall -------------------------------------------------------------------------

def uninstall_steps(state):
    added, backed_up = state["added"], state["backup"]
    steps = [["restore", rel] for rel in backed_up]
    steps += [["remove", rel] for rel in reversed(list(added)) if added[rel] != "dir" and rel not in backed_up]
    steps += [["rmdir", rel] for rel in reversed(list(added)) if added[rel] == "dir"]
    return steps


def finish_uninstall(tree, state, actions):
    state["pending"] = {"op": "uninstall"}
    save_state(tree, state)
    for step in uninstall_steps(state):
        note = _run_step(tree, step)
        if note:
            actions.append(note)
    for area in ("stage", "prev", "backup"):
        remove_any(os.path.join(tree.state_dir, area))
    os.remove(tree.state_file)  # the last step: until here a rerun finishes the uninstall


def uninstall(host_root, dry_run=False):
    """Put back the host's files and remove ours; returns the list of actions."""
    tree = Tree(host_root)
    if not os.path.isdir(tree.pkg):
        raise DropInError("%s has no object_detection/" % host_root)
    actions = []
    with locked(tree, create=not dry_run, tidy=not dry_run):
        state = load_state(tree)
        if not state["added"] and not state["backup"] and not state.get("pending"):
            actions.append("note    nothing of ours in %s" % tree.pkg)
            return actions
        if not state.get("pending"):
            changed = [tree.path(rel) for rel, sha in state["added"].items()
                       if sha not in (None, "dir") and os.path.isfile(tree.path(rel))
                       and digest(tree.path(rel)) != sha]
            lost = [rel for rel in state["backup"] if not os.path.lexists(tree.kept("backup", rel))]
            if changed:
                raise DropInError("%s changed since this command wrote it; move it away (or put back what "
                                  "was written) and run --uninstall again" % ", ".join(changed))
            if lost:
                raise DropInError("the backup lacks %s; nothing done" % ", ".join(lost))
        elif state["pending"].get("op") == "install":
            if dry_run:
                actions.append("note    an interrupted install would be undone first")
            else:
                roll_back(tree, state, state["pending"]["steps"])
                actions.append("undone  an interrupted install")
        for step in uninstall_steps(state):
            path = tree.path(step[1])
            actions.append({"restore": "restore %s" % path, "remove": "remove  %s" % path,
                            "rmdir": "rmdir   %s" % path}[step[0]])
        if not dry_run:
            finish_uninstall(tree, state, actions)
    return actions


# --- the command -----------------------------------------------------------------------

def verify(host_root, python, pkg):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    proc = subprocess.run([python, "-c", VERIFY, host_root, pkg], cwd=host_root, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    if proc.returncode != 0:
        raise DropInError("the host's Python cannot load the module from %s; undone, the tree is as it "
                          "was:\n%s" % (host_root, proc.stdout))
    return proc.stdout


def configure(parser):
    parser.add_argument("host_root", help="folder holding the host's object_detection package")
    parser.add_argument("--tracking", choices=("auto", "ours", "host"), default="auto",
                        help="our target/utils tracking modules: where the host has none (auto), "
                             "always (ours) or never (host)")
    parser.add_argument("--self-test", action="store_true",
                        help="also copy __main__.py so `python -m ...recognition_mode` runs the self-test")
    parser.add_argument("--replace", action="store_true",
                        help="move the host's own main (and whatever else is in the way) to the backup "
                             "instead of refusing")
    parser.add_argument("--uninstall", action="store_true",
                        help="put back the host's files and remove everything the install added")
    parser.add_argument("--source", help="a wheel built for the host, or a folder holding object_detection/")
    parser.add_argument("--python", help="the host's Python (default: this one)")
    parser.add_argument("--dry-run", action="store_true", help="say what would be done, change nothing")


def run(args):
    host_root = os.path.abspath(args.host_root)
    python = args.python or sys.executable
    shown = []

    def check(tree):
        shown.append(verify(tree.host_root, python, tree.pkg))

    try:
        if args.uninstall:
            for line in uninstall(host_root, args.dry_run):
                print(line)
            return 0
        for line in install(host_root, args.tracking, args.self_test, args.source, python, args.dry_run,
                            args.replace, check=None if args.dry_run else check):
            print(line)
        if not args.dry_run:
            if not shown:  # nothing to write: the tree as it stands must still load
                check(Tree(host_root))
            print("loaded by %s from the host tree:" % python)
            print(shown[0], end="")
            print("undo with: recognition-mode install %s --uninstall" % host_root)
    except DropInError as exc:
        print("recognition-mode install: %s" % exc, file=sys.stderr)
        return 1
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="recognition-mode install", description=__doc__.split("\n\n")[0])
    configure(parser)
    return run(parser.parse_args(argv))

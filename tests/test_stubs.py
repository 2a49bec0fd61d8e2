"""The shipped type stubs against the installed modules, and the README's host example."""
import ast
import importlib
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

MODULES = [
    "object_detection.post_processing.recognition_mode.main",
    "object_detection.post_processing.recognition_mode.target",
    "object_detection.post_processing.recognition_mode.utils",
    "object_detection.utils.parametar",
    "object_detection.utils.base_utils",
    "object_detection.utils.logger",
]
# pybind11 classes have their own metaclass, which a stub cannot name (older mypy also
# checks the class where main re-exports it).
ALLOWLIST = "".join("object_detection.post_processing.recognition_mode.%s.TargetRadius\n" % m
                    for m in ("target", "main"))

README = Path(__file__).resolve().parent.parent / "README.md"


def has_mypy():
    try:
        importlib.import_module("mypy")
    except ImportError:
        return False
    return True


needs_mypy = pytest.mark.skipif(not has_mypy(), reason="mypy is not installed")


def readme_example():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks, "README has no python example"
    return blocks[0]


def stub_path(module):
    mod = importlib.import_module(module)
    return Path(mod.__file__).parent / (module.rsplit(".", 1)[1] + ".pyi")


def annotated_attributes(stub, class_name):
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name)
    return {n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)}


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m"] + args, capture_output=True, cwd=str(cwd), env=env,
                          timeout=300, universal_newlines=True)


@needs_mypy
def test_stubtest(tmp_path):
    allow = tmp_path / "allowlist.txt"
    allow.write_text(ALLOWLIST)
    proc = run(["mypy.stubtest", "--ignore-unused-allowlist", "--allowlist", str(allow)] + MODULES, tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.parametrize("module, class_name, make", [
    ("object_detection.post_processing.recognition_mode.main", "RecognitionMode", lambda m: m.RecognitionMode()),
    ("object_detection.post_processing.recognition_mode.main", "Camera", lambda m: m.Camera()),
    ("object_detection.utils.parametar", "HyperParameters", lambda m: m.HYPER_PARA),
])
def test_stub_instance_attributes_match(module, class_name, make):
    # stubtest cannot see attributes that only instances carry.
    instance = make(importlib.import_module(module))
    assert annotated_attributes(stub_path(module), class_name) == set(vars(instance))


def test_readme_example_runs(capsys):
    exec(compile(readme_example(), str(README), "exec"), {"__name__": "readme_example"})
    printed = capsys.readouterr().out.splitlines()
    assert printed == ["unsafehel-gate-camdoor2024-05-01 08:00:001", "[]",
                       "unsafehel-gate-camdoor2024-05-01 08:00:001"]


@needs_mypy
def test_host_code_type_checks_against_the_stubs(tmp_path):
    (tmp_path / "readme_example.py").write_text(readme_example(), encoding="utf-8")
    (tmp_path / "misuse.py").write_text(
        "from object_detection.post_processing.recognition_mode.main import RecognitionMode\n"
        "rm = RecognitionMode()\n"
        "rm.main(None, 'cam', {'alarmBehavior': []})\n"
        "n: str = rm.distance('a', 'b')\n",
        encoding="utf-8")
    proc = run(["mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                "readme_example.py", "misuse.py"], tmp_path)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if e.startswith("readme_example.py")], proc.stdout
    assert len([e for e in errors if e.startswith("misuse.py")]) == 2, proc.stdout

"""Environment settings of the stand-in parametar: checked when it is imported."""
import os
import subprocess
import sys

import pytest

READ = "import object_detection.utils.parametar as p; h = p.HYPER_PARA; " \
       "print(repr((h.iou_threshold, h.pix_iou_threshold, h.move_threshold)))"
IOU, PIX, MOVE = "RM_IOU_THRESHOLD", "RM_PIX_IOU_THRESHOLD", "RM_MOVE_THRESHOLD"
RATIO = "a finite number from 0 to 1"
DISTANCE = "a whole number from 0 to 100"


def load(env):
    full = {k: v for k, v in os.environ.items() if not k.startswith("RM_")}
    full.update(env)
    return subprocess.run([sys.executable, "-c", READ], env=full, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)


@pytest.mark.parametrize("env, expected", [
    ({}, (0.3, 0.75, 9)),
    ({IOU: "0", PIX: "1", MOVE: "100"}, (0.0, 1.0, 100)),
    ({IOU: " 1e-1 ", PIX: "", MOVE: "0"}, (0.1, 0.75, 0)),
])
def test_values_in_range_load(env, expected):
    proc = load(env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == repr(expected)


@pytest.mark.parametrize("name, raw, allowed", [
    (IOU, "5", RATIO), (IOU, "nan", RATIO), (IOU, "inf", RATIO), (IOU, "abc", RATIO),
    (PIX, "-3", RATIO), (PIX, "-inf", RATIO),
    (MOVE, "-1", DISTANCE), (MOVE, "101", DISTANCE), (MOVE, "6.5", DISTANCE), (MOVE, "six", DISTANCE),
])
def test_bad_value_fails_the_import_naming_it(name, raw, allowed):
    proc = load({name: raw})
    assert proc.returncode != 0
    last = proc.stderr.strip().splitlines()[-1]
    assert last.startswith("ValueError: %s must be %s" % (name, allowed))
    assert last.endswith("got %r" % raw)

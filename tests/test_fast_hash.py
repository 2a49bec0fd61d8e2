"""The native hash path must give exactly the OpenCV sequence's text, and step aside
whenever a name it stands in for has been rebound or the picture is not one it handles."""
import json
import os
import platform
import subprocess
import sys

import cv2
import numpy as np
import pytest

import reference

HERE = os.path.dirname(os.path.abspath(__file__))


def test_hundred_thousand_crops_hash_exactly_as_opencv(capsys):
    crops = int(os.environ.get("RM_SWEEP_CROPS", "100000"))
    env = dict(os.environ, RM_HASH_STATS="1")
    run = subprocess.run([sys.executable, os.path.join(HERE, "crop_sweep.py"), str(crops)], env=env,
                         capture_output=True, text=True, timeout=3600)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout.strip().splitlines()[-1])
    with capsys.disabled():  # the path rates belong in every CI log, on every architecture
        print("\ncrop sweep on %s: %s" % (platform.machine(), out["paths"]))
    assert out["crops"] == crops and out["mismatches"] == 0, out["first"]
    run = subprocess.run([sys.executable, os.path.join(HERE, "crop_sweep.py"), "bands", "100"], env=env,
                         capture_output=True, text=True, timeout=3600)
    assert run.returncode == 0, run.stderr
    per_band = json.loads(run.stdout.strip().splitlines()[-1])["bands"]
    with capsys.disabled():
        for band, counts in per_band.items():
            print("crop sweep on %s, sides %s px: %s" % (platform.machine(), band, counts["paths"]))
    assert all(counts["mismatches"] == 0 for counts in per_band.values()), per_band
    paths = out["paths"]
    assert sum(paths.values()) == crops
    # Where the installed OpenCV is known to match, the native path must really run; other
    # builds may keep their own steps (still exact, only slower).
    if platform.machine() in ("x86_64", "AMD64"):
        assert paths["not_applicable"] == 0
        assert paths["native"] >= 0.9 * crops


def test_lerp15_gives_the_aarch64_wheels_bytes():
    """The scaling variant made for OpenCV's aarch64 wheel against a model of that wheel's
    arithmetic, on the sizes the wheel scales that way (the first-sight check then picks it
    there; the ARM leg's sweep shows it does)."""
    code = """if 1:
        import json, sys
        import numpy as np
        sys.path.insert(0, %r)
        import aarch64_scaling, crop_sweep
        from object_detection.post_processing.recognition_mode import main as mod
        rng = np.random.default_rng(4)
        frame = crop_sweep.frames(rng)[5]
        sizes = [(1, 6), (7, 10), (30, 40), (49, 51), (120, 70), (64, 150), (600, 99), (1080, 23)]
        sizes += [(int(rng.integers(1, 700)), int(rng.integers(6, 151))) for _ in range(24)]
        bad = [s for s in sizes if mod.hash_scaling(np.ascontiguousarray(frame[:s[0], :s[1]]), "Lerp15")
               != aarch64_scaling.resize(frame[:s[0], :s[1]], (50, 50)).tobytes()]
        print(json.dumps({"bad": bad}))
    """ % HERE
    run = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, RM_HASH_STATS="1"),
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout.strip().splitlines()[-1]) == {"bad": []}


class Spy:
    """Wraps one callable and counts its calls."""

    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *a, **k):
        self.calls += 1
        return self.fn(*a, **k)


@pytest.mark.parametrize("owner,name", [("cv2", "resize"), ("cv2", "cvtColor"), ("cv2", "dct"),
                                        ("np", "float32")])
def test_rebound_function_is_called(mod, rm, monkeypatch, owner, name):
    img = np.random.default_rng(1).integers(0, 256, (70, 90, 3), dtype=np.uint8)
    expected = reference.RecognitionMode().phash(img)
    target = cv2 if owner == "cv2" else np
    spy = Spy(getattr(target, name))
    monkeypatch.setattr(target, name, spy)
    assert rm.phash(img) == expected
    assert spy.calls == 1


def test_rebound_grey_code_is_used(mod, rm, monkeypatch):
    img = np.random.default_rng(2).integers(0, 256, (40, 60, 3), dtype=np.uint8)
    img[:, :30] = (0, 0, 255)
    before = rm.phash(img)
    monkeypatch.setattr(cv2, "COLOR_BGR2GRAY", cv2.COLOR_RGB2GRAY)
    assert rm.phash(img) == reference.RecognitionMode().phash(img) != before


def test_rebound_numpy_name_is_used(mod, rm, monkeypatch):
    calls = []

    class NumpySpy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(mod, "np", NumpySpy())
    img = np.full((30, 30, 3), 77, np.uint8)
    assert rm.phash(img) == reference.RecognitionMode().phash(img)
    assert "float32" in calls


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("make", [
    lambda f: f.astype(np.uint16) * 200,
    lambda f: f.astype(np.float32) / 3,
    lambda f: np.concatenate([f, f[..., :1]], axis=2),
    lambda f: f.view(Sub),
    lambda f: f[::-1, ::-1],
    lambda f: f[:, ::2],
    lambda f: np.asfortranarray(f),
    lambda f: np.broadcast_to(f[:1], f.shape),
], ids=["u16", "f32", "4ch", "subclass", "negative-strides", "column-step", "fortran", "broadcast"])
def test_other_layouts_match_opencv(rm, make):
    frame = np.random.default_rng(3).integers(0, 256, (120, 90, 3), dtype=np.uint8)
    frame[30:60, 20:50] = (255, 0, 128)
    img = make(frame)
    assert rm.phash(img) == reference.RecognitionMode().phash(img)


def test_sizes_revisited_from_threads_hash_as_opencv(rm):
    """Scaling plans are kept per thread for a few sizes: cycling through more sizes than
    that, from several threads hashing at the same time, must give every crop the hash it
    had on its own."""
    import threading

    frame = cv2.GaussianBlur(np.random.default_rng(5).integers(0, 256, (1100, 1300, 3), dtype=np.uint8), (0, 0), 2)
    # Large crops hash without the GIL: the threads then run the native scaling at once.
    shapes = [(64, 64), (300, 300), (37, 91), (120, 45), (2, 300), (300, 2), (51, 49), (99, 99), (250, 400),
              (8, 3), (3, 8), (150, 75), (1, 1), (100, 100), (800, 1000), (1000, 800)]
    crops = [frame[i:i + h, 3 * i:3 * i + w] for i, (h, w) in enumerate(shapes)]
    expected = [reference.RecognitionMode().phash(c) for c in crops]
    wrong = []

    def worker(seed):
        order = np.random.default_rng(seed).integers(0, len(crops), 400)
        wrong.extend(int(i) for i in order if rm.phash(crops[i]) != expected[i])

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []

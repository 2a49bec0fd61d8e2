"""Hashes many crops with the module and with the bare OpenCV sequence and compares.

Run as a script (the fast-hash test starts it in a fresh interpreter with
RM_HASH_STATS=1 so that the module reports which path each hash took):

    RM_HASH_STATS=1 python tests/crop_sweep.py [crops] [seed]
    RM_HASH_STATS=1 python tests/crop_sweep.py bands [crops per band] [seed]

Prints one JSON line: crops, mismatches (first few listed), distinct sizes and the path counts;
with `bands`, the mismatches and path counts per band of crop sides (both sides drawn in it,
rows at most the frames' 1080).
"""
import json
import sys

import cv2
import numpy as np

from object_detection.post_processing.recognition_mode import main as mod

H, W = 1080, 1920
HEX = np.frombuffer(b"0123456789abcdef", np.uint8)


def opencv_hash(img):
    """resize -> BGR2GRAY -> float32 -> dct, then the hash arithmetic, vectorised."""
    d = cv2.dct(np.float32(cv2.cvtColor(cv2.resize(img, (50, 50)), cv2.COLOR_BGR2GRAY)))
    v = d[0:10, 0:10].flatten().astype(np.float64)
    avg = np.cumsum(v)[-1] * 1.0 / 100  # cumsum adds strictly in order
    bits = np.concatenate([(v >= avg).astype(np.int64), np.zeros(3, np.int64)])
    # Window x reads bits x..x+3; the last three windows have 3, 2 and 1 bits.
    vals = bits[:-3] * 8 + bits[1:-2] * 4 + bits[2:-1] * 2 + bits[3:]
    vals[97:] >>= np.arange(1, 4)
    return HEX[vals].tobytes().decode()


def frames(rng):
    """Flat, black, gradients, noise, extremes and camera-like textures."""
    y, x = np.mgrid[0:H, 0:W].astype(np.float32)
    out = [np.zeros((H, W, 3), np.uint8), np.full((H, W, 3), (30, 140, 220), np.uint8)]
    grad = np.stack([x / W * 255, y / H * 255, (x + y) / (W + H) * 255], -1)
    out.append(grad.astype(np.uint8))
    out.append(rng.integers(0, 256, (H, W, 3), dtype=np.uint8))
    out.append((rng.integers(0, 2, (H, W, 3)) * 255).astype(np.uint8))
    scene = np.empty((H, W, 3), np.float32)
    scene[..., 0] = 90 + 60 * np.sin(x / 170.0) + 30 * np.cos(y / 90.0)
    scene[..., 1] = 110 + 50 * np.cos((x + y) / 240.0)
    scene[..., 2] = 100 + 70 * np.sin(y / 130.0)
    for _ in range(60):
        x0, y0 = rng.integers(0, W - 300), rng.integers(0, H - 300)
        scene[y0:y0 + rng.integers(5, 300), x0:x0 + rng.integers(5, 300)] += rng.integers(-80, 80, 3)
    out.append(np.clip(scene + rng.normal(0, 4, scene.shape), 0, 255).astype(np.uint8))
    texture = cv2.GaussianBlur(rng.integers(0, 256, (H, W, 3), dtype=np.uint8), (0, 0), 3)
    out.append(cv2.normalize(texture, None, 0, 255, cv2.NORM_MINMAX))
    out.append(np.clip(rng.normal(2, 1.5, (H, W, 3)), 0, 255).astype(np.uint8))  # dark sensor noise
    return out


def sizes(rng):
    """Every scaling case: up, down, mixed, equal, exactly half, integer factors, extremes."""
    fixed = [(1, 1), (1, 2), (2, 1), (1, W), (H, 1), (H, W), (50, 50), (100, 100), (99, 100), (100, 99),
             (101, 101), (25, 25), (49, 51), (150, 150), (200, 200), (300, 300), (800, 1000), (64, 64),
             (50, 1), (1, 50), (3, 700), (700, 3), (540, 960)]
    small = [(int(rng.integers(1, 120)), int(rng.integers(1, 120))) for _ in range(260)]
    medium = [(int(rng.integers(120, 500)), int(rng.integers(120, 700))) for _ in range(60)]
    large = [(int(rng.integers(500, H + 1)), int(rng.integers(500, W + 1))) for _ in range(8)]
    return fixed, small + medium + large


def main(crops=100_000, seed=0):
    rng = np.random.default_rng(seed)
    pictures = frames(rng)
    fixed, drawn = sizes(rng)
    all_sizes = fixed + drawn
    # Mostly small crops; big ones are few and each size is seen many times.
    weights = np.array([1.0 / (1 + (h * w) / 20000.0) for h, w in all_sizes])
    order = rng.choice(len(all_sizes), crops - len(fixed) * 2, p=weights / weights.sum())
    picks = list(range(len(fixed))) * 2 + order.tolist()
    rm = mod.RecognitionMode()
    bad = []
    for n, i in enumerate(picks):
        h, w = all_sizes[i]
        frame = pictures[n % len(pictures)]
        top, left = int(rng.integers(0, H - h + 1)), int(rng.integers(0, W - w + 1))
        crop = frame[top:top + h, left:left + w]
        if rm.phash(crop) != opencv_hash(crop):
            bad.append([h, w, n % len(pictures), top, left])
    print(json.dumps({"crops": len(picks), "mismatches": len(bad), "first": bad[:5],
                      "sizes": len(set(all_sizes)), "paths": mod.hash_path_counts()}))


BANDS = [(10, 50), (50, 150), (150, 400), (400, 1200)]


def bands(per_band=200, seed=1):
    rng = np.random.default_rng(seed)
    pictures = frames(rng)
    rm = mod.RecognitionMode()
    out = {}
    for lo, hi in BANDS:
        before = mod.hash_path_counts()
        bad = 0
        for n in range(per_band):
            h, w = int(rng.integers(lo, min(hi, H) + 1)), int(rng.integers(lo, hi + 1))
            frame = pictures[n % len(pictures)]
            top, left = int(rng.integers(0, H - h + 1)), int(rng.integers(0, W - w + 1))
            crop = frame[top:top + h, left:left + w]
            bad += rm.phash(crop) != opencv_hash(crop)
        after = mod.hash_path_counts()
        out["%d-%d" % (lo, hi)] = {"mismatches": bad, "paths": {k: after[k] - before[k] for k in after}}
    print(json.dumps({"crops_per_band": per_band, "bands": out}))


if __name__ == "__main__":
    if sys.argv[1:2] == ["bands"]:
        bands(*[int(a) for a in sys.argv[2:]])
    else:
        main(*[int(a) for a in sys.argv[1:]])

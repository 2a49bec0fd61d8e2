"""Hash distances between consecutive frames of a region: unchanged vs changed pictures.

Backgrounds are real photographs (the sample images that scikit-image ships). Each pair of
consecutive frames gets its own camera noise (sigma 1-4), slight flicker (gain 1 +- 2%,
offset +- 3 grey levels) and JPEG re-encoding (quality 60-90). In the changed pairs an
object cut from another photograph, covering 5-30% of the region, moves 1-20 px between
the two frames. Prints the distance distributions, the share of pairs each threshold
keeps as "changed", and the threshold that separates the two best (largest
changed-kept minus unchanged-kept); with --plot writes the histograms to a PNG.

Needs scikit-image (and matplotlib for --plot), which the package itself does not:
    pip install scikit-image matplotlib
    python bench/measure_move_threshold.py [--pairs 3000] [--plot docs/move_threshold.png]
"""
import argparse

import cv2
import numpy as np
from skimage import data

from object_detection.post_processing.recognition_mode.main import RecognitionMode

PHOTOS = ["astronaut", "coffee", "chelsea", "rocket", "camera", "coins", "brick", "grass", "gravel",
          "moon", "page", "text", "clock", "horse", "immunohistochemistry", "hubble_deep_field"]


def photos():
    out = []
    for name in PHOTOS:
        img = np.asarray(getattr(data, name)())
        if img.dtype == bool:
            img = img.astype(np.uint8) * 255
        if img.ndim == 2:
            img = np.stack([img] * 3, -1)
        out.append(cv2.cvtColor(img[..., :3].astype(np.uint8), cv2.COLOR_RGB2BGR))
    return out


def region(rng, imgs):
    img = imgs[rng.integers(len(imgs))]
    h, w = img.shape[:2]
    rh, rw = int(rng.integers(100, min(h, 400))), int(rng.integers(100, min(w, 400)))
    y, x = int(rng.integers(0, h - rh + 1)), int(rng.integers(0, w - rw + 1))
    return img[y:y + rh, x:x + rw].astype(np.float32)


def camera(rng, f):
    """Noise, flicker and JPEG re-encoding of one frame."""
    f = f * rng.uniform(0.98, 1.02) + rng.uniform(-3, 3)
    f = f + rng.normal(0, rng.uniform(1, 4), f.shape)
    ok, buf = cv2.imencode(".jpg", np.clip(f, 0, 255).astype(np.uint8),
                           [cv2.IMWRITE_JPEG_QUALITY, int(rng.integers(60, 91))])
    return cv2.imdecode(buf, cv2.IMREAD_COLOR)


def pair(rng, imgs, moving):
    bg = region(rng, imgs)
    a, b = bg.copy(), bg.copy()
    speed = share = 0.0
    if moving:
        rh, rw = bg.shape[:2]
        share = rng.uniform(0.05, 0.30)
        aspect = rng.uniform(0.35, 2.5)  # people are tall, cars wide
        # leave room for the largest step inside the region
        oh = int(min(rh - 21, np.sqrt(share * rh * rw * aspect)))
        ow = int(min(rw - 21, share * rh * rw / max(oh, 1)))
        src = region(rng, imgs)
        obj = cv2.resize(src, (max(ow, 2), max(oh, 2)))
        speed = float(rng.uniform(1, 20))
        ang = rng.uniform(0, 2 * np.pi)
        dx, dy = int(round(speed * np.cos(ang))), int(round(speed * np.sin(ang)))
        oh, ow = obj.shape[:2]
        y0 = int(rng.integers(max(0, -dy), rh - oh - max(0, dy) + 1))
        x0 = int(rng.integers(max(0, -dx), rw - ow - max(0, dx) + 1))
        a[y0:y0 + oh, x0:x0 + ow] = obj
        b[y0 + dy:y0 + dy + oh, x0 + dx:x0 + dx + ow] = obj
        share = oh * ow / (rh * rw)
    return camera(rng, a), camera(rng, b), speed, share


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pairs", type=int, default=3000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--plot")
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    rm = RecognitionMode()
    imgs = photos()
    same, moved, speeds, shares = [], [], [], []
    for _ in range(args.pairs):
        a, b, _, _ = pair(rng, imgs, False)
        same.append(rm.distance(rm.phash(a), rm.phash(b)))
        a, b, s, c = pair(rng, imgs, True)
        moved.append(rm.distance(rm.phash(a), rm.phash(b)))
        speeds.append(s)
        shares.append(c)
    same, moved, speeds, shares = map(np.array, (same, moved, speeds, shares))
    print("%d pairs each, %d photographs" % (args.pairs, len(imgs)))
    for name, d in (("unchanged", same), ("changed", moved)):
        print("  %-9s median %4.1f  p10 %4.1f  p90 %4.1f  p99 %4.1f  zero %4.1f%%" % (
            name, np.median(d), np.percentile(d, 10), np.percentile(d, 90), np.percentile(d, 99),
            100 * np.mean(d == 0)))
    for lo, hi in ((1, 5), (5, 10), (10, 20)):
        sel = (speeds >= lo) & (speeds < hi)
        print("  changed, %2d-%2d px/frame: median %4.1f" % (lo, hi, np.median(moved[sel])))
    for lo, hi in ((0.05, 0.1), (0.1, 0.2), (0.2, 0.3)):
        for slo, shi in ((1, 5), (10, 20)):
            sel = (shares >= lo) & (shares < hi) & (speeds >= slo) & (speeds < shi)
            print("  changed, object %2d-%2d%% of the region, %2d-%2d px/frame: median %4.1f, p10 %4.1f" % (
                100 * lo, 100 * hi, slo, shi, np.median(moved[sel]), np.percentile(moved[sel], 10)))
    print("  move_thr  unchanged kept  changed kept  difference")
    best = max(range(1, 41), key=lambda t: (np.mean(moved >= t) - np.mean(same >= t), -t))
    for t in list(range(1, 13)) + [16, 20, 30]:
        print("  %8d  %13.1f%%  %11.1f%%  %9.1f%s" % (t, 100 * np.mean(same >= t), 100 * np.mean(moved >= t),
                                                   100 * (np.mean(moved >= t) - np.mean(same >= t)),
                                                   "  <- best" if t == best else ""))
    print("best separation: move_thr = %d" % best)
    if args.plot:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, ax = plt.subplots(figsize=(6.4, 3.2), dpi=80)
        bins = np.arange(0, max(same.max(), moved.max()) + 2) - 0.5
        ax.hist(same, bins=bins, alpha=0.6, density=True, label="unchanged (noise, flicker, JPEG)")
        ax.hist(moved, bins=bins, alpha=0.6, density=True, label="object moving 1-20 px/frame")
        ax.axvline(best - 0.5, color="k", ls="--", lw=1, label="move_thr = %d" % best)
        ax.set_xlabel("hash distance between consecutive frames")
        ax.set_ylabel("share of pairs")
        ax.legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(args.plot)


if __name__ == "__main__":
    main()

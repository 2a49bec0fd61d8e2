"""Hash distances between consecutive frames: sensor noise vs a still or a moving patch.

Prints, for a textured 300x300 region, the distance between the hashes of consecutive frames
when only sensor noise changes, when a parked patch sits in it, and when a person-sized patch
walks across it. Used to choose the default move threshold.
"""
import numpy as np
import object_detection.post_processing.recognition_mode.main as m
r = m.RecognitionMode()
rng = np.random.default_rng(1)
H, W = 300, 300
# A textured background (smooth gradients + blobs), fixed
yy, xx = np.mgrid[0:H, 0:W]
bg = np.stack([(xx * 0.5 + yy * 0.3) % 255, (yy * 0.6) % 255, (xx * 0.2 + 40) % 255], -1).astype(np.float32)
for _ in range(12):
    cy, cx, rad = rng.integers(0, H), rng.integers(0, W), rng.integers(10, 40)
    bg[(yy - cy) ** 2 + (xx - cx) ** 2 < rad ** 2] = rng.integers(0, 255, 3)
def frame(noise, patch_x=None, pw=40, ph=100):
    f = bg.copy()
    if patch_x is not None:
        f[100:100 + ph, patch_x:patch_x + pw] = (30, 30, 200)
    f += rng.normal(0, noise, f.shape)
    return np.clip(f, 0, 255).astype(np.uint8)
def dists(frames):
    hs = [r.phash(f) for f in frames]
    return [r.distance(a, b) for a, b in zip(hs, hs[1:])]
for noise in (2, 5, 10):
    d = dists([frame(noise) for _ in range(60)])
    print("static noise %2d: max %3d  p95 %5.1f  mean %4.1f" % (noise, max(d), np.percentile(d, 95), np.mean(d)))
    d = dists([frame(noise, 50) for _ in range(60)])
    print("parked patch noise %2d: max %3d" % (noise, max(d)))
    for speed in (2, 5, 10):
        d = dists([frame(noise, 20 + speed * i) for i in range(min(60, 220 // speed))])
        print("  walker %2d px/frame noise %2d: min %3d  p5 %5.1f  median %5.1f" % (speed, noise, min(d), np.percentile(d, 5), np.median(d)))

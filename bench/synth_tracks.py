"""Synthetic pedestrian and vehicle tracks in the MOT text format, for bench/eval_tracks.py.

No real footage is at hand, so the tracks imitate what annotated street scenes show:

- walkers at 0.5-3% of their box height per frame, with speed changes, turns and short
  pauses, entering and leaving the picture; boxes 45-110 px wide, 2.2-2.8 times as tall;
- standers that sway (0.5-1.5% of the height, periods of 2-5 s) and drift slowly
  (0.15-0.3% of the height per frame for tens of frames) now and then;
- parked objects (cars) that arrive and stay without motion;
- occlusions (a stander hidden for 2-8 frames), missed detections, false detections,
  and detector jitter of 2-4 px on every box edge.

Each scene writes two files: <name>.gt.txt (the true boxes) and <name>.det.txt (what a
detector would report, with the true ids; false detections get ids from 100000).
Lines: frame,id,left,top,width,height,conf,-1,-1,-1 (frames from 1).

    python bench/synth_tracks.py OUTDIR [--scenes 6] [--frames 900] [--seed 1] [--miss 0.03]
"""
import argparse
import math
import os

import numpy as np

W, H = 1920, 1080


def person_size(rng):
    w = rng.uniform(45, 110)
    return w, w * rng.uniform(2.2, 2.8)


def walker(rng, frames):
    """Centre path and size of one walker; None where it is out of the picture."""
    w, h = person_size(rng)
    start = int(rng.integers(0, frames - 40))
    side = rng.integers(4)
    x = [0.0 - w / 2, W + w / 2, rng.uniform(0, W), rng.uniform(0, W)][side]
    y = [rng.uniform(h, H), rng.uniform(h, H), H + h / 2, h / 2][side]
    heading = [0.0, math.pi, -math.pi / 2, math.pi / 2][side] + rng.normal(0, 0.5)
    speed = rng.uniform(0.005, 0.03)  # of the height per frame
    pause = 0
    out = {}
    for f in range(start, frames):
        if pause > 0:
            pause -= 1
        else:
            x += math.cos(heading) * speed * h
            y += math.sin(heading) * speed * h
            if rng.random() < 0.02:  # turn
                heading += rng.normal(0, 0.8)
            speed = float(np.clip(speed * math.exp(rng.normal(0, 0.05)), 0.005, 0.03))
            if rng.random() < 0.003:  # stops to look around
                pause = int(rng.integers(10, 60))
        if not (-w < x < W + w and 0 < y < H + h):
            if f - start > 5:
                break
            continue
        out[f] = (x, y, w, h)
    return out


def stander(rng, frames):
    w, h = person_size(rng)
    start = int(rng.integers(0, frames // 2))
    x0, y0 = rng.uniform(w, W - w), rng.uniform(h, H)
    amp, period, phase = rng.uniform(0.005, 0.015) * h, rng.uniform(50, 125), rng.uniform(0, 2 * math.pi)
    dx = dy = 0.0
    vx = vy = 0.0
    left = 0
    out = {}
    for f in range(start, frames):
        if left == 0:
            if rng.random() < 0.03:  # starts a slow drift
                a = rng.uniform(0, 2 * math.pi)
                v = rng.uniform(0.0015, 0.003) * h
                vx, vy, left = v * math.cos(a), v * math.sin(a), int(rng.integers(20, 60))
            else:
                vx = vy = 0.0
        else:
            left -= 1
        dx += vx
        dy += vy
        sway = amp * math.sin(2 * math.pi * (f - start) / period + phase)
        out[f] = (x0 + dx + sway, y0 + dy + 0.3 * sway, w * (1 + 0.01 * math.sin(f / 37.0)), h)
    return out


def parked(rng, frames):
    w = rng.uniform(120, 260)
    h = w * rng.uniform(0.45, 0.7)
    start = int(rng.integers(0, frames - 100))
    x, y = rng.uniform(w, W - w), rng.uniform(h, H)
    return {f: (x, y, w, h) for f in range(start, frames)}


def scene(rng, frames):
    tracks = [walker(rng, frames) for _ in range(int(rng.integers(10, 25)))]
    tracks += [stander(rng, frames) for _ in range(int(rng.integers(2, 5)))]
    tracks += [parked(rng, frames) for _ in range(int(rng.integers(1, 3)))]
    return [t for t in tracks if len(t) >= 10]


def to_box(x, y, w, h):
    return x - w / 2, y - h, x + w / 2, y  # centre-bottom anchored: feet on the ground


def write(path, rows):
    with open(path, "w") as f:
        for frame, tid, l, t, r, b in sorted(rows):
            f.write("%d,%d,%.2f,%.2f,%.2f,%.2f,1,-1,-1,-1\n" % (frame + 1, tid, l, t, r - l, b - t))


def detections(rng, tracks, frames, miss):
    rows = []
    for tid, track in enumerate(tracks, 1):
        jitter = rng.uniform(2, 4)
        hidden = 0
        for f, (x, y, w, h) in sorted(track.items()):
            if hidden > 0:
                hidden -= 1
                continue
            if rng.random() < 0.004:  # a passer-by hides it
                hidden = int(rng.integers(2, 9))
                continue
            if rng.random() < miss:  # missed
                continue
            l, t, r, b = to_box(x, y, w, h)
            e = np.round(np.array([l, t, r, b]) + rng.uniform(-jitter, jitter, 4))
            if e[2] > e[0] and e[3] > e[1]:
                rows.append((f, tid, *e.tolist()))
    fid = 100000
    for f in range(frames):
        for _ in range(rng.poisson(0.15)):  # false detections, one to three frames long
            w, h = person_size(rng)
            x, y = rng.uniform(w, W - w), rng.uniform(h, H)
            for g in range(f, min(frames, f + int(rng.integers(1, 4)))):
                l, t, r, b = to_box(x, y, w, h)
                rows.append((g, fid, *np.round([l, t, r, b]).tolist()))
            fid += 1
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("outdir")
    ap.add_argument("--scenes", type=int, default=6)
    ap.add_argument("--frames", type=int, default=900)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--miss", type=float, default=0.03, help="share of boxes the detector misses")
    args = ap.parse_args()
    os.makedirs(args.outdir, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    for s in range(args.scenes):
        tracks = scene(rng, args.frames)
        name = os.path.join(args.outdir, "scene%02d" % (s + 1))
        write(name + ".gt.txt", [(f, tid, *to_box(*v)) for tid, t in enumerate(tracks, 1) for f, v in t.items()])
        write(name + ".det.txt", detections(rng, tracks, args.frames, args.miss))
        print(name, len(tracks), "tracks")


if __name__ == "__main__":
    main()

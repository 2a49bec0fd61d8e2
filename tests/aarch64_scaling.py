"""Plain model of cv2.resize(img, (50, 50)) in OpenCV's aarch64 wheel for 8-bit BGR sources
6 to 150 pixels wide (other widths take OpenCV's own code there): 16.16 source positions in
the vector layout of the library it bundles, 15-bit weights, rows blended along x, then
along y, each blend rounded to 8 bits. Checked against that wheel's output; a test oracle."""
import numpy as np


def _div(n, d):
    return (n + d // 2) // d


def _position(x, src):
    return _div(((x << 16) + 32768) * src, 50) - 32768


def _column_positions(w):
    pos = [0] * 150
    # 16-byte vectors: each run of 16 pixels from its first pixel's position
    end = 128 if 3 * w >= 16 else 0
    for e in range(end):
        run = e // 48 * 16
        pos[e] = _position(run, w) + _div(((e // 3 - run) * w) << 16, 50)
    # then 8-byte pieces stepping by one pixel's width, the last one moved back
    step, e = _div(w << 16, 50), end
    while e < 150:
        e = min(e, 142)
        p = _position(e // 3, w)
        for k in range(e, e + 8):
            if k > e and k % 3 == 0:
                p += step
            pos[k] = p
        e += 8
    return pos


def _tap(p, n):
    i = p >> 16
    return min(max(i, 0), n - 1), min(max(i + 1, 0), n - 1), min((p - (i << 16) + 1) >> 1, 32767)


def _lerp(a, b, w):
    return (a * 32768 + (b - a) * w + 16384) >> 15


def resize(img, dsize):
    assert dsize == (50, 50) and img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3
    h, w = img.shape[:2]
    taps = np.array([_tap(p, w) for p in _column_positions(w)])
    channel = np.arange(150) % 3
    rows = np.ascontiguousarray(img).reshape(h, 3 * w).astype(np.int64)
    along_x = _lerp(rows[:, taps[:, 0] * 3 + channel], rows[:, taps[:, 1] * 3 + channel], taps[:, 2])
    out = np.empty((50, 150), np.int64)
    for y in range(50):
        top, bottom, wy = _tap(_position(y, h), h)
        out[y] = _lerp(along_x[top], along_x[bottom], wy)
    return out.astype(np.uint8).reshape(50, 50, 3)

"""The replay's HTML report: one self-contained page (pictures inlined), no server needed.

Counts and tables come from the replay alone; plots need matplotlib (``pip install
.[replay]``) and are left out, with a note, without it; contact sheets are drawn with
OpenCV from the recording's own frames.
"""
import base64
import html
import json
import os
import time

from .engine import KEPT, MOTION, STILL, is_motion, setting_label, share, threshold_label
from .replay import COUNT_HEADER, TRUTH_HEADER, pct

CSS = """
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;max-width:1200px;color:#222}
table{border-collapse:collapse;margin:.5em 0 1em}td,th{border:1px solid #ccc;padding:2px 6px}
td.n{text-align:right}th{background:#f3f3f3}tr.total td{font-weight:bold}
.note{background:#fff6d6;padding:.4em .8em;border-left:4px solid #e0b000}
.shown{background:#e8f4ff}pre{white-space:pre-wrap}h3{margin-top:2em}img{max-width:100%}
"""


def _e(x):
    return html.escape(str(x), quote=True)


def _img(data, mime, alt):
    return '<img alt="%s" src="data:%s;base64,%s">' % (_e(alt), mime, base64.b64encode(data).decode("ascii"))


class Raw(str):
    """A table cell that is HTML already."""


def _row(cells, numeric_from=3, cls=None):
    tds = "".join('<td%s>%s</td>' % (' class="n"' if i >= numeric_from else "", c if isinstance(c, Raw) else _e(c))
                  for i, c in enumerate(cells))
    return '<tr%s>%s</tr>' % (' class="%s"' % cls if cls else "", tds)


def _count_cells(c, truth):
    cells = [c.alarms, c.kept, c.motion, c.still]
    if truth:
        cells += ["%d/%d (%s)" % (c.real_lost, c.real, pct(share(c.real_lost, c.real))),
                  "%d/%d (%s)" % (c.nuisance_kept, c.nuisance, pct(share(c.nuisance_kept, c.nuisance)))]
    return cells


def shown_setting(res, ctx):
    if ctx.get("show") is not None:
        return ctx["show"], "the setting asked for (--show)"
    for entry in ctx.get("suggestions") or ():
        if entry.get("setting") is not None:
            return entry["setting"], "the suggested setting"
    move, iou, pix = ctx["module_thresholds"]
    for i, s in enumerate(res.settings):
        if (s.move_thr, s.iou_thr, s.pix_thr, s.every, s.mode) == (move, iou, pix, 1, None):
            return i, "the loaded module's thresholds"
    return 0, "the first setting"


def _matplotlib():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        return plt
    except ImportError:
        return None


def _png(fig, plt):
    import io
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=80, bbox_inches="tight")
    plt.close(fig)
    return buf.getvalue()


def _sweep_plots(plt, res, si, truth):
    """One plot per (every, mode, iou_thr, pix_thr) replayed with two or more move_thr values,
    the shown setting's first."""
    groups = {}
    for i, s in enumerate(res.settings):
        if s.mode is None or is_motion(s.mode):
            groups.setdefault((s.every, s.mode, s.iou_thr, s.pix_thr), []).append((s.move_thr, i))
    s0 = res.settings[si]
    order = sorted(groups, key=lambda k: k != (s0.every, s0.mode, s0.iou_thr, s0.pix_thr))
    out = []
    for key in order[:6]:
        same = sorted(groups[key])
        if len(same) < 2:
            continue
        xs = [m for m, _ in same]
        fig, ax = plt.subplots(figsize=(8, 3.2))
        ax.plot(xs, [share(res.totals(i).kept, res.totals(i).alarms) for _, i in same], "k-o", label="all cameras")
        cams = list(res.per_camera(same[0][1]))
        if len(cams) > 1:
            for cam in cams[:12]:
                ax.plot(xs, [share(res.per_camera(i)[cam].kept, res.per_camera(i)[cam].alarms)
                             if cam in res.per_camera(i) else None for _, i in same], "-", alpha=.6, label=cam)
        if truth:
            ax.plot(xs, [share(res.totals(i).real_lost, res.totals(i).real) for _, i in same], "r--",
                    label="real alarms lost")
            ax.plot(xs, [share(res.totals(i).nuisance_kept, res.totals(i).nuisance) for _, i in same], "b--",
                    label="nuisance alarms kept")
        if key == (s0.every, s0.mode, s0.iou_thr, s0.pix_thr):
            ax.axvline(s0.move_thr, color="grey", lw=1)
        ax.set_xlabel("move_thr")
        ax.set_ylabel("share")
        ax.set_ylim(-0.02, 1.02)
        ax.set_title("every %d, mode %s" % (key[0], key[1] or "recorded"), fontsize=9)
        ax.legend(fontsize=7, ncol=2)
        out.append(_png(fig, plt))
    return out


def _region_plot(plt, track, si, s, motion):
    fig, (h, t) = plt.subplots(1, 2, figsize=(10, 2.4), gridspec_kw={"width_ratios": [1, 2.4]})
    dec = track.decisions[si]
    frames = track.frames
    if motion:
        d = [x for j, x in enumerate(track.distances) if j and x >= 0]
        h.hist(d, bins=range(0, 102, 2), color="#777")
        h.axvline(s.move_thr, color="r", lw=1.5)
        h.set_title("hash distance (move_thr %s)" % s.move_thr, fontsize=9)
        ys = track.distances
        t.axhline(s.move_thr, color="r", lw=1)
        t.set_ylabel("distance", fontsize=8)
    else:
        h.hist([x for x in track.still[si] if x >= 0], bins=range(0, max(track.boxes + [1]) + 2), color="#777")
        h.set_title("still targets per call", fontsize=9)
        ys = track.still[si]
        t.plot(frames, track.boxes, "-", color="#bbb", lw=1, label="boxes")
        t.set_ylabel("still targets", fontsize=8)
    for code, style, label in ((0, ".", "no alarm"), (KEPT, "o", "kept"), (MOTION, "x", "removed (motion)"),
                               (STILL, "x", "removed (still)")):
        pts = [(f, y) for f, y, c in zip(frames, ys, dec) if c == code and y >= 0]
        if pts:
            colour = {0: "#999", KEPT: "g", MOTION: "r", STILL: "m"}[code]
            t.plot([p[0] for p in pts], [p[1] for p in pts], style, color=colour, ms=4, label=label)
    t.set_xlabel("frame", fontsize=8)
    t.legend(fontsize=7, loc="upper right")
    return _png(fig, plt)


class _Lines(object):
    """Random access to the recording's calls by line number (only for the contact sheets)."""

    def __init__(self, rec):
        self.rec = rec
        self.offsets = None

    def call(self, lineno):
        if self.offsets is None:
            self.offsets = {}
            with open(self.rec.calls_path, "rb") as fh:
                pos, n = 0, 0
                for raw in fh:
                    n += 1
                    self.offsets[n] = pos
                    pos += len(raw)
        with open(self.rec.calls_path, "rb") as fh:
            fh.seek(self.offsets[lineno])
            obj = json.loads(fh.readline().decode("utf-8"))
        from .recording import Call
        c = Call(obj)
        c.line = lineno
        return c


def _find_region(doc, beh, name):
    for b in doc.get("alarmBehavior") or ():
        if str(b.get("behavior_number")) == beh or (b.get("behavior_number") is None and beh == ""):
            for r in b.get("result") or ():
                if isinstance(r, dict) and ("" if r.get("roi_name") is None else str(r.get("roi_name"))) == name:
                    return r
    return None


def _thumb(cv2, np, picture, rect, boxes, colour, height=120, least_width=110):
    left, top, right, bottom = rect
    crop = None
    if picture is not None:
        if picture.ndim == 2:
            picture = cv2.cvtColor(picture, cv2.COLOR_GRAY2BGR)
        elif picture.shape[2] == 4:
            picture = cv2.cvtColor(picture, cv2.COLOR_BGRA2BGR)
        if picture.dtype != np.uint8:
            picture = (picture >> 8).astype(np.uint8)
        crop = picture[max(0, top):max(0, bottom), max(0, left):max(0, right)]
    if crop is None or crop.size == 0:
        crop = np.full((max(1, bottom - top), max(1, right - left), 3), 40, np.uint8)
    scale = max(height / float(crop.shape[0]), least_width / float(crop.shape[1]))
    scale = min(scale, 260.0 / crop.shape[1], 200.0 / crop.shape[0])
    size = (max(1, int(round(crop.shape[1] * scale))), max(1, int(round(crop.shape[0] * scale))))
    out = cv2.resize(crop, size, interpolation=cv2.INTER_AREA if scale < 1 else cv2.INTER_NEAREST)
    for b in boxes:
        try:
            x0, y0, x1, y1 = [int(v) for v in list(b)[:4]]
        except (TypeError, ValueError):
            continue
        cv2.rectangle(out, (int((x0 - left) * scale), int((y0 - top) * scale)),
                      (int((x1 - left) * scale), int((y1 - top) * scale)), colour, 2)
    return out


def _pair(cv2, np, left, right, caption):
    h = max(left.shape[0], right.shape[0])
    pad = lambda im: np.vstack([im, np.full((h - im.shape[0], im.shape[1], 3), 255, np.uint8)])
    body = np.hstack([pad(left), np.full((h, 4, 3), 255, np.uint8), pad(right)])
    strip = np.full((16, body.shape[1], 3), 255, np.uint8)
    cv2.putText(strip, caption, (2, 12), cv2.FONT_HERSHEY_SIMPLEX, 0.38, (0, 0, 0), 1, cv2.LINE_AA)
    return np.vstack([strip, body])


def _boxes(region):
    boxes = region.get("boxes") if region else None
    return [b for b in boxes if isinstance(b, (list, tuple))] if isinstance(boxes, list) else []


def _sheet(mod, rec, lines, track, si, s, motion, key, limit, cache):
    """A JPEG of up to `limit` removed alarms: the previous and the current crop side by side."""
    import cv2
    import numpy as np
    dec = track.decisions[si]
    removed = [j for j, c in enumerate(dec) if c in (MOTION, STILL)]
    if not removed:
        return None, 0
    if len(removed) > limit:
        step = len(removed) / float(limit)
        removed = [removed[int(i * step)] for i in range(limit)]
    getter = mod.RecognitionMode()
    _, _, beh, name = key
    pairs = []
    for j in removed:
        cur_call = lines.call(track.lines[j])
        cur = _find_region(cur_call["result"], beh, name)
        # The previous visit of the same filter: in a recording of mixed modes each filter
        # compares with its own last visit (they keep separate state).
        series = track.distances if dec[j] == MOTION else track.still[si]
        p = next((i for i in range(j - 1, -1, -1) if series[i] >= 0), None)
        prev_call = lines.call(track.lines[p]) if p is not None else None
        prev = _find_region(prev_call["result"], beh, name) if prev_call else None
        outline = (cur or {}).get("roi")
        rect = None
        try:
            rect = getter.get_metrix(outline) if outline is not None else None
        except Exception:
            rect = None
        boxes = _boxes(cur)
        if not rect:
            allb = boxes + _boxes(prev)
            if not allb:
                continue
            xs = [v for b in allb for v in (b[0], b[2])]
            ys = [v for b in allb for v in (b[1], b[3])]
            rect = [int(min(xs)) - 20, int(min(ys)) - 20, int(max(xs)) + 20, int(max(ys)) + 20]
            rect = [max(0, rect[0]), max(0, rect[1]), rect[2], rect[3]]
        pictures = []
        for c in (prev_call, cur_call):
            if c is None or not c.get("image"):
                pictures.append(None)
                continue
            if c.line not in cache:
                cache.clear()
                cache[c.line] = rec.image(c)
            pictures.append(cache[c.line])
        if dec[j] == MOTION:
            why = "distance %d < move_thr %s" % (track.distances[j], s.move_thr)
        else:
            why = "%d of %d boxes still" % (track.still[si][j], track.boxes[j])
        left = _thumb(cv2, np, pictures[0], rect, _boxes(prev), (0, 200, 255))
        right = _thumb(cv2, np, pictures[1], rect, boxes, (255, 0, 255))
        pairs.append(_pair(cv2, np, left, right, "%s -> %d: %s" % (
            track.frames[p] if p is not None else "-", track.frames[j], why)))
    if not pairs:
        return None, 0
    per_row = max(1, 1100 // (max(p.shape[1] for p in pairs) + 10))
    width = max(p.shape[1] for p in pairs) + 10
    height = max(p.shape[0] for p in pairs) + 8
    rows = []
    for r in range(0, len(pairs), per_row):
        row = np.full((height, width * per_row, 3), 255, np.uint8)
        for c, p in enumerate(pairs[r:r + per_row]):
            row[:p.shape[0], c * width:c * width + p.shape[1]] = p
        rows.append(row)
    sheet = np.vstack(rows)
    ok, buf = cv2.imencode(".jpg", sheet, [cv2.IMWRITE_JPEG_QUALITY, 85])
    return (buf.tobytes() if ok else None), len(pairs)


def write_report(folder, res, ctx):
    mod = ctx["mod"]
    rec, truth = ctx["recording"], ctx["truth"]
    si, why = shown_setting(res, ctx)
    s = res.settings[si]
    gi = res.group_of[si]
    plt = _matplotlib()
    out = []
    w = out.append
    w("<!DOCTYPE html><html><head><meta charset='utf-8'><title>recognition-mode replay: %s</title>"
      "<style>%s</style></head><body>" % (_e(os.path.basename(rec.folder)), CSS))
    w("<h1>Replay of %s</h1>" % _e(rec.folder))
    m = ctx["module"]
    w("<p>%d calls of %d camera%s; module %s (version %s); written %s.</p>" % (
        res.calls, len(res.cameras), "" if len(res.cameras) == 1 else "s", _e(m.get("file")),
        _e(m.get("version") or "unknown"), _e(time.strftime("%Y-%m-%d %H:%M:%S"))))
    for note in ctx["notes"]:
        w('<p class="note">%s</p>' % _e(note))
    if plt is None:
        w('<p class="note">Plots need matplotlib: <code>pip install "object-detection-recognition-mode[replay]"</code> '
          '(or <code>pip install matplotlib</code>). Counts, tables and contact sheets are all here.</p>')
    header = ["setting", "every", "mode"] + COUNT_HEADER + (TRUTH_HEADER if truth else [])
    w("<h2>Settings</h2><table id='settings'><tr>%s</tr>" % "".join("<th>%s</th>" % _e(h) for h in header))
    for i, st in enumerate(res.settings):
        w(_row([threshold_label(st), st.every, st.mode or "recorded"] + _count_cells(res.totals(i), truth),
               cls="shown" if i == si else None))
    w("</table>")
    if ctx.get("suggestions"):
        from .replay import suggestion_text
        w("<h2>Suggestion</h2><pre>%s</pre>" % _e(suggestion_text(res, ctx["suggestions"], ctx["bound"])))
    if plt is not None:
        plots = _sweep_plots(plt, res, si, truth)
        if plots:
            w("<h2>Alarms kept against move_thr</h2>" + "".join(
                _img(data, "image/png", "share kept against move_thr") for data in plots))
    w("<h2>Per camera and region: %s</h2><p>Shown: %s. Removed by motion: the region's hash distance to the "
      "camera's previous analysed frame was under move_thr. Removed as still: the region's tracker found all its "
      "boxes but at most one still (a lone box: that one).</p>" % (_e(setting_label(s)), _e(why)))
    head = ["camera", "behaviour", "region"] + COUNT_HEADER + (TRUTH_HEADER if truth else [])
    w("<table id='summary'><tr>%s</tr>" % "".join("<th>%s</th>" % _e(h) for h in head))
    anchors = {}
    for cam, total in res.per_camera(si).items():
        for key, c in res.counts[si].items():
            if key[0] == cam:
                anchor = "r%d" % len(anchors)
                anchors[key] = anchor
                w(_row([cam, key[1], Raw('<a href="#%s">%s</a>' % (anchor, _e(key[2] or "(unnamed)")))] +
                       _count_cells(c, truth)))
        w(_row([cam, "(all)", ""] + _count_cells(total, truth), cls="total"))
    w(_row(["(all cameras)", "", ""] + _count_cells(res.totals(si), truth), cls="total"))
    w("</table>")
    w("<h2>Regions</h2><p>Contact sheets: each pair is the region in the previous analysed frame of its camera "
      "(left, its boxes in orange) and in the frame whose alarm was removed (right, boxes in magenta), under a line "
      "with both frame numbers and why: the distance and move_thr (motion) or how many of its boxes the "
      "tracker found still (still). A person, vehicle or anything "
      "that matters in the right-hand crop is a real alarm the setting lost.</p>")
    cache = {}
    lines = _Lines(rec)
    for (g, cam, beh, name), track in res.tracks.items():
        if g != gi or len(track.decisions[si]) != len(track.frames):
            continue
        key3 = (cam, beh, name)
        c = res.counts[si].get(key3)
        w('<h3 id="%s">camera %s, behaviour %s, region %s</h3>' % (anchors.get(key3, ""), _e(cam), _e(beh),
                                                                    _e(name or "(unnamed)")))
        if c is not None:
            w("<p>%d alarms in, %d kept, %d removed by motion, %d removed as still.</p>" % (
                c.alarms, c.kept, c.motion, c.still))
        motion = is_motion(s.mode) if s.mode is not None else any(d >= 0 for d in track.distances)
        if plt is not None and track.frames:
            w(_img(_region_plot(plt, track, si, s, motion), "image/png", "distance and decisions"))
        data, n = _sheet(mod, rec, lines, track, si, s, motion, (g, cam, beh, name), ctx["sheet"], cache)
        if data:
            removed = sum(1 for x in track.decisions[si] if x in (MOTION, STILL))
            w("<p>%d of %d removed alarms:</p>" % (n, removed) + _img(data, "image/jpeg", "removed alarms"))
    counts = [{"setting": st._asdict(), "totals": res.totals(i).as_dict(),
               "regions": [dict(camera=k[0], behavior=k[1], region=k[2], **c.as_dict())
                           for k, c in res.counts[i].items()]} for i, st in enumerate(res.settings)]
    w("<script type='application/json' id='counts'>%s</script>" % json.dumps(counts).replace("</", "<\\/"))
    w("</body></html>")
    with open(os.path.join(folder, "index.html"), "w", encoding="utf-8") as fh:
        fh.write("\n".join(out))

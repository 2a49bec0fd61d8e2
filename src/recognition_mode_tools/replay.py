"""Replay a recording through the stage with other thresholds and see what each removes.

    recognition-mode replay DIR [--host-root HOST] [--mode M[,M2]] [--move-thr A:B:STEP | V[,V2]]
                         [--iou-thr ...] [--pix-thr ...] [--every N[,N2]] [--csv FILE]
                         [--report DIR] [--truth FILE] [--max-lost PERCENT]

Every combination of the values given is one setting; each setting gets a fresh
RecognitionMode fed every call of the recording (every Nth frame of each camera with
--every N) with the recorded clock, so refresh periods behave as recorded. Thresholds not
given keep the loaded module's (its HYPER_PARA: the host tree's with --host-root, else the
installed package's). The mode is the recorded one unless --mode names others.
"""
import csv
import itertools
import os
import sys
import tempfile
import warnings

from . import engine
from .engine import ReplayError, Setting, setting_label, share
from .recording import Recording, RecordingError, RecordingWarning, module_identity
from .stage import StageError, load_stage

CSV_FIELDS = ["move_thr", "iou_thr", "pix_thr", "every", "camera", "frame", "behavior", "region", "boxes",
              "distance", "decision", "reason", "mode", "still", "truth"]


def configure(parser):
    parser.add_argument("recording", help="a recording folder (Recorder or recognition-mode detect)")
    parser.add_argument("--host-root", help="load the module and HYPER_PARA from this host tree")
    parser.add_argument("--mode", help="modes to replay, comma-separated (default: as recorded)")
    parser.add_argument("--move-thr", help="V, A,B,C or A:B:STEP (default: the module's)")
    parser.add_argument("--iou-thr", help="V, A,B,C or A:B:STEP (default: the module's)")
    parser.add_argument("--pix-thr", help="V, A,B,C or A:B:STEP (default: the module's)")
    parser.add_argument("--every", default="1", help="keep every Nth recorded frame of each camera (N, or a list)")
    parser.add_argument("--csv", help="write one row per setting, call and region to this file")
    parser.add_argument("--report", help="write an HTML report (index.html) into this folder")
    parser.add_argument("--truth", help="CSV: camera, behaviour, region, first frame, last frame, activity|nuisance")
    parser.add_argument("--max-lost", type=float, default=2.0,
                        help="with --truth: the most real alarms lost, in percent, on any camera (default 2)")
    parser.add_argument("--show", metavar="KEY=V,...",
                        help="the setting the report details, e.g. move_thr=12,mode=MoveDetect (default: the "
                             "suggested one, else the module's thresholds, else the first)")
    parser.add_argument("--sheet", type=int, default=12, help="removed alarms shown per region in the report")
    parser.add_argument("--regions", choices=("all", "none"), default="all",
                        help="print the per-region table of every setting (all) or the settings only (none)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def build_settings(args, mod):
    move = engine.parse_values(args.move_thr, int, "move-thr", 0, 100) if args.move_thr else [mod.move_thr]
    iou = engine.parse_values(args.iou_thr, float, "iou-thr", 0, 1) if args.iou_thr else [mod.iou_thr]
    pix = engine.parse_values(args.pix_thr, float, "pix-thr", 0, 1) if args.pix_thr else [mod.pix_thr]
    every = engine.parse_values(args.every, int, "every", 1, 10 ** 9)
    modes = [m for m in (args.mode or "").split(",") if m] or [None]
    out, seen = [], set()
    for e, mode, m, i, p in itertools.product(every, modes, move, iou, pix):
        # TargetRadius never reads move_thr, motion detection never iou_thr or pix_thr: a
        # setting that differs from an earlier one only there would give the same answers.
        key = (e, mode, None if mode is not None and not engine.is_motion(mode) else m,
               None if mode is not None and engine.is_motion(mode) else (i, p))
        if key not in seen:
            seen.add(key)
            out.append(Setting(m, i, p, e, mode))
    return out


def pick_setting(settings, text):
    """Index of the first setting whose fields match KEY=V,... (values compared as text)."""
    wanted = {}
    for part in text.split(","):
        key, sep, value = part.partition("=")
        key = key.strip().replace("-", "_")
        if not sep or key not in Setting._fields:
            raise ReplayError("--show %s: want KEY=V,... with keys %s" % (text, ", ".join(Setting._fields)))
        wanted[key] = value.strip()
    for i, s in enumerate(settings):
        fields = s._asdict()
        if fields["mode"] is None:
            fields["mode"] = "recorded"
        if all(str(fields[k]) == v or (k != "mode" and _same_number(fields[k], v)) for k, v in wanted.items()):
            return i
    raise ReplayError("--show %s matches none of the settings replayed" % text)


def _same_number(a, b):
    try:
        return float(a) == float(b)
    except ValueError:
        return False


def version_warning(recorded, loaded):
    """Text of the warning for a recording made with another build of the module, or None."""
    if not recorded or not recorded.get("sha256") or recorded.get("sha256") == loaded.get("sha256"):
        return None
    return ("recorded with the module %s (version %s, sha256 %s...), replaying with %s (version %s, "
            "sha256 %s...): decisions may differ from the recorded calls'" % (
                recorded.get("file"), recorded.get("version") or "unknown", recorded["sha256"][:12],
                loaded.get("file"), loaded.get("version") or "unknown", (loaded.get("sha256") or "?")[:12]))


class AtomicOutput(object):
    """A file or folder written under a temporary name and renamed when the run succeeds."""

    def __init__(self, target, folder=False):
        self.target = os.path.abspath(target)
        parent = os.path.dirname(self.target)
        os.makedirs(parent, exist_ok=True)
        base = os.path.basename(self.target)
        if folder:
            self.tmp = tempfile.mkdtemp(prefix="." + base + ".", dir=parent)
        else:
            fd, self.tmp = tempfile.mkstemp(prefix="." + base + ".", dir=parent)
            os.close(fd)
        self.folder = folder

    def commit(self):
        if self.folder:
            old = None
            if os.path.exists(self.target):
                old = tempfile.mkdtemp(prefix="." + os.path.basename(self.target) + ".old.",
                                       dir=os.path.dirname(self.target))
                os.rmdir(old)
                os.rename(self.target, old)
            os.chmod(self.tmp, 0o755)
            os.rename(self.tmp, self.target)
            if old:
                _remove_tree(old)
        else:
            os.chmod(self.tmp, 0o644)
            os.replace(self.tmp, self.target)

    def discard(self):
        if self.folder:
            _remove_tree(self.tmp)
        elif os.path.exists(self.tmp):
            os.remove(self.tmp)


def _remove_tree(path):
    import shutil
    shutil.rmtree(path, ignore_errors=True)


def _refuse_overwrite(path, protected, flag):
    real = os.path.realpath(path)
    for p in protected:
        if p and (real == p or real.startswith(p + os.sep) or p.startswith(real + os.sep)):
            raise ReplayError("%s %s would write over what this run reads (%s)" % (flag, path, p))


def _progress(total, enabled):
    if not enabled or not sys.stderr.isatty():
        return None, None
    try:
        from tqdm import tqdm
    except ImportError:
        return None, None
    bar = tqdm(total=total, unit="call", file=sys.stderr, leave=False)
    return bar.update, bar


def pct(value):
    return "-" if value is None else "%.1f%%" % (100.0 * value)


def format_counts_row(cols, c, truth):
    row = list(cols) + [c.alarms, c.kept, c.motion, c.still]
    if truth:
        row += ["%d/%d %s" % (c.real_lost, c.real, pct(share(c.real_lost, c.real))),
                "%d/%d %s" % (c.nuisance_kept, c.nuisance, pct(share(c.nuisance_kept, c.nuisance)))]
    return row


def table(header, rows):
    rows = [[str(x) for x in r] for r in rows]
    widths = [max(len(header[i]), *(len(r[i]) for r in rows)) if rows else len(header[i]) for i in range(len(header))]
    lines = ["  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip()]
    for r in rows:
        lines.append("  ".join(x.ljust(w) if i < 3 else x.rjust(w) for i, (x, w) in enumerate(zip(r, widths))).rstrip())
    return "\n".join(lines)


COUNT_HEADER = ["alarms in", "kept", "removed: motion", "removed: still"]
TRUTH_HEADER = ["real alarms lost", "nuisance alarms kept"]


def summary_text(res, truth, regions=True):
    out = []
    settings = res.settings
    header = ["setting", "", ""] + COUNT_HEADER + (TRUTH_HEADER if truth else [])
    if len(settings) > 1:
        out.append("Settings (all cameras)")
        out.append(table(header, [format_counts_row([setting_label(s), "", ""], res.totals(i), truth)
                                  for i, s in enumerate(settings)]))
        out.append("")
    if not regions and len(settings) > 1:
        return "\n".join(out)
    for i, s in enumerate(settings):
        out.append("Setting %s" % setting_label(s))
        rows = []
        for cam, total in res.per_camera(i).items():
            for (c_cam, beh, region), c in res.counts[i].items():
                if c_cam == cam:
                    rows.append(format_counts_row([cam, beh, region or "(unnamed)"], c, truth))
            rows.append(format_counts_row([cam, "(all)", ""], total, truth))
        rows.append(format_counts_row(["(all cameras)", "", ""], res.totals(i), truth))
        out.append(table(["camera", "behaviour", "region"] + COUNT_HEADER + (TRUTH_HEADER if truth else []), rows))
        out.append("")
    return "\n".join(out)


def suggestion_text(res, suggestions, bound):
    lines = []
    for entry in suggestions:
        head = "every %d: " % entry["every"] if len(suggestions) > 1 else ""
        if entry.get("note"):
            lines.append("%s%s; nothing to suggest" % (head, entry["note"]))
            continue
        if entry["setting"] is not None:
            i = entry["setting"]
            t = res.totals(i)
            lines.append("%ssuggested: %s (real alarms lost %s, at most %s on any camera; nuisance alarms "
                         "kept %d of %d)" % (head, setting_label(res.settings[i]), pct(share(t.real_lost, t.real)),
                                             pct(bound), t.nuisance_kept, t.nuisance))
        else:
            i = entry["closest"]
            lines.append("%sno setting keeps real alarms lost at or under %s on every camera; closest: %s"
                         % (head, pct(bound), setting_label(res.settings[i])))
            for b in entry["blocking"]:
                lines.append("  camera %s holds it back: %s lost there%s" % (
                    b["camera"], pct(b["at_closest"]),
                    ", and no setting gets it under %s (best %s at %s)" % (
                        pct(bound), pct(b["best"]), setting_label(res.settings[b["at"]])) if b["never"] else ""))
    return "\n".join(lines)


def run(args):
    outputs = []
    try:
        rec = Recording(args.recording)
        mod = load_stage(args.host_root)
        loaded = module_identity(mod)
        notes = []
        text = version_warning(rec.meta.get("module"), loaded)
        if text:
            notes.append(text)
        if not rec.closed:
            notes.append("the recording was not closed (the recorder stopped early?): replaying what it holds")
        for note in notes:
            print("recognition-mode replay: warning: %s" % note, file=sys.stderr)
        settings = build_settings(args, mod)
        show = pick_setting(settings, args.show) if args.show else None
        truth = engine.read_truth(args.truth) if args.truth else None
        protected = [os.path.realpath(rec.folder)]
        if args.truth:
            protected.append(os.path.realpath(args.truth))
        if args.host_root:
            protected.append(os.path.realpath(args.host_root))
        csv_out = report_out = None
        if args.csv:
            _refuse_overwrite(args.csv, protected, "--csv")
            csv_out = AtomicOutput(args.csv)
            outputs.append(csv_out)
        if args.report:
            _refuse_overwrite(args.report, protected, "--report")
            report_out = AtomicOutput(args.report, folder=True)
            outputs.append(report_out)
        rows = writer = None
        fh = None
        if csv_out:
            fh = open(csv_out.tmp, "w", newline="", encoding="utf-8")
            writer = csv.DictWriter(fh, fieldnames=CSV_FIELDS)
            writer.writeheader()

            def rows(si, call, fields):
                writer.writerow(fields)
        update, bar = _progress(len(rec), not args.no_progress)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RecordingWarning)
            try:
                res = engine.replay(rec, mod, settings, truth=truth, rows=rows, progress=update,
                                    keep_tracks=report_out is not None)
            finally:
                if bar is not None:
                    bar.close()
                if fh is not None:
                    fh.close()
        for w in caught:
            notes.append(str(w.message))
            print("recognition-mode replay: warning: %s" % w.message, file=sys.stderr)
        if not res.calls:
            raise ReplayError("%s holds no call" % rec.calls_path)
        if truth is not None:
            unknown = sorted(set(truth.cameras()) - set(res.cameras))
            if unknown:
                note = "the truth file names cameras the recording lacks: %s" % ", ".join(unknown)
                notes.append(note)
                print("recognition-mode replay: warning: %s" % note, file=sys.stderr)
        bound = args.max_lost / 100.0
        print(summary_text(res, truth is not None, args.regions == "all"), end="")
        suggestions = engine.suggest(res, bound) if truth is not None else None
        if suggestions:
            print(suggestion_text(res, suggestions, bound))
        stage_share = res.stage_seconds / res.seconds if res.seconds else 0.0
        print("replayed %d calls x %d setting%s in %.2f s (%.1f calls/s; the stage %.0f%% of it, waiting for "
              "pictures %.0f%%)" % (res.calls, len(settings), "" if len(settings) == 1 else "s", res.seconds,
                                    res.calls / res.seconds if res.seconds else 0.0, 100 * stage_share,
                                    100 * res.decode_seconds / res.seconds if res.seconds else 0.0),
              file=sys.stderr)
        if report_out:
            from . import report
            context = {"mod": mod, "recording": rec, "module": loaded, "notes": notes, "truth": truth, "bound": bound,
                       "suggestions": suggestions, "host_root": args.host_root, "sheet": args.sheet, "show": show,
                       "module_thresholds": (mod.move_thr, mod.iou_thr, mod.pix_thr)}
            report.write_report(report_out.tmp, res, context)
        for out in outputs:
            out.commit()
        outputs = []
        if report_out:
            print("report: %s" % os.path.join(report_out.target, "index.html"), file=sys.stderr)
        if csv_out:
            print("csv: %s" % csv_out.target, file=sys.stderr)
    except (ReplayError, RecordingError, StageError) as exc:
        print("recognition-mode replay: %s" % exc, file=sys.stderr)
        return 1
    finally:
        for out in outputs:
            out.discard()
    return 0

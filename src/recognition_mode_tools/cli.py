"""The ``recognition-mode`` command: one subcommand per tool.

Each subcommand lives in a module of this package with two functions,
``configure(parser)`` (adds its arguments) and ``run(args)`` (does the work and returns
the exit status). Building the parser imports them all, so none of them may import the
stage module (or cv2) at import time: replay --host-root must be able to load it later.
"""
import argparse
import importlib
import sys

# name: (module, one-line help)
COMMANDS = {
    "install": ("install", "drop the compiled module into a host's object_detection tree (or undo it)"),
    "detect": ("detect", "make a recording from a video file with OpenCV's people detector"),
    "replay": ("replay", "replay a recording with other thresholds: summary, CSV, HTML report"),
}


def build_parser():
    parser = argparse.ArgumentParser(
        prog="recognition-mode",
        description="Tools for the recognition-mode stage: install, record, replay, report.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for name, (module_name, help_text) in COMMANDS.items():
        module = importlib.import_module("." + module_name, __package__)
        p = sub.add_parser(name, help=help_text, description=(module.__doc__ or help_text).strip().split("\n\n")[0])
        module.configure(p)
        p.set_defaults(_run=module.run)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(sys.argv[1:] if argv is None else argv)
    return args._run(args)

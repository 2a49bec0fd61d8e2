"""The integrator's tools for the recognition-mode stage: install it into a host tree,
record a host's calls, replay recordings with other thresholds and report what was removed.

Nothing here is imported by the stage itself; the stage's own module is loaded only when
a command needs it (from the installed package, or from a host tree with --host-root).
"""

from .recording import Recorder, RecordingError, open_recording

__all__ = ["Recorder", "RecordingError", "open_recording"]

"""Clock used for the tracker refresh period."""
import time

__all__ = ["get_current_time"]


def get_current_time():
    """Wall-clock time in seconds (a float)."""
    return time.time()

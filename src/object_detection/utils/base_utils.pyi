__all__ = ["get_current_time"]

# Wall-clock seconds.
def get_current_time() -> float: ...

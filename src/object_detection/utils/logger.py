"""Logger factory: stdlib logging with exactly one handler per named logger."""
import logging
import sys

__all__ = ["setup_logger"]

_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"


def setup_logger(name, level=logging.INFO):
    """Return the logger ``name`` with one stderr handler; calling again adds none."""
    logger = logging.getLogger(name)
    if not any(getattr(h, "_rm_handler", False) for h in logger.handlers):
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(_FORMAT))
        handler._rm_handler = True
        logger.addHandler(handler)
        logger.setLevel(level)
        logger.propagate = False
    return logger

import logging

__all__ = ["setup_logger"]

def setup_logger(name: str, level: int = ...) -> logging.Logger: ...

"""``python -m object_detection.post_processing.recognition_mode``: the self-test.

The compiled module ``main`` runs its built-in self-test at the end of its load when
its ``__name__`` is "__main__". runpy cannot execute an extension module itself, so
this loads a fresh instance of it under that name. An ordinary import of
``object_detection.post_processing.recognition_mode.main`` never runs the self-test.
"""
import importlib.util
import sys

MODULE = "object_detection.post_processing.recognition_mode.main"


def run():
    """Load a new instance of the compiled module as the main program; return it."""
    spec = importlib.util.find_spec(MODULE)
    if spec is None or spec.loader is None:
        raise ImportError("cannot find module %r" % MODULE, name=MODULE)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    # The module is the program now, as for any script started with -m.
    sys.modules["__main__"] = module
    spec.loader.exec_module(module)
    return module


if __name__ == "__main__":
    run()

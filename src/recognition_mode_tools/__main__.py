"""``python -m recognition_mode_tools``: the same as the ``recognition-mode`` command."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python
"""Kept for old instructions: the same as ``recognition-mode install``."""
import sys

from recognition_mode_tools.install import main

if __name__ == "__main__":
    sys.exit(main())

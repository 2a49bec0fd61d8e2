import importlib

import pytest

MAIN = "object_detection.post_processing.recognition_mode.main"


@pytest.fixture(scope="session")
def mod():
    return importlib.import_module(MAIN)


@pytest.fixture
def rm(mod):
    return mod.RecognitionMode()

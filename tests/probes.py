"""The test-only native modules of tests/native, built next to the package in
the build folder (never installed): skips the calling test module when they
are not built."""

import importlib
import pathlib
import sys

import pytest

import vesprand_python_configuration as package

FOLDER = pathlib.Path(package.__file__).resolve().parent.parent / "tests" / "native"


def load(name):
    if not any(FOLDER.glob(name + "*")):
        pytest.skip(f"the test-only module {name} is not built", allow_module_level=True)
    sys.path.insert(0, str(FOLDER))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(FOLDER))

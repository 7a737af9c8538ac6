import importlib
import os
from pathlib import Path

import pytest


def pytest_configure(config):
    # The sanitizer run puts its own build first on the path; make sure that
    # build, and not an installed copy, is the one under test.
    expected = os.environ.get("MIRABUND_EXPECT_MODULE_DIR")
    if expected:
        for name, folder in (("_mirabund_core", "."), ("mirabund._native", "mirabund")):
            module = importlib.import_module(name)
            actual = Path(module.__file__).resolve().parent
            if actual != Path(expected, folder).resolve():
                raise pytest.UsageError(f"testing {module.__file__}, expected a module from {expected}/{folder}")


@pytest.fixture(scope="session")
def core():
    """The extension module, imported once for the whole run."""
    return importlib.import_module("_mirabund_core")

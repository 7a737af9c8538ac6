import doctest
import importlib
import pkgutil
from pathlib import Path

import pytest

import mirabund

README = Path(__file__).resolve().parents[2] / "README.md"
# Every module of the package but the entry module, which runs the command line on import.
MODULES = sorted(info.name for info in pkgutil.iter_modules(mirabund.__path__, "mirabund.") if info.name != "mirabund.__main__")


def test_readme_examples_run_as_written():
    failures, attempted = doctest.testfile(
        str(README), module_relative=False, optionflags=doctest.ELLIPSIS
    )
    assert attempted > 0
    assert failures == 0


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run_as_written(name):
    failures, _ = doctest.testmod(importlib.import_module(name), optionflags=doctest.ELLIPSIS)
    assert failures == 0

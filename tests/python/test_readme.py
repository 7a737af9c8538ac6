import doctest
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_examples_run_as_written():
    failures, attempted = doctest.testfile(
        str(README), module_relative=False, optionflags=doctest.ELLIPSIS
    )
    assert attempted > 0
    assert failures == 0

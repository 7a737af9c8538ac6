"""Plain-Python references and checks shared by the tests."""

from contextlib import contextmanager

import pytest


def library_mean(values):
    """The library's mean: one accumulator from -0.0, first to last, one division."""
    s = -0.0
    for x in values:
        s += x
    return s / len(values)


@contextmanager
def raises_exactly(exception, message):
    """Expects exactly `exception`, not a subclass, with `message` as its one argument."""
    with pytest.raises(exception) as caught:
        yield caught
    assert type(caught.value) is exception
    assert caught.value.args == (message,)

"""Plain-Python references, checks and hostile objects shared by the tests."""

import functools
import math
import os
import struct
from contextlib import contextmanager

import pytest

import _mirabund_core as mc
from mirabund import _native

# Set by scripts/sanitize.sh: under the sanitizers calls are many times slower,
# and their shadow memory takes the address space.
UNDER_SANITIZER = "MIRABUND_SANITIZED" in os.environ


def library_mean(values):
    """The library's mean: one accumulator from -0.0, first to last, one division."""
    s = -0.0
    for x in values:
        s += x
    return s / len(values)


def bits(value):
    """A value to compare to the last bit: a float as its IEEE bytes (so -0.0,
    NaN payloads and single ulps all count), a list or tuple item by item, a
    native result object property by property; anything else as it is."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return tuple(bits(item) for item in value)
    if any(getattr(module, type(value).__name__, None) is type(value) for module in (mc, _native)):
        names = [name for name, attribute in vars(type(value)).items()
                 if type(attribute).__name__ == "getset_descriptor"]
        if names:
            return tuple((name, bits(getattr(value, name))) for name in names)
    return value


@functools.cache
def panic_class():
    """The module's panic exception class, which it does not export: the one a NaN statistic raises."""
    try:
        mc.block_bootstrap([1.0], 1, 2, 0.5, lambda _: math.nan, seed=0)
    except BaseException as error:  # noqa: B036 - the class is what we want
        return type(error)
    raise AssertionError("a NaN statistic did not panic")


class Boom(Exception):
    """What hostile objects raise besides the interpreter's own errors."""


class Index:
    """An integer-like object with __index__ only: returns `outcome`, or raises it if it is an exception."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome

    def __repr__(self):
        return f"Index({self.outcome!r})"


@contextmanager
def raises_exactly(exception, message):
    """Expects exactly `exception`, not a subclass, with `message` as its one argument."""
    with pytest.raises(exception) as caught:
        yield caught
    assert type(caught.value) is exception
    assert caught.value.args == (message,)

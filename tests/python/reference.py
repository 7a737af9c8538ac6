"""Plain-Python references shared by the tests."""


def library_mean(values):
    """The library's mean: one accumulator from -0.0, first to last, one division."""
    s = -0.0
    for x in values:
        s += x
    return s / len(values)

"""``compare`` and ``mean_interval`` with pandas Series paired by their index.

pandas' own convention: two Series with indexes of their own are matched by
label, not position. When the baseline and candidate (or the scores and
the clusters) are both Series whose indexes are not the default 0 .. n-1,
the second is put in the order of the first's index; indexes that hold
different items, or an item twice, are refused, never paired by position.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable
from typing import Any, ParamSpec, TypeVar, cast

from . import _compare
from ._samples import is_pandas

__all__ = ["compare", "mean_interval"]

P = ParamSpec("P")
R = TypeVar("R")

NOTE = """
    pandas Series with indexes of their own (not the default 0 .. n-1) are
    paired by index, as pandas pairs them: when {names} are both such
    Series, the second is taken in the order of the first's index, and
    indexes holding different items, or an item twice, are refused.

"""


def _own_index(value: object) -> Any:
    """The index of a pandas Series whose index is not the default 0 .. n-1, else None."""
    if not is_pandas(value) or not hasattr(value, "index") or getattr(value, "ndim", 1) != 1:
        return None
    index = value.index
    if type(index).__name__ == "RangeIndex" and index.start == 0 and index.step == 1:
        return None
    return index


def aligned(first: str, second: str, value: Any, reference: Any) -> Any:
    """``value`` (a Series named ``second``) in the order of ``reference``'s index (``first``'s)."""
    index = _own_index(reference)
    other = _own_index(value)
    if index is None or other is None or index.equals(other):
        return value
    for name, labels in ((first, index), (second, other)):
        if not labels.is_unique:
            raise ValueError(f"{name} is a pandas Series whose index names an item twice "
                             f"({labels[labels.duplicated()][0]!r}); its items cannot be paired by index")
    only_first = index.difference(other)
    only_second = other.difference(index)
    if len(only_first) or len(only_second):
        examples = "; ".join(f"{len(only)} only in {name} (e.g. {only[0]!r})"
                             for name, only in ((first, only_first), (second, only_second)) if len(only))
        raise ValueError(f"{first} and {second} are pandas Series whose indexes hold different items: {examples}; "
                         "pass arrays to pair them by position")
    return value.reindex(index)


def _aligning(function: Callable[P, R], pairs: tuple[tuple[str, str], ...]) -> Callable[P, R]:
    signature = inspect.signature(function)

    @functools.wraps(function)
    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError:
            return function(*args, **kwargs)  # for its own message
        values = bound.arguments
        for first, second in pairs:
            if first in values and values.get(second) is not None:
                values[second] = aligned(first, second, values[second], values[first])
        return function(*bound.args, **bound.kwargs)

    doc = function.__doc__ or ""
    names = " and ".join(f"``{name}``" for name in dict.fromkeys(n for pair in pairs for n in pair))
    marker = "    Examples\n    --------"
    if doc and marker in doc:
        call.__doc__ = doc.replace(marker, f"    Notes\n    -----{NOTE.format(names=names).rstrip()}\n\n{marker}", 1)
    return cast(Callable[P, R], call)


compare = _aligning(_compare.compare, (("baseline", "candidate"), ("baseline", "clusters")))
mean_interval = _aligning(_compare.mean_interval, (("x", "clusters"),))

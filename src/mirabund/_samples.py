"""Conversion of the user's data: scores to float64 arrays, cluster labels to codes.

Conventions every routine follows:

- Scores may be any one-dimensional sequence of numbers: a list or tuple, a
  numpy array (booleans count as 0 and 1), a pandas Series, nullable dtypes
  included, or any other iterable (a generator), read once into a list.
  Sets and mappings are refused: their items have no position to pair by;
  so are text and bytes (a ``bytearray`` too), which are not sequences of
  scores.
  pandas is never imported here: a pandas object is recognised by its
  type's module and read through its own ``to_numpy``.
- Missing values are ``NaN`` (numpy's float scalars and ``Decimal('NaN')``
  too), ``None``, ``pd.NA`` and the masked entries of a numpy masked array;
  they become NaN in the float64 array. Infinities are not
  missing values: they are refused under every ``nan_policy``, since no mean
  or interval can be made of them, and so are numbers too large for a float.
- ``nan_policy="raise"`` refuses missing values with a ``ValueError`` that
  says how many there are and where the first is; ``"omit"`` drops every item
  that is missing in any of the paired inputs (scores or cluster label), and
  the result records how many items were dropped.
- Cluster labels are any hashable values, one per item; the items of a
  cluster need not be adjacent. They are factorised into codes 0 .. k-1 in
  order of first appearance, the form the native routines take, and
  renumbered in the order of their labels for the items compared.
"""

from __future__ import annotations

import decimal
import math
import numbers
from collections.abc import Hashable, Iterable, Iterator, Mapping, Sequence, Set
from typing import Any, Protocol, SupportsFloat, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from ._checks import NanPolicy, describe

__all__ = [
    "Clusters",
    "LabelColumn",
    "Labels",
    "NumberColumn",
    "Scores",
    "CodeArray",
    "FloatArray",
    "as_clusters",
    "as_scores",
    "is_missing",
    "is_pandas",
    "keep_complete",
    "one_dimensional",
    "ordered_items",
]

class NumberColumn(Protocol):
    """A one-dimensional array of numbers: numpy's, a pandas Series."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[SupportsFloat]: ...


class LabelColumn(Protocol):
    """A one-dimensional array of labels: numpy's, a pandas Series."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...


#: What the routines take as one score per item (None for a missing one).
Scores: TypeAlias = Iterable[float | None] | NumberColumn
#: What the routines take as one cluster label per item.
Labels: TypeAlias = Iterable[Hashable] | LabelColumn

FloatArray = npt.NDArray[np.float64]
CodeArray = npt.NDArray[np.intp]
BoolArray = npt.NDArray[np.bool_]


def is_pandas(value: object) -> bool:
    """Whether ``value`` is a pandas object (pandas itself is not imported)."""
    return type(value).__module__.partition(".")[0] == "pandas"


def is_missing(item: object) -> bool:
    if item is None:
        return True
    if isinstance(item, (float, np.floating)):
        return math.isnan(item)
    if isinstance(item, decimal.Decimal):
        return item.is_nan()
    # pd.NA and pd.NaT, recognised without importing pandas.
    return type(item).__name__ in ("NAType", "NaTType")


def ordered_items(name: str, values: object) -> Iterable[Any]:
    """``values`` itself if it is an array or a sequence, else its items read into a list.

    Refuses text, mappings and sets (no positions to pair items by) and
    anything that is not iterable.
    """
    if isinstance(values, np.ndarray) or is_pandas(values):
        return cast(Iterable[Any], values)
    if isinstance(values, (str, bytes, bytearray, memoryview, Mapping, Set)) or not isinstance(values, Iterable):
        raise TypeError(f"{name} must be a one-dimensional sequence, got {describe(values)}")
    if isinstance(values, Sequence) or hasattr(values, "__array__"):
        return values
    return list(values)


def one_dimensional(name: str, values: object) -> np.ndarray[Any, Any]:
    """``values`` (from :func:`ordered_items`) as a one-dimensional array; the
    masked entries of a masked array become NaN (numbers) or None (labels)."""
    if np.ma.isMaskedArray(values):
        masked: Any = values
        numeric = masked.dtype.kind in "biuf"
        array = np.array(np.ma.getdata(masked), dtype=np.float64 if numeric else object)
        if array.ndim == 1:
            array[np.ma.getmaskarray(masked)] = np.nan if numeric else None
    elif is_pandas(values) and hasattr(values, "to_numpy"):
        kind = getattr(getattr(values, "dtype", None), "kind", "O")
        if kind in "biuf":
            array = np.asarray(values.to_numpy(dtype=np.float64, na_value=np.nan))
        else:
            array = np.asarray(values.to_numpy(dtype=object))
    else:
        try:
            array = np.asarray(values)
        except ValueError:
            # Ragged nesting: not a sequence of scalars.
            array = np.asarray(None)
    if array.ndim != 1:
        raise TypeError(f"{name} must be a one-dimensional sequence, got {describe(values)}")
    return array


def as_scores(name: str, values: object) -> FloatArray:
    """Return ``values`` as a new float64 array, missing values as NaN.

    Raises ``TypeError`` (naming ``name``) for anything that is not a
    one-dimensional sequence of numbers, and ``ValueError`` for infinities.
    """
    items = ordered_items(name, values)
    array = one_dimensional(name, items)
    if array.dtype.kind in "biuf":
        scores: FloatArray = array.astype(np.float64, copy=True)
    else:
        if array.dtype.kind != "O":
            # Text and other non-numbers: find the first offending item.
            array = np.asarray(items if isinstance(items, (list, tuple)) else array.tolist(), dtype=object)
        scores = np.empty(len(array), dtype=np.float64)
        for position, item in enumerate(array):
            if is_missing(item):
                scores[position] = np.nan
            elif isinstance(item, (numbers.Real, np.bool_)):
                try:
                    scores[position] = float(item)
                except OverflowError:
                    raise ValueError(
                        f"{name} must hold finite numbers, got {describe(item)} at position {position}, "
                        "too large for a float"
                    ) from None
            else:
                raise TypeError(f"{name} must hold numbers, got {describe(item)} at position {position}")
    infinite = np.flatnonzero(np.isinf(scores))
    if infinite.size:
        raise ValueError(
            f"{name} must hold finite numbers, got {float(scores[infinite[0]])!r} at position {infinite[0]}"
        )
    return scores


class Clusters:
    """Cluster labels factorised into codes 0 .. k-1 in order of first appearance
    (``select`` renumbers them in the order of their labels).

    Attributes
    ----------
    codes : ndarray of intp
        One code per item; -1 marks a missing label.
    labels : tuple
        The distinct labels, ``labels[c]`` being the label of code ``c``.
    """

    __slots__ = ("codes", "labels")

    def __init__(self, codes: CodeArray, labels: tuple[Hashable, ...]) -> None:
        self.codes = codes
        self.labels = labels

    @property
    def missing(self) -> BoolArray:
        """Which items have no label."""
        return self.codes < 0

    def select(self, keep: BoolArray) -> CodeArray:
        """The codes of the kept items, renumbered 0 .. k-1 in the order of
        their labels (of first appearance where labels do not sort).

        Resampling draws clusters by code, so this order makes a seeded result
        independent of the order of the rows, and the same as a lazy table's,
        whose engine returns its clusters sorted by label."""
        kept = self.codes[keep]
        distinct, first, inverse = np.unique(kept, return_index=True, return_inverse=True)
        try:
            order = sorted(range(len(distinct)), key=lambda c: self.labels[distinct[c]])
        except TypeError:
            order = list(np.argsort(first, kind="stable"))
        rank = np.empty(len(distinct), dtype=np.intp)
        rank[order] = np.arange(len(distinct), dtype=np.intp)
        return np.ascontiguousarray(rank[inverse.reshape(-1)], dtype=np.intp)


def label_list(name: str, values: object) -> list[Any]:
    """One label per item, as a list. A plain sequence is taken item by item,
    so that a tuple label stays one label instead of becoming a row."""
    items = ordered_items(name, values)
    if isinstance(items, np.ndarray) or is_pandas(items):
        labels: list[Any] = one_dimensional(name, items).tolist()
        return labels
    return list(items)


def as_clusters(values: object, n_items: int, name: str = "clusters") -> Clusters:
    """Factorise one hashable label per item into codes.

    Missing labels (``None``, NaN, ``pd.NA``) get code -1, for the caller's
    ``nan_policy`` to refuse or drop.
    """
    labels = label_list(name, values)
    if len(labels) != n_items:
        raise ValueError(f"{name} must hold one label per item: got {len(labels)} labels for {n_items} items")
    codes = np.empty(n_items, dtype=np.intp)
    index: dict[Hashable, int] = {}
    for position, label in enumerate(labels):
        if is_missing(label):
            codes[position] = -1
            continue
        try:
            code = index.setdefault(label, len(index))
        except TypeError:
            raise TypeError(
                f"{name} must hold hashable labels, got {describe(label)} at position {position}"
            ) from None
        codes[position] = code
    return Clusters(codes, tuple(index))


def keep_complete(
    columns: Mapping[str, FloatArray],
    nan_policy: NanPolicy,
    *,
    clusters: Clusters | None = None,
    clusters_name: str = "clusters",
) -> tuple[BoolArray, int]:
    """Apply ``nan_policy`` to paired inputs of equal length.

    Returns the mask of the items to keep (complete in every column and with
    a cluster label) and the number of items dropped. Under ``"raise"`` the
    first input with a missing value raises ``ValueError``.
    """
    missing_by_input = {name: np.isnan(column) for name, column in columns.items()}
    if clusters is not None:
        missing_by_input[clusters_name] = clusters.missing
    if nan_policy == "raise":
        for name, missing in missing_by_input.items():
            positions = np.flatnonzero(missing)
            if positions.size:
                count = positions.size
                raise ValueError(
                    f"{name} has {count} missing value{'s' if count != 1 else ''} (NaN, None or NA), "
                    f"the first at position {positions[0]}; pass nan_policy='omit' to drop "
                    f"{'those items' if count != 1 else 'that item'}"
                )
    n_items = len(next(iter(missing_by_input.values()))) if missing_by_input else 0
    keep = np.ones(n_items, dtype=np.bool_)
    for missing in missing_by_input.values():
        keep &= ~missing
    return keep, int(n_items - np.count_nonzero(keep))

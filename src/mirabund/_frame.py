"""Results as a tidy pandas DataFrame."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from ._checks import describe
from ._metrics import MetricComparisons
from ._results import Result

if TYPE_CHECKING:
    import pandas

__all__ = ["to_frame"]


def _rows(result: Result) -> list[dict[str, Any]]:
    if isinstance(result, MetricComparisons):
        family = {"baseline": result.baseline, "candidate": result.candidate,
                  "correction": result.correction.value, "alpha": result.alpha}
        directions = result.directions or ("higher",) * len(result.comparisons)
        return [{**family, **comparison.to_dict(), "direction": str(direction), "outcome": outcome.value}
                for comparison, direction, outcome in zip(result.comparisons, directions, result.outcomes)]
    # A result that nests others (a leaderboard, its models and pairs) lays out its own rows.
    own_rows = getattr(result, "_frame_rows", None)
    if own_rows is not None:
        rows: list[dict[str, Any]] = own_rows()
        return rows
    return [result.to_dict()]


def to_frame(results: Result | Iterable[Result]) -> pandas.DataFrame:
    """Results as a tidy pandas DataFrame: one row per mean, comparison or ranked model.

    Parameters
    ----------
    results : result or iterable of results
        A ``MeanInterval``, ``Comparison`` or ``MetricComparisons`` (one row
        per metric, with the family's baseline, candidate, correction and
        alpha on every row, and each metric's direction and outcome), a
        ``Leaderboard`` (one row per model in rank order, with its metric and
        its mean's standard error, method and counts), a ``RankedModel``, a
        ``ModelPair`` (its two models and its comparison's fields), or any
        iterable of them, such as the values of a dict of results or a
        leaderboard's ``pairs``. Columns are the results' fields, in order;
        ``magnitude`` and ``correction`` hold their string values, and
        fields a result lacks are missing in its rows.

    Returns
    -------
    pandas.DataFrame
        One row per mean, comparison or ranked model, in the order given.

    Raises
    ------
    ImportError
        When pandas is not installed (``pip install mirabund[pandas]``).
    TypeError
        For anything but the package's results.

    Examples
    --------
    >>> import mirabund
    >>> r = mirabund.mean_interval([0.7, 0.6, 0.8, 0.75], seed=1, n_resamples=100)
    >>> mirabund.to_frame([r, r])[["mean", "n_items", "seed"]].shape
    (2, 3)
    """
    items = [results] if isinstance(results, Result) else results
    rows: list[dict[str, Any]] = []
    for result in items:
        if not isinstance(result, Result):
            raise TypeError(f"results must be the package's results or an iterable of them, got {describe(result)}")
        rows.extend(_rows(result))
    try:
        import pandas
    except ImportError as error:
        raise ImportError("to_frame needs pandas: pip install 'mirabund[pandas]'") from error
    return pandas.DataFrame.from_records(rows)

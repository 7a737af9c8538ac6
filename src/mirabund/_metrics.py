"""Comparisons of two models on every metric of a long table, as one family.

A long table has one row per model and item and one column per metric. The
rows of the two models are matched by the item column; every metric is
compared on its matched items as ``compare`` does, all with the one recorded
seed, and the family's p-values are adjusted together by
``_mirabund_core.correct_p_values``.
"""

from __future__ import annotations

import dataclasses
import enum
import numbers
from collections.abc import Hashable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, TypeAlias

import numpy as np

import _mirabund_core

from ._checks import NanPolicy, Subject, TableError, check_choice, check_fraction, describe
from ._compare import METHOD_DOC, Comparison, MeanInterval, mean_interval_of, paired_comparison
from ._inference import Method, Resampling, warn_once
from ._results import Result, returns_fields
from ._samples import Labels, Scores, as_clusters, as_scores, is_missing, is_pandas, label_list, ordered_items

if TYPE_CHECKING:
    import pandas

__all__ = ["Correction", "MetricComparisons", "Table", "TableError", "compare_metrics"]

#: A long table: a pandas DataFrame, or a mapping of column name to column.
Table: TypeAlias = "pandas.DataFrame | Mapping[str, Scores | Labels]"


class Correction(enum.StrEnum):
    """A method of adjusting a family of p-values for multiple comparisons.

    Bonferroni and Holm bound the chance of any false positive (the
    family-wise error); Holm's step-down rejects everything Bonferroni
    does and often more. Benjamini-Hochberg bounds the expected share of
    false discoveries among the rejections, and keeps more power still.
    """

    BONFERRONI = "bonferroni"
    BENJAMINI_HOCHBERG = "benjamini-hochberg"
    HOLM = "holm"

    @property
    def method(self) -> _mirabund_core.CorrectionMethod | None:
        """The engine's enumeration member for this method; None for Holm,
        which the engine lacks and the package computes."""
        if self is Correction.BONFERRONI:
            return _mirabund_core.CorrectionMethod.Bonferroni
        if self is Correction.BENJAMINI_HOCHBERG:
            return _mirabund_core.CorrectionMethod.BenjaminiHochberg
        return None

    @classmethod
    def check(cls, value: object) -> Correction:
        """The method named by a string or an engine ``CorrectionMethod`` member."""
        if isinstance(value, _mirabund_core.CorrectionMethod):
            return next(member for member in cls if member.method == value)
        return check_choice("correction", value, {member.value: member for member in cls})

    def adjust(self, p_values: Sequence[float], alpha: float) -> tuple[list[float], list[bool]]:
        """The adjusted p-values, in input order, and which of them are at most ``alpha``.

        Holm's adjusted p-value of the i-th smallest of m is the running
        maximum of min(1, (m - j + 1) * p_(j)) over j <= i (ties in input
        order); rejecting those at most ``alpha`` is Holm's step-down test.
        """
        engine = self.method
        if engine is not None:
            result = _mirabund_core.correct_p_values(list(p_values), alpha, engine)
            return list(result.adjusted_p_values), list(result.rejected)
        values = np.asarray(p_values, dtype=np.float64)
        # The engine's checks, in its words, so the three methods refuse alike.
        if not len(values):
            raise ValueError("p_values must not be empty")
        if not 0.0 < alpha < 1.0:
            raise ValueError("alpha must be in (0.0, 1.0)")
        if not ((values >= 0.0) & (values <= 1.0)).all():
            raise ValueError("all p-values must be in [0.0, 1.0]")
        order = np.argsort(values, kind="stable")
        factors = np.arange(len(values), 0, -1, dtype=np.float64)
        stepped = np.maximum.accumulate(np.minimum(1.0, factors * values[order]))
        adjusted = np.empty_like(values)
        adjusted[order] = stepped
        return adjusted.tolist(), (adjusted <= alpha).tolist()


@dataclass(frozen=True, slots=True, repr=False)
class MetricComparisons(Result):
    """The comparisons of two models on a family of metrics.

    Iterate over it for the comparisons in metric order; index it by metric
    name (``family["accuracy"]``, ``"accuracy" in family``) or by position
    (``family[0]``).

    Attributes
    ----------
    baseline, candidate : str
        The two models compared, as named in the model column.
    comparisons : tuple of Comparison
        One comparison per metric, in the order the metrics were given; each
        holds its ``p_adjusted`` and ``rejected``.
    correction : Correction
        The method the p-values were adjusted by.
    alpha : float
        The family's significance level for ``rejected``.
    seed : int
        The seed of every metric's resampling: pass it back to repeat the
        result exactly.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = ("baseline", "candidate", "metrics", "correction", "alpha", "seed")
    baseline: str
    candidate: str
    comparisons: tuple[Comparison, ...]
    correction: Correction
    alpha: float
    seed: int

    @property
    def metrics(self) -> tuple[str, ...]:
        """The metric names, in order."""
        return tuple(comparison.metric or "" for comparison in self.comparisons)

    def __iter__(self) -> Iterator[Comparison]:
        return iter(self.comparisons)

    def __len__(self) -> int:
        return len(self.comparisons)

    def __contains__(self, metric: object) -> bool:
        return metric in self.metrics

    def __getitem__(self, metric: str | int) -> Comparison:
        if isinstance(metric, int) and not isinstance(metric, bool):
            return self.comparisons[metric]
        for comparison in self.comparisons:
            if comparison.metric == metric:
                return comparison
        raise KeyError(f"no comparison for metric {metric!r}; metrics: {', '.join(map(repr, self.metrics))}")


def _table_columns(table: object) -> Mapping[str, Any]:
    if is_pandas(table) and hasattr(table, "columns"):
        frame: Any = table
        # Columns by position: a name given twice would select both.
        named = [(name, frame.iloc[:, position]) for position, name in enumerate(frame.columns)]
    elif isinstance(table, Mapping):
        named = [(name, ordered_items(f"column {name!r}", values)) for name, values in table.items()]
    else:
        raise TypeError(
            f"table must be a pandas DataFrame or a mapping of column name to sequence, got {describe(table)}"
        )
    columns: dict[str, Any] = {}
    for name, values in named:
        if str(name) in columns:
            raise TableError("two columns have this name", column=str(name))
        columns[str(name)] = values
    return columns


def _refuse_missing(
    what: str, column: str, rows: Sequence[int], *, scope: str = " for the compared models", drops: str = "such items"
) -> None:
    """Under nan_policy "raise": refuse the missing cells of ``column`` at table ``rows``, if any."""
    if len(rows):
        count = len(rows)
        raise TableError(
            f"{count} missing {what}{'s' if count != 1 else ''}{scope}, the first here; "
            f"pass nan_policy='omit' to drop {drops}",
            row=int(min(rows)), column=column,
        )


def _model_rows(models: list[Any], name: object, role: str, model_column: str) -> list[int]:
    rows = [row for row, model in enumerate(models) if not is_missing(model) and model == name]
    if not rows:
        found = ", ".join(repr(model) for model in dict.fromkeys(m for m in models if not is_missing(m)))
        raise TableError(f"no rows for the {role} model {name!r}; models found: {found}", column=model_column)
    return rows


def _items_by_row(items: list[Any], rows: list[int], model: object, item_column: str) -> dict[Hashable, int]:
    """The model's rows by item; rows without an item label are left out."""
    found: dict[Hashable, int] = {}
    for row in rows:
        item = items[row]
        if is_missing(item):
            continue
        first = found.setdefault(item, row)
        if first != row:
            raise TableError(
                f"a second row for model {model!r} and item {item!r}",
                row=row, column=item_column,
            )
    return found


@dataclass(frozen=True, slots=True)
class Pairs:
    """The rows of the two models matched by item."""

    baseline_rows: np.ndarray[Any, np.dtype[np.intp]]
    candidate_rows: np.ndarray[Any, np.dtype[np.intp]]
    n_unmatched: int


def match_items(
    models: list[Any], items: list[Any], baseline: object, candidate: object, *,
    model_column: str, item_column: str, nan_policy: NanPolicy,
) -> Pairs:
    """Match the baseline's rows to the candidate's by item, in the baseline's row order.

    Under "omit", rows without a model label are passed over, and the
    compared models' rows without an item label count as unmatched.
    """
    base_rows = _model_rows(models, baseline, "baseline", model_column)
    cand_rows = _model_rows(models, candidate, "candidate", model_column)
    unlabelled = [row for row in base_rows + cand_rows if is_missing(items[row])]
    if nan_policy == "raise":
        _refuse_missing("model label", model_column, [row for row, model in enumerate(models) if is_missing(model)],
                        scope="", drops="such rows")
        _refuse_missing("item label", item_column, unlabelled, drops="such rows")
    base = _items_by_row(items, base_rows, baseline, item_column)
    cand = _items_by_row(items, cand_rows, candidate, item_column)
    if nan_policy == "raise":
        for have, lack, rows in ((baseline, candidate, base), (candidate, baseline, cand)):
            other = cand if rows is base else base
            for item, row in rows.items():
                if item not in other:
                    raise TableError(
                        f"item {item!r} has a row for model {have!r} but none for model {lack!r}; "
                        "pass nan_policy='omit' to drop such items",
                        row=row, column=item_column,
                    )
    matched = [item for item in base if item in cand]
    return Pairs(
        baseline_rows=np.array([base[item] for item in matched], dtype=np.intp),
        candidate_rows=np.array([cand[item] for item in matched], dtype=np.intp),
        n_unmatched=len(base) + len(cand) - 2 * len(matched) + len(unlabelled),
    )


@returns_fields(MetricComparisons)
def compare_metrics(
    table: Table,
    *,
    baseline: str,
    candidate: str,
    metrics: str | Iterable[str] | None = None,
    model_column: str = "model",
    item_column: str = "item",
    cluster_column: str | None = None,
    correction: str | Correction | _mirabund_core.CorrectionMethod = "benjamini-hochberg",
    alpha: float = 0.05,
    method: str | Method = "auto",
    block_size: int = 1,
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
) -> MetricComparisons:
    """Compare two models on every metric of a long table, with adjusted p-values.

    Each metric is compared as :func:`compare` does, on the items both
    models have, all with the one recorded seed; the p-values of the family
    are then adjusted together (``_mirabund_core.correct_p_values``), so
    the family's error rate holds as long as each p-value keeps its level,
    which the default ``method`` does with few clusters and items.

    Parameters
    ----------
    table : pandas.DataFrame or mapping of str to sequence
        A long table: one row per model and item, one column per metric
        (plus the model, item and, optionally, cluster columns). A mapping
        of column name to equally long sequences works without pandas.
    baseline, candidate : str
        The two models, as named in ``model_column``.
    metrics : str or iterable of str, optional
        The metric columns to compare, in the order to report them. None
        takes every column other than the model, item and cluster columns
        that holds a number, or nothing but missing values; a column of text
        is not a metric. A chosen column with an infinity or a stray word is
        refused, naming it.
    model_column : str, default "model"
        The column naming each row's model.
    item_column : str, default "item"
        The column naming each row's item; the two models' rows are matched
        on it, and each model has at most one row per item.
    cluster_column : str, optional
        The column naming each item's cluster (a topic, a conversation).
        Given, intervals resample whole clusters and standard errors are
        cluster-robust; an item must be in the same cluster for both models.
    correction : {"benjamini-hochberg", "bonferroni"} or Correction, default "benjamini-hochberg"
        How to adjust the family's p-values; the engine's
        ``CorrectionMethod`` members work too.
    alpha : float, default 0.05
        The family's significance level, in (0, 1).
    {method}
    block_size : int, default 1
        For method "percentile" without clusters, the block length of the
        moving-block bootstrap (items in table order).
    n_resamples : int, default 10_000
        The number of bootstrap resamples per metric.
    confidence_level : float, default 0.95
        The intervals' confidence level, in (0, 1).
    seed : int, optional
        The seed of the resampling, in [0, 2**64). None draws one from the
        operating system; the seed used is in the result either way.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses an item that one model lacks and a missing score,
        cluster, item or model label with a :class:`TableError` naming the
        row and column; "omit" drops such items (per metric for scores) and
        counts them in each comparison's ``n_dropped``, and passes over rows
        without a model label. An item is in no cluster when either of its
        rows lacks the label.

    Returns
    -------
    MetricComparisons
        {fields}

    Raises
    ------
    TypeError
        For an argument of the wrong kind, or a metric column that holds
        something other than numbers.
    TableError
        (a ``ValueError``) For a missing column or model, a duplicate row,
        mismatched clusters, and, under "raise", unmatched items and missing
        values, naming the row and column; for a metric with fewer than 2
        items or 2 clusters, or with scores so large that their sums
        overflow a float, naming the column.
    ValueError
        For options out of range (a block longer than a metric's items
        too), and columns of unequal length.

    Examples
    --------
    >>> import mirabund
    >>> table = {
    ...     "model": ["a"] * 4 + ["b"] * 4,
    ...     "item": ["q1", "q2", "q3", "q4"] * 2,
    ...     "accuracy": [1, 0, 1, 0, 1, 1, 1, 0],
    ...     "score": [6.5, 5.0, 7.0, 4.5, 7.5, 6.0, 7.0, 5.5],
    ... }
    >>> result = mirabund.compare_metrics(table, baseline="a", candidate="b", seed=3)
    >>> result.metrics
    ('accuracy', 'score')
    >>> result["score"].difference
    0.75
    """
    family, _ = compare_family(
        table, baseline=baseline, candidate=candidate, metrics=metrics, model_column=model_column,
        item_column=item_column, cluster_column=cluster_column, correction=correction, alpha=alpha,
        block_size=block_size, n_resamples=n_resamples, confidence_level=confidence_level, seed=seed,
        nan_policy=nan_policy, with_means=False, method=method,
    )
    warn_once((f"{c.metric}: {note}" for c in family for note in c.warnings), stacklevel=2)
    return family


if compare_metrics.__doc__:  # docstrings stripped (python -OO)
    compare_metrics.__doc__ = compare_metrics.__doc__.replace("{method}", METHOD_DOC)


def compare_family(
    table: object,
    *,
    baseline: str,
    candidate: str,
    metrics: str | Iterable[str] | None,
    model_column: str,
    item_column: str,
    cluster_column: str | None,
    correction: object,
    alpha: object,
    block_size: object,
    n_resamples: object,
    confidence_level: object,
    seed: object,
    nan_policy: object,
    with_means: bool,
    method: object = "auto",
) -> tuple[MetricComparisons, list[tuple[MeanInterval, MeanInterval]]]:
    """``compare_metrics``, and with ``with_means`` each model's mean interval
    per metric, over the same items as the metric's comparison (by the
    default method where the family's, "exact", tests differences only)."""
    options = Resampling.check(method=method, block_size=block_size, n_resamples=n_resamples,
                               confidence_level=confidence_level, seed=seed, nan_policy=nan_policy)
    mean_options = dataclasses.replace(options, method=Method.AUTO) if options.method is Method.EXACT else options
    adjustment = Correction.check(correction)
    level = check_fraction("alpha", alpha)
    columns = _table_columns(table)
    for role, name in (("model_column", model_column), ("item_column", item_column),
                       ("cluster_column", cluster_column)):
        if name is not None and name not in columns:
            raise TableError(f"no column {name!r} (given as {role}); columns: {', '.join(map(repr, columns))}",
                             column=name)
    lengths = {name: len(values) for name, values in columns.items()}
    if len(set(lengths.values())) > 1:
        raise ValueError(f"table columns must be of equal length, got {lengths}")
    chosen = metric_names(columns, metrics, exclude={model_column, item_column, cluster_column})
    models = label_list(model_column, columns[model_column])
    items = label_list(item_column, columns[item_column])
    pairs = match_items(models, items, baseline, candidate, model_column=model_column,
                        item_column=item_column, nan_policy=options.nan_policy)
    labels_missing = np.zeros(len(pairs.baseline_rows), dtype=np.bool_)
    groups = None
    if cluster_column is not None:
        labels = label_list(cluster_column, columns[cluster_column])
        paired_labels = []
        unlabelled = []
        for base_row, cand_row in zip(pairs.baseline_rows.tolist(), pairs.candidate_rows.tolist()):
            label, other = labels[base_row], labels[cand_row]
            unlabelled += [row for row, cell in ((base_row, label), (cand_row, other)) if is_missing(cell)]
            if is_missing(label) or is_missing(other):
                label = None  # an item is in no cluster when either of its rows lacks the label
            elif label != other:
                raise TableError(
                    f"item {items[base_row]!r} is in cluster {label!r} for model {baseline!r} "
                    f"but in {other!r} for model {candidate!r}",
                    row=cand_row, column=cluster_column,
                )
            paired_labels.append(label)
        if options.nan_policy == "raise":
            _refuse_missing("cluster label", cluster_column, unlabelled)
        groups = as_clusters(paired_labels, len(paired_labels), cluster_column)
        labels_missing = groups.missing
    comparisons = []
    means: list[tuple[MeanInterval, MeanInterval]] = []
    for metric in chosen:
        scores = as_scores(f"column {metric!r}", columns[metric])
        base, cand = scores[pairs.baseline_rows], scores[pairs.candidate_rows]
        if options.nan_policy == "raise":
            _refuse_missing("value", metric, [*pairs.baseline_rows[np.isnan(base)].tolist(),
                                              *pairs.candidate_rows[np.isnan(cand)].tolist()])
        keep = ~(np.isnan(base) | np.isnan(cand) | labels_missing)
        codes = None if groups is None else groups.select(keep)
        n_dropped = pairs.n_unmatched + int(len(keep) - np.count_nonzero(keep))
        subject = Subject(metric, in_table=True)
        comparisons.append(paired_comparison(base[keep], cand[keep], codes, options, subject,
                                             n_dropped=n_dropped, metric=metric))
        if with_means:
            means.append((
                mean_interval_of(base[keep], codes, mean_options, subject, n_dropped=n_dropped),
                mean_interval_of(cand[keep], codes, mean_options, subject, n_dropped=n_dropped),
            ))
    adjusted, rejections = adjustment.adjust([c.p_value for c in comparisons], level)
    family = MetricComparisons(
        baseline=str(baseline),
        candidate=str(candidate),
        comparisons=tuple(
            dataclasses.replace(comparison, p_adjusted=p, rejected=rejected)
            for comparison, p, rejected in zip(comparisons, adjusted, rejections)
        ),
        correction=adjustment,
        alpha=level,
        seed=options.seed,
    )
    return family, means


def is_metric(name: str, values: object) -> bool:
    """Whether a column is a metric by its kind: it holds a number, or nothing but missing values.

    A column of text (names, verdicts) is not a metric; one with some
    numbers and a stray word is, so that the word is refused where it is.
    """
    if getattr(getattr(values, "dtype", None), "kind", "O") in "biuf":
        return True
    cells = label_list(f"column {name!r}", values)
    return any(isinstance(cell, (numbers.Real, np.bool_)) and not is_missing(cell) for cell in cells) or all(
        is_missing(cell) for cell in cells
    )


def metric_names(columns: Mapping[str, Any], metrics: object, exclude: set[str | None]) -> list[str]:
    """The metric columns: those named by ``metrics``, checked, or for None every
    column but those in ``exclude`` that :func:`is_metric`."""
    if metrics is None:
        chosen = [name for name, values in columns.items() if name not in exclude and is_metric(name, values)]
        if not chosen:
            raise TableError("no metric columns: no column other than the model, item and cluster columns "
                             "holds numbers")
        return chosen
    given: list[object] = [metrics] if isinstance(metrics, str) else [None]
    if isinstance(metrics, Iterable) and not isinstance(metrics, (str, bytes, Mapping)):
        given = list(metrics)
    if not all(isinstance(name, str) for name in given):
        raise TypeError(f"metrics must be a column name or an iterable of column names, got {describe(metrics)}")
    if not given:
        raise ValueError("metrics must name at least one column, got none")
    names = [str(name) for name in given]  # numpy's and pandas' strings as plain ones
    for name in names:
        if name not in columns:
            raise TableError(f"no column {name!r} (given in metrics); columns: {', '.join(map(repr, columns))}",
                             column=name)
        if name in exclude:
            raise ValueError(f"metrics must not include the model, item or cluster column, got {name!r}")
    duplicates = sorted({name for name in names if names.count(name) > 1})
    if duplicates:
        raise ValueError(f"metrics must name each column once, got {', '.join(map(repr, duplicates))} twice")
    return names

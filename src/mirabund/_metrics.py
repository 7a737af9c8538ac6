"""Comparisons of two models on every metric of a long table, as one family.

The table (a :class:`~mirabund._tables.ScoreTable`, or anything
:func:`~mirabund._tables.as_score_table` takes) has one row per model and
item and one column per metric. The rows of the two models are matched by
item; every metric is compared on its matched items as ``compare`` does, all
with the one recorded seed, and the family's p-values are adjusted together
by ``_mirabund_core.correct_p_values``. Which way each metric is better
decides whether a significant difference is a gain or a loss.
"""

from __future__ import annotations

import dataclasses
import enum
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import ClassVar

import numpy as np

import _mirabund_core

from . import _native
from ._checks import NanPolicy, Subject, TableError, check_choice, check_fraction
from ._compare import METHOD_DOC, THREADS_DOC, Comparison, MeanInterval, Pair, mean_intervals_of, paired_comparisons
from ._inference import Method, Request, Resampling, warn_once
from ._results import Result, returns_fields
from ._tables import Direction, ScoreTable, Table, as_score_table, pair_items, refuse_missing

__all__ = ["Correction", "MetricComparisons", "Outcome", "Table", "TableError", "compare_metrics"]


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
        if self is not Correction.HOLM:
            engine = (_native.CorrectionMethod.Bonferroni if self is Correction.BONFERRONI
                      else _native.CorrectionMethod.BenjaminiHochberg)
            result = _native.correct_p_values(list(p_values), alpha, engine)
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


class Outcome(enum.StrEnum):
    """What a comparison found, in the metric's direction: the candidate
    significantly better, significantly worse, or neither."""

    BETTER = "better"
    WORSE = "worse"
    UNCLEAR = "no significant difference"

    @classmethod
    def of(cls, comparison: Comparison, direction: Direction) -> Outcome:
        """The outcome of a comparison whose ``rejected`` is set, for a metric better in ``direction``."""
        if not comparison.rejected or comparison.difference == 0.0:
            return cls.UNCLEAR
        gain = comparison.difference > 0.0 if direction is Direction.HIGHER else comparison.difference < 0.0
        return cls.BETTER if gain else cls.WORSE


@dataclass(frozen=True, slots=True, repr=False)
class MetricComparisons(Result):
    """The comparisons of two models on a family of metrics.

    Iterate over it for the comparisons in metric order; index it by metric
    name (``family["accuracy"]``, ``"accuracy" in family``) or by position
    (``family[0]``). Its ``repr`` is a table of the numbers, and notebooks
    show it as an HTML table.

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
    directions : tuple of Direction
        For each comparison, whether a higher or a lower score of its metric
        is better.
    item_properties : tuple of str
        Numeric columns left out of the metrics chosen by default because
        they are equal for both models on every item (a fold, a true class):
        properties of the items, not scores.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = ("baseline", "candidate", "metrics", "correction", "alpha", "seed")
    baseline: str
    candidate: str
    comparisons: tuple[Comparison, ...]
    correction: Correction
    alpha: float
    seed: int
    directions: tuple[Direction, ...] = ()
    item_properties: tuple[str, ...] = ()

    @property
    def metrics(self) -> tuple[str, ...]:
        """The metric names, in order."""
        return tuple(comparison.metric or "" for comparison in self.comparisons)

    @property
    def outcomes(self) -> tuple[Outcome, ...]:
        """For each comparison, whether the candidate is significantly better, worse, or neither."""
        directions = self.directions or (Direction.HIGHER,) * len(self.comparisons)
        return tuple(Outcome.of(c, d) for c, d in zip(self.comparisons, directions))

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

    def __repr__(self) -> str:
        from ._report import family_table, text_table

        title = (f"MetricComparisons: {self.candidate} (candidate) vs {self.baseline} (baseline), "
                 f"{self.correction.value} at alpha {self.alpha:g}, seed {self.seed}")
        return f"{title}\n{text_table(*family_table(self))}"

    def _repr_html_(self) -> str:
        from ._report import family_table, html_table

        return html_table(*family_table(self), caption=(
            f"{self.candidate} (candidate) vs {self.baseline} (baseline), {self.correction.value} "
            f"at alpha {self.alpha:g}, seed {self.seed}"))


@returns_fields(MetricComparisons)
def compare_metrics(
    table: Table,
    *,
    baseline: str,
    candidate: str,
    metrics: str | Iterable[str] | None = None,
    direction: str | Direction | Mapping[str, str | Direction] | None = None,
    model_column: str | None = None,
    item_column: str | None = None,
    cluster_column: str | None = None,
    correction: str | Correction | _mirabund_core.CorrectionMethod = "benjamini-hochberg",
    alpha: float = 0.05,
    method: str | Method = "auto",
    block_size: int = 1,
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
    threads: int | None = None,
) -> MetricComparisons:
    """Compare two models on every metric of a long table, with adjusted p-values.

    Each metric is compared as :func:`compare` does, on the items both
    models have, all with the one recorded seed; the p-values of the family
    are then adjusted together (``_mirabund_core.correct_p_values``), so
    the family's error rate holds as long as each p-value keeps its level,
    which the default ``method`` does with few clusters and items.

    Parameters
    ----------
    table : ScoreTable, data frame or mapping of str to sequence
        A long table: one row per model and item, one column per metric
        (plus the model, item and, optionally, cluster columns). A
        :class:`ScoreTable` from :func:`read_table` (files, harness logs),
        any data frame narwhals supports (pandas, polars, pyarrow), or a
        mapping of column name to equally long sequences, which works
        without pandas. A lazy one (a DuckDB relation, a polars LazyFrame,
        a Dask or Spark data frame) is paired and summed by cluster in its
        engine, only the sums (or, without clusters, the paired scores)
        coming into memory; method "percentile" with clusters is refused
        there.
    baseline, candidate : str
        The two models, as named in the model column; they must differ.
    metrics : str or iterable of str, optional
        The metric columns to compare, in the order to report them. None
        takes the table's metrics (those a :class:`ScoreTable` names; for
        other tables every column other than the model, item and cluster
        columns that holds numbers) less any that are equal for both models
        on every item, which are properties of the items (the result's
        ``item_properties``). A chosen column with an infinity or a stray
        word is refused, naming it.
    direction : "higher", "lower" or mapping of str to either, optional
        Whether a higher or a lower score is better: one for every metric,
        or one per metric named (``{"log_loss": "lower"}``). Metrics not
        named keep the table's direction, else higher. It decides the
        ``outcomes`` of the result: a significant difference the wrong way
        is a loss, never a gain.
    model_column, item_column : str, optional
        The columns naming each row's model and item; None takes the
        table's own (a :class:`ScoreTable`'s), else ``"model"`` and
        ``"item"``. The two models' rows are matched on the item, and each
        model has at most one row per item.
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
    {threads}
        Metrics over the same items under the same bootstrap method share
        their resamples: one native call draws each resample's items once
        and sums every metric from that draw.

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
        too), a candidate equal to the baseline, and columns of unequal
        length.

    Examples
    --------
    >>> import mirabund
    >>> table = {
    ...     "model": ["a"] * 4 + ["b"] * 4,
    ...     "item": ["q1", "q2", "q3", "q4"] * 2,
    ...     "fold": [1, 2, 1, 2] * 2,
    ...     "accuracy": [1, 0, 1, 0, 1, 1, 1, 0],
    ...     "score": [6.5, 5.0, 7.0, 4.5, 7.5, 6.0, 7.0, 5.5],
    ... }
    >>> result = mirabund.compare_metrics(table, baseline="a", candidate="b", seed=3)
    >>> result.metrics, result.item_properties
    (('accuracy', 'score'), ('fold',))
    >>> result["score"].difference
    0.75
    """
    family, _ = compare_family(
        table, baseline=baseline, candidate=candidate, metrics=metrics, direction=direction,
        model_column=model_column, item_column=item_column, cluster_column=cluster_column, correction=correction,
        alpha=alpha, block_size=block_size, n_resamples=n_resamples, confidence_level=confidence_level, seed=seed,
        nan_policy=nan_policy, with_means=False, method=method, threads=threads,
    )
    warn_once((f"{c.metric}: {note}" for c in family for note in c.warnings), stacklevel=2)
    return family


if compare_metrics.__doc__:  # docstrings stripped (python -OO)
    compare_metrics.__doc__ = compare_metrics.__doc__.replace("{method}", METHOD_DOC).replace("{threads}", THREADS_DOC)


def compare_family(
    table: object,
    *,
    baseline: str,
    candidate: str,
    metrics: str | Iterable[str] | None = None,
    direction: object = None,
    model_column: str | None = None,
    item_column: str | None = None,
    cluster_column: str | None = None,
    correction: object = "benjamini-hochberg",
    alpha: object = 0.05,
    block_size: object = 1,
    n_resamples: object = 10_000,
    confidence_level: object = 0.95,
    seed: object = None,
    nan_policy: object = "raise",
    with_means: bool = False,
    method: object = "auto",
    threads: object = None,
) -> tuple[MetricComparisons, list[tuple[MeanInterval, MeanInterval]]]:
    """``compare_metrics``, and with ``with_means`` each model's mean interval
    per metric, over the same items as the metric's comparison (by the
    default method where the family's, "exact", tests differences only).
    Table errors are placed in the files the table was read from."""
    resampling = Resampling.check(method=method, block_size=block_size, n_resamples=n_resamples,
                                  confidence_level=confidence_level, seed=seed, nan_policy=nan_policy,
                                  threads=threads)
    adjustment = Correction.check(correction)
    level = check_fraction("alpha", alpha)
    scores = as_score_table(table, model_column=model_column, item_column=item_column,
                            cluster_column=cluster_column, metrics=metrics, direction=direction)
    try:
        return _compare_table(scores, baseline, candidate, metrics is None, resampling, adjustment, level, with_means)
    except TableError as error:
        raise scores.placed(error) from None


def _compare_table(
    table: ScoreTable, baseline: str, candidate: str, by_default: bool, resampling: Resampling,
    adjustment: Correction, level: float, with_means: bool,
) -> tuple[MetricComparisons, list[tuple[MeanInterval, MeanInterval]]]:
    mean_options = (dataclasses.replace(resampling, method=Method.AUTO) if resampling.method is Method.EXACT
                    else resampling)
    if table.lazy and table.cluster_column is not None:
        # Reduced to cluster sums in the engine that holds the rows.
        from ._reduce import reduced_family

        found, intervals, left_out = reduced_family(table, baseline, candidate, by_default, resampling,
                                                    mean_options, with_means)
        return _family(table, baseline, candidate, found, left_out, resampling, adjustment, level), intervals
    pairs = pair_items(table, baseline, candidate, resampling.nan_policy)
    labels_missing = np.zeros(len(pairs.baseline_rows), dtype=np.bool_)
    if pairs.clusters is not None:
        labels_missing = pairs.clusters.missing
    scored = {metric: pairs.scores(table, metric) for metric in table.metrics}
    properties: tuple[str, ...] = ()
    if by_default:
        # A column equal for both models on every item describes the items.
        properties = tuple(metric for metric, (base, cand) in scored.items()
                           if np.array_equal(base, cand, equal_nan=True))
        if len(properties) == len(scored):
            raise TableError(f"no metric columns: every numeric column is equal for both models on every item "
                             f"({', '.join(map(repr, properties))}), a property of the items; name the metrics")
    compared: list[Pair] = []
    for metric, (base, cand) in scored.items():
        if metric in properties:
            continue
        if resampling.nan_policy == "raise":
            refuse_missing("value", metric, [*pairs.baseline_rows[np.isnan(base)].tolist(),
                                             *pairs.candidate_rows[np.isnan(cand)].tolist()])
        keep = ~(np.isnan(base) | np.isnan(cand) | labels_missing)
        codes = None if pairs.clusters is None else pairs.clusters.select(keep)
        n_dropped = pairs.n_unmatched + int(len(keep) - np.count_nonzero(keep))
        # Metrics kept on the same items share their resamples.
        compared.append(Pair(base[keep], cand[keep], codes, Subject(metric, in_table=True), n_dropped, metric,
                             items=keep.tobytes()))
    comparisons = paired_comparisons(compared, resampling)
    means: list[tuple[MeanInterval, MeanInterval]] = []
    if with_means:
        requests = [Request(scores, pair.codes, pair.subject, pair.n_dropped, items=pair.items)
                    for pair in compared for scores in (pair.baseline, pair.candidate)]
        singles = mean_intervals_of(requests, mean_options)
        means = list(zip(singles[0::2], singles[1::2]))
    return _family(table, baseline, candidate, comparisons, properties, resampling, adjustment, level), means


def _family(table: ScoreTable, baseline: str, candidate: str, comparisons: list[Comparison],
            properties: tuple[str, ...], resampling: Resampling, adjustment: Correction,
            level: float) -> MetricComparisons:
    adjusted, rejections = adjustment.adjust([c.p_value for c in comparisons], level)
    return MetricComparisons(
        baseline=str(baseline),
        candidate=str(candidate),
        comparisons=tuple(
            dataclasses.replace(comparison, p_adjusted=p, rejected=rejected)
            for comparison, p, rejected in zip(comparisons, adjusted, rejections)
        ),
        correction=adjustment,
        alpha=level,
        seed=resampling.seed,
        directions=tuple(table.direction(c.metric or "") for c in comparisons),
        item_properties=properties,
    )

"""More than two models on the same items: pairwise comparisons, rank intervals, tiers.

Every compared model is scored on the same items (the rows of a long table
matched by the item column), so every pair is a paired comparison on those
items, made as ``compare`` makes it; the pairs' p-values are adjusted as one
family. Ranks come with intervals that hold for all models at once: they
are read off the pairwise rejections of Holm's step-down test, which bounds
the chance of any false claim by alpha.
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Hashable, Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Literal

import numpy as np

from ._checks import NanPolicy, Subject, TableError, check_fraction, describe
from ._compare import METHOD_DOC, THREADS_DOC, Comparison, MeanInterval, Pair, mean_intervals_of, paired_comparisons
from ._inference import Method, Request, Resampling, warn_once
from ._metrics import Correction
from ._tables import Table, as_score_table, items_by_row, labels_of, model_rows, refuse_missing, scores_of
from ._results import Result, returns_fields
from ._samples import as_clusters, is_missing

if TYPE_CHECKING:
    import pandas

__all__ = ["Leaderboard", "ModelPair", "RankedModel", "compare_models", "format_leaderboard", "leaderboard_json"]


@dataclass(frozen=True, slots=True, repr=False)
class RankedModel(Result):
    """One model of a leaderboard: its mean with an interval, its rank with a simultaneous interval.

    Attributes
    ----------
    model : str
        The model, as named in the model column.
    mean : float
        The mean of the model's scores over the items used.
    ci_lower, ci_upper : float
        The interval of the mean (``interval`` tells how it was computed).
    rank : int
        1 for the best mean by the metric's direction; models with equal
        means share the best rank among them.
    rank_lower, rank_upper : int
        The rank interval: 1 + the number of models significantly better,
        to the number of models minus those significantly worse, by Holm's
        test of the pairs at the family's alpha. The intervals of all models
        hold their true ranks at once with probability at least 1 - alpha.
    tier : int
        The model's tier, 1 for the first of the leaderboard's ``tiers``.
    interval : MeanInterval
        The mean in full: standard error, method, degrees of freedom and
        warnings.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = (
        "model", "mean", "ci_lower", "ci_upper", "rank", "rank_lower", "rank_upper", "tier",
    )
    model: str
    mean: float
    ci_lower: float
    ci_upper: float
    rank: int
    rank_lower: int
    rank_upper: int
    tier: int
    interval: MeanInterval

    def _frame_rows(self) -> list[dict[str, Any]]:
        row = self.to_dict()
        interval = row.pop("interval")
        row.update({name: interval[name] for name in (
            "standard_error", "confidence_level", "method", "degrees_of_freedom", "n_items", "n_clusters",
            "n_dropped", "seed", "warnings")})
        return [row]


@dataclass(frozen=True, slots=True, repr=False)
class ModelPair(Result):
    """The paired comparison of two models of a leaderboard.

    Attributes
    ----------
    baseline, candidate : str
        The two models; the comparison's difference is candidate minus
        baseline.
    comparison : Comparison
        The comparison on the leaderboard's items, with its ``p_adjusted``
        and ``rejected`` by the leaderboard's correction over all its pairs.
    better : str or None
        The model significantly better by the metric's direction when the
        pair is ``rejected``, else None.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = ("baseline", "candidate", "better")
    baseline: str
    candidate: str
    comparison: Comparison
    better: str | None

    @property
    def rejected(self) -> bool:
        """Whether the adjusted p-value rejects "no difference" at the family's alpha."""
        return bool(self.comparison.rejected)

    def _frame_rows(self) -> list[dict[str, Any]]:
        return [{"baseline": self.baseline, "candidate": self.candidate, "better": self.better,
                 **self.comparison.to_dict()}]


@dataclass(frozen=True, slots=True, repr=False)
class Leaderboard(Result):
    """Several models compared on one metric over the same items.

    Iterate over it for the models in rank order; index it by model name
    (``board["ember-2"]``) or by position in rank order (``board[0]``).

    Attributes
    ----------
    metric : str
        The metric column compared.
    models : tuple of RankedModel
        One entry per model, in rank order (ties in the order the models
        were given).
    pairs : tuple of ModelPair
        The comparisons: each model against the baseline when there is one,
        else every pair, in the order the models were given.
    tiers : tuple of tuple of str
        Groups of models no two of which the pairs tell apart (no pair
        ``rejected``), in rank order. They are formed greedily: going down
        the ranking, a model joins the current tier when it is
        indistinguishable from every model in it, and otherwise starts the
        next tier.
    baseline : str or None
        The baseline model, or None when every pair is compared.
    higher_is_better : bool
        The metric's direction: whether a higher mean ranks first.
    correction : Correction
        How the pairs' p-values were adjusted.
    alpha : float
        The family's significance level.
    confidence_level : float
        The confidence level of the means' and the differences' intervals.
    n_items : int
        The number of items used, the same for every model and pair.
    n_clusters : int or None
        The number of clusters used; None without clusters.
    n_dropped : int
        The number of items dropped under ``nan_policy="omit"``: those
        lacking a row for a compared model, a score or a cluster label
        (a row without an item label counts as one item).
    seed : int
        The seed of every resampling: pass it back to repeat the result
        exactly.
    warnings : tuple of str
        Plain-language notes where inference is fragile, each once, naming
        the pair or model when not every one has it.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = ("metric", "ranking", "tiers", "correction", "n_items", "seed")
    metric: str
    models: tuple[RankedModel, ...]
    pairs: tuple[ModelPair, ...]
    tiers: tuple[tuple[str, ...], ...]
    baseline: str | None
    higher_is_better: bool
    correction: Correction
    alpha: float
    confidence_level: float
    n_items: int
    n_clusters: int | None
    n_dropped: int
    seed: int
    warnings: tuple[str, ...] = ()

    @property
    def ranking(self) -> tuple[str, ...]:
        """The model names in rank order."""
        return tuple(entry.model for entry in self.models)

    def __iter__(self) -> Iterator[RankedModel]:
        return iter(self.models)

    def __len__(self) -> int:
        return len(self.models)

    def __getitem__(self, model: str | int) -> RankedModel:
        if isinstance(model, int) and not isinstance(model, bool):
            return self.models[model]
        for entry in self.models:
            if entry.model == model:
                return entry
        raise KeyError(f"no model {model!r}; models: {', '.join(map(repr, self.ranking))}")

    def pair(self, first: str, second: str) -> ModelPair:
        """The comparison of two models, in either order."""
        for pair in self.pairs:
            if {pair.baseline, pair.candidate} == {first, second} and first != second:
                return pair
        raise KeyError(f"no pair of {first!r} and {second!r} was compared")

    def to_frame(self, of: Literal["models", "pairs"] = "models") -> pandas.DataFrame:
        """The leaderboard as a pandas DataFrame (pandas is imported here).

        Parameters
        ----------
        of : {"models", "pairs"}, default "models"
            "models": one row per model in rank order, with each mean's
            standard error, method and counts. "pairs": one row per pair,
            with every field of its comparison.
        """
        from ._frame import to_frame

        if of not in ("models", "pairs"):
            raise ValueError(f"of must be one of 'models', 'pairs', got {describe(of)}")
        return to_frame(self if of == "models" else self.pairs)

    def _frame_rows(self) -> list[dict[str, Any]]:
        return [{"metric": self.metric, **row} for entry in self.models for row in entry._frame_rows()]


def _compared_models(labels: list[Any], models: object, baseline: object, model_column: str) -> list[Hashable]:
    """The models to compare, checked: at least two, each with rows, the baseline among them."""
    if models is None:
        chosen = list(dict.fromkeys(label for label in labels if not is_missing(label)))
        if len(chosen) < 2:
            raise TableError(f"at least 2 models are needed, found {len(chosen)}", column=model_column)
    else:
        if isinstance(models, (str, bytes)) or not isinstance(models, Iterable):
            raise TypeError(f"models must be an iterable of model names, got {describe(models)}")
        chosen = list(models)
        if len(chosen) < 2:
            raise ValueError(f"models must name at least 2 models, got {len(chosen)}")
        repeated = [model for position, model in enumerate(chosen) if model in chosen[:position]]
        if repeated:
            raise ValueError(f"models must name each model once, got {repeated[0]!r} twice")
    if baseline is not None and baseline not in chosen:
        raise ValueError(f"baseline must be one of the compared models {', '.join(map(repr, chosen))}, "
                         f"got {describe(baseline)}")
    return chosen


def _paired_rows(
    labels: list[Any], items: list[Any], models: list[Hashable], *, model_column: str, item_column: str,
    nan_policy: str,
) -> tuple[np.ndarray[Any, np.dtype[np.intp]], int]:
    """The table rows of each item that every model has (one column per model,
    items in the first model's row order), and the number of items left out."""
    rows_by_model = [model_rows(labels, model, "compared", model_column) for model in models]
    unlabelled = [row for rows in rows_by_model for row in rows if is_missing(items[row])]
    if nan_policy == "raise":
        refuse_missing("model label", model_column, [row for row, model in enumerate(labels) if is_missing(model)],
                        scope="", drops="such rows")
        refuse_missing("item label", item_column, unlabelled, drops="such rows")
    by_item = [items_by_row(items, rows, model, item_column) for model, rows in zip(models, rows_by_model)]
    every_item = dict.fromkeys(item for found in by_item for item in found)
    if nan_policy == "raise":
        for item in every_item:
            holders = [(model, found[item]) for model, found in zip(models, by_item) if item in found]
            lacking = [model for model, found in zip(models, by_item) if item not in found]
            if lacking:
                raise TableError(
                    f"item {item!r} has a row for model {holders[0][0]!r} but none for model {lacking[0]!r}; "
                    "pass nan_policy='omit' to drop such items",
                    row=holders[0][1], column=item_column,
                )
    complete = [item for item in by_item[0] if all(item in found for found in by_item[1:])]
    rows = np.array([[found[item] for found in by_item] for item in complete], dtype=np.intp)
    return rows.reshape(len(complete), len(models)), len(every_item) - len(complete) + len(unlabelled)


def _cluster_of_items(
    clusters: list[Any], items: list[Any], rows: np.ndarray[Any, np.dtype[np.intp]], models: list[Hashable],
    cluster_column: str,
) -> tuple[list[Any], list[int]]:
    """Each item's cluster label (None when a model's row lacks it), and the rows lacking one.

    An item must be in the same cluster for every model."""
    paired, unlabelled = [], []
    for item_rows in rows.tolist():
        cells = [clusters[row] for row in item_rows]
        missing = [row for row, cell in zip(item_rows, cells) if is_missing(cell)]
        present = [(row, model, cell) for row, model, cell in zip(item_rows, models, cells) if not is_missing(cell)]
        for row, model, cell in present[1:]:
            if cell != present[0][2]:
                raise TableError(
                    f"item {items[row]!r} is in cluster {present[0][2]!r} for model {present[0][1]!r} "
                    f"but in {cell!r} for model {model!r}",
                    row=row, column=cluster_column,
                )
        unlabelled += missing
        paired.append(None if missing else present[0][2])
    return paired, unlabelled


def _rank_bounds(n_models: int, claims: Iterable[tuple[int, int]]) -> list[tuple[int, int]]:
    """Each model's rank interval from claims (better, worse) by model index."""
    beats = [0] * n_models
    beaten_by = [0] * n_models
    for better, worse in claims:
        beats[better] += 1
        beaten_by[worse] += 1
    return [(1 + beaten_by[m], n_models - beats[m]) for m in range(n_models)]


def _tiers(order: list[int], distinct: set[frozenset[int]]) -> list[list[int]]:
    """Greedy tiers down the ranking ``order``: a model joins the current tier when
    no pair in ``distinct`` separates it from a member, else it starts the next."""
    tiers: list[list[int]] = []
    for model in order:
        if tiers and all(frozenset((model, member)) not in distinct for member in tiers[-1]):
            tiers[-1].append(model)
        else:
            tiers.append([model])
    return tiers


def _notes(means: list[tuple[str, MeanInterval]], pairs: list[ModelPair]) -> tuple[str, ...]:
    """Each distinct warning once: bare when every mean and pair has it, else naming them."""
    owners: dict[str, list[str]] = {}
    for name, interval in means:
        for note in interval.warnings:
            owners.setdefault(note, []).append(name)
    for pair in pairs:
        for note in pair.comparison.warnings:
            owners.setdefault(note, []).append(f"{pair.candidate} vs {pair.baseline}")
    everyone = len(means) + len(pairs)
    return tuple(note if len(names) == everyone else f"{', '.join(names)}: {note}" for note, names in owners.items())


@returns_fields(Leaderboard)
def compare_models(
    table: Table,
    *,
    metric: str,
    models: Iterable[Hashable] | None = None,
    baseline: Hashable | None = None,
    model_column: str = "model",
    item_column: str = "item",
    cluster_column: str | None = None,
    correction: str | Correction = "holm",
    alpha: float = 0.05,
    method: str | Method = "auto",
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
    higher_is_better: bool = True,
    threads: int | None = None,
) -> Leaderboard:
    """Compare several models on one metric of a long table: a leaderboard with rank intervals and tiers.

    Every model is scored on the same items, so each pair of models is a
    paired comparison on those items, made as :func:`compare` makes it
    (intervals and p-values that keep their level with few clusters or
    items, all with the one recorded seed); the pairs' p-values are then
    adjusted as one family. Each model gets its mean with an interval, a
    rank and a rank interval, and a tier of models it cannot be told apart
    from.

    The rank intervals are simultaneous: they hold every model's true rank
    at once with probability at least 1 - ``alpha``. They are read off the
    pairs rejected by Holm's step-down test at ``alpha`` (whatever the
    ``correction`` of the reported pairs): a model ranks no better than
    1 + the number of models significantly better than it, and no worse
    than the number of models less those significantly worse. Holm bounds
    the chance of any false rejection by ``alpha`` (the family-wise error),
    and with no false rejection every interval holds. With a ``baseline``
    only the pairs with it are tested, so the other models' intervals are
    wide.

    Parameters
    ----------
    table : pandas.DataFrame or mapping of str to sequence
        A long table: one row per model and item (plus the model, item and,
        optionally, cluster columns), as for :func:`compare_metrics`.
    metric : str
        The metric column to compare the models on.
    models : iterable of model names, optional
        The models to compare, at least 2, as named in ``model_column``. None
        takes every model in the table, in order of first appearance.
    baseline : model name, optional
        Compare every other model with this one only, instead of every pair.
        It must be among the compared models.
    model_column : str, default "model"
        The column naming each row's model.
    item_column : str, default "item"
        The column naming each row's item; the models' rows are matched on
        it, and each model has at most one row per item.
    cluster_column : str, optional
        The column naming each item's cluster (a topic, a conversation).
        Given, the clusters are the independent units: standard errors are
        cluster-robust. An item must be in the same cluster for every model.
    correction : {"holm", "benjamini-hochberg", "bonferroni"} or Correction, default "holm"
        How to adjust the pairs' p-values for ``rejected`` and the tiers.
        Holm and Bonferroni bound the chance of any false claim by
        ``alpha``; Benjamini-Hochberg bounds the expected share of false
        claims among the claims only.
    alpha : float, default 0.05
        The family's significance level, in (0, 1).
    {method}
        For the means, "exact" (which tests differences) gives way to "auto".
    n_resamples : int, default 10_000
        The number of bootstrap resamples (sampled sign patterns for
        "exact") per mean and per pair. A resampled p-value is no smaller
        than about 2 / (n_resamples + 1), and Holm's first step needs one
        below alpha / (the number of pairs): keep it in the thousands.
    confidence_level : float, default 0.95
        The confidence level of the means' and differences' intervals, in
        (0, 1).
    seed : int, optional
        The seed of the resampling, in [0, 2**64). None draws one from the
        operating system; the seed used is in the result either way.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses an item that a compared model lacks and a missing
        score, cluster, item or model label with a :class:`TableError`
        naming the row and column. "omit" drops such items for every model,
        so that all pairs use the same items, and counts them in
        ``n_dropped``, and passes over rows without a model label.
    higher_is_better : bool, default True
        The metric's direction: False for a metric such as an error rate or
        a latency, where the lowest mean ranks first.
    {threads}
        Every model's mean, and every pair, is over the same items: the
        means share their resamples, and so do the pairs.

    Returns
    -------
    Leaderboard
        {fields}

    Raises
    ------
    TypeError
        For an argument of the wrong kind, or a metric column that holds
        something other than numbers.
    TableError
        (a ``ValueError``) For a missing column or model, fewer than 2
        models, a duplicate row, mismatched clusters, and, under "raise",
        unmatched items and missing values, naming the row and column; for
        fewer than 2 items or 2 clusters, or scores so large that their
        sums overflow a float, naming the metric's column.
    ValueError
        For options out of range, a baseline not among the models, a model
        named twice, and columns of unequal length.

    Warns
    -----
    InferenceWarning
        Where inference is fragile (the text of each of its ``warnings``).

    Examples
    --------
    >>> import mirabund
    >>> table = {
    ...     "model": ["a"] * 6 + ["b"] * 6 + ["c"] * 6,
    ...     "item": ["q1", "q2", "q3", "q4", "q5", "q6"] * 3,
    ...     "score": [5, 6, 5, 7, 6, 5, 7, 8, 7, 9, 8, 8, 5, 7, 5, 8, 6, 6],
    ... }
    >>> import warnings
    >>> with warnings.catch_warnings(action="ignore"):  # only 6 items
    ...     board = mirabund.compare_models(table, metric="score", seed=1, n_resamples=500)
    >>> board.ranking, board.tiers
    (('b', 'c', 'a'), (('b',), ('c', 'a')))
    >>> [(m.model, m.rank_lower, m.rank_upper) for m in board]
    [('b', 1, 1), ('c', 2, 3), ('a', 2, 3)]
    """
    options = Resampling.check(method=method, block_size=1, n_resamples=n_resamples,
                               confidence_level=confidence_level, seed=seed, nan_policy=nan_policy, threads=threads)
    mean_options = dataclasses.replace(options, method=Method.AUTO) if options.method is Method.EXACT else options
    adjustment = Correction.check(correction)
    level = check_fraction("alpha", alpha)
    if not isinstance(higher_is_better, bool):
        raise TypeError(f"higher_is_better must be True or False, got {describe(higher_is_better)}")
    if not isinstance(metric, str):
        raise TypeError(f"metric must be a column name (a str), got {describe(metric)}")
    scored = as_score_table(table, model_column=model_column, item_column=item_column,
                            cluster_column=cluster_column, metrics=[metric])
    labels = labels_of(scored, model_column)
    items = labels_of(scored, item_column)
    compared = _compared_models(labels, models, baseline, model_column)
    rows, n_dropped = _paired_rows(labels, items, compared, model_column=model_column, item_column=item_column,
                                   nan_policy=options.nan_policy)
    no_cluster = np.zeros(len(rows), dtype=np.bool_)
    groups = None
    if cluster_column is not None:
        paired_labels, unlabelled = _cluster_of_items(labels_of(scored, cluster_column), items,
                                                      rows, compared, cluster_column)
        if options.nan_policy == "raise":
            refuse_missing("cluster label", cluster_column, unlabelled)
        groups = as_clusters(paired_labels, len(paired_labels), cluster_column)
        no_cluster = groups.missing
    scores = scores_of(scored, metric)[rows]
    if options.nan_policy == "raise":
        refuse_missing("value", metric, rows[np.isnan(scores)].tolist())
    keep = ~(np.isnan(scores).any(axis=1) | no_cluster)
    n_dropped += int(len(keep) - np.count_nonzero(keep))
    codes = None if groups is None else groups.select(keep)
    values = [np.ascontiguousarray(column) for column in scores[keep].T]
    subject = Subject(metric, in_table=True)
    names = [str(model) for model in compared]

    means = mean_intervals_of([Request(column, codes, subject, n_dropped, items="all") for column in values],
                              mean_options)
    if baseline is None:
        tested = [(i, j) for i in range(len(compared)) for j in range(i + 1, len(compared))]
    else:
        base = compared.index(baseline)
        tested = [(base, j) for j in range(len(compared)) if j != base]
    comparisons = paired_comparisons([Pair(values[i], values[j], codes, subject, n_dropped, metric, items="all")
                                      for i, j in tested], options)
    p_values = [comparison.p_value for comparison in comparisons]
    adjusted, rejected = adjustment.adjust(p_values, level)
    holm = rejected if adjustment is Correction.HOLM else Correction.HOLM.adjust(p_values, level)[1]
    sign = 1.0 if higher_is_better else -1.0

    def ordered(pair: tuple[int, int], comparison: Comparison) -> tuple[int, int]:
        """The pair as (better, worse) by the direction of its difference."""
        i, j = pair
        return (j, i) if sign * comparison.difference > 0 else (i, j)

    bounds = _rank_bounds(len(compared), (ordered(pair, c) for pair, c, hit in zip(tested, comparisons, holm) if hit))
    keys = [-sign * interval.mean for interval in means]
    order = sorted(range(len(compared)), key=lambda m: (keys[m], m))
    distinct = {frozenset(pair) for pair, hit in zip(tested, rejected) if hit}
    tiers = _tiers(order, distinct)
    tier_of = {model: number for number, tier in enumerate(tiers, start=1) for model in tier}
    pairs = [
        ModelPair(
            baseline=names[i], candidate=names[j],
            comparison=dataclasses.replace(comparison, p_adjusted=p, rejected=hit),
            better=names[ordered((i, j), comparison)[0]] if hit else None,
        )
        for (i, j), comparison, p, hit in zip(tested, comparisons, adjusted, rejected)
    ]
    entries = tuple(
        RankedModel(
            model=names[m], mean=means[m].mean, ci_lower=means[m].ci_lower, ci_upper=means[m].ci_upper,
            rank=1 + sum(key < keys[m] for key in keys), rank_lower=bounds[m][0], rank_upper=bounds[m][1],
            tier=tier_of[m], interval=means[m],
        )
        for m in order
    )
    board = Leaderboard(
        metric=metric,
        models=entries,
        pairs=tuple(pairs),
        tiers=tuple(tuple(names[m] for m in tier) for tier in tiers),
        baseline=None if baseline is None else str(baseline),
        higher_is_better=higher_is_better,
        correction=adjustment,
        alpha=level,
        confidence_level=options.confidence_level,
        n_items=means[0].n_items,
        n_clusters=means[0].n_clusters,
        n_dropped=n_dropped,
        seed=options.seed,
        warnings=_notes(list(zip(names, means)), pairs),
    )
    warn_once(board.warnings, stacklevel=2)
    return board


if compare_models.__doc__:  # docstrings stripped (python -OO)
    compare_models.__doc__ = compare_models.__doc__.replace("{method}", METHOD_DOC).replace("{threads}", THREADS_DOC)


def _signed(value: float) -> str:
    return f"{value:+.4f}"


def format_leaderboard(board: Leaderboard, source: str) -> str:
    """The leaderboard as a report prints it: a header, one line per model in
    rank order, the significant pairs and the warnings. ``source`` names the data
    (a file's path)."""
    level = f"{100 * board.confidence_level:g}%"
    clusters = "" if board.n_clusters is None else f" in {board.n_clusters} clusters"
    dropped = f" ({board.n_dropped} dropped)" if board.n_dropped else ""
    direction = "higher" if board.higher_is_better else "lower"
    lines = [
        f"{board.metric}: {len(board)} models on {board.n_items} items{clusters}{dropped}: {source}",
        f"{direction} is better; pairs adjusted by {board.correction.value} at alpha {board.alpha:g}; "
        f"rank intervals hold jointly with probability >= {1 - board.alpha:.4g} (Holm); seed {board.seed}",
        "",
    ]
    header = ("rank", "rank interval", "model", "mean", f"{level} interval", "tier")
    body = [(str(entry.rank), f"[{entry.rank_lower}, {entry.rank_upper}]", entry.model, f"{entry.mean:.4f}",
             f"[{entry.ci_lower:.4f}, {entry.ci_upper:.4f}]", str(entry.tier)) for entry in board]
    widths = [max(len(row[i]) for row in (header, *body)) for i in range(len(header))]
    left = {1, 2}
    for row in (header, *body):
        lines.append("  ".join(cell.ljust(width) if i in left else cell.rjust(width)
                               for i, (cell, width) in enumerate(zip(row, widths))).rstrip())
    place = {model: position for position, model in enumerate(board.ranking)}
    significant = sorted((pair for pair in board.pairs if pair.better is not None),
                         key=lambda pair: sorted((place[pair.baseline], place[pair.candidate])))
    lines += ["", f"significant pairs (adjusted p <= {board.alpha:g}):" if significant else
              f"no pair differs significantly (adjusted p <= {board.alpha:g})"]
    for pair in significant:
        c = pair.comparison
        flip = pair.better == pair.baseline
        worse = pair.baseline if pair.better == pair.candidate else pair.candidate
        difference, low, high = (-c.difference, -c.ci_upper, -c.ci_lower) if flip else (c.difference, c.ci_lower,
                                                                                          c.ci_upper)
        lines.append(f"  {pair.better} > {worse}: {_signed(difference)} [{_signed(low)}, {_signed(high)}], "
                     f"p {c.p_value:.3g}, adjusted {c.p_adjusted:.3g}")
    for what, methods in (("means", [entry.interval.method.value for entry in board]),
                          ("differences", [pair.comparison.method.value for pair in board.pairs])):
        lines.append(f"{level} intervals of the {what} by method {', '.join(dict.fromkeys(methods))}")
    lines += [f"warning: {note}" for note in board.warnings]
    return "\n".join(lines)


def leaderboard_json(board: Leaderboard, source: str) -> dict[str, Any]:
    """Every number of the leaderboard as JSON-ready values, non-finite numbers as null."""
    text = json.dumps({"file": source, **board.to_dict()})
    document: dict[str, Any] = json.loads(text, parse_constant=lambda constant: None)
    return document

"""Tables held by a lazy engine: the pairing and the reduction run there.

A :class:`~mirabund._tables.ScoreTable` whose ``data`` is a narwhals
``LazyFrame`` (a DuckDB relation, a polars ``LazyFrame``, a Dask or PySpark
data frame) is never brought into Python whole. The two models' rows are
joined on the item inside the engine, the checks of the pairing are counts
computed there, and only what inference needs comes back:

- without clusters, each metric's baseline and candidate scores of the
  matched items, ordered by item label (numpy arrays), which then take the
  in-memory path;
- with clusters, for each cluster and metric the count of complete items,
  the sums of the baseline's, the candidate's and the differences' scores,
  and the differences' sum of squared deviations from the cluster's mean,
  from which :func:`infer_sums` computes CR2, Bell-McCaffrey degrees of
  freedom, the log-odds interval of 0/1 rates and the sign-flip test of
  the cluster totals.

Errors name the column and count the offending rows; the row itself is
named only on the in-memory path.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import narwhals.stable.v2 as nw
import numpy as np

from . import _native
from ._checks import Subject, TableError
from ._compare import Comparison, Magnitude, MeanInterval
from ._inference import (
    _UNBOUNDED,
    Inference,
    Method,
    Reference,
    Resampling,
    _binary,
    _fragility,
    _method_for,
    t_or_sign_flips,
    zero_spread_note,
)

__all__ = ["ClusterSums", "MetricSums", "PairedScores", "Spread", "by_item", "check_items", "check_models",
           "cluster_sums", "compare_sums", "infer_sums", "is_lazy", "lazy_frame", "paired_rows", "paired_scores",
           "percentile_from_totals", "reduced_family", "spread_of"]

# Internal column names of the joined frame; only these are selected, so
# they cannot meet the table's own.
ITEM, BASE_CLUSTER, CAND_CLUSTER, CLUSTER = "_item", "_kb", "_kc", "_k"


def is_lazy(data: object) -> bool:
    """Whether a table's rows stay in a lazy engine."""
    return isinstance(data, nw.LazyFrame)


def lazy_frame(native: object) -> Any:
    """A narwhals LazyFrame over ``native``, or None for an eager frame."""
    with warnings.catch_warnings():  # narwhals' notice that Dask support moves to a plug-in
        warnings.simplefilter("ignore", FutureWarning)
        try:
            frame = nw.from_native(native)  # type: ignore[call-overload]
        except Exception:  # not a frame, or an eager one that its own path checks and refuses
            return None
    return frame if isinstance(frame, nw.LazyFrame) else None


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'s' if count != 1 else ''}"


def engine_error(error: Exception) -> TableError:
    """An engine's failure to read or compute (a cell that does not parse), as a table error."""
    from ._tables import shorten

    return TableError(f"the engine could not compute the table: {shorten(str(error), 200)}")


def _run(frame: Any) -> Any:
    """The engine's result of a query, eager; its own errors become table errors."""
    try:
        return frame.collect()
    except (TableError, TypeError, MemoryError, KeyboardInterrupt):
        raise
    except Exception as error:  # each engine has its own error classes
        raise engine_error(error) from None


def _collect(frame: Any) -> dict[str, list[Any]]:
    """A small result of the engine as lists, by column."""
    collected: dict[str, list[Any]] = _run(frame).to_dict(as_series=False)
    return collected


def _count(value: object) -> int:
    return 0 if value is None else int(value)  # type: ignore[call-overload]


def _models_found(table: Any) -> list[str]:
    column = table.model_column
    found = _collect(table.data.select(nw.col(column)).unique().sort(column).head(21))[column]
    return [str(model) for model in found if model is not None]


def check_models(table: Any, baseline: object, candidate: object, nan_policy: str) -> dict[str, int]:
    """Refuse a model without rows and, under "raise", rows without a model
    or item label, by counts from the engine; returns the counts of the
    compared models' rows (``_b``, ``_c``) and of those without an item label
    (``_bu``, ``_cu``, ``_u`` for both)."""
    from ._tables import _listed

    if baseline == candidate:
        raise ValueError(f"candidate must name a model other than the baseline, got {candidate!r} for both")
    model, item = nw.col(table.model_column), nw.col(table.item_column)
    flags = {"_b": model == baseline, "_c": model == candidate, "_n": model.is_null(),
             "_bu": (model == baseline) & item.is_null(), "_cu": (model == candidate) & item.is_null()}
    counts = _collect(table.data.with_columns(**{name: flag.cast(nw.Int64) for name, flag in flags.items()})
                      .select(nw.col(name).sum() for name in flags))
    rows = {name: _count(values[0]) for name, values in counts.items()}
    rows["_u"] = rows["_bu"] + rows["_cu"]
    for role, name, tag in (("baseline", baseline, "_b"), ("candidate", candidate, "_c")):
        if not rows[tag]:
            raise TableError(f"no rows for the {role} model {name!r}", column=table.model_column, argument=role,
                             context=_listed("models found", _models_found(table)))
    if nan_policy == "raise":
        for what, count, column in (("model label", rows["_n"], table.model_column),
                                    ("item label", rows["_u"], table.item_column)):
            if count:
                raise TableError(f"{_plural(count, 'missing ' + what)} for the compared models",
                                 column=column, remedy=("nan_policy", "omit", "drop such rows"))
    return rows


def by_item(table: Any, baseline: object, candidate: object) -> Any:
    """Each item's number of rows of each model (``_nb``, ``_nc``), by one group-by on the item."""
    model, item = nw.col(table.model_column), nw.col(table.item_column)
    rows = table.data.filter(model.is_in([baseline, candidate]) & ~item.is_null()).select(
        item.alias(ITEM), (model == baseline).cast(nw.Int64).alias("_nb"),
        (model == candidate).cast(nw.Int64).alias("_nc"))
    return rows.group_by(ITEM).agg(nw.col("_nb").sum(), nw.col("_nc").sum())


def check_items(table: Any, baseline: object, candidate: object, nan_policy: str) -> int:
    """Refuse an item with two rows for a model and, under "raise", one with
    a row for one model only; returns the number of such unmatched items."""
    counts = by_item(table, baseline, candidate)
    many, alone = (nw.col("_nb") > 1) | (nw.col("_nc") > 1), (nw.col("_nb") == 0) | (nw.col("_nc") == 0)
    found = _collect(counts.with_columns(_many=many.cast(nw.Int64), _alone=alone.cast(nw.Int64))
                     .select(nw.col("_many").sum(), nw.col("_alone").sum()))
    repeated, unmatched = _count(found["_many"][0]), _count(found["_alone"][0])
    if repeated:
        first = _collect(counts.filter(many).head(1))
        model = baseline if first["_nb"][0] > 1 else candidate
        raise TableError(f"{_plural(repeated, 'item')} with more than one row for a model: item {first[ITEM][0]!r} "
                         f"has a second row for model {model!r}", column=table.item_column)
    if unmatched and nan_policy == "raise":
        first = _collect(counts.filter(alone).head(1))
        have, lack = (baseline, candidate) if first["_nb"][0] else (candidate, baseline)
        raise TableError(f"{_plural(unmatched, 'item')} with a row for one model only: item {first[ITEM][0]!r} has a "
                         f"row for model {have!r} but none for model {lack!r}", column=table.item_column,
                         remedy=("nan_policy", "omit", "drop such items"))
    return unmatched


def _side(table: Any, model: object, tag: str) -> Any:
    """One model's rows: its item, cluster and metric columns renamed, a NaN score as missing."""
    columns = [nw.col(table.item_column).alias(ITEM)]
    if table.cluster_column is not None:
        columns.append(nw.col(table.cluster_column).alias(f"_k{tag}"))
    for j, name in enumerate(table.metrics):
        value = nw.col(name).cast(nw.Float64)
        columns.append(nw.when(~value.is_nan()).then(value).alias(f"_{tag}{j}"))
    return table.data.filter(nw.col(table.model_column) == model).select(columns)


def paired_rows(table: Any, baseline: object, candidate: object, how: str = "inner") -> Any:
    """Each item's cluster and scores for both models, by a join on the item
    (a full join keeps the candidate's item as ``_item_right``)."""
    return _side(table, baseline, "b").join(_side(table, candidate, "c"), on=ITEM, how=how)


def _refuse_missing(metric: str, count: int) -> None:
    if count:
        raise TableError(f"{_plural(count, 'item')} with a missing value for the compared models",
                         column=metric, remedy=("nan_policy", "omit", "drop such items"))


@dataclass(frozen=True, slots=True)
class PairedScores:
    """The two models' scores of the matched items, by item label: what
    :class:`~mirabund._tables.Pairs` gives of an in-memory table."""

    columns: dict[str, tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]]
    n_unmatched: int
    clusters: None = None

    @property
    def baseline_rows(self) -> np.ndarray[Any, Any]:
        return np.arange(len(next(iter(self.columns.values()))[0]))

    candidate_rows = baseline_rows

    def scores(self, table: Any, metric: str) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
        return self.columns[metric]


def paired_scores(table: Any, baseline: object, candidate: object, nan_policy: str) -> PairedScores:
    """Each metric's paired scores of a lazy table without clusters, missing as NaN."""
    unlabelled = check_models(table, baseline, candidate, nan_policy)["_u"]
    unmatched = check_items(table, baseline, candidate, nan_policy)
    frame = _run(paired_rows(table, baseline, candidate).sort(ITEM))
    columns = {}
    for j, metric in enumerate(table.metrics):
        pair = (np.asarray(frame[f"_b{j}"].to_numpy(), dtype=np.float64),
                np.asarray(frame[f"_c{j}"].to_numpy(), dtype=np.float64))
        if nan_policy == "raise":
            _refuse_missing(metric, int(np.count_nonzero(np.isnan(pair[0]) | np.isnan(pair[1]))))
        columns[metric] = pair
    return PairedScores(columns, unmatched + unlabelled)


@dataclass(frozen=True, slots=True)
class ClusterSums:
    """Per-cluster counts, totals and (for differences) sums of squared
    deviations from each cluster's own mean, clusters ordered by label."""

    counts: np.ndarray[Any, np.dtype[np.int64]]
    totals: np.ndarray[Any, np.dtype[np.float64]]
    squares: np.ndarray[Any, np.dtype[np.float64]] | None = None

    def kept(self) -> ClusterSums:
        """Without the clusters that hold no complete item."""
        keep = self.counts > 0
        return ClusterSums(self.counts[keep], self.totals[keep], None if self.squares is None else self.squares[keep])


@dataclass(frozen=True, slots=True)
class MetricSums:
    """What a metric's comparison needs of a clustered lazy table."""

    baseline: ClusterSums
    candidate: ClusterSums
    differences: ClusterSums
    binary: tuple[bool, bool, bool]  # baseline, candidate in {0, 1}; differences in {-1, 0, 1}
    equal: bool  # equal for both models on every matched item (missing alike)
    n_dropped: int


def cluster_sums(table: Any, baseline: object, candidate: object, nan_policy: str) -> dict[str, MetricSums]:
    """Each metric's per-cluster sums, computed in the engine by a full join
    of the two models' rows on the item and a group-by on the cluster.

    The join's counts check the pairing: an item repeated for a model that
    the other has multiplies its rows, so the matched rows outnumber one
    model's rows less its unmatched ones; only when they do, or some items
    are unmatched, does a group-by on the item find which."""
    rows = check_models(table, baseline, candidate, nan_policy)
    base_item, cand_item = nw.col(ITEM), nw.col(f"{ITEM}_right")
    matched = ~base_item.is_null() & ~cand_item.is_null()
    same = nw.col(BASE_CLUSTER) == nw.col(CAND_CLUSTER)
    derived: dict[str, Any] = {
        CLUSTER: nw.when(same).then(nw.col(BASE_CLUSTER)), "_mm": (~same).cast(nw.Int64),
        "_matched": matched.cast(nw.Int64), "_fb": cand_item.is_null().cast(nw.Int64),
        "_fc": base_item.is_null().cast(nw.Int64)}
    sums = [nw.col(name).sum() for name in ("_mm", "_matched", "_fb", "_fc")]
    for j in range(len(table.metrics)):
        b, c = nw.col(f"_b{j}"), nw.col(f"_c{j}")
        lost = nw.when(matched).then(b.is_null() | c.is_null())
        keep = matched & ~(b.is_null() | c.is_null())
        derived |= {
            f"_d{j}": nw.when(keep).then(c - b), f"_x{j}": nw.when(keep).then(b), f"_y{j}": nw.when(keep).then(c),
            f"_nx{j}": nw.when(keep).then((~b.is_in([0.0, 1.0])).cast(nw.Int64)),
            f"_ny{j}": nw.when(keep).then((~c.is_in([0.0, 1.0])).cast(nw.Int64)),
            f"_nd{j}": nw.when(keep).then((~(c - b).is_in([-1.0, 0.0, 1.0])).cast(nw.Int64)),
            f"_lost{j}": lost.cast(nw.Int64),
            f"_ne{j}": nw.when(keep).then((b != c).cast(nw.Int64)).otherwise(
                nw.when(matched).then((b.is_null() != c.is_null()).cast(nw.Int64))),
        }
        sums += [nw.col(f"_d{j}").count().alias(f"_n{j}"), nw.col(f"_d{j}").sum(),
                 nw.col(f"_d{j}").var(ddof=0).alias(f"_v{j}"), nw.col(f"_x{j}").sum(), nw.col(f"_y{j}").sum(),
                 *(nw.col(f"{name}{j}").sum() for name in ("_nx", "_ny", "_nd", "_lost", "_ne"))]
    paired = paired_rows(table, baseline, candidate, how="full")
    found = _collect(paired.with_columns(**derived).group_by(CLUSTER, drop_null_keys=False).agg(*sums))
    labels = found[CLUSTER]
    named = sorted((position for position, label in enumerate(labels) if label is not None),
                   key=lambda position: labels[position])
    total = {name: sum(_count(value) for value in values) for name, values in found.items() if name != CLUSTER}
    unmatched = total["_fb"] + total["_fc"]
    repeated = total["_matched"] > min(rows["_b"] - rows["_bu"] - total["_fb"], rows["_c"] - rows["_cu"] - total["_fc"])
    if repeated or unmatched:
        unmatched = check_items(table, baseline, candidate, nan_policy)
    column = str(table.cluster_column)
    if total["_mm"]:
        mismatch = _collect(paired.filter(matched & ~same).head(1))
        raise TableError(f"{_plural(total['_mm'], 'item')} in one cluster for model {baseline!r} and another for "
                         f"model {candidate!r}: item {mismatch[ITEM][0]!r} is in {mismatch[BASE_CLUSTER][0]!r} and "
                         f"{mismatch[CAND_CLUSTER][0]!r}", column=column)
    clustered = sum(_count(found["_matched"][position]) for position in named)
    if nan_policy == "raise" and total["_matched"] > clustered:  # a matched item without a cluster label
        raise TableError(f"{_plural(total['_matched'] - clustered, 'item')} without a cluster label for the "
                         f"compared models", column=column, remedy=("nan_policy", "omit", "drop such items"))

    def per_cluster(name: str, kind: Any = np.float64) -> np.ndarray[Any, Any]:
        values = found[name]
        return np.array([0 if values[p] is None else values[p] for p in named], dtype=kind)

    reduced = {}
    for j, metric in enumerate(table.metrics):
        if nan_policy == "raise":
            _refuse_missing(metric, total[f"_lost{j}"])
        counts = per_cluster(f"_n{j}", np.int64)
        reduced[metric] = MetricSums(
            baseline=ClusterSums(counts, per_cluster(f"_x{j}")),
            candidate=ClusterSums(counts, per_cluster(f"_y{j}")),
            differences=ClusterSums(counts, per_cluster(f"_d{j}"), per_cluster(f"_v{j}") * counts),
            binary=(not total[f"_nx{j}"], not total[f"_ny{j}"], not total[f"_nd{j}"]),
            equal=not total[f"_ne{j}"],
            n_dropped=rows["_u"] + unmatched + total["_matched"] - int(counts.sum()),
        )
    return reduced


@dataclass(frozen=True, slots=True)
class Spread:
    """The names ``_native.mean_standard_error`` gives, from cluster sums."""

    mean: float
    standard_deviation: float
    standard_error: float
    cr2_standard_error: float
    degrees_of_freedom: float


def spread_of(sums: ClusterSums) -> Spread:
    """The mean, standard deviation, cluster-robust standard errors (CR1 as
    ``standard_error``, as the engine gives it with clusters) and CR2's
    Bell-McCaffrey degrees of freedom, from cluster totals and counts:
    R_c = T_c - N_c * mean, S = sum R_c^2, CR1 = sqrt(k / (k - 1) * S) / n,
    S2 = sum R_c^2 / (1 - N_c / n), df from N_c only; the deviations about
    the mean are the clusters' own plus R_c^2 / N_c."""
    n = float(sums.counts.sum())
    sizes = sums.counts.astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        mean = math.fsum(sums.totals) / n
        residuals = sums.totals - sizes * mean
        outside = (n - sizes) / n
        cr2 = math.sqrt(math.fsum(residuals * residuals / outside)) / n
        k = float(len(sizes))
        cr1 = math.sqrt((k / (k - 1.0)) * math.fsum(residuals * residuals)) / n
        shares = sizes / n
        u = shares * shares / outside
        trace = math.fsum(shares * shares + u * (u.sum() - u))
        deviation = math.nan
        if sums.squares is not None:
            deviation = math.sqrt((math.fsum(sums.squares) + math.fsum(residuals * residuals / sizes)) / (n - 1.0))
    return Spread(mean, deviation, cr1, cr2, 1.0 / trace)


def percentile_from_totals(sums: ClusterSums, options: Resampling) -> tuple[float, float]:
    """The percentile cluster bootstrap interval from cluster totals and counts.

    The engine's totals are summed in its own order, so the bounds can
    differ from the in-memory ones in their last bits."""
    (interval,) = _native.shared_cluster_bootstrap_means([sums.totals], sums.counts, options.n_resamples,
                                                          options.confidence_level, options.seed, options.threads)
    return interval.ci_lower, interval.ci_upper


def infer_sums(sums: ClusterSums, options: Resampling, subject: Subject, *, n_dropped: int, binary: bool,
               of: str = "scores", paired: bool = False) -> Inference:
    """:func:`~mirabund._inference.infer` of clustered values given by their cluster sums."""
    sums = sums.kept()
    n_items, n_clusters = int(sums.counts.sum()), len(sums.counts)
    dropped = f" after dropping {n_dropped} incomplete item{'s' if n_dropped != 1 else ''}" if n_dropped else ""
    if n_items < 2:
        raise subject.refusal(f"at least 2 items are needed, got {n_items}{dropped}")
    if options.block_size != 1:
        raise ValueError(
            f"block_size must be 1 when clusters are given (whole clusters are resampled), got {options.block_size}")
    if n_clusters < 2:
        raise subject.refusal(f"items from at least 2 clusters are needed, got {n_clusters}{dropped}")
    # The method's choice reads only whether the values are 0/1 (or -1/0/1).
    method = _method_for(options, np.zeros(1) if binary else np.full(1, 0.5), True, paired)
    spread = spread_of(sums)
    subject.check_finite(of, ("their sum", spread.mean),
                         ("the sum of the squares of their CR2 standard error", spread.cr2_standard_error))
    mean, level = spread.mean, options.confidence_level
    # Only the largest cluster's size is read of the codes.
    notes = _fragility(n_items, np.zeros(int(sums.counts.max()), dtype=np.intp), n_clusters)
    standard_error, degrees_of_freedom = spread.cr2_standard_error, None
    if method is Method.BINARY:
        lower, upper, p_value, reference, degrees_of_freedom = _binary(
            np.empty(0), np.arange(n_clusters), spread, level, False)  # type: ignore[arg-type]
        return Inference(mean, spread.standard_deviation, standard_error, lower, upper, p_value, method, reference,
                         degrees_of_freedom, n_items, n_clusters, None, tuple(notes))
    if method is not Method.EXACT and standard_error == 0.0:
        notes.append(zero_spread_note("the clusters' means are equal", paired))
        if not paired:
            return Inference(mean, spread.standard_deviation, 0.0, mean, mean, math.nan, method, Reference.T,
                             None, n_items, n_clusters, None, tuple(notes))
        method = Method.EXACT
    if method in (Method.CR2, Method.EXACT):
        lower, upper, p_value, reference, degrees_of_freedom = t_or_sign_flips(
            method, mean, standard_error, spread.degrees_of_freedom, level,
            lambda: _native.sign_flip_test(sums.totals, sums.counts.astype(np.float64), options.n_resamples, level,
                                           options.seed))
    else:
        lower, upper = percentile_from_totals(sums, options)
        standard_error = spread.standard_error
        p_value = math.erfc(abs(mean / standard_error) / math.sqrt(2.0))
        reference = Reference.NORMAL
    if method is not Method.PERCENTILE and (math.isinf(lower) or math.isinf(upper)):
        notes.append(_UNBOUNDED[method])
    return Inference(mean, spread.standard_deviation, standard_error, lower, upper, p_value, method, reference,
                     degrees_of_freedom, n_items, n_clusters, None, tuple(notes))


def _ratio(difference: float, spread: float) -> float:
    if spread == 0.0:
        return 0.0 if difference == 0.0 else math.copysign(math.inf, difference)
    return difference / spread


def _mean_of(sums: ClusterSums, binary: bool, options: Resampling, subject: Subject, n_dropped: int) -> MeanInterval:
    summary = infer_sums(sums, options, subject, n_dropped=n_dropped, binary=binary)
    return MeanInterval(
        mean=summary.mean, standard_error=summary.standard_error, ci_lower=summary.ci_lower,
        ci_upper=summary.ci_upper, confidence_level=options.confidence_level, method=summary.method,
        degrees_of_freedom=summary.degrees_of_freedom, n_items=summary.n_items, n_clusters=summary.n_clusters,
        n_dropped=n_dropped, block_size=None, n_resamples=options.n_resamples, seed=options.seed,
        warnings=summary.warnings)


def compare_sums(metric: str, sums: MetricSums, options: Resampling) -> Comparison:
    """:func:`~mirabund._compare.paired_comparison` of a metric given by its cluster sums."""
    subject = Subject(metric, in_table=True)
    differences = infer_sums(sums.differences, options, subject, n_dropped=sums.n_dropped,
                             binary=sums.binary[2], of="differences", paired=True)
    n = float(sums.differences.counts.sum())
    means = {role: math.fsum(part.totals) / n for role, part in (("baseline", sums.baseline),
                                                                  ("candidate", sums.candidate))}
    subject.check_finite("scores", *((f"the sum of the {role}'s scores", mean) for role, mean in means.items()))
    difference = differences.mean
    d_z = _ratio(difference, differences.standard_deviation)
    return Comparison(
        metric=metric, baseline_mean=means["baseline"], candidate_mean=means["candidate"], difference=difference,
        ci_lower=differences.ci_lower, ci_upper=differences.ci_upper, confidence_level=options.confidence_level,
        standard_error=differences.standard_error, z=_ratio(difference, differences.standard_error),
        p_value=differences.p_value, method=differences.method, reference=differences.reference,
        degrees_of_freedom=differences.degrees_of_freedom, p_adjusted=None, rejected=None, d_z=d_z,
        magnitude=Magnitude.of(d_z), n_items=differences.n_items, n_clusters=differences.n_clusters,
        n_dropped=sums.n_dropped, block_size=None, n_resamples=options.n_resamples, seed=options.seed,
        warnings=differences.warnings)


def reduced_family(
    table: Any, baseline: object, candidate: object, by_default: bool, options: Resampling,
    mean_options: Resampling, with_means: bool,
) -> tuple[list[Comparison], list[tuple[MeanInterval, MeanInterval]], tuple[str, ...]]:
    """The comparisons (and each model's mean intervals) of a clustered lazy
    table's metrics, and the metrics left out as properties of the items."""
    reduced = cluster_sums(table, baseline, candidate, options.nan_policy)
    properties: tuple[str, ...] = ()
    if by_default:
        properties = tuple(metric for metric, sums in reduced.items() if sums.equal)
        if len(properties) == len(reduced):
            raise TableError(f"no metric columns: every numeric column is equal for both models on every item "
                             f"({', '.join(map(repr, properties))}), a property of the items; name the metrics")
    comparisons, means = [], []
    for metric, sums in reduced.items():
        if metric in properties:
            continue
        comparisons.append(compare_sums(metric, sums, options))
        if with_means:
            subject = Subject(metric, in_table=True)
            means.append((_mean_of(sums.baseline, sums.binary[0], mean_options, subject, sums.n_dropped),
                          _mean_of(sums.candidate, sums.binary[1], mean_options, subject, sums.n_dropped)))
    return comparisons, means, properties


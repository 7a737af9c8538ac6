"""The mean of one model's scores, and the paired comparison of two models.

Both routines share one path: the values (one model's scores, or the paired
differences candidate minus baseline) get a standard error from
``_native.mean_standard_error`` (cluster-robust when clusters are given) and
a bootstrap percentile interval, from ``_mirabund_core.block_bootstrap_mean``
without clusters and from ``_native.cluster_bootstrap_mean`` with them. Every
number comes from one of the native routines, whose sums run in input order,
so a seeded result is the same to the last bit on every machine.
"""

from __future__ import annotations

import enum
import math
from dataclasses import dataclass
from typing import ClassVar

import numpy as np

import _mirabund_core

from . import _native
from ._checks import NanPolicy, Subject, check_fraction, check_int, check_nan_policy
from ._results import Result, returns_fields
from ._samples import CodeArray, FloatArray, Labels, Scores, as_clusters, as_scores, keep_complete
from ._seeds import resolve_seed

__all__ = ["Comparison", "Magnitude", "MeanInterval", "compare", "mean_interval"]


class Magnitude(enum.StrEnum):
    """How large a standardized effect is, by the conventional thresholds.

    ``|d| < 0.2`` negligible, ``< 0.5`` small, ``< 0.8`` medium, else large
    (NaN counts as large), the thresholds of ``_mirabund_core.cohens_d``.
    """

    NEGLIGIBLE = "negligible"
    SMALL = "small"
    MEDIUM = "medium"
    LARGE = "large"

    @classmethod
    def of(cls, effect: float) -> Magnitude:
        """The magnitude of the standardized effect ``effect``."""
        size = abs(effect)
        if size < 0.2:
            return cls.NEGLIGIBLE
        if size < 0.5:
            return cls.SMALL
        if size < 0.8:
            return cls.MEDIUM
        return cls.LARGE


@dataclass(frozen=True, slots=True, repr=False)
class MeanInterval(Result):
    """The mean of one model's scores with its standard error and interval.

    Attributes
    ----------
    mean : float
        The mean of the scores used, summed in input order.
    standard_error : float
        sd / sqrt(n) without clusters (n - 1 in the variance); with clusters
        the cluster-robust sqrt(k / (k - 1) * S) / n, S the sum over the k
        clusters of the squared sum of the cluster's residuals from the mean.
    ci_lower, ci_upper : float
        The bootstrap percentile interval of the mean.
    confidence_level : float
        The interval's confidence level.
    n_items : int
        The number of scores used (after any were dropped).
    n_clusters : int or None
        The number of clusters used; None without clusters.
    n_dropped : int
        The number of items dropped for missing values (``nan_policy="omit"``).
    block_size : int or None
        The block length of the moving-block bootstrap; None when whole
        clusters were resampled.
    n_resamples : int
        The number of bootstrap resamples.
    seed : int
        The seed of the resampling: pass it back to repeat the result exactly.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = (
        "mean", "standard_error", "ci_lower", "ci_upper", "n_items", "n_clusters", "seed",
    )
    mean: float
    standard_error: float
    ci_lower: float
    ci_upper: float
    confidence_level: float
    n_items: int
    n_clusters: int | None
    n_dropped: int
    block_size: int | None
    n_resamples: int
    seed: int


@dataclass(frozen=True, slots=True, repr=False)
class Comparison(Result):
    """A paired comparison of a candidate model with a baseline on the same items.

    Attributes
    ----------
    metric : str or None
        The metric compared (set by ``compare_metrics``; None from ``compare``).
    baseline_mean, candidate_mean : float
        The mean score of each model over the items used.
    difference : float
        The mean of the paired differences, candidate minus baseline.
    ci_lower, ci_upper : float
        The bootstrap percentile interval of the mean difference.
    confidence_level : float
        The interval's confidence level.
    standard_error : float
        The standard error of the mean difference: paired (sd of the
        differences over sqrt(n)), cluster-robust with clusters.
    z : float
        ``difference / standard_error`` (0 when both are 0).
    p_value : float
        Two-sided p-value of the normal approximation, ``erfc(|z| / sqrt(2))``.
    p_adjusted : float or None
        The p-value adjusted for the family of metrics (``compare_metrics``);
        None from ``compare``.
    rejected : bool or None
        Whether the adjusted p-value rejects "no difference" at the family's
        alpha (``compare_metrics``); None from ``compare``.
    d_z : float
        The paired effect size: the mean difference over the standard
        deviation of the differences (0 when both are 0, infinite when only
        the deviation is).
    magnitude : Magnitude
        The size of ``d_z`` by the conventional thresholds.
    n_items : int
        The number of paired items used.
    n_clusters : int or None
        The number of clusters used; None without clusters.
    n_dropped : int
        The number of items dropped: missing in either model (and, in
        ``compare_metrics``, present for one model only).
    block_size : int or None
        The block length of the moving-block bootstrap; None when whole
        clusters were resampled.
    n_resamples : int
        The number of bootstrap resamples.
    seed : int
        The seed of the resampling: pass it back to repeat the result exactly.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = (
        "metric", "difference", "ci_lower", "ci_upper", "p_value", "d_z", "n_items", "n_clusters", "seed",
    )
    metric: str | None
    baseline_mean: float
    candidate_mean: float
    difference: float
    ci_lower: float
    ci_upper: float
    confidence_level: float
    standard_error: float
    z: float
    p_value: float
    p_adjusted: float | None
    rejected: bool | None
    d_z: float
    magnitude: Magnitude
    n_items: int
    n_clusters: int | None
    n_dropped: int
    block_size: int | None
    n_resamples: int
    seed: int


@dataclass(frozen=True, slots=True)
class Resampling:
    """The checked resampling options shared by every routine."""

    block_size: int
    n_resamples: int
    confidence_level: float
    seed: int
    nan_policy: NanPolicy

    @classmethod
    def check(
        cls, *, block_size: object, n_resamples: object, confidence_level: object, seed: object, nan_policy: object
    ) -> Resampling:
        return cls(
            block_size=check_int("block_size", block_size, minimum=1),
            n_resamples=check_int("n_resamples", n_resamples, minimum=1, maximum=2**64 - 1),
            confidence_level=check_fraction("confidence_level", confidence_level),
            nan_policy=check_nan_policy(nan_policy),
            seed=resolve_seed(seed),
        )


@dataclass(frozen=True, slots=True)
class Summary:
    """Standard error and bootstrap interval of the mean of some values."""

    mean: float
    standard_deviation: float
    standard_error: float
    ci_lower: float
    ci_upper: float
    n_items: int
    n_clusters: int | None
    block_size: int | None


def summarize(
    values: FloatArray, codes: CodeArray | None, options: Resampling, subject: Subject, *, n_dropped: int,
    of: str = "scores",
) -> Summary:
    """The mean of ``values`` with its standard error and bootstrap interval.

    ``values`` (``of`` names them: the scores, the differences) are
    complete; ``codes`` the clusters' codes 0 .. k-1 in order of first
    appearance, or None. Too few items or clusters, and values so large that
    a statistic overflows, are refused naming ``subject``.
    """
    n_items = len(values)
    dropped = f" after dropping {n_dropped} incomplete item{'s' if n_dropped != 1 else ''}" if n_dropped else ""
    if n_items < 2:
        raise subject.refusal(f"at least 2 items are needed, got {n_items}{dropped}")
    n_clusters = None
    if codes is not None:
        if options.block_size != 1:
            raise ValueError(
                f"block_size must be 1 when clusters are given (whole clusters are resampled), got {options.block_size}"
            )
        n_clusters = int(codes.max()) + 1
        if n_clusters < 2:
            raise subject.refusal(f"items from at least 2 clusters are needed, got {n_clusters}{dropped}")
    elif options.block_size > n_items:
        raise ValueError(f"block_size must be <= the number of items ({n_items}), got {options.block_size}")
    spread = _native.mean_standard_error(values, codes)
    subject.check_finite(of, ("their sum", spread.mean),
                         ("the sum of their squared deviations", spread.standard_deviation),
                         ("the sum of the squares of their standard error", spread.standard_error))
    interval: _mirabund_core.BootstrapResult | _native.ClusterBootstrapResult
    if codes is None:
        interval = _mirabund_core.block_bootstrap_mean(
            values, options.block_size, options.n_resamples, options.confidence_level, seed=options.seed
        )
    else:
        interval = _native.cluster_bootstrap_mean(values, codes, options.n_resamples, options.confidence_level,
                                                  options.seed)
    # A resample can hold more items than the data (a large cluster drawn
    # twice), so its sum can overflow where the data's did not.
    resample = "the sum of a bootstrap resample"
    subject.check_finite(of, (resample, interval.ci_lower), (resample, interval.ci_upper))
    return Summary(spread.mean, spread.standard_deviation, spread.standard_error, interval.ci_lower,
                   interval.ci_upper, n_items, n_clusters, options.block_size if codes is None else None)


@returns_fields(MeanInterval)
def mean_interval(
    x: Scores,
    *,
    clusters: Labels | None = None,
    block_size: int = 1,
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
) -> MeanInterval:
    """The mean of one model's scores, its standard error and a bootstrap interval.

    Parameters
    ----------
    x : sequence of float
        One score per item: a list, numpy array or pandas Series (nullable
        dtypes too). Missing values are NaN, None or ``pd.NA``.
    clusters : sequence of hashable, optional
        One cluster label per item (a topic, a conversation); the items of a
        cluster need not be adjacent. Given, the interval resamples whole
        clusters with replacement (the statistic is the sum of the resampled
        items over their count) and the standard error is cluster-robust.
    block_size : int, default 1
        Without clusters, the length of the blocks of consecutive items that
        the moving-block bootstrap resamples; 1 resamples single items. Must
        be 1 with clusters.
    n_resamples : int, default 10_000
        The number of bootstrap resamples.
    confidence_level : float, default 0.95
        The interval's confidence level, in (0, 1).
    seed : int, optional
        The seed of the resampling, in [0, 2**64). None draws one from the
        operating system; the seed used is in the result either way.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses missing values (score or cluster label) with a
        ``ValueError`` saying how many there are and where the first is;
        "omit" drops those items and counts them in ``n_dropped``.

    Returns
    -------
    MeanInterval
        {fields}

    Raises
    ------
    TypeError
        For an argument of the wrong kind (text for scores, a float count).
    ValueError
        For missing values under "raise", infinite scores, scores so large
        that their sums overflow a float, fewer than 2 items or 2 clusters, a
        block longer than the data, and options out of range.

    Examples
    --------
    >>> import mirabund
    >>> r = mirabund.mean_interval([0.7, 0.6, 0.8, 0.75, 0.65, 0.9], seed=1)
    >>> round(r.mean, 4), r.n_items
    (0.7333, 6)
    """
    options = Resampling.check(block_size=block_size, n_resamples=n_resamples,
                               confidence_level=confidence_level, seed=seed, nan_policy=nan_policy)
    scores = as_scores("x", x)
    groups = None if clusters is None else as_clusters(clusters, len(scores))
    keep, n_dropped = keep_complete({"x": scores}, options.nan_policy, clusters=groups)
    codes = None if groups is None else groups.select(keep)
    return mean_interval_of(scores[keep], codes, options, Subject("x"), n_dropped=n_dropped)


def mean_interval_of(
    values: FloatArray, codes: CodeArray | None, options: Resampling, subject: Subject, *, n_dropped: int
) -> MeanInterval:
    """The ``MeanInterval`` of complete scores; arguments as for :func:`summarize`."""
    summary = summarize(values, codes, options, subject, n_dropped=n_dropped)
    return MeanInterval(
        mean=summary.mean,
        standard_error=summary.standard_error,
        ci_lower=summary.ci_lower,
        ci_upper=summary.ci_upper,
        confidence_level=options.confidence_level,
        n_items=summary.n_items,
        n_clusters=summary.n_clusters,
        n_dropped=n_dropped,
        block_size=summary.block_size,
        n_resamples=options.n_resamples,
        seed=options.seed,
    )


def _ratio(difference: float, spread: float) -> float:
    """``difference / spread``; a zero spread gives 0 for no difference, else an infinity."""
    if spread == 0.0:
        return 0.0 if difference == 0.0 else math.copysign(math.inf, difference)
    return difference / spread


def paired_comparison(
    baseline: FloatArray,
    candidate: FloatArray,
    codes: CodeArray | None,
    options: Resampling,
    subject: Subject,
    *,
    n_dropped: int,
    metric: str | None = None,
) -> Comparison:
    """Compare complete, paired scores; ``codes`` and ``subject`` as for :func:`summarize`."""
    with np.errstate(over="ignore"):
        paired = candidate - baseline
    if not np.isfinite(paired).all():
        raise subject.refusal("the scores are too large: a difference candidate - baseline overflows a float; "
                              "rescale them")
    differences = summarize(paired, codes, options, subject, n_dropped=n_dropped, of="differences")
    means = {role: _native.mean_standard_error(scores).mean for role, scores in
             (("baseline", baseline), ("candidate", candidate))}
    subject.check_finite("scores", *((f"the sum of the {role}'s scores", mean) for role, mean in means.items()))
    difference = differences.mean
    se = differences.standard_error
    z = _ratio(difference, se)
    d_z = _ratio(difference, differences.standard_deviation)
    return Comparison(
        metric=metric,
        baseline_mean=means["baseline"],
        candidate_mean=means["candidate"],
        difference=difference,
        ci_lower=differences.ci_lower,
        ci_upper=differences.ci_upper,
        confidence_level=options.confidence_level,
        standard_error=se,
        z=z,
        p_value=math.erfc(abs(z) / math.sqrt(2.0)),
        p_adjusted=None,
        rejected=None,
        d_z=d_z,
        magnitude=Magnitude.of(d_z),
        n_items=differences.n_items,
        n_clusters=differences.n_clusters,
        n_dropped=n_dropped,
        block_size=differences.block_size,
        n_resamples=options.n_resamples,
        seed=options.seed,
    )


@returns_fields(Comparison)
def compare(
    baseline: Scores,
    candidate: Scores,
    *,
    clusters: Labels | None = None,
    block_size: int = 1,
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
) -> Comparison:
    """Is the candidate better than the baseline on the same items, and by how much?

    Scores are paired by position: item i of ``baseline`` is item i of
    ``candidate``. The comparison works on the paired differences, candidate
    minus baseline, which removes the items' own difficulty from the noise.

    The p-value is the two-sided normal approximation
    ``erfc(|z| / sqrt(2))`` with ``z = difference / standard_error``. It is
    close when there are many items (or, with clusters, many clusters) and
    no cluster dominates; with fewer than about 30 clusters, or clusters of
    very unequal size, the cluster-robust standard error is biased low and
    the p-value too small, so read it together with the interval.

    Parameters
    ----------
    baseline, candidate : sequence of float
        One score per item for each model, in the same item order, of equal
        length: lists, numpy arrays or pandas Series (nullable dtypes too).
        Missing values are NaN, None or ``pd.NA``.
    clusters : sequence of hashable, optional
        One cluster label per item (a topic, a conversation); the items of a
        cluster need not be adjacent. Given, the interval resamples whole
        clusters with replacement and the standard error is cluster-robust.
    block_size : int, default 1
        Without clusters, the block length of the moving-block bootstrap of
        the differences; must be 1 with clusters.
    n_resamples : int, default 10_000
        The number of bootstrap resamples.
    confidence_level : float, default 0.95
        The interval's confidence level, in (0, 1).
    seed : int, optional
        The seed of the resampling, in [0, 2**64). None draws one from the
        operating system; the seed used is in the result either way.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses missing values with a ``ValueError`` saying how many
        there are and where the first is; "omit" drops every item missing in
        either model (or its cluster label) and counts them in ``n_dropped``.

    Returns
    -------
    Comparison
        {fields}

    Raises
    ------
    TypeError
        For an argument of the wrong kind.
    ValueError
        For inputs of different lengths, missing values under "raise",
        infinite scores, scores so large that their differences or sums
        overflow a float, fewer than 2 items or 2 clusters, a block longer
        than the data, and options out of range.

    Examples
    --------
    >>> import mirabund
    >>> base = [0.61, 0.70, 0.55, 0.80, 0.66, 0.72]
    >>> cand = [0.68, 0.71, 0.63, 0.86, 0.70, 0.79]
    >>> r = mirabund.compare(base, cand, seed=7)
    >>> round(r.difference, 4), r.magnitude
    (0.055, <Magnitude.LARGE: 'large'>)
    """
    options = Resampling.check(block_size=block_size, n_resamples=n_resamples,
                               confidence_level=confidence_level, seed=seed, nan_policy=nan_policy)
    base = as_scores("baseline", baseline)
    cand = as_scores("candidate", candidate)
    if len(base) != len(cand):
        raise ValueError(
            f"baseline and candidate must hold one score per item each, got {len(base)} and {len(cand)} scores"
        )
    groups = None if clusters is None else as_clusters(clusters, len(base))
    keep, n_dropped = keep_complete({"baseline": base, "candidate": cand}, options.nan_policy, clusters=groups)
    codes = None if groups is None else groups.select(keep)
    return paired_comparison(base[keep], cand[keep], codes, options, Subject("baseline and candidate"),
                             n_dropped=n_dropped)

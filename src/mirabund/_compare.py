"""The mean of one model's scores, and the paired comparison of two models.

Both routines share one path, :func:`._inference.infer`: the values (one
model's scores, or the paired differences candidate minus baseline) get a
standard error, an interval and a p-value by the method asked for (by
default CR2 with a t reference on the Bell-McCaffrey degrees of freedom
with clusters, the studentized bootstrap without). Every sum runs in the
native routines in input order, so a seeded result is the same to the last
bit on every machine.
"""

from __future__ import annotations

import enum
import math
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import ClassVar

import numpy as np

from . import _native
from ._checks import NanPolicy, Subject
from ._inference import Inference, Method, Reference, Request, Resampling, infer_all, warn_once
from ._results import Result, returns_fields
from ._samples import CodeArray, FloatArray, Labels, Scores, as_clusters, as_scores, keep_complete

__all__ = [
    "Comparison", "Magnitude", "MeanInterval", "Pair", "compare", "mean_interval", "mean_intervals_of",
    "paired_comparisons",
]


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
        # The bounds |d| does not stay below (NaN stays below none of them).
        passed = sum(not size < bound for bound in _MAGNITUDE_BOUNDS)
        return (cls.NEGLIGIBLE, cls.SMALL, cls.MEDIUM, cls.LARGE)[passed]


_MAGNITUDE_BOUNDS = _native.effect_size_bounds()


@dataclass(frozen=True, slots=True, repr=False)
class MeanInterval(Result):
    """The mean of one model's scores with its standard error and interval.

    Attributes
    ----------
    mean : float
        The mean of the scores used, summed in input order.
    standard_error : float
        sd / sqrt(n) without clusters (n - 1 in the variance). With clusters
        the bias-reduced cluster-robust CR2 form sqrt(S2) / n, S2 the sum
        over clusters of the squared sum of the cluster's residuals from the
        mean, each divided by 1 - (the cluster's share of the items); under
        method "percentile" the CR1 form sqrt(k / (k - 1) * S) / n of the
        same squared sums undivided.
    ci_lower, ci_upper : float
        The interval of the mean, by ``method``.
    confidence_level : float
        The interval's confidence level.
    method : Method
        How the interval was computed: "cr2" (mean +/- a t quantile on
        ``degrees_of_freedom`` times the standard error), "bootstrap-t"
        (the studentized bootstrap) or "percentile" (the percentile
        bootstrap).
    degrees_of_freedom : float or None
        The degrees of freedom of the t reference (Bell-McCaffrey with
        clusters, n - 1 without); None for the other methods.
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
    warnings : tuple of str
        Plain-language notes where the interval is fragile: few clusters or
        items, one cluster holding most items, no spread.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = (
        "mean", "standard_error", "ci_lower", "ci_upper", "method", "n_items", "n_clusters", "seed",
    )
    mean: float
    standard_error: float
    ci_lower: float
    ci_upper: float
    confidence_level: float
    method: Method
    degrees_of_freedom: float | None
    n_items: int
    n_clusters: int | None
    n_dropped: int
    block_size: int | None
    n_resamples: int
    seed: int
    warnings: tuple[str, ...] = ()


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
        The interval of the mean difference, by ``method``.
    confidence_level : float
        The interval's confidence level.
    standard_error : float
        The standard error of the mean difference: paired (sd of the
        differences over sqrt(n)) without clusters; with clusters the
        bias-reduced cluster-robust CR2 form (CR1 under "percentile").
    z : float
        ``difference / standard_error`` (0 when both are 0, infinite when
        only the standard error is), the statistic the t and normal
        references read.
    p_value : float
        Two-sided p-value of "no difference", by ``method``. Except under
        "percentile", it is below 1 - ``confidence_level`` exactly when the
        interval excludes 0.
    method : Method
        How the interval and p-value were computed: "cr2" (CR2 standard
        error, t reference on the Bell-McCaffrey degrees of freedom; the
        paired t-test without clusters), "bootstrap-t" (studentized
        bootstrap), "exact" (sign-flip randomization test, with the interval
        of the shifts it does not reject; McNemar's exact test for 0/1 pairs
        without clusters) or "percentile" (percentile bootstrap interval,
        normal p-value).
    reference : Reference
        The distribution the p-value is read from: "t", "bootstrap" (the
        resampled t statistics), "randomization" (the sums under flipped
        signs) or "normal".
    degrees_of_freedom : float or None
        The degrees of freedom of the t reference; None for the other
        references.
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
        The number of bootstrap resamples (or sampled sign flips).
    seed : int
        The seed of the resampling: pass it back to repeat the result exactly.
    warnings : tuple of str
        Plain-language notes where the inference is fragile: few clusters
        or items, one cluster holding most items, no spread, an unbounded
        interval.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = (
        "metric", "difference", "ci_lower", "ci_upper", "p_value", "method", "d_z", "n_items", "n_clusters", "seed",
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
    method: Method
    reference: Reference
    degrees_of_freedom: float | None
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
    warnings: tuple[str, ...] = ()


METHOD_DOC = """method : {"auto", "cr2", "binary", "bootstrap-t", "exact", "percentile"}, default "auto"
        How the interval and p-value are computed. "auto" is "binary" for
        0/1 scores (but "cr2" for paired ones with clusters), "cr2" with
        clusters, from 500 items on and for values of at most three
        distinct numbers, "bootstrap-t" for fewer items, and "percentile"
        with a ``block_size`` above 1. "binary": Wilson's interval of a
        rate, McNemar's score test with Tango's interval for paired 0/1
        scores. "cr2": the CR2 standard error with a t
        reference on the Bell-McCaffrey degrees of freedom (without
        clusters, the t reference on n - 1). "bootstrap-t": the studentized
        bootstrap of single items, which follows skewed scores. "exact"
        (differences only): the sign-flip randomization test of the
        differences, or of the clusters' totals, exact when the two models
        are exchangeable, McNemar's exact test for 0/1 scores without
        clusters; all sign patterns when there are at most 16 units, else
        ``n_resamples`` drawn from the seed. "percentile": the percentile
        bootstrap interval with the normal p-value, the first method of the
        package, for comparison only: it under-covers with few clusters or
        items."""

THREADS_DOC = """threads : int, optional
        The threads the bootstrap resamples are split over; None uses every
        core this process may run on. Results are the same to the last bit
        for any number: resample r draws from its own stream of the seed."""


@returns_fields(MeanInterval)
def mean_interval(
    x: Scores,
    *,
    clusters: Labels | None = None,
    method: str | Method = "auto",
    block_size: int = 1,
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
    threads: int | None = None,
) -> MeanInterval:
    """The mean of one model's scores, its standard error and an interval.

    Parameters
    ----------
    x : sequence of float
        One score per item: a list, numpy array or pandas Series (nullable
        dtypes too). Missing values are NaN, None or ``pd.NA``.
    clusters : sequence of hashable, optional
        One cluster label per item (a topic, a conversation); the items of a
        cluster need not be adjacent. Given, the clusters are the
        independent units: the standard error is cluster-robust (and the
        "percentile" method resamples whole clusters).
    {method}
        "exact" does not apply to one model's mean.
    block_size : int, default 1
        For method "percentile" without clusters, the length of the blocks
        of consecutive items that the moving-block bootstrap resamples; 1
        resamples single items.
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
    {threads}

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
        block longer than the data, a method that does not apply, and
        options out of range.

    Warns
    -----
    InferenceWarning
        Where the interval is fragile (the text of each of its ``warnings``).

    Examples
    --------
    >>> import mirabund
    >>> r = mirabund.mean_interval([0.7, 0.6, 0.8, 0.75, 0.65, 0.9], seed=1)
    >>> round(r.mean, 4), r.n_items, r.method
    (0.7333, 6, <Method.BOOTSTRAP_T: 'bootstrap-t'>)
    """
    options = Resampling.check(method=method, block_size=block_size, n_resamples=n_resamples,
                               confidence_level=confidence_level, seed=seed, nan_policy=nan_policy, threads=threads)
    scores = as_scores("x", x)
    groups = None if clusters is None else as_clusters(clusters, len(scores))
    keep, n_dropped = keep_complete({"x": scores}, options.nan_policy, clusters=groups)
    codes = None if groups is None else groups.select(keep)
    result = mean_interval_of(scores[keep], codes, options, Subject("x"), n_dropped=n_dropped)
    warn_once(result.warnings, stacklevel=2)
    return result


def mean_interval_of(
    values: FloatArray, codes: CodeArray | None, options: Resampling, subject: Subject, *, n_dropped: int
) -> MeanInterval:
    """The ``MeanInterval`` of complete scores; arguments as for :func:`infer`."""
    return mean_intervals_of([Request(values, codes, subject, n_dropped)], options)[0]


def mean_intervals_of(requests: Sequence[Request], options: Resampling) -> list[MeanInterval]:
    """The ``MeanInterval`` of each request's complete scores, those of the
    same items resampled together (:func:`infer_all`)."""
    return [
        MeanInterval(
            mean=summary.mean,
            standard_error=summary.standard_error,
            ci_lower=summary.ci_lower,
            ci_upper=summary.ci_upper,
            confidence_level=options.confidence_level,
            method=summary.method,
            degrees_of_freedom=summary.degrees_of_freedom,
            n_items=summary.n_items,
            n_clusters=summary.n_clusters,
            n_dropped=request.n_dropped,
            block_size=summary.block_size,
            n_resamples=options.n_resamples,
            seed=options.seed,
            warnings=summary.warnings,
        )
        for request, summary in zip(requests, infer_all(requests, options))
    ]


def _ratio(difference: float, spread: float) -> float:
    """``difference / spread``; a zero spread gives 0 for no difference, else an infinity."""
    if spread == 0.0:
        return 0.0 if difference == 0.0 else math.copysign(math.inf, difference)
    return difference / spread


@dataclass(frozen=True, slots=True)
class Pair:
    """Complete, paired scores of two models to compare; ``codes`` and
    ``subject`` as for :func:`infer`, ``items`` as a :class:`Request`'s."""

    baseline: FloatArray
    candidate: FloatArray
    codes: CodeArray | None
    subject: Subject
    n_dropped: int
    metric: str | None = None
    items: Hashable = None


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
    """Compare complete, paired scores; ``codes`` and ``subject`` as for :func:`infer`."""
    return paired_comparisons([Pair(baseline, candidate, codes, subject, n_dropped, metric)], options)[0]


def paired_comparisons(pairs: Sequence[Pair], options: Resampling) -> list[Comparison]:
    """The comparison of each pair, the differences of the same items
    resampled together (:func:`infer_all`)."""
    requests = []
    for pair in pairs:
        with np.errstate(over="ignore"):
            paired = pair.candidate - pair.baseline
        if not np.isfinite(paired).all():
            raise pair.subject.refusal("the scores are too large: a difference candidate - baseline overflows a "
                                       "float; rescale them")
        requests.append(Request(paired, pair.codes, pair.subject, pair.n_dropped, "differences", True, pair.items))
    return [_comparison(pair, differences, options)
            for pair, differences in zip(pairs, infer_all(requests, options))]


def _comparison(pair: Pair, differences: Inference, options: Resampling) -> Comparison:
    means = {role: _native.mean_standard_error(scores).mean for role, scores in
             (("baseline", pair.baseline), ("candidate", pair.candidate))}
    pair.subject.check_finite("scores", *((f"the sum of the {role}'s scores", mean) for role, mean in means.items()))
    difference = differences.mean
    d_z = _ratio(difference, differences.standard_deviation)
    return Comparison(
        metric=pair.metric,
        baseline_mean=means["baseline"],
        candidate_mean=means["candidate"],
        difference=difference,
        ci_lower=differences.ci_lower,
        ci_upper=differences.ci_upper,
        confidence_level=options.confidence_level,
        standard_error=differences.standard_error,
        z=_ratio(difference, differences.standard_error),
        p_value=differences.p_value,
        method=differences.method,
        reference=differences.reference,
        degrees_of_freedom=differences.degrees_of_freedom,
        p_adjusted=None,
        rejected=None,
        d_z=d_z,
        magnitude=Magnitude.of(d_z),
        n_items=differences.n_items,
        n_clusters=differences.n_clusters,
        n_dropped=pair.n_dropped,
        block_size=differences.block_size,
        n_resamples=options.n_resamples,
        seed=options.seed,
        warnings=differences.warnings,
    )


@returns_fields(Comparison)
def compare(
    baseline: Scores,
    candidate: Scores,
    *,
    clusters: Labels | None = None,
    method: str | Method = "auto",
    block_size: int = 1,
    n_resamples: int = 10_000,
    confidence_level: float = 0.95,
    seed: int | None = None,
    nan_policy: NanPolicy = "raise",
    threads: int | None = None,
) -> Comparison:
    """Is the candidate better than the baseline on the same items, and by how much?

    Scores are paired by position: item i of ``baseline`` is item i of
    ``candidate``. The comparison works on the paired differences, candidate
    minus baseline, which removes the items' own difficulty from the noise.

    By default the interval and p-value keep their level with few clusters
    of unequal size, few items and 0/1 scores (``method``); the p-value is
    below 1 - ``confidence_level`` exactly when the interval excludes 0.

    Parameters
    ----------
    baseline, candidate : sequence of float
        One score per item for each model, in the same item order, of equal
        length: lists, numpy arrays or pandas Series (nullable dtypes too).
        Missing values are NaN, None or ``pd.NA``.
    clusters : sequence of hashable, optional
        One cluster label per item (a topic, a conversation); the items of a
        cluster need not be adjacent. Given, the clusters are the
        independent units: the standard error is cluster-robust.
    {method}
    block_size : int, default 1
        For method "percentile" without clusters, the block length of the
        moving-block bootstrap of the differences.
    n_resamples : int, default 10_000
        The number of bootstrap resamples (sampled sign patterns for
        "exact").
    confidence_level : float, default 0.95
        The interval's confidence level, in (0, 1).
    seed : int, optional
        The seed of the resampling, in [0, 2**64). None draws one from the
        operating system; the seed used is in the result either way.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses missing values with a ``ValueError`` saying how many
        there are and where the first is; "omit" drops every item missing in
        either model (or its cluster label) and counts them in ``n_dropped``.
    {threads}

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
        than the data, a method that does not apply, and options out of
        range.

    Warns
    -----
    InferenceWarning
        Where the inference is fragile (the text of each of its ``warnings``).

    Examples
    --------
    >>> import mirabund
    >>> base = [0.61, 0.70, 0.55, 0.80, 0.66, 0.72]
    >>> cand = [0.68, 0.71, 0.63, 0.86, 0.70, 0.79]
    >>> r = mirabund.compare(base, cand, seed=7)
    >>> round(r.difference, 4), r.magnitude
    (0.055, <Magnitude.LARGE: 'large'>)
    """
    options = Resampling.check(method=method, block_size=block_size, n_resamples=n_resamples,
                               confidence_level=confidence_level, seed=seed, nan_policy=nan_policy, threads=threads)
    base = as_scores("baseline", baseline)
    cand = as_scores("candidate", candidate)
    if len(base) != len(cand):
        raise ValueError(
            f"baseline and candidate must hold one score per item each, got {len(base)} and {len(cand)} scores"
        )
    groups = None if clusters is None else as_clusters(clusters, len(base))
    keep, n_dropped = keep_complete({"baseline": base, "candidate": cand}, options.nan_policy, clusters=groups)
    codes = None if groups is None else groups.select(keep)
    result = paired_comparison(base[keep], cand[keep], codes, options, Subject("baseline and candidate"),
                               n_dropped=n_dropped)
    warn_once(result.warnings, stacklevel=2)
    return result


for _routine in (mean_interval, compare):
    if _routine.__doc__:  # docstrings stripped (python -OO)
        _routine.__doc__ = _routine.__doc__.replace("{method}", METHOD_DOC).replace("{threads}", THREADS_DOC)

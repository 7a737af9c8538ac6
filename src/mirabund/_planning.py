"""How many items a fixed-size eval needs, and what it can detect.

The power of the test the package runs by default: a t-test of the mean
difference on the degrees of freedom that test will have, its power read
from the noncentral t distribution. With items in clusters of mean size m,
a coefficient of variation cv of the cluster sizes and an intra-cluster
correlation rho, every item counts for less, by the design effect
1 + rho * (m * (1 + cv**2) - 1) (Eldridge, Ashby & Kerry 2006), and the
clusters are the test's units: its degrees of freedom are about
(k - 1) / (1 + cv**2) for k = n / m clusters, the median Bell-McCaffrey
degrees of freedom of such designs; without clusters, n - 1. A pilot run
gives sd, rho, m and cv (:func:`estimate_sd_icc`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import ClassVar

import numpy as np

from ._checks import (
    NanPolicy, Subject, check_finite, check_fraction, check_int, check_nan_policy, check_positive, describe,
)
from ._results import Result, returns_fields
from ._samples import Labels, Scores, as_clusters, as_scores, keep_complete

__all__ = ["PilotEstimate", "estimate_sd_icc", "minimum_detectable_effect", "required_items"]

# A power within this relative distance below the target reaches it: the
# root finding of minimum_detectable_effect must not cost an item (its
# inverse must give the count back).
_ROUNDING_SLACK = 1e-9


@dataclass(frozen=True, slots=True)
class _Design:
    """The checked options shared by the two planning routines."""

    alpha: float
    power: float
    two_sided: bool
    cluster_size: float
    cluster_size_cv: float
    design_effect: float

    @classmethod
    def check(cls, *, alpha: object, power: object, two_sided: object, cluster_size: object, icc: object,
              cluster_size_cv: object) -> _Design:
        alpha = check_fraction("alpha", alpha)
        power = check_fraction("power", power)
        if not isinstance(two_sided, (bool, np.bool_)):
            raise TypeError(f"two_sided must be True or False, got {describe(two_sided)}")
        size = check_finite("cluster_size", cluster_size)
        if size < 1.0:
            raise ValueError(f"cluster_size must be a number >= 1 (items per cluster), got {size!r}")
        correlation = check_finite("icc", icc)
        if not 0.0 <= correlation <= 1.0:
            raise ValueError(f"icc must be in [0, 1], got {correlation!r}")
        cv = check_finite("cluster_size_cv", cluster_size_cv)
        if cv < 0.0:
            raise ValueError(f"cluster_size_cv must be a number >= 0, got {cv!r}")
        size_of_test = alpha / 2 if two_sided else alpha
        if not power > size_of_test:
            raise ValueError(f"power must be above {size_of_test!r} for this alpha, got {power!r}")
        return cls(alpha=alpha, power=power, two_sided=bool(two_sided), cluster_size=size, cluster_size_cv=cv,
                   design_effect=1.0 + correlation * (size * (1.0 + cv * cv) - 1.0))

    def degrees_of_freedom(self, n_items: float) -> float:
        """The degrees of freedom of the default test on ``n_items`` items (<= 0: no test)."""
        if self.cluster_size == 1.0:
            return n_items - 1.0
        return (n_items / self.cluster_size - 1.0) / (1.0 + self.cluster_size_cv ** 2)

    def power_at(self, n_items: float, effect: float, sd: float) -> float:
        """The power of the t-test on ``n_items`` items against a true mean difference ``effect``."""
        from scipy import special

        df = self.degrees_of_freedom(n_items)
        if not df > 0.0:
            return 0.0
        shift = abs(effect) / (sd * math.sqrt(self.design_effect / n_items))
        if self.two_sided:
            critical = -float(special.stdtrit(df, self.alpha / 2))
            # P(T > c) + P(T < -c) for a noncentral t with noncentrality
            # `shift`; the second tail underflows to NaN when negligible.
            below = float(special.nctdtr(df, shift, -critical))
            return (0.0 if math.isnan(below) else below) + 1.0 - float(special.nctdtr(df, shift, critical))
        critical = -float(special.stdtrit(df, self.alpha))
        return 1.0 - float(special.nctdtr(df, shift, critical))


def _normal_count(effect: float, sd: float, design: _Design) -> float:
    """The count of the z-test, a lower bound of the t-test's."""
    from statistics import NormalDist

    normal = NormalDist()
    size_of_test = design.alpha / 2 if design.two_sided else design.alpha
    # -inv_cdf(a) rather than inv_cdf(1 - a): exact for a tiny alpha.
    z_total = -normal.inv_cdf(size_of_test) + normal.inv_cdf(design.power)
    return (z_total * sd / effect) ** 2 * design.design_effect


def required_items(
    effect: float,
    sd: float,
    *,
    alpha: float = 0.05,
    power: float = 0.8,
    two_sided: bool = True,
    cluster_size: float = 1,
    icc: float = 0.0,
    cluster_size_cv: float = 0.0,
) -> int:
    """The number of items a fixed-size eval needs to detect a mean difference.

    The smallest count at which the t-test of the mean score (or of the
    mean paired difference between two models) against zero reaches
    ``power``: the test ``compare`` runs by default, on its degrees of
    freedom (n - 1 without clusters; about (k - 1) / (1 + cv**2) with k
    clusters of sizes varying by ``cluster_size_cv``), with the standard
    error sd * sqrt(design effect / n), the design effect being
    1 + icc * (cluster_size * (1 + cluster_size_cv**2) - 1).

    Parameters
    ----------
    effect : float
        The mean difference to detect, in the scores' units (0.05 for five
        points of accuracy); its sign does not matter.
    sd : float
        The standard deviation of one item's score (or paired difference);
        0.5 at most for 0/1 scores.
    alpha : float, default 0.05
        The false-positive rate of the test.
    power : float, default 0.8
        The chance of detecting a true difference of ``effect``.
    two_sided : bool, default True
        A two-sided test or a one-sided one.
    cluster_size : float, default 1
        Items per cluster (the mean size when they differ), at least 1; 1
        plans for items without clusters.
    icc : float, default 0.0
        The intra-cluster correlation of the scores, in [0, 1].
    cluster_size_cv : float, default 0.0
        The coefficient of variation of the cluster sizes (their standard
        deviation over their mean), 0 for equal sizes; unequal clusters
        carry less information and leave the test fewer degrees of freedom.

    Returns
    -------
    int
        The number of items, at least 2 (and more than one cluster's worth);
        divide by ``cluster_size`` for the number of clusters. A power
        within 1e-9 (relative) below the target counts as reaching it, so
        that rounding noise never adds an item.

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range (an effect of 0, a
        power that the test has with no data at all), naming it.
    """
    size = abs(check_finite("effect", effect))
    if size == 0.0:
        raise ValueError("effect must be a nonzero finite number, got 0.0")
    spread = check_positive("sd", sd)
    design = _Design.check(alpha=alpha, power=power, two_sided=two_sided, cluster_size=cluster_size, icc=icc,
                           cluster_size_cv=cluster_size_cv)
    normal = _normal_count(size, spread, design)
    if not math.isfinite(normal) or normal > 2.0**62:
        raise ValueError(f"effect is too small against sd to detect with any number of items, got {effect!r}")
    target = design.power * (1.0 - _ROUNDING_SLACK)

    def reaches(count: int) -> bool:
        return design.power_at(count, size, spread) >= target

    # The t-test needs at least the z-test's count: double from there, then bisect.
    low = max(1, math.floor(normal))
    high = max(2, low)
    while not reaches(high):
        low, high = high, 2 * high
        if high > 2**63:
            raise ValueError(f"effect is too small against sd to detect with any number of items, got {effect!r}")
    while high - low > 1:
        middle = (low + high) // 2
        if reaches(middle):
            high = middle
        else:
            low = middle
    return high if not reaches(low) else low


def minimum_detectable_effect(
    n_items: int,
    sd: float,
    *,
    alpha: float = 0.05,
    power: float = 0.8,
    two_sided: bool = True,
    cluster_size: float = 1,
    icc: float = 0.0,
    cluster_size_cv: float = 0.0,
) -> float:
    """The smallest mean difference an eval of ``n_items`` items detects.

    The inverse of :func:`required_items`: the true mean difference at
    which the default t-test on ``n_items`` items has power ``power``.

    Parameters
    ----------
    n_items : int
        The number of items of the eval, at least 1.
    sd, alpha, power, two_sided, cluster_size, icc, cluster_size_cv
        As for :func:`required_items`.

    Returns
    -------
    float
        The mean difference detected with probability ``power``, in the
        scores' units; infinite when the design leaves the test no degrees
        of freedom (one item, or one cluster's worth of items).

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range, naming it.
    """
    from scipy import optimize

    count = check_int("n_items", n_items, minimum=1)
    spread = check_positive("sd", sd)
    design = _Design.check(alpha=alpha, power=power, two_sided=two_sided, cluster_size=cluster_size, icc=icc,
                           cluster_size_cv=cluster_size_cv)
    if not design.degrees_of_freedom(count) > 0.0:
        return math.inf
    scale = spread * math.sqrt(design.design_effect / count)  # the standard error: effect = shift * scale
    if design.power_at(count, 0.0, spread) >= design.power:
        return 0.0  # a two-sided test rejects with chance alpha under no difference at all
    high = 1.0
    while design.power_at(count, high * scale, spread) < design.power:
        high *= 2.0
    shift = optimize.brentq(lambda s: design.power_at(count, s * scale, spread) - design.power, 0.0, high,
                            xtol=1e-14, rtol=4 * np.finfo(float).eps)
    return float(shift) * scale


@dataclass(frozen=True, slots=True, repr=False)
class PilotEstimate(Result):
    """The standard deviation and intra-cluster correlation of a pilot run.

    Attributes
    ----------
    sd : float
        The standard deviation of one item's score, sqrt(between + within),
        from the variance components of the one-way analysis of variance
        (with the truncated between-cluster component).
    icc : float
        The intra-cluster correlation between / (between + within), with
        between = (MSB - MSW) / n0, truncated at 0 when MSB < MSW; n0 is
        (n - sum of squared cluster sizes / n) / (k - 1), the mean cluster
        size when the sizes are equal.
    mean : float
        The mean of the scores used.
    n_items : int
        The number of scores used.
    n_clusters : int
        The number of clusters k.
    mean_cluster_size : float
        n_items / n_clusters, the ``cluster_size`` to plan with when the
        eval's clusters will be like the pilot's.
    cluster_size_cv : float
        The coefficient of variation of the cluster sizes, their standard
        deviation (n in the variance) over their mean: the
        ``cluster_size_cv`` to plan with.
    n_dropped : int
        The number of items dropped for a missing score or label
        (``nan_policy="omit"``).
    """

    _repr_fields: ClassVar[tuple[str, ...]] = ("sd", "icc", "n_items", "n_clusters")
    sd: float
    icc: float
    mean: float
    n_items: int
    n_clusters: int
    mean_cluster_size: float
    cluster_size_cv: float
    n_dropped: int


@returns_fields(PilotEstimate)
def estimate_sd_icc(
    scores: Scores,
    clusters: Labels,
    *,
    nan_policy: NanPolicy = "raise",
) -> PilotEstimate:
    """Estimate the inputs of :func:`required_items` from a pilot run.

    One-way analysis of variance of the scores by cluster: the between- and
    within-cluster mean squares MSB (k - 1 degrees of freedom) and MSW
    (n - k) give the variance components and the intra-cluster correlation,
    truncated at 0.

    Parameters
    ----------
    scores : sequence of float
        One score per item: a list, numpy array or pandas Series (nullable
        dtypes included); booleans count as 0 and 1.
    clusters : sequence of hashable
        One cluster label per item (a topic, a conversation); the items of a
        cluster need not be adjacent.
    nan_policy : {"raise", "omit"}, default "raise"
        What to do with a missing score or label: refuse, or drop the item.

    Returns
    -------
    PilotEstimate
        {fields}

    Raises
    ------
    TypeError
        For scores that are not numbers, or labels that are not hashable.
    ValueError
        For infinities, missing values under ``nan_policy="raise"``, labels
        that are not one per item, fewer than 2 clusters, no cluster of two
        or more items, scores that are all equal, or scores so large that
        their sums of squares overflow a float.
    """
    policy = check_nan_policy(nan_policy)
    values = as_scores("scores", scores)
    labels = as_clusters(clusters, len(values))
    keep, n_dropped = keep_complete({"scores": values}, policy, clusters=labels)
    used = values[keep]
    codes = labels.select(keep)
    n = len(used)
    k = int(codes.max()) + 1 if n else 0
    if k < 2:
        raise ValueError(f"clusters must hold at least 2 distinct labels, got {k}")
    if n == k:
        raise ValueError("clusters must have a cluster of two or more items, to measure the spread within clusters")
    sizes = np.bincount(codes, minlength=k).astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        cluster_means = np.bincount(codes, weights=used, minlength=k) / sizes
        mean = float(np.mean(used))
        between_squares = float(np.sum(sizes * (cluster_means - mean) ** 2)) / (k - 1)
        within_squares = float(np.sum((used - cluster_means[codes]) ** 2)) / (n - k)
    Subject("scores").check_finite(
        "scores", ("their sum", mean), ("the sum of their squared deviations", between_squares + within_squares)
    )
    n0 = (n - float(np.sum(sizes * sizes)) / n) / (k - 1)
    between = max(0.0, (between_squares - within_squares) / n0)
    total = between + within_squares
    if not total > 0.0:
        raise ValueError(f"scores must vary to estimate their spread: every score used is {float(used[0])!r}")
    return PilotEstimate(
        sd=math.sqrt(total),
        icc=between / total,
        mean=mean,
        n_items=n,
        n_clusters=k,
        mean_cluster_size=n / k,
        cluster_size_cv=float(np.std(sizes)) / (n / k),
        n_dropped=n_dropped,
    )

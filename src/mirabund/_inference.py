"""The interval and p-value of a mean, by a method valid with few units.

Evals live where textbook large-sample formulas fail: a handful of topics
of very unequal size, twenty items, scores of 0 and 1. Each method here
keeps its level there (``validation/inference.py`` measures it):

- ``cr2``: the bias-reduced cluster-robust standard error (CR2) with the
  Bell-McCaffrey degrees of freedom of a t reference. Without clusters it
  is the paired t-test on n - 1 degrees of freedom.
- ``bootstrap-t``: without clusters, the studentized bootstrap, whose
  resampled t statistics carry the data's skew into the interval.
- ``exact``: the sign-flip randomization test of paired differences (of
  cluster totals with clusters), exact under exchangeable models; McNemar's
  exact test for 0/1 pairs without clusters.
- ``binary``: for 0/1 scores. One model's rate: Wilson's score interval,
  and with clusters the CR2 t interval of the log-odds mapped back. Two
  models' paired 0/1 scores (differences in -1, 0, 1) without clusters:
  McNemar's score test with Tango's score interval, its inversion.
- ``percentile``: the percentile bootstrap interval with the normal p-value
  of the cluster-robust (CR1) standard error, the package's first method,
  kept for comparison; the two can disagree.

Under every method but ``percentile`` the p-value is below
1 - confidence_level exactly when the interval excludes 0. The sums run in
the native code in input order, so seeded results repeat to the last bit.
The bootstrap methods resample through one native routine: values over the
same items under the same method share their resamples (one call draws
each resample's items once for all of them), and resample r draws from its
own stream of the seed, so results do not depend on ``threads``.
"""

from __future__ import annotations

import enum
import math
import os
import warnings
from collections.abc import Callable, Hashable, Iterable, Sequence
from dataclasses import dataclass

import numpy as np

from . import _native, _progress
from ._checks import NanPolicy, Subject, check_choice, check_fraction, check_int, check_nan_policy
from ._samples import CodeArray, FloatArray
from ._seeds import resolve_seed

__all__ = [
    "Inference", "InferenceWarning", "Method", "Reference", "Request", "Resampling", "infer", "infer_all", "warn_once",
]

# Below these, inference rests on few independent units; say so.
FEW_CLUSTERS = 10
FEW_ITEMS = 20
# A cluster holding this share of the items or more dominates the estimate.
DOMINANT_SHARE = 0.5
# Values this few (0/1 scores, their differences) leave many bootstrap
# resamples without spread, whose infinite t statistics break the
# bootstrap-t; the t reference keeps its level there.
FEW_VALUES = 3
# From this many items the t reference keeps its level even for very skewed
# values (centred lognormal differences: 6.1% at 500, 5.1% at 1 000, 5.3% at
# 2 000, validation/inference.py), as the bootstrap-t does at 200, while
# resampling n items n_resamples times would cost minutes at millions.
LARGE_SAMPLE = 500


class Method(enum.StrEnum):
    """How an interval and p-value are computed (see :mod:`mirabund` docs).

    ``auto`` picks ``binary`` for 0/1 scores (and for their paired
    differences without clusters), else ``cr2`` with clusters and
    ``bootstrap-t`` without, but ``cr2`` (a t reference) for values of at
    most three distinct numbers, and ``percentile`` when ``block_size`` is
    above 1, the one method that resamples blocks.
    """

    AUTO = "auto"
    CR2 = "cr2"
    BOOTSTRAP_T = "bootstrap-t"
    EXACT = "exact"
    BINARY = "binary"
    PERCENTILE = "percentile"

    @classmethod
    def check(cls, value: object) -> Method:
        """The method named by ``value``, refusing unknown names."""
        return check_choice("method", value, {member.value: member for member in cls})


class Reference(enum.StrEnum):
    """The distribution a p-value and interval are read from."""

    T = "t"  # Student's t on the recorded degrees of freedom
    BOOTSTRAP = "bootstrap"  # the resampled t statistics
    RANDOMIZATION = "randomization"  # the sums under flipped signs
    NORMAL = "normal"


class InferenceWarning(UserWarning):
    """Inference is fragile for these data: few clusters or items, one
    dominant cluster, no spread. The result carries the same text in its
    ``warnings`` field."""


@dataclass(frozen=True, slots=True)
class Resampling:
    """The checked options shared by every routine."""

    method: Method
    block_size: int
    n_resamples: int
    confidence_level: float
    seed: int
    nan_policy: NanPolicy
    threads: int = 1

    @classmethod
    def check(
        cls, *, method: object = "auto", block_size: object, n_resamples: object, confidence_level: object,
        seed: object, nan_policy: object, threads: object = None,
    ) -> Resampling:
        return cls(
            method=Method.check(method),
            block_size=check_int("block_size", block_size, minimum=1),
            n_resamples=check_int("n_resamples", n_resamples, minimum=1, maximum=2**64 - 1),
            confidence_level=check_fraction("confidence_level", confidence_level),
            nan_policy=check_nan_policy(nan_policy),
            seed=resolve_seed(seed),
            threads=_all_cores() if threads is None else check_int(
                "threads", threads, minimum=1, maximum=2**64 - 1, expected="None or an integer >= 1"),
        )


def _all_cores() -> int:
    """The cores this process may run on."""
    count = getattr(os, "process_cpu_count", os.cpu_count)()
    return count or 1


@dataclass(frozen=True, slots=True)
class Inference:
    """The mean of some values with its standard error, interval and p-value of 0."""

    mean: float
    standard_deviation: float
    standard_error: float
    ci_lower: float
    ci_upper: float
    p_value: float
    method: Method
    reference: Reference
    degrees_of_freedom: float | None
    n_items: int
    n_clusters: int | None
    block_size: int | None
    warnings: tuple[str, ...]


_UNBOUNDED = {
    Method.EXACT: "too few units (clusters, or items without clusters) for the sign-flip test to reject at "
                  "this level: the interval is unbounded",
    Method.BOOTSTRAP_T: "the bootstrap-t interval is unbounded: many resamples have no spread (few distinct "
                        "values); method 'exact' suits such scores",
    Method.CR2: "the interval is unbounded: too few degrees of freedom",
}


# Frames in the package's own files are passed over when a warning is placed.
PACKAGE_FOLDER = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn_once(messages: Iterable[str], stacklevel: int) -> None:
    """Issue each distinct message once as an :class:`InferenceWarning`, placed
    at the caller's line outside the package however deep the call came from."""
    for message in dict.fromkeys(messages):
        warnings.warn(message, InferenceWarning, stacklevel=2, skip_file_prefixes=(PACKAGE_FOLDER,))


def _is_binary(values: FloatArray, paired: bool) -> bool:
    """0/1 scores, or the differences of paired 0/1 scores."""
    return bool(np.isin(values, (-1.0, 0.0, 1.0) if paired else (0.0, 1.0)).all())


def _method_for(options: Resampling, values: FloatArray, clustered: bool, paired: bool) -> Method:
    method = options.method
    if method is Method.AUTO:
        if options.block_size != 1:
            return Method.PERCENTILE
        if _is_binary(values, paired) and not (paired and clustered):
            return Method.BINARY
        if clustered or len(values) >= LARGE_SAMPLE or len(np.unique(values)) <= FEW_VALUES:
            return Method.CR2
        return Method.BOOTSTRAP_T
    if method is Method.BINARY:
        if not _is_binary(values, paired):
            raise ValueError("method 'binary' needs 0/1 scores" + (" (differences of -1, 0 or 1)" if paired else "")
                             + "; use 'auto' for other scores")
        # Paired differences with clusters are not 0/1: their clusters' totals get CR2.
        return Method.CR2 if paired and clustered else method
    if options.block_size != 1 and method is not Method.PERCENTILE:
        raise ValueError(f"block_size applies to method 'percentile' only (it resamples blocks), "
                         f"got block_size={options.block_size} with method {method.value!r}")
    if method is Method.BOOTSTRAP_T and clustered:
        raise ValueError("method 'bootstrap-t' resamples single items; with clusters use 'cr2' (the default), "
                         "'exact' or 'percentile'")
    if method is Method.EXACT and not paired:
        raise ValueError("method 'exact' tests paired differences; for one model's mean use 'cr2', "
                         "'bootstrap-t' or 'percentile'")
    return method


def zero_spread_note(reason: str, paired: bool) -> str:
    """What a zero standard error does: one model's mean gets an interval
    without width; differences fall back on the sign flips, which need no spread."""
    if not paired:
        return f"the standard error is 0 ({reason}): the interval has no width and says nothing about the mean's " \
               "uncertainty"
    return f"the standard error is 0 ({reason}), so no t or normal p-value exists; the p-value and interval are " \
           "the exact sign-flip test's"


def _fragility(n_items: int, codes: CodeArray | None, n_clusters: int | None) -> list[str]:
    notes = []
    if codes is None:
        if n_items < FEW_ITEMS:
            notes.append(f"only {n_items} items: an interval from so few is wide and rests on their spread "
                         f"alone; read it, not only the p-value")
        return notes
    assert n_clusters is not None
    if n_clusters < FEW_CLUSTERS:
        notes.append(f"only {n_clusters} clusters: they are the independent units, so the interval is wide "
                     f"and its level approximate")
    largest = int(np.bincount(codes).max())
    if largest >= DOMINANT_SHARE * n_items:
        notes.append(f"one cluster holds {largest} of the {n_items} items ({largest / n_items:.0%}): "
                     f"the result rests mostly on it")
    return notes


def _t_reference(mean: float, se: float, df: float, confidence_level: float) -> tuple[float, float, float]:
    """CI bounds and the two-sided p-value of 0 from Student's t on ``df``."""
    from scipy import special  # imported when first needed: scipy.special loads in tens of milliseconds

    alpha = 1.0 - confidence_level
    quantile = -float(special.stdtrit(df, alpha / 2.0))
    p_value = min(1.0, 2.0 * float(special.stdtr(df, -abs(mean / se))))
    return mean - quantile * se, mean + quantile * se, p_value


def t_or_sign_flips(
    method: Method, mean: float, standard_error: float, degrees_of_freedom: float, confidence_level: float,
    sign_flips: Callable[[], _native.SignFlipResult],
) -> tuple[float, float, float, Reference, float | None]:
    """Bounds, p-value, reference and degrees of freedom of CR2's t
    interval, or of the exact sign flips (run only for them)."""
    if method is Method.CR2:
        lower, upper, p_value = _t_reference(mean, standard_error, degrees_of_freedom, confidence_level)
        return lower, upper, p_value, Reference.T, degrees_of_freedom
    flips = sign_flips()
    return flips.ci_lower, flips.ci_upper, flips.p_value, Reference.RANDOMIZATION, None


def _wilson(share: float, n: float, critical: float) -> tuple[float, float]:
    """Wilson's score interval of a rate ``share`` observed on ``n`` trials."""
    c2 = critical * critical / n
    centre = (share + c2 / 2.0) / (1.0 + c2)
    half = critical / (1.0 + c2) * math.sqrt(share * (1.0 - share) / n + c2 / (4.0 * n))
    return max(0.0, centre - half), min(1.0, centre + half)


def _tango(wins: int, losses: int, n: int, critical: float) -> tuple[float, float]:
    """Tango's score interval of the mean of n differences in -1, 0, 1: the
    shifts d0 whose score statistic |(wins - losses - n d0) / sqrt(n (2 q + d0 (1 - d0)))|
    stays within ``critical``, q the rate of losses that maximises the
    likelihood under d0 (Tango 1998)."""
    from scipy import optimize

    def score(d0: float) -> float:
        a = 2.0 * n
        b = -wins - losses + (2.0 * n - wins + losses) * d0
        c = -losses * d0 * (1.0 - d0)
        q = (math.sqrt(max(0.0, b * b - 4.0 * a * c)) - b) / (2.0 * a)
        variance = n * (2.0 * q + d0 * (1.0 - d0))
        numerator = wins - losses - n * d0
        if variance <= 0.0:
            return 0.0 if numerator == 0.0 else math.copysign(math.inf, numerator)
        return numerator / math.sqrt(variance)

    estimate = (wins - losses) / n
    # The statistic falls as d0 rises: each bound is where it crosses +-critical.
    bounds = []
    for edge, target in ((-1.0, critical), (1.0, -critical)):
        if (score(edge) - target) * (score(estimate) - target) > 0.0:
            bounds.append(edge)
        else:
            bounds.append(optimize.brentq(lambda d0: score(d0) - target, min(edge, estimate), max(edge, estimate),
                                          xtol=1e-14, rtol=4 * np.finfo(float).eps))
    return float(bounds[0]), float(bounds[1])


def _binary(values: FloatArray, codes: CodeArray | None, spread: _native.MeanStandardError, level: float,
            paired: bool) -> tuple[float, float, float, Reference, float | None]:
    """Lower and upper bounds, p-value of 0, reference and degrees of freedom for 0/1 scores."""
    from scipy import special

    alpha = 1.0 - level
    share = spread.mean
    if paired:  # without clusters: McNemar's score test and Tango's interval
        wins, losses = int(np.count_nonzero(values > 0)), int(np.count_nonzero(values < 0))
        critical = -float(special.ndtri(alpha / 2.0))
        lower, upper = _tango(wins, losses, len(values), critical)
        statistic = 0.0 if wins == losses else (wins - losses) / math.sqrt(wins + losses)
        return lower, upper, float(special.erfc(abs(statistic) / math.sqrt(2.0))), Reference.NORMAL, None
    if codes is None:
        lower, upper = _wilson(share, len(values), -float(special.ndtri(alpha / 2.0)))
        return lower, upper, math.nan, Reference.NORMAL, None
    df = spread.degrees_of_freedom
    critical = -float(special.stdtrit(df, alpha / 2.0))
    se = spread.cr2_standard_error
    if 0.0 < share < 1.0 and se > 0.0:
        # The t interval of the log-odds (delta method), mapped back: it stays
        # inside [0, 1] and follows the skew of a rate near 0 or 1.
        log_odds = math.log(share / (1.0 - share))
        half = critical * se / (share * (1.0 - share))
        return float(special.expit(log_odds - half)), float(special.expit(log_odds + half)), math.nan, Reference.T, df
    # A rate of 0 or 1, or clusters of equal rates: no spread to scale the
    # log-odds by; Wilson's interval on one trial per cluster.
    lower, upper = _wilson(share, len(np.unique(codes)), critical)
    return lower, upper, math.nan, Reference.T, df


def _sign_flip(values: FloatArray, codes: CodeArray | None, options: Resampling) -> _native.SignFlipResult:
    if codes is None:
        totals, sizes = values, np.ones(len(values))
    else:
        totals = np.bincount(codes, weights=values)
        sizes = np.bincount(codes).astype(np.float64)
    return _native.sign_flip_test(totals, sizes, options.n_resamples, options.confidence_level, options.seed)


@dataclass(frozen=True, slots=True)
class Request:
    """Values to infer about, as :func:`infer` takes them. Requests whose
    ``items`` keys are equal (and not None) hold values of the same items
    in the same clusters, and share their resamples."""

    values: FloatArray
    codes: CodeArray | None
    subject: Subject
    n_dropped: int
    of: str = "scores"
    paired: bool = False
    items: Hashable = None


@dataclass(frozen=True, slots=True)
class _Pending:
    """A request whose interval the resamples give."""

    request: Request
    method: Method
    spread: _native.MeanStandardError
    notes: list[str]
    n_clusters: int | None


def infer(
    values: FloatArray, codes: CodeArray | None, options: Resampling, subject: Subject, *, n_dropped: int,
    of: str = "scores", paired: bool = False,
) -> Inference:
    """The mean of ``values`` with its standard error, interval and p-value of 0.

    ``values`` (``of`` names them: the scores, the differences) are
    complete; ``codes`` the clusters' codes 0 .. k-1 in the order of their
    labels, or None. ``paired`` values are differences of two models,
    for which the sign-flip test is defined. Too few items or clusters, and
    values so large that a statistic overflows, are refused naming
    ``subject``.
    """
    return infer_all([Request(values, codes, subject, n_dropped, of, paired)], options)[0]


def infer_all(requests: Sequence[Request], options: Resampling) -> list[Inference]:
    """:func:`infer` of each request; those of the same items under the same
    bootstrap method in one native call, which draws each resample once."""
    _progress.expect(len(requests))
    prepared = []
    for request in requests:
        _progress.step(request.subject.name)
        prepared.append(_prepare(request, options))
    groups: dict[tuple[Hashable, Method], list[tuple[int, _Pending]]] = {}
    for index, entry in enumerate(prepared):
        if isinstance(entry, _Pending):
            items = entry.request.items if entry.request.items is not None else object()
            groups.setdefault((items, entry.method), []).append((index, entry))
    done = {index: entry for index, entry in enumerate(prepared) if isinstance(entry, Inference)}
    _progress.expect(len(groups))
    for (_, method), members in groups.items():
        pending = [entry for _, entry in members]
        names = dict.fromkeys(entry.request.subject.name for entry in pending)
        _progress.step(f"{options.n_resamples} resamples of {', '.join(names)}")
        intervals = _native.shared_bootstrap_means(
            [entry.request.values for entry in pending], "studentized" if method is Method.BOOTSTRAP_T else "percentile",
            options.block_size, options.n_resamples, options.confidence_level, options.seed, options.threads,
            pending[0].request.codes,
        )
        for (index, entry), interval in zip(members, intervals):
            done[index] = _finish(entry, interval, options)
    return [done[index] for index in range(len(prepared))]


def _prepare(request: Request, options: Resampling) -> Inference | _Pending:
    """The inference of a request, or what its resamples are to finish."""
    values, codes, subject, n_dropped = request.values, request.codes, request.subject, request.n_dropped
    of, paired = request.of, request.paired
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
    method = _method_for(options, values, codes is not None, paired)
    spread = _native.mean_standard_error(values, codes)
    subject.check_finite(of, ("their sum", spread.mean),
                         ("the sum of their squared deviations", spread.standard_deviation),
                         ("the sum of the squares of their standard error", spread.standard_error),
                         ("the sum of the squares of their CR2 standard error", spread.cr2_standard_error))
    mean = spread.mean
    notes = _fragility(n_items, codes, n_clusters)
    degrees_of_freedom: float | None = None
    standard_error = spread.cr2_standard_error
    level = options.confidence_level

    if method is Method.BINARY:
        lower, upper, p_value, reference, degrees_of_freedom = _binary(values, codes, spread, level, paired)
        if codes is None:
            standard_error = spread.standard_error
        return Inference(mean, spread.standard_deviation, standard_error, lower, upper, p_value, method, reference,
                         degrees_of_freedom, n_items, n_clusters, None if codes is not None else 1, tuple(notes))

    if method is not Method.EXACT and standard_error == 0.0:
        # No spread to measure uncertainty by: a t or normal p-value would be
        # 0 for any nonzero mean. Differences fall back on the sign flips,
        # which need none; one model's mean gets an interval without width.
        reason = "every value is equal" if spread.standard_deviation == 0.0 else "the clusters' means are equal"
        notes.append(zero_spread_note(reason, paired))
        if not paired:
            return Inference(mean, spread.standard_deviation, 0.0, mean, mean, math.nan, method, Reference.T,
                             None, n_items, n_clusters, None if codes is not None else options.block_size,
                             tuple(notes))
        method = Method.EXACT

    if method in (Method.CR2, Method.EXACT):
        lower, upper, p_value, reference, degrees_of_freedom = t_or_sign_flips(
            method, mean, standard_error, spread.degrees_of_freedom, level,
            lambda: _sign_flip(values, codes, options))
    else:
        if method is Method.BOOTSTRAP_T:
            # A resample of the largest deviation n times must not overflow.
            with np.errstate(over="ignore"):
                squares = float(np.max((values - mean) ** 2)) * n_items
            subject.check_finite(of, ("the sum of the squares of a bootstrap resample", squares))
        return _Pending(request, method, spread, notes, n_clusters)
    if math.isinf(lower) or math.isinf(upper):
        notes.append(_UNBOUNDED[method])
    return Inference(mean, spread.standard_deviation, standard_error, lower, upper, p_value, method, reference,
                     degrees_of_freedom, n_items, n_clusters, options.block_size if codes is None else None,
                     tuple(notes))


def _finish(pending: _Pending, interval: _native.SharedBootstrapResult, options: Resampling) -> Inference:
    """The inference of a bootstrap request from its column's interval."""
    request, spread, method, notes = pending.request, pending.spread, pending.method, pending.notes
    lower, upper = interval.ci_lower, interval.ci_upper
    if method is Method.BOOTSTRAP_T:
        standard_error, p_value, reference = spread.cr2_standard_error, interval.p_value, Reference.BOOTSTRAP
        if math.isinf(lower) or math.isinf(upper):
            notes.append(_UNBOUNDED[method])
    else:
        standard_error = spread.standard_error
        p_value = math.erfc(abs(spread.mean / standard_error) / math.sqrt(2.0))
        reference = Reference.NORMAL
        # A resample can hold more items than the data (a large cluster drawn
        # twice), so its sum can overflow where the data's did not.
        resample = "the sum of a bootstrap resample"
        request.subject.check_finite(request.of, (resample, lower), (resample, upper))
    return Inference(spread.mean, spread.standard_deviation, standard_error, lower, upper, p_value, method,
                     reference, None, len(request.values), pending.n_clusters,
                     options.block_size if request.codes is None else None, tuple(notes))

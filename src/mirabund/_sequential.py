"""Anytime-valid monitoring of the mean score of a stream.

:class:`SequentialMonitor` may be checked after every item, and stopped at
its first rejection, without raising its false-positive rate above alpha.
Its scale is known, not estimated: a variance estimated from the first few
scores is what lets a test reject on noise at the second observation.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import ClassVar

import numpy as np

from ._checks import NanPolicy, check_finite, check_fraction, check_nan_policy, check_positive, describe
from ._results import Result, returns_fields
from ._samples import Scores, as_scores, keep_complete

__all__ = ["MonitorBatch", "MonitorUpdate", "SequentialMonitor"]

# Scale ratios (tau / sigma) beyond this make n * (tau / sigma)**2 overflow
# or vanish for some count n below 2**64.
_RATIO_LIMIT = 1e140


@dataclass(frozen=True, slots=True, repr=False)
class MonitorUpdate(Result):
    """The state of a :class:`SequentialMonitor` after one observation.

    Attributes
    ----------
    n : int
        The number of observations so far, this one included.
    mean : float
        The running mean of the observations.
    likelihood_ratio : float
        The normal-mixture likelihood ratio L_n of "the mean is not
        ``null_mean``" against "it is", after this observation (``inf``
        where it overflows a float; ``log_likelihood_ratio`` is exact).
    log_likelihood_ratio : float
        The natural logarithm of L_n, on which the decision is taken.
    rejected : bool
        The decision: True from the first observation at which L_n reached
        1 / alpha on, whatever came after (a rejection is never undone).
    rejected_at : int or None
        The observation count n at which the monitor first rejected; None
        while it has not.
    p_value : float
        The anytime-valid p-value, min(1, 1 / max L_m over m <= n): it
        never grows, and it is at most alpha exactly when ``rejected``.
    ci_lower, ci_upper : float
        The confidence sequence for the mean at level 1 - alpha: the
        intersection, over every m <= n, of the open intervals of means
        whose ratio L_m is below 1 / alpha. It covers the true mean at
        every n at once with probability at least 1 - alpha; it holds
        ``null_mean`` exactly while the monitor has not rejected. Early on
        it may reach beyond the range the scores can take; an empty
        sequence (``ci_lower >= ci_upper``) says no constant mean fits the
        stream.
    """

    _repr_fields: ClassVar[tuple[str, ...]] = (
        "n", "mean", "likelihood_ratio", "rejected", "p_value", "ci_lower", "ci_upper",
    )
    n: int
    mean: float
    likelihood_ratio: float
    log_likelihood_ratio: float
    rejected: bool
    rejected_at: int | None
    p_value: float
    ci_lower: float
    ci_upper: float


@dataclass(frozen=True, slots=True, repr=False)
class MonitorBatch(Result):
    """What :meth:`SequentialMonitor.update_many` fed, and where it stopped.

    Attributes
    ----------
    last : MonitorUpdate or None
        The monitor's state after the last observation it has taken (in this
        call or before); None while it has taken none.
    n_fed : int
        The number of items of the batch fed to the monitor.
    stop_index : int or None
        The position in the batch of the item at which the monitor rejected
        and the feed stopped (``last.n`` is its observation count); None
        when no rejection came in this call.
    n_dropped : int
        The number of missing items passed over before the feed ended
        (``nan_policy="omit"``).
    """

    _repr_fields: ClassVar[tuple[str, ...]] = ("n_fed", "stop_index", "n_dropped", "last")
    last: MonitorUpdate | None
    n_fed: int
    stop_index: int | None
    n_dropped: int


# The state before any observation: L_0 = 1, and every mean still possible.
_START = MonitorUpdate(n=0, mean=math.nan, likelihood_ratio=1.0, log_likelihood_ratio=0.0, rejected=False,
                       rejected_at=None, p_value=1.0, ci_lower=-math.inf, ci_upper=math.inf)


def _check_bounds(bounds: object) -> tuple[float, float]:
    expected = "a pair (low, high) of finite numbers with low < high"
    if isinstance(bounds, (str, bytes)) or not isinstance(bounds, (Sequence, np.ndarray)) or len(bounds) != 2:
        raise TypeError(f"bounds must be {expected}, got {describe(bounds)}")
    low, high = (check_finite("bounds", end) for end in bounds)
    if not low < high:
        raise ValueError(f"bounds must be {expected}, got ({low!r}, {high!r})")
    return low, high


class SequentialMonitor:
    """An anytime-valid test of the mean of a stream of scores.

    Feed scores one at a time with :meth:`update` (or a batch with
    :meth:`update_many`) and stop at the first rejection: however often it
    is checked, the chance that the monitor ever rejects a true null mean is
    at most ``alpha`` (Ville's inequality for the mixture likelihood ratio,
    a nonnegative supermartingale under the null).

    Its statistic is the normal-mixture likelihood ratio with a known scale
    sigma and a normal prior of spread tau on the mean's distance from
    ``null_mean``::

        L_n = sqrt(s2 / (s2 + n tau^2))
              * exp(n^2 tau^2 (mean_n - null_mean)^2 / (2 s2 (s2 + n tau^2)))

    with s2 = sigma^2, computed in logarithms so that it never overflows.
    The monitor rejects from the first n at which L_n >= 1 / alpha on.

    Parameters
    ----------
    alpha : float, default 0.05
        The false-positive rate to keep, in (0, 1).
    bounds : (float, float), optional
        The range [low, high] every score lies in: (0, 1) for a 0/1
        accuracy, (1, 10) for a 1-10 judge score, (-1, 1) for the paired
        difference of two 0/1 scores. Scores in a range of width w are
        sub-Gaussian with sigma = w / 2, whatever their distribution, so
        the guarantee holds for any bounded scores. Scores outside it are
        refused.
    sigma : float, optional
        The scale directly, for scores known to be normal (or sub-Gaussian)
        with this standard deviation. Give ``bounds`` or ``sigma``, not
        both. A sigma smaller than the scores' true one voids the guarantee.
    tau : float, optional
        The size of effect (distance of the mean from ``null_mean``) that
        the test is most sensitive to; sigma when not given. A smaller tau
        detects small effects sooner and large ones later.
    null_mean : float, default 0.0
        The mean under the null hypothesis (within ``bounds`` when they are
        given): 0.5 to ask whether a 0/1 accuracy differs from chance, 0 for
        paired differences.

    Raises
    ------
    TypeError
        For an argument of the wrong kind, or neither ``bounds`` nor
        ``sigma``.
    ValueError
        For a value out of range, ``bounds`` and ``sigma`` both given, a
        ``null_mean`` outside the bounds, or a tau more than 1e140 times
        larger or smaller than sigma.

    Notes
    -----
    Every update reports, besides L_n and the decision, the anytime-valid
    p-value min(1, 1 / max L_m) and the confidence sequence: the running
    intersection of the intervals mean_m +/- r_m of the means whose ratio is
    below 1 / alpha, with
    r_m = sqrt(2 s2 (s2 + m tau^2) / (m^2 tau^2) * log(sqrt((s2 + m tau^2) / s2) / alpha)).
    The three agree at every step: the monitor has rejected exactly when the
    p-value is at most alpha and exactly when ``null_mean`` has left the
    sequence. The decision latches, since the guarantee is about ever
    crossing 1 / alpha: a ratio that falls back later does not undo it.

    The guarantee needs the scale: a known sigma, or bounds. It does not
    hold for a sigma estimated from the data, nor for unbounded scores with
    heavier tails than a normal's.

    Examples
    --------
    >>> monitor = SequentialMonitor(alpha=0.05, bounds=(0, 1), null_mean=0.5)
    >>> monitor.update(1).p_value
    1.0
    """

    __slots__ = (
        "_alpha", "_bounds", "_sigma", "_tau", "_null_mean", "_rho", "_log_threshold",
        "_total", "_max_log_ratio", "_state",
    )

    def __init__(
        self,
        alpha: float = 0.05,
        *,
        bounds: tuple[float, float] | None = None,
        sigma: float | None = None,
        tau: float | None = None,
        null_mean: float = 0.0,
    ) -> None:
        self._alpha = check_fraction("alpha", alpha)
        if bounds is None and sigma is None:
            raise TypeError("bounds or sigma is required: the range of the scores, or their scale")
        if bounds is not None and sigma is not None:
            raise ValueError("bounds and sigma cannot both be given: sigma is (high - low) / 2 of the bounds")
        self._bounds = None if bounds is None else _check_bounds(bounds)
        if self._bounds is not None:
            low, high = self._bounds
            self._sigma = high / 2 - low / 2  # never overflows, unlike (high - low) / 2
        else:
            self._sigma = check_positive("sigma", sigma)
        self._tau = self._sigma if tau is None else check_positive("tau", tau)
        scale_ratio = self._tau / self._sigma
        if not 1 / _RATIO_LIMIT <= scale_ratio <= _RATIO_LIMIT:
            raise ValueError(
                f"tau must be within a factor of {_RATIO_LIMIT:g} of sigma, got tau={self._tau!r}, sigma={self._sigma!r}"
            )
        self._null_mean = check_finite("null_mean", null_mean)
        if self._bounds is not None and not self._bounds[0] <= self._null_mean <= self._bounds[1]:
            raise ValueError(f"null_mean must lie within bounds {list(self._bounds)}, got {self._null_mean!r}")
        self._rho = scale_ratio * scale_ratio
        self._log_threshold = -math.log(self._alpha)
        self._total = -0.0
        self._max_log_ratio = 0.0  # L_0 = 1
        self._state = _START

    @property
    def alpha(self) -> float:
        """The false-positive rate kept."""
        return self._alpha

    @property
    def bounds(self) -> tuple[float, float] | None:
        """The range of the scores; None when sigma was given."""
        return self._bounds

    @property
    def sigma(self) -> float:
        """The known scale of the scores."""
        return self._sigma

    @property
    def tau(self) -> float:
        """The size of effect the test is most sensitive to."""
        return self._tau

    @property
    def null_mean(self) -> float:
        """The mean under the null hypothesis."""
        return self._null_mean

    @property
    def n(self) -> int:
        """The number of observations taken."""
        return self._state.n

    @property
    def rejected(self) -> bool:
        """Whether the monitor has rejected (it stays rejected)."""
        return self._state.rejected

    @property
    def last(self) -> MonitorUpdate | None:
        """The state after the last observation; None before the first."""
        return None if self._state is _START else self._state

    def __repr__(self) -> str:
        scale = f"bounds={self._bounds!r}" if self._bounds is not None else f"sigma={self._sigma!r}"
        return (
            f"SequentialMonitor(alpha={self._alpha!r}, {scale}, tau={self._tau!r}, "
            f"null_mean={self._null_mean!r}, n={self.n}, rejected={self.rejected})"
        )

    @returns_fields(MonitorUpdate)
    def update(self, x: float) -> MonitorUpdate:
        """Take one score and return the monitor's new state.

        Parameters
        ----------
        x : float
            The score (a bool counts as 0 or 1).

        Returns
        -------
        MonitorUpdate
            {fields}

        Raises
        ------
        TypeError
            For a value that is not a real number.
        ValueError
            For NaN, an infinity, a score outside ``bounds``, or one that
            would overflow the running sum. A refused score changes nothing.
        """
        if isinstance(x, (bool, np.bool_)):
            x = float(x)
        value = check_finite("x", x)
        if self._bounds is not None and not self._bounds[0] <= value <= self._bounds[1]:
            raise ValueError(f"x must lie within bounds {list(self._bounds)}, got {value!r}")
        if not math.isfinite(self._total + value):
            raise ValueError(f"x would overflow the running sum of the scores, got {value!r}")
        return self._take(value)

    @returns_fields(MonitorBatch)
    def update_many(self, xs: Scores, *, nan_policy: NanPolicy = "raise") -> MonitorBatch:
        """Feed a batch of scores in order, stopping at the first rejection.

        The whole batch is read and checked before any score is fed: a
        refused batch changes nothing, even where the refused item lies
        after the point at which the feed would have stopped. A monitor that
        has already rejected takes nothing. To stop a costly scorer at the
        first rejection, call :meth:`update` inside its loop instead.

        Parameters
        ----------
        xs : iterable of float
            The scores: a list, a numpy array, a pandas Series (nullable
            dtypes included) or any iterable of numbers (booleans count as
            0 and 1).
        nan_policy : {"raise", "omit"}, default "raise"
            What to do with missing values (NaN, None, ``pd.NA``): refuse the
            batch, or pass over them.

        Returns
        -------
        MonitorBatch
            {fields}

        Raises
        ------
        TypeError
            For a batch that is not a one-dimensional sequence of numbers.
        ValueError
            For infinities, missing values under ``nan_policy="raise"``,
            scores outside ``bounds``, or a batch that would overflow the
            running sum.
        """
        policy = check_nan_policy(nan_policy)
        scores = as_scores("xs", xs)
        keep, _ = keep_complete({"xs": scores}, policy)
        positions = np.flatnonzero(keep)
        values = scores[positions]
        if self._bounds is not None:
            outside = np.flatnonzero((values < self._bounds[0]) | (values > self._bounds[1]))
            if outside.size:
                first = positions[outside[0]]
                raise ValueError(
                    f"xs must hold scores within bounds {list(self._bounds)}, "
                    f"got {float(scores[first])!r} at position {first}"
                )
        # add.accumulate adds in order from the running total, as feeding does.
        with np.errstate(over="ignore"):
            running = np.add.accumulate(np.concatenate(([self._total], values)))
        if not np.isfinite(running).all():
            first = positions[np.flatnonzero(~np.isfinite(running))[0] - 1]
            raise ValueError(f"xs would overflow the running sum of the scores at position {first}")
        if self.rejected:
            return MonitorBatch(last=self.last, n_fed=0, stop_index=None, n_dropped=0)
        n_fed = 0
        stop_index: int | None = None
        for position, value in zip(positions.tolist(), values.tolist()):
            n_fed += 1
            if self._take(value).rejected:
                stop_index = position
                break
        end = len(scores) if stop_index is None else stop_index + 1
        n_dropped = int(np.count_nonzero(~keep[:end]))
        return MonitorBatch(last=self.last, n_fed=n_fed, stop_index=stop_index, n_dropped=n_dropped)

    def _take(self, x: float) -> MonitorUpdate:
        """Add a checked score to the state and report the new state."""
        state = self._state
        n = state.n + 1
        total = self._total + x
        mean = total / n
        grown = n * self._rho  # n tau^2 / s2
        weight = grown / (1.0 + grown)
        spread = math.log1p(grown)
        z = (mean - self._null_mean) / self._sigma * math.sqrt(n)
        log_ratio = 0.5 * (weight * (z * z) - spread)
        rejects_now = log_ratio >= self._log_threshold

        radius = self._sigma * math.sqrt((spread + 2.0 * self._log_threshold) / (weight * n))
        lower, upper = mean - radius, mean + radius
        # The ratio and the interval round one inequality two ways; where
        # they disagree in the last bits at the null mean, the interval
        # yields to the ratio, so that the decision and the sequence agree.
        null = self._null_mean
        inside = lower < null < upper
        if rejects_now and inside:
            lower, upper = (null, upper) if null < mean else (lower, null)
        elif not rejects_now and not inside:
            if null <= lower:
                lower = math.nextafter(null, -math.inf)
            else:
                upper = math.nextafter(null, math.inf)

        # The new state is worked out and its report made before any of it
        # is kept, so that a failure on the way leaves the monitor as it was.
        lower, upper = max(state.ci_lower, lower), min(state.ci_upper, upper)
        max_log_ratio = max(self._max_log_ratio, log_ratio)
        rejected_at = n if rejects_now and state.rejected_at is None else state.rejected_at
        rejected = rejected_at is not None
        # Likewise the p-value yields to the decision taken on the log ratio.
        p_value = math.exp(-max_log_ratio)
        if rejected:
            p_value = min(p_value, self._alpha)
        elif p_value <= self._alpha:
            p_value = math.nextafter(self._alpha, math.inf)
        try:
            ratio = math.exp(log_ratio)
        except OverflowError:
            ratio = math.inf
        update = MonitorUpdate(
            n=n,
            mean=mean,
            likelihood_ratio=ratio,
            log_likelihood_ratio=log_ratio,
            rejected=rejected,
            rejected_at=rejected_at,
            p_value=p_value,
            ci_lower=lower,
            ci_upper=upper,
        )
        self._total = total
        self._max_log_ratio = max_log_ratio
        self._state = update
        return update

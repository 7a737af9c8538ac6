"""Anytime-valid monitoring of the mean score of a stream.

:class:`SequentialMonitor` may be checked after every item, and stopped at
its first rejection, without raising its false-positive rate above alpha.
For scores in known bounds it bets against the null mean (the work of each
score runs in ``_native.BettingMonitor``); for scores of a known scale it
uses a normal-mixture likelihood ratio. The betting monitor estimates the
spread of the scores only to size its bets, which keeps the guarantee
whatever the estimate; a test that puts an estimated variance into its
threshold is what rejects on noise at the second observation.
:class:`PairedMonitor` monitors the difference of two models scored on the
same items.
"""

from __future__ import annotations

import copy
import math
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from . import _native
from ._checks import NanPolicy, check_finite, check_fraction, check_nan_policy, check_positive, describe
from ._results import Result, returns_fields
from ._samples import FloatArray, Scores, as_scores, keep_complete

__all__ = ["MonitorBatch", "MonitorUpdate", "PairedMonitor", "SequentialMonitor"]

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
        The evidence against "the mean is ``null_mean``" after this
        observation, a nonnegative martingale under the null that starts at
        1: with ``bounds``, the capital K_n of the betting process; with
        ``sigma``, the normal-mixture likelihood ratio L_n (``inf`` where it
        overflows a float; ``log_likelihood_ratio`` is exact).
    log_likelihood_ratio : float
        The natural logarithm of that ratio, on which the decision is taken.
    rejected : bool
        The decision: True from the first observation at which the ratio
        reached 1 / alpha on, whatever came after (a rejection is never
        undone).
    rejected_at : int or None
        The observation count n at which the monitor first rejected; None
        while it has not.
    p_value : float
        The anytime-valid p-value, min(1, 1 / max of the ratio over m <= n):
        it never grows, and it is at most alpha exactly when ``rejected``.
    ci_lower, ci_upper : float
        The confidence sequence for the mean at level 1 - alpha: the open
        interval of the means whose own ratio has stayed below 1 / alpha at
        every m <= n. It covers the true mean at every n at once with
        probability at least 1 - alpha; it holds ``null_mean`` exactly while
        the monitor has not rejected. With ``bounds`` it is found on a grid
        of 4097 means from low to high, each end exact to within one step
        (high - low) / 4096; it stays within the bounds, but for the least
        step past a bound that is ``null_mean`` and keeps it inside the
        open interval. With ``sigma`` it
        is exact, and early on it may reach beyond the range the scores can
        take. An empty sequence (``ci_lower >= ci_upper``, or one grid step
        with ``bounds``) says no constant mean fits the stream.
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
    if not math.isfinite(high - low):
        raise ValueError(f"bounds must be {expected} and a finite width high - low, got ({low!r}, {high!r})")
    return low, high


def _check_score(name: str, x: object, bounds: tuple[float, float] | None) -> float:
    """One score as a finite float, within ``bounds`` when given (a bool counts as 0 or 1)."""
    if isinstance(x, (bool, np.bool_)):
        x = float(x)
    value = check_finite(name, x)
    if bounds is not None and not bounds[0] <= value <= bounds[1]:
        raise ValueError(f"{name} must lie within bounds {list(bounds)}, got {value!r}")
    return value


def _check_scores_within(name: str, scores: FloatArray, bounds: tuple[float, float]) -> None:
    """Refuse the first score outside ``bounds``; missing ones (NaN) pass."""
    outside = np.flatnonzero((scores < bounds[0]) | (scores > bounds[1]))
    if outside.size:
        first = int(outside[0])
        raise ValueError(
            f"{name} must hold scores within bounds {list(bounds)}, got {float(scores[first])!r} at position {first}"
        )


def _exp_or_inf(log_ratio: float) -> float:
    try:
        return math.exp(log_ratio)
    except OverflowError:
        return math.inf


class SequentialMonitor:
    """An anytime-valid test of the mean of a stream of scores.

    Feed scores one at a time with :meth:`update` (or a batch with
    :meth:`update_many`) and stop at the first rejection: however often it
    is checked, the chance that the monitor ever rejects a true null mean is
    at most ``alpha``. Its evidence is a nonnegative martingale under the
    null that starts at 1, and by Ville's inequality such a process ever
    reaches 1 / alpha with probability at most alpha. The monitor rejects
    from the first n at which it does.

    With ``bounds`` (any scores in a known range: 0/1 accuracies, judge
    scores, paired differences) the evidence is the capital of a gambler
    who bets against ``null_mean`` (Waudby-Smith and Ramdas 2023). The
    scores are rescaled to u in [0, 1], the null mean to m, and the capital
    after n scores is::

        K_n = prod_i (1 + lambda_i (u_i - m))

    with the aGRAPA bet (the paper's approximate growth-rate adaptive
    plug-in), chosen from the scores before the i-th::

        lambda_i = (mu - m) / (s2 + (mu - m)^2),  truncated to [-1 / (2 (1 - m)), 1 / (2 m)]
        mu = (1/2 + u_1 + ... + u_{i-1}) / i
        s2 = (1/4 + (u_1 - mu_1)^2 + ... + (u_{i-1} - mu_{i-1})^2) / i

    Because each bet is fixed before its score is seen and every factor
    stays above 1/2, K_n is a martingale under the null for any
    distribution of scores in the bounds, whatever they look like. The bet
    grows with the observed distance of the mean from m over the observed
    spread, so a low-variance stream (a 93% accuracy, judge scores that
    cluster) is tested at the speed its real spread allows, not the worst
    case. Nothing is tuned by the user. The test is two-sided through the
    sign of the bet, which follows mu - m: one capital process, not a hedge
    of two halves (measured slower for accuracies near 1).

    With ``sigma`` (scores known to be normal, or sub-Gaussian, with that
    scale) the evidence is the normal-mixture likelihood ratio with a
    normal prior of spread tau on the mean's distance from ``null_mean``::

        L_n = sqrt(s2 / (s2 + n tau^2))
              * exp(n^2 tau^2 (mean_n - null_mean)^2 / (2 s2 (s2 + n tau^2)))

    with s2 = sigma^2, computed in logarithms so that it never overflows.

    Parameters
    ----------
    alpha : float, default 0.05
        The false-positive rate to keep, in (0, 1).
    bounds : (float, float), optional
        The range [low, high] every score lies in: (0, 1) for a 0/1
        accuracy, (1, 10) for a 1-10 judge score, (-1, 1) for the paired
        difference of two 0/1 scores (or use :meth:`paired`). The
        guarantee holds for any scores within it. Scores outside it are
        refused.
    sigma : float, optional
        The scale, for scores known to be normal (or sub-Gaussian) with
        this standard deviation. Give ``bounds`` or ``sigma``, not both. A
        sigma smaller than the scores' true one voids the guarantee.
    tau : float, optional
        With ``sigma`` only: the size of effect (distance of the mean from
        ``null_mean``) that the test is most sensitive to; sigma when not
        given. A smaller tau detects small effects sooner and large ones
        later.
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
        For a value out of range, ``bounds`` and ``sigma`` both given,
        ``tau`` with ``bounds``, a ``null_mean`` outside the bounds, or a
        tau more than 1e140 times larger or smaller than sigma.

    Notes
    -----
    Every update reports, besides the ratio and the decision, the
    anytime-valid p-value min(1, 1 / max of the ratio) and the confidence
    sequence: the means whose own ratio has never reached 1 / alpha. With
    ``bounds`` each mean's capital is followed on a grid of 4097 means,
    and a mean once excluded stays excluded; with ``sigma`` the sequence is
    the running intersection of the intervals mean_m +/- r_m, with
    r_m = sqrt(2 s2 (s2 + m tau^2) / (m^2 tau^2) * log(sqrt((s2 + m tau^2) / s2) / alpha)).
    The three agree at every step: the monitor has rejected exactly when the
    p-value is at most alpha and exactly when ``null_mean`` has left the
    sequence. The decision latches, since the guarantee is about ever
    crossing 1 / alpha: a ratio that falls back later does not undo it.

    Which to use: ``bounds`` whenever the scores have a known range, which
    eval scores do; it needs no scale and adapts to the spread. ``sigma``
    only for unbounded scores whose scale is known in advance. Neither
    holds for a sigma estimated from the data, nor for unbounded scores
    with heavier tails than a normal's.

    The monitor is safe to share between threads: updates are taken one at
    a time, in the order they acquire it. It pickles and copies with its
    whole state.

    References
    ----------
    Waudby-Smith, I. and Ramdas, A. (2023). Estimating means of bounded
    random variables by betting. Journal of the Royal Statistical Society
    Series B 86(1), 1-27 (aGRAPA: section 5 and appendix).

    Howard, S. R., Ramdas, A., McAuliffe, J. and Sekhon, J. (2021).
    Time-uniform, nonparametric, nonasymptotic confidence sequences.
    Annals of Statistics 49(2), 1055-1080 (the normal mixture).

    Examples
    --------
    >>> monitor = SequentialMonitor(alpha=0.05, bounds=(0, 1), null_mean=0.5)
    >>> monitor.update(1).p_value
    1.0
    """

    __slots__ = (
        "_alpha", "_bounds", "_sigma", "_tau", "_null_mean", "_rho", "_log_threshold",
        "_total", "_max_log_ratio", "_state", "_capital", "_lock",
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
            raise ValueError("bounds and sigma cannot both be given: give the range of the scores, or their scale")
        self._bounds = None if bounds is None else _check_bounds(bounds)
        self._null_mean = check_finite("null_mean", null_mean)
        self._log_threshold = -math.log(self._alpha)
        self._total = -0.0
        self._max_log_ratio = 0.0  # L_0 = 1
        self._state: MonitorUpdate | None = None
        self._lock = threading.Lock()
        self._capital: _native.BettingMonitor | None = None
        self._sigma: float | None = None
        self._tau: float | None = None
        self._rho = 0.0
        if self._bounds is not None:
            if tau is not None:
                raise ValueError(f"tau applies to sigma only: with bounds the bets adapt to the scores, got tau={tau!r}")
            low, high = self._bounds
            if not low <= self._null_mean <= high:
                raise ValueError(f"null_mean must lie within bounds {list(self._bounds)}, got {self._null_mean!r}")
            self._capital = _native.BettingMonitor(self._alpha, low, high, self._null_mean)
            return
        self._sigma = check_positive("sigma", sigma)
        self._tau = self._sigma if tau is None else check_positive("tau", tau)
        scale_ratio = self._tau / self._sigma
        if not 1 / _RATIO_LIMIT <= scale_ratio <= _RATIO_LIMIT:
            raise ValueError(
                f"tau must be within a factor of {_RATIO_LIMIT:g} of sigma, got tau={self._tau!r}, sigma={self._sigma!r}"
            )
        self._rho = scale_ratio * scale_ratio

    @classmethod
    def paired(
        cls, alpha: float = 0.05, *, bounds: tuple[float, float], null_mean: float = 0.0
    ) -> PairedMonitor:
        """A monitor of the difference candidate - baseline on the same items.

        Parameters
        ----------
        alpha : float, default 0.05
            The false-positive rate to keep, in (0, 1).
        bounds : (float, float)
            The range [low, high] of each model's scores; the differences
            lie in [low - high, high - low].
        null_mean : float, default 0.0
            The mean difference under the null: 0 for "no difference".

        Returns
        -------
        PairedMonitor
            Fed (baseline, candidate) score pairs.

        Examples
        --------
        >>> monitor = SequentialMonitor.paired(bounds=(0, 1))
        >>> monitor.update_many([0, 1, 0, 1] * 40, [1, 1, 1, 1] * 40).last.rejected
        True
        """
        return PairedMonitor(alpha, bounds=bounds, null_mean=null_mean)

    @property
    def alpha(self) -> float:
        """The false-positive rate kept."""
        return self._alpha

    @property
    def bounds(self) -> tuple[float, float] | None:
        """The range of the scores; None when sigma was given."""
        return self._bounds

    @property
    def sigma(self) -> float | None:
        """The known scale of the scores; None when bounds were given."""
        return self._sigma

    @property
    def tau(self) -> float | None:
        """The size of effect the normal mixture is most sensitive to; None with bounds."""
        return self._tau

    @property
    def null_mean(self) -> float:
        """The mean under the null hypothesis."""
        return self._null_mean

    @property
    def n(self) -> int:
        """The number of observations taken."""
        return 0 if self._state is None else self._state.n

    @property
    def rejected(self) -> bool:
        """Whether the monitor has rejected (it stays rejected)."""
        return self._state is not None and self._state.rejected

    @property
    def last(self) -> MonitorUpdate | None:
        """The state after the last observation; None before the first."""
        return self._state

    def __repr__(self) -> str:
        if self._bounds is not None:
            scale = f"bounds={self._bounds!r}"
        else:
            scale = f"sigma={self._sigma!r}, tau={self._tau!r}"
        return (
            f"SequentialMonitor(alpha={self._alpha!r}, {scale}, "
            f"null_mean={self._null_mean!r}, n={self.n}, rejected={self.rejected})"
        )

    def __getstate__(self) -> dict[str, Any]:
        with self._lock:
            state = {name: getattr(self, name) for name in self.__slots__ if name not in ("_lock", "_capital")}
            if self._capital is not None:
                capital = self._capital
                state["_capital"] = (capital.counts, capital.sums, capital.live_log_capitals)
            return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        snapshot = state.pop("_capital", None)
        for name, value in state.items():
            setattr(self, name, value)
        self._lock = threading.Lock()
        self._capital = None
        if snapshot is not None and self._bounds is not None:
            low, high = self._bounds
            self._capital = _native.restore_betting_monitor(self._alpha, low, high, self._null_mean, *snapshot)

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
        value = _check_score("x", x, self._bounds)
        with self._lock:
            if not math.isfinite(self._total + value):
                raise ValueError(f"x would overflow the running sum of the scores, got {value!r}")
            if self._capital is None:
                return self._take(value)
            self._capital.feed([value])
            self._total = self._total + value
            self._state = self._capital_state()
            return self._state

    @returns_fields(MonitorBatch)
    def update_many(self, xs: Scores, *, nan_policy: NanPolicy = "raise") -> MonitorBatch:
        """Feed a batch of scores in order, stopping at the first rejection.

        The whole batch is read and checked before any score is fed: a
        refused batch changes nothing, even where the refused item lies
        after the point at which the feed would have stopped. A monitor that
        has already rejected takes nothing. To stop a costly scorer at the
        first rejection, call :meth:`update` inside its loop instead. With
        ``bounds`` the batch is fed in native code: a million scores take a
        fraction of a second.

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
        if self._bounds is not None:
            _check_scores_within("xs", scores, self._bounds)
        positions = np.flatnonzero(keep)
        values = scores[positions]
        with self._lock:
            # add.accumulate adds in order from the running total, as feeding does.
            with np.errstate(over="ignore"):
                running = np.add.accumulate(np.concatenate(([self._total], values)))
            if not np.isfinite(running).all():
                first = positions[np.flatnonzero(~np.isfinite(running))[0] - 1]
                raise ValueError(f"xs would overflow the running sum of the scores at position {first}")
            if self.rejected:
                return MonitorBatch(last=self.last, n_fed=0, stop_index=None, n_dropped=0)
            stop_index: int | None = None
            if self._capital is not None:
                n_fed = self._capital.feed(values)
                if n_fed:
                    self._total = float(running[n_fed])
                    self._state = self._capital_state()
                    if self._state.rejected:
                        stop_index = int(positions[n_fed - 1])
            else:
                n_fed = 0
                for position, value in zip(positions.tolist(), values.tolist()):
                    n_fed += 1
                    if self._take(value).rejected:
                        stop_index = position
                        break
            end = len(scores) if stop_index is None else stop_index + 1
            n_dropped = int(np.count_nonzero(~keep[:end]))
            return MonitorBatch(last=self.last, n_fed=n_fed, stop_index=stop_index, n_dropped=n_dropped)

    def _p_value(self, max_log_ratio: float, rejected: bool) -> float:
        """1 / the largest ratio so far, made to agree with the decision
        taken on the log ratio where the two round apart."""
        p_value = math.exp(-max_log_ratio)
        if rejected:
            return min(p_value, self._alpha)
        if p_value <= self._alpha:
            return math.nextafter(self._alpha, math.inf)
        return p_value

    def _capital_state(self) -> MonitorUpdate:
        """The betting monitor's state as a report."""
        capital = self._capital
        assert capital is not None
        log_capital = capital.log_capital
        rejected_at = capital.rejected_at or None
        return MonitorUpdate(
            n=capital.n,
            mean=capital.mean,
            likelihood_ratio=_exp_or_inf(log_capital),
            log_likelihood_ratio=log_capital,
            rejected=rejected_at is not None,
            rejected_at=rejected_at,
            p_value=self._p_value(capital.max_log_capital, rejected_at is not None),
            ci_lower=capital.ci_lower,
            ci_upper=capital.ci_upper,
        )

    def _take(self, x: float) -> MonitorUpdate:
        """Add a checked score to the normal mixture's state and report the new state."""
        assert self._sigma is not None and self._tau is not None
        state = self._state or _START
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
        update = MonitorUpdate(
            n=n,
            mean=mean,
            likelihood_ratio=_exp_or_inf(log_ratio),
            log_likelihood_ratio=log_ratio,
            rejected=rejected_at is not None,
            rejected_at=rejected_at,
            p_value=self._p_value(max_log_ratio, rejected_at is not None),
            ci_lower=lower,
            ci_upper=upper,
        )
        self._total = total
        self._max_log_ratio = max_log_ratio
        self._state = update
        return update


class PairedMonitor:
    """An anytime-valid test of the mean difference of two models on the same items.

    Made by :meth:`SequentialMonitor.paired`. Each item is scored for both
    models; the monitor tests the differences candidate - baseline, which lie
    in [low - high, high - low], with the betting monitor of
    :class:`SequentialMonitor` and its guarantee: however often it is
    checked, it ever rejects a true ``null_mean`` with probability at most
    ``alpha``. A rejection with ``ci_lower > null_mean`` says the candidate
    is better; with ``ci_upper < null_mean``, worse.

    Parameters
    ----------
    alpha : float, default 0.05
        The false-positive rate to keep, in (0, 1).
    bounds : (float, float)
        The range [low, high] of each model's scores.
    null_mean : float, default 0.0
        The mean difference under the null.

    Raises
    ------
    TypeError, ValueError
        As :class:`SequentialMonitor` does for these arguments.
    """

    __slots__ = ("_bounds", "_differences")

    def __init__(self, alpha: float = 0.05, *, bounds: tuple[float, float], null_mean: float = 0.0) -> None:
        self._bounds = _check_bounds(bounds)
        span = self._bounds[1] - self._bounds[0]
        self._differences = SequentialMonitor(alpha, bounds=(-span, span), null_mean=null_mean)

    @property
    def alpha(self) -> float:
        """The false-positive rate kept."""
        return self._differences.alpha

    @property
    def bounds(self) -> tuple[float, float]:
        """The range of each model's scores."""
        return self._bounds

    @property
    def null_mean(self) -> float:
        """The mean difference under the null hypothesis."""
        return self._differences.null_mean

    @property
    def differences(self) -> SequentialMonitor:
        """The monitor of the differences candidate - baseline."""
        return self._differences

    @property
    def n(self) -> int:
        """The number of pairs taken."""
        return self._differences.n

    @property
    def rejected(self) -> bool:
        """Whether the monitor has rejected (it stays rejected)."""
        return self._differences.rejected

    @property
    def last(self) -> MonitorUpdate | None:
        """The state after the last pair; None before the first."""
        return self._differences.last

    def __copy__(self) -> PairedMonitor:
        # A copy that shared the monitor of the differences would move with it.
        return copy.deepcopy(self)

    def __repr__(self) -> str:
        return (
            f"PairedMonitor(alpha={self.alpha!r}, bounds={self._bounds!r}, null_mean={self.null_mean!r}, "
            f"n={self.n}, rejected={self.rejected})"
        )

    @returns_fields(MonitorUpdate)
    def update(self, baseline: float, candidate: float) -> MonitorUpdate:
        """Take one item's two scores and return the monitor's new state.

        Parameters
        ----------
        baseline : float
            The baseline model's score (a bool counts as 0 or 1).
        candidate : float
            The candidate model's score on the same item.

        Returns
        -------
        MonitorUpdate
            {fields}

        Raises
        ------
        TypeError
            For a value that is not a real number.
        ValueError
            For NaN, an infinity or a score outside ``bounds``. A refused
            pair changes nothing.
        """
        base = _check_score("baseline", baseline, self._bounds)
        cand = _check_score("candidate", candidate, self._bounds)
        return self._differences.update(cand - base)

    @returns_fields(MonitorBatch)
    def update_many(self, baseline: Scores, candidate: Scores, *, nan_policy: NanPolicy = "raise") -> MonitorBatch:
        """Feed a batch of pairs in order, stopping at the first rejection.

        Like :meth:`SequentialMonitor.update_many`, on the differences
        candidate - baseline: the batch is checked whole before any pair is
        fed, and positions count the pairs of the batch.

        Parameters
        ----------
        baseline : iterable of float
            The baseline model's scores, one per item.
        candidate : iterable of float
            The candidate model's scores on the same items, in the same order.
        nan_policy : {"raise", "omit"}, default "raise"
            What to do with a pair missing either score: refuse the batch, or
            pass over the pair.

        Returns
        -------
        MonitorBatch
            {fields}

        Raises
        ------
        TypeError
            For inputs that are not one-dimensional sequences of numbers.
        ValueError
            For inputs of different lengths, infinities, missing values under
            ``nan_policy="raise"`` or scores outside ``bounds``.
        """
        policy = check_nan_policy(nan_policy)
        base = as_scores("baseline", baseline)
        cand = as_scores("candidate", candidate)
        if len(base) != len(cand):
            raise ValueError(
                f"baseline and candidate must hold one score per item each, got {len(base)} and {len(cand)} scores"
            )
        keep_complete({"baseline": base, "candidate": cand}, policy)
        _check_scores_within("baseline", base, self._bounds)
        _check_scores_within("candidate", cand, self._bounds)
        # A pair missing either score has a NaN difference, passed over.
        return self._differences.update_many(cand - base, nan_policy="omit")

import copy
import math
import pickle
import sys
import threading

import numpy as np
import pytest

from mirabund import SequentialMonitor


def direct_log_ratio(xs, mu, sigma, tau):
    """log of the integral over the effect theta ~ N(0, tau^2) of the normal
    likelihood ratio of mean mu + theta against mean mu, by the trapezoid
    rule on a grid around the integrand's peak."""
    n, s = len(xs), float(np.sum(np.asarray(xs) - mu))
    precision = n / sigma**2 + 1 / tau**2
    peak, width = s / sigma**2 / precision, 12 / math.sqrt(precision)
    theta = np.linspace(peak - width, peak + width, 4001)
    log_f = theta * s / sigma**2 - n * theta**2 / (2 * sigma**2) - theta**2 / (2 * tau**2)
    top = log_f.max()
    integral = np.trapezoid(np.exp(log_f - top), theta) / math.sqrt(2 * math.pi * tau**2)
    return top + math.log(integral)


def root(f, inside, outside):
    """Bisection for f = 0 between a point where f < 0 and one where f >= 0."""
    for _ in range(80):
        middle = (inside + outside) / 2
        inside, outside = (middle, outside) if f(middle) < 0 else (inside, middle)
    return (inside + outside) / 2


@pytest.mark.parametrize(
    "options, sigma, tau, draw",
    [
        (dict(sigma=0.5, null_mean=0.5), 0.5, 0.5, lambda rng: rng.random(30) < 0.7),
        (dict(sigma=2.0, tau=0.5, null_mean=1.0, alpha=0.1), 2.0, 0.5, lambda rng: rng.normal(2.0, 2.0, 30)),
    ],
)
def test_ratio_and_confidence_sequence_match_the_mixture_integral(options, sigma, tau, draw):
    xs = draw(np.random.default_rng(5)).astype(float).tolist()
    monitor = SequentialMonitor(**options)
    threshold = -math.log(monitor.alpha)
    lowers, uppers = [], []
    for n in range(1, len(xs) + 1):
        update = monitor.update(xs[n - 1])
        seen = xs[:n]
        assert update.log_likelihood_ratio == pytest.approx(
            direct_log_ratio(seen, monitor.null_mean, sigma, tau), rel=1e-9, abs=1e-9
        )
        # The interval of step n: the means whose ratio is below 1 / alpha.
        excess = lambda mu: direct_log_ratio(seen, mu, sigma, tau) - threshold  # noqa: E731
        mean, reach = update.mean, 100 * sigma
        lowers.append(root(excess, mean, mean - reach))
        uppers.append(root(excess, mean, mean + reach))
        assert update.ci_lower == pytest.approx(max(lowers), rel=1e-9)
        assert update.ci_upper == pytest.approx(min(uppers), rel=1e-9)


def test_rejection_p_value_and_sequence_agree_on_random_streams():
    rng = np.random.default_rng(11)
    checked = {True: 0, False: 0}
    for stream in range(300):
        alpha = rng.uniform(0.01, 0.3)
        if stream % 3 == 0:
            monitor = SequentialMonitor(alpha, bounds=(0, 1), null_mean=rng.choice([0.0, 0.5, 1.0]))
            xs = (rng.random(150) < rng.uniform(0.35, 0.65)).astype(float)
        else:
            monitor = SequentialMonitor(alpha, sigma=1.5, tau=rng.uniform(0.1, 3), null_mean=-1.0)
            xs = rng.normal(rng.uniform(-1.6, -0.4), 1.5, 150)
        if stream % 3 == 2:
            # The first score on the edge of the first interval, where the
            # ratio and the interval, rounded apart, would disagree.
            rho = (monitor.tau / monitor.sigma) ** 2
            edge = monitor.sigma * math.sqrt((math.log1p(rho) - 2 * math.log(alpha)) * (1 + rho) / rho)
            xs[0] = monitor.null_mean + edge
        previous = None
        for x in xs:
            update = monitor.update(x)
            null_left = not update.ci_lower < monitor.null_mean < update.ci_upper
            assert update.rejected == (update.p_value <= alpha) == null_left
            assert update.rejected == (update.rejected_at is not None)
            if previous is not None:
                assert update.p_value <= previous.p_value
                assert previous.ci_lower <= update.ci_lower and update.ci_upper <= previous.ci_upper
                assert update.rejected >= previous.rejected and (update.rejected_at or 0) >= (previous.rejected_at or 0)
            previous = update
        checked[previous.rejected] += 1
    assert min(checked.values()) > 30  # both outcomes were exercised


def state(monitor):
    return (repr(monitor), monitor.last)


@pytest.mark.parametrize(
    "call, argument, error, message",
    [
        ("update", "0.5", TypeError, "x must be a finite number, got '0.5'"),
        ("update", None, TypeError, "x must be a finite number, got None (NoneType)"),
        ("update", math.nan, ValueError, "x must be a finite number, got nan"),
        ("update", -math.inf, ValueError, "x must be a finite number, got -inf"),
        ("update", 1.5, ValueError, "x must lie within bounds [0.0, 1.0], got 1.5"),
        ("update", 10**400, ValueError, f"x must be a finite number, got {str(10**400)[:37]}..., too large for a float"),
        ("update_many", [0.2, 0.3, -0.5, 0.1], ValueError, "xs must hold scores within bounds [0.0, 1.0], got -0.5 at position 2"),
        ("update_many", [1.0] * 40 + [math.nan], ValueError, "xs has 1 missing value (NaN, None or NA), the first at position 40; pass nan_policy='omit' to drop that item"),
        ("update_many", [0.2, "a"], TypeError, "xs must hold numbers, got 'a' at position 1"),
        ("update_many", [0.2, math.inf], ValueError, "xs must hold finite numbers, got inf at position 1"),
    ],
)
def test_refusals_name_the_argument_and_change_nothing(call, argument, error, message):
    monitor = SequentialMonitor(bounds=(0, 1), null_mean=0.5)
    monitor.update_many([1, 0, 1])
    before = state(monitor)
    with pytest.raises(error) as caught:
        getattr(monitor, call)(argument)
    assert str(caught.value) == message
    assert state(monitor) == before


@pytest.mark.parametrize("call, message", [
    (lambda monitor: monitor.update(1e308), "x would overflow the running sum of the scores, got 1e+308"),
    # Positions count the items passed over: the overflowing score is item 3.
    (lambda monitor: monitor.update_many([0.0, None, -1.0, 1e308, 1.0], nan_policy="omit"),
     "xs would overflow the running sum of the scores at position 3"),
])
def test_a_score_that_would_overflow_the_running_sum_is_refused(call, message):
    monitor = SequentialMonitor(sigma=1.0)
    monitor.update(1e308)
    before = state(monitor)
    with pytest.raises(ValueError) as caught:
        call(monitor)
    assert str(caught.value) == message
    assert state(monitor) == before


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (dict(), TypeError, "bounds or sigma is required: the range of the scores, or their scale"),
        (dict(bounds=(0, 1), sigma=0.5), ValueError, "bounds and sigma cannot both be given: give the range of the scores, or their scale"),
        (dict(bounds=(0, 1), tau=0.1), ValueError, "tau applies to sigma only: with bounds the bets adapt to the scores, got tau=0.1"),
        (dict(bounds=(1, 0)), ValueError, "bounds must be a pair (low, high) of finite numbers with low < high, got (1.0, 0.0)"),
        (dict(bounds=(-1e308, 1e308)), ValueError, "bounds must be a pair (low, high) of finite numbers with low < high and a finite width high - low, got (-1e+308, 1e+308)"),
        (dict(bounds=(0, 1), null_mean=2), ValueError, "null_mean must lie within bounds [0.0, 1.0], got 2.0"),
        (dict(sigma=0), ValueError, "sigma must be a finite number > 0, got 0.0"),
        (dict(sigma=1, tau=1e-200), ValueError, "tau must be within a factor of 1e+140 of sigma, got tau=1e-200, sigma=1.0"),
        (dict(alpha=1.0, sigma=1), ValueError, "alpha must be in (0, 1), got 1.0"),
    ],
)
def test_constructor_refusals(arguments, error, message):
    with pytest.raises(error) as caught:
        SequentialMonitor(**arguments)
    assert str(caught.value) == message


def test_update_many_stops_at_the_first_rejection_like_single_updates():
    xs = [1, None, 0] + [1] * 20
    one_by_one = SequentialMonitor(bounds=(0, 1), null_mean=0.5)
    updates = [one_by_one.update(x) for x in xs if x is not None]
    first = next(i for i, update in enumerate(updates) if update.rejected)

    batch = SequentialMonitor(bounds=(0, 1), null_mean=0.5)
    fed = batch.update_many(xs, nan_policy="omit")
    assert fed.last == updates[first] and fed.last.n == first + 1
    assert (fed.n_fed, fed.stop_index, fed.n_dropped) == (first + 1, first + 1, 1)
    # A rejected monitor takes no more from a batch.
    again = batch.update_many(x for x in [1, 1])
    assert (again.last, again.n_fed, again.stop_index, batch.n) == (fed.last, 0, None, first + 1)


def test_a_ratio_beyond_floats_is_kept_in_logs():
    monitor = SequentialMonitor(sigma=1e-3)
    update = monitor.update(1.0)
    assert update.likelihood_ratio == math.inf and update.p_value == 0.0 and update.rejected
    # log L = w n mean^2 / (2 s2) - log(1 + n tau^2 / s2) / 2, w = n tau^2 / (s2 + n tau^2) = 1/2
    assert update.log_likelihood_ratio == pytest.approx(0.5 / 2e-6 - math.log(2) / 2, rel=1e-12)


@pytest.mark.parametrize("options", [dict(bounds=(0, 1), null_mean=0.5), dict(sigma=0.5, null_mean=0.5)])
def test_updates_from_many_threads_are_each_taken_once(options):
    # The null mean throughout: the monitor never rejects, and every order
    # of the updates ends in the same state.
    threads, calls = 8, 1000
    shared, serial = SequentialMonitor(**options), SequentialMonitor(**options)
    barrier = threading.Barrier(threads)

    def work():
        barrier.wait()
        for _ in range(calls):
            shared.update(0.5)
            shared.update_many([0.5, 0.5])

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        sys.setswitchinterval(interval)
    serial.update_many([0.5] * (3 * threads * calls))
    assert shared.n == 3 * threads * calls and shared.last == serial.last


@pytest.mark.parametrize("round_trip", [lambda m: pickle.loads(pickle.dumps(m)), copy.deepcopy, copy.copy])
@pytest.mark.parametrize("options", [dict(bounds=(1, 10), null_mean=6.0), dict(sigma=2.0, null_mean=6.0)])
@pytest.mark.parametrize("taken", [0, 40])
def test_a_monitor_copies_and_pickles_to_exactly_what_it_was(round_trip, options, taken):
    scores = np.random.default_rng(2).integers(1, 11, 140).astype(float)
    original = SequentialMonitor(**options)
    original.update_many(scores[:taken])
    copied = round_trip(original)
    assert (copied.last, repr(copied)) == (original.last, repr(original))
    assert copied.last is None if taken == 0 else copied.last.n == taken
    # The two go on alike, and apart: feeding one leaves the other as it was.
    assert [copied.update(x) for x in scores[taken:]] == [original.update(x) for x in scores[taken:]]
    copied.update(6.0)
    assert copied.n == original.n + 1


def test_paired_monitor_tests_the_differences():
    rng = np.random.default_rng(4)
    baseline = (rng.random(300) < 0.7).astype(float)
    candidate = np.where(rng.random(300) < 0.3, 1.0, baseline)
    baseline[[5, 9]] = np.nan
    monitor = SequentialMonitor.paired(bounds=(0, 1))
    paired = monitor.update_many(baseline, candidate, nan_policy="omit")
    direct = SequentialMonitor(bounds=(-1, 1)).update_many(candidate - baseline, nan_policy="omit")
    assert paired == direct and paired.last.rejected and paired.last.ci_lower > 0
    for copied in (copy.copy(monitor), pickle.loads(pickle.dumps(monitor))):
        assert copied.last == monitor.last
        copied.update(0, 1)
        assert copied.n == monitor.n + 1


@pytest.mark.parametrize("call, message", [
    (lambda m: m.update(0.5, 1.5), "candidate must lie within bounds [0.0, 1.0], got 1.5"),
    (lambda m: m.update_many([0, 1, 1], [1, 0]), "baseline and candidate must hold one score per item each, got 3 and 2 scores"),
    (lambda m: m.update_many([0, -1, 1], [1, 0, 1]), "baseline must hold scores within bounds [0.0, 1.0], got -1.0 at position 1"),
    (lambda m: m.update_many([0, 1], [1, None]), "candidate has 1 missing value (NaN, None or NA), the first at position 1; pass nan_policy='omit' to drop that item"),
])
def test_paired_refusals_name_the_input_and_change_nothing(call, message):
    monitor = SequentialMonitor.paired(bounds=(0, 1))
    monitor.update(1, 1)
    before = monitor.last
    with pytest.raises(ValueError) as caught:
        call(monitor)
    assert str(caught.value) == message
    assert monitor.last == before

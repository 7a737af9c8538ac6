"""Many threads calling the module at once get exactly what one thread gets."""

import math
import random
import sys
import threading
import time

import pytest

import _mirabund_core as mc
from reference import UNDER_SANITIZER, bits, library_mean

THREADS = 4 if UNDER_SANITIZER else 8
ROUNDS = 1 if UNDER_SANITIZER else 3


def _series(seed, n):
    r = random.Random(seed)
    return [r.uniform(-1.0, 1.0) * 10.0 ** r.randint(-3, 6) for _ in range(n)]


def yielding_median(values):
    time.sleep(0)  # hand the interpreter to another thread mid-run
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def fingerprint(obj):
    """Every property of a result (floats as their bytes) and its repr."""
    own_repr = type(obj).__repr__ is not object.__repr__
    return type(obj).__name__, bits(obj), repr(obj) if own_repr else None


def failure(call):
    try:
        call()
    except BaseException as error:  # noqa: B036 - panics included
        return type(error).__name__, error.args
    raise AssertionError("expected a failure")


def _sequential(alpha, tau, xs):
    test = mc.SequentialTest(alpha, tau)
    updates = [fingerprint(test.update(x)) for x in xs]
    return tuple(updates), fingerprint(test)


def _unseeded(data):
    r = mc.block_bootstrap_mean(data, 4, 200, 0.9)
    return r.ci_lower <= r.ci_upper and min(data) <= r.ci_lower and r.ci_upper <= max(data)


P = mc.Preference
BH, BONF = mc.CorrectionMethod.BenjaminiHochberg, mc.CorrectionMethod.Bonferroni
P_VALUES = [random.Random(7).random() ** 3 for _ in range(400)]
SCORES, LENGTHS = _series(1, 300), [abs(x) * 10 for x in _series(2, 300)]

JOBS = {
    "mean a": lambda: fingerprint(mc.block_bootstrap_mean(_series(3, 500), 7, 400, 0.95, seed=1)),
    "mean b": lambda: fingerprint(mc.block_bootstrap_mean(_series(4, 64), 64, 100, 0.5, seed=2**64 - 1)),
    "mean c": lambda: fingerprint(mc.block_bootstrap_mean(_series(5, 101), 1, 300, 0.68, seed=0)),
    "callable mean": lambda: fingerprint(mc.block_bootstrap(_series(3, 200), 7, 60, 0.95, library_mean, seed=1)),
    "callable yielding": lambda: fingerprint(mc.block_bootstrap(_series(6, 50), 3, 40, 0.9, yielding_median,
                                                                seed=9)),
    "correction bh": lambda: fingerprint(mc.correct_p_values(P_VALUES, 0.05, BH)),
    "correction bonferroni": lambda: fingerprint(mc.correct_p_values(P_VALUES, 0.1, BONF)),
    "effect size": lambda: fingerprint(mc.cohens_d(_series(7, 300), _series(8, 250))),
    "length bias": lambda: fingerprint(mc.length_bias_correction(SCORES, LENGTHS)),
    "pairwise": lambda: tuple(fingerprint(mc.debias_pairwise_judgment(a, b))
                              for a in (P.PrefersA, P.PrefersB, P.Tie) for b in (P.PrefersA, P.PrefersB, P.Tie)),
    "sequential": lambda: _sequential(0.05, 1.0, _series(9, 150)),
    "sequential nan": lambda: _sequential(0.01, 0.5, [1.0, 2.0, math.nan, 3.0]),
    "members": lambda: tuple((repr(m), int(m), m == int(m), m == P.Tie)
                             for m in (P.Tie, BH, mc.EffectMagnitude.Small, mc.SequentialDecision.RejectNull)),
    "value error": lambda: failure(lambda: mc.block_bootstrap_mean([], 1, 10, 0.9)),
    "statistic error": lambda: failure(lambda: mc.block_bootstrap(_series(1, 9), 2, 5, 0.9, lambda v: 1 / 0, seed=1)),
    "type error": lambda: failure(lambda: mc.cohens_d([1.0, "x"], [1.0, 2.0])),
    "overflow": lambda: failure(lambda: mc.block_bootstrap_mean([1.0], 1, 2**64, 0.9)),
    "memory": lambda: failure(lambda: mc.block_bootstrap_mean([1.0], 1, 2**62, 0.9, seed=1)),
    "panic": lambda: failure(lambda: mc.block_bootstrap([1.0, 2.0], 1, 5, 0.9, lambda v: math.nan, seed=1)),
    "unseeded": lambda: _unseeded(_series(10, 80)),
}


@pytest.fixture
def busy_switching():
    """Threads trade the interpreter as often as it allows."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def _in_threads(work, count=THREADS):
    """Runs work(index) on `count` threads started together; returns their results."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def run(index):
        try:
            barrier.wait()
            results[index] = work(index)
        except BaseException as error:  # noqa: B036
            errors.append(error)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results


def test_concurrent_calls_match_serial_calls(busy_switching, capfd):
    expected = {name: job() for name, job in JOBS.items()}
    assert expected["unseeded"] is True

    def work(index):
        order = list(JOBS) * ROUNDS
        random.Random(index).shuffle(order)
        return [(name, JOBS[name]()) for name in order]

    for outcomes in _in_threads(work):
        for name, got in outcomes:
            assert got == expected[name], name
    capfd.readouterr()  # the panic job's reports


def test_shared_sequential_test_counts_every_accepted_update(busy_switching):
    test = mc.SequentialTest(0.05, 1.0)
    refusals = {"Already borrowed", "Already mutably borrowed"}

    def slow_one():
        class Slow:
            def __float__(self):
                time.sleep(0)  # another thread runs while this update holds the test
                return 1.0
        return Slow()

    def work(index):
        accepted, refused = 0, 0
        for i in range(150):
            try:
                if i % 3 == 2:
                    test.current_mean, test.n, test.variance_estimate
                else:
                    test.update(slow_one() if (i + index) % 2 else 1.0)
                    accepted += 1
            except RuntimeError as error:
                assert str(error) in refusals
                refused += 1
        return accepted, refused

    results = _in_threads(work)
    assert test.n == sum(accepted for accepted, _ in results)
    assert sum(refused for _, refused in results) > 0  # the threads did collide
    assert (test.current_mean, test.variance_estimate) == (1.0, 0.0)
    assert test.update(1.0).n == test.n  # and the test is free again


def test_shared_results_read_from_many_threads(busy_switching):
    shared = [mc.length_bias_correction(SCORES, LENGTHS), mc.correct_p_values(P_VALUES, 0.05, BH),
              mc.block_bootstrap_mean(_series(3, 50), 3, 20, 0.9, seed=4)]
    expected = [fingerprint(r) for r in shared]

    def work(index):
        return all(fingerprint(r) == e for _ in range(40) for r, e in zip(shared, expected))

    assert all(_in_threads(work))

"""The mirabund package's native module: arguments, repeatable bits, and work that lets other threads run and
Ctrl-C end it."""

import _thread
import array
import threading
import time

import numpy as np
import pytest

from mirabund import _native
from reference import bits, raises_exactly

# Clusters 0 = {1, 2}, 1 = {10}, 2 = {100, 200, 300}, interleaved.
VALUES = [1.0, 10.0, 100.0, 2.0, 200.0, 300.0]
CODES = [0, 1, 2, 0, 2, 2]
GOOD = {"values": VALUES, "clusters": CODES, "n_resamples": 5, "confidence_level": 0.8, "seed": 42}


@pytest.mark.parametrize(
    ("change", "exception", "message"),
    [
        ({"values": "abc"}, TypeError, "argument 'values': Can't extract `str` to `Vec`"),
        ({"clusters": [0, 1.0, 2, 0, 2, 2]}, TypeError,
         "argument 'clusters': 'float' object cannot be interpreted as an integer"),
        ({"clusters": [0, -1, 2, 0, 2, 2]}, OverflowError, "can't convert negative int to unsigned"),
        ({"clusters": np.array([0, -1, 2, 0, 2, 2])}, OverflowError, "can't convert negative int to unsigned"),
        ({"seed": None}, TypeError, "argument 'seed': 'NoneType' object cannot be interpreted as an integer"),
        ({"values": []}, ValueError, "values must not be empty"),
        ({"clusters": CODES[:5]}, ValueError, "clusters must hold one code per value"),
        ({"clusters": [0, 1, 3, 0, 3, 3]}, ValueError, "clusters must be codes 0 .. k-1, each used at least once"),
        ({"clusters": [0] * 6}, ValueError, "clusters must hold at least 2 distinct codes"),
        ({"confidence_level": 1.0}, ValueError, "confidence_level must be in (0.0, 1.0)"),
        ({"n_resamples": 0}, ValueError, "n_resamples must be >= 1"),
    ],
)
def test_cluster_bootstrap_refuses(change, exception, message):
    with raises_exactly(exception, message):
        _native.cluster_bootstrap_mean(**(GOOD | change))


def test_standard_error_refuses():
    with raises_exactly(ValueError, "values must hold at least 2 items"):
        _native.mean_standard_error([1.0], clusters=[0])
    with raises_exactly(TypeError, "mean_standard_error() missing 1 required positional argument: 'values'"):
        _native.mean_standard_error(clusters=None)


def test_panic_in_work_without_the_lock_is_raised_once_the_lock_is_back():
    with pytest.raises(BaseException) as caught:
        _native.cluster_bootstrap_mean([float("nan"), 1.0, 2.0], [0, 1, 2], 50, 0.9, 1)
    assert type(caught.value).__qualname__ == "PanicException"
    assert caught.value.args == ("statistic produced NaN",)
    assert _native.cluster_bootstrap_mean(**GOOD).n_clusters == 3


def test_bits_repeat_across_calls_and_input_forms():
    forms = [
        (VALUES, CODES),
        (np.array(VALUES), np.array(CODES, dtype=np.int64)),
        (np.array(VALUES)[::-1][::-1], np.array(CODES, dtype=np.intp)[::-1][::-1]),
        (array.array("d", VALUES), array.array("Q", CODES)),
        (tuple(VALUES), np.array(CODES, dtype=np.int32)),
    ]
    results = [_native.cluster_bootstrap_mean(v, c, 5, 0.8, 42) for v, c in forms * 2]
    assert all(bits(r) == bits(results[0]) for r in results)
    # The same interval as the library's traced resamples of these clusters.
    assert (results[0].ci_lower, results[0].ci_upper) == (16 / 5, 1210 / 7)
    assert repr(results[0]) == (
        "ClusterBootstrapResult(point_estimate=102.166667, ci_lower=3.200000, ci_upper=172.857143, "
        "confidence_level=0.8, n_resamples=5, n_items=6, n_clusters=3)"
    )
    errors = [_native.mean_standard_error(v, c) for v, c in forms]
    assert all(bits(e) == bits(errors[0]) for e in errors)
    assert repr(_native.mean_standard_error([1, 2, 3, 4], [0, 0, 1, 1])) == (
        "MeanStandardError(mean=2.500000, standard_deviation=1.290994, standard_error=1.000000, "
        "cr2_standard_error=1.000000, degrees_of_freedom=1.000000, "
        "n_items=4, n_clusters=2)"
    )


def _clustered(n=10_000, k=1_000):
    return [float(i % 97) for i in range(n)], [i % k for i in range(n)]


def test_other_threads_run_during_a_long_bootstrap():
    values, codes = _clustered()
    span = []

    def bootstrap():
        start = time.perf_counter()
        _native.cluster_bootstrap_mean(values, codes, 60_000, 0.95, 1)
        span.extend((start, time.perf_counter()))

    worker = threading.Thread(target=bootstrap)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    start, end = span
    # Holding the lock, the call would let no tick in between.
    assert sum(start < t < end for t in ticks) >= 10


def test_ctrl_c_ends_a_long_bootstrap():
    values, codes = _clustered()
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            # Half a minute of work unless interrupted.
            _native.cluster_bootstrap_mean(values, codes, 10**7, 0.95, 1)
    finally:
        timer.cancel()

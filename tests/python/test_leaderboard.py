import random

import numpy as np
import pytest

import mirabund
from mirabund._metrics import Correction

pytestmark = pytest.mark.filterwarnings("ignore::mirabund.InferenceWarning")


def holm_by_definition(p_values, alpha):
    """Holm's step-down test: reject the smallest p-values in order while p_(k) <= alpha / (m - k + 1)."""
    m = len(p_values)
    order = sorted(range(m), key=lambda i: p_values[i])
    rejected = [False] * m
    for k, i in enumerate(order):
        if p_values[i] > alpha / (m - k):
            break
        rejected[i] = True
    adjusted = [0.0] * m
    running = 0.0
    for k, i in enumerate(order):
        running = max(running, min(1.0, (m - k) * p_values[i]))
        adjusted[i] = running
    return adjusted, rejected


def _p_value_sets():
    rng = random.Random(11)
    yield [0.01, 0.04, 0.03, 0.005]
    yield [0.04, 0.01, 0.04, 0.04]  # ties
    yield [0.0, 1.0, 0.5]
    yield [0.3]
    for _ in range(20):
        yield [rng.choice([rng.random() * 0.05, rng.random()]) for _ in range(rng.randint(2, 12))]


@pytest.mark.parametrize("p_values", list(_p_value_sets()))
def test_holm_matches_its_step_down_definition(p_values):
    adjusted, rejected = Correction.HOLM.adjust(p_values, 0.05)
    expected_adjusted, expected_rejected = holm_by_definition(p_values, 0.05)
    assert adjusted == pytest.approx(expected_adjusted, rel=1e-15, abs=0)
    assert rejected == expected_rejected


def test_compare_metrics_adjusts_by_holm():
    rng = np.random.default_rng(3)
    n = 30
    table = {"model": ["a"] * n + ["b"] * n, "item": list(range(n)) * 2}
    for metric, shift in (("x", 0.0), ("y", 0.4), ("z", 0.8)):
        base = rng.normal(size=n)
        table[metric] = [*base, *(base + shift + rng.normal(size=n))]
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", correction="holm", seed=1, n_resamples=200)
    expected_adjusted, expected_rejected = holm_by_definition([c.p_value for c in family], 0.05)
    assert family.correction is Correction.HOLM
    assert [c.p_adjusted for c in family] == pytest.approx(expected_adjusted, rel=1e-15, abs=0)
    assert [c.rejected for c in family] == expected_rejected

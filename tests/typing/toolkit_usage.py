"""Typed use of the mirabund package, checked by mypy --strict and also run.

Each line of `rejected` (never run) must draw the error its ignore comment
names: mypy runs with --warn-unused-ignores, so annotations that let one of
them through fail the check.
"""

from typing import Any, assert_type

import numpy as np
import pandas as pd

import mirabund

BASELINE = [0.61, 0.70, 0.55, 0.80, 0.66, 0.72, 0.58, 0.75]
CANDIDATE = np.array([0.68, 0.71, 0.63, 0.86, 0.70, 0.79, 0.57, 0.81])
TOPICS = ["a", "a", "b", "b", "c", "c", "d", "d"]


def routines() -> None:
    mean = mirabund.mean_interval(pd.Series(BASELINE), clusters=TOPICS, n_resamples=200, seed=1)
    assert_type(mean, mirabund.MeanInterval)
    assert_type(mean.standard_error, float)
    assert_type(mean.n_clusters, int | None)
    paired = mirabund.compare(BASELINE, CANDIDATE, block_size=2, n_resamples=200, nan_policy="omit")
    assert_type(paired.p_value, float)
    assert_type(paired.magnitude, mirabund.Magnitude)
    assert_type(paired.p_adjusted, float | None)
    table = {"model": ["a"] * 8 + ["b"] * 8, "item": list(range(8)) * 2, "score": BASELINE + CANDIDATE.tolist()}
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", metrics=["score"],
                                      correction=mirabund.Correction.BONFERRONI, n_resamples=200, seed=2)
    assert_type(family, mirabund.MetricComparisons)
    for comparison in family:
        assert_type(comparison, mirabund.Comparison)
    assert_type(family["score"].d_z, float)
    assert_type(mirabund.to_frame([mean, paired, family]), pd.DataFrame)
    assert_type(family.to_dict(), dict[str, Any])
    directed = mirabund.compare_metrics(table, baseline="a", candidate="b", direction={"score": "lower"},
                                        n_resamples=200, seed=2)
    assert_type(directed.outcomes, tuple[mirabund.Outcome, ...])
    assert_type(directed.item_properties, tuple[str, ...])


def rejected() -> None:
    result = mirabund.compare(BASELINE, CANDIDATE)
    mirabund.compare("0.6 0.7", CANDIDATE)  # type: ignore[arg-type]
    mirabund.compare(BASELINE, CANDIDATE, None)  # type: ignore[call-arg]
    mirabund.compare(BASELINE, CANDIDATE, clusters=5)  # type: ignore[arg-type]
    mirabund.mean_interval(BASELINE, n_resamples=1.5)  # type: ignore[arg-type]
    mirabund.mean_interval(BASELINE, nan_policy="drop")  # type: ignore[arg-type]
    mirabund.compare_metrics({"score": BASELINE}, baseline="a")  # type: ignore[call-arg]
    mirabund.read_table("scores.csv", labels=3)  # type: ignore[arg-type]
    result.p_value = 0.0  # type: ignore[misc]


if __name__ == "__main__":
    routines()
    print("typed package usage ran")

import math

import numpy as np
import pytest

from mirabund import estimate_sd_icc, minimum_detectable_effect, required_items


@pytest.mark.parametrize(
    "effect, sd, alpha, power, two_sided",
    [
        (0.05, 0.5, 0.05, 0.8, True),
        (-0.1, 1.0, 0.05, 0.9, True),
        (0.3, 2.0, 0.01, 0.8, False),
        (0.02, 0.3, 0.1, 0.95, True),
        (1.5, 1.0, 0.05, 0.8, False),
    ],
)
def test_required_items_agrees_with_statsmodels_t_test_power(effect, sd, alpha, power, two_sided):
    power_solver = pytest.importorskip("statsmodels.stats.power")
    solved = power_solver.TTestPower().solve_power(
        effect_size=abs(effect) / sd, alpha=alpha, power=power,
        alternative="two-sided" if two_sided else "larger",
    )
    assert required_items(effect, sd, alpha=alpha, power=power, two_sided=two_sided) == math.ceil(solved)


@pytest.mark.parametrize("cluster_size, icc, cv", [(1, 0.0, 0.0), (8, 0.1, 0.0), (4.5, 0.35, 0.6), (20, 1.0, 1.2)])
def test_minimum_detectable_effect_inverts_required_items(cluster_size, icc, cv):
    design = {"cluster_size": cluster_size, "icc": icc, "cluster_size_cv": cv}
    for n_items in [2, 7, 100, 785, 12_345, 10**7]:
        effect = minimum_detectable_effect(n_items, 0.5, **design)
        if n_items <= cluster_size:  # one cluster's worth: no degrees of freedom
            assert effect == math.inf
            continue
        # The power curve is flat in the count at 10**7 items, beyond the
        # precision of the noncentral t: there only close.
        assert required_items(effect, 0.5, **design) == pytest.approx(n_items, rel=1e-5 if n_items > 10**5 else 0)
    # With many clusters the t-test is the z-test, and the design effect
    # 1 + icc * (m * (1 + cv**2) - 1) multiplies the count.
    unclustered = minimum_detectable_effect(10**6, 0.5)
    clustered = minimum_detectable_effect(10**6, 0.5, **design)
    assert clustered == pytest.approx(unclustered * math.sqrt(1 + icc * (cluster_size * (1 + cv * cv) - 1)),
                                      rel=1e-3)


@pytest.mark.parametrize(
    "scores, clusters, sd, icc",
    [
        # Clusters a: 1 3 (mean 2), b: 4 6 8 (mean 6), c: 5 7 9 11 (mean 8), in
        # no order; grand mean 6. MSB = (2*16 + 0 + 4*4) / 2 = 24,
        # MSW = (2 + 8 + 20) / 6 = 5, n0 = (9 - 29/9) / 2 = 26/9,
        # between = 19 / (26/9) = 171/26: icc 171/301, sd sqrt(301/26).
        ([1, 4, 5, 3, 6, 7, 8, 9, 11], ["a", "b", 3, "a", "b", 3, "b", 3, 3], math.sqrt(301 / 26), 171 / 301),
        # Equal cluster means: MSB = 0 < MSW = 4/3, so the icc is truncated at 0.
        ([0, 2, 0, 2, 1, 1], ["x", "x", "y", "y", "z", "z"], math.sqrt(4 / 3), 0.0),
    ],
)
def test_estimate_sd_icc_by_hand(scores, clusters, sd, icc):
    pilot = estimate_sd_icc(scores, clusters)
    assert pilot.sd == pytest.approx(sd, rel=1e-14)
    assert pilot.icc == pytest.approx(icc, rel=1e-14, abs=0)
    assert (pilot.n_items, pilot.n_clusters, pilot.mean_cluster_size) == (len(scores), 3, len(scores) / 3)
    sizes = [clusters.count(label) for label in dict.fromkeys(clusters)]
    assert pilot.cluster_size_cv == pytest.approx(float(np.std(sizes) / np.mean(sizes)), rel=1e-14, abs=0)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: required_items(0, 1), ValueError, "effect must be a nonzero finite number, got 0.0"),
        (lambda: minimum_detectable_effect(10, -0.5), ValueError, "sd must be a finite number > 0, got -0.5"),
        (lambda: required_items(0.1, 1, power=0.02), ValueError, "power must be above 0.025 for this alpha, got 0.02"),
        (lambda: required_items(0.1, 1, icc=1.5), ValueError, "icc must be in [0, 1], got 1.5"),
        (lambda: minimum_detectable_effect(10, 1, cluster_size=0.5), ValueError, "cluster_size must be a number >= 1 (items per cluster), got 0.5"),
        (lambda: estimate_sd_icc([1, 2, 3], ["a", "a", "a"]), ValueError, "clusters must hold at least 2 distinct labels, got 1"),
        (lambda: estimate_sd_icc([1, 2, 3], ["a", "b", "c"]), ValueError, "clusters must have a cluster of two or more items, to measure the spread within clusters"),
        (lambda: estimate_sd_icc([1, 1, 1], ["a", "a", "b"]), ValueError, "scores must vary to estimate their spread: every score used is 1.0"),
        (lambda: estimate_sd_icc([1e200, 1e200, 3e200, 3e200], ["a", "a", "b", "b"]), ValueError,
         "scores: the scores are too large: the sum of their squared deviations overflows a float; rescale them"),
    ],
)
def test_planning_refusals(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message

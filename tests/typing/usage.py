"""Typed use of every member of the module, checked by mypy and also run.

Run, it shows that what the stub accepts the module accepts too. Checked,
each line of `rejected` (never run) must draw the error its ignore comment
names: mypy runs with --warn-unused-ignores, so a stub that lets one of them
through fails the check.
"""

from collections.abc import Hashable
from typing import assert_type

import numpy as np

import _mirabund_core as mc

SCORES = [0.6, 0.7, 0.65, 0.8, 0.75, 0.9, 0.55, 0.7]
ARRAY = np.array(SCORES)


def mean_of(values: list[float]) -> float:
    return sum(values) / len(values)


def bootstrap() -> None:
    for data in (SCORES, ARRAY, np.arange(8.0), (1, 2, 3, 4), range(4)):
        mean = mc.block_bootstrap_mean(data, 2, 50, 0.9, seed=7)
        assert_type(mean, mc.BootstrapResult)
        general = mc.block_bootstrap(data, block_size=2, n_resamples=50, confidence_level=0.9,
                                     statistic=mean_of, seed=7)
        median = mc.block_bootstrap(data, 2, 50, 0.9, lambda xs: np.median(xs))
        for result in (mean, general, median):
            assert_type(result.point_estimate, float)
            assert_type(result.ci_lower, float)
            assert_type(result.ci_upper, float)
            assert_type(result.confidence_level, float)
            assert_type(result.n_resamples, int)
        assert mean.ci_lower == general.ci_lower


def sequential() -> None:
    test = mc.SequentialTest(alpha=0.05, tau=1.0)
    assert_type(test.variance_estimate, float | None)
    for x in [0.2, 1, np.float64(0.4)]:
        update = test.update(x)
        assert_type(update, mc.SequentialUpdate)
        assert_type(update.n, int)
        assert_type(update.likelihood_ratio, float)
        assert_type(update.decision, mc.SequentialDecision)
        if update.decision == mc.SequentialDecision.RejectNull:
            break
    assert_type(test.n, int)
    assert_type(test.current_mean, float)
    assert int(mc.SequentialDecision.Continue) == 0


def correction() -> None:
    for method in (mc.CorrectionMethod.Bonferroni, mc.CorrectionMethod.BenjaminiHochberg):
        for p_values in ([0.01, 0.04, 0.03], np.array([0.01, 0.04, 0.03])):
            result = mc.correct_p_values(p_values, 0.05, method)
            assert_type(result.adjusted_p_values, list[float])
            assert_type(result.rejected, list[bool])
            assert_type(result.alpha, float)


def effect_size() -> None:
    result = mc.cohens_d(ARRAY, treatment=[0.7, 0.8, 0.9])
    assert_type(result.cohens_d, float)
    assert_type(result.hedges_g, float)
    assert_type(result.n_baseline, int)
    assert_type(result.n_treatment, int)
    magnitude: mc.EffectMagnitude = result.magnitude
    assert magnitude in (mc.EffectMagnitude.Negligible, mc.EffectMagnitude.Small,
                         mc.EffectMagnitude.Medium, mc.EffectMagnitude.Large)


def judge_calibration() -> None:
    fit = mc.length_bias_correction(np.array([2.0, 3.0, 3.5]), lengths=[10, 20, 30])
    assert_type(fit.slope, float)
    assert_type(fit.intercept, float)
    assert_type(fit.correlation, float)
    assert_type(fit.adjusted_scores, list[float])
    judged = mc.debias_pairwise_judgment(mc.Preference.PrefersA, swapped_order=mc.Preference.Tie)
    assert_type(judged.preference, mc.Preference)
    assert_type(judged.position_bias_detected, bool)
    assert judged.preference == mc.Preference.Tie and int(mc.Preference.PrefersB) == 1


def rejected() -> None:
    result = mc.cohens_d([1.0, 2.0], [2.0, 3.0])
    mc.cohens_d("1.0, 2.0", [2.0])  # type: ignore[arg-type]
    mc.cohens_d([1.0], [2.0], 3)  # type: ignore[call-arg]
    mc.cohens_d(baseline=[1.0], treated=[2.0])  # type: ignore[call-arg]
    mc.cohens_d(["1.0"], [2.0])  # type: ignore[list-item]
    mc.correct_p_values([0.01], 0.05, 0)  # type: ignore[arg-type]
    mc.debias_pairwise_judgment(mc.Preference.Tie, mc.CorrectionMethod.Bonferroni)  # type: ignore[arg-type]
    mc.block_bootstrap_mean([1.0], 1.5, 10, 0.9)  # type: ignore[arg-type]
    mc.block_bootstrap([1.0], 1, 10, 0.9, lambda xs: str(xs))  # type: ignore[arg-type,return-value]
    mc.SequentialTest(0.05)  # type: ignore[call-arg]
    mc.SequentialTest(0.05, 1.0).update("1")  # type: ignore[arg-type]
    result.cohens_d = 0.0  # type: ignore[misc]
    key: Hashable = mc.Preference.Tie  # type: ignore[assignment]

    class Derived(mc.EffectSizeResult):  # type: ignore[misc]
        pass

    del key, Derived


if __name__ == "__main__":
    bootstrap()
    sequential()
    correction()
    effect_size()
    judge_calibration()
    print("typed usage ran")

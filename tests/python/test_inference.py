"""The small-sample methods against their textbook definitions."""

import math
import warnings

import numpy as np
import pytest

import mirabund
from mirabund import _native


def cr2_by_matrices(values, codes):
    """CR2 variance and Bell-McCaffrey degrees of freedom of a constant-only
    model, from the hat matrix and each cluster's adjustment (I - H_gg)^(-1/2)."""
    n = len(values)
    X = np.ones((n, 1))
    H = X @ np.linalg.inv(X.T @ X) @ X.T
    M = np.eye(n) - H
    residuals = M @ values
    variance = 0.0
    columns = []
    for g in np.unique(codes):
        rows = codes == g
        eigenvalues, vectors = np.linalg.eigh(np.eye(rows.sum()) - H[np.ix_(rows, rows)])
        adjust = vectors @ np.diag(eigenvalues ** -0.5) @ vectors.T
        variance += float(X[rows, 0] @ adjust @ residuals[rows]) ** 2 / n ** 2
        column = np.zeros(n)
        column[rows] = adjust @ X[rows, 0] / n
        columns.append(M @ column)
    G = np.column_stack(columns)
    lam = np.linalg.eigvalsh(G.T @ G)
    return math.sqrt(variance), lam.sum() ** 2 / (lam ** 2).sum()


@pytest.mark.parametrize("sizes", [[3, 3, 3], [1, 2, 9, 4, 30], [50, 1]])
def test_cr2_and_its_degrees_of_freedom_match_the_matrix_forms(sizes):
    rng = np.random.default_rng(len(sizes))
    codes = np.repeat(np.arange(len(sizes)), sizes)
    rng.shuffle(codes)  # a cluster's items need not be adjacent
    values = rng.normal(size=len(codes))
    se, df = cr2_by_matrices(values, codes)
    native = _native.mean_standard_error(values, codes)
    assert native.cr2_standard_error == pytest.approx(se, rel=1e-12)
    assert native.degrees_of_freedom == pytest.approx(df, rel=1e-9)
    if len(set(sizes)) == 1:
        assert native.degrees_of_freedom == pytest.approx(len(sizes) - 1, rel=1e-12)


@pytest.mark.parametrize("wins, losses, ties", [(7, 1, 30), (0, 5, 2), (40, 25, 100), (3, 3, 0)])
def test_exact_method_on_0_1_pairs_is_mcnemars_exact_test(wins, losses, ties):
    baseline = [0] * wins + [1] * losses + [1] * ties
    candidate = [1] * wins + [0] * losses + [1] * ties
    r = mirabund.compare(baseline, candidate, method="exact", seed=1)
    m = wins + losses
    tail = sum(math.comb(m, i) for i in range(min(wins, losses) + 1)) / 2 ** m
    assert r.p_value == pytest.approx(min(1.0, 2 * tail), rel=1e-12)
    assert (r.method, r.reference) == ("exact", "randomization")


def test_binary_intervals_are_wilsons_and_tangos():
    proportion = pytest.importorskip("statsmodels.stats.proportion")
    r = mirabund.mean_interval([1] * 16 + [0] * 4)
    assert (r.ci_lower, r.ci_upper) == pytest.approx(proportion.proportion_confint(16, 20, method="wilson"), rel=1e-12)
    # Tango's bounds are where the score statistic, with the rate of losses
    # that maximises the likelihood under the bound, reaches -+z.
    optimize = pytest.importorskip("scipy.optimize")
    wins, losses, n = 7, 1, 38
    r = mirabund.compare([0] * wins + [1] * losses + [1] * 30, [1] * wins + [0] * losses + [1] * 30)
    assert (r.method, r.reference) == ("binary", "normal")
    for bound, z in ((r.ci_lower, 1.959963984540054), (r.ci_upper, -1.959963984540054)):
        def minus_log_likelihood(q):
            return -(wins * math.log(q + bound) + losses * math.log(q) + (n - wins - losses) * math.log(1 - 2 * q - bound))
        q = optimize.minimize_scalar(minus_log_likelihood, bounds=(max(0.0, -bound) + 1e-12, (1 - bound) / 2 - 1e-12),
                                     method="bounded", options={"xatol": 1e-12}).x
        assert (wins - losses - n * bound) / math.sqrt(n * (2 * q + bound * (1 - bound))) == pytest.approx(z, rel=1e-6)


@pytest.mark.parametrize("method, clustered, kind", [
    ("auto", False, "skewed"), ("auto", True, "skewed"), ("cr2", False, "skewed"), ("exact", True, "skewed"),
    ("auto", False, "0/1"),
])
def test_p_value_is_below_alpha_exactly_when_the_interval_excludes_0(method, clustered, kind):
    rng = np.random.default_rng(3)
    disagreements = 0
    for trial in range(60):
        n = int(rng.integers(8, 60))
        codes = rng.integers(0, 6, n) if clustered else None
        if clustered and len(set(codes.tolist())) < 2:
            continue
        if kind == "0/1":
            differences = rng.choice([-1.0, 0.0, 1.0], size=n, p=[0.15, 0.6, 0.25])
        else:
            differences = rng.exponential(size=n) - rng.uniform(0.4, 1.6)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", mirabund.InferenceWarning)
            r = mirabund.compare(np.zeros(n), differences, clusters=codes, method=method, n_resamples=499,
                                 confidence_level=0.9, seed=trial)
        disagreements += (r.p_value < 1 - 0.9) != (not r.ci_lower <= 0.0 <= r.ci_upper)
    assert disagreements == 0


def test_auto_resamples_only_below_500_items():
    rng = np.random.default_rng(5)
    scores = rng.exponential(size=500)
    assert mirabund.mean_interval(scores, seed=1).method == "cr2"
    assert mirabund.mean_interval(scores[:499], seed=1).method == "bootstrap-t"
    assert mirabund.compare(scores, scores + rng.normal(size=500), seed=1).degrees_of_freedom == 499


def test_clusters_are_drawn_in_label_order_whatever_the_order_of_the_rows():
    rng = np.random.default_rng(8)
    labels = [f"t{c:02d}" for c in rng.integers(0, 20, 120)]
    baseline, candidate = rng.normal(0.0, 1.0, 120), rng.normal(0.1, 1.0, 120)
    turned = rng.permutation(120)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", mirabund.InferenceWarning)
        for method in ("percentile", "exact"):  # 20 clusters: sampled sign flips
            run = [mirabund.compare(b, c, clusters=k, method=method, n_resamples=400, seed=3)
                   for b, c, k in ((baseline, candidate, labels),
                                   (baseline[turned], candidate[turned], [labels[i] for i in turned]))]
            assert math.isclose(run[0].ci_lower, run[1].ci_lower, rel_tol=1e-12)
            assert math.isclose(run[0].ci_upper, run[1].ci_upper, rel_tol=1e-12)
        # Labels that do not sort keep their order of first appearance.
        mixed = [i if i % 2 else str(i) for i in rng.integers(0, 20, 120)]
        assert mirabund.compare(baseline, candidate, clusters=mixed, method="percentile", n_resamples=50).n_clusters > 1

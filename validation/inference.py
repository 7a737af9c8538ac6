"""Type I error, interval coverage and power of candidate paired-comparison methods.

Simulated evals in which two models score the same items. Under the null the
two models are exchangeable: every item's latent score is a shared part (a
cluster effect plus an item effect) plus each model's own noise (its own
cluster effect plus item noise), both models drawn from the same law, so the
paired differences have mean 0. Non-null runs add a shift to the candidate's
latent score and check that each interval covers the true mean difference.
For each cell the script prints the rejection rate at alpha 0.05 and the
coverage of the 95% interval, each with its Monte Carlo standard error, and
the mean interval width relative to the large-sample normal interval.

Methods with clusters (the mean of the paired differences, cluster labels):
  cr1-normal       CR1 standard error, normal reference (today's p-value)
  percentile       percentile cluster bootstrap (today's interval)
  cr2-bm           CR2 standard error, t on Bell-McCaffrey degrees of freedom
  cr2-bm-icc       the same, degrees of freedom under a working model of the
                   ICC estimated by one-way ANOVA (Imbens and Kolesar 2016)
  cr2-g1           CR2 standard error, t on G - 1 degrees of freedom
  wild-webb        wild cluster restricted bootstrap, Webb's six-point weights,
                   CR1 t, symmetric p (no interval: coverage is the share of
                   runs in which the test of the true mean does not reject)
  cluster-boot-t   whole clusters resampled, CR1 t*, equal-tailed
Methods without clusters:
  normal           z = mean / (sd / sqrt n) (today's p-value; its interval
                   mean +/- 1.96 se is the width reference)
  percentile       percentile bootstrap (today's interval)
  paired-t         t on n - 1 degrees of freedom
  boot-t           bootstrap-t, equal-tailed, with its matching p-value
  boot-t-sym       symmetric bootstrap-t
  sign-flip        exact sign-flip randomization test of the differences
                   (McNemar's exact test for 0/1 scores), sampled flips above
                   16 items
  binary-midp-bp   0/1 scores only: McNemar mid-p test, Bonett-Price adjusted
                   Wald interval (from the discordant pairs)
For one model's mean of 0/1 scores also the Wilson interval (with clusters on
the effective sample size p(1 - p) / V_CR2 and the Bell-McCaffrey t quantile,
"wilson-cr2") and the t interval of the log-odds mapped back (CR2 and
Bell-McCaffrey with clusters, "logit-cr2"; sd / sqrt(n) on n - 1 without,
"logit-t"), Wilson's where all scores are 0 or all 1.

Cells: clusters G in {5, 10, 20, 40, 100} of 10 items, or of heavy-tailed
sizes (lognormal quantiles, mean about 10, so that at G = 5 one cluster holds
half the items; fixed within a cell), latent ICC 0.1 and 0.5 (of the
differences as of each model's scores), scores continuous, 0/1 at base rate
0.8 or Likert 1-10 (skewed to the high end); and paired items without
clusters, n in {10, 20, 50, 200}, with 0/1 scores (exchangeable), or with
mean-zero skewed differences (centred exponential, centred lognormal: a null
for the mean but not for symmetry); the same skewed differences at 500 to
5 000 items for the paired t-test alone (part "large", at least 20 000
replications), the default there. The mean of one model's scores is checked
the same way (``mean_interval``); its intervals are the ones above, applied
to the scores.

Family: 10 null metrics (continuous, 0/1 and Likert in turn, every latent
part correlated 0.5 across the metrics of an item) on 20 clusters of
heavy-tailed sizes; the share of replications in which Benjamini-Hochberg at
0.05 over the 10 p-values rejects anything (the family-wise error).

Planning: clusters of mean size 10 with size variation cv 0.5 or 1, ICC 0.1
or 0.3, effect 0.25 or 0.5 sd. n = (t_(1-alpha/2, df) + t_(power, df))^2 sd^2
DE / effect^2 with DE = 1 + icc (m (1 + cv^2) - 1) (Eldridge et al. 2006),
iterated until n is stable, for df: the normal (none), k - 1, Bell-McCaffrey
for sizes at the lognormal quantiles of that cv, and Bell-McCaffrey under the
design's ICC. Then the design is simulated at each n (k = ceil(n / 10)
clusters, lognormal sizes drawn afresh every 20 replications) and the power
of the tests is printed.

Bootstrap methods use 999 resamples. All computations are vectorised over
replications; the default 2000 replications in every cell give a Monte Carlo
standard error of about 0.005 on a 0.05 rejection rate (about 11 minutes on
one core; ``--package`` about 2).

``--package`` runs the package's defaults (``method="auto"``, and 999
resamples for its bootstrap-based methods) through the same cells instead of
the numpy candidates, one call per replication;
a mirabund without ``method=`` is measured with its current defaults. The
planning part then compares the package's ``required_items`` with the
Bell-McCaffrey plan. ``--quick`` runs a reduced grid in under a minute;
``--only PART`` one part (clustered, paired, family, planning);
``--closed-form`` leaves out the resampling methods, for runs of many
replications.

    python validation/inference.py [--package] [--quick] [--replications N] [--seed S]
"""

from __future__ import annotations

import argparse
import inspect
import math
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
from scipy import stats

ALPHA = 0.05
LEVEL = 0.95
RESAMPLES = 999
EXACT_FLIPS = 16  # enumerate all 2^n sign flips up to this many items
WEBB = np.array([-math.sqrt(1.5), -1.0, -math.sqrt(0.5), math.sqrt(0.5), 1.0, math.sqrt(1.5)])
CELLS_PER_CHUNK = 4_000_000  # bootstrap arrays are built this many numbers at a time
SHIFT = 0.3  # latent shift of the candidate in the non-null runs
BINARY_CUT = stats.norm.ppf(0.2)  # 0/1 scores at base rate 0.8
LIKERT_SHARES = np.array([0.02, 0.02, 0.03, 0.05, 0.08, 0.12, 0.18, 0.22, 0.18, 0.10])
LIKERT_CUTS = stats.norm.ppf(np.cumsum(LIKERT_SHARES)[:-1])
Z = stats.norm.ppf(0.5 + LEVEL / 2)


# ---------------------------------------------------------------- designs

@dataclass(frozen=True)
class Design:
    """Items stored cluster by cluster; ``sizes`` None for independent items."""

    n: int
    sizes: np.ndarray | None = None

    @property
    def n_clusters(self) -> int:
        return 0 if self.sizes is None else len(self.sizes)

    @property
    def starts(self) -> np.ndarray:
        assert self.sizes is not None
        return np.concatenate(([0], np.cumsum(self.sizes)[:-1]))

    @property
    def labels(self) -> np.ndarray:
        assert self.sizes is not None
        return np.repeat(np.arange(len(self.sizes)), self.sizes)


def lognormal_sizes(n_clusters: int, mean_size: float, cv: float) -> np.ndarray:
    """Cluster sizes at the quantiles of a lognormal of that mean and coefficient of variation."""
    sigma = math.sqrt(math.log1p(cv * cv))
    quantiles = stats.norm.ppf((np.arange(n_clusters) + 0.5) / n_clusters)
    return np.maximum(1, np.rint(mean_size * np.exp(sigma * quantiles - sigma * sigma / 2))).astype(np.int64)


def clustered_design(n_clusters: int, sizes: str) -> Design:
    if sizes == "equal":
        s = np.full(n_clusters, 10, dtype=np.int64)
    else:  # a lognormal of sigma 1: cv 1.3
        s = lognormal_sizes(n_clusters, 10.0, math.sqrt(math.e - 1))
    return Design(int(s.sum()), s)


# ---------------------------------------------------------------- scores

def expected_score(kind: str, shift: float) -> float:
    """E[score(Z + shift)] for a standard normal latent Z."""
    if kind == "continuous":
        return shift
    if kind == "binary":
        return float(stats.norm.sf(BINARY_CUT - shift))
    return float(1 + stats.norm.sf(LIKERT_CUTS - shift).sum())


def score(kind: str, latent: np.ndarray) -> np.ndarray:
    if kind == "continuous":
        return latent
    if kind == "binary":
        return (latent > BINARY_CUT).astype(np.float64)
    return 1.0 + (latent[..., None] > LIKERT_CUTS).sum(axis=-1, dtype=np.int64).astype(np.float64)


class Sample(NamedTuple):
    """R replications of one eval: scores of both models, R x n each."""

    baseline: np.ndarray
    candidate: np.ndarray
    design: Design
    true_difference: float
    true_baseline_mean: float


def latent_part(rng: np.random.Generator, replications: int, design: Design, icc: float) -> np.ndarray:
    """Half of a latent score: a cluster effect (share ``icc``) plus item noise, variance 1/2."""
    return (math.sqrt(icc / 2) * rng.standard_normal((replications, design.n_clusters))[:, design.labels]
            + math.sqrt((1 - icc) / 2) * rng.standard_normal((replications, design.n)))


def draw_clustered(rng: np.random.Generator, replications: int, design: Design, icc: float, kind: str,
                   shift: float) -> Sample:
    # a part both models share (the items' difficulty) plus each model's own part
    shared = latent_part(rng, replications, design, icc)
    base = shared + latent_part(rng, replications, design, icc)
    cand = shared + latent_part(rng, replications, design, icc)
    truth = expected_score(kind, shift) - expected_score(kind, 0.0)
    return Sample(score(kind, base), score(kind, cand + shift), design, truth, expected_score(kind, 0.0))


def draw_paired(rng: np.random.Generator, replications: int, n: int, kind: str, shift: float) -> Sample:
    design = Design(n)
    if kind == "binary":
        shared = math.sqrt(0.5) * rng.standard_normal((replications, n))
        base = score("binary", shared + math.sqrt(0.5) * rng.standard_normal((replications, n)))
        cand = score("binary", shared + math.sqrt(0.5) * rng.standard_normal((replications, n)) + shift)
        truth = expected_score("binary", shift) - expected_score("binary", 0.0)
        return Sample(base, cand, design, truth, expected_score("binary", 0.0))
    # mean-zero skewed differences on top of skewed baseline scores (exponential, mean 1)
    base = rng.exponential(1.0, (replications, n))
    if kind == "exponential":
        d = rng.exponential(1.0, (replications, n)) - 1.0
    else:
        d = np.exp(rng.standard_normal((replications, n))) - math.exp(0.5)
    return Sample(base, base + d + shift, design, shift, 1.0)


# ---------------------------------------------------------------- method machinery

class Outcome(NamedTuple):
    """Per replication: p-value of mean 0 and the interval (None where a method has none)."""

    p: np.ndarray | None
    lower: np.ndarray | None = None
    upper: np.ndarray | None = None
    note: str = ""


# A method takes R x n values (differences, or one model's scores), the design
# and a generator, and returns one or several named outcomes.
Method = Callable[[np.ndarray, Design, np.random.Generator], dict[str, Outcome]]


def ratio(numerator: np.ndarray, se: np.ndarray) -> np.ndarray:
    """numerator / se, with 0/0 = 0 and x/0 = +-inf."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(se > 0, numerator / se, np.where(numerator == 0, 0.0, np.sign(numerator) * np.inf))


def chunks(replications: int, per_replication: int) -> Iterable[slice]:
    step = max(1, CELLS_PER_CHUNK // max(1, per_replication))
    for start in range(0, replications, step):
        yield slice(start, min(replications, start + step))


def resample_counts(rng: np.random.Generator, rows: int, k: int) -> np.ndarray:
    """rows x RESAMPLES x k counts of k units drawn k times with replacement."""
    picks = rng.integers(0, k, (rows * RESAMPLES, k)) + (k * np.arange(rows * RESAMPLES))[:, None]
    return np.bincount(picks.ravel(), minlength=rows * RESAMPLES * k).reshape(rows, RESAMPLES, k).astype(np.float64)


def clip_variance(variance: np.ndarray, scale: np.ndarray) -> np.ndarray:
    """Variance with rounding noise below 1e-12 of its terms set to 0, so a constant resample has sd 0."""
    return np.where(variance > 1e-12 * scale, variance, 0.0)


# equal-tailed order statistics of RESAMPLES draws
LOW_RANK = int(math.floor((RESAMPLES + 1) * (1 - LEVEL) / 2)) - 1
HIGH_RANK = int(math.ceil((RESAMPLES + 1) * (1 + LEVEL) / 2)) - 1
SYMMETRIC_RANK = int(math.ceil((RESAMPLES + 1) * LEVEL)) - 1


def order_statistics(draws: np.ndarray, ranks: Sequence[int]) -> list[np.ndarray]:
    part = np.partition(draws, list(ranks), axis=-1)
    return [part[..., r] for r in ranks]


def studentised_outcomes(mean: np.ndarray, se: np.ndarray, t_star: np.ndarray,
                         mean_star: np.ndarray) -> dict[str, Outcome]:
    """Equal-tailed and symmetric bootstrap-t, and percentile, from the resampled t* and means."""
    t = ratio(mean, se)
    above = (t_star >= t[:, None]).sum(axis=1)
    below = (t_star <= t[:, None]).sum(axis=1)
    p = np.minimum(1.0, 2 * np.minimum(1 + above, 1 + below) / (RESAMPLES + 1))
    q_low, q_high = order_statistics(t_star, (LOW_RANK, HIGH_RANK))
    with np.errstate(invalid="ignore"):
        lower, upper = mean - q_high * se, mean - q_low * se
    lower = np.where(se > 0, lower, np.where(q_high > 0, -np.inf, mean))
    upper = np.where(se > 0, upper, np.where(q_low < 0, np.inf, mean))
    abs_star = np.abs(t_star)
    p_sym = (1 + (abs_star >= np.abs(t)[:, None]).sum(axis=1)) / (RESAMPLES + 1)
    (q_sym,) = order_statistics(abs_star, (SYMMETRIC_RANK,))
    half = np.where(se > 0, q_sym * np.where(se > 0, se, 1.0), 0.0)
    m_low, m_high = order_statistics(mean_star, (LOW_RANK, HIGH_RANK))
    return {
        "boot-t": Outcome(p, lower, upper),
        "boot-t-sym": Outcome(p_sym, mean - half, mean + half),
        "percentile": Outcome(None, m_low, m_high),
    }


def normal_or_t(mean: np.ndarray, se: np.ndarray, df: float | None) -> Outcome:
    t = ratio(mean, se)
    if df is None:
        p, q = 2 * stats.norm.sf(np.abs(t)), Z
    else:
        p, q = 2 * stats.t.sf(np.abs(t), df), stats.t.ppf(0.5 + LEVEL / 2, df)
    return Outcome(p, mean - q * se, mean + q * se)


# ---------------------------------------------------------------- methods with clusters

def residual_sums(x: np.ndarray, design: Design) -> tuple[np.ndarray, np.ndarray]:
    mean = x.mean(axis=1)
    return mean, np.add.reduceat(x - mean[:, None], design.starts, axis=1)


def cr1_se(sums: np.ndarray, n: int) -> np.ndarray:
    g = sums.shape[1]
    return np.sqrt(g / (g - 1) * (sums * sums).sum(axis=1)) / n


def cr2_se(sums: np.ndarray, design: Design) -> np.ndarray:
    assert design.sizes is not None
    share = design.sizes / design.n
    return np.sqrt((sums * sums / (1 - share)).sum(axis=1)) / design.n


def bell_mccaffrey_df(sizes: np.ndarray) -> float:
    """Bell-McCaffrey degrees of freedom of the CR2 variance of a mean, working model Omega = I."""
    n = float(sizes.sum())
    share = sizes / n
    d = share / (n * (1 - share))
    u2 = sizes * sizes / (n * n * (1 - share))
    trace_square = (d * d).sum() - 2 / n * (d * u2).sum() + u2.sum() ** 2 / (n * n)
    return (1 / n) ** 2 / trace_square


def bell_mccaffrey_df_direct(sizes: np.ndarray, icc: float = 0.0) -> float:
    """The same from the n x G matrix G of Imbens and Kolesar, to check the closed forms."""
    n = int(sizes.sum())
    labels = np.repeat(np.arange(len(sizes)), sizes)
    indicator = (labels[:, None] == np.arange(len(sizes))).astype(float)
    share = sizes / n
    g = (indicator - share) / (n * np.sqrt(1 - share))  # (I - H) e_g (1 - p_g)^(-1/2) / n
    omega = (1 - icc) * np.eye(n) + icc * (labels[:, None] == labels[None, :])
    eigen = np.linalg.eigvalsh(g.T @ omega @ g)
    return eigen.sum() ** 2 / (eigen * eigen).sum()


def anova_icc(x: np.ndarray, design: Design) -> np.ndarray:
    """One-way ANOVA intra-cluster correlation per replication, truncated to [0, 1)."""
    assert design.sizes is not None
    n, g, sizes = design.n, design.n_clusters, design.sizes
    means = np.add.reduceat(x, design.starts, axis=1) / sizes
    grand = x.mean(axis=1)
    between = (sizes * (means - grand[:, None]) ** 2).sum(axis=1) / (g - 1)
    within = ((x - means[:, design.labels]) ** 2).sum(axis=1) / max(n - g, 1)
    n0 = (n - (sizes * sizes).sum() / n) / (g - 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        icc = (between - within) / (between + (n0 - 1) * within)
    return np.clip(np.nan_to_num(icc, nan=0.0), 0.0, 0.99)


def bell_mccaffrey_df_icc(sizes: np.ndarray, icc: np.ndarray) -> np.ndarray:
    """Bell-McCaffrey degrees of freedom under the working model of an exchangeable ICC within clusters.

    With Omega_g = (1 - icc) I + icc 11' the G x G matrix G' Omega G of a mean is
    S^-1 [diag(n_g a_g) - v p' - p v' + A p p'] S^-1 / n^2, where a_g = 1 - icc + icc n_g,
    v_g = n_g a_g, A = sum v_g, p_g = n_g / n and S = diag(sqrt(1 - p_g)).
    """
    n = float(sizes.sum())
    share = sizes / n
    a = 1 - icc[:, None] + icc[:, None] * sizes
    v = sizes * a
    m = (np.einsum("rg,gh->rgh", v, np.eye(len(sizes))) - v[:, :, None] * share[None, None, :]
         - share[None, :, None] * v[:, None, :] + v.sum(axis=1)[:, None, None] * np.outer(share, share))
    root = 1 / np.sqrt(1 - share)
    m *= root[:, None] * root[None, :]
    return np.einsum("rgg->r", m) ** 2 / (m * m).sum(axis=(1, 2))


def cr1_normal(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    mean, sums = residual_sums(x, design)
    return {"cr1-normal": normal_or_t(mean, cr1_se(sums, design.n), None)}


def cr2_t(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    assert design.sizes is not None
    mean, sums = residual_sums(x, design)
    se = cr2_se(sums, design)
    df_icc = np.concatenate([bell_mccaffrey_df_icc(design.sizes, anova_icc(x[rows], design))
                             for rows in chunks(len(x), design.n_clusters ** 2)])
    return {"cr2-bm": normal_or_t(mean, se, bell_mccaffrey_df(design.sizes)),
            "cr2-bm-icc": normal_or_t(mean, se, df_icc),
            "cr2-g1": normal_or_t(mean, se, design.n_clusters - 1)}


def wild_restricted(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    """Wild cluster bootstrap with the null mean 0 imposed: cluster sums of x flipped by Webb's weights."""
    assert design.sizes is not None
    n, g = design.n, design.n_clusters
    sizes = design.sizes.astype(np.float64)
    mean, sums = residual_sums(x, design)
    t = np.abs(ratio(mean, cr1_se(sums, n)))
    totals = np.add.reduceat(x, design.starts, axis=1)
    p = np.empty(len(x))
    for rows in chunks(len(x), RESAMPLES * g):
        w = WEBB[rng.integers(0, 6, (rows.stop - rows.start, RESAMPLES, g))]
        s = totals[rows][:, :, None]
        mean_star = (w @ s)[..., 0] / n
        # sum over clusters of (w_g S_g - n_g mean*)^2
        square = ((w * w) @ (s * s))[..., 0] - 2 * mean_star * (w @ (s * sizes[:, None]))[..., 0] \
            + mean_star ** 2 * (sizes * sizes).sum()
        scale = ((w * w) @ (s * s))[..., 0] + mean_star ** 2 * (sizes * sizes).sum()
        se_star = np.sqrt(g / (g - 1) * clip_variance(square, scale)) / n
        t_star = np.abs(ratio(mean_star, se_star))
        p[rows] = (t_star >= t[rows, None] * (1 - 1e-12)).mean(axis=1)
    return {"wild-webb": Outcome(p)}


def cluster_bootstrap(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    """Whole clusters resampled: CR1 bootstrap-t (equal-tailed) and the percentile interval."""
    assert design.sizes is not None
    g = design.n_clusters
    sizes = design.sizes.astype(np.float64)
    mean, sums = residual_sums(x, design)
    se = cr1_se(sums, design.n)
    totals = np.add.reduceat(x, design.starts, axis=1)
    t_star = np.empty((len(x), RESAMPLES))
    mean_star = np.empty((len(x), RESAMPLES))
    for rows in chunks(len(x), RESAMPLES * g):
        counts = resample_counts(rng, rows.stop - rows.start, g)
        s = totals[rows]
        per_cluster = np.stack([s, np.broadcast_to(sizes, s.shape), s * s, s * sizes,
                                np.broadcast_to(sizes * sizes, s.shape)], axis=2)
        total, size, square, cross, size_square = np.moveaxis(counts @ per_cluster, 2, 0)
        m = total / size
        residual = square - 2 * m * cross + m * m * size_square
        se_star = np.sqrt(g / (g - 1) * clip_variance(residual, square + m * m * size_square)) / size
        mean_star[rows] = m
        t_star[rows] = ratio(m - mean[rows, None], se_star)
    out = studentised_outcomes(mean, se, t_star, mean_star)
    return {"cluster-boot-t": out["boot-t"], "percentile": out["percentile"]}


# ---------------------------------------------------------------- methods without clusters

def item_moments(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    n = x.shape[1]
    return x.mean(axis=1), x.std(axis=1, ddof=1) / math.sqrt(n)


def normal_and_t(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    mean, se = item_moments(x)
    return {"normal": normal_or_t(mean, se, None), "paired-t": normal_or_t(mean, se, x.shape[1] - 1)}


def item_bootstrap(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    n = x.shape[1]
    mean, se = item_moments(x)
    total = x.sum(axis=1)
    t_star = np.empty((len(x), RESAMPLES))
    mean_star = np.empty((len(x), RESAMPLES))
    for rows in chunks(len(x), RESAMPLES * n):
        counts = resample_counts(rng, rows.stop - rows.start, n)
        s, q = np.moveaxis(counts @ np.stack([x[rows], x[rows] ** 2], axis=2), 2, 0)
        variance = clip_variance((q - s * s / n) / (n - 1), q / (n - 1))
        mean_star[rows] = s / n
        t_star[rows] = ratio((s - total[rows, None]) / n, np.sqrt(variance / n))
    return studentised_outcomes(mean, se, t_star, mean_star)


def sign_flip(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    """Two-sided sign-flip randomization test of |sum x|; exact binomial (McNemar) for -1/0/1 values."""
    n = x.shape[1]
    observed = np.abs(x.sum(axis=1))
    tolerance = 1e-9 * (np.abs(x).sum(axis=1) + 1)
    if np.all(np.isin(x, (-1.0, 0.0, 1.0))):
        m = (x != 0).sum(axis=1)
        k = (x > 0).sum(axis=1)
        return {"sign-flip": Outcome(np.minimum(1.0, 2 * stats.binom.cdf(np.minimum(k, m - k), m, 0.5)))}
    if n <= EXACT_FLIPS:
        signs = 1 - 2 * ((np.arange(2 ** n)[:, None] >> np.arange(n)) & 1).astype(np.float64)
        p = np.empty(len(x))
        for rows in chunks(len(x), 2 ** n):
            p[rows] = (np.abs(x[rows] @ signs.T) >= (observed - tolerance)[rows, None]).mean(axis=1)
        return {"sign-flip": Outcome(p)}
    p = np.empty(len(x))
    for rows in chunks(len(x), RESAMPLES * n):
        signs = 1 - 2 * rng.integers(0, 2, (rows.stop - rows.start, RESAMPLES, n)).astype(np.float64)
        flipped = np.abs((signs @ x[rows][:, :, None])[..., 0])
        p[rows] = (1 + (flipped >= (observed - tolerance)[rows, None]).sum(axis=1)) / (RESAMPLES + 1)
    return {"sign-flip": Outcome(p)}


# ---------------------------------------------------------------- methods for 0/1 scores only

def is_binary(x: np.ndarray, values: tuple[float, ...]) -> bool:
    return bool(np.isin(x, values).all())


def wilson(share: np.ndarray, n_effective: np.ndarray, critical: np.ndarray | float) -> tuple[np.ndarray, np.ndarray]:
    c2 = critical * critical / n_effective
    centre = (share + c2 / 2) / (1 + c2)
    half = critical / (1 + c2) * np.sqrt(share * (1 - share) / n_effective + c2 / (4 * n_effective))
    return centre - half, centre + half


def wilson_interval(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    """Wilson interval of a 0/1 mean; with clusters on the effective n p(1 - p) / V_CR2 and the BM t quantile."""
    if not is_binary(x, (0.0, 1.0)):
        return {}
    share = x.mean(axis=1)
    if design.sizes is None:
        variance = x.var(axis=1, ddof=1) / design.n
        critical = stats.t.ppf(0.5 + LEVEL / 2, design.n - 1)
        lower, upper = wilson(share, np.full(len(x), float(design.n)), Z)
        return {"wilson": Outcome(None, lower, upper),
                "logit-t": log_odds_interval(share, variance, critical, lower, upper)}
    _, sums = residual_sums(x, design)
    variance = cr2_se(sums, design) ** 2
    with np.errstate(divide="ignore", invalid="ignore"):
        n_effective = np.where(variance > 0, share * (1 - share) / variance, design.n)
    n_effective = np.clip(n_effective, 1.0, design.n)  # never more information than items
    critical = stats.t.ppf(0.5 + LEVEL / 2, bell_mccaffrey_df(design.sizes))
    lower, upper = wilson(share, n_effective, critical)
    return {"wilson-cr2": Outcome(None, lower, upper),
            "logit-cr2": log_odds_interval(share, variance, critical, lower, upper)}


def log_odds_interval(share: np.ndarray, variance: np.ndarray, critical: float,
                      lower: np.ndarray, upper: np.ndarray) -> Outcome:
    """The t interval of the log-odds (delta method), mapped back; the given fallback where the share is 0 or 1."""
    inside = (share > 0) & (share < 1)
    odds = np.log(np.where(inside, share, 0.5) / np.where(inside, 1 - share, 0.5))
    half = critical * np.sqrt(variance) / np.where(inside, share * (1 - share), 1.0)
    return Outcome(None, np.where(inside, stats.logistic.cdf(odds - half), lower),
                   np.where(inside, stats.logistic.cdf(odds + half), upper))


def paired_binary(x: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
    """For differences of 0/1 scores: McNemar mid-p test and the Bonett-Price adjusted Wald interval."""
    if not is_binary(x, (-1.0, 0.0, 1.0)):
        return {}
    n = x.shape[1]
    wins, losses = (x > 0).sum(axis=1), (x < 0).sum(axis=1)
    discordant, fewer = wins + losses, np.minimum(wins, losses)
    mid_p = np.where(discordant > 0, 2 * (stats.binom.cdf(fewer, discordant, 0.5)
                                          - 0.5 * stats.binom.pmf(fewer, discordant, 0.5)), 1.0)
    up, down = (wins + 1) / (n + 2), (losses + 1) / (n + 2)
    half = Z * np.sqrt((up + down - (up - down) ** 2) / (n + 2))
    return {"binary-midp-bp": Outcome(np.minimum(mid_p, 1.0), up - down - half, up - down + half)}


CLUSTERED_METHODS: list[Method] = [cr1_normal, cluster_bootstrap, cr2_t, wild_restricted]
PAIRED_METHODS: list[Method] = [normal_and_t, item_bootstrap, sign_flip, paired_binary]
RESAMPLING: tuple[Method, ...] = (cluster_bootstrap, wild_restricted, item_bootstrap, sign_flip)
WIDTH_REFERENCE = {"clustered": "cr1-normal", "paired": "normal"}


# ---------------------------------------------------------------- measuring a cell

@dataclass
class Figures:
    """Rates over replications for one method in one cell."""

    type_one: float | None = None
    type_one_n: int = 0
    coverage: float | None = None
    coverage_n: int = 0
    width: float | None = None  # mean width over replications
    note: str = ""

    @staticmethod
    def se(rate: float | None, n: int) -> float:
        return math.nan if rate is None or n == 0 else math.sqrt(max(rate * (1 - rate), 1e-12) / n)


@dataclass
class Cell:
    name: str
    eligible: bool  # >= 5 clusters or >= 20 items: counted in the worst-case summary
    figures: dict[str, Figures] = field(default_factory=dict)
    seconds: float = 0.0


class Runner(NamedTuple):
    """What a cell calls: the numpy candidates, or the package's routines one replication at a time.

    ``compare`` gets both models' scores, ``mean`` one model's, ``family`` the
    metrics of one family and returns per method whether Benjamini-Hochberg
    rejected anything, per replication.
    """

    compare: Callable[[Sample, np.random.Generator], dict[str, Outcome]]
    mean: Callable[[np.ndarray, Design, np.random.Generator], dict[str, Outcome]]
    family: Callable[[list[Sample], np.random.Generator], dict[str, np.ndarray]]


def benjamini_hochberg_any(p: np.ndarray, alpha: float = ALPHA) -> np.ndarray:
    """Per row of p-values: does Benjamini-Hochberg at ``alpha`` reject at least one."""
    m = p.shape[1]
    return (np.sort(p, axis=1) <= alpha * np.arange(1, m + 1) / m).any(axis=1)


def numpy_runner(methods: Sequence[Method]) -> Runner:
    def run(values: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
        out: dict[str, Outcome] = {}
        for method in methods:
            out.update(method(values, design, rng))
        return out

    def compare(sample: Sample, rng: np.random.Generator) -> dict[str, Outcome]:
        return run(sample.candidate - sample.baseline, sample.design, rng)

    def family(samples: list[Sample], rng: np.random.Generator) -> dict[str, np.ndarray]:
        per_metric = [compare(sample, rng) for sample in samples]
        return {name: benjamini_hochberg_any(np.column_stack([m[name].p for m in per_metric]))
                for name, outcome in per_metric[0].items() if outcome.p is not None}

    return Runner(compare, run, family)


def package_runner() -> Runner:
    """The package's defaults, one call per replication; ``method="auto"`` where the package takes it."""
    import mirabund

    takes = {name: set(inspect.signature(getattr(mirabund, name)).parameters)
             for name in ("compare", "mean_interval", "compare_metrics")}
    options = {name: ({"method": "auto"} if "method" in params else {})
               | ({"n_resamples": RESAMPLES} if "n_resamples" in params else {}) for name, params in takes.items()}
    if "method" not in takes["compare"]:
        print("note: this mirabund has no method= argument; measuring its current defaults")

    def seed(rng: np.random.Generator) -> int:
        return int(rng.integers(0, 2 ** 63))

    def collect(call: Callable[[int], Any], replications: int) -> Outcome:
        p = np.full(replications, np.nan)
        lower, upper = np.full(replications, np.nan), np.full(replications, np.nan)
        chosen: dict[str, int] = {}
        warned = failed = 0
        for r in range(replications):
            try:
                with warnings.catch_warnings():  # counted from the result's own warnings below
                    warnings.simplefilter("ignore")
                    result = call(r)
            except (ValueError, ArithmeticError) as error:
                failed += 1
                chosen[f"error {type(error).__name__}"] = chosen.get(f"error {type(error).__name__}", 0) + 1
                continue
            p[r] = getattr(result, "p_value", np.nan)
            lower[r], upper[r] = result.ci_lower, result.ci_upper
            label = str(getattr(result, "method", "today's"))
            if getattr(result, "reference", None) is not None:
                label += f"/{result.reference}"
            chosen[label] = chosen.get(label, 0) + 1
            warned += bool(getattr(result, "warnings", ()))
        note = ", ".join(f"{k} {v / replications:.0%}" for k, v in sorted(chosen.items()))
        if warned:
            note += f"; warnings {warned / replications:.0%}"
        return Outcome(None if np.isnan(p).all() and not failed else p, lower, upper, note)

    def labels(design: Design) -> list[int] | None:
        return None if design.sizes is None else design.labels.tolist()

    def compare(sample: Sample, rng: np.random.Generator) -> dict[str, Outcome]:
        clusters = labels(sample.design)
        return {"package": collect(lambda r: mirabund.compare(
            sample.baseline[r], sample.candidate[r], clusters=clusters, seed=seed(rng), **options["compare"]),
            len(sample.baseline))}

    def mean(values: np.ndarray, design: Design, rng: np.random.Generator) -> dict[str, Outcome]:
        clusters = labels(design)
        out = collect(lambda r: mirabund.mean_interval(values[r], clusters=clusters, seed=seed(rng),
                                                       **options["mean_interval"]), len(values))
        return {"package": out._replace(p=None)}

    def family(samples: list[Sample], rng: np.random.Generator) -> dict[str, np.ndarray]:
        design = samples[0].design
        n, replications = design.n, len(samples[0].baseline)
        fixed = {"model": ["baseline"] * n + ["candidate"] * n, "item": list(range(n)) * 2,
                 "cluster": (labels(design) or []) * 2}
        rejected = np.zeros(replications, dtype=bool)
        for r in range(replications):
            table = fixed | {f"metric{j}": np.concatenate([m.baseline[r], m.candidate[r]]).tolist()
                             for j, m in enumerate(samples)}
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                results = mirabund.compare_metrics(table, baseline="baseline", candidate="candidate",
                                                   cluster_column="cluster", seed=seed(rng),
                                                   **options["compare_metrics"])
            rejected[r] = any(bool(c.rejected) for c in results)
        return {"package": rejected}

    return Runner(compare, mean, family)


def shifted(sample: Sample, by: float) -> Sample:
    return sample._replace(candidate=sample.candidate - by, true_difference=sample.true_difference - by)


def covered(outcome: Outcome, truth: float, retest: Callable[[], Outcome]) -> tuple[np.ndarray, np.ndarray | None]:
    """Per replication: did the interval (or, lacking one, the test of the true value) keep the truth."""
    if outcome.lower is not None and outcome.upper is not None:
        return (outcome.lower <= truth) & (truth <= outcome.upper), outcome.upper - outcome.lower
    again = retest()
    assert again.p is not None
    return again.p >= ALPHA, None


def record_null(cell: Cell, outcomes: dict[str, Outcome]) -> None:
    for name, outcome in outcomes.items():
        if outcome.p is not None:
            f = cell.figures.setdefault(name, Figures())
            f.type_one, f.type_one_n = float(np.mean(outcome.p < ALPHA)), len(outcome.p)
            f.note = outcome.note


def record_coverage(cell: Cell, outcomes: dict[str, Outcome], truth: float,
                    retest: Callable[[], dict[str, Outcome]]) -> None:
    again: dict[str, Outcome] = {}
    for name, outcome in outcomes.items():
        def lazily(name: str = name) -> Outcome:
            if not again:
                again.update(retest())
            return again[name]

        hit, width = covered(outcome, truth, lazily)
        f = cell.figures.setdefault(name, Figures())
        f.coverage, f.coverage_n = float(np.mean(hit)), len(hit)
        if width is not None:
            finite = np.isfinite(width)
            f.width = float(np.mean(width[finite])) if finite.any() else math.inf
        if width is not None and not np.isfinite(width).all():
            f.note = f"{np.mean(~np.isfinite(width)):.1%} infinite"
        elif outcome.note:
            f.note = outcome.note


def compare_cell(name: str, eligible: bool, draw: Callable[[float], Sample], runner: Runner,
                 rng: np.random.Generator, null_shift: float | None) -> Cell:
    """Type I on the null draw; coverage on the shifted draw (on the null one when null_shift is None)."""
    started = time.perf_counter()
    cell = Cell(name, eligible)
    null = draw(0.0)
    outcomes = runner.compare(null, rng)
    record_null(cell, outcomes)
    sample, coverage_outcomes = null, outcomes
    if null_shift is not None:
        sample = draw(null_shift)
        coverage_outcomes = runner.compare(sample, rng)
    truth = sample.true_difference
    record_coverage(cell, coverage_outcomes, truth, lambda: runner.compare(shifted(sample, truth), rng))
    cell.seconds = time.perf_counter() - started
    return cell


def mean_cell(name: str, eligible: bool, values: np.ndarray, truth: float, design: Design, runner: Runner,
              rng: np.random.Generator) -> Cell:
    started = time.perf_counter()
    cell = Cell(name, eligible)
    record_coverage(cell, runner.mean(values, design, rng), truth, lambda: runner.mean(values - truth, design, rng))
    cell.seconds = time.perf_counter() - started
    return cell


# ---------------------------------------------------------------- printing

def rate(value: float | None, n: int) -> str:
    return f"{'—':>15}" if value is None else f"{value:6.3f} ({Figures.se(value, n):.3f})"


def print_cell(cell: Cell, reference: str | None) -> None:
    base = cell.figures.get(reference) if reference else None
    print(f"\n{cell.name}  [{cell.seconds:.0f} s]")
    print(f"  {'method':<16}{'type I (se)':>16}{'coverage (se)':>16}{'width/ref':>10}")
    for method, f in cell.figures.items():
        relative = "" if f.width is None or base is None or not base.width else f"{f.width / base.width:10.2f}"
        print(f"  {method:<16}{rate(f.type_one, f.type_one_n):>16}{rate(f.coverage, f.coverage_n):>16}"
              f"{relative:>10}  {f.note}")


def print_worst(cells: Sequence[Cell], title: str, reference: str | None) -> None:
    """Per method, the worst type I and coverage over the eligible cells, and where."""
    eligible = [c for c in cells if c.eligible]
    methods = list(dict.fromkeys(m for c in eligible for m in c.figures))
    print(f"\n== {title}: worst over {len(eligible)} cells (>= 5 clusters or >= 20 items); "
          "goal type I <= 0.065, coverage >= 0.935")
    print(f"  {'method':<16}{'worst type I (se)':>19}  {'cell':<44}{'worst cover (se)':>18}  {'cell':<44}"
          f"{'width/ref':>10}")
    for method in methods:
        rows = [(c, c.figures[method]) for c in eligible if method in c.figures]
        typed = [(c, f) for c, f in rows if f.type_one is not None]
        covers = [(c, f) for c, f in rows if f.coverage is not None]
        t_text, t_cell, c_text, c_cell = "—", "", "—", ""
        if typed:
            c, f = max(typed, key=lambda cf: cf[1].type_one or 0.0)
            t_text, t_cell = rate(f.type_one, f.type_one_n), c.name
        if covers:
            c, f = min(covers, key=lambda cf: cf[1].coverage if cf[1].coverage is not None else 1.0)
            c_text, c_cell = rate(f.coverage, f.coverage_n), c.name
        ratios = [f.width / c.figures[reference].width for c, f in rows
                  if reference and f.width and reference in c.figures and c.figures[reference].width
                  and math.isfinite(f.width)]
        width = f"{np.median(ratios):10.2f}" if ratios else ""
        print(f"  {method:<16}{t_text:>19}  {t_cell:<44}{c_text:>18}  {c_cell:<44}{width}")
    if reference:
        print(f"  (width/ref: the median over cells of the mean interval width relative to {reference})")


# ---------------------------------------------------------------- the grid

SCORE_KINDS = ("continuous", "binary", "likert")


def clustered_grid(args: argparse.Namespace, runner: Runner, rng: np.random.Generator) -> tuple[list[Cell], list[Cell]]:
    groups = (5, 20) if args.quick else (5, 10, 20, 40, 100)
    iccs = (0.5,) if args.quick else (0.1, 0.5)
    compares, means = [], []
    for sizes in ("equal", "unequal"):
        for g in groups:
            design = clustered_design(g, sizes)
            largest = design.sizes.max() / design.n if design.sizes is not None else 0
            for icc in iccs:
                for kind in SCORE_KINDS:
                    name = f"G={g:<3} {sizes:<7} icc={icc} {kind}"
                    reps = args.replications

                    def draw(shift: float) -> Sample:
                        return draw_clustered(rng, reps, design, icc, kind, shift)

                    cell = compare_cell(f"{name} (n={design.n}, largest {largest:.0%})", True, draw, runner, rng, SHIFT)
                    compares.append(cell)
                    print_cell(cell, WIDTH_REFERENCE["clustered"] if not args.package else None)
                    sample = draw(0.0)
                    mcell = mean_cell(f"mean of one model, {name}", True, sample.baseline, sample.true_baseline_mean,
                                      design, runner, rng)
                    means.append(mcell)
                    print_cell(mcell, WIDTH_REFERENCE["clustered"] if not args.package else None)
                    sys.stdout.flush()
    return compares, means


def paired_grid(args: argparse.Namespace, runner: Runner, rng: np.random.Generator) -> tuple[list[Cell], list[Cell]]:
    sizes = (10, 50) if args.quick else (10, 20, 50, 200)
    compares, means = [], []
    for kind in ("binary", "exponential", "lognormal"):
        for n in sizes:
            reps = args.replications

            def draw(shift: float) -> Sample:
                return draw_paired(rng, reps, n, kind, shift)

            label = {"binary": "0/1 scores, base rate 0.8", "exponential": "centred exponential differences",
                     "lognormal": "centred lognormal differences"}[kind]
            cell = compare_cell(f"n={n:<4} {label}", n >= 20, draw, runner, rng, SHIFT if kind == "binary" else None)
            compares.append(cell)
            print_cell(cell, WIDTH_REFERENCE["paired"] if not args.package else None)
            if kind != "lognormal":
                sample = draw(0.0)
                what = "0/1 scores at 0.8" if kind == "binary" else "exponential scores"
                mcell = mean_cell(f"mean of one model, n={n:<4} {what}", n >= 20, sample.baseline,
                                  sample.true_baseline_mean, sample.design, runner, rng)
                means.append(mcell)
                print_cell(mcell, WIDTH_REFERENCE["paired"] if not args.package else None)
            sys.stdout.flush()
    return compares, means


# ---------------------------------------------------------------- a family of metrics

FAMILY_SIZE = 10
FAMILY_CORRELATION = 0.5  # of every latent part across the metrics of one item


def draw_family(rng: np.random.Generator, replications: int, design: Design, icc: float) -> list[Sample]:
    """Null metrics of the three score kinds in turn, correlated across metrics within an item."""
    commons = [latent_part(rng, replications, design, icc) for _ in range(3)]  # shared, baseline's, candidate's

    def correlated(common: np.ndarray) -> np.ndarray:
        own = latent_part(rng, replications, design, icc)
        return math.sqrt(FAMILY_CORRELATION) * common + math.sqrt(1 - FAMILY_CORRELATION) * own

    samples = []
    for j in range(FAMILY_SIZE):
        kind = SCORE_KINDS[j % len(SCORE_KINDS)]
        shared, base, cand = (correlated(common) for common in commons)
        samples.append(Sample(score(kind, shared + base), score(kind, shared + cand), design, 0.0,
                              expected_score(kind, 0.0)))
    return samples


def family_section(args: argparse.Namespace, runner: Runner, rng: np.random.Generator) -> None:
    design = clustered_design(20, "unequal")
    print(f"\n== A family of {FAMILY_SIZE} null metrics (continuous, 0/1, Likert in turn; correlation "
          f"{FAMILY_CORRELATION} across metrics) on 20 clusters of heavy-tailed sizes (n={design.n}), "
          f"Benjamini-Hochberg at {ALPHA}: the share of replications with any rejection (goal <= 0.06)")
    print(f"  {'method':<16}" + "".join(f"{f'icc={icc} (se)':>18}" for icc in (0.1, 0.5)))
    rows: dict[str, list[str]] = {}
    for icc in (0.1, 0.5):
        started = time.perf_counter()
        rejected = runner.family(draw_family(rng, args.replications, design, icc), rng)
        for name, any_rejected in rejected.items():
            rows.setdefault(name, []).append(rate(float(np.mean(any_rejected)), len(any_rejected)))
        print(f"  (icc={icc}: {time.perf_counter() - started:.0f} s)")
    for name, cells in rows.items():
        print(f"  {name:<16}" + "".join(f"{c:>18}" for c in cells))


# ---------------------------------------------------------------- planning

PLAN_CLUSTER_SIZE = 10
PLAN_POWER = 0.8


def design_effect(cluster_size: float, cv: float, icc: float) -> float:
    """Eldridge, Ashby and Kerry (2006): 1 + icc (m (1 + cv^2) - 1) for sizes of mean m and variation cv."""
    return 1 + icc * (cluster_size * (1 + cv * cv) - 1)


def planning_df(rule: str, n_clusters: int, cv: float, icc: float) -> float | None:
    """The degrees of freedom the plan assumes for the test: None for the normal."""
    if rule == "normal":
        return None
    if rule == "k-1":
        return n_clusters - 1
    sizes = lognormal_sizes(n_clusters, PLAN_CLUSTER_SIZE, cv)
    return float(bell_mccaffrey_df_icc(sizes, np.array([icc if rule == "bm-icc" else 0.0]))[0])


def planned_items(effect: float, sd: float, icc: float, cv: float, rule: str) -> tuple[int, float | None]:
    """n = (t_(1-alpha/2, df) + t_(power, df))^2 sd^2 DE / effect^2, iterated until n is stable."""
    factor = sd * sd * design_effect(PLAN_CLUSTER_SIZE, cv, icc) / (effect * effect)
    n = math.ceil((stats.norm.ppf(1 - ALPHA / 2) + stats.norm.ppf(PLAN_POWER)) ** 2 * factor)
    df = None
    for _ in range(100):
        df = planning_df(rule, max(2, math.ceil(n / PLAN_CLUSTER_SIZE)), cv, icc)
        if df is None:
            break
        following = math.ceil((stats.t.ppf(1 - ALPHA / 2, df) + stats.t.ppf(PLAN_POWER, df)) ** 2 * factor)
        if following == n:
            break
        n = following
    return n, df


def random_sizes(rng: np.random.Generator, n_clusters: int, cv: float) -> np.ndarray:
    sigma = math.sqrt(math.log1p(cv * cv))
    sizes = PLAN_CLUSTER_SIZE * rng.lognormal(-sigma * sigma / 2, sigma, n_clusters)
    return np.maximum(1, np.rint(sizes)).astype(np.int64)


def simulated_power(rng: np.random.Generator, runner: Runner, n_items: int, effect: float, sd: float, icc: float,
                    cv: float, replications: int, block: int) -> dict[str, float]:
    """Rejection rates on continuous differences of mean ``effect``; new random cluster sizes every block."""
    n_clusters = max(2, math.ceil(n_items / PLAN_CLUSTER_SIZE))
    rejected: dict[str, list[np.ndarray]] = {}
    for start in range(0, replications, block):
        rows = min(block, replications - start)
        sizes = random_sizes(rng, n_clusters, cv)
        design = Design(int(sizes.sum()), sizes)
        d = effect + sd * (math.sqrt(icc) * rng.standard_normal((rows, n_clusters))[:, design.labels]
                           + math.sqrt(1 - icc) * rng.standard_normal((rows, design.n)))
        for name, outcome in runner.compare(Sample(np.zeros_like(d), d, design, effect, 0.0), rng).items():
            if outcome.p is not None:
                rejected.setdefault(name, []).append(outcome.p < ALPHA)
    return {name: float(np.mean(np.concatenate(parts))) for name, parts in rejected.items()}


PLAN_RULES = ("normal", "k-1", "bm", "bm-icc")


def planning_section(args: argparse.Namespace, runner: Runner, rng: np.random.Generator, package: bool) -> None:
    print(f"\n== Planning: clusters of mean size {PLAN_CLUSTER_SIZE}, sd 1, alpha {ALPHA}, power {PLAN_POWER}; "
          "n from the design-effect formula with the df of each rule, iterated; then the power reached "
          f"at that n (clusters of lognormal sizes drawn afresh every {args.plan_block} replications; goal >= 0.78)")
    shown = ["cr2-bm-icc", "cr2-bm", "wild-webb"] if not package else ["package"]
    print(f"  {'cv':>4}{'icc':>5}{'effect':>7}  {'df rule':<9}{'n':>6}{'k':>5}{'df':>7}  "
          + "".join(f"{f'power {m} (se)':>24}" for m in shown))
    required = None
    if package:
        import mirabund
        required = mirabund.required_items
        takes_cv = "cluster_size_cv" in inspect.signature(required).parameters
        if not takes_cv:
            print("  note: this mirabund's required_items has no cluster_size_cv: its n ignores the sizes' variation")
    cases = [(0.5, 0.1, 0.5), (1.0, 0.3, 0.5)] if args.quick else [
        (cv, icc, effect) for cv in (0.5, 1.0) for icc in (0.1, 0.3) for effect in (0.25, 0.5)]
    for cv, icc, effect in cases:
        rules = ("bm",) if package else PLAN_RULES
        plans: list[tuple[str, int, float | None]] = [(rule, *planned_items(effect, 1.0, icc, cv, rule))
                                                      for rule in rules]
        if required is not None:
            extra = {"cluster_size_cv": cv} if takes_cv else {}
            plans.append(("package", int(required(effect, 1.0, alpha=ALPHA, power=PLAN_POWER,
                                                  cluster_size=PLAN_CLUSTER_SIZE, icc=icc, **extra)), None))
        for rule, n, df in plans:
            power = simulated_power(rng, runner, n, effect, 1.0, icc, cv, args.replications, args.plan_block)
            k = math.ceil(n / PLAN_CLUSTER_SIZE)
            df_text = "—" if rule == "package" else "z" if df is None else f"{df:.1f}"
            print(f"  {cv:>4}{icc:>5}{effect:>7}  {rule:<9}{n:>6}{k:>5}{df_text:>7}  "
                  + "".join(f"{rate(power.get(m), args.replications):>24}" for m in shown))
            sys.stdout.flush()


def check_degrees_of_freedom() -> None:
    for sizes in (np.array([10] * 5), clustered_design(5, "unequal").sizes, clustered_design(20, "unequal").sizes):
        assert sizes is not None
        closed, direct = bell_mccaffrey_df(sizes), bell_mccaffrey_df_direct(sizes)
        assert abs(closed - direct) < 1e-9 * direct, (closed, direct)
        for icc in (0.0, 0.3):
            closed, direct = bell_mccaffrey_df_icc(sizes, np.array([icc]))[0], bell_mccaffrey_df_direct(sizes, icc)
            assert abs(closed - direct) < 1e-9 * direct, (icc, closed, direct)
    print("Bell-McCaffrey degrees of freedom: closed form matches the matrix computation "
          + ", ".join(f"G={len(s)}: {bell_mccaffrey_df(s):.2f}" for s in
                      (clustered_design(g, "unequal").sizes for g in (5, 10, 20, 40, 100)) if s is not None)
          + " (heavy-tailed sizes)")


# ---------------------------------------------------------------- large samples

LARGE_SIZES = (500, 1000, 2000, 5000)


def large_section(args: argparse.Namespace, rng: np.random.Generator) -> None:
    """The paired t-test (the package's default from 500 items on) on skewed null differences.

    Its interval is the set of means the test does not reject, so its
    coverage of a shifted mean is 1 minus this rejection rate.
    """
    reps = max(args.replications, 20_000) if not args.quick else args.replications
    print(f"\npaired t-test, no clusters, {reps} replications per cell (coverage = 1 - type I)")
    for kind in ("exponential", "lognormal"):
        for n in LARGE_SIZES[:2] if args.quick else LARGE_SIZES:
            rejected = 0
            for rows in chunks(reps, n):
                size = rows.stop - rows.start
                if kind == "exponential":
                    d = rng.exponential(1.0, (size, n)) - 1.0
                else:
                    d = np.exp(rng.standard_normal((size, n))) - math.exp(0.5)
                t = d.mean(1) / (d.std(1, ddof=1) / math.sqrt(n))
                rejected += int((2 * stats.t.sf(np.abs(t), n - 1) <= ALPHA).sum())
            rate = rejected / reps
            print(f"  n={n:<5} centred {kind:<12} type I {rate:.4f} ({math.sqrt(rate * (1 - rate) / reps):.4f})")
        sys.stdout.flush()


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--package", action="store_true",
                        help="run the package's defaults instead of the numpy methods")
    parser.add_argument("--quick", action="store_true", help="a reduced grid, in under a minute")
    parser.add_argument("--replications", type=int, default=None)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--only", choices=("clustered", "paired", "large", "family", "planning"), action="append",
                        help="run only these parts (repeatable)")
    parser.add_argument("--closed-form", action="store_true",
                        help="only the methods without resampling, for many replications")
    parser.add_argument("--plan-block", type=int, default=20,
                        help="replications per draw of cluster sizes in the planning runs")
    args = parser.parse_args(argv)
    if args.replications is None:
        args.replications = 300 if args.quick else 2000
    parts = args.only or ["clustered", "paired", "large", "family", "planning"]
    rng = np.random.default_rng(args.seed)
    started = time.perf_counter()
    check_degrees_of_freedom()
    if args.package:
        runner = paired_runner = package_runner()
    else:
        clustered = [m for m in CLUSTERED_METHODS if not (args.closed_form and m in RESAMPLING)]
        paired = [m for m in PAIRED_METHODS if not (args.closed_form and m in RESAMPLING)]
        runner = numpy_runner(clustered)._replace(mean=numpy_runner(clustered + [wilson_interval]).mean)
        # the sign-flip and McNemar tests are of differences, not intervals for one model's mean
        paired_runner = numpy_runner(paired)._replace(
            mean=numpy_runner([m for m in paired if m not in (sign_flip, paired_binary)] + [wilson_interval]).mean)
    print(f"{args.replications} replications per cell, {RESAMPLES} resamples, alpha {ALPHA}, seed {args.seed}")
    if "clustered" in parts:
        compares, means = clustered_grid(args, runner, rng)
        print_worst(compares, "compare, with clusters", WIDTH_REFERENCE["clustered"])
        print_worst(means, "mean of one model, with clusters", WIDTH_REFERENCE["clustered"])
    if "paired" in parts:
        compares, means = paired_grid(args, paired_runner, rng)
        print_worst(compares, "compare, without clusters", WIDTH_REFERENCE["paired"])
        print_worst(means, "mean of one model, without clusters", WIDTH_REFERENCE["paired"])
    if "large" in parts:
        large_section(args, rng)
    if "family" in parts:
        family_section(args, runner, rng)
    if "planning" in parts:
        planning_section(args, runner, rng, args.package)
    print(f"\n{time.perf_counter() - started:.0f} s in all")


if __name__ == "__main__":
    main()

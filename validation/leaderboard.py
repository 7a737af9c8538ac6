"""Family-wise error and rank-interval coverage of ``compare_models`` on simulated evals.

Five models scored on the same items. An item's score is the model's true
mean plus a cluster effect and an item effect shared by every model (sd 0.5
and 1), a model-by-cluster effect (sd 0.3, which makes the paired
differences correlated within a cluster) and noise (sd 0.7). Three designs:

- 10 clusters whose sizes are heavy-tailed: 4 * (1 + Lomax(1.5)) rounded
  up, at most 200 (mean about 12, the largest often holding half the items);
- 30 clusters of the same heavy-tailed sizes;
- 100 items without clusters (the model-by-item effect is the noise's);
- 30 clusters of heavy-tailed sizes with 0/1 scores: 1 where the score
  above is positive (an accuracy near one half, in the same model order).

Under the null every model has the same mean, and the script counts the
replications in which any pair is claimed different (Holm at alpha 0.05,
and unadjusted for contrast). Under the alternative the means are 0, 0,
0.25, 0.5 and 0.75 (a tied pair among them); the rank intervals cover when
every model's interval holds its true ranks (a tied model may hold either),
and a false claim is one between the tied pair or in the wrong direction.
The default method applies: CR2 with a t reference with clusters, the
studentized bootstrap without. Each figure carries its Monte Carlo standard
error. Not a test: it prints figures, for the README to quote.

    python validation/leaderboard.py [--replications 1000] [--resamples 2000] [--seed 1]
"""

import argparse
import math
import time
import warnings

import numpy as np

import mirabund

MODELS = ("m1", "m2", "m3", "m4", "m5")
ALTERNATIVE = (0.0, 0.0, 0.25, 0.5, 0.75)
ALPHA = 0.05
DESIGNS = (("10 clusters, heavy-tailed sizes", 10, False), ("30 clusters, heavy-tailed sizes", 30, False),
           ("100 items, no clusters", None, False), ("30 clusters, heavy-tailed, 0/1 scores", 30, True))


def cluster_sizes(rng: np.random.Generator, count: int) -> np.ndarray:
    return np.minimum(200, np.ceil(4 * (1 + rng.pareto(1.5, count)))).astype(int)


def simulate(rng: np.random.Generator, n_clusters: int | None, means: tuple[float, ...],
             binary: bool) -> dict[str, list]:
    """A long table of the five models on one draw of items."""
    if n_clusters is None:
        clusters = np.arange(100)
        shared = rng.normal(0.0, 1.0, 100)
        by_model = np.zeros((len(means), 100))
    else:
        clusters = np.repeat(np.arange(n_clusters), cluster_sizes(rng, n_clusters))
        shared = rng.normal(0.0, 0.5, n_clusters)[clusters] + rng.normal(0.0, 1.0, len(clusters))
        by_model = rng.normal(0.0, 0.3, (len(means), n_clusters))[:, clusters]
    n = len(clusters)
    scores = np.asarray(means)[:, None] + shared[None, :] + by_model + rng.normal(0.0, 0.7, (len(means), n))
    if binary:
        scores = (scores > 0.0).astype(np.float64)
    return {
        "model": [model for model in MODELS for _ in range(n)],
        "item": list(range(n)) * len(MODELS),
        "cluster": clusters.tolist() * len(MODELS),
        "score": scores.ravel().tolist(),
    }


def true_ranks(means: tuple[float, ...]) -> dict[str, tuple[int, int]]:
    """Each model's range of true ranks: tied models may take either place."""
    return {model: (1 + sum(other > mean for other in means), len(means) - sum(other < mean for other in means))
            for model, mean in zip(MODELS, means)}


def false_claim(pair: mirabund.ModelPair, means: dict[str, float]) -> bool:
    if pair.better is None:
        return False
    worse = pair.candidate if pair.better == pair.baseline else pair.baseline
    return not means[pair.better] > means[worse]


def share(count: int, total: int) -> str:
    p = count / total
    return f"{p:6.3f} ({math.sqrt(p * (1 - p) / total):.3f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replications", type=int, default=1000)
    parser.add_argument("--resamples", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    warnings.simplefilter("ignore", mirabund.InferenceWarning)
    rng = np.random.default_rng(args.seed)
    started = time.perf_counter()
    reps = args.replications
    print(f"five models, {reps} replications per design, alpha {ALPHA}, {args.resamples} resamples; "
          "share (Monte Carlo s.e.)\n")
    print(f"{'design':38}{'null: any claim':>18}{'unadjusted':>16}{'alt: any false':>17}"
          f"{'rank coverage':>17}{'rank width':>12}{'power':>8}")
    for name, n_clusters, binary in DESIGNS:
        null_claims = raw_claims = false_claims = covered = 0
        widths = rejections = 0.0
        truth = true_ranks(ALTERNATIVE)
        alternative_means = dict(zip(MODELS, ALTERNATIVE))
        for replication in range(reps):
            options = dict(metric="score", cluster_column=None if n_clusters is None else "cluster",
                           n_resamples=args.resamples, seed=replication)
            null = mirabund.compare_models(simulate(rng, n_clusters, (0.0,) * len(MODELS), binary), **options)
            null_claims += any(pair.rejected for pair in null.pairs)
            raw_claims += any(pair.comparison.p_value <= ALPHA for pair in null.pairs)
            board = mirabund.compare_models(simulate(rng, n_clusters, ALTERNATIVE, binary), **options)
            false_claims += any(false_claim(pair, alternative_means) for pair in board.pairs)
            covered += all(entry.rank_lower <= truth[entry.model][0] and truth[entry.model][1] <= entry.rank_upper
                           for entry in board)
            widths += sum(entry.rank_upper - entry.rank_lower for entry in board) / len(MODELS)
            rejections += sum(pair.rejected for pair in board.pairs) / len(board.pairs)
        print(f"{name:38}{share(null_claims, reps):>18}{share(raw_claims, reps):>16}{share(false_claims, reps):>17}"
              f"{share(covered, reps):>17}{widths / reps:>12.2f}{rejections / reps:>8.2f}")
    print(f"\nrank width: mean of rank_upper - rank_lower; power: mean share of the 10 pairs claimed under the "
          f"alternative (9 of them truly differ)\n{time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()

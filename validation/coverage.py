"""Coverage of 95% intervals for the mean on simulated clustered evals.

An eval of 40 topics of 3 to 17 items each (sizes drawn per replication),
scores with a within-topic correlation of 0.3 (a topic effect of variance 0.3
plus item noise of variance 0.7, true mean 0), items stored topic by topic.
For each replication every interval below is computed and checked for the
true mean; the script prints the share that covered it, with its Monte Carlo
standard error. Not a test: it prints figures, for the README to quote.

- moving-block bootstrap with blocks of 1, 10 and 30 items (the engine's
  ``block_bootstrap_mean``, through ``mirabund.mean_interval``);
- cluster bootstrap, whole topics resampled (``clusters=``);
- cluster-robust normal interval, mean +/- z * cluster-robust standard error.

    python validation/coverage.py [--replications 1000] [--resamples 2000] [--seed 1]
"""

import argparse
import math
import time
from statistics import NormalDist

import numpy as np

import mirabund

N_CLUSTERS = 40
SIZES = (3, 17)
ICC = 0.3
LEVEL = 0.95
BLOCK_SIZES = (1, 10, 30)


def simulate(rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    sizes = rng.integers(SIZES[0], SIZES[1] + 1, N_CLUSTERS)
    clusters = np.repeat(np.arange(N_CLUSTERS), sizes)
    scores = rng.normal(0.0, math.sqrt(ICC), N_CLUSTERS)[clusters] + rng.normal(0.0, math.sqrt(1 - ICC), len(clusters))
    return scores, clusters


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--replications", type=int, default=1000)
    parser.add_argument("--resamples", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    z = NormalDist().inv_cdf(0.5 + LEVEL / 2)
    names = [f"block bootstrap, blocks of {b}" for b in BLOCK_SIZES] + [
        "cluster bootstrap (whole topics)", "cluster-robust normal interval"]
    covered = dict.fromkeys(names, 0)
    widths = dict.fromkeys(names, 0.0)
    rng = np.random.default_rng(args.seed)
    started = time.perf_counter()
    for replication in range(args.replications):
        scores, clusters = simulate(rng)
        intervals = {}
        for block, name in zip(BLOCK_SIZES, names):
            r = mirabund.mean_interval(scores, block_size=block, n_resamples=args.resamples, seed=replication)
            intervals[name] = (r.ci_lower, r.ci_upper)
        r = mirabund.mean_interval(scores, clusters=clusters, n_resamples=args.resamples, seed=replication)
        intervals[names[3]] = (r.ci_lower, r.ci_upper)
        intervals[names[4]] = (r.mean - z * r.standard_error, r.mean + z * r.standard_error)
        for name, (lower, upper) in intervals.items():
            covered[name] += lower <= 0.0 <= upper
            widths[name] += upper - lower
    elapsed = time.perf_counter() - started

    n = args.replications
    print(f"{N_CLUSTERS} clusters of {SIZES[0]}-{SIZES[1]} items, within-cluster correlation {ICC}, "
          f"{n} replications, {args.resamples} resamples, nominal {LEVEL:.0%} ({elapsed:.0f} s)")
    print()
    width = max(map(len, names))
    print(f"{'interval':<{width}}  coverage  (MC s.e.)  mean width")
    for name in names:
        share = covered[name] / n
        print(f"{name:<{width}}  {share:8.1%}  ({math.sqrt(share * (1 - share) / n):7.1%})  {widths[name] / n:10.4f}")


if __name__ == "__main__":
    main()

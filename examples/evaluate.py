"""A small evaluation report: how much better does a candidate model score
than its baseline on one metric, in standardized units?

The scores are synthetic, made here from a fixed seed.
"""

import random

import _mirabund_core as mc


def synthetic_scores(rng: random.Random, mean: float, n: int) -> list[float]:
    return [min(1.0, max(0.0, rng.gauss(mean, 0.15))) for _ in range(n)]


def main() -> None:
    rng = random.Random(20261208)
    baseline = synthetic_scores(rng, 0.62, 40)
    candidate = synthetic_scores(rng, 0.68, 40)

    effect = mc.cohens_d(baseline, candidate)
    print(f"items per model : {effect.n_baseline}")
    print(f"Cohen's d       : {effect.cohens_d:+.3f}")
    print(f"Hedges' g       : {effect.hedges_g:+.3f}")
    print(f"magnitude       : {effect.magnitude}")
    print(repr(effect))


if __name__ == "__main__":
    main()

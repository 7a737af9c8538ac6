"""False-positive rate, power and stopping time of the sequential tests.

Simulates streams of scores, feeds each to a test after every score and
stops at the first rejection. Not a test: it prints figures, for the README
to quote.

- Under the null (20 000 streams of up to 1 000 scores, alpha 0.05): the
  share of streams on which the test ever rejects, for
  ``mirabund.SequentialMonitor`` and for ``_mirabund_core.SequentialTest``
  (fed the scores minus the null mean) on the same streams, each with tau
  equal to sigma and to sigma / 5, with the Monte Carlo standard error
  (and, for the engine's test, the share of its false stops that came by
  the tenth score).
  Bounded scores (0/1 at p = 0.5 and p = 0.9, uniform on [0, 1]) give the
  monitor ``bounds=(0, 1)``; normal scores give it the known sigma 1.
  Centred exponential scores (sigma 1, but a heavier right tail than a
  normal's) lie outside the monitor's guarantee: shown for the engine's
  test, and for the monitor only as a measurement.
- Under alternatives (5 000 streams of up to 5 000 scores): the monitor's
  power by then and its mean and median stopping n (a stream that never
  rejects counts as 5 000), beside the items a fixed-size eval needs for 80%
  power at the same effect (``mirabund.required_items``) and the monitor's
  power by that many items.

The simulations are vectorised: the monitor's ratios come from cumulative
sums, the engine test's from its running moments updated in the engine's
order for all streams at once. Both are checked against the real objects,
stream by stream, on the first streams of every row.

    python validation/sequential.py [--streams 20000] [--length 1000] [--seed 2024]
"""

import argparse
import math
import time
from collections.abc import Callable
from statistics import median

import numpy as np

import _mirabund_core as mc
import mirabund

ALPHA = 0.05
CHUNK = 2_000
CHECKED_STREAMS = 200
NEVER = 0  # the stopping time of a stream that never rejects
EARLY = 10  # the engine test's share of false stops by this n is shown

Draw = Callable[[np.random.Generator, tuple[int, int]], np.ndarray]


class Scenario:
    """Scores of one kind, the monitor's scale for them and their null mean."""

    def __init__(self, name: str, draw: Draw, null_mean: float, sigma: float, bounded: bool) -> None:
        self.name, self.draw, self.null_mean, self.sigma, self.bounded = name, draw, null_mean, sigma, bounded

    def monitor(self, tau: float) -> mirabund.SequentialMonitor:
        if self.bounded:
            return mirabund.SequentialMonitor(ALPHA, bounds=(0, 1), tau=tau, null_mean=self.null_mean)
        return mirabund.SequentialMonitor(ALPHA, sigma=self.sigma, tau=tau, null_mean=self.null_mean)


NULL_SCENARIOS = [
    Scenario("0/1 scores, p = 0.5", lambda rng, shape: (rng.random(shape) < 0.5).astype(float), 0.5, 0.5, True),
    Scenario("0/1 scores, p = 0.9", lambda rng, shape: (rng.random(shape) < 0.9).astype(float), 0.9, 0.5, True),
    Scenario("uniform scores on [0, 1]", lambda rng, shape: rng.random(shape), 0.5, 0.5, True),
    Scenario("normal scores, sigma 1", lambda rng, shape: rng.standard_normal(shape), 0.0, 1.0, False),
    Scenario("centred exponential scores*", lambda rng, shape: rng.exponential(1.0, shape) - 1.0, 0.0, 1.0, False),
]


def bernoulli(p: float) -> Draw:
    return lambda rng, shape: (rng.random(shape) < p).astype(float)


def normal(mean: float) -> Draw:
    return lambda rng, shape: rng.normal(mean, 1.0, shape)


# (scores, effect, their draw, the null scenario whose monitor tests them)
ALTERNATIVES = [
    ("0/1 scores", 0.05, bernoulli(0.55), NULL_SCENARIOS[0]),
    ("0/1 scores", 0.10, bernoulli(0.60), NULL_SCENARIOS[0]),
    ("0/1 scores", 0.20, bernoulli(0.70), NULL_SCENARIOS[0]),
    ("normal, sigma 1", 0.10, normal(0.1), NULL_SCENARIOS[3]),
    ("normal, sigma 1", 0.25, normal(0.25), NULL_SCENARIOS[3]),
    ("normal, sigma 1", 0.50, normal(0.5), NULL_SCENARIOS[3]),
]


def first_crossing(crossed: np.ndarray) -> np.ndarray:
    """The 1-based index of the first True of each row; NEVER for none."""
    return np.where(crossed.any(axis=1), crossed.argmax(axis=1) + 1, NEVER)


def monitor_stops(scores: np.ndarray, null_mean: float, sigma: float, tau: float) -> np.ndarray:
    """When SequentialMonitor first rejects on each row, by its formula."""
    n = np.arange(1, scores.shape[1] + 1, dtype=np.float64)
    mean = np.cumsum(scores, axis=1) / n
    grown = n * (tau / sigma) ** 2
    weight = grown / (1.0 + grown)
    z = (mean - null_mean) / sigma * np.sqrt(n)
    log_ratio = 0.5 * (weight * (z * z) - np.log1p(grown))
    return first_crossing(log_ratio >= -math.log(ALPHA))


def engine_stops(scores: np.ndarray, tau: float) -> np.ndarray:
    """When SequentialTest first reports RejectNull on each row: its running
    moments and ratio, updated step by step in the engine's order."""
    streams, length = scores.shape
    mean, m2 = np.zeros(streams), np.zeros(streams)
    stops = np.full(streams, NEVER)
    t2, threshold = tau * tau, 1.0 / ALPHA
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        for i in range(length):
            c = float(i + 1)
            x = scores[:, i]
            delta = x - mean
            mean = delta / c + mean
            m2 = (x - mean) * delta + m2
            if i == 0:
                continue
            v = m2 / (c + -1.0)
            d = t2 * c + v
            ratio = np.exp((((c * c) * t2) * mean) * mean / ((v + v) * d)) * np.sqrt(v / d)
            rejects = (v > 1e-12) & (ratio >= threshold) & (stops == NEVER)
            stops[rejects] = i + 1
    return stops


def real_monitor_stop(monitor: mirabund.SequentialMonitor, stream: np.ndarray) -> int:
    fed = monitor.update_many(stream)
    return NEVER if fed.stop_index is None else fed.stop_index + 1


def real_engine_stop(tau: float, stream: np.ndarray) -> int:
    test = mc.SequentialTest(ALPHA, tau)
    update = test.update
    for n, x in enumerate(stream.tolist(), start=1):
        if update(x).decision == mc.SequentialDecision.RejectNull:
            return n
    return NEVER


def rate(count: int, total: int) -> str:
    share = count / total
    return f"{share:.4f} ± {math.sqrt(share * (1 - share) / total):.4f}"


def null_table(streams: int, length: int, seeds: np.random.SeedSequence) -> int:
    print(f"False-positive rate: share of {streams:,} null streams of up to {length:,} scores ever rejected "
          f"(alpha {ALPHA}), ± one Monte Carlo standard error\n")
    print("| scores (null true) | SequentialMonitor, tau = sigma | tau = sigma / 5 "
          "| SequentialTest, tau = sigma | tau = sigma / 5 |")
    print("|---|---|---|---|---|")
    mismatches = 0
    for scenario, seed in zip(NULL_SCENARIOS, seeds.spawn(len(NULL_SCENARIOS))):
        rng = np.random.default_rng(seed)
        taus = (scenario.sigma, scenario.sigma / 5)
        counts = {(kind, tau): 0 for kind in ("monitor", "engine") for tau in taus}
        early = dict.fromkeys(taus, 0)
        for start in range(0, streams, CHUNK):
            scores = scenario.draw(rng, (min(CHUNK, streams - start), length))
            centred = scores - scenario.null_mean
            for tau in taus:
                monitor = monitor_stops(scores, scenario.null_mean, scenario.sigma, tau)
                engine = engine_stops(centred, tau)
                counts["monitor", tau] += int(np.count_nonzero(monitor))
                counts["engine", tau] += int(np.count_nonzero(engine))
                early[tau] += int(np.count_nonzero((engine != NEVER) & (engine <= EARLY)))
                if start == 0:
                    for row in range(CHECKED_STREAMS):
                        mismatches += monitor[row] != real_monitor_stop(scenario.monitor(tau), scores[row])
                        mismatches += engine[row] != real_engine_stop(tau, centred[row])
        cells = [rate(counts["monitor", tau], streams) for tau in taus] + [
            f"{rate(counts['engine', tau], streams)} ({early[tau] / max(counts['engine', tau], 1):.0%} by n = {EARLY})"
            for tau in taus
        ]
        print(f"| {scenario.name} | " + " | ".join(cells) + " |")
    print("\n* not sub-Gaussian: outside the monitor's guarantee, shown as a measurement only.")
    return mismatches


def power_table(streams: int, length: int, seeds: np.random.SeedSequence) -> int:
    print(f"\nSequentialMonitor under alternatives: {streams:,} streams of up to {length:,} scores, alpha {ALPHA}; "
          f"stopping n counts a stream that never rejects as {length:,}\n")
    print("| scores | effect | tau | power | mean stopping n | median stopping n "
          "| fixed-size eval for 80% power: n | monitor's power by that n |")
    print("|---|---|---|---|---|---|---|---|")
    mismatches = 0
    for (name, effect, draw, scenario), seed in zip(ALTERNATIVES, seeds.spawn(len(ALTERNATIVES))):
        rng = np.random.default_rng(seed)
        taus = (scenario.sigma, effect)
        stops: dict[float, list[int]] = {tau: [] for tau in taus}
        for start in range(0, streams, CHUNK // 2):
            scores = draw(rng, (min(CHUNK // 2, streams - start), length))
            for tau in taus:
                found = monitor_stops(scores, scenario.null_mean, scenario.sigma, tau)
                stops[tau].extend(found.tolist())
                if start == 0:
                    for row in range(CHECKED_STREAMS // 4):
                        mismatches += found[row] != real_monitor_stop(scenario.monitor(tau), scores[row])
        fixed = mirabund.required_items(effect, scenario.sigma)
        for tau in taus:
            censored = [stop or length for stop in stops[tau]]
            label = "sigma" if tau == scenario.sigma else "effect"
            print(f"| {name} | {effect:g} | {label} ({tau:g}) | {rate(sum(map(bool, stops[tau])), streams)} "
                  f"| {sum(censored) / streams:,.0f} | {median(censored):,.0f} | {fixed:,} "
                  f"| {rate(sum(stop <= fixed for stop in censored), streams)} |")
    return mismatches


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--streams", type=int, default=20_000)
    parser.add_argument("--length", type=int, default=1_000)
    parser.add_argument("--power-streams", type=int, default=5_000)
    parser.add_argument("--power-length", type=int, default=5_000)
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()

    started = time.process_time()
    null_seeds, power_seeds = np.random.SeedSequence(args.seed).spawn(2)
    mismatches = null_table(args.streams, args.length, null_seeds)
    mismatches += power_table(args.power_streams, args.power_length, power_seeds)
    print(f"\nThe vectorised stopping times agree with SequentialMonitor and SequentialTest fed one score at a "
          f"time on the first streams of every row: {mismatches} mismatches.")
    print(f"seed {args.seed}; {time.process_time() - started:.0f} s of CPU time")


if __name__ == "__main__":
    main()

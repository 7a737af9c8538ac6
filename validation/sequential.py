"""False-positive rate and stopping time of the sequential tests.

Simulates streams of scores, feeds each to a test after every score and
stops at the first rejection. Not a test: it prints figures, for the README
to quote, each with its Monte Carlo standard error.

- Under the null (10 000 streams of up to 10 000 scores, alpha 0.05): the
  share of streams on which each test ever rejects. Bounded scores (0/1 at
  p = 0.5 and p = 0.9, Beta(3, 7), paired 0/1 differences with neither model
  better) go to ``mirabund.SequentialMonitor`` with their ``bounds`` (the
  betting monitor), to the normal mixture with sigma half their range (what
  the monitor did with ``bounds`` before it bet) and to the engine's
  ``_mirabund_core.SequentialTest`` (fed the scores minus the null mean).
  Unbounded scores go to the monitor with ``sigma`` and to the engine's
  test; centred exponential scores lie outside the monitor's guarantee and
  are shown as a measurement.
- Under alternatives (4 000 streams of up to 10 000 scores): the median
  stopping n of the betting monitor (a stream that never rejects counts as
  never stopping, above every other), against the items a fixed-size
  two-sided z-test needs for 80% power at the same effect and the scores'
  true sd, ((z_0.975 + z_0.8) sd / effect)^2 rounded up, for the four
  scenarios of the goal: at
  most 1.3 times the fixed-size n where the scores vary little, 1.4 times
  for 0/1 scores at 0.50 against 0.45. The normal mixture with sigma half
  the range is shown beside it.

The simulations are vectorised across streams: the betting capital of the
null is updated for all streams at once in the monitor's order of
operations, the engine test's running moments likewise, the normal
mixture's ratio from cumulative sums. Each is checked against the real
object, stream by stream, on the first streams of every row.

    python validation/sequential.py [--streams 10000] [--length 10000] [--power-streams 4000] [--seed 2024]
"""

import argparse
import math
import time
from collections.abc import Callable
from statistics import NormalDist

import numpy as np

import _mirabund_core as mc
import mirabund

ALPHA = 0.05
CHUNK = 1_000
NEVER = 0  # the stopping time of a stream that never rejects
BET_CAP = 0.5  # aGRAPA's truncation, as in core/betting.hpp

Draw = Callable[[np.random.Generator, tuple[int, int]], np.ndarray]


def bernoulli(p: float) -> Draw:
    return lambda rng, shape: (rng.random(shape) < p).astype(float)


def beta(a: float, b: float) -> Draw:
    return lambda rng, shape: rng.beta(a, b, shape)


def differences(better: float, worse: float) -> Draw:
    """Candidate - baseline of paired 0/1 scores: +1 when only the candidate is
    right (probability `better`), -1 when only the baseline is (`worse`)."""

    def draw(rng: np.random.Generator, shape: tuple[int, int]) -> np.ndarray:
        u = rng.random(shape)
        return np.where(u < better, 1.0, np.where(u < better + worse, -1.0, 0.0))

    return draw


class Scenario:
    """Scores of one kind: their draw, the null mean tested, and the bounds
    they lie in (None for unbounded scores of known sd `sigma`)."""

    def __init__(self, name: str, draw: Draw, null_mean: float, bounds: tuple[float, float] | None,
                 sigma: float = 0.0) -> None:
        self.name, self.draw, self.null_mean, self.bounds = name, draw, null_mean, bounds
        self.sigma = sigma if bounds is None else (bounds[1] - bounds[0]) / 2

    def monitor(self) -> mirabund.SequentialMonitor:
        if self.bounds is None:
            return mirabund.SequentialMonitor(ALPHA, sigma=self.sigma, null_mean=self.null_mean)
        return mirabund.SequentialMonitor(ALPHA, bounds=self.bounds, null_mean=self.null_mean)

    def mixture(self) -> mirabund.SequentialMonitor:
        return mirabund.SequentialMonitor(ALPHA, sigma=self.sigma, null_mean=self.null_mean)


NULL_SCENARIOS = [
    Scenario("0/1 scores, p = 0.5", bernoulli(0.5), 0.5, (0.0, 1.0)),
    Scenario("0/1 scores, p = 0.9", bernoulli(0.9), 0.9, (0.0, 1.0)),
    Scenario("Beta(3, 7) scores, mean 0.3", beta(3, 7), 0.3, (0.0, 1.0)),
    Scenario("paired 0/1 differences, 7.5% each way", differences(0.075, 0.075), 0.0, (-1.0, 1.0)),
    Scenario("normal scores, sigma 1", lambda rng, shape: rng.standard_normal(shape), 0.0, None, 1.0),
    Scenario("centred exponential scores*", lambda rng, shape: rng.exponential(1.0, shape) - 1.0, 0.0, None, 1.0),
]

# (scenario, its draw, the true mean's distance from the null, the scores' true sd)
ALTERNATIVES = [
    (Scenario("0/1 at 0.93 vs null 0.90", bernoulli(0.93), 0.90, (0.0, 1.0)), 0.03, math.sqrt(0.93 * 0.07), 1.3),
    (Scenario("Beta(3, 7) vs null 0.27", beta(3, 7), 0.27, (0.0, 1.0)), 0.03, math.sqrt(21 / 1100), 1.3),
    (Scenario("paired 0/1 differences, +0.05", differences(0.10, 0.05), 0.0, (-1.0, 1.0)), 0.05,
     math.sqrt(0.15 - 0.05**2), 1.3),
    (Scenario("0/1 at 0.50 vs null 0.45", bernoulli(0.50), 0.45, (0.0, 1.0)), 0.05, 0.5, 1.4),
]


def z_test_items(effect: float, sd: float, power: float = 0.8) -> int:
    """The items a two-sided z-test at ALPHA needs for `power` at `effect`."""
    z = NormalDist().inv_cdf(1 - ALPHA / 2) + NormalDist().inv_cdf(power)
    return math.ceil((z * sd / effect) ** 2)


def first_crossing(crossed: np.ndarray) -> np.ndarray:
    """The 1-based index of the first True of each row; NEVER for none."""
    return np.where(crossed.any(axis=1), crossed.argmax(axis=1) + 1, NEVER)


def betting_stops(scores: np.ndarray, scenario: Scenario) -> np.ndarray:
    """When the betting monitor first rejects on each row: the null's capital
    with aGRAPA bets, step by step in the order of core/betting.cpp."""
    assert scenario.bounds is not None
    low, high = scenario.bounds
    width = high - low
    m = (scenario.null_mean - low) / width
    least = -BET_CAP / (1.0 - m) if m < 1 else -math.inf
    most = BET_CAP / m if m > 0 else math.inf
    threshold = -math.log(ALPHA)
    streams, length = scores.shape
    log_capital = np.zeros(streams)
    score_sum, spread_sum = np.full(streams, 0.5), np.full(streams, 0.25)
    stops = np.full(streams, NEVER)
    running = np.arange(streams)  # the rows still going
    for i in range(length):
        u = (scores[running, i] - low) / width
        count = float(i + 1)
        mu, s2 = score_sum / count, spread_sum / count
        d = mu - m
        bet = np.minimum(np.maximum(d / (s2 + d * d), least), most)
        log_capital = log_capital + np.log1p(bet * (u - m))
        score_sum = score_sum + u
        gap = u - score_sum / float(i + 2)
        spread_sum = spread_sum + gap * gap
        crossed = log_capital >= threshold
        if crossed.any():
            stops[running[crossed]] = i + 1
            going = ~crossed
            running, log_capital, score_sum, spread_sum = (
                running[going], log_capital[going], score_sum[going], spread_sum[going])
            if running.size == 0:
                break
    return stops


def mixture_stops(scores: np.ndarray, null_mean: float, sigma: float) -> np.ndarray:
    """When the normal mixture with tau = sigma first rejects on each row, by
    the monitor's formula."""
    n = np.arange(1, scores.shape[1] + 1, dtype=np.float64)
    mean = np.cumsum(scores, axis=1) / n
    grown = n  # n tau^2 / sigma^2
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


def median_with_error(stops: np.ndarray, rng: np.random.Generator, resamples: int = 400) -> tuple[float, float]:
    """The median stopping n (never stopping counts as infinitely late) and its
    bootstrap standard error (NaN when resamples reach past every stop)."""
    late = np.where(stops == NEVER, np.inf, stops.astype(float))
    medians = np.median(late[rng.integers(0, late.size, (resamples, late.size))], axis=1)
    error = float(np.std(medians, ddof=1)) if np.isfinite(medians).all() else math.nan
    return float(np.median(late)), error


def show_median(middle: float, error: float, length: int) -> str:
    if not math.isfinite(middle):
        return f"> {length:,}"
    return f"{middle:,.0f} ± {error:.0f}"


def null_table(streams: int, length: int, checked: int, seeds: np.random.SeedSequence) -> int:
    print(f"False-positive rate: share of {streams:,} null streams of up to {length:,} scores ever rejected "
          f"(alpha {ALPHA}), ± one Monte Carlo standard error\n")
    print("| scores (null true) | `SequentialMonitor` | normal mixture, sigma = half the range "
          "| `SequentialTest`, tau = sigma |")
    print("|---|---|---|---|")
    mismatches = 0
    for scenario, seed in zip(NULL_SCENARIOS, seeds.spawn(len(NULL_SCENARIOS))):
        rng = np.random.default_rng(seed)
        counts = {"monitor": 0, "mixture": 0, "engine": 0}
        for start in range(0, streams, CHUNK):
            scores = scenario.draw(rng, (min(CHUNK, streams - start), length))
            centred = scores - scenario.null_mean
            found = {
                "monitor": (betting_stops(scores, scenario) if scenario.bounds is not None
                            else mixture_stops(scores, scenario.null_mean, scenario.sigma)),
                "engine": engine_stops(centred, scenario.sigma),
            }
            if scenario.bounds is not None:
                found["mixture"] = mixture_stops(scores, scenario.null_mean, scenario.sigma)
            for kind, stops in found.items():
                counts[kind] += int(np.count_nonzero(stops))
            if start == 0:
                for row in range(checked):
                    mismatches += found["monitor"][row] != real_monitor_stop(scenario.monitor(), scores[row])
                    mismatches += found["engine"][row] != real_engine_stop(scenario.sigma, centred[row])
                    if "mixture" in found:
                        mismatches += found["mixture"][row] != real_monitor_stop(scenario.mixture(), scores[row])
        bounds = f"`bounds={scenario.bounds}`" if scenario.bounds else f"`sigma={scenario.sigma:g}`"
        mixture = rate(counts["mixture"], streams) if scenario.bounds is not None else "(the monitor)"
        print(f"| {scenario.name} | {rate(counts['monitor'], streams)} ({bounds}) | {mixture} "
              f"| {rate(counts['engine'], streams)} |")
    print("\n* not sub-Gaussian: outside the monitor's guarantee, shown as a measurement only.")
    return mismatches


def power_table(streams: int, length: int, checked: int, seeds: np.random.SeedSequence) -> int:
    print(f"\nStopping time under alternatives: {streams:,} streams of up to {length:,} scores, alpha {ALPHA}; "
          "median stopping n ± bootstrap standard error, against the fixed-size z-test at 80% power "
          "(same effect, true sd)\n")
    print("| scenario | fixed-size n | `SequentialMonitor`: median n | ratio | goal | stopped by "
          f"{length:,} | normal mixture, sigma = half the range: median n |")
    print("|---|---|---|---|---|---|---|")
    mismatches = 0
    for (scenario, effect, sd, goal), seed in zip(ALTERNATIVES, seeds.spawn(len(ALTERNATIVES))):
        rng = np.random.default_rng(seed)
        found: dict[str, list[np.ndarray]] = {"monitor": [], "mixture": []}
        for start in range(0, streams, CHUNK):
            scores = scenario.draw(rng, (min(CHUNK, streams - start), length))
            found["monitor"].append(betting_stops(scores, scenario))
            found["mixture"].append(mixture_stops(scores, scenario.null_mean, scenario.sigma))
            if start == 0:
                for row in range(checked):
                    mismatches += found["monitor"][0][row] != real_monitor_stop(scenario.monitor(), scores[row])
        monitor, mixture = np.concatenate(found["monitor"]), np.concatenate(found["mixture"])
        fixed = z_test_items(effect, sd)
        middle, error = median_with_error(monitor, rng)
        mixture_middle, mixture_error = median_with_error(mixture, rng)
        verdict = "met" if middle <= goal * fixed else "missed"
        print(f"| {scenario.name} | {fixed:,} | {show_median(middle, error, length)} | {middle / fixed:.2f} ± "
              f"{error / fixed:.2f} | ≤ {goal} ({verdict}) | {rate(int(np.count_nonzero(monitor)), streams)} "
              f"| {show_median(mixture_middle, mixture_error, length)} |")
    return mismatches


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--streams", type=int, default=10_000)
    parser.add_argument("--length", type=int, default=10_000)
    parser.add_argument("--power-streams", type=int, default=4_000)
    parser.add_argument("--checked", type=int, default=20, help="streams of each row also fed to the real objects")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()

    started = time.process_time()
    null_seeds, power_seeds = np.random.SeedSequence(args.seed).spawn(2)
    mismatches = null_table(args.streams, args.length, args.checked, null_seeds)
    mismatches += power_table(args.power_streams, args.length, args.checked, power_seeds)
    print(f"\nThe vectorised stopping times agree with SequentialMonitor and SequentialTest fed one stream at a "
          f"time on the first {args.checked} streams of every row: {mismatches} mismatches.")
    print(f"seed {args.seed}; {time.process_time() - started:.0f} s of CPU time")


if __name__ == "__main__":
    main()

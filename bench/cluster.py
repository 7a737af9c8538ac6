#!/usr/bin/env python3
"""Times the whole-cluster bootstrap of the mean against numpy on the same data.

    python bench/cluster.py        # prints a markdown table to standard output

10 000 items in 1 000 clusters of uneven size (items of a cluster scattered
through the data), 10 000 resamples, 95 % percentile interval. Timing,
formatting and the percentile rule come from bench/run.py; see
bench/README.md for the set-up.
"""

from __future__ import annotations

import os
import statistics
import sys
import time

import numpy as np

from run import LEVEL, SEED, Timed, fmt_ratio, fmt_time, log, median_times, percentile_indices

from mirabund import _native

N_ITEMS = 10_000
N_CLUSTERS = 1_000
N_RESAMPLES = 10_000
# Bound on the elements of one draw matrix in the numpy bootstrap (32 MB of
# int64); above it the resamples are taken in chunks.
CHUNK_ELEMENTS = 1 << 22


def clustered_scores(rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Scores with a shared cluster effect, and cluster codes in order of first appearance.

    Every cluster gets one item, the rest go to clusters drawn uniformly, so
    sizes vary around 10.
    """
    codes = np.concatenate([np.arange(N_CLUSTERS), rng.integers(0, N_CLUSTERS, N_ITEMS - N_CLUSTERS)])
    rng.shuffle(codes)
    _, first = np.unique(codes, return_index=True)
    rank = np.empty(N_CLUSTERS, dtype=np.intp)
    rank[np.argsort(first, kind="stable")] = np.arange(N_CLUSTERS)
    codes = rank[codes]
    effect = rng.normal(0.0, 0.3, N_CLUSTERS)
    scores = np.clip(0.6 + effect[codes] + rng.normal(0.0, 0.2, N_ITEMS), 0.0, 1.0)
    return scores, codes


def numpy_cluster_totals(x: np.ndarray, codes: np.ndarray, reps: int, level: float, seed: int):
    """Cluster totals and sizes by bincount, then all draws of a chunk of resamples at once."""
    k = int(codes.max()) + 1
    totals = np.bincount(codes, weights=x, minlength=k)
    sizes = np.bincount(codes, minlength=k)
    rng = np.random.default_rng(seed)
    chunk = max(1, min(reps, CHUNK_ELEMENTS // k))
    means = np.empty(reps)
    for lo in range(0, reps, chunk):
        hi = min(reps, lo + chunk)
        draws = rng.integers(0, k, size=(hi - lo, k))
        means[lo:hi] = totals[draws].sum(axis=1) / sizes[draws].sum(axis=1)
    means.sort()
    i_lo, i_hi = percentile_indices(level, reps)
    return float(x.mean()), float(means[i_lo]), float(means[i_hi])


def numpy_gathered_items(x: np.ndarray, codes: np.ndarray, reps: int, level: float, seed: int):
    """Each resample built from the drawn clusters' items, then its mean."""
    k = int(codes.max()) + 1
    order = np.argsort(codes, kind="stable")
    members = np.split(order, np.cumsum(np.bincount(codes, minlength=k))[:-1])
    rng = np.random.default_rng(seed)
    means = np.empty(reps)
    for r in range(reps):
        means[r] = x[np.concatenate([members[c] for c in rng.integers(0, k, k)])].mean()
    means.sort()
    i_lo, i_hi = percentile_indices(level, reps)
    return float(x.mean()), float(means[i_lo]), float(means[i_hi])


def cpu_median(fn, repeats: int) -> float:
    """Median processor time of one call: other processes on the machine do not count in it."""
    times = []
    for _ in range(repeats):
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return statistics.median(times)


def main() -> int:
    x, codes = clustered_scores(np.random.default_rng([SEED, 100]))
    xl, cl = x.tolist(), codes.tolist()

    def ours_array():
        return _native.cluster_bootstrap_mean(x, codes, N_RESAMPLES, LEVEL, SEED)

    def ours_list():
        return _native.cluster_bootstrap_mean(xl, cl, N_RESAMPLES, LEVEL, SEED)

    def totals():
        return numpy_cluster_totals(x, codes, N_RESAMPLES, LEVEL, SEED)

    def gathered():
        return numpy_gathered_items(x, codes, N_RESAMPLES, LEVEL, SEED)

    log("cluster bootstrap: ours, numpy totals, numpy gathered items")
    cases = [
        ("ours, float64 and intp arrays", ours_array, 9),
        ("ours, lists", ours_list, 9),
        ("numpy, cluster totals by bincount, draws in chunks", totals, 5),
        ("numpy, each resample gathered from its clusters' items", gathered, 3),
    ]
    walls = median_times(*(Timed(fn, repeats=repeats, budget=10.0) for _, fn, repeats in cases))
    cpus = [cpu_median(fn, repeats) for _, fn, repeats in cases]

    ours = ours_array()
    checks = []
    width = ours.ci_upper - ours.ci_lower
    for name, (point, lower, upper) in (("numpy totals", totals()), ("numpy gathered", gathered())):
        # Different generators, so the bounds agree only statistically.
        ok = abs(lower - ours.ci_lower) <= 0.25 * width and abs(upper - ours.ci_upper) <= 0.25 * width
        ok = ok and abs(point - ours.point_estimate) <= 1e-12
        checks.append(f"{'ok    ' if ok else 'FAILED '}{name}: interval within a quarter width of ours")
    same = ours_list()
    ok = (same.ci_lower, same.ci_upper) == (ours.ci_lower, ours.ci_upper)
    checks.append(f"{'ok    ' if ok else 'FAILED '}list and array inputs give the same bits")

    print(f"### Whole-cluster bootstrap of the mean: {N_ITEMS} items in {N_CLUSTERS} clusters, "
          f"{N_RESAMPLES} resamples")
    print()
    print("Load average at the end: " + ", ".join(f"{v:.2f}" for v in os.getloadavg())
          + f" on {os.cpu_count()} cores; processor time is what other work on the machine does not inflate.")
    print()
    print("| case | wall time | processor time | ours (arrays) is faster by, in processor time |")
    print("|---|---|---|---|")
    for (name, _, _), wall, cpu in zip(cases, walls, cpus):
        ratio = "" if name.startswith("ours") else fmt_ratio(cpu, cpus[0])
        print(f"| {name} | {fmt_time(wall)} | {fmt_time(cpu)} | {ratio} |")
    print()
    print(f"Interval: ours [{ours.ci_lower:.6f}, {ours.ci_upper:.6f}] around {ours.point_estimate:.6f}.")
    print()
    print("```")
    print(*checks, sep="\n")
    print("```")
    return 0 if all(c.startswith("ok") for c in checks) else 1


if __name__ == "__main__":
    sys.exit(main())

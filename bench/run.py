#!/usr/bin/env python3
"""Times _mirabund_core against numpy, scipy, statsmodels and arch on the same data.

    python bench/run.py            # prints a markdown report to standard output
    python bench/run.py shared     # only the sections named (bench_<name>)

Every comparison runs in this one process. Each time is the median of a few
repeats measured with time.perf_counter; calls shorter than a millisecond are
looped inside one repeat and divided back. Random data and bootstrap seeds are
fixed, so every run times the same work.
"""

from __future__ import annotations

import collections.abc
import importlib.metadata
import math
import os
import platform
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np
import scipy.stats
from arch.bootstrap import MovingBlockBootstrap
from statsmodels.stats.multitest import multipletests

import _mirabund_core as mc

SEED = 1
LEVEL = 0.95
# Bound on the elements of one index matrix in the numpy bootstrap (32 MB of
# int64); above it the resamples are taken in chunks.
CHUNK_ELEMENTS = 1 << 22
START_LOAD = os.getloadavg()


# ---- timing ----

@dataclass
class Timed:
    """One function to time: how many repeats at most, and the seconds they may take."""

    fn: Callable[[], object]
    repeats: int = 5
    budget: float = 1.0
    warmup: bool = True


def median_times(*items: Timed) -> list[float]:
    """Median seconds of one call of each item's function.

    Each function's first call (a warm-up, or its first repeat when warmup is
    False) decides how many repeats fit into its budget, between 1 and
    `repeats`; sub-millisecond calls are looped so that one repeat takes about
    a millisecond or more. The repeats of the items then run in turn, so that
    load from other processes falls on all of them alike.
    """
    loops, counts, samples = [], [], []
    for item in items:
        t0 = time.perf_counter()
        item.fn()
        first = time.perf_counter() - t0
        n_loops = 1 if first >= 1e-3 else max(1, int(2e-3 / max(first, 1e-7)))
        count = item.repeats
        if first * count > item.budget:
            count = max(1, int(item.budget / first))
        loops.append(n_loops)
        counts.append(count)
        # A slow call's first run counts as a repeat when no warm-up is wanted.
        samples.append([first] if (not item.warmup and n_loops == 1) else [])
    while any(len(got) < want for got, want in zip(samples, counts)):
        for item, n_loops, want, got in zip(items, loops, counts, samples):
            if len(got) >= want:
                continue
            fn = item.fn
            t0 = time.perf_counter()
            for _ in range(n_loops):
                fn()
            got.append((time.perf_counter() - t0) / n_loops)
    return [statistics.median(got) for got in samples]


def fmt_time(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.1f} µs"
    return f"{seconds * 1e9:.0f} ns"


def fmt_ratio(peer: float, ours: float) -> str:
    r = peer / ours
    return f"{r:.2f}×" if r < 10 else f"{r:.0f}×"


@dataclass
class Row:
    case: str
    ours: float
    peers: list[tuple[str, float]] = field(default_factory=list)
    note: str = ""


@dataclass
class Report:
    sections: list[tuple[str, list[Row]]] = field(default_factory=list)
    extra: list[str] = field(default_factory=list)
    checks: list[str] = field(default_factory=list)

    def section(self, title: str) -> list[Row]:
        rows: list[Row] = []
        self.sections.append((title, rows))
        return rows

    def check(self, ok: bool, what: str) -> None:
        self.checks.append(("ok    " if ok else "FAILED ") + what)


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# ---- machine ----

def cpu_info() -> tuple[str, set[str]]:
    """The processor's model name and feature flags."""
    cpu, flags = "unknown", set()
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name") and cpu == "unknown":
                    cpu = line.split(":", 1)[1].strip()
                elif line.startswith("flags") and not flags:
                    flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return cpu, flags


def chacha_kernel(flags: set[str]) -> str:
    """The ChaCha kernel the module picks for these flags: the widest it has."""
    for name, needs in (("avx512", {"avx512f", "avx512vl"}), ("avx2", {"avx2"}), ("avx", {"avx"}),
                        ("sse4.1", {"sse4_1"}), ("ssse3", {"ssse3"})):
        if needs <= flags:
            return name
    return "scalar"


def machine_lines() -> list[str]:
    cpu, flags = cpu_info()
    vector_flags = sorted(f for f in flags if f.startswith(("avx512", "avx2")))
    versions = ", ".join(
        f"{name} {importlib.metadata.version(name)}"
        for name in ("mirabund", "numpy", "scipy", "statsmodels", "arch"))
    env = [f"{k}={os.environ[k]}" for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ]
    return [
        f"- CPU: {cpu}; {os.cpu_count()} logical cores; {', '.join(vector_flags) or 'no AVX2 or AVX-512'}",
        f"- ChaCha kernel picked at run time: {chacha_kernel(flags)} (by the module's rule from these flags; "
        "`bench/mean_paths.cpp` prints the library's own choice of every kernel)",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), {platform.platform()}",
        f"- Packages: {versions}",
        f"- Environment: {', '.join(env) if env else 'no OPENBLAS_* overrides'}",
        "- Load average (1, 5, 15 min) at start: " + ", ".join(f"{v:.2f}" for v in START_LOAD)
        + " (other work on the machine inflates every time below)",
    ]


# ---- block bootstrap of the mean ----

def percentile_indices(level: float, reps: int) -> tuple[int, int]:
    h = (1.0 - level) * 0.5
    m = float(reps)
    return int(math.floor(h * m)), min(int(math.ceil((1.0 - h) * m)), reps - 1)


def numpy_block_bootstrap_mean(x: np.ndarray, block: int, reps: int, level: float, seed: int):
    """Moving-block percentile interval of the mean, vectorised over resamples."""
    n = x.size
    k = -(-n // block)
    rng = np.random.default_rng(seed)
    offsets = np.arange(block)
    chunk = max(1, min(reps, CHUNK_ELEMENTS // (k * block)))
    means = np.empty(reps)
    for lo in range(0, reps, chunk):
        hi = min(reps, lo + chunk)
        starts = rng.integers(0, n - block + 1, size=(hi - lo, k))
        index = (starts[:, :, None] + offsets).reshape(hi - lo, k * block)[:, :n]
        means[lo:hi] = x[index].mean(axis=1)
    means.sort()
    i_lo, i_hi = percentile_indices(level, reps)
    return float(x.mean()), float(means[i_lo]), float(means[i_hi])


def bench_bootstrap_mean(report: Report, rng: np.random.Generator) -> None:
    rows = report.section("Moving-block bootstrap of the mean, 10 000 resamples, 95 % percentile interval")
    reps = 10_000
    for n in (100, 10_000):
        x = rng.normal(0.0, 1.0, n)
        xl = x.tolist()
        for block in (1, 10, 100):
            if block > n:
                continue
            log(f"bootstrap mean n={n} b={block}")
            ours_res = mc.block_bootstrap_mean(xl, block, reps, LEVEL, seed=SEED)
            np_res = numpy_block_bootstrap_mean(x, block, reps, LEVEL, SEED)
            arch_ci = MovingBlockBootstrap(block, x, seed=SEED).conf_int(
                np.mean, reps=reps, method="percentile").ravel()
            # Different generators, so the bounds agree only statistically.
            width = ours_res.ci_upper - ours_res.ci_lower
            tol = 0.25 * width + 1e-12
            report.check(
                abs(np_res[1] - ours_res.ci_lower) <= tol and abs(np_res[2] - ours_res.ci_upper) <= tol
                and abs(arch_ci[0] - ours_res.ci_lower) <= tol and abs(arch_ci[1] - ours_res.ci_upper) <= tol,
                f"bootstrap mean n={n} b={block}: intervals agree within a quarter width "
                f"(ours [{ours_res.ci_lower:.5f}, {ours_res.ci_upper:.5f}], numpy [{np_res[1]:.5f}, {np_res[2]:.5f}], "
                f"arch [{arch_ci[0]:.5f}, {arch_ci[1]:.5f}])")

            heavy = n * reps >= 10_000_000
            ours, t_np, t_arch = median_times(
                Timed(lambda: mc.block_bootstrap_mean(xl, block, reps, LEVEL, seed=SEED),
                      repeats=3 if heavy else 7, budget=10.0, warmup=not heavy),
                Timed(lambda: numpy_block_bootstrap_mean(x, block, reps, LEVEL, SEED),
                      repeats=3 if heavy else 7, budget=10.0, warmup=not heavy),
                Timed(lambda: MovingBlockBootstrap(block, x, seed=SEED).conf_int(
                    np.mean, reps=reps, method="percentile"), repeats=3, budget=6.0, warmup=False))
            k = -(-n // block)
            chunked = reps * k * block > CHUNK_ELEMENTS
            note = (f"numpy in chunks of {max(1, CHUNK_ELEMENTS // (k * block))} resamples" if chunked
                    else "numpy in one index matrix")
            rows.append(Row(f"n={n:,} block={block}".replace(",", " "), ours,
                            [("numpy vectorised", t_np), ("arch conf_int", t_arch)], note))


# ---- the package's default intervals ----

def numpy_bootstrap_t(x: np.ndarray, reps: int, level: float, seed: int):
    """Equal-tailed bootstrap-t interval of the mean, resamples in chunks."""
    rng = np.random.default_rng(seed)
    n = len(x)
    mean, se = x.mean(), x.std(ddof=1) / math.sqrt(n)
    per_chunk = max(1, CHUNK_ELEMENTS // n)
    ts = []
    for start in range(0, reps, per_chunk):
        resamples = x[rng.integers(0, n, (min(per_chunk, reps - start), n))]
        ts.append((resamples.mean(axis=1) - mean) / (resamples.std(axis=1, ddof=1) / math.sqrt(n)))
    t = np.concatenate(ts)
    low, high = np.quantile(t, [(1 - level) / 2, (1 + level) / 2])
    return mean - high * se, mean - low * se


def bench_inference(report: Report, rng: np.random.Generator) -> None:
    from mirabund import _native

    rows = report.section("Default interval without clusters: bootstrap-t of the mean, 10 000 resamples "
                          "(limit: at most 2x the percentile bootstrap of the same items)")
    reps = 10_000
    for n in (100, 10_000):
        x = rng.exponential(1.0, n)
        log(f"bootstrap-t n={n}")
        ours_res = _native.studentized_bootstrap_mean(x, reps, LEVEL, SEED)
        np_low, np_high = numpy_bootstrap_t(x, reps, LEVEL, SEED)
        width = ours_res.ci_upper - ours_res.ci_lower
        report.check(abs(np_low - ours_res.ci_lower) <= 0.25 * width and abs(np_high - ours_res.ci_upper) <= 0.25 * width,
                     f"bootstrap-t n={n}: intervals agree within a quarter width (ours [{ours_res.ci_lower:.5f}, "
                     f"{ours_res.ci_upper:.5f}], numpy [{np_low:.5f}, {np_high:.5f}])")
        heavy = n * reps >= 10_000_000
        ours, percentile, t_np = median_times(
            Timed(lambda: _native.studentized_bootstrap_mean(x, reps, LEVEL, SEED), repeats=3 if heavy else 7,
                  budget=10.0, warmup=not heavy),
            Timed(lambda: mc.block_bootstrap_mean(x, 1, reps, LEVEL, seed=SEED), repeats=3 if heavy else 7,
                  budget=10.0, warmup=not heavy),
            Timed(lambda: numpy_bootstrap_t(x, reps, LEVEL, SEED), repeats=3, budget=10.0, warmup=False))
        report.check(ours <= 2.0 * percentile, f"bootstrap-t n={n}: {ours / percentile:.2f}x the percentile "
                                               f"bootstrap (limit 2x)")
        rows.append(Row(f"n={n:,}".replace(",", " "), ours,
                        [("percentile bootstrap (limit)", percentile), ("numpy vectorised", t_np)]))


# ---- metrics sharing their resamples ----

def bench_shared(report: Report, rng: np.random.Generator) -> None:
    import mirabund

    reps, n, width = 10_000, 200_000, 6
    rows = report.section(f"{width} metrics over 200 000 items sharing their resamples (compare_metrics, method "
                          f"percentile, 10 000 resamples; goal: with threads=1 at most 1.5x one "
                          f"block_bootstrap_mean of the same items)")
    items = np.tile(np.arange(n), 2)
    table = {"model": np.repeat(np.array(["a", "b"]), n), "item": items,
             **{f"m{m}": rng.normal(0.0, 1.0, 2 * n) for m in range(width)}}
    differences = table["m0"][n:] - table["m0"][:n]

    def family(threads: int | None, resamples: int = reps, method: str = "percentile"):
        return lambda: mirabund.compare_metrics(table, baseline="a", candidate="b", method=method,
                                                n_resamples=resamples, seed=SEED, threads=threads)

    log(f"shared resamples: {width} metrics, n={n}")
    one, every, single, default, one_metric = median_times(
        Timed(family(1), repeats=3, budget=30.0, warmup=False),
        Timed(family(None), repeats=3, budget=30.0, warmup=False),
        Timed(lambda: mc.block_bootstrap_mean(differences, 1, reps, LEVEL, seed=SEED), repeats=3, budget=15.0,
              warmup=False),
        Timed(family(1, method="auto"), repeats=3, budget=15.0, warmup=False),
        Timed(lambda: mirabund.compare(table["m0"][:n], table["m0"][n:], method="percentile", n_resamples=reps,
                                       seed=SEED, threads=1), repeats=3, budget=15.0, warmup=False))
    cores = getattr(os, "process_cpu_count", os.cpu_count)()
    report.check(one <= 1.5 * single, f"shared resamples: {width} metrics with threads=1 take {one / single:.2f}x "
                                      f"one block_bootstrap_mean (goal 1.5x)")
    report.check(family(1, 500)() == family(2, 500)(), "shared resamples: threads=1 and threads=2 give equal results")
    rows.append(Row("threads=1", one, [("one block_bootstrap_mean (goal: ours <= 1.5x)", single)],
                    f"{one / single:.2f}x one metric's bootstrap for {width} metrics"))
    rows.append(Row("one metric (compare), threads=1", one_metric, [("one block_bootstrap_mean", single)],
                    f"{one_metric / single:.2f}x the engine's own bootstrap of the same differences"))
    rows.append(Row(f"threads=None ({cores} cores)", every, [("threads=1", one)],
                    f"speed-up from threads {one / every:.2f}x"))
    rows.append(Row("method auto (the t reference from 500 items on)", default,
                    [("one block_bootstrap_mean", single)], f"{default / single:.2f}x, no resampling"))


# ---- block bootstrap with a Python callable ----

def bench_bootstrap_callable(report: Report, rng: np.random.Generator) -> None:
    rows = report.section("Moving-block bootstrap with a Python statistic (statistics.fmean), block 10, 1 000 resamples")
    reps, block = 1_000, 10
    overhead_lines = [
        "| n | library | total | fmean on a list of n floats | overhead per resample | fmean on an ndarray of n "
        "| overhead net of fmean on ndarray | per resample with `len` as the statistic |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for n in (100, 1_000):
        log(f"bootstrap callable n={n}")
        x = rng.normal(0.0, 1.0, n)
        xl = x.tolist()
        ours_res = mc.block_bootstrap(xl, block, reps, LEVEL, statistics.fmean, seed=SEED)
        mean_res = mc.block_bootstrap_mean(xl, block, reps, LEVEL, seed=SEED)
        # Same starts, so the same resamples; fmean rounds once, the built-in mean per addition.
        report.check(abs(ours_res.ci_lower - mean_res.ci_lower) < 1e-12
                     and abs(ours_res.ci_upper - mean_res.ci_upper) < 1e-12,
                     f"block_bootstrap(fmean) n={n} matches block_bootstrap_mean with the same seed")
        ours, t_arch, ours_len, arch_len, t_fm_list, t_fm_arr = median_times(
            Timed(lambda: mc.block_bootstrap(xl, block, reps, LEVEL, statistics.fmean, seed=SEED),
                  repeats=5, budget=4.0),
            Timed(lambda: MovingBlockBootstrap(block, x, seed=SEED).apply(statistics.fmean, reps),
                  repeats=3, budget=4.0),
            Timed(lambda: mc.block_bootstrap(xl, block, reps, LEVEL, len, seed=SEED), repeats=5, budget=4.0),
            Timed(lambda: MovingBlockBootstrap(block, x, seed=SEED).apply(len, reps), repeats=3, budget=4.0),
            Timed(lambda: statistics.fmean(xl), repeats=9),
            Timed(lambda: statistics.fmean(x), repeats=9))
        rows.append(Row(f"n={n:,}".replace(",", " "), ours, [("arch apply", t_arch)],
                        "arch apply returns the statistics only, no interval"))
        for name, total, own_input, with_len in (("ours", ours, t_fm_list, ours_len),
                                                 ("arch apply", t_arch, t_fm_arr, arch_len)):
            over_list = (total - reps * t_fm_list) / reps
            over_own = (total - reps * own_input) / reps
            overhead_lines.append(
                f"| {n} | {name} | {fmt_time(total)} | {fmt_time(t_fm_list)} | {fmt_time(over_list)} | "
                f"{fmt_time(t_fm_arr)} | {fmt_time(over_own) if name != 'ours' else '(gets lists)'} | "
                f"{fmt_time(with_len / reps)} |")
    report.extra.append(
        "### Per-resample overhead of a Python statistic\n\n"
        "Overhead per resample = (total − 1 000 × time of one fmean call) / 1 000. Ours hands the callable a new "
        "list of floats per resample; arch hands it an ndarray, on which fmean itself is slower (it iterates numpy "
        "scalars), so the next column subtracts fmean's time on an ndarray instead. The last column measures the "
        "overhead directly: the whole run with the builtin `len` (next to free) as the statistic, divided by "
        "1 000.\n\n"
        + "\n".join(overhead_lines))


# ---- multiple-comparisons correction ----

def bench_correction(report: Report, rng: np.random.Generator) -> None:
    rows = report.section("correct_p_values, alpha 0.05 (ours from a list and from an ndarray; peers get the ndarray)")
    alpha = 0.05
    for m in (1_000, 1_000_000):
        log(f"correct_p_values m={m}")
        # A mix of small and uniform p-values, so that some hypotheses are rejected.
        p = np.where(rng.random(m) < 0.1, rng.random(m) * 1e-4, rng.random(m))
        pl = p.tolist()
        for method, sm_name in ((mc.CorrectionMethod.Bonferroni, "bonferroni"),
                                (mc.CorrectionMethod.BenjaminiHochberg, "fdr_bh")):
            ours_res = mc.correct_p_values(pl, alpha, method)
            sm_rej, sm_adj, _, _ = multipletests(p, alpha=alpha, method=sm_name)
            adj = np.array(ours_res.adjusted_p_values)
            ok = (np.allclose(adj, sm_adj, rtol=1e-12, atol=0) and np.array_equal(np.array(ours_res.rejected), sm_rej)
                  and mc.correct_p_values(p, alpha, method).adjusted_p_values == ours_res.adjusted_p_values)
            label = "Bonferroni" if sm_name == "bonferroni" else "BH"
            items = [Timed(lambda: mc.correct_p_values(pl, alpha, method), repeats=7, budget=3.0),
                     Timed(lambda: mc.correct_p_values(p, alpha, method), repeats=7, budget=3.0),
                     Timed(lambda: multipletests(p, alpha=alpha, method=sm_name), repeats=7, budget=3.0)]
            names = ["statsmodels multipletests"]
            if sm_name == "fdr_bh":
                sp_adj = scipy.stats.false_discovery_control(p, method="bh")
                ok = ok and np.allclose(adj, sp_adj, rtol=1e-12, atol=0)
                items.append(Timed(lambda: scipy.stats.false_discovery_control(p, method="bh"),
                                   repeats=7, budget=3.0))
                names.append("scipy false_discovery_control")
            report.check(ok, f"correct_p_values {label} m={m}: adjusted values and rejections match the peers")
            t_list, t_arr, *peer_times = median_times(*items)
            peers = list(zip(names, peer_times))
            size = f"{m:,}".replace(",", " ")
            rows.append(Row(f"{label} m={size}, ours from list", t_list, peers))
            rows.append(Row(f"{label} m={size}, ours from ndarray", t_arr, peers))
            if m == 1_000_000 and sm_name == "fdr_bh":
                def ours_and_read():
                    r = mc.correct_p_values(pl, alpha, method)
                    return r.adjusted_p_values, r.rejected
                t_read, = median_times(Timed(ours_and_read, repeats=5, budget=3.0))
                rows.append(Row(f"{label} m={size}, ours from list + reading both result lists", t_read, peers,
                                "peers' results are ndarrays already"))


# ---- effect size and length-bias correction ----

def numpy_cohens_d(baseline, treatment):
    a = np.asarray(baseline, dtype=float)
    b = np.asarray(treatment, dtype=float)
    na, nb = a.size, b.size
    sd = np.sqrt(((na - 1) * np.var(a, ddof=1) + (nb - 1) * np.var(b, ddof=1)) / (na + nb - 2))
    d = (b.mean() - a.mean()) / sd
    return d, d * (1.0 - 3.0 / (4.0 * (na + nb - 2) - 1.0))


def scipy_length_bias(scores, lengths):
    s = np.asarray(scores, dtype=float)
    length = np.asarray(lengths, dtype=float)
    fit = scipy.stats.linregress(length, s)
    adjusted = s - (length * fit.slope + fit.intercept) + s.mean()
    return fit.slope, fit.intercept, fit.rvalue, adjusted


def bench_effect_and_length(report: Report, rng: np.random.Generator) -> None:
    rows = report.section("cohens_d and length_bias_correction (each side gets the same input form)")
    for n in (1_000, 1_000_000):
        log(f"cohens_d / length_bias_correction n={n}")
        base = rng.normal(0.0, 1.0, n)
        treat = rng.normal(0.3, 1.1, n)
        lengths = rng.integers(20, 2_000, n).astype(float)
        scores = 3.0 + 0.001 * lengths + rng.normal(0.0, 0.5, n)
        forms = (("list", base.tolist(), treat.tolist(), scores.tolist(), lengths.tolist()),
                 ("ndarray", base, treat, scores, lengths))
        size = f"{n:,}".replace(",", " ")
        for form, b, t, s, ln in forms:
            ours_d = mc.cohens_d(b, t)
            np_d, np_g = numpy_cohens_d(b, t)
            lb = mc.length_bias_correction(s, ln)
            sp = scipy_length_bias(s, ln)
            report.check(math.isclose(ours_d.cohens_d, np_d, rel_tol=1e-9)
                         and math.isclose(ours_d.hedges_g, np_g, rel_tol=1e-9),
                         f"cohens_d n={n} from {form}: d and g match numpy")
            report.check(math.isclose(lb.slope, sp[0], rel_tol=1e-9) and math.isclose(lb.intercept, sp[1], rel_tol=1e-9)
                         and math.isclose(lb.correlation, sp[2], rel_tol=1e-9)
                         and np.allclose(lb.adjusted_scores, sp[3], rtol=1e-9),
                         f"length_bias_correction n={n} from {form}: fit and adjusted scores match scipy")
            t_ours, t_np = median_times(Timed(lambda: mc.cohens_d(b, t), repeats=9, budget=2.0),
                                        Timed(lambda: numpy_cohens_d(b, t), repeats=9, budget=2.0))
            rows.append(Row(f"cohens_d n={size}, {form}", t_ours, [("numpy one-liner", t_np)]))
            t_ours, t_sp = median_times(Timed(lambda: mc.length_bias_correction(s, ln), repeats=9, budget=2.0),
                                        Timed(lambda: scipy_length_bias(s, ln), repeats=9, budget=2.0))
            rows.append(Row(f"length_bias_correction n={size}, {form}", t_ours, [("scipy linregress + numpy", t_sp)],
                            "ours returns adjusted scores inside the result; not read here"))


# ---- sequential test ----

class PlainSequentialTest:
    """The same mixture ratio update, one observation at a time, in plain Python."""

    __slots__ = ("alpha", "tau", "n", "mean", "m2")

    def __init__(self, alpha: float, tau: float) -> None:
        self.alpha, self.tau, self.n, self.mean, self.m2 = alpha, tau, 0, 0.0, 0.0

    def update(self, x: float) -> tuple[int, float, bool]:
        self.n += 1
        c = float(self.n)
        delta = x - self.mean
        self.mean = delta / c + self.mean
        self.m2 = (x - self.mean) * delta + self.m2
        if self.n < 2:
            return self.n, 1.0, False
        v = self.m2 / (c + -1.0)
        if not v > 1e-12:
            return self.n, 1.0, False
        t2 = self.tau * self.tau
        d = t2 * c + v
        s = math.sqrt(v / d)
        e = (((c * c) * t2) * self.mean) * self.mean / ((v + v) * d)
        try:
            ratio = math.exp(e) * s
        except OverflowError:
            ratio = math.inf
        return self.n, ratio, ratio >= 1.0 / self.alpha


def bench_sequential(report: Report, rng: np.random.Generator) -> None:
    rows = report.section("SequentialTest.update, 100 000 observations fed one at a time")
    log("sequential")
    xs = rng.normal(0.01, 1.0, 100_000).tolist()

    def ours():
        test = mc.SequentialTest(0.05, 1.0)
        update = test.update
        last = None
        for x in xs:
            last = update(x)
        return last

    def plain():
        test = PlainSequentialTest(0.05, 1.0)
        update = test.update
        last = None
        for x in xs:
            last = update(x)
        return last

    a, b = ours(), plain()
    report.check(a.n == b[0] and a.likelihood_ratio == b[1]
                 and (a.decision == mc.SequentialDecision.RejectNull) == b[2],
                 f"sequential: last ratio identical to the plain-Python update ({a.likelihood_ratio!r})")
    t_ours, t_plain = median_times(Timed(ours, repeats=5, budget=5.0), Timed(plain, repeats=5, budget=5.0))
    rows.append(Row("100 000 updates (whole loop)", t_ours, [("plain Python class", t_plain)],
                    f"per update: ours {fmt_time(t_ours / len(xs))}, plain Python {fmt_time(t_plain / len(xs))}"))


# ---- sample ingestion ----

class IterOnly(collections.abc.Sequence):
    """A sequence that is not an ndarray: the library can only iterate it."""

    __slots__ = ("_a",)

    def __init__(self, a: np.ndarray) -> None:
        self._a = a

    def __len__(self) -> int:
        return len(self._a)

    def __getitem__(self, i):
        return self._a[i]

    def __iter__(self):
        return iter(self._a)


def bench_ingestion(report: Report, rng: np.random.Generator) -> None:
    log("ingestion")
    n = 1_000_000
    a = rng.normal(0.0, 1.0, n)
    b = rng.normal(0.1, 1.0, n)
    al, bl = a.tolist(), b.tolist()
    wa, wb = IterOnly(a), IterOnly(b)
    d = mc.cohens_d(a, b).cohens_d
    report.check(d == mc.cohens_d(al, bl).cohens_d == mc.cohens_d(wa, wb).cohens_d,
                 "ingestion: same d from ndarray, list and iteration-only wrapper")
    t_arr, t_list, t_wrap, t_np = median_times(
        Timed(lambda: mc.cohens_d(a, b), repeats=9, budget=3.0),
        Timed(lambda: mc.cohens_d(al, bl), repeats=9, budget=3.0),
        Timed(lambda: mc.cohens_d(wa, wb), repeats=5, budget=5.0),
        Timed(lambda: numpy_cohens_d(a, b), repeats=9, budget=3.0))

    # Conversion alone: a length mismatch is refused right after both samples
    # are read, so these calls time the reading of one 1e6-element sample.
    def convert_only(sample: object) -> Callable[[], object]:
        def call() -> None:
            try:
                mc.length_bias_correction(sample, [0.0])
            except ValueError:
                pass
        return call

    c_arr, c_list, c_wrap = median_times(
        Timed(convert_only(a), repeats=9, budget=3.0),
        Timed(convert_only(al), repeats=9, budget=3.0),
        Timed(convert_only(wa), repeats=5, budget=5.0))
    lines = [
        "### Sample ingestion: reading one 1 000 000-element float64 sample",
        "",
        "Timed through a call the library refuses at once (length mismatch), so nothing but the reading counts.",
        "",
        "| input form | ours | relative to ndarray input |",
        "|---|---|---|",
        f"| numpy float64 ndarray | {fmt_time(c_arr)} | 1.00× |",
        f"| `arr.tolist()` list of floats | {fmt_time(c_list)} | {c_list / c_arr:.2f}× |",
        f"| Sequence wrapper over the ndarray (iteration only) | {fmt_time(c_wrap)} | {c_wrap / c_arr:.2f}× |",
        "",
        "### Sample ingestion: cohens_d on two 1 000 000-element float64 samples",
        "",
        "| input form | ours | relative to ndarray input |",
        "|---|---|---|",
        f"| numpy float64 ndarray | {fmt_time(t_arr)} | 1.00× |",
        f"| `arr.tolist()` list of floats | {fmt_time(t_list)} | {t_list / t_arr:.2f}× |",
        f"| Sequence wrapper over the ndarray (iteration only) | {fmt_time(t_wrap)} | {t_wrap / t_arr:.2f}× |",
        f"| (reference) numpy one-liner on the ndarrays | {fmt_time(t_np)} | {t_np / t_arr:.2f}× |",
        "",
        "If the ndarray row is close to the wrapper row, arrays reach the library by element-by-element iteration; "
        "if it is far below, by a faster path.",
    ]
    report.extra.append("\n".join(lines))


# ---- output ----

def render(report: Report, elapsed: float) -> str:
    out = ["# mirabund benchmarks", "", *machine_lines(), "",
           "Times are medians of repeated runs (time.perf_counter); ratio = peer time / our time, "
           "so above 1× means ours is faster.", ""]
    for title, rows in report.sections:
        out += [f"### {title}", "", "| case | ours | peer | peer time | peer/ours | notes |", "|---|---|---|---|---|---|"]
        for row in rows:
            for i, (name, t) in enumerate(row.peers):
                first = i == 0
                out.append(f"| {row.case if first else ''} | {fmt_time(row.ours) if first else ''} | {name} | "
                           f"{fmt_time(t)} | {fmt_ratio(t, row.ours)} | {row.note if first else ''} |")
        out.append("")
    for block in report.extra:
        out += [block, ""]
    out += ["### Result checks", "", "```", *report.checks, "```", "",
            f"Whole run: {elapsed:.0f} s; load average at the end: "
            + ", ".join(f"{v:.2f}" for v in os.getloadavg()) + ".", "",
            "Regenerate with `python bench/run.py > bench/RESULTS.md` from the repository's root, in a virtual "
            "environment holding the installed module (`pip install .`) and `bench/requirements.txt` "
            "(see bench/README.md)."]
    return "\n".join(out)


def main() -> int:
    start = time.perf_counter()
    report = Report()
    benches = (bench_bootstrap_mean, bench_inference, bench_bootstrap_callable, bench_correction,
               bench_effect_and_length, bench_sequential, bench_ingestion, bench_shared)
    chosen = {f"bench_{name}" for name in sys.argv[1:]}
    for i, bench in enumerate(benches):
        if not chosen or bench.__name__ in chosen:
            bench(report, np.random.default_rng([SEED, i]))
    print(render(report, time.perf_counter() - start))
    return 0 if all(c.startswith("ok") for c in report.checks) else 1


if __name__ == "__main__":
    sys.exit(main())

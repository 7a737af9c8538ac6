"""Evaluation report: is the candidate model better than the baseline?

Reads the synthetic data set data/eval_items.csv (made by make_dataset.py)
and prints, as plain-text tables:

1. each metric's mean per model with a 95% moving-block bootstrap interval,
   and the median of one metric through the callable form of the bootstrap;
2. the paired difference per metric with its interval, Cohen's d and
   Hedges' g, and p-values corrected with Benjamini-Hochberg across metrics;
3. the helpfulness judge's length bias and the means with it taken out;
4. how often the pairwise judge changed its verdict when the two responses
   swapped positions, and the verdicts with that position bias removed;
5. how many items a sequential test on accuracy needed before it could stop.

With matplotlib installed it also saves a chart of the intervals (PNG), by
default report_intervals.png in the current directory. Every random draw is
seeded, so the output is the same on every run.

    python evaluate.py [--data CSV] [--chart PNG | --no-chart]
"""

import argparse
import csv
import math
import statistics
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import _mirabund_core as mc

DEFAULT_DATA = Path(__file__).resolve().parent / "data" / "eval_items.csv"
DEFAULT_CHART = Path("report_intervals.png")

MODELS = ("baseline", "candidate")
METRICS = ("accuracy", "helpfulness", "faithfulness", "coherence")
MAIN_METRIC = "accuracy"
JUDGE_METRIC = "helpfulness"
MEDIAN_METRIC = "faithfulness"

# Items come in topics of 8 consecutive rows that share a difficulty; blocks
# of that size keep the correlation inside each resample.
BLOCK_SIZE = 8
N_RESAMPLES = 2000
LEVEL = 0.95
SEED = 7
ALPHA = 0.05
# Prior spread of the accuracy gain worth detecting: ten points.
TAU = 0.1
# Two-sided 95% quantile of the standard normal.
Z_95 = 1.959963984540054

MAGNITUDES = ("negligible", "small", "medium", "large")
VERDICTS = {"A": mc.Preference.PrefersA, "B": mc.Preference.PrefersB, "tie": mc.Preference.Tie}
VERDICT_VALUE = {"A": -1, "tie": 0, "B": 1}


@dataclass(frozen=True)
class Dataset:
    name: str
    n_items: int
    n_topics: int
    scores: dict[str, dict[str, list[float]]]  # metric or "length" -> model -> per item
    original_order: list[str]
    swapped_order: list[str]


@dataclass(frozen=True)
class Interval:
    metric: str
    statistic: str
    model: str
    estimate: float
    lower: float
    upper: float


def load(path: Path) -> Dataset:
    with path.open(newline="", encoding="utf-8") as handle:
        rows = list(csv.DictReader(line for line in handle if not line.startswith("#")))
    scores = {
        column: {model: [float(row[f"{column}_{model}"]) for row in rows] for model in MODELS}
        for column in (*METRICS, "length")
    }
    return Dataset(
        name=path.name,
        n_items=len(rows),
        n_topics=len({row["topic"] for row in rows}),
        scores=scores,
        original_order=[row["original_order"] for row in rows],
        swapped_order=[row["swapped_order"] for row in rows],
    )


def table(header: Sequence[str], rows: Sequence[Sequence[str]], align: str) -> str:
    """Aligned plain-text table; align has one 'l' or 'r' per column."""
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]

    def line(cells: Sequence[str]) -> str:
        parts = [
            cell.ljust(width) if side == "l" else cell.rjust(width)
            for cell, width, side in zip(cells, widths, align)
        ]
        return "  ".join(parts).rstrip()

    rule = "  ".join("-" * width for width in widths)
    return "\n".join([line(header), rule, *(line(row) for row in rows)])


def heading(title: str) -> None:
    print()
    print(title)
    print("=" * len(title))


def bracket(lower: float, upper: float, digits: int = 3) -> str:
    return f"[{lower:.{digits}f}, {upper:.{digits}f}]"


def mean(values: Sequence[float]) -> float:
    return math.fsum(values) / len(values)


def median(values: list[float]) -> float:
    return float(statistics.median(values))


def differences(data: Dataset, metric: str) -> list[float]:
    base, cand = data.scores[metric]["baseline"], data.scores[metric]["candidate"]
    return [c - b for b, c in zip(base, cand)]


def bootstrap(values: list[float], statistic: Callable[[list[float]], float] | None = None) -> mc.BootstrapResult:
    if statistic is None:
        return mc.block_bootstrap_mean(values, BLOCK_SIZE, N_RESAMPLES, LEVEL, seed=SEED)
    return mc.block_bootstrap(values, BLOCK_SIZE, N_RESAMPLES, LEVEL, statistic, seed=SEED)


def p_value_from_interval(result: mc.BootstrapResult) -> float:
    """Two-sided normal-approximation p-value for a zero mean difference.

    The standard error is read off the block bootstrap's 95% interval
    (width / 3.92), so it carries the items' correlation within topics.
    """
    se = (result.ci_upper - result.ci_lower) / (2.0 * Z_95)
    if se == 0.0:
        return 1.0 if result.point_estimate == 0.0 else 0.0
    return math.erfc(abs(result.point_estimate / se) / math.sqrt(2.0))


def p_text(p: float) -> str:
    return "<0.0001" if p < 0.0001 else f"{p:.4f}"


def interval_section(data: Dataset) -> list[Interval]:
    heading("1. Metric means with 95% block bootstrap intervals")
    intervals: list[Interval] = []
    for metric in METRICS:
        statistics_used: list[tuple[str, Callable[[list[float]], float] | None]] = [("mean", None)]
        if metric == MEDIAN_METRIC:
            statistics_used.append(("median", median))
        for name, statistic in statistics_used:
            for model in MODELS:
                r = bootstrap(data.scores[metric][model], statistic)
                intervals.append(Interval(metric, name, model, r.point_estimate, r.ci_lower, r.ci_upper))
    rows = [
        [iv.metric, iv.statistic, iv.model, f"{iv.estimate:.3f}", bracket(iv.lower, iv.upper)] for iv in intervals
    ]
    print(table(["metric", "statistic", "model", "estimate", "95% interval"], rows, "lllrr"))
    print(f"The {MEDIAN_METRIC} medians come from block_bootstrap with a Python median as the statistic.")
    return intervals


def comparison_section(data: Dataset) -> None:
    heading("2. Candidate vs baseline per metric")
    diffs = [bootstrap(differences(data, metric)) for metric in METRICS]
    effects = [mc.cohens_d(data.scores[m]["baseline"], data.scores[m]["candidate"]) for m in METRICS]
    p_values = [p_value_from_interval(r) for r in diffs]
    corrected = mc.correct_p_values(p_values, ALPHA, mc.CorrectionMethod.BenjaminiHochberg)
    rows = [
        [
            metric,
            f"{r.point_estimate:+.3f}",
            bracket(r.ci_lower, r.ci_upper),
            f"{e.cohens_d:+.3f}",
            f"{e.hedges_g:+.3f}",
            MAGNITUDES[int(e.magnitude)],
            p_text(p),
            p_text(q),
            "yes" if rejected else "no",
        ]
        for metric, r, e, p, q, rejected in zip(
            METRICS, diffs, effects, p_values, corrected.adjusted_p_values, corrected.rejected
        )
    ]
    header = ["metric", "difference", "95% interval", "Cohen's d", "Hedges' g", "magnitude", "p", "p (BH)", "significant"]
    print(table(header, rows, "lrrrrlrrl"))
    print("difference: candidate minus baseline, mean over items, with its block bootstrap interval.")
    print("d and g: mean difference over the pooled standard deviation of the two models' scores.")
    print("p: two-sided normal approximation, z = difference / standard error, the standard error")
    print("   taken from the width of the bootstrap interval (width / 3.92).")
    print(f"p (BH): Benjamini-Hochberg across the {len(METRICS)} metrics; significant at alpha = {ALPHA}.")


def length_bias_section(data: Dataset) -> None:
    heading(f"3. Length bias of the {JUDGE_METRIC} judge")
    scores = data.scores[JUDGE_METRIC]["baseline"] + data.scores[JUDGE_METRIC]["candidate"]
    lengths = data.scores["length"]["baseline"] + data.scores["length"]["candidate"]
    # One line through both models' responses, so the length gap between the
    # models is what gets taken out.
    fit = mc.length_bias_correction(scores, lengths)
    adjusted = fit.adjusted_scores
    corrected = {"baseline": adjusted[: data.n_items], "candidate": adjusted[data.n_items :]}
    print(f"least-squares fit over all {len(scores)} responses: score = {fit.intercept:.3f} + {fit.slope:.5f} x tokens")
    print(f"correlation of score and length: {fit.correlation:+.3f}")
    print(f"(along the fitted line, 100 more tokens come with {100.0 * fit.slope:+.2f} points)")
    print()
    rows = [
        [
            model,
            f"{mean(data.scores['length'][model]):.1f}",
            f"{mean(data.scores[JUDGE_METRIC][model]):.3f}",
            f"{mean(corrected[model]):.3f}",
        ]
        for model in MODELS
    ]
    raw_d = mc.cohens_d(data.scores[JUDGE_METRIC]["baseline"], data.scores[JUDGE_METRIC]["candidate"])
    corrected_d = mc.cohens_d(corrected["baseline"], corrected["candidate"])
    gap = mean(corrected["candidate"]) - mean(corrected["baseline"])
    raw_gap = mean(data.scores[JUDGE_METRIC]["candidate"]) - mean(data.scores[JUDGE_METRIC]["baseline"])
    rows.append(["difference", "", f"{raw_gap:+.3f}", f"{gap:+.3f}"])
    rows.append(["Cohen's d", "", f"{raw_d.cohens_d:+.3f}", f"{corrected_d.cohens_d:+.3f}"])
    print(table(["model", "mean tokens", "raw mean", "corrected mean"], rows, "lrrr"))
    print("The common line also absorbs any real quality that comes with length, so the")
    print("corrected gap is a cautious estimate.")


def position_bias_section(data: Dataset) -> None:
    heading("4. Position bias in pairwise judgments")
    results = [
        mc.debias_pairwise_judgment(VERDICTS[first], VERDICTS[second])
        for first, second in zip(data.original_order, data.swapped_order)
    ]
    flagged = sum(1 for r in results if r.position_bias_detected)
    # A verdict that moves towards whichever response is shown first: the
    # baseline is first in the original order, the candidate after the swap.
    towards_first = sum(
        1
        for first, second in zip(data.original_order, data.swapped_order)
        if VERDICT_VALUE[second] > VERDICT_VALUE[first]
    )
    print("Each pair was judged twice, the baseline's response (A) shown first, then the candidate's (B).")
    print(f"position bias detected: {flagged} of {data.n_items} items ({100.0 * flagged / data.n_items:.1f}%)")
    print(f"  verdict moved towards the response shown first: {towards_first}")
    print(f"  verdict moved towards the response shown second: {flagged - towards_first}")
    print()

    def count(verdicts: Sequence[str], label: str) -> str:
        return str(sum(1 for v in verdicts if v == label))

    debiased = [("A", "B", "tie")[int(r.preference)] for r in results]
    rows = [
        [name, count(data.original_order, label), count(data.swapped_order, label), count(debiased, label)]
        for name, label in (("candidate preferred (B)", "B"), ("baseline preferred (A)", "A"), ("tie", "tie"))
    ]
    print(table(["verdict", "original order", "swapped order", "debiased"], rows, "lrrr"))
    wins, losses = debiased.count("B"), debiased.count("A")
    print("debiased: a disagreement between the two orders counts as a tie; the candidate wins")
    print(f"{wins} of {wins + losses} decisive pairs ({100.0 * wins / max(1, wins + losses):.1f}%).")


def sequential_section(data: Dataset) -> None:
    heading("5. Sequential test on per-item accuracy difference")
    diffs = differences(data, MAIN_METRIC)
    test = mc.SequentialTest(ALPHA, TAU)
    print(f"mixture SPRT, alpha = {ALPHA}, tau = {TAU}; items fed in file order; stops at the first")
    print(f"likelihood ratio >= 1/alpha = {1.0 / ALPHA:g}.")
    last: mc.SequentialUpdate | None = None
    for x in diffs:
        last = test.update(x)
        if last.decision == mc.SequentialDecision.RejectNull:
            print(
                f"stopped after {last.n} of {len(diffs)} items: likelihood ratio {last.likelihood_ratio:.2f}, "
                f"mean difference {test.current_mean:+.3f}"
            )
            print(f"({len(diffs) - last.n} items would not have needed scoring)")
            return
    ratio = last.likelihood_ratio if last is not None else 1.0
    print(f"never stopped: after all {len(diffs)} items the likelihood ratio is {ratio:.2f}")


def save_chart(intervals: Sequence[Interval], path: Path) -> bool:
    """Horizontal interval plot, one panel per metric and statistic."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels: list[tuple[str, str]] = []
    for iv in intervals:
        if (iv.metric, iv.statistic) not in panels:
            panels.append((iv.metric, iv.statistic))
    colours = {"baseline": "tab:gray", "candidate": "tab:blue"}
    fig, axes = plt.subplots(len(panels), 1, figsize=(7.0, 1.25 * len(panels) + 0.8), squeeze=False)
    for ax, (metric, statistic) in zip(axes[:, 0], panels):
        rows = [iv for iv in intervals if (iv.metric, iv.statistic) == (metric, statistic)]
        for y, iv in enumerate(rows):
            ax.errorbar(
                [iv.estimate],
                [y],
                xerr=[[iv.estimate - iv.lower], [iv.upper - iv.estimate]],
                fmt="o",
                color=colours[iv.model],
                capsize=4,
            )
        ax.set_yticks(range(len(rows)), [iv.model for iv in rows])
        ax.set_ylim(-0.6, len(rows) - 0.4)
        ax.set_title(f"{metric} ({statistic})", fontsize=10, loc="left")
        ax.grid(axis="x", alpha=0.3)
    fig.suptitle(f"{LEVEL:.0%} block bootstrap intervals (blocks of {BLOCK_SIZE}, {N_RESAMPLES} resamples)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description="Print the evaluation report of candidate vs baseline.")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="CSV written by make_dataset.py")
    parser.add_argument("--chart", type=Path, default=DEFAULT_CHART, help="PNG to write (default %(default)s)")
    parser.add_argument("--no-chart", action="store_true", help="do not draw the chart")
    args = parser.parse_args()

    data = load(args.data)
    print("Evaluation report: candidate vs baseline")
    print(f"data: {data.name}, {data.n_items} items in {data.n_topics} topics (synthetic)")
    print(
        f"bootstrap: blocks of {BLOCK_SIZE} consecutive items, {N_RESAMPLES} resamples, "
        f"{LEVEL:.0%} level, seed {SEED}"
    )
    intervals = interval_section(data)
    comparison_section(data)
    length_bias_section(data)
    position_bias_section(data)
    sequential_section(data)

    print()
    if args.no_chart:
        print("chart: not drawn (--no-chart)")
    elif save_chart(intervals, args.chart):
        print(f"chart: {args.chart}")
    else:
        print("chart: not drawn (matplotlib is not installed)")


if __name__ == "__main__":
    main()

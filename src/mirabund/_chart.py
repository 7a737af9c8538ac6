"""The interval charts of a report: one row per metric, each model's mean and the
difference; or a leaderboard's models with their intervals in rank order."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

from ._compare import MeanInterval
from ._leaderboard import Leaderboard
from ._metrics import MetricComparisons

__all__ = ["draw_intervals", "draw_leaderboard", "literal"]

# Colours of the difference: a significant gain, a significant loss, neither.
COLOURS = {"better": "tab:green", "worse": "tab:red"}


def literal(text: str) -> str:
    """``text`` drawn as written: a ``$`` would start matplotlib's mathtext."""
    return text.replace("$", r"\$")


def draw_intervals(path: Path, family: MetricComparisons, means: Sequence[tuple[MeanInterval, MeanInterval]]) -> None:
    """Write the chart of ``family`` (and each model's ``means``) to ``path``.

    Each metric gets a row of two panels, on its own scale: the two models'
    means with their intervals, and the difference with its interval beside
    a line at zero. The format follows the file's extension.
    """
    # The figure is drawn without pyplot, so no display backend is touched.
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    rows = len(family.comparisons)
    figure = Figure(figsize=(9.0, 0.4 + 1.2 * rows), layout="constrained")
    axes = figure.subplots(rows, 2, squeeze=False, width_ratios=(1.0, 1.0))
    level = round(100 * family.comparisons[0].confidence_level, 6) if rows else 95
    for (left, right), comparison, outcome, (base, cand) in zip(axes, family.comparisons, family.outcomes, means):
        for y, (model, interval, colour) in enumerate(
            ((family.candidate, cand, "tab:orange"), (family.baseline, base, "tab:blue"))
        ):
            left.errorbar(interval.mean, y, xerr=[[interval.mean - interval.ci_lower], [interval.ci_upper - interval.mean]],
                          fmt="o", color=colour, capsize=4)
        left.set_yticks([0, 1], [literal(family.candidate), literal(family.baseline)])
        left.set_ylim(-0.7, 1.7)
        left.set_ylabel(literal(comparison.metric or ""), rotation=0, ha="right", va="center", fontweight="bold")
        right.axvline(0.0, color="0.6", linewidth=1)
        right.errorbar(comparison.difference, 0,
                       xerr=[[comparison.difference - comparison.ci_lower], [comparison.ci_upper - comparison.difference]],
                       fmt="D", color=COLOURS.get(outcome.value, "0.3"), capsize=4)
        right.set_yticks([])
        for panel in (left, right):
            panel.xaxis.set_major_locator(MaxNLocator(nbins=5))
        right.set_ylim(-0.7, 0.7)
        p_text = f"p = {comparison.p_value:.3g}"
        if comparison.p_adjusted is not None:
            p_text += f", adjusted {comparison.p_adjusted:.3g}"
        right.text(0.99, 0.9, p_text, transform=right.transAxes, ha="right", va="top", fontsize=8)
    if rows:
        axes[0][0].set_title(f"mean and {level:g}% interval")
        title = f"{family.candidate} minus {family.baseline}"
        if len(title) > 36:
            title = f"{family.candidate}\nminus {family.baseline}"
        axes[0][1].set_title(literal(title))
    figure.savefig(path, dpi=110)


def draw_leaderboard(path: Path, boards: Leaderboard | Sequence[Leaderboard]) -> None:
    """Write the chart of one leaderboard, or of several (one panel each, say
    one per metric), to ``path``: one row per model in rank order, best at the
    top, its mean with its interval, coloured by tier and labelled with its
    rank interval. The format follows the file's extension.
    """
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    panels = [boards] if isinstance(boards, Leaderboard) else list(boards)
    heights = [1.0 + 0.4 * len(board.models) for board in panels]
    figure = Figure(figsize=(7.0, sum(heights)), layout="constrained")
    axes = figure.subplots(len(panels), 1, squeeze=False, height_ratios=heights)[:, 0]
    colours = ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown", "tab:pink", "tab:olive")
    for panel, board in zip(axes, panels):
        count = len(board.models)
        shown: set[int] = set()
        for y, entry in zip(range(count - 1, -1, -1), board.models):
            panel.errorbar(entry.mean, y, xerr=[[entry.mean - entry.ci_lower], [entry.ci_upper - entry.mean]],
                           fmt="o", capsize=4, color=colours[(entry.tier - 1) % len(colours)],
                           label=None if entry.tier in shown else f"tier {entry.tier}")
            shown.add(entry.tier)
        panel.set_yticks(range(count - 1, -1, -1),
                         [f"{entry.model}  (rank {entry.rank_lower}-{entry.rank_upper})"
                          if entry.rank_lower != entry.rank_upper else f"{entry.model}  (rank {entry.rank_lower})"
                          for entry in board.models])
        panel.set_ylim(-0.7, count - 0.3)
        panel.xaxis.set_major_locator(MaxNLocator(nbins=6))
        direction = "higher" if board.higher_is_better else "lower"
        panel.set_title(f"{board.metric}: mean and {100 * board.confidence_level:g}% interval "
                        f"({direction} is better)")
        panel.set_xlabel(f"rank intervals hold jointly with probability >= {1 - board.alpha:.4g}; "
                         f"tiers: not told apart at alpha {board.alpha:g} ({board.correction.value})\n"
                         "pairs are compared item by item: overlapping intervals of means may still differ",
                         fontsize=8)
        if len(board.tiers) > 1:
            panel.legend(loc="best", fontsize=8)
    figure.savefig(path, dpi=110)

"""Judge biases in the example data: what `mirabund report` does not cover.

`mirabund report` compares the two models metric by metric (see
scripts/example.sh). Scores from model judges carry biases of their own;
this script looks for two of them in data/eval_items.csv (made by
make_dataset.py) and prints:

1. the helpfulness judge's length bias, and the comparison of the two models
   with it taken out (paired, topics as clusters, p-values from mirabund);
2. how often the pairwise judge changed its verdict when the two responses
   swapped positions, and the verdicts with that position bias removed.

Every random draw is seeded, so the output is the same on every run.

    python evaluate.py [--data CSV]
"""

import argparse
import csv
from collections.abc import Sequence
from pathlib import Path

import _mirabund_core as mc

import mirabund

DEFAULT_DATA = Path(__file__).resolve().parent / "data" / "eval_items.csv"
BASELINE, CANDIDATE = "ember-1", "ember-2"
JUDGE_METRIC = "helpfulness"
SEED = 7
VERDICTS = {"A": mc.Preference.PrefersA, "B": mc.Preference.PrefersB, "tie": mc.Preference.Tie}
VERDICT_VALUE = {"A": -1, "tie": 0, "B": 1}


def load(path: Path) -> dict[str, list[dict[str, str]]]:
    """The rows of each model, both in the same item order."""
    with path.open(newline="", encoding="utf-8") as handle:
        rows = list(csv.DictReader(handle))
    by_model = {model: [row for row in rows if row["model"] == model] for model in (BASELINE, CANDIDATE)}
    assert [r["item"] for r in by_model[BASELINE]] == [r["item"] for r in by_model[CANDIDATE]]
    return by_model


def column(rows: Sequence[dict[str, str]], name: str) -> list[float]:
    return [float(row[name]) for row in rows]


def table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """Aligned plain-text table, the first column left-aligned."""
    widths = [max(len(cell) for cell in cells) for cells in zip(header, *rows)]
    lines = ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()
             for cells in (header, *rows)]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)


def heading(title: str) -> None:
    print()
    print(title)
    print("=" * len(title))


def length_bias_section(data: dict[str, list[dict[str, str]]]) -> None:
    heading(f"1. Length bias of the {JUDGE_METRIC} judge")
    base, cand = data[BASELINE], data[CANDIDATE]
    n_items = len(base)
    scores = column(base, JUDGE_METRIC) + column(cand, JUDGE_METRIC)
    lengths = column(base, "length") + column(cand, "length")
    # One line through both models' responses, so the length gap between the
    # models is what gets taken out.
    fit = mc.length_bias_correction(scores, lengths)
    print(f"least-squares fit over all {len(scores)} responses: score = {fit.intercept:.3f} + {fit.slope:.5f} x tokens")
    print(f"correlation of score and length: {fit.correlation:+.3f}")
    print(f"(along the fitted line, 100 more tokens come with {100.0 * fit.slope:+.2f} points)")
    print()
    topics = [row["topic"] for row in base]
    raw = mirabund.compare(scores[:n_items], scores[n_items:], clusters=topics, seed=SEED)
    corrected = mirabund.compare(fit.adjusted_scores[:n_items], fit.adjusted_scores[n_items:], clusters=topics, seed=SEED)
    rows = [
        [name, f"{r.baseline_mean:.3f}", f"{r.candidate_mean:.3f}", f"{r.difference:+.3f}",
         f"[{r.ci_lower:+.3f}, {r.ci_upper:+.3f}]", f"{r.p_value:.3g}", f"{r.d_z:+.2f}"]
        for name, r in (("raw", raw), ("length-corrected", corrected))
    ]
    print(table(["scores", BASELINE, CANDIDATE, "difference", "95% interval", "p", "d_z"], rows))
    print(f"paired by item, {raw.n_clusters} topics resampled whole; mean tokens {BASELINE} "
          f"{sum(lengths[:n_items]) / n_items:.0f}, {CANDIDATE} {sum(lengths[n_items:]) / n_items:.0f}.")
    print("The common line also absorbs any real quality that comes with length, so the")
    print("corrected gap is a cautious estimate.")


def position_bias_section(data: dict[str, list[dict[str, str]]]) -> None:
    heading("2. Position bias in pairwise judgments")
    original = [row["original_order"] for row in data[BASELINE]]
    swapped = [row["swapped_order"] for row in data[BASELINE]]
    n_items = len(original)
    results = [mc.debias_pairwise_judgment(VERDICTS[a], VERDICTS[b]) for a, b in zip(original, swapped)]
    flagged = sum(1 for r in results if r.position_bias_detected)
    # A verdict that moves towards whichever response is shown first: the
    # baseline is first in the original order, the candidate after the swap.
    towards_first = sum(1 for a, b in zip(original, swapped) if VERDICT_VALUE[b] > VERDICT_VALUE[a])
    print("Each pair was judged twice, the baseline's response (A) shown first, then the candidate's (B).")
    print(f"position bias detected: {flagged} of {n_items} items ({100.0 * flagged / n_items:.1f}%)")
    print(f"  verdict moved towards the response shown first: {towards_first}")
    print(f"  verdict moved towards the response shown second: {flagged - towards_first}")
    print()
    debiased = [("A", "B", "tie")[int(r.preference)] for r in results]
    rows = [
        [name, str(original.count(label)), str(swapped.count(label)), str(debiased.count(label))]
        for name, label in (("candidate preferred (B)", "B"), ("baseline preferred (A)", "A"), ("tie", "tie"))
    ]
    print(table(["verdict", "original order", "swapped order", "debiased"], rows))
    wins, losses = debiased.count("B"), debiased.count("A")
    print("debiased: a disagreement between the two orders counts as a tie; the candidate wins")
    print(f"{wins} of {wins + losses} decisive pairs ({100.0 * wins / max(1, wins + losses):.1f}%).")


def main() -> None:
    parser = argparse.ArgumentParser(description="Print the judge-bias checks of the example data.")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="CSV written by make_dataset.py")
    args = parser.parse_args()
    data = load(args.data)
    print(f"Judge biases: {CANDIDATE} (candidate) vs {BASELINE} (baseline)")
    print(f"data: {args.data.name}, {len(data[BASELINE])} items (synthetic)")
    length_bias_section(data)
    position_bias_section(data)


if __name__ == "__main__":
    main()

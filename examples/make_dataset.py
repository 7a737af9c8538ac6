"""Writes the synthetic evaluation data set used by evaluate.py.

Nothing here comes from a real model: every number is drawn from Python's
`random` module with a fixed seed, so running this script again reproduces
data/eval_items.csv byte for byte.

The set has 240 items in 30 topics of 8 consecutive items. Items of one topic
share a difficulty, so neighbouring rows are correlated; that is why the
report uses a block bootstrap with blocks of 8.

Per item, for a baseline and a candidate model:

- accuracy: 1 when the answer is correct, else 0;
- helpfulness: a judge's score from 1 to 10;
- faithfulness: share of claims supported by the source, 0 to 1;
- coherence: a judge's rating from 1 to 5;
- length: the response length in tokens;

and one pairwise judgment made twice, first with the baseline's response in
the first position, then with the two swapped. Both verdicts are written in
terms of the responses, not the positions: "A" is the baseline's response,
"B" the candidate's, "tie" neither.

Built-in flaws for the report to find: the candidate writes about 40% longer
responses, and the helpfulness judge adds about 0.008 points per token of
length whatever the quality; the pairwise judge leans towards whichever
response it is shown first. The candidate's real gains are on accuracy and
coherence; its faithfulness is the baseline's.
"""

import argparse
import csv
import math
import random
from pathlib import Path

SEED = 20240607
N_TOPICS = 30
ITEMS_PER_TOPIC = 8
DOMAINS = ("math", "code", "science", "history", "law", "medicine")

# Latent skill on top of the item's ease; the candidate is somewhat better.
SKILL = {"baseline": 0.0, "candidate": 0.45}
# Median response length in tokens; the candidate is verbose.
MEDIAN_LENGTH = {"baseline": 170.0, "candidate": 240.0}
# Judge points per token, the helpfulness judge's length bias.
LENGTH_BIAS = 0.008
# Pull of the first position in the pairwise judge, in latent-score units.
POSITION_PULL = 0.4

COLUMNS = (
    "item_id",
    "topic",
    "accuracy_baseline",
    "accuracy_candidate",
    "helpfulness_baseline",
    "helpfulness_candidate",
    "faithfulness_baseline",
    "faithfulness_candidate",
    "coherence_baseline",
    "coherence_candidate",
    "length_baseline",
    "length_candidate",
    "original_order",
    "swapped_order",
)

HEADER_COMMENT = (
    "# Synthetic evaluation data made by make_dataset.py (seed 20240607); "
    "no real model outputs. A = baseline response, B = candidate response.\n"
)

DEFAULT_OUT = Path(__file__).resolve().parent / "data" / "eval_items.csv"


def clamp(value: float, low: float, high: float) -> float:
    return min(high, max(low, value))


def sigmoid(x: float) -> float:
    return 1.0 / (1.0 + math.exp(-x))


def verdict(margin: float) -> str:
    """The judge's call from its preference for B over A."""
    if margin > 0.3:
        return "B"
    if margin < -0.3:
        return "A"
    return "tie"


def model_scores(rng: random.Random, model: str, ease: float, length_factor: float) -> dict[str, float]:
    quality = ease + SKILL[model] + rng.gauss(0.0, 0.6)
    length = round(clamp(MEDIAN_LENGTH[model] * length_factor * math.exp(rng.gauss(0.0, 0.3)), 20.0, 1500.0))
    correct = 1 if rng.random() < sigmoid(0.8 + 1.2 * quality) else 0
    helpfulness = round(clamp(5.2 + 1.1 * quality + LENGTH_BIAS * (length - 200) + rng.gauss(0.0, 1.0), 1.0, 10.0))
    # Faithfulness follows the item, not the model's skill.
    faithfulness = clamp(0.82 + 0.06 * (ease + rng.gauss(0.0, 0.8)), 0.0, 1.0)
    coherence = round(clamp(3.3 + 0.6 * quality + rng.gauss(0.0, 0.7), 1.0, 5.0))
    return {
        "quality": quality,
        "length": float(length),
        "accuracy": float(correct),
        "helpfulness": float(helpfulness),
        "faithfulness": faithfulness,
        "coherence": float(coherence),
    }


def make_rows(seed: int = SEED) -> list[dict[str, str]]:
    rng = random.Random(seed)
    rows: list[dict[str, str]] = []
    for topic_index in range(N_TOPICS):
        topic = f"{DOMAINS[topic_index % len(DOMAINS)]}-{topic_index // len(DOMAINS) + 1:02d}"
        topic_ease = rng.gauss(0.0, 0.7)
        topic_length = math.exp(rng.gauss(0.0, 0.25))
        for _ in range(ITEMS_PER_TOPIC):
            ease = topic_ease + rng.gauss(0.0, 0.5)
            base = model_scores(rng, "baseline", ease, topic_length)
            cand = model_scores(rng, "candidate", ease, topic_length)
            # The pairwise judge also likes length, and the first position.
            preference = cand["quality"] - base["quality"] + 0.004 * (cand["length"] - base["length"])
            original = verdict(preference - POSITION_PULL + rng.gauss(0.0, 0.35))
            swapped = verdict(preference + POSITION_PULL + rng.gauss(0.0, 0.35))
            rows.append(
                {
                    "item_id": f"item-{len(rows) + 1:03d}",
                    "topic": topic,
                    "accuracy_baseline": f"{base['accuracy']:.0f}",
                    "accuracy_candidate": f"{cand['accuracy']:.0f}",
                    "helpfulness_baseline": f"{base['helpfulness']:.0f}",
                    "helpfulness_candidate": f"{cand['helpfulness']:.0f}",
                    "faithfulness_baseline": f"{base['faithfulness']:.3f}",
                    "faithfulness_candidate": f"{cand['faithfulness']:.3f}",
                    "coherence_baseline": f"{base['coherence']:.0f}",
                    "coherence_candidate": f"{cand['coherence']:.0f}",
                    "length_baseline": f"{base['length']:.0f}",
                    "length_candidate": f"{cand['length']:.0f}",
                    "original_order": original,
                    "swapped_order": swapped,
                }
            )
    return rows


def write_csv(path: Path, rows: list[dict[str, str]]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w", newline="", encoding="utf-8") as handle:
        handle.write(HEADER_COMMENT)
        writer = csv.DictWriter(handle, fieldnames=COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


def main() -> None:
    parser = argparse.ArgumentParser(description="Write the synthetic evaluation data set.")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"CSV to write (default {DEFAULT_OUT})")
    args = parser.parse_args()
    rows = make_rows()
    write_csv(args.out, rows)
    print(f"wrote {len(rows)} items to {args.out}")


if __name__ == "__main__":
    main()

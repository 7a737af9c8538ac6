"""Writes the synthetic evaluation data set of the examples.

Nothing here comes from a real model: every number is drawn from Python's
`random` module with a fixed seed, so running this script again reproduces
data/eval_items.csv byte for byte.

The file is a long table, the form `mirabund report` reads: one row per
model and item. Two models, the baseline "ember-1" and the candidate
"ember-2", answer the same 329 items in 40 topics of 3 to 12 items. Items of
one topic share a difficulty and the candidate's gain varies from topic to
topic, so items are correlated within topics: intervals and standard errors
must treat the topic, not the item, as the unit that was sampled.

Columns:

- model, item, topic;
- accuracy: 1 when the answer is correct, else 0;
- helpfulness: a judge's score from 1 to 10;
- faithfulness: share of claims supported by the source, 0 to 1;
- coherence: a judge's rating from 1 to 5;
- length: the response length in tokens;
- original_order, swapped_order: one pairwise judgment of the item's two
  responses, made twice, first with the baseline's response in the first
  position, then with the two swapped; both verdicts are written in terms of
  the responses: "A" is the baseline's, "B" the candidate's, "tie" neither
  (the same on both of the item's rows).

Built-in flaws for the examples to find: the candidate writes about 40%
longer responses, and the helpfulness judge adds about 0.008 points per
token of length whatever the quality; the pairwise judge leans towards
whichever response it is shown first. The candidate's real gains are on
accuracy and coherence; its faithfulness is the baseline's.
"""

import argparse
import csv
import math
import random
from pathlib import Path

SEED = 20240607
N_TOPICS = 40
TOPIC_SIZES = (3, 12)
DOMAINS = ("math", "code", "science", "history", "law", "medicine", "travel", "finance")
MODELS = {"baseline": "ember-1", "candidate": "ember-2"}

# The candidate's latent gain over the baseline: its mean, and its spread
# from topic to topic.
GAIN = 0.6
GAIN_SPREAD = 0.5
# Median response length in tokens; the candidate is verbose.
MEDIAN_LENGTH = {"baseline": 170.0, "candidate": 240.0}
# Judge points per token, the helpfulness judge's length bias.
LENGTH_BIAS = 0.008
# Pull of the first position in the pairwise judge, in latent-score units.
POSITION_PULL = 0.4

COLUMNS = (
    "model", "item", "topic", "accuracy", "helpfulness", "faithfulness", "coherence", "length",
    "original_order", "swapped_order",
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


def model_scores(rng: random.Random, model: str, ease: float, skill: float, length_factor: float) -> dict[str, float]:
    quality = ease + skill + rng.gauss(0.0, 0.6)
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


def row(model: str, item: str, topic: str, scores: dict[str, float], original: str, swapped: str) -> dict[str, str]:
    return {
        "model": MODELS[model],
        "item": item,
        "topic": topic,
        "accuracy": f"{scores['accuracy']:.0f}",
        "helpfulness": f"{scores['helpfulness']:.0f}",
        "faithfulness": f"{scores['faithfulness']:.3f}",
        "coherence": f"{scores['coherence']:.0f}",
        "length": f"{scores['length']:.0f}",
        "original_order": original,
        "swapped_order": swapped,
    }


def make_rows(seed: int = SEED) -> list[dict[str, str]]:
    rng = random.Random(seed)
    rows: list[dict[str, str]] = []
    n_items = 0
    for topic_index in range(N_TOPICS):
        topic = f"{DOMAINS[topic_index % len(DOMAINS)]}-{topic_index // len(DOMAINS) + 1:02d}"
        topic_ease = rng.gauss(0.0, 0.7)
        topic_gain = rng.gauss(GAIN, GAIN_SPREAD)
        topic_length = math.exp(rng.gauss(0.0, 0.25))
        for _ in range(rng.randint(*TOPIC_SIZES)):
            n_items += 1
            item = f"item-{n_items:03d}"
            ease = topic_ease + rng.gauss(0.0, 0.5)
            base = model_scores(rng, "baseline", ease, 0.0, topic_length)
            cand = model_scores(rng, "candidate", ease, topic_gain, topic_length)
            # The pairwise judge also likes length, and the first position.
            preference = cand["quality"] - base["quality"] + 0.004 * (cand["length"] - base["length"])
            original = verdict(preference - POSITION_PULL + rng.gauss(0.0, 0.35))
            swapped = verdict(preference + POSITION_PULL + rng.gauss(0.0, 0.35))
            rows.append(row("baseline", item, topic, base, original, swapped))
            rows.append(row("candidate", item, topic, cand, original, swapped))
    return rows


def write_csv(path: Path, rows: list[dict[str, str]]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with path.open("w", newline="", encoding="utf-8") as handle:
        writer = csv.DictWriter(handle, fieldnames=COLUMNS, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)


def main() -> None:
    parser = argparse.ArgumentParser(description="Write the synthetic evaluation data set.")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"CSV to write (default {DEFAULT_OUT})")
    args = parser.parse_args()
    rows = make_rows()
    write_csv(args.out, rows)
    print(f"wrote {len(rows)} rows ({len(rows) // 2} items, 2 models) to {args.out}")


if __name__ == "__main__":
    main()

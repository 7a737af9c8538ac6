"""Two inspect-ai evaluation logs, made offline with inspect-ai's mock model provider.

Two mock models, ember-1 and ember-2, answer 48 arithmetic and recall
questions in 8 topics, twice each (two epochs). Three scorers grade every
answer: ``match`` and ``includes`` (inspect-ai's own, grades C and I) and
``brevity``, which gives two values, ``exact`` (a grade C, P or I) and
``words`` (the answer's length in words, lower being better). Each mock
answer is fixed by the model, the question and the epoch, so every run
gives the same scores (the logs' times and ids differ); the second model is
right more often and wordier.

    python examples/make_inspect_logs.py --out examples/data/inspect

writes one ``.eval`` log per model into the folder. Then:

    mirabund report examples/data/inspect --baseline mockllm/ember-1 \\
        --candidate mockllm/ember-2 --cluster-column topic --lower-is-better brevity/words
"""

from __future__ import annotations

import argparse
import hashlib
import shutil
import tempfile
from collections import Counter
from pathlib import Path
from typing import Any

from inspect_ai import Task, eval
from inspect_ai.dataset import Sample
from inspect_ai.log import read_eval_log
from inspect_ai.model import ModelOutput, ModelUsage, get_model
from inspect_ai.scorer import CORRECT, INCORRECT, PARTIAL, Score, Target, includes, match, mean, scorer
from inspect_ai.solver import TaskState, generate

TOPICS = ["addition", "subtraction", "multiplication", "capitals", "chemistry", "units", "dates", "spelling"]
# How often each model answers right, by topic: ember-2 gains most where ember-1 is weak.
SKILL = {"ember-1": [0.8, 0.7, 0.45, 0.6, 0.5, 0.55, 0.4, 0.75],
         "ember-2": [0.85, 0.8, 0.7, 0.65, 0.7, 0.6, 0.6, 0.75]}


def questions() -> list[Sample]:
    samples = []
    for number in range(48):
        topic = TOPICS[number % len(TOPICS)]
        a, b = 7 + number, 3 + number % 5
        samples.append(Sample(id=f"q{number:02d}", input=f"[{topic}] What is {a} + {b}?", target=str(a + b),
                              metadata={"topic": topic, "difficulty": 1 + number % 3}))
    return samples


def draw(*parts: object) -> float:
    """A fixed number in [0, 1) for the given parts."""
    digest = hashlib.sha256("/".join(map(str, parts)).encode()).digest()
    return int.from_bytes(digest[:8], "big") / 2**64


def mock_answers(name: str, answers: dict[str, str]) -> Any:
    """The mock model's outputs: right with the model's skill in the question's topic."""
    seen: Counter[str] = Counter()

    def answer(messages: list[Any], tools: Any, tool_choice: Any, config: Any) -> ModelOutput:
        question = messages[-1].text
        seen[question] += 1
        topic = question[1:question.index("]")]
        skill = SKILL[name][TOPICS.index(topic)]
        right = answers[question]
        roll = draw(name, question, seen[question])
        if roll < skill:
            text = right if name == "ember-1" or roll < skill / 2 else f"The answer is {right}."
        elif roll < skill + 0.1:
            text = f"About {right}, or {int(right) + 1}."
        else:
            text = str(int(right) + 1 + int(roll * 5))
        output = ModelOutput.from_content(model=name, content=text)
        # A usage of its own, or inspect-ai counts tokens with a tokenizer it would download.
        output.usage = ModelUsage(input_tokens=12, output_tokens=len(text.split()), total_tokens=12 + len(text.split()))
        return output

    return answer


@scorer(metrics={"exact": [mean()], "words": [mean()]})
def brevity() -> Any:
    """The answer graded C (exactly the target), P (the target among other words) or I, and its length in words."""

    async def score(state: TaskState, target: Target) -> Score:
        text = state.output.completion.strip()
        words = text.split()
        grade = CORRECT if text == target.text else PARTIAL if target.text in text.replace(".", " ").split() else INCORRECT
        return Score(value={"exact": grade, "words": len(words)}, answer=text)

    return score


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "data" / "inspect",
                        help="the folder to write the two logs to (replaced)")
    args = parser.parse_args()
    samples = questions()
    answers = {str(sample.input): str(sample.target) for sample in samples}
    with tempfile.TemporaryDirectory() as work:
        for name in SKILL:
            model = get_model(f"mockllm/{name}", custom_outputs=mock_answers(name, answers))
            task = Task(dataset=samples, solver=generate(), scorer=[match(), includes(), brevity()], name="sums")
            eval(task, model=model, epochs=2, log_dir=work, display="none", log_format="eval",
                 log_samples=True, score_display=False)
        logs = sorted(Path(work).glob("*.eval"))
        if args.out.exists():
            shutil.rmtree(args.out)
        args.out.mkdir(parents=True)
        for log in logs:
            model = read_eval_log(str(log), header_only=True).eval.model.partition("/")[2]
            shutil.copy(log, args.out / f"{model}.eval")
    print(f"wrote {', '.join(sorted(p.name for p in args.out.iterdir()))} to {args.out}")


if __name__ == "__main__":
    main()

"""Logs of real evaluation harnesses, made offline, read by ``mirabund report``
with numbers equal to a direct pandas computation from the logs."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from reference import UNDER_SANITIZER

pd = pytest.importorskip("pandas")
# The harnesses run here add no native code of ours, and their own
# extensions (pydantic's) leak by the sanitizer's count: once, outside it.
pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="third-party harnesses; nothing native of ours")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(*argv, cwd, env=None):
    done = subprocess.run([sys.executable, *map(str, argv)], cwd=cwd, capture_output=True, text=True, timeout=300,
                          check=False, env=env)
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


def differences(frames, metrics, key):
    """Each metric's mean per model and the mean paired difference, second model minus first."""
    first, second = (frame.set_index(key)[metrics] for frame in frames)
    second = second.loc[first.index]
    return {metric: (first[metric].mean(), second[metric].mean(), (second[metric] - first[metric]).mean())
            for metric in metrics}


def check_report(document, expected):
    assert [c["metric"] for c in document["comparisons"]] == list(expected)
    for comparison in document["comparisons"]:
        base, cand, difference = expected[comparison["metric"]]
        assert comparison["baseline_mean"] == pytest.approx(base, rel=1e-12, abs=1e-12)
        assert comparison["candidate_mean"] == pytest.approx(cand, rel=1e-12, abs=1e-12)
        assert comparison["difference"] == pytest.approx(difference, rel=1e-12, abs=1e-12)


def test_inspect_ai_logs_made_by_the_example_script(tmp_path):
    log = pytest.importorskip("inspect_ai.log")
    from inspect_ai.scorer import value_to_float

    run(EXAMPLES / "make_inspect_logs.py", "--out", tmp_path / "logs", cwd=tmp_path)
    run("-m", "mirabund", "report", "logs", "--baseline", "mockllm/ember-1", "--candidate", "mockllm/ember-2",
        "--cluster-column", "topic", "--lower-is-better", "brevity/words", "--resamples", "200", "--seed", "1",
        "--json", "out.json", cwd=tmp_path)
    document = json.loads((tmp_path / "out.json").read_text())
    # Grades as inspect-ai maps them, each sample's epochs averaged.
    to_float = value_to_float()
    frames = []
    for name in ("ember-1", "ember-2"):
        rows = []
        for sample in log.read_eval_log(str(tmp_path / "logs" / f"{name}.eval")).samples:
            values = {"id": sample.id}
            for scorer, score in sample.scores.items():
                if isinstance(score.value, dict):
                    values.update({f"{scorer}/{key}": to_float(value) for key, value in score.value.items()})
                else:
                    values[scorer] = to_float(score.value)
            rows.append(values)
        frames.append(pd.DataFrame(rows).groupby("id").mean().reset_index())
    metrics = ["match", "includes", "brevity/exact", "brevity/words"]
    check_report(document, differences(frames, metrics, "id"))
    assert {c["n_clusters"] for c in document["comparisons"]} == {8}
    assert [c["outcome"] for c in document["comparisons"]][-1] == "worse"
    # The committed logs are the script's: the same scores.
    import mirabund

    made, committed = (mirabund.read_table(folder).data.to_native().drop_columns(["model"])
                       for folder in (tmp_path / "logs", EXAMPLES / "data" / "inspect"))
    assert made.equals(committed)


TASK = """\
task: toy_sums
dataset_path: json
dataset_kwargs:
  data_files:
    test: {data}
test_split: test
output_type: multiple_choice
doc_to_text: "{{{{question}}}}"
doc_to_choice: "{{{{choices}}}}"
doc_to_target: "{{{{answer}}}}"
metric_list:
  - metric: acc
    aggregation: mean
    higher_is_better: true
  - metric: acc_norm
    aggregation: mean
    higher_is_better: true
"""


def test_lm_evaluation_harness_samples(tmp_path):
    pytest.importorskip("lm_eval")
    with open(tmp_path / "items.jsonl", "w") as items:
        for i in range(40):
            items.write(json.dumps({"question": f"What is {i} plus {i % 7}?", "answer": 0, "topic": f"t{i % 5}",
                                    "choices": [str(i + i % 7), str(i + i % 7 + 1), str(i - 1)]}) + "\n")
    (tmp_path / "tasks").mkdir()
    (tmp_path / "tasks" / "toy.yaml").write_text(TASK.format(data=tmp_path / "items.jsonl"))
    offline = {**os.environ, "HF_DATASETS_OFFLINE": "1", "HF_HUB_OFFLINE": "1", "HF_HOME": str(tmp_path / "hf")}
    # The dummy model answers at random, from the seed; the two runs at once.
    runs = [subprocess.Popen([sys.executable, "-m", "lm_eval", "--model", "dummy", "--tasks", "toy_sums",
                              "--include_path", tmp_path / "tasks", "--output_path", tmp_path / name, "--log_samples",
                              "--seed", str(seed)], cwd=tmp_path, env=offline, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True) for name, seed in (("m1", 1), ("m2", 2))]
    for harness in runs:
        _, errors = harness.communicate(timeout=300)
        assert harness.returncode == 0, errors[-3000:]
    files = [next((tmp_path / name).rglob("samples_toy_sums_*.jsonl")) for name in ("m1", "m2")]
    run("-m", "mirabund", "report", *files, "--label", "m1", "--label", "m2", "--baseline", "m1", "--candidate",
        "m2", "--cluster-column", "topic", "--resamples", "200", "--seed", "1", "--json", "out.json", cwd=tmp_path)
    document = json.loads((tmp_path / "out.json").read_text())
    frames = [pd.read_json(path, lines=True) for path in files]
    check_report(document, differences(frames, ["acc", "acc_norm"], "doc_id"))
    assert document["directions"] == ["higher", "higher"]
    assert {c["n_clusters"] for c in document["comparisons"]} == {5}


def test_lm_evaluation_harness_files_of_several_tasks_are_one_table(tmp_path):
    """Files shaped as the harness writes them: per model and task, samples and results."""
    import mirabund

    for model in ("m1", "m2"):
        folder = tmp_path / model
        folder.mkdir()
        for task, metric in (("arc", "acc"), ("gsm", "exact_match")):
            stamp = f"2026-01-0{len(task)}T10-00-00.000001"
            with open(folder / f"samples_{task}_{stamp}.jsonl", "w") as samples:
                for doc in range(6):
                    record = {"doc_id": doc, "doc": {"topic": f"t{doc % 3}"}, "filter": "none", "metrics": [metric],
                              metric: float((doc + (model == "m2")) % 2)}
                    samples.write(json.dumps(record) + "\n")
            (folder / f"results_{stamp}.json").write_text(json.dumps(
                {"model_name": model, "higher_is_better": {task: {metric: True}}}))
    table = mirabund.read_table(tmp_path)
    assert table.metrics == ("acc", "exact_match") and len(table) == 24
    assert sorted(set(table.data["item"].to_list()))[:2] == ["arc/0", "arc/1"]
    family = mirabund.compare_metrics(table, baseline="m1", candidate="m2", nan_policy="omit", method="exact",
                                      seed=1)
    assert [(c.n_items, c.n_dropped) for c in family] == [(6, 6), (6, 6)]

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
DATA = EXAMPLES / "data" / "eval_items.csv"


def run(*argv, cwd):
    done = subprocess.run([sys.executable, *map(str, argv)], cwd=cwd, capture_output=True, text=True,
                          timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_generator_reproduces_the_committed_data(tmp_path):
    run(EXAMPLES / "make_dataset.py", "--out", tmp_path / "items.csv", cwd=tmp_path)
    assert (tmp_path / "items.csv").read_bytes() == DATA.read_bytes()


def test_main_command_reports_every_metric_and_draws_the_chart(tmp_path):
    chart = importlib.util.find_spec("matplotlib") is not None
    text = run("-m", "mirabund", "report", DATA, "--baseline", "ember-1", "--candidate", "ember-2",
               "--metrics", "accuracy,helpfulness,faithfulness,coherence", "--cluster-column", "topic",
               "--seed", "7", "--resamples", "2000", *(["--chart", "chart.png"] if chart else []), cwd=tmp_path)
    rows = [line.split()[0] for line in text.splitlines()[4:8]]
    assert rows == ["accuracy", "helpfulness", "faithfulness", "coherence"]
    assert "CR2 standard errors by clusters of 'topic'" in text and "seed 7" in text
    if not chart:
        pytest.skip("matplotlib is not installed")
    assert (tmp_path / "chart.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_bias_script_finds_the_built_in_flaws(tmp_path):
    text = run(EXAMPLES / "evaluate.py", "--data", DATA, cwd=tmp_path)
    for title in ("1. Length bias of the helpfulness judge", "2. Position bias in pairwise judgments"):
        assert f"\n{title}\n{'=' * len(title)}\n" in text
    assert "correlation of score and length: +" in text and "position bias detected: " in text
    assert text == run(EXAMPLES / "evaluate.py", "--data", DATA, cwd=tmp_path)

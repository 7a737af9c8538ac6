import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
DATA = EXAMPLES / "data" / "eval_items.csv"

SECTIONS = (
    "1. Metric means with 95% block bootstrap intervals",
    "2. Candidate vs baseline per metric",
    "3. Length bias of the helpfulness judge",
    "4. Position bias in pairwise judgments",
    "5. Sequential test on per-item accuracy difference",
)


def run(script: str, *args: str, cwd: Path) -> str:
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / script), *args],
        cwd=cwd,
        capture_output=True,
        check=False,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_generator_reproduces_the_committed_data(tmp_path):
    out = tmp_path / "items.csv"
    run("make_dataset.py", "--out", str(out), cwd=tmp_path)
    assert out.read_bytes() == DATA.read_bytes()


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("report")
    return cwd, run("evaluate.py", "--data", str(DATA), cwd=cwd)


def test_report_has_every_section(report):
    _, text = report
    for title in SECTIONS:
        assert f"\n{title}\n{'=' * len(title)}\n" in text
    # The flaws built into the data must show up in the report.
    assert "position bias detected: " in text
    assert "correlation of score and length: +" in text
    assert "stopped after " in text or "never stopped" in text


def test_report_is_deterministic(report, tmp_path):
    _, text = report
    again = run("evaluate.py", "--data", str(DATA), "--no-chart", cwd=tmp_path)
    assert again.split("\nchart: ")[0] == text.split("\nchart: ")[0]
    assert again.endswith("\nchart: not drawn (--no-chart)\n")
    assert not (tmp_path / "report_intervals.png").exists()


def test_chart_lands_in_the_working_directory(report):
    cwd, text = report
    if importlib.util.find_spec("matplotlib") is None:
        assert text.endswith("\nchart: not drawn (matplotlib is not installed)\n")
        pytest.skip("matplotlib is not installed")
    assert text.endswith("\nchart: report_intervals.png\n")
    png = (cwd / "report_intervals.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 1000

import importlib.util
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from reference import UNDER_SANITIZER

GOOD = """# two models, three topics
model,item,topic,accuracy,score
a,q1,t1,1,6.5
b,q1,t1,1,7.0
a,q2,t1,0,5.0
b,q2,t1,1,6.0
a,q3,t2,1,7.0
b,q3,t2,1,7.5
a,q4,t3,0,4.5
b,q4,t3,0,5.5
"""


def mirabund(*args, cwd):
    return subprocess.run([sys.executable, "-m", "mirabund", *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=120, check=False)


def test_report_prints_the_table_and_writes_every_number(tmp_path):
    (tmp_path / "scores.csv").write_text(GOOD)
    done = mirabund("report", "scores.csv", "--baseline", "a", "--candidate", "b", "--cluster-column", "topic",
                    "--seed", "18446744073709551615", "--resamples", "200", "--json", "out.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "seed 18446744073709551615" in done.stdout
    lines = done.stdout.splitlines()
    assert any(line.startswith("accuracy ") for line in lines) and any(line.startswith("score ") for line in lines)
    document = json.loads((tmp_path / "out.json").read_text())
    assert document["seed"] == 2**64 - 1 and document["correction"] == "benjamini-hochberg"
    score = document["comparisons"][1]
    assert (score["metric"], score["difference"], score["n_clusters"]) == ("score", 0.75, 3)
    assert score["candidate_interval"]["mean"] == 6.5 and score["p_adjusted"] >= score["p_value"]


@pytest.mark.parametrize("content, args, message", [
    (None, [], "missing.csv: cannot read the file: No such file or directory"),
    ("", [], "scores.csv: no header row: the file is empty"),
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,1"), [], "scores.csv, row 8: 4 fields, but the header has 5"),
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,yes,7.5"), [], "scores.csv, row 8, column 'accuracy': 'yes' is not a number"),
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,,7.5").replace("a,q3,t2,1,7.0", "a,q3,t2,NA,7.0"), ["--metrics", "accuracy"],
     "scores.csv, row 7, column 'accuracy': 2 missing values for the compared models, the first here; "
     "pass --nan-policy omit to drop such items"),
    (GOOD.replace("a,q1,t1", "a,q1,").replace("b,q1,t1", "b,q1,"), [],
     "scores.csv, row 3, column 'topic': 2 missing cluster labels for the compared models, the first here"),
    (GOOD.replace("b,q3,t2", "b,q3,t9"), [], "scores.csv, row 8, column 'topic': item 'q3' is in cluster 't2'"),
    (GOOD.replace("b,q4", "b,q1"), [], "scores.csv, row 10, column 'item': a second row for model 'b' and item 'q1'"),
    (GOOD, ["--candidate", "c"], "scores.csv, column 'model': no rows for the candidate model 'c'"),
    (GOOD.replace(",t2,", ",t1,").replace(",t3,", ",t1,"), ["--metrics", "score"],
     "scores.csv, column 'score': items from at least 2 clusters are needed, got 1"),
    (GOOD, ["--metrics", "accuracy,speed"], "scores.csv, column 'speed': no such column (given as --metrics)"),
    (GOOD, ["--seed", "-3"], "argument --seed: must be an integer in [0, 2**64), got -3"),
    (GOOD, ["--resamples", "many"], "argument --resamples: invalid value: 'many'"),
    (GOOD, ["--chart", "no-such-dir/chart.png"], "no-such-dir/chart.png: cannot write the file"),
    (GOOD, ["--chart", "noext"], "noext: the chart's format comes from the file's suffix, one of "),
    (GOOD, ["--json", "."], ".: cannot write the file: it is a folder"),
    (GOOD, ["--resamples", str(10**20)], f"argument --resamples: must be an integer >= 1 and <= {2**64 - 1}, got"),
    # Cells are numbers by one strict rule; quotes in messages are bounded.
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,1,7_500"), [], "scores.csv, row 8, column 'score': '7_500' is not a number"),
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,1,\uff17"), [], "scores.csv, row 8, column 'score': '\uff17' is not a number"),
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,1,\u0667"), [], "scores.csv, row 8, column 'score': '\u0667' is not a number"),
    (GOOD.replace("b,q3,t2,1,7.5", "b,q3,t2,1,inf"), [], "scores.csv, row 8, column 'score': 'inf' is not a finite number"),
    (GOOD.replace("model,item", 'model,"item') + "x" * 5000, [], "scores.csv: cannot read the file as delimited text"),
    (GOOD, ["--candidate", "a"], "scores.csv: candidate must name a model other than the baseline, got 'a' for both"),
    (GOOD, ["--json", "scores.csv"], "scores.csv: --json would overwrite an input file"),
    (GOOD, ["--json", "out.png", "--chart", "out.png"], "out.png: --json and --chart name the same file"),
    (GOOD, ["--lower-is-better", "speed"], "scores.csv, column 'speed': 'speed' is not a metric (given as "
     "--higher-is-better/--lower-is-better); metrics: 'accuracy', 'score'"),
    # Storage beyond any address space: refused before any allocation, also under the sanitizers.
    (GOOD, ["--resamples", str(2**62), "--method", "percentile"], "scores.csv: not enough memory for this call; try fewer --resamples"),
])
def test_bad_files_and_arguments_get_one_line_and_status_2(tmp_path, content, args, message):
    if content is not None:
        (tmp_path / "scores.csv").write_text(content)
    name = "scores.csv" if content is not None else "missing.csv"
    if "--chart" in args:
        pytest.importorskip("matplotlib")
    if UNDER_SANITIZER:
        # After a pyarrow parse error the process can abort at exit under the
        # sanitizer's preloaded runtime, in pyarrow's code, not ours; these
        # checks of files and arguments are pure Python and run in the other passes.
        pytest.skip("pyarrow's error paths under the sanitizer runtime")
    argv = ["report", name, "--baseline", "a", "--candidate", "b", "--cluster-column", "topic", *args]
    if "--candidate" in args:
        argv[4:6] = []
    done = mirabund(*argv, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    assert message in done.stderr and len(done.stderr) < 400


def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path):
    (tmp_path / "scores.csv").write_text(GOOD)
    run = subprocess.Popen([sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "a",
                            "--candidate", "b", "--resamples", "100"],
                           cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    run.stdout.close()  # before the report is printed, as `| head` does after its lines
    _, errors = run.communicate(timeout=120)
    assert (run.returncode, errors) == (141, "")


def pandas_table():
    """Two models on 40 items in 8 topics; fold and label are properties of the items."""
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    items = [f"q{i:02d}" for i in range(40)]
    frame = pd.DataFrame({
        "model": ["m1"] * 40 + ["m2"] * 40,
        "item": items * 2,
        "topic": [f"t{i % 8}" for i in range(40)] * 2,
        "fold": [i % 5 for i in range(40)] * 2,
        "label": [i % 3 for i in range(40)] * 2,
        "passed": rng.random(80) < np.repeat([0.55, 0.75], 40),
        "log_loss": np.round(rng.gamma(2.0, np.repeat([0.35, 0.25], 40)), 6),
    })
    return frame.sample(frac=1.0, random_state=4).reset_index(drop=True)


def report_lines(done):
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()[1:]  # past the line naming the files


def test_every_format_gives_the_same_report(tmp_path):
    frame = pandas_table()
    frame.to_csv(tmp_path / "scores.csv")  # with pandas' unnamed index column, True/False cells
    frame.to_csv(tmp_path / "scores.tsv", sep="\t", index=False)
    frame.to_json(tmp_path / "scores.jsonl", orient="records", lines=True)
    frame.to_csv(tmp_path / "scores.txt", sep=";", index=False)
    names = ["scores.csv", "scores.tsv", "scores.jsonl", "scores.txt"]
    if importlib.util.find_spec("pyarrow") is not None:
        frame.to_parquet(tmp_path / "scores.parquet")
        names.append("scores.parquet")
    args = ["--baseline", "m1", "--candidate", "m2", "--cluster-column", "topic", "--lower-is-better", "log_loss",
            "--seed", "5", "--resamples", "300"]
    reports = {name: report_lines(mirabund("report", name, *args, cwd=tmp_path)) for name in names}
    done = subprocess.run([sys.executable, "-m", "mirabund", "report", "-", *args], cwd=tmp_path, text=True,
                          input=(tmp_path / "scores.csv").read_text(), capture_output=True, timeout=120, check=False)
    reports["-"] = report_lines(done)
    first = reports["scores.csv"]
    assert all(report == first for report in reports.values()), reports
    text = "\n".join(first)
    assert "left out as properties of the items (equal for both models on every item): fold, label" in text
    rows = {line.split()[0]: line for line in first if line.startswith(("passed", "log_loss"))}
    assert set(rows) == {"passed", "log_loss"} and " lower " in rows["log_loss"]
    # The same numbers as the library on the frame itself.
    import mirabund as package
    family = package.compare_metrics(frame, baseline="m1", candidate="m2", cluster_column="topic",
                                     direction={"log_loss": "lower"}, seed=5, n_resamples=300)
    assert family.metrics == ("passed", "log_loss") and family.item_properties == ("fold", "label")
    assert f"{family['log_loss'].difference:+.4f}" in rows["log_loss"]


@pytest.mark.parametrize("direction, outcome", [("--higher-is-better", "better"), ("--lower-is-better", "worse")])
def test_a_significant_change_is_a_gain_only_in_the_metrics_direction(tmp_path, direction, outcome):
    rows = ["model,item,cost"] + [f"a,q{i},{i % 3}" for i in range(30)] + [f"b,q{i},{i % 3 + 1}.5" for i in range(30)]
    (tmp_path / "costs.csv").write_text("\n".join(rows) + "\n")
    done = mirabund("report", "costs.csv", "--baseline", "a", "--candidate", "b", direction, "cost", "--seed", "1",
                    "--resamples", "200", "--json", "out.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert json.loads((tmp_path / "out.json").read_text())["comparisons"][0]["outcome"] == outcome
    assert next(line for line in done.stdout.splitlines() if line.startswith("cost")).endswith(f"{outcome} *")


def test_json_to_standard_output_sends_the_report_to_standard_error(tmp_path):
    (tmp_path / "scores.csv").write_text(GOOD)
    done = mirabund("report", "scores.csv", "--baseline", "a", "--candidate", "b", "--seed", "2", "--resamples",
                    "100", "--json", "-", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["seed"] == 2 and "b (candidate) vs a (baseline)" in done.stderr
    assert not (tmp_path / "-").exists()


def test_concurrent_runs_leave_whole_json_and_readers_never_see_part_of_it(tmp_path):
    (tmp_path / "scores.csv").write_text(pandas_table().to_csv(index=False))
    argv = [sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "m1", "--candidate", "m2",
            "--resamples", "3000", "--json", "out.json"]
    runs = [subprocess.Popen([*argv, "--seed", str(seed)], cwd=tmp_path, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE) for seed in (1, 2)]
    seen = 0
    while any(run.poll() is None for run in runs):
        if (tmp_path / "out.json").exists():
            json.loads((tmp_path / "out.json").read_text())  # never a part of a file
            seen += 1
    assert [run.wait(timeout=120) for run in runs] == [0, 0]
    assert json.loads((tmp_path / "out.json").read_text())["seed"] in (1, 2)
    assert [path.name for path in tmp_path.iterdir() if path.name.startswith(".out.json")] == []


def test_outputs_are_written_though_the_reader_of_the_report_has_gone(tmp_path):
    (tmp_path / "scores.csv").write_text(GOOD)
    run = subprocess.Popen([sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "a",
                            "--candidate", "b", "--resamples", "100", "--json", "out.json"],
                           cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    run.stdout.close()
    _, errors = run.communicate(timeout=120)
    assert (run.returncode, errors) == (141, "")
    assert json.loads((tmp_path / "out.json").read_text())["baseline"] == "a"


def test_an_unwritable_standard_output_gets_one_line(tmp_path):
    if not Path("/dev/full").exists():
        pytest.skip("no /dev/full")
    (tmp_path / "scores.csv").write_text(GOOD)
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "a",
                               "--candidate", "b", "--resamples", "100"], cwd=tmp_path, stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=120, check=False)
    assert done.returncode == 2 and done.stderr == "mirabund: error: cannot write the report: No space left on device\n"


def test_ctrl_c_while_the_package_loads_gets_one_line(tmp_path):
    (tmp_path / "scores.csv").write_text(GOOD)
    run = subprocess.Popen([sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "a",
                            "--candidate", "b"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True)
    # Within the loading of numpy and pyarrow, past the interpreter's own start
    # (slow under the sanitizer): as soon as numpy's first library is mapped.
    maps = Path(f"/proc/{run.pid}/maps")
    if not maps.exists():
        run.kill()
        pytest.skip("no /proc to see the loading of numpy")
    def loading():
        try:
            return "numpy" in maps.read_text(errors="replace")
        except OSError:  # the process has ended
            return True

    while run.poll() is None and not loading():
        time.sleep(0.001)
    run.send_signal(signal.SIGINT)
    _, errors = run.communicate(timeout=120)
    assert (run.returncode, errors) == (130, "mirabund: interrupted\n")


def test_a_memory_error_without_a_message_still_says_what_happened(tmp_path, monkeypatch, capsys):
    from mirabund import _cli, _metrics

    def exhausted(*args, **kwargs):
        raise MemoryError()

    monkeypatch.setattr(_metrics, "compare_family", exhausted)
    (tmp_path / "scores.csv").write_text(GOOD)
    assert _cli.main(["report", str(tmp_path / "scores.csv"), "--baseline", "a", "--candidate", "b"]) == 2
    assert capsys.readouterr().err == f"mirabund: {tmp_path / 'scores.csv'}: not enough memory; try fewer --resamples\n"


def test_header_checks_take_linear_time(tmp_path):
    names = ["model", "item", *(f"c{i}" for i in range(100_000)), "c99999"]
    (tmp_path / "wide.csv").write_text(",".join(names) + "\n" + ",".join(["a", "q"] + ["1"] * 100_001) + "\n")
    started = time.monotonic()
    done = mirabund("report", "wide.csv", "--baseline", "a", "--candidate", "b", cwd=tmp_path)
    assert "column 'c99999' appears 2 times in the header" in done.stderr
    assert time.monotonic() - started < 60  # quadratic checks took minutes


def test_labels_are_drawn_as_written(tmp_path):
    pytest.importorskip("matplotlib")
    (tmp_path / "scores.csv").write_text(GOOD.replace("\na,", "\n$\\foo$,").replace("\nb,", "\n$x_1,"))
    done = mirabund("report", "scores.csv", "--baseline", "$\\foo$", "--candidate", "$x_1", "--resamples", "100",
                    "--chart", "chart.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "chart.png").read_bytes().startswith(b"\x89PNG")


def test_help_documents_every_format_and_version_prints_the_version(tmp_path):
    text = mirabund("report", "--help", cwd=tmp_path).stdout
    for name in ("CSV, TSV", "JSON lines", "Parquet", "inspect-ai", "lm-eval", "standard input", "--label",
                 "--higher-is-better", "--lower-is-better"):
        assert name in text
    import mirabund as package
    assert mirabund("--version", cwd=tmp_path).stdout == f"mirabund {package.__version__}\n"


def test_a_table_of_more_than_two_models_gets_a_leaderboard_per_metric(tmp_path):
    third = "\n".join(line.replace("b,", "c,", 1) for line in GOOD.splitlines() if line.startswith("b,"))
    (tmp_path / "scores.csv").write_text(GOOD + third + "\n")
    done = mirabund("report", "scores.csv", "--cluster-column", "topic", "--seed", "1", "--json", "out.json",
                    cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "accuracy: 3 models on 4 items in 3 clusters" in done.stdout and "pairs adjusted by holm" in done.stdout
    boards = json.loads((tmp_path / "out.json").read_text())["leaderboards"]
    assert [board["metric"] for board in boards] == ["accuracy", "score"]
    assert sorted(model["model"] for model in boards[0]["models"]) == ["a", "b", "c"]
    # Two of them by name compare as two.
    done = mirabund("report", "scores.csv", "--baseline", "a", "--candidate", "b", cwd=tmp_path)
    assert done.returncode == 0 and "b (candidate) vs a (baseline)" in done.stdout


def test_progress_bar_only_on_a_terminal_and_only_after_its_delay():
    import io
    import time

    from mirabund import _progress

    class Terminal(io.StringIO):
        def isatty(self) -> bool:
            return True

    def drawn(stream: io.StringIO, delay: float) -> str:
        with _progress.bar(stream, delay=delay):
            _progress.expect(2)
            for metric in ("accuracy", "score"):
                _progress.step(metric)
                time.sleep(0.15)
        return stream.getvalue()

    shown = drawn(Terminal(), 0.0)
    assert "score" in shown and "2/2" not in shown  # the last step is running, not done
    assert drawn(Terminal(), 5.0) == ""  # a run shorter than the delay
    assert drawn(io.StringIO(), 0.0) == ""  # a pipe or a file

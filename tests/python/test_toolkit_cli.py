import json
import subprocess
import sys

import pytest

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
    (GOOD, ["--metrics", "accuracy,speed"], "scores.csv, column 'speed': no such column (given in --metrics)"),
    (GOOD, ["--seed", "-3"], "scores.csv: --seed must be None or an integer in [0, 2**64), got -3"),
    (GOOD, ["--resamples", "many"], "argument --resamples: invalid int value: 'many'"),
    (GOOD, ["--chart", "no-such-dir/chart.png"], "no-such-dir/chart.png: cannot write the file"),
    (GOOD, ["--chart", "noext"], "noext: the chart's format comes from the file's suffix, one of "),
    (GOOD, ["--json", "."], ".: cannot write the file: it is a directory"),
    (GOOD, ["--resamples", str(10**20)], f"scores.csv: --resamples must be an integer >= 1 and <= {2**64 - 1}, got"),
    # Storage beyond any address space: refused before any allocation, also under the sanitizers.
    (GOOD, ["--resamples", str(2**62), "--method", "percentile"], "scores.csv: not enough memory for this call; try fewer --resamples"),
])
def test_bad_files_and_arguments_get_one_line_and_status_2(tmp_path, content, args, message):
    if content is not None:
        (tmp_path / "scores.csv").write_text(content)
    name = "scores.csv" if content is not None else "missing.csv"
    if "--chart" in args:
        pytest.importorskip("matplotlib")
    argv = ["report", name, "--baseline", "a", "--candidate", "b", "--cluster-column", "topic", *args]
    if "--candidate" in args:
        argv[4:6] = []
    done = mirabund(*argv, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr, done.stderr
    assert message in done.stderr


def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path):
    (tmp_path / "scores.csv").write_text(GOOD)
    run = subprocess.Popen([sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "a",
                            "--candidate", "b", "--resamples", "100"],
                           cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    run.stdout.close()  # before the report is printed, as `| head` does after its lines
    _, errors = run.communicate(timeout=120)
    assert (run.returncode, errors) == (141, "")

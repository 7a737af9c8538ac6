#!/usr/bin/env python3
"""Times ``mirabund report`` on a 10-million-row Parquet file against DuckDB alone.

    python bench/scale.py            # prints the figures to standard output
    python bench/scale.py --items 500000   # a smaller file, for a quick look

The file: 2 models x 5 million items, 3 metrics (a 0/1 one, a score, a
latency), 2 000 topics, in a temporary folder. The report is run as a
separate process (``mirabund report FILE --baseline a --candidate b
--cluster-column topic``); its peer is DuckDB alone, in another process,
computing each topic's count and sums of the paired differences of the three
metrics from the same file: the least any comparison of the two models by
topic has to do. Printed: each one's best wall time of two runs, their
ratio (goal: at most 3), and the report's peak resident memory (goal:
under 1.5 GB).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOPICS = 2_000
PEER = """
import sys, duckdb
file = sys.argv[1]
duckdb.sql(f'''
    SELECT b.topic, count(*), sum(c.passed - b.passed), sum(c.score - b.score), sum(c.latency - b.latency)
    FROM read_parquet('{file}') b JOIN read_parquet('{file}') c ON b.item = c.item
    WHERE b.model = 'a' AND c.model = 'b' GROUP BY b.topic
''').fetchall()
"""


def make_file(path: Path, n_items: int) -> None:
    """Both models' rows, the candidate a little better on each metric, topics of uneven size."""
    import duckdb

    duckdb.sql(f"""
        COPY (
            WITH items AS (
                SELECT i AS item, CAST(floor(pow(random(), 1.5) * {TOPICS}) AS INTEGER) AS topic,
                       random() AS ease FROM range({n_items}) t(i))
            SELECT m.model, item, 'topic-' || topic AS topic,
                   CAST(random() < ease + m.shift AS DOUBLE) AS passed,
                   ease + m.shift + 0.3 * random() AS score,
                   200.0 + 50.0 * random() - 100.0 * m.shift AS latency
            FROM items, (VALUES ('a', 0.0), ('b', 0.02)) m(model, shift)
        ) TO '{path}' (FORMAT parquet)
    """)


def timed(command: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident bytes of a child process, which must succeed."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    out, err = child.communicate()
    if status != 0:
        sys.exit(f"failed: {' '.join(command)}\n{err.decode()}")
    return elapsed, usage.ru_maxrss * 1024


def main() -> None:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--items", type=int, default=5_000_000, help="items per model (default 5 000 000)")
    options.add_argument("--runs", type=int, default=2, help="runs of each, the best kept (default 2)")
    args = options.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "scores.parquet"
        start = time.perf_counter()
        make_file(path, args.items)
        print(f"file: {2 * args.items:,} rows, 3 metrics, {TOPICS:,} topics, "
              f"{path.stat().st_size / 2**20:.0f} MiB of Parquet, made in {time.perf_counter() - start:.1f} s")
        report = [sys.executable, "-m", "mirabund", "report", str(path), "--baseline", "a", "--candidate", "b",
                  "--cluster-column", "topic", "--seed", "1"]
        peer = [sys.executable, "-c", PEER, str(path)]
        peer_runs = [timed(peer) for _ in range(args.runs)]
        report_runs = [timed(report) for _ in range(args.runs)]
    peer_time = min(t for t, _ in peer_runs)
    report_time = min(t for t, _ in report_runs)
    peak = max(m for _, m in report_runs)
    print(f"DuckDB alone (per-topic sums of paired differences): {peer_time:.2f} s, "
          f"peak {max(m for _, m in peer_runs) / 2**30:.2f} GiB")
    print(f"mirabund report --cluster-column topic:              {report_time:.2f} s, peak {peak / 2**30:.2f} GiB")
    print(f"ratio report / DuckDB alone: {report_time / peer_time:.2f} (goal <= 3); "
          f"report peak memory {peak / 1e9:.2f} GB (goal < 1.5 GB)")


if __name__ == "__main__":
    main()

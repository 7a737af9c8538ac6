"""How ``mirabund report`` answers a Ctrl-C at each moment of its start.

Starts the command on a small table, sends SIGINT after a delay, and counts
the runs that end as promised: status 130 and the one line
``mirabund: interrupted``, or, when the signal comes after the work, the
report with status 0 or an end by the signal itself during the
interpreter's exit (status -2, the report already complete); never a
traceback. Delays span the interpreter's own start (before any of the
package's code runs, where a traceback is the interpreter's), the loading
of numpy and pyarrow, and the work.

    python validation/cli_interrupts.py [--runs 20]
"""

from __future__ import annotations

import argparse
import math
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TABLE = "model,item,score\n" + "".join(f"{m},q{i},{(i * 7 + ord(m)) % 10 / 10}\n" for m in "ab" for i in range(200))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="runs per delay")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "scores.csv").write_text(TABLE)
        print(f"{'delay':>8}  {'clean':>6}  (MC s.e.)  status 130   status 0, -2  tracebacks")
        for delay in (0.005, 0.02, 0.05, 0.1, 0.15, 0.2, 0.3, 0.5):
            clean = interrupted = after = tracebacks = 0
            for _ in range(args.runs):
                run = subprocess.Popen([sys.executable, "-m", "mirabund", "report", "scores.csv", "--baseline", "a",
                                        "--candidate", "b", "--resamples", "20000"], cwd=folder,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                time.sleep(delay)
                run.send_signal(signal.SIGINT)
                _, errors = run.communicate(timeout=120)
                tracebacks += "Traceback" in errors
                interrupted += run.returncode == 130
                after += (run.returncode, errors) in ((0, ""), (-signal.SIGINT, ""))
                clean += (run.returncode, errors) in ((130, "mirabund: interrupted\n"), (0, ""), (-signal.SIGINT, ""))
            share = clean / args.runs
            error = math.sqrt(share * (1 - share) / args.runs)
            print(f"{delay * 1000:6.0f}ms  {share:6.1%}  ({error:6.1%})  {interrupted:>10}  {after:>14}  {tracebacks:>10}")


if __name__ == "__main__":
    main()

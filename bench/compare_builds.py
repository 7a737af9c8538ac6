#!/usr/bin/env python3
"""Times the module's own benchmark cases in two builds, to show what a change costs.

    python bench/compare_builds.py BASELINE_DIR CANDIDATE_DIR [--rounds N]
    python bench/compare_builds.py BASELINE_DIR CANDIDATE_DIR --instructions

Each folder holds a built _mirabund_core (a CMake build folder, say). Rounds
alternate between the two builds, each round in a fresh process, so that
load from other processes falls on both alike. A case's time is the median
CPU time of one call over all its repeats in all rounds. With
--instructions, the instructions executed inside the module's entry points
during one call of each case are counted instead, under valgrind's
callgrind: blind to the load of a shared machine, though what CPython's
allocator and a Python statistic do depends a little on the state of the
heap. Prints a markdown table:
both figures and the candidate's relative to the baseline's. The cases are
those of bench/run.py, ours only.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time


def cases():
    """(name, call, repeats) for every case, on fixed data."""
    import numpy as np

    import _mirabund_core as mc

    rng = np.random.default_rng(1)
    small = rng.normal(0.0, 1.0, 100).tolist()
    large = rng.normal(0.0, 1.0, 10_000).tolist()
    p = np.where(rng.random(1_000_000) < 0.1, rng.random(1_000_000) * 1e-4, rng.random(1_000_000))
    pl = p.tolist()
    a, b = rng.normal(0.0, 1.0, 1_000_000), rng.normal(0.1, 1.0, 1_000_000)
    al, bl = a.tolist(), b.tolist()
    lengths = rng.uniform(50.0, 500.0, 1_000_000)

    class IterOnly:
        def __init__(self, values):
            self.values = values

        def __len__(self):
            return len(self.values)

        def __getitem__(self, i):
            raise IndexError

        def __iter__(self):
            return iter(self.values)

    def updates():
        test = mc.SequentialTest(0.05, 0.5)
        for x in small * 100:
            test.update(x)

    def read_lists(result):
        return result.adjusted_p_values, result.rejected

    def fmean(values):
        return sum(values) / len(values)

    bh, bonferroni = mc.CorrectionMethod.BenjaminiHochberg, mc.CorrectionMethod.Bonferroni
    return [
        ("block_bootstrap_mean n=100 block=10", lambda: mc.block_bootstrap_mean(small, 10, 10_000, 0.95, seed=1), 30),
        ("block_bootstrap_mean n=10000 block=1", lambda: mc.block_bootstrap_mean(large, 1, 10_000, 0.95, seed=1), 3),
        ("block_bootstrap_mean n=10000 block=10", lambda: mc.block_bootstrap_mean(large, 10, 10_000, 0.95, seed=1), 5),
        ("block_bootstrap_mean n=10000 block=100",
         lambda: mc.block_bootstrap_mean(large, 100, 10_000, 0.95, seed=1), 5),
        ("block_bootstrap (Python mean) n=100", lambda: mc.block_bootstrap(small, 10, 1_000, 0.95, fmean, seed=1), 20),
        ("correct_p_values BH m=1e6, list", lambda: mc.correct_p_values(pl, 0.05, bh), 7),
        ("correct_p_values BH m=1e6, ndarray", lambda: mc.correct_p_values(p, 0.05, bh), 7),
        ("correct_p_values BH m=1e6, list, both result lists read", lambda: read_lists(mc.correct_p_values(pl, 0.05, bh)),
         7),
        ("correct_p_values Bonferroni m=1e6, list", lambda: mc.correct_p_values(pl, 0.05, bonferroni), 15),
        ("correct_p_values Bonferroni m=1e6, ndarray", lambda: mc.correct_p_values(p, 0.05, bonferroni), 15),
        ("cohens_d n=1e6, ndarray", lambda: mc.cohens_d(a, b), 15),
        ("cohens_d n=1e6, list", lambda: mc.cohens_d(al, bl), 15),
        ("cohens_d n=1e6, iteration only", lambda: mc.cohens_d(IterOnly(a), IterOnly(b)), 5),
        ("length_bias_correction n=1e6, ndarray", lambda: mc.length_bias_correction(a, lengths), 15),
        ("SequentialTest.update x 10 000", updates, 30),
    ]


def worker() -> None:
    times = {}
    for name, call, repeats in cases():
        call()  # warm-up
        samples = []
        for _ in range(repeats):
            start = time.process_time()
            call()
            samples.append(time.process_time() - start)
        times[name] = samples
    json.dump(times, sys.stdout)


def one_case(name: str, calls: int) -> None:
    for case, call, _ in cases():
        if case == name:
            for _ in range(calls):
                call()


# The functions the interpreter calls: module functions, methods and property getters.
ENTRY = re.compile(r"^\s*([\d,]+) .*mirabund_py::(?:(?:function|method)_entry<.*>\(_object\*, _object\* const\*, long, "
                   r"_object\*\)|detail::property_get<.*>\(_object\*, void\*\)) \[")


def instructions(folder: str, name: str) -> int:
    """Instructions executed inside the module's entry points during one call of the case: their
    inclusive cost in a callgrind profile of the whole run."""
    env = dict(os.environ, PYTHONPATH=folder)
    with tempfile.TemporaryDirectory() as work:
        profile = os.path.join(work, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}", sys.executable, __file__,
                        "--case", name, "1"], env=env, check=True, capture_output=True)
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", profile], check=True,
                                capture_output=True, text=True).stdout
    return sum(int(match.group(1).replace(",", "")) for match in map(ENTRY.match, report.splitlines()) if match)


def compare_instructions(builds: dict[str, str]) -> None:
    print("| case | baseline (instructions) | candidate | candidate / baseline |\n|---|---|---|---|")
    for name, _, _ in cases():
        print(f"counting {name}", file=sys.stderr)
        base, new = (instructions(folder, name) for folder in builds.values())
        print(f"| {name} | {base:,} | {new:,} | {new / base:.4f} |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("baseline")
    parser.add_argument("candidate")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--instructions", action="store_true")
    args = parser.parse_args()
    builds = {"baseline": os.path.abspath(args.baseline), "candidate": os.path.abspath(args.candidate)}
    if args.instructions:
        compare_instructions(builds)
        return 0
    samples: dict[str, dict[str, list[float]]] = {label: {} for label in builds}
    for round_number in range(args.rounds):
        for label, folder in builds.items():
            print(f"round {round_number + 1}/{args.rounds}: {label}", file=sys.stderr)
            env = dict(os.environ, PYTHONPATH=folder)
            out = subprocess.run([sys.executable, __file__, "--worker"], env=env, check=True,
                                 capture_output=True, text=True).stdout
            for name, times in json.loads(out).items():
                samples[label].setdefault(name, []).extend(times)
    print(f"| case | baseline | candidate | candidate / baseline |\n|---|---|---|---|")
    for name, base_times in samples["baseline"].items():
        base = statistics.median(base_times)
        new = statistics.median(samples["candidate"][name])
        print(f"| {name} | {base * 1e3:.3f} ms | {new * 1e3:.3f} ms | {new / base:.4f} |")
    return 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    elif sys.argv[1:2] == ["--case"]:
        one_case(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(main())

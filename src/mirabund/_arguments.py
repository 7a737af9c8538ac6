"""The command line's arguments: the parser of ``mirabund``, its options
checked by the library's own checks under the options' names, and the help
that documents every format. Imported by ``main`` once it can answer a
Ctrl-C."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn

from ._checks import check_fraction, check_int
from ._cli import UsageError
from ._inference import Method

__all__ = ["FORMATS_HELP", "parser"]


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: error: {message} (see --help)")


FORMATS_HELP = """\
formats (from --format, else the suffix, else the first bytes; several files are one table):
  CSV, TSV    .csv .tsv .txt: a header row, any of the delimiters , tab ; | (found from
              the text); leading '#' lines skipped; a first column without a name (the
              index pandas' to_csv writes) is left out
  JSON lines  .jsonl .ndjson: one object per row
  Parquet     .parquet .pq
  inspect-ai  .eval, or .json logs, or a folder of them: the item is the sample id, the
              model the eval's model, each scorer a metric (scorer/value where a scorer
              gives several), grades C/P/I/N as inspect-ai maps them, epochs averaged;
              sample metadata keys are columns (--cluster-column topic)
  lm-eval     samples_*.jsonl from --log_samples, or a folder of them: the item is
              doc_id, the metrics the per-document metric fields, the model from the
              results_*.json beside the file or from --label; document fields are columns
  -           standard input, in any of the formats above but the folders
  harness logs of several tasks are one table, items named task/item (the column 'task');
  a metric one task lacks is missing on the others' items (--nan-policy omit)

cells: a number is written in plain ASCII digits as Python's float reads it (not 1_000);
True/False are 1/0; empty, NA, N/A, NaN, null and None are missing, in every column.
By default the metrics are the numeric columns other than the model, item and cluster
columns that differ between the two models on some item; a column equal for both models
on every item is a property of the items, and the report says it was left out.

exit status: 0 done, 2 a bad file or argument, 130 interrupted, 141 output closed.
"""


def _checked(option: str, convert: Callable[[str], Any], check: Callable[[str, Any], Any]) -> Callable[[str], Any]:
    """An argparse type: the text converted, then checked by the library's own check under the option's name."""

    def read(text: str) -> Any:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid value: {text!r}") from None
        try:
            return check(option, value)
        except (TypeError, ValueError) as error:
            raise argparse.ArgumentTypeError(str(error).removeprefix(f"{option} ")) from None

    return read


def _names(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected column names separated by commas, got {text!r}")
    return names


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("mirabund")
    except PackageNotFoundError:
        return "0+unknown"


def parser() -> argparse.ArgumentParser:
    """The parser of the command line's arguments."""

    def seed(option: str, value: int) -> int:
        return check_int(option, value, minimum=0, maximum=2**64 - 1, expected="an integer in [0, 2**64)")

    parser = _Parser(prog="mirabund", description="Statistics for evaluating the outputs of language models.")
    parser.add_argument("--version", action="version", version=f"mirabund {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    report = commands.add_parser(
        "report",
        help="compare two models on every metric of a table or of harness logs",
        description=(
            "Compare a candidate model with a baseline on the same items, metric by metric: each model's mean, "
            "the paired difference with its interval, standard error, p-value (adjusted across the metrics), "
            "effect size d_z, and whether the candidate is significantly better or worse in each metric's "
            "direction, with intervals and p-values that keep their level with few clusters or items (--method). "
            "The input is a long table (one row per model and item, one column per metric) or the logs of an "
            "evaluation harness."
        ),
        epilog=FORMATS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    report.add_argument("files", nargs="+", metavar="FILE",
                        help="the scores: files or folders in any format below, '-' for standard input")
    report.add_argument("--baseline", metavar="NAME", help="the baseline model, as named in the model column")
    report.add_argument("--candidate", metavar="NAME",
                        help="the candidate model; without it, a table of more than two models (or --models) gets "
                             "a leaderboard per metric")
    report.add_argument("--models", type=_names, metavar="A,B,...",
                        help="compare these models, every pair (or each against --baseline): a leaderboard per "
                             "metric with rank intervals and tiers")
    report.add_argument("--metrics", type=_names, metavar="A,B,...",
                        help="the metric columns, comma-separated (default: a harness's scorers or metrics, else "
                             "every other numeric column that differs between the two models on some item)")
    report.add_argument("--higher-is-better", type=_names, default=[], metavar="A,B,...",
                        help="metrics better when higher (the default for every metric a harness does not mark)")
    report.add_argument("--lower-is-better", type=_names, default=[], metavar="A,B,...",
                        help="metrics better when lower (log-loss, latency, cost)")
    report.add_argument("--model-column", metavar="NAME", help="the column naming the model (default: model)")
    report.add_argument("--item-column", metavar="NAME", help="the column naming the item (default: item)")
    report.add_argument("--cluster-column", metavar="NAME",
                        help="the column naming each item's cluster, e.g. topic: resample whole clusters, "
                             "cluster-robust standard errors")
    report.add_argument("--format", choices=["csv", "tsv", "jsonl", "parquet", "inspect", "lm-eval"],
                        help="the format of every file (default: from each file's suffix or first bytes)")
    report.add_argument("--label", action="append", dest="labels", metavar="NAME",
                        help="the model of a harness log in place of the one it records; once per file, in order")
    report.add_argument("--method", default="auto", choices=[m.value for m in Method],
                        help="how intervals and p-values are computed (default: auto, which is binary for 0/1 "
                             "scores, cr2 with --cluster-column or from 500 items on, bootstrap-t for fewer "
                             "items): cr2 (CR2 standard errors, "
                             "t reference on Bell-McCaffrey degrees of freedom), bootstrap-t (studentized bootstrap), "
                             "binary (Wilson's interval; McNemar's score test with Tango's interval for pairs), "
                             "exact (sign-flip randomization test; McNemar's exact test for 0/1 scores), percentile "
                             "(percentile bootstrap interval, normal p-value)")
    report.add_argument("--block-size", type=_checked("--block-size", int, lambda o, v: check_int(o, v, minimum=1)),
                        default=1, metavar="N",
                        help="with --method percentile and no clusters, the block length of the moving-block "
                             "bootstrap (default: 1)")
    report.add_argument("--resamples", type=_checked("--resamples", int,
                                                     lambda o, v: check_int(o, v, minimum=1, maximum=2**64 - 1)),
                        default=10_000, metavar="N", help="bootstrap resamples (default: 10000)")
    report.add_argument("--threads", type=_checked("--threads", int,
                                                   lambda o, v: check_int(o, v, minimum=1, maximum=2**64 - 1)),
                        metavar="N", help="threads that share the resamples; the results are the same for any "
                                          "number (default: every core)")
    report.add_argument("--confidence-level", type=_checked("--confidence-level", float, check_fraction),
                        default=0.95, metavar="C", help="confidence level of the intervals (default: 0.95)")
    report.add_argument("--seed", type=_checked("--seed", int, seed), metavar="N",
                        help="the seed, in [0, 2**64) (default: drawn from the OS and printed)")
    report.add_argument("--alpha", type=_checked("--alpha", float, check_fraction), default=0.05, metavar="A",
                        help="the family's significance level (default: 0.05)")
    report.add_argument("--correction", choices=["bonferroni", "benjamini-hochberg", "holm"],
                        help="the adjustment of the p-values (default: benjamini-hochberg across metrics; holm "
                             "across the pairs of a leaderboard)")
    report.add_argument("--nan-policy", default="raise", choices=["raise", "omit"],
                        help="refuse (raise) or drop (omit) items with missing scores or one model only (default: raise)")
    report.add_argument("--chart", type=Path, metavar="OUT.png",
                        help="write the interval chart (needs matplotlib; the format follows the suffix)")
    report.add_argument("--json", metavar="OUT.json",
                        help="write every number of the results as JSON; '-' writes it to standard output "
                             "(and the report to standard error)")
    return parser

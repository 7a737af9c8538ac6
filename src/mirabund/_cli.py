"""The command line: ``mirabund report FILE.csv --baseline A --candidate B ...``.

A bad file or argument, or a report too large for memory, ends the run with
one line on stderr (naming the file, row and column where there is one) and
exit status 2, never a traceback; an interrupted run ends with one line and
status 130, and one whose reader has gone (``| head``) quietly with 141.
The CSV is read with the standard library; rows are numbered as in a
spreadsheet, the header being row 1.
"""

from __future__ import annotations

import argparse
import csv
import importlib.util
import json
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, NoReturn

from ._compare import Comparison, MeanInterval
from ._inference import Method
from ._metrics import Correction, MetricComparisons, TableError, compare_family, is_metric

__all__ = ["main"]

# Cells that stand for a missing value, in every column.
MISSING = frozenset({"", "na", "n/a", "nan", "null", "none"})


class UsageError(Exception):
    """A bad argument or file: its message is the one line shown."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: error: {message} (see --help)")


@dataclass(frozen=True, slots=True)
class CsvTable:
    """A CSV file's columns as text, and the file row of each table row."""

    path: Path
    columns: dict[str, list[str]]
    file_rows: list[int]

    def where(self, row: int | None = None, column: str | None = None) -> str:
        parts = [str(self.path)]
        if row is not None:
            parts.append(f"row {self.file_rows[row]}")
        if column is not None:
            parts.append(f"column {column!r}")
        return ", ".join(parts)


def read_csv(path: Path) -> CsvTable:
    """Read a CSV file with a header row; blank lines and leading ``#`` lines are skipped."""
    try:
        with path.open(newline="", encoding="utf-8-sig") as handle:
            lines = list(enumerate(csv.reader(handle), start=1))
    except (OSError, UnicodeDecodeError, csv.Error) as error:
        raise UsageError(f"{path}: cannot read the file: {getattr(error, 'strerror', None) or error}") from None
    records = [(number, fields) for number, fields in lines if fields and any(field.strip() for field in fields)]
    while records and records[0][1][0].lstrip().startswith("#"):
        records.pop(0)
    if not records:
        raise UsageError(f"{path}: no header row: the file is empty")
    header_row, header = records[0]
    names = [name.strip() for name in header]
    for position, name in enumerate(names):
        if not name:
            raise UsageError(f"{path}, row {header_row}: column {position + 1} has no name")
        if name in names[:position]:
            raise UsageError(f"{path}, row {header_row}: column {name!r} appears twice in the header")
    columns: dict[str, list[str]] = {name: [] for name in names}
    file_rows = []
    for number, fields in records[1:]:
        if len(fields) != len(names):
            raise UsageError(f"{path}, row {number}: {len(fields)} fields, but the header has {len(names)}")
        for name, field in zip(names, fields):
            columns[name].append(field.strip())
        file_rows.append(number)
    return CsvTable(path, columns, file_rows)


def read_label(cell: str) -> str | None:
    """A model, item or cluster cell's label: None when it reads as missing, else its text."""
    return None if cell.lower() in MISSING else cell


def read_cell(cell: str) -> float | str | None:
    """Any other cell's value: None when it reads as missing, a float when it reads as a number, else its text."""
    if cell.lower() in MISSING:
        return None
    try:
        return float(cell)
    except ValueError:
        return cell


def check_scores(table: CsvTable, column: str, values: list[float | str | None]) -> None:
    """Refuse, at its row, the first cell of a metric column that is neither a finite number nor missing."""
    for row, value in enumerate(values):
        if isinstance(value, str) or (value is not None and not math.isfinite(value)):
            cell = table.columns[column][row]
            kind = "a number" if isinstance(value, str) else "a finite number"
            raise UsageError(f"{table.where(row, column)}: {cell!r} is not {kind}")


def _parser() -> _Parser:
    parser = _Parser(prog="mirabund", description="Statistics for evaluating the outputs of language models.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    report = commands.add_parser(
        "report",
        help="compare two models on every metric of a CSV file",
        description=(
            "Compare a candidate model with a baseline on the same items, metric by metric: each model's mean, "
            "the paired difference with its interval, standard error, p-value (adjusted across the metrics) and "
            "effect size d_z, with intervals and p-values that keep their level with few clusters or items "
            "(--method). The file is a long table: one row per model and item, one column per metric."
        ),
    )
    report.add_argument("file", type=Path, metavar="FILE.csv", help="the scores: a CSV file with a header row")
    report.add_argument("--baseline", required=True, metavar="NAME", help="the baseline model, as named in the model column")
    report.add_argument("--candidate", required=True, metavar="NAME", help="the candidate model")
    report.add_argument("--metrics", metavar="A,B,...", help="the metric columns, comma-separated (default: every other column that holds a number, or only empty cells)")
    report.add_argument("--model-column", default="model", metavar="NAME", help="the column naming the model (default: model)")
    report.add_argument("--item-column", default="item", metavar="NAME", help="the column naming the item (default: item)")
    report.add_argument("--cluster-column", metavar="NAME",
                        help="the column naming each item's cluster, e.g. topic: resample whole clusters, "
                             "cluster-robust standard errors")
    report.add_argument("--method", default="auto", choices=[m.value for m in Method],
                        help="how intervals and p-values are computed (default: auto, which is cr2 with "
                             "--cluster-column, bootstrap-t without, cr2 for 0/1 scores): cr2 (CR2 standard errors, "
                             "t reference on Bell-McCaffrey degrees of freedom), bootstrap-t (studentized bootstrap), exact "
                             "(sign-flip randomization test; McNemar's exact test for 0/1 scores), percentile "
                             "(percentile bootstrap interval, normal p-value)")
    report.add_argument("--block-size", type=int, default=1, metavar="N",
                        help="with --method percentile and no clusters, the block length of the moving-block "
                             "bootstrap (default: 1)")
    report.add_argument("--resamples", type=int, default=10_000, metavar="N", help="bootstrap resamples (default: 10000)")
    report.add_argument("--confidence-level", type=float, default=0.95, metavar="C",
                        help="confidence level of the intervals (default: 0.95)")
    report.add_argument("--seed", type=int, metavar="N", help="the seed, in [0, 2**64) (default: drawn from the OS and printed)")
    report.add_argument("--alpha", type=float, default=0.05, metavar="A", help="the family's significance level (default: 0.05)")
    report.add_argument("--correction", default="benjamini-hochberg", choices=[c.value for c in Correction],
                        help="the adjustment of the p-values (default: benjamini-hochberg)")
    report.add_argument("--nan-policy", default="raise", choices=["raise", "omit"],
                        help="refuse (raise) or drop (omit) items with missing scores or one model only (default: raise)")
    report.add_argument("--chart", type=Path, metavar="OUT.png", help="write the interval chart (needs matplotlib)")
    report.add_argument("--json", type=Path, metavar="OUT.json", help="write every number of the results as JSON")
    return parser


def _signed(value: float, digits: int) -> str:
    return f"{value:+.{digits}f}"


def format_report(family: MetricComparisons, means: Sequence[tuple[MeanInterval, MeanInterval]],
                  table: CsvTable, cluster_column: str | None) -> str:
    """The report as printed: a header and one line per metric."""
    first = family.comparisons[0]
    level = f"{100 * first.confidence_level:g}%"
    lines = [f"{family.candidate} (candidate) vs {family.baseline} (baseline): {table.path}",
             f"p-values adjusted by {family.correction.value} at alpha {family.alpha:g}, seed {family.seed}", ""]
    with_df = any(c.degrees_of_freedom is not None for c in family.comparisons)
    header = ("metric", "baseline", "candidate", "difference", f"{level} interval", "p", "p adj",
              *(("df",) if with_df else ()), "d_z", "effect", "items", "clusters")
    body = []
    for comparison, (base, cand) in zip(family.comparisons, means):
        mark = " *" if comparison.rejected else ""
        body.append((
            comparison.metric or "",
            f"{base.mean:.4f}",
            f"{cand.mean:.4f}",
            _signed(comparison.difference, 4) + mark,
            f"[{_signed(comparison.ci_lower, 4)}, {_signed(comparison.ci_upper, 4)}]",
            f"{comparison.p_value:.3g}",
            f"{comparison.p_adjusted:.3g}",
            *((_degrees(comparison.degrees_of_freedom),) if with_df else ()),
            _signed(comparison.d_z, 2),
            comparison.magnitude.value,
            str(comparison.n_items) + (f" (-{comparison.n_dropped})" if comparison.n_dropped else ""),
            "-" if comparison.n_clusters is None else str(comparison.n_clusters),
        ))
    widths = [max(len(row[i]) for row in (header, *body)) for i in range(len(header))]
    for row in (header, *body):
        left = (0, header.index("effect"))
        cells = [cell.ljust(width) if i in left else cell.rjust(width) for i, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    lines.append("")
    lines.append(f"* the difference is significant at alpha {family.alpha:g} after adjustment; "
                 "(-N): items dropped for a missing value or a row for one model only")
    by_method: dict[str, list[str]] = {}
    for comparison in family.comparisons:
        by_method.setdefault(describe_method(comparison, cluster_column), []).append(comparison.metric or "")
    for description, metrics in by_method.items():
        which = "" if len(by_method) == 1 else f" ({', '.join(metrics)})"
        lines.append(f"{level} intervals and p-values{which}: {description}")
    lines += [f"warning: {note}" for note in _warnings(family)]
    return "\n".join(lines)


def describe_method(comparison: Comparison, cluster_column: str | None) -> str:
    """How a comparison's interval and p-value were computed, in a phrase."""
    method = comparison.method
    if method is Method.CR2:
        if comparison.n_clusters is None:
            return "paired t-test, t reference on n - 1 degrees of freedom (df)"
        return (f"CR2 standard errors by clusters of {cluster_column!r}, t reference on Bell-McCaffrey degrees "
                f"of freedom (df)")
    if method is Method.BOOTSTRAP_T:
        return f"studentized bootstrap (bootstrap-t), {comparison.n_resamples} resamples of single items"
    if method is Method.EXACT:
        units = f"clusters of {cluster_column!r}" if comparison.n_clusters is not None else "items"
        return (f"exact sign-flip randomization test of the {units} (McNemar's exact test for 0/1 scores), "
                f"interval by inverting it; all sign patterns up to 16 units, else {comparison.n_resamples} drawn")
    if comparison.n_clusters is not None:
        resampling = f"whole clusters of {cluster_column!r} resampled"
    else:
        resampling = f"moving blocks of {comparison.block_size} resampled" if comparison.block_size != 1 \
            else "items resampled"
    return f"percentile bootstrap, {comparison.n_resamples} resamples, {resampling}; normal p-values"


def _degrees(value: float | None) -> str:
    return "-" if value is None else f"{value:.1f}"


def _warnings(family: MetricComparisons) -> list[str]:
    """Each distinct warning once: bare when every metric has it, else naming the metrics."""
    metrics: dict[str, list[str]] = {}
    for comparison in family.comparisons:
        for note in comparison.warnings:
            metrics.setdefault(note, []).append(comparison.metric or "")
    return [note if len(names) == len(family.comparisons) else f"{', '.join(names)}: {note}"
            for note, names in metrics.items()]


def _finite_or_none(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _finite_or_none(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_finite_or_none(item) for item in value]
    return value


def report_json(family: MetricComparisons, means: Sequence[tuple[MeanInterval, MeanInterval]],
                table: CsvTable, cluster_column: str | None) -> dict[str, Any]:
    """Every number of the report, as JSON-ready values (non-finite numbers as null)."""
    document = family.to_dict()
    document["file"] = str(table.path)
    document["cluster_column"] = cluster_column
    for comparison, (base, cand) in zip(document["comparisons"], means):
        comparison["baseline_interval"] = base.to_dict()
        comparison["candidate_interval"] = cand.to_dict()
    return dict(_finite_or_none(document))


def check_outputs(args: argparse.Namespace) -> None:
    """Refuse output paths that cannot be written, before the work of the report."""
    for path in (args.json, args.chart):
        if path is not None and path.is_dir():
            raise UsageError(f"{path}: cannot write the file: it is a directory")
    if args.chart is None:
        return
    if importlib.util.find_spec("matplotlib") is None:
        raise UsageError("mirabund report: error: --chart needs matplotlib: pip install 'mirabund[plot]'")
    from matplotlib.backend_bases import FigureCanvasBase

    formats = FigureCanvasBase.get_supported_filetypes()
    if args.chart.suffix[1:].lower() not in formats:
        known = ", ".join(f".{suffix}" for suffix in sorted(formats))
        raise UsageError(f"{args.chart}: the chart's format comes from the file's suffix, one of {known}")


def run_report(args: argparse.Namespace) -> int:
    check_outputs(args)
    table = read_csv(args.file)
    for option, name in (("--model-column", args.model_column), ("--item-column", args.item_column),
                         ("--cluster-column", args.cluster_column)):
        if name is not None and name not in table.columns:
            raise UsageError(f"{table.where(column=name)}: no such column (given as {option}); "
                             f"columns: {', '.join(table.columns)}")
    keys = {args.model_column, args.item_column, args.cluster_column}
    if args.metrics is not None:
        metrics = [name.strip() for name in args.metrics.split(",")]
        for name in metrics:
            if name not in table.columns:
                raise UsageError(f"{table.where(column=name)}: no such column (given in --metrics); "
                                 f"columns: {', '.join(table.columns)}")
    values = {name: list(map(read_label if name in keys else read_cell, cells)) for name, cells in table.columns.items()}
    if args.metrics is None:
        metrics = [name for name, column in values.items() if name not in keys and is_metric(name, column)]
        if not metrics:
            raise UsageError(f"{table.path}: no metric columns: no column other than the model, item and cluster "
                             "columns holds numbers; name them with --metrics")
    for name in metrics:
        if name not in keys:
            check_scores(table, name, values[name])
    columns = {name: values[name] for name in (*keys, *metrics) if name is not None}
    try:
        family, means = compare_family(
            columns, baseline=args.baseline, candidate=args.candidate, metrics=metrics,
            model_column=args.model_column, item_column=args.item_column, cluster_column=args.cluster_column,
            correction=args.correction, alpha=args.alpha, block_size=args.block_size, n_resamples=args.resamples,
            confidence_level=args.confidence_level, seed=args.seed, nan_policy=args.nan_policy, with_means=True,
            method=args.method,
        )
    except TableError as error:
        detail = error.detail.replace("nan_policy='omit'", "--nan-policy omit")
        raise UsageError(f"{table.where(error.row, error.column)}: {detail}") from None
    except (TypeError, ValueError) as error:
        raise UsageError(f"{table.path}: {_option_names(str(error))}") from None
    except MemoryError as error:
        raise UsageError(f"{table.path}: {error or 'not enough memory'}; try fewer --resamples") from None
    print(format_report(family, means, table, args.cluster_column))
    if args.json is not None:
        _write(args.json, lambda path: path.write_text(
            json.dumps(report_json(family, means, table, args.cluster_column), indent=2, allow_nan=False) + "\n",
            encoding="utf-8"))
        print(f"results: {args.json}")
    if args.chart is not None:
        from ._chart import draw_intervals

        _write(args.chart, lambda path: draw_intervals(path, family, means))
        print(f"chart: {args.chart}")
    sys.stdout.flush()  # here, so that a reader that has gone is noticed in main
    return 0


def _option_names(message: str) -> str:
    """Speak of the command's options rather than the function's arguments."""
    for argument, option in (("n_resamples", "--resamples"), ("block_size", "--block-size"),
                             ("confidence_level", "--confidence-level"), ("alpha", "--alpha"), ("seed", "--seed")):
        if message.startswith(argument + " "):
            return option + message[len(argument):]
    return message


def _write(path: Path, write: Any) -> None:
    try:
        write(path)
    except OSError as error:
        raise UsageError(f"{path}: cannot write the file: {error.strerror or error}") from None
    except ValueError as error:  # an extension matplotlib cannot write
        raise UsageError(f"{path}: cannot write the file: {error}") from None


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 for a bad file or argument)."""
    try:
        args = _parser().parse_args(argv)
        return run_report(args)
    except UsageError as error:
        print(f"mirabund: {error}" if not str(error).startswith("mirabund") else str(error), file=sys.stderr)
        return 2
    except (MemoryError, OverflowError) as error:
        print(f"mirabund: error: {error or type(error).__name__}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader has gone (``| head``): stop quietly, as a process ended
        # by SIGPIPE would, and send the rest of the output nowhere, so that
        # flushing it at exit raises nothing.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except KeyboardInterrupt:
        print("mirabund: interrupted", file=sys.stderr)
        return 130

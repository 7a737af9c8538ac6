"""The command line: ``mirabund report FILE... --baseline A --candidate B ...``.

A thin adapter: ``read_table`` reads the files (scanning large CSV and
Parquet files with DuckDB, where the comparison's join and sums then run),
``compare_metrics`` (its ``compare_family``) compares, and this module spells the library's
arguments as options, writes the outputs and prints the report. A bad file
or argument, or a report too large for memory, ends the run with one line
on stderr (naming the file, row and column where there is one) and exit
status 2, never a traceback; an interrupted run ends with one line and
status 130, and one whose reader has gone (``| head``) quietly with 141.
Only ``os`` and ``sys`` are imported before ``main`` runs (the parser is in
``_arguments``), so that Ctrl-C is answered from the start.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence

TYPE_CHECKING = False  # as in __init__: typing is not imported before main runs
if TYPE_CHECKING:
    import argparse
    from pathlib import Path
    from typing import Any, NoReturn

    from ._compare import Comparison, MeanInterval
    from ._metrics import MetricComparisons
    from ._tables import ScoreTable

__all__ = ["main"]

# The library's arguments as the command spells them.
OPTIONS = {
    "baseline": "--baseline", "candidate": "--candidate", "metrics": "--metrics",
    "model_column": "--model-column", "item_column": "--item-column", "cluster_column": "--cluster-column",
    "nan_policy": "--nan-policy", "direction": "--higher-is-better/--lower-is-better", "labels": "--label",
    "format": "--format", "method": "--method", "block_size": "--block-size", "n_resamples": "--resamples",
    "confidence_level": "--confidence-level", "seed": "--seed", "alpha": "--alpha", "threads": "--threads",
}


class UsageError(Exception):
    """A bad argument or file: its message is the one line shown."""


def format_report(family: MetricComparisons, table: ScoreTable, cluster_column: str | None) -> str:
    """The report as printed: a header, one line per metric, and the notes under the table."""
    from ._report import family_table, text_table

    comparisons = family.comparisons
    level = f"{100 * comparisons[0].confidence_level:g}%"
    lines = [
        f"{family.candidate} (candidate) vs {family.baseline} (baseline): {', '.join(table.sources)}",
        f"p-values adjusted by {family.correction.value} at alpha {family.alpha:g}, seed {family.seed}",
        "",
        text_table(*family_table(family)),
        "",
        f"better/worse *: the candidate differs significantly at alpha {family.alpha:g} after adjustment, in the "
        "direction the column 'better' gives; (-N): items dropped for a missing value or a row for one model only",
    ]
    by_method: dict[str, list[str]] = {}
    for comparison in comparisons:
        by_method.setdefault(describe_method(comparison, cluster_column), []).append(comparison.metric or "")
    for description, metrics in by_method.items():
        which = "" if len(by_method) == 1 else f" ({', '.join(metrics)})"
        lines.append(f"{level} intervals and p-values{which}: {description}")
    if family.item_properties:
        lines.append("left out as properties of the items (equal for both models on every item): "
                     + ", ".join(family.item_properties))
    lines += [f"warning: {note}" for note in _warnings(family)]
    return "\n".join(lines)


def describe_method(comparison: Comparison, cluster_column: str | None) -> str:
    """How a comparison's interval and p-value were computed, in a phrase."""
    from ._inference import Method

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


def _warnings(family: MetricComparisons) -> list[str]:
    """Each distinct warning once: bare when every metric has it, else naming the metrics."""
    metrics: dict[str, list[str]] = {}
    for comparison in family.comparisons:
        for note in comparison.warnings:
            metrics.setdefault(note, []).append(comparison.metric or "")
    return [note if len(names) == len(family.comparisons) else f"{', '.join(names)}: {note}"
            for note, names in metrics.items()]


def report_json(family: MetricComparisons, means: Sequence[tuple[MeanInterval, MeanInterval]],
                table: ScoreTable, cluster_column: str | None) -> dict[str, Any]:
    """Every number of the report, as JSON-ready values (non-finite numbers as null)."""
    document = family.to_dict()
    document["files"] = list(table.sources)
    document["cluster_column"] = cluster_column
    for comparison, outcome, (base, cand) in zip(document["comparisons"], family.outcomes, means):
        comparison["outcome"] = outcome.value
        comparison["baseline_interval"] = base.to_dict()
        comparison["candidate_interval"] = cand.to_dict()
    return dict(_finite_or_none(document))


def _finite_or_none(value: Any) -> Any:
    import math

    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _finite_or_none(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_finite_or_none(item) for item in value]
    return value


def _same_file(first: Path, second: Path) -> bool:
    try:
        return first.exists() and second.exists() and os.path.samefile(first, second)
    except OSError:
        return False


def check_outputs(args: argparse.Namespace) -> list[tuple[str, Path]]:
    """The output files, refused before the work of the report when they cannot
    or must not be written: a folder, a missing or read-only folder, an input,
    or the same file twice."""
    from pathlib import Path
    outputs = [(option, Path(path)) for option, path in (("--json", args.json), ("--chart", args.chart))
               if path is not None and str(path) != "-"]
    if args.chart is not None and str(args.chart) == "-":
        raise UsageError("-: the chart is written to a file, not to standard output")
    inputs = [Path(name) for name in args.files if name != "-"]
    for option, path in outputs:
        if path.is_dir():
            raise UsageError(f"{path}: cannot write the file: it is a folder")
        folder = path.parent
        if not folder.is_dir():
            raise UsageError(f"{path}: cannot write the file: no folder {str(folder)!r}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise UsageError(f"{path}: cannot write the file: the folder is not writable")
        for given in inputs:
            if path.resolve() == given.resolve() or _same_file(path, given):
                raise UsageError(f"{path}: {option} would overwrite an input file")
    if len(outputs) == 2 and (outputs[0][1].resolve() == outputs[1][1].resolve() or
                              _same_file(outputs[0][1], outputs[1][1])):
        raise UsageError(f"{outputs[0][1]}: --json and --chart name the same file")
    if args.chart is not None:
        import importlib.util

        if importlib.util.find_spec("matplotlib") is None:
            raise UsageError("mirabund report: error: --chart needs matplotlib: pip install 'mirabund[plot]'")
        from matplotlib.backend_bases import FigureCanvasBase

        formats = FigureCanvasBase.get_supported_filetypes()
        if args.chart.suffix[1:].lower() not in formats:
            known = ", ".join(f".{suffix}" for suffix in sorted(formats))
            raise UsageError(f"{args.chart}: the chart's format comes from the file's suffix, one of {known}")
    return outputs


def write_atomically(path: Path, write: Callable[[Path], None]) -> None:
    """Write through ``write`` to a new file beside ``path``, then rename it
    over ``path``: a reader sees the old file or the whole new one."""
    import tempfile
    from pathlib import Path

    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=path.suffix, dir=path.parent)
    os.close(handle)
    try:
        write(Path(temporary))
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, path)
    except BaseException as error:
        Path(temporary).unlink(missing_ok=True)
        if isinstance(error, OSError):
            raise UsageError(f"{path}: cannot write the file: {error.strerror or error}") from None
        if isinstance(error, ValueError):  # a format matplotlib cannot write
            raise UsageError(f"{path}: cannot write the file: {error}") from None
        raise


def _write_text(path: Path, text: str) -> None:
    path.write_text(text, encoding="utf-8")


def run_report(args: argparse.Namespace) -> int:
    from ._progress import bar

    with bar(sys.stderr):
        return _report(args)


def _report(args: argparse.Namespace) -> int:
    outputs = dict(check_outputs(args))
    from . import _progress
    from ._checks import TableError
    from ._metrics import compare_family
    from ._tables import read_table

    direction: dict[str, str] = {}
    for names, way in ((args.higher_is_better, "higher"), (args.lower_is_better, "lower")):
        for name in names:
            if direction.setdefault(name, way) != way:
                raise UsageError(f"mirabund report: error: {name!r} is given both --higher-is-better and "
                                 "--lower-is-better")
    table = None
    try:
        _progress.step(f"reading {', '.join(args.files)}")
        table = read_table(args.files, format=args.format, model_column=args.model_column,
                           item_column=args.item_column, cluster_column=args.cluster_column, metrics=args.metrics,
                           direction=direction or None, labels=args.labels)
        if args.models is not None or args.candidate is None:
            return run_leaderboard(args, table.collect(), outputs)  # boards of a large file in memory
        if args.baseline is None:
            raise UsageError("mirabund report: error: --candidate needs --baseline")
        family, means = compare_family(
            table, baseline=args.baseline, candidate=args.candidate, metrics=args.metrics,
            correction=args.correction or "benjamini-hochberg", alpha=args.alpha, block_size=args.block_size,
            n_resamples=args.resamples, confidence_level=args.confidence_level, seed=args.seed,
            nan_policy=args.nan_policy, with_means=True, method=args.method, threads=args.threads,
        )
    except TableError as error:
        raise UsageError(error.message(error.where or "table", OPTIONS)) from None
    except (TypeError, ValueError) as error:
        where = ", ".join(table.sources) if table is not None else ", ".join(args.files)
        raise UsageError(f"{where}: {error}") from None
    except MemoryError as error:
        raise UsageError(f"{', '.join(table.sources) if table else 'error'}: {str(error) or 'not enough memory'}; "
                         "try fewer --resamples") from None
    except ImportError as error:  # a harness's reader that is not installed
        raise UsageError(f"{', '.join(args.files)}: {error}") from None
    _progress.finish()
    text = format_report(family, table, table.cluster_column)
    notes = []
    if "--json" in outputs:
        import json

        document = json.dumps(report_json(family, means, table, table.cluster_column), indent=2, allow_nan=False)
        write_atomically(outputs["--json"], lambda path: _write_text(path, document + "\n"))
        notes.append(f"results: {outputs['--json']}")
    if "--chart" in outputs:
        from ._chart import draw_intervals

        write_atomically(outputs["--chart"], lambda path: draw_intervals(path, family, means))
        notes.append(f"chart: {outputs['--chart']}")
    if args.json == "-":
        import json

        print("\n".join([text, *notes]), file=sys.stderr)
        print(json.dumps(report_json(family, means, table, table.cluster_column), indent=2, allow_nan=False))
    else:
        print("\n".join([text, *notes]))
    sys.stdout.flush()  # here, so that a reader that has gone is noticed in main
    return 0


def run_leaderboard(args: argparse.Namespace, table: ScoreTable, outputs: dict[str, Path]) -> int:
    """A leaderboard per metric of ``table``: every model named by --models, or in the table."""
    import warnings

    from . import _progress
    from ._inference import InferenceWarning
    from ._leaderboard import Leaderboard, compare_models, format_leaderboard, leaderboard_json
    from ._seeds import resolve_seed
    from ._tables import Direction

    models = args.models
    if models is None:
        found = [m for m in dict.fromkeys(table.data[table.model_column].to_list()) if m is not None]
        if len(found) <= 2:
            raise UsageError("mirabund report: error: name the two models with --baseline and --candidate "
                             f"(the table has {len(found)})")
    if args.block_size != 1:
        raise UsageError("mirabund report: error: --block-size applies to two models, not a leaderboard")
    seed = resolve_seed(args.seed)  # one seed for every metric
    source = ", ".join(table.sources)
    boards: list[Leaderboard] = []
    _progress.expect(len(table.metrics))
    with warnings.catch_warnings():  # the report prints each board's warnings itself
        warnings.simplefilter("ignore", InferenceWarning)
        for metric in table.metrics:
            _progress.step(f"leaderboard of {metric}")
            boards.append(compare_models(
                table, metric=metric, models=models, baseline=args.baseline, model_column=table.model_column,
                item_column=table.item_column, cluster_column=table.cluster_column,
                correction=args.correction or "holm", alpha=args.alpha, method=args.method,
                n_resamples=args.resamples, confidence_level=args.confidence_level, seed=seed,
                nan_policy=args.nan_policy, higher_is_better=table.direction(metric) is Direction.HIGHER,
                threads=args.threads))
    _progress.finish()
    text = "\n\n".join(format_leaderboard(board, source) for board in boards)
    document = {"leaderboards": [leaderboard_json(board, source) for board in boards]}
    notes = []
    if "--json" in outputs:
        import json

        rendered = json.dumps(document, indent=2, allow_nan=False)
        write_atomically(outputs["--json"], lambda path: _write_text(path, rendered + "\n"))
        notes.append(f"results: {outputs['--json']}")
    if "--chart" in outputs:
        from ._chart import draw_leaderboard

        write_atomically(outputs["--chart"], lambda path: draw_leaderboard(path, boards))
        notes.append(f"chart: {outputs['--chart']}")
    if args.json == "-":
        import json

        print("\n".join([text, *notes]), file=sys.stderr)
        print(json.dumps(document, indent=2, allow_nan=False))
    else:
        print("\n".join([text, *notes]))
    sys.stdout.flush()
    return 0


def _silence_stdout() -> None:
    """Send the rest of standard output nowhere, so that flushing it at exit raises nothing."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


_interrupted = False


def _on_interrupt(signum: int, frame: object) -> None:
    """Python's own answer to Ctrl-C, remembered: an extension whose loading it
    interrupts (numpy's) reports it as an ImportError."""
    global _interrupted
    _interrupted = True
    raise KeyboardInterrupt


def _end_interrupted() -> NoReturn:
    """End at once: a Ctrl-C inside the loading of an extension (pyarrow's)
    leaves it half made, and the interpreter's own exit would then end the
    process by the signal instead of this status."""
    print("mirabund: interrupted", file=sys.stderr)
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(130)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 for a bad file or argument)."""
    import signal

    own = signal.getsignal(signal.SIGINT) is signal.default_int_handler
    if own:
        signal.signal(signal.SIGINT, _on_interrupt)
    try:
        return _main(argv)
    finally:
        if own:
            signal.signal(signal.SIGINT, signal.default_int_handler)


def _main(argv: Sequence[str] | None) -> int:
    try:
        from ._arguments import parser

        args = parser().parse_args(argv)
        return run_report(args)
    except UsageError as error:
        print(f"mirabund: {error}" if not str(error).startswith("mirabund") else str(error), file=sys.stderr)
        return 2
    except (MemoryError, OverflowError) as error:
        print(f"mirabund: error: {str(error) or 'not enough memory'}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader has gone (``| head``): stop quietly, as a process ended by SIGPIPE would.
        _silence_stdout()
        return 141
    except KeyboardInterrupt:
        _end_interrupted()
    except ImportError:
        if _interrupted:
            _end_interrupted()
        raise
    except OSError as error:
        if sys.stdout.closed or error.errno is None:
            raise
        _silence_stdout()  # standard output cannot be written (a full disk, /dev/full)
        print(f"mirabund: error: cannot write the report: {error.strerror or error}", file=sys.stderr)
        return 2

"""Long tables of scores: one row per model and item, one column per metric.

Every source becomes a :class:`ScoreTable`: files (CSV or TSV with any
delimiter, JSON lines, Parquet, standard input as ``-``), harness logs
(inspect-ai, lm-evaluation-harness; see their own modules), and the data
frames narwhals knows (pandas, polars, pyarrow) or a mapping of column
name to column. The table keeps its data as a narwhals frame, says which
columns hold the model, the item and the cluster, which are metrics, and
whether a higher or a lower score of each metric is better. ``compare_metrics``
and the command line both take one; :func:`pair_items` matches the two
models' rows by item.

Text cells of files are read by one rule, wherever they come from: a
number is what Python's ``float`` reads written in plain ASCII digits
(``1``, ``-0.5``, ``.5``, ``1e-3``; not ``1_000`` or other scripts'
digits), ``True`` and ``False`` are 1 and 0 (in any case), and an empty
cell, ``NA``, ``N/A``, ``NaN``, ``null`` and ``None`` (in any case) are
missing, in every column.
"""

from __future__ import annotations

import csv
import enum
import io
import math
import os
import sys
import tempfile
from bisect import bisect_right
from collections import Counter
from collections.abc import Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeAlias

import narwhals.stable.v2 as nw
import numpy as np

from ._checks import NanPolicy, TableError, check_choice, describe, place_in_table
from ._results import returns_fields
from ._samples import Clusters, FloatArray, as_clusters, as_scores, is_missing, is_pandas, ordered_items

if TYPE_CHECKING:
    import pandas

__all__ = [
    "Direction",
    "Pairs",
    "ScoreTable",
    "Table",
    "as_score_table",
    "items_by_row",
    "model_rows",
    "column_of",
    "column_in_memory",
    "pair_items",
    "labels_of",
    "read_table",
    "refuse_missing",
    "scores_of",
    "shorten",
]

#: What ``compare_metrics`` takes as a table.
Table: TypeAlias = "ScoreTable | pandas.DataFrame | Mapping[str, Any] | Any"

MISSING_TEXT = ("", "na", "n/a", "nan", "null", "none")
NUMBER_PATTERN = r"^[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?$"
INFINITY_PATTERN = r"^[+-]?(?:inf|infinity)$"
DELIMITED = {".csv": ",", ".tsv": "\t", ".tab": "\t", ".txt": None, ".psv": "|"}
JSON_LINES = {".jsonl", ".ndjson"}
PARQUET = {".parquet", ".pq"}
FORMATS = ("csv", "tsv", "jsonl", "parquet", "inspect", "lm-eval")
# CSV, TSV and Parquet files this large in all are scanned by DuckDB where
# they lie, not read into memory.
LAZY_BYTES = 64 * 2**20


def shorten(text: str, limit: int = 60) -> str:
    """``text`` cut to ``limit`` characters, for quoting in a one-line message."""
    text = text.replace("\r", " ").replace("\n", " ")
    return text if len(text) <= limit else f"{text[: limit - 3]}..."


class Direction(enum.StrEnum):
    """Which way a metric is better: a higher score (accuracy) or a lower one (log-loss, latency)."""

    HIGHER = "higher"
    LOWER = "lower"

    @classmethod
    def check(cls, name: str, value: object) -> Direction:
        """The direction named by a string (``"higher"``, ``"lower"``) or a member."""
        return check_choice(name, value, {"higher": cls.HIGHER, "lower": cls.LOWER})


@dataclass(frozen=True, slots=True)
class Segment:
    """The rows of a table that came from one source, for naming a row in messages.

    Table rows ``start`` onwards came from ``source``; table row ``start``
    is the source's row ``first_row`` (None when rows have no number there,
    as for harness logs).
    """

    start: int
    source: str
    first_row: int | None


@dataclass(frozen=True, slots=True, eq=False, repr=False)
class ScoreTable:
    """A long table of scores: one row per model and item, one column per metric.

    Made by :func:`read_table` from files and harness logs, or from a data
    frame or a mapping of columns; ``compare_metrics`` and ``mirabund
    report`` take it as it is.

    Attributes
    ----------
    data : narwhals.DataFrame or narwhals.LazyFrame
        The rows, in the backend they were read into (pyarrow for files and
        mappings, the frame's own otherwise): ``data.to_native()`` gives it.
        A LazyFrame (a DuckDB relation, for a large file; a polars
        LazyFrame, Dask or Spark data frame given) keeps them in its engine.
    model_column, item_column : str
        The columns naming each row's model and item.
    cluster_column : str or None
        The column naming each item's cluster, if one is chosen.
    metrics : tuple of str
        The metric columns, in order: those the source or the caller named,
        else every other column that holds numbers. ``compare_metrics``
        leaves out those equal for both models on every item.
    directions : mapping of str to Direction
        Whether a higher or a lower score is better, for each metric that
        the source or the caller said; higher for the others.
    sources : tuple of str
        What the rows were read from: file names, or ``"table"`` for an
        object in memory.
    segments : tuple of Segment
        Which rows came from which file, and the file's row number of the
        first, for naming rows in messages; empty for objects in memory.
    """

    data: Any
    model_column: str
    item_column: str
    cluster_column: str | None
    metrics: tuple[str, ...]
    directions: Mapping[str, Direction]
    sources: tuple[str, ...]
    segments: tuple[Segment, ...] = ()

    @property
    def columns(self) -> tuple[str, ...]:
        """Every column's name, in order."""
        return tuple(self.data.collect_schema().names())

    @property
    def lazy(self) -> bool:
        """Whether the rows stay in a lazy engine (DuckDB, polars LazyFrame,
        Dask, Spark), which pairs and reduces them where they are."""
        return isinstance(self.data, nw.LazyFrame)

    def collect(self) -> ScoreTable:
        """This table with its rows in memory (as pyarrow, or the engine's eager frame)."""
        if not self.lazy:
            return self
        from dataclasses import replace

        return replace(self, data=self.data.collect())

    def __len__(self) -> int:
        if self.lazy:
            return int(self.data.select(nw.len()).collect().item())
        return int(len(self.data))

    def direction(self, metric: str) -> Direction:
        """Whether a higher or a lower score of ``metric`` is better."""
        return self.directions.get(metric, Direction.HIGHER)

    def locate(self, row: int | None = None, column: str | None = None) -> str:
        """Where a row and column are, for messages: ``"scores.csv, row 8, column 'x'"``."""
        if not self.segments:
            return place_in_table(row, column)
        if row is None:  # the whole table: every file
            names = [segment.source for segment in self.segments]
            parts = [", ".join(names) if len(names) <= 3 else f"{', '.join(names[:3])} and {len(names) - 3} more"]
            return ", ".join([*parts, *([f"column {column!r}"] if column is not None else [])])
        at = self.segments[bisect_right([s.start for s in self.segments], row) - 1]
        parts = [at.source]
        if at.first_row is not None:
            parts.append(f"row {at.first_row + row - at.start}")
        if column is not None:
            parts.append(f"column {column!r}")
        return ", ".join(parts)

    def placed(self, error: TableError) -> TableError:
        """``error`` placed in this table's files, if it came from files and was not placed yet."""
        if error.where is not None or not self.segments:
            return error
        return TableError(error.detail, row=error.row, column=error.column, argument=error.argument,
                          context=error.context, remedy=error.remedy, where=self.locate(error.row, error.column))

    def __repr__(self) -> str:
        cluster = f", cluster={self.cluster_column!r}" if self.cluster_column else ""
        return (f"ScoreTable({len(self)} rows from {', '.join(self.sources)}: model={self.model_column!r}, "
                f"item={self.item_column!r}{cluster}, metrics={self.metrics!r})")

    def _repr_html_(self) -> str:
        import html

        first = self.data.head(10)
        head = (first.collect() if self.lazy else first).to_dict(as_series=False)
        cells = "".join(f"<th>{html.escape(str(name))}</th>" for name in head)
        body = "".join(
            "<tr>" + "".join(f"<td>{html.escape(str(head[name][i]))}</td>" for name in head) + "</tr>"
            for i in range(len(next(iter(head.values()), [])))
        )
        return (f"<p>{html.escape(repr(self))}</p><table><thead><tr>{cells}</tr></thead>"
                f"<tbody>{body}</tbody></table>")


# ---------------------------------------------------------------- reading


def _pyarrow() -> Any:
    import pyarrow

    return pyarrow


def text_to_numbers(column: Any) -> tuple[Any, int | None]:
    """A text column read by the package's number rule.

    Returns the float64 column (missing cells null) if any cell is a number
    or a truth value, else None; and the position of the first cell that is
    neither missing nor a number (an infinity counts as not a number here,
    the caller saying so), or None.
    """
    pa = _pyarrow()
    import pyarrow.compute as pc

    text = pc.utf8_trim_whitespace(column)
    lower = pc.utf8_lower(text)
    missing = pc.fill_null(pc.is_in(lower, value_set=pa.array(MISSING_TEXT)), True)
    number = pc.fill_null(pc.match_substring_regex(text, NUMBER_PATTERN), False)
    truth = pc.fill_null(pc.is_in(lower, value_set=pa.array(["true", "false"])), False)
    readable = pc.or_(number, truth)
    if not pc.any(readable).as_py():
        return None, None
    bad = pc.and_(pc.invert(missing), pc.invert(readable))
    first = pc.index(bad, True).as_py()
    values = pc.if_else(number, pc.cast(pc.if_else(number, text, "0"), pa.float64()),
                        pc.if_else(truth, pc.cast(pc.equal(lower, "true"), pa.float64()), None))
    return values, (None if first < 0 else first)


def _missing_text_as_null(column: Any) -> Any:
    pa = _pyarrow()
    import pyarrow.compute as pc

    text = pc.utf8_trim_whitespace(column)
    missing = pc.fill_null(pc.is_in(pc.utf8_lower(text), value_set=pa.array(MISSING_TEXT)), True)
    return pc.if_else(missing, pa.scalar(None, pa.string()), text)


def _check_names(names: Sequence[str], where: str) -> None:
    """Refuse nameless and repeated columns (a nameless first one is pandas' index);
    linear in the number of columns."""
    for position, name in enumerate(names):
        if position and not str(name).strip():
            raise TableError(f"column {position + 1} has no name", where=where)
    counts = Counter(names)
    repeated = next((name for name in names if counts[name] > 1), None)
    if repeated is not None:
        raise TableError(f"column {shorten(str(repeated))!r} appears {counts[repeated]} times in the header",
                         column=repeated, where=where)


def _delimiter(head: str, suffix: str) -> str:
    known = DELIMITED.get(suffix)
    lines = [line for line in head.splitlines() if line.strip() and not line.lstrip().startswith("#")][:20]
    try:
        return csv.Sniffer().sniff("\n".join(lines), delimiters=",\t;|").delimiter
    except csv.Error:
        return known or ","


@dataclass(frozen=True, slots=True)
class Read:
    """One source read into a pyarrow table: its rows, and the file row of its first row."""

    table: Any
    source: str
    first_row: int | None
    directions: Mapping[str, Direction] | None = None
    metrics: tuple[str, ...] | None = None


def _read_delimited(data: bytes, source: str, suffix: str) -> Read:
    pa = _pyarrow()
    import pyarrow.csv as pcsv

    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    head = data[:65536].decode("utf-8", errors="replace")
    lines = head.splitlines()
    skip = 0
    while skip < len(lines) and (not lines[skip].strip() or lines[skip].lstrip().startswith("#")):
        skip += 1
    if skip == len(lines) and len(data) <= 65536:
        raise TableError("no header row: the file is empty", where=source)
    delimiter = _delimiter(head, suffix)
    fault: list[Any] = []

    def invalid(row: Any) -> str:
        fault.append(row)
        return "error"

    parse = pcsv.ParseOptions(delimiter=delimiter, invalid_row_handler=invalid)
    options = pcsv.ReadOptions(skip_rows=skip, use_threads=False)
    try:
        names = list(pcsv.open_csv(io.BytesIO(data), read_options=options, parse_options=parse).schema.names)
        _check_names(names, f"{source}, row {skip + 1}")
        convert = pcsv.ConvertOptions(column_types={name: pa.string() for name in names},
                                      strings_can_be_null=False, quoted_strings_can_be_null=False)
        table = pcsv.read_csv(io.BytesIO(data), read_options=options, parse_options=parse,
                              convert_options=convert)
    except (pa.ArrowInvalid, UnicodeDecodeError) as error:
        if fault:
            row = fault[0]
            raise TableError(f"{row.actual_columns} fields, but the header has {row.expected_columns}",
                             where=f"{source}, row {row.number}") from None
        raise TableError(f"cannot read the file as delimited text: {shorten(str(error), 120)}",
                         where=source) from None
    return Read(table, source, skip + 2)


def _read_json_lines(data: bytes, source: str) -> Read:
    pa = _pyarrow()
    import pyarrow.json as pjson

    try:
        table = pjson.read_json(io.BytesIO(data), read_options=pjson.ReadOptions(use_threads=False))
    except pa.ArrowInvalid as error:
        raise TableError(f"cannot read the file as JSON lines: {shorten(str(error), 120)}", where=source) from None
    return Read(table, source, 1)


def _read_parquet(data: bytes, source: str) -> Read:
    pa = _pyarrow()
    import pyarrow.parquet as pq

    try:
        table = pq.read_table(pa.BufferReader(data))
    except (pa.ArrowInvalid, OSError) as error:
        raise TableError(f"cannot read the file as Parquet: {shorten(str(error), 120)}", where=source) from None
    return Read(table, source, None)


def sniff_format(path: Path | None, head: bytes) -> str:
    """The format of a file, from its suffix or else its first bytes."""
    suffix = path.suffix.lower() if path is not None else ""
    if suffix == ".eval" or head.startswith(b"PK\x03\x04"):
        return "inspect"
    if suffix in PARQUET or head.startswith(b"PAR1"):
        return "parquet"
    text = head.lstrip()
    if path is not None and path.name.startswith("samples_") and suffix in JSON_LINES | {".json"}:
        return "lm-eval"
    if suffix == ".json" or (text.startswith(b"{") and b'"eval"' in head[:4096] and b'"status"' in head[:4096]):
        if text.startswith(b"{") and b'"eval"' in head[:65536]:
            return "inspect"
    if suffix in JSON_LINES or suffix == ".json" or text.startswith(b"{"):
        if b'"doc_id"' in head[:65536] and b'"doc"' in head[:65536]:
            return "lm-eval"
        return "jsonl"
    if suffix in (".tsv", ".tab"):
        return "tsv"
    return "csv"


def _read_bytes(path: Path | str) -> tuple[bytes, str]:
    if str(path) == "-":
        return sys.stdin.buffer.read(), "<stdin>"
    try:
        return Path(path).read_bytes(), str(path)
    except OSError as error:
        raise TableError(f"cannot read the file: {error.strerror or error}", where=str(path)) from None


def _expand(sources: Iterable[Path | str]) -> list[Path | str]:
    """Files given, with a folder standing for the harness logs in it."""
    found: list[Path | str] = []
    for source in sources:
        if str(source) != "-" and Path(source).is_dir():
            from ._harness_inspect import logs_in

            logs = logs_in(Path(source))
            if not logs:
                from ._harness_lm_eval import samples_in

                logs = samples_in(Path(source))
            if not logs:
                raise TableError("no inspect-ai logs (.eval, .json) or lm-eval samples_*.jsonl files in this folder",
                                 where=str(source))
            found.extend(logs)
        else:
            found.append(source)
    return found


def _read_one(source: Path | str, fmt: str | None, label: str | None) -> Read:
    data, name = _read_bytes(source)
    path = None if str(source) == "-" else Path(source)
    kind = fmt or sniff_format(path, data[:65536])
    if kind == "inspect":
        from ._harness_inspect import read_inspect_log

        return read_inspect_log(path, data, name, label)
    if kind == "lm-eval":
        from ._harness_lm_eval import read_lm_eval_samples

        return read_lm_eval_samples(path, data, name, label)
    if label is not None:
        raise TableError("a label names the model of a harness log, and this file is none", argument="labels",
                         where=name)
    if kind == "parquet":
        return _read_parquet(data, name)
    if kind == "jsonl":
        return _read_json_lines(data, name)
    suffix = path.suffix.lower() if path is not None else ""
    return _read_delimited(data, name, ".tsv" if kind == "tsv" else suffix)


@returns_fields(ScoreTable)
def read_table(
    sources: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    *,
    format: str | None = None,
    model_column: str | None = None,
    item_column: str | None = None,
    cluster_column: str | None = None,
    metrics: str | Iterable[str] | None = None,
    direction: str | Direction | Mapping[str, str | Direction] | None = None,
    labels: str | Iterable[str] | None = None,
    lazy: bool | None = None,
) -> ScoreTable:
    """Read a long table of scores from files or harness logs.

    Several files are one table, their columns matched by name. The format
    of each comes from ``format``, else its suffix, else its first bytes:

    - CSV or TSV (``.csv``, ``.tsv``, ``.txt``; the delimiter, one of
      ``,`` tab ``;`` ``|``, is found from the text), a header row first;
      leading ``#`` lines are skipped, and a first column without a name
      (the index pandas' ``to_csv`` writes) is left out.
    - JSON lines (``.jsonl``, ``.ndjson``): one object per row.
    - Parquet (``.parquet``, ``.pq``).
    - inspect-ai logs (``.eval``, or ``.json`` written by inspect-ai): one
      row per sample, the eval's model as the model, the sample id as the
      item, one metric per scorer (``scorer/value`` for a scorer giving
      several values), grades mapped to numbers as inspect-ai maps them,
      epochs averaged (their number in the column ``epochs``), and the
      sample metadata as columns by their keys.
    - lm-evaluation-harness ``--log_samples`` files (``samples_*.jsonl``):
      one row per document, ``doc_id`` as the item, one metric per
      per-document metric field, the model from the ``results_*.json``
      beside the file or from ``labels``, the directions from that file's
      ``higher_is_better``; the document's fields are columns by their keys.

    A folder stands for the inspect-ai logs, or the lm-evaluation-harness
    sample files, in it; ``"-"`` reads standard input. Harness logs of
    several tasks are one table whose items are named ``task/item`` (the
    task is in the column ``task``); a metric that one task lacks is
    missing on its items (``nan_policy="omit"`` compares each metric on
    the items that have it).

    Parameters
    ----------
    sources : path or iterable of paths
        The files or folders to read, ``"-"`` for standard input.
    format : {"csv", "tsv", "jsonl", "parquet", "inspect", "lm-eval"}, optional
        The format of every source; None finds each one's.
    model_column, item_column : str, optional
        The columns naming the model and the item; None takes ``"model"``
        and ``"item"``.
    cluster_column : str, optional
        The column naming each item's cluster (``"topic"``, a metadata key
        of a harness log).
    metrics : str or iterable of str, optional
        The metric columns, in order. None takes those a harness log names,
        or for other files every column other than the model, item and
        cluster columns that holds numbers.
    direction : "higher", "lower" or mapping of str to either, optional
        Whether a higher or a lower score is better: one for every metric,
        or one per metric named; a metric not named keeps what the source
        says, else higher.
    labels : str or iterable of str, optional
        The model of each harness log, in the order of ``sources``, in place
        of the one the log records.
    lazy : bool, optional
        True scans CSV, TSV and Parquet files with DuckDB where they lie (a
        file larger than memory works): the table holds a DuckDB relation,
        and ``compare_metrics`` pairs the models and sums the clusters in
        DuckDB, bringing only those sums (or, without clusters, the paired
        scores) into memory; errors then count the offending rows instead
        of naming the first. False reads every file into memory. None, the
        default, scans such files when they hold 64 MiB or more in all.
        DuckDB reads the cells by its own type detection, with the missing
        words above as missing.

    Returns
    -------
    ScoreTable
        The rows of every source, text cells read by the package's number
        rule: a number is what Python's ``float`` reads in plain ASCII
        digits, ``True``/``False`` are 1/0, and an empty cell, ``NA``,
        ``N/A``, ``NaN``, ``null`` and ``None`` are missing.
        {fields}

    Raises
    ------
    TableError
        (a ``ValueError``) For a file that cannot be read or parsed, a
        missing or repeated column, and a cell of a metric column that is
        not a number, naming the file, row and column.
    ImportError
        For a format whose reader is not installed (inspect-ai's logs need
        ``pip install 'mirabund[inspect]'``).

    Examples
    --------
    >>> import mirabund, tempfile, pathlib
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "scores.tsv").write_text("model\\titem\\tscore\\na\\tq1\\t0.5\\nb\\tq1\\t0.75\\n")
    >>> table = mirabund.read_table(folder / "scores.tsv")
    >>> table.metrics, len(table)
    (('score',), 2)
    """
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    files = _expand([Path(source) if not isinstance(source, str) else source for source in sources])
    if format is not None:
        format = check_choice("format", format, {name: name for name in FORMATS})
    scanned = _scan(files, format, lazy if labels is None else False)
    if scanned is not None:
        return _finish(scanned, sources=tuple(str(source) for source in files), segments=(),
                       model_column=model_column, item_column=item_column, cluster_column=cluster_column,
                       metrics=metrics, direction=direction, known={}, from_text=False)
    names: list[str | None] = [None] * len(files)
    if labels is not None:
        given = [labels] if isinstance(labels, str) else list(labels)
        if len(given) != len(files):
            raise ValueError(f"labels must name one model per file, got {len(given)} labels for {len(files)} files")
        names = list(given)
    reads = [_read_one(source, format, label) for source, label in zip(files, names)]
    declared = [read.metrics for read in reads]
    directions: dict[str, Direction] = {}
    for read in reads:
        directions.update(read.directions or {})
    if metrics is None and all(chosen is not None for chosen in declared):
        metrics = list(dict.fromkeys(name for chosen in declared for name in chosen or ()))
    pa = _pyarrow()
    segments = []
    tables = []
    start = 0
    for read in reads:
        segments.append(Segment(start, read.source, read.first_row))
        tables.append(read.table)
        start += read.table.num_rows
    try:
        combined = tables[0] if len(tables) == 1 else pa.concat_tables(tables, promote_options="permissive")
    except (pa.ArrowInvalid, pa.ArrowTypeError) as error:
        raise TableError(f"the files' columns do not match: {shorten(str(error), 120)}",
                         where=", ".join(r.source for r in reads)) from None
    if all(chosen is not None for chosen in declared) and item_column is None:
        combined = _items_of_tasks(combined)
    return _finish(combined, sources=tuple(r.source for r in reads), segments=tuple(segments),
                   model_column=model_column, item_column=item_column, cluster_column=cluster_column,
                   metrics=metrics, direction=direction, known=directions, from_text=True)


def _scan(files: Sequence[Path | str], fmt: str | None, lazy: bool | None) -> Any:
    """A DuckDB relation over ``files`` when they are to be scanned lazily, else None."""
    if lazy is False or not files:
        return None
    kinds = set()
    for source in files:
        path = None if str(source) == "-" else Path(source)
        if path is None or not path.is_file():
            kinds.add("stdin")
            continue
        with path.open("rb") as handle:
            kinds.add(fmt or sniff_format(path, handle.read(65536)))
    scannable = len(kinds) == 1 and kinds <= {"parquet", "csv", "tsv"}
    if lazy is None and (not scannable or sum(Path(source).stat().st_size for source in files) < LAZY_BYTES):
        return None
    if not scannable:
        raise TableError("lazy reading takes CSV, TSV or Parquet files of one format",
                         where=", ".join(map(str, files)))
    import duckdb

    quoted = ", ".join("'" + str(source).replace("'", "''") + "'" for source in files)
    missing = ", ".join(f"'{word}'" for text in MISSING_TEXT for word in dict.fromkeys((text, text.upper(),
                                                                                        text.title())))
    reader = (f"read_parquet([{quoted}], union_by_name = true)" if kinds == {"parquet"} else
              f"read_csv([{quoted}], union_by_name = true, header = true, nullstr = [{missing}]"
              + (", delim = '\t'" if kinds == {"tsv"} else "") + ")")
    connection = duckdb.connect()
    # Joins and group-bys larger than memory spill here, not into the working folder.
    spill = Path(tempfile.gettempdir(), f"mirabund-duckdb-{os.getpid()}")
    connection.execute(f"SET temp_directory = '{str(spill).replace(chr(39), chr(39) * 2)}'")
    connection.execute("SET enable_progress_bar = false")
    try:
        relation = connection.sql(f"SELECT * FROM {reader}")
        _check_names(list(relation.columns), ", ".join(map(str, files)))
    except duckdb.Error as error:
        raise TableError(f"cannot read the files: {shorten(str(error), 200)}",
                         where=", ".join(map(str, files))) from None
    return nw.from_native(relation)


def _items_of_tasks(table: Any) -> Any:
    """Harness logs of several tasks: each item named ``task/item``, since
    sample ids and document numbers repeat from task to task."""
    pa = _pyarrow()
    import pyarrow.compute as pc

    if "task" not in table.column_names or pc.count_distinct(table["task"]).as_py() < 2:
        return table
    items = pc.binary_join_element_wise(table["task"], pc.cast(table["item"], pa.string()), "/")
    return table.set_column(table.column_names.index("item"), "item", items)


def column_of(cells: list[Any]) -> Any:
    """Cells of a harness log as one pyarrow column: typed where they agree, else as text."""
    pa = _pyarrow()
    try:
        return pa.array(cells)
    except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
        return pa.array([None if cell is None else str(cell) for cell in cells], pa.string())


def _frame_of_mapping(table: Mapping[Any, Any]) -> Any:
    pa = _pyarrow()
    columns: dict[str, Any] = {}
    for name, values in table.items():
        key = str(name)
        if key in columns:
            raise TableError("two columns have this name", column=key)
        items = ordered_items(f"column {key!r}", values)
        if isinstance(values, np.ndarray) and values.dtype.kind in "biuf":
            mask = np.ma.getmaskarray(values) if np.ma.isMaskedArray(values) else None
            columns[key] = pa.array(np.ma.getdata(values), mask=mask)
            continue
        if isinstance(values, np.ndarray) or is_pandas(values):
            items = list(np.asarray(values, dtype=object)) if not is_pandas(values) else values.tolist()
        cells = [None if is_missing(cell) else cell for cell in items]
        try:
            columns[key] = pa.array(cells)
        except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
            kinds = sorted({type(cell).__name__ for cell in cells if cell is not None})
            raise TypeError(f"column {key!r} must hold values of one kind (numbers, text or truth values), "
                            f"got {', '.join(kinds)}") from None
    lengths = {name: len(column) for name, column in columns.items()}
    if len(set(lengths.values())) > 1:
        raise ValueError(f"table columns must be of equal length, got {lengths}")
    return pa.table(columns) if columns else pa.table({})


def as_score_table(
    table: object,
    *,
    model_column: str | None = None,
    item_column: str | None = None,
    cluster_column: str | None = None,
    metrics: str | Iterable[str] | None = None,
    direction: object = None,
) -> ScoreTable:
    """``table`` as a :class:`ScoreTable`: a ScoreTable (its columns re-chosen
    where arguments are given), any data frame narwhals supports, or a mapping
    of column name to column."""
    if isinstance(table, ScoreTable):
        return _finish(table.data, sources=table.sources,
                       segments=table.segments, model_column=model_column or table.model_column,
                       item_column=item_column or table.item_column,
                       cluster_column=cluster_column if cluster_column is not None else table.cluster_column,
                       metrics=metrics if metrics is not None else table.metrics, direction=direction,
                       known=table.directions, from_text=False)
    if isinstance(table, Mapping):
        frame = _frame_of_mapping(table)
        source = "table"
    else:
        from ._reduce import lazy_frame

        frame = lazy_frame(table)
        given = frame.collect_schema().names() if frame is not None else getattr(table, "columns", None)
        names = [str(name) for name in (given if given is not None else getattr(table, "column_names", ()))]
        counts = Counter(names)
        repeated = next((name for name in names if counts[name] > 1), None)
        if repeated is not None:
            raise TableError("two columns have this name", column=repeated)
        try:
            frame = frame if frame is not None else nw.from_native(table, eager_only=True)
        except TypeError:
            raise TypeError(f"table must be a data frame (pandas, polars, pyarrow, DuckDB, Dask, Spark) or a "
                            f"mapping of column name to sequence, got {describe(table)}") from None
        source = "table"
    return _finish(frame, sources=(source,), segments=(), model_column=model_column, item_column=item_column,
                   cluster_column=cluster_column, metrics=metrics, direction=direction, known={},
                   from_text=False)


def _metric_list(metrics: object) -> list[str] | None:
    if metrics is None:
        return None
    given: list[object] = [metrics] if isinstance(metrics, str) else [None]
    if isinstance(metrics, Iterable) and not isinstance(metrics, (str, bytes, Mapping)):
        given = list(metrics)
    if not all(isinstance(name, str) for name in given):
        raise TypeError(f"metrics must be a column name or an iterable of column names, got {describe(metrics)}")
    if not given:
        raise ValueError("metrics must name at least one column, got none")
    names = [str(name) for name in given]  # numpy's and pandas' strings as plain ones
    counts = Counter(names)
    duplicates = sorted(name for name, count in counts.items() if count > 1)
    if duplicates:
        raise ValueError(f"metrics must name each column once, got {', '.join(map(repr, duplicates))} twice")
    return names


def _directions(direction: object, metrics: Sequence[str], known: Mapping[str, Direction]) -> dict[str, Direction]:
    chosen = dict(known)
    if direction is None:
        return chosen
    if isinstance(direction, Mapping):
        for name, value in direction.items():
            if name not in metrics:
                raise TableError(f"{name!r} is not a metric", column=str(name), argument="direction",
                                 context=f"metrics: {', '.join(map(repr, metrics))}")
            chosen[str(name)] = Direction.check(f"direction[{name!r}]", value)
        return chosen
    one = Direction.check("direction", direction)
    return {name: one for name in metrics}


def _listed(what: str, names: Sequence[str], limit: int = 20) -> str:
    shown = ", ".join(repr(shorten(str(name), 40)) for name in names[:limit])
    return f"{what}: {shown}" + (f" and {len(names) - limit} more" if len(names) > limit else "")


def _is_numeric(dtype: Any) -> bool:
    return bool(dtype.is_numeric()) or dtype == nw.Boolean


def _finish(frame: Any, *, sources: tuple[str, ...], segments: tuple[Segment, ...], **options: Any) -> ScoreTable:
    """Check the roles and metric columns of a frame, and read text cells of files;
    errors are placed in the files read."""
    try:
        return _checked(frame, sources=sources, segments=segments, **options)
    except TableError as error:
        raise ScoreTable(None, "", "", None, (), {}, sources, segments).placed(error) from None


def _checked(
    frame: Any,
    *,
    sources: tuple[str, ...],
    segments: tuple[Segment, ...],
    model_column: str | None,
    item_column: str | None,
    cluster_column: str | None,
    metrics: object,
    direction: object,
    known: Mapping[str, Direction],
    from_text: bool,
) -> ScoreTable:
    data = frame if isinstance(frame, (nw.DataFrame, nw.LazyFrame)) else nw.from_native(frame, eager_only=True)
    model_column = model_column or "model"
    item_column = item_column or "item"
    if from_text and "" in data.columns[:1]:
        data = data.drop(data.columns[0])  # the index column of pandas' to_csv
    columns = [str(name) for name in data.collect_schema().names()]
    for argument, name in (("model_column", model_column), ("item_column", item_column),
                           ("cluster_column", cluster_column)):
        if name is not None and name not in columns:
            raise TableError("no such column", column=name, argument=argument, context=_listed("columns", columns))
    roles = {model_column, item_column, cluster_column}
    named = _metric_list(metrics)
    if named is not None:
        for name in named:
            if name not in columns:
                raise TableError("no such column", column=name, argument="metrics",
                                 context=_listed("columns", columns))
            if name in roles:
                raise ValueError(f"metrics must not include the model, item or cluster column, got {name!r}")
    replaced: dict[str, Any] = {}
    schema = dict(data.collect_schema())
    if from_text and isinstance(data, nw.DataFrame):  # a scanned file's cells are its engine's
        arrow = data.to_arrow()
        for position, name in enumerate(columns):
            if schema[name] != nw.String or (named is not None and name not in named and name not in roles):
                continue
            native = arrow.column(position)
            if name in roles:
                replaced[name] = _missing_text_as_null(native)
                continue
            values, bad = text_to_numbers(native)
            if values is None:
                continue
            if bad is not None:
                cell = native[bad].as_py()
                infinite = _is_infinite_text(cell)
                raise TableError(f"{shorten(cell, 40)!r} is not {'a finite number' if infinite else 'a number'}",
                                 row=bad, column=name)
            replaced[name] = values
    if replaced:
        pa = _pyarrow()
        native = arrow
        arrays = [replaced.get(name, native.column(position)) for position, name in enumerate(columns)]
        data = nw.from_native(pa.Table.from_arrays(arrays, names=columns), eager_only=True)
    if named is None:
        schema = dict(data.collect_schema())
        named = [name for name in columns if name not in roles and _is_numeric(schema[name])]
        if not named:
            raise TableError("no metric columns: no column other than the model, item and cluster columns "
                             "holds numbers")
    return ScoreTable(data, model_column, item_column, cluster_column, tuple(named),
                      _directions(direction, named, known), sources, segments)


def _is_infinite_text(cell: object) -> bool:
    try:
        return isinstance(cell, str) and cell.strip().isascii() and math.isinf(float(cell.strip()))
    except ValueError:
        return False


# ---------------------------------------------------------------- pairing


def refuse_missing(
    what: str, column: str, rows: Sequence[int], *, scope: str = " for the compared models", drops: str = "such items"
) -> None:
    """Under nan_policy "raise": refuse the missing cells of ``column`` at table ``rows``, if any."""
    if len(rows):
        count = len(rows)
        raise TableError(
            f"{count} missing {what}{'s' if count != 1 else ''}{scope}, the first here",
            row=int(min(rows)), column=column, remedy=("nan_policy", "omit", f"drop {drops}"),
        )


def column_in_memory(table: ScoreTable, column: str) -> Any:
    """A column as a narwhals Series: a lazy table's collected from its engine
    (for the routines that work on rows, a leaderboard's)."""
    if table.lazy:
        return table.data.select(column).collect()[column]
    return table.data[column]


def labels_of(table: ScoreTable, column: str) -> list[Any]:
    """A column's cells as labels, None for each missing one."""
    series = column_in_memory(table, column)
    if series.dtype == nw.Object:
        return [None if is_missing(cell) else cell for cell in series.to_native()]
    values: list[Any] = series.to_list()
    if series.dtype.is_float():
        return [None if cell is None or cell != cell else cell for cell in values]
    return values


def model_rows(models: list[Any], name: object, role: str, model_column: str) -> list[int]:
    rows = [row for row, model in enumerate(models) if model is not None and model == name]
    if not rows:
        found = list(dict.fromkeys(str(m) for m in models if m is not None))
        raise TableError(f"no rows for the {role} model {name!r}", column=model_column, argument=role,
                         context=_listed("models found", found))
    return rows


def items_by_row(items: list[Any], rows: list[int], model: object, item_column: str) -> dict[Hashable, int]:
    """The model's rows by item; rows without an item label are left out."""
    found: dict[Hashable, int] = {}
    for row in rows:
        item = items[row]
        if item is None:
            continue
        try:
            first = found.setdefault(item, row)
        except TypeError:
            raise TypeError(f"column {item_column!r} must hold hashable labels, got {describe(item)} "
                            f"at position {row}") from None
        if first != row:
            raise TableError(f"a second row for model {model!r} and item {item!r}", row=row, column=item_column)
    return found


@dataclass(frozen=True, slots=True)
class Pairs:
    """The rows of the two models matched by item, in the baseline's row order.

    Attributes
    ----------
    baseline_rows, candidate_rows : ndarray of intp
        The table rows of each matched item.
    n_unmatched : int
        Items with a row for one model only, and the two models' rows
        without an item label.
    clusters : Clusters or None
        Each matched item's cluster (code -1 when either row lacks one).
    """

    baseline_rows: np.ndarray[Any, np.dtype[np.intp]]
    candidate_rows: np.ndarray[Any, np.dtype[np.intp]]
    n_unmatched: int
    clusters: Clusters | None

    def scores(self, table: ScoreTable, metric: str) -> tuple[FloatArray, FloatArray]:
        """The baseline's and candidate's scores of ``metric`` on the matched items (missing as NaN)."""
        values = scores_of(table, metric)
        return values[self.baseline_rows], values[self.candidate_rows]


def scores_of(table: ScoreTable, metric: str) -> FloatArray:
    """A metric column as float64, missing as NaN; text and infinities refused, naming the column."""
    series = column_in_memory(table, metric)
    native = series.to_native()
    if is_pandas(native) or isinstance(native, np.ndarray):
        return as_scores(f"column {metric!r}", native)
    if series.dtype == nw.Boolean or _is_numeric(series.dtype):
        values = np.asarray(series.cast(nw.Float64).to_numpy(), dtype=np.float64)
        if series.null_count():
            values = np.where(series.is_null().to_numpy(), np.nan, values)
        infinite = np.flatnonzero(np.isinf(values))
        if infinite.size:
            raise ValueError(f"column {metric!r} must hold finite numbers, got {float(values[infinite[0]])!r} "
                             f"at position {infinite[0]}")
        return values
    return as_scores(f"column {metric!r}", series.to_list())


def pair_items(table: ScoreTable, baseline: object, candidate: object, nan_policy: NanPolicy) -> Pairs:
    """Match the baseline's rows to the candidate's by item, in the baseline's row order.

    Under "omit", rows without a model label are passed over, and the
    compared models' rows without an item label count as unmatched; an item
    is in no cluster when either of its rows lacks the label. Under "raise"
    each of these is refused, naming the row.
    """
    if table.lazy:
        from ._reduce import paired_scores

        return paired_scores(table, baseline, candidate, nan_policy)  # type: ignore[return-value]
    if baseline == candidate:
        raise ValueError(f"candidate must name a model other than the baseline, got {candidate!r} for both")
    models = labels_of(table, table.model_column)
    items = labels_of(table, table.item_column)
    model_column, item_column = table.model_column, table.item_column
    base_rows = model_rows(models, baseline, "baseline", model_column)
    cand_rows = model_rows(models, candidate, "candidate", model_column)
    unlabelled = [row for row in base_rows + cand_rows if items[row] is None]
    if nan_policy == "raise":
        refuse_missing("model label", model_column, [row for row, model in enumerate(models) if model is None],
                        scope="", drops="such rows")
        refuse_missing("item label", item_column, unlabelled, drops="such rows")
    base = items_by_row(items, base_rows, baseline, item_column)
    cand = items_by_row(items, cand_rows, candidate, item_column)
    if nan_policy == "raise":
        for have, lack, rows, other in ((baseline, candidate, base, cand), (candidate, baseline, cand, base)):
            for item, row in rows.items():
                if item not in other:
                    raise TableError(f"item {item!r} has a row for model {have!r} but none for model {lack!r}",
                                     row=row, column=item_column,
                                     remedy=("nan_policy", "omit", "drop such items"))
    matched = [item for item in base if item in cand]
    base_at = np.array([base[item] for item in matched], dtype=np.intp)
    cand_at = np.array([cand[item] for item in matched], dtype=np.intp)
    clusters = None
    if table.cluster_column is not None:
        clusters = _pair_clusters(table, items, base_at, cand_at, baseline, candidate, nan_policy)
    return Pairs(base_at, cand_at, len(base) + len(cand) - 2 * len(matched) + len(unlabelled), clusters)


def _pair_clusters(table: ScoreTable, items: list[Any], base_at: Any, cand_at: Any, baseline: object,
                   candidate: object, nan_policy: NanPolicy) -> Clusters:
    column = str(table.cluster_column)
    labels = labels_of(table, column)
    paired: list[Any] = []
    unlabelled = []
    for base_row, cand_row in zip(base_at.tolist(), cand_at.tolist()):
        label, other = labels[base_row], labels[cand_row]
        unlabelled += [row for row, cell in ((base_row, label), (cand_row, other)) if cell is None]
        if label is None or other is None:
            label = None  # an item is in no cluster when either of its rows lacks the label
        elif label != other:
            raise TableError(
                f"item {items[base_row]!r} is in cluster {label!r} for model {baseline!r} "
                f"but in {other!r} for model {candidate!r}",
                row=cand_row, column=column,
            )
        paired.append(label)
    if nan_policy == "raise":
        refuse_missing("cluster label", column, unlabelled)
    return as_clusters(paired, len(paired), column)

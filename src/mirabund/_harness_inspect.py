"""inspect-ai evaluation logs as a long table, read by inspect-ai itself.

One row per model and sample: the eval's model (or the label given), the
sample id as the item, one metric per scorer, named by the scorer
(``match``), or ``scorer/value`` for a scorer that gives several values (a
dict). Grades are mapped to numbers as inspect-ai maps them
(``inspect_ai.scorer.value_to_float``: C 1, P 0.5, I and N 0); a sample
scored over several epochs is one item with each score averaged over its
epochs, their number in the column ``epochs``; the eval's task is in the
column ``task``; the sample's metadata are
columns by their own keys (``topic``). inspect-ai is imported only here,
when a log is read (``pip install 'mirabund[inspect]'``).
"""

from __future__ import annotations

import json
import math
import tempfile
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from ._checks import TableError
from ._tables import Read, column_of, shorten

__all__ = ["logs_in", "read_inspect_log"]

ROLES = ("model", "item", "epochs", "task")


def _inspect_log() -> Any:
    try:
        import inspect_ai.log as log
    except ImportError:
        raise ImportError("reading inspect-ai logs needs inspect-ai: pip install 'mirabund[inspect]'") from None
    return log


def logs_in(folder: Path) -> list[Path]:
    """The inspect-ai logs in a folder (``.eval``, and ``.json`` written by inspect-ai), by name."""
    found = sorted(folder.glob("*.eval"))
    for path in sorted(folder.glob("*.json")):
        with path.open("rb") as handle:
            head = handle.read(4096)
        if b'"eval"' in head and b'"version"' in head:
            found.append(path)
    return sorted(found)


def _scores(scores: Mapping[str, Any] | None, to_float: Any, where: str) -> dict[str, float]:
    values: dict[str, float] = {}
    for name, score in (scores or {}).items():
        value = getattr(score, "value", score)
        parts = value.items() if isinstance(value, Mapping) else [(None, value)]
        for key, part in parts:
            metric = name if key is None else f"{name}/{key}"
            if part is None:
                values[metric] = math.nan
            elif isinstance(part, (list, tuple)):
                raise TableError(f"scorer {name!r} gives a list, not a number or grade", where=where)
            else:
                values[metric] = float(to_float(part))
    return values


def read_inspect_log(path: Path | None, data: bytes, source: str, label: str | None) -> Read:
    """One inspect-ai log (``.eval`` or ``.json``) as a table of one row per sample."""
    log = _inspect_log()
    from inspect_ai.scorer import value_to_float

    to_float = value_to_float()
    with tempfile.TemporaryDirectory() as folder:
        if path is None:  # standard input: inspect-ai reads files
            path = Path(folder, "stdin.eval" if data.startswith(b"PK") else "stdin.json")
            path.write_bytes(data)
        try:
            header = log.read_eval_log(str(path), header_only=True)
            samples = log.read_eval_log_sample_summaries(str(path))
        except Exception as error:  # inspect-ai raises many kinds for a file it cannot read
            raise TableError(f"cannot read the file as an inspect-ai log: {shorten(str(error), 120)}",
                             where=source) from None
    model = label if label is not None else str(header.eval.model)
    items: dict[Any, dict[str, Any]] = {}
    metrics: dict[str, None] = {}
    sums: dict[Any, dict[str, list[float]]] = {}
    for sample in samples:
        row = items.setdefault(sample.id, {"model": model, "item": sample.id, "task": str(header.eval.task),
                                           "epochs": 0})
        row["epochs"] += 1
        for key, value in (sample.metadata or {}).items():
            name = key if key not in ROLES else f"metadata_{key}"
            if name not in row:
                row[name] = value if value is None or isinstance(value, (str, int, float, bool)) else json.dumps(value)
        for metric, value in _scores(sample.scores, to_float, source).items():
            metrics.setdefault(metric)
            sums.setdefault(sample.id, {}).setdefault(metric, []).append(value)
    if not items:
        raise TableError("the log holds no samples", where=source)
    for item, scored in sums.items():
        for metric, values in scored.items():
            present = [value for value in values if not math.isnan(value)]
            items[item][metric] = math.fsum(present) / len(present) if present else None
    pa = __import__("pyarrow")
    names = list(dict.fromkeys(name for row in items.values() for name in row))
    table = pa.table({name: column_of([row.get(name) for row in items.values()]) for name in names})
    return Read(table, source, None, {}, tuple(metrics))

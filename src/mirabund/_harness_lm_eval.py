"""lm-evaluation-harness ``--log_samples`` files as a long table.

The harness writes, per model and task, ``samples_<task>_<time>.jsonl``:
one JSON object per document and filter, with ``doc_id``, the document
itself (``doc``), the filter's name, the list of its per-document metrics
(``metrics``) and each metric's value under its own name; beside it,
``results_<time>.json`` records the model (``model_name``) and which way
each metric is better (``higher_is_better``). The harness has no reader of
its own for these files, so they are read here with the standard library's
``json``: one row per document, ``doc_id`` as the item, one metric per
per-document metric field that holds numbers (named ``metric,filter`` when
the file has several filters), the task (from the file's name) in the
column ``task``, the document's fields as columns by their keys, and the
model from the results file or the label given.
"""

from __future__ import annotations

import json
import math
from pathlib import Path
from typing import Any

from ._checks import TableError
from ._tables import Direction, Read, column_of, shorten

__all__ = ["read_lm_eval_samples", "samples_in"]

ROLES = ("model", "item", "task")


def samples_in(folder: Path) -> list[Path]:
    """The harness's sample files in a folder and its subfolders (one per model), by name."""
    return sorted(folder.rglob("samples_*.jsonl"))


def _results(path: Path | None) -> dict[str, Any]:
    """The results file written with a samples file: same folder, same time stamp."""
    if path is None or "_" not in path.stem:
        return {}
    stamp = path.stem.rsplit("_", 1)[1]
    results = path.with_name(f"results_{stamp}.json")
    try:
        document = json.loads(results.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}
    return document if isinstance(document, dict) else {}


def _number(value: Any) -> float | None:
    if isinstance(value, bool):
        return float(value)
    if isinstance(value, (int, float)):
        return float(value)
    return None


def read_lm_eval_samples(path: Path | None, data: bytes, source: str, label: str | None) -> Read:
    """One ``samples_*.jsonl`` file as a table of one row per document."""
    records = []
    for number, line in enumerate(data.decode("utf-8-sig", errors="replace").splitlines(), start=1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except ValueError as error:
            raise TableError(f"not a JSON object: {shorten(str(error))}", where=f"{source}, line {number}") from None
        if not isinstance(record, dict) or "doc_id" not in record:
            raise TableError("not a sample of lm-evaluation-harness: no doc_id", where=f"{source}, line {number}")
        records.append(record)
    if not records:
        raise TableError("the file holds no samples", where=source)
    results = _results(path)
    model = label if label is not None else results.get("model_name")
    if not model:
        raise TableError("the model is not recorded beside this file (no results_*.json with model_name); "
                         "name it with a label", where=source, argument="labels")
    filters = {record.get("filter", "none") for record in records}
    task = path.stem.removeprefix("samples_").rsplit("_", 1)[0] if path is not None else None
    rows: dict[Any, dict[str, Any]] = {}
    metrics: dict[str, None] = {}
    skipped: set[str] = set()
    for record in records:
        row = rows.setdefault(record["doc_id"], {"model": model, "item": record["doc_id"], "task": task})
        document = record.get("doc")
        for key, value in (document.items() if isinstance(document, dict) else ()):
            name = key if key not in ROLES else f"doc_{key}"
            if name not in row:
                row[name] = value if value is None or isinstance(value, (str, int, float, bool)) else json.dumps(value)
        for metric in record.get("metrics") or ():
            value = _number(record.get(metric))
            if value is None:  # a corpus-level metric's raw material, not a score per document
                skipped.add(metric)
                continue
            name = metric if len(filters) == 1 else f"{metric},{record.get('filter', 'none')}"
            metrics.setdefault(name)
            row[name] = None if math.isnan(value) else value
    if not metrics:
        raise TableError(f"no per-document metric holds numbers (found: {', '.join(sorted(skipped)) or 'none'})",
                         where=source)
    directions: dict[str, Direction] = {}
    for task in (results.get("higher_is_better") or {}).values():
        for metric, higher in (task or {}).items():
            for name in metrics:
                if name.split(",")[0] == metric and isinstance(higher, bool):
                    directions[name] = Direction.HIGHER if higher else Direction.LOWER
    pa = __import__("pyarrow")
    names = list(dict.fromkeys(name for row in rows.values() for name in row))
    table = pa.table({name: column_of([row.get(name) for row in rows.values()]) for name in names})
    return Read(table, source, None, directions, tuple(metrics))

"""A family of comparisons as a table of text or HTML: the command line's
report, the family's ``repr`` and its notebook view."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ._metrics import MetricComparisons

__all__ = ["family_table", "html_table", "text_table"]

Row = tuple[str, ...]
# Columns of text, the rest being numbers, aligned right.
TEXT_COLUMNS = {"metric", "better", "effect", "outcome"}


def _signed(value: float, digits: int) -> str:
    return f"{value:+.{digits}f}"


def _degrees(value: float | None) -> str:
    return "-" if value is None else f"{value:.1f}"


def family_table(family: MetricComparisons) -> tuple[Row, list[Row]]:
    """The header and one row per metric: which way is better, each model's
    mean, the difference and its interval, the p-values (and the degrees of
    freedom of a t reference, if any), the effect size, the counts and the
    outcome."""
    comparisons = family.comparisons
    level = f"{100 * comparisons[0].confidence_level:g}%" if comparisons else "95%"
    with_df = any(c.degrees_of_freedom is not None for c in comparisons)
    header: Row = ("metric", "better", "baseline", "candidate", "difference", f"{level} interval", "p", "p adj",
                   *(("df",) if with_df else ()), "d_z", "effect", "items", "clusters", "outcome")
    directions = family.directions or ("higher",) * len(comparisons)
    rows: list[Row] = []
    for comparison, direction, outcome in zip(comparisons, directions, family.outcomes):
        p_adjusted = comparison.p_adjusted
        rows.append((
            comparison.metric or "",
            str(direction),
            f"{comparison.baseline_mean:.4f}",
            f"{comparison.candidate_mean:.4f}",
            _signed(comparison.difference, 4),
            f"[{_signed(comparison.ci_lower, 4)}, {_signed(comparison.ci_upper, 4)}]",
            f"{comparison.p_value:.3g}",
            "-" if p_adjusted is None else f"{p_adjusted:.3g}",
            *((_degrees(comparison.degrees_of_freedom),) if with_df else ()),
            _signed(comparison.d_z, 2),
            comparison.magnitude.value,
            str(comparison.n_items) + (f" (-{comparison.n_dropped})" if comparison.n_dropped else ""),
            "-" if comparison.n_clusters is None else str(comparison.n_clusters),
            "" if outcome == "no significant difference" else f"{outcome} *",
        ))
    return header, rows


def text_table(header: Row, rows: list[Row]) -> str:
    """Columns padded to their widest cell, text left and numbers right."""
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header))]
    lines = []
    for row in (header, *rows):
        cells = [cell.ljust(width) if header[i] in TEXT_COLUMNS else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def html_table(header: Row, rows: list[Row], caption: str = "") -> str:
    """An HTML table, every cell escaped."""
    head = "".join(f"<th>{html.escape(cell)}</th>" for cell in header)
    body = "".join("<tr>" + "".join(f"<td>{html.escape(cell)}</td>" for cell in row) + "</tr>" for row in rows)
    title = f"<caption>{html.escape(caption)}</caption>" if caption else ""
    return f"<table>{title}<thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"

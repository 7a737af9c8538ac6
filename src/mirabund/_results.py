"""The base of every result the package returns.

Results are frozen dataclasses deriving from :class:`Result`::

    @dataclass(frozen=True, slots=True, repr=False)
    class MeanInterval(Result):
        _repr_fields: ClassVar[tuple[str, ...]] = ("mean", "ci_lower", "ci_upper", "n_items")
        mean: float
        ...

What the base gives them, and what a new result must keep:

- Value equality and hashing from the dataclass; fields hold plain Python
  values (``float``, ``int``, ``str``, ``None``, ``tuple``, a ``StrEnum``
  member or another ``Result``), never numpy scalars or arrays, so that
  equality is exact and results pickle (they come back from process pools)
  and compare equal after the round trip.
- ``to_dict()``: the fields, in declaration order, as plain Python values
  that ``json.dumps`` writes: nested results become dicts, tuples lists,
  enumeration members their string values. Floats stay floats, infinities
  and NaN included (a ``d_z`` of differences without spread is infinite),
  which ``json.dumps`` writes as the non-standard ``Infinity`` and ``NaN``.
- A short ``repr`` naming only the fields listed in ``_repr_fields``
  (every field when it is empty), floats to six significant digits, and
  ``_repr_html_``, the fields as an HTML table for notebooks.
- Every field is documented in the class docstring's ``Attributes`` section
  (numpy style), so ``help()`` shows it; the routine returning the result
  copies that list into its own docstring with :func:`returns_fields`.
"""

from __future__ import annotations

import dataclasses
import enum
import inspect
import textwrap
from collections.abc import Callable
from typing import Any, ClassVar, TypeVar

__all__ = ["Result", "attributes_section", "returns_fields"]


def _plain(value: object) -> object:
    if isinstance(value, Result):
        return value.to_dict()
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, (tuple, list)):
        return [_plain(item) for item in value]
    return value


def _short(value: object) -> str:
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, enum.Enum):
        return repr(value.value)
    if isinstance(value, tuple) and len(value) > 4:
        return f"({', '.join(_short(v) for v in value[:3])}, ... {len(value)} items)"
    if isinstance(value, tuple):
        inner = ", ".join(_short(v) for v in value)
        return f"({inner},)" if len(value) == 1 else f"({inner})"
    return repr(value)


class Result:
    """Common behaviour of the package's frozen result dataclasses."""

    __slots__ = ()
    _repr_fields: ClassVar[tuple[str, ...]] = ()

    def to_dict(self) -> dict[str, Any]:
        """Return the fields as a dict of plain Python values.

        Nested results become dicts, tuples become lists and enumeration
        members their string values; floats stay floats. ``json.dumps``
        writes the dict, but an infinity or NaN among its floats (an
        infinite ``d_z``, say) as the non-standard ``Infinity`` or ``NaN``,
        which strict JSON readers refuse: pass ``allow_nan=False`` to be
        told, or replace them first (``mirabund report --json`` writes them
        as null).
        """
        return {f.name: _plain(getattr(self, f.name)) for f in dataclasses.fields(self)}  # type: ignore[arg-type]

    def _repr_html_(self) -> str:
        """The fields as an HTML table, for notebooks."""
        import html

        rows = "".join(
            f"<tr><th>{html.escape(f.name)}</th><td>{html.escape(_short(getattr(self, f.name)))}</td></tr>"
            for f in dataclasses.fields(self)  # type: ignore[arg-type]
        )
        return f"<table><caption>{type(self).__name__}</caption><tbody>{rows}</tbody></table>"

    def __repr__(self) -> str:
        names = self._repr_fields or tuple(f.name for f in dataclasses.fields(self))  # type: ignore[arg-type]
        shown = ", ".join(f"{name}={_short(getattr(self, name))}" for name in names)
        return f"{type(self).__name__}({shown})"


def attributes_section(cls: type) -> str:
    """The body of the ``Attributes`` section of ``cls``'s docstring, dedented."""
    lines = inspect.cleandoc(cls.__doc__ or "").splitlines()
    start = lines.index("Attributes") + 2
    end = next((i for i in range(start, len(lines)) if lines[i] and set(lines[i]) == {"-"}), len(lines) + 1) - 1
    return "\n".join(lines[start:end]).rstrip()


F = TypeVar("F", bound=Callable[..., Any])


def returns_fields(cls: type) -> Callable[[F], F]:
    """Copy ``cls``'s attribute list into the decorated function's docstring.

    The function's docstring holds the placeholder ``{fields}`` in its
    ``Returns`` section, at the indentation of its text, so that ``help()``
    of the function documents every field of its result, written once.
    """

    def decorate(function: F) -> F:
        doc = function.__doc__
        if not doc or not cls.__doc__:  # docstrings stripped (python -OO)
            return function
        line = next(line for line in doc.splitlines() if line.strip() == "{fields}")
        indent = line[: len(line) - len(line.lstrip())]
        fields = textwrap.indent(attributes_section(cls), indent + "    ").lstrip()
        function.__doc__ = doc.replace("{fields}", f"Fields of the {cls.__name__}:\n\n{indent}    {fields}")
        return function

    return decorate

"""Checking of arguments, with errors that name the argument.

Conventions every public routine follows:

- Options are keyword-only; data arguments come first, positionally.
- A value of the wrong kind raises ``TypeError``, a value of the right kind
  outside its range ``ValueError``; both messages start with the argument's
  name and say what was expected, then what was given:
  ``"n_resamples must be an integer >= 1, got 0"``.
- ``bool`` is refused where a number is expected (``True`` is an ``int`` to
  Python, but never a sensible count or level); numpy integer and floating
  scalars are accepted like Python ones.
- Named choices are strings, matched without regard to case, ``_`` or ``-``;
  an unknown one is refused with the list of valid spellings.
- A problem with the contents of a table is a :class:`TableError`, which
  names the row and column at fault; :class:`Subject` names the data a
  statistic is computed from (an argument, or a table's column) in the
  errors of that computation.
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Literal, TypeVar

__all__ = [
    "NanPolicy",
    "Subject",
    "TableError",
    "as_float",
    "check_choice",
    "check_finite",
    "check_fraction",
    "check_int",
    "check_nan_policy",
    "check_positive",
    "describe",
    "place_in_table",
]

T = TypeVar("T")
NanPolicy = Literal["raise", "omit"]


def describe(value: object) -> str:
    """A short account of a value for an error message."""
    text = repr(value)
    if len(text) > 40:
        text = f"{text[:37]}..."
    if isinstance(value, (int, float, str)) and not isinstance(value, bool):
        return text
    return f"{text} ({type(value).__name__})"


def check_int(
    name: str,
    value: object,
    *,
    minimum: int | None = None,
    maximum: int | None = None,
    expected: str | None = None,
) -> int:
    """Return ``value`` as an int in [minimum, maximum], or raise naming ``name``.

    ``expected`` replaces the generated account of the range in messages.
    """
    bounds = " and ".join(
        part for part in (
            f">= {minimum}" if minimum is not None else "",
            f"<= {maximum}" if maximum is not None else "",
        ) if part
    )
    expected = expected or f"an integer {bounds}".rstrip()
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be {expected}, got {describe(value)}")
    number = operator.index(value)
    if (minimum is not None and number < minimum) or (maximum is not None and number > maximum):
        raise ValueError(f"{name} must be {expected}, got {number}")
    return number


def as_float(name: str, value: object, expected: str) -> float:
    """Return the real number ``value`` as a float, or raise naming ``name``.

    A number beyond the range of a float (an int of 400 digits) is refused
    as out of range, not passed on as the interpreter's bare OverflowError.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be {expected}, got {describe(value)}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name} must be {expected}, got {describe(value)}, too large for a float") from None


def check_fraction(name: str, value: object) -> float:
    """Return ``value`` as a float strictly between 0 and 1, or raise naming ``name``."""
    number = as_float(name, value, "a number in (0, 1)")
    if not 0.0 < number < 1.0:
        raise ValueError(f"{name} must be in (0, 1), got {number!r}")
    return number


def _key(text: str) -> str:
    return text.lower().replace("_", "-").replace(" ", "-")


def check_choice(name: str, value: object, choices: Mapping[str, T]) -> T:
    """Return the choice that ``value`` names.

    ``choices`` maps each canonical spelling to what it stands for; a value
    equal to one of those targets (an enumeration member, say) is accepted
    as itself.
    """
    if isinstance(value, str):
        for spelling, target in choices.items():
            if _key(value) == _key(spelling):
                return target
        valid = ", ".join(repr(spelling) for spelling in choices)
        raise ValueError(f"{name} must be one of {valid}, got {value!r}")
    for target in choices.values():
        if type(value) is type(target) and value == target:
            return target
    valid = ", ".join(repr(spelling) for spelling in choices)
    raise TypeError(f"{name} must be one of {valid}, got {describe(value)}")


def check_nan_policy(value: object) -> NanPolicy:
    """Return ``"raise"`` or ``"omit"``."""
    policies: dict[str, NanPolicy] = {"raise": "raise", "omit": "omit"}
    return check_choice("nan_policy", value, policies)


def check_finite(name: str, value: object) -> float:
    """Return ``value`` as a finite float, or raise naming ``name``."""
    number = as_float(name, value, "a finite number")
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {number!r}")
    return number


def check_positive(name: str, value: object) -> float:
    """Return ``value`` as a finite float above 0, or raise naming ``name``."""
    number = check_finite(name, value)
    if not number > 0.0:
        raise ValueError(f"{name} must be a finite number > 0, got {number!r}")
    return number


def place_in_table(row: int | None, column: str | None) -> str:
    """Where a row and column of a table in memory are: ``"table column 'x', row 2"``."""
    parts = [f"column {column!r}" if column is not None else "", f"row {row}" if row is not None else ""]
    where = ", ".join(part for part in parts if part)
    return f"table {where}" if where else "table"


class TableError(ValueError):
    """A problem with the rows of a table, at a row and column.

    Attributes
    ----------
    detail : str
        What is wrong, without the location.
    row : int or None
        The row's position in the table (0 for the first row), if one row is at fault.
    column : str or None
        The column at fault, if one is.
    argument : str or None
        The argument whose value named what is missing or wrong
        (``"candidate"``, ``"cluster_column"``), if one did; the message
        says "(given as ...)".
    context : str or None
        What there is instead (the columns of the table, the models found).
    remedy : tuple of str or None
        ``(argument, value, effect)``: passing that value of that argument
        would ``effect`` (``("nan_policy", "omit", "drop such items")``).
    where : str or None
        Where the problem is when that is more than a row and column (a
        file's name and line), as given by the reader that found it.
    """

    def __init__(
        self,
        detail: str,
        *,
        row: int | None = None,
        column: str | None = None,
        argument: str | None = None,
        context: str | None = None,
        remedy: tuple[str, str, str] | None = None,
        where: str | None = None,
    ) -> None:
        self.detail = detail
        self.context = context
        self.where = where
        self.row = row
        self.column = column
        self.argument = argument
        self.remedy = remedy
        super().__init__(self.message(where or place_in_table(row, column)))

    def message(self, where: str, spell: Mapping[str, str] | None = None) -> str:
        """The message placed at ``where``, arguments spelled as ``spell`` maps them
        (``{"nan_policy": "--nan-policy"}`` gives ``pass --nan-policy omit``)."""
        spell = spell or {}
        text = self.detail
        if self.argument is not None:
            text = f"{text} (given as {spell.get(self.argument, self.argument)})"
        if self.context is not None:
            text = f"{text}; {self.context}"
        if self.remedy is not None:
            argument, value, effect = self.remedy
            given = f"{spell[argument]} {value}" if argument in spell else f"{argument}={value!r}"
            text = f"{text}; pass {given} to {effect}"
        return f"{where}: {text}"


@dataclass(frozen=True, slots=True)
class Subject:
    """The data a statistic is computed from, named in that computation's errors.

    An argument, ``Subject("x")``, gets a ``ValueError`` that starts with its
    name; a table's column, ``Subject("accuracy", in_table=True)``, a
    :class:`TableError` at that column, which the command line places in
    its file.
    """

    name: str
    in_table: bool = False

    def refusal(self, detail: str) -> ValueError:
        """The error saying ``detail`` of this subject."""
        if self.in_table:
            return TableError(detail, column=self.name)
        return ValueError(f"{self.name}: {detail}")

    def check_finite(self, values: str, *statistics: tuple[str, float]) -> None:
        """Refuse the first of the named ``statistics`` of ``values`` that has overflowed."""
        for statistic, number in statistics:
            if not math.isfinite(number):
                raise self.refusal(f"the {values} are too large: {statistic} overflows a float; rescale them")

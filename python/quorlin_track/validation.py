"""Checks of the package's arguments: one wording and one exception type per kind of mistake.

A wrong type raises ``TypeError``, a value of the right type that is out of range raises
``ValueError``; every message starts with the argument's name and ends with what was given, e.g.
``max_skip must be an integer >= 0 (frames), got -1``. Every public function checks its arguments
through these helpers, so the same mistake reads the same everywhere.
"""

from __future__ import annotations

import functools
import inspect
import math
from collections.abc import Callable, Iterable, Sequence
from numbers import Integral, Real
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["check_table", "choice", "dataframe", "integer", "keyword_only", "odd_window", "real",
           "table_columns", "whole_numbers"]

F = TypeVar("F", bound=Callable[..., Any])


def _unit(unit: str | None) -> str:
    return f" ({unit})" if unit else ""


def _range_text(low: float | None, high: float | None, low_open: bool) -> str:
    parts = []
    if low is not None:
        parts.append(f"{'>' if low_open else '>='} {low:g}")
    if high is not None:
        parts.append(f"<= {high:g}")
    return " and ".join(parts)


def integer(name: str, value: Any, *, low: int | None = None, high: int | None = None,
            unit: str | None = None) -> int:
    """``value`` as a Python int, checked: an integer (not a bool) within ``[low, high]``.

    Parameters
    ----------
    name : str
        The argument's name, as the caller wrote it.
    value : object
        What was given.
    low, high : int, optional
        Inclusive bounds.
    unit : str, optional
        The unit, shown in the message (``"frames"``, ``"pixels"``).

    Returns
    -------
    int

    Raises
    ------
    TypeError
        ``value`` is not an integer (floats, even whole ones, and bools included).
    ValueError
        ``value`` lies outside the bounds.

    Examples
    --------
    >>> integer("max_skip", 2, low=0, unit="frames")
    2
    >>> integer("max_skip", -1, low=0, unit="frames")
    Traceback (most recent call last):
    ...
    ValueError: max_skip must be an integer >= 0 (frames), got -1
    """
    bounds = _range_text(low, high, False)
    what = f"an integer{' ' + bounds if bounds else ''}{_unit(unit)}"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, Integral):
        raise TypeError(f"{name} must be {what}, got {type(value).__name__} {value!r}")
    number = int(value)
    if (low is not None and number < low) or (high is not None and number > high):
        raise ValueError(f"{name} must be {what}, got {number}")
    return number


def real(name: str, value: Any, *, low: float | None = None, high: float | None = None,
         low_open: bool = False, finite: bool = True, unit: str | None = None) -> float:
    """``value`` as a Python float, checked: a real number (not a bool), finite unless
    ``finite=False`` (NaN is refused always), within the bounds.

    Parameters
    ----------
    name : str
        The argument's name.
    value : object
        What was given.
    low, high : float, optional
        Bounds; ``low`` is exclusive when ``low_open`` (``low=0, low_open=True``: positive).
    low_open : bool
        Whether ``low`` itself is refused.
    finite : bool
        Whether infinities are refused.
    unit : str, optional
        The unit, shown in the message.

    Returns
    -------
    float

    Raises
    ------
    TypeError
        ``value`` is not a real number.
    ValueError
        NaN, an infinity where ``finite``, or a value outside the bounds.

    Examples
    --------
    >>> real("max_distance", 3, low=0, low_open=True, unit="pixels")
    3.0
    >>> real("max_distance", float("nan"), low=0, low_open=True, unit="pixels")
    Traceback (most recent call last):
    ...
    ValueError: max_distance must be a finite number > 0 (pixels), got nan
    """
    bounds = _range_text(low, high, low_open)
    what = f"a {'finite ' if finite else ''}number{' ' + bounds if bounds else ''}{_unit(unit)}"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, Real):
        raise TypeError(f"{name} must be {what}, got {type(value).__name__} {value!r}")
    number = float(value)
    if (math.isnan(number) or (finite and math.isinf(number))
            or (low is not None and (number <= low if low_open else number < low))
            or (high is not None and number > high)):
        raise ValueError(f"{name} must be {what}, got {number!r}")
    return number


def choice(name: str, value: Any, choices: Iterable[Any]) -> Any:
    """``value`` if it is one of ``choices``.

    Raises
    ------
    TypeError
        ``value`` is of a type none of the choices has.
    ValueError
        Any other value not among the choices.

    Examples
    --------
    >>> choice("motion", "drift", ("position", "velocity", "drift"))
    'drift'
    >>> choice("motion", "fast", ("position", "velocity", "drift"))
    Traceback (most recent call last):
    ...
    ValueError: motion must be one of 'position', 'velocity', 'drift', got 'fast'
    """
    options = tuple(choices)
    names = ", ".join(repr(c) for c in options)
    if not any(type(value) is type(c) for c in options):
        raise TypeError(f"{name} must be one of {names}, got {type(value).__name__} {value!r}")
    if value not in options:
        raise ValueError(f"{name} must be one of {names}, got {value!r}")
    return value


def odd_window(name: str, value: Any, *, low: int = 3, high: int | None = None) -> int:
    """An odd window side of at least ``low`` (and at most ``high``) pixels.

    Examples
    --------
    >>> odd_window("window", 4)
    Traceback (most recent call last):
    ...
    ValueError: window must be an odd integer >= 3 (pixels), got 4
    """
    what = f"an odd integer {_range_text(low, high, False)} (pixels)"
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, Integral):
        raise TypeError(f"{name} must be {what}, got {type(value).__name__} {value!r}")
    number = int(value)
    if number < low or number % 2 == 0 or (high is not None and number > high):
        raise ValueError(f"{name} must be {what}, got {number}")
    return number


def dataframe(name: str, value: Any) -> pd.DataFrame:
    """``value`` if it is a pandas DataFrame, else a ``TypeError`` naming ``name``."""
    if not isinstance(value, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, got {type(value).__name__}")
    return value


def table_columns(name: str, table: pd.DataFrame, required: Sequence[str], *,
                  numeric: Sequence[str] = ()) -> None:
    """Check that ``table`` has the ``required`` columns, and that the ``numeric`` ones hold real
    numbers (integers or floats; not complex, datetime, object or bool).

    Raises
    ------
    ValueError
        A column is missing.
    TypeError
        A ``numeric`` column holds something else than real numbers.

    Examples
    --------
    >>> table_columns("spots", pd.DataFrame({"frame": [0], "y": [1.0]}), ["frame", "y", "x"])
    Traceback (most recent call last):
    ...
    ValueError: spots lacks the column(s) 'x'
    """
    missing = [c for c in required if c not in table.columns]
    if missing:
        raise ValueError(f"{name} lacks the column(s) {', '.join(map(repr, missing))}")
    for column in numeric:
        dtype = table[column].dtype
        # pandas' nullable and Arrow-backed integers and floats count as real numbers too.
        if (not pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)
                or pd.api.types.is_complex_dtype(dtype)):
            raise TypeError(f"{name} column {column!r} must hold real numbers, got {dtype}")


#: Whole numbers the tables' integer columns may hold: those of int64.
_INT64 = (-(2**63), 2**63 - 1)


def check_table(tracks: object, columns: Sequence[str], name: str = "tracks") -> pd.DataFrame:
    """Return ``tracks`` if it is a non-empty DataFrame holding ``columns``, else raise.

    Parameters
    ----------
    tracks : object
        The table to check.
    columns : sequence of str
        Columns it must have.
    name : str, default "tracks"
        The argument's name, used in the messages.

    Returns
    -------
    pandas.DataFrame
        ``tracks`` itself.

    Raises
    ------
    TypeError
        If ``tracks`` is not a pandas DataFrame.
    ValueError
        If it is empty or lacks one of ``columns`` (all missing ones are named).
    """
    table = dataframe(name, tracks)
    table_columns(name, table, columns)
    if len(table) == 0:
        raise ValueError(f"{name} is empty")
    return table


def whole_numbers(name: str, table: pd.DataFrame, column: str) -> npt.NDArray[np.int64]:
    """The ``column`` of ``table`` as int64, checked: real numbers (as :func:`table_columns`
    says) that are all whole, from -2**63 to 2**63 - 1, none missing.

    Raises
    ------
    TypeError
        The column holds something else than real numbers.
    ValueError
        A value is missing, NaN, infinite, has a fraction or lies outside int64.

    Examples
    --------
    >>> whole_numbers("spots", pd.DataFrame({"frame": [0.0, 2.5]}), "frame")
    Traceback (most recent call last):
    ...
    ValueError: spots column 'frame' must hold whole numbers from -2**63 to 2**63 - 1 (no NaN), got 2.5
    """
    table_columns(name, table, [column], numeric=[column])
    series = table[column]
    what = f"{name} column {column!r} must hold whole numbers from -2**63 to 2**63 - 1 (no NaN)"
    if series.isna().any():
        raise ValueError(f"{what}, got {series[series.isna()].iloc[0]!r}")
    if series.dtype.kind in "iu":
        values = series.to_numpy()
        if values.dtype.kind == "u" and values.size and values.max() > _INT64[1]:
            raise ValueError(f"{what}, got {int(values.max())}")
        return values.astype(np.int64)
    floats = series.to_numpy(dtype=np.float64)
    # Every float within [-2**63, 2**63) that is whole converts exactly.
    bad = ~((floats >= -(2.0**63)) & (floats < 2.0**63) & (floats == np.floor(floats)))
    if bad.any():
        raise ValueError(f"{what}, got {float(floats[bad][0])!r}")
    return floats.astype(np.int64)


def keyword_only(hint: str) -> Callable[[F], F]:
    """Make a function's keyword-only arguments fail loudly when passed by position.

    Python's own message for a surplus positional argument names no keyword; people coming from
    other packages pass, say, a spot diameter where this package expects something else. The
    wrapper raises a ``TypeError`` that names the function's positional parameters and adds
    ``hint`` (which keyword was probably meant).

    Examples
    --------
    >>> @keyword_only("pass the spot size as diameter=...")
    ... def locate(frame, *, diameter=7):
    ...     return diameter
    >>> locate(None, 9)
    Traceback (most recent call last):
    ...
    TypeError: locate() takes 1 positional argument (frame); the others are keyword-only: pass the spot size as diameter=...
    """
    def decorate(function: F) -> F:
        parameters = inspect.signature(function).parameters.values()
        positional = [p.name for p in parameters
                      if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
        count = len(positional)
        plural = "" if count == 1 else "s"
        message = (f"{function.__name__}() takes {count} positional argument{plural} "
                   f"({', '.join(positional)}); the others are keyword-only: {hint}")

        @functools.wraps(function)
        def checked(*args: Any, **kwargs: Any) -> Any:
            if len(args) > count:
                raise TypeError(message)
            return function(*args, **kwargs)

        return checked  # type: ignore[return-value]

    return decorate

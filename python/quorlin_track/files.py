"""Track tables in files: CSV and Parquet, chosen by suffix, written whole.

A CSV file starts with one comment line, ``# quorlin_track table: {...}``, a JSON object that
records each column's dtype and the table's ``attrs`` (for the command line: its parameters and
the package version), so that ``load`` gives back the table ``save`` was handed: float32 stays
float32, integers stay integers, dates keep their time zone. Plain CSV readers skip the line with
``comment="#"``. Parquet keeps the same record in the file's metadata and needs pyarrow (the
``parquet`` extra). The row index is not stored: tables load with a fresh RangeIndex.
"""

from __future__ import annotations

import importlib.util
import json
import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import pandas as pd

from .validation import choice, dataframe
from .writing import replacing

__all__ = ["FORMATS", "load", "save"]

#: The first line of a CSV file: this mark, then the JSON record.
TABLE_MARK = "# quorlin_track table: "
#: The first line of CSV files written by earlier versions: ``name=dtype`` pairs.
LEGACY_DTYPE_MARK = "# quorlin_track dtypes: "
#: The key of the same record in a Parquet file's metadata.
PARQUET_KEY = b"quorlin_track"
#: Suffix to format.
FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}

# What CSV stores exactly, by kind of column: how each is parsed back (see _csv_kind).
_NUMBER, _BOOL, _COMPLEX, _DATETIME, _TIMEDELTA, _TEXT, _CATEGORY = (
    "number", "bool", "complex", "datetime", "timedelta", "text", "category")


def _format(path: str | os.PathLike[str], format: str | None) -> str:
    if format is not None:
        return str(choice("format", format, ("csv", "parquet")))
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"path must end in {', '.join(FORMATS)}, got {os.fspath(path)!r}")
    return FORMATS[suffix]


def _need_pyarrow() -> None:
    if importlib.util.find_spec("pyarrow") is None:
        raise ImportError("Parquet files need pyarrow: pip install 'quorlin[parquet]'")


def _check_csv_names(tracks: pd.DataFrame) -> None:
    for name in tracks.columns:
        if not isinstance(name, str) or not name or any(c in name for c in " ,=\n\r\"#"):
            raise ValueError(f"tracks column {name!r} cannot be stored in CSV: names must be "
                             "non-empty strings without blanks, commas, '=', '#' or quotes")
    if tracks.columns.has_duplicates:
        raise ValueError("tracks has two columns of the same name; CSV cannot tell them apart")


def _refuse(name: str, dtype: Any, kind: str, why: str) -> TypeError:
    return TypeError(f"tracks column {name!r} of dtype {dtype} cannot be stored in {kind}: {why}")


def _csv_kind(name: str, column: pd.Series) -> str:
    """How a column is written to and parsed back from CSV; refuses what would come back
    different."""
    dtype = column.dtype
    if isinstance(dtype, np.dtype):
        if dtype.kind == "b":
            return _BOOL
        if dtype.kind in "iu" or (dtype.kind == "f" and dtype.itemsize <= 8):
            return _NUMBER
        if dtype.kind == "c" and dtype.itemsize <= 16:
            return _COMPLEX
        if dtype.kind == "M":
            return _DATETIME
        if dtype.kind == "m":
            return _TIMEDELTA
        if dtype.kind == "f":
            raise _refuse(name, dtype, "CSV or Parquet", "convert it to float64")
    if isinstance(dtype, pd.DatetimeTZDtype):
        return _DATETIME
    if isinstance(dtype, pd.CategoricalDtype):
        # Categories of non-empty text come back exactly: written as text, their list and order
        # kept in the record (an empty field is a missing value).
        labels = dtype.categories
        if pd.api.types.infer_dtype(labels, skipna=False) not in ("string", "empty") or (labels == "").any():
            raise _refuse(name, dtype, "CSV", "its categories must be non-empty text; save the "
                          "table as .parquet, or convert the column")
        return _CATEGORY
    if (pd.api.types.is_extension_array_dtype(dtype) and dtype.kind in "iufb"
            and not isinstance(dtype, pd.SparseDtype)):
        return _NUMBER  # pandas' nullable numbers: missing values are written as empty fields
    is_text = isinstance(dtype, pd.StringDtype) or (
        dtype == object and pd.api.types.infer_dtype(column, skipna=True) in ("string", "empty"))
    if not is_text:
        raise _refuse(name, dtype, "CSV", "save the table as .parquet, or convert the column")
    if column.isna().any() and (column == "").any():
        raise _refuse(name, dtype, "CSV", "it holds both empty strings and missing values, which "
                      "CSV cannot tell apart; save the table as .parquet")
    return _TEXT


def _plain(value: Any) -> Any:
    """A JSON-ready form of NumPy values and paths in ``attrs``."""
    if isinstance(value, (np.generic, np.ndarray)):
        return value.tolist()
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    raise TypeError(f"tracks.attrs holds a {type(value).__name__}, which cannot be stored: "
                    "attrs may hold numbers, text, lists and dicts")


def _record(tracks: pd.DataFrame, missing_text: list[str], categorical: list[str]) -> str:
    record: dict[str, Any] = {"dtypes": {str(c): str(tracks[c].dtype) for c in tracks.columns}}
    if missing_text:
        record["missing_text"] = missing_text
    if categorical:
        record["categories"] = {name: {"values": list(tracks[name].cat.categories),
                                       "ordered": bool(tracks[name].cat.ordered)}
                                for name in categorical}
    if tracks.attrs:
        record["attrs"] = tracks.attrs
    return json.dumps(record, default=_plain, ensure_ascii=False)


def _write_csv(tracks: pd.DataFrame, record: str, out: BinaryIO) -> None:
    out.write(f"{TABLE_MARK}{record}\n".encode())
    tracks.to_csv(out, index=False, lineterminator="\n", encoding="utf-8")


def _check_parquet_columns(tracks: pd.DataFrame) -> None:
    for name in tracks.columns:
        dtype = tracks[name].dtype
        if isinstance(dtype, np.dtype) and (dtype.kind == "c" or (dtype.kind == "f" and dtype.itemsize > 8)):
            raise _refuse(name, dtype, "Parquet", "save the table as .csv, or convert the column")


def _write_parquet(tracks: pd.DataFrame, record: str, out: BinaryIO) -> None:
    import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
    import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]

    plain = tracks.copy(deep=False)
    plain.attrs = {}  # they travel in the record, which keeps NumPy values in attrs
    try:
        table = pa.Table.from_pandas(plain, preserve_index=False)
    except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError) as error:
        raise TypeError(f"tracks cannot be stored in Parquet: {error}") from None
    metadata = {**(table.schema.metadata or {}), PARQUET_KEY: record.encode()}
    pq.write_table(table.replace_schema_metadata(metadata), out)


def save(tracks: pd.DataFrame, path: str | os.PathLike[str], *, format: str | None = None) -> None:
    """Write a track table to a CSV or Parquet file, replacing the file only when complete.

    The table goes to a temporary file beside ``path`` that is renamed over ``path`` once
    written, so a reader never sees a partial file and an interrupted save leaves any earlier
    file intact. A symbolic link is followed (its target is replaced); a FIFO or device such as
    ``/dev/stdout`` is written in place.

    Parameters
    ----------
    tracks : pandas.DataFrame
        The table (any columns; the row index is not stored). ``tracks.attrs`` is stored too and
        comes back from :func:`load`; it may hold numbers, text, lists and dicts.
    path : str or os.PathLike
        Destination; ``.csv`` for CSV, ``.parquet`` or ``.pq`` for Parquet.
    format : {"csv", "parquet"}, optional
        The format, whatever the suffix (for a path such as ``/dev/stdout``).

    Raises
    ------
    TypeError
        If ``tracks`` is not a DataFrame, or holds a column the format cannot give back as it was
        (CSV: categories other than non-empty text, mixed objects, text with both empty and
        missing values; both formats:
        extended precision; Parquet: complex numbers); the message names the column.
    ValueError
        If the suffix of ``path`` is not one of the above, or a column name cannot be stored in
        CSV.
    ImportError
        For Parquet without pyarrow installed.
    OSError
        If the file cannot be written (the temporary file is then removed); the message names
        ``path``.

    Examples
    --------
    >>> save(tracks, "tracks.parquet")   # doctest: +SKIP
    """
    dataframe("tracks", tracks)
    kind = _format(path, format)
    if kind == "parquet":
        _need_pyarrow()
        _check_parquet_columns(tracks)
        record = _record(tracks, [], [])
    else:
        _check_csv_names(tracks)
        kinds = {name: _csv_kind(name, tracks[name]) for name in tracks.columns}
        record = _record(tracks, [n for n, k in kinds.items() if k == _TEXT and tracks[n].isna().any()],
                         [n for n, k in kinds.items() if k == _CATEGORY])
    with replacing(path) as out:
        (_write_parquet if kind == "parquet" else _write_csv)(tracks, record, out)


def _restore(table: pd.DataFrame, dtypes: Mapping[str, str], path: str) -> pd.DataFrame:
    if list(table.columns) != list(dtypes):
        raise ValueError(f"{path!r}: the dtype record does not match the columns")
    for name, dtype in dtypes.items():
        if str(table[name].dtype) != dtype:
            table[name] = table[name].astype(pd.api.types.pandas_dtype(dtype))
    return table


def _parse_csv_column(column: pd.Series, dtype: str) -> pd.Series:
    target = pd.api.types.pandas_dtype(dtype)
    if isinstance(target, pd.DatetimeTZDtype):
        parsed = pd.to_datetime(column, format="ISO8601", utc=True)
        return parsed.dt.tz_convert(target.tz).astype(target)
    if target.kind == "M":
        return pd.to_datetime(column, format="ISO8601").astype(target)
    if target.kind == "m":
        return pd.to_timedelta(column).astype(target)
    if target.kind == "c":
        numbers = [complex(v) if isinstance(v, str) else complex("nan") for v in column]
        return pd.Series(np.array(numbers, dtype=np.dtype(str(target))), index=column.index)
    return column.astype(target)


def _read_csv(path: str | os.PathLike[str]) -> pd.DataFrame:
    name = os.fspath(path)
    with open(path, encoding="utf-8", newline="") as source:
        first = source.readline()
        if first.startswith(LEGACY_DTYPE_MARK):
            legacy = dict(item.split("=", 1) for item in first[len(LEGACY_DTYPE_MARK):].split())
            table = pd.read_csv(source, dtype={c: t for c, t in legacy.items() if t != "bool"})
            return _restore(table, legacy, name)
        if not first.startswith(TABLE_MARK):
            source.seek(0)
            return pd.read_csv(source)
        try:
            record = json.loads(first[len(TABLE_MARK):])
            dtypes: dict[str, str] = record["dtypes"]
        except (ValueError, KeyError, TypeError):
            raise ValueError(f"{name!r}: the first line is not a readable table record") from None
        missing_text = set(record.get("missing_text", ()))
        categories = dict(record.get("categories", {}))
        direct: dict[str, Any] = {}
        later: dict[str, str] = {}
        na_values: dict[str, list[str]] = {}
        for column, dtype in dtypes.items():
            if column in categories:
                direct[column] = str
                na_values[column] = [""]
                continue
            target = pd.api.types.pandas_dtype(dtype)
            textual = isinstance(target, pd.StringDtype) or target == object
            if textual or target.kind in "mMc":
                direct[column] = str
                later[column] = dtype
            elif target == np.float16:
                direct[column] = "float64"  # the parser has no half precision; astype follows
            elif target.kind != "b" or not isinstance(target, np.dtype):
                direct[column] = dtype
            if not textual or column in missing_text:
                na_values[column] = [""]
        table = pd.read_csv(source, dtype=direct, keep_default_na=False, na_values=na_values)
    for column, dtype in later.items():
        if column in table:
            table[column] = _parse_csv_column(table[column], dtype)
    for column, kept in categories.items():
        if column in table:
            table[column] = table[column].astype(
                pd.CategoricalDtype(kept["values"], ordered=kept["ordered"]))
    table.attrs = dict(record.get("attrs", {}))
    return _restore(table, dtypes, name)


def load(path: str | os.PathLike[str], *, format: str | None = None) -> pd.DataFrame:
    """Read a track table written by :func:`save` (or any CSV or Parquet table).

    Parameters
    ----------
    path : str or os.PathLike
        ``.csv``, ``.parquet`` or ``.pq`` file.
    format : {"csv", "parquet"}, optional
        The format, whatever the suffix.

    Returns
    -------
    pandas.DataFrame
        The table with the dtypes it was saved with, a RangeIndex, and its ``attrs`` (for a
        table from the command line: ``parameters`` of the run and the package ``version``). A
        CSV file without the record gets the dtypes pandas infers.

    Raises
    ------
    ValueError
        If the suffix is not one of the above, or the record does not match the columns.
    ImportError
        For Parquet without pyarrow installed.
    OSError
        If the file cannot be read.

    Examples
    --------
    >>> tracks = load("tracks.parquet")   # doctest: +SKIP
    >>> tracks.attrs["parameters"]        # doctest: +SKIP
    """
    if _format(path, format) == "csv":
        return _read_csv(path)
    _need_pyarrow()
    import pyarrow.parquet as pq  # type: ignore[import-untyped,unused-ignore]

    table = pq.read_table(path)
    stored = (table.schema.metadata or {}).get(PARQUET_KEY)
    frame: pd.DataFrame = table.to_pandas()
    if stored is None:
        return frame
    record = json.loads(stored)
    frame.attrs = dict(record.get("attrs", {}))
    return _restore(frame, record["dtypes"], os.fspath(path))

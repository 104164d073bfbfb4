"""Track tables in files: CSV and Parquet, chosen by suffix, written atomically.

A CSV file starts with one comment line that records each column's dtype, so that ``load``
gives back the dtypes ``save`` was handed (float32 stays float32, integers stay integers);
plain CSV readers skip it with ``comment="#"``. Parquet keeps dtypes by itself and needs
pyarrow (the ``parquet`` extra). The row index is not stored: tables load with a fresh
RangeIndex.
"""

from __future__ import annotations

import importlib.util
import os
import uuid
from pathlib import Path

import pandas as pd

__all__ = ["save", "load"]

DTYPE_MARK = "# quorlin_track dtypes: "
FORMATS = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


def _format(path: str | os.PathLike[str]) -> str:
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(f"path must end in {', '.join(FORMATS)}, got {os.fspath(path)!r}")
    return FORMATS[suffix]


def _need_pyarrow() -> None:
    if importlib.util.find_spec("pyarrow") is None:
        raise ImportError("Parquet files need pyarrow: pip install 'quorlin[parquet]'")


def _check_csv_columns(tracks: pd.DataFrame) -> None:
    for name in tracks.columns:
        if not isinstance(name, str) or not name or any(c in name for c in " ,=\n\r\"#"):
            raise ValueError(f"tracks column {name!r} cannot be stored in CSV: names must be "
                             "non-empty strings without blanks, commas, '=', '#' or quotes")


def save(tracks: pd.DataFrame, path: str | os.PathLike[str]) -> None:
    """Write a track table to a CSV or Parquet file, replacing the file only when complete.

    The table goes to a temporary file beside ``path`` that is renamed over ``path`` once
    written, so a reader never sees a partial file and an interrupted save leaves any earlier
    file intact.

    Parameters
    ----------
    tracks : pandas.DataFrame
        The table (any columns; the row index is not stored).
    path : str or os.PathLike
        Destination; ``.csv`` for CSV, ``.parquet`` or ``.pq`` for Parquet.

    Raises
    ------
    TypeError
        If ``tracks`` is not a DataFrame.
    ValueError
        If the suffix of ``path`` is not one of the above, or a column name cannot be stored in
        CSV.
    ImportError
        For Parquet without pyarrow installed.
    OSError
        If the file cannot be written (the temporary file is then removed).

    Examples
    --------
    >>> save(tracks, "tracks.parquet")   # doctest: +SKIP
    """
    if not isinstance(tracks, pd.DataFrame):
        raise TypeError(f"tracks must be a pandas DataFrame, got {type(tracks).__name__}")
    kind = _format(path)
    if kind == "parquet":
        _need_pyarrow()
    else:
        _check_csv_columns(tracks)
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{uuid.uuid4().hex}.part")
    # O_EXCL: never write through a file or link that is already there; 0o666 lets the umask
    # decide the permissions, as for any newly created file.
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as out:
            if kind == "parquet":
                tracks.to_parquet(out, index=False, engine="pyarrow")
            else:
                dtypes = " ".join(f"{c}={tracks[c].dtype}" for c in tracks.columns)
                out.write(f"{DTYPE_MARK}{dtypes}\n".encode())
                tracks.to_csv(out, index=False, lineterminator="\n")
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def load(path: str | os.PathLike[str]) -> pd.DataFrame:
    """Read a track table written by :func:`save` (or any CSV or Parquet table).

    Parameters
    ----------
    path : str or os.PathLike
        ``.csv``, ``.parquet`` or ``.pq`` file.

    Returns
    -------
    pandas.DataFrame
        The table with the dtypes it was saved with and a RangeIndex. A CSV file without the
        dtype line gets the dtypes pandas infers.

    Raises
    ------
    ValueError
        If the suffix is not one of the above, or the dtype line does not match the columns.
    ImportError
        For Parquet without pyarrow installed.
    OSError
        If the file cannot be read.

    Examples
    --------
    >>> tracks = load("tracks.parquet")   # doctest: +SKIP
    """
    kind = _format(path)
    if kind == "parquet":
        _need_pyarrow()
        return pd.read_parquet(path, engine="pyarrow")
    with open(path, encoding="utf-8", newline="") as source:
        first = source.readline()
        if not first.startswith(DTYPE_MARK):
            source.seek(0)
            return pd.read_csv(source)
        dtypes = dict(item.split("=", 1) for item in first[len(DTYPE_MARK):].split())
        table = pd.read_csv(source, dtype={c: t for c, t in dtypes.items() if t != "bool"})
    if list(table.columns) != list(dtypes):
        raise ValueError(f"{os.fspath(path)!r}: the dtype line does not match the columns")
    return table.astype(dtypes)

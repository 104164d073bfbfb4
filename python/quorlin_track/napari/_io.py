"""napari reader and writers of track tables: a file written by ``qt.save`` or the command line
opens as a Points layer of its spots and, when it has particles, a Tracks layer; a Tracks or
Points layer saves back to such a file."""

from __future__ import annotations

import importlib.util
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

import pandas as pd

from ..columns import FRAME, PARTICLE, spatial_columns
from ..files import FORMATS, load, save
from ._tables import LayerData, spots_layer, table_from_layer, tracks_layer

__all__ = ["get_reader", "write_points", "write_tracks"]

Reader = Callable[[Any], list[LayerData]]


def _columns(path: Path) -> list[str]:
    """The column names of a table file, read from its head only."""
    if FORMATS[path.suffix.lower()] == "parquet":
        import pyarrow.parquet  # type: ignore[import-untyped,unused-ignore]

        return list(pyarrow.parquet.read_schema(path).names)
    return list(pd.read_csv(path, nrows=0, comment="#").columns)


def _is_track_table(path: str) -> bool:
    file = Path(path)
    if file.suffix.lower() not in FORMATS or not file.is_file():
        return False
    if FORMATS[file.suffix.lower()] == "parquet" and importlib.util.find_spec("pyarrow") is None:
        return True  # reading it then says what to install
    try:
        columns = _columns(file)
    except Exception:  # not a table at all: another reader's file
        return False
    return FRAME in columns and all(c in columns for c in spatial_columns(2))


def get_reader(path: str | Sequence[str]) -> Reader | None:
    """napari's reader hook: a reader for track tables, or None for any other file.

    Parameters
    ----------
    path : str or sequence of str
        The file(s) dropped on the viewer.

    Returns
    -------
    callable or None
        The reader when every file is a CSV or Parquet table with ``frame``, ``y`` and ``x``
        columns.
    """
    paths = [path] if isinstance(path, str) else list(path)
    if not paths or not all(_is_track_table(p) for p in paths):
        return None
    return read_tables


def read_tables(path: str | Sequence[str]) -> list[LayerData]:
    """The layers of track table files: spots as points and, with ``particle``, tracks.

    Parameters
    ----------
    path : str or sequence of str
        Files written by ``qt.save`` or ``quorlin-track``.

    Returns
    -------
    list of LayerData
        Per file: a Points layer named after the file, and a Tracks layer when the table has a
        ``particle`` column.
    """
    layers = []
    for one in [path] if isinstance(path, str) else path:
        table = load(one)
        name = Path(one).stem
        layers.append(spots_layer(table, f"{name} spots"))
        if PARTICLE in table.columns:
            layers.append(tracks_layer(table, f"{name} tracks"))
    return layers


def _write(kind: str, path: str, data: Any, meta: Mapping[str, Any]) -> list[str]:
    save(table_from_layer(data, meta, kind), path)
    return [path]


def write_tracks(path: str, data: Any, meta: Mapping[str, Any]) -> list[str]:
    """napari's writer of a Tracks layer: the track table (``particle``, ``frame``, positions and
    the layer's features), written with ``qt.save``.

    Parameters
    ----------
    path : str
        ``.csv``, ``.parquet`` or ``.pq`` file.
    data : array_like
        The layer's (N, 4) or (N, 5) data: track id, frame, [z,] y, x.
    meta : mapping
        The layer's attributes (``features``, ``metadata``).

    Returns
    -------
    list of str
        The path written.
    """
    return _write("tracks", path, data, meta)


def write_points(path: str, data: Any, meta: Mapping[str, Any]) -> list[str]:
    """napari's writer of a Points layer of spots: ``frame``, positions and the layer's features,
    written with ``qt.save``; the arguments are as for :func:`write_tracks`."""
    return _write("points", path, data, meta)

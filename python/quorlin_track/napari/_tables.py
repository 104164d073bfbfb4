"""Track tables and napari layers: the data of a Points and a Tracks layer from a table, a table
back from a layer, and the per-track quantities tracks are coloured by."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from ..columns import FRAME, PARTICLE, spatial_columns
from ..interop import to_napari
from ..tracks import track_table
from ..validation import table_columns

__all__ = ["DTYPES_KEY", "LayerData", "per_track", "spots_layer", "table_from_layer",
           "tracks_layer"]

#: napari's layer data tuple: (data, keyword arguments of the layer, layer type).
LayerData = tuple[Any, dict[str, Any], str]

#: The layer metadata entry that keeps the table's column dtypes, so that a table read into
#: layers and written back keeps them (a layer's coordinates are float64).
DTYPES_KEY = "quorlin_dtypes"

# Spot markers: a diffraction-limited spot is a few pixels wide; an open circle that size leaves
# the spot itself visible.
MARKER_SIZE = 7.0  # pixels
MARKER_BORDER = 0.1  # fraction of the marker's size
SPOT_COLOUR = "magenta"


def per_track(tracks: pd.DataFrame) -> pd.DataFrame:
    """One row per particle, the tracks are coloured by and exported as: :func:`track_table`
    in pixels and frames, with ``particle`` as a column.

    Examples
    --------
    >>> tracks = pd.DataFrame({"particle": [0, 0, 0], "frame": [0, 1, 3],
    ...                        "y": [0.0, 3.0, 3.0], "x": [0.0, 4.0, 8.0]})
    >>> per_track(tracks)[["particle", "points", "path_length", "mean_speed"]].to_dict("records")
    [{'particle': 0, 'points': 3, 'path_length': 9.0, 'mean_speed': 3.0}]
    """
    return track_table(tracks).reset_index()


def _dtypes(table: pd.DataFrame) -> dict[str, Any]:
    # The dtypes themselves, not their names: a category's name leaves out its categories.
    return {str(c): table[c].dtype for c in table.columns}


def spots_layer(table: pd.DataFrame, name: str, **layer: Any) -> LayerData:
    """A Points layer of every detection: coordinates (frame, [z,] y, x), the other columns as
    features.

    Parameters
    ----------
    table : pandas.DataFrame
        Detections with ``frame`` and ``y``, ``x`` (and ``z``) in pixels.
    name : str
        The layer's name.
    **layer
        Further keyword arguments of the layer (scale, translate, ...).

    Returns
    -------
    LayerData
        ``(data, keywords, "points")``.
    """
    axes = [FRAME, *spatial_columns(3 if "z" in table.columns else 2)]
    table_columns("spots", table, axes)
    features = table.drop(columns=axes).reset_index(drop=True)
    keywords = {"name": name, "features": features, "size": MARKER_SIZE,
                "face_color": "transparent", "border_color": SPOT_COLOUR,
                "border_width": MARKER_BORDER, "metadata": {DTYPES_KEY: _dtypes(table)}, **layer}
    return table[axes].to_numpy(np.float64), keywords, "points"


def tracks_layer(table: pd.DataFrame, name: str, color_by: str = PARTICLE,
                 quantities: pd.DataFrame | None = None, **layer: Any) -> LayerData:
    """A Tracks layer: one track per particle, the table's other columns and the particle's
    :func:`per_track` quantities as features.

    Per-track quantities that are NaN (a particle of one point has no speed) take the column's
    smallest value on the layer, so that colouring by them stays defined.

    Parameters
    ----------
    table : pandas.DataFrame
        Detections with ``particle``, ``frame`` and ``y``, ``x`` (and ``z``) in pixels.
    name : str
        The layer's name.
    color_by : str
        The feature that colours the tracks; ``"particle"`` uses the layer's own track ids.
    quantities : pandas.DataFrame, optional
        The table's :func:`per_track`, where the caller has it already.
    **layer
        Further keyword arguments of the layer.

    Returns
    -------
    LayerData
        ``(data, keywords, "tracks")``.

    Raises
    ------
    ValueError
        For a missing column or a particle or frame that is not a whole number.
    """
    data, properties = to_napari(table)
    features = pd.DataFrame(properties)
    by_particle = (per_track(table) if quantities is None else quantities).set_index(PARTICLE)
    by_particle = by_particle.fillna(by_particle.min())
    ids = data[:, 0].astype(np.int64)
    for column in by_particle.columns:
        features[column] = by_particle[column].reindex(ids).to_numpy()
    keywords = {"name": name, "features": features,
                "color_by": "track_id" if color_by == PARTICLE else color_by,
                "metadata": {DTYPES_KEY: _dtypes(table)}, **layer}
    return data, keywords, "tracks"


def table_from_layer(data: npt.ArrayLike, meta: Mapping[str, Any], kind: str) -> pd.DataFrame:
    """The table of a Points or Tracks layer: coordinates and features as columns.

    A layer made by :func:`spots_layer` or :func:`tracks_layer` gives back its table's columns,
    dtypes and order (rows in the layer's order); per-track quantities the layer carries only for
    colouring are left out. Other layers get ``frame`` (and ``particle``) as int64 and positions
    as float64.

    Parameters
    ----------
    data : array_like
        The layer's data: (N, 1 + ndim) points or (N, 2 + ndim) tracks.
    meta : mapping
        The layer's attributes as napari hands them to writers (``features``, ``metadata``).
    kind : {"points", "tracks"}
        The layer type.

    Returns
    -------
    pandas.DataFrame
        One row per point.

    Raises
    ------
    ValueError
        For points without a time axis or data of another shape.
    """
    coordinates = np.asarray(data, np.float64)
    extra = 1 if kind == "tracks" else 0
    ndim = coordinates.shape[1] - 1 - extra if coordinates.ndim == 2 else 0
    if ndim not in (2, 3):
        raise ValueError(f"a {kind} layer of data shape {coordinates.shape} is not (frame, y, x) "
                         "or (frame, z, y, x) positions")
    names = [PARTICLE] * extra + [FRAME, *spatial_columns(ndim)]
    table = pd.DataFrame(coordinates, columns=names)
    for whole in (FRAME, PARTICLE)[:1 + extra]:
        table[whole] = table[whole].astype(np.int64)
    features = meta.get("features")
    if isinstance(features, pd.DataFrame) and len(features) == len(table):
        for column in features.columns:
            if column not in table.columns:
                table[str(column)] = features[column].reset_index(drop=True)  # dtype kept
    dtypes = dict((meta.get("metadata") or {}).get(DTYPES_KEY, {}))
    if dtypes and set(dtypes) <= set(table.columns):
        table = table[list(dtypes)].astype(dtypes)
    elif PARTICLE in table.columns:
        table = table[[c for c in table.columns if c != PARTICLE] + [PARTICLE]]
    return table

"""Track tables handed to viewers: napari's Tracks layer."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd

from .validation import check_table, table_columns, whole_numbers

__all__ = ["to_napari"]


def to_napari(tracks: pd.DataFrame
              ) -> tuple[npt.NDArray[np.float64], dict[str, npt.NDArray[np.generic]]]:
    """Data and properties for napari's Tracks layer.

    Parameters
    ----------
    tracks : pandas.DataFrame
        One row per detection with the columns ``particle``, ``frame``, ``y``, ``x`` and, for
        volumes, ``z`` (pixels).

    Returns
    -------
    data : numpy.ndarray
        float64 array with one row per detection, sorted by particle then frame, and the
        columns particle, frame, [z,] y, x.
    properties : dict of str to numpy.ndarray
        Every other column of the table (e.g. ``intensity``), in the rows' order.

    Raises
    ------
    TypeError
        If ``tracks`` is not a DataFrame, or a position, particle or frame column holds something
        else than real numbers.
    ValueError
        If it is empty, lacks a needed column, or has a particle or frame that is not a whole
        number.

    Examples
    --------
    >>> data, properties = to_napari(tracks)                           # doctest: +SKIP
    >>> viewer.add_tracks(data, properties=properties, name="tracks")  # doctest: +SKIP
    """
    table = check_table(tracks, ["particle", "frame", "y", "x"])
    axes = ["particle", "frame", "z", "y", "x"] if "z" in table.columns else [
        "particle", "frame", "y", "x"]
    table_columns("tracks", table, axes[2:], numeric=axes[2:])
    for column in ("particle", "frame"):
        whole_numbers("tracks", table, column)
    ordered = table.sort_values(["particle", "frame"], kind="stable")
    data = ordered[axes].to_numpy(dtype=np.float64)
    properties = {str(c): ordered[c].to_numpy() for c in ordered.columns if c not in axes}
    return data, properties

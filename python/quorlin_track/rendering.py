"""Rendering of linked tracks into images (2-D) or volumes (3-D)."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorlin  # type: ignore[import-not-found,unused-ignore]  # an extension without stubs

from .columns import FRAME, INTENSITY, PARTICLE, spatial_columns
from .linking import table_ndim

__all__ = ["Rendering", "render"]

_MAX_END_INDEX = np.iinfo(np.int32).max  # the renderers take end indices as int32


class Rendering(NamedTuple):
    """Rendered tracks on a grid of square (cubic) cells.

    ``intensity[i, j]`` is the cell centred on ``y = extent[0] + i * pixel_size`` and
    ``x = extent[2] + j * pixel_size`` (in 3-D, ``intensity[k, i, j]`` with ``z`` first and the
    extent ``(z0, z1, y0, y1, x0, x1)``), in the table's units (pixels).
    """

    intensity: npt.NDArray[np.float32]
    """Per cell, the sum of the intensities interpolated along the tracks crossing it."""
    counts: npt.NDArray[np.uint32]
    """Per cell, the number of track samples."""
    value: npt.NDArray[np.float32] | None
    """Per cell, the intensity-weighted mean of the value (None without a value)."""
    extent: tuple[float, ...]
    """Lower bound and adjusted upper bound of the grid per axis, in axis order."""


def render(tracks: pd.DataFrame, pixel_size: float, value: str | npt.ArrayLike | None = None,
           extent: tuple[float, ...] | None = None) -> Rendering:
    """Draw linked tracks into a density image (2-D) or volume (3-D).

    Each particle is a polyline through its detections in frame order; every cell it crosses gets
    the intensity interpolated along it. A particle of one detection marks its cell.

    Parameters
    ----------
    tracks : pandas.DataFrame
        A table from :func:`link`: ``frame``, ``y``, ``x`` (``z``), ``intensity``, ``particle``.
    pixel_size : float
        Side of a grid cell, in the table's units (pixels).
    value : str or array_like, optional
        A column name or one value per row (for example a speed); adds the intensity-weighted
        mean value per cell.
    extent : tuple of float, optional
        Lower and upper bound per axis in axis order, ``(y0, y1, x0, x1)`` or
        ``(z0, z1, y0, y1, x0, x1)``; cells are centred on ``y0 + i * pixel_size`` and the grid
        holds ``(y1 - y0) / pixel_size`` of them. By default from the smallest position to one
        cell beyond the largest, per axis.

    Returns
    -------
    Rendering
        ``intensity``, ``counts``, ``value`` (or None) and the grid's ``extent``.

    Raises
    ------
    ValueError
        Missing columns, a value of the wrong length, or an extent of the wrong length.
    OverflowError
        More than 2**31 - 1 track points.

    Examples
    --------
    >>> import pandas as pd
    >>> tracks = pd.DataFrame({"frame": [0, 1], "y": [0.0, 0.0], "x": [0.0, 4.0],
    ...                        "intensity": [1.0, 1.0], "particle": [0, 0]})
    >>> render(tracks, pixel_size=1.0).counts.tolist()
    [[1, 1, 1, 1, 1]]
    """
    ndim = table_ndim(tracks, name="tracks")
    if PARTICLE not in tracks.columns:
        raise ValueError("tracks lacks the column particle; link the spots first")
    axes = spatial_columns(ndim)
    order = np.lexsort((tracks[FRAME].to_numpy(), tracks[PARTICLE].to_numpy()))
    columns = [tracks[name].to_numpy(dtype=np.float32)[order] for name in (*axes, INTENSITY)]
    if value is not None:
        values = tracks[value].to_numpy() if isinstance(value, str) else np.asarray(value)
        if values.shape != (len(tracks),):
            raise ValueError(f"value must hold one number per row ({len(tracks)}), got shape {values.shape}")
        columns.append(values.astype(np.float32)[order])
    matrix = np.ascontiguousarray(np.column_stack(columns), dtype=np.float32).reshape(len(tracks), len(columns))
    particles = tracks[PARTICLE].to_numpy()[order]
    ends = np.flatnonzero(np.diff(particles)) + 1
    ends = np.append(ends, len(particles)) if len(particles) else ends
    if len(ends) and ends[-1] > _MAX_END_INDEX:
        raise OverflowError(f"{ends[-1]} track points exceed the renderers' limit of {_MAX_END_INDEX}")
    if extent is None:
        # Cells are centred on lower + k * pixel_size, and the grid holds (upper - lower) /
        # pixel_size of them: one more pixel above the largest position keeps it on the grid.
        step = float(pixel_size)
        bounds = [(float(c.min()), float(c.max()) + step) if len(c) else (0.0, step)
                  for c in columns[:ndim]]
        extent = tuple(v for pair in bounds for v in pair)
    elif len(extent) != 2 * ndim:
        raise ValueError(f"extent must hold {2 * ndim} bounds (lower, upper per axis), got {len(extent)}")
    grid = tuple(float(v) for v in extent)
    ends32 = ends.astype(np.int32)
    if value is None:
        draw = quorlin.rs_draw_tracks if ndim == 2 else quorlin.rs_draw_tracks_3d
        image, counts, box = draw(matrix, ends32, grid, float(pixel_size))
        return Rendering(image, counts, None, tuple(box))
    draw_value = quorlin.rs_draw_tracks_value if ndim == 2 else quorlin.rs_draw_tracks_value_3d
    image, mean, counts, box = draw_value(matrix, ends32, grid, float(pixel_size))
    return Rendering(image, counts, mean, tuple(box))

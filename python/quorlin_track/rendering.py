"""Rendering of linked tracks into images (2-D) or volumes (3-D)."""

from __future__ import annotations

import logging
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorlin

from .columns import FRAME, INTENSITY, PARTICLE, spatial_columns
from .linking import table_ndim
from .validation import dataframe, keyword_only, real, table_columns

__all__ = ["Rendering", "render"]

_MAX_END_INDEX = np.iinfo(np.int32).max  # the renderers take end indices as int32
_log = logging.getLogger("quorlin_track")


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


@keyword_only("pass the cell size as pixel_size=... (and value=..., extent=...)")
def render(tracks: pd.DataFrame, *, pixel_size: float, value: str | npt.ArrayLike | None = None,
           extent: tuple[float, ...] | None = None) -> Rendering:
    """Draw linked tracks into a density image (2-D) or volume (3-D).

    Each particle is a polyline through its detections in frame order; every cell it crosses gets
    the intensity interpolated along it. A particle of one detection marks its cell. Rows whose
    position or intensity is not finite are left out (the polyline joins the rows around them),
    and rows whose value is not finite are left out of the value image only; each leaves a
    warning with its count on the ``quorlin_track`` logger.

    Parameters
    ----------
    tracks : pandas.DataFrame
        A table from :func:`link`: ``frame``, ``y``, ``x`` (``z``), ``intensity``, ``particle``.
    pixel_size : float
        Side of a grid cell, in the table's units (pixels); keyword-only, as are the others.
    value : str or array_like, optional
        A column name or one value per row (for example a speed); adds the intensity-weighted
        mean value per cell.
    extent : tuple of float, optional
        Lower and upper bound per axis in axis order, ``(y0, y1, x0, x1)`` or
        ``(z0, z1, y0, y1, x0, x1)``; cells are centred on ``y0 + i * pixel_size`` and the grid
        holds ``(y1 - y0) / pixel_size`` of them. By default from the smallest finite position to
        one cell beyond the largest, per axis.

    Returns
    -------
    Rendering
        ``intensity``, ``counts``, ``value`` (or None) and the grid's ``extent``.

    Raises
    ------
    TypeError
        ``tracks`` is not a DataFrame, ``pixel_size`` or an extent bound is not a number, or a
        further argument is passed by position.
    ValueError
        Missing columns, a ``pixel_size`` that is not positive and finite, a value of the wrong
        length, or an extent of the wrong length or with a bound that is not finite.
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
    dataframe("tracks", tracks)
    ndim = table_ndim(tracks, name="tracks")
    if PARTICLE not in tracks.columns:
        raise ValueError("tracks lacks the column particle; link the spots first")
    axes = spatial_columns(ndim)
    table_columns("tracks", tracks, [FRAME, PARTICLE, *axes, INTENSITY],
                  numeric=[FRAME, PARTICLE, *axes, INTENSITY])
    step = real("pixel_size", pixel_size, low=0, low_open=True, unit="pixels")
    values = None
    if value is not None:
        if isinstance(value, str):
            if value not in tracks.columns:
                raise ValueError(f"value must name a column of tracks or hold one number per row; tracks "
                                 f"has no column {value!r}")
            table_columns("tracks", tracks, [value], numeric=[value])
        values = np.asarray(tracks[value].to_numpy() if isinstance(value, str) else value)
        if values.shape != (len(tracks),):
            raise ValueError(f"value must hold one number per row ({len(tracks)}), got shape {values.shape}")
        if values.dtype.kind not in "iuf":
            raise TypeError(f"value must hold real numbers, got {values.dtype}")
    if extent is not None:
        if not isinstance(extent, (tuple, list)) or len(extent) != 2 * ndim:
            raise ValueError(f"extent must hold {2 * ndim} bounds (lower, upper per axis), got "
                             f"{len(extent) if isinstance(extent, (tuple, list)) else extent!r}")
        extent = tuple(real(f"extent[{k}]", v, unit="pixels") for k, v in enumerate(extent))
    order = np.lexsort((tracks[FRAME].to_numpy(), tracks[PARTICLE].to_numpy()))
    columns = [tracks[name].to_numpy(dtype=np.float32)[order] for name in (*axes, INTENSITY)]
    finite = np.logical_and.reduce([np.isfinite(c) for c in columns]) if len(tracks) else np.ones(0, bool)
    _report(len(tracks) - int(finite.sum()), len(tracks), f"{', '.join(axes)} or {INTENSITY}")
    particles = tracks[PARTICLE].to_numpy()[order][finite]
    columns = [c[finite] for c in columns]
    if extent is None:
        # Cells are centred on lower + k * pixel_size, and the grid holds (upper - lower) /
        # pixel_size of them: one more pixel above the largest position keeps it on the grid.
        bounds = [(float(c.min()), float(c.max()) + step) if len(c) else (0.0, step)
                  for c in columns[:ndim]]
        extent = tuple(v for pair in bounds for v in pair)
    grid = tuple(float(v) for v in extent)
    draw = quorlin.rs_draw_tracks if ndim == 2 else quorlin.rs_draw_tracks_3d
    if values is None:
        image, counts, box = _drawn(draw, columns, particles, grid, step)
        return Rendering(image, counts, None, tuple(box))
    ordered = values.astype(np.float32)[order][finite]
    valued = np.isfinite(ordered)
    draw_value = quorlin.rs_draw_tracks_value if ndim == 2 else quorlin.rs_draw_tracks_value_3d
    if valued.all():
        image, mean, counts, box = _drawn(draw_value, [*columns, ordered], particles, grid, step)
        return Rendering(image, counts, mean, tuple(box))
    _report(len(valued) - int(valued.sum()), len(valued), "value", " from the value image")
    image, counts, box = _drawn(draw, columns, particles, grid, step)
    kept = [c[valued] for c in (*columns, ordered)]
    _, mean, _, _ = _drawn(draw_value, kept, particles[valued], grid, step)
    return Rendering(image, counts, mean, tuple(box))


def _drawn(draw: Any, columns: list[npt.NDArray[np.float32]], particles: npt.NDArray[Any],
           grid: tuple[float, ...], step: float) -> Any:
    """One raw renderer's result; a failed allocation inside it (which the raw module reports as a
    bare MemoryError) says what did not fit."""
    try:
        return draw(*_tracks_matrix(columns, particles), grid, step)
    except MemoryError as error:
        if str(error):
            raise
        raise MemoryError(f"not enough memory to render {len(particles)} track points in cells of "
                          f"{step:g} pixels over the extent {grid}") from error


def _report(dropped: int, rows: int, what: str, where: str = "") -> None:
    if dropped:
        _log.warning("render: left out %d of %d rows whose %s is not finite%s", dropped, rows,
                     what, where)


def _tracks_matrix(columns: list[npt.NDArray[np.float32]], particles: npt.NDArray[Any]
                   ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32]]:
    """The renderers' point matrix and the int32 end row of each particle's run."""
    matrix = np.ascontiguousarray(np.column_stack(columns), dtype=np.float32).reshape(
        len(particles), len(columns))
    ends = np.flatnonzero(np.diff(particles)) + 1
    ends = np.append(ends, len(particles)) if len(particles) else ends
    if len(ends) and ends[-1] > _MAX_END_INDEX:
        raise OverflowError(f"{ends[-1]} track points exceed the renderers' limit of {_MAX_END_INDEX}")
    return matrix, ends.astype(np.int32)

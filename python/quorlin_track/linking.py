"""Linking of a detection table into particles."""

from __future__ import annotations

from numbers import Integral, Real

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native
from .columns import FRAME, INTENSITY, PARTICLE, spatial_columns

__all__ = ["link", "table_ndim"]


def table_ndim(spots: pd.DataFrame) -> int:
    """Spatial dimensions of a table: 3 when it has a ``z`` column, else 2.

    Parameters
    ----------
    spots : pandas.DataFrame
        A table of detections.

    Returns
    -------
    int
        2 or 3.

    Raises
    ------
    ValueError
        When a spatial column, ``frame`` or ``intensity`` is missing.

    Examples
    --------
    >>> import pandas as pd
    >>> table_ndim(pd.DataFrame(columns=["frame", "y", "x", "intensity"]))
    2
    """
    ndim = 3 if "z" in spots.columns else 2
    missing = [c for c in (FRAME, *spatial_columns(ndim), INTENSITY) if c not in spots.columns]
    if missing:
        raise ValueError(f"spots lacks the column(s) {', '.join(missing)}")
    return ndim


def link(spots: pd.DataFrame, max_distance: float, max_skip: int = 0,
         max_intensity_ratio: float | None = None) -> pd.DataFrame:
    """Link the detections of successive frames into particles.

    Every pair of frames up to ``max_skip + 1`` apart is solved by an exact optimal assignment
    (least total distance) under the distance gate; links of shorter gaps take precedence. The
    links are exactly those of ``quorlin.rs_link_points`` (``rs_link_points_3d`` for tables with a
    ``z`` column) on the same per-frame points, taken in table order within each frame.

    Parameters
    ----------
    spots : pandas.DataFrame
        Detections with the columns ``frame`` (integers), ``y``, ``x`` (and ``z`` for volumes) in
        pixels, and ``intensity``, as :func:`batch` returns them.
    max_distance : float
        Longest link, in pixels (the distance between the two positions, whatever the gap).
    max_skip : int
        Number of frames a particle may be missing between two detections.
    max_intensity_ratio : float, optional
        2-D only: refuse a link when either intensity exceeds this many times the other.

    Returns
    -------
    pandas.DataFrame
        A copy of ``spots`` (same rows, same order) with the int64 column ``particle``. Every
        detection keeps its row; one without any link is a particle of its own. Particles are
        numbered from 0 in the order of their first detection (frame, then table order).

    Raises
    ------
    ValueError
        Missing columns, non-integer frames, a negative ``max_skip``, a ``max_distance`` that is
        not positive and finite, or an intensity ratio for a 3-D table.

    Examples
    --------
    >>> import pandas as pd
    >>> spots = pd.DataFrame({"frame": [0, 0, 1, 1], "y": [1.0, 9.0, 9.5, 1.2],
    ...                       "x": [1.0, 9.0, 9.0, 1.1], "intensity": [5.0, 5.0, 5.0, 5.0]})
    >>> link(spots, max_distance=2)["particle"].tolist()
    [0, 1, 1, 0]
    """
    ndim = table_ndim(spots)
    if isinstance(max_skip, bool) or not isinstance(max_skip, Integral) or max_skip < 0:
        raise ValueError(f"max_skip must be a non-negative integer (frames), got {max_skip!r}")
    if not isinstance(max_distance, Real):
        raise TypeError(f"max_distance must be a number (pixels), got {type(max_distance).__name__}")
    if max_intensity_ratio is not None:
        if ndim == 3:
            raise ValueError("max_intensity_ratio applies to 2-D tables only")
        if not isinstance(max_intensity_ratio, Real):
            raise TypeError("max_intensity_ratio must be None or a number")
    frames = _frame_numbers(spots)
    order = np.argsort(frames, kind="stable")
    points = np.empty((len(spots), ndim + 1), dtype=np.float32)
    for k, name in enumerate((*spatial_columns(ndim), INTENSITY)):
        points[:, k] = spots[name].to_numpy(dtype=np.float32)[order]
    first = int(frames.min()) if len(frames) else 0
    per_frame = np.bincount(frames - first) if len(frames) else np.zeros(0, np.int64)
    frame_begin = np.concatenate([[0], np.cumsum(per_frame)]).astype(np.uint64)
    ids = _native.link_particles(points, frame_begin, float(max_distance), int(max_skip),
                                 None if max_intensity_ratio is None else float(max_intensity_ratio))
    particle = np.empty(len(spots), dtype=np.int64)
    particle[order] = ids
    linked = spots.copy()
    linked[PARTICLE] = particle
    return linked


def _frame_numbers(spots: pd.DataFrame) -> npt.NDArray[np.int64]:
    values = spots[FRAME].to_numpy()
    if values.dtype.kind not in "iu":
        if values.dtype.kind != "f" or not np.all(np.isfinite(values)) or np.any(values != np.round(values)):
            raise ValueError("spots['frame'] must hold whole frame numbers")
    return values.astype(np.int64)

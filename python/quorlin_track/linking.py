"""Linking of a detection table into particles."""

from __future__ import annotations

from numbers import Integral, Real

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native
from .columns import FRAME, INTENSITY, PARTICLE, spatial_columns
from .validation import choice, real

__all__ = ["MOTIONS", "link", "table_ndim"]

#: The motion models of :func:`link`.
MOTIONS = ("position", "velocity", "drift")


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
         max_intensity_ratio: float | None = None, *, motion: str = "position",
         initial_distance: float | None = None) -> pd.DataFrame:
    """Link the detections of successive frames into particles.

    With ``motion="position"`` every pair of frames up to ``max_skip + 1`` apart is solved by an
    exact optimal assignment (least total distance) under the distance gate; links of shorter gaps
    take precedence. The links are exactly those of ``quorlin.rs_link_points``
    (``rs_link_points_3d`` for tables with a ``z`` column) on the same per-frame points, taken in
    table order within each frame.

    With ``motion="velocity"`` or ``"drift"`` the tracks are carried forward frame by frame: each
    open track (seen at most ``max_skip + 1`` frames before) is predicted where its motion takes
    it, and each frame's detections are assigned to the predictions by an exact optimal
    assignment (least total distance to the predictions; staying unlinked costs
    ``max_distance``). ``"velocity"``: a track's next position is its last one plus its last step
    per frame times the frames ahead, the step scaled by the track's persistence (how much its
    steps have repeated their predecessors, from 0 for diffusion to 1 for directed motion; a
    steady-state constant-velocity Kalman filter whose gain each track learns). ``"drift"``: all
    tracks share one velocity, the median step of the previous frame's unambiguous links (a stage
    or a flow). Across a gap the prediction runs over the missing frames. A track without a
    velocity yet (its first link; under ``"drift"`` every link before the first) is gated by
    ``initial_distance`` around its last position, and of its candidates the one whose straight
    continuation meets a detection of the next frames is preferred.

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
    motion : {"position", "velocity", "drift"}
        Where a particle is expected: where it was (the default), where its own recent motion
        takes it, or where the common motion of all particles takes it.
    initial_distance : float, optional
        ``"velocity"`` and ``"drift"`` only: longest link, in pixels, of a track without a
        velocity (from its last position); ``max_distance`` is then the gate around the predicted
        position. By default ``max_distance``. Set it to the longest step per frame (e.g. 7 for
        motion of up to 6 pixels per frame) and ``max_distance`` to the prediction's error (2-4).

    Returns
    -------
    pandas.DataFrame
        A copy of ``spots`` (same rows, same order) with the int64 column ``particle``. Every
        detection keeps its row; one without any link is a particle of its own. Particles are
        numbered from 0 in the order of their first detection (frame, then table order).

    Raises
    ------
    ValueError
        Missing columns, non-integer frames, a negative ``max_skip``, a ``max_distance`` (or
        ``initial_distance``) that is not positive and finite, an unknown ``motion``, an
        ``initial_distance`` with ``motion="position"``, or an intensity ratio for a 3-D table.

    Examples
    --------
    >>> import pandas as pd
    >>> spots = pd.DataFrame({"frame": [0, 0, 1, 1], "y": [1.0, 9.0, 9.5, 1.2],
    ...                       "x": [1.0, 9.0, 9.0, 1.1], "intensity": [5.0, 5.0, 5.0, 5.0]})
    >>> link(spots, max_distance=2)["particle"].tolist()
    [0, 1, 1, 0]

    Two particles moving 5 pixels per frame in opposite directions pass 2 pixels apart; predicted
    from their own steps they keep their identities where the nearest detection would swap them:

    >>> passing = pd.DataFrame({"frame": [0, 0, 1, 1, 2, 2, 3, 3],
    ...                         "y": [0.0, 2.0, 0.0, 2.0, 0.0, 2.0, 0.0, 2.0],
    ...                         "x": [0.0, 15.0, 5.0, 10.0, 10.0, 5.0, 15.0, 0.0],
    ...                         "intensity": 1.0})
    >>> link(passing, max_distance=2, motion="velocity", initial_distance=6)["particle"].tolist()
    [0, 1, 0, 1, 0, 1, 0, 1]
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
    motion = choice("motion", motion, MOTIONS)
    if initial_distance is not None:
        if motion == "position":
            raise ValueError("initial_distance applies to motion 'velocity' or 'drift' only")
        initial_distance = real("initial_distance", initial_distance, low=0, low_open=True,
                                unit="pixels")
    frames = _frame_numbers(spots)
    order = np.argsort(frames, kind="stable")
    points = np.empty((len(spots), ndim + 1), dtype=np.float32)
    for k, name in enumerate((*spatial_columns(ndim), INTENSITY)):
        points[:, k] = spots[name].to_numpy(dtype=np.float32)[order]
    if motion != "position":
        ratio = None if max_intensity_ratio is None else float(max_intensity_ratio)
        gate = float(max_distance) if initial_distance is None else initial_distance
        return _with_particles(spots, order, _link_moving(points, frames[order], float(max_distance),
                                                          int(max_skip), ratio, motion, gate))
    first = int(frames.min()) if len(frames) else 0
    per_frame = np.bincount(frames - first) if len(frames) else np.zeros(0, np.int64)
    frame_begin = np.concatenate([[0], np.cumsum(per_frame)]).astype(np.uint64)
    ids = _native.link_particles(points, frame_begin, float(max_distance), int(max_skip),
                                 None if max_intensity_ratio is None else float(max_intensity_ratio))
    return _with_particles(spots, order, ids)


def _with_particles(spots: pd.DataFrame, order: npt.NDArray[np.intp],
                    ids: npt.NDArray[np.int64]) -> pd.DataFrame:
    """A copy of ``spots`` with the particle ids, given for its rows in ``order``."""
    particle = np.empty(len(spots), dtype=np.int64)
    particle[order] = ids
    linked = spots.copy()
    linked[PARTICLE] = particle
    return linked


def _link_moving(points: npt.NDArray[np.float32], frames: npt.NDArray[np.int64], max_distance: float,
                 max_skip: int, ratio: float | None, motion: str,
                 initial_distance: float) -> npt.NDArray[np.int64]:
    """Particle ids of the ``points`` (sorted by their ``frames``) under a motion model; only
    frames that hold detections are handed over, so the work follows the detections."""
    begin = np.flatnonzero(np.diff(frames)) + 1
    frame_begin = np.concatenate([[0], begin, [len(frames)]]).astype(np.uint64)
    numbers = frames[np.concatenate([[0], begin])] if len(frames) else frames
    return _native.link_particles_moving(points, numbers, frame_begin, max_distance, max_skip, ratio,
                                         motion, initial_distance)


def _frame_numbers(spots: pd.DataFrame) -> npt.NDArray[np.int64]:
    values = spots[FRAME].to_numpy()
    if values.dtype.kind not in "iu":
        if values.dtype.kind != "f" or not np.all(np.isfinite(values)) or np.any(values != np.round(values)):
            raise ValueError("spots['frame'] must hold whole frame numbers")
    return values.astype(np.int64)

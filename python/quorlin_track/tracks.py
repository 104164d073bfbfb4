"""Results per track: one row per particle with its time span, path, speed, straightness, turning
and diffusion."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native
from .analysis import diffusion
from .columns import FRAME, PARTICLE
from .validation import dataframe, integer, keyword_only, real, table_columns, whole_numbers

__all__ = ["track_table"]

FloatArray = npt.NDArray[np.float64]

#: The columns of :func:`track_table`, in order.
TRACK_COLUMNS = ("first_frame", "last_frame", "points", "duration", "path_length",
                 "net_displacement", "mean_speed", "straightness", "mean_turning_angle", "D",
                 "D_stderr", "alpha", "alpha_stderr", "msd_lags")


@keyword_only("pass the scales as pixel_size=... and frame_interval=...")
def track_table(tracks: pd.DataFrame, *, pixel_size: float = 1.0, frame_interval: float = 1.0,
                max_lagtime: int = 10) -> pd.DataFrame:
    """One row of results per particle of a track table.

    The path measures are summed natively, track by track in parallel; the diffusion fit is
    :func:`diffusion`'s.

    Parameters
    ----------
    tracks : pandas.DataFrame
        One row per detection with the columns ``frame``, ``particle``, ``y``, ``x`` (and ``z``
        for volumes), positions in pixels, as :func:`link` returns them; rows in any order.
    pixel_size : float, default 1
        Size of a pixel in your length unit (e.g. µm).
    frame_interval : float, default 1
        Time between frames in your time unit (e.g. s).
    max_lagtime : int, default 10
        Longest lag, in frames, of the diffusion fit.

    Returns
    -------
    pandas.DataFrame
        Indexed by ``particle`` (ascending), with the columns

        - ``first_frame``, ``last_frame``: the particle's first and last frame numbers;
        - ``points``: its detections;
        - ``duration``: (last − first frame) × ``frame_interval``;
        - ``path_length``: the summed distances between successive detections (length unit);
        - ``net_displacement``: the distance from the first to the last detection;
        - ``mean_speed``: ``path_length / duration`` (length per time unit);
        - ``straightness``: ``net_displacement / path_length``, 1 for a straight path;
        - ``mean_turning_angle``: the mean unsigned angle (radians, 0 to π) between successive
          steps of non-zero length: near 0 for directed motion, π/2 for diffusion;
        - ``D`` (length²/time), ``D_stderr``, ``alpha``, ``alpha_stderr``, ``msd_lags``: the
          fit of the particle's own mean squared displacement, exactly as :func:`diffusion`
          gives it (``msd_lags`` is its ``points``, the lags fitted).

        Where a quantity needs more than the track has it is NaN: speed and straightness of a
        single detection or of a path of length 0, the turning angle with fewer than two steps,
        ``D`` and ``alpha`` with fewer than two lags fitted, their errors with fewer than three.

    Raises
    ------
    TypeError
        ``tracks`` is not a DataFrame, a column does not hold numbers, or a scale is not a number.
    ValueError
        A missing column, a frame or particle that is not a whole number, two rows of one particle
        in the same frame, a position that is not finite, or a scale that is not positive.

    Examples
    --------
    >>> import pandas as pd
    >>> tracks = pd.DataFrame({"frame": [0, 1, 2, 0], "particle": [0, 0, 0, 1],
    ...                        "y": [0.0, 3.0, 6.0, 5.0], "x": [0.0, 4.0, 0.0, 5.0]})
    >>> table = track_table(tracks, pixel_size=0.5, frame_interval=0.1)
    >>> table[["points", "duration", "path_length", "net_displacement", "straightness"]]
              points  duration  path_length  net_displacement  straightness
    particle
    0              3       0.2          5.0               3.0           0.6
    1              1       0.0          0.0               0.0           NaN
    >>> print(f"{table.loc[0, 'mean_speed']:.6g} {table.loc[0, 'mean_turning_angle']:.6g}")
    25 1.85459
    """
    dataframe("tracks", tracks)
    axes = ["z", "y", "x"] if "z" in tracks.columns else ["y", "x"]
    table_columns("tracks", tracks, [FRAME, PARTICLE, *axes], numeric=[FRAME, PARTICLE, *axes])
    scale = real("pixel_size", pixel_size, low=0, low_open=True, unit="length unit per pixel")
    interval = real("frame_interval", frame_interval, low=0, low_open=True,
                    unit="time unit per frame")
    lags = integer("max_lagtime", max_lagtime, low=1, unit="frames")

    if len(tracks) == 0:
        empty = pd.DataFrame({c: pd.Series(dtype=np.int64 if c in ("first_frame", "last_frame",
                                                                    "points", "msd_lags")
                                           else np.float64) for c in TRACK_COLUMNS})
        return empty.rename_axis(PARTICLE)
    frames = whole_numbers("tracks", tracks, FRAME)
    particles = whole_numbers("tracks", tracks, PARTICLE)
    order = np.argsort(particles, kind="stable")  # a table in frame order needs no more
    frames, particles = frames[order], particles[order]
    same = particles[1:] == particles[:-1]
    if np.any(same & (frames[1:] < frames[:-1])):
        resorted = np.lexsort((frames, particles))
        order, frames = order[resorted], frames[resorted]
    positions = tracks[axes].to_numpy(dtype=np.float64)[order]
    if not np.all(np.isfinite(positions)):
        raise ValueError(f"tracks columns {', '.join(map(repr, axes))} must hold finite "
                         "positions (no NaN or infinity)")
    repeated = same & (frames[1:] == frames[:-1])
    if np.any(repeated):
        at = int(np.flatnonzero(repeated)[0])
        raise ValueError(f"tracks has two rows for particle {particles[at]} in frame {frames[at]}")

    starts = np.concatenate(([0], np.flatnonzero(~same) + 1, [len(particles)])).astype(np.int64)
    first, last = starts[:-1], starts[1:] - 1
    path, net, turned, turns = _native.track_geometry(positions, starts)
    path *= scale
    net *= scale
    duration = (frames[last] - frames[first]) * interval
    with np.errstate(divide="ignore", invalid="ignore"):
        columns: dict[str, Any] = {
            "first_frame": frames[first],
            "last_frame": frames[last],
            "points": last - first + 1,
            "duration": duration,
            "path_length": path,
            "net_displacement": net,
            "mean_speed": np.where(duration > 0, path / duration, np.nan),
            "straightness": np.where(path > 0, net / path, np.nan),
            "mean_turning_angle": np.where(turns > 0, turned / turns, np.nan),
        }
    index = pd.Index(particles[first], name=PARTICLE)
    result = pd.DataFrame(columns, index=index)
    return result.join(_fits(frames, particles, positions, axes, scale, interval, lags, index))


def _fits(frames: npt.NDArray[np.int64], particles: npt.NDArray[np.int64], positions: FloatArray,
          axes: list[str], scale: float, interval: float, lags: int,
          index: pd.Index) -> pd.DataFrame:
    """The diffusion fit of every particle seen in two frames or more (rows sorted by particle,
    then frame); NaN for the others."""
    names = ["D", "D_stderr", "alpha", "alpha_stderr"]
    if not np.any(particles[1:] == particles[:-1]):  # no displacement to fit
        fits = pd.DataFrame(np.nan, index=index, columns=names)
        fits["msd_lags"] = np.zeros(len(index), dtype=np.int64)
        return fits
    table = pd.DataFrame({FRAME: frames, PARTICLE: particles,
                          **{a: positions[:, k] for k, a in enumerate(axes)}}, copy=False)
    fitted = diffusion(table, mpp=scale, fps=1.0 / interval, max_lagtime=lags, dims=len(axes),
                       pos_columns=axes).reindex(index)
    fits = fitted[names].copy()
    fits["msd_lags"] = fitted["points"].fillna(0).to_numpy(dtype=np.int64)
    return fits

"""Mean squared displacements and diffusion coefficients of track tables.

Displacements are taken between detections of the same particle whose ``frame`` numbers differ by
the lag, so a track that skips frames contributes exactly the lags it really has. The pair sums
are computed natively (in parallel over tracks); everything here is whole-array NumPy.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native

__all__ = ["imsd", "emsd", "diffusion"]

FloatArray = npt.NDArray[np.float64]
PositionColumns = Sequence[str] | None
Scale = float | Sequence[float]


def check_table(tracks: object, columns: Sequence[str], name: str = "tracks") -> pd.DataFrame:
    """Return ``tracks`` if it is a non-empty DataFrame holding ``columns``, else raise.

    Parameters
    ----------
    tracks : object
        The table to check.
    columns : sequence of str
        Columns it must have.
    name : str, default "tracks"
        The argument's name, used in the messages.

    Returns
    -------
    pandas.DataFrame
        ``tracks`` itself.

    Raises
    ------
    TypeError
        If ``tracks`` is not a pandas DataFrame.
    ValueError
        If it is empty or lacks one of ``columns`` (all missing ones are named).
    """
    if not isinstance(tracks, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, got {type(tracks).__name__}")
    missing = [c for c in columns if c not in tracks.columns]
    if missing:
        raise ValueError(f"{name} lacks the column(s) {', '.join(map(repr, missing))}")
    if len(tracks) == 0:
        raise ValueError(f"{name} is empty")
    return tracks


def _positive(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a positive number, got {value!r}")
    number = float(value)
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"{name} must be a positive number, got {value!r}")
    return number


def _scale(mpp: object, axes: int) -> float | FloatArray:
    """``mpp`` as one positive factor, or one per position column."""
    if isinstance(mpp, numbers.Real):
        return _positive(mpp, "mpp")
    if isinstance(mpp, (str, bytes)) or not isinstance(mpp, (Sequence, np.ndarray)):
        raise TypeError(f"mpp must be a positive number or one per position column, got {mpp!r}")
    if len(mpp) != axes:
        raise ValueError(f"mpp must hold one value per position column ({axes}), got {len(mpp)}")
    return np.array([_positive(v, "mpp") for v in mpp], dtype=np.float64)


def _max_lag(max_lagtime: object) -> int:
    if isinstance(max_lagtime, bool) or not isinstance(max_lagtime, numbers.Integral):
        raise TypeError(f"max_lagtime must be an integer >= 1, got {max_lagtime!r}")
    if max_lagtime < 1:
        raise ValueError(f"max_lagtime must be an integer >= 1, got {max_lagtime!r}")
    return int(max_lagtime)


def _position_columns(tracks: object, pos_columns: PositionColumns) -> list[str]:
    if pos_columns is not None:
        if isinstance(pos_columns, str) or len(pos_columns) == 0:
            raise ValueError("pos_columns must be a non-empty list of column names")
        return list(pos_columns)
    has_z = isinstance(tracks, pd.DataFrame) and "z" in tracks.columns
    return ["x", "y", "z"] if has_z else ["x", "y"]


def _integer_column(tracks: pd.DataFrame, column: str) -> npt.NDArray[np.int64]:
    values = tracks[column].to_numpy()
    if values.dtype.kind in "iu":
        return values.astype(np.int64, copy=False)
    as_float = values.astype(np.float64)
    if not np.all(np.isfinite(as_float)) or np.any(as_float != np.round(as_float)):
        raise ValueError(f"tracks column {column!r} must hold whole numbers (no NaN)")
    return as_float.astype(np.int64)


@dataclass(frozen=True)
class _Displacements:
    """Pair statistics of every track of a table, lags 1 to ``lags`` frames."""

    particles: npt.NDArray[np.int64]
    spans: npt.NDArray[np.int64]  # last frame - first frame + 1
    detections: npt.NDArray[np.int64]
    counts: npt.NDArray[np.uint64]  # (tracks, lags)
    sums: FloatArray  # (tracks, lags, axes), physical units
    squared_sums: FloatArray
    lags: npt.NDArray[np.int64]
    lagtimes: FloatArray
    axes: list[str]


def _displacements(tracks: object, mpp: object, fps: object, max_lagtime: object,
                   pos_columns: PositionColumns) -> _Displacements:
    axes = _position_columns(tracks, pos_columns)
    table = check_table(tracks, ["frame", "particle", *axes])
    scale = _scale(mpp, len(axes))
    rate = _positive(fps, "fps")
    max_lag = _max_lag(max_lagtime)

    frames = _integer_column(table, "frame")
    particle_ids = _integer_column(table, "particle")
    positions = table[axes].to_numpy(dtype=np.float64) * scale
    step = np.diff(particle_ids)
    if not np.all((step > 0) | ((step == 0) & (np.diff(frames) >= 0))):  # not yet in order
        order = np.lexsort((frames, particle_ids))
        frames, particle_ids, positions = frames[order], particle_ids[order], positions[order]
    positions = np.ascontiguousarray(positions)
    if not np.all(np.isfinite(positions)):
        raise ValueError(f"tracks columns {', '.join(map(repr, axes))} must hold finite "
                         "positions (no NaN or infinity)")

    new_track = np.flatnonzero(np.diff(particle_ids)) + 1
    starts = np.concatenate(([0], new_track, [len(frames)])).astype(np.int64)
    same_particle = np.diff(particle_ids) == 0
    repeated = same_particle & (np.diff(frames) == 0)
    if np.any(repeated):
        at = int(np.flatnonzero(repeated)[0])
        raise ValueError(f"tracks has two rows for particle {particle_ids[at]} in frame "
                         f"{frames[at]}")
    spans = frames[starts[1:] - 1] - frames[starts[:-1]] + 1
    lags_needed = min(max_lag, int(spans.max()) - 1)
    if lags_needed < 1:
        raise ValueError("tracks has no particle seen in two frames: no displacement to measure")
    counts, sums, squared = _native.displacement_sums(frames, positions, starts, lags_needed)
    lags = np.arange(1, lags_needed + 1, dtype=np.int64)
    return _Displacements(particles=particle_ids[starts[:-1]], spans=spans,
                          detections=np.diff(starts), counts=counts, sums=sums,
                          squared_sums=squared, lags=lags, lagtimes=lags / rate, axes=axes)


def _independent_measurements(d: _Displacements) -> FloatArray:
    """Effective number of independent squared displacements per track and lag.

    For a track spanning n frames the squared displacements of lag t overlap; the number of
    independent ones follows Qian, Sheetz & Elson (Biophys. J. 60, 910, 1991). A track with
    gaps gets that number scaled by its share of detections, and its lags that have pairs share
    the total of all its lags. Lags past a track's span, or without pairs, count zero; a track
    with no pair at all gets NaN.
    """
    n = d.spans[:, None].astype(np.float64)
    t = d.lags[None, :].astype(np.float64)
    within = t <= n - 1
    rest = np.where(within, n - t, 1.0)
    with np.errstate(divide="ignore", invalid="ignore"):  # each branch is kept where it holds
        short = 6 * rest**2 * t / (2 * n - t + 4 * n * t**2 - 5 * t**3)
        long = 1 / (1 + (rest**3 + 5 * t - 4 * rest**2 * t - n) / (6 * rest * t**2))
    qian = np.where(within, np.where(t <= n / 2, short, long), 0.0)
    present = d.counts > 0
    total = qian.sum(axis=1)
    kept = np.where(present, qian, 0.0).sum(axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = d.detections / d.spans * total / kept
    result: FloatArray = np.where(present, qian * share[:, None], 0.0)
    result[kept == 0] = np.nan
    return result


def _per_track_detail(d: _Displacements) -> dict[str, FloatArray]:
    """Per track and lag: ``<a>``, ``<a^2>`` per axis and ``msd``; NaN where no pair exists."""
    with np.errstate(divide="ignore", invalid="ignore"):
        counts = d.counts[:, :, None].astype(np.float64)
        means = np.where(counts > 0, d.sums / counts, np.nan)
        squares = np.where(counts > 0, d.squared_sums / counts, np.nan)
    columns = {f"<{a}>": means[:, :, i] for i, a in enumerate(d.axes)}
    columns.update({f"<{a}^2>": squares[:, :, i] for i, a in enumerate(d.axes)})
    columns["msd"] = squares.sum(axis=2)
    return columns


def _lag_index(d: _Displacements) -> pd.Index:
    return pd.Index(d.lagtimes, name="lag time [s]")


def imsd(tracks: pd.DataFrame, mpp: Scale, fps: float, max_lagtime: int = 100,
         statistic: str = "msd", pos_columns: PositionColumns = None) -> pd.DataFrame:
    """Mean squared displacement of each particle.

    Parameters
    ----------
    tracks : pandas.DataFrame
        One row per detection with the columns ``frame``, ``particle`` and the position columns
        (pixels).
    mpp : float or sequence of float
        Microns per pixel, one value or one per position column (e.g. a larger z spacing).
    fps : float
        Frames per second.
    max_lagtime : int, default 100
        Longest lag in frames; lags stop earlier where no track spans that long.
    statistic : str, default "msd"
        What to report: ``"msd"``, or ``"<x>"``, ``"<x^2>"`` and the like for one axis.
    pos_columns : sequence of str, optional
        Position columns; by default ``x`` and ``y``, plus ``z`` where the table has it.

    Returns
    -------
    pandas.DataFrame
        Index: lag time in seconds (``"lag time [s]"``), lags 1 to ``max_lagtime`` frames;
        one column per particle (tracks seen in a single frame are left out). Values in µm²
        (µm for ``<x>``); NaN where a track has no pair of detections that lag apart.

    Raises
    ------
    TypeError
        If ``tracks`` is not a DataFrame, or an argument is not a number.
    ValueError
        If ``tracks`` is empty, lacks a needed column, repeats a (particle, frame) pair or has
        no particle in two frames; if ``mpp`` or ``fps`` is not positive, ``max_lagtime`` is
        below 1, or ``statistic`` is unknown.

    Examples
    --------
    >>> msds = imsd(tracks, mpp=0.1, fps=20)   # doctest: +SKIP
    """
    d = _displacements(tracks, mpp, fps, max_lagtime, pos_columns)
    detail = _per_track_detail(d)
    if statistic not in detail:
        raise ValueError(f"statistic must be one of {', '.join(detail)}, got {statistic!r}")
    seen = d.spans > 1
    columns = pd.Index(d.particles[seen])
    return pd.DataFrame(detail[statistic][seen].T, index=_lag_index(d), columns=columns)


def emsd(tracks: pd.DataFrame, mpp: Scale, fps: float, max_lagtime: int = 100,
         detail: bool = False, pos_columns: PositionColumns = None) -> pd.Series | pd.DataFrame:
    """Ensemble mean squared displacement of all particles.

    Each particle's mean at a lag is weighted by its effective number of independent squared
    displacements at that lag (Qian et al. 1991, scaled for tracks with gaps).

    Parameters
    ----------
    tracks : pandas.DataFrame
        One row per detection with the columns ``frame``, ``particle`` and the position columns
        (pixels).
    mpp : float or sequence of float
        Microns per pixel, one value or one per position column.
    fps : float
        Frames per second.
    max_lagtime : int, default 100
        Longest lag in frames.
    detail : bool, default False
        Return the table of weighted means instead of the series.
    pos_columns : sequence of str, optional
        Position columns; by default ``x`` and ``y``, plus ``z`` where the table has it.

    Returns
    -------
    pandas.Series or pandas.DataFrame
        Without ``detail``: the series ``msd`` (µm²) indexed by lag time in seconds
        (``"lagt"``). With ``detail``: indexed by lag in frames (``"frame"``), the columns
        ``<x>``, ``<y>`` (mean displacement, µm), ``<x^2>``, ``<y^2>`` (µm²), ``msd``, ``N``
        (the summed weights) and ``lagt`` (s).

    Raises
    ------
    TypeError
        If ``tracks`` is not a DataFrame, or an argument is not a number.
    ValueError
        As :func:`imsd`.

    Examples
    --------
    >>> msd = emsd(tracks, mpp=0.1, fps=20)   # doctest: +SKIP
    """
    d = _displacements(tracks, mpp, fps, max_lagtime, pos_columns)
    columns = _per_track_detail(d)
    weights = _independent_measurements(d)
    usable = np.isfinite(weights)
    total = np.where(usable, weights, 0.0).sum(axis=0)
    table: dict[str, FloatArray] = {}
    with np.errstate(divide="ignore", invalid="ignore"):
        for name, values in columns.items():
            weighted = np.where(usable & np.isfinite(values), values * weights, 0.0)
            table[name] = weighted.sum(axis=0) / total
    table["N"] = total
    table["lagt"] = d.lagtimes
    result = pd.DataFrame(table, index=pd.Index(d.lags, name="frame"))
    if detail:
        return result
    return pd.Series(result["msd"].to_numpy(), index=pd.Index(d.lagtimes, name="lagt"),
                     name="msd")


def diffusion(tracks: pd.DataFrame, mpp: Scale, fps: float, max_lagtime: int = 10,
              dims: int = 2, pos_columns: PositionColumns = None) -> pd.DataFrame:
    """Diffusion coefficient and anomalous exponent of each track.

    Fits ``MSD(t) = 2 * dims * D * t**alpha`` by least squares on log MSD against log t over
    the lags 1 to ``max_lagtime`` frames at which the track has displacements.

    Parameters
    ----------
    tracks : pandas.DataFrame
        One row per detection with the columns ``frame``, ``particle`` and the position columns
        (pixels).
    mpp : float or sequence of float
        Microns per pixel, one value or one per position column.
    fps : float
        Frames per second.
    max_lagtime : int, default 10
        Longest lag in frames used in the fit.
    dims : int, default 2
        Number of axes the motion is measured in (1, 2 or 3).
    pos_columns : sequence of str, optional
        ``dims`` position columns; by default the first ``dims`` of ``x``, ``y``, ``z``.

    Returns
    -------
    pandas.DataFrame
        One row per particle seen in at least two frames (index ``particle``), with the columns
        ``D`` (µm²/s), ``D_stderr``, ``alpha``, ``alpha_stderr`` and ``points`` (lags fitted).
        With fewer than two points the estimates are NaN; with two the standard errors are.
        ``D_stderr`` propagates the intercept's standard error (D times it).

    Raises
    ------
    TypeError
        If ``tracks`` is not a DataFrame, or an argument is not a number.
    ValueError
        As :func:`imsd`; also if ``dims`` is not 1, 2 or 3 or does not match ``pos_columns``.

    Examples
    --------
    >>> fits = diffusion(tracks, mpp=0.1, fps=20)   # doctest: +SKIP
    >>> fits["D"].median()                          # doctest: +SKIP
    """
    if isinstance(dims, bool) or dims not in (1, 2, 3):
        raise ValueError(f"dims must be 1, 2 or 3, got {dims!r}")
    axes = ["x", "y", "z"][:dims] if pos_columns is None else list(pos_columns)
    if len(axes) != dims:
        raise ValueError(f"dims is {dims} but pos_columns names {len(axes)} column(s)")
    d = _displacements(tracks, mpp, fps, max_lagtime, axes)
    msd = _per_track_detail(d)["msd"]
    with np.errstate(divide="ignore", invalid="ignore"):
        fitted = np.isfinite(msd) & (msd > 0)
        y = np.log(np.where(fitted, msd, 1.0))
        x = np.broadcast_to(np.log(d.lagtimes), msd.shape)
        w = fitted.astype(np.float64)
        points = w.sum(axis=1)
        x_mean = (w * x).sum(axis=1) / points
        y_mean = (w * y).sum(axis=1) / points
        dx = np.where(fitted, x - x_mean[:, None], 0.0)
        dy = np.where(fitted, y - y_mean[:, None], 0.0)
        sxx = (dx * dx).sum(axis=1)
        alpha = (dx * dy).sum(axis=1) / sxx
        intercept = y_mean - alpha * x_mean
        residual = np.where(fitted, dy - alpha[:, None] * dx, 0.0)
        variance = (residual**2).sum(axis=1) / (points - 2)
        alpha_stderr = np.sqrt(variance / sxx)
        intercept_stderr = np.sqrt(variance * (1 / points + x_mean**2 / sxx))
        coefficient = np.exp(intercept) / (2 * dims)
    few = points < 2
    alpha[few] = np.nan
    coefficient[few] = np.nan
    undetermined = points < 3
    alpha_stderr[undetermined] = np.nan
    intercept_stderr[undetermined] = np.nan
    seen = d.spans > 1
    result = pd.DataFrame({
        "D": coefficient,
        "D_stderr": coefficient * intercept_stderr,
        "alpha": alpha,
        "alpha_stderr": alpha_stderr,
        "points": points.astype(np.int64),
    }, index=pd.Index(d.particles, name="particle"))
    return result[seen]

"""Mean squared displacements and diffusion coefficients of track tables.

Displacements are taken between detections of the same particle whose ``frame`` numbers differ by
the lag, so a track that skips frames contributes exactly the lags it really has. The pair sums
are computed natively (in parallel over tracks) and kept only for the (track, lag) cells that have
pairs, so the work and memory follow the pairs that exist, never tracks x lags; the tables asked
for (one row per lag) are checked against the memory available before they are made. Everything
here is whole-array NumPy.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native
from .validation import check_table, choice, integer, real, table_columns, whole_numbers

__all__ = ["imsd", "emsd", "diffusion"]

FloatArray = npt.NDArray[np.float64]
PositionColumns = Sequence[str] | None
Scale = float | Sequence[float]

#: Frame numbers within this magnitude: the lag between any two then fits 64 bits.
_FRAME_LIMIT = 2**62
#: Terms of the independent-measurement counts summed per native call (a fraction of a second).
_TERMS_PER_CALL = 2**25
#: Arrays of one value per lag that emsd holds at once, at most (its columns and their sums).
_EMSD_ARRAYS_PER_LAG = 24


def _scale(mpp: object, axes: int) -> float | FloatArray:
    """``mpp`` as one positive factor, or one per position column."""
    if isinstance(mpp, (str, bytes)) or not isinstance(mpp, (Sequence, np.ndarray)):
        return real("mpp", mpp, low=0, low_open=True, unit="µm per pixel")
    if len(mpp) != axes:
        raise ValueError(f"mpp must hold one value per position column ({axes}), got {len(mpp)}")
    return np.array([real("mpp", v, low=0, low_open=True, unit="µm per pixel") for v in mpp],
                    dtype=np.float64)


def _position_columns(tracks: object, pos_columns: PositionColumns) -> list[str]:
    if pos_columns is not None:
        if isinstance(pos_columns, (str, bytes)) or not isinstance(pos_columns, Sequence):
            raise TypeError("pos_columns must be a list of column names, got "
                            f"{type(pos_columns).__name__} {pos_columns!r}")
        if len(pos_columns) == 0:
            raise ValueError("pos_columns must be a non-empty list of column names")
        return list(pos_columns)
    has_z = isinstance(tracks, pd.DataFrame) and "z" in tracks.columns
    return ["x", "y", "z"] if has_z else ["x", "y"]


def _refuse_unless_available(needed: int, what: str) -> None:
    """MemoryError naming ``what`` if ``needed`` bytes exceed the memory available."""
    available = _native.available_memory()
    if needed > available:
        raise MemoryError(f"not enough memory for {what}: {needed} bytes wanted, {available} "
                          "bytes available")


@dataclass(frozen=True)
class _Displacements:
    """Pair statistics of every track of a table, kept for the (track, lag) cells with pairs."""

    particles: npt.NDArray[np.int64]
    spans: FloatArray  # last frame - first frame + 1, per track
    detections: npt.NDArray[np.int64]
    track: npt.NDArray[np.intp]  # per cell: its track
    lag: npt.NDArray[np.int64]  # per cell: its lag in frames, 1 to lags
    counts: FloatArray  # per cell: its pairs (> 0)
    sums: FloatArray  # (cells, axes), physical units
    squared_sums: FloatArray
    lags: int  # the longest lag asked for that some track spans
    rate: float
    axes: list[str]

    def lagtimes(self) -> FloatArray:
        """Lag time in seconds of every lag 1 to ``lags``."""
        lagtimes: FloatArray = np.arange(1, self.lags + 1, dtype=np.int64) / self.rate
        return lagtimes


def _displacements(tracks: object, mpp: object, fps: object, max_lagtime: object,
                   pos_columns: PositionColumns) -> _Displacements:
    axes = _position_columns(tracks, pos_columns)
    table = check_table(tracks, ["frame", "particle", *axes])
    table_columns("tracks", table, axes, numeric=axes)
    scale = _scale(mpp, len(axes))
    rate = real("fps", fps, low=0, low_open=True, unit="frames per second")
    max_lag = integer("max_lagtime", max_lagtime, low=1, unit="frames")

    frames = whole_numbers("tracks", table, "frame")
    beyond = (frames > _FRAME_LIMIT) | (frames < -_FRAME_LIMIT)  # np.abs(-2**63) wraps
    if np.any(beyond):
        raise ValueError("tracks column 'frame' must hold frame numbers within +-2**62, got "
                         f"{int(frames[beyond][0])}")
    particle_ids = whole_numbers("tracks", table, "particle")
    positions = table[axes].to_numpy(dtype=np.float64, na_value=np.nan) * scale
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
    # Frames within +-2**62 lie at most 2**63 apart: exact in uint64.
    apart = frames[starts[1:] - 1].astype(np.uint64) - frames[starts[:-1]].astype(np.uint64)
    if int(apart.max()) < 1:
        raise ValueError("tracks has no particle seen in two frames: no displacement to measure")
    lags = min(max_lag, int(apart.max()))
    cell_begin, lag, counts, sums, squared = _native.displacement_sums(frames, positions, starts,
                                                                       lags)
    cells_per_track = (cell_begin[1:] - cell_begin[:-1]).astype(np.intp)
    track = np.repeat(np.arange(len(starts) - 1), cells_per_track)
    return _Displacements(particles=particle_ids[starts[:-1]],
                          spans=apart.astype(np.float64) + 1.0, detections=np.diff(starts),
                          track=track, lag=lag.astype(np.int64), counts=counts.astype(np.float64),
                          sums=sums, squared_sums=squared, lags=lags, rate=rate, axes=axes)


def _qian_totals(spans: FloatArray, lags: int) -> FloatArray:
    """Per track, the effective number of independent squared displacements summed over its lags
    1 to ``min(lags, span - 1)``: once per distinct span, natively, in calls of a bounded number of
    terms (so that Ctrl-C is taken between them)."""
    distinct, which = np.unique(spans, return_inverse=True)
    terms = np.minimum(distinct - 1, lags).astype(np.int64)
    totals = np.zeros(len(distinct))
    pieces: list[tuple[int, int, int]] = []  # (distinct span, first lag, last lag)
    pending = 0

    def flush() -> None:
        nonlocal pieces, pending
        if pieces:
            which_span, first, last = (np.array(column) for column in zip(*pieces))
            sums = _native.sum_independent_displacements(
                distinct[which_span], first.astype(np.uint64), last.astype(np.uint64))
            np.add.at(totals, which_span, sums)
        pieces, pending = [], 0

    for k in np.flatnonzero(terms > 0):
        for first in range(1, int(terms[k]) + 1, _TERMS_PER_CALL):
            last = min(first + _TERMS_PER_CALL - 1, int(terms[k]))
            pieces.append((int(k), first, last))
            pending += last - first + 1
            if pending >= _TERMS_PER_CALL:
                flush()
    flush()
    result: FloatArray = totals[which]
    return result


def _independent_measurements(d: _Displacements) -> FloatArray:
    """Per cell, the effective number of independent squared displacements of its track and lag.

    For a track spanning n frames the squared displacements of lag t overlap; the number of
    independent ones follows Qian, Sheetz & Elson (1991). A track with gaps gets that number
    scaled by its share of detections, and its lags that have pairs share the total of all its
    lags. A track whose lags with pairs count no independent measurement gets NaN.
    """
    qian = _native.independent_displacements(d.spans[d.track], d.lag.astype(np.float64))
    kept = np.bincount(d.track, weights=qian, minlength=len(d.spans))
    total = _qian_totals(d.spans, d.lags)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = d.detections / d.spans * total / kept
    share[kept == 0] = np.nan
    result: FloatArray = qian * share[d.track]
    return result


def _cell_statistics(d: _Displacements) -> dict[str, FloatArray]:
    """Per cell: ``<a>``, ``<a^2>`` per axis and ``msd``."""
    means = d.sums / d.counts[:, None]
    squares = d.squared_sums / d.counts[:, None]
    columns = {f"<{a}>": means[:, i] for i, a in enumerate(d.axes)}
    columns.update({f"<{a}^2>": squares[:, i] for i, a in enumerate(d.axes)})
    columns["msd"] = squares.sum(axis=1)
    return columns


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
    axes = _position_columns(tracks, pos_columns)
    choice("statistic", statistic,
           [*(f"<{a}>" for a in axes), *(f"<{a}^2>" for a in axes), "msd"])
    d = _displacements(tracks, mpp, fps, max_lagtime, axes)
    seen = np.flatnonzero(d.spans > 1)
    _refuse_unless_available(8 * d.lags * (len(seen) + 2),  # the values, the lags, their times
                             f"imsd's table of {d.lags} lags x {len(seen)} particles")
    column_of = np.zeros(len(d.spans), dtype=np.intp)
    column_of[seen] = np.arange(len(seen))
    values = np.full((d.lags, len(seen)), np.nan)
    values[d.lag - 1, column_of[d.track]] = _cell_statistics(d)[statistic]
    return pd.DataFrame(values, index=pd.Index(d.lagtimes(), name="lag time [s]"),
                        columns=pd.Index(d.particles[seen]), copy=False)


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
    _refuse_unless_available(8 * d.lags * _EMSD_ARRAYS_PER_LAG, f"emsd's table of {d.lags} lags")
    weights = _independent_measurements(d)
    usable = np.isfinite(weights)
    lag_index = d.lag[usable] - 1
    total = np.asarray(np.bincount(lag_index, weights=weights[usable], minlength=d.lags),
                       dtype=np.float64)
    table: dict[str, FloatArray] = {}
    with np.errstate(divide="ignore", invalid="ignore"):
        for name, values in _cell_statistics(d).items():
            weighted = np.where(np.isfinite(values[usable]), values[usable] * weights[usable], 0.0)
            table[name] = np.bincount(lag_index, weights=weighted, minlength=d.lags) / total
    table["N"] = total
    table["lagt"] = d.lagtimes()
    result = pd.DataFrame(table, index=pd.Index(np.arange(1, d.lags + 1), name="frame"))
    if detail:
        return result
    return pd.Series(result["msd"].to_numpy(), index=pd.Index(table["lagt"], name="lagt"),
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
    integer("dims", dims, low=1, high=3)
    axes = ["x", "y", "z"][:dims] if pos_columns is None else _position_columns(tracks, pos_columns)
    if len(axes) != dims:
        raise ValueError(f"dims is {dims} but pos_columns names {len(axes)} column(s)")
    d = _displacements(tracks, mpp, fps, max_lagtime, axes)
    msd = _cell_statistics(d)["msd"]
    fitted = np.isfinite(msd) & (msd > 0)
    track = d.track[fitted]
    y = np.log(msd[fitted])
    x = np.log(d.lag[fitted] / d.rate)
    count = len(d.spans)

    def per_track(values: FloatArray) -> FloatArray:
        return np.asarray(np.bincount(track, weights=values, minlength=count), dtype=np.float64)

    points = np.bincount(track, minlength=count).astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        x_mean = per_track(x) / points
        y_mean = per_track(y) / points
        dx = x - x_mean[track]
        dy = y - y_mean[track]
        sxx = per_track(dx * dx)
        alpha = per_track(dx * dy) / sxx
        intercept = y_mean - alpha * x_mean
        residual = dy - alpha[track] * dx
        variance = per_track(residual**2) / (points - 2)
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

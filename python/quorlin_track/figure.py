"""The figure of a tracked movie: its first frame (a maximum projection for volumes) with the tracks
drawn over it, beside the density of the tracks on a log scale. Written as PNG, PDF or SVG."""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from .columns import FRAME, INTENSITY, PARTICLE
from .movie import Movie
from .rendering import render
from .validation import choice
from .writing import replacing

__all__ = ["FIGURE_FORMATS", "save_figure", "tracks_figure"]

#: Suffix to the format matplotlib writes.
FIGURE_FORMATS = {".png": "png", ".pdf": "pdf", ".svg": "svg"}
# The frame's grey levels span these percentiles of its finite pixels: a few hot pixels (or a
# dark border) then do not decide the contrast of every spot.
_LOW_PERCENTILE, _HIGH_PERCENTILE = 0.5, 99.8
# Density cells of one pixel: finer cells leave most of a sparse movie's tracks one sample per
# cell, which no colour scale shows as structure.
_DENSITY_CELL = 1.0
# The log scale starts below one sample, so that a cell crossed once is a visible colour and
# only empty cells are black.
_DENSITY_FLOOR = 0.5
# The scale bar covers about this share of the frame's width, rounded down to 1, 2 or 5 x 10^k.
_SCALE_BAR_SHARE = 0.2
_FIGURE_SIZE = (13.0, 6.2)  # inches: two square-ish panels side by side
_DPI = 100


def _contrast(frame: npt.NDArray[np.float32]) -> tuple[float, float]:
    finite = frame[np.isfinite(frame)]
    if not len(finite):
        return 0.0, 1.0
    low, high = np.percentile(finite, [_LOW_PERCENTILE, _HIGH_PERCENTILE])
    return float(low), float(high if high > low else low + 1.0)


def _scale_bar(axes: Any, width: int, height: int, pixel_size: float) -> None:
    """A bar of a round length in micrometres at the lower right of an image panel."""
    from matplotlib.patches import Rectangle

    wanted = _SCALE_BAR_SHARE * width * pixel_size
    power = 10.0 ** math.floor(math.log10(wanted))
    length = max(m * power for m in (1, 2, 5) if m * power <= wanted)
    pixels = length / pixel_size
    margin = 0.04 * width
    x0, y0 = width - margin - pixels, height - margin
    axes.add_patch(Rectangle((x0 - 0.5, y0 - 0.5), pixels, max(1.0, 0.012 * height), color="white"))
    label = f"{length:g} µm" if length >= 1 else f"{length * 1000:g} nm"
    axes.text(x0 + pixels / 2, y0 - 0.02 * height, label, color="white", ha="center", va="bottom")


def _density(axes: Any, figure: Any, tracks: pd.DataFrame, shape: tuple[int, int]) -> None:
    from matplotlib.colors import LogNorm
    from matplotlib.ticker import FormatStrFormatter, NullFormatter

    if not len(tracks):
        axes.text(0.5, 0.5, "no tracks", ha="center", va="center", fontsize=16,
                  transform=axes.transAxes)
        axes.set_axis_off()
        return
    flat = tracks[[FRAME, "y", "x", INTENSITY, PARTICLE]]  # a volume's tracks seen from above
    step = _DENSITY_CELL
    image = render(flat, pixel_size=step, extent=(-0.5, shape[0] - 0.5, -0.5, shape[1] - 0.5))
    y0, y1, x0, x1 = image.extent
    counts = np.ma.masked_equal(image.counts, 0)
    shown = axes.imshow(counts, cmap="magma", interpolation="nearest",
                        norm=LogNorm(vmin=_DENSITY_FLOOR, vmax=max(2, int(image.counts.max()))),
                        extent=(x0 - step / 2, x1 - step / 2, y1 - step / 2, y0 - step / 2))
    axes.set_facecolor("black")
    bar = figure.colorbar(shown, ax=axes, fraction=0.046, pad=0.02, label="track samples per cell")
    bar.ax.yaxis.set_major_formatter(FormatStrFormatter("%g"))
    bar.ax.yaxis.set_minor_formatter(NullFormatter())
    axes.set_title(f"track density (log scale), cell {step:g} pixel")


def tracks_figure(tracks: pd.DataFrame, movie: Movie, *, pixel_size: float | None = None) -> Any:
    """The figure of a tracked movie, as a matplotlib Figure (for a notebook, or to save).

    Parameters
    ----------
    tracks : pandas.DataFrame
        The linked table of the movie (pixels).
    movie : Movie
        The movie; its first frame (maximum projection over ``z`` for volumes) is shown, with grey
        levels from the 0.5th to the 99.8th percentile of its finite pixels.
    pixel_size : float, optional
        Micrometres per pixel, for a scale bar; by default the movie's own, and no bar without
        one.

    Returns
    -------
    matplotlib.figure.Figure
        Left: the frame with every track of two or more points; right: the number of track
        samples per one-pixel cell on a log scale (or "no tracks").

    Examples
    --------
    >>> figure = tracks_figure(tracks, movie, pixel_size=0.108)   # doctest: +SKIP
    """
    from matplotlib.figure import Figure

    scale = pixel_size if pixel_size is not None else movie.pixel_size
    figure = Figure(figsize=_FIGURE_SIZE)
    left, right = figure.subplots(1, 2)
    shape = movie.frame_shape[-2:]
    if len(movie):
        frame = movie[0] if movie.ndim == 2 else np.fmax.reduce(movie[0], axis=0)
        low, high = _contrast(frame)
        left.imshow(frame, cmap="gray", vmin=low, vmax=high, interpolation="nearest")
        if scale is not None:
            _scale_bar(left, shape[1], shape[0], scale)
    linked = tracks.sort_values([PARTICLE, FRAME], kind="stable")
    drawn = 0
    for _, track in linked.groupby(PARTICLE, sort=False):
        if len(track) > 1:
            left.plot(track["x"], track["y"], lw=0.7)
            drawn += 1
    what = "first frame" if movie.ndim == 2 else "first frame, maximum over z"
    left.set_title(f"{what}; the {drawn} track{'' if drawn == 1 else 's'} of the movie")
    _density(right, figure, tracks, (int(shape[0]), int(shape[1])))
    figure.tight_layout()
    return figure


def save_figure(path: str | os.PathLike[str], tracks: pd.DataFrame, movie: Movie, *,
                pixel_size: float | None = None, format: str | None = None) -> None:
    """Write the figure of a tracked movie (see :func:`tracks_figure`).

    Parameters
    ----------
    path : str or os.PathLike
        ``.png``, ``.pdf`` or ``.svg``; written whole (see :func:`quorlin_track.save`).
    tracks, movie, pixel_size
        As for :func:`tracks_figure`.
    format : {"png", "pdf", "svg"}, optional
        The format, whatever the suffix (for a path such as ``/dev/stdout``).

    Raises
    ------
    ValueError
        An unknown suffix or format.
    OSError
        The file cannot be written; the message names ``path``.

    Examples
    --------
    >>> save_figure("tracks.png", tracks, movie)   # doctest: +SKIP
    """
    if format is None:
        suffix = Path(path).suffix.lower()
        if suffix not in FIGURE_FORMATS:
            raise ValueError(f"path must end in {', '.join(FIGURE_FORMATS)}, got {os.fspath(path)!r}")
        format = FIGURE_FORMATS[suffix]
    choice("format", format, tuple(FIGURE_FORMATS.values()))
    figure = tracks_figure(tracks, movie, pixel_size=pixel_size)
    with replacing(path) as out:
        figure.savefig(out, dpi=_DPI, format=format)

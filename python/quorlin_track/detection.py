"""Detection and localization of spots: one frame (:func:`locate`) or a whole movie (:func:`batch`).

Every detection is made by the raw detectors' rules; the steps around them (prefilter, threshold,
localization, a later refine step) are chosen in one place, :func:`_plan`, from the keywords.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from numbers import Real
from typing import Any, Literal, Union

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorlin  # type: ignore[import-not-found,unused-ignore]  # an extension without stubs

from . import _native
from .columns import FRAME, INTENSITY, SCORE, spatial_columns
from .movie import Movie, MovieError, open_movie

__all__ = ["PREFILTERS", "REFINERS", "auto_threshold", "batch", "locate"]

Threshold = Union[Literal["auto"], float]
Frame = npt.NDArray[Any]

#: A step run on each float32 frame before detection: ``prefilter(frame) -> frame``.
Prefilter = Callable[[npt.NDArray[np.float32]], npt.NDArray[np.float32]]
#: A step run after detection at pixel positions: ``refine(frame, spots, window) -> spots``,
#: where ``spots`` is the frame's table (columns as :func:`locate` returns them).
Refiner = Callable[[npt.NDArray[np.float32], pd.DataFrame, int], pd.DataFrame]

#: Localization done by the detectors themselves.
DETECTOR_METHODS = ("radial_symmetry", "gaussian_fitting")
#: Further localization methods by name, run as a step after detection.
REFINERS: dict[str, Refiner] = {}
#: Prefilters by name.
PREFILTERS: dict[str, Prefilter] = {}

# Frames per native call: enough per worker that the end of a call leaves few workers idle; the
# byte cap bounds memory (two chunks are held: one read, one in work) for huge frames. An
# interrupt does not wait for the chunk: the frames not yet started are skipped.
_FRAMES_PER_WORKER = 16
_CHUNK_BYTES = 16 * 2**20


@dataclass(frozen=True)
class _Plan:
    """The steps of detection, resolved once from the keywords."""

    ndim: int
    threshold: float | None  # None: each frame's automatic threshold
    min_distance: float
    detector_method: str | None  # localization inside the detector
    window: int
    max_peaks: int | None
    correlation_sigmas: tuple[float, float, float] | None
    correlation_threshold: float | None
    prefilter: Prefilter | None
    refine: Refiner | None

    @property
    def native(self) -> bool:
        """Whether the fused native path does all the steps."""
        return self.ndim == 2 and self.prefilter is None and self.refine is None


def _plan(ndim: int, threshold: Threshold, min_distance: float, method: str | None, window: int,
          max_peaks: int | None, correlation_sigmas: Sequence[float] | None,
          correlation_threshold: float | None, prefilter: str | None) -> _Plan:
    spatial_columns(ndim)
    if isinstance(threshold, str):
        if threshold != "auto":
            raise ValueError(f"threshold must be 'auto' or a number, got {threshold!r}")
        level = None
    elif isinstance(threshold, Real):
        level = float(threshold)
    else:
        raise TypeError(f"threshold must be 'auto' or a number, got {type(threshold).__name__}")
    if not isinstance(min_distance, Real):
        raise TypeError(f"min_distance must be a number (pixels), got {type(min_distance).__name__}")
    if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 3 or window % 2 == 0:
        raise ValueError(f"window must be an odd integer >= 3 (pixels), got {window!r}")
    if max_peaks is not None and (isinstance(max_peaks, bool) or not isinstance(max_peaks, (int, np.integer))
                                  or max_peaks < 0):
        raise ValueError(f"max_peaks must be None or a non-negative integer, got {max_peaks!r}")
    refine = None
    if method is not None and method not in DETECTOR_METHODS:
        if method not in REFINERS:
            names = ", ".join(repr(m) for m in (None, *DETECTOR_METHODS, *REFINERS))
            raise ValueError(f"method must be one of {names}, got {method!r}")
        refine = REFINERS[method]
    chosen_filter = None
    if prefilter is not None:
        if prefilter not in PREFILTERS:
            names = ", ".join(repr(p) for p in (None, *PREFILTERS))
            raise ValueError(f"prefilter must be one of {names}, got {prefilter!r}")
        chosen_filter = PREFILTERS[prefilter]
    sigmas = None
    if correlation_sigmas is not None:
        sigmas = tuple(float(s) for s in correlation_sigmas)
        if len(sigmas) != 3:
            raise ValueError(f"correlation_sigmas must hold 3 widths (z, y, x pixels), got {len(sigmas)}")
    if ndim == 2 and (sigmas is not None or correlation_threshold is not None):
        raise ValueError("correlation_sigmas and correlation_threshold apply to 3-D volumes only")
    return _Plan(ndim, level, float(min_distance), method if refine is None else None, int(window),
                 None if max_peaks is None else int(max_peaks),
                 sigmas, None if correlation_threshold is None else float(correlation_threshold),
                 chosen_filter, refine)


def auto_threshold(frame: npt.ArrayLike) -> float:
    """The automatic detection threshold of a frame or volume.

    The background level is the median of the frame's values and the noise sigma is 1.4826 times
    their median absolute deviation (the factor that makes it the standard deviation of normal
    noise); bright spots cover few pixels and move neither. The threshold is
    ``median + 5 * sigma``, computed in double precision from the 32-bit median and deviation and
    rounded to float32: a pixel of pure normal noise reaches it with probability about 3e-7.
    Both medians are lower medians (the value of rank ``(n - 1) // 2``); NaN pixels are left out,
    and a frame with none but NaN gets +inf.

    Parameters
    ----------
    frame : array_like
        A 2-D frame or 3-D volume of real samples, in counts or any intensity unit.

    Returns
    -------
    float
        The threshold, in the frame's intensity units.

    Raises
    ------
    TypeError
        For samples that are not real numbers.

    Examples
    --------
    >>> import numpy as np
    >>> frame = np.array([[10, 11, 12], [10, 200, 9], [11, 10, 12]], dtype=np.uint16)
    >>> auto_threshold(frame)  # median 11, deviation 1
    18.413000106811523
    """
    array = np.asarray(frame)
    if array.dtype == np.float16:
        array = array.astype(np.float32)
    if array.dtype.kind not in "uif":
        raise TypeError(f"frame must hold real numbers, not {array.dtype}")
    return float(_native.background(array.astype(array.dtype.newbyteorder("="), copy=False))[2])


def locate(frame: npt.ArrayLike, threshold: Threshold = "auto", min_distance: float = 3.0,
           method: str | None = "radial_symmetry", window: int = 7, max_peaks: int | None = None, *,
           correlation_sigmas: Sequence[float] | None = None,
           correlation_threshold: float | None = None, prefilter: str | None = None,
           frame_number: int = 0) -> pd.DataFrame:
    """Detect and localize the spots of one 2-D frame or 3-D volume.

    Parameters
    ----------
    frame : array_like
        A (Y, X) image or (Z, Y, X) volume of real samples; converted to float32.
    threshold : "auto" or float
        Lowest intensity of a peak pixel, in the frame's units; "auto" uses
        :func:`auto_threshold` (median + 5 MAD-based sigmas).
    min_distance : float
        Smallest distance between two kept peaks, in pixels; of two closer peaks the brighter
        stays.
    method : {"radial_symmetry", "gaussian_fitting", None} or a name in ``REFINERS``
        Sub-pixel localization; None keeps the peak pixel's position.
    window : int
        Side of the localization window, in pixels (odd, at least 3).
    max_peaks : int, optional
        Keep at most this many spots (the brightest; with a method, the first ones localized).
    correlation_sigmas : (float, float, float), optional
        Volumes only: Gaussian widths (z, y, x pixels) of the template each peak is correlated
        with; adds the column ``score``.
    correlation_threshold : float, optional
        Volumes only: drop peaks whose score is below this value.
    prefilter : str, optional
        Name of a filter in ``PREFILTERS`` applied to the frame before detection.
    frame_number : int
        Value of the ``frame`` column.

    Returns
    -------
    pandas.DataFrame
        One row per spot, brightest first: ``frame``, ``y``, ``x`` (``z``, ``y``, ``x`` for a
        volume) in pixels (``x`` is the column axis), ``intensity`` (the peak pixel's value) and,
        with correlation, ``score``.

    Raises
    ------
    ValueError
        A frame that is not 2-D or 3-D, or a bad keyword value (the message names it).
    TypeError
        A threshold that is neither "auto" nor a number, or non-real samples.

    Examples
    --------
    >>> import numpy as np
    >>> frame = np.zeros((32, 32), np.float32); frame[10, 20] = 100; frame[9:12, 19:22] += 20
    >>> spots = locate(frame, threshold=50)
    >>> spots[["y", "x"]].round(3).values.tolist()
    [[10.0, 20.0]]
    """
    array = np.asarray(frame)
    if array.dtype.kind not in "uif":
        raise TypeError(f"frame must hold real numbers, not {array.dtype}")
    plan = _plan(array.ndim, threshold, min_distance, method, window, max_peaks,
                 correlation_sigmas, correlation_threshold, prefilter)
    return _detect(np.ascontiguousarray(array, dtype=np.float32), plan, frame_number)


def _detect(frame: npt.NDArray[np.float32], plan: _Plan, frame_number: int) -> pd.DataFrame:
    """One frame through the plan, with the raw detectors."""
    raw = frame
    if plan.prefilter is not None:
        frame = np.ascontiguousarray(plan.prefilter(frame), dtype=np.float32)
    level = auto_threshold(frame) if plan.threshold is None else plan.threshold
    scores = None
    if plan.ndim == 2:
        extent = (0.0, frame.shape[0] - 1.0, 0.0, frame.shape[1] - 1.0)
        positions, intensities = quorlin.rs_detect_peaks(
            frame, extent, level, plan.min_distance, plan.detector_method, plan.window,
            None if plan.refine else plan.max_peaks)
    else:
        bounds = tuple(float(v) for n in frame.shape for v in (0, n - 1))
        positions, intensities, scores = quorlin.rs_detect_peaks3d(
            frame, bounds, level, plan.min_distance, plan.window, plan.detector_method,
            plan.correlation_sigmas, plan.correlation_threshold,
            None if plan.refine else plan.max_peaks)
        if plan.correlation_sigmas is not None and scores is None:
            scores = np.zeros(len(intensities), np.float32)
    spots = _table(plan.ndim, np.full(len(intensities), frame_number, np.int64), positions,
                   intensities, scores)
    if plan.refine is not None:
        # Refiners fit the camera's values, never the prefiltered copy.
        spots = plan.refine(raw, spots, plan.window)
        if plan.max_peaks is not None:
            spots = spots.iloc[:plan.max_peaks].reset_index(drop=True)
    return spots


def _table(ndim: int, frames: npt.NDArray[np.int64], positions: npt.NDArray[np.float32],
           intensities: npt.NDArray[np.float32], scores: npt.NDArray[np.float32] | None) -> pd.DataFrame:
    columns: dict[str, npt.NDArray[Any]] = {FRAME: frames}
    for k, name in enumerate(spatial_columns(ndim)):
        columns[name] = np.asarray(positions, np.float32).reshape(-1, ndim)[:, k]
    columns[INTENSITY] = np.asarray(intensities, np.float32)
    if scores is not None:
        columns[SCORE] = np.asarray(scores, np.float32)
    return pd.DataFrame(columns)


def batch(movie: Any, threshold: Threshold = "auto", min_distance: float = 3.0,
          method: str | None = "radial_symmetry", window: int = 7, max_peaks: int | None = None, *,
          correlation_sigmas: Sequence[float] | None = None,
          correlation_threshold: float | None = None, prefilter: str | None = None,
          progress: bool | None = None) -> pd.DataFrame:
    """Detect and localize the spots of every frame of a movie.

    Each frame gets exactly the spots :func:`locate` finds in it (with an automatic threshold,
    its own). 2-D movies run on a native path that converts, thresholds, detects and localizes
    several frames at once in parallel, with memory bounded by a few frames plus the spots.

    Parameters
    ----------
    movie : Movie, path or array-like
        Anything :func:`open_movie` accepts, or a Movie it returned.
    threshold, min_distance, method, window, max_peaks, correlation_sigmas, correlation_threshold, prefilter
        As for :func:`locate`, per frame (distances and windows in pixels).
    progress : bool, optional
        Show a progress bar (tqdm) on stderr; by default only when stderr is a terminal.

    Returns
    -------
    pandas.DataFrame
        One row per spot, frame by frame (brightest first within a frame), columns as
        :func:`locate` returns them; ``frame`` counts from 0.

    Raises
    ------
    MovieError
        A frame cannot be read; the message names the source and the first such frame.
    KeyboardInterrupt
        Ctrl-C stops the work within a fraction of a second; nothing is returned.
    ValueError, TypeError
        As for :func:`locate`.

    Examples
    --------
    >>> import numpy as np
    >>> movie = np.zeros((3, 32, 32), np.uint16); movie[:, 10, 20] = 100
    >>> batch(movie, threshold=50, method=None)[["frame", "y", "x"]].values.tolist()
    [[0.0, 10.0, 20.0], [1.0, 10.0, 20.0], [2.0, 10.0, 20.0]]
    """
    frames = movie if isinstance(movie, Movie) else open_movie(movie)
    plan = _plan(frames.ndim, threshold, min_distance, method, window, max_peaks,
                 correlation_sigmas, correlation_threshold, prefilter)
    from tqdm import tqdm

    show = sys.stderr.isatty() if progress is None else bool(progress)
    with tqdm(total=len(frames), unit="frame", desc="detect", disable=not show,
              file=sys.stderr) as bar:
        if plan.native:
            return _batch_native(frames, plan, bar.update)
        parts = []
        for t in range(len(frames)):
            parts.append(_detect(np.asarray(frames.read(t, t + 1)[0], np.float32), plan, t))
            bar.update(1)
    if not parts:
        return _detect(np.zeros((1,) * plan.ndim, np.float32), plan, 0)
    return pd.concat(parts, ignore_index=True)


def _batch_native(frames: Movie, plan: _Plan, advance: Callable[[int], Any]) -> pd.DataFrame:
    """Chunks of frames through the native path on a helper thread, so the calling thread reads
    the next chunk meanwhile and stays free to take Ctrl-C: it then sets the stop flag, and the
    workers skip every frame not yet started."""
    frame_bytes = max(1, int(np.prod(frames.frame_shape)) * frames.dtype.itemsize)
    chunk = max(1, min(_FRAMES_PER_WORKER * (os.cpu_count() or 1), _CHUNK_BYTES // frame_bytes))
    counts, positions, intensities = [], [], []
    stop = np.zeros(1, np.uint8)

    def collect(done: Future[tuple[Any, ...]], size: int) -> None:
        n, p, i, _ = done.result()
        counts.append(n)
        positions.append(p)
        intensities.append(i)
        advance(size)

    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorlin-batch") as helper:
        pending: tuple[Future[tuple[Any, ...]], int] | None = None
        try:
            for start in range(0, len(frames), chunk):
                samples = frames.read(start, start + chunk)
                if samples.dtype.kind not in "uif":
                    raise MovieError(f"{frames.name}: samples of type {samples.dtype} are not real numbers")
                if pending is not None:
                    collect(*pending)
                pending = (helper.submit(_native.detect_frames, samples, plan.threshold,
                                         plan.min_distance, plan.detector_method, plan.window,
                                         plan.max_peaks, stop), len(samples))
            if pending is not None:
                collect(*pending)
        except BaseException:
            stop[0] = 1
            raise
    per_frame = np.concatenate(counts) if counts else np.zeros(0, np.int64)
    return _table(2, np.repeat(np.arange(len(per_frame), dtype=np.int64), per_frame),
                  np.concatenate(positions) if positions else np.zeros((0, 2), np.float32),
                  np.concatenate(intensities) if intensities else np.zeros(0, np.float32), None)

"""Detection and localization of spots: one frame (:func:`locate`) or a whole movie (:func:`batch`).

Two detectors, chosen by name: ``"spots"`` (the default for 2-D frames) band-passes each frame at the
spot size, keeps the peaks that stand out of each pixel's own noise and measures every spot
(position, mass, background, size, snr and how the position was obtained); ``"peaks"`` (the default
for volumes) runs the raw detectors on the frame as it is. The steps around them (camera model,
prefilter, threshold, localization, a later refine step, filters) are chosen in one place,
:func:`_plan`, from the keywords.
"""

from __future__ import annotations

import inspect
import os
import sys
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Literal, Union

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorlin

from . import _native
from ._refine import bandpass, mle_step
from .columns import (BACKGROUND, FRAME, INTENSITY, LOCATED_BY, LOCATORS, MASS, SCORE, SIZE, SNR,
                      spatial_columns)
from .movie import Movie, MovieError, open_movie
from .validation import choice, integer, keyword_only, odd_window, real

__all__ = ["DETECTORS", "PREFILTERS", "REFINERS", "auto_threshold", "batch", "detect_and_refine",
           "find_stuck_pixels", "locate"]

Threshold = Union[Literal["auto"], float]
Frame = npt.NDArray[Any]

#: A step run on each float32 frame before detection: ``prefilter(frame) -> frame``.
Prefilter = Callable[[npt.NDArray[np.float32]], npt.NDArray[np.float32]]
#: A step run after detection: ``refine(frame, spots, window, camera) -> spots``, where ``frame``
#: holds the camera's values, ``spots`` is the frame's table (columns as :func:`locate` returns
#: them) and ``camera`` the camera model (a :class:`Camera`).
Refiner = Callable[[npt.NDArray[Any], pd.DataFrame, int, Any], pd.DataFrame]

#: Detectors by name: band-pass and noise threshold with spot measures, or the raw detectors.
DETECTORS = ("spots", "peaks")
#: Localization done by the detectors themselves.
DETECTOR_METHODS = ("radial_symmetry", "gaussian_fitting")
#: What people coming from other packages pass by position: the hint of the TypeError.
_KEYWORD_HINT = ("pass the spot size as diameter=... (pixels) and every other setting by keyword, "
                 "e.g. locate(frame, diameter=7, threshold='auto')")
#: Why spots were set apart, in the order of the native path's counts.
DROP_REASONS = ("nan_pixels", "hot_pixels")
#: Further localization methods by name, run as a step after detection: "mle" fits each spot on
#: the camera's values by Poisson maximum likelihood.
REFINERS: dict[str, Refiner] = {"mle": mle_step}
#: Prefilters by name: "bandpass" is the frame the raw detectors see.
PREFILTERS: dict[str, Prefilter] = {"bandpass": bandpass}

# Frames per native call: enough per worker that the end of a call leaves few workers idle; the
# byte cap bounds memory (two chunks are held: one read, one in work) for huge frames. An
# interrupt does not wait for the chunk: the frames not yet started are skipped.
_FRAMES_PER_WORKER = 16
_CHUNK_BYTES = 16 * 2**20
# Stuck pixels are looked for on the mean of this many frames spread over the movie: their noise
# falls 4-fold, a particle moving by a pixel a frame covers a pixel in few of them. Fewer frames
# than the least average the noise too little to tell a stuck pixel from one frame's spike.
_STUCK_FRAMES = 16
_STUCK_LEAST_FRAMES = 4


@dataclass(frozen=True)
class Camera:
    """The camera model: counts per photon, counts at zero light, read noise (counts, standard
    deviation). ``given`` is False when none was passed (frame units, unit gain)."""

    gain: float = 1.0
    offset: float = 0.0
    read_noise: float | None = None
    given: bool = False


@dataclass(frozen=True)
class _Plan:
    """The steps of detection, resolved once from the keywords."""

    ndim: int
    detector: str
    diameter: int
    threshold: float | None  # None: the automatic threshold
    min_distance: float
    detector_method: str | None  # localization inside the raw detector
    window: int
    max_peaks: int | None
    correlation_sigmas: tuple[float, float, float] | None
    correlation_threshold: float | None
    prefilter: Prefilter | None
    refine: Refiner | None
    camera: Camera
    invert: bool
    keep_hot_pixels: bool
    min_mass: float | None
    min_snr: float | None

    @property
    def native(self) -> bool:
        """Whether a fused native path does the detection (and the raw route's localization)."""
        return self.ndim == 2 and self.prefilter is None and (self.refine is None or self.detector == "spots")


def _optional_real(name: str, value: Any, **bounds: Any) -> float | None:
    return None if value is None else real(name, value, **bounds)


def _flag(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__} {value!r}")
    return bool(value)


def _plan(ndim: int, settings: dict[str, Any]) -> _Plan:
    """Checks every keyword of :func:`locate` / :func:`batch` and resolves the steps."""
    spatial_columns(ndim)
    threshold = settings["threshold"]
    if isinstance(threshold, str):
        if threshold != "auto":
            raise ValueError(f"threshold must be 'auto' or a number, got {threshold!r}")
        level = None
    elif isinstance(threshold, (bool, np.bool_)) or not isinstance(threshold, (int, float, np.number)):
        raise TypeError(f"threshold must be 'auto' or a number, got {type(threshold).__name__}")
    else:
        level = real("threshold", threshold, finite=False)
    detector = settings["detector"]
    if detector is None:
        detector = "spots" if ndim == 2 else "peaks"
    choice("detector", detector, DETECTORS)
    if detector == "spots" and ndim != 2:
        raise ValueError("detector 'spots' works on 2-D frames; volumes take detector='peaks'")
    diameter = odd_window("diameter", settings["diameter"])
    window = diameter if settings["window"] is None else odd_window("window", settings["window"])
    min_distance = real("min_distance", settings["min_distance"], low=0, finite=False, unit="pixels")
    max_peaks = settings["max_peaks"]
    if max_peaks is not None:
        max_peaks = integer("max_peaks", max_peaks, low=0)
    method = settings["method"]
    allowed: tuple[Any, ...] = (("radial_symmetry", *REFINERS) if detector == "spots"
                                else (None, *DETECTOR_METHODS, *REFINERS))
    choice("method", method, allowed)
    refine = REFINERS.get(method) if method is not None else None
    chosen_filter = None
    prefilter = settings["prefilter"]
    if prefilter is not None:
        if detector == "spots":
            raise ValueError("prefilter applies to detector='peaks' (the 'spots' detector band-passes "
                             "every frame itself)")
        chosen_filter = PREFILTERS[choice("prefilter", prefilter, tuple(PREFILTERS))]
    sigmas: tuple[float, float, float] | None = None
    correlation_sigmas = settings["correlation_sigmas"]
    if correlation_sigmas is not None:
        widths = [real("correlation_sigmas", w, low=0, low_open=True) for w in correlation_sigmas]
        if len(widths) != 3:
            raise ValueError(f"correlation_sigmas must hold 3 widths (z, y, x pixels), got {len(widths)}")
        sigmas = (widths[0], widths[1], widths[2])
    correlation_threshold = _optional_real("correlation_threshold", settings["correlation_threshold"],
                                           finite=False)
    if ndim == 2 and (sigmas is not None or correlation_threshold is not None):
        raise ValueError("correlation_sigmas and correlation_threshold apply to 3-D volumes only")
    gain = _optional_real("gain", settings["gain"], low=0, low_open=True, unit="counts per photon")
    offset = _optional_real("offset", settings["offset"], unit="counts")
    read_noise = _optional_real("read_noise", settings["read_noise"], low=0, unit="counts")
    given = gain is not None or offset is not None or read_noise is not None
    if given and detector != "spots" and method != "mle":
        raise ValueError("gain, offset and read_noise apply to detector='spots' or method='mle'")
    camera = Camera(1.0 if gain is None else gain, 0.0 if offset is None else offset, read_noise, given)
    invert = _flag("invert", settings["invert"])
    if invert and detector != "spots":
        raise ValueError("invert applies to detector='spots'")
    if invert and method == "mle":
        raise ValueError("method='mle' fits bright spots; it cannot follow invert=True")
    keep_hot = _flag("keep_hot_pixels", settings["keep_hot_pixels"])
    min_mass = _optional_real("min_mass", settings["min_mass"], finite=False)
    min_snr = _optional_real("min_snr", settings["min_snr"], finite=False)
    if detector != "spots" and ndim == 2 and (min_mass is not None or min_snr is not None):
        raise ValueError("min_mass and min_snr filter the measures of detector='spots' (and of volumes)")
    return _Plan(ndim, detector, diameter, level, min_distance,
                 method if refine is None and detector == "peaks" else None, window, max_peaks,
                 sigmas, correlation_threshold, chosen_filter, refine, camera, invert, keep_hot,
                 min_mass, min_snr)


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


_SHARED_DOC = """diameter : int
        Spot size in pixels, odd (default 7, for diffraction-limited spots of 1 to 2 pixels'
        width): the band-pass's background square and each spot's measuring window.
    threshold : "auto" or float
        ``"spots"``: "auto" keeps the peaks of the band-passed frame that stand 5.5 noise sigmas
        above the background (down to 4 in a frame whose peaks outnumber its dips: many faint
        spots, each of which must also hold 3 noise sigmas of light in its disk), each pixel's
        noise taken from the frame (or the camera model); "auto" also looks at the frame's edge
        pixels, keeping a peak there at 5.5 sigmas (of the noise the edge's mirror can double)
        where a fit on the camera's pixels places the particle inside the frame; a number is the
        lowest band-passed peak value (frame units, photons with a camera model), edges left out.
        ``"peaks"``: the lowest peak pixel value; "auto" is :func:`auto_threshold`.
    min_distance : float
        Smallest distance between two kept peaks, pixels (>= 0); of two closer peaks the more
        significant (``"peaks"``: the brighter) stays.
    method : str or None
        ``"radial_symmetry"`` (default): with ``"spots"``, the Gaussian-weighted centroid of
        the band-passed window started at its radial-symmetry centre (for lone spots wider than
        the diameter suits, on an evenly lit background, of the camera's pixels less the
        background in a window as wide as the spot), or, where that is declined (crowding,
        edges, missing pixels, hot pixels nearby, an estimate off the peak), a Gaussian fitted
        to the camera's pixels, the Gaussian through the peak and its neighbours or their
        centroid (``located_by`` says which). ``"mle"``: every spot fitted afterwards by Poisson
        maximum likelihood on the camera frame with the camera model (adds ``photons``,
        ``sigma``, ``x_err``, ``y_err``, ``converged``; ``background`` becomes the fit's, photons
        per pixel). ``"peaks"`` also takes ``"gaussian_fitting"`` and None (pixel positions).
        Volumes: with ``"radial_symmetry"`` each spot is fitted by a Gaussian of the volume's
        widths per axis on its window's voxels (neighbours' voxels left out; a spot two spots
        explain better split in two; ``located_by`` "gaussian"), peaks on the edge planes
        included; ``"gaussian_fitting"`` and None keep the raw detector's positions.
    detector : {"spots", "peaks"}, optional
        Default ``"spots"`` for frames, ``"peaks"`` (the raw detectors on the frame as given) for
        volumes.
    window : int, optional
        ``"peaks"`` localization window (odd, pixels; default the diameter); the MLE fit window.
    max_peaks : int, optional
        Keep at most this many spots per frame (the most significant first).
    gain, offset, read_noise : float, optional
        Camera model: counts per photon, counts at zero light, read noise (counts, standard
        deviation). With them values are in photons and the noise model is the camera's; without
        them the frame's own units, and the noise is estimated per frame.
    invert : bool
        Dark particles on a bright field (``"spots"``): each frame turned over (the brightest
        value the sample type holds minus the value; the frame's brightest for float samples).
    min_mass, min_snr : float, optional
        Drop spots below this mass (frame units, photons with a camera model) or snr
        (``"spots"`` and volumes).
    keep_hot_pixels : bool
        Keep single-pixel (single-voxel) spikes, hot pixels, which ``"spots"`` and volumes set
        apart by default.
    stuck_pixels : (n, 2) array_like of int, optional
        ``"spots"`` and volumes: the camera's stuck pixels (row, column), each painted over in
        every frame (every plane of a volume) with the median of its other neighbours before
        detection, so that no spot is found on one and a particle passing over one is measured
        without it (:func:`find_stuck_pixels` finds them). :func:`batch` finds them itself by
        default (``"auto"``).
    correlation_sigmas : (float, float, float), optional
        Volumes: Gaussian widths (z, y, x pixels) of the template each peak is correlated with;
        adds the column ``score``.
    correlation_threshold : float, optional
        Volumes: drop peaks whose score is below this value.
    prefilter : str, optional
        ``"peaks"``: name of a filter in ``PREFILTERS`` applied to the frame before detection."""


#: The keywords of :func:`locate` and :func:`batch` that choose the steps (checked by :func:`_plan`).
_PLAN_KEYWORDS = ("diameter", "threshold", "min_distance", "method", "detector", "window", "max_peaks",
                  "gain", "offset", "read_noise", "invert", "min_mass", "min_snr", "keep_hot_pixels",
                  "correlation_sigmas", "correlation_threshold", "prefilter")


def find_stuck_pixels(movie: Any) -> npt.NDArray[np.int64]:
    """The stuck (hot) pixels of the camera that took a movie of frames or of volumes.

    They are found on the mean of 16 frames spread over the movie (all frames of a shorter one;
    of every plane of a volume, whose planes the one camera took): there a stuck pixel still
    stands far above its neighbours, while moving particles blur and the noise falls. A stuck
    pixel is a local maximum of the mean that stands 8 noise sigmas above the background around
    it (the median of the border of its 5 x 5 square) while its 8 neighbours together hold less
    than its own height above it (a hot pixel), or the same turned over (a dead pixel, which
    ``invert=True`` would make bright); pixels side by side are found in turn, those found
    painted over. A movie of fewer than 4 frames gives none.

    Parameters
    ----------
    movie : Movie, path or array-like
        Anything :func:`open_movie` accepts, or a Movie it returned.

    Returns
    -------
    numpy.ndarray
        (n, 2) int64 rows and columns (y, x), row by row.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> movie = rng.poisson(20.0, (16, 24, 24)).astype(np.uint16); movie[:, 5, 7] += 60
    >>> find_stuck_pixels(movie).tolist()
    [[5, 7]]
    """
    frames = movie if isinstance(movie, Movie) else open_movie(movie)
    if len(frames) < _STUCK_LEAST_FRAMES:
        return np.zeros((0, 2), np.int64)
    picks = np.unique(np.linspace(0, len(frames) - 1, min(_STUCK_FRAMES, len(frames))).round().astype(np.int64))
    mean = np.zeros(frames.frame_shape[-2:], np.float64)
    with np.errstate(all="ignore"):  # values beyond float32 become infinite, and are passed over
        for t in picks:
            sample = np.asarray(frames.read(int(t), int(t) + 1)[0], np.float64)
            mean += sample if sample.ndim == 2 else sample.mean(axis=0)
        mean32 = (mean / len(picks)).astype(np.float32)
    return np.asarray(_native.find_stuck_pixels(mean32), np.int64)


def _movie_stuck(value: Any, plan: _Plan, frames: Movie) -> npt.NDArray[np.int64] | None:
    """The stuck pixels of batch's ``stuck_pixels``: "auto" finds them for ``"spots"`` (unless
    hot pixels are kept), an array is checked against the frame."""
    if isinstance(value, str):
        if value != "auto":
            raise ValueError(f"stuck_pixels must be 'auto', None or an (n, 2) array, got {value!r}")
        if not _paints_stuck(plan) or plan.keep_hot_pixels:
            return None
        try:
            return find_stuck_pixels(frames)
        except MovieError:
            return None  # the frames are read again, in order: that read names the fault
    return _stuck(value, plan, frames.frame_shape)


def movie_stuck_pixels(movie: Movie, **detect: Any) -> npt.NDArray[np.int64] | None:
    """The stuck pixels :func:`batch` paints over in ``movie`` with the keywords ``detect``, for
    callers that run it on parts of a movie (pass them on as ``stuck_pixels``)."""
    defaults = inspect.signature(batch).parameters
    settings = {name: detect.get(name, defaults[name].default) for name in _PLAN_KEYWORDS}
    return _movie_stuck(detect.get("stuck_pixels", "auto"), _plan(movie.ndim, settings), movie)


def _stuck_list(stuck: npt.NDArray[np.int64] | None) -> list[list[int]]:
    """The stuck pixels as a table's attrs hold them: plain lists, which pandas can compare when
    it joins tables, and which a saved table gives back as they were."""
    return [] if stuck is None else [[int(r), int(c)] for r, c in stuck]


def _paints_stuck(plan: _Plan) -> bool:
    """Whether the plan paints stuck pixels over: the "spots" detector's frames and volumes."""
    return plan.detector == "spots" or plan.ndim == 3


def _stuck(value: Any, plan: _Plan, frame_shape: tuple[int, ...]) -> npt.NDArray[np.int64] | None:
    """The stuck pixels given (checked against the frame's last two axes) or None."""
    if value is None:
        return None
    if not _paints_stuck(plan):
        raise ValueError("stuck_pixels applies to detector='spots' and to volumes")
    pixels = np.asarray(value)
    if pixels.size == 0:
        return np.zeros((0, 2), np.int64)
    if pixels.dtype.kind not in "iu" or pixels.ndim != 2 or pixels.shape[1] != 2:
        raise ValueError(f"stuck_pixels must be an (n, 2) array of whole pixel indices (row, column), "
                         f"got {pixels.dtype} of shape {pixels.shape}")
    if (pixels < 0).any() or (pixels >= np.asarray(frame_shape[-2:])).any():
        raise ValueError(f"stuck_pixels must lie in the {frame_shape[-2]} x {frame_shape[-1]} frame")
    return pixels.astype(np.int64)


def _settings(arguments: dict[str, Any]) -> dict[str, Any]:
    """The step-choosing keywords out of a call's arguments (its ``locals()``)."""
    return {name: arguments[name] for name in _PLAN_KEYWORDS}


@keyword_only(_KEYWORD_HINT)
def locate(frame: npt.ArrayLike, *, diameter: int = 7, threshold: Threshold = "auto",
           min_distance: float = 3.0, method: str | None = "radial_symmetry",
           detector: str | None = None, window: int | None = None, max_peaks: int | None = None,
           gain: float | None = None, offset: float | None = None, read_noise: float | None = None,
           invert: bool = False, min_mass: float | None = None, min_snr: float | None = None,
           keep_hot_pixels: bool = False, correlation_sigmas: Sequence[float] | None = None,
           correlation_threshold: float | None = None, prefilter: str | None = None,
           stuck_pixels: npt.ArrayLike | None = None, frame_number: int = 0) -> pd.DataFrame:
    """Detect, localize and measure the spots of one 2-D frame or 3-D volume.

    Parameters
    ----------
    frame : array_like
        A (Y, X) image or (Z, Y, X) volume of real samples (camera counts or any unit).
    {shared}
    frame_number : int
        Value of the ``frame`` column.

    Returns
    -------
    pandas.DataFrame
        One row per spot, most significant first: ``frame``, ``y``, ``x`` (``z``, ``y``, ``x``
        for a volume; pixels, ``x`` the column axis) and ``intensity``. ``"spots"`` adds
        ``mass``, ``background``, ``size`` (pixels), ``snr`` and ``located_by``; intensity is then
        the band-passed peak (the height above the local background). ``"peaks"`` adds
        ``located_by`` (the method, or "pixel" where the position is a pixel centre) and, with
        correlation, ``score``; for a volume also ``mass``, ``background``, ``size`` (voxels) and
        ``snr`` (the peak voxel's height above the background over the volume's noise sigma),
        with the same rules: single-voxel spikes and spots on NaN voxels set apart. ``attrs["dropped"]`` counts the peaks set apart by reason
        (``nan_pixels``, ``hot_pixels``).

    Raises
    ------
    TypeError
        An argument of the wrong type, or settings passed by position (the message says to pass
        ``diameter=`` by keyword).
    ValueError
        A frame that is not 2-D or 3-D, or a bad keyword value (the message names it).

    Examples
    --------
    >>> import numpy as np
    >>> frame = np.zeros((32, 32), np.float32); frame[9:12, 19:22] = 20; frame[10, 20] = 100
    >>> spots = locate(frame)
    >>> spots[["y", "x"]].round(3).values.tolist()
    [[10.0, 20.0]]
    """
    array = _real_samples(np.asarray(frame))
    plan = _plan(array.ndim, _settings(locals()))
    frame_number = integer("frame_number", frame_number)
    stuck = _stuck(stuck_pixels, plan, array.shape)
    if plan.detector == "spots":
        return _spots_chunk(array[None], plan, frame_number, None, stuck)
    return _detect(np.ascontiguousarray(array, dtype=np.float32), plan, frame_number, stuck)


locate.__doc__ = (locate.__doc__ or "").replace("{shared}", _SHARED_DOC)


def _real_samples(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    if array.dtype.kind not in "uif":
        raise TypeError(f"frame must hold real numbers, not {array.dtype}")
    return array


def _detect(frame: npt.NDArray[np.float32], plan: _Plan, frame_number: int,
            stuck: npt.NDArray[np.int64] | None = None) -> pd.DataFrame:
    """One frame through the raw detectors' plan (a volume's stuck pixels painted over first)."""
    if stuck is not None and len(stuck):
        frame = _native.paint_stuck_pixels(frame, stuck)
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
        if _fits_volume(plan) and min(frame.shape) > 1:
            # The raw detector looks for peaks inside the volume only; a volume has few planes,
            # and a spot on the first or last one is as much a spot as any. Mirrored about its
            # edges (the edge voxels not repeated), the volume gets a voxel more on every side,
            # whose bounds (-1 to n) keep every position in the volume's own voxels.
            frame = np.pad(frame, 1, mode="reflect")
            bounds = tuple(float(v) for n in raw.shape for v in (-1, n))
        positions, intensities, scores = quorlin.rs_detect_peaks3d(
            frame, bounds, level, plan.min_distance, plan.window, plan.detector_method,
            plan.correlation_sigmas, plan.correlation_threshold,
            None if plan.refine else plan.max_peaks)
        if plan.correlation_sigmas is not None and scores is None:
            scores = np.zeros(len(intensities), np.float32)
    spots = _table(plan, np.full(len(intensities), frame_number, np.int64), positions,
                   intensities, scores)
    if plan.refine is not None:
        # Refiners fit the camera's values, never the prefiltered copy.
        spots = plan.refine(raw, spots, plan.window, plan.camera)
        if plan.max_peaks is not None:
            spots = spots.iloc[:plan.max_peaks].reset_index(drop=True)
    if plan.ndim == 3:
        spots = _measure_volume(raw, spots, plan)
        spots.attrs["stuck_pixels"] = _stuck_list(stuck)
    return spots


def _fits_volume(plan: _Plan) -> bool:
    """Whether a volume's positions come from the Gaussian fit (the default localization)."""
    return plan.ndim == 3 and plan.detector_method == "radial_symmetry"


def _measure_volume(volume: npt.NDArray[np.float32], spots: pd.DataFrame, plan: _Plan) -> pd.DataFrame:
    """A volume's spots with their measures (mass, background, size, snr) on the raw voxels, the
    single-voxel spikes and spots on NaN voxels set apart (counted in ``attrs["dropped"]``), and
    the filters applied."""
    positions = spots[list(spatial_columns(3))].to_numpy(np.float32)
    source, mass, background, size, snr, refined, fitted, dropped = _native.measure_volume_spots(
        volume, positions, plan.window, plan.keep_hot_pixels)
    # A spot the fit split in two is listed twice (its second after it), with the second's position.
    table = spots.iloc[source].reset_index(drop=True)
    table[MASS], table[BACKGROUND], table[SIZE], table[SNR] = mass, background, size, snr
    if _fits_volume(plan):
        # The detector's estimate is where the Gaussian fit starts; it stays where no fit held.
        fit = fitted.astype(bool)
        for k, name in enumerate(spatial_columns(3)):
            table[name] = refined[:, k]
        table[LOCATED_BY] = table[LOCATED_BY].where(~fit, "gaussian")
    keep = np.ones(len(table), bool)
    if plan.min_mass is not None:
        keep &= mass >= plan.min_mass
    if plan.min_snr is not None:
        keep &= snr >= plan.min_snr
    table = table[keep].reset_index(drop=True)
    table.attrs["dropped"] = dict(zip(DROP_REASONS, (int(n) for n in dropped)))
    return table


def _located_by(names: npt.ArrayLike) -> pd.Categorical:
    return pd.Categorical(np.asarray(names, dtype=object), categories=list(LOCATORS))


def _table(plan: _Plan, frames: npt.NDArray[np.int64], positions: npt.NDArray[np.float32],
           intensities: npt.NDArray[np.float32], scores: npt.NDArray[np.float32] | None) -> pd.DataFrame:
    """The raw route's table: positions, intensity, how each position was obtained, scores."""
    columns: dict[str, Any] = {FRAME: frames}
    points = np.asarray(positions, np.float32).reshape(-1, plan.ndim)
    for k, name in enumerate(spatial_columns(plan.ndim)):
        columns[name] = points[:, k]
    columns[INTENSITY] = np.asarray(intensities, np.float32)
    whole = np.all(points == np.round(points), axis=1)
    method = plan.detector_method or "pixel"
    columns[LOCATED_BY] = _located_by(np.where(whole, "pixel", method))
    if scores is not None:
        columns[SCORE] = np.asarray(scores, np.float32)
    table = pd.DataFrame(columns)
    table.attrs["dropped"] = dict.fromkeys(DROP_REASONS, 0)
    return table


def _spots_chunk(samples: npt.NDArray[Any], plan: _Plan, first_frame: int,
                 stop: npt.NDArray[np.uint8] | None, stuck: npt.NDArray[np.int64] | None = None) -> pd.DataFrame:
    """The "spots" detector on a (T, Y, X) chunk: one table, filtered and, with a refine step,
    refined frame by frame on the chunk's camera values."""
    camera = plan.camera
    counts, y, x, signal, mass, background, size, snr, how, dropped = _native.detect_spot_frames(
        samples, plan.diameter, plan.threshold, plan.min_distance, camera.gain, camera.offset,
        camera.read_noise, camera.given, plan.invert, plan.keep_hot_pixels, stop, stuck)
    frames = np.repeat(np.arange(first_frame, first_frame + len(counts), dtype=np.int64), counts)
    keep = np.ones(len(frames), bool)
    if plan.min_mass is not None:
        keep &= mass >= plan.min_mass
    if plan.min_snr is not None:
        keep &= snr >= plan.min_snr
    if plan.max_peaks is not None:
        # Rank of each kept spot within its frame (spots come most significant first).
        kept = np.cumsum(keep)
        before = np.concatenate(([0], kept))[np.repeat(np.cumsum(counts) - counts, counts)]
        keep &= kept - before <= plan.max_peaks
    table = pd.DataFrame({
        FRAME: frames[keep], "y": y[keep], "x": x[keep], INTENSITY: signal[keep], MASS: mass[keep],
        BACKGROUND: background[keep], SIZE: size[keep], SNR: snr[keep],
        LOCATED_BY: pd.Categorical.from_codes(how[keep].astype(np.int64), categories=pd.Index(LOCATORS))})
    if plan.refine is not None:
        parts = [plan.refine(samples[t - first_frame], table[table[FRAME].to_numpy() == t]
                             .reset_index(drop=True), plan.window, camera)
                 for t in range(first_frame, first_frame + len(counts))]
        table = pd.concat(parts, ignore_index=True) if parts else table
    table.attrs["dropped"] = dict(zip(DROP_REASONS, (int(n) for n in dropped.sum(axis=0))))
    table.attrs["stuck_pixels"] = _stuck_list(stuck)
    return table


def _joined(parts: list[pd.DataFrame]) -> pd.DataFrame:
    """One table of the per-frame tables, with the drop counts summed."""
    table = pd.concat(parts, ignore_index=True)
    table.attrs["dropped"] = {reason: sum(p.attrs["dropped"][reason] for p in parts)
                              for reason in DROP_REASONS}
    if "stuck_pixels" in parts[0].attrs:
        table.attrs["stuck_pixels"] = parts[0].attrs["stuck_pixels"]
    return table


@keyword_only(_KEYWORD_HINT)
def batch(movie: Any, *, diameter: int = 7, threshold: Threshold = "auto",
          min_distance: float = 3.0, method: str | None = "radial_symmetry",
          detector: str | None = None, window: int | None = None, max_peaks: int | None = None,
          gain: float | None = None, offset: float | None = None, read_noise: float | None = None,
          invert: bool = False, min_mass: float | None = None, min_snr: float | None = None,
          keep_hot_pixels: bool = False, correlation_sigmas: Sequence[float] | None = None,
          correlation_threshold: float | None = None, prefilter: str | None = None,
          stuck_pixels: Literal["auto"] | npt.ArrayLike | None = "auto",
          progress: bool | None = None) -> pd.DataFrame:
    """Detect, localize and measure the spots of every frame of a movie.

    Each frame gets exactly the spots :func:`locate` finds in it given the same stuck pixels,
    which ``"spots"`` and volumes find on the movie itself by default
    (:func:`find_stuck_pixels`; none with ``keep_hot_pixels=True``). 2-D movies run on a native path
    that converts, filters, thresholds, detects and measures several frames at once in parallel
    (without the interpreter lock), with memory bounded by a few frames plus the spots.

    Parameters
    ----------
    movie : Movie, path or array-like
        Anything :func:`open_movie` accepts, or a Movie it returned.
    {shared}
    progress : bool, optional
        Show a progress bar (tqdm) on stderr; by default only when stderr is a terminal.

    Returns
    -------
    pandas.DataFrame
        One row per spot, frame by frame (most significant first within a frame), columns as
        :func:`locate` returns them; ``frame`` counts from 0; ``attrs["dropped"]`` sums the
        peaks set apart over the movie; with ``"spots"`` and volumes, ``attrs["stuck_pixels"]``
        lists the stuck pixels painted over, [row, column] pairs.

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
    >>> movie = np.zeros((3, 32, 32), np.uint16); movie[:, 9:12, 19:22] = 20; movie[:, 10, 20] = 100
    >>> batch(movie)[["frame", "y", "x"]].values.tolist()
    [[0.0, 10.0, 20.0], [1.0, 10.0, 20.0], [2.0, 10.0, 20.0]]
    """
    frames = movie if isinstance(movie, Movie) else open_movie(movie)
    plan = _plan(frames.ndim, _settings(locals()))
    stuck = _movie_stuck(stuck_pixels, plan, frames)
    from tqdm import tqdm

    show = sys.stderr.isatty() if progress is None else bool(progress)
    with tqdm(total=len(frames), unit="frame", desc="detect", disable=not show,
              file=sys.stderr) as bar:
        if plan.native:
            return _batch_native(frames, plan, bar.update, stuck)
        parts = []
        for t in range(len(frames)):
            parts.append(_detect(np.asarray(frames.read(t, t + 1)[0], np.float32), plan, t, stuck))
            bar.update(1)
    if not parts:
        return _detect(np.zeros((1,) * plan.ndim, np.float32), plan, 0)
    return _joined(parts)


batch.__doc__ = (batch.__doc__ or "").replace("{shared}", _SHARED_DOC)


def _batch_native(frames: Movie, plan: _Plan, advance: Callable[[int], Any],
                  stuck: npt.NDArray[np.int64] | None = None) -> pd.DataFrame:
    """Chunks of frames through the native path on a helper thread, so the calling thread reads
    the next chunk meanwhile and stays free to take Ctrl-C: it then sets the stop flag, and the
    workers skip every frame not yet started."""
    frame_bytes = max(1, int(np.prod(frames.frame_shape)) * frames.dtype.itemsize)
    chunk = max(1, min(_FRAMES_PER_WORKER * (os.cpu_count() or 1), _CHUNK_BYTES // frame_bytes))
    results: list[Any] = []
    stop = np.zeros(1, np.uint8)

    def work(samples: npt.NDArray[Any], start: int) -> Any:
        if plan.detector == "spots":
            return _spots_chunk(samples, plan, start, stop, stuck)
        return _native.detect_frames(samples, plan.threshold, plan.min_distance, plan.detector_method,
                                     plan.window, plan.max_peaks, stop)

    def collect(done: Future[Any], size: int) -> None:
        results.append(done.result())
        advance(size)

    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorlin-batch") as helper:
        pending: tuple[Future[Any], int] | None = None
        try:
            for start in range(0, len(frames), chunk):
                samples = frames.read(start, start + chunk)  # real samples: read checks them
                if pending is not None:
                    collect(*pending)
                pending = (helper.submit(work, samples, start), len(samples))
            if pending is not None:
                collect(*pending)
        except BaseException:
            stop[0] = 1
            raise
    if plan.detector == "spots":
        if not results:
            return _spots_chunk(np.zeros((0, 3, 3), np.float32), plan, 0, None)
        return results[0] if len(results) == 1 else _joined(results)
    counts = [r[0] for r in results]
    per_frame = np.concatenate(counts) if counts else np.zeros(0, np.int64)
    return _table(plan, np.repeat(np.arange(len(per_frame), dtype=np.int64), per_frame),
                  np.concatenate([r[1] for r in results]) if results else np.zeros((0, 2), np.float32),
                  np.concatenate([r[2] for r in results]) if results else np.zeros(0, np.float32), None)


@keyword_only(_KEYWORD_HINT)
def detect_and_refine(frame: Any, *, diameter: int = 7, threshold: Threshold = "auto",
                      min_distance: float = 3.0, window: int = 7, sigma: float | None = None,
                      gain: float | None = None, offset: float | None = None,
                      read_noise: float | None = None) -> pd.DataFrame:
    """Detect the spots of a frame with the default detector, then fit them on the frame.

    The same as ``locate(frame, method="mle", ...)``: spots are the peaks of the band-passed
    frame that stand out of its noise (see :func:`locate`), each then fitted by
    :func:`quorlin_track.refine` on the camera values with the camera model.

    Parameters
    ----------
    frame : array_like, 2-D
        The raw frame in camera counts.
    diameter, threshold, min_distance, gain, offset, read_noise
        As in :func:`locate`.
    window, sigma
        As in :func:`quorlin_track.refine`.

    Returns
    -------
    pandas.DataFrame
        One row per spot, most significant first: the columns of :func:`locate`
        and those of :func:`quorlin_track.refine`.

    Examples
    --------
    >>> yy, xx = np.mgrid[:32, :48]
    >>> photons = 5.0 + 400.0 * np.exp(-((yy - 12.3) ** 2 + (xx - 30.2) ** 2) / (2 * 1.3**2))
    >>> frame = (100.0 + 2.0 * photons).astype(np.float32)
    >>> spots = detect_and_refine(frame, sigma=1.3, gain=2.0, offset=100.0)
    >>> spots[spots.converged][["y", "x"]].round(2)
          y     x
    0  12.3  30.2
    """
    spots = locate(frame, diameter=diameter, threshold=threshold, min_distance=min_distance,
                   gain=gain, offset=offset, read_noise=read_noise)
    camera = Camera(1.0 if gain is None else gain, 0.0 if offset is None else offset, read_noise)
    return mle_step(np.asarray(frame), spots, window, camera, sigma)

"""Spot fits at the precision the photons allow, and a band-pass prefilter for dim spots.

``refine`` fits each spot of a table by Poisson maximum likelihood and reports per-spot
uncertainties; ``bandpass`` suppresses pixel noise and slow background before detection. Both are
also steps that :func:`quorlin_track.locate` runs by name (``method="mle"``,
``prefilter="bandpass"``).
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
import pandas as pd

from . import _native
from .columns import LOCATED_BY
from .validation import keyword_only, real

__all__ = ["bandpass", "refine", "mle_step"]

#: Element types the native code reads directly; others are converted to float64 first.
_NATIVE_TYPES = (np.float32, np.float64, np.uint16, np.uint8)
#: Columns that ``refine`` adds, in this order.
FIT_COLUMNS = ("photons", "background", "sigma", "x_err", "y_err", "converged")


def _frame(frame: Any, name: str = "frame") -> np.ndarray:
    array = np.asarray(frame)
    if array.ndim != 2:
        raise ValueError(f"argument '{name}': must be a 2-D array, got {array.ndim} dimensions")
    if not (np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_) or np.issubdtype(
        array.dtype, np.complexfloating
    ):
        raise TypeError(f"argument '{name}': must hold real numbers, got dtype {array.dtype}")
    return array


def _real(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"argument '{name}': must be a real number, got {type(value).__name__}")
    return float(value)


def _integer(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"argument '{name}': must be an integer, got {type(value).__name__}")
    return int(value)


def bandpass(frame: Any, noise_size: float = 1.0, feature_size: float = 3.0) -> np.ndarray:
    """Band-pass filter a frame: a Gaussian low-pass minus the local mean background.

    Parameters
    ----------
    frame : array_like, 2-D
        The frame, any real element type (computed in float32).
    noise_size : float
        Standard deviation of the Gaussian low-pass in pixels (about the pixel noise's
        correlation length; 0 skips the smoothing).
    feature_size : float
        Half-width in pixels of the square whose mean is subtracted as background (rounded to an
        integer of at least 1); about the radius of a spot.

    Returns
    -------
    numpy.ndarray
        float32 frame of the same shape. Background regions scatter around 0; spots stand out as
        positive bumps. Values beyond the edges are taken as mirrored.

    Raises
    ------
    ValueError
        ``frame`` not 2-D, or a size out of range (the message names the argument).

    Examples
    --------
    >>> frame = np.full((32, 48), 100.0, np.float32)
    >>> frame[12, 30] = 400.0
    >>> filtered = bandpass(frame, noise_size=1.0, feature_size=4)
    >>> filtered.shape, bool(filtered[12, 30] > filtered[0, 0])
    ((32, 48), True)
    """
    array = np.asarray(_frame(frame), dtype=np.float32)
    if any(stride % array.itemsize for stride in array.strides):
        array = np.ascontiguousarray(array)
    return _native.bandpass(array, _real(noise_size, "noise_size"),
                            _real(feature_size, "feature_size"))


@keyword_only("pass the spots table second and every setting by keyword, e.g. "
              "refine(frame, spots, sigma=1.3, gain=2.0, offset=100.0)")
def refine(frame: Any, spots: pd.DataFrame, *, method: str = "mle", window: int = 7,
           sigma: float | None = None, gain: float = 1.0, offset: float = 0.0,
           read_noise: float | None = None) -> pd.DataFrame:
    """Fit each spot by Poisson maximum likelihood and report its precision.

    Each spot's window (``window`` x ``window`` pixels around the pixel nearest its ``y``, ``x``)
    is converted to photons, ``(value - offset) / gain`` (negative values count as 0), and fitted
    with a pixel-integrated 2-D Gaussian plus a flat background: centre, total photons,
    background per pixel and, unless given, the width. With ``read_noise`` the Gaussian read noise
    enters the likelihood the usual way: data and model are both raised by
    ``(read_noise / gain)**2`` photons, so each pixel's Poisson variance is its mean plus the read
    noise's variance. The fits run in double precision in parallel, without the interpreter lock.

    Parameters
    ----------
    frame : array_like, 2-D
        The raw frame in camera counts (``x`` is the column axis, axis 1).
    spots : pandas.DataFrame
        One row per spot with columns ``y`` and ``x`` (pixels); other columns are kept.
    method : str
        ``"mle"``, the only method.
    window : int
        Odd window side in pixels, 3 to 31. Windows that leave the frame are fitted on their
        in-frame part (at least 3 pixels per axis).
    sigma : float or None
        PSF standard deviation in pixels when known (fixed, at least 0.3), or None to fit it.
    gain : float
        Camera counts per photon, above 0.
    offset : float
        Camera counts at zero light.
    read_noise : float, optional
        Camera read noise, counts (standard deviation).

    Returns
    -------
    pandas.DataFrame
        A copy of ``spots`` with ``y``, ``x`` replaced by the fitted centre and the columns
        ``photons``, ``background`` (photons per pixel), ``sigma`` (pixels), ``x_err``, ``y_err``
        (pixels: standard errors from the curvature of the likelihood at the estimate, which on
        noise-free data is the Cramér–Rao bound) and ``converged``.
        A spot whose window holds a NaN pixel, whose centre is not finite or off the frame, or
        whose window keeps fewer than 3 pixels per axis keeps its ``y``, ``x``, gets NaN in the
        other columns and ``converged`` False. Fits that did not settle at a maximum of the
        likelihood inside the window and the parameter bounds also have ``converged`` False.

    Raises
    ------
    ValueError
        Bad ``method``, ``window``, ``sigma``, ``gain``, ``offset``, a frame that is not 2-D or
        a table without ``y``/``x`` (the message names the argument).
    TypeError
        Arguments of the wrong type.

    Examples
    --------
    A spot of 400 photons at its peak, centred at (12.3, 30.2), on 5 photons of background, seen
    by a camera of gain 2 and offset 100:

    >>> yy, xx = np.mgrid[:32, :48]
    >>> photons = 5.0 + 400.0 * np.exp(-((yy - 12.3) ** 2 + (xx - 30.2) ** 2) / (2 * 1.3**2))
    >>> frame = (100.0 + 2.0 * photons).astype(np.float32)
    >>> fitted = refine(frame, pd.DataFrame({"y": [12.0], "x": [30.0]}), sigma=1.3, gain=2.0,
    ...                 offset=100.0)
    >>> fitted[["y", "x", "converged"]].round(2)
          y     x  converged
    0  12.3  30.2       True
    """
    if method != "mle":
        raise ValueError(f"argument 'method': must be 'mle', got {method!r}")
    array = _frame(frame)
    if array.dtype.type not in _NATIVE_TYPES or not array.dtype.isnative:
        array = array.astype(np.float64)
    if any(stride % array.itemsize for stride in array.strides):
        array = np.ascontiguousarray(array)
    if not isinstance(spots, pd.DataFrame):
        raise TypeError(f"argument 'spots': must be a pandas DataFrame, got {type(spots).__name__}")
    missing = [c for c in ("y", "x") if c not in spots.columns]
    if missing:
        raise ValueError(f"argument 'spots': missing column(s) {', '.join(missing)}")
    try:
        y = np.ascontiguousarray(spots["y"].to_numpy(dtype=np.float64, na_value=np.nan))
        x = np.ascontiguousarray(spots["x"].to_numpy(dtype=np.float64, na_value=np.nan))
    except (TypeError, ValueError) as error:
        raise ValueError(f"argument 'spots': columns y and x must be numeric ({error})") from None
    width = None if sigma is None else _real(sigma, "sigma")
    gain = _real(gain, "gain")
    offset = _real(offset, "offset")
    # Read noise as extra Poisson counts: the frame is read `lift` photons higher (through the
    # offset) and the fitted background, which took them up, is lowered again.
    lift = 0.0 if read_noise is None else (real("read_noise", read_noise, low=0, unit="counts") / gain) ** 2
    fits = _native.refine_spots(array, y, x, _integer(window, "window"), width, gain,
                                offset - lift * gain)
    fits["background"] = fits["background"] - lift
    out = spots.copy()
    out["y"] = fits["y"]
    out["x"] = fits["x"]
    for column in FIT_COLUMNS:
        out[column] = fits[column]
    return out


def mle_step(frame: Any, spots: pd.DataFrame, window: int, camera: Any,
             sigma: float | None = None) -> pd.DataFrame:
    """The fit as a step after detection, with the camera model ``camera`` (its ``gain``,
    ``offset`` and ``read_noise``): converged fits say "mle" in ``located_by``; the others keep the
    detector's position and say how it was obtained."""
    fitted = refine(frame, spots, window=window, sigma=sigma, gain=camera.gain, offset=camera.offset,
                    read_noise=camera.read_noise)
    if LOCATED_BY in fitted:
        failed = ~fitted["converged"].to_numpy(bool)
        fitted.loc[failed, ["y", "x"]] = spots.loc[failed, ["y", "x"]].to_numpy()
        fitted.loc[~failed, LOCATED_BY] = "mle"
    return fitted

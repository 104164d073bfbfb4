"""Synthetic single-particle data: diffusing, blinking Gaussian spots imaged with shot noise and
read noise, in 2-D frames or 3-D volumes, and the Cramer-Rao lower bound of their localization.

Used by ``quorlin-track --demo``, the examples and the precision benchmark. Lengths are in pixels
(voxels), with pixel k covering [k - 0.5, k + 0.5] along each axis; intensities are in photons.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Movie", "cramer_rao_bound", "expected_image", "image_frames", "simulate",
           "simulate_motion"]

Floats = npt.NDArray[np.float64]


def erf(x: npt.ArrayLike) -> Floats:
    """The error function, element-wise, in double precision."""
    values: Floats = np.asarray(np.frompyfunc(math.erf, 1, 1)(x), dtype=np.float64)
    return values


@dataclass
class Movie:
    """A simulated movie and its ground truth."""

    frames: npt.NDArray[np.float32]  # (T, *shape) photons
    positions: Floats  # (T, P, nd) true particle positions, pixel units
    visible: npt.NDArray[np.bool_]  # (T, P) particle emitting in that frame
    sigma: Floats  # (nd,) PSF standard deviation per axis
    photons: float
    background: float
    read_noise: float


def pixel_profile(centres: Floats, sigma: float, first: npt.NDArray[np.int64],
                  size: int) -> tuple[npt.NDArray[np.int64], Floats, Floats]:
    """Fraction of a unit 1-D Gaussian (centre `centres`, width `sigma`) collected by each of the
    `size` pixels starting at index `first`, and its derivative with respect to the centre.
    Pixel k spans [k - 0.5, k + 0.5]. Shapes: centres (M,), first (M,) -> (M, size)."""
    k = first[:, None] + np.arange(size)[None, :]
    lo = (k - 0.5 - centres[:, None]) / (math.sqrt(2.0) * sigma)
    hi = (k + 0.5 - centres[:, None]) / (math.sqrt(2.0) * sigma)
    fraction = 0.5 * (erf(hi) - erf(lo))
    derivative = (np.exp(-(lo**2)) - np.exp(-(hi**2))) / (math.sqrt(2.0 * math.pi) * sigma)
    return k, fraction, derivative


def axis_profiles(centres: Floats, sigma: Floats, half: int
                  ) -> tuple[list[npt.NDArray[np.int64]], list[Floats], list[Floats]]:
    """:func:`pixel_profile` along every axis over the ``2 * half + 1`` pixels around each
    centre's nearest pixel: per axis the pixel indices, fractions and derivatives, (M, size)."""
    indices, fractions, derivatives = [], [], []
    for axis in range(centres.shape[1]):
        first = np.rint(centres[:, axis]).astype(np.int64) - half
        k, fraction, derivative = pixel_profile(centres[:, axis], sigma[axis], first, 2 * half + 1)
        indices.append(k)
        fractions.append(fraction)
        derivatives.append(derivative)
    return indices, fractions, derivatives


def outer_product(factors: list[Floats]) -> Floats:
    """Per-spot outer product of 1-D profiles: list of (M, P) arrays -> (M, P, P[, P])."""
    result = factors[0]
    for factor in factors[1:]:
        result = result[..., None] * factor.reshape(factor.shape[:1] + (1,) * (result.ndim - 1) + factor.shape[1:])
    return result


def expected_image(shape: tuple[int, ...], centres: Floats, sigma: Floats, photons: float,
                   background: float) -> Floats:
    """Expected photon counts per pixel: background plus pixel-integrated Gaussian spots.

    Parameters
    ----------
    shape : tuple of int
        Frame shape in pixels, (Y, X) or (Z, Y, X).
    centres : numpy.ndarray
        (M, nd) spot centres in pixels, axis order.
    sigma : numpy.ndarray
        (nd,) PSF standard deviation per axis, pixels.
    photons, background : float
        Photons per spot, and per pixel of background.

    Returns
    -------
    numpy.ndarray
        float64 image of ``shape``, photons per pixel.

    Raises
    ------
    ValueError
        For centres whose width does not match the shape.

    Examples
    --------
    >>> image = expected_image((9, 9), np.array([[4.0, 4.0]]), np.array([1.0, 1.0]), 100.0, 1.0)
    >>> round(float(image.sum()), 1)
    181.0
    """
    nd = len(shape)
    half = int(math.ceil(4.0 * float(np.max(sigma))))
    size = 2 * half + 1
    image = np.full(int(np.prod(shape)), background, dtype=np.float64)
    if len(centres) == 0:
        return image.reshape(shape)
    indices, profiles, _ = axis_profiles(centres, sigma, half)
    values = photons * outer_product(profiles)
    inside = np.ones(values.shape, dtype=bool)
    flat = np.zeros(values.shape, dtype=np.int64)
    for axis in range(nd):
        k = indices[axis].reshape((len(centres),) + (1,) * axis + (size,) + (1,) * (nd - 1 - axis))
        inside &= (k >= 0) & (k < shape[axis])
        flat = flat * shape[axis] + np.clip(k, 0, shape[axis] - 1)
    image += np.bincount(flat[inside], weights=values[inside], minlength=image.size)
    return image.reshape(shape)


def reflect(x: Floats, upper: Floats) -> Floats:
    """Fold coordinates into [0, upper], mirroring at both walls."""
    period = np.mod(x, 2.0 * upper)
    return np.where(period > upper, 2.0 * upper - period, period)


def simulate_motion(shape: tuple[int, ...], particles: int, frames: int, diffusion: float,
                    p_off: float, p_on: float,
                    rng: np.random.Generator) -> tuple[Floats, npt.NDArray[np.bool_]]:
    """Brownian particles, reflected at the edges of the field, that blink as a two-state Markov
    chain.

    Parameters
    ----------
    shape : tuple of int
        Field in pixels; positions stay within [0, n - 1] per axis.
    particles, frames : int
        How many of each.
    diffusion : float
        Diffusion coefficient, pixel^2 per frame.
    p_off, p_on : float
        Per-frame probabilities that a visible particle goes dark and a dark one lights up.
    rng : numpy.random.Generator
        Source of randomness.

    Returns
    -------
    positions : numpy.ndarray
        (T, P, nd) true positions in pixels.
    visible : numpy.ndarray
        (T, P) whether each particle emits in each frame.

    Raises
    ------
    ValueError
        For a negative diffusion coefficient.

    Examples
    --------
    >>> pos, vis = simulate_motion((32, 32), 4, 3, 0.5, 0.0, 1.0, np.random.default_rng(0))
    >>> pos.shape, bool(vis.all())
    ((3, 4, 2), True)
    """
    nd = len(shape)
    upper = np.array(shape, dtype=np.float64) - 1.0
    positions = np.empty((frames, particles, nd))
    visible = np.empty((frames, particles), dtype=bool)
    positions[0] = rng.uniform(0.0, 1.0, (particles, nd)) * upper
    visible[0] = rng.uniform(size=particles) < p_on / (p_on + p_off)
    step = math.sqrt(2.0 * diffusion)
    for t in range(1, frames):
        positions[t] = reflect(positions[t - 1] + rng.normal(0.0, step, (particles, nd)), upper)
        switch = rng.uniform(size=particles)
        visible[t] = np.where(visible[t - 1], switch >= p_off, switch < p_on)
    return positions, visible


def image_frames(positions: Floats, visible: npt.NDArray[np.bool_], shape: Any, sigma: Floats,
                 photons: float, background: float, read_noise: float,
                 rng: np.random.Generator) -> npt.NDArray[np.float32]:
    """Noisy frames of the visible particles: Poisson counts plus Gaussian read noise.

    Parameters
    ----------
    positions, visible : numpy.ndarray
        As :func:`simulate_motion` returns them.
    shape : sequence of int
        Frame shape in pixels.
    sigma : numpy.ndarray
        (nd,) PSF standard deviation per axis, pixels.
    photons, background, read_noise : float
        Photons per spot, background photons per pixel, read noise standard deviation (photons).
    rng : numpy.random.Generator
        Source of randomness.

    Returns
    -------
    numpy.ndarray
        (T, *shape) float32 frames, photons.

    Raises
    ------
    ValueError
        For negative expected counts.

    Examples
    --------
    >>> frames = image_frames(np.zeros((2, 1, 2)) + 8.0, np.ones((2, 1), bool), (16, 16),
    ...                       np.array([1.3, 1.3]), 500.0, 5.0, 0.0, np.random.default_rng(0))
    >>> frames.shape, frames.dtype
    ((2, 16, 16), dtype('float32'))
    """
    shape = tuple(shape)
    movie = np.empty((len(positions),) + shape, dtype=np.float32)
    for t in range(len(positions)):
        mean = expected_image(shape, positions[t][visible[t]], sigma, photons, background)
        counts = rng.poisson(mean).astype(np.float64)
        if read_noise > 0:
            counts += rng.normal(0.0, read_noise, shape)
        movie[t] = counts
    return movie


def simulate(shape: Any, particles: int, frames: int, sigma: Any, photons: float,
             background: float, read_noise: float, diffusion: float, p_off: float, p_on: float,
             seed: int) -> Movie:
    """A whole movie with its ground truth (see :func:`simulate_motion` and :func:`image_frames`).

    Parameters
    ----------
    shape, particles, frames, sigma, photons, background, read_noise, diffusion, p_off, p_on
        As for :func:`simulate_motion` and :func:`image_frames` (pixels, frames, photons).
    seed : int
        Seed of the random generator: equal seeds give equal movies.

    Returns
    -------
    Movie
        Frames, positions, visibility and the settings.

    Raises
    ------
    ValueError
        For negative widths, counts or diffusion.

    Examples
    --------
    >>> movie = simulate((16, 16), 2, 3, [1.3, 1.3], 500.0, 5.0, 1.0, 0.2, 0.0, 1.0, 1)
    >>> movie.frames.shape, movie.positions.shape
    ((3, 16, 16), (3, 2, 2))
    """
    rng = np.random.default_rng(seed)
    positions, visible = simulate_motion(tuple(shape), particles, frames, diffusion, p_off, p_on,
                                         rng)
    movie = image_frames(positions, visible, shape, sigma, photons, background, read_noise, rng)
    return Movie(movie, positions, visible, np.asarray(sigma, dtype=np.float64), photons,
                 background, read_noise)


def cramer_rao_bound(centres: npt.ArrayLike, sigma: Floats, photons: float, background: float,
                     read_noise: float) -> Floats:
    """Standard deviation bound per axis, (M, nd), for unbiased estimates of each spot's centre.

    The model is the pixel-integrated Gaussian of `expected_image` with the centre, the photon
    count and the background unknown; the Fisher information sums over a patch of +-4 sigma around
    the spot. Read noise enters through the usual Poisson approximation of variance
    mean + read_noise^2.

    Parameters
    ----------
    centres : array_like
        (M, nd) spot centres, pixels.
    sigma : numpy.ndarray
        (nd,) PSF standard deviation per axis, pixels.
    photons, background, read_noise : float
        Photons per spot, background photons per pixel, read noise (photons).

    Returns
    -------
    numpy.ndarray
        (M, nd) smallest standard deviation of an unbiased centre estimate, pixels.

    Raises
    ------
    numpy.linalg.LinAlgError
        When the Fisher information is singular (no photons).

    Examples
    --------
    >>> b = cramer_rao_bound([[10.0, 10.0]], np.array([1.3, 1.3]), 1500.0, 10.0, 1.5)
    >>> b.shape
    (1, 2)
    """
    centres = np.atleast_2d(np.asarray(centres, dtype=np.float64))
    count, nd = centres.shape
    half = int(math.ceil(4.0 * float(np.max(sigma))))
    size = 2 * half + 1
    _, fractions, derivatives = axis_profiles(centres, sigma, half)
    shape_psf = outer_product(fractions).reshape(count, size**nd)
    gradients = []
    for axis in range(nd):
        factors = [derivatives[a] if a == axis else fractions[a] for a in range(nd)]
        gradients.append(photons * outer_product(factors).reshape(count, size**nd))
    gradients.append(shape_psf)
    gradients.append(np.ones_like(shape_psf))
    jacobian = np.stack(gradients, axis=1)  # (M, nd + 2, pixels)
    weight = 1.0 / (photons * shape_psf + background + read_noise**2)
    fisher = np.einsum("mip,mjp,mp->mij", jacobian, jacobian, weight)
    inverse = np.linalg.inv(fisher)
    bound: Floats = np.sqrt(np.stack([inverse[:, a, a] for a in range(nd)], axis=1))
    return bound

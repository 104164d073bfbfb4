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

__all__ = ["SCENES", "CameraMovie", "CameraScene", "Movie", "camera_movie", "cramer_rao_bound",
           "expected_image", "image_frames", "simulate", "simulate_motion"]

Floats = npt.NDArray[np.float64]


def erf(x: npt.ArrayLike) -> Floats:
    """The error function, element-wise, in double precision."""
    values: Floats = np.asarray(np.frompyfunc(math.erf, 1, 1)(x), dtype=np.float64)
    return values


@dataclass
class SimulatedMovie:
    """A simulated movie and its ground truth (the frames as an array; :class:`quorlin_track.Movie`
    is a movie to read)."""

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
             seed: int) -> SimulatedMovie:
    """A whole movie with its ground truth (see :func:`simulate_motion` and :func:`image_frames`).

    Parameters
    ----------
    shape, particles, frames, sigma, photons, background, read_noise, diffusion, p_off, p_on
        As for :func:`simulate_motion` and :func:`image_frames` (pixels, frames, photons).
    seed : int
        Seed of the random generator: equal seeds give equal movies.

    Returns
    -------
    SimulatedMovie
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
    return SimulatedMovie(movie, positions, visible, np.asarray(sigma, dtype=np.float64), photons,
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


# --- Camera-like movies ------------------------------------------------------------------------

#: Scenes of :func:`camera_movie` by name, each a set of keyword values for :class:`CameraScene`.
SCENES: dict[str, dict[str, Any]] = {
    # Uneven illumination, hot pixels, a few saturated particles and out-of-focus frames.
    "camera": {"particles": 120, "photons": 1500.0, "illumination": 0.5, "bright": 3,
               "defocus_frames": 3},
    # Cell-like textured background: bright cells with inner texture and soft edges.
    "textured": {"particles": 80, "photons": 1500.0, "illumination": 0.3, "cells": 8},
    # Dim particles (median 350 photons).
    "dim": {"particles": 120, "photons": 350.0, "illumination": 0.3},
    # Crowded field: 350 particles in 256 x 256 pixels.
    "dense": {"particles": 350, "photons": 1500.0, "illumination": 0.3},
}


@dataclass(frozen=True)
class CameraScene:
    """What :func:`camera_movie` simulates. Lengths in pixels, light in photons, camera values in
    ADU (camera counts)."""

    shape: tuple[int, int] = (256, 256)
    frames: int = 80
    particles: int = 120
    photons: float = 1500.0  # median photons per particle and frame (log-normal, spread 0.4)
    sigma: float = 1.3  # PSF standard deviation in focus
    background: float = 15.0  # photons per pixel at the centre of the illumination
    illumination: float = 0.3  # fall-off of the illumination from the centre to the corners
    cells: int = 0  # textured cells in the background
    bright: int = 0  # particles 15x brighter than the rest (they saturate the camera)
    defocus_frames: int = 0  # frames imaged out of focus (PSF twice as wide)
    bleaching: float = 0.4  # fraction of the light lost by the last frame
    diffusion: float = 0.3  # pixel^2 per frame
    blink_off: float = 0.02
    blink_on: float = 0.5
    gain: float = 2.0  # ADU per photon
    offset: float = 100.0  # ADU at zero light
    read_noise: float = 3.0  # ADU, standard deviation (a few pixels are far noisier)
    hot_pixels: int = 15
    full_well: int = 4095  # largest camera value (a 12-bit converter); up to 255: 8-bit frames
    excess_noise: float = 1.0  # noise factor of an electron-multiplying register (EMCCD: sqrt(2))
    gradient: float = 0.0  # illumination change from the left edge to the right, share of the level
    cell_contrast: float = 1.0  # scales the cells' brightness over the background
    dead_columns: int = 0  # columns of missing (NaN) pixels: float32 frames
    masked_regions: int = 0  # rectangles of missing (NaN) pixels: float32 frames


@dataclass
class CameraMovie:
    """A camera-like movie and its ground truth."""

    frames: npt.NDArray[Any]  # (T, Y, X) camera counts: uint16, uint8 (8-bit), float32 (NaN pixels)
    positions: Floats  # (T, P, 2) true positions (y, x), pixels; may lie outside the frame
    visible: npt.NDArray[np.bool_]  # (T, P) emitting, inside the frame, clear of missing pixels
    photons: Floats  # (T, P) photons of each particle in each frame
    hot_pixels: npt.NDArray[np.int64]  # (H, 2) rows and columns of the stuck pixels
    scene: CameraScene


def _smooth_noise(shape: tuple[int, int], width: float, rng: np.random.Generator) -> Floats:
    """White noise low-passed by a Gaussian of ``width`` pixels (through the FFT), scaled to unit
    standard deviation."""
    fy = np.fft.fftfreq(shape[0])[:, None]
    fx = np.fft.rfftfreq(shape[1])[None, :]
    spectrum = np.fft.rfft2(rng.normal(size=shape)) * np.exp(-2.0 * (np.pi * width) ** 2 * (fy**2 + fx**2))
    field: Floats = np.fft.irfft2(spectrum, shape)
    scaled: Floats = field / field.std()
    return scaled


def _background(scene: CameraScene, rng: np.random.Generator) -> Floats:
    """Photons per pixel of the background: uneven illumination times the base level, plus
    cells with soft edges and inner texture."""
    rows, cols = scene.shape
    y, x = np.mgrid[0:rows, 0:cols].astype(np.float64)
    cy, cx = rows * rng.uniform(0.3, 0.7), cols * rng.uniform(0.3, 0.7)
    radius = math.hypot(rows, cols) / 2.0
    light = 1.0 - scene.illumination * ((y - cy) ** 2 + (x - cx) ** 2) / radius**2
    light += scene.gradient * (x / max(cols - 1, 1) - 0.5)
    image = scene.background * np.clip(light, 0.05, None)
    texture = _smooth_noise(scene.shape, 3.0, rng)
    for _ in range(scene.cells):
        a, b = rng.uniform(15.0, 40.0, 2)
        angle = rng.uniform(0.0, np.pi)
        oy, ox = rng.uniform(0, rows), rng.uniform(0, cols)
        u = (y - oy) * np.cos(angle) + (x - ox) * np.sin(angle)
        v = -(y - oy) * np.sin(angle) + (x - ox) * np.cos(angle)
        inside = 1.0 / (1.0 + np.exp((np.sqrt((u / a) ** 2 + (v / b) ** 2) - 1.0) * min(a, b) / 2.0))
        level = scene.background * scene.cell_contrast * rng.uniform(1.5, 4.0)
        image += level * inside * np.clip(1.0 + 0.35 * texture, 0.0, None)
    result: Floats = image
    return result


def _spots(shape: tuple[int, int], centres: Floats, width: float, photons: Floats) -> Floats:
    """Pixel-integrated Gaussian spots of ``photons`` each (one value per centre)."""
    image = np.zeros(shape[0] * shape[1])
    if not len(centres):
        return image.reshape(shape)
    half = int(math.ceil(4.0 * width))
    (ky, kx), (py, px), _ = axis_profiles(centres, np.full(2, width), half)
    values = photons[:, None, None] * py[:, :, None] * px[:, None, :]
    ky, kx = np.broadcast_to(ky[:, :, None], values.shape), np.broadcast_to(kx[:, None, :], values.shape)
    inside = (ky >= 0) & (ky < shape[0]) & (kx >= 0) & (kx < shape[1])
    image += np.bincount((ky * shape[1] + kx)[inside], weights=values[inside], minlength=image.size)
    return image.reshape(shape)


def _photons_to_counts(mean: Floats, scene: CameraScene, rng: np.random.Generator) -> Floats:
    """Photon counts drawn for the expected image, in counts without offset and read noise: Poisson,
    and with an electron-multiplying register (``excess_noise`` F > 1) a gamma-distributed gain
    whose variance makes the output's F**2 times Poisson's."""
    photons = rng.poisson(mean).astype(np.float64)
    if scene.excess_noise > 1.0:
        spread = scene.excess_noise**2 - 1.0
        photons = np.where(photons > 0, rng.gamma(np.maximum(photons, 1.0) / spread, spread), 0.0)
    scaled: Floats = scene.gain * photons
    return scaled


def _missing_pixels(scene: CameraScene, rng: np.random.Generator) -> npt.NDArray[np.bool_]:
    """Where the camera gives no value: dead columns and masked rectangles (a tenth to a fifth of
    the frame's sides each)."""
    rows, cols = scene.shape
    missing = np.zeros(scene.shape, bool)
    missing[:, rng.choice(cols, scene.dead_columns, replace=False)] = True
    for _ in range(scene.masked_regions):
        h, w = (rng.uniform(0.1, 0.2, 2) * (rows, cols)).astype(int) + 1
        top, left = rng.integers(0, rows - h + 1), rng.integers(0, cols - w + 1)
        missing[top:top + h, left:left + w] = True
    return missing


def _near(points: Floats, mask: npt.NDArray[np.bool_], reach: int) -> npt.NDArray[np.bool_]:
    """Whether each (..., 2) point's nearest pixel lies within ``reach`` pixels (square) of a
    masked pixel; points outside the frame are not."""
    rows, cols = mask.shape
    grown = np.zeros((rows + 2 * reach, cols + 2 * reach), bool)
    for dy in range(2 * reach + 1):
        for dx in range(2 * reach + 1):
            grown[dy:dy + rows, dx:dx + cols] |= mask
    r = np.rint(points[..., 0]).astype(np.int64)
    c = np.rint(points[..., 1]).astype(np.int64)
    inside = (r >= 0) & (r < rows) & (c >= 0) & (c < cols)
    result: npt.NDArray[np.bool_] = inside & grown[np.clip(r, 0, rows - 1) + reach, np.clip(c, 0, cols - 1) + reach]
    return result


def camera_movie(scene: CameraScene | str = "camera", *, seed: int = 0, **changes: Any) -> CameraMovie:
    """A movie as a fluorescence camera records it, with its ground truth.

    Particles diffuse in a field 12 pixels larger than the frame on every side (so they enter and
    leave), blink, bleach, and are imaged as pixel-integrated Gaussian spots on an uneven (and
    optionally cell-textured) background; a few frames are out of focus. The camera adds Poisson
    noise, converts photons to counts (``gain``, ``offset``), adds read noise (a few pixels with
    several times the typical level), clips at ``full_well`` and has stuck hot pixels with the
    same value in every frame.

    Parameters
    ----------
    scene : CameraScene or str
        The scene, or a name in ``SCENES`` ("camera", "textured", "dim", "dense").
    seed : int
        Seed of the random generator: equal seeds give equal movies.
    **changes
        Fields of :class:`CameraScene` to change (``frames=20``, ``shape=(128, 128)``, ...).

    Returns
    -------
    CameraMovie
        uint16 frames in camera counts and the truth (positions in pixels, photons).

    Raises
    ------
    KeyError
        An unknown scene name.

    Examples
    --------
    >>> movie = camera_movie("dim", seed=1, frames=2, shape=(64, 64), particles=5)
    >>> movie.frames.shape, movie.frames.dtype
    ((2, 64, 64), dtype('uint16'))
    """
    if isinstance(scene, str):
        scene = CameraScene(**{**SCENES[scene], **changes})
    elif changes:
        scene = CameraScene(**{**scene.__dict__, **changes})
    rng = np.random.default_rng(seed)
    margin = 12.0
    rows, cols = scene.shape
    field = (rows + 2 * int(margin), cols + 2 * int(margin))
    positions, emitting = simulate_motion(field, scene.particles, scene.frames, scene.diffusion,
                                          scene.blink_off, scene.blink_on, rng)
    positions -= margin
    inside = ((positions[..., 0] >= 0) & (positions[..., 0] <= rows - 1)
              & (positions[..., 1] >= 0) & (positions[..., 1] <= cols - 1))
    brightness = rng.lognormal(math.log(scene.photons), 0.4, scene.particles)
    brightness[:scene.bright] *= 15.0
    decay = 1.0 - scene.bleaching * np.arange(scene.frames) / max(scene.frames - 1, 1)
    photons = decay[:, None] * brightness[None, :]
    defocused = set(rng.choice(scene.frames, scene.defocus_frames, replace=False).tolist())
    background = _background(scene, rng)
    noise = scene.read_noise * rng.lognormal(0.0, 0.25, scene.shape)
    noisy = rng.choice(rows * cols, max(1, rows * cols // 2000), replace=False)
    noise.flat[noisy] *= 4.0
    hot = np.stack(np.unravel_index(rng.choice(rows * cols, scene.hot_pixels, replace=False),
                                    scene.shape), axis=1).astype(np.int64)
    hot_values = scene.offset + rng.uniform(200.0, 3000.0, scene.hot_pixels)
    missing = _missing_pixels(scene, rng) if scene.dead_columns or scene.masked_regions else None
    sample = np.uint8 if scene.full_well <= np.iinfo(np.uint8).max else np.uint16
    frames = np.empty((scene.frames, rows, cols), np.float32 if missing is not None else sample)
    for t in range(scene.frames):
        width = scene.sigma * (2.0 if t in defocused else 1.0)
        lit = np.flatnonzero(emitting[t])
        mean = background + _spots(scene.shape, positions[t, lit], width, photons[t, lit])
        counts = scene.offset + _photons_to_counts(mean, scene, rng) + noise * rng.normal(size=scene.shape)
        counts[hot[:, 0], hot[:, 1]] = hot_values
        frames[t] = np.clip(np.rint(counts), 0, scene.full_well)
        if missing is not None:
            frames[t][missing] = np.nan
    visible = emitting & inside
    if missing is not None:
        # A spot on a missing pixel or beside one cannot be measured: the truth does not count it.
        visible &= ~_near(positions, missing, 1)
    return CameraMovie(frames, positions, visible, photons, hot, scene)

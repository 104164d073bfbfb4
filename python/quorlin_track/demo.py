"""The built-in demonstration: a synthetic movie written to a TIFF with its ground truth, and the
measures that compare a track table with that truth."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pandas as pd

from .columns import FRAME, PARTICLE, spatial_columns
from .synthetic import SimulatedMovie, cramer_rao_bound, simulate
from .writing import replacing

__all__ = ["DemoSettings", "Evaluation", "evaluate", "write_demo_movie"]

# A detection belongs to a particle when they are mutual nearest neighbours this close (pixels).
_MATCH_RADIUS = 1.5
# Localization errors are measured on particles without a neighbour this close (pixels), so that
# overlapping spots do not count against the localizer.
_ISOLATION = 6.0


@dataclass(frozen=True)
class DemoSettings:
    """The simulated movie: 2-D frames, lengths in pixels, intensities in photons."""

    size: tuple[int, int] = (256, 256)
    particles: int = 300
    frames: int = 100
    sigma: float = 1.3
    photons: float = 1500.0
    background: float = 10.0
    read_noise: float = 1.5
    diffusion: float = 0.25  # pixel^2 per frame
    blink_off: float = 0.05
    blink_on: float = 0.5
    seed: int = 1


def write_demo_movie(directory: Path, settings: DemoSettings = DemoSettings()) -> tuple[Path, Path, SimulatedMovie]:
    """Simulate the demo movie and write it to ``directory``.

    Parameters
    ----------
    directory : pathlib.Path
        Created if missing.
    settings : DemoSettings
        What to simulate.

    Returns
    -------
    movie_path, truth_path : pathlib.Path
        ``synthetic.tif`` (float32 frames, photons) and ``ground_truth.csv`` (``frame``,
        ``particle``, ``y``, ``x`` in pixels, ``visible``).
    movie : SimulatedMovie
        The simulation with its ground truth.

    Raises
    ------
    OSError
        The directory or files cannot be written.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> tif, truth, movie = write_demo_movie(pathlib.Path(tempfile.mkdtemp()),
    ...                                      DemoSettings(size=(32, 32), particles=3, frames=2))
    >>> movie.frames.shape
    (2, 32, 32)
    """
    import tifffile

    directory.mkdir(parents=True, exist_ok=True)
    sigma = np.full(2, settings.sigma)
    movie = simulate(settings.size, settings.particles, settings.frames, sigma, settings.photons,
                     settings.background, settings.read_noise, settings.diffusion,
                     settings.blink_off, settings.blink_on, settings.seed)
    movie_path = directory / "synthetic.tif"
    truth_path = directory / "ground_truth.csv"
    with replacing(movie_path) as out:
        tifffile.imwrite(out, movie.frames, photometric="minisblack")
    frames, particles = np.meshgrid(np.arange(settings.frames), np.arange(settings.particles),
                                    indexing="ij")
    truth = pd.DataFrame({FRAME: frames.ravel(), PARTICLE: particles.ravel(),
                          "y": movie.positions[:, :, 0].ravel(),
                          "x": movie.positions[:, :, 1].ravel(),
                          "visible": movie.visible.ravel()})
    with replacing(truth_path) as out:
        truth.to_csv(out, index=False)
    return movie_path, truth_path, movie


@dataclass(frozen=True)
class Evaluation:
    """A track table measured against the simulation's ground truth (lengths in pixels)."""

    matched: int  # detections matched to a particle
    isolated: int  # matched detections of isolated particles: the localization sample
    rms_error: npt.NDArray[np.float64]  # per axis (y, x), isolated detections
    cramer_rao: npt.NDArray[np.float64]  # per axis, root mean square of the bound, same sample
    links: int
    correct_links: int


def evaluate(tracks: pd.DataFrame, movie: SimulatedMovie) -> Evaluation:
    """Compare linked detections with the ground truth of a simulated 2-D movie.

    Parameters
    ----------
    tracks : pandas.DataFrame
        Output of :func:`quorlin_track.link` on the movie's frames.
    movie : SimulatedMovie
        The simulation.

    Returns
    -------
    Evaluation
        Localization error and bound over isolated particles, and the links made and correct
        (both ends on detections of the same particle).

    Raises
    ------
    ValueError
        For a table without the columns of a linked 2-D table.

    Examples
    --------
    See ``quorlin-track --demo``.
    """
    axes = spatial_columns(2)
    owner = np.full(len(tracks), -1, dtype=np.int64)
    frames = tracks[FRAME].to_numpy()
    positions = tracks[list(axes)].to_numpy(dtype=np.float64)
    isolated = np.zeros(len(tracks), dtype=bool)
    for t in range(len(movie.positions)):
        rows = np.flatnonzero(frames == t)
        ids = np.flatnonzero(movie.visible[t])
        if not len(rows) or not len(ids):
            continue
        truth = movie.positions[t, ids]
        distance = np.linalg.norm(positions[rows, None, :] - truth[None], axis=2)
        nearest = np.argmin(distance, axis=1)
        mutual = np.argmin(distance, axis=0)[nearest] == np.arange(len(rows))
        close = distance[np.arange(len(rows)), nearest] <= _MATCH_RADIUS
        owner[rows[mutual & close]] = ids[nearest[mutual & close]]
        between = np.linalg.norm(truth[:, None] - truth[None], axis=2)
        np.fill_diagonal(between, np.inf)
        alone = set(ids[between.min(axis=1) >= _ISOLATION].tolist())
        isolated[rows] = [o in alone for o in owner[rows]]
    sample = isolated & (owner >= 0)
    truth_positions = movie.positions[frames[sample], owner[sample]]
    errors = positions[sample] - truth_positions
    rms = np.sqrt(np.mean(errors**2, axis=0)) if len(errors) else np.full(2, np.nan)
    bound = cramer_rao_bound(truth_positions, movie.sigma, movie.photons, movie.background,
                             movie.read_noise) if len(errors) else np.full((1, 2), np.nan)
    order = np.lexsort((frames, tracks[PARTICLE].to_numpy()))
    particle = tracks[PARTICLE].to_numpy()[order]
    joined = particle[1:] == particle[:-1]
    ordered_owner = owner[order]
    correct = joined & (ordered_owner[1:] >= 0) & (ordered_owner[1:] == ordered_owner[:-1])
    return Evaluation(int(np.sum(owner >= 0)), int(np.sum(sample)), rms,
                      np.sqrt(np.mean(bound**2, axis=0)), int(np.sum(joined)), int(np.sum(correct)))

"""The ``quorlin-track`` command: a movie file in, a track table (and a figure) out.

    quorlin-track MOVIE [-o tracks.csv] [--figure tracks.png] [options]
    quorlin-track --demo [--out DIR]

Outputs are written to a temporary name beside their target and renamed when complete, so an
error or Ctrl-C never leaves a file that looks complete.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import pandas as pd

from .columns import FRAME, PARTICLE
from .detection import DETECTOR_METHODS, DETECTORS, REFINERS, batch
from .linking import link
from .movie import Movie, MovieError, open_movie
from .rendering import render

__all__ = ["atomic_path", "main"]

_EXIT_ERROR = 1
_EXIT_USAGE = 2
_EXIT_INTERRUPTED = 130  # the shell's code for a run ended by SIGINT


@contextlib.contextmanager
def atomic_path(target: Path) -> Iterator[Path]:
    """A temporary path beside ``target`` that becomes ``target`` when the block completes.

    Parameters
    ----------
    target : pathlib.Path
        The file to write.

    Yields
    ------
    pathlib.Path
        Where to write; renamed to ``target`` on success, removed on any error or interrupt.

    Raises
    ------
    OSError
        When the rename fails.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> target = pathlib.Path(tempfile.mkdtemp()) / "out.txt"
    >>> with atomic_path(target) as temporary:
    ...     _ = temporary.write_text("done")
    >>> target.read_text()
    'done'
    """
    temporary = target.with_name(f".{target.name}.{os.getpid()}.partial{target.suffix}")
    try:
        yield temporary
        os.replace(temporary, target)
    finally:
        with contextlib.suppress(FileNotFoundError):
            temporary.unlink()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorlin-track", description="Detect, localize and link the spots of a movie "
        "(TIFF, OME-TIFF, .npy or Zarr) into a track table.")
    parser.add_argument("movie", nargs="?", help="the movie file")
    parser.add_argument("-o", "--output", default="tracks.csv",
                        help="track table, CSV (default tracks.csv)")
    parser.add_argument("--figure", default=None, help="PNG figure of the tracks (default: none)")
    parser.add_argument("--threshold", default="auto",
                        help="'auto' (default: 5.5 noise sigmas of the band-passed frame, each "
                             "pixel's noise from the frame or the camera) or the lowest band-passed "
                             "peak value (with --detector peaks: the lowest peak pixel value)")
    parser.add_argument("--min-distance", type=float, default=3.0,
                        help="smallest distance between two spots, pixels (default 3)")
    parser.add_argument("--method", default="radial_symmetry",
                        choices=[*DETECTOR_METHODS, *REFINERS, "none"],
                        help="sub-pixel localization (default radial_symmetry; mle fits every spot "
                             "with the camera model; none keeps pixel positions, --detector peaks "
                             "only)")
    parser.add_argument("--window", type=int, default=None,
                        help="localization (and MLE fit) window, odd number of pixels (default: "
                             "the diameter)")
    _camera_options(parser)
    parser.add_argument("--max-distance", type=float, default=3.0,
                        help="longest link, pixels (default 3)")
    parser.add_argument("--max-skip", type=int, default=1,
                        help="frames a particle may be missing between detections (default 1)")
    parser.add_argument("--pixel-size", type=float, default=1.0,
                        help="size of a pixel in your length unit, for the summary (default 1)")
    parser.add_argument("--frame-interval", type=float, default=1.0,
                        help="time between frames in your time unit, for the summary (default 1)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    parser.add_argument("--demo", action="store_true",
                        help="simulate a movie, write it as a TIFF with its ground truth, track "
                             "it and report the errors")
    parser.add_argument("--out", default="demo-output",
                        help="directory of the --demo files (default demo-output)")
    return parser


# --- Spot size, camera model, dark particles and filters ---------------------------------------


def _camera_options(parser: argparse.ArgumentParser) -> None:
    """The detector's options; their defaults are those of quorlin_track.batch."""
    group = parser.add_argument_group("spots and camera")
    group.add_argument("--diameter", type=int, default=7,
                       help="spot size, odd number of pixels (default 7)")
    group.add_argument("--detector", choices=DETECTORS, default=None,
                       help="spots (default for 2-D: band-pass, noise threshold, spot measures) or "
                            "peaks (the raw detector on the frames as they are; default for volumes)")
    group.add_argument("--gain", type=float, default=None,
                       help="camera counts per photon (with it, values are in photons)")
    group.add_argument("--offset", type=float, default=None, help="camera counts at zero light")
    group.add_argument("--read-noise", type=float, default=None,
                       help="camera read noise, counts (standard deviation)")
    group.add_argument("--invert", action="store_true",
                       help="dark particles on a bright field (brightfield)")
    group.add_argument("--min-mass", type=float, default=None, help="drop spots of less mass")
    group.add_argument("--min-snr", type=float, default=None, help="drop spots of lower snr")
    group.add_argument("--keep-hot-pixels", action="store_true",
                       help="keep single-pixel spikes (set apart by default)")


def _camera_settings(args: argparse.Namespace) -> dict[str, Any]:
    return {"diameter": args.diameter, "detector": args.detector, "gain": args.gain,
            "offset": args.offset, "read_noise": args.read_noise, "invert": args.invert,
            "min_mass": args.min_mass, "min_snr": args.min_snr,
            "keep_hot_pixels": args.keep_hot_pixels}


def _dropped_line(spots: pd.DataFrame) -> str | None:
    dropped = spots.attrs.get("dropped", {})
    if not any(dropped.values()):
        return None
    return "set apart: " + ", ".join(f"{n} on {reason.replace('_', ' ')}" for reason, n in dropped.items())


# -------------------------------------------------------------------------------------------------


def _settings(parser: argparse.ArgumentParser, args: argparse.Namespace) -> dict[str, Any]:
    threshold: str | float = args.threshold
    if threshold != "auto":
        try:
            threshold = float(args.threshold)
        except ValueError:
            parser.error(f"--threshold must be 'auto' or a number, got {args.threshold!r}")
    method = None if args.method == "none" else args.method
    if args.window is not None and (args.window < 3 or args.window % 2 == 0):
        parser.error("--window must be an odd integer >= 3")
    if not args.max_distance > 0 or args.max_skip < 0:
        parser.error("--max-distance must be positive and --max-skip not negative")
    if not (args.pixel_size > 0 and args.frame_interval > 0):
        parser.error("--pixel-size and --frame-interval must be positive")
    settings = {"threshold": threshold, "min_distance": args.min_distance, "method": method,
                "window": args.window, **_camera_settings(args)}
    try:
        # Every setting is checked before any work: batch's own checks on an empty movie.
        batch(np.zeros((0, 8, 8), np.float32), progress=False, **settings)
    except (TypeError, ValueError) as error:
        parser.error(str(error))
    return settings


def _say(text: str, stream: TextIO = sys.stdout) -> None:
    print(text, file=stream, flush=True)


def _track(movie: Movie, args: argparse.Namespace, detect: dict[str, Any],
           timings: dict[str, float]) -> pd.DataFrame:
    shape = " x ".join(str(n) for n in movie.frame_shape)
    _say(f"movie: {movie.name} ({len(movie)} frames of {shape}, {movie.dtype})")
    clock = time.perf_counter()
    spots = batch(movie, **detect, progress=None if not args.no_progress else False)
    timings["detect"] = time.perf_counter() - clock
    _say(f"detected {len(spots)} spots in {timings['detect']:.2f} s")
    dropped = _dropped_line(spots)
    if dropped:
        _say(dropped)
    clock = time.perf_counter()
    tracks = link(spots, args.max_distance, args.max_skip)
    timings["link"] = time.perf_counter() - clock
    return tracks


def _summary(tracks: pd.DataFrame, frames: int, args: argparse.Namespace,
             timings: dict[str, float]) -> None:
    lengths = tracks.groupby(PARTICLE, sort=False)[FRAME].agg(["count", "min", "max"])
    long = lengths[lengths["count"] >= 2]
    _say(f"frames: {frames}")
    _say(f"detections: {len(tracks)} ({len(tracks) / max(frames, 1):.1f} per frame)")
    if len(long):
        span = (long["max"] - long["min"] + 1).to_numpy()
        points = long["count"].to_numpy()
        _say(f"tracks: {len(long)} of 2 or more points ({len(lengths) - len(long)} single "
             f"detections); points per track mean {points.mean():.1f}, median "
             f"{np.median(points):g}, longest {points.max()}; duration mean "
             f"{span.mean() * args.frame_interval:.3g} (frame interval {args.frame_interval:g})")
        steps = _step_lengths(tracks)
        if len(steps):
            _say(f"mean step: {steps.mean() * args.pixel_size:.3g} per frame (pixel size "
                 f"{args.pixel_size:g})")
    else:
        _say(f"tracks: none of 2 or more points ({len(lengths)} single detections)")
    _say("time: " + ", ".join(f"{stage} {seconds:.2f} s" for stage, seconds in timings.items()))


def _step_lengths(tracks: pd.DataFrame) -> np.ndarray[Any, np.dtype[np.float64]]:
    ordered = tracks.sort_values([PARTICLE, FRAME], kind="stable")
    same = ordered[PARTICLE].to_numpy()[1:] == ordered[PARTICLE].to_numpy()[:-1]
    position = ordered[["y", "x"] if "z" not in ordered else ["z", "y", "x"]].to_numpy(np.float64)
    gaps = np.diff(ordered[FRAME].to_numpy())[same]
    steps = np.linalg.norm(np.diff(position, axis=0), axis=1)[same]
    result: np.ndarray[Any, np.dtype[np.float64]] = steps / gaps
    return result


def _write_outputs(tracks: pd.DataFrame, movie: Movie, output: Path, figure: Path | None,
                   timings: dict[str, float]) -> None:
    clock = time.perf_counter()
    with atomic_path(output) as temporary:
        tracks.to_csv(temporary, index=False)
    _say(f"wrote {output}")
    if figure is not None:
        with atomic_path(figure) as temporary:
            _save_figure(temporary, tracks, movie)
        _say(f"wrote {figure}")
    timings["write"] = time.perf_counter() - clock


def _save_figure(path: Path, tracks: pd.DataFrame, movie: Movie) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    frame = movie[0] if movie.ndim == 2 else movie[0].max(axis=0)
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 6.2))
    left.imshow(frame, cmap="gray")
    for _, track in tracks.sort_values(FRAME).groupby(PARTICLE, sort=False):
        if len(track) > 1:
            left.plot(track["x"], track["y"], lw=0.7)
    left.set_title(f"frame 0 and {tracks[PARTICLE].nunique()} particles")
    if len(tracks) and "z" not in tracks:
        pitch = 0.5
        image = render(tracks, pitch, extent=(0.0, float(frame.shape[0]), 0.0, float(frame.shape[1])))
        y0, y1, x0, x1 = image.extent
        right.imshow(np.log1p(np.maximum(image.intensity, 0)), cmap="magma",
                     extent=(x0 - pitch / 2, x1 - pitch / 2, y1 - pitch / 2, y0 - pitch / 2))
        right.set_title(f"track density (log1p of intensity), cell {pitch:g} pixel")
    fig.tight_layout()
    fig.savefig(path, dpi=100, format="png")
    plt.close(fig)


def _demo(args: argparse.Namespace, detect: dict[str, Any]) -> int:
    from .demo import evaluate, write_demo_movie

    directory = Path(args.out)
    timings: dict[str, float] = {}
    clock = time.perf_counter()
    movie_path, truth_path, simulation = write_demo_movie(directory)
    timings["simulate"] = time.perf_counter() - clock
    _say(f"wrote {movie_path} and {truth_path}")
    movie = open_movie(movie_path)
    tracks = _track(movie, args, detect, timings)
    _write_outputs(tracks, movie, directory / "tracks.csv", directory / "tracks.png", timings)
    result = evaluate(tracks, simulation)
    _summary(tracks, len(movie), args, timings)
    rms = ", ".join(f"{a} {v:.3f}" for a, v in zip("yx", result.rms_error))
    bound = ", ".join(f"{a} {v:.3f}" for a, v in zip("yx", result.cramer_rao))
    _say(f"localization error, isolated spots ({result.isolated}): {rms} pixel")
    _say(f"Cramer-Rao bound for {simulation.photons:g} photons: {bound} pixel")
    share = 100.0 * result.correct_links / max(result.links, 1)
    _say(f"correct links: {share:.1f}% of {result.links} links")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name; by default ``sys.argv[1:]``.

    Returns
    -------
    int
        0 on success, 1 when the movie cannot be read or an output cannot be written, 2 for bad
        options, 130 after Ctrl-C.

    Raises
    ------
    SystemExit
        For bad options or ``--help`` (argparse).

    Examples
    --------
    >>> main(["--help"])  # doctest: +SKIP
    """
    parser = _parser()
    args = parser.parse_args(argv)
    detect = _settings(parser, args)
    if not args.demo and args.movie is None:
        parser.error("give a MOVIE file, or --demo")
    if args.demo and args.movie is not None:
        parser.error("--demo makes its own movie; give no MOVIE with it")
    try:
        if args.demo:
            return _demo(args, detect)
        movie = open_movie(args.movie)
        timings: dict[str, float] = {}
        tracks = _track(movie, args, detect, timings)
        _write_outputs(tracks, movie, Path(args.output),
                       None if args.figure is None else Path(args.figure), timings)
        _summary(tracks, len(movie), args, timings)
        return 0
    except KeyboardInterrupt:
        _say("quorlin-track: interrupted; no output written", sys.stderr)
        return _EXIT_INTERRUPTED
    except (MovieError, OSError, ValueError) as error:
        _say(f"quorlin-track: error: {error}", sys.stderr)
        return _EXIT_ERROR
    except ImportError as error:
        _say(f"quorlin-track: error: {error.name or error} is needed for this (install the "
             "'demo' extra)", sys.stderr)
        return _EXIT_ERROR

"""The ``quorlin-track`` command: a movie in, a track table (and a figure) out.

    quorlin-track MOVIE... [-o tracks.csv] [--figure tracks.png] [options]
    quorlin-track --demo [--out DIR]

Every option is checked, and every output's name, format and folder, before any work starts.
Tables are written by :func:`quorlin_track.save` with the run's parameters and the package
version in them; every file is written whole (see :mod:`quorlin_track.writing`), so an error,
Ctrl-C or SIGTERM never leaves a file that looks complete, and the message says exactly which
outputs were written.
"""

from __future__ import annotations

import argparse
import logging
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from types import FrameType
from typing import Any, NoReturn, TextIO

import numpy as np
import pandas as pd

from . import __version__
from .columns import FRAME, PARTICLE
from .detection import DETECTOR_METHODS, DETECTORS, REFINERS, batch
from .figure import FIGURE_FORMATS, save_figure
from .files import FORMATS, save
from .linking import MOTIONS, link
from .movie import Movie, MovieError, open_movie
from .tracks import track_table
from .validation import integer, odd_window, real
from .writing import check_writable

__all__ = ["main"]

_EXIT_ERROR = 1
_EXIT_USAGE = 2
_EXIT_INTERRUPTED = 130  # the shell's code for a run ended by SIGINT (128 + 2)
_EXIT_TERMINATED = 143  # and by SIGTERM (128 + 15)
# Localization windows above this side hold several particles at any usual magnification, and
# every spot within half a window of the border is lost: a typo rather than a choice.
_MAX_WINDOW = 31
_FRAMES = re.compile(r"^\s*(-?\d*)\s*:\s*(-?\d*)\s*$")
_DEMO_FILES = ("synthetic.tif", "ground_truth.csv")  # besides tracks.csv and tracks.png


class _Terminated(BaseException):
    """SIGTERM, raised where the run is, so that it stops as for Ctrl-C."""


class _Usage(Exception):
    """A bad option or output, found before any work (exit status 2)."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorlin-track", description="Detect, localize and link the spots of a movie into a "
        "track table (and a figure). Every option is checked before any work; see the README's "
        "'Choosing parameters'.")
    parser.add_argument("movie", nargs="*", metavar="MOVIE",
                        help="a TIFF/OME-TIFF, .npy or Zarr movie, a folder of TIFF files, or "
                             "several files (one movie, in natural order: img2 before img10)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    for add_options in (_input_options, _detection_options, _linking_options, _unit_options):
        add_options(parser)
    return parser


def _input_options(parser: argparse.ArgumentParser) -> None:
    inputs = parser.add_argument_group("input")
    inputs.add_argument("--channel", type=int, default=None,
                        help="channel to track (from 0), for files whose metadata have channels")
    inputs.add_argument("--frames", default=None, metavar="START:STOP",
                        help="track frames START to STOP - 1 only (either may be left out, "
                             "negative counts from the end; frame numbers stay the file's)")
    outputs = parser.add_argument_group("outputs")
    outputs.add_argument("-o", "--output", default=None,
                         help="track table: .csv or .parquet (default tracks.csv)")
    outputs.add_argument("--figure", default=None,
                         help="figure of the tracks: .png, .pdf or .svg (default: none)")
    outputs.add_argument("--track-table", default=None,
                         help="one row of results per particle (length, speed, straightness, "
                              "diffusion) in the units of --pixel-size and --frame-interval: .csv "
                              "or .parquet (default: none)")
    outputs.add_argument("--no-progress", action="store_true", help="no progress bar")


def _detection_options(parser: argparse.ArgumentParser) -> None:
    detection = parser.add_argument_group("detection")
    detection.add_argument("--diameter", type=int, default=7,
                           help="spot size, odd number of pixels (default 7)")
    detection.add_argument("--detector", choices=DETECTORS, default=None,
                           help="spots (default for 2-D: band-pass, noise threshold, spot measures) "
                                "or peaks (the raw detector on the frames as they are; default for "
                                "volumes)")
    detection.add_argument("--threshold", default="auto",
                           help="'auto' (default: 5.5 noise sigmas of the band-passed frame, down to "
                                "4 where the frame's peaks outnumber its dips; each pixel's noise "
                                "from the frame or the camera) or the lowest "
                                "band-passed peak value (with --detector peaks: the lowest peak "
                                "pixel value)")
    detection.add_argument("--min-distance", type=float, default=3.0,
                           help="smallest distance between two spots, pixels (default 3)")
    detection.add_argument("--method", default="radial_symmetry",
                           choices=[*DETECTOR_METHODS, *REFINERS, "none"],
                           help="sub-pixel localization (default radial_symmetry; mle fits every "
                                "spot with the camera model; none keeps pixel positions, "
                                "--detector peaks only)")
    detection.add_argument("--window", type=int, default=None,
                           help=f"localization (and MLE fit) window, odd number of pixels, 3 to "
                                f"{_MAX_WINDOW} (default: the diameter)")
    detection.add_argument("--invert", action="store_true",
                           help="dark particles on a bright field (brightfield)")
    detection.add_argument("--min-mass", type=float, default=None, help="drop spots of less mass")
    detection.add_argument("--min-snr", type=float, default=None, help="drop spots of lower snr")
    detection.add_argument("--keep-hot-pixels", action="store_true",
                           help="keep single-pixel spikes (set apart by default)")
    camera = parser.add_argument_group("camera (with --gain, intensities are in photons)")
    camera.add_argument("--gain", type=float, default=None, help="camera counts per photon")
    camera.add_argument("--offset", type=float, default=None, help="camera counts at zero light")
    camera.add_argument("--read-noise", type=float, default=None,
                        help="camera read noise, counts (standard deviation)")


def _linking_options(parser: argparse.ArgumentParser) -> None:
    linking = parser.add_argument_group("linking")
    linking.add_argument("--max-distance", type=float, default=3.0,
                         help="longest link, pixels (default 3)")
    linking.add_argument("--max-skip", type=int, default=0,
                         help="frames a particle may be missing between detections (default 0)")
    linking.add_argument("--min-length", type=int, default=1,
                         help="drop tracks of fewer detections (default 1: keep all)")
    linking.add_argument("--motion", choices=MOTIONS, default="position",
                         help="where a particle is expected in the next frame: where it was "
                              "(position, default), where its own motion takes it (velocity), or "
                              "where the common motion of all particles takes it (drift)")
    linking.add_argument("--initial-distance", type=float, default=None,
                         help="with --motion velocity or drift: longest first link of a track, "
                              "pixels (default: --max-distance, which is then the gate around the "
                              "predicted position)")


def _unit_options(parser: argparse.ArgumentParser) -> None:
    units = parser.add_argument_group("units of the summary and figure")
    units.add_argument("--pixel-size", type=float, default=None,
                       help="micrometres per pixel (default: the file's metadata, else 1)")
    units.add_argument("--frame-interval", type=float, default=None,
                       help="seconds between frames (default: the file's metadata, else 1)")
    demo = parser.add_argument_group("demonstration")
    demo.add_argument("--demo", action="store_true",
                      help="simulate a movie, write it as a TIFF with its ground truth, track it "
                           "and report the errors")
    demo.add_argument("--out", default=None,
                      help="folder of the --demo files (default demo-output)")


@dataclass
class _Run:
    """The checked settings of one run."""

    detect: dict[str, Any]
    link: dict[str, Any]
    min_length: int
    frames: tuple[int | None, int | None] | None
    channel: int | None
    pixel_size: float | None
    frame_interval: float | None
    output: Path
    output_format: str
    figure: Path | None
    figure_format: str | None
    track_table: Path | None
    track_table_format: str | None
    progress: bool
    source: str = ""
    first_frame: int = 0
    planned: dict[Path, os.stat_result | None] = field(default_factory=dict)
    written: list[Path] = field(default_factory=list)


def _checked(check: Any, *args: Any, **kwargs: Any) -> Any:
    try:
        return check(*args, **kwargs)
    except (TypeError, ValueError) as error:
        raise _Usage(str(error)) from None


def _frame_range(text: str | None) -> tuple[int | None, int | None] | None:
    if text is None:
        return None
    match = _FRAMES.match(text)
    if match is None:
        raise _Usage(f"--frames must be START:STOP (frame numbers, either may be left out), got {text!r}")
    return tuple(int(part) if part else None for part in match.groups())  # type: ignore[return-value]


def _format_of(option: str, path: Path, formats: dict[str, str], default: str) -> str:
    """The format an output's suffix names; a FIFO or device without one gets ``default``."""
    if path.suffix.lower() in formats:
        return formats[path.suffix.lower()]
    target = Path(os.path.realpath(path))
    if target.exists() and not target.is_file() and not target.is_dir():
        return default
    raise _Usage(f"{option} {path}: write it as {', '.join(formats)}")


def _settings(args: argparse.Namespace) -> _Run:
    detect = _detect_settings(args)
    linking = _link_settings(args)
    positive = {"low": 0, "low_open": True}
    pixel_size = frame_interval = None
    if args.pixel_size is not None:
        pixel_size = _checked(real, "--pixel-size", args.pixel_size, **positive, unit="micrometres")
    if args.frame_interval is not None:
        frame_interval = _checked(real, "--frame-interval", args.frame_interval, **positive,
                                  unit="seconds")
    output, figure, summary = _output_paths(args)
    run = _Run(detect, linking,
               _checked(integer, "--min-length", args.min_length, low=1, unit="detections"),
               _frame_range(args.frames),
               None if args.channel is None else _checked(integer, "--channel", args.channel, low=0),
               pixel_size, frame_interval, output, _format_of("-o", output, FORMATS, "csv"),
               figure, None if figure is None else _format_of("--figure", figure, FIGURE_FORMATS, "png"),
               summary, None if summary is None else _format_of("--track-table", summary, FORMATS, "csv"),
               not args.no_progress)
    named = [("-o", output), ("--figure", figure), ("--track-table", summary)]
    for k, (first, a) in enumerate(named):
        for second, b in named[k + 1:]:
            if a is not None and b is not None and _same_file(a, b):
                raise _Usage(f"{first} and {second} name the same file, {a}")
    return run


def _detect_settings(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of batch, each option checked alone and then together."""
    threshold: str | float = args.threshold
    if threshold != "auto":
        try:
            threshold = float(args.threshold)
        except ValueError:
            raise _Usage(f"--threshold must be 'auto' or a number, got {args.threshold!r}") from None
        threshold = _checked(real, "--threshold", threshold)
    def optional(check: Any, option: str, value: Any, **bounds: Any) -> Any:
        return None if value is None else _checked(check, option, value, **bounds)

    detect = {"threshold": threshold,
              "min_distance": _checked(real, "--min-distance", args.min_distance, low=0, unit="pixels"),
              "method": None if args.method == "none" else args.method,
              "window": optional(odd_window, "--window", args.window, high=_MAX_WINDOW),
              "diameter": _checked(odd_window, "--diameter", args.diameter, high=_MAX_WINDOW),
              "detector": args.detector,
              "gain": optional(real, "--gain", args.gain, low=0, low_open=True, unit="counts per photon"),
              "offset": optional(real, "--offset", args.offset, unit="counts"),
              "read_noise": optional(real, "--read-noise", args.read_noise, low=0, unit="counts"),
              "invert": args.invert, "min_mass": optional(real, "--min-mass", args.min_mass),
              "min_snr": optional(real, "--min-snr", args.min_snr),
              "keep_hot_pixels": args.keep_hot_pixels}
    try:
        # What depends on several options together, checked by batch itself on an empty movie.
        batch(np.zeros((0, 8, 8), np.float32), progress=False, **detect)
    except (TypeError, ValueError) as error:
        raise _Usage(str(error)) from None
    return detect


def _link_settings(args: argparse.Namespace) -> dict[str, Any]:
    """The keywords of link."""
    linking = {"max_distance": _checked(real, "--max-distance", args.max_distance, low=0,
                                        low_open=True, unit="pixels"),
               "max_skip": _checked(integer, "--max-skip", args.max_skip, low=0, unit="frames")}
    if args.motion != "position":
        linking["motion"] = args.motion
        if args.initial_distance is not None:
            linking["initial_distance"] = _checked(real, "--initial-distance", args.initial_distance,
                                                   low=0, low_open=True, unit="pixels")
    elif args.initial_distance is not None:
        raise _Usage("--initial-distance applies to --motion velocity or drift only")
    return linking


def _output_paths(args: argparse.Namespace) -> tuple[Path, Path | None, Path | None]:
    """The track table, figure and per-track table to write, none of them the movie."""
    summary = None if args.track_table is None else Path(args.track_table)
    if args.demo:
        if args.movie or args.output or args.figure or args.frames or args.channel is not None:
            raise _Usage("--demo makes its own movie and writes its files into --out; give no "
                         "MOVIE, -o, --figure, --frames or --channel with it")
        folder = Path(args.out or "demo-output")
        output = folder / "tracks.csv"
        figure: Path | None = folder / "tracks.png"
    else:
        if not args.movie:
            raise _Usage("give a MOVIE file, or --demo")
        if args.out is not None:
            raise _Usage("--out applies to --demo only; name the table with -o and the figure "
                         "with --figure")
        output = Path(args.output or "tracks.csv")
        figure = None if args.figure is None else Path(args.figure)
        for option, path in (("-o", output), ("--figure", figure), ("--track-table", summary)):
            if path is not None and any(_same_file(path, Path(m)) for m in args.movie):
                raise _Usage(f"{option} {path} is the movie itself; choose another name")
    return output, figure, summary


def _same_file(a: Path, b: Path) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return os.path.exists(b)
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _prepare(run: _Run, movie: Movie) -> Movie:
    """Checks that need the movie (frame range, window, outputs that are inputs) and the outputs'
    folders; the movie cut to the chosen frames."""
    run.source = movie.name
    if run.frames is not None:
        start, stop, _ = slice(*run.frames).indices(len(movie))
        if stop <= start:
            given = ":".join("" if v is None else str(v) for v in run.frames)
            raise _Usage(f"--frames {given} selects no frame of {movie.name} ({len(movie)} frames)")
        run.frames, run.first_frame = (start, stop), start
        movie = movie[start:stop]
    side = min(movie.frame_shape[-2:])
    window = run.detect["window"] or run.detect["diameter"]
    if run.detect["method"] is not None and window > side:
        option = "--window" if run.detect["window"] else "--diameter"
        raise _Usage(f"{option} {window} is wider than the movie's frames "
                     f"({' x '.join(map(str, movie.frame_shape))} pixels)")
    for option, path in (("-o", run.output), ("--figure", run.figure),
                         ("--track-table", run.track_table)):
        if path is not None and any(_same_file(path, source) for source in movie.paths):
            raise _Usage(f"{option} {path} is one of the movie's own files; choose another name")
    _check_outputs(run)
    return movie


def _check_outputs(run: _Run, *more: Path) -> None:
    for path in (*more, run.output, run.figure, run.track_table):
        if path is not None:
            check_writable(path)
            try:
                run.planned[path] = os.stat(path)
            except OSError:
                run.planned[path] = None


def _say(text: str, stream: TextIO | None = None) -> None:
    print(text, file=stream or sys.stdout, flush=True)


def _units(run: _Run, movie: Movie) -> tuple[float, str, float, str]:
    """Pixel size and frame interval of the summary and figure, each with where it came from."""
    def pick(given: float | None, stored: float | None, unit: str) -> tuple[float, str]:
        if given is not None:
            return given, unit
        if stored is not None:
            return stored, f"{unit}, from the file"
        return 1.0, "none given"

    size, size_from = pick(run.pixel_size, movie.pixel_size, "µm")
    interval, interval_from = pick(run.frame_interval, movie.frame_interval, "s")
    return size, size_from, interval, interval_from


def _track(movie: Movie, run: _Run, timings: dict[str, float]) -> pd.DataFrame:
    shape = " x ".join(str(n) for n in movie.frame_shape)
    _say(f"movie: {movie.name} ({len(movie)} frames of {shape}, {movie.dtype})")
    clock = time.perf_counter()
    spots = batch(movie, **run.detect, progress=None if run.progress else False)
    spots[FRAME] += run.first_frame
    timings["detect"] = time.perf_counter() - clock
    _say(f"detected {len(spots)} spots in {timings['detect']:.2f} s")
    dropped = spots.attrs.get("dropped", {})
    if any(dropped.values()):
        _say("set apart: " + ", ".join(f"{n} on {reason.replace('_', ' ')}"
                                      for reason, n in dropped.items()))
    stuck = len(spots.attrs.get("stuck_pixels", ()))
    if stuck:
        _say(f"painted over {stuck} stuck pixel{'s' if stuck > 1 else ''} of the camera")
    clock = time.perf_counter()
    options = {k: v for k, v in run.link.items() if k != "max_distance"}
    tracks = link(spots, run.link["max_distance"], **options)
    if run.min_length > 1:
        size = tracks.groupby(PARTICLE, sort=False)[FRAME].transform("size")
        tracks = tracks[size.to_numpy() >= run.min_length].reset_index(drop=True)
    timings["link"] = time.perf_counter() - clock
    return tracks


def _record(tracks: pd.DataFrame, run: _Run, movie: Movie) -> None:
    """The run's parameters and the package version, kept in the table's attrs (and so in its
    file)."""
    size, _, interval, _ = _units(run, movie)
    tracks.attrs = {
        "software": "quorlin_track", "version": __version__, "movie": run.source or movie.name,
        "parameters": {**run.detect, **run.link, "min_length": run.min_length,
                       "frames": list(run.frames) if run.frames is not None else None,
                       "channel": run.channel, "pixel_size_um": size,
                       "frame_interval_s": interval}}


def _summary(tracks: pd.DataFrame, frames: int, run: _Run, movie: Movie,
             timings: dict[str, float]) -> None:
    size, size_from, interval, interval_from = _units(run, movie)
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
             f"{span.mean() * interval:.3g} (frame interval {interval:g}, {interval_from})")
        steps = _step_lengths(tracks)
        if len(steps):
            _say(f"mean step: {steps.mean() * size:.3g} per frame (pixel size {size:g}, "
                 f"{size_from})")
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


def _write_outputs(tracks: pd.DataFrame, movie: Movie, run: _Run,
                   timings: dict[str, float]) -> None:
    clock = time.perf_counter()
    _record(tracks, run, movie)
    save(tracks, run.output, format=run.output_format)
    run.written.append(run.output)
    _say(f"wrote {run.output}")
    if run.figure is not None:
        size, size_from, _, _ = _units(run, movie)
        save_figure(run.figure, tracks, movie, format=run.figure_format,
                    pixel_size=None if size_from == "none given" else size)
        run.written.append(run.figure)
        _say(f"wrote {run.figure}")
    if run.track_table is not None:
        size, _, interval, _ = _units(run, movie)
        summary = track_table(tracks, pixel_size=size, frame_interval=interval).reset_index()
        summary.attrs = tracks.attrs
        save(summary, run.track_table, format=run.track_table_format)
        run.written.append(run.track_table)
        _say(f"wrote {run.track_table}")
    timings["write"] = time.perf_counter() - clock


def _demo(run: _Run) -> int:
    from .demo import evaluate, write_demo_movie

    folder = run.output.parent
    timings: dict[str, float] = {}
    clock = time.perf_counter()
    movie_path, truth_path, simulation = write_demo_movie(folder)
    run.written += [movie_path, truth_path]
    timings["simulate"] = time.perf_counter() - clock
    _say(f"wrote {movie_path} and {truth_path}")
    movie = open_movie(movie_path)
    tracks = _track(movie, run, timings)
    _write_outputs(tracks, movie, run, timings)
    result = evaluate(tracks, simulation)
    _summary(tracks, len(movie), run, movie, timings)
    rms = ", ".join(f"{a} {v:.3f}" for a, v in zip("yx", result.rms_error))
    bound = ", ".join(f"{a} {v:.3f}" for a, v in zip("yx", result.cramer_rao))
    _say(f"localization error, isolated spots ({result.isolated}): {rms} pixel")
    _say(f"Cramer-Rao bound for {simulation.photons:g} photons: {bound} pixel")
    share = 100.0 * result.correct_links / max(result.links, 1)
    _say(f"correct links: {share:.1f}% of {result.links} links")
    return 0


def _interrupted(run: _Run | None) -> str:
    """What an interrupted run leaves: the outputs written in full, and those not written."""
    if run is None:
        return "no output written"
    written = list(run.written)
    for path, before in run.planned.items():
        if path in written:
            continue
        try:
            after = os.stat(path)
        except OSError:
            continue
        # A file renamed into place is a new inode: it was written in full just before the stop.
        if before is None or (after.st_ino, after.st_mtime_ns) != (before.st_ino, before.st_mtime_ns):
            written.append(path)
    missing = [p for p in run.planned if p not in written]
    if not written:
        return "no output written"
    text = f"wrote {', '.join(map(str, written))} in full"
    return text + (f"; {', '.join(map(str, missing))} not written" if missing else "")


def _terminate(signum: int, frame: FrameType | None) -> NoReturn:
    raise _Terminated


@contextmanager
def _stops_and_reports() -> Iterator[None]:
    """SIGTERM stops the run as Ctrl-C does (unless it is ignored), and the package's warnings
    reach stderr; both as they were afterwards."""
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGTERM)
        if previous == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _terminate)
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("quorlin-track: warning: %(message)s"))
    handler.setLevel(logging.WARNING)
    logger = logging.getLogger("quorlin_track")
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        if previous == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)


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
        options or outputs (found before any work), 130 after Ctrl-C, 143 after SIGTERM.

    Raises
    ------
    SystemExit
        For bad options, ``--help`` or ``--version`` (argparse).

    Examples
    --------
    >>> main(["--help"])  # doctest: +SKIP
    """
    parser = _parser()
    args = parser.parse_args(argv)
    run: _Run | None = None
    with _stops_and_reports():
        try:
            run = _settings(args)
            if args.demo:
                folder = run.output.parent
                folder.mkdir(parents=True, exist_ok=True)
                _check_outputs(run, *(folder / name for name in _DEMO_FILES[:2]))
                return _demo(run)
            movie = _prepare(run, open_movie(args.movie[0] if len(args.movie) == 1 else args.movie,
                                             channel=run.channel))
            timings: dict[str, float] = {}
            tracks = _track(movie, run, timings)
            _write_outputs(tracks, movie, run, timings)
            _summary(tracks, len(movie), run, movie, timings)
            return 0
        except _Usage as error:
            parser.print_usage(sys.stderr)
            _say(f"quorlin-track: error: {error}", sys.stderr)
            return _EXIT_USAGE
        except KeyboardInterrupt:
            _say(f"quorlin-track: interrupted; {_interrupted(run)}", sys.stderr)
            return _EXIT_INTERRUPTED
        except _Terminated:
            _say(f"quorlin-track: terminated; {_interrupted(run)}", sys.stderr)
            return _EXIT_TERMINATED
        except (MovieError, OSError, ValueError, TypeError) as error:
            _say(f"quorlin-track: error: {error}", sys.stderr)
            return _EXIT_ERROR
        except MemoryError as error:
            _say(f"quorlin-track: error: not enough memory ({error})", sys.stderr)
            return _EXIT_ERROR
        except ImportError as error:
            _say(f"quorlin-track: error: {error.name or error} is needed for this (install the "
                 "'demo' extra)", sys.stderr)
            return _EXIT_ERROR

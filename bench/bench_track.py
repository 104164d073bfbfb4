"""Benchmark of quorlin_track from a movie file to a track table (batch + link), against trackpy
(tp.batch + tp.link on the same file, same search range and memory) and against reading the movie
into memory with tifffile.

The movie (1,000 frames of 512 x 512 uint16 with 500 moving particles, 512 MB) is simulated once
and kept in bench/.cache. trackpy runs on the first frames only and its time is scaled to the whole
movie. Peak memory is measured in child processes on the first quarter and on the whole movie, to
show that it grows only with the detections.
"""

import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from timing import best_time

HERE = Path(__file__).resolve().parent
CACHE = HERE / ".cache"
MOVIE = CACHE / "track_1000x512x512_u16.tif"

FRAMES, SIZE, PARTICLES = 1000, 512, 500
SIGMA, PHOTONS, BACKGROUND, READ_NOISE, DIFFUSION = 1.3, 2000.0, 100.0, 2.0, 0.3
MAX_DISTANCE, MAX_SKIP = 3.0, 1
TRACKPY_FRAMES = 20  # trackpy is timed on these first frames and scaled to FRAMES
NO_SPOTS = 1e9  # a fixed threshold no band-passed pixel of the movie reaches


def make_movie():
    """Simulates the movie chunk by chunk into one uint16 array and writes it (once)."""
    import tifffile

    from quorlin_track.synthetic import image_frames, simulate_motion

    rng = np.random.default_rng(7)
    positions, visible = simulate_motion((SIZE, SIZE), PARTICLES, FRAMES, DIFFUSION, 0.02, 0.5, rng)
    movie = np.empty((FRAMES, SIZE, SIZE), np.uint16)
    for start in range(0, FRAMES, 50):
        part = image_frames(positions[start:start + 50], visible[start:start + 50], (SIZE, SIZE),
                            np.full(2, SIGMA), PHOTONS, BACKGROUND, READ_NOISE, rng)
        movie[start:start + 50] = np.clip(np.rint(part), 0, 65535)
    CACHE.mkdir(exist_ok=True)
    partial = MOVIE.with_suffix(".partial")
    tifffile.imwrite(partial, movie)
    partial.replace(MOVIE)


# Peak RSS from the kernel's high-water mark of this process image (VmHWM, KiB); ru_maxrss would
# carry the parent's peak across fork and exec.
CHILD = """
import json, sys, time
import quorlin_track as qt
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
frames = int(sys.argv[2])
movie = qt.open_movie(sys.argv[1])
base = peak()
start = time.perf_counter()
# A movie of the first frames only: the same reader, stopped early.
part = qt.Movie(movie.name, (frames, *movie.frame_shape), movie.dtype, movie._reader)
tracks = qt.link(qt.batch(part, progress=False), {distance}, max_skip={skip})
print(json.dumps({{"rows": len(tracks), "base": base,
                  "table": int(tracks.memory_usage(deep=True).sum()), "seconds": time.perf_counter() - start,
                  "peak": peak()}}))
""".format(distance=MAX_DISTANCE, skip=MAX_SKIP)


def child_memory(frames):
    done = subprocess.run([sys.executable, "-c", CHILD, str(MOVIE), str(frames)],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main():
    import tifffile

    import quorlin_track as qt

    if not MOVIE.exists():
        clock = time.perf_counter()
        make_movie()
        print(f"(simulated the movie in {time.perf_counter() - clock:.0f} s)", file=sys.stderr)

    read, movie = best_time(lambda: tifffile.imread(MOVIE), 3)
    assert movie.shape == (FRAMES, SIZE, SIZE)
    del movie
    detect, spots = best_time(lambda: qt.batch(MOVIE, progress=False), 3)
    linking, tracks = best_time(lambda: qt.link(spots, MAX_DISTANCE, max_skip=MAX_SKIP), 3)
    ours = detect + linking
    # Where the time goes: the same path on one thread (the read does not scale with the cores, the
    # detection does), and its per-pixel stages alone (conversion, band-pass, noise model, peak
    # scan: a fixed threshold above every pixel leaves no spot to measure), a floor of the default
    # path on this machine.
    with qt.threads(1):
        one_thread, _ = best_time(lambda: qt.batch(MOVIE, progress=False), 1)
    per_pixel, none = best_time(lambda: qt.batch(MOVIE, threshold=NO_SPOTS, progress=False), 3)
    assert len(none) == 0

    import trackpy as tp

    tp.quiet()

    def trackpy_run():
        frames = tifffile.imread(MOVIE, key=range(TRACKPY_FRAMES))
        features = tp.batch(frames, 7, minmass=500, separation=3, processes=1)
        return tp.link(features, MAX_DISTANCE, memory=MAX_SKIP)

    peer, peer_tracks = best_time(trackpy_run, 1)
    peer_scaled = peer * FRAMES / TRACKPY_FRAMES

    quarter = child_memory(FRAMES // 4)
    whole = child_memory(FRAMES)
    grow = (whole["peak"] - quarter["peak"]) / 1024
    table = (whole["table"] - quarter["table"]) / 2**20

    lines = [
        "## bench_track.py: movie file to track table",
        "",
        f"{FRAMES} frames of {SIZE} x {SIZE} uint16 (TIFF, {MOVIE.stat().st_size / 2**20:.0f} MiB, "
        f"page cache warm), {PARTICLES} particles; link max_distance {MAX_DISTANCE:g}, max_skip "
        f"{MAX_SKIP}. Best of 3 for tifffile and quorlin_track; trackpy ({tp.__version__}, "
        f"locate diameter 7, minmass 500, separation 3) timed once on {TRACKPY_FRAMES} frames and scaled.",
        "",
        "| step | seconds | ratio |",
        "|---|---:|---:|",
        f"| tifffile.imread of the whole movie | {read:.3f} | 1 (floor) |",
        f"| quorlin_track batch | {detect:.3f} | |",
        f"| quorlin_track link | {linking:.3f} | |",
        f"| quorlin_track batch + link | {ours:.3f} | {ours / read:.1f}x the read |",
        f"| trackpy batch + link (scaled from {TRACKPY_FRAMES} frames) | {peer_scaled:.1f} | "
        f"{peer_scaled / ours:.0f}x quorlin_track |",
        f"| quorlin_track batch on one thread | {one_thread:.3f} | {one_thread / detect:.2f}x batch |",
        f"| quorlin_track batch, per-pixel stages alone (no spot measured) | {per_pixel:.3f} | "
        f"{per_pixel / read:.1f}x the read |",
        "",
        f"Detections: {len(spots)} ({len(spots) / FRAMES:.0f} per frame; trackpy "
        f"{len(peer_tracks) / TRACKPY_FRAMES:.0f}), particles: {tracks.particle.nunique()}.",
        "",
        f"Peak memory (child process, maximum RSS above the imports): "
        f"{(quarter['peak'] - quarter['base']) / 1024:.0f} MiB for {FRAMES // 4} frames, "
        f"{(whole['peak'] - whole['base']) / 1024:.0f} MiB for {FRAMES}; the difference, "
        f"{grow:.0f} MiB, against {table:.0f} MiB of track table for the extra "
        f"{whole['rows'] - quarter['rows']} detections.",
    ]
    print("\n".join(lines))


if __name__ == "__main__":
    main()

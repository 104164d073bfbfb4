"""Benchmark of the default detector on camera-like movies and on a real brightfield video,
against trackpy in the same run.

Four simulated movies (quorlin_track.synthetic.camera_movie: "camera", "textured", "dim",
"dense"; 256 x 256, 80 frames, uint16 camera counts written to TIFF) go through `quorlin-track`'s
chain with its defaults (qt.batch + qt.link, max_distance 3, max_skip 1; no tuning, no camera
options) and through trackpy (locate with diameter 7, separation 3, the mass cut that gives the
best F1 against the truth chosen per movie; tp.link with the same search range and memory). Then
the bulk-water video (100 brightfield frames of 1-um spheres, dark on a bright field): particles
per frame with invert=True and defaults, against trackpy with diameter 11 and invert=True, and the
diffusion coefficient from the tracks (Stokes-Einstein: about 0.44 um^2/s).
"""

import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from camera_scoring import common_rms, score, trackpy_best

SCENES = ("camera", "textured", "dim", "dense")
FRAMES = 80
SEED = int(sys.argv[1]) if len(sys.argv) > 1 else 21  # another seed: movies not tuned on
MAX_DISTANCE, MAX_SKIP = 3.0, 1
BULK_WATER = Path("/work/shared/data/bulk_water")
MICRONS_PER_PIXEL, FPS = 1 / 2.85, 24.0


def row(name, s, common):
    return (f"| {name} | {s.f1:.3f} | {s.rms:.3f} | {common:.3f} | {100 * s.whole_pixel:.2f} % | "
            f"{100 * s.hot_pixel:.2f} % | {s.correct_links:.3f} |")


def bulk_water(qt, tp):
    from PIL import Image

    frames = np.stack([np.asarray(Image.open(p))[..., :3].mean(axis=2).astype(np.float32)
                       for p in sorted(BULK_WATER.glob("*.png"))])
    clock = time.perf_counter()
    spots = qt.batch(frames, invert=True, progress=False)
    ours_time = time.perf_counter() - clock
    tracks = qt.link(spots, max_distance=5, max_skip=1)
    long = tracks[tracks.groupby("particle")["frame"].transform("size") >= 20]
    fits = qt.diffusion(long, mpp=MICRONS_PER_PIXEL, fps=FPS, max_lagtime=10)
    clock = time.perf_counter()
    features = tp.batch(list(frames), 11, invert=True, processes=1)
    peer_time = time.perf_counter() - clock
    peer_tracks = tp.filter_stubs(tp.link(features, 5, memory=1), 20)
    peer_msd = tp.emsd(peer_tracks, MICRONS_PER_PIXEL, FPS, max_lagtime=10)
    peer_d = float(np.polyfit(peer_msd.index, peer_msd.to_numpy(), 1)[0] / 4)
    return [
        "",
        f"Bulk water ({len(frames)} brightfield frames of {frames.shape[1]} x {frames.shape[2]}, "
        "dark spheres on a bright field; D from tracks of at least 20 frames, lags up to 10 "
        "frames):",
        "",
        "| | particles per frame | D (um^2/s) | detection time |",
        "|---|---:|---:|---:|",
        f"| quorlin_track, invert=True, defaults | {len(spots) / len(frames):.1f} | "
        f"{fits['D'].median():.3f} (median of {len(fits)} tracks) | {ours_time:.2f} s |",
        f"| trackpy, diameter 11, invert=True | {len(features) / len(frames):.1f} | "
        f"{peer_d:.3f} (ensemble MSD slope) | {peer_time:.1f} s |",
        "",
        "Stokes-Einstein for 1-um spheres in water at room temperature: D = 0.44 um^2/s.",
    ]


def main():
    import tifffile
    import trackpy as tp

    import quorlin_track as qt
    from quorlin_track.synthetic import camera_movie

    tp.quiet()
    lines = [
        "## bench_camera.py: camera-like movies and a brightfield video",
        "",
        f"Simulated movies of 256 x 256 pixels, {FRAMES} frames (seed {SEED}): offset 100, gain 2, "
        "read noise 3 counts (noisy pixels up to 4x), 15 stuck hot pixels, uneven light, "
        "bleaching; quorlin-track's defaults from the TIFF file against trackpy (diameter 7, "
        "separation 3, best mass cut per movie). F1 of detection within 1.5 px, RMS of matched "
        "positions (px, 2-D) of each tracker and over the positions both find, rows on whole pixels "
        "and on hot pixels, share of correct links.",
        "",
        "| movie / tracker | F1 | RMS px | RMS px, both found | whole-pixel rows | hot-pixel rows | "
        "correct links |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    with tempfile.TemporaryDirectory() as folder:
        for name in SCENES:
            movie = camera_movie(name, seed=SEED, frames=FRAMES)
            path = Path(folder) / f"{name}.tif"
            tifffile.imwrite(path, movie.frames)
            tracks = qt.link(qt.batch(path, progress=False), max_distance=MAX_DISTANCE, max_skip=MAX_SKIP)
            ours = score(tracks, movie)
            cut, peer_tracks, peer = trackpy_best(movie, tp, 7, 3, MAX_DISTANCE, MAX_SKIP)
            mine, theirs, _ = common_rms(tracks, peer_tracks, movie)
            lines.append(row(f"{name}: quorlin-track defaults", ours, mine))
            lines.append(row(f"{name}: trackpy, mass >= {cut:.0f}", peer, theirs))
            print(f"{name}: done", file=sys.stderr, flush=True)
    if BULK_WATER.is_dir():
        lines += bulk_water(qt, tp)
    print("\n".join(lines))


if __name__ == "__main__":
    main()

"""Camera-like movies from a second simulator, written apart from quorlin_track.synthetic, so that
the defaults are checked on data they were not shaped on: per-pixel camera offsets, gains and read
noise (sCMOS-like), column banding, 18 stuck pixels of 40 to 3,000 counts (one in ten frames
dimmer: flickering), a PSF width per particle (1.1-1.6 px), blinking, bleaching, particles moving
in and out of a 256 x 256 frame over 60 frames. Kinds: camera, textured (texture at three
scales), dim (median 330 photons), dense (330 particles). quorlin-track's defaults from the TIFF
file against trackpy (diameter 7, separation 3, best mass cut per movie), both linked with
max_distance 3 and max_skip 0.

Usage: bench_camera_independent.py [SEED ...]   (default: seeds 1 2 3)
"""
import math
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace

import numpy as np
from scipy.ndimage import gaussian_filter
from scipy.special import erf

from camera_scoring import common_rms, score, trackpy_best

KINDS = ("camera", "textured", "dim", "dense")


def field(shape, scale, rng):
    """Normal noise smoothed at `scale` pixels, unit spread."""
    f = gaussian_filter(rng.normal(size=shape), scale, mode="wrap")
    return f / f.std()

def simulate(kind, seed, T=60, shape=(256, 256), background=12.0, photons=None):
    """A movie of one kind: frames (uint16 counts), true positions, visibility, stuck pixels."""
    rng = np.random.default_rng(seed)
    H, W = shape
    n = {"camera": 100, "textured": 90, "dim": 100, "dense": 330}[kind]
    med = photons or {"camera": 900.0, "textured": 1000.0, "dim": 330.0, "dense": 900.0}[kind]
    # background photons: vignetting plus a smooth field; textured adds multi-scale texture
    y, x = np.mgrid[0:H, 0:W].astype(float)
    r2 = ((y - H * rng.uniform(0.3, 0.7)) ** 2 + (x - W * rng.uniform(0.3, 0.7)) ** 2) / (H * H / 2)
    bg = background * (1.0 - 0.35 * r2) * (1 + 0.15 * field(shape, 25, rng))
    if kind == "textured":
        tex = np.clip(field(shape, 6, rng), 0, None) * 14 + np.clip(field(shape, 2.5, rng), -1, None) * 4 + 6 * np.clip(field(shape, 12, rng), 0, None)
        bg = bg + tex
    bg = np.clip(bg, 1.0, None)
    # particles: Brownian, entering and leaving through the edges, log-normal brightness,
    # per-particle PSF width 1.1-1.6
    N = n + n // 3
    pos = np.empty((T, N, 2))
    pos[0] = rng.uniform([-8, -8], [H + 8, W + 8], (N, 2))
    D = rng.uniform(0.1, 0.8, N)
    for t in range(1, T):
        pos[t] = pos[t - 1] + rng.normal(size=(N, 2)) * np.sqrt(2 * D)[:, None]
    bright = med * np.exp(rng.normal(0, 0.45, N))
    sig = rng.uniform(1.1, 1.6, N)
    on = np.ones((T, N), bool)
    for t in range(1, T):  # blinking
        flip = rng.random(N)
        on[t] = np.where(on[t - 1], flip > 0.015, flip < 0.3)
    fade = np.exp(-np.linspace(0, 0.5, T))
    offset_map = 100 + rng.normal(0, 1.5, shape)  # per-pixel offsets (fixed pattern)
    gain_map = 2.1 * (1 + rng.normal(0, 0.02, shape))
    read_map = 2.0 * np.exp(rng.normal(0, 0.35, shape))
    hot = np.stack([rng.integers(0, H, 18), rng.integers(0, W, 18)], 1)
    hot_level = np.exp(rng.uniform(np.log(40), np.log(3000), 18))
    frames = np.empty((T,) + shape, np.uint16)
    visible = np.zeros((T, N), bool)
    for t in range(T):
        img = bg * (0.85 + 0.15 * fade[t]).copy()
        for i in range(N):
            py, px = pos[t, i]
            if not on[t, i] or not (-3 < py < H + 2 and -3 < px < W + 2):
                continue
            visible[t, i] = 0 <= py <= H - 1 and 0 <= px <= W - 1
            s = sig[i]
            r0, r1 = max(int(py) - 6, 0), min(int(py) + 7, H)
            c0, c1 = max(int(px) - 6, 0), min(int(px) + 7, W)
            if r0 >= r1 or c0 >= c1:
                continue
            rr = np.arange(r0, r1); cc = np.arange(c0, c1)
            a = 0.5 * (erf((rr + 0.5 - py) / (math.sqrt(2) * s)) - erf((rr - 0.5 - py) / (math.sqrt(2) * s)))
            b = 0.5 * (erf((cc + 0.5 - px) / (math.sqrt(2) * s)) - erf((cc - 0.5 - px) / (math.sqrt(2) * s)))
            img[r0:r1, c0:c1] += bright[i] * fade[t] * a[:, None] * b[None, :]
        e = rng.poisson(img).astype(float)
        adu = e * gain_map + offset_map + rng.normal(size=shape) * read_map
        adu += rng.normal(0, 0.8, (1, W))  # column banding, per frame
        for (hy, hx), lv in zip(hot, hot_level):
            adu[hy, hx] += lv * (1.0 if rng.random() > 0.1 else 0.3)  # some flicker
        frames[t] = np.clip(np.round(adu), 0, 65535).astype(np.uint16)
    return SimpleNamespace(frames=frames, positions=pos, visible=visible, hot_pixels=hot)

def main():
    import tifffile
    import trackpy as tp

    import quorlin_track as qt

    tp.quiet()
    seeds = [int(a) for a in sys.argv[1:]] or [1, 2, 3]
    lines = ["## bench_camera_independent.py: movies of a second simulator", "",
             f"Seeds {', '.join(map(str, seeds))}; pairs are quorlin-track defaults / trackpy at its best mass cut.",
             "", "| kind | seed | F1 | RMS px | RMS both | whole-pixel % | stuck-pixel % | correct links |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    with tempfile.TemporaryDirectory() as folder:
        for seed in seeds:
            for kind in KINDS:
                movie = simulate(kind, seed)
                path = Path(folder) / f"{kind}.tif"
                tifffile.imwrite(path, movie.frames)
                tracks = qt.link(qt.batch(path, progress=False), max_distance=3.0, max_skip=0)
                ours = score(tracks, movie)
                _, peer_tracks, peer = trackpy_best(movie, tp, 7, 3, 3.0, 0)
                mine, theirs, _ = common_rms(tracks, peer_tracks, movie)
                lines.append(f"| {kind} | {seed} | {ours.f1:.3f} / {peer.f1:.3f} | {ours.rms:.3f} / {peer.rms:.3f} | "
                             f"{mine:.3f} / {theirs:.3f} | {100 * ours.whole_pixel:.2f} / {100 * peer.whole_pixel:.2f} | "
                             f"{100 * ours.hot_pixel:.2f} / {100 * peer.hot_pixel:.2f} | "
                             f"{ours.correct_links:.3f} / {peer.correct_links:.3f} |")
                print(f"{kind} {seed}: done", file=sys.stderr, flush=True)
    print("\n".join(lines))


if __name__ == "__main__":
    main()

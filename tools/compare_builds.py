#!/usr/bin/env python3
"""Record the outputs of the ten raw functions on a fixed corpus of random inputs, and compare two
recordings byte for byte.

    python tools/compare_builds.py record OUT.npz     # with whichever `quorlin` is importable
    python tools/compare_builds.py compare A.npz B.npz

A recording maps one key per call output ("<case>/<item>") to an array; a call that raises is
recorded as its exception type and message. `compare` lists every key whose dtype, shape or bytes
differ, or that exists in only one recording, and exits with status 1 if there is any.
"""

import argparse
import itertools
import math
import sys

import numpy as np

SEED = 20261208


# ---------------------------------------------------------------------------------------------
# The corpus


def spots(rng, shape, count, sigma=1.3, noise=0.05):
    """Gaussian spots of random amplitudes and sub-pixel centres on continuous noise (no ties)."""
    img = rng.normal(0.0, noise, size=shape)
    grids = np.meshgrid(*[np.arange(n, dtype=np.float64) for n in shape], indexing="ij")
    for _ in range(count):
        centre = [rng.uniform(-1.0, n) for n in shape]
        r2 = sum((g - c) ** 2 for g, c in zip(grids, centre))
        img += rng.uniform(1.0, 20.0) * np.exp(-r2 / (2 * sigma**2))
    return img.astype(np.float32)


def detect2d_cases(rng):
    frames = [spots(rng, (40, 56), 25), spots(rng, (1, 9), 1), spots(rng, (64, 33), 60, sigma=0.9),
              np.zeros((0, 5), np.float32),
              rng.normal(0, 1, (30, 30)).astype(np.float32)]
    # A strided and a transposed view of the first frame.
    frames += [frames[0][::2, 1::3], frames[2].T]
    extents = [None, (10.0, -5.0, 0.5, 80.0)]
    for f, frame in enumerate(frames):
        for e, ext in enumerate(extents):
            extent = (0.0, frame.shape[0] - 1.0, 0.0, frame.shape[1] - 1.0) if ext is None else ext
            for threshold, min_distance in ((0.5, 0.0), (0.5, 3.0), (2.0, 1.5), (-1.0, 7.5)):
                for method, window in ((None, None), ("radial_symmetry", None),
                                       ("radial_symmetry", 3), ("radial_symmetry", 9),
                                       ("gaussian_fitting", None), ("gaussian_fitting", 5),
                                       ("gaussian_fitting", 11)):
                    for budget in (None, 0, 4):
                        if budget == 0 and method is None:
                            continue
                        key = f"detect2d/f{f}e{e}t{threshold}d{min_distance}{method}w{window}b{budget}"
                        yield key, "rs_detect_peaks", (frame, extent, threshold, min_distance,
                                                       method, window, budget)


def detect3d_cases(rng):
    volumes = [spots(rng, (14, 22, 18), 20), spots(rng, (9, 30, 11), 25, sigma=0.9),
               spots(rng, (2, 5, 40), 3), rng.normal(0, 1, (10, 10, 10)).astype(np.float32)]
    volumes += [volumes[0][:, ::2, ::-1], volumes[1].transpose(2, 0, 1)]
    for v, vol in enumerate(volumes):
        for e in range(2):
            if e == 0:
                extent = tuple(float(x) for n in vol.shape for x in (0, n - 1))
            else:
                extent = (3.0, -2.0, 0.25, 12.0, -40.0, 40.0)
            for threshold, min_distance in ((0.5, 0.0), (1.0, 2.5), (-1.0, 6.0)):
                for method, window in ((None, None), ("radial_symmetry", None),
                                       ("radial_symmetry", 5), ("gaussian_fitting", None),
                                       ("gaussian_fitting", 9)):
                    for sigmas, corr in ((None, None), ((1.3, 1.3, 1.3), None),
                                         ((0.8, 1.5, 2.0), 0.3), (None, 0.2)):
                        for budget in (None, 3):
                            key = (f"detect3d/v{v}e{e}t{threshold}d{min_distance}{method}w{window}"
                                   f"s{sigmas}c{corr}b{budget}")
                            yield key, "rs_detect_peaks3d", (vol, extent, threshold, min_distance,
                                                             window, method, sigmas, corr, budget)


def radial_cases(rng):
    for n in (3, 5, 7, 9, 13):
        for k in range(6):
            win = spots(rng, (n, n), 1, sigma=rng.uniform(0.7, 2.0), noise=0.02 * k)
            if k == 5:
                win = rng.normal(0, 1, (n, n)).astype(np.float32)
            yield f"radial2d/n{n}k{k}", "rs_radial_symmetry_2d", (win,)
            vol = spots(rng, (n, n, n), 1, sigma=rng.uniform(0.7, 2.0), noise=0.02 * k)
            if k == 5:
                vol = rng.normal(0, 1, (n, n, n)).astype(np.float32)
            yield f"radial3d/n{n}k{k}", "rs_radial_symmetry_3d", (vol,)
    flat = np.ones((7, 7), np.float32)
    yield "radial2d/flat", "rs_radial_symmetry_2d", (flat,)
    yield "radial3d/flat", "rs_radial_symmetry_3d", (np.ones((5, 5, 5), np.float32),)


def walk(rng, dims, frames, particles, step, blink):
    """Per-frame point arrays of random walks with blinking, in shuffled order per frame."""
    pos = rng.uniform(0, 30, size=(particles, dims))
    inten = rng.uniform(5, 50, size=particles)
    out = []
    for _ in range(frames):
        pos = pos + rng.normal(0, step, size=pos.shape)
        inten = inten * rng.uniform(0.7, 1.4, size=particles)
        seen = rng.random(particles) > blink
        rows = np.column_stack([pos, inten])[seen]
        rows = rows[rng.permutation(len(rows))]
        out.append(rows.astype(np.float32))
    return out


def link_cases(rng):
    for dims, name in ((2, "rs_link_points"), (3, "rs_link_points_3d")):
        movies = [walk(rng, dims, 12, 40, 0.6, 0.15), walk(rng, dims, 6, 150, 1.2, 0.3),
                  walk(rng, dims, 5, 3, 0.5, 0.0), [np.zeros((0, dims + 1), np.float32)] * 3]
        for m, movie in enumerate(movies):
            for max_distance in (0.5, 1.5, 4.0):
                for max_skip in (0, 1, 3):
                    if dims == 2:
                        for ratio in (1.2, 2.0, math.inf):
                            yield (f"link2d/m{m}d{max_distance}s{max_skip}r{ratio}", name,
                                   (movie, max_distance, max_skip, ratio))
                    else:
                        yield (f"link3d/m{m}d{max_distance}s{max_skip}", name,
                               (movie, max_distance, max_skip))


def tracks(rng, dims, count, length, value):
    rows, ends = [], []
    total = 0
    for _ in range(count):
        n = int(rng.integers(1, length + 1))
        start = rng.uniform(-3, 25, size=dims)
        path = start + np.cumsum(rng.normal(0, 1.5, size=(n, dims)), axis=0)
        cols = [path, rng.uniform(0.5, 5.0, size=(n, 1))]
        if value:
            cols.append(rng.normal(0, 2.0, size=(n, 1)))
        rows.append(np.hstack(cols))
        total += n
        ends.append(total)
    return np.vstack(rows).astype(np.float32), np.asarray(ends, np.int32)


def render_cases(rng):
    for dims in (2, 3):
        for value in (False, True):
            name = "rs_draw_tracks" + ("_value" if value else "") + ("_3d" if dims == 3 else "")
            for t in range(3):
                matrix, ends = tracks(rng, dims, 5 + 10 * t, 4 + 6 * t, value)
                for e in range(2):
                    if e == 0:
                        extent = tuple(x for _ in range(dims) for x in (0.0, 20.0))
                    else:
                        extent = tuple(x for d in range(dims) for x in (-4.5 + d, 31.0 - 2 * d))
                    for pixel_size in (1.0, 0.37, 2.5):
                        yield (f"render/{name}/t{t}e{e}p{pixel_size}", name,
                               (matrix, ends, extent, pixel_size))


def corpus():
    rng = np.random.default_rng(SEED)
    return itertools.chain(detect2d_cases(rng), detect3d_cases(rng), radial_cases(rng),
                           link_cases(rng), render_cases(rng))


# ---------------------------------------------------------------------------------------------
# Recording and comparison


def outputs(result):
    """The arrays of one call's result, by item name."""
    items = result if isinstance(result, tuple) else (result,)
    out = {}
    for i, item in enumerate(items):
        if item is None:
            out[str(i)] = np.array("None")
        elif isinstance(item, tuple):  # an extent tuple: the exact float values
            out[str(i)] = np.array(item, dtype=np.float64)
        else:
            out[str(i)] = np.asarray(item)
    return out


def record(path):
    import quorlin

    entries = {}
    for key, name, args in corpus():
        try:
            items = outputs(getattr(quorlin, name)(*args))
        except Exception as exc:  # recorded, so a changed error shows up as a difference
            items = {"error": np.array(f"{type(exc).__name__}: {exc}")}
        for item, arr in items.items():
            entries[f"{key}/{item}"] = arr
    np.savez_compressed(path, **entries)
    print(f"{len(entries)} entries from {quorlin.__file__} written to {path}")


def compare(path_a, path_b):
    a, b = np.load(path_a), np.load(path_b)
    keys_a, keys_b = set(a.files), set(b.files)
    differing = sorted(keys_a ^ keys_b)
    for key in sorted(keys_a & keys_b):
        x, y = a[key], b[key]
        if x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes():
            differing.append(key)
    for key in differing:
        print(f"differs: {key}")
    print(f"{len(keys_a & keys_b)} common entries, {len(differing)} differing")
    return 1 if differing else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    rec = sub.add_parser("record", help="record the outputs of the importable build")
    rec.add_argument("out")
    cmp = sub.add_parser("compare", help="compare two recordings byte for byte")
    cmp.add_argument("a")
    cmp.add_argument("b")
    args = parser.parse_args()
    if args.command == "record":
        record(args.out)
        return 0
    return compare(args.a, args.b)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Record the outputs of the ten raw functions and of quorlin_track's native kernels on a fixed
corpus of random inputs, and compare two recordings byte for byte.

    python tools/compare_builds.py record OUT.npz     # with whichever `quorlin` (and
                                                      # `quorlin_track`) is importable
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
# The corpus of quorlin_track._native


def camera(rng, shape, count, dtype=np.uint16, offset=100.0, gain=2.0):
    """Camera-like counts: offset, Poisson photons of spots on a sloped background, read noise."""
    light = 3.0 + 2.0 * np.linspace(0, 1, shape[-1])[None, :] + 20.0 * spots(rng, shape, count, noise=0)
    counts = offset + gain * rng.poisson(np.clip(light, 0, None)) + rng.normal(0, 1.5, shape)
    return np.clip(np.round(counts), 0, np.iinfo(dtype).max if dtype().dtype.kind in "ui" else None).astype(dtype)


def misaligned(array):
    """The same values in a buffer at an odd byte offset (a contiguous array not aligned for its
    type)."""
    raw = np.empty(array.nbytes + 1, np.uint8)
    view = raw[1:].view(array.dtype).reshape(array.shape)
    view[...] = array
    return view


def chunks(rng):
    """(name, chunk) of (T, Y, X) movies in each sample type and layout the movie readers give."""
    movie = np.stack([camera(rng, (48, 40), 12) for _ in range(3)])
    floats = movie.astype(np.float32)
    floats[1, 5, 7] = np.nan
    yield "u16", movie
    yield "u8", (movie // 4).astype(np.uint8)
    yield "i16", movie.astype(np.int16)
    yield "i32", movie.astype(np.int32)
    yield "f32nan", floats
    yield "f64", movie.astype(np.float64) * 0.5
    yield "f16", movie.astype(np.float16)
    yield "u16be", movie.astype(">u2")
    yield "f32odd", misaligned(floats)
    yield "f32strided", np.stack([camera(rng, (30, 50), 8, np.float32)] * 2)[:, ::2, ::-1]
    yield "empty", np.zeros((2, 0, 5), np.uint16)
    yield "bool", np.zeros((1, 3, 3), bool)


def native_detect_cases(rng):
    for c, chunk in chunks(rng):
        yield f"native/background/{c}", "background", (chunk[0] if chunk.shape[0] else chunk,), {}
        for threshold, min_distance in ((None, 0.0), (120.0, 3.0)):
            for method, window, peaks in ((None, None, None), ("radial_symmetry", None, None),
                                          ("radial_symmetry", 5, 3), ("gaussian_fitting", 9, None)):
                yield (f"native/detect_frames/{c}t{threshold}d{min_distance}{method}w{window}p{peaks}",
                       "detect_frames", (chunk, threshold, min_distance, method, window, peaks), {})
        for diameter, threshold, camera_model, invert, hot in (
                (7, None, (1.0, 0.0, None, False), False, False),
                (5, None, (2.0, 100.0, 1.5, True), False, True),
                (9, 15.0, (1.0, 0.0, None, False), False, False),
                (7, None, (2.0, 100.0, None, True), True, False)):
            gain, offset, read_noise, given = camera_model
            yield (f"native/detect_spot_frames/{c}n{diameter}t{threshold}g{gain}c{given}i{invert}h{hot}",
                   "detect_spot_frames",
                   (chunk, diameter, threshold, 1.5, gain, offset, read_noise, given, invert, hot), {})
    yield "native/detect_spot_frames/even", "detect_spot_frames", (
        np.zeros((1, 9, 9), np.uint16), 4, None, 0.0, 1.0, 0.0, None, False, False, False), {}
    yield "native/detect_frames/2d", "detect_frames", (np.zeros((9, 9), np.uint16), None, 0.0, None,
                                                       None, None), {}


def native_volume_cases(rng):
    volume = spots(rng, (12, 20, 24), 10, noise=0.1) * 50 + 100
    volume[3, 4, 5] = 5000.0  # a single-voxel spike
    volume[8, 10, 10] = np.nan
    positions = np.column_stack([rng.uniform(-1, n, 30) for n in volume.shape]).astype(np.float32)
    for window in (3, 5, 7):
        for hot in (False, True):
            yield (f"native/measure_volume_spots/w{window}h{hot}", "measure_volume_spots",
                   (volume, positions, window, hot), {})
    yield "native/measure_volume_spots/odd", "measure_volume_spots", (
        misaligned(volume), misaligned(positions), 5, False), {}


def native_refine_cases(rng):
    frame = camera(rng, (60, 70), 20)
    frames = {"u16": frame, "u8": (frame // 4).astype(np.uint8), "f32": frame.astype(np.float32),
              "f64": frame.astype(np.float64)[:, ::-1], "f32odd": misaligned(frame.astype(np.float32))}
    y = rng.uniform(-2, 62, 40)
    x = rng.uniform(-2, 72, 40)
    for name, f in frames.items():
        for noise_size, feature_size in ((1.0, 3.0), (1.5, 5.0), (0.5, 2.0)):
            yield (f"native/bandpass/{name}n{noise_size}f{feature_size}", "bandpass",
                   (f.astype(np.float32) if f.dtype != np.float32 else f, noise_size, feature_size), {})
        for window, sigma, gain, offset in ((5, None, 1.0, 0.0), (7, 1.3, 2.0, 100.0),
                                            (9, None, 2.0, 100.0), (4, None, 1.0, 0.0)):
            yield (f"native/refine_spots/{name}w{window}s{sigma}g{gain}", "refine_spots",
                   (f, y, x, window, sigma, gain, offset), {})
    yield "native/bandpass/strided", "bandpass", (frames["f32"][::2, 1::3], 1.0, 3.0), {}


def native_link_cases(rng):
    for dims in (2, 3):
        movies = [walk(rng, dims, 12, 40, 0.6, 0.15), walk(rng, dims, 8, 150, 1.2, 0.3),
                  walk(rng, dims, 4, 3, 0.5, 0.0)]
        for m, movie in enumerate(movies):
            numbers = np.array([k for k, rows in enumerate(movie) if len(rows)], np.int64) * (1 + m % 2)
            points = np.vstack([rows for rows in movie if len(rows)])
            frame_begin = np.concatenate(([0], np.cumsum([len(r) for r in movie if len(r)]))).astype(np.uint64)
            for motion, initial in (("position", None), ("velocity", None), ("velocity", 3.0),
                                    ("drift", None), ("drift", 2.0)):
                for max_distance, max_skip in ((1.5, 0), (4.0, 2)):
                    for ratio in ((None, 2.0) if dims == 2 else (None,)):
                        yield (f"native/link_particles/{dims}d/m{m}{motion}i{initial}d{max_distance}"
                               f"s{max_skip}r{ratio}", "link_particles",
                               (points, frame_begin, numbers, max_distance, max_skip, ratio),
                               {"motion": motion, "initial_distance": initial})
        yield (f"native/link_particles/{dims}d/odd", "link_particles",
               (misaligned(points), frame_begin, numbers, 2.0, 1, None), {})


def native_track_cases(rng):
    for dims in (1, 2, 3):
        matrix, ends = tracks(rng, dims, 30, 25, False)
        positions = matrix[:, :dims].astype(np.float64)
        starts = np.concatenate(([0], ends)).astype(np.int64)
        frames = np.concatenate([np.cumsum(rng.integers(1, 3, size=e - s)) for s, e in
                                 zip(starts[:-1], starts[1:])]).astype(np.int64)
        yield f"native/track_geometry/{dims}d", "track_geometry", (positions, starts), {}
        for max_lag in (1, 5, 40):
            yield (f"native/displacement_sums/{dims}d/l{max_lag}", "displacement_sums",
                   (frames, positions, starts, max_lag), {})
    n = rng.integers(2, 200, 50).astype(np.float64)
    t = np.minimum(rng.integers(1, 200, 50), n - 1).astype(np.float64)
    yield "native/independent_displacements", "independent_displacements", (n, t), {}
    first = np.ones(50, np.uint64)
    yield "native/sum_independent_displacements", "sum_independent_displacements", (
        n, first, (n - 1).astype(np.uint64)), {}


def native_corpus():
    rng = np.random.default_rng(SEED + 1)
    return itertools.chain(native_detect_cases(rng), native_volume_cases(rng), native_refine_cases(rng),
                           native_link_cases(rng), native_track_cases(rng))


# ---------------------------------------------------------------------------------------------
# Recording and comparison


def outputs(result):
    """The arrays of one call's result, by item name."""
    if isinstance(result, dict):
        return {name: np.asarray(value) for name, value in result.items()}
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


def record_calls(module, calls, entries):
    """Adds the outputs of each (key, function name, args, keywords) call to entries."""
    for key, name, args, keywords in calls:
        try:
            items = outputs(getattr(module, name)(*args, **keywords))
        except Exception as exc:  # recorded, so a changed error shows up as a difference
            items = {"error": np.array(f"{type(exc).__name__}: {exc}")}
        for item, arr in items.items():
            entries[f"{key}/{item}"] = arr


def record(path):
    import quorlin
    from quorlin_track import _native

    entries = {}
    record_calls(quorlin, ((key, name, args, {}) for key, name, args in corpus()), entries)
    record_calls(_native, native_corpus(), entries)
    np.savez_compressed(path, **entries)
    print(f"{len(entries)} entries from {quorlin.__file__} and {_native.__file__} written to {path}")


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

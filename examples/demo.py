"""quorlin demo: the main job on a synthetic movie.

Simulates a movie of diffusing, blinking fluorescent particles (Gaussian spots with Poisson shot
noise on a uniform background, plus optional Gaussian read noise), then runs the processing chain:

  1. detection with radial-symmetry localization, frame by frame (rs_detect_peaks);
  2. linking with gap closing (rs_link_points);
  3. rendering of a density image and of a value image holding the speed along each track
     (rs_draw_tracks, rs_draw_tracks_value).

It writes a PNG figure (a frame with its detections, the rendered images, the localization errors)
and prints a summary: the localization RMS error against the ground truth and against the
Cramer-Rao lower bound for the simulated photon counts, the fraction of correct links, and the
runtime of each stage. `--mode 3d` runs a volume time series through rs_detect_peaks3d,
rs_link_points_3d and the 3-D renderers instead.

All lengths are in pixels (voxels) and all intensities in photons.
"""

import argparse
import math
import sys
import time

import numpy as np

import quorlin
from synthetic import cramer_rao_bound, simulate

# ---------------------------------------------------------------------------------------------
# The chain


class Progress:
    """A plain-text progress bar on stderr."""

    def __init__(self, total, label, width=40):
        self.total, self.label, self.width = total, label, width
        self.interactive = sys.stderr.isatty()
        self.shown = -1

    def update(self, done):
        filled = self.width * done // max(self.total, 1)
        if not self.interactive:
            # One line per tenth keeps logs short.
            tenth = 10 * done // max(self.total, 1)
            if tenth == self.shown and done != self.total:
                return
            self.shown = tenth
        bar = "#" * filled + "." * (self.width - filled)
        start = "\r" if self.interactive else ""
        end = "\n" if done == self.total or not self.interactive else ""
        sys.stderr.write(f"{start}{self.label} [{bar}] {done}/{self.total}{end}")
        sys.stderr.flush()


def detect_movie(frames, threshold, min_distance, window, correlation_sigmas=None,
                 correlation_threshold=None, progress=True):
    """Detect and localize the spots of every frame (radial symmetry). Returns one float32 array
    per frame with the columns (position..., intensity), ready for the linker."""
    nd = frames.ndim - 1
    extent = tuple(float(v) for n in frames.shape[1:] for v in (0, n - 1))
    bar = Progress(len(frames), "detect") if progress else None
    points = []
    for t, frame in enumerate(frames):
        if nd == 2:
            positions, intensities = quorlin.rs_detect_peaks(
                frame, extent, threshold, min_distance, "radial_symmetry", window, None)
        else:
            positions, intensities, _ = quorlin.rs_detect_peaks3d(
                frame, extent, threshold, min_distance, window, "radial_symmetry",
                correlation_sigmas, correlation_threshold, None)
        points.append(np.column_stack([positions, intensities]).astype(np.float32))
        if bar:
            bar.update(t + 1)
    return points


def link(points, max_distance, max_skip, max_intensity_ratio):
    """Link the per-frame points; returns the track matrix and int32 end indices (the renderers'
    index type; the linker hands them out as uint32)."""
    if points[0].shape[1] == 3:
        matrix, ends = quorlin.rs_link_points(points, max_distance, max_skip, max_intensity_ratio)
    else:
        matrix, ends = quorlin.rs_link_points_3d(points, max_distance, max_skip)
    if len(ends) and int(ends[-1]) > np.iinfo(np.int32).max:
        raise OverflowError("too many track points for the renderers' int32 end indices")
    return matrix, ends.astype(np.int32)


def track_frames(matrix, ends, points):
    """Frame and row of every track point, found by the exact coordinates and intensity that the
    linker copies bit for bit. Returns two int arrays of len(matrix)."""
    lookup = {}
    for t, frame_points in enumerate(points):
        for row, key in enumerate(_row_keys(frame_points)):
            lookup.setdefault(key, []).append((t, row))
    frame_of = np.empty(len(matrix), dtype=np.int64)
    row_of = np.empty(len(matrix), dtype=np.int64)
    start = 0
    for end in ends:
        previous = -1
        for i, key in zip(range(start, end), _row_keys(matrix[start:end])):
            # Equal keys in several frames: a track moves forward in time.
            t, row = min((c for c in lookup[key] if c[0] > previous), default=lookup[key][0])
            frame_of[i], row_of[i], previous = t, row, t
        start = end
    return frame_of, row_of


def _row_keys(rows):
    rows = np.ascontiguousarray(rows, dtype=np.float32)
    return [r.tobytes() for r in rows]


def speeds_along_tracks(matrix, ends, frame_of):
    """Speed (pixels per frame) at every track point: the displacement to the next point of its
    track over the frames elapsed; a track's last point takes its last segment's speed."""
    nd = matrix.shape[1] - 1
    speed = np.zeros(len(matrix), dtype=np.float32)
    start = 0
    for end in ends:
        xyz = matrix[start:end, :nd].astype(np.float64)
        step = np.linalg.norm(np.diff(xyz, axis=0), axis=1) / np.diff(frame_of[start:end])
        speed[start:end - 1] = step
        speed[end - 1] = step[-1]
        start = end
    return speed


def render(matrix, ends, shape, pixel_size, speed):
    """Density and speed renderings of the tracks on a grid of `pixel_size` over the field."""
    extent = tuple(float(v) for n in shape for v in (0, n))
    valued = np.column_stack([matrix, speed]).astype(np.float32)
    if len(shape) == 2:
        density, counts, grid = quorlin.rs_draw_tracks(matrix, ends, extent, pixel_size)
        _, value, _, _ = quorlin.rs_draw_tracks_value(valued, ends, extent, pixel_size)
    else:
        density, counts, grid = quorlin.rs_draw_tracks_3d(matrix, ends, extent, pixel_size)
        _, value, _, _ = quorlin.rs_draw_tracks_value_3d(valued, ends, extent, pixel_size)
    return density, value, counts, grid


# ---------------------------------------------------------------------------------------------
# Evaluation against the ground truth


def match_detections(points, movie, radius):
    """Per frame, the particle each detection belongs to (-1 for none): mutual nearest neighbours
    among the visible particles within `radius`."""
    nd = movie.positions.shape[2]
    matched = []
    for t, frame_points in enumerate(points):
        ids = np.flatnonzero(movie.visible[t])
        owner = np.full(len(frame_points), -1, dtype=np.int64)
        if len(ids) and len(frame_points):
            diff = frame_points[:, None, :nd].astype(np.float64) - movie.positions[t, ids][None]
            dist = np.sqrt(np.sum(diff**2, axis=2))
            nearest = np.argmin(dist, axis=1)
            mutual = np.argmin(dist, axis=0)[nearest] == np.arange(len(frame_points))
            close = dist[np.arange(len(frame_points)), nearest] <= radius
            owner[mutual & close] = ids[nearest[mutual & close]]
        matched.append(owner)
    return matched


def isolated_particles(movie, t, distance):
    """Visible particles of frame t without another visible particle closer than `distance`."""
    ids = np.flatnonzero(movie.visible[t])
    pos = movie.positions[t, ids]
    if len(ids) < 2:
        return set(ids.tolist())
    dist = np.sqrt(np.sum((pos[:, None] - pos[None]) ** 2, axis=2))
    np.fill_diagonal(dist, np.inf)
    return set(ids[dist.min(axis=1) >= distance].tolist())


def localization_errors(points, matched, movie, isolation):
    """Errors (detected - true) per axis of the matched detections, and which are isolated."""
    nd = movie.positions.shape[2]
    errors, truth, isolated = [], [], []
    for t, (frame_points, owner) in enumerate(zip(points, matched)):
        keep = owner >= 0
        alone = isolated_particles(movie, t, isolation)
        errors.append(frame_points[keep, :nd] - movie.positions[t, owner[keep]])
        truth.append(movie.positions[t, owner[keep]])
        isolated.append(np.array([o in alone for o in owner[keep]], dtype=bool))
    return (np.concatenate(errors).reshape(-1, nd), np.concatenate(truth).reshape(-1, nd),
            np.concatenate(isolated))


def link_accuracy(ends, frame_of, row_of, matched, max_skip):
    """(correct links, links made, true links found, true links): a link is correct when both
    ends belong to the same particle; the true links join successive detections of a particle
    with at most max_skip frames between them."""
    owner = np.array([matched[t][r] for t, r in zip(frame_of, row_of)], dtype=np.int64)
    last = np.zeros(len(owner), dtype=bool)
    last[np.asarray(ends, dtype=np.int64) - 1] = True
    a = np.flatnonzero(~last)
    made = {(frame_of[i], row_of[i], frame_of[i + 1], row_of[i + 1]) for i in a}
    correct = int(np.sum((owner[a] >= 0) & (owner[a] == owner[a + 1])))
    truth = set()
    detections_by_particle = {}
    for t, owner_t in enumerate(matched):
        for row, pid in enumerate(owner_t):
            if pid >= 0:
                detections_by_particle.setdefault(int(pid), []).append((t, row))
    for seq in detections_by_particle.values():
        for (t0, r0), (t1, r1) in zip(seq, seq[1:]):
            if t1 - t0 <= max_skip + 1:
                truth.add((t0, r0, t1, r1))
    return correct, len(a), len(truth & made), len(truth)


# ---------------------------------------------------------------------------------------------
# Figure


def save_figure(path, movie, points, matrix, ends, density, value, counts, grid,
                errors, bound, frame_index):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    nd = movie.positions.shape[2]
    fig, axes = plt.subplots(2, 3, figsize=(16, 10.5))
    frame = movie.frames[frame_index]
    det = points[frame_index]
    truth = movie.positions[frame_index, movie.visible[frame_index]]
    if nd == 3:
        # Volumes are shown as projections along axis 0.
        frame, det, truth = frame.max(axis=0), det[:, 1:], truth[:, 1:]
        weights = density.sum(axis=0)
        value = np.divide((density * value).sum(axis=0), weights, out=np.zeros_like(weights),
                          where=weights > 0)
        density, counts = weights, counts.sum(axis=0)
        grid = grid[2:]
        matrix = matrix[:, 1:]
    height, width = frame.shape
    pixel = (grid[1] - grid[0]) / density.shape[0]
    shown = (grid[2] - pixel / 2, grid[3] - pixel / 2, grid[1] - pixel / 2, grid[0] - pixel / 2)
    frame_extent = (-0.5, width - 0.5, height - 0.5, -0.5)
    what = "volume (maximum projection)" if nd == 3 else "frame"
    zoom = min(height, width, 64)

    ax = axes[0, 0]
    ax.imshow(frame, cmap="gray", extent=frame_extent)
    ax.scatter(truth[:, 1], truth[:, 0], s=60, facecolors="none", edgecolors="tab:cyan", lw=0.8,
               label="true position")
    ax.scatter(det[:, 1], det[:, 0], s=8, c="tab:red", marker="x", lw=0.8, label="detection")
    ax.set_title(f"{what} {frame_index}: {len(det)} detections, {len(truth)} particles")
    ax.legend(loc="upper right", fontsize=8)

    ax = axes[0, 1]
    ax.imshow(frame, cmap="gray", extent=frame_extent)
    start = 0
    for end in ends:
        ax.plot(matrix[start:end, 1], matrix[start:end, 0], lw=0.7)
        start = end
    ax.scatter(det[:, 1], det[:, 0], s=14, c="tab:red", marker="x", lw=0.8)
    ax.set_xlim(-0.5, zoom - 0.5)
    ax.set_ylim(zoom - 0.5, -0.5)
    ax.set_title("zoom with the linked tracks")

    ax = axes[0, 2]
    im = ax.imshow(np.log1p(np.maximum(density, 0)), cmap="magma", extent=shown)
    ax.set_title(f"track density (log1p of intensity), pixel {pixel:g}")
    fig.colorbar(im, ax=ax, shrink=0.8)

    ax = axes[1, 0]
    shown_value = np.ma.masked_where(counts == 0, value)
    top = float(np.percentile(value[counts > 0], 99)) if np.any(counts > 0) else 1.0
    im = ax.imshow(shown_value, cmap="viridis", vmin=0, vmax=top, extent=shown)
    ax.set_facecolor("black")
    ax.set_xlim(shown[0], zoom - 0.5)
    ax.set_ylim(zoom - 0.5, shown[3])
    ax.set_title("speed along the tracks (pixel/frame), zoom")
    fig.colorbar(im, ax=ax, shrink=0.8)

    ax = axes[1, 1]
    spread = float(np.percentile(np.abs(errors), 99)) if len(errors) else 0.0
    limit = max(4 * float(np.max(bound, initial=0.0)), spread, 1e-3)
    bins = np.linspace(-limit, limit, 61)
    names = ["axis 0 (x)", "axis 1 (y)", "axis 2 (z)"]
    rms = root_mean_square(errors)
    for axis in range(nd if len(errors) else 0):
        ax.hist(errors[:, axis], bins=bins, histtype="step", lw=1.2, density=True,
                label=f"{names[axis]}: RMS {rms[axis]:.3f}")
    sd = float(np.sqrt(np.mean(bound**2))) if len(bound) else limit
    xs = np.linspace(-limit, limit, 200)
    ax.plot(xs, np.exp(-0.5 * (xs / sd) ** 2) / (sd * math.sqrt(2 * math.pi)), "k--",
            label=f"Cramer-Rao bound, sd {sd:.3f}")
    ax.set_xlabel("localization error (pixel)")
    ax.set_title("isolated spots: error against the ground truth")
    ax.legend(fontsize=8)

    ax = axes[1, 2]
    lengths = np.diff(np.concatenate([[0], ends]))
    if len(lengths):
        ax.hist(lengths, bins=np.arange(1.5, lengths.max() + 1.5), color="tab:gray")
    ax.set_xlabel("points per track")
    ax.set_ylabel("tracks")
    ax.set_title(f"{len(ends)} tracks")

    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------
# Command line


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mode", choices=("2d", "3d"), default="2d",
                        help="2-D frames or 3-D volumes (default 2d)")
    parser.add_argument("--particles", type=int, default=None,
                        help="number of particles (default 300 in 2-D, 150 in 3-D)")
    parser.add_argument("--frames", type=int, default=None,
                        help="number of frames (default 100 in 2-D, 40 in 3-D)")
    parser.add_argument("--size", type=int, nargs="+", default=None,
                        help="frame shape in pixels, one number for a square or cube, or one per "
                             "axis (default 256 in 2-D, 32 96 96 in 3-D)")
    parser.add_argument("--photons", type=float, default=None,
                        help="expected photons per spot and frame (default 1500 in 2-D, 4000 in "
                             "3-D)")
    parser.add_argument("--background", type=float, default=10.0,
                        help="background photons per pixel (default 10); with the photons it "
                             "sets the shot noise")
    parser.add_argument("--read-noise", type=float, default=1.5,
                        help="standard deviation of the Gaussian camera read noise, in photons "
                             "(default 1.5; 0 for shot noise only)")
    parser.add_argument("--sigma", type=float, nargs="+", default=[1.3],
                        help="PSF standard deviation in pixels, one value or one per axis "
                             "(default 1.3; radial symmetry assumes round spots, so unequal "
                             "widths cost precision)")
    parser.add_argument("--diffusion", type=float, default=0.25,
                        help="diffusion coefficient in pixel^2/frame (default 0.25)")
    parser.add_argument("--blink-off", type=float, default=0.05,
                        help="probability per frame that a visible particle switches off "
                             "(default 0.05)")
    parser.add_argument("--blink-on", type=float, default=0.5,
                        help="probability per frame that a dark particle switches on "
                             "(default 0.5)")
    parser.add_argument("--threshold", type=float, default=None,
                        help="detection threshold in photons (default: background plus the larger "
                             "of a third of the expected spot peak and five noise deviations)")
    parser.add_argument("--min-distance", type=float, default=3.0,
                        help="minimum distance between detections, pixels (default 3)")
    parser.add_argument("--window", type=int, default=7,
                        help="localization window size, odd (default 7)")
    parser.add_argument("--max-skip", type=int, default=2,
                        help="frames a track may skip (default 2)")
    parser.add_argument("--max-distance", type=float, default=None,
                        help="linking distance gate in pixels (default: three times the "
                             "per-axis displacement over max-skip + 1 frames, at least 2)")
    parser.add_argument("--max-intensity-ratio", type=float, default=3.0,
                        help="intensity-ratio gate of 2-D linking (default 3)")
    parser.add_argument("--pixel-size", type=float, default=None,
                        help="pixel size of the rendered images, in input pixels (default 0.25 "
                             "in 2-D, 0.5 in 3-D)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--output", default="demo.png", help="path of the PNG figure "
                                                             "(default demo.png)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    three = args.mode == "3d"
    nd = 3 if three else 2
    if args.particles is None:
        args.particles = 150 if three else 300
    if args.frames is None:
        args.frames = 40 if three else 100
    if args.size is None:
        args.size = [32, 96, 96] if three else [256]
    if args.photons is None:
        args.photons = 4000.0 if three else 1500.0
    if args.pixel_size is None:
        args.pixel_size = 0.5 if three else 0.25
    for name in ("size", "sigma"):
        values = getattr(args, name)
        if len(values) == 1:
            setattr(args, name, values * nd)
        elif len(values) != nd:
            parser.error(f"--{name} takes 1 or {nd} values in {args.mode} mode")
    if args.frames < 2 or args.particles < 1 or min(args.size) < 3:
        parser.error("need at least 2 frames, 1 particle and 3 pixels per axis")
    if args.window < 3 or args.window % 2 == 0:
        parser.error("--window must be an odd integer >= 3")
    if not (args.photons > 0 and min(args.sigma) > 0 and args.pixel_size > 0):
        parser.error("--photons, --sigma and --pixel-size must be positive")
    if not (args.background >= 0 and args.read_noise >= 0 and args.diffusion >= 0
            and args.max_skip >= 0):
        parser.error("--background, --read-noise, --diffusion and --max-skip must not be negative")
    if not (0 <= args.blink_off <= 1 and 0 < args.blink_on <= 1):
        parser.error("--blink-off must lie in [0, 1] and --blink-on in (0, 1]")
    return args


def root_mean_square(values):
    """Per-column root mean square; NaN for no rows."""
    if len(values) == 0:
        return np.full(values.shape[1], np.nan)
    return np.sqrt(np.mean(values**2, axis=0))


def main(argv=None):
    args = parse_args(argv)
    nd = len(args.size)
    sigma = np.array(args.sigma, dtype=np.float64)
    timings = {}

    clock = time.perf_counter()
    movie = simulate(args.size, args.particles, args.frames, sigma, args.photons,
                     args.background, args.read_noise, args.diffusion, args.blink_off,
                     args.blink_on, args.seed)
    timings["simulate"] = time.perf_counter() - clock

    peak = args.photons * float(np.prod([1.0 / (math.sqrt(2 * math.pi) * s) for s in sigma]))
    noise = math.sqrt(args.background + args.read_noise**2)
    threshold = args.threshold
    if threshold is None:
        threshold = args.background + max(peak / 3.0, 5.0 * noise)
    max_distance = args.max_distance
    if max_distance is None:
        max_distance = max(2.0, 3.0 * math.sqrt(2.0 * args.diffusion * (args.max_skip + 1)))
    print(f"quorlin demo ({args.mode}): {args.particles} particles, {args.frames} frames of "
          f"{' x '.join(map(str, args.size))} pixels, {args.photons:g} photons per spot, "
          f"background {args.background:g}, read noise {args.read_noise:g}")
    print(f"detection threshold {threshold:.1f}, min distance {args.min_distance:g}, window "
          f"{args.window}; linking max distance {max_distance:.2f}, max skip {args.max_skip}")

    clock = time.perf_counter()
    correlation = (tuple(float(s) for s in sigma), 0.5) if nd == 3 else (None, None)
    points = detect_movie(movie.frames, threshold, args.min_distance, args.window, *correlation,
                          progress=not args.no_progress)
    timings["detect"] = time.perf_counter() - clock

    clock = time.perf_counter()
    matrix, ends = link(points, max_distance, args.max_skip, args.max_intensity_ratio)
    timings["link"] = time.perf_counter() - clock

    frame_of, row_of = track_frames(matrix, ends, points)
    speed = speeds_along_tracks(matrix, ends, frame_of)
    clock = time.perf_counter()
    density, value, counts, grid = render(matrix, ends, args.size, args.pixel_size, speed)
    timings["render"] = time.perf_counter() - clock

    clock = time.perf_counter()
    matched = match_detections(points, movie, radius=1.5)
    errors, truth, isolated = localization_errors(points, matched, movie,
                                                  isolation=float(args.window + 1))
    bound = cramer_rao_bound(truth[isolated].reshape(-1, nd), sigma, args.photons, args.background,
                             args.read_noise)
    correct, made, found, true_links = link_accuracy(ends, frame_of, row_of, matched,
                                                     args.max_skip)
    timings["evaluate"] = time.perf_counter() - clock

    clock = time.perf_counter()
    save_figure(args.output, movie, points, matrix, ends, density, value, counts, grid,
                errors[isolated], bound, frame_index=0)
    timings["figure"] = time.perf_counter() - clock

    detections = sum(len(p) for p in points)
    visible = int(movie.visible.sum())
    matched_count = int(sum(int(np.sum(m >= 0)) for m in matched))
    rms_all = root_mean_square(errors)
    rms_isolated = root_mean_square(errors[isolated])
    crb = root_mean_square(bound)
    axes = "xyz"[:nd]

    def per_axis(values):
        return ", ".join(f"{a} {v:.4f}" for a, v in zip(axes, values))

    print("summary")
    print(f"  detections: {detections} ({matched_count} matched to {visible} visible particle "
          f"images, {detections - matched_count} unmatched)")
    print(f"  localization RMS error, all matched spots: {per_axis(rms_all)} pixel")
    print(f"  localization RMS error, isolated spots ({int(isolated.sum())}): "
          f"{per_axis(rms_isolated)} pixel")
    print(f"  Cramer-Rao bound for {args.photons:g} photons: {per_axis(crb)} pixel; RMS error / "
          f"bound: {per_axis(rms_isolated / crb)}")
    print(f"  correct links: {100.0 * correct / max(made, 1):.2f}% of {made} links in "
          f"{len(ends)} tracks; {100.0 * found / max(true_links, 1):.2f}% of {true_links} true "
          f"links found")
    print("  runtime: " + ", ".join(f"{k} {v:.2f} s" for k, v in timings.items())
          + f" (detection {1000.0 * timings['detect'] / args.frames:.2f} ms per frame)")
    print(f"  figure: {args.output}")


if __name__ == "__main__":
    main()

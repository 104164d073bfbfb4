"""Track rendering: quorlin's renderers against drawing each segment with skimage.draw.line and
accumulating with np.add.at, plus peak memory of large grids (each measured in a fresh process)."""

import json
import platform
import subprocess
import sys
import textwrap
import time

import numpy as np
import skimage
import skimage.draw

import quorlin
from timing import best_time


def random_walks(rng, n_tracks, n_points, size, step, dim):
    """Diffusing particles: n_tracks tracks of n_points points in a box of `size` pixels."""
    start = rng.uniform(0, size, (n_tracks, 1, dim))
    steps = rng.normal(0, step, (n_tracks, n_points, dim))
    steps[:, 0] = 0
    coords = start + np.cumsum(steps, axis=1)
    intensity = rng.uniform(0.5, 2.0, (n_tracks, n_points, 1))
    matrix = np.concatenate([coords, intensity], axis=2).reshape(-1, dim + 1).astype(np.float32)
    ends = (np.arange(1, n_tracks + 1) * n_points).astype(np.int32)
    return matrix, ends


def skimage_accumulate(matrix, ends, size):
    """The peer: every segment drawn with skimage.draw.line (intensity interpolated along it),
    all pixels accumulated at once with np.add.at."""
    rows_all, cols_all, vals_all = [], [], []
    cells = np.rint(matrix[:, :2]).astype(np.int64)
    start = 0
    for end in ends:
        for i in range(start, end - 1):
            rr, cc = skimage.draw.line(cells[i, 0], cells[i, 1], cells[i + 1, 0], cells[i + 1, 1])
            t = np.linspace(0, 1, len(rr), dtype=np.float32)
            rows_all.append(rr)
            cols_all.append(cc)
            vals_all.append(t * matrix[i + 1, 2] + (1 - t) * matrix[i, 2])
        start = end
    rr, cc, vv = np.concatenate(rows_all), np.concatenate(cols_all), np.concatenate(vals_all)
    inside = (rr >= 0) & (rr < size) & (cc >= 0) & (cc < size)
    image = np.zeros((size, size), np.float32)
    counts = np.zeros((size, size), np.uint32)
    np.add.at(image, (rr[inside], cc[inside]), vv[inside])
    np.add.at(counts, (rr[inside], cc[inside]), 1)
    return image, counts


CHILD = textwrap.dedent(
    """
    import json, sys, time
    import numpy as np
    import quorlin
    sys.path.insert(0, {bench_dir!r})
    from bench_render import random_walks

    def status_kib(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    rng = np.random.default_rng(1)
    matrix, ends = random_walks(rng, {n_tracks}, {n_points}, {size}, {step}, {dim})
    if {value}:
        matrix = np.concatenate([matrix, rng.normal(0, 1, (len(matrix), 1)).astype(np.float32)], axis=1)
    fn = quorlin.{function}
    extent = (0, {size}) * {dim}
    with open("/proc/self/clear_refs", "w") as clear:  # resets the peak (VmHWM) to the current RSS
        clear.write("5")
    before = status_kib("VmRSS")
    t0 = time.perf_counter()
    result = fn(matrix, ends, extent, {pixel_size})
    seconds = time.perf_counter() - t0
    peak = status_kib("VmHWM")
    print(json.dumps(dict(seconds=seconds, before_kib=before, peak_kib=peak, hits=int(result[-2].sum()),
                          result_bytes=sum(a.nbytes for a in result[:-1]))))
    """
)


def measure_in_child(function, n_tracks, n_points, size, step, dim, value=False, pixel_size=1.0):
    """Peak memory of one render in a fresh process: RSS before the call (interpreter, NumPy,
    input), the peak during it, and the bytes per hit it added beyond its result arrays."""
    code = CHILD.format(bench_dir=sys.path[0], n_tracks=n_tracks, n_points=n_points, size=size, step=step,
                        dim=dim, value=value, function=function, pixel_size=pixel_size)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    m = json.loads(out.stdout)
    added = (m["peak_kib"] - m["before_kib"]) * 1024 - m["result_bytes"]
    m["bytes_per_hit"] = added / max(m["hits"], 1)
    return m


def main():
    # A child inherits the parent's peak RSS through fork, so the children run while this
    # process is still small.
    memory_2d = measure_in_child("rs_draw_tracks", 1_000, 100, 4096, 12.0, 2)
    memory_2d_value = measure_in_child("rs_draw_tracks_value", 1_000, 100, 4096, 12.0, 2, value=True)
    memory_3d = measure_in_child("rs_draw_tracks_3d", 1_500, 100, 256, 12.0, 3)
    memory_3d_value = measure_in_child("rs_draw_tracks_value_3d", 1_500, 100, 256, 12.0, 3, value=True)
    # 10^7 points into 4096² pixels at pitch 0.25: about 1.3·10^8 hits, 13 per point.
    crowded = measure_in_child("rs_draw_tracks", 10_000, 1_000, 1024, 3.0, 2, pixel_size=0.25)
    crowded_value = measure_in_child("rs_draw_tracks_value", 10_000, 1_000, 1024, 3.0, 2, value=True,
                                     pixel_size=0.25)

    rng = np.random.default_rng(0)
    size = 2048
    matrix, ends = random_walks(rng, 10_000, 100, size, 3.0, 2)
    extent = (0, size, 0, size)

    ours, (image, counts, _) = best_time(lambda: quorlin.rs_draw_tracks(matrix, ends, extent, 1.0), 3)
    with_value = np.concatenate([matrix, matrix[:, 2:3]], axis=1)
    ours_value, _ = best_time(lambda: quorlin.rs_draw_tracks_value(with_value, ends, extent, 1.0), 3)
    peer, (peer_image, peer_counts) = best_time(lambda: skimage_accumulate(matrix, ends, size), 1)
    hits = int(counts.sum())


    print("## Track rendering")
    print()
    print(f"10,000 tracks x 100 points (random walks, step 3 px) into a {size}x{size} image, "
          f"{hits:,} hits (peer: {int(peer_counts.sum()):,} pixels drawn). Best of 3 (peer: 1 run).")
    print()
    print("| renderer | time (s) | vs skimage.draw.line + np.add.at |")
    print("|---|---:|---:|")
    print(f"| skimage.draw.line per segment + np.add.at | {peer:.3f} | 1.0x |")
    print(f"| quorlin rs_draw_tracks | {ours:.3f} | {peer / ours:.1f}x faster |")
    print(f"| quorlin rs_draw_tracks_value | {ours_value:.3f} | {peer / ours_value:.1f}x faster |")
    print()
    print("Peak memory, each render in a fresh process (VmHWM reset before the call; 'before' = "
          "interpreter, NumPy and the input; 'per hit' = bytes added beyond the result arrays per hit; "
          "target ≤ 12 bytes per hit):")
    print()
    print("| render | grid | hits | time (s) | peak RSS (MiB) | before (MiB) | added (MiB) | per hit (bytes) |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for name, grid, m in [
        ("rs_draw_tracks", "4096x4096", memory_2d),
        ("rs_draw_tracks_value", "4096x4096", memory_2d_value),
        ("rs_draw_tracks_3d", "256^3", memory_3d),
        ("rs_draw_tracks_value_3d", "256^3", memory_3d_value),
        ("rs_draw_tracks, 10^7 points", "4096x4096 at 0.25", crowded),
        ("rs_draw_tracks_value, 10^7 points", "4096x4096 at 0.25", crowded_value),
    ]:
        peak, before = m["peak_kib"] / 1024, m["before_kib"] / 1024
        print(f"| {name} | {grid} | {m['hits']:,} | {m['seconds']:.3f} | {peak:.0f} | {before:.0f} | "
              f"{peak - before:.0f} | {m['bytes_per_hit']:.1f} |")
    print()
    print(f"Versions: Python {platform.python_version()}, NumPy {np.__version__}, "
          f"scikit-image {skimage.__version__}.")


if __name__ == "__main__":
    main()

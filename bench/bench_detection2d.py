"""2-D peak detection and localization on a 2048 x 2048 frame of Gaussian spots with Poisson
noise, against scikit-image's peak_local_max, trackpy.locate and one NumPy pass over the frame."""

import time

import numpy as np
import skimage
import trackpy
from skimage.feature import peak_local_max

import quorlin

SIZE = 2048
SPOTS = 2000
BACKGROUND = 10.0
THRESHOLD = 40.0
MIN_DISTANCE = 3.0
WINDOW = 7


def synthetic_frame(size=SIZE, spots=SPOTS, seed=0):
    """Gaussian spots (sigma 1.3 px, 60 to 300 photons at the peak) on a flat background, with
    Poisson noise. Returns the frame and the true (row, col) centres."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(8, size - 8, (spots, 2))
    amplitudes = rng.uniform(60, 300, spots)
    expected = np.full((size, size), BACKGROUND)
    offsets = np.arange(-6, 7)
    for (r, c), a in zip(centres, amplitudes):
        rows, cols = int(r) + offsets, int(c) + offsets
        g = np.exp(-((rows[:, None] - r) ** 2 + (cols[None, :] - c) ** 2) / (2 * 1.3**2))
        expected[rows[0] : rows[-1] + 1, cols[0] : cols[-1] + 1] += a * g
    return rng.poisson(expected).astype(np.float32), centres


def best_time(fn, repeats, rounds=1):
    """Best wall time of repeats calls, over rounds spread in time (the machine is shared)."""
    best = float("inf")
    for _ in range(rounds * repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def best_of_pair(a, b, repeats=40, rounds=6):
    """Best times of two quick functions measured in alternating rounds, so that both see the
    same machine load."""
    ta = tb = float("inf")
    for _ in range(rounds):
        ta = min(ta, best_time(a, repeats)[0])
        tb = min(tb, best_time(b, repeats)[0])
    return ta, tb


def localization_error(positions, truth):
    """Median distance (pixels) from each true centre to the nearest reported position."""
    from scipy.spatial import cKDTree

    distances, _ = cKDTree(positions).query(truth)
    return float(np.median(distances))


def main():
    frame, truth = synthetic_frame()
    extent = (0.0, SIZE - 1.0, 0.0, SIZE - 1.0)

    def detect_only():
        return quorlin.rs_detect_peaks(frame, extent, THRESHOLD, MIN_DISTANCE, None, None, None)

    def detect_and_localize():
        return quorlin.rs_detect_peaks(frame, extent, THRESHOLD, MIN_DISTANCE, "radial_symmetry", WINDOW, None)

    trackpy.quiet()
    det_pos, _ = detect_only()  # the first call creates the worker pool
    loc_pos, _ = detect_and_localize()
    t_detect, t_max = best_of_pair(detect_only, frame.max)
    t_local, _ = best_of_pair(detect_and_localize, frame.max, repeats=10, rounds=4)
    t_skimage, sk_peaks = best_time(
        lambda: peak_local_max(frame, min_distance=int(MIN_DISTANCE), threshold_abs=THRESHOLD), 3)
    t_trackpy, tp = best_time(lambda: trackpy.locate(frame, WINDOW), 2)

    t_scan, t_scan_max = best_of_pair(
        lambda: quorlin.rs_detect_peaks(frame, extent, 1e30, MIN_DISTANCE, None, None, None), frame.max)

    # The same read-once comparison on a frame four times larger than the processor's last-level
    # cache can hold here (32 MB), where both are limited by memory rather than cache bandwidth.
    big, _ = synthetic_frame(size=2 * SIZE, spots=4 * SPOTS, seed=1)
    big_extent = (0.0, 2 * SIZE - 1.0, 0.0, 2 * SIZE - 1.0)
    t_big, t_big_max = best_of_pair(
        lambda: quorlin.rs_detect_peaks(big, big_extent, THRESHOLD, MIN_DISTANCE, None, None, None), big.max,
        repeats=10, rounds=4)

    print("## 2-D peak detection and localization\n")
    print(f"Frame {SIZE}×{SIZE} float32, {SPOTS} Gaussian spots (σ 1.3 px) on background {BACKGROUND:g} with "
          f"Poisson noise; threshold {THRESHOLD:g}, min_distance {MIN_DISTANCE:g} px, localization window "
          f"{WINDOW}. Best wall times on a shared 2-core machine.\n")
    print("| quorlin stage | quorlin (ms) | peer | peer (ms) | speed-up | target |")
    print("|---|---:|---|---:|---:|---|")
    print(f"| detection alone | {t_detect * 1e3:.2f} | skimage.feature.peak_local_max (same threshold, "
          f"min_distance {int(MIN_DISTANCE)}) | {t_skimage * 1e3:.1f} | {t_skimage / t_detect:.0f}× | ≥ 20× |")
    print(f"| detection + radial symmetry | {t_local * 1e3:.2f} | trackpy.locate (diameter {WINDOW}) | "
          f"{t_trackpy * 1e3:.1f} | {t_trackpy / t_local:.0f}× | ≥ 10× |")
    print()
    print("| frame | detection alone (ms) | frame.max() (ms) | detection / read | target |")
    print("|---|---:|---:|---:|---|")
    print(f"| {SIZE}×{SIZE} (16 MB, fits in cache) | {t_detect * 1e3:.2f} | {t_max * 1e3:.2f} | "
          f"{t_detect / t_max:.1f}× | ≤ 2× |")
    print(f"| {2 * SIZE}×{2 * SIZE} (64 MB, {4 * SPOTS} spots) | {t_big * 1e3:.2f} | {t_big_max * 1e3:.2f} | "
          f"{t_big / t_big_max:.1f}× | ≤ 2× |")
    print(f"| {SIZE}×{SIZE}, threshold above every pixel (the bare scan) | {t_scan * 1e3:.2f} | "
          f"{t_scan_max * 1e3:.2f} | {t_scan / t_scan_max:.1f}× | |")
    print()
    print(f"Peaks found: quorlin {len(det_pos)} (localized {len(loc_pos)}), peak_local_max {len(sk_peaks)}, "
          f"trackpy {len(tp)} (default settings, no mass filter).")
    print(f"Median distance from a true centre to the nearest result: quorlin radial symmetry "
          f"{localization_error(loc_pos, truth):.3f} px, trackpy "
          f"{localization_error(tp[['y', 'x']].to_numpy(), truth):.3f} px, pixel maxima "
          f"{localization_error(det_pos, truth):.3f} px.")
    print(f"\nVersions: numpy {np.__version__}, scikit-image {skimage.__version__}, trackpy {trackpy.__version__}.")


if __name__ == "__main__":
    main()

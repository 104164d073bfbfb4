"""Benchmark of rs_link_points on dense and tied frame pairs: every pair of points feasible.

Each timed case is compared with scipy.optimize.linear_sum_assignment on the dense matrix of the
same frame pair (f x (g + f): target costs, the no-link cost S on each row's own column, 10 S
elsewhere), built outside the timing. Memory cases run in a fresh process each.
"""

import os
import subprocess
import sys
import time

import numpy as np

import quorlin
from timing import best_time

MAX_DISTANCE = 5.0
S_COST = MAX_DISTANCE * 1e6


def blob(n, frames, seed, identical=False):
    """Frames of n points inside a disc of diameter max_distance / 2 (every pair feasible)."""
    rng = np.random.default_rng(seed)
    movie = []
    for _ in range(frames):
        pos = np.ones((n, 2)) if identical else rng.uniform(0, MAX_DISTANCE / 2 / np.sqrt(2), (n, 2))
        movie.append(np.column_stack([pos, np.ones(n)]).astype(np.float32))
    return movie


def dense_matrix(sources, targets):
    f, g = len(sources), len(targets)
    d = sources[:, None, :2] - targets[None, :, :2]
    cost = np.trunc(np.sqrt(d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) * np.float32(1e6))
    matrix = np.full((f, g + f), 10 * S_COST)
    matrix[:, :g] = cost
    matrix[np.arange(f), g + np.arange(f)] = S_COST
    return matrix


def peak_rss_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def memory_child(n, frames):
    movie = blob(n, frames, seed=9)
    before = peak_rss_mb()
    start = time.perf_counter()
    try:
        _, ends = quorlin.rs_link_points(movie, MAX_DISTANCE, 1, 2.0)
        outcome = f"{len(ends)} tracks"
    except MemoryError as error:
        outcome = "MemoryError: " + str(error)
    print(f"{time.perf_counter() - start}\t{before}\t{peak_rss_mb()}\t{outcome}")


def child(n, frames):
    out = subprocess.run([sys.executable, __file__, "--memory-child", str(n), str(frames)],
                         capture_output=True, text=True, check=True).stdout.strip().split("\t")
    return float(out[0]), float(out[1]), float(out[2]), out[3]


def main():
    from scipy.optimize import linear_sum_assignment

    lines = ["## Linking: dense and tied frame pairs (rs_link_points)", ""]
    lines.append(f"Every pair of points within max_distance = {MAX_DISTANCE} (max_skip 1, intensity "
                 f"ratio 2); scipy solves the dense f x (g + f) matrix of the same frame pair. "
                 f"Machine: {os.cpu_count()} logical CPUs, shared.")
    lines.append("")
    lines.append("| Case | quorlin | scipy | ratio (quorlin / scipy) | target |")
    lines.append("|---|---|---|---|---|")
    for name, identical in (("2,000 identical points x 2 frames", True),
                            ("2,000 distinct points x 2 frames", False)):
        movie = blob(2000, 2, seed=1, identical=identical)
        ours, _ = best_time(lambda: quorlin.rs_link_points(movie, MAX_DISTANCE, 1, 2.0), 3)
        matrix = dense_matrix(movie[0], movie[1])
        theirs, _ = best_time(lambda: linear_sum_assignment(matrix), 3)
        lines.append(f"| {name} | {ours:.3f} s | {theirs:.3f} s | {ours / theirs:.2f} | <= 1.5 |")
    elapsed, before, peak, outcome = child(5000, 3)
    lines.append(f"| dense blob, 5,000 points x 3 frames | {elapsed:.2f} s, peak RSS {peak:.0f} MB "
                 f"(input ready: {before:.0f} MB; +{peak - before:.0f} MB), {outcome} | - | - | "
                 f"<= 1 GB |")
    elapsed, before, peak, outcome = child(60000, 2)
    lines.append(f"| dense pair too large, 60,000 points x 2 frames | {elapsed:.2f} s, peak RSS "
                 f"{peak:.0f} MB (+{peak - before:.0f} MB) | - | - | MemoryError up front |")
    lines.append("")
    lines.append(f"- The 60,000-point pair: {outcome}")
    print("\n".join(lines))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--memory-child":
        memory_child(int(sys.argv[2]), int(sys.argv[3]))
    else:
        main()

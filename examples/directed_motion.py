"""Directed motion: simulated detections of particles moving 3-6 pixels per frame along smooth,
turning paths (some diffusing, some blinking), linked by position and by velocity, scored against
the truth; writes the README's figure.

    python examples/directed_motion.py [--out docs/directed_motion.png]

The simulation and the scoring are shared with bench/bench_motion.py.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent


def directed_points(particles: int = 1000, frames: int = 100, *, density: float = 0.01,
                    directed: float = 0.8, blink: float = 0.05, noise: float = 0.1,
                    turn: float = 0.05, diffusion_step: float = 1.0,
                    seed: int = 0) -> pd.DataFrame:
    """Detections of moving particles, with the true particle of each.

    Parameters
    ----------
    particles : int
        Particles in the field at any time.
    frames : int
        Frames of the movie.
    density : float
        Particles per square pixel (0.01: a mean nearest-neighbour distance of 5 pixels).
    directed : float
        Share of the particles moving at a speed drawn from 3 to 6 pixels per frame; the others
        diffuse.
    blink : float
        Probability that a particle is missing from a frame.
    noise : float
        Localization error, pixels (standard deviation per axis).
    turn : float
        Scale of the turning, radians per frame: the angular velocity of a directed particle
        follows a smooth random walk of this size.
    diffusion_step : float
        Step of the diffusing particles, pixels per axis and frame (standard deviation).
    seed : int
        Seed of the random numbers.

    Returns
    -------
    pandas.DataFrame
        Columns ``frame``, ``y``, ``x``, ``intensity`` and ``truth`` (the true particle), rows in
        frame order, shuffled within a frame. A particle that leaves the square field comes back
        elsewhere as a new particle.
    """
    rng = np.random.default_rng(seed)
    side = np.sqrt(particles / density)
    position = rng.uniform(0, side, (particles, 2))
    speed = rng.uniform(3, 6, particles)
    heading = rng.uniform(0, 2 * np.pi, particles)
    spin = rng.normal(0, turn, particles)
    moving = rng.random(particles) < directed
    truth = np.arange(particles)
    following = particles
    parts = []
    for k in range(frames):
        if k:
            spin = 0.9 * spin + rng.normal(0, 0.45 * turn, particles)
            heading = heading + spin
            step = np.column_stack([np.sin(heading), np.cos(heading)]) * speed[:, None]
            position = position + np.where(moving[:, None], step,
                                           rng.normal(0, diffusion_step, (particles, 2)))
            gone = np.flatnonzero(np.any((position < 0) | (position > side), axis=1))
            position[gone] = rng.uniform(0, side, (len(gone), 2))
            truth[gone] = following + np.arange(len(gone))
            following += len(gone)
        seen = rng.permutation(np.flatnonzero(rng.random(particles) >= blink))
        at = position[seen] + rng.normal(0, noise, (len(seen), 2))
        parts.append(pd.DataFrame({"frame": k, "y": at[:, 0], "x": at[:, 1],
                                   "intensity": rng.uniform(100, 200, len(seen)),
                                   "truth": truth[seen]}))
    table = pd.concat(parts, ignore_index=True)
    return table.astype({"y": np.float32, "x": np.float32, "intensity": np.float32})


def true_links(points: pd.DataFrame, max_skip: int) -> set[tuple[int, int]]:
    """(row, row) pairs of successive detections of one particle at most max_skip + 1 frames
    apart, rows by index label."""
    ordered = points.sort_values(["truth", "frame"], kind="stable")
    rows, truth, frames = ordered.index.to_numpy(), ordered["truth"].to_numpy(), ordered["frame"].to_numpy()
    keep = (truth[1:] == truth[:-1]) & (np.diff(frames) <= max_skip + 1)
    return set(zip(rows[:-1][keep].tolist(), rows[1:][keep].tolist()))


def made_links(linked: pd.DataFrame, column: str = "particle") -> set[tuple[int, int]]:
    """(row, row) pairs of successive detections of one particle of a linked table."""
    ordered = linked.sort_values([column, "frame"], kind="stable")
    rows, particle = ordered.index.to_numpy(), ordered[column].to_numpy()
    keep = particle[1:] == particle[:-1]
    return set(zip(rows[:-1][keep].tolist(), rows[1:][keep].tolist()))


def link_score(made: set[tuple[int, int]], true: set[tuple[int, int]]) -> tuple[float, float]:
    """Share of the true links that were made, and share of the links made that are true."""
    correct = len(made & true)
    return correct / max(len(true), 1), correct / max(len(made), 1)


def nearest_closer_than_step(points: pd.DataFrame) -> float:
    """Share of the directed detections whose nearest neighbour in their frame is closer than
    their own step to the next frame."""
    from scipy.spatial import cKDTree

    shares = []
    for _, frame in points.groupby("frame"):
        at = frame[["y", "x"]].to_numpy(np.float64)
        shares.append(cKDTree(at).query(at, k=2)[0][:, 1])
    nearest = pd.Series(np.concatenate(shares), index=np.concatenate(
        [f.index for _, f in points.groupby("frame")]))
    ordered = points.sort_values(["truth", "frame"], kind="stable")
    same = ordered["truth"].to_numpy()[1:] == ordered["truth"].to_numpy()[:-1]
    step = np.linalg.norm(np.diff(ordered[["y", "x"]].to_numpy(np.float64), axis=0), axis=1)
    first = ordered.index.to_numpy()[:-1][same]
    fast = step[same] > 2.5
    return float(np.mean(nearest[first[fast]].to_numpy() < step[same][fast]))


def main(argv: list[str] | None = None) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection

    import quorlin_track as qt

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=HERE.parent / "docs" / "directed_motion.png")
    args = parser.parse_args(argv)

    points = directed_points(400, 30, seed=4)
    true = true_links(points, 1)
    by_gate = {gate: qt.link(points, gate, max_skip=1) for gate in (4.0, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0)}
    best = max(by_gate, key=lambda gate: link_score(made_links(by_gate[gate]), true)[0])
    runs = {
        f"motion='position', max_distance={best:g} (its best)": by_gate[best],
        "motion='velocity', max_distance=3.5, initial_distance=7":
            qt.link(points, 3.5, max_skip=1, motion="velocity", initial_distance=7.0),
    }
    fig, axes = plt.subplots(1, 2, figsize=(12, 6.8), sharex=True, sharey=True)
    view = (points["y"] < 80) & (points["x"] < 80)
    for ax, (title, linked) in zip(axes, runs.items()):
        made = made_links(linked)
        at = points[["x", "y"]].to_numpy()
        pairs = [(a, b) for a, b in made if view[a] or view[b]]
        right = [at[[a, b]] for a, b in pairs if (a, b) in true]
        wrong = [at[[a, b]] for a, b in pairs if (a, b) not in true]
        ax.add_collection(LineCollection(right, colors="0.35", linewidths=0.8))
        ax.add_collection(LineCollection(wrong, colors="tab:red", linewidths=1.4))
        ax.scatter(at[view, 0], at[view, 1], s=2, c="tab:blue")
        found, correct = link_score(made, true)
        ax.set_title(f"{title}\n{found:.1%} of the true links found, {correct:.1%} of its links "
                     "correct (whole movie)", fontsize=9)
        ax.set_xlim(0, 80)
        ax.set_ylim(80, 0)
        ax.set_aspect("equal")
        ax.set_xlabel("x (pixels)")
    axes[0].set_ylabel("y (pixels)")
    fig.suptitle("400 particles, 30 frames, 3-6 pixels per frame on turning paths, a fifth "
                 "diffusing, 5 % missing per frame (wrong links in red)", fontsize=10)
    fig.tight_layout(rect=(0, 0, 1, 0.96))
    args.out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=100)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()

"""Linking under the motion models "velocity" and "drift": exact links on constructed cases in 2-D
and 3-D, a randomized comparison with a reference written here, thread-count independence, and
argument checks."""

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import linear_sum_assignment

import quorlin_track as qt
from reliability_support import SANITIZED

F = np.float32


def table(rows, ndim=2):
    """rows: (frame, truth, y, x); in 3-D the motion lies in the (z, x) plane at y = 7."""
    t = pd.DataFrame(rows, columns=["frame", "truth", "y", "x"]).assign(intensity=1.0)
    if ndim == 3:
        t = t.rename(columns={"y": "z"}).assign(y=7.0)[["frame", "truth", "z", "y", "x",
                                                         "intensity"]]
    return t.sort_values("frame", kind="stable").reset_index(drop=True)


def line(truth, start, step, frames, skip=()):
    return [(k, truth, start[0] + k * step[0], start[1] + k * step[1]) for k in frames
            if k not in skip]


def arc(truth, frames, radius=10.0, turn=0.5):
    return [(k, truth, radius * np.sin(turn * k), radius * (1 - np.cos(turn * k))) for k in frames]


# Each case: rows, then max_distance, initial_distance and max_skip for "velocity", then the
# max_distance of "position" (wide enough for the steps) at which nearest positions get it wrong.
CASES = {
    # Two particles cross in an X at 5.4 pixels per frame.
    "crossing": (line(0, (0, 0), (2, 5), range(6)) + line(1, (10, 0.5), (-2, 5), range(6)),
                 3.0, 6.0, 0, 6.0),
    # A particle turning 0.5 radian per frame, and a single detection 2 pixels behind it.
    "turn": (arc(0, range(7)) + [(4, 1, 9.3, 7.4)], 3.0, 6.0, 0, 6.0),
    # A particle missing in frame 3, with another one waiting beside its path.
    "gap": (line(0, (0, 0), (0, 4), range(7), skip={3}) + line(1, (3.5, 13), (0, 0), range(7)),
            3.0, 6.0, 1, 5.0),
    # A particle appears in frame 3 beside the path of a fast one.
    "new track": (line(0, (0, 0), (0, 5), range(7))
                  + [(3, 1, 0.0, 16.0), (4, 1, 0.5, 16.2), (5, 1, 0.5, 16.3), (6, 1, 0.4, 16.3)],
                  3.0, 6.0, 0, 6.0),
}


def partition_is_truth(linked):
    return (linked.groupby("particle")["truth"].nunique().max() == 1
            and linked.groupby("truth")["particle"].nunique().max() == 1)


@pytest.mark.parametrize("ndim", [2, 3])
@pytest.mark.parametrize("case", CASES)
def test_velocity_keeps_identities_where_nearest_positions_swap_them(case, ndim):
    rows, max_distance, initial, max_skip, wide = CASES[case]
    spots = table(rows, ndim)
    linked = qt.link(spots, max_distance, max_skip=max_skip, motion="velocity", initial_distance=initial)
    assert partition_is_truth(linked)
    assert not partition_is_truth(qt.link(spots, wide, max_skip=max_skip))


def test_drift_follows_a_stage_that_moves_more_than_the_spacing():
    # 40 particles at least 3.5 pixels apart, carried 5 pixels per frame along a turning path.
    rng = np.random.default_rng(3)
    spread = rng.uniform(0, 40, (400, 2))
    kept = [q for i, q in enumerate(spread)
            if np.all(np.linalg.norm(spread[:i] - q, axis=1) >= 3.5)][:40]
    shift = np.cumsum([[0, 0]] + [[5 * np.sin(0.1 * k), 5 * np.cos(0.1 * k)] for k in range(7)], 0)
    rows = [(k, p, *(kept[p] + shift[k] + rng.normal(0, 0.1, 2))) for k in range(8)
            for p in range(len(kept))]
    spots = table(rows)
    assert partition_is_truth(qt.link(spots, 2.0, motion="drift", initial_distance=5.5))
    assert not partition_is_truth(qt.link(spots, 5.5))


def directed_spots(particles=60, frames=12, seed=0, ndim=2):
    """Dense particles moving 3-6 pixels per frame on turning paths, a fifth diffusing, 10 %
    missing per frame."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform(0, 70, (particles, ndim))
    velocity = rng.normal(0, 1, (particles, ndim))
    velocity *= rng.uniform(3, 6, (particles, 1)) / np.linalg.norm(velocity, axis=1, keepdims=True)
    velocity[: particles // 5] = 0
    rows = []
    for k in range(frames):
        velocity += rng.normal(0, 0.4, velocity.shape) * (velocity != 0)
        pos = pos + velocity + rng.normal(0, 0.5, pos.shape) * (velocity == 0)
        for p in np.flatnonzero(rng.uniform(size=particles) > 0.1):
            rows.append((k, p, *pos[p], rng.uniform(50, 100)))
    names = ["frame", "truth", *qt.columns.spatial_columns(ndim), "intensity"]
    return pd.DataFrame(rows, columns=names).astype({n: F for n in names[2:]})


def reference_velocity(spots, max_distance, initial, max_skip):
    """The velocity model step by step in plain NumPy (2-D, float32 where the core uses it), each
    frame solved on a dense matrix with the tie rule folded in. Returns the predecessor rows."""
    md, ini = F(max_distance), F(initial)
    s = int(np.trunc(F(1e6) * md))
    frames = spots["frame"].to_numpy()
    xy = spots[["y", "x"]].to_numpy(F)
    numbers = np.unique(frames)
    rows_of = {f: np.flatnonzero(frames == f) for f in numbers}

    def first_cost(source, target, b, tail):
        gap, nearest = float(frames[target] - frames[source]), F(md * md)
        for c in numbers[(numbers > b) & (numbers <= b + max_skip + 1)]:
            step = (xy[target].astype(float) - xy[source]) / gap * float(c - b)
            d = ((xy[target] + step).astype(F) - xy[rows_of[c]]).astype(F)
            nearest = min(nearest, (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]).min())
        share = 0.5 * np.sqrt(float(tail)) / float(ini) + 0.5 * np.sqrt(float(nearest)) / float(md)
        return min(s, int(s * share))

    predecessor = np.full(len(spots), -1)
    open_tracks = []  # [row, step, along, across, moving]
    for b in numbers:
        open_tracks = [t for t in open_tracks if b - frames[t[0]] <= max_skip + 1]
        targets, m = rows_of[b], len(open_tracks)
        cost = np.full((m, len(targets) + m), 10.0**18)
        cost[np.arange(m), len(targets) + np.arange(m)] = s * (m + 1) + 1
        for i, (row, step, along, across, moving) in enumerate(open_tracks):
            w = min(max(along / across, 0.0), 1.0) if across > 0 else 1.0
            at = (xy[row] + w * step * float(b - frames[row])).astype(F) if moving else xy[row]
            d = (at - xy[targets]).astype(F)
            tails = d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]
            for j in np.flatnonzero(tails <= (F(md * md) if moving else F(ini * ini))):
                tail = tails[j]
                c = int(np.sqrt(tail) * F(1e6)) if moving else first_cost(row, targets[j], b, tail)
                cost[i, j] = c * (m + 1) if c <= s else cost[i, j]
        chosen = dict(zip(*linear_sum_assignment(cost))) if m else {}
        kept = [t for i, t in enumerate(open_tracks) if chosen.get(i, len(targets)) >= len(targets)]
        source_of = {chosen[i]: t for i, t in enumerate(open_tracks) if chosen[i] < len(targets)}
        for j, target in enumerate(targets):
            if j not in source_of:
                kept.append([target, np.zeros(2), 0.0, 0.0, False])
                continue
            row, step, along, across, moving = source_of[j]
            new = (xy[target].astype(float) - xy[row]) / float(frames[target] - frames[row])
            if moving:
                along, across = 0.9 * along + new @ step, 0.9 * across + step @ step
            else:
                along = across = new @ new
            predecessor[target] = row
            kept.append([target, new, along, across, True])
        open_tracks = kept
    return predecessor


@pytest.mark.parametrize("seed, max_skip", [(1, 0), (2, 1), (3, 2)])
def test_velocity_matches_the_reference(seed, max_skip):
    spots = directed_spots(250, seed=seed).sort_values("frame", kind="stable").reset_index(drop=True)
    predecessor = reference_velocity(spots, 3.0, 7.0, max_skip)
    particle = np.zeros(len(spots), int)
    for r in range(len(spots)):
        particle[r] = particle[predecessor[r]] if predecessor[r] >= 0 else particle[:r].max(initial=-1) + 1
    linked = qt.link(spots, 3.0, max_skip=max_skip, motion="velocity", initial_distance=7.0)
    np.testing.assert_array_equal(linked["particle"], particle)
    assert (predecessor >= 0).sum() > 0.7 * len(spots)


@pytest.mark.parametrize("ndim", [2, 3])
def test_links_are_the_same_for_any_thread_count(ndim):
    spots = directed_spots(400, 30, seed=ndim, ndim=ndim)
    spots = spots.assign(frame=spots["frame"] * 1000)  # frame numbers far apart, gaps included
    for motion in ("velocity", "drift"):
        many = qt.link(spots, 3.0, max_skip=1000, motion=motion, initial_distance=7.0)
        with qt.threads(1):
            one = qt.link(spots, 3.0, max_skip=1000, motion=motion, initial_distance=7.0)
        pd.testing.assert_frame_equal(one, many)


def test_position_is_the_default():
    spots = directed_spots()
    pd.testing.assert_frame_equal(qt.link(spots, 5.0, max_skip=1, motion="position"),
                                  qt.link(spots, 5.0, max_skip=1))


@pytest.mark.parametrize("kwargs, error, message", [
    ({"motion": "kalman"}, ValueError, "motion must be one of 'position', 'velocity', 'drift', got 'kalman'"),
    ({"motion": 1}, TypeError, "motion must be one of"),
    ({"initial_distance": 5.0}, ValueError, "initial_distance applies to motion 'velocity' or 'drift' only"),
    ({"motion": "velocity", "initial_distance": float("nan")}, ValueError,
     r"initial_distance must be a finite number > 0 \(pixels\), got nan"),
    ({"motion": "drift", "initial_distance": 1e30}, ValueError,
     r"initial_distance must be at least 0.000001 and at most about 9.2e11, got 1.00000002e\+30"),
    ({"motion": "velocity", "max_skip": 1, "max_distance": 1e-9}, ValueError, "max_distance must be at least"),
])
def test_bad_motion_arguments(kwargs, error, message):
    with pytest.raises(error, match=message):
        qt.link(directed_spots(frames=2), **{"max_distance": 3.0, **kwargs})


@pytest.mark.skipif(SANITIZED, reason="under AddressSanitizer a failed allocation aborts")
def test_candidates_beyond_the_memory_raise_memory_error_up_front():
    # 150,000 points in each of two frames, all within the first-link gate of each other.
    rng = np.random.default_rng(0)
    spots = pd.DataFrame({"frame": np.repeat([0, 1], 150_000),
                          "y": rng.uniform(0, 10, 300_000), "x": rng.uniform(0, 10, 300_000),
                          "intensity": 1.0})
    with pytest.raises(MemoryError, match="not enough memory to link frame 1: more than"):
        qt.link(spots, 100.0, motion="velocity")


def test_native_errors_keep_the_whole_message():
    # The one error rule of both extensions: a message quoting the caller's text keeps it whole,
    # NUL characters included.
    from quorlin_track import _native

    with pytest.raises(ValueError, match="got 'veloc\x00ity'$"):
        _native.link_particles(np.zeros((0, 3), np.float32), np.zeros(1, np.uint64), np.zeros(0, np.int64),
                               1.0, 0, None, None, "veloc\x00ity")

"""quorlin_track linking and rendering: the raw linkers' links, with every detection kept, and the
raw renderers' images of the same tracks."""

import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest
from reliability_support import SANITIZED

import quorlin
import quorlin_track as qt


def random_spots(ndim, frames=8, per_frame=25, seed=0):
    """Particles drifting slowly, some frames missing some of them; rows shuffled."""
    rng = np.random.default_rng(seed)
    start = rng.uniform(0, 40, (per_frame, ndim))
    rows = []
    for t in range(frames):
        here = start + rng.normal(0, 0.6, start.shape) * (t + 1) ** 0.5
        keep = rng.uniform(size=per_frame) > 0.2
        for p in here[keep]:
            rows.append((t, *p, rng.uniform(50, 120)))
    names = ["frame", *qt.columns.spatial_columns(ndim), "intensity"]
    table = pd.DataFrame(rows, columns=names).astype({n: np.float32 for n in names[1:]})
    return table.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def raw_tracks(spots, ndim, max_distance, max_skip, ratio):
    columns = [*qt.columns.spatial_columns(ndim), "intensity"]
    points = [spots.loc[spots.frame == t, columns].to_numpy(np.float32)
              for t in range(spots.frame.max() + 1)]
    if ndim == 2:
        return quorlin.rs_link_points(points, max_distance, max_skip, np.inf if ratio is None else ratio)
    return quorlin.rs_link_points_3d(points, max_distance, max_skip)


# The last two: few detections per frame, frames far apart and a max_skip reaching across all of
# them, where only the pairs the detections ask for are solved.
@pytest.mark.parametrize("ndim, max_skip, ratio, frames, per_frame, spacing", [
    (2, 0, None, 8, 25, 1), (2, 2, 1.5, 8, 25, 1), (3, 1, None, 8, 25, 1),
    (2, 10**6, 1.5, 60, 3, 7), (3, 300, None, 60, 3, 5)])
def test_links_are_those_of_the_raw_linker(ndim, max_skip, ratio, frames, per_frame, spacing):
    spots = random_spots(ndim, frames, per_frame)
    spots["frame"] *= spacing
    linked = qt.link(spots, 2.0, max_skip=max_skip, max_intensity_ratio=ratio)
    pd.testing.assert_frame_equal(linked.drop(columns="particle"), spots)
    matrix, ends = raw_tracks(spots, ndim, 2.0, max_skip, ratio)
    columns = [*qt.columns.spatial_columns(ndim), "intensity"]
    sizes = linked.groupby("particle").size()
    tracks = linked[linked.particle.isin(sizes.index[sizes > 1])]
    tracks = tracks.sort_values(["particle", "frame"], kind="stable")
    np.testing.assert_array_equal(tracks[columns].to_numpy(np.float32), matrix)
    np.testing.assert_array_equal(np.cumsum(tracks.groupby("particle", sort=True).size()), ends)
    # Single detections are particles of their own, and ids run from 0 without holes.
    assert sorted(set(linked.particle)) == list(range(len(sizes)))
    assert (sizes == 1).sum() == len(spots) - len(matrix)


SPOTS = random_spots(2, frames=2)


@pytest.mark.parametrize("change, error, match", [
    ({"spots": SPOTS.drop(columns="intensity"), "max_intensity_ratio": 2.0}, ValueError,
     r"spots lacks the column\(s\) 'intensity'"),
    ({"spots": SPOTS.values}, TypeError, "spots must be a pandas DataFrame"),
    ({"max_skip": -1}, ValueError, r"max_skip must be an integer >= 0 \(frames\), got -1"),
    ({"max_skip": 1.0}, TypeError, "max_skip must be an integer >= 0"),
    ({"max_distance": 0.0}, ValueError, r"max_distance must be a finite number > 0 \(pixels\)"),
    ({"max_distance": "2"}, TypeError, "max_distance must be a finite number > 0"),
    ({"max_distance": 1e-9}, ValueError, "max_distance must be at least 0.000001"),
    ({"spots": SPOTS.assign(frame=SPOTS.frame + 0.5)}, ValueError,
     r"spots column 'frame' must hold whole numbers from -2\*\*63 to 2\*\*63 - 1 \(no NaN\), got \d+\.5$"),
    ({"spots": SPOTS.assign(frame=np.uint64(2**63))}, ValueError, r"got 9223372036854775808"),
    ({"spots": SPOTS.assign(frame=2.0**63)}, ValueError, "must hold whole numbers"),
    ({"spots": SPOTS.assign(x=SPOTS.x + 1j)}, TypeError,
     "spots column 'x' must hold real numbers, got complex"),
    ({"spots": SPOTS.assign(y=pd.Timestamp(0))}, TypeError, "spots column 'y' must hold real numbers"),
    ({"spots": SPOTS.assign(frame=pd.Timestamp(0))}, TypeError, "spots column 'frame' must hold"),
    ({"max_intensity_ratio": 0.5}, ValueError, r"max_intensity_ratio must be a number >= 1, got 0.5"),
    ({"max_intensity_ratio": float("nan")}, ValueError, "max_intensity_ratio must be a number >= 1"),
    ({"spots": random_spots(3, frames=2), "max_intensity_ratio": 2.0}, ValueError, "2-D tables only"),
])
def test_link_names_the_bad_argument(change, error, match):
    args = {"spots": SPOTS, "max_distance": 2.0} | change
    with pytest.raises(error, match=match):
        qt.link(**args)


def test_link_takes_keywords_after_the_distance_and_any_int64_frame():
    with pytest.raises(TypeError, match=r"link\(\) takes 2 positional arguments \(spots, max_distance\); "
                                        "the others are keyword-only"):
        qt.link(SPOTS, 2.0, 1)
    # No intensity needed without the ratio; frames at the ends of int64; a max_skip past 2**64.
    ends = pd.DataFrame({"frame": [-2**63, -2**63, 2**63 - 1, 2**63 - 1], "y": [0.0, 9, 0.5, 9],
                         "x": [0.0, 9, 0, 9.5]})
    assert qt.link(ends, 2.0)["particle"].tolist() == [0, 1, 2, 3]
    assert qt.link(ends, 2.0, max_skip=2**70)["particle"].tolist() == [0, 1, 0, 1]
    nullable = ends.astype({"frame": "Int64"}).iloc[[0, 2]]
    assert qt.link(nullable, 2.0, max_skip=2**64 - 2)["particle"].tolist() == [0, 0]


@pytest.mark.parametrize("first, second, ratio, linked", [
    (-5.0, -5.0, 2.0, True), (0.0, 0.0, 2.0, True), (-0.0, 0.0, 1.0, True),
    (-4.0, -7.0, 2.0, True), (-4.0, -9.0, 2.0, False), (0.0, 1e-30, 2.0, False),
    (-1.0, 1.0, 2.0, False), (4.0, 7.0, 2.0, True), (7.0, 4.0, 1.5, False),
    (3.0, 1e30, np.inf, True), (-3.0, 3.0, np.inf, False), (np.nan, 5.0, 1.0, True)])
def test_intensity_ratio_rule_for_any_sign(first, second, ratio, linked):
    spots = pd.DataFrame({"frame": [0, 1], "y": [1.0, 1.5], "x": [1.0, 1.0],
                          "intensity": [first, second]})
    particles = qt.link(spots, 2.0, max_intensity_ratio=ratio)["particle"].tolist()
    assert particles == ([0, 0] if linked else [0, 1])


# Under a 3 GB address-space limit and a CPU-time limit: the frames' span cost 390 bytes per frame
# number (39 GB for 10**8), and a large max_skip frames x max_skip.
COST = """
import resource, numpy as np, pandas as pd, quorlin, quorlin_track as qt
if not SANITIZED:
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
resource.setrlimit(resource.RLIMIT_CPU, (60, 60))
far = pd.DataFrame({"frame": [0, 0, 10**8, 10**8], "y": [1.0, 5, 1.5, 5], "x": [1.0, 5, 1, 5]})
assert qt.link(far, 2.0)["particle"].tolist() == [0, 1, 2, 3]
assert qt.link(far, 2.0, max_skip=10**8)["particle"].tolist() == [0, 1, 0, 1]
near = far.assign(frame=[0, 0, 10**5, 10**5])
assert qt.link(near, 2.0, max_skip=10**6)["particle"].tolist() == [0, 1, 0, 1]
n = 30_000
rng = np.random.default_rng(0)
one = pd.DataFrame({"frame": np.arange(n), "y": rng.uniform(0, 3000, n), "x": rng.uniform(0, 3000, n),
                    "intensity": 1.0})
particles = qt.link(one, 3.0, max_skip=n)["particle"].nunique()
matrix, ends = quorlin.rs_link_points([row[None].astype(np.float32) for row in one[["y", "x", "intensity"]].to_numpy()],
                                      3.0, n, np.inf)
assert particles == len(ends) + n - len(matrix) < n, particles
"""


def test_link_cost_follows_the_detections_not_the_frame_numbers(python_subprocess):
    done = python_subprocess(f"SANITIZED = {SANITIZED}\n" + COST, timeout=300)
    assert done.returncode == 0, done.stderr


INTERRUPTED = """
import signal, numpy as np, pandas as pd, quorlin_track as qt
signal.signal(signal.SIGINT, signal.default_int_handler)  # whatever the parent ignores
# Every detection within reach of every one in the next frame: minutes of dense assignments.
rng = np.random.default_rng(0)
n = 1000 * 2000
spots = pd.DataFrame({"frame": np.repeat(np.arange(1000), 2000), "y": rng.uniform(0, 1, n),
                      "x": rng.uniform(0, 1, n)})
print("linking", flush=True)
try:
    qt.link(spots, 3.0)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_stops_link_without_waiting_for_the_native_call():
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "linking\n"
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0 and out == "interrupted\n", err
    assert time.monotonic() - sent < 30


@pytest.mark.parametrize("ndim", [2, 3])
def test_render_draws_the_raw_renderers_tracks(ndim):
    spots = random_spots(ndim, frames=5, per_frame=6)
    linked = qt.link(spots, 2.0, max_skip=1)
    speed = np.linspace(0.0, 1.0, len(linked))
    image = qt.render(linked, pixel_size=0.5, value=speed)
    axes = list(qt.columns.spatial_columns(ndim))
    order = np.lexsort((linked.frame, linked.particle))
    ordered = linked.iloc[order]
    matrix = np.column_stack([ordered[axes + ["intensity"]].to_numpy(np.float32),
                              speed[order].astype(np.float32)])
    ends = np.cumsum(ordered.groupby("particle", sort=True).size()).astype(np.int32).to_numpy()
    extent = tuple(v for a in axes for v in (float(ordered[a].min()), float(ordered[a].max()) + 0.5))
    draw = quorlin.rs_draw_tracks_value if ndim == 2 else quorlin.rs_draw_tracks_value_3d
    intensity, value, counts, grid = draw(matrix, ends, extent, 0.5)
    np.testing.assert_array_equal(image.intensity, intensity)
    np.testing.assert_array_equal(image.value, value)
    np.testing.assert_array_equal(image.counts, counts)
    assert image.extent == grid
    # The default grid reaches one cell beyond the largest position: every detection is drawn.
    assert int(image.counts.sum()) >= len(linked)

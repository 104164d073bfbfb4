"""Mean squared displacements and diffusion fits of track tables."""

import numpy as np
import pandas as pd
import pytest
import trackpy
from reliability_support import SANITIZED

import quorlin_track as qt

# The peer's own deprecation notices about pandas are not ours to fail on.
pytestmark = pytest.mark.filterwarnings("ignore::Warning:trackpy")


def gappy_tracks(seed, particles=40, axes=("y", "x")):
    """Random walks of random lengths and starts, each skipping about a fifth of its frames (a
    quarter of them far more), with scattered particle numbers and shuffled rows; some tracks
    hold one detection only."""
    rng = np.random.default_rng(seed)
    parts = []
    for p in rng.choice(10_000, size=particles, replace=False):
        span = int(rng.integers(1, 60))
        frames = int(rng.integers(0, 30)) + np.flatnonzero(rng.random(span) > 0.2)
        if p % 4 == 0:
            frames = frames * 6  # mostly gaps: seen in one frame of six at best
        if frames.size == 0:
            continue
        steps = rng.normal(0, 1.5, size=(frames.size, len(axes)))
        table = pd.DataFrame(np.cumsum(steps, axis=0), columns=list(axes))
        table.insert(0, "frame", frames)
        table["intensity"] = np.float32(100)
        table["particle"] = p
        parts.append(table)
    return pd.concat(parts).sample(frac=1, random_state=seed).reset_index(drop=True)


def assert_close(ours, theirs):
    if isinstance(theirs, pd.Series):
        # The peer's lag times are weighted means of lag / fps: off in the last bits, and NaN
        # at a lag where no track has a pair; ours are lag / fps.
        known = np.isfinite(theirs.index)
        np.testing.assert_allclose(ours.index[known], theirs.index[known], rtol=1e-12)
        assert ours[~known].isna().all()
        pd.testing.assert_series_equal(ours, theirs.set_axis(ours.index), rtol=1e-9, atol=1e-12)
    else:
        pd.testing.assert_frame_equal(ours, theirs, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("seed, max_lagtime, axes", [
    (1, 100, ("y", "x")), (2, 7, ("y", "x")), (3, 1, ("y", "x")), (4, 25, ("z", "y", "x"))])
def test_msd_equals_trackpy_on_tracks_with_gaps(seed, max_lagtime, axes):
    tracks = gappy_tracks(seed, axes=axes)
    pos = ["x", "y", "z"][:len(axes)]
    # The peer reads each track's first and last frame from its first and last row, so it gets
    # the rows in order; ours are shuffled.
    ordered = (tracks.sort_values(["particle", "frame"]), 0.13, 7.0)
    args = (tracks, 0.13, 7.0)
    assert_close(qt.imsd(*args, max_lagtime=max_lagtime),
                 trackpy.imsd(*ordered, max_lagtime=max_lagtime, pos_columns=pos))
    assert_close(qt.imsd(*args, max_lagtime=max_lagtime, statistic="<x^2>"),
                 trackpy.imsd(*ordered, max_lagtime=max_lagtime, statistic="<x^2>",
                              pos_columns=pos))
    assert_close(qt.emsd(*args, max_lagtime=max_lagtime),
                 trackpy.emsd(*ordered, max_lagtime=max_lagtime, pos_columns=pos))
    ours = qt.emsd(*args, max_lagtime=max_lagtime, detail=True)
    theirs = trackpy.emsd(*ordered, max_lagtime=max_lagtime, detail=True, pos_columns=pos)
    squares = [f"<{a}^2>" for a in pos]
    np.testing.assert_allclose(ours[squares].to_numpy().sum(axis=1), ours["msd"], rtol=1e-12)
    assert_close(ours[["msd", "N"]], theirs[["msd", "N"]])
    np.testing.assert_allclose(ours["lagt"], ours.index / 7.0, rtol=0)
    # The peer's per-axis means divide by the mean weight over every track spanning the lag
    # (with a pair at some lag), not over those with a pair at this lag: larger by the ratio of
    # the two counts, so that they no longer add up to its msd. Ours do.
    msds = qt.imsd(*args, max_lagtime=max_lagtime)
    spans = tracks.groupby("particle")["frame"].agg(np.ptp)[msds.columns].to_numpy()
    weighted = (spans[None, :] >= ours.index.to_numpy()[:, None]) & msds.notna().any().to_numpy()
    with np.errstate(divide="ignore", invalid="ignore"):  # lags without pairs stay NaN
        factor = weighted.sum(axis=1) / msds.notna().sum(axis=1).to_numpy()
    moments = [c for c in ours.columns if c.startswith("<")]
    assert_close(ours[moments].mul(factor, axis=0), theirs[moments])


def test_msd_worked_case_with_a_skipped_frame():
    # Particle 5 at x = 0, 1, (frame 2 missing), 4: lag 1 pairs (0,1) only -> 1; lag 2 pairs
    # (1,3) -> 9; lag 3 pairs (0,3) -> 16. In µm with mpp 2 and at 4 frames per second.
    tracks = pd.DataFrame({"frame": [3, 0, 1], "y": [0.0, 0.0, 0.0], "x": [4.0, 0.0, 1.0],
                           "particle": [5, 5, 5]})
    msd = qt.imsd(tracks, mpp=2, fps=4)
    assert list(msd.index) == [0.25, 0.5, 0.75]
    assert list(msd[5]) == [4.0, 36.0, 64.0]


def brownian(tracks, frames, diffusion, mpp, fps, seed, dims=2):
    """Tracks (pixels) of particles diffusing with coefficient ``diffusion`` in µm²/s."""
    rng = np.random.default_rng(seed)
    sigma = np.sqrt(2 * diffusion / fps) / mpp
    steps = rng.normal(0, sigma, size=(tracks, frames, dims))
    positions = np.cumsum(steps, axis=1).reshape(-1, dims)
    table = pd.DataFrame(positions, columns=["x", "y", "z"][:dims])
    table["frame"] = np.tile(np.arange(frames), tracks)
    table["particle"] = np.repeat(np.arange(tracks), frames)
    return table


@pytest.mark.parametrize("dims", [2, 3])
def test_diffusion_recovers_known_coefficient(dims):
    tracks = brownian(200, 300, diffusion=0.35, mpp=0.16, fps=20, seed=dims, dims=dims)
    tracks = tracks.drop(tracks.index[3::7])  # skipped frames change nothing
    fits = qt.diffusion(tracks, mpp=0.16, fps=20, dims=dims)
    assert list(fits.columns) == ["D", "D_stderr", "alpha", "alpha_stderr", "points"]
    assert len(fits) == 200 and (fits["points"] == 10).all()
    assert fits["D"].median() == pytest.approx(0.35, rel=0.05)
    assert fits["alpha"].median() == pytest.approx(1.0, abs=0.05)


def test_diffusion_of_short_tracks_is_nan_not_an_error():
    tracks = pd.DataFrame({"frame": [0, 1, 0, 1, 2], "x": [0.0, 1, 0, 1, 3],
                           "y": [0.0, 0, 0, 0, 0], "particle": [1, 1, 2, 2, 2]})
    fits = qt.diffusion(tracks, mpp=1, fps=1)
    assert fits["points"].tolist() == [1, 2]
    assert np.isnan(fits.loc[1, "D"]) and np.isnan(fits.loc[2, "D_stderr"])
    # Two points: MSD (1 + 4) / 2 at 1 s and 9 at 2 s, so alpha = log2(3.6) and D = 2.5 / 4.
    assert fits.loc[2, "alpha"] == pytest.approx(np.log2(3.6))
    assert fits.loc[2, "D"] == pytest.approx(0.625)


GOOD = pd.DataFrame({"frame": [0, 1], "x": [0.0, 1.0], "y": [0.0, 0.0], "particle": [0, 0]})


@pytest.mark.parametrize("function", [qt.imsd, qt.emsd, qt.diffusion])
@pytest.mark.parametrize("change, error, match", [
    ({"tracks": GOOD.iloc[:0]}, ValueError, "tracks is empty"),
    ({"tracks": GOOD.drop(columns="particle")}, ValueError, "tracks lacks the column.*'particle'"),
    ({"tracks": GOOD.iloc[:1]}, ValueError, "no particle seen in two frames"),
    ({"tracks": pd.concat([GOOD, GOOD])}, ValueError, "two rows for particle 0 in frame 0"),
    ({"tracks": GOOD.assign(particle=[0, np.nan])}, ValueError, "'particle' must hold whole"),
    ({"tracks": GOOD.assign(y=[0, np.inf])}, ValueError, "must hold finite positions"),
    ({"tracks": GOOD.assign(y=[0, 1j])}, TypeError, "tracks column 'y' must hold real numbers"),
    ({"tracks": GOOD.assign(x=pd.Timestamp(0))}, TypeError, "tracks column 'x' must hold real"),
    ({"tracks": GOOD.assign(frame=[0, 2**62 + 1])}, ValueError, r"within \+-2\*\*62, got 4611"),
    ({"tracks": GOOD.to_numpy()}, TypeError, "tracks must be a pandas DataFrame"),
    ({"mpp": 0}, ValueError, "mpp must be a finite number > 0"),
    ({"mpp": -1.0}, ValueError, "mpp must be a finite number > 0"),
    ({"fps": float("nan")}, ValueError, "fps must be a finite number > 0"),
    ({"fps": "10"}, TypeError, "fps must be a finite number > 0"),
    ({"max_lagtime": 0}, ValueError, r"max_lagtime must be an integer >= 1"),
    ({"max_lagtime": 2.5}, TypeError, r"max_lagtime must be an integer >= 1"),
])
def test_bad_input_names_the_argument(function, change, error, match):
    args = {"tracks": GOOD, "mpp": 1.0, "fps": 1.0, "max_lagtime": 3} | change
    with pytest.raises(error, match=match):
        function(**args)


def test_displacement_kernel_rejects_inconsistent_offsets():
    frames = np.array([0, 1, 1], dtype=np.int64)
    positions = np.zeros((3, 2))
    with pytest.raises(ValueError, match="frames must increase strictly"):
        qt._native.displacement_sums(frames, positions, np.array([0, 3], dtype=np.int64), 2)
    with pytest.raises(ValueError, match="non-decreasing offsets"):
        qt._native.displacement_sums(frames, positions, np.array([0, 4], dtype=np.int64), 2)
    extreme = np.array([-2**63, 0, 2**63 - 1], dtype=np.int64)
    with pytest.raises(ValueError, match="frame numbers must lie within"):
        qt._native.displacement_sums(extreme, positions, np.array([0, 3], dtype=np.int64), 2)


def test_lags_far_beyond_the_tracks_cost_nothing_and_tables_that_cannot_fit_are_refused():
    # Two-point tracks 2**62 frames long: tracks x lags once overflowed 64 bits.
    tracks = pd.DataFrame({"frame": [0, 2**62] * 4, "x": [0.0, 3, 0, 4, 1, 1, 2, 0], "y": 0.0,
                           "particle": np.repeat(np.arange(4), 2)})
    fits = qt.diffusion(tracks, mpp=1, fps=1, max_lagtime=2**62)
    assert fits["points"].tolist() == [1, 1, 0, 1]  # particle 2 never moves: no msd > 0 to fit
    for function in (qt.imsd, qt.emsd):
        with pytest.raises(MemoryError, match=r"not enough memory for (imsd|emsd)'s table of "
                                              r"4611686018427387904 lags"):
            function(tracks, mpp=1, fps=1, max_lagtime=2**64)


# 10,000 two-point tracks 10**5 frames long: tracks x lags x axes once asked for 40 GB.
LONG_TRACKS = """
import resource, numpy as np, pandas as pd, quorlin_track as qt
if not SANITIZED:
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
resource.setrlimit(resource.RLIMIT_CPU, (60, 60))
n = 10_000
first = np.arange(n) % 7
tracks = pd.DataFrame({"frame": np.concatenate([first, first + 10**5]), "x": np.repeat([0.0, 2.0], n),
                       "y": 0.0, "particle": np.tile(np.arange(n), 2)})
msd = qt.emsd(tracks, mpp=0.5, fps=1, max_lagtime=10**5)
assert len(msd) == 10**5 and msd.iloc[-1] == 1.0 and msd.iloc[:-1].isna().all()
assert (qt.diffusion(tracks, mpp=0.5, fps=1, max_lagtime=10**5)["points"] == 1).all()
"""


def test_msd_work_follows_the_pairs_that_exist(python_subprocess):
    done = python_subprocess(f"SANITIZED = {SANITIZED}\n" + LONG_TRACKS, timeout=300)
    assert done.returncode == 0, done.stderr

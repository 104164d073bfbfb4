"""Results per track against a plain pandas computation of the same quantities."""

import numpy as np
import pandas as pd
import pytest

import quorlin_track as qt


def random_tracks(ndim, particles=150, seed=0):
    """Random walks with a drift, gaps, single detections and rows in random order."""
    rng = np.random.default_rng(seed)
    rows = []
    for p in range(particles):
        frames = np.sort(rng.choice(60, rng.integers(1, 30), replace=False)) + rng.integers(0, 20)
        steps = rng.normal(0, 1, (len(frames), ndim)) + rng.uniform(-1, 1, ndim)
        steps[rng.uniform(size=len(frames)) < 0.05] = 0  # a few steps of length 0
        for f, q in zip(frames, np.cumsum(steps, 0)):
            rows.append((f, 1000 - 3 * p, *q))
    names = ["frame", "particle", *qt.columns.spatial_columns(ndim)]
    return pd.DataFrame(rows, columns=names).sample(frac=1.0, random_state=seed)


def pandas_table(tracks, axes, pixel_size, frame_interval):
    def one(track):
        track = track.sort_values("frame")
        at = track[axes].to_numpy() * pixel_size
        steps = np.diff(at, axis=0)
        lengths = np.linalg.norm(steps, axis=1)
        turns = [np.arccos(np.clip(a @ b / (la * lb), -1, 1))
                 for a, b, la, lb in zip(steps[:-1], steps[1:], lengths[:-1], lengths[1:])
                 if la > 0 and lb > 0]
        duration = (track["frame"].max() - track["frame"].min()) * frame_interval
        path, net = lengths.sum(), np.linalg.norm(at[-1] - at[0])
        return pd.Series({
            "first_frame": track["frame"].min(), "last_frame": track["frame"].max(),
            "points": len(track), "duration": duration, "path_length": path,
            "net_displacement": net, "mean_speed": path / duration if duration else np.nan,
            "straightness": net / path if path else np.nan,
            "mean_turning_angle": np.mean(turns) if turns else np.nan,
        })

    return tracks.groupby("particle").apply(one, include_groups=False)


@pytest.mark.parametrize("ndim", [2, 3])
def test_track_table_equals_a_pandas_computation(ndim):
    tracks = random_tracks(ndim)
    axes = list(qt.columns.spatial_columns(ndim))
    table = qt.track_table(tracks, pixel_size=0.2, frame_interval=0.05)
    expected = pandas_table(tracks, axes, 0.2, 0.05)
    assert list(table.index) == sorted(tracks["particle"].unique())
    geometric = list(expected.columns)
    pd.testing.assert_frame_equal(table[geometric], expected.astype(table[geometric].dtypes),
                                  rtol=1e-9, atol=1e-7)
    seen = tracks.groupby("particle")["frame"].transform("size") > 1
    fits = qt.diffusion(tracks[seen], mpp=0.2, fps=20, dims=ndim, pos_columns=axes)
    fits = fits.rename(columns={"points": "msd_lags"}).reindex(table.index)
    pd.testing.assert_frame_equal(table[fits.columns].drop(columns="msd_lags"),
                                  fits.drop(columns="msd_lags"))
    assert (table["msd_lags"] == fits["msd_lags"].fillna(0)).all()
    assert table["D"].notna().sum() > 100 and table["straightness"].isna().sum() > 0


def test_track_table_of_an_empty_table():
    empty = qt.track_table(pd.DataFrame({"frame": [], "particle": [], "y": [], "x": []}))
    assert len(empty) == 0 and list(empty.columns)[:3] == ["first_frame", "last_frame", "points"]


@pytest.mark.parametrize("change, kwargs, error, message", [
    (lambda t: t.drop(columns="particle"), {}, ValueError, "tracks lacks the column\\(s\\) 'particle'"),
    (lambda t: pd.concat([t, t.iloc[:1]]), {}, ValueError, "tracks has two rows for particle"),
    (lambda t: t.assign(x=np.nan), {}, ValueError, "must hold finite positions"),
    (lambda t: t.assign(frame=t.frame + 0.5), {}, ValueError, "'frame' must hold whole numbers"),
    (lambda t: t, {"pixel_size": 0}, ValueError, "pixel_size must be a finite number > 0"),
    (lambda t: t, {"frame_interval": "1"}, TypeError, "frame_interval must be a finite number"),
])
def test_track_table_rejects_bad_input(change, kwargs, error, message):
    with pytest.raises(error, match=message):
        qt.track_table(change(random_tracks(2, particles=3)), **kwargs)

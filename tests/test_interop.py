"""Track tables with the peers' tools, with napari, and in files."""

import os

import matplotlib
import numpy as np
import pandas as pd
import pytest
import trackpy

import quorlin
import quorlin_track as qt

# The peer's own deprecation notices about pandas are not ours to fail on.
pytestmark = pytest.mark.filterwarnings("ignore::Warning:trackpy")

matplotlib.use("Agg")


def linked_table():
    """A table of the linking layout from the raw module: drifting particles, one missing
    from frame 3, linked with a one-frame skip allowed."""
    rng = np.random.default_rng(7)
    starts = rng.uniform(10, 90, size=(12, 2))
    frames, rows = [], []
    for f in range(20):
        points = starts + 0.5 * f + rng.normal(0, 0.3, size=starts.shape)
        keep = np.arange(len(points)) != (5 if f == 3 else -1)
        frames.append(np.column_stack([points[keep], np.full(keep.sum(), 50.0)]).astype(np.float32))
        rows.append(keep)
    matrix, ends = quorlin.rs_link_points(frames, 3.0, 1, 10.0)
    # Rows of each track in order; the frame of each row follows from the detections per frame.
    table = pd.DataFrame(matrix, columns=["x", "y", "intensity"])
    table["particle"] = np.repeat(np.arange(len(ends)), np.diff(np.concatenate(([0], ends))))
    detections = pd.concat(
        [pd.DataFrame({"frame": f, "x": p[:, 0], "y": p[:, 1]}) for f, p in enumerate(frames)])
    table = table.merge(detections, on=["x", "y"])
    return table[["frame", "y", "x", "intensity", "particle"]].astype(
        {"frame": np.int64, "particle": np.int64})


def test_linked_table_works_unchanged_with_trackpy(tmp_path):
    tracks = linked_table()
    assert tracks["particle"].nunique() == 12 and len(tracks) == 12 * 20 - 1
    kept = trackpy.filter_stubs(tracks, 5)
    assert len(kept) == len(tracks)
    # The peer averages float32 positions in float32 (off by up to 0.5 % here); ours are
    # float64 throughout, and agree with the peer's float64 results to 1e-9.
    exact = kept.astype({"x": np.float64, "y": np.float64})
    pd.testing.assert_frame_equal(qt.imsd(kept, 0.1, 10), trackpy.imsd(exact, 0.1, 10),
                                  rtol=1e-9)
    pd.testing.assert_frame_equal(qt.imsd(kept, 0.1, 10), trackpy.imsd(kept, 0.1, 10),
                                  rtol=1e-2, check_dtype=False)
    pd.testing.assert_series_equal(qt.emsd(kept, 0.1, 10), trackpy.emsd(kept, 0.1, 10),
                                   rtol=1e-2, check_dtype=False)
    drift = trackpy.compute_drift(kept)
    assert drift["x"].iloc[-1] == pytest.approx(0.5 * 19, abs=0.5)
    still = trackpy.subtract_drift(kept.copy(), drift)
    # (the peer's result carries frame and particle as index levels too)
    assert still.reset_index(drop=True).groupby("particle")["x"].std().max() < 1.0
    axes = trackpy.plot_traj(still)
    assert len(axes.lines) == 12


@pytest.mark.parametrize("volume", [False, True])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # the viewer's own, on import
def test_napari_tracks_layer_takes_the_table(volume):
    import napari.layers

    tracks = pd.DataFrame({"frame": [1, 0, 0, 1], "y": [2.0, 1, 5, 6], "x": [3.0, 2, 7, 8],
                           "intensity": np.float32([9, 8, 7, 6]), "particle": [4, 4, 2, 2]})
    if volume:
        tracks.insert(1, "z", [0.5, 0.25, 1.5, 2.5])
    data, properties = qt.to_napari(tracks)
    expected = [[2, 0, 5, 7], [2, 1, 6, 8], [4, 0, 1, 2], [4, 1, 2, 3]]
    if volume:
        expected = [row[:2] + [z] + row[2:] for row, z in zip(expected, [1.5, 2.5, 0.25, 0.5])]
    np.testing.assert_array_equal(data, expected)
    np.testing.assert_array_equal(properties["intensity"], np.float32([7, 6, 8, 9]))
    with pytest.raises(ValueError, match="tracks lacks the column.*'particle'"):
        qt.to_napari(tracks.drop(columns="particle"))
    layer = napari.layers.Tracks(data, properties=properties)
    assert layer.ndim == (4 if volume else 3)
    np.testing.assert_array_equal(layer.properties["intensity"], [7, 6, 8, 9])


@pytest.mark.parametrize("name", ["tracks.csv", "tracks.parquet"])
def test_save_and_load_keep_dtypes_and_replace_atomically(tmp_path, monkeypatch, name):
    tracks = pd.DataFrame({"frame": np.array([0, 1, 2], dtype=np.int32),
                           "y": np.float32([0.1, 1e-7, 3.3333333]),
                           "x": [np.pi, -0.0, 1e300],
                           "intensity": np.float32([np.nan, 2, 3]),
                           "particle": np.array([7, 7, 8], dtype=np.int64),
                           "kept": [True, False, True]})
    path = tmp_path / name
    path.write_text("old")
    qt.save(tracks, path)
    pd.testing.assert_frame_equal(qt.load(path), tracks, check_exact=True)
    assert sorted(os.listdir(tmp_path)) == [name]
    # A save that fails midway leaves the earlier file and no temporary behind.
    def disk_full(fd):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", disk_full)
    with pytest.raises(OSError, match="disk full"):
        qt.save(tracks.iloc[:1], path)
    pd.testing.assert_frame_equal(qt.load(path), tracks, check_exact=True)
    assert sorted(os.listdir(tmp_path)) == [name]


def test_files_reject_bad_paths_and_tables(tmp_path):
    with pytest.raises(ValueError, match=r"path must end in \.csv, \.parquet, \.pq"):
        qt.save(pd.DataFrame({"x": [1]}), tmp_path / "tracks.xlsx")
    with pytest.raises(ValueError, match="column 'a b' cannot be stored in CSV"):
        qt.save(pd.DataFrame({"a b": [1]}), tmp_path / "tracks.csv")
    with pytest.raises(TypeError, match="tracks must be a pandas DataFrame"):
        qt.save([1, 2], tmp_path / "tracks.csv")
    with pytest.raises(FileNotFoundError):
        qt.load(tmp_path / "none.csv")

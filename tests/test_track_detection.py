"""quorlin_track detection: equal to the raw detectors frame by frame, volumes fitted, the column
convention, the automatic threshold's rule and the checks of the keywords."""

import numpy as np
import pandas as pd
import pytest

import quorlin
import quorlin_track as qt
from quorlin_track import _native
from quorlin_track.synthetic import simulate


def noisy_movie(frames=5, shape=(48, 72), particles=12, seed=3):
    movie = simulate(shape, particles, frames, np.full(len(shape), 1.3), 900.0, 10.0, 1.5, 0.3,
                     0.1, 0.5, seed)
    return np.clip(np.rint(movie.frames), 0, None).astype(np.uint16)


def raw_frame(frame, threshold, min_distance, method, window, max_peaks):
    data = frame.astype(np.float32)
    extent = tuple(float(v) for n in data.shape for v in (0, n - 1))
    if data.ndim == 2:
        positions, intensities = quorlin.rs_detect_peaks(data, extent, threshold, min_distance,
                                                         method, window, max_peaks)
        return positions, intensities, None
    return quorlin.rs_detect_peaks3d(data, extent, threshold, min_distance, window, method,
                                     (1.3, 1.3, 1.3), None, max_peaks)


@pytest.mark.parametrize("threshold, method, max_peaks", [
    ("auto", "radial_symmetry", None), ("auto", "gaussian_fitting", 4), (40.0, None, None)])
def test_batch_and_locate_equal_the_raw_detector_frame_by_frame(threshold, method, max_peaks):
    movie = noisy_movie()
    spots = qt.batch(movie, detector="peaks", threshold=threshold, min_distance=2.5, method=method,
                     window=5, max_peaks=max_peaks)
    assert list(spots.columns) == ["frame", "y", "x", "intensity", "located_by"]
    for t, frame in enumerate(movie):
        level = qt.auto_threshold(frame) if threshold == "auto" else threshold
        positions, intensities, _ = raw_frame(frame, level, 2.5, method, 5, max_peaks)
        ours = spots[spots.frame == t]
        assert len(positions) > 0
        np.testing.assert_array_equal(ours[["y", "x"]].to_numpy(), positions)
        np.testing.assert_array_equal(ours["intensity"].to_numpy(), intensities)
        whole = np.all(positions == np.round(positions), axis=1)
        assert (ours["located_by"].to_numpy() == np.where(whole, "pixel", method or "pixel")).all()
        single = qt.locate(frame, detector="peaks", threshold=threshold, min_distance=2.5,
                           method=method, window=5, max_peaks=max_peaks, frame_number=t)
        pd.testing.assert_frame_equal(single, ours.reset_index(drop=True))


def test_volumes_equal_the_raw_detector_and_carry_scores():
    movie = noisy_movie(frames=2, shape=(12, 20, 24), particles=6)
    spots = qt.batch(movie, correlation_sigmas=(1.3, 1.3, 1.3), method="gaussian_fitting")
    assert list(spots.columns) == ["frame", "z", "y", "x", "intensity", "located_by", "score", "mass",
                                   "background", "size", "snr"]
    for t, frame in enumerate(movie):
        positions, intensities, scores = raw_frame(frame, qt.auto_threshold(frame), 3.0,
                                                   "gaussian_fitting", 7, None)
        ours = spots[spots.frame == t]
        np.testing.assert_array_equal(ours[["z", "y", "x"]].to_numpy(), positions)
        np.testing.assert_array_equal(ours["score"].to_numpy(), scores)


def test_volume_spots_fitted_with_their_own_widths_split_and_merged():
    # Noise-free spots of widths (2, 1.3, 1.3) on a background of 10: one on the first plane (its
    # peak voxel on the volume's edge), and two 2.4 voxels apart that give a single peak.
    truth = np.array([[8.3, 8.6, 9.2], [7.6, 22.4, 8.7], [0.3, 15.2, 24.6], [10.2, 24.1, 23.0],
                      [10.2, 24.1, 25.4]])
    grid = np.indices((16, 32, 34), dtype=np.float64)
    volume = np.full(grid.shape[1:], 10.0)
    for centre in truth:
        volume += 100.0 * np.exp(-sum((g - c) ** 2 / (2 * s**2) for g, c, s in zip(grid, centre, (2.0, 1.3, 1.3))))
    volume = volume.astype(np.float32)
    spots = qt.locate(volume)
    found = spots[["z", "y", "x"]].to_numpy()
    np.testing.assert_allclose(found[np.lexsort(found.T[::-1])], truth[np.lexsort(truth.T[::-1])], atol=1e-4)
    assert (spots["located_by"] == "gaussian").all()
    # Given the four spots and a second start one plane off the first: the two fits on one spot
    # keep the first, the pair's start is split in two.
    starts = np.vstack([truth[:4], truth[0] + [1.0, 0.0, 0.0]]).astype(np.float32)
    source, *_, positions, fitted, _ = _native.measure_volume_spots(volume, starts, 7, False)
    assert source.tolist() == [0, 1, 2, 3, 3] and fitted.all()
    np.testing.assert_allclose(positions, truth, atol=1e-4)


def test_columns_follow_array_axes():
    # One spot at row 10, column 30 of a frame that is wider than tall; in a volume at plane 4.
    frame = np.zeros((20, 50), np.float32)
    frame[9:12, 29:32] = 1.0
    frame[10, 30] = 5.0
    spot = qt.locate(frame)
    assert (spot.loc[0, "y"], spot.loc[0, "x"]) == pytest.approx((10.0, 30.0), abs=1e-5)
    volume = np.zeros((9, 20, 50), np.float32)
    volume[3:6, 9:12, 29:32] = 1.0
    volume[4, 10, 30] = 5.0
    spot = qt.locate(volume, threshold=2.0, method=None)
    assert spot.loc[0, ["z", "y", "x"]].tolist() == [4.0, 10.0, 30.0]


def reference_threshold(values):
    v = np.sort(np.asarray(values, np.float32).ravel())
    v = v[~np.isnan(v)]
    median = v[(len(v) - 1) // 2]
    mad = np.sort(np.abs(v - median))[(len(v) - 1) // 2]
    return float(np.float32(float(median) + 5.0 * 1.4826 * float(mad)))


def test_auto_threshold_rule_for_every_sample_type():
    rng = np.random.default_rng(0)
    counts = rng.poisson(30.0, (31, 17)).astype(np.uint16)
    counts[5, 5] = 60000
    expected = reference_threshold(counts)
    for dtype in (np.uint16, np.int16, np.uint8, np.int32, np.float32, np.float64):
        assert qt.auto_threshold(counts.astype(dtype)) == expected, dtype
    floats = rng.normal(100.0, 7.0, (40, 40)).astype(np.float32)
    floats[::7, ::3] = np.nan
    assert qt.auto_threshold(floats) == reference_threshold(floats)
    # 3 x 3 worked case: median 11, deviation 1.
    worked = np.array([[10, 11, 12], [10, 200, 9], [11, 10, 12]], np.uint16)
    assert qt.auto_threshold(worked) == np.float32(11 + 5 * 1.4826)
    assert qt.auto_threshold(np.full((4, 4), np.nan)) == np.inf


@pytest.mark.parametrize("keywords, error, message", [
    ({"threshold": "high"}, ValueError, "threshold must be 'auto' or a number"),
    ({"threshold": [1]}, TypeError, "threshold must be 'auto' or a number"),
    ({"window": 4}, ValueError, "window must be an odd integer >= 3"),
    ({"method": "centroid", "detector": "peaks"}, ValueError,
     "method must be one of None, 'radial_symmetry'"),
    ({"max_peaks": -1}, ValueError, "max_peaks must be an integer >= 0"),
    ({"prefilter": "median", "detector": "peaks"}, ValueError, "prefilter must be one of 'bandpass'"),
    ({"correlation_sigmas": (1, 1, 1)}, ValueError, "apply to 3-D volumes only"),
])
def test_bad_keywords_name_the_argument(keywords, error, message):
    with pytest.raises(error, match=message):
        qt.batch(np.zeros((2, 8, 8), np.uint8), **keywords)
    with pytest.raises(error, match=message):
        qt.locate(np.zeros((8, 8), np.uint8), **keywords)

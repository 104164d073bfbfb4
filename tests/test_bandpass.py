"""The band-pass prefilter against a plain reference, and detection on the band-passed frame."""

import numpy as np
import pandas as pd
import pytest
from scipy import ndimage

import quorlin_track as qt


@pytest.mark.parametrize("shape, noise_size, feature_size",
                         [((40, 33), 1.0, 3), ((17, 64), 2.0, 5.4), ((5, 7), 0.75, 4),
                          ((12, 12), 0.0, 1), ((1, 9), 1.0, 2), ((3, 11), 1.0, 6),
                          ((70, 40), 1.0, 8), ((20, 41), 1.0, 9)])
def test_bandpass_matches_reference(shape, noise_size, feature_size):
    rng = np.random.default_rng(sum(shape))
    frame = rng.normal(100.0, 10.0, shape).astype(np.float32)
    low = (ndimage.gaussian_filter(frame.astype(np.float64), noise_size, mode="reflect",
                                   truncate=4.0) if noise_size else frame.astype(np.float64))
    width = 2 * int(round(feature_size)) + 1
    background = ndimage.uniform_filter(frame.astype(np.float64), width, mode="reflect")
    result = qt.bandpass(frame, noise_size=noise_size, feature_size=feature_size)
    assert result.dtype == np.float32 and result.shape == shape
    np.testing.assert_allclose(result, low - background, atol=2e-4)


def test_bandpass_reads_any_layout_and_type():
    rng = np.random.default_rng(2)
    counts = rng.integers(0, 4000, (30, 50)).astype(np.uint16)
    expected = qt.bandpass(counts.astype(np.float32))
    np.testing.assert_array_equal(qt.bandpass(counts), expected)
    wide = np.zeros((30, 100), np.float32)
    wide[:, ::2] = counts
    np.testing.assert_array_equal(qt.bandpass(wide[:, ::2]), expected)
    np.testing.assert_array_equal(qt.bandpass(counts.T.astype(np.float32)), qt.bandpass(counts.T))


@pytest.mark.parametrize("kwargs, error, name", [
    ({"noise_size": -1.0}, ValueError, "noise_size"),
    ({"noise_size": float("nan")}, ValueError, "noise_size"),
    ({"feature_size": 0.2}, ValueError, "feature_size"),
    ({"feature_size": 5000.0}, ValueError, "feature_size"),
    ({"frame": np.zeros(8)}, ValueError, "frame"),
    ({"feature_size": "3"}, TypeError, "feature_size"),
])
def test_bandpass_bad_arguments(kwargs, error, name):
    args = {"frame": np.zeros((8, 8))}
    args.update(kwargs)
    with pytest.raises(error, match=f"argument '{name}'"):
        qt.bandpass(**args)


def test_detect_and_refine_finds_dim_spots():
    rng = np.random.default_rng(11)
    truth = np.array([[10.3, 12.8], [30.6, 40.1], [50.2, 20.4], [45.0, 52.7]])
    yy, xx = np.mgrid[0:64, 0:64]
    mean = np.full((64, 64), 10.0)
    for y, x in truth:
        mean += 400.0 / (2 * np.pi * 1.3**2) * np.exp(-((yy - y)**2 + (xx - x)**2) / (2 * 1.3**2))
    frame = rng.poisson(mean).astype(np.float32)
    found = qt.detect_and_refine(frame, sigma=1.3)
    assert len(found) == len(truth) and found.converged.all()
    order = np.argsort(found.y.to_numpy())
    np.testing.assert_allclose(found[["y", "x"]].to_numpy()[order], truth[np.argsort(truth[:, 0])],
                               atol=0.25)
    assert (found.intensity > 0).all() and (found.located_by == "mle").all()
    with pytest.raises(ValueError, match="threshold must be 'auto' or a number"):
        qt.detect_and_refine(frame, threshold="median")
    assert len(qt.detect_and_refine(frame, threshold=1e9)) == 0
